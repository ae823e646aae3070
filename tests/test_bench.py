"""The benchmark's own plumbing: its workers, its verdicts and the calibration comparison's
recordings (timings themselves are never checked here)."""

from __future__ import annotations

import importlib.util
import json
import os
import subprocess
import sys

import numpy as np
import pytest

import cwagen

ROOT = os.path.join(os.path.dirname(__file__), os.pardir)
BENCH = os.path.join(ROOT, "bench")


def load(name: str):
    found = importlib.util.spec_from_file_location(f"bench_{name}",
                                                   os.path.join(BENCH, name + ".py"))
    mod = importlib.util.module_from_spec(found)
    found.loader.exec_module(mod)
    return mod


run = load("run")
calib = load("calibration_vs_actipy")


def worker(job: dict, pythonpath: str | None = None) -> dict:
    """One benchmark worker; with the tests' own morvane_tools unless pythonpath is given."""
    env = dict(os.environ) if pythonpath is None else dict(os.environ, PYTHONPATH=pythonpath)
    proc = subprocess.run([sys.executable, os.path.join(BENCH, "run.py"), "--worker",
                           json.dumps(job)], capture_output=True, text=True, env=env,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


@pytest.fixture(scope="module")
def small_recording(tmp_path_factory):
    path = tmp_path_factory.mktemp("rec") / "ten_minutes.cwa"
    cwagen.write_recording(path, fmt=0x30, duration_s=600, checksums=True)
    return str(path)


@pytest.fixture(scope="module")
def gzip_recording(small_recording):
    """The small recording's gzip copy, where the benchmark's gzip jobs look (path + ".gz")."""
    import gzip
    import shutil

    with open(small_recording, "rb") as src, gzip.open(small_recording + ".gz", "wb") as dst:
        shutil.copyfileobj(src, dst)
    return small_recording + ".gz"


@pytest.fixture(scope="module")
def small_cohort(tmp_path_factory):
    folder = tmp_path_factory.mktemp("cohort")
    for i in range(3):
        cwagen.write_recording(folder / f"r{i}.cwa", fmt=0x30, duration_s=300, seed=i + 1,
                               checksums=True, metadata={"device_id": 100 + i})
    return str(folder)


def tools_file() -> str:
    """The morvane_tools the tests import (and so the benchmark workers they start)."""
    import morvane_tools
    return os.path.abspath(morvane_tools.__file__)


def fake_tools(root, body: str) -> str:
    pkg = root / "morvane_tools"
    pkg.mkdir()
    (pkg / "__init__.py").write_text(body)
    return str(root)


@pytest.mark.parametrize("body, op, needle", [
    ("", "prepare", "morvane_tools.prepare"),
    ("", "convert_samples", "morvane_tools.convert"),
    ("def block_table(path, **kw):\n    raise NotImplementedError('later')\n",
     "block_table", "NotImplementedError"),
    ("", "summarize", "morvane_tools.summarize"),
    # an older build: the function is there, the feature the row measures is not
    ("def read_recording(path, *, verify_checksums=True):\n    return None\n",
     "gzip_read_isal", "takes no threads argument"),
    ("def read_recording(path, *, threads=None):\n    return None\n",
     "gzip_read_zlib", "morvane_tools.options"),
    ("def summarize(path, *, epoch='5s'):\n    return None\n",
     "summarize_sleep", "takes no sleep argument"),
    ("def convert(inputs, out, *, what='samples', scheduler=None, progress=True):\n"
     "    raise ValueError(f'what must be samples or epochs, not {what!r}')\n",
     "summary_w1", "convert(what='summary')"),
])
def test_missing_tool_is_not_available(tmp_path, small_recording, small_cohort, body, op,
                                       needle):
    res = worker({"impl": "tools", "op": op, "path": small_recording, "duration": 600,
                  "runs": 1, "cohort": small_cohort}, fake_tools(tmp_path, body))
    assert "times" not in res and needle in res["unavailable"]
    # the worker says where its morvane_tools came from: the PYTHONPATH it was given
    assert res["where"]["morvane_tools"] == str(tmp_path / "morvane_tools" / "__init__.py")


def test_tools_read_worker_times_every_run(small_recording):
    import morvane

    frame = morvane.read_cwa_file(small_recording)
    res = worker({"impl": "tools", "op": "tools_read", "path": small_recording,
                  "duration": 600, "runs": 2})
    assert len(res["times"]) == 2 and min(res["times"]) > 0
    # the frame of the (frame, report) pair is what the result bytes count
    expected = sum(frame[c].to_numpy().nbytes for c in frame.columns) + frame.index.nbytes
    assert res["result_bytes"] == expected


@pytest.mark.parametrize("op", ["gzip_read_isal", "gzip_read_zlib"])
def test_gzip_read_workers_read_the_gzip_copy(monkeypatch, small_recording, gzip_recording, op):
    import morvane
    import morvane_tools
    import morvane_tools.options

    frame = morvane.read_cwa_file(small_recording)
    res = worker({"impl": "tools", "op": op, "path": small_recording, "duration": 600,
                  "runs": 1})
    expected = sum(frame[c].to_numpy().nbytes for c in frame.columns) + frame.index.nbytes
    assert res["result_bytes"] == expected
    # zlib where the row sets it; otherwise what this build's default inflater is
    monkeypatch.setattr(morvane_tools.options, "INFLATER", "auto")
    default = morvane_tools.quality_report(gzip_recording)["inflater"]
    assert res["inflater"] == ("zlib" if op == "gzip_read_zlib" else default)


@pytest.mark.parametrize("op, nights", [("summarize", False), ("summarize_sleep", True)])
def test_summarize_workers(small_recording, op, nights):
    import morvane_tools

    days, _ = morvane_tools.summarize(small_recording)
    res = worker({"impl": "tools", "op": op, "path": small_recording, "duration": 600,
                  "runs": 1})
    # the day table is what the result bytes count (its index as the int64 array it becomes)
    assert res["result_bytes"] == (sum(days[c].to_numpy().nbytes for c in days.columns)
                                   + 8 * len(days))
    assert (res["nights"] is not None) == nights


def test_convert_bytes_counts_what_the_dask_worker_reads(small_recording, gzip_recording):
    res = worker({"impl": "tools", "op": "convert_bytes", "path": small_recording,
                  "duration": 600, "runs": 1})
    sizes = {"plain": os.path.getsize(small_recording), "gzip": os.path.getsize(gzip_recording)}
    assert res["input_bytes"] == sizes
    # the Dask worker read each input at least once; the benchmark's own process, which
    # never opens the inputs, would show next to nothing
    assert all(res["read_bytes"][k] >= sizes[k] for k in sizes), res["read_bytes"]
    assert res["dask_where"] == [tools_file()]


@pytest.mark.parametrize("op, files", [
    ("convert_plain_w1", 1), ("convert_gzip_w1", 1), ("summary_w1", 3), ("summary_w2", 3),
])
def test_conversions_on_a_running_cluster(small_recording, gzip_recording, small_cohort, op,
                                          files):
    res = worker({"impl": "tools", "op": op, "path": small_recording, "duration": 600,
                  "runs": 2, "cohort": small_cohort})
    assert len(res["times"]) == 2 and min(res["times"]) > 0
    assert res["files"] == files and res["dask_where"] == [tools_file()]


def test_csv_worker_counts_the_bytes_of_text(tmp_path, small_recording):
    import morvane

    out = tmp_path / "mine.csv"
    morvane.write_cwa_csv(small_recording, str(out))
    res = worker({"impl": "morvane", "op": "csv", "path": small_recording, "duration": 600,
                  "runs": 1})
    assert res["result_bytes"] == os.path.getsize(out)


@pytest.mark.parametrize("row, ours_s, refs_s, met", [
    ("tools_read", 1.0, [1.0], True),
    ("tools_read", 1.2, [1.0], False),
    ("gzip_read", 2.9, [1.0, 2.0], True),       # at most decompress + plain read
    ("gzip_read", 3.1, [1.0, 2.0], False),
    ("prepare", 3.0, [16.0], True),             # >= 5x faster than actipy, <= 4 s
    ("prepare", 3.5, [16.0], False),
    ("prepare", 4.5, [40.0], False),
    ("block_table", 0.4, [], True),
    ("block_table", 0.6, [], False),
    ("convert_scaling", 20.0, [11.0], True),    # files/s of 2 workers over 1: 1.82
    ("convert_scaling", 20.0, [12.5], False),   # 1.6
    ("gzip_read_isal", 1.7, [1.0, 2.0], True),  # 0.57 x (decompress + plain read)
    ("gzip_read_isal", 1.9, [1.0, 2.0], False),
    ("gzip_read_zlib", 2.6, [1.0, 2.0], True),  # 0.87
    ("gzip_read_zlib", 2.8, [1.0, 2.0], False),
    ("summarize", 4.4, [3.0], True),            # 1.47 x prepare
    ("summarize", 4.6, [3.0], False),
    ("summarize_sleep", 5.9, [3.0], True),      # 1.97 x prepare
    ("summarize_sleep", 6.1, [3.0], False),
    ("summary_scaling", 20.0, [12.0], True),    # 1.67
    ("summary_scaling", 20.0, [13.0], False),   # 1.54
    # gzip convert, [plain convert, gzip read, plain read]: 2.0 s extra <= 2 x 1.0 s extra
    ("gzip_convert_extra", 6.0, [4.0, 3.0, 2.0], True),
    ("gzip_convert_extra", 6.5, [4.0, 3.0, 2.0], False),
    ("gzip_convert_extra", 4.1, [4.0, 2.0, 2.0], False),  # gzip costs the read nothing
    ("csv_rate", 1.9, [], True),                # 2 GB of text: 1.05 GB/s
    ("csv_rate", 2.1, [], False),               # 0.95 GB/s
])
def test_verdicts_point_the_right_way(row, ours_s, refs_s, met):
    ours = {"times": [ours_s], "peak": 100e6, "result_bytes": 2e9,
            "worker_peak": 300e6, "worker_rise": 200e6, "inflater": "zlib", "nights": 6}
    refs = [{"times": [r], "peak": 1e9, "result_bytes": None} for r in refs_s]
    _, _, checks = run.tool_checks(row, ours, refs)
    assert all(ok for _, ok in checks) == met


@pytest.mark.parametrize("peak_over_result_mb, worker_peak_mb, row, met", [
    (90, None, "gzip_read", True), (110, None, "gzip_read", False),
    (45, None, "gzip_read_isal", True), (55, None, "gzip_read_isal", False),
    (45, None, "gzip_read_zlib", True), (55, None, "gzip_read_zlib", False),
    (0, 450, "convert_samples", True), (0, 550, "convert_samples", False),
])
def test_memory_verdicts(peak_over_result_mb, worker_peak_mb, row, met):
    ours = {"times": [1.0], "peak": 2e9 + peak_over_result_mb * 1e6, "result_bytes": 2e9,
            "inflater": "zlib"}
    if worker_peak_mb is not None:
        ours |= {"worker_peak": worker_peak_mb * 1e6, "worker_rise": 100e6}
    _, _, checks = run.tool_checks(row, ours, [{"times": [5.0]}, {"times": [5.0]}])
    assert all(ok for _, ok in checks) == met


@pytest.mark.parametrize("row, extra, met", [
    ("gzip_read_zlib", {"inflater": "zlib"}, True),
    ("gzip_read_zlib", {"inflater": "isa-l"}, False),  # the option never reached the read
    ("gzip_read_zlib", {"extra_error": "OSError"}, False),
    ("gzip_read_isal", {"inflater": "zlib"}, True),    # a build without ISA-L: shown only
    ("summarize_sleep", {"nights": 0}, True),
    ("summarize_sleep", {"nights": None}, False),      # no night table: sleep never ran
])
def test_what_was_measured_is_checked(row, extra, met):
    ours = {"times": [1.0], "peak": 100e6, "result_bytes": 2e9} | extra
    _, _, checks = run.tool_checks(row, ours, [{"times": [1.0]}, {"times": [1.0]}])
    assert all(ok for _, ok in checks) == met


@pytest.mark.parametrize("row, peak_mb, met", [
    ("summarize", 590, True), ("summarize", 610, False),
    ("summarize_sleep", 590, True), ("summarize_sleep", 610, False),
    ("prepare", 590, True), ("prepare", 610, False),
])
def test_peak_verdicts(row, peak_mb, met):
    ours = {"times": [1.0], "peak": peak_mb * 1e6, "result_bytes": None, "nights": 1}
    _, _, checks = run.tool_checks(row, ours, [{"times": [10.0], "peak": 1e9}])
    assert all(ok for _, ok in checks) == met


@pytest.mark.parametrize("plain_mb, gzip_mb, met", [
    (200, 100, True), (201, 100, False), (200, 101, False), (None, None, False),
])
def test_bytes_verdicts(plain_mb, gzip_mb, met):
    ours = {"times": [1.0], "peak": 0, "result_bytes": None}
    if plain_mb is None:
        ours["extra_error"] = "KeyError"
    else:
        ours |= {"read_bytes": {"plain": plain_mb * 1e6, "gzip": gzip_mb * 1e6},
                 "input_bytes": {"plain": 100e6, "gzip": 50e6}}
    _, _, checks = run.tool_checks("convert_bytes", ours, [])
    assert all(ok for _, ok in checks) == met


@pytest.mark.parametrize("row, new_s, old, inside, met", [
    ("tools_read", 1.04, {"times": [1.0]}, True, True),
    ("tools_read", 1.06, {"times": [1.0]}, True, False),     # more than 5 % slower
    ("tools_read", 1.00, {"times": [1.0]}, False, False),    # not the baseline's package
    ("summarize", 2.00, {"times": [1.0]}, True, True),       # a new row: shown, not held
    ("summarize", 1.00, {"unavailable": "no summarize"}, True, True),
    ("convert_samples", 1.0, {"times": [1.0], "dask_where": ["elsewhere"]}, True, False),
    ("plot", 1.0, {"error": "failed: boom"}, True, False),
])
def test_baseline_verdicts(tmp_path, row, new_s, old, inside, met):
    base = tmp_path / "old"
    (base / "morvane_tools").mkdir(parents=True)
    init = str((base if inside else tmp_path) / "morvane_tools" / "__init__.py")
    old = old | {"where": {"morvane_tools": init, "morvane": None}}
    if old.get("dask_where") == ["elsewhere"]:
        old["dask_where"] = [str(tmp_path / "new" / "morvane_tools" / "__init__.py")]
    cells, checks = run.baseline_checks(row, {"times": [new_s]}, old, str(base))
    assert all(ok for _, ok in checks) == met
    if "unavailable" in old:
        assert cells[2] == "not available"


def test_baseline_runs_each_row_again_with_the_older_package(tmp_path, monkeypatch, capsys,
                                                             small_recording):
    """The tools table with --baseline, in worker processes: a fake older package whose
    read_recording exists (and is far quicker than the real one) and summarize does not."""
    import shutil

    data = tmp_path / "data"
    data.mkdir()
    shutil.copy(small_recording, data / (run.TOOLS_RECORDING + ".cwa"))
    monkeypatch.setattr(run, "DATA", str(data))
    old = fake_tools(tmp_path, "def read_recording(path, **kw):\n    return None\n")
    run.run_tools(["tools_read", "summarize"], 1, {}, sys.executable, old)
    out = capsys.readouterr().out
    table = out[out.index("\nbaseline:"):].splitlines()
    rows = {line.split()[0]: line for line in table
            if line.split() and line.split()[0] in ("tools_read", "summarize")}
    # tools_read existed before: held to 5 %, and the fake returns at once, so it fails;
    # the old worker's package is the fake's
    assert " NO " in rows["tools_read"] and old in rows["tools_read"]
    assert "not available" in rows["summarize"] and "NOT the baseline" not in out


@pytest.mark.parametrize("args", [["--quick", "--tools"], ["--only", "no_such_row"],
                                  ["--tools", "--baseline", "/no/such/folder"]])
def test_bad_arguments_stop_before_any_work(args):
    proc = subprocess.run([sys.executable, os.path.join(BENCH, "run.py"), *args],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 2 and "error:" in proc.stderr


def test_effective_coefficients_recover_a_linear_correction():
    rng = np.random.default_rng(3)
    raw = rng.normal(size=(5000, 3))
    temp = calib.T_MID + rng.uniform(-8, 8, 5000)
    offset, scale, tc = np.array([0.03, -0.02, 0.01]), np.array([1.02, 0.98, 1.0]), \
        np.array([0.001, 0.0, -0.0005])
    out = offset + scale * raw + tc * (temp - calib.T_MID)[:, None]
    out[7] = np.nan  # a missing sample (actipy's non-wear) is left out of the fit
    eff = calib.effective(raw, temp, out)
    np.testing.assert_allclose(eff["offset"], offset, atol=1e-12)
    np.testing.assert_allclose(eff["scale"], scale, atol=1e-12)
    np.testing.assert_allclose(eff["tc"], tc, atol=1e-12)


@pytest.mark.parametrize("case", ["temp_30", "temp_62"])
def test_calibration_recordings_hold_their_known_errors(tmp_path, monkeypatch, case):
    """The true correction brings every still orientation to 1 g; the raw readings do not."""
    import morvane

    monkeypatch.setattr(calib, "DATA", str(tmp_path))
    path = calib.make_case(case, 1.0)
    frame = morvane.read_cwa_file(path)
    truth = calib.CASES[case]
    raw = frame[["acc_x", "acc_y", "acc_z"]].to_numpy(np.float64)
    temp = frame["temperature"].to_numpy(np.float64)
    assert np.ptp(temp) > 5  # the drift the temperature coefficient acts on
    g = (np.array(truth["offset"]) + np.array(truth["scale"]) * raw
         + np.array(truth["tc"]) * (temp - calib.T_MID)[:, None])
    t = (frame.index - frame.index[0]).total_seconds().to_numpy()
    cycle = calib.HOLD_S + calib.MOVE_S
    hold = (t // cycle).astype(int)
    still = t % cycle < calib.HOLD_S - 1
    for values, worst in ((g, lambda e: e < 1.0), (raw, lambda e: e > 10.0)):
        means = np.array([values[still & (hold == k)].mean(axis=0)
                          for k in np.unique(hold[still])])
        err_mg = np.abs(np.linalg.norm(means, axis=1) - 1).max() * 1000
        assert worst(err_mg), err_mg
