#include "engine/main_worker.h"

#include <chrono>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <utility>

#include "engine/calibrate_wizard.h"
#include "engine/channel_scan.h"
#include "hart/fixture_commands.h"
#include "platform/clock.h"
#include "serial/serial_link.h"

namespace engine {

CMainWorker::CMainWorker(MainWindowView& view) : m_view(view) {}

CMainWorker::~CMainWorker() {
    if (m_pWorkerThread.joinable()) {
        RequestStop(false);
        m_pWorkerThread.join();
    }
}

void CMainWorker::PostOperation(int mode, int arg1, int arg2) {
    {
        std::lock_guard lock(m_slotMutex);
        // Steps whose mode 6 gives way to another action go with it: a
        // count left behind would be applied by some later, unrelated step.
        if (m_nMode == ModeStepChannel && mode != ModeStepChannel) m_nStepCount.store(0);
        m_nMode = mode;
        m_nArg1 = arg1;
        m_nArg2 = arg2;
        ++m_postSeq;
    }
    m_wake.Set();
}

Operation CMainWorker::PendingOperation() const {
    std::lock_guard lock(m_slotMutex);
    return {m_nMode, m_nArg1, m_nArg2, m_postSeq};
}

bool CMainWorker::PostedMeanwhile() const {
    std::lock_guard lock(m_slotMutex);
    return m_postSeq != m_runningSeq;
}

bool CMainWorker::ChannelChosenMeanwhile() const {
    std::lock_guard lock(m_slotMutex);
    return m_postSeq != m_runningSeq &&
           (m_nMode == ModeSwitchChannel || m_nMode == ModeStepChannel);
}

void CMainWorker::ReturnToPolling() {
    std::lock_guard lock(m_slotMutex);
    if (m_postSeq != m_runningSeq) return;  // posted meanwhile: that runs next
    m_nMode = ModePollCurrent;
    m_nArg1 = 0;
    m_nArg2 = 0;
}

void CMainWorker::Start(std::function<void()> onEnded) {
    m_onEnded = std::move(onEnded);
    // Set before the thread runs, not by it: a close that comes first must
    // not be overwritten.
    m_bRunning.store(1);
    m_bEnded.store(false);
    m_pWorkerThread = std::thread(WorkerThreadProc, this);
}

void CMainWorker::RequestStop(bool closePort) {
    if (closePort) m_bClosePortOnExit.store(1);
    m_bRunning.store(0);
    m_wake.Set();
    m_stopEvent.Set();
}

bool CMainWorker::WaitForEnd(uint32_t ms) {
    if (!m_bEnded.load() && !m_endedEvent.Wait(ms) && !m_bEnded.load()) return false;
    if (m_pWorkerThread.joinable()) m_pWorkerThread.join();
    return true;
}

unsigned CMainWorker::WorkerThreadProc(CMainWorker* worker) {
    worker->WorkerLoop();
    return 1;
}

void CMainWorker::WorkerLoop() {
    for (;;) {
        const uint32_t idle = RunPass();
        if (m_bRunning.load() == 0) break;
        // Nothing to do: wait for a post rather than spin a core.
        if (idle > 0) m_wake.Wait(idle);
    }
    const int32_t closePort = m_bClosePortOnExit.load();
    m_bRunning.store(0);
    if (closePort == 1) serial::ClosePort();
    m_bEnded.store(true);
    m_endedEvent.Set();
    if (m_onEnded) m_onEnded();
}

uint32_t CMainWorker::RunPass() {
    m_passes.fetch_add(1);
    if (!serial::IsPortOpen()) {
        ResetSilence();  // no port is no silence of the fixture's
        return kIdleWaitMs;
    }
    WatchPort();
    const Operation op = PendingOperation();
    m_runningSeq = op.seq;
    switch (op.mode) {
        case ModePollCurrent:
            PollCurrent();
            return 0;
        case ModeCalibrate:
            CalibrateCurrent();
            return 0;
        case ModeSwitchChannel:
            SwitchChannel(op.arg1);
            return 0;
        case ModeWriteDeviceNumber:
            WriteDeviceNumber();
            return 0;
        case ModeReadChannel:
            ReadChannel();
            return 0;
        case ModeStepChannel:
            return StepChannel();
        case ModeScanChannels:
            ScanChannels(op.arg1, op.arg2);
            return 0;
        case ModeVerifyCalibration:
            VerifyCalibration();
            return 0;
        default:
            return kIdleWaitMs;
    }
}

void CMainWorker::PollCurrent() {
    const hart::Result<float> current = Noted(hart::ReadLoopCurrent());
    const bool ok = current.Ok();
    const float milliamps = ok ? *current : 0.0f;
    m_view.SetCurrentText(FormatLoopCurrent(milliamps));
    // A poll that the window's close cut short says nothing of the fixture.
    if (!ok && m_bRunning.load() == 0) return;

    PollSample sample;
    sample.time = std::chrono::system_clock::now();
    sample.steady = std::chrono::steady_clock::now();
    sample.channel = ChannelFromReadout(m_view.GetChannelText());
    sample.ok = ok;
    sample.milliamps = milliamps;
    m_view.OnPoll(sample);
}

bool CountsTowardSilence(hart::Reason reason) {
    switch (reason) {
        case hart::Reason::kNone:
        case hart::Reason::kInterrupted:
        case hart::Reason::kPortGone:
        case hart::Reason::kNoChannel:
        case hart::Reason::kBadArgument:
            return false;
        default:
            // No reply, a garbled or incomplete one, or one that says the
            // request went unheard or was refused: nothing usable came back.
            return true;
    }
}

void CMainWorker::WatchPort() {
    // The failures counted on another port were another fixture's.
    const int port = serial::CurrentPort();
    if (port == m_nFailuresPort) return;
    ResetSilence();
    m_nFailuresPort = port;
    if (m_bDeviceFault) {
        m_bDeviceFault = false;
        m_view.SetDeviceFault(false);
    }
}

void CMainWorker::NoteExchange(const hart::Failure& outcome) {
    WatchPort();  // a port changed in the middle of an operation
    // A value that is no reading still came in an answer.
    if (outcome.reason == hart::Reason::kNone || hart::IsValueFailure(outcome.reason)) {
        ResetSilence();
        NoteDeviceStatus();
        return;
    }
    if (!CountsTowardSilence(outcome.reason) || m_nFailures >= kSilentAfterFailures) return;
    // Told once each way: on the third failure in a row, and at the next
    // success.
    if (++m_nFailures == kSilentAfterFailures) m_view.SetFixtureSilent(true, m_lastAnswer);
}

void CMainWorker::NoteDeviceStatus() {
    const bool fault = (hart::LastFixtureDeviceStatus() & hart::kDeviceMalfunction) != 0;
    if (fault == m_bDeviceFault) return;
    m_bDeviceFault = fault;
    m_view.SetDeviceFault(fault);
}

void CMainWorker::ResetSilence() {
    if (m_nFailures >= kSilentAfterFailures) m_view.SetFixtureSilent(false, m_lastAnswer);
    m_nFailures = 0;
    m_lastAnswer = std::chrono::steady_clock::now();
}

void CMainWorker::SwitchChannel(int n) {
    if (Noted(hart::SelectChannel(n >= 1 && n <= 32 ? n : hart::kNoChannel))) {
        m_view.SetChannelText(ChannelReadoutText(n));
    } else {
        char text[64];
        std::snprintf(text, sizeof(text), "错误: 通道CH%d切换失败!", n);
        m_view.MessageBox(text, kCaptionError, BoxIcon::kError, BoxButtons::kOk);
    }
    ReturnToPolling();
}

bool CMainWorker::ReadChannel() {
    // A failed read stays pending and is tried again on the next pass.
    const hart::Result<int> active = Noted(hart::ReadActiveChannel());
    if (!active) return false;
    const int n = *active;
    // A channel chosen while the read ran has put the check mark on its
    // own channel already; the switch that follows makes it true.
    if (!ChannelChosenMeanwhile()) m_view.CheckChannelItem(n < 0 ? kUncheckAll : n);
    m_view.SetChannelText(ChannelReadoutText(n));
    ReturnToPolling();
    return true;
}

uint32_t CMainWorker::StepChannel() {
    int t;
    {
        // Taken, cleared and turned into the switch as one: a release
        // meanwhile either starts the quiet time again or counts for the
        // next step, and a choice posted meanwhile stands.
        std::lock_guard lock(m_slotMutex);
        if (m_nMode != ModeStepChannel) return 0;
        const int32_t quiet = static_cast<int32_t>(platform::Tick() - m_dwLastStepKey.load());
        if (quiet <= kStepQuietMs) return static_cast<uint32_t>(kStepQuietMs - quiet + 1);
        const int c = ChannelFromReadout(m_view.GetChannelText());
        t = StepTargetOf(c, m_nStepCount.exchange(0));
        m_nMode = ModeSwitchChannel;
        m_nArg1 = t == 0 ? kSwitchToNone : t;
        m_nArg2 = 0;
        ++m_postSeq;
    }
    m_view.CheckChannelItem(t);
    return 0;
}

void CMainWorker::WriteDeviceNumber() {
    const int selection = m_view.GetDeviceNumberSelection();
    if (selection < 0) {
        m_view.MessageBox("请选择地址", kApplicationTitle, BoxIcon::kNone, BoxButtons::kOk);
        ReturnToPolling();
        return;
    }
    const int n = selection + 1;
    m_view.SetBusy(true);
    (void)Noted(hart::WriteDeviceNumber(static_cast<uint32_t>(n)));  // no message either way
    m_view.SetBusy(false);
    ReturnToPolling();
}

bool CMainWorker::SleepUnlessStopping(uint32_t ms) {
    const uint32_t start = platform::Tick();
    while (m_bRunning.load() != 0) {
        const uint32_t elapsed = platform::Tick() - start;
        if (elapsed >= ms) return true;
        m_stopEvent.Wait(ms - elapsed);
    }
    return false;
}

namespace {
// The point a wizard reopened from the summary begins at, mA.
constexpr int kRevisedFrom = 20;
}  // namespace

void CMainWorker::CalibrateCurrent() {
    using Calibration = hart::CalibrationStep;
    // The command 201 requests confirmed so far: where a failed run
    // stopped, for its record.
    int stepsWritten = 0;
    const auto Step = [this, &stepsWritten](const Calibration& step) {
        const bool written = Noted(hart::WriteCalibrationStep(step)).Ok();
        if (written) ++stepsWritten;
        return written;
    };
    // ok: the outcome so far; report: whether a failure is told at the end.
    bool ok = true;
    bool report = true;
    const ShowActivity shown(m_view, Activity::kCalibrating);
    auto wizard = std::make_shared<CCalibrateWizard>();
    const std::string recordPort = RecordPortText(serial::CurrentPort());
    CalibrationRecord record;

    if (m_view.RunChannelPrompt(m_view.GetChannelText(), false) != IDOK) ok = report = false;
    const int ch = GetChannelIndex();
    record.channel = ch >= 0 ? ch + 1 : 0;
    if (ok) ok = Step(Calibration::Step0000());
    if (ok) {
        m_view.RunCalibrateWizard(wizard);
        // Whatever ended the dialog, its worker is out of its transaction
        // before the flow sends again.
        wizard->StopAndJoin();
        record.transmitter = TransmitterIdentity(ch);
        // However the wizard ended, the transmitter may still drive the last
        // current it was fixed at; the loop would read that for good.
        LeaveFixedCurrent();
        if (wizard->Result() == 2) ok = report = false;
    }
    m_view.SetBusy(true);
    if (ok) ok = Noted(hart::SelectChannel(hart::kNoChannel)).Ok();  // no channel while unplugged
    if (ok) {
        m_view.MessageBox("提示: 请拔出当前通道变送器, 并点击\"确定\"!", kCaptionNotice,
                          BoxIcon::kExclamation, BoxButtons::kOk);
        ok = SleepUnlessStopping(3000);
    }
    if (ok) {
        const hart::Result<float> unplugged = Noted(hart::ReadMeasuredCurrent());
        ok = unplugged.Ok();
        if (ok) wizard->SetPoint(0, {*unplugged, 0.0f});
    }
    if (ok) {
        m_view.MessageBox("提示: 插回变送器, 并点击\"确定\"!", kCaptionNotice,
                          BoxIcon::kExclamation, BoxButtons::kOk);
    }
    // Nothing is written before the operator has seen the six points; going
    // back reopens the wizard at its last point, on the channel again.
    while (ok) {
        const int answer = m_view.RunCalibrationSummary(WizardPoints(*wizard));
        if (answer == IDOK) break;
        if (answer != IDNO || m_bRunning.load() == 0) {
            ok = report = false;
            break;
        }
        ok = Noted(hart::SelectChannel(ch < 0 ? hart::kNoChannel : ch + 1)).Ok();
        if (!ok) break;
        auto revised = std::make_shared<CCalibrateWizard>(WizardReading::kConverter, kRevisedFrom);
        for (int i = 0; i < 6; ++i) {
            if (wizard->PointTaken(i)) revised->SetPoint(i, wizard->Point(i));
        }
        wizard = revised;
        m_view.RunCalibrateWizard(wizard);
        wizard->StopAndJoin();
        LeaveFixedCurrent();
        if (wizard->Result() == 2) {
            ok = report = false;
            break;
        }
        ok = Noted(hart::SelectChannel(hart::kNoChannel)).Ok();
    }
    if (ok) ok = Step(Calibration::Step0000());
    if (ok) ok = Step(Calibration::Step0206());
    for (int i = 0; ok && i < 6; ++i) {
        const CalibrationPoint p = wizard->Point(i);
        ok = Step(Calibration::Step04(static_cast<uint8_t>(i), p.measured, p.reference));
    }
    if (ok) ok = Step(Calibration::Step0001());
    if (ok) ok = Step(Calibration::StepFA());
    if (ok) ok = Step(Calibration::StepFF());
    // The channel active before, or none when there was none (-1 would be
    // no channel code at all).
    if (ok) ok = Noted(hart::SelectChannel(ch < 0 ? hart::kNoChannel : ch + 1)).Ok();
    if (ok && m_bRunning.load() != 0) CheckAsLeft(record);
    m_view.SetBusy(false);
    ReportCalibration(*wizard, std::move(record), recordPort, report, stepsWritten);
    if (!ok && report) {
        m_view.MessageBox("错误: 电流校准失败!", kCaptionError, BoxIcon::kError, BoxButtons::kOk);
    }
    ReturnToPolling();
}

void CMainWorker::RequestScan(int first, int last) {
    m_bStopScan.store(false);
    PostOperation(ModeScanChannels, first, last);
}

void CMainWorker::ScanChannels(int first, int last) {
    const ShowActivity shown(m_view, Activity::kScanning);
    ScanOptions options;
    options.first = first;
    options.last = last;
    options.onRow = [this, first, last](const ScanRow& row) {
        m_view.OnScanRow(row, row.channel - first + 1, last - first + 1);
    };
    // The operator's next action, the stop button and the window's close
    // each end it between two exchanges.
    options.stopRequested = [this] {
        return m_bStopScan.load() || m_bRunning.load() == 0 || PostedMeanwhile();
    };
    const ScanResult result = RunChannelScan(options);
    // Its first exchange with the fixture always runs; kNone if none failed.
    NoteExchange(result.failure);
    m_view.OnScanFinished(result);
    // A channel the scan could not restore is read back, so that the
    // readout tells the truth.
    if (!result.restored && !PostedMeanwhile()) {
        PostOperation(ModeReadChannel, 0, 0);
        return;
    }
    ReturnToPolling();
}

void CMainWorker::OnStepKeyReleased(int step, uint32_t releaseTick) {
    {
        std::lock_guard lock(m_slotMutex);
        // A release while some other action is pending replaces it, as any
        // later choice does; its count starts afresh.
        if (m_nMode != ModeStepChannel) m_nStepCount.store(0);
        m_dwLastStepKey.store(releaseTick);
        m_nStepCount.fetch_add(step);
        m_nMode = ModeStepChannel;
        m_nArg1 = 1;
        m_nArg2 = 0;
        ++m_postSeq;
    }
    m_wake.Set();
}

void CMainWorker::SelectChannel(int n) {
    const bool none = n < 1 || n > 32;
    m_view.CheckChannelItem(none ? 0 : n);
    PostOperation(ModeSwitchChannel, none ? kSwitchToNone : n, 0);
}

int CMainWorker::ChannelLastAskedFor() const {
    {
        // A switch stays in the slot until it has ended.
        std::lock_guard lock(m_slotMutex);
        if (m_nMode == ModeSwitchChannel) return m_nArg1 >= 1 && m_nArg1 <= 32 ? m_nArg1 : 0;
    }
    return ChannelFromReadout(m_view.GetChannelText());
}

int CMainWorker::GetChannelIndex() { return ChannelFromReadout(m_view.GetChannelText()) - 1; }

void CMainWorker::ShowDeviceNumber(int number) {
    m_nDeviceNumber.store(number);
    m_view.SetDeviceNumberText(DeviceNumberText(number));
}

}  // namespace engine
