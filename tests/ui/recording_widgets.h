#pragma once
// Recording doubles of the widget interfaces (ui/toolkit/) for headless tests of the list views:
// they remember every call so a test can assert what the operator would have seen.
// Thread safety: any thread (one mutex per double), since the server calls the list control from
// its listener, manager and session threads.

#include <mutex>
#include <string>
#include <vector>

#include "ui/toolkit/listctrl.h"
#include "ui/toolkit/menu.h"

struct RecordedMenuItem {
    unsigned id = 0;
    std::string text;
    bool enabled = false;
    bool separator = false;
};

struct RecordedColumn {
    std::string title;
    int width = 0;
    int subItem = 0;
};

class CRecordingListCtrl;

// A menu that hands its items to the control's record when it is tracked.
class CRecordingMenu : public IMenu {
public:
    explicit CRecordingMenu(CRecordingListCtrl* record) : m_record(record) {}
    void AppendItem(unsigned id, const std::string& text, bool enabled) override {
        m_items.push_back({id, text, enabled, false});
    }
    void AppendSeparator() override { m_items.push_back({0, "", false, true}); }
    void Track(const VKPoint& pos, IWindow* owner) override;

    std::vector<RecordedMenuItem> m_items;

private:
    CRecordingListCtrl* m_record;
};

class CRecordingListCtrl : public IListCtrl {
public:
    void SetItemCountEx(int count, uint32_t flags) override {
        std::lock_guard<std::mutex> l(m_mutex);
        m_itemCount = count;
        m_countFlags.push_back(flags);
    }
    void SetFullRowSelect() override {
        std::lock_guard<std::mutex> l(m_mutex);
        m_fullRowSelect = true;
    }
    int GetColumnCount() override {
        std::lock_guard<std::mutex> l(m_mutex);
        return static_cast<int>(m_columns.size());
    }
    void DeleteColumn(int column) override {
        std::lock_guard<std::mutex> l(m_mutex);
        if (column >= 0 && column < static_cast<int>(m_columns.size()))
            m_columns.erase(m_columns.begin() + column);
    }
    int InsertColumn(int column, const std::string& title, int width, int subItem) override {
        std::lock_guard<std::mutex> l(m_mutex);
        if (column < 0 || column > static_cast<int>(m_columns.size()))
            return -1;
        m_columns.insert(m_columns.begin() + column, {title, width, subItem});
        return column;
    }
    int GetTopIndex() override { return m_top; }
    int GetCountPerPage() override { return m_perPage; }
    void InvalidateRow(int index) override {
        std::lock_guard<std::mutex> l(m_mutex);
        m_invalidatedRows.push_back(index);
    }
    void InvalidateAll(bool erase) override {
        std::lock_guard<std::mutex> l(m_mutex);
        m_invalidatedAll.push_back(erase);
    }
    bool IsEnabled() override { return m_enabled; }
    bool IsWindow() override { return m_window; }
    int GetFirstSelectedItem() override { return m_selected; }
    std::unique_ptr<IMenu> CreatePopupMenu() override {
        if (m_failMenus)
            return nullptr;
        return std::make_unique<CRecordingMenu>(this);
    }
    VKPoint GetCursorPos() override { return m_cursor; }
    IWindow* GetMainWindow() override { return m_mainWindow; }

    void RecordTrackedMenu(const std::vector<RecordedMenuItem>& items, VKPoint pos, IWindow* owner) {
        std::lock_guard<std::mutex> l(m_mutex);
        m_trackedMenus.push_back(items);
        m_trackedAt = pos;
        m_trackedOwner = owner;
    }

    int ItemCount() {
        std::lock_guard<std::mutex> l(m_mutex);
        return m_itemCount;
    }
    // Flags of the last item-count change (0 when there was none).
    uint32_t LastCountFlags() {
        std::lock_guard<std::mutex> l(m_mutex);
        return m_countFlags.empty() ? 0 : m_countFlags.back();
    }

    // Configuration of the double (set before use).
    int m_top = 0;
    int m_perPage = 10;
    bool m_enabled = true;
    bool m_window = true;
    int m_selected = -1;
    bool m_failMenus = false;
    VKPoint m_cursor{5, 6};
    IWindow* m_mainWindow = nullptr;

    // The record.
    std::mutex m_mutex;
    int m_itemCount = -1;
    std::vector<uint32_t> m_countFlags;
    bool m_fullRowSelect = false;
    std::vector<RecordedColumn> m_columns;
    std::vector<int> m_invalidatedRows;
    std::vector<bool> m_invalidatedAll;
    std::vector<std::vector<RecordedMenuItem>> m_trackedMenus;
    VKPoint m_trackedAt;
    IWindow* m_trackedOwner = nullptr;
};

inline void CRecordingMenu::Track(const VKPoint& pos, IWindow* owner) {
    m_record->RecordTrackedMenu(m_items, pos, owner);
}
