"""The worker pool under ThreadSanitizer: the C++ pool test (ordered maps,
nesting, faults, several outside callers at once, racing first use) built
with -fsanitize=thread must finish without a single race report."""
import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
# CI sets this, so that a missing ThreadSanitizer fails instead of skipping
REQUIRED = os.environ.get("ORV_REQUIRE_TSAN") == "1"


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    env["TSAN_OPTIONS"] = "halt_on_error=1 exitcode=66 second_deadlock_stack=1"
    env.update(extra)
    return env


@pytest.fixture(scope="module")
def tsan_pool_test(tmp_path_factory):
    cxx = shutil.which("g++") or shutil.which("clang++")
    exe = tmp_path_factory.mktemp("tsan") / "pool_test_tsan"
    proc = None
    if cxx:
        proc = subprocess.run([cxx, "-std=c++20", "-O1", "-g", "-pthread", "-fsanitize=thread",
                               str(ROOT / "tests/cpp/pool_test.cpp"), str(ROOT / "src/pool/pool.cpp"),
                               "-o", str(exe)], capture_output=True, text=True, env=clean_env())
    if not cxx or proc.returncode != 0:
        reason = "no C++ compiler" if not cxx else "cannot build with -fsanitize=thread: " + proc.stderr[-500:]
        if REQUIRED:
            pytest.fail(reason)
        pytest.skip(reason)
    return exe


@pytest.mark.parametrize("size", [1, 2, 7])
def test_pool_has_no_data_race(tsan_pool_test, size):
    proc = subprocess.run([str(tsan_pool_test), str(size)], capture_output=True, text=True,
                          timeout=300, env=clean_env())
    assert "ThreadSanitizer" not in proc.stderr, proc.stderr[-6000:]
    assert proc.returncode == 0 and proc.stdout.strip() == "ok", proc.stderr[-3000:]


def test_racing_first_use_makes_one_pool_without_races(tsan_pool_test):
    proc = subprocess.run([str(tsan_pool_test), "0", "first-use"], capture_output=True, text=True,
                          timeout=300, env=clean_env(RAYON_NUM_THREADS="3"))
    assert "ThreadSanitizer" not in proc.stderr, proc.stderr[-6000:]
    assert proc.returncode == 0 and proc.stdout.strip() == "ok", proc.stderr[-3000:]
