"""Workloads whose results must not depend on the pool size, each reduced to a
digest. test_determinism.py runs them in processes with pools of different
sizes, together with every function on generated inputs; each workload
targets a split the generated inputs rarely reach (many shards of mixed
sizes, a fault in the middle rows, a shard much larger than the others)."""
from __future__ import annotations

import hashlib

import numpy as np
import orv_rans as o


def _digest(*arrays, extra: str = "") -> str:
    h = hashlib.sha256()
    for a in arrays:
        h.update(np.ascontiguousarray(a).tobytes())
    h.update(extra.encode())
    return h.hexdigest()


def _fault(fn, *args) -> str:
    try:
        fn(*args)
    except BaseException as e:  # PanicException derives from BaseException
        return f"{type(e).__name__}: {e}"
    raise AssertionError("the call did not fault")


def shard_coder() -> str:
    """300 shards of 0-9000 symbols through encode, pack and decode, and the
    first of two bad shards reported."""
    from test_coder import decode_payload, encode, pack
    from test_coder_props import normalise

    rng = np.random.default_rng(11)
    data = [rng.integers(0, 1 + k % 200, k * 37 % 9000, dtype=np.uint8) for k in range(300)]
    freqs = np.array([normalise(np.bincount(d, minlength=256) + (d.size == 0)) for d in data])
    enc = encode(data, freqs)
    dec, consumed = decode_payload(pack(enc), [len(d) for d in data], freqs)
    bad = [d.copy() for d in data]
    bad[250][:] = 0
    bad[250][-1:] = 255
    bad[77] = np.full(5, 255, np.uint8)
    return _digest(*enc, dec, extra=f"{consumed} {_fault(encode, bad, freqs)}")


def shard_tables() -> str:
    """Histograms of 41 overlapping shards, one much larger than the rest."""
    rng = np.random.default_rng(7)
    data = np.minimum(rng.geometric(0.2, 1_500_000) - 1, 255).astype(np.uint8)
    cuts = np.sort(rng.choice(len(data), 40, replace=False)).astype(np.uint32)
    offsets = np.concatenate([[0], cuts]).astype(np.uint32)
    lengths = np.diff(np.concatenate([offsets, [len(data)]])).astype(np.uint32)
    lengths[3] = 600_000
    widths = rng.integers(0, 300, len(lengths)).astype(np.uint16)
    templates = rng.integers(1, 40, (5, 256)).astype(np.uint64)
    out = []
    for disable in (False, True):
        out += o.build_pdf_tables_from_shards(data, offsets, lengths, widths, templates, disable)
    return _digest(*out)


def image_chain() -> str:
    """Both phases, reconstruction and restoration of an RGBA image with random
    context tables."""
    from test_image_model import random_tables

    rng = np.random.default_rng(5)
    h, w, K = 203, 157, 24
    y, x = np.mgrid[0:h, 0:w]
    img = np.stack([(x + y) % 256, (3 * x) % 256, rng.integers(0, 256, (h, w))], axis=-1).astype(np.uint8)
    a = rng.integers(0, 256, (h, w), dtype=np.uint8)
    tables = random_tables(rng, K)
    r = o.p1_rgb(h, w, img, a, True, K, *tables)
    streams = [np.zeros(h * w, np.uint8) for _ in range(3)]
    o.p2_rgb(h, w, r[0], r[1], r[2], r[7], *streams, *tables)
    g = o.p1_gray(h, w, img[..., 0].copy(), a, True, K, *tables)
    planes = o.reconstruct_shards_rgb(h, w, *streams, *r[6], *tables)
    out = o.restore_channels(*planes, a, True, False, True)
    assert (out[..., :3] == img).all() and (out[..., 3] == a).all()
    return _digest(*r[:10], *r[10], *streams, *g[:7], *g[7], out, extra=repr(r[11]))


def bitpair_coder() -> str:
    """Pair tables of all three channels in one pass and one by one, the
    encoder, and a plane cut short in its middle rows."""
    from test_bitpair_reference import image_luts, residual_plane, smooth_image

    rng = np.random.default_rng(1)
    h, w = 301, 97
    luts = image_luts(4)
    n_ctx = 64 * 16
    green, gr = residual_plane(smooth_image(rng, h, w, noise=4))
    rd = residual_plane(smooth_image(rng, h, w, noise=9))[1]
    bd = residual_plane(rng.integers(0, 256, (h, w), dtype=np.uint8))[1]
    rgb = o.bp_build_pdf_sharded_rgb(gr.ravel(), rd.ravel(), bd.ravel(), green.ravel(), *luts, h, w, n_ctx)
    singles = []
    for r, chroma in ((gr, False), (rd, True), (bd, True)):
        singles += o.bp_build_pdf_sharded(r.ravel(), green.ravel(), *luts, h, w, n_ctx, chroma)
    assert all(np.array_equal(a, b) for a, b in zip(rgb, singles)), "rgb != singles"
    st, bs = o.bp_encode_sharded(gr.ravel(), green.ravel(), rgb[1], rgb[0], *luts, h, w, n_ctx, False)
    short = gr.ravel()[: 150 * (w + 2)]
    fault = _fault(o.bp_build_pdf_sharded, short, green.ravel(), *luts, h, w, n_ctx, False)
    return _digest(*rgb, st, bs, extra=fault)


def orv_encode() -> str:
    """The front end's whole encoder on an RGBA image."""
    import orv
    from test_orv import make

    return _digest(np.frombuffer(orv.encode(make("photo", (97, 131, 4))), np.uint8))


WORKLOADS = {f.__name__: f for f in (shard_coder, shard_tables, image_chain, bitpair_coder, orv_encode)}
