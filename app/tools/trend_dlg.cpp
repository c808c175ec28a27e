#include "app/tools/trend_dlg.h"

#include <QComboBox>
#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "app/dialog_units.h"
#include "app/tools/file_chooser.h"
#include "app/gui_bridge.h"
#include "engine/ne43.h"

namespace app {
namespace {

using Clock = std::chrono::system_clock;

// The shading of each NE 43 band.
QColor BandColor(engine::Ne43Band band) {
    switch (band) {
        case engine::Ne43Band::kOk:
            return QColor(226, 242, 226);
        case engine::Ne43Band::kUnder:
        case engine::Ne43Band::kOver:
            return QColor(255, 240, 196);
        case engine::Ne43Band::kFault:
            break;
    }
    return QColor(248, 214, 214);
}

// A round step for about `count` divisions of `range`.
double NiceStep(double range, int count) {
    const double raw = range / std::max(count, 1);
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (raw <= m * magnitude) return m * magnitude;
    return 10.0 * magnitude;
}

QString TimeOfDay(Clock::time_point t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch());
    return QDateTime::fromMSecsSinceEpoch(ms.count()).toString(QStringLiteral("HH:mm:ss"));
}

}  // namespace

CTrendPlot::CTrendPlot(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(DluToPixels(QSize(240, 120), BaseUnitsFor(parent)));
}

void CTrendPlot::SetData(std::vector<engine::PollSample> samples, Clock::time_point end,
                         std::chrono::seconds span) {
    m_samples = std::move(samples);
    m_end = end;
    m_span = span;
    update();
}

void CTrendPlot::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), Qt::white);
    const QFontMetrics fm(font());
    // Room on the left for the scale, above it for its unit, below for the
    // times.
    const QRectF area(fm.horizontalAdvance(QStringLiteral("00.000")) + 10, fm.height() + 8,
                      width() - fm.horizontalAdvance(QStringLiteral("00.000")) - 20,
                      height() - 2 * fm.height() - 16);
    if (area.width() < 10 || area.height() < 10) return;

    // The current range: the readings with a margin, at least 0.1 mA.
    double low = 1e9, high = -1e9;
    for (const auto& s : m_samples)
        if (s.ok)
            low = std::min(low, double(s.milliamps)), high = std::max(high, double(s.milliamps));
    if (low > high) low = 3.0, high = 21.0;
    const double margin = std::max((high - low) * 0.1, 0.05);
    low -= margin;
    high += margin;
    const double spanMs = std::chrono::duration<double, std::milli>(m_span).count();
    const Clock::time_point start = m_end - m_span;
    auto x = [&](Clock::time_point t) {
        return area.left() +
               area.width() * std::chrono::duration<double, std::milli>(t - start).count() / spanMs;
    };
    auto y = [&](double ma) { return area.bottom() - area.height() * (ma - low) / (high - low); };

    // NE 43 bands, clipped to the range shown.
    p.save();
    p.setClipRect(area);
    for (const engine::Ne43Range& band : engine::Ne43Ranges()) {
        const double top = std::min(band.high, high), bottom = std::max(band.low, low);
        if (top <= bottom) continue;
        p.fillRect(QRectF(area.left(), y(top), area.width(), y(bottom) - y(top)),
                   BandColor(band.band));
    }
    p.restore();

    // Grid and scales.
    p.setPen(QColor(200, 200, 200));
    const double step = NiceStep(high - low, 6);
    for (double v = std::ceil(low / step) * step; v <= high; v += step) {
        p.setPen(QColor(205, 205, 205));
        p.drawLine(QPointF(area.left(), y(v)), QPointF(area.right(), y(v)));
        p.setPen(Qt::black);
        p.drawText(QRectF(0, y(v) - fm.height() / 2.0, area.left() - 4, fm.height()),
                   Qt::AlignRight | Qt::AlignVCenter, QString::number(v, 'f', step < 0.01 ? 3 : 2));
    }
    for (int i = 0; i <= 4; ++i) {
        const Clock::time_point t =
            start + std::chrono::duration_cast<Clock::duration>(m_span * i / 4);
        const double px = x(t);
        p.setPen(QColor(205, 205, 205));
        p.drawLine(QPointF(px, area.top()), QPointF(px, area.bottom()));
        p.setPen(Qt::black);
        const Qt::Alignment a = i == 0 ? Qt::AlignLeft : i == 4 ? Qt::AlignRight : Qt::AlignHCenter;
        const double w = fm.horizontalAdvance(QStringLiteral("00:00:00")) + 4;
        const double left = i == 0 ? px : i == 4 ? px - w : px - w / 2;
        p.drawText(QRectF(left, area.bottom() + 4, w, fm.height()), a, TimeOfDay(t));
    }
    p.setPen(Qt::gray);
    p.drawRect(area);
    p.setPen(Qt::black);
    p.drawText(QRectF(0, 4, area.left() - 4, fm.height()), Qt::AlignRight, QStringLiteral("mA"));

    // Channel changes: a dashed line and the new channel.
    p.save();
    p.setClipRect(area.adjusted(0, 0, 1, 1));
    int channel = -1;
    for (const auto& s : m_samples) {
        if (s.channel != channel && channel != -1) {
            const double px = x(s.time);
            p.setPen(QPen(QColor(90, 90, 200), 1, Qt::DashLine));
            p.drawLine(QPointF(px, area.top()), QPointF(px, area.bottom()));
            p.drawText(
                QPointF(px + 3, area.top() + fm.ascent() + 2),
                s.channel == 0 ? QStringLiteral("无") : QStringLiteral("CH%1").arg(s.channel));
        }
        channel = s.channel;
    }

    // The current; a failed poll or another channel breaks the line, and a
    // failed poll is marked below.
    QPainterPath line;
    bool drawing = false;
    channel = -1;
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(200, 40, 40));
    for (const auto& s : m_samples) {
        if (s.channel != channel) drawing = false;
        channel = s.channel;
        if (!s.ok) {
            drawing = false;
            p.drawEllipse(QPointF(x(s.time), area.bottom() - 3), 2.0, 2.0);
            continue;
        }
        const QPointF point(x(s.time), y(s.milliamps));
        if (drawing)
            line.lineTo(point);
        else
            line.moveTo(point);
        drawing = true;
    }
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0, 0, 255), 1.5));
    p.drawPath(line);
    p.restore();
}

CTrendDlg::CTrendDlg(QWidget* parent, const engine::PollHistory& history)
    : QDialog(parent), m_history(history) {
    setWindowTitle(QStringLiteral("趋势图"));
    setFont(DialogFont());
    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel(QStringLiteral("时间范围:"), this));
    m_span = new QComboBox(this);
    m_span->addItems(
        {QStringLiteral("最近1分钟"), QStringLiteral("最近5分钟"), QStringLiteral("最近30分钟")});
    top->addWidget(m_span);
    top->addStretch();
    auto* save = new QPushButton(QStringLiteral("保存PNG..."), this);
    save->setAutoDefault(false);
    top->addWidget(save);
    layout->addLayout(top);
    m_plot = new CTrendPlot(this);
    layout->addWidget(m_plot, 1);
    m_statsLabel = new QLabel(this);
    m_statsLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(m_statsLabel);

    connect(m_span, &QComboBox::currentIndexChanged, this, [this] { Refresh(true); });
    connect(save, &QPushButton::clicked, this, [this] { OnSavePng(); });
    // Once a second: the time axis moves on even without a new poll.
    m_timer = new QTimer(this);
    connect(m_timer, &QTimer::timeout, this, [this] { Refresh(); });
    m_timer->start(1000);
    Refresh(true);
}

const std::vector<std::chrono::seconds>& CTrendDlg::Spans() {
    static const std::vector<std::chrono::seconds> spans{
        std::chrono::minutes(1), std::chrono::minutes(5), std::chrono::minutes(30)};
    return spans;
}

void CTrendDlg::SetSpan(int index) { m_span->setCurrentIndex(index); }

void CTrendDlg::Refresh(bool force) {
    if (!force && !isVisible()) return;
    const auto span = Spans().at(static_cast<size_t>(std::max(m_span->currentIndex(), 0)));
    const auto now = Clock::now();
    std::vector<engine::PollSample> samples = m_history.Since(now - span);
    m_stats = engine::ComputeStats(samples);
    m_statsLabel->setText(StatsText());
    m_plot->SetData(std::move(samples), now, span);
}

QString CTrendDlg::StatsText() const {
    if (m_stats.count == 0) return QStringLiteral("无读数");
    return QStringLiteral("最小 %1 mA    最大 %2 mA    平均 %3 mA    标准差 %4 mA    (%5 个读数)")
        .arg(m_stats.min, 0, 'f', 3)
        .arg(m_stats.max, 0, 'f', 3)
        .arg(m_stats.mean, 0, 'f', 3)
        .arg(m_stats.stddev, 0, 'f', 4)
        .arg(m_stats.count);
}

bool CTrendDlg::SavePng(const QString& path) { return m_plot->grab().save(path, "PNG"); }

void CTrendDlg::OnSavePng() {
    const QString path =
        ChooseFileToWrite(this, QStringLiteral("保存趋势图"), QStringLiteral("tarvok-trend.png"),
                          QStringLiteral("PNG (*.png)"), QStringLiteral("png"));
    if (path.isEmpty()) return;
    if (!SavePng(path))
        AskMessageBox(this, QStringLiteral("错误: 无法保存图片!"), QStringLiteral("错误"),
                      BoxIcon::kError, BoxButtons::kOk);
}

}  // namespace app
