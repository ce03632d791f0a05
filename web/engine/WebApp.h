// The web edition's program, apart from the bridge to the browser: the page's messages
// (PageLink.h) dispatched to the main window (WebWindow.h), the MIDI backends kept to the page's
// ports, and the records and reports. Besides the window's messages it tells the page:
//   {"t":"hello","texts":{..}}          first: every text the page shows that is not the window's
//   {"t":"listen","ports":[ids]}        the input ports whose bytes the page relays
//   {"t":"record","json":..}            the record of a run that has ended (UpdateRecord.h's JSON)
//   {"t":"report","text":..,"dropped":N}   the report document asked for; N records were unreadable
// The window exists from the page's "start" (with the instance number that the page holds) on.
//
// One thread (EventLoop.h). Messages that are malformed or out of place are dropped.
#pragma once

#include <memory>
#include <optional>

#include "EventLoop.h"
#include "PageLink.h"
#include "UpdateEngine.h"
#include "WebWindow.h"
#include "platform/webmidi/LoopTimerService.h"
#include "platform/webmidi/WebMidiIn.h"
#include "platform/webmidi/WebMidiOut.h"

class WebApp {
public:
    // The backends and the timer must outlive the program; `timings` are the product's unless a
    // test gives shorter ones.
    WebApp(IPageLink& page, platform::WebMidiInApi& midiIn, platform::WebMidiOutApi& midiOut,
           platform::LoopTimerService& timers, EngineTimings timings = {});
    ~WebApp();
    WebApp(const WebApp&) = delete;
    WebApp& operator=(const WebApp&) = delete;

    // Greets the page (the first time), then runs the event loop; returns only when `until` says
    // so (tests).
    void Run(const std::function<bool()>& until = {});

    void OnPageEvent(const PageEvent& event);

    EventLoop& Loop() { return m_loop; }
    // Null before "start", and for a start that was refused.
    WebWindow* Window() const { return m_window.get(); }
    int InstanceNumber() const { return m_instance; }

private:
    void Hello();
    void Start(int instance);
    void OnPorts(const std::string& json);
    void AfterPass();
    void Report(const std::string& json);

    IPageLink& m_page;
    platform::WebMidiInApi& m_midiIn;
    platform::WebMidiOutApi& m_midiOut;
    platform::LoopTimerService& m_timers;
    const EngineTimings m_timings;
    EventLoop m_loop;
    std::unique_ptr<WebWindow> m_window;
    int m_instance = 0;
    bool m_greeted = false;
    // The page's ports changed while a run was under way: the lists are refilled once it is over.
    bool m_listsStale = false;
};
