#include "engine/calibrate_wizard.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "engine/calibration_record.h"
#include "engine/main_window_view.h"
#include "hart/fixture_commands.h"
#include "platform/trace.h"

namespace engine {
namespace {

// One wizard at a time exists; the current is file-wide as the flow has
// always kept it. Guarded by the wizard's mutex while a wizard lives.
std::atomic<int32_t> g_nFixedCurrent{4};

constexpr int kFirstCurrent = 4;
constexpr int kCurrentStep = 4;
constexpr int kLastCurrent = 20;
constexpr uint32_t kRetryWaitMs = 200;
// How far a reference may be from the nominal current, as a fraction of it.
constexpr double kReferenceTolerance = 0.1;
// Characters of a refused entry that its reason quotes.
constexpr size_t kQuotedChars = 16;

bool IsPointCurrent(int current) {
    return current >= kFirstCurrent && current <= kLastCurrent && current % kCurrentStep == 0;
}

// At most kQuotedChars characters of UTF-8 text, never cut inside one.
std::string Quoted(const std::string& text) {
    size_t chars = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
        if (chars++ == kQuotedChars) return text.substr(0, i) + "...";
    }
    return text;
}

}  // namespace

int FixedCurrent() { return g_nFixedCurrent.load(); }

std::optional<float> ParseReference(const std::string& text, int nominal, std::string* reason) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    const std::string typed =
        first == std::string::npos
            ? std::string()
            : text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
    const double low = nominal * (1.0 - kReferenceTolerance);
    const double high = nominal * (1.0 + kReferenceTolerance);
    const auto refuse = [&](const std::string& why) -> std::optional<float> {
        if (reason != nullptr) *reason = why;
        return std::nullopt;
    };
    char range[96];
    std::snprintf(range, sizeof(range), "实际电流值应在%.3f至%.3f mA之间", low, high);
    if (typed.empty()) {
        char empty[128];
        std::snprintf(empty, sizeof(empty),
                      "错误: 未输入实际电流值, 应在%.3f至%.3f mA之间, 请输入电流表的读数!", low, high);
        return refuse(empty);
    }
    const std::string quoted = "错误: 输入值\"" + Quoted(text) + "\"无效, ";

    // The first character that makes it no plain decimal, counted in
    // characters of the text as typed (blanks around it included).
    size_t place = 0;
    bool dot = false;
    bool digit = false;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
        ++place;
        const bool inside = i >= first && i < first + typed.size();
        const char c = text[i];
        if (!inside || (c >= '0' && c <= '9')) {
            digit = digit || inside;
            continue;
        }
        size_t length = 1;
        while (i + length < text.size() &&
               (static_cast<unsigned char>(text[i + length]) & 0xC0) == 0x80)
            ++length;
        const std::string character = text.substr(i, length);
        if (c == '.' && !dot) {
            dot = true;
            continue;
        }
        const char* what = c == '.' ? "是第二个小数点" : "不是数字";
        return refuse(quoted + "第" + std::to_string(place) + "个字符\"" + character + "\"" + what +
                      ", 请重新输入!");
    }
    if (!digit) return refuse(quoted + "没有数字, 请重新输入!");

    double value = 0.0;
    const auto [end, error] =
        std::from_chars(typed.data(), typed.data() + typed.size(), value, std::chars_format::fixed);
    // The bounds are decimal: 8.8 must pass at 8 mA although 8.8 - 8 is a
    // hair above 0.8 in binary.
    constexpr double kSlack = 1e-9;
    if (error == std::errc() && end == typed.data() + typed.size() &&
        std::fabs(value - nominal) <= kReferenceTolerance * nominal + kSlack) {
        return static_cast<float>(value);
    }
    return refuse("错误: 输入值\"" + Quoted(text) + "\"超出范围, " + range + ", 请重新输入!");
}

std::string ImplausibilityQuestion(double reference, double reading, double percentOfSpan) {
    const double difference = std::fabs(reference - reading);
    // Compared in the shown figures (0.001 mA), so a limit met exactly passes.
    const double limit = percentOfSpan / 100.0 * kSpanMa;
    if (std::round(difference * 1e6) <= std::round(limit * 1e6)) return {};
    char text[160];
    std::snprintf(text, sizeof(text), "与夹具读数相差 %.3f mA (%.2f %% 量程), 确定使用该值吗?",
                  difference, difference / kSpanMa * 100.0);
    return text;
}

void LeaveFixedCurrent() {
    if (!hart::FixTransmitterCurrent(0.0f)) {
        platform::Trace(
            "calibration: the transmitter did not confirm leaving fixed-current mode\n");
    }
}

CCalibrateWizard::CCalibrateWizard(WizardReading reading, int firstCurrent)
    : m_reading(reading),
      m_firstCurrent(IsPointCurrent(firstCurrent) ? firstCurrent : kFirstCurrent) {
    g_nFixedCurrent.store(m_firstCurrent);
}

CCalibrateWizard::~CCalibrateWizard() { StopAndJoin(); }

void CCalibrateWizard::Start(CalibrateWizardView& view) {
    std::lock_guard threadLock(m_threadMutex);
    m_bStarted = true;
    {
        std::lock_guard textLock(m_textMutex);
        m_view = &view;
    }
    m_bWorkerEnded.store(false);
    m_pWorker = std::thread(CalibrateThreadProc, this);
}

bool CCalibrateWizard::OnNext(const std::string& measuredText, const std::string& referenceText) {
    std::string reason;
    {
        std::lock_guard lock(m_mutex);
        // Going back already: this point is not the one shown any more.
        if (m_bPrevious) return false;
        const int current = g_nFixedCurrent.load();
        if (IsPointCurrent(current)) {
            if (const std::optional<float> reference =
                    ParseReference(referenceText, current, &reason)) {
                CalibrationPoint& p = m_points[static_cast<size_t>(current / kCurrentStep)];
                // The measurement is the wizard's own "%.03f", written in the
                // same C locale it is read back in.
                p.measured = static_cast<float>(std::atof(measuredText.c_str()));
                p.reference = *reference;
                m_taken[static_cast<size_t>(current / kCurrentStep)] = true;
            }
        }
        if (reason.empty()) {
            m_bNext = 1;
            m_wake.Set();
        }
    }
    ShowRefusal(reason);
    return reason.empty();
}

void CCalibrateWizard::ShowPrompt(const std::string& prompt) {
    std::lock_guard lock(m_textMutex);
    m_prompt = prompt;
    ShowInstructionLocked();
}

void CCalibrateWizard::ShowRefusal(const std::string& reason) {
    std::lock_guard lock(m_textMutex);
    if (reason == m_refusal) return;
    m_refusal = reason;
    // Shown at once, and taken away as soon as it no longer holds.
    if (m_view != nullptr) ShowInstructionLocked();
}

void CCalibrateWizard::ShowInstructionLocked() {
    if (m_refusal.empty() || m_prompt.empty()) {
        m_view->SetInstructionText(m_refusal.empty() ? m_prompt : m_refusal);
    } else {
        m_view->SetInstructionText(m_refusal + "\r\n" + m_prompt);
    }
}

bool CCalibrateWizard::OnPrevious() {
    {
        std::lock_guard lock(m_mutex);
        const int current = g_nFixedCurrent.load();
        if (m_bStopped || !IsPointCurrent(current) || current == kFirstCurrent || m_bNext == 1 ||
            m_bPrevious)
            return false;
        m_bPrevious = true;
    }
    ShowRefusal({});
    m_wake.Set();
    return true;
}

std::optional<float> CCalibrateWizard::CheckReference(const std::string& text, bool tellRange) {
    const int nominal = Nominal();
    if (nominal == 0) return std::nullopt;
    std::string reason;
    const std::optional<float> value = ParseReference(text, nominal, &reason);
    const bool tell = !value && (tellRange || (!text.empty() && reason.find("个字符") != std::string::npos));
    ShowRefusal(tell ? reason : std::string());
    return value;
}

int CCalibrateWizard::Nominal() const {
    std::lock_guard lock(m_mutex);
    const int current = g_nFixedCurrent.load();
    return !m_bStopped && m_bNext == 0 && !m_bPrevious && IsPointCurrent(current) ? current : 0;
}

void CCalibrateWizard::OnStop() {
    {
        std::lock_guard lock(m_mutex);
        m_bStopped = true;
        g_nFixedCurrent.store(kStopMark);
    }
    m_wake.Set();
}

void CCalibrateWizard::OnTimer() {
    std::lock_guard lock(m_mutex);
    m_nResult.store(m_bStopped ? 2 : 1);
    // The dialog closes now; a close counts as a stop from here on.
    m_bStopped = true;
    g_nFixedCurrent.store(kStopMark);
}

void CCalibrateWizard::StopAndJoin() {
    std::lock_guard threadLock(m_threadMutex);
    if (!m_bStarted) {
        // Not started yet: one started later must not go on after this.
        std::lock_guard lock(m_mutex);
        m_bStopped = true;
        return;
    }
    if (!m_pWorker.joinable()) return;
    if (!m_bWorkerEnded.load()) {
        // Only a running worker is stopped: an ended one keeps its outcome.
        std::lock_guard lock(m_mutex);
        if (g_nFixedCurrent.load() <= kLastCurrent) {
            m_bStopped = true;
            g_nFixedCurrent.store(kStopMark);
        }
    }
    m_pWorker.join();
}

CalibrationPoint CCalibrateWizard::Point(int index) const {
    std::lock_guard lock(m_mutex);
    return m_points.at(static_cast<size_t>(index));
}

void CCalibrateWizard::SetPoint(int index, CalibrationPoint point) {
    std::lock_guard lock(m_mutex);
    m_points.at(static_cast<size_t>(index)) = point;
    m_taken.at(static_cast<size_t>(index)) = true;
}

bool CCalibrateWizard::PointTaken(int index) const {
    std::lock_guard lock(m_mutex);
    return m_taken.at(static_cast<size_t>(index));
}

bool CCalibrateWizard::ReadMeasurement(double* value) {
    const hart::Result<float> r = m_reading == WizardReading::kLoopCurrent
                                      ? hart::ReadLoopCurrent()
                                      : hart::ReadMeasuredCurrent();
    if (!r) return false;
    *value = *r;
    return true;
}

unsigned CCalibrateWizard::CalibrateThreadProc(CCalibrateWizard* wizard) {
    wizard->CalibrateLoop();
    return 1;
}

bool CCalibrateWizard::TakeNext(bool& fix, int& current) {
    std::lock_guard lock(m_mutex);
    if (m_bNext == 1) {
        m_bNext = 0;
        if (!m_bStopped) g_nFixedCurrent.fetch_add(kCurrentStep);
        fix = true;
    } else if (m_bPrevious) {
        m_bPrevious = false;
        if (!m_bStopped) g_nFixedCurrent.fetch_sub(kCurrentStep);
        fix = true;
    }
    current = g_nFixedCurrent.load();
    return !m_bStopped && current <= kLastCurrent;
}

void CCalibrateWizard::CalibrateLoop() {
    bool fix = true;
    {
        std::lock_guard lock(m_mutex);
        if (!m_bStopped) g_nFixedCurrent.store(m_firstCurrent);
    }
    int current = m_firstCurrent;
    while (TakeNext(fix, current)) {
        if (fix) {
            if (hart::FixTransmitterCurrent(static_cast<float>(current))) {
                char text[32];
                std::snprintf(text, sizeof(text), "%d.000", current);
                // Typed on purpose at every point: the nominal is only a hint,
                // and the last point's reading is no reading of this one.
                m_view->SetReferenceText("");
                m_view->SetReferencePlaceholder(text);
                m_view->SetMeasuredText("");
                fix = false;
            } else {
                char text[64];
                std::snprintf(text, sizeof(text), "错误: 固定电流%d.000 mA失败!", current);
                // OK tries the same current again; the operator's other
                // answer is the way out when it can never succeed.
                if (m_view->ErrorBox(text) != IDOK) OnStop();
            }
            continue;
        }
        double v = 0.0;
        if (!ReadMeasurement(&v)) {
            // Read again on the next pass; a port that is gone fails at
            // once, so wait a little (a Next or a stop ends the wait).
            m_wake.Wait(kRetryWaitMs);
            continue;
        }
        char text[256];
        std::snprintf(text, sizeof(text),
                      "提示: 当前电流固定在%d.000 mA, 请输入当前电流表的观察到值: "
                      "\r\n\r\n当前电流采集值是: %.03fmA. ",
                      current, v);
        ShowPrompt(text);
        std::snprintf(text, sizeof(text), "%.03f", v);
        m_view->SetMeasuredText(text);
    }
    m_bWorkerEnded.store(true);
    m_view->WorkerEnded();
}

}  // namespace engine
