// The simulated Windows' Platform calls, in the order of Platform.h. Each logs its call, then
// makes the checks the real call makes, in the order it makes them, on the machine of
// MachineState.h.
#include <algorithm>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "simulated/MachineState.h"

using namespace simulated;

// --- Libraries, pauses, process state ------------------------------------------------------------

ModuleHandle SimulatedWindows::loadLibrary(const char* name) {
  const std::string text = name ? name : "";
  calls_.push_back("LoadLibraryA " + text);
  return state_->loadLibrary(text, 0);
}

ModuleHandle SimulatedWindows::loadLibraryEx(const char* name, std::uint32_t flags) {
  const std::string text = name ? name : "";
  calls_.push_back("LoadLibraryExA " + text + " | " + hex(flags));
  return state_->loadLibrary(text, flags);
}

bool SimulatedWindows::hasLibrarySearchFlags() {
  calls_.push_back("GetProcAddress AddDllDirectory");
  return state_->hasLibrarySearchFlags;
}

void SimulatedWindows::freeLibrary(ModuleHandle module) {
  State::Library* lib = state_->libraryOf(module);
  calls_.push_back("FreeLibrary " + (lib ? lib->path : hex(module)));
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
  const std::optional<std::string>& reported = state_->faults.reportedDirectory;
  if (reported && reported->empty()) return 0;
  return copyOut(reported ? *reported : ansiForm(state_->cp, state_->currentDirectory.text()), size,
                 buffer);
}

bool SimulatedWindows::changeDirectory(const char* path) {
  calls_.push_back(std::string("SetCurrentDirectoryA ") + (path ? path : ""));
  State& s = *state_;
  if (s.faults.changeDirectoryFails) return s.fail(kErrorAccessDenied);
  // Kept as given: a short name stays short in what GetCurrentDirectoryA answers.
  const std::optional<Path> given = s.given(path);
  if (!given) return s.fail(kErrorInvalidName);
  const Path folder = s.longForm(*given);
  if (const std::uint32_t error = s.reach(folder)) return s.fail(error);
  if (!s.isDirectory(folder)) {
    return s.fail(s.find(folder) ? kErrorDirectory : kErrorFileNotFound);
  }
  s.currentDirectory = *given;
  s.currentDirectory.trailing = false;
  return true;
}

std::uint32_t SimulatedWindows::moduleFileName(char* buffer, std::uint32_t size) {
  calls_.push_back("GetModuleFileNameA");
  const std::string path = ansiForm(state_->cp, state_->moduleFileName);
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

// --- Paths in UTF-16 -----------------------------------------------------------------------------

namespace {

// As copyOut, in UTF-16 units.
std::uint32_t copyOutWide(const std::u16string& text, std::uint32_t size, char16_t* buffer) {
  if (text.size() + 1 > size) return static_cast<std::uint32_t>(text.size() + 1);
  std::copy(text.begin(), text.end(), buffer);
  buffer[text.size()] = u'\0';
  return static_cast<std::uint32_t>(text.size());
}

}  // namespace

std::uint32_t SimulatedWindows::currentDirectoryWide(std::uint32_t size, char16_t* buffer) {
  calls_.push_back("GetCurrentDirectoryW");
  if (injectedFailure()) return 0;
  return copyOutWide(wideForm(state_->cp, state_->currentDirectory.text()), size, buffer);
}

std::uint32_t SimulatedWindows::moduleFileNameWide(char16_t* buffer, std::uint32_t size) {
  calls_.push_back("GetModuleFileNameW");
  if (injectedFailure() || size == 0) return 0;
  const std::u16string path = wideForm(state_->cp, state_->moduleFileName);
  if (path.size() < size) return copyOutWide(path, size, buffer);
  // Cut short, as GetModuleFileNameA.
  std::copy(path.begin(), path.begin() + (size - 1), buffer);
  buffer[size - 1] = u'\0';
  state_->fail(kErrorInsufficientBuffer);
  return size;
}

// Every component is looked up, so the path must exist. A component with a short name is
// answered by it, one without as it was given.
std::uint32_t SimulatedWindows::shortPathName(const char16_t* path, char16_t* buffer,
                                              std::uint32_t size) {
  State& s = *state_;
  const std::string kept = path ? keptForm(s.cp, path) : std::string();
  calls_.push_back("GetShortPathNameW " + kept);
  if (injectedFailure()) return 0;
  const std::optional<Path> given = resolvePath(s.cp, kept, s.currentDirectory);  // as given
  if (path == nullptr || !given) return s.fail(kErrorInvalidParameter);
  const Path full = s.longForm(*given);
  if (const std::uint32_t error = s.reach(full)) return s.fail(error);
  if (!full.isRoot() && s.find(full) == nullptr) return s.fail(kErrorFileNotFound);
  Path answer = *given;
  Path step{full.root, {}, false};
  for (std::size_t i = 0; i < full.parts.size(); ++i) {
    step.parts.push_back(full.parts[i]);
    const auto shortName = s.shortNames.find(step.key(s.cp));
    if (shortName != s.shortNames.end()) answer.parts[i] = shortName->second;
  }
  return copyOutWide(wideForm(s.cp, answer.text()), size, buffer);
}

std::uint32_t SimulatedWindows::toAnsiNoBestFit(const char16_t* text, char* buffer,
                                                std::uint32_t size, bool& usedDefault) {
  State& s = *state_;
  const std::u16string wide = text ? text : u"";
  calls_.push_back("WideCharToMultiByte " + keptForm(s.cp, wide));
  if (injectedFailure()) return 0;
  usedDefault = false;
  const std::string ansi = toAnsiExactly(s.cp, wide, usedDefault);
  if (text == nullptr) return s.fail(kErrorInvalidParameter);
  if (ansi.size() + 1 > size) return s.fail(kErrorInsufficientBuffer);
  std::memcpy(buffer, ansi.c_str(), ansi.size() + 1);
  return static_cast<std::uint32_t>(ansi.size() + 1);
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
  const std::optional<ProgramKind> program = found->data->program;
  if (!program || *program == ProgramKind::broken) {
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
  info.process = s.newHandle(State::Handle{State::Kind::process, shown, 0, 0, 0, program, {}, {}});
  info.thread =
      s.newHandle(State::Handle{State::Kind::thread, shown, 0, 0, 0, std::nullopt, {}, {}});
  info.processId = s.nextProcessId;
  info.threadId = s.nextProcessId + 4;
  s.nextProcessId += 8;
  return true;
}

// A GUI program is ready for input at once; a console program has no message queue, so the wait
// fails at once.
std::uint32_t SimulatedWindows::waitForInputIdle(OsHandle process, std::uint32_t milliseconds) {
  const State::Handle* handle = state_->findHandle(process, State::Kind::process);
  calls_.push_back(
      (handle ? "WaitForInputIdle process" : "WaitForInputIdle invalid " + hex(process)) + " | " +
      hex(milliseconds));
  if (handle == nullptr) {
    state_->fail(kErrorInvalidHandle);
    return kWaitFailed;
  }
  if (handle->program == ProgramKind::console) {
    state_->fail(kErrorAccessDenied);  // what Windows reports for a console process
    return kWaitFailed;
  }
  return 0;
}

bool SimulatedWindows::closeHandle(OsHandle handle) {
  State& s = *state_;
  const auto it = s.handles.find(handle);
  if (it == s.handles.end()) {
    calls_.push_back("CloseHandle invalid " + hex(handle));
    return s.fail(kErrorInvalidHandle);
  }
  const State::Handle closed = it->second;
  switch (closed.kind) {
    case State::Kind::search:  // FindClose's, not CloseHandle's
      calls_.push_back("CloseHandle search " + closed.target);
      return s.fail(kErrorInvalidHandle);
    case State::Kind::process:
      s.handles.erase(it);
      calls_.push_back("CloseHandle process");
      return true;
    case State::Kind::thread:
      s.handles.erase(it);
      calls_.push_back("CloseHandle thread");
      return true;
    case State::Kind::folder:
      s.handles.erase(it);
      calls_.push_back("CloseHandle folder " + s.handlePath(closed));
      return true;
    case State::Kind::file:
      s.handles.erase(it);
      break;
  }
  calls_.push_back("CloseHandle file " + s.handlePath(closed));
  if (injectedFailure()) return false;
  // A failed close still releases the handle; what the disk did not take is lost.
  if (s.faults.closeFails.count(closed.target)) return s.fail(kErrorHandleDiskFull);
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
  // The text only, as Windows: nothing is looked up, and a short name stays short.
  const std::optional<Path> path = s.given(name);
  if (!path) {
    s.fail(kErrorInvalidName);
    return 0;
  }
  const std::string text = ansiForm(s.cp, path->text());
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

namespace {

// Whether `name` matches `pattern`, '*' any run of characters and '?' any one; both folded.
bool matches(const char* pattern, const char* name) {
  if (*pattern == '\0') return *name == '\0';
  if (*pattern == '*')
    return matches(pattern + 1, name) || (*name != '\0' && matches(pattern, name + 1));
  return *name != '\0' && (*pattern == '?' || *pattern == *name) && matches(pattern + 1, name + 1);
}

}  // namespace

// The names in the pattern's folder that its last component matches, in the order of their keys.
OsHandle SimulatedWindows::findFirstFile(const char* pattern, char* name, std::uint32_t size) {
  const std::string text = pattern ? pattern : "";
  calls_.push_back("FindFirstFileA " + text);
  if (injectedFailure()) return kInvalidHandle;
  State& s = *state_;
  const std::optional<Path> path = s.resolve(pattern);
  if (!path) return s.failHandle(kErrorInvalidName);
  if (const std::uint32_t error = s.reach(*path)) return s.failHandle(error);
  if (path->isRoot() || path->trailing) return s.failHandle(kErrorFileNotFound);
  std::string folder = path->parent().key(s.cp);
  if (!endsWithSeparator(s.cp, folder)) folder += '\\';
  const std::string wanted = folded(s.cp, path->parts.back());
  State::Handle search{State::Kind::search, text, 0, 0, 0, std::nullopt, nullptr, {}};
  for (const auto& [key, entry] : s.entries) {
    if (key.compare(0, folder.size(), folder) == 0 && key.size() > folder.size() &&
        nextSeparator(s.cp, key, folder.size()) == key.size() &&
        matches(wanted.c_str(), key.c_str() + folder.size())) {
      search.matches.push_back(ansiForm(s.cp, entry.path.substr(fileNameOffset(s.cp, entry.path))));
    }
  }
  if (search.matches.empty()) return s.failHandle(kErrorFileNotFound);
  const OsHandle handle = s.newHandle(search);
  findNextFile(handle, name, size);
  calls_.pop_back();  // the first match is FindFirstFileA's
  return handle;
}

bool SimulatedWindows::findNextFile(OsHandle search, char* name, std::uint32_t size) {
  State& s = *state_;
  State::Handle* h = s.findHandle(search, State::Kind::search);
  calls_.push_back("FindNextFileA " + (h ? h->target : "invalid " + hex(search)));
  if (h == nullptr) return s.fail(kErrorInvalidHandle);
  if (h->matches.empty()) return s.fail(kErrorNoMoreFiles);
  copyOut(h->matches.front(), size, name);
  h->matches.erase(h->matches.begin());
  s.lastError = kErrorSuccess;
  return true;
}

bool SimulatedWindows::findClose(OsHandle search) {
  State& s = *state_;
  const State::Handle* h = s.findHandle(search, State::Kind::search);
  calls_.push_back("FindClose " + (h ? h->target : "invalid " + hex(search)));
  if (h == nullptr) return s.fail(kErrorInvalidHandle);
  s.handles.erase(search);
  return true;
}

OsHandle SimulatedWindows::createFile(const char* name, std::uint32_t access,
                                      std::uint32_t shareMode, std::uint32_t disposition,
                                      std::uint32_t attributes) {
  calls_.push_back(std::string("CreateFileA ") + (name ? name : "") + " | access=" + hex(access) +
                   " share=" + hex(shareMode) + " disposition=" + std::to_string(disposition));
  if (injectedFailure()) return kInvalidHandle;
  // What happens as this file is opened (whenOpened), once.
  std::optional<simulated::Faults::WhenOpened>& trigger = state_->faults.whenOpened;
  const std::string opened = name ? name : "";
  if (trigger && opened.size() >= trigger->nameEnd.size() &&
      opened.compare(opened.size() - trigger->nameEnd.size(), trigger->nameEnd.size(),
                     trigger->nameEnd) == 0 &&
      (trigger->access == 0 || trigger->access == access)) {
    const std::function<void()> action = std::move(trigger->action);
    trigger.reset();
    action();
  }
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
  const auto fault = s.faults.readFailsAt.find(h->target);
  if (fault != s.faults.readFailsAt.end() && fault->second >= start &&
      fault->second < start + count) {
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
  std::optional<std::uint64_t>& writeRoom = s.faults.writeRoom;
  const std::optional<std::uint64_t>& freeSpace = s.faults.freeSpace;
  if (writeRoom) count = std::min(count, *writeRoom);
  if (freeSpace) {
    // Bytes the file already has take no room; a gap before the position and the rest must fit.
    const std::uint64_t owned = before > h->position ? before - h->position : 0;
    const std::uint64_t gap = h->position > before ? h->position - before : 0;
    count = std::min(count, owned + (*freeSpace > gap ? *freeSpace - gap : 0));
  }
  if (writeRoom) *writeRoom -= count;
  const std::uint64_t end = h->position + count;
  if (count > 0 && end > before) {
    s.takeRoom(end - before);
    bytes.resize(end);
    s.noteResized(h->data.get());
  }
  bytes.replace(h->position, count, static_cast<const char*>(data), count);
  if (count > 0) s.noteWritten(h->data.get(), h->position, end);
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
  if (s.faults.flushError != kErrorSuccess) return s.fail(s.faults.flushError);
  s.noteFlushed(h->data.get());
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
  s.noteResized(h->data.get());
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
  if (h == nullptr) h = s.findHandle(file, State::Kind::folder);
  calls_.push_back("GetFinalPathNameByHandleA " + (h ? s.handlePath(*h) : "invalid " + hex(file)));
  if (!s.hasFinalPathName) return s.fail(kErrorCallNotImplemented);
  if (injectedFailure()) return 0;
  if (h == nullptr) return s.fail(kErrorInvalidHandle);
  const std::string path = ansiForm(s.cp, s.handlePath(*h));
  const std::string text =
      startsWith(path, "\\\\") ? "\\\\?\\UNC\\" + path.substr(2) : "\\\\?\\" + path;
  return copyOut(text, size, buffer);
}

// The file system of the volume the file's name is on, behind every link and subst drive.
bool SimulatedWindows::fileSystemName(OsHandle file, char* name, std::uint32_t size) {
  State& s = *state_;
  const State::Handle* h = s.findHandle(file, State::Kind::file);
  calls_.push_back("GetVolumeInformationByHandleW " +
                   (h ? s.handlePath(*h) : "invalid " + hex(file)));
  if (!s.hasFinalPathName) return s.fail(kErrorCallNotImplemented);  // neither came before Vista
  if (injectedFailure()) return false;
  if (h == nullptr) return s.fail(kErrorInvalidHandle);
  static const char* const names[] = {"NTFS", "FAT32", "exFAT"};
  const bool drive = h->target[1] == ':';  // else a share, of a server's NTFS
  const FileSystem kind =
      drive ? s.drives[upperAscii(h->target[0]) - 'A'].fileSystem : FileSystem::ntfs;
  copyOut(names[static_cast<int>(kind)], size, name);
  return true;
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
    if (s.lastError != kErrorFileExists && s.lastError != kErrorSharingViolation) {
      // Wine 8.0 gives the name it tried all the same, without its file.
      if (!s.faults.tempNamesWithoutFiles) return 0;
      std::memcpy(buffer, name.str().c_str(), name.str().size() + 1);
      return number;
    }
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

// The order of the checks is Windows': it decides which error a caller sees.
bool SimulatedWindows::renameOver(const char* source, const char* target) {
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
  if (const std::uint32_t error = s.faults.renameRefusal(from->key(cp), from->parent().key(cp),
                                                         to->key(cp), to->parent().key(cp))) {
    return s.fail(error);
  }
  if (s.isOpen(moving)) return s.fail(kErrorSharingViolation);

  // A name is renamed, never what it links to: over a symbolic link, the link goes and its target
  // stays as it was; over one name of a file with several, the others keep the old file.
  const State::Entry* replaced = from->key(cp) == to->key(cp) ? nullptr : s.find(*to);
  if (replaced != nullptr && !s.replaceable(*replaced)) return s.fail(kErrorAccessDenied);
  if (replaced != nullptr) s.dropName(*replaced);
  const bool replacing = replaced != nullptr;
  State::Entry moved = *moving;
  s.entries.erase(from->key(cp));
  moved.path = s.displayPath(*to);
  s.entries[to->key(cp)] = std::move(moved);
  s.noteRenamed(*from, *to, replacing);
  return true;
}

// The order of the checks is Windows': it decides which error a caller sees.
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
  if (entry->directory || (s.ownAttributes(*entry) & kAttributeReadOnly)) {
    return s.fail(kErrorAccessDenied);
  }
  if (const std::uint32_t error = s.faults.deleteRefusal(file->key(cp), file->parent().key(cp))) {
    return s.fail(error);
  }
  if (s.isOpen(entry)) return s.fail(kErrorSharingViolation);
  s.dropName(*entry);
  s.entries.erase(file->key(cp));
  s.noteRemoved(file->key(cp));
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
  if (!s.faults.failingCall || *s.faults.failingCall != calls_.size() - 1) return false;
  s.lastError = s.faults.failingCallError;
  return true;
}
