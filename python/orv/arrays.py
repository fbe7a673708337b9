"""The arrays the coders take: uint8 samples in an image shape."""
from __future__ import annotations

import numpy as np

from .container import check_dimensions
from .errors import refuse_depth


def check_dtype(dtype: np.dtype) -> None:
    """Refuses every dtype but uint8; deeper samples get the one message for
    images that do not fit in 8 bits."""
    if dtype == np.uint8:
        return
    if dtype.kind in "uifc" and dtype.itemsize > 1 or dtype.kind == "f":
        raise refuse_depth(f"a {dtype} array")
    raise TypeError(f"image must have dtype uint8, not {dtype}")


def check_image(image) -> np.ndarray:
    """A single image, (h, w), (h, w, 3) or (h, w, 4) uint8, made contiguous."""
    if not isinstance(image, np.ndarray):
        raise TypeError(f"image must be a numpy.ndarray, not {type(image).__name__}")
    check_dtype(image.dtype)
    if not (image.ndim == 2 or (image.ndim == 3 and image.shape[2] in (3, 4))):
        raise ValueError(f"image must have shape (h, w), (h, w, 3) or (h, w, 4), not {image.shape}")
    check_dimensions(image.shape[0], image.shape[1])
    return np.ascontiguousarray(image)
