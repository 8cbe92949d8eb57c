#pragma once

// FTP client over plain sockets (RFC 959, with HOST and FEAT), in clear text or in TLS
// (explicit, RFC 4217): one control connection, passive data connections for name listings
// and uploads. Every operation blocks until it has finished or failed, within its time
// limit as a whole; failures throw FtpError.

#include "FtpReply.h"
#include "FtpStream.h"
#include "FtpTlsContext.h"
#include "LineBuffer.h"
#include "PassiveEndpoint.h"

#include <QDeadlineTimer>
#include <QString>
#include <QStringList>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>

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
    // ms: a command with its whole reply (preliminary replies and, for a listing or an
    // upload, the transfer included), however the server spreads its bytes
    int ReadTimeout = 600000;
    int ConnectTimeout = 60000; // ms, opening the control or a data connection (TLS included)
    QString ClientInfo = QStringLiteral("Quarvel"); // sent with CLNT
    // AUTH TLS after the greeting, every data connection in TLS; a server that refuses is
    // refused in turn, never spoken to in clear text.
    bool UseTls = false;
    QString CaFile; // authorities for the server's certificate; empty: the system's

    // Preliminary (1xx) replies in a row that one command may take; more end the connection.
    static constexpr int kMaxPreliminaryReplies = 16;

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
    // A remote file's bytes (RETR, in binary), or nothing when the server has no such file
    // (450, 550). At most maxBytes + 1 bytes are kept: a longer file is cut there.
    std::optional<QByteArray> Get(const QString& remoteName, qsizetype maxBytes);

    // One entry of a machine listing (MLSD, RFC 3659): the fact "type" ("file", "dir"...)
    // in lower case, and "size" in bytes, -1 when the server gave none.
    struct Entry {
        QString name;
        QString type;
        qint64 size = -1;
    };
    // A folder's entries with their sizes, in one data transfer; nothing when the server's
    // features do not name MLST.
    std::optional<QList<Entry>> ListEntries(const QString& name);

    bool Utf8() const { return m_encoding == ftp::Encoding::Utf8; }
    // Whether `text` can go into a command on this connection: no line break or NUL, and
    // every character in the connection's encoding. Empty when it can, else why not.
    QString CannotSend(const QString& text) const;

private:
    using Codes = std::initializer_list<int>; // empty: any reply but 421

    // False when the server dropped the connection after HOST, to be tried without it.
    bool openAndLogin(bool sendHost);
    void login(const FtpReply& user);
    void secureControl();
    void protectData();
    QString hostArgument() const;

    QByteArray commandLine(const QString& text) const;
    FtpReply sendCommand(const QString& text, Codes accepted);
    FtpReply sendLine(const QByteArray& line, Codes accepted, QDeadlineTimer deadline);
    void writeLine(const QByteArray& line, QDeadlineTimer deadline);
    FtpReply readReply(Codes accepted, QDeadlineTimer deadline, bool check = true);
    FtpReply readFinalReply(QDeadlineTimer deadline);
    void fillBuffer(QDeadlineTimer deadline);
    void drainControl();
    void closeControl();
    [[noreturn]] void protocolFailure(const QString& message);
    [[noreturn]] static void refuseTls(const FtpReply& reply, const QString& what);
    bool SupportsFeature(const QString& name) const;

    ftp::PassiveEndpoint passiveSetup(const QString& transferCommand);
    void openData(FtpStream& data, const ftp::PassiveEndpoint& endpoint, QDeadlineTimer deadline);
    void secureData(FtpStream& data, QDeadlineTimer deadline);
    QByteArray receiveAll(FtpStream& data, QDeadlineTimer deadline);
    // An upload: STOR, its data connection (in TLS when the control connection is) and the
    // replies; sendBody writes the bytes and, on a failure of the data connection, lets
    // explainBrokenData give the server's reason (unless ours comes first).
    using SendBody = std::function<void(FtpStream& data, QDeadlineTimer deadline)>;
    void store(const QString& remoteName, const SendBody& sendBody);
    void sendFile(QFile& file, FtpStream& data, QDeadlineTimer deadline);
    void sendBytes(FtpStream& data, const char* bytes, qint64 size, QDeadlineTimer deadline);
    void explainBrokenData(QDeadlineTimer deadline, bool ownReasonFirst = false);
    // A fresh deadline for a command and its reply, or for opening a connection.
    QDeadlineTimer replyDeadline() const;
    QDeadlineTimer connectDeadline(QDeadlineTimer within = QDeadlineTimer::Forever) const;

    FtpStream m_control;
    std::unique_ptr<FtpTlsContext> m_tls;
    ftp::LineBuffer m_in;
    bool m_peerClosed = false;
    ftp::Encoding m_encoding = ftp::Encoding::Latin1;
    bool m_typeImage = false;
    QStringList m_features;
    QString m_description; // the greeting's first line
};
