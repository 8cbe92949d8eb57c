#include "ReaderTestSupport.h"
#include "TestSupport.h"

#include <QFile>
#include <QRegularExpression>
#include <gtest/gtest.h>
#include <optional>

namespace {

struct Fixture {
    const char* arquivo; // fixture file
    const char* nome;    // name it gets in the NF-e folder
    const char* versao;
    const char* demissao; // ISO
    const char* cnumdoc;
    const char* ccnpj_origem;
    const char* cnome_origem;
    const char* ccnpj_destino;
    const char* cnome_destino;
    double nvalortotal;
    const char* chave_doc;
    int completude; // 2 protocolled, 1 signed, 0 neither
};

const char* const kHomologacao = "NF-E EMITIDA EM AMBIENTE DE HOMOLOGACAO - SEM VALOR FISCAL";

// Every one states its key: the protocol's chNFe, else the Id of infNFe, whatever its name.
const Fixture kFixtures[] = {
    {"nfeproc-310-protocolada.xml", "nfeproc-310-protocolada.xml", "3.10", "2017-03-15", "30",
     "58716523000119", "FIMATEC TEXTIL LTDA", "02536490000170", kHomologacao, 19466.30,
     "35170358716523000119550010000000301000000300", 2},
    {"nfe-310-dest-cpf.xml", "nfe-310-dest-cpf.xml", "3.10", "2015-12-17", "1", "58716523000119",
     "FIMATEC TEXTIL LTDA", "02456422287", kHomologacao, 1000.00,
     "35151258716523000119550010000000011001800826", 0},
    {"nfeproc-400-protocolada.xml", "qualquer-nome.xml", "4.00", "2018-09-25", "26",
     "06929383000163", "UMA RAZAO SOCIAL DE TESTE QUALQUER", "58716523000119", kHomologacao, 500.00,
     "43180906929383000163550010000000261000010301", 2},
    {"nfce-400-sem-prologo.xml", "nfce-400-sem-prologo.xml", "4.00", "2020-03-11", "1305",
     "23285089000185", "ANA F. ZCHROTKE MARTIN SORVETERIA", "10422724000187",
     "Lumer Informática Serviços Digitais LTDA", 30.00,
     "41200323285089000185650010000013051817822496", 1},
    {"nfe-400.xml", "nfe-400.xml", "4.00", "2021-04-26", "22", "52567322000119", "FAKE LTDA",
     "07677840000131", kHomologacao, 15.00, "35210458716523000119550010000000221922299869", 0},
};

TEST(LerDadosNFe, RealDocumentsReadToTheirFields) {
    // NF-e values are written with a point: Brazilian settings need sVirgula "S", settings
    // with a decimal point need any other value. Both give the same document.
    const std::pair<QString, QString> regioes[] = {{QStringLiteral("S"), pontoBrasil()},
                                                   {QStringLiteral("N"), pontoC()}};
    for (const Fixture& f : kFixtures) {
        for (const auto& [sVirgula, ponto] : regioes) {
            SCOPED_TRACE(std::string(f.arquivo) + " sVirgula " + sVirgula.toStdString());
            const QByteArray bytes = readFile(fixturePath(QStringLiteral("nfe/") + f.arquivo));
            const Leitura r = lerComo(bytes, QString::fromUtf8(f.nome), sVirgula, ponto);
            ASSERT_TRUE(r.ok) << r.motivo.toStdString();
            const TDadosNFe& d = r.dados;
            EXPECT_EQ(d.versao, QString::fromUtf8(f.versao));
            EXPECT_EQ(d.demissao, QDate::fromString(QString::fromUtf8(f.demissao), Qt::ISODate));
            EXPECT_EQ(d.cnumdoc, QString::fromUtf8(f.cnumdoc));
            EXPECT_EQ(d.cserie, QStringLiteral("1"));
            EXPECT_EQ(d.ccnpj_origem, QString::fromUtf8(f.ccnpj_origem));
            EXPECT_EQ(d.cnome_origem, QString::fromUtf8(f.cnome_origem));
            EXPECT_EQ(d.ccnpj_destino, QString::fromUtf8(f.ccnpj_destino));
            EXPECT_EQ(d.cnome_destino, QString::fromUtf8(f.cnome_destino));
            EXPECT_EQ(d.nvalortotal, f.nvalortotal);
            EXPECT_EQ(d.chave_doc, QString::fromUtf8(f.chave_doc));
            EXPECT_EQ(completude(d), f.completude);
            EXPECT_EQ(d.arquivo, QString::fromUtf8(f.nome));
            EXPECT_EQ(d.pasta, QStringLiteral("/arqs/11222333000181/") + f.ccnpj_origem + u'/' +
                                   QString::fromUtf8(f.demissao).remove(u'-').left(6));
        }
    }
}

// One row: replacements in the minimal document, then either the expected text of one
// field or "!" followed by a part of the reason of the failure.
struct Caso {
    const char* titulo;
    std::vector<std::pair<QString, QString>> trocas;
    const char* campo;
    const char* esperado;
    const char* sVirgula = "S";
    bool brasil = true;
    const char* nome = "nota.xml";
};

const QString kDhEmi = QStringLiteral("<dhEmi>2021-04-26T17:20:47-03:00</dhEmi>");
const QString kVersao = QStringLiteral("versao=\"4.00\"");
const QString kRaiz = QStringLiteral("<NFe xmlns=\"http://www.portalfiscal.inf.br/nfe\">");
const QString kFimRaiz = QStringLiteral("</NFe>");
const QString kEmitCnpj = QStringLiteral("<CNPJ>52567322000119</CNPJ>");
const QString kDestCnpj = QStringLiteral("<CNPJ>07677840000131</CNPJ>");
const QString kXNome = QStringLiteral("<xNome>FAKE LTDA</xNome>");
const QString kVNF = QStringLiteral("<vNF>1500.00</vNF>");
const QString kProcAbre =
    QStringLiteral("<nfeProc xmlns=\"http://www.portalfiscal.inf.br/nfe\" versao=\"4.00\"><NFe>");

std::pair<QString, QString> dhEmi(const char* texto) {
    return {kDhEmi, QStringLiteral("<dhEmi>%1</dhEmi>").arg(QString::fromUtf8(texto))};
}
std::pair<QString, QString> versao(const char* v) {
    return {kVersao, QStringLiteral("versao=\"%1\"").arg(QString::fromUtf8(v))};
}
std::pair<QString, QString> vNF(const char* texto) {
    return {kVNF, QStringLiteral("<vNF>%1</vNF>").arg(QString::fromUtf8(texto))};
}
std::pair<QString, QString> xNome(const char* conteudo) {
    return {kXNome, QStringLiteral("<xNome>%1</xNome>").arg(QString::fromUtf8(conteudo))};
}
std::pair<QString, QString> emitCnpj(const char* conteudo) {
    return {kEmitCnpj, QStringLiteral("<CNPJ>%1</CNPJ>").arg(QString::fromUtf8(conteudo))};
}
// Renames an element, so that it is missing under its own name.
std::vector<std::pair<QString, QString>> sem(const char* elemento) {
    const QString e = QString::fromUtf8(elemento);
    return {{u'<' + e + u'>', u'<' + e + QStringLiteral("X>")},
            {QStringLiteral("</") + e + u'>', QStringLiteral("</") + e + QStringLiteral("X>")}};
}
const QString kAssinatura =
    QStringLiteral("<Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><SignedInfo/>"
                   "<SignatureValue>YWJj</SignatureValue></Signature>");
std::vector<std::pair<QString, QString>> protocolo(const char* infProt) {
    return {{kRaiz, kProcAbre},
            {kFimRaiz, QStringLiteral("</NFe><protNFe versao=\"4.00\">%1</protNFe></nfeProc>")
                           .arg(QString::fromUtf8(infProt))}};
}

const std::vector<Caso> kCasos = {
    // Emission date and layout version.
    {"layout 4.00 takes dhEmi", {}, "demissao", "2021-04-26"},
    {"layout 3.10 takes dhEmi", {versao("3.10")}, "demissao", "2021-04-26"},
    {"a later layout number takes dhEmi", {versao("10.00")}, "demissao", "2021-04-26"},
    {"2.00 wants dEmi", {versao("2.00")}, "demissao", "!data"},
    {"2.00 reads dEmi",
     {versao("2.00"), {kDhEmi, "<dEmi>2014-11-14</dEmi>"}},
     "demissao",
     "2014-11-14"},
    {"3.1 is not 3.10", {versao("3.1")}, "demissao", "!data"},
    {"empty versao reads dEmi",
     {versao(""), {kDhEmi, "<dEmi>2014-11-14</dEmi>"}},
     "demissao",
     "2014-11-14"},
    {"non-numeric versao reads dEmi",
     {versao("x"), {kDhEmi, "<dEmi>2014-11-14</dEmi>"}},
     "demissao",
     "2014-11-14"},
    {"4.00 ignores dEmi", {{kDhEmi, "<dEmi>1999-01-01</dEmi>" + kDhEmi}}, "demissao", "2021-04-26"},
    {"4.00 without dhEmi", {{kDhEmi, "<dEmi>2014-11-14</dEmi>"}}, "demissao", "!data"},
    {"no versao attribute",
     {{kVersao, "versaoX=\"2.00\""}, {kDhEmi, "<dEmi>2014-11-14</dEmi>"}},
     "demissao",
     "!versao"},
    {"day and month as written", {dhEmi("2014-11-05T23:30:00-03:00")}, "demissao", "2014-11-05"},
    {"date without time", {dhEmi("2014-11-14")}, "demissao", "2014-11-14"},
    {"leap day", {dhEmi("2016-02-29T10:00:00-03:00")}, "demissao", "2016-02-29"},
    {"no such day", {dhEmi("2014-02-29T10:00:00-03:00")}, "demissao", "!data"},
    {"no such month", {dhEmi("2014-13-01T10:00:00-03:00")}, "demissao", "!data"},
    {"year zero", {dhEmi("0000-01-01T10:00:00-03:00")}, "demissao", "!data"},
    {"regional form", {dhEmi("14/11/2014")}, "demissao", "!data"},
    {"empty date", {dhEmi("")}, "demissao", "!data"},
    {"date holding a comment", {dhEmi("2021-04-26<!-- x -->")}, "demissao", "!dhEmi"},

    // Element texts.
    {"missing nNF is empty", sem("nNF"), "cnumdoc", ""},
    {"empty serie", {{"<serie>7</serie>", "<serie/>"}}, "cserie", ""},
    {"references of the language",
     {xNome("A &amp; B &#233; &lt;1&gt;")},
     "cnome_origem",
     "A & B é <1>"},
    {"CDATA section", {xNome("<![CDATA[A & B]]>")}, "cnome_origem", "A & B"},
    {"blanks kept as written", {xNome(" FAKE  LTDA ")}, "cnome_origem", " FAKE  LTDA "},
    {"empty xNome", {xNome("")}, "cnome_origem", ""},
    {"text and a comment", {xNome("FAKE<!-- x -->")}, "cnome_origem", "!xNome"},
    {"text and CDATA", {xNome("A<![CDATA[B]]>")}, "cnome_origem", "!xNome"},
    {"child element", {xNome("<b>FAKE</b>")}, "cnome_origem", "!xNome"},
    {"processing instruction", {xNome("<?pi x?>")}, "cnome_origem", "!xNome"},

    // The issuer CNPJ names folders: letters and digits only.
    {"alphanumeric CNPJ", {emitCnpj("12ABC34500DE35")}, "ccnpj_origem", "12ABC34500DE35"},
    {"issuer by CPF", {{kEmitCnpj, "<CPF>02456422287</CPF>"}}, "ccnpj_origem", "!emitente"},
    {"empty issuer CNPJ", {emitCnpj("")}, "ccnpj_origem", "!emitente"},
    {"path traversal", {emitCnpj("../../etc")}, "ccnpj_origem", "!CNPJ do emitente"},
    {"CR LF", {emitCnpj("5256732200011&#13;&#10;9")}, "ccnpj_origem", "!CNPJ do emitente"},
    {"blank", {emitCnpj("52567322 000119")}, "ccnpj_origem", "!CNPJ do emitente"},
    {"trailing dot", {emitCnpj("52567322000119.")}, "ccnpj_origem", "!CNPJ do emitente"},
    {"non-ASCII digits", {emitCnpj("５２５６")}, "ccnpj_origem", "!CNPJ do emitente"},

    // Recipient.
    {"empty CNPJ falls back to CPF",
     {{kDestCnpj, "<CNPJ></CNPJ><CPF>02456422287</CPF>"}},
     "ccnpj_destino",
     "02456422287"},
    {"CPF only", {{kDestCnpj, "<CPF>02456422287</CPF>"}}, "ccnpj_destino", "02456422287"},
    {"neither CNPJ nor CPF", {{kDestCnpj, ""}}, "ccnpj_destino", ""},
    {"CNPJ wins over CPF",
     {{kDestCnpj, kDestCnpj + "<CPF>02456422287</CPF>"}},
     "ccnpj_destino",
     "07677840000131"},
    {"missing dest", sem("dest"), "ccnpj_destino", "!dest"},
    {"missing ide", sem("ide"), "cnumdoc", "!ide"},
    {"missing emit", sem("emit"), "ccnpj_origem", "!emit"},
    {"missing total", sem("total"), "nvalortotal", "!total"},
    {"missing ICMSTot", sem("ICMSTot"), "nvalortotal", "!ICMSTot"},

    // Total value, the decimal separator and sVirgula.
    {"point under Brazilian settings with S", {}, "nvalortotal", "1500"},
    {"point under Brazilian settings with N", {}, "nvalortotal", "!vNF", "N"},
    {"point under point settings with N", {}, "nvalortotal", "1500", "N", false},
    {"point under point settings with S", {}, "nvalortotal", "!vNF", "S", false},
    {"sVirgula is case-sensitive", {}, "nvalortotal", "!vNF", "s"},
    {"thousands separator, S", {vNF("1.500,00")}, "nvalortotal", "!vNF"},
    {"thousands separator, N", {vNF("1.500,00")}, "nvalortotal", "!vNF", "N"},
    {"thousands separator, point", {vNF("1,500.00")}, "nvalortotal", "!vNF", "N", false},
    {"spaces around", {vNF("  19466.30 ")}, "nvalortotal", "19466.3"},
    {"tab before", {vNF("&#9;1500.00")}, "nvalortotal", "!vNF"},
    {"empty vNF", {vNF("")}, "nvalortotal", "!vNF"},
    {"missing vNF", sem("vNF"), "nvalortotal", "!vNF"},

    // Access key: the one the document states (the protocol's, else infNFe's Id); the file
    // name's text only for a document that states neither.
    {"no key stated: the name's text, 44 digits",
     {},
     "chave_doc",
     "35210458716523000119550010000000221922299869",
     "S",
     true,
     "35210458716523000119550010000000221922299869-nfe.xml"},
    {"no key stated: the name's text",
     {},
     "chave_doc",
     "tests_fixtures_xml_2017si",
     "S",
     true,
     "tests_fixtures_xml_2017si-nfe.xml"},
    {"short name gives no key", {}, "chave_doc", "", "S", true, "a.xml"},
    {"name of 8 characters", {}, "chave_doc", "", "S", true, "nota.xml"},
    {"key from the Id, not the name",
     {{"Id=\"NFe1\"", "Id=\"NFe35210458716523000119550010000000221922299869\""}},
     "chave_doc",
     "35210458716523000119550010000000221922299869",
     "S",
     true,
     "tests_fixtures_xml_2017si-nfe.xml"},
    {"key from the Id, not a key-shaped name",
     {{"Id=\"NFe1\"", "Id=\"NFe35210458716523000119550010000000221922299869\""}},
     "chave_doc",
     "35210458716523000119550010000000221922299869",
     "S",
     true,
     "43180906929383000163550010000000261000010301-nfe.xml"},
    {"Id that is no key: the name's text",
     {{"Id=\"NFe1\"", "Id=\"NFe3521045871652300011955001000000022192229986\""}},
     "chave_doc",
     "abcdefgh",
     "S",
     true,
     "abcdefgh-nfe.xml"},
    {"key from the protocol",
     protocolo("<infProt><chNFe>43180906929383000163550010000000261000010301</chNFe></infProt>"),
     "chave_doc", "43180906929383000163550010000000261000010301"},
    {"the protocol's key before the Id's",
     [] {
         auto t = protocolo(
             "<infProt><chNFe>43180906929383000163550010000000261000010301</chNFe></infProt>");
         t.push_back({"Id=\"NFe1\"", "Id=\"NFe35210458716523000119550010000000221922299869\""});
         return t;
     }(),
     "chave_doc", "43180906929383000163550010000000261000010301"},
    {"protocol without a key: the Id's",
     [] {
         auto t = protocolo("<infProt><cStat>100</cStat></infProt>");
         t.push_back({"Id=\"NFe1\"", "Id=\"NFe35210458716523000119550010000000221922299869\""});
         return t;
     }(),
     "chave_doc", "35210458716523000119550010000000221922299869"},
    {"protocol without infProt", protocolo("<cStat>100</cStat>"), "chave_doc", "!infProt"},
    {"infProt without chNFe", protocolo("<infProt><cStat>100</cStat></infProt>"), "chave_doc", ""},

    // How complete the file is: protocolled 2, signed 1, neither 0.
    {"neither protocol nor signature", {}, "completude", "0"},
    {"signed", {{"</infNFe>", "</infNFe>" + kAssinatura}}, "completude", "1"},
    {"a signature without its value",
     {{"</infNFe>", "</infNFe><Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\">"
                    "<SignedInfo/></Signature>"}},
     "completude",
     "0"},
    {"a Signature outside the signature namespace",
     {{"</infNFe>", "</infNFe><Signature><SignatureValue>x</SignatureValue></Signature>"}},
     "completude",
     "0"},
    {"protocolled", protocolo("<infProt><chNFe>1</chNFe></infProt>"), "completude", "2"},
    {"protocolled and signed",
     [] {
         auto t = protocolo("<infProt><chNFe>1</chNFe></infProt>");
         t.push_back({"</infNFe>", "</infNFe>" + kAssinatura});
         return t;
     }(),
     "completude", "2"},
    {"control character in the name", {}, "cnumdoc", "!nome", "S", true, "a\nb.xml"},
    {"arquivo and pasta", {}, "pasta", "/arqs/11222333000181/52567322000119/202104"},

    // Where infNFe is looked for, and namespaces.
    {"nfeProc shape", {{kRaiz, kProcAbre}, {kFimRaiz, "</NFe></nfeProc>"}}, "cnumdoc", "22"},
    {"nfeProc below the first child",
     {{kRaiz, "<lote xmlns=\"http://www.portalfiscal.inf.br/nfe\"><envio><nfeProc>"},
      {kFimRaiz, "</nfeProc></envio></lote>"}},
     "cnumdoc",
     "22"},
    {"comment before infNFe", {{kRaiz, kRaiz + "<!-- gerado -->"}}, "cnumdoc", "!infNFe"},
    {"text before infNFe", {{kRaiz, kRaiz + "lixo"}}, "cnumdoc", "!infNFe"},
    {"no namespace at all", {{kRaiz, "<NFe>"}}, "cnumdoc", "22"},
    {"child in another namespace",
     {{"<emit>", "<emit xmlns=\"urn:outro\">"}},
     "ccnpj_origem",
     "!emit"},
    {"namespace differing in case",
     {{"<emit>", "<emit xmlns=\"HTTP://WWW.PORTALFISCAL.INF.BR/NFE\">"}},
     "ccnpj_origem",
     "52567322000119"},
    {"undeclared prefix", {{kRaiz, "<x:NFe>"}, {kFimRaiz, "</x:NFe>"}}, "cnumdoc", "!namespace"},
};

TEST(LerDadosNFe, AccessRulesAndConversions) {
    for (const Caso& c : kCasos) {
        SCOPED_TRACE(c.titulo);
        const Leitura r =
            lerComo(nfeCom(c.trocas), QString::fromUtf8(c.nome), QString::fromUtf8(c.sVirgula),
                    c.brasil ? pontoBrasil() : pontoC());
        const QString esperado = QString::fromUtf8(c.esperado);
        if (esperado.startsWith(u'!')) {
            EXPECT_FALSE(r.ok) << "read as "
                               << campo(r.dados, QString::fromUtf8(c.campo)).toStdString();
            EXPECT_TRUE(r.motivo.contains(esperado.mid(1))) << r.motivo.toStdString();
        } else {
            ASSERT_TRUE(r.ok) << r.motivo.toStdString();
            EXPECT_EQ(campo(r.dados, QString::fromUtf8(c.campo)), esperado);
        }
    }
}

// Every element written with a prefix: the nfeProc shape still reads, because lookups
// also match local names; the NFe shape does not, because its first child is compared by
// full name with "infNFe".
TEST(LerDadosNFe, PrefixedDocuments) {
    QString xml = QString::fromUtf8(nfeCom({{kRaiz, kProcAbre}, {kFimRaiz, "</NFe></nfeProc>"}}));
    xml.replace(QRegularExpression(QStringLiteral("<(/?)([A-Za-z])")),
                QStringLiteral("<\\1nfe:\\2"));
    xml.replace(QStringLiteral("xmlns="), QStringLiteral("xmlns:nfe="));
    const Leitura proc = lerComo(xml.toUtf8());
    ASSERT_TRUE(proc.ok) << proc.motivo.toStdString() << "\n" << xml.toStdString();
    EXPECT_EQ(proc.dados.cnumdoc, QStringLiteral("22"));
    EXPECT_EQ(proc.dados.ccnpj_origem, QStringLiteral("52567322000119"));

    QString nfe = QString::fromUtf8(nfeMinima());
    nfe.replace(QRegularExpression(QStringLiteral("<(/?)([A-Za-z])")),
                QStringLiteral("<\\1nfe:\\2"));
    nfe.replace(QStringLiteral("xmlns="), QStringLiteral("xmlns:nfe="));
    const Leitura semProc = lerComo(nfe.toUtf8());
    EXPECT_FALSE(semProc.ok);
    EXPECT_TRUE(semProc.motivo.contains(QStringLiteral("infNFe"))) << semProc.motivo.toStdString();
}

TEST(ConverterDecimal, Grammar) {
    const QString br = pontoBrasil(), c = pontoC();
    const struct {
        const char* texto;
        QString ponto;
        std::optional<double> valor;
    } casos[] = {
        {"1500,00", br, 1500.0},
        {"1500.00", br, std::nullopt},
        {"1500.00", c, 1500.0},
        {"1.500,00", br, std::nullopt},
        {"1,500.00", c, std::nullopt},
        {"1 500", c, std::nullopt},
        {"   12,5  ", br, 12.5},
        {"\t12.5", c, std::nullopt},
        {"12.5\n", c, std::nullopt},
        {"+1.5", c, 1.5},
        {"-1.5", c, -1.5},
        {".5", c, 0.5},
        {"5.", c, 5.0},
        {".", c, std::nullopt},
        {"-", c, std::nullopt},
        {"", c, std::nullopt},
        {"   ", c, std::nullopt},
        {"+-1", c, std::nullopt},
        {"- 1", c, std::nullopt},
        {"1.2.3", c, std::nullopt},
        {"1e3", c, 1000.0},
        {"2,5E-1", br, 0.25},
        {"1E+2", c, 100.0},
        {"1e", c, std::nullopt},
        {"e3", c, std::nullopt},
        {"1e3.5", c, std::nullopt},
        {"1e999", c, std::nullopt},
        {"-1e999", c, std::nullopt},
        {"1e-999", c, std::nullopt},
        {"inf", c, std::nullopt},
        {"nan", c, std::nullopt},
        {"0x1A", c, std::nullopt},
        {"١٢", c, std::nullopt}, // Arabic-Indic digits
        {"19466.30", c, 19466.30},
        {"0.1", c, 0.1},
    };
    for (const auto& k : casos) {
        SCOPED_TRACE(std::string(k.texto) + " with " + k.ponto.toStdString());
        EXPECT_EQ(ConverterDecimal(QString::fromUtf8(k.texto), k.ponto), k.valor);
    }
}

TEST(TrocaPontoVirgula, SwapsOnlyPointsAndCommas) {
    const std::pair<const char*, const char*> casos[] = {{"1.500,00", "1,500.00"},
                                                         {"..,,", ",,.."},
                                                         {"", ""},
                                                         {"a b-é", "a b-é"},
                                                         {"1500.00", "1500,00"}};
    for (const auto& [de, para] : casos)
        EXPECT_EQ(TrocaPontoVirgula(QString::fromUtf8(de)), QString::fromUtf8(para)) << de;
}

} // namespace
