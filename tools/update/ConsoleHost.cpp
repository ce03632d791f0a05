#include "ConsoleHost.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "EngineTexts.h"
#include "FirmwareImage.h"

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

void ConsoleHost::StartRecord(const std::string& midiIn, const std::string& midiOut) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_recorder.Start(midiIn, midiOut);
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
