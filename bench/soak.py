"""Soak: one relay under steady load, generator reconnects, subscriber churn and API changes."""
import json
import os
import shutil
import socket
import sys
import tempfile
import time
import urllib.error
import urllib.request

import harness

API_KEY = "soak"
RATE_BPS = 5_000_000
STEADY_SUBSCRIBERS = 4
CHURN_SUBSCRIBERS = 3
CHURN_TARGET_SUBSCRIBERS = 2
GENERATOR_RECONNECT_S = 30
WARMUP_S = 5
SETTLE_MAX_S = 20
TAIL_S = 25  # churn stops this long before the generator does: settle, then final readings
DELIVERY_FLOOR = 0.999
JOIN_SETTLE_MS = 1000
END_MARGIN_MS = 1000
RSS_SLACK_RATIO = 0.10
RSS_SLACK_KB = 4 * 1024
RSS_SAMPLE_S = 10
MAIN_ROUTE, STEADY_TARGET, CHURN_TARGET = 100, 1000, 1001


class Api:
    """The relay's HTTP control API on 127.0.0.1; every call answers (status, body text)."""

    def __init__(self, port):
        self.base = f"http://127.0.0.1:{port}"

    def call(self, method, path, **params):
        # Values are sent as they are: an srt URL keeps its ':' '/' '?' '=' like a shell client.
        query = "&".join([f"api_key={API_KEY}"] + [f"{k}={v}" for k, v in params.items()])
        request = urllib.request.Request(f"{self.base}{path}?{query}", method=method)
        try:
            with urllib.request.urlopen(request, timeout=15) as reply:
                return reply.status, reply.read().decode(errors="replace")
        except urllib.error.HTTPError as error:
            return error.code, error.read().decode(errors="replace")
        except (urllib.error.URLError, OSError) as error:
            return 0, str(error)


def json_member(body, name):
    try:
        value = json.loads(body).get(name)
    except (ValueError, AttributeError):
        return None
    return value if isinstance(value, int) else None


class ManagementChurn:
    """One management change per step, in a cycle that ends where it began: a spare route is
    created, configured, given a target and deleted; the main route's churn target is updated,
    disabled and enabled. Between cycles the registry is as it was before the first one."""

    STEPS = 8

    def __init__(self, api, spare_source_port, spare_target_port, churn_target_port):
        self.api = api
        self.spare_ports = (spare_source_port, spare_target_port)
        self.churn_target_port = churn_target_port
        self.step_index = 0
        self.spare_route = None
        self.spare_target = None
        self.with_latency = False
        self.counts = {}
        self.failures = []

    def _record(self, name, ok, status, body):
        total, failed = self.counts.get(name, (0, 0))
        self.counts[name] = (total + 1, failed + (0 if ok else 1))
        if not ok and len(self.failures) < 20:
            self.failures.append(f"{name}: {status} {body[:200]}")

    def _expect_ok(self, name, method, path, **params):
        status, body = self.api.call(method, path, **params)
        self._record(name, status == 200 and body == "Ok", status, body)

    def step(self):
        """Performs the next change. Returns True when a cycle has just been completed."""
        index = self.step_index % self.STEPS
        self.step_index += 1
        churn = f"/api/routes/{MAIN_ROUTE}/targets/{CHURN_TARGET}"
        if index == 0:
            status, body = self.api.call("POST", "/api/routes/route")
            self.spare_route = json_member(body, "route_id") if status == 200 else None
            self._record("create route", self.spare_route is not None, status, body)
        elif self.spare_route is not None and index == 1:
            self._expect_ok("update spare source", "PUT", f"/api/routes/{self.spare_route}/source",
                            enabled=1, mode="listen", url=f"srt://:{self.spare_ports[0]}")
        elif self.spare_route is not None and index == 2:
            status, body = self.api.call("POST", f"/api/routes/{self.spare_route}/targets")
            self.spare_target = json_member(body, "target_id") if status == 200 else None
            self._record("add target", self.spare_target is not None, status, body)
        elif self.spare_route is not None and self.spare_target is not None and index == 3:
            self._expect_ok("update spare target", "PUT",
                            f"/api/routes/{self.spare_route}/targets/{self.spare_target}",
                            enabled=1, mode="listen", url=f"srt://:{self.spare_ports[1]}")
        elif index == 4:
            self.with_latency = not self.with_latency
            url = f"srt://:{self.churn_target_port}"
            if self.with_latency:
                url += "?latency=200"
            self._expect_ok("update churn target", "PUT", churn, enabled=1, mode="listen", url=url)
        elif index == 5:
            self._expect_ok("disable churn target", "OPTIONS", churn, enabled=0)
        elif index == 6:
            self._expect_ok("enable churn target", "OPTIONS", churn, enabled=1)
        elif self.spare_route is not None and index == 7:
            self._expect_ok("delete route", "DELETE", f"/api/routes/{self.spare_route}")
            self.spare_route = self.spare_target = None
        return index == self.STEPS - 1

    def finish_cycle(self):
        while self.step_index % self.STEPS != 0:
            self.step()


def http_available(api, port):
    def accepts():
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            return False
    # The HTTP server starts after the routes are loaded; slower in a sanitizer build.
    if not harness.wait_until(accepts, 15, step=0.2):
        return False, f"nothing accepts on TCP port {port}"
    status, body = api.call("POST", "/api/routes/route")
    route = json_member(body, "route_id") if status == 200 else None
    if route is None:
        return False, f"POST /api/routes/route answered {status} {body[:120]!r}"
    status, body = api.call("DELETE", f"/api/routes/{route}")
    return status == 200, f"DELETE answered {status} {body[:120]!r}"


def relay_env():
    """TSan options for the relay: the caller's, plus the libsrt-internal suppressions."""
    suppressions = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tsan-libsrt.supp")
    options = os.environ.get("TSAN_OPTIONS", "")
    if "suppressions=" not in options:
        options = f"{options}:suppressions={suppressions}".lstrip(":")
    return {"TSAN_OPTIONS": options}


def is_sanitized(binary):
    with open(binary, "rb") as image:
        data = image.read()
    return b"__asan_init" in data or b"__tsan_init" in data


def resource_snapshot(pid):
    return {"rss_kb": harness.memory_kb(pid).get("VmRSS", 0), "fds": harness.fd_count(pid),
            "threads": harness.thread_count(pid)}


def check_steady(report, gen):
    """Per steady subscriber: the worst connected stretch, and whether every stretch passed."""
    lines, ok = [], True
    for subscriber in report["subscribers"]:
        stretches = []
        for connection in subscriber["connections"]:
            if connection.get("ranges_truncated"):
                ok = False
            stretches += harness.connected_stretches(gen, connection, JOIN_SETTLE_MS,
                                                     END_MARGIN_MS)
        if not stretches:
            ok = False
            lines.append(f"subscriber {subscriber['index']}: no connected stretch")
            continue
        worst = min(stretches, key=lambda s: s["received"] / s["expected"])
        ratio = worst["received"] / worst["expected"]
        ok = ok and all(s["received"] >= DELIVERY_FLOOR * s["expected"] for s in stretches)
        lines.append(f"subscriber {subscriber['index']}: {len(subscriber['connections'])} "
                     f"connection(s), {len(stretches)} stretches, worst {ratio * 100:.3f}% "
                     f"({worst['received']}/{worst['expected']} of seq {worst['first']}.."
                     f"{worst['end'] - 1})")
    return ok, lines


def run(length_s, relay_bin, load_bin, http_mode, workdir):
    checks = []

    def check(name, ok, detail):
        checks.append((name, bool(ok), detail))

    ports = {name: harness.free_port() for name in
             ("source", "steady", "churn", "spare_source", "spare_target")}
    http_port = harness.free_port(socket.SOCK_STREAM)
    config = harness.route_document(MAIN_ROUTE, ports["source"],
                                    [(STEADY_TARGET, ports["steady"], True),
                                     (CHURN_TARGET, ports["churn"], True)])
    relay = harness.start_relay(relay_bin, workdir, config, http_port, API_KEY, env=relay_env())
    children = []

    def load(name, *argv):
        process = harness.Process(name, [load_bin, *map(str, argv)], workdir)
        children.append(process)
        return process

    try:
        if not harness.wait_until(lambda: harness.udp_port_bound(ports["source"]) and
                                  harness.udp_port_bound(ports["steady"]), 15):
            check("relay starts", False, "the configured ports were not opened")
            return checks
        api = Api(http_port)
        churn_api = http_mode != "off"
        if churn_api:
            available, detail = http_available(api, http_port)
            if not available:
                check("http api", http_mode != "on", f"unavailable ({detail}); "
                      + ("required" if http_mode == "on" else "management churn skipped"))
                churn_api = False

        ready = os.path.join(workdir, "steady.ready")
        steady = load("steady", "sub", "--url", f"srt://127.0.0.1:{ports['steady']}",
                      "--count", STEADY_SUBSCRIBERS, "--duration", length_s + 120,
                      "--reconnect", "--ranges", "--ready-file", ready)
        if not harness.wait_until(lambda: os.path.exists(ready), 20):
            check("steady subscribers connect", False, "not all connected within 20 s")
            return checks
        time.sleep(1.0)
        gen_start = time.monotonic()
        gen = load("gen", "gen", "--url", f"srt://127.0.0.1:{ports['source']}", "--rate",
                   RATE_BPS, "--duration", length_s, "--reconnect-every", GENERATOR_RECONNECT_S)
        time.sleep(WARMUP_S)
        baseline = resource_snapshot(relay.pid)

        churn_until = gen_start + max(length_s - TAIL_S, WARMUP_S + 10)
        churners = load("churn", "sub", "--url", f"srt://127.0.0.1:{ports['steady']}",
                        "--count", CHURN_SUBSCRIBERS, "--churn-ms", 1000, "--reconnect",
                        "--duration", length_s + 60)
        churn_target_subs = load("churn-target", "sub", "--url",
                                 f"srt://127.0.0.1:{ports['churn']}", "--count",
                                 CHURN_TARGET_SUBSCRIBERS, "--reconnect", "--duration",
                                 length_s + 60)
        management = ManagementChurn(api, ports["spare_source"], ports["spare_target"],
                                     ports["churn"])
        next_tick = time.monotonic()
        rss_samples_mb = []
        while time.monotonic() < churn_until and relay.alive():
            if churn_api:
                management.step()
            if len(rss_samples_mb) < (time.monotonic() - gen_start) // RSS_SAMPLE_S:
                rss_samples_mb.append(harness.memory_kb(relay.pid).get("VmRSS", 0) / 1024)
            next_tick += 1.0
            time.sleep(max(0.0, next_tick - time.monotonic()))
        if churn_api and relay.alive():
            management.finish_cycle()
        churners.stop(10)
        churn_target_subs.stop(10)

        settled = None
        if relay.alive():
            def back_to_baseline():
                now = resource_snapshot(relay.pid)
                return now["fds"] <= baseline["fds"] and now["threads"] <= baseline["threads"]
            harness.wait_until(back_to_baseline, SETTLE_MAX_S, step=0.5)
            settled = resource_snapshot(relay.pid)

        gen.wait(max(0.0, gen_start + length_s + 15 - time.monotonic()))
        time.sleep(1.5)
        steady.stop(10)
        relay_alive = relay.alive()
        check("no crash", relay_alive, "relay running at the end" if relay_alive else
              f"relay ended with status {relay.popen.returncode}")

        gen_report = gen.stdout_json() if not gen.alive() else None
        steady_report = steady.stdout_json()
        if gen_report is None or steady_report is None:
            check("reports", False, "generator or steady subscribers gave no report")
        else:
            check("generator", gen_report["sent"] > 0,
                  f"{gen_report['sent']} messages in {len(gen_report['connections'])} "
                  f"connections, {gen_report['late_resets']} pacing resets")
            ok, lines = check_steady(steady_report, gen_report)
            check(f"steady subscribers get >= {DELIVERY_FLOOR * 100:g}% of each stretch", ok,
                  "; ".join(lines))
        damaged = []
        churn_detail = None
        for process in (steady, churners, churn_target_subs):
            report = process.stdout_json()
            if report is None:
                damaged.append(f"{process.name}: no report")
                continue
            totals = report["aggregate"]
            if totals["duplicates"] or totals["corrupted"]:
                damaged.append(f"{process.name}: {totals['duplicates']} duplicates, "
                               f"{totals['corrupted']} corrupted")
            if process is churners:
                churn_detail = (f"churn subscribers: {totals['connections']} connections, "
                                f"{totals['received']} messages, "
                                f"{totals['failed_attempts']} failed attempts")
        check("no duplicate or corrupted message", not damaged, "; ".join(damaged) or "none")
        if churn_detail is not None:
            check("subscriber churn happened", True, churn_detail)

        if churn_api:
            failed = sum(f for _, f in management.counts.values())
            detail = ", ".join(f"{name} {total - f}/{total}"
                               for name, (total, f) in management.counts.items())
            if management.failures:
                detail += "; first failures: " + " | ".join(management.failures[:5])
            check("management changes answered Ok", failed == 0 and management.counts, detail)

        if settled is not None:
            check("descriptors back at baseline", settled["fds"] <= baseline["fds"],
                  f"{baseline['fds']} -> {settled['fds']}")
            check("threads back at baseline", settled["threads"] <= baseline["threads"],
                  f"{baseline['threads']} -> {settled['threads']}")
            # malloc keeps what the first churn connections took (the bare libsrt forwarder
            # grows the same way), so the reference is the RSS a quarter into the churn; a
            # leak keeps growing after it.
            warm_kb = rss_samples_mb[len(rss_samples_mb) // 4] * 1024 if rss_samples_mb else 0
            reference_kb = max(baseline["rss_kb"], warm_kb)
            rss_limit = reference_kb * (1 + RSS_SLACK_RATIO) + RSS_SLACK_KB
            rss_detail = (f"{baseline['rss_kb'] / 1024:.1f} MB before churn, "
                          f"{reference_kb / 1024:.1f} MB a quarter in, "
                          f"{settled['rss_kb'] / 1024:.1f} MB after (every {RSS_SAMPLE_S} s: "
                          + " ".join(f"{mb:.1f}" for mb in rss_samples_mb) + ")")
            if is_sanitized(relay_bin):
                check("RSS stops growing", True, rss_detail + " (not judged: sanitizer build)")
            else:
                check("RSS stops growing", settled["rss_kb"] <= rss_limit,
                      f"{rss_detail}; limit {rss_limit / 1024:.1f} MB")
    finally:
        for process in reversed(children):
            process.stop(10)
        status = relay.stop(15)
        findings = harness.sanitizer_findings(relay.stderr_text())
        check("no sanitizer report", not findings,
              f"relay exit status {status}; " + ("; ".join(findings[:5]) or "stderr clean"))
    return checks


def main():
    length_s = int(sys.argv[1]) if len(sys.argv) > 1 else 600
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    relay_bin = os.environ.get("MIREVO_BIN") or os.path.join(root, "build", "mirevo")
    load_bin = os.environ.get("MIREVO_LOAD") or os.path.join(
        os.path.dirname(os.path.abspath(relay_bin)), "bench", "mirevo-load")
    http_mode = os.environ.get("MIREVO_SOAK_HTTP", "auto")
    for path in (relay_bin, load_bin):
        if not os.access(path, os.X_OK):
            print(f"soak: {path} is not an executable (set MIREVO_BIN / MIREVO_LOAD)")
            return 2
    workdir = tempfile.mkdtemp(prefix="mirevo-soak-")
    print(f"soak: {length_s} s, relay {relay_bin}, load tool {load_bin}, logs in {workdir}",
          flush=True)
    checks = run(length_s, relay_bin, load_bin, http_mode, workdir)
    passed = all(ok for _, ok, _ in checks) and bool(checks)
    for name, ok, detail in checks:
        print(f"{'PASS' if ok else 'FAIL'} {name}: {detail}")
    if passed and not os.environ.get("MIREVO_SOAK_KEEP"):
        shutil.rmtree(workdir, ignore_errors=True)
    print(f"soak: {'PASSED' if passed else 'FAILED'}" + ("" if passed else f" (logs: {workdir})"))
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
