#include "Configuracao.h"
#include "TestSupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

TConfiguracao readFrom(const QByteArray& bytes) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("DOC.INI"));
    writeFile(path, bytes);
    return lerConfiguracao(path);
}

struct IniCase {
    const char* name;
    QByteArray content;
    const char* key; // which value to check
    QString expected;
};

QString valueOf(const TConfiguracao& c, const char* key) {
    const QString k = QString::fromLatin1(key);
    if (k == u"sPastaNFE")
        return c.sPastaNFE;
    if (k == u"sPastaBKP")
        return c.sPastaBKP;
    if (k == u"sCNPJ")
        return c.sCNPJ;
    if (k == u"sVirgula")
        return c.sVirgula;
    return c.sLocalXML;
}

} // namespace

TEST(DocIni, MissingFileGivesDefaults) {
    const TConfiguracao c = lerConfiguracao(QStringLiteral("/nonexistent/DOC.INI"));
    EXPECT_EQ(c.sPastaNFE, u"/NFE");
    EXPECT_EQ(c.sPastaBKP, u"/BKP");
    EXPECT_EQ(c.sCNPJ, u"00000000000000");
    EXPECT_EQ(c.sVirgula, u"N");
    EXPECT_EQ(c.sLocalXML, u"/NFE");
}

TEST(DocIni, ValueRules) {
    const QString longValue(3000, u'a');
    const QString hundredK(100 * 1024, u'b');
    const IniCase cases[] = {
        {"plain", "[Parametros]\nsPastaNFE=/dados/nfe\n", "sPastaNFE", "/dados/nfe"},
        {"names without regard to case", "[PARAMETROS]\nSPASTAnfe=/x\n", "sPastaNFE", "/x"},
        {"present but empty", "[Parametros]\nsCNPJ=\n", "sCNPJ", ""},
        {"blanks around only empty", "[Parametros]\nsCNPJ=   \t \n", "sCNPJ", ""},
        {"missing key", "[Parametros]\nsCNPJ=1\n", "sPastaBKP", "/BKP"},
        {"no section", "sCNPJ=123\n", "sCNPJ", "00000000000000"},
        {"other section ignored", "[Outros]\nsCNPJ=1\n[Parametros]\nsCNPJ=2\n", "sCNPJ", "2"},
        {"blanks dropped", "[Parametros]\n  sPastaBKP  =  /b k p  \t\n", "sPastaBKP", "/b k p"},
        {"one pair of quotes", "[Parametros]\nsPastaBKP=\" /com aspas \"\n", "sPastaBKP",
         " /com aspas "},
        {"only one pair", "[Parametros]\nsPastaBKP=\"\"x\"\"\n", "sPastaBKP", "\"x\""},
        {"unmatched quote kept", "[Parametros]\nsPastaBKP=\"abc\n", "sPastaBKP", "\"abc"},
        {"equals sign in value", "[Parametros]\nsLocalXML=a=b\n", "sLocalXML", "a=b"},
        {"first key wins", "[Parametros]\nsCNPJ=1\nsCNPJ=2\n", "sCNPJ", "1"},
        {"first section wins", "[Parametros]\nsCNPJ=1\n[parametros]\nsVirgula=S\n", "sVirgula",
         "N"},
        {"lower-case s kept", "[Parametros]\nsVirgula=s\n", "sVirgula", "s"},
        {"CRLF", "[Parametros]\r\nsCNPJ=11\r\nsVirgula=S\r\n", "sCNPJ", "11"},
        {"lone CR", "[Parametros]\rsCNPJ=12\rsVirgula=S\r", "sCNPJ", "12"},
        {"cut at 2047", "[Parametros]\nsPastaNFE=" + longValue.toUtf8() + "\n", "sPastaNFE",
         longValue.left(2047)},
        {"100 KB value", "[Parametros]\nsPastaNFE=" + hundredK.toUtf8() + "\n", "sPastaNFE",
         hundredK.left(2047)},
        {"UTF-8 with BOM", "\xEF\xBB\xBF[Parametros]\nsPastaNFE=/NFE/Exportação\n", "sPastaNFE",
         QStringLiteral("/NFE/Exportação")},
        {"Windows-1252", "[Parametros]\nsPastaNFE=/NFE/Exporta\xE7\xE3o \x80\n", "sPastaNFE",
         QStringLiteral("/NFE/Exportação €")},
        {"binary junk lines",
         QByteArray("\x00\xFF\xFE\x01junk\n[Parametros]\n\x02\x03=\x04\nsCNPJ=9\n", 35), "sCNPJ",
         "9"},
    };
    for (const IniCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(valueOf(readFrom(c.content), c.key), c.expected);
    }
}

TEST(DocIni, Utf16WithBom) {
    const QString text = QStringLiteral("[Parametros]\r\nsPastaBKP=/Cópias\r\n");
    QByteArray bytes("\xFF\xFE", 2);
    for (QChar ch : text) {
        bytes.append(char(ch.unicode() & 0xFF));
        bytes.append(char(ch.unicode() >> 8));
    }
    EXPECT_EQ(readFrom(bytes).sPastaBKP, QStringLiteral("/Cópias"));
}

TEST(DocIni, FileNameMatchesWithoutRegardToCase) {
    QTemporaryDir dir;
    EXPECT_EQ(localizarDocIni(dir.path()), dir.filePath(QStringLiteral("DOC.INI")));
    writeFile(dir.filePath(QStringLiteral("doc.ini")), "[parametros]\nsCNPJ=42\n");
    EXPECT_EQ(localizarDocIni(dir.path()), dir.filePath(QStringLiteral("doc.ini")));
    EXPECT_EQ(lerConfiguracao(localizarDocIni(dir.path())).sCNPJ, u"42");
    writeFile(dir.filePath(QStringLiteral("DOC.INI")), "[parametros]\nsCNPJ=43\n");
    EXPECT_EQ(lerConfiguracao(localizarDocIni(dir.path())).sCNPJ, u"43");
}

// The DOC.INI the package installs: every key present with its default, each with a
// comment of its own above it (a comment on the value's line would become part of it).
TEST(DocIni, PackagedFileHoldsTheDefaults) {
    const QString path = sourcePath(QStringLiteral("packaging/DOC.INI"));
    const TConfiguracao c = lerConfiguracao(path);
    const TConfiguracao d = configuracaoPadrao();
    for (const char* key : {"sPastaNFE", "sPastaBKP", "sCNPJ", "sVirgula", "sLocalXML"})
        EXPECT_EQ(valueOf(c, key), valueOf(d, key)) << key;

    const QStringList lines = QString::fromUtf8(readFile(path)).split(u'\n');
    int keys = 0;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (lines[i].startsWith(u';') || !lines[i].contains(u'='))
            continue;
        ++keys;
        EXPECT_TRUE(i > 0 && lines[i - 1].startsWith(u';')) << lines[i].toStdString();
    }
    EXPECT_EQ(keys, 5);
}
