"""Filter a folder of photos on a Dask cluster, each as korvane-dct would.

    python3 -m korvane.batch INPUT_FOLDER_OR_GLOB -o OUTPUT_FOLDER [--scheduler ADDRESS]

Every photo (JPEG or PNG; in a folder, the files named .jpg, .jpeg or .png) is filtered at its
automatic strength into OUTPUT_FOLDER/NAME.png (--format jpeg or jpg: NAME.jpeg or NAME.jpg, as
korvane-dct -o --output-format names them), the same bytes as `korvane-dct PHOTO OUTPUT`. Without --scheduler the run starts a local cluster of
worker processes on this machine; with it, the photos go to the workers of that Dask scheduler,
which must reach the same paths (a shared file system) and have this package installed.

An output is written under a temporary name beside its final one and renamed when whole, so a
final name never holds half a picture, whatever happens to the worker that writes it. A photo
that fails is reported at the end and does not stop the others. Photos whose output exists and
is newer than the photo are skipped (--force redoes them), so a run that stopped goes on where
it was.

Exit status, as korvane-dct's: 0 when every photo was filtered (or skipped), 2 when some input
was bad (or the run was asked wrongly), 1 when only writing or memory failed.
"""

from __future__ import annotations

import argparse
import glob
import os
import re
import sys
from typing import Callable, Iterable, List, Optional, Sequence, Tuple

from . import _korvane

EXTENSIONS = (".jpg", ".jpeg", ".png")

OK, RUN_FAILED, INPUT_FAILED, SKIPPED = 0, 1, 2, "skipped"


class UsageError(Exception):
    """A run that cannot start (exit status 2)."""


def find_inputs(where: str) -> List[str]:
    """The photos of a folder (its files named .jpg, .jpeg or .png, not its sub-folders), or the
    files that a glob pattern names (** for any depth), in sorted order."""
    if os.path.isdir(where):
        with os.scandir(where) as entries:
            found = [
                e.path
                for e in entries
                if e.name.lower().endswith(EXTENSIONS) and e.is_file()
            ]
    else:
        found = [p for p in glob.glob(where, recursive=True) if os.path.isfile(p)]
        if not found and not glob.has_magic(where):
            raise UsageError(f"'{where}': no such folder or file")
    return sorted(found)


def plan(inputs: Sequence[str], output_dir: str, extension: str) -> List[Tuple[str, str]]:
    """(input, output) pairs; two inputs of one name are refused, as by korvane-dct -o."""
    seen = {}
    pairs = []
    for path in inputs:
        stem = os.path.splitext(os.path.basename(path))[0]
        output = os.path.join(output_dir, stem + extension)
        if output in seen:
            raise UsageError(
                f"'{seen[output]}' and '{path}' would both be written to '{output}'"
            )
        seen[output] = path
        pairs.append((path, output))
    return pairs


def _done(source: str, output: str) -> bool:
    try:
        return os.stat(output).st_mtime_ns >= os.stat(source).st_mtime_ns
    except OSError:
        return False


def filter_photos(pairs, threads: int = 1, quality: int = 0, force: bool = False):
    """Runs on a worker: each (input, output) pair filtered, or skipped when done already.
    Returns (input, status, message) for each; never raises for a photo."""
    results = []
    for source, output in pairs:
        if not force and _done(source, output):
            results.append((source, SKIPPED, ""))
            continue
        try:
            message = _korvane.filter_file(source, output, threads, quality)
            results.append((source, OK, message))
        except (_korvane.InputFileError, ValueError) as e:
            results.append((source, INPUT_FAILED, str(e)))
        except MemoryError:
            results.append((source, RUN_FAILED, f"'{source}': out of memory"))
        except Exception as e:  # OutputFileError, and anything unforeseen
            results.append((source, RUN_FAILED, str(e) or type(e).__name__))
    return results


_TEMPORARY = re.compile(r"\.[A-Za-z0-9]{6}$")


def remove_leftovers(pairs: Iterable[Tuple[str, str]]) -> int:
    """Removes the temporary files (OUTPUT.XXXXXX) that a worker killed while writing left
    beside outputs that are now whole; returns how many."""
    finals = {}
    for _, output in pairs:
        finals.setdefault(os.path.dirname(output) or ".", set()).add(os.path.basename(output))
    removed = 0
    for folder, names in finals.items():
        with os.scandir(folder) as entries:
            for e in entries:
                m = _TEMPORARY.search(e.name)
                if m and e.name[: m.start()] in names and os.path.exists(
                    os.path.join(folder, e.name[: m.start()])
                ):
                    try:
                        os.remove(e.path)
                        removed += 1
                    except OSError:
                        pass
    return removed


def run(
    where: str,
    output_dir: str,
    client=None,
    scheduler: Optional[str] = None,
    workers: Optional[int] = None,
    threads: int = 1,
    output_format: str = "png",
    quality: int = 0,
    force: bool = False,
    chunk: Optional[int] = None,
    progress: bool = True,
    on_result: Optional[Callable[[list], None]] = None,
    log=sys.stderr,
) -> int:
    """The whole run; returns the exit status. `client`: a distributed.Client to run on (else
    one for `scheduler`, else a local cluster of `workers` processes). `on_result` is called on
    this side with each chunk's results as they arrive."""
    from distributed import Client, LocalCluster, as_completed
    from distributed import progress as progress_bar

    if output_format not in ("png", "jpeg", "jpg"):
        raise UsageError(f"--format {output_format}: png, jpeg or jpg")
    inputs = find_inputs(where)
    os.makedirs(output_dir, exist_ok=True)
    pairs = plan(inputs, output_dir, "." + output_format)
    if not pairs:
        print(f"korvane.batch: no photos in '{where}'", file=log)
        return 0

    own = []
    if client is None:
        if scheduler:
            client = Client(scheduler)
        else:
            n = workers or os.cpu_count() or 1
            cluster = LocalCluster(
                n_workers=n, threads_per_worker=1, processes=True, dashboard_address=None
            )
            own.append(cluster)
            client = Client(cluster)
        own.insert(0, client)
    try:
        if chunk is None:
            # Tasks of several photos keep the scheduler's work per photo small; enough of them
            # that every worker stays busy to the end.
            slots = max(1, sum(client.nthreads().values()))
            chunk = max(1, min(32, len(pairs) // (slots * 8)))
        chunks = [pairs[i : i + chunk] for i in range(0, len(pairs), chunk)]
        futures = client.map(
            filter_photos,
            chunks,
            threads=threads,
            quality=quality,
            force=force,
            pure=False,
        )
        if progress:
            progress_bar(futures)
            print(file=sys.stdout, flush=True)
        where = {future.key: i for i, future in enumerate(futures)}
        results = []
        for future in as_completed(futures):
            try:
                got = future.result()
            except Exception as e:  # a task lost more often than the scheduler retries it
                got = [
                    (source, RUN_FAILED, f"'{source}': {e}")
                    for source, _ in chunks[where[future.key]]
                ]
            results.extend(got)
            if on_result:
                on_result(got)
    finally:
        for thing in own:
            thing.close()

    remove_leftovers(pairs)
    failed = [r for r in results if r[1] in (RUN_FAILED, INPUT_FAILED)]
    done = sum(1 for r in results if r[1] == OK)
    skipped = sum(1 for r in results if r[1] == SKIPPED)
    for source, _, message in sorted(failed):
        print(f"korvane.batch: {message}", file=log)
    print(
        f"korvane.batch: {done} filtered, {skipped} skipped (done already), "
        f"{len(failed)} failed, of {len(pairs)}",
        file=log,
    )
    if any(r[1] == INPUT_FAILED for r in failed):
        return 2
    return 1 if failed else 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python3 -m korvane.batch",
        description="Filter every photo of a folder (or glob) as korvane-dct would, on a Dask "
        "cluster: automatic strength per photo, NAME.png (or NAME.jpg) in the output folder.",
    )
    parser.add_argument("input", help="a folder (its .jpg, .jpeg and .png files) or a glob")
    parser.add_argument("-o", "--output", required=True, help="the output folder")
    parser.add_argument(
        "--scheduler", help="address of a running Dask scheduler (default: a local cluster)"
    )
    parser.add_argument(
        "--workers", type=int, help="worker processes of the local cluster (default: cores)"
    )
    parser.add_argument(
        "--threads", type=int, default=1, help="filter threads per photo (default 1)"
    )
    parser.add_argument(
        "--format", default="png", choices=("png", "jpeg", "jpg"),
        help="output format, and the outputs' extension (default png)",
    )
    parser.add_argument(
        "--quality", type=int, default=0, help="libjpeg quality of JPEG output (default 95)"
    )
    parser.add_argument(
        "--chunk", type=int, help="photos per Dask task (default: from the count)"
    )
    parser.add_argument(
        "--force", action="store_true", help="redo photos whose output is done already"
    )
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")
    args = parser.parse_args(argv)
    for name, value, low, high in (
        ("--threads", args.threads, 1, 1024),
        ("--quality", args.quality, 0, 100),
        ("--workers", args.workers or 1, 1, 4096),
        ("--chunk", args.chunk or 1, 1, 1 << 20),
    ):
        if not low <= value <= high:
            print(f"korvane.batch: {name} {value}: out of its range {low}..{high}", file=sys.stderr)
            return 2
    try:
        return run(
            args.input,
            args.output,
            scheduler=args.scheduler,
            workers=args.workers,
            threads=args.threads,
            output_format=args.format,
            quality=args.quality,
            force=args.force,
            chunk=args.chunk,
            progress=not args.no_progress,
        )
    except UsageError as e:
        print(f"korvane.batch: {e}", file=sys.stderr)
        return 2
    except OSError as e:
        print(f"korvane.batch: {e}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
