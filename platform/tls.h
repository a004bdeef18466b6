#pragma once
// TLS for accepted connections (OpenSSL, TLS 1.2 and later): a server context made from a
// certificate chain and a key in PEM files, replaceable while connections use the old one, and a
// stream over one non-blocking socket whose handshake, receive and send mirror PlatRecv/PlatSend.
// Thread safety: PlatTlsContext any thread; one PlatTlsStream is used by one thread at a time.

#include <cstddef>
#include <memory>
#include <string>

#include "platform/mutex.h"
#include "platform/socket.h"
#include "platform/thread_annotations.h"

struct ssl_ctx_st;
struct ssl_st;

class PlatTlsContext {
public:
    PlatTlsContext() = default;
    ~PlatTlsContext();
    PlatTlsContext(const PlatTlsContext&) = delete;
    PlatTlsContext& operator=(const PlatTlsContext&) = delete;

    // Loads `certFile` (PEM chain) and `keyFile` (PEM key). On success they replace the
    // current ones for new streams; on failure `error` names the file and OpenSSL's reason and
    // the current ones stay. Any thread.
    bool Load(const std::string& certFile, const std::string& keyFile, std::string& error);
    bool IsLoaded() const;

private:
    friend class PlatTlsStream;
    mutable CMutex m_lock;
    ssl_ctx_st* m_ctx GUARDED_BY(m_lock) = nullptr;  // each stream holds its own reference
};

// Result of PlatTlsStream::Handshake.
enum PlatTlsHandshake { PLAT_TLS_DONE = 0, PLAT_TLS_WANT_READ, PLAT_TLS_WANT_WRITE, PLAT_TLS_FAILED };

class PlatTlsStream {
public:
    // A server-side stream on `socket` (not owned; the caller closes it after this is gone).
    // IsValid() is false when the context has no certificate or OpenSSL refused.
    PlatTlsStream(const PlatTlsContext& context, SOCKET_T socket);
    ~PlatTlsStream();
    PlatTlsStream(const PlatTlsStream&) = delete;
    PlatTlsStream& operator=(const PlatTlsStream&) = delete;

    bool IsValid() const { return m_ssl != nullptr; }
    // One step of the handshake; WANT_* says which readiness to wait for before the next step.
    PlatTlsHandshake Handshake();
    // OpenSSL's reason for the last failure ("" when none).
    std::string LastError() const { return m_error; }
    // As PlatRecv / PlatSend, over the TLS record layer.
    long Recv(void* buffer, size_t length);
    long Send(const void* data, size_t length);
    // True when decrypted bytes are buffered (readable without waiting for the socket).
    bool Pending() const;

private:
    long Status(int result);

    // Confined to the one thread using the stream at a time (see above).
    ssl_st* m_ssl = nullptr;
    std::string m_error;
};
