"""A single-image .orv file (format version 1): the header, the coded
sections of its planes and its metadata sections. Images that the transforms
for synthetic content code smaller are written as version 4 (orv.synthetic).

Planes: gray, or green, red-green, blue-green (the module's colour transform),
and alpha. Each plane is coded with one of two coders (orv.shard, the shard
coder, and orv.bitpair, the bit-pair coder); "auto" keeps, per plane, the
smaller of the two.
"""
from __future__ import annotations

import zlib
from dataclasses import dataclass

import numpy as np

from . import bitpair, limits, model, native, shard, synthetic
from . import container as fmt
from .analysis import analyse
from .arrays import check_image
from .container import CODER_BITPAIR, CODER_SHARD, Header
from .errors import FormatError
from .native import checked

CODERS = ("auto", "shard", "bitpair")


# ---------------------------------------------------------------- encoder

def encode(image, *, coder: str = "auto", effort: int = 1, icc_profile=None, exif=None,
           xmp=None) -> bytes:
    """Codes a uint8 image of shape (h, w), (h, w, 3) or (h, w, 4).

    coder: "shard", "bitpair", or "auto" (per plane, whichever is smaller;
    and, for the whole image, a palette or zstd when they are smaller:
    format version 4).
    effort: 1, or 2 to fit the shard coder's context classes to the image
    (merged from fine classes; slower encoding, never a larger file).
    icc_profile, exif, xmp: bytes (XMP also str) stored with the pixels, or None."""
    if coder not in CODERS:
        raise ValueError(f"coder must be one of {', '.join(CODERS)}, not {coder!r}")
    if effort not in (1, 2) or isinstance(effort, bool):
        raise ValueError(f"effort must be 1 or 2, not {effort!r}")
    meta = fmt.Metadata(*(fmt.metadata_bytes(v, n) for v, n in
                          ((icc_profile, "icc_profile"), (exif, "exif"), (xmp, "xmp"))))
    img = check_image(image)
    data = encode_pixels(img, coder, 1)
    gate = len(data)
    if effort == 2 and coder != "bitpair":
        # merged classes usually win, but not on every image: keep the smaller file
        fitted = encode_pixels(img, coder, 2)
        if len(fitted) < len(data):
            data = fitted
    if coder == "auto":
        # a forced coder codes every plane with it; the automatic choice also
        # weighs the transforms and coders for synthetic content
        data = synthetic_candidates(img, data, coder, effort, gate=gate)
    return data + fmt.pack_metadata(meta)


def synthetic_candidates(img: np.ndarray, data: bytes, coder: str, effort: int,
                         thorough: bool = False, gate: int | None = None) -> bytes:
    """The smaller of `data` (the image coded as version 1) and the version-4
    bodies (palette, zstd) tried for it; `thorough` searches every one of
    them; `gate`: the effort-1 size of the image, when `data` is of a higher
    effort (see orv.synthetic.smallest)."""
    def indices(gray):
        # the index plane as the image itself: fitted classes may lose, keep the smaller
        out = encode_pixels(gray, coder, 1)
        if effort > 1:
            out = min(out, encode_pixels(gray, coder, effort), key=len)
        return out

    return synthetic.smallest(img, data, indices, thorough=thorough, gate=gate)


def encode_pixels(img: np.ndarray, coder: str, effort: int) -> bytes:
    """The coded image (header and coded sections) of a checked image."""
    h, w = img.shape[:2]
    ch = 1 if img.ndim == 2 else img.shape[2]
    class_map = None
    if effort == 1 or coder == "bitpair":
        bounds = shard.shard_bounds(h * w)
        K = model.n_classes(bounds)
        luts = model.luts(bounds)
        a = analyse(img, K, luts)
    else:
        # fine classes first, then the shard coder's classes merged for this image
        bounds = model.FINE_BOUNDS
        fine = analyse(img, model.n_classes(bounds), model.luts(bounds))
        class_map = model.merge_classes(fine.p1.hist[:1 if ch == 1 else 3], bounds)
        K = int(class_map.max()) + 1
        luts = model.luts(bounds, class_map)
        a = analyse(img, K, luts)
    planes = list(range(ch))
    if coder == "auto":
        # the two coders share nothing but the analysis: run them side by side
        sc, bp = native.parallel_map(lambda f: f(), [lambda: shard.encode(a, K, luts),
                                                     lambda: bitpair.encode(a, planes)])
    else:
        sc = shard.encode(a, K, luts) if coder == "shard" else None
        bp = bitpair.encode(a, planes) if coder == "bitpair" else {}
    if coder == "shard":
        coders = [CODER_SHARD] * ch
    elif coder == "bitpair":
        coders = [CODER_BITPAIR] * ch
    else:
        coders = [CODER_BITPAIR if bp[p].size() < shard.plane_size(sc, p) else CODER_SHARD
                  for p in planes]
    header = Header(ch, h, w, model.MODEL_ID, bounds,
                    b"" if class_map is None else class_map.tobytes(), tuple(coders),
                    zlib.crc32(img))
    out = [fmt.pack_header(header)]
    shard_planes = [p for p in planes if coders[p] == CODER_SHARD]
    if shard_planes:
        out.append(shard.sections(sc, shard_planes))
    for p in planes:
        if coders[p] == CODER_BITPAIR:
            out.append(bp[p].body())
    return b"".join(out)


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


def parse(data, *, max_pixels: float | None = None) -> Parsed:
    """Reads and checks everything of a single-image file short of decoding
    its streams: the header, the pixel limit, every section's framing,
    tables, and the least length its streams must have (of a version-4
    file: its header and the framing of its sections)."""
    if synthetic.is_version4(data):
        return synthetic.read(data, max_pixels=max_pixels)[0]
    hdr, r = fmt.read_header(data)
    limits.check_pixels(hdr.height * hdr.width, max_pixels)
    if hdr.class_map:
        cmap = np.frombuffer(hdr.class_map, dtype=np.uint8)
        K = int(cmap.max()) + 1
        luts = model.luts(hdr.bounds, cmap)
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


def decode_single(data, *, max_pixels: float | None = None) -> np.ndarray:
    """The image of a single-image orv file (a stack file is refused)."""
    if synthetic.is_version4(data):
        return synthetic.decode(data, max_pixels=max_pixels, decode_v1=_decode_v1_body)
    f = parse(data, max_pixels=max_pixels)
    planes = _decode_planes(f)
    if f.hdr.channels == 1:
        img = planes.pop(0)
    else:
        # the planes go as soon as the pixels exist: decoding peaks at about
        # twice the size of the image
        img = checked(native.restore_channels, (planes[0], planes[1], planes[2]),
                      planes.get(3))
    del planes
    if zlib.crc32(img) != f.hdr.pixel_crc:
        raise FormatError("decoded pixels do not match the stored checksum")
    return img


def _decode_v1_body(data, shape: tuple[int, int]) -> np.ndarray:
    """The version-1 image of `shape` inside a version-4 file: its header is
    checked against the outer one before anything is allocated."""
    if synthetic.is_version4(data):
        raise FormatError("a version-4 image holds another version-4 image")
    hdr, _, meta = walk(data, verify=False)
    if hdr.shape != shape:
        raise FormatError(f"it holds an image of shape {hdr.shape}, the header says {shape}")
    if any(v is not None for v in meta):
        raise FormatError("the image inside carries metadata sections (they belong after "
                          "the outer file's sections)")
    return decode_single(data, max_pixels=float("inf"))


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
            if 0 not in res:
                # green was bit-pair coded: its shard stream is rebuilt from the
                # plane, since the chroma contexts follow the green plane's shard walk
                p1 = checked(native.p1_gray, h, w, out.pop(0), K, luts)
                res[0] = np.empty(hw, dtype=np.uint8)
                checked(native.p2_gray, h, w, p1.planes[0], p1.offsets, res[0], luts)
                starts[0] = p1.starts[0].copy()
                del p1
            # a plane that is not shard-coded takes zero residuals from one
            # zero-filled buffer that is only read, so its pages stay unmapped
            zeros_res = np.zeros(hw, dtype=np.uint8)
            zeros_off = np.zeros(K, dtype=np.uint32)
            rec = checked(native.reconstruct_shards_rgb, h, w,
                          [res.get(c, zeros_res) for c in range(3)],
                          [starts.get(c, zeros_off) for c in range(3)], luts)
            del res
            for p in range(n_col):
                if p in colour_shards or p == 0:
                    out[p] = rec[p]
            del rec
    chroma_bp = [p for p in (1, 2) if p in bp and p < n_col]
    if chroma_bp:
        ref = np.pad(out[0], 1).reshape(-1)
        for p, plane in zip(chroma_bp, native.parallel_map(
                lambda q: bitpair.decode(bp[q], h, w, ref), chroma_bp)):
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
    return {
        "version": fmt.VERSION,
        "width": hdr.width,
        "height": hdr.height,
        "channels": hdr.channels,
        "mode": {1: "L", 3: "RGB", 4: "RGBA"}[hdr.channels],
        "model": hdr.model,
        "shards_per_plane": K,
        "coders": {hdr.planes[p]: fmt.CODER_NAMES[hdr.coders[p]] for p in planes},
        "pixel_crc32": f"{hdr.pixel_crc:08x}",
        "size": len(memoryview(data)),
        "bits_per_pixel": 8 * len(memoryview(data)) / (hdr.width * hdr.height),
        "sections": sections,
        "metadata": {k: len(v) for k, v in meta._asdict().items() if v is not None},
    }


def _info_version4(data) -> dict:
    hdr, sections, meta = synthetic.walk(data)
    body = synthetic.read(data, max_pixels=float("inf"), verify=False)[0]
    inner = info(body.pixels) if hdr.coding == synthetic.CODING_ORV else None
    coding = synthetic.CODING_NAMES[hdr.coding]
    size = len(memoryview(data))
    return {
        "version": synthetic.VERSION,
        "width": hdr.width,
        "height": hdr.height,
        "channels": hdr.channels,
        "mode": {1: "L", 3: "RGB", 4: "RGBA"}[hdr.channels],
        "model": inner["model"] if inner else 0,
        "shards_per_plane": inner["shards_per_plane"] if inner else 0,
        "transform": synthetic.TRANSFORM_NAMES[hdr.transform],
        "palette_entries": 0 if body.entries is None else len(body.entries),
        # what each coded plane went through: the palette indices, the
        # interleaved samples (zstd), or the planes of the colour transform
        "coders": ({"indices": c for c in inner["coders"].values()} if inner else
                   {"indices": coding} if hdr.transform else
                   {"samples": coding} if hdr.coding == synthetic.CODING_ZSTD else
                   {p: coding for p in hdr.planes}),
        "pixel_crc32": f"{hdr.pixel_crc:08x}",
        "size": size,
        "bits_per_pixel": 8 * size / (hdr.width * hdr.height),
        "sections": sections,
        "metadata": {k: len(v) for k, v in meta._asdict().items() if v is not None},
    }
