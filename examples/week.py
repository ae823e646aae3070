"""A generated week worn across the spring clock change, summarised in local time with sleep.

Usage: python examples/week.py [folder]

Writes week.cwa (a week of a wrist-worn 3-axis sensor at 25 Hz from Monday 25 March 2024: asleep
23:00-07:00, 1 hour of moderate activity every morning, 30 minutes of vigorous activity on
weekdays, 2 hours of light activity every afternoon, the device off the wrist on Wednesday
afternoon; its clock set in winter, so on GMT), its overview picture week_overview.png, and
prints the day table, the nights and the person summary. Needs the recording generator of the
source tree (tests/cwagen.py, tests/scenario.py) and the "tools" extra for the picture.
"""

import datetime as dt
import os
import sys
import time
from zoneinfo import ZoneInfo

import numpy as np

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, os.pardir, "tests"))
import scenario  # noqa: E402

import morvane_tools as mt  # noqa: E402

folder = sys.argv[1] if len(sys.argv) > 1 else "."
path = os.path.join(folder, "week.cwa")
start = dt.datetime(2024, 3, 25, 10, 0)      # Monday, device clock on GMT
london = ZoneInfo("Europe/London")


def at(day: dt.date, hour: float) -> float:
    """Seconds from the start to a local wall-clock time in London."""
    local = dt.datetime.combine(day, dt.time()) + dt.timedelta(hours=hour)
    return scenario.device_seconds(local.replace(tzinfo=london), start, dt.timedelta(0))


segments = []
for k in range(-1, 9):
    day = start.date() + dt.timedelta(days=k)
    bed, rise = at(day, -1), at(day, 7)
    plan = [(bed, rise, "sleep", 0), (rise, at(day, 9), "sedentary", 0),
            (at(day, 9), at(day, 10), "active", 150)]
    if day.weekday() < 5:
        plan += [(at(day, 10), at(day, 12), "sedentary", 0),
                 (at(day, 12), at(day, 12.5), "active", 600),
                 (at(day, 12.5), at(day, 14), "sedentary", 0)]
    else:
        plan += [(at(day, 10), at(day, 14), "sedentary", 0)]
    if day.weekday() == 2:
        plan += [(at(day, 14), at(day, 17), "nonwear", 0), (at(day, 17), at(day, 23), "sedentary", 0)]
    else:
        plan += [(at(day, 14), at(day, 16), "active", 60), (at(day, 16), at(day, 23), "sedentary", 0)]
    for a, b, kind, level in plan:
        a, b = max(a, 0.0), min(b, 8 * 86400.0)
        if b > a:
            turns = tuple(np.arange(1200.0, b - a, 2400.0)) if kind == "sleep" else ()
            segments.append(scenario.Segment(a, b, kind, level_mg=level, turns=turns,
                                             anglez_deg=30.0 if kind == "sleep" else -20.0))

t0 = time.perf_counter()
scenario.write_scenario(path, segments, start=start, duration_s=8 * 86400, rate_code=0x48,
                        metadata={"device_id": 4242, "session_id": 7})
print(f"{path}: {os.path.getsize(path) / 1e6:.0f} MB in {time.perf_counter() - t0:.1f} s")

t0 = time.perf_counter()
days, info = mt.summarize(path, timezone="Europe/London", sleep=True)
print(f"summarize: {time.perf_counter() - t0:.1f} s; clock changes: "
      f"{info['quality']['dst_changes']}")
print(days[["date", "weekday", "hours", "valid_hours", "valid", "enmo_mg", "light_min",
            "moderate_min", "vigorous_min", "mvpa_bout10_min", "m10_start"]]
      .round({"valid_hours": 1, "enmo_mg": 1}).to_string(index=False))
nights = info["nights"]
print(nights[["night", "sleep_onset", "wake", "spt_hours", "sleep_hours", "awakenings",
              "valid_night", "guider"]].round({"spt_hours": 2, "sleep_hours": 2})
      .to_string(index=False))
person = info["person"]
print({k: (round(v, 2) if isinstance(v, float) else v) for k, v in person.items()
       if k in ("days", "valid_days", "good_wear_time", "enmo_mg_all_days", "mvpa_min_weekday",
                "mvpa_min_weekend", "mvpa_min_weighted", "ig_gradient_all_days",
                "valid_nights", "spt_hours_all_nights", "sleep_onset_hour_all_nights")})

fig = mt.plot_overview(path, timezone="Europe/London", nights=nights)
fig.savefig(os.path.join(folder, "week_overview.png"), dpi=90)
