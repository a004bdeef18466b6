// TLS contexts and streams through OpenSSL (see tls.h).
#include "platform/tls.h"

#include <signal.h>

#include <mutex>  // std::call_once

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace {

std::string OpenSslError() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return "unknown TLS error";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

}  // namespace

PlatTlsContext::~PlatTlsContext() {
    SSL_CTX_free(m_ctx);
}

bool PlatTlsContext::Load(const std::string& certFile, const std::string& keyFile, std::string& error) {
    // OpenSSL writes to the socket itself, without MSG_NOSIGNAL: a peer gone mid-write must give
    // EPIPE, not end the process.
    static std::once_flag ignorePipe;
    std::call_once(ignorePipe, [] { signal(SIGPIPE, SIG_IGN); });
    error.clear();
    ERR_clear_error();
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx) {
        error = "cannot make a TLS context: " + OpenSslError();
        return false;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // No TLS 1.3 session tickets: sessions are not resumed, and some Z39.50 clients (yaz over
    // GnuTLS) take the post-handshake ticket records for a PDU of zero octets.
    SSL_CTX_set_num_tickets(ctx, 0);
    if (SSL_CTX_use_certificate_chain_file(ctx, certFile.c_str()) != 1) {
        error = "TLS certificate " + certFile + ": " + OpenSslError();
    } else if (SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        error = "TLS key " + keyFile + ": " + OpenSslError();
    } else if (SSL_CTX_check_private_key(ctx) != 1) {
        error = "TLS key " + keyFile + " does not match the certificate " + certFile;
    } else {
        CMutexLock lock(m_lock);
        std::swap(m_ctx, ctx);
    }
    SSL_CTX_free(ctx);  // the old context, or the refused new one; streams keep their references
    ERR_clear_error();
    return error.empty();
}

bool PlatTlsContext::IsLoaded() const {
    CMutexLock lock(m_lock);
    return m_ctx != nullptr;
}

PlatTlsStream::PlatTlsStream(const PlatTlsContext& context, SOCKET_T socket) {
    {
        CMutexLock lock(context.m_lock);
        if (context.m_ctx)
            m_ssl = SSL_new(context.m_ctx);
    }
    if (m_ssl && SSL_set_fd(m_ssl, socket) != 1) {
        SSL_free(m_ssl);
        m_ssl = nullptr;
    }
    if (m_ssl)
        SSL_set_accept_state(m_ssl);
}

PlatTlsStream::~PlatTlsStream() {
    SSL_free(m_ssl);
}

PlatTlsHandshake PlatTlsStream::Handshake() {
    if (!m_ssl)
        return PLAT_TLS_FAILED;
    ERR_clear_error();
    const int r = SSL_do_handshake(m_ssl);
    if (r == 1)
        return PLAT_TLS_DONE;
    const int e = SSL_get_error(m_ssl, r);
    if (e == SSL_ERROR_WANT_READ)
        return PLAT_TLS_WANT_READ;
    if (e == SSL_ERROR_WANT_WRITE)
        return PLAT_TLS_WANT_WRITE;
    m_error = e == SSL_ERROR_SYSCALL || e == SSL_ERROR_ZERO_RETURN ? "connection closed during the handshake"
                                                                   : OpenSslError();
    ERR_clear_error();
    return PLAT_TLS_FAILED;
}

long PlatTlsStream::Status(int result) {
    const int e = SSL_get_error(m_ssl, result);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE)
        return PLAT_IO_WOULDBLOCK;
    if (e == SSL_ERROR_ZERO_RETURN || e == SSL_ERROR_SYSCALL) {
        ERR_clear_error();
        return PLAT_IO_CLOSED;
    }
    m_error = OpenSslError();
    return PLAT_IO_ERROR;
}

long PlatTlsStream::Recv(void* buffer, size_t length) {
    if (length == 0)
        return 0;
    if (!m_ssl)
        return PLAT_IO_ERROR;
    ERR_clear_error();
    size_t n = 0;
    const int r = SSL_read_ex(m_ssl, buffer, length, &n);
    return r == 1 ? static_cast<long>(n) : Status(r);
}

long PlatTlsStream::Send(const void* data, size_t length) {
    if (length == 0)
        return 0;
    if (!m_ssl)
        return PLAT_IO_ERROR;
    ERR_clear_error();
    size_t n = 0;
    const int r = SSL_write_ex(m_ssl, data, length, &n);
    return r == 1 ? static_cast<long>(n) : Status(r);
}

bool PlatTlsStream::Pending() const {
    return m_ssl && SSL_pending(m_ssl) > 0;
}
