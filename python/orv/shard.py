"""The shard coder: a plane's residuals are split into shards by context
number, each shard coded with its own frequency table (or a template); all
shard-coded planes of an image form one group, coded in one parallel call,
whose three sections are the tables, the final states and the streams."""
from __future__ import annotations

import mmap
from dataclasses import dataclass, field
from itertools import accumulate
from typing import NamedTuple

import numpy as np

from . import container as fmt
from . import model, native
from .analysis import Analysed
from .container import Header
from .errors import FormatError
from .native import checked


def shard_bounds(pixels: int) -> tuple[int, ...]:
    """Gradient bounds of the shard coder's contexts: fewer shards for smaller
    images, so that their tables and states do not outweigh what they save."""
    # every shard costs its four final states (20 bytes) and its table: on
    # crops of the bench photos one shard per plane is smallest from 64 x 64
    # to about 80 x 80 pixels, and 3 or 9 classes up to 256 x 256. (Below
    # 4096 pixels, where one shard would be smaller still, the files stay
    # byte for byte as they were: tests and tools pin their layout.)
    if pixels < 4096:
        return (3,)
    if pixels < 6144:
        return ()
    if pixels < 24576:
        return (4,)
    if pixels < 49152:
        return (3,)
    if pixels < 65536:
        return (2, 8)
    if pixels < 400000:
        return (1, 3, 8)
    if pixels < 1500000:
        return (1, 3, 8, 21)
    # from 1.5 MP on, finer classes of small gradients pay for their tables
    # (the 3.4 MP flower and the 2 MP retina photo 0.5% and 1.0% smaller than
    # with (1, 2, 5, 12, 30); the 0.9 MP photo of the tier below prefers its own)
    return (1, 2, 3, 6, 12, 24)


# ---------------------------------------------------------------- encoder

@dataclass
class ShardCoded:
    plane_shards: list       # per plane: index array into the group arrays
    counts: np.ndarray       # uint32 (n,)
    widths: np.ndarray       # uint16 (n,)
    modes: np.ndarray        # uint8 (n,)
    freq: np.ndarray         # uint64 (n, SYMBOLS)
    coded: native.ShardStreams
    thorough: bool = True    # compress the tables as tightly as zlib can (slower)
    sides: dict = field(default_factory=dict)   # planes -> _Side, made on first use


def encode(a: Analysed, K: int, thorough: bool = True) -> ShardCoded:
    """Codes every plane of the image analysed with its streams placed
    (analysis.analyse(..., place=True)) with the shard coder;
    thorough=False stores the tables less tightly, faster."""
    hw = a.h * a.w
    n_col = 1 if a.channels == 1 else 3
    alpha_res = a.alpha_residuals
    data = a.streams    # phase two ran with phase one (analyse(..., place=True))
    # the colour planes' shards one plane after the other, then alpha's one shard
    offsets = (a.p1.starts[:n_col].astype(np.int64)
               + np.arange(n_col, dtype=np.int64)[:, None] * hw).reshape(-1)
    counts = a.p1.totals[:n_col].reshape(-1)
    hist = a.p1.hist[:n_col].reshape(-1, native.SYMBOLS)
    plane_shards = [np.arange(c * K, (c + 1) * K) for c in range(n_col)]
    if alpha_res is not None:
        data[n_col * hw:] = alpha_res.reshape(-1)
        offsets = np.append(offsets, n_col * hw)
        counts = np.append(counts, hw)
        hist = np.concatenate([hist, np.bincount(alpha_res.reshape(-1),
                                                 minlength=native.SYMBOLS)[None, :]])
        plane_shards.append(np.array([n_col * K]))
    offsets = offsets.astype(np.uint32)
    counts = counts.astype(np.uint32)
    # the histograms are those of the streams (phase two puts each residual
    # into the shard phase one counted it in), so they give the streams'
    # tables: per shard its own, or the cheapest template where that is
    # smaller with the own table's stored record counted
    cum, freq, modes, widths = native.shard_tables(hist, model.templates(),
                                                   model.template_costs_fixed(),
                                                   model.own_costs_fixed())
    coded = native.rans_encode_shards_packed(data, offsets, counts, cum, freq)
    return ShardCoded(plane_shards, counts, widths, modes, freq, coded, thorough)


class _Side(NamedTuple):
    """The tables and states sections of a set of planes, and their live shards."""
    sections: bytes
    live: np.ndarray


def _side(sc: ShardCoded, planes: list[int]) -> _Side:
    """The tables and states sections of the given planes' shards (made once
    per set of planes: the encoder weighs a coding by its size before it
    builds the file)."""
    key = tuple(planes)
    found = sc.sides.get(key)
    if found is not None:
        return found
    sel = np.concatenate([sc.plane_shards[p] for p in planes])
    g = native.group_bytes(sc.modes[sel], sc.counts[sel], sc.widths[sel], sc.freq[sel],
                           sc.coded.states[sel], sc.coded.lengths[sel])
    live = sel[g.live.view(bool)]
    tables, states = g.tables.tobytes(), g.states.tobytes()
    packed = fmt.deflate(tables, fast=True)
    if sc.thorough:
        # the smaller of the two levels: never larger than the fast encoder's
        tight = fmt.deflate(tables)
        packed = tight if len(tight) < len(packed) else packed
    found = sc.sides[key] = _Side(fmt.section(packed) + fmt.section(states), live)
    return found


def sections_size(sc: ShardCoded, planes: list[int]) -> int:
    """The bytes of the three sections of the group of the given planes."""
    side = _side(sc, planes)
    return len(side.sections) + fmt.SECTION_FRAME + int(sc.coded.lengths[side.live].sum())


def plane_size(sc: ShardCoded, p: int) -> int:
    """The bytes plane `p` would take as the only shard-coded plane."""
    return sections_size(sc, [p])


def sections(sc: ShardCoded, planes: list[int]) -> bytes:
    """The three sections of the group of the given planes."""
    return b"".join(section_parts(sc, planes))


def section_parts(sc: ShardCoded, planes: list[int]) -> list:
    """The three sections of the group of the given planes, as parts to join."""
    side, live = _side(sc, planes)
    offsets, lengths = sc.coded.offsets[live], sc.coded.lengths[live]
    n = int(lengths.sum())
    streams = sc.coded.streams
    if len(live) and int(offsets[-1]) + int(lengths[-1]) - int(offsets[0]) == n and \
            (np.diff(offsets.astype(np.int64)) == lengths[:-1]).all():
        # the live shards' streams lie back to back in the coder's buffer: one slice
        body = streams[int(offsets[0]):int(offsets[0]) + n]
    else:
        body = np.concatenate([streams[o:o + k] for o, k in
                               zip(offsets.tolist(), lengths.tolist())]) if n else streams[:0]
    return [side, *fmt.section_parts(body)]


# ---------------------------------------------------------------- decoder

class Group(NamedTuple):
    """The shard group of a file, read and checked, not yet decoded."""
    counts: np.ndarray       # uint32 (n,) residuals per shard
    starts: np.ndarray       # uint32 (n,) where each shard starts in its plane
    freq: np.ndarray         # uint64 (n, SYMBOLS)
    cum: np.ndarray          # uint64 (n, SYMBOLS + 1), the cumulative tables of freq
    states: np.ndarray       # uint64 (n, LANES); STATE_LOW for shards without a stream
    lengths: np.ndarray      # uint32 (n,) stream lengths, 0 without a stream
    offsets: np.ndarray      # uint32 (n,) where each stream starts in `streams`
    write: np.ndarray        # uint32 (n,) where each shard's header goes in the payload
    streams: np.ndarray      # uint8, the streams back to back
    ends: list               # per plane: the end of its shards in the group
    sizes: list              # per plane: its number of shards


def read(r: fmt.Reader, hdr: Header, planes: list[int], K: int, hw: int) -> Group:
    """Reads and checks the shard group of `planes` (K shards per colour plane)."""
    n_col = 1 if hdr.channels == 1 else 3
    sizes = [K if p < n_col else 1 for p in planes]
    n = sum(sizes)
    raw = fmt.inflate(r.section("shard tables"), n * 11 + n * 513, "shard tables")
    t = checked(native.group_tables, np.frombuffer(raw, dtype=np.uint8),
                np.array(sizes, dtype=np.uint32), hw, model.templates())
    if t.fault:
        raise FormatError(_tables_fault(t, hdr, planes, hw))
    s = checked(native.group_states, np.frombuffer(r.section("shard states"), dtype=np.uint8),
                t.counts, t.modes)
    if s.fault:
        raise FormatError(_states_fault(s))
    streams = r.section("shard streams")
    if s.total != len(streams):
        raise FormatError("shard streams: the stream lengths do not match the section")
    # a shard without a stream is never too short: it has no residuals, or
    # its table gives symbol 0 the whole scale
    short = native.streams_too_short(s.lengths, t.counts, t.top)
    if short.any():
        i = int(np.argmax(short))
        raise FormatError(f"shard streams: the stream of shard {i} is too short for its "
                          f"{int(t.counts[i])} residuals")
    return Group(t.counts, t.starts, t.freq, t.cum, s.states, s.lengths, s.offsets, s.write,
                 np.frombuffer(streams, dtype=np.uint8), list(accumulate(sizes)), sizes)


def _tables_fault(t: native.GroupTables, hdr: Header, planes: list[int], hw: int) -> str:
    where = "the shard tables section"
    return {
        native.GROUP_MODES_TRUNCATED: lambda: fmt.short_bytes(where, "the shard modes", t.a, t.b),
        native.GROUP_BAD_MODE: lambda: f"shard tables: invalid mode {t.a}",
        native.GROUP_SIZES_TRUNCATED: lambda: fmt.short_numbers(where, "the shard sizes"),
        native.GROUP_SIZES_TOO_LONG: lambda: fmt.long_number(where, "the shard sizes"),
        native.GROUP_PLANE_SIZES: lambda: (f"shard tables: the shard sizes of the "
                                           f"{hdr.planes[planes[t.a]]} plane do not add up to "
                                           f"{hw} pixels"),
        native.GROUP_WIDTHS_TRUNCATED: lambda: fmt.short_bytes(where, "the shard widths", t.a, t.b),
        native.GROUP_NOT_CANONICAL: lambda: "shard tables: the stored frequency tables are malformed",
        native.GROUP_BAD_SUM: lambda: f"shard tables: a frequency table does not sum to {native.SCALE}",
    }[t.fault]()


def _states_fault(s: native.GroupStates) -> str:
    where = "the shard states section"
    return {
        native.GROUP_STATES_TRUNCATED: lambda: fmt.short_bytes(where, "the states", s.a, s.b),
        native.GROUP_STATE_RANGE: lambda: "shard states: coder state out of range",
        native.GROUP_LENGTHS_TRUNCATED: lambda: fmt.short_numbers(where, "the stream lengths"),
        native.GROUP_LENGTHS_TOO_LONG: lambda: fmt.long_number(where, "the stream lengths"),
        native.GROUP_STATES_TRAILING: lambda: fmt.trailing_bytes(where, s.a),
        native.GROUP_LENGTH_RANGE: lambda: "shard states: a stream length is out of range",
    }[s.fault]()


# a scratch mapping: private (a shared mapping's pages cost more to map), and
# mapped in one call rather than a fault per page, since every byte is written
_SCRATCH_FLAGS = (mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS | getattr(mmap, "MAP_POPULATE", 0)
                  if hasattr(mmap, "MAP_ANONYMOUS") else 0)


def _scratch(n: int) -> np.ndarray:
    """A uint8 work buffer that goes back to the system when it is dropped.

    The allocator keeps freed blocks below its (growing) mapping threshold
    for reuse, so a big temporary such as the packed payload would stay
    resident beside the planes allocated after it; a mapping of its own is
    returned when the last view of it goes."""
    if n < 1 << 20:
        return np.empty(n, dtype=np.uint8)
    m = mmap.mmap(-1, n, flags=_SCRATCH_FLAGS) if _SCRATCH_FLAGS else mmap.mmap(-1, n)
    return np.frombuffer(m, dtype=np.uint8)


def decode(group: Group) -> np.ndarray:
    """The residuals of every shard of the group, one shard after the other."""
    n = len(group.counts)
    # every shard gets a packed header: the ones the file leaves out (empty, or
    # all zeros under the symbol-zero table) get empty streams and decode to zeros
    payload = _scratch(native.PAYLOAD_HEADER_BYTES * n + len(group.streams))
    checked(native.pack_shard_payloads, group.states, group.lengths, group.offsets, group.streams,
            payload, group.write)
    # each shard's slot lookup is made by the decoder where it uses it (the
    # vector decoder builds one into its own table anyway)
    decoded, consumed = checked(native.rans_decode_own_lookups, payload, group.counts, group.cum,
                                group.freq)
    if consumed != len(payload):
        raise FormatError("shard streams: the payload does not match its lengths")
    return decoded


def plane_residuals(group: Group, planes: list[int], flat: np.ndarray, hw: int):
    """Views of the decoded group per plane, with each plane's shard starts."""
    res, starts = {}, {}
    for i, p in enumerate(planes):
        res[p] = flat[i * hw:(i + 1) * hw]
        starts[p] = group.starts[group.ends[i] - group.sizes[i]:group.ends[i]]
    return res, starts
