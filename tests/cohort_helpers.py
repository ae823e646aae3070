"""Shared parts of the cohort tests: a real Dask cluster on 127.0.0.1, recordings, probes."""

from __future__ import annotations

import contextlib
import gzip
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import cwagen

def _package_dirs() -> list[str]:
    """Where this run imports morvane and morvane_tools from (installed or a build tree)."""
    import morvane
    import morvane_tools

    return [str(Path(morvane_tools.__file__).resolve().parent.parent),
            str(Path(morvane.__file__).resolve().parent)]


def child_env(**extra: str) -> dict[str, str]:
    """Environment for child processes that import the very packages this run tests."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        _package_dirs() + [str(Path(__file__).resolve().parent)]
        + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    env.update(extra)
    return env


def recording(path: Path, minutes: float = 3, **kwargs) -> cwagen.RecordingInfo:
    path.parent.mkdir(parents=True, exist_ok=True)
    kwargs.setdefault("checksums", True)
    return cwagen.write_recording(path, duration_s=minutes * 60, **kwargs)


def gzip_copy(src: Path, dst: Path) -> Path:
    dst.write_bytes(gzip.compress(src.read_bytes(), compresslevel=6))
    return dst


class Cluster:
    """A scheduler and workers started as separate processes (``dask scheduler`` and
    ``dask worker``) on 127.0.0.1, each worker under its own nanny."""

    def __init__(self, tmp: Path, n_workers: int = 2) -> None:
        self.tmp = tmp
        self.file = tmp / "scheduler.json"
        # the scheduler gives a task up after it killed a second worker
        env = child_env(DASK_DISTRIBUTED__SCHEDULER__ALLOWED_FAILURES="1")
        self.log = open(tmp / "cluster.log", "wb")
        self.procs = [subprocess.Popen(
            [sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
             "--port", "0", "--no-dashboard", "--scheduler-file", str(self.file)],
            env=env, stdout=self.log, stderr=subprocess.STDOUT)]
        for _ in range(n_workers):
            self.procs.append(subprocess.Popen(
                [sys.executable, "-m", "distributed.cli.dask_worker", "--scheduler-file",
                 str(self.file), "--host", "127.0.0.1", "--nthreads", "1",
                 "--memory-limit", "2GB", "--no-dashboard", "--death-timeout", "60"],
                env=env, stdout=self.log, stderr=subprocess.STDOUT))
        import distributed

        deadline = time.monotonic() + 60
        while not self.file.exists():
            if time.monotonic() > deadline or self.procs[0].poll() is not None:
                self.close()
                raise RuntimeError("the scheduler did not start")
            time.sleep(0.05)
        self.client = distributed.Client(scheduler_file=str(self.file), set_as_default=False,
                                         timeout="30s")
        self.n_workers = n_workers
        self.client.wait_for_workers(n_workers, timeout=60)
        self.address = self.client.scheduler.address

    def worker_pids(self) -> dict[str, int]:
        return self.client.run(os.getpid)

    def wait_for_workers(self) -> None:
        self.client.wait_for_workers(self.n_workers, timeout=60)

    def close(self) -> None:
        with contextlib.suppress(Exception):
            self.client.close()
        for p in reversed(self.procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
        for p in self.procs:
            try:
                p.wait(timeout=15)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        self.log.close()


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    c = Cluster(tmp_path_factory.mktemp("cluster"))
    yield c
    c.close()


def processing_keys(client) -> dict[str, list[str]]:
    """Worker address -> keys of the tasks it runs, as the scheduler sees them."""
    return {w: [str(k) for k in keys] for w, keys in client.processing().items()}


def no_part_files(root: Path) -> list[Path]:
    return [p for p in root.rglob("*") if p.name.endswith(".part")]


def copy_tree(src: Path, dst: Path) -> None:
    shutil.copytree(src, dst)


def assert_same(got, want, **kwargs) -> None:
    """Frames equal value for value (exact: the fast path of pandas' comparison)."""
    import pandas as pd

    pd.testing.assert_frame_equal(got, want, check_exact=True, **kwargs)
