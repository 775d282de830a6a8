#include "settings/SettingsFile.h"

#include <cstring>

#include "app/LaunchRecord.h"
#include "app/Messages.h"
#include "common/ByteString.h"

namespace {

constexpr unsigned kReadFlags = CFile::modeRead | CFile::shareExclusive | CFile::typeText;
constexpr unsigned kWriteFlags =
    CFile::modeCreate | CFile::modeWrite | CFile::shareExclusive | CFile::typeText;

void ShowNotInstalled(Platform& os) {
  os.showMessageBox(0, kNotInstalledText, kNotInstalledCaption, kMbOk);
}

// The current directory with one backslash appended (even after a drive root, which then ends in
// two), and the settings file path beside it. False when either does not fit its buffer.
bool FormStartupPaths(LaunchRecord& record) {
  const std::uint32_t length = record.platform.currentDirectory(kMaxPath, record.startupDirectory);
  if (length == 0 || length >= kMaxPath) return false;
  return AppendBytes(record.startupDirectory, kMaxPath, "\\") &&
         JoinBytes(record.settingsPath, kMaxPath, record.startupDirectory, kSettingsFileName);
}

// Reads lines 0 to 59 into the slots. A line the file does not have becomes an empty line, so
// that the file is always written back whole. False on a read error.
bool ReadSlots(LaunchRecord& record) {
  CStdioFile& file = record.settingsFile;
  try {
    for (auto& slot : record.lines.slot) {
      if (file.ReadString(slot, kLineReadSize) == nullptr) std::strcpy(slot, "\n");
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
  std::strcpy(record.scratchPath, record.startupDirectory);
  std::strcpy(record.installFolder, record.scratchPath);
}

// True when replacing the settings file cannot hurt it: a file that an exclusive open for
// writing would refuse (read-only, hidden, system, or held open by another program) is left
// alone.
bool MayReplaceSettings(LaunchRecord& record) {
  Platform& os = record.platform;
  const std::uint32_t attributes = os.fileAttributes(record.settingsPath);
  if (attributes == kInvalidAttributes) return true;  // gone: writing creates it anew
  constexpr std::uint32_t kRefused =
      kAttributeReadOnly | kAttributeHidden | kAttributeSystem | kAttributeDirectory;
  if ((attributes & kRefused) != 0) return false;
  // Whether another program holds it open: an exclusive open for writing that empties nothing.
  // The settings were just read from this volume, so the handle alone is asked for.
  const OsHandle probe = os.createFile(record.settingsPath, kGenericWrite, kShareNone,
                                       kOpenExisting, kAttributeNormal);
  if (probe == kInvalidHandle) return false;
  os.closeHandle(probe);
  return true;
}

// Writes `lines` whole into a temporary file beside the settings file, then renames it over the
// settings file in one step. On any failure the settings file stays as it was and the temporary
// file is removed.
bool ReplaceSettings(LaunchRecord& record, const char* const* lines, int count) {
  if (!MayReplaceSettings(record)) return false;
  char tempPath[kMaxPath];
  if (!JoinBytes(tempPath, kMaxPath, record.startupDirectory, kSettingsTempName)) return false;

  Platform& os = record.platform;
  CStdioFile& file = record.settingsFile;
  // A stale temporary file that cannot be emptied (hidden, system) is removed and made anew.
  if (!file.Open(tempPath, kWriteFlags) &&
      (!os.deleteFile(tempPath) || !file.Open(tempPath, kWriteFlags))) {
    return false;
  }
  try {
    for (int i = 0; i < count; ++i) file.WriteString(lines[i]);
    file.Flush();
    file.Close();
  } catch (const CFileException&) {
    file.Abort();
    os.deleteFile(tempPath);
    return false;
  }
  if (!os.replaceFile(tempPath, record.settingsPath)) {
    os.deleteFile(tempPath);
    return false;
  }
  return true;
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
  return ReplaceSettings(record, lines, kOutputLineCount);
}

bool WriteBareSettings(LaunchRecord& record) {
  const char* lines[kSettingsLineCount];
  for (int i = 0; i < kSettingsLineCount; ++i) lines[i] = record.lines.slot[i];
  return ReplaceSettings(record, lines, kSettingsLineCount);
}
