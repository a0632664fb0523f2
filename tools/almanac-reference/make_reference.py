#!/usr/bin/env python3
"""Prints the independent reference table for Almanac's date arithmetic.

The table is computed here from first principles over the system's time-zone database (Python's
zoneinfo reads the same TZif files), with no ICU and no code of the project, so that the C++
test compares two implementations of one rule:

- calendar units (years, months, weeks, days) move the wall-clock date, clamping a month end,
  and keep the time of day; hours, minutes and seconds add elapsed time;
- a wall time that exists twice is the occurrence with the receiver's offset when one has it,
  otherwise the first; one that does not exist moves forward by the gap; a day the zone skipped
  gives the same time on the next existing day in the direction of travel;
- units shorter than a day start within the instant's own offset; a day or month starts at the
  first instant of its wall date and ends where the next one starts;
- rounding to minutes decides by the minute's last digit and adds elapsed seconds.

    make_reference.py    prints one row a line: zone, start (seconds since 1970), operation,
                         argument, expected instant

tests/almanac/arithmetic_reference_test.cpp runs it on the machine it runs on, so that the
expectation follows the tzdata that machine has: a table frozen in the repository would fail at
the next tzdata update.

Only zones and years on which ICU 72's own rules (2022e) and the system's agree are allowed:
the generator refuses any other.
"""

import calendar
import datetime as dt
import random
import sys
import zoneinfo

UTC = dt.timezone.utc
SEED = 20241027

# Zone -> (first year, last year) on which the 2022e rules and today's agree.
ALLOWED = {
    "Europe/Rome": (2000, 2021),
    "America/New_York": (2000, 2021),
    "America/Sao_Paulo": (2000, 2019),
    "Australia/Lord_Howe": (2000, 2021),
    "Pacific/Apia": (2011, 2012),
    "Asia/Tokyo": (2000, 2021),
    "Asia/Kolkata": (2000, 2021),
    "Asia/Kathmandu": (2000, 2021),
    "UTC": (2000, 2021),
}
# Zone -> last year a result may reach: both rule sets agree up to there (no zone of the list
# changed its rules after 2022, and Sao Paulo and Apia keep no daylight time since 2019 and 2021).
RESULTS_UNTIL = {"Pacific/Apia": 2013}
RESULTS_UNTIL_DEFAULT = 2045

TRANSITION_ZONES = ["Europe/Rome", "America/New_York", "America/Sao_Paulo", "Australia/Lord_Howe"]
RANDOM_ZONES = list(ALLOWED)

ROUNDING = [
    # (name, kind, minutes)
    ("toMins7", "nearest", 7),
    ("toCeilMins20", "ceil", 20),
    ("toFloorMins15", "floor", 15),
    ("to5Mins", "nearest", 5),
    ("to10Mins", "nearest", 10),
    ("to30Mins", "nearest", 30),
    ("toCeil5Mins", "ceil", 5),
    ("toCeil10Mins", "ceil", 10),
    ("toCeil30Mins", "ceil", 30),
    ("toFloor5Mins", "floor", 5),
    ("toFloor10Mins", "floor", 10),
    ("toFloor30Mins", "floor", 30),
]
COUNTED = ["addYears", "addMonths", "addWeeks", "addDays", "addHours", "addMinutes", "addSeconds"]
UNITS = ["startOfHour", "endOfHour", "startOfDay", "endOfDay", "startOfMonth", "endOfMonth"]
OTHERS = ["nearestMinute", "nearestHour", "setHour", "setMinute"]


class Refused(Exception):
    pass


def offset_at(zone, instant):
    return dt.datetime.fromtimestamp(instant, zone).utcoffset().total_seconds()


def wall_of(zone, instant):
    """The zone's wall clock at the instant, as a naive datetime."""
    return (dt.datetime.fromtimestamp(instant, UTC) + dt.timedelta(seconds=offset_at(zone, instant))).replace(tzinfo=None)


def reads(zone, instant, wall):
    return wall_of(zone, instant) == wall


def resolve(zone, wall, preferred=None, backward=False):
    """The instant the wall reading names, by the rule above."""
    first = dt.datetime(*wall.timetuple()[:6], wall.microsecond, tzinfo=zone, fold=0).timestamp()
    second = dt.datetime(*wall.timetuple()[:6], wall.microsecond, tzinfo=zone, fold=1).timestamp()
    if preferred is not None:
        candidate = (wall - dt.datetime(1970, 1, 1)).total_seconds() - preferred
        if offset_at(zone, candidate) == preferred:
            return candidate
    existing = [t for t in (first, second) if reads(zone, t, wall)]
    if existing:
        return min(existing)
    # In a gap fold 0 reads the offset before the change (a gap's length later) and fold 1 the
    # one after it (a gap's length earlier).
    gap = first - second
    if gap >= 86400 and backward:
        return second
    return first


def add_months(wall, months):
    index = wall.year * 12 + wall.month - 1 + months
    year, month = divmod(index, 12)
    day = min(wall.day, calendar.monthrange(year, month + 1)[1])
    return wall.replace(year=year, month=month + 1, day=day)


def operate(zone, instant, op, arg):
    wall = wall_of(zone, instant)
    offset = offset_at(zone, instant)
    if op in ("addYears", "addMonths", "addWeeks", "addDays"):
        if op == "addYears":
            moved = add_months(wall, 12 * arg)
        elif op == "addMonths":
            moved = add_months(wall, arg)
        else:
            moved = wall + dt.timedelta(days=arg * (7 if op == "addWeeks" else 1))
        return resolve(zone, moved, offset, backward=moved < wall)
    if op in ("addHours", "addMinutes", "addSeconds"):
        return instant + arg * {"addHours": 3600, "addMinutes": 60, "addSeconds": 1}[op]
    if op in ("startOfHour", "endOfHour"):
        into = (wall.minute * 60 + wall.second + wall.microsecond / 1e6)
        start = instant - into
        return start if op == "startOfHour" else start + 3600 - 0.001
    if op in ("startOfDay", "endOfDay", "startOfMonth", "endOfMonth"):
        if op.endswith("Day"):
            first = wall.replace(hour=0, minute=0, second=0, microsecond=0)
            following = first + dt.timedelta(days=1)
        else:
            first = wall.replace(day=1, hour=0, minute=0, second=0, microsecond=0)
            following = add_months(first, 1)
        start = resolve(zone, first)
        if op.startswith("start"):
            return start
        return resolve(zone, following) - 0.001
    for name, kind, n in ROUNDING:
        if op == name:
            m, s = wall.minute, wall.second
            r = m % n
            if kind == "nearest":
                kind = "ceil" if m % 10 >= 5 else "floor"
            shift = (n - r) * 60 - s if kind == "ceil" else -(r * 60 + s)
            return instant + shift
    if op == "nearestMinute":
        minute = (wall.minute + arg // 2) // arg * arg
        moved = wall.replace(minute=0) + dt.timedelta(minutes=minute)
        return resolve(zone, moved, offset)
    if op == "nearestHour":
        hour = (wall.hour + arg // 2) // arg * arg
        moved = wall.replace(hour=0, minute=0) + dt.timedelta(hours=hour)
        return resolve(zone, moved, offset)
    if op == "setHour":
        return resolve(zone, wall.replace(hour=arg), offset)
    if op == "setMinute":
        return resolve(zone, wall.replace(minute=arg), offset)
    raise ValueError(op)


def check_allowed(zone_name, *instants):
    if zone_name not in ALLOWED:
        raise Refused(f"zone {zone_name} is not one both rule sets agree on")
    first, last = ALLOWED[zone_name]
    for instant in instants:
        year = dt.datetime.fromtimestamp(instant, UTC).year
        if not first - 3 <= year <= RESULTS_UNTIL.get(zone_name, RESULTS_UNTIL_DEFAULT):
            raise Refused(f"{zone_name} at {instant} lies outside {first}-{last}")


def transitions(zone_name):
    zone = zoneinfo.ZoneInfo(zone_name)
    first, last = ALLOWED[zone_name]
    start = int(dt.datetime(first, 1, 1, tzinfo=UTC).timestamp())
    end = int(dt.datetime(last + 1, 1, 1, tzinfo=UTC).timestamp())
    found = []
    previous = offset_at(zone, start)
    t = start
    while t < end:
        current = offset_at(zone, t + 1800)
        if current != previous:
            # Narrow to the second.
            low, high = t, t + 1800
            while high - low > 1:
                middle = (low + high) // 2
                if offset_at(zone, middle) == previous:
                    low = middle
                else:
                    high = middle
            found.append((high, previous, current))
            previous = current
        t += 1800
    return found


# The operations tried on each start beside an offset change.
AROUND_CHANGES = [
    ("addDays", 1), ("addDays", -1), ("addMonths", 1), ("addYears", 1), ("addWeeks", -1),
    ("addHours", 1), ("startOfHour", 0), ("startOfDay", 0), ("endOfDay", 0),
    ("toCeil30Mins", 0), ("toFloor30Mins", 0), ("nearestMinute", 15), ("setMinute", 30),
]


def operations():
    ops = []
    for op in COUNTED:
        for arg in (-1, 1, 2):
            ops.append((op, arg))
    ops += [(op, 0) for op in UNITS]
    ops += [(name, 0) for name, _, _ in ROUNDING]
    ops += [("nearestMinute", 15), ("nearestHour", 6), ("setHour", 2), ("setMinute", 30)]
    return ops


def rows():
    result = []
    for zone_name in TRANSITION_ZONES:
        zone = zoneinfo.ZoneInfo(zone_name)
        for when, before, after in transitions(zone_name):
            starts = {when - 1, when}
            # Both occurrences of each repeated reading around a change back.
            if after < before:
                for delta in (0, (before - after) / 2):
                    reading = wall_of(zone, when - 1) - dt.timedelta(seconds=delta)
                    earlier = dt.datetime(*reading.timetuple()[:6], tzinfo=zone, fold=0).timestamp()
                    later = dt.datetime(*reading.timetuple()[:6], tzinfo=zone, fold=1).timestamp()
                    starts.update({earlier, later})
            for start in sorted(starts):
                for op, arg in AROUND_CHANGES:
                    result.append((zone_name, start, op, arg))
            # Steps that land on a reading the change repeats or skips, from either side.
            reading = wall_of(zone, when - 1) - dt.timedelta(seconds=abs(before - after) / 2)
            if after > before:
                reading = wall_of(zone, when - 1) + dt.timedelta(seconds=(after - before) / 2)
            for op, arg, origin in [
                ("addDays", 1, reading - dt.timedelta(days=1)),
                ("addDays", -1, reading + dt.timedelta(days=1)),
                ("addWeeks", 1, reading - dt.timedelta(days=7)),
                ("addWeeks", -1, reading + dt.timedelta(days=7)),
                ("addMonths", 1, add_months(reading, -1)),
                ("addMonths", -1, add_months(reading, 1)),
                ("addYears", 1, add_months(reading, -12)),
            ]:
                result.append((zone_name, resolve(zone, origin), op, arg))
    apia = zoneinfo.ZoneInfo("Pacific/Apia")
    for day in (27, 28, 29, 31):
        month_start = dt.datetime(2011, 12, day, 10, 0, tzinfo=apia).timestamp()
        for op, arg in operations():
            result.append(("Pacific/Apia", month_start, op, arg))
    generator = random.Random(SEED)
    names = [op for op in COUNTED] * 3 + UNITS + [name for name, _, _ in ROUNDING] + OTHERS
    for _ in range(2400):
        zone_name = generator.choice(RANDOM_ZONES)
        first, last = ALLOWED[zone_name]
        low = dt.datetime(first, 1, 1, tzinfo=UTC).timestamp()
        high = dt.datetime(last, 1, 1, tzinfo=UTC).timestamp()
        start = generator.randrange(int(low), int(high))
        op = generator.choice(names)
        if zone_name == "Pacific/Apia" and op in COUNTED:
            # Around its one change of day.
            arg = generator.randint(-2, 2) if op in ("addYears", "addMonths") else \
                generator.randint(-60, 60)
        elif op == "addYears":
            arg = generator.randint(-2, 20)
        elif op == "addMonths":
            arg = generator.randint(-24, 240)
        elif op == "addWeeks":
            arg = generator.randint(-104, 1000)
        elif op in COUNTED:
            arg = generator.randint(-400, 1000)
        elif op == "nearestMinute":
            arg = generator.randint(1, 60)
        elif op == "nearestHour":
            arg = generator.randint(1, 12)
        elif op == "setHour":
            arg = generator.randint(0, 23)
        elif op == "setMinute":
            arg = generator.randint(0, 59)
        else:
            arg = 0
        result.append((zone_name, start, op, arg))
    return result


def main():
    lines = []
    try:
        for zone_name, start, op, arg in rows():
            zone = zoneinfo.ZoneInfo(zone_name)
            expected = operate(zone, start, op, arg)
            check_allowed(zone_name, start, expected)
            lines.append(f"{zone_name} {start!r} {op} {arg} {expected!r}")
    except Refused as refused:
        print(f"refused: {refused}", file=sys.stderr)
        return 2
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
