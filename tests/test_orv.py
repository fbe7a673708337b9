"""The orv front end: round trips through both coders, input checks, determinism."""
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import orv
from orv import model, shard


CODERS = ["auto", "shard", "bitpair"]


def photo() -> np.ndarray:
    from orv.demo import bundled_photo

    return bundled_photo()


def make(kind: str, shape, seed=0) -> np.ndarray:
    rng = np.random.default_rng(seed)
    if kind == "random":
        return rng.integers(0, 256, size=shape, dtype=np.uint8)
    if kind == "constant":
        return np.full(shape, 200, np.uint8)
    if kind == "gradient":
        h, w = shape[:2]
        g = (np.add.outer(np.arange(h) * 3, np.arange(w) * 5) % 256).astype(np.uint8)
        return np.ascontiguousarray(np.broadcast_to(g[..., None], shape) if len(shape) == 3
                                    else g)
    if kind == "photo":
        p = photo()
        h, w = shape[:2]
        crop = p[:h, :w]
        if len(shape) == 2:
            return np.ascontiguousarray(crop[:, :, 1])
        if shape[2] == 4:
            alpha = (np.add.outer(np.arange(h), np.arange(w)) * 7 % 256).astype(np.uint8)
            return np.ascontiguousarray(np.dstack([crop, alpha]))
        return np.ascontiguousarray(crop)
    raise ValueError(kind)


SHAPES = [(1, 1), (1, 40), (40, 1), (17, 23), (1, 1, 3), (1, 9, 3), (9, 1, 4), (31, 29, 3),
          (31, 29, 4), (2, 2, 4), (64, 65)]


@pytest.mark.parametrize("coder", CODERS)
@pytest.mark.parametrize("kind", ["random", "constant", "gradient", "photo"])
@pytest.mark.parametrize("shape", SHAPES, ids=str)
def test_round_trip(shape, kind, coder):
    img = make(kind, shape)
    data = orv.encode(img, coder=coder)
    out = orv.decode(data)
    assert out.dtype == np.uint8 and out.shape == img.shape
    np.testing.assert_array_equal(out, img)


@pytest.mark.parametrize("coder", CODERS)
@pytest.mark.parametrize("channels", [1, 3, 4])
def test_real_photo_round_trip(channels, coder):
    img = make("photo", (256, 256) if channels == 1 else (256, 256, channels))
    data = orv.encode(img, coder=coder)
    np.testing.assert_array_equal(orv.decode(data), img)
    # a photo compresses: well under 8 bits per sample
    assert len(data) < 0.8 * img.size


@st.composite
def images(draw):
    h = draw(st.integers(1, 24))
    w = draw(st.integers(1, 24))
    ch = draw(st.sampled_from([None, 3, 4]))
    shape = (h, w) if ch is None else (h, w, ch)
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    spread = draw(st.sampled_from([0, 1, 4, 40, 256]))
    base = rng.integers(0, 256, size=shape[:2] + ((1,) if ch else ()))
    noise = rng.integers(0, max(spread, 1), size=shape)
    return ((base + noise) % 256).astype(np.uint8)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(img=images(), coder=st.sampled_from(CODERS))
def test_round_trip_property(img, coder):
    np.testing.assert_array_equal(orv.decode(orv.encode(img, coder=coder)), img)


@pytest.mark.parametrize("coder", CODERS)
@pytest.mark.parametrize("shape", [(1, 1), (3, 70), (64, 65), (57, 61, 3), (33, 47, 4)], ids=str)
def test_effort_two_round_trip(shape, coder):
    img = make("photo", shape)
    data = orv.encode(img, coder=coder, effort=3)   # fitted classes (effort 2 before the scale)
    np.testing.assert_array_equal(orv.decode(data), img)


def test_effort_two_merges_classes_and_is_not_larger():
    img = make("photo", (256, 256, 3))
    one, two = orv.encode(img, coder="shard"), orv.encode(img, coder="shard", effort=3)
    meta = orv.info(two)
    assert meta["shards_per_plane"] < model.n_classes(model.FINE_BOUNDS)
    assert len(two) <= len(one) * 1.01
    with pytest.raises(ValueError, match="effort"):
        orv.encode(img, effort=6)


def test_merge_classes_map():
    rng = np.random.default_rng(0)
    bounds = (2, 9)
    hist = np.zeros((3, 25, 256), np.int64)
    hist[:, 12, :4] = 10000  # one busy class; the others are nearly empty
    hist[:, :, 1:3] += rng.integers(1, 3, size=(3, 25, 2))  # a few residuals each
    m = model.merge_classes(hist, bounds)
    assert m.shape == (25,) and m.dtype == np.uint8
    assert m.max() < 25 and len(np.unique(m)) == int(m.max()) + 1
    assert len(np.unique(m)) < 25


def test_strided_input_is_accepted():
    img = make("photo", (40, 50, 3))
    view = img.transpose(1, 0, 2)
    assert not view.flags.c_contiguous
    np.testing.assert_array_equal(orv.decode(orv.encode(view)), view)
    sliced = img[::2, ::3]
    np.testing.assert_array_equal(orv.decode(orv.encode(sliced)), sliced)


@pytest.mark.parametrize("bad, exc, words", [
    ([[1, 2], [3, 4]], TypeError, "numpy.ndarray"),
    (np.zeros((4, 4), np.uint16), TypeError, "uint8"),
    (np.zeros((4, 4), np.float32), TypeError, "uint8"),
    (np.zeros((4, 4), np.int8), TypeError, "uint8"),
    (np.zeros(16, np.uint8), ValueError, "shape"),
    (np.zeros((4, 4, 2), np.uint8), ValueError, "shape"),
    (np.zeros((4, 4, 5), np.uint8), ValueError, "shape"),
    (np.zeros((2, 4, 4, 3), np.uint8), ValueError, "shape"),
    (np.zeros((0, 4), np.uint8), ValueError, "sides"),
    (np.zeros((4, 0, 3), np.uint8), ValueError, "sides"),
    (np.broadcast_to(np.zeros((1, 1), np.uint8), (1, 65536)), ValueError, "sides"),
    (np.broadcast_to(np.zeros((1, 1), np.uint8), (20000, 20000)), ValueError, "limit"),
], ids=lambda v: getattr(v, "shape", None) and str(v.shape) or str(v)[:20])
def test_bad_images_are_refused(bad, exc, words):
    with pytest.raises(exc, match=words):
        orv.encode(bad)


def test_bad_coder_is_refused():
    with pytest.raises(ValueError, match="coder"):
        orv.encode(np.zeros((2, 2), np.uint8), coder="png")


@pytest.mark.parametrize("kind", ["photo", "gradient", "random"])
def test_auto_is_never_much_larger_than_either_coder(kind):
    img = make(kind, (80, 90, 4))
    sizes = {c: len(orv.encode(img, coder=c)) for c in CODERS}
    assert sizes["auto"] <= min(sizes["shard"], sizes["bitpair"]) + 64


def test_flat_and_graphic_images_are_tiny():
    assert len(orv.encode(np.zeros((512, 512, 3), np.uint8))) < 300
    stripes = np.zeros((256, 256), np.uint8)
    stripes[:, ::8] = 255
    assert len(orv.encode(stripes)) < 4000


def test_read_write_and_info(tmp_path):
    img = make("photo", (48, 64, 4))
    path = tmp_path / "a.orv"
    n = orv.write(path, img, coder="shard")
    assert path.stat().st_size == n
    np.testing.assert_array_equal(orv.read(path), img)
    meta = orv.info(path.read_bytes())
    assert (meta["width"], meta["height"], meta["channels"], meta["mode"]) == (64, 48, 4, "RGBA")
    assert set(meta["coders"].values()) == {"shard"}
    assert sum(meta["sections"].values()) == n


def test_small_images_get_fewer_shards():
    assert model.n_classes(shard.shard_bounds(16)) < model.n_classes(shard.shard_bounds(10**6))


def test_model_tables_are_well_formed():
    t = model.templates()
    assert t.shape == (model.N_TEMPLATES, 256) and model.N_TEMPLATES <= 252
    assert (t.sum(axis=1) == 4096).all() and (t >= 1).all()
    for bounds in [(), (3,), (1, 4, 12), (1, 2, 5, 12, 30), (1, 2, 3, 4, 5, 6, 7)]:
        s, i, d = model.luts(bounds)
        assert s.shape == (511, 511) and i.shape == (256,)
        assert int(s.max()) + 1 == d.shape[0] == model.n_classes(bounds)
        assert int(d.max()) < model.n_classes(bounds) <= 225
        # equal gradients of opposite sign land in different classes
        if bounds:
            assert s[255 + 5, 255 - 5] != s[255 - 5, 255 + 5]


@pytest.mark.parametrize("bounds", [(0,), (5, 5), (4, 2), (256,), tuple(range(1, 9))])
def test_invalid_bounds_are_refused(bounds):
    with pytest.raises(ValueError):
        model.check_bounds(bounds)


def test_pair_tables_from_levels_are_valid():
    rng = np.random.default_rng(3)
    levels = rng.integers(0, model.PAIR_LEVEL_MAX + 1, size=(4, 64, 4)).astype(np.uint8)
    sf, cf = model.pair_tables(levels)
    assert (sf >= 1).all() and (sf.astype(int).sum(axis=2) == 4096).all()
    assert (cf[:, :, 0] == 0).all() and (cf[:, :, 4] == 4096).all()
    # the encoder's levels of a rebuilt table give the same table back
    sf2, _ = model.pair_tables(model.pair_levels(sf))
    assert np.abs(sf2.astype(int) - sf.astype(int)).max() < 4096 // 8
