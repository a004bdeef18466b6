#pragma once
// CWebListCtrl: the web adapter's list control in virtual mode. Like the Windows control it stores
// no rows, only what the owning array tells it (columns, row count) and what the browser tells it
// (first visible row, rows per page, selected row). The browser asks for its visible rows only;
// VisibleRows answers them through the array's GetDispInfo, so a refresh costs work in proportion
// to the rows shown, not to the rows in the list. The context menu is built by the array's own
// hooks into a CWebMenu and handed to the browser as JSON.
// Ownership: the control must outlive its attachment to an array (detach or destroy the array
// first).
// Thread safety: any thread (one mutex); menu and command calls are serialised by m_uiLock, which
// stands in for the Windows control's single window thread.

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "berkit/codepage.h"
#include "platform/mutex.h"
#include "ui/toolkit/listctrl.h"
#include "ui/toolkit/menu.h"
#include "ui/vlarraytempl.h"

struct VKWebMenuItem {
    unsigned id = 0;
    std::string text;  // ANSI code page
    bool enabled = false;
    bool separator = false;
};

class CWebListCtrl : public IListCtrl, public IWindow {
public:
    // Most rows one request may ask for.
    static constexpr int kMaxRowsPerRequest = 200;

    void SetItemCountEx(int count, uint32_t flags) override;
    void SetFullRowSelect() override {}
    int GetColumnCount() override;
    void DeleteColumn(int column) override;
    int InsertColumn(int column, const std::string& title, int width, int subItem) override;
    int GetTopIndex() override;
    int GetCountPerPage() override;
    void InvalidateRow(int) override {}  // the browser polls; nothing to push
    void InvalidateAll(bool) override {}
    bool IsEnabled() override { return true; }
    bool IsWindow() override { return true; }
    int GetFirstSelectedItem() override;
    std::unique_ptr<IMenu> CreatePopupMenu() override;
    VKPoint GetCursorPos() override { return {}; }
    IWindow* GetMainWindow() override { return this; }

    // The browser's view: first row shown, rows per page, selected row (-1: none).
    void SetView(int top, int perPage);
    void SetSelected(int row);
    int GetItemCount();
    // Columns as {title (UTF-8), width}.
    nlohmann::json ColumnsJson();

    // The menu the array last tracked (filled by CWebMenu::Track).
    void SetTrackedMenu(std::vector<VKWebMenuItem> items);
    std::vector<VKWebMenuItem> TakeTrackedMenu();

    // Held around one menu or command request; it guards no member here (m_mutex does), it
    // only keeps two requests from interleaving their select, right-click and take.
    CMutex m_uiLock;

private:
    struct Column {
        std::string title;  // ANSI code page
        int width = 0;
    };
    CMutex m_mutex;
    int m_count GUARDED_BY(m_mutex) = 0;
    int m_top GUARDED_BY(m_mutex) = 0;
    int m_perPage GUARDED_BY(m_mutex) = 20;
    int m_selected GUARDED_BY(m_mutex) = -1;
    std::vector<Column> m_columns GUARDED_BY(m_mutex);
    std::vector<VKWebMenuItem> m_tracked GUARDED_BY(m_mutex);
};

// {"count", "top", "columns", "rows": [{"index", "cells": [...]}]} for rows top .. top+count-1
// (at most kMaxRowsPerRequest). A row that left the array in between ends the answer early.
template <class T>
nlohmann::json VisibleRows(CVLArray<T>& array, CWebListCtrl& ctrl, int top, int count) {
    count = std::clamp(count, 0, CWebListCtrl::kMaxRowsPerRequest);
    top = std::max(top, 0);
    ctrl.SetView(top, count);
    const int total = ctrl.GetItemCount();
    nlohmann::json columns = ctrl.ColumnsJson();
    nlohmann::json rows = nlohmann::json::array();
    char buffer[512];
    for (int i = top; i < std::min(total, top + count); ++i) {
        nlohmann::json cells = nlohmann::json::array();
        for (int c = 0; c < static_cast<int>(columns.size()); ++c) {
            VKDispInfo info;
            info.item = i;
            info.subItem = c;
            info.mask = VKLVIF_TEXT;
            info.text = buffer;
            info.textMax = sizeof buffer;
            if (array.GetDispInfo(info) != 0)
                return {{"count", total}, {"top", top}, {"columns", columns}, {"rows", rows}};
            cells.push_back(AnsiToUtf8(buffer));
        }
        rows.push_back({{"index", i}, {"cells", cells}});
    }
    return {{"count", total}, {"top", top}, {"columns", columns}, {"rows", rows}};
}

// The text of cell (row, 0) as the browser shows it (UTF-8), or "" when the row is gone.
template <class T>
std::string RowIdentity(CVLArray<T>& array, int row) {
    char buffer[256];
    VKDispInfo info;
    info.item = row;
    info.mask = VKLVIF_TEXT;
    info.text = buffer;
    info.textMax = sizeof buffer;
    return array.GetDispInfo(info) == 0 ? AnsiToUtf8(buffer) : std::string();
}

// The context menu for row `selected` (-1: none), as the array's right-click builds it:
// [{"id", "text" (UTF-8), "enabled", "separator"}].
template <class T>
nlohmann::json ContextMenu(CVLArray<T>& array, CWebListCtrl& ctrl, int selected) {
    CMutexLock ui(ctrl.m_uiLock);
    ctrl.SetSelected(selected);
    array.OnListCtrlRightClick(&ctrl);
    nlohmann::json items = nlohmann::json::array();
    for (const VKWebMenuItem& item : ctrl.TakeTrackedMenu())
        items.push_back({{"id", item.id},
                         {"text", AnsiToUtf8(item.text)},
                         {"enabled", item.enabled},
                         {"separator", item.separator}});
    return items;
}

// Runs menu command `id` for row `selected`, when the row still shows `identity` in its first
// column and the command is an enabled item of that row's menu. False otherwise (nothing done).
template <class T>
bool RunListCommand(CVLArray<T>& array, CWebListCtrl& ctrl, int selected,
                    const std::string& identity, unsigned id) {
    CMutexLock ui(ctrl.m_uiLock);
    if (selected < 0 || RowIdentity(array, selected) != identity)
        return false;
    ctrl.SetSelected(selected);
    array.OnListCtrlRightClick(&ctrl);
    const std::vector<VKWebMenuItem> items = ctrl.TakeTrackedMenu();
    const bool offered = std::any_of(items.begin(), items.end(), [&](const VKWebMenuItem& m) {
        return !m.separator && m.enabled && m.id == id;
    });
    if (!offered)
        return false;
    array.OnListCtrlCommand(id);
    return true;
}
