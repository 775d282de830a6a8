// The one check of a finished launch that the whole-launch tests share.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>

#include "app/Messages.h"
#include "support/Installation.h"

namespace testing_support {

// One of the three messages.
struct Message {
  const char* text;
  const char* caption;
};
inline constexpr Message kDirectXMessage{kDirectXText, kDirectXCaption};
inline constexpr Message kNotInstalledMessage{kNotInstalledText, kNotInstalledCaption};
inline constexpr Message kDamagedMessage{kDamagedText, kDamagedCaption};

// What a finished launch has left.
struct Outcome {
  std::optional<std::string> settings;  // the settings file's bytes; none: there is no such file
  std::optional<Message> message = {};  // the one message box, if any
  bool gameStarted = true;
  std::set<std::string> filesAdded = {};  // by another program during the launch
};

// Runs the launcher on `machine` and checks the launch: exit code 0; the one message (no owner,
// OK only) or none; the settings file's bytes, and never a half-written file; the game started or
// not; and nothing left behind: the same files as before, no handle open at the end or at an
// immediate end of the process, no prompt for a disk.
inline void ExpectLaunch(Installation& machine, const Outcome& expected) {
  SimulatedWindows& os = machine.os;
  std::set<std::string> files = machine.Files();
  files.insert(expected.filesAdded.begin(), expected.filesAdded.end());
  EXPECT_EQ(machine.Run(), 0);

  const auto& boxes = os.messageBoxes();
  if (expected.message) {
    ASSERT_EQ(boxes.size(), 1u) << os.dump();
    EXPECT_EQ(boxes[0].text, expected.message->text);
    EXPECT_EQ(boxes[0].caption, expected.message->caption);
    EXPECT_EQ(boxes[0].owner, 0u);
    EXPECT_EQ(boxes[0].type, kMbOk);
  } else {
    EXPECT_TRUE(boxes.empty()) << boxes[0].caption;
  }
  ASSERT_EQ(os.hasFile(machine.settingsPath), expected.settings.has_value());
  if (expected.settings) {
    const std::string after = machine.Settings();
    EXPECT_TRUE(after == machine.original || after == *expected.settings)
        << "half-written settings: " << after.size() << " bytes";
    EXPECT_EQ(after, *expected.settings);
  }
  EXPECT_EQ(os.startedProcesses().size(), expected.gameStarted ? 1u : 0u);
  EXPECT_EQ(machine.Files(), files) << os.dump();
  EXPECT_TRUE(os.openHandles().empty()) << os.dump();
  EXPECT_TRUE(os.handlesOpenAtExit().empty()) << os.dump();
  // A drive without media fails quietly: the player is never asked to insert a disk.
  EXPECT_TRUE(os.criticalErrorPrompts().empty()) << os.criticalErrorPrompts()[0];
}

}  // namespace testing_support
