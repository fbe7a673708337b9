"""Byte layout of an .orv file (see docs/format.md).

The reader never trusts a length: every field is checked against the bytes
that remain before it is read or anything is allocated for it, and every
failure is a FormatError that says which part of the file is wrong.
"""
from __future__ import annotations

import struct
import zlib
from dataclasses import dataclass
from typing import NamedTuple

import numpy as np

from . import model, native
from .checksum import crc32
from .errors import FormatError
from .native import LANES, STATE_LIMIT, STATE_LOW

_U32 = struct.Struct("<I")

MAGIC = b"\x89ORV\r\n\x1a\n"
VERSION = 1
MAX_SIDE = 65535
MAX_PIXELS = 1 << 28
CHANNELS = (1, 3, 4)
CODER_SHARD = 0
CODER_BITPAIR = 1
CODER_NAMES = {CODER_SHARD: "shard", CODER_BITPAIR: "bitpair"}
PLANE_NAMES = {1: ("gray",), 3: ("green", "red-green", "blue-green"),
               4: ("green", "red-green", "blue-green", "alpha")}
SECTION_FRAME = 8           # a section's u32 length before its body, u32 CRC-32 after
STATE_BYTES = 5             # a final state, as its offset from STATE_LOW (below 2^40)
STATES_BYTES = LANES * STATE_BYTES
_FIXED = struct.Struct("<8sBBBBIII")  # magic, version, channels, model, L, width, height, crc
# optional metadata sections after the coded ones: tag, and the field it fills, in file order
METADATA_TAGS = {b"ICC ": "icc_profile", b"EXIF": "exif", b"XMP ": "xmp"}
METADATA_NAMES = {"icc_profile": "ICC profile", "exif": "EXIF", "xmp": "XMP"}


@dataclass(frozen=True)
class Header:
    channels: int            # 1 gray, 3 RGB, 4 RGBA
    height: int
    width: int
    model: int               # context model id
    bounds: tuple[int, ...]  # gradient bounds of the shard coder's contexts
    class_map: bytes         # empty (a shard per class) or one shard number per class
    coders: tuple[int, ...]  # one per plane
    pixel_crc: int
    bands: tuple[int, ...] = ()   # model 2: the intensity thresholds of its bands

    @property
    def shape(self) -> tuple[int, ...]:
        return image_shape(self.height, self.width, self.channels)

    @property
    def planes(self) -> tuple[str, ...]:
        return PLANE_NAMES[self.channels]

    @property
    def coder_names(self) -> tuple[str, ...]:
        return tuple(CODER_NAMES[c] for c in self.coders)


def image_shape(height: int, width: int, channels: int) -> tuple[int, ...]:
    """The array shape of an image: (h, w) for gray, (h, w, c) otherwise."""
    return (height, width) if channels == 1 else (height, width, channels)


def is_version(data, version: int) -> bool:
    """Whether `data` starts with the magic number and this format version."""
    head = data[:len(MAGIC) + 1] if isinstance(data, bytes) else \
        bytes(memoryview(data).cast("B")[:len(MAGIC) + 1])
    return head == MAGIC + bytes([version])


def check_dimensions(height: int, width: int) -> None:
    if not (1 <= height <= MAX_SIDE and 1 <= width <= MAX_SIDE):
        raise ValueError(f"image sides must lie in 1..{MAX_SIDE}, got {height} x {width}")
    if height * width > MAX_PIXELS:
        raise ValueError(f"image has {height * width} pixels, more than the limit {MAX_PIXELS}")


# class map kinds: none (a shard per class), the entries as bytes, or (model
# 2 only: model 1 readers know only the first two) the entries as a zlib
# stream after its u16 length, whichever is shorter
MAP_NONE, MAP_RAW, MAP_DEFLATED = 0, 1, 2


def _deflated_map(class_map: bytes) -> bytes | None:
    """The deflated form of a class map (its u16 length and zlib stream), or
    None when it is not the shorter form."""
    packed = zlib.compress(bytes(class_map), 9)
    return struct.pack("<H", len(packed)) + packed if 2 + len(packed) < len(class_map) else None


def deflated_map_pays(class_map: bytes) -> bool:
    """Whether the deflated form of a class map is the shorter."""
    return _deflated_map(class_map) is not None


def pack_class_map(class_map: bytes, model_id: int) -> bytes:
    """The kind byte and the stored form of a class map (the shorter one)."""
    if not class_map:
        return bytes([MAP_NONE])
    deflated = _deflated_map(class_map) if model_id == model.MODEL_BANDS else None
    if deflated is not None:
        return bytes([MAP_DEFLATED]) + deflated
    return bytes([MAP_RAW]) + bytes(class_map)


def pack_header(h: Header) -> bytes:
    body = _FIXED.pack(MAGIC, VERSION, h.channels, h.model, len(h.bounds), h.width, h.height,
                       h.pixel_crc)
    body += bytes(h.bounds)
    if h.model == model.MODEL_BANDS:
        body += bytes([len(h.bands), *h.bands])
    body += pack_class_map(h.class_map, h.model) + bytes(h.coders)
    return body + struct.pack("<I", crc32(body))


def section(body) -> bytes:
    """Frames a section: u32 length, the body, u32 CRC-32 of the body."""
    return b"".join(section_parts(body))


def section_parts(body) -> list:
    """The parts of a framed section (length, body, CRC-32), for joining
    with others without copying a large body twice; `body` is any
    contiguous bytes-like object."""
    view = memoryview(body).cast("B")
    return [struct.pack("<I", len(view)), view, struct.pack("<I", crc32(view))]


class Metadata(NamedTuple):
    """What an image carries besides its pixels; each field is bytes or None."""
    icc_profile: bytes | None = None
    exif: bytes | None = None
    xmp: bytes | None = None


def metadata_bytes(value, name: str) -> bytes | None:
    """A metadata argument as bytes (None or empty: absent); XMP may be a str."""
    if value is None:
        return None
    if isinstance(value, str) and name == "xmp":
        value = value.encode("utf-8")
    try:
        data = bytes(memoryview(value).cast("B"))
    except TypeError:
        raise TypeError(f"{name} must be bytes or None, not {type(value).__name__}") from None
    if len(data) > 0xFFFFFFFF - 4:
        raise ValueError(f"{name} is too long ({len(data)} bytes) for an orv file")
    return data or None


def pack_metadata(meta: Metadata) -> bytes:
    """The metadata sections of `meta`, in file order (nothing when it is empty)."""
    return b"".join(section(tag + getattr(meta, name))
                    for tag, name in METADATA_TAGS.items() if getattr(meta, name))


def read_metadata(r: "Reader") -> Metadata:
    """Reads the metadata sections that end a file: each kind at most once, in
    the order ICC profile, EXIF, XMP, none of them empty."""
    if r.pos == len(r.buf):
        return _NO_METADATA
    found: dict[str, bytes] = {}
    order = list(METADATA_TAGS)
    last = -1
    while r.remaining:
        n = struct.unpack("<I", r.buf[r.pos:r.pos + 4])[0] if r.remaining >= 4 else -1
        if not 0 <= n <= r.remaining - 8:
            raise FormatError(trailing_bytes(r.what, r.remaining) + " (not a metadata section)")
        body = r.section("metadata")
        tag = bytes(body[:4])
        if len(body) <= 4 or tag not in METADATA_TAGS:
            raise FormatError(f"a metadata section is malformed (tag {tag!r}, "
                              f"{max(len(body) - 4, 0)} bytes)")
        if order.index(tag) <= last:
            raise FormatError(f"metadata: the {METADATA_NAMES[METADATA_TAGS[tag]]} section "
                              "is repeated or out of order")
        last = order.index(tag)
        found[METADATA_TAGS[tag]] = bytes(body[4:])
    return Metadata(**found)


_NO_METADATA = Metadata()


def states_to_bytes(states: np.ndarray) -> bytes:
    """Coder states in [2^31, 2^39) stored as 5-byte little-endian offsets from 2^31."""
    s = np.ascontiguousarray(states, dtype=np.uint64).reshape(-1)
    if s.size and (int(s.min()) < STATE_LOW or int(s.max()) >= STATE_LIMIT):
        raise RuntimeError("coder state outside [2^31, 2^39)")
    off = (s - np.uint64(STATE_LOW)).astype("<u8")
    return off.view(np.uint8).reshape(-1, 8)[:, :STATE_BYTES].tobytes()


_STATE_MASK = np.uint64((1 << (8 * STATE_BYTES)) - 1)


def states_from_bytes(raw: bytes | memoryview, what: str) -> np.ndarray:
    """The states of `raw` (a whole number of STATE_BYTES records)."""
    n = len(raw) // STATE_BYTES
    if n * STATE_BYTES != len(raw):
        raise ValueError("states take a whole number of records")
    # each state read as eight bytes at its record (three spare zero bytes
    # after the last) and cut to its five: two vector steps for any count
    padded = bytes(raw) + bytes(8 - STATE_BYTES)
    off = np.ndarray((n,), dtype="<u8", buffer=padded, strides=(STATE_BYTES,)) & _STATE_MASK
    if n and int(off.max()) >= STATE_LIMIT - STATE_LOW:
        raise FormatError(f"{what}: coder state out of range")
    return off + np.uint64(STATE_LOW)


def varints(values) -> bytes:
    """Unsigned LEB128 numbers (below 2^35), back to back."""
    return native.varint_bytes(np.asarray(values, dtype=np.uint64).reshape(-1)).tobytes()


# What a reader says of the bytes it refuses: the module's readers of a shard
# group name the same faults in the same words.

def short_bytes(where: str, what: str, need: int, left: int) -> str:
    return f"{where} is truncated: {what} needs {need} bytes, {left} left"


def short_numbers(where: str, what: str) -> str:
    return f"{where} is truncated: {what} runs past the end"


def long_number(where: str, what: str) -> str:
    return f"{where}: {what} is not a valid number"


def trailing_bytes(where: str, left: int) -> str:
    return f"{where} has {left} unexpected trailing bytes"


class Reader:
    """Sequential reader over an immutable buffer; all reads are bounds-checked."""

    def __init__(self, data: bytes | bytearray | memoryview, what: str = "file",
                 verify: bool = True):
        self.buf = memoryview(data).cast("B") if not isinstance(data, memoryview) else data.cast("B")
        self.pos = 0
        self.what = what
        # False: the sections' checksums were checked by an earlier read of the same bytes
        self.verify = verify

    @property
    def remaining(self) -> int:
        return len(self.buf) - self.pos

    def take(self, n: int, what: str) -> memoryview:
        pos = self.pos
        if n < 0 or pos + n > len(self.buf):
            raise FormatError(short_bytes(self.what, what, n, self.remaining))
        self.pos = pos + n
        return self.buf[pos:pos + n]

    def u8(self, what: str) -> int:
        return self.take(1, what)[0]

    def u32(self, what: str) -> int:
        pos = self.pos
        if pos + 4 > len(self.buf):
            self.take(4, what)   # refuses with the message
        self.pos = pos + 4
        return _U32.unpack_from(self.buf, pos)[0]

    def varints(self, count: int, what: str) -> np.ndarray:
        """`count` LEB128 numbers of at most 5 bytes each, as int64."""
        window = np.frombuffer(self.buf[self.pos:self.pos + 5 * count], dtype=np.uint8)
        got = native.varints(window, count)
        if got.fault == native.VARINTS_TRUNCATED:
            raise FormatError(short_numbers(self.what, what))
        if got.fault == native.VARINTS_TOO_LONG:
            raise FormatError(long_number(self.what, what))
        self.pos += got.used
        return got.values

    def part_lengths(self, n: int, least: int, kind: str, part: str) -> np.ndarray:
        """The lengths of the `n` parts of a container file (a stack's images,
        an image's strips) and its header's checksum, which closes the header.
        Every part takes at least `least` bytes, which bounds `n` before any
        length is read."""
        if n * least > self.remaining:
            raise FormatError(f"{kind} file is truncated: {n} {part}s cannot fit in "
                              f"{self.remaining} bytes")
        lengths = self.varints(n, f"the {part} lengths")
        hcrc = self.u32(f"the {kind} header checksum")
        if crc32(bytes(self.buf[:self.pos - 4])) != hcrc:
            raise FormatError(f"the {kind} header is corrupt (checksum mismatch)")
        return lengths

    def section(self, what: str) -> memoryview:
        pos, size = self.pos, len(self.buf)
        if pos + 4 <= size:
            start = pos + 4
            end = start + _U32.unpack_from(self.buf, pos)[0]
            if end + 4 <= size:
                # the whole section is there: read without composing messages
                body = self.buf[start:end]
                self.pos = end + 4
                if self.verify and crc32(body) != _U32.unpack_from(self.buf, end)[0]:
                    raise FormatError(f"the {what} section is corrupt (checksum mismatch)")
                return body
        # a part is missing: the reads below say which
        n = self.u32(f"length of the {what} section")
        self.take(n, f"the {what} section")
        self.u32(f"checksum of the {what} section")
        raise AssertionError("unreachable: a part of the section is missing")

    def skip_section(self, what: str) -> memoryview:
        """A section's body, its checksum left unchecked (for a quick look at a
        file whose sections are checked when it is decoded)."""
        n = self.u32(f"length of the {what} section")
        body = self.take(n, f"the {what} section")
        self.take(4, f"checksum of the {what} section")
        return body

    def done(self) -> None:
        if self.remaining:
            raise FormatError(trailing_bytes(self.what, self.remaining))


def read_header(data, verify: bool = True) -> tuple[Header, Reader]:
    """The header of a single-image file, and a reader at its end (verify=False:
    the reader leaves the sections' checksums alone; the header's is checked)."""
    r = Reader(data, verify=verify)
    if len(r.buf) < len(MAGIC) or bytes(r.buf[:len(MAGIC)]) != MAGIC:
        raise FormatError("not an orv file (bad magic number)")
    fixed = r.take(_FIXED.size, "the header")
    (_, version, channels, model_id, nb, width, height, crc) = _FIXED.unpack(fixed)
    if version != VERSION:
        raise FormatError(f"unsupported orv format version {version} (this reader knows {VERSION})")
    if channels not in CHANNELS:
        raise FormatError(f"header: unsupported channel count {channels}")
    bounds = tuple(r.take(nb, "the header's gradient bounds"))
    bands = ()
    if model_id == model.MODEL_BANDS:
        bands = tuple(r.take(r.u8("the header's intensity threshold count"),
                             "the header's intensity thresholds"))
    kind = r.u8("the header's class map kind")
    if kind > (MAP_DEFLATED if model_id == model.MODEL_BANDS else MAP_RAW):
        raise FormatError(f"header: unknown class map kind {kind}")
    entries = (2 * nb + 1) ** 2 * (len(bands) + 1)
    if kind == MAP_RAW:
        class_map = bytes(r.take(entries, "the header's class map"))
    elif kind == MAP_DEFLATED:
        packed = r.take(int.from_bytes(r.take(2, "the header's class map length"), "little"),
                        "the header's class map")
        try:
            class_map = inflate(packed, entries, "header's class map")
        except FormatError:
            raise FormatError("header: the class map is corrupt (bad compressed data)") from None
        if len(class_map) != entries:
            raise FormatError(f"header: the class map holds {len(class_map)} entries, "
                              f"not {entries}")
    else:
        class_map = b""
    coders = tuple(r.take(channels, "the header's coder bytes"))
    hcrc = r.u32("the header checksum")
    if crc32(bytes(r.buf[:r.pos - 4])) != hcrc:
        raise FormatError("the header is corrupt (checksum mismatch)")
    try:
        model.check_model(model_id)
        model.check_bounds(bounds)
        if model_id == model.MODEL_BANDS:
            model.check_bands(bands)
        check_dimensions(height, width)
    except ValueError as e:
        raise FormatError(f"header: {e}") from None
    for c in coders:
        if c not in CODER_NAMES:
            raise FormatError(f"header: unknown coder {c}")
    if class_map and max(class_map) >= len(class_map):
        raise FormatError("header: the class map names more shards than classes")
    if model_id == model.MODEL_BANDS and not class_map:
        raise FormatError("header: context model 2 needs a class map")
    return Header(channels, height, width, model_id, bounds, class_map, coders, crc, bands), r


def inflate(body, limit: int, what: str) -> bytes:
    """zlib-decompresses at most `limit` bytes; refuses streams that are longer or broken."""
    d = zlib.decompressobj()
    try:
        out = d.decompress(bytes(body), limit)
        if d.unconsumed_tail or not d.eof or d.unused_data:
            raise FormatError(f"the {what} section is corrupt (bad compressed data)")
    except zlib.error:
        raise FormatError(f"the {what} section is corrupt (bad compressed data)") from None
    return out


# from this many bytes on, `fast` deflates at level 5
_LARGE_DEFLATE = 16384


def deflate(data: bytes, fast: bool = False) -> bytes:
    """zlib-compresses `data` at level 9, or with `fast` at level 7, or 5 for
    data of _LARGE_DEFLATE bytes and more: on the shard tables of a large
    photo level 9 takes three to four times as long as 7 for half a percent
    fewer bytes, and 7 twice as long as 5 for 1.5% fewer (0.02% of the file).
    Level 7 is the first that the stream's header calls "maximum
    compression", as for 9, and gives the same bytes on small tables."""
    if not fast:
        return zlib.compress(data, 9)
    return zlib.compress(data, 5 if len(data) >= _LARGE_DEFLATE else 7)
