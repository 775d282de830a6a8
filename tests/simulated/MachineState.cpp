// The rules of the simulated machine: names and links, volumes, room on the disks, sharing, opens,
// the program search, and the faults that refuse opens, renames and deletions.
#include "simulated/MachineState.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

using namespace simulated;

// --- Faults -------------------------------------------------------------------------------------

bool Faults::heldNow(const std::string& key) {
  const auto held = heldForCalls.find(key);
  if (held == heldForCalls.end() || held->second <= 0) return false;
  --held->second;
  return true;
}

std::uint32_t Faults::openRefusal(const std::string& key, const std::string& folderKey,
                                  bool exists) {
  if (!exists && foldersRefusingNewFiles.count(folderKey) != 0) return kErrorAccessDenied;
  if (exists && heldNow(key)) return kErrorSharingViolation;
  return kErrorSuccess;
}

std::uint32_t Faults::renameRefusal(const std::string& from, const std::string& fromFolder,
                                    const std::string& to, const std::string& toFolder) {
  const auto refused = renamesInto.find(to);
  if (refused != renamesInto.end() && refused->second.times != 0) {
    if (refused->second.times > 0) --refused->second.times;
    return refused->second.error;
  }
  if (foldersRefusingNewFiles.count(fromFolder) != 0 ||
      foldersRefusingNewFiles.count(toFolder) != 0) {
    return kErrorAccessDenied;
  }
  if (heldNow(from)) return kErrorSharingViolation;
  if (heldNow(to)) return kErrorAccessDenied;
  return kErrorSuccess;
}

std::uint32_t Faults::deleteRefusal(const std::string& key, const std::string& folderKey) {
  if (foldersRefusingNewFiles.count(folderKey) != 0) return kErrorAccessDenied;
  if (heldNow(key)) return kErrorSharingViolation;
  return kErrorSuccess;
}

// --- The machine --------------------------------------------------------------------------------

auto SimulatedWindows::State::Entry::file(std::string path, std::string bytes,
                                          std::uint32_t attributes) -> Entry {
  auto data = std::make_shared<FileData>(
      FileData{std::move(bytes), attributes & kKeptAttributes, std::nullopt});
  return Entry{std::move(path), false, std::move(data), {}, true};
}

std::optional<Path> SimulatedWindows::State::resolve(const char* name) const {
  std::optional<Path> path = given(name);
  if (path) path = longForm(std::move(*path));
  return path;
}

std::optional<Path> SimulatedWindows::State::given(const char* name) const {
  if (name == nullptr || std::strchr(name, kUnspellable) != nullptr) return std::nullopt;
  return resolvePath(cp, name, currentDirectory);
}

std::optional<Path> SimulatedWindows::State::resolveKept(const std::string& text) const {
  std::optional<Path> path = resolvePath(cp, text, currentDirectory);
  if (path) path = longForm(std::move(*path));
  return path;
}

Path SimulatedWindows::State::longForm(Path path) const {
  // Each subst drive or junction met starts the walk again from the folder it names; a loop of
  // them ends where Windows gives up on links.
  for (int hops = 0; hops <= 63; ++hops) {
    if (path.onDrive() && drives[path.driveIndex()].substOf) {
      Path folder = *drives[path.driveIndex()].substOf;
      folder.parts.insert(folder.parts.end(), path.parts.begin(), path.parts.end());
      folder.trailing = path.trailing;
      path = folder;
      continue;
    }
    Path step{path.root, {}, false};
    std::size_t i = 0;
    for (; i < path.parts.size(); ++i) {
      step.parts.push_back(path.parts[i]);
      const auto longName = longNames.find(step.key(cp));
      if (longName != longNames.end() && find(step) == nullptr) {
        path.parts[i] = longName->second;
        step.parts.back() = path.parts[i];
      }
      const Entry* junction = find(step);
      if (junction != nullptr && junction->directory && junction->isLink()) break;
    }
    if (i == path.parts.size()) return path;
    Path target = *find(step)->linkTarget;
    target.parts.insert(target.parts.end(), path.parts.begin() + static_cast<long>(i) + 1,
                        path.parts.end());
    target.trailing = path.trailing;
    path = target;
  }
  return path;
}

Path SimulatedWindows::State::seedPath(const std::string& text, const char* what) const {
  const std::optional<Path> path = resolveKept(text);
  if (!path) throw std::invalid_argument(std::string(what) + ": unusable path \"" + text + "\"");
  return *path;
}

auto SimulatedWindows::State::find(const Path& path) -> Entry* {
  const auto it = entries.find(path.key(cp));
  return it == entries.end() ? nullptr : &it->second;
}

auto SimulatedWindows::State::find(const Path& path) const -> const Entry* {
  const auto it = entries.find(path.key(cp));
  return it == entries.end() ? nullptr : &it->second;
}

bool SimulatedWindows::State::isDirectory(const Path& path) const {
  if (path.isRoot()) return volumeError(path) == kErrorSuccess;
  const Entry* entry = find(path);
  return entry != nullptr && entry->directory;
}

std::uint32_t SimulatedWindows::State::volumeError(const Path& path) const {
  if (!path.onDrive()) {
    return entries.count(path.rootPath().key(cp)) ? kErrorSuccess : kErrorBadNetPath;
  }
  const Drive& drive = drives[path.driveIndex()];
  if (!drive.present) return kErrorPathNotFound;
  return drive.hasMedia ? kErrorSuccess : kErrorNotReady;
}

std::uint32_t SimulatedWindows::State::reachError(const Path& path) const {
  if (const std::uint32_t error = volumeError(path)) return error;
  if (path.parts.size() > 1 && !isDirectory(path.parent())) return kErrorPathNotFound;
  return kErrorSuccess;
}

std::uint32_t SimulatedWindows::State::reach(const Path& path) {
  goToVolume(path);
  return reachError(path);
}

void SimulatedWindows::State::goToVolume(const Path& path) {
  if (volumeError(path) == kErrorNotReady && (errorMode & kSemFailCriticalErrors) == 0) {
    prompts.push_back("There is no disk in the drive. Please insert a disk into drive " +
                      path.root);
  }
}

bool SimulatedWindows::State::takeRoom(std::uint64_t growth) {
  if (!faults.freeSpace) return true;
  if (growth > *faults.freeSpace) return false;
  *faults.freeSpace -= growth;
  return true;
}

void SimulatedWindows::State::giveRoom(std::uint64_t bytes) {
  if (faults.freeSpace) *faults.freeSpace += bytes;
}

void SimulatedWindows::State::dropName(const Entry& entry) {
  if (entry.isFile() && namesOf(entry.data.get()) == 1) giveRoom(entry.data->bytes.size());
}

std::string SimulatedWindows::State::displayPath(const Path& path) const {
  if (path.isRoot()) {
    const Entry* share = path.onDrive() ? nullptr : find(path);
    return share ? share->path : folded(cp, path.rootPath().text());
  }
  const Path parent = path.parent();
  std::string text = displayPath(parent);
  if (!endsWithSeparator(cp, text)) text += '\\';
  return text + path.parts.back();
}

void SimulatedWindows::State::makeDirectories(const Path& path, const char* what) {
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

OsHandle SimulatedWindows::State::newHandle(Handle handle) {
  const OsHandle value = nextHandle;
  nextHandle += 4;
  handles[value] = std::move(handle);
  return value;
}

auto SimulatedWindows::State::findHandle(OsHandle value, Kind kind) -> Handle* {
  const auto it = handles.find(value);
  return it != handles.end() && it->second.kind == kind ? &it->second : nullptr;
}

std::string SimulatedWindows::State::handlePath(const Handle& handle) const {
  const auto it = entries.find(handle.target);
  return it == entries.end() ? handle.target : it->second.path;
}

bool SimulatedWindows::State::isHeld(const FileData* data) const {
  return std::any_of(heldOpen.begin(), heldOpen.end(), [&](const auto& held) {
    const auto it = entries.find(held.first);
    return it != entries.end() && it->second.data.get() == data;
  });
}

bool SimulatedWindows::State::isOpen(const Entry* entry) const {
  if (entry == nullptr || !entry->isFile()) return false;
  if (isHeld(entry->data.get())) return true;
  return std::any_of(handles.begin(), handles.end(), [&](const auto& h) {
    return h.second.kind == Kind::file && h.second.data == entry->data;
  });
}

bool SimulatedWindows::State::replaceable(const Entry& entry) const {
  return !entry.directory && (ownAttributes(entry) & kAttributeReadOnly) == 0 && !isOpen(&entry);
}

bool SimulatedWindows::State::sharingConflict(const FileData* data, std::uint32_t access,
                                              std::uint32_t share) const {
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

// The order is Windows': it decides which error a caller sees.
std::uint32_t SimulatedWindows::State::openRefusal(const Path& path, const Entry* entry,
                                                   const OpenRequest& request) {
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
      if (!exists) return kErrorFileNotFound;
      break;
    default:
      return kErrorInvalidParameter;
  }
  if ((kept & kAttributeReadOnly) && writesData(request.access)) return kErrorAccessDenied;
  if (exists && sharingConflict(entry->data.get(), request.access, request.share)) {
    return kErrorSharingViolation;
  }
  return faults.openRefusal(path.key(cp), path.parent().key(cp), exists);
}

void SimulatedWindows::State::reopen(FileData& file, const OpenRequest& request) {
  if (request.disposition != kCreateAlways) return;
  giveRoom(file.bytes.size());
  file.bytes.clear();
  file.program.reset();
  file.attributes = (request.attributes & kKeptAttributes) | kAttributeArchive;
  lastError = kErrorAlreadyExists;
  noteResized(&file);
}

OsHandle SimulatedWindows::State::open(const char* name, const OpenRequest& request) {
  const std::optional<Path> named = resolve(name);
  if (!named) return failHandle(kErrorPathNotFound);
  if (const std::uint32_t error = reach(*named)) return failHandle(error);
  // A folder opens only with backup semantics, and then for nothing but its name and final path.
  const bool folder =
      (request.attributes & kFlagBackupSemantics) != 0 && request.disposition == kOpenExisting;
  if (named->isRoot()) {
    if (!folder) return failHandle(kErrorAccessDenied);
    lastError = kErrorSuccess;
    return newHandle(Handle{Kind::folder, named->key(cp), 0, 0, 0, std::nullopt, nullptr, {}});
  }
  // A symbolic link is followed to the name it points to, which is then opened as any other.
  const std::optional<Path> path = followLinks(*named);
  if (!path) return failHandle(kErrorCantResolveFilename);
  if (const std::uint32_t error = reach(*path)) return failHandle(error);
  const std::string key = path->key(cp);
  Entry* entry = find(*path);
  if (folder && entry != nullptr && entry->directory) {
    lastError = kErrorSuccess;
    return newHandle(Handle{Kind::folder, key, 0, 0, 0, std::nullopt, nullptr, {}});
  }
  if (named->trailing) return failHandle(kErrorInvalidName);
  if (const std::uint32_t error = openRefusal(*path, entry, request)) return failHandle(error);

  lastError = kErrorSuccess;
  if (entry == nullptr) {
    entry = &entries[key];
    *entry = Entry::file(displayPath(*path), {}, request.attributes | kAttributeArchive);
    noteCreated(*path);
  } else {
    reopen(*entry->data, request);
  }
  return newHandle(
      Handle{Kind::file, key, request.access, request.share, 0, std::nullopt, entry->data, {}});
}

std::optional<Path> SimulatedWindows::State::followLinks(Path path) const {
  for (int hops = 0; hops <= 63; ++hops) {
    const Entry* entry = path.isRoot() ? nullptr : find(path);
    if (entry == nullptr || !entry->isLink()) return path;
    path = *entry->linkTarget;
  }
  return std::nullopt;
}

auto SimulatedWindows::State::fileAt(const std::string& text) const -> const FileData* {
  std::optional<Path> path = resolveKept(text);
  if (path) path = followLinks(*path);
  const Entry* entry = path && !path->isRoot() ? find(*path) : nullptr;
  return entry != nullptr && entry->isFile() ? entry->data.get() : nullptr;
}

int SimulatedWindows::State::namesOf(const FileData* data) const {
  return static_cast<int>(std::count_if(entries.begin(), entries.end(), [&](const auto& entry) {
    return entry.second.data.get() == data;
  }));
}

std::uint32_t SimulatedWindows::State::ownAttributes(const Entry& entry) const {
  const Entry* shown = &entry;
  if (entry.isLink()) {
    if (entry.linkShowsReparse) {
      return kAttributeReparsePoint | (entry.directory ? kAttributeDirectory : kAttributeArchive);
    }
    const std::optional<Path> target = followLinks(*entry.linkTarget);
    shown = target ? find(*target) : nullptr;
    if (shown == nullptr) return kInvalidAttributes;
  }
  if (shown->directory) return kAttributeDirectory;
  return shown->data->attributes != 0 ? shown->data->attributes : kAttributeNormal;
}

std::optional<Path> SimulatedWindows::State::findImage(const char* application,
                                                       const char* commandLine) {
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

std::vector<Path> SimulatedWindows::State::searchFolders() const {
  std::vector<Path> folders;
  if (const std::optional<Path> module = resolveKept(moduleFileName)) {
    folders.push_back(module->parent());
  }
  folders.push_back(longForm(currentDirectory));
  for (const Path& folder : systemFolders()) folders.push_back(folder);
  for (const std::string& folder : searchPath) {
    if (const std::optional<Path> path = resolveKept(folder)) {
      folders.push_back(*path);
    }
  }
  return folders;
}

std::optional<Path> SimulatedWindows::State::existingFile(const char* name) {
  std::optional<Path> path = resolve(name);
  if (!path) return failPath(kErrorInvalidName);
  if (const std::uint32_t error = reachError(*path)) return failPath(error);
  if (find(*path) == nullptr) return failPath(kErrorFileNotFound);
  return path;
}

std::vector<Path> SimulatedWindows::State::systemFolders() const {
  std::vector<Path> folders;
  for (const char* folder : {kSystemFolder, "C:\\Windows\\System", "C:\\Windows"}) {
    folders.push_back(*resolveKept(folder));
  }
  return folders;
}

namespace {

// LoadLibraryExA's search flags; Windows takes more flags, which the simulation does not know.
constexpr std::uint32_t kDllLoadDir = 0x100;
constexpr std::uint32_t kApplicationDir = 0x200;
constexpr std::uint32_t kUserDirs = 0x400;
constexpr std::uint32_t kSystem32 = 0x800;
constexpr std::uint32_t kDefaultDirs = 0x1000;
constexpr std::uint32_t kSearchFlags =
    kDllLoadDir | kApplicationDir | kUserDirs | kSystem32 | kDefaultDirs;

}  // namespace

std::vector<Path> SimulatedWindows::State::libraryFolders(std::uint32_t flags) const {
  std::vector<Path> folders;
  const std::optional<Path> module = resolveKept(moduleFileName);
  if (flags == 0) {
    // The standard search, safe DLL search mode (the default since XP SP2): the current directory
    // after the system folders.
    if (module) folders.push_back(module->parent());
    for (const Path& folder : systemFolders()) folders.push_back(folder);
    folders.push_back(longForm(currentDirectory));
    for (const std::string& folder : searchPath) {
      if (const std::optional<Path> path = resolveKept(folder)) folders.push_back(*path);
    }
    return folders;
  }
  // No folder is ever added by AddDllDirectory here, so LOAD_LIBRARY_SEARCH_USER_DIRS adds none.
  if ((flags & (kApplicationDir | kDefaultDirs)) && module) folders.push_back(module->parent());
  if (flags & (kSystem32 | kDefaultDirs)) folders.push_back(systemFolders().front());
  return folders;
}

ModuleHandle SimulatedWindows::State::loadLibrary(std::string name, std::uint32_t flags) {
  if (flags & ~kSearchFlags) {
    throw std::invalid_argument("LoadLibraryExA: flags " + hex(flags) + " are not simulated");
  }
  if (flags != 0 && !hasLibrarySearchFlags) return failModule(kErrorInvalidParameter);
  const bool fullPath = (name.size() > 2 && name[1] == ':' && isSeparator(name[2])) ||
                        (name.size() > 1 && isSeparator(name[0]) && isSeparator(name[1]));
  if (fullPath) {
    const std::optional<Path> path = resolve(name.c_str());
    if (!path) return failModule(kErrorInvalidName);
    if (reachError(*path) != kErrorSuccess || find(*path) == nullptr) {
      return failModule(kErrorModNotFound);
    }
    return loadLibraryFile(*path);
  }
  // LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR only with a full path; a relative one the simulation does not
  // search for.
  if (flags & kDllLoadDir) return failModule(kErrorInvalidParameter);
  if (fileNameOffset(cp, name) != 0) {
    throw std::invalid_argument("LoadLibraryExA: a relative path is not simulated: " + name);
  }
  // A bare name without an extension gets ".dll".
  if (name.find('.') == std::string::npos) name += ".dll";

  // A library of that file name already loaded is the one, wherever it came from.
  const std::string wanted = folded(cp, name);
  for (auto& [key, lib] : libraries) {
    if (lib.references > 0 && key.substr(fileNameOffset(cp, key)) == wanted) {
      ++lib.references;
      return lib.module;
    }
  }
  for (const Path& folder : libraryFolders(flags)) {
    const Path candidate = folder.child(name);
    if (reachError(candidate) == kErrorSuccess && find(candidate) != nullptr) {
      return loadLibraryFile(candidate);
    }
  }
  return failModule(kErrorModNotFound);
}

ModuleHandle SimulatedWindows::State::loadLibraryFile(const Path& path) {
  const std::optional<Path> target = followLinks(path);
  const Entry* entry = target ? find(*target) : nullptr;
  if (entry == nullptr) return failModule(kErrorModNotFound);
  const auto it = libraries.find(target->key(cp));
  if (entry->directory || it == libraries.end()) return failModule(kErrorBadExeFormat);
  Library& lib = it->second;
  ++lib.attempts;
  if (lib.firstLoadingAttempt <= 0 || lib.attempts < lib.firstLoadingAttempt) {
    return failModule(kErrorModNotFound);
  }
  if (lib.module == 0) {
    lib.module = nextModule;
    nextModule += 0x10000;
  }
  ++lib.references;
  return lib.module;
}

auto SimulatedWindows::State::libraryOf(ModuleHandle module) -> Library* {
  for (auto& [key, lib] : libraries) {
    if (module != 0 && lib.module == module) return &lib;
  }
  return nullptr;
}
