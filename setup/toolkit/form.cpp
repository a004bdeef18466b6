// Forms and the process's dialog host (see form.h).
#include "setup/toolkit/form.h"

#include <cctype>

namespace {
CDialogHost* g_host = nullptr;
}

CControl& CForm::Add(EControl kind, int id, std::string text, int group) {
    CControl c;
    c.id = id;
    c.kind = kind;
    c.text = std::move(text);
    c.group = group;
    m_controls.push_back(std::move(c));
    return m_controls.back();
}

CControl* CForm::Item(int id) {
    for (CControl& c : m_controls)
        if (c.id == id && id != 0)
            return &c;
    return nullptr;
}

const CControl* CForm::Item(int id) const {
    return const_cast<CForm*>(this)->Item(id);
}

std::string CForm::GetItemText(int id) const {
    const CControl* c = Item(id);
    if (!c)
        return "";
    return c->kind == EControl::Edit ? c->value : c->text;
}

void CForm::SetItemText(int id, const std::string& text) {
    if (CControl* c = Item(id))
        (c->kind == EControl::Edit ? c->value : c->text) = text;
}

bool CForm::IsChecked(int id) const {
    const CControl* c = Item(id);
    return c && c->checked;
}

void CForm::CheckRadio(int id) {
    CControl* target = Item(id);
    if (!target)
        return;
    if (target->kind == EControl::Radio) {
        for (CControl& c : m_controls)
            if (c.kind == EControl::Radio && c.group == target->group)
                c.checked = false;
    }
    target->checked = true;
}

void CForm::EnableItem(int id, bool enable) {
    if (CControl* c = Item(id))
        c->enabled = enable;
}

void CForm::ShowItem(int id, bool show) {
    if (CControl* c = Item(id))
        c->visible = show;
}

void CForm::SetPercent(int id, int percent) {
    if (CControl* c = Item(id))
        c->percent = percent < 0 ? 0 : percent > 100 ? 100 : percent;
}

void SetDialogHost(CDialogHost* host) {
    g_host = host;
}

CDialogHost* GetDialogHost() {
    return g_host;
}

int ShowMessage(const std::string& text, unsigned type) {
    if (g_host)
        return g_host->MessageBox(text, type);
    if ((type & VKMB_YESNO) == 0)
        return VKID_OK;
    return (type & VKMB_DEFBUTTON2) ? VKID_NO : VKID_YES;
}

std::string StripAccelerator(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '&' && i + 1 < text.size()) {
            out += text[++i];  // "&&" is a literal "&"
            continue;
        }
        out += text[i];
    }
    return out;
}

char AcceleratorOf(const std::string& text) {
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] == '&') {
            if (text[i + 1] == '&') {
                ++i;
                continue;
            }
            return static_cast<char>(std::tolower(static_cast<unsigned char>(text[i + 1])));
        }
    }
    return 0;
}
