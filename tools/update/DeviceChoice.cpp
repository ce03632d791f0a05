#include "DeviceChoice.h"

#include "TerminalText.h"

namespace {

// A name from the command line or the system in a message: quoted, its controls escaped.
std::string Quoted(const std::string& name) { return "\"" + EscapeControls(name) + "\""; }

}  // namespace

int FindDevice(const std::vector<std::string>& names, const std::string& name) {
    int found = -1;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] == name) found = static_cast<int>(i);
    }
    return found;
}

std::optional<std::string> DevicesSharingAPort(const std::vector<std::string>& devices,
                                               const std::vector<std::string>& inNames,
                                               const std::vector<std::string>& outNames) {
    const char* const ONE_COPY = ": a device takes one update at a time";
    for (std::size_t i = 0; i < devices.size(); ++i) {
        for (std::size_t j = i + 1; j < devices.size(); ++j) {
            // The device that each copy would open, also where the same text names it twice.
            for (const auto& [list, direction] : {std::pair{&inNames, "MIDI IN"}, std::pair{&outNames, "MIDI OUT"}}) {
                const int port = FindDevice(*list, devices[i]);
                if (port < 0 || port != FindDevice(*list, devices[j])) continue;
                return Quoted(devices[i]) + " and " + Quoted(devices[j]) + " are one " + direction + " device (" +
                       std::to_string(port) + ": " + Quoted((*list)[static_cast<std::size_t>(port)]) + ")" + ONE_COPY;
            }
            // A device that is not (yet) there: its copies would wait on one device all the same.
            if (devices[i] == devices[j]) return "device " + Quoted(devices[i]) + " is named twice" + ONE_COPY;
        }
    }
    return std::nullopt;
}
