// Turns a dialog template into widgets: each control at its converted
// pixel geometry, in the dialog font, inside a client area of the
// template's size. Tab order is resource order, and only controls with the
// tab-stop style are reached with Tab (others still take the focus when
// clicked, as on Windows).
#pragma once

#include <QWidget>
#include <functional>
#include <map>
#include <vector>

#include "app/dialog_templates.h"
#include "app/dialog_units.h"

class QMenuBar;

namespace app {

struct BuiltDialog {
    QWidget* client = nullptr;         // the template's client area
    std::map<int, QWidget*> controls;  // by id; statics without an id are left out
    std::vector<QWidget*> ordered;     // every control, in resource order
    DialogBaseUnits base{};            // the units the geometry was converted with

    QWidget* Get(int id) const {
        const auto it = controls.find(id);
        return it == controls.end() ? nullptr : it->second;
    }
    template <class T>
    T* Get(int id) const {
        return dynamic_cast<T*>(Get(id));
    }
};

// Makes the widget for a control itself (the main window's segment
// readouts); nullptr leaves the control to the builder. Geometry, the
// hidden and disabled styles and the focus rules are applied either way.
using ControlFactory = std::function<QWidget*(const ControlTemplate&, QWidget* parent)>;

// Builds the controls into `window` (a QDialog or any top-level widget that
// has no layout yet): sets its font and, for a window, its title and title
// bar buttons, and fixes its size to the client area. The geometry uses the
// base units of the screen the window is on, or `base` when given.
BuiltDialog BuildDialog(const DialogTemplate& dialog, QWidget* window,
                        const ControlFactory& factory = {}, const DialogBaseUnits* base = nullptr);

// Puts a menu bar above the client area of a built window; the window grows
// by the menu bar's height and the client area keeps its size.
void AttachMenuBar(QWidget* window, QMenuBar* menuBar);
// Puts a line below the client area of a built window (a status line); the
// window grows by its height and the client area keeps its size and place.
void AttachStatusLine(QWidget* window, QWidget* line);

}  // namespace app
