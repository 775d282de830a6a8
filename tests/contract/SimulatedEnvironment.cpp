// The contract tests' environment on the simulated Windows: a new machine per test, seeded
// through SimulatedWindows' own calls.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "ContractEnvironment.h"
#include "simulated/SimulatedWindows.h"
#include "support/FailsWith.h"

namespace {

class SimulatedEnvironment final : public ContractEnvironment {
 public:
  // The code page from ZRK_CODE_PAGE (932 unless it says 1252), as CTest runs the suite once
  // for each.
  SimulatedEnvironment() {
    const char* codePage = std::getenv("ZRK_CODE_PAGE");
    windows_.setCodePage(codePage != nullptr && std::string(codePage) == "1252" ? 1252 : 932);
    windows_.addLibrary(std::string(SimulatedWindows::kSystemFolder) + "\\" + kLibrary);
  }

  Platform& platform() override { return windows_; }
  void poisonLastError() override { windows_.setLastError(testing_support::kPoisonedError); }

  std::string makeFolder() override {
    const std::string folder = "C:\\contract\\test" + std::to_string(++folders_) + "\\";
    windows_.addDirectory(folder);
    return folder;
  }

  void makeDirectory(const std::string& path) override { windows_.addDirectory(path); }

  void makeFile(const std::string& path, const std::string& bytes,
                std::uint32_t attributes) override {
    windows_.addFile(path, bytes, attributes);
  }

  std::string fileBytes(const std::string& path, bool* exists) override {
    const bool present = windows_.hasFile(path);
    if (exists != nullptr) *exists = present;
    return present ? windows_.fileBytes(path) : std::string();
  }

  void makeHardLink(const std::string& existing, const std::string& path) override {
    windows_.addHardLink(existing, path);
  }
  bool makeSymbolicLink(const std::string& bytes, std::string& link, std::string& target) override {
    const std::string folder = makeFolder();
    target = folder + "real\\target.ini";
    link = folder + "sym.ini";
    windows_.addFile(target, bytes);
    windows_.addSymbolicLink(link, target);
    return true;
  }

  bool makeFolderLink(std::string& link, std::string& target) override {
    const std::string folder = makeFolder();
    target = folder + "real";
    link = folder + "linked";
    windows_.addFile(target + "\\target.ini", "");
    windows_.addJunction(link, target);
    return true;
  }

  // The simulation hands no handle to the processes it starts.
  bool inheritable(OsHandle) override { return false; }

  void holdFile(const std::string& path) override { windows_.holdOpen(path); }
  void releaseFile(const std::string& path) override { windows_.release(path); }

  char unmappedDriveLetter() override { return 'Q'; }

  std::uint32_t codePage() override { return windows_.isLeadByte('\x81') ? 932 : 1252; }
  std::string programFolder() override { return "C:\\"; }  // the launcher is C:\ZRK_START.exe
  char driveWithoutMedia() override {
    windows_.addDrive('R', kDriveCdrom, false);
    return 'R';
  }
  int diskPrompts() override { return static_cast<int>(windows_.criticalErrorPrompts().size()); }
  std::string presentLibrary() override { return kLibrary; }
  std::string systemFolder() override {
    return std::string(SimulatedWindows::kSystemFolder) + "\\";
  }
  bool installStandInLibrary(const std::string& path) override {
    if (windows_.hasFile(path)) return false;
    windows_.addLibrary(path);
    standIns_.push_back(path);
    return true;
  }
  std::string standInAt(ModuleHandle module) override {
    const std::string path = windows_.libraryPath(module);
    const bool standIn = std::find(standIns_.begin(), standIns_.end(), path) != standIns_.end();
    return standIn ? path : std::string();
  }
  void putOnPath(const std::string& folder) override { windows_.setSearchPath({folder}); }

  std::string installGuiChild(const std::string& folder, const std::string& fileName) override {
    windows_.addExecutable(folder + fileName);
    return folder + fileName;
  }
  std::string installConsoleChild(const std::string& folder, const std::string& fileName) override {
    windows_.addExecutable(folder + fileName, SimulatedWindows::ProgramKind::console);
    return folder + fileName;
  }

  // The simulation records each start with the directory as it was passed (none: the
  // launcher's). The child sees it as GetCurrentDirectoryA gives it: resolved to a full path,
  // without a trailing backslash except at a drive root.
  ChildReport childReport(const std::string& folder) override {
    ChildReport report;
    std::string directory;
    for (const auto& started : windows_.startedProcesses()) {
      if (started.image.compare(0, folder.size(), folder) != 0) continue;
      report.started = true;
      directory = started.currentDirectory.empty() ? windows_.currentDirectoryPath()
                                                   : started.currentDirectory;
      report.commandLine = started.commandLine;
    }
    if (!report.started) return report;
    char full[kMaxPath] = {};
    windows_.fullPathName(directory.c_str(), kMaxPath, full, nullptr);
    report.currentDirectory = full;
    if (report.currentDirectory.size() > 3 && report.currentDirectory.back() == '\\') {
      report.currentDirectory.pop_back();
    }
    return report;
  }

  void endChild(const ProcessInfo&) override {}

  // The short name is the one Wine 8.0 gives this name: its first four characters, each one
  // outside ASCII as "_", then "~" and three characters of a hash of the name. None where
  // ZRK_SHORT_NAMES is "off", as on a volume with 8.3 names switched off.
  std::u16string enterWideFolder(const std::string& parent, const std::u16string& name,
                                 const std::string& file, const std::string& bytes) override {
    const std::string folder = parent + windows_.name(name);
    windows_.addFile(folder + "\\" + file, bytes);
    windows_.setCurrentDirectoryPath(folder);
    const char* shortNames = std::getenv("ZRK_SHORT_NAMES");
    if (shortNames != nullptr && std::string(shortNames) == "off") return u"";
    const std::string shortName = kShortName;
    windows_.setShortName(folder, shortName);
    return std::u16string(shortName.begin(), shortName.end());
  }

  const char* differs(KnownDifference) override { return nullptr; }

 private:
  static constexpr const char* kLibrary = "kernel32.dll";
  static constexpr const char* kShortName = "____~NVI";
  SimulatedWindows windows_;
  std::vector<std::string> standIns_;
  int folders_ = 0;
};

}  // namespace

std::unique_ptr<ContractEnvironment> makeContractEnvironment() {
  return std::make_unique<SimulatedEnvironment>();
}
