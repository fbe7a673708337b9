"""Every instruction-set path of the image phases against the scalar one:
phase one, phase two and reconstruction give the same arrays on random,
photo-like and real images, with tables of every lookup form (folded by
columns or rows, with one key or several, unfoldable, and short tables that
fault), and the same faults with the same messages. The vector residual pass
works in steps of 32 samples, so the widths straddle them; wide chunks count
into counter copies, so some images are wide enough for that too."""
from __future__ import annotations

import numpy as np
import pytest

import orv_rans as o
from test_image_grid import photo_like, starts_of, structured_tables
from test_image_model import EMPTY, analyse, colour_planes, random_tables, shard_streams
from test_image_phases import expected_phase_one

PATHS = o._coder_simd_available()
VECTOR_PATHS = [p for p in PATHS if p != "scalar"]


@pytest.fixture(autouse=True)
def restore_path():
    before = o._coder_simd()
    yield
    o._coder_simd(before)


def phases_in_one_call(img, tables, K, sizes=None):
    """The front end's single call for both phases: what it gives in the
    order of phase one's results (planes, totals, histograms, starts,
    offsets, residual planes, alpha's), then the streams; or the fault message."""
    h, w = img.shape[:2]
    channels = 3 if img.ndim == 3 else 1
    streams = [np.zeros(h * w if sizes is None else sizes[c], np.uint8) for c in range(channels)]
    try:
        if channels == 3:
            r = o._p1_p2_rgb(h, w, img, EMPTY, False, K, *tables, *streams)
        else:
            r = o._p1_p2_gray(h, w, img, EMPTY, False, K, *tables, streams[0])
    except BaseException as e:
        assert type(e).__name__ == "PanicException", repr(e)
        return [str(e)]
    return [*r[0], *r[1:5], *r[5], r[6], *streams]


def all_results(img, tables, K):
    """Everything the three image functions give for an image, as arrays, or
    the fault message of the first call that faults. The single call of both
    phases must give the same (but for the statistics the front end does not
    read), or the same fault."""
    h, w = img.shape[:2]
    out = []
    fused = phases_in_one_call(img, tables, K)
    separate = []
    try:
        if img.ndim == 3:
            r = o.p1_rgb(h, w, img, EMPTY, False, K, *tables)
            out += [np.asarray(x) for x in r[:10]] + [np.asarray(x) for x in r[10]]
            separate = [*r[:3], *r[4:8], *r[10]]
            streams = [np.zeros(h * w, np.uint8) for _ in range(3)]
            o.p2_rgb(h, w, r[0], r[1], r[2], r[7], *streams, *tables)
            separate += streams
            starts = r[6]
        else:
            r = o.p1_gray(h, w, img, EMPTY, False, K, *tables)
            out += [np.asarray(x) for x in r[:7]] + [np.asarray(x) for x in r[7]]
            separate = [*r[:5], r[7][0], r[7][3]]
            streams = [np.zeros(h * w, np.uint8)] + [np.zeros(h * w, np.uint8)] * 2
            o.p2_gray(h, w, r[0], r[4], streams[0], *tables)
            separate.append(streams[0])
            starts = r[3]
        assert len(fused) == len(separate)
        for a, b in zip(fused, separate):
            np.testing.assert_array_equal(a, b)
        out += streams
        planes = o.reconstruct_shards_rgb(h, w, *streams, *starts, *tables)
        # the streams decode back to phase one's planes (a check of the
        # stores, which every path shares)
        for c in range(3 if img.ndim == 3 else 1):
            np.testing.assert_array_equal(planes[c], r[c][1:-1, 1:-1])
        out += list(planes)
    except BaseException as e:  # PanicException derives from BaseException
        assert type(e).__name__ == "PanicException", repr(e)
        out.append(str(e))
        if not separate:  # phase one faulted: the single call faults there too
            assert fused == [str(e)]
    return out


def assert_same_on_every_path(img, tables, K):
    o._coder_simd("scalar")
    want = all_results(img, tables, K)
    for p in VECTOR_PATHS:
        o._coder_simd(p)
        got = all_results(img, tables, K)
        assert len(got) == len(want), p
        for a, b in zip(got, want):
            if isinstance(b, str):
                assert a == b, p
            else:
                np.testing.assert_array_equal(a, b, err_msg=p)


def tables_of(kind, rng, K):
    if kind == "columns, one key":
        return structured_tables(rng, K, 11, 11, 1)
    if kind == "columns, keys":
        return structured_tables(rng, K, 7, 9, 4)
    if kind == "rows":
        return structured_tables(rng, K, 3, 200, 3)
    if kind == "unfolded":
        return random_tables(rng, K, rows=8)
    s, i, d = structured_tables(rng, K, 5, 7, 2)
    if kind == "short":  # the checked lookups, which fault on W - NW = 255
        return np.ascontiguousarray(s[:-1]), i, d
    d[rng.integers(0, len(d))] = K  # "too large": a context number at the limit
    return s, i, d


KINDS = ["columns, one key", "columns, keys", "rows", "unfolded", "short", "too large"]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("w", [1, 31, 32, 33, 95, 301])
@pytest.mark.parametrize("channels", [1, 3])
def test_paths_agree_on_random_and_photo_like_images(kind, w, channels):
    rng = np.random.default_rng(w * 7 + channels)
    K = int(rng.integers(2, 40))
    tables = tables_of(kind, rng, K)
    h = 9
    noise = rng.integers(0, 256, (h, w, channels) if channels == 3 else (h, w), dtype=np.uint8)
    assert_same_on_every_path(noise, tables, K)
    assert_same_on_every_path(photo_like(rng, h, w, channels), tables, K)
    if kind == "short":  # the extreme gradient: W = 255 with N = NW = 0 in row 0
        edge = np.zeros((2, w, channels) if channels == 3 else (2, w), np.uint8)
        edge[0, 0] = 255
        assert_same_on_every_path(edge, tables, K)


@pytest.mark.parametrize("path", PATHS)
def test_counter_copies_match_the_model(path):
    """Few shards and wide rows: every chunk counts into counter copies, and
    their sums are the model's counts, on every path."""
    rng = np.random.default_rng(len(path))
    K = 2
    tables = structured_tables(rng, K, 7, 9, 4)
    rgb = photo_like(rng, 40, 2001, 3)
    o._coder_simd(path)
    r = o.p1_rgb(40, 2001, rgb, EMPTY, False, K, *tables)
    planes = colour_planes(rgb)
    _, totals, hist, starts, offsets, zeros, err = expected_phase_one(planes, tables, K)
    for got, want in zip(r[4:10], (totals, hist, starts, offsets, zeros, err)):
        np.testing.assert_array_equal(got, want)
    for c in range(3):
        assert r[3][c].tolist() == np.bincount(planes[c].reshape(-1), minlength=256).tolist()
    assert_same_on_every_path(rgb, tables, K)
    assert_same_on_every_path(np.ascontiguousarray(rgb[..., 0]), tables, K)


def test_paths_agree_on_a_real_photo():
    corpus = pytest.importorskip("orv.bench")
    flower = corpus.flower()
    if flower is None:
        pytest.skip("the benchmark photos are not installed")
    img = np.ascontiguousarray(corpus.load_image(flower)[:200, :700, :3])
    from orv import model

    tables = model.luts((2, 6, 14, 30))
    K = model.n_classes((2, 6, 14, 30))
    assert_same_on_every_path(img, tables, K)
    assert_same_on_every_path(np.ascontiguousarray(img[..., 1]), tables, K)


def gradient_tables(rng, K, cuts_a, cuts_b, keys=1):
    """s_lut[a, b] = one class per pair of quantised differences W - NW and
    N - NW (a class of d counts the cuts at or below d), as in the front end's
    tables; context numbers below K."""
    d = np.arange(511) - 255
    qa = np.searchsorted(np.sort(cuts_a), d, side="right")
    qb = np.searchsorted(np.sort(cuts_b), d, side="right")
    s_lut = (qa[:, None] * (qb.max() + 1) + qb[None, :]).astype(np.uint8)
    i_lut = rng.choice(4, keys, replace=False)[rng.integers(0, keys, 256)].astype(np.uint8)
    d_lut = rng.integers(0, K, (int(s_lut.max()) + 1, 4), dtype=np.uint8)
    return s_lut, i_lut, d_lut


BOUNDS = [-24, -12, -6, -3, -2, -1, 1, 2, 3, 6, 12, 24]


# Vector paths may look the classes up on differences clamped to -128..127
# and in tables of at most 16 classes: cuts up to the clamp and 16 classes
# allow it; a cut beyond the clamp, 17 classes or two keys do not.
@pytest.mark.parametrize("cuts_a, cuts_b, keys", [
    (BOUNDS, BOUNDS, 1),
    (BOUNDS, [-127, -40, 0, 127], 1),
    (list(range(-120, 121, 16)), [0], 1),      # 16 classes
    (list(range(-120, 121, 16)) + [125], [0], 1),  # 17
    ([-128, 0], BOUNDS, 1),
    (BOUNDS, [5, 128], 1),
    (BOUNDS, BOUNDS, 2),
])
@pytest.mark.parametrize("channels", [1, 3])
def test_paths_agree_on_gradient_tables(cuts_a, cuts_b, keys, channels):
    rng = np.random.default_rng(len(cuts_a) * 31 + len(cuts_b) + keys + channels)
    K = int(rng.integers(2, 60))
    tables = gradient_tables(rng, K, cuts_a, cuts_b, keys)
    for w in (1, 64, 130):
        shape = (7, w, channels) if channels == 3 else (7, w)
        assert_same_on_every_path(rng.integers(0, 256, shape, dtype=np.uint8), tables, K)
        assert_same_on_every_path(photo_like(rng, 7, w, channels), tables, K)
        # the largest differences: rows and columns of 0 and 255 in turn
        stripes = (np.indices(shape[:2]).sum(axis=0) % 2 * 255).astype(np.uint8)
        if channels == 3:
            stripes = np.repeat(stripes[..., None], 3, axis=2)
        assert_same_on_every_path(stripes, tables, K)


@pytest.mark.parametrize("seed", range(8))
def test_paths_agree_on_random_gradient_tables(seed):
    """Random cuts near the clamp and up to 17 classes a side: whether or not
    a vector path may take the tables, every path gives the same results."""
    rng = np.random.default_rng(100 + seed)
    cuts = [sorted(set(rng.integers(-132, 133, rng.integers(1, 17)).tolist())) for _ in range(2)]
    K = int(rng.integers(2, 80))
    tables = gradient_tables(rng, K, cuts[0], cuts[1])
    w = int(rng.integers(60, 200))
    for img in (rng.integers(0, 256, (5, w, 3), dtype=np.uint8), photo_like(rng, 5, w, 1)):
        assert_same_on_every_path(img, tables, K)


@pytest.mark.parametrize("fn", ["p2_rgb", "p2_gray"])
def test_phase_two_faults_alike_on_short_streams(fn):
    """Streams one byte short: a position outside a stream faults with the
    message of the sample order on every path."""
    h, w, K = 6, 300, 5
    tables = structured_tables(np.random.default_rng(5), K, 7, 9, 1)
    results = {}
    for p in PATHS:
        o._coder_simd(p)
        if fn == "p2_rgb":
            img = photo_like(np.random.default_rng(1), h, w, 3)
            r = o.p1_rgb(h, w, img, EMPTY, False, K, *tables)
            streams = [np.zeros(h * w - 1, np.uint8) for _ in range(3)]
            args = (h, w, r[0], r[1], r[2], r[7], *streams, *tables)
        else:
            img = photo_like(np.random.default_rng(1), h, w, 1)
            r = o.p1_gray(h, w, img, EMPTY, False, K, *tables)
            streams = [np.zeros(h * w - 1, np.uint8)]
            args = (h, w, r[0], r[4], streams[0], *tables)
        try:
            getattr(o, fn)(*args)
            results[p] = None
        except BaseException as e:
            assert type(e).__name__ == "PanicException", repr(e)
            results[p] = str(e)
    assert results["scalar"] is not None
    assert all(m == results["scalar"] for m in results.values()), results



def first_fault(ks, starts, lens):
    """The fault of rebuilding the planes one after the other from streams of
    the given lengths: the first sample, in plane order then scan order, whose
    shard cursor lies at or past its stream's end; None when there is none."""
    for k, start, n in zip(ks, starts, lens):
        cur = [int(v) for v in start]
        for c in k.reshape(-1).tolist():
            if cur[c] >= n:
                return f"index out of bounds: the len is {n} but the index is {cur[c]}"
            cur[c] += 1
    return None


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("kind", ["columns, one key", "columns, keys", "rows", "unfolded"])
@pytest.mark.parametrize("channels", [1, 3])
@pytest.mark.parametrize("image", ["photo", "flat"])
def test_reconstruction_faults_where_plane_after_plane_does(path, kind, channels, image):
    """Streams cut short by a few bytes, by about a row and by several rows,
    in each channel: the colour loop (green a row ahead of the chroma planes)
    and the green-only loop skip the cursor tests only on rows whose cursors
    cannot reach a stream's end, so they give the planes or the fault that
    rebuilding plane after plane gives, on every path and at every cut. A
    flat image puts every sample of a plane into one shard, whose cursor
    then meets the stream's end exactly at a row's end."""
    rng = np.random.default_rng(len(kind) * 10 + channels)
    K = int(rng.integers(3, 30))
    tables = tables_of(kind, rng, K)
    h, w = 7, 97
    img = photo_like(rng, h, w, 3) if image == "photo" else np.full((h, w, 3), 9, np.uint8)
    planes = colour_planes(img) if channels == 3 else [img[..., 1]]
    an = analyse(planes, tables)
    streams = shard_streams(an)
    ks = [k for _, _, k in an]
    starts = [starts_of(k, K) for k in ks]
    n = h * w
    if channels == 1:  # a gray image: zero chroma streams and offsets
        streams += [np.zeros(n, np.uint8)] * 2
        starts += [np.zeros(K, np.uint32)] * 2
    o._coder_simd(path)
    for c in range(channels):
        for cut in (0, 1, 2, w - 1, w, w + 1, 3 * w):
            cut_streams = list(streams)
            cut_streams[c] = np.ascontiguousarray(streams[c][: n - cut])
            lens = [len(s) for s in cut_streams[:channels]]
            want = first_fault(ks, starts, lens)
            try:
                got = o.reconstruct_shards_rgb(h, w, *cut_streams, *starts, *tables)
            except BaseException as e:
                assert type(e).__name__ == "PanicException", repr(e)
                assert str(e) == want, (c, cut)
                continue
            assert want is None, (c, cut)
            for p, plane in zip(got, planes):
                np.testing.assert_array_equal(p, plane)


@pytest.mark.parametrize("path", PATHS)
def test_reconstruction_of_a_wide_real_photo_on_every_path(path):
    """A real photo wider than a block, its streams whole and one byte short."""
    corpus = pytest.importorskip("orv.bench")
    flower = corpus.flower()
    if flower is None:
        pytest.skip("the benchmark photos are not installed")
    img = np.ascontiguousarray(corpus.load_image(flower)[:48, :, :3])
    from orv import model

    bounds = (2, 6, 14, 30)
    tables, K = model.luts(bounds), model.n_classes(bounds)
    h, w = img.shape[:2]
    o._coder_simd(path)
    r = o.p1_rgb(h, w, img, EMPTY, False, K, *tables)
    streams = [np.zeros(h * w, np.uint8) for _ in range(3)]
    o.p2_rgb(h, w, r[0], r[1], r[2], r[7], *streams, *tables)
    for got, want in zip(o.reconstruct_shards_rgb(h, w, *streams, *r[6], *tables), colour_planes(img)):
        np.testing.assert_array_equal(got, want)
    ks = [k for _, _, k in analyse(colour_planes(img), tables)]
    for c in range(3):
        cut = list(streams)
        cut[c] = np.ascontiguousarray(streams[c][:-1])
        want = first_fault(ks, r[6], [len(s) for s in cut])
        msg = None
        try:
            o.reconstruct_shards_rgb(h, w, *cut, *r[6], *tables)
        except BaseException as e:
            assert type(e).__name__ == "PanicException", repr(e)
            msg = str(e)
        assert msg == want


@pytest.mark.parametrize("path", VECTOR_PATHS)
@pytest.mark.parametrize("h,w", [(1, 1), (2, 15), (3, 16), (4, 17), (5, 47), (9, 100)])
def test_restore_channels_agrees_with_the_scalar_path(path, h, w):
    """Every mode (gray, add green, copy) and both pixel layouts, on widths
    around the vector step, with a pixel loop for the rest."""
    rng = np.random.default_rng(h * 1000 + w)
    g, rd, bd, a = (rng.integers(0, 256, (h, w), dtype=np.uint8) for _ in range(4))
    for rgba in (False, True):
        for gray, gsub in ((True, False), (False, True), (False, False)):
            args = (g, rd, bd, a if rgba else EMPTY, rgba, gray, gsub)
            o._coder_simd("scalar")
            expected = o.restore_channels(*args)
            o._coder_simd(path)
            np.testing.assert_array_equal(o.restore_channels(*args), expected)


@pytest.mark.parametrize("w", [1, 2, 33, 97, 4200])
def test_alpha_residuals_alike_on_every_path(w):
    """Alpha goes through the residual pass of each path after a row's first
    sample, in blocks (4200 straddles one): every path gives the model's
    residuals, zero count and error sum."""
    from test_image_phases import alpha_model

    rng = np.random.default_rng(w)
    h, K = 4, 5
    rgb = photo_like(rng, h, w, 3)
    a = np.ascontiguousarray(photo_like(rng, h, w, 3)[:, :, 1])
    a[1, : w // 2] = 255  # a flat run
    z, zeros, err = alpha_model(a)
    tables = structured_tables(rng, K, 5, 7, 1)
    for p in PATHS:
        o._coder_simd(p)
        r = o.p1_rgb(h, w, rgb, a, True, K, *tables)
        np.testing.assert_array_equal(r[10][3], z, err_msg=p)
        assert r[11] == (zeros, err), p


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("channels", [1, 3])
def test_one_call_with_short_or_long_streams(path, channels):
    """Streams of other lengths than h * w: a short one faults where phase two
    faults on it (the single call then stores as phase two does), a longer
    one takes the same residuals with its tail untouched."""
    o._coder_simd(path)
    rng = np.random.default_rng(channels)
    K = 12
    tables = structured_tables(rng, K, 7, 9, 4)
    img = photo_like(rng, 20, 70, channels)
    h, w = img.shape[:2]
    r = (o.p1_rgb if channels == 3 else o.p1_gray)(h, w, img, EMPTY, False, K, *tables)
    planes, offsets = (r[:3], r[7]) if channels == 3 else (r[:1], r[4])
    for short in sorted({0, channels - 1}):
        sizes = [h * w] * channels
        sizes[short] = h * w - 5
        streams = [np.zeros(n, np.uint8) for n in sizes]
        with pytest.raises(BaseException) as separate:
            (o.p2_rgb if channels == 3 else o.p2_gray)(h, w, *planes, offsets, *streams, *tables)
        assert phases_in_one_call(img, tables, K, sizes) == [str(separate.value)]
    longer = phases_in_one_call(img, tables, K, [h * w + 9] * channels)
    exact = phases_in_one_call(img, tables, K)
    for a, b in zip(longer[-channels:], exact[-channels:]):
        np.testing.assert_array_equal(a[:h * w], b)
        assert not a[h * w:].any()


@pytest.mark.parametrize("workers", [2, 3])
def test_single_call_on_tall_images_with_several_workers(run_python, workers):
    """Images of several row blocks (an odd and an even count), whose blocks
    the workers take in an order of their own: the single call's streams and
    results are phase one's and phase two's."""
    out = run_python(f"""
        import sys
        sys.path.insert(0, {str(__import__("pathlib").Path(__file__).parent)!r})
        import numpy as np
        import orv_rans as o
        from test_image_grid import photo_like, structured_tables
        from test_image_model import EMPTY
        rng = np.random.default_rng(5)
        for h, channels in ((1100, 3), (1300, 1), (1300, 3)):
            w, K = 64, 23
            tables = structured_tables(rng, K, 7, 9, 4)
            img = photo_like(rng, h, w, channels)
            streams = [np.zeros(h * w, np.uint8) for _ in range(channels)]
            sep = [np.zeros(h * w, np.uint8) for _ in range(channels)]
            if channels == 3:
                r = o._p1_p2_rgb(h, w, img, EMPTY, False, K, *tables, *streams)
                p = o.p1_rgb(h, w, img, EMPTY, False, K, *tables)
                o.p2_rgb(h, w, p[0], p[1], p[2], p[7], *sep, *tables)
                pairs = [(r[1], p[4]), (r[2], p[5]), (r[3], p[6]), (r[4], p[7])]
            else:
                r = o._p1_p2_gray(h, w, img, EMPTY, False, K, *tables, streams[0])
                p = o.p1_gray(h, w, img, EMPTY, False, K, *tables)
                o.p2_gray(h, w, p[0], p[4], sep[0], *tables)
                pairs = [(r[1], p[1]), (r[2], p[2]), (r[3], p[3]), (r[4], p[4])]
            pairs += list(zip(streams, sep))
            assert all(np.array_equal(a, b) for a, b in pairs), (h, channels)
        print("ok")
        """, env={"RAYON_NUM_THREADS": str(workers)})
    assert out.strip() == "ok"
