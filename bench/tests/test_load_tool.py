"""End-to-end checks of the load tool: the subscriber set reports each fault a relay could make,
and the lossy link does to datagrams what it is told."""
import os
import shutil
import socket
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import harness  # noqa: E402

LOAD = os.environ.get("MIREVO_LOAD", "")


@unittest.skipUnless(os.access(LOAD, os.X_OK), "MIREVO_LOAD does not name the built load tool")
class FaultDetection(unittest.TestCase):
    def run_through_forwarder(self, fault_args, gen_args=(), sub_args=(), seconds=2):
        """seconds of 5 Mbit/s through the bare forwarder with faults: the generator's and the
        subscribers' reports."""
        workdir = tempfile.mkdtemp(prefix="load-tool-test-")
        self.addCleanup(shutil.rmtree, workdir, True)
        source, target = harness.free_port(), harness.free_port()
        ready = os.path.join(workdir, "ready")
        forward = harness.Process("forward", [LOAD, "forward", "--source-port", str(source),
                                              "--target-port", str(target), "--duration", "30",
                                              *fault_args], workdir)
        self.addCleanup(forward.stop)
        self.assertTrue(harness.wait_until(lambda: harness.udp_port_bound(target), 10))
        subs = harness.Process("sub", [LOAD, "sub", "--url", f"srt://127.0.0.1:{target}",
                                       "--count", "2", "--duration", "30", "--ready-file", ready,
                                       *sub_args],
                               workdir)
        self.addCleanup(subs.stop)
        self.assertTrue(harness.wait_until(lambda: os.path.exists(ready), 10))
        gen = harness.Process("gen", [LOAD, "gen", "--url", f"srt://127.0.0.1:{source}",
                                      "--rate", "5000000", "--duration", str(seconds), *gen_args],
                               workdir)
        self.addCleanup(gen.stop)
        self.assertEqual(gen.wait(20), 0)
        time.sleep(0.5)
        subs.stop()
        return gen.stdout_json(), subs.stdout_json()

    def test_each_fault_shows_in_its_own_counter(self):
        # (forwarder arguments, counter that must be positive, counters that must stay 0)
        cases = [
            ([], None, ["lost", "duplicates", "reordered", "corrupted"]),
            (["--drop-every", "50"], "lost", ["duplicates", "reordered", "corrupted"]),
            (["--duplicate-every", "50"], "duplicates", ["lost", "reordered", "corrupted"]),
            (["--swap-every", "50"], "reordered", ["lost", "duplicates", "corrupted"]),
            (["--corrupt-every", "50"], "corrupted", ["duplicates", "reordered"]),
        ]
        for fault_args, raised, clean in cases:
            with self.subTest(fault=" ".join(fault_args) or "none"):
                gen, subs = self.run_through_forwarder(fault_args)
                sent, totals = gen["sent"], subs["aggregate"]
                self.assertGreater(sent, 500)
                if raised is None:
                    self.assertEqual(totals["received"], 2 * sent)
                    self.assertEqual((subs["worst"]["received"], subs["worst"]["expected"]),
                                     (sent, sent))
                else:
                    self.assertGreater(totals[raised], 0)
                for counter in clean:
                    self.assertEqual(totals[counter], 0, counter)


@unittest.skipUnless(os.access(LOAD, os.X_OK), "MIREVO_LOAD does not name the built load tool")
class BareRouter(unittest.TestCase):
    def test_each_player_gets_the_stream_its_id_names_in_either_id_form(self):
        workdir = tempfile.mkdtemp(prefix="load-tool-test-")
        self.addCleanup(shutil.rmtree, workdir, True)
        source, target = harness.free_port(), harness.free_port()
        ready = os.path.join(workdir, "ready")
        router = harness.Process("routes", [LOAD, "routes", "--source-port", str(source),
                                            "--target-port", str(target), "--duration", "30"],
                                 workdir)
        self.addCleanup(router.stop)
        self.assertTrue(harness.wait_until(lambda: harness.udp_port_bound(target), 10))
        # Three streams, two players each (player j takes stream j mod 3), the publishers
        # naming theirs in the "#!::" form.
        subs = harness.Process("sub", [LOAD, "sub", "--url", f"srt://127.0.0.1:{target}",
                                       "--streams", "3", "--streamid", "cam", "--count", "6",
                                       "--share-port", "--duration", "30", "--ready-file", ready],
                               workdir)
        self.addCleanup(subs.stop)
        self.assertTrue(harness.wait_until(lambda: os.path.exists(ready), 10))
        gen = harness.Process("gen", [LOAD, "gen", "--url", f"srt://127.0.0.1:{source}",
                                      "--streams", "3", "--streamid", "#!::m=publish,r=cam",
                                      "--share-port", "--rate", "1000000", "--duration", "2"],
                              workdir)
        self.addCleanup(gen.stop)
        self.assertEqual(gen.wait(20), 0)
        time.sleep(0.5)
        subs.stop()
        router.stop()
        sent, totals = gen.stdout_json()["sent"], subs.stdout_json()["aggregate"]
        self.assertGreater(sent, 300)
        self.assertEqual(totals["received"], 2 * sent)
        for counter in ("lost", "duplicates", "wrong_stream", "corrupted"):
            self.assertEqual(totals[counter], 0, counter)
        self.assertEqual(router.stdout_json()["streams"], 3)

def drain(sock):
    """The datagrams waiting on a non-blocking socket, with their senders."""
    received = []
    while True:
        try:
            received.append(sock.recvfrom(100))
        except BlockingIOError:
            return received


@unittest.skipUnless(os.access(LOAD, os.X_OK), "MIREVO_LOAD does not name the built load tool")
class LossyLink(unittest.TestCase):
    def impair(self, rule, clients=1, host="127.0.0.1", count=300):
        """Numbered datagrams from each client through impair to an echo socket and back: its
        report, per client the numbers back in arrival order (-1: another's), the fastest ms."""
        workdir = tempfile.mkdtemp(prefix="impair-test-")
        self.addCleanup(shutil.rmtree, workdir, True)
        family = socket.AF_INET6 if host == "::1" else socket.AF_INET
        sockets = [socket.socket(family, socket.SOCK_DGRAM) for _ in range(clients + 1)]
        echo, port = sockets.pop(), harness.free_port()
        for sock in (echo, *sockets):
            self.addCleanup(sock.close)
            sock.setblocking(False)
        echo.bind((host, 0))
        box = harness.Process("impair", [LOAD, "impair", "--listen", str(port), "--to",
                                         f"[{host}]:{echo.getsockname()[1]}", "--seconds", "30",
                                         *rule, *(["--bind6"] if host == "::1" else [])], workdir)
        self.addCleanup(box.stop)
        self.assertTrue(harness.wait_until(lambda: "listening" in box.stderr_text(), 5))
        arrived, fastest_ms = [[] for _ in sockets], 1e9
        for i in range(count + 250):  # then 0.5 s for the last to come back
            for c, sock in enumerate(sockets if i < count else []):
                sock.sendto(f"{c} {i} {time.monotonic()}".encode(), (host, port))
            time.sleep(0.002)
            for data, sender in drain(echo):
                echo.sendto(data, sender)
            for c, sock in enumerate(sockets):
                for data, _ in drain(sock):
                    client, number, sent = data.split()
                    arrived[c].append(int(number) if int(client) == c else -1)
                    fastest_ms = min(fastest_ms, (time.monotonic() - float(sent)) * 1000)
        box.stop()
        report = box.stdout_json()
        for way in (report["fwd"], report["back"]):
            self.assertEqual(way["in"] - way["dropped"] + way["duplicated"], way["out"], way)
        return report, arrived, fastest_ms

    def test_each_impairment_shows_in_what_arrives_and_in_the_counters(self):
        whole = list(range(300))
        cases = [  # (rule, clients, host, check of (report, numbers back per client, fastest ms))
            (["--delay", "15", "--fwd-delay", "25"], 1, "127.0.0.1",
             lambda r, got, rtt: got == [whole] and rtt >= 40),
            (["--fwd-loss", "20", "--back-dup", "100"], 1, "127.0.0.1",
             lambda r, got, rtt: 30 < r["fwd"]["dropped"] < 90 and r["back"]["dropped"] == 0
             and len(got[0]) == 2 * (300 - r["fwd"]["dropped"]) and got[0][::2] == got[0][1::2]),
            (["--jitter", "30"], 1, "127.0.0.1",
             lambda r, got, rtt: got[0] != whole and sorted(got[0]) == whole),
            (["--loss", "10", "--seed", "5"], 1, "127.0.0.1",
             lambda r, got, rtt: r["fwd"]["dropped"] > 0 and r["back"]["dropped"] > 0),
            ([], 3, "127.0.0.1", lambda r, got, rtt: r["peers"] == 3 and got == [whole] * 3),
            ([], 3, "::1", lambda r, got, rtt: r["peers"] == 3 and got == [whole] * 3),
        ]
        for rule, clients, host, check in cases:
            with self.subTest(rule=" ".join(rule), clients=clients, host=host):
                report, arrived, fastest = self.impair(rule, clients, host)
                self.assertTrue(check(report, arrived, fastest), (report, fastest))


if __name__ == "__main__":
    unittest.main()
