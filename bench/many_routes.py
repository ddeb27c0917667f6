"""Many live routes on two shared ports beside the bare relay of many streams (the load tool's
"routes": one thread, one SRT epoll over every socket, streams paired by stream id on two
ports), one route with many subscribers beside the bare fan-out ("forward"), and how often each
relay thread wakes while a thousand subscribers stream. Each case runs against its bare
reference in the same round. Run through bench/run-bench.sh --cases many_routes."""
import os
import socket
import statistics
import tempfile
import time

import harness
import scale
import shared_port

API_KEY = shared_port.API_KEY
# name: (routes, subscribers per route, bit rate of each stream); every route on two shared ports.
ROUTE_CASES = {
    "300x1": (300, 1, 500_000),
    "1000x1": (1000, 1, 100_000),
    "100x2": (100, 2, 1_000_000),
}
# One route with many subscribers: cases of the main matrix (run_bench.CASES).
ONE_ROUTE_CASES = ("200x2", "1000x0.3")
REFERENCE = {"route": "bare", "one": "forward"}
ROUNDS = 3
# Per case: CPU per GB at most ratio times the reference's; whole: every message delivered;
# p99_over_ms: p99 at most this over the reference's; no_more_loss: no more missing than it.
GOALS = {
    "300x1": {"ratio": 1.2, "whole": True, "p99_over_ms": 30.0},
    "1000x1": {"ratio": 1.3, "whole": True},
    "100x2": {"ratio": 1.1},
    "200x2": {"ratio": 1.05, "no_more_loss": True},
    "1000x0.3": {"ratio": 1.10, "no_more_loss": True},
}
# Where a thousand subscribers stream: each thread's wakes are read from /proc once every
# stream flows and nobody connects (the generator has called every stream).
WAKE_CASES = ("1000x1", "1000x0.3")
WAKE_SECONDS = 5.0
WAKE_SETTLE_S = 1.0
WAKE_LIMIT = 100.0  # a second, for any thread but libsrt's own and the relay's loop
LIBRARY_THREAD_PREFIX = "SRT:"
LOOP_THREAD = "loop"
FLAGS_LISTED = 10


def switches_of(status_text):
    """Voluntary plus involuntary context switches in the text of /proc/.../status; None when
    the fields are missing."""
    counts = {}
    for line in status_text.splitlines():
        name, _, value = line.partition(":")
        if name in ("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches"):
            counts[name] = int(value)
    return sum(counts.values()) if len(counts) == 2 else None


def thread_switches(pid):
    """{thread id: (name, context switches so far)} of pid's threads, from /proc."""
    threads = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as comm, \
                    open(f"/proc/{pid}/task/{tid}/status") as status:
                name, switches = comm.read().strip(), switches_of(status.read())
        except OSError:
            continue  # ended meanwhile
        if switches is not None:
            threads[tid] = (name, switches)
    return threads


def may_wake_often(name):
    """libsrt's own threads and the relay's event loop may wake with every message."""
    return name.startswith(LIBRARY_THREAD_PREFIX) or shared_port.thread_group(name) == LOOP_THREAD


def wake_figures(before, after, seconds, limit=WAKE_LIMIT):
    """Wakes a second between two thread_switches snapshots, for threads in both: per thread
    name without its number, the threads, their wakes a second and the busiest one's. Flagged,
    the busiest first: each thread over limit that may not wake that often, and each name
    whose threads together are over it (a thread per route may stay under the limit alone)."""
    groups, flagged = {}, []
    for tid, (name, switches) in after.items():
        if tid not in before:
            continue
        rate = (switches - before[tid][1]) / seconds
        group = groups.setdefault(shared_port.thread_group(name), {
            "group": shared_port.thread_group(name), "threads": 0, "wakes_per_s": 0.0,
            "busiest_per_s": 0.0})
        group["threads"] += 1
        group["wakes_per_s"] += rate
        group["busiest_per_s"] = max(group["busiest_per_s"], rate)
        if rate > limit and not may_wake_often(name):
            flagged.append({"thread": name, "wakes_per_s": rate})
    for group in groups.values():
        if group["threads"] > 1 and group["wakes_per_s"] > limit and \
                not may_wake_often(group["group"]):
            flagged.append({"thread": f"{group['threads']} {group['group']} threads together",
                            "wakes_per_s": group["wakes_per_s"]})
    return {"seconds": seconds, "groups": sorted(groups.values(), key=lambda g: -g["wakes_per_s"]),
            "flagged": sorted(flagged, key=lambda f: -f["wakes_per_s"])}


def measure_wakes(pid, seconds=WAKE_SECONDS):
    """After a moment to settle, the wakes of each of pid's threads over seconds
    (wake_figures)."""
    time.sleep(WAKE_SETTLE_S)
    started = time.monotonic()
    before = thread_switches(pid)
    time.sleep(seconds)
    after = thread_switches(pid)
    return wake_figures(before, after, time.monotonic() - started)


def _wake_probe(case, seconds):
    """What reads the wakes during a run of case (a during hook), or None."""
    if case not in WAKE_CASES:
        return None
    return lambda pid: {"wakes": measure_wakes(pid, min(WAKE_SECONDS, seconds / 4))}


def _route_case_run(relay_bin, load_bin, relay_name, case, seconds):
    """One relay ("mirevo" or "bare") under a many-routes case: routes stream ids cam<n> on a
    source port and a target port shared by all."""
    routes, subscribers, rate = ROUTE_CASES[case]
    workdir = tempfile.mkdtemp(prefix=f"bench-routes-{relay_name}-")
    source, target = harness.free_port(), harness.free_port()
    http_port = None
    if relay_name == "mirevo":
        http_port = harness.free_port(socket.SOCK_STREAM)
        entries = shared_port.shared_entries(routes, source, target)
        relay = harness.start_relay(relay_bin, workdir, harness.routes_document(entries),
                                    http_port, API_KEY)
    else:
        relay = harness.Process("relay", [load_bin, "routes", "--source-port", str(source),
                                          "--target-port", str(target), "--duration",
                                          str(seconds + 600)], workdir)
    result = {"relay": relay_name, "case": case, "routes": routes, "subscribers": subscribers,
              "rate_mbps": rate / 1e6}
    result.update(shared_port.stream_set_run(relay, load_bin, workdir, {source, target},
                                             (source, target, 0), routes, subscribers, rate,
                                             seconds, http_port,
                                             _wake_probe(case, seconds)))
    harness.keep_workdir_on_error(result, workdir)
    return result


def _median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def _missing_share(run):
    return None if "delivered_ratio" not in run else 1 - run["delivered_ratio"]


def case_summary(runs, case, relay="mirevo"):
    """Medians over the rounds of a case for the relay and its reference, the relay's CPU per
    GB against the reference's per round and its median, and each goal of the case with
    "met" or "missed" (None when a figure is missing)."""
    reference = REFERENCE["route" if case in ROUTE_CASES else "one"]
    mine = [r for r in runs if r["case"] == case and r["relay"] == relay]
    theirs = [r for r in runs if r["case"] == case and r["relay"] == reference]
    summary = {"case": case, "relay_name": relay, "reference_name": reference}
    for name, side in (("relay", mine), ("reference", theirs)):
        summary[name] = {
            "runs": len(side), "failed": sum(1 for r in side if "error" in r),
            "delivered_ratio": _median([r.get("delivered_ratio") for r in side]),
            "missing_share": _median([_missing_share(r) for r in side]),
            "p99_ms": _median([r.get("p99_ms") for r in side]),
            "cpu_s_per_gb": _median([r.get("cpu_s_per_gb") for r in side]),
            "load_tool_cores": _median([r.get("cores", {}).get("load_tool") for r in side]),
            "idle_pct": _median([r.get("cores", {}).get("idle_pct") for r in side]),
            "whole": bool(side) and all(
                r.get("missing", 1) == 0 and r.get("lost", 1) == 0 for r in side)}
    cost = {(r["round"], r["relay"]): r.get("cpu_s_per_gb") for r in mine + theirs}
    summary["ratios"] = [cost[(n, relay)] / cost[(n, reference)]
                         for n in sorted({r["round"] for r in mine})
                         if cost.get((n, relay)) and cost.get((n, reference))]
    summary["ratio"] = _median(summary["ratios"])
    summary["goals"] = _verdicts(summary, GOALS.get(case, {}))
    return summary


def _verdicts(summary, goal):
    """{goal name: (what it asks, "met" / "missed" / None)} of a case_summary."""
    relay, reference = summary["relay"], summary["reference"]

    def judged(value, passed):
        return None if value is None else ("met" if passed(value) else "missed")
    verdicts = {}
    if "ratio" in goal:
        verdicts["ratio"] = (f"CPU/GB at most {goal['ratio']:.2f}x",
                             judged(summary["ratio"], lambda v: v <= goal["ratio"]))
    if goal.get("whole"):
        verdicts["whole"] = ("every message delivered in every round",
                             "met" if relay["whole"] else "missed")
    if "p99_over_ms" in goal:
        over = None
        if relay["p99_ms"] is not None and reference["p99_ms"] is not None:
            over = relay["p99_ms"] - reference["p99_ms"]
        verdicts["p99"] = (f"p99 within {goal['p99_over_ms']:g} ms of the reference's",
                           judged(over, lambda v: v <= goal["p99_over_ms"]))
    if goal.get("no_more_loss"):
        more = None
        if relay["missing_share"] is not None and reference["missing_share"] is not None:
            more = relay["missing_share"] - reference["missing_share"]
        verdicts["loss"] = ("no more missing than the reference", judged(more, lambda v: v <= 0))
    return verdicts


def wake_summary(runs):
    """Per wake case, the relay's flagged threads over every round (the busiest reading of
    each name), and whether none was flagged."""
    flagged = {}
    for run in runs:
        if run["relay"] != "mirevo" or "wakes" not in run:
            continue
        for flag in run["wakes"]["flagged"]:
            key = (run["case"], flag["thread"])
            flagged[key] = max(flagged.get(key, 0.0), flag["wakes_per_s"])
    measured = sorted({run["case"] for run in runs if run["relay"] == "mirevo" and "wakes" in run})
    return {"cases": measured, "limit_per_s": WAKE_LIMIT,
            "flagged": [{"case": case, "thread": thread, "wakes_per_s": rate}
                        for (case, thread), rate in sorted(flagged.items(),
                                                           key=lambda item: -item[1])],
            "met": bool(measured) and not flagged}


def measure(relay_bin, load_bin, seconds, out_dir, one_route, commit="", rounds=ROUNDS):
    """rounds rounds of each many-routes case on the relay and on the bare relay of many
    streams, and of each one-route case on the relay and on the bare fan-out (one_route(relay
    name, case, during) runs one, as run_bench.run_case does), seconds of traffic each; the
    relay's thread wakes where a thousand subscribers stream. Also written to many_routes.md
    and many_routes.json in out_dir."""
    result = {"commit": commit, "seconds": seconds, "rounds": rounds, "cpus": os.cpu_count(),
              "load_average_before": shared_port.load_average(),
              "descriptor_limit": scale.raise_descriptor_limit(
                  max(case[0] for case in ROUTE_CASES.values()) * scale.STORED_ROUTES_FDS),
              "runs": []}
    for round_number in range(1, rounds + 1):
        for case in ROUTE_CASES:
            for relay_name in ("mirevo", REFERENCE["route"]):
                run = _route_case_run(relay_bin, load_bin, relay_name, case, seconds)
                run["round"] = round_number
                result["runs"].append(run)
        for case in ONE_ROUTE_CASES:
            for relay_name in ("mirevo", REFERENCE["one"]):
                run = one_route(relay_name, case, _wake_probe(case, seconds))
                run["round"], run["routes"] = round_number, 1
                result["runs"].append(run)
    result["load_average_after"] = shared_port.load_average()
    result["summary"] = [case_summary(result["runs"], case)
                         for case in (*ROUTE_CASES, *ONE_ROUTE_CASES)]
    result["wakes"] = wake_summary(result["runs"])
    verdicts = [v for s in result["summary"] for _, v in s["goals"].values()]
    result["goals_met"] = all(v == "met" for v in verdicts) and result["wakes"]["met"]
    failed = [run for run in result["runs"] if "error" in run]
    if failed:
        result["error"] = f"{len(failed)} run(s) failed: {failed[0]['error']}"
    harness.save_result(out_dir, "many_routes", result, markdown(result))
    return result


def _number(value, digits, unit=""):
    return "-" if value is None else f"{value:.{digits}f}{unit}"


def _percent(value):
    return "-" if value is None else f"{value * 100:.3f}%"


def _case_text(case):
    if case in ROUTE_CASES:
        routes, subscribers, rate = ROUTE_CASES[case]
        return f"{routes} routes x {subscribers} at {rate / 1e6:g} Mbit/s"
    count, rate = case.split("x")
    return f"1 route x {count} at {rate} Mbit/s"


def _side(figures):
    return (f"{_percent(figures['delivered_ratio'])}, {_number(figures['p99_ms'], 0)},"
            f" {_number(figures['cpu_s_per_gb'], 2)}")


def summary_rows(summaries):
    rows = ["| load | reference | reference: delivered, p99 ms, CPU s/GB |"
            " relay: delivered, p99 ms, CPU s/GB | CPU/GB ratio per round; median |"
            " load tool cores, machine idle (relay runs) | goals |",
            "|---|---|---|---|---|---|---|"]
    for s in summaries:
        relay = s["relay"]
        ratios = ", ".join(f"{r:.2f}" for r in s["ratios"]) or "-"
        goals = "; ".join(f"{text}: {verdict or '-'}" for text, verdict in s["goals"].values())
        failed = sum(s[side]["failed"] for side in ("relay", "reference"))
        tail = f" ({failed} run(s) failed)" if failed else ""
        rows.append(f"| {_case_text(s['case'])} | {s['reference_name']} | {_side(s['reference'])} |"
                    f" {_side(relay)} | {ratios}; {_number(s['ratio'], 2, 'x')} |"
                    f" {_number(relay['load_tool_cores'], 2)}, {_number(relay['idle_pct'], 0)}% |"
                    f" {goals}{tail} |")
    return rows


def run_rows(runs):
    rows = ["| round | load | relay | delivered | missing | lost | p50 ms | p99 ms | relay CPU s |"
            " CPU s/GB | cores: relay, load tool, others; machine idle |"
            " publishers' set-up: s, relay CPU s |",
            "|---|---|---|---|---|---|---|---|---|---|---|---|"]
    for run in runs:
        head = f"| {run['round']} | {_case_text(run['case'])} | {run['relay']} |"
        if "delivered_ratio" not in run:
            rows.append(f"{head} failed: {run.get('error')} |" + " |" * 8)
            continue
        rows.append(f"{head} {_percent(run['delivered_ratio'])} | {run['missing']} |"
                    f" {run['lost']} | {_number(run['p50_ms'], 1)} | {_number(run['p99_ms'], 1)} |"
                    f" {_number(run.get('cpu_s'), 2)} | {_number(run['cpu_s_per_gb'], 2)} |"
                    f" {shared_port.cores_text(run.get('cores'))} |"
                    f" {_number(run.get('publish_setup_s'), 1)},"
                    f" {_number(run.get('publish_setup_cpu_s'), 2)} |")
    return rows


def wake_rows(runs, case):
    """The last round's wakes of case: per thread name, relay and reference side by side."""
    last = {}
    for run in runs:
        if run["case"] == case and "wakes" in run:
            last[run["relay"]] = run["wakes"]
    relay, reference = last.get("mirevo"), last.get(
        REFERENCE["route" if case in ROUTE_CASES else "one"])
    rows = ["| thread | relay: threads, wakes/s, busiest one/s | reference: threads, wakes/s,"
            " busiest one/s |", "|---|---|---|"]
    groups = {}
    for column, wakes in enumerate((relay, reference)):
        for group in (wakes or {}).get("groups", []):
            groups.setdefault(group["group"], [None, None])[column] = group
    for name, pair in sorted(groups.items(), key=lambda item: -max(
            g["wakes_per_s"] if g else 0.0 for g in item[1])):
        cells = ["-" if g is None else
                 f"{g['threads']}, {g['wakes_per_s']:.0f}, {g['busiest_per_s']:.0f}" for g in pair]
        rows.append(f"| {name} | {cells[0]} | {cells[1]} |")
    return rows


def markdown(result):
    head = (f"Many routes and many subscribers against bare libsrt references, {result['rounds']}"
            f" round(s) of {result['seconds']} s of traffic per run (relay commit "
            f"{result['commit']}; {result['cpus']} CPUs; load average "
            f"{result['load_average_before']} before, {result.get('load_average_after', '-')} "
            "after). The many-routes cases put every route on two shared ports (stream ids "
            "cam0, cam1, ...): one load tool process publishes every stream, one subscribes "
            "to them all, each from one local UDP port, taking messages on arrival; their "
            "reference is the load tool's bare relay of many streams (one thread, one SRT "
            "epoll over every socket, callers paired by stream id on the same two ports). The "
            "one-route cases are those of the main matrix; their reference is the bare "
            "fan-out. Figures are medians over the rounds; the ratio is the relay's CPU per GB "
            "over the reference's in the same round. Delivered is against what the generator "
            "sent on each subscriber's stream; missing is what did not arrive, lost the gaps "
            "in what did. CPU and cores count from when the generator began to send (in the "
            "many-routes cases it first calls every stream, one after the other: the "
            "publishers' set-up, whose time and relay CPU are shown apart) to a second after "
            "it stopped. Cores: the CPU the relay, the load tool and every other process used "
            "meanwhile, and the machine's idle share.")
    text = [head, "", *summary_rows(result["summary"])]
    wakes = result["wakes"]
    flagged = wakes["flagged"]
    listed = ", ".join(f"{f['thread']} ({f['wakes_per_s']:.0f}/s in {_case_text(f['case'])})"
                       for f in flagged[:FLAGS_LISTED])
    more = f" and {len(flagged) - FLAGS_LISTED} more" if len(flagged) > FLAGS_LISTED else ""
    text += ["", f"Wakes (voluntary and involuntary context switches from /proc, over up to "
             f"{WAKE_SECONDS:g} s once every stream flows and nobody connects): no relay thread "
             f"but libsrt's own ({LIBRARY_THREAD_PREFIX}*) and the loop (\"{LOOP_THREAD}\") may "
             f"wake more than {WAKE_LIMIT:g} times a second, nor may the threads of one name "
             "together. "
             + (f"Over it: {listed}{more}." if flagged else "None over it.")
             + f" Goal: {'met' if wakes['met'] else 'missed'}."]
    for case in wakes["cases"]:
        text += ["", f"Wakes by thread, {_case_text(case)} (last round):", "",
                 *wake_rows(result["runs"], case)]
    text += ["", f"Every goal met: {'yes' if result['goals_met'] else 'no'}.", "",
             "Every run:", "", *run_rows(result["runs"])]
    return "\n".join(text)
