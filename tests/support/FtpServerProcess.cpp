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

FtpServerProcess::FtpServerProcess(Options options) : options_(std::move(options)) {
    if (options_.port == 0)
        options_.port = freeTcpPort();
    logPath_ = options_.home + QStringLiteral("/../ftpserver-%1.log").arg(options_.port);
    recordPath_ = options_.home + QStringLiteral("/../ftpserver-%1.received").arg(options_.port);
}

FtpServerProcess::~FtpServerProcess() { stop(); }

void FtpServerProcess::start() {
    process_.setProcessChannelMode(QProcess::MergedChannels);
    process_.setStandardOutputFile(logPath_, QIODevice::Append);
    QStringList args = {sourcePath(QStringLiteral("scripts/ftpserver.py")),
                        QStringLiteral("--port"),
                        QString::number(options_.port),
                        QStringLiteral("--home"),
                        options_.home,
                        QStringLiteral("--user"),
                        QStringLiteral("kelvaro"),
                        QStringLiteral("--password"),
                        options_.password,
                        QStringLiteral("--perm"),
                        options_.perm,
                        QStringLiteral("--record"),
                        recordPath_};
    if (!options_.certFile.isEmpty())
        args << QStringLiteral("--certfile") << options_.certFile << QStringLiteral("--keyfile")
             << options_.keyFile;
    if (!options_.dataCertFile.isEmpty())
        args << QStringLiteral("--data-certfile") << options_.dataCertFile
             << QStringLiteral("--data-keyfile") << options_.dataKeyFile;
    process_.start(QStringLiteral("/usr/bin/python3"), args);
    if (!process_.waitForStarted(10000))
        throw std::runtime_error("the test FTP server did not start");
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 10000) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, quint16(options_.port));
        if (probe.waitForConnected(200)) {
            probe.disconnectFromHost();
            return;
        }
        if (process_.state() == QProcess::NotRunning)
            break;
        QThread::msleep(50);
    }
    throw std::runtime_error("the test FTP server does not accept connections: " +
                             log().toStdString());
}

void FtpServerProcess::stop() {
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.kill();
    process_.waitForFinished(10000);
}

bool FtpServerProcess::running() const { return process_.state() == QProcess::Running; }

QString FtpServerProcess::log() const {
    QFile f(logPath_);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

QStringList FtpServerProcess::recorded(QChar kind) const {
    QFile f(recordPath_);
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
