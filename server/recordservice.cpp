// CRecordService: record paths, record-list reads of several records in one call, single reads,
// and the conversion of a record to ISO 2709 (brief unless full records were asked for) and from
// there to the syntax asked for.

#include "server/recordservice.h"

#include <cstdio>
#include <cstring>

#include "backend/marc/cvtdiriv.h"
#include "backend/marc/marcrecord.h"
#include "berkit/bertrace.h"
#include "berkit/extended_exception.h"
#include "server/dbarray.h"
#include "server/recordsyntax.h"
#include "server/tunnel_es.h"

namespace {

// A record block: 9 header octets, then the Diriv text of at least 24 characters.
constexpr size_t kRecordHeaderSize = 9;
constexpr size_t kMinRecordBlock = 33;
constexpr size_t kMinRecordText = 24;

// The Diriv text of a record block: after the header, up to its zero (or the block's end).
std::string BlockText(const CByteArray& block) {
    const char* text = reinterpret_cast<const char*>(block.data()) + kRecordHeaderSize;
    const size_t room = block.size() - kRecordHeaderSize;
    size_t length = 0;
    while (length < room && text[length] != '\0')
        ++length;
    return std::string(text, length);
}

// The brief form of `diriv` by `db`'s definition, in place; false with `error` set.
bool ReduceToBrief(const CDatabaseNode* db, const std::string& path, std::string& diriv, std::string& error) {
    CMARC source;
    CMARC brief;
    if (source.Create(diriv, db->m_briefTree.get(), error) < 0 || source.Reduce(brief, error) < 0 ||
        brief.BuildMARC(diriv) < static_cast<int>(kMinRecordText)) {
        if (error.empty())
            error = "brief record of [" + path + "] too short";
        return false;
    }
    return true;
}

// Leader 22 (and 23 in MARC 21) "0" as our 12-octet directory entries need; 09 "a" on UTF-8 MARC 21.
void StandardLeader(CByteArray& iso, CMarcFormat format, bool utf8) {
    iso[22] = '0';
    if (format == CMarcFormat::kMarc21) {
        iso[23] = '0';
        if (utf8)
            iso[9] = 'a';
    }
}

}  // namespace

int CRecordService::GetMARCRecordPath(const CDatabaseNode* db, int64_t number, std::string& path) {
    if (db == nullptr)
        return -1;
    path = db->m_dbPath;
    path += "/ctlno/";
    if (number < 0 || number > kESMaxRecordNumber)
        return -1;
    char digits[16];
    snprintf(digits, sizeof digits, "%07lld", static_cast<long long>(number));
    path += digits;
    return static_cast<int>(path.size());
}

void CRecordService::GetMARCRecords(const CDatabaseNode* db, const std::vector<int64_t>& numbers,
                                    std::vector<std::string>& texts) {
    texts.assign(numbers.size(), std::string());
    if (db == nullptr || numbers.size() < 2 || numbers.size() > static_cast<size_t>(kStrataMaxBatchRecords))
        return;
    std::string list;
    list.reserve(numbers.size() * 8);
    char digits[16];
    for (int64_t number : numbers) {
        if (number < 1 || number > kESMaxRecordNumber)
            return;
        snprintf(digits, sizeof digits, "%s%07lld", list.empty() ? "" : ",", static_cast<long long>(number));
        list += digits;
    }
    CDiagnostic error;
    if (!m_channel.Prepare(error))
        THROW_EXTENDED(0, error.m_message);
    CBackendPager& pager = *m_channel.m_pager;
    const std::string path = db->m_dbPath + "/ctlno/" + list;
    size_t position = 0;  // index in `numbers` of the next block
    const CPagerResult result = pager.Search(path, m_form.m_style, CPagerFormat::kBlocks, [&](const CPackage& page) {
        if (page.GetRecordCount() == 0)
            return false;
        for (size_t i = 0; i < page.GetRecordCount() && position < numbers.size(); ++i, ++position) {
            const CByteArray* block = page.GetRecord(i);
            snprintf(digits, sizeof digits, "#%07lld ", static_cast<long long>(numbers[position]));
            if (block->size() < kRecordHeaderSize || std::memcmp(block->data(), digits, kRecordHeaderSize) != 0)
                return false;  // not the record expected: trust nothing further in this answer
            if (block->size() >= kMinRecordBlock)  // else no such record: its own read reports it
                texts[position] = BlockText(*block);
        }
        return position < numbers.size();
    });
    if (result != CPagerResult::kDone)  // the records left are read one by one
        BerTrace("GetMARCRecords() [%s]: %s\r\n", path.c_str(), pager.GetError().c_str());
}

int CRecordService::GetMARCRecord(const std::string& path, std::string& record) {
    record.clear();
    CDiagnostic error;
    if (!m_channel.Prepare(error))
        THROW_EXTENDED(0, error.m_message);
    CBackendPager& pager = *m_channel.m_pager;
    CByteArray block;
    const CPagerResult result = pager.Search(path, m_form.m_style, CPagerFormat::kBlocks, [&](const CPackage& page) {
        if (const CByteArray* first = page.GetRecord(0))
            block = *first;
        return false;
    });
    m_channel.Outcome(result);
    if (result != CPagerResult::kDone) {
        BerTrace("Error in GetMARCRecord() [%s] \r\n", pager.GetError().c_str());
        return -1;
    }
    if (block.size() < kMinRecordBlock) {
        BerTrace("Error in GetMARCRecord() [%s] \r\n", "no record in the answer");
        return -1;
    }
    record = BlockText(block);
    return static_cast<int>(record.size());
}

CRecordResult CRecordService::Convert(const CDatabaseNode* db, int64_t number, const std::string* fetched) {
    CRecordResult out;
    std::string error;
    try {
        std::string path;
        std::string diriv;
        const bool have = fetched != nullptr && fetched->size() >= kMinRecordText;
        if (GetMARCRecordPath(db, number, path) < 1) {
            error = "GetMARCRecordPath() error [" + path + "]";
        } else if (!have && GetMARCRecord(path, diriv) < static_cast<int>(kMinRecordText)) {
            error = "GetMARCRecord() error [" + path + "]";
        } else {
            if (have)
                diriv = *fetched;
            if (!m_form.m_full && db->m_briefTree && !ReduceToBrief(db, path, diriv, error))
                diriv.clear();
            const bool utf8 = RecordSyntaxWantsUtf8(m_form.m_syntax, m_form.m_utf8);
            if (!diriv.empty() && CvtDirivToISO2709(diriv, out.m_octets, utf8 ? 1 : 0, error, db->MarcFormat()) != -1) {
                if (m_form.m_standardLeader)
                    StandardLeader(out.m_octets, db->MarcFormat(), utf8);
                out.m_syntax = m_form.m_syntax.empty() ? db->m_syntaxOID : m_form.m_syntax;
                if (ConvertRecordSyntax(*db, out.m_syntax, out.m_octets, error))
                    return out;
                out.m_octets.clear();
                out.m_error = {kDiagSyntaxUnavailable, out.m_syntax, path + ": " + error};
                return out;
            }
        }
    } catch (extended_exception& e) {
        BerTrace("%s", e.GetErrorMessage());  // the source file and line: debug trace only
        error = e.LogText();
    } catch (std::exception&) {
        error = "GetMARC() error -- unknown";
    }
    out.m_octets.clear();
    out.m_error = {kDiagPresentError, std::string(), error};
    return out;
}

std::vector<CRecordResult> CRecordService::Fetch(const std::vector<CRecordRow>& rows, const std::atomic<bool>* stop) {
    // One record-list read per run of rows of one database, then each record in order.
    std::vector<std::string> fetched(rows.size());
    std::vector<int64_t> numbers;
    std::vector<std::string> texts;
    for (size_t begin = 0, end = 0; begin < rows.size(); begin = end) {
        numbers.clear();
        for (end = begin; end < rows.size() && rows[end].m_db == rows[begin].m_db &&
                          end - begin < static_cast<size_t>(kStrataMaxBatchRecords);
             ++end)
            numbers.push_back(rows[end].m_number);
        if (numbers.size() < 2)
            continue;
        GetMARCRecords(rows[begin].m_db, numbers, texts);
        for (size_t k = 0; k < texts.size(); ++k)
            fetched[begin + k].swap(texts[k]);
    }
    std::vector<CRecordResult> results;
    results.reserve(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        if (stop != nullptr && stop->load())
            break;
        results.push_back(Convert(rows[i].m_db, rows[i].m_number, &fetched[i]));
    }
    return results;
}
