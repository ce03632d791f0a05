// The main window of the web edition: CUpdatorController over the page's controls. The window's
// controls are the page's; this class keeps what the controller reads of them (the lists'
// selections) and tells the page every change as a message:
//   {"t":"title","text":..}
//   {"t":"list","list":"in"|"out","gen":G,"names":[..],"selection":S}   a list refilled (S: -1 none)
//   {"t":"enable","control":"in"|"out"|"execute"|"rescan","on":B}
//   {"t":"status","text":..,"announce":B}      B: a text worth reading out (not every block's)
//   {"t":"range","max":N} {"t":"progress","pos":N}
//   {"t":"error","box":B,"caption":..,"text":..}   a modal error box; the page answers "dismiss"
// A list refill counts up its generation G; a pick the page made in an older generation is
// dropped, so a pick can't land on the wrong device of a refilled list.
//
// One thread (EventLoop.h): the engine's requests run inline, and an error box is modal through a
// nested loop that goes on serving the page and the ticks until the page has closed the box.
#pragma once

#include <array>
#include <cstdint>
#include <set>
#include <string>

#include "CUpdatorController.h"
#include "EventLoop.h"
#include "PageLink.h"
#include "platform/webmidi/WebMidiIn.h"
#include "platform/webmidi/WebMidiOut.h"

class WebWindow final : public CUpdatorController {
public:
    WebWindow(EventLoop& loop, IPageLink& page, platform::WebMidiInApi& midiIn, platform::WebMidiOutApi& midiOut,
              UpdatorServices services);
    ~WebWindow() override;

    // The page's controls.
    void OnPageSelect(DeviceList list, int index, std::uint64_t generation);
    void OnPageDismiss(std::uint64_t box);
    // The connected ports changed: both lists are filled again, each keeping a device that the user
    // picked while it is still there (else the default selection, as after a scan).
    void RefreshLists();

    std::uint64_t Generation(DeviceList list) const { return m_lists[Index(list)].generation; }
    std::size_t OpenBoxes() const { return m_openBoxes.size(); }

protected:
    void FillDeviceList(DeviceList list, const std::vector<std::string>& names, int selection) override;
    int DeviceListSelection(DeviceList list) const override { return m_lists[Index(list)].selection; }
    void SetTitle(const std::string& title) override;
    void SetStatusText(const std::string& text) override;
    void SetProgressRange(int maximum) override;
    void SetProgressPos(int position) override;
    void EnableControl(HostControl control, bool enable) override;
    void ShowErrorBox(const std::string& caption, const std::string& text) override;

private:
    struct List {
        int selection = -1;
        int size = 0;
        std::uint64_t generation = 0;
        bool picked = false;       // the selection is the user's pick, not the default
        std::string keepPortId;    // during RefreshLists: the picked port to keep
    };
    static std::size_t Index(DeviceList list) { return list == DeviceList::MidiIn ? 0 : 1; }
    const platform::WebMidiPortList& PortsOf(DeviceList list) const;

    EventLoop& m_loop;
    IPageLink& m_page;
    platform::WebMidiInApi& m_midiIn;
    platform::WebMidiOutApi& m_midiOut;
    std::array<List, 2> m_lists;
    std::uint64_t m_nextBox = 1;
    std::set<std::uint64_t> m_openBoxes;
};
