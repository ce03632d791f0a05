// The MIDI systems on which tarnet-devsim plays the device: a raw MIDI device (at the far end of a
// cable or a USB gadget), the ALSA sequencer (one client of the device's name), JACK (two clients
// of its own) and, where neither can be had, RtMidi's virtual ports.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "DeviceSimulator.h"
#include "DevsimOptions.h"
#include "HostInput.h"

// Where the device's messages go: the send of the transport whose output is open. The device
// must exist before input can arrive, and the output port before the device can send: the
// device's worker thread sends through this holder, which main's thread fills once the port is
// open and empties before the port closes.
class DeviceOutput {
public:
    // Returns false when the transport refused the message.
    using Send = std::function<bool(const std::vector<uint8_t>&)>;

    // From now on the device's messages go to `send`; `refusal` is printed for each it refuses.
    void Attach(Send send, std::string refusal);
    // No message goes out any more once it returns.
    void Detach();

    // The device's send function; runs on the device's worker thread.
    devsim::DeviceSimulator::SendFunction Function();

private:
    std::mutex m_lock;  // guards both below: written by main's thread, read by the device's worker
    Send m_send;
    std::string m_refusal;
};

// Each plays the device until the update ends (WaitForEnd), closes its ports and returns the exit
// status; the optional ones return nullopt, with nothing left open, when their MIDI system can't
// be had, so that main tries the next.
int RunOnRawMidi(const DevsimOptions& options, devsim::DeviceSimulator& device, DeviceOutput& output);
std::optional<int> RunOnAlsaSequencer(const DevsimOptions& options, devsim::DeviceSimulator& device,
                                      DeviceOutput& output, HostInput& input);
std::optional<int> RunOnJack(const DevsimOptions& options, devsim::DeviceSimulator& device, DeviceOutput& output,
                             HostInput& input);
int RunOnRtMidi(const DevsimOptions& options, devsim::DeviceSimulator& device, DeviceOutput& output,
                HostInput& input);
