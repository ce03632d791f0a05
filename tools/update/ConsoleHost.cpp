#include "ConsoleHost.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "EngineTexts.h"
#include "FirmwareImage.h"
#include "TerminalText.h"

ConsoleHost::ConsoleHost(bool quiet)
    : m_quiet(quiet),
      m_progress(stdout, IMAGE_SIZE, ProgressOutput::IsTerminal(stdout), ProgressOutput::Columns(stdout)) {}

bool ConsoleHost::ShowStatus(const RunStatus& status) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_recorder.OnStatus(status);
    // One line per block would drown the progress lines; the progress shows the blocks.
    if (status != m_status && status.kind != RunStatus::Kind::DataTransmit && status.kind != RunStatus::Kind::Empty &&
        !m_quiet) {
        Written(m_progress.Line("status: " + StatusText(status)));
    }
    m_status = status;
    return true;
}

bool ConsoleHost::SetProgressPos(int position) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_quiet) Written(m_progress.Progress(position));
    return true;
}

bool ConsoleHost::EnableControl(HostControl, bool) { return true; }

bool ConsoleHost::ShowError(EngineError error) {
    std::lock_guard<std::mutex> lock(m_lock);
    Written(m_progress.Line("Error: " + ErrorText(error)));
    return true;
}

void ConsoleHost::DeviceIdentified(const DeviceIdentity& identity) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_recorder.OnIdentity(identity);
    if (m_quiet) return;
    char model[8];
    std::snprintf(model, sizeof model, "0x%02X", static_cast<unsigned>(identity.model));
    std::string line = std::string("device: model ") + model;
    if (identity.softwareRevision) line += ", software revision " + SoftwareRevisionText(*identity.softwareRevision);
    // The serial number comes from the device's descriptor: shown escaped.
    if (!m_unit.usbSerial.empty()) line += ", USB serial " + EscapeControls(m_unit.usbSerial);
    if (!m_unit.usbPath.empty()) line += ", USB path " + EscapeControls(m_unit.usbPath);
    Written(m_progress.Line(line));
}

void ConsoleHost::StartRecord(const std::string& midiIn, const std::string& midiOut,
                              const platform::MidiDevUnit& unit) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_unit = unit;
    m_recorder.Start(midiIn, midiOut, unit);
}

UpdateRecord ConsoleHost::FinishRecord(const std::string& ending) {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_recorder.Finish(ending);
}

void ConsoleHost::EndProgress(bool completed) {
    std::lock_guard<std::mutex> lock(m_lock);
    Written(m_progress.End(completed));
}

void ConsoleHost::Written(bool ok) {
    if (ok || m_outputLost) return;
    m_outputLost = true;
    std::fprintf(stderr, "tarnet-update: standard output lost (%s); the update goes on to its end\n",
                 std::strerror(errno));
}
