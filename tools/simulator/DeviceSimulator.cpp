#include "DeviceSimulator.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>

namespace devsim {
namespace {

constexpr uint8_t SOX = 0xF0;
constexpr uint8_t EOX = 0xF7;
constexpr uint8_t MANUFACTURER = 0x7D;
constexpr uint8_t UNIVERSAL_NON_REALTIME = 0x7E;
constexpr uint8_t GENERAL_INFORMATION = 0x06;
constexpr uint8_t IDENTITY_REQUEST = 0x01;
constexpr uint8_t IDENTITY_REPLY = 0x02;
constexpr uint8_t OP_STATUS = 0x00;
constexpr uint8_t OP_ERASE = 0x01;
constexpr uint8_t OP_BLOCK = 0x02;
constexpr uint8_t OP_BLOCK_REQUEST = 0x03;
constexpr uint8_t OP_FINISH = 0x04;
constexpr size_t BLOCK_OVERHEAD = 18;  // header 5, address 5, length 2, checksum 5, F7
constexpr uint32_t BLOCK_BYTES = 9216;  // the host's block size: with storeAtAddress, rules index by it
constexpr int ERASE_INDEX = -1;         // what a RepeatRule names ERASE by
constexpr int UNKNOWN_BLOCK = -2;       // a block whose index can't be told; no rule names it

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

uint32_t Groups(const uint8_t* p, int count) {
    uint32_t v = 0;
    for (int i = 0; i < count; ++i) v |= static_cast<uint32_t>(p[i]) << (7 * i);
    return v;
}

void PutGroups(std::vector<uint8_t>& out, uint32_t v, int count) {
    for (int i = 0; i < count; ++i) out.push_back(static_cast<uint8_t>((v >> (7 * i)) & 0x7F));
}

bool SevenBitBody(const uint8_t* m, size_t n) {
    // Every byte between F0 and the last one.
    for (size_t i = 1; i + 1 < n; ++i)
        if (m[i] & 0x80) return false;
    return true;
}

std::string Hex(uint32_t v, int width = 0) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", width, v);
    return buf;
}

// The first bytes of a message in hex, for the log.
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

std::string Range(uint32_t address, uint32_t length) {
    return Hex(address) + "+" + std::to_string(length);
}

bool InsideImage(uint32_t address, uint32_t length) {
    return address >= IMAGE_BASE && address <= IMAGE_END && length <= IMAGE_END - address;
}

}  // namespace

uint32_t Crc32Jam(const uint8_t* data, size_t size) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) crc = (crc >> 8) ^ CRC_TABLE[(crc ^ data[i]) & 0xFF];
    return crc;
}

size_t PackedSize(size_t length) { return length + (length + 6) / 7; }

size_t BlockMessageLength(const uint8_t* m, size_t n) {
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

DeviceSimulator::DeviceSimulator(DeviceSimulatorConfig config, SendFunction sendToHost)
    : m_config(std::move(config)),
      m_send(std::move(sendToHost)),
      m_random(m_config.seed),
      m_image(IMAGE_BYTES, 0xFF),
      m_refusalsLeft(m_config.refusals.size()),
      m_repeatUsed(m_config.repeats.size(), false),
      m_written(IMAGE_BYTES, false) {
    for (size_t i = 0; i < m_config.refusals.size(); ++i) m_refusalsLeft[i] = m_config.refusals[i].count;
    for (const BlockPull& p : m_config.pulls) m_summary.pulls.push_back(PullRecord{p, false, false, false, {}});
    m_worker = std::thread([this] { Run(); });
}

DeviceSimulator::~DeviceSimulator() { Stop(); }

void DeviceSimulator::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stopping = true;
        m_queue.clear();
    }
    m_wake.notify_all();
    m_changed.notify_all();
    if (m_worker.joinable() && m_worker.get_id() != std::this_thread::get_id()) m_worker.join();
}

void DeviceSimulator::Run() {
    std::unique_lock<std::mutex> lock(m_lock);
    while (!m_stopping) {
        if (m_queue.empty()) {
            m_wake.wait(lock);
            continue;
        }
        if (std::chrono::steady_clock::now() < m_queue.front().due) {
            m_wake.wait_until(lock, m_queue.front().due);
            continue;
        }
        Outgoing out = std::move(m_queue.front());
        m_queue.pop_front();
        m_sending = true;
        lock.unlock();
        std::string failure;
        try {
            if (m_send) m_send(out.bytes);
        } catch (...) {
            failure = "sending " + out.what + " failed";
        }
        if (!failure.empty()) Emit({failure});
        if (out.isRepeat) Emit({out.what});
        lock.lock();
        m_sending = false;
        ++m_summary.messagesSent;
        if (out.isRepeat) ++m_summary.answersRepeated;
        if (out.repeatAfter && !m_stopping) {
            // Queued before the worker counts as idle again, so that Complete() never sees a gap.
            const std::string what = "answer sent again, " + std::to_string(out.repeatAfter->count()) +
                                     " ms after the first: " + out.what;
            InsertLocked(Outgoing{std::chrono::steady_clock::now() + *out.repeatAfter, std::move(out.bytes), what,
                                  std::nullopt, true});
        }
        m_changed.notify_all();
    }
}

void DeviceSimulator::Emit(const Lines& lines) const {
    if (!m_config.log) return;
    for (const std::string& line : lines) m_config.log(line);
}

void DeviceSimulator::OnMessageFromHost(const uint8_t* data, size_t size) {
    Lines log;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (data == nullptr) size = 0;
        // One message at a time: the device begins this one once it is done with the one before.
        m_begin = std::max(std::chrono::steady_clock::now(), m_busyUntil);
        HandleLocked(data, size, log);
    }
    m_changed.notify_all();
    Emit(log);
}

bool DeviceSimulator::RequestBlock(uint32_t address, uint32_t length) {
    if (length > MAX_BLOCK_LENGTH) return false;
    Lines log;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_begin = std::chrono::steady_clock::now();
        m_summary.pulls.push_back(PullRecord{BlockPull{address, length, Trigger::Start}, false, false, false, {}});
        SendBlockRequestLocked(m_summary.pulls.size() - 1, log);
    }
    Emit(log);
    return true;
}

void DeviceSimulator::RequestHostIdentity() {
    Lines log;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_begin = std::chrono::steady_clock::now();
        SendIdentityRequestLocked(log);
    }
    Emit(log);
}

void DeviceSimulator::HandleLocked(const uint8_t* m, size_t n, Lines& log) {
    if (n < 5 || m[0] != SOX) {
        ++m_summary.garbage;
        log.push_back("ignored " + std::to_string(n) + " bytes that are no complete SysEx message");
        return;
    }
    if (m[1] == UNIVERSAL_NON_REALTIME) {
        HandleUniversalLocked(m, n, log);
        return;
    }
    if (m[1] != MANUFACTURER) {
        ++m_summary.garbage;
        log.push_back("ignored a SysEx message of manufacturer " + Hex(m[1], 2));
        return;
    }
    const uint8_t opcode = m[4];
    const bool command = opcode == OP_ERASE || opcode == OP_BLOCK || opcode == OP_FINISH;
    if (m[3] != m_config.model) {
        ++m_summary.wrongModel;
        if (command) {
            if (opcode == OP_BLOCK) {
                ++m_summary.blocksRefused;
                ++m_summary.blocksMalformed;
            } else {
                ++m_summary.unexpected;
            }
            const std::string what = "opcode " + Hex(opcode, 2) + " for model " + Hex(m[3], 2) + " (this device is " +
                                     Hex(m_config.model, 2) + "), answered with status 5";
            StatusLocked(STATUS_WRONG_MODEL, what, log);
            log.push_back(what);
        } else {
            log.push_back("ignored opcode " + Hex(opcode, 2) + " for model " + Hex(m[3], 2));
        }
        return;
    }
    switch (opcode) {
    case OP_STATUS:
        HandleHostStatusLocked(m, n, log);
        return;
    case OP_BLOCK:
        HandleBlockLocked(m, n, log);
        return;
    case OP_ERASE:
    case OP_FINISH: {
        const char* name = opcode == OP_ERASE ? "ERASE" : "FINISH";
        if (n != 6 || m[5] != EOX) {
            ++m_summary.unexpected;
            const std::string what = std::string("malformed ") + name + ", answered with status 4: " + HexBytes(m, n);
            StatusLocked(STATUS_FRAME_ERROR, what, log);
            log.push_back(what);
            return;
        }
        if (opcode == OP_ERASE) {
            ++m_summary.eraseRequests;
            StartUpdateLocked();
            m_summary.eraseSeen = true;
            m_summary.eraseAnswer = m_config.eraseStatus;
            m_erased = m_config.eraseStatus == STATUS_OK;
            const std::string what = "ERASE: answered with status " + std::to_string(m_config.eraseStatus) +
                                     " after " + std::to_string(m_config.eraseDelay.count()) + " ms";
            const auto repeat = TakeRepeatLocked(ERASE_INDEX);
            StatusLocked(m_config.eraseStatus, what, log, m_config.eraseDelay, false, repeat);
            log.push_back(repeat ? what + " (to be sent again " + std::to_string(repeat->count()) + " ms after)"
                                 : what);
            return;
        }
        ++m_summary.finishRequests;
        const bool whole = m_summary.bytesReceived == IMAGE_BYTES;
        if (!m_summary.finishSeen && whole) ++m_summary.updatesCompleted;
        m_summary.finishSeen = true;
        if (m_config.finishStatus) {
            m_summary.finishAnswered = !m_config.mute;
            const std::string what = std::string(whole ? "FINISH" : "FINISH before the whole image had arrived") +
                                     ": answered with status " + std::to_string(*m_config.finishStatus);
            StatusLocked(*m_config.finishStatus, what, log, m_config.finishDelay);
            log.push_back(what);
        } else {
            log.push_back("FINISH: not answered (as configured)");
        }
        FireTriggerLocked(Trigger::End, log);
        return;
    }
    default:
        ++m_summary.unexpected;
        log.push_back("unexpected opcode " + Hex(opcode, 2) + " from the host, not answered: " + HexBytes(m, n));
        return;
    }
}

void DeviceSimulator::HandleUniversalLocked(const uint8_t* m, size_t n, Lines& log) {
    if (m[3] == GENERAL_INFORMATION && m[4] == IDENTITY_REQUEST && n == 6 && m[5] == EOX &&
        (m[2] == 0x00 || m[2] == 0x7F)) {
        ++m_summary.identityRequests;
        const uint8_t model = m_config.identityModel.value_or(m_config.model);
        if (m_config.longMessageBytes > 0) {
            std::vector<uint8_t> longMessage(std::max<uint32_t>(m_config.longMessageBytes, 7), 0x00);
            longMessage[0] = SOX;
            longMessage[1] = MANUFACTURER;
            longMessage[3] = m_config.model;
            longMessage.back() = EOX;
            const std::string what = std::to_string(longMessage.size()) + "-byte message";
            QueueLocked(std::move(longMessage), what, log);
            log.push_back(what + " sent before the Identity Reply");
        }
        QueueLocked({SOX, UNIVERSAL_NON_REALTIME, 0x00, GENERAL_INFORMATION, IDENTITY_REPLY, MANUFACTURER, model,
                     0x00, 0x00, 0x00, 0x31, 0x30, 0x30, 0x30, EOX},
                    "Identity Reply", log, m_config.identityReplyDelay);
        log.push_back("Identity Request answered with model " + Hex(model, 2));
        if (!m_startFired) {
            m_startFired = true;
            FireTriggerLocked(Trigger::Start, log);
        }
        return;
    }
    if (m[3] == GENERAL_INFORMATION && m[4] == IDENTITY_REPLY) {
        if (TakeBurstAnswerLocked('R', log)) return;
        ++m_summary.hostIdentityReplies;
        m_summary.lastHostIdentityReply.assign(m, m + n);
        m_summary.hostIdentityValid = n == 15 && m[14] == EOX && SevenBitBody(m, n) && m[5] == MANUFACTURER &&
                                      m[10] == 0x31 && m[11] == 0x30 && m[12] == 0x30 && m[13] == 0x30;
        log.push_back(std::string("host Identity Reply") + (m_summary.hostIdentityValid ? "" : " (MALFORMED)") +
                      ": " + HexBytes(m, n));
        return;
    }
    ++m_summary.garbage;
    log.push_back("ignored a universal message that is not for this device");
}

void DeviceSimulator::HandleHostStatusLocked(const uint8_t* m, size_t n, Lines& log) {
    if (n == 7 && m[6] == EOX && m[5] == 0x01 && TakeBurstAnswerLocked('S', log)) return;
    if (n == 7 && m[6] == EOX) {
        for (PullRecord& p : m_summary.pulls) {
            if (!p.sent || p.answered) continue;
            p.answered = true;
            p.ok = !InsideImage(p.pull.address, p.pull.length);
            p.result = (p.ok ? "refused by the host with status " : "in-range pull refused with status ") +
                       std::to_string(m[5]);
            log.push_back("pull " + Range(p.pull.address, p.pull.length) + ": " + p.result);
            return;
        }
    }
    ++m_summary.unexpected;
    log.push_back("unexpected STATUS message from the host: " + HexBytes(m, n));
}

void DeviceSimulator::StartUpdateLocked() {
    std::fill(m_image.begin(), m_image.end(), uint8_t{0xFF});
    std::fill(m_written.begin(), m_written.end(), false);
    m_nextAddress = IMAGE_BASE;
    m_lastAddress = 0;
    m_lastLength = 0;
    m_erased = false;
    m_summary.eraseSeen = false;
    m_summary.blocksRepeated = 0;
    m_summary.blocksAccepted = 0;
    m_summary.blocksRefused = 0;
    m_summary.blocksMalformed = 0;
    m_summary.bytesReceived = 0;
    m_summary.blocks.clear();
    m_summary.finishSeen = false;
    m_summary.finishAnswered = false;
}

void DeviceSimulator::HandleBlockLocked(const uint8_t* m, size_t n, Lines& log) {
    const bool headerReadable = n >= 12 && SevenBitBody(m, std::min<size_t>(n, 13));
    const uint32_t address = headerReadable ? Groups(m + 5, 5) : 0;
    const uint32_t length = headerReadable ? Groups(m + 10, 2) : 0;

    if (headerReadable && HandlePullAnswerLocked(m, n, log)) return;

    // A data block: the device is busy with it (a flash write) until its answer goes out.
    if (m_config.blockAnswerDelay.count() > 0) m_busyUntil = m_begin + m_config.blockAnswerDelay;
    const bool atAddress = m_config.storeAtAddress;
    const int k = !atAddress                                ? m_summary.blocksAccepted
                  : headerReadable && address >= IMAGE_BASE ? static_cast<int>((address - IMAGE_BASE) / BLOCK_BYTES)
                                                            : UNKNOWN_BLOCK;
    const std::string name = k >= 0 ? "block " + std::to_string(k) : std::string("a block");

    auto refuse = [&](uint8_t status, const std::string& why, bool malformed) {
        ++m_summary.blocksRefused;
        if (malformed) ++m_summary.blocksMalformed;
        if (headerReadable) {
            BlockRecord& r = m_summary.blocks[address];
            r.length = length;
            ++r.refused;
            r.lastStatus = status;
        }
        const std::string what = name + (headerReadable ? " at " + Hex(address) + ", " + std::to_string(length) +
                                                              " bytes"
                                                        : std::string(" (") + std::to_string(n) + " bytes)") +
                                 ": refused with status " + std::to_string(status) + " (" + why + ")";
        AnswerBlockLocked(k, status, what, log);
    };

    if (!headerReadable) return refuse(STATUS_FRAME_ERROR, "too short for its header", true);
    const size_t packed = PackedSize(length);
    if (n != packed + BLOCK_OVERHEAD)
        return refuse(STATUS_FRAME_ERROR,
                      "message is " + std::to_string(n) + " bytes, its length field asks for " +
                          std::to_string(packed + BLOCK_OVERHEAD),
                      true);
    if (m[n - 1] != EOX) return refuse(STATUS_FRAME_ERROR, "no F7 at its end", true);
    if (!SevenBitBody(m, n)) return refuse(STATUS_FRAME_ERROR, "a byte with bit 7 set inside", true);
    if (length == 0) return refuse(STATUS_FRAME_ERROR, "empty block", true);
    std::vector<uint8_t> raw(length);
    if (!Unpack7Bit(raw.data(), m + 12, length))
        return refuse(STATUS_FRAME_ERROR, "padding bits set in the last packed group", true);
    const uint32_t sent = Groups(m + 12 + packed, 5);
    const uint32_t computed = Crc32Jam(raw.data(), length);
    if (sent != computed)
        return refuse(STATUS_CRC_ERROR, "checksum " + Hex(sent, 8) + ", bytes give " + Hex(computed, 8), true);
    if (!m_erased) return refuse(STATUS_SEQUENCE_ERROR, "no successful ERASE before it", true);
    if (!atAddress && m_lastLength != 0 && address == m_lastAddress && length == m_lastLength &&
        std::equal(raw.begin(), raw.end(), m_image.begin() + (address - IMAGE_BASE))) {
        // The same block again: its answer was lost on the way. Acknowledge it once more.
        ++m_summary.blocksRepeated;
        AnswerBlockLocked(k - 1, STATUS_OK,
                          "block " + std::to_string(k - 1) + " at " + Hex(address) + " sent again: accepted again",
                          log);
        return;
    }
    if (!atAddress && address != m_nextAddress)
        return refuse(STATUS_SEQUENCE_ERROR, "expected address " + Hex(m_nextAddress), true);
    if (!InsideImage(address, length))
        return refuse(STATUS_SEQUENCE_ERROR, atAddress ? "not wholly inside the image" : "reaches past the image", true);

    for (size_t i = 0; i < m_config.refusals.size(); ++i) {
        if (m_config.refusals[i].block == k && m_refusalsLeft[i] > 0) {
            --m_refusalsLeft[i];
            return refuse(m_config.refusals[i].status,
                          "scheduled, " + std::to_string(m_refusalsLeft[i]) + " more to come", false);
        }
    }

    std::copy(raw.begin(), raw.end(), m_image.begin() + (address - IMAGE_BASE));
    const bool again = MarkWrittenLocked(address, length);
    if (!atAddress) {
        m_nextAddress = address + length;
        m_lastAddress = address;
        m_lastLength = length;
    }
    if (again) {
        ++m_summary.blocksRepeated;
    } else {
        ++m_summary.blocksAccepted;
    }
    BlockRecord& r = m_summary.blocks[address];
    r.length = length;
    ++r.accepted;
    r.lastStatus = STATUS_OK;
    AnswerBlockLocked(k, STATUS_OK,
                      name + " at " + Hex(address) + ", " + std::to_string(length) + " bytes: " +
                          (again ? "written again" : "accepted"),
                      log);
    if (m_config.burstCount > 0 && k == m_config.burstAfterBlock && m_summary.burstSent == 0) SendBurstLocked(log);
}

void DeviceSimulator::AnswerBlockLocked(int k, uint8_t status, const std::string& what, Lines& log) {
    const auto repeat = TakeRepeatLocked(k);
    if (m_config.dropReplyBlock == k && !m_dropUsed) {
        m_dropUsed = true;
        ++m_summary.messagesDropped;
        log.push_back(what + ", answer dropped (as configured)");
        return;
    }
    StatusLocked(status, what, log, std::chrono::milliseconds(0), true, repeat);
    log.push_back(repeat ? what + " (the answer to be sent again " + std::to_string(repeat->count()) + " ms after)"
                         : what);
}

std::optional<std::chrono::milliseconds> DeviceSimulator::TakeRepeatLocked(int k) {
    for (size_t i = 0; i < m_config.repeats.size(); ++i) {
        if (m_config.repeats[i].block == k && !m_repeatUsed[i]) {
            m_repeatUsed[i] = true;
            return m_config.repeats[i].after;
        }
    }
    return std::nullopt;
}

bool DeviceSimulator::MarkWrittenLocked(uint32_t address, uint32_t length) {
    const auto from = m_written.begin() + (address - IMAGE_BASE);
    const bool before = std::all_of(from, from + length, [](bool w) { return w; });
    for (auto it = from; it != from + length; ++it) {
        if (!*it) ++m_summary.bytesReceived;
        *it = true;
    }
    return before;
}

namespace {
// The answer the host owes to request i of a burst.
char BurstAnswer(int i) { return i % 3 == 2 ? 'R' : 'S'; }
constexpr uint8_t OP_UNKNOWN_TO_HOST = 0x40;
}  // namespace

void DeviceSimulator::SendBurstLocked(Lines& log) {
    m_burstStart = std::chrono::steady_clock::now();
    for (int i = 0; i < m_config.burstCount; ++i) {
        if (BurstAnswer(i) == 'R') {
            QueueLocked({SOX, UNIVERSAL_NON_REALTIME, 0x7F, GENERAL_INFORMATION, IDENTITY_REQUEST, EOX}, "", log);
        } else {
            QueueLocked({SOX, MANUFACTURER, 0x00, m_config.model, OP_UNKNOWN_TO_HOST, EOX}, "", log);
        }
    }
    m_summary.burstSent = m_config.burstCount;
    log.push_back("burst of " + std::to_string(m_config.burstCount) + " requests sent");
}

bool DeviceSimulator::TakeBurstAnswerLocked(char answer, Lines& log) {
    if (m_summary.burstSent == 0 || m_summary.burstAnswered >= m_summary.burstSent) return false;
    if (BurstAnswer(m_summary.burstAnswered) != answer) {
        m_summary.burstInOrder = false;
        log.push_back("burst answer " + std::to_string(m_summary.burstAnswered) + " out of its turn");
        return false;
    }
    if (++m_summary.burstAnswered == m_summary.burstSent) {
        m_summary.burstAnswerMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - m_burstStart).count();
        log.push_back("burst of " + std::to_string(m_summary.burstSent) + " answered in order, the last answer " +
                      std::to_string(m_summary.burstAnswerMs) + " ms after the burst");
    }
    return true;
}

bool DeviceSimulator::HandlePullAnswerLocked(const uint8_t* m, size_t n, Lines& log) {
    const uint32_t address = Groups(m + 5, 5);
    const uint32_t length = Groups(m + 10, 2);
    PullRecord* pull = nullptr;
    for (PullRecord& p : m_summary.pulls)
        if (p.sent && !p.answered && p.pull.address == address) {
            pull = &p;
            break;
        }
    if (pull == nullptr) return false;

    pull->answered = true;
    std::string problem;
    const size_t packed = PackedSize(length);
    std::vector<uint8_t> raw(length);
    const bool inRange = InsideImage(pull->pull.address, pull->pull.length);
    if (n != packed + BLOCK_OVERHEAD || m[n - 1] != EOX || !SevenBitBody(m, n) ||
        !Unpack7Bit(raw.data(), m + 12, length)) {
        problem = "malformed answer (" + std::to_string(n) + " bytes)";
    } else if (Groups(m + 12 + packed, 5) != Crc32Jam(raw.data(), length)) {
        problem = "checksum does not match the bytes";
    } else if (!InsideImage(address, length)) {
        problem = "the host sent " + std::to_string(length) + " bytes that lie outside the image";
    } else if (inRange ? length != pull->pull.length : length > pull->pull.length) {
        problem = "the host sent " + std::to_string(length) + " bytes";
    }
    const uint8_t* known = nullptr;
    const bool compared = problem.empty() && KnownImageLocked(address, length, &known);
    if (compared && !std::equal(raw.begin(), raw.end(), known)) {
        const auto at = std::mismatch(raw.begin(), raw.end(), known).first - raw.begin();
        problem = "bytes differ from the image at " + Hex(address + static_cast<uint32_t>(at));
    }
    pull->ok = problem.empty();
    pull->result = pull->ok ? std::to_string(length) + " bytes, checksum ok, " +
                                  (compared ? "equal to the image" : "not compared (image unknown)")
                            : problem;
    log.push_back("pull " + Range(pull->pull.address, pull->pull.length) + " answered: " + pull->result);
    return true;
}

bool DeviceSimulator::KnownImageLocked(uint32_t address, uint32_t length, const uint8_t** bytes) const {
    if (!InsideImage(address, length)) return false;
    if (m_config.expectedImage.size() == IMAGE_BYTES) {
        *bytes = m_config.expectedImage.data() + (address - IMAGE_BASE);
        return true;
    }
    const auto from = m_written.begin() + (address - IMAGE_BASE);
    if (std::all_of(from, from + length, [](bool w) { return w; })) {
        *bytes = m_image.data() + (address - IMAGE_BASE);
        return true;
    }
    return false;
}

void DeviceSimulator::FireTriggerLocked(Trigger when, Lines& log) {
    for (size_t i = 0; i < m_summary.pulls.size(); ++i)
        if (m_summary.pulls[i].pull.when == when && !m_summary.pulls[i].sent) SendBlockRequestLocked(i, log);
    if (m_config.askIdentity == when && !(when == Trigger::End && m_identityAskedAtEnd)) {
        if (when == Trigger::End) m_identityAskedAtEnd = true;
        SendIdentityRequestLocked(log);
    }
}

void DeviceSimulator::SendBlockRequestLocked(size_t pullIndex, Lines& log) {
    PullRecord& p = m_summary.pulls[pullIndex];
    std::vector<uint8_t> msg{SOX, MANUFACTURER, 0x00, m_config.model, OP_BLOCK_REQUEST};
    PutGroups(msg, p.pull.address, 5);
    PutGroups(msg, p.pull.length, 2);
    msg.push_back(EOX);
    p.sent = !m_config.mute && !m_stopping;
    QueueLocked(std::move(msg), "block request " + Range(p.pull.address, p.pull.length), log);
    if (p.sent) log.push_back("pulling " + Range(p.pull.address, p.pull.length) + " from the host");
}

void DeviceSimulator::SendIdentityRequestLocked(Lines& log) {
    m_hostRepliesAtAsk = m_summary.hostIdentityReplies;
    QueueLocked({SOX, UNIVERSAL_NON_REALTIME, 0x7F, GENERAL_INFORMATION, IDENTITY_REQUEST, EOX},
                "Identity Request", log);
    log.push_back("asking the host's identity");
}

void DeviceSimulator::StatusLocked(uint8_t status, std::string what, Lines& log,
                                   std::chrono::milliseconds extraDelay, bool blockAnswer,
                                   std::optional<std::chrono::milliseconds> repeatAfter) {
    QueueLocked({SOX, MANUFACTURER, 0x00, m_config.model, OP_STATUS, static_cast<uint8_t>(status & 0x7F), EOX},
                std::move(what), log, extraDelay, blockAnswer, repeatAfter);
}

void DeviceSimulator::QueueLocked(std::vector<uint8_t> bytes, std::string what, Lines& log,
                                  std::chrono::milliseconds extraDelay, bool blockAnswer,
                                  std::optional<std::chrono::milliseconds> repeatAfter) {
    if (m_stopping) return;
    if (m_config.mute) {
        ++m_summary.messagesDropped;
        if (!what.empty()) log.push_back("silent (mute): " + what);
        return;
    }
    std::chrono::steady_clock::time_point due;
    if (blockAnswer && m_config.blockAnswerDelay.count() > 0) {
        due = m_begin + m_config.blockAnswerDelay;
    } else {
        auto lo = m_config.answerDelayMin.count();
        auto hi = m_config.answerDelayMax.count();
        if (hi < lo) std::swap(lo, hi);
        const auto delay = std::chrono::milliseconds(std::uniform_int_distribution<long long>(lo, hi)(m_random));
        due = m_begin + delay + extraDelay;
    }
    // The device's answers to the host never overtake each other; only repeats go at their own time.
    due = std::max(due, m_lastDue);
    m_lastDue = due;
    InsertLocked(Outgoing{due, std::move(bytes), std::move(what), repeatAfter, false});
}

void DeviceSimulator::InsertLocked(Outgoing out) {
    const auto at = std::upper_bound(m_queue.begin(), m_queue.end(), out.due,
                                     [](const auto& due, const Outgoing& queued) { return due < queued.due; });
    m_queue.insert(at, std::move(out));
    m_wake.notify_all();
}

bool DeviceSimulator::CompleteLocked() const {
    if (!m_summary.finishSeen || !m_queue.empty() || m_sending) return false;
    for (const PullRecord& p : m_summary.pulls)
        if (p.sent && !p.answered && InsideImage(p.pull.address, p.pull.length)) return false;
    if (m_config.askIdentity && !m_config.mute && m_summary.hostIdentityReplies <= m_hostRepliesAtAsk)
        return false;
    if (m_summary.burstAnswered < m_summary.burstSent && m_summary.burstInOrder) return false;
    return true;
}

bool DeviceSimulator::Complete() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return CompleteLocked();
}

bool DeviceSimulator::WaitForCompletion(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, timeout, [this] { return CompleteLocked() || m_stopping; }) && CompleteLocked();
}

DeviceSummary DeviceSimulator::Summary() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_summary;
}

std::vector<uint8_t> DeviceSimulator::Image() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_image;
}

bool DeviceSimulator::WriteImage(const std::string& path) const {
    const std::vector<uint8_t> image = Image();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    out.close();
    return static_cast<bool>(out);
}

bool DeviceSimulator::Verdict(std::string* line) const {
    std::lock_guard<std::mutex> lock(m_lock);
    const DeviceSummary& s = m_summary;
    std::vector<std::string> reasons;
    if (!s.eraseSeen) reasons.push_back("no ERASE received");
    if (s.bytesReceived < IMAGE_BYTES)
        reasons.push_back("image incomplete: " + std::to_string(s.bytesReceived) + " of " +
                          std::to_string(IMAGE_BYTES) + " bytes");
    if (!s.finishSeen) reasons.push_back("no FINISH received");
    if (s.bytesReceived == IMAGE_BYTES && m_config.expectedImage.size() == IMAGE_BYTES &&
        m_config.expectedImage != m_image) {
        const auto at = std::mismatch(m_image.begin(), m_image.end(), m_config.expectedImage.begin()).first -
                        m_image.begin();
        reasons.push_back("image differs from the expected one at " +
                          Hex(IMAGE_BASE + static_cast<uint32_t>(at)));
    }
    int pullsChecked = 0;
    for (const PullRecord& p : s.pulls) {
        const std::string r = "pull " + Range(p.pull.address, p.pull.length);
        const bool inRange = InsideImage(p.pull.address, p.pull.length);
        if (!p.sent) {
            if (inRange) reasons.push_back(r + " never sent");
        } else if (!p.answered) {
            if (inRange) reasons.push_back(r + " not answered");
        } else if (!p.ok) {
            reasons.push_back(r + ": " + p.result);
        } else {
            ++pullsChecked;
        }
    }
    if (m_config.askIdentity) {
        if (s.hostIdentityReplies == 0)
            reasons.push_back("no host Identity Reply");
        else if (!s.hostIdentityValid)
            reasons.push_back("malformed host Identity Reply");
    }
    if (s.burstSent > 0 && (s.burstAnswered != s.burstSent || !s.burstInOrder)) {
        reasons.push_back("burst: " + std::to_string(s.burstAnswered) + " of " + std::to_string(s.burstSent) +
                          " answered in order" + (s.burstInOrder ? "" : ", answers out of their turn"));
    }
    if (m_config.strict) {
        if (s.blocksMalformed > 0) reasons.push_back(std::to_string(s.blocksMalformed) + " malformed blocks");
        if (s.unexpected > 0) reasons.push_back(std::to_string(s.unexpected) + " unexpected messages");
    }
    const std::string counts = std::to_string(s.blocksAccepted) + " blocks (" + std::to_string(s.blocksRefused) +
                               " refused, " + std::to_string(s.blocksMalformed) + " malformed" +
                               (s.blocksRepeated ? ", " + std::to_string(s.blocksRepeated) + " repeated" : "") + ")";
    const std::string repeats = s.answersRepeated == 0 ? std::string()
                                : s.answersRepeated == 1
                                    ? std::string(", 1 answer sent twice")
                                    : ", " + std::to_string(s.answersRepeated) + " answers sent twice";
    std::string text;
    if (reasons.empty()) {
        text = "PASS: image " + std::to_string(s.bytesReceived) + " bytes received in " + counts + ", finish " +
               (s.finishAnswered ? "answered" : "not answered (as configured)");
        if (pullsChecked > 0) text += ", " + std::to_string(pullsChecked) + " pulled blocks checked";
        if (m_config.askIdentity) text += ", host identity received";
        if (s.burstSent > 0)
            text += ", burst of " + std::to_string(s.burstSent) + " answered in order within " +
                    std::to_string(s.burstAnswerMs) + " ms";
        text += repeats;
    } else {
        text = "FAIL: ";
        for (size_t i = 0; i < reasons.size(); ++i) text += (i ? "; " : "") + reasons[i];
        text += " (" + std::to_string(s.bytesReceived) + " bytes in " + counts + repeats + ")";
    }
    if (line) *line = text;
    return reasons.empty();
}

}  // namespace devsim
