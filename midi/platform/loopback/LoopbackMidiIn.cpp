#include "LoopbackMidiIn.h"

#include <algorithm>
#include <cstring>

#include "platform/SysExReceiveQueue.h"

namespace platform {

struct LoopbackMidiIn::Device {
    std::string name;
    bool vanished = false;        // guarded by LoopbackMidiIn::m_mutex
    std::weak_ptr<Input> input;   // guarded by LoopbackMidiIn::m_mutex
};

// One open input; its address is the handle.
struct LoopbackMidiIn::Input {
    Input(std::shared_ptr<Device> dev, MidiInProc callback, std::uintptr_t instance)
        : device(std::move(dev)),
          queue(callback, reinterpret_cast<MidiInHandle>(this), instance) {}
    const std::shared_ptr<Device> device;
    SysExReceiveQueue queue;
};

LoopbackMidiIn::LoopbackMidiIn(std::vector<std::string> deviceNames) {
    for (auto& name : deviceNames) AddDevice(name);
}

LoopbackMidiIn::~LoopbackMidiIn() = default;

std::uint32_t LoopbackMidiIn::AddDevice(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto device = std::make_shared<Device>();
    device->name = name;
    m_devices.push_back(std::move(device));
    return static_cast<std::uint32_t>(m_devices.size() - 1);
}

bool LoopbackMidiIn::RemoveDevice(const std::string& name) {
    std::shared_ptr<Input> input;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = std::find_if(m_devices.begin(), m_devices.end(),
                               [&](const auto& d) { return d->name == name; });
        if (it == m_devices.end()) return false;
        (*it)->vanished = true;
        input = (*it)->input.lock();
        m_devices.erase(it);
    }
    // Without the lock, as every callback: the input may be closed meanwhile, and a closed queue
    // tells nothing.
    if (input) input->queue.DeviceGone();
    return true;
}

bool LoopbackMidiIn::Deliver(std::uint32_t index, const std::vector<std::uint8_t>& bytes) {
    std::shared_ptr<Device> device;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (index >= m_devices.size()) return false;
        device = m_devices[index];
    }
    return DeliverTo(device, bytes);
}

bool LoopbackMidiIn::Deliver(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    std::shared_ptr<Device> device;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = std::find_if(m_devices.begin(), m_devices.end(),
                               [&](const auto& d) { return d->name == name; });
        if (it == m_devices.end()) return false;
        device = *it;
    }
    return DeliverTo(device, bytes);
}

bool LoopbackMidiIn::DeliverTo(const std::shared_ptr<Device>& device,
                               const std::vector<std::uint8_t>& bytes) {
    std::shared_ptr<Input> input;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (device->vanished) return false;
        input = device->input.lock();
    }
    if (!input) return false;
    // Without the lock: the callback comes back into AddBuffer. The shared pointer keeps the input
    // alive even if it is closed meanwhile; a closed queue drops the bytes.
    input->queue.Receive(bytes.data(), bytes.size());
    return true;
}

void LoopbackMidiIn::FailNext(MidiInStep step, MidiResult result) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_failures[step] = result;
}

void LoopbackMidiIn::SetHook(MidiInStep step, std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (hook) {
        m_hooks[step] = std::make_shared<std::function<void()>>(std::move(hook));
    } else {
        m_hooks.erase(step);
    }
}

std::size_t LoopbackMidiIn::OpenHandleCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_inputs.size();
}

std::size_t LoopbackMidiIn::PreparedHeaderCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::size_t n = m_preparedAtClose;
    for (const auto& [handle, input] : m_inputs) n += input->queue.PreparedCount();
    return n;
}

std::size_t LoopbackMidiIn::QueuedBufferCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::size_t n = 0;
    for (const auto& [handle, input] : m_inputs) n += input->queue.QueuedCount();
    return n;
}

std::size_t LoopbackMidiIn::OpenCalls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_openCalls;
}

MidiResult LoopbackMidiIn::Enter(MidiInStep step) {
    std::shared_ptr<std::function<void()>> hook;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_hooks.find(step);
        if (it != m_hooks.end()) hook = it->second;
    }
    if (hook) (*hook)();
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_failures.find(step);
    if (it == m_failures.end()) return MIDI_OK;
    const MidiResult result = it->second;
    m_failures.erase(it);
    return result;
}

std::shared_ptr<LoopbackMidiIn::Input> LoopbackMidiIn::Find(MidiInHandle handle) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_inputs.find(handle);
    return it == m_inputs.end() ? nullptr : it->second;
}

std::uint32_t LoopbackMidiIn::GetNumDevs() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<std::uint32_t>(m_devices.size());
}

MidiResult LoopbackMidiIn::GetDevCaps(std::uint32_t index, MidiDevCaps& caps) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (index >= m_devices.size()) return MIDI_ERR_BADDEVICEID;
    SetProductName(caps, m_devices[index]->name);
    return MIDI_OK;
}

MidiResult LoopbackMidiIn::Open(MidiInHandle* handle, std::uint32_t index, MidiInProc callback,
                                std::uintptr_t instance) {
    if (handle == nullptr || callback == nullptr) return MIDI_ERR_GENERIC;
    if (MidiResult r = Enter(MidiInStep::Open); r != MIDI_OK) return r;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (index >= m_devices.size()) return MIDI_ERR_BADDEVICEID;
    const auto& device = m_devices[index];
    if (device->input.lock()) return MIDI_ERR_ALLOCATED;
    auto input = std::make_shared<Input>(device, callback, instance);
    const auto h = reinterpret_cast<MidiInHandle>(input.get());
    device->input = input;
    m_inputs.emplace(h, std::move(input));
    ++m_openCalls;
    *handle = h;
    return MIDI_OK;
}

MidiResult LoopbackMidiIn::Reset(MidiInHandle handle) {
    if (MidiResult r = Enter(MidiInStep::Reset); r != MIDI_OK) return r;
    auto input = Find(handle);
    return input ? input->queue.Reset() : MIDI_ERR_INVALHANDLE;
}

MidiResult LoopbackMidiIn::PrepareHeader(MidiInHandle handle, MidiHeader* header) {
    if (MidiResult r = Enter(MidiInStep::PrepareHeader); r != MIDI_OK) return r;
    auto input = Find(handle);
    return input ? input->queue.PrepareHeader(header) : MIDI_ERR_INVALHANDLE;
}

MidiResult LoopbackMidiIn::AddBuffer(MidiInHandle handle, MidiHeader* header) {
    if (MidiResult r = Enter(MidiInStep::AddBuffer); r != MIDI_OK) return r;
    auto input = Find(handle);
    return input ? input->queue.AddBuffer(header) : MIDI_ERR_INVALHANDLE;
}

MidiResult LoopbackMidiIn::Start(MidiInHandle handle) {
    if (MidiResult r = Enter(MidiInStep::Start); r != MIDI_OK) return r;
    auto input = Find(handle);
    if (!input) return MIDI_ERR_INVALHANDLE;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (input->device->vanished) return MIDI_ERR_NODRIVER;
    }
    return input->queue.Start();
}

MidiResult LoopbackMidiIn::Stop(MidiInHandle handle) {
    if (MidiResult r = Enter(MidiInStep::Stop); r != MIDI_OK) return r;
    auto input = Find(handle);
    return input ? input->queue.Stop() : MIDI_ERR_INVALHANDLE;
}

MidiResult LoopbackMidiIn::UnprepareHeader(MidiInHandle handle, MidiHeader* header) {
    if (MidiResult r = Enter(MidiInStep::UnprepareHeader); r != MIDI_OK) return r;
    auto input = Find(handle);
    return input ? input->queue.UnprepareHeader(header) : MIDI_ERR_INVALHANDLE;
}

MidiResult LoopbackMidiIn::Close(MidiInHandle handle) {
    if (MidiResult r = Enter(MidiInStep::Close); r != MIDI_OK) return r;
    auto input = Find(handle);
    if (!input) return MIDI_ERR_INVALHANDLE;
    // Not under m_mutex: Close waits for a callback in flight, which may call AddBuffer.
    if (MidiResult r = input->queue.Close(); r != MIDI_OK) return r;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_preparedAtClose += input->queue.PreparedCount();
    input->device->input.reset();  // a Deliver in progress may still hold the closed input
    m_inputs.erase(handle);
    return MIDI_OK;
}

}  // namespace platform
