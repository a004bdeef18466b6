#pragma once
// Line breaking for the terminal wizard: text is cut into lines of at most a given number of
// columns (CJK characters take two), preferably after a "/" or a space near the end of the line,
// so that a long path breaks between its folders rather than inside a file name.
// Thread safety: pure functions; the column widths follow the current locale (LC_CTYPE).

#include <string>
#include <vector>

// Columns `c` takes on the terminal (1 for what the locale does not know).
int ColumnWidth(wchar_t c);

// `text` in lines of at most `width` columns: at its own line breaks, and where a line is full,
// after its last "/" or space when what follows it takes at most a third of the width, else at
// the full width.
std::vector<std::wstring> WrapText(const std::wstring& text, int width);
