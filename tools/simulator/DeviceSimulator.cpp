#include "DeviceSimulator.h"

#include <algorithm>
#include <fstream>

#include "DeviceVerdict.h"

namespace devsim {

using namespace wire;

DeviceSimulator::DeviceSimulator(DeviceSimulatorConfig config, SendFunction sendToHost)
    : m_config(std::move(config)),
      m_send(std::move(sendToHost)),
      m_schedule(m_config),
      m_image(IMAGE_BYTES, 0xFF),
      m_written(IMAGE_BYTES, false) {
    for (const BlockPull& p : m_schedule.Pulls()) m_summary.pulls.push_back(PullRecord{p, false, false, false, {}});
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
        m_begin = m_schedule.Begin(std::chrono::steady_clock::now());
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
            StatusLocked(STATUS_WRONG_MODEL, what, Answer::Plain, log);
            log.push_back(what);
        } else {
            log.push_back("ignored opcode " + Hex(opcode, 2) + " for model " + Hex(m[3], 2));
        }
        return;
    }
    if ((opcode == OP_ERASE || opcode == OP_FINISH) && (n != 6 || m[5] != EOX)) {
        ++m_summary.unexpected;
        const std::string what = std::string("malformed ") + (opcode == OP_ERASE ? "ERASE" : "FINISH") +
                                 ", answered with status 4: " + HexBytes(m, n);
        StatusLocked(STATUS_FRAME_ERROR, what, Answer::Plain, log);
        log.push_back(what);
        return;
    }
    switch (opcode) {
    case OP_STATUS: return HandleHostStatusLocked(m, n, log);
    case OP_BLOCK: return HandleBlockLocked(m, n, log);
    case OP_ERASE: return HandleEraseLocked(log);
    case OP_FINISH: return HandleFinishLocked(log);
    default:
        ++m_summary.unexpected;
        log.push_back("unexpected opcode " + Hex(opcode, 2) + " from the host, not answered: " + HexBytes(m, n));
        return;
    }
}

void DeviceSimulator::HandleEraseLocked(Lines& log) {
    ++m_summary.eraseRequests;
    StartUpdateLocked();
    m_summary.eraseSeen = true;
    m_summary.eraseAnswer = m_config.eraseStatus;
    m_erased = m_config.eraseStatus == STATUS_OK;
    const std::string what = "ERASE: answered with status " + std::to_string(m_config.eraseStatus) + " after " +
                             std::to_string(m_config.eraseDelay.count()) + " ms";
    const auto repeat = m_schedule.TakeRepeat(FaultSchedule::ERASE);
    StatusLocked(m_config.eraseStatus, what, Answer::Erase, log, repeat);
    log.push_back(repeat ? what + " (to be sent again " + std::to_string(repeat->count()) + " ms after)" : what);
}

void DeviceSimulator::HandleFinishLocked(Lines& log) {
    ++m_summary.finishRequests;
    const bool whole = m_summary.bytesReceived == IMAGE_BYTES;
    if (!m_summary.finishSeen && whole) ++m_summary.updatesCompleted;
    m_summary.finishSeen = true;
    if (m_config.finishStatus) {
        m_summary.finishAnswered = !m_schedule.Mute();
        const std::string what = std::string(whole ? "FINISH" : "FINISH before the whole image had arrived") +
                                 ": answered with status " + std::to_string(*m_config.finishStatus);
        const auto repeat = m_schedule.TakeRepeat(FaultSchedule::FINISH);
        StatusLocked(*m_config.finishStatus, what, Answer::Finish, log, repeat);
        log.push_back(repeat ? what + " (to be sent again " + std::to_string(repeat->count()) + " ms after)" : what);
    } else {
        log.push_back("FINISH: not answered (as configured)");
    }
    FireTriggerLocked(Trigger::End, log);
}

void DeviceSimulator::HandleUniversalLocked(const uint8_t* m, size_t n, Lines& log) {
    if (m[3] == GENERAL_INFORMATION && m[4] == IDENTITY_REQUEST && n == 6 && m[5] == EOX &&
        (m[2] == 0x00 || m[2] == 0x7F)) {
        ++m_summary.identityRequests;
        const uint8_t model = m_config.identityModel.value_or(m_config.model);
        if (const uint32_t bytes = m_schedule.LongMessageBytes(); bytes > 0) {
            std::vector<uint8_t> longMessage = LongMessage(m_config.model, bytes);
            const std::string what = std::to_string(longMessage.size()) + "-byte message";
            QueueLocked(std::move(longMessage), what, Answer::Plain, log);
            log.push_back(what + " sent before the Identity Reply");
        }
        if (m_config.identityStatus) {
            const std::string what = "Identity Request answered with STATUS " + std::to_string(*m_config.identityStatus);
            StatusLocked(*m_config.identityStatus, what, Answer::IdentityReply, log);
            log.push_back(what + " (as configured)");
        } else {
            QueueLocked(IdentityReply(model), "Identity Reply", Answer::IdentityReply, log);
            log.push_back("Identity Request answered with model " + Hex(model, 2));
        }
        if (m_schedule.TakeStart()) FireTriggerLocked(Trigger::Start, log);
        return;
    }
    if (m[3] == GENERAL_INFORMATION && m[4] == IDENTITY_REPLY) {
        if (TakeBurstAnswerLocked(FaultSchedule::Request::Identity, log)) return;
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
    if (n == 7 && m[6] == EOX && m[5] == 0x01 && TakeBurstAnswerLocked(FaultSchedule::Request::Unknown, log)) return;
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
    m_schedule.BeginBlock(m_begin);
    const bool atAddress = m_schedule.StoresAtAddress();
    const int k = m_schedule.BlockIndex(m_summary.blocksAccepted,
                                        headerReadable ? std::optional<uint32_t>(address) : std::nullopt);
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
    if (const auto refusal = m_schedule.TakeRefusal(k))
        return refuse(refusal->status, "scheduled, " + std::to_string(refusal->left) + " more to come", false);

    const bool again = StoreLocked(address, raw);
    ++(again ? m_summary.blocksRepeated : m_summary.blocksAccepted);
    BlockRecord& r = m_summary.blocks[address];
    r.length = length;
    ++r.accepted;
    r.lastStatus = STATUS_OK;
    AnswerBlockLocked(k, STATUS_OK,
                      name + " at " + Hex(address) + ", " + std::to_string(length) + " bytes: " +
                          (again ? "written again" : "accepted"),
                      log);
    if (const int burst = m_schedule.TakeBurst(k); burst > 0) SendBurstLocked(burst, log);
}

bool DeviceSimulator::StoreLocked(uint32_t address, const std::vector<uint8_t>& raw) {
    const auto length = static_cast<uint32_t>(raw.size());
    std::copy(raw.begin(), raw.end(), m_image.begin() + (address - IMAGE_BASE));
    const auto from = m_written.begin() + (address - IMAGE_BASE);
    const bool before = std::all_of(from, from + length, [](bool w) { return w; });
    for (auto it = from; it != from + length; ++it) {
        if (!*it) ++m_summary.bytesReceived;
        *it = true;
    }
    if (!m_schedule.StoresAtAddress()) {
        m_nextAddress = address + length;
        m_lastAddress = address;
        m_lastLength = length;
    }
    return before;
}

void DeviceSimulator::AnswerBlockLocked(int k, uint8_t status, const std::string& what, Lines& log) {
    const auto repeat = m_schedule.TakeRepeat(k);
    if (m_schedule.TakeDrop(k)) {
        ++m_summary.messagesDropped;
        log.push_back(what + ", answer dropped (as configured)");
        return;
    }
    StatusLocked(status, what, Answer::Block, log, repeat);
    log.push_back(repeat ? what + " (the answer to be sent again " + std::to_string(repeat->count()) + " ms after)"
                         : what);
}

void DeviceSimulator::SendBurstLocked(int count, Lines& log) {
    m_burstStart = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        QueueLocked(FaultSchedule::BurstRequest(i) == FaultSchedule::Request::Identity ? IdentityRequest()
                                                                                       : UnknownRequest(m_config.model),
                    "", Answer::Plain, log);
    }
    m_summary.burstSent = count;
    log.push_back("burst of " + std::to_string(count) + " requests sent");
}

bool DeviceSimulator::TakeBurstAnswerLocked(FaultSchedule::Request answered, Lines& log) {
    if (m_summary.burstSent == 0 || m_summary.burstAnswered >= m_summary.burstSent) return false;
    if (FaultSchedule::BurstRequest(m_summary.burstAnswered) != answered) {
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
    if (m_schedule.TakeIdentityAsk(when)) SendIdentityRequestLocked(log);
}

void DeviceSimulator::SendBlockRequestLocked(size_t pullIndex, Lines& log) {
    PullRecord& p = m_summary.pulls[pullIndex];
    p.sent = !m_schedule.Mute() && !m_stopping;
    QueueLocked(BlockRequest(m_config.model, p.pull.address, p.pull.length),
                "block request " + Range(p.pull.address, p.pull.length), Answer::Plain, log);
    if (p.sent) log.push_back("pulling " + Range(p.pull.address, p.pull.length) + " from the host");
}

void DeviceSimulator::SendIdentityRequestLocked(Lines& log) {
    m_hostRepliesAtAsk = m_summary.hostIdentityReplies;
    QueueLocked(IdentityRequest(), "Identity Request", Answer::Plain, log);
    log.push_back("asking the host's identity");
}

void DeviceSimulator::StatusLocked(uint8_t status, std::string what, Answer kind, Lines& log,
                                   std::optional<Milliseconds> repeatAfter) {
    QueueLocked(Status(m_config.model, status), std::move(what), kind, log, repeatAfter);
}

void DeviceSimulator::QueueLocked(std::vector<uint8_t> bytes, std::string what, Answer kind, Lines& log,
                                  std::optional<Milliseconds> repeatAfter) {
    if (m_stopping) return;
    if (m_schedule.Mute()) {
        ++m_summary.messagesDropped;
        if (!what.empty()) log.push_back("silent (mute): " + what);
        return;
    }
    InsertLocked(Outgoing{m_schedule.AnswerDue(m_begin, kind), std::move(bytes), std::move(what), repeatAfter, false});
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
    if (m_schedule.AsksIdentity() && !m_schedule.Mute() && m_summary.hostIdentityReplies <= m_hostRepliesAtAsk)
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
    return JudgeUpdate(m_summary, m_image, m_config, line);
}

}  // namespace devsim
