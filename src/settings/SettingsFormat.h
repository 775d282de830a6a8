// The settings file "DLTZRK_DL.INI": its key table, the line slots that hold it, and the rules that
// turn a held line into an output line.
//
// The file has a header line (line 0) and one value for each of lines 1 to 59. In the bare form
// each line is the value alone (60 lines); in the keyed form each value stands behind its key and
// the line "CD-ROM=C:" closes the file (61 lines). In memory every line ends in a single LF.
#pragma once

#include <cstddef>

inline constexpr int kSettingsLineCount = 60;  // lines 0 to 59 are read and held
inline constexpr int kOutputLineCount = 61;    // the keyed form adds the closing line
inline constexpr std::size_t kLineSlotSize = 261;
inline constexpr std::size_t kLineReadSize = 260;  // a read delivers at most 259 bytes
inline constexpr std::size_t kMaxKeyLength = 12;
// An output line is a key and a whole held value, so it never needs cutting.
inline constexpr std::size_t kOutputSlotSize = kMaxKeyLength + kLineSlotSize;

inline constexpr char kKeyedMarker[] = "FOLDER=";
inline constexpr std::size_t kKeyedMarkerLength = 7;

// The key of each line, with its "=", in line order; line 0 (the header) has none.
struct SettingsKeyTable {
  static const char* const kKeys[kSettingsLineCount];
  static const std::size_t kLengths[kSettingsLineCount];
};

// Lines 0 to 59 as read: NUL-terminated, each with its LF when it fit, and how many bytes each
// read delivered (a NUL byte among them hides the rest from strlen).
struct SettingsLines {
  char slot[kSettingsLineCount][kLineSlotSize];
  std::size_t length[kSettingsLineCount];
};

// The lines of the keyed form being written.
struct OutputLines {
  char slot[kOutputLineCount][kOutputSlotSize];
};

// True when a held line 1 begins with "FOLDER=": the file is in the keyed form.
bool IsKeyedForm(const SettingsLines& lines);

// Replaces each of lines 1 to 59 by what its read delivered from the key's length in bytes on
// (the key is dropped without being compared). `scratch` (kLineSlotSize - 3 bytes at least: the
// shortest key has 3) carries the copy. A line whose text is shorter than its key becomes an
// empty value that keeps the line's LF.
void StripKeys(SettingsLines& lines, char* scratch);

// Builds the 61 lines of the keyed form: the header as held, each key followed by its value, and
// the closing "CD-ROM=C:" line.
void FormatKeyedLines(const SettingsLines& lines, OutputLines& output);
