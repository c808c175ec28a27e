#include "app/tools/certificate_pdf.h"

#include <QBuffer>
#include <QFontMetrics>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <algorithm>
#include <charconv>
#include <cmath>

#include "app/dialog_units.h"

namespace app {
namespace {

constexpr int kDpi = 300;
constexpr double kMarginMm = 20.0;

int Mm(double mm) { return static_cast<int>(std::lround(mm * kDpi / 25.4)); }

// A figure as stored, with at least three decimals (4.000, 12.010, 4.0123).
QString Figure(double v, bool sign = false) {
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof(text), v);
    QString s = QString::fromLatin1(text, ec == std::errc() ? static_cast<int>(end - text) : 0);
    const int dot = s.indexOf(QLatin1Char('.'));
    const int decimals = dot < 0 ? 0 : static_cast<int>(s.size()) - dot - 1;
    if (decimals < 3 || s.contains(QLatin1Char('e'))) s = QString::number(v, 'f', 3);
    if (sign && v > 0) s.prepend(QLatin1Char('+'));
    return s;
}

QString Text(const std::string& s) { return QString::fromStdString(s); }

QFont Font(double points, bool bold = false) {
    QFont font = DialogFont();
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

int Failing(const engine::CalibrationRecord& r) {
    return static_cast<int>(std::count_if(r.points.begin(), r.points.end(), [&](const auto& p) {
        return !engine::PointPasses(p, r.settings.tolerancePercentOfSpan);
    }));
}

QString Conclusion(const engine::CalibrationRecord& r) {
    const std::string result = engine::ResultText(r);
    const int n = static_cast<int>(r.points.size());
    const int failing = Failing(r);
    if (r.kind == engine::RecordKind::kCalibration) {
        if (result == "written")
            return QStringLiteral("结论: 校准表已写入夹具. 校准前读数: %1 点中 %2 点超出允差.")
                .arg(n)
                .arg(failing);
        if (result == "failed")
            return QStringLiteral("结论: 校准失败 (%1), 校准未完成.").arg(Text(r.failedStep));
        return QStringLiteral("结论: 校准已取消 (已取 %1 点), 未写入夹具.").arg(n);
    }
    if (result == "pass") return QStringLiteral("结论: 合格, %1 点均在允差内.").arg(n);
    if (result == "fail")
        return QStringLiteral("结论: 不合格, %1 点中 %2 点超出允差.").arg(n).arg(failing);
    return QStringLiteral("结论: 验证已取消 (已取 %1 点).").arg(n);
}

QString ReadingNote(const engine::CalibrationRecord& r) {
    const QString error =
        QStringLiteral("误差 = 读数 - 标准值, 以量程 16 mA (4-20 mA) 的百分数与允差比较.");
    if (r.kind == engine::RecordKind::kCalibration)
        return QStringLiteral(
                   "读数: 夹具转换器的原始读数 (命令 33, 设备变量 4), 即写入夹具校准表的测量值, "
                   "为调整前的数值; 零点在拔出变送器时读取. ") +
               error;
    return QStringLiteral(
               "读数: 夹具在各固定电流下报告的回路电流 (命令 2), 已经夹具现有校准表修正; "
               "验证不向夹具写入任何数据. ") +
           error;
}

// Draws `text` left-aligned in the row at y; returns the row's height.
int Line(QPainter& p, int x, int y, int width, const QString& text, int flags = Qt::AlignLeft) {
    const QRect bounds =
        p.fontMetrics().boundingRect(QRect(x, y, width, 100000), flags | Qt::TextWordWrap, text);
    p.drawText(QRect(x, y, width, bounds.height()), flags | Qt::TextWordWrap, text);
    return bounds.height();
}

}  // namespace

QString KindText(const std::string& kind) {
    return kind == "verification" ? QStringLiteral("校准验证") : QStringLiteral("校准");
}

QString KindText(const engine::CalibrationRecord& record) {
    return KindText(std::string(record.kind == engine::RecordKind::kVerification ? "verification"
                                                                                 : "calibration"));
}

QString VerdictText(const std::string& result) {
    if (result == "written") return QStringLiteral("已写入");
    if (result == "failed") return QStringLiteral("失败");
    if (result == "cancelled") return QStringLiteral("已取消");
    if (result == "pass") return QStringLiteral("合格");
    if (result == "fail") return QStringLiteral("不合格");
    return Text(result);
}

QByteArray RenderCertificate(const engine::CalibrationRecord& record) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    {
        QPdfWriter writer(&buffer);
        writer.setResolution(kDpi);
        writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                         QMarginsF(kMarginMm, kMarginMm, kMarginMm, kMarginMm),
                                         QPageLayout::Millimeter));
        const bool verification = record.kind == engine::RecordKind::kVerification;
        const QString title =
            verification ? QStringLiteral("校准验证记录") : QStringLiteral("校准记录");
        writer.setTitle(title);
        writer.setCreator(QStringLiteral("tarvok-config"));

        QPainter p(&writer);
        const int width = writer.width();
        int y = 0;

        p.setFont(Font(20, true));
        y += Line(p, 0, y, width, title, Qt::AlignHCenter);
        p.setFont(Font(10));
        y += Line(p, 0, y, width, QStringLiteral("Tarvok HART 测试夹具 · 回路电流测量"),
                  Qt::AlignHCenter);
        y += Mm(8);

        // Who, what and when.
        const double tolerance = record.settings.tolerancePercentOfSpan;
        const QString none = QStringLiteral("(未填写)");
        const std::pair<QString, QString> fields[] = {
            {QStringLiteral("类型"), KindText(record)},
            {QStringLiteral("夹具设备号"), record.deviceNumber >= 0
                                               ? QString::number(record.deviceNumber)
                                               : QStringLiteral("未知")},
            {QStringLiteral("串口"),
             record.port.empty() ? QStringLiteral("未知") : Text(record.port)},
            {QStringLiteral("时间"),
             Text(engine::RecordTimeText(record)).replace(QLatin1Char('T'), QLatin1Char(' '))},
            {QStringLiteral("操作员"),
             record.settings.operatorName.empty() ? none : Text(record.settings.operatorName)},
            {QStringLiteral("标准表"),
             record.settings.referenceMeter.empty() ? none : Text(record.settings.referenceMeter)},
            {QStringLiteral("允差"),
             QStringLiteral("±%1 % 量程").arg(Text(engine::FormatTolerance(tolerance)))},
        };
        p.setFont(Font(11));
        const int labelWidth = Mm(30);
        for (const auto& [label, value] : fields) {
            Line(p, 0, y, labelWidth, label + QStringLiteral(":"));
            y += std::max(Line(p, labelWidth, y, width - labelWidth, value), Mm(6));
        }
        y += Mm(6);

        // The points.
        const QString headers[] = {QStringLiteral("标称值 (mA)"),   QStringLiteral("标准值 (mA)"),
                                   QStringLiteral("读数 (mA)"),     QStringLiteral("误差 (mA)"),
                                   QStringLiteral("误差 (% 量程)"), QStringLiteral("判定")};
        constexpr int kColumns = 6;
        const int column = width / kColumns;
        const int rowHeight = Mm(8);
        const auto row = [&](const QString(&cells)[kColumns], bool bold) {
            p.setFont(Font(10.5, bold));
            for (int c = 0; c < kColumns; ++c) {
                const QRect cell(c * column, y, column, rowHeight);
                p.drawRect(cell);
                p.drawText(cell, Qt::AlignCenter, cells[c]);
            }
            y += rowHeight;
        };
        p.setPen(QPen(Qt::black, Mm(0.25)));
        row(headers, true);
        for (const engine::RecordPoint& point : record.points) {
            const bool pass = engine::PointPasses(point, tolerance);
            const QString cells[kColumns] = {
                point.nominalMa == 0.0 ? QStringLiteral("0 (零点)")
                                       : QString::number(point.nominalMa, 'f', 0),
                Figure(point.referenceMa),
                Figure(point.readingMa),
                Figure(engine::ErrorMa(point), true),
                Figure(engine::ErrorPercentOfSpan(point), true),
                pass ? QStringLiteral("合格") : QStringLiteral("超差")};
            row(cells, false);
        }
        if (record.points.empty()) {
            p.setFont(Font(10.5));
            y += Line(p, 0, y + Mm(1), width, QStringLiteral("(未取得任何点)"), Qt::AlignHCenter);
        }
        y += Mm(8);

        p.setFont(Font(12, true));
        y += Line(p, 0, y, width, Conclusion(record));
        y += Mm(4);
        p.setFont(Font(9));
        y += Line(p, 0, y, width, ReadingNote(record));

        // Signatures at the foot of the page.
        p.setFont(Font(11));
        const int foot = writer.height() - Mm(20);
        Line(p, 0, std::max(y + Mm(10), foot), width,
             QStringLiteral("操作员签字: ____________________      审核: ____________________"));
    }
    buffer.close();
    return bytes;
}

}  // namespace app
