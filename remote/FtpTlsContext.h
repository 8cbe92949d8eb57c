#pragma once

#include <QString>

typedef struct ssl_ctx_st SSL_CTX;

// The authorities trusted for the server's certificate, shared by the connections of a login.
class FtpTlsContext {
public:
    // An empty caFile trusts the system's authorities. Throws FtpError when the file cannot
    // be used.
    explicit FtpTlsContext(const QString& caFile);
    ~FtpTlsContext();
    FtpTlsContext(const FtpTlsContext&) = delete;
    FtpTlsContext& operator=(const FtpTlsContext&) = delete;

    SSL_CTX* get() const { return m_ctx; }

private:
    SSL_CTX* m_ctx = nullptr;
};
