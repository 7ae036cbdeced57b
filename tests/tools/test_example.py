"""Runs the C example (examples/enroll_and_score.c) on generated WAV files."""

import os
import shlex
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
import kxtest  # noqa: E402

EXAMPLE = os.environ.get("KX_ORVEL_EXAMPLE", "")
# An emulator command for cross builds (qemu or Wine), empty otherwise.
RUNNER = shlex.split(os.environ.get("KX_ORVEL_RUNNER", ""))


@unittest.skipUnless(EXAMPLE, "KX_ORVEL_EXAMPLE is not set")
class ExampleTest(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="kx-example-")
        self.dir = self._tmp.name
        self.model = kxtest.write_model(os.path.join(self.dir, "model.kx"))

    def tearDown(self):
        self._tmp.cleanup()

    def wav(self, name, samples, rate=16000):
        return kxtest.write_audio(os.path.join(self.dir, name), samples, rate)

    def run_example(self, *args):
        return subprocess.run([*RUNNER, EXAMPLE, *args], capture_output=True, text=True, timeout=120)

    def test_enroll_and_score(self):
        enroll = self.wav("enroll.wav", kxtest.voice(1, 6.0))
        test = self.wav("test.wav", kxtest.voice(1, 3.0))
        # voice threshold 0: every window counts as speech, whatever the detector says
        r = self.run_example("--voice-threshold", "0", self.model, enroll, test)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("enrollment: 100%", r.stdout)
        self.assertRegex(r.stdout, r"score: [01]\.\d{3}")

    def test_several_enrollment_files_add_up(self):
        # Each 0.4 s file holds too few windows alone; together they reach 100 %.
        parts = [self.wav(f"part{i}.wav", kxtest.voice(1, 0.4)) for i in range(4)]
        test = self.wav("test2.wav", kxtest.voice(1, 3.0))
        alone = self.run_example("--voice-threshold", "0", self.model, parts[0], test)
        self.assertEqual(alone.returncode, 2, alone.stderr)
        r = self.run_example("--voice-threshold", "0", self.model, *parts, test)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("enrollment: 100%", r.stdout)

    def test_not_enough_speech_or_none(self):
        quiet = self.wav("quiet.wav", kxtest.silence(3.0))
        r = self.run_example(self.model, quiet, quiet)
        self.assertEqual(r.returncode, 2, r.stderr)
        self.assertIn("not enough speech", r.stderr)

    def test_rejects_other_wav_layouts(self):
        stereo = self.wav("stereo.wav", kxtest.voice(1, 1.0).reshape(-1, 2))
        r = self.run_example(self.model, stereo, stereo)
        self.assertEqual(r.returncode, 1)
        self.assertIn("needs 16 kHz mono 16-bit PCM", r.stderr)
        wrong_rate = self.wav("8k.wav", kxtest.voice(1, 1.0), rate=8000)
        r = self.run_example(self.model, wrong_rate, wrong_rate)
        self.assertEqual(r.returncode, 1)

    def test_library_errors_print_the_stack(self):
        wav = self.wav("a.wav", kxtest.voice(1, 1.0))
        r = self.run_example(os.path.join(self.dir, "missing.kx"), wav, wav)
        self.assertEqual(r.returncode, 1)
        self.assertIn("kx_orvel_profiler_init failed: IO_ERROR", r.stderr)
        self.assertIn("missing.kx", r.stderr)

    def test_usage(self):
        r = self.run_example()
        self.assertEqual(r.returncode, 1)
        self.assertIn("usage:", r.stderr)


if __name__ == "__main__":
    unittest.main()
