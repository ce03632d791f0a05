// Encoding of numbers and image data into the 7-bit bytes of a SysEx message, and the block
// checksum (CRC-32/JAMCRC). Pure functions; safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int ADDRESS_GROUPS = 5;  // addresses and checksums: bits 0..31
inline constexpr int LENGTH_GROUPS = 2;   // lengths: bits 0..13
inline constexpr std::uint32_t CRC32_INIT = 0xFFFFFFFFu;

// Number of bytes Pack7Bit writes for `length` source bytes: length + ceil(length / 7), 0 for
// length <= 0.
constexpr int PackedLength(int length) {
    return length <= 0 ? 0 : length + (length + 6) / 7;
}

// Packs `length` bytes from `src` into `dst`, 7 source bytes into 8: each group of up to 7 bytes
// becomes a leading byte holding their bit 7 (first byte -> bit 6, seventh -> bit 0) followed by
// the bytes with bit 7 cleared. Returns PackedLength(length); writes nothing for length <= 0.
// `dst` must hold PackedLength(length) bytes and must not overlap `src`.
int Pack7Bit(std::uint8_t* dst, const std::uint8_t* src, int length);

// One checksum step: (crc >> 8) ^ table[(crc ^ byte) & 0xFF], reflected polynomial 0xEDB88320.
std::uint32_t Crc32Update(std::uint32_t crc, std::uint8_t byte);
// Checksum of `count` bytes: starts from CRC32_INIT, no final inversion (CRC-32/JAMCRC).
std::uint32_t Crc32Compute(const std::uint8_t* data, std::size_t count);

// Writes `value` as `groups` bytes of 7 bits, least significant group first. Bits above
// 7 * groups are dropped (for 5 groups the last carries bits 28..31).
void Write7BitGroups(std::uint8_t* dst, std::uint32_t value, int groups);
// Reads `groups` (1..5) bytes written that way: b0 + b1 * 2^7 + b2 * 2^14 + ... in unsigned 32-bit
// arithmetic, so bits 4..6 of a fifth group fall away.
std::uint32_t Read7BitGroups(const std::uint8_t* src, int groups);
