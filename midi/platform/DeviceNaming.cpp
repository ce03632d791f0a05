#include "platform/DeviceNaming.h"

#include <map>
#include <set>

namespace platform {

std::string DeviceName(const PortDescription& port) {
    if (port.system == MidiSystem::AlsaSequencer) return std::string(port.client);
    return std::string(port.port);
}

std::vector<std::string> NumberIdenticalNames(const std::vector<std::string>& names, const std::vector<long>& units) {
    std::vector<std::string> listed = names;
    if (units.size() != names.size()) return listed;
    // The units of each name, in the system's order.
    std::map<std::string, std::set<long>> unitsOf;
    for (std::size_t i = 0; i < names.size(); ++i) unitsOf[names[i]].insert(units[i]);
    const std::set<std::string> own(names.begin(), names.end());
    std::set<std::string> taken = own;
    std::map<std::pair<std::string, long>, std::string> nameOf;
    for (const auto& [name, unitSet] : unitsOf) {
        if (unitSet.size() < 2) continue;
        int number = 1;
        bool first = true;
        for (const long unit : unitSet) {
            if (first) {
                first = false;
                continue;  // the first keeps the name
            }
            std::string candidate;
            do {
                candidate = name + " (" + std::to_string(++number) + ")";
            } while (taken.count(candidate) != 0);
            taken.insert(candidate);
            nameOf[{name, unit}] = candidate;
        }
    }
    for (std::size_t i = 0; i < listed.size(); ++i) {
        if (const auto found = nameOf.find({names[i], units[i]}); found != nameOf.end()) listed[i] = found->second;
    }
    return listed;
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
