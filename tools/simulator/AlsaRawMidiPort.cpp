// The raw MIDI device of the link (RawMidiLink.h) on ALSA, through libasound's raw MIDI interface.
#include <alsa/asoundlib.h>
#include <poll.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <regex>

#include "RawMidiLink.h"

namespace devsim {

namespace {

// The ALSA name of a device given by its node or by name.
std::string AlsaName(const std::string& device) {
    static const std::regex node(R"(/dev/snd/midiC([0-9]+)D([0-9]+))");
    std::smatch m;
    if (std::regex_match(device, m, node)) return "hw:" + m[1].str() + "," + m[2].str();
    return device;
}

// The bytes that input substream `subdevice` of raw MIDI device `device` of `card` has received,
// by the driver's own account (/proc/asound/cardC/midiD: "Input S" ... "Rx bytes : N"); -1 when
// it does not say.
long long ReceivedBytes(int card, int device, int subdevice) {
    std::ifstream in("/proc/asound/card" + std::to_string(card) + "/midi" + std::to_string(device));
    std::string line;
    bool ours = false;
    while (std::getline(in, line)) {
        int number = -1;
        if (std::sscanf(line.c_str(), "Input %d", &number) == 1) {
            ours = number == subdevice;
        } else if (line.rfind("Output", 0) == 0) {
            ours = false;
        } else if (unsigned long long bytes = 0; ours && std::sscanf(line.c_str(), " Rx bytes : %llu", &bytes) == 1) {
            return static_cast<long long>(bytes);
        }
    }
    return -1;
}

class AlsaRawMidiPort final : public RawMidiPort {
public:
    ~AlsaRawMidiPort() override {
        if (m_in != nullptr) snd_rawmidi_close(m_in);
        if (m_out != nullptr) {
            snd_rawmidi_drain(m_out);  // what the device answered last goes out before the close
            snd_rawmidi_close(m_out);
        }
    }

    bool Open(const std::string& device, size_t inputBuffer, std::string* error) {
        const std::string name = AlsaName(device);
        auto fail = [&](const std::string& what, int code) {
            if (error != nullptr) *error = what + " " + device + ": " + snd_strerror(code);
            return false;
        };
        int r = snd_rawmidi_open(&m_in, &m_out, name.c_str(), SND_RAWMIDI_NONBLOCK);
        if (r < 0) {
            m_in = m_out = nullptr;
            return fail("can't open", r);
        }
        if (inputBuffer > 0) {
            snd_rawmidi_params_t* params = nullptr;
            r = snd_rawmidi_params_malloc(&params);
            if (r == 0) r = snd_rawmidi_params_current(m_in, params);
            if (r == 0) r = snd_rawmidi_params_set_buffer_size(m_in, params, inputBuffer);
            if (r == 0) r = snd_rawmidi_params_set_avail_min(m_in, params, 1);
            if (r == 0) r = snd_rawmidi_params(m_in, params);
            if (r == 0) r = snd_rawmidi_params_current(m_in, params);
            if (r == 0 && snd_rawmidi_params_get_buffer_size(params) < inputBuffer) r = -ENOMEM;
            if (params != nullptr) snd_rawmidi_params_free(params);
            if (r < 0) return fail("can't give an input buffer of " + std::to_string(inputBuffer) + " bytes to", r);
        }
        snd_rawmidi_info_t* info = nullptr;
        if (snd_rawmidi_info_malloc(&info) == 0) {
            if (snd_rawmidi_info(m_in, info) == 0) {
                m_card = snd_rawmidi_info_get_card(info);
                m_device = static_cast<int>(snd_rawmidi_info_get_device(info));
                m_subdevice = static_cast<int>(snd_rawmidi_info_get_subdevice(info));
            }
            snd_rawmidi_info_free(info);
        }
        if (m_card >= 0) m_receivedAtOpen = ReceivedBytes(m_card, m_device, m_subdevice);
        if (snd_rawmidi_poll_descriptors(m_in, &m_inPoll, 1) != 1 || snd_rawmidi_poll_descriptors(m_out, &m_outPoll, 1) != 1)
            return fail("no descriptor to wait on for", -EINVAL);
        return true;
    }

    int InputFd() const override { return m_inPoll.fd; }
    int OutputFd() const override { return m_outPoll.fd; }

    ssize_t Read(uint8_t* data, size_t size) override {
        const ssize_t n = snd_rawmidi_read(m_in, data, size);
        if (n == -EAGAIN || n == -EINTR) return 0;
        return n < 0 ? -1 : n;
    }

    ssize_t Write(const uint8_t* data, size_t size) override {
        const ssize_t n = snd_rawmidi_write(m_out, data, size);
        if (n == -EAGAIN || n == -EINTR) return 0;
        return n < 0 ? -1 : n;
    }

    DriverCounts Counts() override {
        // The driver hands its overruns over and starts again from 0 each time it is asked.
        snd_rawmidi_status_t* status = nullptr;
        if (m_dropped >= 0 && snd_rawmidi_status_malloc(&status) == 0) {
            if (snd_rawmidi_status(m_in, status) == 0) {
                m_dropped += static_cast<long long>(snd_rawmidi_status_get_xruns(status));
            } else {
                m_dropped = -1;
            }
            snd_rawmidi_status_free(status);
        }
        DriverCounts counts;
        counts.dropped = m_dropped;
        const long long received = m_card >= 0 ? ReceivedBytes(m_card, m_device, m_subdevice) : -1;
        if (received >= 0 && m_receivedAtOpen >= 0) counts.received = received - m_receivedAtOpen;
        return counts;
    }

private:
    snd_rawmidi_t* m_in = nullptr;
    snd_rawmidi_t* m_out = nullptr;
    pollfd m_inPoll{-1, 0, 0};
    pollfd m_outPoll{-1, 0, 0};
    int m_card = -1;
    int m_device = -1;
    int m_subdevice = -1;
    long long m_receivedAtOpen = -1;
    long long m_dropped = 0;  // summed over the status requests; -1 once the driver stopped telling
};

}  // namespace

std::unique_ptr<RawMidiPort> OpenAlsaRawMidi(const std::string& device, size_t inputBuffer, std::string* error) {
    auto port = std::make_unique<AlsaRawMidiPort>();
    if (!port->Open(device, inputBuffer, error)) return nullptr;
    return port;
}

}  // namespace devsim
