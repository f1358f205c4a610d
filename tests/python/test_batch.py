"""python3 -m korvane.batch on a local Dask cluster of 2 worker processes, against korvane-dct's
own batch mode on the same photos: the same bytes, a broken photo reported once, a worker killed
in the middle of the run, and a run over a folder that is partly done."""

import os
import signal
import subprocess
import sys

import numpy as np
import pytest

from korvane import batch
from conftest import jpeg_bytes, photo, run_command


def make_photos(folder, count, size=(72, 88)):
    folder.mkdir()
    for i in range(count):
        h, w = size[0] + i % 5, size[1] + 3 * (i % 4)
        # The last at quality 100, which automatic strength leaves as decoded.
        quality = 100 if i == count - 1 else 10 + (i * 7) % 85
        data = jpeg_bytes(photo(h, w, 3, np.uint8, seed=i), quality,
                          **({"exif_orientation": 6} if i % 6 == 1 else {}))
        (folder / f"photo{i:03d}.jpg").write_bytes(data)
    return sorted(folder.iterdir())


def expected_outputs(tmp_path, photos, *options):
    folder = tmp_path / "command"
    run_command("-o", folder, *options, *photos)
    return {p.name: p.read_bytes() for p in folder.iterdir()}


def outputs(folder):
    return {p.name: p.read_bytes() for p in folder.iterdir()}


def batch_command(*args):
    return subprocess.run([sys.executable, "-m", "korvane.batch", *map(str, args)],
                          capture_output=True, text=True, timeout=240)


def test_folder_as_the_command_with_a_broken_photo_and_a_second_run(command, tmp_path):
    photos = make_photos(tmp_path / "in", 10)
    expected = expected_outputs(tmp_path, photos)
    (tmp_path / "in" / "broken.jpg").write_bytes(jpeg_bytes(photo(64, 64), 50)[:400])
    (tmp_path / "in" / "notes.txt").write_text("not a photo")
    out = tmp_path / "out"

    first = batch_command(tmp_path / "in", "-o", out, "--workers", 2)
    assert first.returncode == 2, first.stderr  # a bad input, as korvane-dct's status
    assert first.stderr.count("broken.jpg") == 1, first.stderr
    assert "10 filtered, 0 skipped (done already), 1 failed, of 11" in first.stderr
    assert outputs(out) == expected  # every output whole, no temporary file left

    # Done outputs are skipped; an output older than its photo, or missing, is made again.
    os.utime(photos[3], ns=(os.stat(out / "photo003.png").st_mtime_ns + 10**9,) * 2)
    (out / "photo005.png").unlink()
    times = {p.name: p.stat().st_mtime_ns for p in out.iterdir()}
    (tmp_path / "in" / "broken.jpg").unlink()
    second = batch_command(tmp_path / "in", "-o", out, "--workers", 2, "--no-progress")
    assert second.returncode == 0, second.stderr
    assert "2 filtered, 8 skipped (done already), 0 failed, of 10" in second.stderr
    assert outputs(out) == expected
    changed = sorted(p.name for p in out.iterdir() if times.get(p.name) != p.stat().st_mtime_ns)
    assert changed == ["photo003.png", "photo005.png"]

    forced = batch_command(tmp_path / "in", "-o", out, "--workers", 2, "--force", "--no-progress")
    assert forced.returncode == 0 and "10 filtered, 0 skipped" in forced.stderr, forced.stderr


def test_a_worker_killed_mid_run_loses_nothing(command, tmp_path):
    from distributed import Client, LocalCluster

    photos = make_photos(tmp_path / "in", 48, size=(136, 160))
    expected = expected_outputs(tmp_path, photos)
    out = tmp_path / "out"
    killed = []
    after_kill = []

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        pids = client.run(os.getpid)

        def on_result(results):
            if killed:
                after_kill.extend(results)
                return
            # The worker that holds the most photos still to do, mid-photo.
            busy = max(client.processing().items(), key=lambda kv: len(kv[1]))
            assert busy[1], "no photo left in progress to kill a worker in"
            os.kill(pids[busy[0]], signal.SIGKILL)
            killed.append(busy[0])

        status = batch.run(str(tmp_path / "in"), str(out), client=client, chunk=1,
                           progress=False, on_result=on_result)
        # The killed worker's nanny starts a new one: closing the cluster under it would end in
        # a time-out of its own.
        client.wait_for_workers(2, timeout=60)
    assert killed and after_kill
    assert status == 0
    assert outputs(out) == expected


def test_leftovers_of_a_killed_writer_are_removed(tmp_path):
    (tmp_path / "a.png").write_bytes(b"whole")
    (tmp_path / "a.png.Xy12Zq").write_bytes(b"half")
    (tmp_path / "b.png.Ab34Cd").write_bytes(b"half of an output not yet made")
    (tmp_path / "c.png.keep").write_bytes(b"someone else's")
    pairs = [("in/a.jpg", str(tmp_path / "a.png")), ("in/b.jpg", str(tmp_path / "b.png"))]
    assert batch.remove_leftovers(pairs) == 1
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.png", "b.png.Ab34Cd", "c.png.keep"]


def test_usage_errors(tmp_path):
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    for d in ("a", "b"):
        (tmp_path / d / "same.jpg").write_bytes(jpeg_bytes(photo(16, 16), 50))
    same = batch_command(str(tmp_path / "*" / "same.jpg"), "-o", tmp_path / "out")
    assert same.returncode == 2 and "would both be written" in same.stderr, same.stderr
    missing = batch_command(tmp_path / "nothing-here", "-o", tmp_path / "out")
    assert missing.returncode == 2 and "no such folder" in missing.stderr, missing.stderr
    bad = batch_command(tmp_path / "a", "-o", tmp_path / "out", "--threads", 0)
    assert bad.returncode == 2


def free_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_on_a_running_scheduler_with_its_workers(command, tmp_path):
    """--scheduler: a `dask scheduler` and a `dask worker` started as a user starts them on
    many machines (here on the loopback address); JPEG out."""
    photos = make_photos(tmp_path / "in", 6)
    expected = expected_outputs(tmp_path, photos, "--output-format", "jpg", "--quality", 80)
    address = f"tcp://127.0.0.1:{free_port()}"
    started = []
    try:
        started.append(subprocess.Popen(
            [sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
             "--port", address.rsplit(":", 1)[1], "--no-dashboard"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        started.append(subprocess.Popen(
            [sys.executable, "-m", "distributed.cli.dask_worker", address, "--nworkers", "2",
             "--nthreads", "1", "--no-dashboard", "--host", "127.0.0.1"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        done = batch_command(tmp_path / "in", "-o", tmp_path / "out", "--scheduler", address,
                             "--format", "jpg", "--quality", 80, "--no-progress")
    finally:
        for p in reversed(started):
            p.terminate()
        for p in reversed(started):
            try:
                p.wait(timeout=30)
            except subprocess.TimeoutExpired:
                p.kill()
    assert done.returncode == 0, done.stderr
    assert sorted(expected) == [p.stem + ".jpg" for p in photos]
    assert outputs(tmp_path / "out") == expected
