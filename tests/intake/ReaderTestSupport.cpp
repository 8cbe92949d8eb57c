#include "ReaderTestSupport.h"

#include "NFeIlegivel.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

QByteArray nfeMinima() {
    return QByteArrayLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                             "<NFe xmlns=\"http://www.portalfiscal.inf.br/nfe\">\n"
                             "  <infNFe Id=\"NFe1\" versao=\"4.00\">\n"
                             "    <ide>\n"
                             "      <serie>7</serie>\n"
                             "      <nNF>22</nNF>\n"
                             "      <dhEmi>2021-04-26T17:20:47-03:00</dhEmi>\n"
                             "    </ide>\n"
                             "    <emit>\n"
                             "      <CNPJ>52567322000119</CNPJ>\n"
                             "      <xNome>FAKE LTDA</xNome>\n"
                             "    </emit>\n"
                             "    <dest>\n"
                             "      <CNPJ>07677840000131</CNPJ>\n"
                             "      <xNome>CLIENTE SA</xNome>\n"
                             "    </dest>\n"
                             "    <total>\n"
                             "      <ICMSTot>\n"
                             "        <vNF>1500.00</vNF>\n"
                             "      </ICMSTot>\n"
                             "    </total>\n"
                             "  </infNFe>\n"
                             "</NFe>\n");
}

QByteArray nfeCom(const std::vector<std::pair<QString, QString>>& trocas) {
    QString xml = QString::fromUtf8(nfeMinima());
    for (const auto& [de, para] : trocas) {
        const qsizetype at = xml.indexOf(de);
        EXPECT_GE(at, 0) << "not in the base document: " << de.toStdString();
        if (at >= 0)
            xml.replace(at, de.size(), para);
    }
    return xml.toUtf8();
}

Leitura lerComo(const QByteArray& bytes, const QString& name, const QString& sVirgula,
                const QString& decimalPoint) {
    QTemporaryDir dir;
    const QString folder = dir.path() + u'/';
    writeFile(folder + name, bytes);
    Leitura r;
    try {
        r.dados =
            LerDadosNFe(folder, name, sVirgula, decimalPoint, QStringLiteral("11222333000181"));
        r.ok = true;
    } catch (const TNFeIlegivel& e) {
        r.motivo = QString::fromUtf8(e.what());
    }
    EXPECT_EQ(readFile(folder + name), bytes) << "the read changed the file";
    return r;
}

QString campo(const TDadosNFe& d, const QString& nome) {
    if (nome == u"versao")
        return d.versao;
    if (nome == u"cnumdoc")
        return d.cnumdoc;
    if (nome == u"demissao")
        return d.demissao.toString(Qt::ISODate);
    if (nome == u"cserie")
        return d.cserie;
    if (nome == u"ccnpj_origem")
        return d.ccnpj_origem;
    if (nome == u"cnome_origem")
        return d.cnome_origem;
    if (nome == u"ccnpj_destino")
        return d.ccnpj_destino;
    if (nome == u"cnome_destino")
        return d.cnome_destino;
    if (nome == u"nvalortotal")
        return QString::number(d.nvalortotal, 'g', QLocale::FloatingPointShortest);
    if (nome == u"chave_doc")
        return d.chave_doc;
    if (nome == u"completude")
        return QString::number(completude(d));
    if (nome == u"arquivo")
        return d.arquivo;
    if (nome == u"pasta")
        return d.pasta;
    ADD_FAILURE() << "unknown field " << nome.toStdString();
    return {};
}
