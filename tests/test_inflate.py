"""Gzip input read by every inflater and thread count gives what zlib gives, byte for byte.

The core's byte sources are plain C++: tests/inflate_check.cpp is compiled here against them,
once with ISA-L (where its header is installed) and once without, as a build with ISA-L absent
or forced off by MORVANE_INFLATER=zlib has it. The ground truth is an independent reading of
each file: the system's zlib driven from Python through ctypes, one member after another, which
tells exactly how many bytes inflate before damage and zlib's words for it; Python's own gzip
module must agree with it wherever it can tell.
"""

import ctypes
import ctypes.util
import gzip
import os
import random
import shutil
import struct
import subprocess
import zlib
from concurrent.futures import ThreadPoolExecutor

import pytest

import cwagen

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SRC = os.path.join(ROOT, "src")
CXX = os.environ.get("CXX") or shutil.which("g++") or shutil.which("clang++")
HAVE_ISAL = os.path.exists("/usr/include/isa-l/igzip_lib.h")
DAMAGED = "Compressed data is damaged after {} bytes: {}"


def _compile(objdir, source, defines=()):
    obj = os.path.join(objdir, os.path.relpath(source, ROOT).replace(os.sep, "_") + ".o")
    subprocess.run([CXX, "-std=c++20", "-O1", "-ffp-contract=off", "-Wall", "-Wextra", "-Werror",
                    "-I", SRC, *defines, "-c", source, "-o", obj], check=True)
    return obj


@pytest.fixture(scope="module")
def checkers(tmp_path_factory):
    """{"isal": exe or None, "zlib": exe}: the check program with and without ISA-L."""
    if not CXX:
        pytest.skip("no C++ compiler to build the inflate check")
    objdir = str(tmp_path_factory.mktemp("inflate"))
    shared = [os.path.join(ROOT, "tests", "inflate_check.cpp")]
    for folder in ("packet", "header", "package"):
        for name in sorted(os.listdir(os.path.join(SRC, folder))):
            if name.endswith(".cpp") and name not in ("gzip.cpp", "isal.cpp"):
                shared.append(os.path.join(SRC, folder, name))
    inflate = [os.path.join(SRC, "packet", n) for n in ("gzip.cpp", "isal.cpp")]
    with ThreadPoolExecutor(os.cpu_count() or 2) as pool:
        objs = list(pool.map(lambda s: _compile(objdir, s), shared))
        plain = list(pool.map(lambda s: _compile(os.path.join(objdir), s), inflate))
    exes = {"isal": None}

    def link(name, extra_objs, libs):
        exe = os.path.join(objdir, name)
        subprocess.run([CXX, *objs, *extra_objs, "-o", exe, "-lz", *libs, "-pthread"], check=True)
        return exe

    exes["zlib"] = link("check_zlib", plain, [])
    if HAVE_ISAL:
        isal_dir = os.path.join(objdir, "isal")
        os.makedirs(isal_dir)
        with_isal = [_compile(isal_dir, s, ["-DMORVANE_HAVE_ISAL=1"]) for s in inflate]
        exes["isal"] = link("check_isal", with_isal, ["-lisal"])
    return exes


# -- the independent reading ------------------------------------------------------------------

class _ZStream(ctypes.Structure):
    _fields_ = [("next_in", ctypes.c_void_p), ("avail_in", ctypes.c_uint),
                ("total_in", ctypes.c_ulong), ("next_out", ctypes.c_void_p),
                ("avail_out", ctypes.c_uint), ("total_out", ctypes.c_ulong),
                ("msg", ctypes.c_char_p), ("state", ctypes.c_void_p),
                ("zalloc", ctypes.c_void_p), ("zfree", ctypes.c_void_p),
                ("opaque", ctypes.c_void_p), ("data_type", ctypes.c_int),
                ("adler", ctypes.c_ulong), ("reserved", ctypes.c_ulong)]


_LIBZ = ctypes.CDLL(ctypes.util.find_library("z"))
_LIBZ.zlibVersion.restype = ctypes.c_char_p


def _inflate_member(data):
    """(output, input used, None | zlib's message | "ends early") for the member at data[0]."""
    zs = _ZStream()
    if _LIBZ.inflateInit2_(ctypes.byref(zs), 31, _LIBZ.zlibVersion(), ctypes.sizeof(zs)) != 0:
        raise MemoryError
    try:
        inbuf = ctypes.create_string_buffer(data, len(data))
        out = ctypes.create_string_buffer(max(1 << 16, 4 * len(data)))
        zs.next_in, zs.avail_in = ctypes.addressof(inbuf), len(data)
        produced = bytearray()
        while True:
            zs.next_out, zs.avail_out = ctypes.addressof(out), len(out)
            rc = _LIBZ.inflate(ctypes.byref(zs), 0)
            produced += out.raw[:len(out) - zs.avail_out]
            if rc == 1:
                return bytes(produced), zs.total_in, None
            if rc not in (0, -5):
                return bytes(produced), zs.total_in, zs.msg.decode()
            if zs.avail_out != 0:  # all input taken and the member goes on
                return bytes(produced), zs.total_in, "the compressed stream ends early"
    finally:
        _LIBZ.inflateEnd(ctypes.byref(zs))


def reference(blob):
    """(bytes before the end or the damage, None or the damage text) by the reading rule: members
    one after another; after a member, the end, or a member's first byte 0x1F, else damage."""
    out, pos = bytearray(), 0
    while True:
        data, used, msg = _inflate_member(blob[pos:])
        out += data
        if msg is not None:
            return bytes(out), DAMAGED.format(len(out), msg)
        pos += used
        if pos == len(blob):
            return bytes(out), None
        if blob[pos] != 0x1F:
            return bytes(out), DAMAGED.format(len(out), "bytes after the end of the compressed stream")


def combos(checkers):
    """(exe, inflater argument, threads, name the source must report)."""
    out = []
    for threads in (1, 2):
        out.append((checkers["zlib"], "zlib", threads, "zlib"))
        out.append((checkers["zlib"], "auto", threads, "zlib"))  # ISA-L absent or forced off
        if checkers["isal"]:
            out.append((checkers["isal"], "zlib", threads, "zlib"))
            out.append((checkers["isal"], "auto", threads, "isa-l"))
    return out


def read_segments(exe, path, inflater, threads, segments, step=4096):
    out = path + f".{inflater}{threads}.out"
    r = subprocess.run([exe, "read", path, inflater, str(threads), out, str(step), *segments],
                       capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stdout + r.stderr
    lines = r.stdout.splitlines()
    with open(out, "rb") as f:
        data = f.read()
    os.unlink(out)
    return lines[0].split()[1], lines[1:], data


def expected_segments(full, damage, segments):
    """What the segment reads must give, from the reference: bytes and one status each."""
    lines, data = [], b""
    for seg in segments:
        offset, count = seg.split(":")
        start = min(int(offset), len(full))
        end = len(full) if count == "all" else min(start + int(count), len(full))
        data += full[start:end]
        if count != "all" and end - start == int(count):
            status = "more"
        else:
            status = f"damaged {damage}" if damage else "end"
        lines.append(f"seg {end - start} {status}")
    return lines, data


# -- the inputs -------------------------------------------------------------------------------

def _payloads():
    cwa = cwagen.recording_bytes(n_blocks=700, seed=3)
    rng = random.Random(11)
    text = bytes(rng.getrandbits(8) if rng.random() < 0.2 else 97 + i % 13 for i in range(150_000))
    return {"cwa": cwa, "text": text}


PAYLOADS = _payloads()


def _member(data, level=6, flags=0, extra=b""):
    body = zlib.compressobj(level, zlib.DEFLATED, -15)
    raw = body.compress(data) + body.flush()
    header = b"\x1f\x8b\x08" + bytes([flags]) + b"\0\0\0\0\0\x03" + extra
    return header + raw + struct.pack("<II", zlib.crc32(data), len(data) & 0xFFFFFFFF)


def _flip(blob, seed, count):
    rng = random.Random(seed)
    b = bytearray(blob)
    for _ in range(count):
        # Mostly near the start, where block headers and short distances are.
        at = rng.randrange(10, min(len(b) - 8, 3000) if rng.random() < 0.6 else len(b) - 8)
        b[at] ^= 1 << rng.randrange(8)
    return bytes(b)


def _cases():
    cases = {}
    for name, data in PAYLOADS.items():
        clean = _member(data)
        crc_at = len(clean) - 8
        cases[f"{name}-clean"] = clean
        cases[f"{name}-multi"] = (_member(data[:70_001], 1) + _member(b"") +
                                  _member(data[70_001:], 9) + gzip.compress(data[:999]))
        for cut in (1, 5, 10, 11, 40, 333, 4097, len(clean) // 3, len(clean) // 2 + 7,
                    crc_at - 1, crc_at, crc_at + 4, len(clean) - 1):
            cases[f"{name}-cut{cut}"] = clean[:cut]
        cases[f"{name}-badcrc"] = clean[:crc_at] + bytes([clean[crc_at] ^ 0x40]) + clean[crc_at + 1:]
        cases[f"{name}-badisize"] = clean[:-1] + bytes([clean[-1] ^ 1])
        cases[f"{name}-garbage"] = clean + b"not gzip"
        cases[f"{name}-zeros"] = clean + b"\0" * 700
        cases[f"{name}-lone1f"] = clean + b"\x1f"
        cases[f"{name}-1f00"] = clean + b"\x1f\x00junk"
        cases[f"{name}-1f8bjunk"] = clean + b"\x1f\x8b\x08\x00\0\0\0\0\0\x03\xff\xff\xff\xff"
        cases[f"{name}-reserved"] = _member(data, flags=0x20)
        named = _member(data, flags=0x08 | 0x04, extra=b"\x04\x00abcdname\0")
        cases[f"{name}-named"] = named
        head = b"\x1f\x8b\x08\x02\0\0\0\0\0\x03"
        body = _member(data)[10:]
        cases[f"{name}-hcrc"] = head + struct.pack("<H", zlib.crc32(head) & 0xFFFF) + body
        cases[f"{name}-badhcrc"] = head + b"\0\0" + body
        for seed in range(8):
            cases[f"{name}-flip{seed}"] = _flip(clean, seed, 1 + seed % 3)
        cases[f"{name}-flipmulti"] = _member(data[:5000]) + _flip(_member(data[5000:]), 99, 1)
    cases["empty"] = b""
    cases["magic"] = b"\x1f\x8b"
    cases["notgzip"] = b"MD" + b"\0" * 600
    return cases


CASES = _cases()
SEGMENTS = {
    "whole": ["0:all"],
    # Forward, back to the start (a restart), a short read and stop.
    "seeks": ["70000:5000", "1000:300", "0:10", "200000:all"],
    "early": ["3:2000"],
}


@pytest.mark.parametrize("segments", list(SEGMENTS), ids=list(SEGMENTS))
@pytest.mark.parametrize("case", list(CASES), ids=list(CASES))
def test_every_inflater_reads_like_zlib(checkers, tmp_path, case, segments):
    blob = CASES[case]
    path = str(tmp_path / "in.gz")
    with open(path, "wb") as f:
        f.write(blob)
    full, damage = reference(blob)
    want_lines, want_data = expected_segments(full, damage, SEGMENTS[segments])
    for exe, inflater, threads, name in combos(checkers):
        got_name, lines, data = read_segments(exe, path, inflater, threads, SEGMENTS[segments],
                                              step=1 + len(blob) % 9000)
        where = f"{inflater} inflater, {threads} thread(s), {os.path.basename(exe)}"
        assert got_name == name, where
        assert lines == want_lines, where
        assert data == want_data, where


# Where Python's gzip module is more lenient than zlib: what zlib says instead.
GZIP_MODULE_LENIENT = {
    "reserved": "unknown header flags set",  # it ignores reserved flag bits
    "badhcrc": "header crc mismatch",         # it skips the header check value unread
    "zeros": "bytes after the end of the compressed stream",  # it drops trailing zeros
}


@pytest.mark.parametrize("case", [c for c in CASES if "flip" not in c and c != "notgzip"])
def test_reference_agrees_with_python_gzip(case):
    """The ctypes reading against Python's gzip module, where that one can tell."""
    blob = CASES[case]
    full, damage = reference(blob)
    lenient = GZIP_MODULE_LENIENT.get(case.rsplit("-", 1)[-1])
    try:
        whole = gzip.decompress(blob)
    except EOFError:
        assert damage and damage.endswith("the compressed stream ends early")
        assert full.startswith(zlib.decompressobj(31).decompress(blob))
        return
    except (gzip.BadGzipFile, zlib.error) as e:
        assert damage and not lenient, e
        return
    if not blob:
        assert whole == b"" and damage == DAMAGED.format(0, "the compressed stream ends early")
    elif lenient:
        assert damage.endswith(lenient) and whole.startswith(full)
    else:
        assert damage is None and full == whole


def _script_expectation(steps):
    """Events a caller sees: byte counts merged between errors, then the end twice."""
    events, pending = [], 0
    for s in steps:
        if s == ".":
            break
        if s.startswith("d"):
            pending += int(s[1:])
            continue
        if pending:
            events.append(f"bytes {pending}")
            pending = 0
        events.append("io 5" if s == "e" else "nomem")
    if pending:
        events.append(f"bytes {pending}")
    return events + ["end", "end"]


@pytest.mark.parametrize("script", [
    "d5 e d3 .",
    "e e f d1 .",
    "d3000000 f d7 e .",
    "d1048576 e d1048576 d1 .",
    "d9 f",
    ".",
])
@pytest.mark.parametrize("threads", [1, 2])
def test_read_ahead_passes_failures_on_in_order(checkers, script, threads):
    """A failure inside the read-ahead thread reaches the caller after exactly the bytes read
    before it, and the next read goes on as a direct read would."""
    r = subprocess.run([checkers["zlib"], "script", str(threads), *script.split()],
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr
    events = []
    for line in r.stdout.splitlines():
        if line.startswith("bytes") and events and events[-1].startswith("bytes"):
            events[-1] = f"bytes {int(events[-1].split()[1]) + int(line.split()[1])}"
        else:
            events.append(line)
    assert events == _script_expectation(script.split())


def _cwa_read(exe, path, inflater, threads, start):
    r = subprocess.run([exe, "cwa", path, inflater, str(threads), str(start)],
                       capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stdout + r.stderr
    return r.stdout.splitlines()


@pytest.mark.parametrize("start", [0, 37])
@pytest.mark.parametrize("shape", ["one", "members", "cut"])
def test_recording_reads_alike_with_every_inflater(checkers, tmp_path, shape, start):
    """Whole reads of a gzip recording through the pipeline: every inflater and thread count
    gives the samples of the plain file (of its inflated part, when cut short) and reports the
    inflater it used."""
    plain = cwagen.recording_bytes(n_blocks=900, seed=5, erased=[40, 41], empty=[300])
    if shape == "one":
        blob, inflated = gzip.compress(plain), plain
    elif shape == "members":
        blob, inflated = gzip.compress(plain[:123_457]) + gzip.compress(plain[123_457:]), plain
    else:
        packed = gzip.compress(plain)
        blob = packed[:len(packed) * 2 // 3]
        inflated, _ = reference(blob)
    gz, ref = str(tmp_path / "rec.cwa.gz"), str(tmp_path / "rec.cwa")
    with open(gz, "wb") as f:
        f.write(blob)
    with open(ref, "wb") as f:
        f.write(inflated[:len(inflated) - (len(inflated) - 1024) % 512])
    want = _cwa_read(checkers["zlib"], ref, "zlib", 1, start)
    assert want[0].startswith("rows ") and int(want[0].split()[1]) > 0
    truncated = reference(blob)[1] or "-"
    for exe, inflater, threads, name in combos(checkers):
        got = _cwa_read(exe, gz, inflater, threads, start)
        assert got[0] == want[0], (inflater, threads)
        assert got[1].startswith(f"compressed 1 inflater {name} truncated {truncated} "), got[1]
