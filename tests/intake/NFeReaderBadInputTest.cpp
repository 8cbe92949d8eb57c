#include "ArquivoLido.h"
#include "NFeIlegivel.h"
#include "ReaderTestSupport.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QStringEncoder>
#include <QTcpServer>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <libxml/globals.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlmemory.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

// An unread element of ide, where a hostile piece can sit without touching the fields.
QByteArray comNatOp(const QByteArray& conteudo, const QByteArray& doctype = {}) {
    QByteArray xml = nfeMinima();
    xml.replace("<ide>", "<ide><natOp>" + conteudo + "</natOp>");
    if (!doctype.isEmpty())
        xml.replace("?>\n", "?>\n" + doctype + "\n");
    return xml;
}

QByteArray risos(const char* onde) {
    QByteArray dtd = "<!DOCTYPE NFe [<!ENTITY r0 \"rarara\">";
    for (int i = 1; i <= 12; ++i) {
        dtd += "<!ENTITY r" + QByteArray::number(i) + " \"";
        for (int k = 0; k < 10; ++k)
            dtd += "&r" + QByteArray::number(i - 1) + ';';
        dtd += "\">";
    }
    dtd += "]>";
    QByteArray xml = nfeMinima();
    if (qstrcmp(onde, "versao") == 0)
        xml.replace("versao=\"4.00\"", "versao=\"&r12;\"");
    else
        xml.replace("<xNome>FAKE LTDA", "<xNome>&r12;");
    xml.replace("?>\n", "?>\n" + dtd + "\n");
    return xml;
}

long picoMemoriaKb() {
    struct rusage u {};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

TEST(LerDadosNFe, HostileFilesAreUnreadableQuicklyAndWithinMemory) {
    const QByteArray fixture =
        readFile(fixturePath(QStringLiteral("nfe/nfeproc-400-protocolada.xml")));
    QByteArray binario(64 * 1024, '\0');
    quint32 x = 12345;
    for (char& b : binario)
        b = char((x = x * 1103515245u + 12345u) >> 24);
    QByteArray latin1Rotulado = nfeMinima();
    latin1Rotulado.replace("FAKE LTDA", "INFORM\xC1TICA"); // Latin-1 bytes, declared UTF-8

    const struct {
        const char* titulo;
        QByteArray bytes;
        const char* motivo;
    } casos[] = {
        {"empty file", {}, "arquivo vazio"},
        {"root without children", "<NFe xmlns=\"http://www.portalfiscal.inf.br/nfe\"/>", "raiz"},
        {"truncated", fixture.left(fixture.size() / 2), "mal formado"},
        {"binary", binario, "mal formado"},
        {"not XML", "NF-e 1305 valor 30,00\n", "mal formado"},
        {"wrong declared encoding", latin1Rotulado, "mal formado"},
        {"unknown encoding",
         QByteArray(nfeMinima()).replace("encoding=\"UTF-8\"", "encoding=\"X-QUARVEL\""),
         "mal formado"},
        {"deep nesting",
         comNatOp(QByteArray("<a>").repeated(20000) + QByteArray("</a>").repeated(20000)),
         "mal formado"},
        {"entity bomb in a text", risos("xNome"), "mal formado"},
        {"entity bomb in versao", risos("versao"), "mal formado"},
        {"flood of tiny nodes", comNatOp(QByteArray("<a/>").repeated(1000000)), "nós"},
        {"flood of references",
         comNatOp(QByteArray("&e;").repeated(1000000), "<!DOCTYPE NFe [<!ENTITY e \"x\">]>"),
         "nós"},
        {"entity in a read text",
         QByteArray(nfeMinima())
             .replace("<xNome>FAKE LTDA", "<xNome>&e;")
             .replace("?>\n", "?>\n<!DOCTYPE NFe [<!ENTITY e \"FAKE\">]>\n"),
         "xNome"},
        {"NUL byte", QByteArray(nfeMinima()).replace("FAKE", QByteArray("FA\0KE", 5)),
         "mal formado"},
    };
    const long antes = picoMemoriaKb();
    for (const auto& c : casos) {
        SCOPED_TRACE(c.titulo);
        QElapsedTimer t;
        t.start();
        const Leitura r = lerComo(c.bytes);
        // A blow-up takes minutes or all memory; 10 s leaves room for a loaded machine.
        EXPECT_LT(t.elapsed(), 10000);
        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(r.motivo.contains(QString::fromUtf8(c.motivo))) << r.motivo.toStdString();
    }
    // The floods are capped at a few hundred thousand nodes; even with the sanitizer's
    // overhead the peak stays far below what an unbounded tree of these files would take.
    EXPECT_LT(picoMemoriaKb() - antes, 400 * 1024);
}

// The reason each kind of unreadable file gives, as the office reads it in the log: all of
// them not readable NF-e documents, for Erros.
TEST(LerDadosNFe, EveryUnreadableFileSaysWhy) {
    QByteArray grande = nfeMinima();
    grande.append(QByteArray(kTamanhoMaximoNFe + 1 - grande.size(), ' '));
    const QByteArray minima = nfeMinima();
    const struct {
        const char* titulo;
        QByteArray bytes;
        const char* motivo;
        const char* sVirgula = "S";
    } casos[] = {
        {"too large", grande,
         "arquivo de 8388609 bytes, acima do tamanho máximo de uma NF-e (8 MB)"},
        {"empty", {}, "arquivo vazio"},
        {"end tag of another element",
         QByteArray(minima).replace("FAKE LTDA</xNome>", "FAKE LTDA</xNomeX>"),
         "XML mal formado na linha 11, coluna 32: a marca de fechamento não corresponde à de "
         "abertura"},
        {"cut short", minima.left(minima.indexOf("1500.00")),
         "XML mal formado na linha 19, coluna 14: o arquivo termina antes de fechar seus "
         "elementos (incompleto?)"},
        {"not XML", "NF-e 1305 valor 30,00\n",
         "XML mal formado na linha 1, coluna 1: não começa com um elemento XML"},
        {"a second document after the first", minima + "<NFe/>",
         "XML mal formado na linha 24, coluna 1: conteúdo depois do fim do documento"},
        {"NFC-e without recipient",
         QByteArray(minima).replace(minima.mid(minima.indexOf("<dest>"),
                                               minima.indexOf("</dest>") + 7 -
                                                   minima.indexOf("<dest>")),
                                    ""),
         "sem destinatário: falta o elemento dest"},
        {"issuer by CPF",
         QByteArray(minima).replace("<CNPJ>52567322000119</CNPJ>", "<CPF>02456422287</CPF>"),
         "emitente sem CNPJ: identificado por CPF"},
        {"issuer without any identification",
         QByteArray(minima).replace("<CNPJ>52567322000119</CNPJ>", ""), "emitente sem CNPJ"},
        {"no such day",
         QByteArray(minima).replace("2021-04-26T17:20:47-03:00", "2021-02-29T17:20:47-03:00"),
         "data de emissão inválida em dhEmi: \"2021-02-29T17:20:47-03:00\""},
        {"layout 2.00 without dEmi", QByteArray(minima).replace("versao=\"4.00\"", "versao=\"2.00\""),
         "data de emissão inválida: o elemento dEmi falta ou está vazio"},
        {"sVirgula that does not fit the regional settings", minima,
         "valor total vNF não é um número: \"1500.00\"; confira sVirgula no DOC.INI (separador "
         "decimal \",\")",
         "N"},
        {"thousands separator", QByteArray(minima).replace("1500.00", "1.500,00"),
         "valor total vNF não é um número: \"1.500,00\""},
        {"a comment in a name", QByteArray(minima).replace("FAKE LTDA", "FAKE<!-- x -->LTDA"),
         "o elemento xNome contém algo além de texto (elementos, comentário ou entidade)"},
        {"another kind of document", "<html><body>nota</body></html>",
         "não é uma NF-e: infNFe não encontrado"},
        {"an empty root", "<NFe/>", "não é uma NF-e: o elemento raiz está vazio"},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.titulo);
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        writeFile(folder + QStringLiteral("x.xml"), c.bytes);
        try {
            LerDadosNFe(folder, QStringLiteral("x.xml"), QString::fromUtf8(c.sVirgula),
                        pontoBrasil(), QStringLiteral("1"));
            ADD_FAILURE() << "read";
        } catch (const TNFeIlegivel& e) {
            EXPECT_EQ(e.motivo().toStdString(), c.motivo);
            EXPECT_EQ(e.tipo, TNFeIlegivel::Tipo::Documento);
        }
    }
}

// Entries that cannot be read now, or hold nothing to read: they stay where they are, each
// with its reason; a FIFO or a device is not even opened.
TEST(LerArquivoNFe, WhatCannotBeReadNowSaysWhyAndStays) {
    QTemporaryDir dir;
    const QByteArray pasta = QFile::encodeName(dir.path()) + '/';
    const QByteArray boa = nfeMinima();
    writeFile(dir.path() + QStringLiteral("/alvo.xml"), boa);
    writeFile(dir.path() + QStringLiteral("/fechado.xml"), boa);
    ASSERT_EQ(::chmod(pasta + "fechado.xml", 0), 0);
    ASSERT_EQ(::mkfifo(pasta + "fila.xml", 0644), 0);
    ASSERT_EQ(::mknod(pasta + "nulo.xml", S_IFCHR | 0644, makedev(1, 3)), 0);
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un endereco{};
    endereco.sun_family = AF_UNIX;
    const QByteArray caminhoSocket = pasta + "sock.xml";
    ASSERT_LT(size_t(caminhoSocket.size()), sizeof endereco.sun_path);
    std::memcpy(endereco.sun_path, caminhoSocket.constData(), size_t(caminhoSocket.size()));
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&endereco), sizeof endereco), 0);
    ASSERT_EQ(::symlink("alvo.xml", pasta + "link.xml"), 0);
    ASSERT_EQ(::symlink("sumiu.xml", pasta + "quebrado.xml"), 0);
    ASSERT_EQ(::symlink("ciclo-b.xml", pasta + "ciclo-a.xml"), 0);
    ASSERT_EQ(::symlink("ciclo-a.xml", pasta + "ciclo-b.xml"), 0);
    const QByteArray funda = makeFolderChain(QFile::encodeName(dir.path()), QByteArray(200, 'p'), 21);
    writeFileAt(funda + "/longa.xml", boa);

    using T = TNFeIlegivel::Tipo;
    const struct {
        const char* titulo;
        QByteArray caminho;
        std::optional<T> tipo; // nothing: read
        QString motivo;
    } casos[] = {
        {"link to an invoice", pasta + "link.xml", {}, {}},
        {"FIFO", pasta + "fila.xml", T::NaoArquivo,
         QStringLiteral("não é um arquivo comum: é uma fila FIFO")},
        {"device", pasta + "nulo.xml", T::NaoArquivo,
         QStringLiteral("não é um arquivo comum: é um dispositivo")},
        {"socket", caminhoSocket, T::NaoArquivo,
         QStringLiteral("não é um arquivo comum: é um socket")},
        {"dangling link", pasta + "quebrado.xml", T::NaoArquivo,
         QStringLiteral("link simbólico para um arquivo que não existe")},
        {"links in a loop", pasta + "ciclo-a.xml", T::NaoArquivo,
         QStringLiteral("links simbólicos em ciclo")},
        {"path too long", funda + "/longa.xml", T::NaoArquivo,
         QStringLiteral("caminho longo demais para o sistema: %1 bytes")
             .arg(funda.size() + 10)},
        {"gone since the listing", pasta + "sumiu.xml", T::Inacessivel,
         QStringLiteral("o arquivo não foi encontrado: apagado, movido ou numa pasta de rede "
                        "desconectada")},
    };
    const int observador = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(observador, 0);
    for (const char* especial : {"fila.xml", "nulo.xml"})
        ASSERT_GE(::inotify_add_watch(observador, pasta + especial, IN_OPEN | IN_ACCESS), 0);
    for (const auto& c : casos) {
        SCOPED_TRACE(c.titulo);
        try {
            const TArquivoLido lido = LerArquivoNFe(c.caminho);
            EXPECT_FALSE(c.tipo) << "read";
            EXPECT_EQ(lido.dados, boa);
        } catch (const TNFeIlegivel& e) {
            ASSERT_TRUE(c.tipo) << e.what();
            EXPECT_EQ(e.tipo, *c.tipo);
            EXPECT_EQ(e.motivo().toStdString(), c.motivo.toStdString());
        }
    }
    char eventos[4096];
    EXPECT_LT(::read(observador, eventos, sizeof eventos), 0) << "a special entry was opened";
    ::close(observador);
    ::close(sock);

    // Reasons that pass: no permission (root meets it too here), too many open files.
    {
        const PermissionsEnforced comoUsuario;
        try {
            LerArquivoNFe(pasta + "fechado.xml");
            ADD_FAILURE() << "read without permission";
        } catch (const TNFeIlegivel& e) {
            EXPECT_EQ(e.tipo, T::Inacessivel);
            EXPECT_EQ(e.motivo().toStdString(), "sem permissão de leitura");
        }
    }
    {
        struct rlimit antes {};
        ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &antes), 0);
        std::vector<int> abertos;
        struct rlimit pouco = antes;
        pouco.rlim_cur = 256;
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &pouco), 0);
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            abertos.push_back(fd);
        std::optional<TNFeIlegivel> falha;
        try {
            LerArquivoNFe(pasta + "alvo.xml");
        } catch (const TNFeIlegivel& e) {
            falha = e;
        }
        for (int fd : abertos)
            ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &antes);
        ASSERT_TRUE(falha);
        EXPECT_EQ(falha->tipo, T::Inacessivel);
        EXPECT_EQ(falha->motivo().toStdString(), "arquivos abertos demais no sistema");
    }
    removeTree(QFile::encodeName(dir.path()));
}

TEST(LerDadosNFe, DeclaredEncodingsAndMarks) {
    const QString nome = QStringLiteral("Lumer Informática Serviços Digitais LTDA");
    const QString xml = QString::fromUtf8(nfeMinima()).replace(QStringLiteral("CLIENTE SA"), nome);
    auto declarado = [&](const char* enc) {
        return QString(xml).replace(QStringLiteral("encoding=\"UTF-8\""),
                                    QStringLiteral("encoding=\"%1\"").arg(QLatin1String(enc)));
    };
    auto codificar = [](const QString& s, QStringConverter::Encoding e) {
        QStringEncoder enc(e, QStringConverter::Flag::WriteBom);
        return QByteArray(enc.encode(s));
    };
    const struct {
        const char* titulo;
        QByteArray bytes;
    } casos[] = {
        {"UTF-8 with a mark", codificar(xml, QStringConverter::Utf8)},
        {"UTF-16LE with a mark", codificar(declarado("UTF-16"), QStringConverter::Utf16LE)},
        {"UTF-16BE with a mark", codificar(declarado("UTF-16"), QStringConverter::Utf16BE)},
        {"ISO-8859-1", declarado("ISO-8859-1").toLatin1()},
        {"windows-1252", declarado("windows-1252").toLatin1()},
        {"no declaration", xml.mid(xml.indexOf(u'<', 1)).toUtf8()},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.titulo);
        const Leitura r = lerComo(c.bytes);
        ASSERT_TRUE(r.ok) << r.motivo.toStdString();
        EXPECT_EQ(r.dados.cnome_destino, nome);
        EXPECT_EQ(r.dados.nvalortotal, 1500.0);
    }
}

// Nothing named by a document is fetched: a malformed target would make the read fail if
// it were loaded, and the local server would see a connection.
TEST(LerDadosNFe, NothingOutsideTheFileIsLoaded) {
    QTemporaryDir dir;
    const QString malformado = dir.path() + QStringLiteral("/ruim.dtd");
    writeFile(malformado, "<nao-fechado");
    QTcpServer servidor;
    ASSERT_TRUE(servidor.listen(QHostAddress::LocalHost));
    const QByteArray http = "http://127.0.0.1:" + QByteArray::number(servidor.serverPort());
    const QByteArray local = QFile::encodeName(malformado);

    const QByteArray casos[] = {
        comNatOp("x", "<!DOCTYPE NFe SYSTEM \"" + local + "\">"),
        comNatOp("&x;", "<!DOCTYPE NFe [<!ENTITY x SYSTEM \"" + local + "\">]>"),
        comNatOp("x", "<!DOCTYPE NFe [<!ENTITY % p SYSTEM \"" + local + "\"> %p;]>"),
        comNatOp("x", "<!DOCTYPE NFe SYSTEM \"" + http + "/nfe.dtd\">"),
        comNatOp("&x;", "<!DOCTYPE NFe [<!ENTITY x SYSTEM \"" + http + "/x\">]>"),
    };
    for (const QByteArray& xml : casos) {
        SCOPED_TRACE(xml.left(xml.indexOf("<NFe")).toStdString());
        const Leitura r = lerComo(xml);
        ASSERT_TRUE(r.ok) << r.motivo.toStdString();
        EXPECT_EQ(r.dados.cnumdoc, QStringLiteral("22"));
    }
    EXPECT_FALSE(servidor.waitForNewConnection(100));
}

TEST(LerDadosNFe, SizeCapBoundary) {
    QByteArray noLimite = nfeMinima();
    noLimite.append(QByteArray(kTamanhoMaximoNFe - noLimite.size(), ' '));
    const Leitura dentro = lerComo(noLimite);
    EXPECT_TRUE(dentro.ok) << dentro.motivo.toStdString();

    const Leitura acima = lerComo(noLimite + ' ');
    EXPECT_FALSE(acima.ok);
    EXPECT_TRUE(acima.motivo.contains(QStringLiteral("tamanho"))) << acima.motivo.toStdString();
}

TEST(LerDadosNFe, WhatIsNotARegularFileIsUnreadableWithoutWaiting) {
    QTemporaryDir dir;
    const QString folder = dir.path() + u'/';
    ASSERT_EQ(::mkfifo(QFile::encodeName(folder + QStringLiteral("fila.xml")).constData(), 0600),
              0);
    ASSERT_TRUE(QDir().mkpath(folder + QStringLiteral("pasta.xml")));
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), folder + QStringLiteral("zero.xml")));
    for (const char* nome : {"fila.xml", "pasta.xml", "zero.xml", "sumiu.xml"}) {
        SCOPED_TRACE(nome);
        QElapsedTimer t;
        t.start();
        EXPECT_THROW(LerDadosNFe(folder, QString::fromUtf8(nome), QStringLiteral("S"),
                                 pontoBrasil(), QStringLiteral("1")),
                     TNFeIlegivel);
        EXPECT_LT(t.elapsed(), 1000);
    }
}

// libxml2's allocations, counted: every read, good or bad, gives back all it took.
std::atomic<long> blocosVivos{0};
void* contaMalloc(size_t n) {
    void* p = std::malloc(n);
    if (p)
        ++blocosVivos;
    return p;
}
void* contaRealloc(void* p, size_t n) {
    void* q = std::realloc(p, n);
    if (!p && q)
        ++blocosVivos;
    return q;
}
void contaFree(void* p) {
    if (p)
        --blocosVivos;
    std::free(p);
}
char* contaStrdup(const char* s) {
    char* p = strdup(s);
    if (p)
        ++blocosVivos;
    return p;
}

TEST(LerDadosNFe, EveryReadReleasesItsTree) {
    xmlFreeFunc f0;
    xmlMallocFunc m0;
    xmlReallocFunc r0;
    xmlStrdupFunc s0;
    ASSERT_EQ(xmlMemGet(&f0, &m0, &r0, &s0), 0);
    ASSERT_EQ(xmlMemSetup(contaFree, contaMalloc, contaRealloc, contaStrdup), 0);

    const QByteArray boa = readFile(fixturePath(QStringLiteral("nfe/nfce-400-sem-prologo.xml")));
    QStringEncoder utf16(QStringConverter::Utf16LE, QStringConverter::Flag::WriteBom);
    const QByteArray arquivos[] = {
        boa,
        boa.left(boa.size() - 10),
        risos("xNome"),
        comNatOp(QByteArray("<a/>").repeated(500000)),
        QByteArray(utf16.encode(QString::fromUtf8(nfeMinima())
                                    .replace(QStringLiteral("UTF-8"), QStringLiteral("UTF-16")))),
        QByteArray(nfeMinima()).replace("<dest>", "<destX>").replace("</dest>", "</destX>"),
    };
    QTemporaryDir dir;
    const QString folder = dir.path() + u'/';
    auto ler = [&](const QByteArray& bytes) -> std::optional<TDadosNFe> {
        writeFile(folder + QStringLiteral("n.xml"), bytes);
        try {
            return LerDadosNFe(folder, QStringLiteral("n.xml"), QStringLiteral("S"), pontoBrasil(),
                               QStringLiteral("1"));
        } catch (const TNFeIlegivel&) {
            return std::nullopt;
        }
    };
    for (const QByteArray& a : arquivos) // first use of each encoding and path
        ler(a);
    // libxml2 keeps a copy of the last error until the next one; that is not a tree.
    xmlResetLastError();
    const long base = blocosVivos;
    const std::optional<TDadosNFe> primeira = ler(boa);
    for (int volta = 0; volta < 3; ++volta) {
        for (const QByteArray& a : arquivos) {
            ler(a);
            xmlResetLastError();
            EXPECT_EQ(blocosVivos, base) << "after a file of " << a.size() << " bytes";
        }
        // A failed read leaves nothing that changes the next one.
        const std::optional<TDadosNFe> de_novo = ler(boa);
        ASSERT_TRUE(primeira && de_novo);
        EXPECT_EQ(de_novo->cnome_destino, primeira->cnome_destino);
        EXPECT_EQ(de_novo->nvalortotal, primeira->nvalortotal);
    }
    xmlMemSetup(f0, m0, r0, s0);
}

} // namespace
