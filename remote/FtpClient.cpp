#include "FtpClient.h"

#include "FtpError.h"
#include "FtpTlsContext.h"
#include "PassiveEndpoint.h"
#include "ReplyAssembler.h"

#include <QDir>
#include <QFile>
#include <algorithm>
#include <exception>

namespace {

bool contains(std::initializer_list<int> codes, int code) {
    return std::find(codes.begin(), codes.end(), code) != codes.end();
}

const QString kNotConnected = QStringLiteral("Not connected.");

// A feature line's name and the rest, split at the first blank.
std::pair<QString, QString> splitFeature(const QString& line) {
    const QString t = ftp::trimBlanks(line);
    qsizetype end = 0;
    while (end < t.size() && t.at(end).unicode() > 0x20)
        ++end;
    return {t.left(end), ftp::trimBlanks(t.mid(end))};
}

} // namespace

FtpClient::~FtpClient() { closeControl(); }

QDeadlineTimer FtpClient::replyDeadline() const {
    return QDeadlineTimer(ReadTimeout > 0 ? ReadTimeout : 600000);
}

QDeadlineTimer FtpClient::connectDeadline(QDeadlineTimer within) const {
    const QDeadlineTimer own(ConnectTimeout > 0 ? ConnectTimeout : 60000);
    return within < own ? within : own;
}

bool FtpClient::SupportsFeature(const QString& name) const {
    for (const QString& line : m_features)
        if (splitFeature(line).first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

// ---- control connection ----------------------------------------------------------------

void FtpClient::closeControl() {
    m_control.close();
    m_in.clear();
    m_peerClosed = false;
}

void FtpClient::protocolFailure(const QString& message) {
    // Past garbage there is no telling where the next reply starts.
    closeControl();
    throw FtpError(0, message);
}

QString FtpClient::CannotSend(const QString& text) const {
    // A name from a document could otherwise smuggle a second command onto the wire.
    if (text.contains(u'\r') || text.contains(u'\n') || text.contains(QChar(0)))
        return QStringLiteral("FTP command not sent: its text holds a line break or a NUL "
                              "character: \"%1\"")
            .arg(ftp::visible(text, 200));
    // A character the connection cannot carry would land the file under another name.
    if (!ftp::encode(text, m_encoding))
        return QStringLiteral("FTP command not sent: \"%1\" holds characters that the "
                              "connection's %2 encoding cannot carry")
            .arg(ftp::visible(text, 200), m_encoding == ftp::Encoding::Utf8
                                              ? QStringLiteral("UTF-8")
                                              : QStringLiteral("8-bit"));
    return {};
}

QByteArray FtpClient::commandLine(const QString& text) const {
    const QString refused = CannotSend(text);
    if (!refused.isEmpty())
        throw FtpError(0, refused);
    return *ftp::encode(text, m_encoding) + "\r\n";
}

void FtpClient::writeLine(const QByteArray& line, QDeadlineTimer deadline) {
    if (!m_control.isOpen())
        throw FtpError(0, kNotConnected);
    try {
        m_control.send(line, deadline);
    } catch (const FtpError&) {
        closeControl();
        throw;
    }
}

FtpReply FtpClient::sendCommand(const QString& text, Codes accepted) {
    return sendLine(commandLine(text), accepted, replyDeadline());
}

FtpReply FtpClient::sendLine(const QByteArray& line, Codes accepted, QDeadlineTimer deadline) {
    writeLine(line, deadline);
    return readReply(accepted, deadline);
}

void FtpClient::fillBuffer(QDeadlineTimer deadline) {
    if (m_in.size() > ftp::kMaxLineBytes)
        protocolFailure(QStringLiteral("The FTP server sent a reply line longer than %1 bytes.")
                            .arg(ftp::kMaxLineBytes));
    if (m_peerClosed) {
        closeControl();
        throw FtpError(0, QStringLiteral("Connection Closed Gracefully."));
    }
    if (!m_control.isOpen())
        throw FtpError(0, kNotConnected);
    bool readable = false;
    try {
        readable = m_control.waitReadable(deadline);
        if (readable) {
            char chunk[16384];
            const qsizetype n = m_control.receive(chunk, sizeof chunk);
            if (n == 0)
                m_peerClosed = true;
            else if (n > 0)
                m_in.append(chunk, n);
        }
    } catch (const FtpError&) {
        closeControl(); // a socket error on the control connection ends it
        throw;
    }
    if (!readable) // the connection stays open; a late reply waits in the buffer
        throw FtpError(0, QStringLiteral("Read timed out."));
}

FtpReply FtpClient::readReply(Codes accepted, QDeadlineTimer deadline, bool check) {
    ftp::ReplyAssembler assembler;
    qsizetype consumed = 0;
    for (;;) {
        const std::optional<QByteArray> raw = m_in.takeLine();
        if (!raw) {
            fillBuffer(deadline);
            continue;
        }
        consumed += raw->size() + 1;
        if (consumed > ftp::kMaxReplyBytes)
            protocolFailure(QStringLiteral("The FTP server sent a reply longer than %1 bytes.")
                                .arg(ftp::kMaxReplyBytes));
        const QString line = ftp::trimBlanks(ftp::decode(*raw, m_encoding));
        if (line.isEmpty())
            continue;
        bool complete = false;
        try {
            complete = assembler.add(line);
        } catch (const FtpError& e) {
            protocolFailure(QString::fromUtf8(e.what()));
        }
        if (complete)
            break;
    }
    FtpReply r = assembler.reply();
    if (!check)
        return r;
    if (r.code == 421 && !contains(accepted, 421)) {
        closeControl();
        throw FtpError(r.code, r.message());
    }
    if (accepted.size() > 0 && !contains(accepted, r.code))
        throw FtpError(r.code, r.message());
    return r;
}

FtpReply FtpClient::readFinalReply(QDeadlineTimer deadline) {
    FtpReply reply = readReply({}, deadline);
    for (int preliminary = 0; reply.code / 100 == 1;) {
        // However short each reply, an endless run of them would hold the operation.
        if (++preliminary > kMaxPreliminaryReplies)
            protocolFailure(QStringLiteral("The FTP server sent more than %1 preliminary (1xx) "
                                           "replies in a row.")
                                .arg(kMaxPreliminaryReplies));
        reply = readReply({}, deadline);
    }
    return reply;
}

void FtpClient::drainControl() {
    char chunk[16384];
    try {
        while (!m_peerClosed && m_in.size() < ftp::kMaxReplyBytes) {
            const qsizetype n = m_control.receive(chunk, sizeof chunk);
            if (n < 0)
                break;
            if (n == 0)
                m_peerClosed = true;
            else
                m_in.append(chunk, n);
        }
    } catch (const FtpError&) {
        m_peerClosed = true; // reset by the peer: what arrived before stays readable
    }
}

bool FtpClient::Connected() {
    if (!m_control.isOpen())
        return false;
    drainControl();
    if (m_peerClosed && m_in.isEmpty()) {
        closeControl();
        return false;
    }
    return true;
}

// ---- connect and login -------------------------------------------------------------------

void FtpClient::Connect() {
    // A bad authorities file is the client's fault: found before anything is sent.
    m_tls = UseTls ? std::make_unique<FtpTlsContext>(CaFile) : nullptr;
    if (!openAndLogin(true))
        openAndLogin(false);
}

QString FtpClient::hostArgument() const {
    return Host == m_control.peerAddress() ? u'[' + Host + u']' : Host;
}

bool FtpClient::openAndLogin(bool sendHost) {
    closeControl();
    m_encoding = ftp::Encoding::Latin1;
    m_features.clear();
    m_typeImage = false;
    m_description.clear();

    const QString address = FtpSocket::resolve(Host);
    m_control.connect(address, Port, connectDeadline());
    try {
        const QDeadlineTimer deadline = replyDeadline();
        FtpReply greeting = readReply({}, deadline);
        if (greeting.code / 100 == 1)
            greeting = readReply({}, deadline);
        if (greeting.code != 220)
            throw FtpError(greeting.code, greeting.message());
        m_description = greeting.text.value(0);
    } catch (...) {
        closeControl();
        throw;
    }

    try {
        bool hostRefused = false;
        if (sendHost) {
            try {
                hostRefused = sendCommand(QStringLiteral("HOST ") + hostArgument(), {}).code != 220;
            } catch (const FtpError& e) {
                // A server that does not know HOST may hang up on it.
                if (e.code() == 421 || m_control.isOpen())
                    throw;
                return false;
            }
            if (hostRefused && !Connected()) {
                closeControl();
                return false;
            }
        }
        if (UseTls)
            secureControl();
        FtpReply user;
        try {
            user = sendCommand(QStringLiteral("USER ") + Username, {230, 232, 331});
        } catch (const FtpError& e) {
            // The hang-up after a refused HOST may only be seen once USER is on its way.
            if (hostRefused && e.code() == 0 && !m_control.isOpen())
                return false;
            throw;
        }
        login(user);
    } catch (...) {
        try {
            Disconnect();
        } catch (...) {
            // the original failure is the one worth reporting
        }
        throw;
    }
    return true;
}

void FtpClient::login(const FtpReply& user) {
    if (user.code == 331) {
        const FtpReply pass = sendCommand(QStringLiteral("PASS ") + Password, {230, 332});
        if (pass.code == 332) // an account is asked for, and none is configured
            throw FtpError(pass.code, pass.message());
    }
    const FtpReply feat = sendCommand(QStringLiteral("FEAT"), {});
    if ((feat.code == 211 || feat.code == 221) && feat.text.size() > 2)
        m_features = feat.text.mid(1, feat.text.size() - 2);
    if (SupportsFeature(QStringLiteral("CLNT")))
        sendCommand(QStringLiteral("CLNT ") + ClientInfo, {});
    if (SupportsFeature(QStringLiteral("UTF8")))
        m_encoding = ftp::Encoding::Utf8;
    sendCommand(QStringLiteral("TYPE I"), {200});
    m_typeImage = true;
    sendCommand(QStringLiteral("SYST"), {});

    bool zone = false;
    for (const char* prefix : {"Serv-U ", "BPFTP Server ", "TitanFTP server ", "Titan FTP Server "})
        zone = zone || m_description.startsWith(QLatin1String(prefix));
    for (const QString& line : m_features) {
        const auto [feature, facts] = splitFeature(line);
        if (feature.compare(QLatin1String("SITE"), Qt::CaseInsensitive) != 0)
            continue;
        for (const QString& fact : facts.split(u';'))
            zone = zone ||
                   ftp::trimBlanks(fact).compare(QLatin1String("ZONE"), Qt::CaseInsensitive) == 0;
    }
    if (zone)
        sendCommand(QStringLiteral("SITE ZONE"), {});
    sendCommand(QStringLiteral("TYPE I"), {200});
    if (UseTls)
        protectData();
}

// A step of the TLS set-up refused: what we asked for, then the server's reply on one line.
[[noreturn]] void FtpClient::refuseTls(const FtpReply& reply, const QString& what) {
    throw FtpError(reply.code, QStringLiteral("%1: %2 %3")
                                   .arg(what)
                                   .arg(reply.code)
                                   .arg(ftp::trimBlanks(reply.text.join(u' '))));
}

void FtpClient::secureControl() {
    const FtpReply auth = sendCommand(QStringLiteral("AUTH TLS"), {});
    if (auth.code != 234)
        refuseTls(auth, QStringLiteral("O servidor FTP não oferece criptografia (AUTH TLS "
                                       "recusado)"));
    // Bytes that came after the 234 were sent in clear text and must not pass for
    // protected ones.
    if (!m_in.isEmpty())
        protocolFailure(QStringLiteral("O servidor FTP enviou texto em claro depois de aceitar "
                                       "o AUTH TLS."));
    try {
        m_control.startTls(*m_tls, Host, nullptr, connectDeadline());
    } catch (const FtpError&) {
        closeControl(); // no QUIT: the connection is neither clear text nor TLS any more
        throw;
    }
}

void FtpClient::protectData() {
    sendCommand(QStringLiteral("PBSZ 0"), {200});
    const FtpReply prot = sendCommand(QStringLiteral("PROT P"), {});
    if (prot.code != 200)
        refuseTls(prot, QStringLiteral("O servidor FTP recusou a proteção das conexões de "
                                       "dados (PROT P)"));
}

void FtpClient::Disconnect() {
    std::exception_ptr failure;
    if (Connected()) {
        try {
            const QDeadlineTimer deadline = replyDeadline();
            writeLine("QUIT\r\n", deadline);
            if (!m_in.isEmpty() || m_control.waitReadable(QDeadlineTimer(100)))
                readReply({}, deadline, false);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    closeControl();
    if (failure)
        std::rethrow_exception(failure);
}

// ---- commands ----------------------------------------------------------------------------

void FtpClient::ChangeDir(const QString& name) {
    sendCommand(QStringLiteral("CWD ") + name, {200, 250, 257});
}

void FtpClient::MakeDir(const QString& name) { sendCommand(QStringLiteral("MKD ") + name, {257}); }

int FtpClient::SendCmd(const QString& text) { return sendCommand(text, {}).code; }

// ---- data connections --------------------------------------------------------------------

ftp::PassiveEndpoint FtpClient::passiveSetup(const QString& transferCommand) {
    if (SupportsFeature(QStringLiteral("PRET")))
        sendCommand(QStringLiteral("PRET ") + transferCommand, {});
    const FtpReply pasv = sendCommand(QStringLiteral("PASV"), {227});
    ftp::PassiveEndpoint endpoint = ftp::parsePasv(pasv.text.value(0));
    // Only the port is taken: an address in the reply could send the data to any host, and
    // one behind NAT is wrong anyway.
    endpoint.address = m_control.peerAddress();
    return endpoint;
}

void FtpClient::openData(FtpStream& data, const ftp::PassiveEndpoint& endpoint,
                         QDeadlineTimer deadline) {
    data.connect(endpoint.address, endpoint.port, connectDeadline(deadline));
}

void FtpClient::secureData(FtpStream& data, QDeadlineTimer deadline) {
    if (!m_control.isTls())
        return;
    try {
        data.startTls(*m_tls, Host, &m_control, connectDeadline(deadline));
    } catch (const FtpError&) {
        data.abort();
        // A refused certificate is our reason, whatever the server replies to the aborted
        // handshake; other failures its reason explains better (e.g. a server that insists
        // on session reuse says so).
        explainBrokenData(deadline, data.certificateRefused());
        throw;
    }
}

QByteArray FtpClient::receiveAll(FtpStream& data, QDeadlineTimer deadline) {
    QByteArray received;
    char chunk[65536];
    for (;;) {
        if (!data.waitReadable(deadline))
            throw FtpError(0, QStringLiteral("Read timed out."));
        const qsizetype n = data.receive(chunk, sizeof chunk);
        if (n == 0)
            return received;
        if (n < 0)
            continue;
        if (received.size() + n > ftp::kMaxListingBytes)
            throw FtpError(0, QStringLiteral("The FTP server sent a listing larger than %1 bytes.")
                                  .arg(ftp::kMaxListingBytes));
        received.append(chunk, n);
    }
}

QStringList FtpClient::List(const QString& name) {
    const QString command = ftp::trimBlanks(QStringLiteral("NLST ") + name);
    const QByteArray line = commandLine(command); // refused here, before anything is sent
    if (!m_control.isOpen())
        throw FtpError(0, kNotConnected);

    bool typeChanged = false;
    QByteArray received;
    std::exception_ptr failure;
    FtpStream data;
    try {
        if (m_typeImage) {
            sendCommand(QStringLiteral("TYPE A"), {200});
            m_typeImage = false;
            typeChanged = true;
        }
        const ftp::PassiveEndpoint endpoint = passiveSetup(command);
        // NLST through its final reply, the transfer included.
        const QDeadlineTimer deadline = replyDeadline();
        // NLST goes out only once its data connection is open; a failure here is final.
        openData(data, endpoint, deadline);
        const FtpReply reply = sendLine(line, {125, 150, 154, 450}, deadline);
        if (reply.code / 100 == 1) {
            // TLS starts on the data connection once the server has said it is coming.
            secureData(data, deadline);
            received = receiveAll(data, deadline);
            data.close();
            readReply({226, 225, 250}, deadline);
        } else {
            data.close();
        }
    } catch (...) {
        failure = std::current_exception();
        data.abort();
    }
    if (typeChanged && m_control.isOpen()) {
        try {
            sendCommand(QStringLiteral("TYPE I"), {200});
            m_typeImage = true;
        } catch (...) {
            failure = std::current_exception();
        }
    }
    if (failure)
        std::rethrow_exception(failure);
    return ftp::splitListing(ftp::decode(received, m_encoding));
}

std::optional<QByteArray> FtpClient::Get(const QString& remoteName, qsizetype maxBytes) {
    const QString command = QStringLiteral("RETR ") + remoteName;
    const QByteArray line = commandLine(command);
    if (!m_control.isOpen())
        throw FtpError(0, kNotConnected);
    if (!m_typeImage) {
        sendCommand(QStringLiteral("TYPE I"), {200});
        m_typeImage = true;
    }
    const ftp::PassiveEndpoint endpoint = passiveSetup(command);
    // RETR through its final reply, the transfer included.
    const QDeadlineTimer deadline = replyDeadline();
    FtpStream data;
    try {
        openData(data, endpoint, deadline);
        const FtpReply reply = sendLine(line, {125, 150, 450, 550}, deadline);
        if (reply.code / 100 != 1) {
            data.close();
            return std::nullopt;
        }
        secureData(data, deadline);
        QByteArray received;
        char chunk[65536];
        for (;;) {
            if (!data.waitReadable(deadline))
                throw FtpError(0, QStringLiteral("Read timed out."));
            const qsizetype n = data.receive(chunk, sizeof chunk);
            if (n == 0)
                break;
            if (n < 0)
                continue;
            // Past the limit the rest is read and dropped: servers differ on a transfer cut
            // short (pure-ftpd in TLS never answers it), and the deadline bounds the wait.
            received.append(chunk, qBound<qsizetype>(0, maxBytes + 1 - received.size(), n));
        }
        data.close();
        readReply({226, 225, 250}, deadline);
        return received;
    } catch (...) {
        data.abort();
        throw;
    }
}

std::optional<QList<FtpClient::Entry>> FtpClient::ListEntries(const QString& name) {
    if (!SupportsFeature(QStringLiteral("MLST")))
        return std::nullopt;
    const QString command = ftp::trimBlanks(QStringLiteral("MLSD ") + name);
    const QByteArray line = commandLine(command); // refused here, before anything is sent
    if (!m_control.isOpen())
        throw FtpError(0, kNotConnected);

    const ftp::PassiveEndpoint endpoint = passiveSetup(command);
    // MLSD through its final reply, the transfer included.
    const QDeadlineTimer deadline = replyDeadline();
    FtpStream data;
    QByteArray received;
    try {
        openData(data, endpoint, deadline);
        sendLine(line, {125, 150}, deadline);
        secureData(data, deadline);
        received = receiveAll(data, deadline);
        data.close();
    } catch (...) {
        data.abort();
        throw;
    }
    readReply({226, 225, 250}, deadline);

    QList<Entry> entries;
    for (const QString& raw : ftp::splitListing(ftp::decode(received, m_encoding))) {
        // "fact=value;fact=value; name": the facts end at the first blank, the name is the
        // rest after it, as it stands.
        const qsizetype blank = raw.indexOf(u' ');
        if (blank < 0)
            continue;
        Entry e;
        e.name = raw.mid(blank + 1);
        for (const QString& fact : raw.left(blank).split(u';', Qt::SkipEmptyParts)) {
            const qsizetype eq = fact.indexOf(u'=');
            if (eq < 0)
                continue;
            const QString key = fact.left(eq).toLower();
            const QString value = fact.mid(eq + 1);
            if (key == QLatin1String("type")) {
                e.type = value.toLower();
            } else if (key == QLatin1String("size")) {
                bool ok = false;
                const qint64 size = value.toLongLong(&ok);
                e.size = ok && size >= 0 ? size : -1;
            }
        }
        if (!e.name.isEmpty())
            entries.append(e);
    }
    return entries;
}

void FtpClient::sendFile(QFile& file, FtpStream& data, QDeadlineTimer deadline) {
    char chunk[65536];
    for (;;) {
        const qint64 n = file.read(chunk, sizeof chunk);
        if (n < 0)
            throw FtpError(0,
                           QStringLiteral("Cannot read file \"%1\". %2")
                               .arg(QDir::toNativeSeparators(file.fileName()), file.errorString()));
        if (n == 0)
            return;
        sendBytes(data, chunk, n, deadline);
    }
}

void FtpClient::sendBytes(FtpStream& data, const char* bytes, qint64 size,
                          QDeadlineTimer deadline) {
    try {
        data.send(bytes, size, deadline);
    } catch (const FtpError&) {
        data.abort();
        explainBrokenData(deadline);
        throw;
    }
}

void FtpClient::explainBrokenData(QDeadlineTimer deadline, bool ownReasonFirst) {
    // A server that stops a transfer (quota, disk full, a TLS session it will not take)
    // usually says why on the control connection as it drops the data connection; its
    // words beat "connection reset". Its reply is taken either way, so that the next
    // command is not answered with it.
    if (!m_control.isOpen())
        return;
    const QDeadlineTimer shortly = qMin(deadline, QDeadlineTimer(1000));
    std::optional<FtpReply> reason;
    try {
        if (!m_in.isEmpty() || m_control.waitReadable(shortly))
            reason = readReply({}, shortly, false);
    } catch (const FtpError&) {
        return;
    }
    if (!reason || contains({226, 225, 250}, reason->code))
        return;
    if (reason->code == 421)
        closeControl();
    if (!ownReasonFirst)
        throw FtpError(reason->code, reason->message());
}

void FtpClient::Put(const QString& localPath, const QString& remoteName) {
    // Plain read access: other programs may go on reading and writing the file meanwhile.
    QFile file(localPath);
    if (!file.open(QIODevice::ReadOnly))
        throw FtpError(0, QStringLiteral("Cannot open file \"%1\". %2")
                              .arg(QDir::toNativeSeparators(localPath), file.errorString()));
    store(remoteName,
          [&](FtpStream& data, QDeadlineTimer deadline) { sendFile(file, data, deadline); });
}

void FtpClient::PutData(const QByteArray& bytes, const QString& remoteName) {
    store(remoteName, [&](FtpStream& data, QDeadlineTimer deadline) {
        sendBytes(data, bytes.constData(), bytes.size(), deadline);
    });
}

void FtpClient::store(const QString& remoteName, const SendBody& sendBody) {
    const QString command = QStringLiteral("STOR ") + remoteName;
    const QByteArray line = commandLine(command);
    if (!m_control.isOpen())
        throw FtpError(0, kNotConnected);

    const ftp::PassiveEndpoint endpoint = passiveSetup(command);
    // STOR through its final reply, the transfer included.
    const QDeadlineTimer deadline = replyDeadline();
    writeLine(line, deadline);
    FtpStream data;
    try {
        openData(data, endpoint, deadline);
    } catch (const FtpError&) {
        // STOR is already out: take the server's answer to it so the next command is not
        // answered with it, then report why the data connection failed.
        const FtpReply reply = readFinalReply(deadline);
        if (!contains({226, 225, 250}, reply.code))
            throw FtpError(reply.code, reply.message());
        throw;
    }
    try {
        readReply({110, 125, 150}, deadline);
        // TLS starts on the data connection once the server has said it is coming.
        secureData(data, deadline);
        sendBody(data, deadline);
        data.finish(deadline);
    } catch (...) {
        data.abort();
        throw;
    }
    data.close();
    readReply({226, 225, 250}, deadline);
}
