// The line below a window's controls that says what the window is in: the
// fixture silent and for how long, a device fault, what the worker is busy
// with, the readings log, demo mode. It only shows what it is told on the
// GUI thread and paints from that alone, so it never waits on a worker or
// the link; it ticks once a second only while it shows a duration.
#pragma once

#include <QString>
#include <QWidget>
#include <chrono>
#include <vector>

#include "app/dialog_units.h"
#include "engine/calibration_record.h"
#include "engine/main_window_view.h"

class QTimer;

namespace app {

// The line's height: one line of the dialog font with a little air.
inline constexpr int kStatusLineHeightDlu = 12;

// "45秒", "2分15秒", "1小时5分".
QString DurationText(std::chrono::seconds elapsed);

class CStatusLine : public QWidget {
    Q_OBJECT

public:
    using Clock = std::chrono::steady_clock;

    struct Item {
        QString text;
        bool alarm = false;  // shown in red
    };

    CStatusLine(QWidget* parent, DialogBaseUnits base);

    void SetDemo(bool demo);
    void SetActivity(engine::Activity activity);
    // The log's file, shown by its name; empty while not logging.
    void SetLogFile(const QString& path);
    // `since`: when the fixture stopped answering, on the steady clock.
    void SetFixtureSilent(bool silent, Clock::time_point since);
    void SetDeviceFault(bool fault);
    // The fixture's calibration: overdue since, or due on, `date`
    // (YYYY-MM-DD); nothing shown with kNone.
    void SetCalibrationDue(engine::DueState state, const QString& date);

    // What it shows at `now`, left to right (before any eliding).
    std::vector<Item> Items(Clock::time_point now) const;
    std::vector<Item> Items() const { return Items(Clock::now()); }
    // The items' texts, two blanks between.
    QString Text() const;
    // Whether it repaints by itself (only while a duration is shown).
    bool Ticking() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void Changed();

    bool m_bDemo = false;
    engine::Activity m_activity = engine::Activity::kNone;
    QString m_strLogPath;
    bool m_bSilent = false;
    Clock::time_point m_silentSince{};
    bool m_bDeviceFault = false;
    engine::DueState m_dueState = engine::DueState::kNone;
    QString m_strDueDate;
    QString m_strTraced;  // the text last traced
    int m_nMargin = 0;    // pixels at either end
    int m_nGap = 0;       // pixels between two items, the rule in the middle
    QTimer* m_tick = nullptr;
};

}  // namespace app
