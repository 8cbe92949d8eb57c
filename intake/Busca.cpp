#include "Busca.h"

#include "ListaPendente.h"
#include "OpcoesBusca.h"

#include <QFile>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <utility>

namespace {

using TIdPastaLocal = std::pair<dev_t, ino_t>;

// Characters up to U+0020 are single bytes in UTF-8, so trimming bytes is the same.
QByteArray aparaControle(const QByteArray& s) {
    qsizetype b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= 32)
        ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32)
        --e;
    return s.mid(b, e - b);
}

bool idPastaLocal(const QByteArray& path, TIdPastaLocal& id) {
    struct stat st;
    if (::stat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    id = {st.st_dev, st.st_ino};
    return true;
}

// A folder gone since its entry was read is no news; anything else keeps its files out.
bool digno(int erro) { return erro != ENOENT && erro != ENOTDIR; }

struct TPercurso {
    const QByteArray& cFile;
    TListaPendente& lista;
    std::set<TIdPastaLocal> visitadas; // every folder already searched, so a link loop ends
    std::set<TIdPastaLocal> excluidas; // the backup tree

    void naoLida(const QByteArray& native, int erro, bool raiz) {
        if (!raiz && digno(erro))
            lista.naoLidas.append({native, erro});
    }

    void percorrer(const QByteArray& native, bool raiz = false) {
        struct stat st;
        if (::stat(native.constData(), &st) != 0) {
            naoLida(native, errno, raiz);
            return;
        }
        const TIdPastaLocal self{st.st_dev, st.st_ino};
        if (!S_ISDIR(st.st_mode) || excluidas.count(self) || !visitadas.insert(self).second)
            return;
        DIR* dir = ::opendir(native.constData());
        if (!dir) {
            naoLida(native, errno, raiz);
            return;
        }
        while (const dirent* e = ::readdir(dir)) {
            const QByteArray name(e->d_name);
            const QByteArray stripped = aparaControle(name);
            if (stripped == "." || stripped == "..")
                continue;
            bool isFolder = e->d_type == DT_DIR;
            if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
                struct stat alvo;
                // Relative to the open folder: right even where the full path is too long.
                isFolder =
                    ::fstatat(::dirfd(dir), e->d_name, &alvo, 0) == 0 && S_ISDIR(alvo.st_mode);
            }
            if (isFolder) {
                percorrer(native + name + '/');
            } else if (extensaoAparada(name) == cFile) {
                lista.pastasLocais.append(native);
                lista.arquivos.append(name);
            }
        }
        ::closedir(dir);
    }
};

} // namespace

QByteArray extensaoAparada(const QByteArray& nome) {
    const qsizetype dot = nome.lastIndexOf('.');
    if (dot < 0)
        return QByteArray();
    for (qsizetype i = dot + 1; i < nome.size(); ++i)
        if (nome[i] == '/' || nome[i] == ':')
            return QByteArray();
    return aparaControle(nome.mid(dot));
}

void Busca(const QByteArray& cPath, const QByteArray& cFile, TListaPendente& lista,
           const TOpcoesBusca& opcoes) {
    TPercurso w{cFile, lista, {}, {}};
    for (const QString& ex : opcoes.excluidas) {
        TIdPastaLocal id;
        if (!ex.isEmpty() && idPastaLocal(QFile::encodeName(ex), id))
            w.excluidas.insert(id);
    }
    // A root inside an excluded tree lists nothing: walk its ancestors, links resolved.
    if (!w.excluidas.empty()) {
        char* real = ::realpath(cPath.constData(), nullptr);
        if (real) {
            QByteArray r(real);
            ::free(real);
            for (;;) {
                TIdPastaLocal id;
                if (idPastaLocal(r.isEmpty() ? QByteArray("/") : r, id) && w.excluidas.count(id))
                    return;
                const qsizetype slash = r.lastIndexOf('/');
                if (slash < 0 || r.isEmpty())
                    break;
                r.truncate(slash);
            }
        }
    }
    w.percorrer(cPath, true);
}

TListaPendente listarArquivosXml(const QString& pastaLocal, const TOpcoesBusca& opcoes) {
    TListaPendente lista;
    if (!pastaLocal.isEmpty())
        Busca(QFile::encodeName(pastaLocal) + '/', QByteArrayLiteral(".xml"), lista, opcoes);
    return lista;
}
