"""The generator is the yardstick for every reader test, so its byte layout
is checked here against literal offsets and hand-worked values rather than
against its own tables."""

import datetime as dt
import struct

import numpy as np
import pytest

import cwagen

START = dt.datetime(2023, 6, 15, 12, 0, 0)
START_EPOCH = 1686830400  # START counted as UTC
# format byte -> (axes, bytes per sample, capacity), written out independently
LAYOUT = {0x30: (3, 4, 120), 0x32: (3, 6, 80), 0x62: (6, 12, 40), 0x92: (9, 18, 26)}


def header(block):
    """Parse a data block header with literal offsets."""
    (pkt_len, frac, session, seq, ts, light, temp, events, battery, rate,
     fmt, offset, count) = struct.unpack_from("<HHIIIHHBBBBhH", block, 2)
    return dict(tag=block[:2], packet_length=pkt_len, device_fractional=frac,
                session_id=session, sequence_id=seq, timestamp=ts, light=light,
                temperature=temp, events=events, battery=battery,
                rate_code=rate, format=fmt, timestamp_offset=offset,
                sample_count=count,
                checksum=struct.unpack_from("<H", block, 510)[0])


def decode_raw(block):
    """Integer samples of a block as a reader sees them before scaling."""
    h = header(block)
    axes, size, _ = LAYOUT[h["format"]]
    n = h["sample_count"]
    if h["format"] == 0x30:
        out = []
        for (w,) in struct.iter_unpack("<I", block[30:30 + 4 * n]):
            e = w >> 30
            f = [(w >> s) & 0x3FF for s in (0, 10, 20)]
            out.append([(v - 1024 if v >= 512 else v) << e for v in f])
        return np.array(out, dtype=np.int64).reshape(n, 3)
    vals = struct.unpack_from(f"<{n * axes}h", block, 30)
    return np.array(vals, dtype=np.int64).reshape(n, axes)


def blocks_of(data):
    data = bytes(data)
    assert (len(data) - 1024) % 512 == 0
    return [data[i:i + 512] for i in range(1024, len(data), 512)]


def packed_seconds(v):
    y, mo, d, h, mi, s = cwagen.unpack_datetime(v)
    return int((dt.datetime(y, mo, d, h, mi, s) - dt.datetime(1970, 1, 1)).total_seconds())


# ---------------------------------------------------------------------------
# packed date-time


@pytest.mark.parametrize("fields, word", [
    ((2023, 6, 15, 12, 34, 56), 0x5D9EC8B8),
    ((2000, 1, 1, 0, 0, 0), 0x00420000),
    ((2024, 2, 29, 0, 0, 0), (24 << 26) | (2 << 22) | (29 << 17)),
    ((2023, 13, 1, 0, 0, 0), (23 << 26) | (13 << 22) | (1 << 17)),  # impossible month
    ((2023, 2, 30, 23, 59, 60), 0x5CBD7EFC),                        # impossible day, second
    ((2063, 15, 31, 31, 63, 63), 0xFFFFFFFF),                       # every field at its width
])
def test_pack_datetime_worked_values(fields, word):
    assert cwagen.pack_datetime(*fields) == word
    assert cwagen.unpack_datetime(word) == fields


def test_pack_datetime_from_drops_fraction():
    assert cwagen.pack_datetime_from(dt.datetime(2023, 6, 15, 12, 34, 56, 999999)) == 0x5D9EC8B8


@pytest.mark.parametrize("fields", [
    (1999, 1, 1, 0, 0, 0), (2064, 1, 1, 0, 0, 0), (2023, 16, 1, 0, 0, 0),
    (2023, 1, 32, 0, 0, 0), (2023, 1, 1, 32, 0, 0), (2023, 1, 1, 0, 64, 0),
    (2023, 1, 1, 0, 0, 64),
])
def test_pack_datetime_rejects_values_wider_than_their_field(fields):
    with pytest.raises(ValueError):
        cwagen.pack_datetime(*fields)


# ---------------------------------------------------------------------------
# metadata block


@pytest.mark.parametrize("name, value, offset, code", [
    ("packet_length", 0xBEEF, 2, "<H"),
    ("hardware_type", 0x17, 4, "<B"),
    ("device_id", 0x1234, 5, "<H"),
    ("session_id", 0xDEADBEEF, 7, "<I"),
    ("upper_device_id", 0xFFFF, 11, "<H"),
    ("logging_start", 0x5D9EC8B8, 13, "<I"),
    ("logging_end", 0xFFFFFFFF, 17, "<I"),
    ("flash_led", 3, 26, "<B"),
    ("sensor_config", 0x12, 35, "<B"),
    ("rate_code", 0xCF, 36, "<B"),
    ("last_change", 0x12345678, 37, "<I"),
    ("firmware_revision", 0xA5, 41, "<B"),
])
def test_metadata_field_offsets(name, value, offset, code):
    block = cwagen.metadata_block(**{name: value})
    assert len(block) == 1024
    assert struct.unpack_from(code, block, offset)[0] == value
    # no neighbouring uninterpreted byte was touched
    gaps = block[21:26] + block[27:35] + block[42:64] + block[512:]
    assert gaps == bytes(len(gaps))


def test_metadata_defaults_and_dates_from_datetime():
    block = cwagen.metadata_block(logging_start=dt.datetime(2023, 6, 15, 12, 34, 56))
    assert block[:2] == b"MD"
    assert struct.unpack_from("<HB", block, 2) == (1020, 0x64)
    assert block[36] == 0x4A
    assert block[13:17] == bytes([0xB8, 0xC8, 0x9E, 0x5D])


@pytest.mark.parametrize("annotation, pad, expected", [
    ("abc", 0x20, b"abc" + b" " * 445),
    (b"a\x00b", 0x00, b"a\x00b" + bytes(445)),
    ("\u00e9", 0xFF, b"\xc3\xa9" + b"\xff" * 446),
    (b"", 0x20, b" " * 448),
])
def test_metadata_annotation_area(annotation, pad, expected):
    block = cwagen.metadata_block(annotation=annotation, pad=pad)
    assert block[64:512] == expected


def test_metadata_raw_header_and_limits():
    assert cwagen.metadata_block(header=b"\x4d\x80")[:2] == b"\x4d\x80"
    with pytest.raises(ValueError):
        cwagen.metadata_block(annotation="x" * 449)
    with pytest.raises(TypeError):
        cwagen.metadata_block(no_such_field=1)


# ---------------------------------------------------------------------------
# data block


def test_data_block_header_fields():
    block = cwagen.data_block(
        packet_length=0x1FC, device_fractional=0xABCD, session_id=0x01020304,
        sequence_id=0xA0B0C0D0, timestamp=dt.datetime(2023, 6, 15, 12, 34, 56),
        light=0xE3FF, temperature=0xFC00, events=0x81, battery=180,
        rate_code=0x0A, format=0x32, timestamp_offset=-7, checksum=0x55AA,
        samples=np.zeros((80, 3), dtype=int))
    assert len(block) == 512
    assert block[14:18] == bytes([0xB8, 0xC8, 0x9E, 0x5D])
    assert block[26:28] == b"\xf9\xff"
    assert header(block) == dict(
        tag=b"AX", packet_length=0x1FC, device_fractional=0xABCD,
        session_id=0x01020304, sequence_id=0xA0B0C0D0, timestamp=0x5D9EC8B8,
        light=0xE3FF, temperature=0xFC00, events=0x81, battery=180,
        rate_code=0x0A, format=0x32, timestamp_offset=-7, sample_count=80,
        checksum=0x55AA)


@pytest.mark.parametrize("parts, word", [
    (dict(light_raw=1023, gyro_range_code=7, accel_scale_code=7), 0xFFFF),
    (dict(light_raw=341), 341),
    (dict(gyro_range_code=2, accel_scale_code=4), 0x8800),
    (dict(accel_scale_code=1), 0x2000),
])
def test_light_word_bits(parts, word):
    block = cwagen.data_block(**parts)
    assert struct.unpack_from("<H", block, 18)[0] == word
    assert cwagen.light_word(parts.get("light_raw", 0), parts.get("gyro_range_code", 0),
                             parts.get("accel_scale_code", 0)) == word


@pytest.mark.parametrize("x, y, z, e, word", [
    (511, 0, 0, 0, 0x000001FF),
    (-512, 0, 0, 0, 0x00000200),
    (1, 0, 0, 3, 0xC0000001),
    (0, 0, -1, 0, 0x3FF00000),
    (0, -1, 0, 0, 0x000FFC00),
    (-1, -1, -1, 3, 0xFFFFFFFF),
])
def test_packed_sample_encoding(x, y, z, e, word):
    assert cwagen.pack_packed_sample(x, y, z, e) == word
    assert cwagen.unpack_packed_sample(word) == (x, y, z, e)
    block = cwagen.data_block(samples=[[x, y, z, e]])
    assert block[30:34] == struct.pack("<I", word) and header(block)["sample_count"] == 1


@pytest.mark.parametrize("counts, exponent, decoded", [
    ((511, -512, 0), 0, (511, -512, 0)),
    ((512, 0, 0), 1, (512, 0, 0)),
    ((2000, -3, 5), 2, (2000, -4, 4)),      # low bits floor away
    ((-4096, 1, 0), 3, (-4096, 0, 0)),
    ((5000, 0, 0), 3, (4088, 0, 0)),        # beyond exponent 3: clipped
])
def test_encode_packed_picks_smallest_exponent(counts, exponent, decoded):
    words, out = cwagen.encode_packed(np.array([counts]))
    assert int(words[0]) >> 30 == exponent
    assert tuple(out[0]) == decoded
    assert tuple(decode_raw(cwagen.data_block(samples=words))[0]) == decoded


@pytest.mark.parametrize("fmt", [0x32, 0x62, 0x92])
def test_int16_sample_layout(fmt):
    axes = LAYOUT[fmt][0]
    samples = np.arange(2 * axes).reshape(2, axes) * 1000 - 9000
    samples[0, 0], samples[1, -1] = -32768, 32767
    block = cwagen.data_block(format=fmt, samples=samples)
    assert block[30:30 + 4 * axes] == struct.pack(f"<{2 * axes}h", *samples.ravel())
    assert header(block)["sample_count"] == 2
    with pytest.raises(ValueError):
        cwagen.data_block(format=fmt, samples=samples + 40000)


def test_data_block_raw_overrides():
    raw = bytes(range(256)) + bytes(range(224))
    block = cwagen.data_block(header=b"\xff\xff", sample_bytes=raw, sample_count=121,
                              rate_code=0, format=0x60)
    h = header(block)
    assert (h["tag"], h["sample_count"], h["rate_code"], h["format"]) == (b"\xff\xff", 121, 0, 0x60)
    assert block[30:510] == raw
    assert header(cwagen.data_block())["sample_count"] == 0
    with pytest.raises(ValueError):
        cwagen.data_block(samples=np.zeros(121, dtype=np.uint32))


def test_computed_checksum_zeroes_word_sum():
    block = cwagen.data_block(samples=np.arange(120, dtype=np.uint32) * 0x01010101,
                              checksum=None)
    assert sum(struct.unpack("<256H", block)) % 65536 == 0
    assert header(block)["checksum"] != 0


def test_filler_blocks_and_blocks_file(tmp_path):
    assert cwagen.erased_block() == b"\xff" * 512
    assert cwagen.zero_block() == bytes(512)
    path = tmp_path / "f.cwa"
    blocks = [cwagen.data_block(sequence_id=i) for i in range(3)] + [b"\x00" * 100]
    cwagen.blocks_file(path, blocks, metadata={"device_id": 7})
    data = path.read_bytes()
    assert len(data) == 1024 + 3 * 512 + 100
    assert data[:1024] == cwagen.metadata_block(device_id=7)
    assert [header(b)["sequence_id"] for b in blocks_of(data[:-100])] == [0, 1, 2]


# ---------------------------------------------------------------------------
# whole recordings


@pytest.mark.parametrize("fmt", sorted(LAYOUT))
def test_recording_geometry_and_header_defaults(fmt):
    data = cwagen.recording_bytes(fmt=fmt, n_blocks=7, seed=1)
    assert len(data) == 1024 + 512 * 7
    assert data[:2] == b"MD" and data[36] == 0x4A
    axes, _, cap = LAYOUT[fmt]
    accel_code, gyro_code = (4, 2) if axes > 3 else (0, 0)
    for i, block in enumerate(blocks_of(data)):
        h = header(block)
        assert (h["tag"], h["format"], h["sample_count"], h["sequence_id"]) == (b"AX", fmt, cap, i)
        assert (h["light"] >> 13, (h["light"] >> 10) & 7) == (accel_code, gyro_code)
        assert block[30 + cap * LAYOUT[fmt][1]:510] == bytes(480 - cap * LAYOUT[fmt][1])


@pytest.mark.parametrize("fmt, per_g", [(0x30, 256), (0x32, 256), (0x62, 4096), (0x92, 4096)])
def test_realistic_motion_is_about_one_g(fmt, per_g):
    info = cwagen.build_recording(fmt=fmt, duration_s=120, keep_raw=True)[1]
    raw = np.concatenate(info.raw)
    acc = raw[:, 3:6] if fmt in (0x62, 0x92) else raw
    g = np.linalg.norm(acc, axis=1) / per_g
    assert 0.9 < np.median(g) < 1.1
    assert acc.std(axis=0).min() > 0       # not a constant signal


def test_raw_samples_match_bytes_for_mixed_formats():
    fmts = [0x30, 0x32, 0x62, 0x92, 0x30, 0x92]
    data, info = cwagen.build_recording(formats=fmts, samples_per_block=[120, 5, 40, 26, 1, 3],
                                        keep_raw=True)
    for block, fmt, raw in zip(blocks_of(data), fmts, info.raw):
        assert header(block)["format"] == fmt
        np.testing.assert_array_equal(decode_raw(block), raw)
    assert list(info.counts) == [120, 5, 40, 26, 1, 3]


@pytest.mark.parametrize("rate_code", [0x40, 0x47, 0x49, 0x4A, 0x4F, 0x0A])
def test_block_timing_decodes_to_continuous_starts(rate_code):
    data, info = cwagen.build_recording(rate_code=rate_code, n_blocks=30, motion="zeros",
                                        samples_per_block=np.arange(30) % 7 + 100)
    rate = 3200 / 2 ** (15 - (rate_code & 15))
    expected = START_EPOCH + np.concatenate([[0], np.cumsum(info.counts)[:-1]]) / rate
    starts = [packed_seconds(h["timestamp"]) - h["timestamp_offset"] / rate
              for h in map(header, blocks_of(data))]
    np.testing.assert_allclose(starts, expected, rtol=0, atol=1e-6)
    np.testing.assert_allclose(info.block_starts, expected, rtol=0, atol=1e-6)
    assert all(header(b)["rate_code"] == rate_code for b in blocks_of(data))


def test_timestamp_is_the_second_begun_within_the_block():
    data = cwagen.recording_bytes(n_blocks=20, motion="zeros")
    offsets = [header(b)["timestamp_offset"] for b in blocks_of(data)]
    assert offsets[:6] == [0, 80, 60, 40, 20, 0]


def test_erased_empty_and_gaps():
    data, info = cwagen.build_recording(n_blocks=10, erased=[2, 9], empty=[5], gaps=[(7, 3600), (8, -7200)],
                                        motion="ramp", keep_raw=True)
    blocks = blocks_of(data)
    assert blocks[2] == blocks[9] == b"\xff" * 512
    assert header(blocks[5])["tag"] == b"AX" and header(blocks[5])["sample_count"] == 0
    assert cwagen.unpack_datetime(header(blocks[5])["timestamp"])[0] == 2023
    # samples continue across skipped blocks: the ramp never restarts
    x = np.concatenate([decode_raw(b)[:, 0] for i, b in enumerate(blocks) if i not in (2, 5, 9)])
    np.testing.assert_array_equal(x, (np.arange(7 * 120) % 1024) - 512)
    starts = info.block_starts
    assert np.isnan(starts[[2, 5, 9]]).all()
    steps = np.diff(starts[[0, 1, 3, 4, 6, 7, 8]])
    np.testing.assert_allclose(steps, [1.2, 1.2, 1.2, 1.2, 3601.2, -7198.8], atol=1e-6)


def test_callable_motion_sees_device_clock_seconds():
    def motion(t):
        return np.stack([np.rint(t * 100)] * 3, axis=1).astype(int)

    data, info = cwagen.build_recording(fmt=0x32, n_blocks=3, gaps=[(2, 10)], motion=motion)
    firsts = [int(decode_raw(b)[0, 0]) for b in blocks_of(data)]
    assert firsts == [0, 80, 1160]


def test_two_argument_motion_gets_each_blocks_format():
    def motion(t, fmt):
        return np.full((t.size, LAYOUT[fmt][0]), fmt)

    data = cwagen.recording_bytes(formats=[0x32, 0x92, 0x62], motion=motion)
    for block, fmt in zip(blocks_of(data), [0x32, 0x92, 0x62]):
        assert (decode_raw(block) == fmt).all()


def test_jitter_drifts_block_starts():
    info = cwagen.build_recording(n_blocks=1000, jitter=1e-3, motion="zeros")[1]
    nominal = START_EPOCH + np.arange(1000) * 1.2
    drift = info.block_starts - nominal
    assert abs(drift[-1] - 999 * 1.2e-3) <= 0.01      # within one sample period
    assert (np.diff(info.block_starts) > 1.18).all()


def test_checksums_and_metadata_passthrough(tmp_path):
    info = cwagen.write_recording(tmp_path / "r.cwa", n_blocks=4, erased=[3], checksums=True,
                                  metadata={"annotation": "abc", "device_id": 42})
    data = (tmp_path / "r.cwa").read_bytes()
    assert info.size == len(data) == 1024 + 4 * 512 and info.path.endswith("r.cwa")
    assert data[64:67] == b"abc" and struct.unpack_from("<H", data, 5)[0] == 42
    for block in blocks_of(data)[:3]:
        assert sum(struct.unpack("<256H", block)) % 65536 == 0


def test_duration_sets_block_count():
    info = cwagen.build_recording(fmt=0x62, duration_s=10.01, motion="zeros")[1]
    assert info.n_blocks == 26        # ceil(1001 samples / 40)


def test_determinism_by_seed():
    a = cwagen.recording_bytes(fmt=0x92, n_blocks=20, seed=3)
    assert a == cwagen.recording_bytes(fmt=0x92, n_blocks=20, seed=3)
    assert a != cwagen.recording_bytes(fmt=0x92, n_blocks=20, seed=4)
