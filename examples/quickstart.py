"""First look at a CWA recording: what a researcher checks before any analysis.

Usage: python examples/quickstart.py [recording.cwa]
"""

import os
import sys

import morvane

here = os.path.dirname(os.path.abspath(__file__))
path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "sample_ax6.cwa")

meta = morvane.read_metadata(path)
print(f"{os.path.basename(path)}: {meta['hardware_type']} device {meta['device_id']}, "
      f"session {meta['session_id']}, nominal {meta['sample_rate_hz']:g} Hz, "
      f"±{meta['accel_range']} g, gyroscope ±{meta['gyro_range']} dps")

frame = morvane.read_cwa_file(path)
span = frame.index[-1] - frame.index[0]
print(f"\n{len(frame):,} samples from {frame.index[0]} to {frame.index[-1]} ({span})")

report = morvane.sampling_consistency_report(path)
print(f"effective rate {report['samplingrate_hz_from_data']:.4f} Hz "
      f"(nominal {report['samplingrate_hz_from_header']:g} Hz)")
print(f"columns: {', '.join(frame.columns)} ({frame.dtypes.iloc[0]})")
print("\nfirst rows:")
print(frame.head().to_string())

first_minute = morvane.read_cwa_file(path, cut=morvane.seconds(0, 60))
print("\nfirst minute, per-axis mean and standard deviation:")
print(first_minute[["acc_x", "acc_y", "acc_z"]].agg(["mean", "std"]).to_string())
