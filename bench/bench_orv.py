"""Benchmark of the orv front end against the lossless codecs people use.

Run as ``PYTHONPATH=build python bench/bench_orv.py`` (after bench/setup.sh,
which installs, as root: the Debian package libjxl-testdata, the photos; and
the Python packages pillow, scikit-image, imagecodecs, qoi, matplotlib, the
peers). Nothing is downloaded at run time.

Every codec is timed in the same process on the same images: orv at each
effort level 1..5 (the level decides the coder) and with the coders "auto"
and "bitpair" forced at the default level, PNG (Pillow, default and
optimize=True), WebP lossless (Pillow), QOI, JPEG-LS and JPEG XL lossless at
efforts 1 and 3 (imagecodecs). The whole comparison runs once per worker
count, each in a fresh process (RAYON_NUM_THREADS; JPEG XL gets the same
number of threads). Sizes are exact; times are medians of --repeat runs.

Printed per worker count: every codec's bits/pixel and encode and decode
MP/s; then, per orv level, the ratios against JPEG XL effort 1 and PNG
(Pillow's default) on the same images, for all photos and for the gray ones
alone; then the speed-up of each level from one worker to two, on all
images and on those of 2 MP and more.

Then the speed-up from one worker to two on the photos of 2 MP and more,
measured again with the two worker counts taking turns call by call (two
processes), at levels 1 to 3: separate runs minutes apart see different
machines. Beside it, in the same turns, the machine's own ceiling: the
speed-up of independent single-threaded module calls shared among the
workers (on a virtual machine whose two cores share a physical one, or
neighbours, this is well below 2).

Options: --repeat N (default 3), --plot FILE (speed against size, one worker),
--quick (the 500 px photos and scikit-image's only, for a fast look),
--workers 1,2 (the worker counts), --peers NAMES (comma-separated peer names
to measure, default all; JPEG XL e1 and PNG are always measured),
--scaling-repeat N (calls per worker count in the turn-by-turn measurement,
default 7; 0 leaves it out).
"""
from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
# the peers every ratio is taken against
RATIO_PEERS = ("JPEG XL e1", "PNG")
LARGE_MP = 2.0
CEILING_CALLS = 16


def _import_paths():
    try:
        import orv  # noqa: F401
    except ImportError:
        sys.path.insert(0, str(REPO / "python"))
    sys.path.insert(0, str(HERE))


def worker(repeat: int, quick: bool, threads: int, peers: list[str] | None) -> dict:
    _import_paths()
    import corpus
    from orv import bench

    images = corpus.load_photos()
    if quick:
        flower = corpus.flower()
        images = [im for im in images if im.path != flower and im.megapixels < 1.0]
    imgs = [bench.Image(im.name, im.pixels, im.sha256) for im in images]
    others = bench.peers(threads=threads)
    if peers is not None:
        others = [c for c in others if c.name in peers or c.name in RATIO_PEERS]
    codecs = bench.orv_codecs() + others
    results = bench.run(imgs, codecs, repeat=repeat)
    return {
        "corpus": corpus.describe(images),
        "gray": [im.name for im in images if im.pixels.ndim == 2],
        "megapixels": {im.name: im.megapixels for im in images},
        "results": [{"codec": r.codec, "images": r.images, "pixels": r.pixels, "bytes": r.bytes,
                     "enc_s": r.enc_s, "dec_s": r.dec_s, "per_image": r.per_image}
                    for r in results],
    }


def serve(levels: list[int]) -> None:
    """A child for the scaling measurement: loads the photos of LARGE_MP and
    more, codes each at `levels`, then times one call per request line
    ("encode|decode LEVEL INDEX"), replying with the seconds it took."""
    _import_paths()
    import time

    import corpus
    import orv

    images = [im.pixels for im in corpus.load_photos() if im.megapixels >= LARGE_MP]
    coded = {(lv, i): orv.encode(img, effort=lv) for lv in levels for i, img in enumerate(images)}
    ceiling = _ceiling_job(images[0]) if images else None
    print(json.dumps(len(images)), flush=True)
    for line in sys.stdin:
        op, lv, i = line.split()
        key = (int(lv), int(i))
        t = time.perf_counter()
        if op == "encode":
            orv.encode(images[key[1]], effort=key[0])
        elif op == "decode":
            orv.decode(coded[key])
        else:
            ceiling()
        print(json.dumps(time.perf_counter() - t), flush=True)


def _ceiling_job(image):
    """The machine's own ceiling for the scaling measurement: CEILING_CALLS
    module calls that share nothing and have no parallel loop inside (the
    bit-pair decode of a 512 x 512 gray plane), shared out among as many
    threads as the module has workers: what more workers give on this
    machine at these moments to work that needs no coordination."""
    import numpy as np

    import orv
    from orv import bitpair, native, single

    plane = np.ascontiguousarray(image[:512, :512, 1] if image.ndim == 3 else image[:512, :512])
    h, w = plane.shape
    # level 1 tries no whole-image alternative: the file is one bit-pair plane
    coded = single.parse(orv.encode(plane, effort=1, coder="bitpair")).bp[0]

    def calls(n):
        for _ in range(n):
            bitpair.decode(coded, h, w)

    def run():
        width = native.workers()
        native.parallel_map(calls, [CEILING_CALLS // width] * width)
    return run


def scaling(lo: int, hi: int, levels: list[int], repeat: int) -> dict:
    """Seconds per orv level and operation on the photos of LARGE_MP and more
    with `lo` and with `hi` workers: two processes that take turns, one call
    each, so that both see the machine at the same moments (separate runs,
    minutes apart, differ by more than the speed-up measured). Summed over
    the images, of the medians of `repeat` calls after one that warms up."""
    sides = {}
    for w in (lo, hi):
        env = dict(os.environ, RAYON_NUM_THREADS=str(w))
        cmd = [sys.executable, __file__, "--serve", ",".join(map(str, levels))]
        sides[w] = subprocess.Popen(cmd, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    text=True)
    n = [json.loads(p.stdout.readline()) for p in sides.values()][0]
    out = {}
    for lv in levels + ([0] if n else []):
        for op in (("encode", "decode") if lv else ("ceiling",)):
            total = {w: 0.0 for w in sides}
            for i in range(n if lv else 1):
                times = {w: [] for w in sides}
                for _ in range(repeat + 1):
                    for w, p in sides.items():
                        p.stdin.write(f"{op} {lv} {i}\n")
                        p.stdin.flush()
                        times[w].append(json.loads(p.stdout.readline()))
                for w in sides:
                    total[w] += statistics.median(times[w][1:])
            out[(lv, op)] = total
    for p in sides.values():
        p.stdin.close()
        p.wait()
    return {"images": n, "seconds": out}


def _spawn(workers: int, args) -> dict:
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    cmd = [sys.executable, __file__, "--child", "--repeat", str(args.repeat),
           "--threads", str(workers)] + (["--quick"] if args.quick else []) \
        + (["--peers", args.peers] if args.peers is not None else [])
    out = subprocess.run(cmd, env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout.splitlines()[-1])


class Totals:
    """Bytes, pixels and seconds of one codec over a set of images."""

    def __init__(self, per_image, names, megapixels):
        rows = [x for x in per_image if x[0] in names]
        self.images = len(rows)
        self.pixels = sum(megapixels[x[0]] for x in rows) * 1e6
        self.bytes = sum(x[1] for x in rows)
        self.enc_s = sum(x[2] for x in rows)
        self.dec_s = sum(x[3] for x in rows)

    @property
    def bpp(self):
        return 8 * self.bytes / self.pixels if self.pixels else float("nan")

    @property
    def enc_mps(self):
        return self.pixels / self.enc_s / 1e6 if self.enc_s else float("nan")

    @property
    def dec_mps(self):
        return self.pixels / self.dec_s / 1e6 if self.dec_s else float("nan")


def level_table(results: dict, names: set, megapixels: dict, orv_names: list[str]) -> str:
    """Per orv codec: bpp, MP/s and the ratios (orv / peer: size lower is
    better, speed higher is better) against the ratio peers on `names`."""
    peers = [p for p in RATIO_PEERS if p in results]
    head = f"{'orv':14s} {'bpp':>6s} {'enc MP/s':>8s} {'dec MP/s':>8s}"
    for p in peers:
        head += f" | {p + ': size':>16s} {'enc':>6s} {'dec':>6s}"
    lines = [head]
    for o in orv_names + peers:
        mine_names = names & {x[0] for x in results[o]["per_image"]}
        t = Totals(results[o]["per_image"], mine_names, megapixels)
        if not t.images:
            continue
        line = f"{o:14s} {t.bpp:6.3f} {t.enc_mps:8.2f} {t.dec_mps:8.2f}"
        for p in peers:
            both = mine_names & {x[0] for x in results[p]["per_image"]}
            a = Totals(results[o]["per_image"], both, megapixels)
            b = Totals(results[p]["per_image"], both, megapixels)
            line += (f" | {a.bytes / b.bytes:16.3f} {b.enc_s / a.enc_s:6.2f} "
                     f"{b.dec_s / a.dec_s:6.2f}" if b.images else " |" + " " * 30)
        lines.append(line)
    return "\n".join(lines)


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--plot")
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--workers", default="1,2", help="worker counts, comma-separated")
    ap.add_argument("--peers", help="peers to measure besides JPEG XL e1 and PNG "
                    "(comma-separated names; default all)")
    ap.add_argument("--scaling-repeat", type=int, default=7,
                    help="calls per side in the worker scaling measurement (0: none)")
    ap.add_argument("--child", action="store_true")
    ap.add_argument("--serve", help=argparse.SUPPRESS)
    ap.add_argument("--threads", type=int, default=1)
    args = ap.parse_args()
    peers = None if args.peers is None else [p.strip() for p in args.peers.split(",") if p.strip()]
    if args.child:
        print(json.dumps(worker(args.repeat, args.quick, args.threads, peers)))
        return 0
    if args.serve:
        serve([int(x) for x in args.serve.split(",")])
        return 0
    _import_paths()
    from orv import bench
    from orv.effort import DEFAULT_EFFORT

    counts = sorted({int(w) for w in args.workers.split(",")})
    runs = {w: _spawn(w, args) for w in counts}
    first = runs[counts[0]]
    print(first["corpus"])
    megapixels = first["megapixels"]
    everything, gray = set(megapixels), set(first["gray"])
    large = {n for n, mp in megapixels.items() if mp >= LARGE_MP}
    by = {}
    for w, run in runs.items():
        rs = [bench.Result(d["codec"], d["images"], d["pixels"], d["bytes"], d["enc_s"],
                           d["dec_s"], d["per_image"]) for d in run["results"]]
        by[w] = {d["codec"]: d for d in run["results"]}
        print(f"\n{w} worker{'s' if w > 1 else ''} (RAYON_NUM_THREADS={w}), medians of "
              f"{args.repeat} runs")
        print(bench.table(rs))
        orv_names = [r.codec for r in rs if r.codec.startswith("orv")]
        print(f"\norv levels (e{DEFAULT_EFFORT} is the default) against the peers, {w} "
              f"worker{'s' if w > 1 else ''}; ratios orv / peer on the same images: size lower "
              "is better, speed higher is better")
        print(level_table(by[w], everything, megapixels, orv_names))
        if gray:
            print(f"\ngray photos only ({len(gray)}: {', '.join(sorted(gray))})")
            print(level_table(by[w], gray, megapixels, orv_names))
    if len(counts) > 1:
        lo, hi = counts[0], counts[-1]
        print(f"\nspeed-up from {lo} to {hi} workers (encode, decode): all images"
              + (f"; images of {LARGE_MP:g} MP and more ({len(large)})" if large else ""))
        for name in by[lo]:
            a, b = by[lo][name], by[hi].get(name)
            if not (a["images"] and b and b["images"]):
                continue
            line = f"  {name:16s} {a['enc_s'] / b['enc_s']:5.2f} {a['dec_s'] / b['dec_s']:5.2f}"
            if large:
                ta = Totals(a["per_image"], large, megapixels)
                tb = Totals(b["per_image"], large, megapixels)
                if ta.images and tb.images:
                    line += f"   {ta.enc_s / tb.enc_s:5.2f} {ta.dec_s / tb.dec_s:5.2f}"
            print(line)
    if len(counts) > 1 and large and args.scaling_repeat > 0 and not args.quick:
        lo, hi = counts[0], counts[-1]
        levels = sorted({1, DEFAULT_EFFORT, 3})
        sc = scaling(lo, hi, levels, args.scaling_repeat)
        print(f"\nspeed-up from {lo} to {hi} workers on the {sc['images']} images of "
              f"{LARGE_MP:g} MP and more, the two worker counts in turn (medians of "
              f"{args.scaling_repeat} calls): encode, decode")
        for lv in levels:
            enc, dec = sc["seconds"][(lv, "encode")], sc["seconds"][(lv, "decode")]
            print(f"  orv e{lv:<13d} {enc[lo] / enc[hi]:5.2f} {dec[lo] / dec[hi]:5.2f}")
        if (0, "ceiling") in sc["seconds"]:
            c = sc["seconds"][(0, "ceiling")]
            print(f"  the machine's ceiling: {CEILING_CALLS} independent single-threaded module calls "
                  f"shared among the workers, {c[lo] / c[hi]:5.2f}")
    if args.plot:
        one = runs[counts[0]]["results"]
        bench.plot([bench.Result(d["codec"], d["images"], d["pixels"], d["bytes"], d["enc_s"],
                                 d["dec_s"], d["per_image"]) for d in one], args.plot)
        print(f"\nplot written to {args.plot}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
