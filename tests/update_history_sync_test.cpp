// What a report's replacement asks of the disk, seen at the system calls: this program defines
// fsync and rename itself (the record library's calls resolve to them), notes each call with the
// path it concerns, and then makes the call. Linux only (the paths come from /proc/self/fd).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "UpdateHistory.h"

namespace {

std::vector<std::string> g_calls;  // the test's thread only: the record library calls on the caller's thread

std::string PathOfFd(int fd) {
    char target[4096];
    const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
    return n < 0 ? "?" : std::string(target, static_cast<std::size_t>(n));
}

}  // namespace

extern "C" int fsync(int fd) {
    g_calls.push_back("fsync " + PathOfFd(fd));
    return static_cast<int>(::syscall(SYS_fsync, fd));
}

extern "C" int rename(const char* from, const char* to) {
    g_calls.push_back(std::string("rename ") + std::filesystem::absolute(from).string() + " -> " +
                      std::filesystem::absolute(to).string());
    return static_cast<int>(::syscall(SYS_renameat, AT_FDCWD, from, AT_FDCWD, to));
}

namespace {

namespace fs = std::filesystem;

TEST(ReportOnDisk, TheTemporaryIsSyncedThenRenamedAndThenItsFolderIsSynced) {
    const fs::path dir = fs::canonical(fs::temp_directory_path()) /
                         ("tarnet-report-sync-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string path = (dir / "report.json").string();
    std::ofstream(path) << "old report";

    g_calls.clear();
    ASSERT_TRUE(WriteFileAtomically(path, "{}\n"));
    const std::vector<std::string> calls = g_calls;
    fs::remove_all(dir);

    ASSERT_EQ(calls.size(), 3u) << ::testing::PrintToString(calls);
    const std::string temporaryPrefix = "fsync " + path + ".";
    EXPECT_EQ(calls[0].rfind(temporaryPrefix, 0), 0u) << calls[0];
    EXPECT_EQ(calls[1].rfind("rename " + path + ".", 0), 0u) << calls[1];
    EXPECT_NE(calls[1].find(" -> " + path), std::string::npos) << calls[1];
    // Only the folder's own sync makes the new name last through a power cut.
    EXPECT_EQ(calls[2], "fsync " + dir.string());
}

}  // namespace
