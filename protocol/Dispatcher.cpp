// The device message dispatcher: every poll tick drains the input port's received list in arrival
// order, records the device's answers for the update run and answers the device's own requests;
// then it tells a run under way whether its MIDI IN or MIDI OUT device has left the system.
//
// Runs on the timer service's thread, one tick at a time (ticks never overlap), so it is the only
// consumer of the received list.
#include "UpdateEngine.h"

#include <algorithm>

#include "Encoding.h"
#include "FirmwareImage.h"
#include "Messages.h"

namespace {

// Shortest messages that carry what their row reads. A message too short for its row is dropped
// without an answer and without recording anything.
constexpr std::uint32_t MIN_HEADER_LENGTH = OPCODE_INDEX + 1;              // frame, model, opcode
constexpr std::uint32_t MIN_STATUS_LENGTH = STATUS_CODE_INDEX + 1;         // status code
constexpr std::uint32_t MIN_BLOCK_REQUEST_LENGTH = BLOCK_LENGTH_INDEX + 2;  // address, length
constexpr std::uint32_t MIN_IDENTITY_REPLY_LENGTH = IDENTITY_MODEL_INDEX + 1;
// An Identity Reply that carries its software revision.
constexpr std::uint32_t MIN_IDENTITY_REVISION_LENGTH = IDENTITY_REVISION_INDEX + std::tuple_size_v<SoftwareRevision>;

// How many leading bytes of a received entry of `n` bytes hold the message: the 0xF0 and the data
// bytes behind it, up to the first byte with bit 7 set. No data byte of a SysEx message has bit 7
// set, so that byte is the end byte 0xF7 of a whole message, or a byte that does not belong to it;
// a field at or behind it is not there. An entry cut without its end byte (a message longer than
// the receive buffer, or one that reception stopped in the middle of) holds what arrived: its
// fields that arrived are read.
std::uint32_t MessageExtent(const std::uint8_t* m, std::uint32_t n) {
    std::uint32_t extent = 1;
    while (extent < n && m[extent] < 0x80) ++extent;
    return extent;
}

}  // namespace

void CUpdateEngine::OnPollTimer(std::uint32_t, std::uint32_t, std::uintptr_t user, std::uintptr_t,
                                std::uintptr_t) {
    // Runs on the timer service's thread; the engine stops the timer before it goes away.
    reinterpret_cast<CUpdateEngine*>(user)->ProcessDeviceMessages();
}

void CUpdateEngine::ProcessDeviceMessages() {
    // Whatever the port stamped before this moment is in its list now, and is handed on below.
    const auto tickBegan = ReplyClock::now();
    const std::uint8_t* bytes = nullptr;
    std::uint32_t length = 0;
    ReplyClock::time_point receivedAt{};
    while (m_midiIn.PeekReceived(&bytes, &length, nullptr, &receivedAt)) {
        HandleDeviceMessage(bytes, length, receivedAt);
        m_midiIn.PopReceived();
    }
    // After the messages, so that the run has every answer that came before the device left. Told
    // again at every tick while the run lasts: a notice that the run's start discarded is renewed.
    if (m_updateRunning.load() && DevicesGone()) m_reply.PostDeviceGone();
    m_handedOnUntil.store(tickBegan.time_since_epoch().count());
}

void CUpdateEngine::HandleDeviceMessage(const std::uint8_t* m, std::uint32_t length,
                                        ReplyClock::time_point receivedAt) {
    if (length < 1 || m[0] != SYSEX_START) return;
    // From here on every field is read only below `n`: nothing past the entry's length, nothing
    // at or behind the message's end. No row reads behind the block request's length groups, so
    // the look for the end stops there.
    const std::uint32_t n = MessageExtent(m, std::min(length, MIN_BLOCK_REQUEST_LENGTH));
    if (n < MIN_HEADER_LENGTH) return;

    if (m[MANUFACTURER_INDEX] == MANUFACTURER_ID) {
        if (m[MODEL_INDEX] != g_modelId.load()) return;  // another model: not for this host
        switch (m[OPCODE_INDEX]) {
        case OP_STATUS:
            if (n >= MIN_STATUS_LENGTH) RecordReply(m[STATUS_CODE_INDEX], REPLY_KIND_STATUS, receivedAt);
            return;
        case OP_ERASE:
        case OP_FINISH:
        case OP_05:
            SendStatus(STATUS_ACKNOWLEDGED);
            return;
        case OP_BLOCK:
            RecordReply(REPLY_OK, REPLY_KIND_BLOCK, receivedAt);
            return;
        case OP_BLOCK_REQUEST: {
            if (n < MIN_BLOCK_REQUEST_LENGTH) return;
            const std::uint32_t address = Read7BitGroups(m + BLOCK_ADDRESS_INDEX, ADDRESS_GROUPS);
            const std::uint32_t blockLength = Read7BitGroups(m + BLOCK_LENGTH_INDEX, LENGTH_GROUPS);
            // A range the image does not hold is never read; the device hears "not recognised".
            if (!IsRangeInsideImage(address, blockLength)) {
                SendStatus(STATUS_NOT_RECOGNISED);
                return;
            }
            SendDataBlock(g_modelId.load(), static_cast<std::int32_t>(address),
                          static_cast<std::int32_t>(blockLength));
            return;
        }
        default:
            SendStatus(STATUS_NOT_RECOGNISED);
            return;
        }
    }

    if (m[MANUFACTURER_INDEX] == UNIVERSAL_NON_REALTIME) {
        if (m[GENERAL_INFO_SUB_ID_INDEX] != GENERAL_INFORMATION) return;
        if (m[GENERAL_INFO_KIND_INDEX] == IDENTITY_REQUEST) {
            SendIdentityReply();
        } else if (m[GENERAL_INFO_KIND_INDEX] == IDENTITY_REPLY) {
            if (n < MIN_IDENTITY_REPLY_LENGTH) return;
            // The revision lies behind the block request's fields, where `n` stopped looking.
            std::optional<SoftwareRevision> revision;
            if (MessageExtent(m, std::min(length, MIN_IDENTITY_REVISION_LENGTH)) >= MIN_IDENTITY_REVISION_LENGTH) {
                revision.emplace();
                std::copy_n(m + IDENTITY_REVISION_INDEX, revision->size(), revision->begin());
            }
            RecordReply(REPLY_OK, REPLY_KIND_IDENTITY, receivedAt, m[IDENTITY_MODEL_INDEX], revision);
        } else {
            SendStatus(STATUS_NOT_RECOGNISED);
        }
    }
    // Anything else (other manufacturers, real-time universal messages) is not for this host.
}
