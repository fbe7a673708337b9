"""Benchmark of the shard coder against its peers, measured side by side in one run.

Run: ``PYTHONPATH=build python bench/bench_coder.py`` (``--reps N`` for more repetitions,
``--clock cpu`` to time the one-worker comparisons by CPU time on a busy machine).

Set-up (once, as root, see bench/setup.sh): Debian package ``libhtscodecs2``
(htscodecs' rANS coders, called through ctypes). zlib and NumPy need nothing
beyond Python and the project's requirements. Nothing is downloaded at run time.

Data: residual-like bytes (zigzagged Laplacian noise whose scale changes every
64 symbols among 1, 3 and 10, as in flat and textured image regions), 16 MiB
in two layouts: 64 shards of 256 KiB and 4096 shards of 4 KiB, each shard with
its own frequency table normalised from its histogram.

Measured, each in the same process and on the same shards, the one-worker
contenders timed round-robin (one call of each per round, medians over the
rounds), so a change of load on a shared machine hits them all alike:
- orv_rans: ``rans_encode_shards_parallel`` (the call alone) and
  ``rans_decode_shards_parallel`` on the packed payload (slot lookups prebuilt,
  as a decoder has them from its stored tables);
- htscodecs 4x8 order 0 (``rans_compress``/``rans_uncompress``) and 4x16
  order 0 (``rans_compress_4x16``/``rans_uncompress_4x16``), one call per shard;
- htscodecs 32x16 order 0 (``rans_compress_to_4x16``/``rans_uncompress_to_4x16``
  with the order flag RANS_ORDER_X32, 0x04, which selects the 32-way layout
  outright), with the SIMD code htscodecs picks for this CPU, and forced
  through ``rans_set_cpu`` to each of its variants this CPU runs (scalar,
  AVX2, AVX-512; the library ships no header, so the masks below were read
  off its behaviour: encoder AVX2 0x02 and AVX-512 0x04, decoder AVX2 0x200
  and AVX-512 0x400);
- zlib level 1, one call per shard;
- a NumPy copy of the same bytes (the memory-bandwidth ceiling).
orv_rans runs with 1 and with 2 workers, each worker count in its own process
(RAYON_NUM_THREADS), with the coder path this CPU gets; in the one-worker
process it also runs forced to each path this CPU can run (scalar, avx2,
avx512: ``orv_rans._coder_simd``), side by side. The peers are
single-threaded and measured in the one-worker process. Sizes are compared with the order-0 entropy of each
shard's histogram plus the 36-byte packed-shard header.
"""
from __future__ import annotations

import argparse
import ctypes
import json
import os
import subprocess
import sys
import time
import zlib

import numpy as np

MiB = 1 << 20
LAYOUTS = {"64 x 256 KiB": (64, 256 * 1024), "4096 x 4 KiB": (4096, 4 * 1024)}
HTSCODECS = "/usr/lib/x86_64-linux-gnu/libhtscodecs.so.2"


# ---- data and tables -----------------------------------------------------------

def residual_shards(n_shards: int, shard_len: int, seed: int = 7) -> np.ndarray:
    rng = np.random.default_rng(seed)
    total = n_shards * shard_len
    scales = rng.choice(np.array([1.0, 3.0, 10.0]), (total + 63) // 64).repeat(64)[:total]
    v = np.rint(rng.laplace(0.0, 1.0, total) * scales).astype(np.int64)
    z = np.where(v >= 0, 2 * v, -2 * v - 1)
    return np.clip(z, 0, 255).astype(np.uint8).reshape(n_shards, shard_len)


def normalise(counts: np.ndarray) -> np.ndarray:
    """Frequencies on the 4096 scale, every present symbol at least 1."""
    n = counts.sum()
    f = np.where(counts > 0, np.maximum(1, np.rint(counts * 4096.0 / n)), 0).astype(np.int64)
    f[np.argmax(f)] += 4096 - f.sum()
    return f.astype(np.uint64)


def tables(shards: np.ndarray):
    hist = np.stack([np.bincount(s, minlength=256) for s in shards])
    freqs = np.stack([normalise(h) for h in hist])
    cums = np.concatenate([np.zeros((len(freqs), 1), np.uint64), np.cumsum(freqs, axis=1, dtype=np.uint64)], axis=1)
    return hist, freqs, cums


def table_cost_bytes(hist: np.ndarray, freqs: np.ndarray) -> float:
    """Ideal code length of the shards under their quantised tables."""
    h = hist.astype(np.float64)
    f = np.where(h > 0, freqs.astype(np.float64), 1.0)
    return float(-(h * np.log2(f / 4096)).sum() / 8)


def entropy_bytes(hist: np.ndarray) -> float:
    h = hist.astype(np.float64)
    n = h.sum(axis=1, keepdims=True)
    p = np.where(h > 0, h / n, 1.0)
    return float(-(h * np.log2(p)).sum() / 8)


# ---- timing ----------------------------------------------------------------------

CLOCK = time.perf_counter


def median_time(fn, reps: int) -> float:
    fn()  # warm-up (also creates the pool)
    times = []
    for _ in range(reps):
        t0 = CLOCK()
        fn()
        times.append(CLOCK() - t0)
    return float(np.median(times))


def race(fns: dict, reps: int) -> dict:
    """Median time of every contender, timed round-robin (one call of each per
    round), so that a change of load on a shared machine hits all of them alike."""
    for fn in fns.values():
        fn()  # warm-up
    times = {k: [] for k in fns}
    for _ in range(reps):
        for k, fn in fns.items():
            t0 = CLOCK()
            fn()
            times[k].append(CLOCK() - t0)
    return {k: float(np.median(v)) for k, v in times.items()}


# ---- peers -----------------------------------------------------------------------

class Hts:
    def __init__(self):
        self.lib = ctypes.CDLL(HTSCODECS)
        self.libc = ctypes.CDLL(None)
        self.libc.free.argtypes = [ctypes.c_void_p]
        for name in ("rans_compress", "rans_compress_4x16"):
            fn = getattr(self.lib, name)
            fn.restype = ctypes.c_void_p
            fn.argtypes = [ctypes.c_char_p, ctypes.c_uint, ctypes.POINTER(ctypes.c_uint), ctypes.c_int]
        for name in ("rans_uncompress", "rans_uncompress_4x16"):
            fn = getattr(self.lib, name)
            fn.restype = ctypes.c_void_p
            fn.argtypes = [ctypes.c_char_p, ctypes.c_uint, ctypes.POINTER(ctypes.c_uint)]

        self.lib.rans_compress_to_4x16.restype = ctypes.c_void_p
        self.lib.rans_compress_to_4x16.argtypes = [ctypes.c_char_p, ctypes.c_uint, ctypes.c_char_p,
                                                   ctypes.POINTER(ctypes.c_uint), ctypes.c_int]
        self.lib.rans_uncompress_to_4x16.restype = ctypes.c_void_p
        self.lib.rans_uncompress_to_4x16.argtypes = [ctypes.c_char_p, ctypes.c_uint, ctypes.c_char_p,
                                                     ctypes.POINTER(ctypes.c_uint)]
        self.lib.rans_compress_bound_4x16.restype = ctypes.c_uint
        self.lib.rans_compress_bound_4x16.argtypes = [ctypes.c_uint, ctypes.c_int]
        self.set_cpu = getattr(self.lib, "rans_set_cpu", None)
        if self.set_cpu is not None:
            self.set_cpu.argtypes = [ctypes.c_int]

    def _take(self, ptr, size) -> bytes:
        if not ptr:
            raise RuntimeError("htscodecs call failed")
        b = ctypes.string_at(ptr, size)
        self.libc.free(ptr)
        return b

    def compress(self, name: str, data: bytes) -> bytes:
        n = ctypes.c_uint(0)
        return self._take(getattr(self.lib, name)(data, len(data), ctypes.byref(n), 0), n.value)

    def uncompress(self, name: str, data: bytes) -> bytes:
        n = ctypes.c_uint(0)
        return self._take(getattr(self.lib, name)(data, len(data), ctypes.byref(n)), n.value)


# htscodecs' 32x16 coder: the order flag that selects it, and rans_set_cpu's
# masks (encoder bits in the low byte, decoder bits in the next one).
RANS_ORDER_X32 = 0x04
HTS_CPU = {"scalar": 0, "avx2": 0x02 | 0x200, "avx512": 0x04 | 0x400}
HTS_CPU_ALL = -1


def cpu_flags() -> set:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


def hts_variants() -> list:
    """(label, rans_set_cpu mask) for the 32x16 variants this CPU runs."""
    flags = cpu_flags()
    out = [("htscodecs 32x16 o0", HTS_CPU_ALL), ("htscodecs 32x16 scalar", HTS_CPU["scalar"])]
    if "avx2" in flags:
        out.append(("htscodecs 32x16 avx2", HTS_CPU["avx2"]))
    if {"avx512f", "avx512bw"} <= flags:
        out.append(("htscodecs 32x16 avx512", HTS_CPU["avx512"]))
    return out


class Hts32:
    """rans_compress_to_4x16 / rans_uncompress_to_4x16 into buffers made once."""

    def __init__(self, hts: Hts, blobs: list):
        self.h = hts
        bound = max(self.h.lib.rans_compress_bound_4x16(len(b), RANS_ORDER_X32) for b in blobs)
        self.cbuf = ctypes.create_string_buffer(bound)
        self.dbuf = ctypes.create_string_buffer(max(len(b) for b in blobs))

    def compress(self, data: bytes) -> bytes:
        n = ctypes.c_uint(len(self.cbuf))
        if not self.h.lib.rans_compress_to_4x16(data, len(data), self.cbuf, ctypes.byref(n), RANS_ORDER_X32):
            raise RuntimeError("htscodecs call failed")
        return self.cbuf.raw[:n.value]

    def uncompress(self, comp: bytes, size: int) -> None:
        n = ctypes.c_uint(size)
        if not self.h.lib.rans_uncompress_to_4x16(comp, len(comp), self.dbuf, ctypes.byref(n)) or n.value != size:
            raise RuntimeError("htscodecs call failed")


# ---- one process: one worker count -------------------------------------------------

def measure(workers: int, reps: int) -> dict:
    import orv_rans as o

    o.set_rayon_threads(workers)
    results = {}
    for layout, (n_shards, shard_len) in LAYOUTS.items():
        shards = residual_shards(n_shards, shard_len)
        data = shards.reshape(-1)
        mb = data.size / 1e6
        hist, freqs, cums = tables(shards)
        lookups = o.build_all_lookups(cums[None]).reshape(n_shards, 4096)
        offsets = (np.arange(n_shards, dtype=np.uint64) * shard_len).astype(np.uint32)
        lengths = np.full(n_shards, shard_len, np.uint32)
        counts = lengths

        def encode():
            return o.rans_encode_shards_parallel(data, offsets, lengths, cums, freqs, 2**31)

        states, streams, bs_off, bs_len = encode()
        write = np.concatenate([[0], np.cumsum(36 + bs_len.astype(np.uint64))[:-1]]).astype(np.uint32)
        payload = np.zeros(int((36 + bs_len.astype(np.uint64)).sum()), np.uint8)
        o.pack_shard_payloads(states, bs_len, bs_off, streams, payload, write)

        def decode():
            return o.rans_decode_shards_parallel(payload, counts, cums, freqs, lookups)

        dec, consumed = decode()
        assert consumed == payload.size and np.array_equal(dec, data), "round trip failed"
        ideal = entropy_bytes(hist) + 36 * n_shards
        table_cost = table_cost_bytes(hist, freqs) + 36 * n_shards
        if workers != 1:
            row = {"orv_rans": {"enc": mb / median_time(encode, reps), "dec": mb / median_time(decode, reps),
                                "size": payload.size / ideal, "vs_table": payload.size / table_cost}}
            results[layout] = row
            continue

        # label -> (encode call, decode call, relative size); timed round-robin below
        entries = {}
        chosen = o._coder_simd()

        def on_path(path, fn):
            def call():
                o._coder_simd(path)
                return fn()
            return call

        entries["orv_rans"] = (on_path(chosen, encode), on_path(chosen, decode), payload.size / ideal)
        for path in o._coder_simd_available():
            o._coder_simd(path)
            dec, _ = decode()
            assert np.array_equal(dec, data), f"round trip failed on the {path} path"
            entries[f"orv_rans [{path}]"] = (on_path(path, encode), on_path(path, decode), payload.size / ideal)
        blobs = [s.tobytes() for s in shards]
        try:
            hts = Hts()
        except OSError:
            hts = None
        if hts is not None:
            for label, c_name, u_name in (("htscodecs 4x8 o0", "rans_compress", "rans_uncompress"),
                                          ("htscodecs 4x16 o0", "rans_compress_4x16", "rans_uncompress_4x16")):
                comp = [hts.compress(c_name, b) for b in blobs]
                assert all(hts.uncompress(u_name, c) == b for c, b in zip(comp, blobs))
                entries[label] = (lambda c_name=c_name: [hts.compress(c_name, b) for b in blobs],
                                  lambda u_name=u_name, comp=comp: [hts.uncompress(u_name, c) for c in comp],
                                  sum(map(len, comp)) / ideal)
            h32 = Hts32(hts, blobs)
            comp32 = [h32.compress(b) for b in blobs]
            for c, b in zip(comp32, blobs):
                h32.uncompress(c, len(b))
                assert h32.dbuf.raw[:len(b)] == b, "htscodecs 32x16 round trip failed"
            for label, mask in hts_variants():
                if hts.set_cpu is None and mask != HTS_CPU_ALL:
                    continue

                def enc32(mask=mask):
                    if hts.set_cpu is not None:
                        hts.set_cpu(mask)
                    return [h32.compress(b) for b in blobs]

                def dec32(mask=mask):
                    if hts.set_cpu is not None:
                        hts.set_cpu(mask)
                    return [h32.uncompress(c, len(b)) for c, b in zip(comp32, blobs)]

                entries[label] = (enc32, dec32, sum(map(len, comp32)) / ideal)
        compz = [zlib.compress(b, 1) for b in blobs]
        entries["zlib -1"] = (lambda: [zlib.compress(b, 1) for b in blobs],
                              lambda: [zlib.decompress(c) for c in compz], sum(map(len, compz)) / ideal)
        dst = np.empty_like(data)
        entries["numpy copy"] = (lambda: np.copyto(dst, data), lambda: np.copyto(dst, data), float("nan"))

        enc_t = race({k: v[0] for k, v in entries.items()}, reps)
        dec_t = race({k: v[1] for k, v in entries.items()}, reps)
        o._coder_simd(chosen)
        if hts is not None and hts.set_cpu is not None:
            hts.set_cpu(HTS_CPU_ALL)
        row = {k: {"enc": mb / enc_t[k], "dec": mb / dec_t[k], "size": v[2]} for k, v in entries.items()}
        row["orv_rans"]["vs_table"] = payload.size / table_cost
        results[layout] = row
    return {"layouts": results, "path": o._coder_simd(), "paths": list(o._coder_simd_available())}


# ---- driver --------------------------------------------------------------------------

def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--clock", choices=["wall", "cpu"], default="wall",
                    help="wall: elapsed time (default); cpu: CPU time of the process, steadier on a busy "
                         "machine for one worker, meaningless for the two-worker scaling")
    ap.add_argument("--worker", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args()
    global CLOCK
    CLOCK = time.process_time if args.clock == "cpu" else time.perf_counter
    if args.worker:
        print(json.dumps(measure(args.worker, args.reps)))
        return

    runs = {}
    for w in (1, 2):
        env = dict(os.environ, RAYON_NUM_THREADS=str(w))
        out = subprocess.run([sys.executable, __file__, "--worker", str(w), "--reps", str(args.reps),
                              "--clock", args.clock],
                             env=env, capture_output=True, text=True, check=True)
        runs[w] = json.loads(out.stdout)

    print(f"shard coder, 16 MiB of residual-like bytes, medians of {args.reps} runs of {args.clock}-clock time "
          "(MB/s = 1e6 bytes/s)")
    print(f"orv_rans coder path on this CPU (encoder and decoder): {runs[1]['path']} (available: {', '.join(runs[1]['paths'])}; "
          "ORV_RANS_SIMD=scalar|avx2|avx512 chooses another)")
    if "avx512" in runs[1]["paths"]:
        print("(the avx512 path codes shards with the AVX2 coder: its AVX-512 kernels are the image phases')")
    print("size: compressed bytes / (order-0 entropy of each shard + 36-byte header per shard)")
    print(f"load average at the end: {' '.join(f'{v:.2f}' for v in os.getloadavg())} on {os.cpu_count()} cores")
    for layout in LAYOUTS:
        one, two = runs[1]["layouts"][layout], runs[2]["layouts"][layout]
        ours = one["orv_rans"]
        print(f"\n{layout}")
        print(f"{'coder':<26}{'enc MB/s':>10}{'dec MB/s':>10}{'enc ratio':>11}{'dec ratio':>11}{'size':>9}")
        for name, r in one.items():
            print(f"{name + (' 1 worker' if name == 'orv_rans' else ''):<26}{r['enc']:>10.0f}{r['dec']:>10.0f}"
                  f"{ours['enc'] / r['enc']:>11.2f}{ours['dec'] / r['dec']:>11.2f}{r['size']:>9.4f}")
        t = two["orv_rans"]
        print(f"{'orv_rans 2 workers':<26}{t['enc']:>10.0f}{t['dec']:>10.0f}"
              f"{ours['enc'] / t['enc']:>11.2f}{ours['dec'] / t['dec']:>11.2f}{t['size']:>9.4f}")
        note = " (CPU time: work done, not the speed-up)" if args.clock == "cpu" else ""
        print(f"2 workers / 1 worker: encode {t['enc'] / ours['enc']:.2f}x, decode {t['dec'] / ours['dec']:.2f}x{note}")
        print(f"orv_rans size against the ideal code length under its own tables: {ours['vs_table']:.5f}")
    print("\nratios: orv_rans with 1 worker against each row (above 1: orv_rans is faster)")


if __name__ == "__main__":
    main()
