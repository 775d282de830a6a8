// Win32Platform: the Platform operations as the real kernel32 and user32 calls.
//
// Each method is one call with the arguments passed through; what Windows does that a reader
// might not expect is noted at the call. Failures come back as the call's own result, with the
// error left for GetLastError (lastError) as Windows leaves it.
#include "platform/win32/Win32Platform.h"

#include <windows.h>

#include <cstdlib>

namespace {

// Handles cross the Platform interface as integers of pointer width; INVALID_HANDLE_VALUE
// becomes kInvalidHandle (all bits set) both ways, on 32-bit and 64-bit builds alike.
HANDLE toHandle(OsHandle handle) {
  return reinterpret_cast<HANDLE>(handle);
}
OsHandle fromHandle(HANDLE handle) {
  return reinterpret_cast<OsHandle>(handle);
}

// The code page of every text the launcher shows.
constexpr UINT kTextCodePage = 932;

// A NUL-terminated code page 932 string as UTF-16, for the W calls. Short texts stay in the
// object; longer ones take the process heap. A null text stays null.
class WideText {
 public:
  explicit WideText(const char* text) {
    if (text == nullptr) return;
    // XP without its East Asian language support has no code page 932 tables; the ANSI code
    // page then still shows a box, even if not a readable one.
    const UINT codePage = IsValidCodePage(kTextCodePage) ? kTextCodePage : CP_ACP;
    // -1: the length includes the terminator, so the result is terminated too.
    const int needed = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
    wchar_t* out = inline_;
    if (needed > kInlineUnits) {
      heap_ = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, needed * sizeof(wchar_t)));
      out = heap_;
    }
    if (out == nullptr || needed <= 0 ||
        MultiByteToWideChar(codePage, 0, text, -1, out, needed) == 0) {
      inline_[0] = L'\0';
      out = inline_;
    }
    text_ = out;
  }
  ~WideText() {
    if (heap_ != nullptr) HeapFree(GetProcessHeap(), 0, heap_);
  }
  WideText(const WideText&) = delete;
  WideText& operator=(const WideText&) = delete;

  const wchar_t* get() const { return text_; }

 private:
  static constexpr int kInlineUnits = 512;
  wchar_t inline_[kInlineUnits] = {};
  wchar_t* heap_ = nullptr;
  const wchar_t* text_ = nullptr;
};

// The longest command line CreateProcess accepts, terminator included.
constexpr std::size_t kMaxCommandLine = 32768;

// GetFinalPathNameByHandleA, which came with Vista. WINAPI: a pointer of the wrong calling
// convention would unbalance the stack of the 32-bit build only.
using FinalPathNameFunction = DWORD(WINAPI*)(HANDLE, LPSTR, DWORD, DWORD);
// Its flags, which the XP headers do not define: FILE_NAME_NORMALIZED | VOLUME_NAME_DOS.
constexpr DWORD kNormalizedDosName = 0x0;
// GetVolumeInformationByHandleW, which came with Vista too.
using VolumeByHandleFunction = BOOL(WINAPI*)(HANDLE, LPWSTR, DWORD, LPDWORD, LPDWORD, LPDWORD,
                                             LPWSTR, DWORD);

// A function of kernel32 that XP lacks, looked up at run time, or null (ERROR_CALL_NOT_IMPLEMENTED
// then set). Through void (*)(), the generic function pointer type, so that GCC accepts the cast.
template <typename Function>
Function LaterKernelFunction(const char* name) {
  const HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  const FARPROC found = kernel32 != nullptr ? GetProcAddress(kernel32, name) : nullptr;
  if (found == nullptr) SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

}  // namespace

// --- Libraries, pauses, process state ---------------------------------------------------------

// LoadLibraryA: the module, or 0. With SEM_FAILCRITICALERRORS set, a missing library or one of
// its dependencies fails quietly instead of showing the system's "cannot find" box. A bare name
// is searched for beside the launcher, in the system folders, in the current directory (after
// them, in safe DLL search mode, the default from XP SP2 on), then in every folder on PATH.
ModuleHandle Win32Platform::loadLibrary(const char* name) {
  return reinterpret_cast<ModuleHandle>(LoadLibraryA(name));
}

// LoadLibraryExA with no file handle (which must be NULL). The LOAD_LIBRARY_SEARCH_* flags make
// the search of a bare name go only where they say; LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR takes only
// a full path. Where the system has no such flags, they are not to be given
// (hasLibrarySearchFlags). Checked under Wine 8 and 10: a library of that name is looked for in the
// given folders only, and a native one found there is loaded in place of Wine's own.
ModuleHandle Win32Platform::loadLibraryEx(const char* name, std::uint32_t flags) {
  return reinterpret_cast<ModuleHandle>(LoadLibraryExA(name, nullptr, flags));
}

// GetProcAddress of AddDllDirectory in kernel32: Windows 8 and later have it, and Windows 7,
// Vista, Server 2008 and 2008 R2 with update KB2533623, which brought it together with the
// LOAD_LIBRARY_SEARCH_* flags of LoadLibraryExA. Wine has both.
bool Win32Platform::hasLibrarySearchFlags() {
  const HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  return kernel32 != nullptr && GetProcAddress(kernel32, "AddDllDirectory") != nullptr;
}

// FreeLibrary.
void Win32Platform::freeLibrary(ModuleHandle module) {
  FreeLibrary(reinterpret_cast<HMODULE>(module));
}

// Sleep.
void Win32Platform::pause(std::uint32_t milliseconds) {
  Sleep(milliseconds);
}

// SetErrorMode: replaces the whole mode and returns the old one. Windows before Vista has no
// GetErrorMode, so adding flags means setting once to learn the old mode, then setting again.
std::uint32_t Win32Platform::setErrorMode(std::uint32_t mode) {
  return SetErrorMode(mode);
}

// GetCurrentDirectoryA: length without terminator, or the size needed when `size` is too small.
std::uint32_t Win32Platform::currentDirectory(std::uint32_t size, char* buffer) {
  return GetCurrentDirectoryA(size, buffer);
}

// SetCurrentDirectoryA.
bool Win32Platform::changeDirectory(const char* path) {
  return SetCurrentDirectoryA(path) != 0;
}

// GetModuleFileNameA of the executable. When the path is cut short, XP returns `size` and leaves
// the buffer unterminated (later Windows terminate it); terminate it here on every version.
std::uint32_t Win32Platform::moduleFileName(char* buffer, std::uint32_t size) {
  const DWORD length = GetModuleFileNameA(nullptr, buffer, size);
  if (size > 0 && length >= size) buffer[size - 1] = '\0';
  return length;
}

// GetDriveTypeA. The root needs its backslash: "A:" alone would mean the current directory on A:.
// A letter with nothing mapped answers DRIVE_NO_ROOT_DIR. The type comes from the drive, not the
// media, so an empty floppy or optical drive still answers its type without being touched.
std::uint32_t Win32Platform::driveType(const char* root) {
  return GetDriveTypeA(root);
}

// IsDBCSLeadByte, by the system's ANSI code page (CP_ACP): the code page in which
// GetModuleFileNameA and GetCurrentDirectoryA give their paths. 932 has lead bytes 0x81-0x9F and
// 0xE0-0xFC; 1252 and the other single-byte code pages have none.
bool Win32Platform::isLeadByte(char byte) {
  return IsDBCSLeadByte(static_cast<BYTE>(byte)) != 0;
}

// --- Paths in UTF-16 --------------------------------------------------------------------------
//
// The launcher, the settings file and the game speak ANSI. These calls only find out whether an
// ANSI path is the path, and ask for its short form when it is not (AnsiPath.cpp). UTF-16
// units are wchar_t here; char16_t has the same size and representation.
static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 units");

namespace {
wchar_t* wide(char16_t* text) {
  return reinterpret_cast<wchar_t*>(text);
}
const wchar_t* wide(const char16_t* text) {
  return reinterpret_cast<const wchar_t*>(text);
}
}  // namespace

// GetCurrentDirectoryW.
std::uint32_t Win32Platform::currentDirectoryWide(std::uint32_t size, char16_t* buffer) {
  return GetCurrentDirectoryW(size, wide(buffer));
}

// GetModuleFileNameW(NULL, ...). As for the ANSI call, a path cut short ends in a terminator here
// even on XP, which leaves it out.
std::uint32_t Win32Platform::moduleFileNameWide(char16_t* buffer, std::uint32_t size) {
  const DWORD length = GetModuleFileNameW(nullptr, wide(buffer), size);
  if (size > 0 && length >= size) buffer[size - 1] = u'\0';
  return length;
}

// GetShortPathNameW: components without a short name (8.3 names off on the volume) come back as
// they are.
std::uint32_t Win32Platform::shortPathName(const char16_t* path, char16_t* buffer,
                                           std::uint32_t size) {
  return GetShortPathNameW(wide(path), wide(buffer), size);
}

// WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, ...): without the flag, a character the code
// page lacks may become a look-alike ("l" for "ł" in 1252), which the used-default flag does not
// report. Where the ANSI code page is UTF-8, the call takes neither the flag nor the used-default
// pointer and fails: the *A call's answer stands, and it spells every path there.
std::uint32_t Win32Platform::toAnsiNoBestFit(const char16_t* text, char* buffer, std::uint32_t size,
                                             bool& usedDefault) {
  BOOL defaulted = FALSE;
  const int written = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide(text), -1, buffer,
                                          static_cast<int>(size), nullptr, &defaulted);
  usedDefault = defaulted != FALSE;
  return written > 0 ? static_cast<std::uint32_t>(written) : 0;
}

// --- Processes, handles, user interface -------------------------------------------------------

// CreateProcessA with no security attributes, no inherited handles, this process's environment
// and a STARTUPINFOA that is zero but its size.
bool Win32Platform::startProcess(const char* application, const char* commandLine,
                                 std::uint32_t creationFlags, const char* currentDirectory,
                                 ProcessInfo& info) {
  // The command line parameter is writable by contract (CreateProcessW writes into its own), so
  // CreateProcessA gets a private copy rather than the caller's constant bytes.
  char commandCopy[kMaxCommandLine];
  char* command = nullptr;
  if (commandLine != nullptr) {
    if (lstrlenA(commandLine) >= static_cast<int>(kMaxCommandLine)) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return false;
    }
    lstrcpynA(commandCopy, commandLine, static_cast<int>(kMaxCommandLine));
    command = commandCopy;
  }

  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION created;
  ZeroMemory(&created, sizeof created);

  // With no application name, the program is searched for in the launcher's own folder, the
  // current directory (the launcher's, not lpCurrentDirectory), the system folders and PATH.
  if (!CreateProcessA(application, command, nullptr, nullptr, FALSE, creationFlags, nullptr,
                      currentDirectory, &startup, &created)) {
    return false;
  }
  info.process = fromHandle(created.hProcess);
  info.thread = fromHandle(created.hThread);
  info.processId = created.dwProcessId;
  info.threadId = created.dwThreadId;
  return true;
}

// WaitForInputIdle: 0 once the process waits for input in its message loop, WAIT_TIMEOUT, or
// WAIT_FAILED at once for a console program (it has no message queue to be idle in).
std::uint32_t Win32Platform::waitForInputIdle(OsHandle process, std::uint32_t milliseconds) {
  return WaitForInputIdle(toHandle(process), milliseconds);
}

// CloseHandle.
bool Win32Platform::closeHandle(OsHandle handle) {
  return CloseHandle(toHandle(handle)) != 0;
}

// The message box, shown with MessageBoxW on the texts converted from code page 932, so that it
// reads correctly on a Windows whose ANSI code page is not 932 too.
int Win32Platform::showMessageBox(OsHandle owner, const char* text, const char* caption,
                                  std::uint32_t type) {
  const WideText wideText(text);
  const WideText wideCaption(caption);
  return MessageBoxW(reinterpret_cast<HWND>(owner), wideText.get(), wideCaption.get(), type);
}

// The C runtime's exit: atexit handlers and static destructors run, then ExitProcess.
void Win32Platform::endProcess(int code) {
  std::exit(code);
}

// --- Files ------------------------------------------------------------------------------------

// GetFullPathNameA: resolves against the current directory (or the drive's own current
// directory for "X:name"), removes "." and "..", and collapses doubled backslashes such as the
// one after a drive root in "C:\\name". The file does not need to exist.
std::uint32_t Win32Platform::fullPathName(const char* name, std::uint32_t size, char* buffer,
                                          char** filePart) {
  return GetFullPathNameA(name, size, buffer, filePart);
}

// GetVolumeInformationA, flags only. A drive without media fails here (ERROR_NOT_READY) and,
// with SEM_FAILCRITICALERRORS set, without asking the user to insert a disk. NTFS reports
// FILE_UNICODE_ON_DISK; Wine 8.0's drive C: does not (flags 0xA).
bool Win32Platform::volumeInformation(const char* root, std::uint32_t& fileSystemFlags) {
  DWORD flags = 0;
  const BOOL ok = GetVolumeInformationA(root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0);
  fileSystemFlags = flags;
  return ok != 0;
}

// FindFirstFileA: the name on disk of the first match, cut to `size`. On NTFS and FAT a pattern
// matches a file's short (8.3) name as well as its long one; cFileName is the long one.
OsHandle Win32Platform::findFirstFile(const char* pattern, char* name, std::uint32_t size) {
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA(pattern, &found);
  if (search != INVALID_HANDLE_VALUE && size > 0) {
    lstrcpynA(name, found.cFileName, static_cast<int>(size));
  }
  return fromHandle(search);
}

// FindNextFileA: false with ERROR_NO_MORE_FILES after the last match.
bool Win32Platform::findNextFile(OsHandle search, char* name, std::uint32_t size) {
  WIN32_FIND_DATAA found;
  if (!FindNextFileA(toHandle(search), &found)) return false;
  if (size > 0) lstrcpynA(name, found.cFileName, static_cast<int>(size));
  return true;
}

// FindClose: a search handle is no kernel handle, and CloseHandle would not end it.
bool Win32Platform::findClose(OsHandle search) {
  return FindClose(toHandle(search)) != 0;
}

// CreateFileA with no security attributes, and so a handle that no child process inherits (the
// game is started without inheritance anyway), and no template. CREATE_ALWAYS on an existing file
// that is read-only, hidden or system fails with ERROR_ACCESS_DENIED unless the attributes asked
// for include the hidden and system bits it has; a share mode of 0 fails with
// ERROR_SHARING_VIOLATION while any other handle to the file is open. Wine 8.0 empties hidden and
// system files regardless, and read-only ones too when it runs as root.
OsHandle Win32Platform::createFile(const char* name, std::uint32_t access, std::uint32_t shareMode,
                                   std::uint32_t disposition, std::uint32_t attributes) {
  return fromHandle(
      CreateFileA(name, access, shareMode, nullptr, disposition, attributes, nullptr));
}

// ReadFile, synchronous: true with `read` == 0 at the end of the file.
bool Win32Platform::readFile(OsHandle file, void* buffer, std::uint32_t size, std::uint32_t& read) {
  DWORD count = 0;
  const BOOL ok = ReadFile(toHandle(file), buffer, size, &count, nullptr);
  read = count;
  return ok != 0;
}

// WriteFile, synchronous. It may report fewer bytes written than asked, so callers check the
// count as well as the result.
bool Win32Platform::writeFile(OsHandle file, const void* data, std::uint32_t size,
                              std::uint32_t& written) {
  DWORD count = 0;
  const BOOL ok = WriteFile(toHandle(file), data, size, &count, nullptr);
  written = count;
  return ok != 0;
}

// FlushFileBuffers.
bool Win32Platform::flushFile(OsHandle file) {
  return FlushFileBuffers(toHandle(file)) != 0;
}

// SetFilePointer from the start. With no high part, a result of INVALID_SET_FILE_POINTER is a
// failure only when GetLastError says so; offsets here stay far below 4 GiB.
bool Win32Platform::seekFile(OsHandle file, std::uint32_t offset) {
  SetLastError(NO_ERROR);
  const DWORD moved =
      SetFilePointer(toHandle(file), static_cast<LONG>(offset), nullptr, FILE_BEGIN);
  return moved != INVALID_SET_FILE_POINTER || GetLastError() == NO_ERROR;
}

// SetEndOfFile at the current position. Making a file longer needs room on the disk, cutting it
// short frees room.
bool Win32Platform::setEndOfFile(OsHandle file) {
  return SetEndOfFile(toHandle(file)) != 0;
}

// GetFileInformationByHandle. Every CreateFileA handle may ask it: CreateFile adds
// FILE_READ_ATTRIBUTES to the access asked for. The attributes are the file's own, behind any
// symbolic link it was opened through.
bool Win32Platform::fileInformation(OsHandle file, FileInformation& info) {
  BY_HANDLE_FILE_INFORMATION data;
  if (!GetFileInformationByHandle(toHandle(file), &data)) return false;
  info.attributes = data.dwFileAttributes;
  info.links = data.nNumberOfLinks;
  return true;
}

// GetFinalPathNameByHandleA, looked up at run time so that the executable still starts on XP,
// which has no such call (and no symbolic link to a file either). Wine 8.0 reports a Unix
// symbolic link's target here, and nowhere else: its GetFileAttributesA shows no
// FILE_ATTRIBUTE_REPARSE_POINT.
std::uint32_t Win32Platform::finalPathName(OsHandle file, char* buffer, std::uint32_t size) {
  const auto function = LaterKernelFunction<FinalPathNameFunction>("GetFinalPathNameByHandleA");
  return function != nullptr ? function(toHandle(file), buffer, size, kNormalizedDosName) : 0;
}

// GetVolumeInformationByHandleW, looked up at run time as above: the file system's name only.
// Under Wine 8 and 10 every drive mapped to a Unix folder answers "NTFS".
bool Win32Platform::fileSystemName(OsHandle file, char* name, std::uint32_t size) {
  const auto function =
      LaterKernelFunction<VolumeByHandleFunction>("GetVolumeInformationByHandleW");
  wchar_t wide[MAX_PATH + 1] = {};
  if (function == nullptr || size == 0 ||
      !function(toHandle(file), nullptr, 0, nullptr, nullptr, nullptr, wide, MAX_PATH + 1)) {
    return false;
  }
  std::uint32_t i = 0;
  for (; i + 1 < size && wide[i] != L'\0'; ++i)
    name[i] = wide[i] < 0x80 ? static_cast<char>(wide[i]) : '?';
  name[i] = '\0';
  return true;
}

// GetTempFileNameA with uUnique 0: it tries CREATE_NEW on one number after another, starting
// from the tick count, until one is free, then closes the file it made. Windows returns 0 when
// the folder refuses new files; Wine 8.0 returns a number without having made the file, so a
// caller opens the file it was given without creating it, to find out.
std::uint32_t Win32Platform::makeTempFile(const char* folder, const char* prefix, char* buffer) {
  return GetTempFileNameA(folder, prefix, 0, buffer);
}

// GetFileAttributesA: INVALID_FILE_ATTRIBUTES when the path does not exist.
std::uint32_t Win32Platform::fileAttributes(const char* path) {
  return GetFileAttributesA(path);
}

// MoveFileExA replacing the target in one rename, flushed before it returns. Without
// MOVEFILE_COPY_ALLOWED both names must be on one volume. Windows refuses a read-only target
// (ERROR_ACCESS_DENIED); Wine 8.0 replaces it.
bool Win32Platform::renameOver(const char* source, const char* target) {
  return MoveFileExA(source, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

// DeleteFileA. Windows refuses a read-only file (ERROR_ACCESS_DENIED).
bool Win32Platform::deleteFile(const char* path) {
  return DeleteFileA(path) != 0;
}

// CharUpperA in place, by the rules of the ANSI code page. CharUpperA takes a pointer below 0x10000
// for a single character; no buffer ever lies there.
void Win32Platform::upperCase(char* text) {
  CharUpperA(text);
}

// GetLastError.
std::uint32_t Win32Platform::lastError() {
  return GetLastError();
}
