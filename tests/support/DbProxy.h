#pragma once

#include <QProcess>
#include <QString>

// tests/support/dbproxy.py in front of the test database: a port that passes everything
// through, and can lose the answer to the next COMMIT.
class DbProxy {
public:
    // `trigger`: the file whose presence arms the loss (the proxy removes it once used).
    DbProxy(int targetPort, QString trigger);
    ~DbProxy();
    DbProxy(const DbProxy&) = delete;
    DbProxy& operator=(const DbProxy&) = delete;

    int port() const { return port_; }
    // The next COMMIT through the proxy is carried out, its answer lost.
    void perderRespostaDoProximoCommit();

private:
    QString trigger_;
    QProcess process_;
    int port_ = 0;
};
