"""The bit-pair coder's functions one by one: known values, edge cases and
faults, checked against the models in test_bitpair_reference."""
from __future__ import annotations

import subprocess
import sys
import textwrap

import numpy as np
import pytest

import orv_rans as o
from conftest import panic_message
from test_bitpair_reference import (
    encode,
    histogram,
    random_luts,
    residual_plane,
    smooth_image,
    tables_from_histogram,
    zero_luts,
)

U31 = 1 << 31
ONE_PIXEL_STATES = [2149057664, 2149057664, 2149057664, 34359742463]


def skewed_tables(n_ctx):
    sf = np.tile(np.array([4093, 1, 1, 1], np.uint16), (4, n_ctx, 1))
    cf = np.tile(np.array([0, 4093, 4094, 4095, 4096], np.uint16), (4, n_ctx, 1))
    return cf, sf


def one_pixel(value=192):
    r = np.zeros(9, np.uint8)
    r[4] = value
    return r, np.zeros(9, np.uint8)


def decode_args(bs, st, h, w, cf, sf):
    return (bs, *[int(v) for v in st], h, w, cf, sf)


# ================================================================= builders

@pytest.mark.parametrize("h, w", [(0, 0), (0, 5), (4, 0)])
@pytest.mark.parametrize("n_ctx", [0, 1, 64])
def test_build_empty_image_gives_uniform_tables(h, w, n_ctx):
    sf, cf = o.bp_build_pdf_sharded(np.zeros(0, np.uint8), np.zeros(0, np.uint8), *zero_luts(),
                                    h, w, n_ctx, False)
    assert sf.shape == (4, n_ctx, 4) and cf.shape == (4, n_ctx, 5)
    assert sf.dtype == cf.dtype == np.uint16
    assert (sf == 1024).all() and (cf == [0, 1024, 2048, 3072, 4096]).all()
    rgb = o.bp_build_pdf_sharded_rgb(*[np.zeros(0, np.uint8)] * 4, *zero_luts(), h, w, n_ctx)
    assert len(rgb) == 6
    for a, b in zip(rgb, (sf, cf) * 3):
        assert a.shape == b.shape and np.array_equal(a, b)


def test_build_all_zero_residuals():
    h, w, n_ctx = 5, 6, 64
    z = np.zeros((h + 2) * (w + 2), np.uint8)
    sf, cf = o.bp_build_pdf_sharded(z, z, *zero_luts(), h, w, n_ctx, False)
    assert (sf[:, 0] == [4093, 1, 1, 1]).all()
    assert (cf[:, 0] == [0, 4093, 4094, 4095, 4096]).all()
    assert (sf[:, 1:] == 1024).all()


def test_build_with_no_contexts_but_pixels_faults():
    z = np.zeros(9, np.uint8)
    msg = panic_message(o.bp_build_pdf_sharded, z, z, *zero_luts(), 1, 1, 0, False)
    assert msg == "index out of bounds: the len is 0 but the index is 0"


@pytest.mark.parametrize("chroma", [False, True])
@pytest.mark.parametrize("seed", range(4))
def test_build_matches_model(seed, chroma):
    rng = np.random.default_rng(seed)
    h, w = rng.integers(1, 24, 2)
    n_ctx = 64 * 5
    luts = random_luts(rng, 5)
    if chroma:
        green = rng.integers(0, 256, (h, w), dtype=np.uint8)
        ctx, _ = residual_plane(green)
        _, resid = residual_plane(rng.integers(0, 256, (h, w), dtype=np.uint8))
    else:
        ctx, resid = residual_plane(smooth_image(rng, h, w, noise=8))
    sf, cf = o.bp_build_pdf_sharded(resid.ravel(), ctx.ravel(), *luts, h, w, n_ctx, chroma)
    esf, ecf = tables_from_histogram(histogram(resid, ctx, luts, chroma, n_ctx), n_ctx)
    assert np.array_equal(sf, esf) and np.array_equal(cf, ecf)
    assert (cf[..., 4] == 4096).all() and (sf >= 1).all()


def test_build_counts_with_exact_quadruples():
    # one row, N = NW = 0, context number 0: plane 0's bit-pair context is W's
    # low pair. Pixels after a 0 land in context 0, so the counts there are
    # those of the symbols that follow a 0 (the first pixel follows the border).
    seq = [1, 0, 1, 0, 0, 0, 2, 0]  # context 0 sees 1, 1, 0, 0, 2 -> (2, 2, 1, 0)
    w = len(seq)
    plane = np.zeros((3, w + 2), np.uint8)
    plane[1, 1:w + 1] = seq
    sf, cf = o.bp_build_pdf_sharded(plane.ravel(), np.zeros_like(plane).ravel(), *zero_luts(),
                                    1, w, 64, True)
    assert list(sf[0, 0]) == [1638, 1638, 819, 1]
    # plane 0, context 1 (W pair = 1) saw two zeros; context 2 saw one zero
    assert list(sf[0, 1]) == [4093, 1, 1, 1] and list(sf[0, 2]) == [4093, 1, 1, 1]


def test_chroma_rule_reads_the_colocated_sample():
    # The two rules differ only by the intensity key: with i_lut mapping the
    # co-located sample and d_lut spreading the keys, the chroma rule moves the
    # counts to the context of the sample itself.
    s_lut = np.zeros(511 * 511, np.uint8)
    i_lut = (np.arange(256) % 4).astype(np.uint8)
    d_lut = np.array([0, 1, 2, 3], np.uint8)
    ctx = np.zeros(9, np.uint8)
    ctx[4] = 3  # the only sample; its prediction from the border is 0
    resid = np.zeros(9, np.uint8)
    n = 4 * 64
    sf_c, _ = o.bp_build_pdf_sharded(resid, ctx, s_lut, i_lut, d_lut, 1, 1, n, True)
    sf_n, _ = o.bp_build_pdf_sharded(resid, ctx, s_lut, i_lut, d_lut, 1, 1, n, False)
    assert list(sf_c[0, 192]) == [4093, 1, 1, 1] and list(sf_c[0, 0]) == [1024] * 4
    assert list(sf_n[0, 0]) == [4093, 1, 1, 1] and list(sf_n[0, 192]) == [1024] * 4
    # without the chroma rule the sample at p is not read at all: a context
    # plane one entry short of it is accepted
    sf_short, _ = o.bp_build_pdf_sharded(resid, ctx[:4], s_lut, i_lut, d_lut, 1, 1, n, False)
    assert np.array_equal(sf_short, sf_n)
    assert panic_message(o.bp_build_pdf_sharded, resid, ctx[:4], s_lut, i_lut, d_lut, 1, 1, n,
                         True) == "index out of bounds: the len is 4 but the index is 4"


@pytest.mark.parametrize("which", ["resid", "ctx"])
def test_build_short_plane_faults_at_first_read_beyond(which):
    h, w = 6, 5
    need = h * (w + 2) + w + 1
    full = np.zeros(need, np.uint8)
    short = np.zeros(need - 1, np.uint8)
    args = (short, full) if which == "resid" else (full, short)
    msg = panic_message(o.bp_build_pdf_sharded, *args, *zero_luts(), h, w, 64, True)
    assert msg == f"index out of bounds: the len is {need - 1} but the index is {need - 1}"
    # every other row of a large image still counts before the fault; the
    # fault is the same whatever the split of rows
    sf, _ = o.bp_build_pdf_sharded(full, full, *zero_luts(), h, w, 64, True)
    assert list(sf[0, 0]) == [4093, 1, 1, 1]


def test_build_context_beyond_n_ctx_counts_in_later_plane_then_faults():
    # context number 1 with n_ctx = 64: plane j's bit-pair context 64 lands in
    # plane j+1's context 0; plane 3's lands beyond the histogram
    luts = (np.zeros(511 * 511, np.uint8), np.zeros(256, np.uint8), np.ones(4, np.uint8))
    z = np.zeros(9, np.uint8)
    msg = panic_message(o.bp_build_pdf_sharded, z, z, *luts, 1, 1, 64, False)
    assert msg == "index out of bounds: the len is 1024 but the index is 1024"
    sf, _ = o.bp_build_pdf_sharded(z, z, *luts, 1, 1, 128, False)
    assert list(sf[0, 64]) == [4093, 1, 1, 1]


@pytest.mark.parametrize("bad", ["s_lut", "i_lut", "d_lut"])
def test_build_short_lookup_table_faults(bad):
    s_lut, i_lut, d_lut = zero_luts()
    z = np.zeros(9, np.uint8)
    if bad == "s_lut":
        s_lut = s_lut[:130560]  # W = N = NW = 0 reads entry 130560
        expect = "the len is 130560 but the index is 130560"
    elif bad == "i_lut":
        i_lut = i_lut[:0]
        expect = "the len is 0 but the index is 0"
    else:
        d_lut = d_lut[:0]
        expect = "the len is 0 but the index is 0"
    msg = panic_message(o.bp_build_pdf_sharded, z, z, s_lut, i_lut, d_lut, 1, 1, 64, False)
    assert msg == "index out of bounds: " + expect


def test_rgb_builder_equals_three_single_calls():
    rng = np.random.default_rng(7)
    h, w, n_ctx = 31, 17, 64 * 6
    luts = random_luts(rng, 6)
    green, gr = residual_plane(smooth_image(rng, h, w))
    rd = residual_plane(smooth_image(rng, h, w, noise=10))[1]
    bd = residual_plane(rng.integers(0, 256, (h, w), dtype=np.uint8))[1]
    rgb = o.bp_build_pdf_sharded_rgb(gr.ravel(), rd.ravel(), bd.ravel(), green.ravel(), *luts,
                                     h, w, n_ctx)
    singles = []
    for r, chroma in ((gr, False), (rd, True), (bd, True)):
        singles += o.bp_build_pdf_sharded(r.ravel(), green.ravel(), *luts, h, w, n_ctx, chroma)
    for a, b in zip(rgb, singles):
        assert np.array_equal(a, b)


def test_rgb_builder_chroma_context_beyond_n_ctx_fails_in_last_channel():
    luts = (np.zeros(511 * 511, np.uint8), np.zeros(256, np.uint8), np.ones(4, np.uint8))
    z = np.zeros(9, np.uint8)
    msg = panic_message(o.bp_build_pdf_sharded_rgb, z, z, z, z, *luts, 1, 1, 64)
    assert msg == "index out of bounds: the len is 3072 but the index is 3072"


# ================================================================== encoder

def test_encode_worked_example():
    r, g = one_pixel()
    cf, sf = skewed_tables(64)
    st, bs = o.bp_encode_sharded(r, g, cf, sf, *zero_luts(), 1, 1, 64, False)
    assert st.dtype == np.uint64 and st.shape == (4,)
    assert list(st) == ONE_PIXEL_STATES
    assert bs.dtype == np.uint8 and list(bs) == [0]


@pytest.mark.parametrize("h, w", [(0, 0), (0, 3), (3, 0)])
def test_encode_empty_image(h, w):
    cf, sf = skewed_tables(1)
    st, bs = o.bp_encode_sharded(np.zeros(0, np.uint8), np.zeros(0, np.uint8), cf, sf,
                                 *zero_luts(), h, w, 1, False)
    assert list(st) == [U31] * 4 and bs.shape == (0,)


@pytest.mark.parametrize("skewed", [False, True])
@pytest.mark.parametrize("chroma", [False, True])
@pytest.mark.parametrize("seed", range(5))
def test_encode_matches_model(seed, chroma, skewed):
    """Random tables; skewed ones put frequency 1 on most symbols and 4093
    on one, so that steps emit no byte, one or two, and the frequency-1
    division is taken, on images large enough for the proven rows."""
    rng = np.random.default_rng(100 + seed)
    h, w = rng.integers(1, 40 if skewed else 9, 2)
    n_ctx = 64 * 3
    luts = random_luts(rng, 3)
    if chroma:
        ctx = residual_plane(rng.integers(0, 256, (h, w), dtype=np.uint8))[0]
        resid = residual_plane(rng.integers(0, 256, (h, w), dtype=np.uint8))[1]
    else:
        ctx, resid = residual_plane(smooth_image(rng, h, w, noise=20))
    # random (not built) tables with every frequency >= 1
    raw = rng.integers(1, 1000, (4, n_ctx, 4))
    sf = np.maximum(1, raw * 4096 // raw.sum(axis=2, keepdims=True)).astype(np.int64)
    sf[..., 0] += 4096 - sf.sum(axis=2)
    if skewed:
        sf = np.ones((4, n_ctx, 4), np.int64)
        np.put_along_axis(sf, rng.integers(0, 4, (4, n_ctx, 1)), 4093, axis=2)
    sf = sf.astype(np.uint16)
    cf = np.zeros((4, n_ctx, 5), np.uint16)
    cf[..., 1:] = np.cumsum(sf, axis=2)
    st, bs = o.bp_encode_sharded(resid.ravel(), ctx.ravel(), cf, sf, *luts, h, w, n_ctx, chroma)
    x, out = encode(resid, ctx, cf, sf, luts, chroma, n_ctx)
    assert list(st) == x and bytes(bs) == out


def test_encode_tables_in_any_layout():
    rng = np.random.default_rng(3)
    h, w, n_ctx = 6, 7, 64 * 2
    luts = random_luts(rng, 2)
    ctx, resid = residual_plane(smooth_image(rng, h, w))
    sf, cf = o.bp_build_pdf_sharded(resid.ravel(), ctx.ravel(), *luts, h, w, n_ctx, False)
    ref = o.bp_encode_sharded(resid.ravel(), ctx.ravel(), cf, sf, *luts, h, w, n_ctx, False)
    cf_f, sf_f = np.asfortranarray(cf), np.asfortranarray(sf)
    cf_s = np.zeros((4, n_ctx, 10), np.uint16)
    cf_s[..., ::2] = cf
    got = o.bp_encode_sharded(resid.ravel(), ctx.ravel(), cf_f, sf_f, *luts, h, w, n_ctx, False)
    got2 = o.bp_encode_sharded(resid.ravel(), ctx.ravel(), cf_s[..., ::2], sf, *luts, h, w, n_ctx,
                               False)
    for a in (got, got2):
        assert np.array_equal(a[0], ref[0]) and np.array_equal(a[1], ref[1])


def test_encode_non_contiguous_plane_is_type_error():
    z = np.zeros(18, np.uint8)
    cf, sf = skewed_tables(64)
    with pytest.raises(TypeError, match="The given array is not contiguous"):
        o.bp_encode_sharded(z[::2], z[:9], cf, sf, *zero_luts(), 1, 1, 64, False)


ZERO_FREQ_SCRIPT = textwrap.dedent("""
    import numpy as np, orv_rans as o
    s, i, d = np.zeros(511 * 511, np.uint8), np.zeros(256, np.uint8), np.zeros(4, np.uint8)
    h, w = 3, 4
    r = np.zeros((h + 2) * (w + 2), np.uint8)
    r[2 * (w + 2) + 3] = 0x20          # pixel (y=1, x=2): plane 2 symbol 2
    sf = np.tile(np.array([4094, 1, 0, 1], np.uint16), (4, 64, 1))
    cf = np.zeros((4, 64, 5), np.uint16); cf[..., 1:] = np.cumsum(sf, axis=2)
    try:
        o.bp_encode_sharded(r, np.zeros_like(r), cf, sf, s, i, d, h, w, 64, False)
    except ValueError as e:
        print("ValueError:", e)
""")


def test_encode_zero_frequency_is_value_error_and_never_hangs():
    out = subprocess.run([sys.executable, "-c", ZERO_FREQ_SCRIPT], capture_output=True, text=True,
                         timeout=120)
    assert out.returncode == 0, out.stderr
    msg = out.stdout.strip()
    assert msg.startswith("ValueError:")
    assert "plane 2" in msg and "(y=1, x=2)" in msg and "frequency 0" in msg


def test_encode_frequency_above_scale_faults():
    r, g = one_pixel(0)
    cf, sf = skewed_tables(64)
    sf[0, 0, 0] = 5000
    assert panic_message(o.bp_encode_sharded, r, g, cf, sf, *zero_luts(), 1, 1, 64,
                         False) == "index out of bounds: the len is 4097 but the index is 5000"


def test_encode_short_tables_fault():
    r, g = one_pixel(0)
    cf, sf = skewed_tables(64)
    # plane 3 is coded first: entry 3*64 is the first one read
    msg = panic_message(o.bp_encode_sharded, r, g, cf, sf[:3], *zero_luts(), 1, 1, 64, False)
    assert msg == "index out of bounds: the len is 768 but the index is 768"
    msg = panic_message(o.bp_encode_sharded, r, g, cf[:3], sf, *zero_luts(), 1, 1, 64, False)
    assert msg == "index out of bounds: the len is 960 but the index is 960"
    # a huge n_ctx puts every plane but 0 far beyond the tables
    msg = panic_message(o.bp_encode_sharded, r, g, cf, sf, *zero_luts(), 1, 1, 1 << 62, False)
    assert msg.startswith("index out of bounds: the len is 1024")


# ================================================================= decoders

def test_decode_worked_example_all_variants():
    r, g = one_pixel()
    cf, sf = skewed_tables(64)
    bs = np.array([0], np.uint8)
    args = decode_args(bs, ONE_PIXEL_STATES, 1, 1, cf, sf)
    luts = zero_luts()
    assert o.bp_decode_sharded(*args, *luts).tolist() == [[192]]
    assert o.bp_decode_sharded_with_ref(*args, g, *luts).tolist() == [[192]]
    res, rep = o.bp_decode_sharded_debug(*args, *luts, r, g)
    assert res.tolist() == [[192]] and rep is None
    r2 = r.copy()
    r2[4] = 191
    res, rep = o.bp_decode_sharded_debug(*args, *luts, r2, np.zeros(0, np.uint8))
    assert rep == (1, 1, 0, *ONE_PIXEL_STATES, 191, 192)
    assert all(type(v) is int for v in rep)


@pytest.mark.parametrize("h, w", [(0, 0), (0, 4), (4, 0)])
def test_decode_empty_image(h, w):
    cf, sf = skewed_tables(1)
    args = decode_args(np.zeros(0, np.uint8), [U31] * 4, h, w, cf, sf)
    e = np.zeros(0, np.uint8)
    assert o.bp_decode_sharded(*args, *zero_luts()).shape == (h, w)
    assert o.bp_decode_sharded_with_ref(*args, e, *zero_luts()).shape == (h, w)
    res, rep = o.bp_decode_sharded_debug(*args, *zero_luts(), e, e)
    assert res.shape == (h, w) and rep is None


def test_decode_empty_stream_runs_on_the_states():
    cf, sf = skewed_tables(64)
    res = o.bp_decode_sharded(*decode_args(np.zeros(0, np.uint8), [U31] * 4, 3, 3, cf, sf),
                              *zero_luts())
    assert res.shape == (3, 3)  # whatever the symbols, no error and no read


def test_decode_n_ctx_from_cumulative_count():
    # 64 pair tables per plane plus 3 stray values: n_ctx = (20*64*4 ... ) // 20
    rng = np.random.default_rng(5)
    h, w = 5, 4
    ctx, resid = residual_plane(smooth_image(rng, h, w))
    sf, cf = o.bp_build_pdf_sharded(resid.ravel(), ctx.ravel(), *zero_luts(), h, w, 64, False)
    st, bs = o.bp_encode_sharded(resid.ravel(), ctx.ravel(), cf, sf, *zero_luts(), h, w, 64, False)
    padded = np.concatenate([cf.ravel(), np.full(19, 7, np.uint16)]).reshape(1, 1, -1)
    out = o.bp_decode_sharded(*decode_args(bs, st, h, w, padded, sf), *zero_luts())
    assert np.array_equal(out, resid[1:-1, 1:-1])
    # a shorter list changes the stride: different tables, still no fault
    # as long as every index stays inside
    short = cf.ravel()[:-20].reshape(1, 1, -1)
    try:
        o.bp_decode_sharded(*decode_args(bs, st, h, w, short, sf), *zero_luts())
    except BaseException as e:
        assert type(e).__name__ == "PanicException"


def test_decode_short_tables_fault():
    cf, sf = skewed_tables(64)
    args = decode_args(np.zeros(0, np.uint8), [U31] * 4, 1, 1, cf[:, :1], sf[:, :1])
    # n_ctx = 4*5*1 // 20 = 1; context 0 of plane 0 is inside, plane 1 reads
    # entry 5*1 + 1 = 6 of the 20
    assert o.bp_decode_sharded(*args, *zero_luts()).shape == (1, 1)
    args = decode_args(np.zeros(0, np.uint8), [U31] * 4, 1, 1, cf, sf[:1, :1])
    msg = panic_message(o.bp_decode_sharded, *args, *zero_luts())
    assert msg.startswith("index out of bounds: the len is 4 but the index is")


def test_with_ref_short_reference_faults():
    cf, sf = skewed_tables(64)
    args = decode_args(np.zeros(0, np.uint8), [U31] * 4, 1, 1, cf, sf)
    msg = panic_message(o.bp_decode_sharded_with_ref, *args, np.zeros(4, np.uint8), *zero_luts())
    assert msg == "index out of bounds: the len is 4 but the index is 4"


def test_debug_short_original_faults_even_after_mismatch():
    rng = np.random.default_rng(11)
    h, w = 4, 5
    ctx, resid = residual_plane(smooth_image(rng, h, w, noise=30))
    sf, cf = o.bp_build_pdf_sharded(resid.ravel(), ctx.ravel(), *zero_luts(), h, w, 64, False)
    st, bs = o.bp_encode_sharded(resid.ravel(), ctx.ravel(), cf, sf, *zero_luts(), h, w, 64, False)
    orig = resid.ravel().copy()
    orig[w + 3] ^= 1  # mismatch at the first pixel
    need = h * (w + 2) + w + 1
    msg = panic_message(o.bp_decode_sharded_debug, *decode_args(bs, st, h, w, cf, sf),
                        *zero_luts(), orig[:need - 1], orig)
    assert msg == f"index out of bounds: the len is {need - 1} but the index is {need - 1}"


def test_debug_reports_first_mismatch_only():
    rng = np.random.default_rng(12)
    h, w = 7, 9
    ctx, resid = residual_plane(smooth_image(rng, h, w, noise=10))
    luts = random_luts(rng, 3)
    sf, cf = o.bp_build_pdf_sharded(resid.ravel(), ctx.ravel(), *luts, h, w, 192, False)
    st, bs = o.bp_encode_sharded(resid.ravel(), ctx.ravel(), cf, sf, *luts, h, w, 192, False)
    args = decode_args(bs, st, h, w, cf, sf)
    res, rep = o.bp_decode_sharded_debug(*args, *luts, resid.ravel(), ctx.ravel())
    assert rep is None and np.array_equal(res, resid[1:-1, 1:-1])

    wrong = resid.copy()
    wrong[4, 5] ^= 0x10
    wrong[6, 2] ^= 0x01  # a later mismatch does not change the report
    res2, rep2 = o.bp_decode_sharded_debug(*args, *luts, wrong.ravel(), np.zeros(1, np.uint8))
    assert np.array_equal(res2, res)
    r, q, pos, *states, exp, got = rep2
    assert (r, q) == (4, 5) and exp == wrong[4, 5] and got == resid[4, 5]
    assert -1 <= pos < len(bs) and min(states) >= U31

    only_late = resid.copy()
    only_late[6, 2] ^= 0x01
    _, rep3 = o.bp_decode_sharded_debug(*args, *luts, only_late.ravel(), ctx.ravel())
    assert rep3[:2] == (6, 2)


def test_debug_report_states_are_the_encoders_states_for_the_remaining_pixels():
    # Encoding pixels p..last alone ends in exactly the states that the
    # decoder holds before pixel p, with the stream's first bytes as the
    # unread part: check it with the model encoder on the same residuals.
    rng = np.random.default_rng(13)
    h, w = 3, 4
    ctx, resid = residual_plane(smooth_image(rng, h, w, noise=40))
    luts = zero_luts()
    sf, cf = o.bp_build_pdf_sharded(resid.ravel(), ctx.ravel(), *luts, h, w, 64, False)
    st, bs = o.bp_encode_sharded(resid.ravel(), ctx.ravel(), cf, sf, *luts, h, w, 64, False)
    wrong = resid.copy()
    wrong[2, 3] ^= 0x80
    _, rep = o.bp_decode_sharded_debug(*decode_args(bs, st, h, w, cf, sf), *luts, wrong.ravel(),
                                       wrong.ravel())
    # pixels in scan order from (y=1, x=2) to the end, as a 1-row image would
    # not keep the neighbours; instead run the model encoder over the whole
    # plane but stop it before pixel (1, 2): its states are the snapshot
    c = np.zeros((h, w), np.int64)
    from test_bitpair_reference import pair_contexts
    ks, ss = pair_contexts(resid, c)
    x = [U31] * 4
    out = bytearray()
    cfl, sfl = cf.ravel().tolist(), sf.ravel().tolist()
    for y in range(h - 1, -1, -1):
        for xx in range(w - 1, -1, -1):
            if (y, xx) < (1, 2):
                break
            for j in (3, 2, 1, 0):
                e = j * 64 + int(ks[j][y, xx])
                s = int(ss[j][y, xx])
                f = sfl[4 * e + s]
                while x[j] >= f << 27:
                    out.append(x[j] & 0xFF)
                    x[j] >>= 8
                x[j] = (x[j] // f) * 4096 + x[j] % f + cfl[5 * e + s]
    assert rep[:2] == (2, 3)
    assert list(rep[3:7]) == x and rep[2] == len(out) - 1
    assert bytes(bs[: len(out)]) == bytes(out)


def test_decoders_reject_non_contiguous():
    cf, sf = skewed_tables(64)
    z = np.zeros(18, np.uint8)
    args = decode_args(z[:1], [U31] * 4, 1, 1, cf, sf)
    with pytest.raises(TypeError, match="not contiguous"):
        o.bp_decode_sharded_with_ref(*args, z[::2], *zero_luts())
    with pytest.raises(TypeError, match="not contiguous"):
        o.bp_decode_sharded_debug(*args, *zero_luts(), z[:9], z[::2])
