"""Pillow images to and from the arrays orv codes, without losing a value.

``from_pillow`` gives the uint8 pixels of a Pillow image together with its
ICC profile, EXIF and XMP; ``to_pillow`` builds the Pillow image back with
that metadata in ``im.info``. The rules:

- modes L, RGB and RGBA are taken as they are; 1 becomes L; P, PA and LA
  become RGB or RGBA (RGBA when there is transparency, whichever keeps every
  value);
- a colour key (``transparency`` of an L, RGB or 1 image, as PNG's tRNS
  gives it) becomes an alpha plane, so the RGBA pixels are kept exactly;
- samples deeper than 8 bits (modes I, I;16*, F, and 16-bit RGB/RGBA that
  Pillow would read as 8-bit) are refused with ``orv.SampleDepthError``;
- other modes (CMYK, YCbCr, LAB, HSV, premultiplied ones) are refused, since
  converting them would change values;
- an image of several frames is refused unless ``frames=True`` asks for all
  of them (a leading frame axis, for a stack file).

Only Pillow, NumPy and the errors module are needed here.
"""
from __future__ import annotations

import os
import re
from typing import NamedTuple

import numpy as np
from PIL import Image, ImageSequence

from .errors import SampleDepthError, refuse_depth

_KEPT = {"L": 1, "RGB": 3, "RGBA": 4}
# formats whose 16-bit RGB(A) Pillow turns into 8-bit modes as it loads them
_CUT_WHILE_LOADING = ("PNG", "PPM")
_CONVERTED = {"1": "L", "LA": "RGBA", "PA": "RGBA"}
_MODES = {1: "L", 3: "RGB", 4: "RGBA"}
# raw modes of samples wider than 8 bits ("RGB;16B", "I;16", "I;32S", "F;32F", ...)
_DEEP_RAW = re.compile(r";(12|16|32|64)|^(I|F)(;|$)")
# but 5-6-5 and 5-5-5 pixels packed in 16 bits (BMP, TGA) expand to 8-bit samples exactly
_PACKED_RAW = re.compile(r"(RGB|BGR|RGBA|BGRA|RGBX|BGRX);1[56]Z?")


class PillowImage(NamedTuple):
    """Pixels orv can code (uint8 (h, w), (h, w, 3) or (h, w, 4), or a stack
    of them with a leading frame axis) and the image's metadata (bytes or None)."""
    pixels: np.ndarray
    icc_profile: bytes | None
    exif: bytes | None
    xmp: bytes | None


def _raw_modes(im: Image.Image):
    for tile in getattr(im, "tile", None) or ():
        args = tile[3] if len(tile) > 3 else None
        raw = args if isinstance(args, str) else (args[0] if isinstance(args, tuple) and args
                                                  and isinstance(args[0], str) else "")
        # PPM keeps the maximum sample value next to the raw mode
        maxval = args[1] if isinstance(args, tuple) and len(args) > 1 and tile[0] == "ppm" else 0
        yield raw, maxval


def check_depth(im: Image.Image) -> None:
    """Refuses an image whose samples do not fit in 8 bits. Pillow reads some
    16-bit files (RGB and RGBA PNG, TIFF, PPM) as 8-bit modes, cutting the
    samples while it loads them, so the raw mode of the data is checked before
    they are loaded, and a loaded PNG or PPM has its file's header read again
    (a copy, or a PPM read from a stream, no longer tells)."""
    if im.mode in ("I", "F") or im.mode.startswith(("I;", "F;")) or ";16" in im.mode:
        raise refuse_depth(f"a Pillow image of mode {im.mode}")
    if not getattr(im, "tile", None) and im.format in _CUT_WHILE_LOADING:
        _check_source_depth(im)
    tags = getattr(im, "tag_v2", None)   # a TIFF keeps its sample size after loading
    if tags is not None:
        bits = tags.get(258, 8)
        if max(bits if isinstance(bits, tuple) else (bits,)) > 8 or tags.get(339) == 3:
            raise refuse_depth(f"a Pillow image of mode {im.mode} (a TIFF of {bits}-bit samples)")
    for raw, maxval in _raw_modes(im):
        deep_raw = _DEEP_RAW.search(raw) and not _PACKED_RAW.fullmatch(raw)
        if deep_raw or (isinstance(maxval, int) and maxval > 255):
            raise refuse_depth(f"a Pillow image of mode {im.mode} (stored as {raw or im.mode}"
                               + (f", maximum {maxval}" if maxval > 255 else "") + ")")


def _check_source_depth(im: Image.Image) -> None:
    """A loaded PNG or PPM no longer tells its depth (16-bit RGB has become
    8-bit RGB), but its file does: the header is read again from it."""
    source = im.filename if isinstance(getattr(im, "filename", None), str) and \
        os.path.isfile(im.filename) else getattr(im, "_fp", None)
    if source is None or getattr(source, "closed", False):
        return
    pos = source.tell() if not isinstance(source, str) else None
    try:
        if pos is not None:
            source.seek(0)
        with Image.open(source, formats=[im.format]) as again:
            check_depth(again)
    except (OSError, ValueError) as e:
        if isinstance(e, SampleDepthError):
            raise
    finally:
        if pos is not None:
            source.seek(pos)


def channels_of(im: Image.Image) -> int:
    """The channels `from_pillow` gives for `im`, from its header alone."""
    check_depth(im)
    if im.mode in ("P", "PA"):
        alpha = im.mode == "PA" or "transparency" in im.info or (
            im.palette is not None and im.palette.mode == "RGBA")
        return 4 if alpha else 3
    if im.mode in ("1", "L", "RGB") and "transparency" in im.info:
        return 4
    mode = _CONVERTED.get(im.mode, im.mode)
    if mode not in _KEPT:
        raise OSError(f"cannot store a Pillow image of mode {im.mode} losslessly as orv "
                      "(it keeps 8-bit L, RGB or RGBA, and 1, P, PA, LA converted to them)")
    return _KEPT[mode]


def _frame_pixels(im: Image.Image) -> np.ndarray:
    ch = channels_of(im)
    if im.mode != _MODES[ch]:
        # Pillow's conversion to RGBA applies a palette's or a colour key's transparency
        im = im.convert(_MODES[ch])
    return np.asarray(im)


def _as_bytes(value) -> bytes | None:
    if value is None:
        return None
    if isinstance(value, Image.Exif):
        value = value.tobytes()
    if isinstance(value, str):
        value = value.encode("utf-8")
    return bytes(value) or None


def metadata_of(im: Image.Image) -> tuple[bytes | None, bytes | None, bytes | None]:
    """(icc_profile, exif, xmp) of a loaded Pillow image, as bytes or None."""
    info = im.info
    xmp = info.get("xmp", info.get("XML:com.adobe.xmp"))
    return _as_bytes(info.get("icc_profile")), _as_bytes(info.get("exif")), _as_bytes(xmp)


def stack_frames(frames: list[np.ndarray]) -> np.ndarray:
    """Frames of one size and mixed channels (a GIF's first frame may be RGB
    and later ones RGBA) brought to the widest: gray repeated, alpha 255."""
    sizes = {f.shape[:2] for f in frames}
    if len(sizes) > 1:
        raise OSError("the frames have different sizes "
                      f"({', '.join(f'{w} x {h}' for h, w in sorted(sizes))}), "
                      "which one orv stack cannot hold")
    ch = max(1 if f.ndim == 2 else f.shape[2] for f in frames)
    out = np.empty((len(frames),) + frames[0].shape[:2] + (() if ch == 1 else (ch,)), np.uint8)
    for dst, f in zip(out, frames):
        if ch == 1 or f.ndim == 3 and f.shape[2] == ch:
            dst[...] = f
            continue
        rgb = np.repeat(f[..., None], 3, axis=2) if f.ndim == 2 else f[..., :3]
        dst[..., :3] = rgb
        if ch == 4:
            dst[..., 3] = f[..., 3] if f.ndim == 3 and f.shape[2] == 4 else 255
    return out


def from_pillow(im: Image.Image, *, frames: bool = False, append_images=()) -> PillowImage:
    """The pixels and metadata of a Pillow image, refusing what orv cannot keep.

    frames=True gives every frame (and those of `append_images`) along a leading
    axis, with the first frame's metadata; frames=False refuses an image of
    several frames rather than keep one of them."""
    n = getattr(im, "n_frames", 1)
    if not frames:
        if n > 1:
            raise OSError(f"the image has {n} frames: store them all as an orv stack "
                          "(Pillow: save_all=True), or pick one frame (im.seek(k); im.copy())")
        pixels = _frame_pixels(im)
        return PillowImage(pixels, *metadata_of(im))
    start = im.tell() if n > 1 else 0
    try:
        sources = [im, *append_images]
        pixels = [_frame_pixels(frame) for source in sources
                  for frame in ImageSequence.Iterator(source)]
        if n > 1:
            im.seek(0)
        meta = metadata_of(im)
    finally:
        if n > 1:
            im.seek(start)
    return PillowImage(stack_frames(pixels), *meta)


def current_frame(im: Image.Image) -> PillowImage:
    """The pixels and metadata of the frame `im` stands at (after ``im.seek``),
    for callers that walk the frames of a file themselves."""
    return PillowImage(_frame_pixels(im), *metadata_of(im))


def to_pillow(pixels: np.ndarray, icc_profile=None, exif=None, xmp=None) -> Image.Image:
    """A Pillow image (L, RGB or RGBA) of uint8 pixels, its ``info`` holding the
    metadata so that Pillow's writers that store it (PNG, JPEG, WebP, TIFF) keep it."""
    arr = np.asarray(pixels)
    if arr.dtype != np.uint8 or not (arr.ndim == 2 or arr.ndim == 3 and arr.shape[2] in (3, 4)):
        raise ValueError(f"expected uint8 pixels of shape (h, w), (h, w, 3) or (h, w, 4), "
                         f"not {arr.dtype} {arr.shape}")
    im = Image.fromarray(arr, _MODES[1 if arr.ndim == 2 else arr.shape[2]])
    for key, value in (("icc_profile", icc_profile), ("exif", exif), ("xmp", xmp)):
        value = _as_bytes(value)
        if value is not None:
            im.info[key] = value
    return im


def save_options(pic: PillowImage, fmt: str) -> dict:
    """Keyword arguments for Pillow's ``save`` in format `fmt` ("PNG", "JPEG",
    "WEBP", "TIFF", ...) that store the metadata of `pic` (Pillow's writers
    take most of it from these arguments, not from ``im.info``). Metadata a
    format cannot hold in Pillow is left out."""
    fmt = fmt.upper()
    opts: dict = {}
    if pic.icc_profile and fmt in ("PNG", "JPEG", "WEBP", "TIFF", "MPO", "JPEG2000", "AVIF"):
        opts["icc_profile"] = pic.icc_profile
    if fmt in ("JPEG", "MPO", "WEBP", "PNG", "AVIF"):
        if pic.exif:
            opts["exif"] = pic.exif
        if pic.xmp and fmt != "PNG":
            opts["xmp"] = pic.xmp
        elif pic.xmp:
            from PIL.PngImagePlugin import PngInfo

            opts["pnginfo"] = PngInfo()
            opts["pnginfo"].add_itxt("XML:com.adobe.xmp", pic.xmp.decode("utf-8", "replace"))
    elif fmt == "TIFF" and (pic.exif or pic.xmp):
        tags = Image.Exif()
        if pic.exif:
            tags.load(pic.exif)
        if pic.xmp:
            tags[700] = pic.xmp
        opts["exif"] = tags
    return opts
