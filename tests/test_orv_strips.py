"""Large images as strips (format version 3): round trips, the cut, damage."""
import os
import struct
import subprocess
import sys
import zlib

import numpy as np
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import orv
from orv import effort as effort_scale
from orv import native, single, stack, strips
from orv import container as fmt


def sample(shape, seed=1) -> np.ndarray:
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[:shape[0], :shape[1]]
    base = (y * 3 + x * 5) % 256
    img = (base[..., None] if len(shape) == 3 else base) + rng.integers(0, 9, size=shape)
    return (img % 256).astype(np.uint8)


@pytest.fixture
def small_strips(monkeypatch):
    """Strips from 300 pixels on, none below 200 beyond two: small images take the strip path."""
    monkeypatch.setattr(strips, "STRIP_THRESHOLD", 300)
    monkeypatch.setattr(strips, "STRIP_PIXELS", 200)


@given(h=st.integers(1, 65535), w=st.integers(1, 65535))
@example(h=2337, w=58195)  # 34 strips of 68 or 69 rows would leave some below STRIP_PIXELS
def test_strip_heights_cut_by_size_alone(h, w):
    if h * w > fmt.MAX_PIXELS:
        return
    heights = strips.strip_heights(h, w)
    assert sum(heights) == h and min(heights) >= 1 and max(heights) - min(heights) <= 1
    if h * w < strips.STRIP_THRESHOLD:
        assert heights == (h,)
    else:
        assert len(heights) % 2 == 0
        assert len(heights) == 2 or min(heights) * w >= strips.STRIP_PIXELS


@settings(max_examples=40, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])  # the same patch every time
@given(h=st.integers(1, 40), w=st.integers(1, 30), ch=st.sampled_from([1, 3, 4]),
       coder=st.sampled_from(orv.CODERS), seed=st.integers(0, 99), meta=st.booleans())
def test_round_trip_across_the_threshold(monkeypatch, h, w, ch, coder, seed, meta):
    monkeypatch.setattr(strips, "STRIP_THRESHOLD", 300)
    monkeypatch.setattr(strips, "STRIP_PIXELS", 200)
    img = sample((h, w) if ch == 1 else (h, w, ch), seed)
    extra = {"exif": b"Exif\0\0MM", "xmp": "<x/>"} if meta else {}
    data = orv.encode(img, coder=coder, **extra)
    assert orv.info(data)["version"] == (3 if h * w >= 300 else 1)
    back = orv.decode_with_metadata(data)
    np.testing.assert_array_equal(back.pixels, img)
    assert (back.exif, back.xmp) == ((b"Exif\0\0MM", b"<x/>") if meta else (None, None))


def test_strip_file_matches_its_single_image_strips():
    img = sample((37, 20, 3))
    data = strips.encode_strips(img, (10, 20, 7), coder="shard", icc_profile=b"icc")
    s = strips.split(data)
    assert s.hdr.heights == (10, 20, 7) and s.meta.icc_profile == b"icc"
    tops = [0, 10, 30, 37]
    for i, f in enumerate(s.files):
        assert bytes(f) == single.encode(img[tops[i]:tops[i + 1]], coder="shard")
    info = orv.info(data)
    assert info["strips"] == [10, 20, 7] and info["size"] == len(data)
    assert sum(info["sections"].values()) == len(data)


def test_a_large_image_is_cut_into_two_strips():
    img = sample((1000, 2000))              # exactly the threshold: 2 MP
    data = orv.encode(img, coder="shard")
    assert orv.info(data)["strips"] == [500, 500]
    np.testing.assert_array_equal(orv.decode(data), img)
    assert orv.info(orv.encode(img[:999], coder="shard"))["version"] == 1


@pytest.mark.parametrize("shape, effort", [((20, 20, 3), 4), ((20, 20, 3), 5), ((20, 20), 5),
                                           ((40, 20, 3), 5)])
def test_the_searching_level_keeps_two_strips_whole_where_smaller(small_strips, shape, effort):
    img = sample(shape)
    heights = strips.strip_heights(*shape[:2])
    cut = strips.encode_strips(img, heights, effort=effort)
    whole = single.encode(img, effort=effort)
    assert len(whole) < len(cut)     # small images: the second strip's tables weigh
    tried = effort >= effort_scale.WHOLE_FROM and len(heights) == 2
    data = orv.encode(img, effort=effort)
    assert data == (whole if tried else cut)
    np.testing.assert_array_equal(orv.decode(data), img)


def test_same_bytes_for_every_worker_count():
    script = ("import hashlib, numpy as np, orv\n"
              "y, x = np.mgrid[:1200, :1700]\n"
              "img = np.dstack([(x * y) % 251, x % 256, (y * 7) % 256]).astype(np.uint8)\n"
              "d = orv.encode(img, coder='auto')\n"
              "assert orv.info(d)['version'] == 3 and (orv.decode(d) == img).all()\n"
              "print(hashlib.sha256(d).hexdigest())\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    digests = {subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                              check=True, env=dict(env, RAYON_NUM_THREADS=str(n))).stdout
               for n in (1, 2)}
    assert len(digests) == 1


@pytest.mark.parametrize("value, expected", [("3", 3), ("+2", 2), ("0", None), ("x", None),
                                             ("", None), ("-1", None)])
def test_workers_read_as_the_pool_does(monkeypatch, value, expected):
    monkeypatch.setenv("RAYON_NUM_THREADS", value)
    monkeypatch.delenv("RAYON_RS_NUM_CPUS", raising=False)
    assert native.workers() == (expected or native.cpu_count())


# ---------------------------------------------------------------- damage

FILE = strips.encode_strips(sample((9, 11, 3)), (4, 5), coder="auto", exif=b"Exif")
IMG = sample((9, 11, 3))


def craft(ch=3, heights=(4, 5), w=11, h=9, lengths=None, files=None, tail=b"", count=None):
    """A strip file with a valid header checksum around the given fields."""
    s = strips.split(FILE)
    files = [bytes(f) for f in s.files] if files is None else files
    lengths = [len(f) for f in files] if lengths is None else lengths
    head = struct.pack("<8sBBHII", fmt.MAGIC, 3, ch, len(heights) if count is None else count,
                       w, h)
    head += struct.pack(f"<{len(heights)}H", *heights) + fmt.varints(lengths)
    return head + struct.pack("<I", zlib.crc32(head)) + b"".join(files) + tail


def test_crafted_file_decodes():
    np.testing.assert_array_equal(orv.decode(craft()), IMG)


@pytest.mark.parametrize("fields, message", [
    ({"heights": (4, 4)}, "add up"),
    ({"heights": (0, 9)}, "add up"),
    ({"heights": (9,), "count": 0}, "strips in an image"),
    ({"heights": (5, 4)}, "strip 0 is"),
    ({"w": 12}, "strip 0 is"),
    ({"ch": 4}, "strip 0 is"),
    ({"ch": 2}, "channel count"),
    ({"h": 0}, "image sides"),
    ({"lengths": [10, 10]}, "too short"),
    ({"tail": b"junk"}, "trailing bytes"),
])
def test_inconsistent_headers_fail(fields, message):
    with pytest.raises(orv.FormatError, match=message):
        orv.decode(craft(**fields))


def test_metadata_inside_a_strip_fails():
    s = strips.split(FILE)
    files = [bytes(s.files[0]) + fmt.pack_metadata(fmt.Metadata(xmp=b"x")), bytes(s.files[1])]
    with pytest.raises(orv.FormatError, match="carries metadata"):
        orv.decode(craft(files=files))


def test_more_strips_than_bytes_fail_before_reading_them():
    head = struct.pack("<8sBBHII", fmt.MAGIC, 3, 1, 1024, 1, 65535) + b"\x40\x00" * 1024
    with pytest.raises(orv.FormatError, match="cannot fit"):
        orv.decode(head + b"\0" * 100)


def test_every_truncation_fails():
    plain = strips.encode_strips(IMG, (4, 5), coder="auto")   # a cut before metadata is a file
    for n in range(len(plain)):
        with pytest.raises(orv.FormatError):
            orv.decode(plain[:n])


@settings(max_examples=200, deadline=None)
@given(pos=st.integers(0, len(FILE) - 1), bit=st.integers(0, 7))
def test_a_flipped_bit_fails_or_decodes_the_same(pos, bit):
    bad = bytearray(FILE)
    bad[pos] ^= 1 << bit
    try:
        back = orv.decode_with_metadata(bytes(bad))
    except orv.FormatError:
        return
    np.testing.assert_array_equal(back.pixels, IMG)


@pytest.mark.parametrize("damaged", range(4))
def test_a_damaged_strip_of_four_fails_by_its_number(damaged):
    """Four strips go into the result as each is decoded: a damaged one still
    fails the whole call, naming it."""
    heights = (3, 2, 2, 2)
    files = [bytes(f) for f in strips.split(strips.encode_strips(IMG, heights, coder="auto")).files]
    np.testing.assert_array_equal(orv.decode(craft(heights=heights, files=files)), IMG)
    bad = bytearray(files[damaged])
    bad[-6] ^= 0x10       # inside the strip's last section, under its checksum
    files[damaged] = bytes(bad)
    with pytest.raises(orv.FormatError, match=f"strip {damaged}:"):
        orv.decode(craft(heights=heights, files=files))


def test_pixel_limit_applies_to_the_whole_image():
    with pytest.raises(orv.DecompressionBombError):
        orv.decode(FILE, max_pixels=98)
    assert orv.decode(FILE, max_pixels=99).shape == IMG.shape


# ---------------------------------------------------------------- the layers above

def test_stack_pillow_and_cli_read_strips(small_strips, tmp_path):
    from PIL import Image

    from orv import cli
    imgs = np.stack([sample((20, 30, 3), s) for s in range(3)])
    data = stack.encode(imgs, coder="shard", icc_profile=b"icc")
    assert strips.is_strips(stack.split(data)[1][0])
    np.testing.assert_array_equal(orv.decode(data), imgs)
    assert orv.decode_with_metadata(data).icc_profile == b"icc"
    path = tmp_path / "s.orv"
    Image.fromarray(imgs[0]).save(path, xmp=b"<x/>")
    with Image.open(path) as im:
        assert im.info["xmp"] == b"<x/>"
        np.testing.assert_array_equal(np.asarray(im), imgs[0])
    assert orv.info(path.read_bytes())["version"] == 3
    assert cli.main(["info", str(path)]) == 0
