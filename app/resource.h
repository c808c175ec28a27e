// Numbers of the window's resources, controls and commands, in one place.
// (Plain constants: the window layer never includes the Win32 headers, whose
// IDOK ... IDNO macros these stand in for.)
#pragma once

namespace app {

// Dialog results and message-box answers.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// Dialogs.
constexpr int IDD_ABOUTBOX = 100;
constexpr int IDD_MAIN = 102;
constexpr int IDD_CHANNEL = 130;
constexpr int IDD_CALIBRATE = 131;

// Icon, string, menus, bitmaps.
constexpr int IDR_MAINFRAME = 128;  // icon
constexpr int IDS_ABOUTBOX = 101;
constexpr int IDR_MENU_PORT = 133;
constexpr int IDR_MENU_CHANNEL = 134;
constexpr int IDB_CHANNEL_MENU = 135;  // drop-down mark
constexpr int IDB_CHANNEL_UP = 136;
constexpr int IDB_CHANNEL_DOWN = 137;

// Controls. Some numbers serve in more than one dialog.
constexpr int IDC_STATIC = -1;  // a static without an id
constexpr int IDC_DISPLAY_CURRENT = 1000;
constexpr int IDC_CHANNEL_MENU = 1001;  // dialog 102
constexpr int IDC_HELP_BUTTON = 1001;   // dialogs 130, 131
constexpr int IDC_NEXT = 1002;
constexpr int IDC_DISPLAY_CHANNEL = 1003;
constexpr int IDC_GROUP_DEVICE = 1004;
constexpr int IDC_DEVICE_LIST = 1006;
constexpr int IDC_BUTTON_WRITE = 1007;  // dialog 102
constexpr int IDC_STOP = 1007;          // dialog 131
constexpr int IDC_BUTTON_CALIBRATE = 1008;
constexpr int IDC_STATIC_HINT = 1009;
constexpr int IDC_GROUP_CALIBRATE = 1010;
constexpr int IDC_LABEL_CHANNEL = 1011;
constexpr int IDC_LABEL_SET_DEVICE = 1012;
constexpr int IDC_GROUP_READOUTS = 1013;
constexpr int IDC_PROMPT = 1014;
constexpr int IDC_MEASURED = 1016;
constexpr int IDC_REFERENCE = 1017;
constexpr int IDC_PREVIOUS = 1018;  // dialog 131: 上一步
constexpr int IDC_DEVICE_NUMBER = 1019;
constexpr int IDC_LABEL_DEVICE = 1020;
constexpr int IDC_CHANNEL_DOWN = 1021;
constexpr int IDC_CHANNEL_UP = 1022;

// Menu commands.
constexpr int ID_SEARCH_PORTS = 32771;
constexpr int ID_PORT_PLACEHOLDER = 32772;  // replaced by the search, no handler
constexpr int ID_CHANNEL_NONE = 32773;      // "无"; channel n is 32773 + n
constexpr int ID_CHANNEL_LAST = 32805;      // "CH32"
constexpr int ID_PORT_FIRST = 61446;        // port n is 61446 + n
constexpr int IDM_ABOUTBOX = 16;            // system-menu command

}  // namespace app
