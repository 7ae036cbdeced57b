"""The binding's timeline and `python3 -m kx_orvel timeline` against the tool's.

KX_ORVEL_LIBRARY names the built library, KX_ORVEL_TOOL the built tool; python/ on PYTHONPATH.
"""

import json
import os
import subprocess
import sys
import tempfile
import unittest

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "python"))
import kxtest  # noqa: E402
import kx_orvel  # noqa: E402

TOOL = os.environ.get("KX_ORVEL_TOOL", "")


@unittest.skipUnless(TOOL, "KX_ORVEL_TOOL is not set")
class TimelineTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory(prefix="kx-tl-")
        cls.dir = cls._tmp.name
        cls.model = kxtest.write_model(os.path.join(cls.dir, "model.kx"))
        kx_orvel.log_disable()
        cls.profiles = []
        for name, seed in (("alice", 46), ("bob", 22)):
            with kx_orvel.Profiler(cls.model, min_enrollment_chunks=2, voice_threshold=0.0) as p:
                p.enroll(kxtest.to_int16(kxtest.voice(seed, 4.0)))
                p.flush()
                path = os.path.join(cls.dir, name + ".profile")
                kx_orvel.save_profile(path, p.export())
                cls.profiles.append(path)
        # Stereo at 44.1 kHz: the binding must mix and resample exactly as the tool does.
        mono = np.concatenate([kxtest.voice(46, 4.0), kxtest.silence(2.5), kxtest.voice(22, 3.3)])
        t = np.arange(int(len(mono) * 44100 / 16000)) / 44100
        resampled = np.interp(t, np.arange(len(mono)) / 16000, mono).astype(np.float32)
        cls.meeting = kxtest.write_audio(os.path.join(cls.dir, "meeting.wav"),
                                         np.stack([resampled, 0.5 * resampled], axis=1), 44100)

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    def tool(self, *args, profiles=True):
        profiles = [a for p in self.profiles for a in ("--profile", p)] if profiles else []
        r = subprocess.run([TOOL, "timeline", "--model", self.model, *profiles, *args, self.meeting],
                           capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stdout

    def module(self, *args):
        profiles = [a for p in self.profiles for a in ("--profile", p)]
        r = subprocess.run([sys.executable, "-m", "kx_orvel", "timeline", "--model", self.model, *profiles, *args,
                            self.meeting], capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stdout

    def test_same_segments_as_the_tool(self):
        # With profiles, with other knobs, and with none (the anonymous path, count given or not).
        for options, profiles in (({}, True),
                                  ({"hop": 0.25, "window": 1.0, "threshold": 0.7, "min_turn": 0.5, "switch_cost": 1.5,
                                    "min_pause": 0.0}, True),
                                  ({}, False), ({"speakers": 2}, False)):
            with self.subTest(profiles=profiles, **options):
                args = [a for k, v in options.items() for a in (f"--{k.replace('_', '-')}", str(v))]
                expected = json.loads(self.tool("--json", *args, profiles=profiles))["files"][0]["segments"]
                got = kx_orvel.timeline(kx_orvel.read_audio(self.meeting), self.profiles if profiles else None,
                                        model_path=self.model, **options)
                self.assertEqual([(s.start, s.end, s.label) for s in got],
                                 [(s["start"], s["end"], s["label"]) for s in expected])
                for s, e in zip(got, expected):
                    if e["score"] is None:
                        self.assertIsNone(s.score)
                    else:
                        self.assertAlmostEqual(s.score, e["score"], places=6)
        self.assertIn("no speech", [s.label for s in got])
        self.assertEqual({s.label for s in got} - {"no speech"}, {"speaker_1", "speaker_2"})

    def test_module_prints_what_the_tool_prints_and_draws(self):
        self.assertEqual(self.module("--rttm"), self.tool("--rttm"))
        self.assertEqual(self.module("--hop", "0.3"), self.tool("--hop", "0.3"))  # header included
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            self.skipTest("python3-matplotlib is not installed")
        out = os.path.join(self.dir, "timeline.png")
        table = self.module("--plot", out)
        self.assertIn("meeting.wav", table)
        with open(out, "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")

    def test_argument_errors(self):
        pcm = kxtest.to_int16(kxtest.voice(11, 4.0))
        with self.assertRaisesRegex(ValueError, "speakers"):
            kx_orvel.timeline(pcm, self.profiles, model_path=self.model, speakers=0)
        with self.assertRaisesRegex(ValueError, "shorter than"):
            kx_orvel.timeline(pcm[:1000], self.profiles, model_path=self.model)
        with self.assertRaisesRegex(ValueError, "window of 0.1 s is shorter than"):
            kx_orvel.timeline(pcm, self.profiles, model_path=self.model, window=0.1)
        with self.assertRaises(kx_orvel.AudioError):
            kx_orvel.read_audio(os.path.join(self.dir, "missing.wav"))


if __name__ == "__main__":
    unittest.main()
