"""convert(): Parquet outputs, manifest, resume and failures, on real Dask clusters."""

from __future__ import annotations

import json
import os
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow.parquet as pq
import pytest

import cwagen
import morvane_tools
from cohort_helpers import (assert_same, child_env, cluster, gzip_copy,
                            no_part_files, processing_keys, recording)
from morvane_tools.cohort import find_recordings

__all__ = ["cluster"]


def expected_table(src: Path, **options) -> pd.DataFrame:
    frame, _ = morvane_tools.read_recording(src, **options)
    return frame.reset_index()


def assert_output_matches(out: Path, src: Path, **options) -> None:
    table = pq.read_table(out)
    assert table.schema.field("timestamp").type.unit == "us"
    assert table.schema.field("timestamp").type.tz is None
    for f in table.schema:
        if f.name != "timestamp":
            assert str(f.type) == "float"
    got = table.to_pandas()
    want = expected_table(src, **options)
    assert list(got.columns) == list(want.columns)
    assert_same(got, want, check_names=False)


# ---------------------------------------------------------------------------
# finding inputs (no cluster)
# ---------------------------------------------------------------------------

def test_find_recordings_roots_and_exclusions(tmp_path):
    for rel in ["in/a/r.cwa", "in/b/r.CWA", "in/b/deep/x.cwa.gz", "in/b/notes.txt",
                "in/out/stray.cwa"]:
        (tmp_path / rel).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / rel).write_bytes(b"x")
    (tmp_path / "in/dir.cwa").mkdir()  # a folder with a recording's name is not one
    found = find_recordings(tmp_path / "in", exclude=tmp_path / "in/out")
    assert [(Path(s).relative_to(tmp_path / "in").as_posix(), r) for s, r in found] == [
        ("a/r.cwa", str(tmp_path / "in")), ("b/r.CWA", str(tmp_path / "in")),
        ("b/deep/x.cwa.gz", str(tmp_path / "in"))]
    # a pattern's root is its folders before the first wildcard; repeats count once
    found = find_recordings([str(tmp_path / "in/*/r.cwa"), tmp_path / "in/a/r.cwa"])
    assert found == [(str(tmp_path / "in/a/r.cwa"), str(tmp_path / "in"))]
    # a path given by name is taken whatever its name, relative to its folder
    assert find_recordings(tmp_path / "in/b/notes.txt") == [
        (str(tmp_path / "in/b/notes.txt"), str(tmp_path / "in/b"))]


@pytest.mark.parametrize("bad", ["missing.cwa", "nothing-*.cwa"])
def test_inputs_that_name_nothing_are_refused_up_front(tmp_path, bad):
    with pytest.raises(FileNotFoundError, match="missing|nothing"):
        morvane_tools.convert(str(tmp_path / bad), tmp_path / "out", progress=False)
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("kwargs, exc", [
    (dict(what="frames"), ValueError),
    (dict(bad_blocks="zero"), ValueError),
    (dict(calibrate=True), ValueError),  # calibration belongs to epochs
    (dict(what="epochs", resample_hz=30), ValueError),
    (dict(what="epochs", epoch="soon"), ValueError),
    (dict(resample_hz=-5), ValueError),
    (dict(resample_hz="30"), TypeError),
    (dict(workers=0), ValueError),
    (dict(workers=2, scheduler="tcp://127.0.0.1:1"), ValueError),
    (dict(scheduler=42), TypeError),
])
def test_bad_options(tmp_path, kwargs, exc):
    recording(tmp_path / "r.cwa", minutes=1)
    with pytest.raises(exc):
        morvane_tools.convert(tmp_path / "r.cwa", tmp_path / "out", progress=False, **kwargs)
    assert not (tmp_path / "out").exists()


def test_two_inputs_for_one_output_are_refused(tmp_path):
    recording(tmp_path / "a/r.cwa", minutes=1)
    recording(tmp_path / "b/r.cwa", minutes=1)
    with pytest.raises(ValueError, match="both be written"):
        morvane_tools.convert([tmp_path / "a/r.cwa", tmp_path / "b/r.cwa"], tmp_path / "out",
                              progress=False)


# ---------------------------------------------------------------------------
# on a scheduler and two workers started as their own processes
# ---------------------------------------------------------------------------

def test_folder_to_parquet(tmp_path, cluster, capfd):
    src = tmp_path / "in"
    recording(src / "a/r.cwa", minutes=3, seed=1)
    recording(src / "b/r.cwa", minutes=5, seed=2, fmt=0x62)  # same name, other folder
    recording(src / "long.cwa", minutes=170, seed=3)  # more blocks than one read chunk
    (src / "b/text.cwa").write_text("not a recording at all\n" * 100)
    out = tmp_path / "out"
    manifest = morvane_tools.convert(src, out, scheduler=cluster.address, progress=False)
    assert capfd.readouterr().err == ""

    # the returned manifest is the one on disk, one row per input, in the order found
    on_disk = pd.read_parquet(out / "manifest.parquet")
    assert_same(on_disk, manifest)
    names = [Path(s).relative_to(src).as_posix() for s in manifest["source"]]
    assert names == ["long.cwa", "a/r.cwa", "b/r.cwa", "b/text.cwa"]
    by = {Path(r["source"]).relative_to(src).as_posix(): r
          for r in manifest.to_dict(orient="records")}
    assert by["b/text.cwa"]["status"] == "failed"
    assert "not a recording" in by["b/text.cwa"]["error"]
    assert not Path(by["b/text.cwa"]["output"]).exists()
    workers = set(cluster.client.scheduler_info()["workers"])
    for rel in ["long.cwa", "a/r.cwa", "b/r.cwa"]:
        row = by[rel]
        s = src / rel
        assert row["status"] == "converted" and pd.isna(row["error"])
        assert row["output"] == str(out / (rel + ".parquet"))
        assert_output_matches(out / (rel + ".parquet"), s)
        st = os.stat(s)
        assert row["size"] == st.st_size and row["mtime"].value == st.st_mtime_ns
        meta = morvane_tools.read_metadata(s)
        frame, _ = morvane_tools.read_recording(s)
        assert row["samples"] == len(frame)
        assert row["first_sample"] == frame.index[0] and row["last_sample"] == frame.index[-1]
        assert row["device_id"] == meta["device_id"]
        assert row["effective_rate_hz"] == pytest.approx(100.0, rel=1e-3)
        assert row["bad_blocks"] == 0 and row["checksum_failures"] == 0 and row["gaps"] == 0
        assert row["worker"] in workers and row["seconds"] > 0
        # key-value metadata: what was read, its quality, and how
        kv = pq.read_metadata(row["output"]).metadata
        record = json.loads(kv[b"morvane"])
        assert record["read_metadata"] == json.loads(json.dumps(meta))
        assert record["quality_report"] == json.loads(json.dumps(
            morvane_tools.quality_report(s)))
        assert record["options"]["what"] == "samples"
        assert "skipped_blocks" in json.loads(kv[b"morvane.read_report"])
    pf = pq.ParquetFile(out / "long.cwa.parquet")
    assert pf.metadata.num_row_groups >= 2  # written as the recording was read
    group = pf.metadata.row_group(0)
    assert {group.column(i).compression for i in range(group.num_columns)} == {"ZSTD"}
    assert "DELTA_BINARY_PACKED" in group.column(0).encodings  # timestamp
    assert all("BYTE_STREAM_SPLIT" in group.column(i).encodings for i in range(1, group.num_columns))
    assert "gyro_x" in pq.read_schema(out / "b/r.cwa.parquet").names
    assert no_part_files(out) == []


def test_resume_keeps_what_is_up_to_date(tmp_path, cluster, capfd):
    src = tmp_path / "in"
    for i in range(3):
        recording(src / f"r{i}.cwa", minutes=2, seed=i)
    (src / "bad.cwa").write_bytes(b"\0" * 100)
    out = tmp_path / "out"
    first = morvane_tools.convert(src, out, scheduler=cluster.address, progress=False)
    files = {p: os.stat(p) for p in out.glob("*.parquet") if p.name != "manifest.parquet"}
    assert len(files) == 3

    # nothing changed: converted ones are kept, the failed one is tried again
    os.utime(src / "r1.cwa", ns=(1_600_000_000_000_000_000, 1_600_000_000_000_000_000))
    (src / "r2.cwa.parquet").touch()  # not a recording's name: ignored
    os.remove(out / "r2.cwa.parquet")
    again = morvane_tools.convert(src, out, scheduler=cluster.address, progress=True)
    err = capfd.readouterr().err
    assert "done" in err and "1 up to date" in err and "failed" in err
    status = dict(zip(again["source"].map(lambda s: Path(s).name), again["status"]))
    assert status == {"r0.cwa": "up to date", "r1.cwa": "converted", "r2.cwa": "converted",
                      "bad.cwa": "failed"}
    same = os.stat(out / "r0.cwa.parquet")
    assert (same.st_ino, same.st_mtime_ns) == (files[out / "r0.cwa.parquet"].st_ino,
                                               files[out / "r0.cwa.parquet"].st_mtime_ns)
    assert os.stat(out / "r1.cwa.parquet").st_ino != files[out / "r1.cwa.parquet"].st_ino
    r0 = first[first["source"].str.endswith("r0.cwa")].iloc[0]
    kept = again[again["source"].str.endswith("r0.cwa")].iloc[0]
    assert kept["samples"] == r0["samples"] and kept["worker"] == r0["worker"]

    # a run killed before it saved its manifest: the outputs say what they were made from
    files = {p: os.stat(p) for p in out.glob("*.cwa.parquet")}
    os.remove(out / "manifest.parquet")
    rebuilt = morvane_tools.convert(src, out, scheduler=cluster.client, progress=False)
    status = dict(zip(rebuilt["source"].map(lambda s: Path(s).name), rebuilt["status"]))
    assert status == {"r0.cwa": "up to date", "r1.cwa": "up to date", "r2.cwa": "up to date",
                      "bad.cwa": "failed"}
    assert {p: (os.stat(p).st_ino, os.stat(p).st_mtime_ns) for p in files} == {
        p: (st.st_ino, st.st_mtime_ns) for p, st in files.items()}
    assert list(rebuilt["samples"][:3]) == list(again["samples"][:3])

    # other options mean other outputs: everything is converted again, resampled
    third = morvane_tools.convert(src, out, scheduler=cluster.address, resample_hz=25,
                                  progress=False)
    assert sorted(third["status"]) == ["converted"] * 3 + ["failed"]
    assert_output_matches(out / "r0.cwa.parquet", src / "r0.cwa", resample_hz=25)
    # and resume=False converts even what is up to date
    fourth = morvane_tools.convert(src, out, scheduler=cluster.address, resample_hz=25,
                                   resume=False, progress=False)
    assert sorted(fourth["status"]) == ["converted"] * 3 + ["failed"]


def test_output_landing_on_an_input_is_refused(tmp_path, cluster):
    d = tmp_path / "d"
    recording(d / "rec", minutes=1, seed=1)
    recording(d / "rec.parquet", minutes=1, seed=2)  # where rec's output would go
    recording(d / "manifest", minutes=1, seed=3)  # where the manifest goes
    before = {p.name: p.read_bytes() for p in d.iterdir()}
    manifest = morvane_tools.convert([d / "rec", d / "rec.parquet", d / "manifest"], d,
                                     scheduler=cluster.address, progress=False)
    status = dict(zip(manifest["source"].map(lambda s: Path(s).name), manifest["status"]))
    assert status == {"rec": "failed", "rec.parquet": "converted", "manifest": "failed"}
    assert manifest["error"].str.startswith("refused").sum() == 2
    for name, data in before.items():
        assert (d / name).read_bytes() == data
    assert_output_matches(d / "rec.parquet.parquet", d / "rec.parquet")


def test_inputs_that_cannot_be_read_fail_alone(tmp_path, cluster):
    src = tmp_path / "in"
    recording(src / "good.cwa", minutes=2)
    (src / "empty.cwa").write_bytes(b"")
    (src / "short.cwa").write_bytes(cwagen.metadata_block()[:700])  # shorter than a header
    (src / "gone.cwa").symlink_to(src / "moved-away.cwa")  # vanished before it was read
    os.mkfifo(src / "pipe.cwa")  # must not hang a worker
    unreadable = None
    if os.geteuid() != 0:  # root reads any file, whatever its permissions say
        unreadable = src / "locked.cwa"
        recording(unreadable, minutes=1)
        unreadable.chmod(0)
    manifest = morvane_tools.convert(src, tmp_path / "out", scheduler=cluster.address,
                                     progress=False)
    by = {Path(r["source"]).name: r for r in manifest.to_dict(orient="records")}
    assert by.pop("good.cwa")["status"] == "converted"
    expected = {"empty.cwa": "not a recording", "short.cwa": "not a recording",
                "gone.cwa": "unreadable: no such file", "pipe.cwa": "unreadable: not a regular"}
    if unreadable is not None:
        expected["locked.cwa"] = "unreadable: permission denied"
    assert {k: r["status"] for k, r in by.items()} == dict.fromkeys(expected, "failed")
    for name, start in expected.items():
        assert by[name]["error"].startswith(start), (name, by[name]["error"])
    assert sorted(p.name for p in (tmp_path / "out").rglob("*")) == [
        "good.cwa.parquet", "manifest.parquet"]


def test_permission_denied_is_a_failed_row(tmp_path):
    """A recording the converting processes may not read fails alone. Root reads any file, so
    as root the whole run goes through a process without the capabilities that bypass file
    permissions."""
    src = tmp_path / "in"
    recording(src / "good.cwa", minutes=1)
    recording(src / "locked.cwa", minutes=1, seed=2)
    (src / "locked.cwa").chmod(0)
    out = tmp_path / "out"
    command = [sys.executable, "-m", "morvane_tools", "convert", str(src), "-o", str(out),
               "--workers", "1", "--no-progress"]
    if os.geteuid() == 0:
        if shutil.which("setpriv") is None:
            pytest.skip("needs setpriv (util-linux) to drop root's file capabilities")
        command = ["setpriv", "--bounding-set", "-dac_override,-dac_read_search"] + command
    r = subprocess.run(command, capture_output=True, text=True, env=child_env(), timeout=180)
    assert r.returncode == 1, r.stderr
    rows = {Path(s).name: (st, e) for s, st, e in
            pd.read_parquet(out / "manifest.parquet")[["source", "status", "error"]].itertuples(index=False)}
    assert rows["good.cwa"][0] == "converted"
    assert rows["locked.cwa"][0] == "failed"
    assert rows["locked.cwa"][1].startswith("unreadable: permission denied"), rows


def test_damaged_recordings_are_converted_with_counts(tmp_path, cluster):
    src = tmp_path / "in"
    info = recording(src / "bad.cwa", minutes=3)
    raw = bytearray((src / "bad.cwa").read_bytes())
    for b in (5, 40):  # break two blocks' checksums
        raw[1024 + 512 * b + 100] ^= 0xFF
    (src / "bad.cwa").write_bytes(bytes(raw))
    recording(src / "plain.cwa", minutes=3, seed=4)
    whole = (src / "plain.cwa").read_bytes()
    (src / "cut.cwa").write_bytes(whole[:1024 + 512 * 100 + 200])  # ends inside a block
    packed = gzip_copy(src / "plain.cwa", tmp_path / "p.gz").read_bytes()
    (src / "whole.cwa.gz").write_bytes(packed)
    (src / "cutgz.cwa.gz").write_bytes(packed[:len(packed) // 2])  # gzip stream cut short
    manifest = morvane_tools.convert(src, tmp_path / "out", scheduler=cluster.address,
                                     progress=False)
    by = {Path(r["source"]).name: r for r in manifest.to_dict(orient="records")}
    assert set(manifest["status"]) == {"converted"}
    per_block = int(info.counts[0])
    assert by["bad.cwa"]["bad_blocks"] == 2 and by["bad.cwa"]["checksum_failures"] == 2
    assert by["bad.cwa"]["samples"] == info.n_samples - 2 * per_block
    assert by["cut.cwa"]["samples"] == 100 * per_block
    assert by["whole.cwa.gz"]["samples"] == info.n_samples
    assert 0 < by["cutgz.cwa.gz"]["samples"] < info.n_samples
    for name in by:
        assert_output_matches(tmp_path / "out" / (name + ".parquet"), src / name)


def test_epochs_are_those_of_prepare(tmp_path, cluster):
    prepare = morvane_tools.prepare
    src = tmp_path / "r.cwa"
    recording(src, minutes=10)
    manifest = morvane_tools.convert(src, tmp_path / "out", what="epochs", epoch="60s",
                                     nonwear=True, scheduler=cluster.address, progress=False)
    assert list(manifest["status"]) == ["converted"]
    want, info = prepare(src, calibrate=False, nonwear=True, epoch="60s")
    got = pd.read_parquet(tmp_path / "out/r.cwa.parquet")
    assert len(got) == len(want)
    if isinstance(want.index, pd.DatetimeIndex):
        np.testing.assert_array_equal(got.iloc[:, 0].to_numpy(), want.index.to_numpy())
    for col in want.columns:
        np.testing.assert_array_equal(got[col].to_numpy(), want[col].to_numpy())
    record = json.loads(pq.read_metadata(tmp_path / "out/r.cwa.parquet").metadata[b"morvane"])
    assert record["options"] == {"what": "epochs", "epoch": "60s", "calibrate": False,
                                 "nonwear": True, "bad_blocks": "skip"}


# ---------------------------------------------------------------------------
# losing workers
# ---------------------------------------------------------------------------

def _run_in_thread(**kwargs):
    result: dict = {}

    def target():
        try:
            result["manifest"] = morvane_tools.convert(**kwargs)
        except BaseException as exc:  # handed to the test
            result["error"] = exc

    t = threading.Thread(target=target, daemon=True)
    t.start()
    return t, result


def _kill_worker_running(cluster, name: str, deadline: float) -> str | None:
    """Kill the worker process running the task for ``name``; returns its address."""
    while time.monotonic() < deadline:
        for worker, keys in processing_keys(cluster.client).items():
            if any(k.endswith(name) for k in keys):
                try:
                    pid = cluster.client.run(os.getpid, workers=[worker]).get(worker)
                except OSError:  # that worker is gone already
                    continue
                if pid:
                    os.kill(pid, signal.SIGKILL)
                    return worker
        time.sleep(0.01)
    return None


def test_worker_killed_mid_task(tmp_path, cluster):
    src = tmp_path / "in"
    recording(src / "long.cwa", minutes=360)
    for i in range(4):
        recording(src / f"s{i}.cwa", minutes=2, seed=i)
    out = tmp_path / "out"
    t, result = _run_in_thread(inputs=src, output_dir=out, scheduler=cluster.address,
                               progress=False)
    killed = _kill_worker_running(cluster, "long.cwa", time.monotonic() + 30)
    assert killed is not None
    assert not (out / "long.cwa.parquet").exists()  # it was killed before finishing
    t.join(60)
    assert not t.is_alive() and "error" not in result
    manifest = result["manifest"]
    assert set(manifest["status"]) == {"converted"}
    row = manifest[manifest["source"].str.endswith("long.cwa")].iloc[0]
    assert row["worker"] != killed
    assert_output_matches(out / "long.cwa.parquet", src / "long.cwa")
    assert no_part_files(out) == []
    cluster.wait_for_workers()


def test_recording_that_keeps_killing_workers_ends_failed(tmp_path, cluster):
    src = tmp_path / "in"
    recording(src / "poison.cwa", minutes=360)
    recording(src / "fine.cwa", minutes=2)
    out = tmp_path / "out"
    t, result = _run_in_thread(inputs=src, output_dir=out, scheduler=cluster.address,
                               progress=False)
    kills = 0
    deadline = time.monotonic() + 60
    while t.is_alive() and time.monotonic() < deadline:
        if _kill_worker_running(cluster, "poison.cwa", time.monotonic() + 0.5):
            kills += 1
    t.join(30)
    assert "error" not in result
    by = {Path(s).name: (st, e) for s, st, e in
          zip(result["manifest"]["source"], result["manifest"]["status"],
              result["manifest"]["error"])}
    assert by["fine.cwa"][0] == "converted"
    assert by["poison.cwa"][0] == "failed" and by["poison.cwa"][1].startswith("killed")
    assert kills == 2  # the scheduler allows one failure, then gives up on the task
    assert not (out / "poison.cwa.parquet").exists() and no_part_files(out) == []
    cluster.wait_for_workers()


# ---------------------------------------------------------------------------
# the local cluster, from a plain script, killed and started again
# ---------------------------------------------------------------------------

SCRIPT = """\
import os, sys
with open(sys.argv[3], "a") as f:
    f.write(f"{os.getpid()}\\n")
import morvane_tools
morvane_tools.convert(sys.argv[1], sys.argv[2], workers=1, progress=False)
"""


def test_killed_run_resumes_from_a_script_without_main_guard(tmp_path):
    import psutil

    src = tmp_path / "in"
    recording(src / "r00.cwa", minutes=90)
    for i in range(1, 8):
        os.link(src / "r00.cwa", src / f"r{i:02d}.cwa")  # same bytes, own names
    out = tmp_path / "out"
    script = tmp_path / "run.py"
    script.write_text(SCRIPT)
    marks = tmp_path / "marks.txt"
    cmd = [sys.executable, str(script), str(src), str(out), str(marks)]
    proc = subprocess.Popen(cmd, env=child_env(), stderr=subprocess.PIPE)
    me = psutil.Process(proc.pid)
    deadline = time.monotonic() + 60
    done_before = None
    children: list = []
    while time.monotonic() < deadline and proc.poll() is None:
        children = me.children(recursive=True) or children
        try:
            m = pd.read_parquet(out / "manifest.parquet")
        except (OSError, ValueError):
            m = None
        if m is not None and (m["status"] == "converted").sum() >= 2:
            proc.send_signal(signal.SIGKILL)
            proc.wait()
            done_before = m
            break
        time.sleep(0.02)
    assert done_before is not None, "the run ended before it could be killed"
    assert (done_before["status"] == "converted").sum() < 8
    # the workers go with the run
    gone, alive = psutil.wait_procs(children, timeout=20)
    for p in alive:
        p.kill()
    assert alive == []

    kept = {p: os.stat(p) for p in out.glob("*.cwa.parquet")}
    assert len(kept) >= 2
    subprocess.run(cmd, env=child_env(), check=True, timeout=120, stderr=subprocess.PIPE)
    manifest = pd.read_parquet(out / "manifest.parquet")
    assert sorted(Path(s).name for s in manifest["source"]) == [
        f"r{i:02d}.cwa" for i in range(8)]
    assert set(manifest["status"]) <= {"converted", "up to date"}
    for p, st in kept.items():
        now = os.stat(p)
        assert (now.st_ino, now.st_mtime_ns) == (st.st_ino, st.st_mtime_ns)
    up = manifest[manifest["status"] == "up to date"]["output"].map(Path)
    assert set(up) == set(kept)
    assert no_part_files(out) == []
    assert_output_matches(out / "r07.cwa.parquet", src / "r07.cwa")
    # the script ran once per run: never again inside a worker
    assert len(marks.read_text().split()) == 2

