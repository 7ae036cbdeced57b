"""Scoring of the who-spoke-when benchmark."""
import os
import sys
import unittest

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import bench_meetings as bm  # noqa: E402

REF = [(0.0, 4.0, "a"), (4.3, 8.0, "b"), (8.3, 10.0, "a")]
NAMED = {"a", "b", "c"}


class MeetingScoreTest(unittest.TestCase):
    def test_perfect_and_wrong_labels(self):
        r = bm.score(REF, REF, 10.0, NAMED)
        self.assertAlmostEqual(r["right"], 1.0)
        self.assertAlmostEqual(r["der"], 0.0)
        # a profile that is not the talker is confusion, never mapped; silence is missed
        hyp = [(0.0, 4.0, "c"), (4.3, 8.0, "b"), (8.3, 10.0, bm.NO_SPEECH)]
        r = bm.score(REF, hyp, 10.0, NAMED)
        self.assertAlmostEqual(r["confusion"], 4.0 / 9.4, places=2)
        self.assertAlmostEqual(r["missed"], 1.7 / 9.4, places=2)
        self.assertAlmostEqual(r["right"], 3.7 / 9.4, places=2)

    def test_anonymous_labels_map_one_to_one(self):
        hyp = [(0.0, 4.0, "speaker_2"), (4.0, 8.3, "speaker_1"), (8.3, 10.0, "speaker_2")]
        r = bm.score(REF, hyp, 10.0, NAMED)
        self.assertAlmostEqual(r["right"], 1.0)
        self.assertAlmostEqual(r["false_alarm"], 0.6 / 9.4, places=2)   # both pauses labelled
        # one anonymous label cannot stand for two talkers
        r = bm.score(REF, [(0.0, 10.0, "speaker_1")], 10.0, NAMED)
        self.assertAlmostEqual(r["right"], 5.7 / 9.4, places=2)

    def test_boundaries(self):
        hyp = [(0.0, 4.5, "a"), (4.5, 7.0, "b"), (7.0, 10.0, "a")]
        errs = bm.boundary_errors(REF, hyp)
        np.testing.assert_allclose(errs, [0.35, 1.15])
        self.assertEqual(bm.boundary_errors(REF, [(0.0, 10.0, "a")]), [float("inf")] * 2)
        self.assertEqual(bm.turn_changes([(0, 1, "a"), (1, 2, bm.NO_SPEECH), (2, 3, "a")]), [])


if __name__ == "__main__":
    unittest.main()
