#!/usr/bin/env python3
"""`make demo`: a two-way sync between the simulated Outlook and the web calendar stand-in,
done with `tidewell` as a person would; every outcome is checked (exit status 1 if wrong).

  demo.py [BUILD_DIR]      (default build/release; as root: the stand-in binds port 443)

Everything lives in build/demo/, wiped at the start, so a person's own files are never
touched; the demo's commands run in Berlin time.
"""

import datetime
import json
import os
import shutil
import signal
import ssl
import subprocess
import sys
import urllib.request
import xml.etree.ElementTree as ET
import zoneinfo

from dateutil import rrule

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build/release"))
TIDEWELL = os.path.join(BUILD, "cli", "tidewell")
DEMO = os.path.join(ROOT, "build", "demo")
EMAIL, PASSWORD = "ann@nexora.example", "demo-password-1"
ATOM, DS = "{http://www.w3.org/2005/Atom}", "{https://schemas.nexora.example/data/2008}"
LOCAL, NEW_YORK = "Europe/Berlin", "America/New_York"

# The demo's own environment: its folders, its zone, kernel-object names no other run of
# tidewell uses, and no proxy (all traffic stays on loopback).
ENV = {k: v for k, v in os.environ.items()
       if k.lower() not in ("https_proxy", "http_proxy", "all_proxy", "xdg_data_home",
                            "xdg_config_home")}
ENV.update(HOME=os.path.join(DEMO, "home"), TZ=LOCAL,
           TIDEWELL_OUTLOOK_STORE=os.path.join(DEMO, "outlook.sqlite"),
           TIDEWELL_NAMES_PREFIX=f"tidewell_demo_{os.getpid()}_")


class Failed(Exception):
    pass


def step(title):
    print(f"\n== {title}", flush=True)


def check(condition, what):
    if not condition:
        raise Failed(what)
    print(f"   ok: {what}", flush=True)


def tidewell(*words, stdin="", show=True):
    """`tidewell WORDS` in the demo's environment, shown with its output; fails the demo
    when it fails."""
    if show:
        print("   $ tidewell " + " ".join(w if " " not in w else repr(w) for w in words))
    done = subprocess.run([TIDEWELL, *words], env=ENV, capture_output=True, text=True,
                          input=stdin)
    if show:
        for line in (done.stdout + done.stderr).splitlines():
            print("     " + line)
    if done.returncode != 0:
        raise Failed(f"`tidewell {words[0]}` exited {done.returncode}: {done.stderr.strip()}")
    return done.stdout


def sync(*flags, **output):
    """`tidewell sync` with no terminal to answer from; its progress shown as it comes."""
    print("   $ tidewell sync " + " ".join(flags), flush=True)
    return subprocess.run([TIDEWELL, "sync", *flags], env=ENV, stdin=subprocess.DEVNULL,
                          timeout=300, text=True, **output)


class WebStandIn:
    def __init__(self):
        script = os.path.join(ROOT, "sim", "webcal_server", "server.py")
        # It stops when its standard input ends: with this script, however that ends.
        self.process = subprocess.Popen(
            [sys.executable, script, "--data", os.path.join(DEMO, "webcal")],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=ENV)
        line = self.process.stdout.readline().split()
        if not line or line[0] != "ready":
            raise Failed("the web stand-in did not start")
        fields = dict(word.split("=", 1) for word in line[1:])
        self.url, self.ca, self.secret = fields["service"], fields["ca"], fields["secret"]
        self.opener = urllib.request.build_opener(
            urllib.request.ProxyHandler({}),
            urllib.request.HTTPSHandler(context=ssl.create_default_context(cafile=self.ca)))

    def admin(self, path, body=None):
        request = urllib.request.Request(
            f"{self.url}/admin/{path}", data=None if body is None else json.dumps(body).encode(),
            headers={"X-Admin-Secret": self.secret, "Content-Type": "application/json"})
        with self.opener.open(request, timeout=60) as answer:
            return json.load(answer)

    def edit(self, uid, **change):
        return self.admin("edit", {"email": EMAIL, "calendar": "default", "uid": uid, **change})

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=30)


# ---- what each side holds, as (local time, title) rows ---------------------------------

MONDAY = datetime.date.today() + datetime.timedelta(days=7 - datetime.date.today().weekday())
FIRST, LAST = MONDAY.isoformat(), (MONDAY + datetime.timedelta(days=42)).isoformat()


def day(n):
    return (MONDAY + datetime.timedelta(days=n)).isoformat()


def at(n, clock, zone=LOCAL):
    """Day n's wall-clock time in a zone, as the admin API takes it (UTC)."""
    local = datetime.datetime.fromisoformat(f"{day(n)}T{clock}").replace(
        tzinfo=zoneinfo.ZoneInfo(zone))
    return local.astimezone(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def local_text(text):
    """A web time (UTC) or date as the machine shows it."""
    if len(text) == 10:
        return text
    moment = datetime.datetime.fromisoformat(text.replace("Z", "+00:00"))
    return moment.astimezone(zoneinfo.ZoneInfo(LOCAL)).strftime("%Y-%m-%dT%H:%M")


def outlook_rows():
    """The occurrences `tidewell outlook list` shows in the window, and the items' ids."""
    rows, ids = set(), {}
    for line in tidewell("outlook", "list", "--from", FIRST, "--to", LAST, show=False).splitlines():
        fields = line.split("\t")
        if fields[0]:  # an item: id, start, end, single|series, subject
            ids[fields[4]] = fields[0]
            if fields[3] == "single":
                rows.add((fields[1], fields[4]))
        else:  # an occurrence of the series above it
            rows.add((fields[2], fields[4]))
    return rows, ids


def expand(rule_text):
    """A timed series' starts in the window, by an expander independent of ours."""
    lines = rule_text.replace("\r", "").split("\n")
    name, _, value = next(x for x in lines if x.startswith("DTSTART")).partition(":")
    zone = zoneinfo.ZoneInfo(name.partition("TZID=")[2] or "UTC")
    start = datetime.datetime.strptime(value.rstrip("Z"), "%Y%m%dT%H%M%S").replace(tzinfo=zone)
    rule = next(x for x in lines if x.startswith("RRULE:"))[len("RRULE:"):]
    window = [datetime.datetime.fromisoformat(d).replace(tzinfo=zone) for d in (FIRST, LAST)]
    return [local_text(d.isoformat()) for d in rrule.rrulestr(rule, dtstart=start).between(
        window[0] - datetime.timedelta(days=2), window[1] + datetime.timedelta(days=2))]


def web_rows(web):
    """The occurrences the web calendar holds in the window, and the entries' uids."""
    rows, uids, series, changed = set(), {}, {}, []
    for entry in web.admin(f"entries?email={EMAIL}&calendar=default")["entries"]:
        root = ET.fromstring(entry["xml"])
        title, when = root.findtext(ATOM + "title"), root.find(DS + "when")
        status = root.find(DS + "eventStatus")
        canceled = status is not None and status.get("value", "").endswith("canceled")
        original = root.find(DS + "originalEvent")
        if original is not None:  # a moved or canceled occurrence of a series
            master = original.get("id") or original.get("href").rsplit("/", 1)[-1]
            was = local_text(original.find(DS + "when").get("startTime"))
            changed.append((master, was, None if canceled else when, title))
            continue
        uids[title] = entry["uid"]
        if root.findtext(DS + "recurrence"):
            series[entry["id"]] = (title, expand(root.findtext(DS + "recurrence")))
        elif not canceled:
            rows.add((local_text(when.get("startTime")), title))
    for master, was, when, title in changed:
        if was in series.get(master, ("", []))[1]:
            series[master][1].remove(was)
        if when is not None:
            rows.add((local_text(when.get("startTime")), title))
    rows.update((start, title) for title, starts in series.values() for start in starts)
    return {row for row in rows if FIRST <= row[0][:10] < LAST}, uids


def side_by_side(outlook, web):
    print(f"   {'time (' + LOCAL + ')':<21} {'title':<32} {'Outlook':^7} {'web':^7}")
    for when, title in sorted(outlook | web):
        marks = ["yes" if (when, title) in side else "-" for side in (outlook, web)]
        print(f"   {when.replace('T', ' '):<21} {title[:32]:<32} {marks[0]:^7} {marks[1]:^7}")


# ---- the story -------------------------------------------------------------------------

WEB_EVENTS = [
    {"uid": "review@nexora.example", "title": "Quarterly review with partners",
     "where": "Room 4.12", "start": at(1, "14:00"), "end": at(1, "15:30"),
     "who": [{"email": EMAIL, "name": "Ann Lee", "rel": "organizer"},
             {"email": "bob@nexora.example", "name": "Bob Stone", "status": "accepted"},
             {"email": "cho@nexora.example", "name": "Cho Park", "type": "optional",
              "status": "tentative"}]},
    {"uid": "planning@nexora.example", "title": "Team planning (New York)",
     "recurrence": f"DTSTART;TZID={NEW_YORK}:{day(1).replace('-', '')}T093000\r\n"
                   "DURATION:PT3600S\r\nRRULE:FREQ=WEEKLY;BYDAY=TU;COUNT=8\r\n"},
    {"uid": "conference@nexora.example", "title": "Lisbon conference", "start": day(8),
     "end": day(10)},
    {"uid": "lunch@nexora.example", "title": "Lunch with Priya", "start": at(2, "12:00"),
     "end": at(2, "13:00"), "where": "Corner bistro"},
    {"uid": "release@nexora.example", "title": "Release sync", "start": at(3, "15:00"),
     "end": at(3, "15:30")},
    {"uid": "gym@nexora.example", "title": "Gym", "start": at(4, "07:00"), "end": at(4, "08:00")},
    {"uid": "party@nexora.example", "title": "Office party", "start": at(11, "18:00"),
     "end": at(11, "22:00")},
]
# Outlook's events as a user types them (options of `tidewell outlook add`); times are
# Berlin time, the machine's, unless --zone says otherwise.
OUTLOOK_EVENTS = [
    ["--subject", "Dentist", "--start", f"{day(2)}T08:00", "--end", f"{day(2)}T08:45",
     "--location", "Dr. Meyer's practice"],
    ["--subject", "Company holiday", "--start", day(4), "--all-day"],
    ["--subject", "1:1 with Sam", "--start", f"{day(3)}T16:00", "--end", f"{day(3)}T16:30",
     "--weekly", "TH", "--count", "8"],
    ["--subject", "Budget review (New York)", "--start", f"{day(1)}T10:00", "--end",
     f"{day(1)}T11:00", "--zone", NEW_YORK, "--monthly", "--count", "6"],
    ["--subject", "Dinner with Alex", "--start", f"{day(5)}T19:00", "--end", f"{day(5)}T21:00"],
    ["--subject", "Car service", "--start", f"{day(10)}T08:00", "--end", f"{day(10)}T09:00"],
    ["--subject", "School play", "--start", f"{day(11)}T17:00", "--end", f"{day(11)}T18:30"],
]
TITLES = {e["title"] for e in WEB_EVENTS} | {e[1] for e in OUTLOOK_EVENTS}
KEPT = {"Budget review (New York)", "Team planning (New York)"}  # after the mass deletion


def seed(web):
    step(f"Start the web calendar stand-in ({web.url}); everything lives in {DEMO}")
    web.admin("accounts", {"email": EMAIL, "password": PASSWORD})
    print(f"   account {EMAIL} made through the stand-in's admin API")
    ENV["TIDEWELL_CA_FILE"] = web.ca
    tidewell("account", "--email", EMAIL, "--server", web.url, "--accounts-server", web.url,
             "--password-stdin", stdin=PASSWORD + "\n")

    step("Seed the web calendar through its admin API")
    web.admin("entries", {"email": EMAIL, "calendar": "default", "entries": WEB_EVENTS})
    planning = "planning@nexora.example"
    web.edit(planning, original_start=at(8, "09:30", NEW_YORK),
             move={"start": at(9, "09:30", NEW_YORK), "end": at(9, "10:30", NEW_YORK)})
    web.edit(planning, original_start=at(22, "09:30", NEW_YORK), cancel=True)
    for event in WEB_EVENTS:
        print(f"   {event['title']}" + (" (with guests)" if "who" in event else ""))
    print("   Team planning: the second week moved to Wednesday, the fourth canceled")

    step("Seed Outlook as a user would, with `tidewell outlook add` and `edit`")
    ids = {options[1]: tidewell("outlook", "add", *options).strip()
           for options in OUTLOOK_EVENTS}
    tidewell("outlook", "edit", ids["1:1 with Sam"], "--occurrence", f"{day(10)}T16:00",
             "--move-to", f"{day(11)}T16:00")
    tidewell("outlook", "edit", ids["1:1 with Sam"], "--occurrence", f"{day(17)}T16:00",
             "--cancel")
    tidewell("outlook", "edit", ids["Budget review (New York)"], "--zone", NEW_YORK,
             "--occurrence", f"{day(1)}T10:00", "--move-to", f"{day(2)}T10:00")


def both_sides(web, show=False):
    (outlook, ids), (on_web, uids) = outlook_rows(), web_rows(web)
    if show:
        side_by_side(outlook, on_web)
    return outlook, on_web, ids, uids


def first_sync(web):
    step("First two-way sync: each side gets the other's events")
    check(sync().returncode == 0, "the sync succeeds")
    outlook, on_web, ids, _ = both_sides(web, show=True)
    check({title for _, title in outlook} == TITLES, "Outlook holds every event of both sides")
    check(outlook == on_web, "both sides hold the same occurrences, moved and canceled alike")
    invitation = tidewell("outlook", "show", ids["Quarterly review with partners"], show=False)
    check(all(f"<{guest}@nexora.example>" in invitation for guest in ("bob", "cho")),
          "the invitation reached Outlook with its guests")


def changes(web):
    step("A change on each side: a retitle in Outlook, a move on the web")
    _, _, ids, uids = both_sides(web)
    tidewell("outlook", "edit", ids["Release sync"], "--subject", "Release sign-off")
    web.edit(uids["Dentist"], move={"start": at(2, "10:30"), "end": at(2, "11:15")})
    print(f"   web: Dentist moved from {day(2)} 08:00 to 10:30")
    step("Second sync: the changes cross over")
    check(sync().returncode == 0, "the sync succeeds")
    outlook, on_web, _, _ = both_sides(web)
    for side, rows in (("Outlook", outlook), ("web", on_web)):
        shown = sorted(r for r in rows if r[1] in ("Dentist", "Release sign-off", "Release sync"))
        print(f"   {side + ':':<8} " + "; ".join(f"{when} {title}" for when, title in shown))
    check((f"{day(3)}T15:00", "Release sign-off") in on_web and
          not any(title == "Release sync" for _, title in on_web), "the web has the new title")
    check((f"{day(2)}T10:30", "Dentist") in outlook and
          (f"{day(2)}T08:00", "Dentist") not in outlook, "Outlook has the Dentist moved")
    check(outlook == on_web, "both sides agree")


def deletion_guard(web):
    step("The deletion guard: most events deleted in Outlook")
    _, before, ids, _ = both_sides(web)
    for title in sorted(set(ids) - KEPT):
        tidewell("outlook", "delete", ids[title], show=False)
    print(f"   deleted {len(ids) - len(KEPT)} events, kept: {', '.join(sorted(KEPT))}")
    refused = sync(stderr=subprocess.PIPE)
    for line in refused.stderr.splitlines():
        print("     " + line)
    check("run again with --yes" in refused.stderr, "without a terminal to ask it refuses")
    check(web_rows(web)[0] == before, "the web calendar still holds every event")
    check(sync("--yes").returncode == 0, "with --yes the deletions go through")


def finish(web):
    step("Both calendars side by side")
    outlook, on_web, _, _ = both_sides(web, show=True)
    check({title for _, title in on_web} == KEPT, "the web holds just what Outlook kept")
    check(outlook == on_web, "both sides agree")


def main():
    if os.geteuid() != 0:
        print("demo: the web stand-in binds port 443: run it as root (sudo make demo)",
              file=sys.stderr)
        return 1
    shutil.rmtree(DEMO, ignore_errors=True)
    os.makedirs(ENV["HOME"], mode=0o700)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))  # cleaned up as on Ctrl-C
    web = None
    try:
        web = WebStandIn()
        for part in (seed, first_sync, changes, deletion_guard, finish):
            part(web)
    except (Failed, OSError, subprocess.SubprocessError, LookupError, ValueError) as error:
        print(f"\ndemo: FAILED: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("\ndemo: interrupted", file=sys.stderr)
        return 130
    finally:
        # A host left behind by a sync that was cut short holds the store: tell it to go.
        subprocess.run([TIDEWELL, "host", "--stop"], env=ENV, capture_output=True)
        if web:
            web.stop()
    print("\ndemo: done; every outcome checked")
    return 0


if __name__ == "__main__":
    sys.exit(main())
