#include "DbProxy.h"

#include "TestSupport.h"

#include <stdexcept>

DbProxy::DbProxy(int targetPort, QString trigger) : trigger_(std::move(trigger)) {
    process_.start(QStringLiteral("/usr/bin/python3"),
                   {sourcePath(QStringLiteral("tests/support/dbproxy.py")),
                    QStringLiteral("--target-port"), QString::number(targetPort),
                    QStringLiteral("--trigger"), trigger_});
    if (!process_.waitForStarted(10000) || !process_.waitForReadyRead(10000))
        throw std::runtime_error("the database proxy did not start: " +
                                 process_.readAllStandardError().toStdString());
    port_ = process_.readLine().trimmed().toInt();
    if (port_ <= 0)
        throw std::runtime_error("the database proxy gave no port");
}

DbProxy::~DbProxy() {
    process_.kill();
    process_.waitForFinished(10000);
}

void DbProxy::perderRespostaDoProximoCommit() { writeFile(trigger_, "1"); }
