#pragma once

#include "Busca.h"
#include "DadosNFe.h"
#include "EtapaArquivo.h"
#include "FtpSettings.h"
#include "JanelaArmazenamento.h"
#include "ListaPendente.h"
#include "ParametrosArmazenamento.h"
#include "Publicacao.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QLocale>
#include <QString>
#include <functional>

class FtpClient;
class Tdmdb;

// The storage run: every pending file read once, registered once, its bytes published and
// the file moved into the backup tree when it is still the file that was read; unreadable
// files into Erros. Failures other than a read end the run and leave the current file where
// it is; the window's ErrorFound reports them.
class TArmazenamento {
public:
    TArmazenamento(TJanelaArmazenamento& janela, Tdmdb& dmdb, FtpClient& ftp, QString& sFase,
                   TParametrosArmazenamento parametros);

    // A press of "Armazenar" or a tick of the timer. Runs follow one another while a run
    // took files out of the tree and the listing at its end still finds some. Does nothing
    // while a run is in progress.
    void Armazenar();
    bool emExecucao() const { return m_emExecucao; }

    // The listing: the XML files below the window's folder, the backup tree left out, and the
    // files at which earlier runs ended put last (the latest failure last), so that documents
    // refused on every try cannot hold back the others. The window shows it.
    TListaPendente Listar();

    // After a failure that ended a run: the pending row rolled back, the FTP connection
    // closed. Never throws.
    void aposFalha() noexcept;

private:
    bool executar();
    // True when the file went through publication (the counters advance), false when it was
    // refused or left for a later run.
    bool armazenarArquivo(const QByteArray& pastaLocal, const QByteArray& nome, int& retirados);
    // Whether the copy on the web of a registered document stays instead of this file.
    bool copiaPrevalece(const TDadosNFe& dados, const QByteArray& bytes,
                        const QByteArray& copia) const;
    void conectarFtp();
    // The file could not be taken up: logged, moved to Erros unless it is still being written.
    void recusar(const QByteArray& pastaLocal, const QByteArray& nome, const QString& linha,
                 int& retirados);
    bool emEscrita(const QByteArray& caminho) const;
    // A file left where it is (a FIFO, a link without target, no permission yet, ...): its
    // line once while the program runs, again only when the reason changes.
    void avisarUmaVez(const QByteArray& caminho, const QString& linha, const QString& motivo);
    // An sPastaBKP that would misplace files ends the run before its first file.
    bool configuracaoValida();
    void registrarMovimentoFalho(const QByteArray& nome, const QString& motivo);
    void passar(TEtapaArquivo etapa, const QByteArray& caminho) const;

    TJanelaArmazenamento& m_janela;
    Tdmdb& m_dmdb;
    FtpClient& m_ftp;
    QString& m_sFase;
    TParametrosArmazenamento m_parametros;
    TPublicacao m_publicacao;
    bool m_emExecucao = false;
    bool m_ftpAberto = false;    // this run connected to the FTP server once
    QByteArray m_arquivoAtual;   // native path of the file being stored
    QList<QByteArray> m_adiados; // files at which runs ended, oldest failure first
    // What was said about entries left where they are, by path: lives as long as the program.
    QHash<QByteArray, QString> m_avisados;
    QString m_avisoConfiguracao; // the invalid setting last logged
};
