"""zstd for the planes that repeat: long runs, flat areas, glyphs drawn again
and again, which an LZ77 coder with a large window catches and the context
coders do not.

Every frame is written with its content size; the reader never trusts it: it
must equal the size the image calls for, and the output is bounded by it
before anything is decompressed.
"""
from __future__ import annotations

import threading

from .errors import FormatError

# the levels tried: the fastest (the first look at a small image), a cheap
# search for the default effort, the strongest for the searching one
QUICK_LEVEL = 1
FAST_LEVEL = 12
STRONG_LEVEL = 19
MAX_LEVEL = 22


# imported with the module, not on first use: a process forked while another
# thread was inside that first import would wait for ever on the import's lock
try:
    import zstandard as _zstandard
except ImportError:  # a dependency of the package; only a broken install lacks it
    _zstandard = None


def _zstd():
    if _zstandard is None:
        raise ImportError("the zstandard package is needed for orv files of version 4 "
                          "(pip install zstandard)")
    return _zstandard


def available() -> bool:
    try:
        _zstd()
    except ImportError:
        return False
    return True


def compress(data, level: int = FAST_LEVEL) -> bytes:
    """One zstd frame of `data`, its content size recorded, no checksum (the
    file's sections carry CRC-32s)."""
    z = _zstd()
    return z.ZstdCompressor(level=level, write_content_size=True,
                            write_checksum=False).compress(bytes(memoryview(data).cast("B")))


def decompress(frame, size: int, what: str) -> bytes:
    """Exactly `size` bytes from one zstd frame; anything else (another
    content size, a broken or truncated frame, bytes after it) is a FormatError."""
    z = _zstd()
    frame = bytes(frame)
    try:
        declared = z.get_frame_parameters(frame).content_size
    except z.ZstdError:
        raise FormatError(f"the {what} section is corrupt (not a zstd frame)") from None
    if declared != size:
        raise FormatError(f"the {what} section is corrupt (its zstd frame holds "
                          f"{'an unknown number of' if declared >= 1 << 63 else declared} "
                          f"bytes, the image needs {size})")
    d = z.ZstdDecompressor().decompressobj()
    try:
        # the decoder refuses a block that goes past the declared content size
        out = d.decompress(frame)
    except z.ZstdError:
        raise FormatError(f"the {what} section is corrupt (bad zstd data)") from None
    if not d.eof or len(out) != size:
        raise FormatError(f"the {what} section is truncated (zstd frame ends early)")
    if d.unused_data:
        raise FormatError(f"the {what} section has {len(d.unused_data)} bytes after its "
                          "zstd frame")
    return out


def estimate(img, full_bytes: int = 256 << 10, share: int = 4, large_bytes: int = 4 << 20,
             large_share: int = 8, limit: float | None = None) -> float:
    """A quick guess of zstd's size on the samples of `img` (an array whose
    first axis is rows): the fastest level on the whole when it has at most
    `full_bytes`, else on bands of rows spread over it (1/`share` of them,
    1/`large_share` from `large_bytes` on) scaled to the whole, so that a
    photo costs a small part of its encode. Bands miss repetition across
    them: the guess errs large (yet on the graphics corpus it lets through
    every image that the whole image's guess lets through).

    With `limit`, the caller only asks whether the guess is at most `limit`:
    the bands go through one frame in turn, and once the bytes the frame has
    given out (never more than it will have given at its end), scaled, pass
    `limit`, the guess is that (above `limit`): a photo, which comes out at
    two to three times the limit of the default level, stops after a third
    of its bands or so."""
    fastest = _fastest()
    if img.nbytes <= full_bytes:
        return float(len(fastest.compress(_raw(img))))
    band = 32
    step = (large_share if img.nbytes >= large_bytes else share) * band
    bands = [img[y:y + band] for y in range(0, img.shape[0], step)]
    sampled = sum(b.nbytes for b in bands)
    scale = img.nbytes / sampled
    frame = fastest.compressobj(size=sampled)
    out = 0
    for b in bands:
        out += len(frame.compress(_raw(b)))
        if limit is not None and out * scale > limit:
            return out * scale
    return (out + len(frame.flush())) * scale


def _raw(a):
    """The bytes of an array, without a copy where they lie in one piece."""
    return memoryview(a).cast("B") if a.flags.c_contiguous else a.tobytes()


_local = threading.local()


def _fastest():
    """This thread's compressor at the fastest level, made once: a compressor
    sets up its working memory on first use, which on a small image costs as
    much as compressing it; each call starts a new frame, so the output is
    the same as a fresh compressor's. One per thread, since a compressor must
    not be used by two at once."""
    c = getattr(_local, "fastest", None)
    if c is None:
        c = _local.fastest = _zstd().ZstdCompressor(level=1)
    return c
