"""Pillow images to and from orv's arrays (minimal version for the command line).

MINIMAL STAND-IN: the front end's full version of this module (the same two
functions and fields) replaces it; the command line relies only on what is
here. `from_pillow` expands palettes, turns a colour key (`tRNS`) into an
alpha plane and refuses samples wider than 8 bits (and other modes);
`to_pillow` is the way back, with the metadata in `im.info`.
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from PIL import Image


WIDE_SAMPLES = ("cannot store samples wider than 8 bits losslessly as ORV (8-bit modes L, RGB "
                "or RGBA only)")


@dataclass(frozen=True)
class PillowImage:
    pixels: np.ndarray            # uint8 (h, w), (h, w, 3) or (h, w, 4)
    icc_profile: bytes | None = None
    exif: bytes | None = None
    xmp: bytes | None = None


def _xmp(info: dict) -> bytes | None:
    x = info.get("xmp", info.get("XML:com.adobe.xmp"))
    if x is None:
        return None
    return x if isinstance(x, bytes) else str(x).encode("utf-8")


def from_pillow(im: Image.Image) -> PillowImage:
    """The pixels and metadata of a Pillow image, without losing a value."""
    keyed = "transparency" in im.info
    if im.mode == "1":
        im2 = im.convert("L")
    elif im.mode in ("P", "PA"):
        im2 = im.convert("RGBA" if im.mode == "PA" or keyed else "RGB")
    elif im.mode == "LA" or (im.mode in ("L", "RGB") and keyed):
        im2 = im.convert("RGBA")            # a colour key becomes an alpha plane
    elif im.mode in ("L", "RGB", "RGBA"):
        im2 = im
    elif im.mode.startswith("I") or im.mode == "F":
        raise OSError(WIDE_SAMPLES)
    else:
        raise OSError(f"cannot store mode {im.mode} losslessly as ORV "
                      "(8-bit L, RGB or RGBA only)")
    return PillowImage(np.asarray(im2), im.info.get("icc_profile") or None,
                       im.info.get("exif") or None, _xmp(im.info))


def to_pillow(pixels: np.ndarray, icc_profile: bytes | None = None, exif: bytes | None = None,
              xmp: bytes | None = None) -> Image.Image:
    """A Pillow image of decoded pixels, the metadata in its `info`."""
    im = Image.fromarray(np.ascontiguousarray(pixels))
    for key, value in (("icc_profile", icc_profile), ("exif", exif), ("xmp", xmp)):
        if value:
            im.info[key] = value
    return im
