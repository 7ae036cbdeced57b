"""Scoring an archive on a Dask cluster (Debian: python3-distributed, python3-pandas).

    from distributed import Client
    import kx_orvel.dask
    client = Client("tcp://scheduler:8786")       # or Client(LocalCluster(...))
    frame = kx_orvel.dask.score_files(paths, ["alice.profile", "bob.profile"], client=client)

Files go to the workers in tasks of `files_per_task`; each worker thread loads the
model once and keeps its own recognizer for every later task, so a worker with several
threads scores as many files at once. Paths (audio,
profiles, a model_path given) must be readable on the workers; by default each worker
finds its own default model.
"""

import math
import os
import threading

import dask
import dask.bag
import dask.dataframe
import numpy as np
import pandas as pd

from .audio import AudioError, read_audio
from . import DEFAULT_VOICE_THRESHOLD
from .segments import profile_names

# A recognizer serialises its calls: one shared by a worker's threads would score one
# file at a time.
_local = threading.local()
_made = 0  # recognizers this process has made, for tests
_made_lock = threading.Lock()


def _recognizer(model_path, device, voice_threshold):
    """This thread's recognizer for these settings, made on first use."""
    from . import Recognizer

    recognizers = getattr(_local, "recognizers", None)
    if recognizers is None:
        recognizers = _local.recognizers = {}
    key = (model_path, device, voice_threshold)
    if key not in recognizers:
        recognizers[key] = Recognizer(model_path, device=device, voice_threshold=voice_threshold)
        global _made
        with _made_lock:
            _made += 1
    return recognizers[key]


def _columns(names):
    return ["file", "seconds", "speech", "best", "error"] + ["score_" + n for n in names]


def _meta(names):
    meta = {"file": pd.Series(dtype=object), "seconds": pd.Series(dtype=np.float64),
            "speech": pd.Series(dtype=bool), "best": pd.Series(dtype=object), "error": pd.Series(dtype=object)}
    for n in names:
        meta["score_" + n] = pd.Series(dtype=np.float32)
    return pd.DataFrame(meta, columns=_columns(names))


def _score_partition(files, names, profiles, model_path, device, voice_threshold, threshold):
    """One row per file: seconds, speech, best (a name at or above the threshold, else
    None), error (why a file could not be scored), one score column per profile."""
    from . import KxError

    recognizer = _recognizer(model_path, device, voice_threshold)
    rows = []
    for path in files:
        row = {"file": path, "seconds": math.nan, "speech": False, "best": None, "error": None}
        scores = None
        try:
            pcm = read_audio(path)
            row["seconds"] = len(pcm) / 16000
            scores = recognizer.process(pcm, profiles)
        except (AudioError, ValueError, KxError) as e:
            row["error"] = str(e) if path in str(e) else f"{path}: {e}"
        if scores is not None:
            row["speech"] = True
            best = int(np.argmax(scores))
            row["best"] = names[best] if scores[best] >= threshold else None
        for i, n in enumerate(names):
            row["score_" + n] = np.float32(scores[i]) if scores is not None else np.float32("nan")
        rows.append(row)
    frame = pd.DataFrame(rows, columns=_columns(names)) if rows else _meta(names)
    return frame.astype(_meta(names).dtypes.to_dict())


def _profiles(profiles):
    from . import load_profile

    if isinstance(profiles, dict):
        return list(profiles), [np.asarray(p, dtype=np.float32) for p in profiles.values()]
    paths = list(profiles)
    return profile_names(paths), [load_profile(p) for p in paths]


def score_frame(files, profiles, model_path=None, device="best", voice_threshold=DEFAULT_VOICE_THRESHOLD, threshold=0.5,
                files_per_task=64):
    """A lazy dask DataFrame of the scores: one row per file, one partition per task.

    `files`: a list of paths or a dask bag of paths. `profiles`: a dict of name -> profile
    array, or a list of profile files (named like the tool names them).
    """
    names, arrays = _profiles(profiles)
    if not arrays:
        raise ValueError("at least one profile is needed")
    if not isinstance(files, dask.bag.Bag):
        files = [os.fspath(f) for f in files]
        if not files:
            return dask.dataframe.from_pandas(_meta(names), npartitions=1)
        files = dask.bag.from_sequence(files, partition_size=files_per_task)
    score = dask.delayed(_score_partition, pure=True)
    parts = [score(part, names, arrays, model_path, device, voice_threshold, threshold)
             for part in files.to_delayed()]
    return dask.dataframe.from_delayed(parts, meta=_meta(names), verify_meta=False)


def score_files(files, profiles, client=None, **options):
    """The scores as a pandas DataFrame in the order of `files`, computed on `client`
    (a distributed.Client), or on the default scheduler when there is none."""
    frame = score_frame(files, profiles, **options)
    result = client.compute(frame).result() if client is not None else frame.compute()
    return result.reset_index(drop=True)


def write_scores(files, profiles, path, format="csv", client=None, **options):
    """Writes the scores as partitions under the directory `path` (part-0.csv, ... or
    Parquet files), one per task, from the workers: `path` must be one they all reach.
    Returns what dask returns (the CSV file names)."""
    frame = score_frame(files, profiles, **options)
    compute = {"scheduler": client} if client is not None else {}
    if format == "csv":
        os.makedirs(path, exist_ok=True)
        return frame.to_csv(os.path.join(path, "part-*.csv"), index=False, float_format="%.9g",
                            compute_kwargs=compute)
    if format == "parquet":
        return frame.to_parquet(path, write_index=False, compute_kwargs=compute)
    raise ValueError(f"format must be 'csv' or 'parquet', not {format!r}")
