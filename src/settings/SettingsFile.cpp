#include "settings/SettingsFile.h"

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

// Whether `size` bytes are settings as WriteLines leaves them whole: text-mode lines (each LF after
// a CR, no NUL, no 0x1A, which no held line has), either 61 ending with the closing line (keyed) or
// 60 whose line 1 does not begin as a keyed file's (bare).
bool IsWholeImage(const char* bytes, std::size_t size) {
  static constexpr char kClosing[] = "CD-ROM=C:\r\n";
  std::size_t lines = size > 0 && bytes[size - 1] != '\n' ? 1 : 0;  // one without a line break
  const char* lineOne = nullptr;
  for (std::size_t i = 0; i < size; ++i) {
    if (bytes[i] == '\0' || bytes[i] == '\x1A') return false;
    if (bytes[i] != '\n') continue;
    if (i == 0 || bytes[i - 1] != '\r') return false;
    if (++lines == 1) lineOne = bytes + i + 1;
  }
  if (lines == kOutputLineCount) {
    return size >= sizeof kClosing - 1 &&
           std::memcmp(bytes + size - (sizeof kClosing - 1), kClosing, sizeof kClosing - 1) == 0;
  }
  return lines == kSettingsLineCount && lineOne != nullptr &&
         std::strncmp(lineOne, kKeyedMarker, kKeyedMarkerLength) != 0;
}

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
  // an earlier write left is put right before the file is read.
  if (!FormPaths(os, paths)) return false;
  RecoverReplace(os, paths.startupDirectory, paths.settingsPath, IsWholeImage);
  if (!file.Open(paths.settingsPath, kReadFlags) || !ReadSlots(file, lines)) return false;
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
