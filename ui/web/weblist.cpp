// CWebListCtrl and its pop-up menu (see weblist.h).
#include "ui/web/weblist.h"

namespace {

// Collects the items the array appends; Track hands them to the control.
class CWebMenu : public IMenu {
public:
    explicit CWebMenu(CWebListCtrl* ctrl) : m_ctrl(ctrl) {}
    void AppendItem(unsigned id, const std::string& text, bool enabled) override {
        m_items.push_back({id, text, enabled, false});
    }
    void AppendSeparator() override { m_items.push_back({0, "", false, true}); }
    void Track(const VKPoint&, IWindow*) override { m_ctrl->SetTrackedMenu(m_items); }

private:
    CWebListCtrl* m_ctrl;
    std::vector<VKWebMenuItem> m_items;
};

}  // namespace

void CWebListCtrl::SetItemCountEx(int count, uint32_t) {
    CMutexLock l(m_mutex);
    m_count = std::max(count, 0);
}

int CWebListCtrl::GetColumnCount() {
    CMutexLock l(m_mutex);
    return static_cast<int>(m_columns.size());
}

void CWebListCtrl::DeleteColumn(int column) {
    CMutexLock l(m_mutex);
    if (column >= 0 && column < static_cast<int>(m_columns.size()))
        m_columns.erase(m_columns.begin() + column);
}

int CWebListCtrl::InsertColumn(int column, const std::string& title, int width, int) {
    CMutexLock l(m_mutex);
    if (column < 0 || column > static_cast<int>(m_columns.size()))
        return -1;
    m_columns.insert(m_columns.begin() + column, {title, width});
    return column;
}

int CWebListCtrl::GetTopIndex() {
    CMutexLock l(m_mutex);
    return m_top;
}

int CWebListCtrl::GetCountPerPage() {
    CMutexLock l(m_mutex);
    return m_perPage;
}

int CWebListCtrl::GetFirstSelectedItem() {
    CMutexLock l(m_mutex);
    return m_selected < m_count ? m_selected : -1;
}

std::unique_ptr<IMenu> CWebListCtrl::CreatePopupMenu() { return std::make_unique<CWebMenu>(this); }

void CWebListCtrl::SetView(int top, int perPage) {
    CMutexLock l(m_mutex);
    m_top = top;
    m_perPage = perPage;
}

void CWebListCtrl::SetSelected(int row) {
    CMutexLock l(m_mutex);
    m_selected = row < 0 ? -1 : row;
}

int CWebListCtrl::GetItemCount() {
    CMutexLock l(m_mutex);
    return m_count;
}

nlohmann::json CWebListCtrl::ColumnsJson() {
    CMutexLock l(m_mutex);
    nlohmann::json columns = nlohmann::json::array();
    for (const Column& c : m_columns)
        columns.push_back({{"title", AnsiToUtf8(c.title)}, {"width", c.width}});
    return columns;
}

void CWebListCtrl::SetTrackedMenu(std::vector<VKWebMenuItem> items) {
    CMutexLock l(m_mutex);
    m_tracked = std::move(items);
}

std::vector<VKWebMenuItem> CWebListCtrl::TakeTrackedMenu() {
    CMutexLock l(m_mutex);
    return std::move(m_tracked);
}
