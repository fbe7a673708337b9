"""The public encode and decode: a single image or a stack, with its metadata.

The work is done below: orv.single codes one image into a single-image file
(with the two coders, orv.shard and orv.bitpair) and reads it back;
orv.strips cuts a large image into strips of such files, so that they are
coded side by side; orv.stack lays out stacks of images. This module picks
which one a file is.
"""
from __future__ import annotations

from typing import NamedTuple

import numpy as np

from . import container as fmt
from . import stack, strips
from .single import CODERS, DEFAULT_EFFORT

__all__ = ["CODERS", "Decoded", "decode", "decode_single", "decode_with_metadata", "encode",
           "info", "metadata_of"]


def encode(image, *, effort: int = DEFAULT_EFFORT, coder: str | None = None, icc_profile=None,
           exif=None, xmp=None) -> bytes:
    """Codes a uint8 image of shape (h, w), (h, w, 3) or (h, w, 4).

    effort: 1..5 (default 2), what the encoder tries (orv.effort); coder:
    None (the level decides) or "shard", "bitpair", "auto" for every plane;
    icc_profile, exif, xmp: bytes (XMP also str) stored with the pixels.
    A large image is coded as strips (format version 3), a smaller one as a
    single-image file."""
    return strips.encode(image, effort=effort, coder=coder, icc_profile=icc_profile, exif=exif,
                         xmp=xmp)


def decode_single(data, *, max_pixels: float | None = None) -> np.ndarray:
    """The image of a single-image or strip file (a stack file is refused)."""
    return strips.decode_image(data, max_pixels=max_pixels)


def decode(data, *, max_pixels: float | None = None) -> np.ndarray:
    """The image of an orv file; a stack file decodes to the array of its images.

    max_pixels: the most pixels (of all images of a stack together) to
    decode, math.inf for no limit; None (the default) applies
    orv.MAX_IMAGE_PIXELS: a DecompressionBombWarning above it, a
    DecompressionBombError (a FormatError) above twice it."""
    if stack.is_stack(data):
        return stack.decode(data, max_pixels=max_pixels)
    return strips.decode_image(data, max_pixels=max_pixels)


class Decoded(NamedTuple):
    """A decoded file: its pixels and the metadata it carries (bytes or None)."""
    pixels: np.ndarray
    icc_profile: bytes | None
    exif: bytes | None
    xmp: bytes | None


def metadata_of(data, *, verify: bool = True) -> fmt.Metadata:
    """The metadata of an orv file (of a stack: that of its first image), not
    decoding it; verify=False leaves the checksums of the coded sections to
    the decoder (those of the metadata are always checked)."""
    if stack.is_stack(data):
        _, files = stack.split(data)
        return strips.metadata_of(files[0], verify) if files else fmt.Metadata()
    return strips.metadata_of(data, verify)


def decode_with_metadata(data, *, max_pixels: int | None = None) -> Decoded:
    """The pixels of an orv file (as orv.decode) with its ICC profile, EXIF and XMP."""
    pixels = decode(data, max_pixels=max_pixels)
    # decoding has checked every coded section: their checksums are not computed again
    return Decoded(pixels, *metadata_of(data, verify=False))


def info(data) -> dict:
    """Header fields, section sizes and metadata of an orv file (not decoded);
    for a stack file, its shape and the first image's fields."""
    if not stack.is_stack(data):
        return strips.info(data)
    hdr, files = stack.split(data)
    out = info(files[0]) if files else {"metadata": {}}
    size = len(memoryview(data))
    out.update({"version": stack.STACK_VERSION, "stack": True, "shape": hdr.shape,
                "images": hdr.count, "size": size,
                "bits_per_pixel": 8 * size / max(hdr.count * hdr.height * hdr.width, 1)})
    out.pop("sections", None)
    out.pop("pixel_crc32", None)
    out.pop("strips", None)
    return out
