// What a contract test needs of the machine it runs on, made the same way on every side.
//
// The contract tests state what the launcher's logic relies on of the platform. They are written
// once against this interface and run twice: natively against SimulatedWindows, and as a Windows
// program against Win32Platform (under Wine here, or on Windows). Each side implements this
// interface with its own means of making files, folders and a child program.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Platform.h"
#include "support/WindowsConstants.h"

// Behaviours in which a side is known to differ from Windows. A test expects that side's own
// answer there, and fails, saying so, when the side starts to answer as Windows does.
enum class KnownDifference {
  readOnlyWritable,         // CreateFileA opens a read-only file for writing
  readOnlyReplaceable,      // MoveFileExA replaces a read-only target
  hiddenOrSystemRecreated,  // CREATE_ALWAYS with FILE_ATTRIBUTE_NORMAL empties a hidden or
                            // system file instead of failing with ERROR_ACCESS_DENIED
  noUnicodeOnDiskFlag,      // drive C: reports no FILE_UNICODE_ON_DISK
  noDriveWithoutMedia,      // a drive without media answers its volume; its files are not
                            // found (not ERROR_NOT_READY)
  noReparseAttribute,       // GetFileAttributesA shows a symbolic link by its target's
                            // attributes, without FILE_ATTRIBUTE_REPARSE_POINT
};

// What a child program saw when it started: its current directory and its command line.
struct ChildReport {
  bool started = false;
  std::string currentDirectory;  // as GetCurrentDirectoryA gives it: no trailing backslash
  std::string commandLine;
};

class ContractEnvironment {
 public:
  virtual ~ContractEnvironment() = default;

  virtual Platform& platform() = 0;
  // SetLastError(testing_support::kPoisonedError): a last error that no call leaves, set just
  // before a call whose error a test checks.
  virtual void poisonLastError() = 0;

  // A new empty folder for one test: full path, ending in a backslash.
  virtual std::string makeFolder() = 0;
  // Creates a folder (its parent must exist).
  virtual void makeDirectory(const std::string& path) = 0;
  // Creates or replaces a file with exact bytes, then gives it `attributes`.
  virtual void makeFile(const std::string& path, const std::string& bytes,
                        std::uint32_t attributes = kAttributeArchive) = 0;
  // The bytes on disk, or nothing (`exists` false) when there is no such file. Like any open,
  // this fails while the file is open without sharing.
  virtual std::string fileBytes(const std::string& path, bool* exists = nullptr) = 0;
  // Gives the file at `existing` a second name, `path`, in the same folder (a hard link).
  virtual void makeHardLink(const std::string& existing, const std::string& path) = 0;
  // A symbolic link to a file that holds `bytes`: their full paths into `link` and `target`.
  // False where this side cannot make one (Windows without the privilege to).
  virtual bool makeSymbolicLink(const std::string& bytes, std::string& link,
                                std::string& target) = 0;
  // A link to a folder (a junction, or a symbolic link to a folder) that holds the file
  // "target.ini": their full paths, without a final backslash, into `link` and `target`. False
  // where this side cannot make one.
  virtual bool makeFolderLink(std::string& link, std::string& target) = 0;
  // Whether a child process started with handle inheritance would get `handle`.
  virtual bool inheritable(OsHandle handle) = 0;
  // Another program holds the file open without sharing, until releaseFile.
  virtual void holdFile(const std::string& path) = 0;
  virtual void releaseFile(const std::string& path) = 0;

  // A drive letter that nothing is mapped to.
  virtual char unmappedDriveLetter() = 0;
  // A library that loads on this machine.
  virtual std::string presentLibrary() = 0;
  // The system folder (GetSystemDirectoryA), with its backslash.
  virtual std::string systemFolder() = 0;
  // Puts a stand-in library at `path`: one that loads, needs only system libraries, and tells
  // itself apart from every other library (standInAt). False where a file is there already, or
  // where this side may not write there (the system folder, on a Windows that does not let the
  // test). Removed after the test.
  virtual bool installStandInLibrary(const std::string& path) = 0;
  // The path the stand-in library that `module` is was put at, however the system spells the
  // path it loaded it from; empty for no module, or for a module that is no stand-in.
  virtual std::string standInAt(ModuleHandle module) = 0;
  // Puts `folder` first on PATH, until the test ends.
  virtual void putOnPath(const std::string& folder) = 0;

  // The system's ANSI code page, the one of every path: 932 or 1252 here.
  virtual std::uint32_t codePage() = 0;
  // The folder of the running program (the launcher's own folder, where the system's search for
  // a program looks first), with its backslash. Files a test makes there are removed after it.
  virtual std::string programFolder() = 0;
  // A drive letter whose drive has no media, or 0 when there is none.
  virtual char driveWithoutMedia() = 0;
  // How many times the system has asked the player to insert a disk, or -1 where this side
  // cannot tell (a real prompt would wait for an answer).
  virtual int diskPrompts() = 0;

  // Puts into `folder` (ending in a backslash) a GUI program called `fileName` that, once
  // started, reports how it was started and then waits for input in its message loop until it is
  // ended. Returns its full path. One child program per folder.
  virtual std::string installGuiChild(const std::string& folder, const std::string& fileName) = 0;
  // The same program built as a console program, which has no message queue to be idle in.
  virtual std::string installConsoleChild(const std::string& folder,
                                          const std::string& fileName) = 0;
  // What the child program in `folder` saw at its last start.
  virtual ChildReport childReport(const std::string& folder) = 0;
  // Ends a child started by a test (before the test closes its handles).
  virtual void endChild(const ProcessInfo& child) = 0;

  // Makes the folder `name` (UTF-16: it may hold characters that the code page cannot spell) in
  // `parent` (a folder of makeFolder), puts the file `file` holding `bytes` in it, and makes it
  // the current directory: what the *A calls cannot do where the code page cannot spell it.
  // Returns the folder's short (8.3) name as its directory entry keeps it, or nothing where the
  // volume makes no short names.
  virtual std::u16string enterWideFolder(const std::string& parent, const std::u16string& name,
                                         const std::string& file, const std::string& bytes) = 0;

  // Why this side differs from Windows in `difference`, or null when it does not.
  virtual const char* differs(KnownDifference difference) = 0;
};

// The environment of this side; one per test.
std::unique_ptr<ContractEnvironment> makeContractEnvironment();
