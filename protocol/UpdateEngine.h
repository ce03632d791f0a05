// The update protocol engine: holds the image pointer and the MIDI output port, and builds and
// sends every message of the update protocol. Qt-free; the window is reached through IUpdateHost.
//
// Sends are made from two threads (the update worker and the timer thread that answers the
// device) and are serialised process-wide by g_sendLock. Every send function returns 0 when the
// message was handed to the output device and -1 when nothing was sent (the output device could
// not be opened, or the message was refused before assembly). No send allocates memory.
#pragma once

#include <cstdint>

#include "CMidiOutPort.h"
#include "FirmwareImage.h"
#include "Messages.h"
#include "UpdateHost.h"
#include "platform/MidiApi.h"
#include "platform/TimerApi.h"

// The platform services the engine runs on. A null entry stands for a system that has no such
// service (an output that can't be opened, for instance).
struct EnginePlatform {
    platform::IMidiOutApi* midiOut = nullptr;
    platform::IMidiInApi* midiIn = nullptr;
    platform::ITimerService* timer = nullptr;

    // The services of the running platform (RtMidi or WinMM, the platform's timer).
    static EnginePlatform Default();
};

class CUpdateEngine {
public:
    // `image`: IMAGE_SIZE bytes that stay valid and unchanged for the engine's life.
    CUpdateEngine(IUpdateHost& host, const EnginePlatform& platform,
                  const std::uint8_t* image = LoadFirmwareImage());
    ~CUpdateEngine() = default;
    CUpdateEngine(const CUpdateEngine&) = delete;
    CUpdateEngine& operator=(const CUpdateEngine&) = delete;

    const std::uint8_t* Image() const { return m_pImage; }

    // Sends one complete message (0xF0 .. 0xF7) through the output device selected in the
    // host's MIDI OUT list (read afresh for every message; -1 = no selection goes to the platform
    // unchanged): open, send and wait until it has gone out, close. 0 when handed over, -1 when
    // the output device failed to open or `msg`/`length` describe no message (nothing sent).
    int SendSysEx(const std::uint8_t* msg, int length);
    // Data block of the image range at device address `address`, `length` bytes, with `model` at
    // index 3. -1 without sending when the range is not inside the image, `length` is not in
    // 0..MAX_BLOCK_LENGTH or `model` is not a 7-bit value.
    int SendDataBlock(std::uint8_t model, std::int32_t address, std::int32_t length);
    // STATUS reply with g_modelId and `code` (0 = acknowledged, 1 = not recognised). -1 without
    // sending for a code or model with bit 7 set.
    int SendStatus(std::uint8_t code);
    // A command from a 6-byte template (g_eraseTemplate, g_finishTemplate) with `model` at
    // index 3. -1 without sending for a model with bit 7 set.
    int SendCommand(const std::uint8_t (&tmpl)[COMMAND_LENGTH], std::uint8_t model);
    int SendErase(std::uint8_t model) { return SendCommand(g_eraseTemplate, model); }
    int SendFinish(std::uint8_t model) { return SendCommand(g_finishTemplate, model); }
    // The Identity Request and the host Identity Reply, sent straight from their templates.
    int SendIdentityRequest();
    int SendIdentityReply();

private:
    // Open, SendLong, Close on output device `selection`. Must be called with g_sendLock held;
    // `msg` stays untouched until it returns.
    int SendLocked(const std::uint8_t* msg, int length, int selection);

    IUpdateHost& m_host;
    EnginePlatform m_platform;
    const std::uint8_t* const m_pImage;
    CMidiOutPort m_midiOut;  // used only with g_sendLock held
};
