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
])
def test_missing_tool_is_not_available(tmp_path, small_recording, body, op, needle):
    res = worker({"impl": "tools", "op": op, "path": small_recording, "duration": 600,
                  "runs": 1}, fake_tools(tmp_path, body))
    assert "times" not in res and needle in res["unavailable"]


def test_tools_read_worker_times_every_run(small_recording):
    import morvane

    frame = morvane.read_cwa_file(small_recording)
    res = worker({"impl": "tools", "op": "tools_read", "path": small_recording,
                  "duration": 600, "runs": 2})
    assert len(res["times"]) == 2 and min(res["times"]) > 0
    # the frame of the (frame, report) pair is what the result bytes count
    expected = sum(frame[c].to_numpy().nbytes for c in frame.columns) + frame.index.nbytes
    assert res["result_bytes"] == expected


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
])
def test_verdicts_point_the_right_way(row, ours_s, refs_s, met):
    ours = {"times": [ours_s], "peak": 100e6, "result_bytes": 2e9,
            "worker_peak": 300e6, "worker_rise": 200e6}
    refs = [{"times": [r], "peak": 1e9, "result_bytes": None} for r in refs_s]
    _, _, checks = run.tool_checks(row, ours, refs)
    assert all(ok for _, ok in checks) == met


@pytest.mark.parametrize("peak_over_result_mb, worker_peak_mb, row, met", [
    (90, None, "gzip_read", True), (110, None, "gzip_read", False),
    (0, 450, "convert_samples", True), (0, 550, "convert_samples", False),
])
def test_memory_verdicts(peak_over_result_mb, worker_peak_mb, row, met):
    ours = {"times": [1.0], "peak": 2e9 + peak_over_result_mb * 1e6, "result_bytes": 2e9}
    if worker_peak_mb is not None:
        ours |= {"worker_peak": worker_peak_mb * 1e6, "worker_rise": 100e6}
    _, _, checks = run.tool_checks(row, ours, [{"times": [5.0]}, {"times": [5.0]}])
    assert all(ok for _, ok in checks) == met


@pytest.mark.parametrize("args", [["--quick", "--tools"], ["--only", "no_such_row"]])
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
