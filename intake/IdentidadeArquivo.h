#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <optional>
#include <sys/types.h>

// Which file a path named, and in which state: a file replaced, rewritten, grown or touched
// since compares unequal.
struct TIdentidadeArquivo {
    dev_t dispositivo = 0;
    ino_t inode = 0;
    qint64 tamanho = 0;
    qint64 modificacaoNs = 0;
    bool operator==(const TIdentidadeArquivo&) const = default;
};

TIdentidadeArquivo identidadeDe(const struct stat& st);
// Of the file a path names, links followed; nothing when it cannot be reached.
std::optional<TIdentidadeArquivo> identidadeDoCaminho(const QByteArray& caminho);
// Of an open file.
std::optional<TIdentidadeArquivo> identidadeDoDescritor(int fd);

// Why a file or folder could not be reached or read, in Portuguese, for the log: the common
// causes in words of their own, any other with the system's text and number.
QString motivoDoSistema(int erro);
