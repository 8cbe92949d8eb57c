#include "FtpStream.h"
#include "FtpTlsContext.h"

#include "FtpError.h"
#include "FtpReply.h"

#include <QFile>
#include <climits>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace {

constexpr int kChunk = 16384;

// OpenSSL's queued error texts, oldest first.
QString opensslErrors() {
    QStringList texts;
    while (const unsigned long e = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(e, buffer, sizeof buffer);
        texts << QString::fromUtf8(buffer);
    }
    return texts.isEmpty() ? QStringLiteral("erro desconhecido") : texts.join(QStringLiteral("; "));
}

// Why a certificate was refused, in the user's words and OpenSSL's.
QString verifyReason(long result, const QString& host) {
    const QString openssl = QString::fromUtf8(X509_verify_cert_error_string(result));
    switch (result) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return QStringLiteral("emitido para outro nome, não para %1 (%2)").arg(host, openssl);
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        return QStringLiteral("emitido por uma autoridade certificadora desconhecida (%1)")
            .arg(openssl);
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return QStringLiteral("vencido (%1)").arg(openssl);
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return QStringLiteral("ainda não válido (%1)").arg(openssl);
    default:
        return openssl;
    }
}

int streamIndex() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

[[noreturn]] void timedOut() { throw FtpError(0, QStringLiteral("Read timed out.")); }

[[noreturn]] void tlsFailure() {
    throw FtpError(
        0, QStringLiteral("Erro de TLS na conexão com o servidor FTP: %1").arg(opensslErrors()));
}

} // namespace

// ---- context ----------------------------------------------------------------------------

FtpTlsContext::FtpTlsContext(const QString& caFile) {
    m_ctx = SSL_CTX_new(TLS_client_method());
    if (!m_ctx)
        tlsFailure();
    SSL_CTX_set_min_proto_version(m_ctx, TLS1_2_VERSION);
    SSL_CTX_set_verify(m_ctx, SSL_VERIFY_PEER, nullptr);
    // Sessions are kept per control connection (rememberSession), for its data connections.
    SSL_CTX_set_session_cache_mode(m_ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(m_ctx, &FtpStream::rememberSession);
    const int loaded =
        caFile.isEmpty()
            ? SSL_CTX_set_default_verify_paths(m_ctx)
            : SSL_CTX_load_verify_locations(m_ctx, QFile::encodeName(caFile).constData(), nullptr);
    if (loaded != 1) {
        const QString why = opensslErrors();
        SSL_CTX_free(m_ctx);
        m_ctx = nullptr;
        throw FtpError(0, caFile.isEmpty()
                              ? QStringLiteral("As autoridades certificadoras do sistema não "
                                               "puderam ser carregadas: %1")
                                    .arg(why)
                              : QStringLiteral("O arquivo de autoridades certificadoras do FTP "
                                               "\"%1\" não pôde ser usado: %2")
                                    .arg(caFile, why));
    }
}

FtpTlsContext::~FtpTlsContext() { SSL_CTX_free(m_ctx); }

// ---- stream -----------------------------------------------------------------------------

FtpStream::~FtpStream() { close(); }

int FtpStream::rememberSession(SSL* ssl, SSL_SESSION* session) {
    // Only a control connection has an owner: a session from a data connection is not the
    // control connection's, which a server may check.
    auto* owner = static_cast<FtpStream*>(SSL_get_ex_data(ssl, streamIndex()));
    if (!owner)
        return 0;
    SSL_SESSION_free(owner->m_session);
    owner->m_session = session;
    return 1; // the reference is ours now
}

void FtpStream::connect(const QString& address, int port, QDeadlineTimer deadline) {
    close();
    m_socket.connect(address, port, deadline);
}

void FtpStream::freeTls() {
    SSL_free(m_ssl); // frees both memory buffers
    m_ssl = nullptr;
    m_in = m_out = nullptr;
    SSL_SESSION_free(m_session);
    m_session = nullptr;
    m_needBytes = m_eof = false;
}

void FtpStream::flush(QDeadlineTimer deadline) {
    char buffer[kChunk];
    while (BIO_ctrl_pending(m_out) > 0) {
        const int n = BIO_read(m_out, buffer, sizeof buffer);
        if (n <= 0)
            break;
        m_socket.send(buffer, n, deadline);
    }
}

bool FtpStream::pull() {
    if (m_eof)
        return false;
    char buffer[kChunk];
    const qsizetype n = m_socket.receive(buffer, sizeof buffer);
    if (n < 0)
        return false;
    if (n == 0) {
        m_eof = true;
        BIO_set_mem_eof_return(m_in, 0); // OpenSSL now sees the end of the stream
    } else {
        BIO_write(m_in, buffer, int(n));
        m_needBytes = false;
    }
    return true;
}

void FtpStream::waitForBytes(QDeadlineTimer deadline) {
    if (!pull() && !m_eof) {
        if (!m_socket.waitReadable(deadline))
            timedOut();
        pull();
    }
}

void FtpStream::failHandshake(const QString& host) {
    const long result = SSL_get_verify_result(m_ssl);
    const QString why = opensslErrors();
    m_certificateRefused = result != X509_V_OK;
    if (m_certificateRefused)
        throw FtpError(0, QStringLiteral("Certificado do servidor FTP recusado: %1")
                              .arg(verifyReason(result, host)));
    if (m_eof)
        throw FtpError(0, QStringLiteral("O servidor FTP encerrou a conexão durante a "
                                         "negociação TLS."));
    throw FtpError(0, QStringLiteral("Falha na negociação TLS com o servidor FTP: %1").arg(why));
}

void FtpStream::startTls(const FtpTlsContext& context, const QString& host, FtpStream* sessionsFrom,
                         QDeadlineTimer deadline) {
    if (host.isEmpty()) // an empty name would switch the name check off
        throw FtpError(0, QStringLiteral("Sem nome de servidor FTP para conferir o certificado."));
    freeTls();
    m_certificateRefused = false;
    ERR_clear_error();
    m_ssl = SSL_new(context.get());
    if (!m_ssl)
        tlsFailure();
    m_in = BIO_new(BIO_s_mem());
    m_out = BIO_new(BIO_s_mem());
    if (!m_in || !m_out) {
        BIO_free(m_in);
        BIO_free(m_out);
        m_in = m_out = nullptr;
        freeTls();
        tlsFailure();
    }
    BIO_set_mem_eof_return(m_in, -1); // empty: wait for more, not the end
    SSL_set_bio(m_ssl, m_in, m_out);
    if (!sessionsFrom)
        SSL_set_ex_data(m_ssl, streamIndex(), this);

    const QByteArray name = host.toUtf8();
    X509_VERIFY_PARAM* param = SSL_get0_param(m_ssl);
    if (X509_VERIFY_PARAM_set1_ip_asc(param, name.constData()) != 1) {
        // A DNS name: checked against the certificate, and sent so that a server holding
        // several names picks the right certificate.
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        if (SSL_set1_host(m_ssl, name.constData()) != 1 ||
            SSL_set_tlsext_host_name(m_ssl, name.constData()) != 1)
            tlsFailure();
    }
    if (sessionsFrom && sessionsFrom->m_session) {
        // The control connection's session itself would be spent after one data connection;
        // the next would then start a new session, which such servers refuse.
        SSL_SESSION* copy = SSL_SESSION_dup(sessionsFrom->m_session);
        if (!copy || SSL_set_session(m_ssl, copy) != 1) {
            SSL_SESSION_free(copy);
            tlsFailure();
        }
        SSL_SESSION_free(copy); // m_ssl holds its own reference
    }

    for (;;) {
        ERR_clear_error();
        const int r = SSL_connect(m_ssl);
        flush(deadline);
        if (r == 1)
            return;
        const int e = SSL_get_error(m_ssl, r);
        if (e == SSL_ERROR_WANT_READ && !m_eof) {
            waitForBytes(deadline);
            continue;
        }
        failHandshake(host);
    }
}

void FtpStream::send(const char* data, qsizetype size, QDeadlineTimer deadline) {
    if (!m_ssl) {
        m_socket.send(data, size, deadline);
        return;
    }
    while (size > 0) {
        ERR_clear_error();
        const int n = SSL_write(m_ssl, data, int(qMin<qsizetype>(size, kChunk)));
        if (n > 0) {
            data += n;
            size -= n;
            flush(deadline);
            continue;
        }
        const int e = SSL_get_error(m_ssl, n);
        if (e == SSL_ERROR_WANT_READ && !m_eof) {
            flush(deadline);
            waitForBytes(deadline);
            continue;
        }
        if (m_eof)
            throw FtpError(0, FtpSocket::errorMessage(EPIPE));
        tlsFailure();
    }
}

bool FtpStream::waitReadable(QDeadlineTimer deadline) {
    if (m_ssl && (SSL_has_pending(m_ssl) || m_eof || (!m_needBytes && BIO_ctrl_pending(m_in) > 0)))
        return true;
    return m_socket.waitReadable(deadline);
}

qsizetype FtpStream::receive(char* buffer, qsizetype size) {
    if (!m_ssl)
        return m_socket.receive(buffer, size);
    for (;;) {
        ERR_clear_error();
        const int n = SSL_read(m_ssl, buffer, int(qMin<qsizetype>(size, INT_MAX)));
        if (n > 0)
            return n;
        const int e = SSL_get_error(m_ssl, n);
        if (e == SSL_ERROR_ZERO_RETURN)
            return 0; // the peer's close_notify
        if (e == SSL_ERROR_WANT_READ && !m_eof) {
            m_needBytes = true;
            if (!pull())
                return -1;
            continue;
        }
        // The connection ended without close_notify. The final reply on the control
        // connection tells whether the transfer was complete.
        if (m_eof)
            return 0;
        tlsFailure();
    }
}

void FtpStream::finish(QDeadlineTimer deadline) {
    if (!m_ssl)
        return;
    ERR_clear_error();
    if (SSL_shutdown(m_ssl) < 0)
        tlsFailure();
    flush(deadline);
    // Half-closed, a server that waits for the end of the stream stops waiting.
    m_socket.shutdownWrite();
    char buffer[kChunk];
    for (;;) {
        const qsizetype n = receive(buffer, sizeof buffer);
        if (n == 0)
            return;
        if (n < 0 && !m_socket.waitReadable(deadline))
            timedOut();
    }
}

void FtpStream::close() {
    if (m_ssl && m_socket.isOpen()) {
        try {
            if (!(SSL_get_shutdown(m_ssl) & SSL_SENT_SHUTDOWN) && SSL_shutdown(m_ssl) >= 0)
                flush(QDeadlineTimer(0));
        } catch (const FtpError&) {
            // a socket with no room left for the alert: the close still happens
        }
    }
    ERR_clear_error();
    freeTls();
    m_socket.close();
}

void FtpStream::abort() {
    freeTls();
    m_socket.abort();
}
