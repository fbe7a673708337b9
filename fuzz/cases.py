"""Fuzz cases for the 25 functions of orv_rans and the front end's private
entries: random arguments, valid
arguments built the way the front end builds them, and small mutations of
valid arguments.

A case is a dict of parameter name -> value. Array values are `Arr` records
(the logical contents plus a memory layout) so that a case can be pickled as
a regression input and realised again with the same strides, alignment and
flags. Every case is generated from a numpy Generator seeded with
(seed, function index, iteration), so a finding can be regenerated from its
three numbers alone.
"""
from __future__ import annotations

import sys
from dataclasses import dataclass
from pathlib import Path

import numpy as np

# the one table of the 25 signatures lives with the contract tests
TESTS = Path(__file__).resolve().parents[1] / "tests"
if str(TESTS) not in sys.path:
    sys.path.insert(0, str(TESTS))

import orv_rans  # noqa: E402
from test_frame import DTYPES, ENTRIES as FUNCS  # noqa: E402  (the one table of the signatures)

# the 25, then the private entries (a function's place seeds its cases)
NAMES = list(FUNCS)
U8, U16, U32, U64 = np.uint8, np.uint16, np.uint32, np.uint64

# Integers that reach the edges: the coder's state range, 32- and 64-bit
# limits, table totals. Sizes stay either small or so large that every buffer
# they imply fails to allocate at once (between the two, a call could
# legitimately allocate and zero gigabytes on a shared machine).
U64_EDGES = [0, 1, 2, 3, 255, 256, 4095, 4096, 4097, 2**12 - 1, 2**23, 2**27, 2**31 - 1, 2**31,
             2**31 + 1, 2**32 - 1, 2**32, 2**39 - 1, 2**39, 2**52, 2**63 - 1, 2**63, 2**64 - 2,
             2**64 - 1]
SIZE_SMALL = [0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 127, 128, 255, 256,
              257, 511, 1024, 4095, 4096, 4097]
SIZE_HUGE = [2**40, 2**44 + 3, 2**48, 2**56, 2**61 + 1, 2**62, 2**63 - 1, 2**63, 2**63 + 1,
             2**64 - 2, 2**64 - 1]
FLOAT_EDGES = [0.0, -0.0, 1.0, 120.0, -120.0, 1e-300, 1e300, -1e308, float("inf"),
               float("-inf"), float("nan"), 2.0**64]
# u32 parameters whose values become output sizes: kept small, so that a
# mutation cannot ask for a multi-gigabyte (but legal) output
COUNT_LIKE = {"shard_lengths", "shard_counts"}
COUNT_CAP = 1 << 16
ELEMENTS_CAP = 1 << 18  # elements of one random array
# Size factor of the valid inputs: 1 for fuzzing (many small calls); the
# concurrency tests raise it for calls that last long enough to observe.
scale = 1


def pick(rng, seq):
    """One element of a Python sequence (numpy's choice would squeeze big ints into int64)."""
    return seq[int(rng.integers(0, len(seq)))]


class Idx:
    """An object with __index__ (accepted for integer parameters)."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v

    def __repr__(self):
        return f"Idx({self.v})"


class SubArray(np.ndarray):
    """A subclass of ndarray (accepted wherever an ndarray is)."""


LAYOUTS = ["C", "F", "strided", "reversed", "broadcast", "unaligned", "readonly", "subclass"]


@dataclass
class Arr:
    """An array argument: its logical contents and the layout to pass it in."""

    data: np.ndarray
    layout: str = "C"

    def __repr__(self):
        return f"Arr({self.data.dtype}{list(self.data.shape)}, {self.layout})"


@dataclass
class Guard:
    """Canary bytes around a realised array and a snapshot of its contents."""

    buf: np.ndarray
    lo: int
    hi: int
    before: bytes | None  # contents before the call, for arrays that must not change


GUARD = 64
CANARY = 0xA5


def _guarded(data: np.ndarray, offset_extra: int = 0):
    nbytes = data.nbytes
    buf = np.full(nbytes + 2 * GUARD + offset_extra, CANARY, np.uint8)
    lo = GUARD + offset_extra
    view = buf[lo:lo + nbytes]
    arr = view.view(data.dtype).reshape(data.shape) if offset_extra == 0 else \
        np.ndarray(data.shape, data.dtype, buffer=buf.data, offset=lo)
    arr[...] = data
    return arr, buf, lo, lo + nbytes


def realise(a: Arr, guards: list, keep: bool) -> np.ndarray:
    """The ndarray to pass for `a`. With `keep`, its contents must survive the call."""
    d = a.data
    if a.layout in ("C", "F", "unaligned", "subclass") and d.dtype.kind in "uifb":
        extra = 1 if a.layout == "unaligned" and d.itemsize > 1 else 0
        if a.layout == "F" and d.ndim >= 2:
            # an F-ordered array inside a guarded buffer
            arr, buf, lo, hi = _guarded(np.ascontiguousarray(d.T))
            arr = arr.T
        else:
            arr, buf, lo, hi = _guarded(d, extra)
        guards.append(Guard(buf, lo, hi, buf[lo:hi].tobytes() if keep else None))
        if a.layout == "subclass":
            arr = arr.view(SubArray)
        return arr
    if a.layout == "strided":
        wide = np.zeros(d.shape[:-1] + (2 * d.shape[-1],), d.dtype) if d.ndim else d.copy()
        if d.ndim:
            wide[..., ::2] = d
            return wide[..., ::2]
        return wide
    if a.layout == "reversed":
        return d[::-1].copy()[::-1] if d.ndim else d.copy()
    if a.layout == "broadcast":
        if d.size == 0 or d.ndim == 0:
            return d.copy()
        return np.broadcast_to(d.reshape(-1)[:1].reshape((1,) * d.ndim), d.shape)
    if a.layout == "readonly":
        r = d.copy()
        r.flags.writeable = False
        return r
    return d.copy()


def realise_aliased(case: dict, guards: list) -> dict:
    """The arrays of case["alias"] (name -> byte offset) as views of one
    guarded buffer, written in that order, so later ones overwrite the bytes
    they share with earlier ones. Their contents may change in the call."""
    offsets = case["alias"]
    size = max(off + case["args"][n].data.nbytes for n, off in offsets.items())
    buf = np.full(size + 2 * GUARD, CANARY, np.uint8)
    views = {}
    for name, off in offsets.items():
        d = case["args"][name].data
        v = np.ndarray(d.shape, d.dtype, buffer=buf.data, offset=GUARD + off)
        v[...] = d
        views[name] = v
    # counts that share bytes with an array written after them hold that
    # array's bytes: capped as generated counts are (the cap's bytes then
    # stand in both), or a call would ask for gigabytes of output
    for name, v in views.items():
        if name in COUNT_LIKE:
            v[...] = capped(name, v)
    guards.append(Guard(buf, GUARD, GUARD + size, None))
    return views


def realise_case(case: dict) -> tuple[dict, list, dict]:
    """Python arguments for `case`, the guards to check after the call and the
    realised arrays by name."""
    guards: list = []
    kwargs = {}
    arrays = {}
    aliased = realise_aliased(case, guards) if case.get("alias") else {}
    for name, v in case["args"].items():
        if name in aliased:
            kwargs[name] = arrays[name] = aliased[name]
        elif isinstance(v, Arr):
            filled = name in FILLED.get(case["fn"], ())
            kwargs[name] = realise(v, guards, keep=not filled)
            arrays[name] = kwargs[name]
        else:
            kwargs[name] = v
    return kwargs, guards, arrays


def check_guards(guards: list) -> str | None:
    for g in guards:
        buf = g.buf
        if (buf[:g.lo] != CANARY).any() or (buf[g.hi:] != CANARY).any():
            return "a write outside an argument's buffer"
        if g.before is not None and buf[g.lo:g.hi].tobytes() != g.before:
            return "an input array was modified"
    return None


FILLED = {fn: {p.name for p in ps if p.kind == "array" and p.filled} for fn, ps in FUNCS.items()}

# ---------------------------------------------------------------- random values


def rand_u64(rng) -> int:
    r = rng.random()
    if r < 0.45:
        return pick(rng, U64_EDGES)
    if r < 0.7:
        return int(rng.integers(0, 2**64, dtype=np.uint64))
    if r < 0.9:
        return int(rng.integers(2**31, 2**39))
    return int(rng.integers(0, 300))


def rand_size(rng) -> int:
    r = rng.random()
    if r < 0.75:
        return pick(rng, SIZE_SMALL)
    if r < 0.9:
        return int(rng.integers(0, 70))
    return pick(rng, SIZE_HUGE)


def odd_object(rng, kind):
    return [-1, 2**64, 2**70, "3", 1.5, None, Idx(3), Idx(-2), np.uint64(7), np.int64(-1),
            True, np.bool_(True), 1, [1, 2], np.float64(2.0), np.array(5)][int(rng.integers(0, 16))]


def fill_values(rng, dtype, shape):
    dt = np.dtype(dtype)
    n = int(np.prod(shape)) if len(shape) else 1
    if dt.kind == "f":
        return rng.normal(size=shape).astype(dt)
    if dt.kind == "b":
        return rng.random(shape) < 0.5
    info = np.iinfo(dt)
    r = rng.random()
    if r < 0.15:
        v = np.zeros(shape, dt)
    elif r < 0.25:
        v = np.full(shape, info.max, dt)
    elif r < 0.55:
        v = rng.integers(info.min, info.max, size=shape, dtype=dt, endpoint=True)
    elif r < 0.8:
        v = rng.integers(0, min(info.max, 8) + 1, size=shape).astype(dt)
    else:
        edges = [e for e in (0, 1, 2, 3, 255, 256, 4095, 4096, 4097, 2**16 - 1, 2**31, 2**32 - 1,
                             2**39, 2**63, 2**64 - 1) if info.min <= e <= info.max]
        v = rng.choice(np.array(edges, dtype=object), size=shape).astype(dt) if n else np.zeros(shape, dt)
    return v


def rand_shape(rng, ndim, name):
    sizes = [0, 1, 1, 2, 2, 3, 4, 5, 7, 8, 16, 17, 64, 255, 256, 257, 4096]
    for _ in range(20):
        if name in ("s_lut",) and rng.random() < 0.4:
            shape = [(261121,), (511, 511), (261120,), (1, 261121)][int(rng.integers(0, 4))]
            if len(shape) != ndim:
                shape = (261121,) + (1,) * (ndim - 1) if ndim else ()
        elif name == "i_lut" and rng.random() < 0.5:
            shape = (256,) + (1,) * (ndim - 1)
        else:
            shape = tuple(pick(rng, sizes) if rng.random() < 0.8 else int(rng.integers(0, 40))
                          for _ in range(ndim))
        if int(np.prod(shape)) <= ELEMENTS_CAP:
            return shape
    return (0,) * ndim


def capped(name, data):
    if name in COUNT_LIKE and data.dtype.kind == "u" and data.itemsize >= 4:
        return np.minimum(data, np.array(COUNT_CAP, data.dtype))
    return data


def rand_array(rng, p) -> Arr | object:
    r = rng.random()
    if r < 0.03:
        return odd_object(rng, "array")
    dtype = DTYPES[p.dtype]
    if r < 0.08:
        dtype = [np.int8, np.int16, np.int32, np.int64, np.float64, np.bool_, np.uint8, np.uint64,
                 np.float32][int(rng.integers(0, 9))]
    ndim = p.ndim if rng.random() > 0.05 else int(rng.integers(0, 5))
    shape = rand_shape(rng, ndim, p.name)
    data = fill_values(rng, dtype, shape)
    data = capped(p.name, data)
    r = rng.random()
    layout = "C" if r < 0.7 else LAYOUTS[int(rng.integers(0, len(LAYOUTS)))]
    return Arr(np.ascontiguousarray(data), layout)


def rand_value(rng, p):
    if p.kind == "array":
        return rand_array(rng, p)
    if rng.random() < 0.03:
        return odd_object(rng, p.kind)
    if p.kind == "u64":
        return rand_u64(rng)
    if p.kind == "size":
        return rand_size(rng)
    if p.kind == "bool":
        return [True, False, np.bool_(True), np.False_][int(rng.integers(0, 4))]
    if p.kind == "float":
        return pick(rng, FLOAT_EDGES) if rng.random() < 0.5 else float(rng.normal() * 1000)
    raise AssertionError(p.kind)


def random_case(fn: str, rng) -> dict:
    return {"fn": fn, "args": {p.name: rand_value(rng, p) for p in FUNCS[fn]}}


# ---------------------------------------------------------------- valid inputs


def freq_table(rng, present=None, width=256) -> np.ndarray:
    """256 frequencies summing to 4096, at least 1 on every present symbol."""
    if present is None:
        k = int(rng.integers(1, width + 1))
        present = rng.choice(width, size=k, replace=False)
    present = np.unique(np.asarray(present, dtype=np.int64))
    f = np.zeros(256, np.int64)
    w = rng.random(len(present)) ** 3 + 1e-3
    share = np.floor(w / w.sum() * (4096 - len(present))).astype(np.int64)
    f[present] = 1 + share
    f[present[int(rng.integers(0, len(present)))]] += 4096 - f.sum()
    return f.astype(U64)


def cum_of(f):
    return np.concatenate([[0], np.cumsum(f)]).astype(U64)


def lookup_of(f):
    return np.repeat(np.arange(256, dtype=U8), f.astype(np.int64))


def symbols(rng, n, present):
    return rng.choice(np.asarray(present), size=n).astype(U8) if n else np.zeros(0, U8)


def shard_set(rng, n_shards=None, max_len=200):
    n = int(rng.integers(0, 6 * scale)) if n_shards is None else n_shards
    max_len *= scale
    lengths = [int(rng.integers(0, max_len)) if rng.random() < 0.85 else int(rng.integers(0, 9))
               for _ in range(n)]
    presents, tables = [], []
    for i in range(n):
        r = rng.random()
        if r < 0.1:
            present = [0]
        else:
            k = int(rng.integers(1, 20 if r < 0.7 else 257))
            present = rng.choice(256, size=k, replace=False)
        presents.append(present)
        tables.append(freq_table(rng, present))
    data = np.concatenate([symbols(rng, m, p) for m, p in zip(lengths, presents)] + [np.zeros(0, U8)])
    offsets = np.concatenate([[0], np.cumsum(lengths)[:-1]]).astype(U32) if n else np.zeros(0, U32)
    sym = np.array(tables, U64).reshape(n, 256)
    cum = np.array([cum_of(f) for f in tables], U64).reshape(n, 257)
    return data, offsets, np.array(lengths, U32), cum, sym


def encoded_shards(rng):
    data, offsets, lengths, cum, sym = shard_set(rng)
    state = 2**31 if rng.random() < 0.7 else int(rng.integers(2**31, 2**39))
    enc = orv_rans.rans_encode_shards_parallel(data, offsets, lengths, cum, sym, state)
    return (data, offsets, lengths, cum, sym, state), enc


def packed_payload(rng):
    (data, offsets, lengths, cum, sym, _), (states, bs, bs_off, bs_len) = encoded_shards(rng)
    n = len(lengths)
    write = np.concatenate([[0], np.cumsum(36 + bs_len.astype(np.int64))[:-1]]).astype(U32) if n \
        else np.zeros(0, U32)
    total = int(np.sum(36 + bs_len.astype(np.int64)))
    out = np.zeros(total, U8)
    orv_rans.pack_shard_payloads(states, bs_len, bs_off, bs, out, write)
    lookups = np.array([lookup_of(f) for f in sym], U8).reshape(n, 4096)
    return dict(payload=out, shard_counts=lengths, cum_freqs=cum, sym_freqs=sym, lookups=lookups), \
        dict(final_states=states, bs_lengths=bs_len, bs_offsets=bs_off, bitstreams_flat=bs,
             out=np.zeros(total, U8), write_offsets=write)


def context_tables(rng, two_d=True):
    n_classes = int(rng.integers(1, 9))
    k = int(rng.integers(1, 9))
    s = rng.integers(0, n_classes, 261121).astype(U8)
    i = rng.integers(0, 4, 256).astype(U8)
    d = rng.integers(0, k, (n_classes, 4)).astype(U8)
    if two_d:
        return s.reshape(511, 511), i, d, k
    return s, i, d.reshape(-1), k


def image(rng, channels):
    h, w = int(rng.integers(0, 24 * scale)), int(rng.integers(0, 24 * scale))
    if rng.random() < 0.2 and scale == 1:
        h, w = [(1, 1), (1, 17), (17, 1), (0, 5), (5, 0)][int(rng.integers(0, 5))]
    r = rng.random()
    shape = (h, w) if channels == 1 else (h, w, channels)
    if r < 0.3:  # smooth: real prediction behaviour
        y = np.arange(h)[:, None] * rng.integers(0, 5) + np.arange(w)[None, :] * rng.integers(0, 5)
        base = (y + rng.integers(0, 3, (h, w))).astype(np.int64)
        img = np.stack([base + c * 7 for c in range(channels)], -1) if channels > 1 else base
        return (img % 256).astype(U8).reshape(shape)
    return rng.integers(0, 256, shape).astype(U8)


def p1_inputs(rng, rgb):
    img = image(rng, 3 if rgb else 1)
    h, w = img.shape[:2]
    is_rgba = bool(rng.random() < 0.5)
    a = rng.integers(0, 256, (h, w)).astype(U8) if is_rgba or rng.random() < 0.3 else np.zeros((0, 0), U8)
    s, i, d, k = context_tables(rng)
    args = dict(h=h, w=w, rgb_raw=img, a_ch=a, is_rgba=is_rgba, n_shards=k + int(rng.integers(0, 3)),
                s_lut=s, i_lut=i, d_lut=d)
    if not rgb:
        args["gray_raw"] = args.pop("rgb_raw")
        args = {p.name: args[p.name] for p in FUNCS["p1_gray"]}
    return args


def bp_planes(rng, rgb=False):
    """Padded residual and context planes that belong together (via phase one)."""
    args = p1_inputs(rng, rgb)
    s1, i1, d1 = args["s_lut"].reshape(-1), args["i_lut"], args["d_lut"].reshape(-1)
    res = (orv_rans.p1_rgb if rgb else orv_rans.p1_gray)(**args)
    k = int(args["d_lut"].max()) + 1
    n_ctx = 64 * k + int(rng.integers(0, 3)) * 64
    return args["h"], args["w"], res, s1, i1, d1, n_ctx


def pair_tables(rng, n_ctx):
    f = np.ones((4, n_ctx, 4), np.int64)
    rest = rng.multinomial(4092, [0.25] * 4, size=(4, n_ctx)) if n_ctx else np.zeros((4, 0, 4), np.int64)
    f += rest
    c = np.concatenate([np.zeros((4, n_ctx, 1), np.int64), np.cumsum(f, axis=2)], axis=2)
    return c.astype(U16), f.astype(U16)


def bp_encoded(rng, chroma=None):
    h, w, res, s, i, d, n_ctx = bp_planes(rng)
    resid = res[7][0].reshape(-1) if len(res) == 9 else res[10][0].reshape(-1)
    plane = res[0].reshape(-1)
    if chroma is None:
        chroma = bool(rng.random() < 0.3)
    if chroma:
        resid = rng.integers(0, 256, resid.shape).astype(U8)
        resid.reshape(h + 2, w + 2)[0, :] = 0
        resid.reshape(h + 2, w + 2)[:, 0] = 0
    if rng.random() < 0.6:
        sf, cf = orv_rans.bp_build_pdf_sharded(resid, plane, s, i, d, h, w, n_ctx, chroma)
    else:
        cf, sf = pair_tables(rng, n_ctx)
    states, stream = orv_rans.bp_encode_sharded(resid, plane, cf, sf, s, i, d, h, w, n_ctx, chroma)
    return dict(h=h, w=w, resid=resid, plane=plane, cf=cf, sf=sf, s=s, i=i, d=d, n_ctx=n_ctx,
                chroma=chroma, states=[int(x) for x in states], stream=stream)


def v_build_all_lookups(rng):
    a, b = int(rng.integers(0, 4 * scale)), int(rng.integers(0, 5))
    c = np.array([cum_of(freq_table(rng)) for _ in range(a * b)], U64).reshape(a, b, 257)
    return dict(all_cum_freqs=c)


def v_rans_decode_4way_core(rng):
    (data, offsets, lengths, cum, sym, _), (states, bs, bs_off, bs_len) = encoded_shards(rng)
    if len(lengths) == 0:
        f = freq_table(rng)
        return dict(st0=2**31, st1=2**31, st2=2**31, st3=2**31, bitstream=np.zeros(0, U8),
                    cum_freqs=cum_of(f), sym_freqs=f, slot_lookup=lookup_of(f), out=np.zeros(3, U8))
    j = int(rng.integers(0, len(lengths)))
    st = [int(x) for x in states[j]]
    stream = bs[int(bs_off[j]):int(bs_off[j]) + int(bs_len[j])]
    return dict(st0=st[0], st1=st[1], st2=st[2], st3=st[3], bitstream=stream, cum_freqs=cum[j],
                sym_freqs=sym[j], slot_lookup=lookup_of(sym[j]), out=np.zeros(int(lengths[j]), U8))


def v_rans_encode_shards_parallel(rng):
    data, offsets, lengths, cum, sym = shard_set(rng)
    if len(lengths) > 1 and rng.random() < 0.3:  # shards may overlap and come in any order
        perm = rng.permutation(len(lengths))
        offsets, lengths, cum, sym = offsets[perm], lengths[perm], cum[perm], sym[perm]
    state = 2**31 if rng.random() < 0.6 else int(rng.integers(2**31, 2**39))
    return dict(data_flat=data, shard_offsets=offsets, shard_lengths=lengths, cum_freqs=cum,
                sym_freqs=sym, initial_state=state)


def v_rans_decode_shards_parallel(rng):
    return packed_payload(rng)[0]


def v_pack_shard_payloads(rng):
    return packed_payload(rng)[1]


def templates(rng, t=None):
    t = int(rng.integers(0, min(5 * scale, 253))) if t is None else t
    return np.array([freq_table(rng) if rng.random() < 0.7 else np.full(256, 16, U64)
                     for _ in range(t)], U64).reshape(t, 256)


def v_build_pdf_tables_from_shards(rng):
    data, offsets, lengths, _, _ = shard_set(rng)
    n = len(lengths)
    widths = np.array([int(data[o:o + m].max(initial=0)) + 1 + int(rng.integers(0, 3))
                       if rng.random() < 0.8 else int(rng.integers(0, 300))
                       for o, m in zip(offsets, lengths)], U16)
    return dict(data_flat=data, shard_offsets=offsets, shard_lengths=lengths, shard_widths=widths,
                templates=templates(rng), disable_templates=bool(rng.random() < 0.3))


def v_decide_shard_mode(rng):
    counts = np.zeros(256, U64)
    k = int(rng.integers(0, 40 * scale))
    idx = rng.integers(0, 256, k)
    counts[idx] = rng.integers(1, 10**6, k).astype(U64)
    if rng.random() < 0.1:
        counts[idx] = np.uint64(2**63)  # a total that wraps
    width = int(idx.max(initial=0)) + 1 if rng.random() < 0.8 else pick(rng, SIZE_SMALL)
    return dict(counts=counts, width=width, header_penalty_bits=pick(rng, [0.0, 120.0, 1e9])
                if rng.random() < 0.7 else float(rng.normal() * 300), templates=templates(rng),
                disable_templates=bool(rng.random() < 0.3))


def v_compact_pdf_tables(rng):
    n = int(rng.integers(0, 8 * scale * scale))
    widths = np.array([pick(rng, [0, 1, 2, 3, 17, 200, 255, 256]) for _ in range(n)], U16)
    tables = np.array([freq_table(rng, width=max(int(w_), 1)) for w_ in widths], U64).reshape(n, 256)
    modes = rng.choice([0, 1, 2, 3, 4, 5, 9, 255], size=n).astype(U8)
    return dict(all_sym_freqs=tables, shard_widths=widths, shard_modes=modes)


def v_expand_pdf_tables(rng):
    args = v_compact_pdf_tables(rng)
    compacted = orv_rans.compact_pdf_tables(**args)
    return dict(compacted=compacted, shard_widths=args["shard_widths"], shard_modes=args["shard_modes"],
                templates=templates(rng))


def v_restore_channels(rng):
    h, w = int(rng.integers(0, 20 * scale)), int(rng.integers(1, 20 * scale))
    gray = bool(rng.random() < 0.3)
    rgba = bool(rng.random() < 0.5)
    plane = lambda: rng.integers(0, 256, (h, w)).astype(U8)  # noqa: E731
    empty = np.zeros((0, 0), U8)
    return dict(gr_rec=plane(), rd_rec=empty if gray else plane(), bd_rec=empty if gray else plane(),
                a_ch=plane() if rgba else empty, is_rgba=rgba, is_grayscale=gray,
                apply_gsub=bool(rng.random() < 0.7))


def v_p1_rgb(rng):
    return p1_inputs(rng, True)


def v_p1_gray(rng):
    return p1_inputs(rng, False)


def v_p2_rgb(rng):
    args = p1_inputs(rng, True)
    res = orv_rans.p1_rgb(**args)
    h, w = args["h"], args["w"]
    z = lambda: np.zeros(h * w, U8)  # noqa: E731
    return dict(h=h, w=w, gr_ch=res[0], rd_ch=res[1], bd_ch=res[2], row_global_offsets=res[7],
                shard_gr=z(), shard_rd=z(), shard_bd=z(), s_lut=args["s_lut"], i_lut=args["i_lut"],
                d_lut=args["d_lut"])


def v_p2_gray(rng):
    args = p1_inputs(rng, False)
    res = orv_rans.p1_gray(**args)
    h, w = args["h"], args["w"]
    return dict(h=h, w=w, gr_ch=res[0], row_global_offsets=res[4], shard_gr=np.zeros(h * w, U8),
                s_lut=args["s_lut"], i_lut=args["i_lut"], d_lut=args["d_lut"])


def v_reconstruct_shards_rgb(rng):
    p2 = v_p2_rgb(rng)
    orv_rans.p2_rgb(**p2)
    h, w = p2["h"], p2["w"]
    k = p2["row_global_offsets"].shape[2] if p2["row_global_offsets"].ndim == 3 else 0
    starts = p2["row_global_offsets"][0] if h else np.zeros((3, k), U32)
    return dict(h=h, w=w, res_gr=p2["shard_gr"], res_rd=p2["shard_rd"], res_bd=p2["shard_bd"],
                off_gr=np.ascontiguousarray(starts[0]), off_rd=np.ascontiguousarray(starts[1]),
                off_bd=np.ascontiguousarray(starts[2]), s_lut=p2["s_lut"], i_lut=p2["i_lut"],
                d_lut=p2["d_lut"])


def v_reconstruct_2d_channels(rng):
    h, w = int(rng.integers(0, 30 * scale)), int(rng.integers(0, 30 * scale))
    return dict(h=h, w=w, res_ch=rng.integers(0, 256, (h, w)).astype(U8))


def v_bp_build_pdf_sharded(rng):
    h, w, res, s, i, d, n_ctx = bp_planes(rng)
    chroma = bool(rng.random() < 0.3)
    return dict(resid_flat=res[7][0].reshape(-1), gray_flat=res[0].reshape(-1), s_lut=s, i_lut=i,
                d_lut=d, h=h, w=w, n_ctx=n_ctx, is_chroma=chroma)


def v_bp_build_pdf_sharded_rgb(rng):
    h, w, res, s, i, d, n_ctx = bp_planes(rng, rgb=True)
    planes = res[10]
    return dict(gr_flat=planes[0].reshape(-1), rd_flat=planes[1].reshape(-1),
                bd_flat=planes[2].reshape(-1), gr_ref_flat=res[0].reshape(-1), s_lut=s, i_lut=i,
                d_lut=d, h=h, w=w, n_ctx=n_ctx)


def v_bp_encode_sharded(rng):
    h, w, res, s, i, d, n_ctx = bp_planes(rng)
    chroma = bool(rng.random() < 0.3)
    cf, sf = pair_tables(rng, n_ctx)
    return dict(resid_flat=res[7][0].reshape(-1), gray_flat=res[0].reshape(-1), all_cf=cf, all_sf=sf,
                s_lut=s, i_lut=i, d_lut=d, h=h, w=w, n_ctx=n_ctx, is_chroma=chroma)


def _bp_decode_common(e):
    st = e["states"]
    return dict(bitstream=e["stream"], st0=st[0], st1=st[1], st2=st[2], st3=st[3], h=e["h"], w=e["w"],
                all_cf=e["cf"], all_sf=e["sf"])


def v_bp_decode_sharded(rng):
    e = bp_encoded(rng, chroma=False)
    return {**_bp_decode_common(e), "s_lut": e["s"], "i_lut": e["i"], "d_lut": e["d"]}


def v_bp_decode_sharded_with_ref(rng):
    e = bp_encoded(rng, chroma=True)
    return {**_bp_decode_common(e), "ref_ch_flat": e["plane"], "s_lut": e["s"], "i_lut": e["i"],
            "d_lut": e["d"]}


def v_bp_decode_sharded_debug(rng):
    e = bp_encoded(rng, chroma=False)
    orig = e["resid"].copy()
    if orig.size and rng.random() < 0.5:
        orig[int(rng.integers(0, orig.size))] ^= 1
    return {**_bp_decode_common(e), "s_lut": e["s"], "i_lut": e["i"], "d_lut": e["d"],
            "orig_resid_flat": orig, "orig_gray_flat": rng.integers(0, 256, int(rng.integers(0, 9))).astype(U8)}


def v__shard_tables(rng):
    args = v_build_pdf_tables_from_shards(rng)
    data, offsets, lengths = args["data_flat"], args["shard_offsets"], args["shard_lengths"]
    counts = np.array([np.bincount(data[o:o + m], minlength=256) for o, m in zip(offsets, lengths)],
                      U64).reshape(len(lengths), 256)
    if counts.size and rng.random() < 0.1:
        counts[int(rng.integers(0, len(counts)))] = np.uint64(2**63)  # totals that wrap
    t = templates(rng)
    costs = rng.integers(0, 1 << 24, t.shape).astype(U32)
    return dict(counts=counts, templates=t, template_costs=costs,
                own_costs=rng.integers(0, 1 << 24, 4097).astype(U32))


def v__table_costs(rng):
    n, t = int(rng.integers(0, 8 * scale)), int(rng.integers(0, 6))
    counts = rng.integers(0, 1000, (n, 256)).astype(U32)
    if n and rng.random() < 0.2:
        counts[int(rng.integers(0, n))] = 2**32 - 1  # sums past 2^29 (and 2^53 as products)
    top = 1 << 24 if rng.random() < 0.8 else 2**32  # exact in doubles, or not
    costs = rng.integers(0, top, (t, 256), dtype=np.uint64).astype(U32)
    widths = np.array([pick(rng, [0, 1, 5, 17, 255, 256, 257, 4096]) for _ in range(n)], U16)
    return dict(counts=counts, widths=widths, costs=costs)


def _p1_p2(rng, rgb):
    args = p1_inputs(rng, rgb)
    n = args["h"] * args["w"]
    # streams of the image's size, or shorter or longer (the shorter are refused)
    size = n if rng.random() < 0.8 else max(n + int(rng.integers(-2, 3)), 0)
    for name in (("shard_gr", "shard_rd", "shard_bd") if rgb else ("shard_gr",)):
        args[name] = np.zeros(size, U8)
    return args


def v__p1_p2_rgb(rng):
    return _p1_p2(rng, True)


def v__p1_p2_gray(rng):
    return _p1_p2(rng, False)


def v__rans_encode_shards_packed(rng):
    return v_rans_encode_shards_parallel(rng)


def v__rans_decode_own_lookups(rng):
    a = v_rans_decode_shards_parallel(rng)
    return dict(payload=a["payload"], shard_counts=a["shard_counts"], cum_freqs=a["cum_freqs"],
                sym_freqs=a["sym_freqs"])


def leb128(values) -> bytes:
    out = bytearray()
    for x in values:
        x = int(x)
        while x >= 0x80:
            out.append(x & 0x7F | 0x80)
            x >>= 7
        out.append(x)
    return bytes(out)


def v__varints(rng):
    values = [pick(rng, [0, 1, 127, 128, 2**14, 2**28 - 1, 2**35 - 1]) for _ in range(int(rng.integers(0, 40)))]
    window = np.frombuffer(leb128(values) + rng.bytes(int(rng.integers(0, 8))), U8).copy()
    return dict(window=window, count=pick(rng, [0, 1, len(values), len(values) + 1, 2**64 - 1]))


def v__varint_bytes(rng):
    return dict(values=np.array([pick(rng, [0, 127, 128, 2**35 - 1, 2**35, 2**64 - 1])
                                 for _ in range(int(rng.integers(0, 20)))], U64))


def v__group_tables(rng):
    # a group as a file stores it: modes, shard sizes, widths of mode-0 shards, tables
    args, tpl = v_compact_pdf_tables(rng), templates(rng)
    modes, widths = args["shard_modes"], args["shard_widths"]
    if rng.random() < 0.7:   # modes a file may have, mostly
        modes[(modes == 1) | (modes == 2) | (modes >= 4 + len(tpl))] = 0
    n = len(modes)
    # one plane mostly, so that the sizes add up and the tables are read
    cuts = np.sort(rng.integers(0, n + 1, int(rng.integers(0, 4)) if rng.random() < 0.3 else 0))
    plane_shards = np.diff(np.concatenate([[0], cuts, [n]])).astype(U32)
    counts = rng.integers(0, 40, n)
    stored_widths = (np.clip(widths[modes == 0], 1, 256) - 1).astype(U8)
    raw = (modes.tobytes() + leb128(counts) + stored_widths.tobytes()
           + orv_rans.compact_pdf_tables(**args).tobytes())
    pixels = int(counts[:plane_shards[0]].sum()) if len(plane_shards) else 0
    return dict(raw=np.frombuffer(raw, U8).copy(), plane_shards=plane_shards,
                plane_pixels=pick(rng, [pixels] * 3 + [pixels + 1, 0, 2**64 - 1]), templates=tpl)


def v__group_bytes(rng):
    args = v_compact_pdf_tables(rng)
    n = len(args["shard_modes"])
    states = rng.integers(2**31, 2**39 + pick(rng, [0, 0, 0, 5]), (n, 4)).astype(U64)
    return dict(modes=args["shard_modes"], counts=rng.integers(0, 3, n).astype(U32),
                widths=args["shard_widths"], freq=args["all_sym_freqs"], states=states,
                lengths=rng.integers(0, 2**32, n, dtype=np.uint64).astype(U32))


def v__group_states(rng):
    n = int(rng.integers(0, 12 * scale))
    counts = rng.integers(0, 3, n).astype(U32) * np.uint32(pick(rng, [1, 100, 2**32 - 1]))
    modes = rng.choice([0, 3, 4], size=n).astype(U8)
    live = int(((counts > 0) & (modes != 3)).sum())
    states = rng.integers(0, 2**39 - 2**31 + pick(rng, [0, 0, 0, 5]), live * 4).astype(U64)
    records = states.astype("<u8").view(U8).reshape(-1, 8)[:, :5].tobytes()
    lengths = [pick(rng, [0, 1, 300, 2**32 - 1, 2**32]) for _ in range(live)]
    section = records + leb128(lengths) + rng.bytes(pick(rng, [0, 0, 0, 2]))
    return dict(section=np.frombuffer(section, U8).copy(), counts=counts,
                modes=modes if rng.random() < 0.9 else modes[:-1])


def v__bp_decode_samples(rng):
    return v_bp_decode_sharded(rng)


def v__reconstruct_chroma(rng):
    a = v_reconstruct_shards_rgb(rng)
    h, w = a["h"], a["w"]
    try:  # the green plane the chroma planes are keyed by, as the front end has it
        green = orv_rans.reconstruct_shards_rgb(**a)[0]
    except BaseException:  # PanicException: streams the generator left short
        green = rng.integers(0, 256, (h, w)).astype(U8)
    return dict(h=h, w=w, green=np.ascontiguousarray(green), res_rd=a["res_rd"], res_bd=a["res_bd"],
                off_rd=a["off_rd"], off_bd=a["off_bd"], s_lut=a["s_lut"], i_lut=a["i_lut"],
                d_lut=a["d_lut"])


def v_set_rayon_threads(rng):
    return dict(n=pick(rng, [0, 1, 2, 4, 65535, 65536, 2**64 - 1]))


VALID = {
    "get_backend_info": lambda rng: {},
    "set_rayon_threads": v_set_rayon_threads,
    "get_magic_lut": lambda rng: {},
    **{name[2:]: f for name, f in globals().items() if name.startswith("v_") and callable(f)},
}
assert set(VALID) == set(NAMES), set(NAMES) ^ set(VALID)


def _wrap(fn, args: dict) -> dict:
    out = {}
    for p in FUNCS[fn]:
        v = args[p.name]
        out[p.name] = Arr(np.ascontiguousarray(v)) if isinstance(v, np.ndarray) else v
    return {"fn": fn, "args": out}


def valid_case(fn: str, rng) -> dict:
    return _wrap(fn, VALID[fn](rng))


# ---------------------------------------------------------------- mutations

INT_MUTATIONS = ("edge", "plus", "minus", "lowbit", "highbit", "huge", "zero")


def mutate_int(rng, v, p):
    if not isinstance(v, int):
        return rand_value(rng, p)
    op = INT_MUTATIONS[int(rng.integers(0, len(INT_MUTATIONS)))]
    top = 2**64 - 1
    if op == "edge":
        return pick(rng, U64_EDGES if p.kind == "u64" else SIZE_SMALL + SIZE_HUGE)
    if op == "plus":
        return min(v + int(rng.integers(1, 4)), top)
    if op == "minus":
        return max(v - int(rng.integers(1, 4)), 0)
    if op == "lowbit":
        return v ^ (1 << int(rng.integers(0, 12)))
    if op == "highbit":
        return (v ^ (1 << int(rng.integers(40 if p.kind == "size" else 12, 64)))) & top
    if op == "huge":
        return pick(rng, SIZE_HUGE)
    return 0


def mutate_array(rng, a: Arr, p) -> Arr | object:
    d = a.data.copy()
    op = int(rng.integers(0, 12))
    flat = d.reshape(-1)
    if op <= 3 and flat.size:  # flip bytes
        raw = flat.view(np.uint8)
        for _ in range(int(rng.integers(1, 4))):
            raw[int(rng.integers(0, raw.size))] ^= np.uint8(1 << int(rng.integers(0, 8)))
    elif op <= 5 and flat.size and d.dtype.kind == "u":  # an element to an edge value
        info = np.iinfo(d.dtype)
        cap = COUNT_CAP if p.name in COUNT_LIKE else info.max
        edges = [e for e in (0, 1, 2, 3, 255, 256, 4095, 4096, 4097, 2**16 - 1, 2**23, 2**31,
                             2**32 - 1, 2**39, 2**63, 2**64 - 1) if e <= min(cap, info.max)]
        flat[int(rng.integers(0, flat.size))] = pick(rng, edges)
    elif op == 6 and d.ndim:  # truncate along the first axis
        d = d[:int(rng.integers(0, d.shape[0] + 1))]
    elif op == 7 and d.ndim:  # extend along the first axis
        extra = fill_values(rng, d.dtype, (int(rng.integers(1, 5)),) + d.shape[1:])
        d = np.concatenate([d, extra])
    elif op == 8 and d.ndim:  # cut the last axis (stacked tables lose their alignment)
        d = d[..., :max(d.shape[-1] - int(rng.integers(1, 3)), 0)]
    elif op == 9:  # another layout
        return Arr(np.ascontiguousarray(d), LAYOUTS[int(rng.integers(0, len(LAYOUTS)))])
    elif op == 10 and flat.size:  # shuffle
        rng.shuffle(flat)
    elif op == 11:  # empty
        d = np.zeros((0,) * max(d.ndim, 1), d.dtype).reshape((0,) * d.ndim) if d.ndim else d
    d = capped(p.name, d)
    return Arr(np.ascontiguousarray(d), a.layout)


def mutate(case: dict, rng) -> dict:
    ps = FUNCS[case["fn"]]
    if not ps:
        return case
    args = dict(case["args"])
    for _ in range(int(rng.integers(1, 4))):
        p = ps[int(rng.integers(0, len(ps)))]
        v = args[p.name]
        if rng.random() < 0.04:
            args[p.name] = rand_value(rng, p)
        elif isinstance(v, Arr):
            args[p.name] = mutate_array(rng, v, p)
        elif p.kind in ("u64", "size"):
            args[p.name] = mutate_int(rng, v, p)
        elif p.kind == "bool":
            args[p.name] = not bool(v)
        elif p.kind == "float":
            args[p.name] = pick(rng, FLOAT_EDGES)
    return {"fn": case["fn"], "args": args}


# ---------------------------------------------------------------- aliasing

def alias(case: dict, rng) -> dict:
    """Puts two or three of the case's array arguments in one buffer at
    offsets that make them overlap, most often an input inside an array the
    call fills (or two filled arrays in one another)."""
    fn = case["fn"]
    names = [n for n, v in case["args"].items()
             if isinstance(v, Arr) and v.layout == "C" and v.data.dtype.kind == "u" and v.data.size]
    if len(names) < 2:
        return case
    filled = [n for n in names if n in FILLED[fn]]
    chosen = [pick(rng, filled)] if filled and rng.random() < 0.8 else []
    rest = [n for n in names if n not in chosen]
    want = min(len(names), int(rng.integers(2, 4)))
    chosen += [rest[int(i)] for i in rng.permutation(len(rest))[:want - len(chosen)]]
    offsets, end = {}, 0
    for n in chosen:
        offsets[n] = int(rng.integers(0, end + 1)) // 8 * 8  # aligned: views, not copies
        end = max(end, offsets[n] + case["args"][n].data.nbytes)
    return {**case, "alias": offsets}


# Functions that release the lock: another thread can write their inputs
# while they run.
HELD = {"get_backend_info", "set_rayon_threads", "get_magic_lut", "rans_decode_4way_core",
        "pack_shard_payloads"}
RELEASED = [n for n in NAMES if n not in HELD]
MUTATING_SCALE = 8  # larger valid inputs, so that a call lasts long enough to be disturbed


# ---------------------------------------------------------------- one case

MODES = ("random", "valid", "mutated", "aliased", "mutating")


def make_case(fn: str, seed: int, iteration: int) -> dict:
    """The case of (seed, fn, iteration): reproducible from those numbers alone."""
    global scale
    rng = np.random.default_rng([seed, NAMES.index(fn), iteration])
    # a second stream picks the aliased and mutating cases, so that the other
    # cases of a seed stay what they were before those modes existed
    extra = np.random.default_rng([seed, NAMES.index(fn), iteration, 1])
    r, x = rng.random(), extra.random()
    if r < 0.3:
        case = random_case(fn, rng)
        case["mode"] = "random"
        return case
    mutating = x < 0.1 and fn in RELEASED
    scale = MUTATING_SCALE if mutating else 1
    try:
        case = valid_case(fn, rng)
    finally:
        scale = 1
    if r >= 0.45:
        case = mutate(case, rng)
    case["mode"] = "valid" if r < 0.45 else "mutated"
    if mutating:
        case["mode"] = "mutating"  # the runner writes the inputs from a thread during the call
    elif x < 0.2:
        aliased = alias(case, extra)
        if "alias" in aliased:
            case = {**aliased, "mode": "aliased"}
    return case
