// Line breaking at path separators and spaces (see textwrap.h).
#include "setup/tui/textwrap.h"

#include <cwchar>

int ColumnWidth(wchar_t c) {
    const int w = wcwidth(c);
    return w < 0 ? 1 : w;
}

namespace {

int Columns(const std::wstring& text) {
    int used = 0;
    for (wchar_t c : text)
        used += ColumnWidth(c);
    return used;
}

}  // namespace

std::vector<std::wstring> WrapText(const std::wstring& text, int width) {
    std::vector<std::wstring> lines(1);
    int used = 0;
    for (wchar_t c : text) {
        if (c == L'\n') {
            lines.emplace_back();
            used = 0;
            continue;
        }
        if (used + ColumnWidth(c) > width && used > 0) {
            std::wstring& full = lines.back();
            const size_t cut = full.find_last_of(L"/ ");
            std::wstring tail;
            // Only a short tail moves: a separator early in the line (the space after "- " in
            // Chinese text) would leave the line mostly empty.
            if (cut != std::wstring::npos && cut + 1 < full.size() &&
                Columns(full.substr(cut + 1)) <= width / 3) {
                tail = full.substr(cut + 1);
                full.resize(cut + 1);
            }
            lines.push_back(tail);
            used = Columns(tail);
        }
        lines.back() += c;
        used += ColumnWidth(c);
    }
    return lines;
}
