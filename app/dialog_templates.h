// The dialog templates of the window layer: dialogs 100 (about box), 102
// (main window), 130 (channel prompt) and 131 (calibration wizard), each a
// table of controls in resource order, with positions in dialog units.
// dialog_builder.h turns one into widgets.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "app/resource.h"

namespace app {

enum class ControlKind {
    kStatic,      // text
    kIcon,        // static showing an icon resource
    kPushButton,  // text or bitmap
    kGroupBox,    // frame only when its text is empty
    kComboBox,
    kEdit,
};

// Styles of a control, as flags.
enum ControlStyle : uint32_t {
    kStyleNone = 0,
    kAlignRight = 1u << 0,
    kVCenter = 1u << 1,
    kNoPrefix = 1u << 2,
    kDefaultButton = 1u << 3,
    kBitmapButton = 1u << 4,
    kHidden = 1u << 5,
    kDisabled = 1u << 6,
    kTabStop = 1u << 7,
    kBorder = 1u << 8,
    kReadOnly = 1u << 9,
    kMultiLine = 1u << 10,
    kAutoHScroll = 1u << 11,
    kAutoVScroll = 1u << 12,
    kDropDownList = 1u << 13,
    kVScroll = 1u << 14,
};

struct ControlTemplate {
    ControlTemplate(int id_, ControlKind kind_, int x_, int y_, int cx_, int cy_, std::string text_,
                    uint32_t style_ = kStyleNone, int image_ = 0,
                    std::vector<std::string> items_ = {})
        : id(id_),
          kind(kind_),
          x(x_),
          y(y_),
          cx(cx_),
          cy(cy_),
          text(std::move(text_)),
          style(style_),
          image(image_),
          items(std::move(items_)) {}

    int id;  // IDC_STATIC for none
    ControlKind kind;
    int x, y, cx, cy;  // dialog units
    std::string text;  // UTF-8
    uint32_t style = kStyleNone;
    int image = 0;                   // bitmap (button) or icon (static) resource, 0 for none
    std::vector<std::string> items;  // list of a combo box

    bool Has(ControlStyle s) const { return (style & s) != 0; }
};

enum DialogStyle : uint32_t {
    kDlgNone = 0,
    kDlgCaption = 1u << 0,
    kDlgSysMenu = 1u << 1,
    kDlgMinimizeBox = 1u << 2,
    kDlgModalFrame = 1u << 3,
    kDlgVisible = 1u << 4,
    kDlgAppWindow = 1u << 5,  // own taskbar button
};

struct DialogTemplate {
    int id;
    std::string title;
    int cx, cy;  // client area, dialog units
    std::string fontFace;
    int fontPointSize;
    uint32_t style;
    std::vector<ControlTemplate> controls;  // resource order = tab order

    bool Has(DialogStyle s) const { return (style & s) != 0; }
    // The first control with this id, or null.
    const ControlTemplate* Find(int controlId) const;
};

const DialogTemplate& AboutDialogTemplate();      // 100
const DialogTemplate& MainDialogTemplate();       // 102
const DialogTemplate& ChannelDialogTemplate();    // 130
const DialogTemplate& CalibrateDialogTemplate();  // 131
// By resource id; null for an unknown one.
const DialogTemplate* FindDialogTemplate(int id);

}  // namespace app
