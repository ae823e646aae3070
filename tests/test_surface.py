"""The Python-visible surface of morvane: names, signatures, docstrings,
argument binding and conversion, resampling options and fixed UTC offsets."""

import datetime as dt
import os
import inspect
import math
import pathlib
import types
from fractions import Fraction

import numpy as np
import pytest

import cwagen
from argtypes import FloatLike, IndexLike, StrSub
import morvane

NAMES = ["read_metadata", "sampling_consistency_report", "seconds", "blocks",
         "read_cwa_file", "write_cwa_csv"]

IO_PREFIX = "IO error: "
ENOENT_SUFFIX = " (os error 2)"


@pytest.fixture(scope="module")
def rec(tmp_path_factory):
    """A short 100 Hz packed-format recording (3 blocks, 360 samples)."""
    path = tmp_path_factory.mktemp("surface") / "small.cwa"
    cwagen.write_recording(str(path), n_blocks=3)
    return str(path)


@pytest.fixture(scope="module")
def naive(rec):
    return morvane.read_cwa_file(rec)


@pytest.fixture
def missing(tmp_path):
    return str(tmp_path / "absent.cwa")


def assert_enoent(excinfo):
    assert excinfo.type is RuntimeError
    text = str(excinfo.value)
    assert text.startswith(IO_PREFIX), text
    assert text.endswith(ENOENT_SUFFIX), text


# ---------------------------------------------------------------------------
# Module object
# ---------------------------------------------------------------------------

def test_public_names_are_exactly_the_six_functions():
    public = sorted(n for n in dir(morvane)
                    if not (n.startswith("__") and n.endswith("__")))
    assert public == sorted(NAMES)


def test_all_lists_the_functions_in_registration_order():
    assert type(morvane.__all__) is list
    assert morvane.__all__ == NAMES


def test_module_docstring_is_one_short_sentence():
    doc = morvane.__doc__
    assert isinstance(doc, str) and doc.strip()
    assert "\n" not in doc.strip()


@pytest.mark.parametrize("name", NAMES)
def test_functions_are_builtins_of_this_module(name):
    f = getattr(morvane, name)
    assert isinstance(f, types.BuiltinFunctionType)
    assert f.__name__ == name
    assert f.__module__ == "morvane"
    assert f.__self__ is morvane


P = inspect.Parameter
POS = P.POSITIONAL_OR_KEYWORD
KWO = P.KEYWORD_ONLY
NO = P.empty


def _params(*entries):
    return list(entries)


SIGNATURES = {
    "read_metadata": _params(("file_path", POS, NO)),
    "sampling_consistency_report": _params(("file_path", POS, NO)),
    "seconds": _params(("start", POS, None), ("end", POS, None)),
    "blocks": _params(("start", POS, None), ("end", POS, None)),
    "read_cwa_file": _params(
        ("file_path", POS, NO), ("cut", POS, None),
        ("include_magnetometer", POS, True), ("include_temperature", POS, True),
        ("include_light", POS, True), ("include_battery", POS, True),
        ("resample_hz", POS, None), ("resample_method", POS, "cubic"),
        ("fixed_utc_offset_timezone", KWO, None)),
    # The CSV export leaves the auxiliary channels out by default.
    "write_cwa_csv": _params(
        ("file_path", POS, NO), ("output_path", POS, NO), ("cut", POS, None),
        ("include_magnetometer", POS, True), ("include_temperature", POS, False),
        ("include_light", POS, False), ("include_battery", POS, False),
        ("resample_hz", POS, None), ("resample_method", POS, "cubic"),
        ("fixed_utc_offset_timezone", KWO, None)),
}


@pytest.mark.parametrize("name", NAMES)
def test_signature(name):
    sig = inspect.signature(getattr(morvane, name))
    got = [(p.name, p.kind, p.default) for p in sig.parameters.values()]
    assert got == SIGNATURES[name]
    # True == 1 would hide a default written as 1; compare the types as well
    assert [type(p.default) for p in sig.parameters.values()] == \
        [type(d) for _, _, d in SIGNATURES[name]]


@pytest.mark.parametrize("name", ["read_cwa_file", "write_cwa_csv"])
def test_keyword_only_marker_precedes_time_zone(name):
    text = str(inspect.signature(getattr(morvane, name)))
    assert text.endswith(", *, fixed_utc_offset_timezone=None)")
    assert text.count("*") == 1


READ_CWA_FILE_DOC = "\n".join([
    "Python interface for reading CWA data.",
    "",
    "Returns a pandas DataFrame with a DatetimeIndex named `timestamp`.",
    "`fixed_utc_offset_timezone` accepts a Python `datetime.timezone` object.",
    "Its fixed offset is subtracted throughout and the index is UTC-aware.",
    "Otherwise the index is naive. Determine any named timezone's offset in Python",
    "at clock synchronization, rather than at recording start.",
    "Numeric channel columns retain their float32 dtype.",
    "",
    "Gyro and magnetometer columns are included only when present in the selected",
    "samples. Recorded zero measurements remain present; missing samples in a",
    "present channel are NaN.",
    "",
    "Optional resampling parameters:",
    "- `resample_hz`: when set, data is resampled onto a regular grid.",
    '- `resample_method`: currently supports `"cubic"`.',
])

WRITE_CWA_CSV_DOC = "\n".join([
    "Write CWA samples directly to CSV.",
    "",
    "Supports the same optional resampling and time-range controls as `read_cwa_file`.",
    "`fixed_utc_offset_timezone` accepts a Python `datetime.timezone` object;",
    "with it, numeric `time` values are UTC Unix seconds.",
    "Otherwise they encode the device clock without assigning a timezone.",
])

READ_METADATA_DOC = "\n".join([
    "Read CWA header and sample timing metadata without timezone conversion.",
    "Scans packet metadata without decoding sensor values.",
    "`logging_start_time_raw`, `logging_end_time_raw`, and `last_change_time_raw`",
    "are naive ISO 8601 strings preserving the unaltered sensor clock values,",
    "or None when unset. Convert them to UTC or local time for most analysis.",
    "`start_from_data_raw` and `end_from_data_raw` are the first and last actual",
    "sample timestamps, including packet sample offsets and continuity correction,",
    "or None when no valid samples exist. Seconds cuts start at `start_from_data_raw`.",
    "`last_change_time_raw` records the last metadata write, which need not be",
    "the last clock synchronization; check your configuration software.",
])

REPORT_DOC = "\n".join([
    "Return a sampling consistency report for a CWA file.",
    "",
    "The returned dictionary contains:",
    "",
    "- `start_from_header_raw`: ISO 8601 timestamp from the metadata block `logging_start_time`",
    "  field, or `None` when the header uses an unset marker.",
    "- `end_from_header_raw`: ISO 8601 timestamp from the metadata block `logging_end_time`",
    "  field, or `None` when the header uses an unset marker.",
    "- `duration_s_from_header`: `end_from_header_raw - start_from_header_raw` in seconds, or",
    "  `None` when either header timestamp is unavailable.",
    "- `start_from_data_raw`: ISO 8601 timestamp of the first sample produced by the data",
    "  packets, using the same packet timestamp, `timestampOffset`, and continuity",
    "  correction as `read_cwa_file`.",
    "- `end_from_data_raw`: ISO 8601 timestamp of the last sample produced by the data",
    "  packets, using the same timestamp calculation as `read_cwa_file`.",
    "- `duration_s_from_data`: `end_from_data_raw - start_from_data_raw` in seconds. This is",
    "  the inclusive first-sample-to-last-sample span, not the half-open packet end.",
    "- `samplingrate_hz_from_header`: nominal sampling rate decoded from the metadata",
    "  block sampling-rate code as `3200 / (1 << (15 - (rate_code & 0x0f)))`.",
    "- `samplingrate_hz_from_data`: effective sampling rate calculated as",
    "  `(sample_count - 1) / duration_s_from_data`, or `None` when fewer than two",
    "  samples or no positive data duration are available.",
    "",
    "All timestamp strings preserve the raw device clock without a timezone.",
    "Convert them to UTC or local time before analysis using the clock-sync offset.",
    "This method accepts no UTC offset or timezone.",
])


@pytest.mark.parametrize("name, doc, lines", [
    ("read_cwa_file", READ_CWA_FILE_DOC, 16),
    ("write_cwa_csv", WRITE_CWA_CSV_DOC, 6),
    ("read_metadata", READ_METADATA_DOC, 10),
    ("sampling_consistency_report", REPORT_DOC, 26),
    ("seconds", None, 0),
    ("blocks", None, 0),
])
def test_docstring(name, doc, lines):
    got = getattr(morvane, name).__doc__
    assert got == doc
    if doc is not None:
        assert len(got.split("\n")) == lines
        assert not got.endswith("\n")


# ---------------------------------------------------------------------------
# Binding
# ---------------------------------------------------------------------------

TZ = dt.timezone.utc

BINDING = [
    # missing required arguments
    ("read_cwa_file", (), {},
     "read_cwa_file() missing 1 required positional argument: 'file_path'"),
    ("read_cwa_file", (), {"fixed_utc_offset_timezone": TZ},
     "read_cwa_file() missing 1 required positional argument: 'file_path'"),
    ("write_cwa_csv", (), {},
     "write_cwa_csv() missing 2 required positional arguments: 'file_path' and 'output_path'"),
    ("write_cwa_csv", ("in.cwa",), {},
     "write_cwa_csv() missing 1 required positional argument: 'output_path'"),
    ("write_cwa_csv", (), {"output_path": "out.csv"},
     "write_cwa_csv() missing 1 required positional argument: 'file_path'"),
    ("read_metadata", (), {},
     "read_metadata() missing 1 required positional argument: 'file_path'"),
    ("sampling_consistency_report", (), {},
     "sampling_consistency_report() missing 1 required positional argument: 'file_path'"),
    # too many positional arguments, with and without optional parameters
    ("read_cwa_file", ("f", None, True, True, True, True, None, "cubic", TZ), {},
     "read_cwa_file() takes from 1 to 8 positional arguments but 9 were given"),
    ("write_cwa_csv", ("f", "o", None, True, False, False, False, None, "cubic", TZ), {},
     "write_cwa_csv() takes from 2 to 9 positional arguments but 10 were given"),
    ("read_metadata", ("a", "b"), {},
     "read_metadata() takes 1 positional arguments but 2 were given"),
    ("sampling_consistency_report", ("a", "b", "c"), {},
     "sampling_consistency_report() takes 1 positional arguments but 3 were given"),
    ("seconds", (1, 2, 3), {},
     "seconds() takes from 0 to 2 positional arguments but 3 were given"),
    ("blocks", (1, 2, 3, 4), {},
     "blocks() takes from 0 to 2 positional arguments but 4 were given"),
    # unknown keywords, reported before missing arguments
    ("read_cwa_file", (), {"colour": 1},
     "read_cwa_file() got an unexpected keyword argument 'colour'"),
    ("read_cwa_file", ("f",), {"colour": 1},
     "read_cwa_file() got an unexpected keyword argument 'colour'"),
    ("write_cwa_csv", ("f", "o"), {"timezone": TZ},
     "write_cwa_csv() got an unexpected keyword argument 'timezone'"),
    ("read_metadata", ("f",), {"path": "g"},
     "read_metadata() got an unexpected keyword argument 'path'"),
    ("seconds", (), {"begin": 1},
     "seconds() got an unexpected keyword argument 'begin'"),
    ("blocks", (), {"Start": 1},
     "blocks() got an unexpected keyword argument 'Start'"),
    # the same parameter twice
    ("read_cwa_file", ("f",), {"file_path": "g"},
     "read_cwa_file() got multiple values for argument 'file_path'"),
    ("read_cwa_file", ("f", None, True), {"include_magnetometer": False},
     "read_cwa_file() got multiple values for argument 'include_magnetometer'"),
    ("write_cwa_csv", ("f", "o"), {"output_path": "p"},
     "write_cwa_csv() got multiple values for argument 'output_path'"),
    ("blocks", (1,), {"start": 2},
     "blocks() got multiple values for argument 'start'"),
    ("seconds", (1, 2), {"end": 3},
     "seconds() got multiple values for argument 'end'"),
    ("read_metadata", ("f",), {"file_path": "g"},
     "read_metadata() got multiple values for argument 'file_path'"),
]


@pytest.mark.parametrize("name, args, kwargs, message", BINDING)
def test_binding_errors(name, args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        getattr(morvane, name)(*args, **kwargs)
    assert excinfo.type is TypeError
    assert str(excinfo.value) == message


@pytest.mark.parametrize("name, args, kwargs, message", [
    # binding is complete before any argument is converted
    ("read_cwa_file", (pathlib.Path("x"),), {"colour": 1},
     "read_cwa_file() got an unexpected keyword argument 'colour'"),
    ("write_cwa_csv", (b"x",), {},
     "write_cwa_csv() missing 1 required positional argument: 'output_path'"),
    ("blocks", (1.5, 2, 3), {},
     "blocks() takes from 0 to 2 positional arguments but 3 were given"),
    ("read_metadata", (1,), {"file_path": 2},
     "read_metadata() got multiple values for argument 'file_path'"),
])
def test_binding_precedes_conversion(name, args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        getattr(morvane, name)(*args, **kwargs)
    assert str(excinfo.value) == message


def test_all_parameters_accept_keywords(rec, tmp_path):
    # every parameter before the star may be named, in any order
    out = tmp_path / "k.csv"
    assert morvane.write_cwa_csv(
        resample_method="cubic", output_path=str(out), include_battery=False,
        file_path=rec, cut=None, include_light=False, include_temperature=False,
        include_magnetometer=True, resample_hz=None,
        fixed_utc_offset_timezone=None) is None
    assert out.read_text().startswith("time,acc_x,acc_y,acc_z\n")
    df = morvane.read_cwa_file(
        include_battery=True, file_path=rec, cut=None, include_magnetometer=True,
        include_temperature=True, include_light=True, resample_hz=None,
        resample_method="cubic", fixed_utc_offset_timezone=None)
    assert len(df) == 360
    assert morvane.read_metadata(file_path=rec)["start_from_data_raw"] is not None
    assert morvane.seconds(end=2, start=1) == {"type": "seconds", "start": 1.0, "end": 2.0}


@pytest.mark.parametrize("kwargs, columns", [
    ({}, ["acc_x", "acc_y", "acc_z", "temperature", "light", "battery"]),
    ({"include_temperature": False}, ["acc_x", "acc_y", "acc_z", "light", "battery"]),
    ({"include_light": np.False_}, ["acc_x", "acc_y", "acc_z", "temperature", "battery"]),
    ({"include_battery": np.bool_(False), "include_light": np.True_,
      "include_temperature": False},
     ["acc_x", "acc_y", "acc_z", "light"]),
])
def test_read_defaults_and_flags(rec, kwargs, columns):
    df = morvane.read_cwa_file(rec, **kwargs)
    assert list(df.columns) == columns
    assert all(df[c].dtype == np.float32 for c in columns)


@pytest.mark.parametrize("kwargs, header", [
    ({}, "time,acc_x,acc_y,acc_z"),
    ({"include_temperature": True}, "time,acc_x,acc_y,acc_z,temperature"),
    ({"include_light": np.True_, "include_battery": True},
     "time,acc_x,acc_y,acc_z,light,battery"),
    ({"include_temperature": np.bool_(True), "include_light": True,
      "include_battery": np.False_},
     "time,acc_x,acc_y,acc_z,temperature,light"),
])
def test_csv_defaults_and_flags(rec, tmp_path, kwargs, header):
    out = tmp_path / "o.csv"
    morvane.write_cwa_csv(rec, str(out), **kwargs)
    assert out.read_text().split("\n", 1)[0] == header


# ---------------------------------------------------------------------------
# Argument conversion
# ---------------------------------------------------------------------------

MISSING = "/nonexistent-morvane-dir/absent.cwa"

# (function, args, kwargs, prefixed TypeError text)
CONVERSION_ERRORS = [
    ("read_cwa_file", (pathlib.PurePosixPath("x"),), {},
     "argument 'file_path': 'PurePosixPath' object cannot be converted to 'PyString'"),
    ("read_cwa_file", (b"x.cwa",), {},
     "argument 'file_path': 'bytes' object cannot be converted to 'PyString'"),
    ("read_metadata", (pathlib.Path("x"),), {},
     "argument 'file_path': 'PosixPath' object cannot be converted to 'PyString'"),
    ("sampling_consistency_report", (None,), {},
     "argument 'file_path': 'NoneType' object cannot be converted to 'PyString'"),
    ("write_cwa_csv", (MISSING, pathlib.Path("o.csv")), {},
     "argument 'output_path': 'PosixPath' object cannot be converted to 'PyString'"),
    ("write_cwa_csv", (7, pathlib.Path("o.csv")), {},
     "argument 'file_path': 'int' object cannot be converted to 'PyString'"),
    ("read_cwa_file", (MISSING,), {"include_light": 1},
     "argument 'include_light': 'int' object cannot be converted to 'PyBool'"),
    ("read_cwa_file", (MISSING,), {"include_light": None},
     "argument 'include_light': 'NoneType' object cannot be converted to 'PyBool'"),
    ("read_cwa_file", (MISSING,), {"include_magnetometer": 0},
     "argument 'include_magnetometer': 'int' object cannot be converted to 'PyBool'"),
    ("read_cwa_file", (MISSING,), {"include_temperature": "yes"},
     "argument 'include_temperature': 'str' object cannot be converted to 'PyBool'"),
    ("write_cwa_csv", (MISSING, "o"), {"include_battery": np.int64(1)},
     "argument 'include_battery': 'int64' object cannot be converted to 'PyBool'"),
    ("write_cwa_csv", (MISSING, "o"), {"include_temperature": 1.0},
     "argument 'include_temperature': 'float' object cannot be converted to 'PyBool'"),
    ("read_cwa_file", (MISSING,), {"resample_hz": "10"},
     "argument 'resample_hz': must be real number, not str"),
    ("write_cwa_csv", (MISSING, "o"), {"resample_hz": [50]},
     "argument 'resample_hz': must be real number, not list"),
    ("read_cwa_file", (MISSING,), {"resample_method": None},
     "argument 'resample_method': 'NoneType' object cannot be converted to 'PyString'"),
    ("write_cwa_csv", (MISSING, "o"), {"resample_method": b"cubic"},
     "argument 'resample_method': 'bytes' object cannot be converted to 'PyString'"),
    ("read_cwa_file", (MISSING,), {"fixed_utc_offset_timezone": 3600},
     "argument 'fixed_utc_offset_timezone': 'int' object cannot be converted to 'PyTzInfo'"),
    ("write_cwa_csv", (MISSING, "o"),
     {"fixed_utc_offset_timezone": dt.timedelta(hours=1)},
     "argument 'fixed_utc_offset_timezone': 'timedelta' object cannot be converted to 'PyTzInfo'"),
    ("read_cwa_file", (MISSING,), {"fixed_utc_offset_timezone": "UTC"},
     "argument 'fixed_utc_offset_timezone': 'str' object cannot be converted to 'PyTzInfo'"),
    # conversion runs in signature order and stops at the first failure
    ("read_cwa_file", (pathlib.Path("x"),), {"include_light": 1, "resample_hz": "a"},
     "argument 'file_path': 'PosixPath' object cannot be converted to 'PyString'"),
    ("read_cwa_file", (MISSING,), {"include_battery": 1, "include_light": None},
     "argument 'include_light': 'NoneType' object cannot be converted to 'PyBool'"),
    ("read_cwa_file", (MISSING,),
     {"fixed_utc_offset_timezone": 1, "resample_method": None, "resample_hz": "a"},
     "argument 'resample_hz': must be real number, not str"),
    ("write_cwa_csv", (MISSING, "o"),
     {"fixed_utc_offset_timezone": 1, "resample_method": None},
     "argument 'resample_method': 'NoneType' object cannot be converted to 'PyString'"),
    # the cut is not looked at while converting
    ("read_cwa_file", (MISSING, ("bad", "cut")), {"include_light": 1},
     "argument 'include_light': 'int' object cannot be converted to 'PyBool'"),
    ("write_cwa_csv", (MISSING, "o", {"type": 1}), {"fixed_utc_offset_timezone": 0},
     "argument 'fixed_utc_offset_timezone': 'int' object cannot be converted to 'PyTzInfo'"),
]


@pytest.mark.parametrize("name, args, kwargs, message", CONVERSION_ERRORS)
def test_conversion_type_errors(name, args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        getattr(morvane, name)(*args, **kwargs)
    err = excinfo.value
    assert type(err) is TypeError
    assert str(err) == message
    # the underlying error travels along as the cause, carrying the unprefixed text
    cause = err.__cause__
    assert type(cause) is TypeError
    assert message == message.split(": ", 1)[0] + ": " + str(cause)


class NoQualname(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise AttributeError(name)
        return super().__getattribute__(name)


class BadQualname(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            return 5
        return super().__getattribute__(name)


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize("obj, type_text", [
    (NoQualname("Anon", (), {})(), "<failed to extract type name>"),
    (BadQualname("Anon", (), {})(), "<failed to extract type name>"),
    (Outer.Inner(), "Outer.Inner"),
])
def test_type_name_in_messages(obj, type_text):
    with pytest.raises(TypeError) as excinfo:
        morvane.read_metadata(obj)
    assert str(excinfo.value) == \
        f"argument 'file_path': '{type_text}' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError) as excinfo:
        morvane.read_cwa_file(MISSING, include_battery=obj)
    assert str(excinfo.value) == \
        f"argument 'include_battery': '{type_text}' object cannot be converted to 'PyBool'"


def test_cause_is_the_original_exception_object():
    original = TypeError("refused by __float__")

    class Refuses:
        def __float__(self):
            raise original

    with pytest.raises(TypeError) as excinfo:
        morvane.read_cwa_file(MISSING, resample_hz=Refuses())
    assert str(excinfo.value) == "argument 'resample_hz': refused by __float__"
    assert excinfo.value.__cause__ is original


@pytest.mark.parametrize("call, exc_type", [
    (lambda: morvane.blocks(-1), OverflowError),
    (lambda: morvane.blocks(2 ** 64), OverflowError),
    (lambda: morvane.blocks(end=IndexLike(-5)), OverflowError),
    (lambda: morvane.seconds(10 ** 400), OverflowError),
    (lambda: morvane.read_cwa_file(MISSING, resample_hz=10 ** 400), OverflowError),
    (lambda: morvane.read_metadata("a\udc80.cwa"), UnicodeEncodeError),
    (lambda: morvane.read_cwa_file("\ud800"), UnicodeEncodeError),
    (lambda: morvane.write_cwa_csv(MISSING, "out\udcff.csv"), UnicodeEncodeError),
    (lambda: morvane.read_cwa_file(MISSING, resample_method="cu\udc00bic"),
     UnicodeEncodeError),
])
def test_other_conversion_errors_pass_unchanged(call, exc_type):
    with pytest.raises(exc_type) as excinfo:
        call()
    assert type(excinfo.value) is exc_type
    assert not str(excinfo.value).startswith("argument")
    assert excinfo.value.__cause__ is None


def test_interpreter_type_error_from_float_is_prefixed():
    # __float__ returning a str is rejected by the interpreter itself with a TypeError
    with pytest.raises(TypeError) as excinfo:
        morvane.read_cwa_file(MISSING, resample_hz=FloatLike("x"))
    cause = excinfo.value.__cause__
    assert type(cause) is TypeError
    assert "__float__" in str(cause)
    assert str(excinfo.value) == "argument 'resample_hz': " + str(cause)


def test_value_error_from_float_passes_unchanged():
    boom = ValueError("boom")

    class Fails:
        def __float__(self):
            raise boom

    with pytest.raises(ValueError) as excinfo:
        morvane.read_cwa_file(MISSING, resample_hz=Fails())
    assert excinfo.value is boom


@pytest.mark.parametrize("kwargs", [
    {"include_light": np.False_},
    {"include_light": np.True_},
    {"include_magnetometer": np.bool_(True), "include_battery": np.bool_(False)},
    {"resample_hz": 50},
    {"resample_hz": True},
    {"resample_hz": np.float32(25.5)},
    {"resample_hz": FloatLike(20.0)},
    {"resample_hz": IndexLike(30)},
    {"resample_hz": Fraction(1, 2)},
    {"resample_hz": None, "resample_method": "anything"},
    {"resample_method": StrSub("cubic"), "resample_hz": 1},
    {"fixed_utc_offset_timezone": dt.timezone(dt.timedelta(hours=1))},
])
def test_accepted_arguments_reach_the_file(missing, kwargs):
    # conversions and checks pass, so the call gets as far as opening the file
    with pytest.raises(RuntimeError) as excinfo:
        morvane.read_cwa_file(missing, **kwargs)
    assert_enoent(excinfo)


def test_str_subclass_paths_are_accepted(rec, tmp_path):
    out = tmp_path / "sub.csv"
    morvane.write_cwa_csv(StrSub(rec), StrSub(str(out)))
    assert out.exists()
    assert len(morvane.read_cwa_file(StrSub(rec))) == 360
    assert morvane.read_metadata(StrSub(rec)) == morvane.read_metadata(rec)


@pytest.mark.parametrize("hz, step_us", [
    (50, 20_000),
    (True, 1_000_000),
    (IndexLike(25), 40_000),
    (FloatLike(12.5), 80_000),
])
def test_resample_rate_conversions_take_the_numeric_value(rec, hz, step_us):
    df = morvane.read_cwa_file(rec, resample_hz=hz)
    steps = np.diff(df.index.asi8)
    assert len(steps) > 0
    # grid times are truncated to whole microseconds, so a step may be off by one
    assert np.all(np.abs(steps - step_us) <= 1)


# ---------------------------------------------------------------------------
# Resampling options
# ---------------------------------------------------------------------------

RATE_ERRORS = [
    (0, "resample_hz must be a finite value > 0"),
    (0.0, "resample_hz must be a finite value > 0"),
    (-0.0, "resample_hz must be a finite value > 0"),
    (-1, "resample_hz must be a finite value > 0"),
    (False, "resample_hz must be a finite value > 0"),
    (-5e-324, "resample_hz must be a finite value > 0"),
    (float("nan"), "resample_hz must be a finite value > 0"),
    (float("inf"), "resample_hz must be a finite value > 0"),
    (float("-inf"), "resample_hz must be a finite value > 0"),
    (10000.5, "resample_hz must be <= 10000"),
    (math.nextafter(10000.0, math.inf), "resample_hz must be <= 10000"),
    (1e300, "resample_hz must be <= 10000"),
    (10001, "resample_hz must be <= 10000"),
]


@pytest.mark.parametrize("name", ["read_cwa_file", "write_cwa_csv"])
@pytest.mark.parametrize("hz, message", RATE_ERRORS)
def test_bad_rates(missing, tmp_path, name, hz, message):
    out = tmp_path / "never.csv"
    args = (missing,) if name == "read_cwa_file" else (missing, str(out))
    with pytest.raises(ValueError) as excinfo:
        getattr(morvane, name)(*args, resample_hz=hz)
    assert type(excinfo.value) is ValueError
    assert str(excinfo.value) == message
    assert not out.exists()


@pytest.mark.parametrize("method", ["Cubic", "CUBIC", "cubic ", " cubic", "linear", "",
                                    "cubic\x00", "kubisch\u00e9"])
@pytest.mark.parametrize("name", ["read_cwa_file", "write_cwa_csv"])
def test_unsupported_method_with_a_rate(missing, tmp_path, name, method):
    args = (missing,) if name == "read_cwa_file" else (missing, str(tmp_path / "o.csv"))
    with pytest.raises(ValueError) as excinfo:
        getattr(morvane, name)(*args, resample_hz=50, resample_method=method)
    assert str(excinfo.value) == f"Unsupported resample_method '{method}'. Supported: cubic"


def test_rate_is_checked_before_method(missing):
    with pytest.raises(ValueError, match=r"^resample_hz must be a finite value > 0$"):
        morvane.read_cwa_file(missing, resample_hz=0, resample_method="Cubic")


@pytest.mark.parametrize("kwargs", [
    {"resample_hz": 10000},
    {"resample_hz": 10000.0},
    {"resample_hz": 5e-324},          # positive subnormal
    {"resample_hz": 1e-300},
    {"resample_method": "linear"},    # without a rate the method is not looked at
    {"resample_method": "Cubic", "resample_hz": None},
    {"resample_method": ""},
])
@pytest.mark.parametrize("name", ["read_cwa_file", "write_cwa_csv"])
def test_rates_and_methods_that_pass_the_check(missing, tmp_path, name, kwargs):
    args = (missing,) if name == "read_cwa_file" else (missing, str(tmp_path / "o.csv"))
    with pytest.raises(RuntimeError) as excinfo:
        getattr(morvane, name)(*args, **kwargs)
    assert_enoent(excinfo)


def test_method_without_rate_has_no_effect(rec, naive, tmp_path):
    df = morvane.read_cwa_file(rec, resample_method="linear")
    assert df.equals(naive)
    assert (df.index == naive.index).all()
    a, b = tmp_path / "a.csv", tmp_path / "b.csv"
    morvane.write_cwa_csv(rec, str(a))
    morvane.write_cwa_csv(rec, str(b), resample_method="Cubic")
    assert a.read_bytes() == b.read_bytes()


def test_highest_rate_runs(rec, naive):
    df = morvane.read_cwa_file(rec, resample_hz=10000)
    steps = np.diff(df.index.asi8)
    assert np.all(np.abs(steps - 100) <= 1)
    # the grid covers the recording's span at 100 us per row
    span = naive.index.asi8[-1] - naive.index.asi8[0]
    assert abs(len(df) - span / 100) <= 2


# ---------------------------------------------------------------------------
# Fixed UTC offsets
# ---------------------------------------------------------------------------

class FixedTz(dt.tzinfo):
    """A tzinfo whose utcoffset returns whatever it was given, recording the argument."""

    def __init__(self, result):
        self.result = result
        self.calls = []

    def utcoffset(self, when):
        self.calls.append(when)
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class DeltaSub(dt.timedelta):
    pass


HOUR_US = 3600 * 10 ** 6


@pytest.mark.parametrize("tz, shift_us", [
    (dt.timezone(dt.timedelta(hours=2)), 7200 * 10 ** 6),
    (dt.timezone(-dt.timedelta(hours=5, minutes=30)), -19800 * 10 ** 6),
    (dt.timezone.utc, 0),
    (dt.timezone(dt.timedelta(0), "named"), 0),
    (FixedTz(dt.timedelta(hours=1, microseconds=5)), HOUR_US + 5),
    (FixedTz(dt.timedelta(seconds=-1, microseconds=1)), -999_999),
    (FixedTz(DeltaSub(minutes=-90)), -90 * 60 * 10 ** 6),
    (FixedTz(dt.timedelta(hours=24, microseconds=-1)), 24 * HOUR_US - 1),
    (FixedTz(dt.timedelta(hours=-24, microseconds=1)), -24 * HOUR_US + 1),
])
def test_fixed_offset_shifts_index_to_utc(rec, naive, tz, shift_us):
    df = morvane.read_cwa_file(rec, fixed_utc_offset_timezone=tz)
    assert str(naive.index.dtype) == "datetime64[us]"
    assert str(df.index.dtype) == "datetime64[us, UTC]"
    assert df.index.name == "timestamp"
    np.testing.assert_array_equal(df.index.asi8, naive.index.asi8 - shift_us)
    np.testing.assert_array_equal(df.to_numpy(), naive.to_numpy())
    assert list(df.columns) == list(naive.columns)
    if isinstance(tz, FixedTz):
        assert tz.calls == [None]


def test_fixed_offset_shifts_csv_time(rec, naive, tmp_path):
    out = tmp_path / "tz.csv"
    morvane.write_cwa_csv(rec, str(out),
                          fixed_utc_offset_timezone=dt.timezone(dt.timedelta(hours=2)))
    first = out.read_text().split("\n")[1].split(",")[0]
    assert first == f"{(naive.index.asi8[0] - 7200 * 10 ** 6) / 1e6:.4f}"


@pytest.mark.parametrize("result, type_name", [
    (None, "NoneType"),
    (3600, "int"),
    (dt.timezone.utc, "timezone"),
])
def test_utcoffset_must_return_a_timedelta(missing, result, type_name):
    with pytest.raises(TypeError) as excinfo:
        morvane.read_cwa_file(missing, fixed_utc_offset_timezone=FixedTz(result))
    assert str(excinfo.value) == f"'{type_name}' object cannot be converted to 'PyDelta'"


@pytest.mark.parametrize("name", ["read_cwa_file", "write_cwa_csv"])
def test_utcoffset_exception_passes_unchanged(missing, tmp_path, name):
    boom = LookupError("no such zone")
    args = (missing,) if name == "read_cwa_file" else (missing, str(tmp_path / "o.csv"))
    with pytest.raises(LookupError) as excinfo:
        getattr(morvane, name)(*args, fixed_utc_offset_timezone=FixedTz(boom))
    assert excinfo.value is boom


OFFSET_RANGE = ("offset must be a timedelta strictly between -timedelta(hours=24) "
                "and timedelta(hours=24)")


@pytest.mark.parametrize("delta", [
    dt.timedelta(hours=24),
    dt.timedelta(days=-1),
    dt.timedelta(hours=-24),
    dt.timedelta(days=1, seconds=1),
    dt.timedelta(days=-2, seconds=86399),
    dt.timedelta(days=10 ** 8),
    dt.timedelta(days=-10 ** 8),
    dt.timedelta.max,
    dt.timedelta.min,
])
@pytest.mark.parametrize("name", ["read_cwa_file", "write_cwa_csv"])
def test_offset_must_lie_within_a_day(missing, tmp_path, name, delta):
    args = (missing,) if name == "read_cwa_file" else (missing, str(tmp_path / "o.csv"))
    with pytest.raises(ValueError) as excinfo:
        getattr(morvane, name)(*args, fixed_utc_offset_timezone=FixedTz(delta))
    assert type(excinfo.value) is ValueError
    assert str(excinfo.value) == OFFSET_RANGE
    # the same bound Python itself applies to fixed offsets
    with pytest.raises(ValueError):
        dt.timezone(delta)


NONE_OFFSET = "'NoneType' object cannot be converted to 'PyDelta'"


@pytest.mark.parametrize("cut", [None, {"type": "blocks", "start": 0},
                                 {"type": "blocks"}])
@pytest.mark.parametrize("name", ["read_cwa_file", "write_cwa_csv"])
def test_time_zone_fails_before_file_without_seconds_cut(missing, tmp_path, name, cut):
    out = tmp_path / "o.csv"
    args = (missing,) if name == "read_cwa_file" else (missing, str(out))
    with pytest.raises(TypeError) as excinfo:
        getattr(morvane, name)(*args, cut=cut, fixed_utc_offset_timezone=FixedTz(None))
    assert str(excinfo.value) == NONE_OFFSET
    assert not out.exists()


@pytest.mark.parametrize("cut", [{"type": "seconds", "start": 1.0}, {"type": "seconds"}])
@pytest.mark.parametrize("name", ["read_cwa_file", "write_cwa_csv"])
def test_seconds_cut_opens_file_before_time_zone(missing, tmp_path, name, cut):
    tz = FixedTz(None)
    args = (missing,) if name == "read_cwa_file" else (missing, str(tmp_path / "o.csv"))
    with pytest.raises(RuntimeError) as excinfo:
        getattr(morvane, name)(*args, cut=cut, fixed_utc_offset_timezone=tz)
    assert_enoent(excinfo)
    assert tz.calls == []


def test_resample_check_precedes_time_zone(missing):
    tz = FixedTz(None)
    with pytest.raises(ValueError, match=r"^resample_hz must be <= 10000$"):
        morvane.read_cwa_file(missing, resample_hz=20000, fixed_utc_offset_timezone=tz)
    assert tz.calls == []


def test_time_zone_failure_on_a_good_file(rec, tmp_path):
    out = tmp_path / "o.csv"
    with pytest.raises(TypeError, match=r"^'NoneType' object cannot be converted to 'PyDelta'$"):
        morvane.write_cwa_csv(rec, str(out), cut={"type": "seconds", "start": 0.5},
                              fixed_utc_offset_timezone=FixedTz(None))
    assert not out.exists()


# ---------------------------------------------------------------------------
# Missing input file
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("call", [
    lambda p, o: morvane.read_metadata(p),
    lambda p, o: morvane.sampling_consistency_report(p),
    lambda p, o: morvane.read_cwa_file(p),
    lambda p, o: morvane.read_cwa_file(p, cut=morvane.blocks(1, 2)),
    lambda p, o: morvane.read_cwa_file(p, cut=morvane.seconds(1)),
    lambda p, o: morvane.read_cwa_file(p, resample_hz=25),
    lambda p, o: morvane.write_cwa_csv(p, o),
    lambda p, o: morvane.write_cwa_csv(p, o, cut=morvane.seconds(end=3)),
    lambda p, o: morvane.write_cwa_csv(p, o, resample_hz=25),
], ids=["metadata", "report", "read", "read-blocks", "read-seconds", "read-resample",
        "csv", "csv-seconds", "csv-resample"])
def test_missing_input_file(missing, tmp_path, call):
    out = tmp_path / "o.csv"
    with pytest.raises(RuntimeError) as excinfo:
        call(missing, str(out))
    assert_enoent(excinfo)
    assert not out.exists()


# ---------------------------------------------------------------------------
# One module object per process
# ---------------------------------------------------------------------------

_REIMPORT = r"""
import sys
import morvane as first
del sys.modules["morvane"]
import morvane as second
print(first is second, second.read_metadata.__self__ is second, second.__all__ == first.__all__)
"""

_SUBINTERPRETER = r"""
import sys
try:
    import _interpreters as si
except ImportError:
    try:
        import _xxsubinterpreters as si
    except ImportError:
        print("unavailable")
        sys.exit(0)
import morvane
out = sys.argv[1]
code = (
    "import sys\n"
    f"sys.path[:] = {sys.path!r}\n"
    "try:\n"
    "    import morvane\n"
    "    result = 'imported'\n"
    "except ImportError:\n"
    "    result = 'ImportError'\n"
    "except BaseException as e:\n"
    "    result = type(e).__name__\n"
    f"with open({out!r}, 'w') as f:\n"
    "    f.write(result)\n"
)
interp = si.create()
si.run_string(interp, code)
si.destroy(interp)
print("ran")
"""


def _run(code, *args):
    import subprocess
    import sys
    env_path = ":".join(p for p in sys.path if p)
    done = subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True,
                          env=dict(os.environ, PYTHONPATH=env_path), timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


def test_reimport_hands_back_the_same_module():
    assert _run(_REIMPORT) == "True True True"


def test_second_interpreter_cannot_load_the_module(tmp_path):
    out = tmp_path / "result.txt"
    status = _run(_SUBINTERPRETER, str(out))
    if status == "unavailable":
        pytest.skip("no subinterpreter support in this Python")
    assert status == "ran"
    assert out.read_text() == "ImportError"


@pytest.mark.parametrize("name", ["read_metadata", "read_cwa_file", "sampling_consistency_report"])
def test_path_with_nul_never_opens_its_prefix(rec, name):
    # the text before the NUL names a real recording; it must not be read
    with pytest.raises(RuntimeError) as excinfo:
        getattr(morvane, name)(rec + "\x00.ignored")
    assert str(excinfo.value).startswith(IO_PREFIX)


def test_output_path_with_nul_creates_nothing(rec, tmp_path):
    out = tmp_path / "o.csv"
    with pytest.raises(RuntimeError) as excinfo:
        morvane.write_cwa_csv(rec, str(out) + "\x00.ignored")
    assert str(excinfo.value).startswith(IO_PREFIX)
    assert not out.exists()
