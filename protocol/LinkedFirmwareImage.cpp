// The image linked into the program as read-only data (the firmware_image library). Its own
// translation unit, so that only the programs that call these functions carry the data.
#include "FirmwareImage.h"

// Defined by the firmware_image library (generated at build time from the configured image).
extern "C" const std::uint8_t tarnet_firmware_image_data[];

const std::uint8_t* LoadFirmwareImage() {
    return tarnet_firmware_image_data;
}

FirmwareImage EmbeddedFirmwareImage() {
    return FirmwareImage(tarnet_firmware_image_data, IMAGE_SIZE);
}
