"""Side-by-side measurement of orv and the lossless codecs people use today.

Every codec is timed in this process on the same images in the same run;
sizes are exact, times are medians of a few repetitions. Peers that are not
installed are left out (``pip install "orv_rans[bench]"`` brings them, and
Debian's ``libjxl-testdata`` brings the default photos).
"""
from __future__ import annotations

import hashlib
import io
import os
import statistics
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

import numpy as np

from . import codec

JXL_TESTDATA = Path("/usr/share/libjxl-testdata")
FLOWER = JXL_TESTDATA / "jxl/flower/flower.png"
PHOTOS_500PX = JXL_TESTDATA / "external/wesaturate/500px"
SKIMAGE_PHOTOS = ["astronaut.png", "chelsea.png", "coffee.png", "camera.png", "moon.png",
                  "motorcycle_left.png", "rocket.jpg", "retina.jpg", "brick.png", "grass.png",
                  "gravel.png", "hubble_deep_field.jpg"]
IMAGE_SUFFIXES = {".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".webp", ".ppm", ".pgm",
                  ".pnm", ".gif", ".orv", ".tga", ".qoi"}


@dataclass
class Image:
    name: str
    pixels: np.ndarray
    sha256: str

    @property
    def pixel_count(self) -> int:
        return self.pixels.shape[0] * self.pixels.shape[1]


@dataclass
class Codec:
    name: str
    encode: Callable[[np.ndarray], bytes]
    decode: Callable[[bytes], np.ndarray]
    supports: Callable[[np.ndarray], bool] = lambda img: True


@dataclass
class Result:
    codec: str
    images: int = 0
    pixels: int = 0
    bytes: int = 0
    enc_s: float = 0.0
    dec_s: float = 0.0
    per_image: list = field(default_factory=list)

    @property
    def bpp(self) -> float:
        return 8 * self.bytes / self.pixels if self.pixels else float("nan")

    @property
    def enc_mps(self) -> float:
        return self.pixels / self.enc_s / 1e6 if self.enc_s else float("nan")

    @property
    def dec_mps(self) -> float:
        return self.pixels / self.dec_s / 1e6 if self.dec_s else float("nan")


def coder_path() -> str:
    """The instruction-set path of orv_rans' shard decoder on this CPU
    (scalar, avx2 or avx512; ORV_RANS_SIMD chooses another one it can run)."""
    import orv_rans

    return getattr(orv_rans, "_coder_simd", lambda: "scalar")()


def load_image(path: Path) -> np.ndarray:
    from PIL import Image as PILImage

    with PILImage.open(path) as im:
        if im.mode not in ("L", "RGB", "RGBA"):
            im = im.convert("RGBA" if "A" in im.getbands() or "transparency" in im.info else "RGB")
        return np.ascontiguousarray(np.asarray(im, dtype=np.uint8))


def default_paths() -> list[Path]:
    paths = []
    if FLOWER.exists():
        paths.append(FLOWER)
    if PHOTOS_500PX.is_dir():
        paths += sorted(PHOTOS_500PX.glob("*.png"))
    try:
        import skimage

        data = Path(os.path.dirname(skimage.__file__)) / "data"
        paths += [data / n for n in SKIMAGE_PHOTOS if (data / n).exists()]
    except ImportError:
        pass
    return paths


def expand_paths(args: list[str]) -> list[Path]:
    out = []
    for a in args:
        p = Path(a)
        if p.is_dir():
            out += sorted(q for q in p.rglob("*") if q.suffix.lower() in IMAGE_SUFFIXES)
        else:
            out.append(p)
    return out


def load_images(paths: list[Path]) -> list[Image]:
    images = []
    for p in paths:
        raw = p.read_bytes()
        images.append(Image(p.name, load_image(p), hashlib.sha256(raw).hexdigest()))
    return images


def _pil_codec(name: str, fmt: str, **kw) -> Codec:
    from PIL import Image as PILImage

    def enc(img):
        buf = io.BytesIO()
        PILImage.fromarray(img).save(buf, format=fmt, **kw)
        return buf.getvalue()

    def dec(data):
        with PILImage.open(io.BytesIO(data)) as im:
            return np.asarray(im)

    return Codec(name, enc, dec)


def peers(threads: int | None = None) -> list[Codec]:
    """The peer codecs that are installed here (JPEG XL gets `threads` threads)."""
    out = []
    try:
        import PIL  # noqa: F401

        out.append(_pil_codec("PNG", "PNG"))
        out.append(_pil_codec("PNG optimize", "PNG", optimize=True))
        from PIL import features

        if features.check("webp"):
            out.append(_pil_codec("WebP lossless", "WEBP", lossless=True))
    except ImportError:
        pass
    try:
        import qoi

        out.append(Codec("QOI", lambda img: bytes(qoi.encode(img)), qoi.decode,
                         lambda img: img.ndim == 3))
    except ImportError:
        pass
    try:
        import imagecodecs as ic

        if getattr(ic, "JPEGLS", None) and ic.JPEGLS.available:
            out.append(Codec("JPEG-LS", ic.jpegls_encode, ic.jpegls_decode))
        if getattr(ic, "JPEGXL", None) and ic.JPEGXL.available:
            for effort in (1, 3):
                out.append(Codec(
                    f"JPEG XL e{effort}",
                    lambda img, e=effort: ic.jpegxl_encode(img, lossless=True, effort=e,
                                                           numthreads=threads),
                    lambda data: ic.jpegxl_decode(data, numthreads=threads)))
    except ImportError:
        pass
    return out


def orv_codecs() -> list[Codec]:
    out = [Codec(f"orv {c}", lambda img, c=c: codec.encode(img, coder=c), codec.decode)
           for c in ("shard", "bitpair", "auto")]
    out.append(Codec("orv auto e2", lambda img: codec.encode(img, effort=2), codec.decode))
    return out


def _median_time(fn, arg, repeat: int):
    times, out = [], None
    for _ in range(repeat):
        t = time.perf_counter()
        out = fn(arg)
        times.append(time.perf_counter() - t)
    return statistics.median(times), out


def _same(back: np.ndarray, orig: np.ndarray) -> bool:
    """Exact equality; a gray image may come back as equal RGB channels (WebP)."""
    if back.shape == orig.shape:
        return np.array_equal(back, orig)
    if orig.ndim == 2 and back.ndim == 3 and back.shape[:2] == orig.shape:
        return all(np.array_equal(back[:, :, c], orig) for c in range(min(back.shape[2], 3)))
    if back.size == orig.size:
        return np.array_equal(back.reshape(orig.shape), orig)
    return False


def run(images: list[Image], codecs: list[Codec], repeat: int = 3,
        progress: Callable[[str], None] | None = None) -> list[Result]:
    results = {c.name: Result(c.name) for c in codecs}
    for im in images:
        for c in codecs:
            if not c.supports(im.pixels):
                continue
            if progress:
                progress(f"{im.name}: {c.name}")
            enc_t, data = _median_time(c.encode, im.pixels, repeat)
            dec_t, back = _median_time(c.decode, data, repeat)
            if not _same(np.asarray(back), im.pixels):
                raise AssertionError(f"{c.name} did not give back {im.name} exactly")
            r = results[c.name]
            r.images += 1
            r.pixels += im.pixel_count
            r.bytes += len(data)
            r.enc_s += enc_t
            r.dec_s += dec_t
            r.per_image.append((im.name, len(data), enc_t, dec_t))
    return [results[c.name] for c in codecs]


def table(results: list[Result], reference: str = "PNG optimize") -> str:
    ref = next((r for r in results if r.codec == reference and r.images), None)
    lines = [f"{'codec':16s} {'images':>6s} {'bpp':>7s} {'enc MP/s':>9s} {'dec MP/s':>9s}"
             + (f" {'size vs ' + reference:>22s}" if ref else "")]
    for r in results:
        if not r.images:
            continue
        line = f"{r.codec:16s} {r.images:6d} {r.bpp:7.3f} {r.enc_mps:9.2f} {r.dec_mps:9.2f}"
        if ref:
            # the same images as the reference, so that the ratio compares like with like
            names = {n for n, *_ in r.per_image}
            ref_bytes = sum(b for n, b, *_ in ref.per_image if n in names)
            line += f" {sum(b for _, b, *_ in r.per_image) / ref_bytes:22.3f}"
        lines.append(line)
    return "\n".join(lines)


def plot(results: list[Result], path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(11, 4.5), sharey=True)
    for ax, attr, label in ((axes[0], "enc_mps", "encode MP/s"), (axes[1], "dec_mps", "decode MP/s")):
        for r in results:
            if not r.images:
                continue
            ax.scatter(getattr(r, attr), r.bpp, s=40, color="C3" if r.codec.startswith("orv") else "C0")
            ax.annotate(r.codec, (getattr(r, attr), r.bpp), textcoords="offset points",
                        xytext=(4, 4), fontsize=8)
        ax.set_xscale("log")
        ax.set_xlabel(label + " (log scale)")
        ax.grid(True, alpha=0.3)
    axes[0].set_ylabel("bits per pixel")
    fig.suptitle("lossless codecs: size against speed")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
