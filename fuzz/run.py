"""The fuzz runner: calls the functions of orv_rans with generated arguments
and checks that every call either returns a well-formed result or raises one
of TypeError, ValueError, OverflowError, MemoryError or PanicException, never
crashes, hangs, writes outside a buffer or changes an input array.

    python fuzz/run.py --seconds 90              # all functions, 90 s
    python fuzz/run.py --seconds 0 --seed 7      # until interrupted
    python fuzz/run.py --functions p2_rgb,bp_decode_sharded --iterations 5000
    python fuzz/run.py --target orv --seconds 60 # the front end's decoder
    python fuzz/run.py --replay fuzz/regressions/*.pkl.gz
    python fuzz/run.py --keep fuzz/findings/X.pkl.gz [--xfail "reason"]

The calls run in a child process. A crash or a hang (a call that takes longer
than --timeout) ends the child; the runner saves the input that caused it
under --findings (default fuzz/findings/), then carries on with the
next input in a new child. Other findings are saved the same way. The exit
status is 1 if anything was found.
"""
from __future__ import annotations

import argparse
import faulthandler
import gzip
import json
import os
import pickle
import signal
import subprocess
import sys
import time
import traceback
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent  # the package `fuzz` is imported from the project's root
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))

ALLOWED = ("TypeError", "ValueError", "OverflowError", "MemoryError", "PanicException")
# functions not built yet raise NotImplementedError; counted, not a finding
TOLERATED = ("NotImplementedError",)
SANITIZER_OOM = ("AddressSanitizer: out-of-memory", "AddressSanitizer: requested allocation size",
                 "allocation-size-too-big")
RESULT_DTYPES = ("uint8", "uint16", "uint32", "uint64")


# the largest allocation AddressSanitizer grants a child, in MB. A call may
# ask for any output size (shard counts read from an overlapping array can
# add up to gigabytes, which a decoder then fills); the sanitizer maps such a
# block without reserving it, where a plain build is refused above the
# machine's memory, so the child would fill it (twice, for an aliased case)
# until the system kills it. Above this size it is refused: a MemoryError.
CHILD_ALLOCATION_MB = 4096


def _child_env() -> dict:
    """The environment of a child run: a sanitizer's report must reach the
    child's stderr, which is read here, so a log_path that the caller's
    options name (to keep its own reports) is dropped; AddressSanitizer's
    allocations are capped at CHILD_ALLOCATION_MB."""
    env = dict(os.environ)
    for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
        if name in env:
            env[name] = ":".join(o for o in env[name].split(":") if not o.startswith("log_path="))
    if "ASAN_OPTIONS" in env and "max_allocation_size_mb=" not in env["ASAN_OPTIONS"]:
        env["ASAN_OPTIONS"] += f":max_allocation_size_mb={CHILD_ALLOCATION_MB}"
    return env


def outcome_of(exc: BaseException) -> str:
    name = type(exc).__name__
    if name == "PanicException" and isinstance(exc, Exception):
        return "PanicException derives from Exception"
    return name


def check_result(r, np) -> str | None:
    if r is None or isinstance(r, (bool, int, float, str)):
        return None
    if isinstance(r, tuple):
        for x in r:
            bad = check_result(x, np)
            if bad:
                return bad
        return None
    if isinstance(r, np.ndarray):
        if type(r) is not np.ndarray or str(r.dtype) not in RESULT_DTYPES:
            return f"result array of type {type(r).__name__} and dtype {r.dtype}"
        if not (r.flags.c_contiguous and r.flags.writeable):
            return "result array is not C-contiguous and writeable"
        return None
    return f"result of type {type(r).__name__}"


def call_case(case: dict, timeout: float) -> tuple[str, str | None]:
    """Runs one case; returns (outcome, finding or None)."""
    import numpy as np

    import orv_rans
    from fuzz.cases import check_guards, realise_case

    kwargs, guards, arrays = realise_case(case)
    fn = getattr(orv_rans, case["fn"])
    selftest = os.environ.get("ORV_FUZZ_SELFTEST", "")
    if selftest.endswith(":" + case["fn"]):
        fn = _selftest_fault(selftest.split(":")[0], fn, arrays)
    aliased = bool(case.get("alias"))
    if aliased:
        # the same call on separate copies of what the views hold now
        separate = {k: np.array(v) if k in case["alias"] else v for k, v in kwargs.items()}
        before = guards[0].buf.copy()
        expected, expected_outcome = _outcome(fn, separate, timeout)
    finding = None
    mutator = None
    if case.get("mode") == "mutating":
        for g in guards:
            g.before = None  # the inputs are meant to change
        from fuzz.cases import COUNT_LIKE, FILLED

        # counts stay as they are: rewritten, they would ask for gigabytes of output
        mutator = Mutator(arrays, FILLED[case["fn"]] | COUNT_LIKE)
    try:
        r, outcome = _outcome(fn, kwargs, timeout)
    finally:
        if mutator:
            mutator.stop()
    if outcome not in ("ok",) + ALLOWED + TOLERATED:
        finding = f"raised {outcome}: {r}"
    if finding is None and aliased:
        finding = _compare_aliased(case, kwargs, separate, r, outcome, expected, expected_outcome,
                                   guards[0].buf, before)
    if finding is None and outcome == "ok":
        finding = check_result(r, np)
    if finding is None and outcome != "TypeError":
        # a TypeError from the frame comes before any work; otherwise the
        # canaries around every argument and the unfilled inputs must be intact
        finding = check_guards(guards)
    elif finding is None:
        finding = check_guards(guards)
    return outcome, finding


def _outcome(fn, kwargs: dict, timeout: float):
    """(result, outcome) of one call: "ok" or the exception's class name."""
    faulthandler.dump_traceback_later(timeout, exit=True)
    try:
        return fn(**kwargs), "ok"
    except KeyboardInterrupt:
        raise
    except BaseException as e:  # noqa: BLE001 - every exception is classified
        return e, outcome_of(e)
    finally:
        faulthandler.cancel_dump_traceback_later()


def _same(a, b) -> bool:
    import numpy as np

    if isinstance(a, tuple):
        return isinstance(b, tuple) and len(a) == len(b) and all(_same(x, y) for x, y in zip(a, b))
    if isinstance(a, np.ndarray):
        return isinstance(b, np.ndarray) and a.shape == b.shape and a.dtype == b.dtype and np.array_equal(a, b)
    if isinstance(a, float) and a != a:
        return isinstance(b, float) and b != b
    return a == b


def _compare_aliased(case, kwargs, separate, r, outcome, expected, expected_outcome, buf, before):
    """An input that shares memory with a filled array reads as a separate
    array; filled arrays that share memory are refused before any write."""
    from fuzz.cases import FILLED

    if outcome == "ValueError" and "share memory" in str(r):
        if len([n for n in case["alias"] if n in FILLED[case["fn"]]]) < 2:
            return f"refused arrays that do not both get filled: {r}"
        if not (buf == before).all():
            return "wrote before refusing filled arrays that share memory"
        return None
    if outcome != expected_outcome:
        return f"{outcome} where separate arrays give {expected_outcome}"
    if outcome != "ok":
        return None  # a fault may leave filled arrays partly written, in any order
    if not _same(r, expected):
        return "a result that differs from the one with separate arrays"
    for name in FILLED[case["fn"]]:
        if not _same(kwargs[name].copy(), separate[name]):
            return f"'{name}' differs from the one filled as a separate array"
    return None


class Mutator:
    """A thread that rewrites short runs of the input arrays (all of `arrays`
    but those named in `skip`), inverting their bits so that values jump
    across every bound, until stopped."""

    def __init__(self, arrays: dict, skip=()):
        import threading

        import numpy as np

        self.raws = [a.reshape(-1).view(np.uint8) for n, a in arrays.items()
                     if n not in skip and isinstance(a, np.ndarray) and a.nbytes and a.flags.writeable
                     and a.flags.c_contiguous]
        self.rng = np.random.default_rng(len(self.raws))
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        rng, raws = self.rng, self.raws
        while raws and not self.done.is_set():
            raw = raws[int(rng.integers(0, len(raws)))]
            at = int(rng.integers(0, raw.size))
            raw[at:at + 64] ^= 0xFF

    def stop(self):
        self.done.set()
        self.thread.join()


def _selftest_fault(kind: str, fn, arrays):
    """Stands in for a broken function, so that the runner's own detection
    can be tested: a crash, a hang, a write past a buffer or a stray exception."""
    import ctypes
    import signal

    def broken(**kwargs):
        if kind == "crash":
            os.kill(os.getpid(), signal.SIGSEGV)
        if kind == "hang":
            time.sleep(3600)
        if kind == "overrun":
            for a in arrays.values():
                if a.flags.c_contiguous and a.nbytes:
                    ctypes.memset(a.ctypes.data + a.nbytes, 0, 1)
                    return None
        if kind == "raise":
            raise KeyError("stray")
        return fn(**kwargs)

    return broken


def save_case(case: dict, path: Path, **meta) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    with gzip.open(path, "wb") as f:
        pickle.dump({**case, **meta}, f)


def load_case(path: Path) -> dict:
    with gzip.open(path, "rb") as f:
        return pickle.load(f)


# ------------------------------------------------------------------ child side


def child(args) -> int:
    import orv_rans
    from fuzz.cases import NAMES, make_case

    orv_rans.set_rayon_threads(args.workers)  # before anything else: a small pool
    fns = args.functions.split(",") if args.functions else NAMES
    stats = {fn: {} for fn in fns}
    findings = []
    status = open(args.status, "w", buffering=1)
    deadline = time.monotonic() + args.seconds if args.seconds > 0 else float("inf")
    k = args.start
    stop = args.stop or None
    interrupted = []
    # an interrupt ends the run after the current call, with its statistics
    signal.signal(signal.SIGINT, lambda *_: interrupted.append(1))
    try:
        while time.monotonic() < deadline and (stop is None or k < stop) and not interrupted:
            fn = fns[k % len(fns)]
            it = k // len(fns)
            status.write(f"{k} {fn} {it}\n")
            faulthandler.dump_traceback_later(args.timeout, exit=True)
            try:
                case = make_case(fn, args.seed, it)
            except NotImplementedError:
                case = None  # the valid input needs a function not built yet
            except KeyboardInterrupt:
                raise
            except BaseException as e:  # noqa: BLE001
                faulthandler.cancel_dump_traceback_later()
                findings.append({"k": k, "fn": fn, "it": it, "what": "making a valid input raised "
                                 f"{type(e).__name__}: {e}", "trace": traceback.format_exc()})
                case = None
            faulthandler.cancel_dump_traceback_later()
            if case is None:
                s = stats[fn]
                s["no valid input"] = s.get("no valid input", 0) + 1
                status.write("= no valid input\n")
                k += 1
                continue
            outcome, finding = call_case(case, args.timeout)
            status.write(f"= {outcome}\n")
            s = stats[fn]
            s[outcome] = s.get(outcome, 0) + 1
            if finding:
                path = Path(args.findings) / f"{fn}-{args.seed}-{it}.pkl.gz"
                save_case(case, path, seed=args.seed, iteration=it, finding=finding)
                findings.append({"k": k, "fn": fn, "it": it, "what": finding, "file": str(path)})
            k += 1
    except KeyboardInterrupt:
        pass
    with open(args.stats, "w") as f:
        json.dump({"stats": stats, "findings": findings, "next": k}, f)
    return 0


def dump(args) -> int:
    """Regenerates the case of a crash and saves it (no call is made)."""
    from fuzz.cases import make_case

    case = make_case(args.dump_fn, args.seed, args.dump_it)
    save_case(case, Path(args.dump), seed=args.seed, iteration=args.dump_it, finding=args.dump_what)
    return 0


def replay(paths: list[str], timeout: float) -> int:
    bad = 0
    for p in paths:
        case = load_case(Path(p))
        outcome, finding = call_case(case, timeout)
        if not finding and case.get("expect") and outcome != case["expect"]:
            finding = f"expected {case['expect']}, got {outcome}"
        print(f"{p}: {case['fn']}: {outcome}" + (f": FINDING {finding}" if finding else ""))
        bad += bool(finding)
    return 1 if bad else 0


def keep(path: str, xfail: str) -> int:
    case = load_case(Path(path))
    case["xfail"] = xfail or None
    dest = HERE / "regressions" / Path(path).name
    save_case(case, dest)
    print(f"kept as {dest}" + (f" (xfail: {xfail})" if xfail else ""))
    return 0


# ------------------------------------------------------------------ parent side


def merge(total: dict, part: dict) -> None:
    for fn, s in part.items():
        t = total.setdefault(fn, {})
        for k, v in s.items():
            t[k] = t.get(k, 0) + v


def parent(args) -> int:
    import tempfile

    from fuzz.cases import NAMES

    fns = args.functions.split(",") if args.functions else NAMES
    tmp = Path(tempfile.mkdtemp(prefix="orv-fuzz-"))
    stats_path, status_path = tmp / "stats.json", tmp / "status"
    total: dict = {}
    findings: list = []
    start = 0
    t0 = time.monotonic()
    while True:
        left = args.seconds - (time.monotonic() - t0) if args.seconds > 0 else 0
        if args.seconds > 0 and left <= 0.5:
            break
        stop = args.iterations * len(fns) if args.iterations else 0
        if stop and start >= stop:
            break
        cmd = [sys.executable, __file__, "--child", "--seed", str(args.seed), "--start", str(start),
               "--seconds", str(left if args.seconds > 0 else 0), "--stop", str(stop),
               "--timeout", str(args.timeout), "--workers", str(args.workers), "--status",
               str(status_path), "--stats", str(stats_path), "--findings", args.findings]
        if args.functions:
            cmd += ["--functions", args.functions]
        stats_path.unlink(missing_ok=True)
        interrupted = False
        child_proc = subprocess.Popen(cmd, stderr=subprocess.PIPE, text=True, errors="replace",
                                      env=_child_env())
        try:
            _, err = child_proc.communicate()
        except KeyboardInterrupt:  # the child stops after its current call and reports
            signal.signal(signal.SIGINT, signal.SIG_IGN)
            child_proc.send_signal(signal.SIGINT)
            _, err = child_proc.communicate()
            interrupted = True
        proc = subprocess.CompletedProcess(cmd, child_proc.returncode, None, err)
        if proc.returncode == 0 and stats_path.exists():
            part = json.loads(stats_path.read_text())
            merge(total, part["stats"])
            findings += part["findings"]
            break
        if interrupted:
            break
        # the child died: the last input it started is the culprit; the
        # status file also holds the outcomes of the calls before it
        lines = status_path.read_text().strip().splitlines()
        current = None
        for line in lines:
            if line.startswith("= "):
                merge(total, {current: {line[2:]: 1}})
            else:
                current = line.split()[1]
        last = [x for x in lines if not x.startswith("= ")][-1].split()
        k, fn, it = int(last[0]), last[1], int(last[2])
        what = "hang" if "Timeout" in proc.stderr else f"crash (exit status {proc.returncode})"
        if any(m in proc.stderr for m in SANITIZER_OOM):
            # AddressSanitizer aborts where a plain build raises MemoryError:
            # its operator new cannot return null
            merge(total, {fn: {"MemoryError": 1}})
            start = k + 1
            continue
        path = Path(args.findings) / f"{fn}-{args.seed}-{it}.pkl.gz"
        subprocess.run([sys.executable, __file__, "--dump", str(path), "--dump-fn", fn, "--dump-it",
                        str(it), "--seed", str(args.seed), "--dump-what", what], capture_output=True)
        findings.append({"k": k, "fn": fn, "it": it, "what": what, "file": str(path),
                         "stderr": proc.stderr[-3000:]})
        merge(total, {fn: {what.split()[0]: 1}})
        start = k + 1
    report(total, findings, time.monotonic() - t0, args)
    return 1 if findings else 0


def report(total: dict, findings: list, elapsed: float, args) -> None:
    cols = ["ok", "TypeError", "ValueError", "OverflowError", "MemoryError", "PanicException",
            "NotImplementedError", "no valid input"]
    print(f"{'function':30s} {'calls':>7s} " + " ".join(f"{c[:9]:>9s}" for c in cols) + "  other")
    grand = 0
    for fn, s in total.items():
        n = sum(s.values())
        grand += n
        other = {k: v for k, v in s.items() if k not in cols}
        print(f"{fn:30s} {n:7d} " + " ".join(f"{s.get(c, 0):9d}" for c in cols) +
              (f"  {other}" if other else ""))
    print(f"total: {grand} executions in {elapsed:.0f} s (seed {args.seed}), {len(findings)} findings")
    for f in findings:
        print(f"FINDING {f['fn']} iteration {f['it']}: {f['what']}" + (f" -> {f['file']}" if 'file' in f else ""))
        if f.get("stderr"):
            print("  " + f["stderr"].strip().replace("\n", "\n  ")[-1500:])
        if f.get("trace"):
            print("  " + f["trace"].strip().replace("\n", "\n  ")[-1500:])
    if args.json:
        Path(args.json).write_text(json.dumps({"stats": total, "findings": findings,
                                               "seconds": elapsed, "seed": args.seed}, indent=1))


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seconds", type=float, default=60, help="time budget (0: no limit)")
    ap.add_argument("--iterations", type=int, default=0, help="iterations per function (0: no limit)")
    ap.add_argument("--seed", type=int, default=int(time.time()) % 100000)
    ap.add_argument("--functions", default="", help="comma-separated names (default: all 25)")
    ap.add_argument("--timeout", type=float, default=float(os.environ.get("ORV_FUZZ_TIMEOUT", 60)),
                    help="seconds after which one call counts as a hang")
    ap.add_argument("--workers", type=int, default=2, help="worker pool size in the child")
    ap.add_argument("--findings", default=str(HERE / "findings"))
    ap.add_argument("--json", default="", help="write the statistics to this file")
    ap.add_argument("--target", default="module", choices=["module", "orv"])
    ap.add_argument("--replay", nargs="*", help="replay saved inputs (regressions or findings)")
    ap.add_argument("--keep", help="copy a finding into fuzz/regressions/")
    ap.add_argument("--xfail", default="", help="with --keep: expected to fail until fixed, and why")
    ap.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--start", type=int, default=0, help=argparse.SUPPRESS)
    ap.add_argument("--stop", type=int, default=0, help=argparse.SUPPRESS)
    ap.add_argument("--status", help=argparse.SUPPRESS)
    ap.add_argument("--stats", help=argparse.SUPPRESS)
    ap.add_argument("--dump", help=argparse.SUPPRESS)
    ap.add_argument("--dump-fn", help=argparse.SUPPRESS)
    ap.add_argument("--dump-it", type=int, help=argparse.SUPPRESS)
    ap.add_argument("--dump-what", default="", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.keep:
        return keep(args.keep, args.xfail)
    if args.replay is not None:
        return replay(args.replay, args.timeout)
    if args.target == "orv":
        from fuzz.frontend import main as frontend_main

        return frontend_main(args)
    if args.dump:
        return dump(args)
    if args.child:
        return child(args)
    return parent(args)


if __name__ == "__main__":
    sys.exit(main())
