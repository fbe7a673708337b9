"""Phase one of encoding, shared by both coders: the colour transform, the
prediction residuals and the shard statistics of an image, from one call of
the module."""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from . import native


@dataclass
class Analysed:
    h: int
    w: int
    channels: int
    p1: native.PhaseOne      # planes, residuals and shard counts
    alpha: np.ndarray | None  # the alpha samples, (h, w)
    # the shard coder's input when phase two ran with phase one: each colour
    # plane's residuals in its shards (h * w bytes a plane), then room for alpha's
    streams: np.ndarray | None = None

    @property
    def alpha_residuals(self) -> np.ndarray | None:
        return None if self.alpha is None else self.p1.alpha_residuals


def analyse(img: np.ndarray, n_shards: int, luts, place: bool = False) -> Analysed:
    """Phase one of a checked image with `n_shards` shards per plane; with
    `place`, phase two too (Analysed.streams), in the same call."""
    h, w = img.shape[:2]
    ch = 1 if img.ndim == 2 else img.shape[2]
    n_col = 1 if ch == 1 else 3
    alpha = np.ascontiguousarray(img[:, :, 3]) if ch == 4 else None
    data = streams = None
    if place:
        data = np.empty((n_col + (alpha is not None)) * h * w, dtype=np.uint8)
        streams = [data[c * h * w:(c + 1) * h * w] for c in range(n_col)]
    if ch == 1:
        p1 = native.p1_p2_gray(h, w, img, n_shards, luts, streams[0]) if place else \
            native.p1_gray(h, w, img, n_shards, luts)
        return Analysed(h, w, 1, p1, None, data)
    rgb = img if ch == 3 else np.ascontiguousarray(img[:, :, :3])
    p1 = native.p1_p2_rgb(h, w, rgb, alpha, n_shards, luts, streams) if place else \
        native.p1_rgb(h, w, rgb, alpha, n_shards, luts)
    return Analysed(h, w, ch, p1, alpha, data)
