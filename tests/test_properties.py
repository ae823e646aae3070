"""Property tests over arbitrary argument values and types: every call returns
a result or raises one of the documented exception types (or the caller's
own exception), never SystemError, never a crash."""

import datetime as dt
import math
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import cwagen
import morvane

IO_PREFIX = "IO error: "
DOCUMENTED = (TypeError, ValueError, OverflowError, RuntimeError, UnicodeEncodeError)
SETTINGS = settings(max_examples=200, deadline=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture,
                                           HealthCheck.too_slow])


class UserFailure(Exception):
    """Raised from caller-supplied code; must come back out as the very same object."""


class Hostile:
    """Numeric protocol methods that raise the caller's own exception."""

    def __init__(self, kind):
        self.kind = kind
        self.raised = None

    def _fail(self):
        self.raised = UserFailure(self.kind)
        raise self.raised

    def __float__(self):
        if self.kind == "float":
            self._fail()
        return 1.5

    def __index__(self):
        if self.kind == "index":
            self._fail()
        return 3

    def __repr__(self):
        return f"Hostile({self.kind!r})"


class OddFloat:
    """__float__ that breaks its own contract."""

    def __float__(self):
        return "not a float"

    def __repr__(self):
        return "OddFloat()"


class HugeIndex:
    def __index__(self):
        return 2 ** 80

    def __repr__(self):
        return "HugeIndex()"


class Zone(dt.tzinfo):
    """A tzinfo whose utcoffset returns anything at all, or raises."""

    def __init__(self, result):
        self.result = result
        self.raised = None

    def utcoffset(self, when):
        if self.result == "raise":
            self.raised = UserFailure("utcoffset")
            raise self.raised
        return self.result

    def __repr__(self):
        return f"Zone({self.result!r})"


class LyingDict(dict):
    """A dict subclass whose item access the module must not consult."""

    def __getitem__(self, key):
        raise UserFailure("__getitem__")

    def __missing__(self, key):
        raise UserFailure("__missing__")


class TextSub(str):
    pass


def user_exception(args):
    """The caller-code exceptions that the arguments of one call can raise."""
    found = []

    def walk(v):
        if isinstance(v, (Hostile, Zone)):
            found.append(v)
        elif isinstance(v, dict):
            for x in v.values():
                walk(x)
        elif isinstance(v, (list, tuple)):
            for x in v:
                walk(x)

    walk(args)
    return found


def check_outcome(call, *args, **kwargs):
    """Run one call; return the result or the exception after checking its type."""
    try:
        result = call(*args, **kwargs)
        event("returned")
        return result
    except UserFailure as e:
        event("UserFailure")
        # Only an exception that some argument's own code raised may come out unchanged.
        assert any(e is o.raised for o in user_exception([args, kwargs])), e
        return e
    except DOCUMENTED as e:
        event(type(e).__name__)
        return e
    except BaseException as e:  # noqa: BLE001 - anything else is the failure being looked for
        pytest.fail(f"{type(e).__name__}: {e!r} from {call.__name__}{args!r} {kwargs!r}")


# ---------------------------------------------------------------------------
# Strategies
# ---------------------------------------------------------------------------

def mostly(usual, odd, odds=4):
    """`usual` about (odds - 1) times in `odds`: deep paths need most arguments to be valid."""
    return st.integers(1, odds).flatmap(lambda i: odd if i == 1 else usual)


int64 = st.integers(-2 ** 63, 2 ** 63 - 1)
uint64 = st.integers(0, 2 ** 64 - 1)

special_numbers = st.sampled_from([
    0, 1, -1, 2 ** 63 - 1, 2 ** 63, 2 ** 64 - 1, 2 ** 64, -2 ** 63 - 1, 10 ** 30,
    0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308, 1e-300, 1e300, -1e300,
    1.7976931348623157e308, math.inf, -math.inf, math.nan, 10000.0, 10000.5,
    np.nextafter(10000.0, math.inf),
])

numpy_scalars = st.one_of(
    st.builds(np.float32, st.floats(width=32)),
    st.builds(np.float64, st.floats()),
    st.builds(np.float16, st.floats(width=16)),
    st.builds(np.int64, int64),
    st.builds(np.uint64, uint64),
    st.builds(np.int8, st.integers(-128, 127)),
    st.builds(np.bool_, st.booleans()),
)

hostile = st.one_of(
    st.builds(Hostile, st.sampled_from(["float", "index", "none"])),
    st.builds(OddFloat),
    st.builds(HugeIndex),
)

zones = st.one_of(
    st.builds(dt.timezone, st.builds(
        dt.timedelta, minutes=st.integers(-24 * 60 + 1, 24 * 60 - 1))),
    st.just(dt.timezone.utc),
    st.builds(Zone, st.one_of(
        st.none(), st.integers(), st.just("raise"), st.text(max_size=3),
        st.timedeltas(),
        st.builds(dt.timedelta, microseconds=st.integers(-10 ** 6, 10 ** 6)),
    )),
)

texts = st.one_of(
    st.text(max_size=12),
    st.sampled_from(["cubic", "Cubic", " cubic", "cubic\x00", "\udc80", "seconds",
                     "blocks"]),
    st.builds(TextSub, st.sampled_from(["cubic", "seconds", "blocks", "x"])),
)

scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), special_numbers,
    st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True),
    texts, st.binary(max_size=8), numpy_scalars, hostile, zones,
)

anything = st.recursive(
    scalars,
    lambda inner: st.one_of(st.lists(inner, max_size=3), st.tuples(inner, inner),
                            st.dictionaries(st.text(max_size=4), inner, max_size=3)),
    max_leaves=6,
)

cut_values = st.one_of(st.none(), st.integers(), special_numbers, st.floats(),
                       numpy_scalars, hostile, texts, st.binary(max_size=4))


plausible_cut_values = st.one_of(st.none(), st.integers(0, 12), st.floats(0, 20),
                                 special_numbers)


@st.composite
def cut_dicts(draw):
    cut = {}
    if draw(st.booleans()) or draw(st.booleans()):
        cut["type"] = draw(mostly(st.sampled_from(["seconds", "blocks"]),
                                  st.one_of(st.builds(TextSub, st.sampled_from(["seconds",
                                                                                "blocks"])),
                                            texts, scalars)))
    for key in ("start", "end"):
        if draw(st.booleans()):
            cut[key] = draw(mostly(plausible_cut_values, cut_values))
    if draw(st.booleans()):
        cut[draw(st.text(max_size=5))] = draw(scalars)
    if draw(st.integers(0, 9)) == 0:
        lying = LyingDict()
        dict.update(lying, cut)
        return lying
    return cut


cuts = mostly(st.one_of(st.none(), cut_dicts()), anything)


# ---------------------------------------------------------------------------
# Files
# ---------------------------------------------------------------------------

@pytest.fixture(scope="module")
def paths(tmp_path_factory):
    d = tmp_path_factory.mktemp("properties")
    good = str(d / "good.cwa")
    cwagen.write_recording(good, n_blocks=6)
    corrupt = str(d / "corrupt.cwa")
    cwagen.blocks_file(corrupt, [
        cwagen.recording_bytes(n_blocks=2)[cwagen.METADATA_SIZE:],
        cwagen.data_block(format=0x31, sample_count=10),
    ])
    out_dir = d / "out"
    out_dir.mkdir()
    return {"good": good, "corrupt": corrupt, "dir": str(d), "out": str(out_dir),
            "missing": str(d / "absent.cwa")}


def input_paths(paths):
    return mostly(st.sampled_from([paths["good"], paths["good"], paths["corrupt"]]), st.one_of(
        st.sampled_from([paths["missing"], paths["dir"], "/dev/null", "", paths["good"] + "\x00",
                         "\udc80"]),
        st.builds(lambda name: os.path.join(paths["dir"], name),
                  st.text(max_size=20).filter(lambda s: "/" not in s)),
        anything,
    ))


def output_paths(paths):
    # Every text is a name inside the scratch directory, or a directory, or unusable.
    return mostly(st.just(os.path.join(paths["out"], "o.csv")), st.one_of(
        st.sampled_from([paths["dir"], os.path.join(paths["dir"], "missing", "o.csv"), "",
                         os.path.join(paths["out"], "o\x00.csv"), "\udc80"]),
        st.builds(lambda name: os.path.join(paths["out"], name),
                  st.text(max_size=20).filter(lambda s: "/" not in s)),
        anything.filter(lambda v: not isinstance(v, str)),
    ))


flags = mostly(st.one_of(st.booleans(), st.builds(np.bool_, st.booleans())), scalars, odds=12)
rates = mostly(st.one_of(st.none(), st.floats(min_value=1e-3, max_value=10000.0),
                         st.integers(1, 10000)),
               st.one_of(special_numbers, st.floats(allow_nan=True, allow_infinity=True),
                         numpy_scalars, hostile, texts))


def read_arguments(paths, csv):
    fields = {
        "cut": cuts,
        "include_magnetometer": flags,
        "include_temperature": flags,
        "include_light": flags,
        "include_battery": flags,
        "resample_hz": rates,
        "resample_method": mostly(st.just("cubic"), st.one_of(texts, scalars)),
        "fixed_utc_offset_timezone": mostly(st.one_of(st.none(), zones), scalars),
    }
    optional = st.fixed_dictionaries({}, optional=fields)
    required = {"file_path": input_paths(paths)}
    if csv:
        required["output_path"] = output_paths(paths)
    return st.tuples(st.fixed_dictionaries(required), optional)


# ---------------------------------------------------------------------------
# Properties
# ---------------------------------------------------------------------------

def test_read_cwa_file_arbitrary_arguments(paths):
    @SETTINGS
    @given(read_arguments(paths, csv=False))
    def run(arguments):
        required, optional = arguments
        check_outcome(morvane.read_cwa_file, required["file_path"], **optional)

    run()


def test_write_cwa_csv_arbitrary_arguments(paths):
    @SETTINGS
    @given(read_arguments(paths, csv=True))
    def run(arguments):
        required, optional = arguments
        result = check_outcome(morvane.write_cwa_csv, required["file_path"],
                               required["output_path"], **optional)
        assert result is None or isinstance(result, BaseException)

    run()


@pytest.mark.parametrize("name", ["read_metadata", "sampling_consistency_report"])
def test_metadata_functions_arbitrary_paths(paths, name):
    fn = getattr(morvane, name)

    @SETTINGS
    @given(input_paths(paths))
    def run(path):
        result = check_outcome(fn, path)
        if not isinstance(result, BaseException):
            assert type(result) is dict

    run()


@pytest.mark.parametrize("name", ["read_cwa_file", "write_cwa_csv", "read_metadata",
                                  "sampling_consistency_report", "seconds", "blocks"])
def test_arbitrary_positional_and_keyword_mixtures(paths, tmp_path, name):
    fn = getattr(morvane, name)
    keys = st.one_of(st.sampled_from(["file_path", "output_path", "cut", "start", "end",
                                      "resample_hz", "include_light",
                                      "fixed_utc_offset_timezone", "colour"]),
                     st.text(max_size=6))

    # Binding is cheap to reach; generating long argument lists is what costs here.
    @settings(SETTINGS, max_examples=100)
    @given(st.lists(st.one_of(st.just(paths["good"]), anything), max_size=11),
           st.dictionaries(keys, st.one_of(st.just(paths["good"]), anything), max_size=4))
    def run(args, kwargs):
        if name == "write_cwa_csv":
            # Keep every output inside the scratch directory: the second positional argument and
            # any output_path keyword become a fixed file there.
            if len(args) >= 2 and isinstance(args[1], str):
                args = [args[0], str(tmp_path / "o.csv"), *args[2:]]
            if isinstance(kwargs.get("output_path"), str):
                kwargs["output_path"] = str(tmp_path / "o.csv")
        check_outcome(fn, *args, **kwargs)

    run()


def expected_seconds_error(start, end):
    """The message seconds() must give for two already-converted bounds, or None."""
    for v in (start, end):
        if v is None:
            continue
        if math.isnan(v) or math.isinf(v):
            return "seconds cut values must be finite"
        if v < 0:
            return "seconds cut values must be >= 0"
    if start is not None and end is not None and start >= end:
        return "seconds end must be greater than start"
    return None


numbers = st.one_of(st.none(), st.floats(), special_numbers, st.integers(-10 ** 6, 10 ** 6))


@SETTINGS
@given(numbers, numbers)
def test_seconds_follows_its_rules(start, end):
    try:
        fs = None if start is None else float(start)
        fe = None if end is None else float(end)
    except OverflowError:
        # An int too large for a double: the interpreter's own conversion refuses it.
        with pytest.raises(OverflowError):
            morvane.seconds(start, end)
        return
    message = expected_seconds_error(fs, fe)
    if message is not None:
        with pytest.raises(ValueError) as info:
            morvane.seconds(start, end)
        assert str(info.value) == message
        return
    cut = morvane.seconds(start, end)
    assert list(cut) == ["type", "start", "end"]
    assert cut["type"] == "seconds"
    for key, v in (("start", fs), ("end", fe)):
        assert cut[key] is None if v is None else (type(cut[key]) is float and cut[key] == v)


block_numbers = st.one_of(st.none(), st.booleans(), st.integers(-2 ** 65, 2 ** 65), uint64,
                          st.builds(np.uint64, uint64), st.builds(np.int64, int64))


@SETTINGS
@given(block_numbers, block_numbers)
def test_blocks_follows_its_rules(start, end):
    values = [None if v is None else int(v) for v in (start, end)]
    if any(v is not None and not 0 <= v < 2 ** 64 for v in values):
        with pytest.raises(OverflowError):
            morvane.blocks(start, end)
        return
    s, e = values
    if s is not None and e is not None and e <= s:
        with pytest.raises(ValueError, match="^blocks end must be greater than start$"):
            morvane.blocks(start, end)
        return
    cut = morvane.blocks(start, end)
    assert cut == {"type": "blocks", "start": s, "end": e}
    assert all(v is None or type(v) is int for v in (cut["start"], cut["end"]))


def test_bad_cuts_fail_before_the_file_is_opened(paths):
    """Whatever is wrong with a cut is reported the same way for a good file and a missing
    one; a cut that passes leaves a missing file to fail with an I/O error."""

    @SETTINGS
    @given(cuts)
    def run(cut):
        on_missing = check_outcome(morvane.read_cwa_file, paths["missing"], cut=cut)
        on_corrupt = check_outcome(morvane.read_cwa_file, paths["corrupt"], cut=cut)
        assert isinstance(on_missing, BaseException)
        if isinstance(on_missing, RuntimeError):
            # The cut was accepted: the corrupt file is read (some block cuts stop before its bad
            # block) and fails, if at all, for what is in it.
            assert str(on_missing).startswith(IO_PREFIX), on_missing
            if isinstance(on_corrupt, BaseException):
                assert isinstance(on_corrupt, RuntimeError), on_corrupt
                assert not str(on_corrupt).startswith(IO_PREFIX), on_corrupt
        elif isinstance(on_missing, UserFailure):
            assert isinstance(on_corrupt, UserFailure)
        else:
            assert type(on_corrupt) is type(on_missing)
            assert str(on_corrupt) == str(on_missing)

    run()


def test_utcoffset_results(paths):
    """Any timedelta within a day is an offset; None, other types and the caller's exception
    come back as the fixed rules say; nothing else escapes."""

    @SETTINGS
    @given(st.one_of(st.timedeltas(), st.none(), st.integers(), st.just("raise")))
    def run(result):
        zone = Zone(result)
        outcome = check_outcome(morvane.write_cwa_csv, paths["good"],
                                os.path.join(paths["out"], "tz.csv"),
                                cut={"type": "blocks", "end": 1}, fixed_utc_offset_timezone=zone)
        if isinstance(result, str):
            assert outcome is zone.raised
        elif not isinstance(result, dt.timedelta):
            assert type(outcome) is TypeError
            assert str(outcome) == (f"'{type(result).__qualname__}' object cannot be converted "
                                    "to 'PyDelta'")
        elif abs(result) < dt.timedelta(days=1):
            assert outcome is None
        else:
            # A day or more is no fixed offset that Python's own zones allow; refused or used,
            # but never a wrapped-around value or a crash.
            assert outcome is None or isinstance(outcome, (ValueError, OverflowError)), outcome

    run()


@pytest.mark.parametrize("make_call", [
    lambda h, p: morvane.read_cwa_file(p, resample_hz=h),
    lambda h, p: morvane.write_cwa_csv(p, p + ".csv", resample_hz=h),
    lambda h, p: morvane.seconds(h),
    lambda h, p: morvane.seconds(None, h),
    lambda h, p: morvane.blocks(h),
    lambda h, p: morvane.blocks(None, h),
    lambda h, p: morvane.read_cwa_file(p, cut={"type": "seconds", "start": h}),
    lambda h, p: morvane.read_cwa_file(p, cut={"type": "blocks", "end": h}),
    lambda h, p: morvane.write_cwa_csv(p, p + ".csv", cut={"type": "seconds", "end": h}),
], ids=["read-rate", "csv-rate", "seconds-start", "seconds-end", "blocks-start", "blocks-end",
        "read-seconds-cut", "read-blocks-cut", "csv-seconds-cut"])
def test_callers_own_conversion_exception_passes_through(paths, make_call):
    # Each spot converts either by __float__ or by __index__; a Hostile object fails both.
    class Both(Hostile):
        def __index__(self):
            self._fail()

    hostile_value = Both("float")
    with pytest.raises(UserFailure) as info:
        make_call(hostile_value, paths["missing"])
    assert info.value is hostile_value.raised
    assert not os.path.exists(paths["missing"] + ".csv")
