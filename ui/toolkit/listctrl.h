#pragma once
// IListCtrl: the list-view control in virtual (owner-data) mode that the owning list views
// (CVLArray<T>) drive, plus the display-request record the control sends for each visible cell.
// The control stores no rows: it asks the array for each cell's text and image on demand.
// Thread safety: implementations must accept calls from any thread (a GUI front-end marshals
// them to its window thread, as a Win32 control executes cross-thread calls as sent messages).

#include <cstdint>
#include <memory>
#include <string>

class IMenu;
class IWindow;

// What a display request asks for (VKDispInfo::mask).
enum : unsigned {
    VKLVIF_TEXT = 0x0001,
    VKLVIF_IMAGE = 0x0002,
    VKLVIF_PARAM = 0x0004,
    VKLVIF_STATE = 0x0008,
    VKLVIF_INDENT = 0x0010,
};

// Flags of IListCtrl::SetItemCountEx.
enum : uint32_t {
    VKLVSICF_REPAINT = 0,         // every row is drawn again
    VKLVSICF_NOINVALIDATEALL = 1, // the current rows stay valid
};

// One display request: which cell, what is wanted, and where the answers go. The text buffer
// belongs to the control; the answer is cut to textMax bytes.
struct VKDispInfo {
    int item = 0;               // row index
    int subItem = 0;            // column
    unsigned mask = 0;          // VKLVIF_* bits
    char* text = nullptr;       // buffer for VKLVIF_TEXT, textMax bytes
    int textMax = 0;
    int image = -1;             // out, VKLVIF_IMAGE
    unsigned state = 0;         // out, VKLVIF_STATE
    int indent = 0;             // out, VKLVIF_INDENT
    void* param = nullptr;      // out, VKLVIF_PARAM: the row's object
};

struct VKPoint {
    int x = 0;
    int y = 0;
};

class IListCtrl {
public:
    virtual ~IListCtrl() = default;

    // Number of rows; flags are VKLVSICF_*.
    virtual void SetItemCountEx(int count, uint32_t flags) = 0;
    // Whole-row selection (LVS_EX_FULLROWSELECT).
    virtual void SetFullRowSelect() = 0;

    virtual int GetColumnCount() = 0;
    virtual void DeleteColumn(int column) = 0;
    // Inserts a left-aligned column showing sub-item `subItem`. Returns its index or -1.
    virtual int InsertColumn(int column, const std::string& title, int width, int subItem) = 0;

    virtual int GetTopIndex() = 0;
    virtual int GetCountPerPage() = 0;
    // Repaints one row (no background erase) / the whole control.
    virtual void InvalidateRow(int index) = 0;
    virtual void InvalidateAll(bool erase) = 0;

    virtual bool IsEnabled() = 0;
    // False once the control's window is gone.
    virtual bool IsWindow() = 0;
    // Index of the first selected row, or -1.
    virtual int GetFirstSelectedItem() = 0;

    // A new, empty pop-up menu owned by the caller, or null on failure.
    virtual std::unique_ptr<IMenu> CreatePopupMenu() = 0;
    // The mouse cursor in screen coordinates.
    virtual VKPoint GetCursorPos() = 0;
    // The application's main window (owner of menus when none is given); may be null.
    virtual IWindow* GetMainWindow() = 0;
};
