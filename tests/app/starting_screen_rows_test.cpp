#include "app/starting/starting_screen_rows.h"

#include <gtest/gtest.h>

namespace app {

using streaming::DeviceStatus;

TEST(StartingRows, WithoutPermissionThePromptWhateverTheDevice) {
  for (auto status : {DeviceStatus::Detached, DeviceStatus::Attached, DeviceStatus::Connected}) {
    EXPECT_EQ(startingRow(false, status), StartingRow::noPermission);
  }
  const auto prompt = startingRowContent(StartingRow::noPermission);
  EXPECT_EQ(prompt.textKey, "PERMISSION_MAC_DESCRIPTION");
  EXPECT_EQ(prompt.buttonKey, "PERMISSION_MAC_BUTTON");
  EXPECT_EQ(prompt.imageAbove, std::nullopt);
  EXPECT_FALSE(prompt.showsBusyIndicator);
}

TEST(StartingRows, WithPermissionTheDeviceState) {
  EXPECT_EQ(startingRow(true, DeviceStatus::Detached), StartingRow::detached);
  EXPECT_EQ(startingRow(true, DeviceStatus::Attached), StartingRow::attached);
  EXPECT_EQ(startingRow(true, DeviceStatus::Connected), StartingRow::connected);

  const auto detached = startingRowContent(StartingRow::detached);
  EXPECT_EQ(detached.imageAbove, "usb");
  EXPECT_EQ(detached.textKey, "START_NO_USB");
  EXPECT_EQ(detached.buttonKey, std::nullopt);

  const auto attached = startingRowContent(StartingRow::attached);
  EXPECT_EQ(attached.textKey, "START_YES_USB");
  EXPECT_TRUE(attached.showsBusyIndicator);
  EXPECT_EQ(attached.imageAbove, std::nullopt);

  const auto connected = startingRowContent(StartingRow::connected);
  EXPECT_EQ(connected.textKey, "Dispositivo collegato");
  EXPECT_FALSE(connected.showsBusyIndicator);
}

TEST(StartingRows, ARefusedDisplayIsSaidWithItsReasonWhateverTheStateButNotWithoutPermission) {
  for (auto status : {DeviceStatus::Detached, DeviceStatus::Attached, DeviceStatus::Connected}) {
    EXPECT_EQ(startingRow(true, status, true), StartingRow::displayRefused);
    EXPECT_EQ(startingRow(false, status, true), StartingRow::noPermission);
  }
  const auto refused = startingRowContent(StartingRow::displayRefused);
  EXPECT_EQ(refused.textKey, "START_DISPLAY_REFUSED");
  EXPECT_EQ(refused.buttonKey, std::nullopt);
  EXPECT_FALSE(refused.showsBusyIndicator);

  struct Row {
    const char* text;
    const char* reason;
    const char* said;
  };
  const Row rows[] = {
      {"Not made: %@.", "The screen cannot grow", "Not made: the screen cannot grow."},
      {"Not made: %@", "GNOME refused a virtual monitor",
       "Not made: GNOME refused a virtual monitor"},
      {"Not made", "a screen of 10x10", "Not made: a screen of 10x10"},  // a table without the key
      {"%@", "X", "X"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(withReason(row.text, row.reason), row.said) << row.text;
  }
}

}  // namespace app
