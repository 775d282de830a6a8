// The machine behind the simulated Windows: drives and volumes, names and the files behind them,
// open handles and the sharing between them, free space, libraries and processes, and the faults
// a test injects. The Platform calls (SimulatedWindows.cpp) apply these rules in the order
// Windows applies them; the seeding and observing calls (SimulatedSeeding.cpp) set them up and
// read them back.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "simulated/SimulatedPaths.h"
#include "simulated/SimulatedWindows.h"

namespace simulated {

// Error codes answered here beyond those that Platform.h names.
inline constexpr std::uint32_t kErrorSuccess = 0;
inline constexpr std::uint32_t kErrorBufferOverflow = 111;
inline constexpr std::uint32_t kErrorInsufficientBuffer = 122;
inline constexpr std::uint32_t kErrorCantResolveFilename = 1921;

inline constexpr int kIdOk = 1;
// The attribute bits a file keeps; FILE_ATTRIBUTE_NORMAL only ever stands alone.
inline constexpr std::uint32_t kKeptAttributes =
    kAttributeReadOnly | kAttributeHidden | kAttributeSystem | kAttributeArchive;
// Attributes that CREATE_ALWAYS refuses to drop from an existing file.
inline constexpr std::uint32_t kHiddenOrSystem = kAttributeHidden | kAttributeSystem;

// What a CreateFileA call asks for.
struct OpenRequest {
  std::uint32_t access;
  std::uint32_t share;
  std::uint32_t disposition;
  std::uint32_t attributes;
};

// Everything a test injects: a disk that fills up or stops taking writes, reads, closes and
// flushes that fail, a call chosen to fail, folders that take no new files, renames refused,
// another program that holds a file for a moment or opens one at a chosen time, and Wine's way
// with temporary names. Files and folders are named by their keys (Path::key). Opens, renames and
// deletions each ask one rule here, at one place in their checks; the other faults are each
// looked at by the one call they concern.
struct Faults {
  struct Refusal {
    std::uint32_t error;
    int times;  // -1: for good
  };
  // Something happens when a file whose name ends in `nameEnd` is opened (with `access`, unless
  // 0), before the open: another program opens or writes a file, or the test looks.
  struct WhenOpened {
    std::string nameEnd;
    std::uint32_t access;
    std::function<void()> action;
  };

  std::optional<std::uint64_t> freeSpace;            // room on the disks, when limited
  std::optional<std::uint64_t> writeRoom;            // bytes writes still take, when limited
  std::map<std::string, std::uint64_t> readFailsAt;  // key -> offset
  std::set<std::string> closeFails;                  // keys
  std::uint32_t flushError = kErrorSuccess;          // every FlushFileBuffers fails with it
  bool changeDirectoryFails = false;
  std::optional<std::size_t> failingCall;  // the call (its index in the log) that fails
  std::uint32_t failingCallError = kErrorSuccess;
  std::map<std::string, Refusal> renamesInto;     // target key -> refusal
  std::set<std::string> foldersRefusingNewFiles;  // keys
  std::map<std::string, int> heldForCalls;        // key -> calls still refused
  std::optional<WhenOpened> whenOpened;           // once
  std::optional<std::string> reportedDirectory;   // GetCurrentDirectoryA's answer; "": fails
  bool tempNamesWithoutFiles = false;             // GetTempFileNameA as Wine 8.0 answers

  // CreateFileA of the file `key` in the folder `folderKey`, after the checks Windows makes of
  // its own: a new file in a folder that takes none (access denied), an existing one that another
  // program holds for a moment (sharing violation).
  std::uint32_t openRefusal(const std::string& key, const std::string& folderKey, bool exists);
  // MoveFileExA of `from` over `to`: a refused rename into `to` (its own error), either folder
  // taking no new files (access denied), `from` held for a moment (sharing violation), `to` held
  // for a moment (access denied). In this order, each refusal counted off where it applies, and
  // before the sharing of files open here is checked (as for deletions).
  std::uint32_t renameRefusal(const std::string& from, const std::string& fromFolder,
                              const std::string& to, const std::string& toFolder);
  // DeleteFileA of `key` in `folderKey`: a folder that takes no new files (access denied), then
  // the file held for a moment (sharing violation).
  std::uint32_t deleteRefusal(const std::string& key, const std::string& folderKey);

 private:
  // Whether `key` is held for a moment by another program; one of the calls it refuses is
  // counted off.
  bool heldNow(const std::string& key);
};

}  // namespace simulated

struct SimulatedWindows::State {
  using Path = simulated::Path;
  using OpenRequest = simulated::OpenRequest;

  struct Drive {
    bool present = false;
    std::uint32_t type = kDriveNoRootDir;
    bool hasMedia = false;
    std::uint32_t fileSystemFlags = 0;
    FileSystem fileSystem = FileSystem::ntfs;
    std::optional<Path> substOf;  // the folder a subst drive names
  };
  // One file on a volume, whatever names it has: each hard link is an entry that shares it.
  struct FileData {
    std::string bytes;
    std::uint32_t attributes = 0;
    std::optional<ProgramKind> program;  // none: no program
  };
  // A name on a volume: a folder, a file, a symbolic link to another path, or a junction (a folder
  // with a link target).
  struct Entry {
    std::string path;  // full path with the case it was created with
    bool directory = false;
    std::shared_ptr<FileData> data;  // a file's content and attributes
    std::optional<Path> linkTarget;  // a symbolic link or junction: the full path it points to
    bool linkShowsReparse = true;    // GetFileAttributesA shows the link as a reparse point

    static Entry folder(std::string path) { return Entry{std::move(path), true, {}, {}, true}; }
    static Entry file(std::string path, std::string bytes, std::uint32_t attributes);
    bool isFile() const { return data != nullptr; }
    bool isLink() const { return linkTarget.has_value(); }
  };
  enum class Kind { file, folder, search, process, thread };
  struct Handle {
    Kind kind = Kind::file;
    // A file's or folder's key (of the name behind any link), a search's pattern, or a process's
    // image.
    std::string target;
    std::uint32_t access = 0;
    std::uint32_t share = 0;
    std::uint64_t position = 0;
    std::optional<ProgramKind> program;  // a process's program
    std::shared_ptr<FileData> data;      // the open file
    std::vector<std::string> matches;    // a search's names still to give
  };
  // A library file, by the key of its path.
  struct Library {
    std::string path;  // as it was added
    int firstLoadingAttempt = 0;
    int attempts = 0;
    int frees = 0;
    int references = 0;
    ModuleHandle module = 0;
  };

  std::array<Drive, 26> drives{};
  std::map<std::string, Entry> entries;  // files and folders by key; roots are implicit
  // Short (8.3) names: the key of the short name's path -> the long name of its last component,
  // and the key of the long path -> its short name.
  std::map<std::string, std::string> longNames;
  std::map<std::string, std::string> shortNames;
  Path currentDirectory{"C:\\", {}, false};
  std::string moduleFileName = "C:\\ZRK_START.exe";
  std::vector<std::string> searchPath;
  std::map<OsHandle, Handle> handles;
  OsHandle nextHandle = 0x100;
  std::map<std::string, std::string> heldOpen;  // key -> path, held by another program
  bool hasFinalPathName = true;                 // GetFinalPathNameByHandleA exists (Vista on)
  std::map<std::string, Library> libraries;     // by the key of the file's path
  bool hasLibrarySearchFlags = true;            // LOAD_LIBRARY_SEARCH_* (Windows 8 on)
  ModuleHandle nextModule = 0x10000000;
  std::uint32_t nextProcessId = 0x1000;
  std::uint32_t errorMode = 0;
  std::uint32_t lastError = simulated::kErrorSuccess;
  simulated::CodePage cp;
  std::uint32_t nextTempNumber = 1;  // where GetTempFileNameA starts looking for a free name
  std::vector<std::string> prompts;  // the "insert a disk" prompts the player got
  simulated::Faults faults;

  // --- Errors: lastError set, and the failure result of each kind of call

  bool fail(std::uint32_t error) {
    lastError = error;
    return false;
  }
  ModuleHandle failModule(std::uint32_t error) {
    lastError = error;
    return 0;
  }
  OsHandle failHandle(std::uint32_t error) {
    lastError = error;
    return kInvalidHandle;
  }
  std::optional<Path> failPath(std::uint32_t error) {
    lastError = error;
    return std::nullopt;
  }
  std::uint32_t failAttributes(std::uint32_t error) {
    lastError = error;
    return kInvalidAttributes;
  }

  // --- Paths and entries

  // A name a call was given, resolved against the current directory, short names written long.
  // Nullopt for a name holding kUnspellable, a control character that Windows takes in no name.
  std::optional<Path> resolve(const char* name) const;
  // The same, with the components spelled as given, short names kept: Windows works on the text
  // here (GetFullPathNameA, the current directory that SetCurrentDirectoryA keeps).
  std::optional<Path> given(const char* name) const;
  // A path in the kept form (a seeding or observing call's, the launcher's own path), resolved
  // the same way.
  std::optional<Path> resolveKept(const std::string& text) const;
  // `path` with every component that is the short name of an existing one written as that one,
  // and every subst drive and junction on the way replaced by the folder it names.
  Path longForm(Path path) const;
  // A path given to a seeding call: it must resolve; `what` names the call for the message.
  Path seedPath(const std::string& text, const char* what) const;
  Entry* find(const Path& path);
  const Entry* find(const Path& path) const;
  bool isDirectory(const Path& path) const;
  // The full path of `path` with the case on disk for every existing folder above it.
  std::string displayPath(const Path& path) const;
  // Seeding: every folder from the root down to `path` itself, created where missing.
  void makeDirectories(const Path& path, const char* what);

  // The name that `path` leads to through symbolic links; `path` itself when it names no link.
  // Nullopt for a loop (Windows gives up after 63 links).
  std::optional<Path> followLinks(Path path) const;
  // The file a reader of `text` (a seeding or observing call's path) reaches, through any links;
  // null when there is none.
  const FileData* fileAt(const std::string& text) const;
  // How many names the file `data` has.
  int namesOf(const FileData* data) const;
  // GetFileAttributesA of an entry: a folder's, a file's, or a link's own (the reparse point
  // Windows shows; Wine shows the target's attributes instead).
  std::uint32_t ownAttributes(const Entry& entry) const;

  // --- Volumes

  // Why the volume of `path` cannot be used: no such drive or share, or no media.
  std::uint32_t volumeError(const Path& path) const;
  // Why `path` cannot be reached: an unusable volume, or a missing folder on the way.
  std::uint32_t reachError(const Path& path) const;
  // reachError of a call that goes to the disk: a drive without media first asks the player for
  // a disk, unless the error mode says to fail at once.
  std::uint32_t reach(const Path& path);
  void goToVolume(const Path& path);

  // --- Room on the disks

  // Takes room for a file growing by `growth` bytes; false, taking none, when it does not fit.
  bool takeRoom(std::uint64_t growth);
  void giveRoom(std::uint64_t bytes);
  // A name about to go: the room of its file comes back when it was the file's last name.
  void dropName(const Entry& entry);

  // --- Handles and sharing

  OsHandle newHandle(Handle handle);
  Handle* findHandle(OsHandle value, Kind kind);
  // The path a file handle refers to, for the log.
  std::string handlePath(const Handle& handle) const;
  // Whether another program holds the file `data` open, through any of its names.
  bool isHeld(const FileData* data) const;
  // Whether the file of `entry` is open, here or in another program. A folder or a link is not.
  bool isOpen(const Entry* entry) const;
  // Whether an open with `access` and `share` collides with the handles already open on the file
  // `data`, through whatever name: sharing belongs to the file, not to a name.
  bool sharingConflict(const FileData* data, std::uint32_t access, std::uint32_t share) const;
  // Whether MoveFileExA may replace the name of `entry`: not a folder, a read-only file, or one
  // that is open.
  bool replaceable(const Entry& entry) const;

  // --- Opening files

  // Why CreateFileA refuses `request` on `path`, whose existing entry is `entry` (null when
  // there is none), or 0: the checks in the order Windows makes them (a folder, the disposition,
  // the attributes, the sharing), then the injected faults.
  std::uint32_t openRefusal(const Path& path, const Entry* entry, const OpenRequest& request);
  // An existing file opened by `request`: emptied by CREATE_ALWAYS, which reports
  // ERROR_ALREADY_EXISTS.
  void reopen(FileData& file, const OpenRequest& request);
  // CreateFileA without the log: the name resolved and followed through links, the checks in the
  // order Windows makes them, then the file created or opened as `request` says.
  OsHandle open(const char* name, const OpenRequest& request);

  // --- Processes and libraries

  // The existing file or folder CreateProcessA would try to run, or nullopt with lastError set.
  // Without an application name the program comes from the command line: ".exe" added to a bare
  // name without an extension, then searched in the launcher's folder, the current directory, the
  // system folders and PATH; a name with a folder in it is only resolved. The search stops at the
  // first entry of that name, even one that is no program or a folder: that one is then tried, and
  // fails.
  std::optional<Path> findImage(const char* application, const char* commandLine);
  std::optional<Path> existingFile(const char* name);
  std::vector<Path> searchFolders() const;
  // The system folders, in the order every search takes them: C:\Windows\System32, then the
  // 16-bit C:\Windows\System, then C:\Windows.
  std::vector<Path> systemFolders() const;
  // LoadLibraryExA (LoadLibraryA with `flags` 0) without the log: a name with a folder loads that
  // file alone; a bare name is first looked for among the libraries loaded (by file name), then
  // searched for where `flags` say (none: the launcher's folder, the system folders, the current
  // directory, PATH). The search stops at the first file of that name, whether it loads or not.
  ModuleHandle loadLibrary(std::string name, std::uint32_t flags);
  // The folders where a library named without a folder is searched for, in order, by `flags`.
  std::vector<Path> libraryFolders(std::uint32_t flags) const;
  // Loads the library file at `path` (the search found it): its module, or 0.
  ModuleHandle loadLibraryFile(const Path& path);
  Library* libraryOf(ModuleHandle module);

  static bool readsData(std::uint32_t access) { return access & kGenericRead; }
  static bool writesData(std::uint32_t access) { return access & kGenericWrite; }

  // --- Power cuts (SimulatedPowerCut.cpp): while a recording runs, each call notes the changes
  // it made to the disks, after making them.
  struct Recording;
  std::shared_ptr<Recording> recording;
  void noteCreated(const Path& path);
  void noteRemoved(const std::string& key);
  void noteRenamed(const Path& from, const Path& to, bool replaced);
  void noteResized(const FileData* file);
  void noteWritten(const FileData* file, std::uint64_t from, std::uint64_t to);
  void noteFlushed(const FileData* file);
};
