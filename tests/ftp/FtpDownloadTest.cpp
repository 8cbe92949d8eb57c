// Machine listings (MLSD) against the real servers of the test services, in clear text and
// in TLS, between downloads cut short.
#include "FtpClient.h"
#include "TestServices.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QRandomGenerator>
#include <gtest/gtest.h>
#include <map>

namespace {

struct Servidor {
    const char* nome;
    const char* prefixo; // QUARVEL_TEST_<prefixo>_HOST, ...
    bool tls;
    bool mlsd; // names MLST in FEAT
};

void PrintTo(const Servidor& s, std::ostream* os) { *os << s.nome; }

QString ajuste(const char* prefixo, const char* chave) {
    return serviceSetting(QStringLiteral("QUARVEL_TEST_%1_%2")
                              .arg(QLatin1String(prefixo), QLatin1String(chave))
                              .toLatin1()
                              .constData());
}

class FtpDownload : public ::testing::TestWithParam<Servidor> {};

} // namespace

TEST_P(FtpDownload, MachineListingsGiveNamesAndSizes) {
    const Servidor& s = GetParam();
    FtpClient c;
    c.Host = ajuste(s.prefixo, "HOST");
    c.Port = ajuste(s.prefixo, "PORT").toInt();
    c.Username = ajuste(s.prefixo, "USER");
    c.Password = ajuste(s.prefixo, "PASSWORD");
    c.ReadTimeout = 20000;
    c.ConnectTimeout = 5000;
    c.UseTls = s.tls;
    c.CaFile = s.tls ? serviceSetting("QUARVEL_TEST_CA_FILE") : QString();
    c.Connect();

    QByteArray grande(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    QRandomGenerator rng(7);
    for (char& b : grande)
        b = char(rng.bounded(256));
    const std::map<QString, QByteArray> arquivos = {
        {QStringLiteral("texto.xml"), QByteArrayLiteral("<a>\r\n\n\r\x1a\x00 fim</a>")},
        {QStringLiteral("vazio.xml"), QByteArray()},
        {QStringLiteral("grande.xml"), grande},
    };
    const QString pasta = QStringLiteral("/public_html/baixar-%1-%2")
                              .arg(QCoreApplication::applicationPid())
                              .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
    c.MakeDir(pasta);
    c.ChangeDir(pasta);
    for (const auto& [nome, bytes] : arquivos)
        c.PutData(bytes, nome);

    // The sizes the check compares before it downloads, where the server gives them.
    const std::optional<QList<FtpClient::Entry>> entradas = c.ListEntries(QString());
    ASSERT_EQ(entradas.has_value(), s.mlsd);
    if (entradas) {
        std::map<QString, qint64> listados;
        for (const FtpClient::Entry& e : *entradas)
            if (e.type == u"file")
                listados[e.name] = e.size;
        std::map<QString, qint64> esperados;
        for (const auto& [nome, bytes] : arquivos)
            esperados[nome] = bytes.size();
        EXPECT_EQ(listados, esperados);
    }
    // Downloads cut short, one after another, each answered in step with its own reply.
    for (int vez = 0; vez < 3; ++vez) {
        EXPECT_EQ(c.Get(QStringLiteral("grande.xml"), 1000), grande.left(1001));
        EXPECT_EQ(c.ListEntries(QString()).has_value(), s.mlsd);
        EXPECT_EQ(c.Get(pasta + QStringLiteral("/texto.xml"), 1 << 20),
                  arquivos.at(QStringLiteral("texto.xml")));
    }
    for (const auto& [nome, bytes] : arquivos)
        c.SendCmd(QStringLiteral("DELE ") + nome);
    c.ChangeDir(QStringLiteral("/public_html"));
    c.SendCmd(QStringLiteral("RMD ") + pasta);
    c.Disconnect();
}

INSTANTIATE_TEST_SUITE_P(Servidores, FtpDownload,
                         ::testing::Values(Servidor{"pyftpdlib", "FTP", false, true},
                                           Servidor{"vsftpd", "VSFTPD", false, false},
                                           Servidor{"pyftpdlib_tls", "FTPTLS", true, true},
                                           Servidor{"vsftpd_tls", "VSFTPDTLS", true, false},
                                           Servidor{"pure_ftpd_tls", "PUREFTPD", true, true}),
                         [](const auto& caso) { return std::string(caso.param.nome); });
