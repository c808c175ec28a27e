// A main window for the engine's tests: keeps what the worker shows, with
// the clock tick of each change, and answers its boxes from a script.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "engine/calibrate_wizard.h"
#include "engine/calibration_record.h"
#include "engine/channel_scan.h"
#include "engine/main_window_view.h"
#include "platform/clock.h"

namespace engine::test {

struct Box {
    std::string text;
    std::string caption;
    BoxIcon icon;
    BoxButtons buttons;
};

class FakeView : public MainWindowView {
public:
    void SetCurrentText(const std::string& text) override {
        std::lock_guard lock(mutex_);
        currentTexts_.push_back(text);
    }
    std::string GetChannelText() override {
        std::lock_guard lock(mutex_);
        return channelText_;
    }
    void SetChannelText(const std::string& text) override {
        std::lock_guard lock(mutex_);
        channelText_ = text;
    }
    void CheckChannelItem(int n) override {
        std::lock_guard lock(mutex_);
        checks_.push_back({n, platform::Tick()});
    }
    void SetDeviceNumberText(const std::string& text) override {
        std::lock_guard lock(mutex_);
        deviceNumberText_ = text;
    }
    void SetBusy(bool busy) override {
        std::lock_guard lock(mutex_);
        busy_.push_back(busy);
    }
    int GetDeviceNumberSelection() override { return selection.load(); }
    int MessageBox(const std::string& text, const std::string& caption, BoxIcon icon,
                   BoxButtons buttons) override {
        std::lock_guard lock(mutex_);
        boxes_.push_back({text, caption, icon, buttons});
        if (answers_.empty()) return buttons == BoxButtons::kOk ? IDOK : IDNO;
        const int a = answers_.front();
        answers_.pop_front();
        return a;
    }
    int RunChannelPrompt(const std::string& channel, bool /*verification*/) override {
        {
            std::lock_guard lock(mutex_);
            prompts_.push_back(channel);
        }
        return channelPrompt ? channelPrompt() : IDCANCEL;
    }
    void RunCalibrateWizard(std::shared_ptr<CCalibrateWizard> wizard) override {
        {
            std::lock_guard lock(mutex_);
            ++wizards_;
        }
        if (wizardDriver) wizardDriver(*wizard);
    }
    int RunCalibrationSummary(const std::vector<RecordPoint>& points) override {
        {
            std::lock_guard lock(mutex_);
            summaries_.push_back(points);
        }
        return summary ? summary(points) : IDOK;
    }
    std::vector<std::vector<RecordPoint>> Summaries() {
        std::lock_guard lock(mutex_);
        return summaries_;
    }
    void OnPoll(const PollSample& sample) override {
        std::lock_guard lock(mutex_);
        polls_.push_back(sample);
    }
    void SetFixtureSilent(bool silent, std::chrono::steady_clock::time_point since) override {
        std::lock_guard lock(mutex_);
        silent_.push_back(silent);
        silentSince_ = since;
    }
    void SetActivity(Activity activity) override {
        std::lock_guard lock(mutex_);
        activities_.push_back(activity);
    }
    void OnScanRow(const ScanRow& row, int done, int total) override {
        std::lock_guard lock(mutex_);
        scanRows_.push_back(row);
        scanProgress_ = {done, total};
    }
    void OnScanFinished(const ScanResult& result) override {
        std::lock_guard lock(mutex_);
        scanResults_.push_back(result);
    }
    std::vector<ScanRow> ScanRows() {
        std::lock_guard lock(mutex_);
        return scanRows_;
    }
    std::vector<ScanResult> ScanResults() {
        std::lock_guard lock(mutex_);
        return scanResults_;
    }
    std::pair<int, int> ScanProgress() {
        std::lock_guard lock(mutex_);
        return scanProgress_;
    }
    void OnCalibrationRecord(const CalibrationRecord& record) override {
        std::lock_guard lock(mutex_);
        records_.push_back(record);
    }
    std::vector<CalibrationRecord> Records() {
        std::lock_guard lock(mutex_);
        return records_;
    }
    std::vector<PollSample> Polls() {
        std::lock_guard lock(mutex_);
        return polls_;
    }
    std::vector<bool> Silent() {
        std::lock_guard lock(mutex_);
        return silent_;
    }
    std::chrono::steady_clock::time_point SilentSince() {
        std::lock_guard lock(mutex_);
        return silentSince_;
    }
    std::vector<Activity> Activities() {
        std::lock_guard lock(mutex_);
        return activities_;
    }
    std::vector<std::string> Prompts() {
        std::lock_guard lock(mutex_);
        return prompts_;
    }
    int Wizards() {
        std::lock_guard lock(mutex_);
        return wizards_;
    }
    // Set before the worker starts.
    std::function<int()> channelPrompt;
    std::function<void(CCalibrateWizard&)> wizardDriver;
    // The summary's answer (确定写入 when unset).
    std::function<int(const std::vector<RecordPoint>&)> summary;

    struct Check {
        int n;
        uint32_t tick;
    };
    std::vector<std::string> CurrentTexts() {
        std::lock_guard lock(mutex_);
        return currentTexts_;
    }
    std::vector<Check> Checks() {
        std::lock_guard lock(mutex_);
        return checks_;
    }
    std::vector<Box> Boxes() {
        std::lock_guard lock(mutex_);
        return boxes_;
    }
    std::vector<bool> Busy() {
        std::lock_guard lock(mutex_);
        return busy_;
    }
    std::string DeviceNumberText() {
        std::lock_guard lock(mutex_);
        return deviceNumberText_;
    }
    void SetChannel(const std::string& text) { SetChannelText(text); }

    std::atomic<int> selection{0};

private:
    std::mutex mutex_;
    std::vector<std::string> currentTexts_;
    std::string channelText_ = "00";
    std::vector<Check> checks_;
    std::string deviceNumberText_;
    std::vector<bool> busy_;
    std::vector<Box> boxes_;
    std::deque<int> answers_;
    std::vector<std::string> prompts_;
    std::vector<std::vector<RecordPoint>> summaries_;
    std::vector<PollSample> polls_;
    std::vector<ScanRow> scanRows_;
    std::vector<ScanResult> scanResults_;
    std::pair<int, int> scanProgress_{0, 0};
    std::vector<bool> silent_;
    std::chrono::steady_clock::time_point silentSince_{};
    std::vector<Activity> activities_;
    std::vector<CalibrationRecord> records_;
    int wizards_ = 0;
};

}  // namespace engine::test
