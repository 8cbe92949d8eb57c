#include "Armazenamento.h"

#include "ErrorLog.h"
#include "FileMove.h"
#include "FtpClient.h"
#include "NFeReader.h"
#include "Nomes.h"
#include "QuarvelDmo.h"

#include <QHash>
#include <algorithm>
#include <stdexcept>
#include <vector>

namespace {

constexpr int kMarcaReconexao = 20; // the connection is recycled after every 19 stored files
// A file modified this recently may still be being written. Only the recent past counts: a
// time further in the future is a clock that is wrong, not a writer at work.
constexpr qint64 kEmEscritaMs = 60 * 1000;
constexpr qsizetype kMaximoAdiados = 1000;

} // namespace

TArmazenamento::TArmazenamento(TJanelaArmazenamento& janela, Tdmdb& dmdb, FtpClient& ftp,
                               QString& sFase, ParametrosArmazenamento parametros)
    : janela_(janela), dmdb_(dmdb), ftp_(ftp), sFase_(sFase), p_(std::move(parametros)),
      publicacao_(ftp, p_.ftp, [this](const QString& fase) { sFase_ = fase; }) {}

void TArmazenamento::Armazenar() {
    if (emExecucao_)
        return;
    emExecucao_ = true;
    try {
        // A loop, not a recursion: months of chained runs must not grow the stack.
        while (executar()) {
        }
    } catch (...) {
        if (!arquivoAtual_.isEmpty()) {
            adiados_.removeAll(arquivoAtual_);
            adiados_.append(arquivoAtual_);
            if (adiados_.size() > kMaximoAdiados)
                adiados_.removeFirst();
        }
        arquivoAtual_.clear();
        emExecucao_ = false;
        throw;
    }
    emExecucao_ = false;
}

ListaPendente TArmazenamento::Listar() {
    OpcoesBusca opcoes;
    opcoes.excluidas = {p_.sPastaBKP};
    ListaPendente lista = listarArquivosXml(janela_.pastaListagem(), opcoes);
    if (!adiados_.isEmpty()) {
        QHash<QByteArray, qsizetype> ordem;
        for (qsizetype k = 0; k < adiados_.size(); ++k)
            ordem.insert(adiados_[k], k);
        ListaPendente frente;
        std::vector<std::pair<qsizetype, qsizetype>> fim; // (failure order, index)
        for (qsizetype i = 0; i < lista.size(); ++i) {
            const auto it = ordem.constFind(lista.caminho(i));
            if (it == ordem.constEnd()) {
                frente.pastas.append(lista.pastas[i]);
                frente.arquivos.append(lista.arquivos[i]);
            } else {
                fim.emplace_back(*it, i);
            }
        }
        std::sort(fim.begin(), fim.end());
        for (const auto& [k, i] : fim) {
            frente.pastas.append(lista.pastas[i]);
            frente.arquivos.append(lista.arquivos[i]);
        }
        lista = std::move(frente);
    }
    janela_.mostrarLista(lista);
    return lista;
}

void TArmazenamento::aposFalha() noexcept {
    try {
        dmdb_.DesfazerRegistro();
    } catch (...) {
    }
    try {
        if (ftp_.Connected())
            ftp_.Disconnect();
    } catch (...) {
        // A connection reset while closing: it is closed all the same.
    }
}

bool TArmazenamento::emEscrita(const QByteArray& caminho) const {
    const std::optional<IdentidadeArquivo> id = identidadeDoCaminho(caminho);
    if (!id)
        return false;
    const qint64 idadeMs = p_.agora().toMSecsSinceEpoch() - id->modificacaoNs / 1000000;
    return idadeMs < kEmEscritaMs && idadeMs > -kEmEscritaMs;
}

void TArmazenamento::registrarMovimentoFalho(const QByteArray& nome, const QString& motivo) {
    janela_.registrarLinha(carimboLog(p_.agora(), p_.regional()) +
                           QStringLiteral("Erro ao mover o arquivo: ") + nomeLegivel(nome) +
                           QStringLiteral(" (") + motivo + u')');
}

void TArmazenamento::passar(EtapaArquivo etapa, const QByteArray& caminho) const {
    if (p_.aoPassar)
        p_.aoPassar(etapa, caminho);
}

void TArmazenamento::recusar(const QByteArray& pasta, const QByteArray& nome, const QString& linha,
                             int& retirados) {
    // A file an invoice system may still be writing waits for a later run.
    if (emEscrita(pasta + nome))
        return;
    janela_.registrarLinha(linha);
    QString motivo;
    if (MoverParaErros(p_.sPastaBKP, pasta, nome, &motivo))
        ++retirados;
    else
        registrarMovimentoFalho(nome, motivo);
}

void TArmazenamento::conectarFtp() {
    sFase_ = QStringLiteral("Conexão FTP");
    if (!nomeDePastaSeguro(p_.sCNPJ))
        throw std::runtime_error(
            QStringLiteral("O valor de sCNPJ no DOC.INI (\"%1\") não é um nome de pasta válido: "
                           "use apenas letras e dígitos.")
                .arg(nomeLegivel(p_.sCNPJ))
                .toStdString());
    publicacao_.Conectar();
    ftpAberto_ = true;
}

bool TArmazenamento::armazenarArquivo(const QByteArray& pasta, const QByteArray& nome,
                                      int& retirados) {
    const QByteArray caminho = pasta + nome;
    auto nomeRecusado = [&](const QString& porque) {
        return carimboLog(p_.agora(), p_.regional()) +
               QStringLiteral("Nome de arquivo impróprio para o servidor FTP: ") +
               nomeLegivel(nome) + QStringLiteral(" (") + porque + u')';
    };

    sFase_ = QStringLiteral("Leitura do XML");
    const std::optional<QString> nomeTexto = nomeComoTexto(nome);
    if (!nomeTexto) {
        recusar(pasta, nome, nomeRecusado(QStringLiteral("o nome não está em UTF-8")), retirados);
        return false;
    }
    ArquivoLido lido;
    TDadosNFe dados;
    try {
        // Read once: what is published is these bytes, and only this file is moved.
        lido = LerArquivoNFe(caminho);
        dados = LerDadosNFeBytes(lido.dados, *nomeTexto, p_.sVirgula, p_.regional().decimalPoint(),
                                 p_.sCNPJ);
    } catch (...) {
        recusar(pasta, nome, linhaArquivoIlegivel(p_.agora(), p_.regional(), nomeLegivel(nome)),
                retirados);
        return false;
    }
    passar(EtapaArquivo::Lido, caminho);

    // The first file to publish opens the run's connection: a run that only meets files
    // being written logs in to nothing.
    if (!ftpAberto_)
        conectarFtp();
    if (!ftp_.CannotSend(*nomeTexto).isEmpty()) {
        recusar(pasta, nome,
                nomeRecusado(QStringLiteral("o servidor FTP não aceita os caracteres do nome")),
                retirados);
        return false;
    }

    sFase_ = QStringLiteral("Inserção de Registro Banco Remoto");
    const Tdmdb::TRegistro registro = dmdb_.RegistrarDocumento(dados, *nomeTexto, dados.pasta);
    try {
        publicacao_.PublicarArquivo(lido.dados, registro.arquivo, dados.ccnpj_origem,
                                    dados.demissao, dados.pasta, p_.sCNPJ);
        passar(EtapaArquivo::Publicado, caminho);
        // The row becomes visible only once its file is on the server.
        if (registro.novo) {
            sFase_ = QStringLiteral("Inserção de Registro Banco Remoto");
            dmdb_.ConfirmarRegistro();
        }
    } catch (...) {
        dmdb_.DesfazerRegistro();
        throw;
    }
    passar(EtapaArquivo::Confirmado, caminho);

    sFase_ = QStringLiteral("Move arquivo para pasta de backup");
    QString motivo;
    if (MoverParaBackup(p_.sPastaBKP, pasta, nome, dados.ccnpj_origem, dados.demissao, &motivo,
                        &lido.identidade))
        ++retirados;
    else
        registrarMovimentoFalho(nome, motivo);
    return true;
}

bool TArmazenamento::executar() {
    janela_.pararTimer();
    ListaPendente lista = Listar();
    janela_.desabilitarBotoes();
    dmdb_.ConectarBanco();
    if (lista.size() == 0) {
        janela_.habilitarTimerEBotoes();
        return false;
    }
    publicacao_.Desconectar();
    ftpAberto_ = false;

    int reconexao = 1;
    int progresso = 1;
    int retirados = 0;
    const qsizetype total = lista.size();
    for (qsizetype i = 0; i < total; ++i) {
        arquivoAtual_ = lista.caminho(i);
        dmdb_.ConectarBanco();
        janela_.selecionar(int(i));
        janela_.processarMensagens();
        if (armazenarArquivo(lista.pastas[i], lista.arquivos[i], retirados)) {
            ++reconexao;
            ++progresso;
            janela_.posicionarProgresso(progresso);
            if (reconexao == kMarcaReconexao && ftp_.Connected()) {
                ftp_.Disconnect();
                publicacao_.Conectar();
                reconexao = 1;
            }
        }
        arquivoAtual_.clear();
    }

    publicacao_.Desconectar();
    adiados_.clear(); // every file was taken up: nothing holds the others back any more
    janela_.habilitarTimerEBotoes();
    lista = Listar();
    // Another run only when this one took something out of the tree; otherwise what is
    // left waits for the timer.
    return lista.size() > 0 && retirados > 0;
}
