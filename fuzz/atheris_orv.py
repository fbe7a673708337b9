"""Coverage-guided fuzzing of the front end's decoder with atheris.

The container parser of `orv` is Python, so atheris's Python coverage sees
every branch of it: starting from valid files, libFuzzer keeps the inputs that
reach new header, table and payload checks. Any exception other than
orv.FormatError, a result that is not a uint8 image, a crash or a hang is a
finding (libFuzzer writes the input to crash-*/timeout-* in the current
directory).

    pip install atheris
    PYTHONPATH=build python fuzz/atheris_orv.py -max_total_time=60 CORPUS_DIR
    PYTHONPATH=build python fuzz/atheris_orv.py CORPUS_DIR        # until Ctrl-C

CORPUS_DIR is seeded with valid files on the first run and grows with every
input that reaches new code. The module's own functions are fuzzed by
fuzz/run.py, whose generators know the structure of every argument.
"""
from __future__ import annotations

import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

import atheris  # noqa: E402

from fuzz.frontend import corpus, load_orv  # noqa: E402

with atheris.instrument_imports():
    orv = load_orv()


def test_one_input(data: bytes) -> None:
    try:
        out = orv.decode(data)
    except orv.FormatError:
        return
    if not isinstance(out, np.ndarray) or out.dtype != np.uint8 or not (
            out.ndim == 2 or (out.ndim == 3 and out.shape[2] in (3, 4))):
        raise AssertionError(f"decode returned {type(out).__name__} {getattr(out, 'shape', '')}")


def seed_corpus(directory: Path) -> None:
    directory.mkdir(parents=True, exist_ok=True)
    if any(directory.iterdir()):
        return
    for i, (_, data) in enumerate(corpus(np.random.default_rng(5), orv)):
        (directory / f"seed-{i:03d}.orv").write_bytes(data)


def main() -> None:
    if orv is None:
        sys.exit("the front end (package orv) is not available")
    dirs = [a for a in sys.argv[1:] if not a.startswith("-")]
    for d in dirs:
        seed_corpus(Path(d))
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
