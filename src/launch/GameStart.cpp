#include "launch/GameStart.h"

#include "app/LaunchRecord.h"
#include "common/ByteString.h"
#include "platform/AnsiPath.h"
#include "settings/SettingsFile.h"

namespace {

// The game's path beside the launcher itself. False when the launcher's path is cut short. The
// path is in the system's code page, which decides where its last separator is; a launcher whose
// path the code page cannot spell is taken by its short form, where it has one.
bool GameBesideLauncher(Platform& os, char (&path)[kMaxPath]) {
  const std::uint32_t length =
      UsableAnsiPath(os, ProcessPath::launcher, path, os.moduleFileName(path, kMaxPath));
  if (length == 0 || length >= kMaxPath) return false;
  char* lastSlash = LastSeparator(path, [&os](char c) { return os.isLeadByte(c); });
  if (lastSlash == nullptr) return false;
  lastSlash[1] = '\0';
  return AppendBytes(path, kMaxPath, kGameExecutable);
}

// Whether anything of that name is there, a file that is no program or a folder included: the
// system's search for a program stops at the first such entry.
bool Exists(Platform& os, const char* path) {
  return os.fileAttributes(path) != kInvalidAttributes;
}

// Starts the game at `path`. The game gets its bare file name as its command line and the install
// folder as its current directory.
bool StartImage(LaunchRecord& record, const char* path) {
  return record.platform.startProcess(path, kGameExecutable, kNormalPriorityClass,
                                      record.installFolder, record.process);
}

// Starts the game by full path: the one beside the launcher when there is anything of that name
// there, as the system's search would (and then it alone, whether it starts or not); otherwise
// the one in the install folder. Never one from the system folders or PATH, where the search
// would go on.
bool StartByFullPath(LaunchRecord& record) {
  char besideLauncher[kMaxPath];
  if (GameBesideLauncher(record.platform, besideLauncher) &&
      Exists(record.platform, besideLauncher)) {
    return StartImage(record, besideLauncher);
  }
  char inInstallFolder[kMaxPath];
  if (!JoinBytes(inInstallFolder, kMaxPath, record.installFolder, kGameExecutable)) return false;
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
  // The game runs on unattached: its thread handle goes before the wait, its process after. The
  // wait's result does not matter: a game that cannot be waited for has started all the same.
  os.closeHandle(record.process.thread);
  os.waitForInputIdle(record.process.process, kInfinite);
  os.closeHandle(record.process.process);
}
