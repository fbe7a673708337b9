"""orv as a numcodecs codec, and as a Zarr 3 array-to-bytes codec.

>>> import numcodecs, orv.numcodecs_codec
>>> codec = numcodecs.get_codec({"id": "orv"})      # or orv.numcodecs_codec.Orv()

The codec takes uint8 chunks of shape (h, w), (h, w, 3) or (h, w, 4), or
stacks of them (any leading axes, coded image by image in one chunk), and
gives an .orv file per chunk: a plain single-image file for a lone image, a
stack file (docs/format.md, "Image stacks") otherwise. Anything else raises
a TypeError or ValueError that says what was expected.

orv needs each chunk's shape, which Zarr hands only to array-to-bytes codecs:
with Zarr 3 use ``serializer=orv.numcodecs_codec.zarr_serializer()`` (stored
in the array's metadata as ``numcodecs.orv``); with Zarr's version-2 format
(``zarr_format=2``, or Zarr 2) use ``compressor=Orv()``. As a bytes-to-bytes
compressor of a Zarr 3 array it sees flat bytes and refuses them.

The package registers the codec through numcodecs' ``numcodecs.codecs`` and
Zarr's ``zarr.codecs`` entry points; importing this module registers it too
(in processes that run from a source tree, such as Dask workers there).
"""
from __future__ import annotations

import numpy as np
from numcodecs.abc import Codec
from numcodecs.compat import ensure_contiguous_ndarray, ensure_ndarray_like
from numcodecs.registry import register_codec

from . import stack
from .arrays import check_dtype
from . import effort as effort_scale
from .effort import DEFAULT_EFFORT
from .container import check_dimensions

__all__ = ["Orv", "ZarrOrv", "zarr_serializer", "CODEC_ID", "ZARR_CODEC_NAME"]

CODEC_ID = "orv"
ZARR_CODEC_NAME = "numcodecs.orv"


class Orv(Codec):
    """Lossless orv coding of uint8 image chunks (numcodecs id ``"orv"``).

    effort: 1..5 (default 2), coder: None (the level decides), "auto",
    "shard" or "bitpair" (see ``orv.encode``); they only steer the writing,
    every chunk decodes whatever they were.
    channels: None to read a last axis of length 3 or 4 (or 1) as the channel
    axis when the chunk has three or more axes; 1 for gray images (the last
    two axes are height and width); 3 or 4 to require that many channels.
    max_pixels: the most pixels a chunk may decode to (all its images
    together); None applies ``orv.MAX_IMAGE_PIXELS`` as ``orv.decode`` does
    (in the process that decodes: set it in Dask workers too). A reading
    setting: it enters the codec's configuration only when given."""

    codec_id = CODEC_ID

    def __init__(self, coder: str | None = None, effort: int = DEFAULT_EFFORT,
                 channels: int | None = None, max_pixels: int | None = None):
        effort_scale.check(coder, effort)
        if channels not in (None, 1, 3, 4) or isinstance(channels, bool):
            raise ValueError(f"channels must be None, 1, 3 or 4, not {channels!r}")
        self.coder = coder
        self.effort = int(effort)
        self.channels = None if channels is None else int(channels)
        if max_pixels is not None and (isinstance(max_pixels, bool)
                                       or not isinstance(max_pixels, (int, float))
                                       or max_pixels < 0):
            raise ValueError(f"max_pixels must be None or a non-negative number, not {max_pixels!r}")
        self.max_pixels = max_pixels

    def get_config(self) -> dict:
        config = super().get_config()
        # settings left at None stay out, so that arrays keep the configuration
        # older readers know (whose coder had no None)
        for key in ("coder", "max_pixels"):
            if config[key] is None:
                del config[key]
        return config

    def encode(self, buf) -> bytes:
        arr = buf if isinstance(buf, np.ndarray) else ensure_ndarray_like(buf)
        if arr.ndim > 1 and arr.flags.f_contiguous and not arr.flags.c_contiguous:
            # a Zarr array in Fortran order would read the decoded pixels back in the
            # wrong order, so such chunks are refused rather than garbled
            raise ValueError("the orv codec takes chunks in C order: create the Zarr array "
                             "with order='C' (or pass numpy.ascontiguousarray(chunk))")
        if arr.ndim < 2:
            raise ValueError(
                f"the orv codec needs each chunk as an array of images, got a flat buffer of "
                f"shape {arr.shape}; with Zarr 3 use it as the serializer "
                "(serializer=orv.numcodecs_codec.zarr_serializer()), not as a compressor")
        return stack.encode(arr, effort=self.effort, coder=self.coder, channels=self.channels)

    def decode(self, buf, out=None) -> np.ndarray:
        data = ensure_contiguous_ndarray(buf)
        if out is not None:
            out = ensure_contiguous_ndarray(out)
        return stack.decode(data, out=out, max_pixels=self.max_pixels)

    def __repr__(self) -> str:
        limit = "" if self.max_pixels is None else f", max_pixels={self.max_pixels}"
        return f"Orv(coder={self.coder!r}, effort={self.effort}, channels={self.channels}{limit})"


register_codec(Orv)


def _zarr_base():
    """Zarr's wrapper class for numcodecs array-to-bytes codecs (Zarr >= 3.1.3)."""
    try:
        from zarr.codecs.numcodecs import _NumcodecsArrayBytesCodec
    except ImportError:
        return None
    return _NumcodecsArrayBytesCodec


_Base = _zarr_base()

if _Base is not None:
    class ZarrOrv(_Base, codec_name=CODEC_ID):
        """The orv codec in a Zarr 3 array's codec chain (its array-to-bytes codec)."""

        def validate(self, *, shape, dtype, chunk_grid) -> None:
            native = dtype.to_native_dtype()
            try:
                check_dtype(np.dtype(native))
            except TypeError as e:  # Zarr expects a ValueError from a codec's validation
                raise ValueError(f"the orv codec: {e}") from None
            chunks = getattr(chunk_grid, "chunk_shape", None)
            if chunks is not None:
                chunks = tuple(chunks)
                n_img = stack.image_layout(chunks, self.codec_config.get("channels"))[0]
                check_dimensions(*chunks[len(chunks) - n_img:][:2])

    def _register_with_zarr() -> None:
        from zarr.registry import register_codec as zarr_register

        zarr_register(ZARR_CODEC_NAME, ZarrOrv, qualname="orv.numcodecs_codec.ZarrOrv")

    _register_with_zarr()
else:  # pragma: no cover - Zarr 3 is not installed
    ZarrOrv = None


def zarr_serializer(coder: str | None = None, effort: int = DEFAULT_EFFORT,
                    channels: int | None = None, max_pixels: int | None = None):
    """The orv codec for ``zarr.create_array(..., serializer=...)`` (Zarr 3)."""
    Orv(coder, effort, channels, max_pixels)  # checks the options here rather than at the first write
    if ZarrOrv is None:
        raise ImportError("zarr_serializer needs Zarr 3.1.3 or later "
                          "(pip install 'orv_rans[zarr]')")
    # settings left at None stay out of the stored configuration (see Orv.get_config)
    given = {k: v for k, v in (("coder", coder), ("max_pixels", max_pixels)) if v is not None}
    return ZarrOrv(effort=effort, channels=channels, **given)
