"""korvane.deblock and automatic strength against korvane-dct, bad input, and the GIL."""

import sys
import threading
import time

import numpy as np
import pytest
from PIL import Image

import korvane
from korvane import _korvane
from conftest import jpeg_bytes, photo, read_png, run_command, strength_line, write_png

SETTINGS = [
    {},
    {"threshold": 40, "quant": 12, "n_shift": 9, "zero_weight": 2, "chroma_threshold": 10},
]


def command_args(settings):
    names = {"threshold": "--threshold", "quant": "--quant", "n_shift": "--n-shift",
             "zero_weight": "--zero-weight", "chroma_threshold": "--chroma-threshold"}
    args = []
    for key, value in settings.items():
        args += [names[key], value]
    return args


def command_output(tmp_path, array, settings):
    write_png(tmp_path / "in.png", array)
    run_command(*command_args(settings), tmp_path / "in.png", tmp_path / "out.png")
    return read_png(tmp_path / "out.png")


@pytest.mark.parametrize("settings", SETTINGS, ids=["defaults", "set"])
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
@pytest.mark.parametrize("channels", [1, 3, 4], ids=["gray", "rgb", "rgba"])
def test_bytes_equal_the_commands(command, tmp_path, dtype, channels, settings):
    a = photo(37, 45, channels, dtype, seed=channels)
    if channels == 1:
        a = a[..., 0] if a.ndim == 3 else a
    expected = command_output(tmp_path, a, settings)
    got = korvane.deblock(a, **settings)
    assert got.dtype == a.dtype and got.shape == a.shape
    assert not np.array_equal(got, a)  # the filter did something
    np.testing.assert_array_equal(got, expected)
    if channels == 4:
        np.testing.assert_array_equal(got[..., 3], a[..., 3])


VIEWS = {
    "rows and columns stepped": lambda a: a[::2, ::3],
    "flipped both ways": lambda a: a[::-1, ::-1],
    "transposed": lambda a: a.transpose(1, 0, 2),
    "channels reversed (BGR)": lambda a: a[..., ::-1],
    "planar (channels first)": lambda a: np.moveaxis(np.ascontiguousarray(np.moveaxis(a, 2, 0)), 0, 2),
    "a column of a wider picture": lambda a: a[5:40, 7:8],
}


@pytest.mark.parametrize("view", VIEWS.values(), ids=VIEWS.keys())
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
def test_strided_views_as_their_copies(command, tmp_path, view, dtype):
    v = view(photo(75, 91, 3, dtype, seed=3))
    assert not v.flags.c_contiguous
    expected = command_output(tmp_path, np.ascontiguousarray(v), {"n_shift": 5})
    np.testing.assert_array_equal(korvane.deblock(v, n_shift=5), expected)


def test_out_and_in_place(command, tmp_path):
    a = photo(33, 41, 4, np.uint16, seed=5)
    expected = command_output(tmp_path, a, {"threshold": 30})
    out = np.zeros_like(a)
    assert korvane.deblock(a, threshold=30, out=out) is out
    np.testing.assert_array_equal(out, expected)
    # A strided out, and an out that is the input itself or a view of it in another order.
    wide = np.zeros((33, 82, 4), np.uint16)
    korvane.deblock(a, threshold=30, out=wide[:, ::2])
    np.testing.assert_array_equal(wide[:, ::2], expected)
    b = a.copy()
    korvane.deblock(b, threshold=30, out=b)
    np.testing.assert_array_equal(b, expected)
    c = a[::-1].copy()
    korvane.deblock(c[::-1], threshold=30, out=c[::-1])
    np.testing.assert_array_equal(c[::-1], expected)


def test_threads_do_not_change_the_bytes():
    a = photo(200, 131, 3, np.uint8, seed=7)
    one = korvane.deblock(a, n_shift=16, threads=1)
    for threads in (2, 3, 7):
        np.testing.assert_array_equal(korvane.deblock(a, n_shift=16, threads=threads), one)


BAD_ARRAYS = {
    "empty rows": np.zeros((0, 5, 3), np.uint8),
    "empty columns": np.zeros((5, 0), np.uint16),
    "float": np.zeros((8, 8, 3), np.float32),
    "int16": np.zeros((8, 8), np.int16),
    "bool": np.zeros((8, 8), bool),
    "uint32": np.zeros((8, 8, 3), np.uint32),
    "big-endian uint16": np.zeros((8, 8, 3), ">u2"),
    "5 channels": np.zeros((8, 8, 5), np.uint8),
    "2 channels": np.zeros((8, 8, 2), np.uint8),
    "one dimension": np.zeros(64, np.uint8),
    "four dimensions": np.zeros((2, 8, 8, 3), np.uint8),
    "zero-dimensional": np.array(7, np.uint8),
    "object": np.array([[None]], object),
}


@pytest.mark.parametrize("array", BAD_ARRAYS.values(), ids=BAD_ARRAYS.keys())
def test_bad_arrays_are_value_errors(array):
    with pytest.raises(ValueError):
        korvane.deblock(array)
    with pytest.raises(ValueError):
        korvane.estimate_strength(array)
    # The native side refuses them too, whatever reaches it.
    with pytest.raises(ValueError):
        _korvane.deblock(array, array, 24, 8, 4, 0, -1, 0)


BAD_CALLS = {
    "threshold 256": dict(threshold=256),
    "threshold -1": dict(threshold=-1),
    "quant 0": dict(quant=0),
    "n_shift 65": dict(n_shift=65),
    "n_shift 0": dict(n_shift=0),
    "zero_weight 65": dict(zero_weight=65),
    "chroma_threshold 256": dict(chroma_threshold=256),
    "threads 0": dict(threads=0),
    "threshold 2**70": dict(threshold=2**70),
    "threshold 1.5": dict(threshold=1.5),
    "threshold True": dict(threshold=True),
    "out of another shape": dict(out=np.zeros((9, 8, 3), np.uint8)),
    "out of another dtype": dict(out=np.zeros((8, 8, 3), np.uint16)),
    "out gray for RGB": dict(out=np.zeros((8, 8), np.uint8)),
    "out read-only": dict(out=np.broadcast_to(np.zeros((1, 1, 1), np.uint8), (8, 8, 3))),
    "out a list": dict(out=[[0] * 8] * 8),
}


@pytest.mark.parametrize("kwargs", BAD_CALLS.values(), ids=BAD_CALLS.keys())
def test_bad_settings_are_value_errors(kwargs):
    a = photo(8, 8, 3)
    before = a.copy()
    with pytest.raises(ValueError):
        korvane.deblock(a, **kwargs)
    np.testing.assert_array_equal(a, before)


def test_native_checks_settings_and_out():
    a = photo(8, 8, 3)
    for args in ((256, 8, 4, 0, -1, 0), (24, 0, 4, 0, -1, 0), (24, 8, 65, 0, -1, 0),
                 (24, 8, 4, 65, -1, 0), (24, 8, 4, 0, 300, 0), (24, 8, 4, 0, -1, -3)):
        with pytest.raises(ValueError):
            _korvane.deblock(a, np.empty_like(a), *args)
    with pytest.raises(ValueError):
        _korvane.deblock(a, np.empty((8, 8, 4), np.uint8), 24, 8, 4, 0, -1, 0)
    ro = np.empty_like(a)
    ro.flags.writeable = False
    with pytest.raises(ValueError):
        _korvane.deblock(a, ro, 24, 8, 4, 0, -1, 0)


def test_the_gil_is_released():
    """While one thread filters a large picture, another thread filters small ones: were the
    GIL held through the call, the other could not even start one until it returns. (Timing two
    large pictures at once against one after the other shows the same, docs/python.md, but
    cannot be held to on cores shared with other work.)"""
    large = photo(1200, 1600, 3, np.uint8, seed=9)
    small = photo(64, 64, 3, np.uint8, seed=10)
    window = {}
    inside = []

    def filter_large():
        window["start"] = time.perf_counter()
        korvane.deblock(large, n_shift=32, threads=1)
        window["end"] = time.perf_counter()

    def filter_small():
        while "end" not in window:
            start = time.perf_counter()
            korvane.deblock(small, threads=1)
            inside.append((start, time.perf_counter()))

    # A switch interval longer than the large call: a thread that held the GIL would keep it to
    # the end of the call (a Python loop of the same length lets the other thread in 0 times).
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1.0)
    try:
        other = threading.Thread(target=filter_small)
        other.start()
        filter_large()
        other.join()
    finally:
        sys.setswitchinterval(interval)
    during = [1 for s, e in inside if s > window["start"] and e < window["end"]]
    assert len(during) >= 20, f"{len(during)} small pictures while the large one was filtered"


# Automatic strength: JPEGs of several qualities, gray and colour, another encoder's table
# (optimised and progressive coding keep libjpeg's tables; 4:2:0 and 4:4:4 chroma), and EXIF
# orientations.
JPEGS = {
    "q5": dict(quality=5),
    "q20 4:2:0": dict(quality=20, subsampling=2),
    "q50 progressive": dict(quality=50, progressive=True),
    "q75 optimised": dict(quality=75, optimize=True),
    "q90": dict(quality=90),
    "q97": dict(quality=97),
    "q100": dict(quality=100),
    "q30 gray": dict(quality=30, gray=True),
    "q40 rotated (6)": dict(quality=40, exif_orientation=6),
    "q60 mirrored and rotated (7)": dict(quality=60, exif_orientation=7),
    "other table": dict(quality=None, qtables=[[3 + (i % 8) * 5 + (i // 8) * 4 for i in range(64)]]),
}


def make_jpeg(tmp_path, recipe):
    recipe = dict(recipe)
    a = photo(61, 83, 3, np.uint8, seed=11)
    if recipe.pop("gray", False):
        a = a[..., 1]
    quality = recipe.pop("quality")
    if quality is None:
        recipe["qtables"] = recipe["qtables"] * (1 if a.ndim == 2 else 2)
        data = jpeg_bytes(a, 75, **recipe)
    else:
        data = jpeg_bytes(a, quality, **recipe)
    path = tmp_path / "photo.jpg"
    path.write_bytes(data)
    return path, data


@pytest.mark.parametrize("recipe", JPEGS.values(), ids=JPEGS.keys())
def test_jpeg_strength_and_picture_as_the_commands(command, tmp_path, recipe):
    path, data = make_jpeg(tmp_path, recipe)
    stderr = run_command(path, tmp_path / "out.png")
    expected = read_png(tmp_path / "out.png")
    s = korvane.strength_for_jpeg(path)
    assert s.message == strength_line(stderr)
    assert korvane.strength_for_jpeg(data) == s
    assert korvane.strength_for_jpeg(bytearray(data)) == s
    assert korvane.strength_for_jpeg(str(path)) == s
    # Pillow's tables give the same setting (no orientation: that is not in the tables).
    with Image.open(path) as im:
        from_tables = korvane.strength_for_jpeg(im.quantization)
    assert from_tables.settings() == s.settings() and from_tables.message == s.message
    assert s.orientation == recipe.get("exif_orientation", 1)

    picture, chosen = korvane.deblock_jpeg(path, with_strength=True)
    assert chosen == s
    np.testing.assert_array_equal(picture, expected)
    np.testing.assert_array_equal(korvane.deblock_jpeg(data, threads=1), expected)


def test_estimate_as_the_commands(command, tmp_path):
    # A JPEG's decoded pixels, without its tables: the estimate finds the quantisation.
    a = photo(200, 256, 3, np.uint8, seed=13)
    with Image.open(__import__("io").BytesIO(jpeg_bytes(a, 30))) as im:
        decoded = np.asarray(im.convert("RGB"))
    for picture in (decoded, decoded[3:, 5:], a):
        write_png(tmp_path / "in.png", picture)
        stderr = run_command("--strength", "auto", tmp_path / "in.png", tmp_path / "out.png")
        s = korvane.estimate_strength(picture)
        assert s.message == strength_line(stderr)
        np.testing.assert_array_equal(s.apply(picture), read_png(tmp_path / "out.png"))
    assert korvane.estimate_strength(decoded).quality is not None


BAD_SOURCES = {
    "missing file": lambda p: p / "missing.jpg",
    "empty bytes": lambda p: b"",
    "a PNG": lambda p: write_png(p / "x.png", photo(8, 8)) or (p / "x.png").read_bytes(),
    "cut short": lambda p: jpeg_bytes(photo(64, 64), 50)[:300],
    "damaged": lambda p: (lambda d: d[:200] + b"\xff\xd9" + d[202:])(jpeg_bytes(photo(64, 64), 50)),
    "a folder": lambda p: p,
    "garbage": lambda p: bytes(range(256)) * 4,
}


@pytest.mark.parametrize("make", BAD_SOURCES.values(), ids=BAD_SOURCES.keys())
def test_bad_jpegs_are_os_errors(tmp_path, make):
    source = make(tmp_path)
    for call in (korvane.strength_for_jpeg, korvane.deblock_jpeg):
        with pytest.raises(OSError) as caught:
            call(source)
        assert isinstance(caught.value, korvane.InputFileError)
        assert str(caught.value)


def test_bad_tables_and_sources_are_value_errors():
    for source in ([16] * 63, [0] * 64, [70000] * 64, {1: [16] * 64}, 42, None, [1.5] * 64):
        with pytest.raises(ValueError):
            korvane.strength_for_jpeg(source)
    with pytest.raises(ValueError):
        korvane.deblock_jpeg(42)


def test_manual_pages():
    for f in (korvane.deblock, korvane.deblock_jpeg, korvane.strength_for_jpeg,
              korvane.estimate_strength):
        assert "Raises" in f.__doc__
    assert "threshold (0..255, default 24)" in korvane.deblock.__doc__
