#include "DeviceWire.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace devsim {
namespace {

constexpr std::array<uint32_t, 256> MakeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : (c >> 1);
        table[i] = c;
    }
    return table;
}
constexpr std::array<uint32_t, 256> CRC_TABLE = MakeCrcTable();

void PutGroups(std::vector<uint8_t>& out, uint32_t v, int count) {
    for (int i = 0; i < count; ++i) out.push_back(static_cast<uint8_t>((v >> (7 * i)) & 0x7F));
}

}  // namespace

uint32_t Crc32Jam(const uint8_t* data, size_t size) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) crc = (crc >> 8) ^ CRC_TABLE[(crc ^ data[i]) & 0xFF];
    return crc;
}

size_t PackedSize(size_t length) { return length + (length + 6) / 7; }

size_t BlockMessageLength(const uint8_t* m, size_t n) {
    using namespace wire;
    if (n < 12 || m[0] != SOX || m[1] != MANUFACTURER || m[4] != OP_BLOCK || ((m[10] | m[11]) & 0x80) != 0) return 0;
    return PackedSize(Groups(m + 10, 2)) + BLOCK_OVERHEAD;
}

bool Unpack7Bit(uint8_t* out, const uint8_t* packed, size_t length) {
    size_t in = 0;
    for (size_t done = 0; done < length;) {
        const size_t group = std::min<size_t>(7, length - done);
        const uint8_t lead = packed[in++];
        if (lead & 0x80) return false;
        // Bits for bytes that a short last group does not have must be clear.
        if (group < 7 && (lead & ((1u << (7 - group)) - 1)) != 0) return false;
        for (size_t j = 0; j < group; ++j) {
            const uint8_t b = packed[in++];
            if (b & 0x80) return false;
            out[done + j] = static_cast<uint8_t>(b | (((lead >> (6 - j)) & 1) << 7));
        }
        done += group;
    }
    return true;
}

namespace wire {

uint32_t Groups(const uint8_t* p, int count) {
    uint32_t v = 0;
    for (int i = 0; i < count; ++i) v |= static_cast<uint32_t>(p[i]) << (7 * i);
    return v;
}

bool SevenBitBody(const uint8_t* m, size_t n) {
    for (size_t i = 1; i + 1 < n; ++i)
        if (m[i] & 0x80) return false;
    return true;
}

bool InsideImage(uint32_t address, uint32_t length) {
    return address >= IMAGE_BASE && address <= IMAGE_END && length <= IMAGE_END - address;
}

std::vector<uint8_t> Status(uint8_t model, uint8_t status) {
    return {SOX, MANUFACTURER, 0x00, model, OP_STATUS, static_cast<uint8_t>(status & 0x7F), EOX};
}

std::vector<uint8_t> IdentityReply(uint8_t model) {
    return {SOX, UNIVERSAL_NON_REALTIME, 0x00, GENERAL_INFORMATION, IDENTITY_REPLY, MANUFACTURER, model,
            0x00, 0x00, 0x00, 0x31, 0x30, 0x30, 0x30, EOX};
}

std::vector<uint8_t> IdentityRequest() {
    return {SOX, UNIVERSAL_NON_REALTIME, 0x7F, GENERAL_INFORMATION, IDENTITY_REQUEST, EOX};
}

std::vector<uint8_t> BlockRequest(uint8_t model, uint32_t address, uint32_t length) {
    std::vector<uint8_t> m{SOX, MANUFACTURER, 0x00, model, OP_BLOCK_REQUEST};
    PutGroups(m, address, 5);
    PutGroups(m, length, 2);
    m.push_back(EOX);
    return m;
}

std::vector<uint8_t> UnknownRequest(uint8_t model) { return {SOX, MANUFACTURER, 0x00, model, OP_UNKNOWN_TO_HOST, EOX}; }

std::vector<uint8_t> LongMessage(uint8_t model, uint32_t bytes) {
    std::vector<uint8_t> m(std::max<uint32_t>(bytes, 7), 0x00);
    m[0] = SOX;
    m[1] = MANUFACTURER;
    m[3] = model;
    m.back() = EOX;
    return m;
}

std::string Hex(uint32_t v, int width) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", width, v);
    return buf;
}

std::string HexBytes(const uint8_t* m, size_t n) {
    std::string text;
    for (size_t i = 0; i < n && i < 16; ++i) {
        // Appended piece by piece: GCC 12 at -O3 warns (falsely, -Wrestrict) about
        // `const char* + std::string` here.
        if (i != 0) text += ' ';
        text += Hex(m[i], 2).substr(2);
    }
    return n > 16 ? text + " ..." : text;
}

std::string Range(uint32_t address, uint32_t length) { return Hex(address) + "+" + std::to_string(length); }

}  // namespace wire
}  // namespace devsim
