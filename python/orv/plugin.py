"""Pillow plugin: ``Image.open("x.orv")`` and ``image.save("x.orv")``.

Registered when ``orv`` is imported. Modes L, RGB and RGBA are stored as
they are; 1, P, PA, LA and colour-keyed transparency are converted first (to
L, RGB or RGBA, whichever keeps every value; see ``orv.imageio``); deeper
and other modes are refused. Saving takes the ``effort`` option (1..5,
default 2, as for ``orv.encode``: higher is smaller and slower), ``coder``
(None: the level decides; ``"auto"``, ``"shard"``, ``"bitpair"`` force it),
and ``icc_profile``, ``exif`` and ``xmp`` (by default those of ``im.info``). An image of several
frames is saved with ``save_all=True`` (and ``append_images``) as a stack
file and refused without it. Opening restores the metadata into ``im.info``;
a stack file opens as an image of several frames (``n_frames``, ``seek``).
A damaged file raises ``orv.FileFormatError``, an ``OSError`` as Pillow's
own formats raise, and an ``orv.FormatError``.
"""
from __future__ import annotations

from PIL import Image, ImageFile

from . import imageio, single, stack, strips
from . import container as fmt
from .errors import FileFormatError, FormatError

_MODES = {1: "L", 3: "RGB", 4: "RGBA"}


def _accept(prefix: bytes) -> bool:
    return prefix[:len(fmt.MAGIC)] == fmt.MAGIC


def _as_file_error(e: FormatError) -> FileFormatError:
    return e if isinstance(e, FileFormatError) else FileFormatError(str(e))


class OrvImageFile(ImageFile.ImageFile):
    format = "ORV"
    format_description = "orv lossless image"

    def _open(self) -> None:
        # the file is read whole: a stack's image offsets and the metadata
        # sections (after the coded ones) are needed before any pixel
        data = self.fp.read()
        try:
            if stack.is_stack(data):
                hdr, files = stack.split(data)
                if not files:
                    raise FileFormatError("the orv stack file holds no image")
                channels, size = hdr.channels, (hdr.width, hdr.height)
                first = strips.look(files[0])
            else:  # a single-image or strip file
                files = [memoryview(data)]
                first = strips.look(data)
                channels, size = first.channels, (first.shape[1], first.shape[0])
        except FormatError as e:
            raise _as_file_error(e) from None
        header_end = len(data) - sum(len(f) for f in files)
        self._frames, pos = [], header_end
        for f in files:
            self._frames.append((pos, len(f)))
            pos += len(f)
        self._mode = _MODES[channels]
        self._size = size
        self.n_frames = len(self._frames)
        self.is_animated = self.n_frames > 1
        # later frames are read from the same file after the first is loaded
        self._close_exclusive_fp_after_loading = not self.is_animated
        self._fp = self.fp   # Pillow drops self.fp after each load
        self._frame = -1
        self.info["orv_coders"] = first.coders
        for key, value in first.meta._asdict().items():
            if value is not None:
                self.info[key] = value
        self.seek(0)

    def seek(self, frame: int) -> None:
        if not self._seek_check(frame):
            return
        self._frame = frame
        self.fp = self._fp
        offset, length = self._frames[frame]
        self.tile = [ImageFile._Tile("orv", (0, 0) + self.size, offset, (length,))]

    def tell(self) -> int:
        return self._frame


class OrvDecoder(ImageFile.PyDecoder):
    _pulls_fd = True

    def decode(self, buffer):
        assert self.fd is not None
        # the tile's offset has already been applied to the file position
        (length,) = self.args
        data = self.fd.read(length)
        try:
            # Pillow checked the size against its own MAX_IMAGE_PIXELS at open
            pixels = strips.decode_image(data, max_pixels=float("inf"))
        except FormatError as e:
            raise _as_file_error(e) from None
        if pixels.shape[:2] != (self.state.ysize, self.state.xsize) or \
                _MODES[1 if pixels.ndim == 2 else pixels.shape[2]] != self.mode:
            raise FileFormatError("an image of the orv stack differs from the stack's header")
        self.set_as_raw(pixels.tobytes(), self.mode)
        return -1, 0


def to_array(im: Image.Image):
    """The pixels of a Pillow image as an array orv can store, without losing a value."""
    return imageio.from_pillow(im).pixels


def _options(im: Image.Image, pic: imageio.PillowImage) -> dict:
    """Coder options and metadata: save()'s own arguments, else the image's."""
    info = getattr(im, "encoderinfo", {})
    opts = {"effort": info.get("effort", single.DEFAULT_EFFORT), "coder": info.get("coder")}
    for key in ("icc_profile", "exif", "xmp"):
        opts[key] = imageio._as_bytes(info[key]) if key in info else getattr(pic, key)
    return opts


def _save(im: Image.Image, fp, filename) -> None:
    pic = imageio.from_pillow(im)
    fp.write(strips.encode(pic.pixels, **_options(im, pic)))


def _save_all(im: Image.Image, fp, filename) -> None:
    append = getattr(im, "encoderinfo", {}).get("append_images", ())
    pic = imageio.from_pillow(im, frames=True, append_images=append)
    opts = _options(im, pic)
    if len(pic.pixels) == 1:
        fp.write(strips.encode(pic.pixels[0], **opts))
    else:  # the frame axis leads; the channel count is given, so gray frames 3 wide stay gray
        channels = 1 if pic.pixels.ndim == 3 else pic.pixels.shape[3]
        fp.write(stack.encode(pic.pixels, channels=channels, **opts))


Image.register_open(OrvImageFile.format, OrvImageFile, _accept)
Image.register_decoder("orv", OrvDecoder)
Image.register_save(OrvImageFile.format, _save)
Image.register_save_all(OrvImageFile.format, _save_all)
Image.register_extension(OrvImageFile.format, ".orv")
Image.register_mime(OrvImageFile.format, "image/x-orv")
