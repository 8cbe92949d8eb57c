#pragma once

#include "IdentidadeArquivo.h"

#include <QByteArray>
#include <QDate>
#include <QString>
#include <functional>

// Moves one file from `from` to `to` (native paths, name included). Missing folders are
// created; an existing file is never replaced: the moved file then takes the first free name
// among "nota (2).xml", "nota (3).xml", ... When one of those names already holds the file's
// very bytes, the source is deleted and nothing is placed. Across file systems the file is
// copied, flushed and placed before the source is deleted, so it never exists nowhere, and a
// copy left by a stopped move is found by the next one. A symbolic link leaves a regular
// file with its target's bytes and goes; the target stays. With
// `esperado`, only that very file moves (same device, inode, size and modification time):
// a file replaced or rewritten since stays where it is. Returns false with `motivo` filled
// when the file was not moved; nothing is shown to the user.
bool scShellMoveFile(const QByteArray& from, const QByteArray& to, QString* motivo = nullptr,
                     const TIdentidadeArquivo* esperado = nullptr);

// folder + fileName into sPastaBKP/ccnpjOrigem/yyyymm/fileName.
bool MoverParaBackup(const QString& sPastaBKP, const QByteArray& folder, const QByteArray& fileName,
                     const QString& ccnpjOrigem, const QDate& demissao, QString* motivo = nullptr,
                     const TIdentidadeArquivo* esperado = nullptr);

// folder + fileName into sPastaBKP/Erros/fileName.
bool MoverParaErros(const QString& sPastaBKP, const QByteArray& folder, const QByteArray& fileName,
                    QString* motivo = nullptr);

// The motivo a move gives when the file changed after it was read.
QString motivoArquivoAlterado();

namespace testes_movimento {
// Makes the move behave as on a file system that refuses a no-replace rename (some network
// and FUSE mounts), so that the fallback placement can be exercised.
void simularSemRenameExclusivo(bool on);
// Runs `f` in a copy across file systems once the copy is placed, before the source is
// checked and deleted: where another program could rewrite the source, or the process die.
// An exception from `f` leaves the placed copy, as a kill would.
void aoColocarCopia(std::function<void()> f);
} // namespace testes_movimento
