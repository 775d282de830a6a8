#!/usr/bin/env python3
"""The Wine harness: everything that runs a Windows program of this project under Wine.

Which Wine runs, how a prefix is made, which X display a program gets, what a test
installation's settings file holds and where the Windows builds put their programs are said
here and nowhere else. The Python drivers import it; the shell scripts call its command line:

  harness.py shell                    the Wine commands as shell arrays (wine, wineserver)
  harness.py prefix DIR [L=FOLDER[:TYPE]]...   makes a prefix, mapping drive L (a-z) to FOLDER
  harness.py display PID_FILE LOG     starts an X server of its own; prints its DISPLAY
  harness.py stop PREFIX              ends the prefix's processes and its wineserver
  harness.py settings FOLDER          the bare settings file naming FOLDER, on standard output
  harness.py launcher BUILD_DIR       ZRK_START.exe of a Windows build folder
  harness.py fixtures BUILD_DIR       the folder of that build's test programs

Which Wine: ZRK_WINE_BIN names the folder of wine64, wine (the 32-bit loader) and wineserver
(default /usr/lib/wine); ZRK_WINE_WRAPPER, when set, is a command (split as a shell would) that
runs each of them, such as one that enters another system's root by chroot; ZRK_WINE_ROOT is that
root, where the harness looks for Wine's files (default /).
"""

import os
import re
import select
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parents[2]
DEPS_SH = SOURCE_DIR / "scripts" / "deps.sh"

# Every time bound and delay of the Wine tests is multiplied by ZRK_TIME_SCALE (1 unless set; the
# emulated x86 test machine sets it, where a Wine program starts ten times slower).
TIME_SCALE = int(os.environ.get("ZRK_TIME_SCALE") or 1)
PROCESS_END_TIMEOUT_S = 15 * TIME_SCALE
XVFB_START_S = 15 * TIME_SCALE

# The Unix locale of a Japanese system: Wine then gives programs code page 932 (C.UTF-8: 1252).
LOCALE = "ja_JP.UTF-8"
# The drive types of every prefix made here. A letter is a drive only once it is mapped to a
# folder; R: is the optical drive without media of the contract tests.
DRIVE_TYPES = {"d": "hd", "e": "cdrom", "f": "floppy", "g": "network", "h": "hd", "i": "hd",
               "r": "cdrom"}

LAUNCHER = "ZRK_START.exe"
SETTINGS = "DLTZRK_DL.INI"
DATA_FILE = "ZRK_DLN.SD"
GAME = "ZRK_DL.exe"


class Failure(Exception):
    """Something the harness was asked to do did not happen."""


class Missing(Exception):
    """A tool that the Wine tests need is not installed."""


# --- Which Wine -----------------------------------------------------------------------------------


class Wine:
    """One Wine installation: its commands, and where its files lie."""

    def __init__(self, bin_dir="/usr/lib/wine", wrapper=(), root="/"):
        self.bin_dir = Path(bin_dir)
        self.wrapper = list(wrapper)
        self.root = Path(root)

    @classmethod
    def from_environment(cls):
        return cls(os.environ.get("ZRK_WINE_BIN") or "/usr/lib/wine",
                   shlex.split(os.environ.get("ZRK_WINE_WRAPPER", "")),
                   os.environ.get("ZRK_WINE_ROOT") or "/")

    def command(self, program, *args):
        """wine64 (which runs 32-bit programs too, through the 32-bit loader), or wineserver."""
        return self.wrapper + [str(self.bin_dir / program)] + [str(a) for a in args]

    def wine(self, *args):
        return self.command("wine64", *args)

    def wineserver(self, *args):
        return self.command("wineserver", *args)

    def file(self, path):
        """A file of the installation as this machine sees it."""
        return self.root / Path(path).relative_to("/")

    def has(self, program):
        return self.file(self.bin_dir / program).exists()


WINE = Wine.from_environment()


def why_no_32bit():
    """None when this machine runs 32-bit programs, else the reason (scripts/deps.sh finds out by
    running one)."""
    probe = subprocess.run(
        ["bash", "-c", 'source "$1" && { zrk_can_run_32bit || echo "$ZRK_32BIT_REASON"; }', "_",
         str(DEPS_SH)], capture_output=True, text=True, check=False)
    if probe.returncode != 0:
        raise Missing("the 32-bit check in %s failed: %s" % (DEPS_SH, probe.stderr.strip()))
    return probe.stdout.strip() or None


def require_tools(arch="x64", display=False, chattr=False):
    checks = [
        (WINE.has("wine64"), "wine64 (%s): apt-get install wine64" % (WINE.bin_dir / "wine64")),
        (WINE.has("wineserver"), "wineserver: apt-get install wine64"),
    ]
    if arch == "x86":
        checks.append((WINE.has("wine"), "the 32-bit Wine (%s): dpkg --add-architecture i386 && "
                       "apt-get update && apt-get install wine32:i386" % (WINE.bin_dir / "wine")))
    if display:
        checks.append((shutil.which("Xvfb"), "Xvfb: apt-get install xvfb"))
    if chattr:
        checks.append((shutil.which("chattr"), "chattr: apt-get install e2fsprogs"))
    for ok, what in checks:
        if not ok:
            raise Missing("needed and not installed: " + what)
    locales = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.split()
    if not {"ja_JP.utf8", "ja_JP.UTF-8"} & set(locales):
        raise Missing("locale ja_JP.UTF-8 is not generated: apt-get install locales, "
                      "enable 'ja_JP.UTF-8 UTF-8' in /etc/locale.gen, run locale-gen")


# --- Processes in a prefix ------------------------------------------------------------------------


def wine_env(prefix, display=None, dll_overrides="", locale=LOCALE):
    """The environment of a Wine process; the locale sets the ANSI code page Wine gives programs
    (ja_JP.UTF-8: 932, C.UTF-8: 1252)."""
    env = dict(os.environ)
    for name in ("WINEDLLOVERRIDES", "WINEARCH", "WINELOADER", "WINESERVER", "DISPLAY",
                 "WAYLAND_DISPLAY"):
        env.pop(name, None)
    env.update({"WINEPREFIX": str(prefix), "WINEDEBUG": "-all", "LANG": locale, "LC_ALL": locale})
    if display is not None:
        env["DISPLAY"] = display
    if dll_overrides:
        env["WINEDLLOVERRIDES"] = dll_overrides
    return env


def run_logged(command, env, log_path, timeout, cwd=None):
    timeout *= TIME_SCALE
    with open(log_path, "ab") as log:
        try:
            return subprocess.run(command, env=env, cwd=cwd, stdout=log, stderr=log,
                                  timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            raise Failure("%s did not end within %d s" % (" ".join(command), timeout))


def stop_wineserver(env):
    """Ends every process of the prefix and its wineserver, and removes the server's folder."""
    for flag in ("-k", "-w"):
        subprocess.run(WINE.wineserver(flag), env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=PROCESS_END_TIMEOUT_S)
    # The server keeps its socket in <temp>/wine-XXXXXX/server-<device>-<inode of the prefix>,
    # and leaves the folder behind.
    try:
        stat = os.stat(env["WINEPREFIX"])
    except OSError:
        return
    pattern = "wine-*/server-%x-%x" % (stat.st_dev, stat.st_ino)
    for server_dir in Path(tempfile.gettempdir()).glob(pattern):
        shutil.rmtree(server_dir, ignore_errors=True)
        try:
            server_dir.parent.rmdir()
        except OSError:
            pass


def windows_path(unix_path):
    """The Windows path of a Unix path through drive Z: (the whole file system)."""
    return "Z:" + str(Path(unix_path).resolve()).replace("/", "\\")


# --- The prefix -----------------------------------------------------------------------------------


def registry_multi_string(*strings):
    """A REG_MULTI_SZ value as REGEDIT4 writes it: hex(7), the ANSI bytes, each string ended."""
    data = "".join(text + "\0" for text in strings).encode("ascii") + b"\0"
    return "hex(7):" + ",".join("%02x" % byte for byte in data)


# Wine 10 draws message boxes and captions in Tahoma (Wine 8: "MS Shell Dlg" with the Japanese
# character set, which Wine resolves to an installed Japanese font), and finds its own Tahoma
# (fonts-wine), which has no Japanese glyphs. For those, Tahoma's font link names only Windows'
# Japanese fonts (MSGOTHIC.TTC, "MS UI Gothic"), which are not there: every Japanese character
# would be an empty square. The link to the IPA Gothic font (fonts-ipafont-gothic) comes first.
JAPANESE_FONT_LINK = (
    "\r\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontLink\\"
    "SystemLink]\r\n\"Tahoma\"=" +
    registry_multi_string("ipag.ttf,IPAGothic", "MSGOTHIC.TTC,MS UI Gothic") + "\r\n")


def make_prefix(prefix, drives=None, locale=LOCALE, log=None):
    """Makes a Wine prefix with the drive types of DRIVE_TYPES (and of `drives`, letter ->
    (folder, type or None)), maps the drives of `drives`, and ends its wineserver."""
    prefix = Path(prefix)
    drives = drives or {}
    log = Path(log) if log else prefix.parent / "wineboot.log"
    prefix.parent.mkdir(parents=True, exist_ok=True)
    env = wine_env(prefix, locale=locale)
    # No prompts for the .NET and HTML engines, which nothing here uses.
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
    run_logged(WINE.wine("wineboot", "-i"), env, log, 120)
    # wineboot returns before the 32-bit half of the prefix (syswow64) is set up; ending the
    # server early would leave it without the DLLs that every 32-bit program loads.
    run_logged(WINE.wineserver("-w"), env, log, 60)
    # Wine 8.0 looks for its own fonts beside its data folder, not where fonts-wine puts them;
    # without Marlett the caption buttons show letters instead of their glyphs.
    marlett = WINE.file("/usr/share/wine/fonts/marlett.ttf")
    if marlett.exists():
        shutil.copyfile(marlett, prefix / "drive_c" / "windows" / "Fonts" / marlett.name)
    types = dict(DRIVE_TYPES, **{l: t for l, (_, t) in drives.items() if t})
    # Wine draws the title bars itself: a virtual display has no window manager to draw them.
    reg = prefix.parent / "harness.reg"
    reg.write_text("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Drives]\r\n" +
                   "".join('"%s:"="%s"\r\n' % item for item in types.items()) +
                   '\r\n[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n"Decorated"="N"\r\n' +
                   JAPANESE_FONT_LINK)
    run_logged(WINE.wine("regedit", "/S", windows_path(reg)), env, log, 60)
    stop_wineserver(env)
    reg.unlink()
    system_reg = (prefix / "system.reg").read_text(encoding="utf-8", errors="replace")
    for letter, kind in types.items():
        if '"%s:"="%s"' % (letter, kind) not in system_reg:
            raise Failure("drive type %s: = %s is not in the prefix's registry" % (letter, kind))
    for letter, (folder, _) in drives.items():
        map_drive(prefix, letter, folder)


def map_drive(prefix, letter, folder):
    """Makes drive `letter` of the prefix the Unix folder `folder` (its type is the prefix's)."""
    link = Path(prefix) / "dosdevices" / (letter.lower() + ":")
    if link.is_symlink() or link.exists():
        link.unlink()
    link.symlink_to(folder)


def copy_prefix(template, prefix):
    """A private copy of a prefix: the Windows folder hard-linked (nothing here writes into it),
    registry and folder structure copied; no drive but C: and Z:."""
    template, prefix = Path(template), Path(prefix)
    linked = subprocess.run(["cp", "-al", str(template), str(prefix)], capture_output=True)
    if linked.returncode != 0:  # another file system: a full copy, slower
        shutil.rmtree(prefix, ignore_errors=True)
        subprocess.run(["cp", "-a", str(template), str(prefix)], check=True)
    for reg in template.glob("*.reg"):
        (prefix / reg.name).unlink()  # a copy of its own: wineserver rewrites these
        shutil.copyfile(reg, prefix / reg.name)
    (prefix / "wineserver").unlink(missing_ok=True)
    for entry in (prefix / "dosdevices").iterdir():
        if entry.name not in ("c:", "z:"):
            entry.unlink()


# --- The X display --------------------------------------------------------------------------------


class Xvfb:
    """A private X display on a free number, chosen by the server itself (-displayfd)."""

    def __init__(self, log_path, detach=False):
        read_end, write_end = os.pipe()
        with open(log_path, "ab") as log:
            self.process = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                 "-nolisten", "tcp"], pass_fds=(write_end,), stdout=log, stderr=subprocess.STDOUT,
                stdin=subprocess.DEVNULL, start_new_session=detach)
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + XVFB_START_S
        try:
            while not number.endswith(b"\n"):
                remaining = deadline - time.monotonic()
                if remaining <= 0 or not select.select([read_end], [], [], remaining)[0]:
                    raise Failure("Xvfb did not report a display within %d s (see %s)" %
                                  (XVFB_START_S, log_path))
                chunk = os.read(read_end, 16)
                if not chunk:
                    raise Failure("Xvfb ended before it reported a display (see %s)" % log_path)
                number += chunk
        except Failure:
            self.close()
            raise
        finally:
            os.close(read_end)
        self.display = ":" + number.decode().strip()

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=PROCESS_END_TIMEOUT_S)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


# --- The settings file of a test installation -----------------------------------------------------

# The keys of lines 1 to 59 of the settings file, in line order.
KEYS = (
    "FOLDER= OPTION= CG= MUS= SND= VOICE1= VOICE2= BG= SIZE= POSITION= VOICE= BGM= SE= SPEED= "
    "ASPEED= FONTSMTH= FONTSHADOW= OVERLAP= EFFECT= KIDOKU= MIDOKU= SKIPKEY= SKIPTYPE= "
    "FULLSCREEN= CCOLOR= RCOLOR= KCOLOR= MCOLOR= VOLUMECHECK= VOLUMEMUS= VOLUMEVIC= VOLUMESND= "
    "DSNOUSE= NOMOVIE= DXSHOW= SAVELOADD= SAVELOADBP= DSMESSAGE= SOUNDOPT= SKIPSTOP= AUTOSTOP= "
    "WINDWALLP= WINDWPNTR= KCOLCHG= VOLUMEALL= VOLUMEDWN= MUSICDOWN= VOICECUT= WHEELBTN= "
    "RBTNCLICK= ALLSOUND= AUTOMCUR= WAKUBTNLOCK= BACKLOGTYPE= CURSORCLEAR= EXHSINVMSG= "
    "VOLUMEC01= VOLUMEC02= VOLUMEC03="
).split()
assert len(KEYS) == 59

HEADER = "[ザルヴェーナ DL版 設定]".encode("cp932")
# Values of lines 2 to 59 (line 1 is the folder).
VALUES = [
    b"0", b"1", b"1", b"1", b"1", b"1", b"1", b"0", b"0,0", b"1", b"80", b"70", b"5", b"5",
    b"1", b"1", b"0", b"1", b"0", b"1", b"0", b"1", b"0", b"255,255,255", b"128,128,255",
    b"255,200,0", b"0,255,128", b"1", b"100", b"100", b"100", b"0", b"0", b"0", b"0", b"0",
    b"1", b"0", b"1", b"0", b"0", b"0", b"1", b"100", b"50", b"0", b"0", b"1", b"0", b"1",
    b"0", b"0", b"0", b"1", b"0", b"100", b"100", b"100",
]
assert len(VALUES) == 58


def crlf(lines):
    return b"".join(line + b"\r\n" for line in lines)


def bare_settings(folder, values=VALUES):
    """A bare settings file of 60 lines, as the game's archive ships it: header, folder, values
    (code page 932, CR LF)."""
    return crlf([HEADER, folder] + list(values))


def keyed_settings(folder, cd_letter=b"C"):
    """A keyed settings file of 61 lines, as the launcher writes it."""
    lines = [HEADER] + [k.encode() + v for k, v in zip(KEYS, [folder] + VALUES)]
    return crlf(lines + [b"CD-ROM=" + cd_letter + b":"])


# --- The programs of a Windows build --------------------------------------------------------------


def launcher(build_dir):
    """ZRK_START.exe of a Windows build folder (or of a folder that holds it), or None."""
    for place in (Path(build_dir) / "src" / "platform" / "win32", Path(build_dir)):
        if (place / LAUNCHER).exists():
            return place / LAUNCHER
    return None


def fixtures(build_dir):
    """The folder of a Windows build's test programs: the stand-in game, the box reader."""
    return Path(build_dir) / "tests" / "fixtures"


# --- The command line -----------------------------------------------------------------------------


def main(what="", *args):
    if what == "shell" and not args:
        print("wine=(%s)" % shlex.join(WINE.wine()))
        print("wineserver=(%s)" % shlex.join(WINE.wineserver()))
    elif what == "prefix" and args:
        drives = [re.fullmatch(r"([a-z])=(.+?)(?::(\w+))?", spec) for spec in args[1:]]
        if not all(drives):
            return main()
        make_prefix(args[0], {m.group(1): (m.group(2), m.group(3)) for m in drives})
    elif what == "display" and len(args) == 2:
        xvfb = Xvfb(args[1], detach=True)
        Path(args[0]).write_text("%d\n" % xvfb.process.pid)
        print(xvfb.display)
    elif what == "stop" and len(args) == 1:
        stop_wineserver(wine_env(args[0]))
    elif what == "settings" and len(args) == 1:
        sys.stdout.buffer.write(bare_settings(args[0].encode("cp932")))
    elif what in ("launcher", "fixtures") and len(args) == 1:
        found = launcher(args[0]) if what == "launcher" else fixtures(args[0])
        if not found or not found.exists():
            raise Missing("no %s in %s" % (what, args[0]))
        print(found)
    else:
        sys.exit("usage:\n" + __doc__.split("\n\n")[2])
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(*sys.argv[1:]))
    except (Failure, Missing, subprocess.CalledProcessError) as error:
        sys.exit("harness.py %s: %s" % (sys.argv[1], error))
