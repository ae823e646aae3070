"""The ``morvane`` command line, run as a real program (``python -m morvane_tools``)."""

from __future__ import annotations

import json
import subprocess
import sys

import pandas as pd
import pyarrow.parquet as pq
import pytest

import morvane_tools
from cohort_helpers import assert_same, child_env, cluster, recording
from morvane_tools.jsonable import jsonable as _jsonable

__all__ = ["cluster"]


def morvane(*args, cwd=None, timeout=120) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "morvane_tools", *map(str, args)],
                          capture_output=True, text=True, env=child_env(), cwd=cwd,
                          timeout=timeout)


@pytest.fixture(scope="module")
def recs(tmp_path_factory):
    d = tmp_path_factory.mktemp("recs")
    recording(d / "in/a.cwa", minutes=2, seed=1, metadata={"device_id": 4321})
    recording(d / "in/sub/b.cwa", minutes=3, seed=2, fmt=0x62)
    (d / "junk.cwa").write_text("nothing to see\n")
    return d


@pytest.mark.parametrize("args, words", [
    ([], ["info", "qc", "convert", "plot"]),
    (["info"], ["--json", "FILE"]),
    (["qc"], ["--output", ".parquet"]),
    (["convert"], ["--epochs", "--calibrate", "--nonwear", "--resample", "--scheduler",
                   "--workers", "--no-resume", "Exit status"]),
    (["plot"], ["--output", "PICTURE"]),
])
def test_help_everywhere(args, words):
    r = morvane(*args, "--help")
    assert r.returncode == 0 and r.stderr == ""
    for w in words:
        assert w in r.stdout


@pytest.mark.parametrize("args, says", [
    ([], "required"),
    (["frobnicate"], "invalid choice"),
    (["convert", "IN"], "-o/--output"),
    (["convert", "IN", "-o", "OUT", "--workers", "0"], "at least 1"),
    (["convert", "IN", "-o", "OUT", "--resample", "fast"], "not a number"),
    (["convert", "IN", "-o", "OUT", "--calibrate"], "need --epochs"),
    (["convert", "IN", "-o", "OUT", "--epochs", "30s", "--resample", "30"], "not --epochs"),
    (["convert", "IN", "-o", "OUT", "--scheduler", "tcp://127.0.0.1:1", "--workers", "2"],
     "local cluster"),
    (["convert", "missing.cwa", "-o", "OUT"], "no such file"),
    (["convert", "IN", "-o", "OUT", "--epochs", "often"], "duration"),
    (["qc", "IN", "-o", "report.txt"], ".csv or .parquet"),
    (["plot", "missing.cwa", "-o", "x.png"], "no such file"),
])
def test_bad_arguments_exit_2_with_one_line(recs, args, says):
    args = [str(recs / "in") if a == "IN" else str(recs / "out-bad") if a == "OUT" else a
            for a in args]
    r = morvane(*args, cwd=recs)
    assert r.returncode == 2
    lines = r.stderr.strip().splitlines()
    assert len(lines) == 1 and says in lines[0] and lines[0].startswith("morvane")
    assert "Traceback" not in r.stderr and r.stdout == ""
    assert not (recs / "out-bad").exists()


def test_info_readable_and_json(recs):
    a, b = recs / "in/a.cwa", recs / "in/sub/b.cwa"
    r = morvane("info", a, b)
    assert r.returncode == 0 and r.stderr == ""
    text = r.stdout
    assert str(a) in text and str(b) in text and "4321" in text
    assert text.index(str(a)) < text.index(str(b))
    for key in ("device_id", "effective_rate_hz", "bad_blocks"):
        assert key in text

    r = morvane("info", "--json", a, b)
    assert r.returncode == 0
    docs = json.loads(r.stdout)
    assert [d["path"] for d in docs] == [str(a), str(b)]
    for doc, path in zip(docs, (a, b)):
        assert doc["metadata"] == _jsonable(morvane_tools.read_metadata(path))
        assert doc["quality"] == _jsonable(morvane_tools.quality_report(path))


def test_info_goes_on_past_a_bad_file(recs):
    r = morvane("info", recs / "junk.cwa", recs / "in/a.cwa")
    assert r.returncode == 1
    assert r.stderr.count("\n") == 1 and r.stderr.startswith(str(recs / "junk.cwa"))
    assert str(recs / "in/a.cwa") in r.stdout and "Traceback" not in r.stderr


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
def test_qc_report_file(recs, tmp_path, suffix):
    out = tmp_path / ("report" + suffix)
    r = morvane("qc", recs / "in", recs / "junk.cwa", "-o", out)
    assert r.returncode == 1  # the junk file has no quality report
    table = pd.read_csv(out) if suffix == ".csv" else pq.read_table(out).to_pandas()
    assert list(table["recording"]) == [str(recs / "in/a.cwa"), str(recs / "in/sub/b.cwa"),
                                        str(recs / "junk.cwa")]
    assert table["error"].isna().tolist() == [True, True, False]
    for i, path in enumerate((recs / "in/a.cwa", recs / "in/sub/b.cwa")):
        q = morvane_tools.quality_report(path)
        for key in ("bad_blocks", "checksum_failures", "gaps", "effective_rate_hz"):
            assert table[key][i] == pytest.approx(q[key])
        assert table["first_sample"][i] == q["first_sample"]


def test_qc_table_on_the_terminal(recs):
    r = morvane("qc", recs / "in")
    assert r.returncode == 0 and r.stderr == ""
    lines = r.stdout.strip().splitlines()
    assert len(lines) == 3 and "bad_blocks" in lines[0]
    assert str(recs / "in/a.cwa") in lines[1] and str(recs / "in/sub/b.cwa") in lines[2]


def test_convert_on_a_cluster(recs, tmp_path, cluster):
    out = tmp_path / "out"
    r = morvane("convert", recs / "in", "-o", out, "--scheduler", cluster.address)
    assert r.returncode == 0, r.stderr
    assert "2/2 done, 0 failed" in r.stderr and "rec/s" in r.stderr and "left" in r.stderr
    manifest = pd.read_parquet(out / "manifest.parquet")
    assert list(manifest["status"]) == ["converted", "converted"]
    frame, _ = morvane_tools.read_recording(recs / "in/sub/b.cwa")
    got = pq.read_table(out / "sub/b.cwa.parquet").to_pandas().set_index("timestamp")
    assert_same(got, frame)

    # again, with a file that is not a recording: exit 1, the failure named
    r = morvane("convert", recs / "in", recs / "junk.cwa", "-o", out, "--scheduler",
                cluster.address, "--no-progress")
    assert r.returncode == 1
    assert f"failed: {recs / 'junk.cwa'}: not a recording" in r.stderr
    assert "2 up to date, 1 failed" in r.stderr and "Traceback" not in r.stderr
    assert "done" not in r.stderr


def test_plot(recs, tmp_path):
    out = tmp_path / "overview.png"
    r = morvane("plot", recs / "in/a.cwa", "-o", out)
    assert r.returncode == 0, r.stderr
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
