"""Recordings on this machine's disk beside the subscribers of the same routes: ROUTES routes of
RATE_BPS, each with SUBSCRIBERS subscribers, once with a file:// target on every route and once
without, in each round. Goals: no recording drops a message, every subscriber gets every message,
and the relay's CPU per GB delivered to the subscribers is at most RATIO times that without
recording. Run through bench/run-bench.sh --cases recording."""
import os
import re
import shutil
import socket
import statistics
import tempfile

import harness
import shared_port

API_KEY = shared_port.API_KEY
ROUTES, SUBSCRIBERS, RATE_BPS = 20, 5, 5_000_000
SEGMENT_SECONDS = 10
ROUNDS = 3
RATIO = 1.1
# Under /var/tmp: on the disk, where /tmp may be a tmpfs.
DISK_ROOT = "/var/tmp"
RECORDED_LINE = re.compile(r"\[STATS \d+->(\d+)\].*\[recorded: \S+, (\d+) segments, (\d+) dropped\]")


def recorded_figures(stdout_text):
    """{target id: (segments, dropped)} from the last statistics line of each recording."""
    last = {}
    for match in RECORDED_LINE.finditer(stdout_text):
        last[int(match.group(1))] = (int(match.group(2)), int(match.group(3)))
    return last


def _run(relay_bin, load_bin, recording, seconds):
    """One round's run with (recording True) or without a file:// target on every route."""
    workdir = tempfile.mkdtemp(prefix=f"bench-recording-{int(recording)}-")
    folder = tempfile.mkdtemp(prefix="bench-recordings-", dir=DISK_ROOT)
    source, target = harness.free_port(), harness.free_port()
    entries = shared_port.shared_entries(ROUTES, source, target)
    if recording:
        for n, entry in enumerate(entries.values()):
            entry["targets"][str(20000 + n)] = {
                "enabled": 1, "mode": "push",
                "url": f"file://{folder}/route{n}?segment={SEGMENT_SECONDS}"}
    http_port = harness.free_port(socket.SOCK_STREAM)
    relay = harness.start_relay(relay_bin, workdir, harness.routes_document(entries), http_port,
                                API_KEY)
    result = {"recording": recording, "routes": ROUTES, "subscribers": SUBSCRIBERS,
              "rate_mbps": RATE_BPS / 1e6}
    result.update(shared_port.stream_set_run(relay, load_bin, workdir, {source, target},
                                             (source, target, 0), ROUTES, SUBSCRIBERS, RATE_BPS,
                                             seconds, http_port))
    if recording:
        with open(relay.stdout_path, errors="replace") as out:
            text = out.read()
        figures = recorded_figures(text)
        result["recordings_seen"] = len(figures)
        result["recording_dropped"] = sum(dropped for _, dropped in figures.values())
        result["drop_episodes"] = text.count("the disk does not keep up") + text.count(
            "dropping until it can write again")
        result["recorded_gb"] = folder_bytes_total(folder) / 1e9
    harness.keep_workdir_on_error(result, workdir)
    shutil.rmtree(folder, ignore_errors=True)
    return result


def folder_bytes_total(folder):
    """Bytes of every file one level down (a folder per recording)."""
    return sum(file.stat().st_size for route in os.scandir(folder) if route.is_dir()
               for file in os.scandir(route.path) if file.is_file())


def _median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def summary(runs):
    """Median CPU per GB with and without recording, their ratio per round and its median, and
    the goals with "met" or "missed"."""
    by_round = {}
    for run in runs:
        by_round.setdefault(run["round"], {})[run["recording"]] = run.get("cpu_s_per_gb")
    ratios = [costs[True] / costs[False] for costs in by_round.values()
              if costs.get(True) and costs.get(False)]
    recorded = [r for r in runs if r["recording"]]
    whole = bool(runs) and all(r.get("missing", 1) == 0 for r in runs)
    no_drop = bool(recorded) and all(r.get("recording_dropped", 1) == 0 and
                                     r.get("drop_episodes", 1) == 0 and
                                     r.get("recordings_seen") == ROUTES for r in recorded)
    ratio = _median(ratios)
    return {"ratios": ratios, "ratio": ratio,
            "cpu_s_per_gb": {"recording": _median([r.get("cpu_s_per_gb") for r in recorded]),
                             "plain": _median([r.get("cpu_s_per_gb") for r in runs
                                               if not r["recording"]])},
            "recorded_gb": _median([r.get("recorded_gb") for r in recorded]),
            "goals": {"ratio": (f"CPU/GB at most {RATIO:.2f}x",
                                None if ratio is None else ("met" if ratio <= RATIO else "missed")),
                      "whole": ("every subscriber got every message", "met" if whole else "missed"),
                      "no_drop": ("no recording dropped a message", "met" if no_drop else "missed")}}


def markdown(result):
    s = result["summary"]
    lines = [f"Recording: {ROUTES} routes of {RATE_BPS / 1e6:g} Mbit/s, {SUBSCRIBERS} subscribers "
             f"each, {result['seconds']} s, {result['rounds']} rounds, commit {result['commit']}",
             "", "| | with recording | without |", "|---|---|---|",
             "| relay CPU s per GB delivered (median) | "
             f"{s['cpu_s_per_gb']['recording']:.2f} | {s['cpu_s_per_gb']['plain']:.2f} |",
             f"| ratio (median of rounds) | {s['ratio']:.3f} | |",
             f"| recorded GB per run (median) | {s['recorded_gb']:.3f} | |", "",
             "| goal | verdict |", "|---|---|"]
    lines += [f"| {what} | {verdict} |" for what, verdict in s["goals"].values()]
    return "\n".join(lines)


def measure(relay_bin, load_bin, seconds, out_dir, commit="", rounds=ROUNDS):
    """rounds rounds of the case with and without recording, seconds of traffic each; written to
    recording.md and recording.json in out_dir."""
    result = {"commit": commit, "seconds": seconds, "rounds": rounds, "cpus": os.cpu_count(),
              "runs": []}
    for round_number in range(1, rounds + 1):
        for recording in (True, False):
            run = _run(relay_bin, load_bin, recording, seconds)
            run["round"] = round_number
            result["runs"].append(run)
    result["summary"] = summary(result["runs"])
    failed = [run for run in result["runs"] if "error" in run]
    if failed:
        result["error"] = f"{len(failed)} run(s) failed: {failed[0]['error']}"
    harness.save_result(out_dir, "recording", result, markdown(result))
    return result
