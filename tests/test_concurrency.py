"""Python threads calling the module at once: mixed functions on shared input
arrays give what sequential calls give; the functions that release the GIL
really let another thread run during the work; the ones that keep it work
from many threads."""
import random
import sys
import threading

import numpy as np
import pytest

import orv_rans
from fuzz.calls import digest, valid_kwargs
from fuzz import cases
from fuzz.cases import FILLED, NAMES

# the front end's readers of a file's numbers and states take microseconds:
# they keep the lock, like the packer
HELD = ["get_backend_info", "get_magic_lut", "rans_decode_4way_core", "pack_shard_payloads",
        "set_rayon_threads", "_varints", "_varint_bytes", "_group_states", "_group_bytes"]
RELEASED = [n for n in NAMES if n not in HELD]
THREADS = 8
ROUNDS = 4


def jobs(seeds=range(3)):
    out = []
    for fn in NAMES:
        for seed in seeds:
            try:
                out.append((fn, valid_kwargs(fn, seed)))
            except NotImplementedError:
                break
    return out


def test_mixed_calls_from_threads_match_sequential_calls():
    work = jobs()
    expected = [digest(fn, kw) for fn, kw in work]
    results = [[None] * len(work) for _ in range(THREADS)]
    errors = []
    barrier = threading.Barrier(THREADS)

    def worker(t):
        try:
            order = list(range(len(work))) * ROUNDS
            random.Random(t).shuffle(order)
            barrier.wait()
            for j in order:
                fn, kw = work[j]  # the same input arrays in every thread
                d = digest(fn, kw)
                if results[t][j] not in (None, d):
                    errors.append((t, fn, "differs between rounds"))
                results[t][j] = d
        except BaseException as e:  # noqa: BLE001
            errors.append((t, repr(e)))

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(THREADS)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert not errors
    for t in range(THREADS):
        bad = [work[j][0] for j in range(len(work)) if results[t][j] != expected[j]]
        assert not bad, f"thread {t}: {bad}"
    print(f"\n{THREADS} threads x {ROUNDS * len(work)} calls ({len(work)} inputs of "
          f"{len({fn for fn, _ in work})} functions)")


def test_inputs_are_not_written_by_concurrent_calls():
    work = [(fn, kw) for fn, kw in jobs(range(1)) if fn not in ("set_rayon_threads",)]
    before = [{k: v.copy() for k, v in kw.items() if isinstance(v, np.ndarray)} for _, kw in work]

    def run():
        for fn, kw in work:
            digest(fn, kw)

    threads = [threading.Thread(target=run) for _ in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    for (fn, kw), snap in zip(work, before):
        for k, v in snap.items():
            if k not in FILLED[fn]:
                assert np.array_equal(kw[k], v), (fn, k)


# A long call and a thread that counts: with a switch interval far longer
# than the test, the counting thread can only run while the caller has let go
# of the GIL, so the count proves (or disproves) the release without timing.
STEPS = 2000


def progress_during(fn, kwargs):
    done = threading.Event()
    entered = threading.Event()

    f = getattr(orv_rans, fn)
    kwargs = {k: (v.copy() if k in FILLED[fn] else v) for k, v in kwargs.items()}

    def call():
        entered.set()
        try:
            f(**kwargs)  # nothing else between the two events may let go of the GIL
        except BaseException:  # noqa: BLE001 - a fault is as good as a result here
            pass
        done.set()

    old = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    try:
        th = threading.Thread(target=call)
        th.start()
        entered.wait()
        count = 0
        for _ in range(STEPS):
            if done.is_set():
                break
            count += 1
        th.join()  # lets the caller take the GIL back
    finally:
        sys.setswitchinterval(old)
    return count


def heavy_kwargs(fn):
    """Valid arguments large enough that a call lasts a while."""
    best, size = None, -1
    cases.scale = 24
    try:
        for seed in range(6):
            kw = valid_kwargs(fn, seed)
            n = sum(v.nbytes for v in kw.values() if isinstance(v, np.ndarray))
            if n > size:
                best, size = kw, n
    finally:
        cases.scale = 1
    return best


@pytest.mark.parametrize("fn", RELEASED)
def test_released_functions_let_other_threads_run(fn):
    try:
        kw = heavy_kwargs(fn)
    except NotImplementedError:
        pytest.skip("needs a function not built yet")
    if digest(fn, kw) == "NotImplementedError":
        pytest.skip("not built yet")
    # a short call may end before the other thread is scheduled: try a few times
    counts = [progress_during(fn, kw) for _ in range(100)]
    assert max(counts) == STEPS, counts


@pytest.mark.parametrize("fn", ["rans_decode_4way_core", "pack_shard_payloads", "get_magic_lut"])
def test_functions_that_keep_the_gil_keep_it(fn):
    try:
        kw = heavy_kwargs(fn)
    except NotImplementedError:
        pytest.skip("needs a function not built yet")
    if digest(fn, kw) == "NotImplementedError":
        pytest.skip("not built yet")
    assert [progress_during(fn, kw) for _ in range(5)] == [0] * 5


def test_functions_that_keep_the_gil_work_from_many_threads():
    work = []
    for fn in HELD:
        for seed in range(3):
            try:
                work.append((fn, valid_kwargs(fn, seed)))
            except NotImplementedError:
                break
    expected = [digest(fn, kw) for fn, kw in work]
    got = {}

    def run(t):
        got[t] = [digest(fn, kw) for _ in range(50) for fn, kw in work]

    threads = [threading.Thread(target=run, args=(t,)) for t in range(THREADS)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    for t in range(THREADS):
        assert got[t] == expected * 50


def test_a_long_released_call_lets_a_python_thread_count_far():
    """The same proof on one big parallel call with a pool that is busy."""
    f = np.full((64, 64, 256), 16, np.uint64)
    c = np.concatenate([np.zeros((64, 64, 1), np.uint64), np.cumsum(f, axis=2)], axis=2)
    assert progress_during("build_all_lookups", {"all_cum_freqs": c}) == STEPS
    assert orv_rans.build_all_lookups(c).shape == (64, 64, 4096)


def test_faulting_and_succeeding_calls_from_threads_keep_their_own_outcomes():
    """Generated inputs (many of them fault inside parallel loops) from several
    threads at once: each call ends as it does alone, so a fault in one
    caller's loop never reaches another caller."""
    from fuzz.cases import make_case, realise_case

    work = []
    for fn in NAMES:
        if fn == "set_rayon_threads":
            continue
        for it in range(12):
            try:
                kwargs = realise_case(make_case(fn, 31337, it))[0]
            except NotImplementedError:
                continue
            work.append((fn, kwargs))
    expected = [digest(fn, kw) for fn, kw in work]
    assert sum(e == "PanicException" for e in expected) >= 10
    got = {}

    def run(t):
        order = list(range(len(work))) * 2
        random.Random(t).shuffle(order)
        got[t] = {j: digest(*work[j]) for j in order}

    threads = [threading.Thread(target=run, args=(t,)) for t in range(6)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    for t in range(6):
        bad = [(work[j][0], expected[j], d) for j, d in got[t].items() if d != expected[j]]
        assert not bad, bad[:5]
