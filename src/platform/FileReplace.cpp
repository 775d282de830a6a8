// A file's whole content replaced through a new file and one rename, or, where a rename would
// not do or cannot be done, rewritten in place with the old bytes it covers kept to put back and
// the old file kept in a journal beside it; and, at the next start, what a cut in the middle of
// either left put right. Nothing here allocates: the old bytes live in the functions' frames.
#include "platform/FileReplace.h"

#include <algorithm>
#include <cstring>

#include "common/ByteString.h"

namespace {

constexpr std::uint32_t kReadWrite = kGenericRead | kGenericWrite;
// What an exclusive CREATE_ALWAYS open with FILE_ATTRIBUTE_NORMAL refuses to empty.
constexpr std::uint32_t kRefusedAttributes =
    kAttributeReadOnly | kAttributeHidden | kAttributeSystem;

enum class Way { leaveAlone, throughNewFile, inPlace };

// Whether the bytes written through `file` count as on the disk. A volume or filter that cannot
// flush at all answers ERROR_INVALID_FUNCTION, ERROR_NOT_SUPPORTED or ERROR_CALL_NOT_IMPLEMENTED:
// there a write that never flushes, as the plain CREATE_ALWAYS write does, succeeds, and so this
// one counts as done. Any other failure (a full disk, a network drive gone) means the bytes may
// not be there: the write failed. Every flush of a replace is judged here.
bool Flushed(Platform& os, OsHandle file) {
  if (os.flushFile(file)) return true;
  const std::uint32_t error = os.lastError();
  return error == kErrorInvalidFunction || error == kErrorNotSupported ||
         error == kErrorCallNotImplemented;
}

// WriteFile until every byte is taken. A full disk shows as a short count or as a failure.
bool WriteAll(Platform& os, OsHandle file, const char* bytes, std::size_t size) {
  while (size > 0) {
    std::uint32_t written = 0;
    const auto chunk = static_cast<std::uint32_t>(size);
    if (!os.writeFile(file, bytes, chunk, written) || written == 0 || written > chunk) return false;
    bytes += written;
    size -= written;
  }
  return true;
}

bool StartsWith(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// Room for any final path that could name a file of a path the launcher forms: "\\?\" or
// "\\?\UNC" in front of kMaxPath bytes.
constexpr std::size_t kFinalPathSize = kMaxPath + 8;

// The path the system resolves the open `handle` to, through every link, junction and subst
// drive, as the launcher compares it: without "\\?\" ("\\?\UNC\server" as "\\server").
// False where it cannot be had, with the system's error.
bool FinalPath(Platform& os, OsHandle handle, char (&path)[kFinalPathSize]) {
  char resolved[kFinalPathSize];
  const std::uint32_t length = os.finalPathName(handle, resolved, sizeof resolved);
  if (length == 0 || length >= sizeof resolved) return false;
  const char* text = resolved;
  if (StartsWith(resolved, "\\\\?\\UNC\\")) {
    resolved[6] = '\\';
    text = resolved + 6;
  } else if (StartsWith(resolved, "\\\\?\\")) {
    text = resolved + 4;
  }
  std::memmove(path, text, std::strlen(text) + 1);
  return true;
}

// Whether the system resolves the open `file` elsewhere than to the file `name` in `folder`:
// its final path against the final path of the folder (opened with backup semantics, as a folder
// opens) joined with the name, both upper-cased as CharUpperA sees them in the ANSI code page. A
// path through an 8.3 short name, a subst or mapped drive or a junction resolves alike on both
// sides, so that only a file that is itself elsewhere (a symbolic link, a redirected file) shows
// here; a file with another name (a hard link) resolves to the name it was opened by. This is how
// a symbolic link shows under Wine, whose GetFileAttributesA has no reparse attribute for it.
// False where the system has no final path (before Vista, which has no symbolic link to a file
// either); true where a call fails otherwise, as nothing is known then.
bool ResolvesElsewhere(Platform& os, OsHandle file, const char* folder, const char* name) {
  char resolved[kFinalPathSize];
  if (!FinalPath(os, file, resolved)) return os.lastError() != kErrorCallNotImplemented;
  const OsHandle opened = os.createFile(folder, 0, kShareAll, kOpenExisting, kFlagBackupSemantics);
  if (opened == kInvalidHandle) return true;
  char expected[kFinalPathSize];
  const bool known = FinalPath(os, opened, expected);
  os.closeHandle(opened);
  if (!known) return true;
  // Only a root's final path ends in a separator; a trail byte 0x5C is none.
  const char* last = LastSeparator(expected, [&os](char c) { return os.isLeadByte(c); });
  if ((last == nullptr || last[1] != '\0') && !AppendBytes(expected, sizeof expected, "\\")) {
    return true;
  }
  if (!AppendBytes(expected, sizeof expected, name)) return true;
  os.upperCase(resolved);
  os.upperCase(expected);
  return std::strcmp(resolved, expected) != 0;
}

// How the file at `path`, the file `name` in `folder`, is to be rewritten, found out without
// changing it.
//
// A rename replaces the name, not the file: another name of the file (a hard link) keeps the old
// bytes, and a symbolic link becomes a plain file while its target keeps them. The plain write,
// one CREATE_ALWAYS open, would have written the file itself, which every name and link sees; so
// wherever a rename would change more than the content, the file is rewritten in place. A folder
// reached another way (its 8.3 short name, a subst or mapped drive, a junction) changes nothing
// of that: the rename stands there. Before Vista, which has no symbolic link to a file, there is
// no final path to ask for, and the rename stands too.
Way ChooseWay(Platform& os, const char* folder, const char* path, const char* name) {
  // The name itself: a link answers its own attributes here, not its target's. Where they cannot
  // be had, nothing is known of the name, and the open below tells the rest.
  std::uint32_t attributes = os.fileAttributes(path);
  if (attributes == kInvalidAttributes) attributes = 0;
  if ((attributes & (kRefusedAttributes | kAttributeDirectory)) != 0) return Way::leaveAlone;
  // Open in another program: an exclusive open for writing that empties nothing tells. It
  // reaches the file that is written, behind any link. A file that is not there is made anew.
  const OsHandle file =
      os.createFile(path, kGenericWrite, kShareNone, kOpenExisting, kAttributeNormal);
  if (file == kInvalidHandle) {
    return os.lastError() == kErrorFileNotFound ? Way::throughNewFile : Way::leaveAlone;
  }
  // Every Windows has GetFileInformationByHandle: where it fails, the file may have other names
  // all the same, and only the write in place keeps them.
  FileInformation info;
  const bool known = os.fileInformation(file, info);
  Way way = Way::throughNewFile;
  if (known && (info.attributes & kRefusedAttributes) != 0) {
    way = Way::leaveAlone;  // a link to a file that the plain write could not empty either
  } else if (!known || info.links > 1 || (attributes & kAttributeReparsePoint) != 0 ||
             ResolvesElsewhere(os, file, folder, name)) {
    way = Way::inPlace;
  }
  os.closeHandle(file);
  return way;
}

// Runs `attempt` until it succeeds, trying again after a pause while it fails with a sharing
// violation or access denied: another program that holds a file for a moment. Any other failure,
// or the last try, ends it.
template <typename Attempt>
bool Retried(Platform& os, Attempt attempt) {
  for (int retry = 0;; ++retry) {
    if (attempt()) return true;
    const std::uint32_t error = os.lastError();
    if ((error != kErrorAccessDenied && error != kErrorSharingViolation) ||
        retry == kReplaceRetries) {
      return false;
    }
    os.pause(kReplaceRetryPauseMs);
  }
}

// Writes the bytes whole into a new file beside `path`, then renames it over `path` in one step.
// Until the rename the file is untouched; afterwards it holds the new bytes. On any failure the
// new file is removed again.
bool ReplaceThroughNewFile(Platform& os, const char* folder, const char* path, const char* bytes,
                           std::size_t size) {
  char temp[kMaxPath] = {};
  if (os.makeTempFile(folder, kTempPrefix, temp) == 0) return false;  // no new file here
  // Opened without creating it, and written only while empty: under Wine a name can come back
  // without its file, and a file that holds anything is not the one just made. A scanner that
  // opens the new file at once is waited out like one that holds it at the rename.
  OsHandle file = kInvalidHandle;
  if (!Retried(os, [&] {
        file = os.createFile(temp, kReadWrite, kShareNone, kOpenExisting, kAttributeNormal);
        return file != kInvalidHandle;
      })) {
    if (os.lastError() != kErrorFileNotFound) Retried(os, [&] { return os.deleteFile(temp); });
    return false;
  }
  char first = 0;
  std::uint32_t read = 0;
  const bool readable = os.readFile(file, &first, 1, read);
  if (readable && read != 0) {
    os.closeHandle(file);  // not the file just made: not touched
    return false;
  }
  bool written = readable && WriteAll(os, file, bytes, size) && Flushed(os, file);
  written = os.closeHandle(file) && written;
  if (written && Retried(os, [&] { return os.renameOver(temp, path); })) return true;
  Retried(os, [&] { return os.deleteFile(temp); });
  return false;
}

// Puts back the `kept` old bytes that a failed rewrite in place may have covered, and, where the
// file was shorter than the new content (`kept` < `size`), its old end. A file that will not take
// the old bytes back is not cut: it stays no shorter than it was.
// True when they are back.
bool PutBack(Platform& os, OsHandle file, const char* kept, std::size_t keptSize,
             std::size_t size) {
  if (!os.seekFile(file, 0) || !WriteAll(os, file, kept, keptSize)) return false;
  if (keptSize < size && !os.setEndOfFile(file)) return false;
  return Flushed(os, file);
}

// --- The journal of a rewrite in place ----------------------------------------------------------
//
// Beside the file, before a rewrite in place touches it: "ZRKJ", the old size, the new size and
// the checksum of the new bytes (each 32 bits, least significant byte first), the old bytes, and
// the checksum of the old bytes followed by those 16 bytes. It is flushed before the rewrite
// begins and removed after the rewrite's last flush, so that a journal that is whole beside a
// file that does not hold the new bytes tells of a rewrite a cut tore.

constexpr std::size_t kJournalHeaderSize = 16;
constexpr std::size_t kChunkSize = 4096;

// FNV-1a, 32 bits, continued from `hash`.
std::uint32_t Checksum(const char* bytes, std::size_t size, std::uint32_t hash = 2166136261u) {
  for (std::size_t i = 0; i < size; ++i) {
    hash = (hash ^ static_cast<unsigned char>(bytes[i])) * 16777619u;
  }
  return hash;
}

void PutNumber(char* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<char>(value >> (8 * i) & 0xFF);
}

std::uint32_t GetNumber(const char* at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(at[i]);
  return value;
}

// Reads exactly `size` bytes.
bool ReadAll(Platform& os, OsHandle file, char* bytes, std::size_t size) {
  while (size > 0) {
    std::uint32_t read = 0;
    const auto wanted = static_cast<std::uint32_t>(size);
    if (!os.readFile(file, bytes, wanted, read) || read == 0 || read > wanted) return false;
    bytes += read;
    size -= read;
  }
  return true;
}

// Copies what `from` holds from its position on, until its end or `most` bytes, to `to` (null: to
// nowhere): how many, or SIZE_MAX when a read or a write fails. `hash` gets their checksum.
std::size_t Copy(Platform& os, OsHandle from, OsHandle to, std::size_t most, std::uint32_t& hash) {
  char chunk[kChunkSize];
  std::size_t copied = 0;
  while (copied < most) {
    std::uint32_t read = 0;
    const auto wanted = static_cast<std::uint32_t>(std::min(most - copied, sizeof chunk));
    if (!os.readFile(from, chunk, wanted, read) || read > wanted) return SIZE_MAX;
    if (read == 0) break;
    if (to != kInvalidHandle && !WriteAll(os, to, chunk, read)) return SIZE_MAX;
    hash = Checksum(chunk, read, hash);
    copied += read;
  }
  return copied;
}

// Makes the journal at `journalPath` of a rewrite of the open `file` to `size` new `bytes`, and
// flushes it: its handle, kept open (exclusive) until the rewrite is over, or kInvalidHandle where
// none could be made (a folder that takes no new files, a full disk), with nothing left behind
// that can be removed.
OsHandle WriteJournal(Platform& os, const char* journalPath, OsHandle file, const char* bytes,
                      std::size_t size) {
  const OsHandle journal =
      os.createFile(journalPath, kReadWrite, kShareNone, kCreateNew, kAttributeNormal);
  if (journal == kInvalidHandle) return kInvalidHandle;
  char header[kJournalHeaderSize] = {'Z', 'R', 'K', 'J'};
  std::uint32_t hash = Checksum("", 0);
  std::size_t oldSize = SIZE_MAX;
  if (WriteAll(os, journal, header, sizeof header) && os.seekFile(file, 0)) {
    oldSize = Copy(os, file, journal, SIZE_MAX, hash);
  }
  PutNumber(header + 4, static_cast<std::uint32_t>(oldSize));
  PutNumber(header + 8, static_cast<std::uint32_t>(size));
  PutNumber(header + 12, Checksum(bytes, size));
  char trailer[4];
  PutNumber(trailer, Checksum(header, sizeof header, hash));
  // Where the copy failed (SIZE_MAX, which is UINT32_MAX where size_t has 32 bits) or the old
  // size needs more than 32 bits, the journal goes.
  if (oldSize < UINT32_MAX && WriteAll(os, journal, trailer, sizeof trailer) &&
      os.seekFile(journal, 0) && WriteAll(os, journal, header, sizeof header) &&
      Flushed(os, journal)) {
    return journal;
  }
  os.closeHandle(journal);
  os.deleteFile(journalPath);
  return kInvalidHandle;
}

// Rolls the file at `path` back to the old bytes of the journal at `journalPath` where a cut tore
// its rewrite in place (it holds neither the new bytes nor, as the journal was written first, any
// reason to keep the journal), then removes the journal. A journal that is not whole was being
// written when the cut came, before the file was touched: it goes. One that cannot be opened, or
// beside a file that cannot be (another launcher rewriting it now), stays.
void RollBack(Platform& os, const char* journalPath, const char* path) {
  const OsHandle journal =
      os.createFile(journalPath, kGenericRead, kShareNone, kOpenExisting, kAttributeNormal);
  if (journal == kInvalidHandle) return;
  char header[kJournalHeaderSize];
  char trailer[4];
  std::uint32_t hash = Checksum("", 0);
  const bool whole =
      ReadAll(os, journal, header, sizeof header) && std::memcmp(header, "ZRKJ", 4) == 0 &&
      Copy(os, journal, kInvalidHandle, GetNumber(header + 4), hash) == GetNumber(header + 4) &&
      ReadAll(os, journal, trailer, sizeof trailer) &&
      GetNumber(trailer) == Checksum(header, sizeof header, hash);
  bool done = !whole;
  const OsHandle file =
      whole ? os.createFile(path, kReadWrite, kShareNone, kOpenExisting, kAttributeNormal)
            : kInvalidHandle;
  if (file != kInvalidHandle) {
    std::uint32_t now = Checksum("", 0);
    done = (Copy(os, file, kInvalidHandle, SIZE_MAX, now) == GetNumber(header + 8) &&
            now == GetNumber(header + 12)) ||
           (os.seekFile(file, 0) && os.seekFile(journal, kJournalHeaderSize) &&
            Copy(os, journal, file, GetNumber(header + 4), now) == GetNumber(header + 4) &&
            os.setEndOfFile(file) && Flushed(os, file));
    os.closeHandle(file);
  }
  os.closeHandle(journal);
  if (done) os.deleteFile(journalPath);
}

// Rewrites `path` in place, in this order, so that every failure before the last step leaves the
// old bytes: the old bytes the new ones will cover are read (at most `size`: a longer file's tail
// is not read, and not touched until the end is set); the journal is made and flushed; the new
// bytes are written from the start and flushed; then the end is set after them, which cuts a
// longer file's tail and is the point of no return; a last flush follows, and the journal goes.
// When a step before the end fails, the old bytes are written back and, for a file that was
// shorter, its old end set again.
//
// With a journal in `folder` (none where it is null, or where none can be made: a folder that
// takes no new files), a cut cannot tear the file: the next start puts the old bytes back.
// Without one it can: while the new bytes are written, the file holds them up to where the write
// had come and the old ones after that; between the write and the setting of the end, the new
// bytes followed by the old file's tail beyond them; while the old bytes are put back, those up to
// that point, then new ones, then the old tail.
bool RewriteInPlace(Platform& os, const char* folder, const char* path, const char* bytes,
                    std::size_t size) {
  const OsHandle file =
      os.createFile(path, kReadWrite, kShareNone, kOpenExisting, kAttributeNormal);
  if (file == kInvalidHandle) return false;
  char kept[kMaxReplacedSize];
  std::size_t keptSize = 0;
  while (keptSize < size) {
    std::uint32_t read = 0;
    const auto wanted = static_cast<std::uint32_t>(size - keptSize);
    if (!os.readFile(file, kept + keptSize, wanted, read) || read > wanted) {
      os.closeHandle(file);
      return false;
    }
    if (read == 0) break;  // the file is shorter than the new content
    keptSize += read;
  }

  char journalPath[kMaxPath];
  const OsHandle journal =
      folder != nullptr && JoinBytes(journalPath, kMaxPath, folder, kJournalName)
          ? WriteJournal(os, journalPath, file, bytes, size)
          : kInvalidHandle;
  const bool rewritten = os.seekFile(file, 0) && WriteAll(os, file, bytes, size) &&
                         Flushed(os, file) && os.setEndOfFile(file);
  // The old tail is gone once the end is set: a failure of the last flush has no way back, but
  // the journal then stays for the next start to put the old bytes back after a cut.
  const bool settled = rewritten ? Flushed(os, file) : PutBack(os, file, kept, keptSize, size);
  os.closeHandle(file);
  if (journal == kInvalidHandle) return rewritten;
  os.closeHandle(journal);
  if (settled) Retried(os, [&] { return os.deleteFile(journalPath); });
  // The journal took room on the disk that the new bytes may need: without it, once more.
  return rewritten || (settled && RewriteInPlace(os, nullptr, path, bytes, size));
}

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
  const OsHandle file =
      os.createFile(path, kGenericRead, kShareNone, kOpenExisting, kAttributeNormal);
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
void RecoverReplace(Platform& os, const char* folder, const char* path, WholeContent isWhole) {
  char pattern[kMaxPath];
  char name[kMaxPath];
  if (JoinBytes(pattern, kMaxPath, folder, kJournalName)) RollBack(os, pattern, path);
  if (!JoinBytes(pattern, kMaxPath, folder, "ZRK*.TMP")) return;
  const OsHandle search = os.findFirstFile(pattern, name, kMaxPath);
  if (search == kInvalidHandle) return;
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
}

bool ReplaceFileContent(Platform& os, const char* folder, const char* path, const char* bytes,
                        std::size_t size) {
  const std::size_t folderLength = std::strlen(folder);
  if (size > kMaxReplacedSize || std::strncmp(path, folder, folderLength) != 0) return false;
  switch (ChooseWay(os, folder, path, path + folderLength)) {
    case Way::leaveAlone:
      return false;
    case Way::inPlace:
      return RewriteInPlace(os, folder, path, bytes, size);
    case Way::throughNewFile:
      break;
  }
  return ReplaceThroughNewFile(os, folder, path, bytes, size) ||
         RewriteInPlace(os, folder, path, bytes, size);
}
