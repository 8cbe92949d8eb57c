// The built program started as a user starts it: a copy of the executable with a DOC.INI
// beside it and a runtime folder of its own.
#include "TestSupport.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace {

class Programa {
public:
    Programa() {
        EXPECT_TRUE(m_dir.isValid());
        m_exe = m_dir.filePath(QStringLiteral("quarvel"));
        EXPECT_TRUE(QFile::copy(QStringLiteral(QUARVEL_EXE), m_exe));
        QDir(m_dir.path()).mkdir(QStringLiteral("run"));
        QFile::setPermissions(runtime(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        // The folder is missing on purpose: the window logs it at start-up.
        writeFile(m_dir.filePath(QStringLiteral("DOC.INI")),
                  "[Parametros]\nsPastaNFE=" + m_dir.filePath("NFE-inexistente").toUtf8() +
                      "\nsPastaBKP=" + m_dir.filePath("BKP").toUtf8() + "\n");
        m_env = QProcessEnvironment::systemEnvironment();
        m_env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime());
        m_env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    }
    ~Programa() {
        for (auto& p : m_processos) {
            p->kill();
            p->waitForFinished(5000);
        }
    }

    QString runtime() const { return m_dir.filePath(QStringLiteral("run")); }
    QProcessEnvironment& env() { return m_env; }

    QProcess& iniciar(const QStringList& args = {}) {
        m_processos.push_back(std::make_unique<QProcess>());
        QProcess& p = *m_processos.back();
        p.setProcessEnvironment(m_env);
        p.start(m_exe, args);
        EXPECT_TRUE(p.waitForStarted(10000));
        return p;
    }

    // Waits until the copy listens for later ones.
    bool pronto() const {
        QDeadlineTimer prazo(20000);
        while (!prazo.hasExpired()) {
            if (QFileInfo(runtime() + QStringLiteral("/quarvel.socket")).exists())
                return true;
            QTest::qWait(50);
        }
        return false;
    }

    // A later start: its exit code, or -1 when it did not end by itself.
    int outraVez(const QStringList& args = {}) {
        QProcess& p = iniciar(args);
        if (!p.waitForFinished(20000) || p.exitStatus() != QProcess::NormalExit)
            return -1;
        return p.exitCode();
    }

private:
    QTemporaryDir m_dir;
    QString m_exe;
    QProcessEnvironment m_env;
    std::vector<std::unique_ptr<QProcess>> m_processos;
};

bool esperar(const std::function<bool()>& cond, int ms = 20000) {
    QDeadlineTimer prazo(ms);
    while (!cond()) {
        if (prazo.hasExpired())
            return false;
        QTest::qWait(100);
    }
    return true;
}

// Whether the copy wrote the start-up failure of its DOC.INI (a missing folder) to standard
// error, as a line with date and time.
bool logou(QProcess& p, QByteArray* saida = nullptr) {
    const QRegularExpression linha(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d "
                                                  "quarvel: .*NFE-inexistente.*$"),
                                   QRegularExpression::MultilineOption);
    QByteArray err;
    const bool ok = esperar([&] {
        p.waitForReadyRead(100);
        err += p.readAllStandardError();
        return linha.match(QString::fromUtf8(err)).hasMatch();
    });
    if (saida)
        *saida = err;
    return ok;
}

} // namespace

TEST(Instance, CrashedCopyBlocksNothingAndLaterStartsEnd) {
    Programa prog;
    QProcess& primeira = prog.iniciar();
    ASSERT_TRUE(prog.pronto());
    EXPECT_EQ(prog.outraVez(), 0);
    EXPECT_EQ(prog.outraVez({QStringLiteral("--bandeja")}), 0);
    EXPECT_EQ(primeira.state(), QProcess::Running);

    // Killed outright: its lock file and socket stay behind.
    primeira.kill();
    ASSERT_TRUE(primeira.waitForFinished(10000));
    ASSERT_TRUE(QFileInfo::exists(prog.runtime() + QStringLiteral("/quarvel.socket")));
    QProcess& nova = prog.iniciar();
    // Past the check: its window was made (and logged the missing folder).
    EXPECT_TRUE(logou(nova)) << nova.readAllStandardError().toStdString();
    EXPECT_EQ(nova.state(), QProcess::Running);
    // The new copy is the one that answers now.
    EXPECT_EQ(prog.outraVez(), 0);
    EXPECT_EQ(nova.state(), QProcess::Running);
}

TEST(Instance, ErrorLogLinesGoToStandardErrorWithDateAndTime) {
    Programa prog;
    QProcess& p = prog.iniciar();
    QByteArray err;
    EXPECT_TRUE(logou(p, &err)) << err.toStdString();
    // The phase line of a failure at start-up is empty: nothing to keep of it.
    EXPECT_FALSE(QString::fromUtf8(err).contains(
        QRegularExpression(QStringLiteral("quarvel: $"), QRegularExpression::MultilineOption)));
}

TEST(Instance, UnknownOptionIsRefused) {
    Programa prog;
    EXPECT_EQ(prog.outraVez({QStringLiteral("--tray")}), 2);
    // It never took the place of a first copy.
    EXPECT_FALSE(QFileInfo::exists(prog.runtime() + QStringLiteral("/quarvel.socket")));
}

// On a real X display with a notification area: the autostart starts hidden with its tray
// icon, and a start from the menu brings the first copy's window up.
TEST(Instance, SecondStartShowsTheHiddenFirstCopy) {
    for (const char* tool : {"Xvfb", "wmsystemtray", "xdotool"})
        ASSERT_FALSE(QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            << tool << " not found: run scripts/setup";
    QProcess xvfb;
    xvfb.start(QStringLiteral("Xvfb"),
               {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                QStringLiteral("0"), QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"),
                QStringLiteral("tcp")});
    ASSERT_TRUE(xvfb.waitForStarted(10000));
    QByteArray numero;
    ASSERT_TRUE(esperar([&] {
        xvfb.waitForReadyRead(100);
        numero += xvfb.readAllStandardOutput();
        return numero.endsWith('\n');
    }));
    const QString display = u':' + QString::fromLatin1(numero.trimmed());
    QProcessEnvironment xenv = QProcessEnvironment::systemEnvironment();
    xenv.insert(QStringLiteral("DISPLAY"), display);
    xenv.remove(QStringLiteral("QT_QPA_PLATFORM"));
    QProcess bandeja;
    bandeja.setProcessEnvironment(xenv);
    bandeja.start(QStringLiteral("wmsystemtray"), {QStringLiteral("--non-wmaker")});
    ASSERT_TRUE(bandeja.waitForStarted(10000));
    auto janelas = [&](const QStringList& criterio) {
        QProcess x;
        x.setProcessEnvironment(xenv);
        x.start(QStringLiteral("xdotool"),
                QStringList{QStringLiteral("search"), QStringLiteral("--onlyvisible")} + criterio);
        x.waitForFinished(10000);
        return QString::fromLatin1(x.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    };
    const QStringList principal = {QStringLiteral("--name"), QStringLiteral("^Quarvel XML$")};

    Programa prog;
    prog.env().insert(QStringLiteral("DISPLAY"), display);
    prog.env().insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    QProcess& primeira = prog.iniciar({QStringLiteral("--bandeja")});
    ASSERT_TRUE(prog.pronto());
    // Its tray icon is the one window of the program on the screen.
    EXPECT_TRUE(esperar([&] {
        return !janelas({QStringLiteral("--class"), QStringLiteral("quarvel")}).isEmpty();
    })) << primeira.readAllStandardError().toStdString();
    EXPECT_TRUE(janelas(principal).isEmpty());

    EXPECT_EQ(prog.outraVez(), 0);
    EXPECT_TRUE(esperar([&] { return !janelas(principal).isEmpty(); }))
        << primeira.readAllStandardError().toStdString();
    EXPECT_EQ(primeira.state(), QProcess::Running);

    bandeja.kill();
    bandeja.waitForFinished(5000);
    primeira.kill();
    primeira.waitForFinished(5000);
    xvfb.terminate();
    xvfb.waitForFinished(5000);
}

// The check on the command line beside the copy in the tray: no display, no lock taken, and
// the copy goes on answering. Its backup folder is missing, so it says it cannot check.
TEST(Instance, CheckRunsBesideTheTrayCopyWithoutADisplay) {
    Programa prog;
    QProcess& primeira = prog.iniciar({QStringLiteral("--bandeja")});
    ASSERT_TRUE(prog.pronto());

    const QProcessEnvironment comTela = prog.env();
    QProcessEnvironment semTela = comTela;
    semTela.remove(QStringLiteral("QT_QPA_PLATFORM"));
    semTela.remove(QStringLiteral("DISPLAY"));
    semTela.remove(QStringLiteral("WAYLAND_DISPLAY"));
    prog.env() = semTela;
    QProcess& verificacao = prog.iniciar({QStringLiteral("--verificar")});
    ASSERT_TRUE(verificacao.waitForFinished(20000));
    EXPECT_EQ(verificacao.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(verificacao.exitCode(), 2);
    const QString erros = QString::fromUtf8(verificacao.readAllStandardError());
    EXPECT_TRUE(erros.startsWith(QStringLiteral("Não foi possível verificar: a pasta de backup ")))
        << erros.toStdString();
    EXPECT_EQ(verificacao.readAllStandardOutput(), QByteArray());
    prog.env() = comTela;

    // Wrong uses are refused before anything is done.
    EXPECT_EQ(prog.outraVez({QStringLiteral("--verificar"), QStringLiteral("--bandeja")}), 2);
    EXPECT_EQ(prog.outraVez({QStringLiteral("--reparar")}), 2);

    EXPECT_EQ(primeira.state(), QProcess::Running);
    EXPECT_EQ(prog.outraVez(), 0); // the tray copy still answers a later start
}
