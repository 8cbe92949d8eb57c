#include "RootDb.h"

#include "DbSettings.h"
#include "TestServices.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QRandomGenerator>
#include <QThread>
#include <mysql.h>
#include <stdexcept>

namespace {

[[noreturn]] void raise(MYSQL* m, const QString& sql) {
    throw std::runtime_error(
        ("root: " + sql + ": " + QString::fromUtf8(mysql_error(m))).toStdString());
}

} // namespace

RootDb::RootDb(const QString& socketPath) {
    m_mysql = mysql_init(nullptr);
    mysql_optionsv(m_mysql, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    const QByteArray socket = (socketPath.isEmpty() ? testDb().socket : socketPath).toUtf8();
    if (!mysql_real_connect(m_mysql, nullptr, "root", "", "kelvaro_doc", 0, socket.constData(), 0))
        raise(m_mysql, QStringLiteral("connect"));
}

RootDb::~RootDb() { mysql_close(m_mysql); }

void RootDb::exec(const QString& sql) {
    const QByteArray q = sql.toUtf8();
    if (mysql_real_query(m_mysql, q.constData(), static_cast<unsigned long>(q.size())))
        raise(m_mysql, sql);
    // Drain a result set, if any, so that the connection stays usable.
    if (MYSQL_RES* res = mysql_store_result(m_mysql))
        mysql_free_result(res);
}

std::vector<RootDb::Row> RootDb::rows(const QString& sql) {
    const QByteArray q = sql.toUtf8();
    if (mysql_real_query(m_mysql, q.constData(), static_cast<unsigned long>(q.size())))
        raise(m_mysql, sql);
    MYSQL_RES* res = mysql_store_result(m_mysql);
    if (!res)
        raise(m_mysql, sql);
    std::vector<Row> out;
    const unsigned columns = mysql_num_fields(res);
    while (MYSQL_ROW r = mysql_fetch_row(res)) {
        const unsigned long* lengths = mysql_fetch_lengths(res);
        Row row;
        for (unsigned i = 0; i < columns; ++i) {
            if (r[i])
                row.emplace_back(QString::fromUtf8(r[i], static_cast<qsizetype>(lengths[i])));
            else
                row.emplace_back(std::nullopt);
        }
        out.push_back(std::move(row));
    }
    mysql_free_result(res);
    return out;
}

QString RootDb::value(const QString& sql) {
    const std::vector<Row> r = rows(sql);
    if (r.size() != 1 || r[0].empty() || !r[0][0])
        throw std::runtime_error(("root: not one value: " + sql).toStdString());
    return *r[0][0];
}

QString RootDb::quote(const QString& text) {
    const QByteArray raw = text.toUtf8();
    QByteArray escaped(raw.size() * 2 + 1, '\0');
    const unsigned long n = mysql_real_escape_string(m_mysql, escaped.data(), raw.constData(),
                                                     static_cast<unsigned long>(raw.size()));
    escaped.truncate(static_cast<qsizetype>(n));
    return u'\'' + QString::fromUtf8(escaped) + u'\'';
}

int RootDb::connectionsOf(const QString& user) {
    return value("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE USER = " + quote(user))
        .toInt();
}

void RootDb::killConnectionsOf(const QString& user) {
    for (const Row& r :
         rows("SELECT ID FROM information_schema.PROCESSLIST WHERE USER = " + quote(user)))
        exec("KILL CONNECTION " + *r[0]);
    const QDeadlineTimer deadline(10000);
    while (connectionsOf(user) > 0) {
        if (deadline.hasExpired())
            throw std::runtime_error("root: the killed connections stay");
        QThread::msleep(20);
    }
}

void DbTest::SetUp() {
    static int serial = 0;
    user = QStringLiteral("qdb_%1_%2").arg(QCoreApplication::applicationPid()).arg(++serial);
    tag = QString::number(QRandomGenerator::global()->generate() | 0x10000000u, 16);
    const QString account = root.quote(user) + "@'127.0.0.1'";
    root.exec("CREATE USER " + account + " IDENTIFIED BY " + root.quote(testDb().password));
    root.exec("GRANT ALL PRIVILEGES ON kelvaro_doc.* TO " + account);
}

void DbTest::TearDown() {
    root.exec("DROP USER IF EXISTS " + root.quote(user) + "@'127.0.0.1'");
    root.exec("DELETE FROM docs WHERE INSTR(arquivo, " + root.quote(tag) + ") > 0");
    root.exec("DELETE FROM sequenciais WHERE LEFT(ctipo, 8) = " + root.quote(tag));
}

DbSettings DbTest::settings() const {
    DbSettings s;
    s.host = testDb().host;
    s.port = static_cast<unsigned>(testDb().port);
    s.user = user;
    s.password = testDb().password;
    s.siteUrl = QStringLiteral("https://docs.exemplo.com.br");
    s.connectTimeout = 10;
    s.readTimeout = 30; // a stuck test fails instead of waiting for ctest
    s.writeTimeout = 30;
    return s;
}
