// The about box: its caption, its icon at its place, and how it ends.
#include "app/about_dlg.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "app/dialog_units.h"
#include "generated/version.h"

namespace app {
namespace {

TEST(AboutDlg, ShowsIconNameAndVersionUnderItsOwnCaption) {
    QWidget owner;
    CAboutDlg about(&owner);
    EXPECT_TRUE(about.isWindow()) << "its own top-level window, not a child of its owner";
    EXPECT_EQ(about.windowTitle(), QString("关于 Tarvok_Config"));
    const BuiltDialog& c = about.Controls();
    const DialogBaseUnits base = c.base;
    EXPECT_EQ(c.client->size(), DluToPixels(QSize(235, 55), base));

    ASSERT_EQ(c.ordered.size(), 3u);
    auto* icon = qobject_cast<QLabel*>(c.ordered[0]);
    ASSERT_NE(icon, nullptr);
    const int iconSize = MulDiv(32, base.y, 12);
    EXPECT_EQ(icon->geometry(),
              QRect(DluToPixelsX(11, base), DluToPixelsY(17, base), iconSize, iconSize));
    EXPECT_EQ(icon->pixmap().deviceIndependentSize().toSize(), QSize(iconSize, iconSize));
    // The 16-colour picture, not an empty one.
    const QImage picture = icon->pixmap().toImage();
    EXPECT_NE(picture.pixelColor(picture.width() / 2, picture.height() / 2).alpha(), 0);

    auto* name = qobject_cast<QLabel*>(c.ordered[1]);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->text(), QString("Tarvok_Config " TARVOK_VERSION_TEXT " 版"));
    auto* ok = c.Get<QPushButton>(IDOK);
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->text(), QString("确定"));
    EXPECT_TRUE(ok->isDefault());
}

// Each way out, pressed while the box runs modally.
TEST(AboutDlg, OkEnterEscAndTheCloseBoxEndIt) {
    const struct {
        const char* how;
        std::function<void(CAboutDlg&)> act;
        int result;
    } ways[] = {
        {"OK", [](CAboutDlg& d) { d.Controls().Get<QPushButton>(IDOK)->click(); }, IDOK},
        {"Enter", [](CAboutDlg& d) { QTest::keyClick(&d, Qt::Key_Return); }, IDOK},
        {"Esc", [](CAboutDlg& d) { QTest::keyClick(&d, Qt::Key_Escape); }, IDCANCEL},
        {"close box", [](CAboutDlg& d) { d.close(); }, IDCANCEL},
    };
    for (const auto& way : ways) {
        CAboutDlg about;
        QTimer::singleShot(0, &about, [&about, &way] {
            if (QTest::qWaitForWindowExposed(&about)) way.act(about);
        });
        EXPECT_EQ(about.DoModal(), way.result) << way.how;
        EXPECT_FALSE(about.isVisible()) << way.how;
    }
}

}  // namespace
}  // namespace app
