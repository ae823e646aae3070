"""Block sample times, spread two at a time where the clock allows, against the plain formula.

The spreading code is plain C++ with no Python in it, so it is compiled here on its own with the
project's floating-point flags.
"""

import os
import shutil
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CXX = os.environ.get("CXX") or shutil.which("g++") or shutil.which("clang++")


def test_paired_sample_times_match_plain_formula(tmp_path):
    if not CXX:
        pytest.skip("no C++ compiler to build the timing check")
    exe = str(tmp_path / "timing_check")
    src = os.path.join(ROOT, "src", "packet")
    subprocess.run(
        [CXX, "-std=c++20", "-O2", "-ffp-contract=off", "-I", os.path.join(ROOT, "src"),
         os.path.join(ROOT, "tests", "timing_check.cpp"), os.path.join(src, "timing.cpp"),
         os.path.join(src, "datetime.cpp"), os.path.join(src, "error.cpp"), "-o", exe],
        check=True,
    )
    result = subprocess.run([exe, "200000"], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout
    assert result.stdout.startswith("ok ")
    # Every draw checks between 1 and 120 samples.
    assert int(result.stdout.split()[1]) >= 200000
