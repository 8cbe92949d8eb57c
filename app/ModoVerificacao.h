#pragma once

#include "Configuracao.h"
#include "DbSettings.h"
#include "FtpSettings.h"
#include "Publicacao.h"
#include "QuarvelDmo.h"

#include <cstdio>

// `quarvel --verificar [--reparar]`: the check of everything the account published, on the
// command line, beside the copy in the tray. One line per problem on `saida`, then the
// summary; a line on `erros` when the check could not be made. With `terminal`, a progress
// line that the next line overwrites. Returns the exit code: 0 everything in order (after a
// repair: nothing left to mend), 1 something is not, 2 the check could not be made.
int verificarNaLinhaDeComando(const TConfiguracao& config, bool reparar, DbSettings db,
                              FtpSettings ftp, std::FILE* saida, std::FILE* erros, bool terminal);
