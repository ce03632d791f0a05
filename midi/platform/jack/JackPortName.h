// A JACK port in the terms of the naming rule (DeviceNaming.h). JACK names a port
// "CLIENT:PORT": the client's name up to the first ':', the port's short name after it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/DeviceNaming.h"

namespace platform {

// `fullName` must outlive the description. A name without ':' stands for both parts.
inline PortDescription DescribeJackPort(std::string_view fullName) {
    const std::size_t colon = fullName.find(':');
    if (colon == std::string_view::npos) return PortDescription{MidiSystem::Jack, fullName, fullName};
    return PortDescription{MidiSystem::Jack, fullName.substr(0, colon), fullName.substr(colon + 1)};
}

// The listed names of the ports `fullNames`, in the server's order: each port's short name, ports of
// the same short name numbered in that order (DeviceNaming.h).
inline std::vector<std::string> ListedJackNames(const std::vector<std::string>& fullNames) {
    std::vector<std::string> names;
    std::vector<long> order;
    for (const std::string& full : fullNames) {
        names.push_back(DeviceName(DescribeJackPort(full)));
        order.push_back(static_cast<long>(order.size()));
    }
    return NumberIdenticalNames(names, order);
}

}  // namespace platform
