"""Every instruction-set path of the shard decoder against the scalar one: the
same symbols on real and damaged payloads, the same faults with the same
messages. The vector paths take shards of 256 symbols and more; batches mix
them with shorter, empty and symbol-zero shards and run past the lanes in
flight."""
import struct

import numpy as np
import pytest

import orv_rans as o
from conftest import is_panic
from test_coder import U8, U32, U64, cum_of, encode, lookup_of
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


def assert_paths_agree(payload, counts, cums, freqs, lookups):
    want = decode_with("scalar", payload, counts, cums, freqs, lookups)
    for path in VECTOR_PATHS:
        got = decode_with(path, payload, counts, cums, freqs, lookups)
        assert got[0] == want[0], (path, got, want)
        if want[0] == "ok":
            assert np.array_equal(got[1][0], want[1][0]), path
            assert got[1][1] == want[1][1]
        else:
            assert got == want
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
