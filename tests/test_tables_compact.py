"""The stored form of the shard tables: compaction and expansion."""
import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import orv_rans as o
from conftest import panic_message

FALLBACK = [4096] + [0] * 255


def compact(rows, widths, modes):
    return o.compact_pdf_tables(np.asarray(rows, np.uint64).reshape(-1, 256),
                                np.asarray(widths, np.uint16), np.asarray(modes, np.uint8))


def expand(stream, widths, modes, templates=None):
    if templates is None:
        templates = np.zeros((0, 256), np.uint64)
    return o.expand_pdf_tables(np.asarray(stream, np.uint8), np.asarray(widths, np.uint16),
                               np.asarray(modes, np.uint8), templates)


def ref_expand(stream, widths, modes, templates):
    """The reader as a model: (rows, read position after every shard)."""
    rows, positions, p, end = [], [], 0, len(stream)
    for w, m in zip(widths, modes):
        row = [0] * 256
        if m >= 4:
            row = list(templates[m - 4]) if m - 4 < len(templates) else FALLBACK
        elif m == 3 or p >= end:
            row = FALLBACK
        elif stream[p] == 1:
            k = stream[p + 1] | stream[p + 2] << 8 if p + 3 <= end else None
            if k is None:
                row, p = FALLBACK, p + 1
            elif p + 3 + 3 * k > end:
                row, p = FALLBACK, p + 3
            else:
                for j in range(k):
                    q = p + 3 + k + 2 * j
                    row[stream[p + 3 + j]] = stream[q] | stream[q + 1] << 8
                p += 3 + 3 * k
        elif stream[p] == 0:
            if p + 1 + 2 * w > end:
                row, p = FALLBACK, p + 1
            else:
                row[:w] = [stream[p + 1 + 2 * s] | stream[p + 2 + 2 * s] << 8 for s in range(w)]
                p += 1 + 2 * w
        else:
            row, p = FALLBACK, p + 1
        rows.append(row)
        positions.append(p)
    return rows, positions


def one_hot(symbol, value=4096):
    row = np.zeros(256, np.uint64)
    row[symbol] = value
    return row


@pytest.mark.parametrize(
    "row, width, stream",
    [
        (one_hot(9), 256, [1, 1, 0, 9, 0x00, 0x10]),  # 6 bytes: one symbol, sparse
        (one_hot(9), 0, [0]),  # width 0: an empty dense record
        (np.zeros(256), 5, [1, 0, 0]),  # nothing below the width: empty sparse record
        (one_hot(1, 0x1234), 3, [1, 1, 0, 1, 0x34, 0x12]),  # 3k + 2 = 5 < 6
        (one_hot(2, 7) + one_hot(0, 0x10005), 3, [0, 5, 0, 0, 0, 7, 0]),  # low 16 bits
        (one_hot(200), 100, [1, 0, 0]),  # entries at or beyond the width are never stored
    ],
)
@pytest.mark.parametrize("mode", [0, 1, 2])
def test_records(row, width, stream, mode):
    assert compact(row, [width], [mode]).tolist() == stream


def test_sparse_until_169_entries_at_width_256():
    row = np.zeros(256, np.uint64)
    row[:169] = 1
    assert compact(row, [256], [0])[0] == 1 and len(compact(row, [256], [0])) == 3 + 3 * 169
    row[169] = 1
    assert compact(row, [256], [0])[0] == 0 and len(compact(row, [256], [0])) == 513


def test_shards_without_a_record():
    rows = np.tile(one_hot(3), (4, 1))
    templates = np.full((2, 256), 16, np.uint64)
    assert compact(rows, [256, 300, 9, 1], [3, 4, 5, 255]).size == 0
    out = expand([], [256, 300, 9, 1], [3, 4, 5, 255], templates)
    assert out.tolist() == [FALLBACK, [16] * 256, [16] * 256, FALLBACK]


def test_a_cut_sparse_body_skips_only_its_header():
    # shard 0 claims 5 entries but the stream ends first; the reader then
    # takes the byte after the header as shard 1's marker (a dense record)
    stream = [1, 5, 0] + [0, 0x22, 0x11]
    out = expand(stream, [4, 1], [0, 0])
    assert out[0].tolist() == FALLBACK and out[1, 0] == 0x1122


SPARSE_7 = [1, 1, 0, 7, 0x34, 0x12]  # symbol 7 -> 0x1234


@pytest.mark.parametrize(
    "stream, width, second",
    [
        ([1, 5, 0] + SPARSE_7, 4, {7: 0x1234}),  # body cut: skip the 3-byte header
        ([0] + SPARSE_7, 100, {7: 0x1234}),  # dense record cut: skip the marker
        ([9] + SPARSE_7, 4, {7: 0x1234}),  # unknown marker: skip it
        ([1, 0], 4, {}),  # header cut: skip the marker; then a width-0 dense record
        ([1], 4, {0: 4096}),  # nothing left for the second shard
    ],
)
def test_truncated_or_unknown_records_fall_back(stream, width, second):
    widths, modes = [width, 0 if second == {} else 256], [0, 1]
    out = expand(stream, widths, modes)
    assert out[0].tolist() == FALLBACK
    assert {s: int(v) for s, v in enumerate(out[1]) if v} == second
    assert out.tolist() == ref_expand(stream, widths, modes, [])[0]


@settings(max_examples=200, deadline=None)
@given(
    st.lists(st.tuples(st.integers(0, 256), st.integers(0, 255), st.integers(0, 256)),
             max_size=10),
    st.integers(0, 3),
    st.integers(0, 2**32 - 1),
)
def test_compaction_then_expansion_restores_the_rows(shards, n_templates, seed):
    rng = np.random.default_rng(seed)
    widths = [w for w, _, _ in shards]
    modes = [m if rng.random() < 0.7 else m % 3 for _, m, _ in shards]
    rows = np.zeros((len(shards), 256), np.uint64)
    for i, (_, _, k) in enumerate(shards):
        rows[i, rng.choice(256, k, replace=False)] = rng.integers(1, 2**17, k)
    templates = rng.integers(0, 4097, (n_templates, 256)).astype(np.uint64)
    stored = [m <= 2 for m in modes]
    # a stored shard's width must fit a row
    widths = [min(w, 256) if s else w for w, s in zip(widths, stored)]
    out = expand(compact(rows, widths, modes), widths, modes, templates)
    assert out.shape == (len(shards), 256)
    for i, (w, m) in enumerate(zip(widths, modes)):
        if m <= 2:
            want = rows[i] & 0xFFFF
            want[w:] = 0
        elif m >= 4 and m - 4 < n_templates:
            want = templates[m - 4]
        else:
            want = np.array(FALLBACK, np.uint64)
        assert out[i].tolist() == want.tolist()


@settings(max_examples=300, deadline=None)
@given(
    st.lists(st.integers(0, 255), max_size=40),
    st.lists(st.tuples(st.integers(0, 40), st.integers(0, 6)), max_size=8),
)
def test_corrupt_streams_never_fail_and_follow_the_reader(stream, shards):
    widths = [w for w, _ in shards]
    modes = [m for _, m in shards]
    templates = np.full((2, 256), 3, np.uint64)
    if stream and len(stream) > 1:
        stream[0] = stream[0] % 3  # make records more likely
    rows, _ = ref_expand(stream, widths, modes, templates)
    assert expand(stream, widths, modes, templates).tolist() == rows


def test_a_wide_dense_record_faults_instead_of_writing_past_the_row():
    stream = [0] + [1] * (2 * 300)
    msg = panic_message(expand, stream, [300], [0])
    assert msg == "index out of bounds: the len is 256 but the index is 256"
    assert expand(stream[:100], [300], [0]).tolist() == [FALLBACK]  # truncated: falls back


@pytest.mark.parametrize(
    "fn, args, message",
    [
        (compact, (np.zeros((2, 256)), [4, 4], [0]),
         "index out of bounds: the len is 1 but the index is 1"),
        (compact, (np.zeros((1, 256)), [4, 4], [3, 0]),
         "range end index 512 out of range for slice of length 256"),
        (compact, (np.zeros((1, 256)), [257], [2]),
         "index out of bounds: the len is 256 but the index is 256"),
        (expand, ([], [4, 4], [3]), "index out of bounds: the len is 1 but the index is 1"),
        (expand, ([], [4], [5], np.zeros((2, 200), np.uint64)),
         "range end index 512 out of range for slice of length 400"),
    ],
)
def test_faults(fn, args, message):
    assert panic_message(fn, *args) == message


def test_wide_shards_with_modes_without_records_are_fine():
    assert compact(np.zeros((1, 256)), [1000], [3]).size == 0


def test_no_shards():
    assert compact(np.zeros((0, 256)), [], []).size == 0
    assert expand([1, 2, 3], [], []).shape == (0, 256)


def stored(stream, widths, modes, templates):
    """The decoder's reading of stored tables, through a shard group's tables
    section: one plane of shards of one residual each. (cum, freq, top, fault)
    with fault 1 where the records are not canonical and 2 where a row does
    not sum to 4096."""
    modes, widths = np.asarray(modes, np.uint8), np.asarray(widths)
    n = len(modes)
    raw = (modes.tobytes() + bytes([1]) * n + (widths[modes == 0] - 1).astype(np.uint8).tobytes()
           + np.asarray(stream, np.uint8).tobytes())
    t = o._group_tables(np.frombuffer(raw, np.uint8), np.array([n], np.uint32), n, templates)
    cum, freq, top, fault = t[4], t[3], t[5], t[6]
    return cum, freq, top, {0: 0, 7: 1, 8: 2}[fault]


@settings(max_examples=300, deadline=None)
@given(
    st.lists(st.tuples(st.integers(1, 256), st.sampled_from([0, 3, 4, 5]), st.integers(0, 256)),
             max_size=8),
    st.integers(0, 2**32 - 1),
    st.sampled_from(["canonical", "normalised", "corrupt"]),
)
def test_stored_tables_are_expansion_checked_by_compaction(shards, seed, kind):
    """The decoder's one call: the rows expansion gives, refused (1) unless
    compacting them gives the stream back, else refused (2) if a row does
    not sum to 4096, with the cumulative rows and largest frequencies."""
    rng = np.random.default_rng(seed)
    widths = [w for w, _, _ in shards]
    modes = [m for _, m, _ in shards]
    rows = np.zeros((len(shards), 256), np.uint64)
    for i, (_, _, k) in enumerate(shards):
        rows[i, rng.choice(256, k, replace=False)] = rng.integers(1, 2**16, k)
        if kind == "normalised" and k:   # one symbol below the width takes the whole scale
            rows[i, :widths[i]] = 0
            rows[i, rng.integers(0, max(widths[i], 1))] = 4096
    templates = rng.integers(0, 3000, (2, 256)).astype(np.uint64)
    templates[1] = one_hot(7)
    stream = compact(rows, widths, modes)
    if kind == "corrupt" and stream.size:
        stream[rng.integers(0, stream.size)] ^= np.uint8(1 << rng.integers(0, 8))
    cum, freq, top, fault = stored(stream, widths, modes, templates)
    want = expand(stream, widths, modes, templates)
    assert freq.tolist() == want.tolist()
    if compact(want, widths, modes).tobytes() != stream.tobytes():
        assert (fault, cum.shape, top.shape) == (1, (0, 257), (0,))
        return
    assert fault == (2 if (want.sum(axis=1) != 4096).any() else 0)
    assert cum[:, 1:].tolist() == np.cumsum(want, axis=1, dtype=np.uint64).tolist()
    assert not cum[:, 0].any()
    assert top.tolist() == want.max(axis=1, initial=0).tolist()
