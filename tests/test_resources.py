"""Memory and references: many thousand calls of each function, on inputs that
succeed and on inputs that fail, leave the process's memory and the inputs'
reference counts where they were; sizes that overflow the address range
raise instead of crashing; a forked child can use the module."""
import ctypes
import gc
import os
import resource
import sys
import time

import numpy as np
import pytest

import orv_rans
from fuzz.calls import digest, valid_kwargs
from fuzz.cases import FILLED, NAMES, make_case, realise_case

from conftest import is_panic

CALLS = int(os.environ.get("ORV_LEAK_CALLS", 5000))
BUDGET_S = 4.0  # per loop, so that slow functions stop early (no assertion on time)
PAGE = resource.getpagesize()
GROWTH_LIMIT = 6 * 2**20  # bytes of resident memory a loop may add
# AddressSanitizer keeps freed memory in quarantine, so resident memory grows
# under it whatever the code does: there, only reference counts are checked
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
                                                "fsmblks", "uordblks", "fordblks", "keepcost")]


try:
    _mallinfo2 = ctypes.CDLL(None).mallinfo2
    _mallinfo2.restype = _Mallinfo2
except (AttributeError, OSError):
    _mallinfo2 = None


def heap_in_use() -> int:
    """Bytes handed out by malloc and not freed (0 where unknown). Unlike RSS,
    it grows with a leak even when the heap has free room to reuse."""
    if _mallinfo2 is None:
        return 0
    m = _mallinfo2()
    return m.uordblks + m.hblkhd


def memory() -> int:
    return max(rss(), 0), heap_in_use()


def own_object(v) -> bool:
    if v is None or isinstance(v, (bool, np.bool_)):
        return False
    if isinstance(v, int) and -5 <= v <= 256:
        return False
    return True


def hammer(fn, kwargs, calls=CALLS):
    """Calls fn many times; returns (calls made, growth of resident memory or
    of the malloc heap in use, whichever is larger, refcount changes)."""
    f = getattr(orv_rans, fn)
    filled = {k: v.copy() for k, v in kwargs.items() if k in FILLED[fn]}
    kw = {**kwargs, **filled}
    gc.collect()  # cycles left by earlier calls' tracebacks would hold references
    # small ints, bools and None are shared by the whole interpreter: their
    # counts move with everything else, so only objects of the call's own count
    refs = {k: sys.getrefcount(kw[k]) for k in kw if own_object(kw[k])}

    def once():
        try:
            f(**kw)
        except BaseException:  # noqa: BLE001 - failing calls are measured too
            pass

    for _ in range(200):  # warm-up: caches, pool, allocator arenas
        once()
    before = memory()
    t0 = time.monotonic()
    n = 0
    while n < calls and time.monotonic() - t0 < BUDGET_S:
        once()
        n += 1
    after = memory()
    grown = 0 if SANITIZED else max(after[0] - before[0], after[1] - before[1])
    hammer.last = (before, after)
    gc.collect()
    changed = {k: sys.getrefcount(kw[k]) - r for k, r in refs.items() if sys.getrefcount(kw[k]) != r}
    return n, grown, changed


def report(fn, what, n, grown):
    (r0, h0), (r1, h1) = hammer.last
    print(f"\n{fn:30s} {what:16s} {n:6d} calls  memory {grown / 2**10:+9.0f} KiB  "
          f"(RSS {r0 / 2**20:.1f} -> {r1 / 2**20:.1f} MiB, heap in use {h0 / 2**20:.1f} -> {h1 / 2**20:.1f} MiB)")


@pytest.mark.parametrize("fn", NAMES)
def test_many_successful_calls_leak_nothing(fn):
    try:
        kwargs = valid_kwargs(fn, 3)
    except NotImplementedError:
        pytest.skip("needs a function not built yet")
    if fn == "set_rayon_threads":
        kwargs = {"n": 2}
    n, grown, changed = hammer(fn, kwargs)
    report(fn, "valid input", n, grown)
    assert not changed, f"reference counts changed: {changed}"
    assert grown < GROWTH_LIMIT, f"{grown} bytes more after {n} calls"


def failing_case(fn, want):
    """A generated case of fn whose call raises an exception of type `want`."""
    for it in range(400):
        try:
            kwargs = realise_case(make_case(fn, 99, it))[0]
        except NotImplementedError:
            continue
        if digest(fn, kwargs) == want:
            return kwargs
    return None


@pytest.mark.parametrize("want", ["PanicException", "TypeError", "ValueError"])
@pytest.mark.parametrize("fn", [n for n in NAMES if n not in ("get_backend_info", "get_magic_lut")])
def test_many_failing_calls_leak_nothing(fn, want):
    kwargs = failing_case(fn, want)
    if kwargs is None:
        pytest.skip(f"no generated input raises {want}")
    n, grown, changed = hammer(fn, kwargs, calls=CALLS // 2)
    report(fn, want, n, grown)
    assert not changed, f"reference counts changed: {changed}"
    assert grown < GROWTH_LIMIT, f"{grown} bytes more after {n} calls"


def test_conversion_failures_release_what_they_took():
    """A failure in the last parameter comes after every other array was taken."""
    arrays = [np.zeros(8, np.uint8) for _ in range(4)]
    refs = [sys.getrefcount(a) for a in arrays]
    before = memory()
    for _ in range(20000):
        for bad in (np.zeros(2, np.int8), "x", np.zeros((2, 2), np.uint8)):
            try:
                orv_rans.bp_build_pdf_sharded(arrays[0], arrays[1], arrays[2], arrays[3], bad, 1, 1, 64, False)
            except TypeError:
                pass
    assert [sys.getrefcount(a) for a in arrays] == refs
    after = memory()
    assert SANITIZED or max(after[0] - before[0], after[1] - before[1]) < GROWTH_LIMIT


z2 = np.zeros((0, 0), np.uint8)
z1 = np.zeros(0, np.uint8)
zs = np.zeros((511, 511), np.uint8)
zi = np.zeros(256, np.uint8)
zd = np.zeros((1, 4), np.uint8)
HUGE = [2**62, 2**63 + 1, 2**64 - 1]
OVERFLOWS = [
    *[pytest.param("reconstruct_2d_channels", (h, h, z2), id=f"reconstruct_2d_channels-{h}") for h in HUGE],
    *[pytest.param("p1_gray", (h, 3, z2, z2, False, 1, zs, zi, zd), id=f"p1_gray-h{h}") for h in HUGE],
    *[pytest.param("p1_rgb", (3, 3, np.zeros((3, 3, 3), np.uint8), z2, False, k, zs, zi, zd),
                   id=f"p1_rgb-k{k}") for k in HUGE],
    *[pytest.param("p2_gray", (h, h, z2, np.zeros((0, 0, 0), np.uint32), z1, zs, zi, zd), id=f"p2_gray-{h}")
      for h in HUGE],
    *[pytest.param("reconstruct_shards_rgb", (h, 2, z1, z1, z1, *[np.zeros(1, np.uint32)] * 3, zs, zi, zd),
                   id=f"reconstruct_shards_rgb-{h}") for h in HUGE],
    *[pytest.param("bp_build_pdf_sharded", (z1, z1, z1, z1, z1, 0, 0, n, False), id=f"bp_build-nctx{n}")
      for n in HUGE],
    *[pytest.param("bp_build_pdf_sharded_rgb", (z1, z1, z1, z1, z1, z1, z1, 1, 1, n), id=f"bp_build_rgb-nctx{n}")
      for n in HUGE],
    *[pytest.param("bp_decode_sharded", (z1, 0, 0, 0, 0, h, h, np.zeros((4, 1, 5), np.uint16),
                                         np.zeros((4, 1, 4), np.uint16), z1, z1, z1), id=f"bp_decode-{h}")
      for h in HUGE],
    *[pytest.param("bp_encode_sharded", (z1, z1, np.zeros((4, 1, 5), np.uint16), np.zeros((4, 1, 4), np.uint16),
                                         z1, z1, z1, h, h, 64, False), id=f"bp_encode-{h}") for h in HUGE],
]


# stacked tables whose logical copy (and whose result) cannot exist
OVERFLOWS += [
    pytest.param("build_all_lookups", (np.broadcast_to(np.zeros(1, np.uint64), shape),), id=f"build_all_lookups-{i}")
    for i, shape in enumerate([(2**31, 2**20, 257), (2**20, 2**20, 257), (1, 2**40, 257)])
]
# empty results whose shape NumPy cannot describe (its dimensions are signed)
z_cf, z_sf = np.zeros((4, 1, 5), np.uint16), np.ones((4, 1, 4), np.uint16)
OVERFLOWS += [
    *[pytest.param("reconstruct_2d_channels", (h, w, z2), id=f"empty-reconstruct_2d_channels-{h}-{w}")
      for h, w in ((2**63, 0), (0, 2**64 - 1))],
    *[pytest.param("bp_decode_sharded", (z1, 0, 0, 0, 0, h, w, z_cf, z_sf, z1, z1, z1),
                   id=f"empty-bp_decode_sharded-{h}-{w}") for h, w in ((2**63, 0), (0, 2**64 - 1))],
]


@pytest.mark.parametrize("fn,args", OVERFLOWS)
def test_sizes_beyond_the_address_range_raise(fn, args):
    try:
        getattr(orv_rans, fn)(*args)
    except NotImplementedError:
        pytest.skip("not built yet")
    except MemoryError:
        pass
    except BaseException as e:  # noqa: BLE001
        assert is_panic(e), repr(e)
        assert str(e) == "capacity overflow" or str(e).startswith(("index out of bounds", "range end index")), str(e)
    else:
        pytest.fail("no exception")


def test_forked_child_uses_every_function(run_python):
    out = run_python("""
        import os, sys
        sys.path.insert(0, %r)
        from fuzz.cases import NAMES
        from fuzz.calls import digest, valid_kwargs
        work = []
        for fn in NAMES:
            try:
                work.append((fn, valid_kwargs(fn, 1)))
            except NotImplementedError:
                pass
        expected = [digest(fn, kw) for fn, kw in work]   # the parent's pool now exists
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            ok = [digest(fn, kw) for fn, kw in work] == expected
            os.write(w, b"same" if ok else b"differs")
            os._exit(0)
        os.waitpid(pid, 0)
        print(os.read(r, 16).decode(), len(work))
    """ % str(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), env={"RAYON_NUM_THREADS": "2"}, timeout=120)
    verdict, count = out.split()
    assert verdict == "same" and int(count) >= 3


def test_the_leak_check_sees_leaks(monkeypatch):
    kept = []

    def leaky(**kwargs):
        kept.append((kwargs["gr_rec"], bytearray(4096)))

    monkeypatch.setattr(orv_rans, "restore_channels", leaky)
    kwargs = {"gr_rec": np.zeros((2, 2), np.uint8), "rd_rec": z2, "bd_rec": z2, "a_ch": z2,
              "is_rgba": False, "is_grayscale": True, "apply_gsub": False}
    n, grown, changed = hammer("restore_channels", kwargs, calls=3000)
    assert changed == {"gr_rec": n + 200}
    assert SANITIZED or grown > GROWTH_LIMIT
