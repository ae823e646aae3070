"""Gravity calibration: the coefficients actipy and morvane_tools recover from known errors.

    python bench/calibration_vs_actipy.py            # every case, both sides
    python bench/calibration_vs_actipy.py --only temp_30 --hours 6
    python bench/calibration_vs_actipy.py --ours-only   # without the peer

Each case is a recording made with tests/cwagen.py (kept in bench/data/calibration/): a device
held still in many orientations (random directions on the sphere plus the six faces, each held
for a few minutes, with a short shaken transition between them), whose raw readings carry known
per-axis errors. With g the true acceleration and T the temperature as the reader reports it
(per block, drifting over the day), the recorded value of an axis is

    raw = (g - offset - temperature_coefficient * (T - T_ref)) / scale

so the correction a calibration should find is g = offset + scale * raw + tc * (T - T_ref),
with the true offset, scale and tc of the case (T_ref: the middle of the temperature drift).

Both calibrations are compared through what they do to the samples, not through their own
parametrisation (actipy's intercept is at 0 degrees of its own temperature scale; ours is about
the stationary points' mean temperature): per axis, the calibrated values are fitted by least
squares as a + b * raw + c * (T - T_ref) over samples spread across the whole recording, with
raw and T as morvane reads them. For a per-axis linear correction that fit is exact, and a, b
and c are directly comparable with the truth: offsets in mg, scales in %, temperature
coefficients in mg per degree. actipy's own reported coefficients are printed too.

actipy runs in the peer interpreter (bench/data/peer-venv, see bench/run.py --install-peers)
in a subprocess: read_device(path, lowpass_hz=None, calibrate_gravity=False, detect_nonwear=False,
resample_hz=None), then actipy.processing.calibrate_gravity on that frame with its defaults (what
read_device(calibrate_gravity=True) runs, except that read_device drops the coefficients from its
info dict); the calibrated frame is sampled at the same rows. Its reported intercept is at 0 on
actipy's own temperature scale (its reader converts the raw value as 0.15 * raw - 20.5, ours
as 75 / 256 * raw - 50), which is one more reason to compare effective coefficients. Ours is morvane_tools.calibrate(frame)
on morvane.read_cwa_file's frame (shown as "not available" until that function exists).

The case "two_faces" holds only two orientations: both calibrations should refuse it.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data", "calibration")
PEER_PYTHON = os.path.join(HERE, "data", "peer-venv", "bin", "python")
RATE = 100
HOLD_S = 240          # stationary hold per orientation
MOVE_S = 20           # shaken transition to the next orientation
T_MID, T_SWING, T_PERIOD_S = 27.0, 7.0, 5 * 3600.0   # temperature drift, degrees
SAMPLED_ROWS = 200_000

# name -> format, offset (g), scale, temperature coefficient (g per degree), orientations,
# optionally hold_s (seconds still per orientation) and noise (sensor noise SD in counts)
CASES = {
    "plain_30": dict(fmt=0x30, offset=(0.030, -0.020, 0.045), scale=(1.020, 0.985, 1.010),
                     tc=(0.0, 0.0, 0.0), orientations="sphere"),
    "temp_30": dict(fmt=0x30, offset=(-0.025, 0.040, 0.015), scale=(0.990, 1.015, 1.025),
                    tc=(0.0008, -0.0005, 0.0012), orientations="sphere"),
    "temp_62": dict(fmt=0x62, offset=(0.012, 0.035, -0.030), scale=(1.012, 0.992, 0.980),
                    tc=(-0.0010, 0.0007, 0.0004), orientations="sphere"),
    # short holds and noise near the stationary threshold: fewer, noisier stationary means
    "noisy_30": dict(fmt=0x30, offset=(0.020, 0.030, -0.040), scale=(1.015, 0.990, 1.005),
                     tc=(0.0006, 0.0010, -0.0008), orientations="sphere", hold_s=40,
                     noise=2.6),
    "two_faces": dict(fmt=0x30, offset=(0.030, -0.020, 0.045), scale=(1.020, 0.985, 1.010),
                      tc=(0.0008, -0.0005, 0.0012), orientations="two"),
}
COUNTS_PER_G = {0x30: 256, 0x62: 4096}
SAMPLES_PER_BLOCK = {0x30: 120, 0x62: 40}


# --------------------------------------------------------------------------- recordings

def orientations(kind: str, n: int, rng: np.random.Generator) -> np.ndarray:
    """(n, 3) unit vectors: the six faces, then uniform directions; or two faces only."""
    if kind == "two":
        return np.array([[0.0, 0.0, 1.0], [1.0, 0.0, 0.0]] * (n // 2 + 1))[:n]
    faces = np.vstack([np.eye(3), -np.eye(3)])
    v = rng.normal(size=(max(n - 6, 0), 3))
    return np.vstack([faces, v / np.linalg.norm(v, axis=1, keepdims=True)])[:n]


def temperature_c(raw: np.ndarray) -> np.ndarray:
    """Degrees as the reader converts the block's raw temperature."""
    return (raw & 1023).astype(np.float32) * np.float32(75 / 256) - np.float32(50)


def make_case(name: str, hours: float, seed: int = 7) -> str:
    """Write the case's recording (once) and return its path."""
    sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))
    import cwagen

    case = CASES[name]
    fmt = case["fmt"]
    path = os.path.join(DATA, f"{name}_{hours:g}h.cwa")
    if os.path.exists(path):
        return path
    os.makedirs(DATA, exist_ok=True)
    duration = hours * 3600
    spb = SAMPLES_PER_BLOCK[fmt]
    n_blocks = int(np.ceil(duration * RATE / spb))
    block_t = np.arange(n_blocks) * spb / RATE
    t_true = T_MID + T_SWING * np.sin(2 * np.pi * block_t / T_PERIOD_S)
    t_raw = np.rint((t_true + 50) * 256 / 75).astype(np.int64)
    t_block = temperature_c(t_raw).astype(np.float64)
    rng = np.random.default_rng(seed)
    hold = case.get("hold_s", HOLD_S)
    cycle = hold + MOVE_S
    dirs = orientations(case["orientations"], int(duration // cycle) + 2, rng)
    offset, scale, tc = (np.array(case[k]) for k in ("offset", "scale", "tc"))
    per_g = COUNTS_PER_G[fmt]
    noise_counts = case.get("noise", 1.0 if fmt == 0x30 else 8.0)   # about 4 mg and 2 mg

    def motion(t: np.ndarray) -> np.ndarray:
        k = (t // cycle).astype(np.int64)
        into = t - k * cycle
        g = dirs[k].copy()
        moving = into >= hold
        if moving.any():  # swing towards the next orientation while shaking
            f = ((into[moving] - hold) / MOVE_S)[:, None]
            g[moving] = (1 - f) * dirs[k[moving]] + f * dirs[k[moving] + 1]
            g[moving] /= np.linalg.norm(g[moving], axis=1, keepdims=True)
            g[moving] += 0.3 * np.sin(2 * np.pi * 2.0 * t[moving])[:, None]
        blk = np.minimum(np.rint(t * RATE).astype(np.int64) // spb, n_blocks - 1)
        d_t = (t_block[blk] - T_MID)[:, None]
        raw_g = (g - offset - tc * d_t) / scale
        noise = np.random.default_rng(int(t[0] * RATE)).normal(0, noise_counts, g.shape)
        counts = np.rint(raw_g * per_g + noise).astype(np.int32)
        if fmt == 0x30:
            return counts
        gyro = np.rint(np.random.default_rng(int(t[0] * RATE) + 1)
                       .normal(0, 3, g.shape)).astype(np.int32)
        return np.hstack([gyro, counts])   # 0x62: gyroscope first, then accelerometer

    t0 = time.perf_counter()
    cwagen.write_recording(path + ".part", fmt=fmt, duration_s=duration, motion=motion,
                           temperature=t_raw, checksums=True)
    os.replace(path + ".part", path)
    print(f"made {path} ({os.path.getsize(path) / 1e6:.0f} MB) in "
          f"{time.perf_counter() - t0:.1f} s", flush=True)
    return path


# --------------------------------------------------------------------------- the two sides

def effective(raw: np.ndarray, temp: np.ndarray, out: np.ndarray) -> dict[str, list[float]]:
    """Per axis, out = offset + scale * raw + tc * (T - T_MID) by least squares."""
    ok = np.isfinite(out).all(axis=1) & np.isfinite(raw).all(axis=1) & np.isfinite(temp)
    d_t = temp[ok] - T_MID
    res = {"offset": [], "scale": [], "tc": []}
    for k in range(3):
        a = np.column_stack([np.ones(ok.sum()), raw[ok, k], d_t])
        coef, *_ = np.linalg.lstsq(a, out[ok, k], rcond=None)
        for key, c in zip(res, coef):
            res[key].append(float(c))
    return res


def actipy_worker(path: str, rows_file: str, out_file: str) -> None:
    """Runs in the peer interpreter: actipy's calibration, its frame at the given rows.

    read_device(calibrate_gravity=True) keeps the coefficients to itself, so the frame is read
    uncalibrated and then given to actipy.processing.calibrate_gravity with its defaults (the
    same function and settings read_device uses), which reports them."""
    import warnings

    import actipy
    import actipy.processing

    warnings.simplefilter("ignore")
    rows = np.load(rows_file)
    data, info = actipy.read_device(path, lowpass_hz=None, calibrate_gravity=False,
                                    detect_nonwear=False, resample_hz=None, verbose=False)
    t0 = time.perf_counter()
    data, calib = actipy.processing.calibrate_gravity(data)
    seconds = time.perf_counter() - t0
    info = calib
    np.savez(out_file, xyz=data[["x", "y", "z"]].to_numpy(np.float64)[rows],
             time_ns=data.index.to_numpy().astype("datetime64[ns]").astype(np.int64)[rows],
             n=len(data))
    info = {k: (v.item() if hasattr(v, "item") else v) for k, v in info.items()}
    print(json.dumps({"info": info, "seconds": seconds}, default=str))


def run_actipy(path: str, rows: np.ndarray, raw: np.ndarray, temp: np.ndarray,
               times_ns: np.ndarray, python: str) -> dict:
    if not os.path.exists(python):
        return {"unavailable": f"no peer interpreter at {python} (bench/run.py --install-peers)"}
    with tempfile.TemporaryDirectory() as tmp:
        rows_file, out_file = os.path.join(tmp, "rows.npy"), os.path.join(tmp, "out.npz")
        np.save(rows_file, rows)
        proc = subprocess.run([python, os.path.abspath(__file__), "--actipy-worker", path,
                               rows_file, out_file], capture_output=True, text=True)
        if proc.returncode != 0:
            return {"unavailable": "actipy failed: "
                    + (proc.stderr.strip().splitlines() or ["?"])[-1][:120]}
        got = np.load(out_file)
        reply = json.loads(proc.stdout.strip().splitlines()[-1])
        # actipy's timestamps may differ from ours by a millisecond (its own rounding), the
        # samples are the same ones in the same order
        if int(got["n"]) != len(times_ns) or \
                np.abs(got["time_ns"] - times_ns[rows]).max() > 2_000_000:
            return {"unavailable": "actipy's rows do not line up with morvane's samples"}
        info = reply["info"]
        calibrated = bool(info.get("CalibOK")) and info.get("CalibNumIters", 0) > 0
        return {"calibrated": calibrated, "info": info, "seconds": reply["seconds"],
                "effective": effective(raw, temp, got["xyz"]),
                "reason": None if calibrated else
                ("error before below actipy's 10 mg threshold" if info.get("CalibOK")
                 else f"CalibOK 0 ({info.get('CalibNumSamples')} stationary windows)")}


def run_ours(frame, rows: np.ndarray, raw: np.ndarray, temp: np.ndarray) -> dict:
    try:
        import morvane_tools
        calibrate = morvane_tools.calibrate
    except (ImportError, AttributeError) as e:
        return {"unavailable": f"morvane_tools.calibrate: {type(e).__name__}: {e}"}
    t0 = time.perf_counter()
    out, info = calibrate(frame)
    seconds = time.perf_counter() - t0
    xyz = np.column_stack([out[c].to_numpy(np.float64)[rows] for c in ("acc_x", "acc_y", "acc_z")])
    return {"calibrated": bool(info.get("calibrated")), "info": info, "seconds": seconds,
            "effective": effective(raw, temp, xyz), "reason": info.get("reason")}


# --------------------------------------------------------------------------- table

def diff_cell(quantity: str, est: float, true: float) -> str:
    if quantity == "scale":
        return f"{(est / true - 1) * 100:+.4f} %"
    return f"{(est - true) * 1000:+.3f} mg" + ("/C" if quantity == "tc" else "")


def value_cell(quantity: str, v: float) -> str:
    return f"{v:.5f}" if quantity == "scale" else f"{v * 1000:.2f}"


def report(name: str, sides: dict[str, dict]) -> None:
    case = CASES[name]
    print(f"format {case['fmt']:#04x}, orientations {case['orientations']}, still "
          f"{case.get('hold_s', HOLD_S)} s each")
    for side, res in sides.items():
        if "unavailable" in res:
            print(f"  {side}: not available ({res['unavailable']})")
        elif not res["calibrated"]:
            print(f"  {side}: not calibrated ({res['reason']}), {res['seconds']:.1f} s")
        else:
            print(f"  {side}: calibrated in {res['seconds']:.1f} s")
    if "actipy" in sides and "info" in sides["actipy"]:
        info = sides["actipy"]["info"]
        keys = [k for k in info if k.startswith("Calib")]
        print("  actipy reports: " + ", ".join(
            f"{k[5:]}={info[k]:.6g}" if isinstance(info[k], float) else f"{k[5:]}={info[k]}"
            for k in keys))
    if "ours" in sides and "info" in sides["ours"]:
        info = sides["ours"]["info"]
        print("  ours reports: " + ", ".join(f"{k}={info[k]}" for k in info
                                             if k not in ("calibrated",)))
    fitted = {s: r["effective"] for s, r in sides.items() if r.get("calibrated")}
    head = "  {:<4} {:<10} {:>9}" + " {:>9} {:>13}" * len(fitted) + (
        " {:>13}" if len(fitted) == 2 else "")
    cols = [c for s in fitted for c in (s, f"{s} - true")] + (
        ["ours - actipy"] if len(fitted) == 2 else [])
    print(head.format("axis", "quantity", "true", *cols))
    units = {"offset": "offset mg", "scale": "scale", "tc": "tc mg/C"}
    for k, axis in enumerate("xyz"):
        for q in ("offset", "scale", "tc"):
            true = case[q][k]
            cells = []
            for s in fitted:
                est = fitted[s][q][k]
                cells += [value_cell(q, est), diff_cell(q, est, true)]
            if len(fitted) == 2:
                cells.append(diff_cell(q, fitted["ours"][q][k], fitted["actipy"][q][k]))
            print(head.format(axis, units[q], value_cell(q, true), *cells))
    for s, eff in fitted.items():
        off = max(abs(eff["offset"][k] - case["offset"][k]) for k in range(3)) * 1000
        sc = max(abs(eff["scale"][k] / case["scale"][k] - 1) for k in range(3)) * 100
        ok = off <= 2 and sc <= 0.2
        print(f"  {s}: worst offset error {off:.2f} mg, worst scale error {sc:.3f} % "
              f"({'within' if ok else 'OUTSIDE'} 2 mg / 0.2 %)")
    if case["orientations"] == "two":
        for s, res in sides.items():
            if "calibrated" in res:
                print(f"  {s}: {'refused, as it should' if not res['calibrated'] else 'CALIBRATED a recording it should refuse'}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--only", help="comma-separated case names: " + ", ".join(CASES))
    ap.add_argument("--hours", type=float, default=12.0, help="length of each recording")
    ap.add_argument("--peer-python", default=PEER_PYTHON)
    ap.add_argument("--ours-only", action="store_true", help="skip actipy")
    ap.add_argument("--actipy-worker", nargs=3, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.actipy_worker:
        actipy_worker(*args.actipy_worker)
        return
    names = args.only.split(",") if args.only else list(CASES)
    if set(names) - set(CASES):
        ap.error(f"unknown cases {sorted(set(names) - set(CASES))}; choose from {list(CASES)}")

    import morvane
    print(f"truth: g = offset + scale * raw + tc * (T - {T_MID:g} C); T as morvane reads it; "
          f"coefficients of both sides fitted from their calibrated samples")
    for name in names:
        path = make_case(name, args.hours)
        frame = morvane.read_cwa_file(path)
        rows = np.unique(np.linspace(0, len(frame) - 1, SAMPLED_ROWS).astype(np.int64))
        raw = np.column_stack([frame[c].to_numpy(np.float64)[rows]
                               for c in ("acc_x", "acc_y", "acc_z")])
        temp = frame["temperature"].to_numpy(np.float64)[rows]
        times_ns = frame.index.to_numpy().astype("datetime64[ns]").astype(np.int64)
        # the generator itself: the true correction brings still samples to 1 g
        case = CASES[name]
        t = (frame.index.to_numpy()[rows] - frame.index.to_numpy()[0]) / np.timedelta64(1, "s")
        hold = case.get("hold_s", HOLD_S)
        still = t % (hold + MOVE_S) < hold - 1
        g = (np.array(case["offset"]) + np.array(case["scale"]) * raw
             + np.array(case["tc"]) * (temp - T_MID)[:, None])[still]
        print(f"\n{name}: {len(frame)} samples; true correction on still samples: |g| - 1 = "
              f"{(np.linalg.norm(g, axis=1) - 1).mean() * 1000:+.2f} mg on average "
              f"(raw: {(np.linalg.norm(raw[still], axis=1) - 1).mean() * 1000:+.1f} mg)")
        sides = {}
        if not args.ours_only:
            sides["actipy"] = run_actipy(path, rows, raw, temp, times_ns, args.peer_python)
        sides["ours"] = run_ours(frame, rows, raw, temp)
        del frame
        report(name, sides)


if __name__ == "__main__":
    main()
