"""read_cwa_dask: one partition per recording-day, the frame of read_recording."""

from __future__ import annotations

import datetime as dt

import numpy as np
import pandas as pd
import pytest

import morvane_tools
from cohort_helpers import assert_same, recording

START = dt.datetime(2023, 6, 15, 20, 0, 7)  # blocks straddle midnight
EAST2 = dt.timezone(dt.timedelta(hours=2))


def generated_block_table(info) -> pd.DataFrame:
    """The block table a reader must find in a generated recording, from what the generator
    wrote (block starts and ends on the device clock)."""
    n = info.n_blocks
    status = np.where(info.counts > 0, "data", "empty").astype(object)
    status[info.erased] = "erased"

    def times(seconds):
        out = np.full(n, np.datetime64("NaT"), dtype="datetime64[us]")
        ok = ~np.isnan(seconds)
        out[ok] = np.rint(seconds[ok] * 1e6).astype(np.int64).astype("datetime64[us]")
        return out

    return pd.DataFrame({"block": np.arange(n, dtype=np.int64), "status": status,
                         "start": times(info.block_starts), "end": times(info.block_ends())})


@pytest.fixture
def known_blocks():
    """Checks that the survey read_cwa_dask plans its days from holds the block times the
    generator wrote (the partitions then follow from construction)."""
    from morvane_tools.survey import survey

    def add(path, info):
        want = generated_block_table(info)
        data = want[want["status"] == "data"]
        s = survey(path)
        np.testing.assert_array_equal(s.spans["block"], data["block"].to_numpy())
        got = np.rint(s.spans["raw_start"] * 1e6).astype(np.int64)
        np.testing.assert_array_equal(got, data["start"].to_numpy().astype(np.int64))
    return add


def days_of(index: pd.DatetimeIndex, tz=None) -> list:
    local = index if tz is None else index.tz_convert(tz).tz_localize(None)
    return list(local.floor("D").unique().sort_values())


@pytest.mark.parametrize("options", [
    {},
    {"fixed_utc_offset_timezone": EAST2},
    {"include_light": False, "include_battery": False},
])
def test_days_of_one_recording(tmp_path, known_blocks, options):
    path = tmp_path / "r.cwa"
    # 6.25 Hz from 20:00 for 50 h, with a clock gap of a whole day inside: 4 days
    info = recording(path, minutes=60 * 50, rate_code=0x46, start=START,
                     gaps=[(3000, 86400.0)])
    known_blocks(path, info)
    ddf = morvane_tools.read_cwa_dask(path, **options)
    whole, _ = morvane_tools.read_recording(path, **options)
    tz = options.get("fixed_utc_offset_timezone")
    days = days_of(whole.index, tz)
    assert len(days) == 4 and ddf.npartitions == len(days)
    assert ddf.known_divisions
    got = ddf.compute(scheduler="sync")
    assert got["recording"].dtype == "category"
    assert list(got["recording"].cat.categories) == [str(path)]
    assert_same(got.drop(columns="recording"), whole)
    assert list(ddf.dtypes.drop("recording")) == list(whole.dtypes)
    assert ddf.index.dtype == whole.index.dtype
    # each partition is one device-clock day, and the divisions say where
    for i, day in enumerate(days):
        part = ddf.get_partition(i).compute(scheduler="sync")
        assert days_of(part.index, tz) == [day]
        assert ddf.divisions[i] <= part.index[0] and part.index[-1] <= ddf.divisions[i + 1]
    lo, hi = whole.index[len(whole) // 3], whole.index[len(whole) // 3 + 5000]
    assert_same(ddf.loc[lo:hi].compute(scheduler="sync").drop(
        columns="recording"), whole.loc[lo:hi])


@pytest.mark.filterwarnings("ignore:Port .* is already in use")
def test_several_recordings_on_a_cluster(tmp_path, known_blocks):
    import distributed

    a, b = tmp_path / "a.cwa", tmp_path / "b.cwa"
    known_blocks(a, recording(a, minutes=60 * 6, rate_code=0x46, start=START))
    known_blocks(b, recording(b, minutes=30, fmt=0x62, start=START, seed=3))
    ddf = morvane_tools.read_cwa_dask([a, b])
    assert ddf.npartitions == 3 and not ddf.known_divisions
    fa, _ = morvane_tools.read_recording(a)
    fb, _ = morvane_tools.read_recording(b)
    assert list(ddf.columns) == list(fb.columns) + ["recording"]  # gyroscope from b
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None) as cl, \
            distributed.Client(cl, set_as_default=False) as client:
        got = client.compute(ddf).result()
    assert got["recording"].value_counts().to_dict() == {str(a): len(fa), str(b): len(fb)}
    ga = got[got["recording"] == str(a)].drop(columns="recording")
    assert_same(ga[list(fa.columns)], fa)
    assert ga[["gyro_x", "gyro_y", "gyro_z"]].isna().all().all()
    assert (ga[["gyro_x", "gyro_y", "gyro_z"]].dtypes == np.float32).all()
    gb = got[got["recording"] == str(b)].drop(columns="recording")
    assert_same(gb, fb)


@pytest.mark.parametrize("options, exc", [
    ({"cut": None}, TypeError),
    ({"resample": 30}, TypeError),
    ({"fixed_utc_offset_timezone": "+02:00"}, TypeError),
])
def test_bad_options(tmp_path, options, exc):
    recording(tmp_path / "r.cwa", minutes=1)
    with pytest.raises(exc):
        morvane_tools.read_cwa_dask(tmp_path / "r.cwa", **options)


def test_with_the_real_block_table(tmp_path):
    path = tmp_path / "r.cwa.gz"
    plain = tmp_path / "p.cwa"
    recording(plain, minutes=60 * 30, rate_code=0x46, start=START, erased=[10, 11])
    import gzip

    path.write_bytes(gzip.compress(plain.read_bytes()))
    ddf = morvane_tools.read_cwa_dask(path)
    whole, _ = morvane_tools.read_recording(path)
    # 30 hours from 20:00 touch three device-clock days
    assert ddf.npartitions == 3 and ddf.known_divisions
    assert_same(ddf.compute(scheduler="sync").drop(columns="recording"),
                                  whole)
