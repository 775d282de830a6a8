// Fuzz target: the settings file's bytes, whatever they are, through three whole launches: the
// standard installation (keyed write, game started), a drive root where the game cannot start
// (keyed, then bare write), and a Japanese folder whose name ends in the byte 0x5C with the data
// file only on another drive (drive move). The input is the file itself, so real settings files
// are seeds as they stand.
#include <cstddef>
#include <cstdint>
#include <string>

#include "LaunchHarness.h"

using fuzz::Data;
using fuzz::Game;
using fuzz::MachineSpec;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  fuzz::RunAndCheck(fuzz::StandardMachine(bytes));

  MachineSpec root = fuzz::StandardMachine(bytes);
  root.directory = "C:\\";
  root.drives[2].game = Game::fails;
  fuzz::RunAndCheck(root);

  // D:\ゲーム\表: the last character's trail byte is 0x5C. The data file and the game are on E:.
  MachineSpec moved = fuzz::StandardMachine(bytes);
  moved.directory = "D:\\\x83Q\x81[\x83\x80\\\x95\\";
  moved.drives[2] = fuzz::DriveSpec{};
  moved.drives[3].present = true;
  moved.drives[4] =
      fuzz::DriveSpec{true, kDriveRemovable, true, kFsCasePreserved, Data::file, Game::starts};
  fuzz::RunAndCheck(moved);
  return 0;
}
