#include "platform/AnsiPath.h"

#include <cstring>

namespace {

// The wide form of `which`, NUL-terminated. False when the call fails or the path does not fit
// (GetModuleFileNameW then answers `size` with the path cut short, on XP without terminator).
bool WidePath(Platform& os, ProcessPath which, char16_t (&wide)[kMaxPath]) {
  const std::uint32_t length = which == ProcessPath::currentDirectory
                                   ? os.currentDirectoryWide(kMaxPath, wide)
                                   : os.moduleFileNameWide(wide, kMaxPath);
  return length != 0 && length < kMaxPath;
}

}  // namespace

std::uint32_t UsableAnsiPath(Platform& os, ProcessPath which, char (&path)[kMaxPath],
                             std::uint32_t length) {
  char16_t wide[kMaxPath];
  if (!WidePath(os, which, wide)) return length;
  // Converted without a default character, the path is exactly what the *A call answered, and
  // that answer stands. So does one that does not fit a path buffer in the code page.
  char ansi[kMaxPath];
  bool usedDefault = false;
  if (os.toAnsiNoBestFit(wide, ansi, kMaxPath, usedDefault) == 0 || !usedDefault) return length;

  char16_t shortForm[kMaxPath];
  const std::uint32_t shortLength = os.shortPathName(wide, shortForm, kMaxPath);
  if (shortLength == 0 || shortLength >= kMaxPath) return length;
  usedDefault = false;
  const std::uint32_t written = os.toAnsiNoBestFit(shortForm, ansi, kMaxPath, usedDefault);
  if (written == 0 || usedDefault) return length;
  std::memcpy(path, ansi, written);  // terminator included
  return written - 1;
}
