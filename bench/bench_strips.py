"""Two workers against one on large images, and what strips cost in size.

Run as ``PYTHONPATH=build:python python bench/bench_strips.py`` (after
bench/setup.sh). For every corpus photo of at least orv.strips.STRIP_THRESHOLD
pixels, orv.encode and orv.decode are timed in fresh processes with one and
with two workers (RAYON_NUM_THREADS), --rounds times in turn (the machine's
load changes) with --repeat runs in each; the median and the best of all runs
are shown. The size of the strip file is set against the single-image file of
the same options (orv.single.encode, no strips).

Options: --repeat N (default 5), --rounds N (default 3), --coder NAME and
--effort N (passed to orv.encode; default: its own defaults).
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


def child(repeat: int, options: dict) -> dict:
    sys.path.insert(0, str(HERE))
    import corpus
    import orv
    from orv import single, strips

    out = {}
    for im in corpus.load_photos():
        h, w = im.pixels.shape[:2]
        if h * w < strips.STRIP_THRESHOLD:
            continue
        enc, dec = [], []
        for _ in range(repeat):
            t = time.perf_counter()
            data = orv.encode(im.pixels, **options)
            enc.append(time.perf_counter() - t)
            t = time.perf_counter()
            back = orv.decode(data)
            dec.append(time.perf_counter() - t)
        assert (back == im.pixels).all()
        out[im.name] = {"mp": h * w / 1e6, "strips": len(strips.strip_heights(h, w)),
                        "bytes": len(data), "enc": enc, "dec": dec,
                        "single": len(single.encode(im.pixels, **options))}
    return out


def machine_check() -> float:
    """How many processors this process gets now: two threads of hashing (no
    GIL) against one, as a speed-up (2.0 on an idle machine of two or more)."""
    import hashlib
    import threading
    data = os.urandom(32 << 20)

    def run(n: int) -> float:
        threads = [threading.Thread(target=hashlib.sha256, args=(data,)) for _ in range(n)]
        t = time.perf_counter()
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        return time.perf_counter() - t

    return min(2 * run(1) / run(2) for _ in range(3))


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--coder")
    ap.add_argument("--effort", type=int)
    ap.add_argument("--child", action="store_true")
    args = ap.parse_args()
    options = {k: v for k, v in (("coder", args.coder), ("effort", args.effort)) if v is not None}
    if args.child:
        print(json.dumps(child(args.repeat, options)))
        return 0
    check = machine_check()
    rounds = {1: [], 2: []}
    for _ in range(args.rounds):
        for workers in (1, 2):
            cmd = [sys.executable, __file__, "--child", "--repeat", str(args.repeat)]
            for k, v in options.items():
                cmd += [f"--{k}", str(v)]
            env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
            res = subprocess.run(cmd, env=env, capture_output=True, text=True, check=True)
            rounds[workers].append(json.loads(res.stdout.splitlines()[-1]))
    # every run of every round counts: the median, and the best as a check on the load
    runs = {w: {name: dict(rs[0][name], **{k: sorted(t for r in rs for t in r[name][k])
                                          for k in ("enc", "dec")})
                for name in rs[0]} for w, rs in rounds.items()}
    print(f"orv.encode/decode {options or '(defaults)'}, medians (best) of {args.rounds} x "
          f"{args.repeat} runs; size against a single-image file")
    print(f"{'image':24s} {'MP':>5s} {'strips':>6s} {'size':>8s} "
          f"{'enc 1w':>8s} {'enc 2w':>8s} {'ratio':>6s} {'dec 1w':>8s} {'dec 2w':>8s} {'ratio':>6s}")
    for name, one in runs[1].items():
        two = runs[2][name]
        cost = 100 * (one["bytes"] / one["single"] - 1)
        for pick, how in ((statistics.median, "median"), (min, "best")):
            t1 = {k: pick(one[k]) for k in ("enc", "dec")}
            t2 = {k: pick(two[k]) for k in ("enc", "dec")}
            print(f"{name if how == 'median' else '  (best)':24s} {one['mp']:5.2f} "
                  f"{one['strips']:6d} {cost:+7.2f}% "
                  f"{1e3 * t1['enc']:6.1f}ms {1e3 * t2['enc']:6.1f}ms {t1['enc'] / t2['enc']:5.2f}x "
                  f"{1e3 * t1['dec']:6.1f}ms {1e3 * t2['dec']:6.1f}ms {t1['dec'] / t2['dec']:5.2f}x")
    print(f"machine check before the runs: two threads of work run {check:.2f}x as fast as one, "
          f"{machine_check():.2f}x after (other processes take the rest)")
    if not runs[1]:
        print("no corpus photo is large enough")
    return 0


if __name__ == "__main__":
    sys.exit(main())
