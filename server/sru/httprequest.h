#pragma once
// CHttpRequestReader: a strict, bounded reader of HTTP/1.1 requests from the octets of one
// connection (request line, header fields, a Content-Length body), with one limit per part, so a
// client can make the server hold no more than the limits' sum. Pipelined requests stay buffered
// for the next call. Chunked bodies are refused (501). No socket in it: the session feeds it.
// Also the first-octet test that tells an HTTP request from a BER frame, and the response writer.
// Thread safety: none; a reader belongs to one connection's thread.

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

struct CHttpRequest {
    std::string m_method;   // "GET", "POST", ...
    std::string m_target;   // the request target as sent ("/books?query=x")
    int m_minorVersion = 1; // HTTP/1.0 or HTTP/1.1
    std::vector<std::pair<std::string, std::string>> m_headers;  // in order, values trimmed
    std::string m_body;

    // The first value of the header `name` (case-insensitive), or null.
    const std::string* Header(const std::string& name) const;
    // Whether the connection stays open after the answer (HTTP/1.1 unless "close"; HTTP/1.0
    // only with "keep-alive").
    bool KeepAlive() const;
};

struct CHttpLimits {
    size_t m_requestLine = 8192;  // octets of the request line; above: 414
    size_t m_headers = 16384;     // octets of all header lines; above, or over m_fields: 431
    size_t m_fields = 100;
    size_t m_body = 1 << 20;      // Content-Length above: 413
};

enum class CHttpReadState { kNeedMore, kComplete, kError };

class CHttpRequestReader {
public:
    explicit CHttpRequestReader(const CHttpLimits& limits = CHttpLimits()) : m_limits(limits) {}

    // Appends `length` octets and reads what they complete. kComplete: Take() the request (the
    // octets after it are kept); kError: ErrorStatus() says which answer to give, and the
    // connection must be closed after it.
    CHttpReadState Feed(const char* data, size_t length);
    // Reads the next request from the octets already buffered (after a Take).
    CHttpReadState Next();
    CHttpRequest Take();

    int ErrorStatus() const { return m_status; }        // 400, 413, 414, 431, 501, 505
    const std::string& ErrorText() const { return m_error; }
    size_t Buffered() const { return m_buffer.size(); }

private:
    CHttpReadState Fail(int status, const char* text);
    // Parses the head (request line and fields) ending at `end` (the offset after its blank line).
    CHttpReadState ParseHead(size_t end);
    bool ParseRequestLine(const std::string& line);
    CHttpReadState ParseField(const std::string& line);

    CHttpLimits m_limits;
    std::string m_buffer;
    CHttpRequest m_request;
    bool m_headDone = false;
    size_t m_bodyLength = 0;
    int m_status = 0;
    std::string m_error;
};

// Whether the first octet of a connection starts an HTTP request line (an upper-case letter: no
// Z39.50 APDU begins with one, they are context-class constructed tags).
bool LooksLikeHttp(const unsigned char* data, size_t length);

// The reason phrase of the statuses the server sends ("" for others).
const char* HttpReason(int status);
// A whole HTTP/1.1 response: status line, Content-Type, Content-Length, Connection and the
// `extra` header lines (each ending in "\r\n"), then the body.
std::string BuildHttpResponse(int status, const std::string& contentType, const std::string& body, bool keepAlive,
                              const std::string& extra = std::string());
