#include "FtpPublicacao.h"

#include "NFeReader.h"
#include "TDadosNFe.h"

#include <exception>

namespace {
const QString kRaiz = QStringLiteral("/public_html");
}

bool FTPDirExists(const QString& DirName, FtpClient& IdFTPComp) {
    try {
        return !IdFTPComp.List(DirName).isEmpty();
    } catch (const FtpError& e) {
        // Servers differ on a missing path: 450, an empty listing, or 550.
        if (e.code() == 550)
            return false;
        throw;
    }
}

TPublicacao::TPublicacao(FtpClient& ftp, FtpSettings settings,
                         std::function<void(const QString&)> setFase)
    : ftp_(ftp), settings_(std::move(settings)), setFase_(std::move(setFase)) {}

void TPublicacao::Conectar() {
    ftp_.Host = settings_.host;
    ftp_.Port = settings_.port;
    ftp_.Username = settings_.user;
    ftp_.Password = settings_.password;
    ftp_.UseTls = settings_.tls;
    ftp_.CaFile = settings_.caFile;
    ftp_.Connect();
}

void TPublicacao::Desconectar() {
    if (ftp_.Connected())
        ftp_.Disconnect();
}

void TPublicacao::garantirNivel(const QString& nome) {
    if (!FTPDirExists(nome, ftp_)) {
        std::exception_ptr mkdFailure;
        try {
            ftp_.MakeDir(nome);
        } catch (const FtpError&) {
            mkdFailure = std::current_exception();
        }
        if (mkdFailure) {
            // A folder that exists but is empty lists as missing and refuses MKD: entering
            // it proves it is there. Otherwise the refusal of MKD is the failure.
            if (!ftp_.Connected())
                std::rethrow_exception(mkdFailure);
            try {
                ftp_.ChangeDir(nome);
            } catch (const FtpError&) {
                std::rethrow_exception(mkdFailure);
            }
            return;
        }
        ftp_.SendCmd(QStringLiteral("SITE CHMOD 771 ") + nome);
    }
    ftp_.ChangeDir(nome);
}

bool TPublicacao::PublicarArquivo(const QByteArray& conteudo, const QString& nomeRemoto,
                                  const QString& ccnpjOrigem, const QDate& demissao,
                                  const QString& pastaRemota, const QString& sCNPJ,
                                  const ManterCopia& manterCopia) {
    if (!ftp_.Connected()) {
        setFase_(QStringLiteral("Conexão com FTP"));
        Conectar();
    }
    setFase_(QStringLiteral("Troca de pasta para raiz"));
    ftp_.ChangeDir(kRaiz);
    // The document's folder, below the web root that its link names.
    const QString destino = kRaiz + pastaRemota;
    const bool pastaExiste = FTPDirExists(destino, ftp_);
    if (pastaExiste) {
        ftp_.ChangeDir(destino);
    } else {
        setFase_(QStringLiteral("Cria Pasta <arqs>"));
        garantirNivel(QStringLiteral("arqs"));
        setFase_(QStringLiteral("Troca Pasta <cnpj>"));
        garantirNivel(sCNPJ);
        setFase_(QStringLiteral("Cria Pasta <cnpj>"));
        garantirNivel(ccnpjOrigem);
        setFase_(QStringLiteral("Troca Pasta <referencia>"));
        garantirNivel(yyyymm(demissao));
    }
    setFase_(QStringLiteral("Copia arquivo para FTP <put>"));
    // Only a folder that was there can hold a copy.
    if (manterCopia && pastaExiste) {
        const std::optional<QByteArray> copia = ftp_.Get(nomeRemoto, kTamanhoMaximoNFe);
        if (copia && manterCopia(*copia))
            return false;
    }
    ftp_.PutData(conteudo, nomeRemoto);
    return true;
}
