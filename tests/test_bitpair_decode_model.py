"""The bit-pair decoders against a decoder written out in Python integers, on
streams that decode and on streams that do not: cut short (the decoder runs
out of bytes part-way, so the end of the stream falls at every distance from
a pixel), with bytes changed, and with states the encoder never gives. The
decoders must give whatever the arithmetic gives, pixel for pixel."""
from __future__ import annotations

import numpy as np
import pytest

import orv_rans as o
from test_bitpair_reference import (
    context_numbers,
    encode,
    gradient_index,
    histogram,
    image_luts,
    predict,
    residual_plane,
    smooth_image,
    tables_from_histogram,
    zigzag_decode,
)


def model_decode(bs, states, h, w, cf, sf, luts, ref=None):
    """Planes 0..3 per pixel, the symbol by three comparisons, the refill of
    at most two bytes that stops at the start of the stream. ref=None: the
    context plane is rebuilt from the decoded samples (non-chroma rule)."""
    s_lut, i_lut, d_lut = (np.asarray(t).tolist() for t in luts)
    cf, sf = cf.ravel().tolist(), sf.ravel().tolist()
    n_ctx = len(cf) // 20
    stride = w + 2
    R = [0] * ((h + 2) * stride)
    S = list(R) if ref is None else [int(v) for v in ref]
    x = [int(v) for v in states]
    bs = bytes(bs)
    pos = len(bs) - 1
    for r in range(1, h + 1):
        for q in range(1, w + 1):
            p = r * stride + q
            W, N, NW = S[p - 1], S[p - stride], S[p - stride - 1]
            key = int(predict(W, N, NW)) if ref is None else S[p]
            c = d_lut[4 * s_lut[int(gradient_index(W, N, NW))] + i_lut[key]]
            z = 0
            for j in range(4):
                b = lambda a: (a >> (2 * j)) & 3
                e = j * n_ctx + 64 * c + 16 * b(R[p - stride - 1]) + 4 * b(R[p - stride]) + b(R[p - 1])
                slot = x[j] & 0xFFF
                s = (slot >= cf[5 * e + 1]) + (slot >= cf[5 * e + 2]) + (slot >= cf[5 * e + 3])
                x[j] = (sf[4 * e + s] * (x[j] >> 12) + slot - cf[5 * e + s]) % 2**64
                if x[j] < 1 << 31 and pos >= 0:
                    y = x[j]
                    x[j] = ((x[j] << 8) | bs[pos]) % 2**64
                    pos -= 1
                    if y < 1 << 23 and pos >= 0:
                        x[j] = ((x[j] << 8) | bs[pos]) % 2**64
                        pos -= 1
                z |= s << (2 * j)
            R[p] = z
            if ref is None:
                S[p] = zigzag_decode(z, predict(W, N, NW))
    return np.array(R, np.uint8).reshape(h + 2, stride)[1:h + 1, 1:w + 1]


def coded_channel(seed, h, w, chroma):
    rng = np.random.default_rng(seed)
    luts = image_luts(4)
    n_ctx = 64 * (int(luts[2].max()) + 1)
    green, g_resid = residual_plane(smooth_image(rng, h, w, noise=6))
    resid = residual_plane(smooth_image(rng, h, w, noise=12))[1] if chroma else g_resid
    hist = histogram(resid, green, luts, chroma, n_ctx)
    sf, cf = tables_from_histogram(hist, n_ctx)
    states, bs = encode(resid, green, cf, sf, luts, chroma, n_ctx)
    return rng, luts, green, resid, cf, sf, states, np.frombuffer(bs, np.uint8).copy()


@pytest.mark.parametrize("chroma", [False, True])
@pytest.mark.parametrize("damage", ["none", "cut", "flip", "states"])
@pytest.mark.parametrize("seed", range(3))
def test_decoders_follow_the_arithmetic_on_any_stream(chroma, damage, seed):
    h, w = 9, 13
    rng, luts, green, resid, cf, sf, states, bs = coded_channel(seed, h, w, chroma)
    if damage == "cut":  # the first bytes (read last) are gone: the stream ends part-way
        bs = bs[int(rng.integers(1, max(2, len(bs)))):]
    elif damage == "flip" and len(bs):
        k = rng.integers(0, len(bs), 3)
        bs[k] ^= rng.integers(1, 256, 3).astype(np.uint8)
    elif damage == "states":
        states = [int(v) for v in rng.integers(0, 2**40, 4)]
    ref = green.ravel() if chroma else None
    want = model_decode(bs, states, h, w, cf, sf, luts, ref)
    if damage == "none":
        assert np.array_equal(want, resid[1:h + 1, 1:w + 1])
    sts = [int(v) for v in states]
    if chroma:
        got = o.bp_decode_sharded_with_ref(bs, *sts, h, w, cf, sf, ref, *luts)
    else:
        got = o.bp_decode_sharded(bs, *sts, h, w, cf, sf, *luts)
        dbg, _ = o.bp_decode_sharded_debug(bs, *sts, h, w, cf, sf, *luts, resid.ravel(), green.ravel())
        assert np.array_equal(dbg, want)
    assert np.array_equal(got, want)
