#!/usr/bin/env python3
"""Reads what dbus-monitor recorded of the task bar entry's Update signals
during one clean through the window and checks them as a dock would take
them.

    launcher_signals.py RECORD succeeded|failed

Every signal names the program's desktop file and says both progress, from 0
to 1 and never going back, and whether it is visible; the last one hides it,
and every one before shows it. After a clean that succeeded the progress has
reached 1; there were at least 3 signals; no second holds more than 10 of
them. Prints the figures as "key value" lines and exits 1 with a "FAIL:"
line when a check fails. Signals on other paths (the probe the test sends to
see the monitor listen) are left out.
"""

import re
import sys

URI = "application://org.brightsweep.Brightsweep.desktop"
PATH = "/org/brightsweep/Brightsweep/LauncherEntry"
MAX_PER_SECOND = 10

HEADER = re.compile(r"^signal time=(\d+\.\d+) .* path=([^;]*); interface=com\.canonical\.Unity\.LauncherEntry; "
                    r"member=Update$")
ENTRY = re.compile(r'string "([^"]*)"\s+variant\s+(double|boolean)\s+(\S+)')


def fail(message):
    print(f"FAIL: {message}", flush=True)
    sys.exit(1)


def signals(text):
    """(time, uri, {key: value}) for each Update on the entry's path."""
    found = []
    blocks = re.split(r"\n(?=\S)", text)
    for block in blocks:
        lines = block.split("\n")
        header = HEADER.match(lines[0])
        if not header or header.group(2) != PATH:
            continue
        body = "\n".join(lines[1:])
        uri = re.search(r'^\s*string "([^"]*)"', body, re.M)
        values = {}
        for key, kind, value in ENTRY.findall(body):
            values[key] = float(value) if kind == "double" else value == "true"
        found.append((float(header.group(1)), uri.group(1) if uri else None, values))
    return found


def main():
    if len(sys.argv) != 3 or sys.argv[2] not in ("succeeded", "failed"):
        fail("usage: launcher_signals.py RECORD succeeded|failed")
    with open(sys.argv[1]) as record:
        updates = signals(record.read())
    succeeded = sys.argv[2] == "succeeded"
    if len(updates) < 3:
        fail(f"{len(updates)} Update signals, not at least 3: {updates}")
    progress = []
    for number, (_, uri, values) in enumerate(updates, 1):
        if uri != URI:
            fail(f"signal {number} names {uri!r}, not {URI}")
        if set(values) != {"progress", "progress-visible"} or not isinstance(values["progress"], float):
            fail(f"signal {number} says {values}, not progress and progress-visible")
        if not 0.0 <= values["progress"] <= 1.0:
            fail(f"signal {number} has progress {values['progress']}")
        if progress and values["progress"] < progress[-1]:
            fail(f"progress went back from {progress[-1]} to {values['progress']} at signal {number}")
        progress.append(values["progress"])
        last = number == len(updates)
        if values["progress-visible"] == last:
            fail(f"signal {number} of {len(updates)} has progress-visible {values['progress-visible']}")
    if succeeded and progress[-1] != 1.0:
        fail(f"the progress ended at {progress[-1]}, not 1")
    times = [time for time, _, _ in updates]
    busiest = max(sum(1 for other in times[i:] if other - time < 1.0) for i, time in enumerate(times))
    if busiest > MAX_PER_SECOND:
        fail(f"{busiest} signals within one second")
    print(f"signals {len(updates)}")
    print(f"busiest_second {busiest}")
    print(f"seconds {times[-1] - times[0]:.2f}")
    print(f"last_shown_progress {progress[-2]:.4f}")


if __name__ == "__main__":
    main()
