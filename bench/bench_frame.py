"""Call overhead of the frame and the speed of build_all_lookups.

    PYTHONPATH=build python bench/bench_frame.py

Each worker count runs in its own process (RAYON_NUM_THREADS). Figures are
medians of repeated runs; ratios compare measurements of the same run.
"""
import json
import os
import subprocess
import sys
import timeit

import numpy as np


def median_time(fn, number, repeat=7):
    return float(np.median(timeit.repeat(fn, number=number, repeat=repeat))) / number


def numpy_lookups(cum):
    """The same tables by NumPy: each slot's symbol is the last s with c[s] <= slot
    among non-empty ranges (valid running sums, the case the peers can handle)."""
    a, b, _ = cum.shape
    flat = cum.reshape(-1, 257)
    slots = np.arange(4096, dtype=np.uint64)
    out = np.empty((flat.shape[0], 4096), np.uint8)
    for j, c in enumerate(flat):
        out[j] = np.searchsorted(c, slots, side="right") - 1
    return out.reshape(a, b, 4096)


def tables(shape=(3, 64)):
    rng = np.random.default_rng(0)
    f = rng.integers(1, 40, size=shape + (256,)).astype(np.float64)
    f = np.maximum(1, np.floor(f / f.sum(-1, keepdims=True) * 4096)).astype(np.uint64)
    f[..., 0] += 4096 - f.sum(-1)
    c = np.zeros(shape + (257,), np.uint64)
    c[..., 1:] = np.cumsum(f, axis=-1)
    return c


def child():
    import orv_rans

    res = {}
    empty = np.zeros((0, 0, 257), np.uint64)
    one = np.ones(1, np.float64)
    res["call_empty_lookups_us"] = median_time(lambda: orv_rans.build_all_lookups(empty), 20000) * 1e6
    res["ufunc_add_1elem_us"] = median_time(lambda: np.add(one, one), 20000) * 1e6
    res["backend_info_us"] = median_time(orv_rans.get_backend_info, 20000) * 1e6
    c = tables()
    assert (orv_rans.build_all_lookups(c) == numpy_lookups(c)).all()
    res["lookups_ms"] = median_time(lambda: orv_rans.build_all_lookups(c), 50) * 1e3
    res["numpy_ms"] = median_time(lambda: numpy_lookups(c), 3) * 1e3
    print(json.dumps(res))


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        return child()
    runs = {}
    for n in (1, 2):
        env = dict(os.environ, RAYON_NUM_THREADS=str(n))
        out = subprocess.run([sys.executable, __file__, "--child"], env=env, check=True,
                             capture_output=True, text=True).stdout
        runs[n] = json.loads(out)
    r1, r2 = runs[1], runs[2]
    print("call overhead (1 worker)")
    print(f"  build_all_lookups on (0, 0, 257): {r1['call_empty_lookups_us']:.3f} us")
    print(f"  get_backend_info():               {r1['backend_info_us']:.3f} us")
    print(f"  np.add on 1-element arrays:       {r1['ufunc_add_1elem_us']:.3f} us")
    print(f"  ratio trivial call / ufunc:       {r1['call_empty_lookups_us'] / r1['ufunc_add_1elem_us']:.2f}x  (target <= 2)")
    print("build_all_lookups on (3, 64, 257) tables")
    for n, r in runs.items():
        print(f"  {n} worker(s): {r['lookups_ms']:.3f} ms   NumPy searchsorted: {r['numpy_ms']:.2f} ms"
              f"   speed-up {r['numpy_ms'] / r['lookups_ms']:.1f}x")
    print(f"  2 workers vs 1: {r1['lookups_ms'] / r2['lookups_ms']:.2f}x")


if __name__ == "__main__":
    main()
