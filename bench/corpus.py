"""The benchmark corpus: real photos installed on the machine, never downloaded.

Set-up (once, as root): ``bench/setup.sh`` installs Debian's ``libjxl-testdata``
(the 2268 x 1512 flower photo and the 500 px photo set) and the Python packages
of the peers, including ``scikit-image``, whose bundled images join the corpus.
"""
from __future__ import annotations

import hashlib
import os
from dataclasses import dataclass
from pathlib import Path

import numpy as np

JXL_TESTDATA = Path("/usr/share/libjxl-testdata")
FLOWER = JXL_TESTDATA / "jxl/flower/flower.png"
PHOTOS_500PX = JXL_TESTDATA / "external/wesaturate/500px"
# photographs among scikit-image's bundled images (drawings, charts and
# synthetic pictures are left out)
SKIMAGE_PHOTOS = ["astronaut.png", "chelsea.png", "coffee.png", "camera.png", "moon.png",
                  "motorcycle_left.png", "rocket.jpg", "retina.jpg", "brick.png", "grass.png",
                  "gravel.png", "hubble_deep_field.jpg"]


@dataclass
class Image:
    name: str
    path: Path
    pixels: np.ndarray  # uint8, (h, w), (h, w, 3) or (h, w, 4)
    sha256: str

    @property
    def megapixels(self) -> float:
        return self.pixels.shape[0] * self.pixels.shape[1] / 1e6


def _load(path: Path) -> np.ndarray:
    from PIL import Image as PILImage

    with PILImage.open(path) as im:
        if im.mode not in ("L", "RGB", "RGBA"):
            im = im.convert("RGBA" if "A" in im.getbands() else "RGB")
        return np.ascontiguousarray(np.asarray(im, dtype=np.uint8))


def photo_paths() -> list[Path]:
    paths = []
    if FLOWER.exists():
        paths.append(FLOWER)
    if PHOTOS_500PX.is_dir():
        paths += sorted(PHOTOS_500PX.glob("*.png"))
    try:
        import skimage

        data = Path(os.path.dirname(skimage.__file__)) / "data"
        paths += [data / n for n in SKIMAGE_PHOTOS if (data / n).exists()]
    except ImportError:
        pass
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
