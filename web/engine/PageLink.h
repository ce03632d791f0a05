// What the engine's side of the web edition (the worker) has of the page: messages both ways, the
// MIDI bytes that go out, and the wait for the next message. The WebAssembly program has it over
// the worker's message port (web/main/); the tests have a page of their own.
//
// Messages from the page are JSON objects whose "t" names them, and MIDI bytes beside the JSON:
//   {"t":"start","instance":N}                        the page holds instance number N (1..20)
//   {"t":"ports","inputs":[{"id":..,"name":..}],"outputs":[..]}   the connected ports, after each change
//   {"t":"midi","port":ID[,"lost":N]} + bytes         what input port ID received (N messages dropped before)
//   {"t":"select","list":"in"|"out","index":I,"gen":G}   the user picked entry I of list G
//   {"t":"execute"} {"t":"rescan"}                   the buttons (and Enter)
//   {"t":"dismiss","box":B}                           error box B was closed
//   {"t":"report","records":["<record JSON>",..]}    make the report of these records
//   {"t":"close"}                                     the page is going away
// Messages to the page are listed in WebWindow.h and WebApp.h.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct PageEvent {
    std::string json;
    std::vector<std::uint8_t> bytes;  // the MIDI bytes of a "midi" message
};

class IPageLink {
public:
    virtual ~IPageLink() = default;
    // A message to the page.
    virtual void Post(const std::string& json) = 0;
    // One whole MIDI message for output port `portId`; false when it can't be handed to the page.
    virtual bool SendMidi(const std::string& portId, const std::uint8_t* bytes, std::size_t length) = 0;
    // The oldest message from the page that has not been taken; false when none waits.
    virtual bool Take(PageEvent& event) = 0;
    // Waits until a message from the page waits or `limit` has passed. Runs nothing of the
    // program meanwhile: the page's messages only queue up.
    virtual void Wait(std::chrono::milliseconds limit) = 0;
    // The loop's clock.
    virtual std::chrono::steady_clock::time_point Now() = 0;
};
