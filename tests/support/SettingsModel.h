// A reference model of the settings file's round trip, written from the file's documented rules
// and independent of the launcher's code: text-mode reading in 259-byte pieces, 0x1A, keyed-form
// recognition, key stripping, missing lines as empty lines, FOLDER reconciliation, the drive move,
// and the keyed and bare forms as they reach the disk. The fuzz targets compare the launcher's
// result with it byte for byte.
#pragma once

#include <array>
#include <cstddef>
#include <string>

namespace settings_model {

inline constexpr int kLines = 60;
inline constexpr std::size_t kPiece = 259;  // the most one line read delivers

// The key of each line, in line order; the header line has none. Kept apart from the launcher's
// own table on purpose: a wrong key there must show up here as a difference.
inline const std::array<std::string, kLines> kKeys = {
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

using Lines = std::array<std::string, kLines>;

struct ReadResult {
  Lines lines;  // what each read delivered, NUL bytes included; a missing line is "\n"
  // Bytes of the file that the reads must have looked at: a read error at an offset below this
  // cannot go unnoticed. Reads go by blocks, so an error somewhat beyond it may be noticed too.
  std::size_t mustRead = 0;
};

// Sixty line reads in text mode: CR LF is LF, a lone CR stays, 0x1A ends the text; each read takes
// up to and including the next LF, at most 259 bytes.
inline ReadResult Read(const std::string& disk) {
  std::string text;
  std::string::size_type end = disk.find('\x1A');
  const bool endMark = end != std::string::npos;
  if (!endMark) end = disk.size();
  std::basic_string<std::size_t> lastByte;  // per text byte: offset of the last disk byte it used
  for (std::size_t i = 0; i < end; ++i) {
    if (disk[i] == '\r' && i + 1 < end && disk[i + 1] == '\n') {
      text += '\n';
      lastByte += i + 1;
      ++i;
    } else {
      text += disk[i];
      // A CR not followed by LF was told apart by looking at the next byte.
      lastByte += (disk[i] == '\r' && i + 1 < disk.size()) ? i + 1 : i;
    }
  }

  ReadResult result;
  std::size_t at = 0;
  bool ranOut = false;
  for (std::string& line : result.lines) {
    if (at == text.size()) {
      line = "\n";
      ranOut = true;
      continue;
    }
    const std::size_t lf = text.find('\n', at);
    const std::size_t length =
        std::min(kPiece, (lf == std::string::npos ? text.size() : lf + 1) - at);
    line = text.substr(at, length);
    at += length;
  }
  if (!ranOut) {
    result.mustRead = at == 0 ? 0 : lastByte[at - 1] + 1;
  } else {
    // The text ran out: the reads went on to the end mark or the end of the file.
    result.mustRead = endMark ? end + 1 : disk.size();
  }
  return result;
}

inline bool IsKeyed(const Lines& lines) {
  return lines[1].compare(0, 7, "FOLDER=") == 0;
}

// Each of lines 1 to 59 loses its key's length in bytes of what its read delivered (NUL bytes
// count like any other); a line too short for its key keeps only its line break.
inline void Strip(Lines& lines) {
  for (int n = 1; n < kLines; ++n) {
    std::string& line = lines[n];
    const bool lf = !line.empty() && line.back() == '\n';
    const std::size_t text = line.size() - (lf ? 1 : 0);
    const std::size_t key = kKeys[n].size();
    line = text < key ? (lf ? "\n" : "") : line.substr(key);
  }
}

// The lines as the launcher holds and writes them: C strings, which end at a NUL byte.
inline void CutAtNul(Lines& lines) {
  for (std::string& line : lines) line = line.substr(0, line.find('\0'));
}

// FOLDER (line 1 without its LF) is compared with the start-up directory; a differing value is
// replaced by the start-up directory and a LF.
inline void Reconcile(Lines& lines, const std::string& startup) {
  const std::string value = lines[1].substr(0, lines[1].find('\n'));
  if (value != startup) lines[1] = startup + "\n";
}

// Every LF reaches the disk as CR LF.
inline std::string OnDisk(const std::string& text) {
  std::string disk;
  for (const char c : text) {
    if (c == '\n') disk += '\r';
    disk += c;
  }
  return disk;
}

inline std::string KeyedFile(const Lines& lines) {
  std::string text = lines[0];
  for (int n = 1; n < kLines; ++n) text += kKeys[n] + lines[n];
  return OnDisk(text + "CD-ROM=C:\n");
}

inline std::string BareFile(const Lines& lines) {
  std::string text;
  for (const std::string& line : lines) text += line;
  return OnDisk(text);
}

}  // namespace settings_model
