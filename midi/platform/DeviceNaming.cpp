#include "platform/DeviceNaming.h"

namespace platform {

std::string DeviceName(const PortDescription& port) {
    if (port.system == MidiSystem::AlsaSequencer) return std::string(port.client);
    return std::string(port.port);
}

bool IsOwnPort(const PortDescription& port) {
    const std::string_view client = port.client;
    const std::string_view own = CLIENT_NAME;
    if (client.substr(0, own.size()) != own) return false;
    if (client.size() == own.size()) return true;
    // JACK and ALSA make a taken client name unique as "NAME-01", "NAME-02", ...
    if (client[own.size()] != '-' || client.size() == own.size() + 1) return false;
    for (std::size_t i = own.size() + 1; i < client.size(); ++i) {
        if (client[i] < '0' || client[i] > '9') return false;
    }
    return true;
}

}  // namespace platform
