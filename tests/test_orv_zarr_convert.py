"""`orv zarr`: a directory of images into a Zarr array, on Dask (a local cluster
of two worker processes among them), checked against the source images."""
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

import orv
import orv_rans

zarr = pytest.importorskip("zarr", minversion="3.1.3")
from orv import zarr_convert  # noqa: E402
from orv.plugin import to_array  # noqa: E402

pytestmark = pytest.mark.filterwarnings("ignore:Numcodecs codecs are not in the Zarr")


def photo(shape, seed):
    rng = np.random.default_rng(seed)
    idx = np.indices(shape).sum(axis=0)
    return ((idx * (seed + 1) + rng.integers(0, 8, size=shape)) % 256).astype(np.uint8)


@pytest.fixture
def image_dir(tmp_path):
    """Seven RGB images in nested directories, in several formats, and a stray file."""
    src = tmp_path / "src"
    (src / "b" / "deep").mkdir(parents=True)
    names = ["a0.png", "a1.bmp", "b/c.png", "b/deep/d.tiff", "b/e.webp", "f.png", "g.ppm"]
    for i, name in enumerate(names):
        options = {"lossless": True} if name.endswith(".webp") else {}
        Image.fromarray(photo((24, 40, 3), i)).save(src / name, **options)
    (src / "notes.txt").write_text("not an image")
    return src


def expected(src):
    files = zarr_convert.image_files(src)
    stackd = []
    for f in files:
        with Image.open(f) as im:
            stackd.append(to_array(im))
    return [f.relative_to(src).as_posix() for f in files], np.stack(stackd)


def check(out, src):
    names, want = expected(src)
    z = zarr.open_array(out, mode="r")
    assert z.attrs["orv"]["files"] == names
    assert z.dtype == np.uint8 and z.shape == want.shape
    np.testing.assert_array_equal(z[:], want)
    return z


def test_on_a_local_cluster_of_two_workers(image_dir, tmp_path):
    distributed = pytest.importorskip("distributed")
    da = pytest.importorskip("dask.array")
    out = tmp_path / "out.zarr"
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster, timeout="60s") as client:
        done = []
        s = zarr_convert.convert(image_dir, out, chunk=3, client=client,
                                 progress=lambda: done.append(1))
        assert (s.images, s.chunks, s.backend) == (7, 3, "dask.distributed")
        assert len(done) == 3
        # the workers decode too: the codec is found there from the stored name
        names, want = expected(image_dir)
        lazy = da.from_zarr(str(out))
        np.testing.assert_array_equal(lazy.compute(), want)
        assert int(lazy.sum(axis=(1, 2, 3)).compute()[2]) == int(want[2].sum(dtype=np.int64))
    z = check(out, image_dir)
    assert z.chunks == (3, 24, 40, 3)
    assert s.stored_bytes and s.stored_bytes > 0


@pytest.mark.parametrize("use_dask, chunk", [(None, 2), (False, 1), (False, 10)])
def test_local_schedulers(image_dir, tmp_path, use_dask, chunk):
    if use_dask is None:
        pytest.importorskip("dask")
    s = zarr_convert.convert(image_dir, tmp_path / "o.zarr", chunk=chunk, use_dask=use_dask,
                             jobs=2, coder="shard")
    assert s.backend == ("dask (threads)" if use_dask is None else "threads")
    assert s.chunks == -(-7 // chunk)
    check(tmp_path / "o.zarr", image_dir)


def test_modes_that_become_one_shape(tmp_path):
    """Gray and 1-bit images make a gray stack; palette with transparency, LA and
    RGBA make an RGBA stack: the same conversion as `orv encode`."""
    gray, rgba = tmp_path / "gray", tmp_path / "rgba"
    gray.mkdir(), rgba.mkdir()
    Image.fromarray(photo((16, 12), 1)).save(gray / "l.png")
    Image.fromarray(photo((16, 12), 2) > 128).save(gray / "m.png")
    pal = Image.fromarray(photo((16, 12, 3), 3)).convert("P")
    pal.info["transparency"] = 0
    pal.save(rgba / "p.png", transparency=0)
    Image.fromarray(photo((16, 12, 4), 4)).convert("LA").save(rgba / "q.png")
    Image.fromarray(photo((16, 12, 4), 5)).save(rgba / "r.png")
    for src, shape in ((gray, (2, 16, 12)), (rgba, (3, 16, 12, 4))):
        s = zarr_convert.convert(src, tmp_path / f"{src.name}.zarr", use_dask=False)
        assert s.shape == shape
        check(tmp_path / f"{src.name}.zarr", src)


def test_refusals(image_dir, tmp_path):
    with pytest.raises(ValueError, match="chunk must be"):
        zarr_convert.convert(image_dir, tmp_path / "x.zarr", chunk=0)
    (tmp_path / "empty").mkdir()
    with pytest.raises(ValueError, match="no images"):
        zarr_convert.convert(tmp_path / "empty", tmp_path / "x.zarr")
    with pytest.raises(NotADirectoryError):
        zarr_convert.convert(image_dir / "f.png", tmp_path / "x.zarr")
    Image.fromarray(photo((24, 41, 3), 9)).save(image_dir / "b" / "odd.png")
    with pytest.raises(ValueError, match=r"odd\.png is 41 x 24 RGB"):
        zarr_convert.convert(image_dir, tmp_path / "x.zarr")
    os.remove(image_dir / "b" / "odd.png")
    Image.new("I;16", (40, 24)).save(image_dir / "deep16.png")
    with pytest.raises(OSError, match="mode"):
        zarr_convert.convert(image_dir, tmp_path / "x.zarr")
    os.remove(image_dir / "deep16.png")
    zarr_convert.convert(image_dir, tmp_path / "x.zarr", use_dask=False)
    with pytest.raises(FileExistsError, match="overwrite"):
        zarr_convert.convert(image_dir, tmp_path / "x.zarr", use_dask=False)
    zarr_convert.convert(image_dir, tmp_path / "x.zarr", use_dask=False, overwrite=True,
                         chunk=4)
    assert zarr.open_array(tmp_path / "x.zarr").chunks[0] == 4


def test_a_file_that_changed_after_the_scan_fails_its_chunk(image_dir, tmp_path):
    shape = zarr_convert.probe_shape(image_dir / "f.png")
    Image.fromarray(photo((24, 40), 9)).save(image_dir / "f.png")
    with pytest.raises(ValueError, match="f.png is 40 x 24 gray"):
        zarr_convert.write_chunk(str(tmp_path / "none.zarr"), [str(image_dir / "f.png")], 0,
                                 shape)


def run_orv(*args):
    env = dict(os.environ)
    paths = [str(Path(orv.__file__).parent.parent), str(Path(orv_rans.__file__).parent)]
    env["PYTHONPATH"] = os.pathsep.join(paths + [env.get("PYTHONPATH", "")])
    return subprocess.run([sys.executable, "-m", "orv", *map(str, args)], env=env,
                          capture_output=True, text=True, timeout=300)


def test_command_line(image_dir, tmp_path):
    pytest.importorskip("distributed")
    out = tmp_path / "cli.zarr"
    proc = run_orv("zarr", image_dir, out, "--chunk", "4", "--workers", "2", "--progress")
    assert proc.returncode == 0, proc.stderr
    assert "7 images" in proc.stdout and "2 chunks" in proc.stdout
    assert "dask.distributed" in proc.stdout
    assert "2/2" in proc.stderr
    check(out, image_dir)
    proc = run_orv("zarr", image_dir, out, "--no-dask")
    assert proc.returncode == 1 and "already holds a Zarr array" in proc.stderr
    proc = run_orv("zarr", image_dir, out, "--no-dask", "--overwrite", "--coder", "bitpair")
    assert proc.returncode == 0, proc.stderr
    assert "(threads)" in proc.stdout
    check(out, image_dir)
