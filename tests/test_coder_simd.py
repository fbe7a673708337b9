"""Every instruction-set path of the shard decoder against the scalar one: the
same symbols on real and damaged payloads, the same faults with the same
messages. The vector paths take shards of 256 symbols and more; batches mix
them with shorter, empty and symbol-zero shards and run past the lanes in
flight."""
import shutil
import struct
import subprocess
from pathlib import Path

import numpy as np
import pytest

import orv_rans as o
from conftest import is_panic
from test_coder import U8, U32, U64, UNIFORM, cum_of, encode, lookup_of
from test_coder_props import normalise

PATHS = o._coder_simd_available()
VECTOR_PATHS = [p for p in PATHS if p != "scalar"]


@pytest.fixture
def restore_path():
    before = o._coder_simd()
    yield
    o._coder_simd(before)


def random_table(rng, kind, data=None):
    if kind == "data":
        return normalise(np.bincount(data, minlength=256))
    f = np.zeros(256, np.int64)
    if kind == "single":  # all of the scale on one symbol other than 0
        f[rng.integers(1, 256)] = 4096
    elif kind == "zero":  # the symbol-zero shortcut
        f[0] = 4096
    elif kind == "uniform":
        f[:] = 16
    else:  # "rare": one heavy symbol and many at frequency 1
        f[rng.choice(256, 200, replace=False)] = 1
        f[rng.integers(0, 256)] += 4096 - f.sum()
    return f.astype(U64)


def symbols_for(rng, f, n):
    p = f.astype(np.float64) / 4096
    return rng.choice(256, n, p=p).astype(U8)


def random_shards(seed, n_shards):
    rng = np.random.default_rng(seed)
    lengths = rng.choice([0, 1, 2, 3, 4, 5, 6, 7, 255, 256, 259, 1024, 2100, 3000, 4099, 9000], n_shards)
    data, freqs = [], []
    for n in lengths:
        kind = rng.choice(["data", "data", "data", "single", "zero", "uniform", "rare"])
        if kind == "data":
            scale = rng.uniform(0.3, 20)
            v = np.rint(rng.laplace(0, scale, n)).astype(np.int64)
            d = np.where(v >= 0, 2 * v, -2 * v - 1).clip(0, 255).astype(U8)
            f = random_table(rng, kind, d) if n else random_table(rng, "uniform")
        else:
            f = random_table(rng, kind)
            d = symbols_for(rng, f, n)
        data.append(d)
        freqs.append(f)
    return data, np.array(freqs, U64).reshape(-1, 256)


def packed(states, streams):
    """A payload from per-shard (four states, stream bytes)."""
    out = bytearray()
    for st, s in zip(states, streams):
        out += struct.pack("<4QI", *[int(v) for v in st], len(s)) + bytes(s)
    return np.frombuffer(bytes(out), U8)


def shard_parts(data, freqs, initial=2**31):
    states, streams, offs, lens = encode(data, freqs, initial)
    return [list(s) for s in states], [streams[a:a + n].copy() for a, n in zip(offs, lens)]


def decode_with(path, payload, counts, cums, freqs, lookups):
    o._coder_simd(path)
    try:
        return "ok", o.rans_decode_shards_parallel(payload, np.asarray(counts, U32), cums, freqs, lookups)
    except BaseException as e:  # PanicException derives from BaseException
        assert is_panic(e) or isinstance(e, Exception), repr(e)
        return type(e).__name__, str(e)


def decode_own_lookups_with(path, payload, counts, cums, freqs):
    o._coder_simd(path)
    try:
        return "ok", o._rans_decode_own_lookups(payload, np.asarray(counts, U32), cums, freqs)
    except BaseException as e:  # PanicException derives from BaseException
        assert is_panic(e) or isinstance(e, Exception), repr(e)
        return type(e).__name__, str(e)


def assert_same(got, want, path):
    assert got[0] == want[0], (path, got, want)
    if want[0] == "ok":
        assert np.array_equal(got[1][0], want[1][0]), path
        assert got[1][1] == want[1][1]
    else:
        assert got == want


def assert_paths_agree(payload, counts, cums, freqs, lookups):
    want = decode_with("scalar", payload, counts, cums, freqs, lookups)
    for path in VECTOR_PATHS:
        assert_same(decode_with(path, payload, counts, cums, freqs, lookups), want, path)
    # the front end's decoder, which makes the lookups build_all_lookups gives
    # for the tables where it uses them, decodes and faults as the public
    # one given those lookups, on every path
    own = decode_with("scalar", payload, counts, cums, freqs, lookup_of(cums))
    for path in ("scalar", *VECTOR_PATHS):
        assert_same(decode_own_lookups_with(path, payload, counts, cums, freqs), own, path)
    return want


def test_paths_are_known_and_scalar_is_always_there(restore_path):
    assert "scalar" in PATHS and set(PATHS) <= {"scalar", "avx2", "avx512"}
    assert o._coder_simd() in PATHS
    for p in PATHS:
        assert o._coder_simd(p) == p == o._coder_simd()
    for bad in ("avx1024", "", "AVX2"):
        with pytest.raises(ValueError):
            o._coder_simd(bad)
    assert o.get_backend_info() == ("v1.0.0-rans-kest", "1.0.1")


@pytest.mark.parametrize("setting, expect", [("scalar", "scalar"), ("no-such-path", None)])
def test_environment_chooses_the_path_once(run_python, setting, expect):
    out = run_python("import orv_rans as o; print(o._coder_simd(), o._coder_simd_available()[-1])",
                     env={"ORV_RANS_SIMD": setting}).split()
    assert out[0] == (expect or out[1])  # an unknown name leaves the best path


@pytest.mark.skipif(not VECTOR_PATHS, reason="this CPU runs only the scalar path")
@pytest.mark.parametrize("seed", range(12))
def test_vector_paths_decode_real_shards_like_scalar(restore_path, seed):
    n_shards = [1, 3, 9, 17, 30][seed % 5]
    data, freqs = random_shards(seed, n_shards)
    cums = np.array([cum_of(f) for f in freqs], U64).reshape(-1, 257)
    lookups = lookup_of(cums) if n_shards else np.zeros((0, 4096), U8)
    states, streams = shard_parts(data, freqs)
    payload = packed(states, streams)
    counts = [len(d) for d in data]
    kind, (dec, consumed) = assert_paths_agree(payload, counts, cums, freqs, lookups)
    assert consumed == payload.size
    assert dec.tobytes() == b"".join(d.tobytes() for d in data)


DAMAGE = ["cut_stream", "longer_count", "flip_bytes", "big_states", "tiny_states", "lookup_swapped",
          "cum_not_monotone", "cum_beyond_scale", "freq_zero", "freq_large", "freq_4096_elsewhere", "cum_short_of_4096"]


def damage_shard(rng, damage, i, states, streams, counts, cums, freqs, lookups):
    """Damages shard i in place, one way the decoder must survive."""
    s = streams[i]
    if damage == "cut_stream":  # the stream ends early: its first bytes (read last) are gone
        streams[i] = s[rng.integers(0, len(s) + 1):]
    elif damage == "longer_count":  # more symbols than were coded
        counts[i] += int(rng.integers(1, 3000))
    elif damage == "flip_bytes" and len(s):
        s[rng.integers(0, len(s), 5)] ^= rng.integers(1, 256, 5).astype(U8)
    elif damage == "big_states":
        states[i] = [int(v) for v in rng.integers(2**43, 2**64 - 1, 4, dtype=U64, endpoint=True)]
        states[i][int(rng.integers(0, 4))] = 2**44 - 1
    elif damage == "tiny_states":
        states[i] = [0, 1, 2**19, 2**31 - 1]
    elif damage == "lookup_swapped":
        a, b = rng.integers(0, 4096, 2)
        lookups[i, a], lookups[i, b] = lookups[i, b], lookups[i, a] + 1
    elif damage == "cum_not_monotone":
        k = int(rng.integers(1, 256))
        cums[i, k] = cums[i, k + 1] + 1
    elif damage == "cum_beyond_scale":  # a range runs far past 4096, and the row comes back down
        k = int(rng.integers(1, 255))
        cums[i, k] = [4097, 5000, 2**20, 2**63][int(rng.integers(0, 4))]
    elif damage == "freq_zero":
        freqs[i, int(np.argmax(freqs[i]))] = 0
    elif damage == "freq_large":
        freqs[i, int(np.argmax(freqs[i]))] = [4097, 2**32 + 5, 2**64 - 1][int(rng.integers(0, 3))]
    elif damage == "freq_4096_elsewhere":
        freqs[i, int(np.argmax(freqs[i]))] = 4096
    elif damage == "cum_short_of_4096":
        cums[i, 256] = 4000


@pytest.mark.skipif(not VECTOR_PATHS, reason="this CPU runs only the scalar path")
@pytest.mark.parametrize("damage", DAMAGE)
@pytest.mark.parametrize("seed", range(3))
def test_vector_paths_match_scalar_on_damaged_input(restore_path, damage, seed):
    rng = np.random.default_rng(seed + 100)
    data, freqs = random_shards(seed + 100, 12)
    data = [d if len(d) >= 2100 else symbols_for(rng, f, 3000) for d, f in zip(data, freqs)]
    cums = np.array([cum_of(f) for f in freqs], U64)
    states, streams = shard_parts(data, freqs)
    counts = [len(d) for d in data]
    lookups = lookup_of(cums)
    victims = rng.choice(len(data), 4, replace=False)
    for i in victims:
        damage_shard(rng, damage, i, states, streams, counts, cums, freqs, lookups)
    payload = packed(states, streams)
    assert_paths_agree(payload, counts, cums, freqs, lookups)


@pytest.mark.skipif(not VECTOR_PATHS, reason="this CPU runs only the scalar path")
@pytest.mark.parametrize("damage", DAMAGE)
def test_vector_paths_match_scalar_on_damaged_short_shards(restore_path, damage):
    # shards from just below to well above the shortest the vector paths take
    rng = np.random.default_rng(300)
    _, freqs = random_shards(300, 16)
    data = [symbols_for(rng, f, int(rng.integers(200, 2100))) for f in freqs]
    cums = np.array([cum_of(f) for f in freqs], U64)
    states, streams = shard_parts(data, freqs)
    counts = [len(d) for d in data]
    lookups = lookup_of(cums)
    for i in rng.choice(len(data), 6, replace=False):
        damage_shard(rng, damage, i, states, streams, counts, cums, freqs, lookups)
    assert_paths_agree(packed(states, streams), counts, cums, freqs, lookups)


def skewed_shards(rng, n):
    """Shards of a few hundred to a few thousand symbols and one or two
    dozens of times longer, at random places."""
    lengths = rng.integers(0, 3000, n)
    lengths[rng.choice(n, int(rng.integers(1, 3)), replace=False)] = rng.integers(40000, 90000)
    freqs = np.array([random_table(rng, rng.choice(["uniform", "rare", "single"])) for _ in range(n)], U64)
    return [symbols_for(rng, f, int(m)) for f, m in zip(freqs, lengths)], freqs


@pytest.mark.skipif(not VECTOR_PATHS, reason="this CPU runs only the scalar path")
@pytest.mark.parametrize("seed", range(4))
def test_vector_paths_decode_long_shards_among_short_ones(restore_path, seed):
    # a batch whose work sits mostly in one or two shards: the lanes still agree with the scalar path
    data, freqs = skewed_shards(np.random.default_rng(seed + 500), [9, 24, 40, 70][seed])
    cums = np.array([cum_of(f) for f in freqs], U64)
    states, streams = shard_parts(data, freqs)
    payload = packed(states, streams)
    kind, (dec, consumed) = assert_paths_agree(payload, [len(d) for d in data], cums, freqs, lookup_of(cums))
    assert consumed == payload.size
    assert dec.tobytes() == b"".join(d.tobytes() for d in data)


@pytest.mark.skipif(not VECTOR_PATHS, reason="this CPU runs only the scalar path")
@pytest.mark.parametrize("fault", ["rows_short", "payload_cut", "stream_past_end"])
def test_vector_paths_fault_like_scalar(restore_path, fault):
    data, freqs = random_shards(7, 20)
    data = [np.resize(d, 3000) if len(d) else d for d in data]
    states, streams = shard_parts(data, freqs)
    cums = np.array([cum_of(f) for f in freqs], U64)
    lookups = lookup_of(cums)
    counts = [len(d) for d in data]
    payload = packed(states, streams)
    if fault == "rows_short":  # the last coded shards have no table rows
        k = max(i for i, c in enumerate(counts) if c) - 1
        cums, freqs, lookups = cums[:k], freqs[:k], lookups[:k]
    elif fault == "payload_cut":
        payload = payload[:payload.size - 40]
    else:
        payload = payload[:payload.size - 1]
    kind, msg = assert_paths_agree(payload, counts, cums, freqs, lookups)
    assert kind == "PanicException" and msg


# ---- the encoder's paths ---------------------------------------------------------
#
# The vector paths code shards of 32 symbols and more from initial states
# below 2^43 with cumulative values below 2^32; everything else, and every
# shard that holds a symbol it cannot code, goes to the scalar encoder.

def encode_with(path, data, lengths, cums, freqs, initial, offsets=None):
    o._coder_simd(path)
    lengths = np.asarray(lengths, U32)
    if offsets is None:
        offsets = np.concatenate([[0], np.cumsum(lengths, dtype=np.uint64)[:-1]]).astype(U32)
    got = []
    for encode in (o.rans_encode_shards_parallel, o._rans_encode_shards_packed):
        try:
            got.append(("ok", encode(data, offsets, lengths, cums, freqs, initial)))
        except BaseException as e:  # PanicException derives from BaseException
            assert is_panic(e) or isinstance(e, ValueError), repr(e)
            got.append((type(e).__name__, str(e)))
    # the front end's packed form: the same states and lengths, the same
    # streams back to back (or the same fault)
    (kind, slots), (packed_kind, packed) = got
    assert packed_kind == kind
    if kind != "ok":
        assert packed == slots
    else:
        states, streams, starts, lens = slots
        np.testing.assert_array_equal(packed[0], states)
        np.testing.assert_array_equal(packed[3], lens)
        np.testing.assert_array_equal(packed[2], np.cumsum(lens, dtype=np.uint64) - lens)
        assert packed[1].tobytes() == b"".join(streams[a:a + n].tobytes() for a, n in zip(starts, lens))
    return got[0]


def assert_encoders_agree(*args, **kw):
    want = encode_with("scalar", *args, **kw)
    for path in VECTOR_PATHS:
        got = encode_with(path, *args, **kw)
        assert got[0] == want[0], (path, got, want)
        if want[0] == "ok":
            for name, g, w in zip(("states", "streams", "offsets", "lengths"), got[1], want[1]):
                assert g.dtype == w.dtype and np.array_equal(g, w), (path, name)
        else:
            assert got == want, path
    return want


def encoder_table(rng, kind):
    """(frequencies, cumulative row) of one shard; the encoder needs no running sum."""
    f = np.zeros(256, np.int64)
    if kind == "single":  # all of the scale on one symbol other than 0
        f[rng.integers(1, 256)] = 4096
    elif kind == "ones":  # frequency-1 symbols beside one at 4096 - k
        f[rng.choice(256, 60, replace=False)] = 1
        f[rng.integers(1, 256)] += 4096 - f.sum()
    elif kind == "extremes":  # 4096 and 1 side by side (sums beyond 4096)
        f[rng.choice(256, 8, replace=False)] = [4096, 1, 4096, 1, 2, 4095, 2048, 3]
    else:  # "arbitrary": any frequency of 1..4096 on any symbol, any cumulative value below 2^32
        f[:] = rng.integers(1, 4097, 256)
        f[0] = rng.integers(1, 4096)
        c = rng.integers(0, 2**32, 257, dtype=U64)
        return f.astype(U64), c
    f[0] = 0 if f[0] == 4096 else f[0]  # keep the symbol-zero shortcut out
    return f.astype(U64), cum_of(f.astype(U64))


def encoder_shards(rng, lengths):
    data, freqs, cums = [], [], []
    for n in lengths:
        f, c = encoder_table(rng, rng.choice(["single", "ones", "extremes", "arbitrary", "arbitrary"]))
        data.append(rng.choice(np.flatnonzero(f), int(n)).astype(U8))
        freqs.append(f)
        cums.append(c)
    return np.concatenate(data), np.array(freqs, U64), np.array(cums, U64)


INITIAL_STATES = [2**31, 2**39 - 1, 0, 1, 2**43 - 1, 2**43, 2**64 - 1]


@pytest.mark.skipif(not VECTOR_PATHS, reason="this CPU runs only the scalar path")
@pytest.mark.parametrize("seed", range(8))
def test_vector_encoders_match_scalar(restore_path, seed):
    rng = np.random.default_rng(seed + 900)
    lengths = rng.choice([0, 1, 2, 3, 4, 5, 6, 7, 31, 32, 33, 35, 255, 256, 259, 1000, 4099, 20000], int(rng.integers(1, 40)))
    data, freqs, cums = encoder_shards(rng, lengths)
    initial = INITIAL_STATES[seed % len(INITIAL_STATES)] if seed < 7 else int(rng.integers(2**31, 2**39))
    assert_encoders_agree(data, lengths, cums, freqs, initial)


@pytest.mark.skipif(not VECTOR_PATHS, reason="this CPU runs only the scalar path")
def test_vector_encoders_divide_exactly_for_every_frequency(restore_path):
    # 16 shards whose 256 symbols carry the frequencies 1..4096 once each,
    # arbitrary cumulative values, states across their whole range
    rng = np.random.default_rng(44)
    freqs = rng.permutation(np.arange(1, 4097, dtype=U64)).reshape(16, 256)
    freqs[:, [0, 1]] = np.sort(freqs[:, [0, 1]], axis=1)  # no 4096 on symbol 0 (the shortcut)
    cums = rng.integers(0, 2**32, (16, 257), dtype=U64)
    lengths = np.full(16, 3001, U32)
    data = rng.integers(0, 256, 16 * 3001, dtype=U8)
    for initial in (int(rng.integers(0, 2**43)), int(rng.integers(2**31, 2**39))):
        assert assert_encoders_agree(data, lengths, cums, freqs, initial)[0] == "ok"


@pytest.mark.skipif(not VECTOR_PATHS, reason="this CPU runs only the scalar path")
@pytest.mark.parametrize("n", [256, 257, 258, 259, 4099])
def test_vector_encoded_shards_decode(restore_path, n):
    rng = np.random.default_rng(n)
    for path in VECTOR_PATHS:
        data, freqs = random_shards(n, 6)
        data = [symbols_for(rng, f, n) for f in freqs]
        o._coder_simd(path)
        states, streams, offs, lens = encode(data, freqs)
        cums = np.array([cum_of(f) for f in freqs], U64)
        payload = packed([list(s) for s in states], [streams[a:a + k] for a, k in zip(offs, lens)])
        dec, consumed = o.rans_decode_shards_parallel(payload, np.full(6, n, U32), cums, freqs, lookup_of(cums))
        assert consumed == payload.size and dec.tobytes() == b"".join(d.tobytes() for d in data)


ENCODE_FAULTS = ["zero_frequency", "zero_frequency_in_tail", "frequency_above_4096", "room_overflow",
                 "beyond_data", "rows_short"]


@pytest.mark.skipif(not VECTOR_PATHS, reason="this CPU runs only the scalar path")
@pytest.mark.parametrize("fault", ENCODE_FAULTS)
@pytest.mark.parametrize("seed", range(3))
def test_vector_encoders_fault_like_scalar(restore_path, fault, seed):
    # faulty shards among sound ones, long and short: the same fault, with
    # the same message, is raised on every path (the lowest shard's)
    rng = np.random.default_rng(seed + 70)
    lengths = rng.choice([3, 40, 300, 1000, 5003], 24).astype(U32)
    data, freqs, cums = encoder_shards(rng, lengths)
    offsets = np.concatenate([[0], np.cumsum(lengths, dtype=np.uint64)[:-1]]).astype(U32)
    victims = sorted(rng.choice(24, 3, replace=False))
    for i in victims:
        a, n = int(offsets[i]), int(lengths[i])
        if fault.startswith("zero_frequency"):
            at = a + n - 1 if fault.endswith("tail") else a + int(rng.integers(0, n))
            unused = np.flatnonzero(freqs[i] == 0)
            if unused.size:
                data[at] = unused[0]
            else:  # every symbol in use: take one's frequency away
                freqs[i, data[at]] = 0
        elif fault == "frequency_above_4096":
            freqs[i, data[a + int(rng.integers(0, n))]] = [4097, 2**40, 2**64 - 1][int(rng.integers(0, 3))]
        elif fault == "room_overflow":  # every state pushed high: several bytes a symbol
            cums[i, :] = 2**60
        elif fault == "beyond_data":
            offsets[i] = data.size - n + 1
    if fault == "rows_short":
        freqs, cums = freqs[:victims[0]], cums[:victims[0]]
    got = assert_encoders_agree(data, lengths, cums, freqs, 2**31, offsets=offsets)
    assert got[0] != "ok"


@pytest.mark.skipif(not VECTOR_PATHS, reason="this CPU runs only the scalar path")
def test_vector_encoder_reports_a_long_shard_before_a_short_one(restore_path):
    # the long shard's bad symbol is met by the vector lanes after the short
    # shard (scalar) is refused: the lower shard is still the one reported
    f = np.tile(UNIFORM, (3, 1))
    f[:, 9] = 0
    data = np.zeros(5000 + 5 + 400, U8)
    data[4990] = 9  # shard 0, read early by the encoder (it reads backwards)
    data[5002] = 9  # shard 1, short
    for path in PATHS:
        kind, msg = encode_with(path, data, [5000, 5, 400], cum_of(f), f, 2**31)
        assert kind == "ValueError" and msg.startswith("shard 0: symbol 9 "), (path, msg)


def test_encoder_paths_agree_for_every_pool_size(run_python):
    code = """
        import hashlib, numpy as np, orv_rans as o
        rng = np.random.default_rng(5)
        lengths = rng.choice([0, 3, 255, 300, 2000, 70000], 40).astype(np.uint32)
        f = np.full((40, 256), 16, np.uint64)
        c = np.concatenate([np.zeros((40, 1), np.uint64), np.cumsum(f, axis=1, dtype=np.uint64)], axis=1)
        data = rng.integers(0, 256, int(lengths.sum()), dtype=np.uint8)
        offs = np.concatenate([[0], np.cumsum(lengths, dtype=np.uint64)[:-1]]).astype(np.uint32)
        for p in o._coder_simd_available():
            o._coder_simd(p)
            h = hashlib.sha256()
            for a in o.rans_encode_shards_parallel(data, offs, lengths, c, f, 2**31):
                h.update(a.tobytes())
            print(h.hexdigest())
    """
    runs = [run_python(code, env={"RAYON_NUM_THREADS": str(w)}).split() for w in (1, 3)]
    assert len(set(runs[0] + runs[1])) == 1


def test_vector_division_is_exact(tmp_path):
    # the division of the AVX2 encoder on its own, against the integer one
    cxx = shutil.which("g++") or shutil.which("c++")
    if not cxx:
        pytest.skip("no C++ compiler")
    root = Path(__file__).resolve().parents[1]
    exe = tmp_path / "divide_avx2_test"
    subprocess.run([cxx, "-std=c++20", "-O2", str(root / "tests/cpp/divide_avx2_test.cpp"), "-o", str(exe)],
                   check=True, capture_output=True, text=True)
    proc = subprocess.run([str(exe)], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    if proc.stdout.strip() == "skip":
        pytest.skip("this CPU has no AVX2 and FMA")
    assert proc.stdout.strip() == "ok"
