// What the launcher's logic relies on of the platform, stated once and checked on every side:
// against SimulatedWindows natively, and against Win32Platform under Wine (or on Windows). A test
// that fails on one side only shows where that side differs from the other.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "ContractEnvironment.h"
#include "launch/GraphicsProbe.h"
#include "platform/File.h"
#include "platform/Platform.h"
#include "support/FailsWith.h"

namespace {

using testing_support::DifferenceGone;

// The data file test's open flag word, as the launcher passes it.
constexpr unsigned kBinaryRead = 0;

constexpr std::uint32_t kIdleTimeoutMs = 20000;  // bounded, where the launcher waits forever

std::string withoutTrailingBackslash(std::string path) {
  if (!path.empty() && path.back() == '\\') path.pop_back();
  return path;
}

class PlatformContract : public ::testing::Test {
 protected:
  void SetUp() override { env_ = makeContractEnvironment(); }

  ContractEnvironment& env() { return *env_; }
  Platform& os() { return env_->platform(); }

  // CreateFileA without sharing, as every open of the launcher.
  OsHandle open(const std::string& path, std::uint32_t access, std::uint32_t disposition) {
    return os().createFile(path.c_str(), access, kShareNone, disposition, kAttributeNormal);
  }
  void close(OsHandle handle) { EXPECT_TRUE(os().closeHandle(handle)); }

  // Whether `call` (true when the call it makes failed) fails with `error`, the last error
  // poisoned before it.
  template <typename Call>
  ::testing::AssertionResult FailsWith(std::uint32_t error, Call call) {
    return testing_support::FailsWith(
        os(), error, [&] { env().poisonLastError(); }, call);
  }
  // Whether an exclusive open of `path` fails with `error`.
  ::testing::AssertionResult OpenFailsWith(std::uint32_t error, const std::string& path,
                                           std::uint32_t access, std::uint32_t disposition) {
    return FailsWith(error, [&] { return open(path, access, disposition) == kInvalidHandle; });
  }

  // The full path and the file part that GetFullPathNameA gives for `name`.
  std::string fullPath(const std::string& name, std::string* filePart = nullptr) {
    char buffer[kMaxPath] = {};
    char* part = nullptr;
    const std::uint32_t length = os().fullPathName(name.c_str(), kMaxPath, buffer, &part);
    EXPECT_EQ(length, std::strlen(buffer)) << name;
    if (filePart != nullptr) *filePart = part == nullptr ? "(null)" : part;
    if (part != nullptr) {
      EXPECT_TRUE(part >= buffer && part < buffer + length) << "file part outside the buffer";
    }
    return buffer;
  }

  std::unique_ptr<ContractEnvironment> env_;
};

// --- Sharing, creation, refusals --------------------------------------------------------------

TEST_F(PlatformContract, ExclusiveOpenKeepsEveryOtherOpenOutUntilClosed) {
  const std::string path = env().makeFolder() + "DLTZRK_DL.INI";
  env().makeFile(path, "settings");

  const OsHandle first = open(path, kGenericRead, kOpenExisting);
  ASSERT_NE(first, kInvalidHandle) << "error " << os().lastError();

  EXPECT_TRUE(OpenFailsWith(kErrorSharingViolation, path, kGenericRead, kOpenExisting));
  EXPECT_TRUE(OpenFailsWith(kErrorSharingViolation, path, kGenericWrite, kCreateAlways));

  close(first);
  EXPECT_EQ(env().fileBytes(path), "settings") << "a refused CREATE_ALWAYS must not empty it";
  const OsHandle again = open(path, kGenericRead, kOpenExisting);
  EXPECT_NE(again, kInvalidHandle) << "error " << os().lastError();
  if (again != kInvalidHandle) close(again);
}

TEST_F(PlatformContract, FileHeldByAnotherProgramRefusesEveryOpen) {
  const std::string path = env().makeFolder() + "ZRK_DLN.SD";
  env().makeFile(path, "data");
  env().holdFile(path);

  EXPECT_TRUE(OpenFailsWith(kErrorSharingViolation, path, kGenericRead, kOpenExisting));
  EXPECT_TRUE(OpenFailsWith(kErrorSharingViolation, path, kGenericWrite, kCreateAlways));

  env().releaseFile(path);
  EXPECT_EQ(env().fileBytes(path), "data") << "a refused CREATE_ALWAYS must not empty it";
  const OsHandle opened = open(path, kGenericRead, kOpenExisting);
  EXPECT_NE(opened, kInvalidHandle) << "error " << os().lastError();
  if (opened != kInvalidHandle) close(opened);
}

TEST_F(PlatformContract, CreateAlwaysEmptiesAnExistingFileAndCreatesAMissingOne) {
  const std::string folder = env().makeFolder();
  env().makeFile(folder + "old.ini", "old bytes that must go");

  for (const char* name : {"old.ini", "new.ini"}) {
    SCOPED_TRACE(name);
    const OsHandle file = open(folder + name, kGenericWrite, kCreateAlways);
    ASSERT_NE(file, kInvalidHandle) << "error " << os().lastError();
    EXPECT_FALSE(env().inheritable(file)) << "nothing the launcher starts may get its files";
    close(file);
    bool exists = false;
    EXPECT_EQ(env().fileBytes(folder + name, &exists), "");
    EXPECT_TRUE(exists);
  }

  EXPECT_TRUE(
      OpenFailsWith(kErrorPathNotFound, folder + "missing\\new.ini", kGenericWrite, kCreateAlways));
  EXPECT_TRUE(
      OpenFailsWith(kErrorFileNotFound, folder + "missing.ini", kGenericRead, kOpenExisting));
}

struct Refusal {
  const char* name;
  std::uint32_t attributes;
};

void PrintTo(const Refusal& refusal, std::ostream* out) {
  *out << refusal.name;
}

class WriteOpenRefusal : public PlatformContract, public ::testing::WithParamInterface<Refusal> {};

// CREATE_ALWAYS with FILE_ATTRIBUTE_NORMAL is refused on a read-only, hidden or system file; the
// file keeps its bytes, and reading it is still allowed. Wine empties it instead.
TEST_P(WriteOpenRefusal, RefusesTheWriteOpenAndKeepsTheBytes) {
  const Refusal refusal = GetParam();
  const KnownDifference difference = (refusal.attributes & kAttributeReadOnly)
                                         ? KnownDifference::readOnlyWritable
                                         : KnownDifference::hiddenOrSystemRecreated;
  const std::string path = env().makeFolder() + "DLTZRK_DL.INI";
  env().makeFile(path, "keep", refusal.attributes | kAttributeArchive);

  if (const char* why = env().differs(difference)) {
    const OsHandle write = open(path, kGenericWrite, kCreateAlways);
    EXPECT_NE(write, kInvalidHandle) << DifferenceGone(why);
    if (write != kInvalidHandle) close(write);
    EXPECT_EQ(env().fileBytes(path), "") << DifferenceGone(why);
    env().makeFile(path, "keep", refusal.attributes | kAttributeArchive);
  } else {
    EXPECT_TRUE(OpenFailsWith(kErrorAccessDenied, path, kGenericWrite, kCreateAlways));
    EXPECT_EQ(env().fileBytes(path), "keep");
  }

  const OsHandle read = open(path, kGenericRead, kOpenExisting);
  EXPECT_NE(read, kInvalidHandle) << "error " << os().lastError();
  if (read != kInvalidHandle) close(read);
}

INSTANTIATE_TEST_SUITE_P(Attributes, WriteOpenRefusal,
                         ::testing::Values(Refusal{"ReadOnly", kAttributeReadOnly},
                                           Refusal{"Hidden", kAttributeHidden},
                                           Refusal{"System", kAttributeSystem}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Paths, directories, drives ---------------------------------------------------------------

TEST_F(PlatformContract, FullPathResolvesAgainstTheCurrentDirectory) {
  const std::string folder = env().makeFolder();
  ASSERT_TRUE(os().changeDirectory(folder.c_str()));

  struct Case {
    const char* name;
    std::string full;
    const char* filePart;
  };
  const Case cases[] = {
      {"DLTZRK_DL.INI", folder + "DLTZRK_DL.INI", "DLTZRK_DL.INI"},
      {".\\sub\\..\\ZRK_DLN.SD", folder + "ZRK_DLN.SD", "ZRK_DLN.SD"},
      {"sub\\", folder + "sub\\", "(null)"},  // a trailing backslash leaves no file part
  };
  for (const Case& c : cases) {
    std::string filePart;
    EXPECT_EQ(fullPath(c.name, &filePart), c.full) << c.name;
    EXPECT_EQ(filePart, c.filePart) << c.name;
  }
}

// Started from a drive root, the launcher forms "E:\\DLTZRK_DL.INI" (the root plus its own
// backslash); the doubled backslash resolves away, and opens through it reach the file.
TEST_F(PlatformContract, DoubledBackslashResolvesToOne) {
  std::string filePart;
  EXPECT_EQ(fullPath("C:\\\\DLTZRK_DL.INI", &filePart), "C:\\DLTZRK_DL.INI");
  EXPECT_EQ(filePart, "DLTZRK_DL.INI");

  const std::string folder = env().makeFolder();
  env().makeFile(folder + "ZRK_DLN.SD", "data");
  EXPECT_EQ(fullPath(folder + "\\ZRK_DLN.SD"), folder + "ZRK_DLN.SD");
  const OsHandle file = open(folder + "\\ZRK_DLN.SD", kGenericRead, kOpenExisting);
  EXPECT_NE(file, kInvalidHandle) << "error " << os().lastError();
  if (file != kInvalidHandle) close(file);
}

TEST_F(PlatformContract, FullPathTellsTheSizeNeededWhenTheBufferIsShort) {
  const std::string folder = env().makeFolder();
  const std::string name = folder + "DLTZRK_DL.INI";
  char buffer[8] = {};
  char* part = nullptr;
  EXPECT_EQ(os().fullPathName(name.c_str(), sizeof buffer, buffer, &part), name.size() + 1);
}

TEST_F(PlatformContract, CurrentDirectoryHasNoTrailingBackslashExceptAtARoot) {
  const std::string folder = env().makeFolder();
  char buffer[kMaxPath] = {};

  ASSERT_TRUE(os().changeDirectory(folder.c_str()));
  const std::string expected = withoutTrailingBackslash(folder);
  EXPECT_EQ(os().currentDirectory(kMaxPath, buffer), expected.size());
  EXPECT_EQ(std::string(buffer), expected);
  EXPECT_EQ(os().currentDirectory(4, buffer), expected.size() + 1) << "size needed";

  EXPECT_FALSE(os().changeDirectory((folder + "missing\\").c_str()));
  os().currentDirectory(kMaxPath, buffer);
  EXPECT_EQ(std::string(buffer), expected) << "a failed change leaves the directory";

  ASSERT_TRUE(os().changeDirectory("C:\\"));
  EXPECT_EQ(os().currentDirectory(kMaxPath, buffer), 3u);
  EXPECT_EQ(std::string(buffer), "C:\\");

  // Started from a drive root, the launcher's install folder ends in two backslashes.
  ASSERT_TRUE(os().changeDirectory((folder + "\\").c_str()));
  os().currentDirectory(kMaxPath, buffer);
  EXPECT_EQ(std::string(buffer), expected);
  ASSERT_TRUE(os().changeDirectory("C:\\\\"));
  os().currentDirectory(kMaxPath, buffer);
  EXPECT_EQ(std::string(buffer), "C:\\");
}

TEST_F(PlatformContract, DriveTypesOfTheSystemDriveAndOfAnUnmappedLetter) {
  const std::string unmapped = std::string(1, env().unmappedDriveLetter()) + ":\\";
  std::uint32_t flags = 0;

  EXPECT_EQ(os().driveType("C:\\"), kDriveFixed);
  EXPECT_TRUE(os().volumeInformation("C:\\", flags));
  EXPECT_NE(flags & kFsCasePreserved, 0u) << std::hex << flags;
  if (const char* why = env().differs(KnownDifference::noUnicodeOnDiskFlag)) {
    EXPECT_EQ(flags & kFsUnicodeOnDisk, 0u) << std::hex << flags << ": " << DifferenceGone(why);
  } else {
    EXPECT_NE(flags & kFsUnicodeOnDisk, 0u) << std::hex << flags;
  }

  EXPECT_EQ(os().driveType(unmapped.c_str()), kDriveNoRootDir) << unmapped;
  EXPECT_FALSE(os().volumeInformation(unmapped.c_str(), flags)) << unmapped;
  EXPECT_TRUE(OpenFailsWith(kErrorPathNotFound, unmapped + "Games\\ZRK_DLN.SD", kGenericRead,
                            kOpenExisting))
      << unmapped;
}

// The file system of the volume that holds an open file, which decides how the settings are
// rewritten: NTFS for a folder of the test's (Wine answers NTFS for every drive it maps).
TEST_F(PlatformContract, TheFileSystemOfAnOpenFileIsNamed) {
  const std::string path = env().makeFolder() + "a.ini";
  env().makeFile(path, "x", kAttributeArchive);
  const OsHandle file =
      os().createFile(path.c_str(), kGenericRead, kShareAll, kOpenExisting, kAttributeNormal);
  ASSERT_NE(file, kInvalidHandle);
  char name[16] = {};
  EXPECT_TRUE(os().fileSystemName(file, name, sizeof name));
  EXPECT_STREQ(name, "NTFS");
  close(file);
}

TEST_F(PlatformContract, AttributesAndNamesAreReportedAsOnDisk) {
  const std::string folder = env().makeFolder();
  env().makeFile(folder + "MixedCase.Ini", "x", kAttributeHidden | kAttributeArchive);

  EXPECT_EQ(os().fileAttributes((folder + "mixedcase.ini").c_str()),
            kAttributeHidden | kAttributeArchive);
  EXPECT_EQ(os().fileAttributes((folder + "absent.ini").c_str()), kInvalidAttributes);
  EXPECT_NE(os().fileAttributes(withoutTrailingBackslash(folder).c_str()) & kAttributeDirectory,
            0u);

  char name[kMaxPath] = {};
  OsHandle search = os().findFirstFile((folder + "MIXEDCASE.INI").c_str(), name, kMaxPath);
  ASSERT_NE(search, kInvalidHandle) << os().lastError();
  EXPECT_STREQ(name, "MixedCase.Ini");
  EXPECT_TRUE(FailsWith(kErrorNoMoreFiles, [&] { return !os().findNextFile(search, name, 16); }));
  EXPECT_TRUE(os().findClose(search));
  EXPECT_TRUE(FailsWith(kErrorFileNotFound, [&] {
    return os().findFirstFile((folder + "absent.ini").c_str(), name, kMaxPath) == kInvalidHandle;
  }));
  // A pattern: each name it matches once, in any order, whatever its case.
  for (const char* file : {"ZRK1.TMP", "zrk2f.tmp", "ZRK.INI", "AZRK3.TMP"}) {
    env().makeFile(folder + file, "");
  }
  std::set<std::string> found;
  search = os().findFirstFile((folder + "ZRK*.TMP").c_str(), name, kMaxPath);
  ASSERT_NE(search, kInvalidHandle) << os().lastError();
  do {
    EXPECT_TRUE(found.insert(name).second) << name;
  } while (os().findNextFile(search, name, kMaxPath));
  EXPECT_EQ(os().lastError(), kErrorNoMoreFiles);
  EXPECT_TRUE(os().findClose(search));
  EXPECT_EQ(found, (std::set<std::string>{"ZRK1.TMP", "zrk2f.tmp"}));
}

// Which bytes start a two-byte character, and so where a path's separators are, follows the
// system's ANSI code page: in 932 "\xE9\\" is one character, in 1252 an é and a backslash.
TEST_F(PlatformContract, LeadBytesAndSeparatorsFollowTheAnsiCodePage) {
  const std::uint32_t codePage = env().codePage();
  ASSERT_TRUE(codePage == 932 || codePage == 1252) << codePage;
  const bool japanese = codePage == 932;
  struct Byte {
    unsigned char value;
    bool leadIn932;
  };
  const Byte bytes[] = {{0x41, false}, {0x5C, false}, {0x80, false}, {0x81, true}, {0x95, true},
                        {0x9F, true},  {0xA0, false}, {0xDF, false}, {0xE0, true}, {0xE9, true},
                        {0xFC, true},  {0xFD, false}, {0xFF, false}};
  for (const Byte& b : bytes) {
    EXPECT_EQ(os().isLeadByte(static_cast<char>(b.value)), japanese && b.leadIn932)
        << std::hex << static_cast<int>(b.value) << " in code page " << std::dec << codePage;
  }

  const std::string folder = env().makeFolder();
  std::string filePart;
  fullPath(folder + "Caf\xE9\\ZRK_START.exe", &filePart);
  EXPECT_EQ(filePart, japanese ? "Caf\xE9\\ZRK_START.exe" : "ZRK_START.exe");
}

TEST_F(PlatformContract, UpperCaseRaisesLettersInPlace) {
  char text[] = "c:\\games\\zrk_dl-1.ini";
  os().upperCase(text);
  EXPECT_STREQ(text, "C:\\GAMES\\ZRK_DL-1.INI");
  // By the code page: é is a letter in 1252; in 932 "\x83\x61" is one character whose second
  // byte only looks like an "a".
  const bool western = env().codePage() == 1252;
  char accented[8] = {};
  std::strcpy(accented, western ? "caf\xE9\x83\x61" : "caf\x83\x61");
  os().upperCase(accented);
  EXPECT_STREQ(accented, western ? "CAF\xC9\x83\x41" : "CAF\x83\x61");
}

// --- Raw reads and writes ---------------------------------------------------------------------

TEST_F(PlatformContract, ReadsAndWritesMoveExactBytesAndEndWithAnEmptyRead) {
  const std::string path = env().makeFolder() + "bytes.bin";
  std::string bytes;
  for (int i = 0; i < 10000; ++i) bytes += static_cast<char>(i * 7 % 256);

  OsHandle file = open(path, kGenericWrite, kCreateAlways);
  ASSERT_NE(file, kInvalidHandle);
  std::uint32_t written = 0;
  EXPECT_TRUE(
      os().writeFile(file, bytes.data(), static_cast<std::uint32_t>(bytes.size()), written));
  EXPECT_EQ(written, bytes.size());
  EXPECT_TRUE(os().flushFile(file));
  close(file);
  EXPECT_EQ(env().fileBytes(path), bytes);

  file = open(path, kGenericRead, kOpenExisting);
  ASSERT_NE(file, kInvalidHandle);
  std::string back;
  char chunk[4096];
  std::uint32_t read = 0;
  int reads = 0;
  while (os().readFile(file, chunk, sizeof chunk, read) && read > 0 && ++reads < 100) {
    back.append(chunk, read);
  }
  EXPECT_EQ(read, 0u) << "the end is an empty read that succeeds";
  EXPECT_EQ(back, bytes);
  close(file);
}

// --- The binary file class on the platform ----------------------------------------------------

TEST_F(PlatformContract, FileOpensFailQuietlyWhereThePlatformRefuses) {
  const std::string folder = env().makeFolder();
  const std::string path = folder + "ZRK_DLN.SD";
  env().makeFile(path, "data");
  const std::string unmapped = std::string(1, env().unmappedDriveLetter()) + ":\\ZRK_DLN.SD";

  CFile binary(os());
  EXPECT_TRUE(binary.Open(path.c_str(), kBinaryRead));
  binary.Close();
  EXPECT_FALSE(binary.IsOpen());
  EXPECT_FALSE(binary.Open((folder + "absent.sd").c_str(), kBinaryRead));
  EXPECT_FALSE(binary.Open(unmapped.c_str(), kBinaryRead));

  env().holdFile(path);
  EXPECT_FALSE(binary.Open(path.c_str(), kBinaryRead));
  env().releaseFile(path);
  EXPECT_TRUE(binary.Open(path.c_str(), kBinaryRead));
  binary.Close();
}

// --- Processes --------------------------------------------------------------------------------

TEST_F(PlatformContract, StartWithApplicationNameRunsInTheGivenDirectory) {
  const std::string folder = env().makeFolder();
  const std::string program = env().installGuiChild(folder, "ZRK_DL.exe");
  ASSERT_TRUE(os().changeDirectory(env().makeFolder().c_str()));

  ProcessInfo child;
  ASSERT_TRUE(os().startProcess(program.c_str(), "ZRK_DL.exe -contract", kNormalPriorityClass,
                                folder.c_str(), child))
      << "error " << os().lastError();
  EXPECT_NE(child.process, 0u);
  EXPECT_NE(child.thread, 0u);
  EXPECT_TRUE(os().closeHandle(child.thread));
  EXPECT_EQ(os().waitForInputIdle(child.process, kIdleTimeoutMs), kWaitObject0);

  const ChildReport report = env().childReport(folder);
  EXPECT_TRUE(report.started);
  EXPECT_EQ(report.currentDirectory, withoutTrailingBackslash(folder));
  EXPECT_EQ(report.commandLine, "ZRK_DL.exe -contract");
  env().endChild(child);
  EXPECT_TRUE(os().closeHandle(child.process));
}

// With no application name the program is searched for in the launcher's current directory;
// lpCurrentDirectory only sets the child's, so the launcher must change directory first.
TEST_F(PlatformContract, StartWithoutApplicationNameSearchesTheLaunchersDirectory) {
  const std::string folder = env().makeFolder();
  env().installGuiChild(folder, "ZRK_DL.exe");

  ASSERT_TRUE(os().changeDirectory(env().makeFolder().c_str()));
  ProcessInfo child;
  EXPECT_TRUE(FailsWith(kErrorFileNotFound, [&] {
    return !os().startProcess(nullptr, "ZRK_DL.exe", kNormalPriorityClass, folder.c_str(), child);
  }));
  EXPECT_FALSE(env().childReport(folder).started);

  // As from a drive root: the folder with a doubled backslash, for both directories.
  const std::string doubled = folder + "\\";
  ASSERT_TRUE(os().changeDirectory(doubled.c_str()));
  ASSERT_TRUE(
      os().startProcess(nullptr, "ZRK_DL.exe", kNormalPriorityClass, doubled.c_str(), child))
      << "error " << os().lastError();
  EXPECT_TRUE(os().closeHandle(child.thread));
  EXPECT_EQ(os().waitForInputIdle(child.process, kIdleTimeoutMs), kWaitObject0);
  const ChildReport report = env().childReport(folder);
  EXPECT_TRUE(report.started);
  EXPECT_EQ(report.currentDirectory, withoutTrailingBackslash(folder));
  EXPECT_EQ(report.commandLine, "ZRK_DL.exe");
  env().endChild(child);
  EXPECT_TRUE(os().closeHandle(child.process));
}

// A program without a message queue cannot be waited for until it is idle: the wait fails at
// once, and the program runs on all the same.
TEST_F(PlatformContract, WaitForInputIdleFailsAtOnceForAConsoleProgram) {
  const std::string folder = env().makeFolder();
  const std::string program = env().installConsoleChild(folder, "ZRK_DL.exe");
  ProcessInfo child;
  ASSERT_TRUE(
      os().startProcess(program.c_str(), "ZRK_DL.exe", kNormalPriorityClass, folder.c_str(), child))
      << "error " << os().lastError();
  EXPECT_TRUE(os().closeHandle(child.thread));
  EXPECT_EQ(os().waitForInputIdle(child.process, kIdleTimeoutMs), kWaitFailed);
  env().endChild(child);
  EXPECT_TRUE(os().closeHandle(child.process));
}

// The search for a program named on the command line stops at the first entry of that name, in
// the launcher's own folder before the current directory, even when that entry cannot be run.
TEST_F(PlatformContract, ProgramSearchStopsAtTheFirstEntryOfTheName) {
  const std::string folder = env().makeFolder();
  const std::string name =
      "zrk_search_" + std::to_string(reinterpret_cast<std::uintptr_t>(this) % 100000) + ".exe";
  env().installGuiChild(folder, name);
  ASSERT_TRUE(os().changeDirectory(folder.c_str()));
  const std::string beside = env().programFolder() + name;
  if (os().fileAttributes(beside.c_str()) != kInvalidAttributes) {
    GTEST_SKIP() << "not tried: " << beside << " is there already";
  }
  for (const bool isFolder : {false, true}) {
    SCOPED_TRACE(isFolder ? "a folder of that name" : "a file that is no program");
    if (isFolder) {
      env().makeDirectory(beside);
    } else {
      env().makeFile(beside, "not a program");
    }
    ProcessInfo child;
    auto start = [&] {
      return !os().startProcess(nullptr, name.c_str(), kNormalPriorityClass, folder.c_str(), child);
    };
    // Which error a folder gives differs (Wine: ERROR_FILE_NOT_FOUND); nothing relies on it.
    if (isFolder) {
      EXPECT_TRUE(start());
    } else {
      EXPECT_TRUE(FailsWith(kErrorBadExeFormat, start));
    }
    EXPECT_FALSE(env().childReport(folder).started);
    if (isFolder) break;
    os().deleteFile(beside.c_str());
  }
}

// A drive without media fails every call quietly while the error mode has SEM_FAILCRITICALERRORS;
// without it, the system asks the player for a disk.
TEST_F(PlatformContract, DriveWithoutMediaFailsQuietlyUnderTheLaunchersErrorMode) {
  const char letter = env().driveWithoutMedia();
  if (letter == 0) GTEST_SKIP() << "no removable or optical drive without media here";
  const std::string root = std::string(1, letter) + ":\\";
  const std::uint32_t before = os().setErrorMode(kSemFailCriticalErrors | kSemNoOpenFileErrorBox);
  std::uint32_t flags = 0;
  if (const char* why = env().differs(KnownDifference::noDriveWithoutMedia)) {
    EXPECT_TRUE(os().volumeInformation(root.c_str(), flags)) << DifferenceGone(why);
    EXPECT_TRUE(
        OpenFailsWith(kErrorPathNotFound, root + "Games\\ZRK_DLN.SD", kGenericRead, kOpenExisting))
        << DifferenceGone(why);
    os().setErrorMode(before);
    return;
  }
  EXPECT_TRUE(
      FailsWith(kErrorNotReady, [&] { return !os().volumeInformation(root.c_str(), flags); }));
  EXPECT_TRUE(
      OpenFailsWith(kErrorNotReady, root + "Games\\ZRK_DLN.SD", kGenericRead, kOpenExisting));
  EXPECT_EQ(env().diskPrompts() > 0, false);
  // A real prompt would wait for an answer: asked for only where this side can count it.
  if (env().diskPrompts() >= 0) {
    os().setErrorMode(0);
    EXPECT_FALSE(os().volumeInformation(root.c_str(), flags));
    EXPECT_EQ(env().diskPrompts(), 1);
  }
  os().setErrorMode(before);
}

TEST_F(PlatformContract, StartOfAMissingProgramFails) {
  const std::string folder = env().makeFolder();
  ProcessInfo child;
  EXPECT_TRUE(FailsWith(kErrorFileNotFound, [&] {
    return !os().startProcess((folder + "ZRK_DL.exe").c_str(), "ZRK_DL.exe", kNormalPriorityClass,
                              folder.c_str(), child);
  }));
}

// --- Replacing and deleting -------------------------------------------------------------------

TEST_F(PlatformContract, RenameOverTheTargetOrOntoAFreeName) {
  const std::string folder = env().makeFolder();
  env().makeFile(folder + "new.tmp", "new");
  env().makeFile(folder + "DLTZRK_DL.INI", "old");

  ASSERT_TRUE(os().renameOver((folder + "new.tmp").c_str(), (folder + "DLTZRK_DL.INI").c_str()))
      << "error " << os().lastError();
  bool exists = true;
  env().fileBytes(folder + "new.tmp", &exists);
  EXPECT_FALSE(exists);
  EXPECT_EQ(env().fileBytes(folder + "DLTZRK_DL.INI"), "new");

  EXPECT_TRUE(os().renameOver((folder + "DLTZRK_DL.INI").c_str(), (folder + "free.ini").c_str()));
  EXPECT_EQ(env().fileBytes(folder + "free.ini"), "new");

  EXPECT_TRUE(FailsWith(kErrorFileNotFound, [&] {
    return !os().renameOver((folder + "new.tmp").c_str(), (folder + "free.ini").c_str());
  }));
}

// A file held open by another program cannot be renamed, nor renamed over: the rename that a
// safe write ends with is then refused with one of the two errors it waits out.
TEST_F(PlatformContract, RenameIsRefusedWhileEitherFileIsHeldOpen) {
  const std::string folder = env().makeFolder();
  const std::string source = folder + "ZRK1.TMP";
  const std::string target = folder + "DLTZRK_DL.INI";
  for (const std::string& held : {source, target}) {
    SCOPED_TRACE(held);
    env().makeFile(source, "new");
    env().makeFile(target, "old");
    env().holdFile(held);
    env().poisonLastError();
    EXPECT_FALSE(os().renameOver(source.c_str(), target.c_str()));
    const std::uint32_t error = os().lastError();
    EXPECT_TRUE(error == kErrorAccessDenied || error == kErrorSharingViolation) << error;
    env().releaseFile(held);
    EXPECT_EQ(env().fileBytes(target), "old");
    EXPECT_EQ(env().fileBytes(source), "new");
  }
  EXPECT_TRUE(os().renameOver(source.c_str(), target.c_str())) << os().lastError();
  EXPECT_EQ(env().fileBytes(target), "new");
}

// Wine 8 replaces a read-only target; Wine 10 refuses it, as Windows does.
TEST_F(PlatformContract, RenameRefusesAReadOnlyTarget) {
  const std::string folder = env().makeFolder();
  env().makeFile(folder + "new.tmp", "new");
  env().makeFile(folder + "DLTZRK_DL.INI", "old", kAttributeReadOnly);
  auto rename = [&] {
    return os().renameOver((folder + "new.tmp").c_str(), (folder + "DLTZRK_DL.INI").c_str());
  };
  if (const char* why = env().differs(KnownDifference::readOnlyReplaceable)) {
    EXPECT_TRUE(rename()) << DifferenceGone(why);
    EXPECT_EQ(env().fileBytes(folder + "DLTZRK_DL.INI"), "new") << DifferenceGone(why);
    return;
  }
  EXPECT_TRUE(FailsWith(kErrorAccessDenied, [&] { return !rename(); }));
  EXPECT_EQ(env().fileBytes(folder + "DLTZRK_DL.INI"), "old");
  EXPECT_EQ(env().fileBytes(folder + "new.tmp"), "new");
}

TEST_F(PlatformContract, DeleteRefusesAReadOnlyFile) {
  const std::string path = env().makeFolder() + "DLTZRK_DL.INI";
  env().makeFile(path, "old", kAttributeReadOnly);

  EXPECT_TRUE(FailsWith(kErrorAccessDenied, [&] { return !os().deleteFile(path.c_str()); }));
  EXPECT_EQ(env().fileBytes(path), "old");
}

TEST_F(PlatformContract, DeleteRemovesAFileOnce) {
  const std::string path = env().makeFolder() + "new.tmp";
  env().makeFile(path, "x");
  EXPECT_TRUE(os().deleteFile(path.c_str())) << "error " << os().lastError();
  bool exists = true;
  env().fileBytes(path, &exists);
  EXPECT_FALSE(exists);
  EXPECT_TRUE(FailsWith(kErrorFileNotFound, [&] { return !os().deleteFile(path.c_str()); }));
}

// GetTempFileNameA: each call makes a new empty file of a name no file in the folder had.
TEST_F(PlatformContract, TempFilesAreNewEmptyFilesOfUnusedNames) {
  const std::string folder = env().makeFolder();
  char first[kMaxPath] = {};
  char second[kMaxPath] = {};
  const std::uint32_t one = os().makeTempFile(folder.c_str(), "ZRK", first);
  ASSERT_NE(one, 0u) << os().lastError();
  env().makeFile(first, "taken now");  // a name that holds something is not given again
  const std::uint32_t two = os().makeTempFile(folder.c_str(), "ZRK", second);
  ASSERT_NE(two, 0u) << os().lastError();
  EXPECT_NE(one, two);
  for (const char* name : {first, second}) {
    const std::string path = name;
    EXPECT_EQ(path.substr(0, folder.size() + 3), folder + "ZRK") << path;
    std::string suffix = path.substr(path.size() - 4);
    for (char& c : suffix) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    EXPECT_EQ(suffix, ".TMP") << path;
  }
  EXPECT_NE(std::string(first), std::string(second));
  bool exists = false;
  EXPECT_EQ(env().fileBytes(second, &exists), "");
  EXPECT_TRUE(exists);
  EXPECT_EQ(env().fileBytes(first), "taken now");

  char none[kMaxPath] = {};
  EXPECT_EQ(os().makeTempFile((folder + "missing\\").c_str(), "ZRK", none), 0u);
}

// What a rename would change besides the content, as the system tells it of an open file: the
// names it has (GetFileInformationByHandle), the path it resolves to (GetFinalPathNameByHandleA),
// and a link's own attributes (GetFileAttributesA). A plain file, a file with a second name and a
// symbolic link give three different answers. A rename replaces a name only: over a symbolic
// link, the link goes and its target keeps its bytes.
TEST_F(PlatformContract, LinksShowInTheNamesAndFinalPathOfTheOpenFile) {
  struct Answer {
    std::uint32_t links = 0;
    bool reparsePoint = false;
    std::string finalPath;  // without "\\?\", upper-cased
  };
  auto upper = [](std::string text) {
    for (char& c : text) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    return text;
  };
  auto answer = [&](const std::string& path) {
    Answer a;
    a.reparsePoint = (os().fileAttributes(path.c_str()) & kAttributeReparsePoint) != 0;
    const OsHandle file = open(path, kGenericWrite, kOpenExisting);  // as the launcher opens it
    EXPECT_NE(file, kInvalidHandle) << path << ": error " << os().lastError();
    if (file == kInvalidHandle) return a;
    FileInformation info;
    EXPECT_TRUE(os().fileInformation(file, info)) << path << ": error " << os().lastError();
    a.links = info.links;
    char final[kMaxPath + 8] = {};
    const std::uint32_t length = os().finalPathName(file, final, sizeof final);
    EXPECT_EQ(length, std::strlen(final)) << path << ": error " << os().lastError();
    EXPECT_EQ(std::string(final).substr(0, 4), "\\\\?\\") << final;
    a.finalPath = upper(std::string(final).substr(std::min<std::size_t>(4, length)));
    close(file);
    return a;
  };

  const std::string folder = env().makeFolder();
  env().makeFile(folder + "plain.ini", "plain");
  Answer got = answer(folder + "plain.ini");
  EXPECT_EQ(got.links, 1u);
  EXPECT_FALSE(got.reparsePoint);
  EXPECT_EQ(got.finalPath, upper(folder + "plain.ini"));

  env().makeFile(folder + "first.ini", "one file");
  env().makeHardLink(folder + "first.ini", folder + "second.ini");
  for (const char* name : {"first.ini", "second.ini"}) {
    got = answer(folder + name);
    EXPECT_EQ(got.links, 2u) << name;
    EXPECT_FALSE(got.reparsePoint) << name;
    EXPECT_EQ(got.finalPath, upper(folder + name));
  }
  env().makeFile(folder + "new.tmp", "new");
  ASSERT_TRUE(os().renameOver((folder + "new.tmp").c_str(), (folder + "second.ini").c_str()));
  EXPECT_EQ(env().fileBytes(folder + "first.ini"), "one file") << "a rename over a second name";
  EXPECT_EQ(answer(folder + "first.ini").links, 1u);

  std::string link;
  std::string target;
  if (!env().makeSymbolicLink("old", link, target)) GTEST_SKIP() << "no symbolic link here";
  got = answer(link);
  EXPECT_EQ(got.links, 1u);
  EXPECT_EQ(got.finalPath, upper(target));
  if (const char* why = env().differs(KnownDifference::noReparseAttribute)) {
    EXPECT_FALSE(got.reparsePoint) << DifferenceGone(why);
  } else {
    EXPECT_TRUE(got.reparsePoint);
  }
  const std::string beside = link.substr(0, link.rfind('\\') + 1) + "new.tmp";
  env().makeFile(beside, "new");
  ASSERT_TRUE(os().renameOver(beside.c_str(), link.c_str())) << "error " << os().lastError();
  EXPECT_EQ(env().fileBytes(link), "new");
  EXPECT_EQ(env().fileBytes(target), "old") << "a rename over a symbolic link";
}

// A folder opens with backup semantics, and then only for its final path: a file in it resolves
// to that path and its name, whichever way the folder was reached (with or without its final
// backslash, or through a link to a folder). A root's final path ends in its backslash.
TEST_F(PlatformContract, FolderOpensForItsFinalPathWhichItsFilesShare) {
  auto finalPath = [&](OsHandle handle, const std::string& path) {
    char final[kMaxPath + 8] = {};
    EXPECT_GT(os().finalPathName(handle, final, sizeof final), 4u)
        << path << ": " << os().lastError();
    EXPECT_EQ(std::string(final).substr(0, 4), "\\\\?\\") << final;
    std::string text = final + 4;
    os().upperCase(&text[0]);
    close(handle);
    return text;
  };
  auto ofFolder = [&](const std::string& path) {
    const OsHandle folder =
        os().createFile(path.c_str(), 0, kShareAll, kOpenExisting, kFlagBackupSemantics);
    EXPECT_NE(folder, kInvalidHandle) << path << ": error " << os().lastError();
    return folder == kInvalidHandle ? std::string() : finalPath(folder, path);
  };
  auto ofFile = [&](const std::string& path) {
    const OsHandle file = open(path, kGenericWrite, kOpenExisting);
    EXPECT_NE(file, kInvalidHandle) << path << ": error " << os().lastError();
    return file == kInvalidHandle ? std::string() : finalPath(file, path);
  };
  const std::string folder = env().makeFolder();
  env().makeFile(folder + "plain.ini", "");
  const std::string file = ofFile(folder + "plain.ini");
  EXPECT_EQ(ofFolder(folder) + "\\PLAIN.INI", file);
  EXPECT_EQ(ofFolder(withoutTrailingBackslash(folder)) + "\\PLAIN.INI", file);
  EXPECT_EQ(ofFolder(folder.substr(0, 3)), folder.substr(0, 3));
  EXPECT_TRUE(FailsWith(kErrorAccessDenied, [&] {
    return os().createFile(withoutTrailingBackslash(folder).c_str(), 0, kShareAll, kOpenExisting,
                           kAttributeNormal) == kInvalidHandle;
  }));
  std::string link;
  std::string target;
  if (!env().makeFolderLink(link, target)) GTEST_SKIP() << "no link to a folder here";
  const std::string throughLink = ofFile(link + "\\target.ini");
  EXPECT_EQ(ofFolder(link) + "\\TARGET.INI", throughLink);
  EXPECT_EQ(ofFolder(target) + "\\TARGET.INI", throughLink);
}

// A file's end moved by SetEndOfFile from the position SetFilePointer gives: cut short, made
// longer with zero bytes, and written over from its start without being emptied.
TEST_F(PlatformContract, FileEndFollowsThePositionItIsSetAt) {
  const std::string path = env().makeFolder() + "DLTZRK_DL.INI";
  env().makeFile(path, "0123456789");
  const OsHandle file = open(path, kGenericRead | kGenericWrite, kOpenExisting);
  ASSERT_NE(file, kInvalidHandle) << os().lastError();
  // What the handle reads from its start: the file as the handle sees it.
  auto contents = [&] {
    EXPECT_TRUE(os().seekFile(file, 0));
    char read[16] = {};
    std::uint32_t count = 0;
    EXPECT_TRUE(os().readFile(file, read, sizeof read, count));
    return std::string(read, count);
  };
  std::uint32_t written = 0;
  EXPECT_TRUE(os().writeFile(file, "ab", 2, written));
  EXPECT_TRUE(os().seekFile(file, 4));
  EXPECT_TRUE(os().setEndOfFile(file));
  EXPECT_EQ(contents(), "ab23");
  EXPECT_TRUE(os().seekFile(file, 6));
  EXPECT_TRUE(os().setEndOfFile(file));
  EXPECT_EQ(contents(), std::string("ab23\0\0", 6));
  close(file);
  EXPECT_EQ(env().fileBytes(path), std::string("ab23\0\0", 6));
}

// --- Libraries and process state --------------------------------------------------------------

TEST_F(PlatformContract, LibraryLoadsOnlyWhenPresent) {
  const ModuleHandle present = os().loadLibrary(env().presentLibrary().c_str());
  EXPECT_NE(present, 0u) << env().presentLibrary();
  if (present != 0) os().freeLibrary(present);
  EXPECT_EQ(os().loadLibrary("zrk_absent_library.dll"), 0u);
}

// Where one try of the graphics probe takes the library from: beside the launcher, from the system
// folder, or from the start-up folder, first found first; never from a folder on PATH, where the
// system's own search would find one. A stand-in library of that name is on PATH throughout. The
// system folder has none of its own under Wine here (run_under_wine.py), as on a Windows without
// DirectX; on one with DirectX, its library comes before the start-up folder's, and the rows that
// need a stand-in in its place are not tried.
TEST_F(PlatformContract, GraphicsLibraryComesFromBesideTheLauncherTheSystemOrTheStartupFolder) {
  ASSERT_TRUE(os().hasLibrarySearchFlags()) << "Windows 8 and later, 7 with its update, and Wine";
  enum Place { beside, system, startup, nowhere };
  struct Row {
    const char* name;
    std::vector<Place> places;  // where a stand-in is besides PATH
    Place loaded;
  };
  const Row rows[] = {
      {"on PATH only", {}, nowhere},
      {"beside the launcher first", {beside, system, startup}, beside},
      {"then the system folder", {system, startup}, system},
      {"then the start-up folder", {startup}, startup},
  };
  const bool systemHasOne =
      os().fileAttributes((env().systemFolder() + kGraphicsLibrary).c_str()) != kInvalidAttributes;
  const std::string onPath = env().makeFolder() + kGraphicsLibrary;
  ASSERT_TRUE(env().installStandInLibrary(onPath));
  env().putOnPath(onPath.substr(0, onPath.rfind('\\') + 1));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string startupFolder = env().makeFolder();
    const std::string paths[] = {env().programFolder() + kGraphicsLibrary,
                                 env().systemFolder() + kGraphicsLibrary,
                                 startupFolder + kGraphicsLibrary};
    // A place that holds a file already keeps it: the row is not tried, and removes only the
    // stand-ins it put.
    std::vector<std::string> made;
    for (const Place place : row.places) {
      if (env().installStandInLibrary(paths[place])) {
        made.push_back(paths[place]);
      } else {
        const bool taken = os().fileAttributes(paths[place].c_str()) != kInvalidAttributes;
        std::cout << "not tried: " << row.name << ": " << paths[place]
                  << (taken ? " is there already\n" : " may not be written\n");
      }
    }
    ASSERT_TRUE(os().changeDirectory(startupFolder.c_str()));
    if (made.size() == row.places.size()) {
      const ModuleHandle module = LoadGraphicsLibrary(os(), true);
      const bool systemFirst = row.loaded == nowhere || (row.loaded == startup && systemHasOne);
      EXPECT_EQ(env().standInAt(module), systemFirst ? "" : paths[row.loaded]);
      if (module != 0) os().freeLibrary(module);
    }
    for (const std::string& path : made) os().deleteFile(path.c_str());
  }

  // The system's own search goes on to PATH: what the search flags keep the probe from.
  const ModuleHandle plain = os().loadLibrary(kGraphicsLibrary);
  if (!systemHasOne) {
    EXPECT_EQ(env().standInAt(plain), onPath);
  }
  if (plain != 0) os().freeLibrary(plain);
}

TEST_F(PlatformContract, ErrorModeIsSetWholeAndReturnsThePreviousMode) {
  const std::uint32_t quiet = kSemFailCriticalErrors | kSemNoOpenFileErrorBox;
  const std::uint32_t before = os().setErrorMode(quiet);
  EXPECT_EQ(os().setErrorMode(before), quiet);
}

TEST_F(PlatformContract, ModuleFileNameIsAFullPathAndIsTerminatedWhenCutShort) {
  char path[kMaxPath] = {};
  const std::uint32_t length = os().moduleFileName(path, kMaxPath);
  ASSERT_GT(length, 3u);
  EXPECT_EQ(length, std::strlen(path));
  EXPECT_EQ(std::string(path).substr(1, 2), ":\\") << path;

  char shortPath[5];
  std::memset(shortPath, 'x', sizeof shortPath);
  EXPECT_EQ(os().moduleFileName(shortPath, sizeof shortPath), sizeof shortPath);
  EXPECT_EQ(shortPath[4], '\0');
  EXPECT_EQ(std::string(shortPath), std::string(path, 4));

  // The wide call alike; the test program's path is ASCII, the same in both.
  char16_t wide[kMaxPath] = {};
  EXPECT_EQ(os().moduleFileNameWide(wide, kMaxPath), length);
  EXPECT_EQ(std::u16string(wide), std::u16string(path, path + length));
  char16_t wideCut[5];
  std::fill(wideCut, wideCut + 5, u'x');
  EXPECT_EQ(os().moduleFileNameWide(wideCut, 5), 5u);
  EXPECT_EQ(std::u16string(wideCut), std::u16string(path, path + 4));
}

// --- Names the code page cannot spell ---------------------------------------------------------

// `text` in UTF-8, for messages.
std::string utf8(const std::u16string& text) {
  std::string out;
  for (char16_t unit : text) {
    if (unit < 0x80) {
      out += static_cast<char>(unit);
    } else if (unit < 0x800) {
      out += static_cast<char>(0xC0 | unit >> 6);
      out += static_cast<char>(0x80 | (unit & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | unit >> 12);
      out += static_cast<char>(0x80 | (unit >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (unit & 0x3F));
    }
  }
  return out;
}

// A folder with a Japanese name, which code page 932 spells and 1252 cannot. The *A calls answer
// each character 1252 lacks with '?'; the wide call answers the name; WideCharToMultiByte without
// best fit gives the *A call's answer, and tells whether a character was missing. Where the volume
// makes 8.3 names, the folder's short name is at most 8 bytes in the code page (no dot: the name
// has none; kana on a Japanese system, whose OEM code page is 932 as well) and reaches its files.
// Where it makes none, the short form keeps the name, and in 1252 nothing reaches the folder.
TEST_F(PlatformContract, FolderTheCodePageCannotSpellIsReachedByItsShortName) {
  const bool western = env().codePage() == 1252;
  const std::u16string name = u"ザルヴェーナ";
  const std::string parent = env().makeFolder();  // ASCII on every side
  const std::u16string entryShortName =
      env().enterWideFolder(parent, name, "DLTZRK_DL.INI", "settings");
  const std::string expected = parent + (western ? "??????"
                                                 : "\x83U\x83\x8B\x83\x94\x83"
                                                   "F\x81[\x83i");

  char ansi[kMaxPath] = {};
  EXPECT_EQ(os().currentDirectory(kMaxPath, ansi), expected.size());
  EXPECT_EQ(std::string(ansi), expected);
  char16_t wide[kMaxPath] = {};
  const std::u16string widePath = std::u16string(parent.begin(), parent.end()) + name;
  EXPECT_EQ(os().currentDirectoryWide(kMaxPath, wide), widePath.size());
  ASSERT_EQ(std::u16string(wide), widePath);

  char converted[kMaxPath] = {};
  bool usedDefault = !western;
  EXPECT_EQ(os().toAnsiNoBestFit(wide, converted, kMaxPath, usedDefault), expected.size() + 1);
  EXPECT_EQ(std::string(converted), expected);
  EXPECT_EQ(usedDefault, western);
  EXPECT_EQ(os().toAnsiNoBestFit(wide, converted, 4, usedDefault), 0u) << "a buffer too small";
  if (western) {
    EXPECT_EQ(open(expected + "\\DLTZRK_DL.INI", kGenericRead, kOpenExisting), kInvalidHandle);
  }

  char16_t shortForm[kMaxPath] = {};
  const std::uint32_t shortLength = os().shortPathName(wide, shortForm, kMaxPath);
  ASSERT_GT(shortLength, 0u);
  ASSERT_LT(shortLength, kMaxPath);
  const std::u16string shortPath(shortForm);
  EXPECT_EQ(shortPath.size(), shortLength);
  const std::u16string shortName = shortPath.substr(shortPath.rfind(u'\\') + 1);
  EXPECT_EQ(shortName, entryShortName.empty() ? name : entryShortName) << utf8(shortPath);
  EXPECT_EQ(os().shortPathName(wide, shortForm, 4), shortLength + 1) << "size needed";
  std::cout << "short form of " << utf8(widePath) << ": " << utf8(shortPath) << "\n";

  char shortAnsi[kMaxPath] = {};
  usedDefault = false;
  ASSERT_GT(os().toAnsiNoBestFit(shortPath.c_str(), shortAnsi, kMaxPath, usedDefault), 0u);
  if (western && entryShortName.empty()) {
    EXPECT_TRUE(usedDefault) << shortAnsi;
    return;
  }
  EXPECT_FALSE(usedDefault);
  if (!entryShortName.empty()) {
    char spelt[kMaxPath] = {};
    EXPECT_GT(os().toAnsiNoBestFit(shortName.c_str(), spelt, kMaxPath, usedDefault), 1u);
    EXPECT_TRUE(!usedDefault && std::strlen(spelt) <= 8 && std::strpbrk(spelt, ". ") == nullptr)
        << utf8(shortName);
  }
  const std::uint32_t shortAnsiLength = static_cast<std::uint32_t>(std::strlen(shortAnsi));
  const OsHandle file =
      open(std::string(shortAnsi) + "\\DLTZRK_DL.INI", kGenericRead, kOpenExisting);
  ASSERT_NE(file, kInvalidHandle) << shortAnsi << ": error " << os().lastError();
  char bytes[16] = {};
  std::uint32_t read = 0;
  EXPECT_TRUE(os().readFile(file, bytes, sizeof bytes, read));
  EXPECT_EQ(std::string(bytes, read), "settings");
  close(file);
  // Windows works on the text: GetFullPathNameA answers the short form as it is given, and
  // SetCurrentDirectoryA keeps it so.
  char full[kMaxPath] = {};
  EXPECT_EQ(os().fullPathName(shortAnsi, kMaxPath, full, nullptr), shortAnsiLength);
  EXPECT_EQ(std::string(full), shortAnsi);
  ASSERT_TRUE(os().changeDirectory(shortAnsi));
  EXPECT_EQ(os().currentDirectory(kMaxPath, ansi), shortAnsiLength);
  EXPECT_EQ(std::string(ansi), shortAnsi);
  // A path that is not there has no short form.
  const std::u16string missing = widePath + u"\\missing";
  EXPECT_TRUE(FailsWith(kErrorFileNotFound, [&] {
    return os().shortPathName(missing.c_str(), shortForm, kMaxPath) == 0;
  }));
}

// Letters that code page 1252 lacks but has look-alikes for: the *A call answers the look-alikes,
// a path that names another folder; only the conversion without best fit shows it.
TEST_F(PlatformContract, LettersTheCodePageLacksAreAnsweredByLookAlikes) {
  if (env().codePage() != 1252) GTEST_SKIP() << "the look-alikes are code page 1252's";
  const std::string other = env().makeFolder();
  env().enterWideFolder(other, u"\u0141\u00F3d\u017A", "DLTZRK_DL.INI", "settings");
  char ansi[kMaxPath] = {};
  EXPECT_EQ(os().currentDirectory(kMaxPath, ansi), other.size() + 4);
  EXPECT_EQ(std::string(ansi), other + "L\xF3" + "dz");
  char16_t wide[kMaxPath] = {};
  ASSERT_EQ(os().currentDirectoryWide(kMaxPath, wide), other.size() + 4);
  char converted[kMaxPath] = {};
  bool usedDefault = false;
  EXPECT_EQ(os().toAnsiNoBestFit(wide, converted, kMaxPath, usedDefault), other.size() + 5);
  EXPECT_EQ(std::string(converted), other + "?\xF3" + "d?");
  EXPECT_TRUE(usedDefault);
}

}  // namespace
