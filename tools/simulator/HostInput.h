// What the host sends, on its way from the MIDI system into the device: whole SysEx messages made
// of the pieces the MIDI system delivers, handed over on a thread of the program's own.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "DeviceSimulator.h"

// Collects what the MIDI system hands over into whole SysEx messages. A JACK host may deliver one
// long message as several events: the first starts with F0 and lacks the F7, the following ones
// carry no F0. Used by one thread only: the input pump's, or the JACK ports' drain thread.
class SysExAssembler {
public:
    static constexpr size_t MAX_MESSAGE = 65536;

    explicit SysExAssembler(devsim::DeviceSimulator& device) : m_device(device) {}

    void Feed(const unsigned char* data, size_t size);

    // Events were lost before the next one: a message in progress can't end whole, and the device
    // sees it as it is.
    void Interrupt() { Flush(); }

private:
    void Flush();

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

    InputPump(const InputPump&) = delete;
    InputPump& operator=(const InputPump&) = delete;

    // RtMidi's input callback; runs on the MIDI system's input thread.
    static void OnMidiIn(double, std::vector<unsigned char>* message, void* user);

    // Queues a copy of the bytes; runs on the MIDI system's input thread.
    void Push(const unsigned char* data, size_t size) noexcept;

    // Ends the pump's thread; what is still queued is dropped. Idempotent.
    void Stop();

private:
    void Run();

    SysExAssembler& m_assembler;
    std::mutex m_lock;                  // guards the queue and m_stopping
    std::condition_variable m_wake;     // the pump's thread: queue or m_stopping changed
    std::deque<std::vector<unsigned char>> m_queue;
    bool m_stopping = false;
    std::thread m_thread;  // last: starts when the members above exist
};

// The whole way in: the pump hands over to the assembler, which feeds the device. The JACK ports
// feed the assembler themselves, from their drain thread.
struct HostInput {
    explicit HostInput(devsim::DeviceSimulator& device) : assembler(device), pump(assembler) {}

    SysExAssembler assembler;
    InputPump pump;  // after the assembler that it feeds
};
