// MARC-8 evidence in MARC 21 records: octet classes from libyaz's MARC-8 decoder, composition from
// ICU's NFC data.

#include "marc8guess.h"

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <yaz/yaz-iconv.h>

#include "berkit/codepage.h"

namespace {

// Longest run of combining marks taken for text; real records stack two or three.
constexpr size_t kMaxMarks = 4;
// Distinct runs remembered per file; past this each run is converted again.
constexpr size_t kMaxCached = 4096;

struct IconvCloser {
    void operator()(yaz_iconv_struct* cd) const { yaz_iconv_close(cd); }
};

// `marc8` in UTF-8 through libyaz's MARC-8 decoder (which drops octets it does not define).
std::string Marc8ToUtf8(std::string_view marc8) {
    std::unique_ptr<yaz_iconv_struct, IconvCloser> cd(yaz_iconv_open("UTF-8", "MARC-8"));
    if (!cd) return {};
    std::string out;
    char* in = const_cast<char*>(marc8.data());
    size_t inLeft = marc8.size();
    char buffer[256];
    for (;;) {
        char* o = buffer;
        size_t oLeft = sizeof buffer;
        const size_t before = inLeft;
        const size_t r = inLeft ? yaz_iconv(cd.get(), &in, &inLeft, &o, &oLeft) : yaz_iconv(cd.get(), nullptr, nullptr, &o, &oLeft);
        out.append(buffer, static_cast<size_t>(o - buffer));
        if (before == 0) break;
        if (r == static_cast<size_t>(-1) && yaz_iconv_error(cd.get()) != YAZ_ICONV_E2BIG) return {};
        if (inLeft == before && o == buffer) return {};  // no progress
    }
    return out;
}

enum class Octet : unsigned char { kUndefined, kSpacing, kCombining };

// The class of each octet 0x80-0xFF in MARC-8's default sets, read off the decoder: "<o>a"
// decodes to "a" (o undefined), to "a" + a mark (combining), or to a character + "a" (spacing).
const std::array<Octet, 128>& HighOctets() {
    static const std::array<Octet, 128> table = [] {
        std::array<Octet, 128> t{};
        for (int o = 0x80; o <= 0xFF; ++o) {
            const char in[2] = {static_cast<char>(o), 'a'};
            const std::string out = Marc8ToUtf8(std::string_view(in, 2));
            Octet c = Octet::kUndefined;
            if (out.size() > 1 && out.front() == 'a') c = Octet::kCombining;
            else if (out.size() > 1 && out.back() == 'a') c = Octet::kSpacing;
            t[static_cast<size_t>(o - 0x80)] = c;
        }
        return t;
    }();
    return table;
}

Octet ClassOf(unsigned char c) { return c < 0x80 ? Octet::kSpacing : HighOctets()[c - 0x80]; }

// Whether combining marks + base (MARC-8 octets) make exactly one character in NFC.
bool ComposesToOne(std::string_view run) {
    const std::string utf8 = Marc8ToUtf8(run);
    if (utf8.empty()) return false;
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) return false;
    const icu::UnicodeString composed = nfc->normalize(icu::UnicodeString::fromUTF8(utf8), status);
    return U_SUCCESS(status) && composed.countChar32() == 1;
}

// A MARC-8 escape sequence at `i` (iso[i] is ESC): a designation (intermediates from "(,)-$!",
// then a set's final) or one of the one-octet escapes b, g, p, s.
bool IsEscape(std::string_view iso, size_t i) {
    size_t k = i + 1;
    if (k < iso.size() && std::strchr("bgps", iso[k]) != nullptr && iso[k] != 0) return true;
    size_t intermediates = 0;
    while (k < iso.size() && iso[k] != 0 && std::strchr("(,)-$!", iso[k]) != nullptr && intermediates < 3) {
        ++k;
        ++intermediates;
    }
    return intermediates > 0 && k < iso.size() && iso[k] != 0 && std::strchr("1234BENQSbgps", iso[k]) != nullptr;
}

class CRunCache {
public:
    bool Composes(std::string_view run) {
        auto it = m_known.find(std::string(run));
        if (it != m_known.end()) return it->second;
        const bool composes = ComposesToOne(run);
        if (m_known.size() < kMaxCached) m_known.emplace(std::string(run), composes);
        return composes;
    }

private:
    std::unordered_map<std::string, bool> m_known;
};

CMarc8Look Look(std::string_view iso, CRunCache& cache) {
    CMarc8Look look;
    if (iso.size() <= 24 || iso[9] != ' ') return look;
    bool high = false, against = false;
    for (size_t i = 24; i < iso.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(iso[i]);
        if (c == 0x1B) {
            if (IsEscape(iso, i)) return {CMarc8Evidence::kEscape, 0};
            against = true;
            continue;
        }
        if (c < 0x80) continue;
        high = true;
        const Octet kind = ClassOf(c);
        if (kind == Octet::kUndefined) {
            against = true;
        } else if (kind == Octet::kCombining) {
            size_t j = i;
            while (j < iso.size() && static_cast<unsigned char>(iso[j]) >= 0x80 &&
                   ClassOf(static_cast<unsigned char>(iso[j])) == Octet::kCombining)
                ++j;
            const unsigned char base = j < iso.size() ? static_cast<unsigned char>(iso[j]) : 0;
            const bool hasBase = (base >= 0x21 && base <= 0x7E) || (base >= 0x80 && ClassOf(base) == Octet::kSpacing);
            // Once the record is against MARC-8 only an escape sequence can change that.
            if (!against && j - i <= kMaxMarks && hasBase && cache.Composes(iso.substr(i, j - i + 1)))
                ++look.m_composed;
            else
                against = true;
            i = hasBase ? j : j - 1;
        }
    }
    if (!high) return {CMarc8Evidence::kNone, 0};
    if (against || IsValidUtf8(std::string(iso.substr(24)))) return {CMarc8Evidence::kAgainst, 0};
    look.m_evidence = CMarc8Evidence::kFits;
    return look;
}

}  // namespace

CMarc8Look LookForMarc8(std::string_view iso) {
    CRunCache cache;
    return Look(iso, cache);
}

std::vector<bool> GuessMarc8(const std::vector<std::string_view>& records) {
    CRunCache cache;
    std::vector<CMarc8Evidence> evidence;
    evidence.reserve(records.size());
    size_t composed = 0, escapes = 0;
    bool against = false;
    for (std::string_view record : records) {
        const CMarc8Look look = Look(record, cache);
        evidence.push_back(look.m_evidence);
        composed += look.m_composed;
        escapes += look.m_evidence == CMarc8Evidence::kEscape;
        against = against || look.m_evidence == CMarc8Evidence::kAgainst;
    }
    const bool fitsToo = !against && (escapes > 0 || composed >= kMarc8MinComposed);
    std::vector<bool> marc8(records.size(), false);
    for (size_t i = 0; i < records.size(); ++i)
        marc8[i] = evidence[i] == CMarc8Evidence::kEscape || (fitsToo && evidence[i] == CMarc8Evidence::kFits);
    return marc8;
}
