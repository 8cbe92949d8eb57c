#pragma once

#include "ListaPendente.h"
#include "OpcoesBusca.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

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
