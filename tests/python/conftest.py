"""What the Python module's tests share: korvane-dct (KORVANE_DCT, set by CTest), PNG files of
numpy arrays in and out of it (8 and 16 bit, written by hand so that no other library's
conversion stands between the two), and small JPEGs made with Pillow."""

import io
import os
import struct
import subprocess
import zlib

import numpy as np
import pytest
from PIL import Image

KORVANE_DCT = os.environ.get("KORVANE_DCT", "")


@pytest.fixture(scope="module")
def command():
    if not os.path.isfile(KORVANE_DCT):
        pytest.fail(f"KORVANE_DCT='{KORVANE_DCT}' is not korvane-dct: run the tests through CTest")
    return KORVANE_DCT


def run_command(*args):
    """korvane-dct with these arguments; returns its standard error, fails on a non-zero exit."""
    done = subprocess.run([KORVANE_DCT, *map(str, args)], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return done.stderr


def strength_line(stderr):
    """The sentence of automatic strength that korvane-dct printed."""
    lines = [l for l in stderr.splitlines() if l.startswith("korvane-dct: strength auto")]
    assert len(lines) == 1, stderr
    return lines[0][len("korvane-dct: ") :]


def write_png(path, array):
    """array: (H, W) gray or (H, W, 3|4), uint8 or uint16, as a PNG of the same samples."""
    a = np.ascontiguousarray(array)
    h, w = a.shape[:2]
    channels = 1 if a.ndim == 2 else a.shape[2]
    colour = {1: 0, 3: 2, 4: 6}[channels]
    depth = 8 if a.dtype == np.uint8 else 16
    raw = a.astype(">u2").tobytes() if depth == 16 else a.tobytes()
    stride = w * channels * depth // 8
    rows = b"".join(b"\0" + raw[y * stride : (y + 1) * stride] for y in range(h))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, depth, colour, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(rows)))
        f.write(chunk(b"IEND", b""))


def read_png(path):
    """The samples of a non-interlaced gray, RGB or RGBA PNG of 8 or 16 bits, as written by
    korvane-dct: (H, W) or (H, W, C), uint8 or uint16."""
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat, header = 8, b"", None
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos : pos + 4])
        kind = data[pos + 4 : pos + 8]
        body = data[pos + 8 : pos + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    w, h, depth, colour, _, _, interlace = header
    assert interlace == 0 and depth in (8, 16)
    channels = {0: 1, 2: 3, 4: 2, 6: 4}[colour]
    bpp = channels * depth // 8
    stride = w * bpp
    raw = zlib.decompress(idat)
    out = np.zeros((h, stride), np.int32)
    prior = np.zeros(stride, np.int32)
    for y in range(h):
        kind = raw[y * (stride + 1)]
        line = np.frombuffer(raw, np.uint8, stride, y * (stride + 1) + 1).astype(np.int32)
        cur = np.zeros(stride, np.int32)
        if kind == 0:
            cur = line
        elif kind == 2:
            cur = (line + prior) & 255
        else:
            for i in range(stride):
                left = cur[i - bpp] if i >= bpp else 0
                up = prior[i]
                if kind == 1:
                    pred = left
                elif kind == 3:
                    pred = (left + up) // 2
                else:
                    corner = prior[i - bpp] if i >= bpp else 0
                    p = left + up - corner
                    pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                    pred = left if pa <= pb and pa <= pc else up if pb <= pc else corner
                cur[i] = (line[i] + pred) & 255
        out[y] = cur
        prior = cur
    samples = out.astype(np.uint8).tobytes()
    if depth == 16:
        a = np.frombuffer(samples, ">u2").astype(np.uint16)
    else:
        a = np.frombuffer(samples, np.uint8)
    return a.reshape((h, w) if channels == 1 else (h, w, channels))


def photo(h, w, channels=3, dtype=np.uint8, seed=0):
    """A picture with edges, gradients and noise: something for the filter to change."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:h, 0:w]
    top = 255 if dtype == np.uint8 else 65535
    base = (x * 3 + y * 2) % 97 / 96.0 * 0.6 + ((x // 11 + y // 7) % 2) * 0.3
    planes = []
    for c in range(channels):
        noise = rng.normal(0, 0.05, (h, w))
        plane = np.clip(base * (0.7 + 0.15 * c) + noise, 0, 1) * top
        planes.append(plane)
    if channels == 4:
        planes[3] = rng.integers(0, top + 1, (h, w)).astype(float)
    a = np.stack(planes, axis=-1) if channels > 1 else planes[0]
    return np.rint(a).astype(dtype)


def jpeg_bytes(array, quality, exif_orientation=None, **save):
    """A JPEG of the array at this libjpeg quality (Pillow), with an EXIF orientation if given."""
    out = io.BytesIO()
    im = Image.fromarray(array)
    if exif_orientation is not None:
        exif = Image.Exif()
        exif[0x0112] = exif_orientation
        save["exif"] = exif.tobytes()
    im.save(out, "JPEG", quality=quality, **save)
    return out.getvalue()
