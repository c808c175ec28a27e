// Menus 133 (the main window's menu bar) and 134 (the channel popup),
// string 101, and the builders that make Qt menus of them. Every item is a
// QAction keyed by its command id; a chosen item calls the command handler
// with that id.
//
// Check marks behave as in a Windows menu: an unchecked item shows no
// indicator at all, and choosing an item never changes its mark by itself;
// only SetMenuItemChecked does.
#pragma once

#include <QString>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/resource.h"

class QAction;
class QMenu;
class QMenuBar;
class QWidget;

namespace app {

struct MenuItemTemplate {
    int id;                               // command id; 0 for a popup or a separator
    std::string text;                     // UTF-8; empty with id 0 and no items: a separator
    std::vector<MenuItemTemplate> items;  // a popup's items

    bool IsPopup() const { return !items.empty(); }
};

struct MenuTemplate {
    int id;
    std::vector<MenuItemTemplate> popups;  // the top level: popups only
};

const MenuTemplate& PortMenuTemplate();     // 133
const MenuTemplate& ChannelMenuTemplate();  // 134

// String resources; empty for an unknown id.
QString LoadString(int id);

using CommandHandler = std::function<void(int id)>;
using MenuActions = std::map<int, QAction*>;

// The menu bar of a menu template; its popups are reached as
// menuBar->actions()[position]->menu(). Actions are added to `actions`.
QMenuBar* BuildMenuBar(const MenuTemplate& menu, QWidget* parent, MenuActions* actions,
                       const CommandHandler& onCommand);

// One popup of a menu template as a stand-alone menu (for QMenu::exec).
QMenu* BuildPopupMenu(const MenuItemTemplate& popup, QWidget* parent, MenuActions* actions,
                      const CommandHandler& onCommand);

// Appends a string item to a popup at run time (the port list).
QAction* AppendMenuItem(QMenu* menu, int id, const QString& text, MenuActions* actions,
                        const CommandHandler& onCommand);

// Removes every item of a popup and forgets their actions in `actions`.
void ClearMenu(QMenu* menu, MenuActions* actions);

void SetMenuItemChecked(QAction* action, bool checked);
bool IsMenuItemChecked(const QAction* action);

}  // namespace app
