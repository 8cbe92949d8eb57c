#include "Verificacao.h"

#include "DbError.h"
#include "FtpClient.h"
#include "FtpError.h"
#include "NFeIlegivel.h"
#include "NFeReader.h"
#include "Nomes.h"
#include "ParametrosVerificacao.h"
#include "Problema.h"
#include "QuarvelDmo.h"
#include "ResultadoVerificacao.h"
#include "TipoProblema.h"
#include "VerificacaoImpossivel.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QSet>
#include <algorithm>
#include <map>
#include <optional>
#include <sys/stat.h>
#include <vector>

namespace {

const QString kRaiz = QStringLiteral("/public_html");

bool pastaLocalDeMes(const QString& nome) {
    if (nome.size() != 6)
        return false;
    for (QChar c : nome)
        if (c < u'0' || c > u'9')
            return false;
    return true;
}

qint64 modificacaoNs(const QByteArray& caminho) {
    struct stat st {};
    if (::stat(caminho.constData(), &st) != 0)
        return 0;
    return qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// A remote copy, at most `limite` bytes of it; nothing when it is missing. *maior: it had more.
std::optional<QByteArray> baixar(FtpClient& ftp, const QString& caminho, qint64 limite,
                                 bool* maior) {
    std::optional<QByteArray> copia = ftp.Get(caminho, qsizetype(limite));
    *maior = copia && copia->size() > limite;
    if (*maior)
        copia->truncate(qsizetype(limite));
    return copia;
}

} // namespace

int TResultadoVerificacao::contar(TTipoProblema tipo) const {
    return int(std::count_if(problemas.begin(), problemas.end(),
                             [tipo](const TProblema& p) { return p.tipo == tipo; }));
}

int TResultadoVerificacao::reparados() const {
    return int(std::count_if(problemas.begin(), problemas.end(),
                             [](const TProblema& p) { return p.reparado; }));
}

struct TVerificacao::Estado {
    struct Documento {
        QString relativo; // <issuer>/<yyyymm>/<name>, as the lines name it
        QString nome;
        QByteArray caminho;
        qint64 tamanho = 0; // bytes; read again where they are compared or published
        // Of its fields only where it goes; the rest is read again to register it. A large
        // account is held in a few hundred bytes per document.
        QString pasta;
        QString ccnpjOrigem;
        QDate demissao;
        qint64 modificacao = 0;
        std::optional<Tdmdb::TLinha> linha;
        // Only the document being compared or published is held in memory.
        QByteArray bytes() const { return LerArquivoNFe(caminho).dados; }
    };
    struct PastaRemota {
        bool existe = false;
        QHash<QString, qint64> arquivos; // name: size, -1 when the listing gave none
    };
    // What the repair is to do for one problem.
    // A remote copy as the check saw it.
    struct Vista {
        bool existe = false;
        qint64 limite = 0;   // bytes taken of it
        bool maior = false;  // it had more
        QByteArray resumo;   // SHA-256 of the bytes taken; empty when none were
        qint64 tamanho = -1; // as listed
    };
    struct Tarefa {
        qsizetype problema;
        const Documento* documento;
        std::optional<Tdmdb::TLinha> linha; // none: register the document first
        Vista vista;
    };

    TResultadoVerificacao r;
    std::vector<Documento> documentos;
    std::vector<Tdmdb::TLinha> linhas;
    std::map<QString, PastaRemota> pastas; // looked at, by pasta
    std::vector<Tarefa> tarefas;
    int feitos = 0;
    int total = 0;
};

TVerificacao::TVerificacao(Tdmdb& dmdb, FtpClient& ftp, TParametrosVerificacao parametros)
    : m_dmdb(dmdb), m_ftp(ftp), m_parametros(std::move(parametros)),
      m_publicacao(ftp, m_parametros.ftp, [this](const QString& fase) { m_fase = fase; }) {}

TResultadoVerificacao TVerificacao::Verificar() {
    Estado e;
    try {
        verificar(e);
        if (m_parametros.reparar)
            reparar(e);
    } catch (const TVerificacaoImpossivel&) {
        m_dmdb.DesfazerRegistro();
        try {
            m_publicacao.Desconectar();
        } catch (...) {
        }
        throw;
    } catch (const FtpError& x) {
        m_dmdb.DesfazerRegistro();
        try {
            m_publicacao.Desconectar();
        } catch (...) {
        }
        throw TVerificacaoImpossivel(QStringLiteral("servidor FTP (%1): %2")
                                         .arg(m_fase, QString::fromUtf8(x.what()).trimmed())
                                         .toStdString());
    } catch (const DbError& x) {
        m_dmdb.DesfazerRegistro();
        try {
            m_publicacao.Desconectar();
        } catch (...) {
        }
        throw TVerificacaoImpossivel(
            QStringLiteral("banco de dados: %1").arg(QString::fromUtf8(x.what())).toStdString());
    }
    try {
        m_publicacao.Desconectar();
    } catch (...) {
        // Everything is known already; a reset while saying goodbye changes nothing.
    }
    return e.r;
}

void TVerificacao::verificar(Estado& e) {
    // The backup tree: <issuer>/<yyyymm>/*.xml, in name order.
    const QDir bkp(m_parametros.sPastaBKP);
    if (!bkp.exists())
        throw TVerificacaoImpossivel(QStringLiteral("a pasta de backup %1 não existe")
                                         .arg(m_parametros.sPastaBKP)
                                         .toStdString());
    const QDir::Filters pastas = QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks;
    for (const QString& emitente : bkp.entryList(pastas, QDir::Name)) {
        if (emitente == QLatin1String("Erros"))
            continue;
        const QDir dirEmitente(bkp.filePath(emitente));
        for (const QString& mes : dirEmitente.entryList(pastas, QDir::Name)) {
            if (!pastaLocalDeMes(mes))
                continue;
            const QDir dirMes(dirEmitente.filePath(mes));
            for (const QString& nome : dirMes.entryList(QDir::Files, QDir::Name)) {
                if (!nome.endsWith(QLatin1String(".xml")))
                    continue;
                Estado::Documento d;
                d.relativo = emitente + u'/' + mes + u'/' + nome;
                d.nome = nome;
                d.caminho = QFile::encodeName(dirMes.filePath(nome));
                e.documentos.push_back(std::move(d));
            }
        }
    }

    e.linhas = m_dmdb.LinhasDaConta(m_parametros.sCNPJ);
    e.total = int(e.documentos.size() + e.linhas.size());
    auto progredir = [&] {
        ++e.feitos;
        if (aoProgredir)
            aoProgredir(e.feitos, e.total);
    };
    auto problema = [&](TTipoProblema tipo, const QString& texto, bool reparavel) {
        e.r.problemas.append({tipo, texto, reparavel, false, {}});
        if (aoEncontrar)
            aoEncontrar(e.r.problemas.last());
        return e.r.problemas.size() - 1;
    };

    // Each document read as a storage run reads it, and its row found as the registry
    // recognises it.
    const QString pontoDecimal = m_parametros.regional().decimalPoint();
    std::vector<Estado::Documento*> legiveis;
    for (Estado::Documento& d : e.documentos) {
        ++e.r.documentos;
        TDadosNFe dados;
        try {
            const QByteArray bytes = LerArquivoNFe(d.caminho).dados;
            d.tamanho = bytes.size();
            dados = LerDadosNFeBytes(bytes, d.nome, m_parametros.sVirgula, pontoDecimal,
                                     m_parametros.sCNPJ);
        } catch (const TNFeIlegivel&) {
            problema(TTipoProblema::Ilegivel,
                     QStringLiteral("%1: o arquivo do backup não pode ser lido como NF-e")
                         .arg(d.relativo),
                     false);
            progredir();
            continue;
        }
        d.pasta = dados.pasta;
        d.ccnpjOrigem = dados.ccnpj_origem;
        d.demissao = dados.demissao;
        if (const auto doc = m_dmdb.LocalizarDocumento(dados, dados.pasta))
            d.linha = Tdmdb::TLinha{doc->id, doc->arquivo, dados.pasta};
        d.modificacao = modificacaoNs(d.caminho);
        legiveis.push_back(&d);
        progredir();
    }

    auto pastaRemota = [&](const QString& pasta) -> Estado::PastaRemota& {
        auto it = e.pastas.find(pasta);
        if (it != e.pastas.end())
            return it->second;
        if (!m_ftp.Connected()) {
            m_fase = QStringLiteral("Conexão FTP");
            m_publicacao.Conectar();
        }
        Estado::PastaRemota pr;
        m_fase = QStringLiteral("Listagem de ") + kRaiz + pasta;
        try {
            m_ftp.ChangeDir(kRaiz + pasta);
            pr.existe = true;
        } catch (const FtpError& x) {
            if (x.code() != 550)
                throw;
        }
        if (pr.existe) {
            if (const auto entradas = m_ftp.ListEntries(QString())) {
                for (const FtpClient::Entry& en : *entradas)
                    if (en.type.isEmpty() || en.type == QLatin1String("file"))
                        pr.arquivos.insert(en.name, en.size);
            } else {
                for (QString nome : m_ftp.List(QString())) {
                    nome = nome.mid(nome.lastIndexOf(u'/') + 1);
                    if (!nome.isEmpty() && nome != QLatin1String(".") &&
                        nome != QLatin1String(".."))
                        pr.arquivos.insert(nome, -1);
                }
            }
        }
        return e.pastas.emplace(pasta, std::move(pr)).first->second;
    };
    auto remoto = [](const Tdmdb::TLinha& l) { return kRaiz + l.pasta + u'/' + l.arquivo; };

    // Each row with its documents (several backup files may be one document: a file
    // rewritten and stored again): its copy must be one of them, byte for byte.
    std::map<qulonglong, std::vector<Estado::Documento*>> porLinha;
    for (Estado::Documento* d : legiveis)
        if (d->linha)
            porLinha[d->linha->id].push_back(d);
    QSet<qulonglong> vistas;
    for (Estado::Documento* d : legiveis) {
        if (!d->linha) {
            const qsizetype k = problema(
                TTipoProblema::SemRegistro,
                QStringLiteral("%1: o documento não tem registro na tabela docs").arg(d->relativo),
                true);
            e.tarefas.push_back({k, d, std::nullopt, {}});
            pastaRemota(d->pasta);
            continue;
        }
        if (vistas.contains(d->linha->id))
            continue;
        vistas.insert(d->linha->id);
        const Tdmdb::TLinha& linha = *d->linha;
        const std::vector<Estado::Documento*>& grupo = porLinha[linha.id];
        // The newest is what the repair publishes.
        Estado::Documento* novo = *std::max_element(
            grupo.begin(), grupo.end(), [](const Estado::Documento* a, const Estado::Documento* b) {
                return a->modificacao < b->modificacao ||
                       (a->modificacao == b->modificacao && a->relativo < b->relativo);
            });
        const Estado::PastaRemota& pr = pastaRemota(linha.pasta);
        const auto it = pr.arquivos.constFind(linha.arquivo);
        bool ausente = it == pr.arquivos.constEnd();
        bool igual = false;
        Estado::Vista vista;
        vista.existe = !ausente;
        vista.tamanho = ausente ? -1 : *it;
        if (!ausente) {
            qint64 maior = 0;
            bool tamanhoPossivel = *it < 0;
            for (const Estado::Documento* g : grupo) {
                maior = qMax(maior, g->tamanho);
                tamanhoPossivel = tamanhoPossivel || *it == g->tamanho;
            }
            if (tamanhoPossivel) {
                m_fase = QStringLiteral("Leitura de ") + remoto(linha);
                bool maiorQueTodos = false;
                const std::optional<QByteArray> copia =
                    baixar(m_ftp, remoto(linha), maior, &maiorQueTodos);
                if (copia) {
                    vista.limite = maior;
                    vista.maior = maiorQueTodos;
                    vista.resumo = QCryptographicHash::hash(*copia, QCryptographicHash::Sha256);
                    for (const Estado::Documento* g : grupo)
                        igual = igual || (!maiorQueTodos && copia->size() == g->tamanho &&
                                          *copia == g->bytes());
                } else {
                    // Gone since the listing.
                    ausente = true;
                    vista = {};
                }
            }
        }
        if (ausente) {
            const qsizetype k = problema(TTipoProblema::CopiaAusente,
                                         QStringLiteral("%1: a cópia remota %2 não existe")
                                             .arg(novo->relativo, remoto(linha)),
                                         true);
            e.tarefas.push_back({k, novo, linha, vista});
        } else if (!igual) {
            const qsizetype k =
                problema(TTipoProblema::CopiaDiferente,
                         QStringLiteral("%1: a cópia remota %2 difere do arquivo do backup")
                             .arg(novo->relativo, remoto(linha)),
                         true);
            e.tarefas.push_back({k, novo, linha, vista});
        } else {
            e.r.emOrdem += int(grupo.size());
        }
        progredir();
    }

    // Rows whose document the backup does not hold.
    for (const Tdmdb::TLinha& linha : e.linhas) {
        if (vistas.contains(linha.id))
            continue;
        const Estado::PastaRemota& pr = pastaRemota(linha.pasta);
        const bool temCopia = pr.arquivos.contains(linha.arquivo);
        problema(
            TTipoProblema::SemBackup,
            QStringLiteral("%1: o registro %2 não tem o seu documento no backup%3")
                .arg(remoto(linha))
                .arg(linha.id)
                .arg(temCopia ? QString() : QStringLiteral(", e a cópia remota também não existe")),
            false);
        progredir();
    }

    // Files of the month folders looked at that no row names. The name of a backup document
    // without a row is its own problem already.
    QHash<QString, QSet<QString>> nomeados;
    for (const Tdmdb::TLinha& linha : e.linhas)
        nomeados[linha.pasta].insert(linha.arquivo);
    for (const Estado::Documento* d : legiveis)
        if (!d->linha)
            nomeados[d->pasta].insert(d->nome);
    for (const auto& [pasta, pr] : e.pastas) {
        QStringList nomes = pr.arquivos.keys();
        nomes.sort();
        for (const QString& nome : nomes)
            if (!nomeados.value(pasta).contains(nome))
                problema(TTipoProblema::RemotoSemRegistro,
                         QStringLiteral("%1: arquivo remoto sem registro na tabela docs")
                             .arg(kRaiz + pasta + u'/' + nome),
                         false);
    }
}

void TVerificacao::reparar(Estado& e) {
    // Copies of rows first; then documents to register, the newest version of a document
    // first, should several be one document.
    std::stable_sort(e.tarefas.begin(), e.tarefas.end(),
                     [](const Estado::Tarefa& a, const Estado::Tarefa& b) {
                         if (bool(a.linha) != bool(b.linha))
                             return bool(a.linha);
                         return !a.linha && a.documento->modificacao > b.documento->modificacao;
                     });
    auto copiaRemota = [](const QString& pasta, const QString& arquivo) {
        return kRaiz + pasta + u'/' + arquivo;
    };
    auto publicar = [&](const Estado::Documento& d, const QString& pasta, const QString& arquivo) {
        const QByteArray bytes = d.bytes();
        m_publicacao.PublicarArquivo(bytes, arquivo, d.ccnpjOrigem, d.demissao, pasta,
                                     m_parametros.sCNPJ);
        // What the server holds now is read back, never assumed.
        m_fase = QStringLiteral("Leitura de ") + copiaRemota(pasta, arquivo);
        bool maior = false;
        const std::optional<QByteArray> copia =
            baixar(m_ftp, copiaRemota(pasta, arquivo), bytes.size(), &maior);
        e.pastas[pasta].arquivos.insert(arquivo, bytes.size());
        return copia && !maior && *copia == bytes;
    };
    // Whether the copy is still what the check saw.
    auto mudou = [&](const Estado::Tarefa& t) {
        const QString caminho = copiaRemota(t.linha->pasta, t.linha->arquivo);
        const Estado::Vista& v = t.vista;
        m_fase = QStringLiteral("Leitura de ") + caminho;
        bool maior = false;
        const std::optional<QByteArray> copia = baixar(
            m_ftp, caminho, v.resumo.isEmpty() ? qMax<qint64>(v.tamanho, 0) : v.limite, &maior);
        if (!copia)
            return v.existe;
        if (!v.existe)
            return true;
        if (v.resumo.isEmpty())
            return maior || copia->size() != v.tamanho;
        return maior != v.maior ||
               QCryptographicHash::hash(*copia, QCryptographicHash::Sha256) != v.resumo;
    };
    for (const Estado::Tarefa& t : e.tarefas) {
        TProblema& p = e.r.problemas[t.problema];
        const Estado::Documento& d = *t.documento;
        if (!m_ftp.Connected()) {
            m_fase = QStringLiteral("Conexão FTP");
            m_publicacao.Conectar();
        }
        if (t.linha && mudou(t)) {
            // The copy in the tray may have stored the document anew meanwhile.
            p.reparo = QStringLiteral("nada alterado: a cópia remota mudou desde a verificação");
        } else if (t.linha) {
            p.reparado = publicar(d, t.linha->pasta, t.linha->arquivo);
            p.reparo = p.reparado ? QStringLiteral("cópia remota publicada de novo")
                                  : QStringLiteral("a cópia publicada ainda difere do backup");
        } else {
            m_fase = QStringLiteral("Inserção de Registro Banco Remoto");
            const TDadosNFe dados =
                LerDadosNFeBytes(d.bytes(), d.nome, m_parametros.sVirgula,
                                 m_parametros.regional().decimalPoint(), m_parametros.sCNPJ);
            const Tdmdb::TRegistro reg = m_dmdb.RegistrarDocumento(dados, d.nome, dados.pasta);
            const QString pasta = dados.pasta;
            const QString caminho = copiaRemota(pasta, reg.arquivo);
            const auto& arquivos = e.pastas[pasta].arquivos;
            const auto it = arquivos.constFind(reg.arquivo);
            bool existe = it != arquivos.constEnd();
            bool igual = false;
            if (existe && (*it < 0 || *it == d.tamanho)) {
                m_fase = QStringLiteral("Leitura de ") + caminho;
                bool maior = false;
                const std::optional<QByteArray> copia = baixar(m_ftp, caminho, d.tamanho, &maior);
                existe = copia.has_value();
                igual = copia && !maior && *copia == d.bytes();
            }
            if (existe && !igual) {
                // A file of that name that is not this document: not ours to replace.
                m_dmdb.DesfazerRegistro();
                p.reparo = QStringLiteral("nada alterado: o arquivo remoto %1 existe com outro "
                                          "conteúdo")
                               .arg(caminho);
            } else if (!existe && !publicar(d, pasta, reg.arquivo)) {
                m_dmdb.DesfazerRegistro();
                p.reparo = QStringLiteral("não registrado: a cópia publicada difere do backup");
            } else {
                if (reg.novo) {
                    m_fase = QStringLiteral("Inserção de Registro Banco Remoto");
                    m_dmdb.ConfirmarRegistro();
                }
                p.reparado = true;
                p.reparo = igual ? QStringLiteral("registrado; a cópia remota %1 já era o "
                                                  "documento")
                                       .arg(caminho)
                                 : QStringLiteral("registrado e publicado como %1").arg(caminho);
            }
        }
        if (aoReparar)
            aoReparar(p);
    }
}
