// The one interface between the launcher's logic and the operating system.
//
// Every operation is one Windows call, with arguments and results as Windows has them: byte
// strings in the ANSI code page (932 for the game's players), handles, drive types, error codes.
// Win32Platform (platform/win32) makes the real calls. Only the values the launcher uses are
// named here. Nothing above this file includes <windows.h>.
#pragma once

#include <cstddef>
#include <cstdint>

// Handles as integers, so that portable code never needs the Windows types.
using OsHandle = std::uintptr_t;
using ModuleHandle = std::uintptr_t;  // 0: no module

inline constexpr OsHandle kInvalidHandle = ~OsHandle{0};  // INVALID_HANDLE_VALUE
inline constexpr std::size_t kMaxPath = 260;              // MAX_PATH, terminator included

// Drive types (GetDriveTypeA).
inline constexpr std::uint32_t kDriveRemovable = 2;
inline constexpr std::uint32_t kDriveFixed = 3;

// CreateFileA access, disposition and attributes.
inline constexpr std::uint32_t kGenericRead = 0x80000000u;
inline constexpr std::uint32_t kGenericWrite = 0x40000000u;
inline constexpr std::uint32_t kShareNone = 0;
inline constexpr std::uint32_t kShareAll = 0x7;  // FILE_SHARE_READ | _WRITE | _DELETE
inline constexpr std::uint32_t kCreateNew = 1;
inline constexpr std::uint32_t kOpenExisting = 3;
inline constexpr std::uint32_t kAttributeReadOnly = 0x01;
inline constexpr std::uint32_t kAttributeHidden = 0x02;
inline constexpr std::uint32_t kAttributeSystem = 0x04;
inline constexpr std::uint32_t kAttributeDirectory = 0x10;
inline constexpr std::uint32_t kAttributeNormal = 0x80;
inline constexpr std::uint32_t kAttributeReparsePoint = 0x400;     // a symbolic link or a junction
inline constexpr std::uint32_t kFlagBackupSemantics = 0x02000000;  // lets CreateFileA open a folder
inline constexpr std::uint32_t kInvalidAttributes = 0xFFFFFFFFu;   // INVALID_FILE_ATTRIBUTES

// GetVolumeInformationA file system flags that file opens look at.
inline constexpr std::uint32_t kFsCasePreserved = 0x02;
inline constexpr std::uint32_t kFsUnicodeOnDisk = 0x04;

// SetErrorMode flags.
inline constexpr std::uint32_t kSemFailCriticalErrors = 0x0001;
inline constexpr std::uint32_t kSemNoOpenFileErrorBox = 0x8000;

// Process creation and waiting.
inline constexpr std::uint32_t kNormalPriorityClass = 0x20;
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

// LoadLibraryExA's search flags, which Windows has from 8 on (7 and Vista with update KB2533623):
// the folder of the library named by its full path, for its own dependencies; the launcher's own
// folder; the system folder.
inline constexpr std::uint32_t kLoadLibrarySearchDllLoadDir = 0x100;
inline constexpr std::uint32_t kLoadLibrarySearchApplicationDir = 0x200;
inline constexpr std::uint32_t kLoadLibrarySearchSystem32 = 0x800;

// MessageBoxA type: OK button only.
inline constexpr std::uint32_t kMbOk = 0;

// GetLastError codes that the logic looks at.
inline constexpr std::uint32_t kErrorInvalidFunction = 1;
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorNoMoreFiles = 18;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorSharingViolation = 32;
inline constexpr std::uint32_t kErrorFileExists = 80;
inline constexpr std::uint32_t kErrorNotSupported = 50;
inline constexpr std::uint32_t kErrorCallNotImplemented = 120;

// PROCESS_INFORMATION.
struct ProcessInfo {
  OsHandle process = 0;
  OsHandle thread = 0;
  std::uint32_t processId = 0;
  std::uint32_t threadId = 0;
};

// BY_HANDLE_FILE_INFORMATION, the parts the logic looks at.
struct FileInformation {
  std::uint32_t attributes = 0;  // of the file itself, behind any link it was opened through
  std::uint32_t links = 0;       // nNumberOfLinks: how many names (hard links) the file has
};

class Platform {
 public:
  Platform() = default;
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;
  virtual ~Platform() = default;

  // --- Libraries, pauses, process state -------------------------------------------------------

  // LoadLibraryA: the module, or 0 when the library cannot be loaded. A bare name is searched for
  // beside the launcher, in the system folders, in the current directory, then on PATH.
  virtual ModuleHandle loadLibrary(const char* name) = 0;
  // LoadLibraryExA(name, NULL, flags): with LOAD_LIBRARY_SEARCH_* flags, a bare name is searched
  // for only where they say, and a full path's library alone is loaded (its dependencies where
  // they say). 0 when it cannot be loaded. Not to be given such flags where the system has none.
  virtual ModuleHandle loadLibraryEx(const char* name, std::uint32_t flags) = 0;
  // Whether LoadLibraryExA takes the LOAD_LIBRARY_SEARCH_* flags: whether kernel32 has
  // AddDllDirectory, which came with them (GetProcAddress).
  virtual bool hasLibrarySearchFlags() = 0;
  // FreeLibrary.
  virtual void freeLibrary(ModuleHandle module) = 0;
  // Sleep.
  virtual void pause(std::uint32_t milliseconds) = 0;
  // SetErrorMode: sets the process's error mode and returns the previous one.
  virtual std::uint32_t setErrorMode(std::uint32_t mode) = 0;
  // GetCurrentDirectoryA: the length copied (without terminator), or the size needed (with
  // terminator) when the buffer is too small, or 0 on failure. No trailing backslash except at a
  // drive root.
  virtual std::uint32_t currentDirectory(std::uint32_t size, char* buffer) = 0;
  // SetCurrentDirectoryA.
  virtual bool changeDirectory(const char* path) = 0;
  // GetModuleFileNameA(NULL, ...): the launcher's own full path. Returns the length copied; a
  // result equal to size means the path was cut short.
  virtual std::uint32_t moduleFileName(char* buffer, std::uint32_t size) = 0;
  // GetDriveTypeA on a root such as "A:\".
  virtual std::uint32_t driveType(const char* root) = 0;
  // IsDBCSLeadByte: whether `byte` starts a two-byte character in the system's ANSI code page,
  // the code page of every path the system gives or takes. The second byte of such a character
  // may be 0x5C, which is then no backslash.
  virtual bool isLeadByte(char byte) = 0;

  // --- Paths in UTF-16 ------------------------------------------------------------------------
  //
  // The launcher, its settings file and the game all speak the ANSI code page; these four calls
  // are here only to tell whether an ANSI path is the path at all. A folder whose name holds a
  // character the code page cannot spell comes back from the *A calls with '?' (or a look-alike,
  // a "best fit") in its place, which names no folder or another one; its short (8.3) name, where
  // it has one and the code page spells it (short names are made in the OEM code page), names it.
  // Wide text is UTF-16, in 16-bit units. All four are in KERNEL32 on every Windows the launcher
  // runs on (XP and later).

  // GetCurrentDirectoryW: as currentDirectory, in UTF-16 units.
  virtual std::uint32_t currentDirectoryWide(std::uint32_t size, char16_t* buffer) = 0;
  // GetModuleFileNameW(NULL, ...): as moduleFileName, in UTF-16 units.
  virtual std::uint32_t moduleFileNameWide(char16_t* buffer, std::uint32_t size) = 0;
  // GetShortPathNameW: the existing `path` with every component that has a short (8.3) name
  // written as that name; a component without one (8.3 names switched off on its volume) stays
  // as it is. The length copied (without terminator), or the size needed (with terminator) when
  // the buffer is too small, or 0 on failure (no such file or folder).
  virtual std::uint32_t shortPathName(const char16_t* path, char16_t* buffer,
                                      std::uint32_t size) = 0;
  // WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, -1, buffer, size, NULL,
  // &usedDefault) of the NUL-terminated `text`: the bytes written, terminator included, or 0 on
  // failure (the buffer too small; a code page that takes no such flags, as UTF-8). `usedDefault`
  // is set when a character has no exact equivalent in the code page and became the default
  // character: without the flag it could have become a look-alike instead.
  virtual std::uint32_t toAnsiNoBestFit(const char16_t* text, char* buffer, std::uint32_t size,
                                        bool& usedDefault) = 0;

  // --- Processes, handles, user interface -----------------------------------------------------

  // CreateProcessA with no security attributes, no handle inheritance, the launcher's own
  // environment and a start record that is all zero but its size. `application` may be null (the
  // system then searches for the command line's program). Fills `info` on success.
  virtual bool startProcess(const char* application, const char* commandLine,
                            std::uint32_t creationFlags, const char* currentDirectory,
                            ProcessInfo& info) = 0;
  // WaitForInputIdle: 0 once the process waits for input, WAIT_TIMEOUT, or WAIT_FAILED (at once
  // for a program without a message queue, such as a console program).
  virtual std::uint32_t waitForInputIdle(OsHandle process, std::uint32_t milliseconds) = 0;
  // CloseHandle.
  virtual bool closeHandle(OsHandle handle) = 0;
  // MessageBoxA: text and caption are code page 932 bytes. Returns when the box is dismissed.
  virtual int showMessageBox(OsHandle owner, const char* text, const char* caption,
                             std::uint32_t type) = 0;
  // The runtime's exit: static destructors run and the process ends with `code`.
  [[noreturn]] virtual void endProcess(int code) = 0;

  // --- Files ----------------------------------------------------------------------------------

  // GetFullPathNameA: the length copied (without terminator), or the size needed (with
  // terminator) when the buffer is too small, or 0 on failure. `filePart`, when not null, is set
  // to the file name inside `buffer`, or to null when the path ends in a backslash.
  virtual std::uint32_t fullPathName(const char* name, std::uint32_t size, char* buffer,
                                     char** filePart) = 0;
  // GetVolumeInformationA on a root such as "C:\": false when the volume cannot be read (no
  // media). `fileSystemFlags` receives the file system's flags.
  virtual bool volumeInformation(const char* root, std::uint32_t& fileSystemFlags) = 0;
  // FindFirstFileA: a search for the files and folders that `pattern` ('*' and '?' in its last
  // component) matches, and the name on disk of the first match (file part only) in `name`, cut to
  // `size`. kInvalidHandle when nothing matches.
  virtual OsHandle findFirstFile(const char* pattern, char* name, std::uint32_t size) = 0;
  // FindNextFileA: the next match's name; false after the last (ERROR_NO_MORE_FILES).
  virtual bool findNextFile(OsHandle search, char* name, std::uint32_t size) = 0;
  // FindClose.
  virtual bool findClose(OsHandle search) = 0;
  // CreateFileA with no security attributes (a handle that no child process inherits) and no
  // template. `attributes` carries the flags too: with kFlagBackupSemantics, a folder opens (for
  // its final path; access 0).
  virtual OsHandle createFile(const char* name, std::uint32_t access, std::uint32_t shareMode,
                              std::uint32_t disposition, std::uint32_t attributes) = 0;
  // ReadFile: true with `read` == 0 at end of file.
  virtual bool readFile(OsHandle file, void* buffer, std::uint32_t size, std::uint32_t& read) = 0;
  // WriteFile: may write fewer bytes than asked (a full disk) and still return true.
  virtual bool writeFile(OsHandle file, const void* data, std::uint32_t size,
                         std::uint32_t& written) = 0;
  // FlushFileBuffers.
  virtual bool flushFile(OsHandle file) = 0;
  // SetFilePointer from the file's start.
  virtual bool seekFile(OsHandle file, std::uint32_t offset) = 0;
  // SetEndOfFile: the file ends at the current position, cut short or made longer.
  virtual bool setEndOfFile(OsHandle file) = 0;
  // GetFileInformationByHandle.
  virtual bool fileInformation(OsHandle file, FileInformation& info) = 0;
  // GetFinalPathNameByHandleA(file, buffer, size, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS): the path
  // the system resolves the open file to, through every link, "\\?\C:\..." or
  // "\\?\UNC\server\share\...". The length copied (without terminator), or the size needed
  // (terminator included) when the buffer is too small, or 0 on failure and where the system has
  // no such call (before Vista: ERROR_CALL_NOT_IMPLEMENTED).
  virtual std::uint32_t finalPathName(OsHandle file, char* buffer, std::uint32_t size) = 0;
  // GetVolumeInformationByHandleW(file, ...): the name of the file system of the volume that
  // holds the open `file` ("NTFS", "FAT32", "exFAT", ...), cut to `size` bytes, a character
  // outside ASCII as '?'. False on failure and where the system has no such call (before Vista:
  // ERROR_CALL_NOT_IMPLEMENTED).
  virtual bool fileSystemName(OsHandle file, char* name, std::uint32_t size) = 0;
  // GetTempFileNameA(folder, prefix, 0, buffer): creates an empty file of a name that no file in
  // `folder` has, folder + up to 3 bytes of prefix + a hex number + ".TMP", into `buffer`
  // (kMaxPath bytes). Its unique number, or 0 when no such file could be made.
  virtual std::uint32_t makeTempFile(const char* folder, const char* prefix, char* buffer) = 0;
  // GetFileAttributesA: kInvalidAttributes when the path does not exist. A symbolic link answers
  // its own attributes (FILE_ATTRIBUTE_REPARSE_POINT on Windows), not its target's.
  virtual std::uint32_t fileAttributes(const char* path) = 0;
  // MoveFileExA(source, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH): one rename
  // that replaces the target.
  virtual bool renameOver(const char* source, const char* target) = 0;
  // DeleteFileA.
  virtual bool deleteFile(const char* path) = 0;
  // CharUpperA on a NUL-terminated string, in place.
  virtual void upperCase(char* text) = 0;
  // GetLastError: the error of the last failed operation above.
  virtual std::uint32_t lastError() = 0;
};

// The entry point's whole job, defined by the application (app/): run the one application object
// on `os` and give the process's exit code.
int AfxWinMain(Platform& os);
