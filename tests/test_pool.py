"""The worker pool: size rules, determinism, nesting, faults and fork."""
import os
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest

import orv_rans

ROOT = Path(__file__).resolve().parent.parent

# Counts the worker threads the first parallel call starts (NumPy's own
# threads exist before it, so the difference is the pool).
COUNT = """
import os, numpy as np, orv_rans
before = len(os.listdir('/proc/self/task'))
{setup}
orv_rans.build_all_lookups(np.zeros((1, 1, 257), np.uint64))
{after}
print(len(os.listdir('/proc/self/task')) - before)
"""


def workers(run_python, env=None, setup="", after=""):
    return int(run_python(COUNT.format(setup=setup, after=after), env=env).strip())


CPUS = len(os.sched_getaffinity(0))


@pytest.mark.parametrize("env,expected", [
    ({"RAYON_NUM_THREADS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "+2"}, 2),
    ({"RAYON_NUM_THREADS": "0"}, CPUS),
    ({"RAYON_NUM_THREADS": "lots", "RAYON_RS_NUM_CPUS": "5"}, 5),
    ({"RAYON_RS_NUM_CPUS": "0"}, CPUS),
    ({}, CPUS),
])
def test_default_size_from_environment(run_python, env, expected):
    assert workers(run_python, env) == expected


def test_set_rayon_threads_first_fixes_the_size(run_python):
    assert workers(run_python, {"RAYON_NUM_THREADS": "2"}, setup="orv_rans.set_rayon_threads(4)") == 4
    assert workers(run_python, setup="orv_rans.set_rayon_threads(4); orv_rans.set_rayon_threads(8)") == 4
    assert workers(run_python, {"RAYON_NUM_THREADS": "3"}, setup="orv_rans.set_rayon_threads(0)") == 3


def test_set_rayon_threads_after_the_pool_exists_changes_nothing(run_python):
    assert workers(run_python, {"RAYON_NUM_THREADS": "3"}, after="orv_rans.set_rayon_threads(5)") == 3


def test_set_rayon_threads_waits_for_its_workers(run_python):
    out = run_python("""
        import os, numpy, orv_rans
        before = len(os.listdir('/proc/self/task'))
        print(orv_rans.set_rayon_threads(6), len(os.listdir('/proc/self/task')) - before)
    """)
    assert out.split() == ["None", "6"]


LOOKUPS = """
import hashlib, numpy as np, orv_rans
rng = np.random.default_rng(7)
f = rng.integers(0, 40, size=(5, 13, 256)).astype(np.uint64)
c = np.concatenate([np.zeros((5, 13, 1), np.uint64), np.cumsum(f, axis=2)], axis=2)
c[1, 2, 200:] = 5000  # ranges passing 4096 are skipped
print(hashlib.sha256(orv_rans.build_all_lookups(c).tobytes()).hexdigest())
"""


def test_results_do_not_depend_on_the_pool_size(run_python):
    digests = {run_python(LOOKUPS, {"RAYON_NUM_THREADS": str(n)}) for n in (1, 2, 64)}
    assert len(digests) == 1


def test_parallel_call_in_a_forked_child(run_python):
    out = run_python("""
        import os, numpy as np, orv_rans
        c = np.zeros((2, 8, 257), np.uint64); c[..., 1:] = 4096
        orv_rans.build_all_lookups(c)          # the parent's pool exists
        pid = os.fork()
        if pid == 0:
            r = orv_rans.build_all_lookups(c)  # would hang on the inherited pool
            os._exit(0 if r.shape == (2, 8, 4096) else 3)
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status))
    """, env={"RAYON_NUM_THREADS": "2"}, timeout=60)
    assert out.strip() == "0"


def test_multiprocessing_fork_pool_workers():
    import multiprocessing as mp

    c = np.zeros((1, 4, 257), np.uint64)
    c[..., 1:] = 4096
    orv_rans.build_all_lookups(c)
    with mp.get_context("fork").Pool(2) as p:
        shapes = p.map(_lookups_shape, [c, c, c])
    assert shapes == [(1, 4, 4096)] * 3


def _lookups_shape(c):
    return orv_rans.build_all_lookups(c).shape


def _build_pool_test(tmp_path, extra_flags=()):
    cxx = shutil.which("g++") or shutil.which("c++")
    if not cxx:
        pytest.skip("no C++ compiler")
    exe = tmp_path / "pool_test"
    subprocess.run([cxx, "-std=c++20", "-O1", "-g", "-pthread", *extra_flags,
                    str(ROOT / "tests/cpp/pool_test.cpp"), str(ROOT / "src/pool/pool.cpp"), "-o", str(exe)],
                   check=True, capture_output=True, text=True)
    return exe


@pytest.mark.parametrize("size", [1, 2, 7])
def test_pool_in_cpp(tmp_path, size):
    exe = _build_pool_test(tmp_path)
    proc = subprocess.run([str(exe), str(size)], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0 and proc.stdout.strip() == "ok", proc.stderr


def test_fork_while_another_thread_creates_the_pool(tmp_path):
    exe = _build_pool_test(tmp_path)
    proc = subprocess.run([str(exe), "2", "fork-during-first-use"], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0 and proc.stdout.strip() == "ok", proc.stderr


# Worker threads are refused once the address space is nearly used up: each
# needs a stack. The limit is set inside the child, after its imports.
REFUSED = """
import os, resource, numpy as np, orv_rans
size = int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (size + ({headroom} << 20), resource.RLIM_INFINITY))
{setup}
c = np.zeros((1, 3, 257), np.uint64); c[..., 1:] = 4096
outcomes = []
for _ in range(2):
    try:
        outcomes.append(int(orv_rans.build_all_lookups(c).sum()))
    except RuntimeError as e:
        assert isinstance(e.__cause__, OSError), repr(e.__cause__)
        outcomes.append(str(e))
print(repr(outcomes))
"""

needs_real_address_space = pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="the sanitizer reserves more address space than the limit allows")


@needs_real_address_space
@pytest.mark.parametrize("headroom,fallback", [(256, CPUS), (4, 0)])
def test_refused_worker_threads_raise_once_and_leave_a_working_pool(run_python, headroom, fallback):
    # 256 MiB: some workers start, then the fallback of one per processor;
    # 4 MiB: not even one, so the calling thread runs every loop
    out = eval(run_python(REFUSED.format(setup="", headroom=headroom), env={"RAYON_NUM_THREADS": "65535"},
                          timeout=120))
    assert out[0].startswith("the worker pool could not start worker thread ")
    assert " of 65535 (" in out[0]
    if CPUS <= 16:  # their stacks fit the headroom
        assert out[0].endswith(f"it runs with {fallback} worker thread{'' if fallback == 1 else 's'} instead")
    assert out[1] == 0  # every slot of the three all-zero-symbol tables


@needs_real_address_space
def test_set_rayon_threads_refused_leaves_the_default_pool(run_python):
    out = eval(run_python(REFUSED.format(setup="assert orv_rans.set_rayon_threads(65535) is None", headroom=256),
                          env={"RAYON_NUM_THREADS": "2"}, timeout=120))
    assert out == [0, 0]
