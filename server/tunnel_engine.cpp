// CTunnel and the search engine: the session-less context this association gives the evaluator
// and the record service, the one place its queries are decoded, and the delegates that keep the
// session's own search and record calls.

#include <poll.h>

#include "berkit/bernode_query.h"
#include "berkit/codepage.h"
#include "server/evaluator.h"
#include "server/recordservice.h"
#include "server/tunnel.h"
#include "server/tunnelarray.h"

namespace {

// Whether the client has closed its end while a long search runs on: the search is then
// abandoned instead of finished for nobody. Looks without waiting. A session without a socket
// (closed by the operator, or driven in-process) leaves the decision to its stop flag.
bool PeerHasLeft(SOCKET_T s) {
    if (s == INVALID_SOCKET_T)
        return false;
    pollfd p{s, POLLRDHUP, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

}  // namespace

CChannelAccess CTunnel::ChannelAccess() {
    CChannelAccess access;
    access.m_pager = &m_pager;
    access.m_interface = m_owner ? &m_owner->m_interface : nullptr;
    access.m_user = GetUserId();
    access.m_password = m_password;
    access.m_allowAnonymous = Settings().m_allowAnonymous;
    access.m_lost = [this] { CloseForBrokenBackend(); };
    if (m_owner)
        access.m_answered = [outage = &m_owner->m_outage, begun = std::chrono::steady_clock::now()] {
            outage->Answered(begun);
        };
    return access;
}

CSearchContext CTunnel::SearchContext() {
    CSearchContext context;
    context.m_channel = ChannelAccess();
    context.m_databases = m_databaseNames;
    m_catalogue.Bind(m_owner ? &m_owner->m_databases : nullptr, Settings().m_forbidDatabase);
    context.m_catalogue = &m_catalogue;
    context.m_sets = &m_resultSets;
    context.m_hitLimit = m_owner ? static_cast<int64_t>(Settings().m_maxSearchHits) : 0;
    context.m_stop = &m_bStop;
    context.m_bib1 = Bib1Diagnostics();
    context.m_defaultUse = Settings().m_defaultUseAttribute;
    context.m_abandoned = [this] {
        if (!PeerHasLeft(m_socket.load()))
            return false;
        Close();  // nobody waits for this search any more
        return true;
    };
    return context;
}

std::unique_ptr<CZQueryNode> CTunnel::DecodeSessionQuery(CBERNode* rpn) {
    std::unique_ptr<CZQueryNode> query =
        DecodeQuery(rpn, m_utf8, Bib1Diagnostics() ? CZQueryReading::kLenient : CZQueryReading::kStrict);
    ForEachQueryTerm(query.get(), [this](CZQueryTerm& t) { t.m_term = SessionTerm(t.m_term); });
    return query;
}

std::string CTunnel::SessionTerm(const std::string& term) const {
    if (m_utf8)  // negotiated UTF-8 is converted by the decoder already
        return term;
    CQueryCharset charset = CQueryCharset::kAnsi;
    ParseQueryCharset(Settings().m_queryCharset, charset);
    return charset == CQueryCharset::kAnsi ? term : QueryTermToAnsi(term, charset);
}

void CTunnel::EnsureChannel() {
    CDiagnostic error;
    if (!ChannelAccess().Prepare(error))
        THROW_EXTENDED(0, error.m_message);
}

int CTunnel::SearchDB(CBERNode* node, CZResultSet* target, int /*depth*/) {
    const CSearchContext context = SearchContext();
    CQueryEvaluator evaluator(context);
    const std::unique_ptr<CZQueryNode> query = DecodeSessionQuery(node);
    const CDiagnostic error = target == nullptr ? CDiagnostic::System("bad RPN structure")
                                                : evaluator.Evaluate(query.get(), *target);
    if (error)
        THROW_EXTENDED(0, error.m_message);
    return 0;
}

int CTunnel::SearchDBMulti(CZResultSet* target, int use, const std::string& term) {
    const CSearchContext context = SearchContext();
    CQueryEvaluator evaluator(context);
    const CDiagnostic error = target == nullptr ? CDiagnostic::System("bad RPN structure")
                                                : evaluator.SearchDatabases(*target, use, term);
    if (error)
        THROW_EXTENDED(0, error.m_message);
    return 0;
}

int CTunnel::SearchDBUseStrata(const std::string& dbName, const std::string& path, CZResultSet* target) {
    if (target == nullptr)
        return -1;
    const CSearchContext context = SearchContext();
    return CQueryEvaluator(context).SearchPath(dbName, path, *target);
}

int CTunnel::ConstructSearchPath(const CDatabaseNode* db, int use, const std::string& term, std::string& path) {
    return CQueryEvaluator::ConstructSearchPath(db, use, term, path);
}

bool CTunnel::FindAndCopyExistResultSet(const std::string& name, CZResultSet* target) {
    if (target == nullptr || m_resultSets.Find(name) == nullptr)
        return false;
    if (m_resultSets.CopyInto(name, *target))
        THROW_EXTENDED(0, "copy of resultset failed");
    return true;
}

CRecordForm CTunnel::RecordForm(bool full, const std::string& syntax) {
    CRecordForm form;
    form.m_full = full;
    if (m_owner && Bib1Diagnostics()) {
        form.m_syntax = syntax;
        form.m_standardLeader = true;
    }
    form.m_utf8 = m_utf8 && m_recordsInCharset;
    form.m_style = (m_owner && Settings().m_backendVersion == 1 && !m_fullRecords) ? kStrataStyleBriefRecord
                                                                                  : kStrataStyleRecord;
    return form;
}

int CTunnel::GetMARCRecordPath(const CDatabaseNode* db, int64_t number, std::string& path) {
    return CRecordService::GetMARCRecordPath(db, number, path);
}

int CTunnel::GetMARCRecord(const std::string& path, std::string& record) {
    const CChannelAccess channel = ChannelAccess();
    return CRecordService(channel, RecordForm(m_fullRecords)).GetMARCRecord(path, record);
}

int CTunnel::GetMARC(CByteArray& out, const CDatabaseNode* db, int64_t number, bool full) {
    const CChannelAccess channel = ChannelAccess();
    CRecordResult record = CRecordService(channel, RecordForm(full)).Convert(db, number, nullptr);
    if (record.m_error) {
        LogInfo("%s", record.m_error.m_message.c_str());
        out.clear();
        return -1;
    }
    out.swap(record.m_octets);
    return static_cast<int>(out.size());
}
