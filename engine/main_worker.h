// The main worker: one thread that carries out the pending operation over
// and over for the life of the main window. The window posts operations;
// the worker runs them, writes the readouts and ends each operation by
// going back to polling (mode 1, the resting state) unless the window
// posted something meanwhile: an operator's action is never lost.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "engine/calibration_record.h"
#include "engine/main_window_view.h"
#include "engine/operation_mode.h"
#include "hart/transaction.h"
#include "platform/auto_reset_event.h"
#include "platform/clock.h"

namespace engine {

// The pending-operation slot's contents, read as one set.
struct Operation {
    int32_t mode = 0;
    int32_t arg1 = 0;
    int32_t arg2 = 0;
    uint64_t seq = 0;  // counts the posts; tells an operation whether one came meanwhile
};

// Whether an exchange that ended so says the fixture did not answer. An
// exchange cut short (the window's close, a port change), one that found no
// port, and a request refused before anything was sent say nothing of it.
bool CountsTowardSilence(hart::Reason reason);

class CMainWorker final : public hart::MainWindowServices {
public:
    explicit CMainWorker(MainWindowView& view);
    ~CMainWorker() override;
    CMainWorker(const CMainWorker&) = delete;
    CMainWorker& operator=(const CMainWorker&) = delete;

    // Replaces whatever was pending: between two posts the later one
    // stands. Never waits; wakes an idle worker. Replacing pending arrow-key
    // steps drops their count with them.
    void PostOperation(int mode, int arg1, int arg2);
    Operation PendingOperation() const;

    // Starts the thread. onEnded runs on it as it ends, after the port has
    // been closed (a window uses it to finish its close).
    void Start(std::function<void()> onEnded = {});
    // The window's close: the worker finishes the pass it is in, leaves its
    // loop and closes the port when closePort is set.
    void RequestStop(bool closePort);
    bool IsRunning() const { return m_bRunning.load() != 0; }
    bool HasEnded() const { return m_bEnded.load(); }
    bool WasStarted() const { return m_pWorkerThread.joinable() || m_bEnded.load(); }
    // Joins the thread if it has ended within ms clock milliseconds.
    bool WaitForEnd(uint32_t ms);

    // The user-interface half of the arrow-key rule: one call per physical
    // release, +1 for Up and Left, -1 for Down and Right, with the clock
    // tick of the release.
    void OnStepKeyReleased(int step, uint32_t releaseTick);
    void OnStepKeyReleased(int step) { OnStepKeyReleased(step, platform::Tick()); }

    // The overview's scan of channels first..last, as one operation. Any
    // action posted while it runs ends it after the exchange under way (the
    // channel active before is made active again), then runs; so does
    // StopScan.
    void RequestScan(int first, int last);
    void StopScan() { m_bStopScan.store(true); }

    // The one channel selection, channel 1-32 or 0 for none: check mark at
    // once, switch posted.
    void SelectChannel(int n);
    // The channel a step button steps from: the one a pending or running
    // switch is heading for, else the one the readout shows (0 for none).
    int ChannelLastAskedFor() const;
    // The device number the fixture last reported; -1 before it was identified.
    int DeviceNumber() const { return m_nDeviceNumber.load(); }

    // The step rule for channel c with the steps counted so far.
    int StepTarget(int c) const { return StepTargetOf(c, m_nStepCount.load()); }

    // Called back by the transactions (hart::MainWindowServices).
    int GetChannelIndex() override;
    void ShowDeviceNumber(int number) override;

    // The thread's body and its loop; public for tests that drive a pass.
    static unsigned WorkerThreadProc(CMainWorker* worker);
    void WorkerLoop();
    // One pass over the pending operation; returns how long, in clock
    // milliseconds, an idle worker may wait before the next (0: at once).
    uint32_t RunPass();

    // The operations.
    void PollCurrent();
    void CalibrateCurrent();
    // Mode 7: the wizard's five currents read as the fixture's loop current,
    // nothing written to the fixture; leaves a verification record.
    void VerifyCalibration();
    void SwitchChannel(int n);
    void WriteDeviceNumber();
    bool ReadChannel();
    // 0 once the steps are applied, else the clock milliseconds still to wait.
    uint32_t StepChannel();
    void ScanChannels(int first, int last);

    int32_t StepCount() const { return m_nStepCount.load(); }
    // Passes made so far (the idle worker's cost, for tests and benchmarks).
    uint64_t Passes() const { return m_passes.load(); }

    // Waits of an idle pass: nothing to do for so long, at most.
    static constexpr uint32_t kIdleWaitMs = 250;

private:
    // False, early, when the window closes meanwhile.
    bool SleepUnlessStopping(uint32_t ms);
    // The end of an operation: back to polling, unless something was
    // posted since the operation began.
    void ReturnToPolling();
    bool ChannelChosenMeanwhile() const;
    bool PostedMeanwhile() const;
    // Every exchange with the fixture the worker makes ends here: failures
    // in a row make the fixture silent, a success makes it answer again.
    void NoteExchange(const hart::Failure& outcome);
    template <class T>
    hart::Result<T> Noted(hart::Result<T> result) {
        NoteExchange(result.Error());
        return result;
    }
    // Forgets the failures counted: the fixture answered, or there is no
    // port or another one. A silence counts from here.
    void ResetSilence();
    // Tells the window when the device-malfunction bit of the fixture's answers
    // comes or goes.
    void NoteDeviceStatus();
    void WatchPort();
    // The activity on the window for as long as it lives.
    struct ShowActivity {
        ShowActivity(MainWindowView& view, Activity activity) : view_(view) {
            view_.SetActivity(activity);
        }
        ~ShowActivity() { view_.SetActivity(Activity::kNone); }
        MainWindowView& view_;
    };
    // The record of a calibration run, given how far it got: report as the
    // flow keeps it, and the command 201 requests it had confirmed
    // (verify_calibration.cpp). `record` brings the channel, the
    // transmitter and the as-left check.
    void ReportCalibration(const CCalibrateWizard& wizard, CalibrationRecord record,
                           const std::string& port, bool report, int stepsWritten);
    // After a written table: the operator's choice of checking it at once
    // with the verification's five points, read through the new table.
    void CheckAsLeft(CalibrationRecord& record);
    // Fills in the fixture, the port and the time and hands the record on.
    void PostRecord(CalibrationRecord record, const std::string& port);
    // The transmitter on channel index `ch` as its command 0 named it,
    // "MM-TT-DDDDDD"; empty when not known.
    static std::string TransmitterIdentity(int ch);

    MainWindowView& m_view;

    // The slot, its post count and the arrow-key count are read and
    // written as one set.
    mutable std::mutex m_slotMutex;
    int32_t m_nMode = ModeReadChannel;
    int32_t m_nArg1 = 0;
    int32_t m_nArg2 = 0;
    uint64_t m_postSeq = 0;
    // The post count when the running operation was taken (worker only).
    uint64_t m_runningSeq = 0;
    // Failed exchanges with the fixture in a row, the port they were made
    // on, and when it last answered or the port was first used (worker only).
    int m_nFailures = 0;
    int m_nFailuresPort = 0;
    std::chrono::steady_clock::time_point m_lastAnswer{};
    // The fixture's last answer carried the device-malfunction bit (worker only).
    bool m_bDeviceFault = false;

    std::atomic<int32_t> m_bRunning{0};
    std::atomic<int32_t> m_bClosePortOnExit{0};
    std::atomic<int32_t> m_nStepCount{0};
    std::atomic<uint32_t> m_dwLastStepKey{0};
    std::atomic<bool> m_bEnded{false};
    std::atomic<bool> m_bStopScan{false};
    std::atomic<uint64_t> m_passes{0};
    // The device number the fixture reported at its last identification,
    // -1 before the first.
    std::atomic<int> m_nDeviceNumber{-1};

    platform::AutoResetEvent m_wake;  // a post or a stop ends an idle wait
    platform::AutoResetEvent m_endedEvent;
    platform::AutoResetEvent m_stopEvent;
    std::function<void()> m_onEnded;
    std::thread m_pWorkerThread;
};

}  // namespace engine
