"""Zarr 3 and version-2 arrays coded with orv, and the codec's entry points."""
import json
import subprocess
import sys
import textwrap

import numpy as np
import pytest

zarr = pytest.importorskip("zarr", minversion="3.1.3")
from orv.numcodecs_codec import Orv, zarr_serializer  # noqa: E402
from orv import stack  # noqa: E402
from test_orv_zarr import fake_distribution, images, subprocess_env  # noqa: E402

pytestmark = pytest.mark.filterwarnings("ignore:Numcodecs codecs are not in the Zarr")



@pytest.mark.parametrize("shape, chunks", [
    ((5, 20, 30), (2, 20, 30)),              # a partial last chunk
    ((5, 20, 30, 3), (1, 20, 30, 3)),
    ((3, 20, 30, 4), (3, 20, 30, 4)),
    ((45, 70, 3), (16, 32, 3)),              # one large image in tiles, partial at the edges
    ((2, 3, 9, 9), (2, 2, 9, 9)),
])
def test_zarr3_array_round_trip(tmp_path, shape, chunks):
    arr = images(shape, seed=5)
    z = zarr.create_array(store=tmp_path / "a.zarr", shape=shape, chunks=chunks, dtype="uint8",
                          serializer=zarr_serializer(), compressors=None)
    z[:] = arr
    meta = json.loads((tmp_path / "a.zarr" / "zarr.json").read_text())
    assert [c["name"] for c in meta["codecs"]] == ["numcodecs.orv"]
    again = zarr.open_array(tmp_path / "a.zarr", mode="r")
    np.testing.assert_array_equal(again[:], arr)
    np.testing.assert_array_equal(again[1:3, 4:9], arr[1:3, 4:9])
    # every stored chunk is an .orv file (a plain one for a lone image)
    chunk_files = [p for p in (tmp_path / "a.zarr" / "c").rglob("*") if p.is_file()]
    assert chunk_files
    for p in chunk_files:
        assert p.read_bytes()[:8] == b"\x89ORV\r\n\x1a\n"
        stack.decode(p.read_bytes())


def test_zarr3_sharded_and_v2_arrays(tmp_path):
    arr = images((8, 12, 10, 3), seed=6)
    z = zarr.create_array(store=tmp_path / "s.zarr", shape=arr.shape, chunks=(1, 12, 10, 3),
                          shards=(4, 12, 10, 3), dtype="uint8", serializer=zarr_serializer(),
                          compressors=None)
    z[:] = arr
    np.testing.assert_array_equal(zarr.open_array(tmp_path / "s.zarr")[:], arr)
    z2 = zarr.create_array(store=tmp_path / "v2.zarr", shape=arr.shape, chunks=(3, 12, 10, 3),
                           dtype="uint8", zarr_format=2, compressors=Orv(coder="shard"),
                           filters=None)
    z2[:] = arr
    meta = json.loads((tmp_path / "v2.zarr" / ".zarray").read_text())
    assert meta["compressor"]["id"] == "orv"
    np.testing.assert_array_equal(zarr.open_array(tmp_path / "v2.zarr")[:], arr)
    # Fortran order would read the pixels back scrambled: refused when writing
    zf = zarr.create_array(store=tmp_path / "f.zarr", shape=arr.shape, chunks=(3, 12, 10, 3),
                           dtype="uint8", zarr_format=2, compressors=Orv(), order="F")
    with pytest.raises(ValueError, match="C order"):
        zf[:] = arr


@pytest.mark.parametrize("dtype, chunks, match", [("uint16", (2, 8, 8), "uint8"),
                                                  ("uint8", (64,), "height and width")])
def test_zarr3_refuses_arrays_it_cannot_store(tmp_path, dtype, chunks, match):
    with pytest.raises(ValueError, match=match):
        zarr.create_array(store=tmp_path / "x.zarr", shape=(4,) * len(chunks), chunks=chunks,
                          dtype=dtype, serializer=zarr_serializer(), compressors=None)


def test_codec_found_through_entry_points_alone(tmp_path):
    """A fresh process that never imports orv finds the codec by its id, and
    reads a Zarr array written with it."""
    arr = images((3, 9, 11, 3), seed=8)
    z = zarr.create_array(store=tmp_path / "e.zarr", shape=arr.shape, chunks=(2, 9, 11, 3),
                          dtype="uint8", serializer=zarr_serializer(effort=2), compressors=None)
    z[:] = arr
    np.save(tmp_path / "expected.npy", arr)
    code = f"""
        import sys, warnings, numpy as np
        warnings.simplefilter("ignore")
        import numcodecs, zarr
        codec = numcodecs.get_codec({{"id": "orv", "effort": 2}})
        assert type(codec).__module__ == "orv.numcodecs_codec", type(codec)
        got = zarr.open_array({str(tmp_path / 'e.zarr')!r}, mode="r")[:]
        assert (got == np.load({str(tmp_path / 'expected.npy')!r})).all()
        assert "orv.numcodecs_codec" in sys.modules
        print("ok")
    """
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120,
                          env=subprocess_env([fake_distribution(tmp_path)]))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"
