// Instance numbering with real processes: each probe process claims a number as the program does.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "InstanceMarker.h"
#include "TestSupport.h"

extern char** environ;

using namespace std::chrono_literals;

namespace {

// The user id of the second user in the tests that run as root ("nobody").
constexpr uid_t OTHER_USER = 65534;

// A copy of the probe program that another user can start: the build directory may be one that
// no one else can enter (a checkout in root's home). The copy sits in a fresh directory of its
// own that others may pass through but not list or write, and goes with it.
class ProbeCopy {
public:
    ProbeCopy() {
        char directory[] = "/tmp/tarnet-instance-probe-XXXXXX";
        if (mkdtemp(directory) == nullptr) return;
        m_directory = directory;
        const std::string path = m_directory + "/tarnet-instance-probe";
        std::error_code error;
        if (!std::filesystem::copy_file(TARNET_INSTANCE_PROBE, path, error) || chmod(path.c_str(), 0755) != 0 ||
            chmod(directory, 0711) != 0) {
            return;
        }
        struct statvfs mount {};
        if (statvfs(directory, &mount) == 0 && (mount.f_flag & ST_NOEXEC) != 0) {
            m_whyNot = std::string(directory) + " is on a file system mounted noexec";
            return;
        }
        m_path = path;
    }
    ~ProbeCopy() {
        std::error_code ignored;
        if (!m_directory.empty()) std::filesystem::remove_all(m_directory, ignored);
    }
    ProbeCopy(const ProbeCopy&) = delete;
    ProbeCopy& operator=(const ProbeCopy&) = delete;

    // The copy's path; empty when it could not be made (WhyNot says why).
    const std::string& Path() const { return m_path; }
    std::string WhyNot() const {
        return m_whyNot.empty() ? "no copy of the probe could be made under /tmp" : m_whyNot;
    }

private:
    std::string m_directory;
    std::string m_path;
    std::string m_whyNot;
};

// One probe process with pipes to its standard input and output, started with `arguments`; with
// `runAs`, it runs under that user and group id (the test must be root) from `program`, a copy
// that user can start.
class Probe {
public:
    explicit Probe(const std::string& scope, std::vector<std::string> arguments = {},
                   uid_t runAs = static_cast<uid_t>(-1), const std::string& program = TARNET_INSTANCE_PROBE) {
        int in[2];
        int out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            if (std::strncmp(*e, "TARNET_TEST_INSTANCE_SCOPE=", 27) != 0) env.emplace_back(*e);
        }
        if (!scope.empty()) env.push_back("TARNET_TEST_INSTANCE_SCOPE=" + scope);
        std::vector<char*> envp;
        for (auto& s : env) envp.push_back(s.data());
        envp.push_back(nullptr);
        std::string path = program;
        std::vector<char*> argv = {path.data()};
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        if (runAs == static_cast<uid_t>(-1)) {
            posix_spawn_file_actions_t actions;
            posix_spawn_file_actions_init(&actions);
            posix_spawn_file_actions_adddup2(&actions, in[0], 0);
            posix_spawn_file_actions_adddup2(&actions, out[1], 1);
            if (posix_spawn(&m_pid, path.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
                m_pid = -1;
            }
            posix_spawn_file_actions_destroy(&actions);
        } else {
            m_pid = fork();
            if (m_pid == 0) {
                // The child: only calls that are safe between fork and exec.
                if (dup2(in[0], 0) < 0 || dup2(out[1], 1) < 0 || setgroups(0, nullptr) != 0 ||
                    setgid(runAs) != 0 || setuid(runAs) != 0) {
                    _exit(126);
                }
                execve(path.c_str(), argv.data(), envp.data());
                _exit(127);
            }
        }
        close(in[0]);
        close(out[1]);
        m_stdin = in[1];
        m_stdout = out[0];
    }

    ~Probe() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_stdin >= 0) close(m_stdin);
        if (m_stdout >= 0) close(m_stdout);
    }

    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    // Next line of output, or "" when none came within `timeout`.
    std::string ReadLine(std::chrono::milliseconds timeout = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto nl = m_buffer.find('\n');
            if (nl != std::string::npos) {
                std::string line = m_buffer.substr(0, nl);
                m_buffer.erase(0, nl + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return "";
            pollfd p{m_stdout, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char chunk[256];
            const ssize_t n = read(m_stdout, chunk, sizeof chunk);
            if (n <= 0) return "";
            m_buffer.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // The number this probe claimed, 0 when it printed anything else.
    int Claimed(std::chrono::milliseconds timeout = 10s) {
        const std::string line = ReadLine(timeout);
        if (line.rfind("claimed ", 0) != 0) {
            m_lastLine = line;
            return 0;
        }
        return std::stoi(line.substr(8));
    }

    // Ends the probe normally (end of its input) and waits for it; its exit code, -1 on time-out.
    int Finish(std::chrono::milliseconds timeout = 10s) {
        if (m_stdin >= 0) {
            close(m_stdin);
            m_stdin = -1;
        }
        return Wait(timeout);
    }

    void KillHard() {
        if (m_pid > 0) kill(m_pid, SIGKILL);
        Wait(10s);
    }

    int Wait(std::chrono::milliseconds timeout) {
        if (m_pid <= 0) return -1;
        int status = 0;
        const bool ended = testsupport::WaitFor(
            [&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; }, timeout);
        if (!ended) return -1;
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    bool Alive() const { return m_pid > 0 && kill(m_pid, 0) == 0; }
    const std::string& LastLine() const { return m_lastLine; }

private:
    pid_t m_pid = -1;
    int m_stdin = -1;
    int m_stdout = -1;
    std::string m_buffer;
    std::string m_lastLine;
};

// A scope of markers of this test alone, so that parallel tests and running copies don't meet.
// Declared before the probes of a test, so that it goes after them: it then removes the lock files
// of its markers from this user's and the other user's directories.
class Scope {
public:
    explicit Scope(const char* test) : m_name(std::string(test) + "-" + std::to_string(getpid())) {}
    ~Scope() {
        std::vector<std::string> directories = InstanceMarkerDirectories();
        const std::string other = std::to_string(OTHER_USER);
        directories.push_back("/run/user/" + other + "/tarnet-updater");
        directories.push_back("/tmp/tarnet-updater-" + other);
        for (const std::string& directory : directories) {
            for (int n = 1; n <= MAX_INSTANCES; ++n) {
                unlink((directory + "/" + InstanceMarkerName(n) + " [" + m_name + "].lock").c_str());
            }
        }
    }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
    operator const std::string&() const { return m_name; }

private:
    std::string m_name;
};

// A directory of its own under /tmp for the tests of marker directories, removed at the end.
class ScratchDirectory {
public:
    ScratchDirectory() {
        char path[] = "/tmp/tarnet-marker-dirs-XXXXXX";
        if (mkdtemp(path) != nullptr) m_path = path;
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }
    bool Made() const { return !m_path.empty(); }

private:
    std::string m_path;
};

// The device and inode of the directory behind a descriptor or a path; {0, 0} when there is none.
std::pair<dev_t, ino_t> IdentityOf(int fd) {
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0) return {0, 0};
    return {info.st_dev, info.st_ino};
}
std::pair<dev_t, ino_t> IdentityOf(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) return {0, 0};
    return {info.st_dev, info.st_ino};
}

}  // namespace

TEST(InstanceNames, AreThePlainNameForOneAndTheNumberedNameForTwoToTwenty) {
    EXPECT_EQ(InstanceMarkerName(1), "Tarnet System Ver 1.10 Updater");
    EXPECT_EQ(InstanceMarkerName(2), "Tarnet System Ver 1.10 Updater (2)");
    EXPECT_EQ(InstanceMarkerName(20), "Tarnet System Ver 1.10 Updater (20)");
    EXPECT_EQ(MAX_INSTANCES, 20);
}

TEST(InstanceMarkers, ExistOnceAndVanishWhenClosed) {
    const std::string name = "tarnet-marker-test-" + std::to_string(getpid());
    const InstanceMarkerResult first = CreateInstanceMarker(name);
    ASSERT_NE(first.handle, NO_INSTANCE_MARKER);
    EXPECT_FALSE(first.alreadyExists);
    const InstanceMarkerResult second = CreateInstanceMarker(name);
    EXPECT_TRUE(second.alreadyExists);
    CloseInstanceMarker(second.handle);
    // A name that is a prefix of the held one is a different marker.
    const InstanceMarkerResult prefix = CreateInstanceMarker(name.substr(0, name.size() - 1));
    EXPECT_FALSE(prefix.alreadyExists);
    CloseInstanceMarker(prefix.handle);
    CloseInstanceMarker(first.handle);
    const InstanceMarkerResult again = CreateInstanceMarker(name);
    EXPECT_FALSE(again.alreadyExists);
    CloseInstanceMarker(again.handle);
    for (const std::string& directory : InstanceMarkerDirectories()) {
        unlink((directory + "/" + name + ".lock").c_str());
        unlink((directory + "/" + name.substr(0, name.size() - 1) + ".lock").c_str());
    }
}

TEST(InstanceMarkers, AreLockedFilesOfTheUserAloneThatAChildProcessDoesNotInherit) {
    const std::string name = "tarnet-marker-file-" + std::to_string(getpid());
    const InstanceMarkerResult held = CreateInstanceMarker(name);
    ASSERT_NE(held.handle, NO_INSTANCE_MARKER);
    ASSERT_FALSE(held.alreadyExists);
    EXPECT_TRUE(fcntl(held.handle, F_GETFD) & FD_CLOEXEC);
    struct stat file {};
    ASSERT_EQ(fstat(held.handle, &file), 0);
    EXPECT_TRUE(S_ISREG(file.st_mode));
    EXPECT_EQ(file.st_uid, geteuid());
    EXPECT_EQ(file.st_mode & 077, 0u) << "nobody else may open the marker";
    // It is "<name>.lock" in the first usable of the user's directories.
    const int directory = OpenInstanceMarkerPlace(InstanceMarkerDirectories()).directory;
    ASSERT_GE(directory, 0);
    struct stat named {};
    EXPECT_EQ(fstatat(directory, (name + ".lock").c_str(), &named, AT_SYMLINK_NOFOLLOW), 0);
    EXPECT_EQ(named.st_ino, file.st_ino);
    CloseInstanceMarker(held.handle);
    unlinkat(directory, (name + ".lock").c_str(), 0);
    close(directory);
}

TEST(InstanceMarkerDirectories, AMissingOneIsCreatedForTheUserAlone) {
    ScratchDirectory scratch;
    ASSERT_TRUE(scratch.Made());
    const int fd = OpenInstanceMarkerPlace({scratch / "missing-parent/markers", scratch / "markers"}).directory;
    ASSERT_GE(fd, 0) << "the first candidate's parent does not exist; the second is made";
    EXPECT_EQ(IdentityOf(fd), IdentityOf(scratch / "markers"));
    struct stat info {};
    ASSERT_EQ(stat((scratch / "markers").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(info.st_uid, geteuid());
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    close(fd);
}

TEST(InstanceMarkerDirectories, ALinkOrADirectoryThatOthersMayEnterIsPassedOver) {
    ScratchDirectory scratch;
    ASSERT_TRUE(scratch.Made());
    ASSERT_EQ(mkdir((scratch / "private").c_str(), 0700), 0);
    ASSERT_EQ(symlink((scratch / "private").c_str(), (scratch / "link").c_str()), 0);
    ASSERT_EQ(mkdir((scratch / "shared").c_str(), 0700), 0);
    ASSERT_EQ(chmod((scratch / "shared").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((scratch / "group").c_str(), 0700), 0);
    ASSERT_EQ(chmod((scratch / "group").c_str(), 0710), 0);
    const int fd = OpenInstanceMarkerPlace(
        {scratch / "link", scratch / "shared", scratch / "group", scratch / "private"}).directory;
    EXPECT_EQ(IdentityOf(fd), IdentityOf(scratch / "private"));
    if (fd >= 0) close(fd);
    // Nothing usable: none (the system's fallback then takes over).
    EXPECT_EQ(OpenInstanceMarkerPlace({scratch / "link", scratch / "shared"}).directory, -1);
    EXPECT_EQ(OpenInstanceMarkerPlace({scratch / "link", scratch / "shared"}).error, 0);
    EXPECT_EQ(OpenInstanceMarkerPlace({}).directory, -1);
}

TEST(InstanceMarkerDirectories, OneThatAnotherUserMadeFirstIsPassedOver) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make a directory of another user";
    ScratchDirectory scratch;
    ASSERT_TRUE(scratch.Made());
    // A shared place like /tmp, where another user made the directory under this user's name.
    ASSERT_EQ(chmod((scratch / "").c_str(), 01777), 0);
    ASSERT_EQ(mkdir((scratch / "squatted").c_str(), 0700), 0);
    ASSERT_EQ(chown((scratch / "squatted").c_str(), OTHER_USER, OTHER_USER), 0);
    EXPECT_EQ(OpenInstanceMarkerPlace({scratch / "squatted"}).directory, -1);
    const int fd = OpenInstanceMarkerPlace({scratch / "squatted", scratch / "own"}).directory;
    EXPECT_EQ(IdentityOf(fd), IdentityOf(scratch / "own"));
    if (fd >= 0) close(fd);
}

#ifdef __linux__
TEST(InstanceMarkers, WithoutADirectoryAreAbstractSocketsNamedWithTheUserAndCloseOnExec) {
    const std::string name = "tarnet-marker-abstract-" + std::to_string(getpid());
    const std::string full = name + " [uid " + std::to_string(geteuid()) + "]";
    const InstanceMarkerResult held = CreateInstanceMarkerIn(-1, name);
    ASSERT_NE(held.handle, NO_INSTANCE_MARKER);
    EXPECT_FALSE(held.alreadyExists);
    EXPECT_TRUE(fcntl(held.handle, F_GETFD) & FD_CLOEXEC);
    const InstanceMarkerResult second = CreateInstanceMarkerIn(-1, name);
    EXPECT_TRUE(second.alreadyExists);
    CloseInstanceMarker(second.handle);
    // /proc/net/unix shows abstract names with a leading '@' and any NUL as '@': the line must end
    // with exactly "@<name> [uid <uid>]", no padding.
    std::ifstream table("/proc/net/unix");
    std::string line;
    bool found = false;
    while (std::getline(table, line)) {
        if (line.size() >= full.size() + 2 &&
            line.compare(line.size() - full.size() - 2, std::string::npos, " @" + full) == 0) {
            found = true;
        }
    }
    EXPECT_TRUE(found);
    CloseInstanceMarker(held.handle);
}
#endif

TEST(InstanceNumbering, TheFirstCopyTakesOneAndASecondTakesTwo) {
    const Scope scope("first-second");
    Probe first(scope);
    ASSERT_EQ(first.Claimed(), 1) << first.LastLine();
    Probe second(scope);
    ASSERT_EQ(second.Claimed(), 2) << second.LastLine();
    EXPECT_EQ(second.Finish(), 0);
    EXPECT_EQ(first.Finish(), 0);
}

TEST(InstanceNumbering, ANewCopyTakesTheLowestFreeNumberAlsoAfterAKill) {
    const Scope scope("lowest-free");
    auto one = std::make_unique<Probe>(scope);
    ASSERT_EQ(one->Claimed(), 1);
    auto two = std::make_unique<Probe>(scope);
    ASSERT_EQ(two->Claimed(), 2);
    Probe three(scope);
    ASSERT_EQ(three.Claimed(), 3);

    // With 1 and 3 held, a new copy takes 2.
    EXPECT_EQ(two->Finish(), 0);
    two.reset();
    Probe newTwo(scope);
    EXPECT_EQ(newTwo.Claimed(), 2);

    // Copy 1 killed outright: its number is free again while 2 and 3 run.
    one->KillHard();
    one.reset();
    Probe newOne(scope);
    EXPECT_EQ(newOne.Claimed(), 1);
    EXPECT_TRUE(three.Alive());
}

TEST(InstanceNumbering, AChildProcessDoesNotKeepTheNumberOfAKilledCopy) {
    const Scope scope("child");
    auto parent = std::make_unique<Probe>(scope, std::vector<std::string>{"spawn-child"});
    const std::string childLine = parent->ReadLine();
    ASSERT_EQ(childLine.rfind("child ", 0), 0u) << childLine;
    const pid_t child = std::stoi(childLine.substr(6));
    ASSERT_EQ(parent->Claimed(), 1);
    parent->KillHard();
    parent.reset();
    ASSERT_EQ(kill(child, 0), 0) << "the child outlives its parent";
    Probe next(scope);
    EXPECT_EQ(next.Claimed(), 1);
    kill(child, SIGKILL);
}

TEST(InstanceNumbering, WithTwentyRunningAFurtherCopyIsRefusedAndTheOthersCarryOn) {
    const Scope scope("twenty-one");
    std::vector<std::unique_ptr<Probe>> running;
    for (int n = 1; n <= 20; ++n) {
        running.push_back(std::make_unique<Probe>(scope));
        ASSERT_EQ(running.back()->Claimed(), n);
    }
    Probe refused(scope);
    EXPECT_EQ(refused.ReadLine(),
              "refused: It is forbidden to launch more than 20 instance of this application.");
    EXPECT_EQ(refused.Wait(10s), 3);
    for (auto& p : running) EXPECT_TRUE(p->Alive());
    // They still hold their numbers: one of them ends, and exactly its number comes free.
    EXPECT_EQ(running[6]->Finish(), 0);
    Probe seventh(scope);
    EXPECT_EQ(seventh.Claimed(), 7);
}

TEST(InstanceNumbering, ACopyOutOfDescriptorsSaysWhyInsteadOfClaimingThatTwentyRun) {
    const Scope scope("out-of-descriptors");
    // No descriptor left for the directory; then one for the directory and none for the marker.
    for (const char* headroom : {"0", "1"}) {
        Probe starved(scope, {"fd-headroom", headroom});
        const std::string line = starved.ReadLine();
        EXPECT_EQ(line.rfind("error: Can't claim an instance number: ", 0), 0u) << "headroom " << headroom << ": " << line;
        EXPECT_NE(line.find(std::strerror(EMFILE)), std::string::npos) << line;
        EXPECT_EQ(starved.Wait(10s), 4);
    }
    // Two are enough (the directory and the marker), and the failed copies held nothing.
    Probe enough(scope, {"fd-headroom", "2"});
    EXPECT_EQ(enough.Claimed(), 1) << enough.LastLine();
    EXPECT_EQ(enough.Finish(), 0);
}

TEST(InstanceNumbering, AMarkerThatCantBeMadeEndsTheClaimWithItsReasonInsteadOfTakingTheNextNumber) {
    ScratchDirectory scratch;
    ASSERT_TRUE(scratch.Made());
    const std::string markers = scratch / "markers";
    ASSERT_EQ(mkdir(markers.c_str(), 0700), 0);
    // A directory where the marker of number 1 belongs: no copy holds the number, but its marker
    // can't be made.
    const std::string scope = "unmakeable";
    ASSERT_EQ(mkdir((markers + "/" + InstanceMarkerName(1) + " [" + scope + "].lock").c_str(), 0700), 0);
    const InstanceClaim claim = ClaimInstanceNumber(scope, [&] { return OpenInstanceMarkerPlace({markers}); });
    EXPECT_EQ(claim.number, 0);
    EXPECT_EQ(claim.handle, NO_INSTANCE_MARKER);
    EXPECT_EQ(claim.error, EISDIR);
    EXPECT_EQ(InstanceClaimErrorMessage(claim),
              "Can't claim an instance number: " + std::string(std::strerror(EISDIR)) + " (" + markers + ").");
    // Nothing was made for number 2 either.
    EXPECT_FALSE(std::filesystem::exists(markers + "/" + InstanceMarkerName(2) + " [" + scope + "].lock"));
}

TEST(InstanceNumbering, AFullDiskEndsTheClaimWithItsReasonInsteadOfRefusingATwentyFirstCopy) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a small file system";
    ScratchDirectory scratch;
    ASSERT_TRUE(scratch.Made());
    const std::string disk = scratch / "disk";
    ASSERT_EQ(mkdir(disk.c_str(), 0700), 0);
    // Room for two files: its root and the directory of the markers, none for a marker.
    if (mount("tarnet-full", disk.c_str(), "tmpfs", 0, "size=64k,nr_inodes=2,mode=0700") != 0) {
        GTEST_SKIP() << "can't mount a small file system: " << std::strerror(errno);
    }
    const struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{disk};
    const std::string markers = disk + "/markers";
    const InstanceClaim claim = ClaimInstanceNumber("full", [&] { return OpenInstanceMarkerPlace({markers}); });
    EXPECT_EQ(claim.number, 0);
    EXPECT_EQ(claim.error, ENOSPC);
    EXPECT_EQ(InstanceClaimErrorMessage(claim),
              "Can't claim an instance number: " + std::string(std::strerror(ENOSPC)) + " (" + markers + ").");
}

TEST(InstanceNumbering, OneClaimFindsItsPlaceOnceSoThatCopiesThatCountThereNeverShareANumber) {
    ScratchDirectory scratch;
    ASSERT_TRUE(scratch.Made());
    const std::string first = scratch / "first";
    const std::string second = scratch / "second";
    const std::string scope = "one-place";
    // Copy A holds number 1 in the first directory.
    InstanceMarkerPlace place = OpenInstanceMarkerPlace({first});
    ASSERT_GE(place.directory, 0);
    const InstanceMarkerResult a = CreateInstanceMarkerIn(place.directory, InstanceMarkerName(1) + " [" + scope + "]");
    ASSERT_FALSE(a.alreadyExists);
    // Copy B finds the first directory, which from then on (as if it had become unusable) would be
    // the second one.
    int lookups = 0;
    const InstanceClaim b = ClaimInstanceNumber(scope, [&] {
        return OpenInstanceMarkerPlace({++lookups == 1 ? first : second});
    });
    EXPECT_EQ(b.number, 2);
    EXPECT_EQ(lookups, 1);
    // Copy C counts in the first directory as well: B holds 2 there, so C gets 3.
    const InstanceClaim c = ClaimInstanceNumber(scope, [&] { return OpenInstanceMarkerPlace({first}); });
    EXPECT_EQ(c.number, 3) << "two copies hold number " << b.number;
    EXPECT_FALSE(std::filesystem::exists(second + "/" + InstanceMarkerName(2) + " [" + scope + "].lock"));
    CloseInstanceMarker(c.handle);
    CloseInstanceMarker(b.handle);
    CloseInstanceMarker(a.handle);
    CloseInstanceMarkerPlace(place);
}

TEST(InstanceNumbering, TwentyCopiesStartedAtOnceGetTwentyDifferentNumbers) {
    const Scope scope("at-once");
    std::vector<std::unique_ptr<Probe>> probes;
    for (int i = 0; i < 20; ++i) probes.push_back(std::make_unique<Probe>(scope));
    std::set<int> numbers;
    for (auto& p : probes) numbers.insert(p->Claimed());
    EXPECT_EQ(numbers.size(), 20u);
    EXPECT_EQ(*numbers.begin(), 1);
    EXPECT_EQ(*numbers.rbegin(), 20);
}

#ifdef __linux__
TEST(InstanceNumbering, ACopyHoldsItsNumberUnderTheProgramsOwnMarkerName) {
    Probe copy("");  // no test scope: the names the program uses
    const int number = copy.Claimed();
    // The test's runtime directory is its own (OwnRuntimeDirectory.cpp): copies of the program that
    // run elsewhere on the machine don't count here, so this is the first copy.
    ASSERT_EQ(number, 1) << copy.LastLine();
    const std::string name = InstanceMarkerName(number);
    const InstanceMarkerResult probe = CreateInstanceMarker(name);
    EXPECT_TRUE(probe.alreadyExists);
    CloseInstanceMarker(probe.handle);
    EXPECT_EQ(copy.Finish(), 0);
}
#endif

TEST(InstanceNumbering, TwoUsersEachCountFromOneAndTwentyCopiesOfOneDoNotStopTheOther) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to start copies under a second user id";
    const ProbeCopy probe;
    if (probe.Path().empty()) GTEST_SKIP() << "the second user needs a probe it can start: " << probe.WhyNot();
    const Scope scope("two-users");
    // The other user holds every number of its own.
    std::vector<std::unique_ptr<Probe>> others;
    for (int n = 1; n <= MAX_INSTANCES; ++n) {
        others.push_back(std::make_unique<Probe>(scope, std::vector<std::string>{}, OTHER_USER, probe.Path()));
        ASSERT_EQ(others.back()->Claimed(), n) << others.back()->LastLine();
    }
    // This user's first copy still gets number 1, and its second number 2.
    Probe mine(scope);
    EXPECT_EQ(mine.Claimed(), 1) << mine.LastLine();
    Probe mineToo(scope);
    EXPECT_EQ(mineToo.Claimed(), 2) << mineToo.LastLine();
    // Within the other user the 21st copy is still refused.
    Probe refused(scope, std::vector<std::string>{}, OTHER_USER, probe.Path());
    EXPECT_EQ(refused.ReadLine(),
              "refused: It is forbidden to launch more than 20 instance of this application.");
    EXPECT_EQ(refused.Wait(10s), 3);
    // A copy of the other user that ends frees its number for that user alone.
    EXPECT_EQ(others[0]->Finish(), 0);
    Probe otherAgain(scope, std::vector<std::string>{}, OTHER_USER, probe.Path());
    EXPECT_EQ(otherAgain.Claimed(), 1) << otherAgain.LastLine();
    EXPECT_EQ(mine.Finish(), 0);
    EXPECT_EQ(mineToo.Finish(), 0);
}
