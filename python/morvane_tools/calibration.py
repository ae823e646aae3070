"""Autocalibration against local gravity (van Hees et al. 2014, J Appl Physiol 117:738)."""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from . import binning as B
from . import days as D
from .coverage import Recorded
from .threads import resolve, run_tasks

__all__ = ["calibrate"]

# weights are 1 / distance from the sphere, capped here (points closer than 10 mg count as
# 10 mg away)
_MAX_WEIGHT = 100.0
_MIN_POINTS = 4
# stationary temperatures spread less than this (degrees C, standard deviation) cannot
# carry a temperature term
_MIN_TEMPERATURE_SD = 0.01


class WindowAccumulator:
    """Per-window moments of the accelerometer (and the temperature sum) over samples fed
    in consecutive pieces; shared by :func:`calibrate` and ``prepare``."""

    def __init__(self, tz: Any, first_us: int, length: int, temperature: bool,
                 workers: int = 1) -> None:
        self.origin = D.first_midnight(tz, first_us)
        self.length, self.temperature = length, temperature
        self.feeder = B.BinFeeder(D.UniformGrid(self.origin, length),
                                  B.moment_kernel(False, int(temperature)), B.MOMENT_REDUCERS,
                                  workers)

    def feed(self, t: np.ndarray, cols: list[np.ndarray]) -> None:
        """``cols``: acc_x, acc_y, acc_z and, with temperature, the temperature."""
        self.feeder.feed(t, cols)

    def stationary(self, recorded: Recorded,
                   sd_g: float) -> tuple[np.ndarray, np.ndarray | None]:
        """Means of the stationary windows (n, 3) and their mean temperatures; only windows
        recorded throughout count."""
        ids, st = self.feeder.finish()
        if not len(ids):
            return np.zeros((0, 3)), (np.zeros(0) if self.temperature else None)
        start = self.origin + ids * self.length
        ok = recorded.throughout(start, start + self.length)
        ok &= st["n"] >= 2
        sd = B.sd_from_moments(st["n"], st["s1"], st["s2"])
        with np.errstate(invalid="ignore"):
            ok &= (sd < sd_g).all(axis=1)
        n = st["n"][ok].astype(np.float64)[:, None]
        means = st["s1"][ok] / n
        temps = st["sx"][ok, 0] / n[:, 0] if self.temperature else None
        return means, temps


def _error_mg(points: np.ndarray) -> float:
    return float(np.mean(np.abs(np.sqrt((points * points).sum(axis=1)) - 1.0)) * 1000.0)


def _apply_points(m: np.ndarray, dt: np.ndarray, off: np.ndarray, scale: np.ndarray,
                  tc: np.ndarray) -> np.ndarray:
    return off + m * scale + dt[:, None] * tc


def fit_sphere(means: np.ndarray, temps: np.ndarray | None, *, min_axis_coverage_g: float,
               max_iterations: int, tolerance: float) -> dict[str, Any]:
    """The calibration dict from stationary means (and temperatures)."""
    npts = len(means)
    result: dict[str, Any] = {
        "calibrated": False, "reason": None, "offset": [0.0, 0.0, 0.0],
        "scale": [1.0, 1.0, 1.0], "temperature_coefficient": [0.0, 0.0, 0.0],
        "reference_temperature": None, "stationary_points": int(npts),
        "error_before_mg": None, "error_after_mg": None,
    }
    if npts:
        result["error_before_mg"] = result["error_after_mg"] = _error_mg(means)
    if temps is not None and npts:
        result["reference_temperature"] = float(np.mean(temps))
    if npts < _MIN_POINTS:
        result["reason"] = (f"{npts} stationary window(s), at least {_MIN_POINTS} needed")
        return result
    lo, hi = means.min(axis=0), means.max(axis=0)
    short = [f"{ax} {lo[k]:+.3f}..{hi[k]:+.3f} g" for k, ax in enumerate("xyz")
             if not (lo[k] < -min_axis_coverage_g and hi[k] > min_axis_coverage_g)]
    if short:
        result["reason"] = ("stationary means do not reach beyond "
                            f"+-{min_axis_coverage_g:g} g on every axis ({', '.join(short)})")
        return result

    use_t = temps is not None and float(np.std(temps)) >= _MIN_TEMPERATURE_SD
    tref = float(np.mean(temps)) if temps is not None else 0.0
    dt = (temps - tref) if use_t else np.zeros(npts)
    off, scale, tc = np.zeros(3), np.ones(3), np.zeros(3)
    weights = np.ones(npts)
    prev = np.inf
    ncoef = 3 if use_t else 2
    design = np.ones((npts, ncoef))
    if use_t:
        design[:, 2] = dt
    for _ in range(int(max_iterations)):
        cur = _apply_points(means, dt, off, scale, tc)
        norm = np.sqrt((cur * cur).sum(axis=1))
        target = cur / norm[:, None]
        for k in range(3):
            design[:, 1] = cur[:, k]
            wd = design * weights[:, None]
            try:
                coef = np.linalg.solve(wd.T @ design, wd.T @ target[:, k])
            except np.linalg.LinAlgError:
                result["reason"] = "the stationary points do not determine the fit"
                return result
            b0, b1 = coef[0], coef[1]
            b2 = coef[2] if use_t else 0.0
            off[k] = b0 + b1 * off[k]
            scale[k] = b1 * scale[k]
            tc[k] = b1 * tc[k] + b2
        cur = _apply_points(means, dt, off, scale, tc)
        dist = np.sqrt(((cur - cur / np.sqrt((cur * cur).sum(axis=1))[:, None]) ** 2).sum(axis=1))
        weights = np.minimum(1.0 / np.maximum(dist, 1e-300), _MAX_WEIGHT)
        err = float(np.mean(dist))
        if abs(prev - err) < tolerance:
            break
        prev = err
    after = _error_mg(_apply_points(means, dt, off, scale, tc))
    if not np.isfinite(after) or not (np.all(np.isfinite(off)) and np.all(np.isfinite(scale))):
        result["reason"] = "the fit did not converge to finite coefficients"
        return result
    if after >= result["error_before_mg"]:
        result["reason"] = (f"the fit does not reduce the error ({result['error_before_mg']:.2f}"
                            f" mg before, {after:.2f} mg after)")
        return result
    result.update(calibrated=True, offset=[float(v) for v in off],
                  scale=[float(v) for v in scale],
                  temperature_coefficient=[float(v) for v in tc],
                  reference_temperature=tref if temps is not None else None,
                  error_after_mg=after)
    return result


def apply_calibration(cols: list[np.ndarray], temperature: np.ndarray | None,
                      cal: dict[str, Any], workers: int = 1) -> list[np.ndarray]:
    """Calibrated float32 copies of the three accelerometer columns, computed in float64
    slice by slice (elementwise, so chunks give exactly the values the whole frame gives)."""
    tref = cal["reference_temperature"]
    tc = cal["temperature_coefficient"]
    use_t = temperature is not None and tref is not None and any(tc)
    n = len(cols[0])
    out = [np.empty(n, dtype=np.float32) for _ in cols]

    def part(lo: int, hi: int) -> None:
        for a in range(lo, hi, B._GROUP):
            b = min(a + B._GROUP, hi)
            dt, w, w2 = B._buffers(b - a, 3)
            if use_t:
                np.copyto(dt, temperature[a:b])
                dt -= tref
            for k, c in enumerate(cols):
                np.copyto(w, c[a:b])
                w *= cal["scale"][k]
                w += cal["offset"][k]
                if use_t and tc[k]:
                    np.multiply(dt, tc[k], out=w2)
                    w += w2
                out[k][a:b] = w

    per = max(B._GROUP, -(-n // 8))
    run_tasks(part, [(a, min(a + per, n)) for a in range(0, n, per)], workers)
    return out


def calibrate(frame: pd.DataFrame, *, window: Any = "10s", stationary_sd_g: float = 0.013,
              min_axis_coverage_g: float = 0.3, use_temperature: bool = True,
              max_iterations: int = 1000, tolerance: float = 1e-6,
              threads: int | None = None) -> tuple[pd.DataFrame, dict[str, Any]]:
    """Calibrate the accelerometer against local gravity (van Hees et al. 2014).

    The recording is cut into non-overlapping windows of ``window`` aligned to the midnight
    before the first sample. A window is stationary when it was recorded throughout (no gap,
    between the first and last sample: :mod:`morvane_tools.coverage`) and the sample
    standard deviation of every axis is below ``stationary_sd_g``. The
    stationary windows' mean accelerations ``m`` (and mean temperatures ``T``) are fitted
    to the unit sphere by iterated weighted least squares: each iteration projects the
    currently calibrated points onto the sphere, refits per axis
    ``target = b0 + b1 * current + b2 * (T - T_ref)`` and weights every point by the
    inverse of its distance from the sphere (capped at 100, i.e. 10 mg), until the mean
    distance changes by less than ``tolerance`` or ``max_iterations`` are done.

    Each axis is then corrected as::

        a' = offset + scale * a + temperature_coefficient * (T - reference_temperature)

    with ``T`` the sample's temperature; the temperature term is used when the frame has a
    ``temperature`` column, ``use_temperature`` is true and the stationary temperatures
    vary (standard deviation at least 0.01 degrees), otherwise its coefficients are 0.

    Parameters
    ----------
    frame : pandas.DataFrame
        Samples with a DatetimeIndex and float32 ``acc_x``, ``acc_y``, ``acc_z`` in g.
        Not modified.
    window : str or timedelta, default "10s"
        Length of the stationary windows.
    stationary_sd_g : float, default 0.013
        Per-axis standard deviation below which a window is stationary.
    min_axis_coverage_g : float, default 0.3
        The stationary means must reach below ``-min_axis_coverage_g`` and above
        ``+min_axis_coverage_g`` on every axis, else the frame is not calibrated.
    use_temperature : bool, default True
        Fit the linear temperature term when the frame has a ``temperature`` column.
    max_iterations : int, default 1000
    tolerance : float, default 1e-6
        Convergence on the change of the mean distance from the sphere, in g.
    threads : int, optional
        Threads that may work at once (default: the cores; one inside a Dask worker).

    Returns
    -------
    frame : pandas.DataFrame
        A new frame: the three accelerometer columns calibrated (float32), every other
        column unchanged (shared with the input under copy-on-write). When not calibrated,
        an unchanged copy.
    info : dict
        JSON-serialisable: ``calibrated`` (bool), ``reason`` (None, or why not calibrated),
        ``offset``, ``scale``, ``temperature_coefficient`` (three floats each, identity
        when not calibrated), ``reference_temperature`` (float or None),
        ``stationary_points`` (int), ``error_before_mg`` and ``error_after_mg`` (mean
        absolute difference of the stationary means' magnitude from 1 g, in mg, before and
        after; None without stationary windows).
    """
    B.check_frame(frame)
    length = B.length_us(window, "window")
    if not stationary_sd_g > 0 or not min_axis_coverage_g >= 0:
        raise ValueError("stationary_sd_g must be positive and min_axis_coverage_g >= 0")
    if int(max_iterations) < 1 or not tolerance >= 0:
        raise ValueError("max_iterations must be at least 1 and tolerance non-negative")
    workers = resolve(threads)
    use_t = bool(use_temperature) and "temperature" in frame.columns
    cols = [B.column(frame, c) for c in B.ACC]
    temp = B.column(frame, "temperature") if use_t else None
    if len(frame):
        t = B.index_us(frame.index)
        acc = WindowAccumulator(frame.index.tz, int(t[0]), length, use_t, workers)
        acc.feed(t, cols + ([temp] if use_t else []))
        means, temps = acc.stationary(Recorded.from_samples(t), stationary_sd_g)
    else:
        means, temps = np.zeros((0, 3)), None
    info = fit_sphere(means, temps, min_axis_coverage_g=min_axis_coverage_g,
                      max_iterations=max_iterations, tolerance=tolerance)
    out = frame.copy(deep=False)  # copy-on-write: the input is never changed
    if info["calibrated"]:
        for name, values in zip(B.ACC, apply_calibration(cols, temp, info, workers)):
            out[name] = values
    return out, info
