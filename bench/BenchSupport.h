#pragma once

#include <QString>
#include <QStringList>
#include <chrono>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double segundosDesde(Clock::time_point inicio) {
    return std::chrono::duration<double>(Clock::now() - inicio).count();
}

// One machine-readable figure on standard output: "name value unit".
void figura(const QString& nome, double valor, const QString& unidade);

// Value of an option "--name value" in args, or `padrao`.
QString opcao(const QStringList& args, const QString& nome, const QString& padrao = {});

// A setting of the services environment; throws when it is missing.
QString ambiente(const char* chave);

// Peak resident set of this process so far (VmHWM), in KiB.
long picoRssKb();

// Every file below `pastaLocal` whose name ends with ".xml", in a stable order.
QStringList arquivosXml(const QString& pastaLocal);

} // namespace bench

// The commands of the benchmark program; each returns the process exit status.
int gerarNFe(const QStringList& args);
int gerarArvore(const QStringList& args);
int gerarInserts(const QStringList& args);
int medirArmazenamento(const QStringList& args);
int medirEtapas(const QStringList& args);
int medirArmazenamentoJanela(const QStringList& args);
int medirLeitura(const QStringList& args);
int medirListagem(const QStringList& args);
int medirListasJanela(const QStringList& args);
int medirVerificacao(const QStringList& args);
