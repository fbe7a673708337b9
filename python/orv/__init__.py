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

from . import limits as _limits
from .codec import CODERS, decode, encode, info
from .container import MAX_PIXELS, MAX_SIDE
from .errors import FormatError
from .limits import DecompressionBombError, DecompressionBombWarning

__all__ = ["encode", "decode", "read", "write", "info", "FormatError", "CODERS",
           "MAX_SIDE", "MAX_PIXELS", "MAX_IMAGE_PIXELS", "DecompressionBombError",
           "DecompressionBombWarning", "__version__"]
__version__ = "1.0.0"


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


def write(path: str | os.PathLike, image: np.ndarray, *, coder: str = "auto",
          effort: int = 1) -> int:
    """Writes `image` to an .orv file; returns the number of bytes written."""
    data = encode(image, coder=coder, effort=effort)
    with open(path, "wb") as f:
        f.write(data)
    return len(data)


try:  # the Pillow plugin registers itself on import
    from . import plugin as _plugin  # noqa: F401
except ImportError:  # pragma: no cover - Pillow is a dependency
    pass
