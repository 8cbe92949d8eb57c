#pragma once

#include "Problema.h"
#include "TipoProblema.h"

#include <QList>

struct TResultadoVerificacao {
    int documentos = 0; // backup documents checked
    int emOrdem = 0;    // of those, the ones with nothing wrong
    QList<TProblema> problemas;
    int contar(TTipoProblema tipo) const;
    int reparados() const;
};
