"""Tolerant reading: a read of a damaged or compressed recording equals the reader's own read of
a clean copy (decompressed, trailing partial block cut off, bad blocks overwritten with zeros),
bit for bit, across cuts, resampling, offsets and channel choices."""

import datetime as dt
import gc
import gzip
import os
import zlib

import numpy as np
import pandas as pd
import pytest

import cwagen
import morvane
import morvane_tools
from morvane_tools import BadBlockError, read_recording
from test_reliability import rss_bytes

UTC_PLUS_2 = dt.timezone(dt.timedelta(hours=2))

# name -> generator arguments and the blocks to spoil (block, kind)
RECORDINGS = {
    "ax3": (dict(fmt=0x30, n_blocks=60, gaps=[(20, 5.0), (40, -3.0)], erased=[5], empty=[33],
                 seed=1),
            [(0, "checksum"), (6, "timestamp"), (19, "capacity"), (21, "old_format"),
             (22, "format"), (45, "checksum"), (59, "timestamp")]),
    "mixed": (dict(formats=[0x30] * 20 + [0x62] * 20 + [0x92] * 20, seed=2, jitter=0.002),
              [(19, "checksum"), (20, "checksum"), (21, "format"), (39, "timestamp"),
               (40, "capacity")]),
    "ax6_low_rate": (dict(fmt=0x62, rate_code=0x47, n_blocks=40, gaps=[(10, 30.0)], seed=3),
                     [(9, "old_format"), (10, "checksum"), (30, "checksum"), (31, "checksum")]),
}

NO_AUX = dict(include_temperature=False, include_light=False, include_battery=False)

# Options for both readers; the cuts land next to bad blocks, gaps and format changes.
OPTIONS = [
    {},
    dict(NO_AUX),
    dict(include_magnetometer=False),
    dict(cut=morvane.blocks(7, 30)),
    dict(cut=morvane.blocks(22)),
    dict(cut=morvane.blocks(None, 41)),
    dict(cut=morvane.blocks(20, 21)),
    dict(cut=morvane.seconds(3.0, 30.0)),
    dict(cut=morvane.seconds(25.0)),
    dict(cut=morvane.seconds(None, 12.5)),
    dict(resample_hz=30),
    dict(resample_hz=100, cut=morvane.seconds(10.0, 40.0)),
    dict(resample_hz=7.5, cut=morvane.blocks(18, 44), **NO_AUX),
    dict(fixed_utc_offset_timezone=UTC_PLUS_2),
    dict(fixed_utc_offset_timezone=UTC_PLUS_2, resample_hz=50, cut=morvane.blocks(3)),
]


@pytest.fixture(scope="module")
def damaged(tmp_path_factory):
    """name -> (damaged plain path, gzip path, clean copy path, bad blocks)"""
    root = tmp_path_factory.mktemp("damaged")
    made = {}
    for name, (kwargs, bad) in RECORDINGS.items():
        buf, _ = cwagen.build_recording(checksums=True, **kwargs)
        for k, kind in bad:
            cwagen.spoil_block(buf, k, kind)
        data = buf.tobytes() + b"\x07" * 123  # a partial block at the end
        plain = root / f"{name}.cwa"
        plain.write_bytes(data)
        packed = root / f"{name}.cwa.gz"
        packed.write_bytes(gzip.compress(data, compresslevel=6))
        clean = root / f"{name}.clean.cwa"
        clean.write_bytes(cwagen.zero_blocks(data, [k for k, _ in bad]))
        made[name] = (plain, packed, clean, sorted(bad))
    return made


def assert_same_frame(ours, theirs):
    assert list(ours.columns) == list(theirs.columns)
    assert ours.index.dtype == theirs.index.dtype and ours.index.name == theirs.index.name
    assert np.array_equal(ours.index.asi8, theirs.index.asi8)
    for c in theirs.columns:
        assert ours[c].dtype == np.float32
        assert np.array_equal(ours[c].to_numpy().view(np.uint32),
                              theirs[c].to_numpy().view(np.uint32)), c


def reference(clean, options):
    try:
        return morvane.read_cwa_file(str(clean), **options), None
    except (RuntimeError, ValueError) as e:
        return None, e


@pytest.mark.parametrize("name", sorted(RECORDINGS))
@pytest.mark.parametrize("compressed", [False, True], ids=["plain", "gzip"])
@pytest.mark.parametrize("options", OPTIONS, ids=lambda o: ",".join(f"{k}" for k in o) or "none")
def test_tolerant_read_equals_clean_copy(damaged, name, compressed, options):
    plain, packed, clean, _ = damaged[name]
    _check_gzip_read(damaged, name, compressed, options, clean, packed, plain)


@pytest.mark.parametrize("name", sorted(RECORDINGS))
@pytest.mark.parametrize("options", OPTIONS[::3], ids=lambda o: ",".join(o) or "none")
def test_gzip_read_with_zlib_on_one_thread_is_the_same(monkeypatch, damaged, name, options):
    import morvane_tools.options
    import morvane_tools.threads

    monkeypatch.setattr(morvane_tools.options, "INFLATER", "zlib")
    monkeypatch.setattr(morvane_tools.threads, "cores", lambda: 1)
    plain, packed, clean, _ = damaged[name]
    _check_gzip_read(damaged, name, True, options, clean, packed, plain)


def _check_gzip_read(damaged, name, compressed, options, clean, packed, plain):
    theirs, error = reference(clean, options)
    path = packed if compressed else plain
    if error is not None:
        with pytest.raises(type(error)) as raised:
            read_recording(path, **options)
        assert str(raised.value).startswith(str(error))
        return
    ours, report = read_recording(path, **options)
    assert_same_frame(ours, theirs)
    assert report["compressed"] is compressed
    assert report["truncated"] is None


@pytest.mark.parametrize("compressed", [False, True], ids=["plain", "gzip"])
@pytest.mark.parametrize("name", sorted(RECORDINGS))
def test_report_lists_the_skipped_blocks(damaged, name, compressed):
    plain, packed, _, bad = damaged[name]
    _, report = read_recording(packed if compressed else plain)
    expected = [{"block": k, "reason": cwagen.BAD_BLOCK_KINDS[kind]} for k, kind in bad]
    assert report["skipped_blocks"] == expected
    assert report["trailing_bytes"] == 123
    _, cut = read_recording(plain, cut=morvane.blocks(19, 23))
    assert [s["block"] for s in cut["skipped_blocks"]] == [k for k, _ in bad if 19 <= k < 23]


@pytest.mark.parametrize("compressed", [False, True], ids=["plain", "gzip"])
@pytest.mark.parametrize("cut, first_bad", [
    (None, 0),
    (morvane.blocks(8, 30), 19),
    # the walk back for the continuity correction meets a bad block before any valid one
    (morvane.blocks(7, 30), 6),
    (morvane.blocks(23, 30), 22),
    (morvane.blocks(8, 19), None),
])
def test_raise_policy_names_the_first_bad_block(damaged, compressed, cut, first_bad):
    plain, packed, clean, bad = damaged["ax3"]
    path = packed if compressed else plain
    if first_bad is None:
        ours, report = read_recording(path, cut=cut, bad_blocks="raise")
        assert_same_frame(ours, morvane.read_cwa_file(str(clean), cut=cut))
        assert report["skipped_blocks"] == []
        return
    with pytest.raises(BadBlockError) as raised:
        read_recording(path, cut=cut, bad_blocks="raise")
    reason = cwagen.BAD_BLOCK_KINDS[dict(bad)[first_bad]]
    assert isinstance(raised.value, RuntimeError)
    assert raised.value.block == first_bad and raised.value.reason == reason
    assert str(raised.value) == f"{reason} (block {first_bad})"


def test_raise_policy_without_checksums_matches_the_reader(damaged, tmp_path):
    """Without checksum verification the strict policy is the reader's own rule."""
    plain, _, _, _ = damaged["ax3"]
    data = plain.read_bytes()
    whole = tmp_path / "whole.cwa"
    whole.write_bytes(data[:len(data) - 123])
    with pytest.raises(RuntimeError) as theirs:
        morvane.read_cwa_file(str(whole))
    with pytest.raises(BadBlockError) as ours:
        read_recording(plain, bad_blocks="raise", verify_checksums=False)
    assert ours.value.reason == str(theirs.value) == "Invalid block timestamp"
    assert ours.value.block == 6


def test_unverified_checksums_read_like_the_reader(tmp_path):
    path = tmp_path / "nosum.cwa"
    cwagen.write_recording(path, fmt=0x30, n_blocks=30, checksums=False)
    with pytest.raises(RuntimeError, match=r"every data block \(30\) failed its checksum.*"
                                           r"verify_checksums=False"):
        read_recording(path)
    with pytest.raises(RuntimeError, match="verify_checksums=False"):
        read_recording(path, cut=morvane.seconds(1.0))
    ours, report = read_recording(path, verify_checksums=False)
    assert_same_frame(ours, morvane.read_cwa_file(str(path)))
    assert report["skipped_blocks"] == []


# --------------------------------------------------------------------------- compressed input

def decodable_prefix(compressed: bytes) -> bytes:
    """What zlib inflates of a damaged gzip stream before it stops, fed a byte at a time."""
    d = zlib.decompressobj(15 + 16)
    out = bytearray()
    for i in range(len(compressed)):
        try:
            out += d.decompress(compressed[i:i + 1])
        except zlib.error:
            break
        if d.eof:
            break
    return bytes(out)


@pytest.fixture(scope="module")
def recording_gz(tmp_path_factory):
    root = tmp_path_factory.mktemp("gz")
    buf, _ = cwagen.build_recording(fmt=0x62, n_blocks=400, seed=5, checksums=True)
    data = buf.tobytes()
    return root, data, gzip.compress(data, compresslevel=6)


def clean_prefix(root, data: bytes) -> str:
    path = root / "prefix.cwa"
    path.write_bytes(cwagen.zero_blocks(data, []))
    return str(path)


def expected_read(root, path, clean_data: bytes):
    """The reader's read of the clean recording as far as the damaged file's blocks go, with the
    blocks that are no valid data in the damaged file zeroed."""
    table = morvane_tools.block_table(path)
    kept = clean_data[:1024 + 512 * len(table)]
    prefix = root / "expected.cwa"
    prefix.write_bytes(cwagen.zero_blocks(kept, table.block[table.status != "data"]))
    return morvane.read_cwa_file(str(prefix))


@pytest.mark.parametrize("damage", ["cut_short", "flipped_byte", "bad_check_value", "garbage_after"])
def test_damaged_gzip_ends_the_read_there(inflate, recording_gz, damage):
    root, data, packed = recording_gz
    if damage == "cut_short":
        bad = packed[:len(packed) * 3 // 5]
    elif damage == "flipped_byte":
        b = bytearray(packed)
        b[len(b) // 2] ^= 0xFF
        bad = bytes(b)
    elif damage == "bad_check_value":
        b = bytearray(packed)
        b[-8] ^= 0x01  # CRC-32 of the member
        bad = bytes(b)
    else:
        bad = packed + b"not another member"
    path = root / f"{damage}.cwa.gz"
    path.write_bytes(bad)
    ours, report = read_recording(path)
    assert report["compressed"] is True
    assert report["truncated"].startswith("Compressed data is damaged after")
    assert_same_frame(ours, expected_read(root, path, data))
    if damage in ("cut_short", "bad_check_value", "garbage_after"):
        # as far as zlib inflates it, fed a byte at a time
        whole = len(decodable_prefix(bad) if damage == "cut_short" else data) - 1024
        assert len(ours) == whole // 512 * 40
    if damage == "flipped_byte":
        # the wrongly inflated blocks before zlib notices fail their checksum first
        with pytest.raises(BadBlockError, match="Checksum mismatch"):
            read_recording(path, bad_blocks="raise")
        return
    with pytest.raises(RuntimeError, match="Compressed data is damaged after") as raised:
        read_recording(path, bad_blocks="raise")
    assert not isinstance(raised.value, BadBlockError)


def test_flipped_compressed_bits_never_reach_the_result(inflate, recording_gz):
    """Inflated bytes that a bit flip changed fail their block checksum and are left out: the
    read equals the clean recording with exactly those blocks erased."""
    root, data, packed = recording_gz
    reads = 0
    for i, at in enumerate(range(200, len(packed) - 8, len(packed) // 25)):
        b = bytearray(packed)
        b[at] ^= 1 << (i % 8)
        path = root / "flip.cwa.gz"
        path.write_bytes(bytes(b))
        try:
            ours, _ = read_recording(path)
        except RuntimeError as e:
            assert "No valid sample data" in str(e)
            continue
        reads += 1
        assert_same_frame(ours, expected_read(root, path, data))
    assert reads > 10


def test_gzip_members_and_name_do_not_matter(inflate, recording_gz, tmp_path):
    _, data, _ = recording_gz
    half = 1024 + 512 * 150
    path = tmp_path / "members.bin"
    path.write_bytes(gzip.compress(data[:half]) + gzip.compress(data[half:]))
    plain = tmp_path / "plain.gz"  # a gzip name on a plain file
    plain.write_bytes(data)
    ours, report = read_recording(path)
    theirs = morvane.read_cwa_file(str(plain))
    assert_same_frame(ours, theirs)
    assert report["compressed"] and report["trailing_bytes"] == 0
    assert read_recording(plain)[1]["compressed"] is False


def test_gzip_with_a_partial_block(inflate, recording_gz, tmp_path):
    _, data, _ = recording_gz
    path = tmp_path / "partial.cwa.gz"
    path.write_bytes(gzip.compress(data + b"\x00" * 300))
    ours, report = read_recording(path)
    assert report["trailing_bytes"] == 300 and report["truncated"] is None
    assert len(ours) == 400 * 40


def with_stated_length(packed: bytes, length: int) -> bytes:
    """The gzip file with its trailer's length field (the last four bytes) set to ``length``."""
    return packed[:-4] + (length % 2**32).to_bytes(4, "little")


# Blocks of a recording whose size the read can only guess wrong: the first block holds 120
# samples, the rest 40 (plain: sized from the first block), or the data are whole but the gzip
# trailer states three times their length (a whole number of blocks, within what the reader
# believes), or a length it does not believe (not whole blocks, 20 times the compressed file).
MEMORY_CASES = ["plain_fewer_samples", "gzip_length_believed", "gzip_length_doubted"]


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.parametrize("case", MEMORY_CASES)
def test_a_wrong_size_guess_leaves_no_memory_behind(inflate, tmp_path, case):
    """A read takes its columns' memory ahead of its writes, sized from what it expects; what it
    took and did not write must go back before the frame is handed over."""
    n_blocks = 30_000
    counts = np.full(n_blocks, 120) if case != "plain_fewer_samples" else \
        np.r_[120, np.full(n_blocks - 1, 40)]
    buf, _ = cwagen.build_recording(fmt=0x30, n_blocks=n_blocks, samples_per_block=counts,
                                    seed=11, checksums=True)
    data = buf.tobytes()
    del buf
    path = tmp_path / "rec.cwa"
    if case == "plain_fewer_samples":
        path.write_bytes(data)
    else:
        packed = gzip.compress(data, compresslevel=1)
        if case == "gzip_length_believed":
            stated = 3 * len(data)
            assert stated % 512 == 0 and stated <= 16 * len(packed)
        else:
            stated = 20 * len(packed) + 1
        path = tmp_path / "rec.cwa.gz"
        path.write_bytes(with_stated_length(packed, stated))
        del packed
    del data
    gc.collect()
    before = rss_bytes()
    if case == "gzip_length_doubted":
        try:
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")  # the peak (VmHWM) starts again from here
        except OSError as e:
            pytest.skip(f"cannot reset the peak: {e}")
    frame, report = read_recording(path)
    grown = rss_bytes() - before
    assert len(frame) == counts.sum()
    if case != "plain_fewer_samples":
        # every block came out before the trailer told the length was wrong
        assert report["truncated"].startswith("Compressed data is damaged after")
    result = frame.index.asi8.nbytes + sum(frame[c].to_numpy().nbytes for c in frame.columns)
    # what the read would hold with the unwritten room kept: 1.2 to 3 times the result more
    assert grown < result + 16 * 2**20, (grown, result)
    if case == "gzip_length_doubted":
        # A length it doubts is taken in steps of twice what the rows so far prove; taken at
        # once it would hold 20 times the compressed file in blocks, about 9 times the result.
        with open("/proc/self/status") as f:
            peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:")) * 1024
        assert peak - before < 2 * result + 48 * 2**20, (peak - before, result)


@pytest.mark.parametrize("content, message", [
    (b"", "IO error"),
    (gzip.compress(b"AX" + bytes(2000)), "Not a valid CWA file"),
    (gzip.compress(cwagen.metadata_block()[:600]), "File too small to be a valid CWA file"),
    (gzip.compress(cwagen.metadata_block()), "Start block is beyond file size"),
    (b"\x1f\x8b\x08", "Compressed data is damaged"),
])
def test_files_that_hold_no_recording(tmp_path, content, message):
    path = tmp_path / "x.cwa"
    path.write_bytes(content)
    with pytest.raises(RuntimeError, match=message):
        read_recording(path)


# --------------------------------------------------------------------------- chunks

@pytest.mark.parametrize("compressed", [False, True], ids=["plain", "gzip"])
@pytest.mark.parametrize("name, chunk_blocks", [("ax3", 7), ("mixed", 13), ("mixed", 1),
                                                ("ax6_low_rate", 1000)])
def test_chunks_concatenate_to_the_whole_read(inflate, damaged, name, compressed, chunk_blocks):
    plain, packed, _, bad = damaged[name]
    path = packed if compressed else plain
    whole, report = read_recording(path, fixed_utc_offset_timezone=UTC_PLUS_2)
    reader = morvane_tools.iter_chunks(path, chunk_blocks=chunk_blocks,
                                       fixed_utc_offset_timezone=UTC_PLUS_2)
    chunks = list(reader)
    assert all(len(c) > 0 for c in chunks)
    joined = pd.concat(chunks)[whole.columns]
    assert_same_frame(joined, whole)
    assert reader.report == report
    with pytest.raises(RuntimeError, match="once"):
        iter(reader)


def test_chunks_raise_like_the_whole_read(damaged, tmp_path):
    plain, _, _, _ = damaged["ax3"]
    with pytest.raises(BadBlockError, match=r"\(block 0\)"):
        list(morvane_tools.iter_chunks(plain, bad_blocks="raise"))
    path = tmp_path / "nosum.cwa"
    cwagen.write_recording(path, fmt=0x30, n_blocks=5)
    with pytest.raises(RuntimeError, match="verify_checksums=False"):
        list(morvane_tools.iter_chunks(path))


# --------------------------------------------------------------------------- arguments, errors

@pytest.mark.parametrize("kwargs, error", [
    (dict(bad_blocks="ignore"), ValueError),
    (dict(verify_checksums=1), TypeError),
    (dict(include_light="yes"), TypeError),
    (dict(resample_hz="30"), TypeError),
    (dict(resample_hz=-1), ValueError),
    (dict(fixed_utc_offset_timezone="UTC"), TypeError),
    (dict(cut={"type": "hours"}), ValueError),
    (dict(cut=morvane.seconds(5, 10), resample_hz=20000), ValueError),
])
def test_bad_arguments(damaged, kwargs, error):
    with pytest.raises(error):
        read_recording(damaged["ax3"][0], **kwargs)


def test_positional_options_are_refused(damaged):
    with pytest.raises(TypeError):
        read_recording(damaged["ax3"][0], None)  # type: ignore[misc]


@pytest.mark.parametrize("fn", [morvane_tools.read_recording, morvane_tools.block_table,
                                morvane_tools.quality_report, morvane_tools.read_metadata,
                                lambda p: list(morvane_tools.iter_chunks(p))])
def test_io_faults_are_os_errors_with_the_path(tmp_path, fn):
    missing = tmp_path / "missing.cwa"
    with pytest.raises(FileNotFoundError) as raised:
        fn(missing)
    assert raised.value.filename == str(missing)
    with pytest.raises(IsADirectoryError):
        fn(tmp_path)


def test_path_like_and_bytes_paths(damaged):
    plain = damaged["ax3"][0]
    a, _ = read_recording(plain)
    b, _ = read_recording(os.fsencode(plain))
    c, _ = read_recording(str(plain))
    assert_same_frame(a, b)
    assert_same_frame(a, c)
