"""The graphics corpus of the benchmark: synthetic images, never downloaded.

Charts rendered with matplotlib and text / user-interface images drawn with
Pillow are generated deterministically (fixed seeds, the fonts matplotlib
ships, no time stamps) into a cache directory, by ``bench/setup.sh`` or on
first use. scikit-image's drawn images (``page``, ``text``, ``logo``,
``color``, ``chessboard``) and the synthetic images of Debian's
``libjxl-testdata`` join them when installed.

``python bench/graphics.py`` (re)generates the cache and lists the corpus.
"""
from __future__ import annotations

import os
import sys
from pathlib import Path

import numpy as np

# bumped whenever a drawing changes, so a stale cache is rebuilt
GENERATION = 1
# (chessboard_RGB.png is 16-bit, which orv refuses; its gray twin stands for it)
SKIMAGE_GRAPHICS = ["page.png", "text.png", "logo.png", "color.png", "chessboard_GRAY.png"]
JXL_SYNTHETIC = ["dots/ellipses.png", "jxl/grayscale_patches.png",
                 "jxl/spline_on_first_frame.png"]


def cache_dir() -> Path:
    base = os.environ.get("ORV_BENCH_CACHE") or os.path.join(
        os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "orv-bench")
    return Path(base) / f"graphics-{GENERATION}"


def _font(size: int, mono: bool = False, bold: bool = False):
    import matplotlib
    from PIL import ImageFont
    name = "DejaVuSans" + ("Mono" if mono else "") + ("-Bold" if bold else "") + ".ttf"
    return ImageFont.truetype(str(Path(matplotlib.get_data_path()) / "fonts" / "ttf" / name), size)


# ---------------------------------------------------------------- matplotlib charts

def _charts(out: Path) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    rng = np.random.default_rng(15)
    meta = {"Software": None}

    fig, ax = plt.subplots(figsize=(8, 6), dpi=100)
    x = np.linspace(0, 10, 400)
    for k in range(4):
        ax.plot(x, np.sin(x + k) * (k + 1) + rng.normal(0, 0.05, x.size), label=f"series {k}")
    ax.set_title("Line chart")
    ax.set_xlabel("time (s)")
    ax.set_ylabel("value")
    ax.legend()
    ax.grid(True)
    fig.savefig(out / "chart_lines.png", metadata=meta)
    plt.close(fig)

    fig, ax = plt.subplots(figsize=(8, 6), dpi=100)
    cats = [f"group {c}" for c in "ABCDEFG"]
    for k in range(3):
        ax.bar(np.arange(7) + 0.27 * k, rng.uniform(1, 10, 7), width=0.27, label=f"year {2020 + k}")
    ax.set_xticks(np.arange(7) + 0.27, cats)
    ax.set_title("Bar chart")
    ax.legend()
    fig.savefig(out / "chart_bars.png", metadata=meta)
    plt.close(fig)

    fig, ax = plt.subplots(figsize=(6, 6), dpi=100)
    ax.pie([35, 25, 20, 12, 8], labels=["alpha", "beta", "gamma", "delta", "other"],
           autopct="%1.0f%%")
    ax.set_title("Pie chart")
    fig.savefig(out / "chart_pie.png", metadata=meta)
    plt.close(fig)

    fig, ax = plt.subplots(figsize=(8, 6), dpi=100)
    pts = rng.normal(size=(3, 2, 150))
    for k in range(3):
        ax.scatter(pts[k, 0] + 3 * k, pts[k, 1], s=12, label=f"cluster {k}")
    ax.legend()
    ax.set_title("Scatter plot")
    fig.savefig(out / "chart_scatter.png", metadata=meta)
    plt.close(fig)

    fig, ax = plt.subplots(figsize=(7, 6), dpi=100)
    z = np.add.outer(np.sin(np.linspace(0, 6, 60)), np.cos(np.linspace(0, 4, 60)))
    m = ax.imshow(z, cmap="viridis")
    fig.colorbar(m)
    ax.set_title("Heat map")
    fig.savefig(out / "chart_heatmap.png", metadata=meta)
    plt.close(fig)

    fig, axes = plt.subplots(2, 2, figsize=(9, 7), dpi=90, facecolor="white")
    for k, a in enumerate(axes.flat):
        a.hist(rng.normal(k, 1 + k / 3, 2000), bins=30, color=f"C{k}")
        a.set_title(f"histogram {k}")
    fig.tight_layout()
    fig.savefig(out / "chart_histograms.png", metadata=meta)
    plt.close(fig)


# ---------------------------------------------------------------- Pillow text and UIs

_WORDS = ("the quick brown fox jumps over lazy dog lossless image codec entropy coder "
          "palette context shard stream table plane residual prediction pixel header "
          "section checksum window button menu file edit view help settings").split()


def _sentence(rng, n) -> str:
    return " ".join(rng.choice(_WORDS) for _ in range(n)).capitalize() + "."


def _text_page(out: Path) -> None:
    from PIL import Image, ImageDraw
    rng = np.random.default_rng(1)
    im = Image.new("L", (800, 1000), 255)
    d = ImageDraw.Draw(im)
    d.text((40, 30), "A page of text", font=_font(28, bold=True), fill=0)
    f = _font(15)
    y = 90
    while y < 960:
        d.text((40, y), _sentence(rng, 11), font=f, fill=0)
        y += 22
    im.save(out / "text_page_gray.png")


def _code_editor(out: Path) -> None:
    from PIL import Image, ImageDraw
    rng = np.random.default_rng(2)
    im = Image.new("RGB", (900, 640), (30, 30, 36))
    d = ImageDraw.Draw(im)
    d.rectangle((0, 0, 900, 28), fill=(50, 50, 60))
    for k, name in enumerate(("main.py", "codec.py", "README.md")):
        d.rectangle((4 + 120 * k, 4, 118 + 120 * k, 28), fill=(30, 30, 36) if k == 0 else (60, 60, 72))
        d.text((14 + 120 * k, 8), name, font=_font(13), fill=(220, 220, 220))
    f = _font(14, mono=True)
    colours = [(86, 156, 214), (206, 145, 120), (181, 206, 168), (220, 220, 170), (212, 212, 212)]
    for line in range(34):
        y = 36 + 17 * line
        d.text((8, y), f"{line + 1:3d}", font=f, fill=(110, 110, 120))
        x = 56 + 16 * int(rng.integers(0, 4))
        for _ in range(int(rng.integers(1, 6))):
            word = str(rng.choice(_WORDS)) + rng.choice(["(", " = ", ".", ", ", ":"])
            d.text((x, y), word, font=f, fill=colours[int(rng.integers(0, len(colours)))])
            x += int(d.textlength(word, font=f))
    im.save(out / "ui_code_editor.png")


def _dialog(out: Path) -> None:
    from PIL import Image, ImageDraw
    im = Image.new("RGB", (640, 420), (236, 236, 236))
    d = ImageDraw.Draw(im)
    d.rectangle((0, 0, 640, 30), fill=(60, 110, 180))
    d.text((12, 7), "Settings", font=_font(14, bold=True), fill=(255, 255, 255))
    f = _font(13)
    for k, label in enumerate(("Enable compression", "Keep metadata", "Overwrite files",
                               "Use two workers", "Verify after writing")):
        y = 60 + 36 * k
        d.rectangle((30, y, 46, y + 16), outline=(120, 120, 120), fill=(255, 255, 255))
        if k % 2 == 0:
            d.line((33, y + 8, 37, y + 13, 44, y + 3), fill=(40, 120, 40), width=2)
        d.text((58, y), label, font=f, fill=(20, 20, 20))
    d.rounded_rectangle((30, 260, 610, 300), radius=6, outline=(150, 150, 150), fill=(255, 255, 255))
    d.text((40, 272), "/home/user/pictures/holiday", font=f, fill=(40, 40, 40))
    for k, label in enumerate(("Cancel", "Apply", "OK")):
        x = 330 + 95 * k
        d.rounded_rectangle((x, 360, x + 85, 392), radius=5,
                            fill=(60, 110, 180) if label == "OK" else (250, 250, 250),
                            outline=(140, 140, 140))
        d.text((x + 20, 368), label, font=f, fill=(255, 255, 255) if label == "OK" else (0, 0, 0))
    im.save(out / "ui_dialog.png")


def _spreadsheet(out: Path) -> None:
    from PIL import Image, ImageDraw
    rng = np.random.default_rng(3)
    im = Image.new("RGB", (960, 600), (255, 255, 255))
    d = ImageDraw.Draw(im)
    f = _font(12)
    d.rectangle((0, 0, 960, 24), fill=(230, 230, 230))
    for c in range(10):
        d.text((60 + 90 * c + 35, 5), chr(65 + c), font=f, fill=(60, 60, 60))
    for r in range(28):
        y = 24 + 20 * r
        d.rectangle((0, y, 50, y + 20), fill=(230, 230, 230))
        d.text((14, y + 3), str(r + 1), font=f, fill=(60, 60, 60))
        for c in range(10):
            v = rng.normal(1000, 400)
            d.text((64 + 90 * c, y + 3), f"{v:9.2f}", font=f,
                   fill=(200, 30, 30) if v < 500 else (0, 0, 0))
    for c in range(11):
        d.line((50 + 90 * c, 0, 50 + 90 * c, 600), fill=(200, 200, 200))
    for r in range(30):
        d.line((0, 24 + 20 * r, 960, 24 + 20 * r), fill=(200, 200, 200))
    im.save(out / "ui_spreadsheet.png")


def _icons_rgba(out: Path) -> None:
    from PIL import Image, ImageDraw
    im = Image.new("RGBA", (384, 256), (0, 0, 0, 0))
    d = ImageDraw.Draw(im)
    palette = [(231, 76, 60), (46, 204, 113), (52, 152, 219), (241, 196, 15), (155, 89, 182),
               (52, 73, 94)]
    for k in range(24):
        x, y = 64 * (k % 6), 64 * (k // 6)
        c = palette[k % 6] + (255,)
        if k % 3 == 0:
            d.ellipse((x + 8, y + 8, x + 56, y + 56), fill=c)
        elif k % 3 == 1:
            d.rounded_rectangle((x + 8, y + 8, x + 56, y + 56), radius=10, fill=c)
        else:
            d.polygon([(x + 32, y + 6), (x + 58, y + 56), (x + 6, y + 56)], fill=c)
        d.text((x + 24, y + 22), chr(65 + k), font=_font(16, bold=True), fill=(255, 255, 255, 255))
    im.save(out / "ui_icons_rgba.png")


def _pixel_art(out: Path) -> None:
    from PIL import Image
    rng = np.random.default_rng(4)
    tile = rng.integers(0, 6, (16, 16))
    tiles = [np.rot90(tile, k) for k in range(4)]
    grid = rng.integers(0, 4, (20, 30))
    idx = np.block([[tiles[g] for g in row] for row in grid])
    pal = np.array([(20, 20, 40), (60, 120, 60), (200, 180, 80), (120, 60, 30), (80, 160, 220),
                    (240, 240, 240)], dtype=np.uint8)
    Image.fromarray(pal[idx]).save(out / "pixel_art.png")


GENERATORS = (_charts, _text_page, _code_editor, _dialog, _spreadsheet, _icons_rgba, _pixel_art)


def generate(force: bool = False) -> Path:
    """Draws the generated part of the corpus into the cache directory (once)."""
    out = cache_dir()
    done = out / ".complete"
    if done.exists() and not force:
        return out
    out.mkdir(parents=True, exist_ok=True)
    for gen in GENERATORS:
        gen(out)
    done.write_text("ok\n")
    return out


def graphics_paths() -> list[Path]:
    """Every image of the graphics corpus, generated ones first."""
    from orv.bench import JXL_PACKAGE, package_files
    paths = sorted(p for p in generate().iterdir() if p.suffix == ".png")
    try:
        import skimage
        data = Path(skimage.__file__).parent / "data"
        paths += [data / n for n in SKIMAGE_GRAPHICS if (data / n).exists()]
    except ImportError:
        pass
    jxl = package_files(JXL_PACKAGE)
    for rel in JXL_SYNTHETIC:
        paths += [p for p in jxl if p.as_posix().endswith("/" + rel) and p.is_file()]
    return paths


if __name__ == "__main__":
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))
    generate(force="--force" in sys.argv)
    for p in graphics_paths():
        print(p)
