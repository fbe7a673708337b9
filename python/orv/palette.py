"""The palette transform: an image of at most 256 distinct pixels becomes a
gray plane of indices and a table of entries (every channel, alpha included).

Entries are ordered so that neighbouring indices are similar pixels, which
keeps the prediction residuals of the index plane small: by luma, or by a
greedy walk to the nearest unvisited entry.
"""
from __future__ import annotations

from typing import NamedTuple

import numpy as np

MAX_ENTRIES = 256
ORDERS = ("luma", "nearest")
_SAMPLE = 4096  # pixels looked at before a full count
_FEW_GRAY = 32   # gray values below which a palette is worth a try


class Palette(NamedTuple):
    entries: np.ndarray  # uint8 (n, channels), n in 1..256
    indices: np.ndarray  # uint8 (h, w)


def _packed(img: np.ndarray) -> np.ndarray:
    """One uint32 per pixel holding all its channels."""
    if img.ndim == 2:
        return img.astype(np.uint32)
    ch = img.shape[2]
    out = np.zeros(img.shape[:2], dtype=np.uint32)
    for c in range(ch):
        out |= img[:, :, c].astype(np.uint32) << np.uint32(8 * c)
    return out


def _unpacked(keys: np.ndarray, channels: int) -> np.ndarray:
    return np.stack([(keys >> np.uint32(8 * c)) & np.uint32(0xFF) for c in range(channels)],
                    axis=1).astype(np.uint8)


def few_colours(img: np.ndarray) -> bool:
    """Whether a palette may pay: a cheap test that rules out photos before
    the full count. Colour: a sample of the pixels has at most 256 values.
    Gray, whose values always fit: few of them are used, with gaps between."""
    if img.ndim == 2:
        flat = img.reshape(-1)
        step = flat.size // _SAMPLE
        # more values in a sample than the test allows rule the whole out
        # (a photo), without counting every pixel
        if step > 1 and np.count_nonzero(np.bincount(flat[::step], minlength=256)) > _FEW_GRAY:
            return False
        used = np.flatnonzero(np.bincount(flat, minlength=256))
        return len(used) <= _FEW_GRAY and len(used) < int(used[-1]) - int(used[0]) + 1
    flat = img.reshape(img.shape[0] * img.shape[1], -1)
    step = max(1, flat.shape[0] // _SAMPLE)
    sample = flat[::step]
    # one uint32 per sampled pixel (at most four channels): distinct pixels
    # are distinct numbers, and numbers sort far faster than byte strings
    keys = sample[:, 0].astype(np.uint32)
    for c in range(1, sample.shape[1]):
        keys |= sample[:, c].astype(np.uint32) << np.uint32(8 * c)
    keys.sort()
    return 1 + int(np.count_nonzero(keys[1:] != keys[:-1])) <= MAX_ENTRIES


def _luma(entries: np.ndarray) -> np.ndarray:
    e = entries.astype(np.int64)
    if e.shape[1] == 1:
        key = e[:, 0] * 1000
    else:
        key = e[:, 0] * 299 + e[:, 1] * 587 + e[:, 2] * 114
    # alpha first: transparent entries gather at one end
    return key if e.shape[1] in (1, 3) else key + e[:, 3] * 256000


def _nearest_walk(entries: np.ndarray) -> np.ndarray:
    """From the darkest entry, each next one the nearest of those left (L1)."""
    e = entries.astype(np.int64)
    n = len(e)
    dist = np.abs(e[:, None, :] - e[None, :, :]).sum(axis=2)
    order = [int(np.argmin(_luma(entries)))]
    left = np.ones(n, dtype=bool)
    left[order[0]] = False
    for _ in range(n - 1):
        d = np.where(left, dist[order[-1]], np.iinfo(np.int64).max)
        nxt = int(np.argmin(d))
        order.append(nxt)
        left[nxt] = False
    return np.array(order, dtype=np.int64)


def build(img: np.ndarray, order: str = "luma") -> Palette | None:
    """The palette form of a checked image, or None above 256 distinct pixels."""
    if order not in ORDERS:
        raise ValueError(f"order must be one of {', '.join(ORDERS)}, not {order!r}")
    ch = 1 if img.ndim == 2 else img.shape[2]
    keys, inverse = np.unique(_packed(img).reshape(-1), return_inverse=True)
    if len(keys) > MAX_ENTRIES:
        return None
    entries = _unpacked(keys, ch)
    perm = np.argsort(_luma(entries), kind="stable") if order == "luma" else _nearest_walk(entries)
    rank = np.empty(len(perm), dtype=np.uint8)
    rank[perm] = np.arange(len(perm), dtype=np.uint8)
    return Palette(np.ascontiguousarray(entries[perm]),
                   rank[inverse.reshape(-1)].reshape(img.shape[:2]))


def apply(entries: np.ndarray, indices: np.ndarray) -> np.ndarray:
    """The image of a palette: (h, w) for one channel, else (h, w, channels)."""
    out = entries[indices]
    return np.ascontiguousarray(out[:, :, 0] if entries.shape[1] == 1 else out)
