// The simulated device's ports on JACK: two clients of the device's name, as a device whose two
// directions live in two clients: "NAME" with the input port "NAME" (the host's output lands
// there) and "NAME-01" (the server makes the name unique) with the output port "NAME", so that
// both directions are listed as NAME.
//
// Threads. Each client's process callback runs on JACK's process thread and never allocates,
// locks, throws or calls out: the input's copies every event into a ring (EventRing, made by
// Open with room for the fullest cycle the server can carry, RING_CYCLES times over) and wakes
// the ports' drain thread; the output's writes what Send queued. The drain thread (started by
// Open, ended by CloseInput) hands each event to the receiver, whole. A full input ring drops
// the event and counts it (LostEvents); the receiver learns of the loss before the next event.
// Send runs on the device's sending threads, one at a time. The shutdown callbacks (JACK's
// notification thread, or the process thread when its wait for the server fails) only set a
// flag: once the server has gone, Send drops everything and the clients are never called again.
#pragma once

#include <jack/jack.h>
#include <semaphore.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/EventRing.h"

namespace devsim {

class JackDevicePorts {
public:
    // What the ports hand on, on their drain thread.
    class Receiver {
    public:
        // One event of the host, whole (a long SysEx message may come as several).
        virtual void OnEvent(const std::uint8_t* bytes, std::size_t count) = 0;
        // `events` events of the host were lost just before the next one.
        virtual void OnLost(std::uint32_t events) = 0;

    protected:
        ~Receiver() = default;
    };

    static constexpr std::size_t RING_CYCLES = 4;
    // Room of the output queue; the device's messages are short, a burst of requests included.
    static constexpr std::size_t OUT_QUEUE_SIZE = 65536;
    // Longest part of a message that goes as one event (a longer one goes as several, in order).
    static constexpr std::size_t SPAN = 8192;
    // Longest wait for room in the output queue, or for it to go out, before giving up.
    static constexpr std::chrono::milliseconds STALL_LIMIT{2000};

    explicit JackDevicePorts(Receiver& receiver) : m_receiver(receiver) {}
    ~JackDevicePorts();  // Close
    JackDevicePorts(const JackDevicePorts&) = delete;
    JackDevicePorts& operator=(const JackDevicePorts&) = delete;

    // Opens both clients with their ports, activated; false when no JACK server answers.
    bool Open(const std::string& name);
    // Queues one message for the output; false when it did not go whole (no room in time, or the
    // server went away).
    bool Send(const std::uint8_t* bytes, std::size_t length);
    // No event reaches the receiver once it returns.
    void CloseInput();
    // Lets what was sent go out (bounded), then closes the clients (CloseInput first).
    void Close();

    // Events the input dropped because its ring was full. Any thread.
    std::uint64_t LostEvents() const { return m_lostEvents.load(std::memory_order_relaxed); }

private:
    static int OnInProcess(jack_nframes_t frames, void* arg);
    static int OnOutProcess(jack_nframes_t frames, void* arg);
    static void OnShutdown(void* arg);
    void Drain();
    bool Usable() const { return !m_gone.load(std::memory_order_acquire); }

    Receiver& m_receiver;
    // Set by Open (before activation) and Close; the process callbacks read them only while the
    // clients are active.
    jack_client_t* m_inClient = nullptr;
    jack_client_t* m_outClient = nullptr;
    jack_port_t* m_inPort = nullptr;
    jack_port_t* m_outPort = nullptr;

    platform::EventRing m_in;   // in-client's process thread -> drain thread
    platform::EventRing m_out;  // senders -> out-client's process thread
    std::uint32_t m_dropped = 0;  // in-client's process thread only: the tag of the next record
    std::atomic<std::uint64_t> m_lostEvents{0};  // written by the input's process thread

    // The drain thread: started by Open, joined by CloseInput; woken through m_wake.
    std::thread m_drain;
    sem_t m_wake{};
    bool m_wakeMade = false;  // Open's and Close's thread only
    // Set by the input's process callback before it posts, cleared by the drain thread before a
    // pass: one post per pass at most.
    std::atomic<bool> m_wakePending{false};
    std::atomic<bool> m_stopDrain{false};   // set by CloseInput before its post
    std::atomic<bool> m_inputOpen{false};   // the input's process callback writes only while set

    // Set by a shutdown callback; read by every thread.
    std::atomic<bool> m_gone{false};
    // Written by the output's process callback; read by Close's flush.
    std::atomic<std::uint64_t> m_outCycles{0};
    std::atomic<std::uint64_t> m_lastWriteCycle{0};
    std::vector<std::uint8_t> m_event;  // drain thread: the record being handed on, whole
};

}  // namespace devsim
