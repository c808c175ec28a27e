#include "app/status_line.h"

#include <QFileInfo>
#include <QPainter>
#include <QTimer>
#include <algorithm>

#include "platform/trace.h"

namespace app {
namespace {

constexpr QColor kAlarmColor(204, 0, 0);
constexpr QColor kTextColor(0, 0, 0);
// The sunken rule along the top and between the items.
constexpr QColor kRuleDark(160, 160, 160);
constexpr QColor kRuleLight(255, 255, 255);
constexpr int kMarginDlu = 3;
constexpr int kGapDlu = 6;
constexpr int kTickMs = 1000;

}  // namespace

QString DurationText(std::chrono::seconds elapsed) {
    const long long s = std::max<long long>(0, elapsed.count());
    if (s < 60) return QStringLiteral("%1秒").arg(s);
    if (s < 3600) return QStringLiteral("%1分%2秒").arg(s / 60).arg(s % 60);
    return QStringLiteral("%1小时%2分").arg(s / 3600).arg(s % 3600 / 60);
}

CStatusLine::CStatusLine(QWidget* parent, DialogBaseUnits base) : QWidget(parent) {
    setObjectName(QStringLiteral("status_line"));
    setFixedHeight(DluToPixelsY(kStatusLineHeightDlu, base));
    m_nMargin = DluToPixelsX(kMarginDlu, base);
    m_nGap = DluToPixelsX(kGapDlu, base);
    m_tick = new QTimer(this);
    m_tick->setInterval(kTickMs);
    connect(m_tick, &QTimer::timeout, this, qOverload<>(&QWidget::update));
}

void CStatusLine::SetDemo(bool demo) {
    m_bDemo = demo;
    Changed();
}

void CStatusLine::SetActivity(engine::Activity activity) {
    m_activity = activity;
    Changed();
}

void CStatusLine::SetLogFile(const QString& path) {
    m_strLogPath = path;
    setToolTip(path.isEmpty() ? QString() : QStringLiteral("记录文件: %1").arg(path));
    Changed();
}

void CStatusLine::SetFixtureSilent(bool silent, Clock::time_point since) {
    m_bSilent = silent;
    m_silentSince = since;
    Changed();
}

void CStatusLine::SetDeviceFault(bool fault) {
    m_bDeviceFault = fault;
    Changed();
}

void CStatusLine::SetCalibrationDue(engine::DueState state, const QString& date) {
    m_dueState = state;
    m_strDueDate = date;
    Changed();
}

std::vector<CStatusLine::Item> CStatusLine::Items(Clock::time_point now) const {
    std::vector<Item> items;
    // What needs the operator first, then what runs, then the mode.
    if (m_bSilent) {
        const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(now - m_silentSince);
        items.push_back({QStringLiteral("夹具无应答 (%1)").arg(DurationText(elapsed)), true});
    }
    if (m_bDeviceFault) items.push_back({QStringLiteral("设备故障"), true});
    if (m_dueState == engine::DueState::kOverdue)
        items.push_back({QStringLiteral("校准已过期 (%1)").arg(m_strDueDate), true});
    if (m_dueState == engine::DueState::kSoon)
        items.push_back({QStringLiteral("校准将于%1到期").arg(m_strDueDate)});
    if (m_activity == engine::Activity::kScanning) items.push_back({QStringLiteral("扫描中")});
    if (m_activity == engine::Activity::kCalibrating) items.push_back({QStringLiteral("校准中")});
    if (!m_strLogPath.isEmpty())
        items.push_back({QStringLiteral("记录中: %1").arg(QFileInfo(m_strLogPath).fileName())});
    if (m_bDemo) items.push_back({QStringLiteral("演示模式")});
    return items;
}

QString CStatusLine::Text() const {
    QStringList texts;
    for (const Item& item : Items()) texts << item.text;
    return texts.join(QStringLiteral("  "));
}

bool CStatusLine::Ticking() const { return m_tick->isActive(); }

void CStatusLine::Changed() {
    // A duration is the only thing that changes by itself.
    if (m_bSilent && !m_tick->isActive())
        m_tick->start();
    else if (!m_bSilent)
        m_tick->stop();
    // Under --trace what it says goes with the frames, each change once.
    if (platform::TraceEnabled() && Text() != m_strTraced) {
        m_strTraced = Text();
        platform::Trace("status line: '" + m_strTraced.toStdString() + "'\n");
    }
    update();
}

void CStatusLine::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setPen(kRuleDark);
    p.drawLine(0, 0, width() - 1, 0);
    p.setPen(kRuleLight);
    p.drawLine(0, 1, width() - 1, 1);

    std::vector<Item> items = Items();
    if (items.empty()) return;
    const QFontMetrics metrics = fontMetrics();
    int total = 2 * m_nMargin + m_nGap * static_cast<int>(items.size() - 1);
    for (const Item& item : items) total += metrics.horizontalAdvance(item.text);
    // Too long for the line: the log's file name gives way, in its middle.
    const int excess = total - width();
    if (excess > 0 && !m_strLogPath.isEmpty()) {
        for (Item& item : items) {
            if (!item.text.startsWith(QStringLiteral("记录中"))) continue;
            const QString prefix = QStringLiteral("记录中: ");
            const QString name = item.text.mid(prefix.size());
            // At least the ellipsis: a log is on, under some name.
            const int room = std::max(metrics.horizontalAdvance(name) - excess,
                                      metrics.horizontalAdvance(QChar(0x2026)));
            item.text = prefix + metrics.elidedText(name, Qt::ElideMiddle, room);
        }
    }

    const QRect band(0, 2, width(), height() - 2);
    int x = m_nMargin;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0) {
            const int rule = x + m_nGap / 2 - m_nGap;
            p.setPen(kRuleDark);
            p.drawLine(rule, band.top() + 2, rule, band.bottom() - 2);
            p.setPen(kRuleLight);
            p.drawLine(rule + 1, band.top() + 2, rule + 1, band.bottom() - 2);
        }
        p.setPen(items[i].alarm ? kAlarmColor : kTextColor);
        const int w = metrics.horizontalAdvance(items[i].text);
        p.drawText(QRect(x, band.top(), w, band.height()), Qt::AlignLeft | Qt::AlignVCenter,
                   items[i].text);
        x += w + m_nGap;
    }
}

}  // namespace app
