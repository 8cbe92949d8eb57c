#pragma once

// FTP client over plain sockets (RFC 959, with HOST and FEAT): one control connection,
// passive data connections for name listings and uploads. Every operation blocks until it
// has finished or failed; failures throw FtpError.

#include "FtpReply.h"
#include "FtpSocket.h"

#include <QString>
#include <QStringList>
#include <functional>
#include <initializer_list>

class QFile;

class FtpClient {
public:
    FtpClient() = default;
    ~FtpClient();
    FtpClient(const FtpClient&) = delete;
    FtpClient& operator=(const FtpClient&) = delete;

    // Settings, assigned before Connect.
    QString Host;
    int Port = 21;
    QString Username;
    QString Password;
    int ReadTimeout = 600000;   // ms, each wait for data on the control or a data connection
    int ConnectTimeout = 60000; // ms, opening the control or a data connection
    QString ClientInfo = QStringLiteral("Quarvel"); // sent with CLNT

    void Connect();
    void Disconnect();
    bool Connected();
    void ChangeDir(const QString& name);
    void MakeDir(const QString& name);
    QStringList List(const QString& name);
    void Put(const QString& localPath, const QString& remoteName);
    // The same upload from bytes already in memory.
    void PutData(const QByteArray& data, const QString& remoteName);
    int SendCmd(const QString& text); // any reply but 421; returns its code

    const FtpReply& LastReply() const { return m_lastReply; }
    const FtpReply& Greeting() const { return m_greeting; }
    QString ServerDescription() const { return m_description; }
    QStringList Features() const { return m_features; }
    bool SupportsFeature(const QString& name) const;
    bool Utf8() const { return m_encoding == ftp::Encoding::Utf8; }
    // Whether `text` can go into a command on this connection: no line break or NUL, and
    // every character in the connection's encoding. Empty when it can, else why not.
    QString CannotSend(const QString& text) const;

private:
    using Codes = std::initializer_list<int>; // empty: any reply but 421

    // False when the server dropped the connection after HOST, to be tried without it.
    bool openAndLogin(bool sendHost);
    void login(const FtpReply& user);
    QString hostArgument() const;

    QByteArray commandLine(const QString& text) const;
    FtpReply sendCommand(const QString& text, Codes accepted);
    FtpReply sendLine(const QByteArray& line, Codes accepted);
    void writeLine(const QByteArray& line);
    FtpReply readReply(Codes accepted, bool check = true);
    void fillBuffer();
    void drainControl();
    void closeControl();
    [[noreturn]] void protocolFailure(const QString& message);

    ftp::PassiveEndpoint passiveSetup(const QString& transferCommand);
    void openData(FtpSocket& data, const ftp::PassiveEndpoint& endpoint);
    QByteArray receiveAll(FtpSocket& data);
    // Reads up to `size` bytes into `buffer`: the count, 0 at the end; throws on failure.
    using Source = std::function<qint64(char* buffer, qint64 size)>;
    void upload(const Source& source, const QString& remoteName);
    void sendAll(const Source& source, FtpSocket& data);
    void explainBrokenUpload();
    int readTimeout() const;
    int connectTimeout() const;

    FtpSocket m_control;
    ftp::LineBuffer m_in;
    bool m_peerClosed = false;
    ftp::Encoding m_encoding = ftp::Encoding::Latin1;
    bool m_typeImage = false;
    QStringList m_features;
    FtpReply m_greeting;
    QString m_description;
    FtpReply m_lastReply;
};
