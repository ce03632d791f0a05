// Default MIDI devices: which entry of a device list the window selects on its own.
//
// A copy of the program picks the devices whose whole name equals one of the two default names,
// for copy n > 1 with " (n)" appended, so that several copies each take their own device. Names are
// compared byte for byte in the encoding in which the MIDI layer reports them (UTF-8 here).
#pragma once

#include <array>
#include <string>
#include <vector>

// The table of default names, in the order in which an entry is compared with them.
inline constexpr std::array<const char*, 2> DEFAULT_DEVICE_NAMES = {
    "USB \xE3\x82\xAA\xE3\x83\xBC\xE3\x83\x87\xE3\x82\xA3\xE3\x82\xAA "
    "\xE3\x83\x87\xE3\x83\x90\xE3\x82\xA4\xE3\x82\xB9",  // "USB オーディオ デバイス"
    "USB Audio Device",
};

// The default names for instance `instanceNumber`: the table unchanged for instance 1, otherwise
// each entry followed by " (n)".
std::vector<std::string> DefaultDeviceNames(int instanceNumber);

// Position of the entry of `names` that the list selects by default: the last entry that equals one
// of the default names of the instance exactly, or -1 when none does.
int SelectDefaultDevice(const std::vector<std::string>& names, int instanceNumber);
