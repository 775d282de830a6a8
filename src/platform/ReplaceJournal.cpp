#include "platform/ReplaceJournal.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t kHeaderSize = 12;

void PutNumber(char* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<char>(value >> (8 * i) & 0xFF);
}

std::uint32_t GetNumber(const char* at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(at[i]);
  return value;
}

// Copies what `from` holds from its position on, until its end or `most` bytes, to `to` (null: to
// nowhere); `copied` counts them and `hash` takes their checksum. False when a read or a write
// fails.
bool Copy(Platform& os, OsHandle from, OsHandle to, std::size_t most, std::size_t& copied,
          std::uint32_t& hash) {
  char chunk[kChunkSize];
  copied = 0;
  while (copied < most) {
    std::uint32_t read = 0;
    const auto wanted = static_cast<std::uint32_t>(std::min(most - copied, sizeof chunk));
    if (!os.readFile(from, chunk, wanted, read) || read > wanted) return false;
    if (read == 0) break;
    if (to != kInvalidHandle && !WriteAll(os, to, chunk, read)) return false;
    hash = Checksum(chunk, read, hash);
    copied += read;
  }
  return true;
}

// What a whole journal holds: its sizes, and the new bytes.
struct Journal {
  std::size_t oldSize = 0;
  std::size_t newSize = 0;
  char fresh[kMaxReplacedSize];
};

// Reads the open `journal` from its start; false where it is not whole.
bool ReadJournal(Platform& os, OsHandle journal, Journal& j) {
  char header[kHeaderSize];
  char trailer[4];
  if (!ReadAll(os, journal, header, sizeof header) || std::memcmp(header, "ZRKJ", 4) != 0) {
    return false;
  }
  j.oldSize = GetNumber(header + 4);
  j.newSize = GetNumber(header + 8);
  std::size_t copied = 0;
  std::uint32_t hash = Checksum("", 0);
  if (j.newSize > kMaxReplacedSize || !ReadAll(os, journal, j.fresh, j.newSize)) return false;
  hash = Checksum(j.fresh, j.newSize, hash);
  return Copy(os, journal, kInvalidHandle, j.oldSize, copied, hash) && copied == j.oldSize &&
         ReadAll(os, journal, trailer, sizeof trailer) &&
         GetNumber(trailer) == Checksum(header, sizeof header, hash);
}

// Writes the journal's old bytes over the open `file` from its start and ends it after them.
bool PutOldBack(Platform& os, OsHandle file, OsHandle journal, const Journal& j) {
  std::size_t copied = 0;
  std::uint32_t hash = 0;
  return os.seekFile(file, 0) &&
         os.seekFile(journal, static_cast<std::uint32_t>(kHeaderSize + j.newSize)) &&
         Copy(os, journal, file, j.oldSize, copied, hash) && copied == j.oldSize &&
         os.setEndOfFile(file) && Flushed(os, file);
}

// Settles the open `file` by the whole `journal`: true when the journal is no longer needed.
bool Settle(Platform& os, OsHandle file, OsHandle journal, const Journal& j) {
  if (!os.seekFile(journal, static_cast<std::uint32_t>(kHeaderSize + j.newSize))) return false;
  char now[kChunkSize];
  char old[kChunkSize];
  std::size_t at = 0;
  bool isNew = true;  // the file holds the new bytes so far
  bool mix = true;    // each byte is the old one or the new one; past the old end, anything
  for (std::uint32_t read = 1; read != 0; at += read) {
    if (!os.readFile(file, now, sizeof now, read) || read > sizeof now) return false;
    const std::size_t olds = at < j.oldSize ? std::min<std::size_t>(read, j.oldSize - at) : 0;
    if (!ReadAll(os, journal, old, olds)) return false;
    for (std::size_t i = 0; i < read; ++i) {
      const bool asNew = at + i < j.newSize && now[i] == j.fresh[at + i];
      isNew = isNew && asNew;
      mix = mix && (i >= olds || now[i] == old[i] || asNew);
    }
  }
  if ((isNew && at == j.newSize) || !mix || (at != j.oldSize && at != j.newSize)) return true;
  return PutOldBack(os, file, journal, j);
}

}  // namespace

OsHandle WriteJournal(Platform& os, const char* journalPath, OsHandle file, const char* bytes,
                      std::size_t size, bool& present) {
  const OsHandle journal =
      os.createFile(journalPath, kReadWrite, kShareNone, kCreateNew, kAttributeNormal);
  present = journal == kInvalidHandle && os.lastError() == kErrorFileExists;
  if (journal == kInvalidHandle) return kInvalidHandle;
  char header[kHeaderSize] = {'Z', 'R', 'K', 'J'};
  std::uint32_t hash = Checksum(bytes, size, Checksum("", 0));
  std::size_t oldSize = 0;
  const bool copied = WriteAll(os, journal, header, sizeof header) &&
                      WriteAll(os, journal, bytes, size) && os.seekFile(file, 0) &&
                      Copy(os, file, journal, SIZE_MAX, oldSize, hash) && oldSize < UINT32_MAX;
  PutNumber(header + 4, static_cast<std::uint32_t>(oldSize));
  PutNumber(header + 8, static_cast<std::uint32_t>(size));
  char trailer[4];
  PutNumber(trailer, Checksum(header, sizeof header, hash));
  if (copied && WriteAll(os, journal, trailer, sizeof trailer) && os.seekFile(journal, 0) &&
      WriteAll(os, journal, header, sizeof header) && Flushed(os, journal)) {
    return journal;
  }
  os.closeHandle(journal);
  os.deleteFile(journalPath);
  return kInvalidHandle;
}

bool RollBack(Platform& os, const char* journalPath, const char* path) {
  const OsHandle journal = OpenWaiting(os, journalPath, kGenericRead);
  if (journal == kInvalidHandle) {
    // None, or none to be reached (a path the file cannot be opened by either); or held.
    const std::uint32_t error = os.lastError();
    return error != kErrorSharingViolation && error != kErrorAccessDenied;
  }
  Journal j;
  bool done = !ReadJournal(os, journal, j);
  if (!done) {
    const OsHandle file = OpenWaiting(os, path, kReadWrite);
    if (file != kInvalidHandle) {
      done = Settle(os, file, journal, j);
      os.closeHandle(file);
    } else if (os.lastError() == kErrorFileNotFound) {
      // An exFAT name half written when the cut came is no name: the file is made anew.
      const OsHandle made =
          os.createFile(path, kReadWrite, kShareNone, kCreateNew, kAttributeNormal);
      done = made != kInvalidHandle && PutOldBack(os, made, journal, j);
      if (made != kInvalidHandle) os.closeHandle(made);
    }
  }
  os.closeHandle(journal);
  if (done) os.deleteFile(journalPath);
  return done;
}
