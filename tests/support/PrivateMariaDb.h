#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A MariaDB server of one test's own, for what the shared test server must not undergo while
// other tests use it: a restart, a global setting such as an idle time-out of seconds. It
// starts from the pristine data folder the services keep (a copy, not an install) and holds
// the database kelvaro_doc with the tables of sql/schema.sql; root logs in through socket().
class PrivateMariaDb {
public:
    // `serverOptions`: further mariadbd options, e.g. "--wait-timeout=2".
    explicit PrivateMariaDb(QStringList serverOptions = {});
    ~PrivateMariaDb();
    PrivateMariaDb(const PrivateMariaDb&) = delete;
    PrivateMariaDb& operator=(const PrivateMariaDb&) = delete;

    // Both throw std::runtime_error when the server does not come up.
    void start();
    void restart();
    void stop();

    int port() const { return m_port; }
    QString socket() const { return m_dir.filePath(QStringLiteral("mysqld.sock")); }

private:
    void launch();

    QStringList m_options;
    QTemporaryDir m_dir;
    QProcess m_server;
    int m_port = 0;
};
