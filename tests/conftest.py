import os
import subprocess
import sys
import textwrap

import pytest


def is_panic(exc: BaseException) -> bool:
    return type(exc).__name__ == "PanicException" and not isinstance(exc, Exception)


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
