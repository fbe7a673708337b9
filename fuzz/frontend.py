"""Fuzzing of the front end's decoder: valid .orv files with small mutations
(flipped bits, overwritten and inserted bytes, cut and repeated ranges,
length fields set to extremes, pieces of other files) must decode to exactly
the original image or raise orv.FormatError; nothing else, and never a crash,
a hang or an unbounded allocation.

    python fuzz/run.py --target orv --seconds 60 [--seed N]
"""
from __future__ import annotations

import faulthandler
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

MEMORY_LIMIT = 4 << 30  # address space of the child: an unbounded allocation fails fast


def images(rng) -> list[np.ndarray]:
    shapes = [(1, 1), (1, 9), (9, 1), (7, 5), (16, 16), (1, 1, 3), (5, 3, 3), (12, 17, 3), (1, 1, 4),
              (6, 4, 4), (13, 9, 4), (33, 20)]
    out = []
    for shape in shapes:
        if rng.random() < 0.5:
            img = rng.integers(0, 256, shape, dtype=np.uint8)
        else:  # smooth, so that the codec's models have something to work with
            y, x = np.indices(shape[:2])
            base = (y * int(rng.integers(0, 9)) + x * int(rng.integers(0, 9)))
            img = np.broadcast_to(base[..., None] if len(shape) == 3 else base, shape)
            img = ((img + rng.integers(0, 3, shape)) % 256).astype(np.uint8)
        out.append(np.ascontiguousarray(img))
    return out


def corpus(rng, orv) -> list[tuple[np.ndarray, bytes]]:
    files = []
    for img in images(rng):
        for coder in ("auto", "shard", "bitpair"):
            try:
                data = orv.encode(img, coder=coder)
            except (ValueError, TypeError):
                continue  # a coder name this front end does not have
            files.append((img, bytes(data)))
    # metadata sections after the coded ones (appended last, so the files above keep their places)
    for img in images(rng)[:2]:
        try:
            data = orv.encode(img, icc_profile=b"icc" * 9, exif=b"Exif\0\0MM", xmp=b"<x/>")
        except TypeError:
            continue  # a front end without metadata
        files.append((img, bytes(data)))
    # few colours, flat areas: palette and zstd (format version 4), appended last as well
    for shape in ((9, 14), (12, 10, 3), (8, 11, 4)):
        idx = rng.integers(0, 5, shape[:2])
        idx[shape[0] // 2:] = 0
        entries = rng.integers(0, 256, (5,) + shape[2:], dtype=np.uint8)
        img = np.ascontiguousarray(entries[idx])
        files.append((img, bytes(orv.encode(img))))
    # strip files (format version 3), cut small here: orv.encode cuts only large images
    try:
        from orv import strips
    except ImportError:
        return files  # a front end without strips
    for img in images(rng)[6:12]:
        heights = [img.shape[0] // 2, img.shape[0] - img.shape[0] // 2] if img.shape[0] > 1 else [1]
        files.append((img, bytes(strips.encode_strips(img, heights, exif=b"Exif\0\0II"))))
    # context model 2: fitted classes with a deflated map, and split into
    # intensity bands (forced here: the encoder splits only larger images)
    try:
        from orv import model, single
        compact = single.compact
    except (ImportError, AttributeError):
        compact = None  # a front end without model 2
    if compact is not None:
        for img in images(rng)[3:8]:
            if img.shape[0] * img.shape[1] < 64:
                continue
            plain = single.fitted_classes(img)
            files.append((img, bytes(single.encode_pixels(img, coder="shard",
                                                          classes=compact(plain)))))
            t = (64, 128, 192)
            cmap = np.stack([plain.class_map + plain.K * (b > 0) for b in range(4)], 1)
            cmap = np.ascontiguousarray(cmap.reshape(-1), dtype=np.uint8)
            cl = single.Classes(plain.bounds, cmap, int(cmap.max()) + 1,
                                model.luts(plain.bounds, cmap, t), t, model.MODEL_BANDS)
            files.append((img, bytes(single.encode_pixels(img, coder="shard", classes=cl))))
    return files


def mutate(rng, data: bytes, others: list[bytes]) -> bytes:
    b = bytearray(data)
    for _ in range(int(rng.integers(1, 4))):
        op = int(rng.integers(0, 9))
        n = len(b)
        pos = int(rng.integers(0, n)) if n else 0
        if op == 0 and n:  # flip a bit
            b[pos] ^= 1 << int(rng.integers(0, 8))
        elif op == 1 and n:  # overwrite a byte
            b[pos] = int(rng.integers(0, 256))
        elif op == 2:  # cut the tail
            del b[int(rng.integers(0, n + 1)):]
        elif op == 3:  # insert bytes
            b[pos:pos] = bytes(rng.integers(0, 256, int(rng.integers(1, 9)), dtype=np.uint8))
        elif op == 4 and n:  # delete a range
            del b[pos:pos + int(rng.integers(1, 17))]
        elif op == 5 and n:  # repeat a range
            k = int(rng.integers(1, 33))
            b[pos:pos] = b[pos:pos + k]
        elif op == 6 and n >= 4:  # a 16- or 32-bit field to an extreme
            width = 4 if rng.random() < 0.6 else 2
            p = min(pos, n - width)
            value = [0, 1, 0x7FFFFFFF, 0xFFFFFFFF, 0x80000000, 0xFFFF, 0x10000][int(rng.integers(0, 7))]
            b[p:p + width] = (value & ((1 << (8 * width)) - 1)).to_bytes(width, "little")
        elif op == 7 and others:  # splice another file's bytes in
            o = others[int(rng.integers(0, len(others)))]
            if o:
                s = int(rng.integers(0, len(o)))
                b[pos:] = o[s:s + int(rng.integers(1, 200))] + b[pos:]
        elif op == 8:  # append junk
            b += bytes(rng.integers(0, 256, int(rng.integers(1, 9)), dtype=np.uint8))
    return bytes(b)


def check(orv, original: np.ndarray, data: bytes) -> tuple[str, str | None]:
    """Outcome of decoding `data` and a finding if it is not acceptable."""
    try:
        out = orv.decode(data)
    except orv.FormatError:
        return "FormatError", None
    except KeyboardInterrupt:
        raise
    except BaseException as e:  # noqa: BLE001
        return type(e).__name__, f"raised {type(e).__name__}: {e}"
    if not isinstance(out, np.ndarray):
        return "other", f"returned {type(out).__name__}"
    if out.dtype != original.dtype or out.shape != original.shape or not np.array_equal(out, original):
        return "wrong image", f"decoded to a different image ({out.dtype} {out.shape})"
    return "same image", None


def load_orv():
    try:
        import orv
    except ImportError:
        root = Path(__file__).resolve().parents[2]
        for extra in (root / "python", root / "src", root):
            if (extra / "orv" / "__init__.py").exists():
                sys.path.insert(0, str(extra))
                import orv
                return orv
        return None
    return orv


def child(seed: int, start: int, stop: int, deadline: float, status: Path, timeout: float) -> dict:
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        resource.setrlimit(resource.RLIMIT_AS, (MEMORY_LIMIT, MEMORY_LIMIT))
    orv = load_orv()
    try:
        files = corpus(np.random.default_rng(seed), orv)
    except NotImplementedError as e:
        return {"stats": {}, "findings": [], "files": 0, "unavailable": str(e)}
    blobs = [d for _, d in files]
    # splicing a whole file in and cutting the tail can give another corpus
    # file byte for byte: that file must decode to its own image
    image_of = {d: im for im, d in files}
    stats: dict = {}
    findings = []
    out = open(status, "w", buffering=1)
    k = start
    while (not stop or k < stop) and time.monotonic() < deadline:
        rng = np.random.default_rng([seed, k])
        img, data = files[k % len(files)]
        mutated = data if k < len(files) else mutate(rng, data, blobs)
        out.write(f"{k}\n")
        faulthandler.dump_traceback_later(timeout, exit=True)
        outcome, finding = check(orv, image_of.get(mutated, img), mutated)
        faulthandler.cancel_dump_traceback_later()
        if k < len(files) and outcome != "same image":
            finding = f"an unmodified file gave {outcome}"
        stats[outcome] = stats.get(outcome, 0) + 1
        if finding:
            findings.append({"k": k, "what": finding, "file": save(mutated, seed, k)})
        k += 1
    return {"stats": stats, "findings": findings, "files": len(files)}


def save(data: bytes, seed: int, k: int) -> str:
    d = Path(__file__).resolve().parent / "findings"
    d.mkdir(exist_ok=True)
    p = d / f"orv-{seed}-{k}.orv"
    p.write_bytes(data)
    return str(p)


def main(args) -> int:
    if "--orv-child" in sys.argv:
        return 0
    if load_orv() is None:
        print("the front end (package orv) is not available")
        return 2
    tmp = Path(tempfile.mkdtemp(prefix="orv-fe-fuzz-"))
    status, result = tmp / "status", tmp / "result.json"
    t0 = time.monotonic()
    total: dict = {}
    findings: list = []
    start = 0
    stop = args.iterations
    while True:
        left = args.seconds - (time.monotonic() - t0) if args.seconds > 0 else 1e9
        if left <= 0.5 or (stop and start >= stop):
            break
        code = ("import sys, json; sys.path.insert(0, %r); from fuzz.frontend import child; "
                "json.dump(child(%d, %d, %d, __import__('time').monotonic() + %f, __import__('pathlib').Path(%r), %f), "
                "open(%r, 'w'))") % (str(Path(__file__).resolve().parents[1]), args.seed, start, stop, left,
                                    str(status), args.timeout, str(result))
        result.unlink(missing_ok=True)
        proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, errors="replace")
        if proc.returncode == 0 and result.exists():
            r = json.loads(result.read_text())
            if r.get("unavailable"):
                print(f"the front end cannot encode yet: {r['unavailable']}")
                return 0
            for key, v in r["stats"].items():
                total[key] = total.get(key, 0) + v
            findings += r["findings"]
            break
        lines = status.read_text().split() if status.exists() else []
        k = int(lines[-1]) if lines else start
        what = "hang" if "Timeout" in proc.stderr else f"crash (exit status {proc.returncode})"
        findings.append({"k": k, "what": what, "stderr": proc.stderr[-2000:]})
        total[what.split()[0]] = total.get(what.split()[0], 0) + 1
        total["(before a crash)"] = total.get("(before a crash)", 0) + max(len(lines) - 1, 0)
        start = k + 1
    n = sum(total.values())
    print(f"orv decoder: {n} decodes in {time.monotonic() - t0:.0f} s (seed {args.seed}): {total}")
    for f in findings:
        print(f"FINDING iteration {f['k']}: {f['what']}" + (f" -> {f['file']}" if "file" in f else ""))
        if f.get("stderr"):
            print("  " + f["stderr"].strip().replace("\n", "\n  "))
    if args.json:
        Path(args.json).write_text(json.dumps({"stats": total, "findings": findings}, indent=1))
    return 1 if findings else 0
