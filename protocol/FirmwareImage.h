// The firmware image carried inside the program, and the view of device-address ranges of it.
//
// The image is IMAGE_SIZE opaque bytes, linked into the program as read-only data (or, in the
// Windows window, carried as a resource of the program and handed to the engine by the window); the
// device stores it from IMAGE_BASE_ADDRESS on, so image offset o is device address
// IMAGE_BASE_ADDRESS + o.
// Nothing writes, copies or frees it, so any thread may read it at any time without a lock.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

inline constexpr std::int32_t IMAGE_SIZE = 0x50000;            // 327680 bytes
inline constexpr std::int32_t IMAGE_BASE_ADDRESS = 0xA0000;    // device address of offset 0
inline constexpr std::int32_t IMAGE_END_ADDRESS = IMAGE_BASE_ADDRESS + IMAGE_SIZE;  // 0xF0000, first address after it
inline constexpr std::int32_t MAX_BLOCK_LENGTH = 16383;        // largest length a block message carries

// The embedded image as a whole.
using FirmwareImage = std::span<const std::uint8_t, IMAGE_SIZE>;

// Pointer to the first of the IMAGE_SIZE embedded bytes. Never null; valid for the whole process.
const std::uint8_t* LoadFirmwareImage();
// The same bytes as a sized view.
FirmwareImage EmbeddedFirmwareImage();

// True exactly when 0 <= length <= MAX_BLOCK_LENGTH and the device-address range
// [address, address + length) lies within [IMAGE_BASE_ADDRESS, IMAGE_END_ADDRESS). Any 64-bit
// inputs are accepted without overflow; negative ones are refused.
bool IsRangeInsideImage(std::int64_t address, std::int64_t length);

// The `length` bytes of `image` (IMAGE_SIZE bytes) that begin at device address `address`, or
// nothing when the range is not inside the image (IsRangeInsideImage) or `image` is null. A range
// that is refused is never read; the caller decides what to do instead.
std::optional<std::span<const std::uint8_t>> ImageBlockView(const std::uint8_t* image,
                                                            std::int64_t address,
                                                            std::int64_t length);
