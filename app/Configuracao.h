#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

// The five values of DOC.INI, section Parametros, read once at start-up.
struct TConfiguracao {
    QString sPastaNFE;
    QString sPastaBKP;
    QString sCNPJ;
    QString sVirgula;
    QString sLocalXML;
};

// Defaults when the file, the section or a key is missing.
TConfiguracao configuracaoPadrao();

// Path of DOC.INI in `folder`: the entry whose name is "doc.ini" without regard to case
// (an exact "DOC.INI" preferred), or folder + "/DOC.INI" when there is none.
QString localizarDocIni(const QString& folder);

// Reads the five values from the file at `path`, in the order of the file's documentation.
TConfiguracao lerConfiguracao(const QString& path);
