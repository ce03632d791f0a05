#include "WebWindow.h"

#include <nlohmann/json.hpp>

#include "UiRequestQueue.h"

namespace {

using Json = nlohmann::json;

const char* ListName(IUpdatorWindow::DeviceList list) {
    return list == IUpdatorWindow::DeviceList::MidiIn ? "in" : "out";
}

const char* ControlName(HostControl control) {
    switch (control) {
        case HostControl::MidiInList: return "in";
        case HostControl::MidiOutList: return "out";
        case HostControl::Execute: return "execute";
        case HostControl::Rescan: return "rescan";
    }
    return "";
}

// Texts reach the page as JSON strings; bytes that are not UTF-8 (a device name) become U+FFFD.
std::string Dump(const Json& message) {
    return message.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

WebWindow::WebWindow(EventLoop& loop, IPageLink& page, platform::WebMidiInApi& midiIn,
                     platform::WebMidiOutApi& midiOut, UpdatorServices services)
    // One thread: every request of the engine is made on it and runs at once.
    : CUpdatorController(std::make_shared<UiRequestQueue>([] { return true; }, [] {}), std::move(services)),
      m_loop(loop),
      m_page(page),
      m_midiIn(midiIn),
      m_midiOut(midiOut) {}

WebWindow::~WebWindow() {
    OnDestroy();
}

const platform::WebMidiPortList& WebWindow::PortsOf(DeviceList list) const {
    return list == DeviceList::MidiIn ? m_midiIn.Ports() : m_midiOut.Ports();
}

void WebWindow::OnPageSelect(DeviceList list, int index, std::uint64_t generation) {
    List& l = m_lists[Index(list)];
    // A pick in a list that has been refilled since, or of an entry it does not have, names no
    // device of this list.
    if (generation != l.generation || index < -1 || index >= l.size) return;
    l.selection = index;
    l.picked = true;
    if (list == DeviceList::MidiOut) OnMidiOutSelChange();
}

void WebWindow::OnPageDismiss(std::uint64_t box) {
    m_openBoxes.erase(box);
}

void WebWindow::RefreshLists() {
    for (const DeviceList list : {DeviceList::MidiIn, DeviceList::MidiOut}) {
        List& l = m_lists[Index(list)];
        const platform::WebMidiPort* port =
            l.picked && l.selection >= 0 ? PortsOf(list).Listed(static_cast<std::uint32_t>(l.selection)) : nullptr;
        l.keepPortId = port != nullptr ? port->id : std::string();
    }
    ScanDevices();
    for (List& l : m_lists) l.keepPortId.clear();
}

void WebWindow::FillDeviceList(DeviceList list, const std::vector<std::string>& names, int selection) {
    List& l = m_lists[Index(list)];
    l.picked = false;
    if (!l.keepPortId.empty()) {
        // The scan has just taken the listing that `names` come from.
        const platform::WebMidiPortList& ports = PortsOf(list);
        for (std::uint32_t i = 0; i < ports.ListedCount(); ++i) {
            if (ports.Listed(i)->id == l.keepPortId) {
                selection = static_cast<int>(i);
                l.picked = true;
                break;
            }
        }
    }
    l.selection = selection;
    l.size = static_cast<int>(names.size());
    ++l.generation;
    m_page.Post(Dump({{"t", "list"}, {"list", ListName(list)}, {"gen", l.generation}, {"names", names},
                      {"selection", selection}}));
}

void WebWindow::SetTitle(const std::string& title) {
    m_page.Post(Dump({{"t", "title"}, {"text", title}}));
}

void WebWindow::SetStatusText(const std::string& text) {
    // The texts of the run's stages are read out; the running count of the transfer is not (the
    // progress bar tells it).
    const StringLoader& load = Services().loadString;
    const bool announce = !text.empty() && (text == StatusText({RunStatus::Kind::Erasing}, load) ||
                                            text == StatusText({RunStatus::Kind::Completed}, load));
    m_page.Post(Dump({{"t", "status"}, {"text", text}, {"announce", announce}}));
}

void WebWindow::SetProgressRange(int maximum) {
    m_page.Post(Dump({{"t", "range"}, {"max", maximum}}));
}

void WebWindow::SetProgressPos(int position) {
    m_page.Post(Dump({{"t", "progress"}, {"pos", position}}));
}

void WebWindow::EnableControl(HostControl control, bool enable) {
    m_page.Post(Dump({{"t", "enable"}, {"control", ControlName(control)}, {"on", enable}}));
}

void WebWindow::ShowErrorBox(const std::string& caption, const std::string& text) {
    const std::uint64_t box = m_nextBox++;
    m_openBoxes.insert(box);
    m_page.Post(Dump({{"t", "error"}, {"box", box}, {"caption", caption}, {"text", text}}));
    // Modal: the caller goes on when the page has closed the box, or when the window has gone.
    m_loop.RunUntil([this, box] { return m_openBoxes.count(box) == 0 || IsDestroyed(); });
    m_openBoxes.erase(box);
}
