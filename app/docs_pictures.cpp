// tarvok-docs-pictures DIR: draws the README's pictures of the trend and the
// certificate into DIR, on Qt's offscreen platform at real time (about 70 s):
//   trend.png          the 趋势图 window over a minute of the simulated
//                      fixture, CH1 then CH2
//   trend-saved.png    what its 保存PNG writes of the same
//   certificate.png    page 1 of a calibration's certificate at 80 dpi
//                      (needs pdftoppm, poppler-utils)
//   calibration-summary.png  the six points before the table is written
//   record-settings.png      记录设置 with the demo meter
// Built only when asked for:
//   cmake --build --preset default --target regenerate-docs-pictures
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <filesystem>

#include "app/calibration_summary_dlg.h"
#include "app/main_dlg.h"
#include "app/resource.h"
#include "app/tools/certificate_pdf.h"
#include "app/tools/record_settings_dlg.h"
#include "app/tools/trend_dlg.h"
#include "serial/port_factory.h"
#include "sim/demo_line.h"
#include "sim/simulated_fixture.h"
#include "generated/version.h"

namespace {

void RunFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool Written(const QString& path, bool ok) {
    if (ok)
        std::printf("%s\n", qPrintable(path));
    else
        std::fprintf(stderr, "tarvok-docs-pictures: cannot write %s\n", qPrintable(path));
    return ok;
}

bool WriteTrend(const QDir& dir) {
    sim::SimulatedFixture fixture(sim::DemoFixtureConfig());
    sim::DemoProcess process(fixture);
    serial::SetPortFactory(serial::SinglePortFactory(1, [&] { return fixture.CreatePort(); }));
    bool ok = true;
    {
        app::CMainDlg window(nullptr, true);
        window.OnInitDialog();
        window.show();
        RunFor(36000);
        window.SelectChannel(app::ID_CHANNEL_NONE + 2);
        RunFor(30000);
        app::CTrendDlg* trend = window.OpenTrend();
        trend->resize(640, 380);
        trend->SetSpan(0);
        RunFor(200);
        trend->Refresh(true);
        RunFor(200);
        const QString grab = dir.filePath(QStringLiteral("trend.png"));
        ok = Written(grab, trend->grab().save(grab, "PNG")) && ok;
        const QString saved = dir.filePath(QStringLiteral("trend-saved.png"));
        ok = Written(saved, trend->SavePng(saved)) && ok;
        window.close();
        RunFor(1000);
    }
    serial::SetPortFactory({});
    return ok;
}

engine::CalibrationRecord SampleRecord() {
    // The simulated fixture's converter reads 1.002 x + 0.013 mA before any
    // table; the reference meter reads a few microamps off at 12 and 16 mA.
    // As left, through the new table, the fixture reads within a few µA.
    engine::CalibrationRecord r;
    r.time = std::chrono::system_clock::now();
    r.deviceNumber = 3;
    r.port = "COM3";
    r.channel = 5;
    r.transmitter = "26-0C-00A1B2";
    r.settings = {"张工", "", 0.1};
    r.settings.meterModel = "RM-200";
    r.settings.meterSerial = "2231";
    r.settings.meterDue = "2027-03-01";
    r.settings.meterAccuracyPercent = 0.02;
    r.settings.meterAccuracyUa = 2;
    r.points = {{0, 0, 0.013},       {4, 4.0, 4.021},      {8, 8.0, 8.029},
                {12, 12.01, 12.037}, {16, 16.011, 16.045}, {20, 20.0, 20.053}};
    r.asLeft = {{4, 4.0, 4.001},  {8, 8.0, 8.0}, {12, 12.01, 12.008},
                {16, 16.011, 16.012}, {20, 20.0, 20.002}};
    r.certificateNumber = engine::RecordStem(r);
    r.softwareVersion = TARVOK_VERSION_TEXT;
    return r;
}

bool WriteCertificate(const QDir& dir) {
    const engine::CalibrationRecord r = SampleRecord();
    QTemporaryDir temp;
    const QString pdf = temp.filePath(QStringLiteral("certificate.pdf"));
    QFile file(pdf);
    if (!file.open(QIODevice::WriteOnly) || file.write(app::RenderCertificate(r)) < 0)
        return Written(pdf, false);
    file.close();
    // Each page a picture: certificate.png, certificate-2.png.
    bool ok = true;
    for (int page = 1; page <= 2; ++page) {
        const QString stem = page == 1 ? QStringLiteral("certificate")
                                       : QStringLiteral("certificate-%1").arg(page);
        const QString png = dir.filePath(stem + QStringLiteral(".png"));
        QFile::remove(png);
        QProcess pdftoppm;
        pdftoppm.start(QStringLiteral("pdftoppm"),
                       {QStringLiteral("-r"), QStringLiteral("80"), QStringLiteral("-png"),
                        QStringLiteral("-singlefile"), QStringLiteral("-f"),
                        QString::number(page), QStringLiteral("-l"), QString::number(page), pdf,
                        dir.filePath(stem)});
        const bool drawn = pdftoppm.waitForFinished(30000) && pdftoppm.exitCode() == 0;
        // A one-page certificate has no second page to draw.
        if (page == 1) ok = Written(png, drawn);
    }
    return ok;
}

// The wizard's summary and 记录设置, as the operator sees them.
bool WriteDialogs(const QDir& dir) {
    bool ok = true;
    const auto grab = [&](QWidget& dialog, const char* name) {
        dialog.show();
        RunFor(300);
        const QString png = dir.filePath(QString::fromLatin1(name));
        ok = Written(png, dialog.grab().save(png, "PNG")) && ok;
        dialog.close();
    };
    const engine::CalibrationRecord r = SampleRecord();
    app::CCalibrationSummaryDlg summary(nullptr, r.points);
    grab(summary, "calibration-summary.png");
    app::CRecordSettingsDlg settings(nullptr, engine::DemoRecordSettings(engine::LocalToday()),
                                     false);
    grab(settings, "record-settings.png");
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // No real port is searched for.
    const auto empty = std::filesystem::temp_directory_path() / "tarvok-docs-no-ports";
    std::filesystem::create_directories(empty);
    ::setenv("TARVOK_PORTS_DIR", empty.c_str(), 1);
    QApplication application(argc, argv);
    const QDir dir(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("."));
    if (!dir.exists()) {
        std::fprintf(stderr, "tarvok-docs-pictures: no such directory: %s\n",
                     qPrintable(dir.path()));
        return 2;
    }
    const bool certificate = WriteCertificate(dir);
    const bool dialogs = WriteDialogs(dir);
    const bool trend = WriteTrend(dir);
    return certificate && dialogs && trend ? 0 : 1;
}
