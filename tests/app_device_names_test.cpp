// Which device a list selects by default.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DeviceNames.h"

namespace {

const std::string JAPANESE = DEFAULT_DEVICE_NAMES[0];
const std::string ENGLISH = "USB Audio Device";

}  // namespace

TEST(DefaultDeviceNames, AreTheTwoTableEntriesForTheFirstCopyAndCarryTheNumberForOthers) {
    EXPECT_EQ(JAPANESE, "USB オーディオ デバイス");
    EXPECT_EQ(JAPANESE.size(), 32u);  // UTF-8 bytes
    EXPECT_EQ(DefaultDeviceNames(1), (std::vector<std::string>{JAPANESE, ENGLISH}));
    EXPECT_EQ(DefaultDeviceNames(2),
              (std::vector<std::string>{JAPANESE + " (2)", "USB Audio Device (2)"}));
    EXPECT_EQ(DefaultDeviceNames(20)[1], "USB Audio Device (20)");
}

TEST(DefaultSelection, TheLastOfSeveralEqualNamesWins) {
    EXPECT_EQ(SelectDefaultDevice({ENGLISH, "Other", ENGLISH, "Other"}, 1), 2);
}

TEST(DefaultSelection, TheLastMatchWinsWhicheverDefaultNameItEquals) {
    EXPECT_EQ(SelectDefaultDevice({JAPANESE, "Other", ENGLISH}, 1), 2);
    EXPECT_EQ(SelectDefaultDevice({ENGLISH, "Other", JAPANESE}, 1), 2);
    EXPECT_EQ(SelectDefaultDevice({"Other", JAPANESE}, 1), 1);
}

TEST(DefaultSelection, ASecondCopySelectsOnlyNamesWithItsNumber) {
    EXPECT_EQ(SelectDefaultDevice({"USB Audio Device (2)", ENGLISH}, 2), 0);
    EXPECT_EQ(SelectDefaultDevice({ENGLISH, "USB Audio Device (3)"}, 2), -1);
    EXPECT_EQ(SelectDefaultDevice({JAPANESE + " (2)", "x"}, 2), 0);
    EXPECT_EQ(SelectDefaultDevice({"USB Audio Device (2)"}, 1), -1);
}

TEST(DefaultSelection, OnlyTheExactWholeNameMatches) {
    EXPECT_EQ(SelectDefaultDevice({"usb audio device"}, 1), -1);
    EXPECT_EQ(SelectDefaultDevice({"USB Audio Device X"}, 1), -1);
    EXPECT_EQ(SelectDefaultDevice({"USB Audio Device "}, 1), -1);
    EXPECT_EQ(SelectDefaultDevice({" USB Audio Device"}, 1), -1);
    EXPECT_EQ(SelectDefaultDevice({"USB Audio Devic"}, 1), -1);
    EXPECT_EQ(SelectDefaultDevice({"USB Audio Device (2)x"}, 2), -1);
    EXPECT_EQ(SelectDefaultDevice({"USB Audio Device(2)"}, 2), -1);
}

TEST(DefaultSelection, NoDevicesOrNoMatchGiveNoSelection) {
    EXPECT_EQ(SelectDefaultDevice({}, 1), -1);
    EXPECT_EQ(SelectDefaultDevice({"", "Midi Through"}, 1), -1);
}
