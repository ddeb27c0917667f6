"""Many streams on one port: a thousand routes whose listening sources share one UDP port and
whose targets share another (stream ids cam0 ... cam999) beside the same routes on ports of
their own, and a hundred of them live beside the same hundred on ports of their own. Run
through bench/run-bench.sh --cases shared_routes,shared_live."""
import json
import os
import re
import socket
import statistics
import tempfile
import time
import urllib.parse

import harness
import scale

API_KEY = scale.API_KEY
ROUTES = 1000
STREAM_PREFIX = "cam"
IDLE_SECONDS = 10.0  # the quietest of scale.IDLE_WINDOWS windows counts
THREAD_SECONDS = 5.0
CONFIGURE_GOAL_S, IDLE_GOAL_PCT = 0.05, 5.0
LIVE_ROUTES = 100
LIVE_SUBSCRIBERS = 2  # per route
LIVE_RATE_BPS = 1_000_000
LIVE_ROUNDS = 3
CPU_RATIO_GOAL = 1.10
# The subscribers share one local port and take messages on arrival, as in the big cases.
LIGHT_SUBSCRIBERS = ("--share-port", "--no-tsbpd")
LAYOUTS = ("own", "shared")
GEN_CONNECT_S = 300  # the load tool's bound on calling every stream of a set
LAYOUT_TEXT = {"own": "ports of their own", "shared": "two shared ports"}


def stream_ids(entries):
    """Gives the n-th route of entries (in order) the stream id cam<n> on its source and on
    every target. Returns entries."""
    for n, entry in enumerate(entries.values()):
        entry["url"] += f"?streamid={STREAM_PREFIX}{n}"
        for target in entry["targets"].values():
            target["url"] += f"?streamid={STREAM_PREFIX}{n}"
    return entries


def shared_entries(count, source_port, target_port):
    """count routes (100, 101, ...): every source listens on source_port, every target on
    target_port, route n with the stream id cam<n>."""
    return stream_ids({100 + i: harness.route_entry(100 + i, source_port,
                                                    [(10000 + i, target_port, True)])
                       for i in range(count)})


def block_entries(count, first_port):
    """count routes on ports of their own: route n's source listens on first_port + n and its
    target on first_port + count + n, with the stream id cam<n> (so that stream n of a load
    tool set with --port-step 1 finds it)."""
    return stream_ids({100 + i: harness.route_entry(100 + i, first_port + i,
                                                    [(10000 + i, first_port + count + i, True)])
                       for i in range(count)})


def _call(http_port, path, method, **params):
    query = urllib.parse.urlencode({"api_key": API_KEY, **params})
    return harness.http_request(http_port, f"{path}?{query}", method, timeout=30)


def configure_route(http_port, source_url, target_url):
    """What an operator does to add a stream: POST a route, PUT its listening source, POST a
    target, PUT it listening. Returns (seconds of the four requests in all, their statuses)."""
    status, body, took = _call(http_port, "/api/routes/route", "POST")
    statuses, seconds = [status], took
    route_id = json.loads(body or b"{}").get("route_id") if status == 200 else None
    if route_id is None:
        return seconds, statuses
    status, _, took = _call(http_port, f"/api/routes/{route_id}/source", "PUT", enabled=1,
                            mode="listen", url=source_url)
    statuses.append(status)
    seconds += took
    status, body, took = _call(http_port, f"/api/routes/{route_id}/targets", "POST")
    statuses.append(status)
    seconds += took
    target_id = json.loads(body or b"{}").get("target_id") if status == 200 else None
    if target_id is None:
        return seconds, statuses
    status, _, took = _call(http_port, f"/api/routes/{route_id}/targets/{target_id}", "PUT",
                            enabled=1, mode="listen", url=target_url)
    statuses.append(status)
    return seconds + took, statuses


def thread_group(name):
    """A thread's name without its number: "conn:812" is "conn", "SRT:RcvQ:w1" "SRT:RcvQ"."""
    return re.sub(r":w?\d+$", "", name)


def _thread_times(pid):
    """{thread id: (group, ns on a CPU, times run)} from /proc (schedstat: exact run time)."""
    times = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as comm, \
                    open(f"/proc/{pid}/task/{tid}/schedstat") as stat:
                name, fields = comm.read().strip(), stat.read().split()
        except OSError:
            continue  # ended meanwhile
        times[tid] = (thread_group(name), int(fields[0]), int(fields[2]))
    return times


def cpu_by_thread(pid, seconds=THREAD_SECONDS):
    """Where a process's CPU goes over seconds: per thread group, the threads, CPU % of a core
    and times run per second, the costliest first."""
    # Reading thousands of threads takes a while; each is read about this long apart.
    started = time.monotonic()
    before = _thread_times(pid)
    time.sleep(seconds)
    span = time.monotonic() - started
    groups = {}
    for tid, (group, ns, runs) in _thread_times(pid).items():
        if tid not in before:
            continue
        record = groups.setdefault(group, {"group": group, "threads": 0, "cpu_pct": 0.0,
                                           "runs_per_s": 0.0})
        record["threads"] += 1
        record["cpu_pct"] += (ns - before[tid][1]) / (span * 1e9) * 100
        record["runs_per_s"] += (runs - before[tid][2]) / span
    return sorted(groups.values(), key=lambda g: -g["cpu_pct"])


def _group_cpu_s(times_before, times_after, group):
    """CPU seconds the threads of group used between two _thread_times snapshots."""
    return sum(ns - times_before[tid][1] for tid, (name, ns, _) in times_after.items()
               if name == group and tid in times_before) / 1e9


def _routes_run(relay_bin, entries, ports, new_urls):
    """stored_routes_run of entries, then where the idle CPU goes and three routes added with
    configure_route on the urls new_urls(n) gives for n = 0, 1, 2, with the CPU the relay's
    main and HTTP threads (named as the process) spent on each."""
    def more(pid, http_port):
        threads = cpu_by_thread(pid)
        before = _thread_times(pid)
        runs = [configure_route(http_port, *new_urls(n)) for n in range(scale.REPEATS)]
        cpu_s = _group_cpu_s(before, _thread_times(pid), "mirevo")
        return {"idle_threads": threads, "configure_s": [seconds for seconds, _ in runs],
                "configure_statuses": [status for _, statuses in runs for status in statuses],
                "configure_cpu_s": cpu_s / scale.REPEATS}
    return scale.stored_routes_run(relay_bin, entries, ports, IDLE_SECONDS, more)


def measure_routes(relay_bin, out_dir, commit="", count=ROUTES):
    """count routes on two shared ports, then the same routes on 2 * count ports of their own:
    the stored-routes figures of each, where the idle CPU goes, and three more routes added
    through the API (on the shared ports with fresh ids; on fresh ports). Also written to
    shared_routes.md and shared_routes.json in out_dir."""
    result = {"commit": commit, "routes": count, "load_average_before": load_average(),
              "descriptor_limit": scale.raise_descriptor_limit(count * scale.STORED_ROUTES_FDS)}
    source, target = harness.free_port(), harness.free_port()
    result["shared"] = _routes_run(
        relay_bin, shared_entries(count, source, target), {source, target},
        lambda n: (f"srt://:{source}?streamid={STREAM_PREFIX}{count + n}",
                   f"srt://:{target}?streamid={STREAM_PREFIX}{count + n}"))
    try:
        entries, ports = scale.listening_routes(count)
    except RuntimeError:
        result["own"] = {"error": "free UDP ports ran short"}
    else:
        result["own"] = _routes_run(
            relay_bin, stream_ids(entries), ports,
            lambda n: (f"srt://:{harness.free_port()}?streamid={STREAM_PREFIX}{count + n}",
                       f"srt://:{harness.free_port()}?streamid={STREAM_PREFIX}{count + n}"))
    result["load_average_after"] = load_average()
    for layout in LAYOUTS:
        if "error" in result[layout]:
            result["error"] = f"{layout}: {result[layout]['error']}"
    harness.save_result(out_dir, "shared_routes", result, routes_markdown(result))
    return result


LISTED = ("mirevo_route_source_connected", "mirevo_target_connections")
# Where a message can go missing inside the relay's view: lost on the way in, refused by a
# full send buffer, lost and resent on the way out.
RELAY_COUNTERS = ("mirevo_route_source_packets_lost_total", "mirevo_target_packets_dropped_total",
                  "mirevo_target_packets_lost_total",
                  "mirevo_target_packets_retransmitted_total")


def sum_samples(text, families):
    """{family: the sum of its labelled samples} in a metrics text."""
    sums = dict.fromkeys(families, 0)
    for line in text.splitlines():
        family, brace, _ = line.partition("{")
        if brace and family in sums:
            sums[family] += int(float(line.split()[-1]))
    return sums


def metric_sums(http_port, families):
    """sum_samples of the relay's metrics, or None when they did not answer."""
    status, body, _ = harness.http_request(http_port, f"/api/metrics?api_key={API_KEY}")
    return sum_samples(body.decode(errors="replace"), families) if status == 200 else None


def _listed_connections(http_port):
    """[source connections, target connections] the relay lists, or None."""
    sums = metric_sums(http_port, LISTED)
    return None if sums is None else [sums[family] for family in LISTED]


def machine_cpu():
    """(busy, all) CPU seconds of the whole machine so far, summed over its CPUs."""
    with open("/proc/stat") as stat:
        ticks = [int(field) for field in stat.readline().split()[1:9]]
    idle = ticks[3] + ticks[4]  # idle, iowait
    return (sum(ticks) - idle) / harness.CLOCK_TICKS, sum(ticks) / harness.CLOCK_TICKS


def cpu_seconds_or(pid, fallback):
    try:
        return harness.cpu_seconds(pid)
    except OSError:  # ended meanwhile
        return fallback


def machine_share(start, end, relay_cpu_s, tool_cpu_s):
    """How the machine's CPUs were used between two machine_cpu snapshots, in cores: the
    relay, the load tool, everything else, and the idle share in percent."""
    wall = (end[1] - start[1]) / os.cpu_count()
    busy = end[0] - start[0]
    return {"relay": relay_cpu_s / wall, "load_tool": tool_cpu_s / wall,
            "others": max(busy - relay_cpu_s - tool_cpu_s, 0.0) / wall,
            "idle_pct": max(1 - busy / (end[1] - start[1]), 0.0) * 100}


def live_figures(gen, subs, streams):
    """Delivery of a stream set: each subscriber against what the generator sent on its
    stream (subscriber j takes stream j mod streams)."""
    sent = [c["next_seq"] - c["first_seq"] for c in gen["connections"]]
    if len(sent) != streams:
        raise RuntimeError(f"the generator reached {len(sent)} of {streams} streams")
    expected = sum(sent[s["index"] % streams] for s in subs["subscribers"])
    totals = subs["aggregate"]
    figures = {"sent": sum(sent), "expected": expected, "delivered": totals["received"],
               "delivered_ratio": harness.share(totals["received"], expected) or 0.0,
               "connected": subs["connected"], "failed_calls": totals["failed_attempts"],
               "late_resets": gen["late_resets"], "p50_ms": totals["latency_ms"]["p50"],
               "p99_ms": totals["latency_ms"]["p99"]}
    for name in ("lost", "duplicates", "reordered", "corrupted", "wrong_stream"):
        figures[name] = totals[name]
    figures["missing"] = expected - totals["received"]
    figures["zero_loss"] = all(figures[name] == 0 for name in (
        "missing", "lost", "duplicates", "corrupted", "wrong_stream")) and expected > 0
    return figures


def _usage_reader(relay_pid, gen_pid, subs_pid):
    """What a harness.Sampler reads during a run: (relay CPU s, machine busy CPU s, machine
    CPU s, load tool CPU s); a process that ended keeps its last figure."""
    last = {relay_pid: 0.0, gen_pid: 0.0, subs_pid: 0.0}

    def read():
        for pid in last:
            last[pid] = cpu_seconds_or(pid, last[pid])
        return (last[relay_pid], *machine_cpu(), last[gen_pid] + last[subs_pid])
    return read


def traffic_usage(samples, gen_report):
    """From a run's _usage_reader samples: the relay's CPU and the machine's cores from when
    the generator began to send (its report's first start_ms, on the same monotonic clock) to
    the last sample, and how long calling every stream took and cost the relay before."""
    starts = [c["start_ms"] / 1000 for c in (gen_report or {}).get("connections", [])]
    first, last = samples[0], samples[-1][1]
    begin = harness.value_at(samples, min(starts)) if starts else first[1]
    cpu_s = last[0] - begin[0]
    return {"cpu_s": cpu_s,
            "cores": machine_share(begin[1:3], last[1:3], cpu_s, last[3] - begin[3]),
            "publish_setup_s": max(min(starts) - first[0], 0.0) if starts else None,
            "publish_setup_cpu_s": begin[0] - first[1][0]}


def stream_set_run(relay, load_bin, workdir, ports, endpoints, streams, subscribers, rate_bps,
                   seconds, http_port=None, during=None):
    """A relay already started (a harness.Process that listens on ports) under a stream set:
    one generator process publishing `streams` streams at rate_bps each and one subscriber
    process with `subscribers` callers per stream, each process from one local UDP port.
    endpoints is (source port, target port, port step): stream n goes to the ports plus n times
    the step, with the stream id cam<n>. Returns delivery, latency, the relay's CPU while the
    traffic flowed and the machine's cores (traffic_usage); with http_port (the relay's API)
    also what it listed and its own counters. during(pid), when given, runs once every stream
    flows and its dict joins the result. A failure is recorded under "error"; the relay is
    stopped."""
    source, target, step = endpoints
    result = {}
    set_options = ("--streams", str(streams), "--streamid", STREAM_PREFIX, "--port-step", str(step))
    subs = gen = sampler = None
    try:
        if not harness.wait_until(lambda: ports <= harness.bound_udp_ports(), 30, step=0.2):
            raise RuntimeError("relay did not open its ports")
        time.sleep(1.0)
        ready = os.path.join(workdir, "ready")
        subs = harness.Process("sub", [load_bin, "sub", "--url", f"srt://127.0.0.1:{target}",
                                       *set_options, "--count", str(streams * subscribers),
                                       "--duration", str(seconds + 120), "--ready-file", ready,
                                       *LIGHT_SUBSCRIBERS], workdir)
        connect_start = time.monotonic()
        if not harness.wait_until(lambda: os.path.exists(ready), 60 + streams / 20):
            raise RuntimeError("the subscribers did not all connect")
        result["connect_s"] = time.monotonic() - connect_start
        time.sleep(1.0)
        gen = harness.Process("gen", [load_bin, "gen", "--url", f"srt://127.0.0.1:{source}",
                                      *set_options, "--share-port", "--rate", str(rate_bps),
                                      "--duration", str(seconds)], workdir)
        sampler = harness.Sampler(_usage_reader(relay.pid, gen.pid, subs.pid))
        # The generator calls every stream before its seconds of traffic start.
        if not harness.wait_until(lambda: "streams connected" in gen.stderr_text()
                                  or not gen.alive(), GEN_CONNECT_S + 10, step=0.2):
            raise RuntimeError("the generator did not reach every stream")
        if http_port is not None:
            wanted = [streams, streams * subscribers]
            harness.wait_until(lambda: _listed_connections(http_port) == wanted, seconds / 2,
                               step=0.5)
            result["listed"] = _listed_connections(http_port)
        if during is not None and gen.alive():
            result.update(during(relay.pid))
        peak_kb = 0
        deadline = time.monotonic() + seconds + 60
        while gen.wait(0.5) is None and time.monotonic() < deadline:
            peak_kb = max(peak_kb, harness.memory_kb(relay.pid).get("VmHWM", 0))
        if gen.alive():
            raise RuntimeError("generator did not finish")
        time.sleep(1.0)
        gen_report = gen.stdout_json()
        result.update(traffic_usage(sampler.stop(), gen_report))
        sampler = None
        if http_port is not None:
            result["relay_counters"] = metric_sums(http_port, RELAY_COUNTERS)
        result["peak_rss_mb"] = max(peak_kb, harness.memory_kb(relay.pid).get("VmHWM", 0)) / 1024
        subs.stop(30)
        if gen.popen.returncode != 0:
            result["gen_error"] = gen.stderr_text()[-300:]
        result.update(live_figures(gen_report, subs.stdout_json(), streams))
        result["cpu_s_per_gb"] = harness.cost_per_gb(result["cpu_s"],
                                                     result["delivered"] * harness.MESSAGE_SIZE)
        if not relay.alive():
            raise RuntimeError("the relay ended during the run")
    except (RuntimeError, OSError, ValueError, TypeError, KeyError) as failure:
        result["error"] = str(failure)
    finally:
        if sampler is not None:
            sampler.stop()
        for process in (gen, subs):
            if process is not None:
                process.stop(30)
        result["relay_exit"] = relay.stop(10)
    return result


def _live_run(relay_bin, load_bin, layout, seconds):
    """LIVE_ROUTES routes in layout ("shared": two ports; "own": a port each), a generator set
    publishing each at LIVE_RATE_BPS and LIVE_SUBSCRIBERS subscribers per route: delivery and
    the relay's CPU while the traffic flowed."""
    count = LIVE_ROUTES
    workdir = tempfile.mkdtemp(prefix=f"bench-shared-{layout}-")
    if layout == "shared":
        source, target, step = harness.free_port(), harness.free_port(), 0
        entries, ports = shared_entries(count, source, target), {source, target}
    else:
        source, step = harness.free_port_block(2 * count), 1
        target = source + count
        entries, ports = block_entries(count, source), set(range(source, source + 2 * count))
    http_port = harness.free_port(socket.SOCK_STREAM)
    relay = harness.start_relay(relay_bin, workdir, harness.routes_document(entries), http_port,
                                API_KEY)
    result = {"layout": layout, "routes": count}
    result.update(stream_set_run(
        relay, load_bin, workdir, ports, (source, target, step), count, LIVE_SUBSCRIBERS,
        LIVE_RATE_BPS, seconds, http_port,
        lambda pid: {"traffic_threads": cpu_by_thread(pid, min(THREAD_SECONDS, seconds / 4))}))
    harness.keep_workdir_on_error(result, workdir)
    return result


def measure_live(relay_bin, load_bin, seconds, out_dir, commit=""):
    """LIVE_ROUNDS rounds of the live case on ports of their own and then on two shared ports,
    seconds of traffic each; per round the ratio of their CPU per GB. Also written to
    shared_live.md and shared_live.json in out_dir."""
    result = {"commit": commit, "routes": LIVE_ROUTES, "subscribers": LIVE_SUBSCRIBERS,
              "rate_mbps": LIVE_RATE_BPS / 1e6, "seconds": seconds,
              "load_average_before": load_average(), "runs": []}
    for round_number in range(1, LIVE_ROUNDS + 1):
        for layout in LAYOUTS:
            run = _live_run(relay_bin, load_bin, layout, seconds)
            run["round"] = round_number
            result["runs"].append(run)
    result["load_average_after"] = load_average()
    result["ratios"] = round_ratios(result["runs"])
    result["ratio_median"] = statistics.median(result["ratios"]) if result["ratios"] else None
    result["zero_loss"] = all(run.get("zero_loss") for run in result["runs"])
    failed = [run for run in result["runs"] if "error" in run]
    if failed:
        result["error"] = f"{len(failed)} run(s) failed: {failed[0]['error']}"
    harness.save_result(out_dir, "shared_live", result, live_markdown(result))
    return result


def round_ratios(runs):
    """Per round with both layouts measured: shared CPU per GB / own CPU per GB."""
    cost = {(run["round"], run["layout"]): run.get("cpu_s_per_gb") for run in runs}
    return [cost[(n, "shared")] / cost[(n, "own")] for n in sorted({run["round"] for run in runs})
            if cost.get((n, "shared")) and cost.get((n, "own"))]


def load_average():
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def _verdict(value, goal):
    return "met" if value <= goal else "missed"


def routes_markdown(result):
    runs = [result["shared"], result["own"]]
    head = (f"{result['routes']} routes, each a listening source and a listening target with "
            f"the stream id cam0 ... cam{result['routes'] - 1} (relay commit {result['commit']}; "
            f"load average {result['load_average_before']} before, "
            f"{result['load_average_after']} after; descriptor limit "
            f"{result['descriptor_limit']}). Idle CPU is the quietest of {scale.IDLE_WINDOWS} "
            f"windows in {IDLE_SECONDS:g} s; the three adds are each a POST of a route, a PUT of "
            "its listening source, a POST and a PUT of a listening target, on the shared ports "
            "with a fresh stream id, or on fresh ports.")
    rows = ["| measure | all on two shared ports | on 2000 ports of their own | goal |",
            "|---|---|---|---|", *scale.stored_rows(runs),
            scale.run_row(runs, "route + source + target added, ms",
                          lambda r: ", ".join(f"{s * 1000:.0f}" for s in r["configure_s"]) +
                          _odd_statuses(r["configure_statuses"]),
                          (CONFIGURE_GOAL_S, f"{CONFIGURE_GOAL_S * 1000:g} ms"),
                          lambda r: max(r["configure_s"])),
            scale.run_row(runs, "relay CPU per add (main and HTTP threads), ms",
                          lambda r: f"{r['configure_cpu_s'] * 1000:.0f}"),
            scale.run_row(runs, "relay CPU until the API listed every route",
                          lambda r: f"{r['api_up_cpu_s']:.2f} s"),
            scale.run_row(runs, "idle CPU against the goal", lambda r: f"{r['idle_cpu_pct']:.1f} %",
                          (IDLE_GOAL_PCT, f"{IDLE_GOAL_PCT:g} %"), lambda r: r["idle_cpu_pct"])]
    text = [head, "", *rows]
    for name, run in zip(("shared ports", "own ports"), runs):
        if "error" in run:
            text.append(f"\nOn {name}: failed: {run['error']}")
    text += ["", f"Where the idle CPU goes (one window of {THREAD_SECONDS:g} s after the idle "
             "measure):", "", *_thread_table([run.get("idle_threads", []) for run in runs])]
    return "\n".join(text)


def _thread_table(groups_per_run):
    """Thread groups of the relay on two shared ports and on ports of their own, side by side:
    threads, CPU % of one core (the scheduler's run time) and times run per second."""
    rows = ["| threads | on two shared ports: count, CPU %, runs/s |"
            " on ports of their own: count, CPU %, runs/s |", "|---|---|---|"]
    groups = {}
    for column, run_groups in enumerate(groups_per_run):
        for group in run_groups:
            groups.setdefault(group["group"], [None, None])[column] = group
    for name, pair in sorted(groups.items(), key=lambda item: -max(
            g["cpu_pct"] if g else 0.0 for g in item[1])):
        if max(g["cpu_pct"] if g else 0.0 for g in pair) < 0.05:
            continue
        cells = ["-" if g is None else
                 f"{g['threads']}, {g['cpu_pct']:.2f}, {g['runs_per_s']:.0f}" for g in pair]
        rows.append(f"| {name} | {cells[0]} | {cells[1]} |")
    return rows


def _odd_statuses(statuses):
    odd = sorted({status for status in statuses if status != 200})
    return f" (status {', '.join(map(str, odd))})" if odd else ""


def _number(value, digits):
    return "-" if value is None else f"{value:.{digits}f}"


def cores_text(cores):
    """machine_share figures as "relay, load tool, others; idle%"."""
    if not cores:
        return "-"
    return (f"{cores['relay']:.2f}, {cores['load_tool']:.2f}, {cores['others']:.2f};"
            f" {cores['idle_pct']:.0f}%")


def live_markdown(result):
    head = (f"{result['routes']} live routes at {result['rate_mbps']:g} Mbit/s with "
            f"{result['subscribers']} subscribers each (relay commit {result['commit']}; "
            f"{result['seconds']} s of traffic per run; load average "
            f"{result['load_average_before']} before, {result['load_average_after']} after). "
            "One load tool process publishes every stream (stream n with the id cam<n>), one "
            f"subscribes to them all (caller j takes stream j mod {result['routes']}), each "
            "from one local UDP port, the subscribers taking messages on arrival. On ports of "
            "their own route n listens on a source port and a target port of its own, with "
            "the same ids. "
            "Listed: the source and target connections the relay's metrics count during the "
            "run. Missing: what the subscribers should have had of their streams and did not "
            "get; lost: gaps in what they got; wrong: messages of another stream. The relay's "
            "own counters: packets lost on the way in, messages a full send buffer refused, "
            "packets lost on the way out and resent. Cores: the CPU the relay, the load tool "
            "and every other process on the machine used while the traffic flowed, and the "
            "machine's idle share.")
    rows = ["| round | ports | listed | delivered | missing | lost | dup | wrong | p50 ms |"
            " p99 ms | relay: in lost, dropped, out lost, resent | relay CPU s | CPU s/GB |"
            " peak RSS MB | cores: relay, load tool, others; machine idle |",
            "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"]
    for run in result["runs"]:
        head_cells = f"| {run['round']} | {LAYOUT_TEXT[run['layout']]} |"
        if "delivered" not in run:
            rows.append(f"{head_cells} failed: {run.get('error')} |" + " |" * 13)
            continue
        listed, counters = run.get("listed"), run.get("relay_counters")
        rows.append(
            f"{head_cells} {'-' if listed is None else f'{listed[0]} + {listed[1]}'} |"
            f" {run['delivered_ratio'] * 100:.3f}% | {run['missing']} | {run['lost']} |"
            f" {run['duplicates']} | {run['wrong_stream']} | {_number(run['p50_ms'], 1)} |"
            f" {_number(run['p99_ms'], 1)} |"
            f" {'-' if counters is None else ', '.join(str(counters[c]) for c in RELAY_COUNTERS)} |"
            f" {run['cpu_s']:.2f} |"
            f" {_number(run['cpu_s_per_gb'], 2)} | {run['peak_rss_mb']:.1f} |"
            f" {cores_text(run.get('cores'))} |")
    ratios = ", ".join(f"{r:.2f}" for r in result["ratios"]) or "-"
    median = result["ratio_median"]
    tail = (f"CPU per GB on two shared ports / on ports of their own, per round: {ratios}; "
            f"median {_number(median, 2)} (goal at most {CPU_RATIO_GOAL:.2f}: "
            f"{'-' if median is None else _verdict(median, CPU_RATIO_GOAL)}). Zero loss in "
            f"every run: {'yes' if result['zero_loss'] else 'no'}.")
    last = {run["layout"]: run.get("traffic_threads", []) for run in result["runs"]}
    threads = ["", "Where the relay's CPU goes while the traffic flows (last round, one window "
               f"of up to {THREAD_SECONDS:g} s):", "",
               *_thread_table([last.get("shared", []), last.get("own", [])])]
    return "\n".join([head, "", *rows, "", tail, *threads])
