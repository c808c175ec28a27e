// Menus 133 and 134, string 101, and check marks that behave as a Windows
// menu's do.
#include "app/menus.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QWidget>
#include <vector>

namespace app {
namespace {

TEST(Menus, PortMenuBarHasTheSearchAndThePortPopup) {
    QWidget owner;
    MenuActions actions;
    std::vector<int> chosen;
    QMenuBar* bar = BuildMenuBar(PortMenuTemplate(), &owner, &actions,
                                 [&chosen](int id) { chosen.push_back(id); });
    ASSERT_EQ(bar->actions().size(), 2);
    QMenu* search = bar->actions()[0]->menu();
    QMenu* ports = bar->actions()[1]->menu();
    ASSERT_NE(search, nullptr);
    ASSERT_NE(ports, nullptr);
    EXPECT_EQ(search->title(), QString("搜索串口"));
    EXPECT_EQ(ports->title(), QString("当前串口:COM1"));
    ASSERT_EQ(search->actions().size(), 1);
    EXPECT_EQ(search->actions()[0]->text(), QString("自动查找当前串口"));
    EXPECT_EQ(actions.at(ID_SEARCH_PORTS), search->actions()[0]);
    EXPECT_EQ(actions.at(ID_PORT_PLACEHOLDER)->text(), QString("COM1"));

    actions.at(ID_SEARCH_PORTS)->trigger();
    EXPECT_EQ(chosen, std::vector<int>{ID_SEARCH_PORTS});

    // The port search empties the popup and fills it again.
    ClearMenu(ports, &actions);
    EXPECT_TRUE(ports->actions().isEmpty());
    EXPECT_EQ(actions.count(ID_PORT_PLACEHOLDER), 0u);
    QAction* com3 = AppendMenuItem(ports, ID_PORT_FIRST + 3, "   COM3    ", &actions,
                                   [&chosen](int id) { chosen.push_back(id); });
    EXPECT_EQ(actions.at(ID_PORT_FIRST + 3), com3);
    com3->trigger();
    EXPECT_EQ(chosen.back(), ID_PORT_FIRST + 3);
    EXPECT_EQ(actions.count(ID_SEARCH_PORTS), 1u) << "other popups keep their items";
}

TEST(Menus, ChannelPopupListsNoneThenCh1ToCh32) {
    QWidget owner;
    MenuActions actions;
    ASSERT_EQ(ChannelMenuTemplate().popups.size(), 1u);
    QMenu* popup = BuildPopupMenu(ChannelMenuTemplate().popups[0], &owner, &actions, {});
    EXPECT_EQ(popup->title(), QString("通道"));
    const QList<QAction*> items = popup->actions();
    ASSERT_EQ(items.size(), 33);
    EXPECT_EQ(items[0]->text(), QString("无"));
    EXPECT_EQ(items[0]->data().toInt(), ID_CHANNEL_NONE);
    for (int n = 1; n <= 32; ++n) {
        EXPECT_EQ(items[n]->text(), QString("CH%1").arg(n));
        EXPECT_EQ(items[n]->data().toInt(), ID_CHANNEL_NONE + n);
        EXPECT_EQ(actions.at(ID_CHANNEL_NONE + n), items[n]);
    }
    EXPECT_EQ(ID_CHANNEL_NONE + 32, ID_CHANNEL_LAST);
    for (QAction* item : items) {
        EXPECT_FALSE(IsMenuItemChecked(item));
        EXPECT_FALSE(item->isCheckable()) << "an unchecked item shows no indicator";
    }
}

// Choosing an item changes no mark by itself: the handler decides.
TEST(Menus, ChoosingAnItemLeavesItsCheckMarkToTheHandler) {
    QWidget owner;
    MenuActions actions;
    std::vector<std::pair<int, bool>> seen;  // id, its mark as the handler saw it
    QMenu* popup = BuildPopupMenu(ChannelMenuTemplate().popups[0], &owner, &actions, [&](int id) {
        seen.emplace_back(id, IsMenuItemChecked(actions.at(id)));
    });
    QAction* ch7 = actions.at(ID_CHANNEL_NONE + 7);
    QAction* none = actions.at(ID_CHANNEL_NONE);
    SetMenuItemChecked(ch7, true);
    EXPECT_TRUE(ch7->isChecked());

    ch7->trigger();
    none->trigger();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], std::make_pair(ID_CHANNEL_NONE + 7, true));
    EXPECT_EQ(seen[1], std::make_pair(ID_CHANNEL_NONE, false));
    EXPECT_TRUE(IsMenuItemChecked(ch7));
    EXPECT_TRUE(ch7->isChecked());
    EXPECT_FALSE(IsMenuItemChecked(none));
    EXPECT_FALSE(none->isChecked());

    SetMenuItemChecked(ch7, false);
    EXPECT_FALSE(ch7->isCheckable());
    EXPECT_FALSE(IsMenuItemChecked(ch7));
    (void)popup;
}

TEST(Menus, AboutStringHasItsAccessKey) {
    EXPECT_EQ(LoadString(IDS_ABOUTBOX), QString("关于 Tarvok_Config(&A)..."));
    EXPECT_TRUE(LoadString(12345).isEmpty());
}

}  // namespace
}  // namespace app
