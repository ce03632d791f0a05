#include "platform/webmidi/WebMidiPorts.h"

#include <algorithm>

#include "platform/DeviceNaming.h"

namespace platform {

bool WebMidiPortList::IsConnected(const std::string& id) const {
    return std::any_of(m_connected.begin(), m_connected.end(), [&](const WebMidiPort& p) { return p.id == id; });
}

std::uint32_t WebMidiPortList::TakeListing() {
    // Each port is a unit of its own, numbered in the page's order (the order in which the browser
    // found the ports).
    std::vector<std::string> names;
    std::vector<long> units;
    for (std::size_t i = 0; i < m_connected.size(); ++i) {
        names.push_back(m_connected[i].name);
        units.push_back(static_cast<long>(i));
    }
    const std::vector<std::string> numbered = NumberIdenticalNames(names, units);
    m_listed = m_connected;
    for (std::size_t i = 0; i < m_listed.size(); ++i) m_listed[i].name = numbered[i];
    return static_cast<std::uint32_t>(m_listed.size());
}

const WebMidiPort* WebMidiPortList::Listed(std::uint32_t index) const {
    return index < m_listed.size() ? &m_listed[index] : nullptr;
}

}  // namespace platform
