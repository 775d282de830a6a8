// Fuzz target: the whole machine around a launch. A small deterministic decoder turns the input
// into a start-up directory (any length; every byte a current directory can hold in code page
// 932), a drive table (types, media, where the data file and the game lie), the launcher's own
// place, a settings file (raw bytes, or lines built around the directory so that FOLDER often
// matches), its attributes and sharing, and now and then one injected fault.
#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "LaunchHarness.h"
#include "platform/FileReplace.h"
#include "support/SettingsModel.h"

namespace {

using fuzz::Data;
using fuzz::Game;
using fuzz::IsLeadByte;
using fuzz::IsNameByte;
using fuzz::IsTrailByte;
using fuzz::MachineSpec;

// Any bytes as path components: '\' and '/' separate, a lead byte takes the next byte as its
// trail (made valid), any other byte a name cannot hold becomes a letter. Empty components and
// "." and ".." go, trailing periods and spaces go (as Windows drops them), and a component keeps
// at most 255 bytes.
std::vector<std::string> Components(const std::string& raw) {
  std::vector<std::vector<std::string>> parts(1);
  for (std::size_t i = 0; i < raw.size(); ++i) {
    auto b = static_cast<unsigned char>(raw[i]);
    if (b == '\\' || b == '/') {
      parts.emplace_back();
    } else if (IsLeadByte(b)) {
      if (i + 1 == raw.size()) break;
      auto t = static_cast<unsigned char>(raw[++i]);
      if (!IsTrailByte(t)) t = static_cast<unsigned char>(0x40 + t % 0x3F);  // 0x40..0x7E
      parts.back().push_back(std::string{static_cast<char>(b), static_cast<char>(t)});
    } else {
      if (!IsNameByte(b)) b = static_cast<unsigned char>('a' + b % 26);
      parts.back().push_back(std::string(1, static_cast<char>(b)));
    }
  }
  std::vector<std::string> out;
  for (const auto& chars : parts) {
    std::vector<std::string> kept;
    std::size_t bytes = 0;
    for (const std::string& c : chars) {
      if (bytes + c.size() > 255) break;
      kept.push_back(c);
      bytes += c.size();
    }
    while (!kept.empty() && (kept.back() == "." || kept.back() == " ")) kept.pop_back();
    std::string part;
    for (const std::string& c : kept) part += c;
    if (!part.empty()) out.push_back(part);
  }
  return out;
}

std::string Join(const std::vector<std::string>& parts) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) out += (i > 0 ? "\\" : "") + parts[i];
  return out;
}

std::string Directory(FuzzedDataProvider& in, int& driveIndex) {
  const bool share = in.ConsumeIntegralInRange<int>(0, 9) >= 8;
  std::string directory;
  if (share) {
    std::vector<std::string> server = Components(in.ConsumeRandomLengthString(12));
    std::vector<std::string> name = Components(in.ConsumeRandomLengthString(12));
    directory = "\\\\" + (server.empty() ? std::string("srv") : server[0]) + "\\" +
                (name.empty() ? std::string("share") : name[0]);
    driveIndex = -1;
  } else {
    driveIndex = in.ConsumeIntegralInRange<int>(0, 25);
    const bool lower = in.ConsumeIntegralInRange<int>(0, 7) == 7;
    directory = std::string(1, static_cast<char>((lower ? 'a' : 'A') + driveIndex)) + ":";
  }
  const std::string tail = Join(Components(in.ConsumeRandomLengthString(420)));
  if (!share) directory += "\\";
  if (!tail.empty()) directory += (share ? "\\" : "") + tail;
  if (!fuzz::IsValidDirectory(directory)) {
    std::fprintf(stderr, "decoder fault: invalid directory");
    for (const char c : directory) std::fprintf(stderr, " %02X", static_cast<unsigned char>(c));
    std::fprintf(stderr, "\n");
    std::abort();
  }
  return directory;
}

fuzz::DriveSpec Drive(FuzzedDataProvider& in) {
  const auto bits = in.ConsumeIntegral<std::uint16_t>();
  fuzz::DriveSpec d;
  d.present = (bits & 0x3) == 0x3;
  d.type = (bits >> 2) & 0x7;
  if (d.type == 7) d.type = kDriveFixed;
  d.media = ((bits >> 5) & 0x3) != 0x3;
  static constexpr Data kData[8] = {Data::none, Data::none, Data::none, Data::none,
                                    Data::file, Data::file, Data::held, Data::folder};
  d.data = kData[(bits >> 7) & 0x7];
  static constexpr Game kGame[4] = {Game::none, Game::starts, Game::fails, Game::none};
  d.game = kGame[(bits >> 10) & 0x3];
  static constexpr std::uint32_t kFlags[4] = {kFsCasePreserved | kFsUnicodeOnDisk, kFsCasePreserved,
                                              kFsUnicodeOnDisk, 0};
  d.fileSystemFlags = kFlags[(bits >> 12) & 0x3];
  return d;
}

std::string Eol(FuzzedDataProvider& in, int style) {
  if (style == 3) style = in.ConsumeIntegralInRange<int>(0, 2);
  return style == 0 ? "\r\n" : style == 1 ? "\n" : "\r";
}

// A settings file: raw bytes, or lines around `startup`.
std::string Settings(FuzzedDataProvider& in, const std::string& startup) {
  if (in.ConsumeIntegralInRange<int>(0, 3) == 3) return in.ConsumeRandomLengthString(20000);

  const bool keyed = in.ConsumeBool();
  const int eolStyle = in.ConsumeIntegralInRange<int>(0, 3);
  const int lines = in.ConsumeIntegralInRange<int>(0, 62);
  const int longLine = in.ConsumeIntegralInRange<int>(-1, 61);
  std::string file;
  for (int n = 0; n < lines; ++n) {
    std::string value;
    if (n == 0) {
      const int header = in.ConsumeIntegralInRange<int>(0, 2);
      value = header == 0   ? "[\x83U\x83\x8B\x83\x94\x83"
                              "F\x81[\x83i] DL 1.00"
              : header == 1 ? ""
                            : in.ConsumeRandomLengthString(20);
    } else if (n == 1) {
      // The start-up directory, lower-cased, without its final backslash, another, none, any.
      std::string lowered = startup;
      for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      const int pick = in.ConsumeIntegralInRange<int>(0, 6);
      const std::string picks[] = {
          startup, startup, lowered, startup.substr(0, startup.size() - 1), "C:\\Other\\", ""};
      value = pick < 6 ? picks[pick] : in.ConsumeRandomLengthString(20);
    } else if (n == 60) {
      value = "CD-ROM=D:";
    } else {
      value = in.ConsumeRandomLengthString(12);
    }
    if (n == longLine) value += std::string(in.ConsumeIntegralInRange<int>(200, 700), 'L');
    if (keyed && n >= 1 && n < settings_model::kLines) value = settings_model::kKeys[n] + value;
    file += value;
    if (n + 1 < lines || in.ConsumeBool()) file += Eol(in, eolStyle);
  }
  if (in.ConsumeIntegralInRange<int>(0, 7) == 7 && !file.empty()) {
    file.insert(in.ConsumeIntegralInRange<std::size_t>(0, file.size()), 1, '\x1A');
  }
  return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  MachineSpec spec;

  const int library = in.ConsumeIntegralInRange<int>(0, 15);
  spec.libraryAttempt = library == 15   ? 0
                        : library == 14 ? in.ConsumeIntegralInRange<int>(2, 12)
                                        : 1;
  for (fuzz::DriveSpec& d : spec.drives) d = Drive(in);
  spec.shareData = in.ConsumeBool() ? Data::file : Data::none;
  spec.shareGame = in.ConsumeBool() ? Game::starts : Game::fails;
  spec.launcherElsewhere = in.ConsumeIntegralInRange<int>(0, 7) == 7;
  spec.gameBesideLauncher = static_cast<Game>(in.ConsumeIntegralInRange<int>(0, 2));

  int driveIndex = -1;
  spec.directory = Directory(in, driveIndex);
  if (driveIndex >= 0) {
    fuzz::DriveSpec& home = spec.drives[driveIndex];
    home.present = true;
    // Mostly an installation that is there; sometimes not.
    if (in.ConsumeIntegralInRange<int>(0, 3) != 3) home.data = Data::file;
    if (in.ConsumeIntegralInRange<int>(0, 3) != 3) home.media = true;
  }

  // C: is the system drive: a fixed one with media, where the system folder is.
  spec.drives[2].type = kDriveFixed;
  spec.drives[2].media = true;

  const int settingsKind = in.ConsumeIntegralInRange<int>(0, 15);
  spec.settings = settingsKind == 14   ? fuzz::SettingsKind::absent
                  : settingsKind == 15 ? fuzz::SettingsKind::folder
                                       : fuzz::SettingsKind::file;
  spec.settingsNameLower = in.ConsumeIntegralInRange<int>(0, 3) == 3;
  static constexpr std::uint32_t kAttributes[4] = {
      kAttributeReadOnly, kAttributeHidden, kAttributeSystem,
      kAttributeReadOnly | kAttributeHidden | kAttributeSystem};
  const int attributes = in.ConsumeIntegralInRange<int>(0, 15);
  spec.settingsAttributes =
      (attributes >= 12 ? kAttributes[attributes - 12] : 0) | kAttributeArchive;
  // Rare things at the top of each range: an input that runs out reads as the plain case.
  spec.heldAtRead = in.ConsumeIntegralInRange<int>(0, 31) == 31;
  spec.heldAtWrite = in.ConsumeIntegralInRange<int>(0, 31) == 31;
  spec.heldAtRename = in.ConsumeIntegralInRange<int>(0, 31) == 31;
  spec.readCloseFails = in.ConsumeIntegralInRange<int>(0, 63) == 63;
  spec.dataCloseFails = in.ConsumeIntegralInRange<int>(0, 31) == 31;
  static constexpr fuzz::StaleTemp kStale[4] = {fuzz::StaleTemp::normal, fuzz::StaleTemp::readOnly,
                                                fuzz::StaleTemp::hidden, fuzz::StaleTemp::held};
  const int stale = in.ConsumeIntegralInRange<int>(0, 31);
  if (stale >= 28) spec.staleTemp = kStale[stale - 28];
  spec.tempCloseFails = in.ConsumeIntegralInRange<int>(0, 63) == 63;
  spec.flushFails = in.ConsumeIntegralInRange<int>(0, 63) == 63;
  spec.renamesRefused = in.ConsumeIntegralInRange<int>(0, 63) == 63;
  spec.refusesNewFiles = in.ConsumeIntegralInRange<int>(0, 15) == 15;
  spec.flushUnsupported = in.ConsumeIntegralInRange<int>(0, 31) == 31;
  const int link = in.ConsumeIntegralInRange<int>(0, 15);
  if (link == 14) spec.settingsLink = fuzz::SettingsLink::secondName;
  if (link == 15) spec.settingsLink = fuzz::SettingsLink::symbolic;
  if (in.ConsumeIntegralInRange<int>(0, 15) == 15) {
    spec.renameRefusals = in.ConsumeIntegralInRange<int>(1, 2 * (kReplaceRetries + 1) + 1);
  }
  const bool readFault = in.ConsumeIntegralInRange<int>(0, 15) == 15;
  const int diskFault = in.ConsumeIntegralInRange<int>(0, 15);  // 14: full, 15: writes stop
  const auto faultPick = in.ConsumeIntegral<std::uint32_t>();
  const auto roomPick = in.ConsumeIntegral<std::uint32_t>();

  spec.settingsBytes = Settings(in, spec.directory + "\\");
  if (readFault) spec.readFaultAt = faultPick % (spec.settingsBytes.size() + 1);
  const std::uint64_t room = roomPick % (3 * spec.settingsBytes.size() + 4000);
  if (diskFault == 14) spec.freeSpace = room;
  if (diskFault == 15) spec.writesStopAfter = room;

  fuzz::RunAndCheck(spec);
  return 0;
}
