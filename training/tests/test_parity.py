"""Exported models through the built library against the emulation."""
import os
import sys
import tempfile
import unittest

import numpy as np

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import kxformat  # noqa: E402
import evaluate  # noqa: E402

# embeddings agree to float rounding: log10f/cos of the platform maths library
# against numpy can move a per-window normalised value across a Q10 step
TOLERANCE = 1e-3


def _library_problem():
    why = evaluate.library_problem()
    if why is None:
        sys.path.insert(0, os.path.join(ROOT, "python"))
    return why


PROBLEM = _library_problem()


def speechlike(seconds, seed):
    """Buzz bursts with pauses, so that the detector's choices matter."""
    rng = np.random.default_rng(seed)
    n = int(seconds * 16000)
    t = np.arange(n) / 16000.0
    f0 = 120 + 40 * np.sin(2 * np.pi * 0.5 * t)
    x = np.sign(np.sin(2 * np.pi * np.cumsum(f0) / 16000.0)) * 6000
    env = (np.sin(2 * np.pi * 0.8 * t + seed) > 0).astype(float)
    return (x * env + rng.standard_normal(n) * 300).astype(np.int16)


@unittest.skipIf(PROBLEM is not None, "library not loadable: %s" % PROBLEM)
class ParityTest(unittest.TestCase):
    def model(self, path):
        rng = np.random.default_rng(0)

        def layer(H, I):
            return (H, I, rng.integers(-60, 60, (3 * H, H + I)).astype(np.int8),
                    rng.integers(-60, 60, 3 * H).astype(np.int8))
        m = kxformat.Model(8, 2, (-2.0, 0.0, 2.0), 256, 1e-7, rng.uniform(-6, -3, 40), rng.uniform(0.5, 2, 40),
                           1e-3, [layer(16, 40), layer(12, 16)], [layer(16, 40), layer(12, 16)],
                           rng.standard_normal((10, 12)).astype(np.float32))
        kxformat.write_model(path, m)
        return m

    def check(self, model, path, threshold):
        lib = evaluate.Library(model, path, threshold)
        emu = evaluate.make_backend(model, path, threshold)
        clips = [speechlike(4.0, 1), speechlike(3.0, 2)]
        pa, pb = lib.enroll(clips), emu.enroll(clips)
        for a, b in zip(pa, pb):
            self.assertEqual(a is None, b is None)
            if a is not None:
                self.assertLess(np.abs(a - b).max(), TOLERANCE)
        kept = [p for p in pb if p is not None]
        if not kept:   # the detector heard no speech in either: nothing more to compare
            return
        prof = np.stack(kept)
        sa, sb = lib.score(clips, prof), emu.score(clips, prof)
        for a, b in zip(sa, sb):
            self.assertEqual(a is None, b is None)
            if a is not None:
                self.assertLess(np.abs(a - b).max(), 4 * TOLERANCE)

    def test_speaker_network_every_window(self):
        with tempfile.TemporaryDirectory() as d:
            p = os.path.join(d, "m.kx")
            self.check(self.model(p), p, 0.0)

    def test_detector_choices(self):
        # a mid threshold makes the chosen windows depend on the detector's output
        with tempfile.TemporaryDirectory() as d:
            p = os.path.join(d, "m.kx")
            self.check(self.model(p), p, 0.5)

    def test_default_model(self):
        p = os.path.join(ROOT, "models", "default.kx")
        if not os.path.exists(p):
            self.skipTest("no default model yet")
        self.check(kxformat.read_model(p), p, 0.5)


if __name__ == "__main__":
    unittest.main()
