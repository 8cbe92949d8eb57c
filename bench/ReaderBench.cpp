// LerDadosNFe against bare libxml2 parses of the same files.
#include "BenchSupport.h"
#include "NFeReader.h"

#include <QFile>
#include <QFileInfo>
#include <libxml/parser.h>
#include <stdexcept>

using bench::Clock;
using bench::figura;

// leitura --nfe DIR [--passes P]
// Alternating passes over every file, the best pass of each counted: the reader (file read,
// parse, fields) and a bare parse of the file into a tree with the same parser options
// (no network, blanks dropped, no messages).
int medirLeitura(const QStringList& args) {
    const QString nfe = bench::opcao(args, QStringLiteral("--nfe"));
    const int passes = bench::opcao(args, QStringLiteral("--passes"), QStringLiteral("5")).toInt();
    if (nfe.isEmpty() || passes < 1)
        throw std::runtime_error("usage: leitura --nfe DIR [--passes P]");
    struct Arquivo {
        QString pastaLocal, nome;
        QByteArray nativo;
    };
    QList<Arquivo> arquivos;
    for (const QString& caminho : bench::arquivosXml(nfe)) {
        const QFileInfo fi(caminho);
        arquivos.append({fi.path() + u'/', fi.fileName(), QFile::encodeName(caminho)});
    }
    if (arquivos.isEmpty())
        throw std::runtime_error("no files to read");
    xmlInitParser();
    const int opcoes =
        XML_PARSE_NONET | XML_PARSE_NOBLANKS | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

    double melhorLeitor = 1e30, melhorBruto = 1e30;
    double soma = 0; // keeps the reads from being optimised away, and proves they happened
    for (int p = 0; p < passes; ++p) {
        auto inicio = Clock::now();
        for (const Arquivo& a : arquivos) {
            const TDadosNFe d = LerDadosNFe(a.pastaLocal, a.nome, QStringLiteral("N"),
                                            QStringLiteral("."), QStringLiteral("00000000000000"));
            soma += d.nvalortotal;
        }
        melhorLeitor = qMin(melhorLeitor, bench::segundosDesde(inicio));

        inicio = Clock::now();
        for (const Arquivo& a : arquivos) {
            xmlDoc* doc = xmlReadFile(a.nativo.constData(), nullptr, opcoes);
            if (!doc)
                throw std::runtime_error("bare parse failed: " + a.nativo.toStdString());
            soma += doc->children ? 1 : 0;
            xmlFreeDoc(doc);
        }
        melhorBruto = qMin(melhorBruto, bench::segundosDesde(inicio));
    }
    if (!(soma > 0))
        throw std::runtime_error("nothing was read");
    const double n = double(arquivos.size());
    figura(QStringLiteral("reader_files"), n, QStringLiteral("files"));
    figura(QStringLiteral("reader_files_per_s"), n / melhorLeitor, QStringLiteral("files/s"));
    figura(QStringLiteral("bare_parse_files_per_s"), n / melhorBruto, QStringLiteral("files/s"));
    figura(QStringLiteral("reader_vs_bare"), melhorBruto / melhorLeitor, QStringLiteral("ratio"));
    return 0;
}
