"""The bit-pair coder: a residual plane is coded as four bit-pair planes with
per-context pair tables, one stream per plane; its two sections are the pair
tables (stored as levels) and the stream."""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import NamedTuple

import numpy as np

from . import container as fmt
from . import model, native
from .analysis import Analysed
from .container import Header
from .errors import FormatError
from .native import checked


def bitpair_bounds(pixels: int) -> tuple[int, ...]:
    """Gradient bounds of the bit-pair coder (64 pair contexts per class and
    plane): its tables are many, so it stays with few classes."""
    if pixels < 100000:
        return ()
    if pixels < 1500000:
        return (2,)
    return (1, 4)


# the bounds that the thorough search (effort 5) codes every plane with,
# besides the size's own, keeping per plane the smallest
BOUNDS_TRIED = ((), (2,), (1, 4))


def _flat_luts(bounds: tuple[int, ...]) -> tuple:
    return tuple(t.reshape(-1) for t in model.luts(bounds))


# ---------------------------------------------------------------- encoder

@dataclass
class BitpairCoded:
    bounds: tuple[int, ...]
    levels: np.ndarray
    coded: native.PairStream
    _body: bytes | None = field(default=None, repr=False, compare=False)

    def body(self) -> bytes:
        """The plane's two sections (made once: the encoder weighs the plane
        by its size before it builds the file)."""
        if self._body is None:
            tables = fmt.deflate(self.levels.tobytes())
            self._body = b"".join(
                fmt.section_parts(bytes([len(self.bounds), *self.bounds]) + tables)
                + fmt.section_parts(fmt.states_to_bytes(self.coded.states)
                                    + self.coded.stream.tobytes()))
        return self._body

    def size(self) -> int:
        return len(self.body())


def encode_smallest(a: Analysed, planes: list[int]) -> dict[int, BitpairCoded]:
    """Each plane coded with the bounds of its size and with each of
    BOUNDS_TRIED, the smallest kept (the first of equal sizes)."""
    tried = [bitpair_bounds(a.h * a.w)]
    tried += [b for b in BOUNDS_TRIED if b not in tried]
    best: dict[int, BitpairCoded] = {}
    for bounds in tried:
        for p, coded in encode(a, planes, bounds).items():
            if p not in best or coded.size() < best[p].size():
                best[p] = coded
    return best


def encode(a: Analysed, planes: list[int], bounds: tuple[int, ...] | None = None
           ) -> dict[int, BitpairCoded]:
    """Codes the given planes of the analysed image with the bit-pair coder
    (with the gradient bounds of its size, or `bounds`)."""
    h, w = a.h, a.w
    if bounds is None:
        bounds = bitpair_bounds(h * w)
    luts = _flat_luts(bounds)
    n_ctx = 64 * model.n_classes(bounds)
    green = a.p1.planes[0].reshape(-1)
    jobs = {}
    if a.channels >= 3 and all(p in planes for p in (0, 1, 2)):
        res = [a.p1.residuals[c].reshape(-1) for c in range(3)]
        tables = native.bp_build_pdf_sharded_rgb(res, green, luts, h, w, n_ctx)
        for c in range(3):
            jobs[c] = (res[c], green, tables[c], c > 0)
    for p in planes:
        if p in jobs:
            continue
        if p < len(a.p1.planes):
            resid, ctx, chroma = a.p1.residuals[p].reshape(-1), green, p > 0
        else:
            resid = np.pad(a.alpha_residuals, 1).reshape(-1)
            ctx = np.pad(a.alpha, 1).reshape(-1)
            chroma = False
        tables = native.bp_build_pdf_sharded(resid, ctx, luts, h, w, n_ctx, chroma)
        jobs[p] = (resid, ctx, tables, chroma)

    def run(p):
        resid, ctx, tables, chroma = jobs[p]
        # the stored tables are coarser than the module's; code with what the decoder sees
        levels = model.pair_levels(tables.sf)
        stored = native.PairTables(*model.pair_tables(levels))
        coded = native.bp_encode_sharded(resid, ctx, stored, luts, h, w, n_ctx, chroma)
        return BitpairCoded(bounds, levels, coded)

    order = sorted(jobs)
    return dict(zip(order, native.parallel_map(run, order, pixels=h * w)))


# ---------------------------------------------------------------- decoder

class Plane(NamedTuple):
    """A bit-pair coded plane of a file, read and checked, not yet decoded."""
    bounds: tuple[int, ...]
    tables: native.PairTables
    states: list             # LANES ints
    stream: np.ndarray       # uint8


def read(r: fmt.Reader, hdr: Header, p: int) -> Plane:
    """Reads and checks the two sections of plane `p`."""
    name = hdr.planes[p]
    body = r.section(f"{name} pair tables")
    if len(body) < 2:
        raise FormatError(f"{name} pair tables: section too short")
    nb = body[0]
    if len(body) < 1 + nb:
        raise FormatError(f"{name} pair tables: section too short")
    try:
        bounds = model.check_bounds(body[1:1 + nb])
    except ValueError as e:
        raise FormatError(f"{name} pair tables: {e}") from None
    n_ctx = 64 * model.n_classes(bounds)
    raw = fmt.inflate(body[1 + nb:], 16 * n_ctx, f"{name} pair tables")
    if len(raw) != 16 * n_ctx:
        raise FormatError(f"{name} pair tables: expected {4 * n_ctx} tables")
    levels = np.frombuffer(raw, dtype=np.uint8).reshape(4, n_ctx, 4)
    if (levels > model.PAIR_LEVEL_MAX).any():
        raise FormatError(f"{name} pair tables: a frequency level is out of range")
    tables = native.PairTables(*model.pair_tables(levels))
    body = r.section(f"{name} pair stream")
    if len(body) < fmt.STATES_BYTES:
        raise FormatError(f"{name} pair stream: section too short")
    states = fmt.states_from_bytes(body[:fmt.STATES_BYTES], f"{name} pair stream")
    least = native.least_stream_bytes(hdr.height * hdr.width,
                                      tables.sf.reshape(4, -1).max(axis=1)).sum()
    if len(body) - fmt.STATES_BYTES < least:
        raise FormatError(f"{name} pair stream: too short for {hdr.height * hdr.width} pixels")
    return Plane(bounds, tables, [int(s) for s in states],
                 np.frombuffer(body[fmt.STATES_BYTES:], dtype=np.uint8))


def decode(plane: Plane, h: int, w: int, ref: np.ndarray | None = None) -> np.ndarray:
    """The (h, w) sample plane of a bit-pair coded plane; a chroma plane takes
    the padded green plane `ref` as its context."""
    luts = _flat_luts(plane.bounds)
    if ref is None:
        # the decoder rebuilds the samples for its contexts: one call gives them
        return checked(native.bp_decode_samples, plane.stream, plane.states, h, w, plane.tables,
                       luts)
    z = checked(native.bp_decode_sharded_with_ref, plane.stream, plane.states, h, w,
                plane.tables, ref, luts)
    return checked(native.reconstruct_2d_channels, h, w, z)
