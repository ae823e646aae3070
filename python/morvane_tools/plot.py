"""Overview picture of a whole recording: one row per calendar day.

What is drawn comes from :mod:`morvane_tools.overview` (the package's own epochs, non-wear
and gaps); this module only draws it. Matplotlib is imported inside the functions, so
importing this module stays cheap.
"""

from __future__ import annotations

import datetime as _dt
import os
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from . import days as D
from .overview import (MINUTE_US, Overview, clock_changes, overview_statistics, row_segments,
                       row_values)

if TYPE_CHECKING:  # pragma: no cover
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

__all__ = ["plot_overview"]

_US_HOUR = D.HOUR_US
_MIN_DAY = 1440

# colours chosen to stay apart for the common forms of colour blindness
_C_ENMO = "#1f5f9e"
_C_NONWEAR = "#f2b134"
_C_GAP = "#d62728"
_C_BAD = "#7b1fa2"
_C_TEMP = "#2a9d55"
_C_OFF = "#e6e6e6"
_C_CHANGE = "#555555"
_C_SLEEP = "#6a51a3"


def _merge_close(iv: np.ndarray, tol_us: int) -> np.ndarray:
    """Merge intervals (sorted by start) less than ``tol_us`` apart, for drawing."""
    if len(iv) < 2:
        return iv
    iv = iv[np.argsort(iv[:, 0], kind="stable")]
    ends = np.maximum.accumulate(iv[:, 1])
    new = np.concatenate([[True], iv[1:, 0] - ends[:-1] >= tol_us])
    group = np.cumsum(new) - 1
    out = np.empty((int(group[-1]) + 1, 2), dtype=np.int64)
    out[:, 0] = iv[new, 0]
    out[:, 1] = np.maximum.reduceat(iv[:, 1], np.flatnonzero(new))
    return out


def _nice_ceil(v: float) -> float:
    if not np.isfinite(v) or v <= 0:
        return 100.0
    mag = 10 ** np.floor(np.log10(v))
    for f in (1, 1.5, 2, 2.5, 3, 4, 5, 6, 8, 10):
        if f * mag >= v:
            return float(f * mag)
    return float(10 * mag)


def _title_lines(ov: Overview, left_out: int) -> tuple[str, str]:
    md = ov.metadata
    q = ov.quality
    start_text = str(q.get("first_sample") or md.get("start_from_data_raw") or "")
    end_text = str(q.get("last_sample") or md.get("end_from_data_raw") or "")
    d0, d1 = start_text[:10], end_text[:10]
    dates = d0 if d0 == d1 else f"{d0} to {d1}"
    head = (f"{md.get('hardware_type', 'CWA')} device {md.get('device_id', '?')}, "
            f"session {md.get('session_id', '?')}: {dates}")
    span_h = (ov.last_us - ov.first_us) / _US_HOUR
    gap_h = float((ov.gaps[:, 1] - ov.gaps[:, 0]).sum()) / _US_HOUR if ov.gaps.size else 0.0
    nw_h = float((ov.nonwear[:, 1] - ov.nonwear[:, 0]).sum()) / _US_HOUR \
        if ov.nonwear.size else 0.0
    rate = md.get("sample_rate_hz")
    where = "device clock" if ov.tz is None else (q.get("timezone") or "UTC")
    gaps = int(q.get("gaps") or 0)
    parts = [f"{start_text.replace('T', ' ')} to {end_text.replace('T', ' ')} "
             f"({span_h:.1f} h, {where})",
             f"{ov.samples:,} samples" + (f" at {rate:g} Hz" if rate else ""),
             f"{gaps} gap{'s' if gaps != 1 else ''} ({gap_h:.2f} h)",
             f"non-wear {nw_h:.1f} h"]
    parts.append(f"{ov.skipped_blocks} bad block{'s' if ov.skipped_blocks != 1 else ''}")
    if left_out:
        parts.append(f"{left_out} days without samples not shown")
    return head, " · ".join(parts)


def _legend_handles(temperature: bool, sleep: bool = False) -> list[Any]:
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch

    handles = [Patch(facecolor=_C_ENMO, alpha=0.85, label="ENMO per minute (mg)"),
               Patch(facecolor=_C_NONWEAR, alpha=0.45, label="non-wear"),
               Patch(facecolor=(1, 0, 0, 0.12), edgecolor=_C_GAP, hatch="////",
                     label="gap (no data)"),
               Line2D([], [], color=_C_BAD, marker="v", linestyle="none",
                      label="bad block"),
               Patch(facecolor=_C_OFF, label="not recording")]
    if temperature:
        handles.insert(1, Line2D([], [], color=_C_TEMP, lw=1.2, label="temperature (°C)"))
    if sleep:
        handles.insert(-1, Patch(facecolor=_C_SLEEP, alpha=0.18, edgecolor=_C_SLEEP,
                                 label="sleep window"))
    return handles


def _draw_day(ax: Any, ov: Overview, day: int, ymax: float,
              trange: tuple[float, float] | None, last_row: bool) -> None:
    from matplotlib.patches import StepPatch
    from matplotlib.transforms import blended_transform_factory

    values, again = row_values(ov, day, "enmo_mg")
    temps = (row_values(ov, day, "temperature")[0] if "temperature" in ov.minutes.columns
             else np.full(_MIN_DAY, np.nan))
    edges = np.arange(_MIN_DAY + 1) / 60.0

    ax.set_xlim(0, 24)
    ax.set_ylim(0, ymax)
    ax.set_xticks(np.arange(0, 25, 3))
    ax.set_xticks(np.arange(0, 24, 1), minor=True)
    ax.set_xticklabels([f"{h:02d}:00" for h in range(0, 25, 3)] if last_row else [])
    ax.tick_params(axis="x", labelbottom=last_row)
    ax.set_yticks([0, ymax / 2, ymax])
    ax.tick_params(axis="both", labelsize=8)
    ax.grid(axis="x", which="major", color="0.8", lw=0.6)
    ax.grid(axis="x", which="minor", color="0.92", lw=0.4)
    ax.set_axisbelow(True)
    date = _dt.date(1970, 1, 1) + _dt.timedelta(days=int(day))
    ax.set_ylabel(date.strftime("%a\n%Y-%m-%d"), rotation=0, ha="right", va="center",
                  fontsize=9, labelpad=6)

    full_h = ax.get_ylim()
    m0, m1 = D.midnight_us(ov.tz, day), D.midnight_us(ov.tz, day + 1)
    # outside the recording
    off = np.array([[m0, ov.first_us], [ov.last_us, m1]], dtype=np.int64)
    off = off[off[:, 1] > off[:, 0]]
    xs, ws = row_segments(off, ov.tz, day)
    if xs.size:
        ax.broken_barh(list(zip(xs, ws)), full_h, facecolors=_C_OFF, zorder=0.5,
                       gid="not_recording")
    xs, ws = row_segments(ov.nonwear, ov.tz, day)
    if xs.size:
        ax.broken_barh(list(zip(xs, ws)), full_h, facecolors=_C_NONWEAR, alpha=0.45,
                       zorder=0.6, gid="nonwear")
    if ov.sleep is not None:
        xs, ws = row_segments(ov.sleep, ov.tz, day)
        if xs.size:
            ax.broken_barh(list(zip(xs, ws)), full_h, facecolors=_C_SLEEP, alpha=0.18,
                           edgecolors=_C_SLEEP, lw=0.8, zorder=0.7, gid="sleep_window")
    # added as an artist: the limits are fixed already, and Axes.add_patch would walk every
    # vertex of the trace to update data limits (the slowest step of the whole picture)
    trace = StepPatch(values, edges, baseline=0.0, fill=True, facecolor=_C_ENMO, alpha=0.85,
                      lw=0, zorder=2, gid="enmo")
    ax.add_artist(trace)
    if again is not None:
        # the hour the clock was set back through: its second pass, outlined over the first
        ax.add_artist(StepPatch(again, edges, baseline=0.0, fill=False, edgecolor=_C_ENMO,
                                lw=0.8, linestyle=(0, (2, 1)), zorder=2.5,
                                gid="enmo_repeated"))
    for lo, hi, kind in clock_changes(ov.tz, day):
        if kind == "skipped":
            ax.broken_barh([(lo, hi - lo)], full_h, facecolors="white", edgecolors=_C_CHANGE,
                           hatch="\\\\", lw=0.5, zorder=1, gid="clock_skipped")
        else:
            ax.broken_barh([(lo, hi - lo)], full_h, facecolors="none", edgecolors=_C_CHANGE,
                           hatch="..", lw=0.5, zorder=1, gid="clock_repeated")
        ax.text((lo + hi) / 2, 0.97, "clock +1 h" if kind == "skipped" else "clock -1 h",
                transform=blended_transform_factory(ax.transData, ax.transAxes), ha="center",
                va="top", fontsize=6, color=_C_CHANGE, gid=f"clock_{kind}_label")
    bottom = blended_transform_factory(ax.transData, ax.transAxes)
    # gaps less than a minute apart are one mark: the row has about a pixel per minute
    xs, ws = row_segments(_merge_close(ov.gaps, MINUTE_US), ov.tz, day)
    if xs.size:
        ax.broken_barh(list(zip(xs, ws)), full_h, facecolors=(1, 0, 0, 0.12),
                       edgecolors=_C_GAP, hatch="////", lw=0.5, zorder=3, gid="gap")
        ax.plot(xs + ws / 2, np.zeros(xs.size), transform=bottom, linestyle="none",
                marker="^", ms=6, color=_C_GAP, clip_on=False, zorder=4, gid="gap_marks")
    if ov.bad.size:
        xs, ws = row_segments(ov.bad, ov.tz, day)
        if xs.size:
            ax.plot(xs + ws / 2, np.ones(xs.size), transform=bottom, linestyle="none",
                    marker="v", ms=7, color=_C_BAD, clip_on=False, zorder=4, gid="bad_blocks")
    if trange is not None:
        tw = ax.twinx()
        tw.plot((edges[:-1] + edges[1:]) / 2, temps, color=_C_TEMP, lw=1.2, gid="temperature")
        tw.set_ylim(*trange)
        tw.set_yticks(np.linspace(trange[0], trange[1], 3))
        tw.tick_params(axis="y", labelsize=8, colors=_C_TEMP)
        tw.set_xlim(0, 24)


def _split_region(ax: Any, n: int) -> list[Any]:
    """Divide the region of ``ax`` into ``n`` stacked rows; ``ax`` becomes the top row."""
    if n == 1:
        return [ax]
    fig = ax.get_figure()
    cell = ax.get_subplotspec()
    if cell is not None:
        sub = cell.subgridspec(n, 1, hspace=0.15)
        ax.set_subplotspec(sub[0])
        return [ax] + [fig.add_subplot(sub[i]) for i in range(1, n)]
    box = ax.get_position()
    gap = 0.15 * box.height / n
    h = (box.height - gap * (n - 1)) / n
    rows = []
    for i in range(n):
        rect = (box.x0, box.y1 - (i + 1) * h - i * gap, box.width, h)
        if i == 0:
            ax.set_position(rect)
            rows.append(ax)
        else:
            rows.append(fig.add_axes(rect))
    return rows


def plot_overview(path: str | os.PathLike[str], ax: Axes | Sequence[Axes] | None = None, *,
                  nonwear: bool = True, temperature: bool = True,
                  enmo_max_mg: float | None = None, title: str | None = None,
                  width: float = 14.0, row_height: float = 1.25, max_days: int = 62,
                  chunk_blocks: int = 8192, verify_checksums: bool = True,
                  timezone: str | _dt.tzinfo | None = None,
                  device_timezone: str | _dt.tzinfo | _dt.timedelta | None = None,
                  threads: int | None = None, sleep: bool = False,
                  nights: Any = None) -> Figure:
    """Draw an at-a-glance overview of a recording, one row per calendar day.

    Each row spans 00:00 to 24:00 of one day (ticks every 3 h) on the device clock, or on the
    wearer's local clock with ``timezone``, and shows the ENMO per minute (the 60-second
    epochs of :func:`morvane_tools.epochs`, in mg) as a filled trace, non-wear
    (:func:`morvane_tools.detect_nonwear`) shaded, gaps (as :func:`morvane_tools.quality_report`
    counts them) hatched with a marker at the bottom edge, bad blocks as markers at the top
    edge, and the per-minute mean temperature on a second y axis. Time before the first and
    after the last sample is shaded grey. On a day whose local clock changes, the skipped hour
    is hatched ("clock +1 h") and the repeated hour is dotted, its second pass outlined over the
    first ("clock -1 h"). The title names the device, session and dates; a second line
    summarises samples, gaps, non-wear and bad blocks.

    The samples are read in chunks and reduced to per-minute statistics, so memory does not
    grow with the length of the recording.

    Parameters
    ----------
    path : str or os.PathLike
        A CWA recording (plain or gzip-compressed).
    ax : matplotlib.axes.Axes or sequence of Axes, optional
        None (default) makes a new figure ``width`` inches wide with one row per day. A single
        Axes: the overview is drawn into the region that Axes occupies in its figure; with
        several days the region is divided into stacked rows (through a sub-grid of the Axes'
        grid cell when it has one, otherwise by its position) and the given Axes becomes
        the first day. A sequence of Axes: one per day, in order; its length must equal the
        number of days. With an Axes given, the title is set on the top row and the figure's
        own title is left alone.
    nonwear : bool, default True
        Shade non-wear (the default rule of :func:`morvane_tools.detect_nonwear`).
    temperature : bool, default True
        Draw the temperature on a second y axis per row.
    enmo_max_mg : float, optional
        Top of the ENMO axis, the same for every row; default: a round number above the
        99.9th percentile of the minute values (at least 50 mg).
    title : str, optional
        Replaces the first title line (device, session and dates).
    width, row_height : float
        Size in inches of a new figure: ``width`` wide, ``row_height`` per day plus 1.25 in
        for titles, legend and axis labels. Ignored when ``ax`` is given.
    max_days : int, default 62
        Most rows drawn. When the first and last sample are further apart, only the days
        that hold samples get rows (the summary line says how many were left out); a
        ValueError is raised when even those are more.
    chunk_blocks : int, default 8192
        Blocks read at a time.
    verify_checksums : bool, default True
        Passed to the reader; blocks failing their checksum are bad blocks.
    timezone, device_timezone : optional
        As in :func:`morvane_tools.read_recording`; rows are then the local calendar days.
    threads : int, optional
        Threads that may work at once (see :func:`morvane_tools.prepare`).
    sleep : bool, default False
        Shade each night's sleep window (:func:`morvane_tools.sleep.nightly_sleep`, from the
        z-angle of the calibrated samples; the minute ENMO is then that of the calibrated
        samples too).
    nights : pandas.DataFrame, optional
        A night table (``sleep_onset``, ``wake``; e.g. ``summarize(...)[1]["nights"]``) whose
        windows are shaded instead.

    Returns
    -------
    matplotlib.figure.Figure
        The new figure (with an Agg canvas, so ``fig.savefig("x.png")`` works without pyplot
        and without touching the global backend), or the figure of ``ax``. Artists carry gids
        for inspection: "enmo" (StepPatch), "enmo_repeated", "temperature", "nonwear", "gap",
        "gap_marks", "bad_blocks", "not_recording", "clock_skipped", "clock_repeated",
        "sleep_window".

    Raises
    ------
    ValueError
        For bad arguments, or a recording without any samples.
    TypeError
        When ``ax`` is neither an Axes nor a sequence of Axes.
    """
    from matplotlib.axes import Axes as _Axes

    if enmo_max_mg is not None and not (isinstance(enmo_max_mg, (int, float))
                                        and enmo_max_mg > 0):
        raise ValueError("enmo_max_mg must be a positive number")
    if not (width > 0 and row_height > 0):
        raise ValueError("width and row_height must be positive")
    if not isinstance(max_days, int) or max_days < 1:
        raise ValueError("max_days must be a positive integer")
    if not isinstance(chunk_blocks, int) or chunk_blocks < 1:
        raise ValueError("chunk_blocks must be a positive integer")
    rows_given: list[Any] | None = None
    if ax is not None:
        if isinstance(ax, _Axes):
            rows_given = [ax]
        elif isinstance(ax, Sequence) and ax and all(isinstance(a, _Axes) for a in ax):
            rows_given = list(ax)
        else:
            raise TypeError("ax must be a matplotlib Axes or a sequence of Axes")

    ov = overview_statistics(os.fspath(path), nonwear=nonwear, chunk_blocks=chunk_blocks,
                             verify_checksums=verify_checksums, timezone=timezone,
                             device_timezone=device_timezone, threads=threads, sleep=sleep,
                             nights=nights)
    days, left_out = ov.row_days(max_days)
    n = len(days)

    if rows_given is None:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure as _Figure

        top_in, bottom_in = 0.85, 0.4
        height = top_in + bottom_in + n * row_height
        fig = _Figure(figsize=(width, height))
        FigureCanvasAgg(fig)
        gs = fig.add_gridspec(n, 1, left=1.4 / width, right=1 - 0.6 / width,
                              top=1 - top_in / height, bottom=bottom_in / height, hspace=0.18)
        rows = [fig.add_subplot(gs[i]) for i in range(n)]
    else:
        if len(rows_given) == 1:
            rows = _split_region(rows_given[0], n)
        elif len(rows_given) == n:
            rows = rows_given
        else:
            raise ValueError(f"the recording spans {n} day(s) but {len(rows_given)} Axes "
                             "were given")
        fig = rows[0].get_figure()

    enmo = ov.minutes["enmo_mg"].to_numpy()
    if enmo_max_mg is None:
        finite = enmo[np.isfinite(enmo)]
        top = float(np.percentile(finite, 99.9)) if finite.size else 0.0
        ymax = _nice_ceil(max(top * 1.05, 50.0))
    else:
        ymax = float(enmo_max_mg)
    trange = None
    if temperature and "temperature" in ov.minutes.columns:
        t = ov.minutes["temperature"].to_numpy(dtype=np.float64)
        t = t[np.isfinite(t)]
        if t.size:
            lo, hi = float(np.floor(t.min())), float(np.ceil(t.max()))
            if hi - lo < 4:
                mid = (lo + hi) / 2
                lo, hi = np.floor(mid - 2), np.ceil(mid + 2)
            if (hi - lo) % 2:
                hi += 1  # whole degrees at all three ticks
            trange = (float(lo), float(hi))
    for i, (row, day) in enumerate(zip(rows, days)):
        _draw_day(row, ov, day, ymax, trange, last_row=(i == n - 1))

    head, info = _title_lines(ov, left_out)
    if title is not None:
        head = title
    handles = _legend_handles(trange is not None, ov.sleep is not None)
    if rows_given is None:
        fig.suptitle(head, x=1.4 / width, ha="left", y=1 - 0.08 / fig.get_figheight(),
                     va="top", fontsize=12, fontweight="bold")
        fig.text(1.4 / width, 1 - 0.36 / fig.get_figheight(), info, ha="left", va="top",
                 fontsize=9, color="0.25")
        fig.legend(handles=handles, loc="upper right", ncol=len(handles), frameon=False,
                   fontsize=8, bbox_to_anchor=(1 - 0.6 / width, 1 - 0.55 / fig.get_figheight()),
                   borderaxespad=0.0, handlelength=1.6)
    else:
        rows[0].set_title(f"{head}\n{info}", loc="left", fontsize=9)
        rows[-1].legend(handles=handles, loc="upper center", bbox_to_anchor=(0.5, -0.35),
                        ncol=len(handles), frameon=False, fontsize=7)
    return fig
