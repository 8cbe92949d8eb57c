#include "DbError.h"
#include "DbSettings.h"
#include "RootDb.h"

#include "QuarvelDmo.h"
#include "TestServices.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QThread>
#include <arpa/inet.h>
#include <functional>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

const QString kColunas = QStringLiteral(
    "ccnpj_origem, ccnpj_destino, cnumdoc, cserie, demissao, cnome_destino, cnome_origem, "
    "nvalortotal, chave_doc, arquivo, pasta, xml, link, creferencia");

// A 44-digit access key of its own for every document a test makes: tests run side by side
// on one server.
QString novaChave() {
    static quint32 serie = QRandomGenerator::global()->generate();
    return QStringLiteral("3514111122233300018155001%1%2")
        .arg(QCoreApplication::applicationPid() % 1000000, 6, 10, QChar(u'0'))
        .arg(++serie % 10000000000000ULL, 13, 10, QChar(u'0'));
}

TDadosNFe documento(const QString& nome, const QDate& emissao, double valor) {
    TDadosNFe d;
    d.versao = QStringLiteral("4.00");
    d.cnumdoc = QStringLiteral("12345");
    d.demissao = emissao;
    d.cserie = QStringLiteral("1");
    d.ccnpj_origem = QStringLiteral("11222333000181");
    d.cnome_origem = nome;
    d.ccnpj_destino = QStringLiteral("44555666000172");
    d.cnome_destino = QStringLiteral("Comércio São João Ação Ltda");
    d.nvalortotal = valor;
    d.chave_doc = novaChave();
    return d;
}

// Another PC's row of the issuer 11222333000181, inserted in a transaction that `outro`
// leaves open.
void inserirSemConfirmar(RootDb& outro, const QString& chave, const QString& arquivo,
                         const QString& pasta, const QDate& emissao) {
    outro.exec("START TRANSACTION");
    outro.exec("INSERT INTO kelvaro_doc.docs (ccnpj_origem, ccnpj_destino, cnumdoc, cserie, "
               "demissao, cnome_destino, cnome_origem, nvalortotal, chave_doc, arquivo, pasta, "
               "xml, link, creferencia) VALUES ('11222333000181', '', '', '', " +
               outro.quote(emissao.toString(QStringLiteral("yyyy-MM-dd"))) + ", '', '', 0, " +
               outro.quote(chave) + ", " + outro.quote(arquivo) + ", " + outro.quote(pasta) +
               ", '', '', " + outro.quote(emissao.toString(QStringLiteral("MMyyyy"))) + ")");
}

bool perdida(unsigned code) { return code == 2006 || code == 2013 || code == 2055; }

// A local TCP port where nothing listens (listening = false) or where a socket listens but
// never answers (listening = true); the descriptor stays open while the test runs.
struct Porta {
    int fd = -1;
    unsigned port = 0;
    explicit Porta(bool listening) {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), len);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        if (listening) {
            ::listen(fd, 4);
        } else {
            ::close(fd);
            fd = -1;
        }
    }
    ~Porta() {
        if (fd >= 0)
            ::close(fd);
    }
};

class Registry : public DbTest {
protected:
    // The row of the file marked by `marca`, every column as text.
    std::vector<RootDb::Row> linhas(const QString& marca) {
        return root.rows("SELECT " + kColunas + " FROM docs WHERE INSTR(arquivo, " +
                         root.quote(marca) + ") > 0 ORDER BY id");
    }
    int contar(const QString& marca) { return static_cast<int>(linhas(marca).size()); }
};

TEST_F(Registry, StoresEveryColumnExactly) {
    struct Caso {
        const char* nome;
        TDadosNFe dados;
        QString arquivo;
        QString pasta;
        QString site;
        QString link;     // without the file name
        QString demissao; // as the server shows the DATETIME
        QString creferencia;
    };
    const QString longo = QString(60, u'Ç');
    std::vector<Caso> casos;
    {
        TDadosNFe d = documento(QStringLiteral("Lumer Informática Serviços Digitais LTDA"),
                                QDate(2014, 11, 5), 1234.56);
        casos.push_back({"accents, spaces in the file name", d, tag + " nota ação.xml",
                         QStringLiteral("/arqs/99888777000166/11222333000181/201411"),
                         QStringLiteral("https://docs.exemplo.com.br"),
                         QStringLiteral("https://docs.exemplo.com.br/arqs/99888777000166/"
                                        "11222333000181/201411/"),
                         QStringLiteral("2014-11-05 00:00:00"), QStringLiteral("112014")});
    }
    {
        TDadosNFe d;
        d.demissao = QDate(2024, 1, 31);
        casos.push_back({"every text empty, site with a trailing slash", d, tag + ".xml",
                         QStringLiteral("/arqs/00000000000000//202401"),
                         QStringLiteral("http://127.0.0.1/"),
                         QStringLiteral("http://127.0.0.1/arqs/00000000000000//202401/"),
                         QStringLiteral("2024-01-31 00:00:00"), QStringLiteral("012024")});
    }
    {
        TDadosNFe d =
            documento(QStringLiteral("O'Reilly \"Aspas\" \\barra\\ '); DROP TABLE docs; --"),
                      QDate(2000, 2, 29), 0.1 + 0.2);
        d.cnome_destino = QString::fromUtf8("\x01\x1f\x7f\t\r\n😀 𝄞 ?:nome %s");
        d.cnumdoc = QStringLiteral("1' OR '1'='1");
        casos.push_back({"quotes, backslashes, SQL, control and 4-byte characters", d,
                         tag + "'; --.xml", QStringLiteral("/arqs/x/y/200002"),
                         QStringLiteral("http://h"), QStringLiteral("http://h/arqs/x/y/200002/"),
                         QStringLiteral("2000-02-29 00:00:00"), QStringLiteral("022000")});
    }
    {
        // The longest values a valid NF-e and a file name carry.
        TDadosNFe d = documento(longo, QDate(9999, 12, 31), 9999999999999.99);
        d.cnome_destino = longo;
        d.cnumdoc = QStringLiteral("999999999");
        d.cserie = QStringLiteral("999");
        d.ccnpj_destino = QStringLiteral("12345678901");
        QString arquivo = tag + QString(251 - tag.size(), u'é') + QStringLiteral(".xml");
        casos.push_back({"longest values", d, arquivo,
                         QStringLiteral("/arqs/99888777000166/11222333000181/999912"),
                         QStringLiteral("https://docs.exemplo.com.br"),
                         QStringLiteral("https://docs.exemplo.com.br/arqs/99888777000166/"
                                        "11222333000181/999912/"),
                         QStringLiteral("9999-12-31 00:00:00"), QStringLiteral("129999")});
    }

    for (const Caso& c : casos) {
        SCOPED_TRACE(c.nome);
        DbSettings s = settings();
        s.siteUrl = c.site;
        Tdmdb dmdb({}, s);
        dmdb.RegistrarDocumento(c.dados, c.arquivo, c.pasta);
        dmdb.ConfirmarRegistro();

        const auto r =
            root.rows("SELECT " + kColunas + " FROM docs WHERE arquivo = " + root.quote(c.arquivo) +
                      " COLLATE utf8mb4_bin");
        ASSERT_EQ(r.size(), 1u);
        const RootDb::Row& row = r[0];
        ASSERT_EQ(row.size(), 14u);
        for (const auto& v : row)
            ASSERT_TRUE(v.has_value()) << "a NULL column";
        const TDadosNFe& d = c.dados;
        EXPECT_EQ(*row[0], d.ccnpj_origem);
        EXPECT_EQ(*row[1], d.ccnpj_destino);
        EXPECT_EQ(*row[2], d.cnumdoc);
        EXPECT_EQ(*row[3], d.cserie);
        EXPECT_EQ(*row[4], c.demissao);
        EXPECT_EQ(*row[5], d.cnome_destino);
        EXPECT_EQ(*row[6], d.cnome_origem);
        EXPECT_EQ(row[7]->toDouble(), d.nvalortotal) << row[7]->toStdString();
        EXPECT_EQ(*row[8], d.chave_doc);
        EXPECT_EQ(*row[9], c.arquivo);
        EXPECT_EQ(*row[10], c.pasta);
        EXPECT_EQ(*row[11], QString());
        EXPECT_EQ(*row[12], c.link + c.arquivo);
        EXPECT_EQ(*row[13], c.creferencia);
    }
}

// Many hosts hand new sessions latin1; the accents must arrive all the same.
TEST_F(Registry, AccentsSurviveAServerThatDefaultsToLatin1) {
    // Applies to this test's user only: other tests run beside this one.
    const QString latin1 = QStringLiteral("IF(USER() LIKE %1, 'latin1', @@%2)");
    const QString deste = root.quote(user + "@%");
    root.exec(
        "SET GLOBAL init_connect = " +
        root.quote("SET character_set_client = " + latin1.arg(deste, "character_set_client") +
                   ", character_set_connection = " + latin1.arg(deste, "character_set_connection") +
                   ", character_set_results = " + latin1.arg(deste, "character_set_results")));
    struct Restaurar {
        RootDb& root;
        ~Restaurar() { root.exec("SET GLOBAL init_connect = ''"); }
    } restaurar{root};

    Tdmdb dmdb({}, settings());
    const TDadosNFe d = documento(QStringLiteral("Lumer Informática Serviços Digitais LTDA 😀"),
                                  QDate(2014, 11, 5), 10);
    dmdb.RegistrarDocumento(d, tag + " ação.xml", QStringLiteral("/arqs/a/b/201411"));
    dmdb.ConfirmarRegistro();
    const auto r = root.rows("SELECT cnome_origem, arquivo FROM docs WHERE INSTR(arquivo, " +
                             root.quote(tag) + ") > 0");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(*r[0][0], d.cnome_origem);
    EXPECT_EQ(*r[0][1], tag + " ação.xml");
}

// One document, one row: registered again (after its commit's reply was lost, after a move
// that failed, as a second copy under another name) it gets none, and its file replaces its
// own copy. A different document whose name is taken in the folder gets the next free one.
TEST_F(Registry, EachDocumentOnceAndEachCopyItsOwnName) {
    Tdmdb dmdb({}, settings());
    const QString pasta = "/arqs/" + tag + "/11222333000181/201411";
    const QString nota = tag + " nota.xml";
    auto registrar = [&](const TDadosNFe& d, const QString& arquivo) {
        const Tdmdb::TRegistro r = dmdb.RegistrarDocumento(d, arquivo, pasta);
        if (r.novo)
            dmdb.ConfirmarRegistro();
        return std::pair(r.arquivo, r.novo);
    };
    const TDadosNFe a = documento(QStringLiteral("Emitente"), QDate(2014, 11, 5), 10);
    TDadosNFe b = documento(QStringLiteral("Emitente"), QDate(2014, 11, 5), 10);
    // Another key, the same five fields: the contingency issue of b's number.
    TDadosNFe c = b;
    c.chave_doc = novaChave();
    // Without an access key (no protocol, no Id, a file name that is no key) the number,
    // series, recipient, date and total tell documents apart.
    TDadosNFe semChave = documento(QStringLiteral("Emitente"), QDate(2014, 11, 5), 10);
    semChave.chave_doc = QStringLiteral("nota");
    semChave.cnumdoc = QStringLiteral("777");
    TDadosNFe outroSemChave = semChave;
    outroSemChave.cnumdoc = QStringLiteral("778");
    TDadosNFe mesmaNotaComChave = outroSemChave; // the same invoice, from a file with its key
    mesmaNotaComChave.chave_doc = novaChave();

    EXPECT_EQ(registrar(a, nota), std::pair(nota, true));
    EXPECT_EQ(registrar(a, nota), std::pair(nota, false));
    EXPECT_EQ(registrar(a, tag + " copia.xml"), std::pair(nota, false));
    EXPECT_EQ(registrar(b, nota), std::pair(tag + " nota (2).xml", true));
    EXPECT_EQ(registrar(c, nota), std::pair(tag + " nota (3).xml", true));
    EXPECT_EQ(registrar(b, nota), std::pair(tag + " nota (2).xml", false));
    EXPECT_EQ(registrar(c, tag + " outra.xml"), std::pair(tag + " nota (3).xml", false));
    EXPECT_EQ(registrar(semChave, nota), std::pair(tag + " nota (4).xml", true));
    EXPECT_EQ(registrar(semChave, nota), std::pair(tag + " nota (4).xml", false));
    EXPECT_EQ(registrar(outroSemChave, nota), std::pair(tag + " nota (5).xml", true));
    EXPECT_EQ(registrar(mesmaNotaComChave, tag + " proc.xml"),
              std::pair(tag + " nota (5).xml", false));
    // The row now holds the key, which finds it from here on, whatever the fields say.
    TDadosNFe corrigida = mesmaNotaComChave;
    corrigida.nvalortotal = 11;
    EXPECT_EQ(registrar(corrigida, tag + " x.xml"), std::pair(tag + " nota (5).xml", false));
    // Its fields no longer find it for a document without a key: a row with a key is never
    // the five fields' match.
    EXPECT_EQ(registrar(outroSemChave, nota), std::pair(tag + " nota (6).xml", true));
    // A name the LIKE pattern must not take for a wildcard.
    EXPECT_EQ(registrar(documento("E", QDate(2014, 11, 5), 1), tag + "_%.xml"),
              std::pair(tag + "_%.xml", true));

    const auto r =
        root.rows("SELECT arquivo, link, chave_doc FROM docs WHERE pasta = " + root.quote(pasta) +
                  " ORDER BY id");
    ASSERT_EQ(r.size(), 7u);
    for (const auto& row : r)
        EXPECT_EQ(*row[1], "https://docs.exemplo.com.br" + pasta + u'/' + *row[0]);
    EXPECT_EQ(*r[1][2], b.chave_doc);
    EXPECT_EQ(*r[2][2], c.chave_doc);
    EXPECT_EQ(*r[3][2], QStringLiteral("nota"));
    EXPECT_EQ(*r[4][2], mesmaNotaComChave.chave_doc);
    root.exec("DELETE FROM docs WHERE pasta = " + root.quote(pasta));
}

// The find step over rows as older versions of the program left them (a file-name text as
// chave_doc): the key wins over the fields, the five fields find only rows without a key,
// and two different keys are never one document.
TEST_F(Registry, FindingADocumentByItsKeyBeforeItsFields) {
    const QString pasta = "/arqs/" + tag + "/11222333000181/201411";
    const QDate dia(2014, 11, 5);
    auto inserir = [&](const QString& arquivo, const QString& chave, const QString& numero,
                       double valor) {
        root.exec("INSERT INTO kelvaro_doc.docs (" + kColunas +
                  ") VALUES ('11222333000181', '44555666000172', " + root.quote(numero) +
                  ", '1', '2014-11-05', '', '', " + QString::number(valor, 'f', 2) + ", " +
                  root.quote(chave) + ", " + root.quote(arquivo) + ", " + root.quote(pasta) +
                  ", '', '', '112014')");
    };
    const QString k2 = novaChave(), k3 = novaChave(), k9 = novaChave();
    inserir(QStringLiteral("legado.xml"), QStringLiteral("legado"), QStringLiteral("100"), 10);
    inserir(QStringLiteral("chave.xml"), k2, QStringLiteral("100"), 10);
    inserir(QStringLiteral("outra.xml"), k3, QStringLiteral("200"), 20);
    inserir(QStringLiteral("vazia.xml"), QString(), QStringLiteral("200"), 20);

    const struct {
        const char* nome;
        QString chave;
        const char* numero;
        double valor;
        QString pasta;
        const char* esperado; // nullptr: not registered
    } casos[] = {
        {"its key, fields of an older row without one", k2, "100", 10, pasta, "chave.xml"},
        {"its key, other fields", k2, "300", 30, pasta, "chave.xml"},
        {"another row's key and fields", k3, "100", 10, pasta, "outra.xml"},
        {"an unknown key: the fields, in a row without a key", k9, "100", 10, pasta, "legado.xml"},
        {"an unknown key: never a row with another key", k9, "200", 20, pasta, "vazia.xml"},
        {"no key: the fields", QStringLiteral("nota"), "100", 10, pasta, "legado.xml"},
        {"no key: a total one cent off", QStringLiteral("nota"), "100", 10.01, pasta, nullptr},
        {"no key: another number", QStringLiteral("nota"), "101", 10, pasta, nullptr},
        {"an unknown key, no fields", k9, "300", 30, pasta, nullptr},
        {"its key in another folder", k2, "100", 10, pasta + u'0', nullptr},
        {"its key in a folder differing in case", k2, "100", 10, pasta.toUpper(), nullptr},
    };
    Tdmdb dmdb({}, settings());
    for (const auto& c : casos) {
        SCOPED_TRACE(c.nome);
        TDadosNFe d = documento(QStringLiteral("Emitente"), dia, c.valor);
        d.chave_doc = c.chave;
        d.cnumdoc = QString::fromLatin1(c.numero);
        const std::optional<Tdmdb::TDocumentoRegistrado> achado =
            dmdb.LocalizarDocumento(d, c.pasta);
        if (!c.esperado) {
            EXPECT_FALSE(achado) << achado->arquivo.toStdString();
            continue;
        }
        ASSERT_TRUE(achado);
        EXPECT_EQ(achado->arquivo, QString::fromLatin1(c.esperado));
    }
    EXPECT_EQ(root.value("SELECT COUNT(*) FROM docs WHERE pasta = " + root.quote(pasta)), "4")
        << "finding wrote a row";
    root.exec("DELETE FROM docs WHERE pasta = " + root.quote(pasta));
}

// Another PC inserts the same document while this one looks: the unique key refuses the
// second row and the registration finds the first.
TEST_F(Registry, ADocumentRegisteredMeanwhileElsewhereIsFound) {
    const QString pasta = "/arqs/" + tag + "/11222333000181/201411";
    const TDadosNFe d = documento(QStringLiteral("Emitente"), QDate(2014, 11, 5), 10);
    RootDb outro;
    inserirSemConfirmar(outro, d.chave_doc, tag + " outro.xml", pasta, d.demissao);
    // Commits once the registration's INSERT waits for the other row, i.e. after its lookup
    // missed it: the duplicate key, and the look again, are then sure to happen.
    QString esperando, erro;
    std::thread confirmar([&] {
        try {
            RootDb olheiro;
            const QDeadlineTimer prazo(20000);
            while (!prazo.hasExpired() && esperando.isEmpty()) {
                const auto r = olheiro.rows(
                    "SELECT t.trx_query FROM information_schema.INNODB_TRX t JOIN "
                    "information_schema.PROCESSLIST p ON p.ID = t.trx_mysql_thread_id "
                    "WHERE t.trx_state = 'LOCK WAIT' AND p.USER = " +
                    olheiro.quote(user));
                if (!r.empty())
                    esperando = r[0][0].value_or(QStringLiteral("(no text)"));
                else // InnoDB refreshes this table only after 100 ms without a reader.
                    QThread::msleep(150);
            }
            outro.exec("COMMIT");
        } catch (const std::exception& e) {
            erro = QString::fromUtf8(e.what());
        }
    });
    Tdmdb dmdb({}, settings());
    Tdmdb::TRegistro r;
    EXPECT_NO_THROW(r = dmdb.RegistrarDocumento(d, tag + " nota.xml", pasta));
    confirmar.join();
    ASSERT_EQ(erro, QString());
    EXPECT_TRUE(esperando.startsWith(QStringLiteral("INSERT"))) << esperando.toStdString();
    EXPECT_EQ(r.arquivo, tag + " outro.xml");
    EXPECT_FALSE(r.novo);
    EXPECT_EQ(root.value("SELECT COUNT(*) FROM docs WHERE pasta = " + root.quote(pasta)), "1");
    root.exec("DELETE FROM docs WHERE pasta = " + root.quote(pasta));
}

TEST_F(Registry, RowIsCommittedOnlyByConfirmarRegistro) {
    // A document of its own for every registration.
    auto d = [] { return documento(QStringLiteral("Emitente"), QDate(2014, 11, 5), 10); };
    const QString pasta = QStringLiteral("/arqs/a/b/201411");
    {
        Tdmdb dmdb({}, settings());
        dmdb.RegistrarDocumento(d(), tag + "-confirmado.xml", pasta);
        EXPECT_EQ(contar(tag + "-confirmado"), 0) << "visible before the upload was confirmed";
        dmdb.ConfirmarRegistro();
        EXPECT_EQ(contar(tag + "-confirmado"), 1);
        EXPECT_THROW(dmdb.ConfirmarRegistro(), std::runtime_error) << "nothing left to confirm";

        dmdb.RegistrarDocumento(d(), tag + "-desfeito.xml", pasta);
        dmdb.DesfazerRegistro();
        dmdb.DesfazerRegistro(); // nothing pending: no effect
        EXPECT_THROW(dmdb.ConfirmarRegistro(), std::runtime_error);

        // A registration left unconfirmed never rides along with the next one...
        dmdb.RegistrarDocumento(d(), tag + "-abandonado.xml", pasta);
        dmdb.RegistrarDocumento(d(), tag + "-seguinte.xml", pasta);
        dmdb.ConfirmarRegistro();

        // ...nor with the counter, which refuses to run inside it.
        dmdb.RegistrarDocumento(d(), tag + "-pendente.xml", pasta);
        EXPECT_EQ(dmdb.Seql(tag + "S"), 0);
        EXPECT_EQ(
            root.value("SELECT COUNT(*) FROM sequenciais WHERE ctipo = " + root.quote(tag + "S")),
            QStringLiteral("0"));
        // The program ends here with the registration still pending.
    }
    EXPECT_EQ(contar(tag + "-desfeito"), 0);
    EXPECT_EQ(contar(tag + "-abandonado"), 0);
    EXPECT_EQ(contar(tag + "-seguinte"), 1);
    EXPECT_EQ(contar(tag + "-pendente"), 0);
}

TEST_F(Registry, ValueTooLongForItsColumnIsRefused) {
    Tdmdb dmdb({}, settings());
    TDadosNFe d = documento(QString(256, u'x'), QDate(2014, 11, 5), 10);
    try {
        dmdb.RegistrarDocumento(d, tag + "-longo.xml", QStringLiteral("/arqs/a/b/201411"));
        FAIL() << "accepted a 256-character name";
    } catch (const DbError& e) {
        EXPECT_EQ(e.code(), 1406u) << e.what();
        EXPECT_NE(std::string(e.what()).find("cnome_origem"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(dmdb.Conectado());
    EXPECT_THROW(dmdb.ConfirmarRegistro(), std::runtime_error);

    d.cnome_origem = QStringLiteral("Emitente");
    dmdb.RegistrarDocumento(d, tag + "-curto.xml", QStringLiteral("/arqs/a/b/201411"));
    dmdb.ConfirmarRegistro();
    EXPECT_EQ(contar(tag + "-longo"), 0);
    EXPECT_EQ(contar(tag + "-curto"), 1);
}

TEST_F(Registry, ConnectionKilledByTheServerFailsOneStatementThenReopens) {
    const QString pasta = QStringLiteral("/arqs/a/b/201411");
    enum class Passo { Registrar, Confirmar, Seql };
    const struct {
        const char* nome;
        Passo passo;
    } casos[] = {{"RegistrarDocumento", Passo::Registrar},
                 {"ConfirmarRegistro", Passo::Confirmar},
                 {"Seql", Passo::Seql}};

    for (const auto& c : casos) {
        SCOPED_TRACE(c.nome);
        const QString marca = tag + "-" + c.nome;
        const TDadosNFe d = documento(QStringLiteral("Emitente"), QDate(2014, 11, 5), 10);
        Tdmdb dmdb({}, settings());
        dmdb.ConectarBanco();
        if (c.passo == Passo::Confirmar)
            dmdb.RegistrarDocumento(d, marca + "-perdido.xml", pasta);
        root.killConnectionsOf(user);

        // Only the client-side state counts: the dead connection is not noticed yet.
        dmdb.ConectarBanco();
        EXPECT_TRUE(dmdb.Conectado());
        EXPECT_EQ(root.connectionsOf(user), 0);

        try {
            if (c.passo == Passo::Registrar)
                dmdb.RegistrarDocumento(d, marca + "-perdido.xml", pasta);
            else if (c.passo == Passo::Confirmar)
                dmdb.ConfirmarRegistro();
            else
                EXPECT_EQ(dmdb.Seql(tag + "K"), 0);
            if (c.passo != Passo::Seql)
                ADD_FAILURE() << "no failure on a killed connection";
        } catch (const DbError& e) {
            EXPECT_TRUE(perdida(e.code())) << e.code() << " " << e.what();
            EXPECT_STRNE(e.what(), "");
        }
        EXPECT_FALSE(dmdb.Conectado());

        dmdb.ConectarBanco();
        EXPECT_TRUE(dmdb.Conectado());
        EXPECT_EQ(root.connectionsOf(user), 1);
        dmdb.RegistrarDocumento(d, marca + "-depois.xml", pasta);
        dmdb.ConfirmarRegistro();
        EXPECT_EQ(contar(marca + "-perdido"), 0);
        EXPECT_EQ(contar(marca + "-depois"), 1);
    }
}

TEST_F(Registry, ConectarBancoOpensOneConnectionOnly) {
    Tdmdb dmdb({}, settings());
    EXPECT_FALSE(dmdb.Conectado());
    dmdb.ConectarBanco();
    dmdb.ConectarBanco();
    EXPECT_TRUE(dmdb.Conectado());
    EXPECT_EQ(root.connectionsOf(user), 1);
}

TEST_F(Registry, UnreachableOrRefusingServerFailsQuickly) {
    const Porta fechada(false);
    const struct {
        const char* nome;
        unsigned port;
        QString password;
        QString database;
        unsigned code;
    } casos[] = {
        {"nothing listens on the port", fechada.port, testDb().password, "kelvaro_doc", 2002},
        {"wrong password", unsigned(testDb().port), "outrasenha", "kelvaro_doc", 1045},
        {"database not granted", unsigned(testDb().port), testDb().password, "mysql", 1044},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.nome);
        DbSettings s = settings();
        s.port = c.port;
        s.password = c.password;
        s.database = c.database;
        s.connectTimeout = 60;
        QElapsedTimer clock;
        clock.start();
        Tdmdb dmdb({}, s);
        try {
            dmdb.ConectarBanco();
            ADD_FAILURE() << "connected";
        } catch (const DbError& e) {
            EXPECT_EQ(e.code(), c.code) << e.what();
            EXPECT_STRNE(e.what(), "");
        }
        EXPECT_FALSE(dmdb.Conectado());
        EXPECT_EQ(dmdb.Seql(tag + "U"), 0);
        EXPECT_THROW(dmdb.RegistrarDocumento(documento("E", QDate(2014, 11, 5), 1), tag + ".xml",
                                             QStringLiteral("/arqs/a/b/201411")),
                     DbError);
        EXPECT_LT(clock.elapsed(), 10000);
    }
    EXPECT_EQ(contar(tag), 0);
}

TEST_F(Registry, SilentServerTimesOut) {
    const Porta muda(true); // accepts the TCP connection, never greets
    DbSettings s = settings();
    s.port = muda.port;
    s.connectTimeout = 1;
    Tdmdb dmdb({}, s);
    QElapsedTimer clock;
    clock.start();
    EXPECT_THROW(dmdb.ConectarBanco(), DbError);
    EXPECT_LT(clock.elapsed(), 8000);
    EXPECT_FALSE(dmdb.Conectado());
}

TEST_F(Registry, CreationRunsTheGivenHandler) {
    int chamadas = 0;
    Tdmdb dmdb([&] { ++chamadas; }, settings());
    EXPECT_EQ(chamadas, 1);
    EXPECT_FALSE(dmdb.Conectado()) << "nothing is connected at start-up";
}

} // namespace

// Before a run: a live session is kept at the cost of one ping; a session the server killed,
// or one on which a statement failed or was refused, is replaced.
TEST_F(Registry, IniciarExecucaoKeepsALiveSessionAndReplacesAFailedOne) {
    const QString pasta = "/arqs/" + tag + "/11222333000181/201411";
    Tdmdb dmdb({}, settings());
    auto sessao = [&] {
        const auto r = root.rows("SELECT ID FROM information_schema.PROCESSLIST WHERE USER = " +
                                 root.quote(user));
        return r.size() == 1 ? *r[0][0] : QStringLiteral("%1 sessions").arg(r.size());
    };
    dmdb.IniciarExecucao();
    const QString primeira = sessao();
    dmdb.IniciarExecucao();
    EXPECT_EQ(sessao(), primeira);

    root.killConnectionsOf(user);
    dmdb.IniciarExecucao();
    const QString segunda = sessao();
    EXPECT_NE(segunda, primeira);
    dmdb.RegistrarDocumento(documento(QStringLiteral("E"), QDate(2014, 11, 5), 1),
                            tag + "-vivo.xml", pasta);
    dmdb.ConfirmarRegistro();
    EXPECT_EQ(sessao(), segunda);
    dmdb.IniciarExecucao();
    EXPECT_EQ(sessao(), segunda);

    // Refused by the server: a value too long for its column.
    EXPECT_THROW(dmdb.RegistrarDocumento(documento(QString(256, u'x'), QDate(2014, 11, 5), 1),
                                         tag + "-longo.xml", pasta),
                 DbError);
    EXPECT_EQ(sessao(), segunda); // the run that failed goes on with it no further
    dmdb.IniciarExecucao();
    EXPECT_NE(sessao(), segunda);
    EXPECT_EQ(contar(tag + "-vivo"), 1);
}

namespace {

// How another PC's copy registers: a data module of its own, in a thread of its own.
struct OutraCopia {
    explicit OutraCopia(DbSettings s) : dmdb({}, std::move(s)) {}
    template <typename F> void iniciar(F&& f) { t = std::thread(std::forward<F>(f)); }
    ~OutraCopia() {
        if (t.joinable())
            t.join();
    }
    Tdmdb dmdb;
    std::thread t;
};

} // namespace

// Two copies registering into one folder of a table without unique keys: the second waits
// for the first's commit, then finds its document, or takes the next free name.
TEST_F(Registry, TwoCopiesRegisteringIntoOneFolderTakeTurns) {
    const QString banco = "qk_" + tag;
    root.exec("CREATE DATABASE " + banco);
    root.exec("CREATE TABLE " + banco + ".docs LIKE kelvaro_doc.docs");
    root.exec("ALTER TABLE " + banco + ".docs DROP INDEX docs_arquivo, DROP INDEX docs_chave_nfe");
    root.exec("GRANT ALL PRIVILEGES ON " + banco + ".* TO " + root.quote(user) + "@'127.0.0.1'");
    struct Limpeza {
        RootDb& r;
        QString b;
        ~Limpeza() { r.exec("DROP DATABASE IF EXISTS " + b); }
    } limpeza{root, banco};
    DbSettings s = settings();
    s.database = banco;
    const QString pasta = "/arqs/" + tag + "/11222333000181/201411";
    const QString nome = tag + " nota.xml";
    const TDadosNFe a = documento(QStringLiteral("E"), QDate(2014, 11, 5), 1);
    const TDadosNFe outro = documento(QStringLiteral("E"), QDate(2014, 11, 5), 2);
    auto esperandoTrava = [&] {
        return root.value("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE USER = " +
                          root.quote(user) + " AND INFO LIKE 'SELECT GET_LOCK%'") != u"0";
    };

    const struct {
        const char* caso;
        TDadosNFe segundo;
        QString arquivo; // what the second copy gets
        bool novo;
    } casos[] = {{"the same document", a, nome, false},
                 {"another document of that name", outro, tag + " nota (2).xml", true}};
    for (const auto& c : casos) {
        SCOPED_TRACE(c.caso);
        root.exec("DELETE FROM " + banco + ".docs");
        Tdmdb primeira({}, s);
        ASSERT_TRUE(primeira.RegistrarDocumento(a, nome, pasta).novo);
        OutraCopia segunda(s);
        Tdmdb::TRegistro r;
        segunda.iniciar([&] {
            r = segunda.dmdb.RegistrarDocumento(c.segundo, nome, pasta);
            segunda.dmdb.ConfirmarRegistro();
        });
        const QDeadlineTimer prazo(20000);
        while (!esperandoTrava() && !prazo.hasExpired())
            QThread::msleep(20);
        ASSERT_TRUE(esperandoTrava()) << "the second copy did not wait";
        primeira.ConfirmarRegistro();
        segunda.t.join();
        EXPECT_EQ(r.arquivo, c.arquivo);
        EXPECT_EQ(r.novo, c.novo);
        EXPECT_EQ(root.value("SELECT COUNT(*) FROM " + banco + ".docs"),
                  QString::number(c.novo ? 2 : 1));
    }
}

// The lock of a folder goes on every way out of a registration; while a copy holds it, the
// others wait at most lockTimeout, then fail with a message that says why.
TEST_F(Registry, TheFolderLockIsReleasedOnEveryPath) {
    const QString pasta = "/arqs/" + tag + "/11222333000181/201411";
    const QString trava = QString::fromLatin1(nomeTravaPasta(QStringLiteral("kelvaro_doc"), pasta));
    EXPECT_LE(trava.size(), 64);
    EXPECT_NE(nomeTravaPasta(QStringLiteral("kelvaro_doc"), pasta + u'2'), trava.toLatin1());
    auto livre = [&] {
        return root.value("SELECT IS_FREE_LOCK(" + root.quote(trava) + ")") == u"1";
    };
    DbSettings s = settings();
    s.lockTimeout = 1;
    const TDadosNFe registrado = documento(QStringLiteral("E"), QDate(2014, 11, 5), 1);
    {
        Tdmdb d({}, s);
        d.RegistrarDocumento(registrado, tag + "-a.xml", pasta);
        d.ConfirmarRegistro();
    }

    const std::pair<const char*, std::function<void(Tdmdb&)>> caminhos[] = {
        {"commit",
         [&](Tdmdb& d) {
             d.RegistrarDocumento(documento(QStringLiteral("E"), QDate(2014, 11, 5), 2),
                                  tag + "-b.xml", pasta);
             EXPECT_FALSE(livre());
             d.ConfirmarRegistro();
         }},
        {"rollback",
         [&](Tdmdb& d) {
             d.RegistrarDocumento(documento(QStringLiteral("E"), QDate(2014, 11, 5), 3),
                                  tag + "-c.xml", pasta);
             EXPECT_FALSE(livre());
             d.DesfazerRegistro();
         }},
        {"document found, its copy uploaded",
         [&](Tdmdb& d) {
             EXPECT_FALSE(d.RegistrarDocumento(registrado, tag + "-d.xml", pasta).novo);
             EXPECT_FALSE(livre()); // until its file is on the server
             d.ConfirmarRegistro();
         }},
        {"document found, its upload failed",
         [&](Tdmdb& d) {
             EXPECT_FALSE(d.RegistrarDocumento(registrado, tag + "-d.xml", pasta).novo);
             d.DesfazerRegistro();
         }},
        {"statement refused",
         [&](Tdmdb& d) {
             EXPECT_THROW(d.RegistrarDocumento(documento(QString(256, u'x'), QDate(2014, 11, 5), 4),
                                               tag + "-e.xml", pasta),
                          DbError);
         }},
        {"connection lost",
         [&](Tdmdb& d) {
             d.RegistrarDocumento(documento(QStringLiteral("E"), QDate(2014, 11, 5), 5),
                                  tag + "-f.xml", pasta);
             root.killConnectionsOf(user);
             EXPECT_THROW(d.ConfirmarRegistro(), DbError);
         }},
        {"program ended",
         [&](Tdmdb&) {
             {
                 Tdmdb outro({}, s);
                 outro.RegistrarDocumento(documento(QStringLiteral("E"), QDate(2014, 11, 5), 6),
                                          tag + "-g.xml", pasta);
             }
             // The server lets the lock go as it drops the closed session.
             const QDeadlineTimer prazo(10000);
             while (!livre() && !prazo.hasExpired())
                 QThread::msleep(20);
         }},
        {"another copy holds the folder",
         [&](Tdmdb& d) {
             RootDb outra;
             outra.exec("DO GET_LOCK(" + outra.quote(trava) + ", 0)");
             try {
                 d.RegistrarDocumento(documento(QStringLiteral("E"), QDate(2014, 11, 5), 7),
                                      tag + "-h.xml", pasta);
                 ADD_FAILURE() << "registered while another copy held the folder";
             } catch (const std::runtime_error& e) {
                 EXPECT_STREQ(e.what(),
                              ("Outra cópia do programa está registrando documentos na pasta " +
                               pasta +
                               "; ela não foi liberada em 1 s e o arquivo fica para a próxima "
                               "execução.")
                                  .toUtf8()
                                  .constData());
             }
             outra.exec("DO RELEASE_LOCK(" + outra.quote(trava) + ")");
         }},
    };
    for (const auto& [nome, caminho] : caminhos) {
        SCOPED_TRACE(nome);
        Tdmdb d({}, s);
        caminho(d);
        EXPECT_TRUE(livre());
        // And the same data module registers into that folder again.
        d.RegistrarDocumento(documento(QStringLiteral("E"), QDate(2014, 11, 5), 8), tag + "-z.xml",
                             pasta);
        d.DesfazerRegistro();
        EXPECT_TRUE(livre());
    }
    EXPECT_EQ(contar(tag + "-b"), 1);
    for (const char* nunca : {"-c", "-d", "-e", "-f", "-g", "-h", "-z"})
        EXPECT_EQ(contar(tag + nunca), 0) << nunca;
}
