// The simulated Windows behaves as Windows does where the launcher relies on it. What the contract
// suite states, which runs on the simulation in both code pages too, is not repeated here: these
// are the simulation's own seeding, faults and observation, and what only it can set up.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "simulated/SimulatedWindows.h"
#include "support/FailsWith.h"

namespace {

// Whether `call` (true when the call it makes failed) fails with `error`, the last error poisoned
// before it.
template <typename Call>
::testing::AssertionResult Fails(SimulatedWindows& os, std::uint32_t error, Call call) {
  return testing_support::FailsWith(
      os, error, [&] { os.setLastError(testing_support::kPoisonedError); }, call);
}

OsHandle OpenForReading(SimulatedWindows& os, const std::string& path,
                        std::uint32_t share = kShareNone) {
  return os.createFile(path.c_str(), kGenericRead, share, kOpenExisting, kAttributeNormal);
}

OsHandle CreateForWriting(SimulatedWindows& os, const std::string& path) {
  return os.createFile(path.c_str(), kGenericWrite, kShareNone, kCreateAlways, kAttributeNormal);
}

// The full path of `name`, and after a "|" the file part, if there is one.
std::string FullPath(SimulatedWindows& os, const std::string& name) {
  char buffer[kMaxPath];
  char* filePart = nullptr;
  const std::uint32_t length = os.fullPathName(name.c_str(), kMaxPath, buffer, &filePart);
  if (length == 0 || length >= kMaxPath) return "<failed>";
  return std::string(buffer, length) + (filePart ? "|" + std::string(filePart) : "");
}

TEST(SimulatedPaths, FullPathNamesResolveAsWindowsResolvesThem) {
  struct Case {
    std::string cwd, name, full, filePart;  // filePart "" means none
  };
  const std::string unc = "\\\\server\\share";
  const Case cases[] = {
      {"C:\\Games\\X", "D:\\a\\.\\b\\..\\c.txt", "D:\\a\\c.txt", "c.txt"},
      {"C:\\Games\\X", "D:/a//b", "D:\\a\\b", "b"},
      {"C:\\Games\\X", "d:\\A", "d:\\A", "A"},
      {"C:\\Games\\X", "C:\\..\\..\\a", "C:\\a", "a"},
      {"C:\\Games\\X", "C:\\a.\\b. ", "C:\\a\\b", "b"},
      {"C:\\Games\\X", "..\\y", "C:\\Games\\y", "y"},
      {"C:\\Games\\X", ".", "C:\\Games\\X", "X"},
      {"C:\\Games\\X", "\\root.txt", "C:\\root.txt", "root.txt"},
      {"C:\\Games\\X", "C:rel", "C:\\Games\\X\\rel", "rel"},
      {"C:\\Games\\X", "C:", "C:\\Games\\X", "X"},
      {"C:\\Games\\X", "D:rel", "D:\\rel", "rel"},
      {"C:\\", "C:\\", "C:\\", ""},
      {"C:\\Games\\X", unc + "\\dir\\..\\f", unc + "\\f", "f"},
      {"C:\\Games\\X", unc + "\\..\\f", unc + "\\f", "f"},
      {unc + "\\x", "a.txt", unc + "\\x\\a.txt", "a.txt"},
      {unc + "\\x", "\\a.txt", unc + "\\a.txt", "a.txt"},
      // The trail byte of a double-byte character may be 0x5C and is no separator.
      {"C:\\", "C:\\\x83\x5C\\f", "C:\\\x83\x5C\\f", "f"},
      {"C:\\", "C:\\\x83\x5C\\..\\f", "C:\\f", "f"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cwd + " + " + c.name);
    SimulatedWindows os;
    os.setCurrentDirectoryPath(c.cwd);
    EXPECT_EQ(FullPath(os, c.name), c.full + (c.filePart.empty() ? "" : "|" + c.filePart));
  }
}

TEST(SimulatedDrives, TypesMediaAndUnmappedLetters) {
  SimulatedWindows os;
  os.addDrive('A', kDriveRemovable, false);
  os.addDrive('D', kDriveCdrom, false);
  os.addDrive('E', kDriveFixed, true, kFsCasePreserved);
  EXPECT_EQ(os.driveType("A:\\"), kDriveRemovable);
  EXPECT_EQ(os.driveType("D:\\"), kDriveCdrom);
  EXPECT_EQ(os.driveType("c:\\"), kDriveFixed);
  EXPECT_EQ(os.driveType("C:\\Games\\"), kDriveNoRootDir);
  EXPECT_EQ(os.callIndex("GetDriveTypeA A:\\"), 0);

  std::uint32_t flags = 0;
  EXPECT_TRUE(os.volumeInformation("E:\\", flags));
  EXPECT_EQ(flags, kFsCasePreserved);
  // Volume queries and opens on drives without media or unmapped: the contract suite.
  EXPECT_TRUE(
      Fails(os, kErrorNotReady, [&] { return os.fileAttributes("D:\\") == kInvalidAttributes; }));
}

TEST(SimulatedFiles, NamesMatchWhateverTheirCaseAndKeepTheirOwn) {
  SimulatedWindows os;
  os.addFile("C:\\Games\\X\\Data.Sd", "bytes");
  const OsHandle file = CreateForWriting(os, "c:\\GAMES\\x\\DATA.SD");
  ASSERT_NE(file, kInvalidHandle);
  EXPECT_TRUE(os.closeHandle(file));
  EXPECT_EQ(os.files(), std::vector<std::string>{"C:\\Games\\X\\Data.Sd"});
  EXPECT_EQ(os.fileBytes("C:\\GAMES\\X\\DATA.SD"), "");
  EXPECT_EQ(os.callIndex("CloseHandle file C:\\Games\\X\\Data.Sd"), 1);
}

TEST(SimulatedFiles, OpensRefusedAsWindowsRefusesThem) {
  struct Case {
    const char* name;
    std::uint32_t attributes;  // of the existing C:\X\F.INI
    std::string path;
    std::uint32_t access, disposition, attributesAsked;
    std::uint32_t error;  // 0: the open succeeds
  };
  // Missing files and folders, and CREATE_ALWAYS on read-only, hidden and system files, are in
  // the contract suite, which runs on the simulation too.
  const std::string file = "C:\\X\\F.INI";
  const Case cases[] = {
      {"a folder", kAttributeArchive, "C:\\X", kGenericRead, kOpenExisting, kAttributeNormal,
       kErrorAccessDenied},
      {"write read-only", kAttributeReadOnly, file, kGenericWrite, kOpenExisting, kAttributeNormal,
       kErrorAccessDenied},
      {"read read-only", kAttributeReadOnly, file, kGenericRead, kOpenExisting, kAttributeNormal,
       0},
      {"replace hidden as hidden", kAttributeHidden, file, kGenericWrite, kCreateAlways,
       kAttributeHidden, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimulatedWindows os;
    os.addFile(file, "old", c.attributes);
    OsHandle handle = kInvalidHandle;
    auto refused = [&] {
      handle =
          os.createFile(c.path.c_str(), c.access, kShareNone, c.disposition, c.attributesAsked);
      return handle == kInvalidHandle;
    };
    if (c.error != 0) {
      EXPECT_TRUE(Fails(os, c.error, refused));
      EXPECT_EQ(os.fileBytes(file), "old");
    } else {
      EXPECT_FALSE(refused());
    }
  }
}

TEST(SimulatedFiles, ExclusiveOpenKeepsEveryoneElseOut) {
  SimulatedWindows os;
  const std::string path = "C:\\X\\F.INI";
  os.addFile(path, "bytes");
  const OsHandle first = OpenForReading(os, path);
  ASSERT_NE(first, kInvalidHandle);
  EXPECT_TRUE(Fails(os, kErrorSharingViolation,
                    [&] { return OpenForReading(os, path, kFileShareRead) == kInvalidHandle; }));
  EXPECT_TRUE(Fails(os, kErrorSharingViolation, [&] { return !os.deleteFile(path.c_str()); }));
  os.addFile("C:\\X\\NEW.INI", "new");
  EXPECT_TRUE(Fails(os, kErrorAccessDenied,
                    [&] { return !os.renameOver("C:\\X\\NEW.INI", path.c_str()); }));
  EXPECT_TRUE(Fails(os, kErrorSharingViolation,
                    [&] { return !os.renameOver(path.c_str(), "C:\\X\\OTHER.INI"); }));
  EXPECT_EQ(os.openHandles(), std::vector<std::string>{"file:" + path});
  ASSERT_TRUE(os.closeHandle(first));

  // Readers that share reading may read together.
  const OsHandle a = OpenForReading(os, path, kFileShareRead);
  const OsHandle b = OpenForReading(os, path, kFileShareRead);
  EXPECT_NE(b, kInvalidHandle);
  os.closeHandle(a);
  os.closeHandle(b);

  // Sharing belongs to the file, not to a name: open through a symbolic link, the file refuses
  // its other name too. Removing one name leaves the file to the other.
  os.addHardLink(path, "C:\\X\\SECOND.INI");
  os.addSymbolicLink("C:\\X\\LINK.INI", path);
  const OsHandle linked = OpenForReading(os, "C:\\X\\LINK.INI");
  EXPECT_NE(linked, kInvalidHandle);
  EXPECT_TRUE(Fails(os, kErrorSharingViolation, [&] {
    return OpenForReading(os, "C:\\X\\SECOND.INI", kFileShareRead) == kInvalidHandle;
  }));
  EXPECT_TRUE(os.closeHandle(linked));
  EXPECT_TRUE(os.deleteFile("C:\\X\\LINK.INI"));  // the link itself
  EXPECT_EQ(os.fileBytes(path), "bytes");
  os.addSymbolicLink("C:\\X\\LINK.INI", path);
  // The room of a file comes back with its last name only.
  os.setFreeSpace(0);
  EXPECT_TRUE(os.deleteFile(path.c_str()));
  std::uint32_t written = 0;
  const OsHandle grown = CreateForWriting(os, "C:\\X\\GROWN.INI");
  EXPECT_TRUE(os.writeFile(grown, "x", 1, written));
  EXPECT_EQ(written, 0u);
  os.closeHandle(grown);
  EXPECT_EQ(os.fileBytes("C:\\X\\SECOND.INI"), "bytes");
  EXPECT_FALSE(os.hasFile("C:\\X\\LINK.INI")) << "a link to nothing";
  EXPECT_TRUE(Fails(os, kErrorFileNotFound,
                    [&] { return OpenForReading(os, "C:\\X\\LINK.INI") == kInvalidHandle; }));
}

// Renames that Windows allows are in the contract suite; these are the refusals it cannot make.
TEST(SimulatedFiles, RenamesRefusedByAFaultOrAcrossVolumes) {
  struct Case {
    const char* name;
    void (*prepare)(SimulatedWindows&);
    std::string target;
    std::uint32_t error;
  };
  const Case cases[] = {
      {"injected fault", [](SimulatedWindows& os) { os.refuseRenamesInto("C:\\X\\F.INI"); },
       "C:\\X\\F.INI", kErrorAccessDenied},
      {"other drive", [](SimulatedWindows& os) { os.addDrive('D', kDriveFixed); }, "D:\\F.INI",
       kErrorNotSameDevice},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimulatedWindows os;
    os.addFile("C:\\X\\F.TMP", "new");
    os.addFile("C:\\X\\F.INI", "old");
    c.prepare(os);
    EXPECT_TRUE(
        Fails(os, c.error, [&] { return !os.renameOver("C:\\X\\F.TMP", c.target.c_str()); }));
    EXPECT_EQ(os.fileBytes("C:\\X\\F.TMP"), "new");
    EXPECT_EQ(os.fileBytes("C:\\X\\F.INI"), "old");
  }
}

TEST(SimulatedFiles, ReadsAndWritesWithInjectedFaults) {
  SimulatedWindows os;
  const std::string path = "C:\\X\\F.BIN";
  os.addFile(path, "0123456789");
  os.failReadAt(path, 6);
  const OsHandle reader = OpenForReading(os, path);
  char buffer[16];
  std::uint32_t count = 0;
  ASSERT_TRUE(os.readFile(reader, buffer, 4, count));  // bytes 0-3, before the fault
  EXPECT_EQ(std::string(buffer, count), "0123");
  // Byte 6 would be delivered; the handle was not opened for writing.
  EXPECT_TRUE(Fails(os, kErrorCrc, [&] { return !os.readFile(reader, buffer, 4, count); }));
  EXPECT_TRUE(Fails(os, kErrorAccessDenied, [&] { return !os.writeFile(reader, "x", 1, count); }));
  os.closeHandle(reader);

  os.failWritesAfter(5);
  os.failFlush();
  os.failCloseOf(path);
  const OsHandle writer = CreateForWriting(os, path);
  ASSERT_TRUE(os.writeFile(writer, "abc", 3, count));
  EXPECT_EQ(count, 3u);
  ASSERT_TRUE(os.writeFile(writer, "defg", 4, count));  // the disk fills up: a short count
  EXPECT_EQ(count, 2u);
  ASSERT_TRUE(os.writeFile(writer, "h", 1, count));
  EXPECT_EQ(count, 0u);
  EXPECT_FALSE(os.flushFile(writer));
  EXPECT_FALSE(os.closeHandle(writer));
  EXPECT_TRUE(os.openHandles().empty()) << "a failed close still releases the handle";
  EXPECT_EQ(os.fileBytes(path), "abcde");
  EXPECT_TRUE(Fails(os, kErrorInvalidHandle, [&] { return !os.closeHandle(writer); }));
  EXPECT_EQ(os.callCount("CloseHandle invalid"), 1);
}

TEST(SimulatedProcesses, ProgramSearchOrder) {
  // The launcher in C:\Launcher, the current directory C:\Games\X, the child asked to start in
  // D:\Other, and the system folders last.
  enum Where { launcherFolder, currentDirectory, childDirectory, systemFolder };
  const std::string folders[] = {"C:\\Launcher\\", "C:\\Games\\X\\", "D:\\Other\\",
                                 "C:\\Windows\\System32\\"};
  struct Case {
    const char* name;
    std::vector<Where> present;
    std::string started;  // "" when creation fails
  };
  const Case cases[] = {
      {"launcher's folder first",
       {launcherFolder, currentDirectory, systemFolder},
       folders[launcherFolder]},
      {"then the current directory", {currentDirectory, systemFolder}, folders[currentDirectory]},
      {"then the system folders", {childDirectory, systemFolder}, folders[systemFolder]},
      {"never the child's directory", {childDirectory}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimulatedWindows os;
    os.addDrive('D', kDriveFixed);
    os.addDirectory(folders[childDirectory]);
    os.setModuleFileName(folders[launcherFolder] + "ZRK_START.exe");
    os.setCurrentDirectoryPath(folders[currentDirectory]);
    os.setSearchPath({folders[systemFolder]});
    for (Where where : c.present) os.addExecutable(folders[where] + "ZRK_DL.exe");
    ProcessInfo info;
    auto start = [&] {
      return os.startProcess(nullptr, "ZRK_DL.exe", kNormalPriorityClass,
                             folders[childDirectory].c_str(), info);
    };
    if (c.started.empty()) {
      EXPECT_TRUE(Fails(os, kErrorFileNotFound, [&] { return !start(); }));
      continue;
    }
    EXPECT_TRUE(start());
    ASSERT_EQ(os.startedProcesses().size(), 1u);
    const auto& process = os.startedProcesses()[0];
    EXPECT_EQ(process.image, c.started + "ZRK_DL.exe");
    EXPECT_EQ(process.application, "");
    EXPECT_EQ(process.currentDirectory, folders[childDirectory]);
    EXPECT_EQ(os.callIndex("CreateProcessA " + process.image), 0);
  }
}

TEST(SimulatedProcesses, WhatCanBeStarted) {
  struct Case {
    const char* name;
    const char* application;
    const char* commandLine;
    const char* directory;
    std::uint32_t error;  // 0: started
  };
  const Case cases[] = {
      {"exact application", "C:\\Games\\X\\ZRK_DL.exe", "ZRK_DL.exe", nullptr, 0},
      {"relative application", "ZRK_DL.exe", "x", nullptr, 0},
      {"application gets no .exe", "C:\\Games\\X\\ZRK_DL", "x", nullptr, kErrorFileNotFound},
      {"searched name gets .exe", nullptr, "ZRK_DL -w", nullptr, 0},
      {"quoted name", nullptr, "\"ZRK_DL.exe\" -w", nullptr, 0},
      {"not a program", "C:\\Games\\X\\BAD.exe", "x", nullptr, kErrorBadExeFormat},
      {"a plain file", "C:\\Games\\X\\README.TXT", "x", nullptr, kErrorBadExeFormat},
      {"start folder missing", nullptr, "ZRK_DL.exe", "C:\\Nowhere\\", kErrorDirectory},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimulatedWindows os;
    os.setCurrentDirectoryPath("C:\\Games\\X");
    os.addExecutable("C:\\Games\\X\\ZRK_DL.exe");
    os.addExecutable("C:\\Games\\X\\BAD.exe", false);
    os.addFile("C:\\Games\\X\\README.TXT", "text");
    ProcessInfo info;
    auto start = [&] {
      return os.startProcess(c.application, c.commandLine, 0, c.directory, info);
    };
    if (c.error == 0) {
      EXPECT_TRUE(start());
    } else {
      EXPECT_TRUE(Fails(os, c.error, [&] { return !start(); }));
    }
  }
}

TEST(SimulatedProcesses, HandlesAreDistinctAndClosedOnce) {
  SimulatedWindows os;
  os.addExecutable("C:\\ZRK_DL.exe");
  const OsHandle file = CreateForWriting(os, "C:\\F.INI");
  ProcessInfo info;
  ASSERT_TRUE(os.startProcess(nullptr, "ZRK_DL.exe", kNormalPriorityClass, nullptr, info));
  EXPECT_NE(info.process, info.thread);
  EXPECT_NE(info.process, file);
  EXPECT_NE(info.thread, file);
  EXPECT_EQ(os.openHandles().size(), 3u);
  EXPECT_TRUE(os.closeHandle(info.thread));
  EXPECT_EQ(os.waitForInputIdle(info.process, kInfinite), 0u);
  EXPECT_EQ(os.waitForInputIdle(info.thread, kInfinite), kInfinite) << "not a process";
  EXPECT_TRUE(os.closeHandle(info.process));
  EXPECT_TRUE(Fails(os, kErrorInvalidHandle, [&] { return !os.closeHandle(info.process); }));
  const std::vector<std::string> last(os.calls().end() - 5, os.calls().end());
  const char* expected[] = {"CloseHandle thread", "WaitForInputIdle process",
                            "WaitForInputIdle invalid", "CloseHandle process",
                            "CloseHandle invalid"};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(last[i].rfind(expected[i], 0), 0u) << last[i];
}

TEST(SimulatedProcess, LibrariesLoadFromTheirAttempt) {
  SimulatedWindows os;
  const std::string path = "C:\\Windows\\System32\\d3dx9_40.dll";
  os.addLibrary(path, 3);
  EXPECT_EQ(os.loadLibrary("d3dx9_40.dll"), 0u);
  EXPECT_EQ(os.loadLibrary("D3DX9_40.DLL"), 0u);
  const ModuleHandle module = os.loadLibrary("d3dx9_40");
  EXPECT_NE(module, 0u);
  EXPECT_EQ(os.openHandles(), std::vector<std::string>{"library:" + path});
  os.freeLibrary(module);
  EXPECT_EQ(os.loadAttempts(path), 3);
  EXPECT_EQ(os.freeCount(path), 1);
  EXPECT_EQ(os.loadLibrary("other.dll"), 0u);
  EXPECT_TRUE(os.openHandles().empty());
}

// Where each search looks for a library named without a folder, and that it stops at the first
// file of that name: LoadLibraryA beside the launcher, in the system folders, in the current
// directory, then on PATH; the search flags nowhere else than where they say. A library of that
// name already loaded is the one, wherever it came from.
TEST(SimulatedProcess, LibrarySearchOrder) {
  enum Where { launcherFolder, systemFolder, windowsFolder, currentDirectory, onPath, none };
  const std::string folders[] = {"C:\\Launcher\\", "C:\\Windows\\System32\\", "C:\\Windows\\",
                                 "C:\\Games\\X\\", "C:\\Tools\\"};
  constexpr std::uint32_t kBesideAndSystem =
      kLoadLibrarySearchApplicationDir | kLoadLibrarySearchSystem32;
  struct Case {
    const char* name;
    std::uint32_t flags;
    std::vector<Where> present;
    Where loaded;
  };
  const Case cases[] = {
      {"beside the launcher first",
       0,
       {launcherFolder, systemFolder, currentDirectory},
       launcherFolder},
      {"then the system folders", 0, {windowsFolder, currentDirectory, onPath}, windowsFolder},
      {"then the current directory", 0, {currentDirectory, onPath}, currentDirectory},
      {"then PATH", 0, {onPath}, onPath},
      // Where the flags do look, the contract tests show on both sides.
      {"flags: never the Windows folder", kBesideAndSystem, {windowsFolder}, none},
      {"flags: never the current directory or PATH",
       kBesideAndSystem,
       {currentDirectory, onPath},
       none},
      {"flags: a first file that never loads stops the search",
       kBesideAndSystem,
       {none, systemFolder},
       none},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimulatedWindows os;
    os.setModuleFileName(folders[launcherFolder] + "ZRK_START.exe");
    os.setCurrentDirectoryPath(folders[currentDirectory]);
    os.setSearchPath({folders[onPath]});
    for (Where where : c.present) {
      if (where == none) {
        os.addLibrary(folders[launcherFolder] + "d3dx9_40.dll", 0);
      } else {
        os.addLibrary(folders[where] + "d3dx9_40.dll");
      }
    }
    ModuleHandle module = 0;
    auto load = [&] {
      module =
          c.flags == 0 ? os.loadLibrary("d3dx9_40.dll") : os.loadLibraryEx("d3dx9_40.dll", c.flags);
      return module == 0;
    };
    if (c.loaded == none) {
      EXPECT_TRUE(Fails(os, kErrorModNotFound, load));
      continue;
    }
    ASSERT_FALSE(load());
    EXPECT_EQ(os.libraryPath(module), folders[c.loaded] + "d3dx9_40.dll");
    os.addLibrary(folders[onPath] + "d3dx9_40.dll");
    EXPECT_EQ(os.loadLibraryEx("d3dx9_40.dll", kBesideAndSystem), module) << "already loaded";
  }

  // A full path loads that file alone; the folder of its dependencies only with a full path. Where
  // the system has no search flags, none is taken.
  SimulatedWindows os;
  os.addLibrary("C:\\Games\\X\\d3dx9_40.dll");
  constexpr std::uint32_t kNamedFile = kLoadLibrarySearchDllLoadDir | kLoadLibrarySearchSystem32;
  EXPECT_NE(os.loadLibraryEx("C:\\Games\\X\\d3dx9_40.dll", kNamedFile), 0u);
  EXPECT_TRUE(Fails(os, kErrorModNotFound, [&] {
    return os.loadLibraryEx("C:\\Games\\Y\\d3dx9_40.dll", kNamedFile) == 0;
  }));
  EXPECT_TRUE(Fails(os, kErrorInvalidParameter,
                    [&] { return os.loadLibraryEx("d3dx9_40.dll", kNamedFile) == 0; }));
  os.removeLibrarySearchFlags();
  EXPECT_FALSE(os.hasLibrarySearchFlags());
  EXPECT_TRUE(Fails(os, kErrorInvalidParameter, [&] {
    return os.loadLibraryEx("C:\\Games\\X\\d3dx9_40.dll", kNamedFile) == 0;
  }));
}

TEST(SimulatedProcess, EndMessagesPausesAndErrorMode) {
  SimulatedWindows os;
  bool after = false;
  const int code = os.runProcess([&]() -> int {
    os.setErrorMode(os.setErrorMode(0) | kSemFailCriticalErrors | kSemNoOpenFileErrorBox);
    os.pause(100);
    EXPECT_EQ(os.showMessageBox(0, "text", "caption", kMbOk), 1);
    os.endProcess(3);
    after = true;
    return 0;
  });
  EXPECT_EQ(code, 3);
  EXPECT_FALSE(after);
  EXPECT_EQ(os.errorMode(), 0x8001u);
  EXPECT_EQ(os.pauses(), std::vector<std::uint32_t>{100});
  ASSERT_EQ(os.messageBoxes().size(), 1u);
  EXPECT_EQ(os.messageBoxes()[0].text, "text");
  EXPECT_EQ(os.calls(), (std::vector<std::string>{"SetErrorMode 0x0", "SetErrorMode 0x8001",
                                                  "Sleep 100", "MessageBoxA caption", "exit 3"}));
  EXPECT_EQ(os.runProcess([] { return 7; }), 7);
  EXPECT_NE(os.dump().find("exit 3"), std::string::npos);
}

TEST(SimulatedProcess, UpperCaseLeavesTrailBytesAlone) {
  const std::pair<std::string, std::string> cases[] = {
      {"c:\\games\\x", "C:\\GAMES\\X"},
      {"\x83z\x83\x5C", "\x83z\x83\x5C"},  // trail bytes 'z' and '\' of two characters
      {"\xE0x\xFCy\x9Fzq", "\xE0x\xFCy\x9FzQ"},
      {"\xA0\xDFq", "\xA0\xDFQ"},  // single-byte katakana range: no lead bytes
      {"a\x81", "A\x81"},          // a lead byte at the end stays
  };
  SimulatedWindows os;
  for (const auto& [in, out] : cases) {
    std::string text = in;
    os.upperCase(text.data());
    EXPECT_EQ(text, out);
  }
}

}  // namespace
