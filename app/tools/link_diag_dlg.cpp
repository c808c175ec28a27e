#include "app/tools/link_diag_dlg.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "app/dialog_units.h"
#include "platform/trace.h"

namespace app {
namespace {

// How often the window looks at the counters and the queued lines.
constexpr int kRefreshMs = 250;

QString ReasonName(hart::Reason reason) {
    switch (reason) {
        case hart::Reason::kNone:
            return QStringLiteral("成功");
        case hart::Reason::kNoReply:
            return QStringLiteral("无应答");
        case hart::Reason::kIncompleteReply:
            return QStringLiteral("应答不完整");
        case hart::Reason::kBadChecksum:
            return QStringLiteral("校验错误");
        case hart::Reason::kCommError:
            return QStringLiteral("通信错误");
        case hart::Reason::kRejected:
            return QStringLiteral("命令被拒绝");
        case hart::Reason::kPortGone:
            return QStringLiteral("串口断开");
        case hart::Reason::kInterrupted:
            return QStringLiteral("被中断");
        case hart::Reason::kNoChannel:
            return QStringLiteral("无当前通道");
        case hart::Reason::kBadArgument:
            return QStringLiteral("参数错误");
        case hart::Reason::kValueNotAvailable:
            return QStringLiteral("数值不可用");
        case hart::Reason::kImplausibleValue:
            return QStringLiteral("数值不合理");
    }
    return QStringLiteral("?");
}

// "无应答 2, 校验错误 1", or "无" when every count is 0.
QString ByReason(const std::array<uint64_t, hart::kReasonCount>& counts) {
    QStringList parts;
    for (int i = 1; i < hart::kReasonCount; ++i)
        if (counts[static_cast<size_t>(i)] != 0)
            parts << QStringLiteral("%1 %2")
                         .arg(ReasonName(static_cast<hart::Reason>(i)))
                         .arg(counts[static_cast<size_t>(i)]);
    return parts.isEmpty() ? QStringLiteral("无") : parts.join(QStringLiteral(", "));
}

}  // namespace

QString DescribeLinkStats(const hart::LinkStatsSnapshot& s) {
    QStringList lines;
    lines << QStringLiteral("请求: %1    成功: %2    失败: %3")
                 .arg(s.requests)
                 .arg(s.successes)
                 .arg(s.Failures());
    lines << QStringLiteral("失败原因: %1").arg(ByReason(s.failures));
    lines << QStringLiteral("重试: %1    失败的尝试: %2")
                 .arg(s.retries)
                 .arg(ByReason(s.failedAttempts));
    lines << (s.replies == 0 ? QStringLiteral("应答时间: 无")
                             : QStringLiteral("应答时间: 平均 %1 ms, 最大 %2 ms")
                                   .arg(s.meanReplyMs, 0, 'f', 0)
                                   .arg(s.maxReplyMs));
    lines << QStringLiteral("轮询: %1 次/分钟").arg(s.pollsPerMinute, 0, 'f', 1);
    return lines.join(QLatin1Char('\n'));
}

CLinkDiagDlg::CLinkDiagDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("链路诊断"));
    setFont(DialogFont());
    auto* layout = new QVBoxLayout(this);
    m_stats = new QLabel(this);
    m_stats->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(m_stats);
    m_trace = new QPlainTextEdit(this);
    m_trace->setReadOnly(true);
    m_trace->setMaximumBlockCount(kTraceLines);
    m_trace->setLineWrapMode(QPlainTextEdit::NoWrap);
    // The hex columns line up in a fixed face; the names need CJK glyphs,
    // which the fallback supplies.
    m_trace->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_trace->setMinimumSize(DluToPixels(QSize(330, 150), BaseUnitsFor(parent)));
    layout->addWidget(m_trace, 1);
    auto* buttons = new QHBoxLayout;
    auto* reset = new QPushButton(QStringLiteral("重置统计"), this);
    auto* clear = new QPushButton(QStringLiteral("清空记录"), this);
    for (QPushButton* b : {reset, clear}) {
        b->setAutoDefault(false);
        buttons->addWidget(b);
    }
    buttons->addStretch();
    layout->addLayout(buttons);
    connect(reset, &QPushButton::clicked, this, [this] { ResetStatistics(); });
    connect(clear, &QPushButton::clicked, m_trace, &QPlainTextEdit::clear);

    m_listener = platform::AddTraceListener([this](std::string_view line) { OnTraceLine(line); });
    m_timer = new QTimer(this);
    connect(m_timer, &QTimer::timeout, this, [this] { Refresh(); });
    m_timer->start(kRefreshMs);
    Refresh();
}

CLinkDiagDlg::~CLinkDiagDlg() {
    // Returns once no line is being handed to this window.
    platform::RemoveTraceListener(m_listener);
}

void CLinkDiagDlg::OnTraceLine(std::string_view line) {
    std::lock_guard lock(m_mutex);
    m_pending.emplace_back(line);
    // A window that is not refreshed (hidden, busy) keeps only what it
    // would show.
    while (m_pending.size() > static_cast<size_t>(kTraceLines)) m_pending.pop_front();
}

void CLinkDiagDlg::Refresh() {
    m_stats->setText(StatisticsText());
    std::deque<std::string> lines;
    {
        std::lock_guard lock(m_mutex);
        lines.swap(m_pending);
    }
    for (const std::string& l : lines) m_trace->appendPlainText(QString::fromStdString(l));
}

void CLinkDiagDlg::ResetStatistics() {
    hart::LinkStatistics().Reset();
    Refresh();
}

QString CLinkDiagDlg::StatisticsText() const {
    return DescribeLinkStats(hart::LinkStatistics().Snapshot());
}

QString CLinkDiagDlg::TraceText() const { return m_trace->toPlainText(); }

}  // namespace app
