"""The shard coder: worked examples, edge cases and faults.

Helpers shared with test_coder_props.py live at the top of this file.
"""
import numpy as np
import pytest

import orv_rans as o

U8, U32, U64 = np.uint8, np.uint32, np.uint64
L = 2**31


# ---- helpers ----------------------------------------------------------------

def panics(fn, *args, match=None):
    """Runs fn and returns the PanicException's message (it derives from BaseException)."""
    try:
        fn(*args)
    except Exception as e:  # noqa: BLE001 - a PanicException must not land here
        raise AssertionError(f"expected a PanicException, got {type(e).__name__}: {e}")
    except BaseException as e:  # noqa: BLE001
        assert type(e).__name__ == "PanicException", type(e)
        msg = str(e)
        if match is not None:
            assert match in msg, msg
        return msg
    raise AssertionError("expected a PanicException, nothing was raised")


def cum_of(freq):
    freq = np.asarray(freq, dtype=U64)
    return np.concatenate([np.zeros(freq.shape[:-1] + (1,), U64), np.cumsum(freq, axis=-1, dtype=U64)], axis=-1)


def lookup_of(cum):
    cum = np.asarray(cum, dtype=U64).reshape(-1, 257)
    return o.build_all_lookups(cum.reshape(1, -1, 257)).reshape(-1, 4096)


def table(pairs):
    f = np.zeros(256, U64)
    for s, v in pairs.items():
        f[s] = v
    return f


UNIFORM = np.full(256, 16, U64)
EXAMPLE_A = table({0: 4093, 1: 1, 2: 1, 3: 1})
ZERO_TABLE = table({0: 4096})


def encode(shards, freqs, initial=L):
    """Encodes a list of byte arrays, shard i with frequency table freqs[i]."""
    data = np.concatenate([np.asarray(s, U8) for s in shards]) if shards else np.zeros(0, U8)
    lengths = np.array([len(s) for s in shards], U32)
    offsets = np.concatenate([[0], np.cumsum(lengths, dtype=np.uint64)[:-1]]).astype(U32) if shards else np.zeros(0, U32)
    f = np.asarray(freqs, U64).reshape(-1, 256)
    return o.rans_encode_shards_parallel(data, offsets, lengths, cum_of(f), f, initial)


def pack(enc):
    states, streams, offs, lens = enc
    write = np.concatenate([[0], np.cumsum(36 + lens.astype(np.uint64))[:-1]]).astype(U32) if len(lens) else np.zeros(0, U32)
    payload = np.zeros(int(np.sum(36 + lens.astype(np.uint64))), U8)
    o.pack_shard_payloads(states, lens, offs, streams, payload, write)
    return payload


def decode_payload(payload, counts, freqs):
    f = np.asarray(freqs, U64).reshape(-1, 256)
    c = cum_of(f)
    return o.rans_decode_shards_parallel(payload, np.asarray(counts, U32), c, f, lookup_of(c))


def decode_one(states, stream, freq, n):
    c = cum_of(freq)
    out = np.zeros(n, U8)
    o.rans_decode_4way_core(*[int(s) for s in states], np.asarray(stream, U8), c, np.asarray(freq, U64),
                            lookup_of(c)[0], out)
    return out


# ---- division magic table ---------------------------------------------------

def test_magic_table_values():
    m = o.get_magic_lut()
    assert m.dtype == U64 and m.shape == (4097,)
    assert int(m[0]) == 0
    telling = {1: 2**64 - 1, 2: 2**63 - 1, 3: 6148914691236517205, 5: 3689348814741910323,
               4095: 4504699407499280, 4096: 2**52 - 1}
    for f, v in telling.items():
        assert int(m[f]) == v
    assert all(int(m[f]) == (2**64 - 1) // f for f in range(1, 4097))


def test_magic_table_is_a_fresh_copy():
    a, b = o.get_magic_lut(), o.get_magic_lut()
    assert a is not b and np.array_equal(a, b)
    a[:] = 7
    assert int(o.get_magic_lut()[4096]) == 2**52 - 1


@pytest.mark.parametrize("x", [2**64 - 1, 2**39 - 1, 2**31, 2**64 - 4096, 0, 4095, 12345678901234567])
def test_magic_division_with_one_correction_is_exact(x):
    m = [int(v) for v in o.get_magic_lut()]
    for f in range(1, 4097):
        q = (x * m[f]) >> 64
        r = x - q * f
        assert 0 <= r < 2 * f
        if r >= f:
            q, r = q + 1, r - f
        assert (q, r) == divmod(x, f)


# ---- worked examples ----------------------------------------------------------

def test_worked_example_a():
    states, streams, offs, lens = encode([[1, 2, 3] * 3], [EXAMPLE_A])
    assert states.tolist() == [[34359803901, 2147487742, 2147487743, 2147487741]]
    assert lens.tolist() == [13] and offs.tolist() == [0]
    assert streams[:13].tobytes() == bytes.fromhex("00000000FF0FFE0FFD0FFF0FFE")
    assert not streams[13:].any() and len(streams) == 18 + 1024


def test_worked_example_a_decodes():
    stream = bytes.fromhex("00000000FF0FFE0FFD0FFF0FFE")
    out = decode_one([34359803901, 2147487742, 2147487743, 2147487741], np.frombuffer(stream, U8), EXAMPLE_A, 9)
    assert out.tolist() == [1, 2, 3] * 3
    payload = np.frombuffer(np.array([34359803901, 2147487742, 2147487743, 2147487741], "<u8").tobytes()
                            + np.array([13], "<u4").tobytes() + stream, U8)
    assert len(payload) == 49
    dec, consumed = decode_payload(payload, [9], [EXAMPLE_A])
    assert dec.tolist() == [1, 2, 3] * 3 and consumed == 49


def test_worked_example_b():
    states, streams, _, lens = encode([[0, 1, 2, 3, 250]], [UNIFORM])
    assert lens.tolist() == [5]
    assert streams[:5].tolist() == [0, 0, 0, 0, 0xA0]
    assert states.tolist() == [[2147483663, 2147483664, 2147483680, 2147483696]]


# ---- encoder ------------------------------------------------------------------

def test_encode_no_shards():
    states, streams, offs, lens = encode([], np.zeros((0, 256), U64))
    assert states.shape == (0, 4) and states.dtype == U64
    assert streams.shape == (0,) and offs.shape == (0,) and lens.shape == (0,)
    assert offs.dtype == U32 and lens.dtype == U32 and streams.dtype == U8


def test_capacities_and_slots():
    states, streams, offs, lens = encode([[1] * 10, [], [2] * 5], [UNIFORM] * 3)
    assert offs.tolist() == [0, 1044, 2068] and len(streams) == 3102
    assert states[1].tolist() == [L] * 4 and lens[1] == 0


@pytest.mark.parametrize("initial", [L, 2**39 - 1, 12345678901])
def test_empty_and_symbol_zero_shards_keep_initial_state(initial):
    # the symbol-zero shard holds non-zero symbols: they are not even read
    states, streams, _, lens = encode([[], [5, 6, 7, 8, 9]], [UNIFORM, ZERO_TABLE], initial)
    assert states.tolist() == [[initial] * 4] * 2
    assert lens.tolist() == [0, 0] and not streams.any()


def test_4096_on_another_symbol_emits_nothing():
    states, _, _, lens = encode([[7]], [table({7: 4096})])
    assert lens.tolist() == [0] and states.tolist() == [[L] * 4]
    states, _, _, lens = encode([[7] * 1000], [table({7: 4096})])
    assert lens.tolist() == [0] and states.tolist() == [[L] * 4]


def test_shards_sharing_a_range_encode_alike():
    data = np.arange(100, dtype=U8) % 4
    f = np.tile(table({0: 1000, 1: 1000, 2: 1000, 3: 1096}), (2, 1))
    states, streams, offs, lens = o.rans_encode_shards_parallel(
        data, np.array([0, 0], U32), np.array([100, 100], U32), cum_of(f), f, L)
    assert np.array_equal(states[0], states[1]) and lens[0] == lens[1]
    assert np.array_equal(streams[offs[0]:offs[0] + lens[0]], streams[offs[1]:offs[1] + lens[1]])


@pytest.mark.parametrize("shard", [0, 2])
def test_zero_frequency_symbol_is_refused_naming_shard_and_symbol(shard):
    f = np.tile(table({0: 2048, 1: 2048}), (3, 1))
    shards = [[0, 1, 1, 0]] * 3
    shards[shard] = [0, 1, 9, 0]
    with pytest.raises(ValueError, match=rf"shard {shard}\b.*symbol 9\b"):
        encode(shards, f)


def test_lowest_faulting_shard_is_reported():
    f = np.tile(table({0: 2048, 1: 2048}), (200, 1))
    shards = [[0, 1] * 500] * 200
    shards[150] = [3] * 10
    shards[40] = [0, 5]
    with pytest.raises(ValueError, match=r"shard 40\b.*symbol 5\b"):
        encode(shards, f)


def test_frequency_above_4096_faults():
    panics(encode, [[1]], [table({0: 1, 1: 5000})], match="the len is 4097 but the index is 5000")


def test_shard_beyond_data_faults():
    f = UNIFORM[None]
    msg = panics(o.rans_encode_shards_parallel, np.zeros(10, U8), np.array([5], U32), np.array([6], U32),
                 cum_of(f), f, L)
    assert msg == "index out of bounds: the len is 10 but the index is 10"


def test_missing_offset_faults_only_for_coded_shards():
    f = np.tile(UNIFORM, (2, 1))
    # shard 1 is empty: its missing offset is never read
    o.rans_encode_shards_parallel(np.zeros(4, U8), np.array([0], U32), np.array([4, 0], U32), cum_of(f), f, L)
    panics(o.rans_encode_shards_parallel, np.zeros(4, U8), np.array([0], U32), np.array([4, 4], U32),
           cum_of(f), f, L, match="the len is 1 but the index is 1")


def test_missing_table_row_faults():
    f = UNIFORM[None]
    panics(o.rans_encode_shards_parallel, np.zeros(4, U8), np.array([0, 0], U32), np.array([4, 0], U32),
           cum_of(f), f, L, match="out of range for slice of length 256")


@pytest.mark.parametrize("initial", [0, 1, 2**43, 2**64 - 1])
def test_out_of_range_initial_state_never_overflows_the_slot(initial):
    # such states do not give decodable streams, but the coder stays in its room
    rng = np.random.default_rng(initial % 97)
    data = rng.integers(0, 4, 1000, dtype=U8)
    states, streams, offs, lens = encode([data, data[:3]], [table({0: 1, 1: 1, 2: 1, 3: 4093})] * 2, initial)
    assert lens[0] <= 2 * 1000 + 1024 and lens[1] <= 6 + 1024
    assert not streams[offs[0] + lens[0]:offs[1]].any()


def test_stream_beyond_its_room_faults():
    # cumulative values far above 4096 (not a running sum) push every state
    # high, so each symbol emits five bytes: more than the reserved 2m + 1024
    f = np.zeros(256, U64)
    f[1] = 1
    c = np.full(257, 2**60, U64)
    data = np.ones(1000, U8)
    args = (np.zeros(2, U32), np.array([1000, 1000], U32), np.tile(c, (2, 1)), np.tile(f, (2, 1)), L)
    panics(o.rans_encode_shards_parallel, data, args[0][:1].copy(), args[1][:1].copy(), c[None], f[None], L,
           match="out of range for slice of length 3024")
    # with a second shard after it, the first stream would run into the
    # second's slot: refused as well
    panics(o.rans_encode_shards_parallel, data, *args, match="range end index")


# ---- four-way decoder ---------------------------------------------------------

@pytest.mark.parametrize("n", range(10))
def test_every_tail_length_round_trips(n):
    rng = np.random.default_rng(n)
    for f in (UNIFORM, EXAMPLE_A, table({0: 1, 255: 4095})):
        sym = np.flatnonzero(f)
        data = rng.choice(sym, n).astype(U8)
        states, streams, offs, lens = encode([data], [f])
        assert decode_one(states[0], streams[offs[0]:offs[0] + lens[0]], f, n).tolist() == data.tolist()


@pytest.mark.parametrize("n, used", [(1, 1), (2, 2), (3, 3), (5, 4)])
def test_tail_uses_states_in_order(n, used):
    data = np.arange(n, dtype=U8)
    states, streams, offs, lens = encode([data], [UNIFORM])
    stream = streams[offs[0]:offs[0] + lens[0]]
    want = decode_one(states[0], stream, UNIFORM, n)
    assert want.tolist() == data.tolist()
    for k in range(used, 4):  # states never used cannot change the output
        st = states[0].copy()
        st[k] = 2**38 + 12345
        assert np.array_equal(decode_one(st, stream, UNIFORM, n), want)


def test_symbol_zero_shortcut_ignores_states_and_stream():
    lk = np.full(4096, 0, U8)
    lk[0] = 77
    out = np.zeros(10, U8)
    o.rans_decode_4way_core(0, 1, 2, 3, np.zeros(0, U8), cum_of(ZERO_TABLE), ZERO_TABLE, lk, out)
    assert out.tolist() == [77] * 10


def test_zero_symbols_writes_nothing_but_empty_freq_faults():
    out = np.zeros(0, U8)
    o.rans_decode_4way_core(L, L, L, L, np.zeros(0, U8), cum_of(UNIFORM), UNIFORM, lookup_of(cum_of(UNIFORM))[0], out)
    panics(o.rans_decode_4way_core, L, L, L, L, np.zeros(0, U8), cum_of(UNIFORM), np.zeros(0, U64),
           lookup_of(cum_of(UNIFORM))[0], out, match="the len is 0 but the index is 0")


def test_empty_stream_decodes_from_states_alone():
    # uniform table: each step takes the slot's symbol and divides the state by 256
    states = [L + 0x10 * s for s in (1, 2, 3, 4)]
    out = decode_one(states, np.zeros(0, U8), UNIFORM, 8)
    assert out[:4].tolist() == [1, 2, 3, 4]


def test_state_zero_wraps():
    f = table({0: 100, 1: 3996})
    out = decode_one([0, 0, 0, 0], np.zeros(0, U8), f, 8)  # cum[0] = 0 and slot 0 -> symbol 0
    assert out.tolist() == [0] * 8
    # slot 200 -> symbol 1 with cum 100: x = 3996 * 0 + 200 - 100, then onward
    out = decode_one([200] * 4, np.zeros(0, U8), f, 8)
    assert out[:4].tolist() == [1] * 4


@pytest.mark.parametrize("lk_len, freq_len, cum_len, msg", [
    (100, 256, 257, "the len is 100 but the index is"),
    (4096, 3, 257, "the len is 3 but the index is 62"),
    (4096, 256, 2, "the len is 2 but the index is"),
])
def test_short_tables_fault(lk_len, freq_len, cum_len, msg):
    f = UNIFORM
    c = cum_of(f)
    lk = lookup_of(c)[0]
    out = np.zeros(64, U8)
    # slot 1000 holds symbol 62
    panics(o.rans_decode_4way_core, L + 0x3E8, L + 0x3E8, L + 0x3E8, L + 0x3E8, np.zeros(16, U8),
           c[:cum_len].copy(), f[:freq_len].copy(), lk[:lk_len].copy(), out, match=msg)


def test_fault_leaves_earlier_positions_written():
    f = UNIFORM
    c = cum_of(f)
    out = np.zeros(8, U8)
    # position 0 decodes symbol 2, position 1 symbol 9, which lies beyond a 5-entry freq
    panics(o.rans_decode_4way_core, L + 0x20, L + 0x90, L, L, np.zeros(0, U8), c, f[:5].copy(),
           lookup_of(c)[0], out, match="the len is 5 but the index is 9")
    assert out[0] == 2



# ---- packing --------------------------------------------------------------------

def test_pack_layout_example():
    out = np.full(38, 0x55, U8)
    o.pack_shard_payloads(np.array([[L, L + 1, L + 2, L + 3]], U64), np.array([2], U32), np.array([0], U32),
                          np.array([0xAA, 0xBB], U8), out, np.array([0], U32))
    assert out.tobytes() == bytes.fromhex(
        "0000008000000000" "0100008000000000" "0200008000000000" "0300008000000000" "02000000" "AABB")


def test_pack_empty_shard_is_36_bytes_and_offsets_chain():
    out = np.full(80, 0x55, U8)
    o.pack_shard_payloads(np.array([[1, 2, 3, 4], [5, 6, 7, 8]], U64), np.array([4, 0], U32),
                          np.array([0, 4], U32), np.arange(8, dtype=U8), out, np.array([0, 40], U32))
    assert out[36:40].tolist() == [0, 1, 2, 3]
    assert int.from_bytes(out[40:48].tobytes(), "little") == 5
    assert out[72:76].tolist() == [0, 0, 0, 0] and out[76:].tolist() == [0x55] * 4


def test_pack_nothing_leaves_out_untouched():
    out = np.full(4, 9, U8)
    o.pack_shard_payloads(np.zeros((0, 4), U64), np.zeros(0, U32), np.zeros(0, U32), np.zeros(0, U8), out,
                          np.zeros(0, U32))
    assert out.tolist() == [9] * 4


@pytest.mark.parametrize("short", [1, 37, 40])
def test_pack_short_out_faults_after_earlier_shards(short):
    enc = encode([[1, 2, 3] * 5, [3, 2, 1] * 5], [EXAMPLE_A, EXAMPLE_A])
    full = pack(enc)
    out = np.zeros(len(full) - short, U8)
    states, streams, offs, lens = enc
    write = np.array([0, 36 + lens[0]], U32)
    panics(o.pack_shard_payloads, states, lens, offs, streams, out, write)
    first = 36 + int(lens[0])
    assert np.array_equal(out[:first], full[:first])
    if short > lens[1]:  # the header itself was cut: its bytes before the end are written
        assert np.array_equal(out[first:], full[first:len(out)])


def test_pack_faults_on_missing_state_rows_and_offsets():
    out = np.zeros(100, U8)
    panics(o.pack_shard_payloads, np.zeros((1, 4), U64), np.array([0, 0], U32), np.array([0, 0], U32),
           np.zeros(0, U8), out, np.array([0, 36], U32), match="the len is 4 but the index is 4")
    panics(o.pack_shard_payloads, np.zeros((1, 4), U64), np.array([0], U32), np.array([0], U32),
           np.zeros(0, U8), out, np.zeros(0, U32), match="the len is 0 but the index is 0")
    panics(o.pack_shard_payloads, np.zeros((1, 4), U64), np.array([5], U32), np.array([0], U32),
           np.zeros(4, U8), out, np.array([0], U32), match="range end index 5 out of range for slice of length 4")


# ---- parallel shard decoder --------------------------------------------------------

def test_decode_no_shards():
    dec, consumed = decode_payload(np.arange(10, dtype=U8), [], np.zeros((0, 256), U64))
    assert dec.shape == (0,) and dec.dtype == U8 and consumed == 0


def test_decode_round_trip_with_empty_zero_and_trailing():
    shards = [[1, 2, 3] * 7, [], [0] * 9, [4, 4, 5]]
    freqs = [EXAMPLE_A, UNIFORM, ZERO_TABLE, table({4: 4000, 5: 96})]
    enc = encode(shards, freqs)
    payload = pack(enc)
    dec, consumed = decode_payload(payload, [len(s) for s in shards], freqs)
    assert dec.tolist() == sum(shards, []) and consumed == len(payload)
    assert enc[3][1] == 0 and enc[3][2] == 0
    longer = np.concatenate([payload, np.full(5, 7, U8)])
    dec2, consumed2 = decode_payload(longer, [len(s) for s in shards], freqs)
    assert np.array_equal(dec, dec2) and consumed2 == len(payload) < len(longer)


def test_symbol_zero_shard_fills_with_lookup_entry_zero():
    payload = np.zeros(36, U8)
    f = ZERO_TABLE[None]
    c = cum_of(f)
    lk = lookup_of(c)
    lk[0, 0] = 42
    dec, consumed = o.rans_decode_shards_parallel(payload, np.array([5], U32), c, f, lk)
    assert dec.tolist() == [42] * 5 and consumed == 36


def test_count_zero_shard_ignores_tables():
    dec, consumed = o.rans_decode_shards_parallel(np.zeros(72, U8), np.array([0, 0], U32), np.zeros((0, 257), U64),
                                                  np.zeros((0, 256), U64), np.zeros((0, 4096), U8))
    assert dec.shape == (0,) and consumed == 72


@pytest.mark.parametrize("cut", [1, 10, 35])
def test_payload_cut_in_a_header_faults(cut):
    panics(decode_payload, np.zeros(36 + 36 - cut, U8), [0, 0], [UNIFORM] * 2, match="out of range for slice of length")


@pytest.mark.parametrize("count", [0, 3])
def test_stream_running_past_the_payload_faults(count):
    # a length field that points beyond the payload is refused even when the
    # shard has no symbols, so `consumed` never passes the payload's end
    payload = np.zeros(40, U8)
    payload[32] = 5  # L = 5, only 4 bytes follow
    msg = panics(decode_payload, payload, [count], [UNIFORM])
    assert msg == "range end index 41 out of range for slice of length 40"


def test_truncated_payload_of_real_shards_faults():
    shards = [[1, 2, 3] * 50, [3, 2, 1] * 50]
    enc = encode(shards, [EXAMPLE_A] * 2)
    payload = pack(enc)
    panics(decode_payload, payload[:-1].copy(), [150, 150], [EXAMPLE_A] * 2, match="range end index")
    panics(decode_payload, payload[:-1].copy(), [150, 0], [EXAMPLE_A] * 2, match="range end index")


def test_missing_table_rows_fault_for_shards_with_symbols():
    enc = encode([[1, 2], [1, 2]], [UNIFORM] * 2)
    payload = pack(enc)
    f = UNIFORM[None]
    c = cum_of(f)
    panics(o.rans_decode_shards_parallel, payload, np.array([2, 2], U32), c, f, lookup_of(c),
           match="range end index 514 out of range for slice of length 257")
    dec, _ = o.rans_decode_shards_parallel(payload, np.array([2, 0], U32), c, f, lookup_of(c))
    assert dec.tolist() == [1, 2]
