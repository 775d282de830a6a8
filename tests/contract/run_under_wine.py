#!/usr/bin/env python3
"""Runs a Windows console program under Wine in a private prefix that is thrown away afterwards.

  run_under_wine.py [--arch x86|x64] [--locale LOCALE] PROGRAM.exe [ARGUMENTS...]

The exit code is the program's, or 77 (skipped) for a 32-bit program on a machine that cannot run
32-bit code; the reason is printed. --locale sets LANG and LC_ALL, and with them the code page Wine
gives the program (ja_JP.UTF-8: 932; C.UTF-8: 1252). Where ZRK_WINE_TEMPLATE names a prefix, a
copy of it is used instead of a new one: the x86 test machine shares the end-to-end tests' prefix,
as making one takes a minute there.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "wine"))
import harness  # noqa: E402

SKIPPED = 77


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--arch", choices=("x86", "x64"), default="x64")
    parser.add_argument("--locale", default=harness.LOCALE)
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    if args.arch == "x86":
        reason = harness.why_no_32bit()
        if reason:
            print("SKIPPED: the 32-bit program cannot run here: " + reason)
            return SKIPPED
    harness.require_tools(args.arch)

    work = Path(tempfile.mkdtemp())
    prefix = work / "prefix"
    env = harness.wine_env(prefix, locale=args.locale)
    try:
        template = os.environ.get("ZRK_WINE_TEMPLATE")
        if template and (Path(template) / "system.reg").exists():
            harness.copy_prefix(template, prefix)
        else:
            harness.make_prefix(prefix, locale=args.locale)
        # No d3dx9_40.dll in the system folders (Wine's own, in system32 and syswow64), as on a
        # Windows without DirectX: the graphics library tests put their stand-ins where they want
        # one, and one on PATH is then what the system's own search would find. Unlinked here
        # only: a copied prefix shares its files with the template.
        for system in ("system32", "syswow64"):
            (prefix / "drive_c" / "windows" / system / "d3dx9_40.dll").unlink(missing_ok=True)
        # The program runs from a copy of its folder's programs and libraries: the library tests
        # put files beside it, which another run from the same build would find there.
        (work / "programs").mkdir()
        for built in Path(args.command[0]).parent.iterdir():
            if built.suffix in (".exe", ".dll"):
                shutil.copyfile(built, work / "programs" / built.name)
        # R: is an optical drive (in every prefix the harness makes) mapped to a folder that is not
        # there: a drive without media, as far as Wine has one.
        harness.map_drive(prefix, "r", work / "no-media")
        # A Unix symbolic link to a file, which no Windows call can make under Wine 8.0, for the
        # tests of what a link looks like through the Windows calls (through drive Z:).
        (work / "links" / "real").mkdir(parents=True)
        (work / "links" / "real" / "target.ini").touch()
        (work / "links" / "sym.ini").symlink_to("real/target.ini")
        (work / "links" / "linked").symlink_to("real", target_is_directory=True)
        env.update({
            # No Mono or Gecko installers; no display needed.
            "WINEDLLOVERRIDES": "mscoree=;mshtml=",
            # Wine keeps the read-only attribute as missing Unix write permission, which root
            # bypasses.
            "ZRK_CONTRACT_UNIX_UID": str(os.getuid()),
            "ZRK_CONTRACT_SYMLINK": harness.windows_path(work / "links") + "\\sym.ini",
            "ZRK_CONTRACT_SYMLINK_TARGET": harness.windows_path(work / "links" / "real" /
                                                                "target.ini"),
            "ZRK_CONTRACT_FOLDER_LINK": harness.windows_path(work / "links") + "\\linked",
            "ZRK_CONTRACT_FOLDER_LINK_TARGET": harness.windows_path(work / "links" / "real"),
            "ZRK_CONTRACT_NO_MEDIA_DRIVE": "R",
        })
        sys.stdout.flush()
        program = work / "programs" / Path(args.command[0]).name
        return subprocess.run(harness.WINE.wine(program, *args.command[1:]), env=env).returncode
    finally:
        harness.stop_wineserver(env)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (harness.Failure, harness.Missing) as error:
        print("FAILED: %s" % error)
        sys.exit(1)
