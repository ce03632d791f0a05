#include "FaultSchedule.h"

#include <algorithm>

#include "DeviceSimulator.h"

namespace devsim {

FaultSchedule::FaultSchedule(const DeviceSimulatorConfig& config)
    : m_mute(config.mute),
      m_storeAtAddress(config.storeAtAddress),
      m_answerDelayMin(std::min(config.answerDelayMin, config.answerDelayMax)),
      m_answerDelayMax(std::max(config.answerDelayMin, config.answerDelayMax)),
      m_eraseDelay(config.eraseDelay),
      m_finishDelay(config.finishDelay),
      m_identityReplyDelay(config.identityReplyDelay),
      m_blockAnswerDelay(config.blockAnswerDelay),
      m_refusals(config.refusals),
      m_repeats(config.repeats),
      m_dropReplyBlock(config.dropReplyBlock),
      m_burstAfterBlock(config.burstAfterBlock),
      m_burstCount(config.burstCount),
      m_longMessageBytes(config.longMessageBytes),
      m_pulls(config.pulls),
      m_askIdentity(config.askIdentity),
      m_random(config.seed),
      m_repeatUsed(config.repeats.size(), false) {
    for (const RefuseRule& rule : m_refusals) m_refusalsLeft.push_back(rule.count);
}

FaultSchedule::Clock::time_point FaultSchedule::Begin(Clock::time_point arrival) const {
    return std::max(arrival, m_busyUntil);
}

void FaultSchedule::BeginBlock(Clock::time_point begin) {
    if (m_blockAnswerDelay.count() > 0) m_busyUntil = begin + m_blockAnswerDelay;
}

FaultSchedule::Clock::time_point FaultSchedule::AnswerDue(Clock::time_point begin, Answer what) {
    Clock::time_point due;
    if (what == Answer::Block && m_blockAnswerDelay.count() > 0) {
        due = begin + m_blockAnswerDelay;
    } else {
        const auto drawn = std::uniform_int_distribution<long long>(m_answerDelayMin.count(),
                                                                    m_answerDelayMax.count())(m_random);
        const Milliseconds extra = what == Answer::Erase           ? m_eraseDelay
                                   : what == Answer::Finish        ? m_finishDelay
                                   : what == Answer::IdentityReply ? m_identityReplyDelay
                                                                   : Milliseconds(0);
        due = begin + Milliseconds(drawn) + extra;
    }
    // The device's answers to the host never overtake each other.
    due = std::max(due, m_lastDue);
    m_lastDue = due;
    return due;
}

int FaultSchedule::BlockIndex(int blocksAccepted, std::optional<uint32_t> address) const {
    if (!m_storeAtAddress) return blocksAccepted;
    if (!address || *address < IMAGE_BASE) return UNKNOWN_BLOCK;
    return static_cast<int>((*address - IMAGE_BASE) / BLOCK_BYTES);
}

std::optional<FaultSchedule::Refusal> FaultSchedule::TakeRefusal(int block) {
    for (size_t i = 0; i < m_refusals.size(); ++i) {
        if (m_refusals[i].block == block && m_refusalsLeft[i] > 0) {
            --m_refusalsLeft[i];
            return Refusal{m_refusals[i].status, m_refusalsLeft[i]};
        }
    }
    return std::nullopt;
}

bool FaultSchedule::TakeDrop(int block) {
    if (m_dropUsed || m_dropReplyBlock != block) return false;
    m_dropUsed = true;
    return true;
}

std::optional<FaultSchedule::Milliseconds> FaultSchedule::TakeRepeat(int block) {
    for (size_t i = 0; i < m_repeats.size(); ++i) {
        if (m_repeats[i].block == block && !m_repeatUsed[i]) {
            m_repeatUsed[i] = true;
            return m_repeats[i].after;
        }
    }
    for (const RepeatRule& rule : m_repeats) {
        if (rule.block == EVERY && block != UNKNOWN_BLOCK) return rule.after;
    }
    return std::nullopt;
}

int FaultSchedule::TakeBurst(int block) {
    if (m_burstUsed || m_burstCount <= 0 || block != m_burstAfterBlock) return 0;
    m_burstUsed = true;
    return m_burstCount;
}

FaultSchedule::Request FaultSchedule::BurstRequest(int i) { return i % 3 == 2 ? Request::Identity : Request::Unknown; }

bool FaultSchedule::TakeStart() {
    if (m_startFired) return false;
    m_startFired = true;
    return true;
}

bool FaultSchedule::TakeIdentityAsk(Trigger when) {
    if (m_askIdentity != when) return false;
    if (when == Trigger::End) {
        if (m_identityAskedAtEnd) return false;
        m_identityAskedAtEnd = true;
    }
    return true;
}

}  // namespace devsim
