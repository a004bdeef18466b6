// CWebDialog: control state, its JSON form and the browser's events (see webdialog.h).
#include "ui/web/webdialog.h"

#include "berkit/codepage.h"
#include "ui/toolkit/messagebox.h"

namespace {

// Longest text the browser may put into one field; a page's fields are short by nature.
constexpr size_t kMaxFieldBytes = 1024;
// Most rows a list may hold; the IP filter lists are hand-kept.
constexpr size_t kMaxListRows = 10000;

const char* KindName(VKControlKind kind) {
    switch (kind) {
        case VKControlKind::kStatic: return "static";
        case VKControlKind::kGroup: return "group";
        case VKControlKind::kEdit: return "edit";
        case VKControlKind::kNumber: return "number";
        case VKControlKind::kPassword: return "password";
        case VKControlKind::kCheck: return "check";
        case VKControlKind::kRadio: return "radio";
        case VKControlKind::kCombo: return "combo";
        case VKControlKind::kList: return "list";
        case VKControlKind::kButton: return "button";
    }
    return "static";
}

bool IsTextKind(VKControlKind k) {
    return k == VKControlKind::kEdit || k == VKControlKind::kNumber || k == VKControlKind::kPassword;
}

}  // namespace

CWebDialog::CWebDialog(const VKDialogTemplate& tmpl, std::vector<VKPendingMessage>* messages)
    : m_template(tmpl), m_messages(messages) {
    for (const VKControlDef& def : tmpl.controls)
        if (def.id != 0)
            m_controls[def.id].def = &def;
}

CWebDialog::Control* CWebDialog::Find(int id) {
    auto it = m_controls.find(id);
    return it == m_controls.end() ? nullptr : &it->second;
}

std::string CWebDialog::GetText(int id) {
    Control* c = Find(id);
    return c ? c->text : std::string();
}

void CWebDialog::SetText(int id, const std::string& text) {
    if (Control* c = Find(id))
        c->text = text;
}

bool CWebDialog::IsChecked(int id) {
    Control* c = Find(id);
    return c && c->checked;
}

void CWebDialog::SetCheck(int id, bool checked) {
    if (Control* c = Find(id))
        c->checked = checked;
}

void CWebDialog::Enable(int id, bool enabled) {
    if (Control* c = Find(id))
        c->enabled = enabled;
}

bool CWebDialog::IsEnabled(int id) {
    Control* c = Find(id);
    return c && c->enabled;
}

int CWebDialog::GetCurSel(int id) {
    Control* c = Find(id);
    return c ? c->curSel : -1;
}

void CWebDialog::SetCurSel(int id, int index) {
    Control* c = Find(id);
    if (!c)
        return;
    const int n = static_cast<int>(c->def->items.size());
    c->curSel = index >= 0 && index < n ? index : -1;
}

void CWebDialog::ListSetColumn(int id, const std::string& title, int width, bool centred) {
    if (Control* c = Find(id)) {
        c->columnTitle = title;
        c->columnWidth = width;
        c->columnCentred = centred;
    }
}

void CWebDialog::ListInsertItem(int id, int index, const std::string& text) {
    Control* c = Find(id);
    if (!c || c->items.size() >= kMaxListRows)
        return;
    const size_t at = index < 0 || static_cast<size_t>(index) > c->items.size()
                          ? c->items.size()
                          : static_cast<size_t>(index);
    c->items.insert(c->items.begin() + static_cast<long>(at), text);
    c->selected.insert(c->selected.begin() + static_cast<long>(at), false);
}

void CWebDialog::ListDeleteItem(int id, int index) {
    Control* c = Find(id);
    if (!c || index < 0 || static_cast<size_t>(index) >= c->items.size())
        return;
    c->items.erase(c->items.begin() + index);
    c->selected.erase(c->selected.begin() + index);
}

int CWebDialog::ListGetCount(int id) {
    Control* c = Find(id);
    return c ? static_cast<int>(c->items.size()) : 0;
}

std::string CWebDialog::ListGetText(int id, int index) {
    Control* c = Find(id);
    if (!c || index < 0 || static_cast<size_t>(index) >= c->items.size())
        return std::string();
    return c->items[static_cast<size_t>(index)];
}

std::vector<int> CWebDialog::ListGetSelected(int id) {
    std::vector<int> rows;
    if (Control* c = Find(id))
        for (size_t i = 0; i < c->selected.size(); ++i)
            if (c->selected[i])
                rows.push_back(static_cast<int>(i));
    return rows;
}

void CWebDialog::SetModified(bool modified) { m_modified = modified; }

int CWebDialog::MessageBox(const std::string& text, const std::string& caption, unsigned style) {
    if (m_messages)
        m_messages->push_back({AnsiToUtf8(text), AnsiToUtf8(caption), style});
    return (style & VKMB_YESNO) == VKMB_YESNO ? VKID_YES : VKID_OK;
}

nlohmann::json CWebDialog::ToJson() const {
    nlohmann::json controls = nlohmann::json::array();
    for (const VKControlDef& def : m_template.controls) {
        nlohmann::json j = {{"id", def.id}, {"kind", KindName(def.kind)}, {"label", def.label}};
        auto it = m_controls.find(def.id);
        if (def.id != 0 && it != m_controls.end()) {
            const Control& c = it->second;
            j["enabled"] = c.enabled;
            if (IsTextKind(def.kind))
                j["value"] = AnsiToUtf8(c.text);
            if (def.kind == VKControlKind::kCheck || def.kind == VKControlKind::kRadio)
                j["checked"] = c.checked;
            if (def.kind == VKControlKind::kRadio)
                j["group"] = def.group;
            if (def.kind == VKControlKind::kCombo) {
                j["items"] = def.items;
                j["selected"] = c.curSel;
            }
            if (def.kind == VKControlKind::kList) {
                nlohmann::json rows = nlohmann::json::array();
                for (size_t i = 0; i < c.items.size(); ++i)
                    rows.push_back({{"text", AnsiToUtf8(c.items[i])}, {"selected", bool(c.selected[i])}});
                j["rows"] = rows;
                j["column"] = {{"title", AnsiToUtf8(c.columnTitle)},
                               {"width", c.columnWidth},
                               {"centred", c.columnCentred}};
            }
        }
        controls.push_back(j);
    }
    return {{"dialog", m_template.dialogId},
            {"caption", m_template.caption},
            {"modified", m_modified},
            {"controls", controls}};
}

bool CWebDialog::ApplyEvent(const nlohmann::json& event, int& id, int& code, std::string& error) {
    if (!event.is_object() || !event.contains("id") || !event["id"].is_number_integer() ||
        !event.contains("event") || !event["event"].is_string()) {
        error = "an event needs an id and an event name";
        return false;
    }
    id = event["id"].get<int>();
    const std::string what = event["event"].get<std::string>();
    Control* c = Find(id);
    if (!c) {
        error = "no control " + std::to_string(id) + " on this page";
        return false;
    }
    if (!c->enabled) {
        error = "control " + std::to_string(id) + " is disabled";
        return false;
    }
    const VKControlKind kind = c->def->kind;
    if (what == "change" && IsTextKind(kind)) {
        if (!event.contains("value") || !event["value"].is_string() ||
            event["value"].get_ref<const std::string&>().size() > kMaxFieldBytes) {
            error = "a text of at most 1024 bytes is needed";
            return false;
        }
        c->text = Utf8ToAnsi(event["value"].get<std::string>());
        code = VKN_CHANGE;
        return true;
    }
    if (what == "click" && kind == VKControlKind::kCheck) {
        c->checked = !c->checked;
        code = VKN_CLICKED;
        return true;
    }
    if (what == "click" && kind == VKControlKind::kRadio) {
        for (auto& [otherId, other] : m_controls)
            if (other.def->kind == VKControlKind::kRadio && std::string(other.def->group) == c->def->group)
                other.checked = otherId == id;
        code = VKN_CLICKED;
        return true;
    }
    if (what == "click" && kind == VKControlKind::kButton) {
        code = VKN_CLICKED;
        return true;
    }
    if (what == "select" && kind == VKControlKind::kCombo && event.contains("selected") &&
        event["selected"].is_number_integer()) {
        SetCurSel(id, event["selected"].get<int>());
        code = VKN_SELCHANGE;
        return true;
    }
    if (what == "select" && kind == VKControlKind::kList && event.contains("selected") &&
        event["selected"].is_array()) {
        std::vector<bool> selected(c->items.size(), false);
        for (const auto& row : event["selected"]) {
            if (!row.is_number_integer() || row.get<long long>() < 0 ||
                row.get<long long>() >= static_cast<long long>(selected.size())) {
                error = "a selected row is out of range";
                return false;
            }
            selected[static_cast<size_t>(row.get<long long>())] = true;
        }
        c->selected = selected;
        code = VKN_SELCHANGE;
        return true;
    }
    error = "event '" + what + "' does not fit control " + std::to_string(id);
    return false;
}
