#pragma once

// TLS for the FTP client's connections (explicit FTPS, RFC 4217) on OpenSSL. OpenSSL reads
// and writes memory buffers that this layer carries to and from FtpSocket, so every socket
// call stays in FtpSocket.cpp and every wait keeps the deadline of its operation.

#include "FtpSocket.h"
#include "FtpTlsContext.h"

#include <QDeadlineTimer>
#include <QString>
#include <vector>

typedef struct ssl_st SSL;
typedef struct ssl_session_st SSL_SESSION;
typedef struct bio_st BIO;

// One connection of the client, control or data: a socket, with TLS over it once startTls
// has run. The reading and writing calls behave as FtpSocket's do.
class FtpStream {
public:
    FtpStream() = default;
    ~FtpStream();
    FtpStream(const FtpStream&) = delete;
    FtpStream& operator=(const FtpStream&) = delete;

    void connect(const QString& address, int port, QDeadlineTimer deadline);

    // The TLS handshake as the client. The certificate must chain to a trusted authority and
    // name `host` (a DNS name or an IPv4 address). A data connection passes the control
    // connection, whose session it resumes (servers may insist on that): the newest session
    // the server handed out there, never one from another data connection.
    void startTls(const FtpTlsContext& context, const QString& host, FtpStream* sessionsFrom,
                  QDeadlineTimer deadline);
    bool isTls() const { return m_ssl != nullptr; }
    // Whether the last startTls failed because the server's certificate was refused.
    bool certificateRefused() const { return m_certificateRefused; }

    bool isOpen() const { return m_socket.isOpen(); }
    QString peerAddress() const { return m_socket.peerAddress(); }
    void send(const char* data, qsizetype size, QDeadlineTimer deadline);
    void send(const QByteArray& data, QDeadlineTimer deadline) {
        send(data.constData(), data.size(), deadline);
    }
    bool waitReadable(QDeadlineTimer deadline);
    // Without waiting: bytes read, 0 once the peer has closed, -1 when nothing is there yet.
    qsizetype receive(char* buffer, qsizetype size);

    // Ends TLS in order: our close_notify, then whatever the peer still sends until it closes
    // too. A server takes an upload as complete only after this. Nothing in clear text.
    void finish(QDeadlineTimer deadline);
    // Closes; in TLS a close_notify goes out first when the socket has room for it.
    void close();
    // Closes with a reset: the peer sees a broken transfer.
    void abort();

private:
    friend class FtpTlsContext; // installs rememberSession

    void flush(QDeadlineTimer deadline);
    bool pull();
    void waitForBytes(QDeadlineTimer deadline);
    void freeTls();
    [[noreturn]] void failHandshake(const QString& host);
    static int rememberSession(SSL* ssl, SSL_SESSION* session);

    FtpSocket m_socket;
    SSL* m_ssl = nullptr;
    BIO* m_in = nullptr;      // owned by m_ssl: bytes from the socket
    BIO* m_out = nullptr;     // owned by m_ssl: bytes for the socket
    bool m_needBytes = false; // what m_in holds is no whole record
    bool m_eof = false;
    bool m_certificateRefused = false;
    // Of the control connection: the newest session the server handed out on it. Each data
    // connection resumes a copy, since OpenSSL's client takes a TLS 1.3 session as spent
    // once one connection has resumed it.
    SSL_SESSION* m_session = nullptr;
};
