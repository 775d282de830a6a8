#include "locate/DataFileLocator.h"

#include "app/LaunchRecord.h"
#include "app/Messages.h"
#include "common/ByteString.h"

namespace {

constexpr int kLastDrive = 26;  // drive counter 1 is A, 26 is Z

// Whether the data file at `path` can be opened; it is closed again at once.
bool CanOpen(LaunchRecord& record, const char* path) {
  if (!record.dataFile.Open(path, CFile::modeRead)) return false;
  try {
    record.dataFile.Close();
  } catch (const CFileException&) {
    record.dataFile.Abort();  // it opened: the file is there
  }
  return true;
}

bool StartsWithDriveLetter(const char* path) {
  const char letter = path[0];
  return ((letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z')) && path[1] == ':';
}

}  // namespace

void LocateDataFile(LaunchRecord& record) {
  Platform& os = record.platform;
  // A data file path that does not fit its buffer cannot be opened anywhere.
  if (AppendBytes(record.scratchPath, kMaxPath, kDataFileName)) {
    if (CanOpen(record, record.scratchPath)) return;
    // Only a path that starts with a drive letter names the same folder on another drive.
    if (StartsWithDriveLetter(record.installFolder)) {
      for (record.driveCounter = 1; record.driveCounter <= kLastDrive; ++record.driveCounter) {
        const char letter = static_cast<char>('@' + record.driveCounter);
        record.driveRoot[0] = letter;
        const std::uint32_t type = os.driveType(record.driveRoot);
        if (type != kDriveRemovable && type != kDriveFixed) continue;
        record.scratchPath[0] = letter;
        if (CanOpen(record, record.scratchPath)) {
          record.installFolder[0] = letter;
          record.lines.slot[1][0] = letter;
          return;
        }
      }
    }
  }
  os.showMessageBox(0, kDamagedText, kDamagedCaption, kMbOk);
  os.endProcess(0);
}
