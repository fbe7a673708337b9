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

    @property
    def alpha_residuals(self) -> np.ndarray | None:
        return None if self.alpha is None else self.p1.alpha_residuals


def analyse(img: np.ndarray, n_shards: int, luts) -> Analysed:
    """Phase one of a checked image with `n_shards` shards per plane."""
    h, w = img.shape[:2]
    ch = 1 if img.ndim == 2 else img.shape[2]
    if ch == 1:
        return Analysed(h, w, 1, native.p1_gray(h, w, img, n_shards, luts), None)
    alpha = np.ascontiguousarray(img[:, :, 3]) if ch == 4 else None
    rgb = img if ch == 3 else np.ascontiguousarray(img[:, :, :3])
    return Analysed(h, w, ch, native.p1_rgb(h, w, rgb, alpha, n_shards, luts), alpha)
