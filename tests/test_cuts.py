"""Cut dictionaries: seconds(), blocks(), and reading a cut argument back."""

import collections
import math
import types
from fractions import Fraction

import numpy as np
import pytest

import cwagen
from argtypes import FloatLike, IndexLike, StrSub
import morvane

NAN = float("nan")
INF = float("inf")


@pytest.fixture(scope="module")
def rec(tmp_path_factory):
    """About 70 s at 100 Hz (59 packed blocks), long enough for a 60 s cut."""
    path = tmp_path_factory.mktemp("cuts") / "cut.cwa"
    cwagen.write_recording(str(path), duration_s=70)
    return str(path)


@pytest.fixture
def missing(tmp_path):
    return str(tmp_path / "absent.cwa")


def assert_enoent(excinfo):
    assert excinfo.type is RuntimeError
    assert str(excinfo.value).startswith("IO error: ")
    assert str(excinfo.value).endswith(" (os error 2)")


def same_frame(a, b):
    assert list(a.columns) == list(b.columns)
    np.testing.assert_array_equal(a.index.asi8, b.index.asi8)
    np.testing.assert_array_equal(a.to_numpy(), b.to_numpy())


# ---------------------------------------------------------------------------
# seconds() and blocks()
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("args, kwargs, start, end", [
    ((), {}, None, None),
    ((5,), {}, 5.0, None),
    ((), {"end": 2}, None, 2.0),
    ((1.25, 7.5), {}, 1.25, 7.5),
    ((None, 3), {}, None, 3.0),
    ((-0.0,), {}, -0.0, None),
    ((True,), {}, 1.0, None),
    ((np.float32(0.5), np.int64(4)), {}, 0.5, 4.0),
    ((Fraction(1, 4),), {"end": FloatLike(0.75)}, 0.25, 0.75),
    ((IndexLike(2), IndexLike(3)), {}, 2.0, 3.0),
    ((0, 1e300), {}, 0.0, 1e300),
    ((5e-324,), {}, 5e-324, None),
])
def test_seconds_result(args, kwargs, start, end):
    d = morvane.seconds(*args, **kwargs)
    assert type(d) is dict
    assert list(d) == ["type", "start", "end"]
    assert d["type"] == "seconds" and type(d["type"]) is str
    for got, want in ((d["start"], start), (d["end"], end)):
        if want is None:
            assert got is None
        else:
            assert type(got) is float
            assert got == want
            assert math.copysign(1.0, got) == math.copysign(1.0, want)


@pytest.mark.parametrize("args, kwargs, start, end", [
    ((), {}, None, None),
    ((5,), {}, 5, None),
    ((), {"end": 0}, None, 0),
    ((True, 3), {}, 1, 3),
    ((False,), {"end": True}, 0, 1),
    ((np.uint64(2 ** 64 - 2), 2 ** 64 - 1), {}, 2 ** 64 - 2, 2 ** 64 - 1),
    ((IndexLike(7),), {"end": np.int8(9)}, 7, 9),
    ((None, None), {}, None, None),
    ((0, 1), {}, 0, 1),
])
def test_blocks_result(args, kwargs, start, end):
    d = morvane.blocks(*args, **kwargs)
    assert type(d) is dict
    assert list(d) == ["type", "start", "end"]
    assert d["type"] == "blocks" and type(d["type"]) is str
    for got, want in ((d["start"], start), (d["end"], end)):
        if want is None:
            assert got is None
        else:
            assert type(got) is int  # never a bool, even from True
            assert got == want


def test_each_call_builds_a_new_dict():
    a = morvane.seconds(1)
    a["start"] = 99.0
    assert morvane.seconds(1)["start"] == 1.0
    assert morvane.blocks() is not morvane.blocks()


@pytest.mark.parametrize("func, args, message", [
    ("seconds", (10, 10), "seconds end must be greater than start"),
    ("seconds", (10, 9.5), "seconds end must be greater than start"),
    ("seconds", (0.0, -0.0), "seconds end must be greater than start"),
    ("seconds", (-1e-9,), "seconds cut values must be >= 0"),
    ("seconds", (None, -1), "seconds cut values must be >= 0"),
    ("seconds", (-5e-324,), "seconds cut values must be >= 0"),
    ("seconds", (INF,), "seconds cut values must be finite"),
    ("seconds", (-INF,), "seconds cut values must be finite"),
    ("seconds", (None, NAN), "seconds cut values must be finite"),
    ("seconds", (None, INF), "seconds cut values must be finite"),
    # start is checked completely before end is looked at
    ("seconds", (-1, NAN), "seconds cut values must be >= 0"),
    ("seconds", (NAN, -1), "seconds cut values must be finite"),
    ("seconds", (5, INF), "seconds cut values must be finite"),
    ("seconds", (5, -1), "seconds cut values must be >= 0"),
    ("seconds", (-INF, -1), "seconds cut values must be finite"),
    ("blocks", (5, 5), "blocks end must be greater than start"),
    ("blocks", (6, 5), "blocks end must be greater than start"),
    ("blocks", (2 ** 64 - 1, 0), "blocks end must be greater than start"),
    ("blocks", (1, False), "blocks end must be greater than start"),
])
def test_cut_validation(func, args, message):
    with pytest.raises(ValueError) as excinfo:
        getattr(morvane, func)(*args)
    assert type(excinfo.value) is ValueError
    assert str(excinfo.value) == message


@pytest.mark.parametrize("func, args, kwargs, message", [
    ("blocks", (1.5,), {}, "argument 'start': 'float' object cannot be interpreted as an integer"),
    ("blocks", (), {"end": "3"}, "argument 'end': 'str' object cannot be interpreted as an integer"),
    ("blocks", (np.float64(2.0),), {},
     "argument 'start': 'numpy.float64' object cannot be interpreted as an integer"),
    ("seconds", ("1",), {}, "argument 'start': must be real number, not str"),
    ("seconds", (), {"end": [1]}, "argument 'end': must be real number, not list"),
    ("seconds", (0, b"2"), {}, "argument 'end': must be real number, not bytes"),
    # start is converted before end, and conversion before validation
    ("blocks", (1.5, -1), {}, "argument 'start': 'float' object cannot be interpreted as an integer"),
    ("seconds", ("a", NAN), {}, "argument 'start': must be real number, not str"),
    ("seconds", (NAN, "b"), {}, "argument 'end': must be real number, not str"),
])
def test_cut_argument_type_errors(func, args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        getattr(morvane, func)(*args, **kwargs)
    assert str(excinfo.value) == message
    assert type(excinfo.value.__cause__) is TypeError
    assert message.endswith(": " + str(excinfo.value.__cause__))


@pytest.mark.parametrize("call", [
    lambda: morvane.blocks(-1),
    lambda: morvane.blocks(end=-1),
    lambda: morvane.blocks(2 ** 64),
    lambda: morvane.blocks(0, 2 ** 70),
    lambda: morvane.blocks(IndexLike(-3)),
    lambda: morvane.seconds(10 ** 400),
])
def test_cut_argument_overflow_passes_unchanged(call):
    with pytest.raises(OverflowError) as excinfo:
        call()
    assert type(excinfo.value) is OverflowError
    assert not str(excinfo.value).startswith("argument")
    assert excinfo.value.__cause__ is None


# ---------------------------------------------------------------------------
# Reading a cut argument
# ---------------------------------------------------------------------------

class MissingType(dict):
    def __missing__(self, key):
        return "seconds"


class LyingGetitem(dict):
    def __getitem__(self, key):
        return {"type": "blocks", "start": 0, "end": 1}[key]


CUT_ERRORS = [
    (("seconds", 1, 2), ValueError, "cut must be created by seconds() or blocks()"),
    (["blocks"], ValueError, "cut must be created by seconds() or blocks()"),
    ("seconds", ValueError, "cut must be created by seconds() or blocks()"),
    (0, ValueError, "cut must be created by seconds() or blocks()"),
    (types.MappingProxyType({"type": "blocks"}), ValueError,
     "cut must be created by seconds() or blocks()"),
    ({}, ValueError, "cut is missing type"),
    ({"start": 1, "end": 2}, ValueError, "cut is missing type"),
    # the plain lookup: neither __missing__ nor __getitem__ of a subclass is used
    (MissingType(), ValueError, "cut is missing type"),
    (LyingGetitem(type="minutes"), ValueError, "cut type must be 'seconds' or 'blocks'"),
    (LyingGetitem(type="blocks", start=5, end=5), ValueError,
     "blocks end must be greater than start"),
    ({"type": 1}, TypeError, "'int' object cannot be converted to 'PyString'"),
    ({"type": None}, TypeError, "'NoneType' object cannot be converted to 'PyString'"),
    ({"type": b"seconds"}, TypeError, "'bytes' object cannot be converted to 'PyString'"),
    ({"type": "\udc80"}, UnicodeEncodeError, None),
    ({"type": "minutes"}, ValueError, "cut type must be 'seconds' or 'blocks'"),
    ({"type": "Seconds"}, ValueError, "cut type must be 'seconds' or 'blocks'"),
    ({"type": "second"}, ValueError, "cut type must be 'seconds' or 'blocks'"),
    ({"type": " blocks"}, ValueError, "cut type must be 'seconds' or 'blocks'"),
    ({"type": "blocks "}, ValueError, "cut type must be 'seconds' or 'blocks'"),
    ({"type": "blocks\x00"}, ValueError, "cut type must be 'seconds' or 'blocks'"),
    ({"type": ""}, ValueError, "cut type must be 'seconds' or 'blocks'"),
    # an unknown type is reported before its values are looked at
    ({"type": "minutes", "start": "x"}, ValueError, "cut type must be 'seconds' or 'blocks'"),
    ({"type": "blocks", "start": -2}, OverflowError, None),
    ({"type": "blocks", "end": 2 ** 64}, OverflowError, None),
    ({"type": "blocks", "start": 1.5}, TypeError,
     "'float' object cannot be interpreted as an integer"),
    ({"type": "blocks", "end": "3"}, TypeError,
     "'str' object cannot be interpreted as an integer"),
    ({"type": "seconds", "start": "5"}, TypeError, "must be real number, not str"),
    ({"type": "seconds", "end": [1]}, TypeError, "must be real number, not list"),
    ({"type": "blocks", "start": 5, "end": 5}, ValueError, "blocks end must be greater than start"),
    ({"type": "blocks", "start": 9, "end": 2}, ValueError, "blocks end must be greater than start"),
    ({"type": "seconds", "start": 5, "end": 1}, ValueError,
     "seconds end must be greater than start"),
    ({"type": "seconds", "start": NAN}, ValueError, "seconds cut values must be finite"),
    ({"type": "seconds", "end": -1}, ValueError, "seconds cut values must be >= 0"),
    ({"type": "seconds", "start": -1, "end": NAN}, ValueError, "seconds cut values must be >= 0"),
    # the conversion of start fails before end is looked at
    ({"type": "seconds", "start": "a", "end": -1}, TypeError, "must be real number, not str"),
    ({"end": 1, "start": 3, "type": "seconds"}, ValueError,
     "seconds end must be greater than start"),
]


def _call(name, path, tmp_path, **kwargs):
    if name == "read_cwa_file":
        return morvane.read_cwa_file(path, **kwargs)
    return morvane.write_cwa_csv(path, str(tmp_path / "o.csv"), **kwargs)


@pytest.mark.parametrize("name", ["read_cwa_file", "write_cwa_csv"])
@pytest.mark.parametrize("cut, exc_type, message", CUT_ERRORS)
def test_bad_cut_fails_before_the_file_is_opened(missing, tmp_path, name, cut, exc_type, message):
    with pytest.raises(exc_type) as excinfo:
        _call(name, missing, tmp_path, cut=cut)
    assert type(excinfo.value) is exc_type
    if message is not None:
        assert str(excinfo.value) == message
    # raised unchanged: no argument prefix, no chained cause
    assert not str(excinfo.value).startswith("argument")
    assert excinfo.value.__cause__ is None
    assert not (tmp_path / "o.csv").exists()


@pytest.mark.parametrize("name", ["read_cwa_file", "write_cwa_csv"])
@pytest.mark.parametrize("cut, hz, method, exc_type, message", [
    # cut, then resampling options: the cut's error wins
    (("x",), 0, "cubic", ValueError, "cut must be created by seconds() or blocks()"),
    ({"type": "seconds", "start": 5, "end": 1}, -1, "cubic", ValueError,
     "seconds end must be greater than start"),
    ({"type": 1}, 50, "Cubic", TypeError, "'int' object cannot be converted to 'PyString'"),
    ({"type": "blocks", "start": -2}, 20000, "cubic", OverflowError, None),
    ({}, NAN, "cubic", ValueError, "cut is missing type"),
    # a valid seconds cut: resampling options are checked before the file is scanned
    ({"type": "seconds", "start": 1}, 0, "cubic", ValueError,
     "resample_hz must be a finite value > 0"),
    (morvane.seconds(), 50, "Cubic", ValueError,
     "Unsupported resample_method 'Cubic'. Supported: cubic"),
    (morvane.blocks(0, 1), 10000.5, "cubic", ValueError, "resample_hz must be <= 10000"),
])
def test_cut_errors_precede_resample_errors(missing, tmp_path, name, cut, hz, method,
                                            exc_type, message):
    with pytest.raises(exc_type) as excinfo:
        _call(name, missing, tmp_path, cut=cut, resample_hz=hz, resample_method=method)
    assert type(excinfo.value) is exc_type
    if message is not None:
        assert str(excinfo.value) == message


@pytest.mark.parametrize("name", ["read_cwa_file", "write_cwa_csv"])
@pytest.mark.parametrize("cut", [
    None,
    morvane.blocks(),
    morvane.blocks(3, 4),
    {"type": "blocks", "start": None, "end": None},
    {"type": StrSub("blocks"), "start": np.uint16(1)},
    collections.OrderedDict(type="blocks", end=2),
    MissingType(type="blocks"),
    {"type": "seconds"},
    morvane.seconds(1, 2),
    {"type": "seconds", "start": 0, "colour": "red"},
])
def test_accepted_cuts_reach_the_file(missing, tmp_path, name, cut):
    with pytest.raises(RuntimeError) as excinfo:
        _call(name, missing, tmp_path, cut=cut)
    assert_enoent(excinfo)


# ---------------------------------------------------------------------------
# Hand-built cuts behave like the built ones
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("built, by_hand", [
    (morvane.seconds(60), {"type": "seconds", "start": 60}),
    (morvane.seconds(60), {"type": "seconds", "start": 60.0, "end": None}),
    (morvane.seconds(60), {"start": np.int32(60), "type": StrSub("seconds"), "note": 1}),
    (morvane.seconds(60), collections.OrderedDict(type="seconds", start=Fraction(60))),
    (morvane.seconds(1.5, 2.25), {"type": "seconds", "end": 2.25, "start": 1.5, "x": None}),
    (morvane.seconds(end=3), {"type": "seconds", "end": 3}),
    (morvane.blocks(2, 5), {"type": "blocks", "start": 2, "end": 5, "unused": "key"}),
    (morvane.blocks(end=1), {"type": "blocks", "end": IndexLike(1)}),
    (morvane.blocks(57), {"type": "blocks", "start": np.int64(57)}),
])
def test_hand_built_cut_matches_built_cut(rec, built, by_hand):
    a = morvane.read_cwa_file(rec, cut=built)
    b = morvane.read_cwa_file(rec, cut=by_hand)
    assert len(a) > 0
    same_frame(a, b)


def test_seconds_sixty_starts_sixty_seconds_in(rec):
    whole = morvane.read_cwa_file(rec)
    cut = morvane.read_cwa_file(rec, cut={"type": "seconds", "start": 60})
    first = whole.index.asi8[0]
    # the window opens 60 s after the first sample, inclusive
    expected = whole.index.asi8[whole.index.asi8 >= first + 60 * 10 ** 6]
    np.testing.assert_array_equal(cut.index.asi8, expected)


def test_empty_cuts_select_everything(rec, tmp_path):
    whole = morvane.read_cwa_file(rec)
    same_frame(morvane.read_cwa_file(rec, cut=morvane.blocks()), whole)
    same_frame(morvane.read_cwa_file(rec, cut=morvane.seconds()), whole)
    same_frame(morvane.read_cwa_file(rec, cut={"type": "blocks", "extra": 1}), whole)


def test_cut_dict_is_not_modified(rec):
    cut = {"type": "seconds", "start": 1, "end": 2}
    morvane.read_cwa_file(rec, cut=cut)
    assert cut == {"type": "seconds", "start": 1, "end": 2}
    assert type(cut["start"]) is int


def test_value_that_edits_the_cut_during_conversion(rec):
    # a start whose conversion empties the dict must not leave a dangling end value
    cut = {"type": "seconds"}

    class Clears:
        def __float__(self):
            cut.clear()
            return 1.0

    cut["start"] = Clears()
    cut["end"] = float(2 ** 40) + 0.5  # a float object only the dict holds
    df = morvane.read_cwa_file(rec, cut=cut)
    np.testing.assert_array_equal(
        df.index.asi8, morvane.read_cwa_file(rec, cut=morvane.seconds(1.0, 2 ** 40 + 0.5)).index.asi8)
