// Which device of the system's lists a device name stands for, as a copy of tarnet-update resolves
// it, and the check that --all never starts two copies on one device.
#pragma once

#include <optional>
#include <string>
#include <vector>

// Index of the device called `name` in a device list; the last match wins, as in the window.
// -1 when there is none.
int FindDevice(const std::vector<std::string>& names, const std::string& name);

// Why `devices` (each both MIDI IN and MIDI OUT, one copy each) can't be updated at once: a name
// given twice, or two names that the lists resolve (FindDevice) to one MIDI IN or one MIDI OUT
// device, whose copies would interleave their messages and take each other's answers. Nullopt
// when every device has a MIDI IN and a MIDI OUT of its own (or none at all). With empty lists,
// only the names are compared.
std::optional<std::string> DevicesSharingAPort(const std::vector<std::string>& devices,
                                               const std::vector<std::string>& inNames,
                                               const std::vector<std::string>& outNames);
