#!/usr/bin/env python3
"""Checks what ZRK_START.exe promises Windows, by reading the PE file itself.

- GUI subsystem; imports from KERNEL32, USER32 and msvcrt only, and none of the functions that
  the MinGW-w64 runtime is known to pull in from Windows newer than XP;
- the application icon as icon group 131, every icon it names present;
- a Japanese version resource (language 0x0411) naming the original file ZRK_START.exe;
- no manifest that requests an execution level;
- a file name that Windows does not take for an installer;
- optionally, the architecture (--arch x86: a 32-bit i386 program; x64: a 64-bit AMD64 one) and a
  size limit (--max-bytes).

Usage: check_executable.py [--arch x86|x64] [--max-bytes N] FILE.exe...
Prints what it found; the exit code is 1 when a check fails.
"""

import argparse
import os
import struct
import sys

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "msvcrt.dll"}
# Functions that Windows XP lacks and that a static MinGW-w64 runtime (winpthread, libstdc++,
# the CRT start-up) or a careless call could bring in. msvcrt's *_s functions came with Vista.
NEWER_THAN_XP = {
    "GetTickCount64", "InitializeCriticalSectionEx", "InitOnceExecuteOnce", "InitOnceBeginInitialize",
    "InitOnceComplete", "FlsAlloc", "FlsFree", "FlsGetValue", "FlsSetValue",
    "InitializeSRWLock", "AcquireSRWLockExclusive", "AcquireSRWLockShared",
    "ReleaseSRWLockExclusive", "ReleaseSRWLockShared", "TryAcquireSRWLockExclusive",
    "InitializeConditionVariable", "SleepConditionVariableCS", "SleepConditionVariableSRW",
    "WakeConditionVariable", "WakeAllConditionVariable", "GetCurrentProcessorNumber",
    "GetErrorMode", "SetThreadErrorMode", "GetThreadErrorMode", "GetFinalPathNameByHandleA",
    "GetFinalPathNameByHandleW", "CreateSymbolicLinkA", "CreateSymbolicLinkW", "CompareStringEx",
    "LCMapStringEx", "GetLocaleInfoEx", "GetUserDefaultLocaleName", "CreateEventExA",
    "CreateEventExW", "CreateMutexExA", "CreateMutexExW", "CreateSemaphoreExA",
    "CreateSemaphoreExW", "QueryFullProcessImageNameA", "QueryFullProcessImageNameW",
    "GetFileInformationByHandleEx", "SetFileInformationByHandle", "CancelIoEx",
    "GetSystemTimePreciseAsFileTime", "WaitOnAddress", "GetQueuedCompletionStatusEx",
    "GetProductInfo",
}
INSTALLER_WORDS = ("setup", "install", "update", "patch")


class Pe:
    """The parts of a PE file that the checks read."""

    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("not an MZ executable")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        self.pe32plus = self.magic == 0x20B
        self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        self.subsystem_version = struct.unpack_from("<HH", data, optional + 48)
        directories = optional + (112 if self.pe32plus else 96)
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i) for i in range(16)]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            _, vsize, rva, raw_size, raw = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((rva, max(vsize, raw_size), raw))

    def offset(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError("RVA 0x%x outside every section" % rva)

    def cstring(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("latin-1")

    def imports(self):
        """{dll name: [function names]}."""
        rva, _ = self.directories[1]
        result = {}
        at = self.offset(rva) if rva else None
        while at is not None:
            lookup, _, _, name, first = struct.unpack_from("<IIIII", self.data, at)
            if name == 0:
                break
            functions = []
            thunk = self.offset(lookup or first)
            width, ordinal_bit = (8, 1 << 63) if self.pe32plus else (4, 1 << 31)
            while True:
                entry = struct.unpack_from("<Q" if width == 8 else "<I", self.data, thunk)[0]
                if entry == 0:
                    break
                functions.append("#%d" % (entry & 0xFFFF) if entry & ordinal_bit else self.cstring(entry + 2))
                thunk += width
            result[self.cstring(name)] = functions
            at += 20
        return result

    def resources(self):
        """{(type, name, language): bytes}; names and types are ints or strings."""
        rva, _ = self.directories[2]
        if not rva:
            return {}
        base = self.offset(rva)
        found = {}

        def key(entry_name):
            if entry_name & 0x80000000:
                at = base + (entry_name & 0x7FFFFFFF)
                length = struct.unpack_from("<H", self.data, at)[0]
                return self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            return entry_name

        def walk(at, path):
            named, numbered = struct.unpack_from("<HH", self.data, at + 12)
            for i in range(named + numbered):
                name, target = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
                if target & 0x80000000:
                    walk(base + (target & 0x7FFFFFFF), path + (key(name),))
                else:
                    data_rva, size = struct.unpack_from("<II", self.data, base + target)
                    start = self.offset(data_rva)
                    found[path + (key(name),)] = self.data[start:start + size]

        walk(base, ())
        return found


def version_strings(block):
    """The StringFileInfo tables of a VS_VERSIONINFO: {table key: {name: value}}."""

    def parse(at, end):
        length, value_length, kind = struct.unpack_from("<HHH", block, at)
        key_end = at + 6
        while block[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = block[at + 6:key_end].decode("utf-16-le")
        value_at = (key_end + 2 + 3) & ~3
        value_size = value_length * 2 if kind == 1 else value_length
        value = block[value_at:value_at + value_size]
        children = []
        child = (value_at + value_size + 3) & ~3
        stop = min(at + length, end)
        while child < stop:
            node, size = parse(child, stop)
            if size == 0:
                break
            children.append(node)
            child = (child + size + 3) & ~3
        return (key, kind, value, children), length

    root, _ = parse(0, len(block))
    tables = {}
    for key, _, _, children in root[3]:
        if key != "StringFileInfo":
            continue
        for table, _, _, strings in children:
            tables[table] = {
                name: value.decode("utf-16-le").rstrip("\0") for name, kind, value, _ in strings
            }
    return tables


MACHINES = {"x86": (0x14C, False), "x64": (0x8664, True)}  # IMAGE_FILE_MACHINE_*, PE32+


def check(path, max_bytes, arch=None):
    failures = []
    data = open(path, "rb").read()
    pe = Pe(data)
    name = os.path.basename(path)
    bits = 64 if pe.pe32plus else 32
    print("%s: %d-bit, %d bytes (%.1f KiB)" % (name, bits, len(data), len(data) / 1024))
    if arch is not None and (pe.machine, pe.pe32plus) != MACHINES[arch]:
        failures.append("machine 0x%x (%d-bit), not an %s program" % (pe.machine, bits, arch))

    if pe.subsystem != 2:
        failures.append("subsystem %d, not the Windows GUI (2)" % pe.subsystem)
    print("  subsystem %d, version %d.%d" % ((pe.subsystem,) + pe.subsystem_version))
    if pe.subsystem_version > (5, 2):
        failures.append("subsystem version %d.%d is newer than XP accepts" % pe.subsystem_version)

    imports = pe.imports()
    for dll, functions in sorted(imports.items()):
        print("  imports %s: %d functions" % (dll, len(functions)))
        if dll.lower() not in ALLOWED_DLLS:
            failures.append("imports %s" % dll)
        newer = [f for f in functions if f in NEWER_THAN_XP or (dll.lower() == "msvcrt.dll" and f.endswith("_s"))]
        if newer:
            failures.append("imports from %s what XP lacks: %s" % (dll, ", ".join(newer)))

    resources = pe.resources()
    groups = {k: v for k, v in resources.items() if k[0] == RT_GROUP_ICON}
    icons = {k[1] for k in resources if k[0] == RT_ICON}
    group = [v for k, v in groups.items() if k[1] == 131]
    if not group:
        failures.append("no icon group 131 (groups: %s)" % sorted(str(k[1]) for k in groups))
    else:
        count = struct.unpack_from("<H", group[0], 4)[0]
        members = [struct.unpack_from("<BBBBHHIH", group[0], 6 + 14 * i) for i in range(count)]
        sizes = ["%dx%d" % (m[0] or 256, m[1] or 256) for m in members]
        print("  icon group 131: %s" % ", ".join(sizes))
        missing = [m[7] for m in members if m[7] not in icons]
        if missing:
            failures.append("icon group 131 names missing icons %s" % missing)

    versions = {k: v for k, v in resources.items() if k[0] == RT_VERSION}
    if not versions:
        failures.append("no version resource")
    for (_, _, language), block in versions.items():
        tables = version_strings(block)
        print("  version resource, language 0x%04x:" % language)
        for table, strings in sorted(tables.items()):
            for key, value in strings.items():
                print("    %s %s = %s" % (table, key, value))
        japanese = {t: s for t, s in tables.items() if t.upper() in ("041104B0", "041103A4")}
        if language != 0x0411 or not japanese:
            failures.append("version resource not Japanese (language 0x%04x, tables %s)" % (language, sorted(tables)))
        for strings in japanese.values():
            if strings.get("OriginalFilename") != "ZRK_START.exe":
                failures.append("OriginalFilename is %r" % strings.get("OriginalFilename"))
            for key in ("FileDescription", "ProductName"):
                if not any(ord(c) > 0x3000 for c in strings.get(key, "")):
                    failures.append("%s is not in Japanese: %r" % (key, strings.get(key)))

    manifests = [v for k, v in resources.items() if k[0] == RT_MANIFEST]
    print("  manifests: %d" % len(manifests))
    for manifest in manifests:
        if b"requestedExecutionLevel" in manifest:
            failures.append("a manifest requests an execution level")

    if any(word in name.lower() for word in INSTALLER_WORDS):
        failures.append("file name %s would make Windows ask for elevation" % name)
    if max_bytes is not None and len(data) > max_bytes:
        failures.append("%d bytes, more than %d" % (len(data), max_bytes))

    for failure in failures:
        print("  FAILED: %s" % failure)
    return not failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", choices=sorted(MACHINES))
    parser.add_argument("--max-bytes", type=int)
    parser.add_argument("executables", nargs="+")
    args = parser.parse_args()
    results = [check(path, args.max_bytes, args.arch) for path in args.executables]
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
