// Round trips against real FTP servers: pyftpdlib and vsftpd from the test services, and a
// pyftpdlib of this test's own that it can kill.

#include "FtpClient.h"
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
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

FtpEndpoint endpointOf(const std::string& server) {
    if (server == "vsftpd")
        return {serviceSetting("QUARVEL_TEST_VSFTPD_HOST"),
                serviceSetting("QUARVEL_TEST_VSFTPD_PORT").toInt(),
                serviceSetting("QUARVEL_TEST_VSFTPD_USER"),
                serviceSetting("QUARVEL_TEST_VSFTPD_PASSWORD"),
                serviceSetting("QUARVEL_TEST_VSFTPD_HOME")};
    return testFtp();
}

void configure(FtpClient& c, const FtpEndpoint& e) {
    c.Host = e.host;
    c.Port = e.port;
    c.Username = e.user;
    c.Password = e.password;
    c.ReadTimeout = 20000;
    c.ConnectTimeout = 5000;
}

QString uniqueName(const char* prefix) {
    return QStringLiteral("%1-%2-%3")
        .arg(QLatin1String(prefix))
        .arg(QCoreApplication::applicationPid())
        .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
}

std::vector<std::string> sorted(QStringList lines) {
    lines.sort();
    std::vector<std::string> out;
    for (const QString& l : lines)
        out.push_back(l.toStdString());
    return out;
}

class FtpRoundTrip : public ::testing::TestWithParam<std::string> {};

} // namespace

TEST_P(FtpRoundTrip, FoldersListingsUploadsAndChmod) {
    const FtpEndpoint server = endpointOf(GetParam());
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
    configure(c, server);
    c.Connect();
    ASSERT_TRUE(c.Connected());
    EXPECT_TRUE(c.Utf8()); // both servers name UTF8 in FEAT

    const QString folder = uniqueName("ida-e-volta");
    c.ChangeDir(QStringLiteral("/public_html"));
    c.MakeDir(folder);
    EXPECT_EQ(c.SendCmd(QStringLiteral("SITE CHMOD 771 ") + folder), 200);
    c.ChangeDir(folder);
    EXPECT_EQ(c.List(QString()), QStringList());
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
    EXPECT_EQ(c.List(QStringLiteral("/public_html/") + folder).size(), 5);

    const QString onDisk = server.home + QStringLiteral("/public_html/") + folder;
    for (const auto& [name, bytes] : files)
        EXPECT_EQ(readFile(onDisk + u'/' + name), bytes) << name.toStdString();
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

std::string serverName(const ::testing::TestParamInfo<std::string>& p) { return p.param; }

INSTANTIATE_TEST_SUITE_P(Servers, FtpRoundTrip, ::testing::Values("pyftpdlib", "vsftpd"),
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
