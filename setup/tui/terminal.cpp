// The ncursesw front-end of the setup program (see terminal.h).
#include "setup/tui/terminal.h"
#include "setup/tui/textwrap.h"

#include <curses.h>
#include <unistd.h>

#include <cctype>
#include <clocale>
#include <cstring>
#include <cwchar>
#include <langinfo.h>
#include <memory>
#include <vector>

namespace {

constexpr int kEsc = 27;

// Focus targets that are not controls of the form.
enum EVirtualButton { kBack = -1, kNext = -2, kFinish = -3, kCancel = -4, kOk = -5 };

std::wstring Wide(const std::string& text) {
    std::wstring out;
    std::mbstate_t state{};
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
        wchar_t wc = 0;
        const size_t n = std::mbrtowc(&wc, p, static_cast<size_t>(end - p), &state);
        if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) {
            out += L'?';
            ++p;
            state = {};
            continue;
        }
        out += wc;
        p += n == 0 ? 1 : n;
    }
    return out;
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    std::mbstate_t state{};
    char buffer[MB_LEN_MAX];
    for (wchar_t wc : text) {
        const size_t n = std::wcrtomb(buffer, wc, &state);
        if (n != static_cast<size_t>(-1))
            out.append(buffer, n);
    }
    return out;
}

int Width(wchar_t c) { return ColumnWidth(c); }

std::vector<std::wstring> Wrap(const std::string& text, int width) { return WrapText(Wide(text), width); }

void Put(int y, int x, const std::wstring& text, int maxWidth) {
    std::wstring clipped;
    int used = 0;
    for (wchar_t c : text) {
        if (used + Width(c) > maxWidth)
            break;
        clipped += c;
        used += Width(c);
    }
    mvaddwstr(y, x, clipped.c_str());
}

bool Focusable(const CControl& c) {
    return c.visible && c.enabled &&
           (c.kind == EControl::Edit || c.kind == EControl::Radio || c.kind == EControl::Check ||
            c.kind == EControl::Button);
}

// One screen of a form: its controls, a row of buttons, the focus.
class CScreen {
public:
    CScreen(CForm& form, std::string heading) : m_form(form), m_heading(std::move(heading)) {}

    std::vector<int> m_buttons;  // virtual buttons shown at the bottom
    std::vector<int> m_enabledButtons;
    int m_focus = 0;             // index into Targets()

    // Control indexes, then the enabled bottom buttons.
    std::vector<int> Targets() const {
        std::vector<int> t;
        const auto& controls = m_form.Controls();
        for (size_t i = 0; i < controls.size(); ++i)
            if (Focusable(controls[i]))
                t.push_back(static_cast<int>(i));
        for (int b : m_enabledButtons)
            t.push_back(b);
        return t;
    }
    int FocusTarget() const {
        const auto t = Targets();
        return t.empty() ? kCancel : t[static_cast<size_t>(m_focus) % t.size()];
    }
    void Move(int delta) {
        const int n = static_cast<int>(Targets().size());
        if (n > 0)
            m_focus = ((m_focus + delta) % n + n) % n;
    }
    void FocusControl(int id) {
        const auto t = Targets();
        for (size_t i = 0; i < t.size(); ++i)
            if (t[i] >= 0 && m_form.Controls()[static_cast<size_t>(t[i])].id == id)
                m_focus = static_cast<int>(i);
    }
    // The first control, or the default button (Next, Finish, OK) on a form without controls.
    void FocusFirst() {
        m_focus = 0;
        const auto t = Targets();
        if (!t.empty() && t[0] < 0)
            for (size_t i = 0; i < t.size(); ++i)
                if (t[i] == kNext || t[i] == kFinish || t[i] == kOk)
                    m_focus = static_cast<int>(i);
        if (m_form.m_focusRequest) {
            FocusControl(m_form.m_focusRequest);
            m_form.m_focusRequest = 0;
        }
    }

    void Draw(const std::string& waiting) const;

private:
    static std::wstring ButtonText(int b) {
        switch (b) {
            case kBack: return L"< 上一步 >";
            case kNext: return L"< 下一步 >";
            case kFinish: return L"< 完成 >";
            case kOk: return L"< 确定 >";
            default: return L"< 取消 >";
        }
    }

    CForm& m_form;
    std::string m_heading;
};

void CScreen::Draw(const std::string& waiting) const {
    erase();
    const int width = COLS - 4;
    attron(A_REVERSE);
    mvhline(0, 0, ' ', COLS);
    Put(0, 1, Wide(m_heading), COLS - 2);
    attroff(A_REVERSE);
    attron(A_BOLD);
    Put(1, 2, Wide(m_form.Title()), width);
    attroff(A_BOLD);
    const int focus = FocusTarget();
    int y = 3;
    int cursorY = -1, cursorX = -1;
    const auto& controls = m_form.Controls();
    for (size_t i = 0; i < controls.size() && y < LINES - 4; ++i) {
        const CControl& c = controls[i];
        if (!c.visible)
            continue;
        const bool focused = focus == static_cast<int>(i);
        const attr_t attr = (c.enabled ? A_NORMAL : A_DIM) | (focused ? A_REVERSE : A_NORMAL);
        const std::string caption = StripAccelerator(c.text);
        attron(attr);
        switch (c.kind) {
            case EControl::Label:
            case EControl::Text:
                for (const std::wstring& line : Wrap(caption, width - (c.kind == EControl::Text ? 2 : 0)))
                    Put(y++, c.kind == EControl::Text ? 4 : 2, line, width);
                break;
            case EControl::Group:
                ++y;
                Put(y++, 2, L"── " + Wide(caption) + L" ──", width);
                break;
            case EControl::Edit: {
                const int field = width < 64 ? width - 2 : 62;
                std::wstring value = Wide(c.value);
                int used = 0;
                for (wchar_t ch : value)
                    used += Width(ch);
                while (used > field - 1 && !value.empty()) {  // show the end of a long value
                    used -= Width(value.front());
                    value.erase(0, 1);
                }
                attroff(attr);
                mvaddstr(y, 2, "[");
                attron(attr | A_UNDERLINE);
                Put(y, 3, value + std::wstring(static_cast<size_t>(field - used), L' '), field);
                attroff(A_UNDERLINE);
                attroff(attr);
                mvaddstr(y, 3 + field, "]");
                if (focused)
                    cursorY = y, cursorX = 3 + used;
                ++y;
                break;
            }
            case EControl::Radio:
                Put(y++, 2, (c.checked ? L"(*) " : L"( ) ") + Wide(caption), width);
                break;
            case EControl::Check:
                Put(y++, 2, (c.checked ? L"[x] " : L"[ ] ") + Wide(caption), width);
                break;
            case EControl::Button:
                Put(y++, 2, L"< " + Wide(caption) + L" >", width);
                break;
            case EControl::Progress: {
                const int bar = width - 10;
                const int done = bar * c.percent / 100;
                Put(y++, 2, L"[" + std::wstring(static_cast<size_t>(done), L'#') +
                                std::wstring(static_cast<size_t>(bar - done), L'.') + L"] " +
                                std::to_wstring(c.percent) + L"%", width);
                break;
            }
        }
        attroff(attr);
    }
    if (!waiting.empty()) {
        attron(A_BOLD | A_REVERSE);
        Put(LINES - 4, 2, Wide(" " + waiting + " "), width);
        attroff(A_BOLD | A_REVERSE);
    }
    mvhline(LINES - 3, 0, ACS_HLINE, COLS);
    int x = 2;
    for (int b : m_buttons) {
        bool enabled = false;
        for (int e : m_enabledButtons)
            enabled = enabled || e == b;
        const attr_t attr = (enabled ? A_NORMAL : A_DIM) | (focus == b ? A_REVERSE : A_NORMAL);
        attron(attr);
        Put(LINES - 2, x, ButtonText(b), COLS - x);
        attroff(attr);
        for (wchar_t ch : ButtonText(b))
            x += Width(ch);
        x += 2;
    }
    attron(A_DIM);
    Put(LINES - 1, 1, L"Tab 切换  空格 选择  Enter 确认  PgDn 下一步  PgUp 上一步  Esc 取消", COLS - 2);
    attroff(A_DIM);
    if (cursorY >= 0) {
        curs_set(1);
        move(cursorY, cursorX);
    } else {
        curs_set(0);
    }
    refresh();
}

enum class EKey { None, Char, Tab, BackTab, Enter, Space, Backspace, Clear, Esc, Alt, Next, Back, Resize };

struct CKey {
    EKey kind = EKey::None;
    wchar_t ch = 0;
};

CKey ReadKey() {
    wint_t wc = 0;
    const int rc = get_wch(&wc);
    if (rc == ERR)
        return {};
    if (rc == KEY_CODE_YES) {
        switch (wc) {
            case KEY_BTAB: case KEY_UP: case KEY_LEFT: return {EKey::BackTab};
            case KEY_DOWN: case KEY_RIGHT: return {EKey::Tab};
            case KEY_ENTER: return {EKey::Enter};
            case KEY_BACKSPACE: case KEY_DC: return {EKey::Backspace};
            case KEY_NPAGE: return {EKey::Next};
            case KEY_PPAGE: return {EKey::Back};
            case KEY_RESIZE: return {EKey::Resize};
            default: return {};
        }
    }
    switch (wc) {
        case L'\t': return {EKey::Tab};
        case L'\n': case L'\r': return {EKey::Enter};
        case L' ': return {EKey::Space, L' '};
        case 127: case 8: return {EKey::Backspace};
        case 21: return {EKey::Clear};  // Ctrl-U
        case kEsc: {
            timeout(60);
            wint_t next = 0;
            const int more = get_wch(&next);
            timeout(-1);
            if (more == OK && next != kEsc)
                return {EKey::Alt, static_cast<wchar_t>(std::tolower(static_cast<int>(next)))};
            return {EKey::Esc};
        }
        default:
            return wc >= 32 ? CKey{EKey::Char, static_cast<wchar_t>(wc)} : CKey{};
    }
}

// Applies a key to the focused control. True when the key was used.
bool HandleControlKey(CScreen& screen, CForm& form, const CKey& key) {
    const int target = screen.FocusTarget();
    if (target < 0)
        return false;
    CControl& c = form.Controls()[static_cast<size_t>(target)];
    if (c.kind == EControl::Edit) {
        if (key.kind == EKey::Char || key.kind == EKey::Space) {
            if (c.value.size() < 1024)
                c.value += Narrow(std::wstring(1, key.ch));
            return true;
        }
        if (key.kind == EKey::Clear) {
            c.value.clear();
            return true;
        }
        if (key.kind == EKey::Backspace) {
            std::wstring w = Wide(c.value);
            if (!w.empty())
                w.pop_back();
            c.value = Narrow(w);
            return true;
        }
        return false;
    }
    if (key.kind == EKey::Space || (key.kind == EKey::Enter && c.kind == EControl::Button)) {
        if (c.kind == EControl::Radio)
            form.CheckRadio(c.id);
        else if (c.kind == EControl::Check)
            c.checked = !c.checked;
        const int id = c.id;  // the handler may change the control list
        form.OnCommand(id);
        screen.FocusControl(id);
        return true;
    }
    return false;
}

// Alt+letter: the control whose caption marks that letter. True when one was found.
bool HandleAccelerator(CScreen& screen, CForm& form, wchar_t letter) {
    auto& controls = form.Controls();
    for (size_t i = 0; i < controls.size(); ++i) {
        CControl& c = controls[i];
        if (!c.visible || !c.enabled || static_cast<wchar_t>(AcceleratorOf(c.text)) != letter || letter == 0)
            continue;
        if (c.kind == EControl::Label) {  // a label moves to the field after it
            for (size_t j = i + 1; j < controls.size(); ++j)
                if (Focusable(controls[j])) {
                    screen.FocusControl(controls[j].id);
                    return true;
                }
            return false;
        }
        if (!Focusable(c))
            return false;
        screen.FocusControl(c.id);
        if (c.kind != EControl::Edit)
            HandleControlKey(screen, form, {EKey::Space, L' '});
        return true;
    }
    return false;
}

}  // namespace

CTerminalHost::CTerminalHost() {
    std::setlocale(LC_ALL, "");
    if (std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0)
        std::setlocale(LC_CTYPE, "C.UTF-8");  // the texts are UTF-8 whatever the caller's locale
    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO))
        return;
    set_escdelay(60);
    if (!initscr())
        return;
    m_ready = true;
    cbreak();
    noecho();
    nonl();
    keypad(stdscr, TRUE);
}

CTerminalHost::~CTerminalHost() {
    if (m_ready)
        endwin();
}

void CTerminalHost::RunWizard(CSheetSetup& sheet) {
    sheet.Start();
    size_t shown = static_cast<size_t>(-1), fresh = shown;
    unsigned lastButtons = 0;
    CScreen* screen = nullptr;
    std::unique_ptr<CScreen> holder;
    while (sheet.State() == CSheetSetup::EState::Running) {
        if (shown != sheet.CurrentIndex()) {
            shown = sheet.CurrentIndex();
            holder = std::make_unique<CScreen>(sheet.Current(), sheet.Title() + "  (" +
                                                                    std::to_string(shown + 1) + "/" +
                                                                    std::to_string(sheet.PageCount()) + ")");
            screen = holder.get();
        }
        CWizardPage& page = sheet.Current();
        const unsigned b = sheet.Buttons();
        // A page without a way back (the first one, those after the copy) shows no 上一步.
        screen->m_buttons = {(b & PSWIZB_FINISH) ? kFinish : kNext, kCancel};
        if (b & PSWIZB_BACK)
            screen->m_buttons.insert(screen->m_buttons.begin(), kBack);
        screen->m_enabledButtons.clear();
        if (b & PSWIZB_BACK)
            screen->m_enabledButtons.push_back(kBack);
        if (b & (PSWIZB_NEXT | PSWIZB_FINISH))
            screen->m_enabledButtons.push_back((b & PSWIZB_FINISH) ? kFinish : kNext);
        screen->m_enabledButtons.push_back(kCancel);
        if (fresh != shown || (b != lastButtons && screen->FocusTarget() < 0)) {
            fresh = shown;
            screen->FocusFirst();
        }
        lastButtons = b;
        m_redraw = [this, screen] { screen->Draw(m_waiting); };
        const bool working = page.OnWork();  // long work: one step, then a redraw
        m_redraw();
        if (working || sheet.Buttons() != b)
            continue;
        if (page.m_focusRequest) {
            screen->FocusFirst();
            continue;
        }
        const CKey key = ReadKey();
        int action = 0;
        if (key.kind == EKey::Resize || key.kind == EKey::None)
            continue;
        if (key.kind == EKey::Tab) {
            screen->Move(1);
        } else if (key.kind == EKey::BackTab) {
            screen->Move(-1);
        } else if (key.kind == EKey::Next) {
            action = (b & PSWIZB_FINISH) ? kFinish : kNext;
        } else if (key.kind == EKey::Back) {
            action = kBack;
        } else if (key.kind == EKey::Esc) {
            action = kCancel;
        } else if (key.kind == EKey::Alt) {
            HandleAccelerator(*screen, page, key.ch);
        } else if (!HandleControlKey(*screen, page, key) && (key.kind == EKey::Enter || key.kind == EKey::Space)) {
            const int target = screen->FocusTarget();
            action = target < 0 ? target : key.kind == EKey::Enter ? ((b & PSWIZB_FINISH) ? kFinish : kNext) : 0;
        }
        switch (action) {
            case kNext: sheet.Next(); break;
            case kBack: sheet.Back(); break;
            case kFinish: sheet.Finish(); break;
            case kCancel:
                if (MessageBox("确实要退出安装程序吗?", VKMB_YESNO | VKMB_ICONQUESTION | VKMB_DEFBUTTON2) == VKID_YES)
                    sheet.Cancel();
                break;
            default: break;
        }
        if (action != 0 && shown == sheet.CurrentIndex() && sheet.Current().m_focusRequest)
            screen->FocusFirst();
    }
    m_redraw = nullptr;
}

int CTerminalHost::MessageBox(const std::string& text, unsigned type) {
    const bool yesNo = (type & VKMB_YESNO) != 0;
    if (!m_ready)
        return yesNo ? ((type & VKMB_DEFBUTTON2) ? VKID_NO : VKID_YES) : VKID_OK;
    const int width = COLS - 8 < 76 ? COLS - 8 : 76;
    const std::vector<std::wstring> lines = Wrap(text, width - 4);
    const int height = static_cast<int>(lines.size()) + 5 < LINES - 2 ? static_cast<int>(lines.size()) + 5 : LINES - 2;
    const int top = (LINES - height) / 2, left = (COLS - width) / 2;
    int focus = yesNo && (type & VKMB_DEFBUTTON2) ? 1 : 0;
    const std::vector<std::wstring> buttons = yesNo ? std::vector<std::wstring>{L"< 是(Y) >", L"< 否(N) >"}
                                                    : std::vector<std::wstring>{L"< 确定 >"};
    for (;;) {
        if (m_redraw)
            m_redraw();
        for (int y = top; y < top + height; ++y)
            mvhline(y, left, ' ', width);
        attron(A_BOLD);
        mvaddch(top, left, ACS_ULCORNER);
        mvhline(top, left + 1, ACS_HLINE, width - 2);
        mvaddch(top, left + width - 1, ACS_URCORNER);
        mvaddch(top + height - 1, left, ACS_LLCORNER);
        mvhline(top + height - 1, left + 1, ACS_HLINE, width - 2);
        mvaddch(top + height - 1, left + width - 1, ACS_LRCORNER);
        mvvline(top + 1, left, ACS_VLINE, height - 2);
        mvvline(top + 1, left + width - 1, ACS_VLINE, height - 2);
        Put(top, left + 2, (type & VKMB_ICONQUESTION) == VKMB_ICONQUESTION && yesNo ? L" 请确认 " : L" 提示 ", width - 4);
        attroff(A_BOLD);
        for (size_t i = 0; i < lines.size() && static_cast<int>(i) < height - 4; ++i)
            Put(top + 1 + static_cast<int>(i), left + 2, lines[i], width - 4);
        int x = left + 2;
        for (size_t i = 0; i < buttons.size(); ++i) {
            if (static_cast<int>(i) == focus)
                attron(A_REVERSE);
            Put(top + height - 2, x, buttons[i], width - 4);
            attroff(A_REVERSE);
            x += 14;
        }
        curs_set(0);
        refresh();
        const CKey key = ReadKey();
        if (key.kind == EKey::Tab || key.kind == EKey::BackTab)
            focus = yesNo ? 1 - focus : 0;
        else if (key.kind == EKey::Enter || key.kind == EKey::Space)
            return yesNo ? (focus == 0 ? VKID_YES : VKID_NO) : VKID_OK;
        else if (key.kind == EKey::Esc)
            return yesNo ? VKID_NO : VKID_OK;
        else if (yesNo && (key.kind == EKey::Char || key.kind == EKey::Alt) && (key.ch == L'y' || key.ch == L'Y'))
            return VKID_YES;
        else if (yesNo && (key.kind == EKey::Char || key.kind == EKey::Alt) && (key.ch == L'n' || key.ch == L'N'))
            return VKID_NO;
    }
}

void CTerminalHost::ShowWaiting(const std::string& text) {
    m_waiting = text;
    Refresh();
}

void CTerminalHost::HideWaiting() {
    m_waiting.clear();
    Refresh();
}

void CTerminalHost::Refresh() {
    if (m_ready && m_redraw)
        m_redraw();
}

int CTerminalHost::RunForm(CDialogForm& form) {
    if (!m_ready)
        return -1;
    CScreen screen(form, "Strata 客户端配置");
    screen.m_buttons = {kOk, kCancel};
    screen.m_enabledButtons = screen.m_buttons;
    screen.FocusFirst();
    auto outer = m_redraw;
    m_redraw = [this, &screen] { screen.Draw(m_waiting); };
    int result = 0;
    while (result == 0) {
        m_redraw();
        const CKey key = ReadKey();
        int action = 0;
        if (key.kind == EKey::Tab)
            screen.Move(1);
        else if (key.kind == EKey::BackTab)
            screen.Move(-1);
        else if (key.kind == EKey::Esc)
            action = kCancel;
        else if (key.kind == EKey::Alt)
            HandleAccelerator(screen, form, key.ch);
        else if (!HandleControlKey(screen, form, key) && (key.kind == EKey::Enter || key.kind == EKey::Space))
            action = screen.FocusTarget() < 0 ? screen.FocusTarget() : key.kind == EKey::Enter ? kOk : 0;
        if (action == kOk && form.OnOK())
            result = VKID_OK;
        else if (action == kCancel)
            result = VKID_CANCEL;
    }
    m_redraw = outer;
    return result;
}
