// At the next start, before the file is read: what a kill or a power cut in the middle of a
// replace left beside the file, put right.
#include <cstring>

#include "common/ByteString.h"
#include "platform/ReplaceJournal.h"

namespace {

// Whether `name` is one GetTempFileNameA gives a replace's new file: the prefix, one to four hex
// digits, ".TMP", in any case.
bool IsNewFileName(const char* name) {
  auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
  auto matches = [&](const char* text, const char* what) {
    for (; *what != '\0'; ++text, ++what) {
      if (upper(*text) != upper(*what)) return false;
    }
    return true;
  };
  if (!matches(name, kTempPrefix)) return false;
  const char* digit = name + sizeof kTempPrefix - 1;
  const char* end = digit;
  while (std::strchr("0123456789ABCDEF", upper(*end)) != nullptr && *end != '\0') ++end;
  return end > digit && end - digit <= 4 && matches(end, ".TMP") && end[4] == '\0';
}

// The whole content of the file at `path`, into `bytes` (kMaxReplacedSize + 1 of them): its size,
// or SIZE_MAX where it cannot be read or is longer than a replace writes.
std::size_t ReadWhole(Platform& os, const char* path, char* bytes) {
  const OsHandle file = OpenWaiting(os, path, kGenericRead);
  if (file == kInvalidHandle) return SIZE_MAX;
  std::size_t size = 0;
  for (std::uint32_t read = 1; read != 0 && size <= kMaxReplacedSize;) {
    const auto wanted = static_cast<std::uint32_t>(kMaxReplacedSize + 1 - size);
    if (!os.readFile(file, bytes + size, wanted, read) || read > wanted) size = SIZE_MAX;
    if (size == SIZE_MAX) break;
    size += read;
  }
  os.closeHandle(file);
  return size > kMaxReplacedSize ? SIZE_MAX : size;
}

}  // namespace

// A rename follows a flush of the new file, so a whole new file beside a missing file is what a
// cut in the middle of the rename left, where the file system's own steps are not one (FAT: the
// old name goes in one sector write, the new one comes in another). Its content is the one the
// file was getting. A new file that is not whole while the file is missing is kept: it may be all
// there is. Another launcher's new file that is open is not removed (the removal is refused), and
// one removed before it is renamed makes that launcher rewrite the file in place.
bool RecoverReplace(Platform& os, const char* folder, const char* path, WholeContent isWhole) {
  char pattern[kMaxPath];
  char name[kMaxPath];
  if (JoinBytes(pattern, kMaxPath, folder, kJournalName) && !RollBack(os, pattern, path)) {
    return false;
  }
  if (!JoinBytes(pattern, kMaxPath, folder, "ZRK*.TMP")) return true;
  const OsHandle search = os.findFirstFile(pattern, name, kMaxPath);
  if (search == kInvalidHandle) return true;
  bool missing =
      os.fileAttributes(path) == kInvalidAttributes && os.lastError() == kErrorFileNotFound;
  do {
    char temp[kMaxPath];
    if (!IsNewFileName(name) || !JoinBytes(temp, kMaxPath, folder, name)) continue;
    if (!missing) {
      os.deleteFile(temp);
      continue;
    }
    char bytes[kMaxReplacedSize + 1];
    const std::size_t size = ReadWhole(os, temp, bytes);
    if (size != SIZE_MAX && isWhole(bytes, size)) missing = !os.renameOver(temp, path);
  } while (os.findNextFile(search, name, kMaxPath));
  os.findClose(search);
  return true;
}
