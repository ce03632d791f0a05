// The texts of the web edition's page that the desktop programs don't have: what the page says
// when the browser can't reach MIDI devices, and the parts of the desktop's texts that a page
// shows differently (a menu entry's mnemonic). The page takes every text it shows from here and
// from the shared string table, through its "hello" message (WebApp.h).
#pragma once

#include <string>

enum class WebText {
    NoWebMidi,        // the browser has no Web MIDI
    NotSecure,        // the page was not loaded from https:// (or localhost)
    SysExRefused,     // the browser refused access with System Exclusive
    NoMidiSystem,     // the browser has Web MIDI but found no MIDI system to reach
    NoDevices,        // access granted, no MIDI device connected
    ProgramName,      // the caption of the refusal of a further copy
    ReportProgram,    // the "program" of a downloaded report
};

const char* WebTextOf(WebText text);

// A menu text with its mnemonic ("About Tarnet Updater(&A)..."): the text as shown, without the
// ampersand ("About Tarnet Updater(A)..."), and the key ("A"; empty without one). "&&" stands for
// an ampersand.
struct MnemonicLabel {
    std::string label;
    std::string key;
};
MnemonicLabel SplitMnemonic(const std::string& text);
