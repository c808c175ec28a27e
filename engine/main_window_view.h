// What the main worker needs of the main window. The window implements it
// over its widgets (marshalling to its own thread), tests fake it. Every
// call comes from a worker thread, never with the link locked.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace engine {

// Answers of a message box, with their Windows values.
enum BoxResult : int {
    kBoxAbandoned = 0,  // the program is closing: the box was never answered
    IDOK = 1,
    IDCANCEL = 2,
    IDYES = 6,
    IDNO = 7,
};

enum class BoxIcon { kNone, kError, kExclamation };
enum class BoxButtons { kOk, kYesNo };

// Captions of the boxes.
inline constexpr const char* kCaptionError = "错误";
inline constexpr const char* kCaptionNotice = "提示";
// The application's own title, for the boxes that carry no caption of
// their own.
inline constexpr const char* kApplicationTitle = "Tarvok_Config";

class CCalibrateWizard;
struct ScanRow;
struct ScanResult;
struct CalibrationRecord;
struct RecordPoint;

// One poll of the loop current, as the readout showed it.
struct PollSample {
    std::chrono::system_clock::time_point time;  // the wall clock: what a person reads
    // The monotonic clock: what spans are measured on, so that a step of the
    // wall clock (a time server, a change of summer time) moves nothing.
    std::chrono::steady_clock::time_point steady;
    int channel = 0;  // the channel readout's: 1-32, 0 for none, -1 unknown
    bool ok = false;
    float milliamps = 0.0f;  // 0 when the poll failed
};

// Failed exchanges with the fixture in a row (of any kind: polls, channel
// reads and switches, the device-number write, calibration steps) after
// which it counts as silent.
inline constexpr int kSilentAfterFailures = 3;

// What the worker is busy with beyond polling, as the operator sees it.
enum class Activity { kNone, kScanning, kCalibrating };

class MainWindowView {
public:
    virtual ~MainWindowView() = default;

    // The two readouts. Thread-safe, never wait for the user interface.
    virtual void SetCurrentText(const std::string& text) = 0;
    virtual std::string GetChannelText() = 0;
    virtual void SetChannelText(const std::string& text) = 0;

    // Carried out on the user-interface thread later; never wait.
    virtual void CheckChannelItem(int n) = 0;
    virtual void SetDeviceNumberText(const std::string& text) = 0;
    // BeginBusy (true) and EndBusy (false): mouse clicks dropped and the
    // wait cursor shown while busy.
    virtual void SetBusy(bool busy) = 0;

    // The device-number list's selection, -1 for none. Never waits.
    virtual int GetDeviceNumberSelection() = 0;

    // A modal box owned by the main window; the worker waits for the answer.
    // kBoxAbandoned at once while the program is closing.
    virtual int MessageBox(const std::string& text, const std::string& caption, BoxIcon icon,
                           BoxButtons buttons) = 0;

    // The calibration flow's two dialogs, run modally on the user-interface
    // thread while the worker waits. The channel prompt answers IDOK or
    // IDCANCEL (kBoxAbandoned while closing). The wizard's dialog starts
    // the wizard and shares it: it may outlive this call by the moment its
    // worker needs to end.
    // `verification`: the prompt of a verification, which calibrates nothing.
    virtual int RunChannelPrompt(const std::string& channel, bool verification) = 0;
    virtual void RunCalibrateWizard(std::shared_ptr<CCalibrateWizard> wizard) = 0;
    // Before a calibration's table is written: its six points (nominal,
    // reference, reading, error). IDOK writes them (确定写入), IDNO goes
    // back to retype them (返回修改); kBoxAbandoned while closing.
    virtual int RunCalibrationSummary(const std::vector<RecordPoint>& points) = 0;

    // Beyond the readouts; never wait. Every poll as it ends.
    virtual void OnPoll(const PollSample& /*sample*/) {}
    // Told once each way: the fixture has stopped answering (after
    // kSilentAfterFailures failed exchanges in a row; `since`, on the steady
    // clock, is its last answer, or when the port was first used if it never
    // answered), or answers again.
    virtual void SetFixtureSilent(bool /*silent*/,
                                  std::chrono::steady_clock::time_point /*since*/) {}
    // A scan, a calibration or a verification has begun (kNone: it has
    // ended).
    virtual void SetActivity(Activity /*activity*/) {}
    // The fixture's replies report a malfunction of the field device (status
    // bit 0x80), or have stopped reporting it.
    virtual void SetDeviceFault(bool /*fault*/) {}
    // The channel scan, row by row as each channel is done, then its end.
    virtual void OnScanRow(const ScanRow& /*row*/, int /*done*/, int /*total*/) {}
    virtual void OnScanFinished(const ScanResult& /*result*/) {}
    // A calibration or verification run has ended with at least one point
    // taken (or a calibration has failed): what the window keeps of it.
    // Never waits.
    virtual void OnCalibrationRecord(const CalibrationRecord& /*record*/) {}
};

}  // namespace engine
