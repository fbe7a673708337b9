"""Context model 2 (the shard classes split by intensity band): round trips,
the encoder's choice, and crafted headers refused with a FormatError."""
import struct
import zlib

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import orv
from orv import banded, model, single, synthetic
from orv import container as fmt


def noisy_ramp(shape, seed=0, scale=24.0) -> np.ndarray:
    """A photo-like image whose noise grows with its brightness (as shot
    noise does): what the intensity bands are for."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[:shape[0], :shape[1]]
    base = (x * 255 // max(1, shape[1] - 1)).astype(np.float64)
    if len(shape) == 3:
        base = base[..., None] + np.array([0, 10, -10, 0][:shape[2]])
    img = base + rng.normal(size=shape) * (0.5 + scale * base / 255)
    return np.clip(np.rint(img), 0, 255).astype(np.uint8)


def model_of(data: bytes) -> int:
    return fmt.read_header(version_1_image(data))[0].model


def version_1_image(data: bytes) -> bytes:
    """The image file itself, or the one inside a colour-transformed file."""
    if synthetic.is_version4(data):
        return bytes(synthetic.read(data)[0].pixels)
    return data


@pytest.mark.parametrize("shape", [(256, 300), (260, 256, 3), (256, 256, 4)])
def test_banded_classes_pay_and_round_trip(shape):
    img = noisy_ramp(shape)
    e2, e3 = orv.encode(img, effort=2), orv.encode(img, effort=3)
    assert model_of(e3) == model.MODEL_BANDS
    assert len(e3) < len(e2)
    np.testing.assert_array_equal(orv.decode(e3), img)
    hdr = fmt.read_header(version_1_image(e3))[0]
    assert len(hdr.class_map) == model.map_entries(hdr.bounds, hdr.bands)
    assert orv.encode(img, effort=3) == e3                      # deterministic


@settings(max_examples=15, deadline=None)
@given(st.integers(0, 2 ** 32 - 1), st.sampled_from([(256, 256), (256, 256, 3)]),
       st.floats(0.0, 40.0))
def test_forced_band_classes_round_trip(seed, shape, scale):
    """Whatever the map the split gives (even one that does not pay), the file decodes."""
    img = noisy_ramp(shape, seed, scale)
    rng = np.random.default_rng(seed)
    img = (img.astype(np.int64) + rng.integers(0, 3, size=shape)) % 256
    img = img.astype(np.uint8)
    plain = single.fitted_classes(img)
    cells = banded.cell_histograms(img, plain.bounds, plain.class_map)
    if cells is None:
        return
    B = len(cells.thresholds) + 1
    split = model.split_by_band(cells.hist, plain.bounds, plain.class_map, B)
    assert split.max() < model.MAX_SHARDS
    cmap = model.band_map(split, plain.class_map, B)
    cl = single.Classes(plain.bounds, cmap, int(cmap.max()) + 1,
                        model.luts(plain.bounds, cmap, cells.thresholds), cells.thresholds,
                        model.MODEL_BANDS)
    data = single.encode_pixels(img, coder="shard", classes=cl)
    assert model_of(data) == model.MODEL_BANDS
    np.testing.assert_array_equal(orv.decode(data), img)


def test_small_and_flat_images_get_no_bands():
    for img in (noisy_ramp((100, 120, 3)), np.full((300, 300), 7, dtype=np.uint8)):
        data = orv.encode(img, effort=5)
        if data[8] == 1:
            assert fmt.read_header(data)[0].bands == ()
        np.testing.assert_array_equal(orv.decode(data), img)


def test_the_merge_never_exceeds_a_byte_of_shards():
    """Cells that all pay apart are still merged down to what a byte can number."""
    rng = np.random.default_rng(3)
    n = model.n_classes(model.FINE_BOUNDS)
    class_map = np.arange(n, dtype=np.uint8)
    hist = rng.integers(0, 50, size=(1, n * 4, 256)).astype(np.uint32)
    hist[:, :, :4] += rng.integers(10 ** 4, 10 ** 6, size=(1, n * 4, 4)).astype(np.uint32)
    split = model.split_by_band(hist, model.FINE_BOUNDS, class_map, 4)
    assert int(split.max()) + 1 <= model.MAX_SHARDS


BANDED = orv.encode(noisy_ramp((256, 256)), effort=3)


def rebuild(data: bytes, bands: bytes, kind_and_map: bytes, model_id=2) -> bytes:
    """The file with its model-2 fields replaced and the header checksum made valid."""
    hdr, r = fmt.read_header(data)
    body = fmt._FIXED.pack(fmt.MAGIC, 1, hdr.channels, model_id, len(hdr.bounds), hdr.width,
                           hdr.height, hdr.pixel_crc)
    body += bytes(hdr.bounds) + bands + kind_and_map + bytes(hdr.coders)
    return body + struct.pack("<I", zlib.crc32(body)) + bytes(r.buf[r.pos:])


def test_fitted_classes_without_bands_store_their_map_deflated():
    """Model 2 without thresholds is model 1's classes with a shorter map."""
    img = noisy_ramp((64, 80, 3), scale=3.0)
    cl = single.compact(single.fitted_classes(img))
    data = single.encode_pixels(img, coder="shard", classes=cl)
    hdr = fmt.read_header(data)[0]
    assert (hdr.model, hdr.bands, hdr.class_map) == (model.MODEL_BANDS, (), cl.class_map.tobytes())
    assert len(fmt.pack_header(hdr)) < len(fmt.pack_header(hdr.__class__(
        *[getattr(hdr, f) for f in ("channels", "height", "width")], model.MODEL_ID,
        hdr.bounds, hdr.class_map, hdr.coders, hdr.pixel_crc)))
    np.testing.assert_array_equal(orv.decode(data), img)
    # the same classes written as model 1 (the raw map) decode the same
    raw = rebuild(data, b"", bytes([1]) + hdr.class_map, model_id=1)
    np.testing.assert_array_equal(orv.decode(raw), img)


def test_rebuilt_header_decodes():
    hdr = fmt.read_header(BANDED)[0]
    raw = bytes([1]) + hdr.class_map
    data = rebuild(BANDED, bytes([len(hdr.bands), *hdr.bands]), raw)
    np.testing.assert_array_equal(orv.decode(data), orv.decode(BANDED))


@pytest.mark.parametrize("fault, words", [
    ("no map", "needs a class map"),
    ("four thresholds", "intensity thresholds"),
    ("thresholds out of order", "intensity thresholds"),
    ("threshold 0", "intensity thresholds"),
    ("short map", "class map holds"),
    ("long map", "class map is corrupt"),
    ("broken map", "class map is corrupt"),
    ("map kind 3", "class map kind"),
    ("map beyond the shards", "shard tables|do not add up"),
    ("model 1 deflated map", "class map kind"),
])
def test_crafted_model_2_headers_are_refused(fault, words):
    hdr = fmt.read_header(BANDED)[0]
    t = bytes([len(hdr.bands), *hdr.bands])
    cmap = hdr.class_map

    def deflated(m):
        z = zlib.compress(m)
        return bytes([2]) + struct.pack("<H", len(z)) + z

    data = {
        "no map": lambda: rebuild(BANDED, t, bytes([0])),
        "four thresholds": lambda: rebuild(BANDED, bytes([4, 10, 20, 30, 40]),
                                           bytes([1]) + cmap + cmap[:len(cmap) // 4]),
        "thresholds out of order": lambda: rebuild(BANDED, bytes([len(hdr.bands)]) +
                                                   bytes(sorted(hdr.bands, reverse=True)),
                                                   deflated(cmap)),
        "threshold 0": lambda: rebuild(BANDED, bytes([len(hdr.bands), 0, *hdr.bands[1:]]),
                                       deflated(cmap)),
        "short map": lambda: rebuild(BANDED, t, deflated(cmap[:-1])),
        "long map": lambda: rebuild(BANDED, t, deflated(cmap + b"\0")),
        "broken map": lambda: rebuild(BANDED, t, bytes([2, 3, 0, 1, 2, 3])),
        "map kind 3": lambda: rebuild(BANDED, t, bytes([3]) + cmap),
        "map beyond the shards": lambda: rebuild(BANDED, t, deflated(bytes([255]) + cmap[1:])),
        "model 1 deflated map": lambda: rebuild(BANDED, b"", deflated(cmap[:225]), model_id=1),
    }[fault]()
    with pytest.raises(orv.FormatError, match=words):
        orv.decode(data)
