#include "Application.h"
#include "Configuracao.h"
#include "InstanciaUnica.h"
#include "ModoVerificacao.h"
#include "QuarvelAcesso.h"
#include "QuarvelDmo.h"

#include <QScreen>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// --verificar [--reparar]: the check on the command line, without a window, beside the copy
// in the tray (it does not take that copy's place).
int verificar(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    std::signal(SIGPIPE, SIG_IGN);
    bool reparar = false;
    for (const QString& a : QCoreApplication::arguments().mid(1)) {
        if (a == QLatin1String("--reparar")) {
            reparar = true;
        } else if (a != QLatin1String("--verificar")) {
            std::fprintf(stderr, "uso: quarvel [--bandeja | --verificar [--reparar]]\n");
            return 2;
        }
    }
    const TConfiguracao config =
        lerConfiguracao(localizarDocIni(QCoreApplication::applicationDirPath()));
    return verificarNaLinhaDeComando(config, reparar, {}, {}, stdout, stderr,
                                     ::isatty(STDOUT_FILENO) == 1);
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--verificar") == 0)
            return verificar(argc, argv);

    Application app(argc, argv);
    Q_INIT_RESOURCE(quarvel);
    // QApplication took the numeric locale from the environment; the C library, the
    // database client and printf must keep reading "1234.56" as a number.
    std::setlocale(LC_NUMERIC, "C");
    // A peer that resets a socket must give an error, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    QApplication::setApplicationName(QStringLiteral("Quarvel"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/glyphs/quarvel.xpm")));

    // --bandeja: started with the session, straight to the notification area.
    bool bandeja = false;
    const QStringList args = QCoreApplication::arguments().mid(1);
    for (const QString& a : args) {
        if (a != QLatin1String("--bandeja")) {
            std::fprintf(stderr, "uso: quarvel [--bandeja | --verificar [--reparar]]\n");
            return 2;
        }
        bandeja = true;
    }

    // One copy per user: a later start shows the running copy's window and ends. The
    // autostart of a session where the program already runs has nothing to show.
    const QString pastaLocal = pastaLocalDeExecucao();
    if (pastaLocal.isEmpty())
        std::fprintf(stderr, "quarvel: no private runtime folder; a second copy cannot be "
                             "told from the first\n");
    TInstanciaUnica instancia(pastaLocal);
    if (!pastaLocal.isEmpty() && !instancia.primeira()) {
        if (bandeja || instancia.pedirJanela())
            return 0;
        std::fprintf(stderr, "quarvel: another copy is running but does not answer\n");
        return 1;
    }

    TConfiguracao config;
    Tdmdb dmdb([&config] {
        config = lerConfiguracao(localizarDocIni(QCoreApplication::applicationDirPath()));
    });

    TFormDlgAcesso form(config, dmdb);
    if (const QScreen* screen = form.screen()) {
        const QRect area = screen->availableGeometry();
        form.move(area.center() - QPoint(form.width() / 2, form.height() / 2));
    }
    QObject::connect(&instancia, &TInstanciaUnica::janelaPedida, &form,
                     [&form] { guarded(&form, [&form] { form.TrayIcon1Click(); }); });
    if (bandeja)
        form.iniciarNaBandeja();
    else
        form.show();
    return app.exec();
}
