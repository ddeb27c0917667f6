"""Checks of the harness arithmetic that decides benchmark figures and soak verdicts."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import harness  # noqa: E402
import memory_profile  # noqa: E402
import run_bench  # noqa: E402
import soak  # noqa: E402

# Two generator connections with a reconnect pause between 1000 ms and 1100 ms:
# 100 messages per second, seq 0..99 in the first, 100..199 in the second.
GEN = {
    "connections": [{"start_ms": 0.0, "end_ms": 1000.0, "first_seq": 0, "next_seq": 100},
                    {"start_ms": 1100.0, "end_ms": 2100.0, "first_seq": 100, "next_seq": 200}],
    "timeline": [[0.0, 0], [1000.0, 100], [1100.0, 100], [2100.0, 200]],
}


class ProcParsing(unittest.TestCase):
    def test_stat_with_awkward_command_name(self):
        # utime 250 and stime 150 ticks; the name holds blanks and a ')'.
        fields = ["S"] + ["0"] * 10 + ["250", "150"] + ["0"] * 30
        text = "4242 (mirevo ) x) " + " ".join(fields)
        self.assertAlmostEqual(harness.parse_proc_stat(text), 400 / harness.CLOCK_TICKS)

class Figures(unittest.TestCase):
    def test_sanitizer_lines_are_found(self):
        text = ("=== load str:{}\n==1==ERROR: AddressSanitizer: heap-use-after-free\n"
                "x.cpp:3:5: runtime error: signed integer overflow\nall fine\n")
        self.assertEqual(len(harness.sanitizer_findings(text)), 2)
        self.assertEqual(harness.sanitizer_findings("Server was successfully initialized\n"), [])
    def test_worst_subscriber_is_judged_against_what_was_sent(self):
        report = {"connected": 2, "worst": {"received": 90, "expected": 95},
                  "aggregate": {"received": 190, "lost": 5, "duplicates": 0, "reordered": 0,
                                "corrupted": 0, "failed_attempts": 0,
                                "latency_ms": {"p50": 1.0, "p99": 2.0}}}
        figures = run_bench.subscriber_figures(report, 100, 2)
        self.assertEqual((figures["delivered_ratio"], figures["worst_ratio"], figures["missing"]),
                         (0.95, 0.9, 10))
        self.assertEqual(run_bench.subscriber_figures(report, 0, 2)["worst_ratio"], 0.0)

    def test_heaptrack_peak_report(self):
        text = ("PEAK MEMORY CONSUMERS\n82.33M peak memory consumed over 201 calls from\n"
                "srt::CRcvLossList::CRcvLossList(int)\n  and 82.33M from 1 other places\n\n"
                "512B peak memory consumed over 2 calls from\nadd_connection(route_t*)\n\n"
                "total runtime: 8.68s.\npeak heap memory consumption: 163.40M\n")
        peak, sites = memory_profile.parse_peak_report(text)
        self.assertAlmostEqual(peak, 163.40e6)
        self.assertEqual(sites, [
            {"bytes": 82.33e6, "calls": 201, "function": "srt::CRcvLossList::CRcvLossList(int)"},
            {"bytes": 512.0, "calls": 2, "function": "add_connection(route_t*)"}])


class Stretches(unittest.TestCase):
    def test_stretches_follow_subscriber_and_generator_connections(self):
        cases = [
            ("whole run, nothing lost",
             {"connect_ms": -500.0, "end_ms": 3200.0, "ranges": [[0, 199]]},
             [(0, 100, 100), (100, 200, 100)]),
            ("loss in the second generator connection only",
             {"connect_ms": -500.0, "end_ms": 3200.0, "ranges": [[0, 149], [160, 199]]},
             [(0, 100, 100), (100, 200, 90)]),
            ("joined late: the settle time is not expected",
             {"connect_ms": 200.0, "end_ms": 3200.0, "ranges": [[30, 199]]},
             [(30, 100, 70), (100, 200, 100)]),
            ("left early: the end margin is not expected",
             {"connect_ms": -500.0, "end_ms": 1700.0, "ranges": [[0, 160]]},
             [(0, 100, 100), (100, 110, 10)]),
        ]
        for name, connection, expected in cases:
            with self.subTest(name):
                stretches = harness.connected_stretches(GEN, connection, 100, 500)
                self.assertEqual([(s["first"], s["end"], s["received"]) for s in stretches],
                                 expected)

    def test_steady_verdict_fails_on_one_short_stretch(self):
        def report(ranges):
            return {"subscribers": [{"index": 0, "connections": [
                {"connect_ms": -500.0, "end_ms": 3200.0, "ranges": ranges}]}]}
        self.assertTrue(soak.check_steady(report([[0, 199]]), GEN)[0])
        self.assertFalse(soak.check_steady(report([[0, 198]]), GEN)[0])  # 99/100 < 99.9%
        self.assertFalse(soak.check_steady(report([]), GEN)[0])


if __name__ == "__main__":
    unittest.main()
