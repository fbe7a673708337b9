"""Benchmark of the orv front end against the lossless codecs people use.

Run as ``PYTHONPATH=build python bench/bench_orv.py`` (after bench/setup.sh,
which installs, as root: the Debian package libjxl-testdata, the photos; and
the Python packages pillow, scikit-image, imagecodecs, qoi, matplotlib, the
peers). Nothing is downloaded at run time.

Every codec is timed in the same process on the same images: orv with each
coder and with the automatic choice, PNG (Pillow, default and optimize=True),
WebP lossless (Pillow), QOI, JPEG-LS and JPEG XL lossless at efforts 1 and 3
(imagecodecs). The whole comparison runs twice, in a fresh process with one
worker and with two (RAYON_NUM_THREADS; JPEG XL gets the same number of
threads). Sizes are exact; times are medians of --repeat runs.

Options: --repeat N (default 3), --plot FILE (speed against size, one worker),
--quick (the 500 px photos and scikit-image's only, for a fast look).
"""
from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent


def _import_paths():
    try:
        import orv  # noqa: F401
    except ImportError:
        sys.path.insert(0, str(REPO / "python"))
    sys.path.insert(0, str(HERE))


def worker(repeat: int, quick: bool, threads: int) -> dict:
    _import_paths()
    import corpus
    from orv import bench

    images = corpus.load_photos()
    if quick:
        flower = corpus.flower()
        images = [im for im in images if im.path != flower and im.megapixels < 1.0]
    imgs = [bench.Image(im.name, im.pixels, im.sha256) for im in images]
    codecs = bench.orv_codecs() + bench.peers(threads=threads)
    results = bench.run(imgs, codecs, repeat=repeat)
    return {
        "corpus": corpus.describe(images),
        "results": [{"codec": r.codec, "images": r.images, "pixels": r.pixels, "bytes": r.bytes,
                     "enc_s": r.enc_s, "dec_s": r.dec_s, "per_image": r.per_image}
                    for r in results],
    }


def _spawn(workers: int, args) -> dict:
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    cmd = [sys.executable, __file__, "--child", "--repeat", str(args.repeat),
           "--threads", str(workers)] + (["--quick"] if args.quick else [])
    out = subprocess.run(cmd, env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout.splitlines()[-1])


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--plot")
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--child", action="store_true")
    ap.add_argument("--threads", type=int, default=1)
    args = ap.parse_args()
    if args.child:
        print(json.dumps(worker(args.repeat, args.quick, args.threads)))
        return 0
    _import_paths()
    from orv import bench

    runs = {w: _spawn(w, args) for w in (1, 2)}
    print(runs[1]["corpus"])
    by = {}
    for w, run in runs.items():
        rs = []
        for d in run["results"]:
            r = bench.Result(d["codec"], d["images"], d["pixels"], d["bytes"], d["enc_s"], d["dec_s"],
                             d["per_image"])
            rs.append(r)
        by[w] = {r.codec: r for r in rs}
        print(f"\n{w} worker{'s' if w > 1 else ''} (RAYON_NUM_THREADS={w}), medians of {args.repeat} runs")
        print(bench.table(rs))
    one = by[1]
    print("\norv against the peers, one worker (ratios: orv / peer; size lower is better, "
          "speed higher is better)")
    print(f"{'orv':12s} {'peer':16s} {'size':>7s} {'encode':>8s} {'decode':>8s}")
    for o in ("orv auto", "orv auto e2", "orv shard", "orv bitpair"):
        for peer, r in one.items():
            if peer.startswith("orv") or not r.images:
                continue
            names = {n for n, *_ in r.per_image}
            mine = [x for x in one[o].per_image if x[0] in names]
            b = sum(x[1] for x in mine) / r.bytes
            enc = r.enc_s / sum(x[2] for x in mine)
            dec = r.dec_s / sum(x[3] for x in mine)
            print(f"{o:12s} {peer:16s} {b:7.3f} {enc:8.2f} {dec:8.2f}")
    print("\nspeed-up from one to two workers (encode, decode)")
    for name in one:
        a, b = by[1][name], by[2].get(name)
        if a.images and b and b.images:
            print(f"  {name:16s} {a.enc_s / b.enc_s:5.2f} {a.dec_s / b.dec_s:5.2f}")
    if args.plot:
        bench.plot(list(one.values()), args.plot)
        print(f"\nplot written to {args.plot}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
