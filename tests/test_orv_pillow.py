"""Pillow and orv: exact pixels (colour keys, palettes, frames), metadata in
im.info, refusals of what orv cannot keep, and damaged files as OSError."""
import io
import struct
import zlib

import numpy as np
import pytest
from PIL import Image, ImageSequence

import orv
from orv.imageio import PillowImage, from_pillow, save_options, to_pillow

RNG = np.random.default_rng(5)
PIXELS = RNG.integers(0, 4, (7, 9, 3)).astype(np.uint8) * 60


def reopen(im, fmt="PNG", **options) -> Image.Image:
    buf = io.BytesIO()
    im.save(buf, fmt, **options)
    buf.seek(0)
    return Image.open(buf)


def png16(arr: np.ndarray, colour_type: int) -> bytes:
    """A 16-bit PNG (Pillow writes none of colour type 2 or 6)."""
    h, w = arr.shape[:2]
    raw = b"".join(b"\0" + row.astype(">u2").tobytes() for row in arr)

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    ihdr = struct.pack(">IIBBBBB", w, h, 16, colour_type, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(raw))
            + chunk(b"IEND", b""))


KEYED = {
    "RGB key": lambda: reopen(Image.fromarray(PIXELS), transparency=tuple(PIXELS[0, 0].tolist())),
    "L key": lambda: reopen(Image.fromarray(PIXELS[..., 0]), transparency=60),
    "1 key": lambda: reopen(Image.fromarray(PIXELS[..., 0] > 60), transparency=1),
    "P key": lambda: reopen(Image.fromarray(PIXELS).quantize(4), transparency=2),
    "P": lambda: reopen(Image.fromarray(PIXELS).quantize(4)),
    "LA": lambda: Image.fromarray(PIXELS[..., :2].copy(), "LA"),
    "RGBA": lambda: Image.fromarray(np.dstack([PIXELS, PIXELS[..., 0]])),
}


@pytest.mark.parametrize("name", KEYED)
def test_rgba_pixels_survive_a_round_trip(name, tmp_path):
    im = KEYED[name]()
    want = np.asarray(im.convert("RGBA"))
    im.save(tmp_path / "x.orv")
    with Image.open(tmp_path / "x.orv") as back:
        np.testing.assert_array_equal(np.asarray(back.convert("RGBA")), want)
        if "key" in name:  # the key became an alpha plane that really hides pixels
            assert back.mode == "RGBA" and (np.asarray(back)[..., 3] == 0).any()


DEEP = {
    "I;16": lambda tmp: Image.new("I;16", (4, 3)),
    "I": lambda tmp: Image.new("I", (4, 3)),
    "F": lambda tmp: Image.new("F", (4, 3)),
    "32-bit TIFF": lambda tmp: reopen(Image.new("I", (4, 3)), "TIFF"),
    # Pillow reads these as 8-bit RGB(A), cutting them as it loads
    "RGB 16-bit PNG": lambda tmp: Image.open(io.BytesIO(png16(np.full((3, 4, 3), 3000), 2))),
    "RGBA 16-bit PNG": lambda tmp: Image.open(io.BytesIO(png16(np.full((3, 4, 4), 3000), 6))),
    "gray 16-bit PNG": lambda tmp: Image.open(io.BytesIO(png16(np.full((3, 4), 3000), 0))),
    "RGB 16-bit PPM": lambda tmp: Image.open(tmp / "deep.ppm"),   # a file: Pillow keeps no stream
}


@pytest.mark.parametrize("name", DEEP)
def test_deep_images_refused_with_one_message(name, tmp_path):
    (tmp_path / "deep.ppm").write_bytes(b"P6 4 3 65535\n" + bytes(72))
    with pytest.raises(orv.SampleDepthError, match="do not fit in 8 bits") as e:
        from_pillow(DEEP[name](tmp_path))
    assert str(e.value).split(" has ")[1] == orv.not_8bit_message("x").split(" has ")[1]
    with pytest.raises(orv.SampleDepthError) as again:   # save() loads (and cuts) first
        DEEP[name](tmp_path).save(tmp_path / "deep.orv")
    assert str(again.value) == str(e.value) and not (tmp_path / "deep.orv").exists()


def test_metadata_travels_through_im_info(tmp_path):
    im = Image.fromarray(PIXELS)
    im.info.update(icc_profile=b"icc bytes", exif=b"Exif\0\0II*\0")
    im.save(tmp_path / "a.orv", xmp=b"<xmp/>")           # save()'s arguments add to im.info
    with Image.open(tmp_path / "a.orv") as back:
        assert {k: back.info.get(k) for k in ("icc_profile", "exif", "xmp")} == {
            "icc_profile": b"icc bytes", "exif": b"Exif\0\0II*\0", "xmp": b"<xmp/>"}
        back.save(tmp_path / "b.orv", icc_profile=None)   # and may drop what it holds
    assert orv.decode_with_metadata((tmp_path / "b.orv").read_bytes())[1:] == (
        None, b"Exif\0\0II*\0", b"<xmp/>")
    pic = from_pillow(to_pillow(PIXELS, icc_profile=b"p", xmp="<x/>"))
    assert isinstance(pic, PillowImage) and pic[1:] == (b"p", None, b"<x/>")
    np.testing.assert_array_equal(pic.pixels, PIXELS)


@pytest.mark.parametrize("fmt", ["PNG", "JPEG", "WEBP", "TIFF"])
def test_save_options_keep_metadata_in_other_formats(fmt):
    from PIL import ImageCms

    exif = Image.Exif()
    exif[0x0112] = 6                                          # orientation: rotate
    pic = PillowImage(PIXELS, ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes(),
                      exif.tobytes(), b"<x:xmpmeta xmlns:x='adobe:ns:meta/'/>")
    back = reopen(to_pillow(*pic), fmt, **save_options(pic, fmt))
    back.load()
    got = from_pillow(back)
    assert (got.icc_profile, got.xmp) == (pic.icc_profile, pic.xmp)
    if fmt != "TIFF":  # Pillow's TIFF writer does not keep the orientation tag
        assert back.getexif()[0x0112] == 6


def animation(kind: str) -> Image.Image:
    frames = [Image.fromarray(RNG.integers(0, 255, (6, 3, 3), dtype=np.uint8)) for _ in range(3)]
    if kind == "gray":
        return reopen(frames[0].convert("L"), "TIFF", save_all=True,
                      append_images=[f.convert("L") for f in frames[1:]])
    return reopen(frames[0], kind, save_all=True, append_images=frames[1:])


@pytest.mark.parametrize("kind", ["GIF", "PNG", "gray"])
def test_frames_are_all_kept_or_refused(kind, tmp_path):
    im = animation(kind)
    want = [np.asarray(f.convert(im.mode if kind == "gray" else "RGBA"))
            for f in ImageSequence.Iterator(im)]
    with pytest.raises(OSError, match="3 frames"):
        im.save(tmp_path / "one.orv")
    im.save(tmp_path / "all.orv", save_all=True)
    assert orv.info((tmp_path / "all.orv").read_bytes())["images"] == 3
    with Image.open(tmp_path / "all.orv") as back:
        assert back.n_frames == 3 and back.is_animated
        for k in (0, 2, 1):
            back.seek(k)
            got = np.asarray(back if kind == "gray" else back.convert("RGBA"))
            np.testing.assert_array_equal(got, want[k])
        with pytest.raises(EOFError):
            back.seek(3)


def test_damaged_files_raise_oserror_and_format_error(tmp_path):
    data = bytearray(orv.encode(PIXELS, xmp=b"x"))
    for pos, at_open in ((-20, False), (12, True), (-3, True)):   # stream, header, metadata
        bad = bytearray(data)
        bad[pos] ^= 0x10
        (tmp_path / "bad.orv").write_bytes(bytes(bad))
        with pytest.raises(OSError) as e:
            with Image.open(tmp_path / "bad.orv") as im:
                assert not at_open
                im.load()
        assert isinstance(e.value, orv.FormatError) and isinstance(e.value, ValueError)
    assert not issubclass(orv.FormatError, OSError)
