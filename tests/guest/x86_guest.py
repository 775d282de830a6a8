#!/usr/bin/env python3
"""The 32-bit Wine tests in the x86 test machine, where this machine's kernel runs no 32-bit code.

The x86 test machine is a small computer emulated by QEMU (its disk image is built by
scripts/x86-guest-image.sh) whose kernel runs 32-bit programs. One boot runs every x86 Wine test:

  x86_guest.py run --results DIR --ctest CTEST --source-dir DIR --build-dir DIR
                   --windows-build-dir DIR --wine-template DIR
      CTest's guest.x86.run, the setup of the x86 tests: carries the tests, their scripts and the
      32-bit build's programs into the machine on a disk of their own, boots it, and takes each
      test's output and exit code back into the results folder.
  x86_guest.py result --results DIR NAME -- COMMAND...
      Each x86 Wine test: runs COMMAND here where this machine runs 32-bit programs; otherwise
      prints the test's output from the machine and ends with its exit code (77: skipped, with
      the reason).
  x86_guest.py clear --results DIR
      CTest's guest.x86.clear: moves the results to DIR/../last, so that no later run can read
      them as its own.
  x86_guest.py guest
      Inside the machine (started by its init): runs the tests and writes the results.

Inside, the folders of the sources and builds are mounted at the paths they have here, so the
tests run with CTest's own command lines. Every time bound in them is multiplied by
ZRK_TIME_SCALE, which the machine gets from here (ZRK_TIME_SCALE overrides the default).
ZRK_GUEST_ACCEL=tcg or kvm chooses QEMU's accelerator; by default KVM where it works, else TCG.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tarfile
import threading
import time
from pathlib import Path

SKIPPED = 77
FAILED_FILE = "GUEST-FAILED.txt"
SUMMARY_FILE = "summary.txt"

# Under software emulation a Wine program starts ten times slower than here; with KVM close to
# native speed. Every time bound inside is multiplied by this.
TIME_SCALE = {"tcg": 10, "kvm": 3}
# The whole stay in the machine, and the part of it left for packing the results.
GUEST_LIMIT_S = {"tcg": 3000, "kvm": 1200}
PACKING_S = 120
MEMORY_MB = 4096
CPUS = 2
# Room on the test disk for the shared Wine prefix, the cases' copies of it and their files.
STAGE_FREE_MB = 4096
RESULTS_MB = 256

# Inside the machine: the test disk, the results disk.
STAGE = Path("/stage")
RESULTS_DEVICE = "/dev/vdc"


def sources(*parts):
    """A path in the project's sources (here: inside the machine this file is on its own)."""
    return Path(__file__).resolve().parents[2].joinpath(*parts)


def say(text):
    print(text, flush=True)


# --- Here: deciding, staging, booting ----------------------------------------------------------


def machine_needed():
    """None when the x86 tests run here; else why they cannot, and whether the machine is off
    (ZRK_X86_IN_GUEST=0)."""
    sys.path.insert(0, str(sources("tests", "wine")))
    import harness  # here only: inside the machine this file is on its own
    try:
        reason = harness.why_no_32bit()
    except harness.Missing as error:
        return str(error), False
    return reason, reason is not None and os.environ.get("ZRK_X86_IN_GUEST") == "0"


def kvm_works():
    """Whether QEMU can use KVM here: /dev/kvm may be there and still not run a machine, so the
    machine's kernel is started with it and must get as far as printing its version."""
    if not os.access("/dev/kvm", os.R_OK | os.W_OK):
        return False
    image = sources("build", "vm32", "image")
    try:
        probe = subprocess.run(
            ["qemu-system-x86_64", "-accel", "kvm", "-cpu", "host", "-m", "256", "-nic", "none",
             "-display", "none", "-monitor", "none", "-serial", "stdio", "-no-reboot",
             "-kernel", str(image / "vmlinuz"), "-append", "console=ttyS0 panic=-1"],
            capture_output=True, text=True, errors="replace", timeout=30, check=False)
    except (subprocess.TimeoutExpired, OSError):
        return False
    return "Linux version" in probe.stdout


def ctest_tests(ctest, build_dir):
    """The tests that CTest would run for `-L x86`, with their properties."""
    listing = subprocess.run([ctest, "--test-dir", str(build_dir), "-L", "x86",
                              "--show-only=json-v1"], capture_output=True, text=True, check=True)
    tests = []
    for test in json.loads(listing.stdout)["tests"]:
        properties = {p["name"]: p["value"] for p in test.get("properties", [])}
        tests.append((test["name"], test.get("command", []), properties))
    return tests


def guest_tests(ctest, build_dir, roots):
    """What the machine runs: the x86 Wine tests (the commands behind `result ... --`) and the
    fixture setups they need (the shared Wine prefix), setups first."""
    setups, tests, needed = [], [], set()
    listed = ctest_tests(ctest, build_dir)
    for name, command, properties in listed:
        if is_own(command) and command[1] == "result":
            needed.update(properties.get("FIXTURES_REQUIRED", []))
            tests.append(entry(name, command[command.index("--") + 1:], properties, roots))
    # Only the Wine tests' own setups: anything else they need (the signed release) is made here.
    for name, command, properties in listed:
        if (not is_own(command) and set(properties.get("FIXTURES_SETUP", [])) & needed
                and "e2e" in properties.get("LABELS", [])):
            setups.append(dict(entry(name, command, properties, roots), setup=True))
    return setups + tests


def is_own(command):
    return bool(command) and Path(command[0]).name == Path(__file__).name


def entry(name, command, properties, roots):
    environment = dict(item.split("=", 1) for item in properties.get("ENVIRONMENT", []))
    # A program outside the project's folders (the Python interpreter, which may be a wrapper
    # such as pyenv's here) is the machine's own of that name.
    if not any(Path(command[0]).is_relative_to(root) for root in roots):
        command = [Path(command[0]).name] + command[1:]
    return {"name": name, "command": command, "timeout": float(properties.get("TIMEOUT", 1500)),
            "environment": environment, "cwd": properties.get("WORKING_DIRECTORY"),
            "setup": False}


def roots_of(*folders):
    """The folders to mount in the machine: each given one not inside another."""
    roots = []
    for folder in sorted({Path(f).resolve() for f in folders if f}, key=lambda p: len(p.parts)):
        if not any(folder.is_relative_to(root) for root in roots):
            roots.append(folder)
    return roots


def stage(args, tree, tests, roots, scale, limit_s):
    """Lays out the test disk's files: the sources (without .git and build), the Windows
    programs of the 32-bit build, the tests' working folders, the list of tests, the init."""
    source = Path(args.source_dir).resolve()
    windows_build = Path(args.windows_build_dir).resolve()
    build = Path(args.build_dir).resolve()

    def inside(path):
        return tree / Path(path).resolve().relative_to("/")

    shutil.copytree(source, inside(source), symlinks=True,
                    ignore=lambda folder, names: [n for n in names if Path(folder) == source
                                                  and n in (".git", "build")])
    inside(build).mkdir(parents=True, exist_ok=True)
    for program in windows_build.rglob("*"):
        if program.suffix.lower() in (".exe", ".dll") and "CMakeFiles" not in program.parts:
            inside(program).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(program, inside(program))
    for test in tests:
        if test["cwd"]:
            inside(test["cwd"]).mkdir(parents=True, exist_ok=True)
        # Files of the build folder that a test names, such as a signed launcher to run.
        for argument in test["command"]:
            path = Path(argument)
            if path.is_absolute() and path.is_file() and path.resolve().is_relative_to(build):
                inside(path).parent.mkdir(parents=True, exist_ok=True)
                shutil.copy2(path, inside(path))
    disk = tree.parent
    (disk / "tests.json").write_text(json.dumps(tests, indent=1))
    (disk / "guest.json").write_text(json.dumps({
        "roots": [str(r) for r in roots],
        "scale": scale, "jobs": CPUS, "limit_s": limit_s - PACKING_S,
        "wine_template": str(Path(args.wine_template).resolve()),
    }, indent=1))
    shutil.copy2(__file__, disk / "x86_guest.py")
    init = disk / "init"
    init.write_text("#!/bin/sh\nexec python3 /stage/x86_guest.py guest\n")
    init.chmod(0o755)


def sparse_file(path, size_mb):
    with open(path, "wb") as disk:
        disk.truncate(size_mb * 1024 * 1024)


def image_problem():
    """None when the machine's image is there (built now if it is not); else why it is not."""
    image_sh = sources("scripts", "x86-guest-image.sh")
    failed = sources("build", "vm32", "image-failed.txt")
    if failed.exists():  # scripts/deps.sh tried already; it tries again on its next run
        return failed.read_text().strip()
    build = subprocess.run(["bash", str(image_sh)], check=False)
    if build.returncode != 0:
        return (failed.read_text().strip() if failed.exists() else
                "%s ended with exit code %d" % (image_sh, build.returncode))
    return None


def boot(run_dir, accel, limit_s):
    """Boots the machine on its image with the test and results disks; returns QEMU's exit code
    and what the machine wrote on its console."""
    image = sources("build", "vm32", "image")
    serial = run_dir / "serial.log"
    # Under TCG with SMAP on, this QEMU's emulation of a return to user mode (iretq) faults, and
    # the machine's kernel kills every Wine process; without SMAP it works.
    cpu = "host" if accel == "kvm" else "max,smap=off"
    command = [
        # Not niced: the tests' time bounds inside count on the machine's fair share of the CPUs
        # while the other tests run here.
        "timeout", str(limit_s), "qemu-system-x86_64",
        "-accel", accel + (",thread=multi" if accel == "tcg" else ""), "-cpu", cpu,
        "-smp", str(CPUS), "-m", str(MEMORY_MB), "-nic", "none", "-display", "none",
        "-monitor", "none", "-serial", "file:" + str(serial), "-no-reboot",
        "-kernel", str(image / "vmlinuz"), "-initrd", str(image / "initrd.img"),
        "-append", "console=ttyS0 root=/dev/vda rw init=/sbin/zrk-init panic=1 quiet",
        # The image is never written: the machine's writes to it go to a temporary overlay.
        "-drive", "file=%s,format=raw,if=virtio,snapshot=on" % (image / "root.img"),
        "-drive", "file=%s,format=raw,if=virtio" % (run_dir / "stage.img"),
        "-drive", "file=%s,format=raw,if=virtio" % (run_dir / "results.img"),
    ]
    code = subprocess.run(command, stdin=subprocess.DEVNULL, check=False).returncode
    return code, serial.read_text(errors="replace") if serial.exists() else ""


def run(args):
    results = Path(args.results)
    if results.exists():
        shutil.rmtree(results)
    results.mkdir(parents=True)
    reason, off = machine_needed()
    if reason is None:
        say("the x86 tests run on this machine itself; no test machine is needed")
        return 0
    if off:
        say("SKIPPED: ZRK_X86_IN_GUEST=0: no x86 test machine, so the x86 tests skip themselves: "
            + reason)
        return SKIPPED
    say("x86 test machine: " + reason)

    def give_up(cause):
        (results / FAILED_FILE).write_text(cause + "\n")
        say("SKIPPED: the x86 test machine could not run the x86 tests: " + cause)
        return SKIPPED

    started = time.monotonic()
    problem = image_problem()
    if problem:
        return give_up("no image of the machine: " + problem)
    image_s = time.monotonic() - started

    forced = os.environ.get("ZRK_GUEST_ACCEL", "")
    if forced not in ("", "tcg", "kvm"):
        return give_up("ZRK_GUEST_ACCEL=%s: it takes tcg or kvm" % forced)
    accel = forced or ("kvm" if kvm_works() else "tcg")
    scale = int(os.environ.get("ZRK_TIME_SCALE") or TIME_SCALE[accel])
    limit_s = GUEST_LIMIT_S[accel]

    run_dir = results.parent / "run"
    if run_dir.exists():
        shutil.rmtree(run_dir)
    tree = run_dir / "stage" / "tree"
    tree.mkdir(parents=True)
    roots = roots_of(args.source_dir, args.build_dir, args.windows_build_dir)
    tests = guest_tests(args.ctest, args.build_dir, roots)
    if not any(not t["setup"] for t in tests):
        return give_up("CTest lists no x86 Wine test to run in it")
    stage(args, tree, tests, roots, scale, limit_s)
    used_mb = int(subprocess.run(["du", "-sm", str(run_dir / "stage")], capture_output=True,
                                 text=True, check=True).stdout.split()[0])
    sparse_file(run_dir / "stage.img", used_mb + STAGE_FREE_MB)
    mke2fs = subprocess.run(["mke2fs", "-q", "-t", "ext4", "-d", str(run_dir / "stage"),
                             str(run_dir / "stage.img")], capture_output=True, text=True,
                            check=False)
    if mke2fs.returncode != 0:
        return give_up("the test disk could not be made: " + mke2fs.stderr.strip())
    sparse_file(run_dir / "results.img", RESULTS_MB)

    say("booting it (%s, times x%d, %d tests, at most %d s)" % (accel, scale, len(tests), limit_s))
    booted = time.monotonic()
    code, console = boot(run_dir, accel, limit_s)
    machine_s = time.monotonic() - booted
    try:
        with tarfile.open(run_dir / "results.img") as packed:
            packed.extractall(results)
        ended = None if (results / "done").exists() else "before it finished"
    except (tarfile.TarError, OSError) as error:
        ended = "without results (%s)" % error
    if ended:
        return give_up("the machine ended (QEMU exit code %d after %.0f s) %s; its console's last "
                       "lines:\n%s" % (code, machine_s, ended, "\n".join(console.splitlines()[-15:])))

    times = json.loads((results / "times.json").read_text()) if (
        results / "times.json").exists() else {}
    summary = ["accelerator %s, times x%d" % (accel, scale),
               "image ready in %.0f s (built now when longer than a few seconds)" % image_s,
               "machine %.0f s: init after %.1f s, %s" % (
                   machine_s, times.get("init_s", 0), ", ".join(
                       "%s %.0f s" % item for item in times.get("tests", {}).items()))]
    (results / SUMMARY_FILE).write_text("\n".join(summary) + "\n")
    for line in summary:
        say(line)
    for test in tests:
        code_file = results / (test["name"] + ".code")
        say("  %-55s %s" % (test["name"], code_file.read_text().strip() if code_file.exists()
                                          else "no result"))
    return 0


def result(args):
    reason, off = machine_needed()
    if reason is None or off:
        os.execvp(args.command[0], args.command)
    results = Path(args.results)
    code_file = results / (args.name + ".code")
    log_file = results / (args.name + ".log")
    if code_file.exists():
        say("(run in the x86 test machine: %s)" % reason)
        sys.stdout.write(log_file.read_text(errors="replace") if log_file.exists() else "")
        return int(code_file.read_text())
    if (results / FAILED_FILE).exists():
        say("SKIPPED: the x86 test machine could not run it: " +
            (results / FAILED_FILE).read_text())
    else:
        say("SKIPPED: no result from the x86 test machine for %s (it runs in the test "
            "guest.x86.run, this test's fixture)" % args.name)
    return SKIPPED


def clear(args):
    results = Path(args.results)
    last = results.parent / "last"
    if last.exists():
        shutil.rmtree(last)
    if results.exists():
        results.rename(last)
    return 0


# --- Inside the machine -----------------------------------------------------------------------


def uptime():
    return float(Path("/proc/uptime").read_text().split()[0])


def run_one(test, base_env, scale, out, deadline):
    """Runs one test with its time bound scaled; writes NAME.log and NAME.code."""
    log_path = out / (test["name"] + ".log")
    env = dict(base_env, **test["environment"])
    remaining = deadline - time.monotonic()
    if remaining <= 0:
        log_path.write_text("SKIPPED: not started: the machine's time had run out\n")
        (out / (test["name"] + ".code")).write_text("%d\n" % SKIPPED)
        return 0.0
    bound = min(test["timeout"] * scale, remaining)
    started = time.monotonic()
    with open(log_path, "wb") as log:
        process = subprocess.Popen(test["command"], cwd=test["cwd"], env=env, stdout=log,
                                   stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                   start_new_session=True)
        try:
            code = process.wait(timeout=bound)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, 9)
            process.wait()
            log.write(b"\nFAILED: did not end within %d s (the test's bound times %d)\n" %
                      (bound, scale))
            code = 1
    (out / (test["name"] + ".code")).write_text("%d\n" % code)
    took = time.monotonic() - started
    print("x86 test machine: %s ended with %d after %.0f s" % (test["name"], code, took),
          file=sys.stderr, flush=True)
    return took


def guest(_args):
    init_s = uptime()
    config = json.loads((STAGE / "guest.json").read_text())
    tests = json.loads((STAGE / "tests.json").read_text())
    deadline = time.monotonic() + config["limit_s"] - init_s
    # /tmp on the test disk (ext4), as on a usual machine: Wine keeps a file's DOS attributes
    # (hidden, system) in extended attributes, which the machine's tmpfs does not keep.
    (STAGE / "tmp").mkdir(mode=0o1777)
    subprocess.run(["mount", "--bind", str(STAGE / "tmp"), "/tmp"], check=True)
    for root in config["roots"]:
        os.makedirs(root, exist_ok=True)
        subprocess.run(["mount", "--bind", str(STAGE / "tree" / root.lstrip("/")), root],
                       check=True)
    out = STAGE / "results"
    out.mkdir()
    home = Path("/tmp/home")
    home.mkdir()
    scale = config["scale"]
    # A clean environment: the tests find out for themselves that this machine runs 32-bit code.
    base_env = {"PATH": "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin", "HOME": str(home),
                "LANG": "C.UTF-8", "ZRK_TIME_SCALE": str(scale),
                # The contract tests start from a copy of the prefix that the setup made.
                "ZRK_WINE_TEMPLATE": config["wine_template"]}
    times = {}
    for test in [t for t in tests if t["setup"]]:
        times[test["name"]] = run_one(test, base_env, scale, out, deadline)
    queue = [t for t in tests if not t["setup"]]
    lock = threading.Lock()

    def worker():
        while True:
            with lock:
                if not queue:
                    return
                test = queue.pop(0)
            times[test["name"]] = run_one(test, base_env, scale, out, deadline)

    workers = [threading.Thread(target=worker) for _ in range(config["jobs"])]
    for thread in workers:
        thread.start()
    for thread in workers:
        thread.join()
    # What failed cases left for a look (their logs, not their prefixes).
    template_parent = Path(config["wine_template"]).parent
    for kept in template_parent.glob("case-*"):
        if (kept / "out").is_dir():
            shutil.copytree(kept / "out", out / "kept" / kept.name, ignore_dangling_symlinks=True)
    (out / "times.json").write_text(json.dumps({"init_s": init_s, "tests": times,
                                                "end_s": uptime()}))
    (out / "done").write_text("")
    with tarfile.open(RESULTS_DEVICE, "w") as packed:
        for item in sorted(out.iterdir()):
            packed.add(item, arcname=item.name)
    os.sync()
    print("x86 tests: results written", file=sys.stderr)
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    commands = parser.add_subparsers(dest="what", required=True)
    run_parser = commands.add_parser("run")
    for option in ("--results", "--ctest", "--source-dir", "--build-dir", "--windows-build-dir",
                   "--wine-template"):
        run_parser.add_argument(option, required=True)
    result_parser = commands.add_parser("result")
    result_parser.add_argument("--results", required=True)
    result_parser.add_argument("name")
    result_parser.add_argument("command", nargs=argparse.REMAINDER)
    clear_parser = commands.add_parser("clear")
    clear_parser.add_argument("--results", required=True)
    commands.add_parser("guest")
    args = parser.parse_args()
    if args.what == "result":
        if args.command[:1] == ["--"]:
            args.command = args.command[1:]
        if not args.command:
            parser.error("result: a command after --")
    return {"run": run, "result": result, "clear": clear, "guest": guest}[args.what](args)


if __name__ == "__main__":
    sys.exit(main())
