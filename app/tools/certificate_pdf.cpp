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
#include <vector>

#include "app/dialog_units.h"
#include "app/tools/page_flow.h"

namespace app {
namespace {

constexpr int kDpi = 300;
constexpr double kMarginMm = 20.0;
constexpr int kColumns = 6;  // of the table of points

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

        const int width = writer.width();
        const QPaintDevice* device = &writer;
        // Laid out in full first, then painted: each page says how many
        // there are.
        PageFlow flow;
        AddText(flow, title, Font(20, true), device, 0, width, Qt::AlignHCenter);
        AddText(flow, QStringLiteral("Tarvok HART 测试夹具 · 回路电流测量"), Font(10), device, 0,
                width, Qt::AlignHCenter);
        flow.AddSpace(Mm(8));

        // Who, what and when. A long value wraps in its column, a line a
        // block, its label beside the first.
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
        const QFont fieldFont = Font(11);
        const int labelWidth = Mm(30);
        for (const auto& [label, value] : fields) {
            PageFlow::Block& line = flow.At(AddText(flow, value, fieldFont, device, labelWidth,
                                                    width - labelWidth, Qt::AlignLeft, Mm(6)));
            line.paint = [paint = line.paint, text = label + QStringLiteral(":"), fieldFont,
                          labelWidth](QPainter& p, const QRect& r) {
                paint(p, r);
                p.setFont(fieldFont);
                p.drawText(QRect(r.left(), r.top(), labelWidth, r.height()),
                           Qt::AlignLeft | Qt::AlignTop, text);
            };
        }
        flow.AddSpace(Mm(6));

        // The points: a row a block, never cut by a page; the header goes
        // with the first row and again over the rows a new page begins with.
        const QString headers[] = {QStringLiteral("标称值 (mA)"),   QStringLiteral("标准值 (mA)"),
                                   QStringLiteral("读数 (mA)"),     QStringLiteral("误差 (mA)"),
                                   QStringLiteral("误差 (% 量程)"), QStringLiteral("判定")};
        const int column = width / kColumns;
        const QPen rule(Qt::black, Mm(0.25));
        const auto row = [&](const QString(&cells)[kColumns], bool bold) {
            PageFlow::Block block;
            block.height = Mm(8);
            block.paint = [cells = std::vector<QString>(cells, cells + kColumns), bold, column,
                           rule](QPainter& p, const QRect& r) {
                p.setFont(Font(10.5, bold));
                p.setPen(rule);
                for (int c = 0; c < kColumns; ++c) {
                    const QRect cell(r.left() + c * column, r.top(), column, r.height());
                    p.drawRect(cell);
                    p.drawText(cell, Qt::AlignCenter, cells[static_cast<size_t>(c)]);
                }
            };
            return block;
        };
        PageFlow::Block header = row(headers, true);
        header.keepWithNext = !record.points.empty();
        const int headerIndex = flow.Add(std::move(header));
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
            PageFlow::Block block = row(cells, false);
            block.repeat = headerIndex;
            flow.Add(std::move(block));
        }
        if (record.points.empty()) {
            flow.AddSpace(Mm(1));
            AddText(flow, QStringLiteral("(未取得任何点)"), Font(10.5), device, 0, width,
                    Qt::AlignHCenter);
        }
        flow.AddSpace(Mm(8));

        AddText(flow, Conclusion(record), Font(12, true), device, 0, width, Qt::AlignLeft);
        flow.AddSpace(Mm(4));
        AddText(flow, ReadingNote(record), Font(9), device, 0, width, Qt::AlignLeft);

        // Signatures at the foot of the last page, at least 10 mm below
        // the rest; a page of their own when there is no room.
        flow.AddSpace(Mm(10));
        const QFont signFont = Font(11);
        PageFlow::Block signatures;
        signatures.atFoot = true;
        signatures.height = QFontMetrics(signFont, device).lineSpacing() + Mm(12);
        signatures.paint = [signFont](QPainter& p, const QRect& r) {
            p.setFont(signFont);
            p.drawText(
                r, Qt::AlignLeft | Qt::AlignTop,
                QStringLiteral("操作员签字: ____________________      审核: ____________________"));
        };
        flow.Add(std::move(signatures));

        // The page number in a band of its own under the body.
        const QFont numberFont = Font(9);
        const int numberHeight = QFontMetrics(numberFont, device).lineSpacing();
        const int body = writer.height() - numberHeight - Mm(4);
        const std::vector<PageFlow::Page> pages = flow.Paginate(body);
        QPainter p(&writer);
        flow.Paint(p, writer, pages, width, [&](QPainter& painter, int page, int count) {
            painter.setFont(numberFont);
            painter.drawText(QRect(0, writer.height() - numberHeight, width, numberHeight),
                             Qt::AlignHCenter | Qt::AlignTop,
                             QStringLiteral("第 %1 页 共 %2 页").arg(page).arg(count));
        });
    }
    buffer.close();
    return bytes;
}

}  // namespace app
