"""The header-only views of a recording: quality report, block table and metadata, checked
against the reader's own functions and against what the generator put into the file."""

import datetime as dt
import gzip
import json

import numpy as np
import pandas as pd
import pytest

import cwagen
import morvane
import morvane_tools

MIDNIGHT = dt.datetime(2023, 6, 15, 23, 58, 0)

# name -> generator arguments; every file has valid checksums
CLEAN = {
    "plain": dict(fmt=0x30, n_blocks=50),
    "gaps": dict(fmt=0x30, n_blocks=80, gaps=[(20, 4.0), (50, 1.5), (60, -7.0)], erased=[3, 4],
                 empty=[30]),
    "jitter_mixed": dict(formats=[0x30] * 10 + [0x62] * 10 + [0x92] * 10, jitter=0.003),
    "midnight": dict(fmt=0x62, n_blocks=400, start=MIDNIGHT),
    "low_rate": dict(fmt=0x32, rate_code=0x46, n_blocks=20, gaps=[(10, 3600.0)]),
}


@pytest.fixture(scope="module")
def recordings(tmp_path_factory):
    root = tmp_path_factory.mktemp("quality")
    out = {}
    for name, kwargs in CLEAN.items():
        path = root / f"{name}.cwa"
        info = cwagen.write_recording(path, checksums=True, seed=7, **kwargs)
        out[name] = (path, info)
    return out


@pytest.mark.parametrize("name", sorted(CLEAN))
def test_report_agrees_with_the_reader(recordings, name):
    path, info = recordings[name]
    q = morvane_tools.quality_report(path)
    json.dumps(q)
    consistency = morvane.sampling_consistency_report(str(path))
    assert q["first_sample"] == consistency["start_from_data_raw"]
    assert q["last_sample"] == consistency["end_from_data_raw"]
    assert q["effective_rate_hz"] == consistency["samplingrate_hz_from_data"]
    assert q["nominal_rate_hz"] == consistency["samplingrate_hz_from_header"]
    frame = morvane.read_cwa_file(str(path))
    assert q["samples"] == len(frame)
    assert q["blocks"] == info.n_blocks
    assert q["erased_blocks"] == len(info.erased) and q["empty_blocks"] == len(info.empty)
    assert q["data_blocks"] == info.n_blocks - len(info.erased) - len(info.empty)
    assert q["bad_blocks"] == q["checksum_failures"] == 0 and q["bad_block_reasons"] == {}
    assert q["temperature_range"] == [frame.temperature.min(), frame.temperature.max()]
    assert q["battery_first"] == frame.battery.iloc[0] and q["battery_last"] == frame.battery.iloc[-1]
    assert q["format_changes"] == int((np.diff(info.formats[info.counts > 0]) != 0).sum())
    assert q["axes"] == sorted({int(f) >> 4 for f in info.formats})
    assert q["compressed"] is False and q["truncated"] is None and q["trailing_bytes"] == 0


def test_gaps_and_backward_jumps(recordings):
    q = morvane_tools.quality_report(recordings["gaps"][0])
    # the clock jumps forward by 4 s and 1.5 s, and back by 7 s
    assert q["gaps"] == 2
    assert q["gap_seconds"] == pytest.approx(5.5, abs=1e-6)
    assert q["longest_gap_seconds"] == pytest.approx(4.0, abs=1e-6)
    assert q["backward_jumps"] == 1
    # the erased blocks hold their sequence numbers' place in the file: a break, nothing missing
    assert q["sequence_breaks"] == 2 and q["missing_blocks"] == 0
    assert q["rate_changes"] == 0


def test_days_are_split_at_midnight(recordings):
    path, info = recordings["midnight"]
    q = morvane_tools.quality_report(path)
    table = morvane_tools.block_table(path)
    start = table.start.astype("int64").to_numpy() / 1e6
    end = table.end.astype("int64").to_numpy() / 1e6
    midnight = (dt.datetime(2023, 6, 16) - dt.datetime(1970, 1, 1)).total_seconds()
    before = np.clip(end, None, midnight) - np.clip(start, None, midnight)
    after = np.clip(end, midnight, None) - np.clip(start, midnight, None)
    assert [d["date"] for d in q["days"]] == ["2023-06-15", "2023-06-16"]
    assert q["days"][0]["hours"] == pytest.approx(before.sum() / 3600, rel=1e-9)
    assert q["days"][1]["hours"] == pytest.approx(after.sum() / 3600, rel=1e-9)
    assert q["days"][0]["hours"] == pytest.approx(120 / 3600, rel=1e-6)


def test_missing_blocks_from_the_sequence(tmp_path):
    buf, _ = cwagen.build_recording(fmt=0x30, n_blocks=40, checksums=True)
    data = buf.tobytes()
    cut_out = data[:1024 + 512 * 10] + data[1024 + 512 * 15:]
    path = tmp_path / "missing.cwa"
    path.write_bytes(cut_out)
    q = morvane_tools.quality_report(path)
    assert q["sequence_breaks"] == 1 and q["missing_blocks"] == 5
    assert q["blocks"] == 35


def test_session_ids_and_rate_changes(tmp_path):
    blocks = [cwagen.data_block(samples=np.zeros((80, 3), np.int32), format=0x32, session_id=s,
                                sequence_id=i, rate_code=r, timestamp=cwagen.DEFAULT_START +
                                dt.timedelta(seconds=i), checksum=None)
              for i, (s, r) in enumerate([(5, 0x4A), (5, 0x4A), (9, 0x4B), (9, 0x4A)])]
    path = cwagen.blocks_file(tmp_path / "sessions.cwa", blocks)
    q = morvane_tools.quality_report(path)
    assert q["session_ids"] == [5, 9]
    assert q["rate_changes"] == 2


@pytest.fixture(scope="module")
def damaged(tmp_path_factory):
    root = tmp_path_factory.mktemp("damaged-quality")
    buf, info = cwagen.build_recording(fmt=0x62, n_blocks=60, erased=[2], empty=[3], seed=3,
                                       checksums=True)
    spoiled = {5: "checksum", 6: "checksum", 9: "timestamp", 20: "format", 30: "capacity",
               59: "old_format"}
    for k, kind in spoiled.items():
        cwagen.spoil_block(buf, k, kind)
    plain = root / "damaged.cwa"
    plain.write_bytes(buf.tobytes() + b"\x01" * 77)
    packed = root / "damaged.cwa.gz"
    packed.write_bytes(gzip.compress(plain.read_bytes()))
    return plain, packed, spoiled


@pytest.mark.parametrize("compressed", [False, True], ids=["plain", "gzip"])
def test_bad_blocks_in_the_report(damaged, compressed):
    plain, packed, spoiled = damaged
    path = packed if compressed else plain
    q = morvane_tools.quality_report(path)
    assert q["bad_blocks"] == len(spoiled)
    assert q["bad_block_reasons"] == {"Checksum mismatch": 2, "Invalid block timestamp": 1,
                                      "Unsupported sample format: 5 axes, packing 2": 1,
                                      "Sample count exceeds packet capacity": 1,
                                      "Old CWA format packets are not supported": 1}
    assert q["checksum_failures"] == 2
    assert q["trailing_bytes"] == 77 and q["compressed"] is compressed
    frame, _ = morvane_tools.read_recording(path)
    assert q["samples"] == len(frame)
    relaxed = morvane_tools.quality_report(path, verify_checksums=False)
    assert relaxed["bad_blocks"] == len(spoiled) - 2 and relaxed["checksum_failures"] == 2
    assert relaxed["samples"] == q["samples"] + 2 * 40


@pytest.mark.parametrize("compressed", [False, True], ids=["plain", "gzip"])
def test_block_table(damaged, compressed):
    plain, packed, spoiled = damaged
    table = morvane_tools.block_table(packed if compressed else plain)
    assert len(table) == 60 and (table.block.to_numpy() == np.arange(60)).all()
    assert table.attrs == {"trailing_bytes": 77, "compressed": compressed, "truncated": None}
    status = table.status.astype(str).to_numpy()
    assert status[2] == "erased" and status[3] == "empty"
    assert set(np.flatnonzero(status == "bad")) == set(spoiled)
    for k, kind in spoiled.items():
        assert table.reason[k] == cwagen.BAD_BLOCK_KINDS[kind]
    assert table.reason[status != "bad"].isna().all()
    assert list(np.flatnonzero(~table.checksum_ok)) == [2, 5, 6]  # 0xFF flash has no checksum
    good = np.flatnonzero(status == "data")
    assert table.start[status != "data"].isna().all() and table.temperature[status != "data"].isna().all()
    assert table.start.dtype == "datetime64[us]" and table.temperature.dtype == np.float32
    # each valid block's start and readings are those of its first sample in a tolerant read
    frame, _ = morvane_tools.read_recording(plain)
    first = np.concatenate([[0], np.cumsum(table.samples.to_numpy()[good])[:-1]])
    assert np.array_equal(frame.index.asi8[first], table.start.astype("int64").to_numpy()[good])
    for column in ("temperature", "light", "battery"):
        assert np.array_equal(frame[column].to_numpy()[first], table[column].to_numpy()[good])
    assert (table.samples[good] == 40).all() and (table.rate_hz[good] == 100.0).all()
    assert (table.format[good] == 0x62).all() and (table.session_id[good] == 1).all()


@pytest.mark.parametrize("name", sorted(CLEAN))
def test_metadata_equals_the_readers(recordings, tmp_path, name):
    path, _ = recordings[name]
    theirs = morvane.read_metadata(str(path))
    assert morvane_tools.read_metadata(path) == theirs
    packed = tmp_path / "m.gz"
    packed.write_bytes(gzip.compress(path.read_bytes()))
    assert morvane_tools.read_metadata(packed) == theirs


def test_metadata_leaves_bad_blocks_out(damaged):
    plain, _, _ = damaged
    meta = morvane_tools.read_metadata(plain)
    frame, _ = morvane_tools.read_recording(plain)
    assert pd.Timestamp(meta["end_from_data_raw"]) == frame.index[-1]


def test_empty_and_tiny_recordings(tmp_path):
    only_metadata = cwagen.blocks_file(tmp_path / "meta.cwa", [])
    q = morvane_tools.quality_report(only_metadata)
    assert q["blocks"] == 0 and q["samples"] == 0 and q["first_sample"] is None
    assert q["effective_rate_hz"] is None and q["days"] == [] and q["temperature_range"] is None
    assert len(morvane_tools.block_table(only_metadata)) == 0
    with pytest.raises(RuntimeError, match="Not a valid CWA file"):
        morvane_tools.quality_report(cwagen.blocks_file(tmp_path / "x.cwa", [], metadata=b"AX" * 512))
