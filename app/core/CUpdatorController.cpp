#include "CUpdatorController.h"

#include "DeviceNames.h"
#include "FirmwareImage.h"
#include "InstanceMarker.h"
#include "StringTable.h"
#include "UiRequestQueue.h"
#include "UpdateEngine.h"

namespace {

std::shared_ptr<CUpdateEngine> CreateProductEngine(std::shared_ptr<IUpdateHost> host) {
    return std::make_shared<CUpdateEngine>(std::move(host), EnginePlatform::Default());
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
    WindowHost(std::shared_ptr<UiRequestQueue> requests, CUpdatorController* window)
        : m_requests(std::move(requests)), m_window(window) {}

    bool ShowStatus(const RunStatus& status) override {
        return Do([&] { m_window->SetStatusText(StatusText(status, m_window->m_services.loadString)); });
    }
    bool SetProgressPos(int position) override {
        return Do([&] { m_window->SetProgressPos(position); });
    }
    bool EnableControl(HostControl control, bool enable) override {
        return Do([&] { m_window->EnableControl(control, enable); });
    }
    bool ShowError(EngineError error) override {
        return Do([&] {
            const StringLoader& load = m_window->m_services.loadString;
            const char* caption = load(IDS_ERROR_CAPTION);
            m_window->ShowErrorBox(caption != nullptr ? caption : "", ErrorText(error, load));
        });
    }

private:
    bool Do(const std::function<void()>& request) {
        return m_requests->Run(request) == UiRequestQueue::Outcome::Ran;
    }

    std::shared_ptr<UiRequestQueue> m_requests;
    CUpdatorController* m_window;
};

CUpdatorController::CUpdatorController(std::shared_ptr<UiRequestQueue> requests,
                                       UpdatorServices services)
    : m_services(std::move(services)), m_requests(std::move(requests)) {
    if (!m_services.instanceNumber) m_services.instanceNumber = [] { return 1; };
    if (!m_services.loadString) m_services.loadString = LoadStringById;
    if (!m_services.createEngine) m_services.createEngine = CreateProductEngine;
    m_host = std::make_shared<WindowHost>(m_requests, this);
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
    m_engine->OnExecute(DeviceListSelection(DeviceList::MidiIn));
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
    fill(DeviceList::MidiOut, m_engine->MidiOutDeviceNames());
    fill(DeviceList::MidiIn, m_engine->MidiInDeviceNames());
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
}
