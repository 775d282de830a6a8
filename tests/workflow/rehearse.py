#!/usr/bin/env python3
"""Rehearses the Windows job of .github/workflows/windows-contract.yml under Wine.

  rehearse.py --arch x86|x64 --build-dir DIR      (DIR: that architecture's build/windows-ARCH)

What the build job's upload step selects goes into a folder, as the artifact keeps it; the job's
steps that Wine can run run there in a plain prefix (wineboot -i, no overrides), with its own
d3dx9_40.dll in the system folders (a Windows with DirectX), then without (the hosted runners).
Passes when the suite passes both times and the system folders keep every file's bytes.
"""

import argparse
import glob
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import yaml  # python3-yaml

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "wine"))
import harness  # noqa: E402

JOBS = yaml.safe_load((harness.SOURCE_DIR / ".github/workflows/windows-contract.yml").read_text(
    encoding="utf-8"))["jobs"]


def hand_over(patterns, arch, build_dir, work):
    """Copies what the patterns select in a checkout whose build/windows-ARCH is build_dir into
    work/job, below the common folder of each pattern's part before its first wildcard."""
    (work / "build").mkdir()
    (work / "build" / ("windows-" + arch)).symlink_to(Path(build_dir).resolve())
    chosen, roots = set(), []
    for pattern in patterns.split():
        matched = set(glob.glob(str(work / pattern.lstrip("!")), recursive=True))
        chosen = chosen - matched if pattern[0] == "!" else chosen | matched
        roots += [] if pattern[0] == "!" else [str(work / re.split(r"/?[^/]*[*?[]", pattern)[0])]
    root = os.path.commonpath(roots)
    handed = sorted(os.path.relpath(path, root) for path in chosen)
    for name in handed:
        (work / "job" / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(os.path.join(root, name), work / "job" / name)
    print("handed over (%s): %s" % (" ".join(patterns.split()), ", ".join(handed) or "nothing"))
    return bool(handed)


def system_files(prefix):
    """Every file in the prefix's system folders, with the SHA-256 of its bytes."""
    windows = prefix / "drive_c" / "windows"
    return {str(path.relative_to(windows)): hashlib.sha256(path.read_bytes()).hexdigest()
            for folder in ("system32", "syswow64") for path in (windows / folder).rglob("*")
            if path.is_file()}


def run_job(matrix, folder, env):
    """The job's steps that Wine can run; whether they passed and left the system's files."""
    before, passed = system_files(Path(env["WINEPREFIX"])), True
    for step in JOBS["windows"]["steps"]:
        uses = step.get("uses", "")
        text = re.sub(r"\$\{\{ *matrix\.(\w+) *\}\}", lambda m: matrix[m[1]],
                      step.get("run") or step.get("with", {}).get("path", "")).strip()
        if "download-artifact@" in uses:
            continue  # the folder
        if text.split(" ")[0].endswith(".exe"):
            print("$ " + text, flush=True)
            passed &= subprocess.run(harness.WINE.wine(*text.split()), cwd=folder, env=env,
                                     timeout=600 * harness.TIME_SCALE).returncode == 0
        elif "upload-artifact@" in uses:
            print("to upload: %s, %s" % (text, "there" if (folder / text).is_file() else "missing"))
            passed &= (folder / text).is_file()
        else:
            print("not rehearsed: %r (shell %s): Wine runs neither PowerShell nor fsutil" %
                  (step.get("name"), step.get("shell", "pwsh")))
    after = system_files(Path(env["WINEPREFIX"]))
    changed = sorted(n for n in before.keys() | after.keys() if before.get(n) != after.get(n))
    print("system folders: %d files before, %d after; changed: %s" %
          (len(before), len(after), ", ".join(changed) or "none"))
    return passed and not changed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--arch", choices=("x86", "x64"), required=True)
    parser.add_argument("--build-dir", required=True)
    args = parser.parse_args()
    if args.arch == "x86" and harness.why_no_32bit():
        print("SKIPPED: the 32-bit suite cannot run here: " + harness.why_no_32bit())
        return 77
    harness.require_tools(args.arch)
    upload = [s for s in JOBS["build"]["steps"] if "upload-artifact@" in s.get("uses", "")][0]
    matrix = {"arch": args.arch, "image": JOBS["windows"]["strategy"]["matrix"]["image"][0]}
    work = Path(tempfile.mkdtemp())
    env = harness.wine_env(work / "prefix", locale="C.UTF-8")  # code page 1252, the runners'
    try:
        passed = hand_over(upload["with"]["path"], args.arch, args.build_dir, work)
        boot = [harness.WINE.wine("wineboot", "-i"), harness.WINE.wineserver("-w")]
        if any(harness.run_logged(command, env, work / "boot.log", 120) for command in boot):
            raise harness.Failure("wineboot -i failed:\n" + (work / "boot.log").read_text())
        for directx in (True, False) if passed else ():
            for system in ("system32", "syswow64") if not directx else ():  # this prefix's own
                (work / "prefix/drive_c/windows" / system / "d3dx9_40.dll").unlink(missing_ok=True)
            print("--- the %s job, %s d3dx9_40.dll in the system folders" %
                  (args.arch, "with the prefix's own" if directx else "without"))
            passed &= run_job(matrix, work / "job", env)
        return 0 if passed else 1
    finally:
        harness.stop_wineserver(env)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (harness.Failure, harness.Missing) as error:
        print("FAILED: %s" % error)
        sys.exit(1)
