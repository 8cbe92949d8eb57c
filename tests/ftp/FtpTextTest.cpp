// The text side of the FTP conversation: replies, PASV addresses, listing data, encodings.

#include "FtpError.h"
#include "FtpReply.h"
#include "LineBuffer.h"
#include "PassiveEndpoint.h"
#include "ReplyAssembler.h"

#include <gtest/gtest.h>

using namespace ftp;

namespace {

struct ReplyCase {
    const char* name;
    QStringList lines; // trimmed, non-empty lines as the client hands them over
    int consumed;      // lines that make up the reply; -1: the first line is refused
    int code;
    QStringList text;
};

} // namespace

TEST(FtpText, RepliesAreAssembledFromTheirLines) {
    const ReplyCase cases[] = {
        {"single line", {"250 Okay."}, 1, 250, {"Okay."}},
        {"code alone", {"200"}, 1, 200, {""}},
        {"tab as separator", {"226\tDone"}, 1, 226, {"Done"}},
        {"multi-line FEAT",
         {"211-Features:", "MDTM", "UTF8", "211 End", "250 next reply"},
         4,
         211,
         {"Features:", "MDTM", "UTF8", "End"}},
        {"continuation lines carrying the code",
         {"230-Welcome", "230-to the host", "230 Logged in."},
         3,
         230,
         {"Welcome", "to the host", "Logged in."}},
        {"bare code ends a multi-line reply", {"211-x", "211"}, 2, 211, {"x", ""}},
        {"other code or no space does not end it",
         {"211-x", "212 y", "211-z", "2110", "211 end"},
         5,
         211,
         {"x", "212 y", "z", "", "end"}},
        {"no code", {"hello world"}, -1, 0, {}},
        {"two digits", {"22 ready"}, -1, 0, {}},
        {"four digits", {"2200 ready"}, -1, 0, {}},
        {"code out of range", {"600 x"}, -1, 0, {}},
        {"binary", {QString::fromLatin1("\x01\xff\x80\x02 zz")}, -1, 0, {}},
        {"non-ASCII digits", {QString::fromUtf8("٢٢٠ ready")}, -1, 0, {}},
    };
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE(c.name);
        ReplyAssembler a;
        if (c.consumed < 0) {
            EXPECT_THROW(a.add(c.lines.first()), FtpError);
            continue;
        }
        int used = 0;
        while (used < c.lines.size() && !a.add(c.lines.at(used++))) {
        }
        EXPECT_EQ(used, c.consumed);
        EXPECT_EQ(a.reply().code, c.code);
        EXPECT_EQ(a.reply().text, c.text);
    }
}

TEST(FtpText, RefusalMessageIsEachTextLineWithCrLf) {
    FtpReply r{550, {"No such file.", "Second line"}};
    EXPECT_EQ(r.message(), QStringLiteral("No such file.\r\nSecond line\r\n"));
}

TEST(FtpText, LineBufferHandsOutLinesAndKeepsPartialOnes) {
    LineBuffer b;
    b.append("220 a\r\n\r\n230", 12);
    EXPECT_EQ(b.takeLine(), QByteArray("220 a"));
    EXPECT_EQ(b.takeLine(), QByteArray(""));
    EXPECT_EQ(b.takeLine(), std::nullopt);
    EXPECT_EQ(b.size(), 3);
    b.append(" b\r\r\n", 5);
    EXPECT_EQ(b.takeLine(), QByteArray("230 b\r")); // only the CR right before LF goes
    EXPECT_TRUE(b.isEmpty());
}

TEST(FtpText, PassiveAddresses) {
    struct Case {
        const char* line;
        const char* address; // nullptr: refused
        int port;
    };
    const Case cases[] = {
        {"Entering Passive Mode (127,0,0,1,117,86).", "127.0.0.1", 30038},
        {"Entering Passive Mode (192,168,1,5,19,137)", "192.168.1.5", 5001},
        {"Passive 10,1,2,3,0,21", "10.1.2.3", 21},       // no parentheses: after the last space
        {"Mode (127, 0, 0, 1, 4, 1", "127.0.0.1", 1025}, // no ")": to the end
        {"Mode (127,0,0,1,4,1,99)", "127.0.0.1", 1025},  // extra fields ignored
        {"Mode (127,0,0,1,4)", nullptr, 0},
        {"Mode ()", nullptr, 0},
        {"Entering Passive Mode", nullptr, 0},
        {"Mode (127,0,0,1,256,1)", nullptr, 0},
        {"Mode (127,0,0,1,99999999999999999999,1)", nullptr, 0},
        {"Mode (127,0,0,1,-1,1)", nullptr, 0},
        {"Mode (300,0,0,1,4,1)", nullptr, 0},
        {"Mode (a,b,c,d,4,1)", nullptr, 0},
        {"Mode (127,0,0,1,0,0)", nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        if (!c.address) {
            EXPECT_THROW(parsePasv(QString::fromLatin1(c.line)), FtpError);
            continue;
        }
        const PassiveEndpoint e = parsePasv(QString::fromLatin1(c.line));
        EXPECT_EQ(e.address, QString::fromLatin1(c.address));
        EXPECT_EQ(e.port, c.port);
    }
}

TEST(FtpText, ListingDataSplitsAtAnyLineBreak) {
    struct Case {
        const char* data;
        QStringList lines;
    };
    const Case cases[] = {
        {"", {}},
        {"\r\n", {""}},
        {"a.xml\r\nb.xml\r\n", {"a.xml", "b.xml"}},
        {"a\nb", {"a", "b"}},
        {"a\rb\r", {"a", "b"}},
        {"a\n\nb\n", {"a", "", "b"}},
        {"a\r\r\nb", {"a", "", "b"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(splitListing(QString::fromLatin1(c.data)), c.lines) << c.data;
}

TEST(FtpText, CommandsAreEncodedWholeOrNotAtAll) {
    const QString accented = QString::fromUtf8("ação é");
    EXPECT_EQ(encode(accented, Encoding::Latin1), QByteArray("a\xe7\xe3o \xe9"));
    EXPECT_EQ(encode(accented, Encoding::Utf8), accented.toUtf8());
    EXPECT_EQ(encode(QString::fromUtf8("nota€.xml"), Encoding::Latin1), std::nullopt);
    EXPECT_EQ(encode(QString::fromUtf8("nota€.xml"), Encoding::Utf8),
              QByteArray("nota\xe2\x82\xac.xml"));
    const QChar lone[] = {QChar(u'a'), QChar(char16_t(0xD800)), QChar(u'b')};
    EXPECT_EQ(encode(QString(lone, 3), Encoding::Utf8), std::nullopt);
    EXPECT_EQ(decode("a\xe7\xe3o", Encoding::Latin1), QString::fromUtf8("ação"));
    EXPECT_EQ(trimBlanks(QString::fromLatin1("\t\x01 x y \x7f\r ")), QStringLiteral("x y \x7f"));
}
