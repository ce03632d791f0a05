// Host side of the update protocol for the simulator's tests, written from the message layout
// alone (independent of the product's encoder).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace devsimtest {

using Bytes = std::vector<uint8_t>;

inline constexpr uint8_t MODEL = 0x6A;
inline const Bytes IDENTITY_REQUEST{0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7};
inline const Bytes ERASE{0xF0, 0x7D, 0x00, MODEL, 0x01, 0xF7};
inline const Bytes FINISH{0xF0, 0x7D, 0x00, MODEL, 0x04, 0xF7};

inline Bytes Status(uint8_t code) { return {0xF0, 0x7D, 0x00, MODEL, 0x00, code, 0xF7}; }

// Host-side encoder, written from the message layout alone.
inline void Groups(Bytes& out, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>((v >> (7 * i)) & 0x7F));
}

inline uint32_t BitwiseJamCrc(const uint8_t* p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return c;
}

inline Bytes BuildBlock(uint32_t address, const uint8_t* data, uint32_t length, uint8_t model = MODEL) {
    Bytes m{0xF0, 0x7D, 0x00, model, 0x02};
    Groups(m, address, 5);
    Groups(m, length, 2);
    for (uint32_t g = 0; g < length; g += 7) {
        const uint32_t n = std::min<uint32_t>(7, length - g);
        uint8_t lead = 0;
        for (uint32_t j = 0; j < n; ++j) lead |= static_cast<uint8_t>((data[g + j] >> 7) << (6 - j));
        m.push_back(lead);
        for (uint32_t j = 0; j < n; ++j) m.push_back(data[g + j] & 0x7F);
    }
    Groups(m, BitwiseJamCrc(data, length), 5);
    m.push_back(0xF7);
    return m;
}

inline Bytes MakeImage(uint32_t seed) {
    Bytes image(327680);
    std::mt19937 rng(seed);
    for (auto& b : image) b = static_cast<uint8_t>(rng());
    return image;
}

}  // namespace devsimtest
