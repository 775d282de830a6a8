#include "settings/SettingsFile.h"

#include <algorithm>
#include <cstring>

#include "common/ByteString.h"
#include "platform/AnsiPath.h"
#include "platform/File.h"
#include "platform/FileReplace.h"

namespace {

constexpr unsigned kReadFlags = CFile::modeRead | CFile::shareExclusive | CFile::typeText;
// The settings on disk: each held line has at most one LF, its last byte, which text mode writes
// as CR LF, so every line of either form takes at most an output slot's size.
constexpr std::size_t kSettingsImageSize = kOutputLineCount * kOutputSlotSize;
static_assert(kSettingsImageSize <= kMaxReplacedSize, "a replace takes the whole settings file");

// Appends the bytes that a text-mode write of `text` puts on disk, each LF as CR LF, to `image`
// (capacity `size`, `length` bytes used). False, with `image` and `length` as they were, when
// they do not fit.
bool AppendTextModeBytes(char* image, std::size_t size, std::size_t& length, const char* text) {
  std::size_t end = length;
  for (const char* p = text; *p != '\0'; ++p) {
    if (end + (*p == '\n' ? 2 : 1) > size) return false;
    if (*p == '\n') image[end++] = '\r';
    image[end++] = *p;
  }
  length = end;
  return true;
}

// The most bytes one read of a line delivers, its LF included.
constexpr std::size_t kMostRead = kLineReadSize - 1;

// Whether `text` stands at `at` in the `size` bytes.
bool StandsAt(const char* bytes, std::size_t size, std::size_t at, const char* text,
              std::size_t length) {
  return at + length <= size && std::memcmp(bytes + at, text, length) == 0;
}

// What `size` bytes are to the keyed write.
enum class Keyed {
  none,      // nothing it writes
  whole,     // held line 0, each key with its held line, the closing line
  cutShort,  // the same cut short after one of the held lines
};

// The keyed form followed line by line. A held line has at most 259 bytes and at most one LF, its
// last (CR LF on disk); one without it runs on into the next key. So where each held line may
// begin is kept as a set of offsets: from each, the line may end anywhere up to 259 bytes on but
// not past a line break, or just after the break where that is near enough.
class KeyedParse {
 public:
  KeyedParse(const char* bytes, std::size_t size) : bytes_(bytes), size_(size) {}

  Keyed Run() {
    static constexpr char kClosing[] = "CD-ROM=C:\r\n";
    marks_[0] = kStart;
    for (int n = 1; n <= kSettingsLineCount; ++n) {
      const bool last = n == kSettingsLineCount;
      if (last && Line(kClosing, sizeof kClosing - 1, true)) return Keyed::whole;
      if (last || !Line(SettingsKeyTable::kKeys[n], SettingsKeyTable::kLengths[n], false)) break;
    }
    return cutShort_ ? Keyed::cutShort : Keyed::none;
  }

 private:
  // Per offset: this held line may begin here, the next one may, a line may end here just after
  // its break.
  enum : unsigned char { kStart = 1, kNext = 2, kAfterBreak = 4 };

  // The first line break at or after `at`, or the end.
  std::size_t BreakFrom(std::size_t at) const {
    while (at < size_ && !StandsAt(bytes_, size_, at, "\r\n", 2)) ++at;
    return at;
  }

  // The held line from each offset where it may begin, then `key`: where it is the closing line,
  // whether it ends the bytes; otherwise whether the next held line may begin anywhere.
  bool Line(const char* key, std::size_t keyLength, bool closing) {
    const std::size_t end = std::min(size_, lastStart_ + kMostRead + 1);
    std::size_t reach = 0;  // one past the furthest end of a line without its break
    std::size_t nextFirst = SIZE_MAX;
    std::size_t nextLast = 0;
    for (std::size_t at = firstStart_, lineBreak = BreakFrom(at); at <= end; ++at) {
      if (lineBreak < at) lineBreak = BreakFrom(at);
      if ((marks_[at] & kStart) != 0) {
        reach = std::max(reach, std::min(at + kMostRead, lineBreak) + 1);
        if (lineBreak < size_ && lineBreak - at < kMostRead) marks_[lineBreak + 2] |= kAfterBreak;
      }
      const bool ends = at < reach || (marks_[at] & kAfterBreak) != 0;
      cutShort_ = cutShort_ || (ends && at == size_);
      if (!ends || !StandsAt(bytes_, size_, at, key, keyLength)) continue;
      if (closing && at + keyLength == size_) return true;
      if (closing) continue;
      marks_[at + keyLength] |= kNext;
      nextFirst = std::min(nextFirst, at + keyLength);
      nextLast = at + keyLength;
    }
    if (closing || nextFirst == SIZE_MAX) return false;
    for (std::size_t at = firstStart_; at <= std::min(size_, end + kMaxKeyLength) + 2; ++at) {
      marks_[at] = (marks_[at] & kNext) != 0 ? kStart : 0;
    }
    firstStart_ = nextFirst;
    lastStart_ = nextLast;
    return true;
  }

  const char* bytes_;
  std::size_t size_;
  unsigned char marks_[kSettingsImageSize + 3] = {};
  std::size_t firstStart_ = 0;  // the first and the last offset where the held line may begin
  std::size_t lastStart_ = 0;
  bool cutShort_ = false;  // a held line may end where the bytes do
};

// Whether `size` bytes are settings as the bare write leaves them whole, where reading them and
// writing them again gives the same bytes: sixty reads that take the bytes exactly (each up to
// and including an LF, at most 259 bytes), the second not beginning as a keyed file's line 1.
// Bare settings that the reads would give back otherwise (a held line cut at a NUL, one without
// a line break that is not the last) cannot be told from a bare file that lost its last lines,
// and are not taken.
bool IsWholeBareImage(const char* bytes, std::size_t size) {
  int reads = 0;
  std::size_t lineOne = size;
  for (std::size_t at = 0; at < size; ++reads) {
    if (reads == 1) lineOne = at;
    for (std::size_t taken = 0; at < size && taken < kMostRead; ++taken) {
      const bool lineBreak = StandsAt(bytes, size, at, "\r\n", 2);
      at += lineBreak ? 2 : 1;
      if (lineBreak) break;
    }
  }
  return reads == kSettingsLineCount &&
         !StandsAt(bytes, size, lineOne, kKeyedMarker, kKeyedMarkerLength);
}

}  // namespace

// Keyed settings cut short at a line break may read as bare ones (where line 0 has no LF of its
// own, line 1 does not begin as a keyed file's): they are taken for what they are.
bool IsWholeSettingsImage(const char* bytes, std::size_t size) {
  // Text mode writes every LF as CR LF, and no held line has a NUL or a 0x1A.
  for (std::size_t i = 0; i < size; ++i) {
    if (bytes[i] == '\0' || bytes[i] == '\x1A' ||
        (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r'))) {
      return false;
    }
  }
  if (size > kSettingsImageSize) return false;
  const Keyed keyed = KeyedParse(bytes, size).Run();
  return keyed == Keyed::whole || (keyed == Keyed::none && IsWholeBareImage(bytes, size));
}

namespace {

// The current directory with one backslash appended (even after a drive root, which then ends in
// two), and the settings file path beside it. False when either does not fit its buffer. A folder
// whose name the code page cannot spell is taken by its short form, where it has one.
bool FormPaths(Platform& os, SettingsPaths& paths) {
  const std::uint32_t length =
      UsableAnsiPath(os, ProcessPath::currentDirectory, paths.startupDirectory,
                     os.currentDirectory(kMaxPath, paths.startupDirectory));
  if (length == 0 || length >= kMaxPath) return false;
  return AppendBytes(paths.startupDirectory, kMaxPath, "\\") &&
         JoinBytes(paths.settingsPath, kMaxPath, paths.startupDirectory, kSettingsFileName);
}

// Reads lines 0 to 59 into the slots and closes the file. A line the file does not have becomes
// an empty line, so that the file is always written back whole. False on a read error.
bool ReadSlots(CStdioFile& file, SettingsLines& lines) {
  try {
    for (int n = 0; n < kSettingsLineCount; ++n) {
      if (file.ReadString(lines.slot[n], kLineReadSize, &lines.length[n]) == nullptr) {
        std::strcpy(lines.slot[n], "\n");
        lines.length[n] = 1;
      }
    }
  } catch (const CFileException&) {
    file.Abort();
    return false;
  }
  try {
    file.Close();
  } catch (const CFileException&) {
    // Every line is in: a handle that would not close costs nothing.
  }
  return true;
}

// Makes FOLDER name the start-up directory, and the install folder with it. A value that already
// equals it byte for byte is kept as read, LF included.
void ReconcileFolder(const char* startupDirectory, SettingsLines& lines,
                     char (&installFolder)[kMaxPath]) {
  char* folderLine = lines.slot[1];
  // A held line has at most 259 bytes, so it fits the install folder whole.
  std::strncpy(installFolder, folderLine, kMaxPath - 1);
  installFolder[kMaxPath - 1] = '\0';
  if (char* lf = std::strchr(installFolder, '\n')) *lf = '\0';
  if (std::strcmp(installFolder, startupDirectory) == 0) return;

  std::memset(folderLine, 0, kLineSlotSize);
  JoinBytes(folderLine, kLineSlotSize, startupDirectory, "\n");
  lines.length[1] = std::strlen(folderLine);
  std::strcpy(installFolder, startupDirectory);
}

// Writes `lines` as a text-mode file writes them, over the settings file's whole content: the
// file then holds these bytes, or, when that cannot be done safely, its old ones.
bool WriteLines(Platform& os, const SettingsPaths& paths, const char* const* lines, int count) {
  char image[kSettingsImageSize];
  std::size_t length = 0;
  for (int i = 0; i < count; ++i) {
    if (!AppendTextModeBytes(image, sizeof image, length, lines[i])) return false;
  }
  return ReplaceFileContent(os, paths.startupDirectory, paths.settingsPath, image, length);
}

}  // namespace

bool LoadSettings(Platform& os, SettingsPaths& paths, SettingsLines& lines,
                  char (&installFolder)[kMaxPath]) {
  CStdioFile file(os);
  // A path that does not fit is a settings file that cannot be opened. What a cut in the middle of
  // an earlier write left is put right before the file is read; a file that a cut may have torn,
  // and that could not be put right, is not read either.
  if (!FormPaths(os, paths)) return false;
  if (!RecoverReplace(os, paths.startupDirectory, paths.settingsPath, IsWholeSettingsImage) ||
      !file.Open(paths.settingsPath, kReadFlags) || !ReadSlots(file, lines))
    return false;
  char scratch[kMaxPath];
  if (IsKeyedForm(lines)) StripKeys(lines, scratch);
  ReconcileFolder(paths.startupDirectory, lines, installFolder);
  return true;
}

bool WriteKeyedSettings(Platform& os, const SettingsPaths& paths, const SettingsLines& lines) {
  OutputLines output;
  FormatKeyedLines(lines, output);
  const char* keyed[kOutputLineCount];
  for (int i = 0; i < kOutputLineCount; ++i) keyed[i] = output.slot[i];
  return WriteLines(os, paths, keyed, kOutputLineCount);
}

bool WriteBareSettings(Platform& os, const SettingsPaths& paths, const SettingsLines& lines) {
  const char* bare[kSettingsLineCount];
  for (int i = 0; i < kSettingsLineCount; ++i) bare[i] = lines.slot[i];
  return WriteLines(os, paths, bare, kSettingsLineCount);
}
