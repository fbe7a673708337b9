"""The front end's decoder against damaged files: every mutation of a valid
.orv file decodes to the original image or raises orv.FormatError."""
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from fuzz import frontend

orv = frontend.load_orv()
pytestmark = pytest.mark.skipif(orv is None, reason="the front end (package orv) is not built yet")
RUN = Path(__file__).resolve().parents[1] / "fuzz" / "run.py"
ITERATIONS = int(os.environ.get("ORV_FUZZ_ITERATIONS", 60)) * 10


def test_mutated_files_decode_to_the_original_or_raise_format_error(tmp_path):
    if not encoding_works():
        pytest.skip("the front end cannot encode yet")
    proc = subprocess.run([sys.executable, str(RUN), "--target", "orv", "--seconds", "0", "--iterations",
                           str(ITERATIONS), "--seed", "424242", "--timeout", "60"],
                          capture_output=True, text=True, timeout=900)
    assert proc.returncode == 0, proc.stdout[-5000:] + proc.stderr[-3000:]
    assert f"{ITERATIONS} decodes" in proc.stdout


@pytest.fixture(scope="module")
def files():
    try:
        return frontend.corpus(np.random.default_rng(11), orv)[:12]
    except NotImplementedError as e:
        pytest.skip(f"the front end cannot encode yet: {e}")


def encoding_works():
    try:
        orv.encode(np.zeros((2, 2), np.uint8))
    except NotImplementedError:
        return False
    return True


def test_every_truncation_raises_format_error(files):
    for img, data in files:
        for cut in range(len(data)):
            outcome, finding = frontend.check(orv, img, data[:cut])
            assert finding is None and outcome == "FormatError", (img.shape, cut, finding)


def test_every_single_bit_flip_of_a_small_file_is_caught(files):
    img, data = min(files, key=lambda f: len(f[1]))
    for pos in range(len(data)):
        for bit in range(8):
            b = bytearray(data)
            b[pos] ^= 1 << bit
            outcome, finding = frontend.check(orv, img, bytes(b))
            assert finding is None, (pos, bit, finding)
