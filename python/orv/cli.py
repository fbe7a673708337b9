"""The `orv` command line."""
from __future__ import annotations

import argparse
import json
import os
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from . import codec
from .errors import FormatError

_READABLE = {".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".webp", ".ppm", ".pgm", ".pnm",
             ".pbm", ".gif", ".tga", ".qoi"}


class Progress:
    """A one-line progress bar on standard error (only when it is a terminal,
    unless forced)."""

    def __init__(self, total: int, label: str, enabled: bool | None = None):
        self.total, self.done, self.label = total, 0, label
        self.enabled = sys.stderr.isatty() if enabled is None else enabled
        self.lock = threading.Lock()
        self.start = time.perf_counter()

    def step(self) -> None:
        with self.lock:
            self.done += 1
            if self.enabled:
                width = 30
                fill = width * self.done // max(self.total, 1)
                rate = self.done / max(time.perf_counter() - self.start, 1e-9)
                sys.stderr.write(f"\r{self.label} [{'#' * fill}{'.' * (width - fill)}] "
                                 f"{self.done}/{self.total} {rate:.1f} files/s")
                if self.done == self.total:
                    sys.stderr.write("\n")
                sys.stderr.flush()


def _read_any(path: Path):
    """Pixels of any image Pillow reads (or of an .orv file)."""
    from PIL import Image

    from .plugin import to_array

    with Image.open(path) as im:
        return to_array(im)


def _encode_file(src: Path, dst: Path, coder: str, effort: int = 1) -> tuple[int, int]:
    img = _read_any(src)
    data = codec.encode(img, coder=coder, effort=effort)
    dst.parent.mkdir(parents=True, exist_ok=True)
    dst.write_bytes(data)
    return src.stat().st_size, len(data)


def _decode_file(src: Path, dst: Path, coder: str | None = None, effort: int = 1) -> tuple[int, int]:
    from PIL import Image

    img = codec.decode_single(src.read_bytes())
    dst.parent.mkdir(parents=True, exist_ok=True)
    suffix = dst.suffix.lower()
    options = {}
    if suffix == ".webp":
        options["lossless"] = True  # Pillow writes lossy WebP unless asked
    elif suffix in (".jpg", ".jpeg", ".jpe"):
        print(f"orv: warning: {dst} is JPEG, which does not keep every pixel value",
              file=sys.stderr)
        options["quality"] = 95
    Image.fromarray(img).save(dst, **options)
    return src.stat().st_size, dst.stat().st_size


def _convert(args, work, pick, new_suffix) -> int:
    src, dst = Path(args.input), Path(args.output)
    if not src.is_dir():
        if dst.is_dir():
            dst = dst / (src.stem + new_suffix)
        a, b = work(src, dst, args.coder, args.effort)
        print(f"{src} ({a} bytes) -> {dst} ({b} bytes)")
        return 0
    files = sorted(p for p in src.rglob("*") if p.is_file() and pick(p))
    if not files:
        print(f"orv: no files to convert in {src}", file=sys.stderr)
        return 1
    jobs = [(f, (dst / f.relative_to(src)).with_suffix(new_suffix)) for f in files]
    bar = Progress(len(jobs), "converting", True if args.progress else None)
    failures = []

    def one(job):
        s, d = job
        try:
            return work(s, d, args.coder, args.effort)
        except (OSError, ValueError) as e:
            failures.append(f"{s}: {e}")
            return (0, 0)
        finally:
            bar.step()

    with ThreadPoolExecutor(args.jobs or os.cpu_count() or 1) as ex:
        sizes = list(ex.map(one, jobs))
    total_in = sum(a for a, _ in sizes)
    total_out = sum(b for _, b in sizes)
    print(f"{len(jobs) - len(failures)} of {len(jobs)} files converted: "
          f"{total_in} bytes -> {total_out} bytes")
    for f in failures:
        print(f"orv: {f}", file=sys.stderr)
    return 1 if failures else 0


def cmd_encode(args) -> int:
    return _convert(args, _encode_file, lambda p: p.suffix.lower() in _READABLE, ".orv")


def cmd_decode(args) -> int:
    suffix = "." + args.format.lower().lstrip(".")
    if not Path(args.input).is_dir():
        suffix = Path(args.output).suffix or suffix
    return _convert(args, _decode_file, lambda p: p.suffix.lower() == ".orv", suffix)


def cmd_info(args) -> int:
    status = 0
    for name in args.files:
        try:
            meta = codec.info(Path(name).read_bytes())
        except (OSError, FormatError) as e:
            print(f"{name}: error: {e}", file=sys.stderr)
            status = 1
            continue
        if args.json:
            print(json.dumps({"file": name, **meta}))
            continue
        print(f"{name}: orv version {meta['version']}, {meta['width']} x {meta['height']} "
              f"{meta['mode']}, {meta['size']} bytes, {meta['bits_per_pixel']:.3f} bits/pixel")
        print(f"  context model {meta['model']}, {meta['shards_per_plane']} shards per plane, "
              f"pixel CRC-32 {meta['pixel_crc32']}")
        print("  coders: " + ", ".join(f"{k} {v}" for k, v in meta["coders"].items()))
        for sec, n in meta["sections"].items():
            print(f"  {sec:28s} {n:10d} bytes")
    return status


def cmd_bench(args) -> int:
    from . import bench

    paths = bench.expand_paths(args.paths) if args.paths else bench.default_paths()
    if not paths:
        print("orv bench: no images given and the default corpus is not installed "
              "(Debian's libjxl-testdata, scikit-image)", file=sys.stderr)
        return 1
    images = bench.load_images(paths)
    print(f"orv_rans shard decoder on this CPU: {bench.coder_path()}")
    print(f"corpus: {len(images)} images, {sum(i.pixel_count for i in images) / 1e6:.2f} MP")
    for im in images:
        print(f"  {im.name:40s} {str(im.pixels.shape):16s} sha256 {im.sha256}")
    codecs = bench.orv_codecs() + ([] if args.no_peers else bench.peers())
    bar = Progress(len(images) * len(codecs), "measuring")
    results = bench.run(images, codecs, repeat=args.repeat, progress=lambda _: bar.step())
    print(f"single process, medians of {args.repeat} runs; MP/s over the whole corpus")
    print(bench.table(results))
    if args.plot:
        bench.plot(results, args.plot)
        print(f"plot written to {args.plot}")
    return 0


def cmd_demo(args) -> int:
    from . import demo

    return demo.main()


def cmd_zarr(args) -> int:
    try:
        from . import zarr_convert
    except ImportError as e:  # pragma: no cover - depends on the installed extras
        print(f"orv zarr needs zarr and numcodecs (pip install 'orv_rans[zarr]'): {e}",
              file=sys.stderr)
        return 1
    return zarr_convert.main_args(args)


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="orv", description="orv lossless image codec")
    sub = p.add_subparsers(dest="command", required=True)
    for name, helptext in (("encode", "encode an image (or a directory of images) to .orv"),
                           ("decode", "decode an .orv file (or a directory) to any Pillow format")):
        s = sub.add_parser(name, help=helptext)
        s.add_argument("input")
        s.add_argument("output")
        s.add_argument("-j", "--jobs", type=int, default=0, help="files converted at once")
        s.add_argument("--progress", action="store_true", help="show the progress bar also "
                       "when standard error is not a terminal")
        if name == "encode":
            s.add_argument("--coder", choices=codec.CODERS, default="auto")
            s.add_argument("--effort", type=int, choices=(1, 2), default=1,
                           help="2 fits the shard coder's contexts to each image: "
                           "smaller, slower to encode, as fast to decode")
        else:
            s.add_argument("--format", default="png",
                           help="output format for directories (default png)")
            s.set_defaults(coder=None, effort=1)
    s = sub.add_parser("info", help="show the header and sections of .orv files")
    s.add_argument("files", nargs="+")
    s.add_argument("--json", action="store_true")
    s = sub.add_parser("bench", help="compare orv with other lossless codecs")
    s.add_argument("paths", nargs="*", help="image files or directories (default: the corpus)")
    s.add_argument("--repeat", type=int, default=3)
    s.add_argument("--plot", metavar="PNG", help="write a plot of speed against size")
    s.add_argument("--no-peers", action="store_true", help="measure orv only")
    sub.add_parser("demo", help="code the bundled photo and compare with PNG")
    s = sub.add_parser("zarr", help="convert a directory of images into a Zarr array coded "
                       "with orv (in parallel with Dask when it is installed)")
    s.add_argument("src", help="directory of images of one size and mode (searched recursively)")
    s.add_argument("out", help="the new Zarr array (a path, or a URL of a store)")
    s.add_argument("--chunk", type=int, default=1, help="images per chunk (default 1)")
    s.add_argument("--coder", choices=codec.CODERS, default="auto")
    s.add_argument("--effort", type=int, choices=(1, 2), default=1)
    s.add_argument("--overwrite", action="store_true", help="replace an existing array")
    s.add_argument("--scheduler", metavar="ADDRESS",
                   help="run on the Dask cluster of this scheduler (e.g. tcp://host:8786)")
    s.add_argument("--workers", type=int, default=0,
                   help="start a local Dask cluster of this many worker processes")
    s.add_argument("-j", "--jobs", type=int, default=0,
                   help="threads of the local scheduler (default: the processor count)")
    s.add_argument("--no-dask", action="store_true", help="use a thread pool, not Dask")
    s.add_argument("--progress", action="store_true", help="show the progress bar also "
                   "when standard error is not a terminal")
    return p


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    handler = {"encode": cmd_encode, "decode": cmd_decode, "info": cmd_info,
               "bench": cmd_bench, "demo": cmd_demo, "zarr": cmd_zarr}[args.command]
    try:
        return handler(args)
    except (FormatError, OSError, ValueError, TypeError) as e:
        print(f"orv: error: {e}", file=sys.stderr)
        return 1
