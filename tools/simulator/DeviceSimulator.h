// A stand-in for the guitar-effects device at the other end of the update: it answers the host's
// identity, erase, data-block and finish messages the way a device in version-up mode would,
// checks every byte that the host sends on its own (its own CRC and 7-bit unpacking, independent
// of the host's encoder), keeps the received image, and can misbehave on purpose by a fault
// schedule. It knows nothing of the transport: the owner feeds it each SysEx message that the
// host sent and gives it a function through which it sends its own messages.
//
// Threading: OnMessageFromHost and the query functions may be called from any thread. Everything
// the simulator sends goes out from its own worker thread, one message at a time in the order of
// their due times (its answers to the host in the order of the host's messages; an answer sent
// twice goes at its own time), never from inside OnMessageFromHost, so a host that sends from its
// own thread never gets input delivered on that thread. The send function is called without any of the simulator's locks
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
#include <string>
#include <thread>
#include <vector>

#include "DeviceWire.h"
#include "FaultSchedule.h"

namespace devsim {

// The device as configured: its answers, the faults of its schedule (FaultSchedule.h) and the
// checks of its verdict.
struct DeviceSimulatorConfig {
    uint8_t model = 0x6A;                   // the device's model: expected in index 3 of every
                                            // update-protocol message, used in its own messages
    std::optional<uint8_t> identityModel;   // model reported in the Identity Reply (default: model)
    // A device that answers the Identity Request with a STATUS of this code instead of its
    // Identity Reply (a device that does not identify itself).
    std::optional<uint8_t> identityStatus;
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
    uint32_t seed = 1;                      // of the drawn answer delays
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
    using Answer = FaultSchedule::Answer;
    using Milliseconds = std::chrono::milliseconds;
    struct Outgoing {
        std::chrono::steady_clock::time_point due;
        std::vector<uint8_t> bytes;
        std::string what;
        // Set on an answer that the schedule sends twice: its repeat is queued this long after it
        // went out.
        std::optional<Milliseconds> repeatAfter;
        bool isRepeat = false;
    };
    using Lines = std::vector<std::string>;

    void Run();
    void Emit(const Lines& lines) const;

    // All of these must be called with m_lock held.
    void HandleLocked(const uint8_t* m, size_t n, Lines& log);
    void HandleUniversalLocked(const uint8_t* m, size_t n, Lines& log);
    void HandleEraseLocked(Lines& log);
    void HandleFinishLocked(Lines& log);
    void HandleBlockLocked(const uint8_t* m, size_t n, Lines& log);
    bool HandlePullAnswerLocked(const uint8_t* m, size_t n, Lines& log);
    void HandleHostStatusLocked(const uint8_t* m, size_t n, Lines& log);
    void StartUpdateLocked();
    // Writes a checked block of the current update into the image; true when all of its bytes
    // had been written before.
    bool StoreLocked(uint32_t address, const std::vector<uint8_t>& raw);
    void FireTriggerLocked(Trigger when, Lines& log);
    void SendBlockRequestLocked(size_t pullIndex, Lines& log);
    void SendIdentityRequestLocked(Lines& log);
    void SendBurstLocked(int count, Lines& log);
    // True when the host's answer was taken as the answer to the next request of the burst.
    bool TakeBurstAnswerLocked(FaultSchedule::Request answered, Lines& log);
    // Queues a message of the device, due when the schedule says for an answer of kind `kind` to
    // the message being handled (begun at m_begin); with `repeatAfter` it goes out once more that
    // long after it went out. `what` names it in the log.
    void QueueLocked(std::vector<uint8_t> bytes, std::string what, Answer kind, Lines& log,
                     std::optional<Milliseconds> repeatAfter = std::nullopt);
    void StatusLocked(uint8_t status, std::string what, Answer kind, Lines& log,
                      std::optional<Milliseconds> repeatAfter = std::nullopt);
    // Answers the data block with index `k`: lost or sent twice as the schedule says.
    void AnswerBlockLocked(int k, uint8_t status, const std::string& what, Lines& log);
    // Inserts by due time; of equal times the one queued first goes first.
    void InsertLocked(Outgoing out);
    bool CompleteLocked() const;
    bool KnownImageLocked(uint32_t address, uint32_t length, const uint8_t** bytes) const;

    const DeviceSimulatorConfig m_config;
    const SendFunction m_send;

    // Guards every member below but the worker: the callers' threads handle the host's messages
    // and read the state under it, the worker takes what is due under it and sends without it.
    mutable std::mutex m_lock;
    mutable std::condition_variable m_wake;     // worker: queue changed or stopping
    mutable std::condition_variable m_changed;  // waiters: state or queue changed
    FaultSchedule m_schedule;
    std::deque<Outgoing> m_queue;                     // by due time
    std::chrono::steady_clock::time_point m_begin{};  // when handling of the current message began
    bool m_sending = false;
    bool m_stopping = false;

    DeviceSummary m_summary;
    std::vector<uint8_t> m_image;
    std::vector<bool> m_written;     // per byte of the image, in the current update
    uint32_t m_nextAddress = IMAGE_BASE;
    uint32_t m_lastAddress = 0;      // the last accepted block, acknowledged again when it is repeated
    uint32_t m_lastLength = 0;
    bool m_erased = false;           // a successful ERASE opened the transfer
    int m_hostRepliesAtAsk = 0;      // host Identity Replies seen when the host was last asked
    std::chrono::steady_clock::time_point m_burstStart{};  // when the burst was queued

    std::thread m_worker;  // last: started when everything above is ready
};

}  // namespace devsim
