// Sort keys of a record (sortkeys.h): the fields each key reads, as tables, and the folding.
#include "server/sortkeys.h"

#include <string_view>
#include <vector>

#include "backend/marc/marcrecord.h"
#include "backend/strata/strata_text.h"
#include "berkit/codepage.h"

namespace {

// One place a key is read from: the subfields `codes` of the first field `tag`, or, with
// `position` set, four characters of a fixed-length field (a control field, or the first
// subfield `codes` of a coded-data field) from that position.
struct KeySource {
    const char* tag;
    const char* codes;
    int position = -1;
};

const KeySource kMarc21Title[] = {{"245", "ab"}};
const KeySource kMarc21Author[] = {{"100", "a"}, {"110", "ab"}, {"111", "a"}, {"700", "a"}};
const KeySource kMarc21Date[] = {{"008", "", 7}, {"260", "c"}, {"264", "c"}};
const KeySource kUnimarcTitle[] = {{"200", "a"}};
const KeySource kUnimarcAuthor[] = {{"700", "ab"}, {"701", "ab"}};
const KeySource kUnimarcDate[] = {{"100", "a", 9}, {"210", "d"}};

struct KeyRule {
    CSortKeyKind kind;
    CMarcFormat format;
    const KeySource* first;
    const KeySource* last;
};

template <size_t N>
constexpr KeyRule Rule(CSortKeyKind kind, CMarcFormat format, const KeySource (&sources)[N]) {
    return {kind, format, sources, sources + N};
}

const KeyRule kRules[] = {
    Rule(CSortKeyKind::kTitle, CMarcFormat::kMarc21, kMarc21Title),
    Rule(CSortKeyKind::kAuthor, CMarcFormat::kMarc21, kMarc21Author),
    Rule(CSortKeyKind::kDate, CMarcFormat::kMarc21, kMarc21Date),
    Rule(CSortKeyKind::kTitle, CMarcFormat::kUnimarc, kUnimarcTitle),
    Rule(CSortKeyKind::kAuthor, CMarcFormat::kUnimarc, kUnimarcAuthor),
    Rule(CSortKeyKind::kDate, CMarcFormat::kUnimarc, kUnimarcDate),
};

const struct {
    long use;
    CSortKeyKind kind;
} kUses[] = {{4, CSortKeyKind::kTitle}, {1003, CSortKeyKind::kAuthor}, {31, CSortKeyKind::kDate}};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The first run of four digits in `text`; "" when there is none.
std::string FourDigits(const std::string& text) {
    for (size_t i = 0, run = 0; i < text.size(); ++i) {
        run = IsDigit(text[i]) ? run + 1 : 0;
        if (run == 4)
            return text.substr(i - 3, 4);
    }
    return std::string();
}

// `text` without the part between each U+0098 and the next U+009C.
std::string WithoutNonSortPart(const std::string& text) {
    std::string out;
    for (size_t begin = 0;;) {
        const size_t start = text.find("\xC2\x98", begin);
        out.append(text, begin, start == std::string::npos ? std::string::npos : start - begin);
        if (start == std::string::npos)
            return out;
        const size_t end = text.find("\xC2\x9C", start + 2);
        if (end == std::string::npos)
            return out;
        begin = end + 2;
    }
}

// `text` without its first `count` characters (UTF-8).
std::string SkipCharacters(const std::string& text, int count) {
    size_t i = 0;
    for (; i < text.size() && count > 0; --count)
        do
            ++i;
        while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80);
    return text.substr(i);
}

std::string ToUtf8(const std::string& text, const std::string& tag, CMarcFormat format) {
    if (IsAscii(text) || !IsTextTag(tag, format))
        return text;
    std::string utf8 = AnsiToUtf8(text);
    return utf8.empty() ? text : utf8;
}

// The data of the first field `tag` of Diriv text (without its 0x1E); false when there is none.
// Fields are scanned in place: a sort reads one or two fields of every record of the set.
bool FindField(std::string_view diriv, std::string_view tag, std::string_view& data) {
    for (size_t at = kMarcLeaderSize; at + 3 <= diriv.size() && diriv[at] != kMarcRecordEnd;) {
        const size_t end = diriv.find(kMarcFieldEnd, at + 3);
        if (end == std::string_view::npos)
            return false;
        if (diriv.substr(at, 3) == tag) {
            data = diriv.substr(at + 3, end - at - 3);
            return true;
        }
        at = end + 1;
    }
    return false;
}

// The subfields `codes` of a data field's octets, joined by spaces.
std::string Subfields(std::string_view data, std::string_view codes) {
    std::string text;
    for (size_t at = data.find(kMarcSubfieldMark); at != std::string_view::npos && at + 1 < data.size();) {
        const size_t next = data.find(kMarcSubfieldMark, at + 1);
        const std::string_view value = data.substr(at + 2, next == std::string_view::npos ? next : next - at - 2);
        if (codes.find(data[at + 1]) != std::string_view::npos)
            text.append(text.empty() ? "" : " ").append(value);
        at = next;
    }
    return text;
}

// The UTF-8 text of `source` in `diriv` (not yet folded); "" when absent.
std::string SourceText(std::string_view diriv, const KeySource& source, CMarcFormat format) {
    std::string_view data;
    if (!FindField(diriv, source.tag, data))
        return std::string();
    const bool control = source.tag[0] == '0' && source.tag[1] == '0';
    if (source.position >= 0) {
        const std::string value = control ? std::string(data) : Subfields(data, std::string_view(source.codes, 1));
        const size_t at = static_cast<size_t>(source.position);
        return value.size() < at + 4 ? std::string() : FourDigits(value.substr(at, 4));
    }
    std::string text = ToUtf8(Subfields(data, source.codes), source.tag, format);
    const bool filing = std::string_view(source.tag) == "245" && data.size() >= 2 && IsDigit(data[1]) &&
                        data[0] != kMarcSubfieldMark;
    if (filing)
        text = SkipCharacters(text, data[1] - '0');
    return WithoutNonSortPart(text);
}

// Cuts `key` to at most kSortKeyMaxLength octets without splitting a character.
void Bound(std::string& key) {
    if (key.size() <= kSortKeyMaxLength)
        return;
    size_t end = kSortKeyMaxLength;
    while (end > 0 && (static_cast<unsigned char>(key[end]) & 0xC0) == 0x80)
        --end;
    key.resize(end);
}

}  // namespace

bool SortKeyKindOfUse(long use, CSortKeyKind& kind) {
    for (const auto& known : kUses)
        if (known.use == use) {
            kind = known.kind;
            return true;
        }
    return false;
}

std::string FoldSortText(const std::string& utf8, bool caseSensitive) {
    std::vector<TextUnit> units;
    SplitUnits(utf8, units, TextFolding{true});
    std::string key;
    for (const TextUnit& unit : units)
        key += (key.empty() ? "" : " ") + unit.m_text;
    if (caseSensitive && !key.empty())
        key += std::string(1, '\0') + utf8;
    Bound(key);
    return key;
}

bool ExtractSortKey(const std::string& diriv, CSortKeyKind kind, CMarcFormat format, bool caseSensitive,
                    std::string& key) {
    key.clear();
    for (const KeyRule& rule : kRules) {
        if (rule.kind != kind || rule.format != format)
            continue;
        for (const KeySource* source = rule.first; source != rule.last && key.empty(); ++source) {
            const std::string text = SourceText(diriv, *source, format);
            if (kind == CSortKeyKind::kDate)
                key = FourDigits(text);
            else if (!text.empty())
                key = FoldSortText(text, caseSensitive);
        }
    }
    return !key.empty();
}
