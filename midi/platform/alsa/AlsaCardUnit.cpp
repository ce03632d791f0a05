#include "AlsaCardUnit.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace platform::alsa {

namespace fs = std::filesystem;

namespace {

// A serial number is a USB string descriptor: at most 126 UTF-16 units, well within this.
constexpr std::size_t MAX_SERIAL_BYTES = 512;

// Whether the sysfs object at `object` belongs to the USB bus: its "subsystem" link names the
// bus's folder, ".../bus/usb".
bool OnUsb(const fs::path& object) {
    std::error_code ec;
    const fs::path subsystem = fs::canonical(object / "subsystem", ec);
    return !ec && subsystem.filename() == "usb";
}

// The first line of the file at `path`, without its line break; empty when it can't be read.
std::string FirstLine(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return {};
    std::string line;
    std::getline(file, line);
    if (line.size() > MAX_SERIAL_BYTES) line.resize(MAX_SERIAL_BYTES);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

}  // namespace

MidiDevUnit CardUnit(const std::string& sysfsRoot, int card) {
    MidiDevUnit unit;
    if (card < 0) return unit;
    try {
        std::error_code ec;
        const fs::path interface =
            fs::canonical(fs::path(sysfsRoot) / "class" / "sound" / ("card" + std::to_string(card)) / "device", ec);
        if (ec || !OnUsb(interface)) return unit;
        // An interface is named "<device>:<configuration>.<interface>"; the device above it has
        // the name without the colon, and is on USB too.
        const fs::path device = interface.parent_path();
        const std::string name = device.filename().string();
        const std::string interfaceName = interface.filename().string();
        if (name.empty() || name.find(':') != std::string::npos || interfaceName.rfind(name + ":", 0) != 0 ||
            !OnUsb(device)) {
            return unit;
        }
        unit.usbPath = name;
        unit.usbSerial = FirstLine(device / "serial");
    } catch (...) {
        // Out of memory while building a path: nothing is known.
        return {};
    }
    return unit;
}

}  // namespace platform::alsa
