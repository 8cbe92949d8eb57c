// Round trips against real FTP servers: pyftpdlib, vsftpd, pure-ftpd and ProFTPD from the test
// services, and pyftpdlib servers of this test's own that it can kill or give certificates.

#include "FtpClient.h"
#include "FtpError.h"
#include "FtpServerProcess.h"
#include "TestServices.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A server of the test services, by the prefix of its settings.
struct Server {
    const char* name;
    const char* prefix; // QUARVEL_TEST_<prefix>_HOST, ...
    bool tls;
    bool utf8; // names UTF8 in FEAT
};

void PrintTo(const Server& s, std::ostream* os) { *os << s.name; }

FtpEndpoint endpointOf(const char* prefix) {
    const auto setting = [prefix](const char* key) {
        return serviceSetting(QStringLiteral("QUARVEL_TEST_%1_%2")
                                  .arg(QLatin1String(prefix), QLatin1String(key))
                                  .toLatin1()
                                  .constData());
    };
    return {setting("HOST"), setting("PORT").toInt(), setting("USER"), setting("PASSWORD"),
            setting("HOME")};
}

void configure(FtpClient& c, const FtpEndpoint& e, bool tls = false) {
    c.Host = e.host;
    c.Port = e.port;
    c.Username = e.user;
    c.Password = e.password;
    c.ReadTimeout = 20000;
    c.ConnectTimeout = 5000;
    c.UseTls = tls;
    c.CaFile = tls ? serviceSetting("QUARVEL_TEST_CA_FILE") : QString();
}

QString uniqueName(const char* prefix) {
    return QStringLiteral("%1-%2-%3")
        .arg(QLatin1String(prefix))
        .arg(QCoreApplication::applicationPid())
        .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
}

// pure-ftpd lists "." and ".." too.
std::vector<std::string> sorted(QStringList lines) {
    lines.removeIf([](const QString& l) {
        return l == u"." || l == u".." || l.endsWith(u"/.") || l.endsWith(u"/..");
    });
    lines.sort();
    std::vector<std::string> out;
    for (const QString& l : lines)
        out.push_back(l.toStdString());
    return out;
}

class FtpRoundTrip : public ::testing::TestWithParam<Server> {};

} // namespace

TEST_P(FtpRoundTrip, FoldersListingsUploadsAndChmod) {
    const FtpEndpoint server = endpointOf(GetParam().prefix);
    QTemporaryDir local;
    ASSERT_TRUE(local.isValid());

    QByteArray binary;
    for (int i = 0; i < 4096; ++i)
        binary.append(char(i * 7 % 256));
    binary += QByteArrayLiteral("\r\n\n\r\x1a\x00 fim");
    QByteArray big(6 * 1024 * 1024, Qt::Uninitialized);
    QRandomGenerator rng(42);
    for (char& b : big)
        b = char(rng.bounded(256));
    const QString accented = QString::fromUtf8("nota fiscal ação ç.xml");
    const QList<std::pair<QString, QByteArray>> files = {
        {QStringLiteral("binario.xml"), binary},
        {QStringLiteral("vazio.xml"), QByteArray()},
        {QStringLiteral("grande.xml"), big},
        {accented, QString::fromUtf8("<nfe>ação</nfe>").toUtf8()},
    };

    FtpClient c;
    configure(c, server, GetParam().tls);
    c.Connect();
    ASSERT_TRUE(c.Connected());
    EXPECT_EQ(c.Utf8(), GetParam().utf8);

    const QString folder = uniqueName("ida-e-volta");
    c.ChangeDir(QStringLiteral("/public_html"));
    c.MakeDir(folder);
    EXPECT_EQ(c.SendCmd(QStringLiteral("SITE CHMOD 771 ") + folder), 200);
    c.ChangeDir(folder);
    EXPECT_EQ(sorted(c.List(QString())), sorted({}));
    c.MakeDir(QStringLiteral("sub pasta"));

    // The first upload of binario.xml is replaced by the second.
    writeFile(local.filePath("antes.xml"), "old content that is longer than nothing");
    c.Put(local.filePath("antes.xml"), QStringLiteral("binario.xml"));
    for (const auto& [name, bytes] : files) {
        writeFile(local.filePath(name), bytes);
        c.Put(local.filePath(name), name);
    }

    const std::vector<std::string> expectedNames =
        sorted({"binario.xml", "vazio.xml", "grande.xml", accented, "sub pasta"});
    EXPECT_EQ(sorted(c.List(QString())), expectedNames);
    EXPECT_EQ(sorted(c.List(QStringLiteral("/public_html/") + folder)).size(), 5u);

    const QString onDisk = server.home + QStringLiteral("/public_html/") + folder;
    for (const auto& [name, bytes] : files)
        EXPECT_EQ(readFile(onDisk + u'/' + name), bytes) << name.toStdString();
    // Read back as they lie on the server; a missing name is nothing, a file longer than
    // asked for is cut one byte past the limit, and the connection goes on.
    for (const auto& [name, bytes] : files)
        EXPECT_EQ(c.Get(name, 8 * 1024 * 1024), bytes) << name.toStdString();
    EXPECT_EQ(c.Get(QStringLiteral("nao-existe.xml"), 1024), std::nullopt);
    EXPECT_EQ(c.Get(QStringLiteral("grande.xml"), 1000), big.left(1001));
    EXPECT_EQ(c.Get(QStringLiteral("binario.xml"), binary.size()), binary);
    EXPECT_EQ(sorted(c.List(QString())), expectedNames);

    const QFile::Permissions everyone = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                        QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                        QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    EXPECT_EQ(QFileInfo(onDisk).permissions() & everyone,
              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                  QFile::WriteGroup | QFile::ExeGroup | QFile::ExeOther); // 771

    c.Disconnect();
    EXPECT_FALSE(c.Connected());

    // As the storage run does every so many files: the same settings, a fresh handshake.
    c.Connect();
    c.ChangeDir(QStringLiteral("/public_html/") + folder);
    EXPECT_EQ(sorted(c.List(QString())), expectedNames);
    c.Disconnect();
}

std::string serverName(const ::testing::TestParamInfo<Server>& p) { return p.param.name; }

// In TLS every data connection too; vsftpd and ProFTPD insist that each resumes the control
// connection's session, pure-ftpd refuses a login in clear text.
INSTANTIATE_TEST_SUITE_P(Servers, FtpRoundTrip,
                         ::testing::Values(Server{"pyftpdlib", "FTP", false, true},
                                           Server{"vsftpd", "VSFTPD", false, true},
                                           Server{"proftpd", "PROFTPD", false, true},
                                           Server{"pyftpdlib_tls", "FTPTLS", true, true},
                                           Server{"vsftpd_tls", "VSFTPDTLS", true, true},
                                           Server{"pure_ftpd_tls", "PUREFTPD", true, true},
                                           Server{"proftpd_tls", "PROFTPDTLS", true, true}),
                         serverName);

namespace {
class FtpTlsSessions : public ::testing::TestWithParam<Server> {};
} // namespace

// Every data connection must resume the control connection's session on a server that
// insists on it, whatever came before: listings that find nothing (ProFTPD answers 450
// without a data connection), listings and uploads in any order, each login's session
// tickets long used up. A data connection that does not resume is refused by the server.
TEST_P(FtpTlsSessions, EveryDataConnectionResumesTheControlSession) {
    const FtpEndpoint server = endpointOf(GetParam().prefix);
    const QString folder = uniqueName("sessoes");
    // M: listing of a missing folder, E: listing of an empty one, P: upload, L: listing.
    const char* const orders[] = {"MEPPMPLP", "PPPPPPL", "LLLLLLP", "MMMPMPMPL", "PMLMPMEPL"};
    int uploads = 0;
    for (const char* order : orders) {
        SCOPED_TRACE(order);
        FtpClient c;
        configure(c, server, true);
        c.Connect();
        c.ChangeDir(QStringLiteral("/public_html"));
        if (uploads == 0) {
            c.MakeDir(folder);
            c.MakeDir(folder + QStringLiteral("/vazia"));
        }
        c.ChangeDir(folder);
        for (const char* op = order; *op; ++op) {
            SCOPED_TRACE(op - order);
            try {
                if (*op == 'M') {
                    try {
                        EXPECT_EQ(c.List(QStringLiteral("nao-ha")), QStringList());
                    } catch (const FtpError& e) {
                        EXPECT_EQ(e.code(), 550) << e.what(); // pyftpdlib's answer
                    }
                } else if (*op == 'E') {
                    EXPECT_EQ(sorted(c.List(QStringLiteral("vazia"))), sorted({}));
                } else if (*op == 'P') {
                    ++uploads;
                    c.PutData(QByteArray("<nfe>") + QByteArray::number(uploads) + "</nfe>",
                              QStringLiteral("n%1.xml").arg(uploads));
                } else {
                    EXPECT_EQ(sorted(c.List(QString())).size(), size_t(uploads) + 1);
                }
            } catch (const FtpError& e) {
                FAIL() << e.what();
            }
        }
        c.Disconnect();
    }
    const QString onDisk = server.home + QStringLiteral("/public_html/") + folder;
    for (int i = 1; i <= uploads; ++i)
        EXPECT_EQ(readFile(onDisk + QStringLiteral("/n%1.xml").arg(i)),
                  QByteArray("<nfe>") + QByteArray::number(i) + "</nfe>");
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpTlsSessions,
                         ::testing::Values(Server{"pyftpdlib_tls", "FTPTLS", true, true},
                                           Server{"vsftpd_tls", "VSFTPDTLS", true, true},
                                           Server{"pure_ftpd_tls", "PUREFTPD", true, true},
                                           Server{"proftpd_tls", "PROFTPDTLS", true, true}),
                         serverName);

TEST(FtpRealServer, RefusalsCarryTheServersText) {
    FtpClient c;
    configure(c, testFtp());
    c.Connect();
    const QString missing = uniqueName("nao-existe");
    try {
        c.ChangeDir(missing);
        ADD_FAILURE() << "CWD to a missing folder was accepted";
    } catch (const FtpError& e) {
        EXPECT_EQ(e.code(), 550);
        EXPECT_TRUE(QString::fromUtf8(e.what()).endsWith(QLatin1String("\r\n"))) << e.what();
    }
    // pyftpdlib refuses the listing of a missing path; the client stays usable.
    try {
        c.List(missing);
        ADD_FAILURE() << "listing a missing path was accepted";
    } catch (const FtpError& e) {
        EXPECT_EQ(e.code(), 550);
    }
    EXPECT_TRUE(c.Connected());
    c.ChangeDir(QStringLiteral("/public_html"));

    FtpClient wrong;
    configure(wrong, testFtp());
    wrong.Password = QStringLiteral("errada12");
    try {
        wrong.Connect();
        ADD_FAILURE() << "a wrong password logged in";
    } catch (const FtpError& e) {
        EXPECT_EQ(e.code(), 530);
    }
    EXPECT_FALSE(wrong.Connected());
    c.Disconnect();
}

// A server that goes away while connected is noticed by Connected(), which the publication
// relies on to connect again before the next file.
TEST(FtpRealServer, AServerThatDiesIsNoticed) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    QDir(home.path()).mkpath(QStringLiteral("public_html"));
    int port = 0;
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        ::close(fd);
    }
    QProcess server;
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.setStandardOutputFile(QProcess::nullDevice());
    server.start(QStringLiteral("/usr/bin/python3"),
                 {sourcePath(QStringLiteral("scripts/ftpserver.py")), QStringLiteral("--port"),
                  QString::number(port), QStringLiteral("--home"), home.path(),
                  QStringLiteral("--user"), QStringLiteral("kelvaro"), QStringLiteral("--password"),
                  QStringLiteral("segredo1"), QStringLiteral("--log"), QStringLiteral("WARNING")});
    ASSERT_TRUE(server.waitForStarted());

    FtpClient c;
    c.Host = QStringLiteral("127.0.0.1");
    c.Port = port;
    c.Username = QStringLiteral("kelvaro");
    c.Password = QStringLiteral("segredo1");
    c.ReadTimeout = 5000;
    c.ConnectTimeout = 2000;
    QElapsedTimer t;
    t.start();
    for (;;) { // until the server listens
        try {
            c.Connect();
            break;
        } catch (const FtpError& e) {
            ASSERT_LT(t.elapsed(), 10000) << e.what();
            QThread::msleep(50);
        }
    }
    c.ChangeDir(QStringLiteral("public_html"));
    ASSERT_TRUE(c.Connected());

    server.kill();
    server.waitForFinished();
    t.restart();
    while (c.Connected() && t.elapsed() < 5000)
        QThread::msleep(20);
    EXPECT_FALSE(c.Connected());
    try {
        c.ChangeDir(QStringLiteral("public_html"));
        ADD_FAILURE() << "a command on a closed connection was accepted";
    } catch (const FtpError& e) {
        EXPECT_STREQ(e.what(), "Not connected.");
    }
    try {
        c.Connect();
        ADD_FAILURE() << "connected to a dead server";
    } catch (const FtpError& e) {
        EXPECT_EQ(QString::fromUtf8(e.what()),
                  "Socket Error # 111\n" + QString::fromLocal8Bit(std::strerror(ECONNREFUSED)));
    }
}

// What a TLS login accepts and refuses, against a pyftpdlib of the test's own that presents
// the certificate of each case and records what reached it: a refused server never sees the
// user name or the password.
TEST(FtpRealServer, TlsLoginChecksTheServer) {
    const QString pki = serviceSetting("QUARVEL_TEST_PKI");
    const QString ca = pki + QStringLiteral("/ca.pem");
    const QStringList login = {"AUTH TLS", "USER kelvaro", "PASS ******", "FEAT",   "TYPE I",
                               "SYST",     "TYPE I",       "PBSZ 0",      "PROT P", "QUIT"};
    const QStringList refused = {"AUTH TLS"};
    struct Case {
        const char* name;
        const char* cert; // the server's certificate below the test PKI; none: clear text only
        QString host;
        QString caFile;
        bool systemTrustsOurs; // SSL_CERT_FILE names our authority
        QString expected;      // "connected", or the error; a trailing "*" compares the start
        QStringList commands;  // after HOST
    };
    const QString byAddress = QStringLiteral("127.0.0.1");
    const QString byName = QStringLiteral("localhost");
    const Case cases[] = {
        {"the right certificate, by address", "server", byAddress, ca, false, "connected", login},
        {"the right certificate, by DNS name", "server", byName, ca, false, "connected", login},
        {"the system's authorities", "server", byAddress, {}, true, "connected", login},
        {"a certificate for another name", "outro-nome", byAddress, ca, false,
         "error 0: Certificado do servidor FTP recusado: emitido para outro nome, não para "
         "127.0.0.1 (IP address mismatch)",
         refused},
        {"a certificate for another DNS name", "outro-nome", byName, ca, false,
         "error 0: Certificado do servidor FTP recusado: emitido para outro nome, não para "
         "localhost (hostname mismatch)",
         refused},
        {"an unknown authority", "desconhecido", byAddress, ca, false,
         "error 0: Certificado do servidor FTP recusado: emitido por uma autoridade "
         "certificadora desconhecida (*",
         refused},
        {"our authority unknown to the system",
         "server",
         byAddress,
         {},
         false,
         "error 0: Certificado do servidor FTP recusado: emitido por uma autoridade "
         "certificadora desconhecida (*",
         refused},
        {"a server without TLS",
         nullptr,
         byAddress,
         ca,
         false,
         "error 500: O servidor FTP não oferece criptografia (AUTH TLS recusado): 500 Command "
         "\"AUTH\" not understood.",
         {"AUTH TLS", "QUIT"}},
        {"an authorities file that cannot be read",
         "server",
         byAddress,
         pki + QStringLiteral("/falta.pem"),
         false,
         "error 0: O arquivo de autoridades certificadoras do FTP \"" + pki +
             "/falta.pem\" não pôde ser usado: *",
         {}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        QTemporaryDir home;
        ASSERT_TRUE(home.isValid());
        FtpServerProcess::Options o;
        o.home = home.path() + QStringLiteral("/ftp");
        QDir().mkpath(o.home + QStringLiteral("/public_html"));
        if (k.cert) {
            o.certFile = pki + u'/' + QLatin1String(k.cert) + QStringLiteral(".pem");
            o.keyFile = pki + u'/' + QLatin1String(k.cert) + QStringLiteral(".key");
        }
        FtpServerProcess server(o);
        server.start();
        if (k.systemTrustsOurs)
            qputenv("SSL_CERT_FILE", ca.toLocal8Bit());

        FtpClient c;
        c.Host = k.host;
        c.Port = server.port();
        c.Username = QStringLiteral("kelvaro");
        c.Password = server.password();
        c.ReadTimeout = 10000;
        c.ConnectTimeout = 5000;
        c.UseTls = true;
        c.CaFile = k.caFile;
        QString got = QStringLiteral("connected");
        try {
            c.Connect();
            c.ChangeDir(QStringLiteral("public_html"));
            c.Disconnect();
        } catch (const FtpError& e) {
            got = QStringLiteral("error %1: %2").arg(e.code()).arg(QString::fromUtf8(e.what()));
        }
        qunsetenv("SSL_CERT_FILE");
        if (k.expected.endsWith(u'*'))
            EXPECT_TRUE(got.startsWith(k.expected.chopped(1))) << got.toStdString();
        else
            EXPECT_EQ(got.toStdString(), k.expected.toStdString());
        EXPECT_FALSE(c.Connected());

        QStringList expected = k.commands;
        if (!expected.isEmpty()) {
            expected.prepend(k.host == byAddress ? "HOST [127.0.0.1]" : "HOST " + k.host);
            if (expected.contains(QStringLiteral("USER kelvaro")))
                expected.insert(expected.size() - 1, QStringLiteral("CWD public_html"));
        }
        QStringList received = server.commands();
        for (int i = 0; i < 50 && received.size() < expected.size(); ++i) {
            QThread::msleep(20); // the QUIT may still be on its way to the record
            received = server.commands();
        }
        EXPECT_EQ(received.join(u'|').toStdString(), expected.join(u'|').toStdString());
    }
}

// A data connection whose certificate is refused says why in our words, as on the control
// connection, not with the server's reply to the broken handshake ("522 SSL handshake
// failed."); that reply is taken all the same, so the next command gets its own.
TEST(FtpRealServer, ACertificateRefusedOnADataConnectionSaysSo) {
    const QString pki = serviceSetting("QUARVEL_TEST_PKI");
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    FtpServerProcess::Options o;
    o.home = home.path() + QStringLiteral("/ftp");
    QDir().mkpath(o.home + QStringLiteral("/public_html"));
    o.certFile = pki + QStringLiteral("/server.pem");
    o.keyFile = pki + QStringLiteral("/server.key");
    o.dataCertFile = pki + QStringLiteral("/outro-nome.pem");
    o.dataKeyFile = pki + QStringLiteral("/outro-nome.key");
    FtpServerProcess server(o);
    server.start();

    FtpClient c;
    c.Host = QStringLiteral("127.0.0.1");
    c.Port = server.port();
    c.Username = QStringLiteral("kelvaro");
    c.Password = server.password();
    c.ReadTimeout = 10000;
    c.ConnectTimeout = 5000;
    c.UseTls = true;
    c.CaFile = pki + QStringLiteral("/ca.pem");
    c.Connect();
    c.ChangeDir(QStringLiteral("public_html"));
    const std::function<void()> transfers[] = {
        [&] { c.List(QString()); },
        [&] { c.PutData("<nfe/>", QStringLiteral("nota.xml")); },
    };
    for (const auto& transfer : transfers) {
        try {
            transfer();
            ADD_FAILURE() << "a data connection with another name's certificate was used";
        } catch (const FtpError& e) {
            EXPECT_EQ(e.code(), 0);
            EXPECT_EQ(QString::fromUtf8(e.what()).toStdString(),
                      "Certificado do servidor FTP recusado: emitido para outro nome, não para "
                      "127.0.0.1 (IP address mismatch)");
        }
        EXPECT_EQ(c.SendCmd(QStringLiteral("NOOP")), 200);
    }
    c.Disconnect();
    const QString stored = o.home + QStringLiteral("/public_html/nota.xml");
    if (QFile::exists(stored)) { // pyftpdlib opens the file before the data connection
        EXPECT_EQ(readFile(stored), QByteArray());
    }
}
