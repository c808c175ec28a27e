#include "engine/calibrate_wizard.h"

#include <cstdio>
#include <cstdlib>

#include "engine/main_window_view.h"
#include "hart/decoders.h"
#include "hart/transaction.h"

namespace engine {
namespace {

// One wizard at a time exists; the current is file-wide as the flow has
// always kept it. Guarded by the wizard's mutex while a wizard lives.
std::atomic<int32_t> g_nFixedCurrent{4};

constexpr int kFirstCurrent = 4;
constexpr int kCurrentStep = 4;
constexpr int kLastCurrent = 20;
constexpr uint32_t kRetryWaitMs = 200;

}  // namespace

void SetDeviceVariableCodes() {
    hart::SetRequestDataCount(4);
    hart::SetRequestByte(0, 4);
    hart::SetRequestByte(1, 0);
    hart::SetRequestByte(2, 1);
    hart::SetRequestByte(3, 2);
}

int FixedCurrent() { return g_nFixedCurrent.load(); }

CCalibrateWizard::CCalibrateWizard() { g_nFixedCurrent.store(kFirstCurrent); }

CCalibrateWizard::~CCalibrateWizard() { StopAndJoin(); }

void CCalibrateWizard::Start(CalibrateWizardView& view) {
    std::lock_guard threadLock(m_threadMutex);
    m_bStarted = true;
    m_view = &view;
    m_bWorkerEnded.store(false);
    m_pWorker = std::thread(CalibrateThreadProc, this);
}

void CCalibrateWizard::OnNext(const std::string& measuredText, const std::string& referenceText) {
    std::lock_guard lock(m_mutex);
    const int current = g_nFixedCurrent.load();
    if (current <= kLastCurrent && current >= kFirstCurrent && current % kCurrentStep == 0) {
        CalibrationPoint& p = m_points[static_cast<size_t>(current / kCurrentStep)];
        p.measured = static_cast<float>(std::atof(measuredText.c_str()));
        p.reference = static_cast<float>(std::atof(referenceText.c_str()));
    }
    m_bNext = 1;
    m_wake.Set();
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
    }
    current = g_nFixedCurrent.load();
    return !m_bStopped && current <= kLastCurrent;
}

void CCalibrateWizard::CalibrateLoop() {
    bool fix = true;
    {
        std::lock_guard lock(m_mutex);
        if (!m_bStopped) g_nFixedCurrent.store(kFirstCurrent);
    }
    int current = kFirstCurrent;
    while (TakeNext(fix, current)) {
        if (fix) {
            hart::SetRequestDataCount(4);
            hart::SetRequestFloat(0, static_cast<float>(current));
            if (hart::ChannelTransaction(40) == 1) {
                char text[32];
                std::snprintf(text, sizeof(text), "%d.000", current);
                m_view->SetReferenceText(text);
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
        SetDeviceVariableCodes();
        if (hart::FixtureTransaction(33) != 1) {
            // Read again on the next pass; a port that is gone fails at
            // once, so wait a little (a Next or a stop ends the wait).
            m_wake.Wait(kRetryWaitMs);
            continue;
        }
        const double v = hart::g_hartData.deviceVariables[0].value;
        char text[256];
        std::snprintf(text, sizeof(text),
                      "提示: 当前电流固定在%d.000 mA, 请输入当前电流表的观察到值: "
                      "\r\n\r\n当前电流采集值是: %.03fmA. ",
                      current, v);
        m_view->SetInstructionText(text);
        std::snprintf(text, sizeof(text), "%.03f", v);
        m_view->SetMeasuredText(text);
    }
    m_bWorkerEnded.store(true);
    m_view->WorkerEnded();
}

}  // namespace engine
