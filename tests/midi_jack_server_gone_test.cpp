// The JACK server going away under the program: a server of the test's own is killed (kill -9, as
// when jackd dies) while input and output are in use. The backends learn it from JACK's shutdown
// callback, never call into the dead clients, fail cleanly from then on, and work again once a
// server answers again.
//
// Each test runs in a process of its own (CTest runs them one by one), so the program's JACK
// client belongs to the test's server.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <glob.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CMidiInPort.h"
#include "CMidiOutPort.h"
#include "TestSupport.h"
#include "platform/jack/JackClient.h"
#include "platform/jack/JackMidiIn.h"
#include "platform/jack/JackMidiOut.h"

extern char** environ;

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

namespace {

// jackd with the dummy backend under a name of the test's own.
class OwnJackServer {
public:
    explicit OwnJackServer(std::string name) : m_name(std::move(name)) {}
    ~OwnJackServer() { Kill(); }

    bool Start() {
        // libjack prints to the terminal while the server is not up yet.
        jack_set_error_function(&Silent);
        jack_set_info_function(&Silent);
        const char* argv[] = {"jackd", "-n", m_name.c_str(), "--no-realtime", "-d", "dummy",
                              "-r", "48000", "-p", "256", nullptr};
        ::setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const int r = posix_spawnp(&m_pid, "jackd", &actions, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (r != 0) {
            m_pid = -1;
            return false;
        }
        return testsupport::WaitFor(
            [&] {
                jack_client_t* probe = jack_client_open("tarnet-gone-probe", JackNoStartServer, nullptr);
                if (probe == nullptr) return false;
                jack_client_close(probe);
                return true;
            },
            10s);
    }

    // A server killed with -9 keeps its entry in JACK's registry of servers (room for 8 names on
    // the machine) until a server of the same name starts again; one that then ends in order
    // frees it.
    void Reclaim() {
        if (!Start()) return;
        ::kill(m_pid, SIGTERM);
        const bool ended = testsupport::WaitFor([&] { return ::waitpid(m_pid, nullptr, WNOHANG) == m_pid; }, 5s);
        if (!ended) Kill();
        m_pid = -1;
    }

    // SIGSTOP / SIGCONT: the server stops running cycles and goes on again, its clients connected.
    void Signal(int signal) {
        if (m_pid > 0) ::kill(m_pid, signal);
    }

    // kill -9, then the server's own files in /dev/shm go (a killed jackd leaves them behind).
    void Kill() {
        if (m_pid <= 0) return;
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
        for (const std::string& pattern : {"/dev/shm/jack_" + m_name + "_*", "/dev/shm/jack_sem.*_" + m_name + "_*"}) {
            glob_t found{};
            if (::glob(pattern.c_str(), 0, nullptr, &found) == 0) {
                for (std::size_t i = 0; i < found.gl_pathc; ++i) ::unlink(found.gl_pathv[i]);
            }
            ::globfree(&found);
        }
    }

private:
    static void Silent(const char*) {}

    std::string m_name;
    pid_t m_pid = -1;
};

// A device on the test's server: a client with a MIDI input port that counts what arrives and a
// MIDI output port that writes one queued message per cycle, named `name` and `name`-out.
class JackDevice {
public:
    bool Start(const std::string& name) {
        m_client = jack_client_open(name.c_str(), JackNoStartServer, nullptr);
        if (m_client == nullptr) return false;
        m_in = jack_port_register(m_client, name.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        m_out = jack_port_register(m_client, (name + "-out").c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        if (m_in == nullptr || m_out == nullptr) return false;
        jack_set_process_callback(m_client, &JackDevice::Process, this);
        return jack_activate(m_client) == 0;
    }
    // The client is not closed when the server is gone: like the program, the test does not call
    // into a dead client.
    ~JackDevice() {
        if (m_client != nullptr && !m_serverGone) jack_client_close(m_client);
    }
    void ServerGone() { m_serverGone = true; }

    void Send(Bytes message) {
        std::lock_guard lock(m_lock);
        m_pending.push_back(std::move(message));
    }
    std::size_t BytesReceived() const { return m_received.load(); }
    // Process cycles the device's client has run: the server runs cycles while this grows.
    std::uint64_t Cycles() const { return m_cycles.load(); }

private:
    // JACK's process thread of the device's client.
    static int Process(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<JackDevice*>(arg);
        self->m_cycles.fetch_add(1);
        void* in = jack_port_get_buffer(self->m_in, frames);
        const jack_nframes_t count = jack_midi_get_event_count(in);
        for (jack_nframes_t i = 0; i < count; ++i) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, in, i) == 0) self->m_received.fetch_add(event.size);
        }
        void* out = jack_port_get_buffer(self->m_out, frames);
        jack_midi_clear_buffer(out);
        std::unique_lock lock(self->m_lock, std::try_to_lock);
        if (lock.owns_lock() && !self->m_pending.empty()) {
            const Bytes& e = self->m_pending.front();
            jack_midi_event_write(out, 0, e.data(), e.size());
            self->m_pending.erase(self->m_pending.begin());
        }
        return 0;
    }

    jack_client_t* m_client = nullptr;
    jack_port_t* m_in = nullptr;
    jack_port_t* m_out = nullptr;
    bool m_serverGone = false;
    std::mutex m_lock;
    std::vector<Bytes> m_pending;
    std::atomic<std::size_t> m_received{0};
    std::atomic<std::uint64_t> m_cycles{0};
};

// A hook that can keep a process cycle inside itself: a cycle that is under way when its client
// is closed, its server dies or the hook is removed. Runs on the process thread of the client it
// hangs in. A held cycle spins and reaches no cancellation point: libjack cancels the process
// thread of a client whose close it has carried out.
class HoldingHook final : public platform::JackClient::Hook {
public:
    void Process(jack_nframes_t, std::uint64_t) noexcept override {
        m_calls.fetch_add(1);
        if (m_hold.exchange(false)) {
            m_inside.store(true);
            const auto deadline = std::chrono::steady_clock::now() + 20s;
            while (!m_release.load() && std::chrono::steady_clock::now() < deadline) {
            }
            m_inside.store(false);
        }
        if (m_removed.load()) m_callsAfterRemoval.fetch_add(1);
    }

    // The next cycle stays inside the hook until Release.
    void HoldNextCycle() {
        m_release.store(false);
        m_hold.store(true);
    }
    bool Inside() const { return m_inside.load(); }
    void Release() { m_release.store(true); }
    // Called once RemoveHook has returned: from then on every call is one too many.
    void Removed() { m_removed.store(true); }
    int Calls() const { return m_calls.load(); }
    int CallsAfterRemoval() const { return m_callsAfterRemoval.load(); }

private:
    std::atomic<bool> m_hold{false};
    std::atomic<bool> m_release{false};
    std::atomic<bool> m_inside{false};
    std::atomic<bool> m_removed{false};
    std::atomic<int> m_calls{0};
    std::atomic<int> m_callsAfterRemoval{0};
};

// A JACK client holder of the test's own, beside the program's one, with two hooks. Kept until the
// process ends, as the program keeps its own: a client whose close was given up on still runs its
// callbacks with the holder.
struct KeptClient {
    platform::JackClient client;
    HoldingHook first;
    HoldingHook second;
};

KeptClient& NewKeptClient() {
    static auto* kept = new std::vector<std::unique_ptr<KeptClient>>();
    kept->push_back(std::make_unique<KeptClient>());
    return *kept->back();
}

template <typename Port>
std::int64_t IndexOf(Port& port, const std::string& name) {
    std::int64_t found = -1;
    for (std::uint32_t i = 0; i < port.GetDeviceCount(); ++i) {
        char listed[260];
        port.GetDeviceName(i, listed);
        if (name == listed) found = i;
    }
    return found;
}

bool SendOne(CMidiOutPort& port, std::uint32_t index, Bytes message) {
    if (!port.Open(index)) return false;
    platform::MidiHeader header{};
    header.lpData = reinterpret_cast<char*>(message.data());
    header.dwBufferLength = static_cast<std::uint32_t>(message.size());
    const bool sent = port.SendLong(&header);
    port.Close();
    return sent;
}


const Bytes IDENTITY_REPLY{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x6A, 0x00, 0x00, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7};

std::size_t Drain(CMidiInPort& port) {
    std::size_t n = 0;
    while (port.PeekReceived(nullptr, nullptr)) {
        port.PopReceived();
        ++n;
    }
    return n;
}

class JackServerGoneTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::system("command -v jackd >/dev/null 2>&1") != 0) {
            if (testsupport::JackRequired()) FAIL() << "jackd is not installed";
            GTEST_SKIP() << "jackd is not installed";
        }
        ::setenv("JACK_DEFAULT_SERVER", m_serverName.c_str(), 1);
        ASSERT_TRUE(m_server.Start()) << "jackd " << m_serverName << " did not come up";
        ASSERT_TRUE(m_device.Start(m_deviceName));
    }

    // The server goes before the process ends, and the program's client has noticed it by then:
    // nothing calls into a client whose server died unnoticed.
    void TearDown() override {
        m_server.Kill();
        m_device.ServerGone();
        testsupport::WaitFor([] { return platform::JackClient::Instance().Gone(); }, 2s);
        m_server.Reclaim();
    }

    const std::string m_serverName = "tarnet-gone-" + std::to_string(::getpid());
    const std::string m_deviceName = "gone-device-" + std::to_string(::getpid());
    OwnJackServer m_server{m_serverName};
    JackDevice m_device;
};

TEST_F(JackServerGoneTest, InputAndOutputFailCleanlyAfterTheServerDiedAndWorkWithTheNextServer) {
    OwnJackServer next(m_serverName);  // started later; goes after everything that uses it
    JackDevice device;
    platform::JackMidiOutApi outApi;
    platform::JackMidiInApi inApi;
    CMidiOutPort out(outApi);
    CMidiInPort in(inApi);

    // In use: our output reaches the device, the device's message reaches our input.
    const std::int64_t target = IndexOf(out, m_deviceName);
    const std::int64_t source = IndexOf(in, m_deviceName + "-out");
    ASSERT_GE(target, 0);
    ASSERT_GE(source, 0);
    in.m_deviceIndex = static_cast<std::uint32_t>(source);
    ASSERT_TRUE(in.Start());
    ASSERT_TRUE(SendOne(out, static_cast<std::uint32_t>(target), IDENTITY_REPLY));
    ASSERT_TRUE(testsupport::WaitFor([&] { return m_device.BytesReceived() == IDENTITY_REPLY.size(); }));
    m_device.Send(IDENTITY_REPLY);
    ASSERT_TRUE(testsupport::WaitFor([&] { return in.PeekReceived(nullptr, nullptr); }));
    ASSERT_TRUE(out.Watch(static_cast<std::uint32_t>(target)));
    EXPECT_FALSE(out.DeviceGone());
    EXPECT_FALSE(in.DeviceGone());
    platform::MidiOutHandle handle = nullptr;  // open across the server's going
    ASSERT_EQ(outApi.Open(&handle, static_cast<std::uint32_t>(target)), platform::MIDI_OK);

    m_server.Kill();
    m_device.ServerGone();
    ASSERT_TRUE(testsupport::WaitFor([] { return platform::JackClient::Instance().Gone(); }))
        << "the program did not learn that the server went away";
    // The server's going is the devices' going, for the input and for the watch of the output.
    EXPECT_TRUE(testsupport::WaitFor([&] { return in.DeviceGone(); })) << "the input did not hear it";
    EXPECT_TRUE(out.DeviceGone());
    out.Unwatch();
    // A send on the handle that was open says that the device has gone with its server.
    Bytes message = IDENTITY_REPLY;
    platform::MidiHeader header{};
    header.lpData = reinterpret_cast<char*>(message.data());
    header.dwBufferLength = static_cast<std::uint32_t>(message.size());
    outApi.PrepareHeader(handle, &header);
    const platform::MidiResult lateSend = outApi.LongMsg(handle, &header);
    EXPECT_TRUE(platform::MeansDeviceGone(lateSend)) << "a send after the server died returned " << lateSend;
    outApi.UnprepareHeader(handle, &header);
    outApi.Close(handle);

    // Nothing hangs and nothing crashes: sends fail, the input stops and closes, opens fail, and
    // the lists are empty.
    bool sent = true, reopened = true, restarted = true;
    std::uint32_t outputs = 1, inputs = 1;
    const bool ended = testsupport::EndsWithin(10s, [&] {
        sent = SendOne(out, static_cast<std::uint32_t>(target), IDENTITY_REPLY);
        in.Stop();
        reopened = out.Open(static_cast<std::uint32_t>(target));
        restarted = in.Start();
        outputs = out.GetDeviceCount();
        inputs = in.GetDeviceCount();
    });
    ASSERT_TRUE(ended) << "a call into the MIDI system hung after the server went away";
    EXPECT_FALSE(sent);
    EXPECT_FALSE(in.IsStarted());
    EXPECT_FALSE(reopened);
    EXPECT_FALSE(restarted);
    EXPECT_EQ(outputs, 0u);
    EXPECT_EQ(inputs, 0u);
    Drain(in);

    // A server answers again: the program works with it.
    ASSERT_TRUE(next.Start());
    ASSERT_TRUE(device.Start(m_deviceName + "-2"));
    const std::int64_t newTarget = IndexOf(out, m_deviceName + "-2");
    const std::int64_t newSource = IndexOf(in, m_deviceName + "-2-out");
    ASSERT_GE(newTarget, 0);
    ASSERT_GE(newSource, 0);
    in.m_deviceIndex = static_cast<std::uint32_t>(newSource);
    ASSERT_TRUE(in.Start());
    EXPECT_TRUE(SendOne(out, static_cast<std::uint32_t>(newTarget), IDENTITY_REPLY));
    EXPECT_TRUE(testsupport::WaitFor([&] { return device.BytesReceived() == IDENTITY_REPLY.size(); }));
    device.Send(IDENTITY_REPLY);
    EXPECT_TRUE(testsupport::WaitFor([&] { return in.PeekReceived(nullptr, nullptr); }));
    in.Stop();
    EXPECT_TRUE(outApi.Flush());
    next.Kill();
    device.ServerGone();
    EXPECT_TRUE(testsupport::WaitFor([] { return platform::JackClient::Instance().Gone(); }));
}

// A server that runs no cycles still shows its ports in the shared memory that clients read, as one
// that died shows them until its shutdown reaches the program (a rescan right after a kill listed
// the dead server's devices). Here the server is stopped: the lists are empty while it runs no
// cycles, and filled again once it runs.
TEST_F(JackServerGoneTest, TheListsAreEmptyWhileTheServerRunsNoCyclesAndFilledOnceItRunsAgain) {
    platform::JackMidiOutApi outApi;
    platform::JackMidiInApi inApi;
    CMidiOutPort out(outApi);
    CMidiInPort in(inApi);
    ASSERT_GE(IndexOf(out, m_deviceName), 0);
    ASSERT_GE(IndexOf(in, m_deviceName + "-out"), 0);

    m_server.Signal(SIGSTOP);
    std::uint32_t outputs = 1, inputs = 1;
    const bool ended = testsupport::EndsWithin(10s, [&] {
        outputs = out.GetDeviceCount();
        inputs = in.GetDeviceCount();
    });
    m_server.Signal(SIGCONT);
    ASSERT_TRUE(ended) << "listing the devices hung on a server that runs no cycles";
    EXPECT_EQ(outputs, 0u);
    EXPECT_EQ(inputs, 0u);
    EXPECT_TRUE(testsupport::WaitFor(
        [&] { return IndexOf(out, m_deviceName) >= 0 && IndexOf(in, m_deviceName + "-out") >= 0; }));
}

// A stalled server (stopped here) is not a vanished device: the send that waits in vain for room
// in the output's queue fails, but with a result that does not say "gone", the port does not
// report the device as gone, and once the server runs again the next message goes out.
TEST_F(JackServerGoneTest, ASendThatFindsNoRoomWhileTheServerIsStoppedFailsWithoutTheDeviceCountingAsGone) {
    platform::JackMidiOutApi outApi;
    CMidiOutPort out(outApi);
    const std::int64_t found = IndexOf(out, m_deviceName);
    ASSERT_GE(found, 0);
    const auto target = static_cast<std::uint32_t>(found);
    ASSERT_TRUE(SendOne(out, target, IDENTITY_REPLY));  // connected, and the connection runs
    ASSERT_TRUE(out.Watch(target));

    m_server.Signal(SIGSTOP);
    // The largest data blocks until the queue is full and a send gives up waiting for room (the
    // backend's stall limit, 2 s); then one more through the port.
    platform::MidiResult result = platform::MIDI_OK;
    int accepted = 0;
    bool portSent = true;
    const bool ended = testsupport::EndsWithin(30s, [&] {
        platform::MidiOutHandle handle = nullptr;
        result = outApi.Open(&handle, target);
        for (int i = 0; i < 20 && result == platform::MIDI_OK; ++i) {
            Bytes block(18742, 0x11);
            block.front() = 0xF0;
            block.back() = 0xF7;
            platform::MidiHeader header{};
            header.lpData = reinterpret_cast<char*>(block.data());
            header.dwBufferLength = static_cast<std::uint32_t>(block.size());
            outApi.PrepareHeader(handle, &header);
            result = outApi.LongMsg(handle, &header);
            if (result == platform::MIDI_OK) ++accepted;
            outApi.UnprepareHeader(handle, &header);
        }
        if (handle != nullptr) outApi.Close(handle);
        Bytes block(18742, 0x22);
        block.front() = 0xF0;
        block.back() = 0xF7;
        portSent = SendOne(out, target, block);
    });
    const bool goneWhileStopped = out.DeviceGone();
    m_server.Signal(SIGCONT);
    ASSERT_TRUE(ended) << "a send hung on a stopped server";
    EXPECT_NE(result, platform::MIDI_OK) << "the queue took " << accepted << " blocks while no cycle ran";
    EXPECT_FALSE(platform::MeansDeviceGone(result))
        << "a stalled send returned " << result << ", the code of a device gone";
    EXPECT_FALSE(portSent);
    EXPECT_FALSE(goneWhileStopped) << "the port took the stalled server for a vanished device";

    // Running again: what was queued goes out, and so does the next message.
    EXPECT_TRUE(testsupport::WaitFor([&] { return m_device.BytesReceived() > IDENTITY_REPLY.size(); }, 10s));
    EXPECT_TRUE(outApi.Flush(10s));
    const std::size_t before = m_device.BytesReceived();
    EXPECT_TRUE(SendOne(out, target, IDENTITY_REPLY));
    EXPECT_TRUE(outApi.Flush());
    EXPECT_TRUE(testsupport::WaitFor([&] { return m_device.BytesReceived() == before + IDENTITY_REPLY.size(); }));
    EXPECT_FALSE(out.DeviceGone());
}

// A close that the server does not answer in time leaves the client running: libjack goes on
// calling its process callback. From the moment the client counts as gone, that callback touches no
// hook, also in a cycle that was already under way (held here inside the first hook while the
// client is closed, with a close that is given up on at once).
TEST_F(JackServerGoneTest, AClientGivenUpOnAtItsCloseCallsNoHookAgainEvenInTheCycleUnderWay) {
    KeptClient& rig = NewKeptClient();
    ASSERT_NE(rig.client.Acquire(), nullptr);
    ASSERT_TRUE(rig.client.AddHook(&rig.first));
    ASSERT_TRUE(rig.client.AddHook(&rig.second));
    ASSERT_TRUE(testsupport::WaitFor([&] { return rig.second.Calls() > 0; })) << "the client runs no cycles";

    rig.first.HoldNextCycle();
    ASSERT_TRUE(testsupport::WaitFor([&] { return rig.first.Inside(); }));
    const int secondCalls = rig.second.Calls();
    std::thread closer([&] { rig.client.Close(0ms); });
    const bool gone = testsupport::WaitFor([&] { return rig.client.Gone(); });
    rig.first.Release();
    closer.join();
    ASSERT_TRUE(gone) << "the closing client did not count as gone";
    const int firstCalls = rig.first.Calls();
    // The server's cycles go on (for the device's client): enough of them for any call to come.
    const std::uint64_t cycles = m_device.Cycles();
    EXPECT_TRUE(testsupport::WaitFor([&] { return m_device.Cycles() >= cycles + 5; }));

    EXPECT_EQ(rig.second.Calls(), secondCalls) << "the cycle under way went on to the next hook of the closed client";
    EXPECT_EQ(rig.first.Calls(), firstCalls) << "a later cycle called a hook of the closed client";
    EXPECT_TRUE(testsupport::EndsWithin(5s, [&] {
        rig.client.RemoveHook(&rig.first);
        rig.client.RemoveHook(&rig.second);
    })) << "removing the hooks of a closed client hung";
}

// The server dies while a cycle is inside a hook: the hook's removal returns only once that cycle
// has left it (the caller may free what the hook uses), although no cycle comes any more.
TEST_F(JackServerGoneTest, RemovingAHookWaitsForTheCycleInsideItAlsoWhenTheServerDiedMeanwhile) {
    KeptClient& rig = NewKeptClient();
    ASSERT_NE(rig.client.Acquire(), nullptr);
    ASSERT_TRUE(rig.client.AddHook(&rig.first));
    rig.first.HoldNextCycle();
    ASSERT_TRUE(testsupport::WaitFor([&] { return rig.first.Inside(); }));

    m_server.Kill();
    m_device.ServerGone();
    const bool gone = testsupport::WaitFor([&] { return rig.client.Gone(); });
    std::atomic<bool> removed{false};
    std::thread remover([&] {
        rig.client.RemoveHook(&rig.first, 20s);
        rig.first.Removed();
        removed = true;
    });
    // A removal that does not wait for the cycle returns within this; one that waits does not.
    testsupport::WaitFor([&] { return removed.load(); }, 300ms);
    rig.first.Release();
    remover.join();
    EXPECT_TRUE(gone) << "the client did not learn that its server died";
    EXPECT_EQ(rig.first.CallsAfterRemoval(), 0) << "the hook was removed while a cycle was still inside it";
}

// A server that runs no cycles holds up neither the removal of a hook nor the closing of an input:
// no cycle needs to come for either.
TEST_F(JackServerGoneTest, RemovingAHookAndClosingAnInputEndWhileTheServerRunsNoCycles) {
    platform::JackMidiInApi inApi;
    CMidiInPort in(inApi);
    const std::int64_t source = IndexOf(in, m_deviceName + "-out");
    ASSERT_GE(source, 0);
    in.m_deviceIndex = static_cast<std::uint32_t>(source);
    ASSERT_TRUE(in.Start());
    KeptClient& rig = NewKeptClient();
    ASSERT_NE(rig.client.Acquire(), nullptr);
    ASSERT_TRUE(rig.client.AddHook(&rig.first));
    ASSERT_TRUE(testsupport::WaitFor([&] { return rig.first.Calls() > 0; })) << "the client runs no cycles";

    m_server.Signal(SIGSTOP);
    const bool ended = testsupport::EndsWithin(5s, [&] {
        rig.client.RemoveHook(&rig.first);
        in.Stop();
    });
    m_server.Signal(SIGCONT);
    EXPECT_TRUE(ended) << "a removal or a close waited for a cycle of a stopped server";
    EXPECT_FALSE(in.IsStarted());
}

}  // namespace
