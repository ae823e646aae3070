"""Overview picture of a recording: one row per day, activity, non-wear, gaps, temperature.

Usage: python examples/overview.py [recording.cwa] [overview.png]

Without arguments the bundled sample is drawn into sample_ax6_overview.png in the current
directory.
"""

import os
import sys
import time

import morvane_tools

here = os.path.dirname(os.path.abspath(__file__))
path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "sample_ax6.cwa")
out = sys.argv[2] if len(sys.argv) > 2 else \
    os.path.basename(path).split(".")[0] + "_overview.png"

t0 = time.perf_counter()
fig = morvane_tools.plot_overview(path)
fig.savefig(out, dpi=100)
print(f"{out}: {time.perf_counter() - t0:.2f} s")
