#include "Busca.h"

#include <QFile>
#include <dirent.h>
#include <set>
#include <sys/stat.h>
#include <utility>

namespace {

using FolderId = std::pair<dev_t, ino_t>;

QString trimControl(const QString& s) {
    qsizetype b = 0, e = s.size();
    while (b < e && s[b].unicode() <= 32)
        ++b;
    while (e > b && s[e - 1].unicode() <= 32)
        --e;
    return s.mid(b, e - b);
}

bool folderId(const QByteArray& path, FolderId& id) {
    struct stat st;
    if (::stat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    id = {st.st_dev, st.st_ino};
    return true;
}

struct Walker {
    const QString& cFile;
    ListaPendente& lista;
    std::set<FolderId> entered;  // every folder already searched, so a link loop ends
    std::set<FolderId> excluded; // the backup tree

    void search(const QString& cPath) {
        const QByteArray native = QFile::encodeName(cPath);
        FolderId self;
        if (!folderId(native, self) || excluded.count(self) || !entered.insert(self).second)
            return;
        DIR* dir = ::opendir(native.constData());
        if (!dir)
            return;
        while (const dirent* e = ::readdir(dir)) {
            const QString name = QFile::decodeName(e->d_name);
            const QString stripped = trimControl(name);
            if (stripped == u"." || stripped == u"..")
                continue;
            bool isFolder = e->d_type == DT_DIR;
            if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
                struct stat st;
                isFolder =
                    ::stat((native + e->d_name).constData(), &st) == 0 && S_ISDIR(st.st_mode);
            }
            if (isFolder) {
                search(cPath + name + u'/');
            } else if (extensaoAparada(name) == cFile) {
                lista.pastas.append(cPath);
                lista.arquivos.append(name);
            }
        }
        ::closedir(dir);
    }
};

} // namespace

QString extensaoAparada(const QString& nome) {
    const qsizetype dot = nome.lastIndexOf(u'.');
    if (dot < 0)
        return QString();
    for (qsizetype i = dot + 1; i < nome.size(); ++i)
        if (nome[i] == u'/' || nome[i] == u':')
            return QString();
    return trimControl(nome.mid(dot));
}

void Busca(const QString& cPath, const QString& cFile, ListaPendente& lista,
           const OpcoesBusca& opcoes) {
    Walker w{cFile, lista, {}, {}};
    for (const QString& ex : opcoes.excluidas) {
        FolderId id;
        if (!ex.isEmpty() && folderId(QFile::encodeName(ex), id))
            w.excluded.insert(id);
    }
    // A root inside an excluded tree lists nothing: walk its ancestors, links resolved.
    if (!w.excluded.empty()) {
        QByteArray path = QFile::encodeName(cPath);
        char* real = ::realpath(path.constData(), nullptr);
        if (real) {
            QByteArray r(real);
            ::free(real);
            for (;;) {
                FolderId id;
                if (folderId(r.isEmpty() ? QByteArray("/") : r, id) && w.excluded.count(id))
                    return;
                const qsizetype slash = r.lastIndexOf('/');
                if (slash < 0 || r.isEmpty())
                    break;
                r.truncate(slash);
            }
        }
    }
    w.search(cPath);
}

ListaPendente listarArquivosXml(const QString& pasta, const OpcoesBusca& opcoes) {
    ListaPendente lista;
    if (!pasta.isEmpty())
        Busca(pasta + u'/', QStringLiteral(".xml"), lista, opcoes);
    return lista;
}
