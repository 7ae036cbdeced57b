"""kx_orvel.dask on a LocalCluster of two worker processes (Debian: python3-distributed,
python3-pandas; skipped without them). KX_ORVEL_LIBRARY and PYTHONPATH as for the binding."""

import glob
import os
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

try:
    import distributed
    import dask
    import pandas as pd
    import kx_orvel.dask as kxdask
except ImportError as e:  # pragma: no cover
    distributed = None
    missing = str(e)


@unittest.skipIf(distributed is None, "python3-distributed or python3-pandas is not installed")
class DaskTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory(prefix="kx-dask-")
        cls.dir = cls._tmp.name
        cls.model = kxtest.write_model(os.path.join(cls.dir, "model.kx"))
        kx_orvel.log_disable()
        cls.profiles = {}
        for name, seed in (("alice", 11), ("bob", 22)):
            with kx_orvel.Profiler(cls.model, min_enrollment_chunks=2, voice_threshold=0.0) as p:
                p.enroll(kxtest.to_int16(kxtest.voice(seed, 4.0)))
                p.flush()
                cls.profiles[name] = p.export()
        cls.files = [kxtest.write_audio(os.path.join(cls.dir, f"call{i}.wav"), kxtest.voice(100 + i, 2.0 + i % 3))
                     for i in range(7)]
        cls.files.insert(3, kxtest.write_audio(os.path.join(cls.dir, "quiet.wav"), kxtest.silence(2.0)))
        cls.files.insert(5, os.path.join(cls.dir, "missing.wav"))
        cls.options = dict(model_path=cls.model, voice_threshold=0.5, threshold=0.6, files_per_task=3)
        cls.cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                               dashboard_address=None, silence_logs=40)
        cls.client = distributed.Client(cls.cluster)

    @classmethod
    def tearDownClass(cls):
        cls.client.close()
        cls.cluster.close()
        cls._tmp.cleanup()

    def expected(self):
        """The same scores from one recognizer in this process."""
        names = list(self.profiles)
        rows = []
        with kx_orvel.Recognizer(self.model, voice_threshold=0.5) as r:
            for path in self.files:
                try:
                    scores = r.process(kx_orvel.read_audio(path), list(self.profiles.values()))
                except kx_orvel.AudioError:
                    rows.append((path, None))
                    continue
                rows.append((path, scores))
        return names, rows

    def check(self, frame):
        names, rows = self.expected()
        self.assertEqual(list(frame["file"]), self.files)
        for (path, scores), (_, row) in zip(rows, frame.iterrows()):
            if path.endswith("missing.wav"):
                self.assertIn("missing.wav", row["error"])
                continue
            self.assertTrue(pd.isna(row["error"]))
            self.assertEqual(row["speech"], scores is not None)
            if scores is None:
                self.assertTrue(all(np.isnan(row["score_" + n]) for n in names))
                continue
            got = np.array([row["score_" + n] for n in names], dtype=np.float32)
            np.testing.assert_array_equal(got, scores)
            best = int(np.argmax(scores))
            if scores[best] >= 0.6:
                self.assertEqual(row["best"], names[best])
            else:  # none, which a CSV column reads back as NaN
                self.assertTrue(pd.isna(row["best"]), row["best"])

    def test_cluster_gives_the_single_process_results(self):
        frame = kxdask.score_files(self.files, self.profiles, client=self.client, **self.options)
        self.check(frame)
        # Both worker processes (one thread each) did work, each with one recognizer kept
        # for its later tasks.
        loaded = self.client.run(lambda: kxdask._made)
        self.assertEqual(sorted(loaded.values()), [1, 1])

    def test_each_thread_scores_with_a_recognizer_of_its_own(self):
        # Recognizers serialise their calls: threads of one worker must not share one.
        seen = {}

        def take(i):
            seen[i] = [kxdask._recognizer(self.model, "best", 0.5) for _ in range(2)]

        threads = [threading.Thread(target=take, args=(i,)) for i in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertIs(seen[0][0], seen[0][1])
        self.assertIsNot(seen[0][0], seen[1][0])
        # And the threaded scheduler gives the single-thread results.
        with dask.config.set(scheduler="threads", num_workers=3):
            self.check(kxdask.score_files(self.files, self.profiles, **self.options))

    def test_bag_input_and_csv_partitions(self):
        import dask.bag

        bag = dask.bag.from_sequence(self.files, npartitions=4)
        out = os.path.join(self.dir, "scores")
        kxdask.write_scores(bag, self.profiles, out, client=self.client, **self.options)
        parts = sorted(glob.glob(os.path.join(out, "part-*.csv")), key=lambda p: int(p.split("-")[-1][:-4]))
        self.assertEqual(len(parts), bag.npartitions)
        frame = pd.concat([pd.read_csv(p, dtype={"score_alice": np.float32, "score_bob": np.float32})
                           for p in parts], ignore_index=True)
        self.check(frame)


if __name__ == "__main__":
    unittest.main()
