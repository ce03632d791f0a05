// The history of updates and the report file: where the history lives, appending from many writers
// at once, reading it back past damaged lines, and a report that is replaced whole or not at all.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "UpdateHistory.h"
#include "UpdateRecord.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

UpdateRecord Record(const std::string& device, const char* ending) {
    UpdateRecorder recorder;
    recorder.Start(device, device);
    return recorder.Finish(ending);
}

class HistoryFiles : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("tarnet-history-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    std::string PathIn(const std::string& name) const { return (m_dir / name).string(); }

    fs::path m_dir;
};

#if !defined(_WIN32)
using testsupport::ScopedEnv;

TEST(HistoryLocation, IsTheXdgStateHomeOrElseTheDefaultUnderHome) {
    ScopedEnv home("HOME", "/home/someone");
    {
        ScopedEnv state("XDG_STATE_HOME", "/var/state");
        EXPECT_EQ(HistoryFilePath(), "/var/state/tarnet-updater/history.jsonl");
    }
    {
        ScopedEnv state("XDG_STATE_HOME", nullptr);
        EXPECT_EQ(HistoryFilePath(), "/home/someone/.local/state/tarnet-updater/history.jsonl");
    }
    {
        // A relative or empty XDG_STATE_HOME counts as unset.
        ScopedEnv state("XDG_STATE_HOME", "relative/state");
        EXPECT_EQ(HistoryFilePath(), "/home/someone/.local/state/tarnet-updater/history.jsonl");
        ScopedEnv empty("XDG_STATE_HOME", "");
        EXPECT_EQ(HistoryFilePath(), "/home/someone/.local/state/tarnet-updater/history.jsonl");
    }
    {
        ScopedEnv state("XDG_STATE_HOME", nullptr);
        ScopedEnv noHome("HOME", nullptr);
        EXPECT_EQ(HistoryFilePath(), "");
        std::string error;
        EXPECT_FALSE(AppendHistory(Record("x", "Completed"), &error));
        EXPECT_FALSE(error.empty());
    }
}
#endif

TEST_F(HistoryFiles, EachAppendAddsOneRecordLineInOrderAndCreatesTheFolders) {
    const std::string path = PathIn("state/tarnet-updater/history.jsonl");
    const UpdateRecord first = Record("USB Audio Device", "Completed");
    const UpdateRecord second = Record("USB Audio Device (2)", "TransferError");
    ASSERT_TRUE(AppendHistoryTo(path, first));
    ASSERT_TRUE(AppendHistoryTo(path, second));

    const HistoryContents history = ReadHistory(path);
    EXPECT_TRUE(history.found);
    EXPECT_EQ(history.unreadableLines, 0);
    ASSERT_EQ(history.records.size(), 2u);
    EXPECT_EQ(history.records[0].midiIn, "USB Audio Device");
    EXPECT_EQ(history.records[1].ending, "TransferError");
    EXPECT_EQ(*ReadWholeFile(path), RecordJson(history.records[0]) + "\n" + RecordJson(history.records[1]) + "\n");
}

TEST_F(HistoryFiles, ReadingSkipsDamagedLinesAndCountsThem) {
    const std::string path = PathIn("history.jsonl");
    const std::string good = RecordJson(Record("A", "Completed"));
    std::ofstream(path, std::ios::binary) << good << "\n" << good.substr(0, 40) << "\n\n" << good << "\r\n" << "{}";
    const HistoryContents history = ReadHistory(path);
    EXPECT_EQ(history.records.size(), 2u);
    EXPECT_EQ(history.unreadableLines, 2);

    const HistoryContents missing = ReadHistory(PathIn("none.jsonl"));
    EXPECT_FALSE(missing.found);
    EXPECT_TRUE(missing.error.empty());
    EXPECT_TRUE(missing.records.empty());
}

TEST_F(HistoryFiles, ThreeUpdatesAfterACutLineGiveThreeRecordsAndOneDamagedLine) {
    const std::string path = PathIn("history.jsonl");
    const std::string line = RecordJson(Record("A", "Completed"));
    // The last write was cut short: power lost, a full disk, a killed writer.
    std::ofstream(path, std::ios::binary) << line << "\n" << line.substr(0, 57);
    for (const char* device : {"B", "C", "D"}) ASSERT_TRUE(AppendHistoryTo(path, Record(device, "Completed")));

    const HistoryContents history = ReadHistory(path);
    EXPECT_EQ(history.unreadableLines, 1);
    ASSERT_EQ(history.records.size(), 4u);
    EXPECT_EQ(history.records[1].midiIn, "B");
    EXPECT_EQ(history.records[3].midiIn, "D");
    // The fragment keeps a line of its own; nothing is added before a whole line.
    EXPECT_EQ(ReadWholeFile(path)->substr(0, line.size() + 60), line + "\n" + line.substr(0, 57) + "\n{");
}

TEST_F(HistoryFiles, AnAppendHoldsTheWritersLockTakenAtOnceWhenNoOneElseHasIt) {
    // On Windows the lock needs a handle that may read or write, not one that may only append.
    const std::string path = PathIn("history.jsonl");
    for (int append = 0; append < 2; ++append) {  // creating the file, and adding to it
        HistoryLockUse lock;
        std::string error;
        ASSERT_TRUE(AppendHistoryTo(path, Record("A", "Completed"), &error, &lock)) << error;
        EXPECT_TRUE(lock.held);
        EXPECT_EQ(lock.attempts, 1);
    }
    EXPECT_EQ(ReadHistory(path).records.size(), 2u);
}

TEST_F(HistoryFiles, WritersAtTheSameMomentEachAddTheirWholeLines) {
    const std::string path = PathIn("history.jsonl");
    constexpr int WRITERS = 8, RECORDS = 40;
    std::vector<std::thread> writers;
    for (int w = 0; w < WRITERS; ++w) {
        writers.emplace_back([&, w] {
            // A long name, so that a line is more than any small write buffer.
            const UpdateRecord record = Record("Device " + std::to_string(w) + std::string(600, 'x'), "Completed");
            for (int i = 0; i < RECORDS; ++i) AppendHistoryTo(path, record);
        });
    }
    for (auto& t : writers) t.join();
    const HistoryContents history = ReadHistory(path);
    EXPECT_EQ(history.unreadableLines, 0);
    EXPECT_EQ(history.records.size(), static_cast<std::size_t>(WRITERS * RECORDS));
}

TEST_F(HistoryFiles, AHistoryThatCannotBeWrittenIsAnErrorValueNotAnException) {
    std::ofstream(PathIn("plain-file")) << "x";
    std::string error;
    EXPECT_FALSE(AppendHistoryTo(PathIn("plain-file/tarnet-updater/history.jsonl"), Record("A", "Completed"), &error));
    EXPECT_NE(error.find("plain-file"), std::string::npos) << error;
}

TEST_F(HistoryFiles, AReportReplacesTheFileWholeAndLeavesNoTemporaryBehind) {
    const std::string path = PathIn("report.json");
    std::ofstream(path) << "old report";
    const std::string text = ReportJson("tarnet-update", {Record("A", "Completed"), Record("B", "BlockTimeout")});
    ASSERT_TRUE(WriteFileAtomically(path, text));
    EXPECT_EQ(ReadWholeFile(path), text);
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(m_dir)) names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"report.json"});
}

TEST_F(HistoryFiles, AReportThatCannotBeWrittenLeavesTheFormerFileAsItWas) {
    const std::string path = PathIn("report.json");
    std::ofstream(path) << "old report";
    std::string error;
    EXPECT_FALSE(WriteFileAtomically(PathIn("missing/report.json"), "{}", &error));
    EXPECT_FALSE(error.empty());
    // A folder in the way of the rename: the temporary goes, the folder stays.
    fs::create_directories(m_dir / "taken" / "inner");
    EXPECT_FALSE(WriteFileAtomically(PathIn("taken"), "{}", &error));
    EXPECT_TRUE(fs::is_directory(m_dir / "taken" / "inner"));
    EXPECT_EQ(ReadWholeFile(path), "old report");
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(m_dir)) entries++;
    EXPECT_EQ(entries, 2u);  // report.json and taken
}

TEST_F(HistoryFiles, ALeftoverTemporaryNameIsPassedOverAndLeftAlone) {
    // Temporaries that a writer of an earlier process with the same id left behind (killed
    // between creating and renaming), under every name this process would take first.
#if defined(_WIN32)
    const unsigned long pid = GetCurrentProcessId();
#else
    const unsigned long pid = static_cast<unsigned long>(::getpid());
#endif
    const std::string path = PathIn("report.json");
    constexpr int LEFTOVERS = 200;
    for (int serial = 0; serial < LEFTOVERS; ++serial) {
        std::ofstream(path + "." + std::to_string(pid) + "-" + std::to_string(serial) + ".tmp") << "leftover";
    }
    std::string error;
    ASSERT_TRUE(WriteFileAtomically(path, "{}\n", &error)) << error;
    EXPECT_EQ(ReadWholeFile(path), "{}\n");
    EXPECT_EQ(ReadWholeFile(path + "." + std::to_string(pid) + "-0.tmp"), "leftover");
    std::size_t leftovers = 0;
    for (const auto& entry : fs::directory_iterator(m_dir)) {
        if (entry.path().extension() == ".tmp" && ReadWholeFile(entry.path().string()) == "leftover") leftovers++;
    }
    EXPECT_EQ(leftovers, static_cast<std::size_t>(LEFTOVERS));
}

#if !defined(_WIN32)
// The permission bits of a file, and the process's umask for the length of a test.
mode_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : m_old(::umask(mask)) {}
    ~ScopedUmask() { ::umask(m_old); }
    ScopedUmask(const ScopedUmask&) = delete;
    ScopedUmask& operator=(const ScopedUmask&) = delete;

private:
    mode_t m_old;
};

TEST_F(HistoryFiles, AReportKeepsThePermissionsOfTheReportItReplacesAndANewOneFollowsTheUmask) {
    const ScopedUmask umask(022);
    for (const mode_t mode : {mode_t{0600}, mode_t{0640}, mode_t{0664}}) {
        const std::string path = PathIn("report-" + std::to_string(mode) + ".json");
        std::ofstream(path) << "old report";
        ASSERT_EQ(::chmod(path.c_str(), mode), 0);
        ASSERT_TRUE(WriteFileAtomically(path, "{}\n"));
        EXPECT_EQ(ModeOf(path), mode) << std::oct << mode;
    }
    const std::string fresh = PathIn("new-report.json");
    ASSERT_TRUE(WriteFileAtomically(fresh, "{}\n"));
    EXPECT_EQ(ModeOf(fresh), mode_t{0644});
    const ScopedUmask strict(077);
    const std::string own = PathIn("own-report.json");
    ASSERT_TRUE(WriteFileAtomically(own, "{}\n"));
    EXPECT_EQ(ModeOf(own), mode_t{0600});
    const ScopedUmask permissive(0);
    const std::string open = PathIn("open-report.json");
    ASSERT_TRUE(WriteFileAtomically(open, "{}\n"));
    EXPECT_EQ(ModeOf(open), mode_t{0644});
    const ScopedUmask group(027);
    const std::string grouped = PathIn("group-report.json");
    ASSERT_TRUE(WriteFileAtomically(grouped, "{}\n"));
    EXPECT_EQ(ModeOf(grouped), mode_t{0640});
}

// In a process of its own: a report written with no umask at all, and a limit of 16 bytes to the
// size of a file, which ends the process at the write that passes it.
void WriteCutShortUnderAnOpenUmask(const std::string& path) {
    ::umask(0);
    rlimit limit{};
    ::setrlimit(RLIMIT_CORE, &limit);
    limit.rlim_cur = limit.rlim_max = 16;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    WriteFileAtomically(path, std::string(4096, 'x'));
    std::_Exit(0);
}

// The temporary as a writer killed in the middle of the text leaves it: the file-size limit ends
// the writing process (SIGXFSZ) at the write that passes it, after the temporary was made.
TEST_F(HistoryFiles, AReportsTemporaryIsTheOwnersAloneWhileItsTextIsWrittenWhateverTheUmask) {
    for (const bool replaces : {false, true}) {
        const std::string path = PathIn(replaces ? "replaced.json" : "new.json");
        if (replaces) {
            std::ofstream(path) << "old report";
            ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
        }
        EXPECT_EXIT(WriteCutShortUnderAnOpenUmask(path), ::testing::KilledBySignal(SIGXFSZ), "");
        std::vector<std::string> temporaries;
        for (const auto& entry : fs::directory_iterator(m_dir)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(fs::path(path).filename().string() + ".", 0) == 0 && entry.path().extension() == ".tmp") {
                temporaries.push_back(entry.path().string());
            }
        }
        ASSERT_EQ(temporaries.size(), 1u) << "replaces: " << replaces;
        EXPECT_EQ(ModeOf(temporaries[0]), mode_t{0600}) << std::oct << ModeOf(temporaries[0]) << " replaces: " << replaces;
        EXPECT_EQ(ReadWholeFile(temporaries[0]), std::string(16, 'x'));
        // The report itself is untouched: the former one, or none.
        EXPECT_EQ(ReadWholeFile(path), replaces ? std::optional<std::string>("old report") : std::nullopt);
    }
}
#endif

}  // namespace
