#include "FileMove.h"

#include "DadosNFe.h"
#include "Descritor.h"
#include "Nomes.h"

#include <QFile>
#include <QRandomGenerator>

#include <memory>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool semRenameExclusivo = false;
std::function<void()> ganchoCopiaColocada;

// More than enough for any real collision count; bounds the loop on a broken folder.
constexpr int kMaxNomes = 10000;

QString erroSistema(int err) { return QString::fromLocal8Bit(std::strerror(err)); }

bool falhar(QString* motivo, const QString& why) {
    if (motivo)
        *motivo = why;
    return false;
}

QByteArray pastaLocalDe(const QByteArray& path) { return path.left(path.lastIndexOf('/') + 1); }

QByteArray nomeAlternativo(const QByteArray& to, int k) {
    const QByteArray pastaLocal = pastaLocalDe(to);
    return pastaLocal + nomeNumerado(to.mid(pastaLocal.size()), k);
}

void sincronizarPastaLocal(const QByteArray& pastaLocal) {
    const TDescritor fd(::open(pastaLocal.isEmpty() ? "." : pastaLocal.constData(),
                               O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valido())
        ::fsync(fd.get()); // best effort: some file systems refuse fsync on a folder
}

// mkdir -p on a native path; false with errno set when a level cannot be made.
bool criarPastasLocais(const QByteArray& pastaLocal) {
    for (qsizetype i = 1; i <= pastaLocal.size(); ++i) {
        if (i < pastaLocal.size() && pastaLocal[i] != '/')
            continue;
        const QByteArray nivel = pastaLocal.left(i);
        if (::mkdir(nivel.constData(), 0777) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st {};
    if (::stat(pastaLocal.constData(), &st) != 0)
        return false;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

// A file of ours that is removed again unless kept.
class TArquivoTemporario {
public:
    TArquivoTemporario() = default;
    explicit TArquivoTemporario(QByteArray caminho) : m_caminho(std::move(caminho)) {}
    ~TArquivoTemporario() { remover(); }
    TArquivoTemporario(const TArquivoTemporario&) = delete;
    TArquivoTemporario& operator=(const TArquivoTemporario&) = delete;
    TArquivoTemporario& operator=(TArquivoTemporario&& o) noexcept {
        remover();
        m_caminho = std::exchange(o.m_caminho, {});
        return *this;
    }

    const QByteArray& caminho() const { return m_caminho; }
    // It now lives under another name, or is no longer ours to remove.
    void largar() { m_caminho.clear(); }
    void trocarPara(QByteArray caminho) { m_caminho = std::move(caminho); }
    void remover() noexcept {
        if (!m_caminho.isEmpty())
            ::unlink(m_caminho.constData());
        m_caminho.clear();
    }

private:
    QByteArray m_caminho;
};

// Places `from` at exactly `to` unless something already has that name. 0 or an errno.
int colocar(const QByteArray& from, const QByteArray& to) {
    if (!semRenameExclusivo) {
        if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) ==
            0)
            return 0;
        if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
            return errno;
    }
    // No atomic no-replace rename here: claim the name with an exclusive create, then rename
    // over that empty claim, which is ours alone.
    {
        const TDescritor fd(::open(to.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (!fd.valido())
            return errno;
    }
    TArquivoTemporario reserva(to);
    if (::rename(from.constData(), to.constData()) != 0)
        return errno;
    reserva.largar();
    return 0;
}

// Places `from` at `to` or at the first free alternative name; `placed` receives the name.
int colocarComNomeLivre(const QByteArray& from, const QByteArray& to, QByteArray* placed) {
    for (int k = 1; k <= kMaxNomes; ++k) {
        const QByteArray alvo = nomeAlternativo(to, k);
        const int e = colocar(from, alvo);
        if (e == 0) {
            *placed = alvo;
            return 0;
        }
        if (e != EEXIST)
            return e;
    }
    return EEXIST;
}

bool escreverTudo(int fd, const char* p, size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Copies `in` into a new temporary file of `pastaLocal`, flushed to disk; 0 or an errno.
int copiarParaTemporario(int in, const struct stat& st, const QByteArray& pastaLocal,
                         TArquivoTemporario& tmp) {
    TDescritor out;
    for (int tentativa = 0; tentativa < 100 && !out.valido(); ++tentativa) {
        // Not *.xml, so that a listing never takes a leftover for a document.
        const QByteArray nome = pastaLocal + ".quarvel-" +
                                QByteArray::number(QRandomGenerator::global()->generate64(), 16) +
                                ".tmp";
        out = TDescritor(::open(nome.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (out.valido())
            tmp = TArquivoTemporario(nome);
        else if (errno != EEXIST)
            return errno;
    }
    if (!out.valido())
        return EEXIST;
    static constexpr size_t kBloco = 64 * 1024;
    std::unique_ptr<char[]> buf(new char[kBloco]);
    for (;;) {
        const ssize_t r = ::read(in, buf.get(), kBloco);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return errno;
        if (r == 0)
            break;
        if (!escreverTudo(out.get(), buf.get(), static_cast<size_t>(r)))
            return errno;
    }
    // Keep what a move keeps: permissions and times.
    ::fchmod(out.get(), st.st_mode & 0777);
    const struct timespec tempos[2] = {st.st_atim, st.st_mtim};
    ::futimens(out.get(), tempos);
    if (::fsync(out.get()) != 0)
        return errno;
    if (out.fechar() != 0)
        return errno;
    return 0;
}

// Across file systems, and for a symbolic link: copy to a temporary name beside the target,
// flush it, place it without replacing, flush the folder, and only then delete the source
// (a link: the link itself), once it is sure to be the file that was copied. When the source
// cannot be deleted, or changed meanwhile, the placed copy is removed again, so the file
// never exists twice. A process stopped between placing and deleting leaves both; the next
// move of the source finds its copy (see copiaIdentica).
bool moverCopiando(const QByteArray& from, const QByteArray& to, QString* motivo,
                   const TIdentidadeArquivo* esperado, bool link) {
    const TDescritor in(
        ::open(from.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (link ? 0 : O_NOFOLLOW)));
    if (!in.valido())
        return falhar(motivo,
                      QStringLiteral("não foi possível abrir a origem: ") + erroSistema(errno));
    struct stat st {};
    if (::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return falhar(motivo, QStringLiteral("a origem não é um arquivo comum"));
    const TIdentidadeArquivo copiado = identidadeDe(st);
    if (esperado && copiado != *esperado)
        return falhar(motivo, motivoArquivoAlterado());

    const QByteArray pastaLocal = pastaLocalDe(to);
    TArquivoTemporario copia;
    int erro = copiarParaTemporario(in.get(), st, pastaLocal, copia);
    if (erro != 0)
        return falhar(motivo, QStringLiteral("falha ao copiar para a pasta de destino: ") +
                                  erroSistema(erro));

    QByteArray colocado;
    erro = colocarComNomeLivre(copia.caminho(), to, &colocado);
    if (erro != 0)
        return falhar(motivo,
                      QStringLiteral("falha ao colocar a cópia no destino: ") + erroSistema(erro));
    // Placed: from here on only an explicit decision takes the copy back.
    copia.largar();
    sincronizarPastaLocal(pastaLocal);
    if (ganchoCopiaColocada)
        ganchoCopiaColocada();

    auto desfazer = [&] {
        ::unlink(colocado.constData());
        sincronizarPastaLocal(pastaLocal);
    };
    // The source must still be the file copied, unchanged while it was read.
    if (identidadeDoDescritor(in.get()) != copiado || identidadeDoCaminho(from) != copiado) {
        desfazer();
        return falhar(motivo, motivoArquivoAlterado());
    }
    if (::unlink(from.constData()) != 0) {
        const int e = errno;
        desfazer();
        return falhar(motivo, QStringLiteral("a origem não pôde ser apagada (cópia desfeita): ") +
                                  erroSistema(e));
    }
    sincronizarPastaLocal(pastaLocalDe(from));
    return true;
}

// Whether the two open files hold the same bytes.
bool mesmosBytes(int a, int b) {
    static constexpr size_t kBloco = 64 * 1024;
    std::unique_ptr<char[]> x(new char[kBloco]), y(new char[kBloco]);
    for (;;) {
        const ssize_t n = ::read(a, x.get(), kBloco);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        ssize_t m = 0;
        while (m < n) {
            const ssize_t r = ::read(b, y.get() + m, size_t(n - m));
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                return false;
            m += r;
        }
        if (std::memcmp(x.get(), y.get(), size_t(n)) != 0)
            return false;
        if (n == 0) {
            char extra;
            return ::read(b, &extra, 1) == 0;
        }
    }
}

// The name, or a numbered form of it, that already holds a regular file with the bytes of
// `origem` (an open file described by `st`): the trace of a move stopped between placing its
// copy and deleting the source, or the same file stored twice. Empty when there is none.
// The numbered forms are looked at up to the first free one, where a move would place.
QByteArray copiaIdentica(int origem, const struct stat& st, const QByteArray& to, bool link) {
    for (int k = 1; k <= kMaxNomes; ++k) {
        const QByteArray alvo = nomeAlternativo(to, k);
        struct stat c {};
        if (::lstat(alvo.constData(), &c) != 0)
            return {};
        if (!S_ISREG(c.st_mode) || c.st_size != st.st_size)
            continue;
        // The source itself under another name is no copy of it; a link's target is.
        if (!link && c.st_dev == st.st_dev && c.st_ino == st.st_ino)
            continue;
        const TDescritor fd(
            ::open(alvo.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        if (!fd.valido() || ::lseek(origem, 0, SEEK_SET) != 0)
            continue;
        if (mesmosBytes(origem, fd.get()))
            return alvo;
    }
    return {};
}

// The backup already holds the source's bytes: the source goes, nothing new is placed. Only
// the file that was meant (and, for a link, only the link) is deleted.
enum class Duplicata { Nenhuma, Removida, Falhou };
Duplicata removerSeDuplicada(const QByteArray& from, const QByteArray& to, bool link,
                             const TIdentidadeArquivo* esperado, QString* motivo) {
    struct stat primeiro {};
    if (::lstat(to.constData(), &primeiro) != 0)
        return Duplicata::Nenhuma; // the common case, at the cost of one look
    const TDescritor in(
        ::open(from.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (link ? 0 : O_NOFOLLOW)));
    struct stat st {};
    if (!in.valido() || ::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return Duplicata::Nenhuma; // the move itself says why
    const TIdentidadeArquivo lido = identidadeDe(st);
    if (esperado && lido != *esperado)
        return Duplicata::Nenhuma;
    if (copiaIdentica(in.get(), st, to, link).isEmpty())
        return Duplicata::Nenhuma;
    if (identidadeDoDescritor(in.get()) != lido || identidadeDoCaminho(from) != lido) {
        falhar(motivo, motivoArquivoAlterado());
        return Duplicata::Falhou;
    }
    if (::unlink(from.constData()) != 0) {
        falhar(motivo, QStringLiteral("a origem, já guardada no destino, não pôde ser apagada: ") +
                           erroSistema(errno));
        return Duplicata::Falhou;
    }
    sincronizarPastaLocal(pastaLocalDe(from));
    return Duplicata::Removida;
}

// A bare file name: it must not climb out of the target folder.
bool nomeSeguro(const QByteArray& nome) {
    return !nome.isEmpty() && nome != "." && nome != ".." && !nome.contains('/');
}

} // namespace

QString motivoArquivoAlterado() {
    return QStringLiteral("o arquivo foi alterado depois de lido; fica para a próxima execução");
}

bool scShellMoveFile(const QByteArray& from, const QByteArray& to, QString* motivo,
                     const TIdentidadeArquivo* esperado) {
    struct stat st {};
    if (::lstat(from.constData(), &st) != 0)
        return falhar(motivo, QStringLiteral("origem inacessível: ") + erroSistema(errno));
    // A symbolic link leaves a regular file with its target's bytes and goes; the target
    // stays. A link alone in the backup would keep no copy of the invoice.
    const bool link = S_ISLNK(st.st_mode);
    if (link) {
        struct stat alvo {};
        if (::stat(from.constData(), &alvo) != 0 || !S_ISREG(alvo.st_mode))
            return falhar(motivo, QStringLiteral("link simbólico que não leva a um arquivo comum"));
    } else if (!S_ISREG(st.st_mode)) {
        return falhar(motivo, QStringLiteral("a origem não é um arquivo comum"));
    }
    if (esperado && identidadeDoCaminho(from) != *esperado)
        return falhar(motivo, motivoArquivoAlterado());

    const QByteArray pastaLocal = pastaLocalDe(to);
    if (to.size() == pastaLocal.size())
        return falhar(motivo, QStringLiteral("destino sem nome de arquivo"));
    if (!pastaLocal.isEmpty() && !criarPastasLocais(pastaLocal))
        return falhar(motivo, QStringLiteral("não foi possível criar a pasta ") +
                                  nomeLegivel(pastaLocal) + QStringLiteral(": ") +
                                  erroSistema(errno));

    struct stat alvo {};
    if (!link && ::stat(to.constData(), &alvo) == 0 && alvo.st_dev == st.st_dev &&
        alvo.st_ino == st.st_ino)
        return falhar(motivo, QStringLiteral("origem e destino são o mesmo arquivo"));

    switch (removerSeDuplicada(from, to, link, esperado, motivo)) {
    case Duplicata::Removida:
        return true;
    case Duplicata::Falhou:
        return false;
    case Duplicata::Nenhuma:
        break;
    }
    if (link)
        return moverCopiando(from, to, motivo, esperado, true);

    QByteArray colocado;
    const int erro = colocarComNomeLivre(from, to, &colocado);
    if (erro == 0) {
        // Replaced between the check and the rename: the newer file goes back for the next
        // run, which publishes it.
        if (esperado && identidadeDoCaminho(colocado) != *esperado) {
            if (colocar(colocado, from) != 0)
                return falhar(motivo, motivoArquivoAlterado() +
                                          QStringLiteral("; a versão nova ficou em ") +
                                          nomeLegivel(colocado));
            return falhar(motivo, motivoArquivoAlterado());
        }
        return true;
    }
    if (erro == EXDEV)
        return moverCopiando(from, to, motivo, esperado, false);
    return falhar(motivo, QStringLiteral("falha ao mover: ") + erroSistema(erro));
}

bool MoverParaBackup(const QString& sPastaBKP, const QByteArray& folder, const QByteArray& fileName,
                     const QString& ccnpjOrigem, const QDate& demissao, QString* motivo,
                     const TIdentidadeArquivo* esperado) {
    // The read already refuses such documents; a path level is never taken on trust.
    if (!nomeDePastaSeguro(ccnpjOrigem))
        return falhar(motivo, QStringLiteral("CNPJ do emitente impróprio para pasta"));
    if (!demissao.isValid())
        return falhar(motivo, QStringLiteral("data de emissão inválida"));
    if (!nomeSeguro(fileName))
        return falhar(motivo, QStringLiteral("nome de arquivo impróprio"));
    return scShellMoveFile(
        folder + fileName,
        QFile::encodeName(sPastaBKP + u'/' + ccnpjOrigem + u'/' + yyyymm(demissao) + u'/') +
            fileName,
        motivo, esperado);
}

bool MoverParaErros(const QString& sPastaBKP, const QByteArray& folder, const QByteArray& fileName,
                    QString* motivo) {
    if (!nomeSeguro(fileName))
        return falhar(motivo, QStringLiteral("nome de arquivo impróprio"));
    return scShellMoveFile(folder + fileName,
                           QFile::encodeName(sPastaBKP + QStringLiteral("/Erros/")) + fileName,
                           motivo);
}

void testes_movimento::simularSemRenameExclusivo(bool on) { semRenameExclusivo = on; }
void testes_movimento::aoColocarCopia(std::function<void()> f) {
    ganchoCopiaColocada = std::move(f);
}
