#include "Publicacao.h"

#include "DadosNFe.h"
#include "FtpError.h"
#include "FtpSettings.h"
#include "NFeReader.h"

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
    : m_ftp(ftp), m_servidor(std::move(settings)), m_definirFase(std::move(setFase)) {}

void TPublicacao::Conectar() {
    m_ftp.Host = m_servidor.host;
    m_ftp.Port = m_servidor.port;
    m_ftp.Username = m_servidor.user;
    m_ftp.Password = m_servidor.password;
    m_ftp.UseTls = m_servidor.tls;
    m_ftp.CaFile = m_servidor.caFile;
    m_ftp.Connect();
}

void TPublicacao::Desconectar() {
    if (m_ftp.Connected())
        m_ftp.Disconnect();
}

void TPublicacao::garantirNivel(const QString& nome) {
    if (!FTPDirExists(nome, m_ftp)) {
        std::exception_ptr mkdFailure;
        try {
            m_ftp.MakeDir(nome);
        } catch (const FtpError&) {
            mkdFailure = std::current_exception();
        }
        if (mkdFailure) {
            // A folder that exists but is empty lists as missing and refuses MKD: entering
            // it proves it is there. Otherwise the refusal of MKD is the failure.
            if (!m_ftp.Connected())
                std::rethrow_exception(mkdFailure);
            try {
                m_ftp.ChangeDir(nome);
            } catch (const FtpError&) {
                std::rethrow_exception(mkdFailure);
            }
            return;
        }
        m_ftp.SendCmd(QStringLiteral("SITE CHMOD 771 ") + nome);
    }
    m_ftp.ChangeDir(nome);
}

bool TPublicacao::PublicarArquivo(const QByteArray& conteudo, const QString& nomeRemoto,
                                  const QString& ccnpjOrigem, const QDate& demissao,
                                  const QString& pasta, const QString& sCNPJ,
                                  const ManterCopia& manterCopia) {
    if (!m_ftp.Connected()) {
        m_definirFase(QStringLiteral("Conexão com FTP"));
        Conectar();
    }
    m_definirFase(QStringLiteral("Troca de pasta para raiz"));
    m_ftp.ChangeDir(kRaiz);
    // The document's folder, below the web root that its link names.
    const QString destino = kRaiz + pasta;
    const bool pastaExiste = FTPDirExists(destino, m_ftp);
    if (pastaExiste) {
        m_ftp.ChangeDir(destino);
    } else {
        m_definirFase(QStringLiteral("Cria Pasta <arqs>"));
        garantirNivel(QStringLiteral("arqs"));
        m_definirFase(QStringLiteral("Troca Pasta <cnpj>"));
        garantirNivel(sCNPJ);
        m_definirFase(QStringLiteral("Cria Pasta <cnpj>"));
        garantirNivel(ccnpjOrigem);
        m_definirFase(QStringLiteral("Troca Pasta <referencia>"));
        garantirNivel(yyyymm(demissao));
    }
    m_definirFase(QStringLiteral("Copia arquivo para FTP <put>"));
    // Only a folder that was there can hold a copy.
    if (manterCopia && pastaExiste) {
        const std::optional<QByteArray> copia = m_ftp.Get(nomeRemoto, kTamanhoMaximoNFe);
        if (copia && manterCopia(*copia))
            return false;
    }
    m_ftp.PutData(conteudo, nomeRemoto);
    return true;
}
