"""Benchmark of the shard table functions.

    PYTHONPATH=build python bench/bench_tables.py [--reps N]

Set-up: bench/setup.sh (installs libjxl-testdata for the photo; without it the
benchmark falls back to synthetic residuals). No system package beyond that.

build_pdf_tables_from_shards on 3 x 64 shards over 12 million residual-like
symbols (the prediction residuals of a photo, sharded by a local-activity
context), against the same tables computed with NumPy in the same process:
np.bincount per shard and a vectorised normalisation, checked to be identical.
Each pool size runs in its own subprocess (RAYON_NUM_THREADS=1, 2). Also the
throughput of compact_pdf_tables and expand_pdf_tables in tables per second.
"""
from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

N_SYMBOLS = 12_000_000
N_CTX = 64


# ---- data -----------------------------------------------------------------------


def load_photo() -> np.ndarray | None:
    sys.path.insert(0, str(Path(__file__).parent))
    try:
        from corpus import _load, flower

        path = flower()
        return _load(path) if path else None
    except Exception:
        return None


def residual_shards(img: np.ndarray):
    """Zigzag residuals of a median-edge predictor per colour plane, grouped
    into 64 shards per plane by the local activity |W - NW| + |N - NW|, capped."""
    img = img[..., :3].astype(np.int16)
    g = img[..., 1]
    planes = [g, (img[..., 0] - g) % 256, (img[..., 2] - g) % 256]
    streams, lengths = [], []
    for p in planes:
        p = np.pad(p, ((1, 0), (1, 0)))
        x, w, n, nw = p[1:, 1:], p[1:, :-1], p[:-1, 1:], p[:-1, :-1]
        pred = np.clip(w + n - nw, np.minimum(w, n), np.maximum(w, n))
        e = ((x - pred) % 256).astype(np.int16)
        e = np.where(e < 128, 2 * e, 2 * (256 - e) - 1).astype(np.uint8)  # zigzag
        act = np.abs(w - nw) + np.abs(n - nw)
        ctx = np.minimum(act, N_CTX - 1)  # every context holds samples
        order = np.argsort(ctx.ravel(), kind="stable")
        streams.append(e.ravel()[order])
        lengths.append(np.bincount(ctx.ravel(), minlength=N_CTX))
    return np.concatenate(streams), np.concatenate(lengths)


def make_data():
    img = load_photo()
    if img is None:
        rng = np.random.default_rng(1)
        ps = rng.uniform(0.02, 0.9, 3 * N_CTX)
        lengths = rng.multinomial(N_SYMBOLS, rng.dirichlet(np.ones(3 * N_CTX)))
        data = np.concatenate([np.minimum(rng.geometric(p, k) - 1, 255)
                               for p, k in zip(ps, lengths)]).astype(np.uint8)
        source = "synthetic geometric residuals"
    else:
        # stretch every shard of the photo in proportion (repeating its
        # symbols) so that together they hold 12 million
        data0, lengths0 = residual_shards(img)
        lengths = np.floor(lengths0 * (N_SYMBOLS / lengths0.sum())).astype(np.int64)
        lengths[np.argmax(lengths)] += N_SYMBOLS - lengths.sum()
        starts0 = np.concatenate([[0], np.cumsum(lengths0)[:-1]])
        data = np.concatenate([np.resize(data0[s:s + k], n) if k else np.zeros(n, np.uint8)
                               for s, k, n in zip(starts0, lengths0, lengths)])
        reps = N_SYMBOLS / len(data0)
        source = f"MED residuals of flower.png, each shard stretched x{reps:.2f}"
    lengths = lengths.astype(np.uint32)
    offsets = np.concatenate([[0], np.cumsum(lengths, dtype=np.uint64)[:-1]]).astype(np.uint32)
    widths = np.array([int(data[o:o + l].max()) + 1 if l else 0 for o, l in zip(offsets, lengths)],
                      np.uint16)
    return data, offsets, lengths, widths, source


# ---- the NumPy peer -------------------------------------------------------------


def numpy_tables(data, offsets, lengths, widths):
    h = np.stack([np.bincount(data[o:o + l], minlength=256)
                  for o, l in zip(offsets.tolist(), lengths.tolist())]).astype(np.uint64)
    n = len(h)
    col = np.arange(256)
    m = np.minimum(widths.astype(np.int64), 256)
    inside = col[None, :] < m[:, None]
    total = h.sum(1)
    x = h.astype(np.float64) / np.maximum(total, 1).astype(np.float64)[:, None] * 4096.0
    fl = np.floor(x)
    r = np.where(x - fl >= 0.5, fl + 1, fl).astype(np.int64)  # halves away from zero
    f = np.where((h > 0) & inside, np.maximum(r, 1), 0)
    s = f.sum(1)
    masked = np.where(inside, f, -1)
    big = 255 - np.argmax(masked[:, ::-1], axis=1)  # highest symbol among equal largest
    rows = np.arange(n)
    fb = f[rows, big]
    d = fb + 4096 - s
    f[rows, big] = np.where(d > 0, d, 1)
    over = d <= 0
    if over.any():
        e = (s - fb + 1 - 4096)[over]
        fo = f[over]
        red = np.where(inside[over] & (col[None, :] != big[over, None]), np.maximum(fo - 1, 0), 0)
        before = np.cumsum(red, 1) - red
        f[over] = fo - np.clip(e[:, None] - before, 0, red)
    f[m == 0] = 0
    f[m == 0, 0] = 4096
    only_zero = ~h[:, 1:].any(1)
    f[only_zero] = 0
    f[only_zero, 0] = 4096
    freqs = f.astype(np.uint64)
    cum = np.zeros((n, 257), np.uint64)
    np.cumsum(freqs, 1, out=cum[:, 1:])
    modes = np.where(only_zero, 3, 0).astype(np.uint8)
    return cum, freqs, modes


# ---- timing -----------------------------------------------------------------------


def median_seconds(fn, reps):
    return interleaved_medians([fn], reps)[0]


def interleaved_medians(fns, reps):
    """Medians of the functions' times, run in turn within every repetition so
    that a load spike on the shared machine hits all of them alike."""
    for fn in fns:
        fn()  # warm-up
    times = [[] for _ in fns]
    for _ in range(reps):
        for fn, ts in zip(fns, times):
            t = time.perf_counter()
            fn()
            ts.append(time.perf_counter() - t)
    return [float(np.median(ts)) for ts in times]


def worker(reps):
    import orv_rans as o

    o.set_rayon_threads(int(os.environ["RAYON_NUM_THREADS"]))
    data, offsets, lengths, widths, source = make_data()
    none = np.zeros((0, 256), np.uint64)
    ours = o.build_pdf_tables_from_shards(data, offsets, lengths, widths, none, True)
    peer = numpy_tables(data, offsets, lengths, widths)
    for a, b in zip(ours, peer):
        assert a.shape == b.shape and (a == b).all(), "NumPy peer disagrees"

    res = {"source": source, "shards": len(lengths)}
    # each measured back to back: interleaving a 20 ms NumPy call between our
    # calls lets an idle core sleep, and waking it costs about as much as the
    # call itself on a virtual machine
    res["build"] = median_seconds(
        lambda: o.build_pdf_tables_from_shards(data, offsets, lengths, widths, none, True), reps)
    res["numpy"] = median_seconds(lambda: numpy_tables(data, offsets, lengths, widths), reps)
    # with 16 templates (own tables of other shards) the choice runs per shard
    templates = np.ascontiguousarray(ours[1][:: max(1, len(lengths) // 16)][:16])
    res["build_templates"] = median_seconds(
        lambda: o.build_pdf_tables_from_shards(data, offsets, lengths, widths, templates, False),
        reps)

    # compaction: the own tables, repeated to 19200 tables
    reps_t = 100
    freqs = np.tile(ours[1], (reps_t, 1))
    w = np.tile(widths, reps_t)
    modes = np.tile(ours[2], reps_t)
    stream = o.compact_pdf_tables(freqs, w, modes)
    assert (o.expand_pdf_tables(stream, w, modes, none) == freqs).all()
    res["tables"] = len(freqs)
    res["stream_bytes"] = int(stream.size)
    res["compact"] = median_seconds(lambda: o.compact_pdf_tables(freqs, w, modes), reps)
    res["expand"] = median_seconds(lambda: o.expand_pdf_tables(stream, w, modes, none), reps)
    # one image's tables per call: the size the codec actually uses
    one = o.compact_pdf_tables(ours[1], widths, ours[2])
    res["compact_one"] = median_seconds(lambda: o.compact_pdf_tables(ours[1], widths, ours[2]),
                                        reps * 10)
    res["expand_one"] = median_seconds(lambda: o.expand_pdf_tables(one, widths, ours[2], none),
                                       reps * 10)
    print(json.dumps(res))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--reps", type=int, default=11)
    ap.add_argument("--worker", action="store_true")
    args = ap.parse_args()
    if args.worker:
        worker(args.reps)
        return
    runs = {}
    for threads in (1, 2):
        env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
        out = subprocess.run([sys.executable, __file__, "--worker", "--reps", str(args.reps)],
                             env=env, capture_output=True, text=True, check=True)
        runs[threads] = json.loads(out.stdout.strip().splitlines()[-1])
    one, two = runs[1], runs[2]
    print(f"data: {N_SYMBOLS:,} symbols in {one['shards']} shards ({one['source']})")
    print(f"medians of {args.reps} runs; each pool size in its own process\n")
    print(f"{'build_pdf_tables_from_shards':44s} {'1 worker':>10s} {'2 workers':>10s}")
    for key, label in [("numpy", "NumPy (bincount + vectorised normalisation)"),
                       ("build", "orv_rans, templates off"),
                       ("build_templates", "orv_rans, 16 templates")]:
        print(f"  {label:42s} {one[key] * 1e3:8.2f}ms {two[key] * 1e3:8.2f}ms")
    print("ratios (templates off)")
    print(f"  NumPy / orv_rans, 1 worker                 {one['numpy'] / one['build']:8.1f}x")
    print(f"  NumPy / orv_rans, 2 workers                {two['numpy'] / two['build']:8.1f}x")
    print(f"  orv_rans 1 worker / 2 workers              {one['build'] / two['build']:8.2f}x")
    print(f"\ncompaction, tables per second (1 worker process; both run on the calling thread)")
    print(f"  {'':28s} {one['tables']} tables/call {one['shards']} tables/call")
    for key in ("compact", "expand"):
        print(f"  {key + '_pdf_tables':28s} {one['tables'] / one[key] / 1e6:11.2f}M "
              f"{one['shards'] / one[key + '_one'] / 1e6:11.2f}M")
    print(f"  ({one['stream_bytes']:,} bytes stored for {one['tables']} tables; expansion writes "
          f"2 KiB of fresh result per table)")


if __name__ == "__main__":
    main()
