"""Benchmark: Zarr arrays of the benchmark photos coded with orv, against the
codecs people use in Zarr.

Run as ``PYTHONPATH=build:python python bench/bench_zarr.py`` after
bench/setup.sh (as root: Debian's libjxl-testdata, the photos; pip:
scikit-image, imagecodecs) and ``pip install numcodecs zarr`` (the zarr
extra). Nothing is downloaded at run time.

Two arrays, both uint8 RGB, written to and read from an in-memory Zarr 3 store
(so that the codecs and Zarr are measured, not the disk):

- "stack": every RGB photo of the corpus with both sides >= 384, centre
  cropped to 384 x 384 and stacked, one photo per chunk, (n, 384, 384, 3);
- "tiles": the 2268 x 1512 flower photo in 512 x 512 chunks.

Codecs: orv (the serializer of orv.numcodecs_codec at its default effort, 2,
and at effort 4, smaller and slower),
Zarr's default (zstd), Blosc (zstd, byte shuffle; Zarr's BloscCodec), and
imagecodecs' numcodecs PNG and JPEG XL (lossless, efforts 1 and 3) codecs in
Zarr's numcodecs wrapper, when imagecodecs is installed. Every run writes the
whole array and reads it back, checked bit for bit; times are medians of
--repeat runs, MB/s of raw pixels. The comparison runs twice, in a fresh
process with one worker and with two: RAYON_NUM_THREADS for orv's pool and
Zarr's thread pool (threading.max_workers) for everyone's chunks; JPEG XL gets
the same number of threads.
"""
from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
import warnings
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
CROP = 384
TILE = 512


def _import_paths():
    try:
        import orv  # noqa: F401
    except ImportError:
        sys.path.insert(0, str(REPO / "python"))
    sys.path.insert(0, str(HERE))


def arrays():
    import numpy as np

    import corpus

    photos = corpus.load_photos(rgb_only=True)
    flower_path = corpus.flower()
    crops = []
    for im in photos:
        h, w = im.pixels.shape[:2]
        if im.path != flower_path and h >= CROP and w >= CROP:
            y, x = (h - CROP) // 2, (w - CROP) // 2
            crops.append(im.pixels[y:y + CROP, x:x + CROP])
    out = {"stack": (np.stack(crops), (1, CROP, CROP, 3))}
    flower = [im for im in photos if im.path == flower_path]
    if flower:
        out["tiles"] = (flower[0].pixels, (TILE, TILE, 3))
    return out


def codecs(threads: int):
    """(name, create_array keyword arguments) of every codec measured."""
    import zarr
    from zarr.codecs import BloscCodec

    from orv.numcodecs_codec import zarr_serializer

    result = [("orv", {"serializer": zarr_serializer(), "compressors": None}),
              ("orv effort=4", {"serializer": zarr_serializer(effort=4),
                                "compressors": None}),
              ("zarr default (zstd)", {}),
              ("blosc zstd shuffle", {"compressors": BloscCodec(cname="zstd", clevel=5,
                                                                 shuffle="shuffle")})]
    try:
        import imagecodecs.numcodecs as icn
        from zarr.codecs.numcodecs import _NumcodecsArrayBytesCodec
    except ImportError:
        return result
    icn.register_codecs(verbose=False)

    class ImagecodecsPng(_NumcodecsArrayBytesCodec, codec_name="imagecodecs_png"):
        pass

    class ImagecodecsJpegxl(_NumcodecsArrayBytesCodec, codec_name="imagecodecs_jpegxl"):
        pass

    zarr.registry.register_codec("numcodecs.imagecodecs_png", ImagecodecsPng)
    zarr.registry.register_codec("numcodecs.imagecodecs_jpegxl", ImagecodecsJpegxl)
    result.append(("PNG (imagecodecs)", {"serializer": ImagecodecsPng(), "compressors": None}))
    for effort in (1, 3):
        result.append((f"JPEG XL e{effort} (imagecodecs)",
                       {"serializer": ImagecodecsJpegxl(lossless=True, effort=effort,
                                                         numthreads=threads),
                        "compressors": None}))
    return result


def stored_bytes(store) -> int:
    import asyncio

    async def total():
        n = 0
        async for key in store.list():
            if not key.endswith("zarr.json"):
                n += len((await store.get(key, prototype=_proto())).to_bytes())
        return n

    return asyncio.run(total())


def _proto():
    from zarr.core.buffer import default_buffer_prototype

    return default_buffer_prototype()


def worker(repeat: int, threads: int) -> dict:
    _import_paths()
    import numpy as np
    import zarr

    warnings.simplefilter("ignore")
    zarr.config.set({"threading.max_workers": threads})
    rows = []
    data = arrays()
    for name, kwargs in codecs(threads):
        for label, (arr, chunks) in data.items():
            writes, reads, size = [], [], 0
            for _ in range(repeat):
                store = zarr.storage.MemoryStore()
                z = zarr.create_array(store=store, shape=arr.shape, chunks=chunks,
                                      dtype="uint8", **kwargs)
                t0 = time.perf_counter()
                z[:] = arr
                writes.append(time.perf_counter() - t0)
                t0 = time.perf_counter()
                back = zarr.open_array(store, mode="r")[:]
                reads.append(time.perf_counter() - t0)
                if not np.array_equal(back, arr):
                    raise SystemExit(f"{name} did not give back the {label} array")
                size = stored_bytes(store)
            rows.append({"codec": name, "array": label, "shape": list(arr.shape),
                         "raw": int(arr.nbytes), "stored": size,
                         "write_s": float(np.median(writes)), "read_s": float(np.median(reads))})
    return {"rows": rows}


def _spawn(workers: int, repeat: int) -> dict:
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    proc = subprocess.run([sys.executable, __file__, "--child", "--repeat", str(repeat),
                           "--threads", str(workers)], env=env, capture_output=True, text=True)
    if proc.returncode:
        raise SystemExit(proc.stderr)
    return json.loads(proc.stdout.strip().splitlines()[-1])


def table(rows: list[dict], workers: int) -> str:
    lines = [f"{workers} worker{'s' if workers > 1 else ''}",
             f"{'codec':24s} {'array':6s} {'stored MB':>9s} {'of raw':>7s} {'write MB/s':>10s} "
             f"{'read MB/s':>9s} | {'size/orv':>8s} {'write/orv':>9s} {'read/orv':>8s}"]
    base = {r["array"]: r for r in rows if r["codec"] == "orv"}
    for r in rows:
        b = base[r["array"]]
        wr, rd = r["raw"] / r["write_s"] / 1e6, r["raw"] / r["read_s"] / 1e6
        bwr, brd = b["raw"] / b["write_s"] / 1e6, b["raw"] / b["read_s"] / 1e6
        lines.append(f"{r['codec']:24s} {r['array']:6s} {r['stored'] / 1e6:9.3f} "
                     f"{r['stored'] / r['raw']:7.3f} {wr:10.1f} {rd:9.1f} | "
                     f"{r['stored'] / b['stored']:8.3f} {wr / bwr:9.2f} {rd / brd:8.2f}")
    return "\n".join(lines)


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    p.add_argument("--threads", type=int, default=1, help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.child:
        print(json.dumps(worker(args.repeat, args.threads)))
        return 0
    _import_paths()
    data = arrays()
    for label, (arr, chunks) in data.items():
        print(f"array {label}: shape {arr.shape}, chunks {chunks}, {arr.nbytes / 1e6:.2f} MB raw")
    print(f"medians of {args.repeat} runs; MB/s of raw pixels; ratios: the codec / orv "
          "(size: below 1 is smaller than orv; speed: above 1 is faster than orv)")
    for workers in (1, 2):
        print()
        print(table(_spawn(workers, args.repeat)["rows"], workers))
    return 0


if __name__ == "__main__":
    sys.exit(main())
