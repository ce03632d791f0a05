#include "CUpdatorController.h"

#include <mutex>
#include <optional>

#include "DeviceNames.h"
#include "FirmwareImage.h"
#include "InstanceMarker.h"
#include "StringTable.h"
#include "UiRequestQueue.h"
#include "UpdateEngine.h"
#include "UpdateHistory.h"

namespace {


// A window says nothing of a history it can't write: the run is what the user waits for.
void AppendToHistory(const UpdateRecord& record) {
    AppendHistory(record);
}

template <typename T>
T EntryAt(const std::vector<T>& entries, int index) {
    return index >= 0 && static_cast<std::size_t>(index) < entries.size() ? entries[static_cast<std::size_t>(index)]
                                                                           : T();
}

}  // namespace

int ControlIdOf(HostControl control) {
    switch (control) {
        case HostControl::MidiInList: return 1000;
        case HostControl::MidiOutList: return 1001;
        case HostControl::Execute: return 1;
        case HostControl::Rescan: return 1004;
    }
    return 0;
}

// The engine's view of the window. Every request goes through the window's request queue, so it
// runs on the UI thread, in order, and fails at once after OnDestroy. The controller pointer is
// used only inside requests, which run only while the window exists.
class CUpdatorController::WindowHost final : public IUpdateHost {
public:
    WindowHost(std::shared_ptr<UiRequestQueue> requests, CUpdatorController* window,
               std::function<void(const UpdateRecord&)> recordRun)
        : m_requests(std::move(requests)), m_window(window), m_recordRun(std::move(recordRun)) {}

    bool ShowStatus(const RunStatus& status) override {
        {
            std::lock_guard<std::mutex> lock(m_recordLock);
            if (m_record) m_record->OnStatus(status);
        }
        return Do([&] { m_window->SetStatusText(StatusText(status, m_window->m_services.loadString)); });
    }
    bool SetProgressPos(int position) override {
        return Do([&] { m_window->SetProgressPos(position); });
    }
    bool EnableControl(HostControl control, bool enable) override {
        return Do([&] { m_window->EnableControl(control, enable); });
    }
    void RunEnding(UpdateOutcome outcome) override { EndRecord(outcome); }
    void DeviceIdentified(const DeviceIdentity& identity) override {
        std::lock_guard<std::mutex> lock(m_recordLock);
        if (m_record) m_record->OnIdentity(identity);
    }
    bool ShowError(EngineError error) override {
        return Do([&] {
            const StringLoader& load = m_window->m_services.loadString;
            const char* caption = load(IDS_ERROR_CAPTION);
            m_window->ShowErrorBox(caption != nullptr ? caption : "", ErrorText(error, load));
        });
    }

    // ----- The record of the run under way -----
    // A run tells its ending (RunEnding) before it gives the controls back, so "Execute" never
    // begins a record while the last run's is still open.
    // False when one is open: a run is under way, and "Execute" will say so.
    bool BeginRecord(std::string midiIn, std::string midiOut, const platform::MidiDevUnit& unit) {
        std::lock_guard<std::mutex> lock(m_recordLock);
        if (m_record) return false;
        m_record.emplace();
        m_record->Start(std::move(midiIn), std::move(midiOut), unit);
        m_runStarted = false;
        return true;
    }
    // "Execute" has started the run of the open record (nothing when that run has already ended).
    void RunStarted() {
        std::lock_guard<std::mutex> lock(m_recordLock);
        if (m_record) m_runStarted = true;
    }
    // "Execute" started no run after all.
    void DropRecord() {
        std::lock_guard<std::mutex> lock(m_recordLock);
        m_record.reset();
    }
    // Hands the open record, ended with `ending`, to the window's services; nothing when none is
    // open (the run's own ending and the closing window's may both come). The closing window ends
    // only the record of a run that has started: a window that closes while "Execute" still
    // shows why it starts none (a box that holds it, in a nested loop) leaves the record to it,
    // which drops it.
    void EndRecord(UpdateOutcome ending, bool onlyStartedRun = false) {
        std::optional<UpdateRecord> record;
        {
            std::lock_guard<std::mutex> lock(m_recordLock);
            if (!m_record || (onlyStartedRun && !m_runStarted)) return;
            record = m_record->Finish(EndingName(ending));
            m_record.reset();
        }
        m_recordRun(*record);
    }

private:
    bool Do(const std::function<void()>& request) {
        return m_requests->Run(request) == UiRequestQueue::Outcome::Ran;
    }

    std::shared_ptr<UiRequestQueue> m_requests;
    CUpdatorController* m_window;
    const std::function<void(const UpdateRecord&)> m_recordRun;
    // Guards m_record and m_runStarted: begun, marked started and dropped on the UI thread, fed
    // and ended on the run's worker thread, ended on the UI thread by OnDestroy.
    std::mutex m_recordLock;
    std::optional<UpdateRecorder> m_record;
    bool m_runStarted = false;  // "Execute" has started the open record's run
};

CUpdatorController::CUpdatorController(std::shared_ptr<UiRequestQueue> requests,
                                       UpdatorServices services)
    : m_services(std::move(services)), m_requests(std::move(requests)) {
    if (!m_services.instanceNumber) m_services.instanceNumber = [] { return 1; };
    if (!m_services.loadString) m_services.loadString = LoadStringById;
    if (!m_services.createEngine) {
        const std::uint8_t* image = m_services.image;
        m_services.createEngine = [image](std::shared_ptr<IUpdateHost> host) {
            return std::make_shared<CUpdateEngine>(std::move(host), EnginePlatform::Default(), EngineTimings{},
                                                   image);
        };
    }
    if (!m_services.recordRun) m_services.recordRun = AppendToHistory;
    m_host = std::make_shared<WindowHost>(m_requests, this, m_services.recordRun);
    m_engine = m_services.createEngine(m_host);
}

CUpdatorController::~CUpdatorController() {
    OnDestroy();
    // The timer goes first, so that no dispatcher run starts after this and a running one has
    // finished; requests of a tick fail at once now, so this wait cannot block on the UI thread.
    if (m_engine) m_engine->ReleaseTimer();
    m_engine.reset();
    m_host.reset();
    m_requests.reset();
}

std::shared_ptr<IUpdateHost> CUpdatorController::Host() const {
    return m_host;
}

void CUpdatorController::OnInitDialog() {
    // The firmware image: the engine took the linked image's address when it was constructed.
    ScanDevices();
    m_engine->StartPollTimer();
    SetProgressRange(IMAGE_SIZE);
    SetProgressPos(0);
    SetTitle(InstanceMarkerName(m_services.instanceNumber()));
}

void CUpdatorController::OnExecute() {
    if (m_destroyed) return;
    const int in = DeviceListSelection(DeviceList::MidiIn);
    const int out = DeviceListSelection(DeviceList::MidiOut);
    // The unit is the one that the update goes to: the MIDI OUT device's.
    const bool recording =
        m_host->BeginRecord(EntryAt(m_midiInNames, in), EntryAt(m_midiOutNames, out), EntryAt(m_midiOutUnits, out));
    if (!m_engine->OnExecute(in)) {
        if (recording) m_host->DropRecord();
    } else if (recording) {
        m_host->RunStarted();
    }
}

void CUpdatorController::OnRescanDevice() {
    ScanDevices();
    m_engine->EnableExecute(true);
}

void CUpdatorController::ScanDevices() {
    const int instance = m_services.instanceNumber();
    const auto fill = [this, instance](DeviceList list, const std::vector<std::string>& names) {
        FillDeviceList(list, names, SelectDefaultDevice(names, instance));
    };
    CUpdateEngine::DeviceListing outs = m_engine->MidiOutDevices();
    m_midiOutNames = std::move(outs.names);
    m_midiOutUnits = std::move(outs.units);
    fill(DeviceList::MidiOut, m_midiOutNames);
    m_midiInNames = m_engine->MidiInDeviceNames();
    fill(DeviceList::MidiIn, m_midiInNames);
    // A list need not report a selection that it was given: the engine hears of it here.
    OnMidiOutSelChange();
}

void CUpdatorController::OnMidiOutSelChange() {
    m_engine->SelectMidiOut(DeviceListSelection(DeviceList::MidiOut));
}

void CUpdatorController::OnDestroy() {
    if (m_destroyed) return;
    m_destroyed = true;
    // First no request of the worker or the timer waits any more, then the run is told to end.
    m_requests->Close();
    if (m_engine) m_engine->OnWindowClosing();
    // A run still open ends with the window, silently; its record says so.
    if (m_host) m_host->EndRecord(UpdateOutcome::WindowClosed, /*onlyStartedRun=*/true);
}
