#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// Letters and digits of ASCII only, at least one: a name that may steer a folder level,
// locally and on the FTP server (the account's and the issuer's CNPJ).
bool nomeDePastaSeguro(const QString& nome);

// The k-th name of a collision series: k == 1 is the name itself, then "nota (2).xml",
// "nota (3).xml", ... (the number goes before the last extension; a leading dot is no
// extension).
QString nomeNumerado(const QString& nome, int k);
QByteArray nomeNumerado(const QByteArray& nome, int k);

// A name as it lies on disk, as text: its bytes must be UTF-8 (the platform's encoding of
// names). Nothing when they are not, since no text would give the same bytes back.
std::optional<QString> nomeComoTexto(const QByteArray& nativo);

// A name as the user may read it, on one line: UTF-8 shown as it is, every byte that is not
// UTF-8 as \xHH, and control characters (line breaks included) escaped as \n, \r, \t, \xHH
// or \uHHHH.
QString nomeLegivel(const QByteArray& nativo);
QString nomeLegivel(const QString& nome);
