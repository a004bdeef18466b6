// CTunnel record retrieval: the record paths of the back-end, record-list reads of several
// records in one call, single reads, and the conversion of a record to ISO 2709 (brief unless
// full records were asked for).

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "backend/marc/cvtdiriv.h"
#include "backend/marc/marcrecord.h"
#include "berkit/bertrace.h"
#include "server/dbarray.h"
#include "server/tunnel.h"
#include "server/tunnel_es.h"
#include "server/tunnelarray.h"

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

}  // namespace

int CTunnel::GetMARCRecordPath(const CDatabaseNode* db, int64_t number, std::string& path) {
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

void CTunnel::GetMARCRecords(const CDatabaseNode* db, const std::vector<int64_t>& numbers,
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
    EnsureChannel();
    const std::string path = db->m_dbPath + "/ctlno/" + list;
    size_t position = 0;  // index in `numbers` of the next block
    const CPagerResult result = m_pager.Search(path, RecordStyle(), CPagerFormat::kBlocks, [&](const CPackage& page) {
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
        BerTrace("GetMARCRecords() [%s]: %s\r\n", path.c_str(), m_pager.GetError().c_str());
}

int CTunnel::RecordStyle() {
    return (m_owner && Settings().m_backendVersion == 1 && !m_fullRecords) ? kStrataStyleBriefRecord
                                                                          : kStrataStyleRecord;
}

int CTunnel::GetMARCRecord(const std::string& path, std::string& record) {
    record.clear();
    EnsureChannel();
    CByteArray block;
    const CPagerResult result = m_pager.Search(path, RecordStyle(), CPagerFormat::kBlocks, [&](const CPackage& page) {
        if (const CByteArray* first = page.GetRecord(0))
            block = *first;
        return false;
    });
    if (result != CPagerResult::kDone) {
        if (result == CPagerResult::kBroken)
            CloseForBrokenBackend();
        m_lastBackendError = m_pager.GetError();
        BerTrace("Error in GetMARCRecord() [%s] \r\n", m_pager.GetError().c_str());
        return -1;
    }
    if (block.size() < kMinRecordBlock) {
        BerTrace("Error in GetMARCRecord() [%s] \r\n", "no record in the answer");
        return -1;
    }
    record = BlockText(block);
    return static_cast<int>(record.size());
}

int CTunnel::GetMARC(CByteArray& out, const CDatabaseNode* db, int64_t number, bool full,
                     const std::string* fetched) {
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
            if (!full && db->m_briefTree) {
                CMARC source;
                CMARC brief;
                if (source.Create(diriv, db->m_briefTree.get(), error) < 0 || source.Reduce(brief, error) < 0 ||
                    brief.BuildMARC(diriv) < static_cast<int>(kMinRecordText)) {
                    if (error.empty())
                        error = "brief record of [" + path + "] too short";
                    diriv.clear();
                }
            }
            if (!diriv.empty() && CvtDirivToISO2709(diriv, out, (m_utf8 && m_recordsInCharset) ? 1 : 0, error,
                                                    db->MarcFormat()) != -1)
                return static_cast<int>(out.size());
        }
    } catch (extended_exception& e) {
        error = e.GetErrorMessage();
    } catch (...) {
        error = "GetMARC() error -- unknown";
    }
    out.clear();
    LogInfo("%s", error.c_str());
    return -1;
}

