#pragma once

#include "FtpPublicacao.h"

#include <QList>
#include <QLocale>
#include <QString>
#include <functional>
#include <stdexcept>

class FtpClient;
class Tdmdb;

struct TParametrosVerificacao {
    QString sPastaBKP;
    QString sCNPJ;
    QString sVirgula;
    FtpSettings ftp;
    std::function<QLocale()> regional = [] { return QLocale::system(); };
    // Repair what can be repaired from the backup once the check is done.
    bool reparar = false;
};

enum class TTipoProblema {
    CopiaAusente,      // a row's remote copy does not exist
    CopiaDiferente,    // a row's remote copy is not its document's bytes
    SemRegistro,       // a backup document has no row
    SemBackup,         // a row whose document the backup does not hold
    RemotoSemRegistro, // a remote file no row names
    Ilegivel,          // a backup file that does not read as a document
};
constexpr int kTiposDeProblema = 6;

struct TProblema {
    TTipoProblema tipo;
    QString texto;          // one line: which document, what is wrong
    bool reparavel = false; // the repair may mend it from the backup's bytes
    bool reparado = false;
    QString reparo; // after a repair was tried: what it did, or why it could not
};

struct TResultadoVerificacao {
    int documentos = 0; // backup documents checked
    int emOrdem = 0;    // of those, the ones with nothing wrong
    QList<TProblema> problemas;
    int contar(TTipoProblema tipo) const;
    int reparados() const;
};

// The check could not be made: a server did not answer or refused. The message says which.
class TVerificacaoImpossivel : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

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
