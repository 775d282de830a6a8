// The simulated Windows: one State holds the machine; the Platform methods log their call, then
// follow the same checks in the same order as the real calls do.
#include "platform/simulated/SimulatedWindows.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace {

// Error codes answered here beyond those that Platform.h names.
constexpr std::uint32_t kErrorSuccess = 0;
constexpr std::uint32_t kErrorNotSameDevice = 17;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorBufferOverflow = 111;
constexpr std::uint32_t kErrorInsufficientBuffer = 122;
constexpr std::uint32_t kErrorModNotFound = 126;
constexpr std::uint32_t kErrorCantResolveFilename = 1921;

constexpr std::uint32_t kCreateNew = 1;
constexpr std::uint32_t kOpenAlways = 4;
constexpr std::uint32_t kTruncateExisting = 5;
constexpr std::uint32_t kGenericAll = 0x10000000u;
constexpr std::uint32_t kFileShareRead = 0x1;
constexpr std::uint32_t kFileShareWrite = 0x2;
constexpr int kIdOk = 1;
// The attribute bits a file keeps; FILE_ATTRIBUTE_NORMAL only ever stands alone.
constexpr std::uint32_t kKeptAttributes =
    kAttributeReadOnly | kAttributeHidden | kAttributeSystem | kAttributeArchive;
// Attributes that CREATE_ALWAYS refuses to drop from an existing file.
constexpr std::uint32_t kHiddenOrSystem = kAttributeHidden | kAttributeSystem;

// --- Byte strings in the ANSI code page ---------------------------------------------------------

bool isSeparator(char c) {
  return c == '\\' || c == '/';
}

bool isAsciiLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

char upperAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// The system's ANSI code page, the one of every path: 932 (Japanese), whose double-byte characters
// start with a lead byte, or 1252 (Western), one byte a character.
struct CodePage {
  std::uint32_t id = 932;

  // IsDBCSLeadByte.
  bool isLead(char c) const {
    const auto byte = static_cast<unsigned char>(c);
    return id == 932 && ((byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC));
  }
  // CharUpperA of a single-byte character: ASCII letters, and in 1252 the accented ones too.
  char upper(char c) const {
    const auto byte = static_cast<unsigned char>(c);
    if (id == 1252) {
      if ((byte >= 0xE0 && byte <= 0xFE && byte != 0xF7)) return static_cast<char>(byte - 0x20);
      if (byte == 0x9A || byte == 0x9C || byte == 0x9E) return static_cast<char>(byte - 0x10);
      if (byte == 0xFF) return static_cast<char>(0x9F);
    }
    return upperAscii(c);
  }
};

// Width in bytes of the character at `i`: 2 for a lead byte with its trail byte, else 1. A trail
// byte may be 0x5C, which is then no backslash.
std::size_t charWidth(CodePage cp, const std::string& text, std::size_t i) {
  return cp.isLead(text[i]) && i + 1 < text.size() ? 2 : 1;
}

// Index of the first separator at or after `from` (a character boundary), or text.size().
std::size_t nextSeparator(CodePage cp, const std::string& text, std::size_t from) {
  for (std::size_t i = from; i < text.size(); i += charWidth(cp, text, i)) {
    if (isSeparator(text[i])) return i;
  }
  return text.size();
}

// Index just past the last separator, or 0.
std::size_t fileNameOffset(CodePage cp, const std::string& text) {
  std::size_t offset = 0;
  for (std::size_t i = 0; i < text.size(); i += charWidth(cp, text, i)) {
    if (isSeparator(text[i])) offset = i + 1;
  }
  return offset;
}

bool endsWithSeparator(CodePage cp, const std::string& text) {
  return !text.empty() && fileNameOffset(cp, text) == text.size();
}

// The non-empty components between separators.
std::vector<std::string> splitComponents(CodePage cp, const std::string& text) {
  std::vector<std::string> parts;
  for (std::size_t begin = 0; begin < text.size();) {
    const std::size_t end = nextSeparator(cp, text, begin);
    if (end > begin) parts.push_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
  return parts;
}

// Letters upper-cased as the file system compares names, trail bytes of double-byte characters
// left alone.
std::string folded(CodePage cp, std::string text) {
  for (std::size_t i = 0; i < text.size(); i += charWidth(cp, text, i)) text[i] = cp.upper(text[i]);
  return text;
}

std::string hex(std::uint64_t value) {
  std::ostringstream out;
  out << "0x" << std::hex << std::uppercase << value;
  return out.str();
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Copies `text` with its terminator into a buffer of `size` bytes as the *A calls do: the length
// copied, or the size needed (terminator included) when it does not fit.
std::uint32_t copyOut(const std::string& text, std::uint32_t size, char* buffer) {
  if (text.size() + 1 > size) return static_cast<std::uint32_t>(text.size() + 1);
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return static_cast<std::uint32_t>(text.size());
}

// --- Paths ---------------------------------------------------------------------------------------

// A full path: a root, the components below it, and whether it was written with a final
// backslash.
struct Path {
  std::string root;  // "C:\" or "\\server\share"
  std::vector<std::string> parts;
  bool trailing = false;

  bool onDrive() const { return root.size() == 3 && root[1] == ':'; }
  int driveIndex() const { return upperAscii(root[0]) - 'A'; }
  bool isRoot() const { return parts.empty(); }

  std::string text() const {
    std::string s = root;
    for (std::size_t i = 0; i < parts.size(); ++i) {
      if (i > 0 || !onDrive()) s += '\\';
      s += parts[i];
    }
    if (trailing && !(onDrive() && parts.empty())) s += '\\';
    return s;
  }
  // Identity of the file or folder: case folded, no final backslash.
  std::string key(CodePage cp) const {
    Path bare = *this;
    bare.trailing = false;
    return folded(cp, bare.text());
  }
  std::string volumeKey(CodePage cp) const { return folded(cp, root); }
  Path parent() const {
    Path p{root, parts, false};
    if (!p.parts.empty()) p.parts.pop_back();
    return p;
  }
  Path child(const std::string& name) const {
    Path p{root, parts, false};
    p.parts.push_back(name);
    return p;
  }
  // The root as the volume calls take it: "C:\" or "\\server\share\".
  Path rootPath() const { return Path{root, {}, false}; }
  std::string rootText() const { return Path{root, {}, true}.text(); }
};

// A drive root keeps the case its letter was written with, as GetFullPathNameA keeps it.
std::string driveRoot(char letter) {
  return std::string{letter, ':', '\\'};
}

// "." and ".." applied (never above the root); a single period ending a component is dropped.
void appendComponent(Path& path, std::string part) {
  if (part == ".") return;
  if (part == "..") {
    if (!path.parts.empty()) path.parts.pop_back();
    return;
  }
  if (part.size() >= 2 && part.back() == '.' && part[part.size() - 2] != '.') part.pop_back();
  path.parts.push_back(part);
}

// The last component loses its trailing periods and spaces (unless written with a backslash).
void trimLastComponent(Path& path) {
  if (path.trailing || path.parts.empty()) return;
  std::string& last = path.parts.back();
  while (!last.empty() && (last.back() == '.' || last.back() == ' ')) last.pop_back();
  if (last.empty()) {
    path.parts.pop_back();
    path.trailing = true;
  }
}

// Splits "\\server\share\rest" into its root and the rest (which keeps its leading separator).
bool splitUnc(CodePage cp, const std::string& name, Path& base, std::string& rest) {
  const std::size_t serverEnd = nextSeparator(cp, name, 2);
  if (serverEnd == 2) return false;
  base.root = "\\\\" + name.substr(2, serverEnd - 2);
  std::size_t shareEnd = serverEnd;
  if (serverEnd < name.size()) {
    shareEnd = nextSeparator(cp, name, serverEnd + 1);
    if (shareEnd > serverEnd + 1)
      base.root += "\\" + name.substr(serverEnd + 1, shareEnd - serverEnd - 1);
  }
  rest = name.substr(std::min(shareEnd, name.size()));
  return true;
}

// GetFullPathNameA's resolution against the current directory `cwd`: absolute "X:\..." names,
// drive-relative "X:name" (against `cwd` on its own drive, the root elsewhere), rooted "\name",
// relative names, and UNC "\\server\share\..."; repeated separators collapse. Nothing on disk is
// consulted. Nullopt for an empty or unusable name.
std::optional<Path> resolvePath(CodePage cp, const std::string& name, const Path& cwd) {
  if (name.empty()) return std::nullopt;
  Path base;
  std::string rest;
  if (name.size() >= 2 && isSeparator(name[0]) && isSeparator(name[1])) {
    if (!splitUnc(cp, name, base, rest)) return std::nullopt;
  } else if (name.size() >= 2 && isAsciiLetter(name[0]) && name[1] == ':') {
    const bool absolute = name.size() >= 3 && isSeparator(name[2]);
    const bool onCwdDrive = cwd.onDrive() && upperAscii(cwd.root[0]) == upperAscii(name[0]);
    base = !absolute && onCwdDrive ? cwd : Path{driveRoot(name[0]), {}, false};
    rest = name.substr(2);
  } else if (isSeparator(name[0])) {
    base.root = cwd.root;
    rest = name;
  } else {
    base = cwd;
    rest = name;
  }
  for (const std::string& part : splitComponents(cp, rest)) appendComponent(base, part);
  base.trailing = endsWithSeparator(cp, name);
  trimLastComponent(base);
  return base;
}

// A drive or share root as GetDriveTypeA and GetVolumeInformationA take it: "X:\", "X:", or
// "\\server\share\".
std::optional<Path> parseRoot(CodePage cp, const std::string& text, const Path& cwd) {
  if (text.size() == 2 && isAsciiLetter(text[0]) && text[1] == ':')
    return Path{driveRoot(text[0]), {}, false};
  if (!endsWithSeparator(cp, text)) return std::nullopt;
  std::optional<Path> path = resolvePath(cp, text, cwd);
  if (!path || !path->isRoot()) return std::nullopt;
  const bool absolute = path->onDrive() ? text.size() == 3 : startsWith(text, "\\\\");
  if (!absolute) return std::nullopt;
  return path;
}

// The program name at the start of a command line: quoted, or up to the first blank.
std::string programName(const std::string& commandLine) {
  if (!commandLine.empty() && commandLine[0] == '"') {
    const std::size_t end = commandLine.find('"', 1);
    return commandLine.substr(1, end == std::string::npos ? std::string::npos : end - 1);
  }
  return commandLine.substr(0, commandLine.find_first_of(" \t"));
}

// What a CreateFileA call asks for.
struct OpenRequest {
  std::uint32_t access;
  std::uint32_t share;
  std::uint32_t disposition;
  std::uint32_t attributes;
};

}  // namespace

// --- The machine ---------------------------------------------------------------------------------

struct SimulatedWindows::State {
  struct Drive {
    bool present = false;
    std::uint32_t type = kDriveNoRootDir;
    bool hasMedia = false;
    std::uint32_t fileSystemFlags = 0;
  };
  // Program::none: a file that is no program; the others as ProgramKind.
  enum class Program { none, gui, console, neverIdle, broken };
  // One file on a volume, whatever names it has: each hard link is an entry that shares it.
  struct FileData {
    std::string bytes;
    std::uint32_t attributes = 0;
    Program program = Program::none;
  };
  // A name on a volume: a folder, a file, or a symbolic link to another path.
  struct Entry {
    std::string path;  // full path with the case it was created with
    bool directory = false;
    std::shared_ptr<FileData> data;  // a file's content and attributes
    std::optional<Path> linkTarget;  // a symbolic link: the full path it points to
    bool linkShowsReparse = true;    // GetFileAttributesA shows the link as a reparse point

    static Entry folder(std::string path) { return Entry{std::move(path), true, {}, {}, true}; }
    static Entry file(std::string path, std::string bytes, std::uint32_t attributes) {
      auto data = std::make_shared<FileData>(
          FileData{std::move(bytes), attributes & kKeptAttributes, Program::none});
      return Entry{std::move(path), false, std::move(data), {}, true};
    }
    bool isFile() const { return data != nullptr; }
    bool isLink() const { return linkTarget.has_value(); }
  };
  enum class Kind { file, process, thread };
  struct Handle {
    Kind kind = Kind::file;
    std::string target;  // a file's key (of the name behind any link), or a process's image
    std::uint32_t access = 0;
    std::uint32_t share = 0;
    std::uint64_t position = 0;
    Program program = Program::none;  // a process's program
    std::shared_ptr<FileData> data;   // the open file
  };
  struct Library {
    std::string name;
    int firstLoadingAttempt = 0;
    int attempts = 0;
    int frees = 0;
    int references = 0;
    ModuleHandle module = 0;
  };

  std::array<Drive, 26> drives{};
  std::map<std::string, Entry> entries;  // files and folders by key; roots are implicit
  Path currentDirectory{"C:\\", {}, false};
  std::string moduleFileName = "C:\\ZRK_START.exe";
  std::vector<std::string> searchPath;
  std::map<OsHandle, Handle> handles;
  OsHandle nextHandle = 0x100;
  std::map<std::string, std::string> heldOpen;  // key -> path, held by another program
  bool hasFinalPathName = true;                 // GetFinalPathNameByHandleA exists (Vista on)
  std::map<std::string, Library> libraries;     // by folded name
  ModuleHandle nextModule = 0x10000000;
  std::uint32_t nextProcessId = 0x1000;
  std::uint32_t errorMode = 0;
  std::uint32_t lastError = kErrorSuccess;

  CodePage cp;
  std::uint32_t nextTempNumber = 1;  // where GetTempFileNameA starts looking for a free name

  struct ReplaceFault {
    std::uint32_t error;
    int times;  // -1: for good
  };
  std::optional<std::uint64_t> freeSpace;             // room on the disks, when limited
  std::optional<std::uint64_t> writeRoom;             // bytes still taken by writes, when limited
  std::map<std::string, std::uint64_t> readFaultsAt;  // key -> offset
  std::set<std::string> closeFaults;                  // keys
  std::map<std::string, ReplaceFault> replaceFaults;  // keys
  std::set<std::string> closedFolders;                // keys of folders that take no new files
  std::map<std::string, int> heldForOpens;            // key -> opens still refused
  std::uint32_t flushError = kErrorSuccess;  // FlushFileBuffers fails with it on every handle
  std::optional<std::size_t> failingCall;    // the call (its index in the log) that fails
  std::uint32_t failingCallError = kErrorSuccess;
  bool changeDirectoryFails = false;
  std::vector<std::string> prompts;  // the "insert a disk" prompts the player got

  // --- Errors

  bool fail(std::uint32_t error) {
    lastError = error;
    return false;
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

  std::optional<Path> resolve(const char* name) const {
    if (name == nullptr) return std::nullopt;
    return resolvePath(cp, name, currentDirectory);
  }
  // A path given to a seeding call: it must resolve; `what` names the call for the message.
  Path seedPath(const std::string& text, const char* what) const {
    const std::optional<Path> path = resolvePath(cp, text, currentDirectory);
    if (!path) throw std::invalid_argument(std::string(what) + ": unusable path \"" + text + "\"");
    return *path;
  }

  Entry* find(const Path& path) {
    const auto it = entries.find(path.key(cp));
    return it == entries.end() ? nullptr : &it->second;
  }
  const Entry* find(const Path& path) const {
    const auto it = entries.find(path.key(cp));
    return it == entries.end() ? nullptr : &it->second;
  }
  bool isDirectory(const Path& path) const {
    if (path.isRoot()) return volumeError(path) == kErrorSuccess;
    const Entry* entry = find(path);
    return entry != nullptr && entry->directory;
  }

  // Why the volume of `path` cannot be used: no such drive or share, or no media.
  std::uint32_t volumeError(const Path& path) const {
    if (!path.onDrive()) {
      return entries.count(path.rootPath().key(cp)) ? kErrorSuccess : kErrorBadNetPath;
    }
    const Drive& drive = drives[path.driveIndex()];
    if (!drive.present) return kErrorPathNotFound;
    return drive.hasMedia ? kErrorSuccess : kErrorNotReady;
  }
  // Why `path` cannot be reached: an unusable volume, or a missing folder on the way.
  std::uint32_t reachError(const Path& path) const {
    if (const std::uint32_t error = volumeError(path)) return error;
    if (path.parts.size() > 1 && !isDirectory(path.parent())) return kErrorPathNotFound;
    return kErrorSuccess;
  }
  // A call that goes to the volume of `path`: a drive without media first asks the player for a
  // disk, unless the error mode says to fail at once.
  void goToVolume(const Path& path) {
    if (volumeError(path) == kErrorNotReady && (errorMode & kSemFailCriticalErrors) == 0) {
      prompts.push_back("There is no disk in the drive. Please insert a disk into drive " +
                        path.root);
    }
  }
  // reachError of a call that goes to the disk.
  std::uint32_t reach(const Path& path) {
    goToVolume(path);
    return reachError(path);
  }
  // Whether `path` lies in a folder that takes no new files.
  bool inClosedFolder(const Path& path) const {
    return !path.isRoot() && closedFolders.count(path.parent().key(cp)) != 0;
  }

  // --- Room on the disks

  // Takes room for a file growing by `growth` bytes; false, taking none, when it does not fit.
  bool takeRoom(std::uint64_t growth) {
    if (!freeSpace) return true;
    if (growth > *freeSpace) return false;
    *freeSpace -= growth;
    return true;
  }
  void giveRoom(std::uint64_t bytes) {
    if (freeSpace) *freeSpace += bytes;
  }
  // Whether MoveFileExA may replace the name of `entry`: not a folder, a read-only file, or one
  // that is open.
  bool replaceable(const Entry& entry) const {
    return !entry.directory && (ownAttributes(entry) & kAttributeReadOnly) == 0 && !isOpen(&entry);
  }
  // A name about to go: the room of its file comes back when it was the file's last name.
  void dropName(const Entry& entry) {
    if (entry.isFile() && namesOf(entry.data.get()) == 1) giveRoom(entry.data->bytes.size());
  }

  // The full path of `path` with the case on disk for every existing folder above it.
  std::string displayPath(const Path& path) const {
    if (path.isRoot()) {
      const Entry* share = path.onDrive() ? nullptr : find(path);
      return share ? share->path : folded(cp, path.rootPath().text());
    }
    const Path parent = path.parent();
    std::string text = displayPath(parent);
    if (!endsWithSeparator(cp, text)) text += '\\';
    return text + path.parts.back();
  }

  // Seeding: every folder from the root down to `path` itself, created where missing.
  void makeDirectories(const Path& path, const char* what) {
    if (path.onDrive() && !drives[path.driveIndex()].present) {
      throw std::invalid_argument(std::string(what) + ": no drive " + path.root);
    }
    if (!path.onDrive() && !find(path.rootPath())) {
      entries[path.rootPath().key(cp)] = Entry::folder(path.root);
    }
    Path step{path.root, {}, false};
    for (const std::string& part : path.parts) {
      step.parts.push_back(part);
      Entry& entry = entries[step.key(cp)];
      if (entry.path.empty()) entry = Entry::folder(displayPath(step));
      if (!entry.directory) {
        throw std::invalid_argument(std::string(what) + ": a file is in the way at " + entry.path);
      }
    }
  }

  // --- Handles

  OsHandle newHandle(Handle handle) {
    const OsHandle value = nextHandle;
    nextHandle += 4;
    handles[value] = std::move(handle);
    return value;
  }
  Handle* findHandle(OsHandle value, Kind kind) {
    const auto it = handles.find(value);
    return it != handles.end() && it->second.kind == kind ? &it->second : nullptr;
  }
  // Whether another program holds the file `data` open, through any of its names.
  bool isHeld(const FileData* data) const {
    return std::any_of(heldOpen.begin(), heldOpen.end(), [&](const auto& held) {
      const auto it = entries.find(held.first);
      return it != entries.end() && it->second.data.get() == data;
    });
  }
  // Whether the file of `entry` is open, here or in another program. A folder or a link is not.
  bool isOpen(const Entry* entry) const {
    if (entry == nullptr || !entry->isFile()) return false;
    if (isHeld(entry->data.get())) return true;
    return std::any_of(handles.begin(), handles.end(), [&](const auto& h) {
      return h.second.kind == Kind::file && h.second.data == entry->data;
    });
  }
  // Whether an open with `access` and `share` collides with the handles already open on the file
  // `data`, through whatever name: sharing belongs to the file, not to a name.
  bool sharingConflict(const FileData* data, std::uint32_t access, std::uint32_t share) const {
    if (isHeld(data)) return true;
    return std::any_of(handles.begin(), handles.end(), [&](const auto& entry) {
      const Handle& h = entry.second;
      return h.kind == Kind::file && h.data.get() == data &&
             ((readsData(access) && !(h.share & kFileShareRead)) ||
              (writesData(access) && !(h.share & kFileShareWrite)) ||
              (readsData(h.access) && !(share & kFileShareRead)) ||
              (writesData(h.access) && !(share & kFileShareWrite)));
    });
  }
  static bool readsData(std::uint32_t access) { return access & (kGenericRead | kGenericAll); }
  static bool writesData(std::uint32_t access) { return access & (kGenericWrite | kGenericAll); }

  // Why CreateFileA refuses `request` on `path`, whose existing entry is `entry` (null when
  // there is none), or 0. The checks come in the order Windows makes them: disposition, then
  // attributes, then sharing.
  std::uint32_t openRefusal(const Path& path, const Entry* entry,
                            const OpenRequest& request) const {
    if (entry != nullptr && entry->directory) return kErrorAccessDenied;
    const bool exists = entry != nullptr;
    const std::uint32_t kept = exists ? entry->data->attributes : 0;
    switch (request.disposition) {
      case kCreateNew:
        if (exists) return kErrorFileExists;
        break;
      case kCreateAlways:
        // Replacing a file may not drop its read-only, hidden or system attribute.
        if ((kept & kAttributeReadOnly) || (kept & kHiddenOrSystem & ~request.attributes)) {
          return kErrorAccessDenied;
        }
        break;
      case kOpenExisting:
      case kTruncateExisting:
        if (!exists) return kErrorFileNotFound;
        break;
      case kOpenAlways:
        break;
      default:
        return kErrorInvalidParameter;
    }
    if (!exists && inClosedFolder(path)) return kErrorAccessDenied;
    if ((kept & kAttributeReadOnly) && writesData(request.access)) return kErrorAccessDenied;
    if (exists && sharingConflict(entry->data.get(), request.access, request.share)) {
      return kErrorSharingViolation;
    }
    return kErrorSuccess;
  }
  // An existing file opened by `request`: emptied by CREATE_ALWAYS and TRUNCATE_EXISTING, and
  // ERROR_ALREADY_EXISTS reported where Windows reports it.
  void reopen(FileData& file, const OpenRequest& request) {
    const std::uint32_t disposition = request.disposition;
    if (disposition == kCreateAlways || disposition == kTruncateExisting) {
      giveRoom(file.bytes.size());
      file.bytes.clear();
      file.program = Program::none;
    }
    if (disposition == kCreateAlways) {
      file.attributes = (request.attributes & kKeptAttributes) | kAttributeArchive;
    }
    if (disposition == kCreateAlways || disposition == kOpenAlways) lastError = kErrorAlreadyExists;
  }

  // CreateFileA without the log: the checks in the order Windows makes them, then the file
  // created or opened as `request` says.
  OsHandle open(const char* name, const OpenRequest& request) {
    const std::optional<Path> named = resolve(name);
    if (!named) return failHandle(kErrorPathNotFound);
    if (const std::uint32_t error = reach(*named)) return failHandle(error);
    if (named->isRoot()) return failHandle(kErrorAccessDenied);
    if (named->trailing) return failHandle(kErrorInvalidName);
    // A symbolic link is followed to the name it points to, which is then opened as any other.
    const std::optional<Path> path = followLinks(*named);
    if (!path) return failHandle(kErrorCantResolveFilename);
    if (const std::uint32_t error = reach(*path)) return failHandle(error);
    const std::string key = path->key(cp);
    Entry* entry = find(*path);
    if (const std::uint32_t error = openRefusal(*path, entry, request)) return failHandle(error);
    if (entry != nullptr && heldForAMoment(key)) return failHandle(kErrorSharingViolation);

    lastError = kErrorSuccess;
    if (entry == nullptr) {
      entry = &entries[key];
      *entry = Entry::file(displayPath(*path), {}, request.attributes | kAttributeArchive);
    } else {
      reopen(*entry->data, request);
    }
    return newHandle(
        Handle{Kind::file, key, request.access, request.share, 0, Program::none, entry->data});
  }

  // The name that `path` leads to through symbolic links; `path` itself when it names no link.
  // Nullopt for a loop (Windows gives up after 63 links).
  std::optional<Path> followLinks(Path path) const {
    for (int hops = 0; hops <= 63; ++hops) {
      const Entry* entry = path.isRoot() ? nullptr : find(path);
      if (entry == nullptr || !entry->isLink()) return path;
      path = *entry->linkTarget;
    }
    return std::nullopt;
  }
  // The file a reader of `path` (a seeding or observing call's path) reaches, through any links;
  // null when there is none.
  const FileData* fileAt(const std::string& text) const {
    std::optional<Path> path = resolvePath(cp, text, currentDirectory);
    if (path) path = followLinks(*path);
    const Entry* entry = path && !path->isRoot() ? find(*path) : nullptr;
    return entry != nullptr && entry->isFile() ? entry->data.get() : nullptr;
  }
  // How many names the file `data` has.
  int namesOf(const FileData* data) const {
    return static_cast<int>(std::count_if(entries.begin(), entries.end(), [&](const auto& entry) {
      return entry.second.data.get() == data;
    }));
  }
  // GetFileAttributesA of an entry: a folder's, a file's, or a link's own (the reparse point
  // Windows shows; Wine shows the target's attributes instead).
  std::uint32_t ownAttributes(const Entry& entry) const {
    const Entry* shown = &entry;
    if (entry.isLink()) {
      if (entry.linkShowsReparse) return kAttributeReparsePoint | kAttributeArchive;
      const std::optional<Path> target = followLinks(*entry.linkTarget);
      shown = target ? find(*target) : nullptr;
      if (shown == nullptr) return kInvalidAttributes;
    }
    if (shown->directory) return kAttributeDirectory;
    return shown->data->attributes != 0 ? shown->data->attributes : kAttributeNormal;
  }

  // Whether another program holds the file of `key` for a moment (holdOpenFor): this call is
  // one of those it refuses.
  bool heldForAMoment(const std::string& key) {
    const auto held = heldForOpens.find(key);
    if (held == heldForOpens.end() || held->second <= 0) return false;
    --held->second;
    return true;
  }

  // The path a file handle refers to, for the log.
  std::string handlePath(const Handle& handle) const {
    const auto it = entries.find(handle.target);
    return it == entries.end() ? handle.target : it->second.path;
  }

  // --- Processes

  // The existing file or folder CreateProcessA would try to run, or nullopt with lastError set.
  // Without an application name the program comes from the command line: ".exe" added to a bare
  // name without an extension, then searched in the launcher's folder, the current directory and
  // the search path; a name with a folder in it is only resolved. The search stops at the first
  // entry of that name, even one that is no program or a folder: that one is then tried, and
  // fails.
  std::optional<Path> findImage(const char* application, const char* commandLine) {
    if (application != nullptr) return existingFile(application);
    const std::string name = programName(commandLine ? commandLine : "");
    if (name.empty()) return failPath(kErrorInvalidParameter);
    if (name.find_first_of("\\/:") != std::string::npos) return existingFile(name.c_str());
    const std::string file = name.find('.') == std::string::npos ? name + ".exe" : name;
    for (const Path& folder : searchFolders()) {
      const Path candidate = folder.child(file);
      if (reachError(candidate) == kErrorSuccess && find(candidate) != nullptr) return candidate;
    }
    return failPath(kErrorFileNotFound);
  }
  std::optional<Path> existingFile(const char* name) {
    std::optional<Path> path = resolve(name);
    if (!path) return failPath(kErrorInvalidName);
    if (const std::uint32_t error = reachError(*path)) return failPath(error);
    if (find(*path) == nullptr) return failPath(kErrorFileNotFound);
    return path;
  }
  std::vector<Path> searchFolders() const {
    std::vector<Path> folders;
    if (const std::optional<Path> module = resolvePath(cp, moduleFileName, currentDirectory)) {
      folders.push_back(module->parent());
    }
    folders.push_back(currentDirectory);
    for (const std::string& folder : searchPath) {
      if (const std::optional<Path> path = resolvePath(cp, folder, currentDirectory)) {
        folders.push_back(*path);
      }
    }
    return folders;
  }

  Library& library(const std::string& name) {
    Library& lib = libraries[folded(cp, name)];
    if (lib.name.empty()) lib.name = name;
    return lib;
  }
  Library* libraryOf(ModuleHandle module) {
    for (auto& [key, lib] : libraries) {
      if (module != 0 && lib.module == module) return &lib;
    }
    return nullptr;
  }
};

SimulatedWindows::SimulatedWindows() : state_(std::make_unique<State>()) {
  addDrive('C', kDriveFixed);
}

SimulatedWindows::~SimulatedWindows() = default;

// --- Seeding -------------------------------------------------------------------------------------

void SimulatedWindows::addDrive(char letter, std::uint32_t type, bool hasMedia,
                                std::uint32_t fileSystemFlags) {
  if (!isAsciiLetter(letter)) throw std::invalid_argument("addDrive: no drive letter");
  state_->drives[upperAscii(letter) - 'A'] = State::Drive{true, type, hasMedia, fileSystemFlags};
}

void SimulatedWindows::addDirectory(const std::string& path) {
  state_->makeDirectories(state_->seedPath(path, "addDirectory"), "addDirectory");
}

void SimulatedWindows::addFile(const std::string& path, const std::string& bytes,
                               std::uint32_t attributes) {
  State& s = *state_;
  const Path file = s.seedPath(path, "addFile");
  if (file.isRoot() || file.trailing) throw std::invalid_argument("addFile: no file name: " + path);
  s.makeDirectories(file.parent(), "addFile");
  State::Entry& entry = s.entries[file.key(state_->cp)];
  if (entry.directory) throw std::invalid_argument("addFile: a folder is in the way: " + path);
  entry = State::Entry::file(s.displayPath(file), bytes, attributes);
}

void SimulatedWindows::addHardLink(const std::string& existing, const std::string& path) {
  State& s = *state_;
  const State::Entry* file = s.find(s.seedPath(existing, "addHardLink"));
  if (file == nullptr || !file->isFile())
    throw std::invalid_argument("addHardLink: no file " + existing);
  const Path name = s.seedPath(path, "addHardLink");
  if (name.isRoot() || name.trailing || s.find(name) != nullptr) {
    throw std::invalid_argument("addHardLink: the name is taken or no name: " + path);
  }
  if (name.volumeKey(s.cp) != s.seedPath(existing, "addHardLink").volumeKey(s.cp)) {
    throw std::invalid_argument("addHardLink: another volume: " + path);
  }
  s.makeDirectories(name.parent(), "addHardLink");
  State::Entry link = *file;
  link.path = s.displayPath(name);
  s.entries[name.key(s.cp)] = std::move(link);
}

void SimulatedWindows::addSymbolicLink(const std::string& path, const std::string& target,
                                       bool showsReparsePoint) {
  State& s = *state_;
  const Path name = s.seedPath(path, "addSymbolicLink");
  Path to = s.seedPath(target, "addSymbolicLink");
  if (name.isRoot() || name.trailing || to.trailing || s.find(name) != nullptr) {
    throw std::invalid_argument("addSymbolicLink: the name is taken or no name: " + path);
  }
  s.makeDirectories(name.parent(), "addSymbolicLink");
  State::Entry link{s.displayPath(name), false, {}, to, showsReparsePoint};
  s.entries[name.key(s.cp)] = std::move(link);
}

void SimulatedWindows::setAttributes(const std::string& path, std::uint32_t attributes) {
  State::Entry* entry = state_->find(state_->seedPath(path, "setAttributes"));
  if (entry == nullptr || !entry->isFile()) {
    throw std::invalid_argument("setAttributes: no file " + path);
  }
  entry->data->attributes = attributes & kKeptAttributes;
}

// Held through a link is the file behind it.
void SimulatedWindows::holdOpen(const std::string& path) {
  State& s = *state_;
  const std::optional<Path> file = s.followLinks(s.seedPath(path, "holdOpen"));
  if (!file) throw std::invalid_argument("holdOpen: a loop of links at " + path);
  s.heldOpen[file->key(s.cp)] = s.displayPath(*file);
}

void SimulatedWindows::release(const std::string& path) {
  state_->heldOpen.erase(state_->seedPath(path, "release").key(state_->cp));
}

void SimulatedWindows::setCurrentDirectoryPath(const std::string& path) {
  Path folder = state_->seedPath(path, "setCurrentDirectoryPath");
  state_->makeDirectories(folder, "setCurrentDirectoryPath");
  folder.trailing = false;
  state_->currentDirectory = folder;
}

void SimulatedWindows::setModuleFileName(const std::string& path) {
  state_->moduleFileName = path;
}

void SimulatedWindows::addLibrary(const std::string& name, int firstLoadingAttempt) {
  state_->library(name).firstLoadingAttempt = firstLoadingAttempt;
}

void SimulatedWindows::addExecutable(const std::string& path, bool starts) {
  addExecutable(path, starts ? ProgramKind::gui : ProgramKind::broken);
}

void SimulatedWindows::addExecutable(const std::string& path, ProgramKind kind) {
  addFile(path, "MZ stand-in program");
  State::Program program = State::Program::gui;
  switch (kind) {
    case ProgramKind::gui:
      break;
    case ProgramKind::console:
      program = State::Program::console;
      break;
    case ProgramKind::neverIdle:
      program = State::Program::neverIdle;
      break;
    case ProgramKind::broken:
      program = State::Program::broken;
      break;
  }
  state_->find(state_->seedPath(path, "addExecutable"))->data->program = program;
}

void SimulatedWindows::setCodePage(std::uint32_t codePage) {
  if (codePage != 932 && codePage != 1252) throw std::invalid_argument("setCodePage: 932 or 1252");
  if (!state_->entries.empty()) throw std::logic_error("setCodePage: before the first file");
  state_->cp.id = codePage;
}

void SimulatedWindows::setSearchPath(const std::vector<std::string>& folders) {
  state_->searchPath = folders;
}

// --- Faults --------------------------------------------------------------------------------------

void SimulatedWindows::setFreeSpace(std::uint64_t bytes) {
  state_->freeSpace = bytes;
}

void SimulatedWindows::failWritesAfter(std::uint64_t bytes) {
  state_->writeRoom = bytes;
}

void SimulatedWindows::failReadAt(const std::string& path, std::uint64_t offset) {
  const CodePage cp = state_->cp;
  state_->readFaultsAt[state_->seedPath(path, "failReadAt").key(cp)] = offset;
}

void SimulatedWindows::failCloseOf(const std::string& path) {
  const CodePage cp = state_->cp;
  state_->closeFaults.insert(state_->seedPath(path, "failCloseOf").key(cp));
}

void SimulatedWindows::failReplaceInto(const std::string& target, std::uint32_t error, int times) {
  const CodePage cp = state_->cp;
  state_->replaceFaults[state_->seedPath(target, "failReplaceInto").key(cp)] = {error, times};
}

void SimulatedWindows::refuseNewFiles(const std::string& folder) {
  const CodePage cp = state_->cp;
  state_->closedFolders.insert(state_->seedPath(folder, "refuseNewFiles").key(cp));
}

void SimulatedWindows::holdOpenFor(const std::string& path, int calls) {
  const CodePage cp = state_->cp;
  state_->heldForOpens[state_->seedPath(path, "holdOpenFor").key(cp)] = calls;
}

void SimulatedWindows::failChangeDirectory() {
  state_->changeDirectoryFails = true;
}

void SimulatedWindows::failFlush(std::uint32_t error) {
  state_->flushError = error;
}

void SimulatedWindows::failCall(std::size_t number, std::uint32_t error) {
  state_->failingCall = number;
  state_->failingCallError = error;
}

void SimulatedWindows::removeFinalPathName() {
  state_->hasFinalPathName = false;
}

// --- Observation ---------------------------------------------------------------------------------

bool SimulatedWindows::hasFile(const std::string& path) const {
  return state_->fileAt(path) != nullptr;
}

std::string SimulatedWindows::fileBytes(const std::string& path) const {
  const State::FileData* file = state_->fileAt(path);
  if (file == nullptr) throw std::out_of_range("no file " + path);
  return file->bytes;
}

bool SimulatedWindows::sameFile(const std::string& path, const std::string& other) const {
  const State::FileData* file = state_->fileAt(path);
  return file != nullptr && file == state_->fileAt(other);
}

std::string SimulatedWindows::linkTarget(const std::string& path) const {
  const std::optional<Path> name = resolvePath(state_->cp, path, state_->currentDirectory);
  const State::Entry* entry = name && !name->isRoot() ? state_->find(*name) : nullptr;
  return entry != nullptr && entry->isLink() ? entry->linkTarget->text() : std::string();
}

std::uint32_t SimulatedWindows::attributesOf(const std::string& path) const {
  const std::optional<Path> file = resolvePath(state_->cp, path, state_->currentDirectory);
  if (!file) return kInvalidAttributes;
  if (file->isRoot()) return state_->isDirectory(*file) ? kAttributeDirectory : kInvalidAttributes;
  const State::Entry* entry = state_->find(*file);
  return entry == nullptr ? kInvalidAttributes : state_->ownAttributes(*entry);
}

std::vector<std::string> SimulatedWindows::files() const {
  std::vector<std::string> paths;
  for (const auto& [key, entry] : state_->entries) {
    if (!entry.directory) paths.push_back(entry.path);
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

std::vector<std::string> SimulatedWindows::openHandles() const {
  std::vector<std::string> open;
  for (const auto& [value, h] : state_->handles) {
    switch (h.kind) {
      case State::Kind::file:
        open.push_back("file:" + state_->handlePath(h));
        break;
      case State::Kind::process:
        open.push_back("process:" + h.target);
        break;
      case State::Kind::thread:
        open.push_back("thread:" + h.target);
        break;
    }
  }
  for (const auto& [key, lib] : state_->libraries) {
    for (int i = 0; i < lib.references; ++i) open.push_back("library:" + lib.name);
  }
  return open;
}

const std::vector<std::string>& SimulatedWindows::criticalErrorPrompts() const {
  return state_->prompts;
}

std::string SimulatedWindows::currentDirectoryPath() const {
  return state_->currentDirectory.text();
}

std::uint32_t SimulatedWindows::errorMode() const {
  return state_->errorMode;
}

int SimulatedWindows::loadAttempts(const std::string& library) const {
  const auto it = state_->libraries.find(folded(state_->cp, library));
  return it == state_->libraries.end() ? 0 : it->second.attempts;
}

int SimulatedWindows::freeCount(const std::string& library) const {
  const auto it = state_->libraries.find(folded(state_->cp, library));
  return it == state_->libraries.end() ? 0 : it->second.frees;
}

int SimulatedWindows::callIndex(const std::string& prefix) const {
  for (std::size_t i = 0; i < calls_.size(); ++i) {
    if (startsWith(calls_[i], prefix)) return static_cast<int>(i);
  }
  return -1;
}

int SimulatedWindows::callCount(const std::string& prefix) const {
  return static_cast<int>(std::count_if(
      calls_.begin(), calls_.end(), [&](const std::string& c) { return startsWith(c, prefix); }));
}

namespace {

// Bytes as a C-like literal, cut short after `limit` bytes.
std::string quoted(const std::string& bytes, std::size_t limit = 80) {
  std::ostringstream out;
  out << '"';
  for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c == '\r') {
      out << "\\r";
    } else if (c == '\n') {
      out << "\\n";
    } else if (c == '\\' || c == '"') {
      out << '\\' << bytes[i];
    } else if (c < 0x20 || c >= 0x7F) {
      out << "\\x" << std::hex << std::uppercase << (c >> 4) << (c & 0xF) << std::dec;
    } else {
      out << bytes[i];
    }
  }
  out << '"';
  if (bytes.size() > limit) out << "... (" << bytes.size() << " bytes)";
  return out.str();
}

}  // namespace

std::string SimulatedWindows::dump() const {
  const State& s = *state_;
  std::ostringstream out;
  out << "--- simulated Windows\ndrives:\n";
  for (int i = 0; i < 26; ++i) {
    const State::Drive& d = s.drives[i];
    if (!d.present) continue;
    out << "  " << static_cast<char>('A' + i) << ": type " << d.type
        << (d.hasMedia ? "" : " (no media)") << " flags " << hex(d.fileSystemFlags) << '\n';
  }
  out << "current directory: " << s.currentDirectory.text() << "\nmodule: " << s.moduleFileName
      << "\nerror mode: " << hex(s.errorMode) << ", last error: " << s.lastError
      << "\nfiles and folders:\n";
  for (const auto& [key, e] : s.entries) {
    out << "  " << e.path;
    if (e.directory) {
      out << "\\\n";
      continue;
    }
    if (e.isLink()) {
      out << " -> " << e.linkTarget->text() << '\n';
      continue;
    }
    const int names = s.namesOf(e.data.get());
    out << "  attributes " << hex(e.data->attributes)
        << (e.data->program != State::Program::none ? " program" : "")
        << (names > 1 ? "  names " + std::to_string(names) : "") << "  " << quoted(e.data->bytes)
        << '\n';
  }
  out << "open handles:\n";
  for (const std::string& h : openHandles()) out << "  " << h << '\n';
  for (const auto& [key, path] : s.heldOpen) out << "  held by another program: " << path << '\n';
  out << "processes started: " << started_.size() << ", message boxes: " << messageBoxes_.size()
      << ", pauses: " << pauses_.size() << "\ncalls:\n";
  for (const std::string& call : calls_) out << "  " << call << '\n';
  return out.str();
}

// A member, not a static: the process runs on this machine.
// NOLINTNEXTLINE(readability-convert-member-functions-to-static)
int SimulatedWindows::runProcess(const std::function<int()>& body) {
  try {
    return body();
  } catch (const ProcessEnded& ended) {
    return ended.code;
  }
}

// --- Libraries, pauses, process state ------------------------------------------------------------

ModuleHandle SimulatedWindows::loadLibrary(const char* name) {
  const std::string text = name ? name : "";
  calls_.push_back("LoadLibraryA " + text);
  State& s = *state_;
  State::Library& lib = s.library(text);
  ++lib.attempts;
  if (lib.firstLoadingAttempt <= 0 || lib.attempts < lib.firstLoadingAttempt) {
    s.fail(kErrorModNotFound);
    return 0;
  }
  if (lib.module == 0) {
    lib.module = s.nextModule;
    s.nextModule += 0x10000;
  }
  ++lib.references;
  return lib.module;
}

void SimulatedWindows::freeLibrary(ModuleHandle module) {
  State::Library* lib = state_->libraryOf(module);
  calls_.push_back("FreeLibrary " + (lib ? lib->name : hex(module)));
  if (lib == nullptr || lib->references == 0) {
    state_->fail(kErrorInvalidHandle);
    return;
  }
  --lib->references;
  ++lib->frees;
}

void SimulatedWindows::pause(std::uint32_t milliseconds) {
  calls_.push_back("Sleep " + std::to_string(milliseconds));
  pauses_.push_back(milliseconds);
}

std::uint32_t SimulatedWindows::setErrorMode(std::uint32_t mode) {
  calls_.push_back("SetErrorMode " + hex(mode));
  return std::exchange(state_->errorMode, mode);
}

std::uint32_t SimulatedWindows::currentDirectory(std::uint32_t size, char* buffer) {
  calls_.push_back("GetCurrentDirectoryA");
  return copyOut(state_->currentDirectory.text(), size, buffer);
}

bool SimulatedWindows::changeDirectory(const char* path) {
  calls_.push_back(std::string("SetCurrentDirectoryA ") + (path ? path : ""));
  State& s = *state_;
  if (s.changeDirectoryFails) return s.fail(kErrorAccessDenied);
  const std::optional<Path> folder = s.resolve(path);
  if (!folder) return s.fail(kErrorInvalidName);
  if (const std::uint32_t error = s.reach(*folder)) return s.fail(error);
  if (!s.isDirectory(*folder)) {
    return s.fail(s.find(*folder) ? kErrorDirectory : kErrorFileNotFound);
  }
  s.currentDirectory = *folder;
  s.currentDirectory.trailing = false;
  return true;
}

std::uint32_t SimulatedWindows::moduleFileName(char* buffer, std::uint32_t size) {
  calls_.push_back("GetModuleFileNameA");
  const std::string& path = state_->moduleFileName;
  if (size == 0) return 0;
  if (path.size() < size) {
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return static_cast<std::uint32_t>(path.size());
  }
  // Cut short: as many bytes as fit with the terminator, and the full size as the result.
  std::memcpy(buffer, path.data(), size - 1);
  buffer[size - 1] = '\0';
  state_->fail(kErrorInsufficientBuffer);
  return size;
}

std::uint32_t SimulatedWindows::driveType(const char* root) {
  State& s = *state_;
  const std::string text = root ? root : s.currentDirectory.rootText();
  calls_.push_back("GetDriveTypeA " + text);
  const std::optional<Path> path = parseRoot(s.cp, text, s.currentDirectory);
  if (!path) return kDriveNoRootDir;
  if (!path->onDrive()) return s.volumeError(*path) ? kDriveNoRootDir : kDriveRemote;
  const State::Drive& drive = s.drives[path->driveIndex()];
  return drive.present ? drive.type : kDriveNoRootDir;
}

// Not logged: the logic asks it of every byte of a path.
bool SimulatedWindows::isLeadByte(char byte) {
  return state_->cp.isLead(byte);
}

// --- Processes, handles, user interface ----------------------------------------------------------

bool SimulatedWindows::startProcess(const char* application, const char* commandLine,
                                    std::uint32_t creationFlags, const char* currentDirectory,
                                    ProcessInfo& info) {
  State& s = *state_;
  const std::optional<Path> image = s.findImage(application, commandLine);
  const std::string shown = image         ? s.displayPath(*image)
                            : application ? application
                                          : programName(commandLine ? commandLine : "");
  calls_.push_back("CreateProcessA " + shown);
  if (!image) return false;
  const std::optional<Path> target = s.followLinks(*image);
  const State::Entry* found = target ? s.find(*target) : nullptr;
  if (found == nullptr) return s.fail(kErrorFileNotFound);
  if (found->directory) return s.fail(kErrorAccessDenied);
  const State::Program program = found->data->program;
  if (program == State::Program::none || program == State::Program::broken) {
    return s.fail(kErrorBadExeFormat);
  }
  if (currentDirectory != nullptr) {
    const std::optional<Path> folder = s.resolve(currentDirectory);
    if (!folder || s.reach(*folder) || !s.isDirectory(*folder)) return s.fail(kErrorDirectory);
  }
  std::vector<std::string> openFiles;
  for (const std::string& handle : openHandles()) {
    if (startsWith(handle, "file:")) openFiles.push_back(handle);
  }
  started_.push_back(StartedProcess{application ? application : "", commandLine ? commandLine : "",
                                    currentDirectory ? currentDirectory : "", creationFlags, shown,
                                    openFiles});
  info.process = s.newHandle(State::Handle{State::Kind::process, shown, 0, 0, 0, program, {}});
  info.thread =
      s.newHandle(State::Handle{State::Kind::thread, shown, 0, 0, 0, State::Program::none, {}});
  info.processId = s.nextProcessId;
  info.threadId = s.nextProcessId + 4;
  s.nextProcessId += 8;
  return true;
}

// A GUI program is ready for input at once; a console program has no message queue, so the wait
// fails at once; one that never gets ready lets a limited wait time out. Waiting without a limit
// for that one would last as long as the program runs, which a test cannot do: it is an error.
std::uint32_t SimulatedWindows::waitForInputIdle(OsHandle process, std::uint32_t milliseconds) {
  const State::Handle* handle = state_->findHandle(process, State::Kind::process);
  calls_.push_back(
      (handle ? "WaitForInputIdle process" : "WaitForInputIdle invalid " + hex(process)) + " | " +
      hex(milliseconds));
  if (handle == nullptr) {
    state_->fail(kErrorInvalidHandle);
    return kWaitFailed;
  }
  switch (handle->program) {
    case State::Program::console:
      state_->fail(kErrorAccessDenied);  // what Windows reports for a console process
      return kWaitFailed;
    case State::Program::neverIdle:
      if (milliseconds == kInfinite) {
        throw std::logic_error("WaitForInputIdle without a limit on a program that is never idle");
      }
      return kWaitTimeout;
    default:
      return 0;
  }
}

bool SimulatedWindows::closeHandle(OsHandle handle) {
  State& s = *state_;
  const auto it = s.handles.find(handle);
  if (it == s.handles.end()) {
    calls_.push_back("CloseHandle invalid " + hex(handle));
    return s.fail(kErrorInvalidHandle);
  }
  const State::Handle closed = it->second;
  s.handles.erase(it);
  switch (closed.kind) {
    case State::Kind::process:
      calls_.push_back("CloseHandle process");
      return true;
    case State::Kind::thread:
      calls_.push_back("CloseHandle thread");
      return true;
    case State::Kind::file:
      break;
  }
  calls_.push_back("CloseHandle file " + s.handlePath(closed));
  if (injectedFailure()) return false;
  // A failed close still releases the handle; what the disk did not take is lost.
  if (s.closeFaults.count(closed.target)) return s.fail(kErrorHandleDiskFull);
  return true;
}

int SimulatedWindows::showMessageBox(OsHandle owner, const char* text, const char* caption,
                                     std::uint32_t type) {
  const std::string captionText = caption ? caption : "";
  calls_.push_back("MessageBoxA " + captionText);
  messageBoxes_.push_back(MessageBoxRecord{text ? text : "", captionText, owner, type});
  return kIdOk;
}

// The real exit closes nothing before the process is gone: what is open now stays open to the
// end. The throw that brings the test back runs destructors that exit would not, so the handles
// are noted first.
void SimulatedWindows::endProcess(int code) {
  calls_.push_back("exit " + std::to_string(code));
  handlesAtExit_ = openHandles();
  throw ProcessEnded{code};
}

// --- Files ---------------------------------------------------------------------------------------

std::uint32_t SimulatedWindows::fullPathName(const char* name, std::uint32_t size, char* buffer,
                                             char** filePart) {
  calls_.push_back(std::string("GetFullPathNameA ") + (name ? name : ""));
  if (injectedFailure()) return 0;
  State& s = *state_;
  const std::optional<Path> path = s.resolve(name);
  if (!path) {
    s.fail(kErrorInvalidName);
    return 0;
  }
  const std::string text = path->text();
  const std::uint32_t result = copyOut(text, size, buffer);
  if (result < size && filePart != nullptr) {
    *filePart =
        endsWithSeparator(state_->cp, text) ? nullptr : buffer + fileNameOffset(state_->cp, text);
  }
  return result;
}

bool SimulatedWindows::volumeInformation(const char* root, std::uint32_t& fileSystemFlags) {
  State& s = *state_;
  const std::string text = root ? root : s.currentDirectory.rootText();
  calls_.push_back("GetVolumeInformationA " + text);
  if (injectedFailure()) return false;
  const std::optional<Path> path = parseRoot(state_->cp, text, s.currentDirectory);
  if (!path || (path->onDrive() && text.size() != 3)) return s.fail(kErrorInvalidName);
  s.goToVolume(*path);
  if (const std::uint32_t error = s.volumeError(*path)) return s.fail(error);
  fileSystemFlags = path->onDrive() ? s.drives[path->driveIndex()].fileSystemFlags
                                    : kFsCasePreserved | kFsUnicodeOnDisk;
  return true;
}

bool SimulatedWindows::findFileName(const char* path, char* name, std::uint32_t size) {
  calls_.push_back(std::string("FindFirstFileA ") + (path ? path : ""));
  if (injectedFailure()) return false;
  State& s = *state_;
  const std::optional<Path> file = s.resolve(path);
  if (!file) return s.fail(kErrorInvalidName);
  if (const std::uint32_t error = s.reach(*file)) return s.fail(error);
  const State::Entry* entry = file->isRoot() || file->trailing ? nullptr : s.find(*file);
  if (entry == nullptr) return s.fail(kErrorFileNotFound);
  const std::string onDisk = entry->path.substr(fileNameOffset(state_->cp, entry->path));
  if (onDisk.size() + 1 > size) return s.fail(kErrorInsufficientBuffer);
  std::memcpy(name, onDisk.c_str(), onDisk.size() + 1);
  return true;
}

OsHandle SimulatedWindows::createFile(const char* name, std::uint32_t access,
                                      std::uint32_t shareMode, std::uint32_t disposition,
                                      std::uint32_t attributes) {
  calls_.push_back(std::string("CreateFileA ") + (name ? name : "") + " | access=" + hex(access) +
                   " share=" + hex(shareMode) + " disposition=" + std::to_string(disposition));
  if (injectedFailure()) return kInvalidHandle;
  return state_->open(name, OpenRequest{access, shareMode, disposition, attributes});
}

bool SimulatedWindows::readFile(OsHandle file, void* buffer, std::uint32_t size,
                                std::uint32_t& read) {
  State& s = *state_;
  read = 0;
  State::Handle* h = s.findHandle(file, State::Kind::file);
  calls_.push_back("ReadFile " + (h ? s.handlePath(*h) : "invalid " + hex(file)));
  if (injectedFailure()) return false;
  if (h == nullptr) return s.fail(kErrorInvalidHandle);
  if (!State::readsData(h->access)) return s.fail(kErrorAccessDenied);
  const std::string& bytes = h->data->bytes;
  const std::uint64_t start = std::min<std::uint64_t>(h->position, bytes.size());
  const std::uint64_t count = std::min<std::uint64_t>(size, bytes.size() - start);
  const auto fault = s.readFaultsAt.find(h->target);
  if (fault != s.readFaultsAt.end() && fault->second >= start && fault->second < start + count) {
    return s.fail(kErrorCrc);
  }
  std::memcpy(buffer, bytes.data() + start, count);
  h->position = start + count;
  read = static_cast<std::uint32_t>(count);
  return true;
}

// What does not fit the room on the disk, or the writes still taken, is not written: the count
// comes back short and the call still succeeds.
bool SimulatedWindows::writeFile(OsHandle file, const void* data, std::uint32_t size,
                                 std::uint32_t& written) {
  State& s = *state_;
  written = 0;
  State::Handle* h = s.findHandle(file, State::Kind::file);
  calls_.push_back("WriteFile " + (h ? s.handlePath(*h) : "invalid " + hex(file)));
  if (injectedFailure()) return false;
  if (h == nullptr) return s.fail(kErrorInvalidHandle);
  if (!State::writesData(h->access)) return s.fail(kErrorAccessDenied);
  std::string& bytes = h->data->bytes;
  const std::uint64_t before = bytes.size();
  std::uint64_t count = size;
  if (s.writeRoom) count = std::min(count, *s.writeRoom);
  if (s.freeSpace) {
    // Bytes the file already has take no room; a gap before the position and the rest must fit.
    const std::uint64_t owned = before > h->position ? before - h->position : 0;
    const std::uint64_t gap = h->position > before ? h->position - before : 0;
    count = std::min(count, owned + (*s.freeSpace > gap ? *s.freeSpace - gap : 0));
  }
  if (s.writeRoom) *s.writeRoom -= count;
  const std::uint64_t end = h->position + count;
  if (count > 0 && end > before) {
    s.takeRoom(end - before);
    bytes.resize(end);
  }
  bytes.replace(h->position, count, static_cast<const char*>(data), count);
  h->position = end;
  written = static_cast<std::uint32_t>(count);
  if (count < size) s.lastError = kErrorDiskFull;
  return true;
}

bool SimulatedWindows::flushFile(OsHandle file) {
  State& s = *state_;
  State::Handle* h = s.findHandle(file, State::Kind::file);
  calls_.push_back("FlushFileBuffers " + (h ? s.handlePath(*h) : "invalid " + hex(file)));
  if (injectedFailure()) return false;
  if (h == nullptr) return s.fail(kErrorInvalidHandle);
  if (!State::writesData(h->access)) return s.fail(kErrorAccessDenied);
  if (s.flushError != kErrorSuccess) return s.fail(s.flushError);
  return true;
}

bool SimulatedWindows::seekFile(OsHandle file, std::uint32_t offset) {
  State& s = *state_;
  State::Handle* h = s.findHandle(file, State::Kind::file);
  calls_.push_back("SetFilePointer " + (h ? s.handlePath(*h) : "invalid " + hex(file)) + " " +
                   std::to_string(offset));
  if (injectedFailure()) return false;
  if (h == nullptr) return s.fail(kErrorInvalidHandle);
  h->position = offset;
  return true;
}

bool SimulatedWindows::setEndOfFile(OsHandle file) {
  State& s = *state_;
  State::Handle* h = s.findHandle(file, State::Kind::file);
  calls_.push_back("SetEndOfFile " + (h ? s.handlePath(*h) : "invalid " + hex(file)));
  if (injectedFailure()) return false;
  if (h == nullptr) return s.fail(kErrorInvalidHandle);
  if (!State::writesData(h->access)) return s.fail(kErrorAccessDenied);
  std::string& bytes = h->data->bytes;
  if (h->position > bytes.size()) {
    if (!s.takeRoom(h->position - bytes.size())) return s.fail(kErrorDiskFull);
  } else {
    s.giveRoom(bytes.size() - h->position);
  }
  bytes.resize(h->position);
  return true;
}

bool SimulatedWindows::fileInformation(OsHandle file, FileInformation& info) {
  State& s = *state_;
  const State::Handle* h = s.findHandle(file, State::Kind::file);
  calls_.push_back("GetFileInformationByHandle " + (h ? s.handlePath(*h) : "invalid " + hex(file)));
  if (injectedFailure()) return false;
  if (h == nullptr) return s.fail(kErrorInvalidHandle);
  info.attributes = h->data->attributes != 0 ? h->data->attributes : kAttributeNormal;
  info.links = static_cast<std::uint32_t>(s.namesOf(h->data.get()));
  return true;
}

// The name the handle was opened by, behind every link, with the case on disk: "\\?\" before a
// drive path, "\\?\UNC\" in place of a share's "\\".
std::uint32_t SimulatedWindows::finalPathName(OsHandle file, char* buffer, std::uint32_t size) {
  State& s = *state_;
  const State::Handle* h = s.findHandle(file, State::Kind::file);
  calls_.push_back("GetFinalPathNameByHandleA " + (h ? s.handlePath(*h) : "invalid " + hex(file)));
  if (!s.hasFinalPathName) return s.fail(kErrorCallNotImplemented);
  if (injectedFailure()) return 0;
  if (h == nullptr) return s.fail(kErrorInvalidHandle);
  const std::string path = s.handlePath(*h);
  const std::string text =
      startsWith(path, "\\\\") ? "\\\\?\\UNC\\" + path.substr(2) : "\\\\?\\" + path;
  return copyOut(text, size, buffer);
}

// As Windows does it: the folder must exist; then CREATE_NEW on one number after another until
// a name is free, and the new file closed again. Any refusal but an existing name ends it with 0.
std::uint32_t SimulatedWindows::makeTempFile(const char* folder, const char* prefix, char* buffer) {
  calls_.push_back(std::string("GetTempFileNameA ") + (folder ? folder : ""));
  if (injectedFailure()) return 0;
  State& s = *state_;
  const std::optional<Path> where = s.resolve(folder);
  if (!where || prefix == nullptr || buffer == nullptr) return s.fail(kErrorInvalidParameter);
  if (s.reach(*where) != kErrorSuccess || !s.isDirectory(*where)) return s.fail(kErrorDirectory);
  std::string base = folder;
  if (base.empty() || base.back() != '\\') base += '\\';
  // Windows takes a folder of at most MAX_PATH - 14 characters.
  if (base.size() > kMaxPath - 14) return s.fail(kErrorBufferOverflow);
  base += std::string(prefix).substr(0, 3);
  for (int tries = 0; tries < 0xFFFF; ++tries) {
    const std::uint32_t number = s.nextTempNumber;
    s.nextTempNumber = number % 0xFFFF + 1;
    std::ostringstream name;
    name << base << std::hex << std::uppercase << number << ".TMP";
    const OsHandle made = s.open(
        name.str().c_str(), OpenRequest{kGenericWrite, kShareNone, kCreateNew, kAttributeNormal});
    if (made != kInvalidHandle) {
      s.handles.erase(made);
      std::memcpy(buffer, name.str().c_str(), name.str().size() + 1);
      s.lastError = kErrorSuccess;
      return number;
    }
    if (s.lastError != kErrorFileExists && s.lastError != kErrorSharingViolation) return 0;
  }
  return s.fail(kErrorFileExists);
}

std::uint32_t SimulatedWindows::fileAttributes(const char* path) {
  calls_.push_back(std::string("GetFileAttributesA ") + (path ? path : ""));
  if (injectedFailure()) return kInvalidAttributes;
  State& s = *state_;
  const std::optional<Path> file = s.resolve(path);
  if (!file) return s.failAttributes(kErrorInvalidName);
  if (const std::uint32_t error = s.reach(*file)) return s.failAttributes(error);
  const State::Entry* entry = file->isRoot() ? nullptr : s.find(*file);
  if (!file->isRoot() && entry == nullptr) return s.failAttributes(kErrorFileNotFound);
  if (file->trailing && entry != nullptr && !entry->directory) {
    return s.failAttributes(kErrorInvalidName);
  }
  const std::uint32_t attributes = attributesOf(path);
  // Wine shows a link by its target's attributes, so a link to nothing is not found.
  return attributes == kInvalidAttributes ? s.failAttributes(kErrorFileNotFound) : attributes;
}

bool SimulatedWindows::replaceFile(const char* source, const char* target) {
  calls_.push_back(std::string("MoveFileExA ") + (source ? source : "") + " " +
                   (target ? target : ""));
  if (injectedFailure()) return false;
  State& s = *state_;
  const CodePage cp = s.cp;
  const std::optional<Path> from = s.resolve(source);
  const std::optional<Path> to = s.resolve(target);
  if (!from || !to || from->trailing || to->trailing) return s.fail(kErrorInvalidName);
  if (const std::uint32_t error = s.reach(*from)) return s.fail(error);
  const State::Entry* moving = from->isRoot() ? nullptr : s.find(*from);
  if (moving == nullptr) return s.fail(kErrorFileNotFound);
  if (moving->directory) return s.fail(kErrorAccessDenied);  // folders are not moved here
  if (const std::uint32_t error = s.reach(*to)) return s.fail(error);
  if (to->isRoot()) return s.fail(kErrorAccessDenied);
  if (from->volumeKey(cp) != to->volumeKey(cp)) return s.fail(kErrorNotSameDevice);
  const auto fault = s.replaceFaults.find(to->key(cp));
  if (fault != s.replaceFaults.end() && fault->second.times != 0) {
    if (fault->second.times > 0) --fault->second.times;
    return s.fail(fault->second.error);
  }
  if (s.inClosedFolder(*from) || s.inClosedFolder(*to)) return s.fail(kErrorAccessDenied);
  if (s.isOpen(moving) || s.heldForAMoment(from->key(cp))) return s.fail(kErrorSharingViolation);
  if (s.heldForAMoment(to->key(cp))) return s.fail(kErrorAccessDenied);

  // A name is renamed, never what it links to: over a symbolic link, the link goes and its target
  // stays as it was; over one name of a file with several, the others keep the old file.
  const State::Entry* replaced = from->key(cp) == to->key(cp) ? nullptr : s.find(*to);
  if (replaced != nullptr && !s.replaceable(*replaced)) return s.fail(kErrorAccessDenied);
  if (replaced != nullptr) s.dropName(*replaced);
  State::Entry moved = *moving;
  s.entries.erase(from->key(cp));
  moved.path = s.displayPath(*to);
  s.entries[to->key(cp)] = std::move(moved);
  return true;
}

bool SimulatedWindows::deleteFile(const char* path) {
  calls_.push_back(std::string("DeleteFileA ") + (path ? path : ""));
  if (injectedFailure()) return false;
  State& s = *state_;
  const CodePage cp = s.cp;
  const std::optional<Path> file = s.resolve(path);
  if (!file || file->trailing) return s.fail(kErrorInvalidName);
  if (const std::uint32_t error = s.reach(*file)) return s.fail(error);
  const State::Entry* entry = file->isRoot() ? nullptr : s.find(*file);
  if (entry == nullptr) return s.fail(kErrorFileNotFound);
  if (entry->directory || (s.ownAttributes(*entry) & kAttributeReadOnly) ||
      s.inClosedFolder(*file)) {
    return s.fail(kErrorAccessDenied);
  }
  if (s.isOpen(entry) || s.heldForAMoment(file->key(cp))) return s.fail(kErrorSharingViolation);
  s.dropName(*entry);
  s.entries.erase(file->key(cp));
  return true;
}

// CharUpperA by the code page: trail bytes of double-byte characters are never letters.
void SimulatedWindows::upperCase(char* text) {
  const CodePage cp = state_->cp;
  for (char* p = text; p != nullptr && *p != '\0'; ++p) {
    if (cp.isLead(*p)) {
      if (p[1] == '\0') break;
      ++p;
      continue;
    }
    *p = cp.upper(*p);
  }
}

std::uint32_t SimulatedWindows::lastError() {
  return state_->lastError;
}

// The call just logged fails, where failCall chose it: its error is set and nothing else happens.
bool SimulatedWindows::injectedFailure() {
  State& s = *state_;
  if (!s.failingCall || *s.failingCall != calls_.size() - 1) return false;
  s.lastError = s.failingCallError;
  return true;
}
