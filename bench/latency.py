"""Latency through the relay: per row, a direct sender-to-receiver link, the relay with a plain
target and the relay with sourcetime=1, all three at once under the same load."""
import os
import socket
import statistics
import subprocess
import tempfile
import time

import harness

API_KEY = "bench"
RATE_BPS = 2_000_000
SEED = 22
# name: (latency of each leg from the sender to the subscribers in ms, impairment of every leg)
ROWS = {
    "clean 200/300": ((200, 300), None),
    "clean 200/200": ((200, 200), None),
    "lossy 200/400": ((200, 400), {"loss": 5, "delay": 20}),
    "two relays 200/300/400": ((200, 300, 400), None),
}
LINKS = ("direct", "plain", "sourcetime=1")
REPEATS = 3
# With source time each relay may add this much p50 over a direct link of the same end latency.
ADDED_P50_GOAL_MS = 10.0
LOSSY_DELIVERED_GOAL = 0.999


def _endpoint(mode, url, latency, source_time=False):
    query = f"?latency={latency}" + ("&sourcetime=1" if source_time else "")
    return {"enabled": 1, "mode": mode, "url": url + query}


def _route(route_id, source_port, source_latency, targets):
    """A route whose source listens on source_port; targets is {target id: endpoint}."""
    source = _endpoint("listen", f"srt://:{source_port}", source_latency)
    return {"source_id": route_id, **source,
            "targets": {str(tid): endpoint for tid, endpoint in targets.items()}}


def _has_impair(load_bin):
    usage = subprocess.run([load_bin], capture_output=True, text=True, timeout=10).stderr
    return "impair" in usage


class _Row:
    """The processes of one row, all stopped by PID in stop()."""

    def __init__(self, args, workdir):
        self.relay_bin, self.load_bin, self.seconds = args
        self.workdir = workdir
        self.processes = []

    def start(self, name, argv, env=None):
        process = harness.Process(name, argv, self.workdir, env)
        self.processes.append(process)
        return process

    def relay(self, name, routes):
        text = harness.routes_document(routes)
        relay_dir = os.path.join(self.workdir, name)
        os.makedirs(relay_dir, exist_ok=True)
        process = harness.start_relay(self.relay_bin, relay_dir, text,
                                      harness.free_port(socket.SOCK_STREAM), API_KEY, name=name)
        self.processes.append(process)
        return process

    def path_to(self, port, impairment, hops=1):
        """The port a caller dials to reach port over hops impaired legs (port itself when
        clean)."""
        for hop in range(hops if impairment else 0):
            entry = harness.free_port()
            self.start(f"impair-{entry}",
                       [self.load_bin, "impair", "--listen", str(entry), "--to",
                        f"127.0.0.1:{port}", "--seconds", str(self.seconds + 120),
                        "--seed", str(SEED + hop + port), "--loss", str(impairment["loss"]),
                        "--delay", str(impairment["delay"])])
            port = entry
        return port

    def subscriber(self, name, port, latency):
        """A subscriber process; its ready_path appears once it is connected."""
        ready = os.path.join(self.workdir, f"{name}.ready")
        process = self.start(name, [self.load_bin, "sub", "--url", f"srt://127.0.0.1:{port}",
                                    "--latency", str(latency), "--duration",
                                    str(self.seconds + 120), "--ready-file", ready])
        process.ready_path = ready
        return process

    def generator(self, name, port, latency, listen=False):
        argv = [self.load_bin, "gen", "--url", f"srt://127.0.0.1:{port}", "--rate",
                str(RATE_BPS), "--duration", str(self.seconds), "--latency", str(latency)]
        return self.start(name, argv + (["--listen"] if listen else []))

    def stop(self):
        for process in reversed(self.processes):
            process.stop(10)


def _relays(row, legs):
    """Starts the relay (or two chained relays) with a plain target and one with source time.
    Returns (source port, {link: target port}, relays)."""
    source = harness.free_port()
    plain, timed = harness.free_port(), harness.free_port()
    if len(legs) == 2:
        targets = {1000: _endpoint("listen", f"srt://:{plain}", legs[1]),
                   1001: _endpoint("listen", f"srt://:{timed}", legs[1], True)}
        relays = [row.relay("relay", {100: _route(100, source, legs[0], targets)})]
        return source, {"plain": plain, "sourcetime=1": timed}, relays
    # The origin pushes one copy to each of two routes of the edge.
    edge_plain, edge_timed = harness.free_port(), harness.free_port()
    edge = row.relay("edge", {
        100: _route(100, edge_plain, legs[1],
                    {1000: _endpoint("listen", f"srt://:{plain}", legs[2])}),
        101: _route(101, edge_timed, legs[1],
                    {1001: _endpoint("listen", f"srt://:{timed}", legs[2], True)})})
    # A handshake the edge takes while it is still starting fixes a late time base on that
    # connection for good, and its delay would count against the path.
    edge_ports = {edge_plain, edge_timed, plain, timed}
    if not harness.wait_until(lambda: edge_ports <= harness.bound_udp_ports(), 15):
        raise RuntimeError("edge relay did not open its ports")
    time.sleep(1.0)
    pushed = {1000: _endpoint("push", f"srt://127.0.0.1:{edge_plain}", legs[1]),
              1001: _endpoint("push", f"srt://127.0.0.1:{edge_timed}", legs[1], True)}
    origin = row.relay("origin", {100: _route(100, source, legs[0], pushed)})
    return source, {"plain": plain, "sourcetime=1": timed}, [edge, origin]


def _figures(report, sent):
    totals = report["aggregate"]
    return {"p50_ms": totals["latency_ms"]["p50"], "p99_ms": totals["latency_ms"]["p99"],
            "delivered_ratio": harness.share(totals["received"], sent) or 0.0,
            "received": totals["received"], "sent": sent, "lost": totals["lost"]}


def measure_row(name, relay_bin, load_bin, seconds):
    legs, impairment = ROWS[name]
    result = {"row": name, "legs": list(legs), "impairment": impairment, "links": {}}
    workdir = tempfile.mkdtemp(prefix="bench-latency-")
    row = _Row((relay_bin, load_bin, seconds), workdir)
    try:
        if impairment and not _has_impair(load_bin):
            raise RuntimeError("the load tool has no impair mode")
        source, target_ports, relays = _relays(row, legs)
        wanted = {source, *target_ports.values()}
        if not harness.wait_until(lambda: wanted <= harness.bound_udp_ports(), 15):
            raise RuntimeError("relay did not open its ports")
        # The direct link has the subscribers' end latency and every impaired leg of the path.
        direct = harness.free_port()
        direct_gen = row.generator("gen-direct", direct, legs[-1], listen=True)
        subs = {"direct": row.subscriber("sub-direct",
                                         row.path_to(direct, impairment, len(legs)), legs[-1])}
        for link, port in target_ports.items():
            subs[link] = row.subscriber(f"sub-{link}", row.path_to(port, impairment), legs[-1])
        if not harness.wait_until(
                lambda: all(os.path.exists(sub.ready_path) for sub in subs.values()), 30):
            raise RuntimeError("subscribers did not connect")
        time.sleep(1.0)  # chained relays: the origin's push targets call the edge
        relay_gen = row.generator("gen-relay", row.path_to(source, impairment), legs[0])
        for gen in (direct_gen, relay_gen):
            if gen.wait(seconds + 60) is None:
                raise RuntimeError(f"{gen.name} did not finish")
        time.sleep(1.0 + sum(legs) / 1000)
        for link, sub in subs.items():
            sub.stop(30)
            gen = direct_gen if link == "direct" else relay_gen
            result["links"][link] = _figures(sub.stdout_json(), gen.stdout_json()["sent"])
        result["ok"] = all(relay.alive() for relay in relays)
    except (RuntimeError, OSError, ValueError, TypeError, KeyError) as failure:
        result["error"] = str(failure)
    finally:
        row.stop()
        harness.keep_workdir_on_error(result, workdir)
    return result


def _combine(runs):
    """One row from its repeats: the median of each latency, delivery over all of them, and the
    median over the runs of what sourcetime=1 added to the direct link's p50."""
    good = [run for run in runs if "error" not in run]
    if not good:
        return runs[0]
    row = {key: good[0][key] for key in ("row", "legs", "impairment")}
    row["runs"] = len(good)
    row["links"] = {}
    for link in LINKS:
        figures = [run["links"][link] for run in good]
        received = sum(f["received"] for f in figures)
        sent = sum(f["sent"] for f in figures)
        row["links"][link] = {
            "p50_ms": statistics.median(f["p50_ms"] for f in figures),
            "p99_ms": statistics.median(f["p99_ms"] for f in figures),
            "delivered_ratio": harness.share(received, sent) or 0.0,
            "received": received, "sent": sent, "lost": sum(f["lost"] for f in figures)}
    row["added_p50_ms"] = statistics.median(
        run["links"]["sourcetime=1"]["p50_ms"] - run["links"]["direct"]["p50_ms"] for run in good)
    return row


def measure(relay_bin, load_bin, seconds, out_dir):
    """Every row, REPEATS times: each connection's time base carries its own handshake delay
    (a few ms, tens on a busy machine), so one run says little about a few ms. Also written to
    latency.md and latency.json in out_dir."""
    per_run = max(seconds // 2, 5)
    rows = [_combine([measure_row(name, relay_bin, load_bin, per_run) for _ in range(REPEATS)])
            for name in ROWS]
    result = {"rate_bps": RATE_BPS, "seconds": per_run, "repeats": REPEATS, "rows": rows,
              "load_average": " ".join(f"{x:.2f}" for x in os.getloadavg())}
    harness.save_result(out_dir, "latency", result, markdown(result))
    return result


def _legs_text(row):
    legs = "/".join(str(ms) for ms in row["legs"])
    impairment = row["impairment"]
    if impairment:
        legs += f", {impairment['loss']}% loss and {impairment['delay']} ms each way per leg"
    return legs


def _goal_text(row):
    timed = row["links"]["sourcetime=1"]
    added = row["added_p50_ms"]
    wanted = LOSSY_DELIVERED_GOAL if row["impairment"] else 1.0
    relays = len(row["legs"]) - 1
    met = added <= ADDED_P50_GOAL_MS * relays and timed["delivered_ratio"] >= wanted
    return f"{added:+.1f} ms, {'met' if met else 'missed'}"


def markdown(latency):
    rows = ["| legs (ms) | link | p50 ms | p99 ms | delivered | sourcetime=1 over direct p50 |",
            "|---|---|---|---|---|---|"]
    for row in latency["rows"]:
        if "error" in row:
            rows.append(f"| {_legs_text(row)} | failed: {row['error']} | | | | |")
            continue
        for link in LINKS:
            figures = row["links"][link]
            goal = _goal_text(row) if link == "sourcetime=1" else ""
            rows.append(f"| {_legs_text(row) if link == 'direct' else ''} | {link} |"
                        f" {figures['p50_ms']:.1f} | {figures['p99_ms']:.1f} |"
                        f" {figures['delivered_ratio'] * 100:.3f}% | {goal} |")
    return (f"Latency from the sender to the subscribers at {latency['rate_bps'] / 1e6:g} Mbit/s, "
            f"{latency['repeats']} runs of {latency['seconds']} s per row (medians; delivered over "
            "all runs); each run has a direct link with the subscribers' latency (over the "
            "same impaired legs), the relay with a plain target and the relay with sourcetime=1 "
            "at once. "
            f"Goal: with sourcetime=1 each relay adds at most {ADDED_P50_GOAL_MS:g} ms of p50 over "
            "the direct link (median over the runs), and the path delivers everything on clean "
            f"legs and {LOSSY_DELIVERED_GOAL * 100:g}% on lossy ones.\n\n" + "\n".join(rows))
