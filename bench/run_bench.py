"""Benchmark matrix: the relay, the bare forwarder and srt-live-transmit under the same load."""
import argparse
import datetime
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

import harness

CASES = [(1, 5_000_000), (10, 5_000_000), (50, 5_000_000), (1, 50_000_000)]
IDLE_SECONDS = 3.0
API_KEY = "bench"


def start_mirevo(args, workdir, source_port, target_port):
    config = harness.route_document(100, source_port, [(1000, target_port, True)])
    http_port = harness.free_port(socket.SOCK_STREAM)
    return harness.start_relay(args.relay, workdir, config, http_port, API_KEY)


def start_forward(args, workdir, source_port, target_port):
    return harness.Process("relay", [args.load, "forward", "--source-port", str(source_port),
                                     "--target-port", str(target_port), "--duration", "600"],
                           workdir)


def start_live_transmit(args, workdir, source_port, target_port):
    return harness.Process("relay", [args.live_transmit, "-q", "-t:600",
                                     f"srt://:{source_port}?mode=listener",
                                     f"srt://:{target_port}?mode=listener"], workdir)


RELAYS = {"mirevo": start_mirevo, "forward": start_forward, "srt-live-transmit": start_live_transmit}


def run_case(args, relay_name, count, rate):
    """One relay under one load. Returns the result record; failures are recorded, not raised."""
    workdir = tempfile.mkdtemp(prefix=f"bench-{relay_name}-")
    source_port, target_port = harness.free_port(), harness.free_port()
    result = {"relay": relay_name, "subscribers": count, "rate_mbps": rate / 1e6, "ok": False}
    relay = RELAYS[relay_name](args, workdir, source_port, target_port)
    subs = gen = None
    try:
        ports = [source_port, target_port]
        if not harness.wait_until(lambda: all(harness.udp_port_bound(p) for p in ports), 10):
            raise RuntimeError("relay did not open its ports")
        time.sleep(1.0)
        idle_start = harness.cpu_seconds(relay.pid)
        time.sleep(IDLE_SECONDS)
        result["idle_cpu_pct"] = (harness.cpu_seconds(relay.pid) - idle_start) / IDLE_SECONDS * 100

        ready = os.path.join(workdir, "ready")
        sub_argv = [args.load, "sub", "--url", f"srt://127.0.0.1:{target_port}", "--count",
                    str(count), "--duration", str(args.seconds + 60), "--ready-file", ready]
        gen_argv = [args.load, "gen", "--url", f"srt://127.0.0.1:{source_port}", "--rate",
                    str(rate), "--duration", str(args.seconds)]
        subs = harness.Process("sub", sub_argv, workdir)
        if not harness.wait_until(lambda: os.path.exists(ready), 30):
            raise RuntimeError("subscribers did not connect")
        # The relay lists a new caller shortly after the handshake completes.
        time.sleep(0.5)
        cpu_start = harness.cpu_seconds(relay.pid)
        gen = harness.Process("gen", gen_argv, workdir)
        deadline = time.monotonic() + args.seconds + 30
        peak_kb = 0
        while gen.wait(0.5) is None and time.monotonic() < deadline:
            peak_kb = max(peak_kb, harness.memory_kb(relay.pid).get("VmHWM", 0))
        if gen.alive():
            raise RuntimeError("generator did not finish")
        time.sleep(1.0)
        result["cpu_s"] = harness.cpu_seconds(relay.pid) - cpu_start
        peak_kb = max(peak_kb, harness.memory_kb(relay.pid).get("VmHWM", 0))
        result["peak_rss_mb"] = peak_kb / 1024
        subs.stop(10)
        sent = gen.stdout_json()["sent"]
        report = subs.stdout_json()["aggregate"]
        delivered = report["received"]
        result.update({
            "sent": sent,
            "delivered": delivered,
            "delivered_ratio": delivered / (sent * count) if sent else 0.0,
            "lost": report["lost"],
            "missing": sent * count - delivered,
            "duplicates": report["duplicates"],
            "reordered": report["reordered"],
            "corrupted": report["corrupted"],
            "p50_ms": report["latency_ms"]["p50"],
            "p99_ms": report["latency_ms"]["p99"],
            "cpu_s_per_gb": harness.cost_per_gb(result["cpu_s"],
                                                delivered * harness.MESSAGE_SIZE),
        })
        result["ok"] = relay.alive()
    except (RuntimeError, OSError, ValueError, TypeError, KeyError) as failure:
        result["error"] = str(failure)
    finally:
        for process in (gen, subs):
            if process is not None:
                process.stop(10)
        status = relay.stop(10)
        result["relay_exit"] = status
        if result["ok"] and not args.keep_logs:
            shutil.rmtree(workdir, ignore_errors=True)
        else:
            result["workdir"] = workdir
    return result


def number(value, digits):
    return "-" if value is None else f"{value:.{digits}f}"


def write_markdown(path, document):
    rows = ["| relay | N | Mbit/s | delivered | lost | dup | p50 ms | p99 ms | CPU s/GB |"
            " peak RSS MB | idle CPU % |",
            "|---|---|---|---|---|---|---|---|---|---|---|"]
    for r in document["results"]:
        if "error" in r:
            rows.append(f"| {r['relay']} | {r['subscribers']} | {r['rate_mbps']:g} |"
                        f" failed: {r['error']} | | | | | | | |")
            continue
        rows.append(
            f"| {r['relay']} | {r['subscribers']} | {r['rate_mbps']:g} |"
            f" {r['delivered_ratio'] * 100:.3f}% | {r['lost']} | {r['duplicates']} |"
            f" {number(r['p50_ms'], 1)} | {number(r['p99_ms'], 1)} |"
            f" {number(r['cpu_s_per_gb'], 2)} | {number(r['peak_rss_mb'], 1)} |"
            f" {number(r['idle_cpu_pct'], 2)} |")
    with open(path, "w") as out:
        out.write(f"# Benchmark {document['generated']}\n\n")
        out.write(f"{document['case_seconds']} s per case on {document['cpus']} CPUs "
                  f"(load average {document['load_average']}). Delivered is against what the "
                  "generator sent times N; lost counts sequence gaps; CPU is the relay's "
                  "utime+stime while traffic flowed, per 10^9 delivered bytes; idle CPU is "
                  f"over {IDLE_SECONDS:g} s with the route set up and no traffic.\n\n")
        out.write("\n".join(rows) + "\n")


def draw_cost_plot(path, document, workdir):
    """Cost per GB against N at 5 Mbit/s, one line per relay (gnuplot, PNG)."""
    if shutil.which("gnuplot") is None:
        return False
    series = []
    for relay in RELAYS:
        points = sorted((r["subscribers"], r["cpu_s_per_gb"]) for r in document["results"]
                        if r["relay"] == relay and r["rate_mbps"] == 5
                        and r.get("cpu_s_per_gb") is not None)
        if not points:
            continue
        data = os.path.join(workdir, f"{relay}.dat")
        with open(data, "w") as out:
            out.writelines(f"{n} {cost}\n" for n, cost in points)
        series.append(f"'{data}' using 1:2 with linespoints pointsize 1.5 title '{relay}'")
    if not series:
        return False
    script = "\n".join([
        "set terminal png size 800,500",
        f"set output '{path}'",
        "set title 'Relay CPU seconds per GB delivered, 5 Mbit/s source'",
        "set xlabel 'subscribers (N)'",
        "set ylabel 'CPU s / GB'",
        "set logscale x", "set xrange [0.7:70]", "set yrange [0:*]", "set grid",
        "set key top right",
        "plot " + ", ".join(series)]) + "\n"
    completed = subprocess.run(["gnuplot"], input=script, text=True, capture_output=True,
                               timeout=30)
    return completed.returncode == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--relay", required=True)
    parser.add_argument("--load", required=True)
    parser.add_argument("--live-transmit", default=shutil.which("srt-live-transmit"))
    parser.add_argument("--out", required=True)
    parser.add_argument("--seconds", type=int, default=20)
    parser.add_argument("--cases", default="", help="e.g. 1x5,10x5 (N x Mbit/s); all when empty")
    parser.add_argument("--keep-logs", action="store_true")
    args = parser.parse_args()

    cases = CASES
    if args.cases:
        wanted = {tuple(int(x) for x in c.split("x")) for c in args.cases.split(",")}
        cases = [(n, rate) for n, rate in CASES if (n, rate // 1_000_000) in wanted]
    document = {"generated": datetime.datetime.now(datetime.timezone.utc).isoformat(
                    timespec="seconds"),
                "case_seconds": args.seconds, "cpus": os.cpu_count(),
                "load_average": " ".join(f"{x:.2f}" for x in os.getloadavg()), "results": []}
    for count, rate in cases:
        relays = ["mirevo", "forward"]
        if count == 1 and args.live_transmit:
            relays.append("srt-live-transmit")
        for relay in relays:
            print(f"bench: {relay} N={count} {rate / 1e6:g} Mbit/s ...", file=sys.stderr,
                  flush=True)
            result = run_case(args, relay, count, rate)
            print("bench:   " + json.dumps(result), file=sys.stderr, flush=True)
            document["results"].append(result)

    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "latest.json"), "w") as out:
        json.dump(document, out, indent=1)
        out.write("\n")
    write_markdown(os.path.join(args.out, "latest.md"), document)
    with tempfile.TemporaryDirectory() as plot_dir:
        if not draw_cost_plot(os.path.join(args.out, "cost_per_gb.png"), document, plot_dir):
            print("bench: no plot drawn", file=sys.stderr)
    with open(os.path.join(args.out, "latest.md")) as table:
        print(table.read())
    return 0 if all("error" not in r for r in document["results"]) else 1


if __name__ == "__main__":
    sys.exit(main())
