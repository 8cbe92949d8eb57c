#include "IniFile.h"

#include <QFile>
#include <QStringDecoder>

namespace {

// Windows-1252 0x80..0x9F; the undefined positions map to the C1 control, as Windows does.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

QString decodeCp1252(const QByteArray& bytes) {
    QString out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out.append(b >= 0x80 && b < 0xA0 ? QChar(kCp1252High[b - 0x80]) : QChar(b));
    }
    return out;
}

bool isBlank(QChar c) { return c == u' ' || c == u'\t'; }

QString trimBlanks(const QString& s) {
    qsizetype b = 0, e = s.size();
    while (b < e && isBlank(s[b]))
        ++b;
    while (e > b && isBlank(s[e - 1]))
        --e;
    return s.mid(b, e - b);
}

} // namespace

QString IniFile::decode(const QByteArray& bytes) {
    if (bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF")) {
        auto enc =
            bytes.startsWith("\xFF\xFE") ? QStringConverter::Utf16LE : QStringConverter::Utf16BE;
        QStringDecoder dec(enc, QStringDecoder::Flag::Stateless);
        return dec.decode(bytes.mid(2));
    }
    QByteArray body = bytes.startsWith("\xEF\xBB\xBF") ? bytes.mid(3) : bytes;
    QStringDecoder utf8(QStringConverter::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(body);
    if (!utf8.hasError())
        return text;
    return decodeCp1252(body);
}

IniFile::IniFile(const QString& text) {
    QHash<QString, QString>* current = nullptr;
    QString line;
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i <= n) {
        // Lines end at CR LF, LF or a lone CR.
        qsizetype j = i;
        while (j < n && text[j] != u'\n' && text[j] != u'\r')
            ++j;
        line = trimBlanks(text.mid(i, j - i));
        if (j < n && text[j] == u'\r' && j + 1 < n && text[j + 1] == u'\n')
            ++j;
        i = j + 1;

        if (line.startsWith(u'[')) {
            const qsizetype close = line.indexOf(u']');
            const QString name = trimBlanks(line.mid(1, close < 0 ? -1 : close - 1)).toLower();
            // Only the first section of a name is searched.
            current = m_sections.contains(name) ? nullptr : &m_sections[name];
            continue;
        }
        if (!current)
            continue;
        const qsizetype eq = line.indexOf(u'=');
        if (eq < 0)
            continue; // a line without "=" names no value
        const QString key = trimBlanks(line.left(eq)).toLower();
        if (key.isEmpty() || current->contains(key))
            continue;
        QString value = trimBlanks(line.mid(eq + 1));
        if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
            value.back() == value.front())
            value = value.mid(1, value.size() - 2);
        if (value.size() > kMaxValueLength) {
            value.truncate(kMaxValueLength);
            if (value.back().isHighSurrogate())
                value.chop(1); // never leave half a character
        }
        current->insert(key, value);
    }
}

IniFile IniFile::load(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return IniFile();
    // A configuration file is small; a huge one is read no further than this.
    return IniFile(decode(f.read(16 * 1024 * 1024)));
}

QString IniFile::readString(const QString& section, const QString& key, const QString& def) const {
    const auto s = m_sections.constFind(section.toLower());
    if (s == m_sections.constEnd())
        return def;
    const auto k = s->constFind(key.toLower());
    return k == s->constEnd() ? def : *k;
}
