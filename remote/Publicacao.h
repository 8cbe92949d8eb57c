#pragma once

#include "FtpClient.h"
#include "FtpSettings.h"
#include "QuarvelConstants.h"

#include <QDate>
#include <QString>
#include <functional>

// Whether a listing of DirName has at least one line. A server that refuses the listing of
// a missing path with 550 answers "missing" too; every other failure is passed on.
bool FTPDirExists(const QString& DirName, FtpClient& IdFTPComp);

// Publishes files below /public_html/arqs/<account>/<issuer>/<yyyymm>/, setting the phase
// text before each step so that a failure is logged under the step it happened in.
class TPublicacao {
public:
    TPublicacao(FtpClient& ftp, FtpSettings settings, std::function<void(const QString&)> setFase);

    // Assigns host, user, password and the TLS settings, then connects and logs in.
    void Conectar();
    // Closes the connection when it is open.
    void Desconectar();

    // Whether the copy already on the server stays, given its bytes.
    using ManterCopia = std::function<bool(const QByteArray& copiaRemota)>;

    // Uploads `conteudo`, the bytes read from the document's file, as `nomeRemoto` into its
    // folder pasta below /public_html, making the folders on the way. With manterCopia,
    // a file nomeRemoto already in the folder is read first (up to kTamanhoMaximoNFe bytes
    // and one more) and stays when manterCopia says so. Returns whether it uploaded.
    bool PublicarArquivo(const QByteArray& conteudo, const QString& nomeRemoto,
                         const QString& ccnpjOrigem, const QDate& demissao, const QString& pasta,
                         const QString& sCNPJ, const ManterCopia& manterCopia = {});

private:
    void garantirNivel(const QString& nome);

    FtpClient& m_ftp;
    FtpSettings m_servidor;
    std::function<void(const QString&)> m_definirFase;
};
