"""End-to-end tests of the kx-orvel tool on generated models and audio files.

Needs KX_ORVEL_TOOL (the built tool); run with Debian's python3 and python3-numpy.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
import kxtest  # noqa: E402

TOOL = os.environ.get("KX_ORVEL_TOOL", "")
EMBEDDING = 16


def run(*args, env=None):
    full_env = dict(os.environ)
    full_env.pop("KX_ORVEL_MODEL", None)
    if env:
        full_env.update(env)
    return subprocess.run([TOOL, *map(str, args)], capture_output=True, text=True, env=full_env, timeout=300)


@unittest.skipUnless(TOOL, "KX_ORVEL_TOOL is not set")
class ToolTestBase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory(prefix="kx-tool-")
        cls.dir = cls._tmp.name
        cls.model = kxtest.write_model(cls.path("model.kx"), embedding_size=EMBEDDING)
        cls.alice = kxtest.voice(46, 4.0)
        cls.bob = kxtest.voice(22, 4.0)
        cls.alice_wav = kxtest.write_audio(cls.path("alice.wav"), cls.alice)
        cls.bob_wav = kxtest.write_audio(cls.path("bob.wav"), cls.bob)
        cls.silence_wav = kxtest.write_audio(cls.path("silence.wav"), kxtest.silence(2.0))

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    @classmethod
    def path(cls, name):
        return os.path.join(cls.dir, name)

    def enroll(self, out, *files, extra=(), expect=0, model=None):
        r = run("enroll", "--model", model or self.model, "--voice-threshold", "0", "--min-chunks", "2", "--out", out,
                *extra, *files)
        self.assertEqual(r.returncode, expect, r.stderr)
        return r

    def recognize_json(self, profiles, files, extra=(), expect=0, model=None):
        args = ["recognize", "--model", model or self.model, "--voice-threshold", "0", "--json", *extra]
        for p in profiles:
            args += ["--profile", p]
        r = run(*args, *files)
        self.assertEqual(r.returncode, expect, r.stderr)
        return json.loads(r.stdout)


class EnrollRecognizeTest(ToolTestBase):
    def test_profile_is_exported_bytes_and_scores_itself(self):
        out = self.path("alice.profile")
        r = self.enroll(out, self.alice_wav)
        self.assertIn("speaker profile of 64 bytes", r.stdout)
        self.assertIn("enrollment 100%", r.stderr)  # plain progress lines off a terminal
        profile = np.fromfile(out, dtype="<f4")
        self.assertEqual(profile.size, EMBEDDING)
        self.assertTrue(np.all(np.isfinite(profile)))
        self.assertLessEqual(float(profile @ profile), 1.0 + 1e-5)
        # Scoring the enrolled audio picks the same windows: the dot product is |p|^2,
        # and the test model maps s to (s + 1) / 2.
        result = self.recognize_json([out], [self.alice_wav])["results"][0]
        self.assertTrue(result["speech"])
        expected = (float(profile @ profile) + 1) / 2
        self.assertAlmostEqual(result["scores"][0]["score"], expected, places=4)

    def test_formats_rates_and_channels(self):
        # Windows of 0.5 s: which few frames the selector picks among near-equal voice
        # probabilities then moves a profile little, so a near one means near samples.
        model = kxtest.write_model(self.path("window16.kx"), window_frames=16, embedding_size=EMBEDDING)
        reference = self.path("ref.profile")
        self.enroll(reference, self.alice_wav, model=model)
        ref = np.fromfile(reference, dtype="<f4")
        cases = {
            "flac16k.flac": (self.alice, 16000, "flac"),
            "stereo16k.wav": (np.stack([self.alice, self.alice], axis=1), 16000, "wav"),
            "wav44k.wav": (self._resample(self.alice, 44100), 44100, "wav"),
            "stereo48k_24bit.wav": (np.stack([self._resample(self.alice, 48000)] * 2, axis=1), 48000, "wav24"),
            "ogg22k.ogg": (self._resample(self.alice, 22050), 22050, "ogg"),
            "mp3_32k.mp3": (self._resample(self.alice, 32000), 32000, "mp3"),
        }
        for name, (samples, rate, kind) in cases.items():
            with self.subTest(name=name):
                path = kxtest.write_audio(self.path(name), samples, rate, kind)
                out = self.path(name + ".profile")
                self.enroll(out, path, model=model)
                got = np.fromfile(out, dtype="<f4")
                self.assertEqual(got.size, EMBEDDING)
                if name in ("flac16k.flac", "stereo16k.wav"):
                    # lossless 16 kHz, identical channels: the very same samples
                    np.testing.assert_array_equal(got, ref)
                else:
                    cos = float(got @ ref) / float(np.linalg.norm(got) * np.linalg.norm(ref))
                    self.assertGreater(cos, 0.9)
                result = self.recognize_json([reference], [path], model=model)["results"][0]
                self.assertAlmostEqual(result["seconds"], 4.0, delta=0.1)
                self.assertTrue(result["speech"])

    @staticmethod
    def _resample(x, rate):
        t_new = np.arange(int(len(x) * rate / kxtest.RATE)) / rate
        return np.interp(t_new, np.arange(len(x)) / kxtest.RATE, x).astype(np.float32)

    def test_several_enrollment_files(self):
        first = kxtest.write_audio(self.path("a1.wav"), self.alice[:32000])
        second = kxtest.write_audio(self.path("a2.ogg"), self.alice[32000:], kind="ogg")
        out = self.path("two-files.profile")
        r = self.enroll(out, first, second)
        self.assertIn("from 2 file(s)", r.stdout)
        self.assertEqual(os.path.getsize(out), 4 * EMBEDDING)

    def test_best_match_first_and_threshold(self):
        a, b = self.path("alice2.profile"), self.path("bob2.profile")
        self.enroll(a, self.alice_wav)
        self.enroll(b, self.bob_wav)
        doc = self.recognize_json([b, a], [self.alice_wav, self.bob_wav], extra=["--threshold", "0.6"])
        self.assertEqual(doc["threshold"], 0.6)
        self.assertEqual(len(doc["results"]), 2)
        for result in doc["results"]:
            scores = [s["score"] for s in result["scores"]]
            self.assertEqual(scores, sorted(scores, reverse=True))
            self.assertEqual({s["profile"] for s in result["scores"]}, {"alice2", "bob2"})
            for s in result["scores"]:
                self.assertEqual(s["match"], s["score"] >= 0.6)
                self.assertGreaterEqual(s["score"], 0.0)
                self.assertLessEqual(s["score"], 1.0)
            top = result["scores"][0]
            self.assertEqual(result["best"], top["profile"] if top["match"] else None)
        # Everything matches at threshold 0; the text form lists best first too.
        r = run("recognize", "--model", self.model, "--voice-threshold", "0", "--threshold", "0",
                "--profile", b, "--profile", a, self.alice_wav)
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = r.stdout.splitlines()
        self.assertTrue(lines[0].startswith(self.alice_wav))
        rows = [line.split() for line in lines[1:]]
        self.assertEqual(len(rows), 2)
        self.assertTrue(all(row[2] == "match" for row in rows))
        self.assertGreaterEqual(float(rows[0][1]), float(rows[1][1]))

    def test_json_shape(self):
        a = self.path("shape.profile")
        self.enroll(a, self.alice_wav)
        doc = self.recognize_json([a], [self.alice_wav])
        self.assertEqual(set(doc), {"model", "threshold", "voice_threshold", "results"})
        self.assertEqual(doc["voice_threshold"], 0)
        result = doc["results"][0]
        self.assertEqual(set(result), {"file", "seconds", "speech", "best", "scores"})
        self.assertEqual(set(result["scores"][0]), {"profile", "path", "score", "match"})
        self.assertEqual(result["scores"][0]["path"], a)


class TimelineTest(ToolTestBase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # alice, a pause, bob: 11 s
        cls.meeting = kxtest.write_audio(cls.path("meeting.wav"),
                                         np.concatenate([cls.alice, kxtest.silence(3.0), cls.bob]))

    def timeline(self, *extra, expect=0, profiles=True):
        a, b = self.path("tl-alice.profile"), self.path("tl-bob.profile")
        if not os.path.exists(b):
            self.enroll(a, self.alice_wav)
            self.enroll(b, self.bob_wav)
        chosen = ["--profile", a, "--profile", b] if profiles else []
        r = run("timeline", "--model", self.model, *chosen, *extra)
        self.assertEqual(r.returncode, expect, r.stderr)
        return r

    def test_segments_tile_the_file_in_every_format(self):
        doc = json.loads(self.timeline("--json", "--hop", "0.25", self.meeting).stdout)
        self.assertEqual((doc["hop"], doc["min_turn"], doc["switch_cost"], doc["min_pause"]), (0.256, 1.5, 0.3, 1.0))
        result = doc["files"][0]
        segments = result["segments"]
        self.assertAlmostEqual(result["seconds"], 11.0, places=3)
        # Contiguous from 0 to the end, neighbours differ, no speech in the pause's middle.
        # (The random test model barely tells the voices apart; the real-speech test checks names.)
        self.assertEqual(segments[0]["start"], 0.0)
        self.assertAlmostEqual(segments[-1]["end"], 11.0, places=3)
        for before, after in zip(segments, segments[1:]):
            self.assertEqual(before["end"], after["start"])
            self.assertNotEqual(before["label"], after["label"])
        middle = [s for s in segments if s["start"] <= 5.5 <= s["end"]][0]
        self.assertEqual(middle["label"], "no speech")
        self.assertIsNone(middle["score"])
        self.assertTrue({s["label"] for s in segments} <= {"tl-alice", "tl-bob", "unknown", "no speech"})
        # RTTM: the same segments less the pauses; the table: one row per segment.
        rttm = self.timeline("--rttm", "--hop", "0.25", self.meeting).stdout.splitlines()
        speech = [s for s in segments if s["label"] != "no speech"]
        self.assertEqual(len(rttm), len(speech))
        for line, s in zip(rttm, speech):
            self.assertEqual(line, "SPEAKER meeting 1 %.3f %.3f <NA> <NA> %s <NA> <NA>"
                             % (s["start"], s["end"] - s["start"], s["label"]))
        table = self.timeline("--hop", "0.25", self.meeting).stdout.splitlines()
        self.assertIn("11.00 s, 43 windows of 0.13 s every 0.26 s", table[0])
        self.assertEqual(len(table), 2 + len(segments))

    def test_rttm_keeps_odd_names_in_one_field_and_recordings_apart(self):
        folders = [self.path("tl-one"), self.path("tl-two")]
        copies = []
        for folder in folders:
            os.makedirs(folder, exist_ok=True)
            copy = os.path.join(folder, "a\rb\vc\fd e.wav")
            shutil.copyfile(self.meeting, copy)
            copies.append(copy)
        lines = self.timeline("--rttm", *copies, copies[0]).stdout.splitlines()
        ids = [line.split(" ")[1] for line in lines]
        self.assertTrue(all(len(line.split()) == 10 for line in lines), lines)
        self.assertEqual(sorted(set(ids)), ["a_b_c_d_e", "a_b_c_d_e-2"])
        self.assertEqual(ids.count("a_b_c_d_e"), 2 * ids.count("a_b_c_d_e-2"))  # the first path given twice

    def test_speech_no_profile_claims_becomes_anonymous_speakers(self):
        # Nobody enrolled, two speakers: the voices are speaker_1 and speaker_2 in order of
        # appearance; one speaker: both are speaker_1. A profile called like an anonymous
        # speaker is shown by its path.
        for extra, expected in ((("--speakers", "2"), ["speaker_1", "speaker_2"]), (("--speakers", "1"), ["speaker_1"])):
            with self.subTest(extra=extra):
                doc = json.loads(self.timeline("--json", *extra, self.meeting, profiles=False).stdout)
                labels = [s["label"] for s in doc["files"][0]["segments"] if s["label"] != "no speech"]
                self.assertEqual([k for i, k in enumerate(labels) if k not in labels[:i]], expected, labels)
        named = self.path("speaker_1.profile")
        shutil.copyfile(self.path("tl-alice.profile"), named)
        r = run("timeline", "--model", self.model, "--profile", named, "--rttm", self.meeting)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(" " + named + " ", r.stdout)

    def test_short_and_bad_files_and_options(self):
        short = kxtest.write_audio(self.path("tl-short.wav"), self.alice[:1000])
        # 4 s of one voice against its profile and the opposite one: the random test model
        # tells apart little else
        alice, other = self.path("one-alice.profile"), self.path("one-opposite.profile")
        self.enroll(alice, self.alice_wav)
        (-np.fromfile(alice, dtype="<f4")).tofile(other)
        r = run("timeline", "--model", self.model, "--profile", alice, "--profile", other, "--json", short,
                self.alice_wav)
        self.assertEqual(r.returncode, 2, r.stderr)
        doc = json.loads(r.stdout)
        self.assertIn("too short", doc["files"][0]["error"])
        self.assertEqual([s["label"] for s in doc["files"][1]["segments"] if s["label"] != "no speech"],
                         ["one-alice"])
        # --window sums the windows around each hop; it cannot be less than one window.
        self.assertEqual(json.loads(self.timeline("--json", "--window", "0.5", self.alice_wav).stdout)["window"], 0.5)
        self.assertIn("--window 0.1 s is shorter than the 0.13 s the model needs",
                      self.timeline("--window", "0.1", self.alice_wav, expect=2).stderr)
        for extra in (["--window", "x"], ["--json", "--rttm"], ["--hop", "0"], ["--speakers", "0"],
                      ["--min-turn", "-1"], ["--switch-cost", "x"], ["--min-pause", "-1"]):
            with self.subTest(extra=extra):
                self.assertIn("usage:", self.timeline(*extra, self.alice_wav, expect=1).stderr)


class BatchTest(ToolTestBase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.profile = cls.path("batch.profile")
        r = run("enroll", "--model", cls.model, "--voice-threshold", "0", "--min-chunks", "2", "--out", cls.profile,
                cls.alice_wav)
        assert r.returncode == 0, r.stderr
        cls.files = [kxtest.write_audio(cls.path(f"call{i}.wav"), kxtest.voice(100 + i, 2.0 + i % 3))
                     for i in range(6)]
        cls.broken = cls.path("broken.wav")
        with open(cls.broken, "wb") as f:
            f.write(b"RIFF\0\0\0\0WAVEjunk")

    def batch(self, *extra, expect=0):
        r = run("recognize", "--model", self.model, "--voice-threshold", "0", "--profile", self.profile, *extra)
        self.assertEqual(r.returncode, expect, r.stderr)
        return r

    @staticmethod
    def lines(text):
        return {d["file"]: d for d in map(json.loads, text.splitlines())}

    def test_jobs_give_the_results_of_one_thread(self):
        listing = self.path("list.txt")
        with open(listing, "w") as f:
            f.write("\n".join(self.files[2:] + ["", self.broken]) + "\n")
        one = self.batch("--jsonl", *self.files[:2], "--list", listing, expect=2)
        two = self.batch("--jsonl", "--jobs", "3", *self.files[:2], "--list", listing, expect=2)
        self.assertEqual(self.lines(one.stdout), self.lines(two.stdout))
        results = self.lines(two.stdout)
        self.assertEqual(set(results), set(self.files) | {self.broken})
        self.assertIn("cannot decode", results[self.broken]["error"])
        self.assertIn("6 file(s) scored, 1 failed", two.stderr)
        # The one-document form keeps the input order whatever finished first.
        doc = json.loads(self.batch("--json", "--jobs", "2", *self.files).stdout)
        self.assertEqual([r["file"] for r in doc["results"]], self.files)
        self.assertEqual(doc["results"], [results[f] for f in self.files])

    def test_resume_skips_what_the_output_holds_and_tries_failures_again(self):
        out = self.path("resume.jsonl")
        self.batch("--output", out, "--jobs", "2", *self.files[:3], self.broken, expect=2)
        with open(out) as f:
            lines = f.readlines()
        first = [line for line in lines if self.broken not in line and self.files[2] not in line]
        # A run stopped while writing leaves half a line: it is dropped and that file done again.
        # Complete lines that are not JSON (a bad escape, a damaged value) are dropped and
        # reported, and their files scored again; "./" spells the same path.
        with open(out, "w") as f:
            f.writelines(line if self.files[2] not in line else
                         '{"file": "%s", "seconds": ###garbage}\n' % self.files[2] for line in lines)
            f.write('{"file": "\\uZZZZ", "seconds": 1}\n{"file": "%s", "seconds": 2' % self.files[3])
        dotted = [os.path.join(os.path.dirname(f), ".", os.path.basename(f)) for f in self.files]
        # The failure may have passed (memory, a GPU): it is tried again, and its old line goes.
        r = self.batch("--output", out, "--resume", "--jobs", "2", *dotted, self.broken, expect=2)
        self.assertIn("2 line(s) of %s were not valid JSON and were dropped" % out, r.stderr)
        self.assertIn("4 file(s) scored, 1 failed, 2 skipped (already in %s), 1 failed before and tried again" % out,
                      r.stderr)
        self.assertEqual(r.stdout, "")
        with open(out) as f:
            text = f.read()
        self.assertTrue(text.startswith("".join(first)))
        self.assertNotIn("ZZZZ", text)
        files = [os.path.normpath(json.loads(line)["file"]) for line in text.splitlines()]
        self.assertEqual(sorted(files), sorted(self.files + [self.broken]))
        # --skip-failed keeps the old way: a failed file counts as done.
        r = self.batch("--output", out, "--resume", "--skip-failed", *self.files, self.broken)
        self.assertIn("0 file(s) scored, 0 failed, 7 skipped (already in %s, failures included)" % out, r.stderr)
        r = self.batch("--output", out, "--resume", *self.files)
        self.assertIn("0 file(s) scored, 0 failed, 6 skipped", r.stderr)
        self.assertIn("usage:", self.batch("--resume", *self.files, expect=1).stderr)
        self.assertIn("usage:", self.batch("--skip-failed", "--output", out, *self.files, expect=1).stderr)
        self.assertIn("usage:", self.batch("--json", "--output", out, *self.files, expect=1).stderr)

    def test_a_path_given_twice_is_scored_once(self):
        listing = self.path("twice.txt")
        with open(listing, "w") as f:
            f.write("\n".join([self.files[0], self.files[1], self.files[0]]) + "\n")
        r = self.batch("--jsonl", self.files[0], "--list", listing)
        self.assertEqual([json.loads(line)["file"] for line in r.stdout.splitlines()], self.files[:2])
        self.assertIn("%s is given 3 times; scored once" % self.files[0], r.stderr)
        self.assertIn("2 file(s) scored, 0 failed, 1 given more than once", r.stderr)

    def test_paths_that_are_not_utf8_give_valid_json_and_resume(self):
        # A Linux path may hold any bytes; they come back as Python's surrogate escapes.
        odd = os.fsdecode(os.fsencode(self.path("odd-")) + b"\xff\xc3(.wav")
        os.replace(kxtest.write_audio(self.path("odd.wav"), kxtest.voice(7, 2.0)), odd)
        out = self.path("odd.jsonl")
        self.batch("--output", out, odd)
        with open(out, "rb") as f:
            raw = f.read()
        raw.decode("utf-8")  # valid UTF-8 text
        self.assertEqual(json.loads(raw)["file"], odd)
        r = self.batch("--output", out, "--resume", odd)
        self.assertIn("0 file(s) scored, 0 failed, 1 skipped", r.stderr)

    def test_progress_bar_only_on_a_terminal(self):
        import pty
        master, slave = pty.openpty()
        args = [TOOL, "recognize", "--model", self.model, "--voice-threshold", "0", "--profile", self.profile,
                "--jsonl", *self.files]
        proc = subprocess.run(args, stdout=subprocess.PIPE, stderr=slave, timeout=300)
        os.close(slave)
        shown = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk
        os.close(master)
        self.assertEqual(proc.returncode, 0)
        self.assertRegex(shown.decode(), r"\] 6/6 files, 0\.01 h of audio, 0:00 left")
        plain = self.batch("--jsonl", *self.files)
        self.assertNotIn("files,", plain.stderr)


class NoSpeechTest(ToolTestBase):
    def test_silence_and_faint_hiss_say_no_speech(self):
        model = kxtest.write_model(self.path("window48.kx"), window_frames=48, lookahead_frames=8,
                                   embedding_size=EMBEDDING)  # the default model's window
        a = self.path("a.profile")
        self.enroll(a, self.alice_wav, model=model)
        # a quiet room's hiss, about -60 dBFS RMS: the default voice threshold must not hear it
        hiss = kxtest.write_audio(self.path("hiss.wav"), 0.001 * np.random.default_rng(3).standard_normal(48000))
        for quiet in (self.silence_wav, hiss):
            with self.subTest(quiet=os.path.basename(quiet)):
                r = run("recognize", "--model", model, "--profile", a, quiet)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertIn("no speech", r.stdout)
                self.assertNotIn("0.000", r.stdout)
                r = run("recognize", "--model", model, "--profile", a, "--json", quiet)
                result = json.loads(r.stdout)["results"][0]
                self.assertFalse(result["speech"])
                self.assertEqual(result["scores"], [])
                self.assertIsNone(result["best"])

    def test_enrolling_silence_says_how_much_is_missing(self):
        out = self.path("nothing.profile")
        r = run("enroll", "--model", self.model, "--min-chunks", "5", "--out", out, self.silence_wav)
        self.assertEqual(r.returncode, 2, r.stderr)
        self.assertIn("not enough speech", r.stderr)
        self.assertIn("0 of 5 speech windows", r.stderr)
        self.assertIn("more speech is needed", r.stderr)
        self.assertFalse(os.path.exists(out))

    def test_partial_enrollment_reports_progress(self):
        # 4 s hold some windows of 0.128 s; ask for far more than that.
        out = self.path("partial.profile")
        r = run("enroll", "--model", self.model, "--voice-threshold", "0", "--min-chunks", "100", "--out", out,
                self.alice_wav)
        self.assertEqual(r.returncode, 2, r.stderr)
        self.assertRegex(r.stderr, r"reached [1-9][0-9]?% \([1-9][0-9]* of 100 speech windows")
        self.assertFalse(os.path.exists(out))


class InputProblemTest(ToolTestBase):
    def test_profile_of_another_size_is_refused(self):
        wrong = self.path("wrong.profile")
        np.zeros(EMBEDDING + 1, dtype="<f4").tofile(wrong)
        r = run("recognize", "--model", self.model, "--profile", wrong, self.alice_wav)
        self.assertEqual(r.returncode, 2)
        self.assertIn("68 bytes", r.stderr)
        self.assertIn("64", r.stderr)
        self.assertIn("another model", r.stderr)

    def test_profile_of_another_model_is_refused(self):
        other_model = kxtest.write_model(self.path("other.kx"), embedding_size=24, seed=5)
        other = self.path("other.profile")
        r = run("enroll", "--model", other_model, "--voice-threshold", "0", "--min-chunks", "1", "--out", other,
                self.alice_wav)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(os.path.getsize(other), 96)
        r = run("recognize", "--model", self.model, "--profile", other, self.alice_wav)
        self.assertEqual(r.returncode, 2)
        self.assertIn("embedding size 16", r.stderr)

    def test_missing_files(self):
        missing = self.path("missing.wav")
        r = run("enroll", "--model", self.model, "--out", self.path("x.profile"), self.alice_wav, missing)
        self.assertEqual(r.returncode, 2)
        self.assertIn(missing, r.stderr)
        r = run("recognize", "--model", self.model, "--profile", self.path("missing.profile"), self.alice_wav)
        self.assertEqual(r.returncode, 2)
        self.assertIn("missing.profile", r.stderr)
        r = run("info", "--model", self.path("missing.kx"))
        self.assertEqual(r.returncode, 2)

    def test_one_bad_file_does_not_hide_the_others(self):
        a = self.path("keep.profile")
        self.enroll(a, self.alice_wav)
        not_audio = self.path("notes.txt")
        with open(not_audio, "w") as f:
            f.write("not audio\n")
        short = kxtest.write_audio(self.path("short.wav"), self.alice[:1000])
        doc = self.recognize_json([a], [not_audio, self.alice_wav, short], expect=2)
        bad, good, too_short = doc["results"]
        self.assertIn("cannot decode", bad["error"])
        self.assertTrue(good["speech"])
        self.assertIn("too short", too_short["error"])


class DecodeTest(ToolTestBase):
    def test_undecodable_file_says_so_without_decoder_notes(self):
        noise = self.path("noise.mp3")
        with open(noise, "wb") as f:
            f.write(np.random.default_rng(3).integers(0, 256, 20000, dtype=np.uint8).tobytes())
        r = run("convert", noise, self.path("noise.wav"))
        self.assertEqual(r.returncode, 2)
        self.assertEqual(r.stderr.splitlines(), [f"kx-orvel: {noise}: cannot decode: not an audio format the tool "
                                                 "reads (WAV, FLAC, OGG, MP3, ...), or damaged"])
        r = run("convert", self.path("absent.mp3"), self.path("absent.wav"))
        self.assertEqual(r.returncode, 2)
        self.assertIn("No such file", r.stderr)

    def test_convert_writes_what_the_library_takes(self):
        import wave
        stereo = kxtest.write_audio(self.path("stereo48k.wav"),
                                    np.stack([EnrollRecognizeTest._resample(self.alice, 48000)] * 2, axis=1), 48000)
        out = self.path("converted.wav")
        r = run("convert", stereo, out)
        self.assertEqual(r.returncode, 0, r.stderr)
        with wave.open(out) as w:
            self.assertEqual((w.getframerate(), w.getnchannels(), w.getsampwidth()), (16000, 1, 2))
            self.assertAlmostEqual(w.getnframes(), len(self.alice), delta=32)


class LibraryFailureTest(ToolTestBase):
    def test_a_sentence_first_and_the_stack_under_verbose(self):
        r = run("info", "--model", self.model, "--device", "tpu")
        self.assertEqual(r.returncode, 3)
        self.assertTrue(r.stderr.startswith("kx-orvel: 'tpu' is not a device: pass best, cpu"), r.stderr)
        self.assertIn("--verbose shows the library's error stack", r.stderr)
        self.assertNotIn("a01eaf2", r.stderr)
        r = run("info", "--model", self.model, "--device", "tpu", "--verbose")
        self.assertEqual(r.returncode, 3)
        self.assertIn("kx_orvel_init failed: INVALID_ARGUMENT", r.stderr)
        self.assertIn("tpu is not a valid device string", r.stderr)
        self.assertRegex(r.stderr, r"\n  a01eaf2 [0-9A-F]{8}: ")

    def test_gpu_without_a_plugin_says_how_to_get_one(self):
        env = dict(os.environ, KX_ORVEL_GPU_PLUGIN=self.path("no-such-plugin.so"))
        r = subprocess.run([TOOL, "info", "--model", self.model, "--device", "gpu"], capture_output=True,
                           text=True, env=env)
        self.assertEqual(r.returncode, 3)
        self.assertIn("no GPU plug-in at %s: build with -DKX_BUILD_VULKAN=ON" % env["KX_ORVEL_GPU_PLUGIN"], r.stderr)

    def test_the_devices_range_is_not_a_device(self):
        r = run("info", "--model", self.model, "--device", "cpu:[0-2]")
        self.assertEqual(r.returncode, 1)
        self.assertIn("pass one value in it, such as --device cpu:2", r.stderr)

    def test_model_of_another_kind(self):
        bad = kxtest.write_model(self.path("bad.kx"), magic=b"wrong")
        for args in (["info"], ["enroll", "--out", self.path("b.profile"), self.alice_wav],
                     ["recognize", "--profile", self.path("b.profile"), self.alice_wav]):
            with self.subTest(command=args[0]):
                r = run(args[0], "--model", bad, "--verbose", *args[1:])
                self.assertEqual(r.returncode, 3, r.stderr)
                self.assertIn("not a kx_orvel model", r.stderr)
                self.assertIn("incorrect format", r.stderr)
                self.assertIn("da02a93", r.stderr)  # trace lines follow the cause

    def test_model_of_another_version(self):
        bad = kxtest.write_model(self.path("v2.kx"), version=b"2.9.1")
        r = run("info", "--model", bad, "--verbose")
        self.assertEqual(r.returncode, 3)
        self.assertIn("belongs to another version of the library", r.stderr)
        self.assertIn("2.9.1", r.stderr)


class UsageTest(ToolTestBase):
    def test_usage_errors_exit_1(self):
        cases = [
            [],
            ["frobnicate"],
            ["enroll", self.alice_wav],
            ["enroll", "--out", "x.profile"],
            ["recognize", self.alice_wav],
            ["recognize", "--profile", "a.profile"],
            ["recognize", "--profile", "a.profile", "--threshold", "1.5", self.alice_wav],
            ["enroll", "--out", "x.profile", "--min-chunks", "0", self.alice_wav],
            ["enroll", "--out", "x.profile", "--voice-threshold", "abc", self.alice_wav],
            ["info", "--no-such-option"],
            ["info", "--model"],
            ["devices", "extra"],
        ]
        for args in cases:
            with self.subTest(args=args):
                r = run(*args)
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn("usage: kx-orvel", r.stderr)

    def test_help_and_version(self):
        r = run("--help")
        self.assertEqual(r.returncode, 0)
        self.assertIn("enroll", r.stdout)
        r = run("--version")
        self.assertEqual(r.returncode, 0)
        self.assertRegex(r.stdout, r"^kx-orvel \d+\.\d+\.\d+")


class DevicesInfoTest(ToolTestBase):
    def test_devices(self):
        r = run("devices")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertRegex(r.stdout, r"(?m)^cpu:\[0-\d+\] - CPU \(\d+ threads\)$")
        doc = json.loads(run("devices", "--json").stdout)
        self.assertEqual(doc["devices"], r.stdout.splitlines())

    def test_info_shows_header_and_sizes(self):
        r = run("info", "--model", self.model)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("4 frames (0.128 s)", r.stdout)
        self.assertIn("embedding size    16 (profile 64 bytes)", r.stdout)
        self.assertIn("min audio length  2048 samples", r.stdout)
        doc = json.loads(run("info", "--model", self.model, "--json").stdout)
        self.assertEqual(doc["window_frames"], 4)
        self.assertEqual(doc["lookahead_frames"], 2)
        self.assertEqual(doc["score_thresholds"], [-1.0, 0.0, 1.0])
        self.assertEqual((doc["frame_length"], doc["hop_length"], doc["num_bands"]), (512, 256, 40))
        self.assertEqual(doc["layers"], [{"hidden_size": 8, "input_size": 40}])
        self.assertEqual((doc["embedding_size"], doc["pooled_size"], doc["projection_kind"]), (16, 8, 1))
        self.assertEqual(doc["parameter_count"], 2 * (3 * 8 * 48 + 3 * 8) + 16 * 8)
        self.assertEqual(doc["min_audio_samples"], 2048)
        self.assertEqual(doc["file_size"], os.path.getsize(self.model))

    def test_model_from_environment(self):
        r = run("info", "--json", env={"KX_ORVEL_MODEL": self.model})
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(json.loads(r.stdout)["model"], self.model)
        r = run("info", env={"KX_ORVEL_MODEL": self.path("nowhere.kx")})
        self.assertEqual(r.returncode, 2)
        self.assertIn("KX_ORVEL_MODEL", r.stderr)


if __name__ == "__main__":
    unittest.main()
