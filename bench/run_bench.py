"""Benchmark matrix: the relay beside the bare forwarder (and srt-live-transmit) under the same
load, then the scale measurements: scraping, idle routes, stored routes, memory per subscriber,
the relay over lossy links beside a direct link, many streams on two shared ports beside the
same streams on ports of their own, and many live routes beside a bare relay of many streams."""
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

import auth_hook
import harness
import latency
import lossy
import many_routes
import memory_profile
import recording
import scale
import shared_port
import udp_bridge

# The big sets share one local port and take each message on arrival (no play-out thread
# per caller): a thousand callers then cost the load tool one UDP socket and a few threads.
LIGHT_SUBSCRIBERS = ("--share-port", "--no-tsbpd")
# name: (subscribers, bit rate, subscriber options)
CASES = {
    "1x5": (1, 5_000_000, ()),
    "10x5": (10, 5_000_000, ()),
    "50x5": (50, 5_000_000, ()),
    "1x50": (1, 50_000_000, ()),
    "200x2": (200, 2_000_000, LIGHT_SUBSCRIBERS),
    "1000x0.3": (1000, 300_000, LIGHT_SUBSCRIBERS),
    "1100x0.2": (1100, 200_000, LIGHT_SUBSCRIBERS),
}
PLOTTED = ("1x5", "10x5", "50x5", "200x2", "1000x0.3", "1100x0.2")
SCRAPED_CASE = "200x2"
MEASURES = ("scrape", "idle", "routes", "memory", "lossy", "latency", "shared_routes",
            "shared_live", "many_routes", "recording", "udp_bridge", "auth_hook")
# Measures that write NAME.json and NAME.md of their own.
OWN_FILES = {"memory", "lossy", "latency", "shared_routes", "shared_live", "many_routes",
             "recording", "udp_bridge", "auth_hook"}
IDLE_SECONDS = 3.0
API_KEY = "bench"


def start_mirevo(args, workdir, source_port, target_port):
    config = harness.route_document(100, source_port, [(1000, target_port, True)])
    http_port = harness.free_port(socket.SOCK_STREAM)
    relay = harness.start_relay(args.relay, workdir, config, http_port, API_KEY)
    relay.http_port = http_port
    return relay


def start_forward(args, workdir, source_port, target_port):
    return harness.Process("relay", [args.load, "forward", "--source-port", str(source_port),
                                     "--target-port", str(target_port), "--duration", "900"],
                           workdir)


def start_live_transmit(args, workdir, source_port, target_port):
    return harness.Process("relay", [args.live_transmit, "-q", "-t:900",
                                     f"srt://:{source_port}?mode=listener",
                                     f"srt://:{target_port}?mode=listener"], workdir)


RELAYS = {"mirevo": start_mirevo, "forward": start_forward, "srt-live-transmit": start_live_transmit}


def subscriber_figures(report, sent, count):
    """Delivery figures of a subscriber report against what the generator sent."""
    totals = report["aggregate"]
    return {
        "sent": sent,
        "connected": report["connected"],
        "delivered": totals["received"],
        "delivered_ratio": harness.share(totals["received"], sent * count) or 0.0,
        "worst_ratio": harness.share(report["worst"]["received"], sent) or 0.0,
        "lost": totals["lost"],
        "missing": sent * count - totals["received"],
        "duplicates": totals["duplicates"],
        "reordered": totals["reordered"],
        "corrupted": totals["corrupted"],
        "p50_ms": totals["latency_ms"]["p50"],
        "p99_ms": totals["latency_ms"]["p99"],
        "failed_calls": totals["failed_attempts"],
    }


def run_case(args, relay_name, case, scrape=False, during=None):
    """One relay under one load. Returns the result record; failures are recorded, not raised.
    during(pid), when given, runs once the generator has started (every subscriber connected
    before) and its dict joins the result."""
    count, rate, sub_options = CASES[case]
    workdir = tempfile.mkdtemp(prefix=f"bench-{relay_name}-")
    source_port, target_port = harness.free_port(), harness.free_port()
    label = relay_name + (" + scraper" if scrape else "")
    result = {"relay": label, "case": case, "subscribers": count, "rate_mbps": rate / 1e6,
              "ok": False}
    relay = RELAYS[relay_name](args, workdir, source_port, target_port)
    subs = gen = scraper = None
    try:
        ports = {source_port, target_port}
        if not harness.wait_until(lambda: ports <= harness.bound_udp_ports(), 10):
            raise RuntimeError("relay did not open its ports")
        time.sleep(1.0)
        idle_start = harness.cpu_seconds(relay.pid)
        time.sleep(IDLE_SECONDS)
        result["idle_cpu_pct"] = (harness.cpu_seconds(relay.pid) - idle_start) / IDLE_SECONDS * 100
        base_kb = harness.memory_kb(relay.pid).get("VmRSS", 0)

        ready = os.path.join(workdir, "ready")
        sub_argv = [args.load, "sub", "--url", f"srt://127.0.0.1:{target_port}", "--count",
                    str(count), "--duration", str(args.seconds + 120), "--ready-file", ready,
                    *sub_options]
        gen_argv = [args.load, "gen", "--url", f"srt://127.0.0.1:{source_port}", "--rate",
                    str(rate), "--duration", str(args.seconds)]
        subs = harness.Process("sub", sub_argv, workdir)
        # A relay that cannot take every caller is measured with those it took.
        connect_start = time.monotonic()
        result["all_connected"] = harness.wait_until(lambda: os.path.exists(ready),
                                                     30 + count / 20)
        result["connect_s"] = time.monotonic() - connect_start
        # The relay lists a new caller shortly after the handshake completes.
        time.sleep(0.5 + count / 1000)
        if scrape:
            scraper = scale.Scraper(relay.http_port, API_KEY)
            scraper.start()
        cpu_start, machine_start = harness.cpu_seconds(relay.pid), shared_port.machine_cpu()
        sub_start, gen_cpu_s = harness.cpu_seconds(subs.pid), 0.0
        gen = harness.Process("gen", gen_argv, workdir)
        if during is not None:
            result.update(during(relay.pid))
        deadline = time.monotonic() + args.seconds + 30
        peak_kb = 0
        while gen.wait(0.5) is None and time.monotonic() < deadline:
            peak_kb = max(peak_kb, harness.memory_kb(relay.pid).get("VmHWM", 0))
            gen_cpu_s = shared_port.cpu_seconds_or(gen.pid, gen_cpu_s)
        if gen.alive():
            raise RuntimeError("generator did not finish")
        time.sleep(1.0)
        result["cpu_s"] = harness.cpu_seconds(relay.pid) - cpu_start
        result["cores"] = shared_port.machine_share(
            machine_start, shared_port.machine_cpu(), result["cpu_s"],
            gen_cpu_s + harness.cpu_seconds(subs.pid) - sub_start)
        if scraper is not None:
            result["scrape"] = scraper.stop()
        peak_kb = max(peak_kb, harness.memory_kb(relay.pid).get("VmHWM", 0))
        result["peak_rss_mb"] = peak_kb / 1024
        result["rss_per_sub_kb"] = harness.growth_per_subscriber_kb(peak_kb, base_kb, count)
        subs.stop(30)
        result.update(subscriber_figures(subs.stdout_json(), gen.stdout_json()["sent"], count))
        result["cpu_s_per_gb"] = harness.cost_per_gb(result["cpu_s"],
                                                     result["delivered"] * harness.MESSAGE_SIZE)
        result["ok"] = relay.alive()
    except (RuntimeError, OSError, ValueError, TypeError, KeyError) as failure:
        result["error"] = str(failure)
    finally:
        if scraper is not None and "scrape" not in result:
            scraper.stop()
        for process in (gen, subs):
            if process is not None:
                process.stop(30)
        status = relay.stop(10)
        result["relay_exit"] = status
        if result["ok"] and not args.keep_logs:
            shutil.rmtree(workdir, ignore_errors=True)
        else:
            result["workdir"] = workdir
    return result


def number(value, digits):
    return "-" if value is None else f"{value:.{digits}f}"


def percent(value):
    return "-" if value is None else f"{value * 100:.3f}%"


def forward_ratio(results, result):
    """A result's CPU per GB over the bare forwarder's in the same case, or None."""
    bare = [r.get("cpu_s_per_gb") for r in results
            if r["relay"] == "forward" and r["case"] == result["case"]]
    if not bare or not bare[0] or result.get("cpu_s_per_gb") is None:
        return None
    return result["cpu_s_per_gb"] / bare[0]


def case_rows(results):
    rows = ["| relay | N | Mbit/s | delivered | worst sub | lost | missing | dup | p50 ms | p99 ms |"
            " CPU s/GB | vs forward | peak RSS MB | RSS/sub kB | idle CPU % |"
            " cores: relay, load tool, others; machine idle |",
            "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"]
    for r in results:
        head = f"| {r['relay']} | {r['subscribers']} | {r['rate_mbps']:g} |"
        if "error" in r:
            rows.append(f"{head} failed: {r['error']} |" + " |" * 12)
            continue
        rows.append(
            f"{head} {percent(r['delivered_ratio'])} | {percent(r['worst_ratio'])} |"
            f" {r['lost']} | {r['missing']} | {r['duplicates']} | {number(r['p50_ms'], 1)} |"
            f" {number(r['p99_ms'], 1)} | {number(r['cpu_s_per_gb'], 2)} |"
            f" {number(forward_ratio(results, r), 2)} |"
            f" {number(r['peak_rss_mb'], 1)} | {number(r['rss_per_sub_kb'], 1)} |"
            f" {number(r['idle_cpu_pct'], 2)} | {shared_port.cores_text(r.get('cores'))} |")
    return rows


def write_markdown(path, document):
    with open(path, "w") as out:
        out.write(f"# Benchmark {document['generated']}\n\n")
        out.write(f"Relay commit {document['commit']}. {document['case_seconds']} s of traffic "
                  f"per case on {document['cpus']} CPUs (load average before "
                  f"{document['load_average']}); the whole run took "
                  f"{document['run_seconds'] / 60:.1f} min. Delivered is against what the "
                  "generator sent times N; worst sub is the subscriber that received least, "
                  "against what was sent; lost counts sequence gaps, missing the messages "
                  "that did not arrive; CPU is the relay's "
                  "utime+stime while traffic flowed, per 10^9 delivered bytes, and vs forward "
                  "that cost over the bare forwarder's in the same case; RSS/sub is "
                  "(peak RSS - RSS before the subscribers came) / N; idle CPU is over "
                  f"{IDLE_SECONDS:g} s with the route set up and no traffic; cores: the CPU the "
                  "relay, the load tool and every other process used while the traffic flowed, "
                  "and the machine's idle share. From N=200 up the "
                  "subscribers share one local port and take messages on arrival, without a "
                  "play-out delay of their own.\n\n")
        if document["results"]:
            out.write("\n".join(case_rows(document["results"])) + "\n")
        for measure in MEASURES:
            if measure in document:
                out.write("\n" + MARKDOWN[measure](document[measure]) + "\n")


MARKDOWN = {"scrape": scale.scrape_markdown, "idle": scale.idle_markdown,
            "routes": scale.routes_markdown, "memory": memory_profile.markdown,
            "lossy": lossy.markdown, "latency": latency.markdown,
            "shared_routes": shared_port.routes_markdown, "shared_live": shared_port.live_markdown,
            "many_routes": many_routes.markdown, "recording": recording.markdown,
            "udp_bridge": udp_bridge.markdown, "auth_hook": auth_hook.markdown}


def draw_cost_plot(path, document, workdir):
    """Cost per GB against N (log scale), one line per relay (gnuplot, PNG)."""
    if shutil.which("gnuplot") is None:
        return False
    series = []
    for relay in RELAYS:
        points = sorted((r["subscribers"], r["cpu_s_per_gb"]) for r in document["results"]
                        if r["relay"] == relay and r["case"] in PLOTTED
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
        "set title 'Relay CPU seconds per GB delivered'",
        "set xlabel 'subscribers (N): 5 Mbit/s to N=50, then 2, 0.3 and 0.2 Mbit/s'",
        "set ylabel 'CPU s / GB'",
        "set logscale x", "set xrange [0.7:1600]", "set yrange [0:*]", "set grid",
        "set xtics (1, 10, 50, 200, 1000)",
        "set key top right",
        "plot " + ", ".join(series)]) + "\n"
    completed = subprocess.run(["gnuplot"], input=script, text=True, capture_output=True,
                               timeout=30)
    return completed.returncode == 0


def relay_commit():
    completed = subprocess.run(["git", "log", "-1", "--format=%h %s"], capture_output=True,
                               text=True, cwd=os.path.dirname(os.path.abspath(__file__)))
    return completed.stdout.strip() or "unknown"


def note(text):
    print(f"bench: {text}", file=sys.stderr, flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--relay", required=True)
    parser.add_argument("--load", required=True)
    parser.add_argument("--live-transmit", default=shutil.which("srt-live-transmit"))
    parser.add_argument("--out", required=True)
    parser.add_argument("--seconds", type=int, default=20)
    parser.add_argument("--cases", default="",
                        help="names, comma-separated: " + ",".join([*CASES, *MEASURES]) +
                             "; all when empty")
    parser.add_argument("--keep-logs", action="store_true")
    parser.add_argument("--rounds", type=int, default=many_routes.ROUNDS,
                        help="rounds of each many_routes case (the figures are their medians)")
    args = parser.parse_args()

    wanted = args.cases.split(",") if args.cases else [*CASES, *MEASURES]
    unknown = [name for name in wanted if name not in CASES and name not in MEASURES]
    if unknown:
        parser.error(f"unknown case {','.join(unknown)}")
    started = time.monotonic()
    document = {"generated": datetime.datetime.now(datetime.timezone.utc).isoformat(
                    timespec="seconds"),
                "commit": relay_commit(), "case_seconds": args.seconds, "cpus": os.cpu_count(),
                "load_average": " ".join(f"{x:.2f}" for x in os.getloadavg()), "results": []}
    for case in (name for name in CASES if name in wanted):
        relays = ["mirevo", "forward"]
        if CASES[case][0] == 1 and args.live_transmit:
            relays.append("srt-live-transmit")
        for relay in relays:
            note(f"{relay} {case} ...")
            result = run_case(args, relay, case)
            note("  " + json.dumps(result))
            document["results"].append(result)
    if "scrape" in wanted:
        note(f"mirevo {SCRAPED_CASE} with a scraper ...")
        result = run_case(args, "mirevo", SCRAPED_CASE, scrape=True)
        note("  " + json.dumps(result))
        document["results"].append(result)
        document["scrape"] = scale.scrape_summary(document["results"], SCRAPED_CASE)
    if "idle" in wanted:
        note(f"idle cost of {scale.IDLE_ROUTES} routes ...")
        document["idle"] = scale.measure_idle(args.relay, args.load)
        note("  " + json.dumps(document["idle"]))
    if "routes" in wanted:
        note(f"{scale.STORED_ROUTES} stored routes ...")
        document["routes"] = scale.measure_stored_routes(args.relay)
        note("  " + json.dumps(document["routes"]))
    if "memory" in wanted:
        note("memory per subscriber under heaptrack ...")
        document["memory"] = memory_profile.measure(args.relay, args.load, args.out,
                                                     document["commit"].split()[0])
        note("  " + json.dumps(document["memory"]))
    if "lossy" in wanted:
        note("the relay and a direct link over lossy links ...")
        document["lossy"] = lossy.measure(args.relay, args.load, args.seconds, args.out,
                                          document["commit"].split()[0])
        note("  " + json.dumps(document["lossy"]))
    if "latency" in wanted:
        note("latency: direct link, plain target and sourcetime=1 ...")
        document["latency"] = latency.measure(args.relay, args.load, args.seconds, args.out)
        note("  " + json.dumps(document["latency"]))
    if "shared_routes" in wanted:
        note(f"{shared_port.ROUTES} routes on two shared ports and on ports of their own ...")
        document["shared_routes"] = shared_port.measure_routes(args.relay, args.out,
                                                               document["commit"].split()[0])
        note("  " + json.dumps(document["shared_routes"]))
    if "shared_live" in wanted:
        note(f"{shared_port.LIVE_ROUTES} live routes on two shared ports and on their own ...")
        document["shared_live"] = shared_port.measure_live(args.relay, args.load, args.seconds,
                                                           args.out,
                                                           document["commit"].split()[0])
        note("  " + json.dumps(document["shared_live"]))
    if "many_routes" in wanted:
        note("many live routes beside the bare relay of many streams, one route beside the "
             "bare fan-out ...")
        document["many_routes"] = many_routes.measure(
            args.relay, args.load, args.seconds, args.out,
            lambda relay, case, during: run_case(args, relay, case, during=during),
            document["commit"].split()[0], args.rounds)
        note("  " + json.dumps(document["many_routes"]["summary"]))
    if "recording" in wanted:
        note("recordings on the disk beside the subscribers of the same routes ...")
        document["recording"] = recording.measure(args.relay, args.load, args.seconds, args.out,
                                                  document["commit"].split()[0], args.rounds)
        note("  " + json.dumps(document["recording"]["summary"]))
    if "udp_bridge" in wanted:
        note("multicast in to SRT subscribers beside an SRT publisher, SRT in to multicast ...")
        document["udp_bridge"] = udp_bridge.measure(args.relay, args.load, args.seconds, args.out)
        note("  " + json.dumps(document["udp_bridge"]))
    if "auth_hook" in wanted:
        note(f"one stream while {auth_hook.KNOCKERS} callers knock and {auth_hook.FLOOD} flood "
             "the authorization hook ...")
        document["auth_hook"] = auth_hook.measure(args.relay, args.load, args.seconds, args.out,
                                                  document["commit"].split()[0])
        note("  " + json.dumps(document["auth_hook"]))
    document["run_seconds"] = time.monotonic() - started

    os.makedirs(args.out, exist_ok=True)
    if set(wanted) <= OWN_FILES:
        # Each measure wrote its own table: the last full run's latest.* stay as they were.
        for measure in (name for name in MEASURES if name in wanted):
            print(MARKDOWN[measure](document[measure]) + "\n")
    else:
        with open(os.path.join(args.out, "latest.json"), "w") as out:
            json.dump(document, out, indent=1)
            out.write("\n")
        write_markdown(os.path.join(args.out, "latest.md"), document)
        with tempfile.TemporaryDirectory() as plot_dir:
            if not draw_cost_plot(os.path.join(args.out, "cost_per_gb.png"), document, plot_dir):
                note("no plot drawn")
        with open(os.path.join(args.out, "latest.md")) as table:
            print(table.read())
    failed = [r for r in document["results"] if "error" in r]
    failed += [m for m in MEASURES if "error" in document.get(m, {})]
    failed += [r for r in document.get("latency", {}).get("rows", []) if "error" in r]
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
