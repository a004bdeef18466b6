#include "backend/strata/strata_errors.h"

namespace {

struct ErrorRow {
    int m_code;
    const char* m_text;
};

const ErrorRow kErrorTexts[] = {
    {kStrataChannelBroken, "channel broken"},
    {kStrataBadPath, "no such path"},
    {kStrataAccessDenied, "access denied"},
    {kStrataLoginFailed, "login failed: unknown user or wrong password"},
    {kStrataBadRecord, "bad record"},
    {kStrataBufferTooSmall, "answer buffer too small"},
    {kStrataCancelled, "call cancelled"},
    {kStrataRecordExists, "record already exists"},
    {kStrataNoSuchRecord, "no such record"},
    {kStrataBadArgument, "bad argument"},
    {kStrataStoreError, "store error"},
    {kStrataBadTerm, "bad search term"},
    {kStrataUnsupportedMode, "unsupported search qualifier"},
    {kStrataNoData, "no (more) data"},
    {kStrataLoginRequired, "login required"},
    {kStrataUnreachable, "back-end store unreachable"},
};

}  // namespace

const char* StrataErrorText(int code) {
    for (const ErrorRow& row : kErrorTexts) {
        if (row.m_code == code) return row.m_text;
    }
    return "unknown error";
}

std::string StrataErrorMessage(int code, const std::string& detail) {
    std::string text = StrataErrorText(code);
    if (!detail.empty()) text += ": " + detail;
    return text;
}
