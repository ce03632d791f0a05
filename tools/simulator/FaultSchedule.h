// What the simulated device does wrong on purpose, and when: refusals, lost and repeated answers,
// its timing (answer delays, a slow erase, finish or flash write, one message at a time), the
// blocks it pulls, the burst of requests and the long message before its Identity Reply. The
// DeviceSimulator asks its schedule at each step; the schedule keeps what is left of each rule
// and knows nothing of the messages' bytes beyond the block indexes that its rules name.
//
// Threading: none of its own. Its owner calls it under one lock (the simulator's).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "DeviceWire.h"

namespace devsim {

struct DeviceSimulatorConfig;

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
// answers due earlier go before it, answers due later after it. A rule for block -3 (EVERY) is
// never used up: every answer to ERASE, to each send of a block and to FINISH goes out twice.
struct RepeatRule {
    int block = -1;
    std::chrono::milliseconds after{0};
};

class FaultSchedule {
public:
    using Clock = std::chrono::steady_clock;
    using Milliseconds = std::chrono::milliseconds;

    static constexpr int ERASE = -1;          // the index by which a RepeatRule names ERASE
    static constexpr int UNKNOWN_BLOCK = -2;  // a block whose index can't be told; no rule names it
    static constexpr int EVERY = -3;          // a RepeatRule for every answer
    static constexpr int FINISH = -4;         // FINISH, as TakeRepeat is asked for it
    static constexpr uint32_t BLOCK_BYTES = 9216;  // the host's block: storeAtAddress indexes by it

    // What an answer answers, for its timing.
    enum class Answer { Plain, Erase, Finish, IdentityReply, Block };
    // The requests of a burst, and so the answers that the host owes to them.
    enum class Request { Unknown, Identity };  // answered with STATUS 1 / with an Identity Reply

    explicit FaultSchedule(const DeviceSimulatorConfig& config);

    bool Mute() const { return m_mute; }
    bool StoresAtAddress() const { return m_storeAtAddress; }

    // Timing. The device handles the host's messages one at a time in order: it begins one that
    // arrives at `arrival` once it is done with the one before.
    Clock::time_point Begin(Clock::time_point arrival) const;
    // It began a data block at `begin`: with blockAnswerDelay, it is busy with it until then.
    void BeginBlock(Clock::time_point begin);
    // When an answer to a message begun at `begin` goes out: a data block's blockAnswerDelay later
    // when one is configured, anything else after the drawn answer delay plus its own extra delay;
    // never before an answer scheduled earlier (repeats aside).
    Clock::time_point AnswerDue(Clock::time_point begin, Answer what);

    // The index by which the rules name a data block: the device's next block in sequence
    // (`blocksAccepted`), or with storeAtAddress the index of its `address` (nullopt: unreadable).
    int BlockIndex(int blocksAccepted, std::optional<uint32_t> address) const;

    struct Refusal {
        uint8_t status = 0;
        int left = 0;  // refusals of this block still to come
    };
    // Each Take uses up what it returns.
    std::optional<Refusal> TakeRefusal(int block);
    bool TakeDrop(int block);                         // the first answer to this block is lost
    std::optional<Milliseconds> TakeRepeat(int block);  // the answer to ERASE or block, once more
    int TakeBurst(int block);                         // requests to send once this block is accepted
    static Request BurstRequest(int i);

    uint32_t LongMessageBytes() const { return m_longMessageBytes; }  // before each Identity Reply
    const std::vector<BlockPull>& Pulls() const { return m_pulls; }
    bool TakeStart();                    // true on the host's first Identity Request only
    bool TakeIdentityAsk(Trigger when);  // ask the host's identity now (at the end only once)
    bool AsksIdentity() const { return m_askIdentity.has_value(); }

private:
    const bool m_mute;
    const bool m_storeAtAddress;
    const Milliseconds m_answerDelayMin;
    const Milliseconds m_answerDelayMax;
    const Milliseconds m_eraseDelay;
    const Milliseconds m_finishDelay;
    const Milliseconds m_identityReplyDelay;
    const Milliseconds m_blockAnswerDelay;
    const std::vector<RefuseRule> m_refusals;
    const std::vector<RepeatRule> m_repeats;
    const std::optional<int> m_dropReplyBlock;
    const int m_burstAfterBlock;
    const int m_burstCount;
    const uint32_t m_longMessageBytes;
    const std::vector<BlockPull> m_pulls;
    const std::optional<Trigger> m_askIdentity;

    std::minstd_rand m_random;  // the drawn answer delays
    Clock::time_point m_lastDue{};
    Clock::time_point m_busyUntil{};
    std::vector<int> m_refusalsLeft;  // per rule in m_refusals
    std::vector<bool> m_repeatUsed;   // per rule in m_repeats
    bool m_dropUsed = false;
    bool m_burstUsed = false;
    bool m_startFired = false;
    bool m_identityAskedAtEnd = false;
};

}  // namespace devsim
