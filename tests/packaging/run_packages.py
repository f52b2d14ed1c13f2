#!/usr/bin/env python3
"""Whether what scripts/run builds needs only the packages scripts/run installs.

    run_packages.py SOURCE_DIR BUILD_DIR SCRATCH_DIR

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

Prints what fails and exits 1; exits 77 where no mount namespace can be had.
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

# Debian 12 keeps /bin, /sbin and /lib in /usr; packages still list them there.
MERGED = {"/bin/": "/usr/bin/", "/sbin/": "/usr/sbin/", "/lib/": "/usr/lib/", "/lib64/": "/usr/lib64/"}


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


def installed_packages():
    fields = "${Package}\t${db:Status-Status}\t${Essential}\t${Priority}\t${Pre-Depends}\t${Depends}\t${Provides}\n"
    out = subprocess.run(["dpkg-query", "-W", "-f", fields], check=True, capture_output=True, text=True).stdout
    packages, providers = {}, {}
    for line in out.split("\n"):
        parts = line.split("\t")
        if len(parts) != 7 or parts[1] != "installed":
            continue
        name, _, essential, priority, pre, depends, provides = parts
        packages[name] = (essential == "yes" or priority == "required", f"{pre}, {depends}")
        for virtual in provides.split(","):
            if virtual.strip():
                providers.setdefault(virtual.split("(")[0].strip().split(":")[0], set()).add(name)
    return packages, providers


def closure(roots, packages, providers):
    """roots and everything installed they depend on, any installed choice of an alternative counting."""
    seen, todo = set(), list(roots)
    while todo:
        name = todo.pop()
        if name in seen or name not in packages:
            continue
        seen.add(name)
        for clause in packages[name][1].split(","):
            for choice in clause.split("|"):
                wanted = choice.split("(")[0].strip().split(":")[0]
                if wanted:
                    todo.extend([wanted] if wanted in packages else sorted(providers.get(wanted, ())))
    return seen


def files_of(names):
    out = subprocess.run(["dpkg-query", "-L", *sorted(names)], capture_output=True, text=True).stdout
    return {in_usr(line) for line in out.split("\n") if line.startswith("/") and line != "/."}


def owners(paths):
    """Each system path with the packages that own it, itself or where it leads."""
    asked = {path: {path, os.path.realpath(path)} for path in paths
             if path.startswith(("/usr/", "/lib", "/bin/", "/etc/", "/opt/")) and os.path.exists(path)}
    names = sorted({name for names in asked.values() for name in names})
    found = {}
    for at in range(0, len(names), 500):
        result = subprocess.run(["dpkg-query", "-S", *names[at:at + 500]], capture_output=True, text=True)
        for line in result.stdout.split("\n"):
            if ": " in line:
                packages, path = line.split(": ", 1)
                found.setdefault(path, set()).update(p.strip().split(":")[0] for p in packages.split(","))
    return {path: set().union(*(found.get(name, set()) for name in names))
            for path, names in asked.items() if any(name in found for name in names)}


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
    """Whiteouts in the overlay's upper layer for each hidden path of /usr,
    the topmost only where a whole folder goes."""
    gone = set()
    for path in sorted(hidden):
        if not path.startswith("/usr/") or any(str(parent) in gone for parent in Path(path).parents):
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


def main():
    if sys.argv[1] == "--inside":
        source, scratch = Path(sys.argv[2]), Path(sys.argv[3])
        return configure_inside(source, scratch, sys.argv[4:])
    source, build, scratch = (Path(argument).resolve() for argument in sys.argv[1:4])
    run_packages, arguments = run_settings(source)
    packages, providers = installed_packages()
    missing = [name for name in run_packages if name not in packages]
    if missing:
        print(f"FAIL: scripts/run's packages are not installed here: {' '.join(missing)}")
        return 1
    base = [name for name, (everywhere, _) in packages.items() if everywhere]
    allowed = closure(run_packages + base, packages, providers)
    allowed_files = files_of(allowed)
    hidden = files_of(set(packages) - allowed) - allowed_files

    problems = []
    for path, owned_by in sorted(owners(build_inputs(build)).items()):
        if not owned_by & allowed:
            problems.append(f"building reads {path}, of {', '.join(sorted(owned_by))}")

    if scratch.exists():
        shutil.rmtree(scratch)
    for folder in ("upper", "work"):
        (scratch / folder).mkdir(parents=True)
    hide(scratch / "upper", hidden)
    namespace = ["unshare", "--mount"] if os.getuid() == 0 else ["unshare", "--user", "--map-root-user", "--mount"]
    if subprocess.run([*namespace, "true"], capture_output=True).returncode != 0:
        print(f"SKIP: no mount namespace here ({' '.join(namespace)})")
        return 77
    inside = subprocess.run([*namespace, sys.executable, __file__, "--inside", source, scratch, *arguments],
                            capture_output=True, text=True)
    if inside.returncode != 0:
        problems.append("configuring with only those packages failed:\n" + inside.stdout + inside.stderr)
    shutil.rmtree(scratch, ignore_errors=True)
    for problem in problems[:40]:
        print(f"FAIL: {problem} (scripts/run installs {len(allowed)} packages with what they need)")
    if problems:
        return 1
    print(f"PASS: configured with {len(hidden)} files of {len(set(packages) - allowed)} other packages hidden; "
          f"the program's build reads only files of the {len(allowed)} packages scripts/run brings")
    return 0


if __name__ == "__main__":
    sys.exit(main())
