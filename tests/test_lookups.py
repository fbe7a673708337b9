"""Slot lookup tables from cumulative tables."""
import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import orv_rans
from conftest import is_panic


def reference(c):
    """Slot lookup of one cumulative table, slot by slot."""
    out = np.zeros(4096, np.uint8)
    for s in range(256):
        lo, hi = int(c[s]), int(c[s + 1])
        if lo < hi <= 4096:
            out[lo:hi] = s
    return out


def lookups(tables):
    return orv_rans.build_all_lookups(np.asarray(tables, np.uint64))


def test_uniform_and_symbol_zero_tables():
    uniform = np.arange(257, dtype=np.uint64) * 16
    zero = np.full(257, 4096, np.uint64)
    zero[0] = 0
    r = lookups([[uniform, zero]])
    assert (r[0, 0] == np.arange(4096) // 16).all()
    assert not r[0, 1].any()


@pytest.mark.parametrize("last,expect_tail", [(4000, 0), (5000, 0), (4096, 255)])
def test_ranges_ending_short_or_past_the_scale(last, expect_tail):
    c = np.arange(257, dtype=np.uint64) * 15  # c[255] = 3825
    c[255] = 4000
    c[256] = last
    r = lookups([[c]])[0, 0]
    assert (r[4000:] == expect_tail).all()
    assert (r[:4000] == reference(c)[:4000]).all()


@pytest.mark.parametrize("shape", [(0, 0, 257), (0, 5, 257), (3, 0, 257), (0, 0, 0)])
def test_empty_grids(shape):
    assert lookups(np.zeros(shape)).shape == shape[:2] + (4096,)


def test_wider_last_dimension_shifts_and_narrower_faults():
    c = np.zeros((1, 1, 258), np.uint64)
    c[0, 0, :257] = np.arange(257) * 16
    c[0, 0, 257] = 99
    assert (lookups(c)[0, 0] == np.arange(4096) // 16).all()
    with pytest.raises(BaseException) as ei:
        lookups(np.zeros((1, 2, 200)))
    assert is_panic(ei.value)
    assert str(ei.value) == "range end index 514 out of range for slice of length 400"


def test_fortran_order_equals_c_order():
    rng = np.random.default_rng(3)
    c = np.sort(rng.integers(0, 4200, size=(2, 3, 257)), axis=2).astype(np.uint64)
    f = np.asfortranarray(c)
    assert not f.flags.c_contiguous
    assert (lookups(f) == lookups(c)).all()
    assert (lookups(c[:, ::-1]) == lookups(c)[:, ::-1]).all()


@settings(max_examples=60, deadline=None)
@given(st.lists(st.lists(st.integers(0, 4200), min_size=257, max_size=257), min_size=1, max_size=6))
def test_matches_the_slot_by_slot_rule(tables):
    """Arbitrary (also unsorted, overlapping) cumulative tables."""
    c = np.array(tables, np.uint64).reshape(1, len(tables), 257)
    r = lookups(c)
    for j in range(len(tables)):
        assert (r[0, j] == reference(c[0, j])).all()


@settings(max_examples=60, deadline=None)
@given(st.lists(st.lists(st.integers(0, 40), min_size=256, max_size=256).filter(any),
                min_size=1, max_size=6), st.data())
def test_ascending_tables_match_the_slot_by_slot_rule(weights, data):
    """Cumulative tables from 0 to 4096 that never go down (every table the
    encoder writes): wide, narrow and empty ranges side by side."""
    rows = []
    for w in weights:
        cut = np.sort(np.array(data.draw(st.lists(st.integers(0, 4096), min_size=255,
                                                      max_size=255)), np.uint64))
        rows.append(np.concatenate([[0], cut, [4096]]) if data.draw(st.booleans())
                    else np.concatenate([[0], np.cumsum(w) * 4096 // sum(w)]))
    c = np.array(rows, np.uint64).reshape(1, len(rows), 257)
    r = lookups(c)
    for j in range(len(rows)):
        assert (r[0, j] == reference(c[0, j])).all()
