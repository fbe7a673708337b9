"""Photos and graphics as separate sets: orv per level against PNG optimize,
WebP lossless and JPEG XL, in bits per pixel, per image and per set.

Run as ``PYTHONPATH=build:python python bench/bench_graphics.py`` after
bench/setup.sh (the photos of libjxl-testdata and scikit-image; the graphics
corpus of bench/graphics.py, drawn into its cache directory by setup.sh).
Nothing is downloaded at run time.

orv levels measured (one process, one run; sizes exact):
  v1 only     effort 1: the shard coder alone, no version-4 candidates
  default     orv.encode() (effort 2: effort 1 and the cheap candidates)
  effort 3    and fitted shard classes
  effort 5    and the bit-pair coder, every split of the planes, and the
              thorough search of version-4 candidates (palette orders, zstd
              levels 12, 19 and 22)
Encode times of "v1 only" and "default" are medians of --repeat runs, so
that the cost of the candidates on photos shows as their ratio; the other
levels and the peers run once (their sizes are what is compared).

Options: --repeat N (default 3), --sets photos,graphics, --no-e7 (leave out
JPEG XL effort 7, slow on the large photo), --per-image.
"""
from __future__ import annotations

import argparse
import statistics
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
try:
    import orv  # noqa: F401
except ImportError:
    sys.path.insert(0, str(HERE.parent / "python"))


from orv import bench, codec  # noqa: E402

REFERENCE = "PNG optimize"


def orv_levels() -> list[bench.Codec]:
    return [
        bench.Codec("orv v1 only", lambda img: codec.encode(img, effort=1), codec.decode),
        bench.Codec("orv default", codec.encode, codec.decode),
        bench.Codec("orv effort 3", lambda img: codec.encode(img, effort=3), codec.decode),
        bench.Codec("orv effort 5", lambda img: codec.encode(img, effort=5), codec.decode),
    ]


def peer_codecs(e7: bool) -> list[bench.Codec]:
    keep = {"PNG optimize", "WebP lossless", "JPEG XL e1", "JPEG XL e3"}
    out = [c for c in bench.peers(threads=1) if c.name in keep]
    if e7 and any(c.name.startswith("JPEG XL") for c in out):
        import imagecodecs as ic
        out.append(bench.Codec("JPEG XL e7",
                               lambda img: ic.jpegxl_encode(img, lossless=True, effort=7,
                                                            numthreads=1),
                               lambda data: ic.jpegxl_decode(data, numthreads=1)))
    return out


def load_set(name: str) -> list[bench.Image]:
    import corpus
    import graphics
    paths = corpus.photo_paths() if name == "photos" else graphics.graphics_paths()
    skipped: list[str] = []
    images = bench.load_images(paths, skipped)
    for s in skipped:
        print(f"  skipped: {s}")
    return images


def report(set_name: str, images, results, per_image: bool) -> None:
    by = {r.codec: r for r in results if r.images}
    ref = {n: b for n, b, *_ in by[REFERENCE].per_image}
    pixels = {im.name: im.pixel_count for im in images}
    names = list(by)
    print(f"\n== {set_name}: {len(images)} images, "
          f"{sum(pixels.values()) / 1e6:.2f} MP (bits/pixel; x: size / {REFERENCE})")
    if per_image:
        print(f"{'image':28s} " + " ".join(f"{n[:13]:>13s}" for n in names))
        for im in images:
            cells = []
            for n in names:
                b = next((b for m, b, *_ in by[n].per_image if m == im.name), None)
                cells.append(f"{8 * b / pixels[im.name]:6.3f} {b / ref[im.name]:5.2f}x"
                             if b is not None else f"{'-':>13s}")
            print(f"{im.name[:28]:28s} " + " ".join(cells))
    print(f"{'codec':16s} {'bpp':>7s} {'set x':>7s} {'worst x':>8s} {'median x':>9s} "
          f"{'enc MP/s':>9s}")
    for n in names:
        r = by[n]
        ratios = [b / ref[m] for m, b, *_ in r.per_image]
        ref_total = sum(ref[m] for m, *_ in r.per_image)
        print(f"{n:16s} {r.bpp:7.3f} {r.bytes / ref_total:7.3f} {max(ratios):8.3f} "
              f"{statistics.median(ratios):9.3f} {r.enc_mps:9.2f}")
    if "orv v1 only" in by and "orv default" in by:
        a, b = by["orv default"], by["orv v1 only"]
        print(f"orv default / v1 only: size {a.bytes / b.bytes:.4f}, encode time "
              f"{a.enc_s / b.enc_s:.3f} (sum of per-image medians), per image median "
              f"{statistics.median(x[2] / y[2] for x, y in zip(a.per_image, b.per_image)):.3f}")


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--sets", default="photos,graphics")
    ap.add_argument("--no-e7", action="store_true")
    ap.add_argument("--per-image", action="store_true")
    args = ap.parse_args()
    from orv import native
    print(f"instruction-set path: {native.simd_path()}")
    for set_name in args.sets.split(","):
        images = load_set(set_name)
        levels = orv_levels()
        # the time that matters is the default's against version 1 alone: the
        # slower levels and the peers run once (their sizes are what is compared)
        results = bench.run(images, levels[:2], repeat=args.repeat)
        results += bench.run(images, levels[2:] + peer_codecs(not args.no_e7), repeat=1)
        report(set_name, images, results, args.per_image)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
