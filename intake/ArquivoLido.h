#pragma once

#include "IdentidadeArquivo.h"

#include <QByteArray>

// A file read once: its bytes and which file, in which state, they came from.
struct TArquivoLido {
    QByteArray dados;
    TIdentidadeArquivo identidade;
};
