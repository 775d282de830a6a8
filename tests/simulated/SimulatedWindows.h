// An in-memory Windows behind the Platform interface, for tests.
//
// It imitates what the launcher relies on, as Windows does it: drives with a type and with or
// without media, volumes and their flags and free space, files as exact bytes with attributes,
// hard links (one file, several names) and symbolic links to files, exclusive sharing between
// open handles, the current directory and full-path resolution in the
// ANSI code page (932 or 1252), library files that load from the Nth attempt or never and the
// system's search for them (with or without LoadLibraryExA's search flags), executables
// that start and become ready for input (or, as console programs, cannot), message boxes, the
// system's "insert a disk" prompt where the error mode does not suppress it, pauses (recorded,
// never slept), and an end of process that unwinds back to the test after noting which handles
// were still open. Faults can be injected, a power cut among them. Every operation is logged so
// that a test can assert the order of calls.
//
// Paths are compared case-insensitively (letters of the code page's single-byte characters), as
// Windows does, and stored with the case they were created with. A name may hold characters the
// code page cannot spell, and may have a short (8.3) name.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "support/WindowsConstants.h"

// Thrown by endProcess; only tests catch it.
struct ProcessEnded {
  int code;
};

class SimulatedWindows : public Platform {
 public:
  struct MessageBoxRecord {
    std::string text;
    std::string caption;
    OsHandle owner;
    std::uint32_t type;
  };

  struct StartedProcess {
    std::string application;  // empty when none was passed
    std::string commandLine;
    std::string currentDirectory;  // empty when none was passed
    std::uint32_t creationFlags;
    std::string image;                   // full path of the executable that was started
    std::vector<std::string> openFiles;  // the launcher's file handles open at that moment
  };

  // The file system of a volume, which decides what a power cut leaves of its changes.
  enum class FileSystem {
    ntfs,   // journaled: changes to names land whole, in order
    fat,    // FAT32: no journal; a change is the sectors it writes
    exfat,  // no journal either; a name is a set of slots under one checksum
  };

  // What an executable does when it is started.
  enum class ProgramKind {
    gui,      // starts, and becomes ready for input at once
    console,  // starts; WaitForInputIdle fails at once (it has no message queue)
    broken,   // CreateProcessA fails on it (not a valid program)
  };

  // The system folder (GetSystemDirectoryA); C:\Windows\System and C:\Windows follow it in every
  // search of the system folders.
  static constexpr char kSystemFolder[] = "C:\\Windows\\System32";

  // A new machine: drive C: fixed with media, an empty root, current directory "C:\", the
  // launcher at "C:\ZRK_START.exe" (the file itself is not created), code page 932.
  SimulatedWindows();
  ~SimulatedWindows() override;

  // --- Seeding --------------------------------------------------------------------------------

  // The ANSI code page of paths, the lead-byte test and upper-casing: 932 or 1252.
  void setCodePage(std::uint32_t codePage);
  // Adds or replaces drive `letter` (A to Z). A drive without media answers its type but fails
  // the volume query and every file access with ERROR_NOT_READY. A removable drive holds FAT, any
  // other NTFS, unless setFileSystem says otherwise.
  void addDrive(char letter, std::uint32_t type, bool hasMedia = true,
                std::uint32_t fileSystemFlags = kFsCasePreserved | kFsUnicodeOnDisk);
  void setFileSystem(char letter, FileSystem fileSystem);
  // Drive `letter` as a name for the existing folder `folder` (subst): its type, volume and files
  // are those of the folder's drive; a path through it resolves to the folder.
  void addSubstDrive(char letter, const std::string& folder);
  // A junction (or mount point) at `path` to the existing folder `target`: every path through it
  // resolves to the target, and GetFileAttributesA shows it as a folder and a reparse point.
  void addJunction(const std::string& path, const std::string& target);
  // Creates a directory and every missing parent on an existing drive.
  void addDirectory(const std::string& path);
  // Creates or replaces a file with exact bytes; missing parent directories are created.
  void addFile(const std::string& path, const std::string& bytes,
               std::uint32_t attributes = kAttributeArchive);
  // Gives the file at `existing` a second name, `path`, on the same volume (a hard link): one file,
  // its bytes, attributes and sharing seen through either name.
  void addHardLink(const std::string& existing, const std::string& path);
  // A symbolic link at `path` to the file at `target`, which need not exist: opens follow it;
  // GetFileAttributesA, MoveFileExA, DeleteFileA and FindFirstFileA see the link itself.
  // `showsReparsePoint` false: GetFileAttributesA shows the target's attributes instead of the
  // link's reparse point, as Wine shows a Unix symbolic link.
  void addSymbolicLink(const std::string& path, const std::string& target,
                       bool showsReparsePoint = true);
  // The attributes of a file (of all its names).
  void setAttributes(const std::string& path, std::uint32_t attributes);
  // Another program holds the file open without sharing (through a link: the file behind it):
  // every open of it fails with ERROR_SHARING_VIOLATION until release().
  void holdOpen(const std::string& path);
  void release(const std::string& path);
  // Creates the missing folders of `path`; keeps it as given (a short name stays short), without a
  // final backslash except at a root.
  void setCurrentDirectoryPath(const std::string& path);
  void setModuleFileName(const std::string& path);
  // `text` (UTF-16) as the seeding calls take it: in the code page's bytes where the code page
  // spells it exactly, other characters marked as the simulation keeps them. Such a name can be
  // reached by the *W calls and, where it has one, by its short name; the *A calls answer it with
  // '?' or a best fit in their place.
  std::string name(const std::u16string& text) const;
  // Gives the existing file or folder at `path` the short (8.3) name `shortName`, which then
  // reaches it in any path; GetShortPathNameW answers it. Without one, a name has none, as on a
  // volume with 8.3 names switched off.
  void setShortName(const std::string& path, const std::string& shortName);
  // A library file at the full `path`, which loads from attempt `firstLoadingAttempt` on (1 = at
  // once); 0 = never (a file that is there but does not load, as one whose own dependencies are
  // missing). A search that finds it stops there, whether it loads or not; a file that is no
  // library fails with ERROR_BAD_EXE_FORMAT.
  void addLibrary(const std::string& path, int firstLoadingAttempt = 1);
  // An executable file at `path` (its bytes are a stand-in). When `starts` is false,
  // CreateProcessA fails on it (not a valid program).
  void addExecutable(const std::string& path, bool starts = true);
  void addExecutable(const std::string& path, ProgramKind kind);
  // PATH: the folders searched last, after the system folders, by CreateProcessA without an
  // application name (after the launcher's folder and the current directory) and by LoadLibraryA
  // (after the launcher's folder, the system folders and the current directory).
  void setSearchPath(const std::vector<std::string>& folders);

  // --- Faults ---------------------------------------------------------------------------------

  // The disks have `bytes` free: a write or SetEndOfFile that makes a file longer takes room,
  // overwriting bytes a file already has takes none, and deleting, emptying or cutting a file
  // short gives room back. A write that does not fit writes what fits (WriteFile still returns
  // true with a short count); a SetEndOfFile that does not fit fails (ERROR_DISK_FULL).
  void setFreeSpace(std::uint64_t bytes);
  // Writes stop being taken after `bytes` more bytes, to any file, whatever the room: the write
  // that crosses the limit writes what fits, later writes write nothing (true, short count).
  // Harsher than a full disk: overwriting and writing back old bytes fail too.
  void failWritesAfter(std::uint64_t bytes);
  // ReadFile on `path` fails (ERROR_CRC) when a read would deliver the byte at `offset`; bytes
  // before it are delivered by the reads that end before it.
  void failReadAt(const std::string& path, std::uint64_t offset);
  // CloseHandle on a handle of `path` fails (the handle is still released).
  void failCloseOf(const std::string& path);
  // MoveFileExA into `target` fails with `error` and changes nothing, for the next `times`
  // calls (-1: for good).
  void refuseRenamesInto(const std::string& target, std::uint32_t error = kErrorAccessDenied,
                         int times = -1);
  // Nothing new can be made in `folder`: creating a file there, renaming into, out of or within
  // it, and deleting there fail with ERROR_ACCESS_DENIED; its files stay readable and writable.
  void refuseNewFiles(const std::string& folder);
  // Another program (a scanner, an indexer) holds `path` for a moment, without sharing: the next
  // `calls` CreateFileA, MoveFileExA and DeleteFileA calls on it fail (ERROR_SHARING_VIOLATION;
  // ERROR_ACCESS_DENIED for a rename over it).
  void holdForNextCalls(const std::string& path, int calls);
  // Another program opens `path` without sharing (as holdOpen, until release) at the moment a
  // file whose name, as passed to CreateFileA, ends in `nameEnd` is opened, with `access` unless
  // 0: between two steps of the launcher. Once.
  void holdWhenOpened(const std::string& nameEnd, const std::string& path,
                      std::uint32_t access = 0);
  // The same, but the other program writes `bytes` into `path` (replacing or creating it) instead.
  void writeWhenOpened(const std::string& nameEnd, const std::string& path,
                       const std::string& bytes);
  // The same, but `action` runs: a test that looks at the machine at that moment.
  void whenOpened(const std::string& nameEnd, std::uint32_t access, std::function<void()> action);
  // GetCurrentDirectoryA answers `text` whatever the current directory is (a platform that
  // reports something Windows would not); an empty `text`: it fails.
  void reportCurrentDirectory(const std::string& text);
  // GetTempFileNameA as Wine 8.0 answers in a folder that takes no new files: the name it tried
  // and its number, although no file was made.
  void answerTempNamesAsWine();
  // SetCurrentDirectoryA fails (ERROR_ACCESS_DENIED) and leaves the directory as it is.
  void failChangeDirectory();
  // FlushFileBuffers fails on every handle with `error` (ERROR_INVALID_FUNCTION: a volume that
  // cannot flush).
  void failFlush(std::uint32_t error = kErrorWriteFault);
  // The call logged at index `number` of calls() fails with `error` and changes nothing (a
  // CloseHandle still releases its handle). Any file call may be chosen: GetFullPathNameA,
  // GetVolumeInformationA, FindFirstFileA, CreateFileA, ReadFile, WriteFile, FlushFileBuffers,
  // SetFilePointer, SetEndOfFile, GetFileInformationByHandle, GetFinalPathNameByHandleA,
  // GetTempFileNameA, GetFileAttributesA, MoveFileExA, DeleteFileA, and CloseHandle of a file.
  void failCall(std::size_t number, std::uint32_t error);
  // The system has no GetFinalPathNameByHandleA nor GetVolumeInformationByHandleW, as Windows XP:
  // they fail with ERROR_CALL_NOT_IMPLEMENTED.
  void removeFinalPathName();
  // The system has no AddDllDirectory, and LoadLibraryExA none of its LOAD_LIBRARY_SEARCH_* flags
  // (XP, Vista, 7 without update KB2533623): LoadLibraryExA fails with ERROR_INVALID_PARAMETER
  // when given one.
  void removeLibrarySearchFlags();

  // --- Power cuts -----------------------------------------------------------------------------
  //
  // From recordPowerCut() on, every change a call makes to the disks is kept as effects in order:
  // the directory sectors it writes (a folder's names in slots of 32 bytes, 16 to a sector, in an
  // allocation of 4 KiB clusters; a name takes one slot, on FAT one more for each 13 characters
  // of a long name that is no 8.3 name, and a short name is made for it; on exFAT two more and
  // one for each 15 characters), each 4 KiB page of file data a write changes, and each flush.
  // New slots go where FAT's driver puts them: never-used ones after the last one used while the
  // allocation has them, then the first run of free ones, then a new cluster. So a folder with a
  // history (many files made and removed) takes new names before the old ones. cutPower(n) then
  // turns the disks into what a power cut after the first n effects may leave, and restarts the
  // machine:
  // - NTFS: the changes to names and sizes land as an ordered prefix of the calls; data lands page
  //   by page, independently, until a flush of its file, which makes it and every change to names
  //   before it durable; a file's end grown but not written reads as zeros.
  // - FAT and exFAT: the same, but the one call in progress at the cut lands any subset of its
  //   sectors, and a grown end holds stale bytes. After the restart, on FAT a name whose long-name
  //   slots do not match its 8.3 slot is reachable by its 8.3 name only; on exFAT a name whose
  //   slots do not all hold the same name and size is none. A file no name reaches is gone.
  // The recording stays: the next cutPower starts again from the disks as they were recorded.
  // recordPowerCut() again starts a new recording from the slots as they are (as a cut left them,
  // or as a run of launches left them), the files' bytes as they are now.
  void recordPowerCut();
  std::size_t recordedEffects() const;
  // The place of the slot that names the file at `path` in its folder, while a recording runs;
  // SIZE_MAX for none.
  std::size_t directorySlot(const std::string& path) const;
  // `pick(n)` chooses one of the n things the file systems may keep wherever they leave a choice
  // (the same choices in the same order for the same recording and `effects`). Every handle is
  // gone after it, the faults too, the logs of calls, boxes and processes start empty, and the
  // current directory is the one recorded.
  // `pagesTogether`: each file's pages written since its last flush land all together or none, a
  // coarser choice for a run over many layouts of the same writes.
  void cutPower(std::size_t effects, const std::function<int(int)>& pick,
                bool pagesTogether = false);

  // --- Observation ----------------------------------------------------------------------------

  // A file at `path`, reached through any links; its bytes (std::out_of_range if absent).
  bool hasFile(const std::string& path) const;
  std::string fileBytes(const std::string& path) const;
  // Whether both paths reach one and the same file.
  bool sameFile(const std::string& path, const std::string& other) const;
  // The full path a symbolic link at `path` points to, or empty when `path` is no link.
  std::string linkTarget(const std::string& path) const;
  // The attributes GetFileAttributesA would answer (a link's own).
  std::uint32_t attributesOf(const std::string& path) const;
  // Every file and link on every drive, full paths, sorted.
  std::vector<std::string> files() const;
  // Handles still open (files, processes, threads, libraries), as "kind:path" strings.
  std::vector<std::string> openHandles() const;
  std::string currentDirectoryPath() const;
  std::uint32_t errorMode() const;

  const std::vector<MessageBoxRecord>& messageBoxes() const { return messageBoxes_; }
  // The system's "insert a disk" prompts: a drive without media touched while the error mode
  // lacked SEM_FAILCRITICALERRORS. A player would have had to answer each.
  const std::vector<std::string>& criticalErrorPrompts() const;
  // The handles still open when the process ended at once (endProcess), which the real exit
  // leaves open to the end; empty when it did not end that way.
  const std::vector<std::string>& handlesOpenAtExit() const { return handlesAtExit_; }
  const std::vector<std::uint32_t>& pauses() const { return pauses_; }
  const std::vector<StartedProcess>& startedProcesses() const { return started_; }
  // How often the library file at `library` (its full path) was tried and released.
  int loadAttempts(const std::string& library) const;
  int freeCount(const std::string& library) const;
  // The full path of the library file that `module` was loaded from, as it was added; empty for
  // no such module.
  std::string libraryPath(ModuleHandle module) const;

  // SetLastError: what lastError() answers until a call sets an error.
  void setLastError(std::uint32_t error);

  // Log of calls in order, one entry each, written as the Windows call and its main argument:
  //   "LoadLibraryA d3dx9_40.dll", "LoadLibraryExA d3dx9_40.dll | 0xA00" (with the flags),
  //   "GetProcAddress AddDllDirectory", "FreeLibrary C:\Windows\System32\d3dx9_40.dll",
  //   "Sleep 100",
  //   "GetCurrentDirectoryA", "SetCurrentDirectoryA D:\Games\X\", "GetDriveTypeA A:\",
  //   "GetModuleFileNameA", "CreateProcessA D:\Games\X\ZRK_DL.exe",
  //   "WaitForInputIdle process | 0xFFFFFFFF" (with the time limit),
  //   "CloseHandle thread", "CloseHandle process", "CloseHandle file C:\X\DLTZRK_DL.INI",
  //   "MessageBoxA <caption>", "exit 0",
  //   "CreateFileA <name> | access=0x80000000 share=0x0 disposition=3", "ReadFile <path>",
  //   "WriteFile <path>", "FlushFileBuffers <path>", "GetFileAttributesA <path>",
  //   "MoveFileExA <source> <target>", "DeleteFileA <path>", "GetFullPathNameA <name>",
  //   "GetVolumeInformationA <root>", "FindFirstFileA <pattern>", "FindNextFileA <pattern>",
  //   "FindClose <pattern>", "CloseHandle folder <path>", "SetErrorMode <mode in hex>",
  //   "SetFilePointer <path> <offset>", "SetEndOfFile <path>", "GetTempFileNameA <folder>",
  //   "GetFileInformationByHandle <path>", "GetFinalPathNameByHandleA <path>",
  //   "GetCurrentDirectoryW", "GetModuleFileNameW", "GetShortPathNameW <path>",
  //   "WideCharToMultiByte <text>" (wide text in the kept form of name()).
  const std::vector<std::string>& calls() const { return calls_; }
  // Index of the first call that starts with `prefix`, or -1.
  int callIndex(const std::string& prefix) const;
  // Number of calls that start with `prefix`.
  int callCount(const std::string& prefix) const;

  // A readable description of drives, files, handles and recorded events, for failing tests.
  std::string dump() const;

  // Runs `body` as the process would: returns its result, or the code given to endProcess.
  int runProcess(const std::function<int()>& body);

  // --- Platform -------------------------------------------------------------------------------
  ModuleHandle loadLibrary(const char* name) override;
  ModuleHandle loadLibraryEx(const char* name, std::uint32_t flags) override;
  bool hasLibrarySearchFlags() override;
  void freeLibrary(ModuleHandle module) override;
  void pause(std::uint32_t milliseconds) override;
  std::uint32_t setErrorMode(std::uint32_t mode) override;
  std::uint32_t currentDirectory(std::uint32_t size, char* buffer) override;
  bool changeDirectory(const char* path) override;
  std::uint32_t moduleFileName(char* buffer, std::uint32_t size) override;
  std::uint32_t driveType(const char* root) override;
  bool isLeadByte(char byte) override;
  std::uint32_t currentDirectoryWide(std::uint32_t size, char16_t* buffer) override;
  std::uint32_t moduleFileNameWide(char16_t* buffer, std::uint32_t size) override;
  std::uint32_t shortPathName(const char16_t* path, char16_t* buffer, std::uint32_t size) override;
  std::uint32_t toAnsiNoBestFit(const char16_t* text, char* buffer, std::uint32_t size,
                                bool& usedDefault) override;
  bool startProcess(const char* application, const char* commandLine, std::uint32_t creationFlags,
                    const char* currentDirectory, ProcessInfo& info) override;
  std::uint32_t waitForInputIdle(OsHandle process, std::uint32_t milliseconds) override;
  bool closeHandle(OsHandle handle) override;
  int showMessageBox(OsHandle owner, const char* text, const char* caption,
                     std::uint32_t type) override;
  [[noreturn]] void endProcess(int code) override;
  std::uint32_t fullPathName(const char* name, std::uint32_t size, char* buffer,
                             char** filePart) override;
  bool volumeInformation(const char* root, std::uint32_t& fileSystemFlags) override;
  OsHandle findFirstFile(const char* pattern, char* name, std::uint32_t size) override;
  bool findNextFile(OsHandle search, char* name, std::uint32_t size) override;
  bool findClose(OsHandle search) override;
  OsHandle createFile(const char* name, std::uint32_t access, std::uint32_t shareMode,
                      std::uint32_t disposition, std::uint32_t attributes) override;
  bool readFile(OsHandle file, void* buffer, std::uint32_t size, std::uint32_t& read) override;
  bool writeFile(OsHandle file, const void* data, std::uint32_t size,
                 std::uint32_t& written) override;
  bool flushFile(OsHandle file) override;
  bool seekFile(OsHandle file, std::uint32_t offset) override;
  bool setEndOfFile(OsHandle file) override;
  bool fileInformation(OsHandle file, FileInformation& info) override;
  std::uint32_t finalPathName(OsHandle file, char* buffer, std::uint32_t size) override;
  bool fileSystemName(OsHandle file, char* name, std::uint32_t size) override;
  std::uint32_t makeTempFile(const char* folder, const char* prefix, char* buffer) override;
  std::uint32_t fileAttributes(const char* path) override;
  bool renameOver(const char* source, const char* target) override;
  bool deleteFile(const char* path) override;
  void upperCase(char* text) override;
  std::uint32_t lastError() override;

 private:
  // Whether the call just logged is the one failCall chose; if so its error is set.
  bool injectedFailure();
  // The key (Path::key) of a path given to a seeding call named `what`.
  std::string key(const std::string& path, const char* what) const;

  struct State;  // drives, files, handles, faults: MachineState.h
  std::unique_ptr<State> state_;
  std::vector<MessageBoxRecord> messageBoxes_;
  std::vector<std::uint32_t> pauses_;
  std::vector<StartedProcess> started_;
  std::vector<std::string> calls_;
  std::vector<std::string> handlesAtExit_;
};
