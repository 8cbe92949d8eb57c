#include "FtpServerProcess.h"

#include "TestSupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <stdexcept>

int freeTcpPort() {
    // Below the range of outgoing connections, which could take a port picked from it
    // before the server binds it.
    int low = 0;
    QFile range(QStringLiteral("/proc/sys/net/ipv4/ip_local_port_range"));
    if (range.open(QIODevice::ReadOnly))
        low = range.readAll().simplified().split(' ').value(0).toInt();
    for (int attempt = 0; attempt < 500 && low > 11000; ++attempt) {
        QTcpServer s;
        const int port = 10000 + int(QRandomGenerator::global()->bounded(low - 10000));
        if (s.listen(QHostAddress::LocalHost, quint16(port)))
            return port;
    }
    QTcpServer s;
    if (!s.listen(QHostAddress::LocalHost, 0))
        throw std::runtime_error("no free TCP port");
    return s.serverPort();
}

FtpServerProcess::FtpServerProcess(Options options) : m_options(std::move(options)) {
    if (m_options.port == 0)
        m_options.port = freeTcpPort();
    m_logPath = m_options.home + QStringLiteral("/../ftpserver-%1.log").arg(m_options.port);
    m_recordPath = m_options.home + QStringLiteral("/../ftpserver-%1.received").arg(m_options.port);
}

FtpServerProcess::~FtpServerProcess() { stop(); }

void FtpServerProcess::start() {
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setStandardOutputFile(m_logPath, QIODevice::Append);
    QStringList args = {sourcePath(QStringLiteral("scripts/ftpserver.py")),
                        QStringLiteral("--port"),
                        QString::number(m_options.port),
                        QStringLiteral("--home"),
                        m_options.home,
                        QStringLiteral("--user"),
                        QStringLiteral("kelvaro"),
                        QStringLiteral("--password"),
                        m_options.password,
                        QStringLiteral("--perm"),
                        m_options.perm,
                        QStringLiteral("--record"),
                        m_recordPath};
    if (!m_options.certFile.isEmpty())
        args << QStringLiteral("--certfile") << m_options.certFile << QStringLiteral("--keyfile")
             << m_options.keyFile;
    if (!m_options.dataCertFile.isEmpty())
        args << QStringLiteral("--data-certfile") << m_options.dataCertFile
             << QStringLiteral("--data-keyfile") << m_options.dataKeyFile;
    m_process.start(QStringLiteral("/usr/bin/python3"), args);
    if (!m_process.waitForStarted(10000))
        throw std::runtime_error("the test FTP server did not start");
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 10000) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, quint16(m_options.port));
        if (probe.waitForConnected(200)) {
            probe.disconnectFromHost();
            return;
        }
        if (m_process.state() == QProcess::NotRunning)
            break;
        QThread::msleep(50);
    }
    throw std::runtime_error("the test FTP server does not accept connections: " +
                             log().toStdString());
}

void FtpServerProcess::stop() {
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(10000);
}

bool FtpServerProcess::running() const { return m_process.state() == QProcess::Running; }

QString FtpServerProcess::log() const {
    QFile f(m_logPath);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

QStringList FtpServerProcess::recorded(QChar kind) const {
    QFile f(m_recordPath);
    QStringList out;
    if (!f.open(QIODevice::ReadOnly))
        return out;
    const QString prefix = QString(kind) + u' ';
    for (const QString& line : QString::fromUtf8(f.readAll()).split(u'\n'))
        if (line.startsWith(prefix))
            out << line.mid(2);
    return out;
}

QStringList FtpServerProcess::commands() const { return recorded(u'C'); }

int FtpServerProcess::logins() const { return int(recorded(u'L').size()); }
