#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// The pending-file list: entry i of both lists is one file; its full path is the folder
// (always ending with "/") followed by the name. Names are kept as the file system gives
// them, bytes and all, so that any name can be opened and moved again; the window shows
// them through nomeLegivel.
struct TListaPendente {
    QList<QByteArray> pastasLocais; // listBoxPasta
    QList<QByteArray> arquivos; // ListBoxArquivo
    // Folders below the root that could not be searched (a path too long, no permission),
    // each with its errno: their files are not in the list, and the office must be told.
    struct PastaNaoLida {
        QByteArray pastaLocal;
        int erro = 0;
    };
    QList<PastaNaoLida> naoLidas;
    qsizetype size() const { return arquivos.size(); }
    QByteArray caminho(qsizetype i) const { return pastasLocais[i] + arquivos[i]; }
    void clear() {
        pastasLocais.clear();
        arquivos.clear();
        naoLidas.clear();
    }
};

struct TOpcoesBusca {
    // Folders whose contents are never listed (the backup tree). Compared by device and
    // inode, so links and doubled separators cannot smuggle them in.
    QStringList excluidas;
};

// Appends every file below cPath (a native folder path ending with "/") whose trimmed
// extension equals cFile exactly, in pre-order and in the file system's own order. Folders
// that cannot be opened contribute nothing (below the root, they go to lista.naoLidas);
// links to folders are followed, loops never.
void Busca(const QByteArray& cPath, const QByteArray& cFile, TListaPendente& lista,
           const TOpcoesBusca& opcoes = {});

// The listing: the root is `pastaLocal` with one "/" appended unconditionally (so "/" gives
// "//"); an empty `pastaLocal` lists nothing.
TListaPendente listarArquivosXml(const QString& pastaLocal, const TOpcoesBusca& opcoes = {});

// The extension test of the listing, exposed for tests: the text from the last "." to the
// end (empty without a "." or when "/" or ":" follows it), trimmed of bytes <= 0x20.
QByteArray extensaoAparada(const QByteArray& nome);
