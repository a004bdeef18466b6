#pragma once
// CVLArray<T>: an owning array of heap items shown in a virtual list control (ui/toolkit/). The
// control asks for each visible cell through GetDispInfo; the array reports its size through
// OnItemCountChanged. Columns, context menu and commands come from three virtual hooks.
// T provides `std::string GetColumnText(int)`, `int GetImageIndex()` and a virtual destructor.
// Ownership: the array deletes its items (RemoveAll, destructor). The control is not owned.
// Thread safety: any thread. m_lock guards m_array; items are deleted only after they have left
// the array, outside the lock, so a thread that calls UpdateDisp while its item is being torn
// down never deadlocks against the deleter. Calls into the control are made without the lock.

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "berkit/codepage.h"
#include "platform/critsec.h"
#include "ui/toolkit/listctrl.h"
#include "ui/toolkit/menu.h"

template <class T>
class CVLArray {
public:
    CVLArray() = default;
    CVLArray(const CVLArray&) = delete;
    CVLArray& operator=(const CVLArray&) = delete;

    // Calls BeforeDestroy() (this class's version: derived parts are already gone), then
    // RemoveAll().
    virtual ~CVLArray() {
        BeforeDestroy();
        RemoveAll();
    }

    virtual void BeforeDestroy() {}

    // Creates a T, appends it and reports the new count. The array owns the result. Any thread.
    virtual T* NewObject() {
        T* item = new T;
        Append(item);
        return item;
    }

    // Title and width of one column: 0, or -1 past the last column.
    virtual int GetColumnProp(int column, std::string& title, int& width) {
        if (column < 0 || column > 1)
            return -1;
        title = "col " + std::to_string(column);
        width = 100;
        return 0;
    }

    // Appends the context menu's items for `item` (null: nothing selected). Returns 0.
    virtual int FitMenuText(IMenu* menu, T* item) {
        const std::string text = OperatorText("属性 ...");
        if (item)
            menu->AppendItem(1000, text, true);
        else
            menu->AppendItem(1000, " " + text, false);
        menu->AppendSeparator();
        return 0;
    }

    // Executes menu command `id` for `item` (may be null). Returns 0.
    virtual int OnCommand(unsigned /*id*/, T* /*item*/) { return 0; }

    // Attaches `list` (null detaches) and returns the previous control. A new control gets this
    // array's columns (replacing its own) and row count. `list` must stay alive until it is
    // detached or this array is destroyed. Host UI thread.
    IListCtrl* SetListCtrl(IListCtrl* list) {
        IListCtrl* previous = m_pListCtrl.exchange(list);
        if (list) {
            InitialColumnTitle(1);
            OnItemCountChanged(VKLVSICF_NOINVALIDATEALL);
        }
        return previous;
    }

    IListCtrl* GetListCtrl() const { return m_pListCtrl.load(); }

    // Builds the columns from GetColumnProp; reset 1 replaces every existing column, 0 appends
    // after them. 0, or -1 without a control. Host UI thread.
    int InitialColumnTitle(int reset) {
        IListCtrl* ctrl = m_pListCtrl.load();
        if (!ctrl)
            return -1;
        ctrl->SetFullRowSelect();
        int existing = ctrl->GetColumnCount();
        if (reset == 1)
            for (int c = existing - 1; c >= 0; --c)
                ctrl->DeleteColumn(c);
        for (int c = reset ? 0 : existing;; ++c) {
            std::string title;
            int width = 0;
            if (GetColumnProp(c, title, width) == -1)
                break;
            ctrl->InsertColumn(c, title, width, c);
        }
        return 0;
    }

    // Answers a display request. 0, or -1 (buffers untouched) when the row is no longer in the
    // array. Text is cut to textMax - 1 bytes and always terminated. Any thread.
    int GetDispInfo(VKDispInfo& info) EXCLUDES(m_lock) {
        CSingleLock lock(m_lock);
        if (info.item < 0 || static_cast<size_t>(info.item) >= m_array.size())
            return -1;
        T* item = m_array[static_cast<size_t>(info.item)];
        if (!item)
            return -1;
        if ((info.mask & VKLVIF_TEXT) && info.text && info.textMax > 0) {
            const std::string text = item->GetColumnText(info.subItem);
            size_t n = std::min(text.size(), static_cast<size_t>(info.textMax) - 1);
            std::memcpy(info.text, text.data(), n);
            info.text[n] = '\0';
        }
        if (info.mask & VKLVIF_IMAGE)
            info.image = item->GetImageIndex();
        if (info.mask & VKLVIF_STATE)
            info.state = 0;
        if (info.mask & VKLVIF_INDENT)
            info.indent = 0;
        if (info.mask & VKLVIF_PARAM)
            info.param = item;
        return 0;
    }

    // Repaints `item`'s row when it is on the visible page; null repaints everything. Only the
    // pointer is compared, so `item` may be on its way out. Any thread.
    void UpdateDisp(T* item, int /*ignored*/) EXCLUDES(m_lock) {
        IListCtrl* ctrl = m_pListCtrl.load();
        if (!ctrl || !ctrl->IsEnabled())
            return;
        if (!item) {
            ctrl->InvalidateAll(true);
            return;
        }
        const int top = ctrl->GetTopIndex();
        const int perPage = ctrl->GetCountPerPage();
        int found = -1;
        {
            CSingleLock lock(m_lock);
            const long last = std::min<long>(static_cast<long>(top) + perPage,
                                             static_cast<long>(m_array.size()) - 1);
            for (long i = std::max(top, 0); i <= last; ++i)
                if (m_array[static_cast<size_t>(i)] == item) {
                    found = static_cast<int>(i);
                    break;
                }
        }
        if (found >= 0)
            ctrl->InvalidateRow(found);
    }

    // Tells the control the current number of rows (flags: VKLVSICF_*). Any thread.
    void OnItemCountChanged(uint32_t flags) EXCLUDES(m_lock) {
        IListCtrl* ctrl = m_pListCtrl.load();
        if (ctrl)
            ctrl->SetItemCountEx(GetSize(), flags);
    }

    // Builds the context menu for `item` and shows it at `point` (null: the cursor). `menu`
    // null: a new pop-up menu is made and destroyed here. 0, or -1 when no menu can be made.
    int PopupMenu(const VKPoint* point, T* item, IWindow* owner, IMenu* menu) {
        IListCtrl* ctrl = m_pListCtrl.load();
        VKPoint pos;
        if (point)
            pos = *point;
        else if (ctrl)
            pos = ctrl->GetCursorPos();
        std::unique_ptr<IMenu> created;
        if (!menu) {
            if (ctrl)
                created = ctrl->CreatePopupMenu();
            if (!created)
                return -1;
            menu = created.get();
        }
        FitMenuText(menu, item);
        if (owner)
            menu->Track(pos, owner);
        return 0;
    }

    // Right click in the control: the menu for the first selected row. Host UI thread.
    void OnListCtrlRightClick(IWindow* owner) {
        IListCtrl* ctrl = m_pListCtrl.load();
        if (!ctrl)
            return;
        if (!owner)
            owner = ctrl->GetMainWindow();
        PopupMenu(nullptr, FirstSelectedObject(ctrl), owner, nullptr);
    }

    // A command chosen from the context menu: OnCommand's result, or 0 without a control.
    int OnListCtrlCommand(unsigned id) {
        IListCtrl* ctrl = m_pListCtrl.load();
        if (!ctrl)
            return 0;
        return OnCommand(id, FirstSelectedObject(ctrl));
    }

    // Deletes every item and empties the array; the control (if still a window) gets 0 rows.
    // Items are deleted outside the lock. Any thread.
    void RemoveAll() EXCLUDES(m_lock) {
        std::vector<T*> items;
        {
            CSingleLock lock(m_lock);
            items.swap(m_array);
        }
        for (T* item : items)
            delete item;
        IListCtrl* ctrl = m_pListCtrl.load();
        if (ctrl && ctrl->IsWindow())
            ctrl->SetItemCountEx(0, VKLVSICF_NOINVALIDATEALL);
    }

    // Number of items. Any thread.
    int GetSize() const EXCLUDES(m_lock) {
        CSingleLock lock(m_lock);
        return static_cast<int>(m_array.size());
    }

    // Item at `index`, or null out of range. The pointer stays valid only while the caller
    // keeps the item from being deleted (the owner's deletion rules). Any thread.
    T* GetAt(int index) const EXCLUDES(m_lock) {
        CSingleLock lock(m_lock);
        if (index < 0 || static_cast<size_t>(index) >= m_array.size())
            return nullptr;
        return m_array[static_cast<size_t>(index)];
    }

protected:
    // Appends an owned item and reports the new count with "keep rows valid". Any thread.
    void Append(T* item) EXCLUDES(m_lock) {
        {
            CSingleLock lock(m_lock);
            m_array.push_back(item);
        }
        OnItemCountChanged(VKLVSICF_NOINVALIDATEALL);
    }

    // The object of the control's first selected row, or null (nothing selected, or the array
    // shrank in between).
    T* FirstSelectedObject(IListCtrl* ctrl) {
        int index = ctrl->GetFirstSelectedItem();
        if (index < 0)
            return nullptr;
        VKDispInfo info;
        info.item = index;
        info.mask = VKLVIF_PARAM;
        if (GetDispInfo(info) != 0)
            return nullptr;
        return static_cast<T*>(info.param);
    }

    mutable CCriticalSection m_lock;  // the list lock
    std::vector<T*> m_array GUARDED_BY(m_lock);  // owned items
    std::atomic<IListCtrl*> m_pListCtrl{nullptr};  // not owned
};
