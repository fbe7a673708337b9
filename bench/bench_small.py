"""Benchmark of the fixed cost of a call on small images: how much of an
encode and a decode is spent outside the orv_rans module's calls.

Run as ``PYTHONPATH=build:python python bench/bench_small.py`` (after
bench/setup.sh, for the photos). Nothing is downloaded at run time.

Images: 256 x 256 centre crops of photos spread over the corpus (RGB, an
RGBA photo's colour planes; the gray ones of gray photos and, as gray
images, the green plane of every RGB crop), and the 512 x 512 gray photos
of scikit-image whole.
Per image and operation (encode at the default level, encode at effort 1,
decode) it prints the median wall time per call and the median time inside
the module's calls, then the share outside them, and the medians over each
group of images.

How "inside" is measured: every callable of the module object the front end
holds (``orv.native._r``) is replaced, for the measurement only, by a wrapper
that records when the call started and ended. The time inside is the length
of the union of these intervals, so that calls run side by side on several
threads count once; the rest of the wall time is outside the module (Python
work, NumPy, zlib, zstd). The wrappers add about a microsecond per call,
which counts as inside.

Options: --repeat N (default 15), --crops N (photos to crop, default 6),
--workers N (RAYON_NUM_THREADS for the module, set before it is imported;
default 1), --only NAME (substring of the image names), --profile OP
(cProfile one operation, "encode", "encode1" or "decode", over every image,
and print the 25 costliest entries by own time), --baseline DIR (the
python/ directory of another tree, such as ``git archive main python``
unpacked: both trees are measured side by side in two processes with this
build of the module, one call each in turn, and the ratios printed).
"""
from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
CROP = 256
GRAY_SIDE = 512


def _setup(workers: int) -> None:
    os.environ["RAYON_NUM_THREADS"] = str(workers)
    try:
        import orv  # noqa: F401
    except ImportError:
        sys.path.insert(0, str(REPO / "python"))
    sys.path.insert(0, str(HERE))


class ModuleTimer:
    """Wraps every callable of the module object with an interval recorder."""

    def __init__(self, module):
        self.module = module
        self.intervals: list[tuple[float, float]] = []
        self.saved = {}

    def __enter__(self):
        clock, record = time.perf_counter, self.intervals.append
        for name in dir(self.module):
            fn = getattr(self.module, name)
            if name.startswith("__") or not callable(fn) or isinstance(fn, type):
                continue
            self.saved[name] = fn

            def timed(*args, _fn=fn, **kwargs):
                t0 = clock()
                try:
                    return _fn(*args, **kwargs)
                finally:
                    record((t0, clock()))

            timed.__name__ = fn.__name__
            setattr(self.module, name, timed)
        return self

    def __exit__(self, *exc):
        for name, fn in self.saved.items():
            setattr(self.module, name, fn)

    def take(self) -> float:
        """The length of the union of the intervals recorded since the last take."""
        spans = sorted(self.intervals)
        self.intervals.clear()
        total, end = 0.0, float("-inf")
        for a, b in spans:
            if b <= end:
                continue
            total += b - max(a, end)
            end = b
        return total


def images(n_crops: int, only: str | None):
    import corpus
    import numpy as np

    out = []
    photos = corpus.load_photos()
    # crops of the photos large enough to crop, in corpus order, spread over
    # the corpus: the flower, the 500 px photos and scikit-image's
    big = [im for im in photos if min(im.pixels.shape[:2]) >= CROP]
    step = max(1, len(big) // n_crops)
    for im in big[::step][:n_crops]:
        px = im.pixels
        if px.ndim == 3 and px.shape[2] == 4:
            px = px[:, :, :3]
        y = (px.shape[0] - CROP) // 2
        x = (px.shape[1] - CROP) // 2
        crop = np.ascontiguousarray(px[y:y + CROP, x:x + CROP])
        kind = "gray" if crop.ndim == 2 else "rgb"
        out.append((f"{kind}256", f"{Path(im.name).stem}", crop))
        if crop.ndim == 3:
            # the same crop as gray: its green plane, a real photo's samples
            out.append(("gray256", f"{Path(im.name).stem}.g",
                        np.ascontiguousarray(crop[:, :, 1])))
    for im in photos:
        if im.pixels.ndim == 2 and im.pixels.shape == (GRAY_SIDE, GRAY_SIDE):
            out.append(("gray512", Path(im.name).stem, im.pixels))
    if only:
        out = [t for t in out if only in t[1] or only in t[0]]
    return out


def operations(orv):
    return {
        "encode": lambda img, data: orv.encode(img),
        "encode1": lambda img, data: orv.encode(img, effort=1),
        "decode": lambda img, data: orv.decode(data),
    }


def measure(imgs, repeat: int):
    import orv
    from orv import native

    ops = operations(orv)
    rows = []
    with ModuleTimer(native._r) as timer:
        for group, name, img in imgs:
            data = orv.encode(img)
            assert (orv.decode(data) == img).all()
            for op, fn in ops.items():
                fn(img, data)          # warm the caches
                timer.take()
                walls, inside = [], []
                for _ in range(repeat):
                    t0 = time.perf_counter()
                    fn(img, data)
                    walls.append(time.perf_counter() - t0)
                    inside.append(timer.take())
                wall = statistics.median(walls)
                ins = statistics.median(inside)
                rows.append((group, name, op, wall, ins))
    return rows


class Server:
    """One image set and the module timer in this process, measuring one
    call per request: the side of a comparison (--baseline)."""

    def __init__(self, imgs):
        import orv
        from orv import native

        self.imgs = imgs
        self.ops = operations(orv)
        self.data = [orv.encode(img) for _, _, img in imgs]
        self.timer = ModuleTimer(native._r).__enter__()

    def once(self, i: int, op: str) -> tuple[float, float]:
        img, data = self.imgs[i][2], self.data[i]
        self.timer.take()
        t0 = time.perf_counter()
        self.ops[op](img, data)
        wall = time.perf_counter() - t0
        return wall, self.timer.take()


def serve(imgs) -> None:
    server = Server(imgs)
    print("ready", flush=True)
    for line in sys.stdin:
        i, op = line.split()
        print(json.dumps(server.once(int(i), op)), flush=True)


def compare(args, baseline: str):
    """The same measurement in two processes, this tree's python/ and
    `baseline` (a python/ directory of another tree, with this build of the
    module), one call each in turn, so that both see the same machine."""
    def start(pythonpath):
        env = dict(os.environ, PYTHONPATH=pythonpath)
        cmd = [sys.executable, __file__, "--serve", "--crops", str(args.crops),
               "--workers", str(args.workers)] + (["--only", args.only] if args.only else [])
        p = subprocess.Popen(cmd, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        assert p.stdout.readline().strip() == "ready"
        return p

    build = os.pathsep.join(x for x in os.environ.get("PYTHONPATH", "").split(os.pathsep)
                            if x and Path(x).resolve() != (REPO / "python").resolve())
    sides = {"baseline": start(os.pathsep.join([build, baseline])),
             "this tree": start(os.pathsep.join([build, str(REPO / "python")]))}
    imgs = images(args.crops, args.only)
    rows = {name: [] for name in sides}
    for i, (group, name, _) in enumerate(imgs):
        for op in ("encode", "encode1", "decode"):
            got = {side: [] for side in sides}
            for _ in range(args.repeat + 1):
                for side, p in sides.items():
                    p.stdin.write(f"{i} {op}\n")
                    p.stdin.flush()
                    got[side].append(json.loads(p.stdout.readline()))
            for side, runs in got.items():
                runs = runs[1:]   # the first warms the caches
                rows[side].append((group, name, op, statistics.median(r[0] for r in runs),
                                   statistics.median(r[1] for r in runs)))
    for p in sides.values():
        p.stdin.close()
        p.wait()
    for side in sides:
        print(f"---- {side}")
        report(rows[side])
        print()
    print("this tree against the baseline: ms per call (median over images of the ratio)")
    for g in sorted({r[0] for r in rows["this tree"]}):
        for op in ("encode", "encode1", "decode"):
            pairs = [(a, b) for a, b in zip(rows["baseline"], rows["this tree"])
                     if a[0] == g and a[2] == op]
            if pairs:
                ratio = statistics.median(b[3] / a[3] for a, b in pairs)
                print(f"{g:8s} {op:8s} {ratio:6.2f}x")


def report(rows) -> None:
    print(f"{'group':8s} {'image':32s} {'op':8s} {'ms/call':>8s} {'inside':>8s} {'outside':>8s}")
    for group, name, op, wall, ins in rows:
        print(f"{group:8s} {name:32s} {op:8s} {1e3 * wall:8.2f} {1e3 * ins:8.2f} "
              f"{100 * (1 - ins / wall):7.1f}%")
    print()
    print("medians per group (share outside: the median of the images' shares)")
    print(f"{'group':8s} {'op':8s} {'ms/call':>8s} {'outside':>8s}")
    groups = sorted({r[0] for r in rows})
    for g in groups:
        for op in ("encode", "encode1", "decode"):
            sel = [r for r in rows if r[0] == g and r[2] == op]
            if not sel:
                continue
            wall = statistics.median(r[3] for r in sel)
            share = statistics.median(1 - r[4] / r[3] for r in sel)
            print(f"{g:8s} {op:8s} {1e3 * wall:8.2f} {100 * share:7.1f}%")


def profile(imgs, op: str, repeat: int) -> None:
    import cProfile
    import pstats

    import orv

    fn = operations(orv)[op]
    datas = [(img, orv.encode(img)) for _, _, img in imgs]
    for img, data in datas:
        fn(img, data)
    prof = cProfile.Profile()
    prof.enable()
    for _ in range(repeat):
        for img, data in datas:
            fn(img, data)
    prof.disable()
    pstats.Stats(prof).sort_stats("tottime").print_stats(25)


def main(argv=None) -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--repeat", type=int, default=15)
    ap.add_argument("--crops", type=int, default=6)
    ap.add_argument("--workers", type=int, default=1)
    ap.add_argument("--only")
    ap.add_argument("--profile", choices=("encode", "encode1", "decode"))
    ap.add_argument("--baseline", help="a python/ directory of another tree to compare with")
    ap.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    _setup(args.workers)
    if args.baseline:
        compare(args, args.baseline)
        return
    imgs = images(args.crops, args.only)
    if args.serve:
        serve(imgs)
        return
    if args.profile:
        profile(imgs, args.profile, args.repeat)
        return
    print(f"{len(imgs)} images, {args.repeat} runs each, RAYON_NUM_THREADS={args.workers}; "
          "inside = the union of the module's calls (wrapped callables of orv.native._r)")
    report(measure(imgs, args.repeat))


if __name__ == "__main__":
    main()
