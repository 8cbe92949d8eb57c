#pragma once

#include "Busca.h"
#include "FtpPublicacao.h"

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <functional>

class FtpClient;
class Tdmdb;

// What a storage run drives in the window.
class TJanelaArmazenamento {
public:
    virtual ~TJanelaArmazenamento() = default;
    virtual void pararTimer() = 0;
    virtual void habilitarTimerEBotoes() = 0;
    virtual void desabilitarBotoes() = 0;
    // The listing: rebuilds the pending-file list the window shows and returns it.
    virtual ListaPendente listar() = 0;
    virtual void selecionar(int indice) = 0;
    // Lets the window handle every waiting message, once per file.
    virtual void processarMensagens() = 0;
    // Position of the progress bar; a position past the maximum stops at the maximum.
    virtual void posicionarProgresso(int posicao) = 0;
    virtual void registrarLinha(const QString& linha) = 0;
};

struct ParametrosArmazenamento {
    QString sPastaBKP;
    QString sCNPJ;
    QString sVirgula;
    FtpSettings ftp;
    std::function<QLocale()> regional = [] { return QLocale::system(); };
    std::function<QDateTime()> agora = [] { return QDateTime::currentDateTime(); };
};

// The storage run: every pending file read, registered, published and moved into the
// backup tree; unreadable files into Erros. Failures other than a read end the run and
// leave the current file where it is; the window's ErrorFound reports them.
class TArmazenamento {
public:
    TArmazenamento(TJanelaArmazenamento& janela, Tdmdb& dmdb, FtpClient& ftp, QString& sFase,
                   ParametrosArmazenamento parametros);

    // A press of "Armazenar" or a tick of the timer. Runs follow one another while a run
    // took files out of the tree and the listing at its end still finds some. Does nothing
    // while a run is in progress.
    void Armazenar();
    bool emExecucao() const { return emExecucao_; }

    // Puts the files at which earlier runs ended at the end of a fresh listing, the latest
    // failure last, so that documents refused on every try cannot hold back the others.
    void adiarArquivosComFalha(ListaPendente& lista) const;

    // After a failure that ended a run: the pending row rolled back, the FTP connection
    // closed. Never throws.
    void aposFalha() noexcept;

private:
    bool executar();
    bool recemModificado(const QString& caminho) const;
    void registrarMovimentoFalho(const QString& nome, const QString& motivo);

    TJanelaArmazenamento& janela_;
    Tdmdb& dmdb_;
    FtpClient& ftp_;
    QString& sFase_;
    ParametrosArmazenamento p_;
    TPublicacao publicacao_;
    bool emExecucao_ = false;
    QString arquivoAtual_; // full path of the file being stored
    QStringList adiados_;  // files at which runs ended, oldest failure first
};

// Letters and digits of ASCII only, at least one: a safe folder level.
bool nomeDePastaSeguro(const QString& nome);
