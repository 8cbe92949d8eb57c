#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

// A Windows initialization file as GetPrivateProfileString reads it: section and key names
// without regard to case, the first section and the first key of a name win, blanks and
// one pair of enclosing quotes dropped, values cut at 2047 characters.
class IniFile {
public:
    static constexpr int kMaxValueLength = 2047;

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
