"""Converting a directory of images into a Zarr array coded with orv.

``orv zarr SRC_DIR OUT.zarr`` (or ``convert(src, out)``) stacks the images
of a directory (found recursively, in sorted order of their relative paths)
into one uint8 array of shape (n, h, w), (n, h, w, 3) or (n, h, w, 4), with
``chunk`` images per chunk and orv as the chunks' codec. Every image must have
the same size and mode. The relative paths are stored in the array's
attributes (``orv.files``), so that index i of the array is the file
``files[i]``.

Every chunk is one task that reads its images, codes them and writes its own
chunk, so tasks never share a chunk and run in any order. They run on Dask
when Dask is installed: on a cluster given by its scheduler address or a
``distributed.Client``, on a local cluster of worker processes
(``workers=N``), or else on Dask's threaded scheduler; without Dask on a
thread pool. On a cluster, SRC_DIR and OUT.zarr must be paths that every
worker sees (a shared file system) or URLs of a store they can all reach.
"""
from __future__ import annotations

import os
import sys
import warnings
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import zarr

from . import files as _files
from .native import cpu_count
from .numcodecs_codec import zarr_serializer  # also registers the codec with Zarr


@dataclass
class Summary:
    images: int
    chunks: int
    shape: tuple[int, ...]
    source_bytes: int
    stored_bytes: int | None   # None when the store is not a local directory
    backend: str


def image_files(src: str | os.PathLike) -> list[Path]:
    """The image files under `src`, sorted by relative path."""
    root = Path(src)
    if not root.is_dir():
        raise NotADirectoryError(f"{root} is not a directory")
    return _files.image_files(root, orv=False)


def probe_shape(path: Path) -> tuple[int, ...]:
    """The array shape that `orv.imageio.from_pillow` gives for an image, read
    from its header only (deeper or unsupported modes are refused here)."""
    from .imageio import channels_of

    with _files.open_image(path, str(path)) as im:
        dtype = _files.wide_dtype(im)
        if dtype is not None:
            _files.refuse_wide(str(path), dtype, len(im.getbands()))
        try:
            ch = channels_of(im)
        except OSError as e:
            raise type(e)(f"{path}: {e}") from None
        if getattr(im, "n_frames", 1) > 1:
            raise ValueError(f"{path} has {im.n_frames} frames; the array holds one image "
                             "per file")
        w, h = im.size
    return (h, w) if ch == 1 else (h, w, ch)


def _describe(shape: tuple[int, ...]) -> str:
    mode = {2: "gray", 3: "RGB", 4: "RGBA"}[len(shape) if len(shape) == 2 else shape[2]]
    return f"{shape[1]} x {shape[0]} {mode}"


def _read_image(path: str, shape: tuple[int, ...]) -> np.ndarray:
    img = _files.load_image(path, frames=False).pixels
    if img.shape != shape:
        raise ValueError(f"{path} is {_describe(img.shape)}, the array holds "
                         f"{_describe(shape)} images")
    return img


def write_chunk(out: str, paths: list[str], start: int, shape: tuple[int, ...]) -> int:
    """One task: reads `paths`, writes them at [start:start+len(paths)] of the
    array `out` (exactly one chunk, or the last partial one) and returns the
    bytes read."""
    images = np.stack([_read_image(p, shape) for p in paths])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)   # Zarr's note on numcodecs codecs
        arr = zarr.open_array(out, mode="r+")
    arr[start:start + len(paths)] = images
    return sum(os.path.getsize(p) for p in paths)


def _have_dask() -> bool:
    try:
        import dask  # noqa: F401
    except ImportError:
        return False
    return True


def _store_size(out: str) -> int | None:
    root = Path(out)
    if "://" in out or not root.is_dir():
        return None
    return sum(p.stat().st_size for p in root.rglob("*") if p.is_file())


def convert(src: str | os.PathLike, out: str | os.PathLike, *, chunk: int = 1,
            coder: str | None = None, effort: int = 2, overwrite: bool = False,
            client=None, workers: int = 0, jobs: int = 0, use_dask: bool | None = None,
            progress=None) -> Summary:
    """Writes the images under `src` to a new Zarr array at `out` (see the module
    documentation). client: a ``distributed.Client`` or a scheduler address;
    workers: start a local Dask cluster of that many worker processes; jobs:
    threads of the local scheduler (default: the processor count); use_dask:
    False to run without Dask, None to use it when it is installed; progress:
    called once per finished chunk."""
    if chunk < 1:
        raise ValueError(f"chunk must be at least 1, not {chunk}")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)   # Zarr's note on numcodecs codecs
        serializer = zarr_serializer(coder, effort)
    files = image_files(src)
    if not files:
        raise ValueError(f"no images in {src}")
    shape = probe_shape(files[0])
    for f in files[1:]:
        s = probe_shape(f)
        if s != shape:
            raise ValueError(f"{f} is {_describe(s)}, {files[0]} is {_describe(shape)}: "
                             "a Zarr array holds images of one size and mode")
    out = os.fspath(out)
    root = Path(src)
    names = ["image", "y", "x"] + ([] if len(shape) == 2 else ["channel"])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        try:
            zarr.create_array(store=out, shape=(len(files),) + shape, chunks=(chunk,) + shape,
                              dtype="uint8", serializer=serializer, compressors=None,
                              fill_value=0, overwrite=overwrite, dimension_names=names,
                              attributes={"orv": {"files": [f.relative_to(root).as_posix()
                                                            for f in files]}})
        except zarr.errors.ContainsArrayError:
            raise FileExistsError(f"{out} already holds a Zarr array "
                                  "(overwrite=True / --overwrite replaces it)") from None
        except zarr.errors.ContainsGroupError:
            raise FileExistsError(f"{out} already holds a Zarr group") from None
    paths = [str(f.resolve()) for f in files]
    jobs_list = [(out, paths[i:i + chunk], i, shape) for i in range(0, len(paths), chunk)]
    step = progress or (lambda: None)

    if use_dask is None:
        use_dask = _have_dask()
    if (client is not None or workers) and not use_dask:
        raise ValueError("a Dask client or local cluster needs Dask "
                         "(pip install 'orv_rans[zarr]')")
    if client is not None or workers:
        read = _run_distributed(jobs_list, client, workers, step)
        backend = "dask.distributed"
    elif use_dask:
        read = _run_dask_threads(jobs_list, jobs, step)
        backend = "dask (threads)"
    else:
        with ThreadPoolExecutor(jobs or cpu_count()) as ex:
            read = []
            for n in ex.map(lambda j: write_chunk(*j), jobs_list):
                read.append(n)
                step()
        backend = "threads"
    return Summary(len(files), len(jobs_list), (len(files),) + shape, sum(read),
                   _store_size(out), backend)


def _run_dask_threads(jobs_list, jobs: int, step) -> list[int]:
    import dask
    from dask.callbacks import Callback

    tasks = [dask.delayed(write_chunk, pure=False)(*j) for j in jobs_list]

    class _Step(Callback):
        def _posttask(self, key, result, dsk, state, worker_id):
            if isinstance(key, str) and key.startswith("write_chunk"):
                step()

    with _Step():
        return list(dask.compute(*tasks, scheduler="threads",
                                 num_workers=jobs or cpu_count()))


def _run_distributed(jobs_list, client, workers: int, step) -> list[int]:
    from distributed import Client, LocalCluster, as_completed

    cluster = own = None
    try:
        if client is None:
            # one thread per worker process; the module's pool shares the cores out
            threads = max(1, cpu_count() // workers)
            cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                   dashboard_address=None,
                                   env={"RAYON_NUM_THREADS": str(threads)})
            client = own = Client(cluster)
        elif isinstance(client, str):
            client = own = Client(client)
        futures = client.map(write_chunk, *zip(*jobs_list), pure=False)
        for _ in as_completed(futures):
            step()
        return client.gather(futures)
    finally:
        if own is not None:
            own.close()
        if cluster is not None:
            cluster.close()


def main_args(args) -> int:
    """The `orv zarr` command (the parser lives in orv.cli)."""
    bar = None
    if args.progress or sys.stderr.isatty():
        found = image_files(args.src)
        total = -(-len(found) // args.chunk) if found else 0
        bar = _files.Progress(total, "chunks", True if args.progress else None)
    s = convert(args.src, args.out, chunk=args.chunk, coder=args.coder, effort=args.effort,
                overwrite=args.overwrite, client=args.scheduler, workers=args.workers,
                jobs=args.jobs, use_dask=False if args.no_dask else None,
                progress=bar.step if bar else None)
    stored = f", {s.stored_bytes} bytes stored" if s.stored_bytes is not None else ""
    print(f"{s.images} images -> {args.out}: array {s.shape} uint8 in {s.chunks} chunks "
          f"({s.backend}); {s.source_bytes} bytes read{stored}")
    return 0
