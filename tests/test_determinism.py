"""Byte-identical results for worker pools of 1, 2, 16 and 64 threads: the one
place where this property is checked, for every function on generated inputs
(valid and mutated), on the workloads of pool_workloads.py (splits and fault
orders that generated inputs rarely reach), and on real photos run through
the whole chain of coding and decoding."""
import json
from pathlib import Path

import pytest
from pool_workloads import WORKLOADS

ROOT = Path(__file__).resolve().parents[1]
POOLS = (1, 2, 16, 64)

SCRIPT = """
import json, sys
sys.path.insert(0, {root!r})
sys.path.insert(0, {tests!r})
from pool_workloads import WORKLOADS
from fuzz.cases import NAMES, make_case, realise_case
from fuzz.calls import digest, valid_kwargs, pipeline, real_images
out = {{}}
for fn in NAMES:
    if fn == "set_rayon_threads":
        continue
    ds = []
    for seed in range({seeds}):
        try:
            ds.append(digest(fn, valid_kwargs(fn, seed)))
        except NotImplementedError:
            ds.append("valid input needs a function not built yet")
    for it in range({mutated}):
        try:
            kwargs, _, _ = realise_case(make_case(fn, 424242, it))
        except NotImplementedError:
            continue
        ds.append(digest(fn, kwargs))
    out[fn] = ds
for name, fn in WORKLOADS.items():
    out["workload " + name] = fn()
for name, img in real_images():
    out["photo " + name] = pipeline(img)
print(json.dumps(out))
"""


@pytest.fixture(scope="module")
def runs(request):
    import os
    import subprocess
    import sys

    code = SCRIPT.format(root=str(ROOT), tests=str(ROOT / "tests"), seeds=8, mutated=40)
    results = {}
    for n in POOLS:
        env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
        env["RAYON_NUM_THREADS"] = str(n)
        proc = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                              timeout=900)
        assert proc.returncode == 0, proc.stderr[-3000:]
        results[n] = json.loads(proc.stdout)
    return results


def keys():
    from fuzz.cases import NAMES

    return [n for n in NAMES if n != "set_rayon_threads"]


@pytest.mark.parametrize("fn", keys())
def test_generated_inputs_give_identical_results_for_every_pool_size(runs, fn):
    one = runs[1][fn]
    assert len(one) >= 8
    for n in POOLS[1:]:
        diff = [i for i, (a, b) in enumerate(zip(one, runs[n][fn])) if a != b]
        assert not diff, f"{fn}: inputs {diff} differ between 1 and {n} workers"


def test_real_photos_give_identical_results_for_every_pool_size(runs):
    photos = [k for k in runs[1] if k.startswith("photo ")]
    if not photos:
        pytest.skip("the benchmark corpus is not installed (bench/setup.sh)")
    for k in photos:
        assert all(runs[n][k] == runs[1][k] for n in POOLS), k


@pytest.mark.parametrize("name", list(WORKLOADS))
def test_workloads_give_identical_results_for_every_pool_size(runs, name):
    key = "workload " + name
    assert all(runs[n][key] == runs[1][key] for n in POOLS), name
