"""Activity outcomes from epoch ENMO: intensity levels and their published cut-points,
imputation by time of day, the intensity gradient, MX metrics, the least and most active hours
and bouts.

Every ENMO value here is in mg (1 g = 1000 mg). The functions take consecutive epochs; the day
and person summaries built on them are in :mod:`morvane_tools.summaries`.
"""

from __future__ import annotations

from types import MappingProxyType
from typing import Any, Mapping

import numpy as np
import pandas as pd

from .binning import length_us

__all__ = ["CUTPOINTS", "cutpoints", "intensity_levels", "LEVELS", "impute_time_of_day",
           "intensity_gradient", "mx_metrics", "least_most_active", "bouts"]

#: Intensity levels in order; an epoch's level is the highest whose threshold it reaches.
LEVELS = ("sedentary", "light", "moderate", "vigorous")

_HILDEBRAND = ("Hildebrand M, et al. Age group comparability of raw accelerometer output from "
               "wrist- and hip-worn monitors. Med Sci Sports Exerc 2014;46:1816-24 (moderate, "
               "vigorous); Hildebrand M, et al. Evaluation of raw acceleration sedentary "
               "thresholds in children and adults. Scand J Med Sci Sports 2017;27:1814-23 "
               "(light)")

#: Published ENMO cut-points (mg) by name: the thresholds of light, moderate and vigorous
#: activity. A threshold belongs to the level above it.
CUTPOINTS: Mapping[str, Mapping[str, Any]] = MappingProxyType({
    "default": MappingProxyType({
        "light_mg": 40.0, "moderate_mg": 100.0, "vigorous_mg": 400.0,
        "citation": "round ENMO thresholds in wide use for wrist-worn accelerometers: light "
                    "40 mg, and moderate 100 mg and vigorous 400 mg rounded from Hildebrand "
                    "et al. 2014",
    }),
    "hildebrand_geneactiv_nondominant": MappingProxyType({
        "light_mg": 45.8, "moderate_mg": 93.2, "vigorous_mg": 418.3,
        "device": "GENEActiv", "placement": "non-dominant wrist, adults",
        "citation": _HILDEBRAND,
    }),
    "hildebrand_actigraph_nondominant": MappingProxyType({
        "light_mg": 44.8, "moderate_mg": 100.6, "vigorous_mg": 428.8,
        "device": "ActiGraph GT3X+", "placement": "non-dominant wrist, adults",
        "citation": _HILDEBRAND,
    }),
})


def cutpoints(value: str | Mapping[str, Any]) -> dict[str, float]:
    """The thresholds ``{"light_mg", "moderate_mg", "vigorous_mg"}`` of a registry name or a
    mapping holding those three keys (rising).

    Raises
    ------
    ValueError
        For an unknown name or thresholds that do not rise.
    """
    if isinstance(value, str):
        if value not in CUTPOINTS:
            raise ValueError(f"unknown cut-points {value!r}; known: {', '.join(CUTPOINTS)}")
        value = CUTPOINTS[value]
    try:
        out = {k: float(value[k]) for k in ("light_mg", "moderate_mg", "vigorous_mg")}
    except (KeyError, TypeError, ValueError):
        raise ValueError("cut-points need numbers light_mg, moderate_mg and vigorous_mg") from None
    if not (0 < out["light_mg"] < out["moderate_mg"] < out["vigorous_mg"]):
        raise ValueError(f"cut-points must rise: {out}")
    return out


def intensity_levels(values_mg: Any, cuts: str | Mapping[str, Any] = "default") -> np.ndarray:
    """The level of each epoch: 0 sedentary, 1 light, 2 moderate, 3 vigorous; -1 for NaN.

    Each epoch counts where its ENMO falls, a threshold belonging to the level above
    (Hildebrand et al. 2014, 2017).
    """
    c = cutpoints(cuts)
    v = np.asarray(values_mg, dtype=np.float64)
    edges = np.array([c["light_mg"], c["moderate_mg"], c["vigorous_mg"]])
    out = np.searchsorted(edges, v, side="right").astype(np.int8)
    out[np.isnan(v)] = -1
    return out


def _values(values_mg: Any) -> np.ndarray:
    return np.asarray(values_mg, dtype=np.float64).ravel()


def _index_us(index: Any) -> np.ndarray:
    """Epoch start times as int64 microseconds (UTC instants for an aware index)."""
    return np.asarray(index.as_unit("us").asi8, dtype=np.int64)


def _series_epoch_us(values: Any, epoch: Any) -> int:
    """The epoch length of a Series of epochs: ``epoch`` when given, else its
    ``attrs["epoch"]``, else the smallest positive spacing of its index."""
    if epoch is None:
        epoch = values.attrs.get("epoch")
    if epoch is not None:
        return length_us(epoch, "epoch")
    t = _index_us(values.index)
    d = np.diff(t)
    d = d[d > 0]
    if not d.size:
        raise ValueError("the epoch length cannot be told from fewer than two epochs: give "
                         "epoch=")
    return int(d.min())


def _number(x: float) -> str:
    """A number as it appears in an outcome's name: 60, 2.5."""
    return str(int(x)) if float(x).is_integer() else f"{float(x):g}"


def _need(fraction: float, count: int) -> int:
    """The least whole number of epochs that is at least ``fraction`` of ``count``; the
    small allowance keeps 0.9 * 120 (not exactly 108 in binary) from asking for 109."""
    return int(np.ceil(fraction * count - 1e-9))


# --------------------------------------------------------------------------- imputation

def _impute(values: np.ndarray, valid: np.ndarray, day: np.ndarray,
            time_of_day: np.ndarray) -> np.ndarray:
    """Invalid epochs take the mean of the valid epochs at the same time of day on the other
    days, or 0 where there are none. ``day`` and ``time_of_day`` are integer keys."""
    valid = valid & np.isfinite(values)
    v = np.where(valid, values, 0.0)
    w = valid.astype(np.float64)
    _, slot = np.unique(time_of_day, return_inverse=True)
    _, day_i = np.unique(day, return_inverse=True)
    slots = int(slot.max()) + 1 if slot.size else 1
    # one cell per (day, time of day): on an autumn change day the repeated hour puts two
    # epochs of the same day in one cell, and both are left out when imputing that day
    cell = day_i.ravel() * slots + slot.ravel()
    slot = slot.ravel()
    slot_sum = np.bincount(slot, weights=v)
    slot_n = np.bincount(slot, weights=w)
    cell_sum = np.bincount(cell, weights=v)
    cell_n = np.bincount(cell, weights=w)
    other_n = slot_n[slot] - cell_n[cell]
    other_sum = slot_sum[slot] - cell_sum[cell]
    with np.errstate(invalid="ignore", divide="ignore"):
        fill = np.where(other_n > 0, other_sum / np.where(other_n > 0, other_n, 1.0), 0.0)
    return np.where(valid, values, fill)


def impute_time_of_day(values: pd.Series, valid: pd.Series) -> pd.Series:
    """Replace epochs that are not valid by the mean of the valid epochs at the same local time
    of day on the other days of the recording (Doherty et al. 2017).

    Where no other day has a valid epoch at that time of day the epoch takes 0. Times of day
    are wall-clock readings of the epoch starts, so both passes through a repeated autumn hour
    are matched to the same time on other days (and take the same value), and a time skipped
    by a spring change is simply absent from that day. Days are local calendar days
    (:mod:`morvane_tools.days`).

    Parameters
    ----------
    values : pandas.Series
        One value per epoch (e.g. ENMO in mg), indexed by the epoch start times (a
        DatetimeIndex, naive device clock or aware).
    valid : pandas.Series of bool
        Which epochs are valid, on the same index. A valid epoch whose value is NaN is
        treated as not valid.

    Returns
    -------
    pandas.Series
        ``values`` with every epoch that is not valid replaced; valid epochs are unchanged.

    Notes
    -----
    The mean is over epochs: on an autumn change day both passes through the repeated hour
    count as two valid epochs at that time of day. An epoch is never imputed from its own day,
    not even from the other pass through a repeated hour (where only that pass is valid at
    its time of day, the epoch takes 0).

    References
    ----------
    Doherty A, Jackson D, Hammerla N, et al. Large scale population assessment of physical
    activity using wrist worn accelerometers: the UK Biobank study. PLoS ONE
    2017;12(2):e0169649.
    """
    from . import days as D

    if not isinstance(values, pd.Series) or not isinstance(values.index, pd.DatetimeIndex):
        raise TypeError("values must be a pandas Series indexed by epoch start times")
    if isinstance(valid, pd.Series):
        ok = valid.reindex(values.index, fill_value=False).to_numpy(dtype=bool)
    else:
        ok = np.asarray(valid, dtype=bool).ravel()
    v = values.to_numpy(dtype=np.float64)
    if not v.size:
        return values.astype(np.float64)
    t = _index_us(values.index)
    tz = values.index.tz
    _, bounds = D.calendar_days(tz, int(t.min()), int(t.max()))
    day = np.searchsorted(bounds, t, side="right") - 1
    out = _impute(v, ok, day, D.wall_clock_us(values.index))
    return pd.Series(out, index=values.index, name=values.name)


# --------------------------------------------------------------------------- intensity gradient

def _ig_edges(bin_width_mg: float, max_mg: float, top_mg: float) -> np.ndarray:
    if not (bin_width_mg > 0 and max_mg > 0 and top_mg > max_mg):
        raise ValueError("intensity gradient bins need bin_width_mg > 0 and top_mg > max_mg > 0")
    n = int(round(max_mg / bin_width_mg))
    if not np.isclose(n * bin_width_mg, max_mg):
        raise ValueError("max_mg must be a whole number of bin widths")
    return np.append(np.arange(n + 1) * float(bin_width_mg), float(top_mg))


def _ig_bin(values: np.ndarray, edges: np.ndarray) -> np.ndarray:
    """The bin of each value, left-closed; at or above the top edge: the top bin, below 0:
    the lowest bin; NaN: -1."""
    b = np.searchsorted(edges, values, side="right") - 1
    b = np.clip(b, 0, edges.size - 2)
    b[np.isnan(values)] = -1
    return b


def _ig_fit(minutes: np.ndarray, mids: np.ndarray) -> tuple[float, float, float]:
    """Least-squares line of ln(minutes) on ln(midpoint) over the bins holding time."""
    keep = minutes > 0
    if np.count_nonzero(keep) < 2:
        return float("nan"), float("nan"), float("nan")
    x = np.log(mids[keep])
    y = np.log(minutes[keep])
    xm, ym = x.mean(), y.mean()
    sxx = float(np.sum((x - xm) ** 2))
    sxy = float(np.sum((x - xm) * (y - ym)))
    syy = float(np.sum((y - ym) ** 2))
    slope = sxy / sxx
    intercept = float(ym - slope * xm)
    # a flat line (every bin the same minutes) fits exactly but explains no variance
    r2 = sxy * sxy / (sxx * syy) if syy > 0 else float("nan")
    return float(slope), intercept, float(r2)


def intensity_gradient(values_mg: Any, *, epoch: Any, bin_width_mg: float = 25,
                       max_mg: float = 4000, top_mg: float = 8000) -> dict[str, Any]:
    """The intensity gradient of a day's epochs (Rowlands et al. 2018).

    Time is counted per ENMO bin: bins of ``bin_width_mg`` from 0 to ``max_mg`` and one bin
    from ``max_mg`` to ``top_mg``, each closed on the left and open on the right; values at or
    above ``top_mg`` fall in the top bin. With x each bin's midpoint and y its minutes, bins
    without time left out, the ordinary least-squares line of ln(y) on ln(x) gives the
    gradient, the intercept and the coefficient of determination.

    Parameters
    ----------
    values_mg : array_like or pandas.Series
        ENMO of consecutive epochs, mg; NaN values are left out.
    epoch : str or timedelta
        The epoch length, e.g. "5s"; each epoch adds its length in minutes to its bin.
    bin_width_mg, max_mg, top_mg : float
        The bins (25, 4000 and 8000 mg by default).

    Returns
    -------
    dict
        ``gradient``, ``intercept``, ``r_squared`` (NaN when fewer than two bins hold time;
        ``r_squared`` also when every bin holds the same minutes), and the bins:
        ``bin_edges_mg`` (the edges, one more than the bins), ``bin_mid_mg`` and ``minutes``.

    Notes
    -----
    ENMO is never negative; a negative value (from a variant that is not truncated at 0)
    counts in the lowest bin.

    References
    ----------
    Rowlands AV, Edwardson CL, Davies MJ, Khunti K, Harrington DM, Yates T. Beyond cut
    points: accelerometer metrics that capture the physical activity profile. Med Sci Sports
    Exerc 2018;50(6):1323-1332.
    """
    minutes_per_epoch = length_us(epoch, "epoch") / 60e6
    edges = _ig_edges(bin_width_mg, max_mg, top_mg)
    v = _values(values_mg)
    b = _ig_bin(v, edges)
    minutes = np.bincount(b[b >= 0], minlength=edges.size - 1) * minutes_per_epoch
    mids = (edges[:-1] + edges[1:]) / 2
    g, i, r2 = _ig_fit(minutes, mids)
    return {"gradient": g, "intercept": i, "r_squared": r2, "bin_edges_mg": edges,
            "bin_mid_mg": mids, "minutes": minutes}


# --------------------------------------------------------------------------- MX metrics

def _mx(values: np.ndarray, total_minutes: float, minutes: Any) -> dict[str, float]:
    v = values[~np.isnan(values)]
    out: dict[str, float] = {}
    for x in minutes:
        q = 1.0 - float(x) / total_minutes if total_minutes > 0 else -1.0
        key = f"mx{_number(x)}_mg"
        out[key] = float(np.quantile(v, q)) if v.size and 0.0 <= q <= 1.0 else float("nan")
    return out


def mx_metrics(values_mg: Any, *, epoch: Any,
               minutes: Any = (60, 30, 10, 5, 2, 1)) -> dict[str, float]:
    """MX metrics: the ENMO level above which the most active X minutes were accumulated
    (Rowlands et al. 2019).

    MX is the (1 - X / M) quantile of the epoch values, M the minutes they span, linear
    between order statistics (NumPy's default quantile method).

    Parameters
    ----------
    values_mg : array_like or pandas.Series
        ENMO of one day's consecutive epochs, mg. NaN values are left out, and M counts only
        the epochs with a value.
    epoch : str or timedelta
        The epoch length, e.g. "5s".
    minutes : sequence of float
        The X of each metric; keys are ``mx{X}_mg`` (``mx60_mg``, ``mx30_mg``, ...).

    Returns
    -------
    dict
        ``mx{X}_mg`` for each X: NaN when X exceeds M or no epoch has a value.

    References
    ----------
    Rowlands AV, Dawkins NP, Maylor B, et al. Enhancing the value of accelerometer-assessed
    physical activity: meaningful visual comparisons of data-driven translational
    accelerometer metrics. Sports Med Open 2019;5:47.
    """
    minutes_per_epoch = length_us(epoch, "epoch") / 60e6
    v = _values(values_mg)
    return _mx(v, np.count_nonzero(~np.isnan(v)) * minutes_per_epoch, minutes)


# --------------------------------------------------------------------------- L5 and M10

def _extreme_window(elapsed: np.ndarray, values: np.ndarray, weights: np.ndarray,
                    day_us: int, span_us: int, step_us: int,
                    lowest: bool) -> tuple[float, int | None]:
    """The lowest (or highest) mean over windows ``[s, s + span)`` of elapsed time, ``s`` a
    multiple of ``step`` with the window inside the day; returns (mean, s) or (NaN, None).

    ``elapsed`` (ascending) are the epoch starts after the day's first instant, ``values``
    NaN where an epoch has no value, ``weights`` the epochs' lengths.
    """
    if span_us > day_us:
        return float("nan"), None
    starts = np.arange((day_us - span_us) // step_us + 1, dtype=np.int64) * step_us
    lo = np.searchsorted(elapsed, starts, side="left")
    hi = np.searchsorted(elapsed, starts + span_us, side="left")
    have = np.isfinite(values)
    zero = np.zeros(1)
    c_have = np.concatenate((zero, np.cumsum(have)))
    c_w = np.concatenate((zero, np.cumsum(np.where(have, weights, 0.0))))
    c_s = np.concatenate((zero, np.cumsum(np.where(have, values * weights, 0.0))))
    total = hi - lo
    present = c_have[hi] - c_have[lo]
    cand = (total > 0) & (2 * present >= total) & (present > 0)
    if not cand.any():
        return float("nan"), None
    w = c_w[hi] - c_w[lo]
    mean = (c_s[hi] - c_s[lo]) / np.where(cand, w, 1.0)
    pick = mean if lowest else -mean
    best = float(pick[cand].min())
    # running sums differ from window-by-window sums in the last bits: equal windows are a
    # tie, which goes to the earliest
    tol = 1e-9 * max(1.0, abs(best))
    j = int(np.flatnonzero(cand & (pick <= best + tol))[0])
    return float(mean[j]), int(starts[j])


def least_most_active(values: pd.Series, *, least_hours: float = 5, most_hours: float = 10,
                      resolution: Any = "10min", epoch: Any = None) -> dict[str, Any]:
    """The least and most active hours of a day: L5 and M10 (Witting et al. 1990).

    ``l5_mg`` is the lowest mean over any window of ``least_hours`` consecutive hours inside
    the day, ``m10_mg`` the highest over any window of ``most_hours``; windows start every
    ``resolution`` from local midnight and are laid in elapsed time, so on a 23- or 25-hour
    daylight-saving change day they run to the day's true end (a 5-hour window always lasts
    five hours). NaN values are ignored inside a window; a window in which fewer than half of
    its epochs have a value is no candidate; a tie goes to the earliest window.

    Parameters
    ----------
    values : pandas.Series
        ENMO (mg) of one calendar day's epochs, indexed by epoch start (naive device clock or
        aware). Epochs of the day missing from the index count as without value.
    least_hours, most_hours : float
        Window lengths; the keys follow them (``l5_mg``, ``m10_mg`` by default).
    resolution : str or timedelta
        Spacing of window starts.
    epoch : str or timedelta, optional
        The epoch length; by default ``values.attrs["epoch"]`` or the smallest spacing of the
        index.

    Returns
    -------
    dict
        ``l{L}_mg``, ``l{L}_start``, ``m{M}_mg``, ``m{M}_start``: the window means (duration-
        weighted when the day's last epoch is cut at midnight) and the windows' start times as
        Timestamps in the index's zone; NaN and NaT when no window is a candidate.

    Raises
    ------
    ValueError
        When the epochs span more than one calendar day or do not lie on the day's epoch grid.

    References
    ----------
    Witting W, Kwa IH, Eikelenboom P, Mirmiran M, Swaab DF. Alterations in the circadian
    rest-activity rhythm in aging and Alzheimer's disease. Biol Psychiatry 1990;27:563-572.
    """
    from . import days as D

    if not isinstance(values, pd.Series) or not isinstance(values.index, pd.DatetimeIndex):
        raise TypeError("values must be a pandas Series indexed by epoch start times")
    lk, mk = f"l{_number(least_hours)}", f"m{_number(most_hours)}"
    empty = {f"{lk}_mg": float("nan"), f"{lk}_start": pd.NaT,
             f"{mk}_mg": float("nan"), f"{mk}_start": pd.NaT}
    if not len(values):
        return empty
    length = _series_epoch_us(values, epoch)
    tz = values.index.tz
    t = _index_us(values.index)
    _, bounds = D.calendar_days(tz, int(t.min()), int(t.max()))
    if bounds.size != 2:
        raise ValueError("least_most_active takes one calendar day's epochs")
    grid = D.grid_for(tz, length, int(bounds[0]))
    ids = grid.ids_in(int(bounds[0]), int(bounds[1]))
    starts, ends = grid.starts(ids), grid.ends(ids)
    pos = np.searchsorted(starts, t)
    if np.any(pos >= starts.size) or np.any(starts[np.minimum(pos, starts.size - 1)] != t):
        raise ValueError("the epochs do not lie on the day's epoch grid (epochs laid from "
                         "local midnight)")
    v = np.full(starts.size, np.nan)
    v[pos] = values.to_numpy(dtype=np.float64)
    return _least_most(starts - bounds[0], v, (ends - starts).astype(np.float64),
                       int(bounds[1] - bounds[0]), int(bounds[0]), tz, least_hours,
                       most_hours, length_us(resolution, "resolution"))


def _least_most(elapsed: np.ndarray, values: np.ndarray, weights: np.ndarray, day_us: int,
                midnight: int, tz: Any, least_hours: float, most_hours: float,
                step_us: int) -> dict[str, Any]:
    out: dict[str, Any] = {}
    for prefix, hours, lowest in (("l", least_hours, True), ("m", most_hours, False)):
        mean, s = _extreme_window(elapsed, values, weights, day_us,
                                  int(round(hours * 3_600_000_000)), step_us, lowest)
        if s is None:
            when = pd.NaT
        else:
            when = pd.Timestamp(midnight + s, unit="us")
            if tz is not None:
                when = when.tz_localize("UTC").tz_convert(tz)
        out[f"{prefix}{_number(hours)}_mg"] = mean
        out[f"{prefix}{_number(hours)}_start"] = when
    return out


# --------------------------------------------------------------------------- bouts

def _bout_windows(mask: np.ndarray, width: int, need: int, max_run: int) -> np.ndarray:
    """Epochs covered by windows of ``width`` epochs that start and end meeting the
    criterion, hold at least ``need`` epochs meeting it and no run of more than ``max_run``
    epochs not meeting it."""
    n = mask.size
    if width < 1 or width > n:
        return np.zeros(n, dtype=bool)
    c = np.zeros(n + 1, dtype=np.int32)
    np.cumsum(mask, out=c[1:])
    # mark the first epoch of every run of misses longer than max_run; a window that starts
    # and ends with a hit contains such a run exactly when it contains its first epoch
    edge = np.diff(np.concatenate(([True], mask, [True])).view(np.int8))
    run_start = np.flatnonzero(edge == -1)
    run_end = np.flatnonzero(edge == 1)
    long_start = np.zeros(n, dtype=bool)
    long_start[run_start[run_end - run_start > max_run]] = True
    cl = np.zeros(n + 1, dtype=np.int32)
    np.cumsum(long_start, out=cl[1:])
    ok = mask[:n - width + 1] & mask[width - 1:] & (c[width:] - c[:-width] >= need) \
        & (cl[width:] == cl[:-width])
    # the union of the qualifying windows: +1 where one starts, -1 where it ends
    cover = np.zeros(n + 1, dtype=np.int32)
    cover[:n - width + 1] += ok
    cover[width:] -= ok
    return np.cumsum(cover[:n]) > 0


def _bout_params(epoch: Any, min_duration: Any, max_break: Any) -> tuple[int, int]:
    length = length_us(epoch, "epoch")
    dur = length_us(min_duration, "min_duration")
    brk = _break_us(max_break)
    # D / epoch rounded to the nearest whole number, halves up, in integers
    width = max((2 * dur + length) // (2 * length), 1)
    return int(width), int(brk // length)


def _break_us(value: Any) -> int:
    """``max_break`` in microseconds; 0 (no break allowed) is accepted."""
    try:
        ns = int(pd.Timedelta(value).value)
    except (ValueError, TypeError) as e:
        raise ValueError(f"max_break must be a duration such as '1min', got {value!r}") from e
    if ns < 0:
        raise ValueError("max_break cannot be negative")
    return ns // 1000


def bouts(mask: Any, *, epoch: Any, min_duration: Any, fraction: float = 0.8,
          max_break: Any = "1min") -> np.ndarray:
    """Which epochs lie in bouts of at least ``min_duration`` of epochs meeting a criterion.

    An epoch belongs to a bout when it lies in some window of exactly D epochs
    (``min_duration`` / ``epoch`` rounded to the nearest whole number, halves up, and at least
    one) that starts and ends with an epoch meeting the criterion, in which at least
    ``fraction`` of the epochs meet it, and which contains no run of epochs not meeting it
    lasting longer than ``max_break``; a bout is a maximal union of such windows, that is a
    maximal run of consecutive epochs in such windows (windows that touch end to end join).

    Parameters
    ----------
    mask : array_like of bool or pandas.Series
        Consecutive epochs: True where the epoch meets the criterion (e.g. ENMO at or above
        the moderate cut-point).
    epoch : str or timedelta
        The epoch length.
    min_duration : str or timedelta
        D, the least length of a bout ("10min").
    fraction : float, default 0.8
        The least fraction of a window's epochs meeting the criterion.
    max_break : str or timedelta, default "1min"
        The longest run of epochs not meeting the criterion allowed inside a window (a run of
        k epochs lasts k epoch lengths).

    Returns
    -------
    numpy.ndarray of bool
        True for the epochs in bouts, one per epoch of ``mask``.

    Notes
    -----
    The windows follow the modified bouts of Troiano et al. 2008 (a bout tolerates short
    interruptions); the 80 % rule and the break limit are the ones stated here.

    References
    ----------
    Troiano RP, Berrigan D, Dodd KW, Masse LC, Tilert T, McDowell M. Physical activity in the
    United States measured by accelerometer. Med Sci Sports Exerc 2008;40(1):181-188.
    """
    if not 0.0 < float(fraction) <= 1.0:
        raise ValueError("fraction must lie in (0, 1]")
    width, max_run = _bout_params(epoch, min_duration, max_break)
    m = np.asarray(mask).ravel()
    if m.dtype != bool:
        # a NaN (no value) does not meet the criterion
        m = np.nan_to_num(m.astype(np.float64)) != 0
    return _bout_windows(m, width, _need(float(fraction), width), max_run)
