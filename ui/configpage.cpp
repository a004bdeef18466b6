// CConfigPage: page creation, the shared number exchange and messages (see configpage.h).
#include "ui/configpage.h"

#include <cerrno>
#include <cstdlib>

#include "berkit/codepage.h"
#include "ui/sheetconfig.h"
#include "ui/toolkit/messagebox.h"

void CConfigPage::Create(CSheetConfig* sheet, IDialog* dialog) {
    m_sheet = sheet;
    m_dlg = dialog;
    OnInitDialog();
}

void CConfigPage::OnControl(int /*id*/, int /*code*/) { m_dlg->SetModified(true); }

CTunnelArray* CConfigPage::GetMedi() const { return m_sheet ? m_sheet->GetMedi() : nullptr; }

void CConfigPage::SetNeedRestart() {
    if (m_sheet)
        m_sheet->SetNeedRestart(1);
}

bool CConfigPage::GetNumber(int id, long long minimum, long long maximum, long long& value) {
    const std::string text = m_dlg->GetText(id);
    size_t start = text.find_first_not_of(' ');
    size_t end = text.find_last_not_of(' ');
    const std::string trimmed = start == std::string::npos ? "" : text.substr(start, end - start + 1);
    char* stop = nullptr;
    errno = 0;
    const long long v = std::strtoll(trimmed.c_str(), &stop, 10);
    if (trimmed.empty() || *stop != '\0' || errno == ERANGE || v < minimum || v > maximum) {
        Message(minimum < 0 ? "请输入一个整数。" : "请输入一个正整数。", VKMB_OK | VKMB_ICONWARNING);
        ShowThisPage();  // the refused field is on this page, whichever page Apply started on
        return false;
    }
    value = v;
    return true;
}

bool CConfigPage::GetInt(int id, int& value) {
    long long v = 0;
    if (!GetNumber(id, -2147483648LL, 2147483647LL, v))
        return false;
    value = static_cast<int>(v);
    return true;
}

bool CConfigPage::GetUnsigned(int id, unsigned& value) {
    long long v = 0;
    if (!GetNumber(id, 0, 4294967295LL, v))
        return false;
    value = static_cast<unsigned>(v);
    return true;
}

void CConfigPage::ShowThisPage() {
    if (!m_sheet)
        return;
    for (int i = 0; i < m_sheet->GetPageCount(); ++i)
        if (m_sheet->GetPage(i) == this)
            m_sheet->SetActivePage(i);
}

int CConfigPage::Message(const char* utf8Text, unsigned style) {
    const std::string caption = m_sheet ? m_sheet->GetCaption() : std::string();
    return m_dlg->MessageBox(OperatorText(utf8Text), caption, style);
}

void CConfigPage::EnableAll(std::initializer_list<int> ids, bool enabled) {
    for (int id : ids)
        m_dlg->Enable(id, enabled);
}
