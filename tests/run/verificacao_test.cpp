// The check of a published account and its repair, on an account stored by a real run (the
// real window, offscreen) on the real MariaDB and real FTP servers, damaged by hand.
#include "DbSettings.h"
#include "FtpServerProcess.h"
#include "FtpSettings.h"
#include "ModoVerificacao.h"
#include "ParametrosVerificacao.h"
#include "Problema.h"
#include "QuarvelAcesso.h"
#include "QuarvelDmo.h"
#include "ResultadoVerificacao.h"
#include "RootDb.h"
#include "TestServices.h"
#include "TestSupport.h"
#include "TipoProblema.h"
#include "Verificacao.h"

#include <QDirIterator>
#include <QFile>
#include <QPlainTextEdit>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <algorithm>
#include <cstdio>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <tuple>
#include <utime.h>

namespace {

// A distinct invoice made from a fixture: its number and access keys carry `numero`.
QByteArray nota(const char* name, int numero) {
    QByteArray xml = readFile(fixturePath(QStringLiteral("nfe/") + QLatin1String(name)));
    const qsizetype a = xml.indexOf("<nNF>") + 5;
    const qsizetype b = xml.indexOf("</nNF>", a);
    xml.replace(a, b - a, QByteArray::number(numero));
    const QByteArray digitos = QByteArray::number(numero).rightJustified(9, '0');
    for (const char* antes : {"Id=\"NFe", "<chNFe>"}) {
        const qsizetype k = xml.indexOf(antes);
        if (k >= 0)
            xml.replace(k + qsizetype(qstrlen(antes)) + 25, 9, digitos);
    }
    return xml;
}

std::map<QString, QByteArray> arquivosAbaixo(const QString& pasta) {
    std::map<QString, QByteArray> out;
    QDirIterator it(pasta, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString f = it.next();
        out[f.mid(pasta.size())] = readFile(f);
    }
    return out;
}

struct Saida {
    int codigo = -1;
    QString texto;
    QString erros;
    QStringList linhas() const { return texto.split(u'\n', Qt::SkipEmptyParts); }
};

QString lerTudo(std::FILE* f) {
    std::rewind(f);
    QByteArray b;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        b.append(buf, qsizetype(n));
    std::fclose(f);
    return QString::fromUtf8(b);
}

struct Servidores {
    const char* nome;
    const char* ftp; // prefix of the services' settings
    bool tls;
};

void PrintTo(const Servidores& s, std::ostream* os) { *os << s.nome; }

class Verificacao : public ::testing::TestWithParam<Servidores> {
public:
    void SetUp() override {
        ASSERT_TRUE(work.isValid());
        cnpj = QStringLiteral("7%1").arg(QRandomGenerator::global()->bounded(1000000000000LL), 13,
                                         10, QChar(u'0'));
        config = configuracaoPadrao();
        config.sPastaNFE = work.path() + QStringLiteral("/NFE");
        config.sPastaBKP = work.path() + QStringLiteral("/BKP");
        config.sCNPJ = cnpj;
        // The command line reads with the system's regional settings, the tests' "C".
        config.sVirgula = QStringLiteral("N");
    }
    void TearDown() override {
        root->exec("DELETE FROM docs WHERE pasta LIKE " + root->quote("/arqs/" + cnpj + "/%"));
    }

    DbSettings banco() const {
        const char* prefixo = GetParam().tls ? "DBTLS" : "DB";
        auto s = [&](const char* k) {
            return serviceSetting(
                QStringLiteral("QUARVEL_TEST_%1_%2").arg(prefixo, k).toLatin1().constData());
        };
        DbSettings d;
        d.host = s("HOST");
        d.port = s("PORT").toUInt();
        d.password = s("PASSWORD");
        d.siteUrl = QStringLiteral("https://docs.exemplo.com.br");
        d.connectTimeout = 10;
        d.readTimeout = 60;
        d.writeTimeout = 60;
        d.tls = GetParam().tls;
        d.caFile = serviceSetting("QUARVEL_TEST_CA_FILE");
        return d;
    }
    FtpSettings ftp() {
        auto s = [&](const char* k) {
            return serviceSetting(QStringLiteral("QUARVEL_TEST_%1_%2")
                                      .arg(QLatin1String(GetParam().ftp), k)
                                      .toLatin1()
                                      .constData());
        };
        home = s("HOME");
        return {s("HOST"),     s("PORT").toInt(), s("USER"),
                s("PASSWORD"), GetParam().tls,    serviceSetting("QUARVEL_TEST_CA_FILE")};
    }

    // The account's documents stored by one press of "Armazenar".
    void armazenar(const std::map<QString, QByteArray>& documentos) {
        for (const auto& [nome, bytes] : documentos) {
            const QString caminho = config.sPastaNFE + u'/' + nome;
            writeFile(caminho, bytes);
            const QByteArray p = QFile::encodeName(caminho);
            struct utimbuf t;
            t.actime = t.modtime = ::time(nullptr) - 3600;
            ASSERT_EQ(::utime(p.constData(), &t), 0);
        }
        Tdmdb dmdb({}, banco());
        TFormDlgAcesso form(config, dmdb, ftp());
        form.regional = [] { return QLocale::system(); };
        form.IdFTP.ReadTimeout = 20000;
        form.IdFTP.ConnectTimeout = 5000;
        form.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
        form.BitArmazenar->click();
        ASSERT_EQ(form.MemoErros->toPlainText(), QString());
    }

    Saida verificar(bool reparar, bool terminal = false, std::optional<DbSettings> db = {},
                    std::optional<FtpSettings> f = {}) {
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        Saida s;
        s.codigo = verificarNaLinhaDeComando(config, reparar, db.value_or(banco()),
                                             f.value_or(ftp()), out, err, terminal);
        s.texto = lerTudo(out);
        s.erros = lerTudo(err);
        return s;
    }

    std::vector<RootDb::Row> linhas() {
        return root->rows("SELECT ccnpj_origem, ccnpj_destino, cnumdoc, cserie, demissao, "
                          "cnome_destino, cnome_origem, nvalortotal, chave_doc, arquivo, pasta, "
                          "xml, link, creferencia FROM docs WHERE pasta LIKE " +
                          root->quote("/arqs/" + cnpj + "/%") + " ORDER BY pasta, arquivo");
    }
    struct Estado {
        std::vector<RootDb::Row> linhas;
        std::map<QString, QByteArray> remotos;
        std::map<QString, QByteArray> backup;
        bool operator==(const Estado&) const = default;
    };
    Estado estado() {
        return {linhas(), arquivosAbaixo(home + QStringLiteral("/public_html/arqs/") + cnpj),
                arquivosAbaixo(config.sPastaBKP)};
    }

    QTemporaryDir work;
    QString cnpj;
    QString home;
    TConfiguracao config;
    std::unique_ptr<RootDb> root = std::make_unique<RootDb>(
        GetParam().tls ? serviceSetting("QUARVEL_TEST_DBTLS_SOCKET") : QString());
};

} // namespace

TEST_P(Verificacao, NamesExactlyTheGapsAndTheRepairMendsWhatTheBackupHolds) {
    // Six documents in four month folders, two of them in one folder.
    const std::map<QString, QByteArray> documentos = {
        {QStringLiteral("a.xml"), nota("nfe-400.xml", 101)},
        {QStringLiteral("b.xml"), nota("nfe-400.xml", 102)},
        {QStringLiteral("c.xml"), nota("nfeproc-400-protocolada.xml", 103)},
        {QStringLiteral("d.xml"), nota("nfeproc-310-protocolada.xml", 104)},
        {QStringLiteral("e.xml"), nota("nfce-400-sem-prologo.xml", 105)},
        {QStringLiteral("f.xml"), nota("nfe-400.xml", 106)},
    };
    ASSERT_NO_FATAL_FAILURE(armazenar(documentos));
    const QString arqs = QStringLiteral("/public_html/arqs/") + cnpj;
    const QString pastaA = QStringLiteral("/52567322000119/202104/");
    ASSERT_EQ(linhas().size(), 6u);

    // Everything in order.
    Saida s = verificar(false);
    EXPECT_EQ(s.codigo, 0) << s.texto.toStdString() << s.erros.toStdString();
    EXPECT_TRUE(s.texto.startsWith(QStringLiteral("Documentos verificados: 6\nEm ordem: 6\n")))
        << s.texto.toStdString();

    // By hand: a's remote copy deleted, b's replaced by other bytes of its length, c's row
    // deleted, d's backup file deleted.
    const QString remotoA = home + arqs + pastaA + QStringLiteral("a.xml");
    const QString remotoB = home + arqs + pastaA + QStringLiteral("b.xml");
    ASSERT_TRUE(QFile::remove(remotoA));
    QByteArray outraB = readFile(remotoB);
    const qsizetype k = outraB.indexOf("<xNome>") + 7;
    outraB[k] = outraB[k] == 'X' ? 'Y' : 'X';
    writeFile(remotoB, outraB);
    ASSERT_EQ(readFile(remotoB).size(), documentos.at(QStringLiteral("b.xml")).size());
    const QString pastaC =
        QStringLiteral("/arqs/") + cnpj + QStringLiteral("/06929383000163/201809");
    const auto linhaC = root->rows(
        "SELECT ccnpj_origem, ccnpj_destino, cnumdoc, cserie, demissao, cnome_destino, "
        "cnome_origem, nvalortotal, chave_doc, arquivo, pasta, xml, link, creferencia FROM docs "
        "WHERE pasta = " +
        root->quote(pastaC) + " AND arquivo = 'c.xml'");
    ASSERT_EQ(linhaC.size(), 1u);
    root->exec("DELETE FROM docs WHERE pasta = " + root->quote(pastaC) + " AND arquivo = 'c.xml'");
    ASSERT_TRUE(QFile::remove(config.sPastaBKP + QStringLiteral("/58716523000119/201703/d.xml")));

    const Estado antes = estado();
    s = verificar(false);
    EXPECT_EQ(s.codigo, 1);
    // In the backup's order: issuer 06929383000163 (c) comes before 52567322000119 (a, b).
    const QStringList tres = {
        QStringLiteral("06929383000163/201809/c.xml: o documento não tem registro na tabela docs"),
        QStringLiteral("52567322000119/202104/a.xml: a cópia remota ") + arqs + pastaA +
            QStringLiteral("a.xml não existe"),
        QStringLiteral("52567322000119/202104/b.xml: a cópia remota ") + arqs + pastaA +
            QStringLiteral("b.xml difere do arquivo do backup"),
    };
    const QStringList l = s.linhas();
    ASSERT_GE(l.size(), 4) << s.texto.toStdString();
    EXPECT_EQ(l.mid(0, 3), tres) << s.texto.toStdString();
    EXPECT_TRUE(l[3].startsWith(arqs + QStringLiteral("/58716523000119/201703/d.xml: o registro ")))
        << l[3].toStdString();
    EXPECT_TRUE(l[3].endsWith(QStringLiteral(" não tem o seu documento no backup")))
        << l[3].toStdString();
    EXPECT_EQ(l.mid(4), (QStringList{
                            QStringLiteral("Documentos verificados: 5"),
                            QStringLiteral("Em ordem: 2"),
                            QStringLiteral("Cópias remotas ausentes: 1"),
                            QStringLiteral("Cópias remotas diferentes do backup: 1"),
                            QStringLiteral("Documentos sem registro: 1"),
                            QStringLiteral("Registros sem documento no backup: 1"),
                            QStringLiteral("Arquivos remotos sem registro: 0"),
                            QStringLiteral("Arquivos do backup ilegíveis: 0"),
                        }));
    EXPECT_FALSE(s.texto.contains(u'\r')) << "a progress line went to a file";
    EXPECT_TRUE(antes == estado()) << "the check changed something";

    // The repair: a, b and c as the run left them; d reported, nothing else touched.
    s = verificar(true);
    EXPECT_EQ(s.codigo, 1) << s.texto.toStdString() << s.erros.toStdString();
    EXPECT_TRUE(s.texto.contains(QStringLiteral("\nReparados: 3\nSem reparo: 1\n")))
        << s.texto.toStdString();
    const Estado depois = estado();
    EXPECT_EQ(depois.remotos.at(pastaA + QStringLiteral("a.xml")),
              documentos.at(QStringLiteral("a.xml")));
    EXPECT_EQ(depois.remotos.at(pastaA + QStringLiteral("b.xml")),
              documentos.at(QStringLiteral("b.xml")));
    EXPECT_EQ(depois.backup, antes.backup);
    std::vector<RootDb::Row> esperadas = antes.linhas;
    esperadas.push_back(linhaC[0]);
    std::sort(esperadas.begin(), esperadas.end(), [](const RootDb::Row& x, const RootDb::Row& y) {
        return std::tie(x[10], x[9]) < std::tie(y[10], y[9]);
    });
    EXPECT_EQ(depois.linhas, esperadas);
    Estado semOsReparados = depois;
    semOsReparados.linhas = antes.linhas;
    semOsReparados.remotos.erase(pastaA + QStringLiteral("a.xml"));
    semOsReparados.remotos[pastaA + QStringLiteral("b.xml")] = outraB;
    EXPECT_TRUE(semOsReparados == antes) << "the repair changed something else";

    // Only d is left.
    s = verificar(false);
    EXPECT_EQ(s.codigo, 1);
    ASSERT_EQ(s.linhas().size(), 9u) << s.texto.toStdString();
    EXPECT_EQ(s.linhas()[0], l[3]);
    EXPECT_TRUE(s.texto.contains(QStringLiteral("\nDocumentos verificados: 5\nEm ordem: 5\n")))
        << s.texto.toStdString();
}

// The copy in the tray may store a document anew between the check and the repair: what it
// published then is not overwritten with the backup's older bytes.
TEST_P(Verificacao, ACopyChangedAfterTheCheckIsLeftAlone) {
    ASSERT_NO_FATAL_FAILURE(armazenar({{QStringLiteral("a.xml"), nota("nfe-400.xml", 301)}}));
    const QString remotoA = home + QStringLiteral("/public_html/arqs/") + cnpj +
                            QStringLiteral("/52567322000119/202104/a.xml");
    const QByteArray outra = nota("nfe-400.xml", 302);
    writeFile(remotoA, outra);
    const QByteArray maisNova = outra + "<!-- nova -->";

    Tdmdb dmdb({}, banco());
    FtpClient cliente;
    TParametrosVerificacao p;
    p.sPastaBKP = config.sPastaBKP;
    p.sCNPJ = cnpj;
    p.sVirgula = config.sVirgula;
    p.ftp = ftp();
    p.reparar = true;
    TVerificacao v(dmdb, cliente, p);
    v.aoEncontrar = [&](const TProblema& problema) {
        EXPECT_EQ(problema.tipo, TTipoProblema::CopiaDiferente);
        writeFile(remotoA, maisNova);
    };
    const TResultadoVerificacao r = v.Verificar();
    ASSERT_EQ(r.problemas.size(), 1);
    EXPECT_FALSE(r.problemas[0].reparado);
    EXPECT_EQ(r.problemas[0].reparo, u"nada alterado: a cópia remota mudou desde a verificação");
    EXPECT_EQ(readFile(remotoA), maisNova);
}

// A server down: exit code 2 and which one; a progress line only on a terminal.
TEST_P(Verificacao, AServerDownIsSaidAndTheExitCodeIsTwo) {
    ASSERT_NO_FATAL_FAILURE(armazenar({{QStringLiteral("a.xml"), nota("nfe-400.xml", 201)}}));

    FtpSettings fechado = ftp();
    fechado.port = freeTcpPort();
    Saida s = verificar(false, true, std::nullopt, fechado);
    EXPECT_EQ(s.codigo, 2);
    EXPECT_TRUE(s.erros.startsWith(QStringLiteral("Não foi possível verificar: servidor FTP")))
        << s.erros.toStdString();
    EXPECT_TRUE(s.texto.contains(QStringLiteral("\rVerificando 1 de 2"))) << s.texto.toStdString();

    DbSettings semBanco = banco();
    semBanco.port = unsigned(freeTcpPort());
    semBanco.connectTimeout = 5;
    s = verificar(false, false, semBanco);
    EXPECT_EQ(s.codigo, 2);
    EXPECT_TRUE(s.erros.startsWith(QStringLiteral("Não foi possível verificar: banco de dados: ")))
        << s.erros.toStdString();
    EXPECT_EQ(s.texto, QString());
}

INSTANTIATE_TEST_SUITE_P(, Verificacao,
                         ::testing::Values(Servidores{"pyftpdlib_MLSD", "FTP", false},
                                           Servidores{"vsftpd_NLST", "VSFTPD", false},
                                           Servidores{"vsftpd_TLS", "VSFTPDTLS", true},
                                           Servidores{"pureftpd_TLS_MLSD", "PUREFTPD", true}),
                         [](const auto& caso) { return std::string(caso.param.nome); });
