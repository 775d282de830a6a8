// A file's whole content replaced through a new file and one rename, or, where that cannot be
// done, rewritten in place with the old bytes kept to put back. Nothing here allocates: the old
// bytes of an in-place rewrite live in that function's frame.
#include "platform/FileReplace.h"

namespace {

constexpr std::uint32_t kReadWrite = kGenericRead | kGenericWrite;

// Whether an exclusive CREATE_ALWAYS open of `path` would be refused, so that the file must be
// left as it is: read-only, hidden or system (Windows refuses to empty those), a folder, or open
// in another program. A file that is not there may be created.
bool WouldRefuseRewrite(Platform& os, const char* path) {
  const std::uint32_t attributes = os.fileAttributes(path);
  if (attributes == kInvalidAttributes) return false;
  constexpr std::uint32_t kRefused =
      kAttributeReadOnly | kAttributeHidden | kAttributeSystem | kAttributeDirectory;
  if ((attributes & kRefused) != 0) return true;
  // Open in another program: an exclusive open for writing that empties nothing tells.
  const OsHandle probe =
      os.createFile(path, kGenericWrite, kShareNone, kOpenExisting, kAttributeNormal);
  if (probe == kInvalidHandle) return true;
  os.closeHandle(probe);
  return false;
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
  bool written = readable && WriteAll(os, file, bytes, size) && os.flushFile(file);
  written = os.closeHandle(file) && written;
  if (written && Retried(os, [&] { return os.replaceFile(temp, path); })) return true;
  Retried(os, [&] { return os.deleteFile(temp); });
  return false;
}

// Rewrites `path` in place: the old bytes are read first, the new ones written from the start,
// flushed, and the file's end set after them (and flushed again); when any of that fails, the old
// bytes are written back and the old length restored. Putting the old bytes back needs no room that
// the file did not have, so a full disk cannot stop it.
//
// Only the fallback, because a crash or power loss in the middle leaves the file torn: the new
// bytes up to where the write had come and the old ones after them, or (between the write and
// the setting of the end) the new bytes followed by the old file's tail beyond them, or, while
// the old bytes are being put back, those up to that point and the new ones after them.
bool RewriteInPlace(Platform& os, const char* path, const char* bytes, std::size_t size) {
  const OsHandle file =
      os.createFile(path, kReadWrite, kShareNone, kOpenExisting, kAttributeNormal);
  if (file == kInvalidHandle) return false;
  char original[kRestorableSize + 1];
  std::size_t length = 0;
  for (;;) {
    std::uint32_t read = 0;
    const auto room = static_cast<std::uint32_t>(sizeof original - length);
    if (!os.readFile(file, original + length, room, read)) {
      os.closeHandle(file);
      return false;
    }
    if (read == 0) break;
    length += read;
    if (length > kRestorableSize) {  // too large to put back: not touched
      os.closeHandle(file);
      return false;
    }
  }

  const bool rewritten = os.seekFile(file, 0) && WriteAll(os, file, bytes, size) &&
                         os.flushFile(file) && os.setEndOfFile(file) && os.flushFile(file);
  if (!rewritten && os.seekFile(file, 0) && WriteAll(os, file, original, length) &&
      os.setEndOfFile(file)) {
    os.flushFile(file);
  }
  os.closeHandle(file);
  return rewritten;
}

}  // namespace

bool ReplaceFileContent(Platform& os, const char* folder, const char* path, const char* bytes,
                        std::size_t size) {
  if (WouldRefuseRewrite(os, path)) return false;
  return ReplaceThroughNewFile(os, folder, path, bytes, size) ||
         RewriteInPlace(os, path, bytes, size);
}
