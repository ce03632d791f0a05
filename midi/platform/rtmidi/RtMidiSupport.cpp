#include "RtMidiSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <mutex>

#if defined(__linux__)
#include <alsa/asoundlib.h>
#include <jack/jack.h>

#include "platform/jack/JackClient.h"
#endif

namespace platform::rtmidi {
namespace {

#if defined(__linux__)
void SilentAlsaHandler(const char*, int, const char*, int, const char*, ...) {}
void SilentJackHandler(const char*) {}
#endif

// Keeps ALSA's and JACK's own messages off the terminal; done once per process.
void SilenceLibraries() {
    static std::once_flag once;
    std::call_once(once, [] {
#if defined(__linux__)
        snd_lib_error_set_handler(&SilentAlsaHandler);
        jack_set_error_function(&SilentJackHandler);
        jack_set_info_function(&SilentJackHandler);
#endif
    });
}

}  // namespace

// RtMidi's ALSA backend throws when the sequencer device can't be opened.
bool AlsaSequencerUsable() {
#if defined(__linux__)
    int fd = ::open("/dev/snd/seq", O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
#else
    return false;
#endif
}

namespace {

// True when a JACK server answers. RtMidi's JACK backend prints a warning to the terminal when it
// is constructed without a server (before an error callback can be set), so we ask first, through
// the program's own client (which then also learns when the server goes away).
bool JackServerRunning() {
#if defined(__linux__)
    return JackClient::Instance().Acquire() != nullptr;
#else
    return false;
#endif
}

template <typename T>
std::unique_ptr<T> Construct(RtMidi::Api api) {
    try {
        auto midi = std::make_unique<T>(api, CLIENT_NAME);
        midi->setErrorCallback(&QuietErrorCallback, nullptr);
        return midi;
    } catch (...) {
        return nullptr;  // this system is not there
    }
}

template <typename T>
std::unique_ptr<T> Create() {
    SilenceLibraries();
#if defined(__linux__)
    if (AlsaSequencerUsable()) {
        if (auto midi = Construct<T>(RtMidi::LINUX_ALSA)) return midi;
    }
    if (JackServerRunning()) return Construct<T>(RtMidi::UNIX_JACK);
    return nullptr;
#elif defined(__APPLE__)
    return Construct<T>(RtMidi::MACOSX_CORE);
#else
    return nullptr;
#endif
}

}  // namespace

void QuietErrorCallback(RtMidiError::Type, const std::string&, void*) {}

std::unique_ptr<RtMidiIn> CreateIn() { return Create<RtMidiIn>(); }
std::unique_ptr<RtMidiOut> CreateOut() { return Create<RtMidiOut>(); }

std::string DeviceName(RtMidi::Api api, const std::string& portName) {
    const auto colon = portName.find(':');
    if (colon == std::string::npos) return portName;
    if (api == RtMidi::UNIX_JACK) return portName.substr(colon + 1);
    if (api == RtMidi::LINUX_ALSA) return portName.substr(0, colon);
    return portName;
}

bool IsOwnPort(const std::string& portName) {
    const std::string client = portName.substr(0, portName.find(':'));
    const std::string own = CLIENT_NAME;
    if (client.compare(0, own.size(), own) != 0) return false;
    if (client.size() == own.size()) return true;
    // JACK and ALSA make a taken client name unique as "NAME-01", "NAME-02", ...
    if (client[own.size()] != '-' || client.size() == own.size() + 1) return false;
    for (std::size_t i = own.size() + 1; i < client.size(); ++i) {
        if (client[i] < '0' || client[i] > '9') return false;
    }
    return true;
}

}  // namespace platform::rtmidi
