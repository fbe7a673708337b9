"""orv: a lossless image codec built on the orv_rans module.

>>> import numpy as np, orv
>>> img = np.zeros((4, 5, 3), np.uint8)
>>> data = orv.encode(img)
>>> bool((orv.decode(data) == img).all())
True

After ``import orv`` Pillow also opens and saves ``.orv`` files.
"""
from __future__ import annotations

import os
import sys
import types

import numpy as np
# numpy imports numpy.ma on the first np.unique; done here so that encoding and
# decoding import nothing: a process forked while another thread is inside an
# import waits for ever when it imports the same module
from numpy import ma as _numpy_ma  # noqa: F401

from . import limits as _limits
from .codec import CODERS, Decoded, decode, decode_with_metadata, encode, info
from .container import MAX_PIXELS, MAX_SIDE
from .errors import FileFormatError, FormatError, SampleDepthError, not_8bit_message
from .limits import DecompressionBombError, DecompressionBombWarning

__all__ = ["encode", "decode", "decode_with_metadata", "Decoded", "read", "write", "info",
           "FormatError", "FileFormatError", "SampleDepthError", "not_8bit_message", "CODERS",
           "MAX_SIDE", "MAX_PIXELS", "MAX_IMAGE_PIXELS", "DecompressionBombError",
           "DecompressionBombWarning", "__version__"]


def _package_version() -> str:
    """The installed distribution's version; pyproject.toml's in a source tree."""
    from pathlib import Path

    pyproject = Path(__file__).resolve().parents[2] / "pyproject.toml"
    if pyproject.is_file():  # running from a source tree (PYTHONPATH=python)
        for line in pyproject.read_text(encoding="utf-8").splitlines():
            if line.startswith("version = "):
                return line.split("=", 1)[1].strip().strip('"')
    try:
        from importlib.metadata import PackageNotFoundError, version
        return version("orv_rans")
    except PackageNotFoundError:  # pragma: no cover - neither installed nor a source tree
        return "0+unknown"


__version__ = _package_version()


class _Package(types.ModuleType):
    """orv.MAX_IMAGE_PIXELS reads and sets the decoder's pixel limit, as
    PIL.Image.MAX_IMAGE_PIXELS does Pillow's (None: no limit)."""

    @property
    def MAX_IMAGE_PIXELS(self) -> int | None:  # noqa: N802 - Pillow's name
        return _limits.MAX_IMAGE_PIXELS

    @MAX_IMAGE_PIXELS.setter
    def MAX_IMAGE_PIXELS(self, value: int | None) -> None:  # noqa: N802
        _limits.set_max_image_pixels(value)


sys.modules[__name__].__class__ = _Package


def read(path: str | os.PathLike, *, max_pixels: float | None = None) -> np.ndarray:
    """Reads an .orv file into a uint8 array of shape (h, w), (h, w, 3) or (h, w, 4)
    (or the array of a stack file); max_pixels as for orv.decode."""
    with open(path, "rb") as f:
        return decode(f.read(), max_pixels=max_pixels)


def write(path: str | os.PathLike, image: np.ndarray, *, effort: int = 2,
          coder: str | None = None, icc_profile=None, exif=None, xmp=None) -> int:
    """Writes `image` (and its metadata) to an .orv file; returns the number of
    bytes written (effort and coder as for orv.encode)."""
    data = encode(image, effort=effort, coder=coder, icc_profile=icc_profile, exif=exif, xmp=xmp)
    with open(path, "wb") as f:
        f.write(data)
    return len(data)


try:  # the Pillow plugin registers itself on import
    from . import plugin as _plugin  # noqa: F401
except ImportError:  # pragma: no cover - Pillow is a dependency
    pass
