// The receiving side of the 7-to-8 packing, written apart from the encoder so that tests compare
// the encoder against an independent reading of the format.
#pragma once

#include <cstdint>
#include <vector>

namespace testsupport {

// A leading byte, then up to 7 bytes whose bit 7 comes from the leading byte, first byte from
// bit 6, seventh from bit 0.
inline std::vector<std::uint8_t> Unpack7Bit(const std::uint8_t* packed, std::size_t size) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < size;) {
        const std::uint8_t lead = packed[i++];
        for (int j = 0; j < 7 && i < size; ++j, ++i) {
            out.push_back(static_cast<std::uint8_t>(packed[i] | (((lead >> (6 - j)) & 1) << 7)));
        }
    }
    return out;
}

}  // namespace testsupport
