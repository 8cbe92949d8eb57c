#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// A pyftpdlib server of the test's own (scripts/ftpserver.py), for cases that stop the
// server, restrict its permissions or count what it received. Logs every command.
class FtpServerProcess {
public:
    struct Options {
        QString home; // must hold public_html
        QString password = QStringLiteral("segredo1");
        QString perm = QStringLiteral("elradfmwMT"); // pyftpdlib permission letters
        int port = 0;                                // 0: a free one
    };

    explicit FtpServerProcess(Options options);
    ~FtpServerProcess();

    // Starts the server and waits until it accepts connections; throws on failure.
    void start();
    void stop();
    bool running() const;

    int port() const { return options_.port; }
    const QString& password() const { return options_.password; }

    // The commands the server received, in order ("CWD /public_html", "PASS ******"...).
    QStringList commands() const;
    // Successful logins.
    int logins() const;

private:
    QString log() const;

    Options options_;
    QString logPath_;
    QProcess process_;
};

// A TCP port nobody listens on right now.
int freeTcpPort();
