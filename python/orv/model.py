"""Context tables and templates of the orv container.

Everything here is computed with integer arithmetic only, so the tables are
the same on every machine and every NumPy version: a file names the model it
was written with (``MODEL_ID``) and the decoder rebuilds exactly the tables
the encoder used. A model, once released, is never changed; a better model
gets a new id and the old one stays here so that old files keep decoding.

Model 1
-------
Gradient classes (``s_lut``, 511 x 511, indexed by W-NW+255 and N-NW+255):
with dW = W-NW and dN = N-NW, the local activity is
``a = (|dW| + |dN| + |dW - dN|) / 2``, which is max(|dW|, |dN|) when both
gradients have the same sign and |dW| + |dN| when they do not (the last term
is |W - N|). ``a`` is cut into 16 classes at ``ACTIVITY_BOUNDS``.

Intensity bands (``i_lut``, 256 entries): the intensity key (the prediction
for green and gray, the co-located green sample for the chroma planes) falls
into one of four bands cut at ``INTENSITY_BOUNDS``.

Context maps (``d_lut``): the 16 activity classes are merged into ``ga``
groups (1, 2, 4, 8 or 16, neighbouring classes together) and the four
intensity bands into ``gi`` groups (1, 2 or 4); the context number is
``activity_group * gi + intensity_group``, so a map with (ga, gi) yields
``ga * gi`` contexts. The shard coder uses one shard per context and channel;
the bit-pair coder uses the context number as the upper part of its
bit-pair context.

Templates (64 rows of 256 frequencies summing to 4096, every entry >= 1):
two-sided geometric distributions of the prediction error seen through the
zigzag mapping, p(z) ~ r^ceil(z/2), for 32 ratios r, and the same 32 mixed
with a flat floor of 1/64 for heavy-tailed shards.
"""
from __future__ import annotations

from functools import lru_cache

import numpy as np

MODEL_ID = 1
SCALE = 4096
N_ACTIVITY = 16
N_INTENSITY = 4
ACTIVITY_BOUNDS = (1, 2, 3, 4, 5, 6, 8, 10, 13, 16, 20, 25, 32, 42, 56)
INTENSITY_BOUNDS = (32, 96, 176)
ACTIVITY_GROUPS = (1, 2, 4, 8, 16)
INTENSITY_GROUPS = (1, 2, 4)
N_TEMPLATES = 64
# ratios of the geometric templates, in 1/4096 (from steep to nearly flat)
_RATIOS = (205, 410, 614, 819, 1024, 1229, 1434, 1638, 1843, 2048, 2253, 2458,
           2662, 2867, 3072, 3277, 3379, 3482, 3584, 3686, 3789, 3850, 3891, 3932,
           3973, 3994, 4014, 4035, 4055, 4066, 4076, 4086)


def check_model(model_id: int) -> None:
    if model_id != MODEL_ID:
        raise ValueError(f"unknown context model {model_id}")


@lru_cache(maxsize=None)
def s_lut() -> np.ndarray:
    """Gradient-pair classes, shape (511, 511), values 0..15."""
    d = np.arange(-255, 256, dtype=np.int32)
    dw = d[:, None]
    dn = d[None, :]
    a = (np.abs(dw) + np.abs(dn) + np.abs(dw - dn)) // 2
    cls = np.zeros(a.shape, dtype=np.uint8)
    for b in ACTIVITY_BOUNDS:
        cls += (a >= b).astype(np.uint8)
    cls.setflags(write=False)
    return cls


@lru_cache(maxsize=None)
def i_lut() -> np.ndarray:
    """Intensity bands, 256 entries, values 0..3."""
    v = np.arange(256)
    band = np.zeros(256, dtype=np.uint8)
    for b in INTENSITY_BOUNDS:
        band += (v >= b).astype(np.uint8)
    band.setflags(write=False)
    return band


def check_groups(ga: int, gi: int) -> None:
    if ga not in ACTIVITY_GROUPS or gi not in INTENSITY_GROUPS:
        raise ValueError(f"invalid context grouping ({ga}, {gi})")


@lru_cache(maxsize=None)
def d_lut(ga: int, gi: int) -> np.ndarray:
    """Context map of shape (16, 4): ga*gi contexts, numbered activity-major."""
    check_groups(ga, gi)
    act = np.arange(N_ACTIVITY)[:, None] * ga // N_ACTIVITY
    inten = np.arange(N_INTENSITY)[None, :] * gi // N_INTENSITY
    table = (act * gi + inten).astype(np.uint8)
    table.setflags(write=False)
    return table


def n_contexts(ga: int, gi: int) -> int:
    return ga * gi


def _normalise(weights: list[int]) -> list[int]:
    """Integer weights to 256 frequencies >= 1 summing to 4096 (largest remainder)."""
    total = sum(weights)
    spare = SCALE - len(weights)  # every symbol keeps at least 1
    base = [w * spare // total for w in weights]
    rem = [(w * spare) % total for w in weights]
    left = spare - sum(base)
    order = sorted(range(len(weights)), key=lambda s: (-rem[s], s))
    for s in order[:left]:
        base[s] += 1
    return [b + 1 for b in base]


@lru_cache(maxsize=None)
def templates() -> np.ndarray:
    """The 64 template tables, uint64 (64, 256)."""
    rows = []
    one = 1 << 48
    for flat_floor in (False, True):
        for r in _RATIOS:
            level = [one]
            for _ in range(128):
                level.append(level[-1] * r // SCALE)
            w = [level[(z + 1) // 2] for z in range(256)]
            if flat_floor:
                floor = sum(w) // (64 * 256)
                w = [x + floor for x in w]
            rows.append(_normalise(w))
    t = np.array(rows, dtype=np.uint64)
    t.setflags(write=False)
    return t


@lru_cache(maxsize=None)
def template_costs() -> np.ndarray:
    """Bits per occurrence of each symbol under each template, float64 (256, T)."""
    t = templates().astype(np.float64)
    return (12.0 - np.log2(t)).T.copy()
