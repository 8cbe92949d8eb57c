#pragma once

#include <QString>
#include <QStringList>

// The pending-file list: entry i of both lists is one file; its full path is the folder
// text (always ending with "/") followed by the name.
struct ListaPendente {
    QStringList pastas;   // listBoxPasta
    QStringList arquivos; // ListBoxArquivo
    qsizetype size() const { return arquivos.size(); }
    void clear() {
        pastas.clear();
        arquivos.clear();
    }
};

struct OpcoesBusca {
    // Folders whose contents are never listed (the backup tree). Compared by device and
    // inode, so links and doubled separators cannot smuggle them in.
    QStringList excluidas;
};

// Appends every file below cPath (a folder text ending with "/") whose trimmed extension
// equals cFile exactly, in pre-order and in the file system's own order. Folders that
// cannot be opened contribute nothing; links to folders are followed, loops never.
void Busca(const QString& cPath, const QString& cFile, ListaPendente& lista,
           const OpcoesBusca& opcoes = {});

// The listing: the root is `pasta` with one "/" appended unconditionally (so "/" gives
// "//"); an empty `pasta` lists nothing.
ListaPendente listarArquivosXml(const QString& pasta, const OpcoesBusca& opcoes = {});

// The extension test of the listing, exposed for tests: the text from the last "." to the
// end (empty without a "." or when "/" or ":" follows it), trimmed of characters <= U+0020.
QString extensaoAparada(const QString& nome);
