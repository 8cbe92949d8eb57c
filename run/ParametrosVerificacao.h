#pragma once

#include "FtpSettings.h"

#include <QLocale>
#include <QString>
#include <functional>

struct TParametrosVerificacao {
    QString sPastaBKP;
    QString sCNPJ;
    QString sVirgula;
    FtpSettings ftp;
    std::function<QLocale()> regional = [] { return QLocale::system(); };
    // Repair what can be repaired from the backup once the check is done.
    bool reparar = false;
};
