#include "launch/GameStart.h"

#include <cstring>

#include "app/LaunchRecord.h"
#include "common/ByteString.h"
#include "settings/SettingsFile.h"

namespace {

// The game's path beside the launcher itself. False when the launcher's path is cut short.
bool GameBesideLauncher(Platform& os, char (&path)[kMaxPath]) {
  const std::uint32_t length = os.moduleFileName(path, kMaxPath);
  if (length == 0 || length >= kMaxPath) return false;
  char* lastSlash = LastSeparator(path);
  if (lastSlash == nullptr) return false;
  lastSlash[1] = '\0';
  return AppendBytes(path, kMaxPath, kGameExecutable);
}

bool IsFile(Platform& os, const char* path) {
  const std::uint32_t attributes = os.fileAttributes(path);
  return attributes != kInvalidAttributes && (attributes & kAttributeDirectory) == 0;
}

// Starts the game image at `path`, which must exist. The game gets its bare file name as its
// command line and the install folder as its current directory.
bool StartImage(LaunchRecord& record, const char* path) {
  if (!IsFile(record.platform, path)) return false;
  return record.platform.startProcess(path, kGameExecutable, kNormalPriorityClass,
                                      record.installFolder, record.process);
}

// Starts the game by full path, beside the launcher first, then in the install folder. Never by
// the system's search, which would also look in the system folders and along PATH.
bool StartByFullPath(LaunchRecord& record) {
  char besideLauncher[kMaxPath];
  const bool haveBesideLauncher = GameBesideLauncher(record.platform, besideLauncher);
  if (haveBesideLauncher && StartImage(record, besideLauncher)) return true;
  char inInstallFolder[kMaxPath];
  if (!JoinBytes(inInstallFolder, kMaxPath, record.installFolder, kGameExecutable)) return false;
  if (haveBesideLauncher && std::strcmp(inInstallFolder, besideLauncher) == 0) return false;
  return StartImage(record, inInstallFolder);
}

}  // namespace

void StartGame(LaunchRecord& record) {
  Platform& os = record.platform;
  os.changeDirectory(record.installFolder);
  if (!StartByFullPath(record)) {
    WriteBareSettings(record);
    return;
  }
  // The game runs on unattached: its thread handle goes before the wait, its process after.
  os.closeHandle(record.process.thread);
  os.waitForInputIdle(record.process.process, kInfinite);
  os.closeHandle(record.process.process);
}
