"""Bounded fuzzing of the 25 functions and the private entries, the runner's own detection, and the
inputs of past findings kept as regression tests.

Each function gets a fixed number of generated calls (random arguments, valid
arguments and mutated valid arguments) in a child process, so a crash or a
hang fails the test instead of the test run. Longer runs: fuzz/run.py.
"""
import os
import subprocess
import sys
from pathlib import Path

import pytest

from fuzz.cases import NAMES
from fuzz.run import load_case

FUZZ = Path(__file__).resolve().parents[1] / "fuzz"
RUN = FUZZ / "run.py"
REGRESSIONS = sorted((FUZZ / "regressions").glob("*.pkl.gz"))
# calls per function in the test suite; the CI's timed run and hand runs do more
ITERATIONS = int(os.environ.get("ORV_FUZZ_ITERATIONS", 60))


def run_fuzzer(tmp_path, *args, env=None, timeout=600):
    full_env = {**os.environ, **(env or {})}
    return subprocess.run([sys.executable, str(RUN), "--findings", str(tmp_path / "findings"), *args],
                          capture_output=True, text=True, env=full_env, timeout=timeout)


@pytest.mark.parametrize("fn", NAMES)
def test_fuzz_function(tmp_path, fn):
    proc = run_fuzzer(tmp_path, "--functions", fn, "--iterations", str(ITERATIONS), "--seconds", "0",
                      "--seed", "20261207", "--timeout", "120")
    assert proc.returncode == 0, proc.stdout[-6000:] + proc.stderr[-3000:]
    assert f"total: {ITERATIONS} executions" in proc.stdout, proc.stdout


@pytest.mark.parametrize("kind,expected", [
    ("crash", "crash (exit status"),  # -11, or 1 when AddressSanitizer reports the signal
    ("hang", "hang"),
    ("overrun", "a write outside an argument's buffer"),
    ("raise", "raised KeyError"),
])
def test_runner_detects_and_keeps_the_input(tmp_path, kind, expected):
    fn = "reconstruct_2d_channels"
    proc = run_fuzzer(tmp_path, "--functions", f"{fn},get_backend_info", "--iterations", "2",
                      "--seconds", "0", "--seed", "5", "--timeout", "2",
                      env={"ORV_FUZZ_SELFTEST": f"{kind}:{fn}"})
    assert proc.returncode == 1
    assert proc.stdout.count(f"FINDING {fn}") == 2 and expected in proc.stdout, proc.stdout
    saved = sorted((tmp_path / "findings").glob(f"{fn}-5-*.pkl.gz"))
    assert len(saved) == 2
    case = load_case(saved[0])
    assert case["fn"] == fn and set(case["args"]) == {"h", "w", "res_ch"}
    assert "get_backend_info                     2" in proc.stdout  # the run went on after each finding


def regression_params():
    params = []
    for path in REGRESSIONS:
        case = load_case(path)
        marks = [pytest.mark.xfail(reason=case["xfail"], strict=False)] if case.get("xfail") else []
        params.append(pytest.param(path, marks=marks, id=path.name.removesuffix(".pkl.gz")))
    return params


@pytest.mark.parametrize("path", regression_params())
def test_regression_input(path):
    proc = subprocess.run([sys.executable, str(RUN), "--replay", str(path), "--timeout", "60"],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0 and "FINDING" not in proc.stdout, proc.stdout + proc.stderr[-3000:]
