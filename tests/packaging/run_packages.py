#!/usr/bin/env python3
"""Whether what scripts/run builds needs only the packages scripts/run installs.

    run_packages.py SOURCE_DIR BUILD_DIR SCRATCH_DIR
    run_packages.py --rows SOURCE_DIR BUILD_DIR SCRATCH_DIR

Machines that ran the tests have the test packages too, so only a check like
this one catches a run build that needs one of them. Two halves:

- Configuring: SCRATCH_DIR is configured as scripts/run configures build/
  (the arguments come from scripts/lib/packages.sh, where scripts/run takes
  them too) in a mount namespace where /usr shows only the files of the
  packages scripts/run installs, what they depend on and what every Debian
  system has (essential and required packages): every other package's files
  are hidden by an overlay's whiteouts, as if it had never been installed.
- Building: what compiling and linking the program read, from BUILD_DIR's
  own build of it (the compiler's dependency lists and the link's inputs, the
  same with the tests on or off), must belong to those packages.

A package is one installed instance: where it is installed for two
architectures, as Wine's users have it (libc6:amd64 and libc6:i386), dpkg
wants the architecture with its name, and each instance is judged for
itself. Every answer of dpkg is checked: a query that fails fails the check,
it never stands for "no files".

With --rows, the check runs as above, then on a copy of dpkg's database
where every package installed for one architecture only that may have a
second (Multi-Arch: same) has an i386 twin, as wine32:i386 brings them; then
there, with one file of a package outside the list among what the build
reads, which must fail; and with a dpkg-query that fails, which must fail.

Prints what fails and exits 1; exits 77 where no mount namespace can be had.
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

# Debian 12 keeps /bin, /sbin and /lib in /usr; packages still list them there.
MERGED = {"/bin/": "/usr/bin/", "/sbin/": "/usr/sbin/", "/lib/": "/usr/lib/", "/lib64/": "/usr/lib64/"}
SKIPPED = 77


class QueryFailed(Exception):
    pass


def in_usr(path):
    for old, new in MERGED.items():
        if path.startswith(old) and os.path.islink(old.rstrip("/")):
            return new + path[len(old):]
    return path


def run_settings(source):
    script = ('. "$0"; printf "%s\\n" "${BUILD_PACKAGES[@]}"; echo --; '
              'printf "%s\\n" "${RUN_CMAKE_ARGUMENTS[@]}"')
    out = subprocess.run(["bash", "-c", script, source / "scripts/lib/packages.sh"],
                         check=True, capture_output=True, text=True).stdout.split("\n")
    split = out.index("--")
    return out[:split], [line for line in out[split + 1:] if line]


class Dpkg:
    """dpkg-query on this machine's database, or on the copy in admindir."""

    def __init__(self, admindir=None):
        self.admindir = admindir

    def query(self, *arguments, not_found_is_fine=False):
        command = ["dpkg-query", *([f"--admindir={self.admindir}"] if self.admindir else []), *arguments]
        result = subprocess.run(command, capture_output=True, text=True)
        if result.returncode == 0:
            return result.stdout
        # -S says so, and exits 1, for a path no package owns; anything
        # else it says is a failure.
        errors = [line for line in result.stderr.split("\n") if line.strip()]
        if not_found_is_fine and result.returncode == 1 \
                and all("no path found matching pattern" in line for line in errors):
            return result.stdout
        shown = " ".join(command[:4]) + (" ..." if len(command) > 4 else "")
        raise QueryFailed(f"{shown} failed with status {result.returncode}: " + " / ".join(errors[:3]))

    def installed(self):
        """Each installed instance by the name dpkg wants for it (libc6:amd64,
        bash): its package name, architecture, whether every system has it,
        and what it depends on."""
        fields = ("${binary:Package}\t${Package}\t${Architecture}\t${db:Status-Status}\t${Essential}\t"
                  "${Priority}\t${Pre-Depends}\t${Depends}\t${Provides}\n")
        instances = {}
        for line in self.query("-W", "-f", fields).split("\n"):
            parts = line.split("\t")
            if len(parts) != 9 or parts[3] != "installed":
                continue
            key, name, arch, _, essential, priority, pre, depends, provides = parts
            instances[key] = {"name": name, "arch": arch, "everywhere": essential == "yes" or priority == "required",
                              "depends": f"{pre}, {depends}", "provides": provides}
        return instances

    def files_of(self, keys):
        files = set()
        keys = sorted(keys)
        for at in range(0, len(keys), 500):
            out = self.query("-L", *keys[at:at + 500])
            files.update(in_usr(line) for line in out.split("\n") if line.startswith("/") and line != "/.")
        return files

    def owners(self, paths):
        """Each system path with the instances that own it, itself or where it leads."""
        asked = {path: {path, os.path.realpath(path)} for path in paths
                 if path.startswith(("/usr/", "/lib", "/bin/", "/etc/", "/opt/")) and os.path.exists(path)}
        names = sorted({name for names in asked.values() for name in names})
        found = {}
        for at in range(0, len(names), 500):
            out = self.query("-S", *names[at:at + 500], not_found_is_fine=True)
            for line in out.split("\n"):
                if ": " in line:
                    packages, path = line.split(": ", 1)
                    found.setdefault(path, set()).update(p.strip() for p in packages.split(","))
        return {path: set().union(*(found.get(name, set()) for name in names))
                for path, names in asked.items() if any(name in found for name in names)}


def resolver(instances):
    """wanted(name, arch): the instances a dependency on name of a package of
    arch stands for: the one of that architecture, else of none (all), else
    every one there is, as for Multi-Arch: foreign; likewise of what
    provides name."""
    by_name, providers = {}, {}
    for key, instance in instances.items():
        by_name.setdefault(instance["name"], []).append(key)
        for virtual in instance["provides"].split(","):
            if virtual.strip():
                providers.setdefault(virtual.split("(")[0].strip().split(":")[0], []).append(key)

    def wanted(name, arch):
        candidates = by_name.get(name) or providers.get(name, [])
        for preferred in (arch, "all"):
            chosen = [key for key in candidates if instances[key]["arch"] == preferred]
            if chosen:
                return chosen
        return candidates
    return wanted


def closure(roots, instances, native):
    """The instances roots stand for, and everything installed they depend
    on, any installed choice of an alternative counting."""
    wanted = resolver(instances)
    seen = set()
    todo = [key for root in roots for key in ([root] if root in instances else wanted(root, native))]
    while todo:
        key = todo.pop()
        if key in seen:
            continue
        seen.add(key)
        for clause in instances[key]["depends"].split(","):
            for choice in clause.split("|"):
                name = choice.split("(")[0].strip().split(":")[0]
                if name:
                    todo.extend(wanted(name, instances[key]["arch"]))
    return seen


def build_inputs(build):
    def ninja(*arguments):
        return subprocess.run(["ninja", "-C", build, "-t", *arguments], check=True,
                              capture_output=True, text=True).stdout.split("\n")
    inputs = [line for line in ninja("inputs", "brightsweep") if line]
    paths = {line for line in inputs if line.startswith("/")}
    for line in ninja("deps", *[line for line in inputs if line.endswith(".o")]):
        if line.startswith("    ") and line.strip().startswith("/"):
            paths.add(line.strip())
    return paths


def hide(upper, hidden):
    """Whiteouts in the overlay's upper layer for each hidden path of /usr
    that is there, the topmost only where a whole folder goes."""
    gone = set()
    for path in sorted(hidden):
        if not path.startswith("/usr/") or any(str(parent) in gone for parent in Path(path).parents):
            continue
        if not os.path.lexists(path):
            continue
        target = upper / path[len("/usr/"):]
        target.parent.mkdir(parents=True, exist_ok=True)
        if not os.path.lexists(target):
            os.mknod(target, 0o600 | 0o020000, os.makedev(0, 0))
        gone.add(path)


def configure_inside(source, scratch, arguments):
    """Run in the namespace: /usr as the run packages alone leave it, then configure."""
    upper, work = scratch / "upper", scratch / "work"
    options = f"lowerdir=/usr,upperdir={upper},workdir={work}" + (",userxattr" if os.getuid() != 0 else "")
    subprocess.run(["mount", "-t", "overlay", "overlay", "-o", options, "/usr"], check=True)
    result = subprocess.run(["cmake", "-S", source, "-B", scratch / "tree", *arguments],
                            capture_output=True, text=True)
    print(result.stdout + result.stderr)
    return result.returncode


def remove_tree(path):
    """Removes path whole: an overlay mounted by an ordinary user leaves a
    folder of mode 0 in its work folder, which is still that user's to open up."""
    if not os.path.lexists(path):
        return
    for folder, subfolders, _ in os.walk(path):
        for name in subfolders:
            try:
                os.chmod(os.path.join(folder, name), 0o700)
            except OSError:
                pass
    shutil.rmtree(path, ignore_errors=True)
    if os.path.lexists(path):
        raise RuntimeError(f"cannot remove {path}")


def namespace():
    return ["unshare", "--mount"] if os.getuid() == 0 else ["unshare", "--user", "--map-root-user", "--mount"]


def check(source, build, scratch, dpkg, also_read=()):
    """(status, lines): the whole check, with the paths also_read among what
    the build read."""
    run_packages, arguments = run_settings(source)
    native = subprocess.run(["dpkg", "--print-architecture"], check=True, capture_output=True, text=True).stdout.strip()
    try:
        instances = dpkg.installed()
        names = {instance["name"] for instance in instances.values()}
        missing = [name for name in run_packages if name not in names]
        if missing:
            return 1, [f"FAIL: scripts/run's packages are not installed here: {' '.join(missing)}"]
        base = [key for key, instance in instances.items() if instance["everywhere"]]
        allowed = closure(run_packages + base, instances, native)
        allowed_files = dpkg.files_of(allowed)
        if not allowed_files:
            return 1, ["FAIL: dpkg lists no file of the packages scripts/run installs"]
        hidden = dpkg.files_of(set(instances) - allowed) - allowed_files
        owned = dpkg.owners(build_inputs(build) | set(also_read))
    except QueryFailed as failure:
        return 1, [f"FAIL: {failure}"]

    problems = []
    for path, owned_by in sorted(owned.items()):
        if not owned_by & allowed:
            problems.append(f"building reads {path}, of {', '.join(sorted(owned_by))}")

    remove_tree(scratch)
    for folder in ("upper", "work"):
        (scratch / folder).mkdir(parents=True)
    hide(scratch / "upper", hidden)
    if subprocess.run([*namespace(), "true"], capture_output=True).returncode != 0:
        return SKIPPED, [f"SKIP: no mount namespace here ({' '.join(namespace())})"]
    inside = subprocess.run([*namespace(), sys.executable, __file__, "--inside", source, scratch, *arguments],
                            capture_output=True, text=True)
    if inside.returncode != 0:
        problems.append("configuring with only those packages failed:\n" + inside.stdout + inside.stderr)
    remove_tree(scratch)
    lines = [f"FAIL: {problem} (scripts/run installs {len(allowed)} packages with what they need)"
             for problem in problems[:40]]
    if problems:
        return 1, lines
    return 0, [f"PASS: configured with {len(hidden)} files of {len(set(instances) - allowed)} other packages "
               f"hidden; the program's build reads only files of the {len(allowed)} packages scripts/run brings"]


# --- The rows of --rows --------------------------------------------------------

def with_second_architecture(admindir, foreign="i386"):
    """admindir made a copy of this machine's dpkg database in which each
    instance of Multi-Arch: same without a twin has one of foreign, listing
    its files where that architecture has them; their names, sorted."""
    source = Path("/var/lib/dpkg")
    (admindir / "info").mkdir(parents=True)
    (admindir / "updates").mkdir()
    for name in ("arch", "diversions", "statoverride"):
        if (source / name).exists():
            shutil.copy(source / name, admindir / name)
    with open(admindir / "arch", "a") as arch:
        arch.write(foreign + "\n")
    # format says how the lists are named: with the architecture, or not.
    for listed in [*(source / "info").glob("*.list"), source / "info" / "format"]:
        if listed.exists():
            shutil.copy(listed, admindir / "info" / listed.name)
    stanzas = (source / "status").read_text().split("\n\n")
    fields = [dict(line.split(": ", 1) for line in stanza.split("\n") if ": " in line and not line.startswith(" "))
              for stanza in stanzas]
    have = {(field.get("Package"), field.get("Architecture")) for field in fields}
    native = subprocess.run(["dpkg", "--print-architecture"], check=True, capture_output=True, text=True).stdout.strip()
    twins = []
    for stanza, field in zip(stanzas, fields):
        name = field.get("Package")
        if field.get("Multi-Arch") != "same" or field.get("Architecture") != native or (name, foreign) in have \
                or not field.get("Status", "").endswith(" installed"):
            continue
        stanzas.append(stanza.replace(f"\nArchitecture: {native}\n", f"\nArchitecture: {foreign}\n"))
        native_list = admindir / "info" / f"{name}:{native}.list"
        if native_list.exists():
            files = native_list.read_text().replace("x86_64-linux-gnu", "i386-linux-gnu")
            (admindir / "info" / f"{name}:{foreign}.list").write_text(files)
        twins.append(f"{name}:{foreign}")
    (admindir / "status").write_text("\n\n".join(stanza for stanza in stanzas if stanza.strip()) + "\n")
    return sorted(twins)


def outside_file(dpkg, source):
    """A header on this machine of an installed package that scripts/run does
    not bring, for the build to be caught reading."""
    run_packages, _ = run_settings(source)
    instances = dpkg.installed()
    native = subprocess.run(["dpkg", "--print-architecture"], check=True, capture_output=True, text=True).stdout.strip()
    base = [key for key, instance in instances.items() if instance["everywhere"]]
    allowed = closure(run_packages + base, instances, native)
    allowed_files = dpkg.files_of(allowed)
    # Headers come with -dev packages; looking at those first asks dpkg a few times, not hundreds.
    for key in sorted(set(instances) - allowed, key=lambda key: (not instances[key]["name"].endswith("-dev"), key)):
        for path in sorted(dpkg.files_of([key]) - allowed_files):
            if path.startswith("/usr/include/") and os.path.isfile(path):
                return key, path
    return None, None


def rows(source, build, scratch):
    results = []

    def row(name, ok, lines):
        results.append(ok)
        print(f"{'PASS' if ok else 'FAIL'}   : {name}")
        for line in lines:
            print(f"    {line}")

    status, lines = check(source, build, scratch / "check", Dpkg())
    if status == SKIPPED:
        print("\n".join(lines))
        return SKIPPED
    row("this machine as it is", status == 0, lines)

    admindir = scratch / "dpkg"
    remove_tree(admindir)
    twins = with_second_architecture(admindir)
    two = Dpkg(admindir)
    status, lines = check(source, build, scratch / "check", two)
    row(f"a second architecture, {len(twins)} packages twice ({', '.join(twins[:3])}, ...)",
        status == 0 and len(twins) > 0, lines)

    owner, path = outside_file(two, source)
    if path is None:
        row("a second architecture, the build reading a file of another package", False,
            ["no installed package outside scripts/run's has a header here to read"])
    else:
        status, lines = check(source, build, scratch / "check", two, also_read=[path])
        caught = status == 1 and any(f"building reads {path}, of {owner}" in line for line in lines)
        row(f"a second architecture, the build reading {path} of {owner}", caught,
            lines if not caught else [lines[0]])

    # A dpkg-query that refuses every list of files.
    fake = scratch / "fake-bin"
    fake.mkdir(exist_ok=True)
    real = shutil.which("dpkg-query")
    (fake / "dpkg-query").write_text(
        "#!/bin/sh\nfor a in \"$@\"; do [ \"$a\" = -L ] && { echo \"dpkg-query: error: --listfiles needs a valid "
        "package name but 'libc6' is not: ambiguous package name 'libc6' with more than one installed instance\" "
        f">&2; exit 2; }}; done\nexec {real} \"$@\"\n")
    (fake / "dpkg-query").chmod(0o755)
    path_before = os.environ["PATH"]
    os.environ["PATH"] = f"{fake}:{path_before}"
    try:
        status, lines = check(source, build, scratch / "check", Dpkg())
    finally:
        os.environ["PATH"] = path_before
    refused = status == 1 and any("dpkg-query" in line and "ambiguous package name" in line for line in lines)
    row("a dpkg-query that fails is a failure, not a package without files", refused, lines)

    remove_tree(scratch)
    print(f"{sum(results)} of {len(results)} rows passed")
    return 0 if all(results) else 1


def main():
    if sys.argv[1] == "--inside":
        source, scratch = Path(sys.argv[2]), Path(sys.argv[3])
        return configure_inside(source, scratch, sys.argv[4:])
    if sys.argv[1] == "--rows":
        source, build, scratch = (Path(argument).resolve() for argument in sys.argv[2:5])
        return rows(source, build, scratch)
    source, build, scratch = (Path(argument).resolve() for argument in sys.argv[1:4])
    status, lines = check(source, build, scratch, Dpkg())
    print("\n".join(lines))
    return status


if __name__ == "__main__":
    sys.exit(main())
