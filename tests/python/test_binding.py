"""Tests of the Python binding on a generated model (Debian's python3 and python3-numpy).

KX_ORVEL_LIBRARY names the built library; python/ must be on PYTHONPATH.
"""

import os
import subprocess
import sys
import tempfile
import threading
import unittest

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "python"))
import kxtest  # noqa: E402
import kx_orvel  # noqa: E402

EMBEDDING = 16


class BindingTestBase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory(prefix="kx-py-")
        cls.dir = cls._tmp.name
        cls.model = kxtest.write_model(os.path.join(cls.dir, "model.kx"), embedding_size=EMBEDDING)
        cls.alice = kxtest.to_int16(kxtest.voice(11, 4.0))
        cls.bob = kxtest.to_int16(kxtest.voice(22, 4.0))
        kx_orvel.log_disable()

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    def enroll(self, pcm, chunks=2, **kwargs):
        with kx_orvel.Profiler(self.model, min_enrollment_chunks=chunks, voice_threshold=0.0, **kwargs) as p:
            p.enroll(pcm)
            p.flush()
            return p.export()


class LibraryTest(BindingTestBase):
    def test_library_values(self):
        self.assertEqual(kx_orvel.version(), "3.0.0")
        self.assertEqual(kx_orvel.sample_rate(), 16000)
        self.assertEqual(kx_orvel.frame_length(), 512)

    def test_list_devices(self):
        devices = kx_orvel.list_devices()
        self.assertGreaterEqual(len(devices), 1)
        self.assertTrue(all(isinstance(d, str) for d in devices))
        self.assertRegex(devices[0], r"^cpu:\[0-\d+\] - CPU \(\d+ threads\)$")
        # The build's test GPU plug-in, when the environment names it, lists one GPU.
        if "fake_gpu" in os.environ.get("KX_ORVEL_GPU_PLUGIN", ""):
            self.assertEqual(devices[1:], ["gpu:0 - Fake GPU 0"])

    def test_model_info(self):
        info = kx_orvel.read_model_info(self.model)
        self.assertEqual((info.magic, info.version), ("orvel", "3.0.0"))
        self.assertEqual((info.window_frames, info.lookahead_frames), (4, 2))
        self.assertEqual(info.score_thresholds, (-1.0, 0.0, 1.0))
        self.assertEqual((info.frame_length, info.hop_length, info.num_bands), (512, 256, 40))
        self.assertEqual(info.layers, [(8, 40)])
        self.assertEqual((info.embedding_size, info.pooled_size, info.projection_kind), (16, 8, 1))
        self.assertEqual(info.profile_size_bytes, 64)
        cut = os.path.join(self.dir, "cut.kx")
        with open(self.model, "rb") as f, open(cut, "wb") as g:
            g.write(f.read()[:200])
        with self.assertRaises(ValueError):
            kx_orvel.read_model_info(cut)

    def test_default_model_from_environment(self):
        old = os.environ.get("KX_ORVEL_MODEL")
        os.environ["KX_ORVEL_MODEL"] = self.model
        try:
            self.assertEqual(kx_orvel.default_model_path(), self.model)
            with kx_orvel.Recognizer() as r:
                self.assertEqual(r.model_path, self.model)
        finally:
            if old is None:
                del os.environ["KX_ORVEL_MODEL"]
            else:
                os.environ["KX_ORVEL_MODEL"] = old


class LoggingTest(BindingTestBase):
    def test_diagnostics_go_to_the_logging_module(self):
        too_long = b"x" * 1024
        kx_orvel.log_enable()
        try:
            with self.assertLogs("kx_orvel", level="INFO") as logs:
                self.assertEqual(kx_orvel._native.lib.kx_set_home_dir(too_long), kx_orvel.Status.INVALID_ARGUMENT)
            self.assertEqual(logs.output, ["ERROR:kx_orvel:The length of the given path is too long: 1024, "
                                           "the maximum allowed length is 1023"])
        finally:
            kx_orvel.log_disable()
        with self.assertNoLogs("kx_orvel"):
            kx_orvel._native.lib.kx_set_home_dir(too_long)


class EnrollRecognizeTest(BindingTestBase):
    def test_profile_scores_its_own_audio(self):
        profile = self.enroll(self.alice)
        self.assertEqual(profile.dtype, np.float32)
        self.assertEqual(profile.shape, (EMBEDDING,))
        with kx_orvel.Recognizer(self.model, voice_threshold=0.0) as r:
            self.assertEqual(r.min_audio_length_samples, 4 * 512)
            scores = r.process(self.alice, [profile])
        self.assertEqual(scores.dtype, np.float32)
        self.assertAlmostEqual(float(scores[0]), (float(profile @ profile) + 1) / 2, places=5)

    def test_chunk_sizes_do_not_matter(self):
        whole = self.enroll(self.alice)
        with kx_orvel.Profiler(self.model, min_enrollment_chunks=2, voice_threshold=0.0) as p:
            rng = np.random.default_rng(3)
            at = 0
            while at < len(self.alice):
                step = int(rng.integers(1, 3000))
                p.enroll(self.alice[at:at + step])
                at += step
            p.flush()
            np.testing.assert_array_equal(p.export(), whole)

    def test_float_and_integer_input(self):
        as_int = self.enroll(self.alice)
        np.testing.assert_array_equal(self.enroll(self.alice.astype(np.float32) / 32768.0), as_int)
        np.testing.assert_array_equal(self.enroll(self.alice.astype(np.int32)), as_int)
        with self.assertRaises(ValueError):
            self.enroll(np.array([40000] * 4096))
        with self.assertRaises(ValueError):
            self.enroll(np.zeros((4096, 2), dtype=np.int16))
        with self.assertRaises(TypeError):
            self.enroll(np.array(["a"] * 4096))

    def test_several_profiles(self):
        a, b = self.enroll(self.alice), self.enroll(self.bob)
        with kx_orvel.Recognizer(self.model, voice_threshold=0.0) as r:
            listed = r.process(self.bob, [a, b])
            stacked = r.process(self.bob, np.stack([a, b]))
            reversed_ = r.process(self.bob, [b, a])
        np.testing.assert_array_equal(listed, stacked)
        np.testing.assert_array_equal(listed, reversed_[::-1])
        self.assertTrue(np.all((listed >= 0) & (listed <= 1)))

    def test_progress_reset_and_repeat_export(self):
        with kx_orvel.Profiler(self.model, min_enrollment_chunks=4, voice_threshold=0.0) as p:
            self.assertEqual(p.percentage, 0.0)
            seen = []
            for at in range(0, len(self.alice), 512):
                seen.append(p.enroll(self.alice[at:at + 512]))
            self.assertTrue(p.complete)
            steps = sorted(set(seen))
            self.assertEqual(steps[:5], [0.0, 25.0, 50.0, 75.0, 100.0])
            first = p.export()
            np.testing.assert_array_equal(p.export(), first)
            self.assertEqual(p.export_size, 4 * EMBEDDING)
            p.reset()
            self.assertEqual(p.percentage, 0.0)
            with self.assertRaises(kx_orvel.KxError) as caught:
                p.export()
            self.assertEqual(caught.exception.status, kx_orvel.Status.INVALID_STATE)

    def test_no_speech_gives_none(self):
        profile = self.enroll(self.alice)
        with kx_orvel.Recognizer(self.model) as r:
            self.assertIsNone(r.process(np.zeros(16000, dtype=np.int16), [profile]))

    def test_profile_files_round_trip(self):
        profile = self.enroll(self.alice)
        path = os.path.join(self.dir, "alice.profile")
        kx_orvel.save_profile(path, profile)
        self.assertEqual(os.path.getsize(path), 4 * EMBEDDING)
        np.testing.assert_array_equal(kx_orvel.load_profile(path), profile)

    @unittest.skipUnless(os.environ.get("KX_ORVEL_TOOL"), "KX_ORVEL_TOOL is not set")
    def test_same_profile_as_the_tool(self):
        wav = kxtest.write_audio(os.path.join(self.dir, "alice.wav"), self.alice.astype(np.float32) / 32768.0)
        out = os.path.join(self.dir, "tool.profile")
        r = subprocess.run([os.environ["KX_ORVEL_TOOL"], "enroll", "--model", self.model, "--voice-threshold", "0",
                            "--min-chunks", "2", "--out", out, wav], capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        np.testing.assert_array_equal(kx_orvel.load_profile(out), self.enroll(self.alice))


class ErrorTest(BindingTestBase):
    def test_errors_carry_status_and_stack(self):
        with self.assertRaises(kx_orvel.KxError) as caught:
            kx_orvel.Recognizer(self.model, device="tpu")
        e = caught.exception
        self.assertEqual(e.status, kx_orvel.Status.INVALID_ARGUMENT)
        self.assertEqual(e.call, "kx_orvel_init")
        self.assertTrue(any("tpu is not a valid device string" in line for line in e.stack), e.stack)
        self.assertIn("INVALID_ARGUMENT", str(e))
        self.assertTrue(all(line.startswith("a01eaf2 ") for line in e.stack))
        # A person reads the sentence first; the raw stack follows it.
        self.assertTrue(str(e).startswith("'tpu' is not a device: pass best, cpu"), str(e))
        self.assertEqual(str(e).splitlines()[0], e.sentence)
        # The test plug-in lists one GPU.
        with self.assertRaises(kx_orvel.KxError) as caught:
            kx_orvel.Recognizer(self.model, device="gpu:5")
        self.assertIn("GPU cannot be used (GPU device 5 could not be created", caught.exception.sentence)

    def test_missing_model(self):
        missing = os.path.join(self.dir, "missing.kx")
        for make in (lambda: kx_orvel.Recognizer(missing), lambda: kx_orvel.Profiler(missing)):
            with self.assertRaises(kx_orvel.KxError) as caught:
                make()
            self.assertEqual(caught.exception.status, kx_orvel.Status.IO_ERROR)
            self.assertIn(missing, caught.exception.stack[0])
            self.assertIn("da02a93", caught.exception.stack[-1])
            self.assertIn("cannot open the model file " + missing, caught.exception.sentence)

    def test_model_of_another_kind(self):
        bad = kxtest.write_model(os.path.join(self.dir, "bad.kx"), magic=b"nope!")
        with self.assertRaises(kx_orvel.KxError) as caught:
            kx_orvel.Profiler(bad, min_enrollment_chunks=1)
        self.assertEqual(caught.exception.status, kx_orvel.Status.INVALID_ARGUMENT)
        self.assertIn("incorrect format", caught.exception.stack[0])
        self.assertIn("not a kx_orvel model", caught.exception.sentence)

    def test_argument_errors(self):
        with self.assertRaises(kx_orvel.KxError) as caught:
            kx_orvel.Profiler(self.model, min_enrollment_chunks=0)
        self.assertIn("min_enrollment_chunks", caught.exception.stack[0])
        with self.assertRaises(kx_orvel.KxError) as caught:
            kx_orvel.Recognizer(self.model, voice_threshold=1.5)
        self.assertIn("voice_threshold", caught.exception.stack[0])

    def test_export_before_complete(self):
        with kx_orvel.Profiler(self.model, min_enrollment_chunks=1000, voice_threshold=0.0) as p:
            p.enroll(self.alice)
            self.assertLess(p.percentage, 100.0)
            with self.assertRaises(kx_orvel.KxError) as caught:
                p.export()
        self.assertEqual(caught.exception.status, kx_orvel.Status.INVALID_STATE)
        self.assertEqual(caught.exception.call, "kx_orvel_profiler_export")
        self.assertIn("before enrollment is complete", caught.exception.stack[0])
        self.assertIn("give more speech", caught.exception.sentence)

    def test_checks_before_the_library(self):
        with kx_orvel.Recognizer(self.model, voice_threshold=0.0) as r:
            with self.assertRaisesRegex(ValueError, "embedding size is 16"):
                r.process(self.alice, [np.zeros(EMBEDDING + 1, dtype=np.float32)])
            with self.assertRaisesRegex(ValueError, "shorter than the minimum of 2048"):
                r.process(self.alice[:2047], [np.zeros(EMBEDDING, dtype=np.float32)])
            with self.assertRaises(ValueError):
                r.process(self.alice, [])


class LifetimeTest(BindingTestBase):
    def test_context_managers_release(self):
        with kx_orvel.Recognizer(self.model) as r:
            self.assertFalse(r.closed)
        self.assertTrue(r.closed)
        with self.assertRaisesRegex(ValueError, "closed"):
            r.process(self.alice, [np.zeros(EMBEDDING, dtype=np.float32)])
        r.close()  # twice is fine
        p = kx_orvel.Profiler(self.model, min_enrollment_chunks=1)
        p.close()
        with self.assertRaisesRegex(ValueError, "closed"):
            p.enroll(self.alice)

    def test_many_objects(self):
        for _ in range(50):
            with kx_orvel.Profiler(self.model, min_enrollment_chunks=1), kx_orvel.Recognizer(self.model):
                pass


class ThreadTest(BindingTestBase):
    def test_threads(self):
        profile = self.enroll(self.alice)
        with kx_orvel.Recognizer(self.model, voice_threshold=0.0) as r:
            expected = [r.process(pcm, [profile]) for pcm in (self.alice, self.bob)]
        results, errors = {}, []

        def own_object(i):
            try:
                with kx_orvel.Recognizer(self.model, voice_threshold=0.0, device="cpu:2") as own:
                    results[("own", i)] = own.process((self.alice, self.bob)[i % 2], [profile])
            except Exception as e:  # pragma: no cover
                errors.append(e)

        shared = kx_orvel.Recognizer(self.model, voice_threshold=0.0)

        def shared_object(i):
            try:
                results[("shared", i)] = shared.process((self.alice, self.bob)[i % 2], [profile])
            except Exception as e:  # pragma: no cover
                errors.append(e)

        threads = [threading.Thread(target=f, args=(i,)) for i in range(4) for f in (own_object, shared_object)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        shared.close()
        self.assertEqual(errors, [])
        for (kind, i), scores in results.items():
            np.testing.assert_array_equal(scores, expected[i % 2], err_msg=kind)

    def test_error_stack_is_per_thread(self):
        stacks = {}

        def fail(device):
            try:
                kx_orvel.Recognizer(self.model, device=device)
            except kx_orvel.KxError as e:
                stacks[device] = e.stack

        threads = [threading.Thread(target=fail, args=(d,)) for d in ("tpu", "npu", "xpu")]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for device, stack in stacks.items():
            self.assertTrue(any(f"{device} is not a valid device string" in s for s in stack), stack)
        self.assertEqual(len(stacks), 3)


if __name__ == "__main__":
    unittest.main()
