#pragma once

#include <QByteArray>
#include <QList>

// The pending-file list: entry i of both lists is one file; its full path is the folder
// (always ending with "/") followed by the name. Names are kept as the file system gives
// them, bytes and all, so that any name can be opened and moved again; the window shows
// them through nomeLegivel.
struct TListaPendente {
    QList<QByteArray> pastasLocais; // listBoxPasta
    QList<QByteArray> arquivos;     // ListBoxArquivo
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
