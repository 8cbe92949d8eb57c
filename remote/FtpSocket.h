#pragma once

// Every socket system call of the FTP client lives in this class, so that a Winsock build
// changes only FtpSocket.cpp. Failures throw FtpError(0, "Socket Error # <n>" + line break +
// the system's text). Waits end at the deadline of the operation they belong to, so that a
// server trickling bytes cannot stretch an operation past its limit.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>

class FtpSocket {
public:
    FtpSocket() = default;
    ~FtpSocket();
    FtpSocket(const FtpSocket&) = delete;
    FtpSocket& operator=(const FtpSocket&) = delete;

    // The first IPv4 address of a host name (or the dotted address itself).
    static QString resolve(const QString& host);

    // Opens a TCP connection to a dotted IPv4 address; gives up at the deadline.
    void connect(const QString& address, int port, QDeadlineTimer deadline);
    bool isOpen() const { return m_fd >= 0; }

    // Sends all bytes, or fails with ETIMEDOUT at the deadline. A peer that has gone away
    // gives an error, never a signal.
    void send(const char* data, qsizetype size, QDeadlineTimer deadline);
    void send(const QByteArray& data, QDeadlineTimer deadline) {
        send(data.constData(), data.size(), deadline);
    }

    // True when data (or the peer's close) can be read before the deadline.
    bool waitReadable(QDeadlineTimer deadline);

    // Reads without waiting: the number of bytes read, 0 when the peer has closed, -1 when
    // nothing is there yet.
    qsizetype receive(char* buffer, qsizetype size);

    // The dotted IPv4 address of the other end, empty when not connected.
    QString peerAddress() const { return m_peer; }

    // Tells the peer that nothing more will be sent; reading goes on.
    void shutdownWrite();
    void close();
    // Closes with a reset, so the peer sees a broken transfer rather than a complete one.
    void abort();

    // The failure text of a system error number.
    static QString errorMessage(int error);

private:
    int m_fd = -1;
    QString m_peer;
};
