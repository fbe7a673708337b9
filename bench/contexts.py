"""Realistic context tables for the image side (benchmarks and front ends).

A lossless predictive coder chooses a sample's context from how busy its
neighbourhood is and how bright it is. The three tables here do that:

- ``s_lut`` (511 x 511, indexed by W-NW+255 and N-NW+255) quantises each of
  the two gradients W-NW and N-NW into 11 signed levels (magnitudes 0, 1-2,
  3-6, 7-14, 15-30, 31+ with their signs) and names the pair by one row of
  ``d_lut``: 121 rows;
- ``i_lut`` (256) splits the intensity key into four bands of 64 values;
- ``d_lut`` (121 x 4) maps a gradient pair and a band to a shard: the pairs
  are ordered by activity (the sum of the two magnitude levels, then the
  direction of the stronger gradient) and cut into ``n_shards // 4`` activity
  classes, each split by the four bands, so a table set has 16 to 64 shards.

The tables are plain uint8 arrays; ``s_lut`` and ``d_lut`` are 2-D as the
phase functions take them (``.reshape(-1)`` gives the 1-D form of the
bit-pair functions).
"""
from __future__ import annotations

import numpy as np

# upper bounds of the magnitude levels 0 .. 4; level 5 is everything above 30
MAGNITUDE_BOUNDS = (0, 2, 6, 14, 30)
LEVELS = len(MAGNITUDE_BOUNDS) + 1  # magnitude levels 0 .. 5
SIGNED = 2 * LEVELS - 1  # signed levels -5 .. 5
BANDS = 4


def magnitude_level(d: np.ndarray) -> np.ndarray:
    """0 .. 5 for a gradient magnitude 0 .. 255."""
    return np.searchsorted(np.asarray(MAGNITUDE_BOUNDS), np.abs(d), side="left").astype(np.int64)


def signed_level(d: np.ndarray) -> np.ndarray:
    """-5 .. 5 for a gradient -255 .. 255."""
    return np.sign(d) * magnitude_level(d)


def activity_classes(n_classes: int) -> np.ndarray:
    """Activity class (0 .. n_classes-1) of every pair of signed levels,
    indexed [q1 + 5, q2 + 5]."""
    q = np.arange(-(LEVELS - 1), LEVELS)
    q1, q2 = np.meshgrid(q, q, indexing="ij")
    m1, m2 = np.abs(q1), np.abs(q2)
    # order by total activity, then by which gradient dominates
    keys = sorted({(int(a), int(b)) for a, b in zip((m1 + m2).ravel(), np.sign(m1 - m2).ravel())})
    if n_classes > len(keys):
        raise ValueError(f"at most {len(keys)} activity classes")
    groups = np.array_split(np.arange(len(keys)), n_classes)
    class_of = {}
    for g, members in enumerate(groups):
        for i in members:
            class_of[keys[i]] = g
    return np.vectorize(lambda a, b: class_of[(int(a), int(b))])(m1 + m2, np.sign(m1 - m2))


def make_context_tables(n_shards: int = 32) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(s_lut, i_lut, d_lut) whose context numbers cover 0 .. 4*(n_shards//4)-1."""
    if not 16 <= n_shards <= 64:
        raise ValueError("n_shards must lie in 16 .. 64")
    n_classes = n_shards // BANDS
    d = np.arange(-255, 256)
    q = signed_level(d) + (LEVELS - 1)  # 0 .. 10
    s_lut = (q[:, None] * SIGNED + q[None, :]).astype(np.uint8)  # [W-NW+255, N-NW+255]
    i_lut = (np.arange(256) * BANDS // 256).astype(np.uint8)
    classes = activity_classes(n_classes).reshape(-1)  # row r = q1 * 11 + q2
    d_lut = (classes[:, None] * BANDS + np.arange(BANDS)[None, :]).astype(np.uint8)
    return np.ascontiguousarray(s_lut), i_lut, np.ascontiguousarray(d_lut)


def used_shards(n_shards: int) -> int:
    """The number of context numbers that make_context_tables(n_shards) can give."""
    return BANDS * (n_shards // BANDS)


if __name__ == "__main__":
    for n in (16, 32, 64):
        s, i, d = make_context_tables(n)
        print(n, s.shape, i.shape, d.shape, "contexts", len(np.unique(d)))
