#include "FirmwareImage.h"

// Defined by the firmware_image library (generated at build time from the configured image).
extern "C" const std::uint8_t tarnet_firmware_image_data[];

const std::uint8_t* LoadFirmwareImage() {
    return tarnet_firmware_image_data;
}

FirmwareImage EmbeddedFirmwareImage() {
    return FirmwareImage(tarnet_firmware_image_data, IMAGE_SIZE);
}

bool IsRangeInsideImage(std::int64_t address, std::int64_t length) {
    // Bound the length first, so that the address comparison below cannot overflow.
    if (length < 0 || length > MAX_BLOCK_LENGTH) return false;
    return address >= IMAGE_BASE_ADDRESS && address <= IMAGE_END_ADDRESS - length;
}

std::optional<std::span<const std::uint8_t>> ImageBlockView(const std::uint8_t* image,
                                                            std::int64_t address,
                                                            std::int64_t length) {
    if (image == nullptr || !IsRangeInsideImage(address, length)) return std::nullopt;
    const auto offset = static_cast<std::size_t>(address - IMAGE_BASE_ADDRESS);
    return std::span<const std::uint8_t>(image + offset, static_cast<std::size_t>(length));
}
