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

import numpy as np

from .codec import CODERS, decode, encode, info
from .container import MAX_PIXELS, MAX_SIDE
from .errors import FormatError

__all__ = ["encode", "decode", "read", "write", "info", "FormatError", "CODERS",
           "MAX_SIDE", "MAX_PIXELS", "__version__"]
__version__ = "1.0.0"


def read(path: str | os.PathLike) -> np.ndarray:
    """Reads an .orv file into a uint8 array of shape (h, w), (h, w, 3) or (h, w, 4)."""
    with open(path, "rb") as f:
        return decode(f.read())


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
