"""The `orv` command line never loses, cuts or changes a user's data, and says
what is wrong (run as a subprocess; several checks share one run where they can)."""
import os
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

import orv
from orv import files
from test_orv_cli import run_orv, sample


def ok(r):
    assert r.returncode == 0 and "Traceback" not in r.stderr, r.stderr
    return r


def refused(r, *words):
    assert r.returncode == 1 and "Traceback" not in r.stderr, (r.returncode, r.stderr)
    for w in words:
        assert w in r.stderr, (w, r.stderr)
    return r


def pixels(path):
    return files.load_image(Path(path).read_bytes(), str(path)).pixels


def test_directory_clashes_are_refused_before_anything_is_written(tmp_path):
    coll = tmp_path / "coll"
    coll.mkdir()
    for i, suffix in enumerate((".png", ".bmp", ".tif")):
        Image.fromarray(sample((6, 7, 3), seed=i)).save(coll / f"pic{suffix}")
    Image.fromarray(sample((6, 7, 3))).save(coll / "other.png")
    r = refused(run_orv("encode", coll, tmp_path / "out"), "pic.png", "pic.bmp", "pic.tif")
    assert "other.png" not in r.stderr and not (tmp_path / "out").exists()


def test_overwrite_rules(tmp_path):
    img = sample((8, 9, 3))
    Image.fromarray(img).save(tmp_path / "a.png")
    before = (tmp_path / "a.png").read_bytes()
    for extra in ((), ("-f",)):     # never over the input, not even with --force
        refused(run_orv("encode", tmp_path / "a.png", tmp_path / "a.png", *extra), "input")
    assert (tmp_path / "a.png").read_bytes() == before
    # a trailing slash or an existing directory means a directory
    ok(run_orv("encode", tmp_path / "a.png", f"{tmp_path / 'new'}{os.sep}"))
    np.testing.assert_array_equal(orv.read(tmp_path / "new" / "a.orv"), img)
    (tmp_path / "new" / "a.orv").write_bytes(b"keep me")
    refused(run_orv("encode", tmp_path / "a.png", tmp_path / "new"), "exists", "--force")
    assert (tmp_path / "new" / "a.orv").read_bytes() == b"keep me"
    ok(run_orv("encode", tmp_path / "a.png", tmp_path / "new", "--force"))
    # decoding a directory in place: the original PNG is not replaced without --force
    (tmp_path / "new" / "a.png").write_bytes(before)
    refused(run_orv("decode", tmp_path / "new", tmp_path / "new"), "a.png", "--force")
    r = refused(run_orv("decode", tmp_path / "new", tmp_path, "--format", "png"), "a.png")
    assert "nothing was written" in r.stderr
    assert (tmp_path / "a.png").read_bytes() == (tmp_path / "new" / "a.png").read_bytes() == before
    assert not list(tmp_path.rglob("*.part"))


def test_an_interrupted_run_exits_130_and_leaves_no_partial_file(tmp_path):
    src, out = tmp_path / "src", tmp_path / "out"
    src.mkdir()
    for i in range(40):
        Image.fromarray(sample((256, 320, 4), seed=i)).save(src / f"{i:02d}.png", compress_level=0)
    out.mkdir()
    (out / "39.orv").write_bytes(b"old")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(Path(orv.__file__).parent.parent), str(Path(orv_rans_dir())), os.environ.get(
            "PYTHONPATH", "")]))
    # the child takes interrupts whatever this run inherited: a shell ignores
    # them in the jobs it starts in the background, and an interpreter that
    # starts with them ignored never raises KeyboardInterrupt
    p = subprocess.Popen([sys.executable, "-m", "orv", "encode", str(src), str(out), "-f",
                          "-j", "1", "--effort", "2", "--progress"], env=env,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    seen = b""
    while b"converting" not in seen:    # the bar appears after the first file
        chunk = p.stderr.read1(256)
        assert chunk, (p.wait(), seen)
        seen += chunk
    p.send_signal(signal.SIGINT)
    _, err = p.communicate(timeout=120)
    err = (seen + err).decode()
    assert p.returncode == 130 and "interrupted" in err and "Traceback" not in err, err
    assert not [q for q in out.iterdir() if q.suffix != ".orv"]
    done = sorted(out.glob("*.orv"))
    assert len(done) < 40
    for q in done:
        if q.read_bytes() != b"old":
            np.testing.assert_array_equal(orv.read(q), pixels(src / (q.stem + ".png")))


def orv_rans_dir():
    import orv_rans
    return Path(orv_rans.__file__).parent


def test_frames_wide_samples_and_colour_keys(tmp_path):
    frames = [sample((10, 12, 3), seed=i) for i in range(4)]
    Image.fromarray(frames[0]).save(tmp_path / "pages.tif", save_all=True,
                                    append_images=[Image.fromarray(f) for f in frames[1:]])
    Image.new("I;16", (5, 4)).save(tmp_path / "deep.png")
    keyed = Image.fromarray(sample((6, 5, 3)))
    keyed.save(tmp_path / "keyed.png", transparency=tuple(int(v) for v in sample((6, 5, 3))[0, 0]))
    ok(run_orv("encode", tmp_path / "pages.tif", tmp_path / "pages.orv"))
    np.testing.assert_array_equal(orv.decode((tmp_path / "pages.orv").read_bytes()),
                                  np.stack(frames))
    r = ok(run_orv("info", tmp_path / "pages.orv"))
    assert "stack" in r.stdout and "4 images" in r.stdout
    refused(run_orv("decode", tmp_path / "pages.orv", tmp_path / "one.bmp"), "stack of 4",
            ".tif")
    ok(run_orv("decode", tmp_path / "pages.orv", tmp_path / "back.png"))
    np.testing.assert_array_equal(pixels(tmp_path / "back.png"), np.stack(frames))
    refused(run_orv("encode", tmp_path / "deep.png", tmp_path / "deep.orv"), "deep.png")
    ok(run_orv("encode", tmp_path / "keyed.png", tmp_path / "keyed.orv"))
    np.testing.assert_array_equal(orv.read(tmp_path / "keyed.orv"), pixels(tmp_path / "keyed.png"))
    assert orv.read(tmp_path / "keyed.orv")[0, 0, 3] == 0


@pytest.mark.parametrize("suffix, exact", [(".gif", False), (".ppm", False), (".jpg", False),
                                           (".pdf", False), (".webp", True), (".tif", True)])
def test_decoding_to_a_format_that_cannot_hold_the_pixels(tmp_path, suffix, exact):
    img = sample((12, 13, 4))
    img[::3, :, 3] = 0
    orv.write(tmp_path / "x.orv", img)
    r = run_orv("decode", tmp_path / "x.orv", tmp_path / f"y{suffix}")
    if exact:
        ok(r)
        np.testing.assert_array_equal(pixels(tmp_path / f"y{suffix}"), img)
        return
    refused(r, "--allow-lossy")
    assert not (tmp_path / f"y{suffix}").exists()
    r = ok(run_orv("decode", tmp_path / "x.orv", tmp_path / f"y{suffix}", "--allow-lossy"))
    assert "warning" in r.stderr


def test_metadata_travels_through_the_command_line(tmp_path):
    from PIL import ImageCms

    icc = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
    exif = Image.Exif()
    exif[0x0112] = 6
    Image.fromarray(sample((8, 10, 3))).save(tmp_path / "in.jpg", icc_profile=icc,
                                            exif=exif.tobytes())
    ok(run_orv("encode", tmp_path / "in.jpg", tmp_path / "x.orv"))
    ok(run_orv("decode", tmp_path / "x.orv", tmp_path / "back.png"))
    with Image.open(tmp_path / "back.png") as im:
        assert im.info["icc_profile"] == icc and im.getexif()[0x0112] == 6
    refused(run_orv("decode", tmp_path / "x.orv", tmp_path / "back.bmp"), "--strip-metadata")


def test_conventions(tmp_path):
    r = ok(run_orv("--version"))
    assert r.stdout.startswith(f"orv {orv.__version__}")
    img = sample((9, 8, 3))
    Image.fromarray(img).save(tmp_path / "a.png")
    env_in = (tmp_path / "a.png").read_bytes()
    # - is standard input and output; -q keeps quiet
    p = subprocess.run([sys.executable, "-m", "orv", "encode", "-q", "-", "-"], input=env_in,
                       capture_output=True, env=dict(os.environ, PYTHONPATH=os.pathsep.join(
                           [str(Path(orv.__file__).parent.parent), str(orv_rans_dir())])))
    assert p.returncode == 0 and p.stderr == b""
    np.testing.assert_array_equal(orv.decode(p.stdout), img)
    (tmp_path / "empty").mkdir()
    refused(run_orv("bench", tmp_path / "empty"), "no images in")
    refused(run_orv("decode", tmp_path / "a.png", tmp_path / "out" / "dir/"), "magic")
    # a header that claims 15000 x 15000 pixels: past Pillow's bomb limit, within orv's
    import struct
    import zlib
    ihdr = struct.pack(">IIBBBBB", 15000, 15000, 8, 0, 0, 0, 0)
    (tmp_path / "big.png").write_bytes(b"\x89PNG\r\n\x1a\n" + struct.pack(">I", 13) + b"IHDR"
                                      + ihdr + struct.pack(">I", zlib.crc32(b"IHDR" + ihdr)))
    r = refused(run_orv("encode", tmp_path / "big.png", tmp_path / "big.orv"), "big.png")
    assert "omb" not in r.stderr


def test_bench_says_what_is_missing(tmp_path):
    """No plot without matplotlib (said before measuring); a missing peer is named."""
    (tmp_path / "block").mkdir()
    for name in ("matplotlib", "qoi"):
        (tmp_path / "block" / f"{name}.py").write_text(f"raise ImportError('no {name}')")
    Image.fromarray(sample((8, 8, 3))).save(tmp_path / "a.png")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(tmp_path / "block"), str(Path(orv.__file__).parent.parent), str(orv_rans_dir())]))

    def bench(*args):
        return subprocess.run([sys.executable, "-m", "orv", "bench", str(tmp_path / "a.png"),
                               "--repeat", "1", *args], env=env, capture_output=True, text=True)
    r = refused(bench("--plot", str(tmp_path / "p.png")), "matplotlib")
    assert "corpus" not in r.stdout
    r = ok(bench())
    assert "QOI not measured" in r.stderr and "qoi" in r.stderr and "orv auto" in r.stdout


def test_every_option_has_a_help_text():
    from orv.cli import build_parser

    def walk(parser):
        for action in parser._actions:
            if action.nargs == 0 and action.dest == "help":
                continue
            if hasattr(action, "choices") and isinstance(action.choices, dict):
                for sub in action.choices.values():
                    yield from walk(sub)
            elif action.dest != "command":
                yield parser.prog, action
    missing = [f"{prog} {a.option_strings or a.dest}" for prog, a in walk(build_parser())
               if not a.help]
    assert not missing


def test_bench_without_arguments_or_corpus_says_how_to_install_it(monkeypatch, capsys):
    from orv import bench, cli

    monkeypatch.setattr(bench, "default_paths", lambda: [])
    assert cli.main(["bench"]) == 1
    assert "bench/setup.sh" in capsys.readouterr().err
