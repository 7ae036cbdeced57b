"""The within-speaker whitening folded into the projection."""
import os
import sys
import unittest

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import whiten  # noqa: E402


def unit(x):
    return x / np.linalg.norm(x, axis=-1, keepdims=True)


class WhiteningTest(unittest.TestCase):
    def test_band_no_longer_decides_and_the_shared_direction_is_gone(self):
        rng = np.random.default_rng(1)
        R, speakers, per = 16, 60, 20
        shared, band = np.zeros(R), np.zeros(R)
        shared[0], band[1] = 1.5, 4.0
        voice = rng.normal(0, 0.4, (speakers, R))
        voice[:, :2] = 0
        emb, ids, bands = [], [], []
        for s in range(speakers):
            for k in range(per):
                b = k % 2   # half of each speaker's windows through the "telephone"
                emb.append(shared + voice[s] + b * band + rng.normal(0, 0.2, R))
                ids.append(s)
                bands.append(b)
        emb, ids, bands = unit(np.array(emb)), np.array(ids), np.array(bands)
        A = whiten.whitening(emb, ids, lam=1.0)

        def cross_band_genuine_and_same_band_impostor(x):
            x = unit(x)
            m = {(s, b): x[(ids == s) & (bands == b)].mean(0) for s in range(speakers) for b in (0, 1)}
            genuine = [m[s, 0] @ m[s, 1] for s in range(speakers)]
            impostor = [m[s, 0] @ m[(s + 1) % speakers, 0] for s in range(speakers)]
            return np.median(genuine), np.median(impostor)

        g, i = cross_band_genuine_and_same_band_impostor(emb)
        self.assertLess(g, i)      # as recorded, the band says more than the voice
        g, i = cross_band_genuine_and_same_band_impostor(emb @ A.T)
        self.assertGreater(g, i + 0.3)
        mean = unit(emb.mean(0))
        self.assertLess(np.linalg.norm(A @ mean), 1e-6 * np.linalg.norm(A))


if __name__ == "__main__":
    unittest.main()
