"""Memory safety when callers break the calling conventions: an input that
shares memory with an array the call fills, two filled arrays that share
memory, and tables rewritten by another thread while the lock is released.
Results may then be anything the conventions allow, but nothing may be read
or written outside the arrays (the ASan build checks that), and an input that
merely shares memory with an output gives what it gives as a separate array."""
import threading

import numpy as np
import pytest

import orv_rans
from conftest import is_panic
from fuzz.cases import COUNT_LIKE, FILLED, RELEASED
from fuzz.run import Mutator

EMPTY = np.zeros((0, 0), np.uint8)


def non_folding_tables():
    """Tables with 256 intensity classes (too many for the small context grid),
    so the loops read the tables themselves; one shard (K = 1)."""
    s_lut = np.zeros((511, 511), np.uint8)
    i_lut = np.arange(256, dtype=np.uint8)
    d_lut = np.zeros((64, 4), np.uint8)
    return s_lut, i_lut, d_lut


def gray_image(h, w, seed=0):
    return np.random.default_rng(seed).integers(0, 256, (h, w), dtype=np.uint8)


def test_p2_gray_with_d_lut_inside_its_own_stream_writes_what_separate_tables_write():
    # the stream's first bytes are d_lut: the residuals written there would
    # become context numbers at or above K if the loop read them back
    h, w = 64, 64
    s_lut, i_lut, d_lut = non_folding_tables()
    r = orv_rans.p1_gray(h, w, gray_image(h, w), EMPTY, False, 1, s_lut, i_lut, d_lut)
    expected = np.zeros(h * w, np.uint8)
    orv_rans.p2_gray(h, w, r[0], r[4], expected, s_lut, i_lut, d_lut)
    assert expected[:256].any()  # the aliased call really overwrites its table

    buf = np.zeros(h * w, np.uint8)
    orv_rans.p2_gray(h, w, r[0], r[4], buf, s_lut, i_lut, buf[:256].reshape(64, 4))
    assert np.array_equal(buf, expected)


def test_p1_gray_with_d_lut_flipped_by_another_thread_stays_inside_its_buffers():
    h = w = 1500
    s_lut, i_lut, d_lut = non_folding_tables()
    gray = gray_image(h, w, 1)
    reference = orv_rans.p1_gray(h, w, gray, EMPTY, False, 1, s_lut, i_lut, d_lut)
    stop = threading.Event()

    def flip():
        while not stop.is_set():
            d_lut.fill(255)  # context 255 >= K: a fault when the tables are read checked
            d_lut.fill(0)

    t = threading.Thread(target=flip)
    t.start()
    outcomes = set()
    try:
        for _ in range(4):
            try:
                r = orv_rans.p1_gray(h, w, gray, EMPTY, False, 1, s_lut, i_lut, d_lut)
            except BaseException as e:  # PanicException derives from BaseException
                assert is_panic(e), repr(e)
                outcomes.add("fault")
                continue
            # the tables were read once, all zero: the result of the quiet call
            for got, want in zip(r[:7], reference[:7]):
                assert np.array_equal(got, want)
            outcomes.add("result")
    finally:
        stop.set()
        t.join()
    assert outcomes


P2_GRAY_INPUTS = ["gr_ch", "row_global_offsets", "s_lut", "i_lut", "d_lut"]


@pytest.mark.parametrize("name", P2_GRAY_INPUTS)
def test_p2_gray_input_inside_the_stream_reads_as_a_separate_array(name):
    h, w = 20, 30
    s_lut, i_lut, d_lut = non_folding_tables()
    d_lut[:] = np.arange(256, dtype=np.uint8).reshape(64, 4) % 3
    r = orv_rans.p1_gray(h, w, gray_image(h, w, 2), EMPTY, False, 3, s_lut, i_lut, d_lut)
    args = dict(h=h, w=w, gr_ch=r[0], row_global_offsets=r[4], s_lut=s_lut, i_lut=i_lut, d_lut=d_lut)
    expected = np.zeros(h * w, np.uint8)
    orv_rans.p2_gray(shard_gr=expected, **args)

    # a stream big enough to hold the input at its end, as a view of it
    a = args[name]
    nbytes = a.nbytes
    buf = np.zeros(h * w + nbytes, np.uint8)
    view = buf[h * w - 7:h * w - 7 + nbytes].view(a.dtype) if a.dtype == np.uint8 else None
    if view is None:  # wider elements: keep the view aligned
        start = (h * w // 8) * 8
        buf = np.zeros(start + nbytes + 8, np.uint8)
        view = buf[start:start + nbytes].view(a.dtype)
    view = view.reshape(a.shape)
    view[...] = a
    args[name] = view
    stream = buf[:h * w]
    orv_rans.p2_gray(shard_gr=stream, **args)
    assert np.array_equal(stream, expected)


@pytest.mark.parametrize("pair", [("shard_gr", "shard_rd"), ("shard_gr", "shard_bd"),
                                  ("shard_rd", "shard_bd")])
@pytest.mark.parametrize("how", ["same", "shifted"])
def test_p2_rgb_streams_sharing_memory_are_refused_before_anything_is_written(pair, how):
    h, w = 8, 8
    rgb = np.random.default_rng(3).integers(0, 256, (h, w, 3), dtype=np.uint8)
    s_lut, i_lut, d_lut = non_folding_tables()
    r = orv_rans.p1_rgb(h, w, rgb, EMPTY, False, 1, s_lut, i_lut, d_lut)
    buf = np.full(3 * h * w, 7, np.uint8)
    streams = {"shard_gr": buf[:h * w], "shard_rd": buf[h * w:2 * h * w], "shard_bd": buf[2 * h * w:]}
    a, b = pair
    streams[b] = streams[a] if how == "same" else buf[h * w // 2:][:h * w] if a == "shard_gr" else buf[-h * w - 1:-1]
    with pytest.raises(ValueError) as e:
        orv_rans.p2_rgb(h, w, r[0], r[1], r[2], r[7], s_lut=s_lut, i_lut=i_lut, d_lut=d_lut, **streams)
    assert f"'{a}'" in str(e.value) and f"'{b}'" in str(e.value)
    assert (buf == 7).all()


def test_arrays_that_only_touch_are_not_overlapping():
    h, w = 8, 8
    rgb = np.random.default_rng(4).integers(0, 256, (h, w, 3), dtype=np.uint8)
    s_lut, i_lut, d_lut = non_folding_tables()
    r = orv_rans.p1_rgb(h, w, rgb, EMPTY, False, 1, s_lut, i_lut, d_lut)
    buf = np.zeros(3 * h * w, np.uint8)
    separate = [np.zeros(h * w, np.uint8) for _ in range(3)]
    orv_rans.p2_rgb(h, w, r[0], r[1], r[2], r[7], *separate, s_lut, i_lut, d_lut)
    orv_rans.p2_rgb(h, w, r[0], r[1], r[2], r[7], buf[:h * w], buf[h * w:2 * h * w], buf[2 * h * w:],
                    s_lut, i_lut, d_lut)
    assert np.array_equal(buf, np.concatenate(separate))
    # empty filled arrays share no memory with anything
    z = np.zeros(0, np.uint8)
    orv_rans.p2_rgb(0, 0, EMPTY, EMPTY, EMPTY, np.zeros((0, 3, 1), np.uint32), z, z, z, s_lut, i_lut, d_lut)


def long_call_kwargs(fn):
    """Valid arguments large enough that a call lasts while another thread runs."""
    from fuzz import cases
    from fuzz.calls import valid_kwargs

    cases.scale = 16
    try:
        return valid_kwargs(fn, 3)
    finally:
        cases.scale = 1


@pytest.mark.parametrize("fn", RELEASED)
def test_inputs_rewritten_during_a_long_call_stay_inside_their_buffers(fn):
    kwargs = long_call_kwargs(fn)
    for _ in range(3):
        args = {k: v.copy() if isinstance(v, np.ndarray) else v for k, v in kwargs.items()}
        mutator = Mutator(args, FILLED[fn] | COUNT_LIKE)  # counts would ask for gigabytes
        try:
            getattr(orv_rans, fn)(**args)
        except BaseException as e:  # any of the usual failures, never a crash
            assert isinstance(e, (ValueError, MemoryError)) or is_panic(e), repr(e)
        finally:
            mutator.stop()


@pytest.mark.parametrize("case", ["streams share", "a stream is the image"])
def test_one_call_of_both_phases_with_shared_memory(case):
    """The front end's single call of both phases under the same conventions:
    two streams that share memory are refused before anything is written; a
    stream laid over the image gives what separate arrays give."""
    h, w = 16, 24
    rgb = np.random.default_rng(5).integers(0, 256, (h, w, 3), dtype=np.uint8)
    tables = non_folding_tables()
    expected = [np.zeros(h * w, np.uint8) for _ in range(3)]
    orv_rans._p1_p2_rgb(h, w, rgb, EMPTY, False, 1, *tables, *expected)
    if case == "streams share":
        buf = np.full(2 * h * w, 7, np.uint8)
        with pytest.raises(ValueError) as e:
            orv_rans._p1_p2_rgb(h, w, rgb, EMPTY, False, 1, *tables, buf[:h * w], buf[:h * w],
                                buf[h * w:])
        assert "'shard_gr'" in str(e.value) and "'shard_rd'" in str(e.value)
        assert (buf == 7).all()
    else:
        image = rgb.copy()
        streams = [image.reshape(-1)[:h * w], np.zeros(h * w, np.uint8), np.zeros(h * w, np.uint8)]
        orv_rans._p1_p2_rgb(h, w, image, EMPTY, False, 1, *tables, *streams)
        for got, want in zip(streams, expected):
            assert np.array_equal(got, want)
