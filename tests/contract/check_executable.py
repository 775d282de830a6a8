#!/usr/bin/env python3
"""Checks what ZRK_START.exe promises Windows, by reading the PE file itself.

- GUI subsystem; imports from KERNEL32, USER32 and msvcrt only, and none of the functions that
  the MinGW-w64 runtime is known to pull in from Windows newer than XP;
- the application icon as icon group 131 in every size Windows asks for (16, 20, 24, 32, 40, 48
  and 64 pixels as 32-bit BMP images with a mask, 256 as PNG), every icon it names present;
- a Japanese version resource (language 0x0411) naming the original file ZRK_START.exe;
- one application manifest (RT_MANIFEST 1) that an XML parser reads, whose namespaces and
  elements are those of Microsoft's documented schema (Common Controls 6, the supported Windows
  versions, DPI awareness), and that requests no execution level;
- a file name that Windows does not take for an installer;
- what Windows' exploit mitigations need (the rules of HARDENING, each named after what it
  protects, with the BinSkim rule or winchecksec check it matches): a random load address with
  the relocations to move the image (high-entropy on x64), no data that can run as code, no section
  both writable and executable or writable and shared, no SEH handler on x86, stack canaries
  checked, the process ended when its heap is found damaged;
- optionally, the architecture (--arch x86: a 32-bit i386 program; x64: a 64-bit AMD64 one).

Usage: check_executable.py [--arch x86|x64] [--build-dir DIR] [FILE.exe...]
Prints what it found; the exit code is 1 when a check fails.
"""

import argparse
import os
import re
import struct
import sys
import xml.etree.ElementTree as ElementTree
from pathlib import Path

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
ICON_SIZES = (16, 20, 24, 32, 40, 48, 64, 256)
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"

# The application manifest's schema, as Microsoft documents it ("Application manifests",
# "Enabling visual styles", "Setting the default DPI awareness for a process"): every element by
# namespace and the element it may stand in.
ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V3 = "urn:schemas-microsoft-com:asm.v3"
COMPATIBILITY = "urn:schemas-microsoft-com:compatibility.v1"
SMI_2005 = "http://schemas.microsoft.com/SMI/2005/WindowsSettings"
SMI_2016 = "http://schemas.microsoft.com/SMI/2016/WindowsSettings"
MANIFEST_PARENTS = {
    (ASM_V1, "assemblyIdentity"): {(ASM_V1, "assembly"), (ASM_V1, "dependentAssembly")},
    (ASM_V1, "description"): {(ASM_V1, "assembly")},
    (ASM_V1, "dependency"): {(ASM_V1, "assembly")},
    (ASM_V1, "dependentAssembly"): {(ASM_V1, "dependency")},
    (COMPATIBILITY, "compatibility"): {(ASM_V1, "assembly")},
    (COMPATIBILITY, "application"): {(COMPATIBILITY, "compatibility")},
    (COMPATIBILITY, "supportedOS"): {(COMPATIBILITY, "application")},
    (ASM_V3, "application"): {(ASM_V1, "assembly")},
    (ASM_V3, "windowsSettings"): {(ASM_V3, "application")},
    (SMI_2005, "dpiAware"): {(ASM_V3, "windowsSettings")},
    (SMI_2016, "dpiAwareness"): {(ASM_V3, "windowsSettings")},
}
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}": "Vista",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "10 and 11",
}
COMMON_CONTROLS = {"type": "win32", "name": "Microsoft.Windows.Common-Controls",
                   "version": "6.0.0.0", "processorArchitecture": "*",
                   "publicKeyToken": "6595b64144ccf1df", "language": "*"}


def qualified(tag):
    """(namespace, local name) of an ElementTree tag."""
    return tuple(tag[1:].split("}", 1)) if tag.startswith("{") else ("", tag)


def manifest_failures(text):
    """What is wrong with an application manifest, as a list of sentences."""
    try:
        root = ElementTree.fromstring(text)
    except ElementTree.ParseError as error:
        return ["the manifest does not parse: %s" % error]
    failures = []
    if qualified(root.tag) != (ASM_V1, "assembly") or root.get("manifestVersion") != "1.0":
        failures.append("the root is %s, manifestVersion %r" % (root.tag, root.get("manifestVersion")))
    parents = {child: parent for parent in root.iter() for child in parent}
    for element in root.iter():
        name = qualified(element.tag)
        if name[1] in ("trustInfo", "requestedExecutionLevel", "requestedPrivileges"):
            failures.append("the manifest requests an execution level (%s)" % name[1])
        elif element is not root and qualified(parents[element].tag) not in MANIFEST_PARENTS.get(name, ()):
            failures.append("%s is no element of the schema in %s" % (element.tag, parents[element].tag))
    # The program's own identity: a malformed one makes Windows refuse to start the program.
    identity = root.find("{%s}assemblyIdentity" % ASM_V1)
    if identity is None:
        failures.append("the manifest names no assemblyIdentity of the program")
    else:
        version = identity.get("version", "").split(".")
        if (identity.get("type") != "win32" or not identity.get("name") or len(version) != 4 or
                not all(part.isdigit() and int(part) <= 65535 for part in version) or
                identity.get("processorArchitecture") not in ("*", "x86", "amd64")):
            failures.append("the program's assemblyIdentity is malformed: %r" % identity.attrib)
    dependencies = [e.attrib for e in root.iterfind(
        "{%s}dependency/{%s}dependentAssembly/{%s}assemblyIdentity" % (ASM_V1, ASM_V1, ASM_V1))]
    if dependencies != [COMMON_CONTROLS]:
        failures.append("dependencies %r, not Common Controls 6 alone" % dependencies)
    systems = [e.get("Id") for e in root.iterfind(
        "{%s}compatibility/{%s}application/{%s}supportedOS" % ((COMPATIBILITY,) * 3))]
    if sorted(systems) != sorted(SUPPORTED_OS):
        failures.append("supported systems %r, not Vista to 10/11" % systems)
    settings = "{%s}application/{%s}windowsSettings/" % (ASM_V3, ASM_V3)
    aware = root.find(settings + "{%s}dpiAware" % SMI_2005)
    awareness = root.find(settings + "{%s}dpiAwareness" % SMI_2016)
    if aware is None or aware.text.strip() != "true/pm":
        failures.append("dpiAware is not true/pm")
    if awareness is None or [v.strip() for v in awareness.text.split(",")] != ["PerMonitorV2",
                                                                             "PerMonitor"]:
        failures.append("dpiAwareness is not PerMonitorV2, PerMonitor")
    return failures


class Pe:
    """The parts of a PE file that the checks read."""

    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("not an MZ executable")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        (self.machine, sections, _, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        self.pe32plus = self.magic == 0x20B
        self.image_base = struct.unpack_from("<Q" if self.pe32plus else "<I", data,
                                             optional + (24 if self.pe32plus else 28))[0]
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", data, optional + 68)
        self.subsystem_version = struct.unpack_from("<HH", data, optional + 48)
        directories = optional + (112 if self.pe32plus else 96)
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i) for i in range(16)]
        self.sections = []
        self.section_table = []  # (name, characteristics, bytes in the file)
        table = optional + optional_size
        for i in range(sections):
            name, vsize, rva, raw_size, raw = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((rva, max(vsize, raw_size), raw))
            flags = struct.unpack_from("<I", data, table + 40 * i + 36)[0]
            self.section_table.append((name.rstrip(b"\0").decode("latin-1"), flags,
                                       data[raw:raw + raw_size]))

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

# What Windows' exploit mitigations need of the file: the rules by which BinSkim and winchecksec
# judge a signed program, each named here after what it protects.
RELOCS_STRIPPED = 0x0001  # IMAGE_FILE_RELOCS_STRIPPED
HIGH_ENTROPY_VA, DYNAMIC_BASE, NX_COMPAT, NO_SEH = 0x0020, 0x0040, 0x0100, 0x0400
SCN_MEM_SHARED, SCN_MEM_EXECUTE, SCN_MEM_WRITE = 0x10000000, 0x20000000, 0x80000000
BASE_RELOCATIONS = 5  # the data directory of the base relocation table
# Where a failed stack cookie check goes: __stack_chk_fail, alone in a section of this name
# (src/platform/win32/StackProtector.cpp), which ends the process by mov ecx, 2
# (FAST_FAIL_STACK_COOKIE_CHECK_FAILURE); int 0x29.
STACK_COOKIE_FAILURE = ".stkfail"
STACK_COOKIE_FAST_FAIL = b"\xB9\x02\x00\x00\x00\xCD\x29"
# x86 code that puts a handler on the SEH chain writes fs:[0]: mov fs:[0], eax; mov fs:[0], r32
# (esp included); pop fs:[0].
SEH_CHAIN_WRITE = re.compile(rb"\x64\xA3\0\0\0\0|"
                             rb"\x64\x89[\x05\x0D\x15\x1D\x25\x2D\x35\x3D]\0\0\0\0|"
                             rb"\x64\x8F\x05\0\0\0\0")


def sections_with(pe, flags):
    return [(name, section_flags, data) for name, section_flags, data in pe.section_table
            if section_flags & flags == flags]


def stack_cookie_refusal(pe):
    """Why the code checks no stack canary, or None: every function that keeps one calls
    __stack_chk_fail when it finds it changed (call rel32, E8), and only such a function does."""
    failure = [(rva, code) for (name, _, code), (rva, _, _) in zip(pe.section_table, pe.sections)
               if name == STACK_COOKIE_FAILURE]
    if not failure or STACK_COOKIE_FAST_FAIL not in failure[0][1]:
        return "no %s section ending the process by __fastfail: not StackProtector.cpp's" % (
            STACK_COOKIE_FAILURE)
    calls = 0
    for (_, flags, code), (rva, _, _) in zip(pe.section_table, pe.sections):
        if not flags & SCN_MEM_EXECUTE:
            continue
        for call in re.finditer(b"\xE8", code[:-4]):
            target = rva + call.end() + 4 + struct.unpack_from("<i", code, call.end())[0]
            calls += target == failure[0][0]
    print("  %d functions check a stack canary" % calls)
    return None if calls else "no function checks a stack canary (none calls __stack_chk_fail)"


def seh_refusal(pe):
    """Why the x86 image cannot say that it has no SEH handler, or None."""
    if not pe.dll_characteristics & NO_SEH:
        return "not marked NO_SEH, and no SafeSEH table lists its handlers"
    writes = [name for name, _, code in sections_with(pe, SCN_MEM_EXECUTE)
              if SEH_CHAIN_WRITE.search(code)]
    if writes:
        return "marked NO_SEH, but code in %s writes the SEH chain (fs:[0])" % writes
    return None


# (rule, the architecture it applies to or None for both, why the file breaks it or None).
HARDENING = (
    # BinSkim BA2009 EnableAddressSpaceLayoutRandomization; winchecksec dynamicBase.
    ("address_space_randomized", None, lambda pe: None if pe.dll_characteristics & DYNAMIC_BASE else
     "not marked DYNAMICBASE: Windows loads it at its fixed address"),
    # BinSkim BA2009 (relocations stripped); winchecksec aslr: without its relocations the image
    # cannot be moved, whatever its flag says.
    ("relocations_kept", None, lambda pe: "no base relocation table" if
     pe.characteristics & RELOCS_STRIPPED or not pe.directories[BASE_RELOCATIONS][1] else None),
    # BinSkim BA2015 EnableHighEntropyVirtualAddresses; winchecksec highEntropyVA. x64 only.
    ("high_entropy_randomized", "x64", lambda pe: None if pe.dll_characteristics & HIGH_ENTROPY_VA
     else "not marked HIGH_ENTROPY_VA"),
    # BinSkim BA2016 MarkImageAsNXCompatible; winchecksec nx.
    ("data_not_executable", None, lambda pe: None if pe.dll_characteristics & NX_COMPAT else
     "not marked NX_COMPAT: its data could be run as code"),
    # BinSkim BA2021 DoNotMarkWritableSectionsAsExecutable, and with it BA2010
    # DoNotMarkImportsSectionAsExecutable (the import table lies in a writable section here).
    ("no_writable_code", None, lambda pe: "sections both writable and executable: %s" % [
        name for name, _, _ in sections_with(pe, SCN_MEM_WRITE | SCN_MEM_EXECUTE)] if
     sections_with(pe, SCN_MEM_WRITE | SCN_MEM_EXECUTE) else None),
    # BinSkim BA2019 DoNotMarkWritableSectionsAsShared.
    ("no_shared_writable_data", None, lambda pe: "sections both writable and shared: %s" % [
        name for name, _, _ in sections_with(pe, SCN_MEM_WRITE | SCN_MEM_SHARED)] if
     sections_with(pe, SCN_MEM_WRITE | SCN_MEM_SHARED) else None),
    # BinSkim BA2018 EnableSafeSEH (NO_SEH or a SafeSEH table); winchecksec seh, safeSEH. x86
    # only: x64 unwinds by tables, not by a chain on the stack.
    ("exception_handlers_safe", "x86", seh_refusal),
    # BinSkim BA2011 EnableStackProtection; winchecksec gs. Both look for MSVC's /GS cookie; GCC's
    # -fstack-protector-strong makes the same check with its own guard.
    ("stack_cookies_checked", None, stack_cookie_refusal),
    # No BinSkim rule or winchecksec check; the heap setting of Microsoft's SDL. Imported or looked
    # up at run time, its name is in the file either way.
    ("heap_terminates_on_corruption", None, lambda pe: None if b"HeapSetInformation\0" in pe.data
     else "HeapSetInformation is never called: a damaged heap does not end the process"),
)


def check(path, arch=None):
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

    print("  characteristics 0x%04x, DllCharacteristics 0x%04x, image base 0x%x" %
          (pe.characteristics, pe.dll_characteristics, pe.image_base))
    for rule, only, test in HARDENING:
        if only is not None and only != ("x64" if pe.pe32plus else "x86"):
            continue
        why = test(pe)
        print("  %s: %s" % (rule, "ok" if why is None else "NO"))
        if why is not None:
            failures.append("%s: %s" % (rule, why))

    # What a signed program loads at its start: system libraries only, each call there on XP.
    imports = pe.imports()
    for dll, functions in sorted(imports.items()):
        print("  imports %s: %d functions" % (dll, len(functions)))
        if dll.lower() not in ALLOWED_DLLS:
            failures.append("system_imports_only: imports %s" % dll)
        newer = [f for f in functions if f in NEWER_THAN_XP or (dll.lower() == "msvcrt.dll" and f.endswith("_s"))]
        if newer:
            failures.append("system_imports_only: imports from %s what XP lacks: %s" %
                            (dll, ", ".join(newer)))
    if {dll.lower() for dll in imports} != ALLOWED_DLLS:
        failures.append("system_imports_only: imports from %s, not from each of %s" %
                        (sorted(imports), sorted(ALLOWED_DLLS)))

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
        if sorted(m[0] or 256 for m in members) != list(ICON_SIZES) or any(m[0] != m[1] for m in members):
            failures.append("icon sizes %s, not %s" % (sizes, ICON_SIZES))
        images = {k[1]: v for k, v in resources.items() if k[0] == RT_ICON}
        for m in members:
            image = images.get(m[7], b"")
            side = m[0] or 256
            if side >= 256:
                if not image.startswith(PNG_SIGNATURE):
                    failures.append("the %d-pixel icon is not a PNG image" % side)
                continue
            header = struct.unpack_from("<IiiHH", image, 0) if len(image) >= 14 else None
            mask_bytes = ((side + 31) // 32) * 4 * side
            if header != (40, side, 2 * side, 1, 32) or len(image) < 40 + 4 * side * side + mask_bytes:
                failures.append("the %d-pixel icon is not a 32-bit BMP image with a mask: %r, %d bytes" %
                                (side, header, len(image)))

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

    manifests = {k[1]: v for k, v in resources.items() if k[0] == RT_MANIFEST}
    print("  manifests: %s" % sorted(manifests))
    if list(manifests) != [1]:
        failures.append("manifests %s, not the one application manifest (1)" % sorted(manifests))
    for manifest in manifests.values():
        failures += manifest_failures(manifest)

    if any(word in name.lower() for word in INSTALLER_WORDS):
        failures.append("file name %s would make Windows ask for elevation" % name)

    for failure in failures:
        print("  FAILED: %s" % failure)
    return not failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", choices=sorted(MACHINES))
    parser.add_argument("--build-dir", help="check the ZRK_START.exe of this Windows build folder")
    parser.add_argument("executables", nargs="*")
    args = parser.parse_args()
    if args.build_dir:
        sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "wine"))
        import harness
        args.executables.append(str(harness.launcher(args.build_dir)))
    if not args.executables:
        parser.error("no executable to check")
    results = [check(path, args.arch) for path in args.executables]
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
