#include "Armazenamento.h"

#include "ErrorLog.h"
#include "FileMove.h"
#include "FtpClient.h"
#include "NFeReader.h"
#include "QuarvelDmo.h"

#include <QFileInfo>
#include <stdexcept>

namespace {

constexpr int kMarcaReconexao = 20; // the connection is recycled after every 19 stored files
constexpr int kSegundosEmEscrita = 60;
constexpr qsizetype kMaximoAdiados = 1000;

} // namespace

bool nomeDePastaSeguro(const QString& nome) {
    if (nome.isEmpty())
        return false;
    for (QChar c : nome) {
        const char16_t u = c.unicode();
        if (!((u >= u'0' && u <= u'9') || (u >= u'A' && u <= u'Z') || (u >= u'a' && u <= u'z')))
            return false;
    }
    return true;
}

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

void TArmazenamento::adiarArquivosComFalha(ListaPendente& lista) const {
    for (const QString& adiado : adiados_) {
        for (qsizetype i = 0; i < lista.size(); ++i) {
            if (lista.pastas[i] + lista.arquivos[i] == adiado) {
                lista.pastas.append(lista.pastas.takeAt(i));
                lista.arquivos.append(lista.arquivos.takeAt(i));
                break;
            }
        }
    }
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

bool TArmazenamento::recemModificado(const QString& caminho) const {
    const QFileInfo fi(caminho);
    if (!fi.exists())
        return false;
    return fi.lastModified().secsTo(p_.agora()) < kSegundosEmEscrita;
}

void TArmazenamento::registrarMovimentoFalho(const QString& nome, const QString& motivo) {
    janela_.registrarLinha(carimboLog(p_.agora(), p_.regional()) +
                           QStringLiteral("Erro ao mover o arquivo: ") + nome +
                           QStringLiteral(" (") + motivo + u')');
}

bool TArmazenamento::executar() {
    janela_.pararTimer();
    ListaPendente lista = janela_.listar();
    janela_.desabilitarBotoes();
    dmdb_.ConectarBanco();
    if (lista.size() == 0) {
        janela_.habilitarTimerEBotoes();
        return false;
    }
    publicacao_.Desconectar();
    sFase_ = QStringLiteral("Conexão FTP");
    if (!nomeDePastaSeguro(p_.sCNPJ))
        throw std::runtime_error(
            QStringLiteral("O valor de sCNPJ no DOC.INI (\"%1\") não é um nome de pasta válido: "
                           "use apenas letras e dígitos.")
                .arg(p_.sCNPJ)
                .toStdString());
    publicacao_.Conectar();

    int reconexao = 1;
    int progresso = 1;
    int retirados = 0;
    const QString decimal = p_.regional().decimalPoint();
    const qsizetype total = lista.size();
    for (qsizetype i = 0; i < total; ++i) {
        const QString& pasta = lista.pastas[i];
        const QString& nome = lista.arquivos[i];
        arquivoAtual_ = pasta + nome;
        dmdb_.ConectarBanco();
        janela_.selecionar(int(i));
        janela_.processarMensagens();

        sFase_ = QStringLiteral("Leitura do XML");
        TDadosNFe dados;
        try {
            dados = LerDadosNFe(pasta, nome, p_.sVirgula, decimal, p_.sCNPJ);
        } catch (...) {
            // A file an invoice system may still be writing waits for a later run.
            if (recemModificado(arquivoAtual_)) {
                arquivoAtual_.clear();
                continue;
            }
            janela_.registrarLinha(linhaArquivoIlegivel(p_.agora(), p_.regional(), nome));
            QString motivo;
            if (MoverParaErros(p_.sPastaBKP, pasta, nome, &motivo))
                ++retirados;
            else
                registrarMovimentoFalho(nome, motivo);
            arquivoAtual_.clear();
            continue;
        }

        sFase_ = QStringLiteral("Inserção de Registro Banco Remoto");
        dmdb_.RegistrarDocumento(dados, dados.arquivo, dados.pasta);
        try {
            publicacao_.PublicarArquivo(pasta, nome, dados.ccnpj_origem, dados.demissao,
                                        dados.pasta, p_.sCNPJ);
            // The row becomes visible only once its file is on the server.
            dmdb_.ConfirmarRegistro();
        } catch (...) {
            dmdb_.DesfazerRegistro();
            throw;
        }

        sFase_ = QStringLiteral("Move arquivo para pasta de backup");
        QString motivo;
        if (MoverParaBackup(p_.sPastaBKP, pasta, nome, dados.ccnpj_origem, dados.demissao, &motivo))
            ++retirados;
        else
            registrarMovimentoFalho(nome, motivo);

        ++reconexao;
        ++progresso;
        janela_.posicionarProgresso(progresso);
        if (reconexao == kMarcaReconexao && ftp_.Connected()) {
            ftp_.Disconnect();
            publicacao_.Conectar();
            reconexao = 1;
        }
        arquivoAtual_.clear();
    }

    publicacao_.Desconectar();
    adiados_.clear(); // every file was taken up: nothing holds the others back any more
    janela_.habilitarTimerEBotoes();
    lista = janela_.listar();
    // Another run only when this one took something out of the tree; otherwise what is
    // left waits for the timer.
    return lista.size() > 0 && retirados > 0;
}
