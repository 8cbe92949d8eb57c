#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

// Date and time separators of the regional settings, read from their short formats
// ("/" and ":" under Brazilian settings).
QString separadorData(const QLocale& locale);
QString separadorHora(const QLocale& locale);

// The error log's time stamp: "dd/mm/yyyy hh:nn " with the regional separators and a
// final blank; hours 00 to 23.
QString carimboLog(const QDateTime& quando, const QLocale& locale);

// Line of an unreadable file: time stamp, the fixed text, the bare name, the reason in
// parentheses when there is one, and a line feed.
QString linhaArquivoIlegivel(const QDateTime& quando, const QLocale& locale, const QString& nome,
                             const QString& motivo = {});

// Second line of a failure: time stamp, one more blank, the message.
QString linhaFalha(const QDateTime& quando, const QLocale& locale, const QString& mensagem);
