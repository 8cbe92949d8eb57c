// What the tray tells of the storage runs, watched on the real window (offscreen) while a
// real FTP server of the test's own goes away and comes back.
#include "EtapaArquivo.h"
#include "FtpServerProcess.h"
#include "QuarvelAcesso.h"
#include "QuarvelDmo.h"
#include "RootDb.h"
#include "TestServices.h"
#include "TestSupport.h"

#include <QPlainTextEdit>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <gtest/gtest.h>

namespace {

struct Balao {
    QString texto;
    QImage icone;
};

QImage imagem(const QIcon& icon) { return icon.pixmap(32, 32).toImage(); }

class Tray : public DbTest {};

} // namespace

TEST_F(Tray, FailureTellsOnceAndRecoveryTellsAgain) {
    QTemporaryDir work;
    ASSERT_TRUE(work.isValid());
    const QString nfe = work.path() + QStringLiteral("/NFE");
    const QString home = work.path() + QStringLiteral("/ftphome");
    QDir().mkpath(home + QStringLiteral("/public_html"));
    QDir().mkpath(nfe);
    const QString cnpj = QStringLiteral("8%1").arg(
        QRandomGenerator::global()->bounded(1000000000000LL), 13, 10, QChar(u'0'));
    struct Limpeza {
        RootDb& root;
        QString cnpj;
        ~Limpeza() {
            root.exec("DELETE FROM docs WHERE pasta LIKE " + root.quote("/arqs/" + cnpj + "/%"));
        }
    } limpeza{root, cnpj};

    FtpServerProcess::Options o;
    o.home = home;
    FtpServerProcess servidor(o); // not started: its port is closed
    TConfiguracao c = configuracaoPadrao();
    c.sPastaNFE = nfe;
    c.sPastaBKP = work.path() + QStringLiteral("/BKP");
    c.sCNPJ = cnpj;
    c.sVirgula = QStringLiteral("S");
    Tdmdb dmdb({}, settings());
    TFormDlgAcesso f(c, dmdb,
                     {QStringLiteral("127.0.0.1"), servidor.port(), QStringLiteral("kelvaro"),
                      servidor.password()});
    f.regional = [] { return QLocale(QStringLiteral("pt_BR")); };
    f.IdFTP.ConnectTimeout = 5000;
    f.IdFTP.ReadTimeout = 20000;
    f.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
    f.bandejaDisponivel = [] { return true; };
    f.bitFecharClick(); // in the tray, as for months
    ASSERT_TRUE(f.TrayIcon1->isVisible());

    QList<Balao> baloes;
    f.aoMostrarBalao = [&](const QString& texto, const QIcon& icone) {
        baloes.append({texto, imagem(icone)});
    };
    QStringList dicasDuranteOArquivo;
    f.aoPassarArquivo = [&](TEtapaArquivo etapa, const QByteArray&) {
        if (etapa == TEtapaArquivo::Lido)
            dicasDuranteOArquivo << f.TrayIcon1->toolTip();
    };

    const QImage normal = imagem(f.iconeNormal());
    EXPECT_EQ(imagem(f.TrayIcon1->icon()), normal);
    EXPECT_EQ(f.TrayIcon1->toolTip(), u"Quarvel XML");
    // The warning look is drawn over the icon we ship: its upper left part stays.
    const QImage alerta = imagem(f.iconeFalha());
    EXPECT_NE(alerta, normal);
    EXPECT_EQ(alerta.copy(0, 0, 12, 12), normal.copy(0, 0, 12, 12));

    // An empty tree: nothing pending.
    f.BitArmazenar->click();
    const QRegularExpression nadaPendente(
        QStringLiteral("^Quarvel XML\nÚltima execução: \\d\\d/\\d\\d \\d\\d:\\d\\d, nenhum "
                       "documento pendente$"));
    EXPECT_TRUE(nadaPendente.match(f.TrayIcon1->toolTip()).hasMatch())
        << f.TrayIcon1->toolTip().toStdString();
    EXPECT_TRUE(baloes.isEmpty());

    writeFile(nfe + QStringLiteral("/a.xml"),
              readFile(fixturePath(QStringLiteral("nfe/nfe-400.xml"))));

    // Failed: the FTP server's port is closed.
    f.BitArmazenar->click();
    const QRegularExpression falha(QStringLiteral(
        "^Falha em \\d\\d/\\d\\d \\d\\d:\\d\\d: Conexão FTP: Socket Error # \\d+.*$"));
    const QStringList dica = f.TrayIcon1->toolTip().split(u'\n');
    ASSERT_EQ(dica.size(), 2) << f.TrayIcon1->toolTip().toStdString();
    EXPECT_EQ(dica[0], u"Quarvel XML");
    EXPECT_TRUE(falha.match(dica[1]).hasMatch()) << dica[1].toStdString();
    EXPECT_EQ(imagem(f.TrayIcon1->icon()), alerta);
    ASSERT_EQ(baloes.size(), 1);
    EXPECT_EQ(baloes[0].texto, dica[1]);
    EXPECT_EQ(baloes[0].icone, alerta);
    // The "Erros" tab and standard error keep their lines.
    EXPECT_TRUE(f.MemoErros->toPlainText().startsWith(QStringLiteral("Conexão FTP\n")));

    // Failed again, the same way: the tip is new, the balloon is not repeated.
    f.BitArmazenar->click();
    EXPECT_TRUE(falha.match(f.TrayIcon1->toolTip().split(u'\n').value(1)).hasMatch());
    EXPECT_EQ(imagem(f.TrayIcon1->icon()), alerta);
    EXPECT_EQ(baloes.size(), 1);

    // The server is back: the document is stored, the icon and one balloon say so.
    servidor.start();
    f.BitArmazenar->click();
    EXPECT_EQ(dicasDuranteOArquivo.last(), u"Quarvel XML\nArmazenando 1 de 1");
    const QRegularExpression publicado(
        QStringLiteral("^Quarvel XML\nÚltima execução: \\d\\d/\\d\\d \\d\\d:\\d\\d, 1 documento "
                       "publicado$"));
    EXPECT_TRUE(publicado.match(f.TrayIcon1->toolTip()).hasMatch())
        << f.TrayIcon1->toolTip().toStdString();
    EXPECT_EQ(imagem(f.TrayIcon1->icon()), normal);
    ASSERT_EQ(baloes.size(), 2);
    EXPECT_EQ(baloes[1].texto, u"O armazenamento de documentos voltou a funcionar.");
    EXPECT_EQ(baloes[1].icone, normal);
    EXPECT_TRUE(QFileInfo::exists(home + QStringLiteral("/public_html/arqs/") + cnpj +
                                  QStringLiteral("/52567322000119/202104/a.xml")));

    // A run that goes well after one that went well tells nothing.
    writeFile(nfe + QStringLiteral("/b.xml"),
              readFile(fixturePath(QStringLiteral("nfe/nfe-310-dest-cpf.xml"))));
    writeFile(nfe + QStringLiteral("/c.xml"),
              readFile(fixturePath(QStringLiteral("nfe/nfce-400-sem-prologo.xml"))));
    f.BitArmazenar->click();
    EXPECT_EQ(dicasDuranteOArquivo.mid(dicasDuranteOArquivo.size() - 2),
              (QStringList{QStringLiteral("Quarvel XML\nArmazenando 1 de 2"),
                           QStringLiteral("Quarvel XML\nArmazenando 2 de 2")}));
    EXPECT_TRUE(f.TrayIcon1->toolTip().endsWith(QStringLiteral(", 2 documentos publicados")))
        << f.TrayIcon1->toolTip().toStdString();
    EXPECT_EQ(baloes.size(), 2);
}
