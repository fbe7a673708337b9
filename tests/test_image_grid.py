"""The image loops on tables made like real ones: a gradient table of few
distinct rows and columns and an intensity table of few distinct values. Such
tables take the folded lookup of the fast loops; the module must give exactly
what the NumPy model gives, fault as the model says, and agree with tables
that take the general path. Also the predictor on every neighbourhood."""
from __future__ import annotations

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import orv_rans as o
from test_image_model import EMPTY, analyse, colour_planes, panics, predict, shard_streams, zigzag


def level_map(rng, n_levels, side=511):
    """Levels 0..n_levels-1 over `side` entries: in runs (like quantised
    gradients) or scattered."""
    if rng.random() < 0.5:
        cuts = np.sort(rng.choice(np.arange(1, side), n_levels - 1, replace=False)) if n_levels > 1 else []
        return np.searchsorted(cuts, np.arange(side), side="right").astype(np.int64)
    return rng.integers(0, n_levels, side)


def structured_tables(rng, n_shards, rows, cols, keys):
    """s_lut[a, b] = class of (row level of a, column level of b); `keys`
    distinct values of i_lut; context numbers below n_shards."""
    ra, cb = level_map(rng, rows), level_map(rng, cols)
    classes = rng.integers(0, 255, (rows, cols))
    s_lut = classes[ra[:, None], cb[None, :]].astype(np.uint8)
    n_class = int(s_lut.max()) + 1
    values = rng.choice(4, keys, replace=False)
    i_lut = values[rng.integers(0, keys, 256)].astype(np.uint8)
    d_lut = rng.integers(0, n_shards, (n_class, 4), dtype=np.uint8)
    return s_lut, i_lut, d_lut


def photo_like(rng, h, w, channels):
    y, x = np.mgrid[0:h, 0:w]
    base = (x * 3 + y * 2 + (x * y) // 5) % 256
    planes = [(base + rng.integers(-3, 4, (h, w)) + 40 * c) % 256 for c in range(channels)]
    img = np.stack(planes, axis=-1) if channels > 1 else planes[0]
    img = img.astype(np.uint8)
    img[: h // 3] = rng.integers(0, 256, img[: h // 3].shape)  # a noisy band
    return img


def starts_of(k, K):
    return np.concatenate([[0], np.cumsum(np.bincount(k.reshape(-1), minlength=K))[:-1]]).astype(np.uint32)


# (rows, cols, keys): one key (the key is not read), several keys (it is), the
# largest grid folded by columns, grids folded by rows (too many columns), and
# grids too large to fold (general path)
SHAPES = [(1, 1, 1), (5, 7, 1), (11, 11, 1), (3, 5, 2), (7, 9, 4), (9, 64, 1), (2, 33, 2), (4, 300, 1),
          (3, 200, 3), (65, 3, 1), (40, 300, 2)]


@settings(max_examples=40, deadline=None)
@given(st.sampled_from(SHAPES), st.integers(1, 24), st.integers(0, 40), st.integers(0, 40),
       st.integers(0, 2**32 - 1))
def test_rgb_phases_and_reconstruction_match_the_model(shape, K, h, w, seed):
    rng = np.random.default_rng(seed)
    tables = structured_tables(rng, K, *shape)
    rgb = photo_like(rng, h, w, 3)
    an = analyse(colour_planes(rgb), tables)
    r = o.p1_rgb(h, w, rgb, EMPTY, False, K, *tables)
    for c, (_, z, k) in enumerate(an):
        np.testing.assert_array_equal(r[10][c][1:h + 1, 1:w + 1], z)
        np.testing.assert_array_equal(r[4][c], np.bincount(k.reshape(-1), minlength=K)[:K])
    streams = [np.zeros(h * w, np.uint8) for _ in range(3)]
    if h:
        o.p2_rgb(h, w, r[0], r[1], r[2], r[7], *streams, *tables)
        for got, want in zip(streams, shard_streams(an)):
            np.testing.assert_array_equal(got, want)
    out = o.reconstruct_shards_rgb(h, w, *shard_streams(an), *(starts_of(k, K) for _, _, k in an), *tables)
    for got, want in zip(out, colour_planes(rgb)):
        np.testing.assert_array_equal(got, want)


@settings(max_examples=30, deadline=None)
@given(st.sampled_from(SHAPES), st.integers(1, 24), st.integers(1, 40), st.integers(1, 40),
       st.integers(0, 2**32 - 1))
def test_gray_phases_and_reconstruction_match_the_model(shape, K, h, w, seed):
    rng = np.random.default_rng(seed)
    tables = structured_tables(rng, K, *shape)
    gray = photo_like(rng, h, w, 1)
    (_, z, k), = an = analyse([gray], tables)
    r = o.p1_gray(h, w, gray, EMPTY, False, K, *tables)
    np.testing.assert_array_equal(r[7][0][1:h + 1, 1:w + 1], z)
    stream = np.zeros(h * w, np.uint8)
    o.p2_gray(h, w, r[0], r[4], stream, *tables)
    np.testing.assert_array_equal(stream, shard_streams(an)[0])
    # the decoder of a gray image passes zero chroma streams
    zs, zo = np.zeros(h * w, np.uint8), np.zeros(K, np.uint32)
    g, rd, bd = o.reconstruct_shards_rgb(h, w, stream, zs, zs, starts_of(k, K), zo, zo, *tables)
    np.testing.assert_array_equal(g, gray)
    assert not rd.any() and not bd.any()


@pytest.mark.parametrize("shape", [(5, 7, 1), (3, 5, 3), (6, 300, 1), (4, 300, 2)])
def test_faults_are_those_of_the_plane_by_plane_order(shape):
    rng = np.random.default_rng(31)
    K = 6
    tables = structured_tables(rng, K, *shape)
    rgb = photo_like(rng, 9, 11, 3)
    an = analyse(colour_planes(rgb), tables)
    streams = shard_streams(an)
    starts = [starts_of(k, K) for _, _, k in an]
    n = 99
    # the last shard read of a plane needs one residual more than a cut stream holds
    for c in range(3):
        cut = list(streams)
        cut[c] = streams[c][:-1]
        msg = panics(o.reconstruct_shards_rgb, 9, 11, *cut, *starts, *tables)
        assert msg is not None and msg.startswith(f"index out of bounds: the len is {n - 1} but the index is")
    # faults in green and blue: green is rebuilt first, so its fault is reported
    late = np.full(K, 500, np.uint32)
    msg = panics(o.reconstruct_shards_rgb, 9, 11, streams[0][:-1], streams[1], streams[2], starts[0], starts[1],
                 late, *tables)
    assert msg.startswith(f"index out of bounds: the len is {n - 1}")
    msg = panics(o.reconstruct_shards_rgb, 9, 11, *streams, starts[0], starts[1], late, *tables)
    assert msg == f"index out of bounds: the len is {n} but the index is 500"
    # an offset array shorter than the context numbers that occur
    k_max = int(an[1][2].max())
    msg = panics(o.reconstruct_shards_rgb, 9, 11, *streams, starts[0], starts[1][:k_max], starts[2], *tables)
    assert msg == f"index out of bounds: the len is {k_max} but the index is {k_max}"
    # phase two with offsets that run past a stream faults, leaving the rest as is
    r = o.p1_rgb(9, 11, rgb, EMPTY, False, K, *tables)
    out = [np.zeros(n, np.uint8), np.zeros(n - 1, np.uint8), np.zeros(n, np.uint8)]
    assert panics(o.p2_rgb, 9, 11, r[0], r[1], r[2], r[7], *out, *tables) is not None


@pytest.mark.parametrize("shape", [(5, 7, 1), (3, 5, 2)])
def test_folded_and_general_lookups_agree(shape):
    # the same context numbers through tables that fold and through an
    # equivalent gradient table with one stray entry that no sample reaches
    # (2 * 511 distinct columns is too many to fold)
    rng = np.random.default_rng(5)
    K = 9
    s_lut, i_lut, d_lut = structured_tables(rng, K, *shape)
    # no plane ever holds 0 next to 255, so no gradient of -255 occurs
    g = np.clip(photo_like(rng, 30, 40, 1), 20, 135)
    rgb = np.stack([g + rng.integers(0, 100, g.shape), g, g + rng.integers(0, 100, g.shape)], -1).astype(np.uint8)
    general = s_lut.copy()
    general[0, :] = np.arange(511) % (d_lut.shape[0])
    general[:, 0] = np.arange(511) % (d_lut.shape[0])
    for fn, args in ((o.p1_rgb, (rgb,)), (o.p1_gray, (g.astype(np.uint8),))):
        a = fn(30, 40, *args, EMPTY, False, K, s_lut, i_lut, d_lut)
        b = fn(30, 40, *args, EMPTY, False, K, general, i_lut, d_lut)
        for x, y in zip(a[:7], b[:7]):
            np.testing.assert_array_equal(x, y)


def test_predictor_on_every_neighbourhood():
    # a 2-row gray image in column pairs: the odd column of each pair sees
    # W = bottom[x-1], N = top[x], NW = top[x-1]; every (W, N, NW) in turn,
    # with X = 0 so that the residual is that of -P
    tables = (np.zeros((511, 511), np.uint8), np.zeros(256, np.uint8), np.zeros((1, 4), np.uint8))
    WN = np.arange(1 << 16)
    W, N = (WN >> 8).astype(np.uint8), (WN & 255).astype(np.uint8)
    for nw in range(256):
        NW = np.full(1 << 16, nw, np.uint8)
        top = np.stack([NW, N], axis=1).reshape(-1)
        bottom = np.stack([W, np.zeros_like(W)], axis=1).reshape(-1)
        img = np.stack([top, bottom])
        res = o.p1_gray(2, img.shape[1], img, EMPTY, False, 1, *tables)[7][0][2, 2::2][: 1 << 16]
        np.testing.assert_array_equal(res, zigzag(np.zeros(1 << 16, np.uint8), predict(W, N, NW)))
