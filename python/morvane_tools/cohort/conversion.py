"""convert: a cohort of recordings to Parquet on Dask, one file per recording, with a manifest."""

from __future__ import annotations

import json
import math
import os
from dataclasses import dataclass, field
from typing import Any

import pandas as pd

from ..options import ReadOptions
from ..summaries import SummaryOptions
from ..survey import Survey
from .cluster import Progress, run_tasks
from .discover import find_recordings
from .manifest import (MANIFEST_NAME, Manifest, empty_row, is_up_to_date, manifest_rows,
                       read_manifest, row_from_output)

__all__ = ["convert", "ConvertOptions", "Result"]

_WHAT = ("samples", "epochs", "summary")


@dataclass
class Result:
    """What a task made: the recording's survey, the rows written, a summary for the cohort."""

    survey: Survey | None
    samples: int | None
    summary: dict[str, Any] | None = None


@dataclass(frozen=True)
class ConvertOptions:
    """The checked options of one conversion; travels to the workers with each task."""

    what: str = "samples"
    epoch: str = "30s"
    calibrate: bool = False
    nonwear: bool = False
    read: ReadOptions = field(default_factory=ReadOptions)
    summary: SummaryOptions | None = None

    @classmethod
    def of(cls, *, what: str = "samples", epoch: str | None = None,
           calibrate: bool | None = None, nonwear: bool = False,
           resample_hz: float | None = None, bad_blocks: str = "skip", timezone: Any = None,
           device_timezone: Any = None, cutpoints: Any = "default", min_wear_hours: float = 16,
           impute: bool = True, sleep: bool = False, sleep_diary: Any = None) -> ConvertOptions:
        if what not in _WHAT:
            raise ValueError(f"what must be one of {', '.join(map(repr, _WHAT))}, not {what!r}")
        if epoch is None:
            epoch = "5s" if what == "summary" else "30s"
        if calibrate is None:
            calibrate = what == "summary"
        if what != "summary" and (cutpoints != "default" or min_wear_hours != 16
                                  or impute is not True or sleep or sleep_diary is not None):
            raise ValueError("cutpoints, min_wear_hours, impute, sleep and sleep_diary apply "
                             "to what='summary'")
        for name, flag in (("calibrate", calibrate), ("nonwear", nonwear)):
            if not isinstance(flag, bool):
                raise TypeError(f"{name} must be True or False")
        if what != "samples":
            if resample_hz is not None:
                raise ValueError(f"resample_hz applies to samples, not {what}")
            if not isinstance(epoch, str):
                raise TypeError("epoch must be a duration text such as '30s'")
            try:
                length = pd.Timedelta(epoch)
            except ValueError:
                raise ValueError(f"epoch {epoch!r} is not a duration such as '30s'") from None
            if length <= pd.Timedelta(0):
                raise ValueError("epoch must be positive")
        elif calibrate or nonwear:
            raise ValueError("calibrate and nonwear apply to epochs (what='epochs')")
        if what == "summary" and nonwear:
            raise ValueError("a summary always detects non-wear; nonwear applies to epochs")
        if resample_hz is not None:
            if isinstance(resample_hz, bool) or not isinstance(resample_hz, (int, float)):
                raise TypeError("resample_hz must be a number")
            if not (math.isfinite(resample_hz) and resample_hz > 0):
                raise ValueError("resample_hz must be a positive number")
        read = ReadOptions.of(resample_hz=resample_hz, bad_blocks=bad_blocks,
                              timezone=timezone, device_timezone=device_timezone)
        summary = None
        if what == "summary":
            summary = SummaryOptions.of(epoch=epoch, calibrate=calibrate, cutpoints=cutpoints,
                                        min_wear_hours=min_wear_hours, impute=impute,
                                        sleep=sleep, sleep_diary=sleep_diary)
        return cls(what=what, epoch=epoch, calibrate=calibrate, nonwear=nonwear, read=read,
                   summary=summary)

    def describe(self) -> dict[str, Any]:
        """The options as JSON: in the manifest, in each file's metadata, and compared on
        resume."""
        out: dict[str, Any] = {"what": self.what, "bad_blocks": self.read.bad_blocks}
        if self.what == "samples":
            out["resample_hz"] = self.read.resample_hz
        elif self.summary is not None:
            out.update(self.summary.describe())
        else:
            out.update(epoch=self.epoch, calibrate=self.calibrate, nonwear=self.nonwear)
        clock = self.read.clock.describe()
        if clock["timezone"] is not None or clock["device_timezone"] is not None:
            out.update(clock)
        return out

    def output_name(self, relative: str) -> str:
        return relative + (".days.parquet" if self.what == "summary" else ".parquet")

    def outputs(self, final: str) -> list[str]:
        """Every file a task writes for one recording (the first is its manifest output)."""
        if self.summary is not None and self.summary.sleep:
            return [final, final[: -len(".days.parquet")] + ".nights.parquet"]
        return [final]

    def run(self, src: str, temps: dict[str, str], record: dict[str, Any]) -> Result:
        """Convert one recording into the temporary files (final path -> temporary path)."""
        from .parquet import write_samples, write_table

        final, tmp = next(iter(temps.items()))
        if self.what == "samples":
            rows, s = write_samples(src, tmp, self.read, record)
            return Result(s, rows)
        if self.summary is not None:
            from ..summaries import cohort_row, summarize_with
            from .summary_table import SUMMARY_KEY

            days, info, done = summarize_with(src, self.read, self.summary)
            nights, _ = info.pop("nights", None), info.pop("time_use", None)
            write_table(days, tmp, done.survey, record, self.read, {SUMMARY_KEY: info})
            if nights is not None:
                night_tmp = list(temps.values())[1]
                write_table(nights, night_tmp, done.survey, record, self.read)
            samples = done.survey.quality.get("samples") if done.survey is not None else None
            return Result(done.survey, samples, cohort_row(info))
        from ..binning import length_us
        from ..prepare import prepare_with

        done = prepare_with(src, self.read.but(include_magnetometer=False),
                            calibrate=self.calibrate, nonwear=self.nonwear, lowpass_hz=None,
                            epoch_us=length_us(self.epoch, "epoch"))
        info = done.info()
        write_table(done.table, tmp, done.survey, record, self.read,
                    {"morvane.prepare": {k: info[k] for k in
                                         ("read", "calibration", "nonwear", "sampling_rate_hz")}})
        samples = done.survey.quality.get("samples") if done.survey is not None else None
        return Result(done.survey, samples)


def convert(inputs: Any, output_dir: str | os.PathLike[str], *, what: str = "samples",
            epoch: str | None = None, calibrate: bool | None = None, nonwear: bool = False,
            resample_hz: float | None = None, bad_blocks: str = "skip",
            timezone: Any = None, device_timezone: Any = None, cutpoints: Any = "default",
            min_wear_hours: float = 16, impute: bool = True, sleep: bool = False,
            sleep_diary: Any = None, scheduler: Any = None,
            workers: int | None = None, resume: bool = True,
            progress: bool = True) -> pd.DataFrame:
    """Convert recordings to Parquet, one file per recording, on a Dask cluster.

    Parameters
    ----------
    inputs : path, glob pattern, or a list of them
        Recordings, directories (searched recursively for ``*.cwa`` and ``*.cwa.gz``) or glob
        patterns. The output directory is never searched.
    output_dir : path
        Where ``<path relative to its input root>.parquet`` files and ``manifest.parquet`` go.
        A directory input is its own root; a file's root is its folder; a pattern's root is
        its leading folders without wildcards.
    what : {"samples", "epochs", "summary"}
        ``"samples"``: a ``timestamp`` column (timestamp[us]: naive device time, or UTC
        instants whose type names the zone with a clock set) and the float32 channels (those
        present anywhere in the recording, from its survey), written in row groups as the
        recording is read. ``"epochs"``: the epoch table of :func:`morvane_tools.prepare`.
        ``"summary"``: :func:`morvane_tools.summarize` of each recording: its day table as
        ``<relative path>.days.parquet`` (the summary information under
        ``morvane.summary`` in its metadata), and in ``output_dir`` the cohort tables
        ``summary.parquet`` and ``summary.csv``, one row per recording (identity, quality
        and the person summary flattened), rewritten as results come in and kept across
        resumed runs like the manifest.
    epoch : str, optional
        Epoch length: for ``what="epochs"`` (default "30s") and ``"summary"`` (default "5s").
    calibrate : bool, optional
        Calibrate against gravity: for ``"epochs"`` (default False) and ``"summary"``
        (default True).
    nonwear : bool
        Passed to :func:`morvane_tools.prepare` for ``what="epochs"`` (a summary always
        detects non-wear).
    cutpoints, min_wear_hours, impute
        For ``what="summary"``, as in :func:`morvane_tools.daily_summary`.
    sleep, sleep_diary
        For ``what="summary"``, as in :func:`morvane_tools.summarize`: each recording's night
        table is written too (``<relative path>.nights.parquet``) and the cohort tables get
        the nightly means.
    resample_hz : float, optional
        Resample the samples onto a regular grid (the recording is then surveyed, then read
        whole).
    bad_blocks : {"skip", "raise"}
        ``"raise"`` fails a recording at its first bad block.
    timezone, device_timezone : optional
        As in :func:`morvane_tools.read_recording`. Timestamps are then stored as UTC instants
        with the zone in the Arrow type (``timestamp[us, tz=<zone>]``), the file's ``morvane``
        metadata records ``timezone`` and ``device_utc_offset_s``, and the manifest's
        ``first_sample`` and ``last_sample`` are UTC instants.
    scheduler : None, str or distributed.Client
        None starts a ``distributed.LocalCluster`` on 127.0.0.1 (worker processes of one
        thread, the machine's memory shared out among them); an address such as
        ``"tcp://host:9786"`` or a client runs the same tasks on that cluster, whose workers
        must see the same paths and import morvane_tools. Each task reads with one thread
        per worker thread.
    workers : int, optional
        Worker processes of the local cluster (default: the cores).
    resume : bool
        Keep outputs whose input's size and modification time match their manifest row
        (status "up to date"); failed inputs are tried again.
    progress : bool
        Show a progress bar on standard error.

    Returns
    -------
    pandas.DataFrame
        The manifest, as written to ``output_dir/manifest.parquet``: one row per input with
        ``source``, ``size``, ``mtime``, ``status`` ("converted", "up to date" or "failed"),
        ``error``, ``output``, ``samples``, ``first_sample``, ``last_sample``,
        ``effective_rate_hz``, ``device_id``, ``bad_blocks``, ``checksum_failures``, ``gaps``,
        ``seconds`` (time taken), ``worker`` and ``options`` (the conversion's options as
        JSON). Rows of earlier runs for sources outside this run are kept.

    Raises
    ------
    FileNotFoundError
        An input path that does not exist or a pattern that matches nothing.
    ValueError, TypeError
        Bad options, or two inputs whose outputs would be the same file.

    Notes
    -----
    Every output is written under a temporary name (``.<name>.<random>.part``) beside its
    final name and renamed into place when complete, so a killed run leaves no partial file
    under a final name. Each file's key-value metadata holds, under ``morvane``, a JSON object
    with the recording's ``read_metadata``, ``quality_report``, the options, the source's size
    and time, ``timezone`` and ``device_utc_offset_s``; ``morvane.read_report`` holds the read
    report. A recording is read once: its survey is collected as it is read (with resampling,
    a header pass comes first). One task per recording, largest first; a worker lost mid-task
    is retried by Dask, and a recording whose task kills workers repeatedly (the scheduler's
    ``allowed-failures``) ends as failed.
    """
    settings = ConvertOptions.of(what=what, epoch=epoch, calibrate=calibrate, nonwear=nonwear,
                                 resample_hz=resample_hz, bad_blocks=bad_blocks,
                                 timezone=timezone, device_timezone=device_timezone,
                                 cutpoints=cutpoints, min_wear_hours=min_wear_hours,
                                 impute=impute, sleep=sleep, sleep_diary=sleep_diary)
    return run_conversion(inputs, output_dir, settings, scheduler=scheduler, workers=workers,
                          resume=resume, progress=progress)


def check_cluster_options(scheduler: Any, workers: int | None) -> None:
    if workers is not None:
        if isinstance(workers, bool) or not isinstance(workers, int):
            raise TypeError("workers must be an int")
        if workers < 1:
            raise ValueError("workers must be at least 1")
        if scheduler is not None:
            raise ValueError("workers applies to the local cluster, not to a given scheduler")
    if scheduler is not None and not isinstance(scheduler, str):
        import distributed

        if not isinstance(scheduler, distributed.Client):
            raise TypeError("scheduler must be None, an address text or a distributed.Client")


def run_conversion(inputs: Any, output_dir: str | os.PathLike[str], settings: ConvertOptions,
                   *, scheduler: Any, workers: int | None, resume: bool,
                   progress: bool) -> pd.DataFrame:
    """Find the recordings, skip what is up to date, run the rest and keep the manifest (and,
    for a summary, the cohort tables)."""
    check_cluster_options(scheduler, workers)
    options = settings.describe()
    out_dir = os.path.abspath(os.fspath(output_dir))
    if os.path.exists(out_dir) and not os.path.isdir(out_dir):
        raise NotADirectoryError(f"output_dir is not a directory: {out_dir!r}")
    found = find_recordings(inputs, exclude=out_dir)
    manifest_path = os.path.join(out_dir, MANIFEST_NAME)
    input_keys = {os.path.realpath(src) for src, _ in found}

    jobs: list[dict[str, Any]] = []
    refused: list[dict[str, Any]] = []
    outputs: dict[str, str] = {}
    for src, root in found:
        final = os.path.join(out_dir, settings.output_name(os.path.relpath(src, root)))
        if final in outputs:
            raise ValueError(f"{outputs[final]!r} and {src!r} would both be written to "
                             f"{final!r}; give their common folder as the input instead")
        outputs[final] = src
        try:
            st = os.stat(src)
            size, mtime_ns = st.st_size, st.st_mtime_ns
        except OSError:
            size = mtime_ns = None
        job = {"source": src, "output": final, "size": size, "mtime_ns": mtime_ns,
               "options": options, "settings": settings}
        real = os.path.realpath(final)
        if real in input_keys or real == os.path.realpath(manifest_path) \
                or os.path.commonpath([out_dir, os.path.abspath(final)]) != out_dir:
            refused.append(empty_row(
                source=src, size=size, mtime=mtime_ns, output=final, status="failed",
                error="refused: the output would overwrite an input or the manifest",
                options=json.dumps(options, sort_keys=True), seconds=0.0))
        else:
            jobs.append(job)

    os.makedirs(out_dir, exist_ok=True)
    previous = manifest_rows(read_manifest(manifest_path)) if os.path.exists(manifest_path) \
        else {}
    this_run = {src for src, _ in found}
    manifest = Manifest(manifest_path, {k: v for k, v in previous.items() if k not in this_run})
    for row in refused:
        manifest.rows[row["source"]] = row

    todo: list[dict[str, Any]] = []
    skipped = 0
    for job in jobs:
        old = previous.get(job["source"]) if resume else None
        if resume and is_up_to_date(old, job):
            manifest.rows[job["source"]] = dict(old, status="up to date")  # type: ignore[arg-type]
            skipped += 1
            continue
        if resume and old is None and os.path.isfile(job["output"]) and job["size"] is not None:
            row = row_from_output(job)
            if row is not None:
                manifest.rows[job["source"]] = row
                skipped += 1
                continue
        todo.append(job)
        manifest.rows.pop(job["source"], None)
    # the manifest keeps the order inputs were found in
    order = {src: i for i, (src, _) in enumerate(found)}
    todo.sort(key=lambda j: -(j["size"] or 0))
    table = _cohort_table(out_dir, settings, manifest, todo) if settings.summary else None

    def on_row(row: dict[str, Any]) -> None:
        if table is not None:
            table.put(row["source"], _summary_row(row))

    bar = Progress(len(todo), sum(j["size"] or 0 for j in todo), progress, skipped)
    try:
        manifest.flush()
        if todo:
            run_tasks(todo, manifest, bar, scheduler, workers, on_row)
    finally:
        bar.close()
        manifest.rows = dict(sorted(
            manifest.rows.items(), key=lambda kv: (order.get(kv[0], -1), kv[0])))
        manifest.flush()
        if table is not None:
            table.flush(order)
    return manifest.frame()


def _summary_row(row: dict[str, Any]) -> dict[str, Any]:
    """A recording's row of the cohort tables from its manifest row."""
    out: dict[str, Any] = {"status": row.get("status"), "error": row.get("error")}
    out.update(row.get("summary") or {})
    return out


def _cohort_table(out_dir: str, settings: ConvertOptions, manifest: Manifest,
                  todo: list[dict[str, Any]]) -> Any:
    """The cohort tables, keeping the rows of recordings this run does not convert again;
    an up-to-date recording missing from them gets its row from its day file."""
    from ..summaries import cohort_row
    from .summary_table import CohortSummary, summary_from_output

    again = {job["source"] for job in todo}
    keep = {src for src in manifest.rows if src not in again}
    table = CohortSummary(out_dir, keep)
    for src, row in manifest.rows.items():
        if src in again or src in table.rows:
            continue
        info = summary_from_output(row["output"]) if row.get("output") else None
        if info is not None:
            table.put(src, {"status": row.get("status"), "error": row.get("error"),
                            **cohort_row(info)}, flush=False)
    return table
