#include "UpdateEngine.h"

namespace {

// Output side of a system without MIDI output: nothing opens.
class NoMidiOut final : public platform::IMidiOutApi {
public:
    std::uint32_t GetNumDevs() override { return 0; }
    platform::MidiResult GetDevCaps(std::uint32_t, platform::MidiDevCaps&) override { return platform::MIDI_ERR_NODRIVER; }
    platform::MidiResult Open(platform::MidiOutHandle* handle, std::uint32_t) override {
        *handle = nullptr;
        return platform::MIDI_ERR_NODRIVER;
    }
    platform::MidiResult PrepareHeader(platform::MidiOutHandle, platform::MidiHeader*) override { return platform::MIDI_ERR_INVALHANDLE; }
    platform::MidiResult LongMsg(platform::MidiOutHandle, platform::MidiHeader*) override { return platform::MIDI_ERR_INVALHANDLE; }
    platform::MidiResult Reset(platform::MidiOutHandle) override { return platform::MIDI_ERR_INVALHANDLE; }
    platform::MidiResult UnprepareHeader(platform::MidiOutHandle, platform::MidiHeader*) override { return platform::MIDI_ERR_INVALHANDLE; }
    platform::MidiResult Close(platform::MidiOutHandle) override { return platform::MIDI_ERR_INVALHANDLE; }
};

// Input side of a system without MIDI input: nothing opens.
class NoMidiIn final : public platform::IMidiInApi {
public:
    std::uint32_t GetNumDevs() override { return 0; }
    platform::MidiResult GetDevCaps(std::uint32_t, platform::MidiDevCaps&) override { return platform::MIDI_ERR_NODRIVER; }
    platform::MidiResult Open(platform::MidiInHandle* handle, std::uint32_t, platform::MidiInProc, std::uintptr_t) override {
        *handle = nullptr;
        return platform::MIDI_ERR_NODRIVER;
    }
    platform::MidiResult Reset(platform::MidiInHandle) override { return platform::MIDI_ERR_INVALHANDLE; }
    platform::MidiResult PrepareHeader(platform::MidiInHandle, platform::MidiHeader*) override { return platform::MIDI_ERR_INVALHANDLE; }
    platform::MidiResult AddBuffer(platform::MidiInHandle, platform::MidiHeader*) override { return platform::MIDI_ERR_INVALHANDLE; }
    platform::MidiResult Start(platform::MidiInHandle) override { return platform::MIDI_ERR_INVALHANDLE; }
    platform::MidiResult Stop(platform::MidiInHandle) override { return platform::MIDI_ERR_INVALHANDLE; }
    platform::MidiResult UnprepareHeader(platform::MidiInHandle, platform::MidiHeader*) override { return platform::MIDI_ERR_INVALHANDLE; }
    platform::MidiResult Close(platform::MidiInHandle) override { return platform::MIDI_ERR_INVALHANDLE; }
};

// A platform without a timer service: no event can be created.
class NoTimer final : public platform::ITimerService {
public:
    platform::TimerResult GetDevCaps(platform::TimeCaps& caps) override {
        caps = {1, 1000000};
        return platform::TIMER_OK;
    }
    platform::TimerResult BeginPeriod(std::uint32_t) override { return platform::TIMER_OK; }
    platform::TimerResult EndPeriod(std::uint32_t) override { return platform::TIMER_OK; }
    std::uint32_t SetEvent(std::uint32_t, std::uint32_t, platform::TimerProc, std::uintptr_t, std::uint32_t) override { return 0; }
    platform::TimerResult KillEvent(std::uint32_t) override { return platform::TIMER_ERR; }
};

platform::IMidiInApi& InputOf(const EnginePlatform& p) {
    static NoMidiIn none;
    return p.midiIn != nullptr ? *p.midiIn : none;
}

platform::ITimerService& TimerOf(const EnginePlatform& p) {
    static NoTimer none;
    return p.timer != nullptr ? *p.timer : none;
}

platform::IMidiOutApi& OutputOf(const EnginePlatform& p) {
    static NoMidiOut none;
    return p.midiOut != nullptr ? *p.midiOut : none;
}

bool Is7Bit(std::uint8_t b) {
    return (b & 0x80u) == 0;
}

}  // namespace

CUpdateEngine::CUpdateEngine(std::shared_ptr<IUpdateHost> host, const EnginePlatform& platform,
                             EngineTimings timings, const std::uint8_t* image)
    : m_midiIn(InputOf(platform)),
      m_midiOut(OutputOf(platform)),
      m_timer(TimerOf(platform)),
      m_hostOwner(std::move(host)),
      m_host(*m_hostOwner),
      m_platform(platform),
      m_timings(timings),
      m_pImage(image) {
    m_reply.UseScheduler(platform.scheduler);
    m_reply.SetRepeatWindow(std::chrono::milliseconds(m_timings.repeatWindowMs));
}

CUpdateEngine::CUpdateEngine(IUpdateHost& host, const EnginePlatform& platform, const std::uint8_t* image)
    : m_midiIn(InputOf(platform)),
      m_midiOut(OutputOf(platform)),
      m_timer(TimerOf(platform)),
      m_host(host),
      m_platform(platform),
      m_timings(),
      m_pImage(image) {
    m_reply.UseScheduler(platform.scheduler);
    m_reply.SetRepeatWindow(std::chrono::milliseconds(m_timings.repeatWindowMs));
}

CUpdateEngine::~CUpdateEngine() {
    // No tick may run against members that are going away: the timer goes first.
    m_timer.Stop();
    m_midiIn.Stop();
}

std::uint32_t CUpdateEngine::StartPollTimer() {
    return m_timer.Start(m_timings.pollPeriodMs, &CUpdateEngine::OnPollTimer,
                         reinterpret_cast<std::uintptr_t>(this));
}

void CUpdateEngine::OnWindowClosing() {
    // The run learns of the closing before its send fails, so it ends silently.
    m_reply.Close();
    m_midiOut.Abandon();
    m_midiIn.Stop();
}

void CUpdateEngine::ReleaseTimer() {
    m_timer.Stop();
}

namespace {

// The devices of one port, names and units.
template <typename Port>
CUpdateEngine::DeviceListing DevicesOf(Port& port) {
    CUpdateEngine::DeviceListing listing;
    // One count, one listing: the names are read from the listing that the count took, so a
    // device that comes or goes during the scan cannot shift the names against their indices.
    // Each unit is asked for right after its name, of the device that the name was shown for.
    const std::uint32_t count = port.GetDeviceCount();
    for (std::uint32_t i = 0; i < count; ++i) {
        char name[platform::MAX_PNAME_LEN] = {};
        port.GetDeviceName(i, name);
        name[platform::MAX_PNAME_LEN - 1] = '\0';
        listing.names.emplace_back(name);
        listing.units.push_back(port.GetDeviceUnit(i));
    }
    return listing;
}

}  // namespace

CUpdateEngine::DeviceListing CUpdateEngine::MidiInDevices() {
    return DevicesOf(m_midiIn);
}

CUpdateEngine::DeviceListing CUpdateEngine::MidiOutDevices() {
    // Enumeration does not touch the open device, so it needs no send lock.
    return DevicesOf(m_midiOut);
}

void CUpdateEngine::SelectMidiOut(int deviceIndex) {
    m_midiOutSelection.store(deviceIndex);
}

bool CUpdateEngine::HasPendingDeviceMessages() {
    const std::uint8_t* bytes = nullptr;
    std::uint32_t length = 0;
    return m_midiIn.PeekReceived(&bytes, &length);
}

void CUpdateEngine::SetOutputDoneWaitLimit(std::chrono::milliseconds base,
                                           std::chrono::microseconds perByte) {
    std::lock_guard<std::mutex> lock(g_sendLock);
    m_midiOut.SetDoneWaitLimit(base, perByte);
}

int CUpdateEngine::SendSysEx(const std::uint8_t* msg, int length, SentAt* leftAt) {
    if (msg == nullptr || length <= 0) return SEND_NOT_OPENED;
    const int selection = m_midiOutSelection.load();
    std::lock_guard<std::mutex> lock(g_sendLock);
    return SendLocked(msg, length, selection, leftAt);
}

int CUpdateEngine::SendDataBlock(std::uint8_t model, std::int32_t address, std::int32_t length,
                                 SentAt* leftAt) {
    // The device chooses the ranges it asks for; one that leaves the image is refused unread.
    const auto data = ImageBlockView(m_pImage, address, length);
    if (!data || !Is7Bit(model)) return SEND_NOT_OPENED;
    const int selection = m_midiOutSelection.load();
    std::lock_guard<std::mutex> lock(g_sendLock);
    const int n = AssembleDataBlock(g_sendBuffer, model, static_cast<std::uint32_t>(address), *data);
    return SendLocked(g_sendBuffer, n, selection, leftAt);
}

int CUpdateEngine::SendStatus(std::uint8_t code) {
    const std::uint8_t model = g_modelId.load();
    if (!Is7Bit(model) || !Is7Bit(code)) return SEND_NOT_OPENED;
    const int selection = m_midiOutSelection.load();
    std::lock_guard<std::mutex> lock(g_sendLock);
    const int n = AssembleStatus(g_sendBuffer, model, code);
    return SendLocked(g_sendBuffer, n, selection);
}

int CUpdateEngine::SendCommand(const std::uint8_t (&tmpl)[COMMAND_LENGTH], std::uint8_t model,
                               SentAt* leftAt) {
    if (!Is7Bit(model)) return SEND_NOT_OPENED;
    const int selection = m_midiOutSelection.load();
    std::lock_guard<std::mutex> lock(g_sendLock);
    const int n = AssembleCommand(g_sendBuffer, tmpl, model);
    return SendLocked(g_sendBuffer, n, selection, leftAt);
}

int CUpdateEngine::SendIdentityRequest(SentAt* leftAt) {
    return SendSysEx(g_identityRequest, IDENTITY_REQUEST_LENGTH, leftAt);
}

int CUpdateEngine::SendIdentityReply() {
    const int selection = m_midiOutSelection.load();
    std::lock_guard<std::mutex> lock(g_sendLock);
    return SendLocked(g_identityReply, IDENTITY_REPLY_LENGTH, selection);
}

int CUpdateEngine::SendLocked(const std::uint8_t* msg, int length, int selection, SentAt* leftAt) {
    // A device that has left is not opened again: its index may name another device by now.
    if (m_midiOut.DeviceGone()) return SEND_NOT_OPENED;
    if (!m_midiOut.Open(static_cast<std::uint32_t>(selection))) return SEND_NOT_OPENED;
    platform::MidiHeader header{};
    // The platform header names mutable bytes; the output only reads them.
    header.lpData = reinterpret_cast<char*>(const_cast<std::uint8_t*>(msg));
    header.dwBufferLength = static_cast<std::uint32_t>(length);
    const bool sent = m_midiOut.SendLong(&header);
    // Read under the send lock, before another message can go out.
    if (sent && leftAt != nullptr) *leftAt = m_midiOut.LastSendLeftAt();
    m_midiOut.Close();
    return sent ? SEND_OK : SEND_FAILED;
}
