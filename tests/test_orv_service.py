"""The decoder on files it did not write, as a service runs it: a finite pixel
limit by default, bounded memory, honest errors, and no stall after fork."""
from __future__ import annotations

import math
import os
import struct
import subprocess
import sys
import textwrap
import zlib

import numpy as np
import orv_rans
import pytest

import orv
from orv import codec, stack
from orv import container as fmt
from orv.numcodecs_codec import Orv

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
# the sanitizers' runtime keeps freed blocks in quarantine and forks slowly
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def _zero_image(h: int, w: int, channels: int = 1) -> bytes:
    """A shard-coded all-zero image of any size in about 70 bytes (pixel CRC 0)."""
    n = 1 if channels == 1 else channels  # one shard per plane (no gradient bounds)
    head = fmt.pack_header(fmt.Header(channels, h, w, 1, (), b"", (0,) * channels, 0))
    tables = fmt.deflate(bytes([3] * n) + fmt.varints([h * w] * n))
    return head + fmt.section(tables) + fmt.section(b"") + fmt.section(b"")


def _empty_bitpair(h: int, w: int) -> bytes:
    """A bit-pair gray image whose stream holds no byte at all."""
    head = fmt.pack_header(fmt.Header(1, h, w, 1, (), b"", (1,), 0))
    levels = np.zeros((4, 64, 4), np.uint8)
    levels[..., 0] = 24  # symbol 0 takes 4093 of 4096
    tables = bytes([0]) + fmt.deflate(levels.tobytes())
    return head + fmt.section(tables) + fmt.section(bytes(20))


def _stack(lead: tuple[int, ...], h: int, w: int, files: list[bytes]) -> bytes:
    head = struct.pack("<8sBBBBII", fmt.MAGIC, 2, 1, len(lead), 0, w, h)
    head += struct.pack(f"<{len(lead)}I", *lead) + fmt.varints([len(f) for f in files])
    return b"".join([head, struct.pack("<I", zlib.crc32(head)), *files])


BOMBS = {
    # (file, the refusal expected from the default limit)
    "zero RGBA 16384^2": (_zero_image(16384, 16384, 4), "DecompressionBombError"),
    "bit-pair 9000^2, empty stream": (_empty_bitpair(9000, 9000), "too short"),
    "24 gray images of 16384^2": (_stack((24,), 16384, 16384, [_zero_image(16384, 16384)] * 24),
                                  "DecompressionBombError"),
    "stack of 0 x (2^32-1)^3 images": (_stack((0, 2**32 - 1, 2**32 - 1, 2**32 - 1), 16, 16, []),
                                       "too large"),
    "stack lying about its images": (_stack((4,), 16, 16, [_zero_image(8000, 8000)] * 4),
                                     "stack header says"),
}


def test_bombs_are_refused_before_allocating():
    """Each crafted file is refused with a FormatError, under an address-space
    limit far below what it claims, in a child process."""
    script = textwrap.dedent("""
        import pickle, re, resource, sys
        import numpy as np, orv
        bombs = pickle.load(sys.stdin.buffer)
        orv.decode(orv.encode(np.zeros((64, 64, 3), np.uint8)))  # starts the pool first
        size = int(re.search(r"VmSize:\\s+(\\d+)", open("/proc/self/status").read()).group(1))
        limit = size * 1024 + (256 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        for name, data in bombs.items():
            try:
                orv.decode(data)
                print(name, "| decoded")
            except BaseException as e:
                print(name, "|", type(e).__name__, isinstance(e, orv.FormatError), e)
    """)
    import pickle

    data = pickle.dumps({k: v[0] for k, v in BOMBS.items()})
    out = subprocess.run([sys.executable, "-c", script], input=data, capture_output=True,
                         env=ENV, timeout=300)
    assert out.returncode == 0, out.stderr.decode()
    lines = dict(line.split(" | ", 1) for line in out.stdout.decode().splitlines())
    for name, (_, expected) in BOMBS.items():
        assert " True " in lines[name] and expected in lines[name], (name, lines[name])


@pytest.fixture
def small_limit(monkeypatch):
    monkeypatch.setattr(orv._limits, "MAX_IMAGE_PIXELS", 10)


def _stack_of(n: int, h: int, w: int) -> bytes:
    return stack.encode(np.zeros((n, h, w), np.uint8))


@pytest.mark.parametrize("decode", [
    orv.decode, codec.decode_single, stack.decode, lambda d: Orv().decode(d),
    lambda d, **kw: stack.decode(d, **kw)], ids=["decode", "single", "stack", "codec", "kw"])
def test_default_limit_warns_then_refuses(small_limit, decode):
    with pytest.warns(orv.DecompressionBombWarning):
        assert decode(orv.encode(np.zeros((4, 4), np.uint8))).shape == (4, 4)
    with pytest.raises(orv.DecompressionBombError, match="MAX_IMAGE_PIXELS"):
        decode(orv.encode(np.zeros((5, 5), np.uint8)))


def test_limit_settings(small_limit, tmp_path):
    big = orv.encode(np.zeros((5, 5), np.uint8))
    assert orv.decode(big, max_pixels=25).shape == (5, 5)       # per call
    assert orv.decode(big, max_pixels=math.inf).shape == (5, 5)
    with pytest.raises(orv.FormatError, match="max_pixels=24"):
        orv.decode(big, max_pixels=24)
    # a stack's limit is the total of its images
    with pytest.raises(orv.DecompressionBombError, match="stack of 30 pixels"):
        orv.decode(_stack_of(3, 2, 5))
    assert orv.decode(_stack_of(3, 2, 5), max_pixels=30).shape == (3, 2, 5)
    codec_ = Orv(max_pixels=25)
    assert codec_.decode(big).shape == (5, 5)
    import numcodecs
    assert numcodecs.get_codec(codec_.get_config()).max_pixels == 25
    assert "max_pixels" not in Orv().get_config()
    orv.MAX_IMAGE_PIXELS = None                                   # globally, like Pillow
    assert orv.decode(big).shape == (5, 5)
    orv.MAX_IMAGE_PIXELS = 12
    assert orv._limits.MAX_IMAGE_PIXELS == 12
    with pytest.raises(ValueError):
        orv.MAX_IMAGE_PIXELS = -1
    src = tmp_path / "big.orv"
    src.write_bytes(big)
    cli = [sys.executable, "-m", "orv", "decode", str(src)]
    env = dict(ENV, PYTHONWARNINGS="ignore")
    refused = subprocess.run(cli + [str(tmp_path / "a.png"), "--max-pixels", "24"],
                             capture_output=True, text=True, env=env)
    assert refused.returncode == 1 and "max_pixels=24" in refused.stderr
    assert "Traceback" not in refused.stderr
    ok = subprocess.run(cli + [str(tmp_path / "b.png"), "--max-pixels", "0"], env=env)
    assert ok.returncode == 0 and (tmp_path / "b.png").exists()


def _panic_class():
    import orv_rans

    try:
        orv_rans.reconstruct_2d_channels(2, 2, np.zeros((1, 1), np.uint8))
    except BaseException as e:  # noqa: B036
        return type(e)
    raise AssertionError("no fault")


@pytest.mark.parametrize("fault, expected", [
    (lambda P: P("the worker pool could not be created"), RuntimeError),
    (lambda P: P("index 7 is outside a table of 4"), orv.FormatError),
    (lambda P: MemoryError(), MemoryError),
])
def test_only_faults_of_the_file_are_format_errors(monkeypatch, fault, expected):
    data = orv.encode(np.arange(64, dtype=np.uint8).reshape(8, 8), coder="shard")
    exc = fault(_panic_class())

    def fail(*args):
        raise exc

    monkeypatch.setattr(orv_rans, "_rans_decode_own_lookups", fail)   # the decoder's shard decode
    with pytest.raises(expected) as info:
        orv.decode(data)
    assert isinstance(info.value, orv.FormatError) == (expected is orv.FormatError)


@pytest.mark.skipif(SANITIZED, reason="the sanitizers' runtime can deadlock in a child forked "
                    "while other threads allocate; the release build runs this test")
@pytest.mark.parametrize("side, forks", [(96, 20), (1100, 6)])
def test_fork_while_threads_encode(side, forks):
    """A fork while two threads encode leaves both processes running: the
    encoder uses no BLAS threads, only the module's fork-safe pool (with the
    template costs as a float matrix product, this stalled within 20 forks),
    and a large image's planes come from mappings whose list the child finds
    unlocked."""
    script = textwrap.dedent("""
        import os, sys, threading
        import numpy as np, orv
        rng = np.random.default_rng(1)
        side = int(sys.argv[2])
        img = np.cumsum(rng.integers(-3, 4, (side, side, 3)), axis=1).astype(np.uint8)
        stop = threading.Event()
        def work(effort):
            while not stop.is_set():
                orv.encode(img, effort=effort)
        threads = [threading.Thread(target=work, args=(e,)) for e in (1, 3)]
        for t in threads:
            t.start()
        # small images: the threads spend much of their time choosing
        # tables, where a BLAS product once ran
        for _ in range(int(sys.argv[1])):
            pid = os.fork()
            if pid == 0:
                ok = (orv.decode(orv.encode(img)) == img).all()
                os._exit(0 if ok else 1)
            assert os.waitpid(pid, 0)[1] == 0
        stop.set()
        for t in threads:
            t.join()
        print("ok")
    """)
    out = subprocess.run([sys.executable, "-c", script, str(forks), str(side)], capture_output=True,
                         text=True, env=ENV, timeout=300)
    assert out.returncode == 0 and out.stdout.strip() == "ok", out.stderr


def test_codec_path_imports_nothing():
    """Encoding and decoding at every level import no module after `import orv`:
    a process forked while another thread is inside an import waits for ever
    when it imports the same module (a lazy import of zstd hung the test above)."""
    script = textwrap.dedent("""
        import sys
        import numpy as np, orv
        rng = np.random.default_rng(1)
        imgs = [np.cumsum(rng.integers(-3, 4, shape), axis=1).astype(np.uint8)
                for shape in ((64, 64), (64, 64, 3), (64, 64, 4))]
        imgs.append(np.tile(np.arange(4, dtype=np.uint8) * 60, (64, 16)))
        before = set(sys.modules)
        for img in imgs:
            for effort in range(1, 6):
                assert (orv.decode(orv.encode(img, effort=effort)) == img).all()
        print(sorted(set(sys.modules) - before))
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         env=ENV, timeout=300)
    assert out.returncode == 0 and out.stdout.strip() == "[]", out.stdout + out.stderr


@pytest.mark.skipif(SANITIZED, reason="the sanitizers' allocator keeps freed memory")
@pytest.mark.parametrize("channels", [1, 3, 4])
@pytest.mark.parametrize("coder", ["shard", "bitpair"])
def test_decode_peak_memory(channels, coder, width=2048, bound=2.1):
    """The resident high-water mark of a decode rises by at most about twice
    the decoded image (allocations mapped one by one, so freed blocks count
    only while they live). The image is large enough (8 MP) that the fixed
    costs of a call, such as the private copy of the context tables (about
    256 KB), stay below the margin, also for its two strips decoded side by
    side, each with its own."""
    script = textwrap.dedent("""
        import re, sys
        import numpy as np, orv
        h, w, ch, coder = 4096, int(sys.argv[3]), int(sys.argv[1]), sys.argv[2]
        y, x = np.mgrid[:h, :w]
        img = ((x * 3 + y * 5) % 251 + (x * y) % 7).astype(np.uint8)
        img = img if ch == 1 else np.dstack([img, img // 2, 255 - img, img | 128][:ch])
        data = orv.encode(img, coder=coder)
        orv.decode(data)
        def status(k):
            return int(re.search(k + r":\\s+(\\d+)", open("/proc/self/status").read()).group(1)) << 10
        open("/proc/self/clear_refs", "w").write("5")
        base = status("VmRSS")
        out = orv.decode(data)
        print((status("VmHWM") - base) / out.nbytes)
    """)
    env = dict(ENV, MALLOC_MMAP_THRESHOLD_="65536")
    out = subprocess.run([sys.executable, "-c", script, str(channels), coder, str(width)],
                         capture_output=True, text=True, env=env, timeout=300)
    assert out.returncode == 0, out.stderr
    assert float(out.stdout) <= bound


@pytest.mark.skipif(SANITIZED, reason="the sanitizers' allocator keeps freed memory")
def test_decode_peak_memory_of_four_strips():
    """A 16 MP image is four strips, which go into the result as each is
    decoded: about 1.3x to 1.5x the image, where joining them at the end
    holds every strip and the result at once (2x)."""
    test_decode_peak_memory(1, "shard", width=4096, bound=1.7)
