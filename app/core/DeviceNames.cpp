#include "DeviceNames.h"

std::vector<std::string> DefaultDeviceNames(int instanceNumber) {
    std::vector<std::string> result;
    result.reserve(DEFAULT_DEVICE_NAMES.size());
    for (const char* name : DEFAULT_DEVICE_NAMES) {
        if (instanceNumber == 1) {
            result.emplace_back(name);
        } else {
            result.push_back(std::string(name) + " (" + std::to_string(instanceNumber) + ")");
        }
    }
    return result;
}

int SelectDefaultDevice(const std::vector<std::string>& names, int instanceNumber) {
    const std::vector<std::string> defaults = DefaultDeviceNames(instanceNumber);
    int selected = -1;
    for (std::size_t i = 0; i < names.size(); ++i) {
        for (const std::string& candidate : defaults) {
            if (names[i] == candidate) {
                selected = static_cast<int>(i);
                break;
            }
        }
    }
    return selected;
}
