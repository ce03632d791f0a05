#include "WebApp.h"

#include <algorithm>
#include <cstdint>

#include <nlohmann/json.hpp>

#include "CVelmoUpdatorApp.h"
#include "FirmwareImage.h"
#include "InstanceMarker.h"
#include "StringTable.h"
#include "UpdateRecord.h"
#include "WebTexts.h"

namespace {

using Json = nlohmann::json;

std::string Dump(const Json& message) {
    return message.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// The page's message as a JSON object; null for anything else. Never throws.
Json ParseObject(const std::string& text) {
    Json value = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    return value.is_object() ? value : Json();
}

const std::string* StringOf(const Json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? &it->get_ref<const std::string&>() : nullptr;
}

// A whole number within [min, max] held by `key`; none for anything else.
std::optional<std::int64_t> IntegerOf(const Json& object, const char* key, std::int64_t min, std::int64_t max) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_number_integer()) return std::nullopt;
    const std::int64_t value = it->is_number_unsigned()
                                   ? static_cast<std::int64_t>(std::min<std::uint64_t>(it->get<std::uint64_t>(), INT64_MAX))
                                   : it->get<std::int64_t>();
    if (value < min || value > max) return std::nullopt;
    return value;
}

// The ports of one direction as the page lists them; ports without an id or a name are left out.
std::vector<platform::WebMidiPort> PortsOf(const Json& object, const char* key) {
    std::vector<platform::WebMidiPort> ports;
    const auto it = object.find(key);
    if (it == object.end() || !it->is_array()) return ports;
    for (const Json& item : *it) {
        if (!item.is_object()) continue;
        const std::string* id = StringOf(item, "id");
        const std::string* name = StringOf(item, "name");
        if (id == nullptr || name == nullptr || id->empty()) continue;
        ports.push_back({*id, *name});
    }
    return ports;
}

}  // namespace

WebApp::WebApp(IPageLink& page, platform::WebMidiInApi& midiIn, platform::WebMidiOutApi& midiOut,
               platform::LoopTimerService& timers, EngineTimings timings)
    : m_page(page),
      m_midiIn(midiIn),
      m_midiOut(midiOut),
      m_timers(timers),
      m_timings(timings),
      m_loop(page, timers, [this](const PageEvent& event) { OnPageEvent(event); }, [this] { AfterPass(); }) {
    m_midiOut.SetSender([this](const std::string& port, const std::uint8_t* bytes, std::size_t length) {
        return m_page.SendMidi(port, bytes, length);
    });
    m_midiIn.SetListenChanged([this](const std::vector<std::string>& ports) {
        m_page.Post(Dump({{"t", "listen"}, {"ports", ports}}));
    });
}

WebApp::~WebApp() {
    m_window.reset();
    m_midiIn.SetListenChanged({});
    m_midiOut.SetSender({});
}

void WebApp::Run(const std::function<bool()>& until) {
    if (!m_greeted) {
        m_greeted = true;
        Hello();
    }
    m_loop.Run(until);
}

void WebApp::Hello() {
    const MnemonicLabel about = SplitMnemonic(LoadStringById(IDS_ABOUTBOX) != nullptr ? LoadStringById(IDS_ABOUTBOX) : "");
    Json markers = Json::array();
    for (int n = 1; n <= MAX_INSTANCES; ++n) markers.push_back(InstanceMarkerName(n));
    const char* caption = LoadStringById(IDS_ERROR_CAPTION);
    Json texts = {
        {"errorCaption", caption != nullptr ? caption : ""},
        {"aboutEntry", about.label},
        {"aboutKey", about.key},
        {"aboutVersion", InstanceMarkerName(1)},
        {"markers", markers},
        {"refusal", CVelmoUpdatorApp::RefusalMessage()},
        {"programName", WebTextOf(WebText::ProgramName)},
        {"noWebMidi", WebTextOf(WebText::NoWebMidi)},
        {"notSecure", WebTextOf(WebText::NotSecure)},
        {"sysexRefused", WebTextOf(WebText::SysExRefused)},
        {"noMidiSystem", WebTextOf(WebText::NoMidiSystem)},
        {"noDevices", WebTextOf(WebText::NoDevices)},
        {"version", ProgramVersion()},
    };
    m_page.Post(Dump({{"t", "hello"}, {"texts", texts}}));
}

void WebApp::Start(int instance) {
    if (m_window) return;  // one window for the page's life
    m_instance = instance;
    UpdatorServices services;
    services.instanceNumber = [this] { return m_instance; };
    services.image = LoadFirmwareImage();
    services.createEngine = [this](std::shared_ptr<IUpdateHost> host) {
        const EnginePlatform platform{&m_midiOut, &m_midiIn, &m_timers, &m_loop};
        return std::make_shared<CUpdateEngine>(std::move(host), platform, m_timings, LoadFirmwareImage());
    };
    services.recordRun = [this](const UpdateRecord& record) {
        m_page.Post(Dump({{"t", "record"}, {"json", RecordJson(record)}}));
    };
    m_window = std::make_unique<WebWindow>(m_loop, m_page, m_midiIn, m_midiOut, std::move(services));
    // The first scan lists the ports that the page has told of so far.
    m_window->OnInitDialog();
    m_listsStale = false;
}

void WebApp::OnPageEvent(const PageEvent& event) {
    const Json message = ParseObject(event.json);
    const std::string* type = StringOf(message, "t");
    if (type == nullptr) return;
    if (*type == "midi") {
        const std::string* port = StringOf(message, "port");
        if (port == nullptr) return;
        if (const auto lost = IntegerOf(message, "lost", 1, UINT32_MAX)) {
            m_midiIn.Lost(*port, static_cast<std::uint32_t>(*lost));
        }
        if (!event.bytes.empty()) m_midiIn.Deliver(*port, event.bytes.data(), event.bytes.size());
    } else if (*type == "ports") {
        m_midiIn.SetPorts(PortsOf(message, "inputs"));
        m_midiOut.SetPorts(PortsOf(message, "outputs"));
        m_listsStale = true;
    } else if (*type == "start") {
        if (const auto instance = IntegerOf(message, "instance", 1, MAX_INSTANCES)) Start(static_cast<int>(*instance));
    } else if (*type == "report") {
        Report(event.json);
    } else if (!m_window) {
        return;  // the window's controls: not before it exists
    } else if (*type == "select") {
        const std::string* list = StringOf(message, "list");
        const auto index = IntegerOf(message, "index", -1, INT32_MAX);
        const auto generation = IntegerOf(message, "gen", 0, INT64_MAX);
        if (list == nullptr || !index || !generation || (*list != "in" && *list != "out")) return;
        m_window->OnPageSelect(*list == "in" ? IUpdatorWindow::DeviceList::MidiIn : IUpdatorWindow::DeviceList::MidiOut,
                               static_cast<int>(*index), static_cast<std::uint64_t>(*generation));
    } else if (*type == "execute") {
        m_window->OnExecute();
    } else if (*type == "rescan") {
        // Rescan is disabled during a run; a click that was on its way counts for nothing then.
        if (!m_window->Engine()->IsUpdateRunning()) m_window->OnRescanDevice();
    } else if (*type == "dismiss") {
        if (const auto box = IntegerOf(message, "box", 1, INT64_MAX)) m_window->OnPageDismiss(static_cast<std::uint64_t>(*box));
    } else if (*type == "close") {
        m_window->OnDestroy();
    }
}

void WebApp::AfterPass() {
    // The lists change only between runs: during one their positions name the run's devices.
    if (!m_listsStale || !m_window || m_window->IsDestroyed() || m_window->Engine()->IsUpdateRunning()) return;
    m_listsStale = false;
    m_window->RefreshLists();
}

void WebApp::Report(const std::string& json) {
    const Json message = ParseObject(json);
    const auto it = message.find("records");
    std::vector<UpdateRecord> records;
    std::size_t dropped = 0;
    if (it != message.end() && it->is_array()) {
        for (const Json& item : *it) {
            std::optional<UpdateRecord> record;
            if (item.is_string()) record = ParseRecordJson(item.get_ref<const std::string&>());
            if (record) {
                records.push_back(std::move(*record));
            } else {
                ++dropped;
            }
        }
    }
    m_page.Post(Dump({{"t", "report"}, {"text", ReportJson(WebTextOf(WebText::ReportProgram), records)},
                      {"dropped", dropped}}));
}
