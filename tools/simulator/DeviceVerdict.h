// The simulated device's verdict on an update: what it received, checked against what it was
// told to expect.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "DeviceSimulator.h"

namespace devsim {

// Success when FINISH was seen after the whole image had arrived, the stored `image` equals the
// expected one (when given), every pull was answered correctly, the host's identity arrived (when
// asked), and (strict) the host sent nothing malformed or unexpected. `line` receives one line
// starting with "PASS: " or "FAIL: ", with the counts and the answers sent twice.
bool JudgeUpdate(const DeviceSummary& summary, const std::vector<uint8_t>& image, const DeviceSimulatorConfig& config,
                 std::string* line);

}  // namespace devsim
