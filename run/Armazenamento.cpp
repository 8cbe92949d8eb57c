#include "Armazenamento.h"

#include "ArquivoLido.h"
#include "ErrorLog.h"
#include "EtapaArquivo.h"
#include "FileMove.h"
#include "FolderTreeLock.h"
#include "FtpClient.h"
#include "JanelaArmazenamento.h"
#include "ListaPendente.h"
#include "NFeIlegivel.h"
#include "NFeReader.h"
#include "Nomes.h"
#include "OpcoesBusca.h"
#include "ParametrosArmazenamento.h"
#include "QuarvelDmo.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <sys/stat.h>
#include <vector>

namespace {

constexpr int kMarcaReconexao = 20; // the connection is recycled after every 19 stored files
// A file modified this recently may still be being written. Only the recent past counts: a
// time further in the future is a clock that is wrong, not a writer at work.
constexpr qint64 kEmEscritaMs = 60 * 1000;
constexpr qsizetype kMaximoAdiados = 1000;
constexpr qsizetype kMaximoAvisados = 10000;

// A path for one log line: one too long to open runs to thousands of characters.
QString caminhoParaLog(const QByteArray& caminho) {
    const QString t = nomeLegivel(caminho);
    return t.size() <= 240 ? t : t.left(80) + QStringLiteral("…") + t.right(150);
}

// Why sPastaBKP cannot take the backup of the folder being stored; empty when it can. A
// backup tree inside that folder is fine: the listing leaves it out.
QString problemaDoBackup(const QString& sPastaBKP, const QString& pastaLocal) {
    if (sPastaBKP.isEmpty())
        return QStringLiteral("sPastaBKP está vazio");
    if (!QDir::isAbsolutePath(sPastaBKP))
        return QStringLiteral("sPastaBKP (%1) não é um caminho absoluto")
            .arg(nomeLegivel(sPastaBKP));
    struct stat bkp {};
    // A backup tree not made yet lies above no folder that exists.
    if (pastaLocal.isEmpty() || ::stat(QFile::encodeName(sPastaBKP).constData(), &bkp) != 0 ||
        !S_ISDIR(bkp.st_mode))
        return {};
    char* real = ::realpath(QFile::encodeName(pastaLocal).constData(), nullptr);
    if (!real)
        return {}; // nothing to list there either
    QByteArray r(real);
    ::free(real);
    // The folder and its ancestors, by device and inode: links and doubled separators alike.
    for (bool propria = true;; propria = false) {
        struct stat st {};
        if (::stat(r.isEmpty() ? "/" : r.constData(), &st) == 0 && st.st_dev == bkp.st_dev &&
            st.st_ino == bkp.st_ino) {
            if (propria)
                return QStringLiteral("sPastaBKP (%1) é a própria pasta a armazenar")
                    .arg(nomeLegivel(sPastaBKP));
            return QStringLiteral("sPastaBKP (%1) contém a pasta a armazenar (%2)")
                .arg(nomeLegivel(sPastaBKP), nomeLegivel(pastaLocal));
        }
        if (r.isEmpty() || r == "/")
            return {};
        r.truncate(r.lastIndexOf('/'));
    }
}

QByteArray caminhoReal(const QByteArray& caminho) {
    char* real = ::realpath(caminho.constData(), nullptr);
    if (!real)
        return {};
    QByteArray r(real);
    ::free(real);
    return r;
}

bool abaixoDe(const QByteArray& caminho, const QByteArray& pastaLocal) {
    return !pastaLocal.isEmpty() &&
           (caminho.startsWith(pastaLocal.endsWith('/') ? pastaLocal : pastaLocal + '/') ||
            caminho == pastaLocal);
}

// A symbolic link to a file that the listing takes up under its own name (inside the folder
// being stored, outside the backup tree, named *.xml), or that was there and is gone: an alias,
// no document of its own. Its target is stored as itself; a copy under the link's name would
// be a second backup of one invoice, and a link whose target was stored first would dangle
// there for ever.
bool aliasNaArvore(const QByteArray& caminho, const QString& raiz, const QString& sPastaBKP,
                   ino_t& link) {
    struct stat st {};
    if (::lstat(caminho.constData(), &st) != 0 || !S_ISLNK(st.st_mode))
        return false;
    link = st.st_ino;
    QByteArray alvo = caminhoReal(caminho);
    if (alvo.isEmpty()) {
        // Dangling: where it points, as written.
        QByteArray escrito(4096, '\0');
        const ssize_t n = ::readlink(caminho.constData(), escrito.data(), size_t(escrito.size()));
        if (n <= 0 || n >= escrito.size())
            return false;
        escrito.truncate(n);
        if (!escrito.startsWith('/'))
            escrito = caminhoReal(caminho.left(caminho.lastIndexOf('/') + 1)) + '/' + escrito;
        alvo = QFile::encodeName(QDir::cleanPath(QFile::decodeName(escrito)));
    } else {
        struct stat a {};
        if (::stat(alvo.constData(), &a) != 0 || !S_ISREG(a.st_mode))
            return false;
    }
    const QByteArray nome = alvo.mid(alvo.lastIndexOf('/') + 1);
    return extensaoAparada(nome) == QByteArrayLiteral(".xml") &&
           abaixoDe(alvo, caminhoReal(QFile::encodeName(raiz))) &&
           !abaixoDe(alvo, caminhoReal(QFile::encodeName(sPastaBKP)));
}

QString motivoPastaNaoLida(const TListaPendente::PastaNaoLida& n) {
    QString m = motivoDoSistema(n.erro);
    if (n.erro == ENAMETOOLONG)
        m += QStringLiteral(": %1 bytes").arg(n.pastaLocal.size());
    return m;
}

} // namespace

TArmazenamento::TArmazenamento(TJanelaArmazenamento& janela, Tdmdb& dmdb, FtpClient& ftp,
                               QString& sFase, TParametrosArmazenamento parametros)
    : m_janela(janela), m_dmdb(dmdb), m_ftp(ftp), m_sFase(sFase),
      m_parametros(std::move(parametros)),
      m_publicacao(ftp, m_parametros.ftp, [this](const QString& fase) { m_sFase = fase; }) {}

void TArmazenamento::Armazenar() {
    if (m_emExecucao)
        return;
    m_emExecucao = true;
    try {
        // A loop, not a recursion: months of chained runs must not grow the stack.
        while (executar()) {
        }
    } catch (...) {
        if (!m_arquivoAtual.isEmpty()) {
            m_adiados.removeAll(m_arquivoAtual);
            m_adiados.append(m_arquivoAtual);
            if (m_adiados.size() > kMaximoAdiados)
                m_adiados.removeFirst();
        }
        m_arquivoAtual.clear();
        m_emExecucao = false;
        throw;
    }
    m_emExecucao = false;
}

TListaPendente TArmazenamento::Listar() {
    TOpcoesBusca opcoes;
    opcoes.excluidas = {m_parametros.sPastaBKP};
    TListaPendente lista = listarArquivosXml(m_janela.pastaLocalListagem(), opcoes);
    if (!m_adiados.isEmpty()) {
        QHash<QByteArray, qsizetype> ordem;
        for (qsizetype k = 0; k < m_adiados.size(); ++k)
            ordem.insert(m_adiados[k], k);
        TListaPendente frente;
        std::vector<std::pair<qsizetype, qsizetype>> fim; // (failure order, index)
        for (qsizetype i = 0; i < lista.size(); ++i) {
            const auto it = ordem.constFind(lista.caminho(i));
            if (it == ordem.constEnd()) {
                frente.pastasLocais.append(lista.pastasLocais[i]);
                frente.arquivos.append(lista.arquivos[i]);
            } else {
                fim.emplace_back(*it, i);
            }
        }
        std::sort(fim.begin(), fim.end());
        for (const auto& [k, i] : fim) {
            frente.pastasLocais.append(lista.pastasLocais[i]);
            frente.arquivos.append(lista.arquivos[i]);
        }
        frente.naoLidas = std::move(lista.naoLidas);
        lista = std::move(frente);
    }
    // Folders the listing could not enter: said once while they stay so.
    for (auto it = m_avisados.begin(); it != m_avisados.end();) {
        const bool pastaLocal = it.key().endsWith('/');
        const bool ainda = pastaLocal && std::any_of(lista.naoLidas.cbegin(), lista.naoLidas.cend(),
                                                     [&](const TListaPendente::PastaNaoLida& n) {
                                                         return n.pastaLocal == it.key();
                                                     });
        it = pastaLocal && !ainda ? m_avisados.erase(it) : std::next(it);
    }
    for (const TListaPendente::PastaNaoLida& n : lista.naoLidas) {
        const QString motivo = motivoPastaNaoLida(n);
        avisarUmaVez(n.pastaLocal,
                     carimboLog(m_parametros.agora(), m_parametros.regional()) +
                         QStringLiteral("Erro ao listar a pasta: ") + caminhoParaLog(n.pastaLocal) +
                         QStringLiteral(" (") + motivo +
                         QStringLiteral("; seus arquivos não são armazenados)"),
                     motivo);
    }
    m_janela.mostrarLista(lista);
    return lista;
}

void TArmazenamento::avisarUmaVez(const QByteArray& caminho, const QString& linha,
                                  const QString& motivo) {
    const auto it = m_avisados.constFind(caminho);
    if (it != m_avisados.constEnd() && *it == motivo)
        return;
    if (m_avisados.size() >= kMaximoAvisados)
        m_avisados.clear(); // saying something twice beats growing for months
    m_avisados.insert(caminho, motivo);
    m_janela.registrarLinha(linha);
}

bool TArmazenamento::configuracaoValida() {
    const QString problema =
        problemaDoBackup(m_parametros.sPastaBKP, m_janela.pastaLocalListagem());
    if (problema.isEmpty()) {
        m_avisoConfiguracao.clear();
        return true;
    }
    // DOC.INI is read once: the line stands until the program starts again.
    if (problema != m_avisoConfiguracao) {
        m_avisoConfiguracao = problema;
        m_janela.registrarLinha(carimboLog(m_parametros.agora(), m_parametros.regional()) +
                                QStringLiteral("Configuração inválida: ") + problema +
                                QStringLiteral("; nenhum arquivo será armazenado até que o DOC.INI "
                                               "seja corrigido e o programa aberto de novo"));
    }
    return false;
}

void TArmazenamento::aposFalha() noexcept {
    try {
        m_dmdb.DesfazerRegistro();
    } catch (...) {
    }
    try {
        if (m_ftp.Connected())
            m_ftp.Disconnect();
    } catch (...) {
        // A connection reset while closing: it is closed all the same.
    }
}

bool TArmazenamento::emEscrita(const QByteArray& caminho) const {
    const std::optional<TIdentidadeArquivo> id = identidadeDoCaminho(caminho);
    if (!id)
        return false;
    const qint64 idadeMs = m_parametros.agora().toMSecsSinceEpoch() - id->modificacaoNs / 1000000;
    return idadeMs < kEmEscritaMs && idadeMs > -kEmEscritaMs;
}

void TArmazenamento::registrarMovimentoFalho(const QByteArray& nome, const QString& motivo) {
    m_janela.registrarLinha(carimboLog(m_parametros.agora(), m_parametros.regional()) +
                            QStringLiteral("Erro ao mover o arquivo: ") + nomeLegivel(nome) +
                            QStringLiteral(" (") + motivo + u')');
}

void TArmazenamento::passar(TEtapaArquivo etapa, const QByteArray& caminho) const {
    if (m_parametros.aoPassar)
        m_parametros.aoPassar(etapa, caminho);
}

void TArmazenamento::recusar(const QByteArray& pastaLocal, const QByteArray& nome,
                             const QString& linha, int& retirados) {
    // A file an invoice system may still be writing waits for a later run.
    if (emEscrita(pastaLocal + nome))
        return;
    m_janela.registrarLinha(linha);
    QString motivo;
    if (MoverParaErros(m_parametros.sPastaBKP, pastaLocal, nome, &motivo))
        ++retirados;
    else
        registrarMovimentoFalho(nome, motivo);
}

bool TArmazenamento::copiaPrevalece(const TDadosNFe& dados, const QByteArray& bytes,
                                    const QByteArray& copia) const {
    if (copia == bytes)
        return true; // nothing to send
    TDadosNFe publicada;
    try {
        publicada = LerDadosNFeBytes(copia, dados.arquivo, m_parametros.sVirgula,
                                     m_parametros.regional().decimalPoint(), m_parametros.sCNPJ);
    } catch (const TNFeIlegivel&) {
        return false; // a broken copy is replaced
    }
    // A copy of another document (an older version of the program could put one there) is
    // replaced, whatever it holds.
    if (chaveDeAcesso(dados.chave_doc) && publicada.chave_doc != dados.chave_doc)
        return false;
    // The most complete stays: with its protocol, else signed. Between two as complete, the
    // newest file is published.
    return completude(publicada) > completude(dados);
}

void TArmazenamento::conectarFtp() {
    m_sFase = QStringLiteral("Conexão FTP");
    if (!nomeDePastaSeguro(m_parametros.sCNPJ))
        throw std::runtime_error(
            QStringLiteral("O valor de sCNPJ no DOC.INI (\"%1\") não é um nome de pasta válido: "
                           "use apenas letras e dígitos.")
                .arg(nomeLegivel(m_parametros.sCNPJ))
                .toStdString());
    m_publicacao.Conectar();
    m_ftpAberto = true;
}

bool TArmazenamento::armazenarArquivo(const QByteArray& pastaLocal, const QByteArray& nome,
                                      int& retirados) {
    const QByteArray caminho = pastaLocal + nome;
    auto nomeRecusado = [&](const QString& porque) {
        return carimboLog(m_parametros.agora(), m_parametros.regional()) +
               QStringLiteral("Nome de arquivo impróprio para o servidor FTP: ") +
               nomeLegivel(nome) + QStringLiteral(" (") + porque + u')';
    };

    m_sFase = QStringLiteral("Leitura do XML");
    if (ino_t link = 0;
        aliasNaArvore(caminho, m_janela.pastaLocalListagem(), m_parametros.sPastaBKP, link)) {
        struct stat st {};
        if (::lstat(caminho.constData(), &st) != 0 || !S_ISLNK(st.st_mode) || st.st_ino != link)
            return false; // replaced meanwhile: the next run looks again
        if (::unlink(caminho.constData()) == 0) {
            ++retirados;
        } else {
            const int erro = errno;
            registrarMovimentoFalho(nome, QStringLiteral("o link simbólico não pôde ser apagado: ") +
                                              motivoDoSistema(erro));
        }
        return false;
    }
    const std::optional<QString> nomeTexto = nomeComoTexto(nome);
    if (!nomeTexto) {
        recusar(pastaLocal, nome, nomeRecusado(QStringLiteral("o nome não está em UTF-8")),
                retirados);
        return false;
    }
    TArquivoLido lido;
    TDadosNFe dados;
    auto linhaIlegivel = [&](const QString& motivo) {
        return linhaArquivoIlegivel(m_parametros.agora(), m_parametros.regional(),
                                    nomeLegivel(nome), motivo);
    };
    try {
        // Read once: what is published is these bytes, and only this file is moved.
        lido = LerArquivoNFe(caminho);
        dados = LerDadosNFeBytes(lido.dados, *nomeTexto, m_parametros.sVirgula,
                                 m_parametros.regional().decimalPoint(), m_parametros.sCNPJ);
    } catch (const TNFeIlegivel& e) {
        const QString motivo = e.motivo();
        switch (e.tipo) {
        case TNFeIlegivel::Tipo::Documento:
            recusar(pastaLocal, nome, linhaIlegivel(motivo), retirados);
            break;
        case TNFeIlegivel::Tipo::Inacessivel:
            // Not the document's fault: a later run takes it up.
            avisarUmaVez(caminho,
                         linhaIlegivel(motivo + QStringLiteral("; fica para a próxima execução")),
                         motivo);
            break;
        case TNFeIlegivel::Tipo::NaoArquivo:
            avisarUmaVez(caminho, linhaIlegivel(motivo + QStringLiteral("; fica onde está")),
                         motivo);
            break;
        }
        return false;
    } catch (const std::exception& e) {
        recusar(pastaLocal, nome, linhaIlegivel(QString::fromUtf8(e.what())), retirados);
        return false;
    }
    m_avisados.remove(caminho);
    passar(TEtapaArquivo::Lido, caminho);

    // The first file to publish opens the run's connection: a run that only meets files
    // being written logs in to nothing.
    if (!m_ftpAberto)
        conectarFtp();
    if (!m_ftp.CannotSend(*nomeTexto).isEmpty()) {
        recusar(pastaLocal, nome,
                nomeRecusado(QStringLiteral("o servidor FTP não aceita os caracteres do nome")),
                retirados);
        return false;
    }

    m_sFase = QStringLiteral("Inserção de Registro Banco Remoto");
    const Tdmdb::TRegistro registro = m_dmdb.RegistrarDocumento(dados, *nomeTexto, dados.pasta);
    // A document already registered has a copy on the web, which this file replaces only
    // when it is as complete.
    TPublicacao::ManterCopia manterCopia;
    if (!registro.novo)
        manterCopia = [&](const QByteArray& copia) {
            return copiaPrevalece(dados, lido.dados, copia);
        };
    try {
        if (m_publicacao.PublicarArquivo(lido.dados, registro.arquivo, dados.ccnpj_origem,
                                         dados.demissao, dados.pasta, m_parametros.sCNPJ,
                                         manterCopia))
            passar(TEtapaArquivo::Publicado, caminho);
        // The row becomes visible only once its file is on the server; a document found
        // lets its folder go.
        m_sFase = QStringLiteral("Inserção de Registro Banco Remoto");
        m_dmdb.ConfirmarRegistro();
    } catch (...) {
        m_dmdb.DesfazerRegistro();
        throw;
    }
    passar(TEtapaArquivo::Confirmado, caminho);

    m_sFase = QStringLiteral("Move arquivo para pasta de backup");
    QString motivo;
    if (MoverParaBackup(m_parametros.sPastaBKP, pastaLocal, nome, dados.ccnpj_origem,
                        dados.demissao, &motivo, &lido.identidade))
        ++retirados;
    else
        registrarMovimentoFalho(nome, motivo);
    return true;
}

bool TArmazenamento::executar() {
    m_janela.pararTimer();
    if (!configuracaoValida()) {
        Listar(); // the window still shows what waits
        m_janela.habilitarTimerEBotoes();
        return false;
    }
    // Every user of the PC may run a copy over the same folders: only one of them stores a
    // tree at a time, or both would take up the same files.
    const QString pastaArvore = m_janela.pastaLocalListagem();
    FolderTreeLock arvore;
    if (arvore.acquire(QFile::encodeName(pastaArvore)) == FolderTreeLock::Result::Busy) {
        m_janela.registrarLinha(
            carimboLog(m_parametros.agora(), m_parametros.regional()) +
            QStringLiteral("Armazenamento adiado: outra cópia do programa neste computador está "
                           "armazenando a pasta %1 (ou uma pasta dentro dela ou que a contém); "
                           "a próxima execução tenta de novo.")
                .arg(nomeLegivel(pastaArvore)));
        m_janela.habilitarTimerEBotoes();
        return false;
    }
    TListaPendente lista = Listar();
    m_janela.desabilitarBotoes();
    // A session the server dropped while the program stood idle must not fail the run.
    m_dmdb.IniciarExecucao();
    if (lista.size() == 0) {
        m_janela.habilitarTimerEBotoes();
        return false;
    }
    m_publicacao.Desconectar();
    m_ftpAberto = false;

    int reconexao = 1;
    int progresso = 1;
    int retirados = 0;
    const qsizetype total = lista.size();
    for (qsizetype i = 0; i < total; ++i) {
        m_arquivoAtual = lista.caminho(i);
        m_dmdb.ConectarBanco();
        m_janela.selecionar(int(i));
        m_janela.processarMensagens();
        if (armazenarArquivo(lista.pastasLocais[i], lista.arquivos[i], retirados)) {
            ++reconexao;
            ++progresso;
            m_janela.posicionarProgresso(progresso);
            if (reconexao == kMarcaReconexao && m_ftp.Connected()) {
                m_ftp.Disconnect();
                m_publicacao.Conectar();
                reconexao = 1;
            }
        }
        m_arquivoAtual.clear();
    }

    m_publicacao.Desconectar();
    m_adiados.clear(); // every file was taken up: nothing holds the others back any more
    m_janela.habilitarTimerEBotoes();
    lista = Listar();
    // Another run only when this one took something out of the tree; otherwise what is
    // left waits for the timer.
    return lista.size() > 0 && retirados > 0;
}
