"""Context tables and templates of the orv container.

Everything the decoder needs is computed here with integer arithmetic only,
so the tables are the same on every machine and every NumPy version: a file
names the model it was written with (``MODEL_ID``) and the parameters of its
tables (the gradient bounds), and the decoder rebuilds exactly the tables the
encoder used. A model, once released, is never changed; a better model gets a
new id and the old one stays here so that old files keep decoding.

Model 1
-------
Gradient classes (``s_lut``, 511 x 511, indexed by W-NW+255 and N-NW+255):
each of the two gradients dW = W-NW and dN = N-NW is quantised to a signed
level: with bounds b_1 < ... < b_L, the level of d is sign(d) times the number
of bounds that |d| reaches, so it lies in -L..L. The class is
``(qW + L) * (2L + 1) + (qN + L)``: (2L+1)^2 classes, at most 225 (L <= 7).
The signs matter as much as the magnitudes: they tell whether the predictor
sits on an edge (both gradients of one sign) or follows a slope, and in which
direction its error leans.

Intensity bands (``i_lut``): model 1 gives every intensity key band 0.

Context map (``d_lut``, one row of 4 per class): the context number is the
class itself, so a plane has one shard (or one block of 64 bit-pair
contexts) per class; or, when the file carries an explicit map (the encoder's
``effort`` 3 and up), the shard that the map gives for the class.

Model 2
-------
Model 1's gradient classes, each split further by the intensity key (the
prediction of a gray or green sample, the green sample for a chroma one)
into the bands that 0 to 3 stored thresholds t_1 < ... < t_B cut (none:
model 1's classes, with a map that the header may store deflated): ``i_lut``
gives a key its number of thresholds reached (0..B). A photo's noise and
its texture change with brightness (shadows are noisier in relative terms
and flatter in absolute ones, highlights clip), which the gradients alone
do not see. The file always carries an explicit map, one shard number per
(class, band) pair, class-major: entry ``class * (B + 1) + band``;
``d_lut`` row ``class`` holds the class's B + 1 entries (its unused columns
0).

Pair tables of the bit-pair coder are stored as one level per frequency,
``q = round(2 log2 f)`` in 0..24; the decoder turns the levels of a table
back into the integers ``PAIR_LEVELS[q]`` (about 2^(q/2)) and scales them to
4096 with ``pair_tables``; the encoder codes with the same rebuilt tables.

Templates (192 rows of 256 frequencies summing to 4096, every entry >= 1):
for 32 decay ratios r, the error distribution p(e) ~ r^|e - m/2| seen through
the zigzag mapping, for the biases m = -2, -1, 0, 1, 2, and the unbiased one
mixed with a flat floor of 1/64 for heavy-tailed shards.
"""
from __future__ import annotations

import math
from functools import lru_cache

import numpy as np

from . import native
from .native import SCALE, SCALE_BITS, SYMBOLS

MODEL_ID = 1
MODEL_BANDS = 2
MODELS = (MODEL_ID, MODEL_BANDS)
MAX_BOUNDS = 7
MAX_BAND_THRESHOLDS = 3
# a context number is a byte: at most this many shards per plane
MAX_SHARDS = 256
# decay ratios of the templates per unit of error, in 1/4096 (steep to nearly flat)
_RATIOS = (205, 410, 614, 819, 1024, 1229, 1434, 1638, 1843, 2048, 2253, 2458,
           2662, 2867, 3072, 3277, 3379, 3482, 3584, 3686, 3789, 3850, 3891, 3932,
           3973, 3994, 4014, 4035, 4055, 4066, 4076, 4086)
_BIASES = (-2, -1, 0, 1, 2)
N_TEMPLATES = len(_RATIOS) * (len(_BIASES) + 1)


def check_model(model_id: int) -> None:
    if model_id not in MODELS:
        raise ValueError(f"unknown context model {model_id}")


def _increasing(values, most: int, what: str) -> tuple[int, ...]:
    """0..`most` integers, strictly increasing within 1..255 (gradient bounds,
    intensity thresholds); a ValueError naming `what` otherwise."""
    b = tuple(int(x) for x in values)
    if len(b) > most:
        raise ValueError(f"at most {most} {what}, got {len(b)}")
    if any(not 1 <= x <= 255 for x in b) or any(x >= y for x, y in zip(b, b[1:])):
        raise ValueError(f"{what} must increase strictly within 1..255, got {b}")
    return b


def check_bands(bands) -> tuple[int, ...]:
    """The intensity thresholds of model 2: 0..3 of them, strictly increasing in 1..255."""
    return _increasing(bands, MAX_BAND_THRESHOLDS, "intensity thresholds")


def map_entries(bounds, bands=()) -> int:
    """The entries of an explicit class map: one per class, or per class and band."""
    return n_classes(bounds) * (len(bands) + 1)


def check_bounds(bounds) -> tuple[int, ...]:
    return _increasing(bounds, MAX_BOUNDS, "gradient bounds")


def n_classes(bounds) -> int:
    return (2 * len(bounds) + 1) ** 2


@lru_cache(maxsize=None)
def s_lut(bounds: tuple[int, ...]) -> np.ndarray:
    """Gradient-pair classes, uint8 (511, 511)."""
    bounds = check_bounds(bounds)
    L = len(bounds)
    d = np.arange(-255, 256, dtype=np.int32)
    level = np.zeros(d.shape, dtype=np.int32)
    for b in bounds:
        level += (np.abs(d) >= b).astype(np.int32)
    q = np.sign(d) * level + L
    table = (q[:, None] * (2 * L + 1) + q[None, :]).astype(np.uint8)
    table.setflags(write=False)
    return table


@lru_cache(maxsize=None)
def i_lut(bands: tuple[int, ...] = ()) -> np.ndarray:
    """Intensity bands, uint8 (256,): the number of thresholds a key reaches
    (model 1: no thresholds, band 0 everywhere)."""
    table = np.zeros(256, dtype=np.uint8)
    for t in bands:
        table[t:] += 1
    table.setflags(write=False)
    return table


@lru_cache(maxsize=None)
def d_lut(bounds: tuple[int, ...]) -> np.ndarray:
    """Context map, uint8 (classes, 4): the context number is the class."""
    n = n_classes(check_bounds(bounds))
    table = np.repeat(np.arange(n, dtype=np.uint8)[:, None], 4, axis=1)
    table.setflags(write=False)
    return table


def luts(bounds, class_map: np.ndarray | None = None, bands=()):
    """(s_lut, i_lut, d_lut) for the bounds, with the identity map or
    `class_map`; with intensity `bands` (model 2) the map has an entry per
    class and band."""
    if class_map is None and not bands:
        return _identity_luts(tuple(int(x) for x in bounds))
    b = check_bounds(bounds)
    m = np.ascontiguousarray(class_map, dtype=np.uint8)
    if not bands:
        if m.shape != (n_classes(b),):
            raise ValueError(f"a class map needs {n_classes(b)} entries, got {m.shape}")
        return s_lut(b), i_lut(), np.ascontiguousarray(np.repeat(m[:, None], 4, axis=1))
    t = check_bands(bands)
    if m.shape != (map_entries(b, t),):
        raise ValueError(f"a class map needs {map_entries(b, t)} entries, got {m.shape}")
    d = np.zeros((n_classes(b), 4), dtype=np.uint8)
    d[:, :len(t) + 1] = m.reshape(n_classes(b), len(t) + 1)
    return s_lut(b), i_lut(t), d


@lru_cache(maxsize=64)
def _identity_luts(bounds: tuple[int, ...]):
    b = check_bounds(bounds)
    return s_lut(b), i_lut(), d_lut(b)


# the fine classes that the encoder merges from effort 3 on
FINE_BOUNDS = (1, 2, 3, 5, 8, 13, 21)


def merge_classes(hist: np.ndarray, bounds) -> np.ndarray:
    """Encoder side, effort 3 and up: merges neighbouring gradient classes
    while the estimated size drops. `hist` holds the residual histograms
    (C, K, 256) of the classes; the result maps every class to a shard
    (0 .. shards-1)."""
    side = 2 * len(bounds) + 1
    edges = _grid_edges(np.arange(side * side).reshape(side, side))
    return _merge(hist.transpose(1, 0, 2).astype(np.float64), edges, 64)


def _grid_edges(grid: np.ndarray) -> np.ndarray:
    """The (left, right) and (upper, lower) pairs of neighbouring entries of a
    2-D grid, one pair per row."""
    return np.concatenate([np.stack([grid[:, :-1].ravel(), grid[:, 1:].ravel()], 1),
                           np.stack([grid[:-1, :].ravel(), grid[1:, :].ravel()], 1)])


def split_by_band(hist: np.ndarray, bounds, class_map: np.ndarray, bands: int) -> np.ndarray:
    """Encoder side of model 2: the shards of `class_map` (a merge of the
    gradient classes) split into `bands` intensity bands, then merged again
    between neighbouring bands of a shard and neighbouring shards of a band
    while the estimated size drops (and on while there are more than a plane
    can have). `hist`: the histograms (C, shards * bands, 256) of the
    (shard, band) cells, shard-major; the result maps every such cell to a
    new shard (`band_map` makes the class map of it)."""
    side = 2 * len(bounds) + 1
    G = int(class_map.max()) + 1
    pairs = _grid_edges(class_map.reshape(side, side).astype(np.int64))
    pairs = np.unique(np.sort(pairs[pairs[:, 0] != pairs[:, 1]], axis=1), axis=0)
    band = np.arange(bands)
    edges = [np.stack([g * bands + band[:-1], g * bands + band[1:]], 1) for g in range(G)]
    edges += [np.stack([a * bands + band, b * bands + band], 1) for a, b in pairs.tolist()]
    return _merge(hist.transpose(1, 0, 2).astype(np.float64), np.concatenate(edges), 256)


def band_map(split: np.ndarray, class_map: np.ndarray, bands: int) -> np.ndarray:
    """The model-2 class map, an entry per (class, band), class-major, of a
    split of `class_map`'s shards by band."""
    return split.reshape(-1, bands)[class_map].reshape(-1).astype(np.uint8)


def _merge(h: np.ndarray, edges: np.ndarray, rounds: int) -> np.ndarray:
    """Greedy merge of cells (K, C, 256) along `edges` (pairs of cells): each
    round applies a matching of the merges that lower the estimate most,
    until none does and at most MAX_SHARDS groups are left. The result
    numbers the groups 0 .. groups-1 in the order of their first cell."""
    K = len(h)
    label = np.arange(K)
    # an empty cell costs nothing wherever it goes: it joins the live cell
    # before it (the first live one for the leading cells), which keeps the
    # map in runs and saves the empty shards' table entries
    live = np.flatnonzero(h.any(axis=(1, 2)))
    if len(live):
        label = live[np.maximum(np.searchsorted(live, label, side="right") - 1, 0)]
    tb = _template_bits(h)
    cost = _group_cost(h, tb)
    groups = len(np.unique(label))
    # the cost of a merged pair stays valid while neither group changes: each
    # round works out only the pairs that the last round's merges made new
    pair_cost: dict[int, float] = {}
    for _ in range(rounds):
        e = label[edges]
        e = np.unique(np.sort(e[e[:, 0] != e[:, 1]], axis=1), axis=0)
        if not len(e):
            break
        keys = (e[:, 0] * K + e[:, 1]).tolist()
        new = [i for i, k in enumerate(keys) if k not in pair_cost]
        if new:
            sel = e[new]
            pair_cost.update(zip([keys[i] for i in new], _group_cost(
                h[sel[:, 0]] + h[sel[:, 1]], tb[sel[:, 0]] + tb[sel[:, 1]]).tolist()))
        gain = np.array([pair_cost[k] for k in keys]) - cost[e[:, 0]] - cost[e[:, 1]]
        order = np.argsort(gain, kind="stable")
        excess = groups - MAX_SHARDS
        order = order[gain[order] < 0] if excess <= 0 else order
        if not len(order):
            break
        used = np.zeros(K, dtype=bool)
        merged = 0
        for i in order:  # a matching of the cheapest merges, applied together
            a, b = e[i]
            if used[a] or used[b]:
                continue
            if gain[i] >= 0 and merged >= excess:
                break    # past the byte limit only what it needs merges at a loss
            used[a] = used[b] = True
            h[a] += h[b]
            h[b] = 0
            tb[a] += tb[b]
            tb[b] = 0
            label[label == b] = a
            merged += 1
        groups -= merged
        changed = np.flatnonzero(used)
        cost[changed] = _group_cost(h[changed], tb[changed])
        pair_cost = {k: v for k, v in pair_cost.items()
                     if not (used[k // K] or used[k % K])}
    return np.unique(label, return_inverse=True)[1].astype(np.uint8)


def merged_cost(hist: np.ndarray, class_map: np.ndarray) -> float:
    """The estimated bits of the shards that `class_map` makes of the cells'
    histograms (C, K, 256)."""
    return float(_group_cost(_sum_groups(hist.transpose(1, 0, 2), class_map)).sum())


def _sum_groups(x: np.ndarray, labels: np.ndarray) -> np.ndarray:
    """The rows of `x` summed per label 0 .. max (every label used), float64."""
    order = np.argsort(labels, kind="stable")
    starts = np.flatnonzero(np.r_[True, np.diff(labels[order]) != 0])
    return np.add.reduceat(x[order].astype(np.float64), starts, axis=0)


def _widths(h: np.ndarray) -> np.ndarray:
    """One past the last symbol that occurs in each histogram of (G, C, 256) (0: empty)."""
    nz = h > 0
    return np.where(nz.any(axis=2), SYMBOLS - np.argmax(nz[:, :, ::-1], axis=2), 0)


def _template_bits(h: np.ndarray, w: np.ndarray | None = None) -> np.ndarray:
    """Bits of shard groups (G, C, 256) under every template, (G, C, T) float32
    (`w`: their widths, when known)."""
    if w is None:
        w = _widths(h)
    return template_bits_by_width(h.reshape(-1, SYMBOLS), w.reshape(-1)).reshape(
        w.shape + (N_TEMPLATES,))


def _group_cost(h: np.ndarray, tb: np.ndarray | None = None) -> np.ndarray:
    """Estimated bits of shard groups (G, C, 256): per channel the cheaper of an own
    table (entropy plus stored record) and the best template, plus the states.
    `tb`: the groups' template bits when known (they add up when groups merge)."""
    n = h.sum(axis=2)
    # the entropy as n log n - sum(h log h), absent symbols adding 0 log 1
    ent = n * np.log2(np.maximum(n, 1)) - (h * np.log2(np.maximum(h, 1))).sum(axis=2)
    nz = h > 0
    live = nz[:, :, 1:].any(axis=2)
    k = nz.sum(axis=2)
    w = _widths(h)
    record = np.where(3 * k + 2 < 2 * w, 3 + 3 * k, 1 + 2 * w)
    own = ent + 8 * (0.6 * record + 1)
    if tb is None:
        tb = _template_bits(h, w)
    tmpl = tb.min(axis=-1)
    return np.where(live, np.minimum(own, tmpl) + 160, 0.0).sum(axis=1)


def _normalise(weights: list[int]) -> list[int]:
    """Integer weights to frequencies >= 1 summing to 4096 (largest remainder)."""
    total = sum(weights)
    spare = SCALE - len(weights)
    base = [w * spare // total for w in weights]
    rem = [(w * spare) % total for w in weights]
    for s in sorted(range(len(weights)), key=lambda s: (-rem[s], s))[:spare - sum(base)]:
        base[s] += 1
    return [b + 1 for b in base]


def _error(z: int) -> int:
    """The prediction error that the zigzag residual z stands for."""
    return z // 2 if z % 2 == 0 else -(z + 1) // 2


@lru_cache(maxsize=None)
def templates() -> np.ndarray:
    """The template tables, uint64 (N_TEMPLATES, 256)."""
    rows = []
    one = 1 << 48
    for r in _RATIOS:
        half = math.isqrt(r * SCALE)  # ratio per half unit of error
        level = [one]
        for _ in range(520):
            level.append(level[-1] * half // SCALE)
        for m in _BIASES:
            rows.append(_normalise([level[abs(2 * _error(z) - m)] for z in range(SYMBOLS)]))
        w = [level[2 * abs(_error(z))] for z in range(SYMBOLS)]
        floor = sum(w) // (64 * SYMBOLS)
        rows.append(_normalise([x + floor for x in w]))
    t = np.array(rows, dtype=np.uint64)
    t.setflags(write=False)
    return t


@lru_cache(maxsize=None)
def template_costs() -> np.ndarray:
    """Bits per occurrence of each symbol under each template, (256, T).
    Used only by the encoder's choice, so floating point is fine here."""
    costs = (SCALE_BITS - np.log2(templates().astype(np.float64))).T
    costs.setflags(write=False)
    return costs


def template_bits_by_width(hist: np.ndarray, widths: np.ndarray) -> np.ndarray:
    """Bits of histograms (n, 256) under every template, (n, T) float32,
    over the symbols below each histogram's width (it is zero from there on).

    Summed exactly by the module, as whole numbers, from the templates'
    costs in fixed point: the same sums on every machine and instruction set
    (so the same choices and files), and none of it goes to the BLAS library,
    whose worker threads stall a process that forks while they are busy
    (forking servers, Dask, multiprocessing); the coder's only threads are
    its own fork-safe pool."""
    h = np.asarray(hist)
    if h.size and h.max() > np.iinfo(np.uint32).max:
        raise ValueError("histogram counts must be below 2^32")
    sums = native.table_costs(h.astype(np.uint32).reshape(-1, SYMBOLS),
                              np.asarray(widths, dtype=np.uint16).reshape(-1), template_costs_fixed())
    return (sums * (1.0 / COST_ONE)).astype(np.float32)


# a cost in fixed point: bits times 2^20 (a template's cost is at most 12
# bits, so below 2^24, and a histogram of fewer than 2^32 counts sums below 2^64)
COST_ONE = 1 << 20


@lru_cache(maxsize=None)
def template_costs_fixed() -> np.ndarray:
    """template_costs in fixed point, one row per template, (T, 256) uint32."""
    costs = np.ascontiguousarray(np.rint(template_costs().T * COST_ONE).astype(np.uint32))
    costs.setflags(write=False)
    return costs


@lru_cache(maxsize=None)
def own_costs_fixed() -> np.ndarray:
    """The bits of a symbol of frequency f in a table of its own, 12 -
    log2(f), in fixed point for f = 0..SCALE (uint32; 0 counted as 1, a
    frequency no symbol that occurs has)."""
    f = np.maximum(np.arange(SCALE + 1), 1).astype(np.float64)
    costs = np.rint((SCALE_BITS - np.log2(f)) * COST_ONE).astype(np.uint32)
    costs.setflags(write=False)
    return costs


# round(2^(q/2)) for q = 0..24, written out so that no floating point is involved
PAIR_LEVELS = (1, 1, 2, 3, 4, 6, 8, 11, 16, 23, 32, 45, 64, 91, 128, 181, 256, 362, 512,
               724, 1024, 1448, 2048, 2896, 4096)
PAIR_LEVEL_MAX = len(PAIR_LEVELS) - 1


def pair_levels(sf: np.ndarray) -> np.ndarray:
    """Encoder side: the level of every frequency of (4, n_ctx, 4) pair tables."""
    q = np.rint(2.0 * np.log2(np.maximum(sf, 1).astype(np.float64)))
    return np.clip(q, 0, PAIR_LEVEL_MAX).astype(np.uint8)


def pair_tables(levels: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Frequency and cumulative pair tables (uint16) from stored levels.

    Each table's level values are scaled to 4096 (at least 1 each); the largest
    entry (the highest symbol among equals) takes the rounding difference."""
    v = np.asarray(PAIR_LEVELS, dtype=np.int64)[levels]
    f = np.maximum(1, v * SCALE // v.sum(axis=-1, keepdims=True))
    big = f.shape[-1] - 1 - np.argmax(f[..., ::-1], axis=-1)
    diff = SCALE - f.sum(axis=-1)
    np.put_along_axis(f, big[..., None], np.take_along_axis(f, big[..., None], -1) + diff[..., None], -1)
    sf = f.astype(np.uint16)
    cf = np.zeros(f.shape[:-1] + (f.shape[-1] + 1,), dtype=np.uint16)
    np.cumsum(sf, axis=-1, out=cf[..., 1:])
    return sf, cf
