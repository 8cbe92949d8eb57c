#pragma once

#include "FtpSettings.h"
#include "ParametrosVerificacao.h"
#include "Problema.h"
#include "Publicacao.h"
#include "ResultadoVerificacao.h"

#include <QList>
#include <QLocale>
#include <QString>
#include <functional>
#include <stdexcept>

class FtpClient;
class Tdmdb;

// The check of everything an account published: every document of the backup tree
// (<sPastaBKP>/<issuer>/<yyyymm>/, Erros left out) against its docs row, found as the
// registry recognises a document, and against the row's remote copy byte for byte; every row
// of the account against its remote copy and its document in the backup; every file of the
// month folders looked at against the rows. The repair re-publishes a missing or different
// remote copy from the backup's bytes, as a storage run publishes, and registers a backup
// document without a row as a storage run registers it; it never deletes anything and
// overwrites only a copy that is a row's own and differs from its document.
//
// Per month folder one listing (MLSD, with the sizes, where the server offers it, else
// NLST): a copy missing or of another size needs no download. Every copy that may be right
// is downloaded (RETR, into memory) and compared.
class TVerificacao {
public:
    TVerificacao(Tdmdb& dmdb, FtpClient& ftp, TParametrosVerificacao parametros);

    // Throws TVerificacaoImpossivel when a server fails it; what was repaired stays.
    TResultadoVerificacao Verificar();

    // Each problem as it is found, and each repair tried.
    std::function<void(const TProblema&)> aoEncontrar;
    std::function<void(const TProblema&)> aoReparar;
    // Items looked at (backup documents, then rows), of how many.
    std::function<void(int feitos, int total)> aoProgredir;

private:
    struct Estado;
    void verificar(Estado& e);
    void reparar(Estado& e);

    Tdmdb& m_dmdb;
    FtpClient& m_ftp;
    TParametrosVerificacao m_parametros;
    TPublicacao m_publicacao;
    QString m_fase;
};
