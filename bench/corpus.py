"""The benchmark corpus: real photos installed on the machine, never downloaded.

Set-up (once, as root): ``bench/setup.sh`` installs Debian's ``libjxl-testdata``
(the 2268 x 1512 flower photo and the 500 px photo set) and the Python packages
of the peers, including ``scikit-image``, whose bundled images join the corpus.
"""
from __future__ import annotations

import hashlib
from dataclasses import dataclass
from pathlib import Path

import numpy as np

# the corpus is the one `orv bench` measures: one list of paths, one loader
from orv.bench import default_paths, flower  # noqa: F401 (flower: for the benchmarks)
from orv.bench import load_image as _load


@dataclass
class Image:
    name: str
    path: Path
    pixels: np.ndarray  # uint8, (h, w), (h, w, 3) or (h, w, 4)
    sha256: str

    @property
    def megapixels(self) -> float:
        return self.pixels.shape[0] * self.pixels.shape[1] / 1e6


def photo_paths() -> list[Path]:
    paths = default_paths()
    if not paths:
        raise SystemExit("no benchmark photos found: run bench/setup.sh first")
    return paths


def load_photos(rgb_only: bool = False) -> list[Image]:
    """Every photo of the corpus; with rgb_only, only 3-channel ones."""
    images = []
    for p in photo_paths():
        px = _load(p)
        if rgb_only and (px.ndim != 3 or px.shape[2] != 3):
            continue
        images.append(Image(p.name, p, px, hashlib.sha256(p.read_bytes()).hexdigest()))
    return images


def describe(images: list[Image]) -> str:
    lines = [f"corpus: {len(images)} images"]
    for im in images:
        lines.append(f"  {im.name:40s} {str(im.pixels.shape):16s} sha256 {im.sha256[:16]}...")
    return "\n".join(lines)
