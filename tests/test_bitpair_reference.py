"""Plain NumPy/Python models of the bit-pair coder, used by the other
test_bitpair files, and the tests that pin the models themselves to known
values (so that comparing the module with them means something)."""
from __future__ import annotations

import numpy as np
import pytest

M = 4096


# ------------------------------------------------------------- predictor

def predict(W, N, NW):
    """Median edge detector with the flat-area correction, vectorised."""
    W, N, NW = (np.asarray(a, dtype=np.int64) for a in (W, N, NW))
    mn, mx = np.minimum(N, W), np.maximum(N, W)
    g = N + W - NW
    p0 = np.where(g < 0, mx, np.clip(g, mn, mx))
    flat = (mx - mn) <= 3
    p = np.where(flat & (NW < mn - 50), mn, np.where(flat & (NW > mx + 50), mx, p0))
    return p.astype(np.uint8)


def zigzag_encode(X, P):
    d = ((np.asarray(X, np.int64) - np.asarray(P, np.int64)) % 256).astype(np.uint8).view(np.int8)
    d = d.astype(np.int64)
    return (((d << 1) ^ (d >> 7)) & 0xFF).astype(np.uint8)


def zigzag_decode(z, P):
    z = int(z)
    d = ((z >> 1) ^ (-(z & 1))) & 0xFF
    return (int(P) + d) & 0xFF


def gradient_index(W, N, NW):
    W, N, NW = (np.asarray(a, dtype=np.int64) for a in (W, N, NW))
    return (W - NW + 255) * 511 + (N - NW + 255)


# ---------------------------------------------------------------- planes

def pad(plane):
    h, w = plane.shape
    out = np.zeros((h + 2, w + 2), np.uint8)
    out[1:h + 1, 1:w + 1] = plane
    return out


def neighbours(padded):
    """W, N, NW and X of every image sample of a padded plane, each (h, w)."""
    P = padded.astype(np.int64)
    return P[1:-1, :-2], P[:-2, 1:-1], P[:-2, :-2], P[1:-1, 1:-1]


def residual_plane(samples):
    """Padded sample plane and padded residual plane of an (h, w) plane."""
    s = pad(samples)
    W, N, NW, X = neighbours(s)
    return s, pad(zigzag_encode(X, predict(W, N, NW)))


def context_numbers(ctx_padded, luts, chroma):
    s_lut, i_lut, d_lut = luts
    W, N, NW, X = neighbours(ctx_padded)
    v = X if chroma else predict(W, N, NW)
    return d_lut[4 * s_lut[gradient_index(W, N, NW)].astype(np.int64) + i_lut[v]].astype(np.int64)


def pair_contexts(resid_padded, c):
    """k[j] (bit-pair context) and s[j] (symbol) of every sample, planes 0..3."""
    W, N, NW, X = neighbours(resid_padded)
    ks, ss = [], []
    for j in range(4):
        b = lambda a: (a >> (2 * j)) & 3
        ks.append(64 * c + 16 * b(NW) + 4 * b(N) + b(W))
        ss.append(b(X))
    return ks, ss


def histogram(resid_padded, ctx_padded, luts, chroma, n_ctx):
    c = context_numbers(ctx_padded, luts, chroma)
    ks, ss = pair_contexts(resid_padded, c)
    flat = np.concatenate([(4 * (j * n_ctx + ks[j]) + ss[j]).ravel() for j in range(4)])
    return np.bincount(flat, minlength=16 * n_ctx)[: 16 * n_ctx]


# ----------------------------------------------------------- pair tables

def normalise_pair_counts(c):
    T = sum(c)
    if T == 0:
        return [1024] * 4
    f = []
    for cs in c:
        v = float(cs) * 4096.0 / float(T)
        r = int(np.floor(v + 0.5))  # v >= 0: half away from zero
        f.append(max(r, 1))
    b = 1 if f[1] >= f[0] else 0
    if f[2] >= max(f[0], f[1]):
        b = 2
    if f[3] >= max(f[0], f[1], f[2]):
        b = 3
    f[b] = max(1, f[b] + 4096 - sum(f))
    return f


def tables_from_histogram(hist, n_ctx):
    sf = np.array([normalise_pair_counts(hist[4 * t:4 * t + 4]) for t in range(4 * n_ctx)],
                  dtype=np.uint16).reshape(4 * n_ctx, 4)
    cf = np.zeros((4 * n_ctx, 5), np.uint16)
    cf[:, 1:] = np.cumsum(sf, axis=1)
    return sf.reshape(4, n_ctx, 4), cf.reshape(4, n_ctx, 5)


# --------------------------------------------------------------- encoder

def encode(resid_padded, ctx_padded, cf, sf, luts, chroma, n_ctx):
    """The encoder written out in Python integers: pixels last to first,
    planes 3 to 0, four states from 2^31, bytes in emission order."""
    h, w = resid_padded.shape[0] - 2, resid_padded.shape[1] - 2
    c = context_numbers(ctx_padded, luts, chroma)
    ks, ss = pair_contexts(resid_padded, c)
    cf, sf = cf.ravel().tolist(), sf.ravel().tolist()
    x = [1 << 31] * 4
    out = bytearray()
    for y in range(h - 1, -1, -1):
        for xx in range(w - 1, -1, -1):
            for j in (3, 2, 1, 0):
                e = j * n_ctx + int(ks[j][y, xx])
                s = int(ss[j][y, xx])
                f, start = sf[4 * e + s], cf[5 * e + s]
                while x[j] >= f << 27:
                    out.append(x[j] & 0xFF)
                    x[j] >>= 8
                x[j] = (x[j] // f) * 4096 + x[j] % f + start
    return x, bytes(out)


# ---------------------------------------------------------- context tables

def random_luts(rng, n_contexts, n_rows=8):
    """Complete tables whose context numbers lie in 0 .. n_contexts-1."""
    s_lut = rng.integers(0, n_rows, 511 * 511, dtype=np.uint8)
    i_lut = rng.integers(0, 4, 256, dtype=np.uint8)
    d_lut = rng.integers(0, n_contexts, 4 * n_rows, dtype=np.uint8)
    return s_lut, i_lut, d_lut


def image_luts(n_levels=4):
    """Tables of the kind a front end uses: the gradient activity |W-NW| +
    |N-NW| quantised into levels, the intensity in quartiles, and a context
    number per (level, quartile)."""
    a = np.arange(511) - 255
    act = np.abs(a)[:, None] + np.abs(a)[None, :]
    edges = np.array([2, 8, 24, 64, 160, 320][: n_levels - 1])
    s_lut = np.searchsorted(edges, act.ravel(), side="right").astype(np.uint8)
    i_lut = (np.arange(256) // 64).astype(np.uint8)
    d_lut = np.arange(4 * n_levels, dtype=np.uint8)
    return s_lut, i_lut, d_lut


def zero_luts():
    return np.zeros(511 * 511, np.uint8), np.zeros(256, np.uint8), np.zeros(4, np.uint8)


def smooth_image(rng, h, w, noise=3):
    """A photo-like plane: smooth gradients and blobs plus a little noise."""
    y, x = np.mgrid[0:h, 0:w]
    base = 128 + 60 * np.sin(x / 7.0 + rng.random() * 6) * np.cos(y / 11.0)
    base += 30 * np.sin((x + 2 * y) / 5.0)
    base += rng.normal(0, noise, (h, w))
    return np.clip(base, 0, 255).astype(np.uint8)


# ============================================================ model tests

@pytest.mark.parametrize(
    "counts, freqs",
    [
        ((0, 0, 0, 0), (1024, 1024, 1024, 1024)),
        ((1000, 0, 0, 0), (4093, 1, 1, 1)),
        ((1, 1, 0, 0), (2048, 2046, 1, 1)),
        ((3, 3, 2, 0), (1536, 1535, 1024, 1)),
        ((2, 1, 0, 0), (2729, 1365, 1, 1)),
        ((5, 8187, 0, 0), (3, 4091, 1, 1)),
        ((1, 2, 3, 4), (410, 819, 1229, 1638)),
    ],
)
def test_reference_normalise_matches_known_tables(counts, freqs):
    assert tuple(normalise_pair_counts(counts)) == freqs


@pytest.mark.parametrize(
    "wnnw, p",
    [((10, 12, 100), 12), ((100, 102, 20), 100), ((10, 200, 250), 200), ((60, 62, 5), 60),
     ((100, 103, 160), 103), ((100, 104, 160), 100), ((30, 31, 0), 31), ((0, 200, 0), 200)],
)
def test_reference_predictor(wnnw, p):
    assert int(predict(*wnnw)) == p


def test_reference_zigzag_round_trip():
    X, P = np.meshgrid(np.arange(256), np.arange(256))
    z = zigzag_encode(X, P)
    assert int(zigzag_encode(0, 255)) == 2 and int(zigzag_encode(255, 0)) == 1
    back = np.array([zigzag_decode(a, b) for a, b in zip(z.ravel()[::97], P.ravel()[::97])])
    assert np.array_equal(back, X.ravel()[::97])
