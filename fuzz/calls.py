"""Calls reduced to digests, for comparing runs: under several pool sizes,
from many threads at once, in a forked child."""
from __future__ import annotations

import hashlib

import numpy as np

import orv_rans
from fuzz.cases import FILLED, FUNCS, realise_case, valid_case

U8, U32, U64 = np.uint8, np.uint32, np.uint64


def _feed(h, r) -> None:
    if isinstance(r, np.ndarray):
        h.update(f"a{r.dtype}{r.shape}".encode())
        h.update(np.ascontiguousarray(r).tobytes())
    elif isinstance(r, tuple):
        h.update(f"t{len(r)}".encode())
        for x in r:
            _feed(h, x)
    else:
        h.update(repr(r).encode())


def digest(fn: str, kwargs: dict) -> str:
    """Digest of the result and of the arrays filled in place; a failure
    counts by its type (which of two faults a parallel loop meets first may
    depend on scheduling, so its message is left out)."""
    kwargs = {k: (v.copy() if k in FILLED[fn] and isinstance(v, np.ndarray) else v)
              for k, v in kwargs.items()}
    try:
        r = getattr(orv_rans, fn)(**kwargs)
    except BaseException as e:  # noqa: BLE001
        return type(e).__name__
    h = hashlib.sha256()
    _feed(h, r)
    for k in sorted(FILLED[fn]):
        _feed(h, kwargs[k])
    return h.hexdigest()[:24]


def valid_kwargs(fn: str, seed: int) -> dict:
    """Valid arguments (plain C-ordered arrays); NotImplementedError if a
    function they are made with is not built yet."""
    case = valid_case(fn, np.random.default_rng([seed, 7919]))
    kwargs, _, _ = realise_case(case)
    return {k: (np.array(v) if isinstance(v, np.ndarray) else v) for k, v in kwargs.items()}


def context_tables(seed: int = 1, classes: int = 6, shards: int = 8):
    """Deterministic context tables with a smooth gradient-to-class map."""
    rng = np.random.default_rng(seed)
    g = np.abs(np.arange(511) - 255)
    grad = (g[:, None] + g[None, :])
    s = np.minimum(grad // 24, classes - 1).astype(U8)
    i = np.minimum(np.arange(256) // 64, 3).astype(U8)
    d = rng.integers(0, shards, (classes, 4)).astype(U8)
    return s, i, d, shards


def pipeline(img: np.ndarray) -> dict[str, str]:
    """Every step of coding and decoding a real RGB image, as digests."""
    out: dict[str, str] = {}

    def step(name, f):
        try:
            r = f()
        except NotImplementedError:
            out[name] = "NotImplementedError"
            raise
        h = hashlib.sha256()
        _feed(h, r)
        out[name] = h.hexdigest()[:24]
        return r

    s, i, d, k = context_tables()
    h, w = img.shape[:2]
    try:
        p1 = step("p1_rgb", lambda: orv_rans.p1_rgb(h, w, img, np.zeros((0, 0), U8), False, k, s, i, d))
        step("p1_gray", lambda: orv_rans.p1_gray(h, w, np.ascontiguousarray(img[..., 1]),
                                                 np.ascontiguousarray(img[..., 0]), True, k, s, i, d))
        streams = [np.zeros(h * w, U8) for _ in range(3)]
        step("p2_rgb", lambda: (orv_rans.p2_rgb(h, w, p1[0], p1[1], p1[2], p1[7], *streams, s, i, d),
                                tuple(streams))[1])
        totals, starts = p1[4], p1[6]
        widths = np.full(k, 256, np.uint16)
        tmpl = np.tile(np.full(256, 16, U64), (2, 1))
        payloads = []
        for c in range(3):
            t = step(f"build_pdf_tables_from_shards[{c}]", lambda: orv_rans.build_pdf_tables_from_shards(
                streams[c], starts[c], totals[c], widths, tmpl, False))
            e = step(f"rans_encode_shards_parallel[{c}]", lambda: orv_rans.rans_encode_shards_parallel(
                streams[c], starts[c], totals[c], t[0], t[1], 2**31))
            write = np.concatenate([[0], np.cumsum(36 + e[3].astype(np.int64))[:-1]]).astype(U32)
            payload = np.zeros(int(np.sum(36 + e[3].astype(np.int64))), U8)
            orv_rans.pack_shard_payloads(e[0], e[3], e[2], e[1], payload, write)
            lookups = step(f"build_all_lookups[{c}]",
                           lambda: orv_rans.build_all_lookups(t[0].reshape(1, k, 257))).reshape(k, 4096)
            dec = step(f"rans_decode_shards_parallel[{c}]", lambda: orv_rans.rans_decode_shards_parallel(
                payload, totals[c], t[0], t[1], lookups))
            payloads.append(dec[0])
        rec = step("reconstruct_shards_rgb", lambda: orv_rans.reconstruct_shards_rgb(
            h, w, *payloads, starts[0], starts[1], starts[2], s, i, d))
        step("restore_channels", lambda: orv_rans.restore_channels(rec[0], rec[1], rec[2],
                                                                   np.zeros((0, 0), U8), False, False, True))
        planes = p1[10]
        sf, sl, dl = s.reshape(-1), i, d.reshape(-1)
        n_ctx = 64 * k
        step("bp_build_pdf_sharded_rgb", lambda: orv_rans.bp_build_pdf_sharded_rgb(
            planes[0].reshape(-1), planes[1].reshape(-1), planes[2].reshape(-1), p1[0].reshape(-1),
            sf, sl, dl, h, w, n_ctx))
        bp = step("bp_build_pdf_sharded", lambda: orv_rans.bp_build_pdf_sharded(
            planes[0].reshape(-1), p1[0].reshape(-1), sf, sl, dl, h, w, n_ctx, False))
        enc = step("bp_encode_sharded", lambda: orv_rans.bp_encode_sharded(
            planes[0].reshape(-1), p1[0].reshape(-1), bp[1], bp[0], sf, sl, dl, h, w, n_ctx, False))
        st = [int(x) for x in enc[0]]
        step("bp_decode_sharded", lambda: orv_rans.bp_decode_sharded(enc[1], *st, h, w, bp[1], bp[0], sf, sl, dl))
    except NotImplementedError:
        pass
    return out


def real_images(limit: int = 3, side: int = 384) -> list[tuple[str, np.ndarray]]:
    """A few real RGB photos of the benchmark corpus, cropped; [] without it."""
    try:
        import sys
        from pathlib import Path

        sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))
        import corpus

        paths = corpus.photo_paths()
    except (ImportError, SystemExit):
        return []
    images = []
    for p in paths:
        try:
            px = corpus._load(p)
        except Exception:  # noqa: BLE001 - an unreadable file is skipped
            continue
        if px.ndim == 3 and px.shape[2] == 3:
            images.append((p.name, np.ascontiguousarray(px[:side, :side])))
        if len(images) == limit:
            break
    return images


__all__ = ["digest", "valid_kwargs", "pipeline", "real_images", "FUNCS"]
