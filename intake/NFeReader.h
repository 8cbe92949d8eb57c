#pragma once

#include "ArquivoLocal.h"
#include "TDadosNFe.h"

#include <QByteArray>
#include <QString>
#include <optional>
#include <stdexcept>

// The outcome "unreadable" of a read. what() is why, in Portuguese (UTF-8), for the log line;
// the kind tells the run what to do with the file.
struct TNFeIlegivel : std::runtime_error {
    enum class Tipo {
        Documento,   // read, and not a readable NF-e: the file goes to Erros
        Inacessivel, // not opened or read, for a reason that may pass (permission, I/O error,
                     // too many open files, a share gone): the file stays for a later run
        NaoArquivo,  // nothing to read: a FIFO, socket or device, a link without target, a
                     // path too long to open. Never opened; it stays
    };
    using runtime_error::runtime_error;
    TNFeIlegivel(const QString& motivo, Tipo tipo)
        : runtime_error(motivo.toStdString()), tipo(tipo) {}
    QString motivo() const { return QString::fromUtf8(what()); }
    Tipo tipo = Tipo::Documento;
};

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

// A file read once: its bytes and which file, in which state, they came from.
struct TArquivoLido {
    QByteArray dados;
    TIdentidadeArquivo identidade;
};

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
