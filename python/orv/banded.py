"""Encoder side of context model 2: the residual histograms of the shard
coder's fine gradient classes split by intensity band, for the class merge
(orv.model.merge_classes) to weigh against the classes alone."""
from __future__ import annotations

from typing import NamedTuple

import numpy as np

from . import model
from .analysis import analyse

# the bands cut the intensities at these quantiles of the image's (green)
# samples: on the bench photos the tails (shadows, highlights near clipping)
# pay more as bands of their own than the quartiles do
QUANTILES = (0.1, 0.5, 0.9)
# the other cuts that the thorough search (effort 5) codes and weighs
MORE_QUANTILES = ((0.25, 0.5, 0.75), (0.05, 0.3, 0.7))
# below this many pixels the stored tables outweigh what the bands save
MIN_PIXELS = 1 << 16
# the quantiles are read from one sample in this many: the same thresholds
# on photos, a fraction of the work
_STRIDE = 7


class Cells(NamedTuple):
    hist: np.ndarray                 # (planes, classes * bands, 256), class-major
    thresholds: tuple[int, ...]      # the bands' intensity thresholds


def thresholds(img: np.ndarray, quantiles=QUANTILES) -> tuple[int, ...]:
    """Intensity thresholds at the quantiles of the gray or green samples
    (distinct, within 1..255; none for a flat image)."""
    v = (img if img.ndim == 2 else img[:, :, 1]).reshape(-1)[::_STRIDE]
    q = np.sort(v)[(np.asarray(quantiles) * (len(v) - 1)).astype(np.int64)].astype(int) + 1
    return tuple(t for t in sorted(set(q.tolist())) if 1 <= t <= 255)


def cell_histograms(img: np.ndarray, bounds: tuple[int, ...], class_map: np.ndarray,
                    quantiles=QUANTILES) -> Cells | None:
    """The histograms of every (shard, band) cell of the shards that
    `class_map` makes of the gradient classes, or None when the image is too
    small or has a single band. A context number is a byte, so the cells go
    into as few analyses as fit: the bands of one analysis give their cells,
    the others go to one spare shard."""
    t = thresholds(img, quantiles)
    if not t or img.shape[0] * img.shape[1] < MIN_PIXELS:
        return None
    B = len(t) + 1
    G = int(class_map.max()) + 1
    nc = 1 if img.ndim == 2 else 3
    s, i, _ = model.luts(bounds, np.zeros(model.map_entries(bounds, t), dtype=np.uint8), t)
    per_pass = max(1, min(B, (model.MAX_SHARDS - 1) // G))
    hist = np.zeros((nc, G, B, 256), dtype=np.uint32)
    cm = class_map.astype(np.int64)
    for first in range(0, B, per_pass):
        here = range(first, min(B, first + per_pass))
        spare = G * len(here)
        d = np.full((len(cm), 4), spare, dtype=np.uint8)
        for j, b in enumerate(here):
            d[:, b] = cm * len(here) + j
        got = analyse(img, spare + 1, (s, i, d)).p1.hist[:nc, :spare]
        hist[:, :, first:first + len(here)] = got.reshape(nc, G, len(here), 256)
    return Cells(hist.reshape(nc, G * B, 256), t)
