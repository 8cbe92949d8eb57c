// The registry's connection in TLS, against the private MariaDB that requires it
// (require_secure_transport, so a session it takes is a TLS one) and the clear-text one.
#include "DbError.h"
#include "DbSettings.h"
#include "RootDb.h"
#include "TestServices.h"

#include "QuarvelDmo.h"

#include <QRandomGenerator>

TEST(RegistryTls, OnlyTheRightServerInTls) {
    const QString pki = serviceSetting("QUARVEL_TEST_PKI");
    const QString ca = pki + QStringLiteral("/ca.pem");
    const DbEndpoint plain = testDb();
    const DbEndpoint secure = {serviceSetting("QUARVEL_TEST_DBTLS_HOST"),
                               serviceSetting("QUARVEL_TEST_DBTLS_PORT").toInt(),
                               serviceSetting("QUARVEL_TEST_DBTLS_PASSWORD"),
                               serviceSetting("QUARVEL_TEST_DBTLS_SOCKET")};
    RootDb root(secure.socket);
    const QString tag = QString::number(QRandomGenerator::global()->generate() | 0x10000000u, 16);

    struct Case {
        const char* name;
        const DbEndpoint& server;
        QString host;
        bool tls;
        QString caFile;
        bool systemTrustsOurs; // SSL_CERT_FILE names our authority
        const char* expected;  // "connected", or a part of the driver's message
    };
    const QString byAddress = QStringLiteral("127.0.0.1");
    // The database's certificate names 127.0.0.1 only.
    const QString byOtherName = QStringLiteral("localhost");
    const Case cases[] = {
        {"TLS, our authority", secure, byAddress, true, ca, false, "connected"},
        {"TLS, the system's authorities", secure, byAddress, true, {}, true, "connected"},
        {"clear text to a server that requires TLS",
         secure,
         byAddress,
         false,
         {},
         false,
         "Access denied"}, // how MariaDB 10.11 words the refusal
        {"TLS required of a server without it", plain, byAddress, true, ca, false,
         "SSL is required, but the server does not support it"},
        {"an unknown authority", secure, byAddress, true, pki + QStringLiteral("/estranha.pem"),
         false, "self-signed certificate in certificate chain"},
        {"our authority unknown to the system", secure, byAddress, true, {}, false, "certificate"},
        {"a certificate for another name", secure, byOtherName, true, ca, false,
         "Validation of SSL server certificate failed"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        if (k.systemTrustsOurs)
            qputenv("SSL_CERT_FILE", ca.toLocal8Bit());
        DbSettings s;
        s.host = k.host;
        s.port = unsigned(k.server.port);
        s.password = k.server.password;
        s.connectTimeout = 10;
        s.readTimeout = 30;
        s.writeTimeout = 30;
        s.tls = k.tls;
        s.caFile = k.caFile;
        Tdmdb dmdb({}, s);
        QString got = QStringLiteral("connected");
        try {
            dmdb.ConectarBanco();
        } catch (const DbError& e) {
            got = QString::fromUtf8(e.what());
        }
        qunsetenv("SSL_CERT_FILE");
        EXPECT_TRUE(got.contains(QLatin1String(k.expected))) << got.toStdString();
        if (got != u"connected")
            continue;
        // A statement goes through that session.
        const QString counter = tag + QStringLiteral("TLS");
        dmdb.Seql(counter);
        EXPECT_EQ(
            root.value("SELECT COUNT(*) FROM sequenciais WHERE ctipo = " + root.quote(counter)),
            u"1");
        root.exec("DELETE FROM sequenciais WHERE ctipo = " + root.quote(counter));
    }
}
