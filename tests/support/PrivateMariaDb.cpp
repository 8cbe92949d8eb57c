#include "PrivateMariaDb.h"

#include "TestServices.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QThread>
#include <csignal>
#include <mysql.h>
#include <netinet/in.h>
#include <pwd.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const QString& what) {
    throw std::runtime_error(("private MariaDB: " + what).toStdString());
}

// A free port below the kernel's range for outgoing connections, so that no connection made
// meanwhile takes it between a stop and the restart.
int freePort() {
    QFile range(QStringLiteral("/proc/sys/net/ipv4/ip_local_port_range"));
    int low = 32768;
    if (range.open(QIODevice::ReadOnly))
        low = range.readAll().simplified().split(' ').value(0).toInt();
    for (int i = 0; i < 500; ++i) {
        const int port = low > 11000 ? QRandomGenerator::global()->bounded(10000, low) : 0;
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        socklen_t len = sizeof a;
        const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), len) == 0 &&
                        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0;
        ::close(fd);
        if (ok)
            return ntohs(a.sin_port);
    }
    fail(QStringLiteral("no free port"));
}

bool answers(const QByteArray& socket) {
    MYSQL* m = mysql_init(nullptr);
    const bool ok = mysql_real_connect(m, nullptr, "root", "", nullptr, 0, socket.constData(), 0);
    mysql_close(m);
    return ok;
}

} // namespace

PrivateMariaDb::PrivateMariaDb(QStringList serverOptions) : m_options(std::move(serverOptions)) {
    m_server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // A test that crashes leaves no server behind.
    m_server.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
}

PrivateMariaDb::~PrivateMariaDb() { stop(); }

void PrivateMariaDb::start() {
    if (!m_dir.isValid())
        fail(QStringLiteral("no temporary folder"));
    const QString data = m_dir.filePath(QStringLiteral("data"));
    if (QProcess::execute(
            QStringLiteral("cp"),
            {QStringLiteral("-a"), serviceSetting("QUARVEL_TEST_DB_TEMPLATE"), data}) != 0)
        fail(QStringLiteral("copying the data folder failed"));
    m_port = freePort();
    launch();
    QProcess client;
    client.setProcessChannelMode(QProcess::ForwardedChannels);
    client.start(QStringLiteral("mariadb"), {QStringLiteral("--no-defaults"),
                                             "--socket=" + socket(), QStringLiteral("-uroot")});
    QFile schema(QStringLiteral(QUARVEL_SOURCE_DIR "/sql/schema.sql"));
    if (!client.waitForStarted() || !schema.open(QIODevice::ReadOnly))
        fail(QStringLiteral("cannot run the mariadb client"));
    client.write("CREATE DATABASE kelvaro_doc CHARACTER SET utf8mb4 COLLATE utf8mb4_unicode_ci;\n"
                 "USE kelvaro_doc;\n");
    client.write(schema.readAll());
    client.closeWriteChannel();
    if (!client.waitForFinished(60000) || client.exitCode() != 0)
        fail(QStringLiteral("creating kelvaro_doc failed"));
}

void PrivateMariaDb::launch() {
    const passwd* pw = ::getpwuid(::getuid());
    QStringList args = {QStringLiteral("--no-defaults"),
                        QStringLiteral("--user=") +
                            QString::fromLocal8Bit(pw ? pw->pw_name : "root"),
                        "--datadir=" + m_dir.filePath(QStringLiteral("data")),
                        QStringLiteral("--bind-address=127.0.0.1"),
                        QStringLiteral("--port=%1").arg(m_port),
                        "--socket=" + socket(),
                        "--pid-file=" + m_dir.filePath(QStringLiteral("mysqld.pid")),
                        "--log-error=" + m_dir.filePath(QStringLiteral("error.log")),
                        QStringLiteral("--skip-name-resolve"),
                        QStringLiteral("--innodb-buffer-pool-size=16M"),
                        QStringLiteral("--character-set-server=utf8mb4"),
                        QStringLiteral("--collation-server=utf8mb4_unicode_ci"),
                        QStringLiteral("--sql-mode=STRICT_ALL_TABLES,ERROR_FOR_DIVISION_BY_ZERO,"
                                       "NO_ENGINE_SUBSTITUTION")};
    args += m_options;
    m_server.start(QStringLiteral("/usr/sbin/mariadbd"), args);
    if (!m_server.waitForStarted())
        fail(QStringLiteral("mariadbd does not start"));
    const QByteArray sock = QFile::encodeName(socket());
    const QDeadlineTimer deadline(60000);
    while (!answers(sock)) {
        if (m_server.state() == QProcess::NotRunning || deadline.hasExpired()) {
            QFile log(m_dir.filePath(QStringLiteral("error.log")));
            log.open(QIODevice::ReadOnly);
            fail("mariadbd did not come up: " + QString::fromLocal8Bit(log.readAll().right(2000)));
        }
        QThread::msleep(50);
    }
}

void PrivateMariaDb::restart() {
    stop();
    launch();
}

void PrivateMariaDb::stop() {
    if (m_server.state() == QProcess::NotRunning)
        return;
    m_server.terminate();
    if (!m_server.waitForFinished(30000)) {
        m_server.kill();
        m_server.waitForFinished(5000);
    }
}
