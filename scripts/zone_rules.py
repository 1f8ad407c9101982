#!/usr/bin/env python3
"""Windows zone rules measured against the tz database.

Usage:
  zone_rules.py derive [OPTIONS] [--from ID] NAME...
  zone_rules.py check [OPTIONS]
  zone_rules.py fallback [OPTIONS] [--output FILE]

derive    NAME is a tz id or a key of model/windows_zones.tsv. For a tz id: the single
          Windows rule that best reproduces the tz rules in force in the coming year, as the
          88 hex digits of a TZI value and in words. For a Windows key: a replacement data
          row, derived from the key's preferred id (or --from ID), that keeps the place
          names of the key's label.
check     Lists every (Windows key, tz id) pair whose rule disagrees with the tz database:
          each key with its preferred id, the ids model/olson_zones.tsv sends to it and the
          ids model/zone_fallback.tsv sends to it, apart from the pairs in EXCLUDED below;
          labels whose "(UTC+hh:mm)" is not the rule's standard offset; exclusions that no
          longer apply; a fallback table that differs from what `fallback` would write.
          Exit status 1 when it lists anything.
fallback  Writes model/zone_fallback.tsv: the Windows key for every tz name that
          model/olson_zones.tsv lacks.

Options: --year Y (the coming year; default: next year), --tzdir DIR (default
/usr/share/zoneinfo), --cldr FILE (default: the unicode-cldr-core package's
windowsZones.xml), --root DIR (the repository; default: this script's parent folder).

What it reads:
  DIR/tzdata.zi      the release ("# version ..." on line 1), the zones ("Z NAME ...") and
                     the link names ("L TARGET NAME", the `backward` links among them).
  DIR/zone1970.tab   the canonical ids.
  DIR/NAME (TZif)    zoneinfo's view of the names. A name whose file is another's (symbolic
                     or hard link) is that name. A tzdata.zi built with backzone keeps some
                     `backward` link names as zones of their own, which differ from their
                     target only before 1970 (Africa/Accra, CET, EST5EDT, Pacific/Chuuk...);
                     such a name (outside Etc/, whose fixed offsets are nobody's old names)
                     is taken as the canonical zone whose file has the same offset changes
                     since 1970 and the same rule for later years (the TZif footer).
  Python zoneinfo    UTC offsets (its search path set to DIR).
  windowsZones.xml   the Unicode CLDR mapping from tz ids to Windows keys (mapZone elements).

Windows rules (REG_TZI_FORMAT, as model/zone_rule.cc applies them): UTC = local + Bias
(+ DaylightBias in daylight time); a transition names month, day of week (0 = Sunday), the
week of the month in wDay (1-4, 5 = the last) and the wall-clock time; the daylight date is
read on the standard clock and the standard date on the daylight clock. Without daylight
time both dates are zero and StandardBias and DaylightBias are 0.

A derived rule takes the offsets and the two transitions of the coming year. Each
transition is written as its wall-clock time (nth or last weekday), or, when that is
midnight, as 23:59:59.999 of the day before (hours run 0-23, so a transition at 24:00 is
written one millisecond early; and the day before may have the simpler rule: the Saturday
before Chile's "Sunday on or after the 2nd" is the first Saturday). Among these the one that
matches the tz database in most of the 28 years from the coming year (a whole cycle of
weekdays) is taken. A rule that misses some of those years cannot be written as one Windows
rule; such keys must appear in INEXACT and in the header of model/windows_zones.tsv.
Comparisons are made to the second: a transition at 23:59:59.999 counts as the midnight
after it, and so does the conversion of any whole second.
"""

import argparse
import calendar
import dataclasses
import datetime
import os
import struct
import sys
import xml.etree.ElementTree as ElementTree
import zoneinfo

from gen_windows_zones import data_lines  # the data files' line reader, shared with the build

CYCLE = 28
DEFAULT_TZDIR = "/usr/share/zoneinfo"
DEFAULT_CLDR = "/usr/share/unicode/cldr/common/supplemental/windowsZones.xml"

# Pairs that model/olson_zones.tsv sends by design to a Windows zone whose rules are not the
# id's (an id converted with that zone, or the id a zone leads back to). The table stays the
# first answer: its ids follow the Windows zones of their day, and some have no compiled-in
# Windows zone of their own. Keyed by (Windows key, tz id); the id stands for all its names.
CENTRAL_ASIA = "UTC+5 now; Central Asia Standard Time keeps Dhaka's UTC+6"
SAMOA = "UTC-11; Samoa Standard Time follows Apia, UTC+13 since 2011"
TURKEY = "UTC+3 without daylight time since 2016"
MOROCCO = "UTC+1 with a change to UTC+0 around Ramadan: no yearly rule; no Morocco zone"
EXCLUDED = {
    ("Arab Standard Time", "Africa/Khartoum"): "UTC+2 since 2017",
    ("Central Asia Standard Time", "Antarctica/Mawson"): CENTRAL_ASIA,
    ("Central Asia Standard Time", "Antarctica/Vostok"): CENTRAL_ASIA,
    ("Central Asia Standard Time", "Asia/Almaty"): CENTRAL_ASIA,
    ("Central Asia Standard Time", "Asia/Qyzylorda"): CENTRAL_ASIA,
    ("Central Europe Standard Time", "Africa/Tunis"): "no daylight time since 2009",
    ("Central Standard Time", "America/Indiana/Petersburg"): "Eastern time since 2007",
    ("Central Standard Time", "America/Indiana/Vincennes"): "Eastern time since 2007",
    ("Central Standard Time (Mexico)", "America/Cancun"): "UTC-5 all year since 2015",
    ("China Standard Time", "Asia/Urumqi"): "the tz database keeps Xinjiang's UTC+6",
    ("China Standard Time", "Asia/Kashgar"): "the tz database keeps Xinjiang's UTC+6",
    ("E. Europe Standard Time", "Europe/Bucharest"):
        "E. Europe Standard Time is Moldova's rule (02:00/03:00 local); Romania changes "
        "with the EU at 01:00 UTC",
    ("E. Europe Standard Time", "Europe/Kaliningrad"): "UTC+2 without daylight time since 2014",
    ("E. Europe Standard Time", "Europe/Minsk"): "UTC+3 without daylight time since 2011",
    ("FLE Standard Time", "Europe/Chisinau"):
        "Moldova changes at 02:00/03:00 local, not with the EU at 01:00 UTC",
    ("FLE Standard Time", "Asia/Istanbul"): TURKEY,
    ("GTB Standard Time", "Europe/Istanbul"): TURKEY,
    ("Greenwich Standard Time", "Africa/Casablanca"): MOROCCO,
    ("Greenwich Standard Time", "Africa/El_Aaiun"): MOROCCO,
    ("Hawaiian Standard Time", "Pacific/Fakaofo"): "UTC+13 since 2011",
    ("Korea Standard Time", "Asia/Choibalsan"): "UTC+8 since 2008",
    ("N. Central Asia Standard Time", "Asia/Omsk"): "UTC+6 since 2014",
    ("Pacific Standard Time", "America/Dawson"): "UTC-7 all year since 2020",
    ("Pacific Standard Time", "America/Whitehorse"): "UTC-7 all year since 2020",
    ("SA Pacific Standard Time", "America/Port-au-Prince"): "US daylight time again since 2017",
    ("SA Pacific Standard Time", "America/Resolute"): "Central time with daylight time",
    ("Samoa Standard Time", "Pacific/Midway"): SAMOA,
    ("Samoa Standard Time", "Pacific/Niue"): SAMOA,
    ("Samoa Standard Time", "Pacific/Pago_Pago"): SAMOA,
}

# Keys whose tz rules cannot be written as one Windows rule: what the data row chose.
INEXACT = {
    "Greenland Standard Time":
        "Nuuk changes at 01:00 UTC on the last Sunday of March, 23:00 on the Saturday before "
        "it; the last Saturday misses the years in which March ends on a Saturday",
    "Israel Standard Time":
        "Israel starts daylight time on the Friday on or after 23 March; the fourth Friday "
        "misses the years in which that is the 29th (the last Friday would miss twice as many)",
}


def fail(message):
    sys.exit(f"zone_rules.py: {message}")


# ---- Windows rules ---------------------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class WinDate:
    year: int = 0
    month: int = 0
    dow: int = 0
    week: int = 0
    hour: int = 0
    minute: int = 0
    second: int = 0
    ms: int = 0


@dataclasses.dataclass(frozen=True)
class Rule:
    bias: int
    standard_bias: int
    daylight_bias: int
    standard: WinDate
    daylight: WinDate

    LAYOUT = "<3i8H8H"

    @staticmethod
    def from_tzi(hex_digits):
        v = struct.unpack(Rule.LAYOUT, bytes.fromhex(hex_digits))
        return Rule(v[0], v[1], v[2], WinDate(*v[3:11]), WinDate(*v[11:19]))

    def tzi(self):
        fields = [self.bias, self.standard_bias, self.daylight_bias]
        fields += dataclasses.astuple(self.standard) + dataclasses.astuple(self.daylight)
        return struct.pack(Rule.LAYOUT, *fields).hex().upper()

    # A zone without a daylight date has no daylight time, whatever its standard date says.
    def has_daylight(self):
        return self.daylight.month != 0

    def standard_offset(self):
        return -(self.bias + self.standard_bias)

    def daylight_offset(self):
        return -(self.bias + self.daylight_bias)


WEEKDAYS = "Sunday Monday Tuesday Wednesday Thursday Friday Saturday".split()
ORDINALS = ["", "first", "second", "third", "fourth", "last"]


def utc_text(minutes):
    sign = "-" if minutes < 0 else "+"
    return f"UTC{sign}{abs(minutes) // 60:02d}:{abs(minutes) % 60:02d}"


def date_text(date):
    time = f"{date.hour:02d}:{date.minute:02d}"
    if date.second or date.ms:
        time += f":{date.second:02d}.{date.ms:03d}"
    if date.year:
        return f"{date.year}-{date.month:02d}-{date.week:02d} {time}"
    month = calendar.month_name[date.month]
    return f"the {ORDINALS[date.week]} {WEEKDAYS[date.dow]} of {month} at {time}"


def rule_text(rule):
    text = utc_text(rule.standard_offset())
    if not rule.has_daylight():
        return text + ", no daylight time"
    saving = rule.daylight_offset() - rule.standard_offset()
    return (f"{text}, daylight time ({saving:+d} min) from {date_text(rule.daylight)} "
            f"(standard clock) to {date_text(rule.standard)} (daylight clock)")


def epoch_seconds(year, month=1, day=1, hour=0, minute=0, second=0):
    return calendar.timegm((year, month, day, hour, minute, second))


def year_of(seconds):
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).year


def wall_ms(date, year):
    """The wall-clock time of a transition in `year`, in ms since 1970 on that clock."""
    if date.year:
        year, day = date.year, date.week
    else:
        first = (calendar.weekday(year, date.month, 1) + 1) % 7
        day = 1 + (date.dow - first) % 7 + 7 * (date.week - 1)
        while day > calendar.monthrange(year, date.month)[1]:
            day -= 7
    seconds = epoch_seconds(year, date.month, day, date.hour, date.minute, date.second)
    return seconds * 1000 + date.ms


def rule_offset(rule, utc_ms):
    """Minutes east of UTC at an instant; the transitions of the local standard year."""
    if not rule.has_daylight():
        return rule.standard_offset()
    year = year_of((utc_ms + rule.standard_offset() * 60000) // 1000)
    start = wall_ms(rule.daylight, year) - rule.standard_offset() * 60000
    end = wall_ms(rule.standard, year) - rule.daylight_offset() * 60000
    inside = start <= utc_ms < end if start <= end else utc_ms >= start or utc_ms < end
    return rule.daylight_offset() if inside else rule.standard_offset()


def rule_changes(rule, start, end):
    """The offset at `start` and the changes in [start, end) as (second, before, after);
    each instant rounded up to the whole second from which conversions see it."""
    initial = rule_offset(rule, start * 1000)
    if not rule.has_daylight():
        return initial, []
    instants = set()
    for year in range(year_of(start) - 1, year_of(end) + 2):
        instants.add(wall_ms(rule.daylight, year) - rule.standard_offset() * 60000)
        instants.add(wall_ms(rule.standard, year) - rule.daylight_offset() * 60000)
    changes = []
    for instant in sorted(instants):
        if start * 1000 <= instant < end * 1000:
            before, after = rule_offset(rule, instant - 1), rule_offset(rule, instant)
            if before != after:
                changes.append((-(-instant // 1000), before, after))
    return initial, changes


# ---- The tz database ---------------------------------------------------------------------

def tzif_since_1970(path):
    """The offset on 1970-01-01, the offset changes after it and the footer rule of a TZif
    file (RFC 8536)."""
    with open(path, "rb") as source:
        data = source.read()
    if data[:4] != b"TZif":
        return None
    counts = struct.unpack(">6l", data[20:44])
    time_size, at = 4, 44
    if data[4:5] != b"\0":  # skip the 32-bit block; read the 64-bit one
        isut, isstd, leap, times, types, chars = counts
        at += times * 5 + types * 6 + chars + leap * 8 + isstd + isut
        counts = struct.unpack(">6l", data[at + 20:at + 44])
        time_size, at = 8, at + 44
    isut, isstd, leap, times, types, chars = counts
    stamps = struct.unpack(f">{times}{'q' if time_size == 8 else 'l'}",
                           data[at:at + times * time_size])
    at += times * time_size
    indexes = data[at:at + times]
    at += times
    offsets = [struct.unpack(">l", data[at + 6 * i:at + 6 * i + 4])[0] for i in range(types)]
    at += types * 6 + chars + leap * (time_size + 4) + isstd + isut
    footer = data[at:].strip(b"\n").decode("ascii") if time_size == 8 else ""
    initial = offsets[0] if offsets else 0
    changes = []
    for stamp, index in zip(stamps, indexes):
        if stamp <= 0:
            initial = offsets[index]
        elif offsets[index] != (changes[-1][1] if changes else initial):
            changes.append((stamp, offsets[index]))
    return initial, tuple(changes), footer


class TzDatabase:
    def __init__(self, tzdir):
        self.tzdir = tzdir
        zi = os.path.join(tzdir, "tzdata.zi")
        if not os.path.exists(zi):
            fail(f"{zi} not found (--tzdir)")
        zoneinfo.reset_tzpath([tzdir])
        self.zones, self.links, self.version = set(), {}, "unknown"
        with open(zi, encoding="utf-8") as lines:
            for number, line in enumerate(lines):
                words = line.split()
                if number == 0 and words[:2] == ["#", "version"]:
                    self.version = words[2]
                elif words[:1] == ["Z"]:
                    self.zones.add(words[1])
                elif words[:1] == ["L"]:
                    self.links[words[2]] = words[1]
        with open(os.path.join(tzdir, "zone1970.tab"), encoding="utf-8") as tab:
            self.canonical_ids = {line.split("\t")[2].strip() for line in tab
                                  if line.strip() and not line.startswith("#")}
        self.names = sorted(self.zones | set(self.links))
        self._by_file, self._by_data = {}, {}
        for name in sorted(self.canonical_ids):
            path = os.path.join(tzdir, name)
            stat = os.stat(path)
            self._by_file[(stat.st_dev, stat.st_ino)] = name
            self._by_data.setdefault(tzif_since_1970(path), []).append(name)
        self._canonical, self._changes = {}, {}

    def known(self, name):
        return name in self.zones or name in self.links

    def canonical(self, name):
        """The canonical id a name stands for: through link names, then zoneinfo's view."""
        if name not in self._canonical:
            seen, target = set(), name
            while target in self.links and target not in seen:
                seen.add(target)
                target = self.links[target]
            # The Etc area holds fixed offsets by design, never old names of a place.
            if (target not in self.canonical_ids and self.known(target)
                    and not target.startswith("Etc/")):
                path = os.path.join(self.tzdir, target)
                stat = os.stat(path)
                same = self._by_file.get((stat.st_dev, stat.st_ino))
                alike = self._by_data.get(tzif_since_1970(path), [])
                if same:
                    target = same
                elif len(alike) == 1:
                    target = alike[0]
            self._canonical[name] = target
        return self._canonical[name]

    def offset(self, zone, seconds):
        moment = datetime.datetime.fromtimestamp(seconds, zone)
        return int(moment.utcoffset().total_seconds()) // 60

    def changes(self, name, start, end):
        """The offset at `start` and its changes in [start, end) as (second, before, after)."""
        key = (os.path.realpath(os.path.join(self.tzdir, name)), start, end)
        if key not in self._changes:
            zone = zoneinfo.ZoneInfo(name)
            current = self.offset(zone, start)
            initial, found, at = current, [], start
            while at < end:
                following = min(at + 86400, end)
                if self.offset(zone, following) == current:
                    at = following
                    continue
                low, high = at, following
                while high - low > 1:
                    middle = (low + high) // 2
                    if self.offset(zone, middle) == current:
                        low = middle
                    else:
                        high = middle
                after = self.offset(zone, high)
                if high < end:
                    found.append((high, current, after))
                current, at = after, high
            self._changes[key] = (initial, found)
        return self._changes[key]


def span(year):
    return epoch_seconds(year), epoch_seconds(year + CYCLE)


class NoSingleRule(Exception):
    pass


def candidates(wall):
    """Windows dates for a wall-clock time: its weekday in the month by number and as the
    last, and at midnight also 23:59:59.999 of the day before."""
    def by_weekday(moment, hour, minute, second, ms):
        dow = (moment.weekday() + 1) % 7
        weeks = [min((moment.day - 1) // 7 + 1, 5)]
        if moment.day + 7 > calendar.monthrange(moment.year, moment.month)[1]:
            weeks.append(5)
        return [WinDate(0, moment.month, dow, week, hour, minute, second, ms)
                for week in dict.fromkeys(weeks)]
    found = by_weekday(wall, wall.hour, wall.minute, wall.second, 0)
    if (wall.hour, wall.minute, wall.second) == (0, 0, 0):
        found += by_weekday(wall - datetime.timedelta(days=1), 23, 59, 59, 999)
    return found


def derive(tz, name, year):
    """The best single Windows rule for `name` from `year` on, and the years of the cycle in
    which it differs from the tz database."""
    start, end = span(year)
    _, changes = tz.changes(name, start, end)
    by_year = {}
    for change in changes:
        by_year.setdefault(year_of(change[0]), []).append(change)
    first = by_year.get(year, [])
    if not first:
        offset = tz.offset(zoneinfo.ZoneInfo(name), epoch_seconds(year, 7, 1))
        return Rule(-offset, 0, 0, WinDate(), WinDate()), sorted(by_year)
    if len(first) != 2 or first[0][1:] != first[1][2:0:-1]:
        raise NoSingleRule(f"{name}: changes in {year}: {first}")
    low, high = sorted(first[0][1:])
    irregular = {y for y in range(year, year + CYCLE) if len(by_year.get(y, [])) != 2}

    def pick(before, after):
        change = next(c for c in first if c[1:] == (before, after))
        wall = datetime.datetime.fromtimestamp(change[0] + before * 60, datetime.timezone.utc)
        best = None
        for preference, date in enumerate(candidates(wall.replace(tzinfo=None))):
            misses = set()
            for y in range(year, year + CYCLE):
                instant = -(-(wall_ms(date, y) - before * 60000) // 1000)
                if (instant, before, after) not in by_year.get(y, []):
                    misses.add(y)
            if best is None or (len(misses), preference) < (len(best[1]), best[2]):
                best = (date, misses, preference)
        return best[0], best[1]

    daylight, daylight_misses = pick(low, high)
    standard, standard_misses = pick(high, low)
    rule = Rule(-low, 0, low - high, standard, daylight)
    return rule, sorted(daylight_misses | standard_misses | irregular)


# ---- The data files ----------------------------------------------------------------------

class Tables:
    def __init__(self, root):
        model = os.path.join(root, "model")
        self.zones_path = os.path.join(model, "windows_zones.tsv")
        self.fallback_path = os.path.join(model, "zone_fallback.tsv")
        self.zones = {}  # key -> (label, rule, source)
        for _, (key, label, tzi, source) in data_lines(self.zones_path):
            self.zones[key] = (label, Rule.from_tzi(tzi), source)
        self.preferred, self.fixed_ids = {}, {}
        for number, columns in data_lines(os.path.join(model, "olson_zones.tsv")):
            if columns[0] == "preferred":
                self.preferred[columns[1]] = columns[2]
            elif columns[0] == "zone":
                for olson in columns[2].split():
                    self.fixed_ids[olson] = columns[1]
            else:
                fail(f"olson_zones.tsv:{number}: unknown row kind {columns[0]!r}")
        self.fallback = {}
        if os.path.exists(self.fallback_path):
            for _, columns in data_lines(self.fallback_path):
                self.fallback[columns[0]] = columns[1]


# ---- derive ------------------------------------------------------------------------------

def place_names(label):
    return label.split(") ", 1)[1] if label.startswith("(UTC") and ") " in label else label


def label_for(rule, place):
    return f"({utc_text(rule.standard_offset())}) {place}"


def run_derive(args, tz, tables):
    for name in args.names:
        if name in tables.zones:
            olson = args.source or tables.preferred[name]
            rule, misses = derive(tz, olson, args.year)
            label = tables.zones[name][0]
            print("\t".join([name, label_for(rule, place_names(label)), rule.tzi(),
                             f"derived {tz.version}"]))
        else:
            olson = name
            rule, misses = derive(tz, olson, args.year)
            print(f"{olson}\t{rule.tzi()}")
        exact = "exact" if not misses else "differs in " + " ".join(map(str, misses))
        print(f"# {olson} ({tz.version}, {args.year}-{args.year + CYCLE - 1}): "
              f"{rule_text(rule)}; {exact}")


# ---- check -------------------------------------------------------------------------------

def first_difference(ours, theirs):
    def text(entry):
        second, before, after = entry
        moment = datetime.datetime.fromtimestamp(second, datetime.timezone.utc)
        return f"{moment:%Y-%m-%dT%H:%M:%SZ} {utc_text(before)} -> {utc_text(after)}"
    if ours[0] != theirs[0]:
        return f"offset at the start: {utc_text(ours[0])}, tz {utc_text(theirs[0])}"
    for mine, other in zip(ours[1] + [None], theirs[1] + [None]):
        if mine != other:
            return (f"rule {text(mine) if mine else 'no further change'}; "
                    f"tz {text(other) if other else 'no further change'}")
    return "none"


def judge(tz, rule, olson, year):
    """None when the rule agrees; else (kind, detail): kind 'inexact' for the best single
    rule of a zone that has no exact one, 'disagrees' otherwise."""
    start, end = span(year)
    theirs = tz.changes(olson, start, end)
    ours = rule_changes(rule, start, end)
    if ours == theirs:
        return None
    detail = first_difference(ours, theirs)
    try:
        best, misses = derive(tz, olson, year)
    except NoSingleRule as error:
        return "disagrees", f"{detail}; {error}"
    if misses and rule_changes(best, start, end) == ours:
        return "inexact", "differs in " + " ".join(map(str, misses))
    return "disagrees", f"{detail}; derived {best.tzi()} ({rule_text(best)})"


def run_check(args, tz, tables):
    problems, notes = [], []
    pairs = {}
    for key, olson in tables.preferred.items():
        pairs.setdefault((key, olson), "preferred")
    for source, table in (("fixed", tables.fixed_ids), ("fallback", tables.fallback)):
        for olson, key in table.items():
            pairs.setdefault((key, olson), source)
    excluded = {(key, tz.canonical(olson)): reason for (key, olson), reason in EXCLUDED.items()}
    used = set()
    for (key, olson), source in sorted(pairs.items()):
        if key not in tables.zones:
            problems.append(f"{key}: not in windows_zones.tsv ({source} {olson})")
            continue
        if not tz.known(olson):
            problems.append(f"{key} / {olson} ({source}): unknown to tz {tz.version}")
            continue
        verdict = judge(tz, tables.zones[key][1], olson, args.year)
        exclusion = (key, tz.canonical(olson))
        if verdict and exclusion in excluded:
            used.add(exclusion)
            notes.append(f"excluded   {key} / {olson} ({source}): {excluded[exclusion]}")
        elif verdict and verdict[0] == "inexact" and key in INEXACT:
            notes.append(f"inexact    {key} / {olson} ({source}): {verdict[1]}; {INEXACT[key]}")
        elif verdict:
            kind = "undocumented inexact rule" if verdict[0] == "inexact" else "disagrees"
            problems.append(f"{kind}: {key} / {olson} ({source}): {verdict[1]}")
    for exclusion in sorted(set(excluded) - used):
        problems.append(f"exclusion no longer needed: {exclusion[0]} / {exclusion[1]}")
    for key, (label, rule, _) in tables.zones.items():
        if not label.startswith(label_for(rule, "")):
            offset = utc_text(rule.standard_offset())
            problems.append(f"label of {key} says {label!r}; rule {offset}")
    if os.path.exists(args.cldr):
        expected, _ = build_fallback(tz, tables, read_cldr(args.cldr), args.year)
        if {olson: key for olson, key, _ in expected} != tables.fallback:
            problems.append("zone_fallback.tsv is out of date: run `zone_rules.py fallback`")
    else:
        notes.append(f"not checked: zone_fallback.tsv against {args.cldr} (missing)")
    for line in notes:
        print(line)
    for line in problems:
        print(line)
    print(f"# tz {tz.version}, {args.year}-{args.year + CYCLE - 1}: {len(pairs)} pairs, "
          f"{len(problems)} problems")
    return 1 if problems else 0


# ---- fallback ----------------------------------------------------------------------------

def read_cldr(path):
    root = ElementTree.parse(path).getroot()
    mapping = {}
    for element in root.iter("mapZone"):
        for olson in element.get("type", "").split():
            mapping.setdefault(olson, element.get("other"))
    versions = root.find(".//mapTimezones")
    version = "" if versions is None else versions.get("typeVersion", "")
    return mapping, version


def build_fallback(tz, tables, cldr, year):
    """(id, key, via) rows for every tz name the fixed table lacks, and (id, reason) for the
    names left out."""
    mapping, _ = cldr
    classes = {}
    for name in sorted(set(tz.names) | set(tables.fixed_ids) | set(mapping)):
        classes.setdefault(tz.canonical(name), []).append(name)
    rows, left_out = [], []
    for name in tz.names:
        if name in tables.fixed_ids:
            continue
        canonical = tz.canonical(name)
        members = [name, canonical] + classes.get(canonical, [])
        in_fixed = [m for m in dict.fromkeys(members) if m in tables.fixed_ids]
        if in_fixed:
            rows.append((name, tables.fixed_ids[in_fixed[0]], "link " + in_fixed[0]))
            continue
        listed = [m for m in dict.fromkeys(members) if m in mapping]
        if not listed:
            left_out.append((name, "not in the CLDR mapping"))
            continue
        key = mapping[listed[0]]
        if key not in tables.zones:
            left_out.append((name, f"CLDR: {key}, not compiled in"))
            continue
        verdict = judge(tz, tables.zones[key][1], name, year)
        if verdict and verdict[0] == "disagrees":
            left_out.append((name, f"CLDR: {key}, whose rule differs"))
            continue
        rows.append((name, key, "cldr " + listed[0]))
    return rows, left_out


def run_fallback(args, tz, tables):
    cldr = read_cldr(args.cldr)
    rows, left_out = build_fallback(tz, tables, cldr, args.year)
    output = args.output or tables.fallback_path
    lines = [
        "# Generated by scripts/zone_rules.py fallback. Do not edit.",
        f"# tz database {tz.version}; Unicode CLDR windowsZones.xml (tz {cldr[1]}); "
        f"rules compared for {args.year}-{args.year + CYCLE - 1}.",
        "# The Windows key of every tz name that model/olson_zones.tsv lacks: that table's key",
        "# for another name of the same zone (link names, and zones that differ only before",
        "# 1970), else the CLDR mapping when that key is compiled in and its rule agrees.",
        "# Columns: tz name <TAB> Windows key <TAB> how it was found.",
    ]
    lines += ["#   left out: %s (%s)" % entry for entry in left_out]
    lines += ["\t".join(row) for row in rows]
    with open(output, "w", encoding="utf-8", newline="\n") as out:
        out.write("\n".join(lines) + "\n")
    print(f"{output}: {len(rows)} names, {len(left_out)} left out")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("command", choices=["derive", "check", "fallback"])
    parser.add_argument("names", nargs="*")
    parser.add_argument("--year", type=int, default=datetime.date.today().year + 1)
    parser.add_argument("--tzdir", default=DEFAULT_TZDIR)
    parser.add_argument("--cldr", default=DEFAULT_CLDR)
    parser.add_argument("--root", default=os.path.dirname(os.path.dirname(
        os.path.abspath(__file__))))
    parser.add_argument("--from", dest="source")
    parser.add_argument("--output")
    args = parser.parse_args()
    tz = TzDatabase(args.tzdir)
    tables = Tables(args.root)
    run = {"derive": run_derive, "check": run_check, "fallback": run_fallback}[args.command]
    sys.exit(run(args, tz, tables))


if __name__ == "__main__":
    main()
