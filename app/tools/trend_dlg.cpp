#include "app/tools/trend_dlg.h"

#include <QComboBox>
#include <QDateTime>
#include <QFontMetricsF>
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
#include "app/gui_bridge.h"
#include "app/tools/file_chooser.h"
#include "engine/ne43.h"

namespace app {
namespace {

using Steady = std::chrono::steady_clock;
using Wall = std::chrono::system_clock;

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

QString WallText(Wall::time_point t, const QString& format) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch());
    return QDateTime::fromMSecsSinceEpoch(ms.count()).toString(format);
}

// The wall clock at a moment of the monotonic clock, as the axis shows it.
Wall::time_point WallAt(const TrendView& view, Steady::time_point t) {
    return view.wallEnd - std::chrono::duration_cast<Wall::duration>(view.end - t);
}

}  // namespace

QString ChannelName(int channel) {
    if (channel == 0) return QStringLiteral("无");
    if (channel < 0 || channel > 32) return QStringLiteral("未知");
    return QStringLiteral("CH%1").arg(channel, 2, 10, QLatin1Char('0'));
}

std::vector<ChannelLabel> PlaceChannelLabels(const std::vector<ChannelLabel>& changes,
                                             ChannelLabel opening, double left, double right,
                                             double gap) {
    std::vector<ChannelLabel> kept;
    const auto fits = [&](const ChannelLabel& label) {
        for (const ChannelLabel& k : kept)
            if (label.left < k.left + k.width + gap && k.left < label.left + label.width + gap)
                return false;
        return true;
    };
    // Newest first: it names the channel in view, so it always has its place.
    for (auto it = changes.rbegin(); it != changes.rend(); ++it) {
        ChannelLabel label = *it;
        label.left = label.line + gap;
        if (label.left + label.width > right) label.left = label.line - gap - label.width;
        label.left = std::max(label.left, left + gap);
        if (kept.empty() || fits(label)) kept.push_back(std::move(label));
    }
    opening.left = left + gap;
    if (fits(opening)) kept.push_back(std::move(opening));
    return kept;
}

void PaintTrend(QPainter& p, const QRectF& bounds, const QFont& font, const TrendView& view) {
    p.save();
    p.setFont(font);
    p.fillRect(bounds, Qt::white);
    const QFontMetricsF fm(font, p.device());
    const double scaleWidth = fm.horizontalAdvance(QStringLiteral("00.000"));
    // Room on the left for the scale, above it for its unit, below for the
    // times.
    const QRectF area(bounds.left() + scaleWidth + 10, bounds.top() + fm.height() + 8,
                      bounds.width() - scaleWidth - 20, bounds.height() - 2 * fm.height() - 16);
    if (area.width() < 10 || area.height() < 10) {
        p.restore();
        return;
    }
    const std::vector<engine::PollSample>& samples = view.samples;

    // The current range: the readings with a margin, at least 0.1 mA.
    double low = 1e9, high = -1e9;
    for (const auto& s : samples)
        if (engine::IsGoodReading(s))
            low = std::min(low, double(s.milliamps)), high = std::max(high, double(s.milliamps));
    if (low > high) low = 3.0, high = 21.0;
    const double margin = std::max((high - low) * 0.1, 0.05);
    low -= margin;
    high += margin;
    const double spanMs = std::chrono::duration<double, std::milli>(view.span).count();
    const Steady::time_point start = view.end - view.span;
    auto x = [&](Steady::time_point t) {
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
    const double step = NiceStep(high - low, 6);
    for (double v = std::ceil(low / step) * step; v <= high; v += step) {
        p.setPen(QColor(205, 205, 205));
        p.drawLine(QPointF(area.left(), y(v)), QPointF(area.right(), y(v)));
        p.setPen(Qt::black);
        p.drawText(QRectF(bounds.left(), y(v) - fm.height() / 2.0, area.left() - bounds.left() - 4,
                          fm.height()),
                   Qt::AlignRight | Qt::AlignVCenter, QString::number(v, 'f', step < 0.01 ? 3 : 2));
    }
    const double timeWidth = fm.horizontalAdvance(QStringLiteral("00:00:00")) + 4;
    for (int i = 0; i <= 4; ++i) {
        const Steady::time_point t =
            start + std::chrono::duration_cast<Steady::duration>(view.span * i / 4);
        const double px = x(t);
        p.setPen(QColor(205, 205, 205));
        p.drawLine(QPointF(px, area.top()), QPointF(px, area.bottom()));
        p.setPen(Qt::black);
        const Qt::Alignment a = i == 0 ? Qt::AlignLeft : i == 4 ? Qt::AlignRight : Qt::AlignHCenter;
        const double left = i == 0 ? px : i == 4 ? px - timeWidth : px - timeWidth / 2;
        p.drawText(QRectF(left, area.bottom() + 4, timeWidth, fm.height()), a,
                   WallText(WallAt(view, t), QStringLiteral("HH:mm:ss")));
    }
    p.setPen(Qt::gray);
    p.drawRect(area);
    p.setPen(Qt::black);
    p.drawText(
        QRectF(bounds.left(), bounds.top() + 4, area.left() - bounds.left() - 4, fm.height()),
        Qt::AlignRight, QStringLiteral("mA"));

    // Channel changes: a dashed line each, and the channels named where
    // their names have room.
    p.save();
    p.setClipRect(area.adjusted(0, 0, 1, 1));
    const QColor channelColour(90, 90, 200);
    std::vector<ChannelLabel> changes;
    const auto labelOf = [&](int channel, double line) {
        ChannelLabel label;
        label.text = ChannelName(channel);
        label.width = fm.horizontalAdvance(label.text);
        label.line = line;
        return label;
    };
    for (size_t i = 1; i < samples.size(); ++i) {
        if (samples[i].channel == samples[i - 1].channel) continue;
        const double px = x(samples[i].steady);
        p.setPen(QPen(channelColour, 1, Qt::DashLine));
        p.drawLine(QPointF(px, area.top()), QPointF(px, area.bottom()));
        changes.push_back(labelOf(samples[i].channel, px));
    }
    if (!samples.empty()) {
        p.setPen(channelColour);
        const double gap = fm.horizontalAdvance(QLatin1Char(' ')) / 2 + 2;
        for (const ChannelLabel& label :
             PlaceChannelLabels(changes, labelOf(samples.front().channel, area.left()), area.left(),
                                area.right(), gap))
            p.drawText(QPointF(label.left, area.top() + fm.ascent() + 2), label.text);
    }

    // The current; a failed poll or another channel breaks the line, and a
    // failed poll is marked below.
    QPainterPath line;
    bool drawing = false;
    int channel = -1;
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(200, 40, 40));
    for (const auto& s : samples) {
        if (s.channel != channel) drawing = false;
        channel = s.channel;
        if (!engine::IsGoodReading(s)) {
            drawing = false;
            p.drawEllipse(QPointF(x(s.steady), area.bottom() - 3), 2.0, 2.0);
            continue;
        }
        const QPointF point(x(s.steady), y(s.milliamps));
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
    p.restore();
}

QImage RenderTrendPicture(const TrendView& view, const QString& title, const QString& stats) {
    // Pixel sizes and a fixed resolution: nothing of the screen's dpi or
    // scale reaches the file.
    QImage image(kTrendPictureSize, QImage::Format_RGB32);
    image.setDevicePixelRatio(1.0);
    image.setDotsPerMeterX(3780);  // 96 dpi
    image.setDotsPerMeterY(3780);
    image.fill(Qt::white);
    const auto font = [](int pixels, bool bold) {
        QFont f = DialogFont();
        f.setPixelSize(pixels);
        f.setBold(bold);
        return f;
    };
    const QFont titleFont = font(22, true), plotFont = font(15, false), statsFont = font(17, false);
    constexpr int kMargin = 16;
    const int titleHeight = QFontMetrics(titleFont, &image).height() + 2 * kMargin;
    const int statsHeight = QFontMetrics(statsFont, &image).height() + 2 * kMargin;
    QPainter p(&image);
    p.setFont(titleFont);
    p.setPen(Qt::black);
    p.drawText(QRect(kMargin, 0, image.width() - 2 * kMargin, titleHeight),
               Qt::AlignLeft | Qt::AlignVCenter, title);
    PaintTrend(p,
               QRectF(kMargin / 2.0, titleHeight, image.width() - kMargin,
                      image.height() - titleHeight - statsHeight),
               plotFont, view);
    p.setFont(statsFont);
    p.setPen(Qt::black);
    p.drawText(
        QRect(kMargin, image.height() - statsHeight, image.width() - 2 * kMargin, statsHeight),
        Qt::AlignLeft | Qt::AlignVCenter, stats);
    return image;
}

CTrendPlot::CTrendPlot(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(DluToPixels(QSize(240, 120), BaseUnitsFor(parent)));
}

void CTrendPlot::SetView(TrendView view) {
    m_view = std::move(view);
    update();
}

void CTrendPlot::paintEvent(QPaintEvent*) {
    QPainter p(this);
    PaintTrend(p, rect(), font(), m_view);
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
    TrendView view;
    view.span = Spans().at(static_cast<size_t>(std::max(m_span->currentIndex(), 0)));
    view.end = Steady::now();
    view.wallEnd = Wall::now();
    view.samples = m_history.Since(view.end - view.span);
    m_stats = engine::ActiveChannelStats(view.samples);
    m_view = view;
    m_statsLabel->setText(StatsText());
    m_plot->SetView(std::move(view));
}

QString CTrendDlg::StatsText() const {
    if (m_stats.channel < 0 && m_stats.count == 0) return QStringLiteral("无读数");
    const QString channel = ChannelName(m_stats.channel);
    if (m_stats.count == 0) return channel + QStringLiteral("  无读数");
    return channel + QStringLiteral("  最小 %1 mA  最大 %2 mA  平均 %3 mA  标准差 %4 mA  (n=%5)")
                         .arg(m_stats.min, 0, 'f', 3)
                         .arg(m_stats.max, 0, 'f', 3)
                         .arg(m_stats.mean, 0, 'f', 3)
                         .arg(m_stats.stddev, 0, 'f', 4)
                         .arg(m_stats.count);
}

QString CTrendDlg::PictureTitle() const {
    const Wall::time_point from = WallAt(m_view, m_view.end - m_view.span);
    const QString day = QStringLiteral("yyyy-MM-dd");
    const QString time = QStringLiteral("HH:mm:ss");
    // The start's date only when the span began on another day.
    const QString start = WallText(from, day) == WallText(m_view.wallEnd, day)
                              ? WallText(from, time)
                              : WallText(from, day + QLatin1Char(' ') + time);
    return QStringLiteral("趋势图  %1  %2  %3 %4 至 %5")
        .arg(m_view.samples.empty() ? QStringLiteral("无读数") : ChannelName(m_stats.channel),
             m_span->itemText(m_span->currentIndex()), WallText(m_view.wallEnd, day), start,
             WallText(m_view.wallEnd, time));
}

bool CTrendDlg::SavePng(const QString& path) {
    return RenderTrendPicture(m_view, PictureTitle(), StatsText()).save(path, "PNG");
}

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
