// One update run: identification, model check, erase, the 36 blocks with their repeats, finish.
//
// OnExecute runs on the window's thread; UpdateRunThread on a worker thread of its own that holds
// a share of the engine, so nothing it uses can be destroyed under it. After a wait returns with
// the closing marker the worker touches nothing of the window and ends.
#include "UpdateEngine.h"

#include <algorithm>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "FirmwareImage.h"
#include "Messages.h"

std::atomic<int> CUpdateEngine::s_liveWorkers{0};

namespace {

// The update workers' threads are joined, never detached: the thread library of the Windows build
// (mingw-w64's, under std::thread) now and then loses a thread that is detached right after it was
// created (seen under Wine: the thread never runs), and a run whose worker never starts leaves the
// window locked. A worker that has ended is joined by the next start or by WaitForWorkers; one
// still inside a send when the program ends stays in the list, which is never destroyed, so the
// program ends as it would with the thread detached.
struct Worker {
    std::thread thread;
    // Set by the worker just before it counts itself out of s_liveWorkers, so that WaitForWorkers
    // finds every worker flagged once the count is 0; read by JoinEndedWorkers.
    std::shared_ptr<std::atomic<bool>> ended;
};

std::mutex g_workersLock;

// Guarded by g_workersLock. Appended by OnExecute (the window's thread), emptied of ended workers
// by OnExecute and WaitForWorkers; the workers themselves never touch it.
std::vector<Worker>& Workers() {
    static auto* workers = new std::vector<Worker>();  // never destroyed: see above
    return *workers;
}

void JoinEndedWorkers() {
    std::lock_guard<std::mutex> lock(g_workersLock);
    auto& workers = Workers();
    // Joined under the lock: no worker takes it, and one that has set its flag returns at once.
    for (Worker& w : workers) {
        if (w.ended->load()) w.thread.join();
    }
    workers.erase(std::remove_if(workers.begin(), workers.end(),
                                 [](const Worker& w) { return !w.thread.joinable(); }),
                  workers.end());
}

}  // namespace

bool CUpdateEngine::RestartInput(int deviceIndex) {
    m_midiIn.Stop();
    // -1 (no selection) becomes an index that names no device, so Start fails.
    m_midiIn.m_deviceIndex = static_cast<std::uint32_t>(deviceIndex);
    return m_midiIn.Start();
}

bool CUpdateEngine::OnExecute(int midiInSelection) {
    if (m_updateRunning.load()) {
        m_host.ShowError(EngineError::InProgress);
        return false;
    }
    if (!RestartInput(midiInSelection)) {
        m_host.ShowError(EngineError::CantOpenMidiIn);
        return false;
    }
    m_host.EnableControl(HostControl::MidiInList, false);
    m_host.EnableControl(HostControl::MidiOutList, false);
    m_host.EnableControl(HostControl::Execute, false);
    m_host.EnableControl(HostControl::Rescan, false);
    // The run watches the MIDI OUT device that is selected now (the lists stay locked while it
    // runs). Both devices count as present from here on; the flags are fresh before the run is
    // marked as running, so the dispatcher never tells this run of an older device's leaving.
    m_midiOut.Watch(static_cast<std::uint32_t>(m_midiOutSelection.load()));
    m_phase.store(RunPhase::NotStarted);
    m_updateRunning.store(true);
    m_reply.Reset();
    {
        std::lock_guard<std::mutex> lock(m_runEndLock);
        m_runsStarted++;
    }

    // The worker shares the engine: whatever happens to the window, the channel, the fields and
    // the ports stay valid until the worker has ended. (An engine that is not shared-owned must
    // be kept alive by its owner until WaitForWorkers says the worker is gone.)
    std::shared_ptr<CUpdateEngine> self = weak_from_this().lock();
    JoinEndedWorkers();
    s_liveWorkers.fetch_add(1);
    // The worker's whole life: the run, then its share of the engine goes before it counts as
    // ended, so that the engine is never destroyed on the worker after WaitForWorkers has let the
    // program end. Nothing of the engine is touched after `self` is reset.
    auto ended = std::make_shared<std::atomic<bool>>(false);
    auto worker = [this, self = std::move(self), ended]() mutable {
        EndRun(UpdateRunThread(*this));
        self.reset();
        ended->store(true);
        s_liveWorkers.fetch_sub(1);
    };
    bool started = false;
    if (m_platform.scheduler != nullptr) {
        started = m_platform.scheduler->StartWorker(std::move(worker));
    } else {
        try {
            std::lock_guard<std::mutex> lock(g_workersLock);
            Workers().reserve(Workers().size() + 1);  // the push below cannot fail once it runs
            std::thread thread(std::move(worker));
            Workers().push_back(Worker{std::move(thread), std::move(ended)});
            started = true;
        } catch (const std::exception&) {
        }
    }
    if (!started) {
        // No worker could be started: give the controls back rather than stay locked forever.
        m_midiOut.Unwatch();
        s_liveWorkers.fetch_sub(1);
        {
            std::lock_guard<std::mutex> lock(m_runEndLock);
            m_runsStarted--;
        }
        RestoreControls();
        return false;
    }
    return true;
}

void CUpdateEngine::EndRun(UpdateOutcome outcome) {
    // While the running flag is still set no "Execute" can start a run, so the watch removed here
    // and the count of runs ended are this run's own.
    m_midiOut.Unwatch();
    {
        std::lock_guard<std::mutex> lock(m_runEndLock);
        m_lastOutcome = outcome;
        m_runsEnded = m_runsStarted;
    }
    m_runEnded.notify_all();
    // A closing window gets nothing back; the flag stays set.
    if (outcome != UpdateOutcome::WindowClosed) RestoreControls(outcome == UpdateOutcome::Completed);
}

std::optional<UpdateOutcome> CUpdateEngine::WaitForRunEnd(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(m_runEndLock);
    if (m_runsStarted == 0) return std::nullopt;
    if (!m_runEnded.wait_for(lock, limit, [this] { return m_runsEnded == m_runsStarted; })) {
        return std::nullopt;
    }
    return m_lastOutcome;
}

bool CUpdateEngine::WaitForWorkers(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (s_liveWorkers.load() != 0) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    JoinEndedWorkers();
    return true;
}

std::size_t CUpdateEngine::WorkerThreadsHeld() {
    std::lock_guard<std::mutex> lock(g_workersLock);
    return Workers().size();
}

void CUpdateEngine::Pause(std::uint32_t ms) {
    if (m_platform.scheduler == nullptr) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return;
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (auto now = std::chrono::steady_clock::now(); now < until; now = std::chrono::steady_clock::now()) {
        m_platform.scheduler->Yield(std::chrono::ceil<std::chrono::milliseconds>(until - now));
    }
}

void CUpdateEngine::RestoreControls(bool completed) {
    m_host.EnableControl(HostControl::MidiInList, true);
    m_host.EnableControl(HostControl::MidiOutList, true);
    m_host.EnableControl(HostControl::Execute, true);
    m_host.EnableControl(HostControl::Rescan, true);
    // A click between the two lands on "In Progress.", never on a run that this one's last request
    // could still reach.
    if (completed) EnableExecute(false);
    m_updateRunning.store(false);
}

void CUpdateEngine::EnableExecute(bool enable) {
    m_host.EnableControl(HostControl::Execute, enable);
}

template <typename SendFn>
int CUpdateEngine::SendForAnswer(std::uint8_t kinds, const std::optional<Reply>& lastAnswer, SendFn send) {
    // A repeat at once of the last answer must come before this message leaves, so that it is
    // never taken for it.
    if (lastAnswer) {
        const auto settled = lastAnswer->receivedAt + std::chrono::milliseconds(m_timings.repeatWindowMs);
        const auto now = ReplyClock::now();
        if (now < settled) {
            Pause(static_cast<std::uint32_t>(std::chrono::ceil<std::chrono::milliseconds>(settled - now).count()));
        }
    }
    m_reply.Expect(kinds);
    SentAt leftAt{};
    const int result = send(&leftAt);
    // A message that did not go out has no moment; what comes after the attempt is taken, as it
    // would have been had it gone.
    m_reply.Sent(result == SEND_OK ? leftAt : ReplyClock::now());
    return result;
}

AwaitedReply::End CUpdateEngine::AwaitLeftovers(ReplyClock::time_point until) {
    AwaitedReply::End end = m_reply.AwaitLeftovers(until);
    // What the port received by then reaches the channel with the first tick that begins after
    // it; a timer that has stopped ticking (a closing window) does not hold the run.
    const auto limit = ReplyClock::now() + std::chrono::milliseconds(10 * m_timings.pollPeriodMs + 1000);
    const auto handedOn = [this] {
        return ReplyClock::time_point(ReplyClock::duration(m_handedOnUntil.load()));
    };
    while (end == AwaitedReply::End::TimedOut && handedOn() < until && ReplyClock::now() < limit) {
        end = m_reply.AwaitLeftovers(ReplyClock::now() + std::chrono::milliseconds(std::max<std::uint32_t>(1, m_timings.pollPeriodMs / 5)));
    }
    return end;
}

// How a run ends: silently (the window is closing), with an error, or completed.
// Runs on the run's worker thread. After a wait, the closing marker is checked before anything
// else; after it the worker touches nothing of the window. A wait takes only an answer that came
// after its message left, of a kind that answers that message (ReplyChannel.h); an answer too many
// ends the run with a transfer error, since an answer may then have been taken for the wrong
// message; an answer that came since the message was sent counts before the device's leaving: a
// device that answers FINISH and then restarts has completed. The controls come back in EndRun,
// once the run is over.
UpdateOutcome CUpdateEngine::UpdateRunThread(CUpdateEngine& e) {
    IUpdateHost& host = e.m_host;
    const EngineTimings& t = e.m_timings;

    auto failWith = [&](EngineError error, UpdateOutcome outcome) {
        host.RunEnding(outcome);
        host.ShowError(error);
        return outcome;
    };
    // The device has left: the run ends at once, as it would have ended after a wait without an
    // answer (in the transfer that is the end of the whole transfer, not of one block's wait).
    auto deviceGone = [&](RunPhase phase) {
        const EngineError error = phase == RunPhase::Identification ? EngineError::IdentityTimeout
                                                                    : EngineError::TransferError;
        return failWith(error, UpdateOutcome::DeviceGone);
    };
    auto outOfStep = [&]() { return failWith(EngineError::TransferError, UpdateOutcome::AnswersOutOfStep); };
    // ERASE, a block or FINISH did not go out whole. A send that the closing window abandoned
    // ends the run silently.
    auto sendFailed = [&]() {
        if (e.m_reply.Current().status == REPLY_CLOSING) return UpdateOutcome::WindowClosed;
        if (e.DevicesGone()) return failWith(EngineError::TransferError, UpdateOutcome::DeviceGone);
        return failWith(EngineError::TransferError, UpdateOutcome::SendFailed);
    };
    auto enter = [&](RunPhase phase) {
        e.m_phase.store(phase);
        return phase;
    };
    using End = AwaitedReply::End;
    std::optional<Reply> lastAnswer;  // the answer taken last, for the repeats at once behind it

    // Phase 1: identification. Any answer ends the wait; only an Identity Reply carries a model.
    RunPhase phase = enter(RunPhase::Identification);
    const int identitySent = e.SendForAnswer(ANSWERS_TO_IDENTITY_REQUEST, lastAnswer,
                                             [&](SentAt* at) { return e.SendIdentityRequest(at); });
    // The closing window abandons the output, so that no message opens it any more: silent.
    if (e.m_reply.Current().status == REPLY_CLOSING) return UpdateOutcome::WindowClosed;
    if (identitySent == SEND_NOT_OPENED) host.ShowError(EngineError::CantOpenMidiOut);
    AwaitedReply awaited = e.m_reply.Await(t.replyTimeoutMs);
    if (awaited.end == End::Closing) return UpdateOutcome::WindowClosed;
    if (awaited.end == End::OutOfStep) return outOfStep();
    if (awaited.end == End::TimedOut) return failWith(EngineError::IdentityTimeout, UpdateOutcome::IdentityTimeout);
    if (awaited.end == End::DeviceGone) return deviceGone(phase);
    if (awaited.reply.status != REPLY_OK) return failWith(EngineError::IllegalDevice, UpdateOutcome::IllegalDevice);
    lastAnswer = awaited.reply;

    // A STATUS or a block that answered the Identity Request reports no model: 0, which no device
    // is accepted with.
    const bool identified = awaited.reply.kind == REPLY_KIND_IDENTITY;
    g_modelId.store(identified ? awaited.reply.model : 0);
    // What the device said of itself goes to the window as it came, for its record.
    host.DeviceIdentified(DeviceIdentity{g_modelId.load(), identified ? awaited.reply.softwareRevision : std::nullopt});
    const std::uint8_t model = g_modelId.load();
    if (!IsAcceptedModel(model)) return failWith(EngineError::IllegalDevice, UpdateOutcome::IllegalDevice);
    SetIdentityReplyModel(model);

    // Phase 2: erase. The device takes as long as it takes: no time-out while it is there.
    phase = enter(RunPhase::Erase);
    if (e.SendForAnswer(ANSWERS_TO_ERASE_OR_BLOCK, lastAnswer,
                        [&](SentAt* at) { return e.SendErase(model, at); }) != SEND_OK) {
        return sendFailed();
    }
    host.ShowStatus({RunStatus::Kind::Erasing});
    awaited = e.m_reply.Await(ReplyChannel::INFINITE_WAIT);
    if (awaited.end == End::Closing) return UpdateOutcome::WindowClosed;
    if (awaited.end == End::OutOfStep) return outOfStep();
    if (awaited.end == End::DeviceGone) return deviceGone(phase);
    lastAnswer = awaited.reply;
    std::int32_t status = awaited.reply.status;
    host.ShowStatus({RunStatus::Kind::Empty});
    if (status == REPLY_NOT_IN_VERSIONUP_MODE) {
        return failWith(EngineError::NotInVersionUpMode, UpdateOutcome::NotInVersionUpMode);
    }
    if (status != REPLY_OK) return failWith(EngineError::TransferError, UpdateOutcome::TransferError);

    // Phase 3: transfer. The slowest answer of the device, from its message's leaving, and the
    // run's own slowest turn, from an answer to the leaving of the next message, set how long the
    // run looks for an answer left over at the end.
    phase = enter(RunPhase::Transfer);
    const std::int32_t total = IMAGE_SIZE;
    std::int32_t offset = 0;
    std::int32_t refusals = 0;
    ReplyClock::duration slowestAnswer{0};
    ReplyClock::duration slowestTurn{0};
    while (offset < total) {
        const std::int32_t length = std::min<std::int32_t>(BLOCK_SIZE, total - offset);
        SentAt leftAt{};
        if (e.SendForAnswer(ANSWERS_TO_ERASE_OR_BLOCK, lastAnswer, [&](SentAt* at) {
                const int r = e.SendDataBlock(model, IMAGE_BASE_ADDRESS + offset, length, at);
                leftAt = *at;
                return r;
            }) != SEND_OK) {
            return sendFailed();
        }
        slowestTurn = std::max(slowestTurn, leftAt - lastAnswer->receivedAt);
        host.ShowStatus({RunStatus::Kind::DataTransmit, offset, total});
        awaited = e.m_reply.Await(t.replyTimeoutMs);
        if (awaited.end == End::Closing) return UpdateOutcome::WindowClosed;
        if (awaited.end == End::OutOfStep) return outOfStep();
        if (awaited.end == End::TimedOut) return failWith(EngineError::BlockTimeout, UpdateOutcome::BlockTimeout);
        if (awaited.end == End::DeviceGone) return deviceGone(phase);
        lastAnswer = awaited.reply;
        slowestAnswer = std::max(slowestAnswer, awaited.reply.receivedAt - leftAt);
        e.Pause(t.blockPauseMs);
        if (e.m_reply.Current().status == REPLY_CLOSING) return UpdateOutcome::WindowClosed;
        status = awaited.reply.status;
        if (status == REPLY_OK) {
            refusals = 0;
            offset += length;
            host.SetProgressPos(offset);
        } else if (++refusals >= MAX_BLOCK_SENDS) {
            return failWith(EngineError::TransferError, UpdateOutcome::TransferError);
        }
    }

    // Every block has been answered, as far as the run can tell; before FINISH the device has
    // nothing to do. A run that took each answer for the message after the one it answered is
    // one answer behind: the device still works on the last block and its answer comes one
    // block's time after the answer taken last. What the run measures as the device's answer time
    // is then short of the device's own by the run's turn (the time from an answer to its next
    // send, which the device spent on the message before), so the run looks for an answer left
    // over for twice the slowest answer it measured plus its own slowest turn, at most
    // LEFTOVER_WAIT_MAX_MS.
    const auto lookBehind = std::min<std::chrono::milliseconds>(
        std::chrono::ceil<std::chrono::milliseconds>(2 * slowestAnswer + slowestTurn),
        std::chrono::milliseconds(t.leftoverWaitMaxMs));
    End leftover = e.AwaitLeftovers(lastAnswer->receivedAt + lookBehind);
    if (leftover == End::Closing) return UpdateOutcome::WindowClosed;
    if (leftover == End::OutOfStep) return outOfStep();

    // Phase 4: finish. Any answer counts as completion; only its absence is an error.
    phase = enter(RunPhase::Finish);
    if (e.SendForAnswer(ANSWERS_TO_FINISH, lastAnswer, [&](SentAt* at) { return e.SendFinish(model, at); }) != SEND_OK) {
        return sendFailed();
    }
    awaited = e.m_reply.Await(t.replyTimeoutMs);
    if (awaited.end == End::Closing) return UpdateOutcome::WindowClosed;
    if (awaited.end == End::OutOfStep) return outOfStep();
    if (awaited.end == End::TimedOut) return failWith(EngineError::TransferError, UpdateOutcome::TransferError);
    if (awaited.end == End::DeviceGone) return deviceGone(phase);
    // And FINISH's own answer is the only one: what came with it is handed on too.
    leftover = e.AwaitLeftovers(awaited.reply.receivedAt + std::chrono::milliseconds(t.repeatWindowMs));
    if (leftover == End::Closing) return UpdateOutcome::WindowClosed;
    if (leftover == End::OutOfStep) return outOfStep();
    host.RunEnding(UpdateOutcome::Completed);
    host.ShowStatus({RunStatus::Kind::Completed});
    return UpdateOutcome::Completed;
}
