// Dialog templates built into widgets: pixel geometry at 96 dpi, the kinds
// and styles of the controls, focus rules, and clicks through group boxes.
#include "app/dialog_builder.h"
#include "generated/version.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDialog>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

namespace app {
namespace {

constexpr DialogBaseUnits k96Dpi{6, 12};

QRect GeometryOf(const BuiltDialog& built, int id) {
    QWidget* w = built.Get(id);
    return w != nullptr ? w->geometry() : QRect();
}

TEST(DialogBuilder, MainWindowControlsSitAtTheirPixelPositionsAt96Dpi) {
    QDialog dialog;
    const BuiltDialog built = BuildDialog(MainDialogTemplate(), &dialog, {}, &k96Dpi);
    EXPECT_EQ(built.client->size(), QSize(344, 467));  // 229 x 311 units, halves rounded up
    EXPECT_EQ(dialog.size(), QSize(344, 467));
    EXPECT_EQ(dialog.windowTitle(), QString("Tarvok HART自动测试设备 V" TARVOK_VERSION_TEXT));

    EXPECT_EQ(GeometryOf(built, IDC_DISPLAY_CURRENT), QRect(9, 24, 327, 120));
    EXPECT_EQ(GeometryOf(built, IDC_DISPLAY_CHANNEL), QRect(81, 149, 51, 38));
    EXPECT_EQ(GeometryOf(built, IDC_CHANNEL_MENU), QRect(132, 149, 18, 38));
    EXPECT_EQ(GeometryOf(built, IDC_CHANNEL_UP), QRect(159, 149, 21, 18));
    EXPECT_EQ(GeometryOf(built, IDC_CHANNEL_DOWN), QRect(159, 170, 21, 18));
    EXPECT_EQ(GeometryOf(built, IDC_BUTTON_WRITE), QRect(126, 293, 90, 27));
    EXPECT_EQ(GeometryOf(built, IDC_BUTTON_CALIBRATE), QRect(126, 404, 90, 27));
    EXPECT_EQ(GeometryOf(built, IDC_GROUP_READOUTS), QRect(3, 8, 339, 185));
    EXPECT_EQ(GeometryOf(built, IDC_LABEL_CHANNEL), QRect(11, 149, 60, 38));
    EXPECT_EQ(GeometryOf(built, IDC_STATIC_HINT), QRect(29, 357, 224, 23));
    // A drop-down list is as tall as its closed field; the template's
    // height is the dropped list's.
    EXPECT_EQ(GeometryOf(built, IDC_DEVICE_LIST), QRect(128, 258, 90, 21));
    EXPECT_EQ(built.ordered.size(), MainDialogTemplate().controls.size());
}

TEST(DialogBuilder, MainWindowControlKindsAndStyles) {
    QDialog dialog;
    const BuiltDialog built = BuildDialog(MainDialogTemplate(), &dialog, {}, &k96Dpi);

    auto* group = built.Get<QGroupBox>(IDC_GROUP_READOUTS);
    ASSERT_NE(group, nullptr);
    EXPECT_TRUE(group->title().isEmpty());
    ASSERT_NE(built.Get<QGroupBox>(IDC_GROUP_DEVICE), nullptr);
    ASSERT_NE(built.Get<QGroupBox>(IDC_GROUP_CALIBRATE), nullptr);

    auto* label = built.Get<QLabel>(IDC_LABEL_DEVICE);
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->text(), QString("当前设备号:"));
    EXPECT_EQ(label->alignment(), Qt::AlignRight | Qt::AlignVCenter);
    auto* hint = built.Get<QLabel>(IDC_STATIC_HINT);
    ASSERT_NE(hint, nullptr);
    EXPECT_EQ(hint->alignment(), Qt::AlignLeft | Qt::AlignVCenter);
    EXPECT_EQ(hint->text(), QString("提示: 点击此按钮校准设备电流表."));

    auto* list = built.Get<QComboBox>(IDC_DEVICE_LIST);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->count(), 4);
    EXPECT_EQ(list->itemText(0), QString("设备1 #"));
    EXPECT_EQ(list->itemText(3), QString("设备4 #"));
    EXPECT_FALSE(list->isEditable());

    const struct {
        int id;
        QSize bitmap;
    } bitmapButtons[] = {
        {IDC_CHANNEL_MENU, {16, 38}}, {IDC_CHANNEL_UP, {16, 20}}, {IDC_CHANNEL_DOWN, {16, 20}}};
    for (const auto& b : bitmapButtons) {
        auto* button = built.Get<QPushButton>(b.id);
        ASSERT_NE(button, nullptr) << b.id;
        EXPECT_TRUE(button->text().isEmpty());
        EXPECT_FALSE(button->icon().isNull()) << b.id;
        EXPECT_EQ(button->iconSize(), b.bitmap) << b.id;
    }
    // The main window has no tab stops at all.
    for (QWidget* w : built.ordered) {
        EXPECT_FALSE(w->focusPolicy() & Qt::TabFocus) << w->objectName().toStdString();
    }
}

// The group boxes come after the buttons they frame in resource order; a
// click on such a button must still reach it.
TEST(DialogBuilder, ClicksPassThroughGroupBoxesToTheButtonsInside) {
    QDialog dialog;
    const BuiltDialog built = BuildDialog(MainDialogTemplate(), &dialog, {}, &k96Dpi);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    for (const int id : {IDC_CHANNEL_MENU, IDC_CHANNEL_UP, IDC_CHANNEL_DOWN, IDC_BUTTON_WRITE}) {
        auto* button = built.Get<QPushButton>(id);
        ASSERT_NE(button, nullptr);
        QSignalSpy clicked(button, &QPushButton::clicked);
        const QPoint centre = button->mapTo(&dialog, button->rect().center());
        QTest::mouseClick(dialog.windowHandle(), Qt::LeftButton, {}, centre);
        EXPECT_EQ(clicked.count(), 1) << id;
    }
}

TEST(DialogBuilder, CalibrationWizardStylesAndItsOneTabStop) {
    QDialog dialog;
    const BuiltDialog built = BuildDialog(CalibrateDialogTemplate(), &dialog, {}, &k96Dpi);
    EXPECT_EQ(built.client->size(), QSize(443, 239));
    EXPECT_EQ(dialog.windowTitle(), QString("电流校准"));
    EXPECT_EQ(built.ordered.size(), 13u) << "statics without an id are created too";
    EXPECT_EQ(built.controls.size(), 9u);
    EXPECT_EQ(GeometryOf(built, IDC_REFERENCE), QRect(99, 164, 237, 21));
    EXPECT_EQ(GeometryOf(built, IDC_PROMPT), QRect(8, 29, 428, 90));

    auto* prompt = built.Get<QPlainTextEdit>(IDC_PROMPT);
    ASSERT_NE(prompt, nullptr);
    EXPECT_TRUE(prompt->isReadOnly());
    EXPECT_EQ(prompt->verticalScrollBarPolicy(), Qt::ScrollBarAsNeeded);
    auto* measured = built.Get<QLineEdit>(IDC_MEASURED);
    ASSERT_NE(measured, nullptr);
    EXPECT_TRUE(measured->isReadOnly());
    EXPECT_TRUE(measured->hasFrame());
    auto* reference = built.Get<QLineEdit>(IDC_REFERENCE);
    ASSERT_NE(reference, nullptr);
    EXPECT_FALSE(reference->isReadOnly());
    auto* ok = built.Get<QPushButton>(IDOK);
    ASSERT_NE(ok, nullptr);
    EXPECT_TRUE(ok->isDefault());
    auto* help = built.Get<QPushButton>(IDC_HELP_BUTTON);
    ASSERT_NE(help, nullptr);
    EXPECT_TRUE(help->isEnabled()) << "it explains the wizard";

    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    EXPECT_FALSE(ok->isVisible());
    EXPECT_FALSE(built.Get(IDCANCEL)->isVisible());
    EXPECT_TRUE(built.Get(IDC_STOP)->isVisible());
    // The first (and only) tab stop has the focus when the dialog opens, and
    // Tab keeps it there.
    EXPECT_EQ(dialog.focusWidget(), reference);
    QTest::keyClick(reference, Qt::Key_Tab);
    EXPECT_EQ(dialog.focusWidget(), reference);
    // The other controls still take the focus when clicked.
    EXPECT_EQ(built.Get(IDC_NEXT)->focusPolicy(), Qt::ClickFocus);
}

TEST(DialogBuilder, FactoryMakesChosenControlsAndMenuBarSitsAboveTheClientArea) {
    QDialog dialog;
    const BuiltDialog built = BuildDialog(
        MainDialogTemplate(), &dialog,
        [](const ControlTemplate& c, QWidget* parent) -> QWidget* {
            return c.id == IDC_DISPLAY_CURRENT ? new QFrame(parent) : nullptr;
        },
        &k96Dpi);
    ASSERT_NE(built.Get<QFrame>(IDC_DISPLAY_CURRENT), nullptr);
    EXPECT_EQ(built.Get<QLabel>(IDC_DISPLAY_CURRENT), nullptr);
    EXPECT_EQ(GeometryOf(built, IDC_DISPLAY_CURRENT), QRect(9, 24, 327, 120));

    auto* bar = new QMenuBar(&dialog);
    bar->addMenu(QStringLiteral("搜索串口"));
    AttachMenuBar(&dialog, bar);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    const int barHeight = bar->height();
    EXPECT_GT(barHeight, 0);
    EXPECT_EQ(built.client->geometry(), QRect(0, barHeight, 344, 467));
    EXPECT_EQ(dialog.size(), QSize(344, 467 + barHeight));
}

}  // namespace
}  // namespace app
