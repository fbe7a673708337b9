"""Phase one and phase two against the NumPy model, their invariants, and the
faults they must report instead of corrupting data."""
from __future__ import annotations

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import orv_rans as o
from test_image_model import (EMPTY, analyse, colour_planes, neighbours, padded, panics, predict,
                              random_tables, shard_streams, zigzag)


def make_image(kind, h, w, channels, rng):
    shape = (h, w) if channels == 1 else (h, w, channels)
    if kind == "noise":
        return rng.integers(0, 256, shape, dtype=np.uint8)
    if kind == "flat":
        return np.full(shape, rng.integers(0, 256), np.uint8)
    if kind == "gradient":
        y, x = np.mgrid[0:h, 0:w]
        base = (3 * x + 5 * y) % 256
        if channels > 1:
            base = np.stack([(base + 40 * c) % 256 for c in range(channels)], axis=-1)
        return base.astype(np.uint8)
    # "blocks": flat areas with sharp edges, where the correction fires
    img = np.full(shape, 100, np.uint8)
    img[h // 2 :] = 220
    if w > 1:
        img[:, w // 3 :] = img[:, w // 3 :] // 2 + 3
    return img


images = st.tuples(st.sampled_from(["noise", "flat", "gradient", "blocks"]),
                   st.integers(0, 13), st.integers(0, 13), st.integers(0, 2**32 - 1))


def expected_phase_one(planes, tables, K):
    """Totals, starts, offsets, histograms and statistics of the model."""
    h, w = planes[0].shape
    an = analyse(planes, tables)
    totals = np.zeros((3, K), np.uint32)
    hist = np.zeros((3, K, 256), np.uint32)
    counts = np.zeros((h, 3, K), np.uint32)
    zeros = np.zeros(3, np.uint32)
    err = np.zeros(3, np.uint64)
    for c, (P, z, k) in enumerate(an):
        np.add.at(hist[c], (k.reshape(-1), z.reshape(-1)), 1)
        for y in range(h):
            counts[y, c] = np.bincount(k[y], minlength=K)
        totals[c] = counts[:, c].sum(axis=0)
        zeros[c] = (z == 0).sum()
        err[c] = np.abs(planes[c].astype(np.int64) - P.astype(np.int64)).sum()
    starts = (np.cumsum(totals, axis=1) - totals).astype(np.uint32)
    offsets = (starts[None] + np.cumsum(counts, axis=0) - counts).astype(np.uint32)
    return an, totals, hist, starts, offsets, zeros, err


def alpha_model(a):
    W, N, NW = neighbours(a)
    P = predict(W, N, NW)
    z = zigzag(a, P)
    return z, int((z == 0).sum()), float(np.abs(a.astype(np.int64) - P.astype(np.int64)).sum())


@settings(max_examples=60, deadline=None)
@given(images, st.integers(1, 6), st.booleans())
def test_p1_rgb_matches_model(img_spec, K, with_alpha):
    kind, h, w, seed = img_spec
    rng = np.random.default_rng(seed)
    rgb = make_image(kind, h, w, 3, rng)
    a = make_image(kind, h, w, 1, rng) if with_alpha else EMPTY
    tables = random_tables(rng, K)
    r = o.p1_rgb(h, w, rgb, a, with_alpha, K, *tables)
    assert len(r) == 12
    planes = colour_planes(rgb)
    an, totals, hist, starts, offsets, zeros, err = expected_phase_one(planes, tables, K)
    for c in range(3):
        np.testing.assert_array_equal(r[c], padded(planes[c]))
        np.testing.assert_array_equal(r[10][c], padded(an[c][1]))
        assert r[3][c].tolist() == np.bincount(planes[c].reshape(-1), minlength=256).tolist()
    for got, want in zip(r[4:10], (totals, hist, starts, offsets, zeros, err)):
        assert got.dtype == want.dtype and got.shape == want.shape
        np.testing.assert_array_equal(got, want)
    if with_alpha and h * w:
        z, nz, e = alpha_model(a)
        np.testing.assert_array_equal(r[10][3], z)
        assert r[11] == (nz, e) and isinstance(r[11][0], int) and isinstance(r[11][1], float)
    else:
        assert r[10][3].shape == (0, 0) and r[11] == (0, 0.0)


@settings(max_examples=60, deadline=None)
@given(images, st.integers(1, 6), st.booleans())
def test_p1_gray_matches_model(img_spec, K, with_alpha):
    kind, h, w, seed = img_spec
    rng = np.random.default_rng(seed)
    gray = make_image(kind, h, w, 1, rng)
    a = make_image("noise", h, w, 1, rng) if with_alpha else EMPTY
    tables = random_tables(rng, K)
    r = o.p1_gray(h, w, gray, a, with_alpha, K, *tables)
    assert len(r) == 9
    an, totals, hist, starts, offsets, zeros, err = expected_phase_one([gray], tables, K)
    np.testing.assert_array_equal(r[0], padded(gray))
    want = [np.zeros((3, K), np.uint32), np.zeros((3, K, 256), np.uint32), np.zeros((3, K), np.uint32),
            np.zeros((h, 3, K), np.uint32), np.zeros(3, np.uint32), np.zeros(3, np.uint64)]
    for i, (arr, part) in enumerate(zip(want, (totals, hist, starts, offsets, zeros, err))):
        if i == 3:  # row offsets: (h, 3, K)
            arr[:, 0] = part[:, 0]
        else:
            arr[0] = part[0]
    for got, w_ in zip(r[1:7], want):
        assert got.dtype == w_.dtype and got.shape == w_.shape
        np.testing.assert_array_equal(got, w_)
    np.testing.assert_array_equal(r[7][0], padded(an[0][1]))
    assert r[7][1].shape == (0, 0) and r[7][2].shape == (0, 0)
    if with_alpha and h * w:
        z, nz, e = alpha_model(a)
        np.testing.assert_array_equal(r[7][3], z)
        assert r[8] == (nz, e)
    else:
        assert r[7][3].shape == (0, 0) and r[8] == (0, 0.0)


@settings(max_examples=40, deadline=None)
@given(images, st.integers(1, 40))
def test_offset_invariants(img_spec, K):
    kind, h, w, seed = img_spec
    rng = np.random.default_rng(seed)
    r = o.p1_rgb(h, w, make_image(kind, h, w, 3, rng), EMPTY, False, K, *random_tables(rng, K))
    totals, starts, offsets = (a.astype(np.int64) for a in (r[4], r[6], r[7]))
    assert (totals.sum(axis=1) == h * w).all()
    np.testing.assert_array_equal(starts[:, 1:], starts[:, :-1] + totals[:, :-1])
    assert (starts[:, 0] == 0).all()
    if h:
        np.testing.assert_array_equal(offsets[0], starts)
        assert (np.diff(offsets, axis=0) >= 0).all()
        assert (offsets <= (starts + totals)[None]).all()


@settings(max_examples=60, deadline=None)
@given(images, st.integers(1, 6))
def test_p2_rgb_fills_every_position_with_phase_one_residuals(img_spec, K):
    kind, h, w, seed = img_spec
    rng = np.random.default_rng(seed)
    rgb = make_image(kind, h, w, 3, rng)
    tables = random_tables(rng, K)
    r = o.p1_rgb(h, w, rgb, EMPTY, False, K, *tables)
    streams = [np.full(h * w, 0xEE, np.uint8) for _ in range(3)]
    assert o.p2_rgb(h, w, r[0], r[1], r[2], r[7], *streams, *tables) is None
    want = shard_streams(analyse(colour_planes(rgb), tables))
    for c in range(3):
        np.testing.assert_array_equal(streams[c], want[c])
        # the residuals of shard k lie at starts[c][k] .. starts[c][k] + totals[c][k] - 1
        res = r[10][c][1 : h + 1, 1 : w + 1]
        for k in range(K):
            s, t = int(r[6][c, k]), int(r[4][c, k])
            assert np.array_equal(np.sort(streams[c][s : s + t]), np.sort(res[r_ctx(rgb, tables, c) == k]))


def r_ctx(rgb, tables, c):
    return analyse(colour_planes(rgb), tables)[c][2]


@settings(max_examples=40, deadline=None)
@given(images, st.integers(1, 6))
def test_p2_gray_matches_model(img_spec, K):
    kind, h, w, seed = img_spec
    rng = np.random.default_rng(seed)
    gray = make_image(kind, h, w, 1, rng)
    tables = random_tables(rng, K)
    r = o.p1_gray(h, w, gray, EMPTY, False, K, *tables)
    stream = np.full(h * w, 0xEE, np.uint8)
    assert o.p2_gray(h, w, r[0], r[4], stream, *tables) is None
    np.testing.assert_array_equal(stream, shard_streams(analyse([gray], tables))[0])


def test_one_row_groups_residuals_by_shard_in_x_order():
    rgb = np.arange(3 * 11, dtype=np.uint8).reshape(1, 11, 3) * 7
    tables = random_tables(np.random.default_rng(3), 4)
    r = o.p1_rgb(1, 11, rgb, EMPTY, False, 4, *tables)
    streams = [np.zeros(11, np.uint8) for _ in range(3)]
    o.p2_rgb(1, 11, r[0], r[1], r[2], r[7], *streams, *tables)
    for c, (_, z, k) in enumerate(analyse(colour_planes(rgb), tables)):
        want = np.concatenate([z[0][k[0] == s] for s in range(4)])
        np.testing.assert_array_equal(streams[c], want)


# ----------------------------------------------------------------- edge cases

@pytest.mark.parametrize("fn,channels", [("p1_rgb", 3), ("p1_gray", 1)])
@pytest.mark.parametrize("h,w", [(0, 0), (0, 5), (4, 0)])
def test_p1_empty_images(fn, channels, h, w):
    img = np.zeros((h, w, 3) if channels == 3 else (h, w), np.uint8)
    a = np.zeros((h, w), np.uint8)
    r = getattr(o, fn)(h, w, img, a, True, 3, *random_tables(np.random.default_rng(0), 3))
    planes = r[:3] if channels == 3 else r[:1]
    for p in planes:
        assert p.shape == (h + 2, w + 2) and not p.any()
    offsets = r[7] if channels == 3 else r[4]
    assert offsets.shape == (h, 3, 3)
    assert not any(a.any() for a in r[3:10 if channels == 3 else 7] if isinstance(a, np.ndarray))
    res = r[10] if channels == 3 else r[7]
    assert res[3].shape == (0, 0)
    assert (r[11] if channels == 3 else r[8]) == (0, 0.0)


def test_gray_stored_as_rgb_has_empty_chroma():
    rng = np.random.default_rng(5)
    g = rng.integers(0, 256, (9, 7), dtype=np.uint8)
    rgb = np.repeat(g[..., None], 3, axis=2)
    r = o.p1_rgb(9, 7, rgb, EMPTY, False, 2, *random_tables(rng, 2))
    assert not r[1].any() and not r[2].any()
    assert not r[10][1].any() and not r[10][2].any()
    assert r[8][1] == r[8][2] == 63


@pytest.mark.parametrize("is_rgba,a", [(True, EMPTY), (False, np.full((3, 3), 9, np.uint8))])
def test_alpha_not_analysed(is_rgba, a):
    r = o.p1_rgb(3, 3, np.zeros((3, 3, 3), np.uint8), a, is_rgba, 1, *random_tables(np.random.default_rng(0), 1))
    assert r[10][3].shape == (0, 0) and r[11] == (0, 0.0)


def test_alpha_error_is_summed_as_float():
    a = np.full((2, 3), 255, np.uint8)
    r = o.p1_gray(2, 3, np.zeros((2, 3), np.uint8), a, True, 1, *random_tables(np.random.default_rng(0), 1))
    assert r[8] == (5, 255.0)


@pytest.mark.parametrize("channel", [0, 1, 2])
@pytest.mark.parametrize("k_excess", [0, 1, 2])
def test_p1_rgb_rejects_every_context_at_or_above_n_shards(channel, k_excess):
    # only `channel` reaches the context number K + k_excess (below 3K, where a
    # count would land in a later channel's block)
    K = 3
    s_lut = np.zeros((511, 511), np.uint8)
    i_lut = np.zeros(256, np.uint8)
    d_lut = np.zeros((2, 4), np.uint8)
    rgb = np.zeros((1, 2, 3), np.uint8)
    if channel == 0:
        # green is keyed by its prediction (0), the chroma planes by green (5)
        rgb[..., 1] = 5
        i_lut[5] = 1
        d_lut[0, 0] = K + k_excess
    else:
        # the second sample of one chroma plane sees a left neighbour of 40,
        # every other sample a zero gradient
        rgb[0, 0, 0 if channel == 1 else 2] = 40
        s_lut[40 + 255, 255] = 1  # W - NW + 255 = 295, N - NW + 255 = 255
        d_lut[1, 0] = K + k_excess
    msg = panics(o.p1_rgb, 1, 2, rgb, EMPTY, False, K, s_lut, i_lut, d_lut)
    assert msg == f"index out of bounds: the len is {K} but the index is {K + k_excess}"
    d_lut[d_lut >= K] = K - 1
    o.p1_rgb(1, 2, rgb, EMPTY, False, K, s_lut, i_lut, d_lut)


def test_p1_gray_rejects_context_at_n_shards():
    d_lut = np.full((1, 4), 2, np.uint8)
    tables = (np.zeros((511, 511), np.uint8), np.zeros(256, np.uint8), d_lut)
    assert panics(o.p1_gray, 1, 1, np.zeros((1, 1), np.uint8), EMPTY, False, 2, *tables) == \
        "index out of bounds: the len is 2 but the index is 2"
    assert panics(o.p1_gray, 1, 1, np.zeros((1, 1), np.uint8), EMPTY, False, 0, *tables) is not None
    # no pixel, no fault
    assert o.p1_gray(0, 1, np.zeros((0, 1), np.uint8), EMPTY, False, 0, *tables)[1].shape == (3, 0)


@pytest.mark.parametrize("fn", ["p1_rgb", "p1_gray"])
def test_p1_short_inputs_fault(fn):
    tables = random_tables(np.random.default_rng(0), 2)
    short = np.zeros((2, 3, 3) if fn == "p1_rgb" else (2, 3), np.uint8)
    assert panics(getattr(o, fn), 3, 3, short, EMPTY, False, 2, *tables).startswith("range end index")
    full = np.zeros((3, 3, 3) if fn == "p1_rgb" else (3, 3), np.uint8)
    a = np.zeros((2, 4), np.uint8)  # 8 < 9 alpha samples
    assert panics(getattr(o, fn), 3, 3, full, a, True, 2, *tables).startswith("range end index")
    # larger arrays are accepted and their extra bytes ignored
    big = np.zeros((4, 3, 3) if fn == "p1_rgb" else (4, 3), np.uint8)
    getattr(o, fn)(3, 3, big, EMPTY, False, 2, *tables)


def p1_for_p2(h=5, w=6, K=3, seed=0):
    rng = np.random.default_rng(seed)
    rgb = rng.integers(0, 256, (h, w, 3), dtype=np.uint8)
    tables = random_tables(rng, K)
    return rgb, tables, o.p1_rgb(h, w, rgb, EMPTY, False, K, *tables)


def test_p2_empty_image_returns_none():
    tables = random_tables(np.random.default_rng(0), 2)
    offsets = np.zeros((0, 3, 2), np.uint32)
    plane = np.zeros((2, 7), np.uint8)
    s = np.zeros(0, np.uint8)
    assert o.p2_rgb(0, 5, plane, plane, plane, offsets, s, s, s, *tables) is None
    assert o.p2_gray(0, 5, plane, offsets, s, *tables) is None
    # w = 0: nothing is written
    plane = np.zeros((5, 2), np.uint8)
    assert o.p2_rgb(3, 0, plane, plane, plane, np.zeros((3, 3, 2), np.uint32), s, s, s, *tables) is None


@pytest.mark.parametrize("bad_row", [0, 1, 4])
@pytest.mark.parametrize("fn", ["p2_rgb", "p2_gray"])
def test_p2_never_writes_outside_a_stream(fn, bad_row):
    """Rows are stored in blocks side by side: a bad row at the top, inside
    or after a block faults with the numbers of the sample order."""
    h, w = 5, 6
    rgb, tables, r = p1_for_p2(h, w)
    # each stream is the head of a larger buffer whose tail must stay untouched
    bufs = [np.full(h * w + 32, 0xAB, np.uint8) for _ in range(3)]
    short = [b[: h * w - 1] for b in bufs]
    if fn == "p2_rgb":
        msg = panics(o.p2_rgb, h, w, r[0], r[1], r[2], r[7], *short, *tables)
    else:
        msg = panics(o.p2_gray, h, w, r[0], r[7], short[0], *tables)
    assert msg == f"index out of bounds: the len is {h * w - 1} but the index is {h * w - 1}"
    for b in bufs:
        assert (b[h * w - 1 :] == 0xAB).all()
    # offsets pointing far past the stream
    bad = r[7].copy()
    bad[bad_row, 0, :] = 2**32 - 1
    streams = [b[: h * w] for b in bufs]
    if fn == "p2_rgb":
        msg = panics(o.p2_rgb, h, w, r[0], r[1], r[2], bad, *streams, *tables)
    else:
        msg = panics(o.p2_gray, h, w, r[0], bad, streams[0], *tables)
    assert msg == f"index out of bounds: the len is {h * w} but the index is {2**32 - 1}"
    for b in bufs:
        assert (b[h * w :] == 0xAB).all()


def test_p2_context_at_or_above_k_faults():
    rgb, tables, r = p1_for_p2(K=3)
    streams = [np.zeros(30, np.uint8) for _ in range(3)]
    # K comes from the size of the offsets: (h, 3, 0) gives K = 0
    msg = panics(o.p2_rgb, 5, 6, r[0], r[1], r[2], np.zeros((5, 3, 0), np.uint32), *streams, *tables)
    assert msg.startswith("index out of bounds: the len is 0")
    s_lut, i_lut, d_lut = tables
    d_lut = np.full_like(d_lut, 3)
    msg = panics(o.p2_rgb, 5, 6, r[0], r[1], r[2], r[7], *streams, s_lut, i_lut, d_lut)
    assert msg == "index out of bounds: the len is 3 but the index is 3"


def test_p2_short_plane_faults():
    rgb, tables, r = p1_for_p2()
    streams = [np.zeros(30, np.uint8) for _ in range(3)]
    short = r[2][:-2]  # the last image row is missing
    assert panics(o.p2_rgb, 5, 6, r[0], r[1], short, r[7], *streams, *tables).startswith("range end index")
    # the last padded row and column are never read
    trimmed = np.ascontiguousarray(r[1].reshape(-1)[: 5 * 8 + 6 + 1]).reshape(1, -1)
    o.p2_rgb(5, 6, r[0], trimmed, r[2], r[7], *streams, *tables)


@pytest.mark.parametrize("kind", ["gradient", "noise"])
def test_p1_planes_of_a_megabyte_and_more_have_zero_borders(kind):
    # planes of 1 MiB and more come from mappings of their own: zero where
    # phase one writes nothing, on every call (each gets fresh ones)
    rng = np.random.default_rng(5)
    h, w = 1100, 1000
    img = make_image(kind, h, w, 3, rng)
    tables = random_tables(rng, 4)
    want = [padded(p) for p in colour_planes(img)]
    resid = [padded(z) for _, z, _ in analyse(colour_planes(img), tables)]
    for _ in range(2):
        r = o.p1_rgb(h, w, img, EMPTY, False, 4, *tables)
        for c in range(3):
            np.testing.assert_array_equal(r[c], want[c])
            np.testing.assert_array_equal(r[10][c], resid[c])
        del r
