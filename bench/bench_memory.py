"""Peak memory of decoding against the size of the decoded image.

For gray, RGB and RGBA images of side x side pixels (8192 by default), coded
at the default level with each coder, a fresh child process reads the file,
resets its resident-set high-water mark (/proc/self/clear_refs) and decodes
it; the report is the rise of the high-water mark (native allocations
included, which tracemalloc would miss) over the decoded image's size.

    PYTHONPATH=build:python python bench/bench_memory.py [--side 8192] [--repeat 3]
"""
from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

CHILD = r"""
import re, sys
import orv
data = open(sys.argv[1], "rb").read()
def status(key):
    return int(re.search(key + r":\s+(\d+) kB", open("/proc/self/status").read()).group(1)) * 1024
orv.decode(data[:0] + data, max_pixels=float("inf"))  # warm up: code paths, tables, the pool
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
base = status("VmRSS")
img = orv.decode(data, max_pixels=float("inf"))
print(status("VmHWM") - base, img.nbytes)
"""


def photo(side: int) -> np.ndarray:
    """A side x side RGB photo: the corpus flower (or the bundled astronaut), tiled."""
    from orv.bench import flower, load_image

    src = flower()
    if src is None:
        src = Path(__file__).resolve().parent.parent / "python" / "orv" / "data" / "astronaut.png"
    px = load_image(src)[..., :3]
    reps = (-(-side // px.shape[0]), -(-side // px.shape[1]), 1)
    return np.ascontiguousarray(np.tile(px, reps)[:side, :side])


def modes(rgb: np.ndarray) -> dict[str, np.ndarray]:
    gray = (rgb.astype(np.uint16).sum(axis=2) // 3).astype(np.uint8)
    alpha = np.where(gray > 96, 255, gray * 2).astype(np.uint8)  # opaque with soft edges
    return {"gray": gray, "RGB": rgb, "RGBA": np.dstack([rgb, alpha])}


def peak(path: str) -> tuple[int, int]:
    out = subprocess.run([sys.executable, "-c", CHILD, path], check=True, capture_output=True,
                         text=True, env=os.environ).stdout.split()
    return int(out[0]), int(out[1])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--side", type=int, default=8192)
    ap.add_argument("--repeat", type=int, default=3, help="child runs per case (median)")
    ap.add_argument("--coders", default="auto,shard,bitpair")
    args = ap.parse_args()
    import orv

    rgb = photo(args.side)
    print(f"decode peak memory, {args.side} x {args.side}, default effort, median of {args.repeat}")
    print(f"{'mode':5s} {'coder':8s} {'file MiB':>9s} {'output MiB':>11s} {'peak MiB':>9s} {'peak/output':>12s}")
    worst = 0.0
    with tempfile.TemporaryDirectory() as tmp:
        for mode, img in modes(rgb).items():
            for coder in args.coders.split(","):
                path = os.path.join(tmp, f"{mode}-{coder}.orv")
                data = orv.encode(img, coder=coder)
                Path(path).write_bytes(data)
                runs = [peak(path) for _ in range(args.repeat)]
                rise = statistics.median(r[0] for r in runs)
                size = runs[0][1]
                worst = max(worst, rise / size)
                print(f"{mode:5s} {coder:8s} {len(data) / 2**20:9.1f} {size / 2**20:11.1f} "
                      f"{rise / 2**20:9.1f} {rise / size:11.2f}x")
    print(f"worst: {worst:.2f}x the output")


if __name__ == "__main__":
    main()
