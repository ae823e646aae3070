"""Activity outcomes per day and per person from an epoch table.

:func:`daily_summary` turns an epoch table (epoch start times as the index, ``enmo_mg``,
``coverage`` and optionally ``nonwear``) into one row per calendar day; :func:`person_summary`
averages a day table over valid days, weekdays, weekend days and a week-weighted mean. The
outcomes themselves are defined once, in :mod:`morvane_tools.activity`; days, local midnights
and epoch grids in :mod:`morvane_tools.days`.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass
from typing import Any, Mapping

import numpy as np
import pandas as pd

from . import activity as A
from . import days as D
from .clock import zone_name

__all__ = ["daily_summary", "person_summary", "summarize", "summarize_with", "SummaryOptions",
           "cohort_row", "OUTCOMES", "NIGHT_OUTCOMES", "version"]

_MX_MINUTES = (60, 30, 10, 5, 2, 1)
_RESOLUTION_US = 10 * 60 * 1_000_000
_LEAST_HOURS, _MOST_HOURS = 5, 10
# (name, level test, least duration in minutes, fraction)
_BOUTS = (("mvpa_bout1", "mvpa", 1, 0.8), ("mvpa_bout5", "mvpa", 5, 0.8),
          ("mvpa_bout10", "mvpa", 10, 0.8), ("sedentary_bout10", "sedentary", 10, 0.9),
          ("sedentary_bout20", "sedentary", 20, 0.9), ("sedentary_bout30", "sedentary", 30, 0.9))
_MAX_BREAK = "1min"
# coverage is a fraction computed by division; "recorded throughout" allows its last bits
_FULL = 1.0 - 1e-9
_WEEKDAYS = ("Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday")
_WEEKEND = ("Saturday", "Sunday")

#: The daily outcomes, in the order of the day table's columns.
OUTCOMES: tuple[str, ...] = (
    "enmo_mg", "enmo_mg_crude", "ig_gradient", "ig_intercept", "ig_r_squared",
    *(f"mx{m}_mg" for m in _MX_MINUTES),
    "l5_mg", "l5_start", "m10_mg", "m10_start",
    "sedentary_min", "light_min", "moderate_min", "vigorous_min", "mvpa_min",
    *(f"{b[0]}_min" for b in _BOUTS), *(f"{b[0]}_n" for b in _BOUTS),
)
_TIMES = ("l5_start", "m10_start")
_HEAD = ("date", "weekday", "hours", "valid_hours", "valid", "valid_clock_hours")


def _empty(tz: Any) -> pd.DataFrame:
    cols: dict[str, Any] = {name: pd.Series([], dtype=np.float64) for name in (*_HEAD, *OUTCOMES)}
    cols["date"] = pd.Series([], dtype=object)
    cols["weekday"] = pd.Series([], dtype=object)
    cols["valid"] = pd.Series([], dtype=bool)
    cols["valid_clock_hours"] = pd.Series([], dtype=object)
    for name in _TIMES:
        cols[name] = pd.Series(pd.DatetimeIndex([], dtype="datetime64[us]").tz_localize(tz))
    return pd.DataFrame(cols)


def _times(us: np.ndarray, tz: Any) -> pd.Series:
    """Instants (int64 microseconds, NaT where missing) as a datetime column in ``tz``."""
    idx = pd.DatetimeIndex(us.astype("datetime64[us]"))
    if tz is not None:
        idx = idx.tz_localize("UTC").tz_convert(tz)
    return pd.Series(idx)


def daily_summary(epochs_table: pd.DataFrame, *, cutpoints: str | Mapping[str, Any] = "default",
                  min_wear_hours: float = 16, impute: bool = True) -> pd.DataFrame:
    """Activity outcomes per calendar day from an epoch table.

    A day is a local calendar day when the index has a time zone, otherwise a device-clock
    day; its epochs are all the epochs of its 24 hours (23 or 25 on a daylight-saving change
    day) on the table's epoch grid (:func:`morvane_tools.days.grid_for`), whether or not the
    table has a row for them. An epoch is valid when it has a row, was recorded throughout
    (``coverage`` 1) and is not non-wear (``nonwear`` 0). A day is valid when it holds at
    least ``min_wear_hours`` hours of valid epochs.

    With ``impute`` every epoch that is not valid takes the mean of the valid epochs at the
    same local time of day on the other days, or 0 where there are none
    (:func:`~morvane_tools.activity.impute_time_of_day`, after Doherty et al. 2017), and the
    outcomes are computed on these imputed epochs; without it on valid epochs only (the
    others have no value and are ignored).

    Parameters
    ----------
    epochs_table : pandas.DataFrame
        A DatetimeIndex of epoch starts (naive or aware), ``enmo_mg`` (mg), ``coverage`` (the
        fraction of the epoch recorded) and optionally ``nonwear`` (the fraction of the epoch
        in non-wear; 0 when absent). ``attrs["epoch"]`` gives the epoch length (else the
        smallest spacing of the index).
    cutpoints : str or mapping, default "default"
        A name in :data:`~morvane_tools.activity.CUTPOINTS` or a mapping with ``light_mg``,
        ``moderate_mg`` and ``vigorous_mg``.
    min_wear_hours : float, default 16
        The valid hours that make a day valid.
    impute : bool, default True
        Compute the outcomes on epochs imputed by time of day.

    Returns
    -------
    pandas.DataFrame
        One row per calendar day from the day of the first epoch to the day of the last:

        - ``date`` (``datetime.date``), ``weekday`` (English day name), ``hours`` (the day's
          length: 24, or 23 / 25 on a daylight-saving change);
        - ``valid_hours`` (hours of valid epochs), ``valid`` (bool), ``valid_clock_hours``
          (tuple of the clock hours 0-23 holding at least one valid epoch, by the wall-clock
          hour of the epoch start);
        - average acceleration: ``enmo_mg`` (mean of the day's epochs, imputed or valid by
          ``impute``) and ``enmo_mg_crude`` (mean of its valid epochs) (van Hees et al. 2013);
        - intensity gradient: ``ig_gradient``, ``ig_intercept``, ``ig_r_squared`` (Rowlands
          et al. 2018, :func:`~morvane_tools.activity.intensity_gradient`);
        - MX metrics ``mx60_mg``, ``mx30_mg``, ``mx10_mg``, ``mx5_mg``, ``mx2_mg``, ``mx1_mg``
          (Rowlands et al. 2019, :func:`~morvane_tools.activity.mx_metrics`);
        - ``l5_mg``, ``l5_start``, ``m10_mg``, ``m10_start``: least active 5 hours and most
          active 10 hours, window starts every 10 minutes from local midnight (Witting et al.
          1990, :func:`~morvane_tools.activity.least_most_active`); the starts are timestamps
          in the index's zone;
        - minutes per intensity level: ``sedentary_min``, ``light_min``, ``moderate_min``,
          ``vigorous_min``, ``mvpa_min`` (a threshold belongs to the level above);
        - bouts (:func:`~morvane_tools.activity.bouts`, breaks up to 1 minute): minutes
          ``mvpa_bout1_min``, ``mvpa_bout5_min``, ``mvpa_bout10_min`` (moderate or above, 80 %)
          and ``sedentary_bout10_min``, ``sedentary_bout20_min``, ``sedentary_bout30_min``
          (sedentary, 90 %), and the numbers of bouts ``mvpa_bout1_n`` ...
          ``sedentary_bout30_n``. Bouts are found on all the days' epochs at once, so a bout
          may cross midnight: a day gets the bout minutes inside it and counts the bouts that
          start in it.

        Every outcome is float64 (bout counts too, so that a day without a value holds NaN).
        ``attrs`` records ``epoch``, ``min_wear_hours``, ``impute``, ``cutpoints`` and
        ``timezone``.

    Raises
    ------
    ValueError
        When a column is missing, the index is not strictly increasing, or a row does not lie
        on the epoch grid.

    Notes
    -----
    Choices where the definitions leave one:

    - Means over a day weight each epoch by its length, and minutes count each epoch's
      length: this differs from a plain mean only for an epoch cut at midnight (on a
      daylight-saving change day, for an epoch that does not divide an hour), which counts
      for the part of it inside the day. Epochs are assigned to the day their start falls in.
      The MX quantile and the L5/M10 rule of half the epochs count epochs.
    - "Minutes in the day" for the MX metrics: the summed length of the day's epochs (1440,
      or 1380 / 1500 on a change day) with ``impute``; the minutes of its valid epochs
      without, so that MX is the level of the most active X of the measured minutes (NaN when
      X exceeds them).
    - L5/M10 windows are laid in elapsed time from local midnight and must end by the day's
      end: a 25-hour day has windows starting up to 20 hours after midnight (L5).
    - A day without any valid epoch has NaN outcomes (NaT window starts) even with
      ``impute``: its values would be borrowed from other days entirely.
    - Without ``impute`` epochs that are not valid never meet a bout criterion (they stay in
      the sequence, so they count against a window's fraction and as a break).
    - ``coverage`` counts as 1 from 1 - 1e-9 (a fraction computed by division); any non-wear
      above 0 makes an epoch not valid; an epoch whose ``enmo_mg`` is NaN is not valid.
    - A recording's first and last days include the epochs before its first and after its
      last row: not valid, so imputed (or ignored) like any other.

    References
    ----------
    Doherty A, et al. Large scale population assessment of physical activity using wrist
    worn accelerometers: the UK Biobank study. PLoS ONE 2017;12(2):e0169649.
    van Hees VT, et al. Separating movement and gravity components in an acceleration signal
    and implications for the assessment of human daily physical activity. PLoS ONE
    2013;8(4):e61691.
    Rowlands AV, et al. Beyond cut points: accelerometer metrics that capture the physical
    activity profile. Med Sci Sports Exerc 2018;50(6):1323-1332.
    Rowlands AV, et al. Enhancing the value of accelerometer-assessed physical activity:
    meaningful visual comparisons of data-driven translational accelerometer metrics. Sports
    Med Open 2019;5:47.
    Witting W, et al. Alterations in the circadian rest-activity rhythm in aging and
    Alzheimer's disease. Biol Psychiatry 1990;27:563-572.
    """
    cuts = A.cutpoints(cutpoints)
    if not isinstance(epochs_table, pd.DataFrame) or \
            not isinstance(epochs_table.index, pd.DatetimeIndex):
        raise TypeError("epochs_table must be a DataFrame indexed by epoch start times")
    missing = [c for c in ("enmo_mg", "coverage") if c not in epochs_table.columns]
    if missing:
        raise ValueError(f"epochs_table lacks column(s) {', '.join(missing)}")
    min_wear_hours = float(min_wear_hours)
    tz = epochs_table.index.tz
    if not len(epochs_table):
        out = _empty(tz)
        out.attrs.update(epoch=epochs_table.attrs.get("epoch"), min_wear_hours=min_wear_hours,
                         impute=bool(impute), cutpoints=cuts, timezone=zone_name(tz))
        return out
    t = A._index_us(epochs_table.index)
    if np.any(np.diff(t) <= 0):
        raise ValueError("the epoch table's index must be strictly increasing")
    length = A._series_epoch_us(epochs_table, None)

    # ---- every epoch of every day, in time order, and where the table's rows fall on it
    grid = D.grid_for(tz, length, int(t[0]))
    day_numbers, bounds = D.calendar_days(tz, int(t[0]), int(t[-1]))
    nd = day_numbers.size
    per_day = [grid.ids_in(int(bounds[i]), int(bounds[i + 1])) for i in range(nd)]
    counts = np.array([a.size for a in per_day], dtype=np.int64)
    offsets = np.concatenate(([0], np.cumsum(counts)))
    ids = np.concatenate(per_day)
    day = np.repeat(np.arange(nd), counts)
    starts, ends = grid.starts(ids), grid.ends(ids)
    row_ids = grid.bin_of(t)
    pos = np.searchsorted(ids, row_ids)
    pos_c = np.minimum(pos, ids.size - 1)
    if np.any(ids[pos_c] != row_ids) or np.any(starts[pos_c] != t):
        raise ValueError("rows of the epoch table do not lie on its epoch grid (epochs laid "
                         "from local midnight, morvane_tools.days.grid_for)")

    n = ids.size
    dur = (ends - starts).astype(np.float64)                 # microseconds
    enmo = np.full(n, np.nan)
    enmo[pos] = epochs_table["enmo_mg"].to_numpy(dtype=np.float64)
    coverage = epochs_table["coverage"].to_numpy(dtype=np.float64)
    nonwear = (epochs_table["nonwear"].to_numpy(dtype=np.float64)
               if "nonwear" in epochs_table.columns else np.zeros(len(t)))
    valid = np.zeros(n, dtype=bool)
    valid[pos] = (coverage >= _FULL) & (nonwear == 0) & np.isfinite(enmo[pos])
    wall = D.naive_us(tz, starts) % D.DAY_US

    # ---- wear
    valid_us = np.bincount(day, weights=np.where(valid, dur, 0.0), minlength=nd)
    valid_hours = valid_us / D.HOUR_US
    day_valid = valid_hours >= min_wear_hours
    hour = wall // D.HOUR_US
    seen = np.bincount(day[valid] * 24 + hour[valid], minlength=nd * 24).reshape(nd, 24) > 0
    clock_hours = [tuple(int(h) for h in np.flatnonzero(row)) for row in seen]

    # ---- the values the outcomes are computed on
    if impute:
        x = A._impute(enmo, valid, day, wall)
    else:
        x = np.where(valid, enmo, np.nan)
    has = np.isfinite(x)
    x0 = np.where(has, x, 0.0)
    w_has = np.where(has, dur, 0.0)
    cols: dict[str, np.ndarray] = {}
    with np.errstate(invalid="ignore", divide="ignore"):
        cols["enmo_mg"] = np.bincount(day, weights=w_has * x0, minlength=nd) / \
            np.bincount(day, weights=w_has, minlength=nd)
        w_valid = np.where(valid, dur, 0.0)
        cols["enmo_mg_crude"] = np.bincount(day, weights=w_valid * np.where(valid, enmo, 0.0),
                                            minlength=nd) / valid_us

    # ---- intensity levels
    level = A.intensity_levels(x, cuts)
    lv = level >= 0
    # sums of whole microseconds are exact, so that 60 minutes come out as 60.0
    minutes = np.bincount(day[lv] * 4 + level[lv], weights=dur[lv],
                          minlength=nd * 4).reshape(nd, 4) / 60e6
    for k, name in enumerate(A.LEVELS):
        cols[f"{name}_min"] = minutes[:, k]
    cols["mvpa_min"] = minutes[:, 2] + minutes[:, 3]

    # ---- bouts, over the whole sequence so that they cross midnight
    meets = {"mvpa": level >= 2, "sedentary": level == 0}
    epoch = pd.Timedelta(length, unit="us")
    for name, kind, least, fraction in _BOUTS:
        width, max_run = A._bout_params(epoch, f"{least}min", _MAX_BREAK)
        in_bout = A._bout_windows(meets[kind], width, A._need(fraction, width), max_run)
        cols[f"{name}_min"] = np.bincount(day, weights=np.where(in_bout, dur, 0.0),
                                          minlength=nd) / 60e6
        first = in_bout & ~np.concatenate(([False], in_bout[:-1]))
        cols[f"{name}_n"] = np.bincount(day[first], minlength=nd).astype(np.float64)

    # ---- intensity gradient bins for all days at once
    edges = A._ig_edges(25, 4000, 8000)
    mids = (edges[:-1] + edges[1:]) / 2
    nb = mids.size
    b = A._ig_bin(x, edges)
    ib = b >= 0
    ig_minutes = np.bincount(day[ib] * nb + b[ib], weights=dur[ib],
                             minlength=nd * nb).reshape(nd, nb) / 60e6

    # ---- the outcomes that need a day's epochs together
    per: dict[str, list[float]] = {k: [] for k in
                                   ("ig_gradient", "ig_intercept", "ig_r_squared",
                                    *(f"mx{m}_mg" for m in _MX_MINUTES), "l5_mg", "m10_mg")}
    l5_at = np.full(nd, np.iinfo(np.int64).min, dtype=np.int64)   # NaT
    m10_at = l5_at.copy()
    for i in range(nd):
        sl = slice(int(offsets[i]), int(offsets[i + 1]))
        g, c, r2 = A._ig_fit(ig_minutes[i], mids)
        per["ig_gradient"].append(g)
        per["ig_intercept"].append(c)
        per["ig_r_squared"].append(r2)
        total = dur[sl].sum() / 60e6 if impute else valid_us[i] / 60e6
        for key, value in A._mx(x[sl], total, _MX_MINUTES).items():
            per[key].append(value)
        day_us = int(bounds[i + 1] - bounds[i])
        elapsed = starts[sl] - bounds[i]
        for key, hours, lowest, at in (("l5_mg", _LEAST_HOURS, True, l5_at),
                                       ("m10_mg", _MOST_HOURS, False, m10_at)):
            mean, s = A._extreme_window(elapsed, x[sl], dur[sl], day_us, hours * D.HOUR_US,
                                        _RESOLUTION_US, lowest)
            per[key].append(mean)
            if s is not None:
                at[i] = bounds[i] + s
    for key, values in per.items():
        cols[key] = np.asarray(values, dtype=np.float64)

    # a day with no valid epoch has nothing of its own to report
    empty_day = valid_us == 0
    for key in cols:
        cols[key] = np.where(empty_day, np.nan, cols[key])
    l5_at[empty_day] = np.iinfo(np.int64).min
    m10_at[empty_day] = np.iinfo(np.int64).min

    dates = D.days_as_dates(day_numbers)
    out = pd.DataFrame({
        "date": pd.Series(dates, dtype=object),
        "weekday": [_WEEKDAYS[d.weekday()] for d in dates],
        "hours": np.diff(bounds) / D.HOUR_US,
        "valid_hours": valid_hours,
        "valid": day_valid,
        "valid_clock_hours": pd.Series(clock_hours, dtype=object),
    })
    for key in OUTCOMES:
        if key == "l5_start":
            out[key] = _times(l5_at, tz)
        elif key == "m10_start":
            out[key] = _times(m10_at, tz)
        else:
            out[key] = cols[key]
    out.attrs.update(epoch=epoch, min_wear_hours=min_wear_hours,
                     impute=bool(impute), cutpoints=cuts, timezone=zone_name(tz))
    return out


def _plain(value: Any) -> Any:
    """A JSON value: NaN and NaT become None, NumPy scalars plain Python ones."""
    if value is None:
        return None
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if isinstance(value, (int, np.integer)):
        return int(value)
    f = float(value)
    return None if math.isnan(f) else f


def _start_hours(column: pd.Series) -> np.ndarray:
    """Wall-clock decimal hours of window starts (NaN for NaT)."""
    s = pd.Series(pd.to_datetime(column))
    if not len(s):
        return np.zeros(0)
    return (s.dt.hour + s.dt.minute / 60 + s.dt.second / 3600
            + s.dt.microsecond / 3.6e9).to_numpy(dtype=np.float64, na_value=np.nan)


def _mean(values: np.ndarray) -> float:
    values = values[~np.isnan(values)]
    return float(values.mean()) if values.size else float("nan")


#: The nightly outcomes averaged per person (times as hours after the evening's midnight).
NIGHT_OUTCOMES = ("sleep_onset_hour", "wake_hour", "spt_hours", "sleep_hours", "waso_hours",
                  "awakenings", "sleep_efficiency")
_WEEKEND_NIGHTS = (4, 5)      # Friday and Saturday evenings


def _night_hours(column: pd.Series, nights: pd.Series) -> np.ndarray:
    """Local times as decimal hours after the midnight that starts the night's date (23:30 is
    23.5, 01:30 the next morning 25.5); NaN for NaT."""
    out = np.full(len(column), np.nan)
    for i, (when, night) in enumerate(zip(column, nights)):
        if when is None or pd.isna(when):
            continue
        wall = pd.Timestamp(when)
        wall = wall.tz_localize(None) if wall.tz is not None else wall
        start = pd.Timestamp(night)
        out[i] = (wall - start) / pd.Timedelta(hours=1)
    return out


def _night_means(nights: pd.DataFrame) -> dict[str, Any]:
    """Nightly means over valid nights: all, weekday nights and weekend nights (Friday and
    Saturday evenings)."""
    valid = nights["valid_night"].to_numpy(dtype=bool) if len(nights) else np.zeros(0, bool)
    out: dict[str, Any] = {"nights": int(len(nights)), "valid_nights": int(valid.sum())}
    weekday = np.array([pd.Timestamp(n).weekday() for n in nights["night"]], dtype=int) \
        if len(nights) else np.zeros(0, dtype=int)
    weekend = np.isin(weekday, _WEEKEND_NIGHTS)
    groups = {"all_nights": valid, "weekday_nights": valid & ~weekend,
              "weekend_nights": valid & weekend}
    for name in NIGHT_OUTCOMES:
        if name.endswith("_hour"):
            column = name[: -len("_hour")]
            values = _night_hours(nights[column], nights["night"]) if len(nights) else \
                np.zeros(0)
        else:
            values = nights[name].to_numpy(dtype=np.float64, na_value=np.nan) if len(nights) \
                else np.zeros(0)
        for group, sel in groups.items():
            out[f"{name}_{group}"] = _plain(_mean(values[sel]))
    return out


def person_summary(days: pd.DataFrame, nights: pd.DataFrame | None = None) -> dict[str, Any]:
    """Per-person activity outcomes from a day table (:func:`daily_summary`), and sleep
    outcomes from a night table (:func:`morvane_tools.sleep.nightly_sleep`).

    Parameters
    ----------
    days : pandas.DataFrame
        The day table of one recording.
    nights : pandas.DataFrame, optional
        Its night table: adds ``nights``, ``valid_nights`` and the means over valid nights of
        ``sleep_onset_hour`` and ``wake_hour`` (hours after the midnight that starts the
        night's date: 23:30 is 23.5, 07:00 the next morning 31.0), ``spt_hours``,
        ``sleep_hours``, ``waso_hours``, ``awakenings`` and ``sleep_efficiency``, as
        ``<name>_all_nights``, ``<name>_weekday_nights`` and ``<name>_weekend_nights`` (weekend
        nights are Friday and Saturday evenings; van Hees et al. 2015, 2018).

    Returns
    -------
    dict
        JSON-serialisable (plain ``int``, ``float``, ``bool``, ``str``; a missing number is
        ``None``, never NaN, so that ``json.dumps(..., allow_nan=False)`` holds and a cohort
        table built from these dictionaries gets NaN):

        - ``days``, ``valid_days`` (counts), ``valid_hours`` (hours of valid epochs over the
          whole recording);
        - ``good_wear_time``: at least 72 valid hours and at least one valid epoch in each of
          the 24 clock hours, over all days of the recording (Doherty et al. 2017);
        - for every daily outcome ``<name>``: ``<name>_all_days`` (mean over valid days),
          ``<name>_weekday`` (valid Monday to Friday), ``<name>_weekend`` (valid Saturday and
          Sunday) and ``<name>_weighted`` (weekday mean x 5/7 + weekend mean x 2/7, when
          both exist). The window starts enter as ``l5_start_hour_*`` and
          ``m10_start_hour_*``: the wall-clock time of the start in decimal hours (02:30 is
          2.5, also on a daylight-saving change day).
        - ``reason``: None, or why there are no outcomes (no valid day, no epochs).

    Notes
    -----
    A valid day whose outcome has no value (e.g. an intensity gradient with fewer than two
    bins holding time) is left out of that outcome's means.

    References
    ----------
    Doherty A, et al. Large scale population assessment of physical activity using wrist
    worn accelerometers: the UK Biobank study. PLoS ONE 2017;12(2):e0169649.
    """
    if not isinstance(days, pd.DataFrame):
        raise TypeError("days must be the DataFrame daily_summary returns")
    valid = days["valid"].to_numpy(dtype=bool) if len(days) else np.zeros(0, dtype=bool)
    total_hours = float(days["valid_hours"].sum()) if len(days) else 0.0
    seen: set[int] = set()
    for hours in days.get("valid_clock_hours", pd.Series([], dtype=object)):
        seen.update(int(h) for h in hours)
    out: dict[str, Any] = {
        "days": int(len(days)),
        "valid_days": int(valid.sum()),
        "valid_hours": total_hours,
        "good_wear_time": bool(total_hours >= 72 and seen >= set(range(24))),
    }
    if not len(days):
        reason: str | None = "no epochs"
    elif not valid.any():
        need = days.attrs.get("min_wear_hours", 16)
        reason = f"no valid day: none holds {need:g} hours of valid epochs"
    else:
        reason = None
    weekend = days["weekday"].isin(_WEEKEND).to_numpy(dtype=bool) if len(days) else valid
    groups = {"all_days": valid, "weekday": valid & ~weekend, "weekend": valid & weekend}
    for name in OUTCOMES:
        if name not in days.columns:
            continue
        if name in _TIMES:
            key = name.replace("_start", "_start_hour")
            values = _start_hours(days[name])
        else:
            key = name
            values = days[name].to_numpy(dtype=np.float64, na_value=np.nan)
        means = {g: _mean(values[sel]) for g, sel in groups.items()}
        means["weighted"] = means["weekday"] * 5 / 7 + means["weekend"] * 2 / 7
        for g, value in means.items():
            out[f"{key}_{g}"] = _plain(value)
    if nights is not None:
        out.update(_night_means(nights))
    out["reason"] = reason
    return out


def version() -> str:
    """The installed package's version."""
    from importlib.metadata import PackageNotFoundError
    from importlib.metadata import version as installed

    try:
        return installed("morvane")
    except PackageNotFoundError:
        return "unknown"


@dataclass(frozen=True)
class SummaryOptions:
    """The checked options of a summary (see :func:`summarize`)."""

    epoch_us: int = 5_000_000
    calibrate: bool = True
    cutpoints: str | tuple[tuple[str, float], ...] = "default"
    min_wear_hours: float = 16.0
    impute: bool = True
    sleep: bool = False
    sleep_diary: str | None = None

    @classmethod
    def of(cls, *, epoch: Any = "5s", calibrate: bool = True,
           cutpoints: str | Mapping[str, Any] = "default", min_wear_hours: float = 16,
           impute: bool = True, sleep: bool = False,
           sleep_diary: Any = None) -> SummaryOptions:
        from .binning import length_us

        if not isinstance(calibrate, bool) or not isinstance(impute, bool):
            raise TypeError("calibrate and impute must be True or False")
        cuts = A.cutpoints(cutpoints)
        if isinstance(min_wear_hours, bool) or not isinstance(min_wear_hours, (int, float)) \
                or not 0 <= min_wear_hours <= 25:
            raise ValueError("min_wear_hours must be a number of hours from 0 to 25")
        named = cutpoints if isinstance(cutpoints, str) else tuple(sorted(cuts.items()))
        if not isinstance(sleep, bool):
            raise TypeError("sleep must be True or False")
        diary = None
        if sleep_diary is not None:
            if not isinstance(sleep_diary, (str, os.PathLike)):
                raise TypeError("sleep_diary must be a path")
            diary = os.path.abspath(os.fspath(sleep_diary))
            from .sleep import read_sleep_diary

            read_sleep_diary(diary)      # a diary that cannot be read fails here, once
        return cls(length_us(epoch, "epoch"), calibrate, named, float(min_wear_hours), impute,
                   sleep or diary is not None, diary)

    @property
    def cuts(self) -> dict[str, float]:
        return A.cutpoints(self.cutpoints if isinstance(self.cutpoints, str)
                           else dict(self.cutpoints))

    def describe(self) -> dict[str, Any]:
        out = {"epoch": _duration_text(self.epoch_us), "calibrate": self.calibrate,
               "cutpoints": self.cutpoints if isinstance(self.cutpoints, str) else "custom",
               **self.cuts, "min_wear_hours": self.min_wear_hours, "impute": self.impute}
        if self.sleep:
            out.update(sleep=True, sleep_diary=self.sleep_diary)
        return out


def _duration_text(us: int) -> str:
    seconds = us / 1e6
    return f"{seconds:g}s"


def summarize(path: Any, *, epoch: Any = "5s", timezone: Any = None, device_timezone: Any = None,
              calibrate: bool = True, cutpoints: str | Mapping[str, Any] = "default",
              min_wear_hours: float = 16, impute: bool = True, bad_blocks: str = "skip",
              sleep: bool = False, sleep_diary: Any = None,
              threads: int | None = None) -> tuple[pd.DataFrame, dict[str, Any]]:
    """The whole chain from a recording to its day table and person summary, in bounded memory.

    The recording is read in chunks (:func:`morvane_tools.prepare`): calibrated against
    gravity (van Hees et al. 2014), non-wear detected (van Hees et al. 2011, 2013) and
    summarised per ``epoch`` (ENMO with coverage and non-wear) on the wearer's local clock;
    then :func:`daily_summary` and :func:`person_summary`.

    Parameters
    ----------
    path : str or os.PathLike
        A CWA recording, plain or gzip-compressed.
    epoch : str or timedelta, default "5s"
        Epoch length.
    timezone, device_timezone : optional
        As in :func:`morvane_tools.read_recording`; days are then the wearer's local days.
    calibrate : bool, default True
        Calibrate against gravity first.
    cutpoints, min_wear_hours, impute
        As in :func:`daily_summary`.
    bad_blocks : {"skip", "raise"}
        Passed on to the reader.
    sleep : bool, default False
        Also find the sleep of each night from the z-angle of the calibrated samples
        (:mod:`morvane_tools.sleep`: HDCZA windows, van Hees et al. 2018; sustained inactivity,
        van Hees et al. 2015) in the same pass.
    sleep_diary : str or os.PathLike, optional
        A sleep diary (:func:`morvane_tools.sleep.read_sleep_diary`) whose windows replace
        HDCZA's for the nights it lists for this recording; implies ``sleep``.
    threads : int, optional
        Threads that may work at once (see :func:`morvane_tools.prepare`).

    Returns
    -------
    days : pandas.DataFrame
        The day table (:func:`daily_summary`).
    info : dict
        ``person`` (:func:`person_summary`, with the nightly means when sleeping), ``id``
        (the file name without ``.cwa``/``.cwa.gz``), ``device_id``, ``session_id``,
        ``calibration``, ``quality`` (the quality report on the same clock), ``version``
        (the package's) and ``parameters`` (every parameter used): all JSON-serialisable.
        With ``sleep`` also ``nights`` (the night table,
        :func:`morvane_tools.sleep.nightly_sleep`) and ``time_use`` (one row per
        wake-to-wake day, :func:`morvane_tools.sleep.time_use`), as DataFrames.
    """
    from .options import ReadOptions

    settings = SummaryOptions.of(epoch=epoch, calibrate=calibrate, cutpoints=cutpoints,
                                 min_wear_hours=min_wear_hours, impute=impute, sleep=sleep,
                                 sleep_diary=sleep_diary)
    options = ReadOptions.of(bad_blocks=bad_blocks, timezone=timezone,
                             device_timezone=device_timezone, threads=threads)
    days, info, _ = summarize_with(path, options, settings)
    return days, info


def summarize_with(path: Any, options: Any, settings: SummaryOptions
                   ) -> tuple[pd.DataFrame, dict[str, Any], Any]:
    """:func:`summarize` with checked options; also returns the preparation (its survey)."""
    from .cohort.discover import recording_id
    from .jsonable import jsonable
    from .options import fs_path
    from .prepare import prepare_with

    p = fs_path(path)
    # the outcomes need ENMO, coverage and non-wear of each epoch, not its MAD or angles
    done = prepare_with(p, options.but(include_magnetometer=False), calibrate=settings.calibrate,
                        nonwear=True, lowpass_hz=None, epoch_us=settings.epoch_us,
                        anglez=settings.sleep, enmo_only=True)
    days = daily_summary(done.table, cutpoints=settings.cuts,
                         min_wear_hours=settings.min_wear_hours, impute=settings.impute)
    rid = recording_id(os.fsdecode(p))
    nights = use = None
    if settings.sleep:
        nights, use = _sleep(done, settings, rid)
    survey = done.survey
    metadata = survey.metadata if survey is not None else {}
    parameters = {
        **settings.describe(),
        "nonwear": "detect_nonwear defaults (60-minute windows every 15 minutes; sd below "
                   "13 mg and range below 50 mg on 2 axes)",
        "bad_blocks": options.bad_blocks,
        **options.clock.describe(),
        "device_utc_offset_s": None if done.offset_us is None else done.offset_us / 1e6,
    }
    info: dict[str, Any] = {
        "person": person_summary(days, nights),
        "id": rid,
        "device_id": metadata.get("device_id"),
        "session_id": metadata.get("session_id"),
        "calibration": done.calibration,
        "quality": survey.quality_report(options.clock) if survey is not None else None,
        "version": version(),
        "parameters": parameters,
    }
    info = jsonable(info)
    if nights is not None:
        info["nights"], info["time_use"] = nights, use
    return days, info, done


def _sleep(done: Any, settings: SummaryOptions, rid: str) -> tuple[pd.DataFrame, pd.DataFrame]:
    """The night table and the wake-to-wake days of a preparation made with the z-angle."""
    from .sleep import nightly_sleep, not_worn, sustained_inactivity, time_use

    anglez, table = done.anglez, done.table_5s
    nights = nightly_sleep(anglez, nonwear=not_worn(table, anglez.index),
                           diary=settings.sleep_diary, id=rid)
    asleep = sustained_inactivity(anglez)
    use = time_use(table.reindex(anglez.index), nights, asleep, cutpoints=settings.cuts)
    return nights, use


def cohort_row(info: dict[str, Any]) -> dict[str, Any]:
    """One row of a cohort's summary table: identity, quality and the person summary."""
    quality = info.get("quality") or {}
    calibration = info.get("calibration") or {}
    row: dict[str, Any] = {
        "id": info.get("id"), "device_id": info.get("device_id"),
        "session_id": info.get("session_id"),
        "first_sample": quality.get("first_sample"), "last_sample": quality.get("last_sample"),
        "samples": quality.get("samples"), "effective_rate_hz": quality.get("effective_rate_hz"),
        "bad_blocks": quality.get("bad_blocks"),
        "checksum_failures": quality.get("checksum_failures"), "gaps": quality.get("gaps"),
        "gap_seconds": quality.get("gap_seconds"),
        "calibrated": calibration.get("calibrated"),
        "calibration_error_mg": calibration.get("error_after_mg"),
    }
    row.update(info.get("person") or {})
    return row
