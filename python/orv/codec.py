"""Encoding and decoding of whole images with the orv_rans module.

Planes: gray, or green, red-green, blue-green (the module's colour transform),
and alpha. Each plane is coded with one of two coders:

- the shard coder: the plane's residuals are split into shards by context
  number, each shard coded with its own frequency table (or a template); all
  shard-coded planes of an image form one group coded in one parallel call;
- the bit-pair coder: the residual plane is coded as four bit-pair planes
  with per-context pair tables, one stream per plane.
"""
from __future__ import annotations

import mmap
import os
import zlib
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import NamedTuple

import numpy as np

from . import container as fmt
from . import limits, model
from .container import CODER_BITPAIR, CODER_SHARD, Header
from .errors import FormatError, refuse_depth

try:
    import orv_rans as _r
except ImportError as e:  # pragma: no cover - the module ships with the package
    raise ImportError("the orv front end needs the orv_rans extension module") from e

CODERS = ("auto", "shard", "bitpair")
INITIAL_STATE = 1 << 31
_EMPTY2 = np.zeros((0, 0), dtype=np.uint8)


def _workers() -> int:
    for var in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        v = os.environ.get(var, "").strip().lstrip("+")
        if v.isdigit() and int(v) > 0:
            return int(v)
    return os.cpu_count() or 1


def _map(fn, items):
    """Runs independent module calls (which release the GIL) side by side."""
    items = list(items)
    if len(items) > 1 and _workers() > 1:
        with ThreadPoolExecutor(min(len(items), _workers())) as ex:
            return list(ex.map(fn, items))
    return [fn(x) for x in items]


# ---------------------------------------------------------------- choices

def shard_bounds(pixels: int) -> tuple[int, ...]:
    """Gradient bounds of the shard coder's contexts: fewer shards for smaller
    images, so that their tables and states do not outweigh what they save."""
    if pixels < 4096:
        return (3,)
    if pixels < 65536:
        return (2, 8)
    if pixels < 400000:
        return (1, 3, 8)
    if pixels < 1500000:
        return (1, 3, 8, 21)
    return (1, 2, 5, 12, 30)


def bitpair_bounds(pixels: int) -> tuple[int, ...]:
    """Gradient bounds of the bit-pair coder (64 pair contexts per class and
    plane): its tables are many, so it stays with few classes."""
    if pixels < 100000:
        return ()
    if pixels < 1500000:
        return (2,)
    return (1, 4)


def check_dtype(dtype: np.dtype) -> None:
    """Refuses every dtype but uint8; deeper samples get the one message for
    images that do not fit in 8 bits."""
    if dtype == np.uint8:
        return
    if dtype.kind in "uifc" and dtype.itemsize > 1 or dtype.kind == "f":
        raise refuse_depth(f"a {dtype} array")
    raise TypeError(f"image must have dtype uint8, not {dtype}")


def check_image(image) -> np.ndarray:
    if not isinstance(image, np.ndarray):
        raise TypeError(f"image must be a numpy.ndarray, not {type(image).__name__}")
    check_dtype(image.dtype)
    if not (image.ndim == 2 or (image.ndim == 3 and image.shape[2] in (3, 4))):
        raise ValueError(f"image must have shape (h, w), (h, w, 3) or (h, w, 4), not {image.shape}")
    fmt.check_dimensions(image.shape[0], image.shape[1])
    return np.ascontiguousarray(image)


@dataclass
class _Analysis:
    h: int
    w: int
    channels: int
    colour_planes: list      # padded (h+2, w+2) sample planes
    residuals: list          # padded residual planes of the colour planes
    totals: np.ndarray       # (3, K)
    starts: np.ndarray       # (3, K)
    offsets: np.ndarray      # (h, 3, K)
    hist: np.ndarray         # (3, K, 256)
    alpha: np.ndarray | None
    alpha_res: np.ndarray | None


def _analyse(img: np.ndarray, K: int, luts) -> _Analysis:
    S, I, D = luts
    h, w = img.shape[:2]
    ch = 1 if img.ndim == 2 else img.shape[2]
    if ch == 1:
        r = _r.p1_gray(h, w, img, _EMPTY2, False, K, S, I, D)
        return _Analysis(h, w, 1, [r[0]], [r[7][0]], r[1], r[3], r[4], r[2], None, None)
    alpha = np.ascontiguousarray(img[:, :, 3]) if ch == 4 else None
    rgb = img if ch == 3 else np.ascontiguousarray(img[:, :, :3])
    r = _r.p1_rgb(h, w, rgb, alpha if alpha is not None else _EMPTY2, ch == 4, K, S, I, D)
    return _Analysis(h, w, ch, list(r[0:3]), list(r[10][0:3]), r[4], r[6], r[7], r[5],
                     alpha, r[10][3] if ch == 4 else None)


# ---------------------------------------------------------------- shard coder

@dataclass
class _ShardCoded:
    plane_shards: list       # per plane: index array into the group arrays
    counts: np.ndarray       # uint32 (n,)
    widths: np.ndarray       # uint16 (n,)
    modes: np.ndarray        # uint8 (n,)
    freq: np.ndarray         # uint64 (n, 256)
    states: np.ndarray       # uint64 (n, 4)
    streams: np.ndarray      # uint8, the encoder's stream buffer
    bs_offsets: np.ndarray
    bs_lengths: np.ndarray


def _record_bytes(nnz: np.ndarray, widths: np.ndarray) -> np.ndarray:
    sparse = 3 + 3 * nnz
    dense = 1 + 2 * widths.astype(np.int64)
    return np.where(3 * nnz + 2 < 2 * widths.astype(np.int64), sparse, dense)


def _shard_encode(a: _Analysis, K: int, luts) -> _ShardCoded:
    S, I, D = luts
    h, w, hw = a.h, a.w, a.h * a.w
    n_col = 1 if a.channels == 1 else 3
    has_alpha = a.alpha_res is not None
    data = np.empty((n_col + has_alpha) * hw, dtype=np.uint8)
    streams = [data[c * hw:(c + 1) * hw] for c in range(n_col)]
    if n_col == 1:
        _r.p2_gray(h, w, a.colour_planes[0], a.offsets, streams[0], S, I, D)
    else:
        _r.p2_rgb(h, w, *a.colour_planes, a.offsets, *streams, S, I, D)
    offs = [(a.starts[c].astype(np.int64) + c * hw) for c in range(n_col)]
    lens = [a.totals[c] for c in range(n_col)]
    hists = [a.hist[c].astype(np.int64) for c in range(n_col)]
    plane_shards = [np.arange(c * K, (c + 1) * K) for c in range(n_col)]
    if has_alpha:
        data[n_col * hw:] = a.alpha_res.reshape(-1)
        offs.append(np.array([n_col * hw]))
        lens.append(np.array([hw]))
        hists.append(np.bincount(a.alpha_res.reshape(-1), minlength=256)[None, :].astype(np.int64))
        plane_shards.append(np.array([n_col * K]))
    offsets = np.concatenate(offs).astype(np.uint32)
    counts = np.concatenate(lens).astype(np.uint32)
    hist = np.concatenate(hists)
    present = hist > 0
    widths = np.where(present.any(axis=1), 256 - np.argmax(present[:, ::-1], axis=1), 0).astype(np.uint16)

    cum, freq, modes = _r.build_pdf_tables_from_shards(data, offsets, counts, widths,
                                                       model.templates(), True)
    modes = modes.copy()
    # choose, per shard, between its own table (which must be stored) and the
    # cheapest template (free), with the real size of the stored record
    own = modes == 0
    if own.any():
        hf = hist[own].astype(np.float64)
        f = freq[own].astype(np.float64)
        with np.errstate(divide="ignore", invalid="ignore"):
            own_bits = np.where(hf > 0, hf * (12.0 - np.log2(np.maximum(f, 1))), 0.0).sum(axis=1)
        # stored records are deflated, to about 0.6 of their size on photos
        header_bits = 8.0 * (0.6 * _record_bytes(present[own].sum(axis=1), widths[own]) + 1)
        t_bits = model.template_bits(hf)
        best_t = np.argmin(t_bits, axis=1)
        best = t_bits[np.arange(len(best_t)), best_t]
        use_t = best < own_bits + header_bits
        idx = np.flatnonzero(own)[use_t]
        modes[idx] = 4 + best_t[use_t]
        freq = freq.copy()
        freq[idx] = model.templates()[best_t[use_t]]
        cum = np.zeros((freq.shape[0], 257), dtype=np.uint64)
        np.cumsum(freq, axis=1, out=cum[:, 1:])
    states, bs_flat, bs_off, bs_len = _r.rans_encode_shards_parallel(
        data, offsets, counts, cum, freq, INITIAL_STATE)
    return _ShardCoded(plane_shards, counts, widths, modes, freq, states, bs_flat, bs_off, bs_len)


def _shard_side(sc: _ShardCoded, planes: list[int]):
    """The tables and states sections of the given planes' shards, and the live shards."""
    sel = np.concatenate([sc.plane_shards[p] for p in planes])
    modes, counts, widths = sc.modes[sel], sc.counts[sel], sc.widths[sel]
    compacted = _r.compact_pdf_tables(sc.freq[sel], widths, modes)
    own = modes == 0
    tables = (modes.tobytes() + fmt.varints(counts) + (widths[own] - 1).astype(np.uint8).tobytes()
              + compacted.tobytes())
    live = sel[(counts > 0) & (modes != 3)]
    states = fmt.states_to_bytes(sc.states[live]) + fmt.varints(sc.bs_lengths[live])
    return fmt.section(fmt.deflate(tables)) + fmt.section(states), live


def _shard_plane_size(sc: _ShardCoded, p: int) -> int:
    side, live = _shard_side(sc, [p])
    return len(side) + 8 + int(sc.bs_lengths[live].sum())


def _shard_sections(sc: _ShardCoded, planes: list[int]) -> bytes:
    side, live = _shard_side(sc, planes)
    lengths = sc.bs_lengths[live]
    parts = [sc.streams[o:o + n] for o, n in zip(sc.bs_offsets[live].tolist(), lengths.tolist())]
    streams = np.concatenate(parts).tobytes() if parts else b""
    return side + fmt.section(streams)


# ---------------------------------------------------------------- bit-pair coder

@dataclass
class _BitpairCoded:
    bounds: tuple[int, ...]
    levels: np.ndarray
    states: np.ndarray
    stream: np.ndarray

    def body(self) -> bytes:
        tables = fmt.deflate(self.levels.tobytes())
        return (fmt.section(bytes([len(self.bounds), *self.bounds]) + tables)
                + fmt.section(fmt.states_to_bytes(self.states) + self.stream.tobytes()))

    def size(self) -> int:
        return len(self.body())


def _bitpair_encode(a: _Analysis, planes: list[int], luts) -> dict[int, _BitpairCoded]:
    S, I, _ = luts
    h, w = a.h, a.w
    bounds = bitpair_bounds(h * w)
    S1, I, D = (t.reshape(-1) for t in model.luts(bounds))
    n_ctx = 64 * model.n_classes(bounds)
    green = a.colour_planes[0].reshape(-1)
    jobs = {}
    if a.channels >= 3 and all(p in planes for p in (0, 1, 2)):
        res = [a.residuals[c].reshape(-1) for c in range(3)]
        t = _r.bp_build_pdf_sharded_rgb(*res, green, S1, I, D, h, w, n_ctx)
        for c in range(3):
            jobs[c] = (res[c], green, t[2 * c + 1], t[2 * c], c > 0)
    for p in planes:
        if p in jobs:
            continue
        if p < len(a.colour_planes):
            resid, ctx, chroma = a.residuals[p].reshape(-1), green, p > 0
        else:
            resid = np.pad(a.alpha_res, 1).reshape(-1)
            ctx = np.pad(a.alpha, 1).reshape(-1)
            chroma = False
        sf, cf = _r.bp_build_pdf_sharded(resid, ctx, S1, I, D, h, w, n_ctx, chroma)
        jobs[p] = (resid, ctx, cf, sf, chroma)

    def run(p):
        resid, ctx, _, sf, chroma = jobs[p]
        # the stored tables are coarser than the module's; code with what the decoder sees
        levels = model.pair_levels(sf)
        sf, cf = model.pair_tables(levels)
        states, stream = _r.bp_encode_sharded(resid, ctx, cf, sf, S1, I, D, h, w, n_ctx, chroma)
        return _BitpairCoded(bounds, levels, states, stream)

    order = sorted(jobs)
    return dict(zip(order, _map(run, order)))


# ---------------------------------------------------------------- encoder

def encode(image, *, coder: str = "auto", effort: int = 1, icc_profile=None, exif=None,
           xmp=None) -> bytes:
    """Codes a uint8 image of shape (h, w), (h, w, 3) or (h, w, 4).

    coder: "shard", "bitpair", or "auto" (per plane, whichever is smaller).
    effort: 1, or 2 to fit the shard coder's context classes to the image
    (merged from fine classes; slower encoding, never a larger file).
    icc_profile, exif, xmp: bytes (XMP also str) stored with the pixels, or None."""
    if coder not in CODERS:
        raise ValueError(f"coder must be one of {', '.join(CODERS)}, not {coder!r}")
    if effort not in (1, 2) or isinstance(effort, bool):
        raise ValueError(f"effort must be 1 or 2, not {effort!r}")
    meta = fmt.Metadata(*(fmt.metadata_bytes(v, n) for v, n in
                          ((icc_profile, "icc_profile"), (exif, "exif"), (xmp, "xmp"))))
    img = check_image(image)
    data = _encode_pixels(img, coder, 1)
    if effort == 2 and coder != "bitpair":
        # merged classes usually win, but not on every image: keep the smaller file
        fitted = _encode_pixels(img, coder, 2)
        if len(fitted) < len(data):
            data = fitted
    return data + fmt.pack_metadata(meta)


def _encode_pixels(img: np.ndarray, coder: str, effort: int) -> bytes:
    """The coded image (header and coded sections) of a checked image."""
    h, w = img.shape[:2]
    ch = 1 if img.ndim == 2 else img.shape[2]
    class_map = None
    if effort == 1 or coder == "bitpair":
        bounds = shard_bounds(h * w)
        K = model.n_classes(bounds)
        luts = model.luts(bounds)
        a = _analyse(img, K, luts)
    else:
        # fine classes first, then the shard coder's classes merged for this image
        bounds = model.FINE_BOUNDS
        fine = _analyse(img, model.n_classes(bounds), model.luts(bounds))
        class_map = model.merge_classes(fine.hist[:1 if ch == 1 else 3], bounds)
        K = int(class_map.max()) + 1
        luts = model.luts(bounds, class_map)
        a = _analyse(img, K, luts)
    planes = list(range(ch))
    if coder == "auto":
        # the two coders share nothing but the analysis: run them side by side
        sc, bp = _map(lambda f: f(), [lambda: _shard_encode(a, K, luts),
                                      lambda: _bitpair_encode(a, planes, luts)])
    else:
        sc = _shard_encode(a, K, luts) if coder == "shard" else None
        bp = _bitpair_encode(a, planes, luts) if coder == "bitpair" else {}
    if coder == "shard":
        coders = [CODER_SHARD] * ch
    elif coder == "bitpair":
        coders = [CODER_BITPAIR] * ch
    else:
        coders = [CODER_BITPAIR if bp[p].size() < _shard_plane_size(sc, p) else CODER_SHARD
                  for p in planes]
    header = Header(ch, h, w, model.MODEL_ID, bounds,
                    b"" if class_map is None else class_map.tobytes(), tuple(coders),
                    zlib.crc32(img))
    out = [fmt.pack_header(header)]
    shard_planes = [p for p in planes if coders[p] == CODER_SHARD]
    if shard_planes:
        out.append(_shard_sections(sc, shard_planes))
    for p in planes:
        if coders[p] == CODER_BITPAIR:
            out.append(bp[p].body())
    return b"".join(out)


# ---------------------------------------------------------------- decoder

# faults of the module that come from the machine, not from the file
_RESOURCE_FAULTS = ("worker pool",)


def _guard(fn, *args):
    """Calls the module; an internal fault on damaged data becomes a FormatError.

    A fault that is not about the data (the worker pool could not start) is a
    RuntimeError naming its cause; MemoryError passes through as it is."""
    try:
        return fn(*args)
    except BaseException as e:  # noqa: B036 - PanicException derives from BaseException
        if type(e).__name__ == "PanicException":
            if any(m in str(e) for m in _RESOURCE_FAULTS):
                raise RuntimeError(f"orv_rans: {fn.__name__} failed: {e}") from e
            raise FormatError(f"corrupt data: {fn.__name__} failed ({e})") from None
        raise


def least_stream_bytes(symbols, top_freq) -> np.ndarray:
    """A lower bound on the bytes of a rANS stream (scale 4096, four states)
    that codes `symbols` symbols with tables that give no symbol more than
    `top_freq`: every symbol takes at least log2(4096 / top_freq) bits, less
    a rounding loss below 2^-18 bits (the 1% margin covers it, as the least
    cost is above 2^-12 bits), and the four final states, stored below 2^39
    from a start of 2^31, hold at most 32 of them. A stream shorter than this
    cannot come from the encoder, so the decoder refuses it before it
    allocates anything for the pixels the stream claims."""
    bits = np.asarray(symbols, dtype=np.float64) * (12.0 - np.log2(np.asarray(top_freq, np.float64)))
    return np.maximum(0, np.floor((0.99 * bits - 32) / 8)).astype(np.int64)


def _read_shard_group(r: fmt.Reader, hdr: Header, planes: list[int], K: int, hw: int):
    n_col = 1 if hdr.channels == 1 else 3
    sizes = [K if p < n_col else 1 for p in planes]
    n = sum(sizes)
    T = model.N_TEMPLATES
    body = r.section("shard tables")
    raw = fmt.inflate(body, n * 11 + n * 513, "shard tables")
    t = fmt.Reader(raw, "the shard tables section")
    modes = np.frombuffer(t.take(n, "the shard modes"), dtype=np.uint8)
    bad = (modes == 1) | (modes == 2) | (modes >= 4 + T)
    if bad.any():
        raise FormatError(f"shard tables: invalid mode {int(modes[bad][0])}")
    counts = t.varints(n, "the shard sizes")
    ends = np.cumsum(sizes)
    for p, e, s in zip(planes, ends, sizes):
        if counts[e - s:e].sum() != hw:
            raise FormatError(f"shard tables: the shard sizes of the {hdr.planes[p]} plane "
                              f"do not add up to {hw} pixels")
    counts = counts.astype(np.uint32)
    own = modes == 0
    widths = np.zeros(n, dtype=np.uint16)
    widths[own] = np.frombuffer(t.take(int(own.sum()), "the shard widths"), dtype=np.uint8).astype(np.uint16) + 1
    compacted = np.frombuffer(t.take(t.remaining, "the tables"), dtype=np.uint8)
    freq = _guard(_r.expand_pdf_tables, compacted, widths, modes, model.templates())
    again = _guard(_r.compact_pdf_tables, freq, widths, modes)
    if again.tobytes() != compacted.tobytes():
        raise FormatError("shard tables: the stored frequency tables are malformed")
    if (freq.sum(axis=1) != 4096).any():
        raise FormatError("shard tables: a frequency table does not sum to 4096")
    live = (counts > 0) & (modes != 3)
    nl = int(live.sum())
    s = fmt.Reader(r.section("shard states"), "the shard states section")
    states = fmt.states_from_bytes(s.take(20 * nl, "the states"), "shard states").reshape(nl, 4)
    lengths = s.varints(nl, "the stream lengths")
    s.done()
    if (lengths >= 1 << 32).any():
        raise FormatError("shard states: a stream length is out of range")
    lengths = lengths.astype(np.uint32)
    streams = r.section("shard streams")
    if int(lengths.sum(dtype=np.int64)) != len(streams):
        raise FormatError("shard streams: the stream lengths do not match the section")
    short = lengths < least_stream_bytes(counts[live], freq[live].max(axis=1))
    if short.any():
        i = int(np.flatnonzero(live)[np.argmax(short)])
        raise FormatError(f"shard streams: the stream of shard {i} is too short for its "
                          f"{int(counts[i])} residuals")
    return counts, modes, freq, live, states, lengths, np.frombuffer(streams, dtype=np.uint8), ends, sizes


def _scratch(n: int) -> np.ndarray:
    """A uint8 work buffer that goes back to the system when it is dropped.

    The allocator keeps freed blocks below its (growing) mapping threshold
    for reuse, so a big temporary such as the packed payload would stay
    resident beside the planes allocated after it; a mapping of its own is
    returned when the last view of it goes."""
    if n < 1 << 20:
        return np.empty(n, dtype=np.uint8)
    return np.frombuffer(mmap.mmap(-1, n), dtype=np.uint8)


def _decode_shard_group(group) -> np.ndarray:
    counts, modes, freq, live, states, lengths, streams, _, _ = group
    n = len(counts)
    # every shard gets a packed header: the ones the file leaves out (empty, or
    # all zeros under the symbol-zero table) get empty streams and decode to zeros
    all_states = np.full((n, 4), INITIAL_STATE, dtype=np.uint64)
    all_states[live] = states
    all_lengths = np.zeros(n, dtype=np.uint32)
    all_lengths[live] = lengths
    bs_off = np.zeros(n, dtype=np.uint32)
    np.cumsum(all_lengths[:-1], out=bs_off[1:])
    write = np.zeros(n, dtype=np.uint32)
    np.cumsum(all_lengths[:-1] + np.uint32(36), out=write[1:])
    payload = _scratch(36 * n + len(streams))
    _guard(_r.pack_shard_payloads, all_states, all_lengths, bs_off, streams, payload, write)
    cum = np.zeros((n, 257), dtype=np.uint64)
    np.cumsum(freq, axis=1, out=cum[:, 1:])
    lookups = _guard(_r.build_all_lookups, cum.reshape(1, n, 257)).reshape(n, 4096)
    decoded, consumed = _guard(_r.rans_decode_shards_parallel, payload, counts, cum, freq, lookups)
    if consumed != len(payload):
        raise FormatError("shard streams: the payload does not match its lengths")
    return decoded


def _read_bitpair(r: fmt.Reader, hdr: Header, p: int):
    name = hdr.planes[p]
    body = r.section(f"{name} pair tables")
    if len(body) < 2:
        raise FormatError(f"{name} pair tables: section too short")
    nb = body[0]
    if len(body) < 1 + nb:
        raise FormatError(f"{name} pair tables: section too short")
    try:
        bounds = model.check_bounds(body[1:1 + nb])
    except ValueError as e:
        raise FormatError(f"{name} pair tables: {e}") from None
    n_ctx = 64 * model.n_classes(bounds)
    raw = fmt.inflate(body[1 + nb:], 16 * n_ctx, f"{name} pair tables")
    if len(raw) != 16 * n_ctx:
        raise FormatError(f"{name} pair tables: expected {4 * n_ctx} tables")
    levels = np.frombuffer(raw, dtype=np.uint8).reshape(4, n_ctx, 4)
    if (levels > model.PAIR_LEVEL_MAX).any():
        raise FormatError(f"{name} pair tables: a frequency level is out of range")
    sf, cf = model.pair_tables(levels)
    body = r.section(f"{name} pair stream")
    if len(body) < 20:
        raise FormatError(f"{name} pair stream: section too short")
    states = fmt.states_from_bytes(body[:20], f"{name} pair stream")
    least = least_stream_bytes(hdr.height * hdr.width, sf.reshape(4, -1).max(axis=1)).sum()
    if len(body) - 20 < least:
        raise FormatError(f"{name} pair stream: too short for {hdr.height * hdr.width} pixels")
    return bounds, cf, sf, [int(s) for s in states], np.frombuffer(body[20:], dtype=np.uint8)


def decode(data, *, max_pixels: float | None = None) -> np.ndarray:
    """The image of an orv file; a stack file decodes to the array of its images.

    max_pixels: the most pixels (of all images of a stack together) to
    decode, math.inf for no limit; None (the default) applies
    orv.MAX_IMAGE_PIXELS: a DecompressionBombWarning above it, a
    DecompressionBombError (a FormatError) above twice it."""
    from . import stack

    if stack.is_stack(data):
        return stack.decode(data, max_pixels=max_pixels)
    return decode_single(data, max_pixels=max_pixels)


@dataclass
class _Parsed:
    """A single-image file with its sections read and checked, nothing decoded."""
    hdr: Header
    K: int
    luts: tuple
    shard_planes: list
    group: tuple | None
    bp: dict


def parse(data, *, max_pixels: float | None = None) -> _Parsed:
    """Reads and checks everything of a single-image file short of decoding
    its streams: the header, the pixel limit, every section's framing,
    tables, and the least length its streams must have."""
    hdr, r = fmt.read_header(data)
    limits.check_pixels(hdr.height * hdr.width, max_pixels)
    if hdr.class_map:
        cmap = np.frombuffer(hdr.class_map, dtype=np.uint8)
        K = int(cmap.max()) + 1
        luts = model.luts(hdr.bounds, cmap)
    else:
        K = model.n_classes(hdr.bounds)
        luts = model.luts(hdr.bounds)
    planes = list(range(hdr.channels))
    shard_planes = [p for p in planes if hdr.coders[p] == CODER_SHARD]
    hw = hdr.height * hdr.width
    group = _read_shard_group(r, hdr, shard_planes, K, hw) if shard_planes else None
    bp = {p: _read_bitpair(r, hdr, p) for p in planes if hdr.coders[p] == CODER_BITPAIR}
    fmt.read_metadata(r)
    r.done()
    return _Parsed(hdr, K, luts, shard_planes, group, bp)


def decode_single(data, *, max_pixels: float | None = None) -> np.ndarray:
    """The image of a single-image orv file (a stack file is refused)."""
    f = parse(data, max_pixels=max_pixels)
    planes = _decode_planes(f)
    ch = f.hdr.channels
    if ch == 1:
        img = planes.pop(0)
    else:
        # the planes go as soon as the pixels exist: decoding peaks at about
        # twice the size of the image
        img = _guard(_r.restore_channels, planes[0], planes[1], planes[2],
                     planes.get(3, _EMPTY2), ch == 4, False, True)
    del planes
    if zlib.crc32(img) != f.hdr.pixel_crc:
        raise FormatError("decoded pixels do not match the stored checksum")
    return img


def _decode_planes(f: _Parsed) -> dict[int, np.ndarray]:
    """The image's planes (gray; or green, red-green, blue-green, alpha),
    each (h, w). Every buffer is dropped once the next step has what it needs."""
    hdr, K, (S, I, D) = f.hdr, f.K, f.luts
    h, w, hw, ch = hdr.height, hdr.width, hdr.height * hdr.width, hdr.channels
    n_col = 1 if ch == 1 else 3
    bp = f.bp

    def bp_plane(p, ref=None):
        bounds, cf, sf, st, stream = bp[p]
        S1, I1, D1 = (t.reshape(-1) for t in model.luts(bounds))
        if ref is None:
            z = _guard(_r.bp_decode_sharded, stream, *st, h, w, cf, sf, S1, I1, D1)
        else:
            z = _guard(_r.bp_decode_sharded_with_ref, stream, *st, h, w, cf, sf, ref, S1, I1, D1)
        return _guard(_r.reconstruct_2d_channels, h, w, z)

    out: dict[int, np.ndarray] = {}
    if 0 in bp:
        out[0] = bp_plane(0)
    if f.group is not None:
        res, starts = _shard_residuals(f, _decode_shard_group(f.group))
        f.group = None
        colour_shards = [p for p in f.shard_planes if p < n_col]
        if 3 in res:
            out[3] = _guard(_r.reconstruct_2d_channels, h, w, res.pop(3).reshape(h, w))
        if colour_shards:
            if 0 not in res:
                # green was bit-pair coded: its shard stream is rebuilt from the
                # plane, since the chroma contexts follow the green plane's shard walk
                p1 = _guard(_r.p1_gray, h, w, out.pop(0), _EMPTY2, False, K, S, I, D)
                res[0] = np.empty(hw, dtype=np.uint8)
                _guard(_r.p2_gray, h, w, p1[0], p1[4], res[0], S, I, D)
                starts[0] = p1[3][0].copy()
                del p1
            # a plane that is not shard-coded takes zero residuals from one
            # zero-filled buffer that is only read, so its pages stay unmapped
            zeros_res = np.zeros(hw, dtype=np.uint8)
            zeros_off = np.zeros(K, dtype=np.uint32)
            args = [res.get(c, zeros_res) for c in range(3)] + \
                   [starts.get(c, zeros_off) for c in range(3)]
            rec = _guard(_r.reconstruct_shards_rgb, h, w, *args, S, I, D)
            del args, res
            for p in range(n_col):
                if p in colour_shards or p == 0:
                    out[p] = rec[p]
            del rec
    chroma_bp = [p for p in (1, 2) if p in bp and p < n_col]
    if chroma_bp:
        ref = np.pad(out[0], 1).reshape(-1)
        for p, plane in zip(chroma_bp, _map(lambda q: bp_plane(q, ref), chroma_bp)):
            out[p] = plane
        del ref
    if 3 in bp:
        out[3] = bp_plane(3)
    return out


def _shard_residuals(f: _Parsed, flat: np.ndarray):
    """Views of the decoded shard group per plane, with each plane's shard starts."""
    hw = f.hdr.height * f.hdr.width
    counts, ends, sizes = f.group[0], f.group[7], f.group[8]
    res, starts = {}, {}
    for i, p in enumerate(f.shard_planes):
        res[p] = flat[i * hw:(i + 1) * hw]
        c = counts[ends[i] - sizes[i]:ends[i]]
        st = np.zeros(len(c), dtype=np.uint32)
        np.cumsum(c[:-1], out=st[1:])
        starts[p] = st
    return res, starts


class Decoded(NamedTuple):
    """A decoded file: its pixels and the metadata it carries (bytes or None)."""
    pixels: np.ndarray
    icc_profile: bytes | None
    exif: bytes | None
    xmp: bytes | None


def _walk(data, verify: bool = True) -> tuple[Header, dict[str, int], fmt.Metadata]:
    """The header, the framed size of every section and the metadata of a
    single-image file, nothing decoded; verify=False leaves the checksums of
    the coded sections (not of the metadata) to the decoder."""
    hdr, r = fmt.read_header(data)
    section = r.section if verify else r.skip_section
    planes = list(range(hdr.channels))
    sections = {"header": r.pos}
    if any(hdr.coders[p] == CODER_SHARD for p in planes):
        for name in ("shard tables", "shard states", "shard streams"):
            sections[name] = len(section(name)) + 8
    for p in planes:
        if hdr.coders[p] == CODER_BITPAIR:
            for kind in ("pair tables", "pair stream"):
                name = f"{hdr.planes[p]} {kind}"
                sections[name] = len(section(name)) + 8
    meta = fmt.read_metadata(r)
    r.done()
    for field, value in meta._asdict().items():
        if value is not None:
            sections[fmt.METADATA_NAMES[field]] = len(value) + 12
    return hdr, sections, meta


def metadata_of(data) -> fmt.Metadata:
    """The metadata of an orv file (of a stack: that of its first image), not decoding it."""
    from . import stack

    if stack.is_stack(data):
        _, files = stack.split(data)
        return _walk(files[0])[2] if files else fmt.Metadata()
    return _walk(data)[2]


def decode_with_metadata(data, *, max_pixels: int | None = None) -> Decoded:
    """The pixels of an orv file (as orv.decode) with its ICC profile, EXIF and XMP."""
    return Decoded(decode(data, max_pixels=max_pixels), *metadata_of(data))


def info(data) -> dict:
    """Header fields, section sizes and metadata of an orv file (not decoded);
    for a stack file, its shape and the first image's fields."""
    from . import stack

    if stack.is_stack(data):
        hdr, files = stack.split(data)
        out = info(files[0]) if files else {"metadata": {}}
        size = len(memoryview(data))
        out.update({"version": stack.STACK_VERSION, "stack": True, "shape": hdr.shape,
                    "images": hdr.count, "size": size,
                    "bits_per_pixel": 8 * size / max(hdr.count * hdr.height * hdr.width, 1)})
        out.pop("sections", None)
        out.pop("pixel_crc32", None)
        return out
    hdr, sections, meta = _walk(data)
    planes = list(range(hdr.channels))
    K = max(hdr.class_map) + 1 if hdr.class_map else model.n_classes(hdr.bounds)
    return {
        "version": fmt.VERSION,
        "width": hdr.width,
        "height": hdr.height,
        "channels": hdr.channels,
        "mode": {1: "L", 3: "RGB", 4: "RGBA"}[hdr.channels],
        "model": hdr.model,
        "shards_per_plane": K,
        "coders": {hdr.planes[p]: fmt.CODER_NAMES[hdr.coders[p]] for p in planes},
        "pixel_crc32": f"{hdr.pixel_crc:08x}",
        "size": len(memoryview(data)),
        "bits_per_pixel": 8 * len(memoryview(data)) / (hdr.width * hdr.height),
        "sections": sections,
        "metadata": {k: len(v) for k, v in meta._asdict().items() if v is not None},
    }


def header_of(data) -> Header:
    return fmt.read_header(data)[0]

