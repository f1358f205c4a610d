import os
from dataclasses import dataclass
from typing import Literal, Mapping, Optional, Sequence, Tuple, Union, overload

import numpy as np
import numpy.typing as npt

_Picture = Union[npt.NDArray[np.uint8], npt.NDArray[np.uint16]]
_Source = Union[str, os.PathLike[str], bytes, bytearray, memoryview]
_Tables = Union[Mapping[int, Sequence[int]], Sequence[int]]

class InputFileError(OSError): ...
class OutputFileError(OSError): ...

def default_threads() -> int: ...
def deblock(
    array: _Picture,
    threshold: int = 24,
    quant: int = 8,
    n_shift: int = 4,
    zero_weight: int = 0,
    chroma_threshold: Optional[int] = None,
    threads: Optional[int] = None,
    out: Optional[_Picture] = None,
) -> _Picture: ...
@dataclass(frozen=True)
class Strength:
    threshold: int
    quant: int
    n_shift: int
    zero_weight: int
    chroma_threshold: Optional[int]
    unfiltered: bool
    quality: Optional[int]
    orientation: int
    message: str
    def settings(self) -> dict[str, Optional[int]]: ...
    def apply(
        self, array: _Picture, threads: Optional[int] = None, out: Optional[_Picture] = None
    ) -> _Picture: ...

def strength_for_jpeg(source: Union[_Source, _Tables]) -> Strength: ...
def estimate_strength(array: _Picture) -> Strength: ...
@overload
def deblock_jpeg(
    source: _Source, threads: Optional[int] = None, with_strength: Literal[False] = False
) -> npt.NDArray[np.uint8]: ...
@overload
def deblock_jpeg(
    source: _Source, threads: Optional[int] = None, *, with_strength: Literal[True]
) -> Tuple[npt.NDArray[np.uint8], Strength]: ...
