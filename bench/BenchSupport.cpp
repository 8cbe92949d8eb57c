#include "BenchSupport.h"

#include <QDirIterator>
#include <QFile>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace bench {

void figura(const QString& nome, double valor, const QString& unidade) {
    const QString texto = QString::number(valor, 'f', std::abs(valor) >= 100 ? 1 : 4);
    std::printf("%s %s %s\n", qPrintable(nome), qPrintable(texto), qPrintable(unidade));
    std::fflush(stdout);
}

QString opcao(const QStringList& args, const QString& nome, const QString& padrao) {
    const qsizetype i = args.indexOf(nome);
    return i >= 0 && i + 1 < args.size() ? args[i + 1] : padrao;
}

QString ambiente(const char* chave) {
    const QByteArray v = qgetenv(chave);
    if (v.isEmpty())
        throw std::runtime_error(std::string(chave) +
                                 " is not set: start the services first (bench/run does)");
    return QString::fromUtf8(v);
}

long picoRssKb() {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& linha : f.readAll().split('\n'))
        if (linha.startsWith("VmHWM:"))
            return linha.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

QStringList arquivosXml(const QString& pastaLocal) {
    QStringList lista;
    QDirIterator it(pastaLocal, {QStringLiteral("*.xml")}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        lista << it.next();
    lista.sort();
    return lista;
}

} // namespace bench
