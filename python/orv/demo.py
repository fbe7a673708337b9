"""`orv demo`: codes the bundled photo, checks it bit for bit, compares with PNG."""
from __future__ import annotations

import io
import statistics
import time
from importlib import resources

import numpy as np

from . import codec
from .effort import DEFAULT_EFFORT, EFFORTS


def bundled_photo() -> np.ndarray:
    from PIL import Image

    with resources.files("orv").joinpath("data/astronaut.png").open("rb") as f:
        with Image.open(f) as im:
            return np.asarray(im.convert("RGB"))


def _timed(fn, arg, repeat=5):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        out = fn(arg)
        times.append(time.perf_counter() - t)
    return out, statistics.median(times)


def main(out=print) -> int:
    from PIL import Image

    img = bundled_photo()
    h, w = img.shape[:2]
    mp = h * w / 1e6
    out(f"orv demo: {w} x {h} RGB crop of NASA's portrait of astronaut Eileen Collins "
        "(public domain, from scikit-image)")
    rows = []
    for effort in EFFORTS:
        data, t_enc = _timed(lambda a: codec.encode(a, effort=effort), img)
        back, t_dec = _timed(codec.decode, data)
        if back.shape != img.shape or not np.array_equal(back, img):
            out(f"FAILED: orv (effort {effort}) did not give back the image bit for bit")
            return 1
        rows.append((f"orv -e {effort}" + (" (default)" if effort == DEFAULT_EFFORT else ""),
                     len(data), t_enc, t_dec))

    def png(**kw):
        def enc(a):
            buf = io.BytesIO()
            Image.fromarray(a).save(buf, format="PNG", **kw)
            return buf.getvalue()
        return enc

    def png_dec(data):
        with Image.open(io.BytesIO(data)) as im:
            return np.asarray(im)

    for name, kw in (("PNG", {}), ("PNG optimize", {"optimize": True})):
        data, t_enc = _timed(png(**kw), img, repeat=3)
        _, t_dec = _timed(png_dec, data)
        rows.append((name, len(data), t_enc, t_dec))
    out("decoded bit for bit: yes (every orv effort level)")
    out(f"{'codec':18s} {'bytes':>8s} {'bits/pixel':>10s} {'encode MP/s':>12s} {'decode MP/s':>12s}")
    for name, n, te, td in rows:
        out(f"{name:18s} {n:8d} {8 * n / (h * w):10.3f} {mp / te:12.1f} {mp / td:12.1f}")
    default, png_opt = rows[EFFORTS.index(DEFAULT_EFFORT)][1], rows[-1][1]
    out(f"orv (default effort) is {100 * (1 - default / png_opt):.1f}% smaller than PNG with "
        "optimize=True")
    return 0
