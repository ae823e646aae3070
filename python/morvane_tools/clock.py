"""The device clock, UTC and the wearer's time zone: which instant a device time is.

A CWA device clock is set once, when the device is configured (usually to the configuring
computer's local time), and then runs without following daylight saving. Three options say how
to turn its times into instants:

- ``timezone``: the wearer's civil time zone (an IANA name or a ``tzinfo``); times are shown in
  it and days are its local calendar days.
- ``device_timezone``: what the device clock shows: ``"UTC"``, a fixed offset (a
  ``datetime.timedelta``, a fixed-offset ``datetime.timezone`` or text such as ``"+01:00"``),
  or an IANA name, meaning the clock was set to that zone's local time and then ran without
  daylight-saving changes: its offset is the one the zone had at the recording's first sample.
  It defaults to ``timezone``. Alone, it gives UTC-aware times and UTC days.
- ``fixed_utc_offset_timezone``: the reader's own option (a fixed offset, UTC-aware times); it
  cannot be combined with the other two.

With none of them every time is the naive device clock. Times inside the package are int64
microseconds: UTC instants when a clock is set, device-clock readings counted as if UTC when not.
"""

from __future__ import annotations

import datetime as _dt
import re
from dataclasses import dataclass
from typing import Any

__all__ = ["Clock", "DeviceClock", "zone", "device_clock", "zone_name", "offset_text"]

_US = 1_000_000
_DAY = _dt.timedelta(days=1)
_OFFSET = re.compile(r"^(?:UTC|GMT)?([+-])(\d{1,2})(?::?(\d{2}))?$")
_EPOCH = _dt.datetime(1970, 1, 1)


def _offset_us(delta: _dt.timedelta, option: str) -> int:
    if not -_DAY < delta < _DAY:
        raise ValueError(f"{option}: an offset lies strictly within a day, not {delta}")
    return (delta.days * 86_400 + delta.seconds) * _US + delta.microseconds


def zone(value: Any, option: str = "timezone") -> _dt.tzinfo:
    """A civil time zone from an IANA name or a ``tzinfo``.

    Raises
    ------
    ValueError
        For a name the zone database does not know (the message names ``option``).
    TypeError
        For anything but text or a ``tzinfo``.
    """
    if isinstance(value, _dt.tzinfo):
        return value
    if not isinstance(value, str):
        raise TypeError(f"{option} must be an IANA time zone name or a tzinfo, "
                        f"not {type(value).__name__}")
    from zoneinfo import ZoneInfo, ZoneInfoNotFoundError

    try:
        if not value or value != value.strip():
            raise ValueError
        return ZoneInfo(value)
    except (ZoneInfoNotFoundError, ValueError, OSError):
        raise ValueError(f"{option}: unknown time zone {value!r}") from None


@dataclass(frozen=True)
class DeviceClock:
    """What the device clock shows: a fixed offset, or a zone whose offset at the first sample
    holds for the whole recording."""

    fixed_us: int | None = None        # microseconds east of UTC
    zone: _dt.tzinfo | None = None     # the zone the clock was set in

    def offset_us(self, first_sample_us: int | None) -> int:
        """Microseconds east of UTC that the clock runs at, given its first sample reading."""
        if self.fixed_us is not None:
            return self.fixed_us
        assert self.zone is not None
        if first_sample_us is None:
            raise ValueError("device_timezone: the recording holds no sample to take the "
                             "zone's offset at")
        when = _EPOCH + _dt.timedelta(microseconds=int(first_sample_us))
        # In a repeated hour the offset before the change, in a skipped one the offset after it:
        # the larger of the two readings either way.
        offsets = [when.replace(tzinfo=self.zone, fold=f).utcoffset() for f in (0, 1)]
        if any(o is None for o in offsets):
            raise ValueError("device_timezone: the zone gives no UTC offset")
        return _offset_us(max(offsets), "device_timezone")  # type: ignore[type-var]


def device_clock(value: Any) -> DeviceClock:
    """Parse ``device_timezone``: "UTC", a fixed offset, or an IANA zone name."""
    if isinstance(value, _dt.timedelta):
        return DeviceClock(fixed_us=_offset_us(value, "device_timezone"))
    if isinstance(value, _dt.timezone):
        return DeviceClock(fixed_us=_offset_us(value.utcoffset(None), "device_timezone"))
    if isinstance(value, str):
        text = value.strip()
        if text.upper() in ("UTC", "Z", "GMT"):
            return DeviceClock(fixed_us=0)
        m = _OFFSET.match(text)
        if m:
            sign, hours, minutes = m.group(1), int(m.group(2)), int(m.group(3) or 0)
            if minutes >= 60:
                raise ValueError(f"device_timezone: bad offset {value!r}")
            delta = _dt.timedelta(hours=hours, minutes=minutes)
            return DeviceClock(fixed_us=_offset_us(-delta if sign == "-" else delta,
                                                   "device_timezone"))
    return DeviceClock(zone=zone(value, "device_timezone"))


@dataclass(frozen=True)
class Clock:
    """How one read turns device times into instants, and the zone it shows them in.

    ``display`` is the zone of every index and time column: the wearer's zone, UTC (a device
    zone or the reader's fixed offset without a wearer's zone), or None (the naive device
    clock). Built once from the options by :meth:`from_options`.
    """

    display: _dt.tzinfo | None = None
    wearer: _dt.tzinfo | None = None
    device: DeviceClock | None = None
    # the reader's own fixed offset: kept apart so that its results stay exactly the reader's
    reader_offset_us: int | None = None

    @classmethod
    def from_options(cls, *, timezone: Any = None, device_timezone: Any = None,
                     fixed_utc_offset_timezone: Any = None) -> Clock:
        if fixed_utc_offset_timezone is not None:
            if timezone is not None or device_timezone is not None:
                raise ValueError("fixed_utc_offset_timezone cannot be combined with timezone "
                                 "or device_timezone")
            if not isinstance(fixed_utc_offset_timezone, _dt.tzinfo):
                raise TypeError("fixed_utc_offset_timezone must be a datetime.timezone or None, "
                                f"not {type(fixed_utc_offset_timezone).__name__}")
            delta = fixed_utc_offset_timezone.utcoffset(None)
            if not isinstance(delta, _dt.timedelta):
                raise ValueError("fixed_utc_offset_timezone needs a fixed offset")
            return cls(display=_dt.timezone.utc,
                       reader_offset_us=_offset_us(delta, "fixed_utc_offset_timezone"))
        wearer = None if timezone is None else zone(timezone, "timezone")
        if device_timezone is not None:
            device = device_clock(device_timezone)
        elif wearer is not None:
            device = (DeviceClock(fixed_us=_offset_us(wearer.utcoffset(None), "timezone"))
                      if isinstance(wearer, _dt.timezone) else DeviceClock(zone=wearer))
        else:
            device = None
        if device is None:
            return cls()
        return cls(display=wearer if wearer is not None else _dt.timezone.utc, wearer=wearer,
                   device=device)

    @property
    def calendar(self) -> _dt.tzinfo | None:
        """The zone whose calendar days are the days: the wearer's zone, UTC for a device zone
        alone, the device clock's own days with the reader's fixed offset (as they have always
        been), None for the naive device clock."""
        if self.reader_offset_us is not None:
            return _dt.timezone(_dt.timedelta(microseconds=self.reader_offset_us))
        return self.display

    @property
    def naive(self) -> bool:
        """True when times stay on the naive device clock."""
        return self.display is None

    @property
    def needs_first_sample(self) -> bool:
        """True when the offset depends on the recording's first sample (an IANA device zone)."""
        return self.device is not None and self.device.fixed_us is None

    def offset_us(self, first_sample_us: int | None = None) -> int | None:
        """Microseconds to subtract from device times to get UTC instants; None when naive."""
        if self.reader_offset_us is not None:
            return self.reader_offset_us
        if self.device is None:
            return None
        return self.device.offset_us(first_sample_us)

    def describe(self) -> dict[str, Any]:
        """The options as JSON-serialisable values (for metadata and resume checks)."""
        out: dict[str, Any] = {"timezone": zone_name(self.wearer)}
        if self.device is not None:
            out["device_timezone"] = (zone_name(self.device.zone) if self.device.zone is not None
                                      else offset_text(self.device.fixed_us or 0))
        else:
            out["device_timezone"] = None
        return out


def zone_name(tz: _dt.tzinfo | None) -> str | None:
    """An IANA key or a fixed offset as text ("+01:00"), for metadata and Arrow types."""
    if tz is None:
        return None
    key = getattr(tz, "key", None)
    if isinstance(key, str):
        return key
    if tz is _dt.timezone.utc:
        return "UTC"
    delta = tz.utcoffset(None)
    if isinstance(delta, _dt.timedelta):
        return offset_text(_offset_us(delta, "timezone"))
    return str(tz)


def offset_text(us: int) -> str:
    """"+01:00" for 3,600,000,000 microseconds east of UTC."""
    sign = "-" if us < 0 else "+"
    minutes, rest = divmod(abs(int(us)), 60 * _US)
    text = f"{sign}{minutes // 60:02d}:{minutes % 60:02d}"
    if rest:
        text += f":{rest // _US:02d}"
    return text
