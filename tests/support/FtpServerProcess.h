#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// A pyftpdlib server of the test's own (scripts/ftpserver.py), for cases that stop the
// server, restrict its permissions, present a certificate of their choice or count what it
// received. The server records every command it receives in a file of its own.
class FtpServerProcess {
public:
    struct Options {
        QString home; // must hold public_html
        QString password = QStringLiteral("segredo1");
        QString perm = QStringLiteral("elradfmwMT"); // pyftpdlib permission letters
        int port = 0;                                // 0: a free one
        QString certFile; // with its key: TLS required on the control and data connections
        QString keyFile;
        QString dataCertFile; // with its key: what the data connections present instead
        QString dataKeyFile;
    };

    explicit FtpServerProcess(Options options);
    ~FtpServerProcess();

    // Starts the server and waits until it accepts connections; throws on failure.
    void start();
    void stop();
    bool running() const;

    int port() const { return m_options.port; }
    const QString& password() const { return m_options.password; }

    // The commands the server received, in order ("CWD /public_html", "PASS ******"...).
    QStringList commands() const;
    // Successful logins.
    int logins() const;

private:
    QString log() const;
    QStringList recorded(QChar kind) const;

    Options m_options;
    QString m_logPath;
    QString m_recordPath;
    QProcess m_process;
};

// A TCP port nobody listens on right now.
int freeTcpPort();
