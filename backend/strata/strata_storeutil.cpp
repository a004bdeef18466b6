#include "backend/strata/strata_storeutil.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "backend/strata/strata_postings.h"
#include "backend/strata/strata_errors.h"
#include "backend/strata/strata_store.h"
#include "backend/strata/strata_text.h"
#include "berkit/codepage.h"

#include <algorithm>
#include <iterator>
#include <cctype>
#include <strings.h>
#include <tuple>

bool StrataValidName(const std::string& name, size_t max, bool pathPart) {
    if (name.empty() || name.size() > max) return false;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) return false;
        if (pathPart && (c == '/' || c == '|')) return false;
    }
    return true;
}

bool StrataValidFileName(const std::string& name) {
    if (name.empty() || name.size() > 64 || name == "." || name == "..") return false;
    for (char c : name) {
        if (!isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-' && c != '.') return false;
    }
    return true;
}

std::string StrataFold(const std::string& name) {
    std::string folded = name;
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    }
    return folded;
}

bool StrataParseKeys(const std::string& content, std::vector<CKeyEntry>& keys, std::string& error) {
    CKeysTree tree;
    try {
        tree.BuildTree(content);
    } catch (const CError& e) {
        error = "keys.cfg line " + std::to_string(e.GetLine()) + " column " + std::to_string(e.GetColumn()) +
                ": " + e.GetMessage();
        return false;
    }
    if (!CheckKeyNames(tree, error)) return false;
    keys = tree.GetKeys();
    return true;
}

bool StrataCheckCfgFile(const std::string& file, const std::string& content, std::string& error) {
    if (!StrataValidFileName(file)) {
        error = "cfg file name [" + file + "]";
        return false;
    }
    if (content.size() > 4u * 1024u * 1024u) {
        error = file + " is larger than 4 MiB";
        return false;
    }
    if (content.find('\0') != std::string::npos) {
        error = file + " holds a zero octet";
        return false;
    }
    size_t lineStart = 0;
    while (lineStart <= content.size()) {
        size_t end = content.find('\n', lineStart);
        if (end == std::string::npos) end = content.size();
        if (end - lineStart > 4000) {
            error = file + " has a line longer than 4000 octets";
            return false;
        }
        lineStart = end + 1;
    }
    std::vector<CKeyEntry> keys;
    return strcasecmp(file.c_str(), "keys.cfg") != 0 || StrataParseKeys(content, keys, error);
}

bool StrataMendMainEntries(std::string& diriv) {
    if (diriv.size() < 24 || diriv[9] != 'a') return false;
    CMARC record;
    std::string error;
    if (record.Parse(diriv, error) < 0) return false;
    bool changed = false;
    for (CMARCItem& item : record.m_fields) {
        const std::string& data = item.m_data;
        if (item.m_tag.empty() || item.m_tag[0] != '1' || IsAscii(data) || !IsValidUtf8(data)) {
            continue;
        }
        std::string ansi = Utf8ToAnsi(data);
        if (ansi.empty()) continue;
        item.m_data = std::move(ansi);
        changed = true;
    }
    if (changed) record.BuildMARC(diriv);
    return changed;
}

void StrataReindexProgress(int64_t db, int64_t records, bool done) {
    static const bool terminal = isatty(STDERR_FILENO) != 0;
    if (!terminal) return;
    thread_local std::chrono::steady_clock::time_point last;
    const auto now = std::chrono::steady_clock::now();
    if (!done && now - last < std::chrono::milliseconds(500)) return;
    last = now;
    std::fprintf(stderr, "\rstrata: keying database %lld: %lld records%s", static_cast<long long>(db),
                 static_cast<long long>(records), done ? "\n" : "");
}

std::string StrataFieldsText(const CKeyEntry& key) {
    std::string text;
    for (const CKeyField& f : key.m_fields) {
        if (!text.empty()) text += ' ';
        text += f.m_tag + f.m_subfields;
        if (f.m_from >= 0) text += "/" + std::to_string(f.m_from) + "-" + std::to_string(f.m_to);
    }
    if (key.m_foldDiacritics) text += " " + std::string(kStrataFoldDiacritics);
    if (key.m_type != CKeyType::kText) text += std::string(" +") + KeyTypeName(key.m_type);
    return text;
}

CKeyEntry StrataKeyFromText(const std::string& name, const std::string& fields) {
    CKeyEntry key;
    key.m_name = name;
    size_t pos = 0;
    while (pos < fields.size()) {
        size_t end = fields.find(' ', pos);
        if (end == std::string::npos) end = fields.size();
        const std::string item = fields.substr(pos, end - pos);
        CKeyField field;
        if (item == kStrataFoldDiacritics)
            key.m_foldDiacritics = true;
        else if (item.size() > 1 && item[0] == '+')
            ParseKeyType(item.substr(1), key.m_type);
        else if (ParseKeyField(item, field))
            key.m_fields.push_back(std::move(field));
        pos = end + 1;
    }
    return key;
}

bool StrataPosting::operator<(const StrataPosting& o) const {
    return std::tie(m_key, m_token, m_record) < std::tie(o.m_key, o.m_token, o.m_record);
}

void StrataCollectPostings(const std::vector<StrataStoreKey>& keys, const CMARC& record, int64_t number,
                           std::vector<StrataPosting>& out) {
    std::vector<std::string> tokens;
    for (const StrataStoreKey& key : keys) {
        KeyTokens(record, key.m_entry, tokens);
        for (std::string& t : tokens) out.push_back(StrataPosting{key.m_id, std::move(t), number});
        KeyDerivedTokens(record, key.m_entry, tokens);
        for (std::string& t : tokens) out.push_back(StrataPosting{-key.m_id, std::move(t), number});
    }
}

void StrataCheckBatch(const std::vector<std::string>& dirivs, std::vector<CMARC>& records,
                      std::map<int64_t, size_t>& lastOf, std::vector<StrataRejectedRecord>& rejected) {
    records.assign(dirivs.size(), CMARC());
    lastOf.clear();
    rejected.clear();
    for (size_t i = 0; i < dirivs.size(); ++i) {
        int64_t number = 0;
        std::string error;
        if (!CheckStrataRecord(dirivs[i], records[i], number, error)) {
            rejected.push_back(StrataRejectedRecord{i, error});
            continue;
        }
        auto it = lastOf.find(number);
        if (it != lastOf.end()) {
            rejected.push_back(StrataRejectedRecord{it->second, "record number " + std::to_string(number) +
                                                                    " appears again later in the batch"});
            it->second = i;
        } else {
            lastOf.emplace(number, i);
        }
    }
}

bool StrataSliceHits(const std::vector<uint32_t>& all, int64_t after, size_t limit, std::vector<int64_t>& page) {
    const auto from = after < 0 ? all.begin()
                                : std::upper_bound(all.begin(), all.end(), uint64_t(after),
                                                   [](uint64_t a, uint32_t n) { return a < n; });
    const size_t left = size_t(all.end() - from);
    const size_t take = std::min(left, limit);
    page.assign(from, from + std::ptrdiff_t(take));
    return left > take;
}

void StrataMergeBlock(const std::vector<uint32_t>& block, const uint32_t* from, const uint32_t* to, bool remove,
                      std::vector<uint32_t>& merged) {
    merged.clear();
    if (remove)
        std::set_difference(block.begin(), block.end(), from, to, std::back_inserter(merged));
    else
        std::set_union(block.begin(), block.end(), from, to, std::back_inserter(merged));
}

bool StrataCheckWrittenRecord(const std::string& diriv, int64_t number, StrataWrite how, CMARC& record,
                              StrataStatus& st) {
    if (how == StrataWrite::kDelete) return true;
    int64_t own = 0;
    std::string error;
    if (!CheckStrataRecord(diriv, record, own, error)) return st.Set(kStrataBadRecord, error);
    if (own != number) {
        return st.Set(kStrataBadRecord,
                      "field 001 holds " + std::to_string(own) + ", the path " + std::to_string(number));
    }
    return true;
}
