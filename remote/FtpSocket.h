#pragma once

// Every socket system call of the FTP client lives in this class, so that a Winsock build
// changes only FtpSocket.cpp. Failures throw FtpError(0, "Socket Error # <n>" + line break +
// the system's text).

#include <QByteArray>
#include <QString>

class FtpSocket {
public:
    FtpSocket() = default;
    ~FtpSocket();
    FtpSocket(const FtpSocket&) = delete;
    FtpSocket& operator=(const FtpSocket&) = delete;

    // The first IPv4 address of a host name (or the dotted address itself).
    static QString resolve(const QString& host);

    // Opens a TCP connection to a dotted IPv4 address; gives up after timeoutMs.
    void connect(const QString& address, int port, int timeoutMs);
    bool isOpen() const { return m_fd >= 0; }

    // Sends all bytes; each wait for room in the send buffer lasts at most timeoutMs. A peer
    // that has gone away gives an error, never a signal.
    void send(const char* data, qsizetype size, int timeoutMs);
    void send(const QByteArray& data, int timeoutMs) {
        send(data.constData(), data.size(), timeoutMs);
    }

    // True when data (or the peer's close) can be read within timeoutMs.
    bool waitReadable(int timeoutMs);

    // Reads without waiting: the number of bytes read, 0 when the peer has closed, -1 when
    // nothing is there yet.
    qsizetype receive(char* buffer, qsizetype size);

    // The dotted IPv4 address of the other end, empty when not connected.
    QString peerAddress() const { return m_peer; }

    void close();
    // Closes with a reset, so the peer sees a broken transfer rather than a complete one.
    void abort();

    // The failure text of a system error number.
    static QString errorMessage(int error);

private:
    int m_fd = -1;
    QString m_peer;
};
