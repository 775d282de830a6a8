// The simulated Windows from the test's side: the machine set up, faults injected, and what
// happened read back.
#include <algorithm>
#include <sstream>
#include <stdexcept>

#include "simulated/MachineState.h"

using namespace simulated;

SimulatedWindows::SimulatedWindows() : state_(std::make_unique<State>()) {
  addDrive('C', kDriveFixed);
}

SimulatedWindows::~SimulatedWindows() = default;

// --- Seeding -------------------------------------------------------------------------------------

void SimulatedWindows::addDrive(char letter, std::uint32_t type, bool hasMedia,
                                std::uint32_t fileSystemFlags) {
  if (!isAsciiLetter(letter)) throw std::invalid_argument("addDrive: no drive letter");
  state_->drives[upperAscii(letter) - 'A'] =
      State::Drive{true,
                   type,
                   hasMedia,
                   fileSystemFlags,
                   type == kDriveRemovable ? FileSystem::fat : FileSystem::ntfs,
                   std::nullopt};
}

void SimulatedWindows::setFileSystem(char letter, FileSystem fileSystem) {
  State::Drive& drive = state_->drives.at(upperAscii(letter) - 'A');
  if (!drive.present) throw std::invalid_argument("setFileSystem: no drive");
  drive.fileSystem = fileSystem;
}

void SimulatedWindows::addSubstDrive(char letter, const std::string& folder) {
  State& s = *state_;
  const Path target = s.seedPath(folder, "addSubstDrive");
  if (!target.onDrive() || !s.isDirectory(target)) {
    throw std::invalid_argument("addSubstDrive: no folder on a drive: " + folder);
  }
  State::Drive drive = s.drives[target.driveIndex()];
  drive.substOf = target;
  s.drives.at(upperAscii(letter) - 'A') = drive;
}

void SimulatedWindows::addJunction(const std::string& path, const std::string& target) {
  State& s = *state_;
  const Path name = s.seedPath(path, "addJunction");
  const Path to = s.seedPath(target, "addJunction");
  if (name.isRoot() || s.find(name) != nullptr || !s.isDirectory(to)) {
    throw std::invalid_argument("addJunction: the name is taken, or no folder at " + target);
  }
  s.makeDirectories(name.parent(), "addJunction");
  s.entries[name.key(s.cp)] = State::Entry{s.displayPath(name), true, {}, to, true};
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
  State& s = *state_;
  const std::optional<Path> file = s.followLinks(s.seedPath(path, "release"));
  if (file) s.heldOpen.erase(file->key(s.cp));
}

void SimulatedWindows::setCurrentDirectoryPath(const std::string& path) {
  State& s = *state_;
  s.makeDirectories(s.seedPath(path, "setCurrentDirectoryPath"), "setCurrentDirectoryPath");
  // Kept as given, short names too, as SetCurrentDirectoryA keeps it.
  Path folder = *resolvePath(s.cp, path, s.currentDirectory);
  folder.trailing = false;
  s.currentDirectory = folder;
}

void SimulatedWindows::setModuleFileName(const std::string& path) {
  state_->moduleFileName = path;
}

std::string SimulatedWindows::name(const std::u16string& text) const {
  return keptForm(state_->cp, text);
}

void SimulatedWindows::setShortName(const std::string& path, const std::string& shortName) {
  State& s = *state_;
  const Path name = s.seedPath(path, "setShortName");
  if (name.isRoot() || s.find(name) == nullptr) {
    throw std::invalid_argument("setShortName: nothing at " + path);
  }
  s.longNames[name.parent().child(shortName).key(s.cp)] = name.parts.back();
  s.shortNames[name.key(s.cp)] = shortName;
}

void SimulatedWindows::addLibrary(const std::string& path, int firstLoadingAttempt) {
  addFile(path, "MZ stand-in library");
  State::Library& lib = state_->libraries[key(path, "addLibrary")];
  lib.path = path;
  lib.firstLoadingAttempt = firstLoadingAttempt;
}

void SimulatedWindows::addExecutable(const std::string& path, bool starts) {
  addExecutable(path, starts ? ProgramKind::gui : ProgramKind::broken);
}

void SimulatedWindows::addExecutable(const std::string& path, ProgramKind kind) {
  addFile(path, "MZ stand-in program");
  state_->find(state_->seedPath(path, "addExecutable"))->data->program = kind;
}

void SimulatedWindows::setCodePage(std::uint32_t codePage) {
  if (codePage != 932 && codePage != 1252) throw std::invalid_argument("setCodePage: 932 or 1252");
  if (!state_->entries.empty()) throw std::logic_error("setCodePage: before the first file");
  state_->cp.id = codePage;
}

void SimulatedWindows::setSearchPath(const std::vector<std::string>& folders) {
  state_->searchPath = folders;
}

void SimulatedWindows::removeLibrarySearchFlags() {
  state_->hasLibrarySearchFlags = false;
}

void SimulatedWindows::removeFinalPathName() {
  state_->hasFinalPathName = false;
}

std::string SimulatedWindows::key(const std::string& path, const char* what) const {
  return state_->seedPath(path, what).key(state_->cp);
}

// --- Faults --------------------------------------------------------------------------------------

void SimulatedWindows::setFreeSpace(std::uint64_t bytes) {
  state_->faults.freeSpace = bytes;
}

void SimulatedWindows::failWritesAfter(std::uint64_t bytes) {
  state_->faults.writeRoom = bytes;
}

void SimulatedWindows::failReadAt(const std::string& path, std::uint64_t offset) {
  state_->faults.readFailsAt[key(path, "failReadAt")] = offset;
}

void SimulatedWindows::failCloseOf(const std::string& path) {
  state_->faults.closeFails.insert(key(path, "failCloseOf"));
}

void SimulatedWindows::failFlush(std::uint32_t error) {
  state_->faults.flushError = error;
}

void SimulatedWindows::failChangeDirectory() {
  state_->faults.changeDirectoryFails = true;
}

void SimulatedWindows::failCall(std::size_t number, std::uint32_t error) {
  state_->faults.failingCall = number;
  state_->faults.failingCallError = error;
}

void SimulatedWindows::refuseRenamesInto(const std::string& target, std::uint32_t error,
                                         int times) {
  state_->faults.renamesInto[key(target, "refuseRenamesInto")] = {error, times};
}

void SimulatedWindows::refuseNewFiles(const std::string& folder) {
  state_->faults.foldersRefusingNewFiles.insert(key(folder, "refuseNewFiles"));
}

void SimulatedWindows::holdForNextCalls(const std::string& path, int calls) {
  state_->faults.heldForCalls[key(path, "holdForNextCalls")] = calls;
}

void SimulatedWindows::holdWhenOpened(const std::string& nameEnd, const std::string& path,
                                      std::uint32_t access) {
  whenOpened(nameEnd, access, [this, path] { holdOpen(path); });
}

void SimulatedWindows::writeWhenOpened(const std::string& nameEnd, const std::string& path,
                                       const std::string& bytes) {
  whenOpened(nameEnd, 0, [this, path, bytes] { addFile(path, bytes); });
}

void SimulatedWindows::whenOpened(const std::string& nameEnd, std::uint32_t access,
                                  std::function<void()> action) {
  state_->faults.whenOpened = simulated::Faults::WhenOpened{nameEnd, access, std::move(action)};
}

void SimulatedWindows::reportCurrentDirectory(const std::string& text) {
  state_->faults.reportedDirectory = text;
}

void SimulatedWindows::answerTempNamesAsWine() {
  state_->faults.tempNamesWithoutFiles = true;
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
  const std::optional<Path> name = state_->resolveKept(path);
  const State::Entry* entry = name && !name->isRoot() ? state_->find(*name) : nullptr;
  return entry != nullptr && entry->isLink() ? entry->linkTarget->text() : std::string();
}

std::uint32_t SimulatedWindows::attributesOf(const std::string& path) const {
  const std::optional<Path> file = state_->resolveKept(path);
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
      case State::Kind::folder:
        open.push_back("folder:" + state_->handlePath(h));
        break;
      case State::Kind::search:
        open.push_back("search:" + h.target);
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
    for (int i = 0; i < lib.references; ++i) open.push_back("library:" + lib.path);
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
  const auto it = state_->libraries.find(key(library, "loadAttempts"));
  return it == state_->libraries.end() ? 0 : it->second.attempts;
}

int SimulatedWindows::freeCount(const std::string& library) const {
  const auto it = state_->libraries.find(key(library, "freeCount"));
  return it == state_->libraries.end() ? 0 : it->second.frees;
}

std::string SimulatedWindows::libraryPath(ModuleHandle module) const {
  for (const auto& [key, lib] : state_->libraries) {
    if (module != 0 && lib.module == module) return lib.path;
  }
  return std::string();
}

void SimulatedWindows::setLastError(std::uint32_t error) {
  state_->lastError = error;
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
    out << "  attributes " << hex(e.data->attributes) << (e.data->program ? " program" : "")
        << (names > 1 ? "  names " + std::to_string(names) : "") << "  " << quoted(e.data->bytes)
        << '\n';
  }
  for (const auto& [key, shortName] : s.shortNames)
    out << "  short name " << shortName << ": " << key << '\n';
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
