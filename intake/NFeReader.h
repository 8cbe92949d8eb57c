#pragma once

#include "ArquivoLido.h"
#include "DadosNFe.h"
#include "IdentidadeArquivo.h"

#include <QByteArray>
#include <QString>
#include <optional>
#include <stdexcept>

// Files above this size are unreadable: an NF-e is a few tens of KB (the tax authority
// refuses messages above 500 KB), a huge file must not exhaust memory, and libxml2 without
// XML_PARSE_HUGE stops near 10 MB anyway.
inline constexpr qint64 kTamanhoMaximoNFe = 8 * 1024 * 1024;

// Swaps "." and ",", leaving every other character as it is.
QString TrocaPontoVirgula(const QString& s);

// A decimal number as the regional settings write it: blanks (U+0020) around, an optional
// sign, digits with an optional decimal separator, an optional exponent. No thousands
// separators; at least one digit; the value must fit a finite double.
std::optional<double> ConverterDecimal(const QString& text, const QString& decimalPoint);

// Reads the whole file at a native path, links followed: a regular file of at most
// kTamanhoMaximoNFe bytes. What is not a regular file is never opened. Throws TNFeIlegivel
// when it cannot, of the kind Inacessivel or NaoArquivo when nothing was read.
TArquivoLido LerArquivoNFe(const QByteArray& caminho);

// Reads folder + fileName (folder ends with the separator). Throws TNFeIlegivel for every
// failure; never writes the file. decimalPoint is the regional decimal separator; sVirgula
// "S" swaps "." and "," in vNF first; sCNPJ is the account, used to compose `pasta`.
TDadosNFe LerDadosNFe(const QString& folder, const QString& fileName, const QString& sVirgula,
                      const QString& decimalPoint, const QString& sCNPJ);

// The same read over bytes already in memory; fileName supplies `arquivo` and, for a
// document that states no access key, `chave_doc`.
TDadosNFe LerDadosNFeBytes(const QByteArray& xml, const QString& fileName, const QString& sVirgula,
                           const QString& decimalPoint, const QString& sCNPJ);
