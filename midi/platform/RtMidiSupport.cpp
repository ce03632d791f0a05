#include "RtMidiSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <mutex>

#if defined(__linux__)
#include <alsa/asoundlib.h>
#include <jack/jack.h>
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

// True when the ALSA sequencer device can be opened; RtMidi's ALSA backend throws otherwise.
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

template <typename T>
std::unique_ptr<T> Create() {
    SilenceLibraries();
    std::vector<RtMidi::Api> apis;
#if defined(__linux__)
    if (AlsaSequencerUsable()) apis.push_back(RtMidi::LINUX_ALSA);
    apis.push_back(RtMidi::UNIX_JACK);
#elif defined(__APPLE__)
    apis.push_back(RtMidi::MACOSX_CORE);
#endif
    for (RtMidi::Api api : apis) {
        try {
            auto midi = std::make_unique<T>(api, CLIENT_NAME);
            midi->setErrorCallback(&QuietErrorCallback, nullptr);
            return midi;
        } catch (...) {
            // This system is not there; try the next one.
        }
    }
    return nullptr;
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

}  // namespace platform::rtmidi
