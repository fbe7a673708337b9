"""Benchmark of the image side of orv_rans against PNG, QOI and JPEG-LS.

Set-up, once, as root (nothing is downloaded at run time):
    sh bench/setup.sh
which installs Debian's libjxl-testdata (the 2268 x 1512 flower photo and the
500 px photo set) and, with pip, pillow (PNG), qoi, imagecodecs (JPEG-LS) and
scikit-image (whose bundled photos join the corpus).

Run:
    PYTHONPATH=build python bench/bench_image.py [--reps 3] [--shards 32]

Each worker count (1 and 2) runs in its own subprocess with RAYON_NUM_THREADS
set, measuring our functions and the peers on the same images in that run.
Figures are medians over the repetitions, summed over the images (MP/s is
total megapixels over total median time). The whole chains:
  encode: p1 -> p2 -> build_pdf_tables_from_shards -> rans_encode_shards_parallel
          -> pack_shard_payloads, compact_pdf_tables
  decode: expand_pdf_tables -> build_all_lookups -> rans_decode_shards_parallel
          -> reconstruct_shards_rgb (+ reconstruct_2d_channels for alpha) -> restore_channels
With --paths, one child with one worker times the image functions (p1_rgb,
p2_rgb, p1_gray, p2_gray, reconstruct_shards_rgb, and the same for a gray
image, whose chroma streams are zero) on every instruction-set path this CPU
runs (forced through the private hook), each repetition running the paths
back to back and timing the process's CPU time (one worker, so a shared
machine's other work does not count), and prints MP/s per path and the
ratios to the first column. --baseline PATH.so adds another build of the
module (for example one of main), loaded side by side in the same process
and run on every path too, so that before and after come from one run; the
ratios are then each path over the baseline's same path. Gray functions take
gray photos as they are and the green plane of colour ones.

Bits per pixel of ours: payload plus compacted tables. The chains need the
shard coder and the table functions; while those are not built, the chain
rows are reported as missing.
"""
from __future__ import annotations

import argparse
import io
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import contexts  # noqa: E402
import corpus  # noqa: E402

INITIAL_STATE = 1 << 31
EMPTY = np.zeros((0, 0), np.uint8)
NO_TEMPLATES = np.zeros((0, 256), np.uint64)


# ------------------------------------------------------------ our chains

def encode_image(o, img, K, tables):
    """Raw pixels to (payload, compacted tables, everything the decoder needs)."""
    h, w = img.shape[:2]
    n = h * w
    is_gray = img.ndim == 2
    has_alpha = not is_gray and img.shape[2] == 4
    colour = img if is_gray or not has_alpha else np.ascontiguousarray(img[..., :3])
    alpha = np.ascontiguousarray(img[..., 3]) if has_alpha else EMPTY
    if is_gray:
        r = o.p1_gray(h, w, colour, alpha, has_alpha, K, *tables)
        streams = [np.empty(n, np.uint8)]
        o.p2_gray(h, w, r[0], r[4], streams[0], *tables)
        totals, starts, hist, res = r[1], r[3], r[2], r[7]
    else:
        r = o.p1_rgb(h, w, colour, alpha, has_alpha, K, *tables)
        streams = [np.empty(n, np.uint8) for _ in range(3)]
        o.p2_rgb(h, w, r[0], r[1], r[2], r[7], *streams, *tables)
        totals, starts, hist, res = r[4], r[6], r[5], r[10]
    C = len(streams)
    parts = streams + ([res[3].reshape(-1)] if has_alpha else [])
    data = np.concatenate(parts)
    offsets = (starts[:C].astype(np.int64) + (np.arange(C) * n)[:, None]).reshape(-1)
    lengths = totals[:C].reshape(-1)
    # a shard's alphabet ends after its largest residual (phase one counted them)
    present = hist[:C].reshape(C * K, 256) > 0
    widths = np.where(present.any(axis=1), 256 - np.argmax(present[:, ::-1], axis=1), 0)
    if has_alpha:
        offsets = np.append(offsets, C * n)
        lengths = np.append(lengths, n)
        widths = np.append(widths, int(res[3].max()) + 1 if n else 0)
    offsets = offsets.astype(np.uint32)
    lengths = lengths.astype(np.uint32)
    widths = widths.astype(np.uint16)
    cum, freqs, modes = o.build_pdf_tables_from_shards(data, offsets, lengths, widths, NO_TEMPLATES, True)
    states, bitstreams, bs_offsets, bs_lengths = o.rans_encode_shards_parallel(
        data, offsets, lengths, cum, freqs, INITIAL_STATE)
    sizes = bs_lengths.astype(np.int64) + 36
    write_offsets = (np.cumsum(sizes) - sizes).astype(np.uint32)
    payload = np.zeros(int(sizes.sum()), np.uint8)
    o.pack_shard_payloads(states, bs_lengths, bs_offsets, bitstreams, payload, write_offsets)
    stored = o.compact_pdf_tables(freqs, widths, modes)
    return dict(h=h, w=w, C=C, gray=is_gray, alpha=has_alpha, starts=starts, lengths=lengths,
                widths=widths, modes=modes, payload=payload, tables=stored)


def decode_image(o, enc, tables):
    h, w, C = enc["h"], enc["w"], enc["C"]
    n = h * w
    freqs = o.expand_pdf_tables(enc["tables"], enc["widths"], enc["modes"], NO_TEMPLATES)
    cum = np.zeros((len(freqs), 257), np.uint64)
    np.cumsum(freqs, axis=1, out=cum[:, 1:])
    lookups = o.build_all_lookups(cum[None]).reshape(len(freqs), 4096)
    decoded, _ = o.rans_decode_shards_parallel(enc["payload"], enc["lengths"], cum, freqs, lookups)
    if enc["gray"]:
        z = np.zeros(n, np.uint8)  # the chroma shards of a gray image are empty
        g, rd, bd = o.reconstruct_shards_rgb(h, w, decoded[:n], z, z, *enc["starts"], *tables)
    else:
        g, rd, bd = o.reconstruct_shards_rgb(h, w, decoded[:n], decoded[n:2 * n], decoded[2 * n:3 * n],
                                             *enc["starts"], *tables)
    a = o.reconstruct_2d_channels(h, w, decoded[C * n:(C + 1) * n].reshape(h, w)) if enc["alpha"] else EMPTY
    return o.restore_channels(g, rd, bd, a, enc["alpha"], enc["gray"], True)


def coder_available(o) -> bool:
    try:
        o.build_pdf_tables_from_shards(np.zeros(0, np.uint8), np.zeros(0, np.uint32), np.zeros(0, np.uint32),
                                       np.zeros(0, np.uint16), NO_TEMPLATES, True)
        o.rans_encode_shards_parallel(np.zeros(0, np.uint8), np.zeros(0, np.uint32), np.zeros(0, np.uint32),
                                      np.zeros((0, 257), np.uint64), np.zeros((0, 256), np.uint64), INITIAL_STATE)
        o.rans_decode_shards_parallel(np.zeros(0, np.uint8), np.zeros(0, np.uint32), np.zeros((0, 257), np.uint64),
                                      np.zeros((0, 256), np.uint64), np.zeros((0, 4096), np.uint8))
        o.compact_pdf_tables(np.zeros((0, 256), np.uint64), np.zeros(0, np.uint16), np.zeros(0, np.uint8))
    except NotImplementedError:
        return False
    return True


# ------------------------------------------------------------------ peers

def png_encode(img):
    from PIL import Image
    buf = io.BytesIO()
    Image.fromarray(img).save(buf, "PNG")  # Pillow's defaults
    return buf.getvalue()


def png_decode(data):
    from PIL import Image
    with Image.open(io.BytesIO(data)) as im:
        return np.asarray(im)


def qoi_encode(img):
    import qoi
    return qoi.encode(img) if img.ndim == 3 else None  # QOI codes RGB and RGBA only


def qoi_decode(data):
    import qoi
    return qoi.decode(data)


def jpegls_encode(img):
    import imagecodecs
    return imagecodecs.jpegls_encode(img)  # lossless by default


def jpegls_decode(data):
    import imagecodecs
    return imagecodecs.jpegls_decode(data)


# ------------------------------------------------------------- measuring

def median_time(fn, reps):
    times, result = [], None
    for _ in range(reps):
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times), result


def child(reps, n_shards, limit):
    import orv_rans as o

    tables = contexts.make_context_tables(n_shards)
    K = contexts.used_shards(n_shards)
    have_coder = coder_available(o)
    out = []
    for im in corpus.load_photos()[:limit]:
        img = im.pixels
        h, w = img.shape[:2]
        rec = {"name": im.name, "group": "gray" if img.ndim == 2 else "colour", "mp": h * w / 1e6, "t": {}, "bytes": {}}
        t, b = rec["t"], rec["bytes"]
        if img.ndim == 3:
            colour = np.ascontiguousarray(img[..., :3])
            t["p1_rgb"], r = median_time(lambda: o.p1_rgb(h, w, colour, EMPTY, False, K, *tables), reps)
            streams = [np.empty(h * w, np.uint8) for _ in range(3)]
            t["p2_rgb"], _ = median_time(
                lambda: o.p2_rgb(h, w, r[0], r[1], r[2], r[7], *streams, *tables), reps)
            t["reconstruct_shards_rgb"], planes = median_time(
                lambda: o.reconstruct_shards_rgb(h, w, *streams, *r[6], *tables), reps)
            t["restore_channels"], px = median_time(
                lambda: o.restore_channels(*planes, EMPTY, False, False, True), reps)
            assert np.array_equal(px, colour), im.name
            del r, streams, planes, px
        if have_coder:
            t["encode chain"], enc = median_time(lambda: encode_image(o, img, K, tables), reps)
            t["decode chain"], px = median_time(lambda: decode_image(o, enc, tables), reps)
            want = img if img.ndim == 3 else np.repeat(img[..., None], 3, axis=2)
            assert np.array_equal(px, want), im.name
            b["ours"] = len(enc["payload"]) + len(enc["tables"])
        for peer, enc_fn, dec_fn in (("PNG", png_encode, png_decode), ("QOI", qoi_encode, qoi_decode),
                                     ("JPEG-LS", jpegls_encode, jpegls_decode)):
            try:
                t[f"{peer} encode"], data = median_time(lambda: enc_fn(img), reps)
            except Exception:
                data = None
            if data is None:
                t.pop(f"{peer} encode", None)
                continue
            t[f"{peer} decode"], px = median_time(lambda: dec_fn(data), reps)
            assert np.array_equal(px, img), (peer, im.name)
            b[peer] = len(data)
        out.append(rec)
        print(f"  [{os.environ.get('RAYON_NUM_THREADS')} workers] {im.name}", file=sys.stderr, flush=True)
    json.dump({"coder": have_coder, "images": out}, sys.stdout)


# ------------------------------------------------- instruction-set paths

PATH_FUNCTIONS = ["p1_rgb", "p2_rgb", "p1_gray", "p2_gray", "reconstruct_shards_rgb", "reconstruct gray"]


def load_build(path):
    """Another build of the module, loaded under its own name beside ours."""
    import importlib.machinery
    import importlib.util

    loader = importlib.machinery.ExtensionFileLoader("orv_rans", str(path))
    spec = importlib.util.spec_from_file_location("orv_rans", str(path), loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def path_contenders(o, baseline):
    """(label, module, path) in column order: the baseline build on each path
    this CPU runs and it has (when given), then this build on each path."""
    paths = o._coder_simd_available()
    out = []
    if baseline:
        base = load_build(baseline)
        out = [("base:" + p, base, p) for p in base._coder_simd_available() if p in paths]
    return out + [(p, o, p) for p in paths]


def ratio_columns(labels):
    """(numerator, denominator) label pairs: each path of this build over the
    same path of the baseline (over the baseline's last path, where it does
    not have that one), else over the first column."""
    base = [label for label in labels if label.startswith("base:")]
    if base:
        return [(label, "base:" + label if "base:" + label in labels else base[-1])
                for label in labels if not label.startswith("base:")]
    return [(label, labels[0]) for label in labels[1:]]


def path_calls(o, img, K, tables):
    """The image functions on one photo, as name -> call, inputs prepared once."""
    calls = {}
    gray = img if img.ndim == 2 else np.ascontiguousarray(img[..., 1])
    h, w = gray.shape
    n = h * w
    if img.ndim == 3:
        rgb = np.ascontiguousarray(img[..., :3])
        r = o.p1_rgb(h, w, rgb, EMPTY, False, K, *tables)
        streams = [np.empty(n, np.uint8) for _ in range(3)]
        o.p2_rgb(h, w, r[0], r[1], r[2], r[7], *streams, *tables)
        calls["p1_rgb"] = lambda m: m.p1_rgb(h, w, rgb, EMPTY, False, K, *tables)
        calls["p2_rgb"] = lambda m: m.p2_rgb(h, w, r[0], r[1], r[2], r[7], *streams, *tables)
        calls["reconstruct_shards_rgb"] = lambda m: m.reconstruct_shards_rgb(h, w, *streams, *r[6], *tables)
    g = o.p1_gray(h, w, gray, EMPTY, False, K, *tables)
    gs = np.empty(n, np.uint8)
    calls["p1_gray"] = lambda m: m.p1_gray(h, w, gray, EMPTY, False, K, *tables)
    calls["p2_gray"] = lambda m: m.p2_gray(h, w, g[0], g[4], gs, *tables)
    o.p2_gray(h, w, g[0], g[4], gs, *tables)
    zs, zoff = np.zeros(n, np.uint8), np.zeros(K, np.uint32)
    calls["reconstruct gray"] = lambda m: m.reconstruct_shards_rgb(h, w, gs, zs, zs, g[3][0], zoff, zoff, *tables)
    return calls


def paths_child(args):
    import orv_rans as o

    if args.tables == "model":
        from orv import model

        bounds = (2, 6, 14, 30)
        tables, K = model.luts(bounds), model.n_classes(bounds)
    else:
        tables, K = contexts.make_context_tables(args.shards), contexts.used_shards(args.shards)
    tables = tuple(np.ascontiguousarray(t) for t in tables)
    contenders = path_contenders(o, args.baseline)
    before = o._coder_simd()
    times = {(f, label): 0.0 for f in PATH_FUNCTIONS for label, _, _ in contenders}
    mp = dict.fromkeys(PATH_FUNCTIONS, 0.0)
    for im in corpus.load_photos()[:args.images]:
        img = im.pixels[..., :3] if im.pixels.ndim == 3 else im.pixels
        calls = path_calls(o, img, K, tables)
        for f, call in calls.items():
            samples = {label: [] for label, _, _ in contenders}
            for _ in range(args.reps):
                for label, module, path in contenders:
                    if path:
                        module._coder_simd(path)
                    t0 = time.process_time()  # CPU time: the machine may be shared
                    call(module)
                    samples[label].append(time.process_time() - t0)
            for label in samples:
                times[(f, label)] += statistics.median(samples[label])
            mp[f] += img.shape[0] * img.shape[1] / 1e6
        print(f"  [paths] {im.name}", file=sys.stderr, flush=True)
    o._coder_simd(before)
    labels = [label for label, _, _ in contenders]
    print(f"\nimage functions per instruction-set path, 1 worker, {args.tables} tables, median of {args.reps}")
    print(f"  {'MP/s':24s}" + "".join(f"{label:>12s}" for label in labels)
          + "".join(f" {a + '/' + b:>23s}" for a, b in ratio_columns(labels)))
    for f in PATH_FUNCTIONS:
        if not mp[f]:
            continue
        rate = {label: mp[f] / times[(f, label)] for label in labels}
        print(f"  {f:24s}" + "".join(f"{rate[label]:12.1f}" for label in labels)
              + "".join(f"{rate[a] / rate[b]:23.2f}x" for a, b in ratio_columns(labels)))


# --------------------------------------------------------------- report

FUNCTIONS = ["p1_rgb", "p2_rgb", "reconstruct_shards_rgb", "restore_channels", "encode chain", "decode chain",
             "PNG encode", "PNG decode", "QOI encode", "QOI decode", "JPEG-LS encode", "JPEG-LS decode"]


def throughput(images, key):
    """MP/s over the images that have the measurement, and their megapixels."""
    rows = [im for im in images if key in im["t"]]
    if not rows:
        return None, 0.0
    mp = sum(im["mp"] for im in rows)
    return mp / sum(im["t"][key] for im in rows), mp


def report(runs, args):
    first = runs[1]
    print(f"\nimage side, {len(first['images'])} photos, {args.shards} shards per channel "
          f"({contexts.used_shards(args.shards)} used), median of {args.reps}")
    if not first["coder"]:
        print("(shard coder or table functions not built: chain rows and our bits per pixel are missing)")
    for group in ("colour", "gray"):
        imgs = {n: [im for im in runs[n]["images"] if im["group"] == group] for n in runs}
        if not imgs[1]:
            continue
        mp = sum(im["mp"] for im in imgs[1])
        print(f"\n{group} images: {len(imgs[1])}, {mp:.2f} MP")
        print(f"  {'MP/s':24s} {'1 worker':>10s} {'2 workers':>10s}")
        for key in FUNCTIONS:
            v = [throughput(imgs[n], key)[0] for n in (1, 2)]
            if v[0] is None:
                continue
            print(f"  {key:24s} {v[0]:10.1f} {v[1]:10.1f}")
        print(f"  {'speed ratios (same run)':34s} {'1 worker':>9s} {'2 workers':>9s}")
        for ours, peer in (("encode chain", "PNG encode"), ("decode chain", "PNG decode"),
                           ("encode chain", "QOI encode"), ("decode chain", "QOI decode"),
                           ("encode chain", "JPEG-LS encode"), ("decode chain", "JPEG-LS decode")):
            vals = []
            for n in (1, 2):
                a, b = throughput(imgs[n], ours)[0], throughput(imgs[n], peer)[0]
                vals.append(a / b if a and b else None)
            if vals[0] is not None:
                print(f"  {ours + ' / ' + peer:34s}" + "".join(f"{v:9.2f}x" for v in vals))
        print(f"  {'bits per pixel':24s}")
        for codec in ("ours", "PNG", "QOI", "JPEG-LS"):
            rows = [im for im in imgs[1] if codec in im["bytes"]]
            if rows:
                bpp = 8 * sum(im["bytes"][codec] for im in rows) / (1e6 * sum(im["mp"] for im in rows))
                extra = ""
                if codec != "ours" and all("ours" in im["bytes"] for im in rows):
                    ours = 8 * sum(im["bytes"]["ours"] for im in rows) / (1e6 * sum(im["mp"] for im in rows))
                    extra = f"   ours / {codec} = {ours / bpp:.3f}"
                print(f"    {codec:10s} {bpp:7.3f}{extra}")
    if args.per_image:
        print("\nper image (1 worker): bits per pixel")
        for im in runs[1]["images"]:
            print(f"  {im['name']:40s} " + " ".join(f"{k} {8 * v / (im['mp'] * 1e6):6.3f}"
                                                   for k, v in im["bytes"].items()))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--shards", type=int, default=32, help="shards per channel, 16 .. 64")
    ap.add_argument("--images", type=int, default=1000, help="use only the first N photos")
    ap.add_argument("--per-image", action="store_true")
    ap.add_argument("--paths", action="store_true", help="compare the instruction-set paths (1 worker)")
    ap.add_argument("--baseline", help="with --paths: another build's orv_rans .so as the first column")
    ap.add_argument("--tables", choices=["bench", "model"], default="bench",
                    help="with --paths: this benchmark's tables or the front end's default model")
    ap.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        child(args.reps, args.shards, args.images)
        return
    if args.paths:
        if os.environ.get("RAYON_NUM_THREADS") != "1":
            env = dict(os.environ, RAYON_NUM_THREADS="1")
            subprocess.run([sys.executable, *sys.argv], env=env, check=True)
            return
        paths_child(args)
        return
    runs = {}
    for n in (1, 2):
        env = dict(os.environ, RAYON_NUM_THREADS=str(n))
        cmd = [sys.executable, __file__, "--child", "--reps", str(args.reps), "--shards", str(args.shards),
               "--images", str(args.images)]
        done = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, check=True)
        runs[n] = json.loads(done.stdout)
    report(runs, args)


if __name__ == "__main__":
    main()
