// The listing (Busca) against find over the same tree, and the same tree in the window's
// list boxes.
#include "Application.h"
#include "BenchSupport.h"
#include "Busca.h"
#include "Configuracao.h"
#include "ListaPendente.h"
#include "OpcoesBusca.h"
#include "QuarvelAcesso.h"
#include "QuarvelDmo.h"

#include <QCoreApplication>
#include <QFile>
#include <QListWidget>
#include <QToolButton>
#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

using bench::Clock;
using bench::figura;

namespace {

// Runs `find ROOT -name '*.xml'` with its output into `saida` (a descriptor); returns the
// seconds it took, start of the process included.
double rodarFind(const QString& raiz, int saida) {
    const QByteArray r = QFile::encodeName(raiz);
    const char* argv[] = {"find", r.constData(), "-name", "*.xml", nullptr};
    posix_spawn_file_actions_t acoes;
    posix_spawn_file_actions_init(&acoes);
    posix_spawn_file_actions_adddup2(&acoes, saida, STDOUT_FILENO);
    const auto inicio = Clock::now();
    pid_t pid = 0;
    const int erro = posix_spawnp(&pid, "find", &acoes, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&acoes);
    if (erro != 0)
        throw std::runtime_error("cannot start find");
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    const double s = bench::segundosDesde(inicio);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("find failed");
    return s;
}

qsizetype linhasDoFind(const QString& raiz) {
    char modelo[] = "/tmp/quarvel-bench-find.XXXXXX";
    const int fd = ::mkstemp(modelo);
    if (fd < 0)
        throw std::runtime_error("cannot create a temporary file");
    rodarFind(raiz, fd);
    ::close(fd);
    QFile f(QString::fromLocal8Bit(modelo));
    qsizetype n = -1;
    if (f.open(QIODevice::ReadOnly))
        n = f.readAll().count('\n');
    ::unlink(modelo);
    return n;
}

} // namespace

// listagem --arvore DIR --bkp DIR [--passes P]
// The listing as the window starts it (the backup tree excluded) and find, alternating, the
// best pass of each counted. Both must find the same number of files.
int medirListagem(const QStringList& args) {
    const QString arvore = bench::opcao(args, QStringLiteral("--arvore"));
    const QString bkp = bench::opcao(args, QStringLiteral("--bkp"));
    const int passes = bench::opcao(args, QStringLiteral("--passes"), QStringLiteral("5")).toInt();
    if (arvore.isEmpty() || bkp.isEmpty() || passes < 1)
        throw std::runtime_error("usage: listagem --arvore DIR --bkp DIR [--passes P]");
    TOpcoesBusca opcoes;
    opcoes.excluidas = {bkp};
    const qsizetype esperados = linhasDoFind(arvore);
    const int nulo = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    double melhorBusca = 1e30, melhorFind = 1e30;
    qsizetype achados = 0;
    for (int p = 0; p < passes; ++p) {
        const auto inicio = Clock::now();
        const TListaPendente lista = listarArquivosXml(arvore, opcoes);
        melhorBusca = qMin(melhorBusca, bench::segundosDesde(inicio));
        achados = lista.size();
        melhorFind = qMin(melhorFind, rodarFind(arvore, nulo));
    }
    ::close(nulo);
    if (achados != esperados || achados == 0)
        throw std::runtime_error(QStringLiteral("the listing found %1 files, find %2")
                                     .arg(achados)
                                     .arg(esperados)
                                     .toStdString());
    figura(QStringLiteral("listing_files"), double(achados), QStringLiteral("files"));
    figura(QStringLiteral("listing_s"), melhorBusca, QStringLiteral("s"));
    figura(QStringLiteral("find_s"), melhorFind, QStringLiteral("s"));
    figura(QStringLiteral("listing_vs_find"), melhorFind / melhorBusca, QStringLiteral("ratio"));
    return 0;
}

// janela-listas --arvore DIR --bkp DIR [--passes P]
// A press of "Listar Arquivos" in the real window (offscreen) over the tree: the time until
// both list boxes are filled and the window has painted them; the slowest press counts.
int medirListasJanela(const QStringList& args) {
    const QString arvore = bench::opcao(args, QStringLiteral("--arvore"));
    const QString bkp = bench::opcao(args, QStringLiteral("--bkp"));
    const int passes = bench::opcao(args, QStringLiteral("--passes"), QStringLiteral("3")).toInt();
    if (arvore.isEmpty() || bkp.isEmpty() || passes < 1)
        throw std::runtime_error("usage: janela-listas --arvore DIR --bkp DIR [--passes P]");
    TConfiguracao c = configuracaoPadrao();
    c.sPastaNFE = arvore;
    c.sPastaBKP = bkp;
    Tdmdb dmdb; // never connected: listing needs no database
    TFormDlgAcesso form(c, dmdb);
    form.show();
    for (int i = 0; i < 10; ++i)
        QCoreApplication::processEvents();

    double pior = 0;
    for (int p = 0; p < passes; ++p) {
        const auto inicio = Clock::now();
        form.BitListar->click();
        form.ListBoxArquivo->repaint();
        form.listBoxPasta->repaint();
        QCoreApplication::processEvents();
        pior = qMax(pior, bench::segundosDesde(inicio));
    }
    if (form.ListBoxArquivo->count() == 0 ||
        form.ListBoxArquivo->count() != form.listBoxPasta->count())
        throw std::runtime_error("the window's lists were not filled");
    figura(QStringLiteral("window_lists_files"), form.ListBoxArquivo->count(),
           QStringLiteral("files"));
    figura(QStringLiteral("window_lists_s"), pior, QStringLiteral("s"));
    return 0;
}
