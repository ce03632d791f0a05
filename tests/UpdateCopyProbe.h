// Runs of tarnet-update --all (RunAll) over the stand-in copy update_copy_probe (its steps are
// told in update_copy_probe.cpp), each in a folder of its own that holds the history of updates,
// the merged report and the probes' marks.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "ChildProcess.h"
#include "UpdateAll.h"
#include "UpdateHistory.h"
#include "UpdateRecord.h"

namespace probe {

// update_copy_probe, built beside the test program.
inline std::string ProbeProgram() {
#if defined(_WIN32)
    const char* const NAME = "update_copy_probe.exe";
#else
    const char* const NAME = "update_copy_probe";
#endif
    const std::string self = ChildProcess::OwnProgram("");
    return self.substr(0, self.find_last_of("/\\") + 1) + NAME;
}

// Sets an environment variable of this process and of the copies it starts; none: unset.
inline void SetEnvironment(const char* name, const std::optional<std::string>& value) {
#if defined(_WIN32)
    _putenv_s(name, value ? value->c_str() : "");
#else
    if (value) ::setenv(name, value->c_str(), 1);
    else ::unsetenv(name);
#endif
}

// The variable that names the folder of the history (UpdateHistory.h).
#if defined(_WIN32)
inline constexpr const char* STATE_VARIABLE = "LOCALAPPDATA";
#else
inline constexpr const char* STATE_VARIABLE = "XDG_STATE_HOME";
#endif

class ProbeRun : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* test = ::testing::UnitTest::GetInstance();
        m_dir = std::filesystem::temp_directory_path() /
                ("tarnet-probe-run-" + std::to_string(test->random_seed()) + "-" + test->current_test_info()->name());
        std::filesystem::remove_all(m_dir);
        std::filesystem::create_directories(m_dir / "marks");
        for (const char* name : {STATE_VARIABLE, "TARNET_PROBE_DIR"}) {
            const char* value = std::getenv(name);
            m_formerEnvironment[name] = value ? std::optional<std::string>(value) : std::nullopt;
        }
        SetEnvironment(STATE_VARIABLE, Path("state"));
        SetEnvironment("TARNET_PROBE_DIR", Path("marks"));
        m_out = std::tmpfile();
    }
    void TearDown() override {
        for (const auto& [name, value] : m_formerEnvironment) SetEnvironment(name.c_str(), value);
        if (m_out != nullptr) std::fclose(m_out);
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

    std::string Path(const std::string& name) const { return (m_dir / name).string(); }

    // A run over `devices` that keeps the history and writes a report, with limits short enough
    // for a test and long enough for a loaded machine.
    UpdateAllOptions Options(std::vector<std::string> devices) const {
        UpdateAllOptions options;
        options.program = ProbeProgram();
        options.devices = std::move(devices);
        options.reportPath = Path("report.json");
        options.timeoutSec = 60;
        options.limits.timeoutGrace = std::chrono::milliseconds(0);
        options.limits.interruptGrace = std::chrono::milliseconds(0);
        options.limits.killWait = std::chrono::seconds(5);
        options.limits.outputDrain = std::chrono::seconds(1);
        options.out = m_out;
        return options;
    }

    // Whether probe `label` has begun `step`.
    bool Reached(const std::string& label, const std::string& step) const {
        std::error_code ec;
        return std::filesystem::exists(m_dir / "marks" / (label + "." + step), ec);
    }

    HistoryContents History() const { return ReadHistory(HistoryFilePath()); }
    std::vector<UpdateRecord> Report() const {
        return ParseReportJson(ReadWholeFile(Path("report.json")).value_or("")).value_or(std::vector<UpdateRecord>{});
    }
    // What the run wrote on its board and in its closing table.
    std::string Board() const {
        std::fflush(m_out);
        std::rewind(m_out);
        std::string text;
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, m_out)) > 0) text.append(buffer, n);
        return text;
    }

    // The records of the history for each device label (the device name up to its colon), in
    // the order they were appended.
    std::map<std::string, std::vector<UpdateRecord>> HistoryByDevice() const {
        std::map<std::string, std::vector<UpdateRecord>> byDevice;
        for (const UpdateRecord& r : History().records) byDevice[r.midiIn.substr(0, r.midiIn.find(':'))].push_back(r);
        return byDevice;
    }

    std::filesystem::path m_dir;
    std::map<std::string, std::optional<std::string>> m_formerEnvironment;
    std::FILE* m_out = nullptr;
};

}  // namespace probe
