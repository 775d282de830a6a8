// The contract tests' environment on Windows (or Wine): real folders under the temporary folder,
// files made with the plain API, and the contract_child.exe built beside the test program.
#include <windows.h>

#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ContractEnvironment.h"
#include "platform/win32/Win32Platform.h"
#include "support/FailsWith.h"

namespace {

// Fails the current test with a message that names the call and the error.
[[noreturn]] void fail(const std::string& what, const std::string& path) {
  throw std::runtime_error(what + " " + path + ": error " + std::to_string(GetLastError()));
}

// The folder of the running test program, with its backslash.
std::string programFolder() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path, length);
  return folder.substr(0, folder.find_last_of('\\') + 1);
}

// Whether the Unix user that runs Wine is root, as run_under_wine.py tells it; root when unknown.
bool unixRoot() {
  const char* uid = std::getenv("ZRK_CONTRACT_UNIX_UID");
  return uid == nullptr || std::string(uid) == "0";
}

// The major version of the Wine this runs under (8 for "8.0"), 0 on Windows.
int wineMajorVersion() {
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  if (ntdll == nullptr) return 0;
  using GetVersion = const char*(__cdecl*)();
  const auto get = reinterpret_cast<GetVersion>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
  return get == nullptr ? 0 : std::atoi(get());
}

bool underWine() {
  return wineMajorVersion() != 0;
}

// The volume and index of the file at `path` (which file it is, however the path is spelt, and
// through the 32-bit system folder's redirection); index 0 when it cannot be opened.
std::pair<DWORD, ULONGLONG> fileId(const std::string& path) {
  const HANDLE file = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  BY_HANDLE_FILE_INFORMATION info = {};
  const bool known = file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &info);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (!known) return {0, 0};
  return {info.dwVolumeSerialNumber, ULONGLONG{info.nFileIndexHigh} << 32 | info.nFileIndexLow};
}

// Removes a folder and everything in it, clearing attributes that would stop the removal.
void removeTree(const std::string& folder) {
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA((folder + "*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = found.cFileName;
      if (name == "." || name == "..") continue;
      const std::string path = folder + name;
      SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        removeTree(path + "\\");
      } else {
        DeleteFileA(path.c_str());
      }
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  RemoveDirectoryA(folder.c_str());
}

class Win32Environment final : public ContractEnvironment {
 public:
  ~Win32Environment() override {
    if (!path_.empty()) SetEnvironmentVariableA("PATH", path_.c_str());
    for (const std::string& library : standIns_) DeleteFileA(library.c_str());
    for (auto& held : held_) CloseHandle(held.second);
    // Out of each wide folder, then its file and itself, which the *A calls may not reach.
    for (const auto& [folder, file] : wideFolders_) {
      SetCurrentDirectoryA("C:\\");
      DeleteFileW(file.c_str());
      RemoveDirectoryW(folder.c_str());
    }
    for (const std::string& path : besideProgram_) {
      SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (!DeleteFileA(path.c_str())) removeTree(path + "\\");
    }
    for (const std::string& folder : folders_) removeTree(folder);
  }

  Platform& platform() override { return platform_; }
  void poisonLastError() override { SetLastError(testing_support::kPoisonedError); }

  // Under the temporary folder in its long form: Windows may give it short (hosted runners'
  // C:\Users\RUNNER~1\...), and the final path of an open file is the long one.
  std::string makeFolder() override {
    char temp[MAX_PATH];
    char longTemp[MAX_PATH];
    if (GetTempPathA(MAX_PATH, temp) == 0) fail("GetTempPathA", "");
    const DWORD length = GetLongPathNameA(temp, longTemp, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) fail("GetLongPathNameA", temp);
    if (longTemp[length - 1] != '\\') fail("GetLongPathNameA (no final backslash)", longTemp);
    for (;;) {
      const std::string folder = std::string(longTemp) + "zrk_contract_" +
                                 std::to_string(GetCurrentProcessId()) + "_" +
                                 std::to_string(++folderCount_) + "\\";
      if (CreateDirectoryA(folder.c_str(), nullptr)) {
        folders_.push_back(folder);
        return folder;
      }
      if (GetLastError() != ERROR_ALREADY_EXISTS) fail("CreateDirectoryA", folder);
    }
  }

  void makeDirectory(const std::string& path) override {
    notePathBesideProgram(path);
    if (!CreateDirectoryA(path.c_str(), nullptr)) fail("CreateDirectoryA", path);
  }

  void makeFile(const std::string& path, const std::string& bytes,
                std::uint32_t attributes) override {
    notePathBesideProgram(path);
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) fail("CreateFileA", path);
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    if (!ok || written != bytes.size()) fail("WriteFile", path);
    if (!SetFileAttributesA(path.c_str(), attributes)) fail("SetFileAttributesA", path);
  }

  std::string fileBytes(const std::string& path, bool* exists) override {
    // Full sharing: looking must not disturb a handle that a test holds.
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (exists != nullptr) *exists = file != INVALID_HANDLE_VALUE;
    if (file == INVALID_HANDLE_VALUE) return {};
    std::string bytes;
    char chunk[4096];
    DWORD read = 0;
    while (ReadFile(file, chunk, sizeof chunk, &read, nullptr) && read > 0)
      bytes.append(chunk, read);
    CloseHandle(file);
    return bytes;
  }

  void makeHardLink(const std::string& existing, const std::string& path) override {
    if (!CreateHardLinkA(path.c_str(), existing.c_str(), nullptr)) fail("CreateHardLinkA", path);
  }

  // Wine 8.0's CreateSymbolicLinkA reports success and makes nothing: under Wine the link is the
  // Unix one run_under_wine.py made (ZRK_CONTRACT_SYMLINK, to ZRK_CONTRACT_SYMLINK_TARGET). On
  // Windows the call needs the privilege, or developer mode for the unprivileged flag.
  bool makeSymbolicLink(const std::string& bytes, std::string& link, std::string& target) override {
    if (underWine()) {
      const char* madeLink = std::getenv("ZRK_CONTRACT_SYMLINK");
      const char* madeTarget = std::getenv("ZRK_CONTRACT_SYMLINK_TARGET");
      if (madeLink == nullptr || madeTarget == nullptr) return false;
      link = madeLink;
      target = madeTarget;
    } else {
      const std::string folder = makeFolder();
      target = folder + "target.ini";
      link = folder + "sym.ini";
      using CreateLink = BOOLEAN(WINAPI*)(LPCSTR, LPCSTR, DWORD);
      const FARPROC found = GetProcAddress(GetModuleHandleA("kernel32.dll"), "CreateSymbolicLinkA");
      const auto create = reinterpret_cast<CreateLink>(reinterpret_cast<void (*)()>(found));
      constexpr DWORD kAllowUnprivilegedCreate = 0x2;
      if (create == nullptr || !create(link.c_str(), target.c_str(), kAllowUnprivilegedCreate)) {
        return false;
      }
    }
    makeFile(target, bytes, kAttributeArchive);
    return true;
  }

  // Under Wine a Unix symbolic link to a folder, made by run_under_wine.py; on Windows a symbolic
  // link to a folder, which needs the privilege to make one or developer mode.
  bool makeFolderLink(std::string& link, std::string& target) override {
    if (underWine()) {
      const char* madeLink = std::getenv("ZRK_CONTRACT_FOLDER_LINK");
      const char* madeTarget = std::getenv("ZRK_CONTRACT_FOLDER_LINK_TARGET");
      if (madeLink == nullptr || madeTarget == nullptr) return false;
      link = madeLink;
      target = madeTarget;
      return true;
    }
    const std::string folder = makeFolder();
    target = folder + "real";
    link = folder + "linked";
    makeDirectory(target);
    makeFile(target + "\\target.ini", "", kAttributeArchive);
    using CreateLink = BOOLEAN(WINAPI*)(LPCSTR, LPCSTR, DWORD);
    const FARPROC found = GetProcAddress(GetModuleHandleA("kernel32.dll"), "CreateSymbolicLinkA");
    const auto create = reinterpret_cast<CreateLink>(reinterpret_cast<void (*)()>(found));
    constexpr DWORD kFolderUnprivileged = 0x1 | 0x2;
    return create != nullptr && create(link.c_str(), target.c_str(), kFolderUnprivileged);
  }

  bool inheritable(OsHandle handle) override {
    DWORD flags = 0;
    if (!GetHandleInformation(reinterpret_cast<HANDLE>(handle), &flags)) {
      fail("GetHandleInformation", std::to_string(handle));
    }
    return (flags & HANDLE_FLAG_INHERIT) != 0;
  }

  void holdFile(const std::string& path) override {
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) fail("CreateFileA (hold)", path);
    held_[path] = file;
  }

  void releaseFile(const std::string& path) override {
    auto held = held_.find(path);
    if (held == held_.end()) return;
    CloseHandle(held->second);
    held_.erase(held);
  }

  char unmappedDriveLetter() override {
    const DWORD drives = GetLogicalDrives();
    for (char letter = 'Y'; letter > 'C'; --letter) {
      if (!(drives & (1u << (letter - 'A')))) return letter;
    }
    fail("GetLogicalDrives", "every letter is mapped");
  }

  std::uint32_t codePage() override { return GetACP(); }
  std::string programFolder() override { return ::programFolder(); }
  // Under Wine, the optical drive run_under_wine.py mapped to a missing folder
  // (ZRK_CONTRACT_NO_MEDIA_DRIVE). On Windows, the first removable or optical drive that has no
  // media.
  char driveWithoutMedia() override {
    if (underWine()) {
      const char* letter = std::getenv("ZRK_CONTRACT_NO_MEDIA_DRIVE");
      return letter != nullptr ? letter[0] : 0;
    }
    const DWORD drives = GetLogicalDrives();
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
      if (!(drives & (1u << (letter - 'A')))) continue;
      const char root[] = {letter, ':', '\\', '\0'};
      const UINT type = GetDriveTypeA(root);
      if (type != DRIVE_REMOVABLE && type != DRIVE_CDROM) continue;
      const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS);
      const BOOL readable =
          GetVolumeInformationA(root, nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0);
      SetErrorMode(previous);
      if (!readable && GetLastError() == ERROR_NOT_READY) return letter;
    }
    return 0;
  }
  int diskPrompts() override { return -1; }

  std::string presentLibrary() override { return "kernel32.dll"; }

  std::string systemFolder() override {
    char folder[MAX_PATH];
    const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) fail("GetSystemDirectoryA", "");
    return std::string(folder, length) + "\\";
  }

  // A copy of contract_library.dll, built beside the test program. Never over an existing file:
  // the system folder of a Windows may hold the real library.
  bool installStandInLibrary(const std::string& path) override {
    const std::string source = ::programFolder() + "contract_library.dll";
    if (!CopyFileA(source.c_str(), path.c_str(), TRUE)) return false;
    standIns_.push_back(path);
    return true;
  }

  // The stand-in by the function it exports (under Wine, a library of Wine's own loaded in place
  // of a file found in a folder would still report that file's path), and which one by the file
  // it was loaded from: the loader's path may be spelt in another case, or name the 32-bit system
  // folder SysWOW64. The answer is the path the stand-in was put at, or says that it is none of
  // this test's.
  std::string standInAt(ModuleHandle module) override {
    const auto library = reinterpret_cast<HMODULE>(module);
    if (library == nullptr || GetProcAddress(library, "zrk_contract_stand_in") == nullptr) {
      return {};
    }
    char path[MAX_PATH];
    const std::string loaded(path, GetModuleFileNameA(library, path, MAX_PATH));
    const auto id = fileId(loaded);
    for (const std::string& standIn : standIns_) {
      if (id.second != 0 && fileId(standIn) == id) return standIn;
    }
    return "not one of this test's stand-ins: " + loaded;
  }

  // The process's own PATH, which LoadLibraryA reads at every call.
  void putOnPath(const std::string& folder) override {
    char old[32768];
    const DWORD length = GetEnvironmentVariableA("PATH", old, sizeof old);
    if (length >= sizeof old) fail("GetEnvironmentVariableA", "PATH");
    if (path_.empty()) path_.assign(old, length);
    if (!SetEnvironmentVariableA("PATH", (folder + ";" + std::string(old, length)).c_str())) {
      fail("SetEnvironmentVariableA", "PATH");
    }
  }

  std::string installGuiChild(const std::string& folder, const std::string& fileName) override {
    const std::string source = programFolder() + "contract_child.exe";
    const std::string target = folder + fileName;
    if (!CopyFileA(source.c_str(), target.c_str(), FALSE)) fail("CopyFileA", source);
    return target;
  }

  std::string installConsoleChild(const std::string& folder, const std::string& fileName) override {
    const std::string source = ::programFolder() + "contract_console_child.exe";
    const std::string target = folder + fileName;
    if (!CopyFileA(source.c_str(), target.c_str(), FALSE)) fail("CopyFileA", source);
    return target;
  }

  ChildReport childReport(const std::string& folder) override {
    ChildReport report;
    const std::string bytes = fileBytes(folder + "child_report.txt", &report.started);
    const std::size_t first = bytes.find('\n');
    const std::size_t second = bytes.find('\n', first + 1);
    if (!report.started || first == std::string::npos || second == std::string::npos) {
      report.started = false;
      return report;
    }
    report.currentDirectory = bytes.substr(0, first);
    report.commandLine = bytes.substr(first + 1, second - first - 1);
    return report;
  }

  void endChild(const ProcessInfo& child) override {
    const HANDLE process = reinterpret_cast<HANDLE>(child.process);
    TerminateProcess(process, 0);
    WaitForSingleObject(process, 10000);
  }

  // Windows makes the short name where the volume makes them; Wine makes one for every name that
  // is not 8.3 itself. The directory entry tells (FindFirstFileW's cAlternateFileName).
  std::u16string enterWideFolder(const std::string& parent, const std::u16string& name,
                                 const std::string& file, const std::string& bytes) override {
    const std::wstring folder =
        std::wstring(parent.begin(), parent.end()) + std::wstring(name.begin(), name.end());
    const std::wstring path = folder + L"\\" + std::wstring(file.begin(), file.end());
    if (!CreateDirectoryW(folder.c_str(), nullptr)) fail("CreateDirectoryW", parent + "...");
    wideFolders_.emplace_back(folder, path);
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) fail("CreateFileW", parent + "...\\" + file);
    DWORD written = 0;
    const BOOL ok =
        WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(handle);
    if (!ok || written != bytes.size()) fail("WriteFile", parent + "...\\" + file);
    if (!SetCurrentDirectoryW(folder.c_str())) fail("SetCurrentDirectoryW", parent + "...");
    WIN32_FIND_DATAW entry;
    const HANDLE search = FindFirstFileW(folder.c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) fail("FindFirstFileW", parent + "...");
    FindClose(search);
    const std::wstring shortName = entry.cAlternateFileName;
    return std::u16string(shortName.begin(), shortName.end());
  }

  // Wine's departures from Windows, as measured with Wine 8.0 (Debian 12) and Wine 10.0
  // (Debian 13) on ext4, as root and as an unprivileged user. Where the two versions answer
  // differently, each is held to its own answer. On Windows itself nothing is skipped.
  const char* differs(KnownDifference difference) override {
    if (!underWine()) return nullptr;
    switch (difference) {
      case KnownDifference::readOnlyWritable:
        // Wine keeps the read-only attribute as missing Unix write permission, which root
        // bypasses. run_under_wine.py passes the Unix user id; without it, assume root.
        return unixRoot() ? "Wine running as root opens a read-only file for writing" : nullptr;
      case KnownDifference::readOnlyReplaceable:
        // Wine 10.0 refuses it, as Windows does.
        return wineMajorVersion() < 10
                   ? "Wine 8 lets MoveFileExA replace a read-only target, as any user"
                   : nullptr;
      case KnownDifference::hiddenOrSystemRecreated:
        return "Wine lets CREATE_ALWAYS empty a hidden or system file, as any user";
      case KnownDifference::noUnicodeOnDiskFlag:
        return "Wine reports drive C: with flags 0xA, without FILE_UNICODE_ON_DISK";
      case KnownDifference::noReparseAttribute:
        return "Wine shows a Unix symbolic link by its target's attributes, without "
               "FILE_ATTRIBUTE_REPARSE_POINT";
      case KnownDifference::noDriveWithoutMedia:
        return "Wine has no drive without media: an optical drive whose folder is missing answers "
               "its volume, and its files are not found (ERROR_PATH_NOT_FOUND)";
    }
    return nullptr;
  }

 private:
  // Files and folders made beside the program, outside the test's own folders.
  void notePathBesideProgram(const std::string& path) {
    const std::string folder = ::programFolder();
    if (path.compare(0, folder.size(), folder) == 0 &&
        path.find('\\', folder.size()) == std::string::npos) {
      besideProgram_.push_back(path);
    }
  }

  Win32Platform platform_;
  std::string path_;  // PATH before putOnPath, to be put back
  std::vector<std::string> standIns_;
  std::vector<std::string> besideProgram_;
  std::vector<std::string> folders_;
  int folderCount_ = 0;
  std::map<std::string, HANDLE> held_;
  std::vector<std::pair<std::wstring, std::wstring>> wideFolders_;  // folder, its file
};

}  // namespace

std::unique_ptr<ContractEnvironment> makeContractEnvironment() {
  return std::make_unique<Win32Environment>();
}
