#include "locate/DataFileLocator.h"

#include "common/ByteString.h"
#include "platform/File.h"

namespace {

constexpr char kLastDrive = 'Z';

// Whether the data file at `path` can be opened; it is closed again at once.
bool CanOpen(Platform& os, const char* path) {
  CFile dataFile(os);
  if (!dataFile.Open(path, CFile::modeRead)) return false;
  try {
    dataFile.Close();
  } catch (const CFileException&) {
    // It opened: the file is there.
  }
  return true;
}

bool StartsWithDriveLetter(const char* path) {
  const char letter = path[0];
  return ((letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z')) && path[1] == ':';
}

}  // namespace

bool LocateDataFile(Platform& os, char (&installFolder)[kMaxPath], SettingsLines& lines) {
  // A data file path that does not fit its buffer cannot be opened anywhere.
  char dataPath[kMaxPath];
  if (!JoinBytes(dataPath, kMaxPath, installFolder, kDataFileName)) return false;
  if (CanOpen(os, dataPath)) return true;
  // Only a path that starts with a drive letter names the same folder on another drive.
  if (!StartsWithDriveLetter(installFolder)) return false;
  char driveRoot[] = "A:\\";
  for (char letter = 'A'; letter <= kLastDrive; ++letter) {
    driveRoot[0] = letter;
    const std::uint32_t type = os.driveType(driveRoot);
    if (type != kDriveRemovable && type != kDriveFixed) continue;
    dataPath[0] = letter;
    if (CanOpen(os, dataPath)) {
      installFolder[0] = letter;
      lines.slot[1][0] = letter;
      return true;
    }
  }
  return false;
}
