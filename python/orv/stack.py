"""Stacks of images in one .orv file (the stack layout, format version 2).

An array whose last two or three axes are an image, (h, w), (h, w, 3) or
(h, w, 4), with any number of leading axes before them, is coded image by
image: every image becomes a complete image file (a single-image file,
version 1, or for a large image a strip file, version 3; orv.strips), and
the files follow a small header that records the leading axes, the image
shape and each file's length. A single image without leading axes is written
as a plain image file, so a reader of single images reads it as it is.
The layout is described in docs/format.md ("Image stacks").

Only NumPy and the image files (orv.strips) are needed here; the numcodecs
codec and the Zarr conversion build on this module.
"""
from __future__ import annotations

import math
import struct
from math import prod

import numpy as np

from . import container as fmt
from . import effort as effort_scale
from . import limits, single, strips
from .arrays import check_dtype
from .checksum import crc32
from .errors import FormatError

STACK_VERSION = 2
MAX_LEAD_DIMS = 32
FLAG_GRAY_AXIS = 1          # gray images keep a trailing channel axis of length 1
_FIXED = struct.Struct("<8sBBBBII")  # magic, version, channels, D, flags, width, height
# the smallest single-image file: fixed header, class map kind, one coder byte, header CRC
_MIN_IMAGE_FILE = 24 + 1 + 1 + 4


def image_layout(shape: tuple[int, ...], channels: int | None = None) -> tuple[int, int, bool]:
    """How an array of `shape` splits into images: (number of image axes,
    channels, whether a trailing gray channel axis of length 1 is kept).

    channels=None reads a last axis of length 3 or 4 (or 1) as the channel
    axis when there are at least three axes; channels=1 makes the last two
    axes height and width; channels=3 or 4 requires a last axis of that length.
    """
    nd = len(shape)
    if channels not in (None, 1, 3, 4):
        raise ValueError(f"channels must be None, 1, 3 or 4, not {channels!r}")
    if nd < 2:
        raise ValueError(f"orv codes images: an array of shape {shape} has no height and "
                         "width axes (shapes (..., h, w), (..., h, w, 3) or (..., h, w, 4))")
    if channels == 1:
        return 2, 1, False
    if channels in (3, 4):
        if nd < 3 or shape[-1] != channels:
            raise ValueError(f"an array of shape {shape} has no last axis of {channels} "
                             "channels")
        return 3, channels, False
    if nd >= 3 and shape[-1] in (3, 4):
        return 3, shape[-1], False
    if nd >= 3 and shape[-1] == 1:
        return 3, 1, True
    return 2, 1, False


def check_array(array, channels: int | None = None) -> tuple[np.ndarray, int, int, bool]:
    """Validates an array of images; returns it with its image layout."""
    if not isinstance(array, np.ndarray):
        raise TypeError("orv codes images: expected a numpy.ndarray of dtype uint8, "
                        f"not {type(array).__name__}")
    check_dtype(array.dtype)
    n_img, ch, keep_axis = image_layout(array.shape, channels)
    h, w = array.shape[array.ndim - n_img:][:2]
    lead = array.shape[:array.ndim - n_img]
    if len(lead) > MAX_LEAD_DIMS:
        raise ValueError(f"at most {MAX_LEAD_DIMS} axes may precede the image axes, "
                         f"not {len(lead)}")
    fmt.check_dimensions(h, w)
    return array, n_img, ch, keep_axis


def encode(array, *, effort: int = single.DEFAULT_EFFORT, coder: str | None = None,
           channels: int | None = None,
           icc_profile=None, exif=None, xmp=None) -> bytes:
    """Codes an image or a stack of images (leading axes) losslessly.

    A lone (h, w), (h, w, 3) or (h, w, 4) image gives a plain .orv file; any
    other shape gives a stack file whose images are .orv files themselves.
    The metadata (as for orv.encode) goes into the first image's file and
    stands for the whole stack."""
    effort_scale.check(coder, effort)    # also for a stack of no images
    array, n_img, ch, keep_axis = check_array(array, channels)
    lead = array.shape[:array.ndim - n_img]
    h, w = array.shape[len(lead):len(lead) + 2]
    meta = {"icc_profile": icc_profile, "exif": exif, "xmp": xmp}
    if not lead and not keep_axis:
        return strips.encode(array, coder=coder, effort=effort, **meta)
    image_shape = (h, w) if ch == 1 else (h, w, ch)
    images = array.reshape((-1,) + image_shape)
    if images.shape[0] == 0 and any(v for v in meta.values()):
        raise ValueError("an empty stack cannot carry metadata (it has no image file)")
    files = [strips.encode(img, coder=coder, effort=effort, **(meta if i == 0 else {}))
             for i, img in enumerate(images)]
    head = _FIXED.pack(fmt.MAGIC, STACK_VERSION, ch, len(lead),
                       FLAG_GRAY_AXIS if keep_axis else 0, w, h)
    head += struct.pack(f"<{len(lead)}I", *lead) + fmt.varints([len(f) for f in files])
    return b"".join([head, struct.pack("<I", crc32(head)), *files])


def is_stack(data) -> bool:
    """Whether `data` starts like a stack file (rather than a single image)."""
    return fmt.is_version(data, STACK_VERSION)


class StackHeader:
    """The fixed part of a stack file."""

    def __init__(self, channels: int, height: int, width: int, lead: tuple[int, ...],
                 keep_axis: bool):
        self.channels, self.height, self.width = channels, height, width
        self.lead, self.keep_axis = lead, keep_axis

    @property
    def count(self) -> int:
        return prod(self.lead)

    @property
    def image_shape(self) -> tuple[int, ...]:
        if self.channels == 1:
            return (self.height, self.width, 1) if self.keep_axis else (self.height, self.width)
        return (self.height, self.width, self.channels)

    @property
    def shape(self) -> tuple[int, ...]:
        return self.lead + self.image_shape


def split(data) -> tuple[StackHeader, list[memoryview]]:
    """Reads a stack file's header and returns it with its image files (views
    into `data`, not yet decoded)."""
    r = fmt.Reader(data, "stack file")
    if len(r.buf) < len(fmt.MAGIC) or bytes(r.buf[:len(fmt.MAGIC)]) != fmt.MAGIC:
        raise FormatError("not an orv file (bad magic number)")
    _, version, ch, nd, flags, w, h = _FIXED.unpack(r.take(_FIXED.size, "the stack header"))
    if version != STACK_VERSION:
        raise FormatError(f"not an orv stack file (format version {version}, a stack is "
                          f"version {STACK_VERSION})")
    if ch not in fmt.CHANNELS:
        raise FormatError(f"stack header: unsupported channel count {ch}")
    if nd > MAX_LEAD_DIMS:
        raise FormatError(f"stack header: {nd} leading axes, more than {MAX_LEAD_DIMS}")
    if flags & ~FLAG_GRAY_AXIS or (flags & FLAG_GRAY_AXIS and ch != 1):
        raise FormatError(f"stack header: unknown flags {flags:#04x}")
    try:
        fmt.check_dimensions(h, w)
    except ValueError as e:
        raise FormatError(f"stack header: {e}") from None
    lead = struct.unpack(f"<{nd}I", r.take(4 * nd, "the stack's leading axes"))
    n = prod(lead)
    # NumPy cannot describe an array whose dimensions (zeros left out) multiply
    # beyond its index range, even an empty one
    if prod(d for d in lead + (h, w, ch) if d) >= 1 << 62:
        raise FormatError(f"stack header: leading axes {lead} of {h} x {w} images make an "
                          "array too large to describe")
    lengths = r.part_lengths(n, _MIN_IMAGE_FILE, "stack", "image")
    if n and int(lengths.min()) < _MIN_IMAGE_FILE:
        raise FormatError("stack header: an image file is too short")
    if int(lengths.sum()) != r.remaining:
        raise FormatError(f"stack file: the image lengths add up to {int(lengths.sum())} "
                          f"bytes, {r.remaining} follow the header")
    files = [r.take(int(k), f"image {i}") for i, k in enumerate(lengths)]
    return StackHeader(ch, h, w, tuple(lead), bool(flags & FLAG_GRAY_AXIS)), files


def decode(data, *, out: np.ndarray | None = None, max_pixels: float | None = None) -> np.ndarray:
    """Decodes a single-image or a stack file to an array of the shape that was
    encoded. `out`, if given, must be a C-contiguous uint8 array of that many
    bytes and receives the pixels; `max_pixels` limits the pixels of the whole
    stack as for orv.decode (None: orv.MAX_IMAGE_PIXELS; a
    DecompressionBombError, a FormatError, beyond it)."""
    if not is_stack(data):
        img = strips.decode_image(data, max_pixels=max_pixels)
        return _deliver(img, out)
    hdr, files = split(data)
    limits.check_pixels(hdr.count * hdr.height * hdr.width, max_pixels, "stack")
    # every image must agree with the stack's header, and its sections must
    # hold what it claims, before the output is allocated: a stack that lies
    # about its images costs a read of its bytes, nothing more
    want = (hdr.height, hdr.width) if hdr.channels == 1 else hdr.image_shape
    for i, f in enumerate(files):
        try:
            shape = strips.check(f)
        except FormatError as e:
            raise FormatError(f"image {i} of the stack: {e}") from None
        if shape != want:
            raise FormatError(f"image {i} of the stack has shape {shape}, the stack "
                              f"header says {want}")
    result = _target(hdr.shape, out)
    flat = result.reshape((hdr.count,) + hdr.image_shape)
    # image by image into the output: one image's buffers at a time (their
    # sections' checksums were checked above)
    for i, f in enumerate(files):
        try:
            flat[i] = strips.decode_image(f, max_pixels=math.inf, verify=False).reshape(hdr.image_shape)
        except FormatError as e:
            raise FormatError(f"image {i} of the stack: {e}") from None
    return result if out is None else out


def _target(shape: tuple[int, ...], out: np.ndarray | None) -> np.ndarray:
    if out is None:
        return np.empty(shape, np.uint8)
    if not isinstance(out, np.ndarray) or not out.flags.c_contiguous or not out.flags.writeable:
        raise TypeError("out must be a writeable C-contiguous numpy array")
    if out.nbytes != prod(shape):
        raise ValueError(f"out has {out.nbytes} bytes, the decoded array {prod(shape)}")
    return out.reshape(-1).view(np.uint8).reshape(shape)


def _deliver(img: np.ndarray, out: np.ndarray | None) -> np.ndarray:
    if out is None:
        return img
    _target(img.shape, out)[...] = img
    return out
