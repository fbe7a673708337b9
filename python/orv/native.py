"""The calls into the orv_rans module, with named results.

Every other module of the front end reaches the module through here: one
function per module function it uses, with the module's argument order in one
place and tuple results turned into named ones. The coders' constants live
here too, once: the scale of the frequency tables, the state bounds of the
rANS coders and the layout of a packed shard payload.

The module runs its parallel loops on its own worker pool (sized by the
module, from RAYON_NUM_THREADS or the processor count); the front end only
runs independent module calls side by side (``parallel_map``), and every
result is the same whatever the width of either.
"""
from __future__ import annotations

import os
from concurrent.futures import ThreadPoolExecutor
from typing import NamedTuple

import numpy as np

from .errors import FormatError

try:
    import orv_rans as _r
except ImportError as e:  # pragma: no cover - the module ships with the package
    raise ImportError("the orv front end needs the orv_rans extension module") from e

# frequency tables sum to SCALE = 2^SCALE_BITS over SYMBOLS symbols; a
# cumulative table has one entry more (it starts at 0 and ends at SCALE)
SCALE_BITS = 12
SCALE = 1 << SCALE_BITS
SYMBOLS = 256
CUM_LEN = SYMBOLS + 1
# the rANS coders interleave LANES states; each starts at STATE_LOW and is
# renormalised a byte at a time, so it stays in [STATE_LOW, STATE_LOW << 8)
LANES = 4
STATE_LOW = 1 << 31
STATE_LIMIT = STATE_LOW << 8
# a packed shard payload starts with its LANES final states (u64) and the
# length of its stream (u32)
PAYLOAD_HEADER_BYTES = 8 * LANES + 4

_EMPTY_PLANE = np.zeros((0, 0), dtype=np.uint8)


def cpu_count() -> int:
    """The processors this process may run on (its affinity, not the pool's size)."""
    try:
        return len(os.sched_getaffinity(0)) or 1
    except (AttributeError, OSError):  # pragma: no cover - platforms without affinity
        return os.cpu_count() or 1


def _env_size(name: str) -> int | None:
    """A worker count from the environment as the module reads it: a decimal
    integer (a leading + allowed), 0 for one per processor; None otherwise."""
    value = os.environ.get(name, "")
    digits = value[1:] if value.startswith("+") else value
    if not digits.isdigit() or not digits.isascii():
        return None
    return int(digits) or cpu_count()


def workers() -> int:
    """The worker count the module's pool takes from the environment
    (RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS, else one per processor)."""
    size = _env_size("RAYON_NUM_THREADS")
    if size is None:
        size = _env_size("RAYON_RS_NUM_CPUS")
    return max(1, size if size is not None else cpu_count())


# pixels per item below which parallel_map runs its items in turn: starting
# the threads would cost about as much as the work it shares
INLINE_PIXELS = 1 << 14


def parallel_map(fn, items, pixels: int | None = None) -> list:
    """Runs independent module calls (which release the GIL) side by side, at
    most as many at once as the module has workers (so one worker means one
    thread of work); the results come back in the order of `items`.
    `pixels`: the image pixels each item works on, when known; small work
    runs in turn on the calling thread."""
    items = list(items)
    if pixels is not None and pixels < INLINE_PIXELS:
        return [fn(x) for x in items]
    width = min(len(items), cpu_count(), workers())
    if width > 1:
        with ThreadPoolExecutor(width) as ex:
            return list(ex.map(fn, items))
    return [fn(x) for x in items]


class Backend(NamedTuple):
    identifier: str
    version: str


def get_backend_info() -> Backend:
    """What the module says it is: its identifier and version."""
    return Backend(*_r.get_backend_info())


def simd_path() -> str:
    """The instruction-set path the module's vector kernels take on this CPU
    (scalar, avx2 or avx512; ORV_RANS_SIMD chooses another one it can run)."""
    return _r._coder_simd()


# ---------------------------------------------------------------- faults

# faults of the module that come from the machine, not from the file
_RESOURCE_FAULTS = ("worker pool",)


def checked(fn, *args):
    """Calls `fn` on data read from a file: a fault of the module on damaged
    data becomes a FormatError.

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
    """A lower bound on the bytes of a rANS stream (scale SCALE, LANES states)
    that codes `symbols` symbols with tables that give no symbol more than
    `top_freq` (in 1..SCALE): every symbol takes at least log2(SCALE /
    top_freq) bits, less a rounding loss below 2^-18 bits (the 1% margin
    covers it, as the least cost is above 2^-12 bits), and the four final
    states, stored below 2^39 from a start of 2^31, hold at most 32 of them.
    A stream shorter than this cannot come from the encoder, so the decoder
    refuses it before it allocates anything for the pixels the stream claims."""
    return np.maximum(0, np.floor(_stream_bits(symbols, top_freq) / 8)).astype(np.int64)


def streams_too_short(lengths, symbols, top_freq) -> np.ndarray:
    """lengths < least_stream_bytes(symbols, top_freq), element by element,
    in fewer steps: a whole number of bytes is below the floor of
    (0.99 * bits - held) / 8 exactly when eight times one byte more is at
    most 0.99 * bits - held (a scaling by eight is exact)."""
    return 8.0 * (np.asarray(lengths, dtype=np.float64) + 1.0) <= _stream_bits(symbols, top_freq)


def _stream_bits(symbols, top_freq) -> np.ndarray:
    """The bits a stream must hold beyond its states for `symbols` symbols,
    none more likely than `top_freq` (0.99 of their least bits, the least bits
    per symbol of every frequency a table can hold looked up, less what the
    states hold)."""
    least = np.multiply(_LEAST_BITS.take(np.asarray(top_freq, dtype=np.intp)), symbols, dtype=np.float64)
    return 0.99 * least - _HELD_BITS


_HELD_BITS = LANES * (STATE_LIMIT.bit_length() - STATE_LOW.bit_length())
_LEAST_BITS = SCALE_BITS - np.log2(np.arange(SCALE + 1, dtype=np.float64).clip(1))
_LEAST_BITS.setflags(write=False)


# ---------------------------------------------------------------- analysis (phases one and two)

class PhaseOne(NamedTuple):
    """What phase one gives for an image: padded colour planes (gray: one),
    their padded residual planes, and the shard counts of channels 0..2."""
    planes: tuple            # (h+2, w+2) sample planes after the colour transform
    totals: np.ndarray       # (3, K) residuals per shard
    hist: np.ndarray         # (3, K, SYMBOLS) residual histograms per shard
    starts: np.ndarray       # (3, K) where each shard starts in its channel's stream
    offsets: np.ndarray      # (h, 3, K) where each row's residuals go
    residuals: tuple         # (h+2, w+2) residual planes of the colour planes
    alpha_residuals: np.ndarray  # (h, w); (0, 0) without alpha


def p1_gray(h: int, w: int, gray: np.ndarray, n_shards: int, luts) -> PhaseOne:
    r = _r.p1_gray(h, w, gray, _EMPTY_PLANE, False, n_shards, *luts)
    return PhaseOne((r[0],), r[1], r[2], r[3], r[4], (r[7][0],), r[7][3])


def p1_rgb(h: int, w: int, rgb: np.ndarray, alpha: np.ndarray | None, n_shards: int,
           luts) -> PhaseOne:
    r = _r.p1_rgb(h, w, rgb, _EMPTY_PLANE if alpha is None else alpha, alpha is not None,
                  n_shards, *luts)
    return PhaseOne(tuple(r[0:3]), r[4], r[5], r[6], r[7], tuple(r[10][0:3]), r[10][3])


def p1_p2_gray(h: int, w: int, gray: np.ndarray, n_shards: int, luts, stream) -> PhaseOne:
    """p1_gray and p2_gray (into `stream`, with the offsets found) in one call."""
    r = _r._p1_p2_gray(h, w, gray, _EMPTY_PLANE, False, n_shards, *luts, stream)
    return PhaseOne(*r)


def p1_p2_rgb(h: int, w: int, rgb: np.ndarray, alpha: np.ndarray | None, n_shards: int,
              luts, streams) -> PhaseOne:
    """p1_rgb and p2_rgb (into `streams`, with the offsets found) in one call."""
    r = _r._p1_p2_rgb(h, w, rgb, _EMPTY_PLANE if alpha is None else alpha, alpha is not None,
                      n_shards, *luts, *streams)
    return PhaseOne(*r)


# ---------------------------------------------------------------- shard tables and coder

class ShardTables(NamedTuple):
    cum: np.ndarray          # uint64 (n, CUM_LEN)
    freq: np.ndarray         # uint64 (n, SYMBOLS)
    modes: np.ndarray        # uint8 (n,)


def build_pdf_tables_from_shards(data, offsets, counts, widths, templates,
                                 disable_templates: bool) -> ShardTables:
    return ShardTables(*_r.build_pdf_tables_from_shards(data, offsets, counts, widths,
                                                        templates, disable_templates))


class ChosenTables(NamedTuple):
    cum: np.ndarray          # uint64 (n, CUM_LEN)
    freq: np.ndarray         # uint64 (n, SYMBOLS)
    modes: np.ndarray        # uint8 (n,): 0 a table of its own, 3 symbol 0 only, 4 + t template t
    widths: np.ndarray       # uint16 (n,): one past the last symbol that occurs


def shard_tables(hist, templates, template_costs, own_costs) -> ChosenTables:
    """The shard encoder's tables from the shards' histograms (n, 256): each
    shard's own table (as build_pdf_tables_from_shards makes it without
    templates), or the template that costs the fewest bits where it costs
    fewer than the own table and its stored record. Costs are fixed-point
    bits (template_costs: uint32 (T, 256) per symbol; own_costs: uint32
    (SCALE + 1,) per frequency), summed exactly: the same choice everywhere."""
    return ChosenTables(*_r._shard_tables(np.asarray(hist, dtype=np.uint64), templates,
                                           template_costs, own_costs))


def table_costs(counts, widths, costs) -> np.ndarray:
    """The cost of every histogram row (uint32, n x 256) under every cost row
    (uint32, t x 256, fixed-point bits) over the symbols below the row's
    width (uint16, n): uint64 (n, t), exact integer sums."""
    return _r._table_costs(counts, widths, costs)


# what varints found wrong with the numbers (0: nothing)
VARINTS_TRUNCATED, VARINTS_TOO_LONG = 1, 2


class Varints(NamedTuple):
    values: np.ndarray       # int64 (count,); empty on a fault
    used: int                # the bytes the numbers take
    fault: int               # 0, VARINTS_TRUNCATED or VARINTS_TOO_LONG


def varints(window: np.ndarray, count: int) -> Varints:
    """The first `count` LEB128 numbers of at most five bytes in `window`
    (uint8); a window that ends first is VARINTS_TRUNCATED even where an
    earlier number is too long."""
    values, used, fault = _r._varints(window, count)
    return Varints(values.view(np.int64), used, fault)


def varint_bytes(values: np.ndarray) -> np.ndarray:
    """The LEB128 form of `values` (uint64, each below 2^35; ValueError
    otherwise), back to back, uint8."""
    return _r._varint_bytes(values)


# what group_tables and group_states found wrong (0: nothing), with the
# numbers they name in `a` and `b`
(GROUP_MODES_TRUNCATED, GROUP_BAD_MODE, GROUP_SIZES_TRUNCATED, GROUP_SIZES_TOO_LONG,
 GROUP_PLANE_SIZES, GROUP_WIDTHS_TRUNCATED, GROUP_NOT_CANONICAL, GROUP_BAD_SUM,
 GROUP_STATES_TRUNCATED, GROUP_STATE_RANGE, GROUP_LENGTHS_TRUNCATED, GROUP_LENGTHS_TOO_LONG,
 GROUP_STATES_TRAILING, GROUP_LENGTH_RANGE) = range(1, 15)


class GroupTables(NamedTuple):
    modes: np.ndarray        # uint8 (n,)
    counts: np.ndarray       # uint32 (n,) residuals per shard
    starts: np.ndarray       # uint32 (n,) where each shard starts in its plane
    freq: np.ndarray         # uint64 (n, SYMBOLS)
    cum: np.ndarray          # uint64 (n, CUM_LEN)
    top: np.ndarray          # uint64 (n,) each table's largest frequency
    fault: int               # a GROUP_ number up to GROUP_BAD_SUM, or 0
    a: int                   # GROUP_*_TRUNCATED: the bytes needed; GROUP_BAD_MODE: the
    #                          mode; GROUP_PLANE_SIZES: the plane
    b: int                   # GROUP_*_TRUNCATED: the bytes left


def group_tables(raw: np.ndarray, plane_shards: np.ndarray, plane_pixels: int,
                 templates: np.ndarray) -> GroupTables:
    """The shard tables section (inflated, uint8) of a group whose planes have
    plane_shards[p] (uint32) shards of `plane_pixels` residuals each, read
    and checked in the order it is stored: the modes, the shard sizes (each
    plane's add up to its pixels), the widths, the stored tables (compacting
    them again gives the stored bytes; every table sums to SCALE). The
    arrays are whole only without a fault."""
    return GroupTables(*_r._group_tables(raw, plane_shards, plane_pixels, templates))


class GroupStates(NamedTuple):
    states: np.ndarray       # uint64 (n, LANES); STATE_LOW for a shard without a stream
    lengths: np.ndarray      # uint32 (n,) stream lengths, 0 without a stream
    offsets: np.ndarray      # uint32 (n,) where each stream starts in the streams section
    write: np.ndarray        # uint32 (n,) where each shard's header goes in a packed payload
    total: int               # the streams' bytes
    fault: int               # a GROUP_ number from GROUP_STATES_TRUNCATED, or 0
    a: int                   # GROUP_STATES_TRUNCATED: the bytes needed;
    #                          GROUP_STATES_TRAILING: the bytes after the lengths
    b: int                   # GROUP_STATES_TRUNCATED: the bytes left


def group_states(section: np.ndarray, counts: np.ndarray, modes: np.ndarray) -> GroupStates:
    """The shard states section (uint8) of the group whose tables gave
    `counts` and `modes`, read and checked: the final states of every shard
    with a stream (not empty, not mode 3), then their stream lengths, and
    nothing after them."""
    return GroupStates(*_r._group_states(section, counts, modes))


class GroupBytes(NamedTuple):
    tables: np.ndarray       # uint8: the tables section's body before it is deflated
    states: np.ndarray       # uint8: the states section's body
    live: np.ndarray         # uint8 (n,): 1 for the shards with a stream


def group_bytes(modes, counts, widths, freq, states, lengths) -> GroupBytes:
    """The two sections of a shard group as the encoder writes them (what
    group_tables and group_states read back): the modes, shard sizes, widths
    and stored tables; the final states of the shards with a stream and
    their stream lengths."""
    return GroupBytes(*_r._group_bytes(modes, counts, widths, freq, states, lengths))


class ShardStreams(NamedTuple):
    states: np.ndarray       # uint64 (n, LANES) final states
    streams: np.ndarray      # uint8, every shard's stream in one buffer
    offsets: np.ndarray      # where each shard's stream starts in it
    lengths: np.ndarray      # its length


def rans_encode_shards_parallel(data, offsets, counts, cum, freq) -> ShardStreams:
    return ShardStreams(*_r.rans_encode_shards_parallel(data, offsets, counts, cum, freq,
                                                        STATE_LOW))


def rans_encode_shards_packed(data, offsets, counts, cum, freq) -> ShardStreams:
    """rans_encode_shards_parallel with the streams back to back in shard
    order and nothing else in their buffer."""
    return ShardStreams(*_r._rans_encode_shards_packed(data, offsets, counts, cum, freq, STATE_LOW))


def pack_shard_payloads(states, lengths, offsets, streams, out, write_offsets) -> None:
    _r.pack_shard_payloads(states, lengths, offsets, streams, out, write_offsets)


class ShardsDecoded(NamedTuple):
    residuals: np.ndarray    # uint8, the shards one after the other
    consumed: int            # payload bytes read


def rans_decode_own_lookups(payload, counts, cum, freq) -> ShardsDecoded:
    """rans_decode_shards_parallel(payload, counts, cum, freq, lookups) with
    the lookups build_all_lookups gives for `cum`, made by the decoder where
    it uses them."""
    return ShardsDecoded(*_r._rans_decode_own_lookups(payload, counts, cum, freq))


# ---------------------------------------------------------------- bit-pair coder

class PairTables(NamedTuple):
    sf: np.ndarray           # uint16 (4, n_ctx, 4) pair frequencies
    cf: np.ndarray           # uint16 (4, n_ctx, 5) their cumulative tables


def bp_build_pdf_sharded(resid, ctx, luts, h: int, w: int, n_ctx: int,
                         chroma: bool) -> PairTables:
    return PairTables(*_r.bp_build_pdf_sharded(resid, ctx, *luts, h, w, n_ctx, chroma))


def bp_build_pdf_sharded_rgb(residuals, green, luts, h: int, w: int,
                             n_ctx: int) -> tuple[PairTables, PairTables, PairTables]:
    t = _r.bp_build_pdf_sharded_rgb(*residuals, green, *luts, h, w, n_ctx)
    return tuple(PairTables(t[2 * c], t[2 * c + 1]) for c in range(3))


class PairStream(NamedTuple):
    states: np.ndarray       # uint64 (LANES,) final states
    stream: np.ndarray       # uint8


def bp_encode_sharded(resid, ctx, tables: PairTables, luts, h: int, w: int, n_ctx: int,
                      chroma: bool) -> PairStream:
    return PairStream(*_r.bp_encode_sharded(resid, ctx, tables.cf, tables.sf, *luts, h, w,
                                            n_ctx, chroma))


def bp_decode_sharded(stream, states, h: int, w: int, tables: PairTables, luts) -> np.ndarray:
    return _r.bp_decode_sharded(stream, *states, h, w, tables.cf, tables.sf, *luts)


def bp_decode_samples(stream, states, h: int, w: int, tables: PairTables, luts) -> np.ndarray:
    """bp_decode_sharded's plane rebuilt into samples, as reconstruct_2d_channels
    rebuilds it, in the same call."""
    return _r._bp_decode_samples(stream, *states, h, w, tables.cf, tables.sf, *luts)


def bp_decode_sharded_with_ref(stream, states, h: int, w: int, tables: PairTables, ref,
                               luts) -> np.ndarray:
    return _r.bp_decode_sharded_with_ref(stream, *states, h, w, tables.cf, tables.sf, ref,
                                         *luts)


# ---------------------------------------------------------------- reconstruction

def reconstruct_2d_channels(h: int, w: int, residuals) -> np.ndarray:
    return _r.reconstruct_2d_channels(h, w, residuals)


def reconstruct_shards_rgb(h: int, w: int, residuals, starts, luts) -> tuple:
    return _r.reconstruct_shards_rgb(h, w, *residuals, *starts, *luts)


def reconstruct_chroma(h: int, w: int, green: np.ndarray, residuals, starts, luts) -> tuple:
    """The two chroma planes of reconstruct_shards_rgb when the green plane
    (h, w) is already rebuilt: `residuals` and `starts` of red less green and
    blue less green only."""
    return _r._reconstruct_chroma(h, w, green, *residuals, *starts, *luts)


def restore_channels(planes, alpha: np.ndarray | None) -> np.ndarray:
    """The interleaved (h, w, 3 or 4) image of the three colour planes and alpha."""
    return _r.restore_channels(*planes, _EMPTY_PLANE if alpha is None else alpha,
                               alpha is not None, False, True)
