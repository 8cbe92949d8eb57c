#pragma once

#include "TipoProblema.h"

#include <QString>

struct TProblema {
    TTipoProblema tipo;
    QString texto;          // one line: which document, what is wrong
    bool reparavel = false; // the repair may mend it from the backup's bytes
    bool reparado = false;
    QString reparo; // after a repair was tried: what it did, or why it could not
};
