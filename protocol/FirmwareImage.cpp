#include "FirmwareImage.h"

// LoadFirmwareImage and EmbeddedFirmwareImage live in LinkedFirmwareImage.cpp, apart from the range
// checks here: a program that carries the image otherwise (the Windows window, as a resource) uses
// these without linking the image's data in a second time.

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
