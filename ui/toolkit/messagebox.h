#pragma once
// IMessageBox: modal message boxes of the operator's front-end (errors, confirmations).
// Thread safety: host user-interface thread only.

#include <string>

class IWindow;

enum VKMessageBoxStyle : unsigned {
    VKMB_OK = 0x0,
    VKMB_OKCANCEL = 0x1,
    VKMB_YESNO = 0x4,
    VKMB_ICONERROR = 0x10,
    VKMB_ICONQUESTION = 0x20,
    VKMB_ICONWARNING = 0x30,
    VKMB_ICONINFORMATION = 0x40,
};

enum VKMessageBoxResult : int {
    VKID_OK = 1,
    VKID_CANCEL = 2,
    VKID_YES = 6,
    VKID_NO = 7,
};

class IMessageBox {
public:
    virtual ~IMessageBox() = default;
    // Shows `text` with `caption` (both in the ANSI code page); returns a VKID_* value.
    virtual int Show(IWindow* owner, const std::string& text, const std::string& caption,
                     unsigned style) = 0;
};
