#include "FirmwareResource.h"

#include <cstdio>

#include "FirmwareImage.h"
#include "resource.h"

namespace {

FirmwareResource Failure(const std::string& what) {
    FirmwareResource result;
    result.error = what + " Install the program again.";
    return result;
}

}  // namespace

FirmwareResource LoadFirmwareResource(HMODULE module) {
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(IDR_FIRMWARE), "BIN");
    if (found == nullptr) {
        return Failure("The firmware image (resource \"BIN\" 129) is missing from the program.");
    }
    // The size is checked before the data is touched: a short resource is never read past its end.
    const DWORD size = SizeofResource(module, found);
    if (size != static_cast<DWORD>(IMAGE_SIZE)) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "The firmware image (resource \"BIN\" 129) in the program is %lu bytes, "
                      "not %ld.",
                      static_cast<unsigned long>(size), static_cast<long>(IMAGE_SIZE));
        return Failure(text);
    }
    HGLOBAL loaded = LoadResource(module, found);
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes == nullptr) {
        return Failure("The firmware image (resource \"BIN\" 129) in the program cannot be read.");
    }
    FirmwareResource result;
    result.image = static_cast<const std::uint8_t*>(bytes);
    return result;
}

std::function<const std::uint8_t*(std::string& error)> FirmwareResourceStep(HMODULE module) {
    return [module](std::string& error) {
        const FirmwareResource resource = LoadFirmwareResource(module);
        error = resource.error;
        return resource.image;
    };
}
