#include "WebTexts.h"

const char* WebTextOf(WebText text) {
    switch (text) {
        case WebText::NoWebMidi:
            return "This browser can't reach MIDI devices: it has no Web MIDI. Open this page in Chrome, Edge or "
                   "Opera (on Windows, macOS, Linux, ChromeOS or Android), or in Firefox, which asks to install its "
                   "site permission for MIDI. Safari can't update the device.";
        case WebText::NotSecure:
            return "The browser keeps MIDI devices from this page because it was not loaded over a secure "
                   "connection. Open it from its https:// address (or from localhost on this computer).";
        case WebText::SysExRefused:
            return "The browser did not let this page send System Exclusive messages, which the update needs. "
                   "Allow this site to control and reprogram your MIDI devices: open the site's settings "
                   "(the icon left of the address), set MIDI devices to Allow, then reload the page.";
        case WebText::NoMidiSystem:
            return "The browser found no MIDI system on this computer to reach the device through (on Linux it "
                   "uses the ALSA sequencer). Connect the device, then reload the page.";
        case WebText::NoDevices:
            return "No MIDI device is connected. Connect the device, put it into its version-up mode and press "
                   "\"Rescan Device\".";
        case WebText::ProgramName:
            return "tarnet-updater";
        case WebText::ReportProgram:
            return "tarnet-updater-web";
    }
    return "";
}

MnemonicLabel SplitMnemonic(const std::string& text) {
    MnemonicLabel result;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '&') {
            result.label += text[i];
            continue;
        }
        if (i + 1 >= text.size()) break;  // a trailing ampersand marks nothing
        ++i;
        result.label += text[i];
        if (text[i] != '&' && result.key.empty()) result.key = std::string(1, text[i]);
    }
    return result;
}
