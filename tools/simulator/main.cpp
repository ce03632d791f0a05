// tarnet-devsim: plays the device on a virtual MIDI input and output, so that an update can be run
// and checked without hardware. See Usage() for the command line.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <rtmidi/RtMidi.h>

#if defined(__linux__)
#include <alsa/asoundlib.h>
#include <jack/jack.h>
#endif

#include "CommandLine.h"
#include "DeviceSimulator.h"
#include "RawMidiLink.h"
#if defined(__linux__)
#include "JackDevicePorts.h"
#include "platform/alsa/AlsaSeqClient.h"
#include "platform/alsa/AlsaSeqOut.h"
#endif

// Under ThreadSanitizer: libjack is not instrumented, so its hand-over of a cycle between the
// server and a client's threads shows as races.
extern "C" const char* __tsan_default_suppressions() {
    return "race:jack_ringbuffer_\nrace:libjack.so\n";
}

namespace {

using namespace std::chrono_literals;

std::atomic<bool> g_stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "used from a signal handler");

extern "C" void OnSignal(int) { g_stopRequested.store(true); }

const char* const USAGE_LINE = "Usage: tarnet-devsim [options]\n";
const char* const USAGE = R"(Usage: tarnet-devsim [options]

Plays a Tarnet device in version-up mode on a virtual MIDI input and output, so that the updater
can be run and checked without hardware. Start it, wait for the line
  devsim: ready as "USB Audio Device" on JACK
then pick "USB Audio Device" as MIDI IN and MIDI OUT in the updater and press Execute. Every
message is checked on its own (7-bit unpacking, CRC-32, address sequence); the program ends with
one verdict line, "devsim: PASS: ..." or "devsim: FAIL: ...".

Ports:
  --name NAME              device name (default "USB Audio Device"); on JACK both port short names
                           are NAME (clients NAME and NAME-01), on ALSA one client NAME has both ports,
                           named NAME
  --rawmidi DEVICE         play the device at the far end of a raw MIDI device instead (Linux, e.g.
                           /dev/snd/midiC0D0 of snd-virmidi: the host then picks the sequencer
                           client "Virtual Raw MIDI 0-0"; or the gadget side of a USB MIDI
                           device, scripts/usb-rig.sh); --name is not used. Bytes that the driver
                           received and no one read (its overruns) fail the verdict
  --byte-rate N            with --rawmidi: read at most N bytes per second (3125 = a 31250-baud
                           MIDI cable; default 0 = as fast as they come)
  --rawmidi-buffer BYTES   with --rawmidi: the driver's input buffer (default 65536, more than a
                           whole block; with --byte-rate the driver's own, as a cable interface's);
                           0 = the driver's own size
  --capture FILE           with --rawmidi: also write every byte read, in order, to FILE (to find
                           where a byte went missing or changed on the way)
Device:
  --model HEX              model of the device (default 6A; the updater accepts 6A and 69)
  --identity-model HEX     model reported in the Identity Reply (default: --model)
  --answer-delay MS[-MS]   delay of every message the device sends (default 0-5)
  --erase-delay MS         extra time before ERASE is answered (default 0)
  --erase-status N         status answered to ERASE (default 0; 11 = not in version-up mode)
  --finish-status N        status answered to FINISH (default 0)
  --finish-delay MS        extra time before FINISH is answered (default 0)
  --block-delay MS         answer each data block MS after beginning to handle it (a flash write);
                           messages are then handled one at a time in order, each begun when the
                           one before is done (default 0: blocks are answered as other messages)
  --store-at-address       store each block at its own address: any block wholly inside the
                           image is accepted and written there, in any order (no address
                           sequence); BLOCK below is then the block's address index
  --no-finish-reply        do not answer FINISH
  --mute                   never send anything
Faults (BLOCK is the 0-based index of a block: 0 at 0xA0000 ... 35 at 0xEEC00):
  --refuse BLOCK:COUNT[:STATUS]  refuse that block COUNT times with STATUS (default 1) before
                           accepting it; STATUS 11 = "not in version-up mode"; repeatable
  --drop-reply BLOCK       swallow the first answer to that block (the updater then times out)
  --repeat-answer erase:MS | BLOCK:MS
                           send the answer to ERASE, or to the first send of that block, a second
                           time MS after the first; the repeat goes out at its own time, before
                           answers due later; repeatable
  --long-first BYTES[:MS]  before each Identity Reply send a SysEx of BYTES bytes (F0 7D 00 MODEL
                           00 00 ... F7), and the reply MS later (default 0)
The device's own requests:
  --pull ADDR:LEN[:WHEN]   ask the host for LEN bytes at ADDR (hex, e.g. A0000:16) and check the
                           answer against the image; WHEN = start (after the host's first
                           Identity Request) or end (after FINISH, default); repeatable
  --ask-identity[=WHEN]    ask the host's identity (WHEN as above, default end)
  --burst BLOCK:COUNT      right after accepting that block, send COUNT requests at once (two
                           unknown to the host, answered with STATUS 1, then an Identity
                           Request, and so on); all answers must come in order
Checks and results:
  --expect-image FILE      the image the host should send (327680 bytes); compared at the end
  --out FILE               write the received image (327680 bytes, FF where nothing arrived)
  --lenient                malformed or unexpected host messages do not fail the verdict
Run:
  --once                   end after the first completed update (default)
  --serve                  keep serving updates until SIGINT/SIGTERM (or --timeout)
  --timeout SEC            give up after SEC seconds without completion (default 300 with --once,
                           no limit with --serve); 0 = no limit
  --seed N                 seed of the answer delays (default 1)
  --quiet                  print only the ready line and the verdict
  --counts                 on JACK, print before the verdict one line of counts: events read,
                           written and lost, late cycles the server reported (all of them, and
                           those after the latest event written), the clients' names
  --help                   display this help and exit
  --version                output version information and exit

Status codes the device answers to a data block: 0 accepted, 1 refused (fault schedule),
2 checksum error, 3 sequence error (wrong address, no ERASE before, past the image),
4 frame error (sizes, bit 7 set, no F7, padding bits, empty block), 5 wrong model.

Exit status:
  0  PASS
  1  FAIL (also on time-out)
  2  usage error or no MIDI system
)";

const cli::Program PROGRAM{"tarnet-devsim", USAGE_LINE, USAGE};
using cli::UsageError;

unsigned long ParseNumber(const std::string& text, int base, unsigned long max, const std::string& what) {
    std::string t = text;
    if (base == 16 && (t.rfind("0x", 0) == 0 || t.rfind("0X", 0) == 0)) t = t.substr(2);
    char* end = nullptr;
    errno = 0;
    const unsigned long v = t.empty() ? 0 : std::strtoul(t.c_str(), &end, base);
    if (t.empty() || errno != 0 || *end != '\0' || t[0] == '-' || v > max)
        throw UsageError{"bad " + what + " '" + text + "'"};
    return v;
}

std::vector<std::string> Split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    size_t from = 0;
    for (;;) {
        const size_t at = text.find(sep, from);
        parts.push_back(text.substr(from, at - from));
        if (at == std::string::npos) return parts;
        from = at + 1;
    }
}

devsim::Trigger ParseTrigger(const std::string& text) {
    if (text == "start") return devsim::Trigger::Start;
    if (text == "end") return devsim::Trigger::End;
    throw UsageError{"WHEN must be start or end, not '" + text + "'"};
}

struct Options {
    devsim::DeviceSimulatorConfig config;
    std::string name = "USB Audio Device";
    std::string outPath;
    std::string rawPath;
    std::string capturePath;  // --capture: every byte read from the raw MIDI device
    unsigned byteRate = 0;
    long rawBuffer = -1;  // -1: by --byte-rate (see the usage)
    bool serve = false;
    long timeoutSec = -1;
    bool quiet = false;
    bool counts = false;
};

Options ParseArguments(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasValue = false;
        if (const size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            hasValue = true;
        }
        auto next = [&]() -> std::string {
            if (hasValue) return value;
            if (i + 1 >= argc) throw UsageError{arg + " needs a value"};
            return argv[++i];
        };
        auto noValue = [&] {
            if (hasValue) throw UsageError{arg + " takes no value"};
        };
        auto status = [&](const std::string& t) {
            return static_cast<uint8_t>(ParseNumber(t, 10, 127, "status"));
        };
        if (const auto done = cli::StandardOption(PROGRAM, arg)) {
            std::exit(*done);
        } else if (arg == "--name") {
            o.name = next();
            if (o.name.empty()) throw UsageError{"empty --name"};
        } else if (arg == "--rawmidi") {
            o.rawPath = next();
            if (o.rawPath.empty()) throw UsageError{"empty --rawmidi"};
        } else if (arg == "--byte-rate") {
            o.byteRate = static_cast<unsigned>(ParseNumber(next(), 10, 10000000, "byte rate"));
        } else if (arg == "--capture") {
            o.capturePath = next();
            if (o.capturePath.empty()) throw UsageError{"empty --capture"};
        } else if (arg == "--rawmidi-buffer") {
            o.rawBuffer = static_cast<long>(ParseNumber(next(), 10, 1024 * 1024, "buffer size"));
        } else if (arg == "--model") {
            o.config.model = static_cast<uint8_t>(ParseNumber(next(), 16, 0x7F, "model"));
        } else if (arg == "--identity-model") {
            o.config.identityModel = static_cast<uint8_t>(ParseNumber(next(), 16, 0x7F, "model"));
        } else if (arg == "--answer-delay") {
            const auto parts = Split(next(), '-');
            if (parts.size() > 2) throw UsageError{"--answer-delay takes MS or MIN-MAX"};
            o.config.answerDelayMin = std::chrono::milliseconds(ParseNumber(parts[0], 10, 600000, "delay"));
            o.config.answerDelayMax = parts.size() == 2
                                          ? std::chrono::milliseconds(ParseNumber(parts[1], 10, 600000, "delay"))
                                          : o.config.answerDelayMin;
        } else if (arg == "--erase-delay") {
            o.config.eraseDelay = std::chrono::milliseconds(ParseNumber(next(), 10, 3600000, "delay"));
        } else if (arg == "--erase-status") {
            o.config.eraseStatus = status(next());
        } else if (arg == "--finish-status") {
            o.config.finishStatus = status(next());
        } else if (arg == "--no-finish-reply") {
            noValue();
            o.config.finishStatus.reset();
        } else if (arg == "--finish-delay") {
            o.config.finishDelay = std::chrono::milliseconds(ParseNumber(next(), 10, 3600000, "delay"));
        } else if (arg == "--mute") {
            noValue();
            o.config.mute = true;
        } else if (arg == "--refuse") {
            const auto parts = Split(next(), ':');
            if (parts.size() < 2 || parts.size() > 3) throw UsageError{"--refuse takes BLOCK:COUNT[:STATUS]"};
            devsim::RefuseRule rule;
            rule.block = static_cast<int>(ParseNumber(parts[0], 10, 1000, "block index"));
            rule.count = static_cast<int>(ParseNumber(parts[1], 10, 1000000, "count"));
            if (parts.size() == 3) rule.status = status(parts[2]);
            if (rule.status == 0) throw UsageError{"a refusal needs a non-zero status"};
            o.config.refusals.push_back(rule);
        } else if (arg == "--repeat-answer") {
            const auto parts = Split(next(), ':');
            if (parts.size() != 2) throw UsageError{"--repeat-answer takes erase:MS or BLOCK:MS"};
            devsim::RepeatRule rule;
            rule.block = parts[0] == "erase" ? -1 : static_cast<int>(ParseNumber(parts[0], 10, 1000, "block index"));
            rule.after = std::chrono::milliseconds(ParseNumber(parts[1], 10, 600000, "delay"));
            o.config.repeats.push_back(rule);
        } else if (arg == "--block-delay") {
            o.config.blockAnswerDelay = std::chrono::milliseconds(ParseNumber(next(), 10, 600000, "delay"));
        } else if (arg == "--store-at-address") {
            noValue();
            o.config.storeAtAddress = true;
        } else if (arg == "--drop-reply") {
            o.config.dropReplyBlock = static_cast<int>(ParseNumber(next(), 10, 1000, "block index"));
        } else if (arg == "--pull") {
            const auto parts = Split(next(), ':');
            if (parts.size() < 2 || parts.size() > 3) throw UsageError{"--pull takes ADDR:LEN[:start|end]"};
            devsim::BlockPull pull;
            pull.address = static_cast<uint32_t>(ParseNumber(parts[0], 16, 0xFFFFFFFFul, "address"));
            pull.length = static_cast<uint32_t>(ParseNumber(parts[1], 10, devsim::MAX_BLOCK_LENGTH, "length"));
            if (parts.size() == 3) pull.when = ParseTrigger(parts[2]);
            o.config.pulls.push_back(pull);
        } else if (arg == "--burst") {
            const auto parts = Split(next(), ':');
            if (parts.size() != 2) throw UsageError{"--burst takes BLOCK:COUNT"};
            o.config.burstAfterBlock = static_cast<int>(ParseNumber(parts[0], 10, 35, "block"));
            o.config.burstCount = static_cast<int>(ParseNumber(parts[1], 10, 100000, "count"));
        } else if (arg == "--long-first") {
            const auto parts = Split(next(), ':');
            if (parts.size() > 2) throw UsageError{"--long-first takes BYTES[:MS]"};
            o.config.longMessageBytes = static_cast<uint32_t>(ParseNumber(parts[0], 10, 1000000, "length"));
            if (parts.size() == 2) {
                o.config.identityReplyDelay = std::chrono::milliseconds(ParseNumber(parts[1], 10, 600000, "delay"));
            }
        } else if (arg == "--ask-identity") {
            o.config.askIdentity = hasValue ? ParseTrigger(value) : devsim::Trigger::End;
        } else if (arg == "--expect-image") {
            const std::string path = next();
            std::ifstream in(path, std::ios::binary);
            if (!in) throw UsageError{"can't read " + path};
            o.config.expectedImage.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            if (o.config.expectedImage.size() != devsim::IMAGE_BYTES)
                throw UsageError{path + " holds " + std::to_string(o.config.expectedImage.size()) + " bytes, not " +
                                 std::to_string(devsim::IMAGE_BYTES)};
        } else if (arg == "--out") {
            o.outPath = next();
        } else if (arg == "--lenient") {
            noValue();
            o.config.strict = false;
        } else if (arg == "--once") {
            noValue();
            o.serve = false;
        } else if (arg == "--serve") {
            noValue();
            o.serve = true;
        } else if (arg == "--timeout") {
            o.timeoutSec = static_cast<long>(ParseNumber(next(), 10, 86400 * 365, "time-out"));
        } else if (arg == "--seed") {
            o.config.seed = static_cast<uint32_t>(ParseNumber(next(), 10, 0xFFFFFFFFul, "seed"));
        } else if (arg == "--quiet") {
            noValue();
            o.quiet = true;
        } else if (arg == "--counts") {
            noValue();
            o.counts = true;
        } else {
            throw UsageError{"unknown option '" + arg + "'"};
        }
    }
    if (o.timeoutSec < 0) o.timeoutSec = o.serve ? 0 : 300;
    if (o.rawBuffer < 0) o.rawBuffer = o.byteRate > 0 ? 0 : 65536;
    return o;
}

// Output of the program: one writer at a time, each line flushed at once so that scripts see it.
std::mutex g_printLock;
void Print(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_printLock);
    std::printf("devsim: %s\n", line.c_str());
    std::fflush(stdout);
}

// Collects what the MIDI system hands over into whole SysEx messages. A JACK host may deliver one
// long message as several events: the first starts with F0 and lacks the F7, the following ones
// carry no F0. Used by one thread only: the input pump's, or the JACK ports' drain thread.
class SysExAssembler {
public:
    static constexpr size_t MAX_MESSAGE = 65536;

    explicit SysExAssembler(devsim::DeviceSimulator& device) : m_device(device) {}

    void Feed(const unsigned char* data, size_t size) {
        if (size == 0) return;
        if (data[0] == 0xF0) {
            Flush();  // a message that never ended: the device sees it as it is
            m_pending.assign(data, data + size);
        } else if (!m_pending.empty()) {
            m_pending.insert(m_pending.end(), data, data + size);
        } else {
            m_device.OnMessageFromHost(data, size);  // stray bytes; counted by the device
            return;
        }
        if (m_pending.back() == 0xF7 || m_pending.size() >= MAX_MESSAGE) Flush();
    }

    // Events were lost before the next one: a message in progress can't end whole, and the device
    // sees it as it is.
    void Interrupt() { Flush(); }

private:
    void Flush() {
        if (m_pending.empty()) return;
        m_device.OnMessageFromHost(m_pending.data(), m_pending.size());
        m_pending.clear();
    }

    devsim::DeviceSimulator& m_device;
    std::vector<unsigned char> m_pending;
};

// Hands what the MIDI system delivers over to a thread of its own, so that its thread (the
// sequencer client's reader, or RtMidi's input thread) only copies and queues: checking a 10 KB
// block, logging and printing stay off it.
class InputPump {
public:
    static constexpr size_t MAX_QUEUED = 4096;

    explicit InputPump(SysExAssembler& assembler) : m_assembler(assembler), m_thread([this] { Run(); }) {}
    ~InputPump() { Stop(); }

    // Runs on the MIDI system's input thread.
    static void OnMidiIn(double, std::vector<unsigned char>* message, void* user) {
        if (message == nullptr || user == nullptr) return;
        static_cast<InputPump*>(user)->Push(message->data(), message->size());
    }

    // Queues a copy of the bytes; runs on the MIDI system's input thread.
    void Push(const unsigned char* data, size_t size) noexcept {
        try {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_queue.size() >= MAX_QUEUED) return;  // shows as a missing message
            m_queue.emplace_back(data, data + size);
        } catch (...) {
            return;  // nothing may escape into the MIDI library's thread
        }
        m_wake.notify_one();
    }

    void Stop() {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_stopping = true;
        }
        m_wake.notify_one();
        if (m_thread.joinable()) m_thread.join();
    }

private:
    void Run() {
        std::unique_lock<std::mutex> lock(m_lock);
        for (;;) {
            m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_stopping) return;
            std::vector<unsigned char> message = std::move(m_queue.front());
            m_queue.pop_front();
            lock.unlock();
            m_assembler.Feed(message.data(), message.size());
            lock.lock();
        }
    }

    SysExAssembler& m_assembler;
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<std::vector<unsigned char>> m_queue;
    bool m_stopping = false;
    std::thread m_thread;  // last: starts when the members above exist
};

// Records RtMidi errors of the port being opened; warnings count too, since RtMidi reports some
// failures to open as warnings.
struct OpenErrors {
    std::atomic<bool> failed{false};
};
void OnRtMidiError(RtMidiError::Type type, const std::string&, void* user) {
    if (type != RtMidiError::DEBUG_WARNING && user != nullptr) static_cast<OpenErrors*>(user)->failed = true;
}

#if defined(__linux__)
void SilentAlsa(const char*, int, const char*, int, const char*, ...) {}
void SilentJack(const char*) {}
bool AlsaSequencerUsable() {
    const int fd = ::open("/dev/snd/seq", O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}
#endif

#if defined(__linux__)
// The device on JACK: its ports' drain thread hands each event to the assembler.
class JackInput final : public devsim::JackDevicePorts::Receiver {
public:
    explicit JackInput(SysExAssembler& assembler) : m_assembler(assembler) {}
    void OnEvent(const std::uint8_t* bytes, std::size_t count) override { m_assembler.Feed(bytes, count); }
    void OnLost(std::uint32_t) override { m_assembler.Interrupt(); }

private:
    SysExAssembler& m_assembler;
};

// The device on the ALSA sequencer: one client named after the device, with an input port and an
// output port of that name and no queue (RtMidi would make two clients and a queue; 20 devices
// beside 20 updaters must fit in the kernel's 64 clients of programs and 32 queues). The output
// is written like the updater's, as the reader's input queue has room.
class AlsaPorts final : public platform::alsa::SeqClient::Sink {
public:
    explicit AlsaPorts(InputPump& pump) : m_pump(pump) {}
    ~AlsaPorts() { CloseInput(); }

    bool Open(const std::string& name) {
        auto& client = platform::alsa::SeqClient::Instance();
        client.SetName(name);
        if (!client.Ready()) return false;
        m_inPort = client.CreatePort(name.c_str(), SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                     SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        return m_inPort >= 0 && client.Listen(m_inPort, this) && out.OpenSource(name.c_str()) == platform::MIDI_OK;
    }
    // No more input into the device once it returns.
    void CloseInput() {
        platform::alsa::SeqClient::Instance().DeletePort(m_inPort);
        m_inPort = -1;
    }
    // Runs on the client's reader thread.
    void OnSeqBytes(const std::uint8_t* bytes, std::size_t count) noexcept override { m_pump.Push(bytes, count); }

    platform::alsa::SeqOutput out;  // used under the program's output lock

private:
    InputPump& m_pump;
    int m_inPort = -1;
};
#endif

struct Ports {
    std::unique_ptr<RtMidiIn> in;
    std::unique_ptr<RtMidiOut> out;
    RtMidi::Api api = RtMidi::UNSPECIFIED;
};

// Opens RtMidi's virtual input (the host's output lands here) and virtual output (the host reads
// it) on the first MIDI system that works: the ALSA sequencer when the program's own client could
// not be made there, CoreMIDI on macOS (JACK has JackDevicePorts). Client name and port name are
// both the device name.
bool OpenPorts(const std::string& name, Ports& ports, OpenErrors& errors) {
    std::vector<RtMidi::Api> apis;
#if defined(__linux__)
    snd_lib_error_set_handler(&SilentAlsa);
    if (AlsaSequencerUsable()) apis.push_back(RtMidi::LINUX_ALSA);
#elif defined(__APPLE__)
    apis.push_back(RtMidi::MACOSX_CORE);
#endif
    for (RtMidi::Api api : apis) {
        errors.failed = false;
        try {
            auto in = std::make_unique<RtMidiIn>(api, name, 1000);
            in->setErrorCallback(&OnRtMidiError, &errors);
            in->ignoreTypes(false, true, true);
            in->openVirtualPort(name);
            if (errors.failed) continue;
            auto out = std::make_unique<RtMidiOut>(api, name);
            out->setErrorCallback(&OnRtMidiError, &errors);
            out->openVirtualPort(name);
            if (errors.failed) continue;
            ports.in = std::move(in);
            ports.out = std::move(out);
            ports.api = api;
            return true;
        } catch (...) {
            // This MIDI system is not there; try the next one.
        }
    }
    return false;
}

const char* ApiName(RtMidi::Api api) {
    switch (api) {
    case RtMidi::LINUX_ALSA: return "ALSA";
    case RtMidi::UNIX_JACK: return "JACK";
    case RtMidi::MACOSX_CORE: return "CoreMIDI";
    default: return "MIDI";
    }
}

// Waits for the update to end (or the time-out, or a signal); true when it timed out.
bool WaitForEnd(const Options& options, devsim::DeviceSimulator& device) {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        if (g_stopRequested.load()) return false;
        if (!options.serve) {
            if (device.WaitForCompletion(100ms)) return false;
        } else {
            std::this_thread::sleep_for(100ms);
        }
        if (options.timeoutSec > 0 && std::chrono::steady_clock::now() - start >= std::chrono::seconds(options.timeoutSec)) {
            return true;
        }
    }
}

// Writes the image and prints the verdict line; returns the exit status.
// `lost` names bytes that the transport lost on their way to the device: they fail a verdict that
// passed.
int Finish(const Options& options, devsim::DeviceSimulator& device, bool timedOut, const std::string& lost = {}) {
    if (!options.outPath.empty() && !device.WriteImage(options.outPath))
        Print("can't write the image to " + options.outPath);
    std::string verdict;
    bool pass = device.Verdict(&verdict);
    if (!lost.empty()) {
        if (pass) verdict = "FAIL: " + verdict.substr(6);
        verdict += "; " + lost;
        pass = false;
    }
    if (timedOut && !pass) verdict.insert(6, "timed out after " + std::to_string(options.timeoutSec) + " s; ");
    if (g_stopRequested.load() && !pass) verdict.insert(6, "stopped by signal; ");
    Print(verdict);
    return pass ? 0 : 1;
}

// The device at the far end of a raw MIDI device: the link's reader thread feeds the device.
int RunOnRawMidi(const Options& options, devsim::DeviceSimulator& device, std::mutex& outLock,
                 devsim::RawMidiLink*& raw) {
    devsim::RawMidiLink link;
    devsim::RawSysExSplitter splitter([&](const uint8_t* data, size_t size) { device.OnMessageFromHost(data, size); },
                                      devsim::BlockMessageLength);
    std::string error = "raw MIDI devices are Linux's";
#if defined(__linux__)
    auto port = devsim::OpenAlsaRawMidi(options.rawPath, static_cast<size_t>(options.rawBuffer), &error);
#else
    std::unique_ptr<devsim::RawMidiPort> port;
#endif
    if (port == nullptr) {
        std::fprintf(stderr, "devsim: %s\n", error.c_str());
        return 2;
    }
    std::ofstream capture;
    if (!options.capturePath.empty()) {
        capture.open(options.capturePath, std::ios::binary | std::ios::trunc);
        if (!capture) {
            std::fprintf(stderr, "devsim: can't write %s\n", options.capturePath.c_str());
            return 2;
        }
    }
    // Runs on the link's reader thread; the capture is written there too, before the bytes are
    // handled, so that it holds everything that was read also when handling them stops the run.
    link.Open(std::move(port), options.byteRate, [&](const uint8_t* d, size_t n) {
        if (capture.is_open()) capture.write(reinterpret_cast<const char*>(d), static_cast<std::streamsize>(n));
        splitter.Feed(d, n);
    });
    {
        std::lock_guard<std::mutex> lock(outLock);
        raw = &link;
    }
    Print("ready on raw MIDI " + options.rawPath +
          (options.byteRate > 0 ? " at " + std::to_string(options.byteRate) + " bytes/s" : std::string()));
    const auto start = std::chrono::steady_clock::now();
    const bool timedOut = WaitForEnd(options, device);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    link.Close();  // no more input into the device; the driver's last counts are taken
    device.Stop();
    {
        std::lock_guard<std::mutex> lock(outLock);
        raw = nullptr;
    }
    const devsim::RawMidiLink::Tally tally = link.Counts();
    char line[200];
    const double bytes = static_cast<double>(tally.read);
    std::snprintf(line, sizeof line, "raw MIDI: %.0f bytes read in %.1f s (wire time at %u bytes/s: %.1f s); ", bytes,
                  seconds, options.byteRate, options.byteRate > 0 ? bytes / options.byteRate : 0.0);
    Print(line + tally.Describe());
    // A message that began and never ended (its 0xF7 lost or changed on the way) never reaches the
    // device, which then never answers it: say so, with its ends, as the device's view of it.
    if (const std::vector<uint8_t>& rest = splitter.Unfinished(); !rest.empty()) {
        std::string text = "an unfinished message of " + std::to_string(rest.size()) + " bytes at the end:";
        char hex[4];
        for (size_t i = 0; i < rest.size(); ++i) {
            if (i == 8 && rest.size() > 16) {
                text += " ...";
                i = rest.size() - 8;
            }
            std::snprintf(hex, sizeof hex, " %02X", rest[i]);
            text += hex;
        }
        Print(text);
    }
    if (const int ignored = device.Summary().garbage; ignored > 0)
        Print(std::to_string(ignored) + " runs of bytes that were no complete SysEx message ignored");
    if (capture.is_open()) capture.close();
    const long long lost = tally.Lost();
    return Finish(options, device, timedOut,
                  lost > 0 ? std::to_string(lost) + " bytes lost in the raw MIDI driver (" + tally.Describe() + ")"
                           : std::string());
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        options = ParseArguments(argc, argv);
    } catch (const UsageError& e) {
        return cli::ReportUsageError(PROGRAM, e.text);
    }
    if (!options.quiet) options.config.log = [](const std::string& line) { Print(line); };

    struct sigaction action {};
    action.sa_handler = &OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    // The output port must exist before the device can send, and the device before input can
    // arrive: the send function reaches the port through this holder, filled once it is open.
    std::mutex outLock;
    RtMidiOut* out = nullptr;
    devsim::RawMidiLink* raw = nullptr;
#if defined(__linux__)
    platform::alsa::SeqOutput* seqOut = nullptr;
    devsim::JackDevicePorts* jackOut = nullptr;
#endif
    devsim::DeviceSimulator device(options.config, [&](const std::vector<uint8_t>& bytes) {
        std::lock_guard<std::mutex> lock(outLock);
        if (out != nullptr) out->sendMessage(bytes.data(), bytes.size());
#if defined(__linux__)
        if (seqOut != nullptr && seqOut->Send(bytes.data(), bytes.size()) != platform::MIDI_OK)
            Print("the sequencer refused a message");
        if (jackOut != nullptr && !jackOut->Send(bytes.data(), bytes.size())) Print("JACK took no message");
#endif
        if (raw != nullptr && !raw->Write(bytes)) Print("raw MIDI device refused a message");
    });
    SysExAssembler assembler(device);
    InputPump pump(assembler);

    if (!options.rawPath.empty()) return RunOnRawMidi(options, device, outLock, raw);

#if defined(__linux__)
    snd_lib_error_set_handler(&SilentAlsa);
    if (AlsaSequencerUsable()) {
        AlsaPorts alsa(pump);
        if (alsa.Open(options.name)) {
            {
                std::lock_guard<std::mutex> lock(outLock);
                seqOut = &alsa.out;
            }
            Print("ready as \"" + options.name + "\" on ALSA");
            const bool timedOut = WaitForEnd(options, device);
            // No more input into the device, then no more output from it, then the ports go.
            alsa.CloseInput();
            pump.Stop();
            device.Stop();
            {
                std::lock_guard<std::mutex> lock(outLock);
                seqOut = nullptr;
            }
            return Finish(options, device, timedOut);
        }
    }
    {
        jack_set_error_function(&SilentJack);
        jack_set_info_function(&SilentJack);
        JackInput input(assembler);
        devsim::JackDevicePorts jack(input);
        if (jack.Open(options.name)) {
            {
                std::lock_guard<std::mutex> lock(outLock);
                jackOut = &jack;
            }
            Print("ready as \"" + options.name + "\" on JACK");
            const bool timedOut = WaitForEnd(options, device);
            // No more input into the device, then no more output from it, then the ports go once
            // what the device sent has gone out.
            jack.CloseInput();
            pump.Stop();
            device.Stop();
            {
                std::lock_guard<std::mutex> lock(outLock);
                jackOut = nullptr;
            }
            const std::string clients = jack.ClientNames();
            jack.Close();
            if (options.counts) {
                Print("jack: clients " + clients + "; events-read " + std::to_string(jack.EventsRead()) +
                      " events-written " + std::to_string(jack.EventsWritten()) + " events-lost " +
                      std::to_string(jack.LostEvents()) + " late-cycles " + std::to_string(jack.LateCycles()) +
                      " late-after-last-write " + std::to_string(jack.LateCyclesSinceLastWrite()));
            }
            if (jack.LostEvents() > 0) {
                Print("JACK: " + std::to_string(jack.LostEvents()) + " events of the host lost (input ring full)");
            }
            return Finish(options, device, timedOut);
        }
    }
#endif

    Ports ports;
    OpenErrors errors;
    if (!OpenPorts(options.name, ports, errors)) {
        std::fprintf(stderr, "devsim: no MIDI system answers (no ALSA sequencer, no JACK server): "
                             "can't open the virtual ports\n");
        return 2;
    }
    {
        std::lock_guard<std::mutex> lock(outLock);
        out = ports.out.get();
    }
    ports.in->setCallback(&InputPump::OnMidiIn, &pump);
    Print("ready as \"" + options.name + "\" on " + ApiName(ports.api));

    const bool timedOut = WaitForEnd(options, device);

    // No more input into the device, then no more output from it, then the ports go.
    try {
        ports.in->cancelCallback();
        ports.in->closePort();
    } catch (...) {
    }
    pump.Stop();
    device.Stop();
    {
        std::lock_guard<std::mutex> lock(outLock);
        out = nullptr;
    }
    ports.in.reset();
    ports.out.reset();

    return Finish(options, device, timedOut);
}
