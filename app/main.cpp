#include "Aplicacao.h"
#include "DocIni.h"
#include "QuarvelAcesso.h"
#include "QuarvelDmo.h"

#include <QScreen>
#include <clocale>
#include <csignal>

int main(int argc, char** argv) {
    TQuarvelApplication app(argc, argv);
    Q_INIT_RESOURCE(quarvel);
    // QApplication took the numeric locale from the environment; the C library, the
    // database client and printf must keep reading "1234.56" as a number.
    std::setlocale(LC_NUMERIC, "C");
    // A peer that resets a socket must give an error, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    QApplication::setApplicationName(QStringLiteral("Quarvel"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/glyphs/quarvel.xpm")));

    Configuracao config;
    Tdmdb dmdb([&config] {
        config = lerConfiguracao(localizarDocIni(QCoreApplication::applicationDirPath()));
    });

    TFormDlgAcesso form(config, dmdb);
    if (const QScreen* screen = form.screen()) {
        const QRect area = screen->availableGeometry();
        form.move(area.center() - QPoint(form.width() / 2, form.height() / 2));
    }
    form.show();
    return app.exec();
}
