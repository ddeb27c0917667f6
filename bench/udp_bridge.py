"""The multicast bridges under load, in a network namespace of their own: an SRT publisher's
stream put onto a multicast group by one relay (SRT in, multicast out), taken from the group
by a second relay and served to SRT subscribers (multicast in, SRT out), beside the second
relay fed by the SRT publisher directly; a bare recvmmsg/sendmmsg forwarder (mirevo-load
udpfwd) takes the same datagrams from the group in the same run, the floor of a UDP hop.
Writes udp_bridge.json and udp_bridge.md."""
import argparse
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

import harness

API_KEY = "bench"
GROUP = "239.255.0.1"


def relay_config(source, target):
    """One route, 100 -> 1000, from (mode, url) pairs."""
    return harness.routes_document({100: {
        "source_id": 100, "enabled": 1, "mode": source[0], "url": source[1],
        "targets": {"1000": {"enabled": 1, "mode": target[0], "url": target[1]}}}})


def start(args, workdir, name, config):
    """A relay in a folder of its own under workdir (its route file, its logs)."""
    folder = os.path.join(workdir, name)
    os.makedirs(folder)
    http_port = harness.free_port(socket.SOCK_STREAM)
    relay = harness.start_relay(args.relay, folder, config, http_port, API_KEY, name=name)
    relay.http_port = http_port
    return relay


def udp_counts(relay):
    """The relay's UDP datagram counters and its targets' drops, from /api/metrics."""
    status, body, _ = harness.http_request(relay.http_port, f"/api/metrics?api_key={API_KEY}")
    counts = {}
    for line in body.decode(errors="replace").splitlines() if status == 200 else []:
        name = line.split("{")[0]
        if name.endswith(("udp_datagrams_received_total", "udp_datagrams_sent_total",
                          "target_packets_dropped_total")):
            counts[name.replace("mirevo_", "")] = int(float(line.split()[-1]))
    return counts


def start_forwarder(args, workdir, group_port):
    """The bare recvmmsg/sendmmsg forwarder joined to the group, sending to another one."""
    return harness.Process("udpfwd", [
        args.load, "udpfwd", "--in", f"{GROUP}:{group_port}", "--out",
        f"239.255.0.2:{harness.free_port()}", "--duration", str(args.seconds + 60)], workdir)


def publish(args, workdir, publish_port, processes):
    """The SRT publisher for args.seconds, kept in processes; what it reported."""
    gen = harness.Process("gen", [args.load, "gen", "--url", f"srt://127.0.0.1:{publish_port}",
                                  "--rate", str(args.rate), "--duration", str(args.seconds)],
                          workdir)
    processes.append(gen)
    if gen.wait(args.seconds + 30) is None:
        raise RuntimeError("generator did not finish")
    time.sleep(1.0)
    return gen.stdout_json()


def run(args, fed_by_multicast):
    """Publisher -> [relay "edge": SRT in, multicast out] -> group -> [relay "bridge":
    multicast in, SRT out] -> subscribers; or, without the group, publisher -> bridge.
    Returns the record of the run; failures are recorded, not raised."""
    workdir = tempfile.mkdtemp(prefix="bench-udp-")
    publish_port, group_port, serve_port = (harness.free_port() for _ in range(3))
    group_url = f"udp://{GROUP}:{group_port}"
    result = {"fed_by": "multicast" if fed_by_multicast else "srt", "ok": False,
              "subscribers": args.subscribers, "rate_mbps": args.rate / 1e6}
    relays, others = [], []
    try:
        bridge_source = (("listen", group_url + "?iface=127.0.0.1") if fed_by_multicast
                         else ("listen", f"srt://:{publish_port}"))
        relays.append(start(args, workdir, "bridge",
                            relay_config(bridge_source, ("listen", f"srt://:{serve_port}"))))
        if fed_by_multicast:
            relays.append(start(args, workdir, "edge", relay_config(
                ("listen", f"srt://:{publish_port}"),
                ("push", group_url + "?iface=127.0.0.1&ttl=1"))))
        if not harness.wait_until(lambda: {publish_port, serve_port} <= harness.bound_udp_ports(),
                                  10):
            raise RuntimeError("relays did not open their ports")
        forwarder = None
        if fed_by_multicast:
            forwarder = start_forwarder(args, workdir, group_port)
            others.append(forwarder)
        ready = os.path.join(workdir, "ready")
        subs = harness.Process("sub", [args.load, "sub", "--url",
                                       f"srt://127.0.0.1:{serve_port}", "--count",
                                       str(args.subscribers), "--duration",
                                       str(args.seconds + 60), "--ready-file", ready], workdir)
        others.append(subs)
        if not harness.wait_until(lambda: os.path.exists(ready), 30):
            raise RuntimeError("subscribers did not connect")
        time.sleep(1.0)
        measured = [*relays, *([forwarder] if forwarder else [])]
        start_cpu = [harness.cpu_seconds(process.pid) for process in measured]
        sent = publish(args, workdir, publish_port, others)["sent"]
        cpu = [harness.cpu_seconds(process.pid) - first
               for process, first in zip(measured, start_cpu)]
        result["datagrams"] = {relay.name: udp_counts(relay) for relay in relays}
        subs.stop(30)
        report = subs.stdout_json()
        delivered = report["aggregate"]["received"]
        result.update({
            "sent": sent, "delivered": delivered, "lost": report["aggregate"]["lost"],
            "missing": sent * args.subscribers - delivered,
            "bridge_cpu_s_per_gb": harness.cost_per_gb(cpu[0], delivered * harness.MESSAGE_SIZE),
            "ok": all(relay.alive() for relay in relays)})
        if fed_by_multicast:
            # The edge sends each message once, onto the group.
            result["edge_cpu_s_per_gb"] = harness.cost_per_gb(cpu[1], sent * harness.MESSAGE_SIZE)
            forwarder.stop(10)
            forwarded = forwarder.stdout_json()
            result["forwarder_datagrams"] = forwarded["datagrams"]
            result["forwarder_cpu_s_per_gb"] = harness.cost_per_gb(cpu[2], forwarded["bytes"])
    except (RuntimeError, OSError, ValueError, KeyError) as failure:
        result["error"] = str(failure)
    finally:
        for process in [*others, *relays]:
            process.stop(10)
        if result["ok"]:
            shutil.rmtree(workdir, ignore_errors=True)
        else:
            result["workdir"] = workdir
    return result


def run_reference_edge(args):
    """srt-live-transmit in the edge's place (SRT in, multicast out), the bare forwarder joined
    to its group: what receiving SRT costs without the relay, beside the relay's edge."""
    workdir = tempfile.mkdtemp(prefix="bench-udp-slt-")
    publish_port, group_port = harness.free_port(), harness.free_port()
    result = {"fed_by": "srt-live-transmit edge, no bridge", "ok": False, "subscribers": 0,
              "rate_mbps": args.rate / 1e6}
    processes = []
    try:
        slt = harness.Process("slt", [
            "srt-live-transmit", "-q", f"srt://:{publish_port}",
            f"udp://{GROUP}:{group_port}?adapter=127.0.0.1&ttl=1"], workdir)
        forwarder = start_forwarder(args, workdir, group_port)
        processes += [slt, forwarder]
        if not harness.wait_until(lambda: publish_port in harness.bound_udp_ports(), 10):
            raise RuntimeError("srt-live-transmit did not open its port")
        first = harness.cpu_seconds(slt.pid)
        sent = publish(args, workdir, publish_port, processes)["sent"]
        cpu = harness.cpu_seconds(slt.pid) - first
        forwarder.stop(10)
        forwarded = forwarder.stdout_json()["datagrams"]
        result.update({"sent": sent, "missing": sent - forwarded, "forwarder_datagrams": forwarded,
                       "edge_cpu_s_per_gb": harness.cost_per_gb(cpu, sent * harness.MESSAGE_SIZE),
                       "ok": True})
    except (RuntimeError, OSError, ValueError, KeyError) as failure:
        result["error"] = str(failure)
    finally:
        for process in processes:
            process.stop(10)
        shutil.rmtree(workdir, ignore_errors=True)
    return result


def markdown(measure):
    """The table of a measure ({"runs": [...]} or {"error": ...})."""
    if "runs" not in measure:
        return "Multicast bridges: " + measure.get("error", "not run")
    lines = ["| bridge fed by | subscribers | Mbit/s | sent | missing | bridge CPU s/GB | "
             "edge (SRT in, multicast out) CPU s/GB | bare UDP forwarder CPU s/GB |",
             "|---|---|---|---|---|---|---|---|"]

    def figure(run, key):
        return f"{run[key]:.2f}" if run.get(key) else "-"

    for r in measure["runs"]:
        lines.append(f"| {r['fed_by']} | {r['subscribers']} | {r['rate_mbps']:g} | "
                     f"{r.get('sent', '-')} | {r.get('missing', r.get('error', '-'))} | "
                     f"{figure(r, 'bridge_cpu_s_per_gb')} | {figure(r, 'edge_cpu_s_per_gb')} | "
                     f"{figure(r, 'forwarder_cpu_s_per_gb')} |")
    return "\n".join(lines)


def measure(relay, load, seconds, out):
    """The runs from a namespace of their own (this script under unshare), as a measure of
    run_bench: {"runs": [...]}, or {"error": ...} when they could not be made."""
    command = ["unshare", "-n", sys.executable, os.path.abspath(__file__), "--relay", relay,
               "--load", load, "--out", out, "--seconds", str(seconds), "--in-namespace"]
    status = subprocess.call(command)
    if status != 0:
        return {"error": f"the runs in a network namespace ended with {status} (unshare needs root)"}
    with open(os.path.join(out, "udp_bridge.json")) as runs:
        results = json.load(runs)
    failed = [r["error"] for r in results if "error" in r]
    return {"runs": results, **({"error": "; ".join(failed)} if failed else {})}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--relay", required=True)
    parser.add_argument("--load", required=True)
    parser.add_argument("--out", required=True, help="folder of udp_bridge.json and .md")
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("--subscribers", type=int, default=20)
    parser.add_argument("--rate", type=int, default=20_000_000)
    parser.add_argument("--in-namespace", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if not args.in_namespace:
        # Multicast on loopback needs a namespace of its own with the groups routed to lo.
        sys.exit(0 if "error" not in measure(args.relay, args.load, args.seconds, args.out)
                 else 1)
    subprocess.check_call(["ip", "link", "set", "lo", "up"])
    subprocess.check_call(["ip", "route", "add", "224.0.0.0/4", "dev", "lo"])
    results = [run(args, True), run(args, False), run_reference_edge(args)]
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "udp_bridge.json"), "w") as out:
        json.dump(results, out, indent=1)
    with open(os.path.join(args.out, "udp_bridge.md"), "w") as out:
        out.write(markdown({"runs": results}) + "\n")
    print(json.dumps(results))


if __name__ == "__main__":
    main()
