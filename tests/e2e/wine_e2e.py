#!/usr/bin/env python3
"""End-to-end tests of ZRK_START.exe under Wine.

Each case lays out a real installation on drive letters mapped to temporary folders, runs the
32-bit or the 64-bit launcher (--arch x86 or x64) under Wine from its start-up folder, reads back
any message box from the screen with msgbox_reader.exe (which also presses OK) and checks from a
picture of the screen that the box's text is drawn with glyphs, and checks the settings file byte
for byte, the stand-in game's record of how it was started, and the launcher's exit code.

  wine_e2e.py prepare --template DIR            create the Wine prefix that every case copies
  wine_e2e.py run CASE --arch x86|x64 --template DIR --build-dir DIR [--launcher FILE]
  wine_e2e.py cleanup --template DIR
  wine_e2e.py list

A case copies the template prefix, so cases share nothing and may run in parallel; each has its
own X display and its own wineserver. --launcher runs another file as ZRK_START.exe instead of the
build folder's (a release file, such as a signed one); the stand-in game and helpers still come
from the build folder. Exit codes: 0 passed, 1 failed, 77 skipped (launcher not built, or a 32-bit
case on a machine that cannot run 32-bit programs; the reason is printed). The prefix, the display
and Wine itself come from the harness (tests/wine/harness.py).
"""

import argparse
import dataclasses
import json
import os
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "wine"))
from harness import (DATA_FILE, GAME, LAUNCHER, LOCALE, PROCESS_END_TIMEOUT_S, SETTINGS,  # noqa
                     TIME_SCALE, VALUES, WINE, Failure, Missing, Xvfb, bare_settings,
                     copy_prefix, fixtures, keyed_settings, make_prefix, map_drive,
                     require_tools, stop_wineserver, why_no_32bit, windows_path, wine_env)
import harness  # noqa: E402

SKIPPED = 77

# A normal run takes about a second; a box without a reader never ends. Multiplied by
# ZRK_TIME_SCALE, so that a launcher that waits too long or not at all is told from a right one on
# a slow machine too.
LAUNCHER_TIMEOUT_S = 40 * TIME_SCALE
READER_WAIT_MS = 45000 * TIME_SCALE  # the reader's own bound, beyond the launcher's
GAME_START_DELAY_MS = 1000 * TIME_SCALE
READER_START_S = 30 * TIME_SCALE  # the first Wine process of a case starts the prefix's services
DATA = b"ZRK data\r\n"


@dataclasses.dataclass(frozen=True)
class Expect:
    """What a case runs and what it expects. A misspelt field fails at once."""

    start: Path  # the start-up folder (Unix path), the launcher's current directory
    settings: Path  # the settings file
    after: bytes  # its bytes afterwards, or None for no file
    box: dict = None  # the one message box (from MESSAGES), or None for none
    game: object = None  # the game's Windows folder, or (started from, started in), or None
    parent: bool = False  # started by inherit_parent.exe, which holds an inheritable handle
    launcher: str = LAUNCHER  # the launcher to run (a Windows path), if not the start folder's
    locale: str = LOCALE  # the Unix locale, and with it the ANSI code page
    dll_overrides: str = ""  # WINEDLLOVERRIDES
    launchers: int = 1  # how many launchers start at the same moment
    checks: tuple = ()  # more checks, each raising Failure


# --- The expected texts: the three boxes, as a reader of the screen sees them ---------------------

MESSAGES = {
    "kDirectX": {"caption": "ザルヴェーナ", "text": (
        "本製品を起動するにはDirectX9.0c以降が必要です。\nDisc1のDIRECTXというフォルダ内にある"
        "DXSETUP.EXEを\n実行すると必要なDirextXをインストールすることができます。")},
    "kNotInstalled": {"caption": "ザルヴェーナDL版", "text": (
        "ザルヴェーナDL版はインストールされていません。\nダウンロードしたファイルを解凍してください。")},
    "kDamaged": {"caption": "Setup", "text": (
        "ゲームの初期化ファイルの内容が破壊されています。\nデータをインストールしてある場合は、"
        "インストールしてあるデータを削除してから再起動してください。")},
}


def folder_bytes(letter, windows_folder):
    """The folder as the launcher holds it: code page 932, ending in a backslash."""
    return (letter.upper() + ":\\" + windows_folder + "\\").encode("cp932")


def read_record(path):
    """The game's record of how it was started (NAME=VALUE lines), or None when there is none."""
    if not path.exists():
        return None
    return dict(line.partition("=")[::2] for line in path.read_text(encoding="utf-8").splitlines())


def wait_for(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise Failure("%s within %d s" % (what, seconds))
        time.sleep(0.05)


def check_equal(what, got, expected):
    if got != expected:
        raise Failure("%s:\n  expected %r\n  got      %r" % (what, expected, got))


def check_settings(path, expected):
    if expected is None:
        if path.exists():
            raise Failure("%s should not exist, but holds %r" % (path.name, path.read_bytes()))
        return
    if not path.exists():
        raise Failure("%s is missing" % path)
    got = path.read_bytes()
    if got != expected:
        got_lines, want_lines = got.split(b"\r\n"), expected.split(b"\r\n")
        for n, (g, w) in enumerate(zip(got_lines, want_lines)):
            if g != w:
                raise Failure("%s differs first at line %d (of %d written, %d expected):\n"
                              "  expected %r\n  got      %r" % (path.name, n, len(got_lines) - 1,
                                                              len(want_lines) - 1, w, g))
        raise Failure("%s: %d lines written, %d expected; bytes %r" %
                      (path.name, len(got_lines) - 1, len(want_lines) - 1, got[-120:]))


def check_no_temporary_files(folder):
    left = sorted(p.name for p in folder.iterdir() if p.name.upper().endswith(".TMP"))
    if left:
        raise Failure("temporary files left in %s: %s" % (folder, ", ".join(left)))


def check_game(record, expected_folder, expect_parent=False):
    """expected_folder: the Windows folder (str) the game must have started in and from, or a
    pair (the folder it was started from, the folder it started in), or None."""
    if expected_folder is None:
        if record is not None:
            raise Failure("the game was started, but should not have been: %r" % record)
        return
    if record is None:
        raise Failure("no record from the game: it was not started, or the launcher ended before "
                      "the game was ready for input")
    module_folder, folder = (expected_folder if isinstance(expected_folder, tuple) else
                             (expected_folder, expected_folder))
    check_equal("game's command line", record.get("command_line"), GAME)
    check_equal("game's module", record.get("module"), module_folder.rstrip("\\") + "\\" + GAME)
    check_equal("game's current directory", record.get("current_directory").rstrip("\\"),
                folder.rstrip("\\"))
    # Started through inherit_parent.exe: the record says whether the parent's handle got through
    # (the game learns of it from the environment, which is the launcher's own).
    if expect_parent:
        check_equal("the launcher's inheritable handle reached the game",
                    record.get("inherited_handle", "(not known: the environment did not reach it)"),
                    "no")


def check_boxes(result, expected):
    boxes = result["boxes"]
    if expected is None:
        if boxes:
            raise Failure("no message box expected, got %r" % boxes)
        return
    if len(boxes) != 1:
        raise Failure("exactly one message box expected, got %d: %r" % (len(boxes), boxes))
    box = boxes[0]
    check_equal("box caption", box["caption"], expected["caption"])
    check_equal("box text", box["text"], expected["text"])
    check_equal("box buttons", len(box["buttons"]), 1)
    check_equal("box has an owner window", box["has_owner"], False)


# A line of text drawn as empty squares (the font has no glyph for it) has a handful of distinct
# pixel columns: a square's sides, its top and bottom, the gaps. A line of Japanese glyphs has
# dozens. The message boxes' lines have at least 68 (Wine 8 and 10), their lines of empty squares
# at most 26 (the DirectX message's Latin letters among them), their button and caption fewer.
GLYPH_LINE_COLUMNS = 40
INK_BELOW = 80  # of 255: a text pixel (black text on the grey face of a box)


def screenshot_gray(display, path):
    """The screen of `display`, cropped to what is on it (the box), as rows of grey levels; also
    saved in colour to `path` (PNG)."""
    shot = subprocess.run(
        "xwd -root -silent -display %s | convert xwd:- -trim +repage -strip -write PNG8:%s "
        "-colorspace gray -depth 8 pgm:-" % (display, shlex.quote(str(path))), shell=True,
        capture_output=True, timeout=PROCESS_END_TIMEOUT_S)
    # P5 WIDTH HEIGHT MAXVAL, one white space, then a byte per pixel.
    header = shot.stdout.split(maxsplit=4)
    if shot.returncode != 0 or len(header) < 5 or header[0] != b"P5" or header[3] != b"255":
        raise Failure("no picture of the screen (xwd, convert): %s" %
                      shot.stderr.decode(errors="replace").strip())
    width, height = int(header[1]), int(header[2])
    pixels = shot.stdout[len(shot.stdout) - width * height:]
    return [pixels[y * width:(y + 1) * width] for y in range(height)]


def check_box_drawn(rows, picture):
    """The box's text is drawn with glyphs: some line of ink has many distinct pixel columns."""
    best, y = 0, 0
    while y < len(rows):
        if min(rows[y]) >= INK_BELOW:
            y += 1
            continue
        top = y
        while y < len(rows) and min(rows[y]) < INK_BELOW:
            y += 1
        line = rows[top:y]
        columns = {tuple(row[x] < INK_BELOW for row in line) for x in range(len(line[0]))}
        best = max(best, len(columns))
    if best < GLYPH_LINE_COLUMNS:
        raise Failure("the message box's text is not drawn with glyphs (empty squares: no Japanese "
                      "font reached): its richest line has %d distinct pixel columns, a line of "
                      "glyphs at least %d; see %s" % (best, GLYPH_LINE_COLUMNS, picture))


def run_launcher(case, start_folder, display, expect):
    """Runs ZRK_START.exe from start_folder with the message box reader watching: the one in
    start_folder, or the one at expect.launcher (a Windows path); directly, or with
    expect.parent through inherit_parent.exe, which hands it an inheritable handle.

    Where a box is expected, the reader holds it open until a picture of the screen is taken.
    Returns (exit code, reader result, game record, the picture's grey rows or None)."""
    env = wine_env(case.prefix, display, expect.dll_overrides, expect.locale)
    record_path = case.out / "game-record.txt"
    env["ZRK_DL_RECORD"] = windows_path(record_path)
    # The game becomes ready only after a while, and then outlives the launcher's time limit:
    # a launcher that does not wait for input idle ends before the record exists, and one that
    # waits for the game to end does not end in time.
    env["ZRK_DL_START_DELAY_MS"] = str(GAME_START_DELAY_MS)
    env["ZRK_DL_LIFETIME_MS"] = str((LAUNCHER_TIMEOUT_S + 20) * 1000)
    boxes_path = case.out / "boxes.json"
    stop_path = case.out / "stop"
    ready_path = case.out / "reader-ready"
    release_path = case.out / "release"
    reader_log = open(case.out / "reader.log", "wb")
    reader = subprocess.Popen(
        WINE.wine(case.fixtures / "msgbox_reader.exe", "--out", windows_path(boxes_path),
                  "--stop", windows_path(stop_path), "--ready", windows_path(ready_path),
                  "--wait-ms", READER_WAIT_MS,
                  *(("--release", windows_path(release_path)) if expect.box else ())),
        env=env, stdout=reader_log, stderr=reader_log, stdin=subprocess.DEVNULL)
    picture = None
    try:
        # The reader starts the prefix's wineserver; the launcher starts only once it runs (two
        # Wine processes that start a server at the same time can fail).
        wait_for(lambda: ready_path.exists() or reader.poll() is not None, READER_START_S,
                 "msgbox_reader.exe did not start")
        if reader.poll() is not None:
            raise Failure("msgbox_reader.exe ended at start (exit code %s); see %s" %
                          (reader.returncode, case.out / "reader.log"))
        with open(case.out / "launcher.log", "wb") as log:
            try:
                # Output to files, not pipes: the game inherits the launcher's Unix descriptors
                # and would hold a pipe open for its whole life.
                parent = (case.fixtures / "inherit_parent.exe",
                          windows_path(case.out / "inherited-probe.bin")) if expect.parent else ()
                command = WINE.wine(*parent, expect.launcher)
                started = subprocess.Popen(command, cwd=start_folder, env=env,
                                           stdout=log, stderr=log, stdin=subprocess.DEVNULL)
                deadline = time.monotonic() + LAUNCHER_TIMEOUT_S
                try:
                    if expect.box:
                        # The reader writes its result once it has found the box.
                        while (not boxes_path.exists() and started.poll() is None and
                               time.monotonic() < deadline):
                            time.sleep(0.05)
                        if boxes_path.exists():
                            time.sleep(0.5 * TIME_SCALE)  # the box finishes drawing
                            picture = screenshot_gray(display, case.out / "box.png")
                    release_path.touch()
                    code = started.wait(timeout=max(0, deadline - time.monotonic()))
                finally:
                    release_path.touch()
                    if started.poll() is None:
                        started.kill()
                        started.wait()
            except subprocess.TimeoutExpired:
                raise Failure("ZRK_START.exe did not end within %d s" % LAUNCHER_TIMEOUT_S)
        stop_path.touch()
        try:
            reader.wait(timeout=PROCESS_END_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            raise Failure("msgbox_reader.exe did not end within %d s of the launcher" %
                          PROCESS_END_TIMEOUT_S)
        if reader.returncode != 0 or not boxes_path.exists():
            raise Failure("msgbox_reader.exe failed (exit code %s); see %s" %
                          (reader.returncode, case.out / "reader.log"))
        result = json.loads(boxes_path.read_text(encoding="utf-8"))
        return code, result, read_record(record_path), picture
    finally:
        if reader.poll() is None:
            reader.kill()
            reader.wait()
        reader_log.close()


def run_launchers_at_once(case, start_folder, count):
    """Starts `count` launchers in start_folder at the same moment, without a display (a message
    box then returns at once). Returns their exit codes."""
    env = wine_env(case.prefix)
    env["ZRK_DL_RECORD"] = windows_path(case.out / "game-record.txt")
    # One server for all, started first: Wine processes that start a server together can fail.
    subprocess.run(WINE.wineserver("-p"), env=env, check=True, timeout=PROCESS_END_TIMEOUT_S)
    logs = [open(case.out / ("launcher-%d.log" % i), "wb") for i in range(count)]
    try:
        launchers = [subprocess.Popen(WINE.wine(LAUNCHER), cwd=start_folder, env=env, stdout=log,
                                      stderr=log, stdin=subprocess.DEVNULL) for log in logs]
        codes = []
        for launcher in launchers:
            try:
                codes.append(launcher.wait(timeout=LAUNCHER_TIMEOUT_S))
            except subprocess.TimeoutExpired:
                launcher.kill()
                codes.append("did not end within %d s" % LAUNCHER_TIMEOUT_S)
        return codes
    finally:
        for log in logs:
            log.close()


# --- One case -------------------------------------------------------------------------------------


def prepare(template):
    """Creates the prefix that every case copies, with the drive types already registered."""
    require_tools(display=True)
    template = Path(template)
    if template.exists():
        shutil.rmtree(template)
    for old_case in template.parent.glob("case-*"):  # kept by an earlier run that failed
        shutil.rmtree(old_case, ignore_errors=True)
    start = time.monotonic()
    make_prefix(template)
    print("prefix ready in %.1f s: %s" % (time.monotonic() - start, template))


class Case:
    """A case's own folders, drives and Wine prefix, and the launcher it lays out."""

    def __init__(self, root, template, fixtures_dir, launcher):
        self.root = root
        self.prefix = root / "pfx"
        self.out = root / "out"
        self.out.mkdir()
        self.fixtures = fixtures_dir
        self.launcher = launcher
        self.immutable = []
        self.mounts = []
        copy_prefix(template, self.prefix)

    def drive(self, letter):
        """Maps a drive letter to a fresh folder; returns the folder."""
        if letter == "c":
            return self.prefix / "drive_c"
        if letter not in harness.DRIVE_TYPES:
            raise ValueError("no drive type registered for " + letter)
        folder = self.root / "drives" / letter
        folder.mkdir(parents=True, exist_ok=True)
        if not (self.prefix / "dosdevices" / (letter + ":")).is_symlink():
            map_drive(self.prefix, letter, folder)
        return folder

    def folder(self, letter, windows_folder):
        """Creates the Unix folder of a Windows folder such as "Games\\ZRK" on a drive."""
        path = self.drive(letter).joinpath(*windows_folder.split("\\"))
        path.mkdir(parents=True, exist_ok=True)
        return path

    def put_game(self, folder):
        shutil.copyfile(self.fixtures / GAME, folder / GAME)

    def put_launcher(self, folder):
        shutil.copyfile(self.launcher, folder / LAUNCHER)


# --- The cases: the standard installation with changes ---------------------------------------------
#
# The standard installation is D:\Games\ZRK holding the launcher, the data file, the game and a
# bare settings file that names another folder. Started there, the launcher writes the keyed form
# with that folder and starts the game there. Each case is a row that says what it changes; the
# case lays out its installation, runs the launcher once, and checks every output.

HERE = b"D:\\Games\\ZRK\\"
ELSEWHERE = bare_settings(b"C:\\Program Files\\ZRK\\")
SAME = "the settings as they were laid out"
KEYED = "the keyed form naming the install folder"


@dataclasses.dataclass(frozen=True)
class Change:
    before: bytes = ELSEWHERE  # the settings file laid out, or None for none
    letter: str = "d"  # the install folder's drive
    folder: str = "Games\\ZRK"  # the install folder on it, the start-up folder
    data: bool = True  # the data file in the folder
    game: bool = True  # the game in the folder
    change: object = None  # change(case, folder) after the layout; returns Expect fields or None
    after: object = KEYED  # the settings afterwards: bytes, None, SAME or KEYED
    box: str = None  # the message shown (a name in MESSAGES), or None
    started: object = True  # the game starts in the install folder (True), not at all (False),
    #                         or as Expect.game says
    locale: str = LOCALE
    dll_overrides: str = ""
    parent: bool = False  # started by a parent that holds an inheritable handle
    full_disk: bool = False  # the folder on a small disk, filled up after the layout
    launchers: int = 1  # how many launchers start at the same moment

    def __call__(self, case):
        folder = case.folder(self.letter, self.folder)
        if self.full_disk:
            small_disk(case, folder)
        case.put_launcher(folder)
        if self.before is not None:
            (folder / SETTINGS).write_bytes(self.before)
        if self.data:
            (folder / DATA_FILE).write_bytes(DATA)
        if self.game:
            case.put_game(folder)
        if self.full_disk:
            fill_disk(folder)
        after = {SAME: self.before, KEYED: keyed_settings(folder_bytes(self.letter, self.folder))}
        started = {True: self.letter.upper() + ":\\" + self.folder, False: None}
        expect = Expect(start=folder, settings=folder / SETTINGS,
                        after=after.get(self.after, self.after),
                        box=self.box and MESSAGES[self.box],
                        game=started.get(self.started, self.started), parent=self.parent,
                        locale=self.locale, dll_overrides=self.dll_overrides,
                        launchers=self.launchers)
        return dataclasses.replace(expect, **((self.change and self.change(case, folder)) or {}))


def replaced_by_rename(case, folder):
    # A plain file is replaced by a new one renamed over it.
    inode = (folder / SETTINGS).stat().st_ino
    return {"checks": (lambda: check_equal("a new file renamed over the settings",
                                           (folder / SETTINGS).stat().st_ino != inode, True),)}


def hard_linked(case, folder):
    # A second name elsewhere on the drive: a rename would part the two. Written in place, both
    # names hold the new settings and are still one file.
    other = case.folder("d", "Backup") / SETTINGS
    os.link(folder / SETTINGS, other)
    return {"checks": (lambda: check_settings(other, keyed_settings(HERE)),
                       lambda: check_equal("one file under both names",
                                           os.path.samefile(folder / SETTINGS, other), True))}


def symbolic_link(case, folder):
    # The settings file is a symbolic link into a folder on another drive (a sync tool's): the
    # link stays a link, and its target holds the new settings.
    target = case.folder("i", "Sync") / SETTINGS
    os.replace(folder / SETTINGS, target)
    (folder / SETTINGS).symlink_to(target)
    return {"settings": target, "checks": (
        lambda: check_equal("the settings file's link to " + str(target),
                            os.path.realpath(folder / SETTINGS), str(target)),)}


def data_on_skipped_drives(case, folder):
    # The data file lies at the install folder's path only on drives that are not searched
    # (optical, network); the removable drive is searched but does not hold it.
    for letter in "eg":
        (case.folder(letter, "Games\\ZRK") / DATA_FILE).write_bytes(DATA)
    case.folder("f", "Games\\ZRK")


def data_and_game_on_other_drives(case, folder):
    # The optical E: and the network G: hold the data file and the game but are skipped; the
    # fixed H: and I: hold them too, and the lower letter wins.
    for letter in "eghi":
        other = case.folder(letter, "Games\\ZRK")
        (other / DATA_FILE).write_bytes(DATA)
        case.put_game(other)
    case.folder("f", "Games\\ZRK")


def launcher_in(letter, windows_folder, game=None):
    """The launcher started from another folder, with a game beside it: the stand-in game, or a
    file of the bytes `game`."""
    def change(case, _):
        tools = case.folder(letter, windows_folder)
        case.put_launcher(tools)
        if game:
            (tools / GAME).write_bytes(game)
        else:
            case.put_game(tools)
        return {"launcher": "%s:\\%s\\%s" % (letter.upper(), windows_folder, LAUNCHER)}
    return change


def read_only(case, folder):
    # No write permission bits under Wine: Wine running as root would let the file be written;
    # Windows refuses, and so must the launcher.
    (folder / SETTINGS).chmod(0o444)


def immutable(name):
    """Makes the file `name` of the folder, or the folder ("."), immutable: a folder then takes no
    new files, renames or deletions, while its files stay writable."""
    def change(case, folder):
        path = folder / name
        result = subprocess.run(["chattr", "+i", str(path)], capture_output=True, text=True)
        if result.returncode != 0:
            raise Failure("chattr +i %s failed (it needs root and a file system with the immutable"
                          " attribute, such as ext4 or tmpfs): %s" % (path, result.stderr.strip()))
        case.immutable.append(path)
    return change


def small_disk(case, folder):
    """Mounts a 4 MiB tmpfs on folder (which must be empty), so that it can be filled up."""
    folder.mkdir(parents=True, exist_ok=True)
    result = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", str(folder)],
                            capture_output=True, text=True)
    if result.returncode != 0:
        raise Failure("mount -t tmpfs on %s failed (it needs root): %s" %
                      (folder, result.stderr.strip()))
    case.mounts.append(folder)


def fill_disk(folder):
    """Fills the file system of folder to the last byte with a file of its own."""
    with open(folder / "filler.bin", "wb", buffering=0) as filler:
        for size in (65536, 4096, 512, 1):  # large writes first, then what they left over
            block = b"\0" * size
            while True:
                try:
                    filler.write(block)
                except OSError:
                    break


def settings_of_size(size, folder):
    """A bare settings file of exactly `size` bytes: the values of lines 2 to 59 padded evenly,
    each line well within one read."""
    values = list(VALUES)
    missing = size - len(bare_settings(folder))
    assert 0 <= missing <= 58 * 200
    for i in range(missing):
        values[i % len(values)] += b"0"
    data = bare_settings(folder, values)
    assert len(data) == size
    return data


FULL_PAGE = settings_of_size(4096, b"C:\\Program Files\\ZRK\\")
KEYED_ELSEWHERE = keyed_settings(b"C:\\Program Files\\ZRK\\", cd_letter=b"D")
CASES = {
    # The launcher is started by a parent that has an inheritable handle open: the game must not
    # get it.
    "normal_launch": Change(change=replaced_by_rename, parent=True),
    "settings_hard_linked": Change(change=hard_linked),
    "graphics_library_absent": Change(before=bare_settings(HERE), after=SAME, box="kDirectX",
                                      started=False, dll_overrides="d3dx9_40="),
    "settings_missing": Change(before=None, after=None, box="kNotInstalled", started=False),
    "data_file_nowhere": Change(before=bare_settings(HERE), data=False,
                                change=data_on_skipped_drives, after=SAME, box="kDamaged",
                                started=False),
    # A keyed file read, the game absent: the bare form (values without keys) is what remains.
    "game_missing": Change(before=keyed_settings(HERE, cd_letter=b"D"), game=False,
                           after=bare_settings(HERE), started=False),
    # A file that no one may write (Windows refuses it, so does Wine with chattr +i): it stays
    # as it was, and the game starts all the same.
    "settings_immutable": Change(change=immutable(SETTINGS), after=SAME),
    "settings_read_only": Change(change=read_only, after=SAME),
    # No file can be made in the folder, but the settings file itself can be written: it is
    # rewritten in place, as a single open for writing would have written it.
    "folder_takes_no_new_files": Change(change=immutable(".")),
    "folder_takes_no_new_files_game_missing": Change(
        before=KEYED_ELSEWHERE, game=False, change=immutable("."), after=bare_settings(HERE),
        started=False),
    # More than 64 KiB (lines after line 60 are carried and ignored) in a folder that takes no new
    # files: rewritten in place all the same, the tail cut off.
    "large_settings_no_new_files": Change(before=ELSEWHERE + b"x" * (100 * 1024) + b"\r\n",
                                          change=immutable(".")),
    # A full disk: no new file fits, but the keyed form fits in the room the settings file
    # already has (tmpfs gives a file whole 4 KiB pages), so it is written in place.
    "disk_full": Change(full_disk=True),
    # A bare file of exactly 4 KiB fills its page: the keyed form needs another, which the full
    # disk does not have. The old file must survive whole, whichever way the write goes.
    "disk_full_file_must_grow": Change(before=FULL_PAGE, full_disk=True, after=SAME),
    "disk_full_and_no_new_files": Change(before=FULL_PAGE, full_disk=True,
                                         change=immutable("."), after=SAME),
    "settings_symbolic_link": Change(change=symbolic_link),
    # Started in a drive root: the start-up folder gets its backslash appended all the same.
    "keyed_in_drive_root": Change(letter="h", folder="",
                                  before=keyed_settings(b"C:\\Old\\", cd_letter=b"D")),
    # The install folder on D: holds neither the data file nor the game.
    "data_file_on_other_drive": Change(before=keyed_settings(HERE, cd_letter=b"E"), data=False,
                                       game=False, change=data_and_game_on_other_drives,
                                       after=keyed_settings(b"H:\\Games\\ZRK\\"),
                                       started="H:\\Games\\ZRK"),
    # ソ and 表 end in the byte 0x5C in code page 932, the same byte as a backslash.
    "japanese_folder": Change(letter="c", folder="ゲーム\\ザルヴェーナ ソフト表示",
                              before=bare_settings(b"C:\\Old\\")),
    # A Western Windows (code page 1252): the launcher and the game in C:\Games\Café, started from
    # the installation on D:, where there is no game. é is 0xE9 there, a lead byte in 932: read
    # as 932, the launcher's folder would be C:\Games\.
    "western_system_folder_cafe": Change(locale="C.UTF-8", game=False,
                                         change=launcher_in("c", "Games\\Café"),
                                         started=("C:\\Games\\Café", "D:\\Games\\ZRK")),
    # A Western Windows and the game unpacked into a folder with a Japanese name, which code page
    # 1252 cannot spell: GetCurrentDirectoryA answers "D:\acc\??????", which names no folder.
    # The launcher takes the folder's short name instead, which Wine makes for every long name:
    # its first four characters, "_" for each outside ASCII, then "~" and three characters of a
    # hash of the name. FOLDER names the folder by it, the game starts there (its current
    # directory is the short form as passed, its own path the long one: Wine resolves it), and
    # there is no message. The settings are replaced through a new file, as in any other folder.
    "folder_the_code_page_cannot_spell": Change(
        folder="acc\\ザルヴェーナ", locale="C.UTF-8", after=keyed_settings(b"D:\\acc\\____~NVI\\"),
        started=("D:\\acc\\ザルヴェーナ", "D:\\acc\\____~NVI"), change=replaced_by_rename),
    # The system's search would stop at the file beside the launcher, which is no program: the
    # game is not started, not even the good copy in the install folder, and the bare form stays.
    "game_beside_launcher_cannot_start": Change(
        before=keyed_settings(HERE, cd_letter=b"D"), after=bare_settings(HERE), started=False,
        change=launcher_in("d", "Tools", game=b"not a program\r\n")),
    # Four launchers in one folder at the same moment: each ends with code 0 (one that finds the
    # settings file open in another shows the not-installed message, which returns at once here:
    # these run without a display), and the file is whole. The last to reach its write finds no
    # one reading any more, so the new settings are what remains.
    "four_launchers_at_once": Change(launchers=4),
}



def run_case(name, arch, template, build_dir, keep, launcher=None):
    preset = "windows-" + arch
    if launcher:
        print("running %s as %s" % (launcher, LAUNCHER))
    launcher = Path(launcher) if launcher else harness.launcher(build_dir)
    if launcher is None:
        print("SKIPPED: %s is not built in %s (build the %s preset first)" %
              (LAUNCHER, build_dir, preset))
        return SKIPPED
    if not launcher.is_file():
        raise Failure("the launcher to run, %s, does not exist" % launcher)
    if arch == "x86":
        reason = why_no_32bit()
        if reason:
            print("SKIPPED: the 32-bit launcher cannot run here: " + reason)
            return SKIPPED
    fixtures_dir = fixtures(build_dir)
    for fixture in (GAME, "msgbox_reader.exe", "inherit_parent.exe"):
        if not (fixtures_dir / fixture).exists():
            raise Failure("%s is missing: build the %s preset's fixtures" %
                          (fixtures_dir / fixture, preset))
    template = Path(template)
    if not (template / "system.reg").exists():
        raise Failure("no template prefix in %s: run 'wine_e2e.py prepare' first" % template)
    require_tools(arch, display=True, chattr=True)

    # Beside the template, so that the prefix copy can use hard links.
    root = Path(tempfile.mkdtemp(prefix="case-%s-%s-" % (arch, name), dir=template.parent))
    case = Case(root, template, fixtures_dir, launcher)
    xvfb = None
    env = wine_env(case.prefix)
    start = time.monotonic()
    try:
        expect = CASES[name](case)
        checks = [lambda: check_settings(expect.settings, expect.after),
                  lambda: check_no_temporary_files(expect.settings.parent)]
        if expect.launchers > 1:
            codes = run_launchers_at_once(case, expect.start, expect.launchers)
            checks.append(lambda: check_equal("exit codes of the launchers", codes,
                                              [0] * expect.launchers))
        else:
            xvfb = Xvfb(case.out / "xvfb.log")
            code, boxes, record, picture = run_launcher(case, expect.start, xvfb.display,
                                                        expect)
            checks += [lambda: check_boxes(boxes, expect.box),
                       lambda: check_game(record, expect.game, expect.parent),
                       lambda: check_equal("ZRK_START.exe exit code", code, 0)]
            if expect.box:
                def check_picture():
                    if picture is None:
                        raise Failure("no picture of the message box: the reader found none")
                    check_box_drawn(picture, case.out / "box.png")
                checks.append(check_picture)
        checks += list(expect.checks)
        # Every check runs, so that one report shows everything that went wrong.
        problems = []
        for check in checks:
            try:
                check()
            except Failure as problem:
                problems.append(str(problem))
        if problems:
            raise Failure("\n".join(problems))
        print("PASSED %s (%s) in %.1f s" % (name, arch, time.monotonic() - start))
        return 0
    except Failure:
        print("logs and files kept in %s" % root)
        keep = True
        raise
    finally:
        try:
            stop_wineserver(env)
        finally:
            if xvfb:
                xvfb.close()
            for path in case.immutable:
                subprocess.run(["chattr", "-i", str(path)])
            for folder in case.mounts:
                if keep:  # what the small disk held, but the filler
                    shutil.copytree(folder, case.out / "small-disk", dirs_exist_ok=True,
                                    ignore=shutil.ignore_patterns("filler.bin"))
                subprocess.run(["umount", str(folder)])
            if not keep:
                shutil.rmtree(root, ignore_errors=True)




def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("command", choices=("prepare", "run", "cleanup", "list"))
    parser.add_argument("case", nargs="?")
    parser.add_argument("--template", help="folder of the template Wine prefix")
    parser.add_argument("--arch", choices=("x86", "x64"), default="x64",
                        help="which launcher: the 32-bit (x86) or the 64-bit (x64) one")
    parser.add_argument("--build-dir", help="build folder of that architecture's windows preset")
    parser.add_argument("--launcher", help="the file to run as ZRK_START.exe (default: the build's)")
    parser.add_argument("--keep", action="store_true", help="keep the case's folders")
    args = parser.parse_args()
    try:
        if args.command == "list":
            print("\n".join(CASES))
            return 0
        if not args.template:
            parser.error("--template is required")
        if args.command == "prepare":
            prepare(args.template)
            return 0
        if args.command == "cleanup":
            stop_wineserver(wine_env(args.template))
            shutil.rmtree(args.template, ignore_errors=True)
            return 0
        if args.case not in CASES:
            parser.error("unknown case %r; cases: %s" % (args.case, ", ".join(CASES)))
        if args.build_dir is None:
            parser.error("--build-dir is required")
        return run_case(args.case, args.arch, args.template, args.build_dir, args.keep,
                        args.launcher)
    except (Failure, Missing) as error:
        print("FAILED: %s" % error)
        return 1


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    sys.exit(main())
