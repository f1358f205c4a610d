"""Korvane DCT: deblocking and denoising of photos by averaged shifted-grid DCT reconstructions.

The filter of the command korvane-dct for numpy arrays, with its automatic strength:

    import korvane
    clean = korvane.deblock_jpeg("photo.jpg")          # decoded, filtered, upright RGB
    clean = korvane.deblock(array, threshold=32)      # any uint8/uint16 gray, RGB or RGBA array
    s = korvane.strength_for_jpeg("photo.jpg")        # the setting korvane-dct would choose
    print(s.message)

The bytes are those korvane-dct writes for the same picture and settings, whatever the number of
threads. A folder of photos on a Dask cluster: python3 -m korvane.batch (korvane.batch).
"""

from __future__ import annotations

import operator
import os
from dataclasses import dataclass
from typing import Optional, Union

import numpy as np

from . import _korvane

__all__ = [
    "deblock",
    "deblock_jpeg",
    "strength_for_jpeg",
    "estimate_strength",
    "Strength",
    "InputFileError",
    "OutputFileError",
    "default_threads",
]

InputFileError = _korvane.InputFileError
InputFileError.__doc__ = (
    "OSError: an input file (or JPEG bytes) that cannot be read: missing, unreadable, not a "
    "picture of a format the filter reads, damaged or cut short."
)
OutputFileError = _korvane.OutputFileError
OutputFileError.__doc__ = "OSError: an output file that cannot be written."

_TRACKS = (
    ("threshold", 0, 255),
    ("quant", 1, 255),
    ("n_shift", 1, 64),
    ("zero_weight", 0, 64),
)


def default_threads() -> int:
    """The threads the filter runs on when none are named: the machine's, at most 64."""
    return _korvane.default_threads()


def _whole(name, value, low, high):
    if isinstance(value, bool) or not hasattr(value, "__index__"):
        raise ValueError(f"{name} must be a whole number, not {value!r}")
    value = operator.index(value)
    if not low <= value <= high:
        raise ValueError(f"{name} {value} is out of its range {low}..{high}")
    return value


def _threads(threads):
    if threads is None:
        return 0
    return _whole("threads", threads, 1, 1024)


def _picture(array, what="array"):
    if not isinstance(array, np.ndarray):
        raise ValueError(f"{what} must be a numpy array, not {type(array).__name__}")
    if array.dtype not in (np.uint8, np.uint16) or not array.dtype.isnative:
        raise ValueError(f"{what}'s dtype is {array.dtype}: uint8 or uint16 it must be")
    if array.ndim not in (2, 3) or (array.ndim == 3 and array.shape[2] not in (1, 3, 4)):
        raise ValueError(
            f"{what} has shape {array.shape}: (H, W) gray, (H, W, 3) RGB or (H, W, 4) RGBA "
            "it must have"
        )
    if array.shape[0] == 0 or array.shape[1] == 0:
        raise ValueError(f"{what} is empty: shape {array.shape}")
    return array


def deblock(
    array: np.ndarray,
    threshold: int = 24,
    quant: int = 8,
    n_shift: int = 4,
    zero_weight: int = 0,
    chroma_threshold: Optional[int] = None,
    threads: Optional[int] = None,
    out: Optional[np.ndarray] = None,
) -> np.ndarray:
    """Deblock and denoise a picture; returns the filtered picture.

    array
        A numpy array of uint8 or uint16 samples: (H, W) or (H, W, 1) gray, (H, W, 3) R'G'B' or
        (H, W, 4) R'G'B'A. Any strides (views, slices with steps, flipped or transposed arrays).
        uint16 samples span 0..65535, as in a 16-bit PNG. Alpha passes through unchanged.
    threshold (0..255, default 24)
        Strength: detail whose DCT coefficient is weaker than this is smoothed; 0 smooths
        nothing, higher values also flatten stronger texture.
    quant (1..255, default 8)
        How coarsely weak luma detail is kept: rounded to a multiple of quant.
    n_shift (1..64, default 4)
        How many shifted 8x8 grids are averaged: more give smoother block edges, slower.
    zero_weight (0..64, default 0)
        How much of the unfiltered picture is mixed back in; each unit weighs as one grid.
    chroma_threshold (0..255, default None: the threshold)
        Colour detail's own threshold (korvane-dct's --chroma-threshold).
    threads (1..1024, default None: default_threads())
        Threads that filter this picture. The output does not depend on them.
    out
        An array of the same shape and dtype to fill instead of a new one; it may be `array`
        itself (in place) or overlap it.

    The samples are converted as korvane-dct converts a PNG of the same samples (BT.601
    Y'CbCr), so the output equals, byte for byte, the PNG that `korvane-dct --threshold T
    --quant Q --n-shift N --zero-weight Z in.png out.png` writes. The GIL is released while the
    filter runs: threads of a Python program filter pictures side by side.

    Raises ValueError for a setting out of its range, an array of another dtype or shape, an
    empty array, or an `out` that does not match; MemoryError when the picture does not fit in
    memory.
    """
    _picture(array)
    settings = [_whole(name, value, low, high) for (name, low, high), value in
                zip(_TRACKS, (threshold, quant, n_shift, zero_weight))]
    chroma = -1 if chroma_threshold is None else _whole("chroma_threshold", chroma_threshold, 0, 255)
    if out is None:
        out = np.empty(array.shape, array.dtype)
    else:
        _picture(out, "out")
        if out.shape != array.shape or out.dtype != array.dtype:
            raise ValueError(
                f"out has shape {out.shape} and dtype {out.dtype}, the array {array.shape} and "
                f"{array.dtype}"
            )
        if not out.flags.writeable:
            raise ValueError("out is read-only")
    _korvane.deblock(array, out, *settings, chroma, _threads(threads))
    return out


@dataclass(frozen=True)
class Strength:
    """The setting that automatic strength chose for a picture, and why.

    threshold, quant, n_shift, zero_weight, chroma_threshold (None: the threshold)
        The settings, as deblock() takes them (settings() gives them as keyword arguments).
    unfiltered
        No setting was measured to gain at this compression: the picture is best left as it is
        (apply() then returns a copy).
    quality
        The libjpeg quality of the JPEG's luma quantisation table, or the one estimated from the
        picture's 8x8 blocks; None when no block quantisation was found.
    orientation
        The JPEG's EXIF orientation (1..8; 1: upright as stored, and for arrays).
    message
        The sentence korvane-dct prints for it, without "korvane-dct: " in front.
    """

    threshold: int
    quant: int
    n_shift: int
    zero_weight: int
    chroma_threshold: Optional[int]
    unfiltered: bool
    quality: Optional[int]
    orientation: int
    message: str

    @classmethod
    def _of(cls, d) -> "Strength":
        return cls(
            threshold=d["threshold"],
            quant=d["quant"],
            n_shift=d["n_shift"],
            zero_weight=d["zero_weight"],
            chroma_threshold=None if d["chroma_threshold"] < 0 else d["chroma_threshold"],
            unfiltered=d["unfiltered"],
            quality=d["quality"],
            orientation=d["orientation"],
            message=d["message"],
        )

    def settings(self) -> dict:
        """The settings as keyword arguments of deblock()."""
        return {
            "threshold": self.threshold,
            "quant": self.quant,
            "n_shift": self.n_shift,
            "zero_weight": self.zero_weight,
            "chroma_threshold": self.chroma_threshold,
        }

    def apply(self, array: np.ndarray, threads: Optional[int] = None,
              out: Optional[np.ndarray] = None) -> np.ndarray:
        """deblock(array) at this setting; a copy of array (or array copied into out) when
        unfiltered. Does not turn the picture upright (see deblock_jpeg())."""
        if self.unfiltered:
            _picture(array)
            if out is None:
                return array.copy()
            _picture(out, "out")
            np.copyto(out, array)
            return out
        return deblock(array, threads=threads, out=out, **self.settings())


_Source = Union[str, os.PathLike, bytes, bytearray, memoryview]


def _source(source):
    if isinstance(source, (bytes, bytearray, memoryview)):
        return source
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        if isinstance(path, bytes):
            path = os.fsdecode(path)
        return path
    raise ValueError(f"a path or the bytes of a JPEG, not {type(source).__name__}")


def strength_for_jpeg(source) -> Strength:
    """The automatic strength of a JPEG, as korvane-dct chooses it.

    source
        A path (str or os.PathLike), the JPEG's bytes, or its quantisation tables as Pillow
        gives them (Image.quantization: a dict whose table 0 is the luma table, 64 steps in
        row-major order), or a luma table of 64 steps.

    The JPEG's luma quantisation table gives its libjpeg quality; the setting is the one
    measured best at that quality, or none (unfiltered) where no setting gained. From a path
    or bytes the EXIF orientation is read too. The message is the sentence korvane-dct prints:

        strength auto: JPEG quality 20 (its luma quantisation table): --threshold 32 ...

    Raises InputFileError (an OSError) when the file cannot be read or is not a readable JPEG,
    ValueError for a table that is not 64 steps of 1..65535.
    """
    if isinstance(source, dict):
        if 0 not in source:
            raise ValueError("the quantisation tables have no table 0 (luma)")
        source = source[0]
    if not isinstance(source, (str, os.PathLike, bytes, bytearray, memoryview)):
        try:
            table = [operator.index(q) for q in source]
        except TypeError:
            raise ValueError(
                f"a path, JPEG bytes or quantisation tables, not {type(source).__name__}"
            ) from None
        return Strength._of(_korvane.strength_for_table(table))
    return Strength._of(_korvane.strength_for_jpeg(_source(source)))


def estimate_strength(array: np.ndarray) -> Strength:
    """The automatic strength of a picture without quantisation tables, from its own pixels.

    array: as deblock() takes it. The picture's 8x8 blocks are searched for the quantisation a
    block-DCT codec left (its grid may sit at any offset); the setting is the one measured best
    at the quality found, or unfiltered when none is found. The same as korvane-dct --strength
    auto chooses for a PNG of these samples.

    Raises ValueError for an array of another dtype or shape.
    """
    _picture(array)
    return Strength._of(_korvane.estimate_strength(array))


def deblock_jpeg(source, threads: Optional[int] = None, with_strength: bool = False):
    """Decode a JPEG, filter it at its automatic strength and return it upright.

    source
        A path (str or os.PathLike) or the JPEG's bytes.
    threads
        As for deblock(); the output does not depend on it.
    with_strength
        Return (picture, Strength) instead of the picture alone.

    The picture is (H, W, 3) uint8 R'G'B' (a gray JPEG gives (H, W)), turned upright by its
    EXIF orientation after filtering (on the JPEG's own block grid): the samples of the PNG that
    `korvane-dct photo.jpg photo.png` writes.

    Raises InputFileError (an OSError) when the file cannot be read or is not a readable JPEG
    (damaged, cut short, CMYK, larger than 200 megapixels).
    """
    picture, strength = _korvane.deblock_jpeg(_source(source), _threads(threads))
    return (picture, Strength._of(strength)) if with_strength else picture
