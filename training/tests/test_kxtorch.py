"""Training-time networks against the bit-exact emulation."""
import os
import sys
import unittest

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import kxemu  # noqa: E402

try:
    import torch
    import kxtorch
except ImportError:  # pragma: no cover
    torch = None


@unittest.skipIf(torch is None, "torch is not installed (apt-get install python3-torch)")
class QuantTest(unittest.TestCase):
    def setUp(self):
        torch.manual_seed(0)
        torch.set_num_threads(1)

    def test_table_functions_on_grid(self):
        xi = np.arange(-9000, 9000, 7)
        x = torch.tensor(xi / 1024.0, dtype=torch.float32)
        s = kxtorch.table_sigmoid(x).numpy() * 32768
        self.assertTrue(np.array_equal(np.round(s).astype(np.int64), kxemu.sigmoid_q15(xi)))
        t = kxtorch.table_tanh(x).numpy() * 32768
        self.assertTrue(np.array_equal(np.round(t).astype(np.int64), kxemu.tanh_q15(xi)))

    def test_straight_through_gradients(self):
        x = torch.linspace(-3, 3, 11, requires_grad=True)
        kxtorch.table_sigmoid(x).sum().backward()
        self.assertTrue(torch.all(x.grad > 0))
        w = torch.tensor([0.3, 2.0, -2.0], requires_grad=True)
        q = kxtorch.quant_weight(w)
        self.assertEqual(q.tolist(), [38 / 128, 127 / 128, -1.0])
        q.sum().backward()
        self.assertEqual(w.grad.tolist(), [1.0, 1.0, 1.0])

    def test_speaker_net_quant_forward_tracks_emulation(self):
        net = kxtorch.SpeakerNet(40, (16, 12), 8, 1e-3)
        net.quant = "exact"
        feats = np.random.default_rng(0).standard_normal((3, 30, 40)).astype(np.float32)
        with torch.no_grad():
            e = net(torch.from_numpy(feats)).numpy()
        fwd, bwd, proj = net.export_layers()
        ref = kxemu.SpeakerNet(fwd, bwd, proj, 1e-3).embed_features(feats)
        cos = (kxemu.l2norm(e) * kxemu.l2norm(ref)).sum(1)
        self.assertTrue(np.all(cos > 0.995), cos)

    def test_whole_sequence_cells_match_the_step_chain(self):
        # values and gradients of every parameter and input, float and on the Q10 grid
        feats = torch.from_numpy(np.random.default_rng(3).standard_normal((4, 13, 40)).astype(np.float32))
        weights = torch.linspace(-1, 1, 5)
        for quant in (False, True):
            net = kxtorch.SpeakerNet(40, (9, 7), 5)
            net.quant = quant
            got = []
            for fast in (False, True):
                net.fast = fast
                net.zero_grad()
                x = feats.clone().requires_grad_(True)
                e = net(x)
                (e * weights).sum().backward()
                got.append([e.detach(), x.grad] + [p.grad.clone() for p in net.parameters()])
            for a, b in zip(*got):
                rel = float((a - b).abs().max() / a.abs().max())
                self.assertLessEqual(rel, 1e-4, quant)

    def test_detector_quant_forward_tracks_emulation(self):
        det = kxtorch.Detector()
        det.quant = "exact"
        pcm = (np.random.default_rng(1).standard_normal(512 * 20) * 2000).astype(np.int16)
        q = kxemu.vad_features(pcm)
        st = kxemu.standardize(q.reshape(-1, 2, 40), kxemu.VAD_MEAN, kxemu.VAD_SCALE).reshape(1, -1, 80)
        with torch.no_grad():
            z = det(torch.from_numpy(st.astype(np.float32) / 1024.0))
            p = torch.softmax(z, -1)[0, :, 1].numpy()
        ref = kxemu.Detector(det.export()).probabilities(q[None])[0]
        self.assertLess(np.abs(p - ref).max(), 0.02)

    def test_training_quant_mode_stays_close(self):
        net = kxtorch.SpeakerNet(40, (16, 12), 8, 1e-3)
        feats = torch.from_numpy(np.random.default_rng(2).standard_normal((2, 30, 40)).astype(np.float32))
        with torch.no_grad():
            net.quant = "exact"
            a = torch.nn.functional.normalize(net(feats), dim=1)
            net.quant = True
            b = torch.nn.functional.normalize(net(feats), dim=1)
        self.assertTrue(torch.all((a * b).sum(1) > 0.99))

    def test_detector_int8_round_trip(self):
        det = kxtorch.Detector()
        w = det.export()
        other = kxtorch.Detector()
        other.load_int8(w)
        for k, v in other.export().items():
            self.assertTrue(np.array_equal(v, w[k]), k)

    def test_speaker_net_continues_from_a_model_file(self):
        import kxformat
        net = kxtorch.SpeakerNet(40, (6, 5), 4)
        fwd, bwd, proj = net.export_layers()
        m = kxformat.Model(8, 2, (0.1, 0.5, 0.9), 256, 1e-7, np.zeros(40), np.ones(40), 1e-3, fwd, bwd, proj)
        other = kxtorch.SpeakerNet(40, (6, 5), 4)
        other.load_model(kxformat.read_model(kxformat.model_bytes(m)))
        for a, b in zip(other.export_layers()[0] + other.export_layers()[1], fwd + bwd):
            self.assertTrue(np.array_equal(a[2], b[2]) and np.array_equal(a[3], b[3]))
        self.assertTrue(np.array_equal(other.export_layers()[2], proj))
        with self.assertRaises(ValueError):
            kxtorch.SpeakerNet(40, (6, 6), 4).load_model(m)

    def test_widened_network_keeps_the_narrow_ones_embedding(self):
        narrow = kxtorch.SpeakerNet(40, (6, 5), 4)
        wide = kxtorch.SpeakerNet(40, (9, 7), 4)
        wide.widen_from(narrow)
        x = torch.randn(3, 20, 40)
        for quant in (False, True):
            narrow.quant = wide.quant = quant
            self.assertTrue(torch.allclose(wide(x), narrow(x), rtol=1e-5, atol=1e-5), quant)
        with self.assertRaises(ValueError):
            kxtorch.SpeakerNet(40, (4, 7), 4).widen_from(narrow)
        with self.assertRaises(ValueError):
            kxtorch.SpeakerNet(40, (9,), 4).widen_from(narrow)

    def test_clip_keeps_int8_range(self):
        net = kxtorch.SpeakerNet(40, (4,), 4)
        with torch.no_grad():
            net.fwd[0].w.mul_(100)
            net.proj.mul_(100)
        kxtorch.clip_(net)
        self.assertLessEqual(net.fwd[0].w.max().item(), 127 / 128)
        self.assertGreaterEqual(net.fwd[0].w.min().item(), -1.0)
        self.assertGreater(net.proj.abs().max().item(), 1.0)   # float projection is free


if __name__ == "__main__":
    unittest.main()
