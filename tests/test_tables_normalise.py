"""Histogram normalisation and the per-shard table builder."""
import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import orv_rans as o
from conftest import counts_of, panic_message

NO_TEMPLATES = np.zeros((0, 256), np.uint64)
U64 = 2**64


def normalise(counts, width):
    mode, table = o.decide_shard_mode(counts, width, 0.0, NO_TEMPLATES, True)
    return mode, table


def ref_normalise(counts, width):
    """An independent model: plain Python integers and IEEE doubles."""
    counts = [int(c) for c in counts]
    zero = [4096] + [0] * 255
    if not any(counts[1:]):
        return 3, zero
    total = sum(counts) % U64
    m = min(width, 256)
    f = [0] * 256
    if m == 0:
        f[0] = 4096
        return 0, f
    if total == 0:
        for s in range(m):
            f[s] = 4096 // m
        f[0] += 4096 % m
        return 0, f
    for s in range(m):
        if counts[s]:
            x = counts[s] / total * 4096.0
            r = math.floor(x)
            r = r + 1 if x - r >= 0.5 else r  # halves away from zero
            f[s] = max(min(r, U64 - 1), 1)
    total_f = sum(f[:m])
    big = max(range(m), key=lambda s: (f[s], s))
    d = f[big] + 4096 - total_f
    if d > 0:
        f[big] = d
        return 0, f
    excess = total_f - f[big] + 1 - 4096
    f[big] = 1
    for s in range(m):
        if excess == 0:
            break
        if s != big and f[s] > 1:
            take = min(excess, f[s] - 1)
            f[s] -= take
            excess -= take
    return 0, f


@pytest.mark.parametrize(
    "counts, width, expected",
    [
        ({0: 1, 1: 1, 2: 1}, 3, {0: 1365, 1: 1365, 2: 1366}),
        ({5: 10, 7: 1}, 8, {5: 3724, 7: 372}),
        ({5: 10, 7: 1}, 6, {5: 4096}),
        ({1: 1000000, 2: 1, 3: 1}, 4, {1: 4094, 2: 1, 3: 1}),
        ({3: 7}, 300, {3: 4096}),  # a width above 256 acts as 256
        ({3: 7, 200: 1}, 0, {0: 4096}),  # width 0: all on symbol 0
        ({1: 1, 2: 3, 3: 8188}, 4, {1: 1, 2: 2, 3: 4093}),  # 0.5 -> 1, 1.5 -> 2
        ({1: 2**63, 2: 2**63}, 3, {0: 1366, 1: 1365, 2: 1365}),  # the total wraps to 0
    ],
)
def test_worked_examples(counts, width, expected):
    mode, table = normalise(counts_of(counts), width)
    assert mode == 0
    assert {s: int(v) for s, v in enumerate(table) if v} == expected


def test_excess_beyond_the_largest_entry_comes_from_symbol_zero_upward():
    counts = np.array([31] * 128 + [33] * 128, np.uint64)
    mode, table = normalise(counts, 256)
    expected = [1] * 7 + [9] + [16] * 120 + [17] * 127 + [1]
    assert mode == 0 and table.tolist() == expected


@pytest.mark.parametrize("counts", [{}, {0: 50}, {0: 2**64 - 1}])
@pytest.mark.parametrize("width", [0, 1, 256])
def test_only_symbol_zero_is_the_symbol_zero_table(counts, width):
    mode, table = normalise(counts_of(counts), width)
    assert mode == 3 and table[0] == 4096 and not table[1:].any()


sparse_counts = st.dictionaries(
    st.integers(0, 255),
    st.one_of(st.integers(1, 40), st.integers(1, 10**6), st.integers(1, 2**40)),
    max_size=256,
)


@settings(max_examples=300, deadline=None)
@given(sparse_counts, st.integers(0, 300))
def test_normalise_matches_the_model_and_sums_to_4096(d, width):
    counts = counts_of(d)
    mode, table = normalise(counts, width)
    ref_mode, ref_table = ref_normalise(counts, width)
    assert mode == ref_mode and table.tolist() == ref_table
    assert int(table.sum()) == 4096
    m = min(width, 256)
    if mode == 0 and m > 0:
        present = counts[:m] > 0
        assert (table[:m][present] >= 1).all()
        assert not table[m:].any()
        if present.any():  # else all of the scale lands on the largest (zero) entry
            assert not table[:m][~present].any()


# ---- build_pdf_tables_from_shards -----------------------------------------------


def build(data, offsets, lengths, widths, templates=NO_TEMPLATES, disable=False):
    return o.build_pdf_tables_from_shards(
        np.asarray(data, np.uint8), np.asarray(offsets, np.uint32), np.asarray(lengths, np.uint32),
        np.asarray(widths, np.uint16), templates, disable)


def per_shard_reference(data, offsets, lengths, widths, templates, disable):
    cums, freqs, modes = [], [], []
    for i, n in enumerate(lengths):
        seg = data[offsets[i]:offsets[i] + n] if i < len(offsets) else data[:0]
        counts = np.bincount(seg, minlength=256).astype(np.uint64)
        mode, table = o.decide_shard_mode(counts, int(widths[i]), 120.0, templates, disable)
        if not counts[1:].any():
            assert mode == 3
        cums.append(np.concatenate([[0], np.cumsum(table, dtype=np.uint64)]))
        freqs.append(table)
        modes.append(mode)
    return cums, freqs, modes


@settings(max_examples=60, deadline=None)
@given(
    st.lists(st.tuples(st.integers(0, 400), st.integers(1, 300), st.integers(0, 6)), max_size=12),
    st.integers(0, 3),
    st.booleans(),
    st.integers(0, 2**32 - 1),
)
def test_shard_tables_match_the_single_histogram_decision(shards, n_templates, disable, seed):
    rng = np.random.default_rng(seed)
    # residual-like data: mostly small values
    data = np.minimum(rng.geometric(0.3, 3000) - 1, 255).astype(np.uint8)
    offsets = [rng.integers(0, len(data) - n + 1) for n, _, _ in shards]
    lengths = [n for n, _, _ in shards]
    widths = [w for _, w, _ in shards]
    templates = rng.integers(0, 40, (n_templates, 256)).astype(np.uint64)
    cum, freqs, modes = build(data, offsets, lengths, widths, templates, disable)
    assert cum.shape == (len(shards), 257) and freqs.shape == (len(shards), 256)
    assert modes.shape == (len(shards),) and modes.dtype == np.uint8
    rc, rf, rm = per_shard_reference(data, offsets, lengths, widths, templates, disable)
    assert modes.tolist() == rm
    for i in range(len(shards)):
        assert freqs[i].tolist() == rf[i].tolist() and cum[i].tolist() == rc[i].tolist()
    # the encoder's entry gives the same own tables from the shards'
    # histograms, at the widths they give (no template to choose from)
    hist = np.array([np.bincount(data[a:a + n], minlength=256) for a, n in zip(offsets, lengths)],
                    np.uint64).reshape(-1, 256)
    true_widths = [int(np.flatnonzero(h).max()) + 1 if h.any() else 0 for h in hist]
    same = o._shard_tables(hist, NO_TEMPLATES, np.zeros((0, 256), np.uint32), OWN_COSTS)
    assert same[3].tolist() == true_widths
    want = build(data, offsets, lengths, true_widths, NO_TEMPLATES, True)
    assert all(np.array_equal(x, y) for x, y in zip(same[:3], want))


OWN_COSTS = np.rint((12 - np.log2(np.maximum(np.arange(4097), 1))) * 2**20).astype(np.uint32)


@settings(max_examples=80, deadline=None)
@given(st.lists(st.tuples(st.one_of(st.integers(0, 60), st.integers(0, 3000)), st.floats(0.05, 0.95),
                          st.booleans()), max_size=10),
       st.integers(0, 5), st.integers(0, 2**32 - 1))
def test_shard_tables_take_a_template_where_it_costs_fewer_bits(shards, n_templates, seed):
    # a template replaces a shard's own table exactly where its exact cost is
    # below the own table's and its stored record's: 10 x template bits <
    # 10 x own bits + 48 per record byte + 80 (fixed point, bits x 2^20)
    rng = np.random.default_rng(seed)
    hist = np.zeros((len(shards), 256), np.uint64)
    for i, (n, p, zero_only) in enumerate(shards):
        values = np.minimum(rng.geometric(p, n) - 1, 255) * (not zero_only)
        hist[i] = np.bincount(values, minlength=256)
    # templates of the residuals' shape, as the encoder's are
    q = rng.uniform(0.05, 0.95, (n_templates, 1))
    templates = np.maximum(1, 4096 * q * (1 - q) ** np.arange(256)).astype(np.uint64)
    costs = np.rint((12 - np.log2(templates / templates.sum(axis=1, keepdims=True) * 4096))
                    .clip(0) * 2**20).astype(np.uint32)
    cum, freq, modes, widths = o._shard_tables(hist, templates, costs, OWN_COSTS)
    own_cum, own_freq, own_modes = o._shard_tables(hist, NO_TEMPLATES, costs[:0], OWN_COSTS)[:3]
    for i, h in enumerate(hist.tolist()):
        w = int(widths[i])
        chosen = own_modes[i]
        if own_modes[i] == 0 and n_templates:
            own = sum(c * int(OWN_COSTS[f]) for c, f in zip(h[:w], own_freq[i].tolist()) if c)
            present = sum(1 for c in h[:w] if c)
            record = 3 + 3 * present if 3 * present + 2 < 2 * w else 1 + 2 * w
            sums = [sum(c * int(k) for c, k in zip(h[:w], row[:w].tolist())) for row in costs]
            best = sums.index(min(sums))
            if 10 * sums[best] < 10 * own + ((48 * record + 80) << 20):
                chosen = 4 + best
        assert modes[i] == chosen
        table = templates[chosen - 4] if chosen >= 4 else own_freq[i]
        assert freq[i].tolist() == table.tolist()
        assert cum[i].tolist() == [0] + np.cumsum(table, dtype=np.uint64).tolist()


def test_shard_tables_refuse_a_bad_shape():
    with pytest.raises(ValueError, match="256 columns"):
        o._shard_tables(np.ones((1, 255), np.uint64), NO_TEMPLATES, np.zeros((0, 256), np.uint32),
                        OWN_COSTS)
    with pytest.raises(ValueError, match="every frequency"):
        o._shard_tables(np.ones((1, 256), np.uint64), NO_TEMPLATES, np.zeros((0, 256), np.uint32),
                        OWN_COSTS[:-1])
    with pytest.raises(ValueError, match="every template"):
        o._shard_tables(np.ones((1, 256), np.uint64), np.ones((2, 256), np.uint64),
                        np.zeros((1, 256), np.uint32), OWN_COSTS)


def test_empty_and_zero_shards_ignore_templates():
    templates = np.full((1, 256), 16, np.uint64)
    cum, freqs, modes = build([0, 0, 0, 4], [0, 0, 3], [0, 3, 1], [256, 256, 256], templates)
    assert modes.tolist() == [3, 3, 4]  # the third: 8 bits with the template, 120 without
    assert cum[0].tolist() == [0] + [4096] * 256 == cum[1].tolist()
    assert freqs[2].tolist() == [16] * 256


def test_missing_offsets_give_empty_shards_and_extra_offsets_are_ignored():
    _, _, modes = build([5, 5, 5], [0], [3, 3], [256, 256])
    assert modes.tolist() == [0, 3]
    _, freqs, modes = build([5, 5, 5], [0, 1, 2, 9], [3], [256])
    assert modes.tolist() == [0] and freqs[0, 5] == 4096


def test_no_shards():
    cum, freqs, modes = build([], [], [], [])
    assert cum.shape == (0, 257) and freqs.shape == (0, 256) and modes.shape == (0,)


@pytest.mark.parametrize(
    "offsets, lengths, widths, message",
    [
        ([0, 8], [4, 3], [256, 256], "range end index 11 out of range for slice of length 10"),
        ([0, 11], [4, 0], [256, 256], "range end index 11 out of range for slice of length 10"),
        ([0, 2], [4, 3], [256], "index out of bounds: the len is 1 but the index is 1"),
    ],
)
def test_faults(offsets, lengths, widths, message):
    args = (np.arange(10, dtype=np.uint8), np.array(offsets, np.uint32),
            np.array(lengths, np.uint32), np.array(widths, np.uint16), NO_TEMPLATES, False)
    assert panic_message(o.build_pdf_tables_from_shards, *args) == message


def test_short_template_rows_fault_only_when_read():
    templates = np.full((2, 200), 16, np.uint64)  # 400 values: row 1 would end at 512
    args = ([1, 2, 3], [0], [3], [256])
    assert "range end index 512" in panic_message(build, *args, templates)
    build(*args, templates, True)  # templates switched off: never read
    build([0, 0], [0], [2], [256], templates)  # symbol-zero shard: never read


def test_more_templates_than_a_mode_byte_can_name():
    templates = np.full((253, 256), 16, np.uint64)
    with pytest.raises(ValueError, match="at most 252"):
        build([1, 2], [0], [2], [256], templates)
    assert build([1, 2], [0], [2], [256], templates, True)[2].tolist() == [0]
    _, _, modes = build([1, 2], [0], [2], [256], templates[:252])
    assert modes.tolist() == [4]


@settings(max_examples=25, deadline=None)
@given(st.lists(st.integers(0, 3000), min_size=1, max_size=8), st.integers(0, 2**32 - 1))
def test_a_shard_table_codes_its_shard(lengths, seed):
    """Each shard's own or template table, given to the shard coder, decodes back."""
    rng = np.random.default_rng(seed)
    shards = [np.minimum(rng.geometric(rng.uniform(0.05, 0.9), n) - 1, 255).astype(np.uint8)
              for n in lengths]
    data = np.concatenate(shards)
    offsets = np.concatenate([[0], np.cumsum(lengths)[:-1]]).astype(np.uint32)
    lengths = np.array(lengths, np.uint32)
    widths = np.array([int(s.max()) + 1 if len(s) else 0 for s in shards], np.uint16)
    templates = np.full((1, 256), 16, np.uint64)
    cum, freqs, modes = o.build_pdf_tables_from_shards(data, offsets, lengths, widths, templates,
                                                       False)
    try:
        states, streams, bs_offsets, bs_lengths = o.rans_encode_shards_parallel(
            data, offsets, lengths, cum, freqs, 2**31)
    except NotImplementedError:
        pytest.skip("the shard coder is not built yet")
    write = np.concatenate([[0], np.cumsum(36 + bs_lengths.astype(np.int64))]).astype(np.uint32)
    payload = np.zeros(int(write[-1]), np.uint8)
    o.pack_shard_payloads(states, bs_lengths, bs_offsets, streams, payload, write[:-1].copy())
    lookups = o.build_all_lookups(cum[None]).reshape(len(lengths), 4096)
    decoded, consumed = o.rans_decode_shards_parallel(payload, lengths, cum, freqs, lookups)
    assert consumed == len(payload)
    assert decoded.tobytes() == data.tobytes()


@pytest.mark.parametrize("align", [0, 1, 31])
@pytest.mark.parametrize("arrange", ["sorted", "shuffled", "descending"])
def test_long_shard_counts_are_exact(align, arrange):
    # 12288 symbols whose counts are multiples of 3: the table is counts / 3
    # exactly, so every miscounted byte shows. Sorted data holds runs longer
    # than 8 KiB of one value; large and small values are mixed in blocks.
    rng = np.random.default_rng(align)
    base = np.concatenate([np.zeros(2500, np.uint8), rng.integers(1, 12, 1000),
                           rng.integers(0, 256, 596)]).astype(np.uint8)
    shard = np.repeat(base, 3)
    if arrange == "sorted":
        shard.sort()
    elif arrange == "descending":
        shard = np.sort(shard)[::-1].copy()
    else:
        rng.shuffle(shard)
    data = np.concatenate([np.full(align, 255, np.uint8), shard, np.full(5, 255, np.uint8)])
    _, freqs, modes = build(data, [align], [len(shard)], [256], disable=True)
    assert modes[0] == 0
    assert freqs[0].tolist() == (np.bincount(base, minlength=256)).tolist()


@settings(max_examples=40, deadline=None)
@given(st.integers(0, 9), st.integers(0, 7), st.integers(1, 32), st.integers(1, 32),
       st.integers(0, 2**32 - 1))
def test_table_costs_are_exact_integer_sums_below_each_width(n, t, count_bits, cost_bits, seed):
    # small counts and costs take the vector path's doubles, larger ones its integers
    rng = np.random.default_rng(seed)
    counts = rng.integers(0, 2**count_bits, (n, 256), dtype=np.uint64).astype(np.uint32)
    costs = rng.integers(0, 2**cost_bits, (t, 256), dtype=np.uint64).astype(np.uint32)
    widths = rng.integers(0, 300, n).astype(np.uint16)  # past 256: the whole row
    want = [[sum(int(a) * int(b) for a, b in zip(counts[i, :min(int(widths[i]), 256)], costs[j]))
             % 2**64 for j in range(t)] for i in range(n)]
    chosen = o._coder_simd()
    try:
        for path in o._coder_simd_available():
            o._coder_simd(path)
            got = o._table_costs(counts, widths, costs)
            assert got.dtype == np.uint64 and got.shape == (n, t) and got.tolist() == want, path
    finally:
        o._coder_simd(chosen)


def test_table_costs_refuse_a_bad_shape():
    with pytest.raises(ValueError, match="256 columns"):
        o._table_costs(np.ones((1, 255), np.uint32), np.ones(1, np.uint16), np.ones((1, 256), np.uint32))
    with pytest.raises(ValueError, match="one entry per row"):
        o._table_costs(np.ones((2, 256), np.uint32), np.ones(1, np.uint16), np.ones((1, 256), np.uint32))
