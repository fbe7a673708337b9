"""Benchmark of the bit-pair context coder on the green and chroma channels
of the real photos of the corpus.

    PYTHONPATH=build python bench/bench_bitpair.py [--reps N] [--quick]

Measured, with the same context tables for every coder:
  * MP/s of bp_build_pdf_sharded_rgb (the three channels' pair tables),
  * MB of residuals per second of bp_encode_sharded, bp_decode_sharded (green)
    and bp_decode_sharded_with_ref (the two chroma channels),
  * the same residual bytes through the peer, htscodecs' adaptive order-0
    arithmetic coder (arith_compress / arith_uncompress, order 0),
  * coded sizes: bit-pair payload alone and with its pair tables; the shard
    coder's payload on the same residuals, sharded by the same context
    numbers, alone and with its compacted tables; the peer's output.
Each worker count (1 and 2) runs in its own process (RAYON_NUM_THREADS).

System packages (installed once by bench/setup.sh, never at run time):
  libhtscodecs2 (the peer), libjxl-testdata (photos); Python: pillow,
  scikit-image (more photos).
"""
from __future__ import annotations

import argparse
import ctypes
import ctypes.util
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

HTSCODECS = "/usr/lib/x86_64-linux-gnu/libhtscodecs.so.2"
STATE_BYTES = 32  # the four final states, as the front end stores them


# ----------------------------------------------------------------- planes

def predict(W, N, NW):
    mn, mx = np.minimum(N, W), np.maximum(N, W)
    g = N + W - NW
    p0 = np.where(g < 0, mx, np.clip(g, mn, mx))
    flat = (mx - mn) <= 3
    return np.where(flat & (NW < mn - 50), mn, np.where(flat & (NW > mx + 50), mx, p0))


def pad(plane):
    out = np.zeros((plane.shape[0] + 2, plane.shape[1] + 2), np.uint8)
    out[1:-1, 1:-1] = plane
    return out


def split(padded):
    P = padded.astype(np.int64)
    return P[1:-1, :-2], P[:-2, 1:-1], P[:-2, :-2], P[1:-1, 1:-1]


def residual_plane(padded):
    W, N, NW, X = split(padded)
    d = ((X - predict(W, N, NW)) % 256).astype(np.uint8).view(np.int8).astype(np.int64)
    return pad((((d << 1) ^ (d >> 7)) & 0xFF).astype(np.uint8))


def context_tables():
    """Context tables of the kind the front end uses: gradient activity
    |W-NW| + |N-NW| in four levels, intensity in quartiles, 16 context numbers.
    (bench/contexts.py on main, once it exists, holds the project's own.)"""
    try:
        import contexts  # type: ignore

        return contexts.context_tables()
    except (ImportError, AttributeError):
        pass
    a = np.arange(511) - 255
    act = np.abs(a)[:, None] + np.abs(a)[None, :]
    s_lut = np.searchsorted(np.array([3, 10, 32]), act.ravel(), side="right").astype(np.uint8)
    i_lut = (np.arange(256) // 64).astype(np.uint8)
    d_lut = np.arange(16, dtype=np.uint8)
    return s_lut, i_lut, d_lut


def context_numbers(ctx_padded, luts, chroma):
    s_lut, i_lut, d_lut = luts
    W, N, NW, X = split(ctx_padded)
    v = X if chroma else predict(W, N, NW)
    g = (W - NW + 255) * 511 + (N - NW + 255)
    return d_lut[4 * s_lut[g].astype(np.int64) + i_lut[v]]


def channels(rgb):
    """Padded green plane and the padded residual planes of G, R-G, B-G."""
    px = rgb.astype(np.int64)
    g = px[..., 1]
    planes = [g, (px[..., 0] - g) % 256, (px[..., 2] - g) % 256]
    padded = [pad(p.astype(np.uint8)) for p in planes]
    return padded[0], [residual_plane(p) for p in padded]


# ------------------------------------------------------------------- peer

class Arith:
    def __init__(self):
        lib = ctypes.CDLL(HTSCODECS)
        self.libc = ctypes.CDLL(ctypes.util.find_library("c"))
        self.libc.free.argtypes = [ctypes.c_void_p]
        self.comp = lib.arith_compress
        self.comp.restype = ctypes.c_void_p
        self.comp.argtypes = [ctypes.c_char_p, ctypes.c_uint, ctypes.POINTER(ctypes.c_uint), ctypes.c_int]
        self.uncomp = lib.arith_uncompress
        self.uncomp.restype = ctypes.c_void_p
        self.uncomp.argtypes = [ctypes.c_char_p, ctypes.c_uint, ctypes.POINTER(ctypes.c_uint)]

    def compress(self, data: bytes) -> bytes:
        n = ctypes.c_uint(0)
        p = self.comp(data, len(data), ctypes.byref(n), 0)
        out = ctypes.string_at(p, n.value)
        self.libc.free(p)
        return out

    def uncompress(self, data: bytes) -> bytes:
        n = ctypes.c_uint(0)
        p = self.uncomp(data, len(data), ctypes.byref(n))
        out = ctypes.string_at(p, n.value)
        self.libc.free(p)
        return out


# ------------------------------------------------------------------ sizes

def pair_table_bytes(sf):
    """The pair tables as a caller stores them: one bit per table saying
    whether it is the uniform one (never counted), else three 12-bit
    frequencies (the fourth is 4096 minus their sum)."""
    flat = sf.reshape(-1, 4)
    used = np.count_nonzero((flat != 1024).any(axis=1))
    return int((flat.shape[0] + 36 * used + 7) // 8)


def shard_coder_sizes(o, resid, c):
    """Payload and table bytes of the shard coder on the residuals grouped by
    context number. Falls back to an order-0 entropy estimate per shard when
    the shard coder is not available in this build."""
    order = np.argsort(c.ravel(), kind="stable")
    data = np.ascontiguousarray(resid.ravel()[order])
    lengths = np.bincount(c.ravel(), minlength=int(c.max()) + 1).astype(np.uint32)
    offsets = np.concatenate([[0], np.cumsum(lengths)[:-1]]).astype(np.uint32)
    try:
        widths = np.full(len(lengths), 256, np.uint16)
        cum, sym, modes = o.build_pdf_tables_from_shards(data, offsets, lengths, widths,
                                                         np.zeros((0, 256), np.uint64), True)
        states, streams, bs_off, bs_len = o.rans_encode_shards_parallel(data, offsets, lengths, cum, sym,
                                                                        1 << 31)
        payload = int(np.sum(bs_len.astype(np.int64))) + 36 * len(lengths)
        tables = len(o.compact_pdf_tables(sym, widths, modes))
        return payload, tables, True
    except NotImplementedError:
        bits = 0.0
        for k in range(len(lengths)):
            seg = data[offsets[k]:offsets[k] + lengths[k]]
            if len(seg):
                p = np.bincount(seg, minlength=256) / len(seg)
                p = p[p > 0]
                bits += -len(seg) * float(np.sum(p * np.log2(p)))
        return int(bits / 8) + 36 * len(lengths), None, False


# ---------------------------------------------------------------- measure

def median_time(fn, reps):
    times = []
    out = None
    for _ in range(reps):
        t0 = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times), out


def worker(reps, quick):
    import orv_rans as o
    from corpus import load_photos

    luts = context_tables()
    n_ctx = 64 * (int(luts[2].max()) + 1)
    arith = Arith()
    images = load_photos(rgb_only=True)
    if quick:
        images = images[:3]
    rows = []
    for im in images:
        h, w = im.pixels.shape[:2]
        green, resids = channels(im.pixels)
        gflat = green.ravel()
        rflat = [r.ravel() for r in resids]
        t_build, tables = median_time(
            lambda: o.bp_build_pdf_sharded_rgb(*rflat, gflat, *luts, h, w, n_ctx), reps)
        row = {"name": im.name, "pixels": h * w, "build": t_build, "ch": []}
        for ch in range(3):
            chroma = ch > 0
            sf, cf = tables[2 * ch], tables[2 * ch + 1]
            t_enc, (st, bs) = median_time(
                lambda: o.bp_encode_sharded(rflat[ch], gflat, cf, sf, *luts, h, w, n_ctx, chroma), reps)
            sts = [int(v) for v in st]
            if chroma:
                dec = lambda: o.bp_decode_sharded_with_ref(bs, *sts, h, w, cf, sf, gflat, *luts)
            else:
                dec = lambda: o.bp_decode_sharded(bs, *sts, h, w, cf, sf, *luts)
            t_dec, out = median_time(dec, reps)
            assert np.array_equal(out, resids[ch][1:-1, 1:-1]), f"{im.name}: channel {ch} did not round-trip"
            raw = np.ascontiguousarray(resids[ch][1:-1, 1:-1]).tobytes()
            t_penc, packed = median_time(lambda: arith.compress(raw), reps)
            t_pdec, back = median_time(lambda: arith.uncompress(packed), reps)
            assert back == raw
            c = context_numbers(green, luts, chroma)
            sp, stab, real = shard_coder_sizes(o, resids[ch][1:-1, 1:-1], c)
            row["ch"].append({"enc": t_enc, "dec": t_dec, "penc": t_penc, "pdec": t_pdec,
                              "bp": len(bs) + STATE_BYTES, "bp_tab": pair_table_bytes(sf),
                              "peer": len(packed), "shard": sp, "shard_tab": stab, "shard_real": real})
        rows.append(row)
    print(json.dumps({"threads": os.environ.get("RAYON_NUM_THREADS"), "n_ctx": n_ctx, "rows": rows}))


def run_worker(n, args):
    env = dict(os.environ, RAYON_NUM_THREADS=str(n))
    cmd = [sys.executable, __file__, "--worker", "--reps", str(args.reps)] + (["--quick"] if args.quick else [])
    out = subprocess.run(cmd, env=env, capture_output=True, text=True, check=False)
    if out.returncode != 0:
        sys.exit(f"worker with {n} threads failed:\n{out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def report(results):
    print("\nSpeed (medians; MB/s = MB of residuals per second, 1 byte per residual)")
    print(f"{'threads':>7} {'channel':>8} {'op':>8} {'bit-pair':>10} {'peer':>10} {'ratio':>7}")
    for res in results:
        rows = res["rows"]
        px = sum(r["pixels"] for r in rows)
        tb = sum(r["build"] for r in rows)
        print(f"{res['threads']:>7} {'rgb':>8} {'build':>8} {px / tb / 1e6:>8.1f}MP {'':>10} {'':>7}")
        for label, chs in (("green", [0]), ("chroma", [1, 2])):
            n = px * len(chs)
            for op, mine, peer in (("encode", "enc", "penc"), ("decode", "dec", "pdec")):
                t = sum(r["ch"][c][mine] for r in rows for c in chs)
                tp = sum(r["ch"][c][peer] for r in rows for c in chs)
                print(f"{res['threads']:>7} {label:>8} {op:>8} {n / t / 1e6:>8.1f}MB {n / tp / 1e6:>8.1f}MB"
                      f" {tp / t:>6.2f}x")
    rows = results[0]["rows"]
    real = all(c["shard_real"] for r in rows for c in r["ch"])
    print(f"\nCoded size in bits per residual (n_ctx = {results[0]['n_ctx']}; payload / with tables;"
          f" shard coder {'measured' if real else 'estimated from per-shard order-0 entropy'})")
    print(f"{'image':>36} {'MP':>5} {'ch':>3} {'bit-pair':>15} {'shard coder':>15} {'peer':>6}")
    tot = {k: 0 for k in ("px", "bp", "bpt", "sh", "sht", "peer")}
    for r in rows:
        for c, name in zip(r["ch"], ("G", "R-G", "B-G")):
            n = r["pixels"]
            bpt = c["bp"] + c["bp_tab"]
            sht = c["shard"] + (c["shard_tab"] or 0)
            sh_tab = f"{8 * sht / n:6.3f}" if c["shard_tab"] is not None else "   n/a"
            print(f"{r['name'][:36]:>36} {n / 1e6:5.2f} {name:>3} {8 * c['bp'] / n:7.3f}/{8 * bpt / n:6.3f}"
                  f" {8 * c['shard'] / n:7.3f}/{sh_tab} {8 * c['peer'] / n:6.3f}")
            for k, v in (("px", n), ("bp", c["bp"]), ("bpt", bpt), ("sh", c["shard"]), ("sht", sht),
                         ("peer", c["peer"])):
                tot[k] += v
    n = tot["px"]
    sht = f"{8 * tot['sht'] / n:6.3f}" if real else "   n/a"
    print(f"{'all channels':>36} {n / 3e6:5.2f} {'':>3} {8 * tot['bp'] / n:7.3f}/{8 * tot['bpt'] / n:6.3f}"
          f" {8 * tot['sh'] / n:7.3f}/{sht} {8 * tot['peer'] / n:6.3f}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--quick", action="store_true", help="only the first three photos")
    ap.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        worker(args.reps, args.quick)
        return
    from corpus import describe, load_photos

    print(describe(load_photos(rgb_only=True)[: 3 if args.quick else None]))
    print(f"peer: htscodecs arith_compress/arith_uncompress order 0 ({HTSCODECS})")
    report([run_worker(n, args) for n in (1, 2)])


if __name__ == "__main__":
    main()
