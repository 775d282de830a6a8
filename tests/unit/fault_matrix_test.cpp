// The fault matrix: whole launches under every fault the disk, other programs and the drives can
// bring. Every case must end with exit code 0, the message it calls for (or none), a settings
// file that is byte-identical or completely rewritten, no file added or removed, and no open
// handle (support/LaunchCheck.h).
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/File.h"
#include "platform/FileReplace.h"
#include "support/LaunchCheck.h"

using namespace testing_support;

namespace {

// Settings read from kFolder with every value behind its key and a closing CD-ROM=D: line:
// what the keyed write makes of them, and what the bare write makes of them.
const std::string kInput = KeyedFile(kFolder, 'D');
const std::string kKeyedOutput = KeyedFile(kFolder, 'C');
const std::string kBareOutput = BareFile(kFolder);

// The game installed in `directory` (the launcher's current directory), the settings file holding
// `settings`, the game starting or not.
Layout At(const std::string& directory, const std::string& settings = kInput,
          bool gameStarts = true) {
  Layout layout;
  layout.directory = directory;
  layout.settings = settings;
  if (!gameStarts) layout.game = SimulatedWindows::ProgramKind::broken;
  return layout;
}
const std::string kDirectory = "C:\\Games\\X";

// The same with values of 190 bytes: about 12 KB, several stream buffers and read blocks.
std::vector<std::string> LongValues() {
  std::vector<std::string> lines = Values();
  for (int n = 2; n < kSettingsLineCount; ++n) {
    lines[n] = std::string(190, static_cast<char>('a' + n % 26)) + "\n";
  }
  return lines;
}
const std::string kLongInput = OnDisk(Keyed(LongValues(), 'D'));
const std::string kLongKeyedOutput = OnDisk(Keyed(LongValues(), 'C'));
const std::string kLongBareOutput = OnDisk(LongValues());

// Room left on the disk, from none to all that `size` bytes need: every byte for a file of one
// stream buffer; for a longer one, the bytes around each buffer's end (where a write is cut) and
// every 31st byte between them.
std::vector<std::size_t> Rooms(std::size_t size) {
  std::vector<std::size_t> rooms;
  for (std::size_t room = 0; room <= size; ++room) {
    const std::size_t intoBuffer = room % CStdioFile::kStreamBufferSize;
    const bool nearBufferEnd = intoBuffer <= 2 || intoBuffer >= CStdioFile::kStreamBufferSize - 2;
    if (size <= CStdioFile::kStreamBufferSize || nearBufferEnd || room % 31 == 0 ||
        room + 2 >= size) {
      rooms.push_back(room);
    }
  }
  return rooms;
}

TEST(FaultMatrix, DiskFullAtEveryByteOfTheKeyedWrite) {
  for (const auto& [input, keyed] :
       {std::pair{kInput, kKeyedOutput}, std::pair{kLongInput, kLongKeyedOutput}}) {
    for (const std::size_t room : Rooms(keyed.size())) {
      SCOPED_TRACE("room " + std::to_string(room) + " of " + std::to_string(keyed.size()));
      Installation m(At(kDirectory, input));
      m.os.failWritesAfter(room);
      ExpectLaunch(m, {room < keyed.size() ? input : keyed});
      if (HasFailure()) return;
    }
  }
}

TEST(FaultMatrix, DiskFullAtEveryByteOfTheBareWrite) {
  for (const auto& [input, keyed, bare] :
       {std::tuple{kInput, kKeyedOutput, kBareOutput},
        std::tuple{kLongInput, kLongKeyedOutput, kLongBareOutput}}) {
    for (const std::size_t room : Rooms(bare.size())) {
      SCOPED_TRACE("room " + std::to_string(room) + " of " + std::to_string(bare.size()));
      Installation m(At(kDirectory, input, /*gameStarts=*/false));
      m.os.failWritesAfter(keyed.size() + room);
      // A bare write that does not fit leaves the keyed file, whole.
      ExpectLaunch(m, {room < bare.size() ? keyed : bare, {}, false});
      if (HasFailure()) return;
    }
  }
}

// A full disk as it is: the new file does not fit, and the settings are rewritten in place, which
// needs room only for what the keyed form adds. Either way in: through a new file, or in a folder
// that takes none.
TEST(FaultMatrix, FreeSpaceAtEveryByteOfTheKeyedWrite) {
  const std::string bare = BareFile(kFolder);
  const std::size_t growth = kKeyedOutput.size() - bare.size();
  for (const bool refusesNewFiles : {false, true}) {
    for (const std::size_t room : Rooms(kKeyedOutput.size() + 1)) {
      SCOPED_TRACE("room " + std::to_string(room) + (refusesNewFiles ? ", no new files" : ""));
      Installation m(At(kDirectory, bare));
      if (refusesNewFiles) m.os.refuseNewFiles(m.folder);
      m.os.setFreeSpace(room);
      ExpectLaunch(m, {room >= growth ? kKeyedOutput : bare});
      if (HasFailure()) return;
    }
  }
}

// Writes that stop being taken at every byte of the rewrite in place: its own write fails, and so
// does the writing back of the old bytes. The file is then torn, and what is promised is less:
// it is no shorter than it was, it holds the new bytes up to where the writes stopped and the old
// ones after that, the game is started all the same, and nothing is shown or left behind.
TEST(FaultMatrix, WritesStopAtEveryByteOfARewriteInPlaceAndOfItsRestore) {
  const std::string bare = BareFile(kFolder);
  for (const std::size_t stop : Rooms(kKeyedOutput.size() - 1)) {
    SCOPED_TRACE("writes stop after " + std::to_string(stop) + " bytes");
    Installation m(At(kDirectory, bare));
    m.os.refuseNewFiles(m.folder);
    m.os.failWritesAfter(stop);
    EXPECT_EQ(m.Run(), 0);
    const std::string torn =
        kKeyedOutput.substr(0, stop) + (stop < bare.size() ? bare.substr(stop) : "");
    EXPECT_EQ(m.os.fileBytes(m.settingsPath), torn);
    EXPECT_TRUE(m.os.messageBoxes().empty());
    EXPECT_EQ(m.os.startedProcesses().size(), 1u);
    EXPECT_TRUE(m.os.openHandles().empty()) << m.os.dump();
    if (HasFailure()) return;
  }
}

// One fault at a time, each with the game starting and not: the settings keep their old bytes or
// get the new ones (the keyed form, or the bare one after a game that does not start). Renames
// and pauses are counted where they tell the way the write went, with the game started.
TEST(FaultMatrix, SingleFaults) {
  const std::string temp = kFolder + "ZRK1.TMP";
  enum class After { oldBytes, newBytes };
  struct Fault {
    const char* name;
    std::function<void(Installation&)> prepare;
    After settings;
    int renames = -1;  // MoveFileExA calls
    int pauses = -1;   // retries waited for
    int temps = -1;    // GetTempFileNameA calls
    std::set<std::string> filesAdded = {};
  };
  const Fault faults[] = {
      // Rewrites in place, in a folder that takes no new files.
      {"in place, the flush fails: the old bytes go back",
       [](Installation& m) {
         m.os.refuseNewFiles(m.folder);
         m.os.failFlush();
       },
       After::oldBytes},
      {"in place, the close after a flush that went through",
       [](Installation& m) {
         m.os.refuseNewFiles(m.folder);
         m.os.failCloseOf(m.settingsPath);
       },
       After::newBytes},
      {"in place, held by another program as the rewrite opens it, after the check that it was "
       "free",
       [](Installation& m) {
         m.os.refuseNewFiles(m.folder);
         m.os.holdWhenOpened("DLTZRK_DL.INI", m.settingsPath, kGenericRead | kGenericWrite);
       },
       After::oldBytes},
      {"a folder that takes no new files", [](Installation& m) { m.os.refuseNewFiles(m.folder); },
       After::newBytes},
      // Failing closes and flushes.
      {"the new file's close: the settings are rewritten in place",
       [](Installation& m) { m.os.failCloseOf(m.firstTemp); }, After::newBytes},
      {"the settings file's close after reading: every line is in",
       [](Installation& m) { m.os.failCloseOf(m.settingsPath); }, After::newBytes},
      {"the data file's close after its test: it opened, so it is there",
       [](Installation& m) { m.os.failCloseOf(m.folder + "ZRK_DLN.SD"); }, After::newBytes},
      {"the flush before the rename", [](Installation& m) { m.os.failFlush(); }, After::oldBytes,
       0},
      // A volume or filter that cannot flush at all: the plain write, which never flushes, would
      // have written the file there.
      {"a volume that cannot flush", [](Installation& m) { m.os.failFlush(kErrorInvalidFunction); },
       After::newBytes, 1},
      {"a filter that does not support flushing",
       [](Installation& m) { m.os.failFlush(kErrorNotSupported); }, After::newBytes, 1},
      {"a system without the call",
       [](Installation& m) { m.os.failFlush(kErrorCallNotImplemented); }, After::newBytes, 1},
      // Another program holding the settings or the new file.
      {"settings held at write time: left alone, not waited for",
       [](Installation& m) { m.os.holdWhenOpened("ZRK_DLN.SD", m.settingsPath); }, After::oldBytes,
       0, 0, 0},
      {"settings held while the new ones are written: the rename fails, the old file stays",
       [](Installation& m) { m.os.holdWhenOpened(".TMP", m.settingsPath); }, After::oldBytes,
       1 + kReplaceRetries},
      {"a scanner holding the new file for a moment",
       [=](Installation& m) { m.os.holdForNextCalls(temp, 3); }, After::newBytes, 1, 3},
      {"a scanner holding the new file for longer than is waited",
       [=](Installation& m) { m.os.holdForNextCalls(temp, kReplaceRetries + 2); }, After::newBytes,
       0, kReplaceRetries + 1},
      {"a rename refused while a scanner holds the new file",
       [](Installation& m) { m.os.refuseRenamesInto(m.settingsPath, kErrorSharingViolation, 4); },
       After::newBytes, 5, 4},
      // The rename is refused: the file is rewritten in place. Only a refusal that passes is
      // waited out.
      {"the rename is refused for good",
       [](Installation& m) { m.os.refuseRenamesInto(m.settingsPath); }, After::newBytes},
      {"the rename fails for another reason",
       [](Installation& m) { m.os.refuseRenamesInto(m.settingsPath, kErrorWriteFault); },
       After::newBytes, 1, 0},
      {"old temporary files that can be neither opened nor removed",
       [](Installation& m) {
         m.os.addFile(m.folder + "DLTZRK_DL.TMP", "left by an older launcher", kAttributeReadOnly);
         m.os.addFile(m.folder + "ZRK1.TMP", "left by a crash", kAttributeReadOnly);
         m.os.addFile(m.folder + "ZRK2.TMP", "held");
         m.os.holdOpen(m.folder + "ZRK2.TMP");
       },
       After::newBytes},
      // A new file that holds anything when it is opened is not the one just made: another
      // program's, which is not touched. The settings are rewritten in place.
      {"the new file holds bytes of another program",
       [=](Installation& m) { m.os.writeWhenOpened(".TMP", temp, "x"); },
       After::newBytes,
       0,
       0,
       1,
       {temp}},
  };
  for (const Fault& f : faults) {
    for (const bool gameStarts : {true, false}) {
      SCOPED_TRACE(std::string(f.name) + (gameStarts ? "" : ", game does not start"));
      Installation m(At(kDirectory, kInput, gameStarts));
      f.prepare(m);
      const std::string written = gameStarts ? kKeyedOutput : kBareOutput;
      ExpectLaunch(
          m, {f.settings == After::newBytes ? written : kInput, {}, gameStarts, f.filesAdded});
      if (!gameStarts) continue;
      if (f.renames >= 0) {
        EXPECT_EQ(m.os.callCount("MoveFileExA"), f.renames);
      }
      if (f.pauses >= 0) {
        EXPECT_EQ(m.os.pauses().size(), static_cast<std::size_t>(f.pauses));
      }
      if (f.temps >= 0) {
        EXPECT_EQ(m.os.callCount("GetTempFileNameA"), f.temps);
      }
    }
  }
}

// Every call of the write failing on its own, one launch for each: the settings hold their old
// bytes or the new ones, whichever way they are written (through a new file and a rename, in place
// in a folder that takes no new files, in place for a file with a second name, in place after a
// rename refused for good, when the new file must be removed again) and whatever the
// old file's size (shorter than the new content, as long, much longer). Both kinds of failure: one
// that is waited out (access denied) and one that is not (a write fault).
TEST(FaultMatrix, EveryCallOfTheWriteFailingAlone) {
  const std::string longInput = kInput + std::string(100 * 1024, 'x');  // ignored after line 59
  const std::string otherName = "C:\\Backup\\DLTZRK_DL.INI";
  enum class Way { rename, noNewFiles, secondName, linkAsWine, renameRefused };
  for (const Way way :
       {Way::rename, Way::noNewFiles, Way::secondName, Way::linkAsWine, Way::renameRefused}) {
    for (const std::string& input : {BareFile(kFolder), kInput, longInput}) {
      // A second name, or the settings file behind a symbolic link without a reparse attribute.
      auto prepare = [&](Installation& m) {
        if (way == Way::noNewFiles) m.os.refuseNewFiles(m.folder);
        if (way == Way::secondName) m.os.addHardLink(m.settingsPath, otherName);
        if (way == Way::renameRefused) m.os.refuseRenamesInto(m.settingsPath, kErrorWriteFault);
        if (way == Way::linkAsWine) {
          m.os.addFile(otherName, input);
          m.os.deleteFile(m.settingsPath.c_str());
          m.os.addSymbolicLink(m.settingsPath, otherName, false);
        }
      };
      // The calls of the write: those after the data file was found, before the game starts.
      Installation clean(At(kDirectory, input));
      prepare(clean);
      clean.Run();
      ASSERT_EQ(clean.os.fileBytes(clean.settingsPath), kKeyedOutput);
      const int first = clean.os.callIndex("CloseHandle file " + clean.folder + "ZRK_DLN.SD") + 1;
      const int last = clean.os.callIndex("SetCurrentDirectoryA");
      ASSERT_LT(first, last);
      for (int call = first; call < last; ++call) {
        for (const std::uint32_t error : {kErrorAccessDenied, kErrorWriteFault}) {
          SCOPED_TRACE(clean.os.calls()[call] + ", error " + std::to_string(error) + ", " +
                       std::to_string(input.size()) + " bytes before");
          Installation m(At(kDirectory, input));
          prepare(m);
          m.os.failCall(static_cast<std::size_t>(call), error);
          EXPECT_EQ(m.Run(), 0);
          const std::string after = m.os.fileBytes(m.settingsPath);
          EXPECT_TRUE(after == input || after == kKeyedOutput) << m.os.dump();
          if (way == Way::secondName || way == Way::linkAsWine) {
            EXPECT_TRUE(m.os.sameFile(m.settingsPath, otherName));
          }
          // A new file whose removal fails for good is all that may be left; one refused for a
          // moment is removed on a later try. The journal of a rewrite in place stays where its
          // last flush failed (a cut could still tear the file), until the next start.
          const std::string& failed = clean.os.calls()[call];
          const bool removalFailed =
              failed.rfind("DeleteFileA", 0) == 0 && error != kErrorAccessDenied;
          const int setEnd = clean.os.callIndex("SetEndOfFile");
          const bool journalKept = failed.rfind("FlushFileBuffers", 0) == 0 && setEnd > 0 &&
                                   call > setEnd && way != Way::rename && way != Way::noNewFiles;
          EXPECT_EQ(m.os.files().size(),
                    clean.os.files().size() + (removalFailed ? 1 : 0) + (journalKept ? 1 : 0))
              << m.os.dump();
          EXPECT_TRUE(m.os.openHandles().empty()) << m.os.dump();
          EXPECT_TRUE(m.os.messageBoxes().empty());
          EXPECT_EQ(m.os.startedProcesses().size(), 1u);
          if (journalKept) {
            m.Run();
            EXPECT_FALSE(m.os.hasFile(m.folder + "ZRK.JNL"));
            EXPECT_EQ(m.os.fileBytes(m.settingsPath), kKeyedOutput);
          }
          if (HasFailure()) return;
        }
      }
    }
  }
}

// Offsets of the first byte of each line on disk.
std::vector<std::size_t> LineStarts(const std::string& disk) {
  std::vector<std::size_t> starts{0};
  for (std::size_t i = disk.find("\r\n"); i != std::string::npos; i = disk.find("\r\n", i + 2)) {
    if (i + 2 < disk.size()) starts.push_back(i + 2);
  }
  return starts;
}

// The file is read in blocks of 4096 bytes until the LF that ends line 59: an error anywhere in
// those blocks is met, one in a later block is not. (No block of these files ends in a CR, which
// would read one byte ahead.)
bool ReadErrorMet(const std::string& disk, std::size_t offset) {
  const std::size_t lastNeeded = LineStarts(disk)[kSettingsLineCount] - 1;
  return offset / CStdioFile::kStreamBufferSize <= lastNeeded / CStdioFile::kStreamBufferSize;
}

TEST(FaultMatrix, ReadErrorAtEveryLine) {
  // The long file with ten more lines after CD-ROM, reaching into a block never read.
  std::string longWithTail = kLongInput;
  for (int i = 0; i < 10; ++i) longWithTail += std::string(300, 't') + "\r\n";
  for (const auto& [input, keyed] :
       {std::pair{kInput, kKeyedOutput}, std::pair{longWithTail, kLongKeyedOutput}}) {
    for (std::size_t block = 1; block * 4096 <= input.size(); ++block) {
      ASSERT_NE(input[block * 4096 - 1], '\r');
    }
    const std::vector<std::size_t> starts = LineStarts(input);
    for (std::size_t line = 0; line < starts.size(); ++line) {
      for (const std::size_t offset : {starts[line], starts[line] + 1}) {
        SCOPED_TRACE("line " + std::to_string(line) + ", offset " + std::to_string(offset));
        Installation m(At(kDirectory, input));
        m.os.failReadAt(m.settingsPath, offset);
        if (ReadErrorMet(input, offset)) {
          ExpectLaunch(m, {input, kNotInstalledMessage, false});
        } else {
          ExpectLaunch(m, {keyed});
        }
        if (HasFailure()) return;
      }
    }
  }
}

TEST(FaultMatrix, ReadOnlyHiddenAndSystemSettingsAreLeftAlone) {
  const std::uint32_t kinds[] = {kAttributeReadOnly, kAttributeHidden, kAttributeSystem};
  for (std::uint32_t mask = 1; mask < 8; ++mask) {
    std::uint32_t attributes = kAttributeArchive;
    for (int bit = 0; bit < 3; ++bit) attributes |= (mask >> bit & 1) != 0 ? kinds[bit] : 0;
    for (const bool gameStarts : {true, false}) {
      SCOPED_TRACE("attributes " + std::to_string(attributes));
      Installation m(At(kDirectory, kInput, gameStarts));
      m.os.setAttributes(m.settingsPath, attributes);
      ExpectLaunch(m, {kInput, {}, gameStarts});
      EXPECT_EQ(m.os.attributesOf(m.settingsPath), attributes);
    }
  }
}

// Held by another program when it is read, the settings file is as if it were not there; a data
// file that every test finds held makes the installation look damaged, unless a copy on another
// drive is found instead.
TEST(FaultMatrix, SettingsOrDataFileHeldOpen) {
  {
    Installation m(At(kDirectory));
    m.os.holdOpen(m.settingsPath);
    ExpectLaunch(m, {kInput, kNotInstalledMessage, false});
  }
  {
    Installation m(At(kDirectory));
    m.os.holdOpen(m.folder + "ZRK_DLN.SD");
    ExpectLaunch(m, {kInput, kDamagedMessage, false});
  }
  {
    Installation m(At(kDirectory));
    m.os.holdOpen(m.folder + "ZRK_DLN.SD");
    m.os.addDrive('D', kDriveFixed);
    m.os.addFile("D:\\Games\\X\\ZRK_DLN.SD", "data");
    ExpectLaunch(m, {OnDisk(Keyed(Values("D:\\Games\\X\\")))});
    ASSERT_EQ(m.os.startedProcesses().size(), 1u);
    EXPECT_EQ(m.os.startedProcesses()[0].currentDirectory, "D:\\Games\\X\\");
  }
}

TEST(FaultMatrix, DrivesWithoutMediaOfEveryType) {
  for (std::uint32_t type = kDriveUnknown; type <= kDriveRamdisk; ++type) {
    for (const bool copyOnF : {false, true}) {
      SCOPED_TRACE("type " + std::to_string(type) + (copyOnF ? ", copy on F" : ""));
      Installation m(At(kDirectory));
      m.os.deleteFile((m.folder + "ZRK_DLN.SD").c_str());
      m.os.addDrive('E', type, false);
      m.os.addFile("E:\\Games\\X\\ZRK_DLN.SD", "data");  // there, but unreadable without media
      if (copyOnF) {
        m.os.addDrive('F', kDriveRemovable);
        m.os.addFile("F:\\Games\\X\\ZRK_DLN.SD", "data");
        ExpectLaunch(m, {OnDisk(Keyed(Values("F:\\Games\\X\\")))});
      } else {
        ExpectLaunch(m, {kInput, kDamagedMessage, false});
      }
      // Only fixed and removable drives are asked for their volume, and an empty one fails there,
      // before any file on it is touched.
      const bool probed = type == kDriveFixed || type == kDriveRemovable;
      EXPECT_EQ(m.os.callCount("GetVolumeInformationA E:\\"), probed ? 1 : 0);
      EXPECT_EQ(m.os.callCount("CreateFileA E:"), 0);
    }
  }
}

// A current directory of exactly `length` bytes of the given kind, in folders of about 100 bytes:
// on drive C ("C:\ddd\ddd"), on a network share ("\\s\hddd\ddd"), or in Japanese folders of
// the character 表, whose second byte is 0x5C ("C:\表表\表表d").
std::string DirectoryOfLength(std::size_t length, int kind) {
  std::string dir = kind == 1 ? "\\\\s\\h" : "C:\\";
  std::size_t part = kind == 1 ? 1 : 0;  // bytes of the last folder name so far
  while (dir.size() < length) {
    const std::size_t left = length - dir.size();
    if (part >= 100 && left >= 2) {
      dir += '\\';
      part = 0;
    } else if (kind == 2 && left >= 2) {
      dir += "\x95\\";
      part += 2;
    } else {
      dir += 'd';
      ++part;
    }
  }
  return dir;
}

TEST(FaultMatrix, StartupDirectoriesOfEveryLength) {
  // The settings file path (directory, backslash, "DLTZRK_DL.INI") must fit 259 bytes.
  constexpr std::size_t kLongestThatFits = 259 - 1 - 13;
  for (std::size_t length = 3; length <= 300; ++length) {
    for (const int kind : {0, 1, 2}) {
      const std::string dir = DirectoryOfLength(length, kind);
      if (dir.size() != length) continue;  // a share needs 5 bytes at least
      SCOPED_TRACE("\"" + dir + "\", " + std::to_string(length) + " bytes");
      Installation m(At(dir, BareFile("x")));
      if (length <= kLongestThatFits) {
        ExpectLaunch(m, {KeyedFile(dir + "\\")});
      } else {
        ExpectLaunch(m, {BareFile("x"), kNotInstalledMessage, false});
      }
      if (HasFailure()) return;
    }
  }
  // No volume has a current directory of one or two bytes; a platform that answered one anyway
  // still gets only paths that fit: "C:" names the root of C, "\" names no share at all. A failed
  // GetCurrentDirectoryA is a settings file that cannot be opened.
  {
    Installation m(At("C:\\", BareFile("x")));
    m.os.reportCurrentDirectory("C:");
    ExpectLaunch(m, {KeyedFile("C:\\")});
  }
  {
    Installation m(At("C:\\", BareFile("x")));
    m.os.reportCurrentDirectory("\\");
    ExpectLaunch(m, {BareFile("x"), kNotInstalledMessage, false});
  }
  {
    Installation m(At("C:\\", BareFile("x")));  // and no answer at all
    m.os.reportCurrentDirectory("");
    ExpectLaunch(m, {BareFile("x"), kNotInstalledMessage, false});
  }
}

}  // namespace
