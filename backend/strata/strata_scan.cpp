// Scan start points and scan answer lines (strata_scan.h).
#include "backend/strata/strata_scan.h"

#include <vector>

std::string StrataScanStart(const std::string& utf8, TextFolding folding) {
    std::vector<TextUnit> units;
    SplitUnits(utf8, units, folding);
    std::string start;
    for (size_t i = 0; i < units.size(); ++i) {
        if (i > 0 && !units[i].m_cjk && !units[i - 1].m_cjk)
            start += ' ';
        start += units[i].m_text;
    }
    return start;
}

std::string StrataScanLine(const StrataTermCount& term) {
    return std::to_string(term.m_count) + '\t' + term.m_term;
}

bool StrataParseScanLine(std::string_view line, StrataTermCount& term) {
    const size_t tab = line.find('\t');
    if (tab == 0 || tab == std::string_view::npos || tab > 18 || tab + 1 == line.size())
        return false;
    int64_t count = 0;
    for (size_t i = 0; i < tab; ++i) {
        if (line[i] < '0' || line[i] > '9')
            return false;
        count = count * 10 + (line[i] - '0');
    }
    term.m_count = count;
    term.m_term.assign(line.substr(tab + 1));
    return true;
}
