#include "platform/DeviceNaming.h"

#include <algorithm>
#include <map>
#include <set>

namespace platform {

std::string DeviceName(const PortDescription& port) {
    if (port.system == MidiSystem::AlsaSequencer) return std::string(port.client);
    return std::string(port.port);
}

namespace {

// How far the devices of one name are numbered: how many are named, and the last number given.
struct Count {
    int named = 0;
    int number = 1;
};

// The name of the next device of `name`: the first keeps it, the others take the next number whose
// name is not in `taken` (which then holds it).
std::string Next(const std::string& name, Count& count, std::set<std::string>& taken) {
    if (count.named++ == 0) return name;
    std::string candidate;
    do {
        candidate = name + " (" + std::to_string(++count.number) + ")";
    } while (taken.count(candidate) != 0);
    taken.insert(candidate);
    return candidate;
}

}  // namespace

ListedNames NumberDeviceLists(const std::vector<NamedPort>& inputs, const std::vector<NamedPort>& outputs) {
    const std::vector<NamedPort>* const lists[2] = {&inputs, &outputs};
    std::set<std::string> taken;
    // The known units of each name, with the lowest number of their ports in either list.
    std::map<std::string, std::map<std::string, long>> unitsOf;
    for (const auto* list : lists) {
        for (const NamedPort& port : *list) {
            taken.insert(port.name);
            if (port.unit.empty()) continue;
            auto& units = unitsOf[port.name];
            const auto [at, added] = units.emplace(port.unit, port.order);
            if (!added && port.order < at->second) at->second = port.order;
        }
    }
    // The known units first, once for both lists, in the order of their numbers.
    std::map<std::string, Count> counts;
    std::map<std::pair<std::string, std::string>, std::string> unitName;
    for (const auto& [name, units] : unitsOf) {
        std::vector<std::pair<long, std::string>> byOrder;
        for (const auto& [unit, order] : units) byOrder.emplace_back(order, unit);
        std::sort(byOrder.begin(), byOrder.end());
        for (const auto& [order, unit] : byOrder) unitName[{name, unit}] = Next(name, counts[name], taken);
    }
    // Then in each list on its own the devices whose unit is not known, after the known units of
    // their name.
    ListedNames listed;
    std::vector<std::string>* const results[2] = {&listed.ins, &listed.outs};
    for (int side = 0; side < 2; ++side) {
        const std::vector<NamedPort>& list = *lists[side];
        std::map<std::string, std::set<long>> devicesOf;
        for (const NamedPort& port : list) {
            if (port.unit.empty()) devicesOf[port.name].insert(port.order);
        }
        std::map<std::string, Count> listCounts = counts;
        std::set<std::string> listTaken = taken;
        std::map<std::pair<std::string, long>, std::string> deviceName;
        for (const auto& [name, orders] : devicesOf) {
            for (const long order : orders) deviceName[{name, order}] = Next(name, listCounts[name], listTaken);
        }
        std::vector<std::string>& result = *results[side];
        result.reserve(list.size());
        for (const NamedPort& port : list) {
            result.push_back(port.unit.empty() ? deviceName.at({port.name, port.order})
                                               : unitName.at({port.name, port.unit}));
        }
    }
    return listed;
}

std::vector<std::string> NumberIdenticalNames(const std::vector<std::string>& names, const std::vector<long>& units) {
    if (units.size() != names.size()) return names;
    std::vector<NamedPort> ports;
    ports.reserve(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) ports.push_back(NamedPort{names[i], units[i], {}});
    return NumberDeviceLists(ports, {}).ins;
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
