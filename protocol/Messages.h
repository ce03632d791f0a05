// The SysEx messages of the update protocol: frame constants, opcodes, the host's message
// templates, the shared send buffer and model identifier, and the assembly of the messages that
// the host builds.
//
// Every send of the process is serialised by g_sendLock: it is held from the first write into
// g_sendBuffer to the close of the output device after the message has gone out, and also while
// a template is sent straight from static data. g_sendBuffer and g_identityReply are touched only
// with g_sendLock held.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>

#include "Encoding.h"

// Frame.
inline constexpr std::uint8_t SYSEX_START = 0xF0;
inline constexpr std::uint8_t SYSEX_END = 0xF7;
inline constexpr std::uint8_t MANUFACTURER_ID = 0x7D;        // update protocol
inline constexpr std::uint8_t HOST_DEVICE_NUMBER = 0x00;     // sent by the host, never read
inline constexpr std::uint8_t UNIVERSAL_NON_REALTIME = 0x7E;
inline constexpr std::uint8_t GENERAL_INFORMATION = 0x06;
inline constexpr std::uint8_t IDENTITY_REQUEST = 0x01;
inline constexpr std::uint8_t IDENTITY_REPLY = 0x02;

// Byte positions in an update-protocol message (index 0 = 0xF0).
inline constexpr int MANUFACTURER_INDEX = 1;
inline constexpr int MODEL_INDEX = 3;
inline constexpr int OPCODE_INDEX = 4;
inline constexpr int STATUS_CODE_INDEX = 5;
inline constexpr int BLOCK_ADDRESS_INDEX = 5;   // 5 groups
inline constexpr int BLOCK_LENGTH_INDEX = 10;   // 2 groups
inline constexpr int BLOCK_DATA_INDEX = 12;
// Byte positions in a General Information message.
inline constexpr int GENERAL_INFO_SUB_ID_INDEX = 3;   // GENERAL_INFORMATION
inline constexpr int GENERAL_INFO_KIND_INDEX = 4;     // IDENTITY_REQUEST / IDENTITY_REPLY
inline constexpr int IDENTITY_MODEL_INDEX = 6;        // family code, low byte
inline constexpr int IDENTITY_REVISION_INDEX = 10;    // software revision, 4 bytes (SoftwareRevision)

// Opcodes (index 4).
inline constexpr std::uint8_t OP_STATUS = 0x00;
inline constexpr std::uint8_t OP_ERASE = 0x01;
inline constexpr std::uint8_t OP_BLOCK = 0x02;
inline constexpr std::uint8_t OP_BLOCK_REQUEST = 0x03;
inline constexpr std::uint8_t OP_FINISH = 0x04;
inline constexpr std::uint8_t OP_05 = 0x05;

// Status codes the host sends.
inline constexpr std::uint8_t STATUS_ACKNOWLEDGED = 0;
inline constexpr std::uint8_t STATUS_NOT_RECOGNISED = 1;

// Message lengths.
inline constexpr int IDENTITY_REQUEST_LENGTH = 6;
inline constexpr int IDENTITY_REPLY_LENGTH = 15;
inline constexpr int STATUS_LENGTH = 7;
inline constexpr int COMMAND_LENGTH = 6;        // ERASE, FINISH
inline constexpr int BLOCK_HEADER_LENGTH = 5;
inline constexpr int BLOCK_OVERHEAD = 18;       // block message length = packed length + 18
inline constexpr int OP_BLOCK_REQUEST_LENGTH = 13;

// Length of the block message for `length` image bytes: 10551 for 9216, 18742 for 16383.
constexpr int BlockMessageLength(int length) {
    return PackedLength(length) + BLOCK_OVERHEAD;
}

inline constexpr int SEND_BUFFER_SIZE = 65536;
static_assert(BlockMessageLength(16383) <= SEND_BUFFER_SIZE);

// Templates sent or copied by the host. The model byte (index 3) of the STATUS, ERASE, FINISH and
// block-header templates is overwritten whenever a message is assembled from them.
extern const std::uint8_t g_identityRequest[IDENTITY_REQUEST_LENGTH];
extern const std::uint8_t g_statusTemplate[STATUS_LENGTH];
extern const std::uint8_t g_eraseTemplate[COMMAND_LENGTH];
extern const std::uint8_t g_finishTemplate[COMMAND_LENGTH];
extern const std::uint8_t g_blockHeader[BLOCK_HEADER_LENGTH];
// The host's own Identity Reply. Index 6 holds 0x00 until a device has been accepted, then the
// model of the device accepted last. Read it only with g_sendLock held; change it only through
// SetIdentityReplyModel.
extern const std::uint8_t (&g_identityReply)[IDENTITY_REPLY_LENGTH];

// Serialises every send of the process (see above). Never taken while waiting for the window.
extern std::mutex g_sendLock;
// Where every assembled message is built from index 0 and sent from; with g_sendLock held only.
extern std::uint8_t g_sendBuffer[SEND_BUFFER_SIZE];

// The models an update accepts, in the order they are looked up.
inline constexpr std::uint8_t g_acceptedModels[2] = {0x6A, 0x69};
// Model identifier written at index 3 of every update-protocol message the host sends and compared
// with index 3 of those it receives. g_acceptedModels[0] at start; written by the update worker,
// read by the timer thread.
extern std::atomic<std::uint8_t> g_modelId;

bool IsAcceptedModel(std::uint8_t model);

// Writes `model` at index 6 of g_identityReply. Takes g_sendLock, so it must not be called with
// the lock held.
void SetIdentityReplyModel(std::uint8_t model);
// Index 6 of g_identityReply. Takes g_sendLock.
std::uint8_t IdentityReplyModel();

// Assembly into a caller's buffer; each returns the message length. Pure: the caller provides the
// buffer (g_sendBuffer with g_sendLock held, when the message is to be sent).
// STATUS reply: STATUS_LENGTH bytes.
int AssembleStatus(std::uint8_t* dst, std::uint8_t model, std::uint8_t code);
// A command copied from a 6-byte template (ERASE, FINISH) with `model` at index 3.
int AssembleCommand(std::uint8_t* dst, const std::uint8_t (&tmpl)[COMMAND_LENGTH], std::uint8_t model);
// Data block for the device address `address` carrying `data` (at most MAX_BLOCK_LENGTH bytes,
// taken from the image): BlockMessageLength(data.size()) bytes.
int AssembleDataBlock(std::uint8_t* dst, std::uint8_t model, std::uint32_t address,
                      std::span<const std::uint8_t> data);
