// A window stand-in for engine tests: records every request in order, thread-safe, with the
// texts that the windows show for them.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "EngineTexts.h"
#include "UpdateHost.h"

namespace testsupport {

class RecordingHost final : public IUpdateHost {
public:
    // Runs inside ShowError, on the thread that shows the box (to hold the run, or close).
    std::function<void(const std::string&)> onErrorBox;
    // Runs after every entry has been logged, on the thread that made the request (the run's
    // worker, the timer thread), before the request returns: a window that reacts at once. Set
    // before the run starts.
    std::function<void(const std::string&)> onEntry;

    bool ShowStatus(const RunStatus& status) override {
        Add("status:" + StatusText(status));
        return true;
    }
    bool SetProgressPos(int position) override {
        Add("progress:" + std::to_string(position));
        return true;
    }
    bool EnableControl(HostControl control, bool enable) override {
        static const char* names[] = {"in", "out", "execute", "rescan"};
        Add(std::string("enable:") + names[static_cast<int>(control)] + (enable ? ":1" : ":0"));
        return true;
    }
    bool ShowError(EngineError error) override {
        const std::string text = ErrorText(error);
        Add("error:" + text);
        if (onErrorBox) onErrorBox(text);
        return true;
    }

    // The run's DeviceIdentified and RunEnding, kept apart from the log of requests.
    void DeviceIdentified(const DeviceIdentity& identity) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_identities.push_back(identity);
    }
    void RunEnding(UpdateOutcome outcome) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_endings.push_back(outcome);
    }
    std::vector<DeviceIdentity> Identities() const {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_identities;
    }
    std::vector<UpdateOutcome> Endings() const {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_endings;
    }

    std::vector<std::string> Log() const {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_log;
    }
    // Entries that start with `prefix`, in order.
    std::vector<std::string> Entries(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const auto& e : Log()) {
            if (e.rfind(prefix, 0) == 0) out.push_back(e);
        }
        return out;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_lock);
        m_log.clear();
        m_identities.clear();
        m_endings.clear();
    }

private:
    void Add(std::string entry) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_log.push_back(entry);
        }
        if (onEntry) onEntry(entry);
    }
    mutable std::mutex m_lock;
    std::vector<std::string> m_log;
    std::vector<DeviceIdentity> m_identities;
    std::vector<UpdateOutcome> m_endings;
};

}  // namespace testsupport
