#include "launch/GraphicsProbe.h"

#include "common/ByteString.h"
#include "platform/AnsiPath.h"

namespace {

// Beside the launcher, then the system folder; dependencies alike.
constexpr std::uint32_t kBesideLauncherThenSystem =
    kLoadLibrarySearchApplicationDir | kLoadLibrarySearchSystem32;
// The library named by its full path; its dependencies in its own folder, then the system folder.
constexpr std::uint32_t kNamedFileThenSystem =
    kLoadLibrarySearchDllLoadDir | kLoadLibrarySearchSystem32;

// The library's full path in the current directory. False when it does not fit. A folder whose
// name the code page cannot spell is taken by its short form, where it has one.
bool InCurrentDirectory(Platform& os, char (&path)[kMaxPath]) {
  const std::uint32_t length =
      UsableAnsiPath(os, ProcessPath::currentDirectory, path, os.currentDirectory(kMaxPath, path));
  if (length == 0 || length >= kMaxPath) return false;
  // Only a root ends in a backslash already.
  const bool root =
      LastSeparator(path, [&os](char c) { return os.isLeadByte(c); }) == path + length - 1;
  return (root || AppendBytes(path, kMaxPath, "\\")) &&
         AppendBytes(path, kMaxPath, kGraphicsLibrary);
}

}  // namespace

ModuleHandle LoadGraphicsLibrary(Platform& os, bool searchFlags) {
  // XP, Vista, and 7 without its update: the system's own search, which goes on to PATH.
  if (!searchFlags) return os.loadLibrary(kGraphicsLibrary);
  const ModuleHandle found = os.loadLibraryEx(kGraphicsLibrary, kBesideLauncherThenSystem);
  if (found != 0) return found;
  // The current directory, which no search flag names (AddDllDirectory could add it, but for the
  // whole process and for every later load), by its full path. After the system folder, as the
  // system's own search takes it: a library planted in the folder the launcher was started in
  // never displaces the one DirectX installed.
  char path[kMaxPath];
  return InCurrentDirectory(os, path) ? os.loadLibraryEx(path, kNamedFileThenSystem) : 0;
}

bool ProbeGraphicsRuntime(Platform& os) {
  const bool searchFlags = os.hasLibrarySearchFlags();
  ModuleHandle library = LoadGraphicsLibrary(os, searchFlags);
  for (int retries = 0; library == 0; ++retries) {
    if (retries == kProbeRetryLimit) return false;
    os.pause(kProbeRetryPauseMs);
    library = LoadGraphicsLibrary(os, searchFlags);
  }
  // Only whether it loads counts; nothing of it is used.
  os.freeLibrary(library);
  return true;
}
