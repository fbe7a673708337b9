"""A single-image .orv file (format version 1): the header, the coded
sections of its planes and its metadata sections. Images that the transforms
for synthetic content code smaller are written as version 4 (orv.synthetic).

Planes: gray, or green, red-green, blue-green (the module's colour transform),
and alpha. Each plane is coded with one of two coders (orv.shard, the shard
coder, and orv.bitpair, the bit-pair coder); "auto" keeps, per plane, the
smaller of the two. Which codings the encoder tries is the effort level's
choice (orv.effort); it keeps the smallest.
"""
from __future__ import annotations

import itertools
import zlib
from dataclasses import dataclass
from typing import Callable, NamedTuple

import numpy as np

from . import banded, bitpair, colour, limits, model, native, shard, synthetic
from . import effort as effort_scale
from . import container as fmt
from .analysis import analyse
from .arrays import check_image
from .checksum import crc32
from .container import CODER_BITPAIR, CODER_SHARD, Header
from .errors import FormatError
from .native import checked

CODERS = effort_scale.CODERS
EFFORTS = effort_scale.EFFORTS
DEFAULT_EFFORT = effort_scale.DEFAULT_EFFORT


# ---------------------------------------------------------------- encoder

def encode(image, *, effort: int = DEFAULT_EFFORT, coder: str | None = None, icc_profile=None,
           exif=None, xmp=None) -> bytes:
    """Codes a uint8 image of shape (h, w), (h, w, 3) or (h, w, 4).

    effort: 1..5 (default 2), what the encoder tries (orv.effort): 1 the
    shard coder with fixed context classes (fastest); 2 also the cheap
    content checks; 3 also classes fitted to the image, split by intensity
    where that pays, and a colour transform where it pays (about 3% smaller, slower to
    encode); 4 also the bit-pair coder per plane where it pays (smaller, slower to decode);
    5 also the costlier searches. The smallest
    coding tried is kept, so a higher level never gives a larger file.
    coder: None (the level decides), or "shard", "bitpair", or "auto" (per
    plane, whichever is smaller) to force the coder at any level.
    icc_profile, exif, xmp: bytes (XMP also str) stored with the pixels, or None."""
    effort_scale.check(coder, effort)
    meta = fmt.Metadata(*(fmt.metadata_bytes(v, n) for v, n in
                          ((icc_profile, "icc_profile"), (exif, "exif"), (xmp, "xmp"))))
    img = check_image(image)
    return encode_pixels(img, effort=effort, coder=coder) + fmt.pack_metadata(meta)


class Classes(NamedTuple):
    """The shard coder's context classes: gradient bounds, and the map of the
    classes (with intensity bands: of the class and band pairs) to shards
    (None: a shard per class)."""
    bounds: tuple[int, ...]
    class_map: np.ndarray | None
    K: int                   # shards per colour plane
    luts: tuple
    bands: tuple[int, ...] = ()   # the intensity thresholds of context model 2
    model: int = model.MODEL_ID   # the context model the header names


def compact(cl: Classes) -> Classes:
    """The classes written as model 2 without bands where that stores their
    map shorter (deflated, which model 1 cannot)."""
    if cl.model == model.MODEL_ID and cl.class_map is not None \
            and fmt.deflated_map_pays(cl.class_map.tobytes()):
        return cl._replace(model=model.MODEL_BANDS)
    return cl


def fixed_classes(pixels: int) -> Classes:
    """The classes every image of this size gets without a search."""
    bounds = shard.shard_bounds(pixels)
    return Classes(bounds, None, model.n_classes(bounds), model.luts(bounds))


def fitted_classes(img: np.ndarray, bands: bool = False) -> Classes:
    """Fine classes, merged for this image while the estimated size drops;
    with `bands`, the gradient classes split by intensity too (context model
    2) where the estimate says that pays."""
    return fitted_options(img, bands)[0]


def fitted_options(img: np.ndarray, bands: bool = False, both: bool = False) -> list[Classes]:
    """The fitted classes (as fitted_classes); with `both`, the classes of
    model 1 and, where the image has bands, those of model 2 for each cut of
    the bands (banded.QUANTILES and MORE_QUANTILES), for the encoder to weigh
    by their exact sizes."""
    nc = 1 if img.ndim == 2 else 3
    bounds = model.FINE_BOUNDS
    fine = analyse(img, model.n_classes(bounds), model.luts(bounds))
    hist = fine.p1.hist[:nc]
    del fine
    class_map = model.merge_classes(hist, bounds)
    plain = Classes(bounds, class_map, int(class_map.max()) + 1, model.luts(bounds, class_map))
    if not bands:
        return [plain]
    if both:
        out, seen = [plain], set()
        for q in (banded.QUANTILES, *banded.MORE_QUANTILES):
            cells = banded.cell_histograms(img, bounds, class_map, q)
            if cells is not None and cells.thresholds not in seen:
                seen.add(cells.thresholds)
                out.append(_split(cells, bounds, class_map)[0])
        return out
    cells = banded.cell_histograms(img, bounds, class_map)
    if cells is None:
        return [plain]
    split_classes, split = _split(cells, bounds, class_map)
    # both estimated over the same (shard, band) cells; the map is stored too,
    # model 2's (bands) times as long, though it compresses
    extra = 8 * (len(zlib.compress(split_classes.class_map.tobytes(), 9))
                 - len(zlib.compress(class_map.tobytes(), 9)))
    B = len(cells.thresholds) + 1
    if model.merged_cost(cells.hist, split) + extra >= \
            model.merged_cost(cells.hist, np.repeat(np.arange(plain.K), B)):
        return [plain]
    return [split_classes]


def _split(cells: banded.Cells, bounds, class_map: np.ndarray) -> tuple[Classes, np.ndarray]:
    """The classes of model 2 that split `class_map`'s shards by the cells'
    bands, and the split of the (shard, band) cells."""
    B = len(cells.thresholds) + 1
    split = model.split_by_band(cells.hist, bounds, class_map, B)
    cell_map = model.band_map(split, class_map, B)
    return Classes(bounds, cell_map, int(cell_map.max()) + 1,
                   model.luts(bounds, cell_map, cells.thresholds), cells.thresholds,
                   model.MODEL_BANDS), split


class _Coding(NamedTuple):
    """A way to code an image, its exact size known before its bytes are joined."""
    size: int
    build: Callable[[], bytes]


def _coding(header: Header, sc: shard.ShardCoded | None,
            bp: dict[int, bitpair.BitpairCoded]) -> _Coding:
    head = fmt.pack_header(header)
    planes = range(header.channels)
    shard_planes = [p for p in planes if header.coders[p] == CODER_SHARD]
    bp_planes = [p for p in planes if header.coders[p] == CODER_BITPAIR]
    size = len(head) + sum(bp[p].size() for p in bp_planes)
    if shard_planes:
        size += shard.sections_size(sc, shard_planes)

    def build() -> bytes:
        out = [head]
        if shard_planes:
            out += shard.section_parts(sc, shard_planes)
        out += [bp[p].body() for p in bp_planes]
        return b"".join(out)

    return _Coding(size, build)


def encode_pixels(img: np.ndarray, *, effort: int = DEFAULT_EFFORT, coder: str | None = None,
                  classes: Classes | None = None, synthetic_search: bool = True,
                  pixel_crc: int | None = None) -> bytes:
    """The coded image (header and coded sections, no metadata) of a checked
    image: the smallest of the codings the level tries. `classes` replaces
    the level's choice of the shard coder's classes by these, whether or not
    they pay (to write such a file on purpose). `pixel_crc`: the CRC-32 the
    header names instead of the pixels' own: the image inside a colour
    transform names the pixels it decodes to, and is coded by the level's
    own codings alone (no whole-image candidate, palette, zstd or colour
    transform: they were weighed for the image itself)."""
    plan = effort_scale.plan(coder, effort)
    if pixel_crc is not None:
        plan = plan._replace(candidates=False)
    h, w = img.shape[:2]
    ch = 1 if img.ndim == 2 else img.shape[2]
    planes = list(range(ch))
    if classes is not None:
        plan = plan._replace(fitted=False)
    fixed = fixed_classes(h * w) if classes is None else classes
    # the shard coder's streams come with the analysis when it will code them
    a = analyse(img, fixed.K, fixed.luts, place=plan.shard or plan.per_plane)
    transform, plain = None, None
    if plan.candidates and effort >= effort_scale.COLOUR_FROM and ch >= 3 and classes is None:
        # the fixed classes' coding, which every level weighs, made first:
        # its size decides the colour transform
        plain = shard.encode(a, fixed.K, plan.thorough)
        transform = chosen_colour_transform(img, plan.thorough, _shard_size(img, fixed, plain))
    if transform is not None:
        # the level's own codings go to the transformed image, which the fixed
        # classes code smaller; the image itself keeps only those (so the
        # level still tries all that the one below it tries: the same choice,
        # and the fixed classes of level 2)
        plan = plan._replace(shard=True, per_plane=False, bitpair=False, fitted=False,
                             every_split=False)
    use_shard = plan.shard or plan.per_plane
    use_bp = plan.bitpair or plan.per_plane

    # the codings share nothing but the analysis: the module calls run side by side
    jobs = {}
    if use_shard:
        jobs["fixed"] = (lambda: plain) if plain is not None else \
            (lambda: shard.encode(a, fixed.K, plan.thorough))
    if use_bp:
        jobs["bitpair"] = (lambda: bitpair.encode_smallest(a, planes)) if plan.every_split \
            else (lambda: bitpair.encode(a, planes))
    if plan.fitted:
        def fit():
            return [(compact(cl), shard.encode(analyse(img, cl.K, cl.luts, place=True), cl.K))
                    for cl in fitted_options(img, plan.bands, plan.every_model)]
        jobs["fitted"] = fit
    done = dict(zip(jobs, native.parallel_map(lambda f: f(), jobs.values(), pixels=h * w)))
    jobs.clear()
    a = None    # the analysis goes before the file is built
    bp = done.get("bitpair", {})
    crc = crc32(img) if pixel_crc is None else pixel_crc
    options = []
    if use_shard:
        options.append((fixed, done["fixed"]))
    if plan.fitted:
        options += done["fitted"]

    def header(cl: Classes, coders) -> Header:
        return _header(img, cl, coders, crc)

    codings = []
    for cl, sc in options:
        if plan.shard:
            codings.append(_coding(header(cl, [CODER_SHARD] * ch), sc, bp))
        if plan.per_plane:
            coders = [CODER_BITPAIR if bp[p].size() < shard.plane_size(sc, p) else CODER_SHARD
                      for p in planes]
            codings.append(_coding(header(cl, coders), sc, bp))
        if plan.every_split:
            # the planes' shard sections share their framing and compression, so
            # a plane's best coder alone need not give the smallest file
            for split in itertools.product((CODER_SHARD, CODER_BITPAIR), repeat=ch):
                if CODER_SHARD in split:     # all bit-pair: the same for either classes
                    codings.append(_coding(header(cl, split), sc, bp))
    if plan.every_split:
        codings.append(_coding(header(fixed, [CODER_BITPAIR] * ch), None, bp))
    if plan.bitpair:
        codings.append(_coding(header(fixed, [CODER_BITPAIR] * ch), None, bp))
    # the first of equal sizes wins, so that the choice does not depend on timing
    best = min(codings, key=lambda c: c.size)
    data = best.build()
    if plan.candidates:
        for cand in effort_scale.candidates(effort):
            other = cand.encode(img, effort)
            if other is not None and len(other) < len(data):
                data = bytes(other)
    if plan.candidates and synthetic_search and effort >= effort_scale.SYNTHETIC_FROM:
        # the estimate that lets zstd be tried is held against the effort-1
        # size (the fixed classes, every plane with the shard coder), so that
        # a higher level tries every candidate a lower one does
        gate = codings[0].size if plan.shard else None
        data = synthetic_candidates(img, data, effort, gate=gate, crc=crc)
    if transform is not None:
        data = colour_coded(img, data, effort, transform)
    return data


def _header(img: np.ndarray, cl: Classes, coders, crc: int) -> Header:
    h, w = img.shape[:2]
    return Header(1 if img.ndim == 2 else img.shape[2], h, w, cl.model, cl.bounds,
                  b"" if cl.class_map is None else cl.class_map.tobytes(), tuple(coders), crc,
                  cl.bands)


def _shard_size(img: np.ndarray, cl: Classes, sc: shard.ShardCoded) -> int:
    """The size of the image's coding with every plane on the shard coder."""
    ch = 1 if img.ndim == 2 else img.shape[2]
    return _coding(_header(img, cl, [CODER_SHARD] * ch, 0), sc, {}).size


def chosen_colour_transform(img: np.ndarray, thorough: bool, plain_size: int) -> int | None:
    """The colour transform (orv.colour) under which the fixed classes code
    an RGB(A) image smallest, or None when its own planes (`plain_size`)
    are smallest."""
    cl = fixed_classes(img.shape[0] * img.shape[1])
    sizes = {}
    for t in synthetic.COLOUR_TRANSFORMS:
        other = colour.forward(img, t)
        sizes[t] = _shard_size(other, cl, shard.encode(analyse(other, cl.K, cl.luts, place=True),
                                                       cl.K, thorough))
    best = min(sizes, key=lambda t: (sizes[t], t))
    return best if sizes[best] < plain_size else None


def colour_coded(img: np.ndarray, data: bytes, effort: int, transform: int) -> bytes:
    """The smaller of `data` and the image under the colour transform, coded
    with the level's own codings (a version-4 file)."""
    def inner(pixels, pixel_crc):
        return encode_pixels(pixels, effort=effort, pixel_crc=pixel_crc)

    other = synthetic.encode_body(img, transform, synthetic.CODING_ORV, inner)
    return other if len(other) < len(data) else data


def synthetic_candidates(img: np.ndarray, data: bytes, effort: int,
                         gate: int | None = None, crc: int | None = None) -> bytes:
    """The smaller of `data` (the image coded as version 1) and the version-4
    bodies (palette, zstd) tried for it at this level (the thorough search
    at the highest); `gate`: the effort-1 size of the image (see
    orv.synthetic.smallest); `crc`: the pixels' CRC-32, when known."""
    def indices(gray):
        # the index plane is coded as a gray image at the same level, without
        # a search of its own
        return encode_pixels(gray, effort=effort, synthetic_search=False)

    return synthetic.smallest(img, data, indices,
                              thorough=effort >= effort_scale.THOROUGH_SYNTHETIC_FROM, gate=gate,
                              crc=crc)


# ---------------------------------------------------------------- decoder

@dataclass
class Parsed:
    """A single-image file with its sections read and checked, nothing decoded."""
    hdr: Header
    K: int
    luts: tuple
    shard_planes: list
    group: shard.Group | None
    bp: dict[int, bitpair.Plane]


def parse(data, *, max_pixels: float | None = None, verify: bool = True) -> Parsed:
    """Reads and checks everything of a single-image file short of decoding
    its streams: the header, the pixel limit, every section's framing,
    tables, and the least length its streams must have (of a version-4
    file: its header and the framing of its sections). verify=False leaves
    the sections' checksums to a caller that has checked these bytes before."""
    if synthetic.is_version4(data):
        return synthetic.read(data, max_pixels=max_pixels, verify=verify)[0]
    hdr, r = fmt.read_header(data, verify)
    limits.check_pixels(hdr.height * hdr.width, max_pixels)
    if hdr.class_map:
        cmap = np.frombuffer(hdr.class_map, dtype=np.uint8)
        K = int(cmap.max()) + 1
        luts = model.luts(hdr.bounds, cmap, hdr.bands)
    else:
        K = model.n_classes(hdr.bounds)
        luts = model.luts(hdr.bounds)
    planes = list(range(hdr.channels))
    shard_planes = [p for p in planes if hdr.coders[p] == CODER_SHARD]
    hw = hdr.height * hdr.width
    group = shard.read(r, hdr, shard_planes, K, hw) if shard_planes else None
    bp = {p: bitpair.read(r, hdr, p) for p in planes if hdr.coders[p] == CODER_BITPAIR}
    fmt.read_metadata(r)
    r.done()
    return Parsed(hdr, K, luts, shard_planes, group, bp)


def decode_single(data, *, max_pixels: float | None = None, verify: bool = True,
                  colour_transform: int | None = None) -> np.ndarray:
    """The image of a single-image orv file (a stack file is refused); verify
    as for parse (the decoded pixels' checksum is always checked).
    `colour_transform`: the transform (orv.colour) that a version-4 file
    holding this version-1 image names, undone on the decoded planes."""
    if synthetic.is_version4(data):
        return synthetic.decode(data, max_pixels=max_pixels, decode_v1=_decode_v1_body)
    f = parse(data, max_pixels=max_pixels, verify=verify)
    planes = _decode_planes(f)
    if colour_transform is not None:
        colour.undo_on_planes(planes, colour_transform)
    if f.hdr.channels == 1:
        img = planes.pop(0)
    else:
        # the planes go as soon as the pixels exist: decoding peaks at about
        # twice the size of the image
        img = checked(native.restore_channels, (planes[0], planes[1], planes[2]),
                      planes.get(3))
    del planes
    if crc32(img) != f.hdr.pixel_crc:
        raise FormatError("decoded pixels do not match the stored checksum")
    return img


def _decode_v1_body(data, shape: tuple[int, ...], colour_transform: int | None = None) -> np.ndarray:
    """The version-1 image of `shape` inside a version-4 file: its header is
    checked against the outer one before anything is allocated; a colour
    transform is undone on its planes."""
    if synthetic.is_version4(data):
        raise FormatError("a version-4 image holds another version-4 image")
    hdr, _, meta = walk(data, verify=False)
    if hdr.shape != shape:
        raise FormatError(f"it holds an image of shape {hdr.shape}, the header says {shape}")
    if any(v is not None for v in meta):
        raise FormatError("the image inside carries metadata sections (they belong after "
                          "the outer file's sections)")
    return decode_single(data, max_pixels=float("inf"), colour_transform=colour_transform)


def _decode_planes(f: Parsed) -> dict[int, np.ndarray]:
    """The image's planes (gray; or green, red-green, blue-green, alpha),
    each (h, w). Every buffer is dropped once the next step has what it needs."""
    hdr, K, luts = f.hdr, f.K, f.luts
    h, w, hw, ch = hdr.height, hdr.width, hdr.height * hdr.width, hdr.channels
    n_col = 1 if ch == 1 else 3
    bp = f.bp

    out: dict[int, np.ndarray] = {}
    if 0 in bp:
        out[0] = bitpair.decode(bp[0], h, w)
    if f.group is not None:
        res, starts = shard.plane_residuals(f.group, f.shard_planes, shard.decode(f.group), hw)
        f.group = None
        colour_shards = [p for p in f.shard_planes if p < n_col]
        if 3 in res:
            out[3] = checked(native.reconstruct_2d_channels, h, w, res.pop(3).reshape(h, w))
        if colour_shards:
            # a plane that is not shard-coded takes zero residuals from one
            # zero-filled buffer that is only read, so its pages stay unmapped
            zeros_res = np.zeros(hw, dtype=np.uint8)
            zeros_off = np.zeros(K, dtype=np.uint32)
            if 0 in res:
                rec = checked(native.reconstruct_shards_rgb, h, w,
                              [res.get(c, zeros_res) for c in range(3)],
                              [starts.get(c, zeros_off) for c in range(3)], luts)
                planes = dict(enumerate(rec))
            else:
                # green was bit-pair coded: the chroma planes are rebuilt
                # keyed by the plane it gave
                rec = checked(native.reconstruct_chroma, h, w, out[0],
                              [res.get(c, zeros_res) for c in (1, 2)],
                              [starts.get(c, zeros_off) for c in (1, 2)], luts)
                planes = {1: rec[0], 2: rec[1]}
            del res, rec
            for p, plane in planes.items():
                if p < n_col and (p in colour_shards or p == 0):
                    out[p] = plane
            del planes
    chroma_bp = [p for p in (1, 2) if p in bp and p < n_col]
    if chroma_bp:
        ref = np.pad(out[0], 1).reshape(-1)
        for p, plane in zip(chroma_bp, native.parallel_map(
                lambda q: bitpair.decode(bp[q], h, w, ref), chroma_bp, pixels=hw)):
            out[p] = plane
        del ref
    if 3 in bp:
        out[3] = bitpair.decode(bp[3], h, w)
    return out


# ---------------------------------------------------------------- a look without decoding

def walk(data, verify: bool = True) -> tuple[Header, dict[str, int], fmt.Metadata]:
    """The header, the framed size of every section and the metadata of a
    single-image file, nothing decoded; verify=False leaves the checksums of
    the coded sections (not of the metadata) to the decoder. A version-4
    file gives its own header (orv.synthetic.Header4) and sections."""
    if synthetic.is_version4(data):
        return synthetic.walk(data, verify)
    hdr, r = fmt.read_header(data)
    section = r.section if verify else r.skip_section
    planes = list(range(hdr.channels))
    sections = {"header": r.pos}
    if any(hdr.coders[p] == CODER_SHARD for p in planes):
        for name in ("shard tables", "shard states", "shard streams"):
            sections[name] = len(section(name)) + fmt.SECTION_FRAME
    for p in planes:
        if hdr.coders[p] == CODER_BITPAIR:
            for kind in ("pair tables", "pair stream"):
                name = f"{hdr.planes[p]} {kind}"
                sections[name] = len(section(name)) + fmt.SECTION_FRAME
    meta = fmt.read_metadata(r)
    r.done()
    for field, value in meta._asdict().items():
        if value is not None:
            sections[fmt.METADATA_NAMES[field]] = len(value) + fmt.SECTION_FRAME + 4  # and its tag
    return hdr, sections, meta


def info(data) -> dict:
    """Header fields, section sizes and metadata of a single-image file (not decoded)."""
    if synthetic.is_version4(data):
        return _info_version4(data)
    hdr, sections, meta = walk(data)
    planes = list(range(hdr.channels))
    K = max(hdr.class_map) + 1 if hdr.class_map else model.n_classes(hdr.bounds)
    return _info_fields(fmt.VERSION, hdr, data, sections, meta, {
        "model": hdr.model,
        "shards_per_plane": K,
        "coders": {hdr.planes[p]: fmt.CODER_NAMES[hdr.coders[p]] for p in planes},
    })


def _info_fields(version: int, hdr, data, sections: dict, meta: fmt.Metadata,
                 coding: dict) -> dict:
    """The fields of info() that every single-image version has, around its own."""
    size = len(memoryview(data))
    return {
        "version": version,
        "width": hdr.width,
        "height": hdr.height,
        "channels": hdr.channels,
        "mode": {1: "L", 3: "RGB", 4: "RGBA"}[hdr.channels],
        **coding,
        "pixel_crc32": f"{hdr.pixel_crc:08x}",
        "size": size,
        "bits_per_pixel": 8 * size / (hdr.width * hdr.height),
        "sections": sections,
        "metadata": {k: len(v) for k, v in meta._asdict().items() if v is not None},
    }


def _info_version4(data) -> dict:
    hdr, sections, meta = synthetic.walk(data)
    body = synthetic.read(data, max_pixels=float("inf"), verify=False)[0]
    inner = info(body.pixels) if hdr.coding == synthetic.CODING_ORV else None
    coding = synthetic.CODING_NAMES[hdr.coding]
    return _info_fields(synthetic.VERSION, hdr, data, sections, meta, {
        "model": inner["model"] if inner else 0,
        "shards_per_plane": inner["shards_per_plane"] if inner else 0,
        "transform": synthetic.TRANSFORM_NAMES[hdr.transform],
        "palette_entries": 0 if body.entries is None else len(body.entries),
        # what each coded plane went through: the palette indices, the
        # planes of a colour-transformed image (named as in version 1), the
        # interleaved samples (zstd), or the planes of the colour transform
        "coders": (dict(inner["coders"]) if inner and hdr.transform in synthetic.COLOUR_TRANSFORMS
                   else {"indices": c for c in inner["coders"].values()} if inner else
                   {"indices": coding} if hdr.transform else
                   {"samples": coding} if hdr.coding == synthetic.CODING_ZSTD else
                   {p: coding for p in hdr.planes}),
    })
