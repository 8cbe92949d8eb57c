#include "FileMove.h"

#include "TDadosNFe.h"

#include <QDir>
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

// More than enough for any real collision count; bounds the loop on a broken folder.
constexpr int kMaxNomes = 10000;

QString erroSistema(int err) { return QString::fromLocal8Bit(std::strerror(err)); }

bool falhar(QString* reason, const QString& why) {
    if (reason)
        *reason = why;
    return false;
}

QString pastaDe(const QString& path) { return path.left(path.lastIndexOf(u'/') + 1); }

// "nota.xml", "nota (2).xml", "nota (3).xml", ...
QString nomeAlternativo(const QString& to, int k) {
    if (k == 1)
        return to;
    const QString pasta = pastaDe(to);
    const QString nome = to.mid(pasta.size());
    const qsizetype ponto = nome.lastIndexOf(u'.');
    const QString base = ponto > 0 ? nome.left(ponto) : nome;
    const QString ext = ponto > 0 ? nome.mid(ponto) : QString();
    return pasta + base + QStringLiteral(" (") + QString::number(k) + u')' + ext;
}

void sincronizarPasta(const QString& pasta) {
    const QByteArray p = QFile::encodeName(pasta.isEmpty() ? QStringLiteral(".") : pasta);
    const int fd = ::open(p.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd); // best effort: some file systems refuse fsync on a folder
        ::close(fd);
    }
}

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
    const int fd = ::open(to.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno;
    ::close(fd);
    if (::rename(from.constData(), to.constData()) != 0) {
        const int e = errno;
        ::unlink(to.constData());
        return e;
    }
    return 0;
}

// Places `from` at `to` or at the first free alternative name; `placed` receives the name.
int colocarComNomeLivre(const QString& from, const QString& to, QString* placed) {
    const QByteArray src = QFile::encodeName(from);
    for (int k = 1; k <= kMaxNomes; ++k) {
        const QString alvo = nomeAlternativo(to, k);
        const int e = colocar(src, QFile::encodeName(alvo));
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

// Copies `in` into a new temporary file of `pasta`; returns its path or sets `erro`.
QString copiarParaTemporario(int in, const struct stat& st, const QString& pasta, int* erro) {
    QString tmp;
    int out = -1;
    for (int tentativa = 0; tentativa < 100 && out < 0; ++tentativa) {
        // Not *.xml, so that a listing never takes a leftover for a document.
        tmp = pasta + QStringLiteral(".quarvel-") +
              QString::number(QRandomGenerator::global()->generate64(), 16) +
              QStringLiteral(".tmp");
        out = ::open(QFile::encodeName(tmp).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                     0600);
        if (out < 0 && errno != EEXIST) {
            *erro = errno;
            return {};
        }
    }
    if (out < 0) {
        *erro = EEXIST;
        return {};
    }
    const QByteArray tmpNome = QFile::encodeName(tmp);
    auto desistir = [&](int e) {
        ::close(out);
        ::unlink(tmpNome.constData());
        *erro = e;
        return QString();
    };
    static constexpr size_t kBloco = 64 * 1024;
    std::unique_ptr<char[]> buf(new char[kBloco]);
    for (;;) {
        const ssize_t r = ::read(in, buf.get(), kBloco);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return desistir(errno);
        }
        if (r == 0)
            break;
        if (!escreverTudo(out, buf.get(), static_cast<size_t>(r)))
            return desistir(errno);
    }
    // Keep what a move keeps: permissions and times.
    ::fchmod(out, st.st_mode & 0777);
    const struct timespec tempos[2] = {st.st_atim, st.st_mtim};
    ::futimens(out, tempos);
    if (::fsync(out) != 0)
        return desistir(errno);
    if (::close(out) != 0) {
        const int e = errno;
        ::unlink(tmpNome.constData());
        *erro = e;
        return {};
    }
    return tmp;
}

// Across file systems: copy to a temporary name beside the target, flush it, place it
// without replacing, flush the folder, and only then delete the source. When the source
// cannot be deleted the placed copy is removed again, so the file never exists twice.
bool moverCopiando(const QString& from, const QString& to, QString* reason) {
    const QByteArray src = QFile::encodeName(from);
    const int in = ::open(src.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (in < 0)
        return falhar(reason,
                      QStringLiteral("não foi possível abrir a origem: ") + erroSistema(errno));
    struct stat st {};
    if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(in);
        return falhar(reason, QStringLiteral("a origem não é um arquivo comum"));
    }
    const QString pasta = pastaDe(to);
    int erro = 0;
    const QString tmp = copiarParaTemporario(in, st, pasta, &erro);
    ::close(in);
    if (tmp.isEmpty())
        return falhar(reason, QStringLiteral("falha ao copiar para a pasta de destino: ") +
                                  erroSistema(erro));

    QString colocado;
    erro = colocarComNomeLivre(tmp, to, &colocado);
    if (erro != 0) {
        ::unlink(QFile::encodeName(tmp).constData());
        return falhar(reason,
                      QStringLiteral("falha ao colocar a cópia no destino: ") + erroSistema(erro));
    }
    sincronizarPasta(pasta);

    if (::unlink(src.constData()) != 0) {
        const int e = errno;
        ::unlink(QFile::encodeName(colocado).constData());
        sincronizarPasta(pasta);
        return falhar(reason, QStringLiteral("a origem não pôde ser apagada (cópia desfeita): ") +
                                  erroSistema(e));
    }
    sincronizarPasta(pastaDe(from));
    return true;
}

// A bare file name: it must not climb out of the target folder.
bool nomeSeguro(const QString& nome) {
    return !nome.isEmpty() && nome != QLatin1String(".") && nome != QLatin1String("..") &&
           !nome.contains(u'/');
}

} // namespace

bool scShellMoveFile(const QString& from, const QString& to, QString* reason) {
    const QByteArray src = QFile::encodeName(from);
    struct stat st {};
    if (::lstat(src.constData(), &st) != 0)
        return falhar(reason, QStringLiteral("origem inacessível: ") + erroSistema(errno));
    // A symbolic link moves as the link itself (by rename only, see below).
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
        return falhar(reason, QStringLiteral("a origem não é um arquivo comum"));

    const QString pasta = pastaDe(to);
    if (to.size() == pasta.size())
        return falhar(reason, QStringLiteral("destino sem nome de arquivo"));
    if (!pasta.isEmpty() && !QDir().mkpath(pasta))
        return falhar(reason, QStringLiteral("não foi possível criar a pasta ") + pasta);

    struct stat alvo {};
    if (::stat(QFile::encodeName(to).constData(), &alvo) == 0 && alvo.st_dev == st.st_dev &&
        alvo.st_ino == st.st_ino)
        return falhar(reason, QStringLiteral("origem e destino são o mesmo arquivo"));

    QString colocado;
    const int erro = colocarComNomeLivre(from, to, &colocado);
    if (erro == 0)
        return true;
    if (erro == EXDEV && S_ISREG(st.st_mode))
        return moverCopiando(from, to, reason);
    return falhar(reason, QStringLiteral("falha ao mover: ") + erroSistema(erro));
}

bool MoverParaBackup(const QString& sPastaBKP, const QString& folder, const QString& fileName,
                     const QString& ccnpjOrigem, const QDate& demissao, QString* reason) {
    // The read already refuses such documents; a path level is never taken on trust.
    bool cnpjOk = !ccnpjOrigem.isEmpty();
    for (QChar c : ccnpjOrigem)
        cnpjOk = cnpjOk &&
                 ((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'));
    if (!cnpjOk)
        return falhar(reason, QStringLiteral("CNPJ do emitente impróprio para pasta"));
    if (!demissao.isValid())
        return falhar(reason, QStringLiteral("data de emissão inválida"));
    if (!nomeSeguro(fileName))
        return falhar(reason, QStringLiteral("nome de arquivo impróprio"));
    return scShellMoveFile(
        folder + fileName,
        sPastaBKP + u'/' + ccnpjOrigem + u'/' + yyyymm(demissao) + u'/' + fileName, reason);
}

bool MoverParaErros(const QString& sPastaBKP, const QString& folder, const QString& fileName,
                    QString* reason) {
    if (!nomeSeguro(fileName))
        return falhar(reason, QStringLiteral("nome de arquivo impróprio"));
    return scShellMoveFile(folder + fileName, sPastaBKP + QStringLiteral("/Erros/") + fileName,
                           reason);
}

void filemove_testing::simularSemRenameExclusivo(bool on) { semRenameExclusivo = on; }
