#pragma once

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
