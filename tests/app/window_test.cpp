#include "Application.h"
#include "DbSettings.h"
#include "DirectoryListBox.h"
#include "QuarvelAcesso.h"
#include "QuarvelDmo.h"
#include "TestServices.h"
#include "TestSupport.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>
#include <memory>

namespace {

struct Window {
    TConfiguracao config;
    Tdmdb dmdb;
    std::unique_ptr<TFormDlgAcesso> form;

    explicit Window(TConfiguracao c, DbSettings db = {}) : config(std::move(c)), dmdb({}, db) {
        form = std::make_unique<TFormDlgAcesso>(config, dmdb);
        form->regional = [] { return QLocale(QStringLiteral("pt_BR")); };
        form->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    }
};

TConfiguracao configFor(const QString& nfe) {
    TConfiguracao c = configuracaoPadrao();
    c.sPastaNFE = nfe;
    c.sPastaBKP = nfe + QStringLiteral("/../bkp-nao-usado");
    return c;
}

QStringList memoLines(const TFormDlgAcesso& f) { return f.MemoErros->toPlainText().split(u'\n'); }

const QRegularExpression kStamp(QStringLiteral("^\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d  "));

} // namespace

TEST(Window, ControlsNamesTextsAndGeometry) {
    QTemporaryDir nfe;
    Window w(configFor(nfe.path()));
    TFormDlgAcesso& f = *w.form;
    EXPECT_EQ(f.windowTitle(), u"Quarvel XML");
    EXPECT_EQ(f.size(), QSize(701, 487));

    const struct {
        const char* name;
        QRect geometry;
        const char* text;
    } controls[] = {
        {"DriveComboBox1", {18, 13, 225, 19}, nullptr},
        {"DirectoryListBox1", {18, 38, 225, 147}, nullptr},
        {"BitBtn1", {56, 112, 75, 25}, nullptr},
        {"BitBtn2", {168, 112, 75, 25}, nullptr},
        {"FileListBox1", {258, 38, 433, 147}, nullptr},
        {"ProgressBar1", {18, 191, 673, 17}, nullptr},
        {"PageControl1", {18, 214, 675, 215}, nullptr},
        {"listBoxPasta", {3, 3, 319, 181}, nullptr},
        {"ListBoxArquivo", {328, 3, 336, 181}, nullptr},
        {"MemoErros", {0, 3, 664, 181}, nullptr},
        {"BitListar", {25, 435, 113, 50}, "Listar Arquivos"},
        {"BitArmazenar", {144, 435, 106, 49}, "Armazenar"},
        {"bitFerramentas", {256, 435, 104, 49}, "Ferramentas"},
        {"bitFechar", {587, 435, 106, 49}, "Fechar"},
    };
    for (const auto& c : controls) {
        SCOPED_TRACE(c.name);
        auto* widget = f.findChild<QWidget*>(QString::fromLatin1(c.name));
        ASSERT_NE(widget, nullptr);
        EXPECT_EQ(widget->geometry(), c.geometry);
        if (c.text) {
            EXPECT_EQ(qobject_cast<QAbstractButton*>(widget)->text(), QString::fromUtf8(c.text));
        }
    }
    EXPECT_EQ(f.Label1->pos(), QPoint(258, 15));
    EXPECT_EQ(f.Label1->text(), QDir::cleanPath(nfe.path()));

    // The tabs, "Arquivos" in front; the error log read-only; nothing sorts the lists.
    ASSERT_EQ(f.PageControl1->count(), 3);
    EXPECT_EQ(f.PageControl1->tabText(0), u"Arquivos");
    EXPECT_EQ(f.PageControl1->tabText(1), u"Erros");
    EXPECT_EQ(f.PageControl1->tabText(2), u"Arquivo");
    EXPECT_EQ(f.PageControl1->currentIndex(), 0);
    EXPECT_TRUE(f.MemoErros->isReadOnly());
    EXPECT_TRUE(f.MemoXML->toPlainText().isEmpty());
    EXPECT_FALSE(f.listBoxPasta->isSortingEnabled());

    // The covered buttons lie under the folder tree; OK is the default and has the focus.
    EXPECT_EQ(f.childAt(QPoint(60, 115)), f.DirectoryListBox1->viewport());
    EXPECT_TRUE(f.BitBtn1->isDefault());
    EXPECT_TRUE(f.BitBtn1->hasFocus());

    // Glyphs on three buttons, none on "Ferramentas".
    for (QAbstractButton* b :
         {static_cast<QAbstractButton*>(f.bitFechar), static_cast<QAbstractButton*>(f.BitListar),
          static_cast<QAbstractButton*>(f.BitArmazenar)})
        EXPECT_FALSE(b->icon().pixmap(16, 16).isNull()) << b->objectName().toStdString();
    EXPECT_FALSE(f.TrayIcon1->icon().pixmap(32, 32).isNull());
    EXPECT_EQ(f.bitFerramentas->toolButtonStyle(), Qt::ToolButtonTextOnly);

    // Menus, timer and tray icon.
    EXPECT_EQ(f.PopupMenu1->actions().size(), 1);
    EXPECT_EQ(f.Fechar1->text(), u"Fechar");
    ASSERT_EQ(f.popUpMenu->actions().size(), 2);
    EXPECT_EQ(f.Configurao1->text(), u"Configuração");
    EXPECT_EQ(f.Servios1->text(), u"Serviços");
    EXPECT_EQ(f.Timer1->interval(), 1200000);
    EXPECT_TRUE(f.Timer1->isActive());
    EXPECT_EQ(f.TrayIcon1->toolTip(), u"Quarvel XML");
    EXPECT_FALSE(f.TrayIcon1->isVisible());
    EXPECT_EQ(f.TrayIcon1->contextMenu(), f.PopupMenu1);
}

TEST(Window, CloseIsRefusedUntilTrayMenuFechar) {
    QTemporaryDir nfe;
    Window w(configFor(nfe.path()));
    TFormDlgAcesso& f = *w.form;
    f.bandejaDisponivel = [] { return true; };
    EXPECT_FALSE(f.close());
    QTest::keyClick(&f, Qt::Key_Escape);
    EXPECT_TRUE(f.isVisible());
    EXPECT_FALSE(f.FormCloseQuery(true)); // log-off and shutdown queries too
    f.Fechar1->trigger();
    EXPECT_FALSE(f.isVisible());
}

TEST(Window, WithoutNotificationAreaTheSystemMayClose) {
    QTemporaryDir nfe;
    Window w(configFor(nfe.path()));
    TFormDlgAcesso& f = *w.form;
    f.bandejaDisponivel = [] { return false; };
    EXPECT_TRUE(f.FormCloseQuery(true));
    EXPECT_FALSE(f.FormCloseQuery(false)); // Escape still does not end the program
    // "Fechar" minimises instead of hiding: the window can come back from the taskbar.
    f.bitFechar->click();
    EXPECT_TRUE(f.isVisible());
    EXPECT_TRUE(f.windowState() & Qt::WindowMinimized);
}

TEST(Window, TrayHideBalloonAndRestore) {
    QTemporaryDir nfe;
    Window w(configFor(nfe.path()));
    TFormDlgAcesso& f = *w.form;
    f.bandejaDisponivel = [] { return true; };

    // "Fechar" right after start-up: hidden, tray icon shown, no balloon yet.
    f.bitFechar->click();
    EXPECT_FALSE(f.isVisible());
    EXPECT_TRUE(f.TrayIcon1->isVisible());
    EXPECT_TRUE(f.BalloonHint.isEmpty());

    f.TrayIcon1Click();
    EXPECT_TRUE(f.isVisible());
    EXPECT_FALSE(f.TrayIcon1->isVisible());
    EXPECT_FALSE(f.windowState() & Qt::WindowMinimized);

    // Minimising shows the tray icon and the balloon; the window stays on the taskbar.
    f.showMinimized();
    EXPECT_TRUE(QTest::qWaitFor([&] { return f.TrayIcon1->isVisible(); }, 5000));
    EXPECT_EQ(f.BalloonHint, QStringLiteral("Backup de documentos em Execução.. "));
    EXPECT_EQ(f.BalloonFlags, QSystemTrayIcon::Information);
    EXPECT_TRUE(f.isVisible());

    f.TrayIcon1Click();
    EXPECT_FALSE(f.TrayIcon1->isVisible());
    f.bitFechar->click();
    EXPECT_FALSE(f.isVisible());
    EXPECT_EQ(f.BalloonHint, QStringLiteral("Backup de documentos em Execução.. "));
}

TEST(Window, ToolsMenuPopsUpAtTheButtonCentre) {
    QTemporaryDir nfe;
    Window w(configFor(nfe.path()));
    TFormDlgAcesso& f = *w.form;
    f.bitFerramentas->click();
    ASSERT_TRUE(f.popUpMenu->isVisible());
    EXPECT_EQ(f.popUpMenu->pos(), f.mapToGlobal(QPoint(256 + 104 / 2, 435 + 49 / 2)));
    f.Configurao1->trigger(); // no handler: nothing happens, nothing logged
    f.popUpMenu->hide();
    EXPECT_TRUE(f.MemoErros->toPlainText().isEmpty());
}

TEST(Window, ErrorFoundLogsPhaseAndStampedMessage) {
    QTemporaryDir nfe;
    Window w(configFor(nfe.path()));
    TFormDlgAcesso& f = *w.form;
    f.Timer1->stop();
    f.BitArmazenar->setEnabled(false);
    f.BitListar->setEnabled(false);
    f.sFase = QStringLiteral("Conexão FTP");
    f.ErrorFound(&f, QStringLiteral("Falha de teste"));
    const QStringList lines = memoLines(f);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], u"Conexão FTP");
    EXPECT_TRUE(kStamp.match(lines[1]).hasMatch()) << lines[1].toStdString();
    EXPECT_TRUE(lines[1].endsWith(QStringLiteral("  Falha de teste")));
    EXPECT_TRUE(f.Timer1->isActive());
    EXPECT_TRUE(f.BitArmazenar->isEnabled());
    EXPECT_TRUE(f.BitListar->isEnabled());
}

TEST(Window, MissingStartFolderIsLoggedAndListsNothing) {
    QTemporaryDir cwdFiles;
    writeFile(cwdFiles.filePath(QStringLiteral("alheio.xml")), "<x/>");
    const QString before = QDir::currentPath();
    QDir::setCurrent(cwdFiles.path());
    Window w(configFor(QStringLiteral("/nao/existe/NFE")));
    TFormDlgAcesso& f = *w.form;
    const QStringList lines = memoLines(f);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], QString());
    // Logged while the window was created, under the process's own regional settings.
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d\\d.\\d\\d.\\d{4} \\d\\d.\\d\\d  "))
                    .match(lines[1])
                    .hasMatch())
        << lines[1].toStdString();
    EXPECT_TRUE(lines[1].contains(QStringLiteral("/nao/existe/NFE")));
    // Never the process's current folder.
    f.BitListar->click();
    EXPECT_EQ(f.ListBoxArquivo->count(), 0);
    EXPECT_EQ(f.ProgressBar1->maximum(), 0);
    EXPECT_EQ(f.pastaLocalListagem(), u"/nao/existe/NFE");
    QDir::setCurrent(before);
}

TEST(Window, ListingFillsBothListsAndProgressMaximum) {
    QTemporaryDir nfe;
    writeFile(nfe.filePath(QStringLiteral("a.xml")), "<x/>");
    writeFile(nfe.filePath(QStringLiteral("sub/b.xml")), "<x/>");
    writeFile(nfe.filePath(QStringLiteral("sub/c.txt")), "x");
    Window w(configFor(nfe.path()));
    TFormDlgAcesso& f = *w.form;
    EXPECT_EQ(f.FileListBox1->count(), 1); // the tree's file list shows a.xml
    f.BitListar->click();
    ASSERT_EQ(f.ListBoxArquivo->count(), 2);
    ASSERT_EQ(f.listBoxPasta->count(), 2);
    EXPECT_EQ(f.ProgressBar1->maximum(), 2);
    for (int i = 0; i < 2; ++i)
        EXPECT_TRUE(
            QFile::exists(f.listBoxPasta->item(i)->text() + f.ListBoxArquivo->item(i)->text()));

    // Choosing another folder in the tree takes effect at the next listing.
    const auto items = f.DirectoryListBox1->findItems(QStringLiteral("sub"), Qt::MatchEndsWith);
    ASSERT_EQ(items.size(), 1);
    emit f.DirectoryListBox1->itemActivated(items[0]);
    EXPECT_EQ(f.ListBoxArquivo->count(), 2);
    f.BitListar->click();
    ASSERT_EQ(f.ListBoxArquivo->count(), 1);
    EXPECT_EQ(f.ListBoxArquivo->item(0)->text(), u"b.xml");
    EXPECT_EQ(f.listBoxPasta->item(0)->text(),
              QDir::cleanPath(nfe.path()) + QStringLiteral("/sub/"));
}

TEST(Window, EnterCountsAnAccess) {
    const DbEndpoint db = testDb();
    DbSettings s;
    s.host = db.host;
    s.port = unsigned(db.port);
    s.password = db.password;
    QTemporaryDir nfe;
    Window w(configFor(nfe.path()), s);
    Tdmdb probe({}, s);
    probe.Seql(QStringLiteral("ACESSOS"));                    // the row exists from here on
    const int before = probe.Seql(QStringLiteral("ACESSOS")); // value before, then +1
    QTest::keyClick(w.form.get(), Qt::Key_Return);
    QTest::keyClick(w.form.get(), Qt::Key_Enter);
    // Two presses advanced the counter twice since the probe's own call.
    EXPECT_EQ(probe.Seql(QStringLiteral("ACESSOS")), before + 3);
}

TEST(Window, StartInTheNotificationArea) {
    QTemporaryDir nfe;
    const TConfiguracao c = configFor(nfe.path());
    Tdmdb dmdb;
    const struct {
        const char* caso;
        int poucoATempo; // looks at the notification area before it is there
        int esperaMs;
        bool escondida;
    } casos[] = {
        {"notification area there", 0, 30000, true},
        {"notification area comes late", 3, 30000, true},
        {"none at all: minimised, on the taskbar", 1000000, 1200, false},
    };
    for (const auto& k : casos) {
        SCOPED_TRACE(k.caso);
        TFormDlgAcesso f(c, dmdb);
        int olhadas = 0;
        f.bandejaDisponivel = [&] { return ++olhadas > k.poucoATempo; };
        f.iniciarNaBandeja(k.esperaMs);
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return f.TrayIcon1->isVisible() || f.isVisible(); }, 5000));
        EXPECT_TRUE(f.Timer1->isActive());
        EXPECT_TRUE(f.windowState() & Qt::WindowMinimized);
        EXPECT_EQ(f.isVisible(), !k.escondida);
        EXPECT_EQ(f.TrayIcon1->isVisible(), k.escondida);
        EXPECT_TRUE(f.BalloonHint.isEmpty()); // no balloon before the first minimise
    }

    // A second start while the notification area is still awaited brings the window up,
    // and it stays up.
    TFormDlgAcesso f(c, dmdb);
    bool bandeja = false;
    int olhadas = 0;
    f.bandejaDisponivel = [&] {
        ++olhadas;
        return bandeja;
    };
    f.iniciarNaBandeja(30000);
    f.TrayIcon1Click();
    bandeja = true;
    // The wait looked again and found the notification area: its end came and went.
    const int antes = olhadas;
    EXPECT_TRUE(QTest::qWaitFor([&] { return olhadas > antes; }, 5000));
    EXPECT_TRUE(f.isVisible());
    EXPECT_FALSE(f.TrayIcon1->isVisible());
}

TEST(Window, ErrorHandlerGoesWithItsWindow) {
    QTemporaryDir nfe;
    const TConfiguracao c = configFor(nfe.path());
    Tdmdb dmdb;
    auto primeira = std::make_unique<TFormDlgAcesso>(c, dmdb);
    auto segunda = std::make_unique<TFormDlgAcesso>(c, dmdb);
    // The first window going does not take the second one's handler along.
    primeira.reset();
    Application::reportException(nullptr, QStringLiteral("depois da primeira"));
    EXPECT_TRUE(segunda->MemoErros->toPlainText().contains(QStringLiteral("depois da primeira")));
    // With no window left, a failure goes to standard error, not to a destroyed window.
    segunda.reset();
    testing::internal::CaptureStderr();
    Application::reportException(nullptr, QStringLiteral("sem janela"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "quarvel: sem janela\n");
}

// A listing that finds nothing sets the maximum to 0: the bar shows empty, as a bar with
// nothing done, not Qt's busy indicator.
TEST(Window, AnEmptyListingShowsAnEmptyBar) {
    QTemporaryDir nfe;
    Window w(configFor(nfe.path()));
    TFormDlgAcesso& f = *w.form;
    f.BitListar->click();
    ASSERT_EQ(f.ProgressBar1->maximum(), 0);
    QProgressBar vazia(&f);
    vazia.setGeometry(f.ProgressBar1->geometry());
    vazia.setTextVisible(false);
    vazia.setRange(0, 1);
    vazia.setValue(0);
    QProgressBar ocupada(&f);
    ocupada.setGeometry(f.ProgressBar1->geometry());
    ocupada.setTextVisible(false);
    ocupada.setRange(0, 0);
    const QImage bar = f.ProgressBar1->grab().toImage();
    EXPECT_TRUE(bar == vazia.grab().toImage());
    EXPECT_FALSE(bar == ocupada.grab().toImage()); // the check tells the two apart
}
