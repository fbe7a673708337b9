"""The encoder's effort scale: what each level tries, that a higher level never
gives a larger file, the whole-image candidates, and the option everywhere
it is taken (API, stack, Pillow, numcodecs, command line)."""
import io

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import orv
from orv import effort, single, stack
from test_orv_cli import run_orv

LEVELS = list(effort.EFFORTS)


def photo_like(shape, seed, noise):
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[:shape[0], :shape[1]]
    base = (y * 3 + x * 2 + 40 * np.sin(x / 7.0)).astype(np.int64)
    img = (base[..., None] if len(shape) == 3 else base) + rng.integers(0, noise, size=shape)
    return (img % 256).astype(np.uint8)


@settings(max_examples=10, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(seed=st.integers(0, 2**32 - 1),
       shape=st.sampled_from([(1, 1), (7, 30), (33, 40), (30, 26, 3), (24, 31, 4)]),
       noise=st.sampled_from([1, 9, 256]), coder=st.sampled_from([None, "shard", "auto"]))
def test_a_higher_level_is_never_larger(seed, shape, noise, coder):
    img = photo_like(shape, seed, noise)
    sizes = []
    for e in LEVELS:
        data = orv.encode(img, effort=e, coder=coder)
        np.testing.assert_array_equal(orv.decode(data), img)
        sizes.append(len(data))
    assert sizes == sorted(sizes, reverse=True), sizes


@pytest.fixture
def version_1_only(monkeypatch):
    """No palette, zstd or colour transform (small images always try zstd): the
    levels' own codings."""
    monkeypatch.setattr(effort, "SYNTHETIC_FROM", len(LEVELS) + 1)
    monkeypatch.setattr(effort, "COLOUR_FROM", len(LEVELS) + 1)


@pytest.mark.parametrize("shape", [(64, 60), (48, 50, 3), (40, 44, 4)], ids=str)
def test_what_each_level_tries(shape, version_1_only):
    img = photo_like(shape, 5, 24)
    coders = {e: set(orv.info(orv.encode(img, effort=e))["coders"].values()) for e in LEVELS}
    assert coders[1] == coders[2] == {"shard"}          # the fast levels: the shard coder only
    assert orv.encode(img, effort=1) == orv.encode(img, coder="shard", effort=1)
    # level 3 keeps the smaller of the fixed and the fitted classes
    assert orv.encode(img, effort=3) == min(orv.encode(img, coder="shard", effort=1),
                                            orv.encode(img, coder="shard", effort=3), key=len)
    # level 4 weighs the bit-pair coder per plane, as coder="auto" does with fitted classes
    assert len(orv.encode(img, effort=4)) <= len(orv.encode(img, coder="auto", effort=3))
    assert orv.encode(img) == orv.encode(img, effort=effort.DEFAULT_EFFORT)


def test_a_forced_bitpair_coder_ignores_the_level():
    img = photo_like((40, 41, 3), 2, 20)
    files = {orv.encode(img, coder="bitpair", effort=e) for e in LEVELS}
    assert len(files) == 1
    assert set(orv.info(files.pop())["coders"].values()) == {"bitpair"}


@pytest.fixture
def candidates(monkeypatch):
    """The candidate registry, emptied for the test and restored after it."""
    monkeypatch.setattr(effort, "_candidates", [])
    return effort


def test_candidates_are_kept_when_smaller_and_from_their_level(candidates, version_1_only):
    img = photo_like((48, 50, 3), 1, 30)
    smaller = single.encode_pixels(img, effort=3)
    base = orv.encode(img, effort=2)
    assert len(smaller) < len(base)
    calls = []

    def cand(image, level):
        calls.append(level)
        np.testing.assert_array_equal(image, img)
        return smaller

    candidates.register_candidate("test", 2, cand)
    candidates.register_candidate("none", 2, lambda image, level: None)
    candidates.register_candidate("larger", 2, lambda image, level: base + b"\0" * 10)
    assert orv.encode(img, effort=1) == orv.encode(img, coder="shard")   # below its level
    assert orv.encode(img, effort=2) == smaller
    with_meta = orv.encode(img, effort=2, xmp=b"x")
    assert with_meta.startswith(smaller) and orv.decode_with_metadata(with_meta).xmp == b"x"
    assert orv.encode(img, effort=5) == smaller
    assert calls == [2, 2, 5]
    # a forced coder is what the caller asked for: no candidate runs
    orv.encode(img, effort=5, coder="shard")
    assert calls == [2, 2, 5]
    # a name registered again replaces the earlier candidate
    candidates.register_candidate("test", 4, cand)
    assert [c.name for c in candidates.candidates(5)] == ["test", "none", "larger"]
    assert [c.name for c in candidates.candidates(3)] == ["none", "larger"]
    with pytest.raises(ValueError, match="effort"):
        candidates.register_candidate("bad", 0, cand)


BAD = [({"effort": 0}, "effort"), ({"effort": 6}, "effort"), ({"effort": True}, "effort"),
       ({"effort": 2.0}, "effort"), ({"effort": "2"}, "effort"), ({"effort": None}, "effort"),
       ({"coder": "png"}, "coder"), ({"coder": ""}, "coder")]


@pytest.mark.parametrize("kw, word", BAD, ids=str)
def test_bad_options_are_refused_everywhere(kw, word):
    img = np.zeros((4, 5, 3), np.uint8)
    with pytest.raises(ValueError, match=word):
        orv.encode(img, **kw)
    with pytest.raises(ValueError, match=word):
        stack.encode(np.zeros((0, 4, 5, 3), np.uint8), **kw)    # no image to code
    from PIL import Image
    with pytest.raises(ValueError, match=word):
        Image.fromarray(img).save(io.BytesIO(), format="ORV", **kw)
    numcodecs_codec = pytest.importorskip("orv.numcodecs_codec")
    with pytest.raises(ValueError, match=word):
        numcodecs_codec.Orv(**kw)


@pytest.mark.parametrize("e", LEVELS)
def test_pillow_save_takes_the_level(e):
    from PIL import Image
    img = photo_like((30, 20, 3), 3, 16)
    buf = io.BytesIO()
    Image.fromarray(img).save(buf, format="ORV", effort=e)
    assert buf.getvalue() == orv.encode(img, effort=e)


def test_numcodecs_configuration_leaves_out_a_coder_left_to_the_level():
    numcodecs_codec = pytest.importorskip("orv.numcodecs_codec")
    import numcodecs
    codec = numcodecs_codec.Orv()
    assert codec.get_config() == {"id": "orv", "effort": effort.DEFAULT_EFFORT, "channels": None}
    assert numcodecs.get_codec(codec.get_config()) == codec
    forced = numcodecs_codec.Orv(coder="auto", effort=4)
    assert forced.get_config()["coder"] == "auto"
    img = photo_like((3, 20, 21), 4, 9)
    assert forced.encode(img) == stack.encode(img, coder="auto", effort=4)
    # a configuration written before the scale still means what it did
    old = numcodecs.get_codec({"id": "orv", "coder": "auto", "effort": 1, "channels": None})
    assert old.encode(img) == stack.encode(img, coder="auto", effort=1)


def test_command_line_levels(tmp_path):
    from PIL import Image
    img = photo_like((24, 26, 3), 6, 12)
    Image.fromarray(img).save(tmp_path / "in.png")
    for args, e in (([], effort.DEFAULT_EFFORT), (["-e", "1"], 1), (["--effort", "5"], 5),
                    (["-e", "4", "--coder", "shard"], 4)):
        out = tmp_path / f"out{len(args)}{e}.orv"
        r = run_orv("encode", tmp_path / "in.png", out, *args)
        assert r.returncode == 0, r.stderr
        coder = "shard" if "--coder" in args else None
        assert out.read_bytes() == orv.encode(img, effort=e, coder=coder)
    for bad in ("0", "6", "x"):
        r = run_orv("encode", tmp_path / "in.png", tmp_path / "bad.orv", "-e", bad)
        assert r.returncode == 2 and "effort" in r.stderr and not (tmp_path / "bad.orv").exists()
    r = run_orv("encode", "--help")
    assert "-e N, --effort N" in r.stdout and "default 2" in r.stdout
