"""How many pixels the decoder accepts before it treats a file as a likely
decompression bomb.

A few bytes of .orv can describe a huge image (an all-zero plane costs next to
nothing), so decoding files one did not write needs a limit by default. It
follows Pillow's convention, which users know: above ``MAX_IMAGE_PIXELS``
(89,478,485 pixels, 256 MiB of RGB, as in Pillow) decoding warns
with ``DecompressionBombWarning``; above twice that it refuses with
``DecompressionBombError``, a ``FormatError``. For a stack the limit applies to
the pixels of all its images together.

Raise or lift it per call (``max_pixels=``), for the process
(``orv.MAX_IMAGE_PIXELS = n``, or ``None`` for no limit), for a Zarr array
(``Orv(max_pixels=...)``) or on the command line (``orv decode --max-pixels``).
"""
from __future__ import annotations

import os
import sys
import warnings

from .errors import FormatError

DEFAULT_MAX_IMAGE_PIXELS = 1024 * 1024 * 1024 // 4 // 3

# read at every decode; orv.MAX_IMAGE_PIXELS reads and writes this value
MAX_IMAGE_PIXELS: int | None = DEFAULT_MAX_IMAGE_PIXELS


class DecompressionBombWarning(RuntimeWarning):
    """A decoded image is larger than ``orv.MAX_IMAGE_PIXELS``."""


class DecompressionBombError(FormatError):
    """A file claims more pixels than the decoder is allowed to produce."""


def set_max_image_pixels(value: int | None) -> None:
    global MAX_IMAGE_PIXELS
    if value is not None and (isinstance(value, bool) or not isinstance(value, int) or value < 0):
        raise ValueError(f"MAX_IMAGE_PIXELS must be None or a non-negative int, not {value!r}")
    MAX_IMAGE_PIXELS = value


def check_pixels(pixels: int, max_pixels: float | None, what: str = "image") -> None:
    """Refuses `pixels` above the limit: `max_pixels` when given (math.inf for
    none), else twice orv.MAX_IMAGE_PIXELS, with a warning above it once."""
    if max_pixels is not None:
        if pixels > max_pixels:
            raise DecompressionBombError(
                f"{what} of {pixels} pixels exceeds max_pixels={max_pixels}")
        return
    limit = MAX_IMAGE_PIXELS
    if limit is None:
        return
    if pixels > 2 * limit:
        raise DecompressionBombError(
            f"{what} of {pixels} pixels is more than twice orv.MAX_IMAGE_PIXELS ({limit}) and "
            "could be a decompression bomb; to decode it, raise the limit with max_pixels= "
            "(orv.decode, the Orv codec), orv.MAX_IMAGE_PIXELS or `orv decode --max-pixels`")
    if pixels > limit:
        warnings.warn(DecompressionBombWarning(
            f"{what} of {pixels} pixels is more than orv.MAX_IMAGE_PIXELS ({limit}) and could "
            "be a decompression bomb"), stacklevel=_outside_level())


def _outside_level() -> int:
    """The stack level of the first caller outside this package, for warnings."""
    here = os.path.dirname(os.path.abspath(__file__))
    frame, level = sys._getframe(1), 1
    while frame is not None and os.path.abspath(frame.f_code.co_filename).startswith(here + os.sep):
        frame, level = frame.f_back, level + 1
    return level
