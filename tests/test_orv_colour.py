"""Colour transforms (version 4): every transform round trips exactly under
either coder, the encoder takes one from level 4 on only where it is
smaller, and the levels keep their order."""
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import orv
from orv import colour, effort, single, synthetic

TRANSFORMS = list(synthetic.COLOUR_TRANSFORMS)


def inner(coder):
    def code(pixels, pixel_crc):
        return single.encode_pixels(pixels, coder=coder, effort=3, pixel_crc=pixel_crc)
    return code


def correlated_photo(seed, h, w, channels=3):
    """Smooth colour whose red and blue move together against green, as in a photo."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:h, 0:w]
    base = 100 + 60 * np.sin(x / 9.0 + seed) * np.cos(y / 13.0)
    tint = 40 * np.sin((x + 2 * y) / 17.0)
    noise = rng.normal(0, 3, (3, h, w))
    rgb = np.stack([base + tint + noise[0], base + noise[1], base + 0.8 * tint + noise[2]], -1)
    img = np.clip(rgb, 0, 255).astype(np.uint8)
    if channels == 4:
        img = np.concatenate([img, rng.integers(200, 256, (h, w, 1), dtype=np.uint8)], -1)
    return np.ascontiguousarray(img)


images = st.tuples(st.integers(0, 2**32 - 1), st.integers(1, 40), st.integers(1, 40),
                   st.sampled_from([3, 4]), st.booleans())


@given(images, st.sampled_from(TRANSFORMS), st.sampled_from(["shard", "bitpair", "auto"]))
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
def test_every_transform_round_trips(params, transform, coder):
    seed, h, w, channels, noise = params
    img = (np.random.default_rng(seed).integers(0, 256, (h, w, channels), dtype=np.uint8)
           if noise else correlated_photo(seed, h, w, channels))
    data = synthetic.encode_body(img, transform, synthetic.CODING_ORV, inner(coder))
    assert synthetic.is_version4(data)
    np.testing.assert_array_equal(orv.decode(data), img)
    info = orv.info(data)
    assert info["transform"] == colour.TRANSFORMS[transform].name
    assert set(info["coders"]) == set(orv.info(orv.encode(img, effort=1))["coders"])   # the planes


def transform_of(data):
    return orv.info(data).get("transform") if synthetic.is_version4(data) else None


COLOUR_NAMES = {c.name for c in colour.TRANSFORMS.values()}


@pytest.mark.parametrize("channels", [3, 4])
def test_the_encoder_takes_a_transform_from_its_level_only_where_smaller(channels, monkeypatch):
    monkeypatch.setattr(effort, "SYNTHETIC_FROM", len(effort.EFFORTS) + 1)   # no palette or zstd
    img = correlated_photo(7, 96, 80, channels)
    sizes = {}
    for level in effort.EFFORTS:
        data = orv.encode(img, effort=level)
        np.testing.assert_array_equal(orv.decode(data), img)
        sizes[level] = len(data)
        assert (transform_of(data) in COLOUR_NAMES) == (level >= effort.COLOUR_FROM), level
    assert all(sizes[a] >= sizes[b] for a, b in zip(effort.EFFORTS, effort.EFFORTS[1:])), sizes


def test_gray_images_and_forced_coders_get_no_transform():
    gray = correlated_photo(3, 40, 40)[..., 1].copy()
    assert transform_of(orv.encode(gray, effort=5)) not in COLOUR_NAMES
    img = correlated_photo(3, 64, 64)
    assert not synthetic.is_version4(orv.encode(img, effort=5, coder="shard"))

