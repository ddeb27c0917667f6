"""Checks of the harness arithmetic that decides benchmark figures and soak stretches."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import harness  # noqa: E402
import run_bench  # noqa: E402
import shared_port  # noqa: E402

# Two generator connections with a reconnect pause between 1000 ms and 1100 ms:
# 100 messages per second, seq 0..99 in the first, 100..199 in the second.
GEN = {
    "connections": [{"start_ms": 0.0, "end_ms": 1000.0, "first_seq": 0, "next_seq": 100},
                    {"start_ms": 1100.0, "end_ms": 2100.0, "first_seq": 100, "next_seq": 200}],
    "timeline": [[0.0, 0], [1000.0, 100], [1100.0, 100], [2100.0, 200]],
}


class Figures(unittest.TestCase):
    def test_worst_subscriber_is_judged_against_what_was_sent(self):
        report = {"connected": 2, "worst": {"received": 90, "expected": 95},
                  "aggregate": {"received": 190, "lost": 5, "duplicates": 0, "reordered": 0,
                                "corrupted": 0, "failed_attempts": 0,
                                "latency_ms": {"p50": 1.0, "p99": 2.0}}}
        figures = run_bench.subscriber_figures(report, 100, 2)
        self.assertEqual((figures["delivered_ratio"], figures["worst_ratio"], figures["missing"]),
                         (0.95, 0.9, 10))
        self.assertEqual(run_bench.subscriber_figures(report, 0, 2)["worst_ratio"], 0.0)


class SharedPortFigures(unittest.TestCase):
    # Two streams: 100 messages sent on stream 0, 90 on stream 1.
    GEN = {"late_resets": 0, "connections": [{"first_seq": 0, "next_seq": 100},
                                              {"first_seq": 1 << 40, "next_seq": (1 << 40) + 90}]}

    @staticmethod
    def subs(received, **faults):
        """A stream-set report: subscriber j received received[j] of stream j mod 2."""
        aggregate = {"received": sum(received), "failed_attempts": 0,
                     "latency_ms": {"p50": 1.0, "p99": 2.0}, "lost": 0, "duplicates": 0,
                     "reordered": 0, "corrupted": 0, "wrong_stream": 0, **faults}
        return {"connected": len(received), "aggregate": aggregate,
                "subscribers": [{"index": j, "received": n} for j, n in enumerate(received)]}

    def test_each_subscriber_is_judged_against_its_own_stream(self):
        cases = [  # (received per subscriber, faults, missing, zero loss)
            ([100, 90, 100, 90], {}, 0, True),
            ([100, 90, 90, 90], {}, 10, False),  # the third takes stream 0 and missed 10
            ([100, 90, 100, 90], {"lost": 1}, 0, False),
            ([100, 90, 100, 90], {"wrong_stream": 3}, 0, False),
            ([100, 90, 100, 90], {"duplicates": 2}, 0, False),
        ]
        for received, faults, missing, zero_loss in cases:
            with self.subTest(received=received, faults=faults):
                figures = shared_port.live_figures(self.GEN, self.subs(received, **faults), 2)
                self.assertEqual((figures["sent"], figures["expected"]), (190, 380))
                self.assertEqual((figures["missing"], figures["zero_loss"]), (missing, zero_loss))

    def test_cost_ratios_pair_the_layouts_of_each_round(self):
        runs = [{"round": 1, "layout": "own", "cpu_s_per_gb": 20.0},
                {"round": 1, "layout": "shared", "cpu_s_per_gb": 15.0},
                {"round": 2, "layout": "shared", "cpu_s_per_gb": 30.0},
                {"round": 2, "layout": "own", "cpu_s_per_gb": 20.0},
                {"round": 3, "layout": "own", "cpu_s_per_gb": 20.0},
                {"round": 3, "layout": "shared", "error": "failed"}]
        self.assertEqual(shared_port.round_ratios(runs), [0.75, 1.5])


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


if __name__ == "__main__":
    unittest.main()
