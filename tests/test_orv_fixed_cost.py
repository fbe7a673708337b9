"""The quick paths that keep the fixed cost of a call low give exactly what
the plain ones give: the palette check's count, the zstd estimate, and the
reader's numbers (read as the format defines them, with its refusals)."""
import threading

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from orv import container as fmt
from orv import lz, palette
from orv.errors import FormatError


def distinct_pixels_of_sample(img):
    # the count as byte strings, one per sampled pixel
    flat = img.reshape(img.shape[0] * img.shape[1], -1)
    sample = np.ascontiguousarray(flat[::max(1, flat.shape[0] // palette._SAMPLE)])
    return len(np.unique(sample.view(np.dtype((np.void, sample.shape[1])))))


@pytest.mark.parametrize("channels", [3, 4])
@pytest.mark.parametrize("colours", [1, 200, 255, 256, 257, 300, 5000])
@pytest.mark.parametrize("shape", [(1, 1), (7, 300), (64, 64), (150, 111)])
def test_few_colours_counts_distinct_pixels(channels, colours, shape):
    rng = np.random.default_rng(colours * 31 + shape[0])
    entries = rng.integers(0, 256, (colours, channels), dtype=np.uint8)
    # entries that differ only in a high channel must stay apart
    entries[: colours // 2, :channels - 1] = 7
    img = np.ascontiguousarray(entries[rng.integers(0, colours, shape)])
    want = distinct_pixels_of_sample(img) <= palette.MAX_ENTRIES
    assert palette.few_colours(img) == want


@pytest.mark.skipif(not lz.available(), reason="zstandard missing")
@pytest.mark.parametrize("shape", [(1, 1), (100, 33), (64, 64, 3), (40, 50, 4)])
def test_estimate_is_a_fresh_compressor_size(shape):
    import zstandard

    rng = np.random.default_rng(len(shape))
    img = (rng.integers(0, 4, shape, dtype=np.uint8) * 50).astype(np.uint8)
    views = [img, img[:, ::-1], img[::2]]
    results = {}

    def run(i):
        results[i] = [lz.estimate(v) for v in views * 2]

    threads = [threading.Thread(target=run, args=(i,)) for i in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    run(3)
    want = [float(len(zstandard.ZstdCompressor(level=1).compress(v.tobytes())))
            for v in views * 2]
    assert all(r == want for r in results.values())


def read_varints(raw: bytes, count: int):
    r = fmt.Reader(b"\x00" + raw, "test")
    r.pos = 1
    try:
        values = r.varints(count, "the numbers")
    except FormatError as e:
        return str(e)
    return values.dtype, values.tolist(), r.pos


def model_varints(raw: bytes, count: int):
    """read_varints as the format defines it: numbers of up to five bytes
    within five bytes a number; the window ending first is a truncation even
    where an earlier number is too long."""
    window, values, pos, too_long = raw[:5 * count], [], 0, False
    while len(values) < count:
        x = k = 0
        while True:
            if pos == len(window):
                return "test is truncated: the numbers runs past the end"
            b = window[pos]
            pos += 1
            x |= (b & 0x7F) << (7 * k)
            k += 1
            if b < 0x80:
                break
        too_long = too_long or k > 5
        values.append(x)
    if too_long:
        return "test: the numbers is not a valid number"
    return np.dtype(np.int64), values, 1 + pos


@given(st.lists(st.integers(0, 2**35 - 1), max_size=40), st.binary(max_size=60),
       st.integers(0, 50))
@settings(max_examples=300, deadline=None)
def test_varints_read_as_the_format_defines(values, noise, count):
    # well-formed numbers followed by arbitrary bytes, read with any count:
    # the same numbers and position, or the same refusal
    raw = fmt.varints(values) + noise
    assert read_varints(raw, count) == model_varints(raw, count)
    if values:
        assert read_varints(fmt.varints(values), len(values))[1] == values


@pytest.mark.parametrize("values", [[2**35], [5, 2**64 - 1]])
def test_numbers_the_format_cannot_hold_are_refused(values):
    with pytest.raises(ValueError, match="2\\^35"):
        fmt.varints(values)


@pytest.mark.parametrize("values", [1, 2, 31, 32, 33, 200])
@pytest.mark.parametrize("shape", [(1, 1), (64, 64), (300, 301)])
@pytest.mark.parametrize("gaps", [False, True])
def test_few_gray_values_counted_over_every_pixel(values, shape, gaps):
    rng = np.random.default_rng(values + shape[0])
    levels = np.arange(values) * (2 if gaps else 1) % 256
    img = levels[rng.integers(0, values, shape)].astype(np.uint8)
    # one pixel of another value, where a sample would miss it
    img[-1, -1] = 255 if gaps else values
    used = np.flatnonzero(np.bincount(img.reshape(-1), minlength=256))
    want = len(used) <= palette._FEW_GRAY and len(used) < int(used[-1]) - int(used[0]) + 1
    assert palette.few_colours(img) == want


@pytest.mark.parametrize("kind", ["flat", "noise", "steps", "gray"])
def test_shard_streams_section_holds_every_live_stream_in_order(kind):
    from orv import shard, single
    from orv.analysis import analyse

    rng = np.random.default_rng(5)
    shape = (40, 50) if kind == "gray" else (40, 50, 3)
    img = {"flat": np.zeros(shape, np.uint8),
           "noise": rng.integers(0, 256, shape, dtype=np.uint8),
           "steps": (np.arange(40 * 50 * (1 if kind == "gray" else 3)).reshape(shape) // 97 * 40
                     % 256).astype(np.uint8),
           "gray": rng.integers(0, 4, shape, dtype=np.uint8) * 9}[kind]
    planes = list(range(1 if img.ndim == 2 else 3))
    cl = single.fixed_classes(img.shape[0] * img.shape[1])
    sc = shard.encode(analyse(img, cl.K, cl.luts, place=True), cl.K, False)
    side, live = shard._side(sc, planes)
    want = b"".join(sc.coded.streams[o:o + k].tobytes() for o, k in
                    zip(sc.coded.offsets[live].tolist(), sc.coded.lengths[live].tolist()))
    parts = shard.section_parts(sc, planes)
    assert parts[0] == side and bytes(parts[2]) == want


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(st.integers(0, 2**32 - 1), st.integers(1, 4096)), max_size=30))
def test_least_stream_bytes_is_its_formula(pairs):
    # the looked-up bits per symbol of a table's top frequency give the
    # bound the formula gives
    from orv import native

    symbols = np.array([s for s, _ in pairs], dtype=np.uint32)
    top = np.array([f for _, f in pairs], dtype=np.uint64)
    bits = symbols.astype(np.float64) * (native.SCALE_BITS - np.log2(top.astype(np.float64)))
    want = np.maximum(0, np.floor((0.99 * bits - 32) / 8)).astype(np.int64)
    np.testing.assert_array_equal(native.least_stream_bytes(symbols, top), want)


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(st.integers(0, 2**32 - 1), st.integers(1, 4096), st.integers(-3, 3)),
                max_size=30))
def test_streams_too_short_agrees_with_the_least_length(cases):
    # the decoder's check refuses exactly the lengths below the bound,
    # also one byte either side of it
    from orv import native

    symbols = np.array([s for s, _, _ in cases], dtype=np.uint32)
    top = np.array([f for _, f, _ in cases], dtype=np.uint64)
    least = native.least_stream_bytes(symbols, top)
    lengths = np.clip(least + np.array([d for _, _, d in cases], dtype=np.int64), 0, 2**32 - 1)
    np.testing.assert_array_equal(native.streams_too_short(lengths.astype(np.uint32), symbols, top),
                                  lengths < least)


@settings(max_examples=40, deadline=None)
@given(st.lists(st.integers(0, 2**40 - 1), max_size=40))
def test_states_read_at_a_stride_are_the_records(offsets):
    from orv import native

    raw = b"".join(x.to_bytes(fmt.STATE_BYTES, "little") for x in offsets)
    if any(x >= native.STATE_LIMIT - native.STATE_LOW for x in offsets):
        with pytest.raises(FormatError, match="coder state out of range"):
            fmt.states_from_bytes(raw, "s")
        return
    got = fmt.states_from_bytes(memoryview(raw), "s")
    assert got.dtype == np.uint64 and got.tolist() == [x + native.STATE_LOW for x in offsets]
    assert fmt.states_to_bytes(got) == raw




@pytest.mark.skipif(not lz.available(), reason="zstandard missing")
@pytest.mark.parametrize("values", [256, 2])
def test_estimate_against_a_limit_decides_as_the_whole_guess(values):
    # a guess that stops once past the limit is above it exactly when the
    # guess run to its end is, and that one is zstd's size of the bands
    img = np.random.default_rng(values).integers(0, values, (1500, 1000, 3), dtype=np.uint8)
    whole = lz.estimate(img, limit=float("inf"))
    assert whole == pytest.approx(lz.estimate(img), rel=0.01, abs=1e-3 * img.nbytes)
    for limit in (0.0, whole * 0.3, whole * 0.99, whole, whole * 3):
        assert (lz.estimate(img, limit=limit) <= limit) == (whole <= limit)
