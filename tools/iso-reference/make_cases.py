#!/usr/bin/env python3
"""Writes tests/almanac/data/iso_cases.tsv: ISO 8601 texts and their instants, made by Python's
own date code so that the date library's writer and reader are checked against a reference that
does not go through them.

Instants are whole milliseconds from 1972 to 2021 (past rules only: a later tz release cannot
move them) in zones whose rules agree between ICU 72's tz data and Debian's. A fixed seed keeps
the table stable; `--check` rebuilds it in memory and fails when the checked-in table differs.

Columns: kind, zone, instant, text, instant read back (milliseconds since 1970, UTC).
  write-*: what the writer must write for the instant in the zone, for one option set, and the
           instant the text names (read as UTC when it names no zone: midnight of the day).
  read-*:  a text Python writes and reads back (proved below); it names that instant.
Python 3.11 reads "T10.5" as half a second and refuses ordinal dates, so fractional hours and
minutes and ordinal texts are not read from here.
"""

import argparse
import datetime as dt
import pathlib
import random
import sys
from zoneinfo import ZoneInfo

ZONES = [
    "UTC", "Asia/Tokyo", "Asia/Kolkata", "Asia/Kathmandu", "Asia/Shanghai", "Europe/London",
    "Europe/Paris", "America/New_York", "America/Los_Angeles", "America/St_Johns",
    "America/Sao_Paulo", "America/Santiago", "Australia/Sydney", "Australia/Lord_Howe",
    "Pacific/Chatham", "Pacific/Kiritimati",
]
COUNT = 2000
SEED = 20200102
FIRST = int(dt.datetime(1972, 1, 1, tzinfo=dt.timezone.utc).timestamp() * 1000)
LAST = int(dt.datetime(2021, 12, 31, tzinfo=dt.timezone.utc).timestamp() * 1000)
OUTPUT = pathlib.Path(__file__).resolve().parents[2] / "tests" / "almanac" / "data" / "iso_cases.tsv"


def offset(moment, extended, zulu):
    seconds = int(moment.utcoffset().total_seconds())
    if seconds == 0 and zulu:
        return "Z"
    sign = "-" if seconds < 0 else "+"
    hours, minutes = divmod(abs(seconds) // 60, 60)
    return f"{sign}{hours:02d}:{minutes:02d}" if extended else f"{sign}{hours:02d}{minutes:02d}"


def rows():
    rng = random.Random(SEED)
    out = []
    for i in range(COUNT):
        zone = ZONES[i % len(ZONES)]
        ms = rng.randrange(FIRST, LAST)
        moment = dt.datetime.fromtimestamp(ms / 1000, ZoneInfo(zone))
        milli = f"{moment.microsecond // 1000:03d}"
        date = moment.strftime("%Y-%m-%d")
        clock = moment.strftime("%H:%M:%S")
        whole = ms - ms % 1000
        year, week, weekday = moment.isocalendar()
        midnight = int(dt.datetime(moment.year, moment.month, moment.day,
                                   tzinfo=dt.timezone.utc).timestamp() * 1000)

        writes = [
            ("write-default", whole, f"{date}T{clock}{offset(moment, True, True)}"),
            ("write-millis", ms, f"{date}T{clock}.{milli}{offset(moment, True, True)}"),
            ("write-basiczone", ms, f"{date}T{clock}.{milli}{offset(moment, False, False)}"),
            ("write-fulldate", midnight, date),
            ("write-ordinal", midnight, moment.strftime("%Y-%j")),
            ("write-week", midnight, f"{year:04d}W{week:02d}{weekday}"),
        ]
        utc = moment.astimezone(dt.timezone.utc)
        reads = [
            ("read-extended", moment.isoformat(timespec="milliseconds")),
            ("read-basic", moment.strftime("%Y%m%dT%H%M%S") + f".{milli}"
             + offset(moment, False, False)),
            ("read-comma", moment.isoformat(timespec="milliseconds").replace(".", ",")),
            ("read-zulu", utc.strftime("%Y-%m-%dT%H:%M:%S") + f".{milli}Z"),
            ("read-space", moment.isoformat(sep=" ", timespec="milliseconds")),
            ("read-seconds", moment.isoformat(timespec="seconds")),
        ]
        for kind, instant, text in writes:
            out.append((kind, zone, ms, text, instant))
        for kind, text in reads:
            read = dt.datetime.fromisoformat(text)
            instant = round(read.timestamp() * 1000)
            assert instant in (ms, whole), (text, instant, ms)
            out.append((kind, zone, instant, text, instant))
        week_text = f"{year:04d}-W{week:02d}-{weekday}"
        read = dt.datetime.fromisoformat(week_text)
        assert (read.year, read.month, read.day) == (moment.year, moment.month, moment.day)
        out.append(("read-week", zone, midnight, week_text, midnight))
    return out


def render():
    lines = ["# kind\tzone\tinstant\ttext\tread back (tools/iso-reference/make_cases.py)"]
    lines += ["\t".join((kind, zone, str(ms), text, str(back)))
              for kind, zone, ms, text, back in rows()]
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true",
                        help="fail when the checked-in table is not what this script makes")
    args = parser.parse_args()
    text = render()
    if args.check:
        current = OUTPUT.read_text(encoding="utf-8") if OUTPUT.exists() else ""
        if current != text:
            print(f"{OUTPUT} is out of date: run {sys.argv[0]}", file=sys.stderr)
            return 1
        return 0
    OUTPUT.parent.mkdir(parents=True, exist_ok=True)
    OUTPUT.write_text(text, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
