"""Single images of format version 4: the transforms and coders for synthetic
content (charts, screenshots, text, few colours), kept only when they make
the file smaller than version 1.

    header (28 bytes)
    ["palette" section]     with the palette transform
    "pixels" section        the coded samples (below)
    [metadata sections]     as in version 1

The samples are the palette indices (one gray plane), the image's planes, or
(a colour transform, orv.colour) the image with one chroma plane predicted
from the other, coded by orv only. They are coded as one of:
    CODING_ORV       a version-1 coded image (header and coded sections, no
                     metadata) of the index plane, or of the colour-transformed image
    CODING_ZSTD      a zstd frame of the samples, interleaved, row-major
    CODING_ZSTD_RES  a zstd frame of the prediction residuals, plane after plane
                     (gray or indices; or green, red-green, blue-green, then alpha)

This module knows the body, not the version-1 coder: orv.single hands it the
functions that code and decode a version-1 image, so neither imports the other
in a circle.
"""
from __future__ import annotations

import struct
from dataclasses import dataclass
from typing import Callable, NamedTuple

import numpy as np

from . import container as fmt
from . import colour, limits, lz, model, native, palette
from .analysis import analyse
from .checksum import crc32
from .errors import FormatError
from .native import checked

VERSION = 4
TRANSFORM_NONE, TRANSFORM_PALETTE = 0, 1
CODING_ORV, CODING_ZSTD, CODING_ZSTD_RES = 0, 1, 2
# the colour transforms (orv.colour), of RGB and RGBA images coded by orv
COLOUR_TRANSFORMS = tuple(colour.TRANSFORMS)
TRANSFORM_NAMES = {TRANSFORM_NONE: "none", TRANSFORM_PALETTE: "palette",
                   **{t: c.name for t, c in colour.TRANSFORMS.items()}}
CODING_NAMES = {CODING_ORV: "orv", CODING_ZSTD: "zstd", CODING_ZSTD_RES: "zstd residuals"}
# magic, version, channels, transform, coding, width, height, pixel CRC; then the header's CRC
_FIXED = struct.Struct("<8sBBBBIII")
HEADER_BYTES = _FIXED.size + 4
# zstd is tried when its quick estimate (the fastest level on the raw samples)
# is at most this share of the version-1 size: graphics that zstd wins come
# well below it, photos well above (1.3 to 3.5 on the bench corpus)
_ESTIMATE_SHARE = 1.1
_THOROUGH_SHARE = 1.5      # the same, for the thorough search
_SMALL_IMAGE = 128 * 128  # pixels up to which every cheap candidate is tried
# a small image's search level of zstd is tried when the fastest level's
# frame is at most this share of the version-1 size: on crops of the bench
# photos (64 to 128 pixels square) that spends a third of the time for 0.1%
# more bytes, on the graphics corpus's crops it loses nothing
_SMALL_SHARE = 1.05
_RESIDUAL_BOUNDS = (1,)


@dataclass(frozen=True)
class Header4:
    channels: int
    height: int
    width: int
    transform: int
    coding: int
    pixel_crc: int

    @property
    def shape(self) -> tuple[int, ...]:
        return fmt.image_shape(self.height, self.width, self.channels)

    @property
    def planes(self) -> tuple[str, ...]:
        return fmt.PLANE_NAMES[self.channels]

    @property
    def coder_names(self) -> tuple[str, ...]:
        name = CODING_NAMES[self.coding]
        return tuple(f"{TRANSFORM_NAMES[self.transform]} {name}" if self.transform else name
                     for _ in self.planes)

    @property
    def coded_channels(self) -> int:
        """Channels of the coded samples: one for palette indices."""
        return 1 if self.transform == TRANSFORM_PALETTE else self.channels


def is_version4(data) -> bool:
    return fmt.is_version(data, VERSION)


# ---------------------------------------------------------------- layout

def pack(hdr: Header4, entries: np.ndarray | None, pixels: bytes) -> bytes:
    head = _FIXED.pack(fmt.MAGIC, VERSION, hdr.channels, hdr.transform, hdr.coding, hdr.width,
                       hdr.height, hdr.pixel_crc)
    out = [head, struct.pack("<I", crc32(head))]
    if hdr.transform == TRANSFORM_PALETTE:
        out.append(fmt.section(np.ascontiguousarray(entries, dtype=np.uint8).tobytes()))
    out.append(fmt.section(pixels))
    return b"".join(out)


class Body(NamedTuple):
    """A version-4 file read up to its metadata: framing and CRCs checked."""
    hdr: Header4
    entries: np.ndarray | None  # (n, channels) palette entries
    pixels: memoryview           # the "pixels" section's body


def read_header(data) -> tuple[Header4, fmt.Reader]:
    r = fmt.Reader(data)
    if len(r.buf) < len(fmt.MAGIC) or bytes(r.buf[:len(fmt.MAGIC)]) != fmt.MAGIC:
        raise FormatError("not an orv file (bad magic number)")
    fixed = r.take(_FIXED.size, "the header")
    _, version, ch, transform, coding, width, height, crc = _FIXED.unpack(fixed)
    if crc32(fixed) != r.u32("the header checksum"):
        raise FormatError("the header is corrupt (checksum mismatch)")
    if version != VERSION:
        raise FormatError(f"unsupported orv format version {version} (expected {VERSION})")
    if ch not in fmt.CHANNELS:
        raise FormatError(f"header: unsupported channel count {ch}")
    if transform not in TRANSFORM_NAMES:
        raise FormatError(f"header: unknown transform {transform}")
    if coding not in CODING_NAMES:
        raise FormatError(f"header: unknown coding {coding}")
    if transform == TRANSFORM_NONE and coding == CODING_ORV:
        raise FormatError("header: an image without a transform coded by orv is a "
                          "version-1 file, not version 4")
    if transform in COLOUR_TRANSFORMS and (ch < 3 or coding != CODING_ORV):
        raise FormatError(f"header: the {TRANSFORM_NAMES[transform]} transform needs a colour "
                          "image coded by orv")
    try:
        fmt.check_dimensions(height, width)
    except ValueError as e:
        raise FormatError(f"header: {e}") from None
    return Header4(ch, height, width, transform, coding, crc), r


def read(data, *, max_pixels: float | None = None, verify: bool = True) -> tuple[Body, fmt.Reader]:
    """Reads and checks the header and the coded sections; the reader is left
    at the metadata sections."""
    hdr, r = read_header(data)
    limits.check_pixels(hdr.height * hdr.width, max_pixels)
    section = r.section if verify else r.skip_section
    entries = None
    if hdr.transform == TRANSFORM_PALETTE:
        raw = section("palette")
        n, rest = divmod(len(raw), hdr.channels)
        if rest or not 1 <= n <= palette.MAX_ENTRIES:
            raise FormatError(f"the palette section is malformed ({len(raw)} bytes for "
                              f"{hdr.channels}-channel entries, 1..{palette.MAX_ENTRIES} of them)")
        entries = np.frombuffer(raw, dtype=np.uint8).reshape(n, hdr.channels)
    return Body(hdr, entries, section("pixels")), r


# ---------------------------------------------------------------- decoding

def decode(data, *, max_pixels: float | None, decode_v1: Callable) -> np.ndarray:
    """The image of a version-4 file; `decode_v1(data, shape[, transform])`
    decodes a version-1 image of that shape (and refuses any other), undoing
    a colour transform on its planes."""
    body, r = read(data, max_pixels=max_pixels)
    fmt.read_metadata(r)
    r.done()
    hdr = body.hdr
    samples = _samples(body, decode_v1)
    if hdr.transform == TRANSFORM_PALETTE:
        if int(samples.max()) >= len(body.entries):
            raise FormatError(f"the pixels section names palette entry {int(samples.max())}, "
                              f"the palette has {len(body.entries)}")
        img = palette.apply(body.entries, samples)
    else:
        img = samples
    if crc32(img) != hdr.pixel_crc:
        raise FormatError("decoded pixels do not match the stored checksum")
    return img


def _samples(body: Body, decode_v1: Callable) -> np.ndarray:
    """The coded samples: (h, w) for one coded channel, else (h, w, channels)."""
    hdr = body.hdr
    h, w, cc = hdr.height, hdr.width, hdr.coded_channels
    if hdr.coding == CODING_ORV:
        try:
            if hdr.transform in COLOUR_TRANSFORMS:
                # the image itself: the decoder undoes the transform on its
                # planes, before it interleaves them
                return decode_v1(body.pixels, hdr.shape, hdr.transform)
            return decode_v1(body.pixels, (h, w))
        except FormatError as e:
            raise FormatError(f"the pixels section: {e}") from None
    raw = lz.decompress(body.pixels, h * w * cc, "pixels")
    if hdr.coding == CODING_ZSTD:
        arr = np.frombuffer(raw, dtype=np.uint8)
        return arr.reshape((h, w) if cc == 1 else (h, w, cc)).copy()
    res = np.frombuffer(raw, dtype=np.uint8).reshape(cc, h, w)
    planes = [checked(native.reconstruct_2d_channels, h, w, np.ascontiguousarray(res[c]))
              for c in range(cc)]
    if cc == 1:
        return planes[0]
    return checked(native.restore_channels, tuple(planes[:3]), planes[3] if cc == 4 else None)


# ---------------------------------------------------------------- encoding

def _residual_planes(img: np.ndarray) -> bytes:
    """The prediction residuals of every plane (after the colour transform),
    plane after plane."""
    h, w = img.shape[:2]
    # the residuals do not depend on the contexts: the fewest classes will do
    a = analyse(img, model.n_classes(_RESIDUAL_BOUNDS), model.luts(_RESIDUAL_BOUNDS))
    parts = [np.ascontiguousarray(p[1:h + 1, 1:w + 1]) for p in a.p1.residuals]
    if a.alpha is not None:
        parts.append(np.ascontiguousarray(a.alpha_residuals))
    return b"".join(p.tobytes() for p in parts)


def _zstd_source(samples: np.ndarray, coding: int) -> bytes:
    """The bytes a zstd coding compresses: the samples, or their residuals."""
    return samples.tobytes() if coding == CODING_ZSTD else _residual_planes(samples)


def _code(samples: np.ndarray, coding: int, level: int, encode_v1: Callable) -> bytes:
    """The "pixels" section's body for the samples."""
    if coding == CODING_ORV:
        return encode_v1(samples)
    return lz.compress(_zstd_source(samples, coding), level)


def encode_body(img: np.ndarray, transform: int, coding: int, encode_v1: Callable, *,
                level: int = lz.FAST_LEVEL, order: str = "luma") -> bytes:
    """The version-4 body (no metadata) of a checked image with the given
    transform and coding; a palette needs at most 256 distinct pixels."""
    if transform not in TRANSFORM_NAMES or coding not in CODING_NAMES:
        raise ValueError(f"unknown transform {transform} or coding {coding}")
    if transform == TRANSFORM_NONE and coding == CODING_ORV:
        raise ValueError("without a transform, orv coding is version 1")
    h, w = img.shape[:2]
    ch = 1 if img.ndim == 2 else img.shape[2]
    if transform in COLOUR_TRANSFORMS:
        if ch < 3 or coding != CODING_ORV:
            raise ValueError("a colour transform needs an RGB or RGBA image coded by orv")
        # the version-1 image inside names the pixels' own CRC-32: its
        # decoder undoes the transform before it checks them
        crc = crc32(img)
        return pack(Header4(ch, h, w, transform, coding, crc), None,
                    encode_v1(colour.forward(img, transform), pixel_crc=crc))
    samples, entries = img, None
    if transform == TRANSFORM_PALETTE:
        pal = palette.build(img, order)
        if pal is None:
            raise ValueError("a palette holds at most 256 distinct pixels")
        samples, entries = pal.indices, pal.entries
    return pack(Header4(ch, h, w, transform, coding, crc32(img)), entries,
                _code(samples, coding, level, encode_v1))


def smallest(img: np.ndarray, base: bytes, encode_v1: Callable[[np.ndarray], bytes],
             thorough: bool = False, gate: int | None = None,
             crc: int | None = None) -> bytes:
    """The smaller of `base` (the image coded as version 1, without metadata)
    and the version-4 bodies tried for it.

    The default search is cheap on photos: the palette only when a sample of
    the pixels has few values (gray: few values with gaps), zstd only when a
    quick estimate (orv.lz.estimate) comes near the size of `base`; small
    images try both. `thorough` tries every order, coding and the stronger
    zstd levels. `gate`: the size the zstd estimate is held against (default
    len(base)); a higher effort passes that of the lowest, so that it tries
    every candidate a lower one does and never gives a larger file. `crc`:
    the pixels' CRC-32 when the caller has it (else computed once a
    candidate is kept: photos never need it)."""
    if not lz.available():
        return base
    h, w = img.shape[:2]
    ch = 1 if img.ndim == 2 else img.shape[2]
    best = base
    # the thorough search tries the cheap one's level too: it never gives a larger file
    levels = (lz.FAST_LEVEL, lz.STRONG_LEVEL, lz.MAX_LEVEL) if thorough else (lz.FAST_LEVEL,)

    def keep(transform, coding, entries, pixels) -> None:
        nonlocal best, crc
        # the body's size is known before it is packed: the header, the sections, their frames
        size = HEADER_BYTES + len(pixels) + fmt.SECTION_FRAME + (
            0 if entries is None else entries.size + fmt.SECTION_FRAME)
        if size < len(best):
            crc = crc32(img) if crc is None else crc
            best = pack(Header4(ch, h, w, transform, coding, crc), entries, pixels)

    small = h * w <= _SMALL_IMAGE

    def try_codings(transform, samples, entries) -> None:
        if transform == TRANSFORM_PALETTE:
            keep(transform, CODING_ORV, entries, encode_v1(samples))
        # the residuals computed once for every level
        sources = {coding: _zstd_source(samples, coding)
                   for coding in (CODING_ZSTD, CODING_ZSTD_RES)}
        if small:
            # zstd wins on most images this small (the tables and states of
            # the version-1 coding weigh more), but its search level costs
            # milliseconds where it gains least: on photos it gives no more
            # than the fastest level. Every level keeps the fastest level's
            # frames, and searches where they come near the image's own coding.
            quick = {coding: lz.compress(data, lz.QUICK_LEVEL) for coding, data in sources.items()}
            for coding, frame in quick.items():
                keep(transform, coding, entries, frame)
            if not thorough and min(map(len, quick.values())) > _SMALL_SHARE * (gate or len(base)):
                return
        for level in levels:
            for coding, data in sources.items():
                keep(transform, coding, entries, lz.compress(data, level))

    # a small gray image always tries its palette; a colour one whose
    # sampled pixels already take more than 256 values cannot have one
    if thorough or (small and ch == 1) or palette.few_colours(img):
        for order in (palette.ORDERS if thorough else palette.ORDERS[:1]):
            pal = palette.build(img, order)
            if pal is None:
                break
            try_codings(TRANSFORM_PALETTE, pal.indices, pal.entries)
    # the thorough search looks further, but not at every photo: zstd's
    # strongest levels take seconds on a large one and never win there
    share = _THOROUGH_SHARE if thorough else _ESTIMATE_SHARE
    limit = share * (gate or len(base))
    if small or lz.estimate(img, limit=limit) <= limit:
        try_codings(TRANSFORM_NONE, img, None)
    return best


# ---------------------------------------------------------------- a look without decoding

def walk(data, verify: bool = True) -> tuple[Header4, dict[str, int], fmt.Metadata]:
    body, r = read(data, max_pixels=float("inf"), verify=verify)
    sections = {"header": HEADER_BYTES}
    if body.entries is not None:
        sections["palette"] = body.entries.size + fmt.SECTION_FRAME
    sections["pixels"] = len(body.pixels) + fmt.SECTION_FRAME
    meta = fmt.read_metadata(r)
    r.done()
    for field, value in meta._asdict().items():
        if value is not None:
            sections[fmt.METADATA_NAMES[field]] = len(value) + fmt.SECTION_FRAME + 4
    return body.hdr, sections, meta
