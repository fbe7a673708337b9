"""Image files as the command line, `orv bench` and `orv zarr` see them.

- which files are images (one suffix set for every directory walk);
- loading an image file without losing a value: samples wider than 8 bits
  are refused (also where Pillow would quietly cut them to 8 bits), a colour
  key becomes alpha, every frame of an animation or multi-page file is read,
  and the ICC profile, EXIF and XMP come along;
- the orv side: coding the loaded frames (with their metadata when the front
  end can store it) and reading an .orv file or stack back;
- writing decoded pixels to a file format, refused when the format would not
  give back every pixel value (unless lossy output is allowed), with the
  metadata where the format holds it;
- the progress bar.
"""
from __future__ import annotations

import io
import re
import sys
import threading
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from . import stack
from .codec import decode_with_metadata, encode
from .container import MAX_PIXELS, METADATA_NAMES, Metadata, check_dimensions
from .errors import FormatError, refuse_depth
from .imageio import PillowImage, current_frame, save_options, stack_frames, to_pillow

ORV_SUFFIX = ".orv"
# files a directory walk takes for images: what Pillow reads, and .orv
IMAGE_SUFFIXES = frozenset({".png", ".apng", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".webp",
                            ".ppm", ".pgm", ".pnm", ".pbm", ".gif", ".tga", ".qoi", ORV_SUFFIX})
METADATA = Metadata._fields


def is_image(path: Path, orv: bool = True) -> bool:
    """Whether a directory walk takes `path` (with orv=False, not .orv files)."""
    suffix = path.suffix.lower()
    return suffix in IMAGE_SUFFIXES and (orv or suffix != ORV_SUFFIX)


def image_files(root: Path, orv: bool = True) -> list[Path]:
    """The image files under `root`, sorted by relative path."""
    return sorted((p for p in root.rglob("*") if p.is_file() and is_image(p, orv)),
                  key=lambda p: p.relative_to(root).as_posix())


class Progress:
    """A one-line progress bar on standard error (only when it is a terminal,
    unless forced)."""

    def __init__(self, total: int, label: str, enabled: bool | None = None):
        self.total, self.done, self.label = total, 0, label
        self.enabled = sys.stderr.isatty() if enabled is None else enabled
        self.lock = threading.Lock()
        self.start = time.perf_counter()

    def step(self) -> None:
        with self.lock:
            self.done += 1
            if self.enabled:
                width = 30
                fill = width * self.done // max(self.total, 1)
                rate = self.done / max(time.perf_counter() - self.start, 1e-9)
                sys.stderr.write(f"\r{self.label} [{'#' * fill}{'.' * (width - fill)}] "
                                 f"{self.done}/{self.total} {rate:.1f} files/s")
                if self.done == self.total:
                    sys.stderr.write("\n")
                sys.stderr.flush()


# ---------------------------------------------------------------- loading

class _WithMetadata:
    """An image with the fields icc_profile, exif and xmp."""

    @property
    def metadata(self) -> dict[str, bytes]:
        """The metadata it carries, as keyword arguments of orv.encode."""
        return {k: getattr(self, k) for k in METADATA if getattr(self, k)}


@dataclass
class Loaded(_WithMetadata):
    pixels: np.ndarray      # uint8 (h, w[, c]); with several frames (n, h, w[, c])
    frames: int             # 1 for a still image
    icc_profile: bytes | None = None
    exif: bytes | None = None
    xmp: bytes | None = None

    @property
    def channels(self) -> int:
        return 1 if self.pixels.ndim == (2 if self.frames == 1 else 3) else self.pixels.shape[-1]


_PIL_LIMIT = threading.Lock()
# an unpacker that reads samples of 16 or 32 bits (Pillow cuts RGB;16B and friends to 8)
_WIDE_RAWMODE = re.compile(r"^(L|LA|RGB|RGBA|RGBX|CMYK|I|F);(16|32)[BLNSF]?")
_WIDE_MODES = {"I;16": np.uint16, "I;16B": np.uint16, "I;16L": np.uint16, "I;16N": np.uint16,
               "I": np.int32, "F": np.float32}


def open_image(source, name: str):
    """Pillow's image of a file (a path or bytes) up to orv's own size limit:
    Pillow's decompression-bomb limit is lifted to orv's while it opens, and
    images beyond orv's limit are refused before any pixel is read."""
    from PIL import Image

    src = io.BytesIO(source) if isinstance(source, (bytes, bytearray, memoryview)) else source
    with _PIL_LIMIT:
        saved = Image.MAX_IMAGE_PIXELS
        if saved is not None and saved < MAX_PIXELS:
            Image.MAX_IMAGE_PIXELS = MAX_PIXELS
        try:
            im = Image.open(src)
        except Image.DecompressionBombError:
            raise ValueError(f"{name}: image has more than {MAX_PIXELS} pixels, orv's "
                             "limit") from None
        except Image.UnidentifiedImageError:
            raise ValueError(f"{name}: not an image file Pillow can read") from None
        finally:
            Image.MAX_IMAGE_PIXELS = saved
    try:
        check_dimensions(im.size[1], im.size[0])
    except ValueError as e:
        im.close()
        raise ValueError(f"{name}: {e}") from None
    return im


def wide_dtype(im):
    """The sample type of a Pillow image whose samples are wider than 8 bits
    (None for 8 bits or fewer), read from the file's own description: Pillow
    opens a 16-bit RGB or RGBA PNG or TIFF as 8-bit RGB or RGBA and drops the
    low bytes when it loads it."""
    if im.mode in _WIDE_MODES:
        return np.dtype(_WIDE_MODES[im.mode])
    for tile in im.tile or ():
        args = tile.args if hasattr(tile, "args") else tile[3]
        raw = args if isinstance(args, str) else (args[0] if args and isinstance(args, tuple)
                                                  and isinstance(args[0], str) else "")
        m = _WIDE_RAWMODE.match(raw)
        if m:
            return np.dtype(np.float32 if raw.startswith("F") else
                            np.int32 if m.group(2) == "32" else np.uint16)
        # PPM and PGM: a maximum sample value above 255 means two bytes a sample
        if (tile[0] == "ppm" and isinstance(args, tuple) and len(args) > 1
                and isinstance(args[1], int) and args[1] > 255):
            return np.dtype(np.uint16)
    bits = getattr(im, "tag_v2", {}).get(258) if hasattr(im, "tag_v2") else None
    if bits and max(bits if isinstance(bits, tuple) else (bits,)) > 8:
        return np.dtype(np.uint16)
    return None


def refuse_wide(name: str, dtype, channels: int):
    """Raises the one refusal of images deeper than 8 bits (as the API and the
    Pillow plugin do), naming the file and what it holds."""
    dtype = np.dtype(dtype)
    what = {1: "gray", 2: "gray and alpha", 3: "RGB", 4: "RGBA"}.get(channels, "")
    raise refuse_depth(f"{name} ({8 * dtype.itemsize}-bit {what})")


def _frame(im, name: str, index: int):
    dtype = wide_dtype(im)
    if dtype is not None:
        refuse_wide(name, dtype, len(im.getbands()))
    try:
        return current_frame(im)
    except (OSError, TypeError, ValueError) as e:
        where = f"{name}" if index == 0 else f"{name}, frame {index}"
        raise type(e)(f"{where}: {e}") from None


def load_image(source, name: str | None = None, *, frames: bool = True,
               first_frame: bool = False, metadata: bool = True) -> Loaded:
    """An image file (a path, or its bytes) read without losing a value.

    Every frame of an animated GIF or PNG or a multi-page TIFF is read (all
    frames must share one size; gray and RGB frames among colour or alpha
    frames are widened, which keeps their values); with frames=False such a
    file is refused, and first_frame=True reads frame 0 alone (the caller
    asked to drop the others). The metadata comes from the first frame;
    frames that carry other metadata are refused, unless metadata=False,
    which leaves the metadata out."""
    name = str(source) if name is None else name
    with open_image(source, name) as im:
        n = getattr(im, "n_frames", 1)
        if n > 1 and not frames and not first_frame:
            raise ValueError(f"{name} has {n} frames; one image per file is needed here")
        first = _frame(im, name, 0)
        keep = METADATA if metadata else ()
        if n == 1 or first_frame:
            return Loaded(first.pixels, 1, *(getattr(first, k, None) if k in keep else None
                                             for k in METADATA))
        got = [first]
        for i in range(1, n):
            im.seek(i)
            f = _frame(im, name, i)
            if f.pixels.shape[:2] != first.pixels.shape[:2]:
                h, w = f.pixels.shape[:2]
                raise ValueError(f"{name}: frame {i} is {w} x {h}, frame 0 is "
                                 f"{first.pixels.shape[1]} x {first.pixels.shape[0]}; "
                                 "orv codes the frames of one file at one size "
                                 "(--first-frame codes frame 0 alone)")
            for k in METADATA if metadata else ():
                if getattr(f, k) and getattr(f, k) != getattr(first, k):
                    raise ValueError(f"{name}: frame {i} has another {METADATA_NAMES[k]} "
                                     "than frame 0; orv keeps one per file (--strip-metadata "
                                     "codes the pixels alone)")
            got.append(f)
    pixels = stack_frames([g.pixels for g in got])
    return Loaded(pixels, n, *(getattr(first, k) if k in keep else None for k in METADATA))


# ---------------------------------------------------------------- the orv side

def encode_loaded(img: Loaded, *, coder: str | None, effort: int,
                  metadata: bool = True) -> bytes:
    """The .orv file of a loaded image: a single-image file, or a stack file of
    its frames; the metadata goes along unless metadata=False."""
    meta = img.metadata if metadata else {}
    if img.frames == 1:
        return encode(img.pixels, coder=coder, effort=effort, **meta)
    return stack.encode(img.pixels, coder=coder, effort=effort, channels=img.channels, **meta)


@dataclass
class Decoded(_WithMetadata):
    pixels: np.ndarray      # (h, w[, c]); for a stack (n, h, w[, c]), the images in order
    frames: int             # 1 for a single-image file
    stack_shape: tuple | None = None   # the array shape a stack file records
    icc_profile: bytes | None = None
    exif: bytes | None = None
    xmp: bytes | None = None


def decode_file(data, *, max_pixels: float | None = None) -> Decoded:
    """The pixels and metadata of an .orv file or stack file, through the API
    (its checks and its pixel limit: `max_pixels` as for orv.decode); a
    stack's images come one after the other along the first axis, and its
    metadata is that of its first image."""
    d = decode_with_metadata(data, max_pixels=max_pixels)
    meta = (d.icc_profile, d.exif, d.xmp)
    if not stack.is_stack(data):
        return Decoded(d.pixels, 1, None, *meta)
    hdr, _ = stack.split(data)
    if hdr.count == 0:
        raise FormatError("the stack holds no images")
    want = (hdr.height, hdr.width) if hdr.channels == 1 else (hdr.height, hdr.width, hdr.channels)
    return Decoded(d.pixels.reshape((hdr.count,) + want), hdr.count, hdr.shape, *meta)


# ---------------------------------------------------------------- writing images

# (format, mode) pairs that Pillow writes and reads back value for value
_EXACT = {"PNG": {"L", "RGB", "RGBA"}, "TIFF": {"L", "RGB", "RGBA"},
          "WEBP": {"L", "RGB", "RGBA"},       # lossless and exact; gray comes back as RGB
          "BMP": {"L", "RGB"}, "PPM": {"L", "RGB"}, "TGA": {"L", "RGB", "RGBA"},
          "QOI": {"RGB", "RGBA"}}
_MULTI_FRAME = {"PNG", "TIFF"}                # APNG frames, TIFF pages
_LOSSY = {"JPEG": "JPEG is lossy", "MPO": "JPEG is lossy",
          "GIF": "GIF keeps at most 256 colours and no partial transparency",
          "PDF": "Pillow writes the pixels of a PDF as JPEG"}
_NO_ALPHA = {"BMP", "PPM", "DIB", "PCX", "JPEG", "PDF", "EPS"}
_KEEPS = {"PNG": set(METADATA), "TIFF": set(METADATA), "WEBP": set(METADATA),
          "JPEG": set(METADATA)}
_OPTIONS = {"WEBP": {"lossless": True, "exact": True}, "JPEG": {"quality": 95}}


def format_for(path: str | None = None, *, name: str | None = None) -> str:
    """Pillow's format name for an output path (by its suffix) or a format
    name such as "png" or ".tif" (a --format value)."""
    from PIL import Image

    if name is not None:
        suffix, what = "." + name.lower().lstrip("."), f"format {name!r}"
    else:
        suffix, what = Path(path).suffix.lower(), f"{path}: suffix {Path(path).suffix!r}"
        if not suffix:
            raise ValueError(f"{path}: no suffix tells the image format (name it .png, .tif, "
                             ".webp, ...; a directory is written as one when it exists or "
                             "its name ends in /)")
    fmt = Image.registered_extensions().get(suffix)
    if fmt is None or fmt not in Image.SAVE:
        raise ValueError(f"{what} is no image format Pillow writes (use png, tif, webp, "
                         "bmp, ppm, ...)")
    return fmt


def _mode(pixels: np.ndarray, frames: int) -> str:
    nd = pixels.ndim - (frames > 1)
    return "L" if nd == 2 else {3: "RGB", 4: "RGBA"}[pixels.shape[-1]]


def lossy_reason(fmt: str, mode: str) -> str | None:
    """Why `fmt` would not hold these pixels exactly (None if it does, or if
    only reading the written file back can tell)."""
    if fmt in _LOSSY:
        return _LOSSY[fmt]
    if mode == "RGBA" and fmt in _NO_ALPHA:
        return f"{fmt} has no alpha channel"
    return None


def _save_options(fmt: str, meta: dict) -> dict:
    """Pillow's save() arguments for `fmt`: the format's own (lossless, exact)
    and those that store the metadata, as orv.imageio gives them."""
    pic = PillowImage(None, meta.get("icc_profile"), meta.get("exif"), meta.get("xmp"))
    return {**_OPTIONS.get(fmt, {}), **save_options(pic, fmt)}


def _reads_back(data: bytes, pixels: np.ndarray, frames: int) -> bool:
    """Whether Pillow reads `data` back as these pixels (gray may come back as
    equal RGB channels)."""
    try:
        with open_image(data, "output") as im:
            if getattr(im, "n_frames", 1) != frames:
                return False
            for i in range(frames):
                im.seek(i)
                back = current_frame(im).pixels
                want = pixels[i] if frames > 1 else pixels
                if back.shape != want.shape and want.ndim == 2 and back.ndim == 3:
                    back = back[:, :, 0] if (back[:, :, :3] == want[:, :, None]).all() else None
                if back is None or back.shape != want.shape or not np.array_equal(back, want):
                    return False
    except Exception:  # noqa: BLE001 - any failure to read back means "not exact"
        return False
    return True


@dataclass
class Written:
    data: bytes
    lossy: str | None       # why the file does not hold the pixels exactly (allowed)


def image_bytes(dec: Decoded, fmt: str, *, allow_lossy: bool = False,
                strip_metadata: bool = False) -> Written:
    """Decoded pixels as a file of Pillow format `fmt`, with the metadata the
    format holds. Refused (ValueError) when the format would not give back
    every pixel value, unless allow_lossy, or would drop metadata, unless
    strip_metadata."""
    mode = _mode(dec.pixels, dec.frames)
    if dec.frames > 1 and fmt not in _MULTI_FRAME:
        raise ValueError(f"the file is a stack of {dec.frames} images; {fmt} holds one image "
                         "per file here (a .tif or .png file holds all of them)")
    reason = lossy_reason(fmt, mode)
    if reason and not allow_lossy:
        raise ValueError(f"{reason}: not every pixel value would be kept "
                         "(--allow-lossy writes it anyway)")
    meta = {} if strip_metadata else dec.metadata
    keeps = _KEEPS.get(fmt, set())
    dropped = [METADATA_NAMES[k] for k in meta if k not in keeps]
    if dropped and not strip_metadata:
        raise ValueError(f"{fmt} cannot hold the {' and '.join(dropped)} of the image "
                         "(write .png, .tif, .webp or .jpg, or pass --strip-metadata)")
    frames = [dec.pixels[i] for i in range(dec.frames)] if dec.frames > 1 else [dec.pixels]
    images = [to_pillow(f, **meta) for f in frames]
    if reason and mode == "RGBA" and fmt in _NO_ALPHA:
        images = [im.convert("RGB") for im in images]
    opts = _save_options(fmt, {k: v for k, v in meta.items() if k in keeps})
    if len(images) > 1:   # no duration: Pillow's APNG writer merges equal frames given one
        opts.update(save_all=True, append_images=images[1:])
    buf = io.BytesIO()
    try:
        images[0].save(buf, format=fmt, **opts)
    except (OSError, ValueError, KeyError) as e:
        raise ValueError(f"Pillow cannot write these pixels as {fmt}: {e}") from None
    data = buf.getvalue()
    exact_by_table = mode in _EXACT.get(fmt, ()) and dec.frames == 1
    if not reason and not exact_by_table and not _reads_back(data, dec.pixels, dec.frames):
        reason = f"{fmt} does not give these pixels back exactly"
        if not allow_lossy:
            raise ValueError(f"{reason} (--allow-lossy writes it anyway)")
    return Written(data, reason)
