"""The CSV writer's batch channel texts and row-order time texts against the C library.

channel_words (four values per step with SSE2, one at a time otherwise) and TimeTexts (which
keeps the text of the current second) are compiled here with the project's floating-point
flags, once as built for this machine and once without SSE2 where the compiler allows it, and
compared byte for byte with "%.6f" and "%.4f" of the same values.
"""

import os
import shutil
import struct
import subprocess

import numpy as np
import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CXX = os.environ.get("CXX") or shutil.which("g++") or shutil.which("clang++")
SOURCES = [os.path.join(ROOT, "tests", "numtext_words_check.cpp"),
           os.path.join(ROOT, "src", "package", "numtext.cpp")]


@pytest.fixture(scope="module", params=["sse2", "scalar"])
def checker(request, tmp_path_factory):
    if not CXX:
        pytest.skip("no C++ compiler to build the formatter check")
    # -frounding-math: the check changes the rounding mode at run time.
    flags = ["-std=c++20", "-O2", "-ffp-contract=off", "-frounding-math", "-Wall", "-Wextra",
             "-Werror"]
    if request.param == "scalar":
        # The same source without the SSE2 paths: x86-64 keeps SSE2 for its doubles, so the
        # macro is taken away instead.
        flags.append("-U__SSE2__")
    exe = str(tmp_path_factory.mktemp("words") / f"check_{request.param}")
    subprocess.run([CXX, *flags, "-I", os.path.join(ROOT, "src"), *SOURCES, "-o", exe],
                   check=True)
    return exe


def run(checker, *args, lines=()):
    result = subprocess.run([checker, *args], input="".join(f"{x}\n" for x in lines),
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.startswith("ok ")
    assert int(result.stdout.split()[1]) > 0


def bits(value):
    return struct.unpack("<I", struct.pack("<f", value))[0]


# first, last, stride over float32 bit patterns
RANGES = {
    "every_exponent": (0, 0xFFFFFFFF, 997),
    "subnormals_and_tiny": (0, 0x36000000, 3001),
    "around_ten": (bits(9.99990), bits(10.0001), 1),
    "around_minus_ten": (bits(-9.99990), bits(-10.0001), 1),
    "around_one": (bits(0.99995), bits(1.00005), 1),
    "around_half_a_millionth": (bits(4.99e-7), bits(5.01e-7), 1),
    "up_to_two_to_the_23": (bits(8e6), bits(2.0**23) + 16, 7),
    "infinities_and_nan": (0x7F7FFFF0, 0x7F800010, 1),
}


@pytest.mark.parametrize("name", RANGES)
def test_channel_ranges(checker, name):
    first, last, stride = RANGES[name]
    run(checker, "range", f"{first:x}", f"{last:x}", f"{stride:x}")


@pytest.mark.parametrize("mode", ["values", "rounding"])
def test_channel_ties_and_sensor_values(checker, mode):
    rng = np.random.default_rng(3)
    # k / 2^n with n up to 24 holds exact ties at the sixth decimal (1/128 = 0.0078125),
    # and raw counts over the accelerometer's power-of-two divisors are what the CSV meets.
    k = rng.integers(-(2**24), 2**24, size=20_000)
    values = np.concatenate([(k / 2.0**n) for n in (7, 8, 9, 10, 12, 15, 20, 21, 24)]
                            + [np.arange(-32768, 32768) / 2.0**s for s in (8, 11, 13, 15)])
    values = np.concatenate([values, [0.0, -0.0, 9.9999995, -9.9999995, 9.999999, 10.0,
                                      0.0000005, -0.0000005, 1.5e-45, -1.5e-45]])
    patterns = values.astype(np.float32).view(np.uint32).tolist()
    if mode == "values":
        patterns += [0x7FC00000, 0xFFC00000, 0x7F800001, 0xFF800000, 0x7F800000]
    else:
        # Under the other rounding modes the writers must still print round-to-nearest
        # texts; beyond 2^23 the C library does the rounding, in the mode it is given.
        patterns = [b for b in patterns if (b >> 23) & 0xFF < 150]
    run(checker, mode, lines=[f"{b:x}" for b in patterns])


def hundred_hz(start_us, n, rng, jitter=2):
    steps = 10_000 + rng.integers(-jitter, jitter + 1, size=n)
    return (start_us + np.concatenate([[0], np.cumsum(steps[1:])])).tolist()


def test_time_sequences(checker):
    rng = np.random.default_rng(5)
    seqs = [
        # Present-day rows at 100 Hz with clock jitter, across many seconds.
        hundred_hz(1686830400_000000, 30_000, rng),
        # Every remainder around the ties at 50 us and at the end of a second, where rounding
        # carries into the next second (999950 and up).
        [s * 10**6 + r for s in (1686830400, 1686830401) for r in
         list(range(-160, 160)) + list(range(999_800, 1_000_100))],
        # The same second written again after others, and times going back.
        [1686830400_123456, 1686830401_000049, 1686830400_999951, 1686830400_000050,
         1686830399_999950, 1686830400_123456],
        # Around 10^9 s (ten whole digits from here) and 2^32 s (the fast range's end).
        list(range(10**15 - 3000, 10**15 + 3000, 7)),
        list(range(2**32 * 10**6 - 2_000_100, 2**32 * 10**6 + 2_000_100, 1999))
        + list(range(2**32 * 10**6 - 200, 2**32 * 10**6 + 200)),
        # Before 1970, zero, and far from any device time.
        [-10**15 - 50, -1686830400_000050, -150, -50, -49, 0, 49, 50, 51, 150,
         -(2**62), 2**62, 2**63 - 1, -(2**63)],
        rng.integers(-(2**62), 2**62, size=5000).tolist(),
        rng.integers(946684800_000000, 4102444800_000000, size=20_000).tolist(),
    ]
    lines = []
    for seq in seqs:
        lines += [str(int(us)) for us in seq] + [""]
    run(checker, "times", lines=lines)
