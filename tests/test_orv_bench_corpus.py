"""orv bench finds its default corpus through the packages that install it."""
from __future__ import annotations

from pathlib import Path

import pytest

from orv import bench


@pytest.fixture
def fake_package(tmp_path, monkeypatch):
    """libjxl-testdata as dpkg would list it, installed below tmp_path."""
    root = tmp_path / "share" / "libjxl-testdata"
    listed = [root / bench.FLOWER_IN_PACKAGE, root / bench.PHOTOS_IN_PACKAGE / "b.png",
              root / bench.PHOTOS_IN_PACKAGE / "a.png", root / bench.PHOTOS_IN_PACKAGE / "c.jpg",
              root / bench.PHOTOS_IN_PACKAGE / "deeper" / "d.png", root / "jxl" / "other.png"]
    for p in listed:
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(b"")
    dirs = sorted({p.parent for p in listed})
    monkeypatch.setattr(bench, "package_files",
                        lambda name: tuple(dirs + listed) if name == bench.JXL_PACKAGE else ())
    monkeypatch.setattr(bench, "skimage_photos", lambda: [])
    return root


def test_the_corpus_is_what_the_package_lists(fake_package):
    photos = fake_package / bench.PHOTOS_IN_PACKAGE
    assert bench.default_paths() == [fake_package / bench.FLOWER_IN_PACKAGE,
                                     photos / "a.png", photos / "b.png"]


def test_files_the_package_lists_but_that_are_gone_are_left_out(fake_package):
    (fake_package / bench.FLOWER_IN_PACKAGE).unlink()
    assert bench.flower() is None
    assert [p.name for p in bench.default_paths()] == ["a.png", "b.png"]


def test_a_package_that_is_not_installed_lists_nothing():
    bench.package_files.cache_clear()
    assert bench.package_files("no-such-package-orv-test") == ()


def test_the_shipped_module_names_no_machine_path():
    source = Path(bench.__file__).read_text(encoding="utf-8")
    assert "/usr/" not in source and "/var/" not in source
