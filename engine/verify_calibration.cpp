// The verification run (mode 7), and the record that it and the
// calibration (mode 2) leave. A verification is the calibration's wizard
// without the calibration: the transmitter fixed at the five currents, the
// fixture's loop current read at each and the reference meter's value
// typed; nothing is written to the fixture.
#include <chrono>
#include <cstdio>
#include <mutex>
#include <memory>
#include <string>
#include <utility>

#include "engine/calibrate_wizard.h"
#include "engine/calibration_record.h"
#include "engine/main_worker.h"
#include "hart/transaction.h"
#include "serial/serial_link.h"

namespace engine {
namespace {

// The command 201 requests of a calibration, in the order they are sent.
constexpr const char* kCalibrationSteps[] = {"00-00",      "00-00",      "02-06",      "04 point 0",
                                             "04 point 1", "04 point 2", "04 point 3", "04 point 4",
                                             "04 point 5", "00-01",      "FA",         "FF"};
constexpr int kCalibrationStepCount = static_cast<int>(std::size(kCalibrationSteps));

// "201 #4 (04 point 0)": the request's place among the twelve, and its step.
std::string StepName(int position) {
    return "201 #" + std::to_string(position) + " (" + kCalibrationSteps[position - 1] + ")";
}

}  // namespace

void CMainWorker::VerifyCalibration() {
    const ShowActivity shown(m_view, Activity::kCalibrating);
    auto wizard = std::make_shared<CCalibrateWizard>(WizardReading::kLoopCurrent);
    const std::string port = RecordPortText(serial::CurrentPort());
    if (m_view.RunChannelPrompt(m_view.GetChannelText(), true) == IDOK) {
        const int ch = GetChannelIndex();
        m_view.RunCalibrateWizard(wizard);
        // As in the calibration: the wizard's worker is out of its
        // transaction, and the transmitter drives its own current again.
        wizard->StopAndJoin();
        LeaveFixedCurrent();
        CalibrationRecord record;
        record.kind = RecordKind::kVerification;
        record.channel = ch >= 0 ? ch + 1 : 0;
        record.transmitter = TransmitterIdentity(ch);
        record.points = WizardPoints(*wizard);
        record.outcome =
            wizard->Result() == 1 ? RecordOutcome::kCompleted : RecordOutcome::kCancelled;
        if (!record.points.empty()) PostRecord(std::move(record), port);
    }
    ReturnToPolling();
}

void CMainWorker::ReportCalibration(const CCalibrateWizard& wizard, CalibrationRecord record,
                                    const std::string& port, bool report, int stepsWritten) {
    record.kind = RecordKind::kCalibration;
    record.points = WizardPoints(wizard);
    if (stepsWritten >= kCalibrationStepCount) {
        // The fixture holds the new table, even if the channel could not be
        // made active again afterwards.
        record.outcome = RecordOutcome::kCompleted;
    } else if (!report || m_bRunning.load() == 0) {
        // The operator left: the wizard cancelled, or the program closed.
        record.outcome = RecordOutcome::kCancelled;
        if (record.points.empty()) return;
    } else {
        record.outcome = RecordOutcome::kFailed;
        // After the first request, the flow takes the zero point (no
        // channel, the unplugged wait, command 33) before it sends the rest.
        record.failedStep = stepsWritten == 1 && !wizard.PointTaken(0) ? std::string("zero point")
                                                                       : StepName(stepsWritten + 1);
    }
    PostRecord(std::move(record), port);
}

void CMainWorker::CheckAsLeft(CalibrationRecord& record) {
    const int answer = m_view.MessageBox("是否立即进行校准后验证?", kCaptionNotice,
                                         BoxIcon::kExclamation, BoxButtons::kYesNo);
    if (answer == IDNO) {
        record.asLeftDeclined = true;
        return;
    }
    if (answer != IDYES || m_bRunning.load() == 0) return;
    if (m_view.MessageBox("请重新接入变送器", kCaptionNotice, BoxIcon::kExclamation,
                          BoxButtons::kOk) != IDOK ||
        m_bRunning.load() == 0)
        return;
    auto check = std::make_shared<CCalibrateWizard>(WizardReading::kLoopCurrent);
    m_view.RunCalibrateWizard(check);
    check->StopAndJoin();
    LeaveFixedCurrent();
    // Only a whole check gives a verdict; one left half-way leaves the
    // calibration written and unchecked.
    if (check->Result() == 1) record.asLeft = WizardPoints(*check);
}

std::string CMainWorker::TransmitterIdentity(int ch) {
    if (ch < 0 || ch > 31) return {};
    hart::ChannelAddress entry;
    {
        // The cache is the transactions', kept under the link.
        std::lock_guard lock(serial::LinkMutex());
        entry = hart::g_channelAddressCache.entries[static_cast<size_t>(ch)];
    }
    if (entry.known == 0) return {};
    char text[16];
    std::snprintf(text, sizeof(text), "%02X-%02X-%02X%02X%02X", entry.manufacturerId,
                  entry.deviceType, entry.deviceId[0], entry.deviceId[1], entry.deviceId[2]);
    return text;
}

void CMainWorker::PostRecord(CalibrationRecord record, const std::string& port) {
    record.time = std::chrono::system_clock::now();
    record.deviceNumber = m_nDeviceNumber.load();
    record.port = port;
    m_view.OnCalibrationRecord(record);
}

}  // namespace engine
