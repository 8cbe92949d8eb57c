#include "ModoVerificacao.h"

#include "DbSettings.h"
#include "FtpClient.h"
#include "FtpSettings.h"
#include "ParametrosVerificacao.h"
#include "Problema.h"
#include "ResultadoVerificacao.h"
#include "TipoProblema.h"
#include "Verificacao.h"
#include "VerificacaoImpossivel.h"

#include <QByteArray>
#include <QLocale>

namespace {

void escrever(std::FILE* f, const QString& texto) {
    const QByteArray b = texto.toUtf8();
    std::fwrite(b.constData(), 1, size_t(b.size()), f);
    std::fflush(f);
}

} // namespace

int verificarNaLinhaDeComando(const TConfiguracao& config, bool reparar, DbSettings db,
                              FtpSettings ftp, std::FILE* saida, std::FILE* erros, bool terminal) {
    bool progressoNaTela = false;
    // A progress line is wiped before any other line takes its place.
    auto linha = [&](std::FILE* f, const QString& texto) {
        if (progressoNaTela) {
            escrever(saida, QStringLiteral("\r\x1b[K"));
            progressoNaTela = false;
        }
        escrever(f, texto + u'\n');
    };

    Tdmdb dmdb({}, std::move(db));
    FtpClient cliente;
    TParametrosVerificacao p;
    p.sPastaBKP = config.sPastaBKP;
    p.sCNPJ = config.sCNPJ;
    p.sVirgula = config.sVirgula;
    p.ftp = std::move(ftp);
    p.reparar = reparar;
    TVerificacao verificacao(dmdb, cliente, std::move(p));
    verificacao.aoEncontrar = [&](const TProblema& problema) { linha(saida, problema.texto); };
    verificacao.aoReparar = [&](const TProblema& problema) {
        linha(saida, (problema.reparado ? QStringLiteral("Reparado: ")
                                        : QStringLiteral("Não reparado: ")) +
                         problema.texto + QStringLiteral(" (") + problema.reparo + u')');
    };
    if (terminal)
        verificacao.aoProgredir = [&](int feitos, int total) {
            escrever(saida, QStringLiteral("\rVerificando %1 de %2").arg(feitos).arg(total));
            progressoNaTela = true;
        };

    TResultadoVerificacao r;
    try {
        r = verificacao.Verificar();
    } catch (const std::exception& e) {
        linha(erros,
              QStringLiteral("Não foi possível verificar: %1").arg(QString::fromUtf8(e.what())));
        return 2;
    }

    linha(saida, QStringLiteral("Documentos verificados: %1").arg(r.documentos));
    linha(saida, QStringLiteral("Em ordem: %1").arg(r.emOrdem));
    const std::pair<TTipoProblema, const char*> tipos[kTiposDeProblema] = {
        {TTipoProblema::CopiaAusente, "Cópias remotas ausentes"},
        {TTipoProblema::CopiaDiferente, "Cópias remotas diferentes do backup"},
        {TTipoProblema::SemRegistro, "Documentos sem registro"},
        {TTipoProblema::SemBackup, "Registros sem documento no backup"},
        {TTipoProblema::RemotoSemRegistro, "Arquivos remotos sem registro"},
        {TTipoProblema::Ilegivel, "Arquivos do backup ilegíveis"},
    };
    for (const auto& [tipo, nome] : tipos)
        linha(saida, QStringLiteral("%1: %2").arg(QString::fromUtf8(nome)).arg(r.contar(tipo)));
    const int restantes = int(r.problemas.size()) - r.reparados();
    if (reparar) {
        linha(saida, QStringLiteral("Reparados: %1").arg(r.reparados()));
        linha(saida, QStringLiteral("Sem reparo: %1").arg(restantes));
    }
    return restantes > 0 ? 1 : 0;
}
