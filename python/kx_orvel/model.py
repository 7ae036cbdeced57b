"""Header values and sizes of a .kx model file (little-endian, packed)."""

import os
import struct
from dataclasses import dataclass, field
from typing import List, Tuple


@dataclass
class ModelInfo:
    path: str
    file_size: int
    magic: str
    version: str
    window_frames: int
    lookahead_frames: int
    score_thresholds: Tuple[float, float, float]
    frame_length: int
    hop_length: int
    num_bands: int
    log_floor: float
    layer_count: int
    norm_epsilon: float
    layers: List[Tuple[int, int]] = field(default_factory=list)  # (hidden_size, input_size), forward direction
    embedding_size: int = 0
    pooled_size: int = 0
    projection_kind: int = 0
    parameter_count: int = 0

    @property
    def profile_size_bytes(self) -> int:
        return 4 * self.embedding_size

    @property
    def window_seconds(self) -> float:
        return self.window_frames * 512 / 16000.0


class _Reader:
    def __init__(self, f, path, size):
        self.f, self.path, self.size = f, path, size

    def take(self, n, what):
        data = self.f.read(n)
        if len(data) != n:
            raise ValueError(f"{self.path}: model file ends early or is corrupt (while reading {what})")
        return data

    def i32(self, what):
        return struct.unpack("<i", self.take(4, what))[0]

    def f32(self, what):
        return struct.unpack("<f", self.take(4, what))[0]

    def skip(self, n, what):
        if n < 0 or self.f.tell() + n > self.size:
            raise ValueError(f"{self.path}: model file ends early or is corrupt (while reading {what})")
        self.f.seek(n, os.SEEK_CUR)


def read_model_info(path) -> ModelInfo:
    """Reads the header, front-end and network sizes without loading the weights.

    Raises OSError when the file cannot be opened and ValueError when it is cut short.
    """
    path = os.fspath(path)
    size = os.path.getsize(path)
    with open(path, "rb") as f:
        r = _Reader(f, path, size)
        magic = r.take(5, "magic").decode("latin-1")
        version = r.take(5, "version").decode("latin-1")
        window_frames, lookahead = r.i32("header"), r.i32("header")
        thresholds = struct.unpack("<3f", r.take(12, "score thresholds"))
        frame_length, hop, bands = r.i32("front end"), r.i32("front end"), r.i32("front end")
        log_floor = r.f32("front end")
        if bands < 0:
            raise ValueError(f"{path}: model file is corrupt (negative band count)")
        r.skip(8 * bands, "band normalisation")
        layer_count, eps = r.i32("network"), r.f32("network")
        if not 0 <= layer_count <= 1024:
            raise ValueError(f"{path}: model file is corrupt (layer count {layer_count})")
        params = 0
        layers = []
        for direction in range(2):
            for _ in range(layer_count):
                h, i = r.i32("layer sizes"), r.i32("layer sizes")
                if h < 0 or i < 0:
                    raise ValueError(f"{path}: model file is corrupt (layer sizes)")
                r.skip(3 * h * (h + i), "layer weights")
                r.skip(3 * h, "layer bias")
                params += 3 * h * (h + i) + 3 * h
                if direction == 0:
                    layers.append((h, i))
        emb, pooled, kind = r.i32("embedding sizes"), r.i32("embedding sizes"), r.i32("embedding sizes")
        if emb < 0 or pooled < 0:
            raise ValueError(f"{path}: model file is corrupt (embedding sizes)")
        if kind != 0:
            r.skip(4 * emb * pooled, "projection")
            params += emb * pooled
    return ModelInfo(path, size, magic, version, window_frames, lookahead, tuple(thresholds), frame_length,
                     hop, bands, log_floor, layer_count, eps, layers, emb, pooled, kind, params)
