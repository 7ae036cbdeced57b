"""A few training steps of both trainers on tiny generated data."""
import json
import os
import subprocess
import sys
import tempfile
import unittest

import numpy as np
from scipy.io import wavfile

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, HERE)

try:
    import torch  # noqa: F401
except ImportError:  # pragma: no cover
    torch = None


def voice(f0, formants, seconds, rng):
    """Crude vowel-like buzz with pauses: a stand-in speaker."""
    n = int(seconds * 16000)
    t = np.arange(n) / 16000.0
    f = f0 * (1 + 0.05 * np.sin(2 * np.pi * 0.7 * t))
    src = np.sign(np.sin(2 * np.pi * np.cumsum(f) / 16000.0))
    from scipy import signal
    y = np.zeros(n)
    for fc in formants:
        b, a = signal.iirpeak(fc, 8, fs=16000)
        y += signal.lfilter(b, a, src)
    env = (np.sin(2 * np.pi * 1.3 * t + rng.uniform(0, 6)) > -0.3).astype(float)
    return (y / np.abs(y).max() * env * 12000).astype(np.int16)


def make_corpus(root):
    rng = np.random.default_rng(0)
    meta = {}
    specs = [("a", 110, (700, 1200), "train"), ("b", 180, (500, 1700), "train"),
             ("c", 140, (600, 2300), "train"), ("d", 220, (400, 900), "valid"),
             ("e", 100, (800, 1500), "valid"), ("f", 160, (300, 2000), "test"),
             ("g", 200, (650, 1100), "test")]
    for name, f0, fm, split in specs:
        d = os.path.join(root, "speech", name)
        os.makedirs(d)
        for i in range(3):
            wavfile.write(os.path.join(d, "%04d.wav" % i), 16000, voice(f0, fm, 4.0, rng))
        meta[name] = {"split": split, "group": name, "source": "generated", "clips": 3, "seconds": 12.0}
    json.dump(meta, open(os.path.join(root, "speakers.json"), "w"))
    for split in ("train", "test"):
        d = os.path.join(root, "noise", split)
        os.makedirs(d)
        wavfile.write(os.path.join(d, "0000.wav"), 16000,
                      (rng.standard_normal(16000 * 3) * 3000).astype(np.int16))


@unittest.skipIf(torch is None, "torch is not installed (apt-get install python3-torch)")
class SmokeTest(unittest.TestCase):
    def run_py(self, *args, code=0):
        r = subprocess.run([sys.executable] + list(args), capture_output=True, text=True, timeout=300)
        self.assertEqual(r.returncode, code, r.stdout[-2000:] + r.stderr[-3000:])
        return r.stdout

    def test_detector_and_speaker_training(self):
        import kxformat
        with tempfile.TemporaryDirectory() as d:
            corpus = os.path.join(d, "corpus")
            make_corpus(corpus)
            vad_out = os.path.join(d, "vad_weights.h")
            rep = os.path.join(d, "vad.json")
            self.run_py(os.path.join(HERE, "train_vad.py"), "--corpus", corpus, "--out", vad_out,
                        "--minutes", "0.03", "--sequences", "6", "--frames", "40", "--batch", "4",
                        "--test-sequences", "3", "--threads", "1", "--report", rep)
            w = kxformat.parse_vad_source(open(vad_out).read())
            self.assertEqual(w["l1_wx"].shape, (240, 80))
            m = json.load(open(rep))
            self.assertTrue(0.0 <= m["auc"] <= 1.0)

            kx = os.path.join(d, "model.kx")
            rep = os.path.join(d, "spk.json")
            self.run_py(os.path.join(HERE, "train_speaker.py"), "--corpus", corpus, "--out", kx,
                        "--minutes", "0.05", "--hidden", "8,8", "--emb", "8", "--batch", "4",
                        "--window-frames", "8", "--lookahead-frames", "2", "--variants", "1",
                        "--threads", "1", "--report", rep, "--vad-weights", vad_out, "--voice-threshold", "0",
                        "--checkpoint", os.path.join(d, "spk.pt"))
            model = kxformat.read_model(kx)
            self.assertEqual((model.window_frames, model.embedding_size, len(model.fwd)), (8, 8, 2))
            lo, mid, hi = model.thresholds
            self.assertTrue(lo < mid < hi)
            out = self.run_py(os.path.join(HERE, "evaluate.py"), "--model", kx, "--corpus", corpus,
                              "--vad-weights", vad_out, "--voice-threshold", "0", "--per-speaker", "2",
                              "--out", os.path.join(d, "eval"))
            self.assertIn("wide-band", out)
            if "no DET plot" not in out:
                self.assertTrue(os.path.exists(os.path.join(d, "eval", "det.png")))
            res = json.load(open(os.path.join(d, "eval", "results.json")))
            self.assertIn("eer", res["wide-band"])


def tiny_run(corpus, d, *extra):
    return [os.path.join(HERE, "train_speaker.py"), "--corpus", corpus, "--steps", "24", "--hidden", "8,8",
            "--emb", "8", "--batch", "8", "--window-frames", "8", "--lookahead-frames", "2", "--variants", "1",
            "--valid-every", "8", "--qat-fraction", "0.25", "--no-export", "--bank", os.path.join(d, "bank")] + list(extra)


@unittest.skipIf(torch is None, "torch is not installed (apt-get install python3-torch)")
class RunTest(unittest.TestCase):
    run_py = SmokeTest.run_py

    def test_resumed_run_equals_an_uninterrupted_one(self):
        with tempfile.TemporaryDirectory() as d:
            corpus = os.path.join(d, "corpus")
            make_corpus(corpus)
            whole, parts = os.path.join(d, "whole.pt"), os.path.join(d, "parts.pt")
            # in pairs, which the two workers' shares must keep whole
            pairs = ("--workers", "2", "--consistency", "1")
            self.run_py(*tiny_run(corpus, d, "--checkpoint", whole, *pairs))
            out = self.run_py(*tiny_run(corpus, d, "--checkpoint", parts, *pairs, "--stop-step", "9"), code=75)
            self.assertIn("stopped at step 9 of 24", out)
            self.assertEqual(torch.load(parts)["run"]["step"], 9)
            self.run_py(os.path.join(HERE, "train_speaker.py"), "--resume", "--checkpoint", parts)
            a, b = torch.load(whole), torch.load(parts)
            self.assertEqual(b["run"]["step"], 24)
            self.assertEqual(a["run"]["history"], b["run"]["history"])
            for part in ("model", "head"):
                for k in a[part]:
                    self.assertTrue(torch.equal(a[part][k], b[part][k]), k)

    def test_fast_cells_train_like_the_reference(self):
        with tempfile.TemporaryDirectory() as d:
            corpus = os.path.join(d, "corpus")
            make_corpus(corpus)
            losses = []
            for extra in ((), ("--reference-cells",)):
                ck = os.path.join(d, "r%d.pt" % len(extra))
                out = self.run_py(*tiny_run(corpus, d, "--checkpoint", ck, "--workers", "1", "--steps", "60",
                                            "--lr", "1e-2", *extra))
                losses.append([float(l.split(" loss ")[1].split()[0]) for l in out.splitlines() if " loss " in l])
            fast, ref = np.array(losses[0]), np.array(losses[1])
            self.assertEqual(len(fast), 6)
            self.assertLess(fast[-1], 0.75 * fast[:2].min())
            np.testing.assert_allclose(fast, ref, rtol=1e-3)


@unittest.skipIf(torch is None, "torch is not installed (apt-get install python3-torch)")
class ClassesTest(unittest.TestCase):
    def test_speaker_shorter_than_a_window_gives_no_class(self):
        import kxtrain
        import train_speaker
        rng = np.random.default_rng(0)
        spk = {"long": [voice(120, (700, 1200), 3.0, rng)], "short": [voice(200, (500, 1700), 0.5, rng)]}
        classes, names = train_speaker.build_classes(spk, [], 0, 256, 1e-7, 2, (1.0, 1.1), 600.0, 48)
        self.assertEqual(names, ["long@1.00", "long@1.10"])
        with tempfile.TemporaryDirectory() as d:
            # a class whose only segment is shorter than a window is never drawn
            short = [[np.zeros((10, 40), np.float32)]]
            bank = kxtrain.FeatureBank.write(os.path.join(d, "b"), "k", classes[:1] + short, ["long", "short"])
            starts, labels = kxtrain.WindowSampler(bank, 48, 0).draw(16)
            self.assertEqual(set(labels.tolist()), {0})
            self.assertEqual(bank.windows(starts, 48).shape, (16, 48, 40))
            with self.assertRaises(ValueError):
                kxtrain.WindowSampler(bank, 400, 0)

    def test_pairs_are_one_window_in_two_variants(self):
        import kxtrain
        # rows hold (variant, row in the variant): a pair must agree on the second
        def variant(v, n):
            return np.column_stack([np.full(n, v), np.arange(n), np.zeros((n, 38))]).astype(np.float32)
        three = [variant(v, 70) for v in range(3)]
        one = [variant(9, 60)]
        with tempfile.TemporaryDirectory() as d:
            bank = kxtrain.FeatureBank.write(os.path.join(d, "b"), "k", [three, one], ["three", "one"])
            starts, labels = kxtrain.WindowSampler(bank, 48, 0).draw_pairs(200)
            w = bank.windows(starts, 48)
            self.assertEqual(labels.tolist()[0::2], labels.tolist()[1::2])
            np.testing.assert_array_equal(w[0::2, :, 1], w[1::2, :, 1])
            variants = w[:, 0, 0]
            three_pairs = labels[0::2] == 0
            self.assertTrue((variants[0::2][three_pairs] != variants[1::2][three_pairs]).all())
            self.assertEqual(set(variants[0::2][~three_pairs]), {9})


if __name__ == "__main__":
    unittest.main()
