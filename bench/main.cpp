// The benchmark program: one command per measurement; bench/run drives them and prints the
// table. Every command prints its figures as "name value unit" lines.
#include "Application.h"
#include "BenchSupport.h"

#include <QCoreApplication>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <exception>
#include <map>
#include <memory>

int main(int argc, char** argv) {
    const QString comando = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    // The window commands need widgets; the others run without a screen, as light as the
    // storage run itself can be.
    const bool janela = comando.startsWith(QLatin1String("janela"));
    std::unique_ptr<QCoreApplication> app;
    if (janela)
        app = std::make_unique<Application>(argc, argv);
    else
        app = std::make_unique<QCoreApplication>(argc, argv);
    // As the program does: numbers from the server and documents keep the C conventions,
    // and a peer resetting a socket gives an error instead of ending the process.
    std::setlocale(LC_NUMERIC, "C");
    std::signal(SIGPIPE, SIG_IGN);

    const std::map<QString, int (*)(const QStringList&)> comandos = {
        {QStringLiteral("gerar-nfe"), gerarNFe},
        {QStringLiteral("gerar-arvore"), gerarArvore},
        {QStringLiteral("gerar-inserts"), gerarInserts},
        {QStringLiteral("armazenamento"), medirArmazenamento},
        {QStringLiteral("etapas"), medirEtapas},
        {QStringLiteral("janela-armazenamento"), medirArmazenamentoJanela},
        {QStringLiteral("leitura"), medirLeitura},
        {QStringLiteral("listagem"), medirListagem},
        {QStringLiteral("janela-listas"), medirListasJanela},
        {QStringLiteral("verificacao"), medirVerificacao},
    };
    const auto it = comandos.find(comando);
    if (it == comandos.end()) {
        std::fprintf(stderr, "usage: quarvel_bench COMMAND [options]; commands:");
        for (const auto& [nome, f] : comandos)
            std::fprintf(stderr, " %s", qPrintable(nome));
        std::fprintf(stderr, "\n");
        return 2;
    }
    try {
        return it->second(QCoreApplication::arguments().mid(2));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quarvel_bench %s: %s\n", qPrintable(comando), e.what());
        return 1;
    }
}
