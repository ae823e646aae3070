"""The ``morvane`` command line: info, qc, convert, summarize and plot."""

from __future__ import annotations

import argparse
import importlib
import json
import math
import os
import sys
from typing import Any, NoReturn, Sequence

PROG = "morvane"

# quality fields shown by ``morvane qc`` on the terminal (the file gets them all)
_QC_COLUMNS = ["data_blocks", "bad_blocks", "checksum_failures", "gaps", "gap_seconds",
               "first_sample", "last_sample", "effective_rate_hz", "truncated"]


class UsageError(Exception):
    """A bad command line (exit status 2)."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{self.prog}: {message}")


def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be a positive number: {text!r}")
    return value


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text!r}")
    return value


def _clock_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("--timezone", metavar="ZONE",
                   help="the wearer's time zone, e.g. Europe/London: times and days are local")
    p.add_argument("--device-timezone", metavar="ZONE_OR_OFFSET",
                   help="what the device clock shows: UTC, an offset such as +01:00, or a zone "
                   "(its offset at the first sample); default: --timezone")


def _clock(args: argparse.Namespace) -> dict[str, Any]:
    """The time-zone options of a command, checked here so that an unknown zone is a usage
    error."""
    from morvane_tools.clock import Clock

    options = {"timezone": args.timezone, "device_timezone": args.device_timezone}
    try:
        Clock.from_options(**options)
    except (ValueError, TypeError) as exc:
        raise UsageError(f"{PROG} {args.command}: {_one_line(exc)}") from None
    return options


# the modules of the "tools" extra each command needs before it can do anything
_EXTRAS = {
    "convert": ("pyarrow", "dask", "distributed"),
    "summarize": ("pyarrow", "dask", "distributed"),
    "plot": ("matplotlib",),
}


def _need_extra(command: str, modules: Sequence[str]) -> None:
    """Stop with one line naming the extra before a command starts anything it cannot end."""
    missing = []
    for name in modules:
        try:
            importlib.import_module(name)
        except ImportError:
            missing.append(name)
    if missing:
        raise UsageError(
            f"{PROG} {command}: needs {', '.join(missing)} from the \"tools\" extra: "
            f'pip install "morvane[tools]" (in a checkout: pip install ".[tools]")')


def _cluster_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="an existing Dask scheduler, e.g. tcp://10.0.0.5:8786 (default: a "
                   "local cluster)")
    p.add_argument("--workers", type=_positive_int, metavar="N",
                   help="worker processes of the local cluster (default: the cores)")
    p.add_argument("--no-resume", action="store_true",
                   help="do everything again, even outputs that are up to date")
    p.add_argument("--bad-blocks", choices=("skip", "raise"), default="skip",
                   help="skip bad blocks (default) or fail the recording")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")


def _parser() -> _Parser:
    parser = _Parser(prog=PROG, description="Check, convert and picture CWA accelerometer "
                     "recordings (plain or gzip-compressed).")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True

    p = sub.add_parser("info", help="metadata and quality summary of recordings",
                       description="Print each recording's metadata and quality summary.")
    p.add_argument("files", nargs="+", metavar="FILE")
    p.add_argument("--json", action="store_true",
                   help="print a JSON list of {path, metadata, quality} objects")
    _clock_options(p)

    p = sub.add_parser("qc", help="one quality row per recording",
                       description="One quality row per recording, as a table on the "
                       "terminal or into a .csv or .parquet file. Directories are searched "
                       "recursively for *.cwa and *.cwa.gz.")
    p.add_argument("paths", nargs="+", metavar="PATH")
    p.add_argument("-o", "--output", metavar="REPORT", help="report.csv or report.parquet")
    _clock_options(p)

    p = sub.add_parser("convert", help="recordings to Parquet, on Dask",
                       description="Convert recordings (files, directories searched "
                       "recursively, glob patterns) to one Parquet file each under OUT, "
                       "with OUT/manifest.parquet. Exit status 0 when every input is "
                       "converted or up to date, 1 when any failed, 2 for bad arguments.")
    p.add_argument("inputs", nargs="+", metavar="INPUT")
    p.add_argument("-o", "--output", required=True, metavar="OUT", help="output directory")
    p.add_argument("--epochs", metavar="LENGTH", default=None,
                   help="write epoch summaries of this length (e.g. 30s) instead of samples")
    p.add_argument("--calibrate", action="store_true", help="calibrate (with --epochs)")
    p.add_argument("--nonwear", action="store_true", help="detect non-wear (with --epochs)")
    p.add_argument("--resample", type=_positive_float, metavar="HZ",
                   help="resample the samples onto a regular grid")
    _cluster_options(p)
    _clock_options(p)

    p = sub.add_parser("summarize", help="activity outcomes per day and per person, on Dask",
                       description="Summarise recordings (files, directories searched "
                       "recursively, glob patterns): per recording its day table "
                       "OUT/<path>.days.parquet, and the cohort tables OUT/summary.parquet and "
                       "OUT/summary.csv with one row per recording. Exit status 0 when every "
                       "input is summarised or up to date, 1 when any failed, 2 for bad "
                       "arguments.")
    p.add_argument("inputs", nargs="+", metavar="INPUT")
    p.add_argument("-o", "--output", required=True, metavar="OUT", help="output directory")
    p.add_argument("--cutpoints", metavar="NAME", default="default",
                   help="ENMO cut-points by name (default: 40, 100, 400 mg; see "
                   "morvane_tools.activity.CUTPOINTS)")
    p.add_argument("--epoch", metavar="LENGTH", default="5s", help="epoch length (default 5s)")
    p.add_argument("--min-wear-hours", type=_positive_float, default=16.0, metavar="H",
                   help="valid hours that make a day valid (default 16)")
    p.add_argument("--no-impute", action="store_true",
                   help="outcomes from valid epochs only, without imputation by time of day")
    p.add_argument("--no-calibrate", action="store_true", help="do not calibrate to gravity")
    p.add_argument("--sleep", action="store_true",
                   help="also sleep per night (OUT/<path>.nights.parquet) and nightly means")
    p.add_argument("--sleep-diary", metavar="FILE",
                   help="a sleep diary (CSV: id, night, in_bed, out_of_bed) whose windows "
                   "replace the detected ones; implies --sleep")
    _cluster_options(p)
    _clock_options(p)

    p = sub.add_parser("plot", help="overview picture of a recording",
                       description="Draw one row per day (device clock, or local with "
                       "--timezone): ENMO per minute, non-wear, gaps and bad blocks, "
                       "temperature.")
    p.add_argument("file", metavar="FILE")
    p.add_argument("-o", "--output", required=True, metavar="PICTURE",
                   help="picture file, e.g. overview.png")
    _clock_options(p)
    return parser


# ---------------------------------------------------------------------------
# info
# ---------------------------------------------------------------------------

def _text(value: Any) -> str:
    if isinstance(value, float):
        return f"{value:.6g}"
    if isinstance(value, dict):
        return ", ".join(f"{k}: {_text(v)}" for k, v in value.items()) or "-"
    if isinstance(value, (list, tuple)):
        if value and all(isinstance(v, dict) and set(v) == {"date", "hours"} for v in value):
            return ", ".join(f"{v['date']} ({v['hours']:.2f} h)" for v in value)
        return ", ".join(_text(v) for v in value) or "-"
    if value is None:
        return "-"
    return str(value)


def _section(title: str, values: dict[str, Any]) -> list[str]:
    width = max((len(k) for k in values), default=0)
    return [f"  {title}"] + [f"    {k.ljust(width)}  {_text(v)}" for k, v in values.items()]


def _info(args: argparse.Namespace) -> int:
    from morvane_tools.clock import Clock
    from morvane_tools.jsonable import jsonable as _jsonable
    from morvane_tools.survey import survey

    clock = Clock.from_options(**_clock(args))
    status = 0
    documents = []
    for path in args.files:
        try:
            s = survey(path)
            meta, quality = s.metadata, s.quality_report(clock)
        except (OSError, RuntimeError, ValueError) as exc:
            _error(f"{path}: {_one_line(exc)}")
            status = 1
            continue
        if args.json:
            documents.append({"path": path, "metadata": _jsonable(meta),
                              "quality": _jsonable(quality)})
        else:
            lines = [path, *_section("metadata", meta), *_section("quality", quality)]
            print("\n".join(lines))
    if args.json:
        print(json.dumps(documents, indent=2))
    return status


# ---------------------------------------------------------------------------
# qc
# ---------------------------------------------------------------------------

def _qc(args: argparse.Namespace) -> int:
    import pandas as pd

    import morvane_tools
    from morvane_tools.cohort.discover import find_recordings
    from morvane_tools.jsonable import jsonable as _jsonable

    if args.output is not None:
        suffix = os.path.splitext(args.output)[1].lower()
        if suffix not in (".csv", ".parquet"):
            raise UsageError(f"{PROG} qc: the report must end in .csv or .parquet, "
                             f"not {args.output!r}")
        if suffix == ".parquet":
            _need_extra("qc", ("pyarrow",))
    clock = _clock(args)
    rows = []
    status = 0
    for path, _ in find_recordings(args.paths):
        row: dict[str, Any] = {"recording": path, "error": None}
        try:
            quality = morvane_tools.quality_report(path, **clock)
        except (OSError, RuntimeError, ValueError) as exc:
            row["error"] = _one_line(exc)
            status = 1
        else:
            for key, value in _jsonable(quality).items():
                row[key] = json.dumps(value) if isinstance(value, (list, dict)) else value
        rows.append(row)
    if not rows:
        raise UsageError(f"{PROG} qc: no recordings (*.cwa, *.cwa.gz) found")
    table = pd.DataFrame(rows).convert_dtypes(convert_string=False, convert_boolean=False,
                                              convert_floating=False)
    if args.output is None:
        shown = ["recording"] + [c for c in _QC_COLUMNS if c in table.columns]
        if table["error"].notna().any():
            shown.append("error")
        with pd.option_context("display.max_columns", None, "display.width", None,
                               "display.max_colwidth", 60):
            print(table[shown].to_string(index=False))
    else:
        if args.output.lower().endswith(".csv"):
            table.to_csv(args.output, index=False)
        else:
            table.to_parquet(args.output, index=False)
    return status


# ---------------------------------------------------------------------------
# convert
# ---------------------------------------------------------------------------

def _convert(args: argparse.Namespace) -> int:
    _need_extra("convert", _EXTRAS["convert"])
    clock = _clock(args)
    if args.epochs is None and (args.calibrate or args.nonwear):
        raise UsageError(f"{PROG} convert: --calibrate and --nonwear need --epochs")
    if args.epochs is not None and args.resample is not None:
        raise UsageError(f"{PROG} convert: --resample applies to samples, not --epochs")
    options: dict[str, Any] = dict(
        what="samples" if args.epochs is None else "epochs", resample_hz=args.resample,
        calibrate=args.calibrate, nonwear=args.nonwear, **clock)
    if args.epochs is not None:
        options["epoch"] = args.epochs
    return _run_cohort(args, options, "converted")


def _summarize(args: argparse.Namespace) -> int:
    _need_extra("summarize", _EXTRAS["summarize"])
    from morvane_tools.activity import CUTPOINTS

    clock = _clock(args)
    if args.cutpoints not in CUTPOINTS:
        raise UsageError(f"{PROG} summarize: unknown cut-points {args.cutpoints!r}; known: "
                         f"{', '.join(CUTPOINTS)}")
    if args.sleep_diary is not None and not os.path.isfile(args.sleep_diary):
        raise UsageError(f"{PROG} summarize: no such sleep diary: {args.sleep_diary!r}")
    options: dict[str, Any] = dict(
        what="summary", epoch=args.epoch, calibrate=not args.no_calibrate,
        cutpoints=args.cutpoints, min_wear_hours=args.min_wear_hours,
        impute=not args.no_impute, sleep=args.sleep or args.sleep_diary is not None,
        sleep_diary=args.sleep_diary, **clock)
    return _run_cohort(args, options, "summarised")


def _run_cohort(args: argparse.Namespace, options: dict[str, Any], done: str) -> int:
    """Run a conversion for a command; report failures on standard error, one line each."""
    import morvane_tools

    if args.scheduler is not None and args.workers is not None:
        raise UsageError(f"{PROG} {args.command}: --workers applies to the local cluster, not "
                         "to --scheduler")
    try:
        manifest = morvane_tools.convert(
            args.inputs, args.output, bad_blocks=args.bad_blocks, scheduler=args.scheduler,
            workers=args.workers, resume=not args.no_resume, progress=not args.no_progress,
            **options)
    except (ValueError, TypeError, FileNotFoundError, NotADirectoryError) as exc:
        raise UsageError(f"{PROG} {args.command}: {_one_line(exc)}") from None
    mine = manifest[manifest["source"].isin(_sources(args.inputs, args.output))]
    counts = mine["status"].value_counts()
    failed = mine[mine["status"] == "failed"]
    for src, error in zip(failed["source"], failed["error"]):
        _error(f"failed: {src}: {error}")
    summary = ", ".join(f"{counts.get(s, 0)} {done if s == 'converted' else s}"
                        for s in ("converted", "up to date", "failed"))
    where = os.path.join(args.output, "manifest.parquet")
    if options.get("what") == "summary":
        where += f", {os.path.join(args.output, 'summary.csv')}"
    print(f"{summary}; {where}", file=sys.stderr)
    return 1 if len(failed) else 0


def _sources(inputs: Sequence[str], output: str) -> set[str]:
    from morvane_tools.cohort.discover import find_recordings

    return {src for src, _ in find_recordings(inputs, exclude=os.path.abspath(output))}


# ---------------------------------------------------------------------------
# plot
# ---------------------------------------------------------------------------

def _plot(args: argparse.Namespace) -> int:
    _need_extra("plot", _EXTRAS["plot"])
    import matplotlib

    matplotlib.use("Agg")
    import morvane_tools

    clock = _clock(args)
    if not os.path.exists(args.file):
        raise UsageError(f"{PROG} plot: no such file: {args.file!r}")
    figure = morvane_tools.plot_overview(args.file, **clock)
    try:
        figure.savefig(args.output)
    except ValueError as exc:  # an unknown picture format
        raise UsageError(f"{PROG} plot: {_one_line(exc)}") from None
    return 0


# ---------------------------------------------------------------------------

def _one_line(exc: BaseException) -> str:
    text = " ".join(str(exc).split())
    return text or type(exc).__name__


def _error(message: str) -> None:
    print(message, file=sys.stderr)


_COMMANDS = {"info": _info, "qc": _qc, "convert": _convert, "summarize": _summarize,
             "plot": _plot}


def main(argv: Sequence[str] | None = None) -> int:
    """Run the ``morvane`` command line.

    Parameters
    ----------
    argv : sequence of str, optional
        Arguments after the program name (default: ``sys.argv[1:]``).

    Returns
    -------
    int
        Exit status: 0 success, 1 when a recording failed or could not be read, 2 for bad
        arguments.
    """
    parser = _parser()
    try:
        args = parser.parse_args(argv)
        return _COMMANDS[args.command](args)
    except UsageError as exc:
        _error(f"{exc}")
        return 2
    except KeyboardInterrupt:
        _error(f"{PROG}: interrupted")
        return 130
    except SystemExit as exc:  # --help
        return int(exc.code or 0) if not isinstance(exc.code, str) else 2
    except Exception as exc:  # anything else is still one line, not a traceback
        _error(f"{PROG}: {type(exc).__name__}: {_one_line(exc)}")
        return 1
