#include "Encoding.h"

#include <array>

namespace {

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1u) ? (c >> 1) ^ 0xEDB88320u : (c >> 1);
        table[i] = c;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> CRC_TABLE = MakeCrcTable();
static_assert(CRC_TABLE[1] == 0x77073096u && CRC_TABLE[255] == 0x2D02EF8Du,
              "not the standard table of the reflected polynomial 0xEDB88320");

}  // namespace

int Pack7Bit(std::uint8_t* dst, const std::uint8_t* src, int length) {
    if (length <= 0) return 0;
    std::uint8_t* out = dst;
    for (int start = 0; start < length; start += 7) {
        const int n = (length - start < 7) ? length - start : 7;
        std::uint8_t* lead = out++;
        std::uint8_t high = 0;
        for (int j = 0; j < n; ++j) {
            const std::uint8_t b = src[start + j];
            high = static_cast<std::uint8_t>(high | ((b >> 7) << (6 - j)));
            *out++ = static_cast<std::uint8_t>(b & 0x7F);
        }
        *lead = high;
    }
    return static_cast<int>(out - dst);
}

std::uint32_t Crc32Update(std::uint32_t crc, std::uint8_t byte) {
    return (crc >> 8) ^ CRC_TABLE[(crc ^ byte) & 0xFFu];
}

std::uint32_t Crc32Compute(const std::uint8_t* data, std::size_t count) {
    std::uint32_t crc = CRC32_INIT;
    for (std::size_t i = 0; i < count; ++i) crc = (crc >> 8) ^ CRC_TABLE[(crc ^ data[i]) & 0xFFu];
    return crc;
}

void Write7BitGroups(std::uint8_t* dst, std::uint32_t value, int groups) {
    for (int i = 0; i < groups; ++i) {
        dst[i] = static_cast<std::uint8_t>(i * 7 < 32 ? (value >> (i * 7)) & 0x7Fu : 0u);
    }
}

std::uint32_t Read7BitGroups(const std::uint8_t* src, int groups) {
    std::uint32_t value = 0;
    for (int i = 0; i < groups && i < 5; ++i) {
        value += static_cast<std::uint32_t>(src[i]) << (i * 7);
    }
    return value;
}
