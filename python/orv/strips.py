"""Large images as horizontal strips (the strip layout, format version 3).

One image's reconstruction is a serial chain per channel, so a single-image
file decodes on one thread however many workers there are. A large image is
therefore cut into horizontal strips, and every strip is coded as a complete,
independent single-image file (orv.single): the strips are encoded and
decoded side by side. A small header in front records the image's shape, the
strips' heights and lengths; the image's metadata sections follow the last
strip, as they follow the coded sections of a single-image file. The layout
is described in docs/format.md ("Strips").

Whether an image is cut, and where, depends on its size alone (never on the
number of workers), so a file is the same on every machine. Every strip pays
its own tables and starts its prediction afresh at its top row; strips are
kept large enough that this costs well under 1% of the file.

This module also reads either kind of image file (version 1 or 3) for the
layers above it (orv.codec, orv.stack, the Pillow plugin).
"""
from __future__ import annotations

import math
import struct
from dataclasses import dataclass
from itertools import accumulate

import numpy as np

from . import container as fmt
from . import effort as effort_scale
from . import limits, native, single
from .arrays import check_image
from .checksum import crc32
from .errors import FormatError

STRIPS_VERSION = 3
# images of this many pixels and more are cut into strips
STRIP_THRESHOLD = 2_000_000
# beyond two strips, none is smaller than this: a strip's tables and its
# fresh start cost a few kilobytes whatever its size
STRIP_PIXELS = 4_000_000
MAX_STRIPS = 1024
_FIXED = struct.Struct("<8sBBHII")  # magic, version, channels, strip count, width, height
# the smallest single-image file: fixed header, class map kind, one coder byte, header CRC
_MIN_STRIP_FILE = 24 + 1 + 1 + 4


def strip_heights(height: int, width: int) -> tuple[int, ...]:
    """The heights of the strips an image of `height` x `width` is cut into,
    top to bottom; a single height means no strips (a single-image file).

    An even count (two workers take half each), 2 from STRIP_THRESHOLD pixels
    on, more only when every strip keeps STRIP_PIXELS; the rows are shared
    out evenly, the upper strips taking one more when they do not divide."""
    pixels = height * width
    if pixels < STRIP_THRESHOLD:
        return (height,)
    count = min(2 * max(1, pixels // (2 * STRIP_PIXELS)), MAX_STRIPS, height)
    # the shortest strip has height // count rows: on a wide image that can
    # fall short of STRIP_PIXELS by nearly a row, so take two strips fewer
    while count > 2 and height // count * width < STRIP_PIXELS:
        count -= 2
    base, extra = divmod(height, count)
    return tuple(base + (i < extra) for i in range(count))


# ---------------------------------------------------------------- encoder

def encode(image, *, icc_profile=None, exif=None, xmp=None, **options) -> bytes:
    """Codes a uint8 image (as orv.single.encode, whose coder options pass
    through `options`): a single-image file, or strips when it is large. From
    effort WHOLE_FROM (orv.effort) on, an image of two strips is also coded
    whole, and kept whole where that is smaller."""
    img = check_image(image)
    heights = strip_heights(img.shape[0], img.shape[1])
    meta = {"icc_profile": icc_profile, "exif": exif, "xmp": xmp}
    if len(heights) == 1:
        return single.encode(img, **meta, **options)
    cut = encode_strips(img, heights, **meta, **options)
    effort = options.get("effort", effort_scale.DEFAULT_EFFORT)
    if len(heights) == 2 and effort >= effort_scale.WHOLE_FROM:
        whole = single.encode(img, **meta, **options)
        if len(whole) < len(cut):
            return whole
    return cut


def encode_strips(image, heights, *, icc_profile=None, exif=None, xmp=None,
                  **options) -> bytes:
    """Codes an image as strips of the given heights (top to bottom, adding up
    to its height) whatever its size; orv.encode chooses them by strip_heights."""
    img = check_image(image)
    h, w = img.shape[:2]
    ch = 1 if img.ndim == 2 else img.shape[2]
    heights = tuple(int(x) for x in heights)
    if not 1 <= len(heights) <= MAX_STRIPS or min(heights) < 1 or sum(heights) != h:
        raise ValueError(f"strip heights {heights} do not cut an image of height {h} "
                         f"into 1..{MAX_STRIPS} strips")
    meta = fmt.Metadata(*(fmt.metadata_bytes(v, n) for v, n in
                          ((icc_profile, "icc_profile"), (exif, "exif"), (xmp, "xmp"))))
    tops = np.cumsum((0,) + heights)
    # each strip is coded from a view of the image's rows, without a copy
    files = native.parallel_map(
        lambda i: single.encode(img[tops[i]:tops[i + 1]], **options), range(len(heights)))
    head = _FIXED.pack(fmt.MAGIC, STRIPS_VERSION, ch, len(heights), w, h)
    head += struct.pack(f"<{len(heights)}H", *heights) + fmt.varints([len(f) for f in files])
    return b"".join([head, struct.pack("<I", crc32(head)), *files,
                     fmt.pack_metadata(meta)])


# ---------------------------------------------------------------- reader

def is_strips(data) -> bool:
    """Whether `data` starts like a strip file (rather than another orv file)."""
    return fmt.is_version(data, STRIPS_VERSION)


@dataclass(frozen=True)
class StripHeader:
    """The header of a strip file."""
    channels: int
    height: int
    width: int
    heights: tuple[int, ...]

    @property
    def shape(self) -> tuple[int, ...]:
        return fmt.image_shape(self.height, self.width, self.channels)


@dataclass
class Strips:
    """A strip file with its header and strip framing checked, nothing decoded."""
    hdr: StripHeader
    files: list            # memoryview per strip: a complete single-image file
    coders: list           # per strip: the name of its coder per plane
    meta: fmt.Metadata
    header_size: int


def split(data) -> Strips:
    """Reads a strip file's header, the header of every strip (which must
    agree with it and carry no metadata) and the metadata at its end; the
    strips' coded sections are checked when they are decoded."""
    r = fmt.Reader(data, "strip file")
    if len(r.buf) < len(fmt.MAGIC) or bytes(r.buf[:len(fmt.MAGIC)]) != fmt.MAGIC:
        raise FormatError("not an orv file (bad magic number)")
    _, version, ch, n, w, h = _FIXED.unpack(r.take(_FIXED.size, "the strip header"))
    if version != STRIPS_VERSION:
        raise FormatError(f"not an orv strip file (format version {version}, strips are "
                          f"version {STRIPS_VERSION})")
    if ch not in fmt.CHANNELS:
        raise FormatError(f"strip header: unsupported channel count {ch}")
    try:
        fmt.check_dimensions(h, w)
    except ValueError as e:
        raise FormatError(f"strip header: {e}") from None
    if not 1 <= n <= min(MAX_STRIPS, h):
        raise FormatError(f"strip header: {n} strips in an image of height {h} "
                          f"(1..{min(MAX_STRIPS, h)})")
    heights = struct.unpack(f"<{n}H", r.take(2 * n, "the strip heights"))
    lengths = r.part_lengths(n, _MIN_STRIP_FILE, "strip", "strip")
    if min(heights) < 1 or sum(heights) != h:
        raise FormatError(f"strip header: strip heights add up to {sum(heights)}, "
                          f"the image is {h} rows high")
    if int(lengths.min()) < _MIN_STRIP_FILE:
        raise FormatError("strip header: a strip is too short")
    if int(lengths.sum()) > r.remaining:
        raise FormatError(f"strip file is truncated: the strips take {int(lengths.sum())} "
                          f"bytes, {r.remaining} follow the header")
    header_size = r.pos
    files = [r.take(int(k), f"strip {i}") for i, k in enumerate(lengths)]
    meta = fmt.read_metadata(r)
    r.done()
    coders = []
    for i, (f, sh) in enumerate(zip(files, heights)):
        try:
            shdr, _, smeta = single.walk(f, verify=False)
        except FormatError as e:
            raise FormatError(f"strip {i}: {e}") from None
        if (shdr.channels, shdr.height, shdr.width) != (ch, sh, w):
            raise FormatError(f"strip {i} is {shdr.width} x {shdr.height} with {shdr.channels} "
                              f"channels, the strip header says {w} x {sh} with {ch}")
        if any(v is not None for v in smeta):
            raise FormatError(f"strip {i} carries metadata (it belongs after the last strip)")
        coders.append(shdr.coder_names)
    return Strips(StripHeader(ch, h, w, heights), files, coders, meta, header_size)


def decode(data, *, max_pixels: float | None = None, verify: bool = True) -> np.ndarray:
    """The image of a strip file; its strips are decoded side by side, then
    joined (verify as for orv.single.parse)."""
    s = split(data)
    limits.check_pixels(s.hdr.height * s.hdr.width, max_pixels)

    def strip(i: int) -> np.ndarray:
        try:
            return single.decode_single(s.files[i], max_pixels=math.inf, verify=verify)
        except FormatError as e:
            raise FormatError(f"strip {i}: {e}") from None

    if len(s.files) <= 2:
        # two strips are joined once both are decoded: their planes are gone
        # by then, so decoding peaks at about twice the image's memory (the
        # decoded strips and the result), however the two decodes overlap,
        # where a result filled as they finish would add its first half to
        # the second strip's own peak
        parts = native.parallel_map(strip, range(len(s.files)))
        return parts[0] if len(parts) == 1 else np.concatenate(parts, axis=0)
    hdr = s.hdr
    # More strips go into their rows of the result on their own threads as
    # soon as each is decoded, and are dropped: the result's pages are mapped
    # only as its rows are written, so decoding peaks below twice the image's
    # memory (the strips being decoded, the rows written so far), where
    # joining them at the end would hold every strip and the result at once.
    out = np.empty(hdr.shape, dtype=np.uint8)
    tops = list(accumulate(hdr.heights, initial=0))

    def place(i: int) -> None:
        out[tops[i]:tops[i + 1]] = strip(i)

    native.parallel_map(place, range(len(s.files)))
    return out


# ---------------------------------------------------------------- either kind of image file

def decode_image(data, *, max_pixels: float | None = None, verify: bool = True) -> np.ndarray:
    """The image of a single-image or strip file (a stack file is refused);
    verify=False leaves the coded sections' checksums to an earlier check."""
    if is_strips(data):
        return decode(data, max_pixels=max_pixels, verify=verify)
    return single.decode_single(data, max_pixels=max_pixels, verify=verify)


@dataclass(frozen=True)
class Look:
    """What an image file says of itself, nothing decoded."""
    shape: tuple[int, ...]
    channels: int
    coders: tuple[str, ...]   # the coder's name per plane (of the first strip, for strips)
    meta: fmt.Metadata


def look(data) -> Look:
    """The shape, coders and metadata of a single-image or strip file; only
    the headers and the framing are read (the coded sections' checksums are
    left to the decoder)."""
    if is_strips(data):
        s = split(data)
        return Look(s.hdr.shape, s.hdr.channels, s.coders[0], s.meta)
    hdr, _, meta = single.walk(data, verify=False)
    return Look(hdr.shape, hdr.channels, hdr.coder_names, meta)


def check(data) -> tuple[int, ...]:
    """Reads and checks everything of an image file short of decoding it (as
    orv.single.parse, for every strip); returns its shape."""
    if not is_strips(data):
        return single.parse(data, max_pixels=math.inf).hdr.shape
    s = split(data)
    for i, f in enumerate(s.files):
        try:
            single.parse(f, max_pixels=math.inf)
        except FormatError as e:
            raise FormatError(f"strip {i}: {e}") from None
    return s.hdr.shape


def metadata_of(data, verify: bool = True) -> fmt.Metadata:
    """The metadata of a single-image or strip file, not decoding it;
    verify=False leaves the coded sections' checksums to the decoder."""
    if is_strips(data):
        return split(data).meta
    return single.walk(data, verify)[2]


def info(data) -> dict:
    """Header fields, section sizes and metadata of an image file (not decoded);
    for a strip file, the first strip's coding and every strip's size."""
    if not is_strips(data):
        return single.info(data)
    s = split(data)
    first = single.info(s.files[0])
    size = len(memoryview(data))
    sections = {"header": s.header_size}
    for i, f in enumerate(s.files):
        sections[f"strip {i}"] = len(f)
    for field, value in s.meta._asdict().items():
        if value is not None:
            sections[fmt.METADATA_NAMES[field]] = len(value) + fmt.SECTION_FRAME + 4
    first.pop("pixel_crc32", None)
    # a plane's coder is chosen strip by strip: name every one that was used
    names = [sorted({c[p] for c in s.coders}) for p in range(s.hdr.channels)]
    first["coders"] = {plane: "+".join(n)
                       for plane, n in zip(fmt.PLANE_NAMES[s.hdr.channels], names)}
    first.update({
        "version": STRIPS_VERSION,
        "height": s.hdr.height,
        "strips": list(s.hdr.heights),
        "size": size,
        "bits_per_pixel": 8 * size / (s.hdr.width * s.hdr.height),
        "sections": sections,
        "metadata": {k: len(v) for k, v in s.meta._asdict().items() if v is not None},
    })
    return first
