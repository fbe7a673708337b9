"""Damaged, truncated and crafted .orv files: always orv.FormatError, never a crash."""
import struct
import zlib

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import orv
from orv import single
from orv import container as fmt


def sample(shape=(23, 31, 4), seed=1) -> np.ndarray:
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[:shape[0], :shape[1]]
    base = (y * 4 + x * 3) % 256
    img = (base[..., None] if len(shape) == 3 else base) + rng.integers(0, 12, size=shape)
    return (img % 256).astype(np.uint8)


FILES = {
    (coder, shape): orv.encode(sample(shape), coder=coder)
    for coder in ("shard", "bitpair") for shape in [(23, 31, 4), (19, 17), (12, 14, 3)]
}
# a file whose shard coder uses a merged class map (effort 3 keeps the smaller file, which
# on so small an image is effort 1's: the fitted coding is asked for directly)
FILES[("shard e2", (40, 37, 3))] = single.encode_pixels(
    sample((40, 37, 3)), coder="shard", classes=single.fitted_classes(sample((40, 37, 3))))
IDS = [f"{c}-{len(s)}d-{s[-1] if len(s) == 3 else 1}ch".replace(" ", "-") for c, s in FILES]


def boundaries(data: bytes) -> list[int]:
    """Offsets where each section (and the header) ends."""
    ends, pos = [], 0
    for size in orv.info(data)["sections"].values():
        pos += size
        ends.append(pos)
    assert pos == len(data)
    return ends


def assert_format_error(data, match=None):
    with pytest.raises(orv.FormatError, match=match):
        orv.decode(data)


def assert_error_or_exact(data, original):
    """Damage may hit bytes that change nothing (the stream byte a decoder reads
    after its last symbol only moves the final state): then the pixels must be
    exactly the original ones, never silently different."""
    try:
        out = orv.decode(data)
    except orv.FormatError:
        return
    np.testing.assert_array_equal(out, orv.decode(original))


def test_format_error_is_a_value_error():
    assert issubclass(orv.FormatError, ValueError)


@pytest.mark.parametrize("key", list(FILES), ids=IDS)
def test_truncated_at_every_section_boundary(key):
    data = FILES[key]
    for end in boundaries(data)[:-1]:
        for cut in (end - 1, end, end + 1, end + 4, end + 5):
            assert_format_error(data[:cut], "truncated|not an orv|corrupt")
    assert_format_error(b"")
    assert_format_error(data[:-1])


@pytest.mark.parametrize("key", list(FILES), ids=IDS)
def test_every_truncation_fails(key):
    data = FILES[key]
    for cut in range(0, len(data), max(1, len(data) // 97)):
        assert_format_error(data[:cut])


@pytest.mark.parametrize("key", list(FILES), ids=IDS)
def test_flipped_byte_anywhere_fails(key):
    data = bytearray(FILES[key])
    for i in range(len(data)):
        for mask in (0x01, 0x80):
            data[i] ^= mask
            assert_format_error(bytes(data))
            data[i] ^= mask


def test_trailing_bytes_fail():
    data = FILES[("shard", (23, 31, 4))]
    assert_format_error(data + b"\0", "trailing")


def with_header(data: bytes, **changes) -> bytes:
    """The file with header fields changed and the header checksum made valid again."""
    hdr, r = fmt.read_header(data)
    fields = dict(version=fmt.VERSION, channels=hdr.channels, model=hdr.model,
                  nb=len(hdr.bounds), width=hdr.width, height=hdr.height, crc=hdr.pixel_crc,
                  bounds=bytes(hdr.bounds), coders=bytes(hdr.coders),
                  map=bytes([1 if hdr.class_map else 0]) + hdr.class_map)
    fields.update(changes)
    body = fmt._FIXED.pack(fmt.MAGIC, fields["version"], fields["channels"], fields["model"],
                           fields["nb"], fields["width"], fields["height"], fields["crc"])
    body += fields["bounds"] + fields["map"] + fields["coders"]
    return body + struct.pack("<I", zlib.crc32(body)) + bytes(r.buf[r.pos:])


@pytest.mark.parametrize("changes, words", [
    ({"version": 2}, "stack header"),  # version 2 is a stack of images
    ({"version": 0}, "version"),
    ({"channels": 2}, "channel count"),
    ({"model": 9}, "context model"),
    ({"width": 0}, "sides"),
    ({"height": 70000}, "sides"),
    ({"width": 65535, "height": 65535}, "limit"),
    ({"width": 30}, "do not add up|corrupt|trailing|truncated"),
    ({"height": 22}, "do not add up|corrupt|trailing|truncated"),
    ({"crc": 12345}, "checksum"),
    ({"bounds": bytes([9, 3]), "nb": 2}, "bounds"),
    ({"coders": bytes([0, 0, 7, 0])}, "coder"),
    ({"coders": bytes([1, 0, 0, 0])}, "add up|truncated|corrupt|short"),
    ({"map": bytes([2])}, "class map kind"),
    ({"map": bytes([1]) + bytes(range(49))}, "add up|truncated|corrupt"),
])
def test_consistent_header_with_wrong_fields(changes, words):
    data = with_header(FILES[("shard", (23, 31, 4))], **changes)
    assert_format_error(data, words)


def test_bad_magic_and_header_checksum():
    data = bytearray(FILES[("shard", (19, 17))])
    assert_format_error(b"\x89PNG\r\n\x1a\n" + bytes(data[8:]), "magic")
    data[12] ^= 1  # width, without fixing the header checksum
    assert_format_error(bytes(data), "header is corrupt")


def sections(data: bytes):
    """(start of body, body) of every section, in order."""
    hdr, r = fmt.read_header(data)
    out = []
    while r.remaining:
        n = r.u32("length")
        out.append((r.pos, bytes(r.take(n, "body"))))
        r.u32("crc")
    return out


def replace_section(data: bytes, index: int, body: bytes) -> bytes:
    """The file with section `index` replaced by `body` under a valid checksum."""
    secs = sections(data)
    start, old = secs[index]
    return (data[:start - 4] + fmt.section(body) + data[start + len(old) + 4:])


@pytest.mark.parametrize("key", list(FILES), ids=IDS)
def test_crafted_sections_with_valid_checksums(key):
    """Content changed behind a valid checksum: the decoder's own checks and the
    pixel checksum still catch it, and no module fault escapes."""
    data = FILES[key]
    errors = 0
    rng = np.random.default_rng(7)
    for index, (_, body) in enumerate(sections(data)):
        for _ in range(12):
            b = bytearray(body)
            if not b:
                continue
            for i in rng.integers(0, len(b), size=rng.integers(1, 4)):
                b[i] = rng.integers(0, 256)
            if bytes(b) == body:
                continue
            crafted = replace_section(data, index, bytes(b))
            assert_error_or_exact(crafted, data)
            try:
                orv.decode(crafted)
            except orv.FormatError:
                errors += 1
        assert_format_error(replace_section(data, index, body[:-1] if body else b"x"))
        assert_format_error(replace_section(data, index, body + b"\0"))
    assert errors > 0

def test_shard_table_content_checks():
    data = FILES[("shard", (19, 17))]
    tables = zlib.decompress(sections(data)[0][1])  # the mode bytes come first
    bad_mode = bytes([2]) + tables[1:]
    assert_format_error(replace_section(data, 0, zlib.compress(bad_mode)), "invalid mode")
    bad_mode = bytes([255]) + tables[1:]
    assert_format_error(replace_section(data, 0, zlib.compress(bad_mode)), "invalid mode")
    # a decompression bomb is cut off at the size the header allows
    bomb = zlib.compress(tables + bytes(10_000_000))
    assert_format_error(replace_section(data, 0, bomb), "compressed")
    assert_format_error(replace_section(data, 0, b"not zlib"), "compressed")


def test_pair_table_checks():
    data = FILES[("bitpair", (19, 17))]
    secs = sections(data)
    body = secs[0][1]
    nb = body[0]
    levels = bytearray(zlib.decompress(body[1 + nb:]))
    levels[5] = 200
    crafted = replace_section(data, 0, body[:1 + nb] + zlib.compress(bytes(levels)))
    assert_format_error(crafted, "level")
    crafted = replace_section(data, 0, bytes([8]) + body[1:])
    assert_format_error(crafted, "bounds|short")
    crafted = replace_section(data, 0, body[:1 + nb] + zlib.compress(bytes(levels[:-16])))
    assert_format_error(crafted, "tables")
    # a state outside the coder's range
    stream = bytearray(secs[1][1])
    stream[4] = 0xFF
    assert_format_error(replace_section(data, 1, bytes(stream)), "state")


def reference_group(data):
    """The shard group of a single-image file read with its checks one by one
    in array code, in the format's order: the message of the first refusal,
    or what the decoder needs of the group."""
    import orv_rans
    from itertools import accumulate
    from orv import model, native
    from orv.errors import FormatError
    hdr, r = fmt.read_header(data)
    K = max(hdr.class_map) + 1 if hdr.class_map else model.n_classes(hdr.bounds)
    planes = [p for p in range(hdr.channels) if hdr.coders[p] == 0]
    n_col = 1 if hdr.channels == 1 else 3
    sizes = [K if p < n_col else 1 for p in planes]
    n, hw = sum(sizes), hdr.height * hdr.width
    try:
        t = fmt.Reader(fmt.inflate(r.section("shard tables"), n * 524, "shard tables"),
                       "the shard tables section")
        modes = np.frombuffer(bytes(t.take(n, "the shard modes")), np.uint8)
        bad = [m for m in modes.tolist() if m not in (0, 3) and not 4 <= m < 4 + model.N_TEMPLATES]
        if bad:
            raise FormatError(f"shard tables: invalid mode {bad[0]}")
        counts = t.varints(n, "the shard sizes")
        ends = list(accumulate(sizes))
        for p, e, k in zip(planes, ends, sizes):
            if counts[e - k:e].sum() != hw:
                raise FormatError(f"shard tables: the shard sizes of the {hdr.planes[p]} plane "
                                  f"do not add up to {hw} pixels")
        widths = np.zeros(n, np.uint16)
        widths[modes == 0] = np.frombuffer(t.take(int((modes == 0).sum()), "the shard widths"),
                                           np.uint8) + 1
        compacted = np.frombuffer(t.take(t.remaining, "the tables"), np.uint8)
        freq = orv_rans.expand_pdf_tables(compacted, widths, modes, model.templates())
        if orv_rans.compact_pdf_tables(freq, widths, modes).tobytes() != compacted.tobytes():
            raise FormatError("shard tables: the stored frequency tables are malformed")
        if (freq.sum(axis=1) != native.SCALE).any():
            raise FormatError(f"shard tables: a frequency table does not sum to {native.SCALE}")
        live = (counts > 0) & (modes != 3)
        s = fmt.Reader(r.section("shard states"), "the shard states section")
        states = np.full((n, 4), native.STATE_LOW, np.uint64)
        states[live] = fmt.states_from_bytes(s.take(fmt.STATES_BYTES * int(live.sum()), "the states"),
                                             "shard states").reshape(-1, 4)
        lengths = np.zeros(n, np.int64)
        lengths[live] = s.varints(int(live.sum()), "the stream lengths")
        s.done()
        if (lengths >= 1 << 32).any():
            raise FormatError("shard states: a stream length is out of range")
        if lengths.sum() != len(r.section("shard streams")):
            raise FormatError("shard streams: the stream lengths do not match the section")
        short = native.streams_too_short(lengths, counts, freq.max(axis=1))
        if short.any():
            i = int(np.argmax(short))
            raise FormatError(f"shard streams: the stream of shard {i} is too short for its "
                              f"{counts[i]} residuals")
    except FormatError as e:
        return str(e)
    starts = np.concatenate([np.cumsum(counts[e - k:e]) - counts[e - k:e] for e, k in zip(ends, sizes)])
    return [a.tolist() for a in (counts, starts, freq, states, lengths)]


def group_read(data):
    """What the decoder's reader of the shard group gives for `data`, as reference_group."""
    from orv import model, shard
    from orv.errors import FormatError
    hdr, r = fmt.read_header(data)
    K = max(hdr.class_map) + 1 if hdr.class_map else model.n_classes(hdr.bounds)
    planes = [p for p in range(hdr.channels) if hdr.coders[p] == 0]
    try:
        g = shard.read(r, hdr, planes, K, hdr.height * hdr.width)
    except FormatError as e:
        return str(e)
    return [a.tolist() for a in (g.counts, g.starts, g.freq, g.states, g.lengths)]


SHARD_FILES = [k for k in FILES if k[0].startswith("shard")]


@settings(max_examples=300, deadline=None)
@given(st.sampled_from(SHARD_FILES), st.sampled_from([0, 1]), st.data())
def test_shard_group_refused_for_the_first_fault_in_format_order(key, index, data):
    # the tables (inflated) or the states section, with bytes changed, cut
    # or added behind valid checksums: the reader finds what the format's
    # checks taken one by one find first, or gives the same group
    original = FILES[key]
    body = sections(original)[index][1]
    raw = bytearray(zlib.decompress(body) if index == 0 else body)
    for _ in range(data.draw(st.integers(0, 3))):
        if raw:
            raw[data.draw(st.integers(0, len(raw) - 1))] = data.draw(
                st.sampled_from([0, 1, 3, 4, 0x7F, 0x80, 0xFF, data.draw(st.integers(0, 255))]))
    cut = data.draw(st.integers(0, len(raw)))
    raw = raw[:cut] if data.draw(st.booleans()) else raw + data.draw(st.binary(max_size=4))
    crafted = replace_section(original, index, zlib.compress(bytes(raw)) if index == 0 else bytes(raw))
    assert group_read(crafted) == reference_group(crafted)


@settings(max_examples=100, deadline=None)
@given(st.lists(st.tuples(st.sampled_from([0, 3, 4, 5]), st.integers(0, 5000), st.integers(1, 256)),
                max_size=12), st.integers(0, 2**32 - 1))
def test_shard_group_written_is_read_back(shards, seed):
    import orv_rans
    from orv import model
    rng = np.random.default_rng(seed)
    templates = model.templates()
    modes = np.array([m for m, _, _ in shards], np.uint8)
    counts = np.array([c for _, c, _ in shards], np.uint32)
    widths = np.array([w if m == 0 else 0 for m, _, w in shards], np.uint16)
    freq = np.zeros((len(shards), 256), np.uint64)
    for i, (m, _, w) in enumerate(shards):
        freq[i] = (np.pad(rng.multinomial(4096, np.full(w, 1 / w)), (0, 256 - w)) if m == 0 else
                   templates[m - 4] if m >= 4 else np.eye(256, dtype=np.uint64)[0] * 4096)
    states = rng.integers(2**31, 2**39, (len(shards), 4)).astype(np.uint64)
    lengths = rng.integers(0, 2**32, len(shards), dtype=np.uint64).astype(np.uint32)
    tables, states_raw, live = orv_rans._group_bytes(modes, counts, widths, freq, states, lengths)
    t = orv_rans._group_tables(tables, np.array([len(shards)], np.uint32), int(counts.sum()), templates)
    assert t[6] == 0 and t[0].tolist() == modes.tolist() and t[1].tolist() == counts.tolist()
    assert t[3].tolist() == freq.tolist()
    got = orv_rans._group_states(states_raw, t[1], t[0])
    assert got[5] == 0
    live = live.view(bool)
    assert live.tolist() == ((counts > 0) & (modes != 3)).tolist()
    assert got[0][live].tolist() == states[live].tolist() and (got[0][~live] == 2**31).all()
    assert got[1].tolist() == np.where(live, lengths, 0).tolist()


@settings(max_examples=80, deadline=None)
@given(st.data())
def test_random_damage_property(data):
    key = data.draw(st.sampled_from(list(FILES)))
    blob = bytearray(FILES[key])
    for _ in range(data.draw(st.integers(1, 4))):
        i = data.draw(st.integers(0, len(blob) - 1))
        blob[i] = data.draw(st.integers(0, 255))
    if bytes(blob) == FILES[key]:
        return
    assert_error_or_exact(bytes(blob), FILES[key])


def test_max_pixels_guard():
    data = FILES[("shard", (23, 31, 4))]
    assert orv.decode(data, max_pixels=23 * 31).shape == (23, 31, 4)
    with pytest.raises(orv.FormatError, match="max_pixels"):
        orv.decode(data, max_pixels=100)


def test_pillow_refuses_damaged_files(tmp_path):
    from PIL import Image

    data = bytearray(FILES[("shard", (12, 14, 3))])
    data[-3] ^= 0x10
    p = tmp_path / "bad.orv"
    p.write_bytes(bytes(data))
    with Image.open(p) as im:
        with pytest.raises((orv.FormatError, OSError)):
            im.load()


def test_class_map_checks():
    data = FILES[("shard e2", (40, 37, 3))]
    hdr, _ = fmt.read_header(data)
    assert hdr.class_map and len(hdr.class_map) == (2 * len(hdr.bounds) + 1) ** 2
    too_many = bytes([len(hdr.class_map)]) + hdr.class_map[1:]
    assert_format_error(with_header(data, map=bytes([1]) + too_many), "more shards than classes")
    # a different but valid map sends residuals to other shards: caught, never wrong pixels
    other = bytes(len(hdr.class_map))
    assert_error_or_exact(with_header(data, map=bytes([1]) + other), data)


@pytest.mark.parametrize("n", [0, 1, 15, 4096, 100_003])
def test_checksum_is_zlib_crc32_on_every_buffer_kind(n):
    """The codec's CRC-32 (ISA-L's where installed) gives zlib's numbers on
    bytes, memoryviews and arrays, so files stay readable by either."""
    from orv.checksum import crc32
    data = np.random.default_rng(n).integers(0, 256, n, dtype=np.uint8)
    for buf in (data.tobytes(), memoryview(data.tobytes())[1:], data, data.reshape(1, -1)):
        assert crc32(buf) == zlib.crc32(buf)
