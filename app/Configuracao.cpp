#include "Configuracao.h"

#include "IniFile.h"

#include <QDir>
#include <QFile>
#include <QStringDecoder>

TConfiguracao configuracaoPadrao() {
    return {QStringLiteral("/NFE"), QStringLiteral("/BKP"), QStringLiteral("00000000000000"),
            QStringLiteral("N"), QStringLiteral("/NFE")};
}

QString localizarDocIni(const QString& folder) {
    const QString exact = QStringLiteral("DOC.INI");
    QString found;
    const QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : names) {
        if (name == exact)
            return QDir(folder).filePath(name);
        if (found.isEmpty() && name.compare(exact, Qt::CaseInsensitive) == 0)
            found = name;
    }
    return QDir(folder).filePath(found.isEmpty() ? exact : found);
}

TConfiguracao lerConfiguracao(const QString& path) {
    const IniFile ini = IniFile::load(path);
    const TConfiguracao d = configuracaoPadrao();
    const QString s = QStringLiteral("Parametros");
    TConfiguracao c;
    c.sPastaNFE = ini.readString(s, QStringLiteral("sPastaNFE"), d.sPastaNFE);
    c.sPastaBKP = ini.readString(s, QStringLiteral("sPastaBKP"), d.sPastaBKP);
    c.sCNPJ = ini.readString(s, QStringLiteral("sCNPJ"), d.sCNPJ);
    c.sVirgula = ini.readString(s, QStringLiteral("sVirgula"), d.sVirgula);
    c.sLocalXML = ini.readString(s, QStringLiteral("sLocalXML"), d.sLocalXML);
    return c;
}
