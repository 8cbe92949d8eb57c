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

    int port() const { return m_port; }
    // The next COMMIT through the proxy is carried out, its answer lost.
    void loseNextCommitReply();

private:
    QString m_trigger;
    QProcess m_process;
    int m_port = 0;
};
