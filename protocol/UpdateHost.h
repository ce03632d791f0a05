// What the update engine needs of the window that shows it. The Qt main window implements this;
// tests and the command-line runner supply their own.
//
// Every request is carried out synchronously on the window's own thread, in the order in which the
// requests are made, whichever thread makes them (the update worker, the timer thread). Once the
// window is gone a request fails at once: queries answer "no selection", the others return false.
#pragma once

#include <string>

enum class HostControl { MidiInList, MidiOutList, Execute, Rescan };

class IUpdateHost {
public:
    virtual ~IUpdateHost() = default;

    // Selected position of the MIDI OUT / MIDI IN list (= device index); -1 with no selection.
    virtual int GetMidiOutSelection() = 0;
    virtual int GetMidiInSelection() = 0;

    // The one-line status text.
    virtual bool SetStatusText(const std::string& text) = 0;
    // The progress bar's position, 0..IMAGE_SIZE.
    virtual bool SetProgressPos(int position) = 0;
    // Enables or disables one of the four controls.
    virtual bool EnableControl(HostControl control, bool enable) = 0;
    // A modal message box owned by the window, caption "Error", stop icon, one OK button. Returns
    // when the user has dismissed it.
    virtual bool ShowErrorBox(const std::string& text) = 0;
};

// A host without a window, for programs that drive the engine on their own (tools, benchmarks,
// fuzzing): it selects the first MIDI IN and MIDI OUT device and shows nothing.
class HeadlessHost final : public IUpdateHost {
public:
    int GetMidiOutSelection() override { return 0; }
    int GetMidiInSelection() override { return 0; }
    bool SetStatusText(const std::string&) override { return true; }
    bool SetProgressPos(int) override { return true; }
    bool EnableControl(HostControl, bool) override { return true; }
    bool ShowErrorBox(const std::string&) override { return true; }
};
