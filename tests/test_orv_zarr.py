"""Image stacks in one file and the numcodecs codec."""
import json
import os
import struct
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import orv
import orv_rans
from orv import stack

numcodecs = pytest.importorskip("numcodecs")
from orv.numcodecs_codec import Orv  # noqa: E402

pytestmark = pytest.mark.filterwarnings("ignore:Numcodecs codecs are not in the Zarr")


def images(shape, seed=0, noise=6):
    """Smooth gradients with a little noise: what photos and scans look like to a predictor."""
    rng = np.random.default_rng(seed)
    idx = np.indices(shape).sum(axis=0)
    return ((idx * 3 + rng.integers(0, noise, size=shape)) % 256).astype(np.uint8)


def subprocess_env(extra_paths=()):
    env = dict(os.environ)
    paths = [*map(str, extra_paths), str(Path(orv.__file__).parent.parent),
             str(Path(orv_rans.__file__).parent)]
    env["PYTHONPATH"] = os.pathsep.join(paths + [env.get("PYTHONPATH", "")])
    return env


def fake_distribution(tmp_path) -> Path:
    """A dist-info carrying the package's entry points (as `pip install` makes
    it), so that entry-point lookups also work against a source tree."""
    import tomllib

    root = Path(__file__).resolve().parent.parent
    project = tomllib.loads((root / "pyproject.toml").read_text())["project"]
    site = tmp_path / "site"
    info = site / "orv_entry_points-0.dist-info"
    info.mkdir(parents=True)
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: orv-entry-points\nVersion: 0\n")
    lines = []
    for group, entries in project["entry-points"].items():
        lines.append(f"[{group}]")
        lines += [f"{k} = {v}" for k, v in entries.items()]
    (info / "entry_points.txt").write_text("\n".join(lines) + "\n")
    return site


# ------------------------------------------------------------------ stack layout

@st.composite
def arrays(draw):
    lead = tuple(draw(st.lists(st.integers(0, 3), max_size=2)))
    h, w = draw(st.integers(1, 9)), draw(st.integers(1, 9))
    tail = draw(st.sampled_from([(), (3,), (4,), (1,)]))
    shape = lead + (h, w) + tail
    # without a channel axis the last axis could pass for one: say that it is gray
    channels = 1 if not tail else draw(st.sampled_from([None, tail[0]]))
    seed = draw(st.integers(0, 2**32 - 1))
    if draw(st.booleans()):
        arr = np.random.default_rng(seed).integers(0, 256, size=shape, dtype=np.uint8)
    else:
        arr = images(shape, seed, noise=draw(st.sampled_from([1, 4, 40])))
    return arr, channels


@settings(max_examples=40, deadline=None)
@given(case=arrays(), coder=st.sampled_from(orv.CODERS))
def test_stack_round_trip(case, coder):
    arr, channels = case
    data = stack.encode(arr, coder=coder, channels=channels)
    back = stack.decode(data)
    assert back.shape == arr.shape and back.dtype == np.uint8
    np.testing.assert_array_equal(back, arr)
    codec = Orv(coder=coder, channels=channels)
    np.testing.assert_array_equal(codec.decode(codec.encode(arr)).reshape(arr.shape), arr)


@pytest.mark.parametrize("shape", [(7, 11), (7, 11, 3), (7, 11, 4)])
def test_a_lone_image_is_a_plain_orv_file(shape):
    img = images(shape)
    data = Orv().encode(img)
    assert data == orv.encode(img)
    assert not stack.is_stack(data)
    np.testing.assert_array_equal(orv.decode(data), img)


@pytest.mark.parametrize("shape", [(3, 7, 11), (2, 2, 7, 11, 3), (4, 7, 11, 4), (2, 7, 11, 1)])
def test_every_image_of_a_stack_is_an_orv_file(shape):
    arr = images(shape, seed=3)
    data = Orv(coder="shard").encode(arr)
    assert stack.is_stack(data)
    hdr, files = stack.split(data)
    assert hdr.shape == shape and hdr.count == len(files)
    flat = arr.reshape((-1, 7, 11) + ((arr.shape[-1],) if arr.shape[-1] in (3, 4) else ()))
    for img, f in zip(flat, files):
        np.testing.assert_array_equal(orv.decode(f), img)
        assert orv.info(f)["coders"]["green" if img.ndim == 3 else "gray"] == "shard"
    np.testing.assert_array_equal(orv.decode(data), arr)  # orv.decode reads stacks too
    with pytest.raises(orv.FormatError, match="version 2"):
        orv.codec.decode_single(data)


@pytest.mark.parametrize("shape, channels, layout", [
    ((5, 6), None, (2, 1, False)),
    ((5, 6, 3), None, (3, 3, False)),
    ((5, 6, 4), None, (3, 4, False)),
    ((5, 6, 1), None, (3, 1, True)),
    ((9, 5, 6), None, (2, 1, False)),
    ((9, 5, 6, 3), None, (3, 3, False)),
    ((9, 5, 3), 1, (2, 1, False)),      # a gray stack of images 3 pixels wide
    ((9, 5, 4), 4, (3, 4, False)),
    ((5, 6, 1), 1, (2, 1, False)),
])
def test_image_layout(shape, channels, layout):
    assert stack.image_layout(shape, channels) == layout


def test_explicit_channels_keep_the_shape():
    arr = images((6, 5, 3))
    for channels in (None, 1, 3):
        codec = Orv(channels=channels)
        back = codec.decode(codec.encode(arr))
        assert back.shape == arr.shape
        np.testing.assert_array_equal(back, arr)
    assert stack.split(Orv(channels=1).encode(arr))[0].lead == (6,)


@pytest.mark.parametrize("value, error, match", [
    (np.zeros((4, 4), np.float32), TypeError, "uint8"),
    (np.zeros((4, 4), np.uint16), TypeError, "uint8"),
    (np.zeros((4, 4), bool), TypeError, "uint8"),
    ([[1, 2], [3, 4]], TypeError, "ndarray"),
    (np.zeros(5, np.uint8), ValueError, "height and width"),
    (np.zeros((), np.uint8), ValueError, "height and width"),
    (np.zeros((0, 4), np.uint8), ValueError, "sides"),
    (np.zeros((3, 4, 0, 3), np.uint8), ValueError, "sides"),
    (np.zeros((70000, 1), np.uint8), ValueError, "sides"),
    (np.zeros((1,) * 33 + (2, 2), np.uint8), ValueError, "at most 32"),
])
def test_bad_arrays_are_refused(value, error, match):
    with pytest.raises(error, match=match):
        stack.encode(value)


def test_codec_refuses_what_it_cannot_code():
    with pytest.raises(ValueError, match="serializer"):
        Orv().encode(b"flat bytes of a chunk")
    with pytest.raises(ValueError, match="C order"):
        Orv().encode(np.asfortranarray(images((6, 5, 3))))
    with pytest.raises(ValueError, match="channels"):
        Orv(channels=3).encode(images((6, 5, 4)))
    with pytest.raises(TypeError, match="uint8"):
        Orv().encode(np.zeros((4, 4), np.int16))
    # a non-contiguous view is coded by its values
    view = images((8, 10, 3))[::2, ::-1]
    np.testing.assert_array_equal(Orv().decode(Orv().encode(view)), view)


@pytest.mark.parametrize("config", [{"coder": "fast"}, {"effort": 6}, {"effort": True},
                                    {"channels": 2}, {"channels": True}])
def test_bad_options(config):
    with pytest.raises(ValueError):
        Orv(**config)


def test_config_and_registry():
    codec = numcodecs.get_codec({"id": "orv", "coder": "bitpair", "effort": 2, "channels": 1})
    assert isinstance(codec, Orv)
    assert codec.get_config() == {"id": "orv", "coder": "bitpair", "effort": 2, "channels": 1}
    assert numcodecs.get_codec(codec.get_config()) == codec
    assert codec != Orv()
    json.dumps(Orv().get_config())
    assert "bitpair" in repr(codec)


@pytest.mark.parametrize("shape", [(6, 5, 3), (2, 6, 5), (3, 6, 5, 4)])
def test_decode_into_out(shape):
    arr = images(shape)
    data = Orv().encode(arr)
    out = np.zeros(arr.size, np.uint8)
    assert Orv().decode(data, out=out) is not None
    np.testing.assert_array_equal(out, arr.reshape(-1))
    wide = np.zeros(arr.size // 2 if arr.size % 2 == 0 else arr.size, np.uint16)
    if wide.nbytes != arr.nbytes:
        with pytest.raises(ValueError, match="bytes"):
            Orv().decode(data, out=wide)
    with pytest.raises(ValueError, match="bytes"):
        Orv().decode(data, out=np.zeros(arr.size + 1, np.uint8))


# ------------------------------------------------------------------ damaged stacks

def _stack_bytes():
    return stack.encode(images((3, 5, 7, 3), seed=9), coder="bitpair")


def test_every_truncation_is_refused():
    data = _stack_bytes()
    for cut in range(len(data)):
        with pytest.raises(orv.FormatError):
            stack.decode(data[:cut])
    with pytest.raises(orv.FormatError, match="add up"):
        stack.decode(data + b"\0")


def test_every_changed_byte_is_refused():
    data = bytearray(_stack_bytes())
    for pos in range(len(data)):
        for flip in (0x01, 0x80):
            damaged = bytearray(data)
            damaged[pos] ^= flip
            with pytest.raises(orv.FormatError):
                stack.decode(bytes(damaged))


def _with_header(fields: bytes, lead, files) -> bytes:
    import zlib
    from orv.container import varints
    head = b"\x89ORV\r\n\x1a\n" + fields + struct.pack(f"<{len(lead)}I", *lead)
    head += varints([len(f) for f in files])
    return head + struct.pack("<I", zlib.crc32(head)) + b"".join(files)


@pytest.mark.parametrize("fields, lead, files, match", [
    # version, channels, D, flags, width, height
    (struct.pack("<BBBBII", 2, 1, 1, 0, 7, 5), (1,), "gray8", "has shape"),
    (struct.pack("<BBBBII", 2, 3, 1, 0, 7, 5), (1,), "gray", "has shape"),
    (struct.pack("<BBBBII", 2, 2, 1, 0, 7, 5), (1,), "gray", "channel count"),
    (struct.pack("<BBBBII", 2, 1, 33, 0, 7, 5), (1,) * 33, "gray", "leading axes"),
    (struct.pack("<BBBBII", 2, 1, 1, 2, 7, 5), (1,), "gray", "flags"),
    (struct.pack("<BBBBII", 2, 3, 1, 1, 7, 5), (1,), "gray", "flags"),
    (struct.pack("<BBBBII", 2, 1, 1, 0, 0, 5), (1,), "gray", "sides"),
    (struct.pack("<BBBBII", 2, 1, 2, 0, 7, 5), (60000, 60000), "gray", "cannot fit"),
])
def test_inconsistent_stack_headers(fields, lead, files, match):
    gray = orv.encode(images((5, 7)))
    gray8 = orv.encode(images((5, 8)))
    blobs = {"gray": [gray], "gray8": [gray8]}[files]
    with pytest.raises(orv.FormatError, match=match):
        stack.decode(_with_header(fields, lead, blobs))


def test_stack_limits_and_misc():
    data = stack.encode(images((4, 8, 8)))
    with pytest.raises(orv.FormatError, match="max_pixels"):
        stack.decode(data, max_pixels=255)
    assert stack.decode(data, max_pixels=256).shape == (4, 8, 8)
    with pytest.raises(orv.FormatError, match="not an orv stack"):
        stack.split(orv.encode(images((8, 8))))
    with pytest.raises(orv.FormatError, match="magic"):
        stack.decode(b"\x89PNG\r\n\x1a\n" + data[8:])
    empty = stack.encode(np.zeros((0, 2, 8, 8, 3), np.uint8))
    assert stack.decode(empty).shape == (0, 2, 8, 8, 3)


def test_front_end_imports_without_the_extras():
    code = """
        import sys
        for name in ("numcodecs", "zarr", "dask"):
            sys.modules[name] = None        # as if not installed
        import numpy as np, orv, orv.stack
        arr = np.zeros((2, 4, 5), np.uint8)
        assert (orv.stack.decode(orv.stack.encode(arr)) == arr).all()
        from orv import cli
        assert cli.main(["zarr", "a", "b"]) == 1
        print("ok")
    """
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120, env=subprocess_env())
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"
    assert "pip install" in proc.stderr
