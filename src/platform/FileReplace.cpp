// A file's whole content replaced through a new file and one rename, or, where a rename would
// not do or cannot be done safely, rewritten in place with the old bytes it covers kept to put
// back and the old file kept in a journal beside it (ReplaceJournal.cpp). What a cut in the middle
// of either leaves is put right at the next start (ReplaceRecovery.cpp). Nothing here allocates:
// the old bytes live in the functions' frames.
#include <cstring>

#include "common/ByteString.h"
#include "platform/ReplaceJournal.h"

namespace {

// What an exclusive CREATE_ALWAYS open with FILE_ATTRIBUTE_NORMAL refuses to empty.
constexpr std::uint32_t kRefusedAttributes =
    kAttributeReadOnly | kAttributeHidden | kAttributeSystem;

enum class Way { leaveAlone, throughNewFile, inPlace };

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

// Whether the volume that holds the open `file` keeps a journal of its names (NTFS, ReFS), so
// that a rename lands whole or not at all after a power cut. FAT and exFAT write a rename's
// directory sectors one by one: a cut between them can leave the file under neither name, or its
// new bytes under a short name alone. Where the system cannot tell (before Vista), as before.
bool NamesJournaled(Platform& os, OsHandle file) {
  char name[16];
  if (!os.fileSystemName(file, name, sizeof name)) return true;
  return std::strcmp(name, "NTFS") == 0 || std::strcmp(name, "ReFS") == 0;
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
// no final path to ask for, and the rename stands too. On a volume whose names have no journal the
// file is rewritten in place, under a journal of its own.
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
             ResolvesElsewhere(os, file, folder, name) || !NamesJournaled(os, file)) {
    way = Way::inPlace;
  }
  os.closeHandle(file);
  return way;
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
// that point, then new ones, then the old tail. Beside a journal that is there already (another
// launcher's rewrite, or a torn one the start could not roll back) nothing is written.
bool RewriteInPlace(Platform& os, const char* folder, const char* path, const char* bytes,
                    std::size_t size) {
  const OsHandle file = OpenWaiting(os, path, kReadWrite);
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
  bool present = false;
  const OsHandle journal =
      folder != nullptr && JoinBytes(journalPath, kMaxPath, folder, kJournalName)
          ? WriteJournal(os, journalPath, file, bytes, size, present)
          : kInvalidHandle;
  if (present) {
    os.closeHandle(file);
    return false;
  }
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

}  // namespace

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
