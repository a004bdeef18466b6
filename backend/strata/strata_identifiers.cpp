#include "backend/strata/strata_identifiers.h"

#include <cctype>

namespace {

// The characters of `text` that can make a standard number (digits, X), hyphens and blanks
// skipped, up to the first other character after some were found.
std::string NumberRun(const std::string& text) {
    std::string run;
    for (const char c : text) {
        if (isdigit(static_cast<unsigned char>(c)) || c == 'X' || c == 'x') {
            run.push_back(char(tolower(static_cast<unsigned char>(c))));
        } else if (c != '-' && c != ' ' && !run.empty()) {
            break;
        }
    }
    return run;
}

char Isbn10Check(const std::string& nine) {
    int sum = 0;
    for (size_t i = 0; i < 9; ++i) sum += (10 - int(i)) * (nine[i] - '0');
    const int check = (11 - sum % 11) % 11;
    return check == 10 ? 'x' : char('0' + check);
}

char Isbn13Check(const std::string& twelve) {
    int sum = 0;
    for (size_t i = 0; i < 12; ++i) sum += (i % 2 ? 3 : 1) * (twelve[i] - '0');
    return char('0' + (10 - sum % 10) % 10);
}

bool AllDigits(const std::string& s, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (!isdigit(static_cast<unsigned char>(s[i]))) return false;
    return true;
}

void IsbnForms(const std::string& run, std::vector<std::string>& forms) {
    if (run.size() == 10 && AllDigits(run, 9)) {
        forms.push_back(run);
        const std::string twelve = "978" + run.substr(0, 9);
        forms.push_back(twelve + Isbn13Check(twelve));
    } else if (run.size() == 13 && AllDigits(run, 13)) {
        forms.push_back(run);
        if (run.compare(0, 3, "978") == 0) forms.push_back(run.substr(3, 9) + Isbn10Check(run.substr(3, 9)));
    } else if (!run.empty()) {
        forms.push_back(run);
    }
}

std::string Lccn(const std::string& text) {
    std::string s;
    for (const char c : text) {
        if (c == '/') break;
        if (c != ' ') s.push_back(char(tolower(static_cast<unsigned char>(c))));
    }
    const size_t hyphen = s.find('-');
    if (hyphen == std::string::npos) return s;
    std::string tail = s.substr(hyphen + 1);
    if (tail.empty() || !AllDigits(tail, tail.size()) || tail.size() > 6) return s.substr(0, hyphen) + tail;
    return s.substr(0, hyphen) + std::string(6 - tail.size(), '0') + tail;
}

}  // namespace

void StrataIdentifierForms(CKeyType type, const std::string& utf8, std::vector<std::string>& forms) {
    if (type == CKeyType::kIsbn) {
        IsbnForms(NumberRun(utf8), forms);
    } else if (type == CKeyType::kIssn) {
        const std::string run = NumberRun(utf8);
        if (!run.empty()) forms.push_back(run);
    } else if (type == CKeyType::kLccn) {
        const std::string lccn = Lccn(utf8);
        if (!lccn.empty()) forms.push_back(lccn);
    }
}

std::string StrataIdentifierTerm(CKeyType type, const std::string& utf8) {
    std::string text = utf8;
    std::string mark;
    while (!text.empty() && (text.back() == '*' || text.back() == '?' || text.back() == ' ')) {
        if (text.back() != ' ' && mark.empty()) mark = text.back();
        text.pop_back();
    }
    std::string form = type == CKeyType::kLccn ? Lccn(text) : NumberRun(text);
    return form.empty() ? utf8 : form + mark;
}

std::string StrataNumberToken(uint64_t number) {
    const std::string digits = std::to_string(number);
    return char('a' + digits.size() - 1) + digits;
}

void StrataNumbersIn(const std::string& text, std::vector<uint64_t>& numbers) {
    for (size_t i = 0; i < text.size();) {
        if (!isdigit(static_cast<unsigned char>(text[i]))) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < text.size() && isdigit(static_cast<unsigned char>(text[j]))) ++j;
        size_t start = i;
        while (start + 1 < j && text[start] == '0') ++start;  // leading zeros
        if (j - start <= 18) numbers.push_back(std::stoull(text.substr(start, j - start)));
        i = j;
    }
}
