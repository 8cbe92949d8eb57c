// The storage run end to end: the real window (offscreen), the real MariaDB server and real
// FTP servers. Each test stores into an account folder of its own, so tests can run side
// by side on the shared servers.
#include "FtpServerProcess.h"
#include "QuarvelAcesso.h"
#include "QuarvelDmo.h"
#include "RootDb.h"
#include "TestServices.h"
#include "TestSupport.h"

#include <QAction>
#include <QDirIterator>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <utime.h>

namespace {

const QString kSite = QStringLiteral("https://docs.exemplo.com.br");

// The real fixtures: relative path in the tree -> issuer CNPJ and yyyymm.
struct Fixture {
    const char* file;
    const char* emitente;
    const char* mes;
};
const Fixture kFixtures[] = {
    {"nfeproc-310-protocolada.xml", "58716523000119", "201703"},
    {"nfe-310-dest-cpf.xml", "58716523000119", "201512"},
    {"nfeproc-400-protocolada.xml", "06929383000163", "201809"},
    {"nfce-400-sem-prologo.xml", "23285089000185", "202003"},
    {"nfe-400.xml", "52567322000119", "202104"},
};

void envelhecer(const QString& path, int segundos = 3600) {
    const QByteArray p = QFile::encodeName(path);
    struct utimbuf t;
    t.actime = t.modtime = ::time(nullptr) - segundos;
    ASSERT_EQ(::utime(p.constData(), &t), 0);
}

class StorageRun : public ::testing::Test {
public:
    void SetUp() override {
        ASSERT_TRUE(work.isValid());
        nfe = work.path() + QStringLiteral("/NFE");
        bkp = work.path() + QStringLiteral("/BKP");
        QDir().mkpath(nfe);
        // A CNPJ of the test's own keeps its rows and remote folders apart.
        cnpj = QStringLiteral("9%1").arg(QRandomGenerator::global()->bounded(1000000000000LL), 13,
                                         10, QChar(u'0'));
        dbUser = QStringLiteral("qrun_%1_%2")
                     .arg(QCoreApplication::applicationPid())
                     .arg(QRandomGenerator::global()->bounded(1000000));
        const QString account = root.quote(dbUser) + QStringLiteral("@'127.0.0.1'");
        root.exec("CREATE USER " + account + " IDENTIFIED BY " + root.quote(testDb().password));
        root.exec("GRANT ALL PRIVILEGES ON kelvaro_doc.* TO " + account);
    }

    void TearDown() override {
        form.reset();
        dmdb.reset();
        root.exec("DROP USER IF EXISTS " + root.quote(dbUser) + "@'127.0.0.1'");
        root.exec("DELETE FROM docs WHERE pasta LIKE " + root.quote("/arqs/" + cnpj + "/%"));
    }

    DbSettings dbSettings() const {
        DbSettings s;
        s.host = testDb().host;
        s.port = unsigned(testDb().port);
        s.user = dbUser;
        s.password = testDb().password;
        s.siteUrl = kSite;
        s.connectTimeout = 10;
        s.readTimeout = 60;
        s.writeTimeout = 60;
        return s;
    }

    // The shared FTP server, or a server of the test's own.
    FtpSettings sharedFtp() {
        ftpHome = testFtp().home;
        return {testFtp().host, testFtp().port, testFtp().user, testFtp().password};
    }
    FtpSettings vsftpd() {
        ftpHome = serviceSetting("QUARVEL_TEST_VSFTPD_HOME");
        return {serviceSetting("QUARVEL_TEST_VSFTPD_HOST"),
                serviceSetting("QUARVEL_TEST_VSFTPD_PORT").toInt(),
                serviceSetting("QUARVEL_TEST_VSFTPD_USER"),
                serviceSetting("QUARVEL_TEST_VSFTPD_PASSWORD")};
    }
    void realDocumentsAndOneUnreadableFile(const FtpSettings& ftp);
    FtpSettings ownFtp(FtpServerProcess& server) {
        return {QStringLiteral("127.0.0.1"), server.port(), QStringLiteral("kelvaro"),
                server.password()};
    }
    std::unique_ptr<FtpServerProcess>
    startOwnFtp(const QString& perm = QStringLiteral("elradfmwMT")) {
        ftpHome = work.path() + QStringLiteral("/ftphome");
        QDir().mkpath(ftpHome + QStringLiteral("/public_html"));
        FtpServerProcess::Options o;
        o.home = ftpHome;
        o.perm = perm;
        auto s = std::make_unique<FtpServerProcess>(o);
        s->start();
        return s;
    }

    void openWindow(FtpSettings ftp, const QString& sCNPJ = {}, const QString& sPastaBKP = {}) {
        Configuracao c = configuracaoPadrao();
        c.sPastaNFE = nfe;
        c.sPastaBKP = sPastaBKP.isEmpty() ? bkp : sPastaBKP;
        c.sCNPJ = sCNPJ.isEmpty() ? cnpj : sCNPJ;
        c.sVirgula = QStringLiteral("S"); // Brazilian settings: decimal comma
        dmdb = std::make_unique<Tdmdb>(std::function<void()>{}, dbSettings());
        form = std::make_unique<TFormDlgAcesso>(c, *dmdb, ftp);
        form->regional = [] { return QLocale(QStringLiteral("pt_BR")); };
        form->IdFTP.ReadTimeout = 20000;
        form->IdFTP.ConnectTimeout = 5000;
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        // Every pump of the run gives the test a look at the window.
        connect(form->ListBoxArquivo);
    }

    void connect(QListWidget*) {
        pump = std::make_unique<QTimer>();
        pump->setInterval(0);
        QObject::connect(pump.get(), &QTimer::timeout, [this] {
            if (!form || !form->emExecucao())
                return;
            const int row = form->ListBoxArquivo->currentRow();
            if (row == lastRow)
                return;
            lastRow = row;
            progressSeen << form->ProgressBar1->value();
            auto it = atRow.find(row);
            if (it != atRow.end()) {
                auto action = it->second;
                atRow.erase(it);
                action();
            }
        });
        pump->start();
    }

    void store() {
        lastRow = -1;
        form->BitArmazenar->click();
        QCoreApplication::processEvents();
    }

    QString addFile(const QString& relative, const QByteArray& data, bool old = true) {
        const QString path = nfe + u'/' + relative;
        writeFile(path, data);
        if (old)
            envelhecer(path);
        originals[path] = data;
        return path;
    }
    QString addFixture(const QString& relative, const char* fixture) {
        return addFile(
            relative, readFile(fixturePath(QStringLiteral("nfe/") + QString::fromLatin1(fixture))));
    }

    QStringList logLines() const { return form->MemoErros->toPlainText().split(u'\n'); }

    std::vector<RootDb::Row> rows(const QString& columns = QStringLiteral("arquivo, pasta")) {
        return root.rows("SELECT " + columns + " FROM docs WHERE pasta LIKE " +
                         root.quote("/arqs/" + cnpj + "/%") + " ORDER BY id");
    }

    // Where a file can be after a run: one place, and a stored file has its row and its
    // remote copy; no row exists without its remote copy.
    enum Lugar { Origem, Backup, Erros };
    std::map<QString, Lugar> checkNothingLost() {
        std::map<QString, Lugar> where;
        QMap<QString, QString> rowPasta; // arquivo -> pasta
        for (const auto& r : rows()) {
            rowPasta.insert(*r[0], *r[1]);
            const QString remote = ftpHome + QStringLiteral("/public_html") + *r[1] + u'/' + *r[0];
            EXPECT_TRUE(QFile::exists(remote))
                << "row without its remote copy: " << remote.toStdString();
        }
        for (auto it = originals.begin(); it != originals.end(); ++it) {
            const QString& path = it->first;
            const QString name = QFileInfo(path).fileName();
            int places = 0;
            Lugar lugar = Origem;
            if (QFile::exists(path)) {
                ++places;
                lugar = Origem;
                EXPECT_EQ(readFile(path), it->second);
            }
            QDirIterator backup(bkp, {name}, QDir::Files, QDirIterator::Subdirectories);
            while (backup.hasNext()) {
                const QString b = backup.next();
                if (readFile(b) != it->second)
                    continue;
                ++places;
                lugar = b.startsWith(bkp + QStringLiteral("/Erros/")) ? Erros : Backup;
                if (lugar == Backup) {
                    EXPECT_TRUE(rowPasta.contains(name))
                        << "stored without its row: " << name.toStdString();
                    const QString remote = ftpHome + QStringLiteral("/public_html") +
                                           rowPasta.value(name) + u'/' + name;
                    EXPECT_TRUE(QFile::exists(remote) && readFile(remote) == it->second)
                        << "stored without its remote copy: " << name.toStdString();
                }
            }
            EXPECT_EQ(places, 1) << path.toStdString();
            where[name] = lugar;
        }
        return where;
    }

    int count(const std::map<QString, Lugar>& where, Lugar l) {
        int n = 0;
        for (const auto& [name, lugar] : where)
            n += lugar == l;
        return n;
    }

    RootDb root;
    QTemporaryDir work;
    QString nfe, bkp, cnpj, dbUser, ftpHome;
    std::unique_ptr<Tdmdb> dmdb;
    std::unique_ptr<TFormDlgAcesso> form;
    std::unique_ptr<QTimer> pump;
    int lastRow = -1;
    std::map<int, std::function<void()>> atRow;
    QList<int> progressSeen;
    std::map<QString, QByteArray> originals;
};

const QRegularExpression kStamp(QStringLiteral("^\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d "));

} // namespace

TEST_F(StorageRun, RealDocumentsAndOneUnreadableFile) {
    realDocumentsAndOneUnreadableFile(sharedFtp());
}

// vsftpd answers the listing of a missing folder with an empty list and prefixes the names
// it lists with the path asked for.
TEST_F(StorageRun, RealDocumentsAndOneUnreadableFileOnVsftpd) {
    realDocumentsAndOneUnreadableFile(vsftpd());
}

TEST_F(StorageRun, EmptyMonthFolderOnVsftpdIsEntered) {
    addFixture(QStringLiteral("nfe-400.xml"), "nfe-400.xml");
    const FtpSettings ftp = vsftpd();
    const QString month =
        QStringLiteral("%1/public_html/arqs/%2/52567322000119/202104").arg(ftpHome, cnpj);
    QDir().mkpath(month);
    ASSERT_EQ(QProcess::execute(QStringLiteral("chown"),
                                {QStringLiteral("-R"), QStringLiteral("kelvaro:"),
                                 ftpHome + QStringLiteral("/public_html/arqs")}),
              0);
    openWindow(ftp);
    store();
    EXPECT_TRUE(form->MemoErros->toPlainText().isEmpty())
        << form->MemoErros->toPlainText().toStdString();
    EXPECT_EQ(count(checkNothingLost(), Backup), 1);
}

void StorageRun::realDocumentsAndOneUnreadableFile(const FtpSettings& ftp) {
    for (const Fixture& f : kFixtures)
        addFixture(QStringLiteral("%1/%2").arg(QString::fromLatin1(f.mes).left(4),
                                               QString::fromLatin1(f.file)),
                   f.file);
    addFile(QStringLiteral("ruim.xml"), "isto nao e XML");
    // A file still being written is left alone, without a log line.
    const QString escrevendo = nfe + QStringLiteral("/escrevendo.xml");
    writeFile(escrevendo, "<NFe><infNFe versao=\"4.00\"><ide>");
    openWindow(ftp);
    QList<int> progress;
    QObject::connect(form->ProgressBar1, &QProgressBar::valueChanged, [&](int v) {
        if (form->emExecucao())
            progress << v;
    });
    store();

    // One log line for the unreadable file: the stamp, the text and a line feed.
    const QString log = form->MemoErros->toPlainText();
    EXPECT_TRUE(kStamp.match(log).hasMatch()) << log.toStdString();
    EXPECT_TRUE(log.endsWith(QStringLiteral("Erro ao processar o arquivo: ruim.xml\n")))
        << log.toStdString();
    EXPECT_EQ(log.count(u'\n'), 1);

    const auto where = checkNothingLost();
    EXPECT_EQ(count(where, Backup), 5);
    EXPECT_EQ(where.at(QStringLiteral("ruim.xml")), Erros);
    EXPECT_TRUE(QFile::exists(escrevendo));
    for (const Fixture& f : kFixtures)
        EXPECT_TRUE(
            QFile::exists(QStringLiteral("%1/%2/%3/%4")
                              .arg(bkp, QString::fromLatin1(f.emitente), QString::fromLatin1(f.mes),
                                   QString::fromLatin1(f.file))))
            << f.file;

    // The rows as the server holds them.
    const auto r = root.rows("SELECT ccnpj_origem, ccnpj_destino, cnumdoc, cserie, demissao, "
                             "cnome_destino, nvalortotal, "
                             "chave_doc, pasta, xml, link, creferencia FROM docs WHERE arquivo = "
                             "'nfce-400-sem-prologo.xml' "
                             "AND pasta LIKE " +
                             root.quote("/arqs/" + cnpj + "/%"));
    ASSERT_EQ(r.size(), 1u);
    const QStringList expected = {"23285089000185",
                                  "10422724000187",
                                  "1305",
                                  "1",
                                  "2020-03-11 00:00:00",
                                  QStringLiteral("Lumer Informática Serviços Digitais LTDA"),
                                  "30",
                                  "nfce-400-sem-pro",
                                  "/arqs/" + cnpj + "/23285089000185/202003",
                                  "",
                                  kSite + "/arqs/" + cnpj +
                                      "/23285089000185/202003/nfce-400-sem-prologo.xml",
                                  "032020"};
    for (int i = 0; i < expected.size(); ++i)
        EXPECT_EQ(r[0][size_t(i)].value_or(QStringLiteral("NULL")), expected[i]) << "column " << i;

    // Progress: one step per stored file, from 2 up to the number found (7 listed, 5 stored).
    EXPECT_EQ(progress, (QList<int>{2, 3, 4, 5, 6}));
    // The run took files out and the tree still held one, so a second run followed at
    // once; it only read the file still being written.
    EXPECT_EQ(form->sFase, u"Leitura do XML");
    EXPECT_TRUE(form->Timer1->isActive());
    EXPECT_TRUE(form->BitArmazenar->isEnabled());
    EXPECT_TRUE(form->BitListar->isEnabled());
    EXPECT_FALSE(form->IdFTP.Connected());
    // The listing at the end shows what is left: the file still being written.
    ASSERT_EQ(form->ListBoxArquivo->count(), 1);
    EXPECT_EQ(form->ListBoxArquivo->item(0)->text(), u"escrevendo.xml");
}

TEST_F(StorageRun, EmptyTreeOpensTheDatabaseButNoFtpConnection) {
    auto server = startOwnFtp();
    openWindow(ownFtp(*server));
    store();
    EXPECT_TRUE(dmdb->Conectado());
    EXPECT_EQ(server->logins(), 0);
    EXPECT_TRUE(server->commands().isEmpty());
    EXPECT_TRUE(form->MemoErros->toPlainText().isEmpty());
    EXPECT_TRUE(form->Timer1->isActive());
    EXPECT_TRUE(form->BitArmazenar->isEnabled());
    EXPECT_TRUE(form->BitListar->isEnabled());
}

TEST_F(StorageRun, FortyFiveFilesRecycleTheConnectionAndTakeTheShortPath) {
    const QByteArray doc = readFile(fixturePath(QStringLiteral("nfe/nfe-400.xml")));
    for (int i = 1; i <= 45; ++i)
        addFile(QStringLiteral("lote/nota%1.xml").arg(i, 2, 10, QChar(u'0')), doc);
    auto server = startOwnFtp();
    openWindow(ownFtp(*server));
    store();
    EXPECT_TRUE(form->MemoErros->toPlainText().isEmpty())
        << form->MemoErros->toPlainText().toStdString();
    const auto where = checkNothingLost();
    EXPECT_EQ(count(where, Backup), 45);
    EXPECT_EQ(rows().size(), 45u);

    // Logged in at the start, after the 19th and after the 38th stored file.
    EXPECT_EQ(server->logins(), 3);
    const QStringList cmds = server->commands();
    EXPECT_EQ(cmds.filter(QRegularExpression(QStringLiteral("^STOR "))).size(), 45);
    EXPECT_EQ(cmds.filter(QRegularExpression(QStringLiteral("^MKD "))).size(),
              4); // a fresh account
    // Once the month folder holds a file, each further file goes straight there.
    QList<int> stors;
    for (int i = 0; i < cmds.size(); ++i)
        if (cmds[i].startsWith(QStringLiteral("STOR ")))
            stors << i;
    const QString pasta = QStringLiteral("/public_html/arqs/%1/52567322000119/202104").arg(cnpj);
    const QStringList shortPath = {QStringLiteral("CWD /public_html"),
                                   QStringLiteral("TYPE A"),
                                   QStringLiteral("PASV"),
                                   QStringLiteral("NLST ") + pasta,
                                   QStringLiteral("TYPE I"),
                                   QStringLiteral("CWD ") + pasta,
                                   QStringLiteral("PASV")};
    for (int k = 1; k < stors.size(); ++k) {
        if (k == 19 || k == 38)
            continue; // a new login comes between these
        EXPECT_EQ(cmds.mid(stors[k] - 7, 7), shortPath) << "file " << k + 1;
        EXPECT_EQ(stors[k] - stors[k - 1], 8) << "file " << k + 1;
    }
}

TEST_F(StorageRun, EmptyMonthFolderOnTheServerIsEntered) {
    addFixture(QStringLiteral("nfe-400.xml"), "nfe-400.xml");
    auto server = startOwnFtp();
    // Left behind by an earlier run that failed between MKD and STOR.
    QDir().mkpath(
        QStringLiteral("%1/public_html/arqs/%2/52567322000119/202104").arg(ftpHome, cnpj));
    openWindow(ownFtp(*server));
    store();
    EXPECT_TRUE(form->MemoErros->toPlainText().isEmpty())
        << form->MemoErros->toPlainText().toStdString();
    EXPECT_EQ(count(checkNothingLost(), Backup), 1);
}

// Failures that end a run: the phase logged, the message, and nothing lost.
TEST_F(StorageRun, FailuresEndTheRunAndLoseNothing) {
    struct Caso {
        const char* name;
        const char* perm; // permissions of the test's FTP server
        std::function<void(StorageRun&, FtpServerProcess&, FtpSettings&, DbSettings&,
                           QString& sCNPJ, QString& sPastaBKP)>
            arrange;
        int failAtRow; // -1: before any file; else at this row's pump
        std::function<void(StorageRun&, FtpServerProcess&)> atRow;
        const char* phase;
        const char* messagePart;
        int storedAtLeast, storedAtMost;
    };
    auto nothing = [](StorageRun&, FtpServerProcess&, FtpSettings&, DbSettings&, QString&,
                      QString&) {};
    const Caso casos[] = {
        {"ftp server down before the run", "elradfmwMT",
         [](StorageRun&, FtpServerProcess& s, FtpSettings&, DbSettings&, QString&, QString&) {
             s.stop();
         },
         -1, nullptr, "Conexão FTP", "Socket Error # 111", 0, 0},
        {"login refused", "elradfmwMT",
         [](StorageRun&, FtpServerProcess&, FtpSettings& f, DbSettings&, QString&, QString&) {
             f.password = QStringLiteral("errada12");
         },
         -1, nullptr, "Conexão FTP", "Authentication failed.", 0, 0},
        {"account CNPJ that is no folder name", "elradfmwMT",
         [](StorageRun&, FtpServerProcess&, FtpSettings&, DbSettings&, QString& c, QString&) {
             c = QStringLiteral("12.345.678/0001-99");
         },
         -1, nullptr, "Conexão FTP", "sCNPJ", 0, 0},
        {"upload refused", "elradfmMT", nothing, -1, nullptr, "Copia arquivo para FTP <put>",
         "Not enough privileges", 0, 0},
        {"ftp server stopped during the run", "elradfmwMT", nothing, 2,
         [](StorageRun&, FtpServerProcess& s) { s.stop(); }, "Conexão com FTP", "Socket Error", 2,
         2},
        {"database connection killed during the run", "elradfmwMT", nothing, 2,
         [](StorageRun& t, FtpServerProcess&) { t.root.killConnectionsOf(t.dbUser); },
         "Inserção de Registro Banco Remoto", "Lost connection", 2, 2},
    };
    for (const Caso& c : casos) {
        SCOPED_TRACE(c.name);
        TearDown();
        originals.clear();
        atRow.clear();
        SetUp();
        for (int i = 0; i < 4; ++i)
            addFixture(QStringLiteral("n%1.xml").arg(i), "nfe-400.xml");
        auto server = startOwnFtp(QString::fromLatin1(c.perm));
        FtpSettings ftp = ownFtp(*server);
        DbSettings db = dbSettings();
        QString sCNPJ = cnpj, sPastaBKP = bkp;
        c.arrange(*this, *server, ftp, db, sCNPJ, sPastaBKP);
        openWindow(ftp, sCNPJ, sPastaBKP);
        if (c.atRow) {
            FtpServerProcess* s = server.get();
            auto act = c.atRow;
            atRow[c.failAtRow] = [this, s, act] { act(*this, *s); };
        }
        store();

        // The phase line, then the stamped message (which may span lines).
        const QStringList lines = logLines();
        ASSERT_GE(lines.size(), 2) << form->MemoErros->toPlainText().toStdString();
        EXPECT_EQ(lines[0], QString::fromUtf8(c.phase));
        EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d  \\S"))
                        .match(lines[1])
                        .hasMatch())
            << lines[1].toStdString();
        EXPECT_TRUE(lines.mid(1).join(u'\n').contains(QString::fromUtf8(c.messagePart)))
            << form->MemoErros->toPlainText().toStdString();
        EXPECT_FALSE(form->MemoErros->toPlainText().contains(u'\r'));
        EXPECT_TRUE(form->Timer1->isActive());
        EXPECT_TRUE(form->BitArmazenar->isEnabled());
        EXPECT_TRUE(form->BitListar->isEnabled());
        EXPECT_FALSE(form->IdFTP.Connected());
        // The lists still hold the entries of the failed run.
        EXPECT_EQ(form->ListBoxArquivo->count(), 4);
        const auto where = checkNothingLost();
        EXPECT_GE(count(where, Backup), c.storedAtLeast);
        EXPECT_LE(count(where, Backup), c.storedAtMost);
        EXPECT_EQ(rows().size(), size_t(count(where, Backup)));
    }
}

TEST_F(StorageRun, DatabaseDownEndsTheRunBeforeAnyFile) {
    addFixture(QStringLiteral("nfe-400.xml"), "nfe-400.xml");
    auto server = startOwnFtp();
    Configuracao c = configuracaoPadrao();
    c.sPastaNFE = nfe;
    c.sPastaBKP = bkp;
    c.sCNPJ = cnpj;
    c.sVirgula = QStringLiteral("S");
    DbSettings db = dbSettings();
    db.port = unsigned(freeTcpPort()); // nobody listens there
    dmdb = std::make_unique<Tdmdb>(std::function<void()>{}, db);
    form = std::make_unique<TFormDlgAcesso>(c, *dmdb, ownFtp(*server));
    form->regional = [] { return QLocale(QStringLiteral("pt_BR")); };
    store();
    const QStringList lines = logLines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], QString()); // no phase was set yet
    EXPECT_TRUE(lines[1].contains(QStringLiteral("Can't connect"))) << lines[1].toStdString();
    EXPECT_EQ(server->logins(), 0);
    EXPECT_EQ(checkNothingLost().begin()->second, Origem);
}

TEST_F(StorageRun, FailedMoveIsLoggedAndTheRunGoesOn) {
    addFixture(QStringLiteral("a.xml"), "nfe-400.xml");
    addFixture(QStringLiteral("b.xml"), "nfe-310-dest-cpf.xml");
    auto server = startOwnFtp();
    // A backup root below a plain file: no folder can be made there.
    writeFile(work.path() + QStringLiteral("/arquivo"), "x");
    openWindow(ownFtp(*server), {}, work.path() + QStringLiteral("/arquivo/BKP"));
    store();
    const QStringList lines = logLines();
    ASSERT_EQ(lines.size(), 2) << form->MemoErros->toPlainText().toStdString();
    for (const QString& l : lines) {
        EXPECT_TRUE(kStamp.match(l).hasMatch()) << l.toStdString();
        EXPECT_TRUE(l.contains(QStringLiteral("Erro ao mover o arquivo: "))) << l.toStdString();
    }
    // Both stay where they were (stored and published); no second run was chained.
    const auto where = checkNothingLost();
    EXPECT_EQ(count(where, Origem), 2);
    EXPECT_EQ(rows().size(), 2u);
    EXPECT_EQ(server->logins(), 1);
}

TEST_F(StorageRun, ADocumentRefusedEveryTimeNoLongerHoldsBackTheOthers) {
    QByteArray bad = readFile(fixturePath(QStringLiteral("nfe/nfe-400.xml")));
    const qsizetype at = bad.indexOf("<dest>");
    ASSERT_GT(at, 0);
    const qsizetype name = bad.indexOf("<xNome>", at);
    const qsizetype end = bad.indexOf("</xNome>", name);
    bad.replace(name + 7, end - name - 7, QByteArray(300, 'X')); // longer than its column
    addFile(QStringLiteral("0-ruim.xml"), bad);
    for (int i = 1; i <= 3; ++i)
        addFixture(QStringLiteral("%1-boa.xml").arg(i), "nfe-400.xml");
    openWindow(sharedFtp());
    store(); // ends at the refused document, wherever the listing put it
    store(); // takes it up last
    const auto where = checkNothingLost();
    EXPECT_EQ(count(where, Backup), 3);
    EXPECT_EQ(where.at(QStringLiteral("0-ruim.xml")), Origem);
    const QStringList lines = logLines();
    EXPECT_EQ(lines.count(QStringLiteral("Inserção de Registro Banco Remoto")), 2);
    EXPECT_EQ(form->ListBoxArquivo->item(form->ListBoxArquivo->count() - 1)->text(), u"0-ruim.xml");
}

TEST_F(StorageRun, WhileRunningNothingStartsASecondRunAndFecharWaits) {
    for (int i = 0; i < 3; ++i)
        addFixture(QStringLiteral("n%1.xml").arg(i), "nfe-400.xml");
    openWindow(sharedFtp());
    form->trayAvailable = [] { return true; };
    int listedDuring = -1;
    atRow[1] = [this, &listedDuring] {
        // Another handler failing re-enables the buttons; presses and ticks still do nothing.
        form->ErrorFound(form.get(), QStringLiteral("falha alheia"));
        form->BitArmazenar->click();
        form->BitListar->click();
        form->Timer1Timer();
        listedDuring = form->ListBoxArquivo->count();
        // A new file found by the listing at the end is stored by the run that follows.
        addFixture(QStringLiteral("nova.xml"), "nfe-310-dest-cpf.xml");
        form->Fechar1->trigger();
    };
    lastRow = -1;
    form->BitArmazenar->click();
    EXPECT_EQ(listedDuring, 3);
    EXPECT_EQ(count(checkNothingLost(), Backup), 4);
    EXPECT_TRUE(form->isVisible()); // closes once the handler has returned
    QTest::qWait(50);
    EXPECT_FALSE(form->isVisible());
}

// A run repaints the lists, their scroll bars and the progress bar at every file, drawing
// only what changed; at each file the window on the screen must be what a full paint of
// it shows.
TEST_F(StorageRun, AtEachFileTheScreenShowsWhatAFullPaintShows) {
    const QByteArray doc = readFile(fixturePath(QStringLiteral("nfe/nfe-400.xml")));
    for (int i = 1; i <= 40; ++i)
        addFile(QStringLiteral("lote%1/nota%2.xml").arg(i / 15).arg(i, 2, 10, QChar(u'0')), doc);
    openWindow(sharedFtp());
    int compared = 0;
    for (int row = 0; row < 40; ++row) {
        atRow[row] = [this, row, &compared] {
            // What this pump drew, drawn: then the screen against a paint from scratch.
            QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
            const QImage screen = form->screen()
                                      ->grabWindow(form->winId())
                                      .toImage()
                                      .convertToFormat(QImage::Format_RGB32);
            const QImage full = form->grab().toImage().convertToFormat(QImage::Format_RGB32);
            ASSERT_EQ(screen.size(), full.size());
            EXPECT_TRUE(screen == full) << "file " << row + 1;
            ++compared;
        };
    }
    store();
    EXPECT_EQ(compared, 40);
    EXPECT_EQ(count(checkNothingLost(), Backup), 40);
}
