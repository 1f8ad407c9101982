#!/usr/bin/env python3
"""Usage: rrule_examples.py ROUND_TRIP_TOOL EXAMPLES.tsv

Each example goes through the tool twice (read, written). A "refused" one must be refused
(for the reason the table may give); a "kept" one must keep its occurrences, expanded by
python3-dateutil, independent of ours; "kept" and "read" ones must come back in the form
the table may give, and unchanged by the second trip."""

import datetime
import subprocess
import sys
import zoneinfo

from dateutil import rrule


def occurrences(text):
    lines = text.split("\\n")
    name, _, value = next(line for line in lines if line.startswith("DTSTART")).partition(":")
    zone = name.partition("TZID=")[2]
    if "VALUE=DATE" in name:
        start = datetime.datetime.strptime(value, "%Y%m%d")
    else:
        tz = datetime.timezone.utc if value.endswith("Z") or not zone else zoneinfo.ZoneInfo(zone)
        start = datetime.datetime.strptime(value.rstrip("Z"), "%Y%m%dT%H%M%S").replace(tzinfo=tz)
    rule = next(line for line in lines if line.startswith("RRULE:"))[len("RRULE:"):]
    if start.tzinfo is None:  # floating dates: an UNTIL in UTC reads as a plain date-time
        rule = rule.replace("Z", "")
    end = start + datetime.timedelta(days=366 * 30)
    return rrule.rrulestr(rule, dtstart=start).between(start, end, inc=True)


def main():
    tool, table = sys.argv[1:3]
    with open(table, encoding="utf-8") as lines:
        rows = [line.rstrip("\n").split("\t") for line in lines
                if line.strip() and not line.startswith("#")]

    def round_trip(texts):
        out = subprocess.run([tool], input="\n".join(texts) + "\n", capture_output=True,
                             text=True, check=True).stdout
        return out.split("\n")[: len(texts)]

    texts = [f"{row[1]}\\nRRULE:{row[2]}" for row in rows]
    written = round_trip(texts)
    failures = []
    for row, text, out, out_again in zip(rows, texts, written, round_trip(written)):
        verdict, meaning, expected = row[0], row[3], (row + [""])[4]
        if not out.startswith("REFUSED: " if verdict == "refused" else "DTSTART"):
            failures.append(f"{meaning}: {text} gave {out}")
        elif expected and out != ("REFUSED: " if verdict == "refused" else "") + expected:
            failures.append(f"{meaning}: {out} instead of {expected}")
        elif verdict == "kept" and occurrences(out) != occurrences(text):
            failures.append(f"{meaning}: {text} became {out}")
        elif verdict != "refused" and out_again != out:
            failures.append(f"{meaning}: {out} came back as {out_again}")
    print(f"{len(rows)} rules, {len(failures)} failures", *failures, sep="\nFAIL ")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
