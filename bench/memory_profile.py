"""Heap per subscriber of the relay and of the bare fan-out, with heaptrack: the peak heap at two
subscriber counts under the same load, the growth per subscriber, and the allocation sites that
hold most at the peak. Run through bench/run-bench.sh --cases memory."""
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time

import harness

COUNTS = (20, 200)
RATE_BPS = 2_000_000
TRAFFIC_S = 5
SUB_OPTIONS = ("--share-port", "--no-tsbpd")
SITES = 8
API_KEY = "bench"
SIZE_UNITS = {"B": 1, "K": 1e3, "M": 1e6, "G": 1e9}  # heaptrack_print counts in powers of 1000


def parse_size(text):
    """Bytes of a heaptrack_print size such as 82.33M or 512B."""
    return float(text[:-1]) * SIZE_UNITS[text[-1]]


def parse_peak_report(text):
    """From heaptrack_print's peak report: the peak heap in bytes and the allocation sites that
    hold most at the peak, as dicts of bytes, calls and function."""
    peak = re.search(r"^peak heap memory consumption: (\S+)$", text, re.M)
    sites = re.findall(r"^(\S+) peak memory consumed over (\d+) calls from\n(.+)$", text, re.M)
    return (parse_size(peak.group(1)) if peak else None,
            [{"bytes": parse_size(size), "calls": int(calls), "function": function.strip()}
             for size, calls, function in sites])


def _profiled_child(wrapper_pid, binary):
    """The PID of the profiled program among the children of the heaptrack script."""
    want = os.path.realpath(binary)
    with open(f"/proc/{wrapper_pid}/task/{wrapper_pid}/children") as children:
        for pid in map(int, children.read().split()):
            try:
                if os.readlink(f"/proc/{pid}/exe") == want:
                    return pid
            except OSError:
                continue
    return None


def _profiled_run(program, relay_bin, load_bin, count, workdir):
    """One run of program under heaptrack with count subscribers; returns the peak report and
    how many connections and failed calls the subscribers made."""
    source, target = harness.free_port(), harness.free_port()
    output = os.path.join(workdir, f"{program}-{count}")
    wrapper = ("heaptrack", "-o", output)
    if program == "mirevo":
        binary = relay_bin
        config = harness.route_document(100, source, [(1000, target, True)])
        profiled = harness.start_relay(relay_bin, workdir, config,
                                       harness.free_port(socket.SOCK_STREAM), API_KEY,
                                       name=f"heaptrack-{program}-{count}", wrapper=wrapper)
    else:
        binary = load_bin
        profiled = harness.Process(f"heaptrack-{program}-{count}",
                                   [*wrapper, load_bin, "forward", "--source-port", str(source),
                                    "--target-port", str(target), "--duration", "300"], workdir)
    ready = os.path.join(workdir, f"ready-{program}-{count}")
    subs = gen = None
    child = None
    try:
        if not harness.wait_until(lambda: {source, target} <= harness.bound_udp_ports(), 30):
            raise RuntimeError(f"{program} under heaptrack did not open its ports")
        child = _profiled_child(profiled.pid, binary)
        subs = harness.Process(f"sub-{program}-{count}",
                               [load_bin, "sub", "--url", f"srt://127.0.0.1:{target}", "--count",
                                str(count), "--duration", "300", "--ready-file", ready,
                                *SUB_OPTIONS], workdir)
        if not harness.wait_until(lambda: os.path.exists(ready), 60):
            raise RuntimeError(f"subscribers of {program} did not connect")
        time.sleep(1.0)
        gen = harness.Process(f"gen-{program}-{count}",
                              [load_bin, "gen", "--url", f"srt://127.0.0.1:{source}", "--rate",
                               str(RATE_BPS), "--duration", str(TRAFFIC_S)], workdir)
        if gen.wait(TRAFFIC_S + 30) is None:
            raise RuntimeError("generator did not finish")
        subs.stop(30)
        totals = subs.stdout_json()["aggregate"]
    finally:
        for process in (gen, subs):
            if process is not None:
                process.stop(30)
        # The script ends once the program has and its data is written.
        if child is not None:
            os.kill(child, signal.SIGTERM)
        if profiled.wait(60) is None:
            profiled.stop(10)
    data = [name for name in os.listdir(workdir) if name.startswith(f"{program}-{count}.")]
    if not data:
        raise RuntimeError(f"heaptrack wrote no data for {program}")
    printed = subprocess.run(["heaptrack_print", "-f", os.path.join(workdir, data[0]), "-a", "0",
                              "-T", "0", "-p", "1", "-n", str(SITES), "-s", "0"],
                             capture_output=True, text=True, timeout=300)
    peak, sites = parse_peak_report(printed.stdout)
    return {"peak_heap_bytes": peak, "sites": sites, "connections": totals["connections"],
            "failed_calls": totals["failed_attempts"]}


def measure(relay_bin, load_bin, out_dir, commit=""):
    """Heap per subscriber of mirevo (built from commit) and of the bare forwarder; also written
    to memory.md and memory.json in out_dir."""
    result = {"commit": commit, "counts": list(COUNTS), "rate_mbps": RATE_BPS / 1e6,
              "traffic_s": TRAFFIC_S}
    if shutil.which("heaptrack") is None or shutil.which("heaptrack_print") is None:
        result["error"] = "heaptrack is not installed (scripts/install-deps.sh installs it)"
        return result
    workdir = tempfile.mkdtemp(prefix="bench-memory-")
    try:
        for program in ("mirevo", "forward"):
            runs = {count: _profiled_run(program, relay_bin, load_bin, count, workdir)
                    for count in COUNTS}
            low, high = (runs[count]["peak_heap_bytes"] for count in COUNTS)
            result[program] = {
                "peak_heap_bytes": {str(count): runs[count]["peak_heap_bytes"] for count in COUNTS},
                "bytes_per_subscriber": (high - low) / (COUNTS[1] - COUNTS[0])
                if None not in (low, high) else None,
                "sites": runs[COUNTS[1]]["sites"],
                "calls": {str(count): (runs[count]["connections"], runs[count]["failed_calls"])
                          for count in COUNTS}}
        shutil.rmtree(workdir, ignore_errors=True)
    except (RuntimeError, OSError, subprocess.SubprocessError) as failure:
        result["error"] = f"{failure} (files kept in {workdir})"
    harness.save_result(out_dir, "memory", result, markdown(result))
    return result


def markdown(result):
    if "error" in result:
        return f"Memory per subscriber: failed: {result['error']}"
    low, high = result["counts"]
    lines = [f"Heap per subscriber (relay commit {result['commit']}; heaptrack; N = {low} and "
             f"{high} at {result['rate_mbps']:g} Mbit/s, {result['traffic_s']} s of traffic; "
             "growth of the peak heap divided by the growth of N):", "",
             f"| program | peak heap MB, N={low} | peak heap MB, N={high} | kB per subscriber |"
             " subscriber connections (failed calls) |",
             "|---|---|---|---|---|"]
    for program in ("mirevo", "forward"):
        p = result[program]
        per_sub = p["bytes_per_subscriber"]
        lines.append(f"| {program} | {p['peak_heap_bytes'][str(low)] / 1e6:.1f} |"
                     f" {p['peak_heap_bytes'][str(high)] / 1e6:.1f} |"
                     f" {'-' if per_sub is None else f'{per_sub / 1e3:.1f}'} |"
                     f" {', '.join('%d (%d)' % tuple(p['calls'][str(n)]) for n in (low, high))} |")
    lines += ["", f"Allocation sites holding most at the peak, N={high}:", "",
              "| program | allocating function | calls | MB at peak | kB per call |",
              "|---|---|---|---|---|"]
    for program in ("mirevo", "forward"):
        for site in result[program]["sites"]:
            per_call = site["bytes"] / site["calls"]
            lines.append(f"| {program} | `{site['function']}` | {site['calls']} |"
                         f" {site['bytes'] / 1e6:.2f} | {per_call / 1e3:.1f} |")
    return "\n".join(lines)
