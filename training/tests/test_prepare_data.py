"""Corpus preparation on a fresh checkout and the raw-clip sources."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from unittest import mock

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import kxdata  # noqa: E402
import prepare_data  # noqa: E402


def build_deb(root, name):
    """A minimal package holding one file, built offline with dpkg-deb."""
    src = os.path.join(root, "src")
    os.makedirs(os.path.join(src, "DEBIAN"))
    os.makedirs(os.path.join(src, "usr", "share", name))
    with open(os.path.join(src, "DEBIAN", "control"), "w") as fh:
        fh.write("Package: %s\nVersion: 1.0\nArchitecture: all\nMaintainer: t <t@t>\nDescription: t\n" % name)
    with open(os.path.join(src, "usr", "share", name, "clip.raw"), "wb") as fh:
        fh.write(b"\x80" * 100)
    out = os.path.join(root, "%s_1.0_all.deb" % name)
    subprocess.run(["dpkg-deb", "-b", src, out], check=True, capture_output=True)
    return out


@unittest.skipIf(shutil.which("dpkg-deb") is None, "dpkg-deb missing")
class FetchTest(unittest.TestCase):
    def test_unpacks_into_a_fresh_data_directory(self):
        with tempfile.TemporaryDirectory() as d:
            deb = build_deb(d, "kxtestpkg")
            data = os.path.join(d, "data")     # neither data/ nor data/pkg/ exist yet
            os.makedirs(os.path.join(data, "debs"))
            shutil.copy(deb, os.path.join(data, "debs"))
            prepare_data.fetch(["kxtestpkg"], data)
            self.assertTrue(os.path.exists(os.path.join(data, "pkg", "kxtestpkg", "usr", "share",
                                                         "kxtestpkg", "clip.raw")))
            # an unpacked package is not unpacked again; a half-unpacked one is redone
            prepare_data.fetch(["kxtestpkg"], data)
            self.assertFalse(os.path.exists(os.path.join(data, "pkg", "kxtestpkg.part")))


class NoiseTest(unittest.TestCase):
    def test_a_split_left_unfinished_is_written_again(self):
        # An interrupted run used to leave noise/ holding one split, and every later run
        # skipped the other, so training silently had no noise to mix in.
        from concurrent.futures import ThreadPoolExecutor
        with tempfile.TemporaryDirectory() as d:
            prepare_data.write(os.path.join(d, "noise", "test", "0000.wav"), np.ones(8000))
            os.makedirs(os.path.join(d, "noise", "train.part"))
            with mock.patch.object(prepare_data, "noise_files", return_value={"train": [], "test": []}):
                prepare_data.write_noise(d, ThreadPoolExecutor(1))
            self.assertEqual(sorted(os.listdir(os.path.join(d, "noise"))), ["test", "train"])
            self.assertEqual(len(os.listdir(os.path.join(d, "noise", "train"))), 20)
            self.assertEqual(os.listdir(os.path.join(d, "noise", "test")), ["0000.wav"])


class SourcesTest(unittest.TestCase):
    def test_drascula_characters_by_prefix(self):
        with tempfile.TemporaryDirectory() as d:
            en = os.path.join(d, "drascula", "usr", "share", "scummvm", "drascula", "en")
            os.makedirs(en)
            names = ["%d.ALS" % i for i in range(12)] + ["VB%d.ALS" % i for i in range(11)] + \
                ["F%d.ALS" % i for i in range(3)] + ["DRF.BIN", "10.ALG"]
            for n in names:
                open(os.path.join(en, n), "wb").close()
            with mock.patch.object(prepare_data, "PKG", d):
                got = {spk: (src, len(items), items[0][0]) for spk, _, src, items in prepare_data.src_drascula(50)}
        # a character with too few lines is dropped; the hero's lines are unprefixed
        self.assertEqual(got, {"dras_hero": ("drascula", 12, "u8"), "dras_vb": ("drascula", 11, "u8")})
        self.assertEqual(prepare_data.split_of("dras_hero", "drascula"), "train")

    @unittest.skipIf(shutil.which("ffmpeg") is None, "ffmpeg missing")
    def test_unsigned_8bit_clips_decode_at_16k_in_one_batch(self):
        from concurrent.futures import ThreadPoolExecutor
        t = np.arange(11025) / 11025.0
        with tempfile.TemporaryDirectory() as d:
            items = []
            for k, hz in enumerate((440, 1000, 250)):
                path = os.path.join(d, "%d.ALS" % k)
                np.round(128 + 100 * np.sin(2 * np.pi * hz * t) * (t < 0.5 + 0.2 * k)).astype(np.uint8).tofile(path)
                items.append(("u8", path))
            with ThreadPoolExecutor(2) as pool:
                clips = prepare_data.render_all(items, pool, batch=2)
        self.assertEqual(len(clips), 3)
        for clip, hz, sec in zip(clips, (440, 1000, 250), (0.5, 0.7, 0.9)):
            self.assertAlmostEqual(len(clip) / 16000.0, sec + 0.1, delta=0.05)   # trimmed, 0.1 s kept
            spectrum = np.abs(np.fft.rfft(clip.astype(np.float64)))
            self.assertAlmostEqual(np.argmax(spectrum) * 16000.0 / len(clip), hz, delta=5.0)

    def test_read_speech_holds_out_about_a_fifth_of_its_speakers(self):
        splits = [prepare_data.split_of("libri_%d" % i, "librispeech") for i in range(251)]
        self.assertTrue(40 <= splits.count("test") <= 62, splits.count("test"))
        self.assertTrue(15 <= splits.count("valid") <= 40, splits.count("valid"))


if __name__ == "__main__":
    unittest.main()


class SpeechRegionsTest(unittest.TestCase):
    def test_short_pauses_join_and_stretches_grow(self):
        lab = np.zeros(40)
        lab[5:8] = 1      # a word, a 4-frame pause, a word, then a 12-frame pause
        lab[12:15] = 1
        lab[27:30] = 1
        r = kxdata.speech_regions(lab, gap=10, hang=2)
        self.assertEqual(np.nonzero(r)[0].tolist(), list(range(3, 17)) + list(range(25, 32)))
        r = kxdata.speech_regions(lab, gap=4, hang=0)
        self.assertEqual(np.nonzero(r)[0].tolist(), list(range(5, 15)) + [27, 28, 29])
        edge = np.zeros(6)
        edge[[0, 5]] = 1
        self.assertEqual(kxdata.speech_regions(edge, gap=1, hang=3).tolist(), [1.0] * 6)
        self.assertEqual(kxdata.speech_regions(np.zeros(0)).tolist(), [])
