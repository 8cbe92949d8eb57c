#include "FtpServerProcess.h"

#include "TestSupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <stdexcept>

int freeTcpPort() {
    QTcpServer s;
    if (!s.listen(QHostAddress::LocalHost, 0))
        throw std::runtime_error("no free TCP port");
    return s.serverPort();
}

FtpServerProcess::FtpServerProcess(Options options) : options_(std::move(options)) {
    if (options_.port == 0)
        options_.port = freeTcpPort();
    logPath_ = options_.home + QStringLiteral("/../ftpserver-%1.log").arg(options_.port);
}

FtpServerProcess::~FtpServerProcess() { stop(); }

void FtpServerProcess::start() {
    process_.setProcessChannelMode(QProcess::MergedChannels);
    process_.setStandardOutputFile(logPath_, QIODevice::Append);
    process_.start(QStringLiteral("/usr/bin/python3"),
                   {sourcePath(QStringLiteral("scripts/ftpserver.py")), QStringLiteral("--port"),
                    QString::number(options_.port), QStringLiteral("--home"), options_.home,
                    QStringLiteral("--user"), QStringLiteral("kelvaro"),
                    QStringLiteral("--password"), options_.password, QStringLiteral("--perm"),
                    options_.perm, QStringLiteral("--log"), QStringLiteral("DEBUG")});
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

QStringList FtpServerProcess::commands() const {
    // pyftpdlib at DEBUG writes each received line as "... [kelvaro] <- CWD /public_html"
    // (or "... <- USER kelvaro" before the login).
    static const QRegularExpression received(QStringLiteral("<- (.*)$"),
                                             QRegularExpression::MultilineOption);
    QStringList out;
    auto it = received.globalMatch(log());
    while (it.hasNext())
        out << it.next().captured(1).trimmed();
    return out;
}

int FtpServerProcess::logins() const {
    return int(log().count(QStringLiteral("USER 'kelvaro' logged in.")));
}
