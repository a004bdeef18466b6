#pragma once
// IMenu and IWindow: the pop-up context menu of the list views and the window that receives its
// commands. A menu chosen by the user reaches the owner window as a command id, which the front-end
// passes to CVLArray<T>::OnListCtrlCommand.
// Thread safety: host user-interface thread only.

#include <string>

#include "ui/toolkit/listctrl.h"

class IWindow {
public:
    virtual ~IWindow() = default;
};

class IMenu {
public:
    virtual ~IMenu() = default;

    // Appends a command item; a disabled item is shown greyed and cannot be chosen.
    virtual void AppendItem(unsigned id, const std::string& text, bool enabled) = 0;
    virtual void AppendSeparator() = 0;
    // Shows the menu at `pos` (screen coordinates), tracking the right mouse button; the chosen
    // command goes to `owner`.
    virtual void Track(const VKPoint& pos, IWindow* owner) = 0;
};
