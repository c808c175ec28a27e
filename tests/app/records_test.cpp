// The calibration records in the window layer: the PDF certificate read
// back with pdftotext, the 校准记录 window over a folder of records, the
// 记录设置 dialog, and the [RECORDS] section of the settings file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>
#include <QTreeWidget>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>

#include "app/tools/certificate_pdf.h"
#include "app/tools/record_settings_dlg.h"
#include "app/tools/records_dlg.h"
#include "app/settings.h"
#include "engine/calibration_record.h"

namespace app {
namespace {

namespace fs = std::filesystem;

// What a command prints, or nullopt when it could not run.
std::optional<std::string> Output(const std::string& command) {
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return std::nullopt;
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
    if (::pclose(pipe) != 0) return std::nullopt;
    return out;
}

bool HavePoppler() { return Output("command -v pdftotext pdfinfo >/dev/null").has_value(); }

engine::CalibrationRecord Calibration() {
    engine::CalibrationRecord r;
    r.time = std::chrono::system_clock::now();
    r.deviceNumber = 3;
    r.port = "COM7";
    r.settings = {"张工", "RM-200 编号 2231 有效期至 2027-03-01", 0.1};
    r.points = {{0, 0, 0.013},       {4, 4.0, 4.021},      {8, 8.01, 8.029},
                {12, 12.01, 12.037}, {16, 16.011, 16.045}, {20, 20.0, 20.053}};
    return r;
}

class RecordsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarvok-records-app-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    // The certificate's text as pdftotext reads it, one line per line.
    std::string CertificateText(const engine::CalibrationRecord& r,
                                const CertificateOptions& options = {}) {
        const QByteArray pdf = RenderCertificate(r, options);
        EXPECT_TRUE(pdf.startsWith("%PDF-"));
        const fs::path file = dir / "certificate.pdf";
        std::ofstream(file, std::ios::binary).write(pdf.constData(), pdf.size());
        info = Output("pdfinfo '" + file.string() + "'").value_or("");
        // In the order it was drawn: a rotated line comes whole.
        raw = Output("pdftotext -raw '" + file.string() + "' -").value_or("");
        return Output("pdftotext -layout '" + file.string() + "' -").value_or("");
    }
    std::string Save(const engine::CalibrationRecord& r, bool withPdf = true) {
        std::string stem, error;
        EXPECT_TRUE(engine::SaveRecord((dir / "records").string(), r,
                                       withPdf ? RenderCertificate(r).toStdString() : "%PDF", &stem,
                                       &error))
            << error;
        return stem;
    }

    fs::path dir;
    std::string info;
    std::string raw;
};

TEST_F(RecordsTest, TheCertificateShowsTheFixtureTheOperatorAndEveryPoint) {
    if (!HavePoppler()) GTEST_SKIP() << "needs pdftotext (poppler-utils: scripts/install-deps)";
    const engine::CalibrationRecord r = Calibration();
    const std::string text = CertificateText(r);
    EXPECT_TRUE(std::regex_search(info, std::regex("Pages: +1\n"))) << info;
    EXPECT_NE(info.find("(A4)"), std::string::npos) << info;
    for (const std::string& s :
         {std::string("校准记录"), std::string("夹具设备号:"), std::string("COM7"),
          std::string("张工"), std::string("RM-200 编号 2231 有效期至 2027-03-01"),
          std::string("±0.1 % 量程"), engine::RecordTimeText(r).substr(0, 10),
          std::string("结论: 校准表已写入夹具, 未做校准后验证. 校准前读数: 6 点中 5 点超出允差.")})
        EXPECT_NE(text.find(s), std::string::npos) << s << "\n" << text;
    // Every reference and reading, with its error and verdict, row by row.
    const auto squeeze = [](std::string s) {
        std::string out;
        for (char c : s) {
            if (c == ' ' && (out.empty() || out.back() == ' ')) continue;
            out.push_back(c);
        }
        return out;
    };
    const std::string rows = squeeze(text);
    // Errors to 0.001 mA and 0.001 % of span; U with no accuracy set is the
    // resolution's alone, 2 x 0.0005/√3 mA.
    for (const char* row : {"0 (零点) 0.000 0.013 +0.013 +0.081 0.0006 合格",
                            "4 4.000 4.021 +0.021 +0.131 0.0006 超差",
                            "8 8.010 8.029 +0.019 +0.119 0.0006 超差",
                            "12 12.010 12.037 +0.027 +0.169 0.0006 超差",
                            "16 16.011 16.045 +0.034 +0.213 0.0006 超差",
                            "20 20.000 20.053 +0.053 +0.331 0.0006 超差"})
        EXPECT_NE(rows.find(row), std::string::npos) << row << "\n" << rows;
}

TEST_F(RecordsTest, TheCertificateOfAVerificationAndOfAFailure) {
    if (!HavePoppler()) GTEST_SKIP() << "needs pdftotext (poppler-utils: scripts/install-deps)";
    engine::CalibrationRecord r = Calibration();
    r.kind = engine::RecordKind::kVerification;
    r.points.erase(r.points.begin());
    r.settings.operatorName.clear();
    std::string text = CertificateText(r);
    EXPECT_NE(text.find("校准验证记录"), std::string::npos) << text;
    EXPECT_NE(text.find("结论: 不合格, 5 点中 5 点超出允差."), std::string::npos) << text;
    EXPECT_NE(text.find("(未填写)"), std::string::npos) << "no operator set";
    EXPECT_NE(text.find("命令 2"), std::string::npos) << "which reading";

    r.kind = engine::RecordKind::kCalibration;
    r.outcome = engine::RecordOutcome::kFailed;
    r.failedStep = "201 #2 (00-00)";
    r.deviceNumber = -1;
    r.points.clear();
    text = CertificateText(r);
    EXPECT_NE(text.find("结论: 校准失败 (201 #2 (00-00)), 校准未完成."), std::string::npos) << text;
    EXPECT_NE(text.find("(未取得任何点)"), std::string::npos) << text;
    EXPECT_NE(text.find("未知"), std::string::npos) << "the fixture was never identified";
}

// What pdftotext read, without any blank or line break: wrapped text is
// whole again.
std::string Unbroken(const std::string& text) {
    std::string out;
    for (char c : text)
        if (c != ' ' && c != '\n' && c != '\f' && c != '\r') out.push_back(c);
    return out;
}

// Erases every `what` from `text`; how many there were.
int EraseAll(std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at; (at = text.find(what)) != std::string::npos; ++n) text.erase(at, what.size());
    return n;
}

// A calibration checked as left, with every setting an audit asks for.
engine::CalibrationRecord Audited() {
    engine::CalibrationRecord r = Calibration();
    r.settings.meterModel = "RM-200";
    r.settings.meterSerial = "2231";
    r.settings.meterDue = "2027-03-01";
    r.settings.meterAccuracyPercent = 0.02;
    r.settings.meterAccuracyUa = 2;
    r.settings.intervalMonths = 12;
    r.certificateNumber = "20261211-093000-3";
    r.softwareVersion = "3.1.0";
    r.channel = 7;
    r.transmitter = "26-0C-00A1B2";
    r.asLeft = {{4, 4.0, 4.001}, {8, 8.0, 8.0}, {12, 12.0, 11.999}, {16, 16.0, 16.0},
                {20, 20.0, 20.002}};
    return r;
}

TEST_F(RecordsTest, TheCertificateCarriesWhatAnAuditAsksFor) {
    if (!HavePoppler()) GTEST_SKIP() << "needs pdftotext (poppler-utils: scripts/install-deps)";
    const engine::CalibrationRecord r = Audited();
    const std::string text = CertificateText(r);
    const std::string all = Unbroken(text);
    std::chrono::year_month_day date{};
    ASSERT_TRUE(engine::ParseDate(engine::RecordTimeText(r).substr(0, 10), &date));
    const std::string due = engine::FormatDate(engine::AddMonths(date, 12));
    for (const std::string& s :
         {std::string("证书编号:20261211-093000-3"), std::string("软件版本:tarvok-config3.1.0"),
          std::string("通道:CH7"), std::string("变送器:26-0C-00A1B2"),
          std::string("标准表:RM-200,编号2231,有效期至2027-03-01"),
          std::string("标准表准确度:±(0.02%读数+2µA)"), std::string("判定规则:简单接受(ILAC-G8)"),
          "下次校准日期:" + due, std::string("校准后验证(经新校准表)"),
          std::string("U(mA,k=2)"),
          std::string("结论:合格.校准表已写入夹具,校准后验证5点均在允差内."),
          std::string("第1页共")})
        EXPECT_NE(all.find(s), std::string::npos) << s << "\n" << text;
    // Each signature has its date line.
    EXPECT_EQ(std::regex_search(text, std::regex("操作员签字: _+ +日期: _+")), true) << text;
    EXPECT_EQ(std::regex_search(text, std::regex("审核签字: +_+ +日期: _+")), true) << text;
    // U by hand at 12.010 mA: a = 12.01 x 0.02 % + 0.002 = 0.004402 mA,
    // U = 2 sqrt((0.004402² + 0.0005²)/3) = 0.0051156, printed rounded up.
    EXPECT_NE(all.find("1212.01012.037+0.027+0.1690.0052超差"), std::string::npos) << text;
    // The as-left rows: 20 mA read 20.002; at 20 mA a = 0.006 mA, U = 0.0069522.
    EXPECT_NE(all.find("2020.00020.002+0.002+0.0130.0070合格"), std::string::npos) << text;
    EXPECT_EQ(Unbroken(raw).find("模拟演示"), std::string::npos) << "a real certificate";
}

TEST_F(RecordsTest, ADeclinedAsLeftAndADemoCertificate) {
    if (!HavePoppler()) GTEST_SKIP() << "needs pdftotext (poppler-utils: scripts/install-deps)";
    engine::CalibrationRecord r = Audited();
    r.asLeft.clear();
    r.asLeftDeclined = true;
    std::string all = Unbroken(CertificateText(r));
    EXPECT_NE(all.find("未做校准后验证"), std::string::npos) << all;
    EXPECT_EQ(all.find("校准后验证(经新校准表)"), std::string::npos) << all;

    // Overlong: two pages, each marked.
    r.settings.operatorName.clear();
    for (int i = 0; i < 300; ++i) r.settings.operatorName += "检定员" + std::to_string(i);
    const std::string text = CertificateText(r, {true});
    EXPECT_TRUE(std::regex_search(info, std::regex("Pages: +2\n"))) << info;
    all = Unbroken(raw);
    EXPECT_EQ(EraseAll(all, "模拟演示·非有效证书"), 2) << raw;
}

TEST_F(RecordsTest, AnOverlongTextWrapsOntoASecondPageAndNothingIsCut) {
    if (!HavePoppler()) GTEST_SKIP() << "needs pdftotext (poppler-utils: scripts/install-deps)";
    // 2,000 characters without a blank, Chinese and Latin, each stretch
    // numbered so that a lost line shows.
    std::string name;
    for (int i = 0; name.size() < 6000; ++i) name += "检定员" + std::to_string(i) + "Ab";
    name = CapText(name, 2000);
    engine::CalibrationRecord r = Calibration();
    r.settings.operatorName = name;  // past the cap of the settings file
    const std::string text = CertificateText(r);
    EXPECT_TRUE(std::regex_search(info, std::regex("Pages: +2\n"))) << info;

    std::string all = Unbroken(text);
    EXPECT_EQ(EraseAll(all, "第1页共2页"), 1) << text;
    EXPECT_EQ(EraseAll(all, "第2页共2页"), 1) << text;
    EXPECT_NE(all.find(name), std::string::npos) << "the whole name, in order\n" << text;
    EXPECT_NE(text.find("操作员签字:"), std::string::npos) << text;
    EXPECT_NE(text.find("审核签字:"), std::string::npos) << text;
    EXPECT_NE(all.find("结论:校准表已写入夹具,"), std::string::npos) << text;
    // Every row whole, on one page or the other.
    for (const char* row : {"0(零点)0.0000.013+0.013+0.0810.0006合格",
                            "4.0004.021+0.021+0.1310.0006超差", "20.00020.053+0.053+0.3310.0006超差"})
        EXPECT_NE(all.find(row), std::string::npos) << row << "\n" << text;
}

TEST_F(RecordsTest, AnUnbrokenTwoHundredCharacterTextWrapsOnItsPage) {
    if (!HavePoppler()) GTEST_SKIP() << "needs pdftotext (poppler-utils: scripts/install-deps)";
    std::string meter;
    for (int i = 0; meter.size() < 200; ++i) meter += "RM" + std::to_string(1000 + i) + "x";
    meter.resize(200);
    engine::CalibrationRecord r = Calibration();
    r.settings.referenceMeter = meter;
    const std::string text = CertificateText(r);
    EXPECT_TRUE(std::regex_search(info, std::regex("Pages: +1\n"))) << info;
    const std::string all = Unbroken(text);
    EXPECT_NE(all.find(meter), std::string::npos) << "not cut at the page's edge\n" << text;
    EXPECT_NE(all.find("第1页共1页"), std::string::npos) << text;
}

TEST_F(RecordsTest, TheWindowListsNewestFirstAndOpensTheCertificateAndTheFolder) {
    const auto now = std::chrono::system_clock::now();
    engine::CalibrationRecord older = Calibration();
    older.time = now - std::chrono::hours(30);
    engine::CalibrationRecord newer = Calibration();
    newer.time = now - std::chrono::minutes(5);
    newer.kind = engine::RecordKind::kVerification;
    newer.deviceNumber = 2;
    engine::CalibrationRecord cancelled = Calibration();
    cancelled.time = now - std::chrono::hours(2);
    cancelled.outcome = engine::RecordOutcome::kCancelled;
    const std::string olderStem = Save(older, false);
    const std::string newerStem = Save(newer, false);
    Save(cancelled, false);
    std::ofstream(dir / "records" / "stray.json") << "{";

    std::vector<QUrl> opened;
    bool opens = true;
    CRecordsDlg dlg(nullptr, (dir / "records").string());
    dlg.SetUrlOpener([&](const QUrl& url) {
        opened.push_back(url);
        return opens;
    });
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("校准记录"));
    QTreeWidget* list = dlg.List();
    ASSERT_EQ(list->topLevelItemCount(), 3);
    const auto row = [&](int i) {
        QStringList cells;
        for (int c = 0; c < 4; ++c) cells << list->topLevelItem(i)->text(c);
        return cells;
    };
    EXPECT_EQ(row(0).mid(1), (QStringList{"2", "校准验证", "不合格"}));
    EXPECT_EQ(row(1).mid(1), (QStringList{"3", "校准", "已取消"}));
    EXPECT_EQ(row(2).mid(1), (QStringList{"3", "校准", "已写入"}));
    EXPECT_EQ(row(0)[0], QString::fromStdString(engine::RecordTimeText(newer).substr(0, 19))
                             .replace(QLatin1Char('T'), QLatin1Char(' ')));
    EXPECT_EQ(dlg.CountText(), QStringLiteral("共 3 条记录, 1 个文件无法读取"));

    // The newest is chosen; another row opens its own certificate.
    EXPECT_TRUE(dlg.OpenCertificate());
    list->setCurrentItem(list->topLevelItem(2));
    EXPECT_TRUE(dlg.OpenCertificate());
    EXPECT_TRUE(dlg.OpenFolder());
    ASSERT_EQ(opened.size(), 3u);
    EXPECT_EQ(opened[0].toLocalFile().toStdString(),
              (dir / "records" / (newerStem + ".pdf")).string());
    EXPECT_EQ(opened[1].toLocalFile().toStdString(),
              (dir / "records" / (olderStem + ".pdf")).string());
    EXPECT_EQ(opened[2].toLocalFile().toStdString(), (dir / "records").string());

    // A viewer that fails, and a certificate that has gone: each a box.
    opens = false;
    EXPECT_FALSE(dlg.OpenCertificate());
    fs::remove(dir / "records" / (olderStem + ".pdf"));
    opens = true;
    EXPECT_FALSE(dlg.OpenCertificate());
    EXPECT_EQ(opened.size(), 4u) << "nothing opened for the missing file";
    QStringList boxes;
    for (QMessageBox* box : dlg.findChildren<QMessageBox*>()) boxes << box->text();
    boxes.sort();
    ASSERT_EQ(boxes.size(), 2);
    EXPECT_TRUE(boxes[0].startsWith(QStringLiteral("错误: 找不到证书文件")))
        << boxes[0].toStdString();
    EXPECT_TRUE(boxes[1].startsWith(QStringLiteral("错误: 无法打开"))) << boxes[1].toStdString();

    // A record written meanwhile shows at the refresh.
    engine::CalibrationRecord latest = Calibration();
    latest.deviceNumber = 4;
    Save(latest, false);
    dlg.Refresh();
    ASSERT_EQ(list->topLevelItemCount(), 4);
    EXPECT_EQ(list->topLevelItem(0)->text(1), QStringLiteral("4"));
}

TEST_F(RecordsTest, TheWindowOverAFolderNotYetMade) {
    CRecordsDlg dlg(nullptr, (dir / "none").string());
    int opens = 0;
    dlg.SetUrlOpener([&](const QUrl&) { return ++opens > 0; });
    EXPECT_EQ(dlg.List()->topLevelItemCount(), 0);
    EXPECT_EQ(dlg.CountText(), QStringLiteral("共 0 条记录"));
    EXPECT_FALSE(dlg.OpenCertificate());
    EXPECT_FALSE(dlg.OpenFolder());
    EXPECT_EQ(opens, 0);
    ASSERT_EQ(dlg.findChildren<QMessageBox*>().size(), 1);
    EXPECT_TRUE(
        dlg.findChildren<QMessageBox*>()[0]->text().contains(QStringLiteral("尚无校准记录")));
}

TEST_F(RecordsTest, TheWindowOverAFolderWithHostileFilesListsWhatIsARecord) {
    const std::string stem = Save(Calibration(), false);
    const fs::path folder = dir / "records";
    // Nested far past what any record holds: once a crash of the window.
    std::ofstream(folder / "deep.json")
        << R"({"kind":"calibration","time":"2026-05-04T10:00:00Z","result":"written","x":)"
        << std::string(80000, '[') << std::string(80000, ']') << "}";
    std::ofstream(folder / "odd.json")
        << R"({"kind":"calibration","time":"2026-05-04T10:00:00Z","result":"合格"})";
    fs::rename(folder / (stem + ".json"), folder / (stem + "\x1b[2J\xe2\x80\xae.json"));

    CRecordsDlg dlg(nullptr, folder.string());
    dlg.show();
    QTreeWidget* list = dlg.List();
    ASSERT_EQ(list->topLevelItemCount(), 1);
    EXPECT_EQ(list->topLevelItem(0)->text(3), QStringLiteral("已写入"));
    EXPECT_EQ(list->topLevelItem(0)->toolTip(0),
              QString::fromStdString(stem) + QStringLiteral("\\u001b[2J\\u202e"));
    EXPECT_EQ(dlg.CountText(), QStringLiteral("共 1 条记录, 2 个文件无法读取"));
    // The certificate is still found by the file's real name.
    std::ofstream(folder / (stem + "\x1b[2J\xe2\x80\xae.pdf")) << "%PDF";
    std::vector<QUrl> opened;
    dlg.SetUrlOpener([&](const QUrl& url) {
        opened.push_back(url);
        return true;
    });
    EXPECT_TRUE(dlg.OpenCertificate());
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].toLocalFile().toStdString(),
              (folder / (stem + "\x1b[2J\xe2\x80\xae.pdf")).string());
}

TEST_F(RecordsTest, TheSettingsDialogTakesOnlyAToleranceItCanJudgeBy) {
    CRecordSettingsDlg dlg(nullptr, {"李工", "", 0.1}, false);
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("记录设置"));
    EXPECT_EQ(dlg.OperatorEdit()->text(), QStringLiteral("李工"));
    EXPECT_EQ(dlg.ToleranceEdit()->text(), QStringLiteral("0.1"));
    EXPECT_EQ(dlg.OperatorEdit()->maxLength(), kMaxRecordTextLength) << "as the file is read";
    dlg.show();
    dlg.MeterEdit()->setText(QStringLiteral("  表 A-17, 有效期至 2027-01  "));
    for (const char* bad : {"0", "abc", "12", "-0.1", ""}) {
        dlg.ToleranceEdit()->setText(QString::fromLatin1(bad));
        dlg.accept();
        EXPECT_EQ(dlg.result(), QDialog::Rejected) << bad;
        EXPECT_TRUE(dlg.isVisible()) << bad;
        EXPECT_TRUE(dlg.ErrorText().startsWith(QStringLiteral("错误: 允差"))) << bad;
    }
    dlg.ToleranceEdit()->setText(QStringLiteral("0.25"));
    dlg.accept();
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(dlg.Settings().operatorName, "李工");
    EXPECT_EQ(dlg.Settings().referenceMeter, "表 A-17, 有效期至 2027-01");
    EXPECT_EQ(dlg.Settings().tolerancePercentOfSpan, 0.25);

    CRecordSettingsDlg demo(nullptr, {}, true);
    bool said = false;
    for (QLabel* label : demo.findChildren<QLabel*>())
        said = said || label->text().contains(QStringLiteral("只保留到程序结束"));
    EXPECT_TRUE(said) << "the demo's settings are not kept";
}

TEST_F(RecordsTest, TheSettingsLiveInTheirOwnSectionBesideThePort) {
    const std::string ini = (dir / "com.ini").string();
    std::ofstream(ini) << "; kept\n[CONFIG]\nCOM=3\n[OTHER]\nX=1\n";
    EXPECT_EQ(ReadRecordSettings(ini).tolerancePercentOfSpan, 0.1) << "nothing set yet";
    ASSERT_NE(SaveRecordSettings({ini, false}, {" \"王工\" ", "表 #2; 2027", 0.05}), 0);
    std::ifstream in(ini);
    const std::string text(std::istreambuf_iterator<char>(in), {});
    EXPECT_EQ(text,
              "; kept\n[CONFIG]\nCOM=3\n[OTHER]\nX=1\n\n[RECORDS]\nOPERATOR=\" \"王工\" \"\n"
              "REFERENCE_METER=\"表 #2; 2027\"\nTOLERANCE=0.05\nMETER_MODEL=\"\"\n"
              "METER_SERIAL=\"\"\nMETER_DUE=\nMETER_ACCURACY_PERCENT=0\nMETER_ACCURACY_UA=0\n"
              "PLAUSIBILITY=0.5\nINTERVAL_MONTHS=12\n");
    EXPECT_EQ(ReadPortSetting(ini), 3);
    const engine::RecordSettings back = ReadRecordSettings(ini);
    EXPECT_EQ(back.operatorName, " \"王工\" ") << "blanks and quotes kept";
    EXPECT_EQ(back.referenceMeter, "表 #2; 2027");
    EXPECT_EQ(back.tolerancePercentOfSpan, 0.05);

    std::ofstream(ini) << "[records]\ntolerance = lots\noperator = 赵工\n";
    const engine::RecordSettings odd = ReadRecordSettings(ini);
    EXPECT_EQ(odd.tolerancePercentOfSpan, 0.1) << "not a number: the default";
    EXPECT_EQ(odd.operatorName, "赵工") << "names match in any case";

    // A hand-edited file's long texts are cut as the dialog cuts them, at
    // 200 characters and never inside one.
    std::string longName;
    for (int i = 0; i < 300; ++i) longName += "工";
    std::ofstream(ini) << "[RECORDS]\nOPERATOR=\"" << longName
                       << "\"\nREFERENCE_METER=" << std::string(500, 'x') << "\n";
    const engine::RecordSettings cut = ReadRecordSettings(ini);
    EXPECT_EQ(cut.operatorName, longName.substr(0, 200 * 3));
    EXPECT_EQ(cut.referenceMeter, std::string(200, 'x'));
    EXPECT_EQ(CapText("a工b", 2), "a工");
    EXPECT_EQ(CapText("a工b", 3), "a工b");

    // An installed copy's file: its folder is made first.
    const fs::path user = dir / "config" / "tarvok" / "com.ini";
    ASSERT_NE(SaveRecordSettings({user.string(), true}, {"a", "b", 1.0}), 0);
    EXPECT_EQ(ReadRecordSettings(user.string()).operatorName, "a");
}

TEST(CertificateFigures, ErrorsToAThousandthAndUncertaintiesRoundedUp) {
    EXPECT_EQ(ErrorFigure(0.16875), QStringLiteral("+0.169"));
    EXPECT_EQ(ErrorFigure(-0.16875), QStringLiteral("-0.169"));
    EXPECT_EQ(ErrorFigure(0.08125), QStringLiteral("+0.081"));
    EXPECT_EQ(ErrorFigure(-0.0004), QStringLiteral("0.000")) << "no signed zero";
    EXPECT_EQ(ErrorFigure(-12.3456), QStringLiteral("-12.346"));
    EXPECT_EQ(UncertaintyFigure(0.005113), QStringLiteral("0.0052"));
    EXPECT_EQ(UncertaintyFigure(0.0052), QStringLiteral("0.0052"));
    EXPECT_EQ(UncertaintyFigure(0.000577), QStringLiteral("0.0006"));
    EXPECT_EQ(UncertaintyFigure(0.012), QStringLiteral("0.0120"));
}

TEST_F(RecordsTest, TheSettingsDialogAsksForTheMeterAndChecksWhatIsTyped) {
    engine::RecordSettings start("李工", "", 0.1);
    CRecordSettingsDlg dlg(nullptr, start, false);
    EXPECT_EQ(dlg.IntervalEdit()->text(), QStringLiteral("12")) << "the default interval";
    EXPECT_EQ(dlg.PlausibilityEdit()->text(), QStringLiteral("0.5"));
    EXPECT_EQ(dlg.AccuracyPercentEdit()->text(), QString()) << "none set shows empty";
    dlg.show();
    dlg.MeterModelEdit()->setText(QStringLiteral(" RM-200 "));
    dlg.MeterSerialEdit()->setText(QStringLiteral("2231"));
    dlg.AccuracyPercentEdit()->setText(QStringLiteral("0.02"));
    dlg.AccuracyUaEdit()->setText(QStringLiteral("2"));
    const std::pair<QLineEdit*, const char*> bad[] = {
        {dlg.MeterDueEdit(), "2027-02-30"}, {dlg.MeterDueEdit(), "31.03.2027"},
        {dlg.AccuracyPercentEdit(), "x"},   {dlg.AccuracyUaEdit(), "-2"},
        {dlg.PlausibilityEdit(), "0"},      {dlg.IntervalEdit(), "0"},
        {dlg.IntervalEdit(), "1.5"}};
    for (const auto& [edit, text] : bad) {
        const QString before = edit->text();
        edit->setText(QString::fromLatin1(text));
        dlg.accept();
        EXPECT_EQ(dlg.result(), QDialog::Rejected) << text;
        EXPECT_TRUE(dlg.ErrorText().startsWith(QStringLiteral("错误: "))) << text;
        EXPECT_EQ(dlg.focusWidget(), edit) << "the field at fault: " << text;
        edit->setText(before);
    }
    dlg.MeterDueEdit()->setText(QStringLiteral("2027-03-31"));
    dlg.IntervalEdit()->setText(QStringLiteral("6"));
    dlg.accept();
    ASSERT_EQ(dlg.result(), QDialog::Accepted) << dlg.ErrorText().toStdString();
    const engine::RecordSettings s = dlg.Settings();
    EXPECT_EQ(s.meterModel, "RM-200");
    EXPECT_EQ(s.meterSerial, "2231");
    EXPECT_EQ(s.meterDue, "2027-03-31");
    EXPECT_EQ(s.meterAccuracyPercent, 0.02);
    EXPECT_EQ(s.meterAccuracyUa, 2.0);
    EXPECT_EQ(s.plausibilityPercentOfSpan, 0.5);
    EXPECT_EQ(s.intervalMonths, 6);
}

TEST_F(RecordsTest, TheMeterAndTheIntervalAreKeptInTheFile) {
    const std::string ini = (dir / "com.ini").string();
    // As a test bench writes it by hand.
    std::ofstream(ini) << "[RECORDS]\nOPERATOR=周工\nMETER_MODEL=\"RM-200\"\nMETER_SERIAL=2231\n"
                          "METER_DUE=2027-03-31\nMETER_ACCURACY_PERCENT=0.02\n"
                          "METER_ACCURACY_UA=2\nPLAUSIBILITY=0.8\nINTERVAL_MONTHS=24\n";
    engine::RecordSettings s = ReadRecordSettings(ini);
    EXPECT_EQ(s.meterModel, "RM-200");
    EXPECT_EQ(s.meterSerial, "2231");
    EXPECT_EQ(s.meterDue, "2027-03-31");
    EXPECT_EQ(s.meterAccuracyPercent, 0.02);
    EXPECT_EQ(s.meterAccuracyUa, 2.0);
    EXPECT_EQ(s.plausibilityPercentOfSpan, 0.8);
    EXPECT_EQ(s.intervalMonths, 24);
    const std::chrono::year_month_day today{std::chrono::year{2026}, std::chrono::month{12},
                                            std::chrono::day{11}};
    EXPECT_EQ(engine::RecordSettingsProblem(s, today), "") << "complete";

    s.meterSerial = "SN 7";
    s.intervalMonths = 6;
    ASSERT_NE(SaveRecordSettings({ini, false}, s), 0);
    const engine::RecordSettings back = ReadRecordSettings(ini);
    EXPECT_EQ(back.meterSerial, "SN 7");
    EXPECT_EQ(back.intervalMonths, 6);
    EXPECT_EQ(back.meterDue, "2027-03-31");
    EXPECT_EQ(back.plausibilityPercentOfSpan, 0.8);

    // What is none of theirs reads as missing, or as the default.
    std::ofstream(ini) << "[RECORDS]\nMETER_DUE=2027-02-30\nMETER_ACCURACY_UA=lots\n"
                          "PLAUSIBILITY=-1\nINTERVAL_MONTHS=0\n";
    s = ReadRecordSettings(ini);
    EXPECT_EQ(s.meterDue, "");
    EXPECT_EQ(s.meterAccuracyUa, 0.0);
    EXPECT_EQ(s.plausibilityPercentOfSpan, 0.5);
    EXPECT_EQ(s.intervalMonths, 12);
}

}  // namespace
}  // namespace app
