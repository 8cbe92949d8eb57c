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

// A Windows initialization file as GetPrivateProfileString reads it: section and key names
// without regard to case, the first section and the first key of a name win, blanks and
// one pair of enclosing quotes dropped, values cut at 2047 characters.
class IniFile {
public:
    static constexpr int MaxValueLength = 2047;

    IniFile() = default;
    explicit IniFile(const QString& text);

    // Loads the file at `path`; a missing or unreadable file reads as empty.
    static IniFile load(const QString& path);
    // UTF-8 when the bytes are valid UTF-8 (BOM dropped), UTF-16 with its BOM, otherwise
    // Windows-1252, the ANSI code page Windows editors write.
    static QString decode(const QByteArray& bytes);

    // The value, or `def` when the section or the key is missing. A present but empty
    // value gives the empty text.
    QString readString(const QString& section, const QString& key, const QString& def) const;

private:
    // lower-cased section -> lower-cased key -> value
    QHash<QString, QHash<QString, QString>> m_sections;
};

// Path of DOC.INI in `folder`: the entry whose name is "doc.ini" without regard to case
// (an exact "DOC.INI" preferred), or folder + "/DOC.INI" when there is none.
QString localizarDocIni(const QString& folder);

// Reads the five values from the file at `path`, in the order of the file's documentation.
TConfiguracao lerConfiguracao(const QString& path);
