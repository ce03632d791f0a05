// A page and a device of the tests' own for the web edition's engine side (web/engine/): the page
// keeps every message the program posts and hands the program the messages a test queues, now or
// later. Its clock is the real one, on which the engine measures its waits, and a wait of the
// program sleeps until the next queued message is due; or, for tests of the loop alone, a clock of
// its own that moves on only while the program waits, so that those run the same way every time.
// The device plays the other end of a Web MIDI port pair: it reads what the program sends to its
// output port with an unpacking and a checksum of its own, keeps the image, and answers through
// the page's relay of its input port a little later, as a real device would.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "PageLink.h"
#include "Unpack7Bit.h"

namespace testsupport {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

class PageDouble final : public IPageLink {
public:
    enum class ClockKind { Real, Virtual };
    explicit PageDouble(ClockKind clock = ClockKind::Real)
        : m_virtual(clock == ClockKind::Virtual), m_start(m_virtual ? Clock::time_point(std::chrono::hours(1)) : Clock::now()),
          m_now(m_start) {}

    // What the program sent to an output port.
    struct Sent {
        std::string port;
        std::vector<std::uint8_t> bytes;
        Clock::time_point at;
    };

    // Messages the program posted, parsed, with the moment they came.
    std::vector<std::pair<Json, Clock::time_point>> posted;
    std::vector<Sent> sent;
    // Called with every MIDI message the program sends (a device's side).
    std::function<void(const Sent&)> onSend;
    // Called with every message the program posts.
    std::function<void(const Json&)> onPost;

    // A message from the page, arriving `after` from now.
    void FromPage(const Json& message, std::chrono::milliseconds after = std::chrono::milliseconds(0),
                  std::vector<std::uint8_t> bytes = {}) {
        m_scheduled.emplace(std::make_pair(Now() + after, m_order++), PageEvent{message.dump(), std::move(bytes)});
    }
    // A message that is not JSON, or of no use; the program must drop it.
    void RawFromPage(const std::string& text, std::vector<std::uint8_t> bytes = {}) {
        m_scheduled.emplace(std::make_pair(Now(), m_order++), PageEvent{text, std::move(bytes)});
    }
    // Once `condition` holds, `action` runs, once. Both are asked each time the program looks for a
    // message or waits, so they run in the middle of the program's own steps: a run's waits
    // included, where a test's own code can't run (the run's worker is on the one stack). The
    // action may queue messages and look at what the program has done; it must not call it.
    void When(std::function<bool()> condition, std::function<void()> action) {
        m_triggers.push_back({std::move(condition), std::move(action)});
    }

    // Bytes that input port `port` received, relayed `after` from now.
    void Midi(const std::string& port, std::vector<std::uint8_t> bytes,
              std::chrono::milliseconds after = std::chrono::milliseconds(0)) {
        FromPage({{"t", "midi"}, {"port", port}}, after, std::move(bytes));
    }

    // The messages of type `t` posted so far.
    std::vector<Json> Posted(const std::string& t) const {
        std::vector<Json> out;
        for (const auto& [message, at] : posted) {
            if (message.value("t", "") == t) out.push_back(message);
        }
        return out;
    }
    // The last message of type `t`; null when none.
    Json Last(const std::string& t) const {
        const auto all = Posted(t);
        return all.empty() ? Json() : all.back();
    }
    // When the first message of type `t` for which `match` holds was posted; none when none was.
    std::optional<Clock::time_point> FirstPosted(const std::string& t,
                                                 const std::function<bool(const Json&)>& match = {}) const {
        for (const auto& [message, at] : posted) {
            if (message.value("t", "") == t && (!match || match(message))) return at;
        }
        return std::nullopt;
    }

    Clock::time_point Now() override { return m_virtual ? m_now : Clock::now(); }
    // How long since the page was made.
    std::chrono::milliseconds Elapsed() {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Now() - m_start);
    }
    std::size_t Waiting() const { return m_scheduled.size(); }
    int Waits() const { return m_waits; }

    void Post(const std::string& json) override {
        const Json message = Json::parse(json);
        posted.emplace_back(message, Now());
        if (onPost) onPost(message);
    }
    bool SendMidi(const std::string& portId, const std::uint8_t* bytes, std::size_t length) override {
        sent.push_back({portId, std::vector<std::uint8_t>(bytes, bytes + length), Now()});
        if (onSend) onSend(sent.back());
        return true;
    }
    bool Take(PageEvent& event) override {
        FireTriggers();
        if (m_scheduled.empty() || m_scheduled.begin()->first.first > Now()) return false;
        event = m_scheduled.begin()->second;
        m_scheduled.erase(m_scheduled.begin());
        return true;
    }
    void Wait(std::chrono::milliseconds limit) override {
        ++m_waits;
        if (FireTriggers()) return;
        Clock::time_point end = Now() + limit;
        if (!m_scheduled.empty() && m_scheduled.begin()->first.first < end) {
            end = std::max(Now(), m_scheduled.begin()->first.first);
        }
        if (m_virtual) {
            m_now = end;
        } else {
            std::this_thread::sleep_until(end);
        }
    }

private:
    struct Trigger {
        std::function<bool()> condition;
        std::function<void()> action;
    };
    // Runs the actions whose conditions hold; true when any ran.
    bool FireTriggers() {
        bool fired = false;
        for (std::size_t i = 0; i < m_triggers.size();) {
            if (!m_triggers[i].condition()) {
                ++i;
                continue;
            }
            const Trigger trigger = m_triggers[i];
            m_triggers.erase(m_triggers.begin() + static_cast<std::ptrdiff_t>(i));
            trigger.action();
            fired = true;
        }
        return fired;
    }

    std::vector<Trigger> m_triggers;
    const bool m_virtual;
    const Clock::time_point m_start;
    Clock::time_point m_now;  // the virtual clock
    std::uint64_t m_order = 0;  // keeps messages due at one moment in the order they were queued
    std::map<std::pair<Clock::time_point, std::uint64_t>, PageEvent> m_scheduled;
    int m_waits = 0;
};

// CRC-32/JAMCRC, written apart from the program's.
inline std::uint32_t DeviceCrc(const std::uint8_t* data, std::size_t size) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc;
}

// The device behind one output port and one input port of the page.
class DeviceDouble {
public:
    static constexpr std::uint32_t IMAGE_BASE = 0xA0000;
    static constexpr std::uint32_t IMAGE_BYTES = 327680;

    struct Config {
        std::uint8_t model = 0x6A;
        std::optional<std::uint8_t> identityModel;  // reported model (default: model)
        std::uint8_t eraseStatus = 0;
        std::map<int, int> refusals;                // block index -> times to refuse it
        bool mute = false;
        std::chrono::milliseconds answerDelay{2};
        std::chrono::milliseconds eraseDelay{50};
        // Answers nothing more once this holds (asked before each answer).
        std::function<bool(const DeviceDouble&)> silentWhen;
    };

    DeviceDouble(PageDouble& page, std::string outPort, std::string inPort, Config config)
        : image(IMAGE_BYTES, 0xFF), m_page(page), m_outPort(std::move(outPort)), m_inPort(std::move(inPort)),
          m_config(std::move(config)) {}

    // Every message the program sends to the device's output port; to be called from the page's
    // onSend.
    void OnSent(const PageDouble::Sent& s) {
        if (s.port != m_outPort || gone) return;
        const std::vector<std::uint8_t>& m = s.bytes;
        received.push_back(m);
        if (m.size() == 6 && m[1] == 0x7E && m[3] == 0x06 && m[4] == 0x01) {
            ++identityRequests;
            const std::uint8_t model = m_config.identityModel.value_or(m_config.model);
            Answer({0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, model, 0x00, 0x00, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7});
            return;
        }
        if (m.size() < 6 || m[1] != 0x7D || m[3] != m_config.model) return;
        switch (m[4]) {
            case 0x01:
                ++erases;
                Answer(Status(m_config.eraseStatus), m_config.eraseDelay);
                return;
            case 0x02: OnBlock(m); return;
            case 0x04:
                ++finishes;
                Answer(Status(0));
                return;
            default: return;
        }
    }

    // The device sends `bytes` to the program (through its input port) `after` from now.
    void Send(std::vector<std::uint8_t> bytes, std::chrono::milliseconds after = std::chrono::milliseconds(0)) {
        if (!gone) m_page.Midi(m_inPort, std::move(bytes), after);
    }

    // Blocks received with a correct checksum, accepted in image order.
    int blocksAccepted = 0;
    std::map<int, int> sendsOfBlock;  // block index -> how often it came
    int identityRequests = 0;
    int erases = 0;
    int finishes = 0;
    bool crcError = false;
    bool gone = false;  // unplugged: it answers nothing more
    std::vector<std::vector<std::uint8_t>> received;
    std::vector<std::uint8_t> image;

private:
    std::vector<std::uint8_t> Status(std::uint8_t code) const { return {0xF0, 0x7D, 0x00, m_config.model, 0x00, code, 0xF7}; }

    void Answer(std::vector<std::uint8_t> bytes, std::chrono::milliseconds extra = std::chrono::milliseconds(0)) {
        if (m_config.mute || (m_config.silentWhen && m_config.silentWhen(*this))) return;
        Send(std::move(bytes), m_config.answerDelay + extra);
    }

    static std::uint32_t Groups(const std::vector<std::uint8_t>& m, std::size_t at, int n) {
        std::uint32_t v = 0;
        for (int i = 0; i < n; ++i) v |= static_cast<std::uint32_t>(m[at + static_cast<std::size_t>(i)]) << (7 * i);
        return v;
    }

    void OnBlock(const std::vector<std::uint8_t>& m) {
        const std::uint32_t address = Groups(m, 5, 5);
        const std::uint32_t length = Groups(m, 10, 2);
        const std::size_t packed = length + (length + 6) / 7;
        if (m.size() != packed + 18 || address < IMAGE_BASE || address + length > IMAGE_BASE + IMAGE_BYTES) {
            crcError = true;
            Answer(Status(4));
            return;
        }
        const std::vector<std::uint8_t> data = Unpack7Bit(m.data() + 12, packed);
        const std::uint32_t crc = Groups(m, 12 + packed, 5);
        const int block = static_cast<int>((address - IMAGE_BASE) / 9216);
        ++sendsOfBlock[block];
        if (data.size() != length || DeviceCrc(data.data(), data.size()) != crc) {
            crcError = true;
            Answer(Status(2));
            return;
        }
        if (auto it = m_config.refusals.find(block); it != m_config.refusals.end() && it->second > 0) {
            --it->second;
            Answer(Status(1));
            return;
        }
        std::copy(data.begin(), data.end(), image.begin() + (address - IMAGE_BASE));
        ++blocksAccepted;
        Answer(Status(0));
    }

    PageDouble& m_page;
    std::string m_outPort;
    std::string m_inPort;
    Config m_config;
};

}  // namespace testsupport
