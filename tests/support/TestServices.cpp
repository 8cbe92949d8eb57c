#include "TestServices.h"

#include <QFile>
#include <QHash>
#include <stdexcept>

namespace {

QHash<QString, QString> readEnvFile() {
    QHash<QString, QString> values;
    QFile f(QStringLiteral(QUARVEL_TEST_SERVICES_ENV));
    if (!f.open(QIODevice::ReadOnly))
        return values;
    for (const QByteArray& raw : f.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        const qsizetype eq = line.indexOf(u'=');
        if (eq > 0)
            values.insert(line.left(eq), line.mid(eq + 1));
    }
    return values;
}

} // namespace

QString serviceSetting(const char* key) {
    const QByteArray fromEnv = qgetenv(key);
    if (!fromEnv.isEmpty())
        return QString::fromUtf8(fromEnv);
    const QHash<QString, QString> values = readEnvFile();
    const QString v = values.value(QString::fromLatin1(key));
    if (v.isEmpty())
        throw std::runtime_error(std::string("test services are not running (") + key +
                                 " missing from " QUARVEL_TEST_SERVICES_ENV
                                 "); run the tests through ctest or scripts/test");
    return v;
}

DbEndpoint testDb() {
    return {serviceSetting("QUARVEL_TEST_DB_HOST"), serviceSetting("QUARVEL_TEST_DB_PORT").toInt(),
            serviceSetting("QUARVEL_TEST_DB_PASSWORD"), serviceSetting("QUARVEL_TEST_DB_SOCKET")};
}

FtpEndpoint testFtp() {
    return {serviceSetting("QUARVEL_TEST_FTP_HOST"),
            serviceSetting("QUARVEL_TEST_FTP_PORT").toInt(),
            serviceSetting("QUARVEL_TEST_FTP_USER"), serviceSetting("QUARVEL_TEST_FTP_PASSWORD"),
            serviceSetting("QUARVEL_TEST_FTP_HOME")};
}
