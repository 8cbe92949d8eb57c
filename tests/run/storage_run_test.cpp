// The storage run end to end: the real window (offscreen), the real MariaDB server and real
// FTP servers. Each test stores into an account folder of its own, so tests can run side
// by side on the shared servers.
#include "DbProxy.h"
#include "DbSettings.h"
#include "EtapaArquivo.h"
#include "FileMove.h"
#include "FtpServerProcess.h"
#include "FtpSettings.h"
#include "NFeReader.h"
#include "Nomes.h"
#include "PrivateMariaDb.h"
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
#include <array>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <utime.h>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <optional>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const QString kSite = QStringLiteral("https://docs.exemplo.com.br");

using Fixture = FixtureNfe;
const auto& kFixtures = kFixturesNfe;

QByteArray fixture(const char* name) {
    return readFile(fixturePath(QStringLiteral("nfe/") + QString::fromLatin1(name)));
}

// A distinct invoice made from a fixture: its number and its access keys (infNFe's Id, the
// protocol's chNFe) carry `numero`, so that no two of them are one document.
QByteArray nota(const char* name, int numero) {
    QByteArray xml = fixture(name);
    const qsizetype a = xml.indexOf("<nNF>") + 5;
    const qsizetype b = xml.indexOf("</nNF>", a);
    EXPECT_GT(a, 4);
    xml.replace(a, b - a, QByteArray::number(numero));
    const QByteArray digitos = QByteArray::number(numero).rightJustified(9, '0');
    for (const char* antes : {"Id=\"NFe", "<chNFe>"}) {
        const qsizetype k = xml.indexOf(antes);
        if (k >= 0)
            xml.replace(k + qsizetype(qstrlen(antes)) + 25, 9, digitos);
    }
    return xml;
}

// The three files of one invoice as real folders hold them: the NFe before it was signed, the
// signed NFe and the authorised nfeProc, made from one real nfeProc.
struct Versoes {
    QByteArray semAssinatura, assinada, autorizada;
    QString chave;
};
Versoes tresArquivos(int numero) {
    Versoes v;
    v.autorizada = nota("nfeproc-400-protocolada.xml", numero);
    const qsizetype a = v.autorizada.indexOf("<NFe>");
    const qsizetype b = v.autorizada.indexOf("</NFe>") + 6;
    EXPECT_TRUE(a > 0 && b > a);
    QByteArray nfe = v.autorizada.mid(a, b - a);
    nfe.replace("<NFe>", "<NFe xmlns=\"http://www.portalfiscal.inf.br/nfe\">");
    v.assinada = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + nfe + '\n';
    const qsizetype s = v.assinada.indexOf("<Signature");
    const qsizetype e = v.assinada.indexOf("</Signature>") + 12;
    EXPECT_TRUE(s > 0 && e > s);
    v.semAssinatura = v.assinada;
    v.semAssinatura.remove(s, e - s);
    const qsizetype k = v.autorizada.indexOf("<chNFe>") + 7;
    v.chave = QString::fromLatin1(v.autorizada.mid(k, 44));
    return v;
}

// Files by native path: names need not be UTF-8.
std::optional<QByteArray> ler(const QByteArray& caminho) {
    const int fd = ::open(caminho.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    QByteArray out;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
        out.append(buf, n);
    ::close(fd);
    return out;
}

void escrever(const QByteArray& caminho, const QByteArray& dados) {
    for (qsizetype i = 1; i < caminho.size(); ++i)
        if (caminho[i] == '/')
            ::mkdir(caminho.left(i).constData(), 0755);
    const int fd = ::open(caminho.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << caminho.toStdString();
    ASSERT_EQ(::write(fd, dados.constData(), size_t(dados.size())), dados.size());
    ::close(fd);
}

// Modification time `segundos` ago (negative: in the future).
void datar(const QByteArray& caminho, qint64 segundos = 3600) {
    struct utimbuf t;
    t.actime = t.modtime = ::time(nullptr) - segundos;
    ASSERT_EQ(::utime(caminho.constData(), &t), 0);
}

void arquivosAbaixo(const QByteArray& pasta, std::vector<QByteArray>& out) {
    DIR* d = ::opendir(pasta.constData());
    if (!d)
        return;
    while (const dirent* e = ::readdir(d)) {
        const QByteArray nome(e->d_name);
        if (nome == "." || nome == "..")
            continue;
        const QByteArray c = pasta + '/' + nome;
        struct stat st {};
        if (::lstat(c.constData(), &st) == 0 && S_ISDIR(st.st_mode))
            arquivosAbaixo(c, out);
        else
            out.push_back(c);
    }
    ::closedir(d);
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
    // A server of the test services in clear text, by the prefix of its settings.
    FtpSettings servidorFtp(const char* prefix) {
        const auto setting = [prefix](const char* key) {
            return serviceSetting(
                QStringLiteral("QUARVEL_TEST_%1_%2").arg(prefix, key).toLatin1().constData());
        };
        ftpHome = setting("HOME");
        return {setting("HOST"), setting("PORT").toInt(), setting("USER"), setting("PASSWORD")};
    }
    FtpSettings vsftpd() { return servidorFtp("VSFTPD"); }
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

    // A new window and data module, as after a restart of the program.
    void openWindow(FtpSettings ftp, const QString& sCNPJ = {},
                    std::optional<QString> sPastaBKP = {}, std::optional<DbSettings> db = {}) {
        form.reset();
        dmdb.reset();
        TConfiguracao c = configuracaoPadrao();
        c.sPastaNFE = nfe;
        c.sPastaBKP = sPastaBKP.value_or(bkp);
        c.sCNPJ = sCNPJ.isEmpty() ? cnpj : sCNPJ;
        c.sVirgula = QStringLiteral("S"); // Brazilian settings: decimal comma
        dmdb = std::make_unique<Tdmdb>(std::function<void()>{}, db.value_or(dbSettings()));
        form = std::make_unique<TFormDlgAcesso>(c, *dmdb, ftp);
        form->regional = [] { return QLocale(QStringLiteral("pt_BR")); };
        form->IdFTP.ReadTimeout = 20000;
        form->IdFTP.ConnectTimeout = 5000;
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        // Every pump of the run gives the test a look at the window.
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

    void nextRunPublishesTheNewBytes(const QString& remote, const QByteArray& bytes);
    void store() {
        lastRow = -1;
        form->BitArmazenar->click();
        QCoreApplication::processEvents();
    }

    QByteArray nativo(const QString& relative) const {
        return QFile::encodeName(nfe) + '/' + QFile::encodeName(relative);
    }
    // A file of the tree, its bytes remembered for the checks; `relative` may hold any bytes.
    QByteArray addFile(const QByteArray& relative, const QByteArray& data, bool old = true) {
        const QByteArray path = QFile::encodeName(nfe) + '/' + relative;
        escrever(path, data);
        if (old)
            datar(path);
        originals[path] = data;
        versoes.insert(data);
        return path;
    }
    QByteArray addFile(const QString& relative, const QByteArray& data, bool old = true) {
        return addFile(QFile::encodeName(relative), data, old);
    }
    QByteArray addFixture(const QString& relative, const char* name) {
        return addFile(relative, fixture(name));
    }
    // What another program does to a file of the tree: its new bytes are what must be
    // published in the end.
    void rewrite(const QByteArray& path, const QByteArray& data) {
        escrever(path, data);
        originals[path] = data;
        versoes.insert(data);
    }

    QStringList logLines() const { return form->MemoErros->toPlainText().split(u'\n'); }
    // The lines that say something (an unreadable file's line ends with a line feed).
    QStringList saidLines() const {
        return logLines().filter(QRegularExpression(QStringLiteral(".")));
    }

    std::vector<RootDb::Row> rows(const QString& columns = QStringLiteral("arquivo, pasta")) {
        RootDb& db = docsDb ? *docsDb : root;
        return db.rows("SELECT " + columns + " FROM " + docsTable + " WHERE pasta LIKE " +
                       db.quote("/arqs/" + cnpj + "/%") + " ORDER BY id");
    }

    // After any run: every file in exactly one place (where it was, the backup tree or
    // Erros), one row per document, every row's link serving that row's own invoice byte for
    // byte, and every stored file served by its row.
    enum Lugar { Origem, Backup, Erros };
    struct Lugares {
        std::map<QByteArray, Lugar> onde; // by the file's original native path
        int contar(Lugar l) const {
            int n = 0;
            for (const auto& [path, lugar] : onde)
                n += lugar == l;
            return n;
        }
        Lugar de(const char* nome) const {
            for (const auto& [path, lugar] : onde)
                if (path.endsWith(QByteArray("/") + nome))
                    return lugar;
            ADD_FAILURE() << "no such file " << nome;
            return Origem;
        }
    };
    // A file in the backup tree that is not on the web is a copy of a document that is, as
    // complete (a later file replaced it) or more (it lost to the copy on the web).
    Lugares checkNothingLost() {
        QList<QByteArray> publicados;
        std::map<QString, int> completudePublicada; // by folder and key
        std::set<QString> documentos;
        for (const auto& r : rows("arquivo, pasta, link, chave_doc, cnumdoc, cserie, "
                                  "ccnpj_destino, demissao, nvalortotal")) {
            const QString& arquivo = *r[0];
            const QString& pasta = *r[1];
            EXPECT_EQ(*r[2], kSite + pasta + u'/' + arquivo);
            const QString remote =
                ftpHome + QStringLiteral("/public_html") + pasta + u'/' + arquivo;
            const std::optional<QByteArray> copia = ler(QFile::encodeName(remote));
            if (!copia) {
                ADD_FAILURE() << "row without its remote copy: " << remote.toStdString();
                continue;
            }
            publicados << *copia;
            try {
                const TDadosNFe d = LerDadosNFeBytes(*copia, arquivo, QStringLiteral("N"),
                                                     QStringLiteral("."), cnpj);
                EXPECT_EQ(d.cnumdoc, *r[4])
                    << "the link serves another invoice: " << remote.toStdString();
                if (chaveDeAcesso(*r[3])) {
                    EXPECT_EQ(d.chave_doc, *r[3]) << remote.toStdString();
                }
                completudePublicada[pasta + u'|' + d.chave_doc] = completude(d);
            } catch (const std::exception& e) {
                ADD_FAILURE() << "the remote copy is no invoice: " << remote.toStdString() << ": "
                              << e.what();
            }
            // A version that a file held: the newest waits for the next run when the file
            // changed after its read.
            EXPECT_TRUE(versoes.count(*copia))
                << "remote copy unlike any file: " << remote.toStdString();
            const QString documento =
                pasta + u'|' +
                (chaveDeAcesso(*r[3]) ? *r[3]
                                      : QStringList{*r[4], *r[5], *r[6], *r[7], *r[8]}.join(u'|'));
            EXPECT_TRUE(documentos.insert(documento).second)
                << "two rows for one document: " << documento.toStdString();
        }

        // Every copy of each content on disk, by where it lies.
        std::vector<QByteArray> guardados;
        arquivosAbaixo(QFile::encodeName(bkp), guardados);
        const QByteArray erros = QFile::encodeName(bkp) + "/Erros/";
        Lugares out;
        std::map<QByteArray, int> esperados, achados;
        for (const auto& [path, bytes] : originals)
            ++esperados[bytes];
        for (const auto& [path, bytes] : originals) {
            if (ler(path) == bytes) {
                ++achados[bytes];
                out.onde[path] = Origem;
            }
        }
        for (const QByteArray& g : guardados) {
            const std::optional<QByteArray> bytes = ler(g);
            if (!bytes || !esperados.count(*bytes))
                continue;
            ++achados[*bytes];
            const Lugar lugar = g.startsWith(erros) ? Erros : Backup;
            if (lugar == Backup && !publicados.contains(*bytes)) {
                std::optional<TDadosNFe> d;
                try {
                    d = LerDadosNFeBytes(*bytes, QStringLiteral("x.xml"), QStringLiteral("N"),
                                         QStringLiteral("."), cnpj);
                } catch (const std::exception&) {
                }
                const auto melhor = d ? completudePublicada.find(d->pasta + u'|' + d->chave_doc)
                                      : completudePublicada.end();
                EXPECT_TRUE(d && chaveDeAcesso(d->chave_doc) &&
                            melhor != completudePublicada.end() && melhor->second >= completude(*d))
                    << "stored without its row and remote copy: " << g.toStdString();
            }
            // The file of that content and name that is not at its origin any more.
            for (const auto& [path, original] : originals) {
                const QByteArray nome = path.mid(path.lastIndexOf('/') + 1);
                const QByteArray base = nome.left(nome.lastIndexOf('.'));
                const QByteArray guardado = g.mid(g.lastIndexOf('/') + 1);
                if (original == *bytes && !out.onde.count(path) && guardado.startsWith(base)) {
                    out.onde[path] = lugar;
                    break;
                }
            }
        }
        // A file whose very bytes already lay in its target folder under its name or a
        // numbered form of it (one invoice stored twice) placed no copy of its own: that copy
        // is its place.
        for (const auto& [path, original] : originals) {
            if (out.onde.count(path))
                continue;
            const QByteArray nome = path.mid(path.lastIndexOf('/') + 1);
            for (const QByteArray& g : guardados) {
                const QByteArray guardado = g.mid(g.lastIndexOf('/') + 1);
                bool daSerie = false;
                for (int k = 1; k <= 100 && !daSerie; ++k)
                    daSerie = guardado == nomeNumerado(nome, k);
                if (daSerie && ler(g) == original) {
                    out.onde[path] = g.startsWith(erros) ? Erros : Backup;
                    ++achados[original];
                    break;
                }
            }
        }
        for (const auto& [bytes, n] : esperados)
            EXPECT_EQ(achados[bytes], n) << "a file is in " << achados[bytes] << " places";
        EXPECT_EQ(out.onde.size(), originals.size());
        return out;
    }

    RootDb root;
    RootDb* docsDb = nullptr;                               // where the rows are, when not root's
    QString docsTable = QStringLiteral("kelvaro_doc.docs"); // the table the program writes
    QTemporaryDir work;
    QString nfe, bkp, cnpj, dbUser, ftpHome;
    std::unique_ptr<Tdmdb> dmdb;
    std::unique_ptr<TFormDlgAcesso> form;
    std::unique_ptr<QTimer> pump;
    int lastRow = -1;
    std::map<int, std::function<void()>> atRow;
    QList<int> progressSeen;
    std::map<QByteArray, QByteArray> originals; // native path -> the bytes it must keep
    std::set<QByteArray> versoes;               // every content a file of the tree held
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

// ProFTPD answers the listing of a missing folder with 450 and chroots the session to its home.
TEST_F(StorageRun, RealDocumentsAndOneUnreadableFileOnProftpd) {
    realDocumentsAndOneUnreadableFile(servidorFtp("PROFTPD"));
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
    EXPECT_EQ(checkNothingLost().contar(Backup), 1);
}

void StorageRun::realDocumentsAndOneUnreadableFile(const FtpSettings& ftp) {
    for (const Fixture& f : kFixtures)
        addFixture(QStringLiteral("%1/%2").arg(QString::fromLatin1(f.mes).left(4),
                                               QString::fromLatin1(f.file)),
                   f.file);
    addFile(QStringLiteral("ruim.xml"), "isto nao e XML");
    // A file still being written is left alone, without a log line.
    const QByteArray escrevendo = nativo(QStringLiteral("escrevendo.xml"));
    escrever(escrevendo, "<NFe><infNFe versao=\"4.00\"><ide>");
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
    EXPECT_TRUE(log.endsWith(
        QStringLiteral("Erro ao processar o arquivo: ruim.xml (XML mal formado na linha 1, coluna "
                       "1: não começa com um elemento XML)\n")))
        << log.toStdString();
    EXPECT_EQ(log.count(u'\n'), 1);

    const Lugares where = checkNothingLost();
    EXPECT_EQ(where.contar(Backup), 5);
    EXPECT_EQ(where.de("ruim.xml"), Erros);
    EXPECT_TRUE(ler(escrevendo));
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
                                  "41200323285089000185650010000013051817822496",
                                  "/arqs/" + cnpj + "/23285089000185/202003",
                                  "",
                                  kSite + "/arqs/" + cnpj +
                                      "/23285089000185/202003/nfce-400-sem-prologo.xml",
                                  "032020"};
    for (int i = 0; i < expected.size(); ++i)
        EXPECT_EQ(r[0][size_t(i)].value_or(QStringLiteral("NULL")), expected[i]) << "column " << i;

    // Progress: one step per stored file, from 2 up to the number found (7 listed, 5 stored).
    // The second run's listing finds one file: the bar keeps its position, shown at that
    // smaller maximum.
    EXPECT_EQ(progress, (QList<int>{2, 3, 4, 5, 6, 1}));
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
    for (int i = 1; i <= 45; ++i)
        addFile(QStringLiteral("lote/nota%1.xml").arg(i, 2, 10, QChar(u'0')),
                nota("nfe-400.xml", 100 + i));
    auto server = startOwnFtp();
    openWindow(ownFtp(*server));
    store();
    EXPECT_TRUE(form->MemoErros->toPlainText().isEmpty())
        << form->MemoErros->toPlainText().toStdString();
    EXPECT_EQ(checkNothingLost().contar(Backup), 45);
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
    EXPECT_EQ(checkNothingLost().contar(Backup), 1);
}

// Failures that end a run: the phase logged, the message, and nothing lost. Each case sets up
// its own servers and tree.
struct Falha {
    const char* nome;
    const char* perm; // permissions of the test's FTP server
    std::function<void(StorageRun&, FtpServerProcess&, FtpSettings&, DbSettings&, QString& sCNPJ)>
        arrange;
    int failAtRow; // -1: before any file; else at this row's pump
    std::function<void(StorageRun&, FtpServerProcess&)> atRow;
    const char* phase;
    const char* messagePart;
    int storedAtLeast, storedAtMost;
    bool ftpLogin; // whether the run reached the FTP server
};

void PrintTo(const Falha& f, std::ostream* os) { *os << f.nome; }

class StorageRunFault : public StorageRun, public ::testing::WithParamInterface<Falha> {};

const Falha kFalhas[] = {
    {"database_down", "elradfmwMT",
     [](StorageRun&, FtpServerProcess&, FtpSettings&, DbSettings& db, QString&) {
         db.port = unsigned(freeTcpPort()); // nobody listens there
     },
     -1, nullptr, "" /* no phase was set yet */, "Can't connect", 0, 0, false},
    {"ftp_server_down_before_the_run", "elradfmwMT",
     [](StorageRun&, FtpServerProcess& s, FtpSettings&, DbSettings&, QString&) { s.stop(); }, -1,
     nullptr, "Conexão FTP", "Socket Error # 111", 0, 0, false},
    {"login_refused", "elradfmwMT",
     [](StorageRun&, FtpServerProcess&, FtpSettings& f, DbSettings&, QString&) {
         f.password = QStringLiteral("errada12");
     },
     -1, nullptr, "Conexão FTP", "Authentication failed.", 0, 0, false},
    {"account_cnpj_that_is_no_folder_name", "elradfmwMT",
     [](StorageRun&, FtpServerProcess&, FtpSettings&, DbSettings&, QString& c) {
         c = QStringLiteral("12.345.678/0001-99");
     },
     -1, nullptr, "Conexão FTP", "sCNPJ", 0, 0, false},
    {"upload_refused", "elradfmMT", nullptr, -1, nullptr, "Copia arquivo para FTP <put>",
     "Not enough privileges", 0, 0, true},
    {"ftp_server_stopped_during_the_run", "elradfmwMT", nullptr, 2,
     [](StorageRun&, FtpServerProcess& s) { s.stop(); }, "Conexão com FTP", "Socket Error", 2, 2,
     true},
    {"database_connection_killed_during_the_run", "elradfmwMT", nullptr, 2,
     [](StorageRun& t, FtpServerProcess&) { t.root.killConnectionsOf(t.dbUser); },
     "Inserção de Registro Banco Remoto", "Lost connection", 2, 2, true},
};

TEST_P(StorageRunFault, EndsTheRunAndLosesNothing) {
    const Falha& c = GetParam();
    for (int i = 0; i < 4; ++i)
        addFile(QStringLiteral("n%1.xml").arg(i), nota("nfe-400.xml", 10 + i));
    auto server = startOwnFtp(QString::fromLatin1(c.perm));
    FtpSettings ftp = ownFtp(*server);
    DbSettings db = dbSettings();
    QString sCNPJ = cnpj;
    if (c.arrange)
        c.arrange(*this, *server, ftp, db, sCNPJ);
    openWindow(ftp, sCNPJ, {}, db);
    if (c.atRow) {
        FtpServerProcess* srv = server.get();
        auto act = c.atRow;
        atRow[c.failAtRow] = [this, srv, act] { act(*this, *srv); };
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
    // The lists still hold the entries of the failed run, the file at which it ended
    // selected in both (the files before it are in the backup tree).
    EXPECT_EQ(form->ListBoxArquivo->count(), 4);
    const Lugares where = checkNothingLost();
    const int selecionada = form->ListBoxArquivo->currentRow();
    EXPECT_EQ(form->listBoxPasta->currentRow(), selecionada);
    // A run that set no phase ended before its first file.
    EXPECT_EQ(selecionada, *c.phase ? where.contar(Backup) : -1);
    EXPECT_GE(where.contar(Backup), c.storedAtLeast);
    EXPECT_LE(where.contar(Backup), c.storedAtMost);
    EXPECT_EQ(rows().size(), size_t(where.contar(Backup)));
    if (!c.ftpLogin) {
        EXPECT_EQ(server->logins(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Falhas, StorageRunFault, ::testing::ValuesIn(kFalhas),
                         [](const ::testing::TestParamInfo<Falha>& i) {
                             return std::string(i.param.nome);
                         });

// The backup tree refuses the move three runs running, then takes it: the document is
// registered and published once, and its file ends in the backup.
TEST_F(StorageRun, FailedMovesNeverRegisterTheDocumentAgain) {
    addFile(QStringLiteral("a.xml"), nota("nfe-400.xml", 31));
    addFile(QStringLiteral("b.xml"), nota("nfeproc-400-protocolada.xml", 32));
    auto server = startOwnFtp();
    // A backup root below a plain file: no folder can be made there.
    const QString bloqueio = work.path() + QStringLiteral("/bloqueio");
    writeFile(bloqueio, "x");
    openWindow(ownFtp(*server), {}, bloqueio + QStringLiteral("/BKP"));
    bkp = bloqueio + QStringLiteral("/BKP");
    for (int run = 1; run <= 3; ++run) {
        SCOPED_TRACE(run);
        store();
        const QStringList lines = logLines();
        EXPECT_EQ(lines.size(), 2 * run) << form->MemoErros->toPlainText().toStdString();
        for (const QString& l : lines) {
            EXPECT_TRUE(kStamp.match(l).hasMatch()) << l.toStdString();
            EXPECT_TRUE(l.contains(QStringLiteral("Erro ao mover o arquivo: "))) << l.toStdString();
        }
        EXPECT_EQ(checkNothingLost().contar(Origem), 2);
        EXPECT_EQ(rows().size(), 2u);
    }
    ASSERT_TRUE(QFile::remove(bloqueio));
    store();
    EXPECT_EQ(logLines().size(), 6);
    EXPECT_EQ(checkNothingLost().contar(Backup), 2);
    EXPECT_EQ(rows().size(), 2u);
    // Each run logged in once: no chained runs while nothing could leave the tree.
    EXPECT_EQ(server->logins(), 4);
}

// Whatever ends a run between the commit and the move (a kill, a power cut), the next run,
// in a new program, only moves the file.
TEST_F(StorageRun, AStopBetweenTheCommitAndTheMove) {
    addFile(QStringLiteral("a.xml"), nota("nfeproc-310-protocolada.xml", 41));
    addFile(QStringLiteral("b.xml"), nota("nfe-310-dest-cpf.xml", 42));
    auto server = startOwnFtp();
    openWindow(ownFtp(*server));
    // The process dies right after the first commit.
    form->aoPassarArquivo = [](TEtapaArquivo etapa, const QByteArray&) {
        if (etapa == TEtapaArquivo::Confirmado)
            throw std::runtime_error("parada simulada");
    };
    store();
    EXPECT_EQ(rows().size(), 1u);
    EXPECT_EQ(checkNothingLost().contar(Origem), 2);

    openWindow(ownFtp(*server)); // a new start of the program
    store();
    EXPECT_EQ(rows().size(), 2u);
    EXPECT_EQ(checkNothingLost().contar(Backup), 2);
}

// The server commits, but its answer is lost with the connection: the run ends, and the next
// one finds the document registered.
TEST_F(StorageRun, ACommitWhoseAnswerIsLost) {
    addFile(QStringLiteral("a.xml"), nota("nfeproc-400-protocolada.xml", 51));
    addFile(QStringLiteral("b.xml"), nota("nfe-400.xml", 52));
    auto server = startOwnFtp();
    DbProxy proxy(testDb().port, work.path() + QStringLiteral("/perder-commit"));
    DbSettings db = dbSettings();
    db.port = unsigned(proxy.port());
    openWindow(ownFtp(*server), {}, {}, db);
    form->aoPassarArquivo = [&proxy](TEtapaArquivo etapa, const QByteArray&) {
        if (etapa == TEtapaArquivo::Publicado)
            proxy.loseNextCommitReply();
    };
    store();
    const QStringList lines = logLines();
    ASSERT_GE(lines.size(), 2);
    EXPECT_EQ(lines[0], u"Inserção de Registro Banco Remoto");
    EXPECT_TRUE(lines[1].contains(QStringLiteral("Lost connection"))) << lines[1].toStdString();
    EXPECT_EQ(rows().size(), 1u) << "the server did commit";
    EXPECT_EQ(checkNothingLost().contar(Origem), 2);

    form->aoPassarArquivo = {};
    store();
    EXPECT_EQ(logLines().size(), 2) << form->MemoErros->toPlainText().toStdString();
    EXPECT_EQ(rows().size(), 2u);
    EXPECT_EQ(checkNothingLost().contar(Backup), 2);
}

// Two invoices of one issuer and month under one name get two rows and two remote copies;
// a later copy of a published invoice gets neither.
TEST_F(StorageRun, SameNameTwoInvoicesAndALaterCopy) {
    const QByteArray loja1 = nota("nfe-400.xml", 61);
    addFile(QStringLiteral("loja1/nota.xml"), loja1);
    addFile(QStringLiteral("loja2/nota.xml"), nota("nfe-400.xml", 62));
    addFile(QStringLiteral("loja3/nota.xml"), nota("nfeproc-400-protocolada.xml", 63));
    auto server = startOwnFtp();
    openWindow(ownFtp(*server));
    store();
    EXPECT_TRUE(form->MemoErros->toPlainText().isEmpty())
        << form->MemoErros->toPlainText().toStdString();
    QStringList arquivos;
    for (const auto& r : rows())
        arquivos << *r[0];
    arquivos.sort();
    EXPECT_EQ(arquivos, (QStringList{"nota (2).xml", "nota.xml", "nota.xml"}));
    EXPECT_EQ(checkNothingLost().contar(Backup), 3);

    // The same invoice copied into the tree again, under another name and in another folder.
    addFile(QStringLiteral("loja4/copia.xml"), loja1);
    addFile(QStringLiteral("loja5/nota.xml"), loja1);
    store();
    EXPECT_TRUE(form->MemoErros->toPlainText().isEmpty())
        << form->MemoErros->toPlainText().toStdString();
    EXPECT_EQ(rows().size(), 3u);
    EXPECT_EQ(checkNothingLost().contar(Backup), 5);
    // The copy under the same name found its bytes in the backup already: not placed twice.
    std::vector<QByteArray> guardados;
    arquivosAbaixo(QFile::encodeName(bkp), guardados);
    EXPECT_EQ(guardados.size(), 4u);
}

// An invoice's three files (unsigned, signed, its nfeProc) in every order, one run each, and
// all three in one run: the web ends with the nfeProc, under the name of the first file
// registered, with one row that holds the key. A file that loses to the copy on the web goes
// to the backup tree all the same, without a line. A row an older version left with a
// file-name text and an unsigned copy takes the key when the nfeProc replaces that copy.
TEST_F(StorageRun, TheWebKeepsTheMostCompleteCopyInEveryOrder) {
    enum Versao { S, A, P };
    const std::vector<std::array<Versao, 3>> ordens = {{S, A, P}, {S, P, A}, {A, S, P},
                                                       {A, P, S}, {P, S, A}, {P, A, S}};
    const char* const letra = "sap";
    std::vector<Versoes> docs;
    for (int i = 0; i < 8; ++i)
        docs.push_back(tresArquivos(400 + i));
    auto bytes = [&](int i, Versao v) -> const QByteArray& {
        return v == S ? docs[i].semAssinatura : v == A ? docs[i].assinada : docs[i].autorizada;
    };
    const QString pasta = "/arqs/" + cnpj + "/06929383000163/201809";
    auto server = startOwnFtp();

    // What an older version left: the unsigned file's copy, its row with a file-name text.
    const QString legado = QStringLiteral("nota-legada-nfe.xml");
    QDir().mkpath(ftpHome + "/public_html" + pasta);
    writeFile(ftpHome + "/public_html" + pasta + u'/' + legado, docs[7].semAssinatura);
    root.exec("INSERT INTO kelvaro_doc.docs (ccnpj_origem, ccnpj_destino, cnumdoc, cserie, "
              "demissao, cnome_destino, cnome_origem, nvalortotal, chave_doc, arquivo, pasta, xml, "
              "link, creferencia) VALUES ('06929383000163', '58716523000119', '407', '1', "
              "'2018-09-25', '', '', 500, 'nota-legada', " +
              root.quote(legado) + ", " + root.quote(pasta) + ", '', " +
              root.quote(kSite + pasta + u'/' + legado) + ", '092018')");

    openWindow(ownFtp(*server));
    for (int run = 0; run < 3; ++run) {
        for (size_t i = 0; i < ordens.size(); ++i) {
            const Versao v = ordens[i][size_t(run)];
            addFile(QStringLiteral("d%1-%2.xml").arg(i).arg(QChar::fromLatin1(letra[v])),
                    bytes(int(i), v));
        }
        if (run == 0) {
            for (Versao v : {S, A, P})
                addFile(QStringLiteral("d6-%1.xml").arg(QChar::fromLatin1(letra[v])), bytes(6, v));
            addFile(QStringLiteral("d7-p.xml"), docs[7].autorizada);
        }
        store();
        EXPECT_TRUE(form->MemoErros->toPlainText().isEmpty())
            << "run " << run << ": " << form->MemoErros->toPlainText().toStdString();
    }

    const auto r = rows(QStringLiteral("arquivo, chave_doc"));
    ASSERT_EQ(r.size(), docs.size());
    for (size_t i = 0; i < docs.size(); ++i) {
        SCOPED_TRACE("document " + std::to_string(i));
        const auto linha = std::find_if(
            r.begin(), r.end(), [&](const RootDb::Row& row) { return row[1] == docs[i].chave; });
        ASSERT_NE(linha, r.end());
        const QString arquivo = *(*linha)[0];
        if (i < ordens.size()) {
            EXPECT_EQ(
                arquivo,
                QStringLiteral("d%1-%2.xml").arg(i).arg(QChar::fromLatin1(letra[ordens[i][0]])));
        }
        if (i == 7) {
            EXPECT_EQ(arquivo, legado);
        }
        EXPECT_EQ(ler(QFile::encodeName(ftpHome + "/public_html" + pasta + u'/' + arquivo)),
                  docs[i].autorizada);
    }
    EXPECT_EQ(checkNothingLost().contar(Backup), int(ordens.size() * 3 + 4));
}

// A document registered without its protocol, then another file of it under another name,
// and files of other documents with the same number, series, recipient, date and total (a
// contingency issue with its own key, here with the same name too): each lands on its own
// document's copy.
TEST_F(StorageRun, OneDocumentsFileNeverLandsOnAnothersCopy) {
    const QByteArray x = nota("nfe-400.xml", 501);
    QByteArray xDeNovo = x; // the same invoice, written again by the invoice system
    xDeNovo.replace("<xNome>", "<xNome>Novo ");
    QByteArray y = x; // another key, the same five fields
    const qsizetype id = y.indexOf("Id=\"NFe") + 7;
    y[id + 43] = y[id + 43] == '9' ? '8' : '9';
    const QByteArray normal = nota("nfce-400-sem-prologo.xml", 502);
    QByteArray contingencia = normal;
    contingencia.replace("<tpEmis>7</tpEmis>", "<tpEmis>9</tpEmis>");
    const qsizetype k = contingencia.indexOf("Id=\"NFe") + 7;
    contingencia[k + 34] = '9';

    addFile(QStringLiteral("x.xml"), x);
    addFile(QStringLiteral("nfce.xml"), normal);
    auto server = startOwnFtp();
    openWindow(ownFtp(*server));
    store();
    addFile(QStringLiteral("x-copia.xml"), xDeNovo);
    addFile(QStringLiteral("outra/x.xml"), y);
    addFile(QStringLiteral("outra/nfce.xml"), contingencia);
    store();
    EXPECT_TRUE(form->MemoErros->toPlainText().isEmpty())
        << form->MemoErros->toPlainText().toStdString();

    const QString raiz = ftpHome + "/public_html/arqs/" + cnpj;
    auto remota = [&](const char* caminho) {
        return ler(QFile::encodeName(raiz + u'/' + QLatin1String(caminho)));
    };
    EXPECT_EQ(remota("52567322000119/202104/x.xml"), xDeNovo);
    EXPECT_EQ(remota("52567322000119/202104/x (2).xml"), y);
    EXPECT_EQ(remota("23285089000185/202003/nfce.xml"), normal);
    EXPECT_EQ(remota("23285089000185/202003/nfce (2).xml"), contingencia);
    EXPECT_EQ(rows().size(), 4u);
    EXPECT_EQ(checkNothingLost().contar(Backup), 5);
}

// After a run that left a rewritten file where it was: the next run adds no log line and no
// row, moves the file, and its copy at `remote` (below the account's folder) is `bytes`.
void StorageRun::nextRunPublishesTheNewBytes(const QString& remote, const QByteArray& bytes) {
    store();
    EXPECT_EQ(logLines().size(), 1);
    EXPECT_EQ(rows().size(), 1u);
    EXPECT_EQ(checkNothingLost().contar(Backup), 1);
    EXPECT_EQ(ler(QFile::encodeName(ftpHome + QStringLiteral("/public_html/arqs/") + cnpj + u'/' +
                                    remote)),
              bytes);
}

// What is published is what was read, and what is moved is what was published: a file
// rewritten after its read stays, with a log line, and the next run publishes the new bytes
// over the document's own copy.
TEST_F(StorageRun, AFileRewrittenAfterItWasRead) {
    const QByteArray a = addFile(QStringLiteral("a.xml"), nota("nfe-400.xml", 71));
    QByteArray segunda = nota("nfe-400.xml", 71);
    segunda.replace("<xNome>", "<xNome>Novo ");
    auto server = startOwnFtp();
    openWindow(ownFtp(*server));
    form->aoPassarArquivo = [&](TEtapaArquivo etapa, const QByteArray& caminho) {
        if (etapa == TEtapaArquivo::Publicado && caminho == a)
            rewrite(a, segunda);
    };
    store();
    const QStringList lines = logLines();
    ASSERT_EQ(lines.size(), 1) << form->MemoErros->toPlainText().toStdString();
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral("Erro ao mover o arquivo: a.xml (") +
                                  motivoArquivoAlterado() + u')'))
        << lines[0].toStdString();
    EXPECT_EQ(checkNothingLost().contar(Origem), 1);

    form->aoPassarArquivo = {};
    nextRunPublishesTheNewBytes(QStringLiteral("52567322000119/202104/a.xml"), segunda);
}

// The same while the file is copied into a backup tree on another file system.
TEST_F(StorageRun, AFileRewrittenDuringACopyToAnotherFileSystem) {
    QTemporaryDir outro(QStringLiteral("/dev/shm/quarvel-XXXXXX"));
    ASSERT_TRUE(outro.isValid());
    bkp = outro.path() + QStringLiteral("/BKP");
    const QByteArray a = addFile(QStringLiteral("a.xml"), nota("nfce-400-sem-prologo.xml", 81));
    QByteArray segunda = nota("nfce-400-sem-prologo.xml", 81);
    segunda.replace("<xNome>", "<xNome>Novo ");
    auto server = startOwnFtp();
    openWindow(ownFtp(*server), {}, bkp);
    testes_movimento::aoColocarCopia([&] { rewrite(a, segunda); });
    store();
    testes_movimento::aoColocarCopia({});
    EXPECT_EQ(logLines().size(), 1) << form->MemoErros->toPlainText().toStdString();
    EXPECT_EQ(checkNothingLost().contar(Origem), 1);
    nextRunPublishesTheNewBytes(QStringLiteral("23285089000185/202003/a.xml"), segunda);
}

// Names as they lie on disk: a Latin-1 folder is stored from like any other; a Latin-1 file
// name cannot be sent to the FTP server, so it is logged once and goes to Erros; a line feed
// in a name cannot forge a log line; an unreadable file dated in the future is no file being
// written.
TEST_F(StorageRun, NamesAndDatesThatUsedToBeSkipped) {
    addFile(QByteArray("Mar\xe7o/a.xml"), nota("nfe-400.xml", 91));
    addFile(QByteArray("nota\xe7.xml"), nota("nfe-400.xml", 92));
    addFile(QByteArray("linha\nforjada.xml"), "<x/>");
    const QByteArray futuro = addFile(QStringLiteral("futuro.xml"), "isto nao e XML");
    datar(futuro, -24 * 3600);
    auto server = startOwnFtp();
    openWindow(ownFtp(*server));
    store();

    // Unreadable lines end with a line feed, which leaves an empty line after each.
    const QStringList lines = logLines().filter(QRegularExpression(QStringLiteral(".")));
    ASSERT_EQ(lines.size(), 3) << form->MemoErros->toPlainText().toStdString();
    EXPECT_TRUE(lines.contains(
        QRegularExpression(QStringLiteral("^.{17}Nome de arquivo impróprio para o servidor FTP: "
                                          "nota\\\\xe7\\.xml \\(o nome não está em UTF-8\\)$"))))
        << lines.join(u'\n').toStdString();
    EXPECT_TRUE(lines.contains(
        QRegularExpression(QStringLiteral("^.{17}Erro ao processar o arquivo: linha\\\\nforjada\\.xml "
                                          "\\(nome de arquivo com caractere de controle\\)$"))))
        << lines.join(u'\n').toStdString();
    EXPECT_TRUE(lines.contains(QRegularExpression(
        QStringLiteral("^.{17}Erro ao processar o arquivo: futuro\\.xml \\(XML mal formado .*\\)$"))));

    const Lugares where = checkNothingLost();
    EXPECT_EQ(where.de("a.xml"), Backup);
    EXPECT_EQ(where.de("nota\xe7.xml"), Erros);
    EXPECT_EQ(where.de("linha\nforjada.xml"), Erros);
    EXPECT_EQ(where.de("futuro.xml"), Erros);
    EXPECT_TRUE(ler(QFile::encodeName(bkp) + "/Erros/nota\xe7.xml"));
}

// A tree that holds only a file being written logs in to nothing.
TEST_F(StorageRun, OnlyAFileBeingWrittenOpensNoFtpConnection) {
    escrever(nativo(QStringLiteral("escrevendo.xml")), "<NFe><infNFe versao=\"4.00\"><ide>");
    auto server = startOwnFtp();
    openWindow(ownFtp(*server));
    store();
    EXPECT_TRUE(form->MemoErros->toPlainText().isEmpty());
    EXPECT_EQ(server->logins(), 0);
    EXPECT_EQ(form->ListBoxArquivo->count(), 1);
}

TEST_F(StorageRun, ADocumentRefusedEveryTimeNoLongerHoldsBackTheOthers) {
    QByteArray bad = fixture("nfe-400.xml");
    const qsizetype at = bad.indexOf("<dest>");
    ASSERT_GT(at, 0);
    const qsizetype name = bad.indexOf("<xNome>", at);
    const qsizetype end = bad.indexOf("</xNome>", name);
    bad.replace(name + 7, end - name - 7, QByteArray(300, 'X')); // longer than its column
    addFile(QStringLiteral("0-ruim.xml"), bad);
    for (int i = 1; i <= 3; ++i)
        addFile(QStringLiteral("%1-boa.xml").arg(i), nota("nfe-400.xml", 100 + i));
    openWindow(sharedFtp());
    store(); // ends at the refused document, wherever the listing put it
    store(); // takes it up last
    const Lugares where = checkNothingLost();
    EXPECT_EQ(where.contar(Backup), 3);
    EXPECT_EQ(where.de("0-ruim.xml"), Origem);
    const QStringList lines = logLines();
    EXPECT_EQ(lines.count(QStringLiteral("Inserção de Registro Banco Remoto")), 2);
    EXPECT_EQ(form->ListBoxArquivo->item(form->ListBoxArquivo->count() - 1)->text(), u"0-ruim.xml");
}

TEST_F(StorageRun, WhileRunningNothingStartsASecondRunAndFecharWaits) {
    for (int i = 0; i < 3; ++i)
        addFile(QStringLiteral("n%1.xml").arg(i), nota("nfe-400.xml", 200 + i));
    openWindow(sharedFtp());
    form->bandejaDisponivel = [] { return true; };
    int listedDuring = -1;
    atRow[1] = [this, &listedDuring] {
        // Another handler failing re-enables the buttons; presses and ticks still do nothing.
        form->ErrorFound(form.get(), QStringLiteral("falha alheia"));
        form->BitArmazenar->click();
        form->BitListar->click();
        form->Timer1Timer();
        listedDuring = form->ListBoxArquivo->count();
        // A new file found by the listing at the end is stored by the run that follows.
        addFile(QStringLiteral("nova.xml"), nota("nfe-310-dest-cpf.xml", 204));
        form->Fechar1->trigger();
    };
    lastRow = -1;
    form->BitArmazenar->click();
    EXPECT_EQ(listedDuring, 3);
    EXPECT_EQ(checkNothingLost().contar(Backup), 4);
    EXPECT_TRUE(form->isVisible()); // closes once the handler has returned
    EXPECT_TRUE(QTest::qWaitFor([this] { return !form->isVisible(); }, 5000));
}

// Before each file the run selects its row in both lists, brings it into view and lets the
// window handle its messages: while the file's servers answer, the window on the screen is
// what a full paint of it shows, that row selected in both lists.
TEST_F(StorageRun, AtEachFileTheScreenShowsItsRowsSelected) {
    // One file is unreadable: it meets no server, and still shows as passed.
    for (int i = 1; i <= 40; ++i)
        addFile(QStringLiteral("lote%1/nota%2.xml").arg(i / 15).arg(i, 2, 10, QChar(u'0')),
                i == 20 ? QByteArray("<NFe>") : nota("nfe-400.xml", 300 + i));
    openWindow(sharedFtp());
    int publicados = 0;
    auto emVista = [](QListWidget* lista, int row) {
        return lista->viewport()->rect().contains(lista->visualItemRect(lista->item(row)));
    };
    form->aoPassarArquivo = [&](TEtapaArquivo etapa, const QByteArray& caminho) {
        if (etapa != TEtapaArquivo::Publicado)
            return;
        ++publicados;
        const QString nome = QFileInfo(QFile::decodeName(caminho)).fileName();
        const QList<QListWidgetItem*> item =
            form->ListBoxArquivo->findItems(nome, Qt::MatchExactly);
        ASSERT_EQ(item.size(), 1);
        const int row = form->ListBoxArquivo->row(item[0]);
        for (QListWidget* lista : {form->listBoxPasta, form->ListBoxArquivo}) {
            EXPECT_EQ(lista->currentRow(), row) << lista->objectName().toStdString();
            EXPECT_TRUE(lista->item(row)->isSelected()) << lista->objectName().toStdString();
            EXPECT_TRUE(emVista(lista, row)) << lista->objectName().toStdString();
        }
        // Nothing flushed here: the pump before the file drew it.
        const QImage screen = form->screen()
                                  ->grabWindow(form->winId())
                                  .toImage()
                                  .convertToFormat(QImage::Format_RGB32);
        const QImage full = form->grab().toImage().convertToFormat(QImage::Format_RGB32);
        ASSERT_EQ(screen.size(), full.size());
        EXPECT_TRUE(screen == full) << "file " << row + 1;
    };
    // At each pump the file's row is selected already, in both lists.
    for (int row = 1; row < 40; ++row) {
        atRow[row] = [this, row] {
            EXPECT_EQ(form->listBoxPasta->currentRow(), row);
            EXPECT_EQ(form->ListBoxArquivo->currentRow(), row);
        };
    }
    store();
    EXPECT_EQ(publicados, 39);
    EXPECT_TRUE(atRow.empty());
    const Lugares where = checkNothingLost();
    EXPECT_EQ(where.contar(Backup), 39);
    EXPECT_EQ(where.contar(Erros), 1);
}

// The session a run leaves open may be gone by the next run: a host's short idle time-out,
// a restart of its server. Neither fails a run, on a server of the test's own.
TEST_F(StorageRun, ASessionTheServerClosedBetweenRunsIsReplaced) {
    PrivateMariaDb servidor({QStringLiteral("--wait-timeout=2")});
    servidor.start();
    auto proprio = std::make_unique<RootDb>(servidor.socket());
    auto abrirRoot = [&] {
        proprio = std::make_unique<RootDb>(servidor.socket());
        proprio->exec(QStringLiteral("SET SESSION wait_timeout = 28800"));
        docsDb = proprio.get();
    };
    abrirRoot();
    const QString conta = proprio->quote(dbUser) + QStringLiteral("@'127.0.0.1'");
    proprio->exec("CREATE USER " + conta + " IDENTIFIED BY " + proprio->quote(testDb().password));
    proprio->exec("GRANT ALL PRIVILEGES ON kelvaro_doc.* TO " + conta);
    DbSettings db = dbSettings();
    db.port = unsigned(servidor.port());
    addFile(QStringLiteral("1/n1.xml"), nota("nfe-400.xml", 61));
    openWindow(sharedFtp(), {}, {}, db);
    store();
    ASSERT_EQ(rows().size(), 1u) << form->MemoErros->toPlainText().toStdString();

    const std::pair<const char*, std::function<void()>> pausas[] = {
        {"past wait_timeout",
         [&] {
             // The server drops the idle session on its own.
             const QDeadlineTimer prazo(60000);
             while (proprio->connectionsOf(dbUser) > 0 && !prazo.hasExpired())
                 QTest::qWait(100);
             EXPECT_EQ(proprio->connectionsOf(dbUser), 0);
         }},
        {"server restart",
         [&] {
             proprio.reset();
             docsDb = nullptr;
             servidor.restart();
             abrirRoot();
         }},
    };
    int numero = 62;
    for (const auto& [nome, pausa] : pausas) {
        SCOPED_TRACE(nome);
        EXPECT_TRUE(dmdb->Conectado()); // the program still holds its old session
        pausa();
        addFile(QStringLiteral("%1/n%1.xml").arg(numero).toUtf8(), nota("nfe-400.xml", numero));
        ++numero;
        store();
        EXPECT_TRUE(form->MemoErros->toPlainText().isEmpty())
            << form->MemoErros->toPlainText().toStdString();
        EXPECT_EQ(proprio->connectionsOf(dbUser), 1);
    }
    EXPECT_EQ(checkNothingLost().contar(Backup), 3);
    EXPECT_EQ(rows().size(), 3u);
}

// A host took INSERT away and gave it back: the session opened meanwhile keeps the rights it
// was opened with, so the run after a refusal starts on a new one.
TEST_F(StorageRun, ARevokedThenRestoredGrantWorksFromTheNextRun) {
    const QString conta = root.quote(dbUser) + QStringLiteral("@'127.0.0.1'");
    root.exec("REVOKE INSERT ON kelvaro_doc.* FROM " + conta);
    addFile(QStringLiteral("n1.xml"), nota("nfe-400.xml", 71));
    openWindow(sharedFtp());
    store();
    const QStringList lines = logLines();
    ASSERT_EQ(lines.size(), 2) << form->MemoErros->toPlainText().toStdString();
    EXPECT_EQ(lines[0], u"Inserção de Registro Banco Remoto");
    EXPECT_TRUE(lines[1].contains(QStringLiteral("INSERT command denied")))
        << lines[1].toStdString();
    EXPECT_EQ(checkNothingLost().contar(Origem), 1);
    const QString antes = root.value("SELECT ID FROM information_schema.PROCESSLIST WHERE USER = " +
                                     root.quote(dbUser));

    root.exec("GRANT INSERT ON kelvaro_doc.* TO " + conta);
    const QString log = form->MemoErros->toPlainText();
    store();
    EXPECT_EQ(form->MemoErros->toPlainText(), log);
    EXPECT_EQ(checkNothingLost().contar(Backup), 1);
    EXPECT_EQ(rows().size(), 1u);
    const QString depois = root.value(
        "SELECT ID FROM information_schema.PROCESSLIST WHERE USER = " + root.quote(dbUser));
    EXPECT_NE(antes, depois);
}

// A connection lost in the middle of a run ends that run, with no reconnection inside it;
// the next run opens a new session and stores the rest.
TEST_F(StorageRun, AConnectionLostDuringARunEndsItAndTheNextRunGoesOn) {
    for (int i = 0; i < 3; ++i)
        addFile(QStringLiteral("n%1.xml").arg(i), nota("nfe-400.xml", 81 + i));
    openWindow(sharedFtp());
    atRow[1] = [this] { root.killConnectionsOf(dbUser); };
    store();
    const QStringList lines = logLines();
    ASSERT_GE(lines.size(), 2) << form->MemoErros->toPlainText().toStdString();
    EXPECT_EQ(lines[0], u"Inserção de Registro Banco Remoto");
    EXPECT_EQ(checkNothingLost().contar(Backup), 1);
    EXPECT_EQ(rows().size(), 1u);
    EXPECT_EQ(root.connectionsOf(dbUser), 0); // nothing reconnected behind the run's back

    const QString log = form->MemoErros->toPlainText();
    store();
    EXPECT_EQ(form->MemoErros->toPlainText(), log);
    EXPECT_EQ(checkNothingLost().contar(Backup), 3);
    EXPECT_EQ(rows().size(), 3u);
}

namespace {

// One copy of the program in a process of its own (storage_driver.cpp), with its own
// DOC.INI and runtime folder; as another user when `uid` is not 0.
class Copia {
public:
    struct Rodada {
        QStringList armazenados; // files whose row was committed
        QStringList log;         // new lines of the error log
        QString lido;            // where a pausing run holds
    };

    Copia(const QString& pasta, const QByteArray& docIni, QProcessEnvironment env, uid_t uid) {
        QDir().mkpath(pasta + QStringLiteral("/run"));
        writeFile(pasta + QStringLiteral("/DOC.INI"), docIni);
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), pasta + QStringLiteral("/run"));
        env.insert(QStringLiteral("HOME"), pasta);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        if (uid != 0) {
            for (const QString& p : {pasta, pasta + QStringLiteral("/run")})
                EXPECT_EQ(::chown(QFile::encodeName(p).constData(), uid, uid), 0);
            // The folders the copies share stay open to both users, as an office sets them.
            m_processo.setChildProcessModifier([uid] {
                if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0)
                    ::_exit(126);
                ::umask(0);
            });
        }
        ::chmod(QFile::encodeName(pasta + QStringLiteral("/run")).constData(), 0700);
        m_processo.setProcessEnvironment(env);
        m_processo.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_processo.start(QStringLiteral(QUARVEL_STORAGE_DRIVER), {pasta});
        EXPECT_TRUE(m_processo.waitForStarted(10000));
    }
    ~Copia() {
        m_processo.closeWriteChannel();
        if (!m_processo.waitForFinished(30000))
            m_processo.kill();
        m_processo.waitForFinished(5000);
        EXPECT_EQ(m_processo.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(m_processo.exitCode(), 0);
    }

    void enviar(const char* comando) {
        m_processo.write(QByteArray(comando) + '\n');
        m_processo.waitForBytesWritten(5000);
    }
    // Lines up to "fim" (or up to "lido" when `ateLido`).
    Rodada ler(bool ateLido = false) {
        Rodada r;
        QDeadlineTimer prazo(240000);
        for (;;) {
            while (!m_processo.canReadLine()) {
                if (prazo.hasExpired() || m_processo.state() == QProcess::NotRunning) {
                    ADD_FAILURE() << "the copy stopped answering";
                    return r;
                }
                m_processo.waitForReadyRead(200);
            }
            const QString linha = QString::fromUtf8(m_processo.readLine()).chopped(1);
            if (linha == u"fim")
                return r;
            if (linha.startsWith(u"armazenado "))
                r.armazenados << linha.mid(11);
            else if (linha.startsWith(u"log "))
                r.log << linha.mid(4);
            else if (linha.startsWith(u"lido ")) {
                r.lido = linha.mid(5);
                if (ateLido)
                    return r;
            }
        }
    }

private:
    QProcess m_processo;
};

const QString kAdiado = QStringLiteral("Armazenamento adiado: outra cópia do programa neste "
                                       "computador está armazenando a pasta ");

} // namespace

class StorageRunCopies : public StorageRun, public ::testing::WithParamInterface<bool> {
public:
    std::unique_ptr<Copia> copia(const QString& nome, const QString& sPastaNFE,
                                 const QString& sPastaBKP, uid_t uid = 0) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DRIVER_DB_HOST"), testDb().host);
        env.insert(QStringLiteral("DRIVER_DB_PORT"), QString::number(testDb().port));
        env.insert(QStringLiteral("DRIVER_DB_USER"), dbUser);
        env.insert(QStringLiteral("DRIVER_DB_PASSWORD"), testDb().password);
        env.insert(QStringLiteral("DRIVER_DB_NAME"), docsTable.section(u'.', 0, 0));
        env.insert(QStringLiteral("DRIVER_SITE"), kSite);
        const FtpSettings ftp = sharedFtp();
        env.insert(QStringLiteral("DRIVER_FTP_HOST"), ftp.host);
        env.insert(QStringLiteral("DRIVER_FTP_PORT"), QString::number(ftp.port));
        env.insert(QStringLiteral("DRIVER_FTP_USER"), ftp.user);
        env.insert(QStringLiteral("DRIVER_FTP_PASSWORD"), ftp.password);
        const QByteArray ini = "[Parametros]\nsPastaNFE=" + sPastaNFE.toUtf8() +
                               "\nsPastaBKP=" + sPastaBKP.toUtf8() + "\nsCNPJ=" + cnpj.toUtf8() +
                               "\nsVirgula=S\n";
        return std::make_unique<Copia>(work.path() + QStringLiteral("/copias/") + nome, ini, env,
                                       uid);
    }
    // A table like the customer's may be: no unique key at all.
    void tabelaSemChaves() {
        banco = QStringLiteral("qk_%1").arg(QRandomGenerator::global()->bounded(100000000));
        root.exec("CREATE DATABASE " + banco);
        root.exec("CREATE TABLE " + banco + ".docs LIKE kelvaro_doc.docs");
        root.exec("ALTER TABLE " + banco +
                  ".docs DROP INDEX docs_arquivo, DROP INDEX docs_chave_nfe");
        root.exec("GRANT ALL PRIVILEGES ON " + banco + ".* TO " + root.quote(dbUser) +
                  "@'127.0.0.1'");
        docsTable = banco + QStringLiteral(".docs");
    }
    void TearDown() override {
        if (!banco.isEmpty())
            root.exec("DROP DATABASE IF EXISTS " + banco);
        StorageRun::TearDown();
    }
    QString banco;
};

// Two PCs of one account store at the same moment, round after round, the same invoices
// under the same names and other invoices under names the first uses: one row per document,
// one remote copy per row, each serving its own invoice, on a table without unique keys as
// on the schema's.
TEST_P(StorageRunCopies, TwoPcsStoringTheSameInvoicesAtOnce) {
    if (GetParam())
        tabelaSemChaves();
    auto a = copia(QStringLiteral("a"), nfe + QStringLiteral("/a"), bkp + QStringLiteral("/a"));
    auto b = copia(QStringLiteral("b"), nfe + QStringLiteral("/b"), bkp + QStringLiteral("/b"));
    constexpr int kRodadas = 3;
    for (int r = 1; r <= kRodadas; ++r) {
        SCOPED_TRACE(r);
        for (int i = 1; i <= 12; ++i) {
            const QString nome = QStringLiteral("r%1/pedido-%2.xml").arg(r).arg(i);
            const QByteArray mesma = nota("nfe-400.xml", 1000 * r + i);
            addFile(QStringLiteral("a/") + nome, mesma);
            // Half the same invoices, half others under the same names.
            addFile(QStringLiteral("b/") + nome,
                    i > 6 ? mesma : nota("nfe-400.xml", 1000 * r + 500 + i));
        }
        a->enviar("armazenar");
        b->enviar("armazenar");
        const Copia::Rodada ra = a->ler();
        const Copia::Rodada rb = b->ler();
        EXPECT_EQ(ra.log, QStringList());
        EXPECT_EQ(rb.log, QStringList());
        EXPECT_EQ(ra.armazenados.size(), 12);
        EXPECT_EQ(rb.armazenados.size(), 12);
    }
    EXPECT_EQ(checkNothingLost().contar(Backup), 24 * kRodadas);
    EXPECT_EQ(rows().size(), size_t(18 * kRodadas));
}

INSTANTIATE_TEST_SUITE_P(Tabelas, StorageRunCopies, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) {
                             return std::string(i.param ? "keyless" : "schema");
                         });

// The package starts the program for every user who logs in, and DOC.INI names the same
// folders for all: while one user's copy stores the tree, another user's copy skips its run
// with one line, and the files are taken up once.
TEST_F(StorageRunCopies, TwoUsersOfOnePcNeverStoreOneTreeAtOnce) {
    ASSERT_EQ(::getuid(), 0u) << "running copies as other users takes root";
    const QString comum = nfe + QStringLiteral("/comum");
    QDir().mkpath(comum);
    QDir().mkpath(bkp);
    QDir().mkpath(work.path() + QStringLiteral("/copias"));
    ::chmod(QFile::encodeName(work.path()).constData(), 0755);
    ::chmod(QFile::encodeName(work.path() + QStringLiteral("/copias")).constData(), 0755);
    // The shared folders open to both users, as an office sets them up.
    auto abrirATodos = [&] {
        QProcess::execute(QStringLiteral("chmod"),
                          {QStringLiteral("-R"), QStringLiteral("a+rwX"), nfe, bkp});
    };
    abrirATodos();
    std::unique_ptr<Copia> copias[2];
    for (int k = 0; k < 2; ++k)
        copias[k] = copia(QStringLiteral("u%1").arg(k), comum, bkp, uid_t(61001 + k));
    int numero = 2000;
    auto novosArquivos = [&](int rodada) {
        for (int i = 0; i < 6; ++i, ++numero)
            addFile(QStringLiteral("comum/%1/n%2.xml").arg(rodada).arg(numero),
                    nota("nfe-400.xml", numero));
        abrirATodos();
    };

    // One copy holds its run at its first file; the other comes meanwhile and skips.
    for (int rodada = 0; rodada < 2; ++rodada) {
        SCOPED_TRACE(rodada);
        Copia& primeira = *copias[rodada];
        Copia& segunda = *copias[1 - rodada];
        novosArquivos(rodada);
        primeira.enviar("armazenar-pausando");
        EXPECT_FALSE(primeira.ler(true).lido.isEmpty());
        segunda.enviar("armazenar");
        const Copia::Rodada pulada = segunda.ler();
        ASSERT_EQ(pulada.log.size(), 1) << pulada.log.join(u'\n').toStdString();
        EXPECT_TRUE(kStamp.match(pulada.log[0]).hasMatch()) << pulada.log[0].toStdString();
        EXPECT_TRUE(pulada.log[0].contains(kAdiado + comum +
                                           QStringLiteral(" (ou uma pasta "
                                                          "dentro dela ou que "
                                                          "a contém); a próxima "
                                                          "execução tenta de "
                                                          "novo.")))
            << pulada.log[0].toStdString();
        EXPECT_TRUE(pulada.armazenados.isEmpty());
        primeira.enviar("continuar");
        const Copia::Rodada feita = primeira.ler();
        EXPECT_EQ(feita.log, QStringList());
        EXPECT_EQ(feita.armazenados.size(), 6);
    }
    // Both at once, several times: whichever comes second skips, and no file goes twice.
    for (int rodada = 2; rodada < 5; ++rodada) {
        SCOPED_TRACE(rodada);
        novosArquivos(rodada);
        copias[0]->enviar("armazenar");
        copias[1]->enviar("armazenar");
        const Copia::Rodada r0 = copias[0]->ler();
        const Copia::Rodada r1 = copias[1]->ler();
        EXPECT_EQ(r0.armazenados.size() + r1.armazenados.size(), 6);
        for (const QString& l : r0.log + r1.log)
            EXPECT_TRUE(l.contains(kAdiado)) << l.toStdString();
    }
    copias[0].reset();
    copias[1].reset();
    EXPECT_EQ(checkNothingLost().contar(Backup), 30);
    EXPECT_EQ(rows().size(), 30u);
}

// Settings of sPastaBKP that would misplace files end the run before its first file, with one
// line for the whole life of the program; a backup tree inside the folder being stored is
// fine and never listed.
struct AjusteBackup {
    const char* nome;
    std::function<QString(const StorageRun&)> sPastaBKP;
    const char* linha; // nullptr: a valid setting
    int listados;      // what the window shows after an invalid setting's runs
};

void PrintTo(const AjusteBackup& c, std::ostream* os) { *os << c.nome; }

class StorageRunSetting : public StorageRun, public ::testing::WithParamInterface<AjusteBackup> {};

const AjusteBackup kConfiguracoes[] = {
    {"empty", [](const StorageRun&) { return QString(); }, "sPastaBKP está vazio", 2},
    {"relative", [](const StorageRun&) { return QStringLiteral("BKP"); },
     "sPastaBKP (BKP) não é um caminho absoluto", 2},
    {"the folder being stored", [](const StorageRun& t) { return t.nfe; },
     "é a própria pasta a armazenar", 0},
    {"the folder being stored, with a doubled separator",
     [](const StorageRun& t) { return t.nfe + QStringLiteral("//"); },
     "é a própria pasta a armazenar", 0},
    {"above the folder being stored", [](const StorageRun& t) { return t.work.path(); },
     "contém a pasta a armazenar", 0},
    {"the root", [](const StorageRun&) { return QStringLiteral("/"); },
     "sPastaBKP (/) contém a pasta a armazenar", 0},
    {"inside the folder being stored",
     [](const StorageRun& t) { return t.nfe + QStringLiteral("/BKP"); }, nullptr, 0},
};

TEST_P(StorageRunSetting, IsCheckedBeforeTheRunStoresAnything) {
    const AjusteBackup& c = GetParam();
    addFile(QStringLiteral("a.xml"), nota("nfe-400.xml", 501));
    addFile(QStringLiteral("sub/b.xml"), nota("nfeproc-400-protocolada.xml", 502));
    auto server = startOwnFtp();
    const QString sPastaBKP = c.sPastaBKP(*this);
    openWindow(ownFtp(*server), {}, sPastaBKP);
    if (!c.linha)
        bkp = sPastaBKP;
    store();
    store();
    const QStringList lines = saidLines();
    if (c.linha) {
        ASSERT_EQ(lines.size(), 1) << form->MemoErros->toPlainText().toStdString();
        EXPECT_TRUE(kStamp.match(lines[0]).hasMatch()) << lines[0].toStdString();
        EXPECT_TRUE(lines[0].mid(17).startsWith(QStringLiteral("Configuração inválida: sPastaBKP")))
            << lines[0].toStdString();
        EXPECT_TRUE(lines[0].contains(QString::fromUtf8(c.linha))) << lines[0].toStdString();
        EXPECT_EQ(checkNothingLost().contar(Origem), 2);
        EXPECT_EQ(rows().size(), 0u);
        EXPECT_EQ(server->logins(), 0);
        EXPECT_TRUE(form->Timer1->isActive());
        EXPECT_TRUE(form->BitArmazenar->isEnabled());
        // The window still shows what waits.
        EXPECT_EQ(form->ListBoxArquivo->count(), c.listados);
        // A new start of the program says it again.
        openWindow(ownFtp(*server), {}, sPastaBKP);
        store();
        EXPECT_EQ(saidLines().size(), 1);
    } else {
        EXPECT_TRUE(lines.isEmpty()) << form->MemoErros->toPlainText().toStdString();
        EXPECT_EQ(checkNothingLost().contar(Backup), 2);
        EXPECT_EQ(rows().size(), 2u);
        EXPECT_EQ(form->ListBoxArquivo->count(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Configuracoes, StorageRunSetting, ::testing::ValuesIn(kConfiguracoes),
                         [](const ::testing::TestParamInfo<AjusteBackup>& i) {
                             std::string n;
                             for (const char* p = i.param.nome; *p; ++p)
                                 n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return n;
                         });

// What an office folder may hold besides invoices, each beside one good invoice, over two
// runs of one program and one run after a restart: the lines said, where everything is, and
// nothing lost.
struct Entrada {
    const char* nome;
    // Makes the entry; returns its native path.
    std::function<QByteArray(StorageRun&)> arrange;
    int linhas;             // lines over the two runs of one program start
    int linhasAposReinicio; // lines of the run after a restart
    const char* motivo;     // in every line
    std::function<void(StorageRun&, const QByteArray&)> depois; // after the first program
    bool comoUsuario = false;                                  // runs meet file permissions
    std::function<void(StorageRun&, const QByteArray&)> entreExecucoes = nullptr;
};

void PrintTo(const Entrada& e, std::ostream* os) { *os << e.nome; }

class StorageRunEntry : public StorageRun, public ::testing::WithParamInterface<Entrada> {
protected:
    void TearDown() override {
        removeTree(QFile::encodeName(nfe)); // paths too long for QTemporaryDir
        StorageRun::TearDown();
    }
};

QByteArray tipoEm(const QByteArray& caminho) {
    struct stat st {};
    if (::lstat(caminho.constData(), &st) != 0)
        return "nothing";
    if (S_ISFIFO(st.st_mode))
        return "fifo";
    if (S_ISSOCK(st.st_mode))
        return "socket";
    if (S_ISCHR(st.st_mode))
        return "device";
    if (S_ISLNK(st.st_mode))
        return "link";
    return S_ISREG(st.st_mode) ? "file" : "other";
}

// A regular file of the backup tree named `nome`, wherever it lies; empty when there is none.
QByteArray noBackup(const StorageRun& t, const QByteArray& nome) {
    std::vector<QByteArray> todos;
    arquivosAbaixo(QFile::encodeName(t.bkp), todos);
    for (const QByteArray& g : todos)
        if (g.endsWith('/' + nome))
            return g;
    return {};
}

const Entrada kEntradas[] = {
    {"fifo",
     [](StorageRun& t) {
         const QByteArray c = t.nativo(QStringLiteral("fila.xml"));
         EXPECT_EQ(::mkfifo(c.constData(), 0644), 0);
         return c;
     },
     1, 1, "Erro ao processar o arquivo: fila.xml (não é um arquivo comum: é uma fila FIFO; fica "
           "onde está)",
     [](StorageRun&, const QByteArray& c) { EXPECT_EQ(tipoEm(c), "fifo"); }},
    {"socket",
     [](StorageRun& t) {
         const QByteArray c = t.nativo(QStringLiteral("sock.xml"));
         const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
         sockaddr_un a{};
         a.sun_family = AF_UNIX;
         EXPECT_LT(size_t(c.size()), sizeof a.sun_path);
         std::memcpy(a.sun_path, c.constData(), size_t(c.size()));
         EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
         ::close(fd); // the socket's entry stays
         return c;
     },
     1, 1, "(não é um arquivo comum: é um socket; fica onde está)",
     [](StorageRun&, const QByteArray& c) { EXPECT_EQ(tipoEm(c), "socket"); }},
    {"device",
     [](StorageRun& t) {
         const QByteArray c = t.nativo(QStringLiteral("nulo.xml"));
         EXPECT_EQ(::mknod(c.constData(), S_IFCHR | 0644, makedev(1, 3)), 0);
         return c;
     },
     1, 1, "(não é um arquivo comum: é um dispositivo; fica onde está)",
     [](StorageRun&, const QByteArray& c) { EXPECT_EQ(tipoEm(c), "device"); }},
    {"link to an invoice outside the tree",
     [](StorageRun& t) {
         const QByteArray alvo = QFile::encodeName(t.work.path()) + "/fora/alvo.xml";
         escrever(alvo, nota("nfeproc-310-protocolada.xml", 510));
         const QByteArray c = t.nativo(QStringLiteral("atalho.xml"));
         EXPECT_EQ(::symlink(alvo.constData(), c.constData()), 0);
         // Read through the link, it holds the invoice: it must end up stored.
         t.originals[c] = *ler(alvo);
         t.versoes.insert(*ler(alvo));
         return c;
     },
     0, 0, "",
     [](StorageRun& t, const QByteArray& c) {
         const QByteArray alvo = QFile::encodeName(t.work.path()) + "/fora/alvo.xml";
         EXPECT_EQ(tipoEm(c), "nothing");
         EXPECT_EQ(tipoEm(alvo), "file");
         EXPECT_EQ(ler(alvo), nota("nfeproc-310-protocolada.xml", 510));
         const QByteArray copia = noBackup(t, "atalho.xml");
         ASSERT_FALSE(copia.isEmpty());
         EXPECT_EQ(tipoEm(copia), "file");
         EXPECT_EQ(ler(copia), ler(alvo));
         EXPECT_EQ(t.rows().size(), 2u);
     }},
    {"link to an invoice inside the tree",
     [](StorageRun& t) {
         const QByteArray alvo = t.addFile(QStringLiteral("sub/alvo.xml"),
                                           nota("nfeproc-310-protocolada.xml", 511));
         const QByteArray c = t.nativo(QStringLiteral("atalho.xml"));
         EXPECT_EQ(::symlink("sub/alvo.xml", c.constData()), 0);
         return c;
     },
     0, 0, "",
     [](StorageRun& t, const QByteArray& c) {
         // The target is stored as itself; the link, an alias, leaves no copy of its own.
         EXPECT_EQ(tipoEm(c), "nothing");
         EXPECT_FALSE(noBackup(t, "alvo.xml").isEmpty());
         EXPECT_TRUE(noBackup(t, "atalho.xml").isEmpty());
         EXPECT_EQ(t.rows().size(), 2u);
     }},
    {"dangling link",
     [](StorageRun& t) {
         const QByteArray c = t.nativo(QStringLiteral("quebrado.xml"));
         EXPECT_EQ(::symlink((QFile::encodeName(t.work.path()) + "/sumiu.xml").constData(),
                             c.constData()),
                   0);
         return c;
     },
     1, 1, "Erro ao processar o arquivo: quebrado.xml (link simbólico para um arquivo que não "
           "existe; fica onde está)",
     [](StorageRun&, const QByteArray& c) { EXPECT_EQ(tipoEm(c), "link"); }},
    {"paths too long",
     [](StorageRun& t) {
         // A file whose own path is too long, and a folder too deep to be entered.
         const QByteArray funda =
             makeFolderChain(QFile::encodeName(t.nfe), QByteArray(200, 'p'), 19);
         const QByteArray c = funda + '/' + QByteArray(240, 'n') + ".xml";
         writeFileAt(c, nota("nfe-400.xml", 512));
         const QByteArray maisFunda = makeFolderChain(funda, QByteArray(200, 'q'), 2);
         writeFileAt(maisFunda + "/longe.xml", nota("nfe-400.xml", 513));
         EXPECT_GE(c.size(), PATH_MAX);
         return c;
     },
     2, 2, "caminho longo demais para o sistema",
     [](StorageRun& t, const QByteArray& c) {
         EXPECT_TRUE(existsAt(c));
         EXPECT_EQ(t.rows().size(), 1u);
         const QStringList lines = t.saidLines();
         EXPECT_EQ(lines.filter(QStringLiteral("Erro ao listar a pasta: ")).size(), 1);
         EXPECT_EQ(lines.filter(QStringLiteral("Erro ao processar o arquivo: nnn")).size(), 1);
     }},
    {"no read permission, then readable",
     [](StorageRun& t) {
         const QByteArray c =
             t.addFile(QStringLiteral("fechado.xml"), nota("nfeproc-400-protocolada.xml", 514));
         EXPECT_EQ(::chmod(c.constData(), 0), 0);
         return c;
     },
     1, 0, "Erro ao processar o arquivo: fechado.xml (sem permissão de leitura; fica para a "
           "próxima execução)",
     [](StorageRun& t, const QByteArray&) {
         EXPECT_EQ(t.checkNothingLost().de("fechado.xml"), StorageRun::Backup);
         EXPECT_EQ(t.rows().size(), 2u);
     },
     true,
     [](StorageRun& t, const QByteArray& c) {
         EXPECT_EQ(t.checkNothingLost().de("fechado.xml"), StorageRun::Origem);
         EXPECT_EQ(t.rows().size(), 1u);
         EXPECT_EQ(::chmod(c.constData(), 0644), 0);
     }},
};

TEST_P(StorageRunEntry, GetsAnOutcomeTheOfficeCanActOn) {
    const Entrada& e = GetParam();
    addFile(QStringLiteral("boa.xml"), nota("nfe-400.xml", 500));
    const QByteArray entrada = e.arrange(*this);
    auto server = startOwnFtp();
    openWindow(ownFtp(*server));
    auto rodar = [&] {
        std::optional<PermissionsEnforced> comoUsuario;
        if (e.comoUsuario)
            comoUsuario.emplace();
        store();
    };
    rodar();
    if (e.entreExecucoes)
        e.entreExecucoes(*this, entrada);
    rodar();
    QStringList lines = saidLines();
    EXPECT_EQ(lines.size(), e.linhas) << form->MemoErros->toPlainText().toStdString();
    for (const QString& l : lines) {
        EXPECT_TRUE(kStamp.match(l).hasMatch()) << l.toStdString();
        EXPECT_TRUE(l.contains(QString::fromUtf8(e.motivo))) << l.toStdString();
    }
    EXPECT_EQ(checkNothingLost().de("boa.xml"), Backup);
    e.depois(*this, entrada);

    // A new start of the program.
    openWindow(ownFtp(*server));
    rodar();
    lines = saidLines();
    EXPECT_EQ(lines.size(), e.linhasAposReinicio) << form->MemoErros->toPlainText().toStdString();
    for (const QString& l : lines)
        EXPECT_TRUE(l.contains(QString::fromUtf8(e.motivo))) << l.toStdString();
    checkNothingLost();
}

INSTANTIATE_TEST_SUITE_P(Entradas, StorageRunEntry, ::testing::ValuesIn(kEntradas),
                         [](const ::testing::TestParamInfo<Entrada>& i) {
                             std::string n;
                             for (const char* p = i.param.nome; *p; ++p)
                                 n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return n;
                         });

// The program dies while it moves a file into a backup tree on another disk, after placing
// the copy and before deleting the source. The next start stores the file once more and
// leaves one copy in the backup.
TEST_F(StorageRun, AMoveToAnotherFileSystemStoppedBetweenPlacingAndDeleting) {
    QTemporaryDir outro(QStringLiteral("/dev/shm/quarvel-XXXXXX"));
    ASSERT_TRUE(outro.isValid());
    bkp = outro.path() + QStringLiteral("/BKP");
    addFile(QStringLiteral("nota.xml"), nota("nfce-400-sem-prologo.xml", 520));
    auto server = startOwnFtp();
    openWindow(ownFtp(*server), {}, bkp);
    testes_movimento::aoColocarCopia([] { throw std::runtime_error("queda de energia simulada"); });
    store();
    testes_movimento::aoColocarCopia({});
    const QByteArray guardada = QFile::encodeName(bkp) + "/23285089000185/202003/nota.xml";
    ASSERT_TRUE(ler(guardada)) << form->MemoErros->toPlainText().toStdString();
    ASSERT_TRUE(ler(nativo(QStringLiteral("nota.xml"))));
    EXPECT_EQ(logLines().value(0), u"Move arquivo para pasta de backup");

    openWindow(ownFtp(*server), {}, bkp);
    store();
    EXPECT_TRUE(saidLines().isEmpty()) << form->MemoErros->toPlainText().toStdString();
    EXPECT_EQ(rows().size(), 1u);
    EXPECT_EQ(checkNothingLost().contar(Backup), 1);
    std::vector<QByteArray> guardados;
    arquivosAbaixo(QFile::encodeName(bkp), guardados);
    EXPECT_EQ(guardados, std::vector<QByteArray>{guardada});
}
