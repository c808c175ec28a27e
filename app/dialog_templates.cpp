#include "app/dialog_templates.h"

#include "generated/version.h"

namespace app {
namespace {

constexpr uint32_t kFrame = kDlgCaption | kDlgSysMenu | kDlgModalFrame;
const char* const kFont = "宋体";

}  // namespace

const ControlTemplate* DialogTemplate::Find(int controlId) const {
    for (const ControlTemplate& c : controls) {
        if (c.id == controlId) return &c;
    }
    return nullptr;
}

const DialogTemplate& AboutDialogTemplate() {
    static const DialogTemplate t{
        IDD_ABOUTBOX,
        "关于 Tarvok_Config",
        235,
        55,
        kFont,
        9,
        kFrame,
        {
            {IDC_STATIC, ControlKind::kIcon, 11, 17, 20, 20, "", kStyleNone, IDR_MAINFRAME},
            {IDC_STATIC, ControlKind::kStatic, 40, 10, 119, 8, "Tarvok_Config " TARVOK_VERSION_TEXT " 版", kNoPrefix},
            {IDOK, ControlKind::kPushButton, 178, 7, 50, 14, "确定", kDefaultButton},
        }};
    return t;
}

const DialogTemplate& MainDialogTemplate() {
    using K = ControlKind;
    static const DialogTemplate t{
        IDD_MAIN,
        "Tarvok HART自动测试设备 V" TARVOK_VERSION_TEXT,
        229,
        311,
        kFont,
        9,
        kFrame | kDlgVisible | kDlgMinimizeBox | kDlgAppWindow,
        {
            {IDC_LABEL_DEVICE, K::kStatic, 15, 151, 58, 12, "当前设备号:", kAlignRight | kVCenter},
            {IDC_BUTTON_WRITE, K::kPushButton, 84, 195, 60, 18, "写入"},
            {IDC_BUTTON_CALIBRATE, K::kPushButton, 84, 269, 60, 18, "校准"},
            // Replaced by the segment readout; the text never shows.
            {IDC_DISPLAY_CURRENT, K::kStatic, 6, 16, 218, 80, "111111"},
            {IDC_CHANNEL_MENU, K::kPushButton, 88, 99, 12, 25, "", kBitmapButton, IDB_CHANNEL_MENU},
            {IDC_GROUP_READOUTS, K::kGroupBox, 2, 5, 226, 123, ""},
            {IDC_DISPLAY_CHANNEL, K::kStatic, 54, 99, 34, 25, "Static11", kVCenter},
            {IDC_GROUP_DEVICE, K::kGroupBox, 2, 133, 226, 86, ""},
            {IDC_GROUP_CALIBRATE, K::kGroupBox, 2, 224, 226, 69, ""},
            {IDC_LABEL_CHANNEL, K::kStatic, 7, 99, 40, 25, "当前通道", kAlignRight | kVCenter},
            {IDC_LABEL_SET_DEVICE, K::kStatic, 15, 172, 58, 12,
             "设置设备号:", kAlignRight | kVCenter},
            {IDC_DEVICE_LIST,
             K::kComboBox,
             85,
             172,
             60,
             68,
             "",
             kDropDownList | kVScroll,
             0,
             {"设备1 #", "设备2 #", "设备3 #", "设备4 #"}},
            {IDC_STATIC_HINT, K::kStatic, 19, 238, 149, 15, "提示: 点击此按钮校准设备电流表.",
             kVCenter},
            {IDC_DEVICE_NUMBER, K::kStatic, 87, 151, 60, 12, "", kVCenter},
            {IDC_CHANNEL_UP, K::kPushButton, 106, 99, 14, 12, "", kBitmapButton, IDB_CHANNEL_UP},
            {IDC_CHANNEL_DOWN, K::kPushButton, 106, 113, 14, 12, "", kBitmapButton,
             IDB_CHANNEL_DOWN},
        }};
    return t;
}

const DialogTemplate& ChannelDialogTemplate() {
    using K = ControlKind;
    static const DialogTemplate t{
        IDD_CHANNEL,
        "通道选择",
        293,
        159,
        kFont,
        9,
        kFrame,
        {
            {IDC_PROMPT, K::kEdit, 5, 16, 283, 111, "",
             kMultiLine | kReadOnly | kAutoVScroll | kBorder},
            {IDOK, K::kPushButton, 17, 141, 50, 14, "确定", kDefaultButton},
            {IDCANCEL, K::kPushButton, 170, 141, 50, 14, "取消"},
            {IDC_HELP_BUTTON, K::kPushButton, 235, 141, 50, 14, "帮助"},
        }};
    return t;
}

const DialogTemplate& CalibrateDialogTemplate() {
    using K = ControlKind;
    static const DialogTemplate t{
        IDD_CALIBRATE,
        "电流校准",
        295,
        159,
        kFont,
        9,
        kFrame,
        {
            {IDC_REFERENCE, K::kEdit, 66, 109, 158, 14, "", kAutoHScroll | kBorder | kTabStop},
            {IDC_PREVIOUS, K::kPushButton, 17, 141, 50, 14, "上一步", kDisabled},
            {IDC_NEXT, K::kPushButton, 72, 141, 50, 14, "下一步", kDisabled},
            {IDOK, K::kPushButton, 289, 145, 6, 14, "确定", kDefaultButton | kHidden},
            {IDCANCEL, K::kPushButton, 289, 145, 6, 14, "取消", kHidden},
            {IDC_HELP_BUTTON, K::kPushButton, 233, 141, 50, 14, "帮助"},
            {IDC_PROMPT, K::kEdit, 5, 19, 285, 60, "",
             kMultiLine | kReadOnly | kAutoVScroll | kBorder},
            {IDC_STATIC, K::kStatic, 9, 90, 50, 14, "当前电流值:", kAlignRight | kVCenter},
            {IDC_MEASURED, K::kEdit, 66, 90, 157, 14, "", kReadOnly | kAutoHScroll | kBorder},
            {IDC_STATIC, K::kStatic, 9, 109, 50, 14, "实际电流值:", kAlignRight | kVCenter},
            {IDC_STATIC, K::kStatic, 230, 90, 19, 14, "mA", kVCenter},
            {IDC_STATIC, K::kStatic, 230, 109, 19, 14, "mA", kVCenter},
            {IDC_STOP, K::kPushButton, 170, 141, 50, 14, "取消"},
        }};
    return t;
}

const DialogTemplate* FindDialogTemplate(int id) {
    for (const DialogTemplate* t : {&AboutDialogTemplate(), &MainDialogTemplate(),
                                    &ChannelDialogTemplate(), &CalibrateDialogTemplate()}) {
        if (t->id == id) return t;
    }
    return nullptr;
}

}  // namespace app
