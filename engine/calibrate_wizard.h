// The current-calibration wizard's logic, apart from its dialog: a worker
// of its own fixes the transmitter on the active channel at 4, 8, 12, 16 and
// 20 mA in turn and keeps showing what the fixture measures; each Next takes
// a point (measured, reference typed by the operator). The dialog (app/)
// forwards its buttons, timer and close here and shows what the view is
// told.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/auto_reset_event.h"

namespace engine {

struct CalibrationPoint {
    float measured = 0.0f;   // what the fixture reads, mA
    float reference = 0.0f;  // what the ammeter shows, mA
};

// What the wizard's worker shows through its dialog. Called on the wizard's
// worker thread (SetInstructionText also on the dialog's own, at a refused
// Next); the dialog carries it out on its own thread.
class CalibrateWizardView {
public:
    virtual ~CalibrateWizardView() = default;
    virtual void SetInstructionText(const std::string& text) = 0;  // edit 1014
    virtual void SetMeasuredText(const std::string& text) = 0;     // edit 1016
    virtual void SetReferenceText(const std::string& text) = 0;    // edit 1017
    // The grey text edit 1017 shows while it is empty: the nominal current,
    // as a hint, never as a value.
    virtual void SetReferencePlaceholder(const std::string& text) = 0;
    // The error box of a failed command 40, owned by the dialog; the worker
    // waits for the answer: IDOK tries again, IDCANCEL (or kBoxAbandoned)
    // stops the wizard.
    virtual int ErrorBox(const std::string& text) = 0;
    // The worker has ended: the dialog starts its 10 ms timer, whose tick
    // calls OnTimer and closes the dialog.
    virtual void WorkerEnded() = 0;
};

// The current the transmitter is to be fixed at, in whole mA; 100 is the
// stop mark.
int FixedCurrent();
inline constexpr int kStopMark = 100;

// The reference typed at `nominal` mA: a plain decimal number (digits and at
// most one '.', blanks around it ignored) within 10 % of the nominal
// current. Anything else gives nothing and, in *reason, the text that tells
// the operator why. Independent of the C locale.
// A refused text is quoted as typed, with the first character that makes
// it no number named by its place ("第5个字符"O"不是数字").
std::optional<float> ParseReference(const std::string& text, int nominal, std::string* reason);

// The question asked before a reference further than `percentOfSpan` % of
// the 16 mA span from the fixture's own reading of the point is taken;
// empty when it is near enough.
std::string ImplausibilityQuestion(double reference, double reading, double percentOfSpan);

// Command 40 with 0.0 to the transmitter on the active channel: how a
// transmitter leaves fixed-current mode. A failure is only traced: the
// operator can do nothing about it, and the flow goes on either way.
void LeaveFixedCurrent();

// What the wizard reads at each fixed current: the fixture's converter
// (command 33, device variable 4), which calibration points are made of; or
// its loop current (command 2), corrected by the table it holds, which a
// verification checks.
enum class WizardReading { kConverter, kLoopCurrent };

class CCalibrateWizard {
public:
    // `firstCurrent` (4 to 20): where the worker begins; a wizard reopened
    // to revise its points begins at the last one.
    explicit CCalibrateWizard(WizardReading reading = WizardReading::kConverter,
                              int firstCurrent = 4);
    ~CCalibrateWizard();
    CCalibrateWizard(const CCalibrateWizard&) = delete;
    CCalibrateWizard& operator=(const CCalibrateWizard&) = delete;

    // OnInitDialog: starts the worker.
    void Start(CalibrateWizardView& view);

    // Next (button 1002, or Enter): the texts of edits 1016 and 1017 become
    // the point of the current fixed now. A reference that is no plausible
    // reading of that current is refused: nothing is stored, the wizard
    // stays at this current, the instruction says why, and the result is
    // false.
    bool OnNext(const std::string& measuredText, const std::string& referenceText);
    // The text in edit 1017 checked against the point being taken; its
    // reason shown in the instruction area (or taken away). A range that
    // is not met yet is only told with `tellRange`: while typing "1" on
    // the way to "12" it is no mistake.
    std::optional<float> CheckReference(const std::string& text, bool tellRange);
    // 上一步: back to the previous current, which is fixed and read again;
    // false at the first.
    bool OnPrevious();
    // The nominal current of the point being taken, 0 when none is.
    int Nominal() const;
    // The plausibility limit in % of span; set before Start.
    void SetPlausibility(double percentOfSpan) { m_plausibility.store(percentOfSpan); }
    double Plausibility() const { return m_plausibility.load(); }
    // The 取消 button: the worker ends after what it is doing.
    void OnStop();
    // The hidden OK button, Esc, the close box: the same stop.
    void OnOK() { OnStop(); }
    void OnCancel() { OnStop(); }
    // The timer set when the worker ended: the outcome.
    void OnTimer();

    bool WorkerEnded() const { return m_bWorkerEnded.load(); }
    // Stops the worker and waits for it (after its current transaction).
    // Safe against a Start on another thread: a flow that gave up waiting
    // may get here while its dialog is still opening, and a worker started
    // after this then ends at once.
    void StopAndJoin();

    // 1 completed, 2 cancelled.
    int Result() const { return m_nResult.load(); }
    CalibrationPoint Point(int index) const;
    void SetPoint(int index, CalibrationPoint point);
    // Whether point `index` has been stored (by a Next or SetPoint).
    bool PointTaken(int index) const;
    WizardReading Reading() const { return m_reading; }

    // The worker's body.
    static unsigned CalibrateThreadProc(CCalibrateWizard* wizard);
    void CalibrateLoop();

private:
    // Takes a pending Next: advances the current unless stopped. False
    // when the worker should end.
    bool TakeNext(bool& fix, int& current);
    // The instruction area: the worker's prompt, after the reason of a
    // refused Next while there is one.
    void ShowPrompt(const std::string& prompt);
    void ShowRefusal(const std::string& reason);
    void ShowInstructionLocked();  // m_textMutex held
    // One reading of the fixture as m_reading says; false when it failed.
    bool ReadMeasurement(double* value);

    const WizardReading m_reading;
    const int m_firstCurrent;
    std::atomic<double> m_plausibility{0.5};

    // Set by Start; guarded by m_textMutex for the dialog's thread.
    CalibrateWizardView* m_view = nullptr;
    std::mutex m_threadMutex;  // Start and StopAndJoin come from different threads
    bool m_bStarted = false;
    std::thread m_pWorker;
    std::atomic<bool> m_bWorkerEnded{false};
    std::atomic<int32_t> m_nResult{2};

    // The current, the Next flag and the stop, changed together so that a
    // stop and a Next can never overwrite each other.
    mutable std::mutex m_mutex;
    int32_t m_bNext = 0;
    bool m_bPrevious = false;
    bool m_bStopped = false;
    std::array<CalibrationPoint, 6> m_points{};
    std::array<bool, 6> m_taken{};
    platform::AutoResetEvent m_wake;  // a Next or a stop

    // What the instruction area shows, kept so that the worker's refresh and
    // a refusal on the dialog's thread never overwrite each other.
    std::mutex m_textMutex;
    std::string m_prompt;
    std::string m_refusal;
};

}  // namespace engine
