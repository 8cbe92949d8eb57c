// The storage run with encrypted transport, end to end: the real window (offscreen), the
// MariaDB that requires TLS and FTP servers that accept nothing but TLS; and the refusals
// that must end a run with a clear log line and nothing moved.
#include "DbSettings.h"
#include "FtpServerProcess.h"
#include "FtpSettings.h"
#include "QuarvelAcesso.h"
#include "QuarvelDmo.h"
#include "RootDb.h"
#include "TestServices.h"
#include "TestSupport.h"

#include <QDirIterator>
#include <QPlainTextEdit>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <gtest/gtest.h>
#include <memory>
#include <utime.h>

namespace {

// Three of the real fixtures, both layouts, with and without a protocol.
using Fixture = FixtureNfe;
const Fixture kFixtures[] = {kFixturesNfe[0], kFixturesNfe[2], kFixturesNfe[4]};

class StorageTls : public ::testing::Test {
public:
    void SetUp() override {
        ASSERT_TRUE(work.isValid());
        pki = serviceSetting("QUARVEL_TEST_PKI");
        // An account of the test's own keeps its rows and remote folders apart.
        cnpj = QStringLiteral("8%1").arg(QRandomGenerator::global()->bounded(1000000000000LL), 13,
                                         10, QChar(u'0'));
    }
    void TearDown() override {
        form.reset();
        dmdb.reset();
        root.exec("DELETE FROM docs WHERE pasta LIKE " + root.quote("/arqs/" + cnpj + "/%"));
    }

    DbSettings database(const char* prefix = "DBTLS", bool tls = true) const {
        const auto setting = [prefix](const char* key) {
            return serviceSetting(
                QStringLiteral("QUARVEL_TEST_%1_%2").arg(prefix, key).toLatin1().constData());
        };
        DbSettings s;
        s.host = setting("HOST");
        s.port = setting("PORT").toUInt();
        s.password = setting("PASSWORD");
        s.siteUrl = QStringLiteral("https://docs.exemplo.com.br");
        s.connectTimeout = 10;
        s.readTimeout = 60;
        s.writeTimeout = 60;
        s.tls = tls;
        s.caFile = pki + QStringLiteral("/ca.pem");
        return s;
    }
    FtpSettings ftp(const char* prefix, bool tls = true) {
        const auto setting = [prefix](const char* key) {
            return serviceSetting(
                QStringLiteral("QUARVEL_TEST_%1_%2").arg(prefix, key).toLatin1().constData());
        };
        ftpHome = setting("HOME");
        return {setting("HOST"),
                setting("PORT").toInt(),
                setting("USER"),
                setting("PASSWORD"),
                tls,
                pki + QStringLiteral("/ca.pem")};
    }
    // A pyftpdlib of the test's own, presenting the certificate `cert` of the test PKI (on
    // the data connections `dataCert` when given).
    FtpSettings ownFtp(const QString& cert, const QString& dataCert = {}) {
        ftpHome = work.path() + QStringLiteral("/ftphome");
        QDir().mkpath(ftpHome + QStringLiteral("/public_html"));
        FtpServerProcess::Options o;
        o.home = ftpHome;
        o.certFile = pki + u'/' + cert + QStringLiteral(".pem");
        o.keyFile = pki + u'/' + cert + QStringLiteral(".key");
        if (!dataCert.isEmpty()) {
            o.dataCertFile = pki + u'/' + dataCert + QStringLiteral(".pem");
            o.dataKeyFile = pki + u'/' + dataCert + QStringLiteral(".key");
        }
        own = std::make_unique<FtpServerProcess>(o);
        own->start();
        return {QStringLiteral("127.0.0.1"),
                own->port(),
                QStringLiteral("kelvaro"),
                own->password(),
                true,
                pki + QStringLiteral("/ca.pem")};
    }

    // A fresh folder of fixtures, stored by one press of "Armazenar".
    void store(const FtpSettings& ftpSettings, const DbSettings& db) {
        nfe = work.path() + QStringLiteral("/NFE-") + QString::number(++runs);
        bkp = work.path() + QStringLiteral("/BKP-") + QString::number(runs);
        originals.clear();
        for (const Fixture& f : kFixtures) {
            const QString path = nfe + u'/' + QLatin1String(f.mes) + u'/' + QLatin1String(f.file);
            writeFile(path, readFile(fixturePath(QStringLiteral("nfe/") + QLatin1String(f.file))));
            // Not a file that may still be being written.
            const QByteArray p = QFile::encodeName(path);
            struct utimbuf t;
            t.actime = t.modtime = ::time(nullptr) - 3600;
            ASSERT_EQ(::utime(p.constData(), &t), 0);
            originals[f.file] = path;
        }
        TConfiguracao c = configuracaoPadrao();
        c.sPastaNFE = nfe;
        c.sPastaBKP = bkp;
        c.sCNPJ = cnpj;
        c.sVirgula = QStringLiteral("S");
        form.reset();
        dmdb = std::make_unique<Tdmdb>(std::function<void()>{}, db);
        form = std::make_unique<TFormDlgAcesso>(c, *dmdb, ftpSettings);
        form->regional = [] { return QLocale(QStringLiteral("pt_BR")); };
        form->IdFTP.ReadTimeout = 20000;
        form->IdFTP.ConnectTimeout = 5000;
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        form->BitArmazenar->click();
    }

    QString log() const { return form->MemoErros->toPlainText(); }
    int rows() {
        return root
            .value("SELECT COUNT(*) FROM docs WHERE pasta LIKE " +
                   root.quote("/arqs/" + cnpj + "/%"))
            .toInt();
    }
    QStringList remoteFiles() const {
        QStringList out;
        QDirIterator it(ftpHome + QStringLiteral("/public_html/arqs/") + cnpj, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            out << it.next();
        return out;
    }

    RootDb root{serviceSetting("QUARVEL_TEST_DBTLS_SOCKET")};
    QTemporaryDir work;
    QString pki, cnpj, nfe, bkp, ftpHome;
    int runs = 0;
    std::map<QString, QString> originals; // fixture name -> its path below nfe
    std::unique_ptr<FtpServerProcess> own;
    std::unique_ptr<Tdmdb> dmdb;
    std::unique_ptr<TFormDlgAcesso> form;
};

} // namespace

// Each server requires TLS for the login and every data connection; vsftpd and ProFTPD also
// insist that each data connection resumes the control connection's session.
TEST_F(StorageTls, PublishesByteForByteOnEveryServer) {
    for (const char* server : {"FTPTLS", "VSFTPDTLS", "PUREFTPD", "PROFTPDTLS"}) {
        SCOPED_TRACE(server);
        const int before = rows();
        store(ftp(server), database());
        EXPECT_EQ(log().toStdString(), "");
        EXPECT_EQ(rows() - before, 3);
        for (const Fixture& f : kFixtures) {
            const QByteArray original =
                readFile(fixturePath(QStringLiteral("nfe/") + QLatin1String(f.file)));
            const QString tail =
                QStringLiteral("/%1/%2/%3")
                    .arg(QLatin1String(f.emitente), QLatin1String(f.mes), QLatin1String(f.file));
            EXPECT_EQ(readFile(ftpHome + QStringLiteral("/public_html/arqs/") + cnpj + tail),
                      original)
                << f.file;
            EXPECT_EQ(readFile(bkp + tail), original) << f.file;
            EXPECT_FALSE(QFile::exists(originals[f.file])) << f.file;
        }
        root.exec("DELETE FROM docs WHERE pasta LIKE " + root.quote("/arqs/" + cnpj + "/%"));
        cnpj[1] = QChar(u'0' + (cnpj[1].digitValue() + 1) % 10); // the next server's account
    }
}

// A refused server ends the run under its phase with a line that says why; every file stays
// where it was, and no row and no remote copy of an invoice is left.
TEST_F(StorageTls, RefusalsEndTheRunAndMoveNothing) {
    struct Case {
        const char* name;
        std::function<FtpSettings(StorageTls&)> ftp;
        std::function<DbSettings(StorageTls&)> db;
        const char* phase;
        const char* message; // a part of the logged message
        // pyftpdlib makes the file at STOR, before the refused data connection: it stays
        // empty, nothing of the invoice reached the server.
        bool emptyRemoteFile = false;
    };
    const auto tlsDb = [](StorageTls& t) { return t.database(); };
    const Case cases[] = {
        {"a certificate for another name",
         [](StorageTls& t) { return t.ownFtp(QStringLiteral("outro-nome")); }, tlsDb, "Conexão FTP",
         "Certificado do servidor FTP recusado: emitido para outro nome, não para 127.0.0.1"},
        {"a certificate from an unknown authority",
         [](StorageTls& t) { return t.ownFtp(QStringLiteral("desconhecido")); }, tlsDb,
         "Conexão FTP",
         "Certificado do servidor FTP recusado: emitido por uma autoridade certificadora "
         "desconhecida"},
        {"a certificate for another name on the data connections only",
         [](StorageTls& t) {
             return t.ownFtp(QStringLiteral("server"), QStringLiteral("outro-nome"));
         },
         tlsDb, "Copia arquivo para FTP <put>",
         "Certificado do servidor FTP recusado: emitido para outro nome, não para 127.0.0.1", true},
        {"a server without AUTH TLS", [](StorageTls& t) { return t.ftp("FTP"); }, tlsDb,
         "Conexão FTP",
         "O servidor FTP não oferece criptografia (AUTH TLS recusado): 500 Command \"AUTH\" not "
         "understood."},
        {"a database without TLS while TLS is required",
         [](StorageTls& t) { return t.ftp("FTPTLS"); },
         [](StorageTls& t) { return t.database("DB"); }, "",
         "SSL is required, but the server does not support it"},
        {"TLS off, a server that refuses clear-text logins",
         [](StorageTls& t) { return t.ftp("PUREFTPD", false); }, tlsDb, "Conexão FTP",
         "Sorry, cleartext sessions and weak ciphers are not accepted on this server."},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        own.reset();
        store(k.ftp(*this), k.db(*this));
        const QStringList lines = log().split(u'\n');
        ASSERT_GE(lines.size(), 2) << log().toStdString();
        EXPECT_EQ(lines[0], QString::fromUtf8(k.phase));
        EXPECT_TRUE(lines.mid(1).join(u'\n').contains(QString::fromUtf8(k.message)))
            << log().toStdString();
        for (const auto& [name, path] : originals)
            EXPECT_TRUE(QFile::exists(path)) << name.toStdString();
        EXPECT_FALSE(QFileInfo::exists(bkp)) << "something was moved";
        EXPECT_EQ(rows(), 0);
        const QStringList remote = remoteFiles();
        if (k.emptyRemoteFile) {
            ASSERT_EQ(remote.size(), 1);
            EXPECT_EQ(QFileInfo(remote[0]).size(), 0);
        } else {
            EXPECT_EQ(remote, QStringList());
        }
        EXPECT_FALSE(form->IdFTP.Connected());
    }
}
