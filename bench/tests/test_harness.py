"""Checks of the harness arithmetic that decides benchmark figures and soak stretches."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import harness  # noqa: E402
import many_routes  # noqa: E402
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


class ManyRoutesFigures(unittest.TestCase):
    def test_switches_count_both_kinds_and_need_both_fields(self):
        status = "Name:\tconn:7\nvoluntary_ctxt_switches:\t120\nnonvoluntary_ctxt_switches:\t5\n"
        self.assertEqual(many_routes.switches_of(status), 125)
        self.assertIsNone(many_routes.switches_of("Name:\tconn:7\nvoluntary_ctxt_switches:\t1\n"))

    def test_only_threads_outside_the_library_and_the_loop_are_flagged(self):
        before = {"1": ("mirevo", 0), "2": ("SRT:RcvQ", 0), "3": ("loop", 0), "4": ("conn:12", 0),
                  "5": ("conn:13", 0), "6": ("accept", 0), "8": ("xmit:1", 0), "9": ("xmit:2", 0),
                  "10": ("SRT:TsbPd", 0), "11": ("SRT:TsbPd", 0)}
        after = {"1": ("mirevo", 20), "2": ("SRT:RcvQ", 4000), "3": ("loop", 10000),
                 "4": ("conn:12", 300), "5": ("conn:13", 100), "6": ("accept", 202),
                 "7": ("conn:14", 9000),  # started in the window: not read
                 "8": ("xmit:1", 120), "9": ("xmit:2", 120),  # under the limit alone only
                 "10": ("SRT:TsbPd", 120), "11": ("SRT:TsbPd", 120)}
        figures = many_routes.wake_figures(before, after, 2.0)
        self.assertEqual([(f["thread"], f["wakes_per_s"]) for f in figures["flagged"]],
                         [("2 conn threads together", 200.0), ("conn:12", 150.0),
                          ("2 xmit threads together", 120.0), ("accept", 101.0)])
        conn = next(g for g in figures["groups"] if g["group"] == "conn")
        self.assertEqual((conn["threads"], conn["wakes_per_s"], conn["busiest_per_s"]),
                         (2, 200.0, 150.0))
        self.assertEqual(figures["groups"][0]["group"], "loop")

    @staticmethod
    def runs(case, relay_costs, bare_costs, relay_p99=100.0, missing=(0, 0, 0)):
        """Three rounds of case, the relay's and the reference's; a cost of None is a failed
        run."""
        reference = many_routes.REFERENCE["route" if case in many_routes.ROUTE_CASES else "one"]
        made = []
        for n, (mine, theirs, lost) in enumerate(zip(relay_costs, bare_costs, missing), 1):
            for relay, cost, p99, gone in (("mirevo", mine, relay_p99, lost),
                                           (reference, theirs, 100.0, 0)):
                run = {"case": case, "relay": relay, "round": n}
                if cost is None:
                    run["error"] = "failed"
                else:
                    run.update(cpu_s_per_gb=cost, p99_ms=p99, missing=gone, lost=0,
                               delivered_ratio=1 - gone / 1000)
                made.append(run)
        return made

    def test_each_case_is_judged_against_its_reference_round_by_round(self):
        cases = [  # (case, relay costs, reference costs, relay p99, missing, ratios, verdicts)
            ("300x1", (12, 11, 13), (10, 10, 10), 129.0, (0, 0, 0), [1.2, 1.1, 1.3],
             {"ratio": "met", "whole": "met", "p99": "met"}),
            ("300x1", (12, 11, 13), (10, 10, 10), 131.0, (0, 3, 0), [1.2, 1.1, 1.3],
             {"ratio": "met", "whole": "missed", "p99": "missed"}),
            # Only rounds with both sides count for the ratio; a failed run is not whole.
            ("1000x1", (14, 20, None), (10, None, 10), 100.0, (0, 0, 0), [1.4],
             {"ratio": "missed", "whole": "missed"}),
            ("1000x0.3", (11, 11, 11), (10, 10, 10), 100.0, (1, 1, 0), [1.1, 1.1, 1.1],
             {"ratio": "met", "loss": "missed"}),
        ]
        for case, mine, theirs, p99, missing, ratios, verdicts in cases:
            with self.subTest(case=case, mine=mine, p99=p99, missing=missing):
                summary = many_routes.case_summary(self.runs(case, mine, theirs, p99, missing),
                                                   case)
                self.assertEqual([round(r, 6) for r in summary["ratios"]], ratios)
                self.assertEqual({name: verdict for name, (_, verdict)
                                  in summary["goals"].items()}, verdicts)


class TrafficWindow(unittest.TestCase):
    # (time, (relay CPU s, machine busy s, machine all s, load tool CPU s)) every second.
    SAMPLES = [(10.0, (0.0, 0.0, 0.0, 0.0)), (11.0, (2.0, 2.0, 2.0, 0.0)),
               (12.0, (2.5, 3.0, 4.0, 0.5)), (13.0, (3.0, 4.0, 6.0, 1.0))]

    def test_readings_are_interpolated_and_held_outside_the_samples(self):
        cases = [(9.0, (0.0, 0.0, 0.0, 0.0)), (10.5, (1.0, 1.0, 1.0, 0.0)),
                 (12.5, (2.75, 3.5, 5.0, 0.75)), (20.0, (3.0, 4.0, 6.0, 1.0))]
        for when, reading in cases:
            with self.subTest(when=when):
                self.assertEqual(harness.value_at(self.SAMPLES, when), reading)

    def test_cost_counts_from_the_first_message_and_the_set_up_apart(self):
        gen = {"connections": [{"start_ms": 11000.0}, {"start_ms": 11000.0}]}
        usage = shared_port.traffic_usage(self.SAMPLES, gen)
        self.assertEqual((usage["cpu_s"], usage["publish_setup_s"], usage["publish_setup_cpu_s"]),
                         (1.0, 1.0, 2.0))
        self.assertEqual(usage["cores"]["load_tool"], 1.0 / (4.0 / os.cpu_count()))
        # A generator that reached no stream: the whole span counts.
        self.assertEqual(shared_port.traffic_usage(self.SAMPLES, {"connections": []})["cpu_s"], 3.0)


if __name__ == "__main__":
    unittest.main()
