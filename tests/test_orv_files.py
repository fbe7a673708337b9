"""Image files as the command line reads and writes them (orv.files, orv.output),
in-process: nothing is lost, cut or changed without being refused."""
import io
import os
import struct
import zlib

import numpy as np
import pytest
from PIL import Image, ImageCms

import orv
from orv import files
from orv.imageio import from_pillow
from orv.output import Aborted, Outputs

rng = np.random.default_rng(12)
RGBA = rng.integers(0, 256, (9, 11, 4), dtype=np.uint8)
RGBA[::2, :, 3] = 0                       # colour under zero alpha must survive too
IMAGES = {"L": RGBA[:, :, 0].copy(), "RGB": RGBA[:, :, :3].copy(), "RGBA": RGBA}


def png(w, h, colour_type, depth, rows, trns=None):
    def chunk(t, d):
        return struct.pack(">I", len(d)) + t + d + struct.pack(">I", zlib.crc32(t + d))
    body = chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, depth, colour_type, 0, 0, 0))
    body += chunk(b"tRNS", trns) if trns else b""
    raw = b"".join(b"\0" + r for r in rows)
    return b"\x89PNG\r\n\x1a\n" + body + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b"")


def wide_files():
    """Files whose samples are wider than 8 bits, some of which Pillow opens as 8-bit RGB(A)."""
    import imagecodecs
    out = {}
    for ct, ch in ((0, 1), (2, 3), (4, 2), (6, 4)):
        a = (np.arange(5 * 3 * ch, dtype=">u2") * 997).reshape(5, 3 * ch)
        out[f"png16-{ch}"] = png(3, 5, ct, 16, [r.tobytes() for r in a])
    for dtype, ch in ((np.uint16, 3), (np.uint16, 4), (np.int32, 1), (np.float32, 1)):
        out[f"tiff-{np.dtype(dtype).name}-{ch}"] = imagecodecs.tiff_encode(
            np.full((4, 3, ch) if ch > 1 else (4, 3), 1000, dtype))
    out["ppm16"] = b"P6 3 2 65535\n" + np.full((2, 3, 3), 1000, ">u2").tobytes()
    return out


@pytest.mark.parametrize("kind", sorted(wide_files()))
def test_wide_samples_are_refused_with_one_message(kind):
    with pytest.raises(orv.SampleDepthError) as e:
        files.load_image(wide_files()[kind], kind)
    with pytest.raises(orv.SampleDepthError) as ref:
        from_pillow(Image.new("I;16", (1, 1)))
    tail = str(ref.value).removeprefix("a Pillow image of mode I;16")  # the one message's text
    assert str(e.value).startswith(kind) and str(e.value).endswith(tail)


@pytest.mark.parametrize("colour_type, key, rows", [
    (2, struct.pack(">HHH", 1, 2, 3), [bytes([1, 2, 3, 4, 5, 6]), bytes([1, 2, 3, 1, 2, 3])]),
    (0, struct.pack(">H", 7), [bytes([7, 8]), bytes([9, 7])])])
def test_a_colour_key_becomes_alpha(colour_type, key, rows):
    data = png(2, 2, colour_type, 8, rows, trns=key)
    img = files.load_image(data, "keyed.png")
    assert img.pixels.shape == (2, 2, 4)
    with Image.open(io.BytesIO(data)) as im:
        np.testing.assert_array_equal(img.pixels, np.asarray(im.convert("RGBA")))
    assert sorted(set(img.pixels[:, :, 3].ravel())) == [0, 255]


@pytest.mark.parametrize("fmt", ["GIF", "PNG", "TIFF"])
def test_every_frame_is_read(fmt):
    frames = [rng.integers(0, 256, (6, 7, 3), dtype=np.uint8) for _ in range(3)]
    if fmt == "GIF":    # GIF frames hold a palette: keep to one of them
        frames = [np.asarray(Image.fromarray(f).quantize(16).convert("RGB")) for f in frames]
    if fmt != "GIF":                       # (Pillow's GIF writer merges equal frames)
        frames[2] = frames[1]              # equal frames stay two frames
    buf = io.BytesIO()
    Image.fromarray(frames[0]).save(buf, fmt, save_all=True,
                                    append_images=[Image.fromarray(f) for f in frames[1:]])
    img = files.load_image(buf.getvalue(), "anim")
    assert img.frames == 3
    np.testing.assert_array_equal(img.pixels[..., :3], np.stack(frames))
    with pytest.raises(ValueError, match="3 frames"):
        files.load_image(buf.getvalue(), "anim", frames=False)
    for out in ("TIFF", "PNG"):
        back = files.image_bytes(files.Decoded(img.pixels, 3), out).data
        np.testing.assert_array_equal(files.load_image(back, "back").pixels, img.pixels)


@pytest.mark.parametrize("fmt, modes", sorted(files._EXACT.items()))
def test_formats_taken_as_exact_give_every_value_back(fmt, modes):
    for mode in modes:
        data = files.image_bytes(files.Decoded(IMAGES[mode], 1), fmt).data
        assert files._reads_back(data, IMAGES[mode], 1), (fmt, mode)


@pytest.mark.parametrize("fmt, mode", [("GIF", "RGB"), ("JPEG", "L"), ("PDF", "RGB"),
                                       ("BMP", "RGBA"), ("PPM", "RGBA"), ("SPIDER", "RGB")])
def test_lossy_formats_are_refused_unless_allowed(fmt, mode):
    dec = files.Decoded(IMAGES[mode], 1)
    with pytest.raises(ValueError, match="--allow-lossy"):
        files.image_bytes(dec, fmt)
    assert files.image_bytes(dec, fmt, allow_lossy=True).lossy


def test_metadata_is_written_where_the_format_holds_it():
    icc = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
    exif = Image.Exif()
    exif[0x0112] = 6
    xmp = b'<x:xmpmeta xmlns:x="adobe:ns:meta/"></x:xmpmeta>'
    dec = files.Decoded(IMAGES["RGB"], 1, None, icc, exif.tobytes(), xmp)
    for fmt in ("PNG", "TIFF", "WEBP", "JPEG"):
        data = files.image_bytes(dec, fmt, allow_lossy=True).data
        with Image.open(io.BytesIO(data)) as im:
            assert im.info["icc_profile"] == icc and im.getexif()[0x0112] == 6, fmt
            assert xmp in (im.info.get("xmp") or b""), fmt
        assert from_pillow(Image.open(io.BytesIO(data))).icc_profile == icc
    with pytest.raises(ValueError, match="ICC profile and EXIF and XMP.*--strip-metadata"):
        files.image_bytes(dec, "BMP")
    assert files.image_bytes(dec, "BMP", strip_metadata=True).data[:2] == b"BM"


def test_outputs_never_replace_an_input_and_leave_no_temporary_file(tmp_path):
    src = tmp_path / "in.png"
    src.write_bytes(b"input")
    os.link(src, tmp_path / "alias.orv")
    out = Outputs(force=True, inputs=[src])
    for target in (src, tmp_path / "alias.orv"):
        with pytest.raises(ValueError, match="never writes over its input"):
            out.write(target, b"x")
    (tmp_path / "old.orv").write_bytes(b"old")
    with pytest.raises(FileExistsError, match="--force"):
        Outputs(inputs=[src]).write(tmp_path / "old.orv", b"new")
    out.write(tmp_path / "old.orv", b"new")
    out.write(tmp_path / "sub" / "new.orv", b"abc")
    assert (tmp_path / "old.orv").read_bytes() == b"new" and src.read_bytes() == b"input"
    assert oct((tmp_path / "sub" / "new.orv").stat().st_mode & 0o777) == oct(files_mode())
    out.abort()
    with pytest.raises(Aborted):
        out.write(tmp_path / "late.orv", b"x")
    assert sorted(p.name for p in tmp_path.rglob("*")) == [
        "alias.orv", "in.png", "new.orv", "old.orv", "sub"]


def files_mode():
    mask = os.umask(0)
    os.umask(mask)
    return 0o666 & ~mask
