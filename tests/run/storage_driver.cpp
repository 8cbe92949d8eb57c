// The program as a second PC or a second user runs it, for the tests of copies storing at
// once: the real window and data module, DOC.INI from the folder given, the endpoints from
// the environment (the program's are compiled in). Commands on standard input, one a line:
//   armazenar          press "Armazenar"
//   armazenar-pausando the same, holding the run after its first file is read until a line
//                      "continuar" comes
// Standard output tells what happened: "lido PATH" where a run holds, "armazenado PATH" for
// each file whose row was committed, "log LINE" for each new line of the error log, then
// "fim" when the press is over.
#include "Application.h"
#include "Configuracao.h"
#include "DbSettings.h"
#include "EtapaArquivo.h"
#include "FtpSettings.h"
#include "QuarvelAcesso.h"
#include "QuarvelDmo.h"

#include <QPlainTextEdit>
#include <QToolButton>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>

namespace {

QString env(const char* name) { return qEnvironmentVariable(name); }

void say(const QByteArray& line) {
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    Application app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    std::signal(SIGPIPE, SIG_IGN);
    if (argc != 2) {
        std::fprintf(stderr, "uso: storage_driver PASTA_DO_DOC_INI\n");
        return 2;
    }
    const TConfiguracao config = lerConfiguracao(localizarDocIni(QString::fromLocal8Bit(argv[1])));
    DbSettings db;
    db.host = env("DRIVER_DB_HOST");
    db.port = env("DRIVER_DB_PORT").toUInt();
    db.user = env("DRIVER_DB_USER");
    db.password = env("DRIVER_DB_PASSWORD");
    db.database = env("DRIVER_DB_NAME");
    db.siteUrl = env("DRIVER_SITE");
    db.connectTimeout = 10;
    db.readTimeout = db.writeTimeout = 120;
    FtpSettings ftp{env("DRIVER_FTP_HOST"), env("DRIVER_FTP_PORT").toInt(), env("DRIVER_FTP_USER"),
                    env("DRIVER_FTP_PASSWORD")};
    Tdmdb dmdb({}, db);
    TFormDlgAcesso form(config, dmdb, ftp);
    form.regional = [] { return QLocale(QStringLiteral("pt_BR")); };
    form.show();

    bool pausar = false;
    form.aoPassarArquivo = [&](TEtapaArquivo etapa, const QByteArray& caminho) {
        if (etapa == TEtapaArquivo::Confirmado)
            say("armazenado " + caminho);
        if (etapa == TEtapaArquivo::Lido && pausar) {
            pausar = false;
            say("lido " + caminho);
            std::string linha;
            while (std::getline(std::cin, linha) && linha != "continuar") {
            }
        }
    };
    QString visto; // the log as last reported; lines from the start-up go with the first press
    std::string comando;
    while (std::getline(std::cin, comando)) {
        if (comando != "armazenar" && comando != "armazenar-pausando")
            continue;
        pausar = comando == "armazenar-pausando";
        form.BitArmazenar->click();
        QCoreApplication::processEvents();
        const QString log = form.MemoErros->toPlainText();
        for (const QString& linha : log.mid(visto.size()).split(u'\n'))
            if (!linha.isEmpty())
                say("log " + linha.toUtf8());
        visto = log;
        say("fim");
    }
    return 0;
}
