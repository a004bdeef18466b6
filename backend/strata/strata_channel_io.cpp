// CConnect::API_Search and API_Write: path parsing, paging of files and hit lists, record blocks.
#include <algorithm>
#include <cstring>
#include <vector>

#include "backend/strata/strata_channel.h"
#include "backend/strata/strata_keys.h"
#include "backend/strata/strata_package.h"
#include "backend/strata/strata_store.h"

namespace {

constexpr int kPagedStyle = 0x8000;
constexpr size_t kMaxContinuation = 9;
constexpr int kSortValueStyle = 8;

// At least seven digits, zero-padded (as printf's %07lld); called once per hit.
std::string SevenDigits(int64_t n) {
    if (n < 0 || n > 9999999) {
        char text[24];
        snprintf(text, sizeof text, "%07lld", static_cast<long long>(n));
        return text;
    }
    std::string text(7, '0');
    for (size_t i = 7; i-- > 0 && n > 0; n /= 10)
        text[i] = char('0' + n % 10);
    return text;
}

// 1-9 decimal digits; -1 otherwise.
int64_t ParseDigits(const std::string& s, size_t maxDigits) {
    if (s.empty() || s.size() > maxDigits) return -1;
    int64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    return v;
}

// A parsed request path: db "/" (cfgs "/" file | ctlno "/" 7 digits ("," 7 digits)* | key "/" term).
struct RequestPath {
    enum Kind { kFile, kRecord, kRecords, kKey } m_kind = kKey;
    std::string m_db;
    std::string m_name;  // file or key
    std::string m_term;
    int64_t m_number = 0;
    std::vector<int64_t> m_numbers;  // kRecords
};

// "NNNNNNN,NNNNNNN,...": 2 to kStrataMaxBatchRecords record numbers of 7 digits each, 1 or more.
bool ParseRecordList(const std::string& tail, std::vector<int64_t>& numbers) {
    numbers.clear();
    if ((tail.size() + 1) % 8 != 0) return false;
    const size_t count = (tail.size() + 1) / 8;
    if (count < 2 || count > size_t(kStrataMaxBatchRecords)) return false;
    for (size_t i = 0; i < count; ++i) {
        if (i + 1 < count && tail[i * 8 + 7] != ',') return false;
        const int64_t n = ParseDigits(tail.substr(i * 8, 7), 7);
        if (n < 1) return false;
        numbers.push_back(n);
    }
    return true;
}

bool ParseRequestPath(const std::string& path, RequestPath& out, std::string& error) {
    const size_t slash = path.find('/');
    if (slash == std::string::npos || slash == 0) {
        error = "[" + path + "] names no database object";
        return false;
    }
    out.m_db = path.substr(0, slash);
    const std::string rest = path.substr(slash + 1);
    const size_t next = rest.find('/');
    if (next == std::string::npos || next == 0) {
        error = "[" + path + "] has no object after the database";
        return false;
    }
    const std::string head = rest.substr(0, next);
    const std::string tail = rest.substr(next + 1);
    if (strcasecmp(head.c_str(), "cfgs") == 0) {
        out.m_kind = RequestPath::kFile;
        out.m_name = tail;
        if (tail.empty() || tail.find('/') != std::string::npos) {
            error = "[" + path + "] names no cfgs file";
            return false;
        }
        return true;
    }
    if (strcasecmp(head.c_str(), "ctlno") == 0 && tail.find(',') != std::string::npos) {
        out.m_kind = RequestPath::kRecords;
        if (!ParseRecordList(tail, out.m_numbers)) {
            error = "[" + path + "]: a record list is 2 to " + std::to_string(kStrataMaxBatchRecords) +
                    " numbers of 7 digits (0000001 to 9999999) separated by commas";
            return false;
        }
        return true;
    }
    if (strcasecmp(head.c_str(), "ctlno") == 0) {
        out.m_kind = RequestPath::kRecord;
        out.m_number = tail.size() == 7 ? ParseDigits(tail, 7) : -1;
        if (out.m_number < 1) {
            error = "[" + path + "]: a record path ends in 7 digits, 0000001 to 9999999";
            return false;
        }
        return true;
    }
    out.m_kind = RequestPath::kKey;
    out.m_name = head;
    out.m_term = tail;
    return true;
}

// The records of a sort-value read: "NNNNNNN-NNNNNNN" (from, to), or "NNNNNNN,NNNNNNN,..." (1 to
// kStrataMaxBatchRecords ascending numbers; from and to their first and last).
bool ParseSortSpec(const std::string& spec, int64_t& from, int64_t& to, std::vector<int64_t>& numbers) {
    numbers.clear();
    if (spec.size() == 15 && spec[7] == '-') {
        from = ParseDigits(spec.substr(0, 7), 7);
        to = ParseDigits(spec.substr(8), 7);
        return from >= 1 && to >= from;
    }
    if ((spec.size() + 1) % 8 != 0 || (spec.size() + 1) / 8 > size_t(kStrataMaxBatchRecords)) return false;
    for (size_t i = 0; i * 8 < spec.size(); ++i) {
        if (i * 8 + 7 < spec.size() && spec[i * 8 + 7] != ',') return false;
        const int64_t n = ParseDigits(spec.substr(i * 8, 7), 7);
        if (n < 1 || (!numbers.empty() && n <= numbers.back())) return false;
        numbers.push_back(n);
    }
    from = numbers.front();
    to = numbers.back();
    return true;
}

}  // namespace

int CConnect::API_Search(const char* path, int pathLen, char* buffer, int bufferSize, int style) {
    std::string p;
    CallScope call(*this);
    if (!CheckPath(path, pathLen, p) || !CheckBuffer(buffer, bufferSize) || !CheckReady(kStrataRightRead) ||
        !StripPrefix(p)) {
        return -1;
    }
    const int base = style & ~kPagedStyle;
    std::string cont;
    if (style & kPagedStyle) {
        const size_t bar = p.rfind("||");
        if (bar == std::string::npos) return Fail(kStrataBadArgument, "paged style without \"||\" continuation");
        cont = p.substr(bar + 2);
        p.erase(bar);
        if (ParseDigits(cont, kMaxContinuation) < 0) return Fail(kStrataBadArgument, "continuation [" + cont + "]");
    }
    RequestPath req;
    std::string error;
    if (!ParseRequestPath(p, req, error)) return Fail(kStrataBadPath, error);
    switch (req.m_kind) {
    case RequestPath::kFile:
        if (base != 3) return Fail(kStrataBadArgument, "a cfgs file is read with style 3");
        return SearchFile(req.m_db, req.m_name, cont, buffer, bufferSize);
    case RequestPath::kRecord:
        if (base != 2 && base != 3) return Fail(kStrataBadArgument, "a record is read with style 2 or 3");
        if (!cont.empty()) return Fail(kStrataNoData, "a record is one page");
        return SearchRecord(req.m_db, req.m_number, buffer, bufferSize);
    case RequestPath::kRecords:
        if (base != 2 && base != 3) return Fail(kStrataBadArgument, "records are read with style 2 or 3");
        return SearchRecords(req.m_db, req.m_numbers, cont, buffer, bufferSize);
    case RequestPath::kKey:
        if (base == kSortValueStyle) return SearchSortValues(req.m_db, req.m_name, req.m_term, cont, buffer, bufferSize);
        if (base == 6 || base == 7) return SearchTerms(req.m_db, req.m_name, req.m_term, base == 7, cont, buffer, bufferSize);
        if (base != 5) return Fail(kStrataBadArgument, "a search key is read with style 5, its terms with 6 or 7, its sort values with 8");
        return SearchHits(req.m_db, req.m_name, req.m_term, cont, buffer, bufferSize);
    }
    return Fail(kStrataBadArgument, "style");
}

int CConnect::SearchFile(const std::string& db, const std::string& file, const std::string& cont, char* buffer,
                         int bufferSize) {
    std::string content;
    StrataStatus st;
    if (!m_channel->ReadCfgFile(db, file, content, st)) return Fail(st);
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < content.size()) {
        size_t end = content.find('\n', pos);
        if (end == std::string::npos) end = content.size();
        std::string line = content.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        pos = end + 1;
    }
    const size_t first = cont.empty() ? 0 : size_t(ParseDigits(cont, kMaxContinuation));
    if (!cont.empty() && first >= lines.size()) return Fail(kStrataNoData, "end of " + file);
    CPackageWriter writer(kPackageBlocks, size_t(bufferSize));
    size_t i = first;
    for (; i < lines.size(); ++i) {
        const std::string block = lines[i] + '\0';
        if (!writer.Add(block, kMaxContinuation)) break;
    }
    if (i == first && i < lines.size()) return Fail(kStrataBufferTooSmall, "line " + std::to_string(i + 1) + " of " + file);
    return Succeed(writer.Finish(i < lines.size() ? std::to_string(i) : std::string(), buffer));
}

int CConnect::SearchRecord(const std::string& db, int64_t number, char* buffer, int bufferSize) {
    std::string diriv;
    StrataStatus st;
    if (!m_channel->ReadRecord(db, number, diriv, st)) return Fail(st);
    const std::string block = "#" + SevenDigits(number) + " " + diriv + '\0';
    CPackageWriter writer(kPackageBlocks, size_t(bufferSize));
    if (!writer.Add(block)) return Fail(kStrataBufferTooSmall, "record of " + std::to_string(diriv.size()) + " octets");
    return Succeed(writer.Finish("", buffer));
}

int CConnect::SearchRecords(const std::string& db, const std::vector<int64_t>& numbers, const std::string& cont,
                            char* buffer, int bufferSize) {
    const size_t first = cont.empty() ? 0 : size_t(ParseDigits(cont, kMaxContinuation));
    if (first >= numbers.size()) return Fail(kStrataNoData, "end of the record list");
    const std::vector<int64_t> wanted(numbers.begin() + std::ptrdiff_t(first), numbers.end());
    std::vector<std::string> dirivs;
    StrataStatus st;
    if (!m_channel->ReadRecords(db, wanted, dirivs, st)) return Fail(st);
    CPackageWriter writer(kPackageBlocks, size_t(bufferSize), &m_channel->m_scratch.m_answer);
    std::string block;
    size_t i = 0;
    for (; i < wanted.size(); ++i) {
        // A missing record is its header alone: "#NNNNNNN " and the zero octet.
        block.assign("#").append(SevenDigits(wanted[i])).append(" ").append(dirivs[i]).push_back('\0');
        if (!writer.Add(block, kMaxContinuation)) break;
    }
    if (i == 0) return Fail(kStrataBufferTooSmall, "record of " + std::to_string(dirivs[0].size()) + " octets");
    return Succeed(writer.Finish(i < wanted.size() ? std::to_string(first + i) : std::string(), buffer));
}

int CConnect::SearchHits(const std::string& db, const std::string& key, const std::string& term,
                         const std::string& cont, char* buffer, int bufferSize) {
    const size_t perHit = kPackageEntryOverhead + 7;
    const size_t room = size_t(bufferSize) - kPackageHeaderSize;
    if (room < kMaxContinuation + perHit) return Fail(kStrataBufferTooSmall, "no room for one hit");
    const size_t limit = (room - kMaxContinuation) / perHit;
    const int64_t after = cont.empty() ? 0 : ParseDigits(cont, kMaxContinuation);
    std::vector<int64_t>& hits = m_channel->m_scratch.m_hits;
    bool more = false;
    StrataStatus st;
    if (!m_channel->Search(db, key, term, after, limit, hits, more, st)) return Fail(st);
    // The store keeps the rest of the hit list for the next page: so does this channel its connection.
    m_keepChannel = more;
    if (hits.empty()) return Fail(kStrataNoData, cont.empty() ? "no hits" : "no more hits");
    CPackageWriter writer(kPackageLines, size_t(bufferSize), &m_channel->m_scratch.m_answer);
    for (size_t i = 0; i < hits.size(); ++i) {
        i += writer.AddSevenDigitLines(hits.data() + i, hits.size() - i, kMaxContinuation);
        if (i < hits.size() && !writer.Add(SevenDigits(hits[i]), kMaxContinuation)) break;  // not 7 digits
    }
    return Succeed(writer.Finish(more ? SevenDigits(hits.back()) : std::string(), buffer));
}

int CConnect::SearchTerms(const std::string& db, const std::string& key, const std::string& term, bool before,
                          const std::string& cont, char* buffer, int bufferSize) {
    // A page is at most one store call; one more term than it holds tells whether another follows.
    constexpr size_t kPageTerms = 256;
    const int64_t skip = cont.empty() ? 0 : ParseDigits(cont, kMaxContinuation);
    std::vector<StrataTermCount> terms;
    StrataStatus st;
    if (!m_channel->ScanTerms(db, key, term, before, size_t(skip), kPageTerms + 1, terms, st)) return Fail(st);
    if (terms.empty()) return Fail(kStrataNoData, cont.empty() ? "no terms" : "no more terms");
    CPackageWriter writer(kPackageLines, size_t(bufferSize), &m_channel->m_scratch.m_answer);
    size_t i = 0;
    for (; i < terms.size() && i < kPageTerms; ++i)
        if (!writer.Add(StrataScanLine(terms[i]), kMaxContinuation)) break;
    if (i == 0) return Fail(kStrataBufferTooSmall, "term of " + std::to_string(terms[0].m_term.size()) + " octets");
    return Succeed(writer.Finish(i < terms.size() ? std::to_string(skip + int64_t(i)) : std::string(), buffer));
}

int CConnect::SearchSortValues(const std::string& db, const std::string& key, const std::string& spec,
                               const std::string& cont, char* buffer, int bufferSize) {
    int64_t from = 0, to = 0;
    std::vector<int64_t> numbers;
    if (!ParseSortSpec(spec, from, to, numbers))
        return Fail(kStrataBadPath, "[" + spec + "]: sort values are read for NNNNNNN-NNNNNNN or a list of 1 to " +
                                        std::to_string(kStrataMaxBatchRecords) + " ascending record numbers");
    if (!cont.empty()) from = std::max(from, ParseDigits(cont, kMaxContinuation) + 1);
    // A page takes several store calls, each sized by the lines of the ones before, so that the
    // store reads little more than the page holds.
    std::vector<StrataSortValue> values;
    CPackageWriter writer(kPackageLines, size_t(bufferSize), &m_channel->m_scratch.m_answer);
    const size_t room = size_t(bufferSize) > kPackageHeaderSize + kMaxContinuation
                            ? size_t(bufferSize) - kPackageHeaderSize - kMaxContinuation
                            : 0;
    size_t used = 0, lines = 0;
    int64_t last = 0;
    bool full = false, more = true;
    std::string line;  // one buffer for every line of the page
    while (!full && more && from <= to) {
        const size_t perLine = lines == 0 ? 64 : used / lines + 1;
        const size_t limit = std::min(kStrataMaxSortValues, std::max<size_t>(16, (room - std::min(room, used)) / perLine + 1));
        bool numeric = false;
        StrataStatus st;
        if (!m_channel->ReadSortValues(db, key, from, to, numbers, limit, values, numeric, st)) return Fail(st);
        more = values.size() == limit;
        if (lines == 0 && !values.empty()) {
            const std::string kind = numeric ? kStrataSortKindNumeric : kStrataSortKindText;
            if (!writer.Add(kind, kMaxContinuation)) return Fail(kStrataBufferTooSmall, "no room for one sort value");
            used += kind.size() + kPackageEntryOverhead;
        }
        for (size_t i = 0; i < values.size(); ++i) {
            StrataSortLine(values[i].m_record, values[i].m_value, line);
            if (!writer.Add(line, kMaxContinuation)) {
                full = true;
                break;
            }
            used += line.size() + kPackageEntryOverhead;
            ++lines;
            last = values[i].m_record;
        }
        if (!values.empty()) from = values.back().m_record + 1;
    }
    if (lines == 0 && full) return Fail(kStrataBufferTooSmall, "no room for one sort value");
    if (lines == 0) return Fail(kStrataNoData, cont.empty() ? "no sort values" : "no more sort values");
    return Succeed(writer.Finish(full || (more && last < to) ? std::to_string(last) : std::string(), buffer));
}

int CConnect::API_Write(const char* path, const char* data, int dataLen, char* buffer, int bufferSize, int style,
                        int /*flags*/) {
    CallScope call(*this);
    if (path == nullptr || strnlen(path, 4097) > 4096) return Fail(kStrataBadArgument, "path missing or too long");
    if (!CheckBuffer(buffer, bufferSize) || !CheckReady(kStrataRightWrite)) return -1;
    StrataWrite how;
    switch (style) {
    case 1: how = StrataWrite::kInsert; break;
    case 3: how = StrataWrite::kReplace; break;
    case 5: how = StrataWrite::kDelete; break;
    default: return Fail(kStrataBadArgument, "write style " + std::to_string(style) + " (1 insert, 3 replace, 5 delete)");
    }
    std::string p = path;
    if (!StripPrefix(p)) return -1;
    RequestPath req;
    std::string error;
    if (!ParseRequestPath(p, req, error)) return Fail(kStrataBadPath, error);
    if (req.m_kind != RequestPath::kRecord) return Fail(kStrataBadPath, std::string("[") + path + "] is not a record path");
    std::string diriv;
    if (how != StrataWrite::kDelete) {
        if (data == nullptr || dataLen <= 0) return Fail(kStrataBadRecord, "no record data");
        if (size_t(dataLen) > kStrataMaxRecordSize + 1) return Fail(kStrataBadRecord, "record data too large");
        diriv.assign(data, size_t(dataLen));
        if (diriv.back() == '\0') diriv.pop_back();
    }
    StrataStatus st;
    if (!m_channel->WriteRecord(req.m_db, req.m_number, how, diriv, st)) return Fail(st);
    if (std::string at = m_channel->WritePosition(); !at.empty()) m_writePosition = std::move(at);
    CPackageWriter writer(kPackageLines, size_t(bufferSize));
    // The answer names the record written; a buffer too small for it still leaves the write done.
    if (writer.Add(SevenDigits(req.m_number))) writer.Finish("", buffer);
    return Succeed(1);
}
