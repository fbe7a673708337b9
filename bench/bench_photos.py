"""Compression of photos at orv's levels against the strong lossless peers.

Run as ``PYTHONPATH=build:python python bench/bench_photos.py`` (after
bench/setup.sh; nothing is downloaded). Two sets, kept apart:

- ``corpus``: the 18 photos of the bench corpus (bench/corpus.py), which the
  encoder's choices were tuned on;
- ``eval``: photos and gray scans already on the machine that are not in the
  corpus and were never used for tuning: scikit-image's second motorcycle
  view, its microscopy, coin, page and cell scans, and the 64 px sRGB photo
  crops of libjxl-testdata whose photos are not in the corpus.

Printed per set: every codec's bits per pixel over the whole set, and the
size of each orv level against WebP lossless and JPEG XL effort 3 and 7, as
the ratio of the set's bytes and as the geometric mean of the per-image
ratios (which weighs a 64 px crop as much as the 3.4 MP flower). Every file
is decoded and checked. Peer sizes are cached by image hash and codec in
--cache (they do not change from run to run); --no-cache measures again.

Options: --sets corpus,eval  --efforts 1,2,3,4,5  --per-image
"""
from __future__ import annotations

import argparse
import hashlib
import io
import json
import math
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

# the photos of libjxl-testdata's 64 px crops that the corpus does not hold (its
# 500 px set has cvo9xd, tmshre and u76c0g), and its camera test crops
_JXL = Path("/usr/share/libjxl-testdata/external")
_EVAL_JXL = sorted(p for p in (_JXL / "wesaturate/64px").glob("*_srgb8.png")
                   if not p.name.startswith(("cvo9xd", "tmshre", "u76c0g"))) \
    + sorted((_JXL / "raw.pixls").glob("*_srgb8*.png"))
_EVAL_SKIMAGE = ("motorcycle_right.png", "ihc.png", "coins.png", "page.png", "cell.png",
                 "microaneurysms.png")
PEERS = ("WebP lossless", "JPEG XL e3", "JPEG XL e7")


def eval_paths() -> list[Path]:
    import skimage
    data = Path(skimage.__file__).parent / "data"
    return [data / n for n in _EVAL_SKIMAGE if (data / n).exists()] + \
        [p for p in _EVAL_JXL if p.is_file()]


def load(paths):
    from orv.bench import load_image
    return [(p.name, load_image(p)) for p in paths]


def peer_encoders():
    import imagecodecs as ic
    from PIL import Image

    def webp(img):
        buf = io.BytesIO()
        Image.fromarray(img).save(buf, format="WEBP", lossless=True, exact=True, quality=100,
                                  method=6)
        return buf.getvalue()

    return {"WebP lossless": webp,
            "JPEG XL e3": lambda img: ic.jpegxl_encode(img, lossless=True, effort=3),
            "JPEG XL e7": lambda img: ic.jpegxl_encode(img, lossless=True, effort=7)}


def main(argv=None) -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sets", default="corpus,eval")
    ap.add_argument("--efforts", default="1,2,3,4,5")
    ap.add_argument("--per-image", action="store_true")
    ap.add_argument("--cache", default=str(Path.home() / ".cache" / "orv_bench_photos.json"))
    ap.add_argument("--no-cache", action="store_true")
    args = ap.parse_args(argv)
    import corpus
    import orv

    sets = {"corpus": lambda: [(im.name, im.pixels) for im in corpus.load_photos()],
            "eval": lambda: load(eval_paths())}
    efforts = [int(e) for e in args.efforts.split(",")]
    cache_path = Path(args.cache)
    cache = {}
    if cache_path.exists() and not args.no_cache:
        cache = json.loads(cache_path.read_text())
    encoders = peer_encoders()
    for name in args.sets.split(","):
        images = sets[name]()
        pixels = sum(img.shape[0] * img.shape[1] for _, img in images)
        sizes: dict[str, list[int]] = {}
        times: dict[str, float] = {}
        for iname, img in images:
            key = hashlib.sha256(img.tobytes() + str(img.shape).encode()).hexdigest()[:24]
            for peer in PEERS:
                ck = f"{key}/{peer}"
                if ck not in cache:
                    cache[ck] = len(encoders[peer](img))
                sizes.setdefault(peer, []).append(cache[ck])
            last = None
            for e in efforts:
                t = time.perf_counter()
                data = orv.encode(img, effort=e)
                times[f"orv e{e}"] = times.get(f"orv e{e}", 0.0) + time.perf_counter() - t
                if not np.array_equal(orv.decode(data), img):
                    raise SystemExit(f"{iname}: orv e{e} does not round-trip")
                if last is not None and len(data) > last:
                    print(f"  note: {iname}: e{e} is larger than the level below "
                          f"({len(data)} > {last})")
                last = len(data)
                sizes.setdefault(f"orv e{e}", []).append(len(data))
            if args.per_image:
                print(f"  {iname:42s} {img.shape!s:15s} " + " ".join(
                    f"{k}={8 * v[-1] / (img.shape[0] * img.shape[1]):.3f}"
                    for k, v in sizes.items()))
        cache_path.parent.mkdir(parents=True, exist_ok=True)
        cache_path.write_text(json.dumps(cache))
        print(f"\n{name}: {len(images)} images, {pixels / 1e6:.2f} MP")
        print(f"  {'codec':16s} {'bpp':>7s} {'enc s':>7s}   " +
              "   ".join(f"vs {p} (set / geo-mean)" for p in PEERS))
        for k, v in sizes.items():
            line = f"  {k:16s} {8 * sum(v) / pixels:7.3f} {times.get(k, float('nan')):7.2f}"
            if k.startswith("orv"):
                for p in PEERS:
                    geo = math.exp(sum(math.log(a / b) for a, b in zip(v, sizes[p])) / len(v))
                    line += f"   {sum(v) / sum(sizes[p]):6.4f} / {geo:6.4f}" + " " * 12
            print(line)


if __name__ == "__main__":
    main()
