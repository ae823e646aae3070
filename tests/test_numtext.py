"""The CSV number texts against the C library's fixed-point conversion, byte for byte.

The formatter is plain C++ with no Python in it, so it is compiled here on its own with the
project's floating-point flags and driven with values chosen to hit its hard cases.
"""

import os
import shutil
import struct
import subprocess

import numpy as np
import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CXX = os.environ.get("CXX") or shutil.which("g++") or shutil.which("clang++")


@pytest.fixture(scope="module")
def checker(tmp_path_factory):
    if not CXX:
        pytest.skip("no C++ compiler to build the formatter check")
    exe = str(tmp_path_factory.mktemp("numtext") / "numtext_check")
    subprocess.run(
        [CXX, "-std=c++20", "-O2", "-ffp-contract=off", "-I", os.path.join(ROOT, "src"),
         os.path.join(ROOT, "tests", "numtext_check.cpp"),
         os.path.join(ROOT, "src", "package", "numtext.cpp"), "-o", exe],
        check=True,
    )
    return exe


def run(checker, values, draws=0, lines=""):
    lines += "".join(f"{struct.unpack('<Q', struct.pack('<d', v))[0]:x} {d}\n" for v, d in values)
    result = subprocess.run([checker, str(draws)], input=lines, capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0, result.stdout
    assert result.stdout.startswith("ok ")


def float32_values():
    """Channel values: every float32 exponent, subnormals, and exact halfway cases."""
    rng = np.random.default_rng(7)
    bits = rng.integers(0, 2**32, size=60_000, dtype=np.uint64).astype(np.uint32)
    values = bits.view(np.float32)
    values = values[np.isfinite(values)].astype(np.float64).tolist()
    # k / 2^n with n up to 24 holds ties at the sixth decimal (for example 1/128 = 0.0078125).
    k = rng.integers(-(2**24), 2**24, size=10_000)
    for n in (7, 8, 9, 10, 20, 21, 24):
        values += (k / 2.0**n).astype(np.float32).astype(np.float64).tolist()
    values += [0.0, -0.0, 5e-7, -5e-7, 0.0000005, 1.5e-45, -1.5e-45, 3.4028234663852886e38,
               0.9999995, 0.99999949, 2.5e-6, 1e-6 / 2, 123456.5, 999999.9999995]
    return values


def test_channel_texts_match_libc(checker):
    values = np.array(float32_values(), dtype=np.float32)
    lines = "".join(f"x {b:x}\n" for b in values.view(np.uint32).tolist())
    run(checker, [], lines=lines)


def test_time_texts_match_libc(checker):
    rng = np.random.default_rng(11)
    us = rng.integers(-(2**62), 2**62, size=30_000, dtype=np.int64)
    times = (us / 1e6).tolist()
    # Present-day device times, whole seconds, and ties at the fourth decimal (x.xxxx5 exactly).
    base = rng.integers(946684800_000000, 2840140800_000000, size=30_000, dtype=np.int64)
    times += (base / 1e6).tolist() + [float(s) for s in range(0, 10**6, 9973)]
    times += [k / 32 for k in range(-4096, 4096)] + [0.00005, -0.00005, 1.00005, -0.0]
    # The CSV writer's own path starts from microseconds: every remainder around the ties at
    # 50 microseconds, near zero, at present-day times and beyond the fast range.
    micros = [b + r for b in (0, -1000000, 1686832496000000, -1686832496000000, 2**52, 2**32 * 10**6)
              for r in range(-160, 160)]
    micros += us.tolist()[:5000] + base.tolist()[:5000]
    run(checker, [(t, 4) for t in times], lines="".join(f"u {u}\n" for u in micros))


@pytest.mark.parametrize("decimals", [1, 4, 6, 9])
def test_huge_and_tiny_doubles_fall_back_exactly(checker, decimals):
    values = [1e300, -1e300, 2.0**64, 2.0**63 * 1.5, 1.7976931348623157e308, 5e-324, 1e-310,
              12345678901234567890.0, 0.5, 1.5, 2.5, -0.5]
    run(checker, [(v, decimals) for v in values])


def test_random_bit_patterns_match_libc(checker):
    # The checker draws random float32 bit patterns (channels) and microsecond times itself.
    run(checker, [], draws=300_000)
