#!/usr/bin/env python3
"""Checks that the recurrence reader and writer never change a series.

Usage: rrule_examples.py ROUND_TRIP_TOOL EXAMPLES.tsv

Each example's text goes through the tool (read, then written again). A rule marked
"refused" must be refused. A rule marked "kept" must come back as a text whose
occurrences, expanded by python3-dateutil (an implementation independent of ours), are
those of the original, and the written text must come back unchanged from a second trip.
"""

import datetime
import subprocess
import sys
import zoneinfo

from dateutil import rrule

HORIZON = datetime.timedelta(days=366 * 30)


def parse_start(line):
    """The start of a DTSTART line as the expander needs it (aware unless a date)."""
    name, _, value = line.partition(":")
    if "VALUE=DATE" in name:
        return datetime.datetime.strptime(value, "%Y%m%d")
    zone = name.partition("TZID=")[2]
    tz = datetime.timezone.utc if value.endswith("Z") or not zone else zoneinfo.ZoneInfo(zone)
    return datetime.datetime.strptime(value.rstrip("Z"), "%Y%m%dT%H%M%S").replace(tzinfo=tz)


def occurrences(text):
    lines = text.split("\\n")
    start = parse_start(next(line for line in lines if line.startswith("DTSTART")))
    rule_text = next(line for line in lines if line.startswith("RRULE:"))[len("RRULE:"):]
    if start.tzinfo is None:  # floating dates: an UNTIL in UTC reads as a plain date-time
        rule_text = rule_text.replace("Z", "")
    rule = rrule.rrulestr(rule_text, dtstart=start)
    return rule.between(start, start + HORIZON, inc=True)


def round_trip(tool, texts):
    result = subprocess.run([tool], input="\n".join(texts) + "\n", capture_output=True,
                            text=True, check=True)
    return result.stdout.split("\n")[: len(texts)]


def read_examples(path):
    with open(path, encoding="utf-8") as table:
        for line in table:
            if line.strip() and not line.startswith("#"):
                verdict, start, rule, meaning = line.rstrip("\n").split("\t")
                yield verdict, f"{start}\\nRRULE:{rule}", meaning


def main():
    tool, table = sys.argv[1:3]
    examples = list(read_examples(table))
    written = round_trip(tool, [text for _, text, _ in examples])
    again = round_trip(tool, written)
    failures = []
    for (verdict, text, meaning), out, out_again in zip(examples, written, again):
        if verdict == "refused":
            if out != "REFUSED":
                failures.append(f"{meaning}: kept as {out}")
        elif out == "REFUSED":
            failures.append(f"{meaning}: refused")
        elif occurrences(out) != occurrences(text):
            failures.append(f"{meaning}: {text} became {out}")
        elif out_again != out:
            failures.append(f"{meaning}: {out} came back as {out_again}")
    print(f"{len(examples)} rules, {len(failures)} failures")
    for failure in failures:
        print("FAIL", failure)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
