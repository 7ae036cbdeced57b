"""Score-threshold calibration and trial bookkeeping of the evaluator."""
import os
import sys
import unittest

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import evaluate  # noqa: E402


class ThresholdTest(unittest.TestCase):
    def test_each_source_weighs_the_same_and_impostors_do_not_saturate(self):
        rng = np.random.default_rng(0)
        # a large source whose equal-error point is 0.6 and a small one at 0.3
        big_t, big_n = rng.normal(0.8, 0.1, 4000), rng.normal(0.4, 0.1, 40000)
        small_t, small_n = rng.normal(0.5, 0.1, 100), rng.normal(0.1, 0.1, 1000)
        tgt, non = np.concatenate([big_t, small_t]), np.concatenate([big_n, small_n])
        tg = ["big"] * 4000 + ["small"] * 100
        ng = ["big"] * 40000 + ["small"] * 1000
        pooled = evaluate.thresholds(tgt, non)
        low, mid, high = evaluate.thresholds(tgt, non, tg, ng)
        self.assertAlmostEqual(pooled[1], 0.6, delta=0.03)      # the big source decides alone
        self.assertAlmostEqual(mid, 0.45, delta=0.05)           # both decide
        self.assertGreater(high, non.max())
        self.assertLess(low, mid)
        # about 1 % of the (weighted) targets fall below low
        w = np.where(np.array(tg) == "big", 0.5 / 4000, 0.5 / 100)
        self.assertAlmostEqual(w[tgt < low].sum(), 0.01, delta=0.005)

    def test_summary_rates_at_the_mid_threshold(self):
        tgt = np.array([0.2, 0.6, 0.7, 0.9])
        non = np.array([0.1, 0.3, 0.55, 0.95])
        r = evaluate.summary(tgt, non, mid=0.5, high=0.9)
        self.assertEqual((r["frr_at_half"], r["far_at_half"], r["saturated_nontargets"]), (0.25, 0.5, 0.25))
        self.assertEqual(r["eer"], 0.25)

    def test_identification_among_fewer_speakers_scores_each_set_alone(self):
        # 60 speakers; every segment scores 0.5 against its own profile and 0.9 against
        # speaker 0's, so only sets without speaker 0 identify (almost) everything
        best = []
        for spk in range(60):
            sc = np.zeros(60)
            sc[spk], sc[0] = 0.5, 0.9
            best.append((spk, sc))
        among = evaluate.identification(best, 60, k=50, draws=4000)
        self.assertAlmostEqual(among, 10 / 60 + 50 / 60 / 50, delta=0.03)
        self.assertIsNone(evaluate.identification(best, 40, k=50))


class FairTest(unittest.TestCase):
    """A segment without a window is no match, for the fair measure and its bootstrap."""

    class Backend:
        def enroll(self, pcms):
            return [np.ones(2) for _ in pcms]

        def score(self, pcms, profiles):
            # pcm[0] names the speaker; a negative one has no window
            return [None if p[0] < 0 else np.where(np.arange(2) == p[0], 0.9, 0.1) for p in pcms]

    def test_a_segment_without_a_window_is_a_rejected_genuine_trial(self):
        enroll = {"a": None, "b": None}
        tests = [("a", [0]), ("a", [0]), ("b", [1]), ("b", [-1])]
        r = evaluate.score_trials(self.Backend(), enroll, tests)
        self.assertEqual((r["missing"], len(r["tgt"]), len(r["trials"])), (1, 3, 8))
        self.assertEqual(evaluate.eer(r["tgt"], r["non"])[0], 0.0)
        f = evaluate.fair(r["trials"], lambda spk: "src")
        self.assertEqual(f["eer"], 0.125)   # one of four genuine trials rejected, no impostor let in
        self.assertEqual(f["by_source"]["src"]["eer"], 0.125)

    def test_bootstrap_of_equal_and_better_runs(self):
        import compare_eval
        rng = np.random.default_rng(1)
        speakers = np.repeat(["s%d" % i for i in range(20)], 30)
        target = np.tile(np.arange(30) < 3, 20)
        noisy = np.where(target, 0.6, 0.4) + rng.normal(0, 0.15, len(target))
        run = lambda score: {"wide-band": {"speaker": list(speakers), "source": ["src"] * len(target),
                                           "target": list(target), "score": list(score)}}
        same = compare_eval.bootstrap(run(noisy), run(noisy), draws=50)
        self.assertIn("| all | 20 | ", same[-1])
        self.assertTrue(same[-1].endswith("| +0.0 … +0.0 | 0 % |"), same[-1])
        better = compare_eval.bootstrap(run(noisy), run(np.where(target, 0.9, 0.1)), draws=50)
        self.assertTrue(better[-1].endswith(" | 0 % |") and "| 0.0 |" in better[-1], better[-1])


if __name__ == "__main__":
    unittest.main()
