"""The lossy-link case: one stream through the relay over two impaired legs, and at the same time
a direct sender-to-receiver link over the same two legs chained. Run through
bench/run-bench.sh --cases lossy."""
import socket
import tempfile
import time

import harness

LOSS_PCT = 10
DELAY_MS = 50
LATENCY_MS = 400
RATE_BPS = 5_000_000
API_KEY = "bench"
# After the generators end: the last messages cross the second leg and its latency.
SETTLE_S = 2.0
RETRANSMITTED = 'mirevo_target_packets_retransmitted_total{route="100",target="1000"}'


def path_figures(gen, sub, retransmitted, links):
    """Delivery of one path: the subscriber's report against what its generator sent, the
    retransmissions of each SRT hop, and the share of datagrams its middleboxes dropped."""
    totals = sub["aggregate"]
    carried = sum(link[way]["in"] for link in links for way in ("fwd", "back"))
    dropped = sum(link[way]["dropped"] for link in links for way in ("fwd", "back"))
    return {"sent": gen["sent"], "delivered": totals["received"],
            "delivered_ratio": harness.share(totals["received"], gen["sent"]) or 0.0,
            "lost": totals["lost"], "retransmitted": retransmitted,
            "retransmitted_ratio": harness.share(sum(retransmitted), gen["sent"]),
            "p50_ms": totals["latency_ms"]["p50"], "p99_ms": totals["latency_ms"]["p99"],
            "link_drop_ratio": harness.share(dropped, carried)}


def metric_value(port, sample):
    status, body, _ = harness.http_request(port, f"/api/metrics?api_key={API_KEY}")
    for line in body.decode(errors="replace").splitlines() if status == 200 else []:
        if line.startswith(sample + " "):
            return float(line.split()[-1])
    return None


def _route(source_port, target_port):
    query = f"?latency={LATENCY_MS}"
    entry = harness.route_entry(100, source_port, [(1000, target_port, True)])
    entry["url"] += query
    entry["targets"]["1000"]["url"] += query
    return harness.routes_document({100: entry})


def measure(relay_bin, load_bin, seconds, out_dir, commit=""):
    """Relay path: gen -> link -> relay -> link -> sub. Direct path: gen (listening) <- link <-
    link <- sub. Every link drops LOSS_PCT and delays DELAY_MS each way, each from its own seed.
    Also written to lossy.md and lossy.json in out_dir."""
    workdir = tempfile.mkdtemp(prefix="bench-lossy-")
    port = {name: harness.free_port() for name in
            ("source", "target", "up", "down", "direct", "far", "near")}
    http_port = harness.free_port(socket.SOCK_STREAM)
    result = {"commit": commit, "loss_pct": LOSS_PCT, "delay_ms": DELAY_MS,
              "latency_ms": LATENCY_MS, "rate_mbps": RATE_BPS / 1e6, "seconds": seconds}
    relay = harness.start_relay(relay_bin, workdir, _route(port["source"], port["target"]),
                                http_port, API_KEY)
    processes = []

    def start(name, *args):
        processes.append(harness.Process(name, [load_bin, *args], workdir))
        return processes[-1]

    def link(name, to, seed):
        return start(name, "impair", "--listen", str(port[name]), "--to",
                     f"127.0.0.1:{port[to]}", "--seconds", str(seconds + 120), "--seed",
                     str(seed), "--loss", str(LOSS_PCT), "--delay", str(DELAY_MS))

    def srt(name):
        return f"srt://127.0.0.1:{port[name]}"

    try:
        if not harness.wait_until(lambda: harness.udp_port_bound(port["target"]), 10):
            raise RuntimeError("relay did not open its ports")
        links = {"up": link("up", "source", 1), "down": link("down", "target", 2),
                 "far": link("far", "direct", 3), "near": link("near", "far", 4)}
        receiving = ("--latency", str(LATENCY_MS), "--duration", str(seconds + 120))
        relay_sub = start("relay-sub", "sub", "--url", srt("down"), *receiving)
        if not harness.wait_until(lambda: metric_value(http_port, 'mirevo_target_connections'
                                                       '{route="100",target="1000"}') == 1, 20):
            raise RuntimeError("the subscriber did not reach the relay")
        sending = ("--rate", str(RATE_BPS), "--duration", str(seconds), "--latency",
                   str(LATENCY_MS))
        direct_gen = start("direct-gen", "gen", "--url", srt("direct"), "--listen", *sending)
        direct_sub = start("direct-sub", "sub", "--url", srt("near"), *receiving)
        relay_gen = start("relay-gen", "gen", "--url", srt("up"), *sending)
        for gen in (relay_gen, direct_gen):
            if gen.wait(seconds + 60) != 0:
                raise RuntimeError(f"{gen.name} failed: {gen.stderr_text()[-300:]}")
        time.sleep(SETTLE_S)
        second_hop = metric_value(http_port, RETRANSMITTED)
        if second_hop is None:
            raise RuntimeError("the relay's metrics did not answer")
        for process in (relay_sub, direct_sub, *links.values()):
            process.stop(30)
        reports = {name: process.stdout_json() for name, process in links.items()}
        gens = (relay_gen.stdout_json(), direct_gen.stdout_json())
        result["relay"] = path_figures(gens[0], relay_sub.stdout_json(),
                                       [gens[0]["retransmitted"], int(second_hop)],
                                       [reports["up"], reports["down"]])
        result["direct"] = path_figures(gens[1], direct_sub.stdout_json(),
                                        [gens[1]["retransmitted"]],
                                        [reports["far"], reports["near"]])
        for percentile in ("p50_ms", "p99_ms"):
            result["added_" + percentile] = (result["relay"][percentile] -
                                             result["direct"][percentile])
    except (RuntimeError, OSError, ValueError, TypeError, KeyError) as failure:
        result["error"] = str(failure)
    finally:
        for process in processes:
            process.stop(10)
        result["relay_exit"] = relay.stop(10)
    harness.keep_workdir_on_error(result, workdir)
    harness.save_result(out_dir, "lossy", result, markdown(result))
    return result


def markdown(result):
    head = (f"Lossy link (relay commit {result['commit']}): every leg drops "
            f"{result['loss_pct']}% of datagrams and delays them {result['delay_ms']} ms, each "
            f"way; SRT latency {result['latency_ms']} ms, "
            f"{result['rate_mbps']:g} Mbit/s for {result['seconds']} s. The relay path is two "
            "SRT hops (publisher to relay, relay to subscriber), each over one leg; the direct "
            "path is one SRT hop over the same two legs chained, run at the same time.\n\n")
    if "error" in result:
        return head + f"failed: {result['error']}\n"
    rows = ["| path | sent | delivered | lost | retransmitted (per hop) | retransmitted / sent |"
            " p50 ms | p99 ms | dropped by the links |",
            "|---|---|---|---|---|---|---|---|---|"]
    for name in ("relay", "direct"):
        r = result[name]
        rows.append(f"| {name} | {r['sent']} | {r['delivered_ratio'] * 100:.3f}% | {r['lost']} |"
                    f" {' + '.join(str(n) for n in r['retransmitted'])} |"
                    f" {r['retransmitted_ratio'] * 100:.1f}% | {r['p50_ms']:.1f} |"
                    f" {r['p99_ms']:.1f} | {r['link_drop_ratio'] * 100:.1f}% |")
    return (head + "\n".join(rows) + f"\n\nAdded latency of the relay path: "
            f"{result['added_p50_ms']:+.1f} ms at p50, {result['added_p99_ms']:+.1f} ms at p99.\n")
