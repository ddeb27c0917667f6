"""End-to-end check that the subscriber set reports each fault a relay could make."""
import os
import shutil
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

    def test_planned_generator_reconnects_lose_nothing(self):
        # The soak's verdict depends on this: a reconnecting generator keeps one sequence
        # and lets its last messages arrive before it closes.
        gen, subs = self.run_through_forwarder([], gen_args=["--reconnect-every", "1"],
                                               sub_args=["--ranges"], seconds=3)
        connections = gen["connections"]
        self.assertGreaterEqual(len(connections), 3)
        for before, after in zip(connections, connections[1:]):
            self.assertEqual(before["next_seq"], after["first_seq"])
        for subscriber in subs["subscribers"]:
            self.assertEqual(subscriber["connections"][0]["ranges"], [[0, gen["sent"] - 1]])


if __name__ == "__main__":
    unittest.main()
