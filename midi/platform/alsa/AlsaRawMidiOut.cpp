#include "AlsaRawMidiOut.h"

#include <alsa/asoundlib.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <thread>

namespace platform::alsa {

namespace {
// snd-seq-midi numbers a card's ports device * (256 / SNDRV_RAWMIDI_DEVICES) + substream.
constexpr int PORTS_PER_DEVICE = 32;
constexpr std::chrono::microseconds DRAIN_PAUSE{500};
// Longest wait for room in the driver's buffer before Abandon is looked at again.
constexpr int POLL_SLICE_MS = 20;
}  // namespace

std::optional<RawMidiAddress> RawMidiBehind(const SeqPortKind& kind, int port) {
    constexpr unsigned int WANTED = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_HARDWARE;
    if ((kind.type & WANTED) != WANTED || kind.card < 0 || port < 0) return std::nullopt;
    return RawMidiAddress{kind.card, port / PORTS_PER_DEVICE, port % PORTS_PER_DEVICE};
}

RawMidiOutput::~RawMidiOutput() {
    if (m_raw == nullptr) return;
    // What is still in the driver's buffer goes out before the device is let go (bounded), unless
    // the output was abandoned.
    if (m_abandoned.load() || !WaitUntilSent()) snd_rawmidi_drop(m_raw);
    snd_rawmidi_close(m_raw);
}

MidiResult RawMidiOutput::Open(RawMidiAddress address, const std::string& portName) {
    if (m_raw != nullptr) return MIDI_ERR_ALLOCATED;
    // The substream must be the port's: same card, device and subdevice, and the name the
    // sequencer gave the port (the substream's own name, or the device's name when it has none).
    snd_ctl_t* ctl = nullptr;
    const std::string card = "hw:" + std::to_string(address.card);
    if (snd_ctl_open(&ctl, card.c_str(), SND_CTL_NONBLOCK) < 0) return MIDI_ERR_BADDEVICEID;
    snd_rawmidi_info_t* info = nullptr;
    bool same = false;
    if (snd_rawmidi_info_malloc(&info) == 0) {
        snd_rawmidi_info_set_device(info, static_cast<unsigned int>(address.device));
        snd_rawmidi_info_set_subdevice(info, static_cast<unsigned int>(address.subdevice));
        snd_rawmidi_info_set_stream(info, SND_RAWMIDI_STREAM_OUTPUT);
        if (snd_ctl_rawmidi_info(ctl, info) == 0) {
            const std::string subName = snd_rawmidi_info_get_subdevice_name(info);
            const std::string name = snd_rawmidi_info_get_name(info);
            same = subName.empty() ? portName.rfind(name, 0) == 0 && !name.empty() : portName == subName;
        }
        snd_rawmidi_info_free(info);
    }
    snd_ctl_close(ctl);
    if (!same) return MIDI_ERR_BADDEVICEID;

    // Opened without waiting: a substream that another program holds is busy now, not later.
    const std::string name = card + "," + std::to_string(address.device) + "," + std::to_string(address.subdevice);
    const int r = snd_rawmidi_open(nullptr, &m_raw, name.c_str(), SND_RAWMIDI_NONBLOCK);
    if (r < 0) {
        m_raw = nullptr;
        return r == -EBUSY || r == -EAGAIN ? MIDI_ERR_ALLOCATED : MIDI_ERR_BADDEVICEID;
    }
    snd_rawmidi_params_t* params = nullptr;
    if (snd_rawmidi_params_malloc(&params) == 0) {
        if (snd_rawmidi_params_current(m_raw, params) == 0) m_bufferSize = snd_rawmidi_params_get_buffer_size(params);
        snd_rawmidi_params_free(params);
    }
    if (m_bufferSize == 0) {
        snd_rawmidi_close(m_raw);
        m_raw = nullptr;
        return MIDI_ERR_BADDEVICEID;
    }
    return MIDI_OK;
}

MidiResult RawMidiOutput::Send(const std::uint8_t* bytes, std::size_t length) {
    if (m_raw == nullptr) return MIDI_ERR_INVALHANDLE;
    if (m_abandoned.load()) return MIDI_ERR_GENERIC;
    pollfd descriptor{};
    if (snd_rawmidi_poll_descriptors(m_raw, &descriptor, 1) != 1) return MIDI_ERR_GENERIC;
    auto lastProgress = std::chrono::steady_clock::now();
    for (std::size_t offset = 0; offset < length;) {
        if (m_abandoned.load()) {
            snd_rawmidi_drop(m_raw);
            return MIDI_ERR_GENERIC;
        }
        const ssize_t written = snd_rawmidi_write(m_raw, bytes + offset, length - offset);
        if (written > 0) {
            offset += static_cast<std::size_t>(written);
            lastProgress = std::chrono::steady_clock::now();
            continue;
        }
        if (written == -ENODEV) return MIDI_ERR_NODEVICE;  // the card went away
        if (written < 0 && written != -EAGAIN) return MIDI_ERR_GENERIC;
        // The driver's buffer is full: the device takes bytes at its own pace.
        const auto left = STALL_LIMIT - (std::chrono::steady_clock::now() - lastProgress);
        if (left <= std::chrono::steady_clock::duration::zero()) return MIDI_ERR_GENERIC;
        const int leftMs = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(left).count()) + 1;
        descriptor.revents = 0;
        ::poll(&descriptor, 1, std::min(leftMs, POLL_SLICE_MS));
    }
    if (WaitUntilSent()) return MIDI_OK;
    if (m_abandoned.load()) snd_rawmidi_drop(m_raw);
    return MIDI_ERR_GENERIC;
}

bool RawMidiOutput::WaitUntilSent() {
    snd_rawmidi_status_t* status = nullptr;
    if (snd_rawmidi_status_malloc(&status) != 0) return false;
    bool sent = false;
    std::size_t lastAvail = 0;
    auto lastProgress = std::chrono::steady_clock::now();
    for (;;) {
        if (m_abandoned.load() || snd_rawmidi_status(m_raw, status) < 0) break;
        const std::size_t avail = snd_rawmidi_status_get_avail(status);
        if (avail >= m_bufferSize) {
            sent = true;
            break;
        }
        const auto now = std::chrono::steady_clock::now();
        if (avail != lastAvail) {
            lastAvail = avail;
            lastProgress = now;
        } else if (now - lastProgress >= STALL_LIMIT) {
            break;
        }
        std::this_thread::sleep_for(DRAIN_PAUSE);
    }
    snd_rawmidi_status_free(status);
    return sent;
}

}  // namespace platform::alsa
