// The device on virtual ports: the ALSA sequencer (a client of the program's own), JACK (two
// clients of its own, JackDevicePorts.h), or RtMidi's virtual ports.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>

#include <rtmidi/RtMidi.h>

#if defined(__linux__)
#include <alsa/asoundlib.h>
#include <jack/jack.h>

#include "JackDevicePorts.h"
#include "platform/alsa/AlsaSeqClient.h"
#include "platform/alsa/AlsaSeqOut.h"
#endif

#include "DevsimRun.h"
#include "DevsimTransports.h"

namespace {

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

}  // namespace

std::optional<int> RunOnAlsaSequencer(const DevsimOptions& options, devsim::DeviceSimulator& device,
                                      DeviceOutput& output, HostInput& input) {
#if defined(__linux__)
    snd_lib_error_set_handler(&SilentAlsa);
    if (!AlsaSequencerUsable()) return std::nullopt;
    AlsaPorts alsa(input.pump);
    if (!alsa.Open(options.name)) return std::nullopt;
    output.Attach(
        [&alsa](const std::vector<uint8_t>& bytes) { return alsa.out.Send(bytes.data(), bytes.size()) == platform::MIDI_OK; },
        "the sequencer refused a message");
    Print("ready as \"" + options.name + "\" on ALSA");
    const bool timedOut = WaitForEnd(options, device);
    // No more input into the device, then no more output from it, then the ports go.
    alsa.CloseInput();
    input.pump.Stop();
    device.Stop();
    output.Detach();
    return FinishRun(options, device, timedOut);
#else
    (void)options, (void)device, (void)output, (void)input;
    return std::nullopt;
#endif
}

std::optional<int> RunOnJack(const DevsimOptions& options, devsim::DeviceSimulator& device, DeviceOutput& output,
                             HostInput& input) {
#if defined(__linux__)
    jack_set_error_function(&SilentJack);
    jack_set_info_function(&SilentJack);
    JackInput events(input.assembler);
    devsim::JackDevicePorts jack(events);
    if (!jack.Open(options.name)) return std::nullopt;
    output.Attach([&jack](const std::vector<uint8_t>& bytes) { return jack.Send(bytes.data(), bytes.size()); },
                  "JACK took no message");
    Print("ready as \"" + options.name + "\" on JACK");
    const bool timedOut = WaitForEnd(options, device);
    // No more input into the device, then no more output from it, then the ports go once what the
    // device sent has gone out.
    jack.CloseInput();
    input.pump.Stop();
    device.Stop();
    output.Detach();
    const std::string clients = jack.ClientNames();
    jack.Close();
    if (options.counts) {
        Print("jack: clients " + clients + "; events-read " + std::to_string(jack.EventsRead()) + " events-written " +
              std::to_string(jack.EventsWritten()) + " events-lost " + std::to_string(jack.LostEvents()) +
              " late-cycles " + std::to_string(jack.LateCycles()) + " late-after-last-write " +
              std::to_string(jack.LateCyclesSinceLastWrite()));
    }
    if (jack.LostEvents() > 0) {
        Print("JACK: " + std::to_string(jack.LostEvents()) + " events of the host lost (input ring full)");
    }
    return FinishRun(options, device, timedOut);
#else
    (void)options, (void)device, (void)output, (void)input;
    return std::nullopt;
#endif
}

int RunOnRtMidi(const DevsimOptions& options, devsim::DeviceSimulator& device, DeviceOutput& output,
                HostInput& input) {
    Ports ports;
    OpenErrors errors;
    if (!OpenPorts(options.name, ports, errors)) {
        std::fprintf(stderr, "devsim: no MIDI system answers (no ALSA sequencer, no JACK server): "
                             "can't open the virtual ports\n");
        return 2;
    }
    output.Attach(
        [out = ports.out.get()](const std::vector<uint8_t>& bytes) {
            out->sendMessage(bytes.data(), bytes.size());
            return true;
        },
        "");
    ports.in->setCallback(&InputPump::OnMidiIn, &input.pump);
    Print("ready as \"" + options.name + "\" on " + ApiName(ports.api));
    const bool timedOut = WaitForEnd(options, device);
    // No more input into the device, then no more output from it, then the ports go.
    try {
        ports.in->cancelCallback();
        ports.in->closePort();
    } catch (...) {
    }
    input.pump.Stop();
    device.Stop();
    output.Detach();
    ports.in.reset();
    ports.out.reset();
    return FinishRun(options, device, timedOut);
}
