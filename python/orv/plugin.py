"""Pillow plugin: ``Image.open("x.orv")`` and ``image.save("x.orv")``.

Registered when ``orv`` is imported. Modes L, RGB and RGBA are stored as
they are; 1, P, LA and other 8-bit modes are converted first (to L, RGB or
RGBA, whichever keeps every value). Saving takes the ``coder`` option
(``"auto"``, ``"shard"``, ``"bitpair"``) and ``effort`` (1 or 2).
"""
from __future__ import annotations

import numpy as np
from PIL import Image, ImageFile

from . import codec
from . import container as fmt
from .errors import FormatError

_MODES = {1: "L", 3: "RGB", 4: "RGBA"}


def _accept(prefix: bytes) -> bool:
    return prefix[:len(fmt.MAGIC)] == fmt.MAGIC


class OrvImageFile(ImageFile.ImageFile):
    format = "ORV"
    format_description = "orv lossless image"

    def _open(self) -> None:
        try:  # the header is at most 269 bytes long
            hdr, _ = fmt.read_header(self.fp.read(512))
        except FormatError as e:
            raise SyntaxError(str(e)) from None
        self._mode = _MODES[hdr.channels]
        self._size = (hdr.width, hdr.height)
        self.info["orv_coders"] = tuple(fmt.CODER_NAMES[c] for c in hdr.coders)
        self.tile = [ImageFile._Tile("orv", (0, 0) + self.size, 0, None)]


class OrvDecoder(ImageFile.PyDecoder):
    _pulls_fd = True

    def decode(self, buffer):
        assert self.fd is not None
        self.fd.seek(0)
        # Pillow checked the size against its own MAX_IMAGE_PIXELS at open
        pixels = codec.decode_single(self.fd.read(), max_pixels=float("inf"))
        self.set_as_raw(pixels.tobytes(), self.mode)
        return -1, 0


def to_array(im: Image.Image) -> np.ndarray:
    """The pixels of a Pillow image as an array orv can store, without losing a value."""
    if im.mode == "1":
        im = im.convert("L")
    elif im.mode in ("P", "PA"):
        im = im.convert("RGBA" if im.mode == "PA" or "transparency" in im.info else "RGB")
    elif im.mode == "LA":
        im = im.convert("RGBA")
    elif im.mode not in ("L", "RGB", "RGBA"):
        raise OSError(f"cannot store mode {im.mode} losslessly as ORV (8-bit L, RGB or RGBA only)")
    return np.asarray(im)


def _save(im: Image.Image, fp, filename) -> None:
    info = getattr(im, "encoderinfo", {})
    fp.write(codec.encode(to_array(im), coder=info.get("coder", "auto"),
                          effort=info.get("effort", 1)))


Image.register_open(OrvImageFile.format, OrvImageFile, _accept)
Image.register_decoder("orv", OrvDecoder)
Image.register_save(OrvImageFile.format, _save)
Image.register_extension(OrvImageFile.format, ".orv")
Image.register_mime(OrvImageFile.format, "image/x-orv")
