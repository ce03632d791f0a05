// One update run: identification, model check, erase, the 36 blocks with their repeats, finish.
//
// OnExecute runs on the window's thread; UpdateRunThread on a worker thread of its own that holds
// a share of the engine, so nothing it uses can be destroyed under it. After a wait returns with
// the closing marker the worker touches nothing of the window and ends.
#include "UpdateEngine.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <system_error>
#include <thread>

#include "FirmwareImage.h"
#include "Messages.h"
#include "StringTable.h"

namespace {

std::string Text(int id) {
    const char* text = LoadStringById(id);
    return text != nullptr ? text : std::string();
}

std::string DataTransmitText(std::int32_t offset, std::int32_t total) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, LoadStringById(IDS_DATA_TRANSMIT), offset, total);
    return buffer;
}

}  // namespace

std::atomic<int> CUpdateEngine::s_liveWorkers{0};

void CUpdateEngine::OnExecute() {
    if (m_updateRunning.load() == 1) {
        m_host.ShowErrorBox(Text(IDS_IN_PROGRESS));
        return;
    }
    m_midiIn.Stop();
    // -1 (no selection) becomes an index that names no device, so Start fails.
    m_midiIn.m_deviceIndex = static_cast<std::uint32_t>(m_host.GetMidiInSelection());
    if (!m_midiIn.Start()) {
        m_host.ShowErrorBox(Text(IDS_CANT_OPEN_MIDI_IN));
        return;
    }
    m_host.EnableControl(HostControl::MidiInList, false);
    m_host.EnableControl(HostControl::MidiOutList, false);
    m_host.EnableControl(HostControl::Execute, false);
    m_host.EnableControl(HostControl::Rescan, false);
    m_updateRunning.store(1);
    m_replyEvent.Reset();

    // The worker shares the engine: whatever happens to the window, the event, the fields and
    // the ports stay valid until the worker has ended. (An engine that is not shared-owned must
    // be kept alive by its owner until WaitForWorkers says the worker is gone.)
    std::shared_ptr<CUpdateEngine> self = weak_from_this().lock();
    s_liveWorkers.fetch_add(1);
    try {
        std::thread([this, self = std::move(self)] {
            UpdateRunThread(*this);
            s_liveWorkers.fetch_sub(1);
        }).detach();
    } catch (const std::system_error&) {
        // No thread could be started: give the controls back rather than stay locked forever.
        s_liveWorkers.fetch_sub(1);
        RestoreControls();
    }
}

bool CUpdateEngine::WaitForWorkers(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (s_liveWorkers.load() != 0) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void CUpdateEngine::RestoreControls() {
    m_host.EnableControl(HostControl::MidiInList, true);
    m_host.EnableControl(HostControl::MidiOutList, true);
    m_host.EnableControl(HostControl::Execute, true);
    m_host.EnableControl(HostControl::Rescan, true);
    m_updateRunning.store(0);
}

void CUpdateEngine::EnableExecute(bool enable) {
    m_host.EnableControl(HostControl::Execute, enable);
}

// How a run ends: silently (the window is closing), with an error text, or completed.
// Runs on the run's worker thread. After a wait, the closing marker is checked before anything
// else; after it the worker touches nothing of the window.
unsigned CUpdateEngine::UpdateRunThread(CUpdateEngine& e) {
    IUpdateHost& host = e.m_host;
    const EngineTimings& t = e.m_timings;

    auto failWith = [&](int textId) {
        host.ShowErrorBox(Text(textId));
        e.RestoreControls();
        return 0u;
    };

    // Phase 1: identification.
    if (e.SendIdentityRequest() < 0) host.ShowErrorBox(Text(IDS_CANT_OPEN_MIDI_OUT));
    if (!e.m_replyEvent.Wait(t.replyTimeoutMs)) return failWith(IDS_TIMEOUT_IDENTITY);
    std::int32_t status = e.m_replyStatus.load();
    if (status == REPLY_CLOSING) return 0;
    if (status != REPLY_OK) return failWith(IDS_ILLEGAL_DEVICE);

    g_modelId.store(e.m_deviceModel.load());
    const std::uint8_t model = g_modelId.load();
    if (!IsAcceptedModel(model)) return failWith(IDS_ILLEGAL_DEVICE);
    SetIdentityReplyModel(model);

    // Phase 2: erase. The device takes as long as it takes: no time-out.
    e.SendErase(model);
    host.SetStatusText(Text(IDS_ERASING));
    e.m_replyEvent.Wait(ReplyEvent::INFINITE_WAIT);
    status = e.m_replyStatus.load();
    if (status == REPLY_CLOSING) return 0;
    host.SetStatusText(std::string());
    if (status == REPLY_NOT_IN_VERSIONUP_MODE) return failWith(IDS_SET_VERSIONUP_MODE);
    if (status != 0) return failWith(IDS_TRANSFER_ERROR);

    // Phase 3: transfer.
    const std::int32_t total = IMAGE_SIZE;
    std::int32_t offset = 0;
    std::int32_t refusals = 0;
    while (offset < total) {
        const std::int32_t length = std::min<std::int32_t>(BLOCK_SIZE, total - offset);
        e.SendDataBlock(model, IMAGE_BASE_ADDRESS + offset, length);
        host.SetStatusText(DataTransmitText(offset, total));
        if (!e.m_replyEvent.Wait(t.replyTimeoutMs)) return failWith(IDS_TIMEOUT_BLOCK);
        std::this_thread::sleep_for(std::chrono::milliseconds(t.blockPauseMs));
        status = e.m_replyStatus.load();
        if (status == REPLY_CLOSING) return 0;
        if (status == 0) {
            refusals = 0;
            offset += length;
            host.SetProgressPos(offset);
        } else if (++refusals >= MAX_BLOCK_SENDS) {
            return failWith(IDS_TRANSFER_ERROR);
        }
    }

    // Phase 4: finish. Any answer counts as completion; only its absence is an error.
    e.SendFinish(model);
    if (!e.m_replyEvent.Wait(t.replyTimeoutMs)) return failWith(IDS_TRANSFER_ERROR);
    if (e.m_replyStatus.load() == REPLY_CLOSING) return 0;
    host.SetStatusText(Text(IDS_UPDATE_COMPLETED));
    e.RestoreControls();
    e.EnableExecute(false);
    return 0;
}
