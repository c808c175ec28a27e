#include "app/menus.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

namespace app {
namespace {

// The mark as the program set it; a checkable QAction flips its own state
// when chosen, which is put back before the handler runs.
constexpr char kCheckedProperty[] = "tarvokChecked";

void AddItems(QMenu* menu, const std::vector<MenuItemTemplate>& items, MenuActions* actions,
              const CommandHandler& onCommand);

QMenu* MakePopup(const MenuItemTemplate& popup, QWidget* parent, MenuActions* actions,
                 const CommandHandler& onCommand) {
    auto* menu = new QMenu(QString::fromStdString(popup.text), parent);
    AddItems(menu, popup.items, actions, onCommand);
    return menu;
}

void AddItems(QMenu* menu, const std::vector<MenuItemTemplate>& items, MenuActions* actions,
              const CommandHandler& onCommand) {
    for (const MenuItemTemplate& item : items) {
        if (item.IsPopup()) {
            menu->addMenu(MakePopup(item, menu, actions, onCommand));
        } else if (item.id == 0 && item.text.empty()) {
            menu->addSeparator();
        } else {
            AppendMenuItem(menu, item.id, QString::fromStdString(item.text), actions, onCommand);
        }
    }
}

std::vector<MenuItemTemplate> ChannelItems() {
    std::vector<MenuItemTemplate> items{{ID_CHANNEL_NONE, "无", {}}};
    for (int n = 1; n <= 32; ++n) {
        items.push_back({ID_CHANNEL_NONE + n, "CH" + std::to_string(n), {}});
    }
    return items;
}

}  // namespace

const MenuTemplate& PortMenuTemplate() {
    static const MenuTemplate t{IDR_MENU_PORT,
                                {
                                    {0, "搜索串口", {{ID_SEARCH_PORTS, "自动查找当前串口", {}}}},
                                    // Placeholders: the port search refills the popup and the
                                    // window sets the title.
                                    {0, "当前串口:COM1", {{ID_PORT_PLACEHOLDER, "COM1", {}}}},
                                }};
    return t;
}

const MenuTemplate& ChannelMenuTemplate() {
    static const MenuTemplate t{IDR_MENU_CHANNEL, {{0, "通道", ChannelItems()}}};
    return t;
}

QString LoadString(int id) {
    if (id == IDS_ABOUTBOX) return QStringLiteral("关于 Tarvok_Config(&A)...");
    return QString();
}

QMenuBar* BuildMenuBar(const MenuTemplate& menu, QWidget* parent, MenuActions* actions,
                       const CommandHandler& onCommand) {
    auto* bar = new QMenuBar(parent);
    // Qt would move the bar into the global menu of some desktops; the
    // window keeps it above its client area as the template has it.
    bar->setNativeMenuBar(false);
    for (const MenuItemTemplate& popup : menu.popups) {
        bar->addMenu(MakePopup(popup, bar, actions, onCommand));
    }
    return bar;
}

QMenu* BuildPopupMenu(const MenuItemTemplate& popup, QWidget* parent, MenuActions* actions,
                      const CommandHandler& onCommand) {
    return MakePopup(popup, parent, actions, onCommand);
}

QAction* AppendMenuItem(QMenu* menu, int id, const QString& text, MenuActions* actions,
                        const CommandHandler& onCommand) {
    QAction* action = menu->addAction(text);
    action->setData(id);
    action->setProperty(kCheckedProperty, false);
    QObject::connect(action, &QAction::triggered, action, [action, id, onCommand] {
        SetMenuItemChecked(action, action->property(kCheckedProperty).toBool());
        if (onCommand) onCommand(id);
    });
    if (actions != nullptr) (*actions)[id] = action;
    return action;
}

void ClearMenu(QMenu* menu, MenuActions* actions) {
    if (menu == nullptr) return;
    if (actions != nullptr) {
        for (QAction* action : menu->actions()) {
            const auto it = actions->find(action->data().toInt());
            if (it != actions->end() && it->second == action) actions->erase(it);
        }
    }
    menu->clear();
}

void SetMenuItemChecked(QAction* action, bool checked) {
    if (action == nullptr) return;
    action->setProperty(kCheckedProperty, checked);
    // Only a checked item is checkable, so an unchecked one shows no empty
    // box or circle, as in a Windows menu.
    action->setCheckable(checked);
    action->setChecked(checked);
}

bool IsMenuItemChecked(const QAction* action) {
    return action != nullptr && action->property(kCheckedProperty).toBool();
}

}  // namespace app
