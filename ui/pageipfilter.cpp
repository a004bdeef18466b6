// CPageIPFilter: page "IP 筛选" (dialog 107): two symmetrical groups, friends and enemies.
#include "ui/pageipfilter.h"

#include <vector>

#include "berkit/codepage.h"
#include "server/tunnelarray.h"

namespace {

// One group's controls.
struct FilterGroup {
    int toggle;  // the switch
    int list;
    int entry;
    int add;
    int remove;
};

const FilterGroup kFriends = {1012, 1013, 1014, 1006, 1007};
const FilterGroup kEnemies = {1015, 1016, 1021, 1008, 1009};

const VKDialogTemplate kTemplate = {
    107,
    "IP 筛选",
    {
        {kFriends.toggle, VKControlKind::kCheck, "只允许 IP 访问"},
        {kFriends.list, VKControlKind::kList, "IP 地址"},
        {kFriends.entry, VKControlKind::kEdit, ""},
        {kFriends.add, VKControlKind::kButton, "添加"},
        {kFriends.remove, VKControlKind::kButton, "删除"},
        {kEnemies.toggle, VKControlKind::kCheck, "拒绝 IP 访问"},
        {kEnemies.list, VKControlKind::kList, "IP 地址"},
        {kEnemies.entry, VKControlKind::kEdit, ""},
        {kEnemies.add, VKControlKind::kButton, "添加"},
        {kEnemies.remove, VKControlKind::kButton, "删除"},
    },
};

void EnableGroup(IDialog* dlg, const FilterGroup& g) {
    const bool on = dlg->IsChecked(g.toggle);
    for (int id : {g.list, g.entry, g.add, g.remove})
        dlg->Enable(id, on);
}

void FillGroup(IDialog* dlg, const FilterGroup& g, bool on, const std::vector<std::string>& items) {
    dlg->ListSetColumn(g.list, OperatorText("IP 地址"), 135, true);
    dlg->SetCheck(g.toggle, on);
    for (const std::string& address : items)
        dlg->ListInsertItem(g.list, 0, address);  // the newest ends on top
    EnableGroup(dlg, g);
}

// Add and Delete of one group; false when `id` is none of its buttons.
bool HandleGroupButton(IDialog* dlg, const FilterGroup& g, int id) {
    if (id == g.toggle) {
        EnableGroup(dlg, g);
    } else if (id == g.add) {
        const std::string text = dlg->GetText(g.entry);
        if (!text.empty()) {
            dlg->ListInsertItem(g.list, 0, text);
            dlg->SetText(g.entry, "");
        }
    } else if (id == g.remove) {
        const std::vector<int> selected = dlg->ListGetSelected(g.list);
        for (auto it = selected.rbegin(); it != selected.rend(); ++it)
            dlg->ListDeleteItem(g.list, *it);
    } else {
        return false;
    }
    return true;
}

std::vector<std::string> CollectList(IDialog* dlg, int list) {
    std::vector<std::string> items;
    const int n = dlg->ListGetCount(list);
    for (int i = 0; i < n; ++i) {
        std::string text = dlg->ListGetText(list, i);
        if (!text.empty())
            items.push_back(std::move(text));
    }
    return items;
}

}  // namespace

const VKDialogTemplate& CPageIPFilter::GetTemplate() const { return kTemplate; }

bool CPageIPFilter::OnInitDialog() {
    int friendsOnly = 0, enemyRefuse = 0;
    std::vector<std::string> friends, enemies;
    GetMedi()->m_ipFilter.GetFilter(friendsOnly, enemyRefuse, friends, enemies);
    FillGroup(m_dlg, kFriends, friendsOnly != 0, friends);
    FillGroup(m_dlg, kEnemies, enemyRefuse != 0, enemies);
    return true;
}

void CPageIPFilter::OnControl(int id, int code) {
    CConfigPage::OnControl(id, code);
    if (code == VKN_CLICKED && !HandleGroupButton(m_dlg, kFriends, id))
        HandleGroupButton(m_dlg, kEnemies, id);
}

bool CPageIPFilter::OnApply() {
    CTunnelArray* medi = GetMedi();
    medi->m_ipFilter.SetFilter(m_dlg->IsChecked(kFriends.toggle) ? 1 : 0,
                               m_dlg->IsChecked(kEnemies.toggle) ? 1 : 0,
                               CollectList(m_dlg, kFriends.list), CollectList(m_dlg, kEnemies.list));
    medi->m_ipFilter.DumpToFile((medi->m_homeDir + "vkipfilt.cfg").c_str());
    return true;
}
