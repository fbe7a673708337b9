"""Side-by-side measurement of orv and the lossless codecs people use today.

Every codec is timed in this process on the same images in the same run;
sizes are exact, times are medians of a few repetitions. Peers that are not
installed are left out and named with the reason (``pip install
"orv_rans[bench]"`` brings them, and ``bench/setup.sh`` the default photos).
"""
from __future__ import annotations

import hashlib
import io
import shutil
import statistics
import subprocess
import time
from dataclasses import dataclass, field
from functools import lru_cache
from pathlib import Path
from typing import Callable

import numpy as np

from . import codec, files
from .effort import EFFORTS

# the photos come from packages, found where their installers put them: Debian's
# libjxl-testdata (a 2268 x 1512 flower and a set of 500 px photos, named by
# their place inside the package) and scikit-image's data directory
JXL_PACKAGE = "libjxl-testdata"
FLOWER_IN_PACKAGE = "jxl/flower/flower.png"
PHOTOS_IN_PACKAGE = "external/wesaturate/500px"
SKIMAGE_PHOTOS = ["astronaut.png", "chelsea.png", "coffee.png", "camera.png", "moon.png",
                  "motorcycle_left.png", "rocket.jpg", "retina.jpg", "brick.png", "grass.png",
                  "gravel.png", "hubble_deep_field.jpg"]
IMAGE_SUFFIXES = files.IMAGE_SUFFIXES


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


def load_image(path: Path) -> np.ndarray:
    """The pixels of a still 8-bit image file, as `orv encode` reads them (a
    wider or multi-frame image is refused with a ValueError)."""
    return np.ascontiguousarray(files.load_image(path, frames=False).pixels)


@lru_cache(maxsize=None)
def package_files(package: str) -> tuple[Path, ...]:
    """The files the Debian package `package` installed, as dpkg lists them
    (none where there is no dpkg or the package is not installed)."""
    query = shutil.which("dpkg-query")
    if query is None:
        return ()
    try:
        listed = subprocess.run([query, "-L", package], capture_output=True, text=True,
                                timeout=60, check=False)
    except (OSError, subprocess.SubprocessError):
        return ()
    if listed.returncode != 0:
        return ()
    return tuple(Path(line) for line in listed.stdout.splitlines() if line.startswith("/"))


def flower() -> Path | None:
    """The flower photo of libjxl-testdata, if that package is installed."""
    return next((p for p in package_files(JXL_PACKAGE)
                 if p.as_posix().endswith("/" + FLOWER_IN_PACKAGE) and p.is_file()), None)


def jxl_photos() -> list[Path]:
    """The 500 px photos of libjxl-testdata (none without the package)."""
    return sorted(p for p in package_files(JXL_PACKAGE)
                  if p.parent.as_posix().endswith("/" + PHOTOS_IN_PACKAGE)
                  and p.suffix == ".png" and p.is_file())


def skimage_photos() -> list[Path]:
    """The photos of scikit-image's data directory (none without scikit-image)."""
    try:
        import skimage
    except ImportError:
        return []
    data = Path(skimage.__file__).parent / "data"
    return [data / n for n in SKIMAGE_PHOTOS if (data / n).exists()]


def default_paths() -> list[Path]:
    """The default corpus: the flower, the 500 px photos and scikit-image's photos."""
    found = flower()
    return ([found] if found else []) + jxl_photos() + skimage_photos()


def expand_paths(args: list[str]) -> list[Path]:
    """The image files named by `args` (directories searched recursively); a
    missing path or a directory without images is an error."""
    out = []
    for a in args:
        p = Path(a)
        if p.is_dir():
            found = files.image_files(p)
            if not found:
                raise ValueError(f"no images in {p} (suffixes "
                                 f"{', '.join(sorted(IMAGE_SUFFIXES))})")
            out += found
        elif p.exists():
            out.append(p)
        else:
            raise FileNotFoundError(f"{p}: no such file or directory")
    return out


def load_images(paths: list[Path], skipped: list[str] | None = None) -> list[Image]:
    """The images at `paths`; with a `skipped` list, files that cannot be
    measured are noted there (with the reason) instead of raising."""
    images = []
    for p in paths:
        try:
            raw = p.read_bytes()
            images.append(Image(p.name, load_image(p), hashlib.sha256(raw).hexdigest()))
        except (OSError, ValueError, TypeError) as e:
            if skipped is None:
                raise
            skipped.append(str(e) if str(p) in str(e) else f"{p}: {e}")
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


_INSTALL = "pip install 'orv_rans[bench]'"


def peer_status(threads: int | None = None) -> tuple[list[Codec], list[tuple[str, str]]]:
    """The peer codecs installed here (JPEG XL gets `threads` threads), and
    the missing ones with the reason."""
    out, missing = [], []
    from PIL import features

    out.append(_pil_codec("PNG", "PNG"))
    out.append(_pil_codec("PNG optimize", "PNG", optimize=True))
    if features.check("webp"):
        out.append(_pil_codec("WebP lossless", "WEBP", lossless=True, exact=True))
    else:
        missing.append(("WebP lossless", "this Pillow is built without WebP"))
    try:
        import qoi

        out.append(Codec("QOI", lambda img: bytes(qoi.encode(img)), qoi.decode,
                         lambda img: img.ndim == 3))
    except ImportError:
        missing.append(("QOI", f"the qoi package is not installed ({_INSTALL})"))
    try:
        import imagecodecs as ic
    except ImportError:
        why = f"the imagecodecs package is not installed ({_INSTALL})"
        return out, missing + [("JPEG-LS", why), ("JPEG XL", why)]
    if getattr(ic, "JPEGLS", None) and ic.JPEGLS.available:
        out.append(Codec("JPEG-LS", ic.jpegls_encode, ic.jpegls_decode))
    else:
        missing.append(("JPEG-LS", "this imagecodecs is built without JPEG-LS (CharLS)"))
    if getattr(ic, "JPEGXL", None) and ic.JPEGXL.available:
        for effort in (1, 3):
            out.append(Codec(
                f"JPEG XL e{effort}",
                lambda img, e=effort: ic.jpegxl_encode(img, lossless=True, effort=e,
                                                       numthreads=threads),
                lambda data: ic.jpegxl_decode(data, numthreads=threads)))
    else:
        missing.append(("JPEG XL", "this imagecodecs is built without JPEG XL (libjxl)"))
    return out, missing


def peers(threads: int | None = None) -> list[Codec]:
    """The peer codecs that are installed here (JPEG XL gets `threads` threads)."""
    return peer_status(threads)[0]


def orv_level_name(effort: int) -> str:
    return f"orv e{effort}"


def orv_codecs(efforts=EFFORTS, coders=("auto", "bitpair")) -> list[Codec]:
    """orv at each effort level (the level decides the coder), then with each
    of `coders` forced at the default level."""
    out = [Codec(orv_level_name(e), lambda img, e=e: codec.encode(img, effort=e), codec.decode)
           for e in efforts]
    out += [Codec(f"orv {c}", lambda img, c=c: codec.encode(img, coder=c), codec.decode)
            for c in coders]
    return out


def _same(back: np.ndarray, orig: np.ndarray) -> bool:
    """Exact equality; a gray image may come back as equal RGB channels, an
    opaque RGBA one as RGB (WebP)."""
    if back.shape == orig.shape:
        return np.array_equal(back, orig)
    if orig.ndim == 2 and back.ndim == 3 and back.shape[:2] == orig.shape:
        return all(np.array_equal(back[:, :, c], orig) for c in range(min(back.shape[2], 3)))
    if (orig.ndim == 3 and orig.shape[2] == 4 and back.shape == orig.shape[:2] + (3,)
            and bool((orig[:, :, 3] == 255).all())):
        # an opaque RGBA image may come back without its alpha (WebP)
        return np.array_equal(back, orig[:, :, :3])
    if back.size == orig.size:
        return np.array_equal(back.reshape(orig.shape), orig)
    return False


def run(images: list[Image], codecs: list[Codec], repeat: int = 3,
        progress: Callable[[str], None] | None = None) -> list[Result]:
    """Every codec on every image: its size, and the medians of `repeat`
    encodes and decodes. The codecs take turns within each round (every
    codec's encode, then the next round; then the decodes alike), so that a
    change in the machine's speed during the run falls on all of them alike
    rather than on whichever ran at the time."""
    results = {c.name: Result(c.name) for c in codecs}
    for im in images:
        active = [c for c in codecs if c.supports(im.pixels)]
        enc_times = {c.name: [] for c in active}
        dec_times = {c.name: [] for c in active}
        coded = {}
        for r in range(repeat):
            for c in active:
                if progress and r == 0:
                    progress(f"{im.name}: {c.name}")
                t = time.perf_counter()
                coded[c.name] = c.encode(im.pixels)
                enc_times[c.name].append(time.perf_counter() - t)
        for r in range(repeat):
            for c in active:
                t = time.perf_counter()
                back = c.decode(coded[c.name])
                dec_times[c.name].append(time.perf_counter() - t)
                if r == 0 and not _same(np.asarray(back), im.pixels):
                    raise AssertionError(f"{c.name} did not give back {im.name} exactly")
                del back
        for c in active:
            data = coded.pop(c.name)
            enc_t, dec_t = statistics.median(enc_times[c.name]), statistics.median(dec_times[c.name])
            res = results[c.name]
            res.images += 1
            res.pixels += im.pixel_count
            res.bytes += len(data)
            res.enc_s += enc_t
            res.dec_s += dec_t
            res.per_image.append((im.name, len(data), enc_t, dec_t))
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


def plot(results: list[Result], path, note: str = "") -> None:
    """Writes the plot of size against speed to `path` (its suffix gives the format)."""
    Path(path).write_bytes(plot_bytes(results, Path(path).suffix.lstrip(".") or "png", note))


def plot_bytes(results: list[Result], fmt: str = "png", note: str = "") -> bytes:
    """Size against encode and decode speed, one marker per codec named in the
    legend (labels never overlap), speed on a log scale, and a size axis
    clipped to the bulk of the codecs (a marker on the top edge stands for a
    larger size, given in the legend)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    shown = [r for r in results if r.images]
    bpps = sorted(r.bpp for r in shown)
    top = min(bpps[-1], 2 * statistics.median(bpps)) * 1.06 if bpps else 1.0
    bottom = bpps[0] * 0.94 if bpps else 0.0
    markers = "osD^v<>phH*Xd8P"
    fig, axes = plt.subplots(1, 2, figsize=(12, 5), sharey=True)
    for ax, attr, label in ((axes[0], "enc_mps", "encode"), (axes[1], "dec_mps", "decode")):
        for i, r in enumerate(shown):
            clipped = r.bpp > top
            ax.scatter(getattr(r, attr), top if clipped else r.bpp, s=55,
                       marker="^" if clipped else markers[i % len(markers)],
                       color=f"C{i % 10}", edgecolors="black" if r.codec.startswith("orv")
                       else "none", label=f"{r.codec}: {r.bpp:.3f} bpp"
                       + (" (off the scale)" if clipped else ""))
        ax.set_xscale("log")
        ax.set_xlabel(f"{label} speed, MP/s (log scale; right is faster)")
        ax.grid(True, which="both", alpha=0.3)
        ax.set_ylim(bottom, top * 1.02)
    axes[0].set_ylabel("bits per pixel (lower is better)")
    handles, labels = axes[0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="center right", fontsize=8, frameon=False)
    fig.suptitle("lossless codecs: size against speed (lower right is better)"
                 + (f"\n{note}" if note else ""))
    fig.tight_layout(rect=(0, 0, 0.78, 1))
    buf = io.BytesIO()
    fig.savefig(buf, format=fmt, dpi=110)
    plt.close(fig)
    return buf.getvalue()
