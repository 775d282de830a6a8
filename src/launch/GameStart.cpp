#include "launch/GameStart.h"

#include "common/ByteString.h"
#include "platform/AnsiPath.h"

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

// Starts the game by full path: the one beside the launcher when there is anything of that name
// there, as the system's search would (and then it alone, whether it starts or not); otherwise
// the one in the install folder. Never one from the system folders or PATH, where the search
// would go on. The game gets its bare file name as its command line and the install folder as its
// current directory.
bool StartByFullPath(Platform& os, const char* installFolder, ProcessInfo& process) {
  char path[kMaxPath];
  const bool besideLauncher = GameBesideLauncher(os, path) && Exists(os, path);
  if (!besideLauncher && !JoinBytes(path, kMaxPath, installFolder, kGameExecutable)) return false;
  return os.startProcess(path, kGameExecutable, kNormalPriorityClass, installFolder, process);
}

}  // namespace

bool StartGame(Platform& os, const char* installFolder) {
  os.changeDirectory(installFolder);
  ProcessInfo process;
  if (!StartByFullPath(os, installFolder, process)) return false;
  // The game runs on unattached: its thread handle goes before the wait, its process after. The
  // wait's result does not matter: a game that cannot be waited for has started all the same.
  os.closeHandle(process.thread);
  os.waitForInputIdle(process.process, kInfinite);
  os.closeHandle(process.process);
  return true;
}
