#include "DbProxy.h"

#include "TestSupport.h"

#include <stdexcept>

DbProxy::DbProxy(int targetPort, QString trigger) : m_trigger(std::move(trigger)) {
    m_process.start(QStringLiteral("/usr/bin/python3"),
                    {sourcePath(QStringLiteral("tests/support/dbproxy.py")),
                     QStringLiteral("--target-port"), QString::number(targetPort),
                     QStringLiteral("--trigger"), m_trigger});
    if (!m_process.waitForStarted(10000) || !m_process.waitForReadyRead(10000))
        throw std::runtime_error("the database proxy did not start: " +
                                 m_process.readAllStandardError().toStdString());
    m_port = m_process.readLine().trimmed().toInt();
    if (m_port <= 0)
        throw std::runtime_error("the database proxy gave no port");
}

DbProxy::~DbProxy() {
    m_process.kill();
    m_process.waitForFinished(10000);
}

void DbProxy::loseNextCommitReply() { writeFile(m_trigger, "1"); }
