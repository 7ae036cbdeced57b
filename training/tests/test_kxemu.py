"""Fixed-point operators and front ends of the emulation."""
import os
import sys
import unittest

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import kxemu as k  # noqa: E402


class TablesTest(unittest.TestCase):
    def test_sigmoid_table_points(self):
        t = k.SIGMOID_TABLE
        self.assertEqual([t[0], t[1], t[2], t[127], t[128], t[255], t[256]],
                         [16384, 16895, 17406, 32755, 11, 15872, 16384])

    def test_softmax_tables(self):
        self.assertEqual(list(k.SOFTMAX_FINE[[0, 1, 2, 127]]), [2147483647, 2145387519, 2143293436, 1896999301])
        self.assertEqual(list(k.SOFTMAX_COARSE[[0, 1, 127]]), [2147483647, 1895147667, 274])

    def test_front_end_tables(self):
        self.assertEqual(k.LOG10_Q10_TABLE[0], -617)
        self.assertEqual(k.LOG10_Q10_TABLE[512], -308)
        self.assertEqual(k.FFT_SIN[64], np.float32(0.7071068))
        self.assertEqual(k.FFT_SIN[128], np.float32(1.0))
        self.assertEqual(list(2 * k.FFT_REV[:6]), [0, 256, 128, 384, 64, 320])
        self.assertEqual(k.MEL_EDGES[-1], 257)


class CellTest(unittest.TestCase):
    def test_sigmoid_and_tanh(self):
        self.assertEqual(list(k.sigmoid_q15([0, 8128, 9000, -8192, -1])), [16384, 32755, 32755, 11, 16376])
        self.assertEqual(list(k.tanh_q15([0, 4064, 20000])), [0, 32742, 32742])
        s = k.sigmoid_q15(np.arange(-9000, 9000))
        self.assertTrue(np.all(np.diff(s) >= 0))
        self.assertTrue(s.min() >= 11 and s.max() <= 32755)

    def test_cell_rounding_and_saturation(self):
        h, c = k.lstm_cell(np.zeros((1, 3), np.int64), np.array([[1024]]))
        self.assertEqual(c[0, 0], 512)
        h, c = k.lstm_cell(np.zeros((1, 3), np.int64), np.array([[0]]))
        self.assertEqual((h[0, 0], c[0, 0]), (0, 0))
        # input gate fully open and candidate +1 on a cell near the top
        g = np.array([[8128, 8128, 8128]])
        h, c = k.lstm_cell(g, np.array([[32767]]))
        self.assertLessEqual(c[0, 0], 32767)
        self.assertLessEqual(abs(h[0, 0]), 1023)


class LinearTest(unittest.TestCase):
    def test_linear_examples(self):
        self.assertEqual(k.linear(np.array([1024]), np.array([[64]]), np.array([0]))[0], 512)
        self.assertEqual(k.linear(np.array([0]), np.array([[0]]), np.array([1]))[0], 8)
        x = np.full(80, 32767)
        y = k.linear(x, np.full((3, 80), 127), np.zeros(3, np.int64))
        self.assertTrue(np.all(y == 32767))
        y = k.linear(x, np.full((3, 80), -128), np.zeros(3, np.int64))
        self.assertTrue(np.all(y == -32768))

    def test_accumulate_rounds_before_adding(self):
        self.assertEqual(k.linear_accumulate(np.array([32000]), np.array([1000 * 128 // 64]),
                                             np.array([[64]]), np.array([0]))[0], 32767)
        # product of 0.5 LSB alone rounds up to 1 and then adds
        self.assertEqual(k.linear_accumulate(np.array([5]), np.array([1]), np.array([[64]]),
                                             np.array([0]))[0], 6)

    def test_standardize_and_pool(self):
        self.assertEqual(k.standardize(50, 100, 2048), -100)
        self.assertEqual(k.sum_pool(np.full((3, 2), 1024))[0], 3.0)


class SoftmaxNormalizeTest(unittest.TestCase):
    def test_softmax_examples(self):
        r = k.softmax_q31(np.array([[0, 0], [1024, 0], [0, -20000]]))
        self.assertEqual(r.tolist(), [[1073741824, 1073741824], [1569936343, 577547305], [2147483406, 242]])
        self.assertEqual(int(k.softmax_q31(np.array([[5]]))[0, 0]), 2147483645)
        self.assertEqual(k.softmax_q31(np.array([[32767, -32768]]))[0, 1], 242)

    def test_normalize_quantize(self):
        x = np.full((10, 2), 3.5, np.float32)
        self.assertTrue(np.all(k.normalize_quantize(x, 1e-3) == 0))
        x = np.random.default_rng(0).standard_normal((50, 3)).astype(np.float32)
        q = k.normalize_quantize(x, 1e-6)
        self.assertLess(abs(q.mean()), 30)
        self.assertTrue(np.allclose(q.std(0) / 1024.0, 1.0, atol=0.01))
        qb = k.normalize_quantize_batch(x[None], 1e-6)[0]
        self.assertTrue(np.array_equal(q, qb))
        # truncation toward zero
        y = np.array([[0.0], [0.0]], np.float32)
        self.assertTrue(np.all(k.normalize_quantize(y, 1.0) == 0))


class FrontEndTest(unittest.TestCase):
    def test_fft_reference_inputs(self):
        x = np.zeros(512, np.float32)
        x[0] = 1
        re, im = k.rfft512(x)
        self.assertAlmostEqual(float(re[0]), 1 / 512, places=7)
        self.assertAlmostEqual(float(re[256]), 1 / 512, places=7)
        self.assertTrue(np.allclose(re[1:256], 1 / 256, atol=1e-7))
        re, im = k.rfft512(np.ones(512, np.float32))
        self.assertAlmostEqual(float(re[0]), 1.0, places=6)
        self.assertLess(np.abs(re[1:]).max() + np.abs(im).max(), 1e-5)
        re, _ = k.rfft512(np.tile(np.array([1, -1], np.float32), 256))
        self.assertAlmostEqual(float(re[256]), 1.0, places=6)
        n = np.arange(512)
        re, im = k.rfft512(np.cos(2 * np.pi * 10 * n / 512).astype(np.float32))
        mag = np.sqrt(re ** 2 + im ** 2)
        self.assertAlmostEqual(float(mag[10]), 1.0, places=5)
        self.assertLess(np.delete(mag, 10).max(), 1e-4)
        self.assertEqual(float(im[0]), 0.0)

    def test_fft_matches_numpy(self):
        x = np.random.default_rng(1).standard_normal((4, 512)).astype(np.float32)
        re, im = k.rfft512(x)
        ref = np.fft.rfft(x.astype(np.float64), axis=-1)
        ref[:, 1:256] /= 256
        ref[:, [0, 256]] /= 512
        self.assertLess(np.abs(re - ref.real).max(), 1e-5)
        self.assertLess(np.abs(im - ref.imag).max(), 1e-5)

    def test_log10_q10(self):
        r = k.log10_q10(np.array([1.0, 1 / 2 ** 33, 0.0, 1e12, 2.0 ** 29], np.float32))
        self.assertEqual(r.tolist(), [-9241, -19405, -32768, 0, -309])
        e = np.float32(2.0) ** np.arange(-33, 29, dtype=np.float32)
        r = k.log10_q10(e)
        self.assertTrue(np.all(np.diff(r) >= 307))
        # close to the real logarithm
        e = np.exp(np.random.default_rng(2).uniform(-20, 19, 200)).astype(np.float32)
        g = np.trunc(e * np.float32(2 ** 33)).astype(np.float64)
        ref = 1024 * np.log10(g / 2 ** 63)
        # an octave counts 308 instead of 308.25: the error grows by 1/4 per octave below 2^62
        octaves = 62 - np.floor(np.log2(g))
        self.assertTrue(np.all(np.abs(k.log10_q10(e) - ref) <= 1.0 + 0.26 * octaves))

    def test_mel_band_weights(self):
        p = np.ones(257, np.float32)
        e = k.mel_energies(p)
        # each triangle sums to about its half-widths
        widths = (k.MEL_EDGES[2:] - k.MEL_EDGES[:-2]) / 2.0
        self.assertTrue(np.allclose(e, widths, rtol=0.05, atol=0.6))
        p = np.zeros(257, np.float32)
        p[256] = 1
        # the last band reaches bin 256 with its last, small falling weight
        self.assertAlmostEqual(float(k.mel_energies(p)[39]), 1 - 16 / 17.0, places=5)
        self.assertEqual(float(k.mel_energies(p)[38]), 0.0)

    def test_silence(self):
        self.assertTrue(np.all(k.vad_features(np.zeros(2048, np.int16)) == -32768))
        mean = np.linspace(-5, -3, 40).astype(np.float32)
        std = np.linspace(1, 2, 40).astype(np.float32)
        f = k.embedding_features(np.zeros(4096, np.int16), 256, 1e-7, mean, std)
        self.assertEqual(f.shape, (16, 40))
        want = (np.log10(np.float32(1e-7)) - mean) / std
        self.assertTrue(np.allclose(f, want, atol=1e-6))

    def test_window_and_first_frame(self):
        w = k.hann_window()
        self.assertTrue(np.array_equal(w, w[::-1]))
        self.assertEqual((w[0], w[511]), (0.0, 0.0))
        pcm = (np.random.default_rng(3).standard_normal(1024) * 1000).astype(np.int16)
        fr = k.frontend_frames(pcm, 256)
        self.assertTrue(np.all(fr[0, :256] == 0))
        self.assertTrue(np.array_equal(fr, k.frontend_frames(pcm, 256)))

    def test_vad_features_stream_state(self):
        pcm = (np.random.default_rng(4).standard_normal(4096) * 3000).astype(np.int16)
        a = k.vad_features(pcm)
        b = k.vad_features(pcm[:2048])
        self.assertEqual(a.shape, (8, 80))
        self.assertTrue(np.array_equal(a[:4], b))
        self.assertTrue(np.all((a >= -19405) & (a <= 0)))


class SelectorTest(unittest.TestCase):
    def test_threshold_zero_without_lookahead(self):
        self.assertEqual(k.select_windows(np.zeros(12), 3, 0, 0.0)[:4], [2, 5, 8, 11])

    def test_flush(self):
        self.assertEqual(k.select_windows(np.ones(2), 3, 2, 0.5), [])
        self.assertEqual(k.select_windows(np.ones(3), 3, 1, 0.5), [2])
        self.assertEqual(k.select_windows(np.array([0, 0, 0, 1, 1, 1.0]), 3, 5, 0.5), [])

    def test_lookahead_slides_to_peak(self):
        p = np.array([0.6, 0.6, 0.6, 0.9, 0.9, 0.9, 0.0, 0.0, 0.0])
        self.assertEqual(k.select_windows(p, 3, 3, 0.5)[0], 5)

    def test_score_map(self):
        t = (0.1, 0.4, 0.8)
        self.assertEqual([k.score_map(s, t) for s in (0.1, 0.4, 0.8, 0.9, 0.0)], [0.0, 0.5, 1.0, 1.0, 0.0])
        self.assertAlmostEqual(k.score_map(0.25, t), 0.25, places=6)


class NetworkTest(unittest.TestCase):
    def test_speaker_net_shapes_and_saturating_sum(self):
        rng = np.random.default_rng(5)

        def layer(H, I):
            return (H, I, rng.integers(-128, 128, (3 * H, H + I)).astype(np.int8),
                    rng.integers(-128, 128, 3 * H).astype(np.int8))
        net = k.SpeakerNet([layer(8, 40), layer(6, 8)], [layer(8, 40), layer(6, 8)],
                           rng.standard_normal((5, 6)).astype(np.float32), 1e-3)
        f = rng.standard_normal((3, 20, 40)).astype(np.float32)
        e = net.embed_features(f)
        self.assertEqual(e.shape, (3, 5))
        e1 = net.embed_features(f[1:2])
        self.assertTrue(np.array_equal(e[1:2], e1))

    def test_detector_zero_weights(self):
        w = {key: np.zeros(shape, np.int8) for key, _, _, shape in __import__("kxformat").VAD_ARRAYS}
        det = k.Detector(w)
        p = det.probabilities(np.full((1, 3, 80), -9000, np.int64))
        # the fixed output bias alone: softmax of (1016, -1024)
        want = k.softmax_q31(np.array([[1016, -1024]]))[0, 1] * 4.656613e-10
        self.assertTrue(np.allclose(p, want))


if __name__ == "__main__":
    unittest.main()
