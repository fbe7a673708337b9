"""The per-shard choice between the own table and a template."""
import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import orv_rans as o
from conftest import counts_of, panic_message

NO_TEMPLATES = np.zeros((0, 256), np.uint64)


def template_pair():
    t = np.zeros((2, 256), np.uint64)
    t[0, :] = 16
    t[1, 1] = t[1, 2] = 2048
    return t


def ref_cost(counts, table):
    cost = 0.0
    for c, f in zip(counts.tolist(), table.tolist()):
        if c:
            cost += (12.0 - math.log2(float(f))) * c if f else c * 24.0
    return cost


def ref_choose(counts, width, penalty, templates, disable):
    mode, own = o.decide_shard_mode(counts, width, 0.0, NO_TEMPLATES, True)
    if mode == 3 or disable or len(templates) == 0:
        return mode, own.tolist()
    costs = [ref_cost(counts, t) for t in templates]
    chosen = costs.index(min(costs))
    if penalty + ref_cost(counts, own) > costs[chosen]:
        if not ((counts > 0) & (templates[chosen] == 0)).any():
            return 4 + chosen, templates[chosen].tolist()
    return 0, own.tolist()


@pytest.mark.parametrize(
    "counts, width, penalty, disable, mode, table",
    [
        ({1: 100, 2: 100}, 3, 120.0, False, 5, {1: 2048, 2: 2048}),
        ({1: 100, 2: 100}, 3, 0.0, False, 0, {1: 2048, 2: 2048}),  # 200 is not > 200
        ({1: 100, 2: 100}, 3, 120.0, True, 0, {1: 2048, 2: 2048}),
        # template 1 is cheapest but cannot code symbol 3; template 0 is not tried
        ({1: 100, 2: 100, 3: 1}, 4, 120.0, False, 0, {1: 2038, 2: 2038, 3: 20}),
        ({0: 50}, 7, 1e9, False, 3, {0: 4096}),
        ({}, 7, 1e9, False, 3, {0: 4096}),
        # a NaN penalty never beats a template
        ({1: 100, 2: 100}, 3, float("nan"), False, 0, {1: 2048, 2: 2048}),
    ],
)
def test_worked_examples(counts, width, penalty, disable, mode, table):
    got_mode, got = o.decide_shard_mode(counts_of(counts), width, penalty, template_pair(), disable)
    assert got_mode == mode
    assert {s: int(v) for s, v in enumerate(got) if v} == table
    assert got.dtype == np.uint64 and got.shape == (256,)


def test_costs_of_the_worked_example():
    counts = counts_of({1: 100, 2: 100, 3: 1})
    t = template_pair()
    assert ref_cost(counts, t[0]) == 1608.0 and ref_cost(counts, t[1]) == 224.0


def test_equal_costs_keep_the_lower_template():
    t = np.zeros((3, 256), np.uint64)
    t[:, 1] = t[:, 2] = 2048
    t[0, 1], t[0, 2] = 1, 4095  # dearer
    assert o.decide_shard_mode(counts_of({1: 5, 2: 5}), 3, 500.0, t, False)[0] == 5


def test_a_template_missing_only_absent_symbols_is_valid():
    t = np.zeros((1, 256), np.uint64)
    t[0, 1] = t[0, 2] = 2048
    assert o.decide_shard_mode(counts_of({1: 5, 2: 5}), 256, 500.0, t, False)[0] == 4


def test_symbols_beyond_the_width_tip_the_choice_to_a_template():
    counts = counts_of({1: 100, 9: 100})
    t = np.full((1, 256), 16, np.uint64)
    # width 2: the own table charges 24 bits for every 9, the template 8
    assert o.decide_shard_mode(counts, 2, 0.0, t, False)[0] == 4
    assert o.decide_shard_mode(counts, 10, 0.0, t, False)[0] == 0


def test_the_last_nameable_template_is_mode_255():
    t = np.full((252, 256), 16, np.uint64)
    t[251, :] = 0
    t[251, 7] = 4096
    mode, table = o.decide_shard_mode(counts_of({7: 3}), 256, 120.0, t, False)
    assert mode == 255 and table[7] == 4096


@pytest.mark.parametrize("rows", [253, 300])
def test_more_templates_than_a_mode_byte_can_name(rows):
    t = np.full((rows, 256), 16, np.uint64)
    with pytest.raises(ValueError, match="at most 252"):
        o.decide_shard_mode(counts_of({7: 3}), 256, 120.0, t, False)
    assert o.decide_shard_mode(counts_of({7: 3}), 256, 120.0, t, True)[0] == 0


@pytest.mark.parametrize("length", [0, 255, 257])
def test_counts_must_have_256_entries(length):
    with pytest.raises(ValueError, match="^counts must have exactly 256 elements$"):
        o.decide_shard_mode(np.zeros(length, np.uint64), 3, 1.0, NO_TEMPLATES, False)


def test_short_template_rows_fault():
    t = np.full((2, 255), 16, np.uint64)
    msg = panic_message(o.decide_shard_mode, counts_of({1: 3}), 3, 1.0, t, False)
    assert msg == "range end index 512 out of range for slice of length 510"


@settings(max_examples=200, deadline=None)
@given(
    st.dictionaries(st.integers(0, 255), st.integers(1, 5000), max_size=40),
    st.integers(0, 260),
    st.sampled_from([0.0, 24.0, 120.0, 1000.0]),
    st.integers(0, 6),
    st.booleans(),
    st.integers(0, 2**32 - 1),
)
def test_choice_matches_the_model(d, width, penalty, n_templates, disable, seed):
    rng = np.random.default_rng(seed)
    counts = counts_of(d)
    # templates close to the histogram, some with holes, so that each branch occurs
    base = np.bincount(rng.choice(256, 4096, p=(counts + 1) / (counts + 1).sum()), minlength=256)
    t = np.repeat(base[None], n_templates, 0).astype(np.uint64)
    t[rng.random(t.shape) < 0.05] = 0
    mode, table = o.decide_shard_mode(counts, width, penalty, t, disable)
    ref_mode, ref_table = ref_choose(counts, width, penalty, t, disable)
    assert mode == ref_mode and table.tolist() == ref_table
