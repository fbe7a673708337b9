"""Version-4 single images: the palette transform and the zstd codings round
trip exactly, are chosen only when smaller, and damaged files are refused."""
import struct
import zlib

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import orv
from orv import container as fmt
from orv import lz, palette, single, synthetic
from orv.errors import FormatError

pytest.importorskip("zstandard")

PALETTE_CODINGS = [(synthetic.TRANSFORM_PALETTE, c) for c in synthetic.CODING_NAMES]
PLAIN_CODINGS = [(synthetic.TRANSFORM_NONE, c)
                 for c in (synthetic.CODING_ZSTD, synthetic.CODING_ZSTD_RES)]


def v1(img, pixel_crc=None):
    # the version-1 coding the default level would write
    return single.encode_pixels(img, synthetic_search=False, pixel_crc=pixel_crc)


def body(img, transform, coding, **kw):
    return synthetic.encode_body(img, transform, coding, v1, **kw)


def few_colour_image(seed, h, w, channels, n_colours, alpha_varies=True):
    """Blocks and runs of at most n_colours distinct pixels."""
    rng = np.random.default_rng(seed)
    shape = (n_colours,) if channels == 1 else (n_colours, channels)
    entries = rng.integers(0, 256, shape, dtype=np.uint8)
    if channels == 4 and not alpha_varies:
        entries[:, 3] = 255
    idx = rng.integers(0, n_colours, (h, w))
    if h > 2 and w > 2:
        idx[h // 3:, : w // 2] = idx[0, 0]   # a flat area
    return np.ascontiguousarray(entries[idx])


few_colours = st.tuples(st.integers(0, 2**32 - 1), st.integers(1, 24), st.integers(1, 24),
                        st.sampled_from([1, 3, 4]), st.integers(1, 256), st.booleans())


@given(few_colours, st.sampled_from(PALETTE_CODINGS + PLAIN_CODINGS),
       st.sampled_from(palette.ORDERS))
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
def test_every_coding_round_trips(params, how, order):
    img = few_colour_image(*params)
    data = body(img, *how, order=order)
    assert synthetic.is_version4(data)
    out = orv.decode(data)
    assert out.dtype == np.uint8 and out.shape == img.shape
    np.testing.assert_array_equal(out, img)


@given(st.integers(0, 2**32 - 1), st.sampled_from([(5, 7), (40, 33, 3), (17, 64, 4)]))
@settings(max_examples=20, deadline=None)
def test_zstd_planes_of_any_image_round_trip(seed, shape):
    img = np.random.default_rng(seed).integers(0, 256, shape, dtype=np.uint8)
    img[: shape[0] // 2] = img[0, 0]
    for how in PLAIN_CODINGS:
        np.testing.assert_array_equal(orv.decode(body(img, *how)), img)


def test_palette_orders_keep_neighbours_close():
    rng = np.random.default_rng(3)
    img = rng.integers(0, 256, (30, 30, 3), dtype=np.uint8)[:, :, :] // 64 * 64
    for order in palette.ORDERS:
        pal = palette.build(img, order)
        assert pal is not None and len(pal.entries) <= 64
        np.testing.assert_array_equal(palette.apply(pal.entries, pal.indices), img)
        assert len(np.unique(pal.entries, axis=0)) == len(pal.entries)
    many = rng.integers(0, 256, (40, 40, 3), dtype=np.uint8)
    assert palette.build(many) is None


@pytest.mark.parametrize("shape,colours", [((60, 80), 6), ((60, 80, 3), 12), ((60, 80, 4), 40)])
def test_encode_chooses_the_smallest_and_round_trips(shape, colours):
    img = few_colour_image(7, *shape[:2], 1 if len(shape) == 2 else shape[2], colours)
    data = orv.encode(img, xmp="<x/>")
    plain = v1(img)
    assert len(data) <= len(plain) + len(fmt.pack_metadata(fmt.Metadata(xmp=b"<x/>")))
    assert synthetic.is_version4(data)
    dec = orv.decode_with_metadata(data)
    np.testing.assert_array_equal(dec.pixels, img)
    assert dec.xmp == b"<x/>"
    meta = orv.info(data)
    assert meta["version"] == 4 and meta["width"] == shape[1]
    # a higher effort tries every candidate a lower one does
    assert len(orv.encode(img, effort=2)) <= len(orv.encode(img))
    thorough = single.synthetic_candidates(img, plain, 5)
    assert len(thorough) <= len(data)
    np.testing.assert_array_equal(orv.decode(thorough), img)


@settings(max_examples=12, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(seed=st.integers(0, 2**32 - 1), side=st.sampled_from([8, 33, 64, 128]),
       channels=st.sampled_from([1, 3]), noise=st.sampled_from([2, 40, 256]))
def test_small_images_keep_zstd_fastest_frames(seed, side, channels, noise):
    # a small image takes zstd's fastest frames before (or instead of) its
    # search level: no level writes more than the smaller of them would take
    rng = np.random.default_rng(seed)
    shape = (side, side) if channels == 1 else (side, side, channels)
    y = np.arange(side)[:, None] if channels == 1 else np.arange(side)[:, None, None]
    img = ((y * 5 + rng.integers(0, noise, shape)) % 256).astype(np.uint8)
    frames = [lz.compress(img.tobytes(), lz.QUICK_LEVEL),
              lz.compress(synthetic._residual_planes(img), lz.QUICK_LEVEL)]
    bound = synthetic.HEADER_BYTES + fmt.SECTION_FRAME + min(map(len, frames))
    sizes = []
    for e in range(2, 6):
        data = orv.encode(img, effort=e)
        np.testing.assert_array_equal(orv.decode(data), img)
        sizes.append(len(data))
    assert sizes[0] <= bound
    assert sizes == sorted(sizes, reverse=True), sizes


@pytest.mark.parametrize("coder", ["auto", "shard", "bitpair"])
def test_photos_and_forced_coders_keep_version_1_byte_for_byte(coder):
    rng = np.random.default_rng(1)
    y, x = np.mgrid[0:200, 0:300]
    img = np.stack([(x + y + rng.integers(0, 40, x.shape)) % 256 for _ in range(3)],
                   axis=-1).astype(np.uint8)
    data = orv.encode(img, coder=coder)
    assert data == single.encode_pixels(img, coder=coder)
    assert data[8] == 1
    flat = np.zeros((40, 40, 3), np.uint8)
    if coder != "auto":
        assert orv.encode(flat, coder=coder)[8] == 1


# ---------------------------------------------------------------- damaged files

def sample_files():
    img = few_colour_image(11, 20, 30, 4, 9)
    return {f"{synthetic.TRANSFORM_NAMES[t]} {synthetic.CODING_NAMES[c]}": body(img, t, c)
            for t, c in PALETTE_CODINGS + PLAIN_CODINGS}


SAMPLES = sample_files()


@pytest.mark.parametrize("name", sorted(SAMPLES))
def test_truncated_and_flipped_files_are_refused(name):
    data = SAMPLES[name]
    for n in range(len(data)):
        with pytest.raises(FormatError):
            orv.decode(data[:n])
    rng = np.random.default_rng(5)
    for pos in rng.choice(len(data), size=min(len(data), 80), replace=False):
        bad = bytearray(data)
        bad[pos] ^= 1 << int(rng.integers(0, 8))
        if pos == 8:
            continue  # the version byte: another format's reader answers
        with pytest.raises(FormatError):
            orv.decode(bytes(bad))
    with pytest.raises(FormatError):
        orv.decode(data + b"\0")


def forge(transform, coding, channels=3, h=4, w=5, entries=b"", pixels=b"", crc=0):
    head = struct.pack("<8sBBBBIII", fmt.MAGIC, 4, channels, transform, coding, w, h, crc)
    out = head + struct.pack("<I", zlib.crc32(head))
    if transform == synthetic.TRANSFORM_PALETTE:
        out += fmt.section(entries)
    return out + fmt.section(pixels)


def zframe(n, fill=0):
    return lz.compress(bytes([fill]) * n)


@pytest.mark.parametrize("data,message", [
    (forge(0, 0), "version-1 file"),
    (forge(9, 1), "unknown transform"),
    (forge(2, 1), "needs a colour image coded by orv"),
    (forge(4, 0, channels=1), "needs a colour image coded by orv"),
    (forge(3, 0, pixels=v1(np.zeros((4, 5), np.uint8))), "shape"),
    (forge(0, 3), "unknown coding"),
    (forge(0, 1, channels=2), "channel count"),
    (forge(0, 1, h=0), "sides"),
    (forge(1, 1, entries=b"\1\2"), "palette section is malformed"),
    (forge(1, 1, entries=b""), "palette section is malformed"),
    (forge(1, 1, entries=bytes(3 * 257)), "palette section is malformed"),
    (forge(1, 1, entries=bytes(6), pixels=zframe(20, 2)), "palette entry 2"),
    (forge(0, 1, pixels=zframe(59)), "needs 60"),
    (forge(0, 1, pixels=zframe(61)), "needs 60"),
    (forge(0, 1, pixels=zframe(60) + b"\0"), "after its zstd frame"),
    (forge(0, 1, pixels=zframe(60)[:-3]), "pixels section"),
    (forge(0, 1, pixels=b"not zstd"), "not a zstd frame"),
    (forge(0, 1, pixels=lz._zstd().ZstdCompressor(write_content_size=False).compress(bytes(60))),
     "unknown number"),
    (forge(0, 1, h=16000, w=16000, pixels=zframe(10)), "needs"),
    (forge(1, 0, entries=bytes(3), pixels=v1(np.zeros((5, 4), np.uint8))), "shape"),
    (forge(1, 0, entries=bytes(3), pixels=v1(np.zeros((4, 5, 3), np.uint8))), "shape"),
    (forge(1, 0, entries=bytes(3), pixels=forge(0, 1, 1, pixels=zframe(20))), "version-4"),
    (forge(1, 0, entries=bytes(3), pixels=b"junk"), "pixels section"),
    (forge(1, 0, entries=bytes(3), pixels=orv.encode(np.zeros((4, 5), np.uint8), coder="shard",
                                                     xmp="<x/>")), "metadata"),
    (forge(0, 1, pixels=zframe(60)), "checksum"),
])
def test_forged_files_name_the_part_that_is_wrong(data, message):
    with pytest.raises(FormatError, match=message):
        orv.decode(data, max_pixels=float("inf"))


def test_a_large_claimed_size_is_refused_before_decompressing():
    # a few bytes that would inflate to 768 MB: refused by the pixel limit,
    # or with no limit by the content size the frame declares
    data = forge(0, 1, h=16000, w=16000, pixels=zframe(100))
    with pytest.raises(FormatError):
        orv.decode(data)


def test_stacks_plugin_and_info_read_version4_images(tmp_path):
    from PIL import Image

    from orv import stack
    arr = np.stack([few_colour_image(s, 30, 40, 4, 5) for s in range(3)])
    data = stack.encode(arr)
    assert all(f[8] == 4 for f in stack.split(data)[1])
    np.testing.assert_array_equal(orv.decode(data), arr)
    path = tmp_path / "a.orv"
    path.write_bytes(orv.encode(arr[0], icc_profile=b"icc"))
    with Image.open(path) as im:
        assert im.mode == "RGBA" and im.info["icc_profile"] == b"icc"
        np.testing.assert_array_equal(np.asarray(im), arr[0])
    meta = orv.info(path.read_bytes())
    assert meta["version"] == 4 and meta["metadata"] == {"icc_profile": 3}
    assert sum(meta["sections"].values()) == path.stat().st_size
