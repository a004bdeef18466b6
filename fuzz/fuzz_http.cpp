// The HTTP request reader on arbitrary octets, fed in two pieces: every request it completes stays
// within its limits, and a refusal carries a status.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "server/sru/httprequest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CHttpLimits limits;
    limits.m_requestLine = 256;
    limits.m_headers = 512;
    limits.m_body = 256;
    CHttpRequestReader reader(limits);
    const size_t half = size / 2;
    CHttpReadState state = reader.Feed(reinterpret_cast<const char*>(data), half);
    if (state == CHttpReadState::kNeedMore)
        state = reader.Feed(reinterpret_cast<const char*>(data) + half, size - half);
    while (state == CHttpReadState::kComplete) {
        const CHttpRequest request = reader.Take();
        if (request.m_body.size() > limits.m_body || request.m_target.size() > limits.m_requestLine)
            abort();
        state = reader.Next();
    }
    if (state == CHttpReadState::kError && reader.ErrorStatus() < 400)
        abort();
    LooksLikeHttp(data, size);
    return 0;
}
