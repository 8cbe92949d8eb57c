// The storage run measured three ways: the run itself driven without a screen, the same
// steps with a timer around each call (where the time goes), and the run in the real window.
#include "Application.h"
#include "Armazenamento.h"
#include "ArquivoLido.h"
#include "BenchSupport.h"
#include "Configuracao.h"
#include "DbSettings.h"
#include "EtapaArquivo.h"
#include "FileMove.h"
#include "FtpClient.h"
#include "FtpSettings.h"
#include "JanelaArmazenamento.h"
#include "ListaPendente.h"
#include "NFeReader.h"
#include "OpcoesBusca.h"
#include "ParametrosArmazenamento.h"
#include "Publicacao.h"
#include "QuarvelAcesso.h"
#include "QuarvelDmo.h"

#include <QCoreApplication>
#include <QDir>
#include <QPlainTextEdit>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <cstdio>
#include <map>
#include <stdexcept>
#include <vector>

using bench::Clock;
using bench::figura;
using bench::opcao;

namespace {

// With tls, the servers that require it, and the private authority that signed them.
DbSettings bancoDoAmbiente(bool tls) {
    const auto v = [tls](const char* chave) {
        return bench::ambiente(
            (QByteArray("QUARVEL_TEST_") + (tls ? "DBTLS_" : "DB_") + chave).constData());
    };
    DbSettings s;
    s.host = v("HOST");
    s.port = v("PORT").toUInt();
    s.password = v("PASSWORD");
    s.siteUrl = QStringLiteral("http://127.0.0.1");
    s.tls = tls;
    s.caFile = tls ? bench::ambiente("QUARVEL_TEST_CA_FILE") : QString();
    return s;
}

FtpSettings ftpDoAmbiente(bool tls) {
    const auto v = [tls](const char* chave) {
        return bench::ambiente(
            (QByteArray("QUARVEL_TEST_") + (tls ? "FTPTLS_" : "FTP_") + chave).constData());
    };
    FtpSettings s;
    s.host = v("HOST");
    s.port = v("PORT").toInt();
    s.user = v("USER");
    s.password = v("PASSWORD");
    s.tls = tls;
    s.caFile = tls ? bench::ambiente("QUARVEL_TEST_CA_FILE") : QString();
    return s;
}

struct TEntradas {
    QString nfe, bkp, cnpj, prefixo;
    bool tls = false; // --tls: the FTP and database servers that require TLS
};

TEntradas entradas(const QStringList& args) {
    TEntradas e{opcao(args, QStringLiteral("--nfe")), opcao(args, QStringLiteral("--bkp")),
                opcao(args, QStringLiteral("--cnpj")), opcao(args, QStringLiteral("--prefixo")),
                args.contains(QStringLiteral("--tls"))};
    if (e.nfe.isEmpty() || e.bkp.isEmpty() || e.cnpj.isEmpty() || e.prefixo.isEmpty())
        throw std::runtime_error(
            "usage: --nfe DIR --bkp DIR --cnpj ACCOUNT --prefixo NAME [--tls]");
    return e;
}

// Times between consecutive message pumps.
struct TIntervalos {
    Clock::time_point ultimo{};
    std::vector<double> gaps;
    long bombeamentos = 0;
    void marcar() {
        const Clock::time_point agora = Clock::now();
        if (bombeamentos++ > 0)
            gaps.push_back(std::chrono::duration<double>(agora - ultimo).count());
        ultimo = agora;
    }
    double maximo() const { return gaps.empty() ? 0 : *std::max_element(gaps.begin(), gaps.end()); }
    double percentil(double p) const {
        if (gaps.empty())
            return 0;
        std::vector<double> g = gaps;
        const auto k = std::min(g.size() - 1, size_t(p * double(g.size())));
        std::nth_element(g.begin(), g.begin() + qsizetype(k), g.end());
        return g[k];
    }
    void figuras(const QString& prefixo) const {
        figura(prefixo + QStringLiteral("_pump_gap_max_ms"), maximo() * 1000, QStringLiteral("ms"));
        figura(prefixo + QStringLiteral("_pump_gap_p99_ms"), percentil(0.99) * 1000,
               QStringLiteral("ms"));
        // 0: before the first file's pump (listing, connections); the last: after the last
        // file (its work, closing, the listing at the end).
        const auto at = std::max_element(gaps.begin(), gaps.end()) - gaps.begin();
        figura(prefixo + QStringLiteral("_pump_gap_max_at"), gaps.empty() ? 0 : double(at),
               QStringLiteral("gap"));
    }
};

// From one file's row committed to the next file read: the move and the next read, and in
// the window the pump before the next file (where the file's rows are drawn) and the
// progress bar. And a file's whole time, from its read to the next file's read: its median,
// and its longest, which on a real link is as long as the window may go without answering
// its messages.
struct TEntreArquivos {
    Clock::time_point confirmado{}, lido{};
    bool aberto = false;
    std::vector<double> ms, arquivoMs;
    void passar(TEtapaArquivo etapa) {
        const Clock::time_point agora = Clock::now();
        if (etapa == TEtapaArquivo::Confirmado) {
            confirmado = agora;
            aberto = true;
        } else if (etapa == TEtapaArquivo::Lido) {
            if (aberto)
                ms.push_back(std::chrono::duration<double, std::milli>(agora - confirmado).count());
            if (lido != Clock::time_point{})
                arquivoMs.push_back(
                    std::chrono::duration<double, std::milli>(agora - lido).count());
            lido = agora;
            aberto = false;
        }
    }
    static double mediana(std::vector<double> m) {
        if (m.empty())
            return 0;
        std::nth_element(m.begin(), m.begin() + qsizetype(m.size() / 2), m.end());
        return m[m.size() / 2];
    }
    void figura(const QString& prefixo) const {
        bench::figura(prefixo + QStringLiteral("_between_files_ms"), mediana(ms),
                      QStringLiteral("ms"));
        bench::figura(prefixo + QStringLiteral("_file_ms"), mediana(arquivoMs),
                      QStringLiteral("ms"));
        // The slowest file: on a real link, what the window may at most go without answering.
        bench::figura(prefixo + QStringLiteral("_file_ms_max"),
                      arquivoMs.empty() ? 0 : *std::max_element(arquivoMs.begin(), arquivoMs.end()),
                      QStringLiteral("ms"));
    }
};

// What a storage run drives, without a screen: the folder to list, the message pump, the log
// kept in memory.
class TJanelaSemTela : public TJanelaArmazenamento {
public:
    explicit TJanelaSemTela(QString pastaLocal) : m_pastaLocal(std::move(pastaLocal)) {}

    void pararTimer() override {}
    void habilitarTimerEBotoes() override {}
    void desabilitarBotoes() override {}
    QString pastaLocalListagem() const override { return m_pastaLocal; }
    void mostrarLista(const TListaPendente&) override {}
    void selecionar(int) override {}
    void processarMensagens() override {
        intervalos.marcar();
        QCoreApplication::processEvents();
    }
    void posicionarProgresso(int) override {}
    void registrarLinha(const QString& linha) override { log << linha; }

    TIntervalos intervalos;
    QStringList log;

private:
    QString m_pastaLocal;
};

TParametrosArmazenamento parametros(const TEntradas& e) {
    TParametrosArmazenamento p;
    p.sPastaBKP = e.bkp;
    p.sCNPJ = e.cnpj;
    p.sVirgula = QStringLiteral("N");
    p.ftp = ftpDoAmbiente(e.tls);
    p.regional = [] { return QLocale::c(); };
    return p;
}

// Every file below nfe went into the backup tree (none into Erros, none left).
void conferirTudoArmazenado(const TEntradas& e, qsizetype total) {
    const qsizetype restantes = bench::arquivosXml(e.nfe).size();
    const qsizetype erros = bench::arquivosXml(e.bkp + QStringLiteral("/Erros")).size();
    const qsizetype guardados = bench::arquivosXml(e.bkp).size() - erros;
    if (restantes != 0 || erros != 0 || guardados != total)
        throw std::runtime_error(QStringLiteral("the run did not store every file: %1 stored, "
                                                "%2 left, %3 in Erros, of %4")
                                     .arg(guardados)
                                     .arg(restantes)
                                     .arg(erros)
                                     .arg(total)
                                     .toStdString());
}

} // namespace

// armazenamento --nfe DIR --bkp DIR --cnpj ACCOUNT --prefixo NAME [--tls]
// One press of "Armazenar", driven without a screen: files/s, peak memory, pump gaps.
int medirArmazenamento(const QStringList& args) {
    const TEntradas e = entradas(args);
    const qsizetype total = bench::arquivosXml(e.nfe).size();
    QString sFase;
    FtpClient ftp;
    Tdmdb dmdb({}, bancoDoAmbiente(e.tls));
    TJanelaSemTela janela(e.nfe);
    TEntreArquivos entre;
    TParametrosArmazenamento p = parametros(e);
    p.aoPassar = [&entre](TEtapaArquivo etapa, const QByteArray&) { entre.passar(etapa); };
    TArmazenamento run(janela, dmdb, ftp, sFase, std::move(p));
    const long rssAntes = bench::picoRssKb();

    const auto inicio = Clock::now();
    janela.intervalos.marcar(); // the gaps before the first and after the last pump count too
    try {
        run.Armazenar();
    } catch (const std::exception& ex) {
        run.aposFalha();
        throw std::runtime_error("the run failed under \"" + sFase.toStdString() +
                                 "\": " + ex.what());
    }
    janela.intervalos.marcar();
    const double s = bench::segundosDesde(inicio);
    for (const QString& linha : janela.log)
        std::fprintf(stderr, "log: %s\n", qPrintable(linha));
    conferirTudoArmazenado(e, total);

    figura(e.prefixo + QStringLiteral("_files"), double(total), QStringLiteral("files"));
    figura(e.prefixo + QStringLiteral("_s"), s, QStringLiteral("s"));
    figura(e.prefixo + QStringLiteral("_files_per_s"), double(total) / s,
           QStringLiteral("files/s"));
    figura(e.prefixo + QStringLiteral("_rss_start_mb"), rssAntes / 1024.0, QStringLiteral("MB"));
    figura(e.prefixo + QStringLiteral("_rss_peak_mb"), bench::picoRssKb() / 1024.0,
           QStringLiteral("MB"));
    janela.intervalos.figuras(e.prefixo);
    entre.figura(e.prefixo);
    return 0;
}

namespace {

// Time spent per part of the work.
struct TEtapas {
    std::map<QString, double> s;
    void somar(const QString& etapa, Clock::time_point de, Clock::time_point ate) {
        s[etapa] += std::chrono::duration<double>(ate - de).count();
    }
    template <typename F> void medir(const QString& etapa, F&& f) {
        const auto de = Clock::now();
        f();
        somar(etapa, de, Clock::now());
    }
};

} // namespace

// etapas --nfe DIR --bkp DIR --cnpj ACCOUNT --prefixo NAME [--tls]
// The steps of one storage run in the run's order, through the same calls, each timed:
// reading, database (the INSERT in its transaction; the commit), connections (database, FTP login
// and recycling), FTP folder commands, FTP upload (PASV, STOR and its data), moves. The
// publication's phase texts split its time.
int medirEtapas(const QStringList& args) {
    const TEntradas e = entradas(args);
    const qsizetype total = bench::arquivosXml(e.nfe).size();
    FtpClient ftp;
    Tdmdb dmdb({}, bancoDoAmbiente(e.tls));
    const FtpSettings ftpSettings = ftpDoAmbiente(e.tls);

    TEtapas etapas;
    QString fase;
    Clock::time_point marco;
    auto mudarFase = [&](const QString& nova) {
        const auto agora = Clock::now();
        if (fase == QLatin1String("Conexão com FTP"))
            etapas.somar(QStringLiteral("connect"), marco, agora);
        else if (fase == QLatin1String("Copia arquivo para FTP <put>"))
            etapas.somar(QStringLiteral("ftp_upload"), marco, agora);
        else
            etapas.somar(QStringLiteral("ftp_folders"), marco, agora);
        fase = nova;
        marco = agora;
    };
    TPublicacao publicacao(ftp, ftpSettings, mudarFase);

    TOpcoesBusca opcoes;
    opcoes.excluidas = {e.bkp};
    const auto inicio = Clock::now();
    TListaPendente lista;
    etapas.medir(QStringLiteral("listing"), [&] { lista = listarArquivosXml(e.nfe, opcoes); });
    etapas.medir(QStringLiteral("connect"), [&] {
        dmdb.ConectarBanco();
        publicacao.Desconectar();
        publicacao.Conectar();
    });
    int reconexao = 1;
    for (qsizetype i = 0; i < lista.size(); ++i) {
        const QByteArray& pastaLocal = lista.pastasLocais[i];
        const QByteArray& nome = lista.arquivos[i];
        etapas.medir(QStringLiteral("other"), [&] {
            dmdb.ConectarBanco();
            QCoreApplication::processEvents();
        });
        TArquivoLido lido;
        TDadosNFe dados;
        etapas.medir(QStringLiteral("read"), [&] {
            lido = LerArquivoNFe(pastaLocal + nome);
            dados = LerDadosNFeBytes(lido.dados, QString::fromUtf8(nome), QStringLiteral("N"),
                                     QStringLiteral("."), e.cnpj);
        });
        Tdmdb::TRegistro registro;
        etapas.medir(QStringLiteral("db_insert"), [&] {
            registro = dmdb.RegistrarDocumento(dados, dados.arquivo, dados.pasta);
        });
        fase = QString();
        marco = Clock::now();
        publicacao.PublicarArquivo(lido.dados, registro.arquivo, dados.ccnpj_origem, dados.demissao,
                                   dados.pasta, e.cnpj);
        mudarFase(QString());
        etapas.medir(QStringLiteral("db_commit"), [&] {
            dmdb.ConfirmarRegistro();
        });
        etapas.medir(QStringLiteral("move"), [&] {
            QString motivo;
            if (!MoverParaBackup(e.bkp, pastaLocal, nome, dados.ccnpj_origem, dados.demissao,
                                 &motivo, &lido.identidade))
                throw std::runtime_error("move failed: " + motivo.toStdString());
        });
        if (++reconexao == 20 && ftp.Connected()) {
            etapas.medir(QStringLiteral("connect"), [&] {
                ftp.Disconnect();
                publicacao.Conectar();
            });
            reconexao = 1;
        }
    }
    etapas.medir(QStringLiteral("connect"), [&] { publicacao.Desconectar(); });
    etapas.medir(QStringLiteral("listing"), [&] { lista = listarArquivosXml(e.nfe, opcoes); });
    const double s = bench::segundosDesde(inicio);
    conferirTudoArmazenado(e, total);

    figura(e.prefixo + QStringLiteral("_total_s"), s, QStringLiteral("s"));
    double medido = 0;
    for (const auto& [etapa, segundos] : etapas.s) {
        figura(e.prefixo + u'_' + etapa + QStringLiteral("_s"), segundos, QStringLiteral("s"));
        medido += segundos;
    }
    figura(e.prefixo + QStringLiteral("_unaccounted_s"), s - medido, QStringLiteral("s"));
    return 0;
}

// janela-armazenamento --nfe DIR --bkp DIR --cnpj ACCOUNT --prefixo NAME
// A press of "Armazenar" in the real window (offscreen): files/s, and what a user feels of
// the window: the longest time it went without handling its messages (a zero timer of the
// driver's own fires whenever the window's event loop runs).
int medirArmazenamentoJanela(const QStringList& args) {
    const TEntradas e = entradas(args);
    const qsizetype total = bench::arquivosXml(e.nfe).size();
    TConfiguracao c = configuracaoPadrao();
    c.sPastaNFE = e.nfe;
    c.sPastaBKP = e.bkp;
    c.sCNPJ = e.cnpj;
    c.sVirgula = QStringLiteral("N");
    Tdmdb dmdb({}, bancoDoAmbiente(e.tls));
    TFormDlgAcesso form(c, dmdb, ftpDoAmbiente(e.tls));
    form.regional = [] { return QLocale::c(); };
    TEntreArquivos entre;
    form.aoPassarArquivo = [&entre](TEtapaArquivo etapa, const QByteArray&) {
        entre.passar(etapa);
    };
    form.show();
    for (int i = 0; i < 10; ++i)
        QCoreApplication::processEvents();

    TIntervalos intervalos;
    QTimer bomba;
    bomba.setInterval(0);
    QObject::connect(&bomba, &QTimer::timeout, [&] {
        if (form.emExecucao())
            intervalos.marcar();
    });
    bomba.start();
    const auto inicio = Clock::now();
    intervalos.marcar(); // the gaps before the first and after the last pump count too
    form.BitArmazenar->click();
    intervalos.marcar();
    const double s = bench::segundosDesde(inicio);
    bomba.stop();
    const QString log = form.MemoErros->toPlainText();
    if (!log.isEmpty())
        throw std::runtime_error("the run logged: " + log.toStdString());
    conferirTudoArmazenado(e, total);

    figura(e.prefixo + QStringLiteral("_files"), double(total), QStringLiteral("files"));
    figura(e.prefixo + QStringLiteral("_s"), s, QStringLiteral("s"));
    figura(e.prefixo + QStringLiteral("_files_per_s"), double(total) / s,
           QStringLiteral("files/s"));
    intervalos.figuras(e.prefixo);
    figura(e.prefixo + QStringLiteral("_pumps"), double(intervalos.bombeamentos),
           QStringLiteral("count"));
    entre.figura(e.prefixo);
    return 0;
}
