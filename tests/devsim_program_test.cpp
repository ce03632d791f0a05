// The tarnet-devsim program as a tester uses it: started as a process, reached over JACK through
// its virtual ports by a host built here on RtMidi, judged by its verdict line and exit status.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <jack/jack.h>
#include <rtmidi/RtMidi.h>

#include "DevsimHostSide.h"
#include "TestSupport.h"

using namespace std::chrono_literals;
using namespace devsimtest;

// Under ThreadSanitizer: libjack's lock-free ring buffer (RtMidi's JACK output path) is not
// instrumented, so its hand-over between the sender and the JACK thread shows as a race.
extern "C" const char* __tsan_default_suppressions() {
    return "race:jack_ringbuffer_\nrace:libjack.so\n";
}

namespace {

// One run of the program with its standard output on a pipe.
class Program {
public:
    explicit Program(const std::vector<std::string>& args) {
        int fds[2];
        if (::pipe(fds) != 0) return;
        std::vector<std::string> all{DEVSIM_PATH};
        all.insert(all.end(), args.begin(), args.end());
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(fds[1], STDOUT_FILENO);
            ::dup2(fds[1], STDERR_FILENO);
            ::close(fds[0]);
            ::close(fds[1]);
            std::vector<char*> argv;
            for (auto& a : all) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        m_out = fds[0];
    }
    ~Program() {
        if (m_pid > 0 && !m_reaped) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_out >= 0) ::close(m_out);
    }

    // Next output line, or "" after the timeout or at the end of the output.
    std::string ReadLine(std::chrono::milliseconds timeout = 60000ms) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (const size_t nl = m_buffer.find('\n'); nl != std::string::npos) {
                std::string line = m_buffer.substr(0, nl);
                m_buffer.erase(0, nl + 1);
                m_all += line + "\n";
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || m_out < 0) return {};
            pollfd p{m_out, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
            char chunk[4096];
            const ssize_t n = ::read(m_out, chunk, sizeof chunk);
            if (n <= 0) return {};
            m_buffer.append(chunk, static_cast<size_t>(n));
        }
    }
    // Reads until a line starts with `prefix`; returns it or "".
    std::string ReadUntil(const std::string& prefix, std::chrono::milliseconds timeout = 60000ms) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            std::string line = ReadLine(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
            if (line.rfind(prefix, 0) == 0) return line;
            if (line.empty() && m_out >= 0) {
                pollfd p{m_out, POLLIN, 0};
                if (::poll(&p, 1, 0) > 0 && (p.revents & POLLHUP) && !(p.revents & POLLIN)) return {};
            }
        }
        return {};
    }
    // Exit status, or -1 when the program has not ended within the timeout.
    int Wait(std::chrono::milliseconds timeout = 60000ms) {
        int status = 0;
        const bool ended = testsupport::WaitFor([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, timeout);
        if (!ended) return -1;
        m_reaped = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    void Signal(int sig) { ::kill(m_pid, sig); }
    const std::string& Output() const { return m_all; }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    bool m_reaped = false;
    std::string m_buffer;
    std::string m_all;
};

bool JackServerAnswers() {
    jack_set_error_function([](const char*) {});
    jack_set_info_function([](const char*) {});
    jack_client_t* c = jack_client_open("devsim-test-probe", JackNoStartServer, nullptr);
    if (c == nullptr) return false;
    jack_client_close(c);
    return true;
}

void QuietErrors(RtMidiError::Type, const std::string&, void*) {}

// A host on JACK that talks to the simulator's ports by their full JACK names.
class JackHost {
public:
    bool Connect(const std::string& deviceName) {
        const std::string client = "devsim-test-host-" + std::to_string(::getpid());
        m_out = std::make_unique<RtMidiOut>(RtMidi::UNIX_JACK, client);
        m_in = std::make_unique<RtMidiIn>(RtMidi::UNIX_JACK, client, 1000);
        m_out->setErrorCallback(&QuietErrors, nullptr);
        m_in->setErrorCallback(&QuietErrors, nullptr);
        m_in->ignoreTypes(false, true, true);
        m_in->setCallback(&OnInput, this);
        // The simulator creates its input first: client NAME takes the input port, NAME-01 the output.
        return Open(*m_out, deviceName + ":" + deviceName) && Open(*m_in, deviceName + "-01:" + deviceName);
    }
    ~JackHost() {
        if (m_in) m_in->cancelCallback();
    }

    // Sends one message, optionally split into several events as some JACK senders do.
    void Send(const Bytes& m, size_t chunk = 0) {
        if (chunk == 0 || m.size() <= chunk) {
            m_out->sendMessage(m.data(), m.size());
            return;
        }
        for (size_t at = 0; at < m.size(); at += chunk) {
            m_out->sendMessage(m.data() + at, std::min(chunk, m.size() - at));
            std::this_thread::sleep_for(3ms);
        }
    }
    Bytes Next(std::chrono::milliseconds timeout = 5000ms) {
        Bytes m;
        testsupport::WaitFor([&] {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_received.empty()) return false;
            m = std::move(m_received.front());
            m_received.pop_front();
            return true;
        }, timeout);
        return m;
    }

private:
    template <typename T>
    static bool Open(T& midi, const std::string& fullName) {
        for (unsigned i = 0; i < midi.getPortCount(); ++i)
            if (midi.getPortName(i) == fullName) {
                midi.openPort(i, "devsim-test");
                return midi.isPortOpen();
            }
        return false;
    }
    static void OnInput(double, std::vector<unsigned char>* message, void* user) {
        auto* self = static_cast<JackHost*>(user);
        std::lock_guard<std::mutex> lock(self->m_lock);
        self->m_received.push_back(*message);
    }

    std::unique_ptr<RtMidiOut> m_out;
    std::unique_ptr<RtMidiIn> m_in;
    std::mutex m_lock;
    std::deque<Bytes> m_received;
};

#define REQUIRE_JACK()                                                                   \
    do {                                                                                 \
        if (!JackServerAnswers()) {                                                      \
            if (testsupport::JackRequired()) FAIL() << "no JACK server answers";         \
            GTEST_SKIP() << "no JACK server answers";                                    \
        }                                                                                \
    } while (0)

}  // namespace

TEST(DevsimProgram, RejectsBadOptionsWithUsageStatusAndExplainsItsUsage) {
    Program bad({"--refuse", "3"});
    EXPECT_NE(bad.ReadLine().find("--refuse takes BLOCK:COUNT[:STATUS]"), std::string::npos) << bad.Output();
    EXPECT_EQ(bad.Wait(), 2);
    Program unknown({"--frobnicate"});
    EXPECT_EQ(unknown.Wait(), 2);
    Program repeat({"--repeat-answer", "erase"});
    EXPECT_NE(repeat.ReadLine().find("--repeat-answer takes erase:MS, BLOCK:MS or all:MS"), std::string::npos)
        << repeat.Output();
    EXPECT_EQ(repeat.Wait(), 2);
    Program repeatWhat({"--repeat-answer", "finish:70"});
    EXPECT_NE(repeatWhat.ReadLine().find("bad block index 'finish'"), std::string::npos) << repeatWhat.Output();
    EXPECT_EQ(repeatWhat.Wait(), 2);
    Program delay({"--block-delay", "-5"});
    EXPECT_NE(delay.ReadLine().find("bad delay '-5'"), std::string::npos) << delay.Output();
    EXPECT_EQ(delay.Wait(), 2);
    Program atAddress({"--store-at-address=yes"});
    EXPECT_NE(atAddress.ReadLine().find("--store-at-address takes no value"), std::string::npos)
        << atAddress.Output();
    EXPECT_EQ(atAddress.Wait(), 2);
    Program help({"--help"});
    EXPECT_EQ(help.ReadLine(), "Usage: tarnet-devsim [options]");
    EXPECT_EQ(help.Wait(), 0);
}

TEST(DevsimProgram, PassesAWholeUpdateOverJackWithSplitBlocksARefusalAndAPull) {
    REQUIRE_JACK();
    const Bytes image = MakeImage(77);
    const std::string dir = testing::TempDir();
    const std::string imagePath = dir + "devsim_expected_" + std::to_string(::getpid()) + ".bin";
    const std::string outPath = dir + "devsim_received_" + std::to_string(::getpid()) + ".bin";
    std::ofstream(imagePath, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());

    const std::string name = "devsim-test-" + std::to_string(::getpid());
    // --lenient: on a JACK server shared with other test programs a stray message may reach the
    // simulator's input; the verdict line still has to report 0 malformed blocks.
    Program sim({"--name", name, "--lenient", "--timeout", "60", "--refuse", "1:1", "--pull", "A0100:64:end",
                 "--expect-image", imagePath, "--out", outPath});
    ASSERT_EQ(sim.ReadUntil("devsim: ready"), "devsim: ready as \"" + name + "\" on JACK") << sim.Output();

    JackHost host;
    ASSERT_TRUE(host.Connect(name));
    // JACK MIDI may lose a message when the shared server is overloaded (a client that misses its
    // cycle); like a careful host, send again when no answer comes. The simulator acknowledges a
    // repeated block again, and the first request may also fall before the connections are live.
    // Other test programs on the same server may briefly talk to any port: what is not shaped
    // like the awaited answer is skipped.
    auto exchange = [&](const Bytes& m, size_t answerSize, size_t chunk = 0) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            host.Send(m, chunk);
            for (Bytes answer = host.Next(2000ms); !answer.empty(); answer = host.Next(2000ms))
                if (answer.size() == answerSize && answer[1] == m[1]) return answer;
        }
        return Bytes{};
    };
    const Bytes identity = exchange(IDENTITY_REQUEST, 15);
    ASSERT_EQ(identity.size(), 15u);
    EXPECT_EQ(identity[6], MODEL);
    EXPECT_EQ(exchange(ERASE, 7), Status(0));
    int refusals = 0;
    for (uint32_t offset = 0; offset < image.size();) {
        const uint32_t length = std::min<uint32_t>(9216, static_cast<uint32_t>(image.size()) - offset);
        const Bytes block = BuildBlock(0xA0000 + offset, image.data() + offset, length);
        const Bytes answer = exchange(block, 7, offset == 2 * 9216 ? 1000 : 0);  // one block arrives in pieces
        if (answer.size() != 7u) {
            sim.Signal(SIGTERM);
            sim.ReadUntil("devsim: FAIL");
            FAIL() << "no answer to the block at offset " << offset << "; the simulator said:\n" << sim.Output();
        }
        if (answer[5] != 0) {
            ++refusals;
            continue;
        }
        offset += length;
    }
    EXPECT_EQ(refusals, 1);
    EXPECT_EQ(exchange(FINISH, 7), Status(0));
    Bytes request = host.Next();
    while (!request.empty() && request.size() != 13) request = host.Next();
    ASSERT_EQ(request, (Bytes{0xF0, 0x7D, 0x00, 0x6A, 0x03, 0x00, 0x02, 0x28, 0x00, 0x00, 0x40, 0x00, 0xF7}));
    host.Send(BuildBlock(0xA0100, image.data() + 0x100, 64));

    const std::string verdict = sim.ReadUntil("devsim: PASS");
    EXPECT_EQ(verdict.rfind("devsim: PASS: image 327680 bytes received in 36 blocks (1 refused, 0 malformed", 0), 0u)
        << sim.Output();
    EXPECT_NE(verdict.find("finish answered, 1 pulled blocks checked"), std::string::npos) << verdict;
    EXPECT_EQ(sim.Wait(), 0);
    std::ifstream in(outPath, std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), image);
    std::remove(imagePath.c_str());
    std::remove(outPath.c_str());
}

TEST(DevsimProgram, ASlowDeviceThatStoresAtTheAddressRepeatsItsAnswerToEraseAndSaysSo) {
    REQUIRE_JACK();
    const Bytes image = MakeImage(78);
    const std::string imagePath = testing::TempDir() + "devsim_expected_slow_" + std::to_string(::getpid()) + ".bin";
    std::ofstream(imagePath, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
    const std::string name = "devsim-test-slow-" + std::to_string(::getpid());
    Program sim({"--name", name, "--lenient", "--timeout", "120", "--block-delay", "150", "--repeat-answer", "erase:70",
                 "--store-at-address", "--expect-image", imagePath});
    ASSERT_EQ(sim.ReadUntil("devsim: ready"), "devsim: ready as \"" + name + "\" on JACK") << sim.Output();
    JackHost host;
    ASSERT_TRUE(host.Connect(name));
    // STATUS answers only: what else a shared server may bring is skipped.
    auto nextStatus = [&](std::chrono::milliseconds timeout) {
        for (Bytes m = host.Next(timeout); !m.empty(); m = host.Next(timeout))
            if (m.size() == 7 && m[1] == 0x7D) return m;
        return Bytes{};
    };
    // The first message may fall before the connections are live, and JACK may lose one on a
    // loaded server: send again when nothing comes. The answer to the first ERASE that arrives comes
    // twice; one sent again is answered once.
    Bytes identity;
    for (int attempt = 0; attempt < 5 && identity.size() != 15; ++attempt) {
        host.Send(IDENTITY_REQUEST);
        for (identity = host.Next(2000ms); !identity.empty() && identity.size() != 15; identity = host.Next(2000ms)) {
        }
    }
    ASSERT_EQ(identity.size(), 15u) << sim.Output();
    Bytes erased;
    for (int attempt = 0; attempt < 3 && erased.empty(); ++attempt) {
        host.Send(ERASE);
        erased = nextStatus(3000ms);
    }
    ASSERT_EQ(erased, Status(0)) << sim.Output();
    ASSERT_EQ(nextStatus(5000ms), Status(0)) << "the answer to ERASE a second time\n" << sim.Output();
    // Back to front: this device takes each block where it says. A block whose answer JACK lost is
    // sent again.
    for (int k = 35; k >= 0; --k) {
        const uint32_t offset = static_cast<uint32_t>(k) * 9216;
        const Bytes block = BuildBlock(0xA0000 + offset, image.data() + offset,
                                       std::min<uint32_t>(9216, static_cast<uint32_t>(image.size()) - offset));
        Bytes answer;
        for (int attempt = 0; attempt < 3 && answer.empty(); ++attempt) {
            host.Send(block);
            answer = nextStatus(3000ms);
        }
        ASSERT_EQ(answer, Status(0)) << "block " << k << "\n" << sim.Output();
    }
    host.Send(FINISH);
    EXPECT_EQ(nextStatus(5000ms), Status(0));
    const std::string verdict = sim.ReadUntil("devsim: PASS");
    EXPECT_EQ(verdict.rfind("devsim: PASS: image 327680 bytes received in 36 blocks (0 refused, 0 malformed", 0), 0u)
        << sim.Output();
    EXPECT_NE(verdict.find("finish answered, 1 answer sent twice"), std::string::npos) << verdict;
    EXPECT_NE(sim.Output().find("devsim: answer sent again, 70 ms after the first: ERASE"), std::string::npos)
        << sim.Output();
    EXPECT_EQ(sim.Wait(), 0);
    std::remove(imagePath.c_str());
}

TEST(DevsimProgram, EndsWithAFailingVerdictOnSigtermOrTimeout) {
    REQUIRE_JACK();
    const std::string name = "devsim-test-term-" + std::to_string(::getpid());
    Program sim({"--name", name, "--quiet"});
    ASSERT_EQ(sim.ReadUntil("devsim: ready"), "devsim: ready as \"" + name + "\" on JACK") << sim.Output();
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.ReadUntil("devsim: FAIL: stopped by signal; no ERASE received").empty(), false) << sim.Output();
    EXPECT_EQ(sim.Wait(), 1);

    Program late({"--name", name + "-t", "--quiet", "--timeout", "1"});
    EXPECT_FALSE(late.ReadUntil("devsim: FAIL: timed out after 1 s;").empty()) << late.Output();
    EXPECT_EQ(late.Wait(), 1);
}
