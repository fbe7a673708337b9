"""A channel through the bit-pair coder and back: build the pair tables,
encode, decode with the matching decoder and rebuild the samples. Results
for every pool size: test_determinism.py."""
from __future__ import annotations


import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import orv_rans as o
from test_bitpair_reference import image_luts, random_luts, residual_plane, smooth_image

SETTINGS = settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def luts_for(kind, rng):
    if kind == "image":
        return image_luts(4), 64 * 16
    n = int(rng.integers(1, 12))
    return random_luts(rng, n), 64 * n + int(rng.integers(0, 3)) * 64


def planes(kind, rng, h, w):
    if kind == "random":
        return rng.integers(0, 256, (h, w), dtype=np.uint8)
    if kind == "flat":
        return np.full((h, w), int(rng.integers(0, 256)), np.uint8)
    return smooth_image(rng, h, w, noise=float(rng.integers(0, 20)))


def code_own(resid, gray, luts, h, w, n_ctx):
    """Non-chroma channel: tables, stream, and the decoder that rebuilds its
    own context plane."""
    sf, cf = o.bp_build_pdf_sharded(resid.ravel(), gray.ravel(), *luts, h, w, n_ctx, False)
    st_, bs = o.bp_encode_sharded(resid.ravel(), gray.ravel(), cf, sf, *luts, h, w, n_ctx, False)
    out = o.bp_decode_sharded(bs, *map(int, st_), h, w, cf, sf, *luts)
    dbg, rep = o.bp_decode_sharded_debug(bs, *map(int, st_), h, w, cf, sf, *luts, resid.ravel(),
                                         gray.ravel())
    assert rep is None and np.array_equal(dbg, out)
    return out


def code_chroma(resid, green, luts, h, w, n_ctx):
    sf, cf = o.bp_build_pdf_sharded(resid.ravel(), green.ravel(), *luts, h, w, n_ctx, True)
    st_, bs = o.bp_encode_sharded(resid.ravel(), green.ravel(), cf, sf, *luts, h, w, n_ctx, True)
    return o.bp_decode_sharded_with_ref(bs, *map(int, st_), h, w, cf, sf, green.ravel(), *luts)


def reconstruct(h, w, res):
    """Samples from decoded residuals; None while the image side is missing."""
    try:
        return o.reconstruct_2d_channels(h, w, np.ascontiguousarray(res))
    except NotImplementedError:
        return None


dims = st.tuples(st.integers(0, 23), st.integers(0, 23))


@SETTINGS
@given(dims=dims, seed=st.integers(0, 2**32 - 1), kind=st.sampled_from(["random", "smooth", "flat"]),
       tables=st.sampled_from(["image", "random"]))
def test_gray_channel_round_trip(dims, seed, kind, tables):
    h, w = dims
    rng = np.random.default_rng(seed)
    luts, n_ctx = luts_for(tables, rng)
    samples = planes(kind, rng, h, w)
    gray, resid = residual_plane(samples)
    out = code_own(resid, gray, luts, h, w, n_ctx)
    assert out.shape == (h, w) and out.dtype == np.uint8
    assert np.array_equal(out, resid[1:h + 1, 1:w + 1])
    back = reconstruct(h, w, out)
    if back is not None:
        assert np.array_equal(back, samples)


@SETTINGS
@given(dims=dims, seed=st.integers(0, 2**32 - 1), kind=st.sampled_from(["random", "smooth", "flat"]),
       tables=st.sampled_from(["image", "random"]))
def test_chroma_channel_round_trip(dims, seed, kind, tables):
    h, w = dims
    rng = np.random.default_rng(seed)
    luts, n_ctx = luts_for(tables, rng)
    green = residual_plane(planes("smooth", rng, h, w))[0]
    chroma = planes(kind, rng, h, w)
    resid = residual_plane(chroma)[1]
    out = code_chroma(resid, green, luts, h, w, n_ctx)
    assert np.array_equal(out, resid[1:h + 1, 1:w + 1])
    back = reconstruct(h, w, out)
    if back is not None:
        assert np.array_equal(back, chroma)


@pytest.mark.parametrize("h, w", [(1, 1), (1, 40), (40, 1), (2, 2), (33, 65)])
def test_round_trip_shapes(h, w):
    rng = np.random.default_rng(h * 1000 + w)
    luts = image_luts(4)
    samples = smooth_image(rng, h, w, noise=5)
    gray, resid = residual_plane(samples)
    assert np.array_equal(code_own(resid, gray, luts, h, w, 64 * 16), resid[1:-1, 1:-1])
    chroma_resid = residual_plane(rng.integers(0, 256, (h, w), dtype=np.uint8))[1]
    assert np.array_equal(code_chroma(chroma_resid, gray, luts, h, w, 64 * 16), chroma_resid[1:-1, 1:-1])


def test_decoding_with_another_ref_plane_goes_wrong_quietly():
    rng = np.random.default_rng(2)
    h, w = 12, 13
    luts = image_luts(4)
    green = residual_plane(smooth_image(rng, h, w))[0]
    resid = residual_plane(smooth_image(rng, h, w, noise=15))[1]
    sf, cf = o.bp_build_pdf_sharded(resid.ravel(), green.ravel(), *luts, h, w, 1024, True)
    st_, bs = o.bp_encode_sharded(resid.ravel(), green.ravel(), cf, sf, *luts, h, w, 1024, True)
    other = np.zeros_like(green)
    out = o.bp_decode_sharded_with_ref(bs, *map(int, st_), h, w, cf, sf, other.ravel(), *luts)
    assert out.shape == (h, w) and not np.array_equal(out, resid[1:-1, 1:-1])


def test_real_photo_channels_round_trip():
    skimage_data = pytest.importorskip("skimage.data")
    rgb = skimage_data.astronaut()[96:224, 160:352].astype(np.int64)
    h, w = rgb.shape[:2]
    g = rgb[..., 1].astype(np.uint8)
    rd = ((rgb[..., 0] - rgb[..., 1]) % 256).astype(np.uint8)
    bd = ((rgb[..., 2] - rgb[..., 1]) % 256).astype(np.uint8)
    luts = image_luts(4)
    n_ctx = 64 * 16
    green, gr = residual_plane(g)
    rr, br = residual_plane(rd)[1], residual_plane(bd)[1]
    tables = o.bp_build_pdf_sharded_rgb(gr.ravel(), rr.ravel(), br.ravel(), green.ravel(), *luts, h, w,
                                        n_ctx)
    for (sf, cf), resid, chroma in zip(zip(tables[::2], tables[1::2]), (gr, rr, br), (False, True, True)):
        st_, bs = o.bp_encode_sharded(resid.ravel(), green.ravel(), cf, sf, *luts, h, w, n_ctx, chroma)
        assert len(bs) < h * w  # a photo codes well below a byte per residual
        if chroma:
            out = o.bp_decode_sharded_with_ref(bs, *map(int, st_), h, w, cf, sf, green.ravel(), *luts)
        else:
            out = o.bp_decode_sharded(bs, *map(int, st_), h, w, cf, sf, *luts)
        assert np.array_equal(out, resid[1:-1, 1:-1])


# ------------------------------------------- planes from the image side

def p1_or_skip(fn, *args):
    try:
        return fn(*args)
    except NotImplementedError:
        pytest.skip(f"{fn.__name__} is not built yet")


@pytest.mark.parametrize("seed", range(3))
def test_gray_round_trip_from_phase_one(seed):
    rng = np.random.default_rng(seed)
    h, w = 21, 34
    s_lut, i_lut, d_lut = image_luts(4)
    samples = smooth_image(rng, h, w, noise=6)
    res = p1_or_skip(o.p1_gray, h, w, samples, np.zeros((0, 0), np.uint8), False, 16,
                     s_lut.reshape(511, 511), i_lut, d_lut.reshape(-1, 4))
    gray, resid = res[0], res[7][0]
    out = code_own(resid, gray, (s_lut, i_lut, d_lut), h, w, 64 * 16)
    assert np.array_equal(o.reconstruct_2d_channels(h, w, out), samples)


@pytest.mark.parametrize("seed", range(3))
def test_rgb_round_trip_from_phase_one(seed):
    rng = np.random.default_rng(seed)
    h, w = 19, 27
    s_lut, i_lut, d_lut = image_luts(4)
    rgb = np.stack([smooth_image(rng, h, w, noise=n) for n in (4, 2, 9)], axis=2)
    res = p1_or_skip(o.p1_rgb, h, w, rgb, np.zeros((0, 0), np.uint8), False, 48,
                     s_lut.reshape(511, 511), i_lut, d_lut.reshape(-1, 4))
    green = res[0]
    luts = (s_lut, i_lut, d_lut)
    n_ctx = 64 * 16
    gr, rd, bd = res[10][:3]
    out_g = code_own(gr, green, luts, h, w, n_ctx)
    assert np.array_equal(o.reconstruct_2d_channels(h, w, out_g), rgb[..., 1])
    for resid, plane, ch in ((rd, res[1], 0), (bd, res[2], 2)):
        out = code_chroma(resid, green, luts, h, w, n_ctx)
        back = o.reconstruct_2d_channels(h, w, out)
        assert np.array_equal(back, plane[1:-1, 1:-1])
        expect = ((rgb[..., ch].astype(np.int64) - rgb[..., 1]) % 256).astype(np.uint8)
        assert np.array_equal(back, expect)
