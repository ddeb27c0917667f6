"""Scale measurements of the relay: idle routes against the bare floor, a thousand stored routes,
and the API scraper used while traffic flows."""
import json
import os
import resource
import shutil
import socket
import statistics
import tempfile
import threading
import time

import harness

API_KEY = "bench"
IDLE_ROUTES = 100
IDLE_SECONDS = 10.0
IDLE_SETTLE_S = 2.0
IDLE_WINDOWS = 5
STORED_ROUTES = 1000
STORED_ROUTES_FDS = 8  # descriptors a relay may hold per route: sockets and epolls
API_POLL_S = 0.02
API_UP_LIMIT_S = 300
REPEATS = 3
# Goals for a thousand stored routes on the benchmark machine.
API_UP_GOAL_S, ALL_INFO_GOAL_S, CREATE_GOAL_S = 1.5, 0.1, 0.3
SCRAPED_PATHS = ("/api/metrics", "/api/connections")


def listening_routes(count, enabled=True):
    """count routes (100, 101, ...), each a listening source and one listening target on free
    UDP ports. Returns (route entries, the set of their ports)."""
    entries, ports = {}, set()
    for i in range(count):
        source, target = harness.free_port(), harness.free_port()
        entries[100 + i] = harness.route_entry(100 + i, source, [(10000 + i, target, enabled)],
                                               enabled)
        ports |= {source, target}
    return entries, ports


def cpu_pct_over(pid, seconds, windows=IDLE_WINDOWS):
    """CPU % of pid over seconds: the least of its windows, so that a burst of other work on a
    shared machine (which slows every wake-up) counts less."""
    spans = []
    for _ in range(windows):
        start = harness.cpu_seconds(pid)
        time.sleep(seconds / windows)
        spans.append(harness.cpu_seconds(pid) - start)
    return min(spans) / (seconds / windows) * 100


def _measure_bare_idle(load_bin, workdir, threads, listeners, seconds):
    ready = os.path.join(workdir, f"idle-{listeners}.ready")
    bare = harness.Process(f"idle-{listeners}", [load_bin, "idle", "--threads", str(threads),
                                                 "--listeners", str(listeners), "--duration",
                                                 str(int(seconds + 60)), "--ready-file", ready],
                           workdir)
    try:
        if not harness.wait_until(lambda: os.path.exists(ready), 30):
            raise RuntimeError(f"idle --threads {threads} did not start")
        time.sleep(IDLE_SETTLE_S)
        return {"cpu_pct": cpu_pct_over(bare.pid, seconds), "threads": threads,
                "listeners": threads * listeners,
                "process_threads": harness.thread_count(bare.pid)}
    finally:
        bare.stop(10)


def measure_idle(relay_bin, load_bin, routes=IDLE_ROUTES, seconds=IDLE_SECONDS):
    """Idle CPU of `routes` enabled routes with nothing connected, against the bare floor: one
    thread per route waiting in an SRT epoll on one listener (and on two, the relay's count of
    listeners)."""
    result = {"routes": routes, "seconds": seconds}
    workdir = tempfile.mkdtemp(prefix="bench-idle-")
    try:
        entries, ports = listening_routes(routes)
        relay = harness.start_relay(relay_bin, workdir, harness.routes_document(entries),
                                    harness.free_port(socket.SOCK_STREAM), API_KEY)
        try:
            if not harness.wait_until(lambda: ports <= harness.bound_udp_ports(), 30, step=0.2):
                raise RuntimeError("relay did not open every port")
            time.sleep(IDLE_SETTLE_S)
            result["relay"] = {"cpu_pct": cpu_pct_over(relay.pid, seconds),
                               "process_threads": harness.thread_count(relay.pid),
                               "listeners": len(ports)}
        finally:
            relay.stop(30)
        for listeners in (1, 2):
            result[f"bare_{listeners}"] = _measure_bare_idle(load_bin, workdir, routes,
                                                             listeners, seconds)
        result["ratio"] = harness.share(result["relay"]["cpu_pct"], result["bare_1"]["cpu_pct"])
        result["ratio_same_listeners"] = harness.share(result["relay"]["cpu_pct"],
                                                       result["bare_2"]["cpu_pct"])
    except (RuntimeError, OSError) as failure:
        result["error"] = str(failure)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    return result


def raise_descriptor_limit(wanted):
    """Lifts this process's soft descriptor limit (inherited by the relay) towards wanted."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < wanted:
        soft = wanted if hard == resource.RLIM_INFINITY else min(wanted, hard)
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    return soft


def _timed_requests(port, path, method):
    """REPEATS requests; returns (seconds of each, statuses, body size of the last)."""
    seconds, statuses, size = [], [], 0
    for _ in range(REPEATS):
        status, body, took = harness.http_request(port, path, method, timeout=30)
        seconds.append(took)
        statuses.append(status)
        size = len(body)
    return seconds, statuses, size


def stored_routes_run(relay_bin, entries, ports, idle_seconds=5.0, measure_more=None):
    """Starts a relay on the routes in entries and measures it: seconds until GET /api/routes
    lists them all and until every port in ports listens, idle CPU (quietest window of
    idle_seconds), then all_info and create times, what measure_more(relay PID, HTTP port)
    returns (a dict, added to the result), and the stop."""
    result = {}
    workdir = tempfile.mkdtemp(prefix="bench-routes-")
    http_port = harness.free_port(socket.SOCK_STREAM)
    query = f"api_key={API_KEY}"
    started = time.monotonic()
    relay = harness.start_relay(relay_bin, workdir, harness.routes_document(entries), http_port,
                                API_KEY)

    def listed():
        status, body, _ = harness.http_request(http_port, f"/api/routes?{query}", timeout=5)
        return status == 200 and len(json.loads(body or b"{}")) == len(entries)

    try:
        if not harness.wait_until(listed, API_UP_LIMIT_S, step=API_POLL_S):
            raise RuntimeError(f"the API did not list every route within {API_UP_LIMIT_S} s")
        result["api_up_s"] = time.monotonic() - started
        # What the start cost the relay itself, apart from waiting for a busy machine.
        result["api_up_cpu_s"] = harness.cpu_seconds(relay.pid)
        harness.wait_until(lambda: ports <= harness.bound_udp_ports(), 60, step=0.2)
        result["all_listening_s"] = time.monotonic() - started if ports else None
        time.sleep(IDLE_SETTLE_S)
        result["idle_cpu_pct"] = cpu_pct_over(relay.pid, idle_seconds)
        result["process_threads"] = harness.thread_count(relay.pid)
        result["rss_mb"] = harness.memory_kb(relay.pid).get("VmRSS", 0) / 1024
        result["all_info_s"], info_statuses, result["all_info_bytes"] = _timed_requests(
            http_port, f"/api/all_info?{query}", "GET")
        result["create_s"], create_statuses, _ = _timed_requests(
            http_port, f"/api/routes/route?{query}", "POST")
        result["statuses"] = {"all_info": info_statuses, "create": create_statuses}
        if measure_more is not None:
            result.update(measure_more(relay.pid, http_port))
        stop_start = time.monotonic()
        result["relay_exit"] = relay.stop(60)
        result["stop_s"] = time.monotonic() - stop_start
    except (RuntimeError, OSError, ValueError) as failure:
        result["error"] = str(failure)
    finally:
        relay.stop(60)
        shutil.rmtree(workdir, ignore_errors=True)
    return result


def measure_stored_routes(relay_bin, count=STORED_ROUTES):
    """A relay whose file holds count routes, enabled (a listening source and target each, on
    free UDP ports) and then disabled (stored only): what the routes' sockets and threads cost
    the API, beside what the stored document costs."""
    result = {"routes": count,
              "descriptor_limit": raise_descriptor_limit(count * STORED_ROUTES_FDS)}
    try:
        entries, ports = listening_routes(count)
        result["enabled"] = stored_routes_run(relay_bin, entries, ports)
    except RuntimeError:
        result["enabled"] = {"error": "free UDP ports ran short"}
    disabled = {100 + i: harness.route_entry(100 + i, 20000 + 2 * i,
                                             [(10000 + i, 20001 + 2 * i, False)], False)
                for i in range(count)}
    result["disabled"] = stored_routes_run(relay_bin, disabled, set())
    if "error" in result["enabled"] and "error" in result["disabled"]:
        result["error"] = result["enabled"]["error"]
    return result


class Scraper:
    """Fetches the metrics and connections endpoints once a second, the key as a Bearer token,
    in a thread of its own. Records what came back without judging it: an endpoint the relay
    does not have yet answers with an empty body or an error, and the run goes on."""

    def __init__(self, http_port, api_key):
        self.http_port = http_port
        self.headers = {"Authorization": f"Bearer {api_key}"}
        self.records = {path: {"requests": 0, "served": 0, "bytes": 0, "seconds": [],
                               "statuses": {}} for path in SCRAPED_PATHS}
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)

    def start(self):
        self.thread.start()

    def _run(self):
        while not self.stopping.wait(1.0):
            for path, record in self.records.items():
                status, body, took = harness.http_request(self.http_port, path,
                                                          headers=self.headers, timeout=5)
                record["requests"] += 1
                record["served"] += 1 if status == 200 and body else 0
                record["bytes"] += len(body)
                record["seconds"].append(took)
                record["statuses"][str(status)] = record["statuses"].get(str(status), 0) + 1

    def stop(self):
        """Ends the thread; returns per path: requests, served (200 with a body), mean body
        bytes, median and longest fetch in ms, statuses."""
        self.stopping.set()
        self.thread.join(10)
        summary = {}
        for path, record in self.records.items():
            times = record["seconds"] or [0.0]
            summary[path] = {"requests": record["requests"], "served": record["served"],
                             "mean_bytes": record["bytes"] / max(record["requests"], 1),
                             "median_ms": statistics.median(times) * 1000,
                             "max_ms": max(times) * 1000, "statuses": record["statuses"]}
        return summary


def scrape_summary(results, case):
    """CPU per GB of the relay in case with and without the scraper, and what the scraper saw."""
    def cost(label):
        found = [r.get("cpu_s_per_gb") for r in results
                 if r["case"] == case and r["relay"] == label and "error" not in r]
        return found[-1] if found else None

    scraped = [r for r in results if r["case"] == case and r["relay"] == "mirevo + scraper"]
    without, with_scraper = cost("mirevo"), cost("mirevo + scraper")
    return {"case": case, "cpu_s_per_gb_without": without, "cpu_s_per_gb_with": with_scraper,
            "increase": harness.share(with_scraper - without, without)
            if None not in (with_scraper, without) else None,
            "endpoints": scraped[-1].get("scrape", {}) if scraped else {}}


def _fixed(value, digits=2):
    return "-" if value is None else f"{value:.{digits}f}"


def _percent_change(value):
    return "-" if value is None else f"{value * 100:+.1f}%"


def _verdict(value, goal):
    return "-" if value is None else ("met" if value <= goal else "missed")


def scrape_markdown(summary):
    lines = [f"Scraper (GET {' and '.join(SCRAPED_PATHS)} every second, Bearer key) during "
             f"{summary['case']}: relay CPU {_fixed(summary['cpu_s_per_gb_without'])} s/GB "
             f"without, {_fixed(summary['cpu_s_per_gb_with'])} s/GB with "
             f"(change {_percent_change(summary['increase'])}).", "",
             "| endpoint | requests | served | mean bytes | median ms | max ms | statuses |",
             "|---|---|---|---|---|---|---|"]
    for path, e in summary["endpoints"].items():
        lines.append(f"| {path} | {e['requests']} | {e['served']} | {e['mean_bytes']:.0f} |"
                     f" {e['median_ms']:.1f} | {e['max_ms']:.1f} | {json.dumps(e['statuses'])} |")
    return "\n".join(lines)


def idle_markdown(idle):
    if "error" in idle:
        return f"Idle cost of {idle['routes']} routes: failed: {idle['error']}"
    rows = [f"Idle cost of {idle['routes']} enabled routes (listening source and target each, "
            f"nothing connected), the quietest of {IDLE_WINDOWS} windows in {idle['seconds']:g} s,"
            " against threads waiting in "
            "srt_epoll_wait (100 ms) on listeners of their own:", "",
            "| process | waiting threads | listeners | process threads | CPU % |",
            "|---|---|---|---|---|",
            f"| mirevo | - | {idle['relay']['listeners']} | {idle['relay']['process_threads']} |"
            f" {idle['relay']['cpu_pct']:.2f} |"]
    for key in ("bare_1", "bare_2"):
        bare = idle[key]
        rows.append(f"| mirevo-load idle | {bare['threads']} | {bare['listeners']} |"
                    f" {bare['process_threads']} | {bare['cpu_pct']:.2f} |")
    rows += ["", f"Relay / floor of one waiting thread per route: {_fixed(idle['ratio'])} against "
             f"one listener per thread, {_fixed(idle['ratio_same_listeners'])} against two (the "
             "relay's count of listeners: each listening port has its own library threads)."]
    return "\n".join(rows)


def _milliseconds(run, name):
    text = ", ".join(f"{s * 1000:.0f}" for s in run[f"{name}_s"])
    odd = sorted({status for status in run["statuses"][name] if status != 200})
    return text + (f" (status {', '.join(map(str, odd))})" if odd else "")


def run_row(runs, measure, show, goal=None, value=None):
    """A table row with a column per run: show(run), and the verdict of value(run) against goal,
    a (limit, text) pair, per run; "-" for a run that failed."""
    cells = ["-" if "error" in run else show(run) for run in runs]
    verdict = "-"
    if goal is not None:
        verdict = f"{goal[1]}: " + ", ".join(
            "-" if "error" in run else _verdict(value(run), goal[0]) for run in runs)
    return f"| {measure} | {' | '.join(cells)} | {verdict} |"


def stored_rows(runs):
    """The rows of stored_routes_run figures, a column per run."""
    return [
        run_row(runs, "API lists every route", lambda r: f"{r['api_up_s']:.2f} s",
                (API_UP_GOAL_S, f"{API_UP_GOAL_S:g} s"), lambda r: r["api_up_s"]),
        run_row(runs, "every port listening",
                lambda r: "-" if r["all_listening_s"] is None else f"{r['all_listening_s']:.2f} s"),
        run_row(runs, "GET /api/all_info, ms", lambda r: _milliseconds(r, "all_info"),
                (ALL_INFO_GOAL_S, f"{ALL_INFO_GOAL_S * 1000:g} ms"),
                lambda r: max(r["all_info_s"])),
        run_row(runs, "POST /api/routes/route, ms", lambda r: _milliseconds(r, "create"),
                (CREATE_GOAL_S, f"{CREATE_GOAL_S * 1000:g} ms"), lambda r: max(r["create_s"])),
        run_row(runs, "all_info bytes", lambda r: str(r["all_info_bytes"])),
        run_row(runs, "idle CPU", lambda r: f"{r['idle_cpu_pct']:.1f} %"),
        run_row(runs, "threads, RSS", lambda r: f"{r['process_threads']}, {r['rss_mb']:.0f} MB"),
        run_row(runs, "stop (SIGTERM to exit)",
                lambda r: f"{r['stop_s']:.1f} s, status {r['relay_exit']}")]


def routes_markdown(stored):
    runs = [stored["enabled"], stored["disabled"]]
    if all("error" in run for run in runs):
        return f"{stored['routes']} stored routes: failed: {runs[0]['error']}"
    return "\n".join([
        f"{stored['routes']} stored routes, descriptor limit {stored['descriptor_limit']}:", "",
        "| measure | enabled (listening source and target each) | disabled (stored only) |"
        " goal |", "|---|---|---|---|", *stored_rows(runs)]
        + [f"\n{name} routes failed: {run['error']}" for name, run in
           (("Enabled", runs[0]), ("Disabled", runs[1])) if "error" in run])
