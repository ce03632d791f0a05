// A JACK port in the terms of the naming rule (DeviceNaming.h). JACK names a port
// "CLIENT:PORT": the client's name up to the first ':', the port's short name after it.
#pragma once

#include <string_view>

#include "platform/DeviceNaming.h"

namespace platform {

// `fullName` must outlive the description. A name without ':' stands for both parts.
inline PortDescription DescribeJackPort(std::string_view fullName) {
    const std::size_t colon = fullName.find(':');
    if (colon == std::string_view::npos) return PortDescription{MidiSystem::Jack, fullName, fullName};
    return PortDescription{MidiSystem::Jack, fullName.substr(0, colon), fullName.substr(colon + 1)};
}

}  // namespace platform
