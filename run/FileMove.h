#pragma once

#include <QDate>
#include <QString>

// Moves one file to `to` (full path, name included). Missing folders are created; an
// existing file is never replaced: the moved file then takes the first free name among
// "nota (2).xml", "nota (3).xml", ... Across file systems the file is copied, flushed and
// placed before the source is deleted, so it never exists twice nor nowhere. Returns false
// with `reason` filled when the file could not be moved; nothing is shown to the user.
bool scShellMoveFile(const QString& from, const QString& to, QString* reason = nullptr);

// folder + fileName into sPastaBKP/ccnpjOrigem/yyyymm/fileName.
bool MoverParaBackup(const QString& sPastaBKP, const QString& folder, const QString& fileName,
                     const QString& ccnpjOrigem, const QDate& demissao, QString* reason = nullptr);

// folder + fileName into sPastaBKP/Erros/fileName.
bool MoverParaErros(const QString& sPastaBKP, const QString& folder, const QString& fileName,
                    QString* reason = nullptr);

namespace filemove_testing {
// Makes the move behave as on a file system that refuses a no-replace rename (some network
// and FUSE mounts), so that the fallback placement can be exercised.
void simularSemRenameExclusivo(bool on);
} // namespace filemove_testing
