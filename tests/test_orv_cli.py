"""The Pillow plugin and the `orv` command line (run as a subprocess)."""
import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

import orv
import orv_rans


def sample(shape, seed=0):
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[:shape[0], :shape[1]]
    base = (y * 2 + x) % 256
    img = (base[..., None] if len(shape) == 3 else base) + rng.integers(0, 6, size=shape)
    return (img % 256).astype(np.uint8)


def run_orv(*args, cwd=None):
    """Runs `python -m orv` with the same orv and orv_rans as this process."""
    env = dict(os.environ)
    paths = [str(Path(orv.__file__).parent.parent), str(Path(orv_rans.__file__).parent)]
    env["PYTHONPATH"] = os.pathsep.join(paths + [env.get("PYTHONPATH", "")])
    return subprocess.run([sys.executable, "-m", "orv", *map(str, args)], env=env, cwd=cwd,
                          capture_output=True, text=True, timeout=300)


# ------------------------------------------------------------------ Pillow plugin

@pytest.mark.parametrize("mode, shape", [("L", (21, 34)), ("RGB", (21, 34, 3)),
                                         ("RGBA", (21, 34, 4))])
def test_pillow_open_and_save(tmp_path, mode, shape):
    img = sample(shape)
    path = tmp_path / "x.orv"
    Image.fromarray(img).save(path)
    assert path.read_bytes()[:8] == b"\x89ORV\r\n\x1a\n"
    with Image.open(path) as im:
        assert (im.format, im.mode, im.size) == ("ORV", mode, (34, 21))
        np.testing.assert_array_equal(np.asarray(im), img)
    np.testing.assert_array_equal(orv.read(path), img)


def test_pillow_save_options_and_conversions(tmp_path):
    img = sample((16, 16, 3))
    p = tmp_path / "a.orv"
    Image.fromarray(img).save(p, coder="bitpair")
    assert set(orv.info(p.read_bytes())["coders"].values()) == {"bitpair"}
    with Image.open(p) as im:
        assert im.info["orv_coders"] == ("bitpair",) * 3
    # modes that hold no more than 8-bit L, RGB or RGBA are converted losslessly
    pal = Image.fromarray(img).convert("P")
    pal.save(tmp_path / "p.orv")
    with Image.open(tmp_path / "p.orv") as im:
        assert im.mode == "RGB"
        np.testing.assert_array_equal(np.asarray(im), np.asarray(pal.convert("RGB")))
    la = Image.fromarray(sample((9, 7, 4))).convert("LA")
    la.save(tmp_path / "la.orv")
    with Image.open(tmp_path / "la.orv") as im:
        np.testing.assert_array_equal(np.asarray(im), np.asarray(la.convert("RGBA")))
    Image.fromarray(sample((8, 8)) > 100).save(tmp_path / "bw.orv")
    assert orv.read(tmp_path / "bw.orv").shape == (8, 8)
    with pytest.raises(OSError, match="mode"):
        Image.new("I;16", (4, 4)).save(tmp_path / "deep.orv")


def test_pillow_does_not_claim_other_files(tmp_path):
    Image.fromarray(sample((5, 5, 3))).save(tmp_path / "x.png")
    with Image.open(tmp_path / "x.png") as im:
        assert im.format == "PNG"
    (tmp_path / "junk.orv").write_bytes(b"\x89ORV\r\n\x1a\n" + b"\0" * 40)
    with pytest.raises(Exception):
        Image.open(tmp_path / "junk.orv").load()


# ------------------------------------------------------------------ command line

def test_encode_decode_info_files(tmp_path):
    img = sample((30, 41, 4))
    Image.fromarray(img).save(tmp_path / "in.png")
    r = run_orv("encode", tmp_path / "in.png", tmp_path / "out.orv", "--coder", "shard")
    assert r.returncode == 0, r.stderr
    np.testing.assert_array_equal(orv.read(tmp_path / "out.orv"), img)
    for suffix in (".png", ".webp", ".tiff", ".bmp"):
        if suffix == ".bmp":
            continue  # BMP has no 4-channel lossless form in Pillow
        r = run_orv("decode", tmp_path / "out.orv", tmp_path / f"back{suffix}")
        assert r.returncode == 0, r.stderr
        with Image.open(tmp_path / f"back{suffix}") as im:
            np.testing.assert_array_equal(np.asarray(im), img)
    r = run_orv("info", tmp_path / "out.orv")
    assert r.returncode == 0 and "41 x 30 RGBA" in r.stdout and "shard" in r.stdout
    r = run_orv("info", "--json", tmp_path / "out.orv")
    meta = json.loads(r.stdout)
    assert meta["width"] == 41 and meta["coders"]["alpha"] == "shard"


def test_directories_are_converted_in_parallel(tmp_path):
    src = tmp_path / "src"
    (src / "deep").mkdir(parents=True)
    images = {"a.png": sample((12, 13, 3)), "b.png": sample((7, 9)), "deep/c.png": sample((5, 6, 4))}
    for name, img in images.items():
        Image.fromarray(img).save(src / name)
    (src / "notes.txt").write_text("not an image")
    r = run_orv("encode", src, tmp_path / "enc", "-j", "2", "--progress")
    assert r.returncode == 0, r.stderr
    assert "3 of 3 files converted" in r.stdout and "3/3" in r.stderr
    r = run_orv("decode", tmp_path / "enc", tmp_path / "dec", "--format", "png")
    assert r.returncode == 0, r.stderr
    for name, img in images.items():
        np.testing.assert_array_equal(orv.read((tmp_path / "enc" / name).with_suffix(".orv")), img)
        with Image.open(tmp_path / "dec" / name) as im:
            np.testing.assert_array_equal(np.asarray(im), img)


def test_errors_are_reported_not_raised(tmp_path):
    data = bytearray(orv.encode(sample((10, 10, 3))))
    data[-5] ^= 0xFF
    (tmp_path / "bad.orv").write_bytes(bytes(data))
    r = run_orv("decode", tmp_path / "bad.orv", tmp_path / "bad.png")
    assert r.returncode == 1 and "orv: error:" in r.stderr and "Traceback" not in r.stderr
    assert not (tmp_path / "bad.png").exists()
    Image.fromarray(sample((4, 4))).save(tmp_path / "real.png")
    r = run_orv("info", tmp_path / "real.png")
    assert r.returncode == 1 and "magic" in r.stderr
    r = run_orv("encode", tmp_path / "missing.png", tmp_path / "x.orv")
    assert r.returncode == 1 and "orv: error:" in r.stderr
    r = run_orv("frobnicate")
    assert r.returncode == 2


def test_demo_runs_without_arguments():
    r = run_orv("demo")
    assert r.returncode == 0, r.stderr
    assert "bit for bit: yes" in r.stdout and "PNG optimize" in r.stdout
    assert "astronaut" in r.stdout


def test_bench_on_given_files(tmp_path):
    for i in range(2):
        Image.fromarray(sample((20, 24, 3), seed=i)).save(tmp_path / f"{i}.png")
    plot = tmp_path / "plot.png"
    r = run_orv("bench", tmp_path, "--repeat", "1", "--no-peers",
                *(["--plot", plot] if _has("matplotlib") else []))
    assert r.returncode == 0, r.stderr
    assert "sha256" in r.stdout and "orv auto" in r.stdout and "bpp" in r.stdout
    if _has("matplotlib"):
        assert plot.stat().st_size > 1000


def _has(name):
    try:
        __import__(name)
        return True
    except ImportError:
        return False
