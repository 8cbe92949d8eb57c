#include "Aplicacao.h"
#include "DirectoryListBox.h"
#include "ListPainting.h"
#include "QuarvelAcesso.h"
#include "QuarvelDmo.h"
#include "TestServices.h"
#include "TestSupport.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPaintEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QStyleFactory>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>

namespace {

struct Window {
    Configuracao config;
    Tdmdb dmdb;
    std::unique_ptr<TFormDlgAcesso> form;

    explicit Window(Configuracao c, DbSettings db = {}) : config(std::move(c)), dmdb({}, db) {
        form = std::make_unique<TFormDlgAcesso>(config, dmdb);
        form->regional = [] { return QLocale(QStringLiteral("pt_BR")); };
        form->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    }
};

Configuracao configFor(const QString& nfe) {
    Configuracao c = configuracaoPadrao();
    c.sPastaNFE = nfe;
    c.sPastaBKP = nfe + QStringLiteral("/../bkp-nao-usado");
    return c;
}

QStringList memoLines(const TFormDlgAcesso& f) { return f.MemoErros->toPlainText().split(u'\n'); }

// The largest difference of one colour channel between two pictures of one size, at the
// pixels inside `inside` (all of them when it is empty).
int maiorDiferenca(const QImage& a, const QImage& b, const QRegion& inside = {}) {
    if (a.size() != b.size())
        return 256;
    int maior = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            if (!inside.isEmpty() && !inside.contains(QPoint(x, y)))
                continue;
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            maior = std::max({maior, std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                              std::abs(qBlue(p) - qBlue(q)), std::abs(qAlpha(p) - qAlpha(q))});
        }
    }
    return maior;
}

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
    f.trayAvailable = [] { return true; };
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
    f.trayAvailable = [] { return false; };
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
    f.trayAvailable = [] { return true; };

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
    QTest::qWait(50);
    EXPECT_TRUE(f.TrayIcon1->isVisible());
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
    EXPECT_EQ(f.pastaListagem(), u"/nao/existe/NFE");
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
    const Configuracao c = configFor(nfe.path());
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
        f.trayAvailable = [&] { return ++olhadas > k.poucoATempo; };
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
    f.trayAvailable = [&] { return bandeja; };
    f.iniciarNaBandeja(30000);
    f.TrayIcon1Click();
    bandeja = true;
    QTest::qWait(1200);
    EXPECT_TRUE(f.isVisible());
    EXPECT_FALSE(f.TrayIcon1->isVisible());
}

TEST(Window, ErrorHandlerGoesWithItsWindow) {
    QTemporaryDir nfe;
    const Configuracao c = configFor(nfe.path());
    Tdmdb dmdb;
    auto primeira = std::make_unique<TFormDlgAcesso>(c, dmdb);
    auto segunda = std::make_unique<TFormDlgAcesso>(c, dmdb);
    // The first window going does not take the second one's handler along.
    primeira.reset();
    TQuarvelApplication::reportException(nullptr, QStringLiteral("depois da primeira"));
    EXPECT_TRUE(segunda->MemoErros->toPlainText().contains(QStringLiteral("depois da primeira")));
    // With no window left, a failure goes to standard error, not to a destroyed window.
    segunda.reset();
    testing::internal::CaptureStderr();
    TQuarvelApplication::reportException(nullptr, QStringLiteral("sem janela"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "quarvel: sem janela\n");
}

TEST(Window, ListItemsFromPicturesLookAsTheStyleDrawsThem) {
    QTemporaryDir nfe;
    Window w(configFor(nfe.path()));
    TFormDlgAcesso& f = *w.form;
    for (int i = 0; i < 30; ++i) {
        f.listBoxPasta->addItem(QStringLiteral("/home/empresa/NFE/%1/").arg(i / 7));
        f.ListBoxArquivo->addItem(
            i == 4 ? QStringLiteral("uma nota com um nome longo demais para caber na lista, "
                                    "que termina em reticências - 35200914200166000187.xml")
                   : QStringLiteral("35200914200166000187550010000%1-nfe.xml").arg(i));
    }
    const struct {
        const char* caso;
        int linha;            // current row of both lists, -1 for none
        bool foco = false;    // the file list has the focus
        bool inativa = false; // another window is the active one
        bool desabilitadas = false;
    } casos[] = {{"nothing selected", -1},
                 {"a row selected", 3},
                 {"the long name selected", 4},
                 {"scrolled down", 25},
                 {"the long name selected, the window inactive", 4, false, true},
                 {"a row selected, the lists disabled", 3, false, false, true},
                 {"the long name selected, the list focused", 4, true}};
    // Each colour group draws in colours of its own.
    for (QListWidget* lista : {f.listBoxPasta, f.ListBoxArquivo}) {
        QPalette p = lista->palette();
        p.setColor(QPalette::Inactive, QPalette::Highlight, QColor(0x80, 0x60, 0x20));
        p.setColor(QPalette::Inactive, QPalette::HighlightedText, QColor(0xf0, 0xf0, 0x90));
        p.setColor(QPalette::Inactive, QPalette::Text, QColor(0x20, 0x40, 0x80));
        p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x90, 0x90, 0x90));
        lista->setPalette(p);
    }
    QWidget outra;
    // Fusion is the style here; Windows is the other whose items are drawn from layouts.
    std::unique_ptr<QStyle> windows(QStyleFactory::create(QStringLiteral("windows")));
    ASSERT_NE(windows, nullptr);
    auto deLayouts = [&] {
        qsizetype n = 0;
        for (QListWidget* lista : {f.listBoxPasta, f.ListBoxArquivo})
            n += dynamic_cast<TCachedItemDelegate&>(*lista->itemDelegate()).picturesFromLayouts();
        return n;
    };
    for (QStyle* estilo : {f.style(), windows.get()}) {
        const qsizetype antes = deLayouts();
        for (Qt::LayoutDirection direcao : {Qt::LeftToRight, Qt::RightToLeft}) {
            for (QListWidget* lista : {f.listBoxPasta, f.ListBoxArquivo}) {
                lista->setStyle(estilo);
                lista->setLayoutDirection(direcao);
            }
            for (const auto& k : casos) {
                SCOPED_TRACE(testing::Message()
                             << k.caso << ", style " << estilo->name().toStdString()
                             << (direcao == Qt::RightToLeft ? ", right to left" : ""));
                f.listBoxPasta->setCurrentRow(k.linha);
                f.ListBoxArquivo->setCurrentRow(k.linha);
                for (QListWidget* lista : {f.listBoxPasta, f.ListBoxArquivo})
                    lista->setEnabled(!k.desabilitadas);
                if (k.inativa) {
                    outra.show();
                    outra.activateWindow();
                    ASSERT_TRUE(QTest::qWaitForWindowActive(&outra));
                } else {
                    outra.hide();
                    f.activateWindow();
                    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
                }
                if (k.foco)
                    f.ListBoxArquivo->setFocus();
                else
                    f.BitBtn1->setFocus();
                QCoreApplication::processEvents();
                for (QListWidget* lista : {f.listBoxPasta, f.ListBoxArquivo}) {
                    auto* delegate = dynamic_cast<TCachedItemDelegate*>(lista->itemDelegate());
                    ASSERT_NE(delegate, nullptr);
                    // As the window's backing store is, whatever its format.
                    for (QImage::Format formato :
                         {QImage::Format_RGB32, QImage::Format_ARGB32_Premultiplied}) {
                        auto desenhar = [&] {
                            QImage img(lista->size(), formato);
                            img.fill(Qt::black);
                            lista->render(&img);
                            return img;
                        };
                        desenhar(); // fills the pictures
                        const qsizetype pictures = delegate->pictures();
                        const QImage fromPictures = desenhar();
                        EXPECT_EQ(delegate->pictures(), pictures); // the second drew from them
                        EXPECT_GT(pictures, 0);
                        QStyledItemDelegate plain;
                        lista->setItemDelegate(&plain);
                        const QImage drawn = desenhar();
                        lista->setItemDelegate(delegate);
                        // The same pixels, text included, but for the frame of a focused
                        // item: its picture is the style's whole drawing, and the frame's
                        // gradient rounds by the position it is drawn at (one step of a
                        // colour channel).
                        QRegion frame;
                        if (lista->hasFocus() && lista->currentIndex().isValid()) {
                            const QRect item = lista->visualRect(lista->currentIndex())
                                                   .translated(lista->viewport()->pos());
                            frame = QRegion(item) - QRegion(item.adjusted(1, 1, -1, -1));
                        }
                        const QRegion rest = QRegion(lista->rect()) - frame;
                        EXPECT_EQ(maiorDiferenca(fromPictures, drawn, rest), 0)
                            << lista->objectName().toStdString() << " format " << formato;
                        if (!frame.isEmpty()) {
                            EXPECT_LE(maiorDiferenca(fromPictures, drawn, frame), 1)
                                << lista->objectName().toStdString() << " format " << formato;
                        }
                    }
                }
            }
        }
        // Each style drew the pictures compared above from the texts' layouts.
        EXPECT_GT(deLayouts(), antes) << estilo->name().toStdString();
    }
    for (QListWidget* lista : {f.listBoxPasta, f.ListBoxArquivo})
        lista->setStyle(nullptr);
}

namespace {

// A widget as its window on the screen shows it.
QImage onScreen(QWidget* w) {
    return w->screen()
        ->grabWindow(w->window()->winId())
        .toImage()
        .convertToFormat(QImage::Format_RGB32)
        .copy(w->geometry());
}

} // namespace

// The lists' scroll bar repaints on a change of value only when its look changes, and then
// only about the slider when nothing else changed: on the screen it must be what a plain
// QScrollBar, painted whole by the style, shows at every value.
TEST(Window, ScrollBarStepsShowWhatAPlainBarShows) {
    QWidget janelas[2];
    TLazyScrollBar lazy(Qt::Vertical, &janelas[0]);
    QScrollBar plain(Qt::Vertical, &janelas[1]);
    for (QScrollBar* b : {static_cast<QScrollBar*>(&lazy), &plain}) {
        b->window()->setAutoFillBackground(true);
        b->window()->resize(60, 220);
        b->setGeometry(20, 10, 17, 181);
        b->window()->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(b->window()));
    }
    struct Partes : QObject {
        int parciais = 0;
        bool eventFilter(QObject* o, QEvent* e) override {
            if (e->type() == QEvent::Paint &&
                static_cast<QPaintEvent*>(e)->rect() != static_cast<QWidget*>(o)->rect())
                ++parciais;
            return false;
        }
    } partes;
    lazy.installEventFilter(&partes);
    const struct {
        int maximum, pageStep;
        std::vector<int> values; // in this order
    } passos[] = {
        {30, 10, {1, 2, 3, 15, 29, 30, 29, 0, 1}},
        {1000, 10, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 500, 501, 999, 1000, 999, 0}},
    };
    for (const char* nome : {"fusion", "windows"}) {
        std::unique_ptr<QStyle> estilo(QStyleFactory::create(QString::fromLatin1(nome)));
        ASSERT_NE(estilo, nullptr);
        for (QScrollBar* b : {static_cast<QScrollBar*>(&lazy), &plain})
            b->setStyle(estilo.get());
        for (const auto& p : passos) {
            for (QScrollBar* b : {static_cast<QScrollBar*>(&lazy), &plain}) {
                b->setRange(0, p.maximum);
                b->setPageStep(p.pageStep);
                b->setValue(0);
            }
            QCoreApplication::processEvents();
            for (int v : p.values) {
                SCOPED_TRACE(testing::Message() << nome << ", " << v << " of " << p.maximum);
                lazy.setValue(v);
                plain.setValue(v);
                QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
                EXPECT_TRUE(onScreen(&lazy) == onScreen(&plain));
            }
        }
        for (QScrollBar* b : {static_cast<QScrollBar*>(&lazy), &plain})
            b->setStyle(nullptr);
    }
    EXPECT_GT(partes.parciais, 0);
}

// A step of the bar repaints only the columns it changes, on a picture of the rest: on the
// screen the bar must be what a plain QProgressBar, painted whole by the style, shows at
// every step, repainted at the same steps.
TEST(Window, ProgressBarStepsShowWhatAPlainBarShows) {
    QTemporaryDir nfe;
    Window w(configFor(nfe.path()));
    TFormDlgAcesso& f = *w.form;
    auto* bar = dynamic_cast<TProgressBar*>(f.ProgressBar1);
    ASSERT_NE(bar, nullptr);
    // The same bar, plain, at the same place of a window like the program's.
    QWidget other;
    other.setAutoFillBackground(true);
    other.setBackgroundRole(f.backgroundRole());
    other.setFont(f.font());
    other.resize(f.size());
    QProgressBar plain(&other);
    plain.setGeometry(bar->geometry());
    plain.setTextVisible(false);
    other.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&other));
    struct Paints : QObject {
        int n = 0;
        bool eventFilter(QObject*, QEvent* e) override {
            n += e->type() == QEvent::Paint;
            return false;
        }
    } paintsOfBar, paintsOfPlain;
    bar->installEventFilter(&paintsOfBar);
    plain.installEventFilter(&paintsOfPlain);

    std::unique_ptr<QStyle> windows(QStyleFactory::create(QStringLiteral("windows")));
    ASSERT_NE(windows, nullptr);
    const struct {
        int maximum;
        std::vector<int> values; // in this order
    } passos[] = {
        {40, {1, 2, 3, 4, 5, 6, 7, 20, 21, 39, 40, 3}},
        {1000, {1, 9, 14, 15, 28, 29, 43, 100, 101, 333, 500, 990, 999, 1000, 20, 21}},
    };
    for (QStyle* estilo : {bar->style(), windows.get()}) {
        for (Qt::LayoutDirection direcao : {Qt::LeftToRight, Qt::RightToLeft}) {
            for (bool invertida : {false, true}) {
                for (QProgressBar* b : {static_cast<QProgressBar*>(bar), &plain}) {
                    b->setStyle(estilo);
                    b->setLayoutDirection(direcao);
                    b->setInvertedAppearance(invertida);
                }
                const qsizetype parciais = bar->partialDrawings();
                for (const auto& p : passos) {
                    bar->setRange(0, p.maximum);
                    plain.setRange(0, p.maximum);
                    QCoreApplication::processEvents();
                    for (int v : p.values) {
                        SCOPED_TRACE(
                            testing::Message()
                            << estilo->name().toStdString() << ", "
                            << (direcao == Qt::RightToLeft ? "right to left" : "left to right")
                            << (invertida ? ", inverted" : "") << ", " << v << " of " << p.maximum);
                        const int antes[2] = {paintsOfBar.n, paintsOfPlain.n};
                        bar->setValue(v); // repaints at once when the step shows
                        plain.setValue(v);
                        EXPECT_EQ(paintsOfBar.n - antes[0], paintsOfPlain.n - antes[1]);
                        EXPECT_TRUE(onScreen(bar) == onScreen(&plain));
                    }
                }
                EXPECT_GT(bar->partialDrawings(), parciais);
            }
        }
    }
    bar->setStyle(nullptr);
}
