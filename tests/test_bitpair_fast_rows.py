"""The bit-pair decoders' fast rows against their checked path (every read
tested, forced through the private _bitpair_checked_rows hook): the same
residuals or the same fault, on streams that decode and on streams cut short,
damaged or driven by states the encoder never gives, with tables that reach
past their lists part-way through an image, and with context tables that fold
into a grid, that do not, that are too short, or that name contexts past the
pair tables, and with cumulative rows in order (the fast rows then guess
symbol 0 in the high bit-pair planes) or not. The non-chroma rule takes its fast rows from 8192 pixels on
(with private, proven context tables), the chroma rule at every size."""
from __future__ import annotations

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import orv_rans as o
from test_bitpair_reference import image_luts, random_luts, residual_plane, smooth_image


@pytest.fixture(autouse=True)
def fast_rows_after():
    yield
    o._bitpair_checked_rows(False)


def outcome(fn):
    try:
        return ("ok", fn())
    except BaseException as e:  # PanicException is a BaseException
        return (type(e).__name__, str(e))


def both_paths(fn):
    """(fast, checked) outcomes of fn."""
    o._bitpair_checked_rows(False)
    fast = outcome(fn)
    o._bitpair_checked_rows(True)
    checked = outcome(fn)
    o._bitpair_checked_rows(False)
    return fast, checked


def assert_same(fast, checked):
    assert fast[0] == checked[0]
    if fast[0] == "ok":
        np.testing.assert_array_equal(fast[1], checked[1])
    else:
        assert fast[1] == checked[1]


LUT_KINDS = ["activity", "rows", "rows-one-key", "columns", "columns-one-key"]


def luts_of(kind, rng):
    """Context tables that take each lookup of the non-chroma rule: too many
    distinct rows to fold (activity), a grid of rows or of columns, with one
    intensity class or four."""
    if kind == "activity":
        return image_luts(4)
    if kind.startswith("rows"):  # four distinct rows of random columns
        patterns = rng.integers(0, 8, (4, 511), dtype=np.uint8)
        s_lut = patterns[rng.integers(0, 4, 511)].ravel()
        i_lut = (np.arange(256) // 64).astype(np.uint8)
        d_lut = rng.integers(0, 12, 32, dtype=np.uint8)
    else:
        level = np.minimum(np.abs(np.arange(511) - 255) // 4, 3)
        s_lut = (level[None, :] + 4 * (level[:, None] > 1)).astype(np.uint8).ravel()
        i_lut = (np.arange(256) // 64).astype(np.uint8)
        d_lut = rng.integers(0, 12, 32, dtype=np.uint8)
    if kind.endswith("one-key"):
        i_lut = np.full(256, 2, np.uint8)
    return s_lut, i_lut, d_lut


def coded(rng, h, w, luts, chroma):
    n_ctx = 64 * (int(luts[2].max()) + 1)
    green, g_resid = residual_plane(smooth_image(rng, h, w, noise=8))
    resid = residual_plane(smooth_image(rng, h, w, noise=14))[1] if chroma else g_resid
    sf, cf = o.bp_build_pdf_sharded(resid.ravel(), green.ravel(), *luts, h, w, n_ctx, chroma)
    states, bs = o.bp_encode_sharded(resid.ravel(), green.ravel(), cf, sf, *luts, h, w, n_ctx, chroma)
    return green, resid, cf, sf, [int(s) for s in states], bs


def decoder(bs, states, h, w, cf, sf, luts, green, chroma):
    if chroma:
        return lambda: o.bp_decode_sharded_with_ref(bs, *states, h, w, cf, sf, green.ravel(), *luts)
    return lambda: o.bp_decode_sharded(bs, *states, h, w, cf, sf, *luts)


def damage(rng, how, bs, states):
    bs = bs.copy()
    if how == "cut":  # the stream runs out part-way: late rows meet its start
        bs = bs[len(bs) // 2 + int(rng.integers(0, 8)):].copy()
    elif how == "flip":
        for i in rng.integers(0, len(bs), 8):
            bs[i] ^= 1 << int(rng.integers(0, 8))
    elif how == "states":
        states = [int(v) for v in rng.integers(0, 2**64, 4, dtype=np.uint64)]
    return bs, states


def unorder(rng, cf):
    """The encoder's cumulative rows with a third of the bit-pair planes 2 and
    3's rows decreasing after their first symbol: a slot below the second
    value then need not find symbol 0."""
    cf = cf.copy()
    rows = cf[2:].reshape(-1, 5)
    pick = rng.random(len(rows)) < 1 / 3
    rows[pick, 2] = rows[pick, 1] // 2
    return cf


def damaged(h, w, kind, how, chroma):
    """A coded plane and its context tables (`kind`), damaged as `how` says."""
    rng = np.random.default_rng([h, w, len(how), chroma])
    luts = luts_of(kind, rng)
    green, resid, cf, sf, states, bs = coded(rng, h, w, luts, chroma)
    bs, states = damage(rng, how, bs, states)
    if how == "unordered":
        cf = unorder(rng, cf)
    return luts, green, resid, cf, sf, states, bs


every_damage = pytest.mark.parametrize("how", ["none", "cut", "flip", "states", "unordered"])
both_sizes = pytest.mark.parametrize("h,w", [(5, 7), (256, 260)])


@pytest.mark.parametrize("chroma", [False, True])
@pytest.mark.parametrize("kind", LUT_KINDS)
@every_damage
@both_sizes
def test_fast_rows_give_the_checked_result(chroma, kind, how, h, w):
    luts, green, resid, cf, sf, states, bs = damaged(h, w, kind, how, chroma)
    fast, checked = both_paths(decoder(bs, states, h, w, cf, sf, luts, green, chroma))
    assert_same(fast, checked)
    if how == "none":
        np.testing.assert_array_equal(fast[1], resid[1:-1, 1:-1])


@pytest.mark.parametrize("chroma", [False, True])
@pytest.mark.parametrize("cut", [1, 7, 20 * 64, 20 * 64 * 3 + 5])
def test_pair_tables_that_end_early_fault_at_the_same_pixel(chroma, cut):
    """Cumulative lists cut short: pixels of low context numbers take the
    fast rows, the first pixel whose tables leave the list faults (or, with a
    cut past the last plane's start, takes the checked reads of that pixel)."""
    rng = np.random.default_rng(cut)
    h, w = 40, 1700  # large enough for the private context tables
    luts = image_luts(4)
    green, resid, cf, sf, states, bs = coded(rng, h, w, luts, chroma)
    flat_cf = cf.ravel()[: cf.size - cut].reshape(1, 1, -1)
    fast, checked = both_paths(decoder(bs, states, h, w, flat_cf, sf, luts, green, chroma))
    assert_same(fast, checked)


@pytest.mark.parametrize("which", ["s_lut", "i_lut", "d_lut", "ref"])
def test_short_context_planes_and_tables_fault_alike(which):
    rng = np.random.default_rng(3)
    h, w = 300, 230
    luts = list(image_luts(4))
    green, resid, cf, sf, states, bs = coded(rng, h, w, tuple(luts), which == "ref")
    if which == "ref":
        green = green.ravel()[: green.size - 3 * (w + 2)]
    else:
        k = ["s_lut", "i_lut", "d_lut"].index(which)
        luts[k] = luts[k][: max(1, int(luts[k].max() if k == 2 else len(luts[k]) // 2))]
    fast, checked = both_paths(decoder(bs, states, h, w, cf, sf, tuple(luts), green, which == "ref"))
    assert fast[0] != "ok"
    assert_same(fast, checked)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(seed=st.integers(0, 2**32 - 1), h=st.integers(1, 12), w=st.integers(1, 40),
       chroma=st.booleans(), n_ctx=st.sampled_from([1, 64, 65, 200, 256]),
       order=st.sampled_from(["random", "sorted", "sorted but one"]))
def test_any_tables_and_stream(seed, h, w, chroma, n_ctx, order):
    """Random pair tables (zero and oversized frequencies, cumulative values
    in any order, in ascending order, or ascending but for one row), a random
    stream and random states: whatever the arithmetic gives, both paths give
    it."""
    rng = np.random.default_rng(seed)
    luts = random_luts(rng, 4)
    cf = rng.integers(0, 4400, (4, n_ctx, 5), dtype=np.uint16)
    if order != "random":
        cf.sort(axis=2)
    if order == "sorted but one":
        row = cf.reshape(-1, 5)[int(rng.integers(0, 4 * n_ctx))]
        row[1], row[3] = row[3], row[1]
    sf = rng.integers(0, 4400, (4, n_ctx, 4), dtype=np.uint16)
    bs = rng.integers(0, 256, int(rng.integers(0, 8 * h * w + 4)), dtype=np.uint8)
    states = [int(v) for v in rng.integers(0, 2**40, 4, dtype=np.uint64)]
    green = rng.integers(0, 256, (h + 2) * (w + 2), dtype=np.uint8).reshape(h + 2, w + 2)
    fast, checked = both_paths(decoder(bs, states, h, w, cf, sf, luts, green, chroma))
    assert_same(fast, checked)


@pytest.mark.parametrize("checked_rows", [False, True])
@pytest.mark.parametrize("kind", LUT_KINDS)
@every_damage
@both_sizes
def test_the_samples_entry_rebuilds_what_the_residuals_give(checked_rows, kind, how, h, w):
    """The front end's decoder of a non-chroma plane: the plane that
    reconstruct_2d_channels rebuilds from the decoded residuals, or the same
    fault, on fast and on checked rows."""
    luts, green, resid, cf, sf, states, bs = damaged(h, w, kind, how, False)
    o._bitpair_checked_rows(checked_rows)
    samples = outcome(lambda: o._bp_decode_samples(bs, *states, h, w, cf, sf, *luts))
    residuals = outcome(lambda: o.reconstruct_2d_channels(
        h, w, o.bp_decode_sharded(bs, *states, h, w, cf, sf, *luts)))
    assert_same(samples, residuals)
    if how == "none":
        np.testing.assert_array_equal(samples[1], green[1:-1, 1:-1])
