#!/usr/bin/env python3
"""Drives a clean of TEMP through the main window of the running program and
watches the window while the clean runs, the way a window manager and a user
would meet it.

    live_window.py WINDOW_ID MENU_BAR_HEIGHT TEMP_FOLDER SHOTS_FOLDER
    live_window.py --time-clean TEMP_FOLDER PID
    live_window.py --time-clean-quietly TEMP_FOLDER PID

Ticks Check4 and presses Clean with the pointer (XTEST). While the clean
runs: pings the window with _NET_WM_PING and times each answer; once covers
the window with another one and takes it away again, so that the window must
draw itself anew, and takes a screenshot once it has; once half the files are
gone, clicks Check2. Then, sending the program nothing more, waits for TEMP
to hold its marker file, the sign that the file work is over, and for Check2
to show ticked. Prints what it measured as "key value" lines and exits 1 with
a "FAIL:" line when something went wrong.

With --time-clean (for scripts/bench) it finds the window of process PID
itself, ticks Check4, presses Clean and only pings, every 10 ms, until the
clean is over; then it closes the window as a window manager does and prints
one JSON line: the slowest answer, how many pings, the clean's wall time and
the CPU time (user and system) the process spent on it. With
--time-clean-quietly it sends the window nothing while the clean runs and
only looks for the marker every 10 ms: a window manager pings a window only
now and then, and the answers to a hundred pings a second are not the
clean's CPU time.
"""

import json
import os
import select
import struct
import sys
import time
import zlib

from Xlib import X, display, protocol
from Xlib.ext import xtest

PING_LIMIT = 0.5
PING_INTERVAL = 0.05
OVERLAY_PIXEL = 0xFF00FF

# Inside Frame1 (placed at 8,40 in the client area): the boxes' tops and the
# middle of Clean, in pixels.
FRAME = (8, 40)
BOX_TOP = {2: 48, 4: 96}
BOX_LEFT = 16
CLEAN = (224 + 36, 16 + 12)


def fail(message):
    print(f"FAIL: {message}", flush=True)
    sys.exit(1)


class Window:
    def __init__(self, connection, window_id, menu_bar):
        self.x11 = connection
        self.screen = connection.screen()
        self.root = self.screen.root
        self.window = connection.create_resource_object("window", window_id)
        geometry = self.window.get_geometry()
        origin = self.window.translate_coords(self.root, 0, 0)
        self.left, self.top = -origin.x, -origin.y
        self.width, self.height = geometry.width, geometry.height
        self.client_top = self.top + menu_bar
        self.protocols = connection.intern_atom("WM_PROTOCOLS")
        self.ping_atom = connection.intern_atom("_NET_WM_PING")
        # The answers to pings are sent to the root window for those who
        # redirect its children, as a window manager does, or who follow its
        # own structure: the latter leaves the windows as they are.
        self.root.change_attributes(event_mask=X.StructureNotifyMask)
        self.serial = 0
        self.answers = []
        connection.sync()

    def at(self, frame_x, frame_y):
        return self.left + FRAME[0] + frame_x, self.client_top + FRAME[1] + frame_y

    def click(self, point):
        xtest.fake_input(self.x11, X.MotionNotify, x=point[0], y=point[1])
        xtest.fake_input(self.x11, X.ButtonPress, 1)
        xtest.fake_input(self.x11, X.ButtonRelease, 1)
        self.x11.sync()

    def click_box(self, number):
        self.click(self.at(BOX_LEFT + 7, BOX_TOP[number] + 8))

    def ping(self, limit=PING_LIMIT):
        """Seconds until the window answers one ping; fails past limit."""
        self.serial += 1
        event = protocol.event.ClientMessage(
            window=self.window, client_type=self.protocols,
            data=(32, [self.ping_atom, self.serial, self.window.id, 0, 0]))
        sent = time.monotonic()
        self.window.send_event(event, event_mask=0)
        self.x11.flush()
        deadline = sent + limit
        while True:
            while self.x11.pending_events():
                answer = self.x11.next_event()
                if (answer.type == X.ClientMessage and answer.window.id == self.root.id
                        and answer.client_type == self.protocols):
                    _, values = answer.data
                    if values[0] == self.ping_atom and values[1] == self.serial:
                        waited = time.monotonic() - sent
                        self.answers.append(waited)
                        return waited
            left = deadline - time.monotonic()
            if left <= 0:
                fail(f"ping {self.serial} was not answered within {limit} s "
                     f"(answers so far: {self.summary()})")
            select.select([self.x11.fileno()], [], [], left)

    def summary(self):
        if not self.answers:
            return "none"
        return f"{len(self.answers)}, slowest {max(self.answers) * 1000:.0f} ms"

    def grab(self):
        """The window's pixels as rows of 4-byte BGRX."""
        image = self.root.get_image(self.left, self.top, self.width, self.height, X.ZPixmap, 0xFFFFFFFF)
        return image.data

    def pixel(self, shot, x, y):
        offset = (y * self.width + x) * 4
        return shot[offset:offset + 3]

    def ticked(self, shot, number):
        """Whether a box's indicator shows the tick: dark pixels inside it.
        Its frame and the hover highlight stay light, so the pointer resting
        on the box or leaving it does not count."""
        left = FRAME[0] + BOX_LEFT
        top = self.client_top - self.top + FRAME[1] + BOX_TOP[number]
        dark = sum(1 for y in range(top, top + 17) for x in range(left, left + 15)
                   if max(self.pixel(shot, x, y)) < 100)
        return dark >= 8

    def cover(self):
        """Maps a plain window over this one and takes it away again: the X
        server then asks the window to draw the uncovered area itself."""
        overlay = self.root.create_window(self.left, self.top, self.width, self.height, 0,
                                          self.screen.root_depth, background_pixel=OVERLAY_PIXEL,
                                          override_redirect=True)
        overlay.map()
        self.x11.sync()
        covered = self.grab()
        overlay.destroy()
        self.x11.sync()
        return covered

    def save(self, shot, path):
        rows = b"".join(b"\0" + bytes(v for x in range(self.width)
                                      for v in reversed(self.pixel(shot, x, y)))
                        for y in range(self.height))

        def chunk(kind, data):
            return (struct.pack(">I", len(data)) + kind + data
                    + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

        with open(path, "wb") as png:
            png.write(b"\x89PNG\r\n\x1a\n"
                      + chunk(b"IHDR", struct.pack(">IIBBBBB", self.width, self.height, 8, 2, 0, 0, 0))
                      + chunk(b"IDAT", zlib.compress(rows, 6)) + chunk(b"IEND", b""))


def same_share(one, other):
    pixels = len(one) // 4
    same = sum(1 for i in range(0, len(one), 4) if one[i:i + 3] == other[i:i + 3])
    return same / pixels


def find_window(connection, title, pid, seconds):
    """The shown top-level window of process pid titled title."""
    root = connection.screen().root
    pid_atom = connection.intern_atom("_NET_WM_PID")
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        for child in root.query_tree().children:
            try:
                owner = child.get_full_property(pid_atom, X.AnyPropertyType)
                if (owner and owner.value[0] == pid and child.get_wm_name() == title
                        and child.get_attributes().map_state == X.IsViewable):
                    return child.id
            except Exception:  # gone meanwhile
                continue
        time.sleep(0.05)
    fail(f"no window '{title}' of process {pid} within {seconds} s")


def cpu_seconds(pid):
    """User and system time process pid has used so far."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def time_clean(temp, pid, pinging=True):
    marker = os.path.join(temp, "deleted.txt")
    connection = display.Display()
    window_id = find_window(connection, "Win 95/98 Brightsweep", pid, 30)
    geometry = connection.create_resource_object("window", window_id).get_geometry()
    window = Window(connection, window_id, geometry.height - 362)
    window.ping()
    window.click_box(4)
    window.ping()
    cpu_before = cpu_seconds(pid)
    started = time.monotonic()
    window.click(window.at(*CLEAN))
    window.answers.clear()
    # Measured, not judged: only a window gone for good fails here.
    while not os.path.exists(marker):
        if pinging:
            window.ping(limit=30)
        time.sleep(0.01)
    # The marker is the clean's last file; its handler ends a moment later.
    window.ping(limit=30)
    wall = time.monotonic() - started
    cpu = cpu_seconds(pid) - cpu_before
    event = protocol.event.ClientMessage(
        window=window.window, client_type=window.protocols,
        data=(32, [connection.intern_atom("WM_DELETE_WINDOW"), X.CurrentTime, 0, 0, 0]))
    window.window.send_event(event, event_mask=0)
    connection.sync()
    print(json.dumps({"slowest_ping_ms": max(window.answers) * 1000 if pinging else None,
                      "pings": len(window.answers), "wall_s": wall, "cpu_s": cpu}))


def main():
    if len(sys.argv) == 4 and sys.argv[1] in ("--time-clean", "--time-clean-quietly"):
        time_clean(sys.argv[2], int(sys.argv[3]), pinging=sys.argv[1] == "--time-clean")
        return
    if len(sys.argv) != 5:
        fail("usage: live_window.py WINDOW_ID MENU_BAR_HEIGHT TEMP_FOLDER SHOTS_FOLDER")
    window_id, menu_bar, temp, shots = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
    marker = os.path.join(temp, "deleted.txt")
    if os.path.exists(marker):
        fail("TEMP holds a marker before the clean")
    connection = display.Display()
    window = Window(connection, window_id, menu_bar)

    # Check4 ticked and drawn so: the picture the window must show again
    # while the clean runs.
    window.ping()
    window.click_box(4)
    window.ping()
    deadline = time.monotonic() + 5
    while True:
        before = window.grab()
        if window.ticked(before, 4) and not window.ticked(before, 2):
            break
        if time.monotonic() > deadline:
            fail("Check4 does not show ticked after a click")
        time.sleep(0.02)
    window.save(before, os.path.join(shots, "before.png"))

    window.click(window.at(*CLEAN))
    started = time.monotonic()
    window.ping()

    covered = window.cover()
    if same_share(covered, before) > 0.1:
        fail("the covering window did not hide the window")
    while True:
        during = window.grab()
        if os.path.exists(marker):
            fail(f"the clean ended before the window drew itself again "
                 f"({same_share(during, before):.0%} of it as before, pings {window.summary()})")
        if same_share(during, before) >= 0.95:
            break
        window.ping()
    window.save(during, os.path.join(shots, "during.png"))
    print(f"drawn_after_ms {(time.monotonic() - started) * 1000:.0f}")

    # Pinged through the first half of the run; then the click on Check2
    # is the last thing the window hears of, so that it has to come through
    # on its own once the run is over.
    total = len(os.listdir(temp))
    while True:
        for _ in range(5):
            window.ping()
            time.sleep(PING_INTERVAL)
        left = len(os.listdir(temp))
        if os.path.exists(marker):
            fail(f"the clean ended before Check2 was clicked; the click would prove nothing "
                 f"(pings {window.summary()})")
        if left <= total // 2:
            break
    window.click_box(2)
    if os.path.exists(marker):
        fail("the clean ended before Check2 was clicked; the click proves nothing")
    print(f"pings {len(window.answers)}")
    print(f"slowest_ping_ms {max(window.answers) * 1000:.1f}")
    while not os.path.exists(marker):
        time.sleep(0.01)
    print(f"clean_ms {(time.monotonic() - started) * 1000:.0f}")

    # The click was queued: once the handler has ended it ticks Check2,
    # after the run unticked every box.
    deadline = time.monotonic() + 10
    while True:
        after = window.grab()
        if window.ticked(after, 2) and not window.ticked(after, 4):
            break
        if time.monotonic() > deadline:
            window.save(after, os.path.join(shots, "after.png"))
            fail("after the clean Check2 is not the one box ticked")
        time.sleep(0.02)
    window.save(after, os.path.join(shots, "after.png"))
    print("check2_ticked_after_run yes")


if __name__ == "__main__":
    main()
