#!/usr/bin/env python3
"""Prints the offsets from GMT of every zone of Almanac's zone table at a table of instants of
2020-2030, read by Python's zoneinfo from the system's time-zone database (the TZif files the
platform layer reads too), for tests/platform/time/zone_offsets_test.cpp.

The test runs it on the machine it runs on, so that the expectation follows whatever tzdata that
machine has: a table frozen here would fail at the next tzdata update. Python's reader is
independent of the platform layer's (libcctz over ICU), so the program is never its own oracle.
zoneinfo honours PYTHONTZPATH, the test's way of pointing both readers at another database.

Output, one line each: "instants T1 T2 ...", then "zone NAME O1 O2 ..." in seconds, and a zone
the database lacks as "missing NAME".
"""

import datetime as dt
import pathlib
import sys
import zoneinfo

ROOT = pathlib.Path(__file__).resolve().parents[2]
ZONES = ROOT / "tools/almanac-tables/zones.txt"

# The 15th of every third month at 12:00 UTC, 2020 to 2030.
INSTANTS = [
    int(dt.datetime(year, month, 15, 12, tzinfo=dt.timezone.utc).timestamp())
    for year in range(2020, 2031)
    for month in (1, 4, 7, 10)
]


def main():
    if not zoneinfo.TZPATH:
        print("zoneinfo has no database path (PYTHONTZPATH)", file=sys.stderr)
        return 1
    out = ["instants " + " ".join(map(str, INSTANTS))]
    for name in ZONES.read_text().split():
        if "/" not in name or name.startswith("Etc/"):
            continue
        try:
            zone = zoneinfo.ZoneInfo(name)
        except (zoneinfo.ZoneInfoNotFoundError, ValueError):
            out.append(f"missing {name}")
            continue
        offsets = [
            int(dt.datetime.fromtimestamp(t, zone).utcoffset().total_seconds()) for t in INSTANTS
        ]
        out.append(f"zone {name} " + " ".join(map(str, offsets)))
    print("\n".join(out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
