// The client against a scripted server: for each case, the exact commands that must reach
// the server and the outcome the caller sees.

#include "FtpClient.h"
#include "FtpError.h"
#include "ScriptedFtpServer.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Script = std::vector<FtpStep>;
using Act = std::function<QString(FtpClient&)>;

Script operator+(Script a, const Script& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

FtpStep ok(const QByteArray& command, const QByteArray& answer) {
    return on(command, {reply(answer)});
}

const std::vector<FtpAct> kPlainFeat = {reply("211-Features supported:"), reply(" MDTM"),
                                        reply(" SIZE"), reply("211 End FEAT.")};
const std::vector<FtpAct> kUtf8Feat = {reply("211-Features supported:"), reply(" MDTM"),
                                       reply(" UTF8"), reply("211 End FEAT.")};

// A server that knows neither HOST nor CLNT, as most do.
Script handshake(const std::vector<FtpAct>& feat = kPlainFeat) {
    return {connection({reply("220 Scripted server ready.")}),
            ok("HOST [127.0.0.1]", "500 Command \"HOST\" not understood."),
            ok("USER kelvaro", "331 Username ok, send password."),
            ok("PASS segredo1", "230 Login successful."),
            on("FEAT", feat),
            ok("TYPE I", "200 Type set to: Binary."),
            ok("SYST", "215 UNIX Type: L8"),
            ok("TYPE I", "200 Type set to: Binary.")};
}

Script quit() { return {on("QUIT", {reply("221 Goodbye."), closeControl()})}; }

// A name listing around the given NLST exchange.
Script listing(const QByteArray& nlst, const std::vector<FtpAct>& answer) {
    return {ok("TYPE A", "200 Type set to: ASCII."), on("PASV", {pasv()}), on(nlst, answer),
            ok("TYPE I", "200 Type set to: Binary.")};
}

QString describe(const FtpError& e) {
    return QStringLiteral("error %1: %2").arg(e.code()).arg(QString::fromUtf8(e.what()));
}

struct Case {
    const char* name;
    Script script;
    Act act;
    QString expected; // a trailing "*" compares only the beginning
    int readTimeout = 3000;
};

void configure(FtpClient& c, int port, int readTimeout) {
    c.Host = QStringLiteral("127.0.0.1");
    c.Port = port;
    c.Username = QStringLiteral("kelvaro");
    c.Password = QStringLiteral("segredo1");
    c.ReadTimeout = readTimeout;
    c.ConnectTimeout = 3000;
}

void expectOutcome(const QString& got, const QString& expected) {
    if (expected.endsWith(u'*'))
        EXPECT_TRUE(got.startsWith(expected.chopped(1))) << got.toStdString();
    else
        EXPECT_EQ(got.toStdString(), expected.toStdString());
}

std::vector<std::string> texts(const QList<QByteArray>& lines) {
    std::vector<std::string> out;
    for (const QByteArray& l : lines)
        out.push_back(l.toStdString());
    return out;
}

// The server of the case runCases is playing, for a case that waits on it.
ScriptedFtpServer* servidorDoCaso = nullptr;

void runCases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedFtpServer server(c.script);
        servidorDoCaso = &server;
        struct Fim {
            ~Fim() { servidorDoCaso = nullptr; }
        } fim;
        FtpClient client;
        configure(client, server.port(), c.readTimeout);
        QString got;
        try {
            got = c.act(client);
        } catch (const FtpError& e) {
            got = describe(e);
        }
        expectOutcome(got, c.expected);
        EXPECT_EQ(texts(server.finish()), texts(expectedCommands(c.script)));
    }
}

// Runs a step that should fail and describes the failure, so one case can go on after it.
QString failure(const std::function<void()>& step) {
    try {
        step();
    } catch (const FtpError& e) {
        return describe(e);
    }
    return QStringLiteral("no failure");
}

// The text of a socket failure, in the words of the system's current language.
QString systemError(int error) {
    return QStringLiteral("Socket Error # %1\n%2")
        .arg(error)
        .arg(QString::fromLocal8Bit(std::strerror(error)));
}

QString connected(FtpClient& c) { return c.Connected() ? "connected" : "closed"; }

QByteArray preliminaries(int n) {
    QByteArray out;
    for (int i = 0; i < n; ++i)
        out += "150 Opening the data connection.\r\n";
    return out;
}

// The bytes one at a time, 100 ms apart: every single wait is short, the whole is not.
std::vector<FtpAct> drip(const QByteArray& bytes, bool data = false) {
    std::vector<FtpAct> acts;
    for (char b : bytes) {
        acts.push_back(data ? sendData(QByteArray(1, b)) : raw(QByteArray(1, b)));
        acts.push_back(sleepMs(100));
    }
    return acts;
}

// The failure of a step, then whether the connection is still open.
QString failureThenState(FtpClient& c, const std::function<void()>& step) {
    const QString f = failure(step);
    return f + u'|' + connected(c);
}

QString connectAndReport(FtpClient& c) {
    c.Connect();
    return connected(c);
}

} // namespace

TEST(FtpScripted, Handshake) {
    const Script everyExtension = {connection({reply("120 Service ready in a moment."),
                                               reply("220 Serv-U FTP Server v15.1 ready")}),
                                   ok("HOST [127.0.0.1]", "220 Virtual host ready."),
                                   ok("USER kelvaro", "331 User name okay, need password."),
                                   ok("PASS segredo1", "230 User logged in."),
                                   on("FEAT", {reply("211-Extensions supported:"), reply(" MDTM"),
                                               reply(" UTF8"), reply(" CLNT"), reply(" PRET"),
                                               reply(" SITE PSWD;SET;CHMOD"), reply("211 End")}),
                                   ok("CLNT Quarvel", "200 Noted."),
                                   ok("TYPE I", "200 Type set to I."),
                                   ok("SYST", "215 UNIX Type: L8"),
                                   ok("SITE ZONE", "210 UTC-180"),
                                   ok("TYPE I", "200 Type set to I."),
                                   ok("TYPE A", "200 Type set to A."),
                                   ok("PRET NLST x", "200 Ready."),
                                   on("PASV", {pasv()}),
                                   on("NLST x", {reply("150 Here."), acceptData(),
                                                 sendData("a.xml\r\n"), closeData(),
                                                 reply("226 Done.")}),
                                   ok("TYPE I", "200 Type set to I."),
                                   on("QUIT", {reply("221 Goodbye.")})};
    const Script dropOnHost = {connection({reply("220 Ready.")}),
                               on("HOST [127.0.0.1]", {closeControl()}),
                               connection({reply("220 Ready again.")}),
                               ok("USER kelvaro", "331 Password."),
                               ok("PASS segredo1", "230 In."),
                               ok("FEAT", "500 Unknown command."),
                               ok("TYPE I", "200 Ok."),
                               ok("SYST", "215 UNIX"),
                               ok("TYPE I", "200 Ok.")};
    const Script refuseThenDrop = {connection({reply("220 Ready.")}),
                                   on("HOST [127.0.0.1]", {reply("502 No."), closeControl()}),
                                   connection({reply("220 Ready again.")}),
                                   ok("USER kelvaro", "230 In without a password."),
                                   ok("FEAT", "211 No features."),
                                   ok("TYPE I", "200 Ok."),
                                   ok("SYST", "215 UNIX"),
                                   ok("TYPE I", "200 Ok.")};

    runCases({
        {"every extension the client knows", everyExtension,
         // CLNT and UTF8 from the feature list; SITE ZONE for the server the 220 (not the
         // 120) names; PRET before the listing's PASV.
         [](FtpClient& c) {
             c.Connect();
             const QString state = QStringList{c.Utf8() ? "utf8" : "8-bit", connected(c),
                                               c.List(QStringLiteral("x")).join(u',')}
                                       .join(u'|');
             c.Disconnect();
             return state + u'|' + connected(c);
         },
         "utf8|connected|a.xml|closed"},
        {"HOST refused, as most servers do", handshake(), connectAndReport, "connected"},
        {"SITE ZONE from the feature list alone",
         {connection({reply("220 ProFTPD Server ready.")}), ok("HOST [127.0.0.1]", "500 No."),
          ok("USER kelvaro", "230 In."),
          on("FEAT", {reply("211-Features:"), reply(" site\tCHMOD;zone;UTIME"), reply("211 End")}),
          ok("TYPE I", "200 Ok."), ok("SYST", "215 UNIX"), ok("SITE ZONE", "210 UTC-180"),
          ok("TYPE I", "200 Ok.")},
         connectAndReport,
         "connected"},
        {"server hangs up on HOST: once more without it", dropOnHost, connectAndReport,
         "connected"},
        {"server refuses HOST and hangs up; 230 to USER needs no PASS", refuseThenDrop,
         connectAndReport, "connected"},
        {"greeting other than 220: closed without QUIT",
         {connection({reply("500 Go away.")})},
         connectAndReport,
         "error 500: Go away.\r\n"},
        {"421 after a 1xx greeting",
         {connection({reply("120 Soon."), reply("421 Too many users.")})},
         connectAndReport,
         "error 421: Too many users.\r\n"},
        {"binary greeting",
         {connection({raw(QByteArrayLiteral("\x00\x01\x02zz\xff\xfe\r\n"))})},
         connectAndReport,
         "error 0: The FTP server sent a reply without a valid code: \"zz\xc3\xbf\xc3\xbe\""},
        {"login refused: QUIT, then closed",
         {connection({reply("220 Ready.")}), ok("HOST [127.0.0.1]", "500 Unknown."),
          ok("USER kelvaro", "331 Password."), ok("PASS segredo1", "530 Login incorrect."),
          ok("QUIT", "221 Bye.")},
         [](FtpClient& c) { return failureThenState(c, [&] { c.Connect(); }); },
         "error 530: Login incorrect.\r\n|closed"},
        {"account asked for: refused with that reply",
         {connection({reply("220 Ready.")}), ok("HOST [127.0.0.1]", "500 Unknown."),
          ok("USER kelvaro", "331 Password."), ok("PASS segredo1", "332 Need account."),
          ok("QUIT", "221 Bye.")},
         connectAndReport,
         "error 332: Need account.\r\n"},
        {"TLS: clear text after the 234 to AUTH TLS is no protected reply",
         {connection({reply("220 Ready.")}), ok("HOST [127.0.0.1]", "500 Unknown."),
          on("AUTH TLS", {raw("234 Proceed with negotiation.\r\n230 Already logged in.\r\n")})},
         [](FtpClient& c) {
             c.UseTls = true;
             return failureThenState(c, [&] { c.Connect(); });
         },
         "error 0: O servidor FTP enviou texto em claro depois de aceitar o AUTH TLS.|closed"},
        {"TLS: a server that accepts AUTH TLS and never starts it is given the connect limit",
         {connection({reply("220 Ready.")}), ok("HOST [127.0.0.1]", "500 Unknown."),
          on("AUTH TLS", {reply("234 Proceed."), sleepMs(4000), closeControl()})},
         [](FtpClient& c) {
             c.UseTls = true;
             c.ConnectTimeout = 300;
             QElapsedTimer t;
             t.start();
             const QString f = failureThenState(c, [&] { c.Connect(); });
             // Well short of the server's 4 s: a loaded machine may take a second for TLS.
             return f + (t.elapsed() < 3000 ? "|in time" : "|late");
         },
         "error 0: Read timed out.|closed|in time"},
        {"TYPE I refused: QUIT",
         {connection({reply("220 Ready.")}), ok("HOST [127.0.0.1]", "500 Unknown."),
          ok("USER kelvaro", "230 In."), ok("FEAT", "500 Unknown."),
          ok("TYPE I", "504 Not implemented."), ok("QUIT", "221 Bye.")},
         connectAndReport,
         "error 504: Not implemented.\r\n"},
    });
}

// A limit holds for the operation as a whole, not for each wait within it.
TEST(FtpScripted, ADrippingServerCannotStretchAnOperation) {
    std::vector<FtpAct> slowListing = {reply("150 Here."), acceptData()};
    for (const FtpAct& a : drip("a.xml\r\nb.xml\r\n", true))
        slowListing.push_back(a);
    slowListing.push_back(closeData());
    slowListing.push_back(reply("226 Done."));
    const auto timed = [](std::function<void(FtpClient&)> step) {
        return [step](FtpClient& c) {
            QElapsedTimer t;
            t.start();
            const QString f = failure([&] { step(c); });
            return f + (t.elapsed() < 1000 ? QStringLiteral("|in time")
                                           : QStringLiteral("|after %1 ms").arg(t.elapsed()));
        };
    };
    runCases({
        {"the greeting",
         {connection(drip("220 At last.\r\n"))},
         timed([](FtpClient& c) { c.Connect(); }),
         "error 0: Read timed out.|in time",
         400},
        {"a reply", handshake() + Script{on("CWD x", drip("250 Changed.\r\n"))},
         [timed](FtpClient& c) {
             c.Connect();
             return timed([](FtpClient& client) { client.ChangeDir("x"); })(c);
         },
         "error 0: Read timed out.|in time", 400},
        {"listing data", handshake() + listing("NLST x", slowListing),
         [](FtpClient& c) {
             c.Connect();
             // TYPE I waits for the server to finish dripping, and fails in turn.
             return failure([&] { c.List("x"); });
         },
         "error 0: Read timed out.", 400},
    });
}

TEST(FtpScripted, ConnectWaitIsBounded) {
    // A listener whose accept queue is full drops new connection attempts, as an
    // unreachable host would.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(fd, 0), 0);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i) {
        fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        ::connect(fillers.back(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    }

    FtpClient c;
    configure(c, ntohs(a.sin_port), 3000);
    c.ConnectTimeout = 300;
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(failure([&] { c.Connect(); }), "error 0: " + systemError(ETIMEDOUT));
    EXPECT_LT(t.elapsed(), 2000);
    EXPECT_FALSE(c.Connected());

    ::close(fd); // nothing listens there now
    EXPECT_EQ(failure([&] { c.Connect(); }), "error 0: " + systemError(ECONNREFUSED));
    for (int f : fillers)
        ::close(f);
}

TEST(FtpScripted, Commands) {
    runCases({
        {"folder commands and their accepted codes",
         handshake() + Script{ok("CWD /public_html", "250 Okay."), ok("MKD arqs", "257 Created."),
                              ok("CWD arqs", "257 Odd but accepted."),
                              ok("MKD arqs", "550 File exists."),
                              ok("SITE CHMOD 771 arqs", "500 Unknown.")},
         [](FtpClient& c) {
             c.Connect();
             c.ChangeDir("/public_html");
             c.MakeDir("arqs");
             c.ChangeDir("arqs");
             const QString refused = failure([&] { c.MakeDir("arqs"); });
             const int chmod = c.SendCmd("SITE CHMOD 771 arqs");
             return refused + u'|' + QString::number(chmod) + u'|' + connected(c);
         },
         "error 550: File exists.\r\n|500|connected"},
        {"421 to a command that takes any reply closes at once",
         handshake() + Script{ok("SITE CHMOD 771 arqs", "421 Timeout, closing.")},
         [](FtpClient& c) {
             c.Connect();
             const QString f = failure([&] { c.SendCmd("SITE CHMOD 771 arqs"); });
             c.Disconnect(); // sends nothing: already closed
             return f + u'|' + connected(c);
         },
         "error 421: Timeout, closing.\r\n|closed"},
        {"line breaks in a name are refused before anything is sent",
         handshake() + Script{ok("CWD ok", "250 Okay.")},
         [](FtpClient& c) {
             c.Connect();
             QStringList out;
             for (const char* name : {"a\r\nDELE x", "b\n", "c\rd", "nul\0x"})
                 out << failure(
                     [&] { c.MakeDir(QString::fromLatin1(name, name[0] == 'n' ? 5 : -1)); });
             out << failure([&] { c.List("x\r\nDELE y"); });
             out << failure([&] { c.Put(sourcePath("scripts/ftpserver.py"), "y\nDELE z"); });
             c.ChangeDir("ok");
             return out.join(u'|') + u'|' + connected(c);
         },
         "error 0: FTP command not sent: its text holds a line break or a NUL character: "
         "\"MKD a\\r\\nDELE x\"|error 0: FTP command not sent: its text holds a line break or a "
         "NUL character: \"MKD b\\n\"|error 0: FTP command not sent: its text holds a line break "
         "or a NUL character: \"MKD c\\rd\"|error 0: FTP command not sent: its text holds a line "
         "break or a NUL character: \"MKD nul\\x00x\"|error 0: FTP command not sent: its text "
         "holds a line break or a NUL character: \"NLST x\\r\\nDELE y\"|error 0: FTP command not "
         "sent: its text holds a line break or a NUL character: \"STOR y\\nDELE z\"|connected"},
        {"no reply in time: Read timed out, the connection stays open",
         handshake() +
             Script{on("CWD slow", {sleepMs(700), reply("250 Late.")}), ok("QUIT", "221 Bye.")},
         [](FtpClient& c) {
             c.Connect();
             QElapsedTimer t;
             t.start();
             const QString f = failure([&] { c.ChangeDir("slow"); });
             const bool quick = t.elapsed() < 1500;
             const QString state = connected(c);
             c.Disconnect();
             return f + u'|' + state + (quick ? "|quick" : "|slow");
         },
         "error 0: Read timed out.|connected|quick", 300},
        {"reset after unread data: QUIT meets a broken pipe, an error and no signal",
         handshake() + Script{on("NOOP", {reply("200 Ok."), reply("421 Idle, closing."),
                                          sleepMs(50), resetControl()})},
         [](FtpClient& c) {
             c.Connect();
             c.SendCmd("NOOP");
             // The reset is on the client's side once the server has sent it.
             if (!servidorDoCaso->waitPlayed())
                 return QStringLiteral("the server did not reset the connection");
             return failureThenState(c, [&] { c.Disconnect(); });
         },
         "error 0: " + systemError(EPIPE) + "|closed"},
        {"server closes the control connection",
         handshake() + Script{on("CWD x", {closeControl()})},
         [](FtpClient& c) {
             c.Connect();
             return failureThenState(c, [&] { c.ChangeDir("x"); });
         },
         "error 0: Connection Closed Gracefully.|closed"},
        {"a reply without a code", handshake() + Script{ok("CWD x", "hello there")},
         [](FtpClient& c) {
             c.Connect();
             return failureThenState(c, [&] { c.ChangeDir("x"); });
         },
         "error 0: The FTP server sent a reply without a valid code: \"hello there\"|closed"},
        {"an endless line without LF",
         handshake() + Script{on("CWD x", {raw("250 " + QByteArray(3 * 1024 * 1024, 'A'))})},
         [](FtpClient& c) {
             c.Connect();
             return failureThenState(c, [&] { c.ChangeDir("x"); });
         },
         "error 0: The FTP server sent a reply line longer than 65536 bytes.|closed"},
        {"a 10 MB reply",
         handshake() +
             Script{on("CWD x", {raw("250-start\r\n" + QByteArray(10 * 1024 * 1024, '\n'))})},
         [](FtpClient& c) {
             c.Connect();
             return failureThenState(c, [&] { c.ChangeDir("x"); });
         },
         "error 0: The FTP server sent a reply longer than 1048576 bytes.|closed"},
        {"binary noise after a valid first line is just text",
         handshake() + Script{on("CWD x", {raw("550-\x01\x02\xff\r\n\x7f\x80\r\n550 no\r\n")})},
         [](FtpClient& c) {
             c.Connect();
             return failureThenState(c, [&] { c.ChangeDir("x"); });
         },
         QString::fromUtf8("error 550: \x01\x02\xc3\xbf\r\n\x7f\xc2\x80\r\nno\r\n|connected")},
    });
}

TEST(FtpScripted, Encodings) {
    const QString accented = QString::fromUtf8("nota ação");
    runCases({
        {"8-bit: Latin-1 bytes out and in; a character above 255 is refused",
         handshake() + Script{ok("MKD nota a\xe7\xe3o", "550 \"nota a\xe7\xe3o\" exists.")} +
             listing("NLST x", {reply("150 Here."), acceptData(), sendData("ol\xe1\r\n"),
                                closeData(), reply("226 Done.")}),
         [=](FtpClient& c) {
             c.Connect();
             const QString reply = failure([&] { c.MakeDir(accented); });
             const QString listed = c.List("x").join(u',');
             return reply + u'|' + listed + u'|' +
                    failure([&] { c.MakeDir(QString::fromUtf8("nota€")); });
         },
         QString::fromUtf8("error 550: \"nota ação\" exists.\r\n|olá|error 0: FTP command not sent: \"MKD "
                           "nota€\" holds characters that the connection's 8-bit encoding "
                           "cannot carry")},
        {"UTF8 in FEAT: UTF-8 from then on, until a reconnect asks again",
         handshake(kUtf8Feat) + Script{ok("MKD nota a\xc3\xa7\xc3\xa3o \xe2\x82\xac", "257 Ok.")} +
             listing("NLST x",
                     {reply("150 Here."), acceptData(), sendData("ol\xc3\xa1\r\n\xe2\x82\xac\r\n"),
                      closeData(), reply("226 Done.")}) +
             quit() + handshake() + Script{ok("MKD a\xe7\xe3o", "257 Ok.")},
         [=](FtpClient& c) {
             c.Connect();
             c.MakeDir(accented + QString::fromUtf8(" €"));
             const QString listed = c.List("x").join(u',');
             c.Disconnect();
             c.Connect();
             c.MakeDir(QString::fromUtf8("ação"));
             return listed + u'|' + (c.Utf8() ? "utf8" : "8-bit");
         },
         QString::fromUtf8("olá,€|8-bit")},
    });
}

TEST(FtpScripted, Listings) {
    const auto listed = [](const QString& name) {
        return [name](FtpClient& c) {
            c.Connect();
            QString result;
            try {
                const QStringList lines = c.List(name);
                result = QStringLiteral("%1 lines: %2").arg(lines.size()).arg(lines.join(u'|'));
            } catch (const FtpError& e) {
                result = describe(e);
            }
            return result + u'|' + connected(c);
        };
    };
    const auto data = [](const QByteArray& bytes) {
        return std::vector<FtpAct>{reply("125 Data connection already open."), acceptData(),
                                   sendData(bytes), closeData(), reply("226 Transfer complete.")};
    };
    runCases({
        {"two names", handshake() + listing("NLST /arqs/1", data("a.xml\r\nb.xml\r\n")),
         listed("/arqs/1"), "2 lines: a.xml|b.xml|connected"},
        {"no data: no lines", handshake() + listing("NLST x", data("")), listed("x"),
         "0 lines: |connected"},
        {"a single CR LF: one empty line", handshake() + listing("NLST x", data("\r\n")),
         listed("x"), "1 lines: |connected"},
        {"empty name: NLST alone", handshake() + listing("NLST", data("a\n")), listed(""),
         "1 lines: a|connected"},
        {"450: empty, no data read, TYPE I still sent",
         handshake() + listing("NLST x", {reply("450 No files found.")}), listed("x"),
         "0 lines: |connected"},
        {"550: refused, TYPE I sent first",
         handshake() + listing("NLST x", {reply("550 No such file or directory.")}), listed("x"),
         "error 550: No such file or directory.\r\n|connected"},
        {"226 without a 1xx reply is a refusal",
         handshake() + listing("NLST x", {reply("226 Nothing to send.")}), listed("x"),
         "error 226: Nothing to send.\r\n|connected"},
        {"final reply refused",
         handshake() + listing("NLST x", {reply("150 Here."), acceptData(), sendData("a\r\n"),
                                          closeData(), reply("451 Local error.")}),
         listed("x"), "error 451: Local error.\r\n|connected"},
        {"PRET announced: sent before PASV",
         handshake({reply("211-Features:"), reply(" PRET"), reply("211 End")}) +
             Script{ok("TYPE A", "200 A."), ok("PRET NLST x", "200 Ready for NLST."),
                    on("PASV", {pasv()}), on("NLST x", data("a\r\n")), ok("TYPE I", "200 I.")},
         listed("x"), "1 lines: a|connected"},
        {"data connection cannot be opened: fails at once, NLST never sent",
         handshake() +
             Script{ok("TYPE A", "200 A."), on("PASV", {pasvClosed()}), ok("TYPE I", "200 I.")},
         listed("x"), "error 0: " + systemError(ECONNREFUSED) + "|connected"},
        {"unusable PASV numbers",
         handshake() + Script{ok("TYPE A", "200 A."),
                              ok("PASV", "227 Entering Passive Mode (127,0,0,1,999,1)."),
                              ok("TYPE I", "200 I.")},
         listed("x"),
         "error 0: The FTP server sent an unusable passive address: \"Entering Passive Mode "
         "(127,0,0,1,999,1).\"|connected"},
        {"data that never comes: bounded wait",
         handshake() + listing("NLST x", {reply("150 Here."), acceptData()}), listed("x"),
         "error 0: Read timed out.|connected", 400},
        {"server closes in the middle of the listing",
         handshake() + Script{ok("TYPE A", "200 A."), on("PASV", {pasv()}),
                              on("NLST x", {reply("150 Here."), acceptData(),
                                            sendData("a.xml\r\nb.x"), closeControl()})},
         listed("x"), "error 0: Connection Closed Gracefully.|closed"},
        {"TYPE I failing after a refused listing is the error passed on",
         handshake() + Script{ok("TYPE A", "200 A."), on("PASV", {pasv()}),
                              ok("NLST x", "550 Nope."), ok("TYPE I", "421 Closing.")},
         listed("x"), "error 421: Closing.\r\n|closed"},
    });
}

TEST(FtpScripted, Uploads) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QByteArray binary;
    for (int i = 0; i < 1024; ++i)
        binary.append(char(i % 256));
    binary += "\r\n\n\r\x1a end";
    const QString binaryPath = dir.filePath("nota.xml");
    writeFile(binaryPath, binary);
    const QString emptyPath = dir.filePath("vazia.xml");
    writeFile(emptyPath, {});
    const QString bigPath = dir.filePath("grande.xml");
    writeFile(bigPath, QByteArray(16 * 1024 * 1024, 'x'));

    QFile missing(dir.filePath("falta.xml"));
    EXPECT_FALSE(missing.open(QIODevice::ReadOnly));
    const QString missingReason = missing.errorString(); // the system's words for it

    const auto put = [](QString local, QString remote) {
        return [local, remote](FtpClient& c) {
            c.Connect();
            return failureThenState(c, [&] { c.Put(local, remote); });
        };
    };
    const Script stored = {on("PASV", {pasv()}),
                           on("STOR nota.xml", {acceptData(), reply("150 Ok to send data."),
                                                receiveData(), reply("226 Transfer complete.")})};

    {
        SCOPED_TRACE("file bytes arrive unchanged");
        ScriptedFtpServer server(handshake() + stored);
        FtpClient c;
        configure(c, server.port(), 3000);
        c.Connect();
        c.Put(binaryPath, "nota.xml");
        EXPECT_EQ(texts(server.finish()), texts(expectedCommands(handshake() + stored)));
        EXPECT_EQ(server.uploaded(), binary);
        EXPECT_EQ(server.dataConnections(), 1);
    }

    runCases({
        {"empty file",
         handshake() + Script{on("PASV", {pasv()}),
                              on("STOR vazia.xml", {acceptData(), reply("125 Go."), receiveData(),
                                                    reply("226 Done.")})},
         put(emptyPath, "vazia.xml"), "no failure|connected"},
        {"PRET announced",
         handshake({reply("211-Features:"), reply(" PRET"), reply("211 End")}) +
             Script{ok("PRET STOR nota.xml", "200 Ready.")} + stored,
         put(binaryPath, "nota.xml"), "no failure|connected"},
        {"553 to STOR: refused, no final reply read",
         handshake() + Script{on("PASV", {pasv()}),
                              on("STOR nota.xml", {acceptData(), reply("553 Not allowed.")})},
         put(binaryPath, "nota.xml"), "error 553: Not allowed.\r\n|connected"},
        {"final reply refused",
         handshake() + Script{on("PASV", {pasv()}),
                              on("STOR nota.xml", {acceptData(), reply("150 Go."), receiveData(),
                                                   reply("452 Disk full.")})},
         put(binaryPath, "nota.xml"), "error 452: Disk full.\r\n|connected"},
        {"local file missing: nothing sent", handshake(),
         put(dir.filePath("falta.xml"), "falta.xml"),
         "error 0: Cannot open file \"" + dir.filePath("falta.xml") + "\". " + missingReason +
             "|connected"},
        {"data connection cannot be opened: the answer to STOR is taken",
         handshake() + Script{on("PASV", {pasvClosed()}),
                              ok("STOR nota.xml", "425 Can't open data connection.")},
         put(binaryPath, "nota.xml"), "error 425: Can't open data connection.\r\n|connected"},
        {"server resets the data connection mid-transfer: an error, no signal",
         handshake() +
             Script{on("PASV", {pasv()}),
                    on("STOR grande.xml", {acceptData(), reply("150 Go."), receiveSome(65536),
                                           resetData(), closeControl()})},
         put(bigPath, "grande.xml"), "error 0: Socket Error # *"},
        {"server stops the upload and says why",
         handshake() +
             Script{on("PASV", {pasv()}),
                    on("STOR grande.xml", {acceptData(), reply("150 Go."), receiveSome(65536),
                                           resetData(), reply("552 Quota exceeded.")})},
         put(bigPath, "grande.xml"), "error 552: Quota exceeded.\r\n|connected"},
        {"16 preliminary replies, then the answer: taken",
         handshake() + Script{on("PASV", {pasvClosed()}),
                              on("STOR nota.xml", {raw(preliminaries(16)),
                                                   reply("425 Can't open data connection.")})},
         put(binaryPath, "nota.xml"), "error 425: Can't open data connection.\r\n|connected"},
        {"an endless run of preliminary replies ends the upload and the connection",
         handshake() +
             Script{on("PASV", {pasvClosed()}), on("STOR nota.xml", {raw(preliminaries(200000))})},
         put(binaryPath, "nota.xml"),
         "error 0: The FTP server sent more than 16 preliminary (1xx) replies in a row.|closed"},
        {"server closes the data connection early: its final reply tells",
         handshake() + Script{on("PASV", {pasv()}),
                              on("STOR nota.xml", {acceptData(), reply("150 Go."), closeData(),
                                                   reply("426 Connection closed.")})},
         put(binaryPath, "nota.xml"), "error 426: Connection closed.\r\n|connected"},
    });
}

// Whatever address a PASV reply names, the data goes to the control connection's peer: a
// hostile server (or anyone on the clear-text path) could otherwise send it to any host and
// port. The named addresses must never be reached, so this runs in a network namespace of its
// own where the server has a public-looking documentation address (198.51.100.7) and only
// loopback exists: a connection to any other address fails, and nothing leaves the machine.
TEST(FtpScripted, DataGoesToTheControlPeerWhateverPasvNames) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("unshare"),
            {QStringLiteral("--net"), QStringLiteral("sh"), QStringLiteral("-c"),
             QStringLiteral(
                 "/usr/sbin/ip link set lo up && /usr/sbin/ip addr add 198.51.100.7/32 dev lo && "
                 "exec \"$0\" --gtest_also_run_disabled_tests "
                 "--gtest_filter=FtpNamespace.DISABLED_PasvAddressIgnored"),
             QCoreApplication::applicationFilePath()});
    ASSERT_TRUE(p.waitForFinished(60000));
    const QString out = QString::fromLocal8Bit(p.readAll());
    EXPECT_EQ(p.exitCode(), 0) << out.toStdString();
    EXPECT_TRUE(out.contains(QLatin1String("[  PASSED  ] 1 test"))) << out.toStdString();
}

// Runs only inside the namespace made above.
TEST(FtpNamespace, DISABLED_PasvAddressIgnored) {
    // A private address behind NAT, a third routable host, this machine, its loopback.
    for (const char* named : {"192,168,1,5", "203,0,113,9", "0,0,0,0", "127,0,0,1"}) {
        SCOPED_TRACE(named);
        const Script script = Script{
            connection({reply("220 Ready.")}),
            ok("HOST [198.51.100.7]", "500 Unknown."),
            ok("USER kelvaro", "230 In."),
            ok("FEAT", "500 Unknown."),
            ok("TYPE I", "200 I."),
            ok("SYST", "215 UNIX"),
            ok("TYPE I", "200 I."),
            ok("TYPE A", "200 A."),
            on("PASV", {pasvAs(QByteArray("227 Entering Passive Mode (") + named + ",19,137)",
                               "198.51.100.7", 5001)}),
            on("NLST x", {reply("150 Here."), acceptData(), sendData("a.xml\r\n"), closeData(),
                          reply("226 Done.")}),
            ok("TYPE I", "200 I.")};
        ScriptedFtpServer server(script, "198.51.100.7");
        FtpClient c;
        configure(c, server.port(), 3000);
        c.Host = QStringLiteral("198.51.100.7");
        c.ConnectTimeout = 1000;
        c.Connect();
        EXPECT_EQ(failure([&] { EXPECT_EQ(c.List("x"), QStringList{"a.xml"}); }).toStdString(),
                  "no failure");
        EXPECT_EQ(texts(server.finish()), texts(expectedCommands(script)));
        EXPECT_EQ(server.dataConnections(), 1);
    }
}
