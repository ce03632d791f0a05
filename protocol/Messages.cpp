#include "Messages.h"

const std::uint8_t g_identityRequest[IDENTITY_REQUEST_LENGTH] = {
    SYSEX_START, UNIVERSAL_NON_REALTIME, 0x00, GENERAL_INFORMATION, IDENTITY_REQUEST, SYSEX_END};

const std::uint8_t g_statusTemplate[STATUS_LENGTH] = {
    SYSEX_START, MANUFACTURER_ID, HOST_DEVICE_NUMBER, 0x00, OP_STATUS, STATUS_ACKNOWLEDGED, SYSEX_END};

const std::uint8_t g_eraseTemplate[COMMAND_LENGTH] = {
    SYSEX_START, MANUFACTURER_ID, HOST_DEVICE_NUMBER, 0x00, OP_ERASE, SYSEX_END};

const std::uint8_t g_finishTemplate[COMMAND_LENGTH] = {
    SYSEX_START, MANUFACTURER_ID, HOST_DEVICE_NUMBER, 0x00, OP_FINISH, SYSEX_END};

const std::uint8_t g_blockHeader[BLOCK_HEADER_LENGTH] = {
    SYSEX_START, MANUFACTURER_ID, HOST_DEVICE_NUMBER, 0x00, OP_BLOCK};

namespace {
// Writable behind the const view g_identityReply; index 6 changes under g_sendLock.
std::uint8_t s_identityReply[IDENTITY_REPLY_LENGTH] = {
    SYSEX_START, UNIVERSAL_NON_REALTIME, 0x00, GENERAL_INFORMATION, IDENTITY_REPLY,
    MANUFACTURER_ID,
    0x00, 0x00,              // family code: model (low), 0 (high)
    0x00, 0x00,              // family member
    0x31, 0x30, 0x30, 0x30,  // software revision "1000"
    SYSEX_END};
}  // namespace

const std::uint8_t (&g_identityReply)[IDENTITY_REPLY_LENGTH] = s_identityReply;

std::mutex g_sendLock;
std::uint8_t g_sendBuffer[SEND_BUFFER_SIZE];
std::atomic<std::uint8_t> g_modelId{g_acceptedModels[0]};

bool IsAcceptedModel(std::uint8_t model) {
    for (std::uint8_t accepted : g_acceptedModels) {
        if (accepted == model) return true;
    }
    return false;
}

void SetIdentityReplyModel(std::uint8_t model) {
    std::lock_guard<std::mutex> lock(g_sendLock);
    s_identityReply[IDENTITY_MODEL_INDEX] = model;
}

std::uint8_t IdentityReplyModel() {
    std::lock_guard<std::mutex> lock(g_sendLock);
    return s_identityReply[IDENTITY_MODEL_INDEX];
}

int AssembleStatus(std::uint8_t* dst, std::uint8_t model, std::uint8_t code) {
    for (int i = 0; i < STATUS_LENGTH; ++i) dst[i] = g_statusTemplate[i];
    dst[MODEL_INDEX] = model;
    dst[STATUS_CODE_INDEX] = code;
    return STATUS_LENGTH;
}

int AssembleCommand(std::uint8_t* dst, const std::uint8_t (&tmpl)[COMMAND_LENGTH], std::uint8_t model) {
    for (int i = 0; i < COMMAND_LENGTH; ++i) dst[i] = tmpl[i];
    dst[MODEL_INDEX] = model;
    return COMMAND_LENGTH;
}

int AssembleDataBlock(std::uint8_t* dst, std::uint8_t model, std::uint32_t address,
                      std::span<const std::uint8_t> data) {
    const int length = static_cast<int>(data.size());
    for (int i = 0; i < BLOCK_HEADER_LENGTH; ++i) dst[i] = g_blockHeader[i];
    dst[MODEL_INDEX] = model;
    Write7BitGroups(dst + BLOCK_ADDRESS_INDEX, address, ADDRESS_GROUPS);
    Write7BitGroups(dst + BLOCK_LENGTH_INDEX, static_cast<std::uint32_t>(length), LENGTH_GROUPS);
    const int packed = Pack7Bit(dst + BLOCK_DATA_INDEX, data.data(), length);
    Write7BitGroups(dst + BLOCK_DATA_INDEX + packed, Crc32Compute(data.data(), data.size()), ADDRESS_GROUPS);
    dst[BLOCK_DATA_INDEX + packed + ADDRESS_GROUPS] = SYSEX_END;
    return packed + BLOCK_OVERHEAD;
}
