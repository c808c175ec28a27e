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
#include <cstdlib>
#include <vector>

#include "app/dialog_units.h"
#include "app/tools/page_flow.h"

namespace app {
namespace {

constexpr int kDpi = 300;
constexpr double kMarginMm = 18.0;
constexpr int kColumns = 7;  // of the table of points

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

int Failing(const std::vector<engine::RecordPoint>& points, double tolerance) {
    return static_cast<int>(std::count_if(points.begin(), points.end(), [&](const auto& p) {
        return !engine::PointPasses(p, tolerance);
    }));
}

int Failing(const engine::CalibrationRecord& r) {
    return Failing(r.points, r.settings.tolerancePercentOfSpan);
}

QString Conclusion(const engine::CalibrationRecord& r) {
    const std::string result = engine::ResultText(r);
    const int n = static_cast<int>(r.points.size());
    const int failing = Failing(r);
    if (r.kind == engine::RecordKind::kCalibration) {
        const QString before =
            QStringLiteral("校准前读数: %1 点中 %2 点超出允差.").arg(n).arg(failing);
        const int left = static_cast<int>(r.asLeft.size());
        const int leftFailing = Failing(r.asLeft, r.settings.tolerancePercentOfSpan);
        if (result == "written")
            return QStringLiteral("结论: 校准表已写入夹具, 未做校准后验证. ") + before;
        if (result == "pass")
            return QStringLiteral("结论: 合格. 校准表已写入夹具, 校准后验证 %1 点均在允差内. ")
                       .arg(left) +
                   before;
        if (result == "fail")
            return QStringLiteral("结论: 不合格. 校准表已写入夹具, 校准后验证 %1 点中 %2 点超出允差. ")
                       .arg(left)
                       .arg(leftFailing) +
                   before;
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
    const QString error = QStringLiteral(
        "误差 = 读数 - 标准值, 以量程 16 mA (4-20 mA) 的百分数与允差比较. "
        "U: 误差的扩展不确定度 (k=2), 由标准表准确度与读数分辨力 0.001 mA "
        "(均按均匀分布) 合成, 标准表多次读数取平均时另计其平均值的标准偏差.");
    if (r.kind == engine::RecordKind::kCalibration)
        return QStringLiteral(
                   "校准前读数: 夹具转换器的原始读数 (命令 33, 设备变量 4), 即写入夹具校准表的"
                   "测量值, 为调整前的数值; 零点在拔出变送器时读取. 校准后验证读数: 夹具经新校准表"
                   "修正后报告的回路电流 (命令 2). ") +
               error;
    return QStringLiteral(
               "读数: 夹具在各固定电流下报告的回路电流 (命令 2), 已经夹具现有校准表修正; "
               "验证不向夹具写入任何数据. ") +
           error;
}

}  // namespace

QString ErrorFigure(double value) {
    // From the millionths the record keeps, halves away from zero: 0.16875
    // is +0.169 whichever side of it its binary fraction lies.
    const long long micro = std::llround(value * 1e6);
    const long long milli = (micro + (micro < 0 ? -500 : 500)) / 1000;
    if (milli == 0) return QStringLiteral("0.000");
    const long long whole = std::llabs(milli);
    return QStringLiteral("%1%2.%3")
        .arg(milli < 0 ? QLatin1Char('-') : QLatin1Char('+'))
        .arg(whole / 1000)
        .arg(whole % 1000, 3, 10, QLatin1Char('0'));
}

QString UncertaintyFigure(double value) {
    // Rounded up to 0.0001 mA: an uncertainty is never stated smaller than
    // it is.
    const long long micro = std::llround(value * 1e6);
    const long long tenThousandths = (micro + 99) / 100;
    return QStringLiteral("%1.%2").arg(tenThousandths / 10000).arg(tenThousandths % 10000, 4, 10,
                                                                    QLatin1Char('0'));
}

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

QByteArray RenderCertificate(const engine::CalibrationRecord& record,
                             const CertificateOptions& options) {
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
        AddText(flow, title, Font(18, true), device, 0, width, Qt::AlignHCenter);
        AddText(flow, QStringLiteral("Tarvok HART 测试夹具 · 回路电流测量"), Font(10), device, 0,
                width, Qt::AlignHCenter);
        flow.AddSpace(Mm(6));

        // Who, what and when. A long value wraps in its column, a line a
        // block, its label beside the first.
        const engine::RecordSettings& settings = record.settings;
        const double tolerance = settings.tolerancePercentOfSpan;
        const QString none = QStringLiteral("(未填写)");
        const QString unknown = QStringLiteral("未知");
        const auto orNone = [&](const std::string& text) { return text.empty() ? none : Text(text); };
        QString meter = orNone(settings.meterModel) + QStringLiteral(", 编号 ") +
                        orNone(settings.meterSerial) + QStringLiteral(", 有效期至 ") +
                        orNone(settings.meterDue);
        if (!settings.referenceMeter.empty())
            meter += QStringLiteral(" (%1)").arg(Text(settings.referenceMeter));
        const std::string due = engine::DueDateText(record);
        // Short fields two to a line, the long ones a line each.
        const std::pair<QString, QString> pairs[][2] = {
            {{QStringLiteral("证书编号"),
              record.certificateNumber.empty() ? unknown : Text(record.certificateNumber)},
             {QStringLiteral("时间"), Text(engine::RecordTimeText(record))
                                          .replace(QLatin1Char('T'), QLatin1Char(' '))}},
            {{QStringLiteral("夹具设备号"),
              record.deviceNumber >= 0 ? QString::number(record.deviceNumber) : unknown},
             {QStringLiteral("串口"), record.port.empty() ? unknown : Text(record.port)}},
            {{QStringLiteral("通道"), record.channel >= 1 && record.channel <= 32
                                          ? QStringLiteral("CH%1").arg(record.channel)
                                          : unknown},
             {QStringLiteral("变送器"),
              record.transmitter.empty() ? unknown : Text(record.transmitter)}},
            {{QStringLiteral("允差"),
              QStringLiteral("±%1 % 量程").arg(Text(engine::FormatTolerance(tolerance)))},
             {QStringLiteral("判定规则"), QStringLiteral("简单接受 (ILAC-G8)")}},
            {{QStringLiteral("下次校准日期"), due.empty() ? QStringLiteral("—") : Text(due)},
             {QStringLiteral("软件版本"), record.softwareVersion.empty()
                                              ? unknown
                                              : QStringLiteral("tarvok-config %1")
                                                    .arg(Text(record.softwareVersion))}},
        };
        const std::pair<QString, QString> fields[] = {
            {QStringLiteral("操作员"), orNone(settings.operatorName)},
            {QStringLiteral("标准表"), meter},
            {QStringLiteral("标准表准确度"),
             QStringLiteral("±(%1 % 读数 + %2 µA)")
                 .arg(Text(engine::FormatTolerance(settings.meterAccuracyPercent)),
                      Text(engine::FormatTolerance(settings.meterAccuracyUa)))},
        };
        const QFont fieldFont = Font(10.5);
        const int labelWidth = Mm(28);
        const int lineHeight = Mm(5.5);
        const int half = width / 2;
        for (const auto& pair : pairs) {
            PageFlow::Block line;
            line.height = lineHeight;
            line.paint = [pair0 = pair[0], pair1 = pair[1], fieldFont, labelWidth,
                          half](QPainter& p, const QRect& r) {
                p.setFont(fieldFont);
                const auto cell = [&](int left, const std::pair<QString, QString>& field) {
                    p.drawText(QRect(r.left() + left, r.top(), labelWidth, r.height()),
                               Qt::AlignLeft | Qt::AlignTop, field.first + QStringLiteral(":"));
                    p.drawText(QRect(r.left() + left + labelWidth, r.top(), half - labelWidth,
                                     r.height()),
                               Qt::AlignLeft | Qt::AlignTop | Qt::TextDontClip, field.second);
                };
                cell(0, pair0);
                cell(half, pair1);
            };
            flow.Add(std::move(line));
        }
        for (const auto& [label, value] : fields) {
            PageFlow::Block& line = flow.At(AddText(flow, value, fieldFont, device, labelWidth,
                                                    width - labelWidth, Qt::AlignLeft, lineHeight));
            line.paint = [paint = line.paint, text = label + QStringLiteral(":"), fieldFont,
                          labelWidth](QPainter& p, const QRect& r) {
                paint(p, r);
                p.setFont(fieldFont);
                p.drawText(QRect(r.left(), r.top(), labelWidth, r.height()),
                           Qt::AlignLeft | Qt::AlignTop, text);
            };
        }
        flow.AddSpace(Mm(4));

        // A table of points: a row a block, never cut by a page; the header
        // goes with the first row and again over the rows a new page begins
        // with.
        const QString headers[] = {QStringLiteral("标称值 (mA)"),   QStringLiteral("标准值 (mA)"),
                                   QStringLiteral("读数 (mA)"),     QStringLiteral("误差 (mA)"),
                                   QStringLiteral("误差 (% 量程)"), QStringLiteral("U (mA, k=2)"),
                                   QStringLiteral("判定")};
        const int column = width / kColumns;
        const QPen rule(Qt::black, Mm(0.25));
        const auto row = [&](const QString(&cells)[kColumns], bool bold) {
            PageFlow::Block block;
            block.height = Mm(6.5);
            block.paint = [cells = std::vector<QString>(cells, cells + kColumns), bold, column,
                           rule](QPainter& p, const QRect& r) {
                p.setFont(Font(9.5, bold));
                p.setPen(rule);
                for (int c = 0; c < kColumns; ++c) {
                    const QRect cell(r.left() + c * column, r.top(), column, r.height());
                    p.drawRect(cell);
                    p.drawText(cell, Qt::AlignCenter, cells[static_cast<size_t>(c)]);
                }
            };
            return block;
        };
        const auto table = [&](const QString& heading, const std::vector<engine::RecordPoint>& points) {
            if (!heading.isEmpty()) {
                const int first = AddText(flow, heading, Font(10.5, true), device, 0, width,
                                          Qt::AlignLeft, Mm(6));
                flow.At(first).keepWithNext = true;
            }
            PageFlow::Block header = row(headers, true);
            header.keepWithNext = !points.empty();
            const int headerIndex = flow.Add(std::move(header));
            for (const engine::RecordPoint& point : points) {
                const bool pass = engine::PointPasses(point, tolerance);
                const QString cells[kColumns] = {
                    point.nominalMa == 0.0 ? QStringLiteral("0 (零点)")
                                           : QString::number(point.nominalMa, 'f', 0),
                    Figure(point.referenceMa),
                    Figure(point.readingMa),
                    ErrorFigure(engine::ErrorMa(point)),
                    ErrorFigure(engine::ErrorPercentOfSpan(point)),
                    UncertaintyFigure(engine::ExpandedUncertaintyMa(point, settings)),
                    pass ? QStringLiteral("合格") : QStringLiteral("超差")};
                PageFlow::Block block = row(cells, false);
                block.repeat = headerIndex;
                flow.Add(std::move(block));
            }
            if (points.empty()) {
                flow.AddSpace(Mm(1));
                AddText(flow, QStringLiteral("(未取得任何点)"), Font(10.5), device, 0, width,
                        Qt::AlignHCenter);
            }
        };
        const bool calibrationDone = !verification &&
                                     record.outcome == engine::RecordOutcome::kCompleted;
        table(verification ? QString() : QStringLiteral("校准前读数 (调整前)"), record.points);
        // Without an as-left table the conclusion says 未做校准后验证.
        if (calibrationDone && !record.asLeft.empty()) {
            flow.AddSpace(Mm(4));
            table(QStringLiteral("校准后验证 (经新校准表)"), record.asLeft);
        }
        flow.AddSpace(Mm(6));

        AddText(flow, Conclusion(record), Font(11.5, true), device, 0, width, Qt::AlignLeft);
        flow.AddSpace(Mm(3));
        AddText(flow, ReadingNote(record), Font(8.5), device, 0, width, Qt::AlignLeft);

        // Signatures at the foot of the last page, at least 8 mm below
        // the rest; a page of their own when there is no room. Each with
        // the date it was signed on.
        flow.AddSpace(Mm(8));
        const QFont signFont = Font(11);
        const int signLine = QFontMetrics(signFont, device).lineSpacing();
        PageFlow::Block signatures;
        signatures.atFoot = true;
        signatures.height = 2 * signLine + Mm(10);
        signatures.paint = [signFont, signLine](QPainter& p, const QRect& r) {
            p.setFont(signFont);
            const QString lines[] = {
                QStringLiteral("操作员签字: ____________________    日期: ______________"),
                QStringLiteral("审核签字:   ____________________    日期: ______________")};
            int top = r.top();
            for (const QString& line : lines) {
                p.drawText(QRect(r.left(), top, r.width(), signLine), Qt::AlignLeft | Qt::AlignTop,
                           line);
                top += signLine + Mm(7);
            }
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
            if (options.demo) {
                // Across the page, over everything, light enough to read
                // through.
                painter.translate(width / 2.0, writer.height() / 2.0);
                painter.rotate(-35.0);
                painter.setFont(Font(40, true));
                painter.setPen(QColor(200, 0, 0, 70));
                painter.drawText(QRect(-width, -Mm(15), 2 * width, Mm(30)), Qt::AlignCenter,
                                 QStringLiteral("模拟演示 · 非有效证书"));
            }
        });
    }
    buffer.close();
    return bytes;
}

}  // namespace app
