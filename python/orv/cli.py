"""The `orv` command line."""
from __future__ import annotations

import argparse
import json
import math
import os
import signal
import sys
import warnings
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path

from . import codec, files, stack
from .errors import FormatError
from .effort import DEFAULT_EFFORT, EFFORTS, LEVELS
from .native import cpu_count, get_backend_info, simd_path
from .output import Aborted, Outputs

STDIO = "-"
EXIT_CODES = """\
exit status:
  0    every file was converted (or shown)
  1    a file could not be read, coded or written, or was refused; nothing
       is written for it (in a directory, the other files are converted)
  2    the command line is wrong
  130  interrupted (Ctrl-C); 143 terminated. No partial file is left behind.

Outputs: an existing file is replaced only with -f/--force, an input never.
An output that ends in / or is an existing directory is a directory."""


class Terminated(BaseException):
    """SIGTERM, handled like Ctrl-C."""


def _on_sigterm(signum, frame):
    raise Terminated


@dataclass
class Job:
    src: Path | str     # a path, or "-" for standard input
    dst: Path | str     # a path, or "-" for standard output


def _name(p) -> str:
    return "standard input" if str(p) == STDIO else str(p)


def _read(src) -> bytes:
    if str(src) == STDIO:
        return sys.stdin.buffer.read()
    return Path(src).read_bytes()


def _say(args, msg: str, stream=None) -> None:
    if not args.quiet:
        print(msg, file=stream or sys.stdout)


def _warn(args, msg: str) -> None:
    if not args.quiet:
        print(f"orv: warning: {msg}", file=sys.stderr)


# ---------------------------------------------------------------- encode / decode

def _is_dir_target(output: str) -> bool:
    return output.endswith(("/", os.sep)) or Path(output).is_dir()


def _out_suffix(args, encoding: bool) -> str:
    if encoding:
        return files.ORV_SUFFIX
    files.format_for(name=args.format)        # refuses a format Pillow does not write
    return "." + args.format.lower().lstrip(".")


def _plan(args, encoding: bool) -> tuple[list[Job], bool]:
    """The jobs of a run and whether the input is a directory."""
    src, out = args.input, args.output
    suffix = _out_suffix(args, encoding)
    if src == STDIO:
        if out != STDIO and _is_dir_target(out):
            raise ValueError("give an output file name (or -) when the input is standard input")
        return [Job(STDIO, out if out == STDIO else Path(out))], False
    srcp = Path(src)
    if not srcp.exists():
        raise FileNotFoundError(f"{srcp}: no such file or directory")
    if not srcp.is_dir():
        if out == STDIO:
            return [Job(srcp, STDIO)], False
        dst = Path(out) / (srcp.stem + suffix) if _is_dir_target(out) else Path(out)
        return [Job(srcp, dst)], False
    if out == STDIO:
        raise ValueError(f"{srcp} is a directory; its files cannot go to standard output")
    outp = Path(out)
    if outp.exists() and not outp.is_dir():
        raise NotADirectoryError(f"{outp} is a file; the input {srcp} is a directory, so the "
                                 "output must be a directory too")
    found = files.image_files(srcp, orv=False) if encoding else [
        p for p in files.image_files(srcp) if p.suffix.lower() == files.ORV_SUFFIX]
    if not found:
        raise ValueError(f"no {'images' if encoding else '.orv files'} in {srcp}")
    return [Job(f, (outp / f.relative_to(srcp)).with_suffix(suffix)) for f in found], True


def _check_clashes(jobs: list[Job]) -> None:
    """Refuses a run in which two inputs would be written to one output."""
    by_dst: dict[str, list[Job]] = {}
    for j in jobs:
        by_dst.setdefault(os.path.normcase(os.path.abspath(j.dst)), []).append(j)
    clashes = [js for js in by_dst.values() if len(js) > 1]
    if clashes:
        lines = [f"{js[0].dst} <- " + ", ".join(str(j.src) for j in js) for js in clashes]
        raise ValueError("inputs that differ only in their suffix would be written to one "
                         "output; nothing was written (rename them, or convert them one by "
                         "one):\n  " + "\n  ".join(lines))


def _check_outputs(jobs: list[Job], outputs: Outputs) -> None:
    """Refuses the whole run before any work when an output may not be written."""
    taken, refused = [], []
    for j in jobs:
        if j.dst == STDIO:
            continue
        try:
            outputs.check(j.dst)
        except FileExistsError:
            taken.append(str(j.dst))
        except (OSError, ValueError) as e:
            refused.append(str(e))
    if refused:
        raise ValueError("; ".join(refused[:5]) + (" ..." if len(refused) > 5 else ""))
    if taken:
        shown = ", ".join(taken[:5]) + (f" and {len(taken) - 5} more" if len(taken) > 5 else "")
        raise FileExistsError(f"{shown} exist{'s' if len(taken) == 1 else ''} already "
                              "(-f/--force replaces existing files); nothing was written")


def _kept(meta: dict, frames: int) -> str:
    parts = [f"{frames} frames"] if frames > 1 else []
    parts += [f"{files.METADATA_NAMES[k]} ({len(v)} bytes)" for k, v in meta.items()]
    return ("; kept " + ", ".join(parts)) if parts else ""


def _encode_job(args, job: Job, outputs: Outputs) -> tuple[int, int, str]:
    raw = _read(job.src)
    img = files.load_image(raw, _name(job.src), first_frame=args.first_frame,
                           metadata=not args.strip_metadata)
    try:
        data = files.encode_loaded(img, coder=args.coder, effort=args.effort,
                                   metadata=not args.strip_metadata)
    except (TypeError, ValueError) as e:
        raise type(e)(f"{_name(job.src)}: {e}") from None
    outputs.write(job.dst, data)
    return len(raw), len(data), _kept({} if args.strip_metadata else img.metadata, img.frames)


def _decode_job(args, job: Job, outputs: Outputs) -> tuple[int, int, str]:
    raw = _read(job.src)
    try:
        limit = args.max_pixels
        dec = files.decode_file(raw, max_pixels=None if limit is None else limit or math.inf)
    except FormatError as e:
        raise FormatError(f"{_name(job.src)}: {e}") from None
    fmt = (files.format_for(name=args.format) if job.dst == STDIO
           else files.format_for(str(job.dst)))
    try:
        w = files.image_bytes(dec, fmt, allow_lossy=args.allow_lossy,
                              strip_metadata=args.strip_metadata)
    except ValueError as e:
        raise ValueError(f"{_name(job.dst) if job.dst != STDIO else fmt}: {e}") from None
    if w.lossy:
        _warn(args, f"{job.dst}: {w.lossy}; written as asked (--allow-lossy)")
    outputs.write(job.dst, w.data)
    return len(raw), len(w.data), _kept({} if args.strip_metadata else dec.metadata, dec.frames)


def _convert(args, encoding: bool) -> int:
    jobs, directory = _plan(args, encoding)
    if any(j.dst == STDIO for j in jobs) and sys.stdout.isatty():
        raise ValueError("refusing to write binary data to a terminal (redirect standard "
                         "output)")
    work = _encode_job if encoding else _decode_job
    outputs = Outputs(args.force, [j.src for j in jobs if j.src != STDIO])
    _check_clashes(jobs)
    _check_outputs(jobs, outputs)
    if not directory:
        job = jobs[0]
        try:
            a, b, kept = work(args, job, outputs)
        except BaseException:
            outputs.abort()
            raise
        line = f"{_name(job.src)} ({a} bytes) -> {_name(job.dst)} ({b} bytes)"
        if job.dst == STDIO:
            if args.verbose:
                print(line + kept, file=sys.stderr)
        else:
            _say(args, line + (kept if args.verbose else ""))
        return 0
    bar = files.Progress(len(jobs), "converting",
                         False if args.quiet else (True if args.progress else None))
    failures: list[str] = []

    def one(job: Job):
        try:
            a, b, kept = work(args, job, outputs)
            if args.verbose:
                print(f"{job.src} ({a} bytes) -> {job.dst} ({b} bytes){kept}", flush=True)
            return a, b
        except Aborted:
            return 0, 0
        except (OSError, ValueError, TypeError, MemoryError) as e:
            failures.append(str(e) if str(job.src) in str(e) else f"{job.src}: {e}")
            return 0, 0
        finally:
            bar.step()

    ex = ThreadPoolExecutor(args.jobs or os.cpu_count() or 1)
    try:
        sizes = list(ex.map(one, jobs))
    except BaseException:
        outputs.abort()
        ex.shutdown(wait=False, cancel_futures=True)
        raise
    ex.shutdown()
    _say(args, f"{len(jobs) - len(failures)} of {len(jobs)} files converted: "
               f"{sum(a for a, _ in sizes)} bytes -> {sum(b for _, b in sizes)} bytes")
    for f in failures:
        print(f"orv: error: {f}", file=sys.stderr)
    return 1 if failures else 0


def cmd_encode(args) -> int:
    return _convert(args, encoding=True)


def cmd_decode(args) -> int:
    return _convert(args, encoding=False)


# ---------------------------------------------------------------- info

def _info_stack(name: str, raw: bytes, args) -> None:
    hdr, parts = stack.split(raw)
    metas = []
    for i, f in enumerate(parts):
        try:
            metas.append(codec.info(f))
        except FormatError as e:
            raise FormatError(f"image {i} of the stack: {e}") from None
    mode = {1: "L", 3: "RGB", 4: "RGBA"}[hdr.channels]
    if args.json:
        print(json.dumps({"file": name, "version": stack.STACK_VERSION, "stack": True,
                          "shape": list(hdr.shape), "width": hdr.width, "height": hdr.height,
                          "mode": mode, "size": len(raw), "images": metas}))
        return
    pixels = hdr.count * hdr.width * hdr.height
    print(f"{name}: orv stack (format version {stack.STACK_VERSION}) of {hdr.count} images, "
          f"array {hdr.shape} uint8, {hdr.width} x {hdr.height} {mode} each, {len(raw)} bytes"
          + (f", {8 * len(raw) / pixels:.3f} bits/pixel" if pixels else ""))
    shown = metas if args.verbose else metas[:8]
    for i, m in enumerate(shown):
        print(f"  image {i}: {m['size']} bytes, coders "
              + ", ".join(f"{k} {v}" for k, v in m["coders"].items()))
    if len(shown) < len(metas):
        print(f"  ... {len(metas) - len(shown)} more (-v lists all)")
    print("  orv decode writes a stack to a .tif (pages) or .png (APNG frames) file")


def cmd_info(args) -> int:
    status = 0
    for name in args.files:
        shown = _name(name)
        try:
            raw = _read(name)
            if stack.is_stack(raw):
                _info_stack(shown, raw, args)
                continue
            meta = codec.info(raw)
        except (OSError, FormatError) as e:
            print(f"{shown}: error: {e}", file=sys.stderr)
            status = 1
            continue
        if args.json:
            print(json.dumps({"file": shown, **meta}))
            continue
        print(f"{shown}: orv version {meta['version']}, {meta['width']} x {meta['height']} "
              f"{meta['mode']}, {meta['size']} bytes, {meta['bits_per_pixel']:.3f} bits/pixel")
        model = _model_line(meta)
        if "strips" in meta:  # every strip is an image file of its own, with its own CRC
            print(f"  {len(meta['strips'])} strips of {', '.join(map(str, meta['strips']))} rows; "
                  f"the first: {model}")
        else:
            print(f"  {model}, pixel CRC-32 {meta['pixel_crc32']}")
        print("  coders: " + ", ".join(f"{k} {v}" for k, v in meta["coders"].items()))
        for sec, n in meta["sections"].items():
            print(f"  {sec:28s} {n:10d} bytes")
    return status


def _model_line(meta: dict) -> str:
    """How an image's samples were modelled: its context model, or for a
    version-4 image its transform (the index plane's model when it has one)."""
    parts = []
    if meta.get("transform", "none") != "none":
        parts.append(f"{meta['transform']} of {meta['palette_entries']} entries")
    if meta["model"]:
        parts.append(f"context model {meta['model']}, {meta['shards_per_plane']} shards per plane")
    elif "transform" in meta:
        parts.append("no context model")
    return "; ".join(parts)


# ---------------------------------------------------------------- bench, demo, zarr

def cmd_bench(args) -> int:
    from . import bench

    if args.plot:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            raise ValueError("--plot needs matplotlib (pip install 'orv_rans[bench]', or "
                             "bench/setup.sh)") from None
        plot_out = Outputs(args.force)
        plot_out.check(Path(args.plot))
    if args.paths:
        paths = bench.expand_paths(args.paths)
    else:
        paths = bench.default_paths()
        if not paths:
            raise ValueError("no images given, and the default corpus is not installed: "
                             "run bench/setup.sh (as root: Debian's libjxl-testdata and "
                             "scikit-image), or name image files or directories")
    skipped: list[str] = []
    images = bench.load_images(paths, skipped=skipped)
    for s in skipped:
        _warn(args, f"skipped {s}")
    if not images:
        raise ValueError("none of the given files is an image orv can measure")
    mp = sum(i.pixel_count for i in images) / 1e6
    _say(args, f"orv_rans vector path on this CPU: {simd_path()}")
    _say(args, f"corpus: {len(images)} images, {mp:.2f} MP")
    for im in images:
        _say(args, f"  {im.name:40s} {str(im.pixels.shape):16s} sha256 {im.sha256}")
    codecs = bench.orv_codecs()
    if not args.no_peers:
        found, missing = bench.peer_status()
        codecs += found
        for name, why in missing:
            _warn(args, f"peer {name} not measured: {why}")
    bar = files.Progress(len(images) * len(codecs), "measuring",
                         False if args.quiet else None)
    results = bench.run(images, codecs, repeat=args.repeat, progress=lambda _: bar.step())
    cpus = cpu_count()
    print(f"single process on {cpus} processor{'s' * (cpus > 1)}, medians of {args.repeat} "
          "runs; MP/s over the whole corpus")
    print(bench.table(results))
    if args.plot:
        plot_out.write(Path(args.plot), bench.plot_bytes(
            results, Path(args.plot).suffix.lstrip(".") or "png",
            note=f"{len(images)} images, {mp:.2f} MP, {cpus} processors"))
        _say(args, f"plot written to {args.plot}")
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


# ---------------------------------------------------------------- parser

def _version() -> str:
    import numpy
    import PIL

    from . import __version__

    return (f"orv {__version__} (orv_rans {get_backend_info().version}, "
            f"Pillow {PIL.__version__}, NumPy {numpy.__version__})")


class _Version(argparse.Action):
    def __init__(self, option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS,
                 help="show the versions of orv, the module, Pillow and NumPy, and exit"):
        super().__init__(option_strings, dest, nargs=0, default=default, help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        print(_version())
        parser.exit()


def _count(text: str, least: int = 1) -> int:
    """A whole number of at least `least` (argparse type)."""
    try:
        n = int(text)
    except ValueError:
        n = least - 1
    if n < least:
        raise argparse.ArgumentTypeError(f"expected a whole number of at least {least}, "
                                         f"not {text!r}")
    return n


def _jobs(text: str) -> int:
    return _count(text, 0)      # 0: the processor count


def _effort(text: str) -> int:
    """An effort level (argparse type)."""
    try:
        e = int(text)
    except ValueError:
        e = 0
    if e not in EFFORTS:
        raise argparse.ArgumentTypeError(f"expected a level {EFFORTS[0]}..{EFFORTS[-1]}, "
                                         f"not {text!r}")
    return e


def _effort_options(s, lead: str = "") -> None:
    levels = "; ".join(f"{e}: {LEVELS[e]}" for e in EFFORTS).replace("%", "%%")
    s.add_argument("-e", "--effort", type=_effort, default=DEFAULT_EFFORT, metavar="N",
                   help=f"{lead}encoder effort {EFFORTS[0]}..{EFFORTS[-1]} (default "
                   f"{DEFAULT_EFFORT}): higher levels try more and keep the smallest "
                   f"coding, so they never give larger files, but encode (4 and 5: also "
                   f"decode) more slowly. {levels}")
    s.add_argument("--coder", choices=codec.CODERS, default=None,
                   help="force the entropy coder of every plane at any effort: shard, "
                   "bitpair, or auto (per plane the smaller of the two); default: the "
                   "effort level decides")


def build_parser() -> argparse.ArgumentParser:
    # -q and -v are taken before or after the command
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("-q", "--quiet", action="store_true", default=argparse.SUPPRESS,
                        help="print errors only")
    common.add_argument("-v", "--verbose", action="store_true", default=argparse.SUPPRESS,
                        help="say more: every file, the frames and metadata kept")
    fmt = argparse.RawDescriptionHelpFormatter
    p = argparse.ArgumentParser(prog="orv", description="orv lossless image codec",
                                epilog=EXIT_CODES, formatter_class=fmt, parents=[common])
    p.add_argument("--version", action=_Version)
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND",
                         help="one of these (orv COMMAND --help tells more)")
    for name, helptext in (("encode", "encode an image (or a directory of images) to .orv"),
                           ("decode", "decode an .orv file (or a directory) to an image file")):
        s = sub.add_parser(name, help=helptext, description=helptext, epilog=EXIT_CODES,
                           formatter_class=fmt, parents=[common])
        s.add_argument("input", help="a file, a directory (converted recursively), or - "
                       "for standard input")
        s.add_argument("output", help="a file, a directory (an existing one or a name "
                       "ending in /), or - for standard output")
        s.add_argument("-f", "--force", action="store_true",
                       help="replace existing output files (an input is never replaced)")
        s.add_argument("-j", "--jobs", type=_jobs, default=0,
                       help="files converted at once (default: the processor count)")
        s.add_argument("--progress", action="store_true", help="show the progress bar also "
                       "when standard error is not a terminal")
        if name == "encode":
            _effort_options(s)
            s.add_argument("--strip-metadata", action="store_true",
                           help="code the pixels only, without the ICC profile, EXIF and XMP")
            s.add_argument("--first-frame", action="store_true",
                           help="code only the first frame of an animation or multi-page file "
                           "(default: all frames, as a stack)")
        else:
            s.add_argument("--format", default="png",
                           help="output format for a directory or standard output "
                           "(default png)")
            s.add_argument("--allow-lossy", action="store_true",
                           help="write formats that do not keep every pixel value (JPEG, "
                           "GIF, PDF; BMP and PPM without alpha)")
            s.add_argument("--strip-metadata", action="store_true",
                           help="write the pixels without the ICC profile, EXIF and XMP "
                           "(needed for formats that cannot hold them)")
            s.add_argument("--max-pixels", type=int, metavar="N",
                           help="refuse images of more than N pixels (0: no limit; default: "
                           "warn above orv.MAX_IMAGE_PIXELS = 89478485, refuse above twice that)")
    s = sub.add_parser("info", help="show the header and sections of .orv files",
                       parents=[common])
    s.add_argument("files", nargs="+", help=".orv files (or - for standard input)")
    s.add_argument("--json", action="store_true", help="one JSON object per file")
    s = sub.add_parser("bench", help="compare orv with other lossless codecs",
                       parents=[common])
    s.add_argument("paths", nargs="*", help="image files or directories (default: the corpus "
                   "that bench/setup.sh installs)")
    s.add_argument("--repeat", type=_count, default=3, help="runs per measurement; the median "
                   "counts (default 3)")
    s.add_argument("--plot", metavar="PNG", help="write a plot of size against speed")
    s.add_argument("-f", "--force", action="store_true", help="replace an existing plot file")
    s.add_argument("--no-peers", action="store_true", help="measure orv only")
    sub.add_parser("demo", help="code the bundled photo and compare with PNG", parents=[common])
    s = sub.add_parser("zarr", help="convert a directory of images into a Zarr array coded "
                       "with orv (in parallel with Dask when it is installed)", parents=[common])
    s.add_argument("src", help="directory of images of one size and mode (searched recursively)")
    s.add_argument("out", help="the new Zarr array (a path, or a URL of a store)")
    s.add_argument("--chunk", type=_count, default=1, help="images per chunk (default 1)")
    _effort_options(s, "as for encode: ")
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
    args.quiet = getattr(args, "quiet", False)
    args.verbose = getattr(args, "verbose", False) and not args.quiet
    warnings.filterwarnings("ignore", message=".*decompression bomb")  # orv checks sizes itself
    handler = {"encode": cmd_encode, "decode": cmd_decode, "info": cmd_info,
               "bench": cmd_bench, "demo": cmd_demo, "zarr": cmd_zarr}[args.command]
    try:
        previous = signal.signal(signal.SIGTERM, _on_sigterm)
    except ValueError:      # not the main thread: leave SIGTERM alone
        previous = None
    try:
        return handler(args)
    except KeyboardInterrupt:
        print("orv: interrupted", file=sys.stderr)
        return 130
    except Terminated:
        print("orv: terminated", file=sys.stderr)
        return 143
    except BrokenPipeError:
        # the reader of standard output went away: say nothing more there
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except (FormatError, OSError, ValueError, TypeError, MemoryError) as e:
        print(f"orv: error: {e}", file=sys.stderr)
        return 1
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)
