// The benchmark's data: synthetic NF-e made from the real fixtures, a large tree for the
// listing, and the INSERT statements of a bare database batch.
#include "BenchSupport.h"
#include "NFeReader.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace {

const char* const kFixtures[] = {"nfeproc-310-protocolada.xml", "nfe-310-dest-cpf.xml",
                                 "nfeproc-400-protocolada.xml", "nfce-400-sem-prologo.xml",
                                 "nfe-400.xml"};
constexpr int kEmitentes = 8;
constexpr int kMeses = 12;

QByteArray lerTudo(const QString& caminho) {
    QFile f(caminho);
    if (!f.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read " + caminho.toStdString());
    return f.readAll();
}

void gravar(const QString& caminho, const QByteArray& dados) {
    QFile f(caminho);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(dados) != dados.size())
        throw std::runtime_error("cannot write " + caminho.toStdString());
}

// Replaces the text of the first element `tag` found at or after `de`; returns where that
// text starts, or -1 when there is no such element.
qsizetype trocarTexto(QByteArray& xml, const QByteArray& tag, const QByteArray& texto,
                      qsizetype de = 0, qsizetype manterDepois = 0) {
    const QByteArray abre = '<' + tag + '>';
    const qsizetype a = xml.indexOf(abre, de);
    if (a < 0)
        return -1;
    const qsizetype ini = a + abre.size();
    const qsizetype fim = xml.indexOf("</" + tag + '>', ini);
    if (fim < 0)
        throw std::runtime_error("unclosed element " + tag.toStdString());
    // manterDepois keeps the tail of the old text (the time of day after a date).
    const qsizetype trocar = manterDepois > 0 ? qMin(manterDepois, fim - ini) : fim - ini;
    xml.replace(ini, trocar, texto);
    return ini;
}

QByteArray digitos(long long v, int largura) {
    return QByteArray::number(v).rightJustified(largura, '0', true);
}

} // namespace

// gerar-nfe --fixtures DIR --out DIR --n N [--pastas K]
// File i takes fixture i % 5, issuer i % 8 and month (i / 40) % 12 of 2023, number i + 1
// and a 44-digit key of its own, named "<key>-nfe.xml", in folder lote<1 + i % K>.
int gerarNFe(const QStringList& args) {
    const QString fixtures = bench::opcao(args, QStringLiteral("--fixtures"));
    const QString saida = bench::opcao(args, QStringLiteral("--out"));
    const int n = bench::opcao(args, QStringLiteral("--n"), QStringLiteral("1000")).toInt();
    const int pastasLocais =
        bench::opcao(args, QStringLiteral("--pastas"), QStringLiteral("4")).toInt();
    if (fixtures.isEmpty() || saida.isEmpty() || n <= 0 || pastasLocais <= 0)
        throw std::runtime_error("usage: gerar-nfe --fixtures DIR --out DIR --n N [--pastas K]");
    QList<QByteArray> modelos;
    for (const char* f : kFixtures)
        modelos << lerTudo(fixtures + u'/' + QString::fromLatin1(f));
    for (int k = 1; k <= pastasLocais; ++k)
        QDir().mkpath(QStringLiteral("%1/lote%2").arg(saida).arg(k));

    for (int i = 0; i < n; ++i) {
        QByteArray xml = modelos[i % modelos.size()];
        const int emitente = i % kEmitentes;
        const int mes = 1 + (i / 40) % kMeses;
        const int dia = 1 + i % 28;
        const QByteArray cnpj = digitos(10000000000000LL + 1111111LL * (emitente + 1), 14);
        const QByteArray data = "2023-" + digitos(mes, 2) + '-' + digitos(dia, 2);
        // cUF, yymm, issuer, model, series, number, emission type, code, check digit.
        const QByteArray chave =
            "35" + QByteArray("23") + digitos(mes, 2) + cnpj + "55" + "001" + digitos(i + 1, 9) +
            '1' + digitos(7919LL * (i + 1) % 100000000, 8) + QByteArray::number(i % 10);
        if (chave.size() != 44)
            throw std::runtime_error("key of the wrong length");

        const qsizetype secaoEmit = xml.indexOf("<emit>");
        if (secaoEmit < 0 || trocarTexto(xml, "CNPJ", cnpj, secaoEmit) < 0)
            throw std::runtime_error("fixture without an issuer CNPJ");
        if (trocarTexto(xml, "dhEmi", data, 0, 10) < 0 && trocarTexto(xml, "dEmi", data) < 0)
            throw std::runtime_error("fixture without an emission date");
        trocarTexto(xml, "nNF", QByteArray::number(i + 1));
        trocarTexto(xml, "chNFe", chave);
        const qsizetype id = xml.indexOf("Id=\"NFe");
        if (id >= 0)
            xml.replace(id + 7, 44, chave);

        gravar(QStringLiteral("%1/lote%2/%3-nfe.xml")
                   .arg(saida)
                   .arg(1 + i % pastasLocais)
                   .arg(QString::fromLatin1(chave)),
               xml);
    }
    return 0;
}

// gerar-arvore --out DIR [--entradas E]
// 100 folders of 9 subfolders each (1 000 folders), the remaining entries spread evenly
// over them as files: two in three "*.xml" (empty), the others PDF, text and look-alikes
// that the listing must skip.
int gerarArvore(const QStringList& args) {
    const QString saida = bench::opcao(args, QStringLiteral("--out"));
    const int entradas =
        bench::opcao(args, QStringLiteral("--entradas"), QStringLiteral("100000")).toInt();
    if (saida.isEmpty() || entradas < 2000)
        throw std::runtime_error("usage: gerar-arvore --out DIR [--entradas E>=2000]");
    QStringList pastasLocais;
    for (int a = 0; a < 100; ++a) {
        const QString topo = QStringLiteral("%1/empresa%2").arg(saida).arg(a, 3, 10, QChar(u'0'));
        pastasLocais << topo;
        for (int b = 0; b < 9; ++b)
            pastasLocais << QStringLiteral("%1/mes%2").arg(topo).arg(b + 1, 2, 10, QChar(u'0'));
    }
    for (const QString& p : pastasLocais)
        if (!QDir().mkpath(p))
            throw std::runtime_error("cannot create " + p.toStdString());
    const int arquivos = entradas - int(pastasLocais.size());
    static const char* const kOutros[] = {".pdf", ".txt", ".xml.bak"};
    for (int i = 0; i < arquivos; ++i) {
        const QString& pastaLocal = pastasLocais[i % pastasLocais.size()];
        const QString nome = i % 3 == 2 ? QStringLiteral("doc%1%2")
                                              .arg(i, 6, 10, QChar(u'0'))
                                              .arg(QLatin1String(kOutros[(i / 3) % 3]))
                                        : QStringLiteral("nota%1.xml").arg(i, 6, 10, QChar(u'0'));
        const QByteArray caminho = QFile::encodeName(pastaLocal + u'/' + nome);
        const int fd = ::open(caminho.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            throw std::runtime_error("cannot create " + caminho.toStdString());
        ::close(fd);
    }
    return 0;
}

namespace {

QByteArray literal(const QString& s) {
    QByteArray r = "'";
    for (char c : s.toUtf8()) {
        if (c == '\\')
            r += "\\\\";
        else if (c == '\'')
            r += "''";
        else if (c == '\0')
            r += "\\0";
        else
            r += c;
    }
    return r + '\'';
}

} // namespace

// gerar-inserts --nfe DIR --out FILE --cnpj ACCOUNT --site URL
// The docs rows the storage run would insert for the files below DIR, one autocommitted
// INSERT each (the run commits every row on its own too).
int gerarInserts(const QStringList& args) {
    const QString nfe = bench::opcao(args, QStringLiteral("--nfe"));
    const QString saida = bench::opcao(args, QStringLiteral("--out"));
    const QString cnpj = bench::opcao(args, QStringLiteral("--cnpj"));
    const QString site =
        bench::opcao(args, QStringLiteral("--site"), QStringLiteral("http://127.0.0.1"));
    if (nfe.isEmpty() || saida.isEmpty() || cnpj.isEmpty())
        throw std::runtime_error("usage: gerar-inserts --nfe DIR --out FILE --cnpj ACCOUNT");
    QByteArray sql;
    for (const QString& caminho : bench::arquivosXml(nfe)) {
        const QFileInfo fi(caminho);
        const TDadosNFe d = LerDadosNFe(fi.path() + u'/', fi.fileName(), QStringLiteral("N"),
                                        QStringLiteral("."), cnpj);
        const QString data = d.demissao.toString(QStringLiteral("yyyy-MM-dd 00:00:00"));
        sql += "INSERT INTO docs (ccnpj_origem, ccnpj_destino, cnumdoc, cserie, demissao, "
               "cnome_destino, cnome_origem, nvalortotal, chave_doc, arquivo, pasta, xml, link, "
               "creferencia) VALUES (" +
               literal(d.ccnpj_origem) + ", " + literal(d.ccnpj_destino) + ", " +
               literal(d.cnumdoc) + ", " + literal(d.cserie) + ", " + literal(data) + ", " +
               literal(d.cnome_destino) + ", " + literal(d.cnome_origem) + ", " +
               QByteArray::number(d.nvalortotal, 'g', 17) + ", " + literal(d.chave_doc) + ", " +
               literal(d.arquivo) + ", " + literal(d.pasta) + ", '', " +
               literal(site + d.pasta + u'/' + d.arquivo) + ", " + literal(mmyyyy(d.demissao)) +
               ");\n";
    }
    gravar(saida, sql);
    return 0;
}
