"""What an orv file keeps besides pixels (ICC profile, EXIF, XMP), what it
refuses (samples deeper than 8 bits), and files written before metadata existed."""
import base64
import re
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import orv
from orv import container as fmt
from orv import stack

META = st.none() | st.binary(min_size=1, max_size=300)


def image(shape, seed=0):
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[:shape[0], :shape[1]]
    base = (y * 5 + x * 3)[..., None] if len(shape) == 3 else y * 5 + x * 3
    return ((base + rng.integers(0, 9, size=shape)) % 256).astype(np.uint8)


@settings(max_examples=25, deadline=None)
@given(icc=META, exif=META, xmp=META, shape=st.sampled_from([(5, 7), (6, 4, 3), (3, 9, 4)]))
def test_metadata_round_trip(icc, exif, xmp, shape):
    img = image(shape)
    data = orv.encode(img, icc_profile=icc, exif=exif, xmp=xmp)
    got = orv.decode_with_metadata(data)
    np.testing.assert_array_equal(got.pixels, img)
    assert (got.icc_profile, got.exif, got.xmp) == (icc, exif, xmp)
    np.testing.assert_array_equal(orv.decode(data), img)
    present = {k: len(v) for k, v in dict(icc_profile=icc, exif=exif, xmp=xmp).items() if v}
    assert orv.info(data)["metadata"] == present
    # without metadata the file is exactly the one written before metadata existed
    assert len(data) == len(orv.encode(img)) + sum(12 + n for n in present.values())


def test_write_read_and_stacks_carry_metadata(tmp_path):
    img = image((4, 6, 3))
    orv.write(tmp_path / "a.orv", img, exif=b"Exif\0\0MM", xmp="<x:xmpmeta/>")
    data = (tmp_path / "a.orv").read_bytes()
    assert orv.decode_with_metadata(data)[1:] == (None, b"Exif\0\0MM", b"<x:xmpmeta/>")
    frames = np.stack([img, img[::-1]])
    data = stack.encode(frames, icc_profile=b"icc")
    got = orv.decode_with_metadata(data)
    np.testing.assert_array_equal(got.pixels, frames)
    assert got.icc_profile == b"icc" and orv.info(data)["metadata"] == {"icc_profile": 3}
    assert orv.info(data)["images"] == 2


def _with_sections(data: bytes, *bodies: bytes) -> bytes:
    return data + b"".join(fmt.section(b) for b in bodies)


@pytest.mark.parametrize("tail, match", [
    (lambda d: d[:-1], "truncated|trailing"),
    (lambda d: d[:-5] + bytes([d[-5] ^ 1]) + d[-4:], "metadata section is corrupt"),
    (lambda d: _with_sections(d, b"ICC one"), "repeated or out of order"),
    (lambda d: _with_sections(d, b"TEXTabc"), "malformed"),
    (lambda d: _with_sections(d, b"ICC "), "malformed"),
    (lambda d: d + b"\0\0\0", "trailing"),
])
def test_damaged_metadata_is_refused(tail, match):
    data = orv.encode(image((5, 5)), icc_profile=b"profile", exif=b"exif")
    for fn in (orv.decode, orv.decode_with_metadata, orv.info):
        with pytest.raises(orv.FormatError, match=match):
            fn(tail(data))


# files written before metadata existed: an RGBA image (both coders) and a stack of two
# gray images; they decode unchanged forever
OLD_IMAGE = np.array([[[0, 0, 0, 255], [1, 50, 30, 246], [2, 100, 60, 237]],
                      [[40, 0, 30, 255], [41, 50, 60, 246], [42, 100, 90, 0]]], np.uint8)
OLD_FILES = {
    "shard": "iU9SVg0KGgoBBAEBAwAAAAIAAADNR1B7AwAAAAAAW3czITEAAAB42h3GsQkAIAxFwR8fZFm3EGeQNIKFgxpz1QE4XL4FZ0dmwoiuRJOpIkuVnD/LKAVt+LHENdIAAABMzN8WAGQPAIAHTMzfFgAAAAAAANB6ePh3AAAAAAAAAAAAAAAAAAAAO5DiEiE7LEkSAB/7GkprAAAAAACfenj4dwAAAAAAAAAAAAAAAAAAAFFqZuZlAAAAAAAAAAAAAAAAAAAAgEnsRE4AAAAAAAAAAAAAAAAAAAAIEBGREMQ6jmM48Wxm5mUAAAAAAMR6DWU1AAAAAAAAAAAAAAAAAAAAgEnsRE4AAAAAAAAAAAAAAAAAAABpUebvY3Yb1sEcepuZGRlNMCWWBgEAAQAAAAAAAAE4jwlTAwAAAAAAABLZQf8=",  # noqa: E501
    "bitpair": "iU9SVg0KGgoBBAEBAwAAAAIAAADNR1B7AwABAQEB3ntR9jAAAAAAeNqTYGBgEBnBQFwUGAASiDCQoDA8JIZYeIoziILdCwqEwegfWts/0uMfAOnqTWXLGWn/FAAAAKRekAAAb8Mr4wJxwyvjAm/DK+MCO0eFcjwAAAAAeNoTF2VgYJBgYBCBAiATziYHUKqf3mCouZfaQFRUFOx/UCLApQY5fQy3OBIVR03/1PDvUEpTAH8jTXjoR5zUFAAAAG/DK+MCpF6QAAC1tCQKDXPTK+MCEyNTHEIAAAAAeNoTZ2AQFYECBgYGCRECQAKoSGQIA3T3i4oyiDJIYPcTMeGBD1Cqnx4A6H1RiFslGAa7f2hh/1BPz5QCAMEjTYtQ9X9zFAAAAHPDK+MCu9QkCg291CQKDaRekAAAswcAETQAAAAAeNpjkGBgYABiESgAcUUoAGIMYhTppzcQF2YYUu6luv9FqRv/IMOGkv8p9e9QBwDsak4LUo+fHxQAAACJNgGCAfYrYSYHccMr4wKkXpAAAAqSHO4=",  # noqa: E501
    "stack": "iU9SVg0KGgoCAQEAAgAAAAIAAAACAAAAYHcvb3qpiU9SVg0KGgoBAQEBAgAAAAIAAADN+zy2AwAAsmdjRxQAAAB42mNmZmbmA2JmBiBgAREAAjoAK0CyFB8VAAAAv7PPJgC/s88mACcOaAAGv7PPJgAADdfXtgAAAAAAAAAAiU9SVg0KGgoBAQEBAgAAAAIAAADc8n30AwAB2XBMgjQAAAAAeNpjYJBgEAECIAWm0QEDA4OEyAABXG6iJgBawSAyggEojJHDgNTwGOrhN9LjHwBWNk3Rk8SaiRQAAAAQLWAAAAktYAAACi1gAAAJLWAAAFVQgLg=",  # noqa: E501
}


@pytest.mark.parametrize("name", OLD_FILES)
def test_files_written_before_metadata_still_decode(name):
    data = base64.b64decode(OLD_FILES[name])
    want = OLD_IMAGE if name != "stack" else np.array([[[1, 2], [3, 4]], [[9, 8], [7, 6]]], np.uint8)
    got = orv.decode_with_metadata(data)
    np.testing.assert_array_equal(got.pixels, want)
    assert got[1:] == (None, None, None)
    if name != "stack":  # the encoder still writes them byte for byte
        assert orv.encode(want, coder=name) == data


@pytest.mark.parametrize("dtype", [np.uint16, np.int16, np.uint32, np.int64, np.float16,
                                   np.float32, np.float64])
def test_deep_arrays_refused_with_one_message_everywhere(dtype):
    from orv.numcodecs_codec import Orv

    arr = np.zeros((4, 5, 3), dtype)
    messages = set()
    for fn in (orv.encode, stack.encode, Orv().encode):
        with pytest.raises(orv.SampleDepthError) as e:
            fn(arr)
        assert isinstance(e.value, TypeError) and isinstance(e.value, OSError)
        messages.add(str(e.value))
    assert messages == {orv.not_8bit_message(f"a {np.dtype(dtype)} array")}


@settings(max_examples=12, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), shape=st.sampled_from([(9, 13), (24, 20, 3), (16, 30, 4)]),
       noise=st.sampled_from([2, 30, 256]))
def test_effort_2_never_larger_than_effort_1(seed, shape, noise):
    rng = np.random.default_rng(seed)
    img = (image(shape, seed) + rng.integers(0, noise, size=shape)).astype(np.uint8)
    for coder in ("auto", "shard"):
        small = orv.encode(img, coder=coder, effort=3)   # fitted classes
        assert len(small) <= len(orv.encode(img, coder=coder))
        np.testing.assert_array_equal(orv.decode(small), img)


def test_version_is_the_package_version():
    text = (Path(__file__).parents[1] / "pyproject.toml").read_text()
    assert orv.__version__ == re.search(r'^version = "([^"]+)"', text, re.M).group(1)
