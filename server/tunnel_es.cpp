// CTunnel Extended Services: the Z39.50 "Update" task (insert, replace, delete). Each supplied
// ISO 2709 record is converted to Diriv and written through the session's own channel under the
// record number of its field 001. No task package is kept; the answer is the operation status.

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "berkit/bernode_apdu.h"
#include "berkit/bernode_decoders.h"
#include "berkit/bernode_values.h"
#include "berkit/bertrace.h"
#include "berkit/extended_exception.h"
#include "berkit/marcglobal.h"
#include "server/dbarray.h"
#include "server/tunnel.h"
#include "server/tunnel_es.h"
#include "server/tunnelarray.h"

namespace {

// ISO 2709 layout.
constexpr size_t kLeaderSize = 24;
constexpr size_t kEntrySize = 12;

// Write style of an update action; -1 for actions the server does not carry out.
int WriteStyle(int32_t action) {
    switch (action) {
    case 1: return 1;  // recordInsert
    case 2: return 3;  // recordReplace
    case 3: return 5;  // recordDelete
    default: return -1;
    }
}

// Decimal value of `count` octets at `p`, or -1 when one of them is not a digit.
long DigitsValue(const unsigned char* p, size_t count) {
    long value = 0;
    for (size_t i = 0; i < count; ++i) {
        if (p[i] < '0' || p[i] > '9')
            return -1;
        value = value * 10 + (p[i] - '0');
    }
    return value;
}

}  // namespace

int ESRecordNumber(const CByteArray& record, std::string& digits, std::string& error) {
    const size_t n = record.size();
    if (n < kLeaderSize) {
        error = "record shorter than its leader";
        return -1;
    }
    const long base = DigitsValue(record.data() + 12, 5);
    if (base < static_cast<long>(kLeaderSize + 1) || static_cast<size_t>(base) > n) {
        error = "bad base address of data";
        return -1;
    }
    // Entries run from the end of the leader to the directory terminator just before the base.
    const size_t dirEnd = static_cast<size_t>(base) - 1;
    for (size_t at = kLeaderSize; at + kEntrySize <= dirEnd; at += kEntrySize) {
        const unsigned char* entry = record.data() + at;
        if (entry[0] != '0' || entry[1] != '0' || entry[2] != '1')
            continue;
        const long length = DigitsValue(entry + 3, 4);
        const long start = DigitsValue(entry + 7, 5);
        if (length < 0 || start < 0 || static_cast<size_t>(base + start + length) > n) {
            error = "field 001 lies outside the record";
            return -1;
        }
        const char* field = reinterpret_cast<const char*>(record.data()) + base + start;
        std::string text(field, static_cast<size_t>(length));
        while (!text.empty() && (text.back() == '\x1e' || text.back() == ' '))
            text.pop_back();
        const size_t first = text.find_first_not_of(' ');
        text.erase(0, first == std::string::npos ? text.size() : first);
        if (text.empty()) {
            error = "field 001 is empty";
            return -1;
        }
        if (text.find_first_not_of("0123456789") != std::string::npos) {
            error = "field 001 [" + text + "] is not a record number";
            return -1;
        }
        // Leading zeros beyond the seven places are harmless; any other digit there would name a
        // different record once the number is cut to seven places.
        const size_t significant = text.find_first_not_of('0');
        if (significant == std::string::npos) {
            error = "field 001 holds record number 0";
            return -1;
        }
        if (text.size() - significant > 7) {
            error = "field 001 [" + text + "] is above the largest record number";
            return -1;
        }
        char seven[16];
        snprintf(seven, sizeof seven, "%07lld", std::stoll(text.substr(significant)));
        digits = seven;
        return 0;
    }
    error = "record has no field 001";
    return -1;
}

int CTunnel::ESUpdateRecord(int32_t action, std::string database, std::string /*syntax*/,
                            const CByteArray& record) {
    std::string dbPath;
    CMarcFormat format = CMarcFormat::kUnimarc;
    if (const CDatabaseNode* entry = GetDatabasePtr(database.c_str())) {
        dbPath = entry->m_dbPath;
        format = entry->MarcFormat();
    } else {
        BerTrace("update: unknown database [%s]\r\n", database.c_str());
        return -1;
    }

    std::string digits;
    std::string error;
    if (ESRecordNumber(record, digits, error) != 0) {
        BerTrace("update: %s\r\n", error.c_str());
        return -1;
    }
    const std::string path = dbPath + "/ctlno/" + digits;
    const int style = WriteStyle(action);
    if (style < 0)
        return -1;

    // A record that does not convert is never written, whatever the action: an insert or a
    // replace would otherwise store nothing, and a delete would act on a record it cannot read.
    std::string diriv;
    if (Iso2Diriv(record, diriv, error, false, false, format) <= 23 || diriv.size() >= static_cast<size_t>(INT_MAX)) {
        BerTrace("update: %s\r\n", error.c_str());
        return -1;
    }

    try {
        EnsureChannel();
    } catch (extended_exception& e) {
        BerTrace("%s\r\n", e.GetErrorMessage());
        return -1;
    }
    // A channel prepared anew logs in with the session's own account (never the anonymous one).
    if (m_pager.Write(path, diriv, style) == CPagerResult::kDone)
        return 0;
    BerTrace("%s\nupdate record error\r\n", m_pager.GetError().c_str());
    return -1;
}

bool CTunnel::ProcessExtServices(CBERNode* apdu) {
    CZESRequest request;
    DecodeExtServicesRequest(apdu, request);
    const int status = m_authenticated && request.m_packageType == kZOidUpdateTask && request.m_esRequest != nullptr
                           ? ServeUpdate(request.m_esRequest)
                           : Z_ES_FAILURE;
    BuildESResponse(m_response, request.m_referenceId, status);
    return true;
}

int CTunnel::ServeUpdate(CBERNode* esRequest) {
    long action = 0;
    std::string database;
    CBERNode* records = DecodeESRequest(esRequest, action, database, false);
    if (records == nullptr || database.empty() || action < 1 || action > 3)
        return Z_ES_FAILURE;
    BerTrace("action = [%d], dbname = [%s]\n", static_cast<int>(action), database.c_str());
    for (CBERNode* record : records->m_arrChildren) {
        if (record == nullptr || record->m_uTag != kZTagSuppliedRecord)
            continue;
        std::string unused;
        std::string syntax;
        CByteArray data;
        if (m_bStop.load() || DecodeESUpdateRecord(record, unused, syntax, data) != 0 ||
            ESUpdateRecord(static_cast<int32_t>(action), database, syntax, data) != 0)
            return Z_ES_FAILURE;  // records written before this one stay written
    }
    return Z_ES_DONE;
}
