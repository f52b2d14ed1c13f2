#!/usr/bin/env python3
"""Runs every benchmark side by side with its floor and prints one table.

The machines this runs on are shared and noisy, so no figure is an absolute
time: each is the ratio of two things measured back to back in the same run,
their order alternating from run to run, and the table shows the median over
all runs. Each side's file tree is made fresh just before it runs, outside
the timing, on the same file system for both sides, and every side whose time
is compared runs on the same one CPU.
"""

import argparse
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TITLE = "Win 95/98 Brightsweep"

# The six folders of a drive, as the table of cleaning targets names them.
DRIVE_FOLDERS = [
    "WINDOWS/RECENT",
    "WINDOWS/Temporary Internet Files",
    "WINDOWS/COOKIES",
    "WINDOWS/TEMP",
    "RECYCLED",
    "WINDOWS/Downloaded Program Files",
]
MARKERS = {"deleted.txt", "deleted.inf"}
# What bench_checked_delete does per file: the least code doing the same safe
# work as a clean, and so the floor the clean is held to.
FLOOR = "open+fstat+xattr+lease+unlink+close loop"
# The images of 12 and 13: a FAT32 drive of 256 MiB (mkfs.fat -C takes KiB),
# with a cluster of 512 bytes, and TEMP's files in them: names in 8.3 form,
# which mcopy copies in seconds where it takes minutes for 10,000 long names
# that differ only at their end, and a few bytes each, a cluster apiece.
IMAGE_KB = 262144
IMAGE_COUNTS = (2000, 10000)
IMAGE_FILES = ("J", ".TMP", 8)


def log(message):
    print(message, file=sys.stderr, flush=True)


class Bench:
    def __init__(self, build, work, runs):
        self.bin = build / "bench"
        self.program = build / "app" / "brightsweep"
        self.work = work
        self.runs = runs
        self.rows = []

    # -- helpers -----------------------------------------------------------

    def make_files(self, folder, count, prefix="junk", suffix=".tmp", size=None):
        folder.mkdir(parents=True, exist_ok=True)
        subprocess.run([self.bin / "bench_make_files", folder, str(count), prefix, suffix,
                        *([] if size is None else [str(size)])],
                       check=True)

    def fresh(self, path):
        if path.exists():
            shutil.rmtree(path)
        path.mkdir(parents=True)
        return path

    def make_drive(self, root, total):
        self.fresh(root)
        base, extra = divmod(total, len(DRIVE_FOLDERS))
        for index, folder in enumerate(DRIVE_FOLDERS):
            self.make_files(root / folder, base + (1 if index < extra else 0))

    @staticmethod
    def timed(command, **kwargs):
        """The wall time of command, run to its end on one CPU (on_one_cpu)."""
        start = time.perf_counter()
        result = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                preexec_fn=Bench.on_one_cpu(), **kwargs)
        elapsed = time.perf_counter() - start
        if result.returncode != 0:
            raise RuntimeError(f"{command[0]} failed ({result.returncode}): "
                               f"{result.stderr.decode(errors='replace').strip()}")
        return elapsed

    @staticmethod
    def leftovers(folder, allowed=frozenset()):
        return [name for name in os.listdir(folder) if name not in allowed]

    def row(self, number, what, ours, reference, ratio, target, met, unit="ms"):
        self.rows.append((number, what, ours, reference, ratio, target, met, unit))

    def alternate(self, run, sides):
        """The timed sides of one run, rotated so that each goes first in turn."""
        shift = run % len(sides)
        return sides[shift:] + sides[:shift]

    # -- 1: delete-by-pattern against find -delete ---------------------------

    def delete_by_pattern(self, count):
        folders = {name: self.work / f"delete-{name}" for name in ("ours", "floor", "rules")}
        sides = [
            ("ours", [self.bin / "bench_delete", folders["ours"], "*.*"]),
            ("floor", ["find", folders["floor"], "-maxdepth", "1", "-type", "f", "-delete"]),
            ("rules", [self.bin / "bench_checked_delete", folders["rules"]]),
        ]
        times = {name: [] for name in folders}
        ratios = {"floor": [], "rules": []}
        for run in range(self.runs):
            measured = {}
            for name, command in self.alternate(run, sides):
                self.make_files(self.fresh(folders[name]), count)
                os.sync()
                measured[name] = self.timed(command)
            for folder in folders.values():
                left = self.leftovers(folder)
                if left:
                    raise RuntimeError(f"{folder} still holds {len(left)} files after the delete")
            for name in times:
                times[name].append(measured[name])
            for name in ratios:
                ratios[name].append(measured["ours"] / measured[name])
        ours = statistics.median(times["ours"]) * 1e3
        # find deletes without a look at the file: a reference, not a floor.
        ratio = statistics.median(ratios["floor"])
        self.row("1", f'delete-by-pattern "*.*", {count:,} files / find -delete',
                 ours, statistics.median(times["floor"]) * 1e3, ratio, "(info)", None)
        ratio = statistics.median(ratios["rules"])
        self.row("1r", f"  same / {FLOOR}", ours,
                 statistics.median(times["rules"]) * 1e3, ratio, "<= 1.10", ratio <= 1.10)

    # -- 10: what the in-use check costs, per file, on tmpfs and on ext4 ------

    @staticmethod
    def cpu_timed(command):
        """The CPU time (user + system) the command took, in seconds."""
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        Bench.timed(command)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)

    def in_use_cost(self, count, places):
        for label, base in places:
            if base is None:
                log(f"10: no {label} at hand, row left out")
                continue
            folders = {name: Path(tempfile.mkdtemp(prefix=f"in-use-{name}-", dir=base))
                       for name in ("lease", "plain")}
            sides = [("lease", [self.bin / "bench_checked_delete", folders["lease"]]),
                     ("plain", [self.bin / "bench_checked_delete", "--no-lease", folders["plain"]])]
            costs, plain = [], []
            try:
                for run in range(self.runs):
                    for folder in folders.values():
                        self.make_files(self.fresh(folder), count)
                    os.sync()
                    measured = {name: self.cpu_timed(command) for name, command in self.alternate(run, sides)}
                    costs.append((measured["lease"] - measured["plain"]) / count * 1e6)
                    plain.append(measured["plain"] / count * 1e6)
            finally:
                for folder in folders.values():
                    shutil.rmtree(folder, ignore_errors=True)
            cost, floor = statistics.median(costs), statistics.median(plain)
            self.row("10" if label == "tmpfs" else "10e",
                     f"in-use check per file, {label}, CPU / checked delete without it",
                     cost, floor, cost / floor, "(info)", None, unit="us")

    # -- 2 and 3: the clean run against find -delete and against BleachBit ---

    def bleachbit_home(self, drive):
        home = self.fresh(self.work / "bleachbit-home")
        cleaners = home / ".config" / "bleachbit" / "cleaners"
        cleaners.mkdir(parents=True)
        actions = "\n".join(
            f'    <action command="delete" search="walk.files" path="{drive / folder}"/>'
            for folder in DRIVE_FOLDERS)
        (cleaners / "brightsweep_bench.xml").write_text(f"""<?xml version="1.0" encoding="UTF-8"?>
<cleaner id="brightsweep_bench">
  <label>Brightsweep benchmark</label>
  <option id="junk">
    <label>Junk folders</label>
    <description>The six folders of the benchmark drive</description>
{actions}
  </option>
</cleaner>
""")
        return home

    def clean_run(self, total, with_peer):
        drives = {name: self.work / f"drive-{name}" for name in ("ours", "floor", "rules")}
        if with_peer:
            drives["peer"] = self.work / "drive-peer"
            peer_env = dict(os.environ, HOME=str(self.bleachbit_home(drives["peer"])))
        times = {name: [] for name in drives}
        ratios, rule_ratios, speedups = [], [], []
        for run in range(self.runs):
            sides = [
                ("ours", [self.bin / "bench_clean_run", drives["ours"]], {}),
                ("floor", ["find", *[drives["floor"] / f for f in DRIVE_FOLDERS],
                           "-maxdepth", "1", "-type", "f", "-delete"], {}),
                ("rules", [self.bin / "bench_checked_delete", *[drives["rules"] / f for f in DRIVE_FOLDERS]], {}),
            ]
            if with_peer:
                sides.append(("peer", ["bleachbit", "--clean", "brightsweep_bench.junk"],
                              {"env": peer_env}))
            measured = {}
            for name, command, kwargs in self.alternate(run, sides):
                self.make_drive(drives[name], total)
                os.sync()
                measured[name] = self.timed(command, **kwargs)
            for name, drive in drives.items():
                allowed = MARKERS if name == "ours" else frozenset()
                for folder in DRIVE_FOLDERS:
                    left = self.leftovers(drive / folder, allowed)
                    if left:
                        raise RuntimeError(f"{name}: {drive / folder} still holds {len(left)} files")
            for name in times:
                times[name].append(measured[name])
            ratios.append(measured["ours"] / measured["floor"])
            rule_ratios.append(measured["ours"] / measured["rules"])
            if with_peer:
                speedups.append(measured["peer"] / measured["ours"])
        ours = statistics.median(times["ours"]) * 1e3
        ratio = statistics.median(ratios)
        self.row("2", f"clean run, 6 targets, {total:,} files / find -delete",
                 ours, statistics.median(times["floor"]) * 1e3, ratio, "(info)", None)
        ratio = statistics.median(rule_ratios)
        self.row("2r", f"  same / {FLOOR}", ours,
                 statistics.median(times["rules"]) * 1e3, ratio, "<= 1.10", ratio <= 1.10)
        if with_peer:
            speedup = statistics.median(speedups)
            self.row("3", f"clean run, same files / BleachBit --clean (speed-up)",
                     ours, statistics.median(times["peer"]) * 1e3, speedup, ">= 3x", speedup >= 3)

    # -- 7 and 8: the modes without a window against the bare loops ---------

    def console_modes(self, total):
        """--clean and --preview of all six targets as whole processes: the
        real program, its command line, its printing, against the bare
        checked loop with and without the unlink."""
        for mode, target in (("clean", 1.10), ("preview", 1.20)):
            drives = {name: self.work / f"console-{mode}-{name}" for name in ("ours", "rules")}
            floor = [self.bin / "bench_checked_delete"] + (["--list"] if mode == "preview" else [])
            times = {name: [] for name in drives}
            ratios = []
            for run in range(self.runs):
                sides = [
                    ("ours", [self.program, "--drive-c", drives["ours"], f"--{mode}", "all"]),
                    ("rules", [*floor, *[drives["rules"] / f for f in DRIVE_FOLDERS]]),
                ]
                measured = {}
                for name, command in self.alternate(run, sides):
                    self.make_drive(drives[name], total)
                    os.sync()
                    measured[name] = self.timed(command)
                for folder in DRIVE_FOLDERS:
                    held = self.leftovers(drives["ours"] / folder, MARKERS)
                    if len(held) != (0 if mode == "clean" else len(os.listdir(drives["rules"] / folder))):
                        raise RuntimeError(f"--{mode} left {drives['ours'] / folder} with {len(held)} files")
                for name in times:
                    times[name].append(measured[name])
                ratios.append(measured["ours"] / measured["rules"])
            ratio = statistics.median(ratios)
            what = (f"--clean all, 100,000 files / {FLOOR}" if mode == "clean"
                    else "--preview all, same files / the same loop without unlink")
            self.row("7" if mode == "clean" else "8", what.replace("100,000", f"{total:,}"),
                     statistics.median(times["ours"]) * 1e3, statistics.median(times["rules"]) * 1e3,
                     ratio, f"<= {target:.2f}", ratio <= target)

    # -- 4 and 5: first-match and the case-insensitive look-up ----------------

    def lookup_folder(self, name, count, prefix, suffix):
        folder = self.fresh(self.work / name)
        self.make_files(folder, count, prefix, suffix)
        return folder

    def lookups(self, large_count):
        small = self.lookup_folder("lookup-1000", 1000, "junk", ".tmp")
        large = self.lookup_folder(f"lookup-{large_count}", large_count, "junk", ".tmp")
        folded = self.lookup_folder("lookup-folded-100000", 100000, "entry", ".dat")
        name = "ENTRY0050000.DAT"
        out = self.work / "lookup.json"
        result = subprocess.run([self.bin / "bench_lookup", "--small", small, "--large", large,
                        "--folded", folded, "--name", name,
                        f"--benchmark_repetitions={self.runs}",
                        "--benchmark_enable_random_interleaving=true",
                        f"--benchmark_out={out}", "--benchmark_out_format=json"],
                       check=False, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if result.returncode != 0:
            raise RuntimeError(f"bench_lookup failed: {result.stderr.decode(errors='replace').strip()}")
        scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}
        runs = {}
        for entry in json.loads(out.read_text())["benchmarks"]:
            if entry.get("run_type") == "iteration":
                runs.setdefault(entry["run_name"], []).append(entry["real_time"] * scale[entry["time_unit"]])
        median = {name: statistics.median(values) for name, values in runs.items()}
        for folder in (small, large, folded):
            shutil.rmtree(folder)
        ratio = median["first_match/large"] / median["first_match/small"]
        self.row("4", f'first-match "*.*", {large_count:,} / 1,000 entries',
                 median["first_match/large"], median["first_match/small"], ratio, "<= 2", ratio <= 2)
        ratio = median["folded_lookup"] / median["readdir_pass"]
        self.row("5", "look-up in other case, 100,000 entries / readdir pass",
                 median["folded_lookup"], median["readdir_pass"], ratio, "<= 1.5", ratio <= 1.5)

    # -- 6: start-up against a minimal Qt main window -----------------------

    def sample_drive(self):
        root = self.fresh(self.work / "sample-drive")
        for index, folder in enumerate(DRIVE_FOLDERS):
            self.make_files(root / folder, 20 + index)
        return root

    def start_xvfb(self):
        read_end, write_end = os.pipe()
        server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24",
                                   "-nolisten", "tcp"], pass_fds=(write_end,),
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            display = pipe.readline().strip()
        if not display:
            server.kill()
            raise RuntimeError("Xvfb did not start")
        return server, f":{display}"

    def startup(self):
        drive = self.sample_drive()
        server, display = self.start_xvfb()
        runtime = tempfile.mkdtemp(prefix="runtime-", dir=self.work)
        os.chmod(runtime, 0o700)
        env = dict(os.environ, DISPLAY=display, XDG_RUNTIME_DIR=runtime)
        env.pop("QT_QPA_PLATFORM", None)
        sides = [
            ("ours", [str(self.program), "--drive-c", str(drive)]),
            ("floor", [str(self.bin / "bench_minimal_window")]),
            ("text", [str(self.bin / "bench_captioned_window")]),
        ]
        samples = {name: [] for name, _ in sides}
        try:
            # One unmeasured start of each, so neither pays for a cold cache alone.
            for run in range(-2, self.runs):
                measured = {}
                for name, command in self.alternate(run, sides):
                    result = subprocess.run([self.bin / "bench_window_timer", "--timeout", "30", TITLE,
                                             "--", *command],
                                            env=env, capture_output=True, text=True)
                    if result.returncode != 0:
                        raise RuntimeError(f"{name}: its window never appeared: {result.stderr.strip()}")
                    figures = json.loads(result.stdout)
                    if figures["status"] != 0 or figures["ended_by"] != "close":
                        raise RuntimeError(f"{name} did not end cleanly on close: {figures}")
                    measured[name] = figures
                if run >= 0:
                    for name in samples:
                        samples[name].append(measured[name])
        finally:
            server.terminate()
            server.wait()
        for key, what, unit, scale in (("shown_ms", "start-up until window shown", "ms", 1),
                                       ("exit_ms", "start, show, close, exit", "ms", 1),
                                       ("maxrss_kb", "peak memory", "MiB", 1 / 1024)):
            ours = [s[key] for s in samples["ours"]]
            for reference, label, target in (("floor", "minimal Qt window", "<= 1.2"),
                                             ("text", "window with menu and captions", "(info)")):
                other = [s[key] for s in samples[reference]]
                ratio = statistics.median(o / f for o, f in zip(ours, other))
                self.row("6" if reference == "floor" else "6t",
                         f"{what} / {label}" if reference == "floor" else f"  same / {label}",
                         statistics.median(ours) * scale, statistics.median(other) * scale, ratio, target,
                         ratio <= 1.2 if reference == "floor" else None, unit)

    # -- 9 and 11: the window's clean and --clean temp, CPU against the floor -

    @staticmethod
    def on_one_cpu():
        """What a timed side starts with: one CPU and no other, the same for
        every side, so that none pays for moving between CPUs, and for the
        caches it leaves behind, while another does not. Of the CPUs this may
        use, the one that has handled the fewest disk completions: a kernel
        that does not account interrupt time apart charges each tick spent
        on them to whatever runs on that CPU, and a disk's completions can
        all go to one."""
        allowed = sorted(os.sched_getaffinity(0))
        cpu = allowed[0]
        try:
            with open("/proc/softirqs") as table:
                rows = {line.split(":")[0].strip(): line.split(":")[1].split() for line in table if ":" in line}
            completions = [int(count) for count in rows["BLOCK"]]
            cpu = min(allowed, key=lambda number: (completions[number], number))
        except (OSError, KeyError, IndexError, ValueError):
            pass
        return lambda: os.sched_setaffinity(0, {cpu})

    @staticmethod
    def cpu_of(command, **kwargs):
        """Runs command to its end on one CPU; the CPU time (user + system)
        it took, in seconds, from its own resource usage."""
        return Bench.wall_and_cpu(command, **kwargs)[1]

    @staticmethod
    def wall_and_cpu(command, pin=None, **kwargs):
        """Runs command to its end on one CPU (pin, as on_one_cpu gives it,
        or a fresh choice); its wall time and its CPU time (user + system,
        its own and that of every child it waited for), in seconds."""
        start = time.perf_counter()
        child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                 preexec_fn=pin or Bench.on_one_cpu(), **kwargs)
        _, status, usage = os.wait4(child.pid, 0)
        elapsed = time.perf_counter() - start
        message = child.stderr.read().decode(errors="replace").strip()
        child.stderr.close()
        if status != 0:
            raise RuntimeError(f"{command[0]} failed ({status}): {message}")
        return elapsed, usage.ru_utime + usage.ru_stime

    def references(self, folders):
        """The two sides every clean of TEMP is held against, each deleting
        the same files in a folder of its own."""
        return [("floor", [self.bin / "bench_checked_delete", folders["floor"]]),
                ("find", ["find", folders["find"], "-maxdepth", "1", "-type", "f", "-perm", "/222", "-delete"])]

    def fill_side(self, name, drive, folders, count):
        """count files for one side of a clean of TEMP, made just before it
        runs, so that every side meets the file system as the others do:
        with its own files in it and no one else's. "ours" is a drive whose
        TEMP alone holds them; the references' are their folders."""
        if name == "ours":
            for folder in DRIVE_FOLDERS:
                self.fresh(drive / folder)
            self.make_files(drive / "WINDOWS/TEMP", count)
        else:
            self.make_files(self.fresh(folders[name]), count)
        os.sync()

    def cpu_rows(self, number, what, where, cpu):
        ratio = statistics.median(o / f for o, f in zip(cpu["ours"], cpu["floor"]))
        self.row(number + "c", f"{what} CPU (user+sys) / {FLOOR}, {where}",
                 statistics.median(cpu["ours"]) * 1e3, statistics.median(cpu["floor"]) * 1e3, ratio,
                 "<= 1.10", ratio <= 1.10)
        ratio = statistics.median(o / f for o, f in zip(cpu["ours"], cpu["find"]))
        self.row(number + "f", f"  same / find -perm /222 -delete, {where}",
                 statistics.median(cpu["ours"]) * 1e3, statistics.median(cpu["find"]) * 1e3, ratio, "(info)", None)

    def window_run(self, drive, env, mode):
        """One clean of TEMP through the real window, timed by live_window.py
        in mode: --time-clean pings every 10 ms, --time-clean-quietly sends
        the window nothing and keeps the program on one CPU as cpu_of does.
        Its figures."""
        helper = Path(__file__).resolve().parent.parent / "tests" / "e2e" / "live_window.py"
        program = subprocess.Popen([self.program, "--drive-c", drive], env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                   preexec_fn=self.on_one_cpu() if mode == "--time-clean-quietly" else None)
        try:
            result = subprocess.run(["/usr/bin/python3", helper, mode, drive / "WINDOWS/TEMP", str(program.pid)],
                                    env=env, capture_output=True, text=True, timeout=600)
            if result.returncode != 0:
                raise RuntimeError(f"the window clean failed: {result.stdout.strip()} {result.stderr.strip()}")
            program.wait(timeout=30)
            return json.loads(result.stdout)
        finally:
            if program.poll() is None:
                program.kill()
                program.wait()

    def window_clean(self, count, place, suffix):
        """A clean of count files in TEMP through the real window under Xvfb:
        how long the window's thread goes without handling events (the
        slowest answer to a window manager's ping sent every 10 ms), and, in
        another clean of the same files that nothing pings, the CPU time the
        clean costs the program against the floor loop and the find that
        delete the same files."""
        base = Path(tempfile.mkdtemp(prefix="window-clean-", dir=place))
        drive = base / "drive"
        folders = {name: base / name for name in ("floor", "find")}
        server, display = self.start_xvfb()
        runtime = tempfile.mkdtemp(prefix="runtime-", dir=base)
        os.chmod(runtime, 0o700)
        env = dict(os.environ, DISPLAY=display, XDG_RUNTIME_DIR=runtime, QT_QPA_PLATFORM="xcb")
        stalls, walls = [], []
        cpu = {"ours": [], "floor": [], "find": []}
        try:
            for run in range(self.runs):
                self.fill_side("ours", drive, folders, count)
                pinged = self.window_run(drive, env, "--time-clean")
                if self.leftovers(drive / "WINDOWS/TEMP", MARKERS):
                    raise RuntimeError("files were left after the window clean")
                stalls.append(pinged["slowest_ping_ms"])
                walls.append(pinged["wall_s"])
                measured = {}
                for name, command in self.alternate(run, [("ours", None), *self.references(folders)]):
                    self.fill_side(name, drive, folders, count)
                    if command is None:
                        measured[name] = self.window_run(drive, env, "--time-clean-quietly")["cpu_s"]
                    else:
                        measured[name] = self.cpu_of(command)
                left = self.leftovers(drive / "WINDOWS/TEMP", MARKERS)
                for folder in folders.values():
                    left += self.leftovers(folder)
                if left:
                    raise RuntimeError(f"{len(left)} files were left after the window clean or a reference")
                for name, seconds in measured.items():
                    cpu[name].append(seconds)
                log(f"   run {run + 1}: slowest ping {pinged['slowest_ping_ms']:.1f} ms of {pinged['pings']}, "
                    f"clean {pinged['wall_s']:.1f} s; CPU of a clean nothing pings {measured['ours']:.2f} s / "
                    f"floor {measured['floor']:.2f} s / find {measured['find']:.2f} s")
        finally:
            server.terminate()
            server.wait()
            shutil.rmtree(base, ignore_errors=True)
        where = file_system_type(place)
        stall = max(stalls)
        self.row("9" + suffix, f"window's thread without events, clean of {count:,} files (slowest ping) / goal, "
                 f"{where}", stall, 100.0, stall / 100.0, "<= 1.00", stall <= 100.0)
        self.row("9" + suffix + "w", f"  wall time of that clean, {where}", statistics.median(walls) * 1e3, None,
                 None, "(info)", None)
        self.cpu_rows("9" + suffix, "  a clean nothing pings,", where, cpu)

    def clean_temp(self, count, place, suffix):
        """--clean temp of count files as a whole process, CPU time against
        the floor loop and the find on the same file system."""
        base = Path(tempfile.mkdtemp(prefix="clean-temp-", dir=place))
        drive = base / "drive"
        folders = {name: base / name for name in ("floor", "find")}
        cpu = {"ours": [], "floor": [], "find": []}
        try:
            for run in range(self.runs):
                sides = [("ours", [self.program, "--drive-c", drive, "--clean", "temp"]), *self.references(folders)]
                for name, command in self.alternate(run, sides):
                    self.fill_side(name, drive, folders, count)
                    cpu[name].append(self.cpu_of(command))
                log(f"   run {run + 1}: CPU {cpu['ours'][-1]:.2f} s / floor {cpu['floor'][-1]:.2f} s"
                    f" / find {cpu['find'][-1]:.2f} s")
                left = self.leftovers(drive / "WINDOWS/TEMP", MARKERS)
                for folder in folders.values():
                    left += self.leftovers(folder)
                if left:
                    raise RuntimeError(f"{len(left)} files were left after --clean temp or a reference")
        finally:
            shutil.rmtree(base, ignore_errors=True)
        self.cpu_rows("11" + suffix, f"--clean temp, {count:,} files,", file_system_type(place), cpu)

    # -- 12 and 13: drive C: in a disk image ---------------------------------

    @staticmethod
    def tool(*command):
        """Runs one of the tools that make and read images; its output."""
        result = subprocess.run([str(part) for part in command], capture_output=True, text=True)
        if result.returncode != 0:
            raise RuntimeError(f"{command[0]} failed ({result.returncode}): "
                               f"{(result.stderr or result.stdout).strip()}")
        return result.stdout

    def make_image(self, image, entries):
        """A raw image of a FAT32 drive made as a user makes one: mkfs.fat,
        the six folders with mmd, and entries (host folders) copied into it
        with mcopy -s, each into the drive's folder paired with it ("" for
        the root), where it joins the folder of its name made already."""
        image.unlink(missing_ok=True)
        self.tool("mkfs.fat", "-F", "32", "-C", image, IMAGE_KB)
        made = set()
        for folder in DRIVE_FOLDERS:
            parts = folder.split("/")
            for depth in range(1, len(parts) + 1):
                path = "/".join(parts[:depth])
                if path not in made:
                    self.tool("mmd", "-i", image, f"::/{path}")
                    made.add(path)
        for host, inside in entries:
            self.tool("mcopy", "-s", "-i", image, host, f"::/{inside}/" if inside else "::/")
        self.check_image(image)
        return image

    @staticmethod
    def copy_image(template, image):
        """A working copy of an image, holes and all, as the tools made it."""
        Bench.tool("cp", "--sparse=always", template, image)

    def check_image(self, image, temp=None):
        """fsck.fat -n must find nothing to say of the raw image, and TEMP
        must hold exactly temp (names, in any case) when it is given."""
        report = self.tool("fsck.fat", "-n", image).splitlines()
        if len(report) != 2 or not report[1].startswith(f"{image}: "):
            raise RuntimeError(f"fsck.fat -n {image}: " + " / ".join(report))
        if temp is not None:
            listing = self.tool("mdir", "-b", "-i", image, "::/WINDOWS/TEMP")
            names = sorted(line.rsplit("/", 1)[-1].lower() for line in listing.splitlines() if line.strip())
            if names != sorted(temp):
                raise RuntimeError(f"{image}: TEMP holds {len(names)} entries ({', '.join(names[:5])}"
                                   f"{', ...' if len(names) > 5 else ''}), not {', '.join(temp) or 'none'}")

    def check_qcow2(self, image, temp):
        self.tool("qemu-img", "check", "-q", image)
        raw = image.with_suffix(".raw")
        try:
            self.tool("qemu-img", "convert", "-O", "raw", image, raw)
            self.check_image(raw, temp)
        finally:
            raw.unlink(missing_ok=True)

    def image_clean(self, formats, place):
        """--clean temp of IMAGE_COUNTS files in TEMP on a raw and a qcow2
        image, against the program's own --clean temp of the same files in
        a folder, and against mdel of them from the raw image. The images
        are made once per size and copied before each side that uses one;
        every side of a round runs on the same one CPU, qemu-nbd with it."""
        base = Path(tempfile.mkdtemp(prefix="image-clean-", dir=place))
        where = file_system_type(place)
        templates = {}
        try:
            for count in IMAGE_COUNTS:
                source = base / f"source-{count}" / "TEMP"
                self.make_files(source, count, *IMAGE_FILES)
                started = time.perf_counter()
                raw = self.make_image(base / f"template-{count}.img", [(source, "WINDOWS")])
                self.check_image(raw, [name.lower() for name in os.listdir(source)])
                templates["raw", count] = raw
                templates["qcow2", count] = base / f"template-{count}.qcow2"
                self.tool("qemu-img", "convert", "-O", "qcow2", raw, templates["qcow2", count])
                log(f"   images of {count:,} files made in {time.perf_counter() - started:.1f} s")
                shutil.rmtree(source.parent)
            sides = [(kind, count) for count in IMAGE_COUNTS for kind in ("folder", "mdel", *formats)]
            figures = {side: [] for side in sides}
            for run in range(self.runs):
                pin = self.on_one_cpu()
                made = {}
                for kind, count in self.alternate(run, sides):
                    if kind == "folder":
                        drive = base / f"drive-{count}"
                        for folder in DRIVE_FOLDERS:
                            self.fresh(drive / folder)
                        self.make_files(drive / "WINDOWS/TEMP", count, *IMAGE_FILES)
                        command = [self.program, "--drive-c", drive, "--clean", "temp"]
                    else:
                        drive = base / f"{kind}-{count}.{'qcow2' if kind == 'qcow2' else 'img'}"
                        self.copy_image(templates["qcow2" if kind == "qcow2" else "raw", count], drive)
                        command = (["mdel", "-i", drive, "::/WINDOWS/TEMP/*"] if kind == "mdel"
                                   else [self.program, "--drive-c", drive, "--clean", "temp"])
                    made[kind, count] = drive
                    os.sync()
                    figures[kind, count].append(self.wall_and_cpu(command, pin))
                # What each side left, outside the timing: a clean that broke
                # the drive, or left a file, measured nothing worth having.
                for (kind, count), drive in made.items():
                    if kind == "folder":
                        left = self.leftovers(drive / "WINDOWS/TEMP", MARKERS)
                        if left:
                            raise RuntimeError(f"--clean temp left {len(left)} files in {drive}")
                        shutil.rmtree(drive)
                        continue
                    if kind == "qcow2":
                        self.check_qcow2(drive, ["deleted.txt"])
                    else:
                        self.check_image(drive, [] if kind == "mdel" else ["deleted.txt"])
                    drive.unlink()
                log(f"   run {run + 1}: " + ", ".join(
                    f"{kind} {count:,} {figures[kind, count][-1][0] * 1e3:.0f} ms" for kind, count in sides))
        finally:
            shutil.rmtree(base, ignore_errors=True)

        def median(side, measure):
            return statistics.median(figure[measure] for figure in figures[side]) * 1e3

        def ratio(ours, other, measure):
            return statistics.median(o[measure] / f[measure] for o, f in zip(figures[ours], figures[other]))

        small, large = IMAGE_COUNTS
        for kind in formats:
            number = "12" + kind[0]
            for count in IMAGE_COUNTS:
                goal = count == large
                for measure, label, suffix in ((0, "wall", ""), (1, "CPU (user+sys)", "c")):
                    value = ratio((kind, count), ("folder", count), measure)
                    what = (f"--clean temp, {count:,} files, {kind} image / same in a folder, {where}, {label}"
                            if measure == 0 else f"  same, {label}")
                    self.row(number + suffix, what, median((kind, count), measure), median(("folder", count), measure),
                             value, "<= 3.00" if goal else "(info)", value <= 3.0 if goal else None)
                value = ratio((kind, count), ("mdel", count), 0)
                self.row(number + "m", f"  same / mdel -i IMAGE ::/WINDOWS/TEMP/* (raw image), wall",
                         median((kind, count), 0), median(("mdel", count), 0), value, "(info)", None)
            for measure, label, suffix in ((0, "wall", "g"), (1, "CPU (user+sys)", "gc")):
                value = ratio((kind, large), (kind, small), measure)
                self.row(number + suffix, f"  {kind} image clean, {large:,} / {small:,} files, {label}",
                         median((kind, large), measure), median((kind, small), measure), value,
                         "<= 6.00" if measure == 0 else "(info)", value <= 6.0 if measure == 0 else None)

    def image_startup(self):
        """The window's start on a qcow2 image against its start on a folder
        holding the same drive (the sample drive of 6), timed to "shown" as
        6 times it, and with every side on one CPU besides."""
        folder = self.sample_drive()
        template = self.work / "sample-drive.qcow2"
        raw = self.make_image(self.work / "sample-drive.img",
                              [(folder / "WINDOWS" / name, "WINDOWS") for name in sorted(os.listdir(folder / "WINDOWS"))]
                              + [(folder / "RECYCLED", "")])
        self.tool("qemu-img", "convert", "-O", "qcow2", raw, template)
        raw.unlink()
        image = self.work / "drive.qcow2"
        server, display = self.start_xvfb()
        runtime = tempfile.mkdtemp(prefix="runtime-", dir=self.work)
        os.chmod(runtime, 0o700)
        env = dict(os.environ, DISPLAY=display, XDG_RUNTIME_DIR=runtime)
        env.pop("QT_QPA_PLATFORM", None)
        sides = [(pinned, kind) for pinned in (False, True) for kind in ("image", "folder")]
        samples = {side: [] for side in sides}
        try:
            for run in range(-2, self.runs):
                pin = self.on_one_cpu()
                measured = {}
                for pinned, kind in self.alternate(run, sides):
                    if kind == "image":
                        self.copy_image(template, image)
                        drive = image
                    else:
                        drive = self.sample_drive()
                    os.sync()
                    result = subprocess.run([self.bin / "bench_window_timer", "--timeout", "30", TITLE,
                                             "--", self.program, "--drive-c", drive],
                                            env=env, capture_output=True, text=True,
                                            preexec_fn=pin if pinned else None)
                    if result.returncode != 0:
                        raise RuntimeError(f"{kind}: its window never appeared: {result.stderr.strip()}")
                    figures = json.loads(result.stdout)
                    if figures["status"] != 0 or figures["ended_by"] != "close":
                        raise RuntimeError(f"{kind} did not end cleanly on close: {figures}")
                    measured[pinned, kind] = figures
                if run >= 0:
                    for side in sides:
                        samples[side].append(measured[side])
                    log(f"   run {run + 1}: shown after " + ", ".join(
                        f"{kind}{' (one CPU)' if pinned else ''} {measured[pinned, kind]['shown_ms']:.0f} ms"
                        for pinned, kind in sides))
        finally:
            server.terminate()
            server.wait()
        for number, key, what, pinned, target in (
                ("13", "shown_ms", "start-up until window shown, qcow2 image / folder, same drive", False, 1.5),
                ("13x", "exit_ms", "  start, show, close, exit", False, None),
                ("13p", "shown_ms", "  start-up until shown, both on one CPU", True, None)):
            ours = [sample[key] for sample in samples[pinned, "image"]]
            other = [sample[key] for sample in samples[pinned, "folder"]]
            value = statistics.median(o / f for o, f in zip(ours, other))
            self.row(number, what, statistics.median(ours), statistics.median(other), value,
                     f"<= {target}" if target else "(info)", value <= target if target else None)

    # -- the table ----------------------------------------------------------

    def print_table(self):
        header = ("#", "measurement (ours / reference)", "ours", "reference", "ratio", "target", "met")
        lines = []
        for number, what, ours, reference, ratio, target, met, unit in self.rows:
            lines.append((number, what, f"{ours:.3f} {unit}" if ours < 10 else f"{ours:.1f} {unit}",
                          "" if reference is None else
                          f"{reference:.3f} {unit}" if reference < 10 else f"{reference:.1f} {unit}",
                          "" if ratio is None else f"{ratio:.2f}", target,
                          "" if met is None else "yes" if met else "NO"))
        widths = [max(len(str(line[i])) for line in [header, *lines]) for i in range(len(header))]
        right = {2, 3, 4}

        def format_line(line):
            return "  ".join(str(cell).rjust(widths[i]) if i in right else str(cell).ljust(widths[i])
                             for i, cell in enumerate(line)).rstrip()

        print(format_line(header))
        print("  ".join("-" * width for width in widths))
        for line in lines:
            print(format_line(line))
        print(f"medians of {self.runs} alternating runs; ratio = median of the per-run ratios "
              f"(4 and 5: ratio of medians)")


def file_system_type(path):
    result = subprocess.run(["stat", "-f", "-c", "%T", path], capture_output=True, text=True)
    return result.stdout.strip() or "unknown"


def default_work_base(build):
    """A memory file system when there is room: the disk's own costs (journal,
    discard) would otherwise swamp, and blur, what the program itself adds."""
    shm = Path("/dev/shm")
    if shm.is_dir() and os.access(shm, os.W_OK):
        stats = os.statvfs(shm)
        if stats.f_bavail * stats.f_frsize >= 4 << 30 and stats.f_favail >= 1_500_000:
            return shm
    return build / "trees"


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", type=Path, required=True, help="the Release build folder")
    parser.add_argument("--work", type=Path,
                        help="the folder under which the file trees are made, on one file system "
                             "(default: /dev/shm when it has room, else BUILD/trees)")
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--only", default="1,2,3,4,5,6,7,8,9,10,11,12,13",
                        help="comma-separated measurement numbers (12r or 12q: the image clean of one format)")
    parser.add_argument("--disk", type=Path,
                        help="a folder on a disk for the cleans of TEMP (9, 10, 11), whose cost the "
                             "disk decides (default: BUILD/trees)")
    parser.add_argument("--delete-counts", default="10000,100000",
                        help="comma-separated folder sizes for delete-by-pattern")
    parser.add_argument("--large", type=int, default=1_000_000, help="entries of the large first-match folder")
    args = parser.parse_args()
    only = set(args.only.split(","))
    build = args.build.resolve()
    base = (args.work or default_work_base(build)).resolve()
    base.mkdir(parents=True, exist_ok=True)
    work = Path(tempfile.mkdtemp(prefix="brightsweep-bench-", dir=base))
    load_before = os.getloadavg()[0]
    bench = Bench(build, work, args.runs)
    try:
        if "1" in only:
            for count in (int(text) for text in args.delete_counts.split(",")):
                log(f"1: delete-by-pattern over {count:,} files")
                bench.delete_by_pattern(count)
        if "2" in only or "3" in only:
            log("2, 3: clean run over 100,000 files")
            bench.clean_run(100_000, with_peer="3" in only)
        if "7" in only or "8" in only:
            log("7, 8: --clean and --preview over 100,000 files")
            bench.console_modes(100_000)
        if "4" in only or "5" in only:
            log("4, 5: first-match and look-up")
            bench.lookups(args.large)
        if "6" in only:
            log("6: start-up under Xvfb")
            bench.startup()
        disk = (args.disk or build / "trees").resolve()
        disk.mkdir(parents=True, exist_ok=True)
        # The clean of TEMP where an unlink is dear and where it is cheap: a
        # disk, and memory when the machine has it.
        places = [(disk, "")]
        if file_system_type("/dev/shm") == "tmpfs":
            places.append((Path("/dev/shm"), "t"))
        if "9" in only:
            for place, suffix in places:
                log(f"9: a clean of 100,000 files through the window, on {file_system_type(place)} ({place})")
                bench.window_clean(100_000, place, suffix)
        if "11" in only:
            for place, suffix in places:
                log(f"11: --clean temp of 100,000 files, on {file_system_type(place)} ({place})")
                bench.clean_temp(100_000, place, suffix)
        if "10" in only:
            log("10: the in-use check per file, on tmpfs and on ext4")
            bench.in_use_cost(100_000, [
                ("tmpfs", Path("/dev/shm") if file_system_type("/dev/shm") == "tmpfs" else None),
                ("ext4", disk if file_system_type(disk) == "ext2/ext3" else None)])
        formats = [kind for kind in ("raw", "qcow2") if "12" in only or "12" + kind[0] in only]
        if formats:
            place = Path("/dev/shm") if file_system_type("/dev/shm") == "tmpfs" else base
            log(f"12: --clean temp of {' and '.join(f'{count:,}' for count in IMAGE_COUNTS)} files on "
                f"{' and '.join(formats)} images, in a folder and by mdel, on {file_system_type(place)} ({place})")
            bench.image_clean(formats, place)
        if "13" in only:
            log("13: start-up on a qcow2 image and on a folder, under Xvfb")
            bench.image_startup()
    finally:
        bench.print_table()
        print(f"file trees on {file_system_type(work)} ({base}); load average {load_before:.1f} before, "
              f"{os.getloadavg()[0]:.1f} after, on {os.cpu_count()} cores")
        shutil.rmtree(work, ignore_errors=True)
    return 0 if all(row[6] is not False for row in bench.rows) else 1


if __name__ == "__main__":
    sys.exit(main())
