"""Checks of the harness arithmetic that decides benchmark figures."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import harness  # noqa: E402
import many_routes  # noqa: E402
import run_bench  # noqa: E402
import shared_port  # noqa: E402

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


class ManyRoutesFigures(unittest.TestCase):
    def test_switches_count_both_kinds_and_need_both_fields(self):
        status = "Name:\tconn:7\nvoluntary_ctxt_switches:\t120\nnonvoluntary_ctxt_switches:\t5\n"
        self.assertEqual(many_routes.switches_of(status), 125)
        self.assertIsNone(many_routes.switches_of("Name:\tconn:7\nvoluntary_ctxt_switches:\t1\n"))

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


if __name__ == "__main__":
    unittest.main()
