#include "app/tools/calibration_result_dlg.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPrintDialog>
#include <QPrinter>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QUrl>
#include <QVBoxLayout>

#include "app/gui_bridge.h"
#include "app/tools/certificate_pdf.h"

namespace app {
namespace {

bool OpenWithDesktop(const QString& path, QString* why) {
    if (!QFileInfo::exists(path)) {
        *why = QStringLiteral("证书文件不存在");
        return false;
    }
#if !defined(Q_OS_WIN) && !defined(Q_OS_MACOS)
    if (QStandardPaths::findExecutable(QStringLiteral("xdg-open")).isEmpty()) {
        *why = QStringLiteral("系统中没有桌面打开程序 (xdg-open), 无法调用PDF阅读程序");
        return false;
    }
#endif
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path))) {
        *why = QStringLiteral("系统中没有可打开PDF文件的程序");
        return false;
    }
    return true;
}

void Tell(QWidget* owner, const QString& text) {
    AskMessageBox(owner, text, QStringLiteral("错误"), BoxIcon::kError, BoxButtons::kOk);
}

}  // namespace

QString ResultVerdict(const engine::CalibrationRecord& record) {
    if (record.kind == engine::RecordKind::kCalibration) {
        if (record.asLeft.empty()) return QStringLiteral("已写入, 未验证");
        for (const engine::RecordPoint& p : record.asLeft) {
            if (!engine::PointPasses(p, record.settings.tolerancePercentOfSpan))
                return QStringLiteral("不合格");
        }
        return QStringLiteral("合格");
    }
    return engine::AllPointsPass(record) ? QStringLiteral("合格") : QStringLiteral("不合格");
}

CCalibrationResultDlg::CCalibrationResultDlg(QWidget* parent,
                                             const engine::CalibrationRecord& record,
                                             const QString& stem, const QString& pdfPath)
    : QDialog(parent), openFile(OpenWithDesktop), m_record(record), m_pdfPath(pdfPath) {
    const bool calibration = record.kind == engine::RecordKind::kCalibration;
    setWindowTitle(calibration ? QStringLiteral("校准结果") : QStringLiteral("校准验证结果"));
    auto* layout = new QVBoxLayout(this);
    m_verdict = new QLabel(ResultVerdict(record), this);
    QFont big = m_verdict->font();
    big.setPointSizeF(big.pointSizeF() * 1.6);
    big.setBold(true);
    m_verdict->setFont(big);
    m_verdict->setAlignment(Qt::AlignCenter);
    layout->addWidget(m_verdict);
    m_number = new QLabel(stem, this);
    m_number->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* numberRow = new QHBoxLayout;
    numberRow->addWidget(new QLabel(QStringLiteral("证书编号:"), this));
    numberRow->addWidget(m_number, 1);
    layout->addLayout(numberRow);

    auto* buttons = new QHBoxLayout;
    m_open = new QPushButton(QStringLiteral("打开证书"), this);
    m_print = new QPushButton(QStringLiteral("打印"), this);
    m_close = new QPushButton(QStringLiteral("关闭"), this);
    buttons->addWidget(m_open);
    buttons->addWidget(m_print);
    buttons->addStretch();
    buttons->addWidget(m_close);
    layout->addLayout(buttons);
    // Enter closes: the box is read, then dismissed; opening or printing is
    // a choice of its own.
    m_open->setAutoDefault(false);
    m_print->setAutoDefault(false);
    m_close->setDefault(true);
    m_close->setFocus();
    connect(m_open, &QPushButton::clicked, this, &CCalibrationResultDlg::OnOpen);
    connect(m_print, &QPushButton::clicked, this, &CCalibrationResultDlg::OnPrint);
    connect(m_close, &QPushButton::clicked, this, &QDialog::accept);
}

QString CCalibrationResultDlg::Verdict() const { return m_verdict->text(); }
QString CCalibrationResultDlg::CertificateNumber() const { return m_number->text(); }

void CCalibrationResultDlg::OnOpen() {
    QString why;
    if (!openFile(m_pdfPath, &why)) {
        Tell(this, QStringLiteral("错误: 无法打开证书: %1.\n证书保存在%2")
                       .arg(why, QDir::toNativeSeparators(m_pdfPath)));
    }
}

void CCalibrationResultDlg::OnPrint() {
    QPrinter printer(QPrinter::HighResolution);
    printer.setDocName(m_number->text());
    QPrintDialog dialog(&printer, this);
    dialog.setWindowTitle(QStringLiteral("打印证书"));
    if (dialog.exec() != QDialog::Accepted) return;
    // The certificate as its painter draws it, the same bytes as the file.
    const QByteArray pdf = RenderCertificate(m_record);
    if (printer.outputFormat() == QPrinter::PdfFormat) {
        QFile out(printer.outputFileName());
        if (!out.open(QIODevice::WriteOnly) || out.write(pdf) != pdf.size()) {
            Tell(this, QStringLiteral("错误: 无法写入%1!")
                           .arg(QDir::toNativeSeparators(printer.outputFileName())));
        }
        return;
    }
    // A printer: the spooler takes the PDF as it is.
    QProcess lp;
    lp.start(QStringLiteral("lp"), {QStringLiteral("-d"), printer.printerName(),
                                    QStringLiteral("-n"), QString::number(printer.copyCount()),
                                    QStringLiteral("-")});
    if (!lp.waitForStarted(3000)) {
        Tell(this, QStringLiteral("错误: 无法打印: 系统中没有打印程序 (lp)."));
        return;
    }
    lp.write(pdf);
    lp.closeWriteChannel();
    if (!lp.waitForFinished(10000) || lp.exitCode() != 0) {
        Tell(this, QStringLiteral("错误: 打印失败: %1")
                       .arg(QString::fromLocal8Bit(lp.readAllStandardError()).trimmed()));
    }
}

}  // namespace app
