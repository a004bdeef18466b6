// CTunnel Search service: reads a searchRequest, evaluates its type-1 query into a new result set,
// stores the set under its name (at most kMaxResultSets per session) and builds the
// searchResponse. Also the bookkeeping of the session's stored result sets.

#include <memory>
#include <string>

#include "berkit/bernode_decoders.h"
#include "berkit/bernode_values.h"
#include "server/dbarray.h"
#include "server/tunnel.h"
#include "server/tunnel_sets.h"
#include "server/tunnelarray.h"
#include "server/zrecordset.h"

namespace {

// searchRequest fields read (context tags).
constexpr unsigned kTagReferenceId = 2;
constexpr unsigned kTagSmallSetUpperBound = 13;
constexpr unsigned kTagLargeSetLowerBound = 14;
constexpr unsigned kTagMediumSetPresentNumber = 15;
constexpr unsigned kTagReplaceIndicator = 16;
constexpr unsigned kTagResultSetName = 17;
constexpr unsigned kTagDatabaseNames = 18;
constexpr unsigned kTagQuery = 21;

// searchResponse fields (context tags).
constexpr unsigned kTagResultCount = 23;
constexpr unsigned kTagRecordsReturned = 24;
constexpr unsigned kTagNextPosition = 25;
constexpr unsigned kTagSearchStatus = 22;

// A session holds at most this many result sets; the oldest goes first.
constexpr size_t kMaxResultSets = 21;

}  // namespace

void CTunnel::DeleteSameNameResultSet(const std::string& name) {
    size_t kept = 0;
    for (CZResultSet* set : m_resultSets) {
        if (set != nullptr && DBNameEquals(set->m_name, name)) {
            delete set;
            continue;
        }
        m_resultSets[kept++] = set;
    }
    m_resultSets.resize(kept);
}

int CTunnel::LimitRecordCountInResultSet(CZResultSet* set) {
    if (set == nullptr || m_owner == nullptr || Settings().m_maxResultSetSize < 1)
        return -1;
    return static_cast<int>(set->GetRowCount());
}

bool CTunnel::ProcessSearch(CBERNode* apdu) {
    CBERNode* rpn = nullptr;
    std::string name;
    for (CBERNode* child : apdu->m_arrChildren) {
        if (child == nullptr)
            continue;
        switch (child->m_uTag) {
        case kTagReferenceId:
        case kTagSmallSetUpperBound:
        case kTagLargeSetLowerBound:
        case kTagMediumSetPresentNumber:
        case kTagReplaceIndicator:
            break;  // read by the standard, without effect here: a set of the same name is replaced
        case kTagResultSetName:
            DecodeGeneralString(child->m_baContent, name, m_utf8);
            break;
        case kTagDatabaseNames:
            m_databaseNames.clear();
            DecodeDBName(child, m_databaseNames, m_utf8);
            break;
        case kTagQuery:
            rpn = GetRPNStructureRoot(child);
            break;
        default:
            break;
        }
    }
    if (rpn == nullptr)
        THROW_EXTENDED(0, "no query item");
    if (name.empty())
        name = "default";
    if (!IsLegalDatabase())
        THROW_EXTENDED(0, "illegal database name");

    auto result = std::make_unique<CZResultSet>();
    if (result->Create(nullptr) != 0)
        THROW_EXTENDED(0, " 'new' resultset failed, inner error or illegal db");
    result->m_name = name;

    bool succeeded = true;
    try {
        SearchDB(rpn, result.get());
    } catch (extended_exception& e) {
        LogInfo("%s", e.GetErrorMessage());
        succeeded = false;
    } catch (...) {
        LogInfo("search db error");
        succeeded = false;
    }
    if (!succeeded)
        result.reset();  // its data file goes with it
    if (m_bStop.load())
        return false;

    int resultCount = 0;
    int nextPosition = 0;
    if (succeeded) {
        DeleteSameNameResultSet(name);
        SortResultSet(*result);
        resultCount = static_cast<int>(result->GetRowCount());
        if (m_owner)
            m_owner->m_metrics.CountHits(resultCount);
        if (resultCount > 0) {
            LimitRecordCountInResultSet(result.get());
            nextPosition = 1;
            if (m_resultSets.size() >= kMaxResultSets && m_resultSets.front() != nullptr) {
                delete m_resultSets.front();
                m_resultSets.erase(m_resultSets.begin());
            }
            result->EnsureIndexed();
            m_resultSets.push_back(result.release());
        }
    }

    CBERNode* response = m_response.NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, Z_SEARCH_RESPONSE);
    response->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, kTagResultCount, resultCount);
    response->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, kTagRecordsReturned, 0);
    response->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, kTagNextPosition, nextPosition);
    response->NewChildBooleanNode(BER_CONTEXT, BER_PRIMITIVE, kTagSearchStatus, succeeded);
    return true;
}
