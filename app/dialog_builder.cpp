#include "app/dialog_builder.h"

#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "app/resources.h"

namespace app {
namespace {

// The closed height of a drop-down list; the template's height is that of
// the list when dropped.
constexpr int kComboClosedHeightDlu = 14;
// A static icon shows the icon at its own size (32 x 32 at 96 dpi), from
// the control's top-left corner.
constexpr int kIconSizeAt96Dpi = 32;

QString Text(const ControlTemplate& c) { return QString::fromStdString(c.text); }

QWidget* MakeStatic(const ControlTemplate& c, QWidget* parent) {
    auto* label = new QLabel(Text(c), parent);
    label->setTextFormat(Qt::PlainText);
    const Qt::Alignment horizontal = c.Has(kAlignRight) ? Qt::AlignRight : Qt::AlignLeft;
    // A vertically centred static is one line; the others wrap at words.
    label->setAlignment(horizontal | (c.Has(kVCenter) ? Qt::AlignVCenter : Qt::AlignTop));
    label->setWordWrap(!c.Has(kVCenter));
    return label;
}

QWidget* MakeIcon(const ControlTemplate& c, QWidget* parent, int size) {
    auto* label = new QLabel(parent);
    label->setPixmap(LoadIcon(c.image).pixmap(QSize(size, size)));
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

QWidget* MakeButton(const ControlTemplate& c, QWidget* parent) {
    auto* button = new QPushButton(Text(c), parent);
    if (c.Has(kBitmapButton) && c.image != 0) {
        const QPixmap bitmap = LoadBitmap(c.image);
        button->setIcon(QIcon(bitmap));
        button->setIconSize(bitmap.deviceIndependentSize().toSize());
    }
    if (c.Has(kDefaultButton)) button->setDefault(true);
    return button;
}

QWidget* MakeGroupBox(const ControlTemplate& c, QWidget* parent) {
    auto* group = new QGroupBox(Text(c), parent);
    // A frame drawn around other controls: it must never take their clicks.
    group->setAttribute(Qt::WA_TransparentForMouseEvents);
    return group;
}

QWidget* MakeComboBox(const ControlTemplate& c, QWidget* parent) {
    auto* combo = new QComboBox(parent);
    combo->setEditable(false);
    for (const std::string& item : c.items) combo->addItem(QString::fromStdString(item));
    combo->setCurrentIndex(-1);  // no selection until the window picks one
    return combo;
}

QWidget* MakeEdit(const ControlTemplate& c, QWidget* parent) {
    if (c.Has(kMultiLine)) {
        auto* edit = new QPlainTextEdit(Text(c), parent);
        edit->setReadOnly(c.Has(kReadOnly));
        if (!c.Has(kBorder)) edit->setFrameShape(QFrame::NoFrame);
        edit->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        edit->setLineWrapMode(QPlainTextEdit::WidgetWidth);
        edit->setTabChangesFocus(true);
        return edit;
    }
    auto* edit = new QLineEdit(Text(c), parent);
    edit->setReadOnly(c.Has(kReadOnly));
    edit->setFrame(c.Has(kBorder));
    return edit;
}

Qt::FocusPolicy FocusPolicyFor(const ControlTemplate& c) {
    if (c.kind == ControlKind::kStatic || c.kind == ControlKind::kIcon ||
        c.kind == ControlKind::kGroupBox) {
        return Qt::NoFocus;
    }
    return c.Has(kTabStop) ? Qt::StrongFocus : Qt::ClickFocus;
}

void SetWindowFrame(const DialogTemplate& dialog, QWidget* window) {
    window->setWindowTitle(QString::fromStdString(dialog.title));
    // A fixed frame: no maximise button, no context-help button.
    Qt::WindowFlags flags = window->windowType() | Qt::CustomizeWindowHint;
    if (dialog.Has(kDlgCaption)) flags |= Qt::WindowTitleHint;
    if (dialog.Has(kDlgSysMenu)) flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (dialog.Has(kDlgMinimizeBox)) flags |= Qt::WindowMinimizeButtonHint;
    window->setWindowFlags(flags);
}

}  // namespace

BuiltDialog BuildDialog(const DialogTemplate& dialog, QWidget* window,
                        const ControlFactory& factory, const DialogBaseUnits* base) {
    BuiltDialog built;
    built.base = base != nullptr ? *base : BaseUnitsFor(window);
    const DialogBaseUnits units = built.base;

    window->setFont(DialogFont());
    if (window->isWindow()) SetWindowFrame(dialog, window);

    built.client = new QWidget(window);
    built.client->setObjectName(QStringLiteral("client"));
    built.client->setFixedSize(DluToPixels(QSize(dialog.cx, dialog.cy), units));
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->addWidget(built.client);

    QWidget* previousTabStop = nullptr;
    for (const ControlTemplate& c : dialog.controls) {
        QWidget* w = factory ? factory(c, built.client) : nullptr;
        if (w == nullptr) {
            switch (c.kind) {
                case ControlKind::kStatic:
                    w = MakeStatic(c, built.client);
                    break;
                case ControlKind::kIcon:
                    w = MakeIcon(c, built.client, MulDiv(kIconSizeAt96Dpi, units.y, 12));
                    break;
                case ControlKind::kPushButton:
                    w = MakeButton(c, built.client);
                    break;
                case ControlKind::kGroupBox:
                    w = MakeGroupBox(c, built.client);
                    break;
                case ControlKind::kComboBox:
                    w = MakeComboBox(c, built.client);
                    break;
                case ControlKind::kEdit:
                    w = MakeEdit(c, built.client);
                    break;
            }
        } else if (w->parentWidget() != built.client) {
            w->setParent(built.client);
        }

        QRect geometry = DluToPixels(QRect(c.x, c.y, c.cx, c.cy), units);
        if (c.kind == ControlKind::kComboBox) {
            geometry.setHeight(DluToPixelsY(kComboClosedHeightDlu, units));
        } else if (c.kind == ControlKind::kIcon) {
            const int size = MulDiv(kIconSizeAt96Dpi, units.y, 12);
            geometry.setSize(QSize(size, size));
        } else if (c.kind == ControlKind::kStatic && !c.text.empty()) {
            // A fallback font can be taller than the design font's 12 pixels:
            // a one-line static then grows downwards rather than clip its
            // text (the about box's 8-unit line).
            geometry.setHeight(std::max(geometry.height(), w->fontMetrics().height()));
        }
        w->setGeometry(geometry);
        if (c.kind == ControlKind::kGroupBox) w->lower();  // beneath what it frames
        if (c.Has(kHidden)) w->hide();
        if (c.Has(kDisabled)) w->setEnabled(false);
        w->setFocusPolicy(FocusPolicyFor(c));
        if (c.id != IDC_STATIC) {
            w->setObjectName(QStringLiteral("control_%1").arg(c.id));
            built.controls.emplace(c.id, w);
        }
        if (c.Has(kTabStop)) {
            if (previousTabStop != nullptr) QWidget::setTabOrder(previousTabStop, w);
            previousTabStop = w;
        }
        built.ordered.push_back(w);
    }
    layout->activate();
    return built;
}

void AttachMenuBar(QWidget* window, QMenuBar* menuBar) {
    QLayout* layout = window->layout();
    if (layout == nullptr) return;
    layout->setMenuBar(menuBar);
    layout->activate();
}

void AttachStatusLine(QWidget* window, QWidget* line) {
    QLayout* layout = window->layout();
    if (layout == nullptr) return;
    layout->addWidget(line);
    layout->activate();
}

}  // namespace app
