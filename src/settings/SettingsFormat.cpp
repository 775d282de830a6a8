#include "settings/SettingsFormat.h"

#include <cstring>

#include "common/ByteString.h"

const char* const SettingsKeyTable::kKeys[kSettingsLineCount] = {
    "",
    "FOLDER=",
    "OPTION=",
    "CG=",
    "MUS=",
    "SND=",
    "VOICE1=",
    "VOICE2=",
    "BG=",
    "SIZE=",
    "POSITION=",
    "VOICE=",
    "BGM=",
    "SE=",
    "SPEED=",
    "ASPEED=",
    "FONTSMTH=",
    "FONTSHADOW=",
    "OVERLAP=",
    "EFFECT=",
    "KIDOKU=",
    "MIDOKU=",
    "SKIPKEY=",
    "SKIPTYPE=",
    "FULLSCREEN=",
    "CCOLOR=",
    "RCOLOR=",
    "KCOLOR=",
    "MCOLOR=",
    "VOLUMECHECK=",
    "VOLUMEMUS=",
    "VOLUMEVIC=",
    "VOLUMESND=",
    "DSNOUSE=",
    "NOMOVIE=",
    "DXSHOW=",
    "SAVELOADD=",
    "SAVELOADBP=",
    "DSMESSAGE=",
    "SOUNDOPT=",
    "SKIPSTOP=",
    "AUTOSTOP=",
    "WINDWALLP=",
    "WINDWPNTR=",
    "KCOLCHG=",
    "VOLUMEALL=",
    "VOLUMEDWN=",
    "MUSICDOWN=",
    "VOICECUT=",
    "WHEELBTN=",
    "RBTNCLICK=",
    "ALLSOUND=",
    "AUTOMCUR=",
    "WAKUBTNLOCK=",
    "BACKLOGTYPE=",
    "CURSORCLEAR=",
    "EXHSINVMSG=",
    "VOLUMEC01=",
    "VOLUMEC02=",
    "VOLUMEC03=",
};

const std::size_t SettingsKeyTable::kLengths[kSettingsLineCount] = {
    0, 7, 7,  3,  4,  4,  7,  7,  3, 5,  9,  6,  4,  3,  6,  7,  9,  11, 8,  7,
    7, 7, 8,  9,  11, 7,  7,  7,  7, 12, 10, 10, 10, 8,  8,  7,  10, 11, 10, 9,
    9, 9, 10, 10, 8,  10, 10, 10, 9, 9,  10, 9,  9,  12, 12, 12, 11, 10, 10, 10,
};

bool IsKeyedForm(const SettingsLines& lines) {
  return std::strncmp(lines.slot[1], kKeyedMarker, kKeyedMarkerLength) == 0;
}

void StripKeys(SettingsLines& lines, char* scratch) {
  for (int n = 1; n < kSettingsLineCount; ++n) {
    char* line = lines.slot[n];
    std::size_t& length = lines.length[n];
    const bool endsInLf = length > 0 && line[length - 1] == '\n';
    const std::size_t textLength = endsInLf ? length - 1 : length;
    const std::size_t keyLength = SettingsKeyTable::kLengths[n];
    if (textLength < keyLength) {
      // Too short to hold its key: nothing of a value is left, but the line keeps its break.
      std::strcpy(line, endsInLf ? "\n" : "");
      length = endsInLf ? 1 : 0;
      continue;
    }
    // The bytes behind the key and the read's terminator.
    std::memcpy(scratch, line + keyLength, length - keyLength + 1);
    std::memcpy(line, scratch, length - keyLength + 1);
    length -= keyLength;
  }
}

void FormatKeyedLines(const SettingsLines& lines, OutputLines& output) {
  // Every output slot holds the longest key and a whole held line, so no join can fail.
  static_assert(kOutputSlotSize >= kMaxKeyLength + kLineSlotSize);
  JoinBytes(output.slot[0], kOutputSlotSize, "", lines.slot[0]);
  for (int n = 1; n < kSettingsLineCount; ++n) {
    JoinBytes(output.slot[n], kOutputSlotSize, SettingsKeyTable::kKeys[n], lines.slot[n]);
  }
  // The closing line always names drive C, whatever the file said before.
  JoinBytes(output.slot[kSettingsLineCount], kOutputSlotSize, "CD-ROM=C:\n", "");
}
