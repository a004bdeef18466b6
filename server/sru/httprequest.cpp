// CHttpRequestReader: request line, header fields and body, each bounded; see the header.
#include "server/sru/httprequest.h"

#include <strings.h>

#include <algorithm>

namespace {

bool IsTokenChar(unsigned char c) {
    if (c >= '0' && c <= '9')
        return true;
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z')
        return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

std::string Trim(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t'))
        ++begin;
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t'))
        --end;
    return text.substr(begin, end - begin);
}

// The end of the line starting at `from` (the offset of its '\n'), or npos.
size_t LineEnd(const std::string& buffer, size_t from) {
    return buffer.find('\n', from);
}

// The line [from, end) without its CR.
std::string LineText(const std::string& buffer, size_t from, size_t end) {
    if (end > from && buffer[end - 1] == '\r')
        --end;
    return buffer.substr(from, end - from);
}

}  // namespace

const std::string* CHttpRequest::Header(const std::string& name) const {
    for (const auto& [key, value] : m_headers)
        if (strcasecmp(key.c_str(), name.c_str()) == 0)
            return &value;
    return nullptr;
}

bool CHttpRequest::KeepAlive() const {
    const std::string* connection = Header("Connection");
    if (connection != nullptr && strcasecmp(connection->c_str(), "close") == 0)
        return false;
    if (m_minorVersion == 0)
        return connection != nullptr && strcasecmp(connection->c_str(), "keep-alive") == 0;
    return true;
}

CHttpReadState CHttpRequestReader::Fail(int status, const char* text) {
    m_status = status;
    m_error = text;
    return CHttpReadState::kError;
}

CHttpReadState CHttpRequestReader::Feed(const char* data, size_t length) {
    if (m_status != 0)
        return CHttpReadState::kError;
    m_buffer.append(data, length);
    return Next();
}

CHttpReadState CHttpRequestReader::Next() {
    if (m_status != 0)
        return CHttpReadState::kError;
    if (!m_headDone) {
        // Blank lines before a request line are ignored (RFC 9112 2.2).
        size_t skip = 0;
        while (skip < m_buffer.size() && (m_buffer[skip] == '\r' || m_buffer[skip] == '\n') && skip < 4)
            ++skip;
        m_buffer.erase(0, skip);
        const size_t lineEnd = LineEnd(m_buffer, 0);
        if (lineEnd == std::string::npos)
            return m_buffer.size() > m_limits.m_requestLine ? Fail(414, "request line too long")
                                                            : CHttpReadState::kNeedMore;
        if (lineEnd > m_limits.m_requestLine)
            return Fail(414, "request line too long");
        // The head ends with an empty line; its fields may not outgrow the limit meanwhile.
        size_t from = lineEnd + 1;
        for (;;) {
            const size_t end = LineEnd(m_buffer, from);
            if (end == std::string::npos) {
                if (m_buffer.size() - (lineEnd + 1) > m_limits.m_headers)
                    return Fail(431, "header fields too large");
                return CHttpReadState::kNeedMore;
            }
            if (end + 1 - (lineEnd + 1) > m_limits.m_headers)
                return Fail(431, "header fields too large");
            if (LineText(m_buffer, from, end).empty()) {
                const CHttpReadState state = ParseHead(end + 1);
                if (state != CHttpReadState::kComplete)
                    return state;
                break;
            }
            from = end + 1;
        }
    }
    if (m_buffer.size() < m_bodyLength)
        return CHttpReadState::kNeedMore;
    m_request.m_body = m_buffer.substr(0, m_bodyLength);
    m_buffer.erase(0, m_bodyLength);
    return CHttpReadState::kComplete;
}

CHttpReadState CHttpRequestReader::ParseHead(size_t end) {
    m_request = CHttpRequest();
    size_t from = 0;
    size_t lineEnd = LineEnd(m_buffer, from);
    if (!ParseRequestLine(LineText(m_buffer, from, lineEnd)))
        return CHttpReadState::kError;
    for (from = lineEnd + 1; from < end;) {
        lineEnd = LineEnd(m_buffer, from);
        const std::string line = LineText(m_buffer, from, lineEnd);
        from = lineEnd + 1;
        if (line.empty())
            break;
        if (ParseField(line) == CHttpReadState::kError)
            return CHttpReadState::kError;
    }
    m_buffer.erase(0, end);
    if (m_request.Header("Transfer-Encoding") != nullptr)
        return Fail(501, "transfer codings are not supported");
    m_bodyLength = 0;
    for (const auto& [key, value] : m_request.m_headers) {
        if (strcasecmp(key.c_str(), "Content-Length") != 0)
            continue;
        if (value.empty() || value.size() > 12 || !std::all_of(value.begin(), value.end(), ::isdigit))
            return Fail(400, "bad Content-Length");
        const size_t length = std::stoull(value);
        if (length > m_limits.m_body)
            return Fail(413, "request body too large");
        if (m_bodyLength != 0 && m_bodyLength != length)
            return Fail(400, "conflicting Content-Length");
        m_bodyLength = length;
    }
    m_headDone = true;
    return CHttpReadState::kComplete;
}

bool CHttpRequestReader::ParseRequestLine(const std::string& line) {
    const size_t space1 = line.find(' ');
    const size_t space2 = space1 == std::string::npos ? space1 : line.find(' ', space1 + 1);
    if (space2 == std::string::npos || line.find(' ', space2 + 1) != std::string::npos) {
        Fail(400, "bad request line");
        return false;
    }
    m_request.m_method = line.substr(0, space1);
    m_request.m_target = line.substr(space1 + 1, space2 - space1 - 1);
    const std::string version = line.substr(space2 + 1);
    if (m_request.m_method.empty() ||
        !std::all_of(m_request.m_method.begin(), m_request.m_method.end(),
                     [](unsigned char c) { return IsTokenChar(c); }) ||
        m_request.m_target.empty() ||
        std::any_of(m_request.m_target.begin(), m_request.m_target.end(),
                    [](unsigned char c) { return c <= 0x20 || c >= 0x7F; })) {
        Fail(400, "bad request line");
        return false;
    }
    if (version == "HTTP/1.1" || version == "HTTP/1.0") {
        m_request.m_minorVersion = version.back() - '0';
        return true;
    }
    if (version.rfind("HTTP/", 0) == 0)
        Fail(505, "HTTP version not supported");
    else
        Fail(400, "bad request line");
    return false;
}

CHttpReadState CHttpRequestReader::ParseField(const std::string& line) {
    if (m_request.m_headers.size() >= m_limits.m_fields)
        return Fail(431, "too many header fields");
    const size_t colon = line.find(':');
    if (colon == 0 || colon == std::string::npos)
        return Fail(400, "bad header field");
    const std::string name = line.substr(0, colon);
    if (!std::all_of(name.begin(), name.end(), [](unsigned char c) { return IsTokenChar(c); }))
        return Fail(400, "bad header field");  // also a folded line, which starts with a space
    const std::string value = Trim(line.substr(colon + 1));
    if (std::any_of(value.begin(), value.end(), [](unsigned char c) { return c < 0x20 && c != '\t'; }))
        return Fail(400, "bad header field");
    m_request.m_headers.emplace_back(name, value);
    return CHttpReadState::kNeedMore;
}

CHttpRequest CHttpRequestReader::Take() {
    m_headDone = false;
    m_bodyLength = 0;
    CHttpRequest request = std::move(m_request);
    m_request = CHttpRequest();
    return request;
}

bool LooksLikeHttp(const unsigned char* data, size_t length) {
    return length > 0 && data[0] >= 'A' && data[0] <= 'Z';
}

const char* HttpReason(int status) {
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Content Too Large";
    case 414: return "URI Too Long";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "";
    }
}

std::string BuildHttpResponse(int status, const std::string& contentType, const std::string& body, bool keepAlive,
                              const std::string& extra) {
    std::string out = "HTTP/1.1 " + std::to_string(status) + " " + HttpReason(status) + "\r\n";
    out += "Content-Type: " + contentType + "\r\n";
    out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    out += keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    out += extra;
    out += "\r\n";
    out += body;
    return out;
}
