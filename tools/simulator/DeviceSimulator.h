// A stand-in for the guitar-effects device at the other end of the update: it answers the host's
// identity, erase, data-block and finish messages the way a device in version-up mode would,
// checks every byte that the host sends on its own (its own CRC and 7-bit unpacking, independent
// of the host's encoder), keeps the received image, and can misbehave on purpose by a fault
// schedule. It knows nothing of the transport: the owner feeds it each SysEx message that the
// host sent and gives it a function through which it sends its own messages.
//
// Threading: OnMessageFromHost and the query functions may be called from any thread. Everything
// the simulator sends goes out from its own worker thread, one message at a time and in order,
// never from inside OnMessageFromHost, so a host that sends from its own thread never gets input
// delivered on that thread. The send function is called without any of the simulator's locks
// held; it may call OnMessageFromHost again (a synchronous loopback) but must not call Stop().
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
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

// When the simulator pulls a block or asks the host's identity by itself.
enum class Trigger {
    Start,  // right after it has answered the host's first Identity Request (the host listens then)
    End     // right after it has answered (or, as configured, ignored) FINISH
};

struct BlockPull {
    uint32_t address = IMAGE_BASE;
    uint32_t length = 0;  // at most MAX_BLOCK_LENGTH
    Trigger when = Trigger::End;
};

// Refuse the block with index `block` (0 = the first block at 0xA0000, counted by the device's
// expected sequence; with storeAtAddress the index of the block's address, (address - 0xA0000) /
// 9216) `count` times with `status` before accepting it.
struct RefuseRule {
    int block = 0;
    int count = 1;
    uint8_t status = STATUS_REFUSED;
};

// Send the answer to ERASE (block -1) or to the first send of block `block` (indexed as RefuseRule
// does) a second time, `after` once the first answer went out. The repeat goes out at its own time:
// answers due earlier go before it, answers due later after it.
struct RepeatRule {
    int block = -1;
    std::chrono::milliseconds after{0};
};

struct DeviceSimulatorConfig {
    uint8_t model = 0x6A;                   // the device's model: expected in index 3 of every
                                            // update-protocol message, used in its own messages
    std::optional<uint8_t> identityModel;   // model reported in the Identity Reply (default: model)
    std::chrono::milliseconds eraseDelay{0};
    uint8_t eraseStatus = STATUS_OK;        // 11 = not in version-up mode
    std::vector<RefuseRule> refusals;       // each rule is used up once over the simulator's life
    std::optional<int> dropReplyBlock;      // swallow the first answer to this block index, once
    bool mute = false;                      // send nothing at all
    std::optional<uint8_t> finishStatus = uint8_t{STATUS_OK};  // nullopt: FINISH is not answered
    std::chrono::milliseconds finishDelay{0};  // extra time before FINISH is answered
    std::vector<BlockPull> pulls;
    std::optional<Trigger> askIdentity;     // send an Identity Request to the host
    // Right after accepting block `burstAfterBlock` (0-based) the first time, send `burstCount`
    // requests at once: two messages with an opcode the host does not know (each answered with
    // STATUS 1), then an Identity Request (answered with the host's Identity Reply), and so on.
    // The answers must all come, in that order.
    int burstAfterBlock = -1;
    int burstCount = 0;
    // Before each Identity Reply, a SysEx message of this many bytes (0: none), F0 7D 00 <model>
    // 00 00, zeros, F7: longer than a host's receive buffer it comes in pieces, the first of which
    // reads as a STATUS 0. The reply then follows `identityReplyDelay` later.
    uint32_t longMessageBytes = 0;
    std::chrono::milliseconds identityReplyDelay{0};
    std::chrono::milliseconds answerDelayMin{0};  // each message goes out after a delay drawn from
    std::chrono::milliseconds answerDelayMax{5};  // [min, max]; messages never overtake each other
    // A device that takes this long over a data block (a flash write): it handles the host's
    // messages one at a time in order, beginning each when it has arrived and the one before it is
    // done, and answers a data block this long after it began handling it (0: as any other
    // message). Other answers keep the answer delay above, counted from when their handling began.
    std::chrono::milliseconds blockAnswerDelay{0};
    std::vector<RepeatRule> repeats;        // each rule is used once over the simulator's life
    // A device that stores each block at its own address: any block wholly inside the image is
    // accepted and written there, in any order and as often as it comes (no address sequence);
    // block indexes of the rules are then address indexes.
    bool storeAtAddress = false;
    std::vector<uint8_t> expectedImage;     // IMAGE_BYTES bytes, or empty when unknown
    bool strict = true;                     // malformed or unexpected host messages fail the verdict
    uint32_t seed = 1;                      // for the answer delays
    // Human-readable event lines ("block 3 at 0xA6C00, 9216 bytes: accepted"). Called from the
    // caller's thread or the worker thread, never with a lock of the simulator held.
    std::function<void(const std::string&)> log;
};

struct BlockRecord {
    uint32_t length = 0;
    int accepted = 0;
    int refused = 0;
    uint8_t lastStatus = 0;
};

struct PullRecord {
    BlockPull pull;
    bool sent = false;
    bool answered = false;
    bool ok = false;
    std::string result;  // what the host answered, or what was wrong with it
};

// Counts of the current update (reset by each ERASE) and of the simulator's whole life.
struct DeviceSummary {
    // whole life
    int identityRequests = 0;
    int eraseRequests = 0;
    int finishRequests = 0;
    int updatesCompleted = 0;   // FINISH after the whole image had been accepted
    int garbage = 0;            // fragments, non-SysEx bytes, other manufacturers, not for us
    int unexpected = 0;         // well-formed messages that the host never has a reason to send
    int wrongModel = 0;
    int messagesSent = 0;
    int messagesDropped = 0;    // suppressed by mute or the drop schedule
    int answersRepeated = 0;    // answers sent a second time by the repeat schedule
    int hostIdentityReplies = 0;
    bool hostIdentityValid = false;
    std::vector<uint8_t> lastHostIdentityReply;
    std::vector<PullRecord> pulls;
    // the burst of requests (burstCount > 0)
    int burstSent = 0;
    int burstAnswered = 0;          // answers that came in the expected order
    bool burstInOrder = true;       // no answer came out of its turn
    long long burstAnswerMs = -1;   // from sending the burst to its last answer
    // current update
    bool eraseSeen = false;
    uint8_t eraseAnswer = 0;
    int blocksAccepted = 0;
    int blocksRefused = 0;      // every non-zero answer to a block, the malformed ones included
    int blocksMalformed = 0;    // refused with 2, 3, 4 or 5
    int blocksRepeated = 0;     // the last accepted block sent again (its answer was lost), acked again;
                                // with storeAtAddress, any block whose bytes were all written before
    uint32_t bytesReceived = 0; // bytes of the image written (contiguous from IMAGE_BASE unless
                                // storeAtAddress)
    std::map<uint32_t, BlockRecord> blocks;  // by the address that the block claimed
    bool finishSeen = false;
    bool finishAnswered = false;
};

class DeviceSimulator {
public:
    using SendFunction = std::function<void(const std::vector<uint8_t>&)>;

    DeviceSimulator(DeviceSimulatorConfig config, SendFunction sendToHost);
    ~DeviceSimulator();  // Stop()

    DeviceSimulator(const DeviceSimulator&) = delete;
    DeviceSimulator& operator=(const DeviceSimulator&) = delete;

    // One message of the host, normally a complete SysEx message from F0 to F7. Anything else
    // (fragments, stray bytes) is counted and dropped. Returns at once; answers go out later from
    // the worker thread.
    void OnMessageFromHost(const uint8_t* data, size_t size);

    // Pull a block of the image from the host now (OP_BLOCK_REQUEST). False when the length does
    // not fit the message (more than MAX_BLOCK_LENGTH).
    bool RequestBlock(uint32_t address, uint32_t length);
    // Ask the host's identity now (universal Identity Request to all devices).
    void RequestHostIdentity();

    DeviceSummary Summary() const;

    // True when the current update is through: FINISH seen, everything pulled at the end and the
    // host identity asked at the end answered, and nothing left to send.
    bool Complete() const;
    // Waits until Complete() or the timeout; returns Complete().
    bool WaitForCompletion(std::chrono::milliseconds timeout) const;

    // Success when FINISH was seen after the whole image had arrived, the image equals the
    // expected one (when given), every pull was answered correctly, the host's identity arrived
    // (when asked), and (strict) the host sent nothing malformed or unexpected. `line` receives
    // one summary line starting with "PASS: " or "FAIL: ".
    bool Verdict(std::string* line) const;

    std::vector<uint8_t> Image() const;               // IMAGE_BYTES bytes; 0xFF where not written
    bool WriteImage(const std::string& path) const;   // false when the file can't be written

    // Stops the worker; queued messages are dropped. Idempotent. Must not be called from the send
    // function.
    void Stop();

private:
    struct Outgoing {
        std::chrono::steady_clock::time_point due;
        std::vector<uint8_t> bytes;
        std::string what;
        // Set on an answer that the repeat schedule sends twice: its repeat is queued this long
        // after it went out.
        std::optional<std::chrono::milliseconds> repeatAfter;
        bool isRepeat = false;
    };
    using Lines = std::vector<std::string>;

    void Run();
    void Emit(const Lines& lines) const;

    // All of these must be called with m_lock held.
    void HandleLocked(const uint8_t* m, size_t n, Lines& log);
    void HandleUniversalLocked(const uint8_t* m, size_t n, Lines& log);
    void HandleBlockLocked(const uint8_t* m, size_t n, Lines& log);
    bool HandlePullAnswerLocked(const uint8_t* m, size_t n, Lines& log);
    void HandleHostStatusLocked(const uint8_t* m, size_t n, Lines& log);
    void StartUpdateLocked();
    void FireTriggerLocked(Trigger when, Lines& log);
    void SendBlockRequestLocked(size_t pullIndex, Lines& log);
    void SendIdentityRequestLocked(Lines& log);
    // Queues a message of the device, due the drawn answer delay plus `extraDelay` after the device
    // began handling what it answers (m_begin), or with `blockAnswer` blockAnswerDelay after (when
    // configured), and never before a message queued earlier. With `repeatAfter` the message goes
    // out a second time that long after it went out.
    void QueueLocked(std::vector<uint8_t> bytes, std::string what, Lines& log,
                     std::chrono::milliseconds extraDelay = std::chrono::milliseconds(0), bool blockAnswer = false,
                     std::optional<std::chrono::milliseconds> repeatAfter = std::nullopt);
    void StatusLocked(uint8_t status, std::string what, Lines& log,
                      std::chrono::milliseconds extraDelay = std::chrono::milliseconds(0), bool blockAnswer = false,
                      std::optional<std::chrono::milliseconds> repeatAfter = std::nullopt);
    // Answers the data block with index `k`: dropped or sent twice as the schedule says. `what`
    // names it in the log.
    void AnswerBlockLocked(int k, uint8_t status, const std::string& what, Lines& log);
    // The repeat rule for ERASE (k = -1) or block k, if one is left; it is used up.
    std::optional<std::chrono::milliseconds> TakeRepeatLocked(int k);
    // Inserts by due time; of equal times the earlier queued goes first.
    void InsertLocked(Outgoing out);
    // Marks the image bytes [address, address + length) written; true when all of them were before.
    bool MarkWrittenLocked(uint32_t address, uint32_t length);
    bool CompleteLocked() const;
    void SendBurstLocked(Lines& log);
    // True when the host's answer (`status`: 'S' for STATUS 1, 'R' for an Identity Reply) was
    // taken as an answer to the burst.
    bool TakeBurstAnswerLocked(char answer, Lines& log);
    bool KnownImageLocked(uint32_t address, uint32_t length, const uint8_t** bytes) const;

    const DeviceSimulatorConfig m_config;
    const SendFunction m_send;

    mutable std::mutex m_lock;
    mutable std::condition_variable m_wake;     // worker: queue changed or stopping
    mutable std::condition_variable m_changed;  // waiters: state or queue changed
    std::deque<Outgoing> m_queue;                          // by due time
    std::chrono::steady_clock::time_point m_lastDue{};     // of the last answer queued (repeats aside)
    std::chrono::steady_clock::time_point m_begin{};       // when handling of the current message began
    std::chrono::steady_clock::time_point m_busyUntil{};   // when the device is done with the last block
    bool m_sending = false;
    bool m_stopping = false;
    std::minstd_rand m_random;

    DeviceSummary m_summary;
    std::vector<uint8_t> m_image;
    uint32_t m_nextAddress = IMAGE_BASE;
    uint32_t m_lastAddress = 0;      // the last accepted block, acknowledged again when it is repeated
    uint32_t m_lastLength = 0;
    bool m_erased = false;           // a successful ERASE opened the transfer
    bool m_startFired = false;
    bool m_endFired = false;
    bool m_dropUsed = false;
    std::vector<int> m_refusalsLeft;  // per rule in m_config.refusals
    std::vector<bool> m_repeatUsed;   // per rule in m_config.repeats
    std::vector<bool> m_written;      // per byte of the image, this update
    bool m_identityAskedAtEnd = false;
    int m_hostRepliesAtAsk = 0;      // host Identity Replies seen when the host was last asked
    std::chrono::steady_clock::time_point m_burstStart{};  // when the burst was queued

    std::thread m_worker;  // last: started when everything above is ready
};

}  // namespace devsim
