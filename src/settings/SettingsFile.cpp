#include "settings/SettingsFile.h"

#include <cstring>

#include "app/LaunchRecord.h"
#include "app/Messages.h"
#include "common/ByteString.h"
#include "platform/AnsiPath.h"
#include "platform/FileReplace.h"

namespace {

constexpr unsigned kReadFlags = CFile::modeRead | CFile::shareExclusive | CFile::typeText;
// The settings on disk: each held line has at most one LF, its last byte, which text mode writes
// as CR LF, so every line of either form takes at most an output slot's size.
constexpr std::size_t kSettingsImageSize = kOutputLineCount * kOutputSlotSize;
static_assert(kSettingsImageSize <= kMaxReplacedSize, "a replace takes the whole settings file");

void ShowNotInstalled(Platform& os) {
  os.showMessageBox(0, kNotInstalledText, kNotInstalledCaption, kMbOk);
}

// The current directory with one backslash appended (even after a drive root, which then ends in
// two), and the settings file path beside it. False when either does not fit its buffer. A folder
// whose name the code page cannot spell is taken by its short form, where it has one.
bool FormStartupPaths(LaunchRecord& record) {
  Platform& os = record.platform;
  const std::uint32_t length =
      UsableAnsiPath(os, ProcessPath::currentDirectory, record.startupDirectory,
                     os.currentDirectory(kMaxPath, record.startupDirectory));
  if (length == 0 || length >= kMaxPath) return false;
  return AppendBytes(record.startupDirectory, kMaxPath, "\\") &&
         JoinBytes(record.settingsPath, kMaxPath, record.startupDirectory, kSettingsFileName);
}

// Reads lines 0 to 59 into the slots. A line the file does not have becomes an empty line, so
// that the file is always written back whole. False on a read error.
bool ReadSlots(LaunchRecord& record) {
  CStdioFile& file = record.settingsFile;
  SettingsLines& lines = record.lines;
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
    file.Abort();  // every line is in: a handle that would not close costs nothing
  }
  return true;
}

// Makes FOLDER name the start-up directory. A value that already equals it byte for byte is kept
// as read, LF included.
void ReconcileFolder(LaunchRecord& record) {
  char* folderLine = record.lines.slot[1];
  // A held line has at most 259 bytes, so it fits the scratch path whole.
  std::strncpy(record.scratchPath, folderLine, kMaxPath - 1);
  record.scratchPath[kMaxPath - 1] = '\0';
  if (char* lf = std::strchr(record.scratchPath, '\n')) *lf = '\0';
  std::strcpy(record.installFolder, record.scratchPath);
  if (std::strcmp(record.installFolder, record.startupDirectory) == 0) return;

  std::memset(record.scratchPath, 0, sizeof record.scratchPath);
  std::memset(folderLine, 0, kLineSlotSize);
  JoinBytes(folderLine, kLineSlotSize, record.startupDirectory, "\n");
  record.lines.length[1] = std::strlen(folderLine);
  std::strcpy(record.scratchPath, record.startupDirectory);
  std::strcpy(record.installFolder, record.scratchPath);
}

// Writes `lines` as a text-mode file writes them, over the settings file's whole content: the
// file then holds these bytes, or, when that cannot be done safely, its old ones.
bool WriteLines(LaunchRecord& record, const char* const* lines, int count) {
  char image[kSettingsImageSize];
  std::size_t length = 0;
  for (int i = 0; i < count; ++i) {
    if (!AppendTextModeBytes(image, sizeof image, length, lines[i])) return false;
  }
  return ReplaceFileContent(record.platform, record.startupDirectory, record.settingsPath, image,
                            length);
}

}  // namespace

bool LoadSettings(LaunchRecord& record) {
  // A path that does not fit is a settings file that cannot be opened.
  if (!FormStartupPaths(record) || !record.settingsFile.Open(record.settingsPath, kReadFlags) ||
      !ReadSlots(record)) {
    ShowNotInstalled(record.platform);
    return false;
  }
  if (IsKeyedForm(record.lines)) StripKeys(record.lines, record.scratchPath);
  ReconcileFolder(record);
  return true;
}

bool WriteKeyedSettings(LaunchRecord& record) {
  FormatKeyedLines(record.lines, record.output);
  const char* lines[kOutputLineCount];
  for (int i = 0; i < kOutputLineCount; ++i) lines[i] = record.output.slot[i];
  return WriteLines(record, lines, kOutputLineCount);
}

bool WriteBareSettings(LaunchRecord& record) {
  const char* lines[kSettingsLineCount];
  for (int i = 0; i < kSettingsLineCount; ++i) lines[i] = record.lines.slot[i];
  return WriteLines(record, lines, kSettingsLineCount);
}
