// The firmware image as the Windows program carries it: resource "BIN" 129 of the program's
// module, exactly IMAGE_SIZE bytes (made from the configured image at build time).
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

struct FirmwareResource {
    // IMAGE_SIZE bytes, valid and unchanged while `module` stays loaded (for the program's own
    // module: until the process ends); null when the resource is missing or not IMAGE_SIZE bytes.
    const std::uint8_t* image = nullptr;
    // Why there is no image, as the message box at start-up shows it; empty with an image.
    std::string error;
};

// Looks up, loads and locks resource "BIN" 129 of `module` (null: the program's own module) and
// checks its size before anything reads it. Runs on the UI thread at start-up.
FirmwareResource LoadFirmwareResource(HMODULE module);

// The application object's image step over LoadFirmwareResource(module).
std::function<const std::uint8_t*(std::string& error)> FirmwareResourceStep(HMODULE module);
