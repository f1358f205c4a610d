from typing import Callable, Iterable, List, Optional, Sequence, Tuple, Union

EXTENSIONS: Tuple[str, ...]
OK: int
RUN_FAILED: int
INPUT_FAILED: int
SKIPPED: str

_Result = Tuple[str, Union[int, str], str]

class UsageError(Exception): ...

def find_inputs(where: str) -> List[str]: ...
def plan(inputs: Sequence[str], output_dir: str, extension: str) -> List[Tuple[str, str]]: ...
def filter_photos(
    pairs: Iterable[Tuple[str, str]], threads: int = 1, quality: int = 0, force: bool = False
) -> List[_Result]: ...
def remove_leftovers(pairs: Iterable[Tuple[str, str]]) -> int: ...
def run(
    where: str,
    output_dir: str,
    client: object = None,
    scheduler: Optional[str] = None,
    workers: Optional[int] = None,
    threads: int = 1,
    output_format: str = "png",
    quality: int = 0,
    force: bool = False,
    chunk: Optional[int] = None,
    progress: bool = True,
    on_result: Optional[Callable[[List[_Result]], None]] = None,
    log: object = None,
) -> int: ...
def main(argv: Optional[Sequence[str]] = None) -> int: ...
