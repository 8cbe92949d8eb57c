#pragma once

#include "EtapaArquivo.h"
#include "FtpSettings.h"

#include <QByteArray>
#include <QDateTime>
#include <QLocale>
#include <QString>
#include <functional>

struct TParametrosArmazenamento {
    QString sPastaBKP;
    QString sCNPJ;
    QString sVirgula;
    FtpSettings ftp;
    std::function<QLocale()> regional = [] { return QLocale::system(); };
    std::function<QDateTime()> agora = [] { return QDateTime::currentDateTime(); };
    // Called as a file passes each step, with its native path.
    std::function<void(TEtapaArquivo, const QByteArray& caminho)> aoPassar;
};
