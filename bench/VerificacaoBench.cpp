// The check of a published account (and its repair) over an account a storage run stored.
#include "BenchSupport.h"
#include "DbSettings.h"
#include "FtpClient.h"
#include "ParametrosVerificacao.h"
#include "QuarvelDmo.h"
#include "ResultadoVerificacao.h"
#include "Verificacao.h"

#include <QLocale>
#include <cstdio>
#include <stdexcept>

using bench::Clock;
using bench::figura;
using bench::opcao;

// verificacao --bkp DIR --cnpj ACCOUNT --prefixo NAME [--tls] [--reparar]
// One `quarvel --verificar` (or --reparar) of the account: its time, per document, and what
// it found.
int medirVerificacao(const QStringList& args) {
    const QString bkp = opcao(args, QStringLiteral("--bkp"));
    const QString cnpj = opcao(args, QStringLiteral("--cnpj"));
    const QString prefixo = opcao(args, QStringLiteral("--prefixo"));
    const bool tls = args.contains(QStringLiteral("--tls"));
    if (bkp.isEmpty() || cnpj.isEmpty() || prefixo.isEmpty())
        throw std::runtime_error(
            "usage: --bkp DIR --cnpj ACCOUNT --prefixo NAME [--tls] [--reparar]");
    const auto v = [tls](const char* servico, const char* chave) {
        return bench::ambiente(
            (QByteArray("QUARVEL_TEST_") + servico + (tls ? "TLS_" : "_") + chave).constData());
    };
    DbSettings db;
    db.host = v("DB", "HOST");
    db.port = v("DB", "PORT").toUInt();
    db.password = v("DB", "PASSWORD");
    db.siteUrl = QStringLiteral("http://127.0.0.1");
    db.tls = tls;
    db.caFile = tls ? bench::ambiente("QUARVEL_TEST_CA_FILE") : QString();
    TParametrosVerificacao p;
    p.sPastaBKP = bkp;
    p.sCNPJ = cnpj;
    p.sVirgula = QStringLiteral("N");
    p.regional = [] { return QLocale::c(); };
    p.reparar = args.contains(QStringLiteral("--reparar"));
    p.ftp.host = v("FTP", "HOST");
    p.ftp.port = v("FTP", "PORT").toInt();
    p.ftp.user = v("FTP", "USER");
    p.ftp.password = v("FTP", "PASSWORD");
    p.ftp.tls = tls;
    p.ftp.caFile = db.caFile;

    Tdmdb dmdb({}, db);
    FtpClient ftp;
    TVerificacao verificacao(dmdb, ftp, std::move(p));
    const long rssAntes = bench::picoRssKb();
    const auto inicio = Clock::now();
    const TResultadoVerificacao r = verificacao.Verificar();
    const double s = bench::segundosDesde(inicio);
    figura(prefixo + QStringLiteral("_docs"), r.documentos, QStringLiteral("docs"));
    figura(prefixo + QStringLiteral("_in_order"), r.emOrdem, QStringLiteral("docs"));
    figura(prefixo + QStringLiteral("_problems"), double(r.problemas.size()),
           QStringLiteral("problems"));
    figura(prefixo + QStringLiteral("_repaired"), r.reparados(), QStringLiteral("problems"));
    figura(prefixo + QStringLiteral("_s"), s, QStringLiteral("s"));
    figura(prefixo + QStringLiteral("_ms_per_doc"), r.documentos ? s * 1000 / r.documentos : 0,
           QStringLiteral("ms"));
    figura(prefixo + QStringLiteral("_rss_start_mb"), rssAntes / 1024.0, QStringLiteral("MB"));
    figura(prefixo + QStringLiteral("_rss_peak_mb"), bench::picoRssKb() / 1024.0,
           QStringLiteral("MB"));
    return 0;
}
