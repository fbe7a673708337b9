"""A plain NumPy model of the predictor, the residual mapping and the context
lookup, checked against the module on worked values; the other image tests
compare the module's phases against this model."""
from __future__ import annotations

import numpy as np
import pytest

import orv_rans as o

EMPTY = np.zeros((0, 0), np.uint8)


# ---------------------------------------------------------------- the model

def predict(W, N, NW):
    """Median edge detector with the unsigned-wrap rule and the flat-area correction."""
    W, N, NW = (np.asarray(a, np.int64) for a in (W, N, NW))
    mn, mx = np.minimum(N, W), np.maximum(N, W)
    g = N + W - NW
    p0 = np.where(g < 0, mx, np.clip(g, mn, mx))  # a negative gradient wraps to a huge value
    flat = mx - mn <= 3
    p = np.where(flat & (NW < mn - 50), mn, np.where(flat & (NW > mx + 50), mx, p0))
    return p.astype(np.uint8)


def zigzag(X, P):
    d = (np.asarray(X, np.int64) - np.asarray(P, np.int64)) & 0xFF
    s = np.where(d >= 128, d - 256, d)
    return np.where(s >= 0, 2 * s, -2 * s - 1).astype(np.uint8)


def unzigzag(z, P):
    z = np.asarray(z, np.int64)
    d = np.where(z & 1, -((z + 1) >> 1), z >> 1)
    return ((np.asarray(P, np.int64) + d) & 0xFF).astype(np.uint8)


def gradient_index(W, N, NW):
    W, N, NW = (np.asarray(a, np.int64) for a in (W, N, NW))
    return (W - NW + 255) * 511 + (N - NW + 255)


def context(W, N, NW, v, tables):
    s_lut, i_lut, d_lut = (t.reshape(-1) for t in tables)
    return d_lut[4 * s_lut[gradient_index(W, N, NW)].astype(np.int64) + i_lut[np.asarray(v)]]


def padded(plane):
    h, w = plane.shape
    out = np.zeros((h + 2, w + 2), np.uint8)
    out[1 : h + 1, 1 : w + 1] = plane
    return out


def neighbours(plane):
    """W, N, NW of every sample of an unpadded plane (0 outside it)."""
    p = padded(plane)
    h, w = plane.shape
    return p[1 : h + 1, 0:w], p[0:h, 1 : w + 1], p[0:h, 0:w]


def colour_planes(rgb):
    g = rgb[..., 1]
    return [g, (rgb[..., 0] - g).astype(np.uint8), (rgb[..., 2] - g).astype(np.uint8)]


def analyse(planes, tables):
    """Prediction, residual and context number of every sample of each plane
    (green first; the chroma planes are keyed by green)."""
    out = []
    for c, plane in enumerate(planes):
        W, N, NW = neighbours(plane)
        P = predict(W, N, NW)
        key = P if c == 0 else planes[0]
        out.append((P, zigzag(plane, P), context(W, N, NW, key, tables)))
    return out


def shard_streams(analysis):
    """Each channel's residuals grouped by shard, each group in scan order."""
    return [z.reshape(-1)[np.argsort(k.reshape(-1), kind="stable")] for _, z, k in analysis]


def random_tables(rng, n_shards, rows=None):
    """Random complete context tables whose context numbers lie below n_shards."""
    rows = rows or int(rng.integers(1, 9))
    s_lut = rng.integers(0, rows, (511, 511), dtype=np.uint8)
    i_lut = rng.integers(0, 4, 256, dtype=np.uint8)
    d_lut = rng.integers(0, n_shards, (rows, 4), dtype=np.uint8)
    return s_lut, i_lut, d_lut


def panics(fn, *args):
    """True when the call raises the module's PanicException."""
    try:
        fn(*args)
    except BaseException as e:  # PanicException derives from BaseException
        if type(e).__name__ == "PanicException":
            return str(e)
        raise
    return None


# ------------------------------------------------------ the predictor itself

def one_prediction(W, N, NW):
    """The module's prediction for X at (1, 1) of [[NW, N], [W, X]], read
    back from the residual of X = 0 in phase one."""
    img = np.array([[NW, N], [W, 0]], np.uint8)
    tables = (np.zeros((511, 511), np.uint8), np.zeros(256, np.uint8), np.zeros((1, 4), np.uint8))
    res = o.p1_gray(2, 2, img, EMPTY, False, 1, *tables)[7][0]
    return int(unzigzag(res[2, 2], 0)) * -1 & 0xFF


WORKED = [
    ((10, 12, 100), 12),
    ((100, 102, 20), 100),
    ((10, 200, 250), 200),  # N + W < NW wraps: max(N, W)
    ((60, 62, 5), 60),
    ((100, 103, 160), 103),
    ((100, 104, 160), 100),  # spread 4: no correction
    ((100, 103, 153), 100),  # NW only 50 beyond: no correction
    ((30, 31, 0), 31),  # mn < 50: the signed compare never fires
    ((0, 200, 0), 200),
    ((0, 0, 0), 0),
    ((255, 255, 255), 255),
]


@pytest.mark.parametrize("wnnw,expected", WORKED)
def test_worked_predictions(wnnw, expected):
    assert int(predict(*wnnw)) == expected
    assert one_prediction(*wnnw) == expected


def test_model_matches_module_on_many_neighbourhoods():
    # a 2-row gray image in column pairs: the odd column of each pair sees
    # W = bottom[x-1], N = top[x], NW = top[x-1], three free values
    rng = np.random.default_rng(7)
    n = 1 << 17
    W, N, NW = (rng.integers(0, 256, n) for _ in range(3))
    # a third flat (spread <= 3) with NW anywhere, so the correction is exercised
    flat = rng.random(n) < 0.33
    W[flat] = np.clip(N[flat] + rng.integers(-3, 4, flat.sum()), 0, 255)
    X = rng.integers(0, 256, n)
    top = np.stack([NW, N], axis=1).reshape(-1).astype(np.uint8)
    bottom = np.stack([W, X], axis=1).reshape(-1).astype(np.uint8)
    img = np.stack([top, bottom])
    w = img.shape[1]
    tables = (np.zeros((511, 511), np.uint8), np.zeros(256, np.uint8), np.zeros((1, 4), np.uint8))
    res = o.p1_gray(2, w, img, EMPTY, False, 1, *tables)[7][0][2, 2 : w + 2 : 2]
    np.testing.assert_array_equal(res, zigzag(X, predict(W, N, NW)))
    # and the decoder predicts alike
    np.testing.assert_array_equal(o.reconstruct_2d_channels(2, w, zigzag(img, predict(*neighbours(img)))), img)


def test_zigzag_all_pairs_round_trip():
    # one row [P0, X0, P1, X1, ...]: every X is predicted from its left neighbour alone
    P, X = np.meshgrid(np.arange(256, dtype=np.uint8), np.arange(256, dtype=np.uint8), indexing="ij")
    row = np.stack([P.reshape(-1), X.reshape(-1)], axis=1).reshape(1, -1)
    w = row.shape[1]
    tables = (np.zeros((511, 511), np.uint8), np.zeros(256, np.uint8), np.zeros((1, 4), np.uint8))
    res = o.p1_gray(1, w, row, EMPTY, False, 1, *tables)[7][0][1, 1 : w + 1]
    z = res[1::2]
    np.testing.assert_array_equal(z, zigzag(X.reshape(-1), P.reshape(-1)))
    np.testing.assert_array_equal(unzigzag(z, P.reshape(-1)), X.reshape(-1))
    # z is 0 exactly when X = P, and the mapping is a bijection for every P
    assert ((z == 0) == (X.reshape(-1) == P.reshape(-1))).all()
    assert all(len(set(z[p * 256 : (p + 1) * 256])) == 256 for p in (0, 77, 255))
    # decoding the whole residual row gives the row back
    np.testing.assert_array_equal(o.reconstruct_2d_channels(1, w, res.reshape(1, w)), row)


@pytest.mark.parametrize("X,P,z", [(0, 255, 2), (255, 0, 1), (5, 5, 0), (0, 128, 255), (128, 0, 255), (127, 0, 254)])
def test_zigzag_worked(X, P, z):
    assert int(zigzag(X, P)) == z
    row = np.array([[P, X]], np.uint8)
    tables = (np.zeros((511, 511), np.uint8), np.zeros(256, np.uint8), np.zeros((1, 4), np.uint8))
    assert o.p1_gray(1, 2, row, EMPTY, False, 1, *tables)[7][0][1, 2] == z


def test_gradient_index_extremes():
    assert gradient_index(255, 255, 0) == 261120
    assert gradient_index(0, 0, 255) == 0
    assert gradient_index(9, 9, 9) == 130560


@pytest.mark.parametrize("fn", ["p1_gray", "p1_rgb"])
def test_short_s_lut_faults_only_on_the_last_gradient(fn):
    # X at (1, 1) of [[0, 255], [255, X]] has gradient index 261120
    tables = (np.zeros((1, 261120), np.uint8), np.zeros(256, np.uint8), np.zeros((1, 4), np.uint8))
    ok = np.array([[0, 254], [255, 9]], np.uint8)
    bad = np.array([[0, 255], [255, 9]], np.uint8)
    if fn == "p1_rgb":
        ok, bad = (np.repeat(a[..., None], 3, axis=2) for a in (ok, bad))
    f = getattr(o, fn)
    assert panics(f, 2, 2, ok, EMPTY, False, 1, *tables) is None
    msg = panics(f, 2, 2, bad, EMPTY, False, 1, *tables)
    assert msg == "index out of bounds: the len is 261120 but the index is 261120"


def test_first_sample_context():
    # a 1 x 1 image: W = N = NW = 0, gradient index 130560, intensity key P = 0
    s_lut = np.zeros((511, 511), np.uint8)
    s_lut.reshape(-1)[130560] = 2
    i_lut = np.zeros(256, np.uint8)
    i_lut[0] = 3
    d_lut = np.zeros((3, 4), np.uint8)
    d_lut[2, 3] = 5
    r = o.p1_gray(1, 1, np.array([[200]], np.uint8), EMPTY, False, 6, s_lut, i_lut, d_lut)
    assert r[1][0].tolist() == [0, 0, 0, 0, 0, 1]
    assert r[7][0][1, 1] == zigzag(200, 0)


@pytest.mark.parametrize("which", ["s", "i", "d"])
def test_table_index_beyond_a_table_faults(which):
    s_lut = np.zeros((511, 511), np.uint8)
    i_lut = np.zeros(256, np.uint8)
    d_lut = np.zeros((1, 4), np.uint8)
    if which == "s":
        s_lut = np.zeros((1, 100), np.uint8)
    elif which == "i":
        i_lut = np.zeros(0, np.uint8)
    else:
        s_lut[:] = 1  # row 1 of d_lut does not exist
    img = np.full((3, 3), 7, np.uint8)
    assert panics(o.p1_gray, 3, 3, img, EMPTY, False, 1, s_lut, i_lut, d_lut).startswith(
        "index out of bounds")
