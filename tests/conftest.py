import os
import subprocess
import sys
import textwrap

import pytest

# the fuzzing package (fuzz/, beside tests/) supplies generated inputs to the tests
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)


def is_panic(exc: BaseException) -> bool:
    return type(exc).__name__ == "PanicException" and not isinstance(exc, Exception)


def panic_message(fn, *args):
    """Calls fn and returns the message of the PanicException it must raise."""
    try:
        fn(*args)
    except BaseException as e:  # PanicException derives from BaseException
        assert type(e).__name__ == "PanicException", repr(e)
        return str(e)
    raise AssertionError("the call did not fault")


def counts_of(d):
    """A 256-entry uint64 histogram from {symbol: count}."""
    import numpy as np

    c = np.zeros(256, np.uint64)
    for s, v in d.items():
        c[s] = v
    return c


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter (its own worker pool) and returns stdout."""

    def run(code: str, env: dict | None = None, timeout: float = 120) -> str:
        full_env = dict(os.environ)
        for k in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
            full_env.pop(k, None)
        full_env.update(env or {})
        proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=full_env,
                              capture_output=True, text=True, timeout=timeout)
        assert proc.returncode == 0, proc.stderr
        return proc.stdout

    return run
