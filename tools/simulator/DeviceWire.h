// The simulated device's side of the wire: the bytes of the messages it reads and writes, its own
// CRC-32 and 7-bit unpacking (independent of the host's encoder), and the short texts that its log
// uses for addresses and bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace devsim {

inline constexpr uint32_t IMAGE_BASE = 0xA0000;
inline constexpr uint32_t IMAGE_BYTES = 327680;
inline constexpr uint32_t IMAGE_END = IMAGE_BASE + IMAGE_BYTES;  // first address after the image
inline constexpr uint32_t MAX_BLOCK_LENGTH = 16383;              // two 7-bit groups

// Status codes that the simulated device answers with.
enum DeviceStatus : uint8_t {
    STATUS_OK = 0,                // accepted / done
    STATUS_REFUSED = 1,           // refused by the fault schedule (the default code)
    STATUS_CRC_ERROR = 2,         // block checksum does not match its unpacked bytes
    STATUS_SEQUENCE_ERROR = 3,    // block not at the next expected address, before a successful
                                  // ERASE, or reaching past the image
    STATUS_FRAME_ERROR = 4,       // wrong length fields or total size, byte >= 0x80 inside, missing
                                  // F7, padding bits set in a short packed group, empty block
    STATUS_WRONG_MODEL = 5,       // update-protocol message for another model
    STATUS_NOT_IN_VERSION_UP = 11 // the device is not in its version-up mode
};

// CRC-32/JAMCRC: reflected polynomial 0xEDB88320, initial 0xFFFFFFFF, no final inversion.
uint32_t Crc32Jam(const uint8_t* data, size_t size);

// Bytes that `length` raw bytes occupy once packed 7 into 8.
size_t PackedSize(size_t length);

// The whole length of the block message (ours, of any model) that begins with `size` bytes at
// `data`, as its length field gives it; 0 when they are not such a message's beginning or don't
// hold its length field yet.
size_t BlockMessageLength(const uint8_t* data, size_t size);

// Inverse of the 7-into-8 packing: reads PackedSize(length) bytes from `packed` and writes `length`
// bytes to `out`. False when a packed byte has bit 7 set or a short last group carries bits for
// bytes that are not there (the output is then incomplete).
bool Unpack7Bit(uint8_t* out, const uint8_t* packed, size_t length);

namespace wire {

inline constexpr uint8_t SOX = 0xF0;
inline constexpr uint8_t EOX = 0xF7;
inline constexpr uint8_t MANUFACTURER = 0x7D;
inline constexpr uint8_t UNIVERSAL_NON_REALTIME = 0x7E;
inline constexpr uint8_t GENERAL_INFORMATION = 0x06;
inline constexpr uint8_t IDENTITY_REQUEST = 0x01;
inline constexpr uint8_t IDENTITY_REPLY = 0x02;
inline constexpr uint8_t OP_STATUS = 0x00;
inline constexpr uint8_t OP_ERASE = 0x01;
inline constexpr uint8_t OP_BLOCK = 0x02;
inline constexpr uint8_t OP_BLOCK_REQUEST = 0x03;
inline constexpr uint8_t OP_FINISH = 0x04;
inline constexpr uint8_t OP_UNKNOWN_TO_HOST = 0x40;  // an opcode no host knows (the burst's requests)
inline constexpr size_t BLOCK_OVERHEAD = 18;         // header 5, address 5, length 2, checksum 5, F7

// `count` 7-bit groups from `p`, least significant first.
uint32_t Groups(const uint8_t* p, int count);
// True when every byte between the first and the last has bit 7 clear.
bool SevenBitBody(const uint8_t* m, size_t n);
// True when [address, address + length) lies wholly inside the image.
bool InsideImage(uint32_t address, uint32_t length);

// The device's messages.
std::vector<uint8_t> Status(uint8_t model, uint8_t status);
std::vector<uint8_t> IdentityReply(uint8_t model);
std::vector<uint8_t> IdentityRequest();  // to all devices
std::vector<uint8_t> BlockRequest(uint8_t model, uint32_t address, uint32_t length);
std::vector<uint8_t> UnknownRequest(uint8_t model);
// F0 7D 00 <model> 00 00, zeros, F7: `bytes` long (at least 7); its first bytes read as a STATUS 0.
std::vector<uint8_t> LongMessage(uint8_t model, uint32_t bytes);

// "0x" and `v` in upper-case hex, at least `width` digits.
std::string Hex(uint32_t v, int width = 0);
// The first 16 bytes of a message in hex, " ..." when there are more.
std::string HexBytes(const uint8_t* m, size_t n);
// "0xA0000+16"
std::string Range(uint32_t address, uint32_t length);

}  // namespace wire
}  // namespace devsim
