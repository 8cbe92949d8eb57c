#include "Busca.h"
#include "ListaPendente.h"
#include "Nomes.h"
#include "OpcoesBusca.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <map>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void touch(const QString& path) { writeFile(path, "<x/>"); }

// Pairs "folder|name" of a listing, for compact comparisons.
QStringList pairs(const TListaPendente& l) {
    EXPECT_EQ(l.pastasLocais.size(), l.arquivos.size());
    QStringList out;
    for (qsizetype i = 0; i < l.arquivos.size(); ++i)
        out << QString::fromUtf8(l.pastasLocais[i] + '|' + l.arquivos[i]);
    return out;
}

QStringList nomes(const TListaPendente& l) {
    QStringList out;
    for (const QByteArray& a : l.arquivos)
        out << QString::fromUtf8(a);
    return out;
}

// Independent walk in the file system's own order (QDir::Unsorted), for the order check.
void expectedWalk(const QString& cPath, QStringList& out) {
    const QFileInfoList entries = QDir(cPath).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QFileInfo& fi : entries) {
        if (fi.isDir())
            expectedWalk(cPath + fi.fileName() + u'/', out);
        else if (fi.fileName().endsWith(QStringLiteral(".xml")))
            out << cPath + u'|' + fi.fileName();
    }
}

} // namespace

TEST(Listing, PreOrderInFileSystemOrder) {
    QTemporaryDir tmp;
    const QString root = tmp.path();
    for (const char* f : {"a.xml", "c.xml", "sub/b.xml", "sub/deep/d.xml", "sub/e.xml", "z/y.xml",
                          "m.xml", "sub/deep/f.txt"})
        touch(root + u'/' + QString::fromLatin1(f));
    const TListaPendente l = listarArquivosXml(root);
    QStringList expected;
    expectedWalk(root + u'/', expected);
    EXPECT_EQ(pairs(l), expected);
    EXPECT_EQ(l.size(), 7);
    // Each subfolder's files sit together, right where the folder was met.
    const QStringList p = pairs(l);
    QStringList subBlock;
    qsizetype firstSub = -1;
    for (qsizetype i = 0; i < p.size(); ++i) {
        if (p[i].contains(QStringLiteral("/sub/"))) {
            if (firstSub < 0)
                firstSub = i;
            subBlock << p[i];
        }
    }
    ASSERT_EQ(subBlock.size(), 3);
    EXPECT_EQ(p.mid(firstSub, subBlock.size()), subBlock);
}

TEST(Listing, ExtensionAndNameRules) {
    QTemporaryDir tmp;
    const QString root = tmp.path() + u'/';
    const struct {
        const char* name;
        bool listed;
    } cases[] = {
        {"nota.xml", true},     {"NOTA.XML", false},    {"nota.XML", false},
        {"nota.Xml", false},    {"nota.bak.xml", true}, {"nota.xml.bak", false},
        {".xml", true},         {".oculto.xml", true},  {"nota.xml ", true},
        {"nota.xml\x01", true}, {"nota. xml", false},   {"semextensao", false},
        {"a:b.xml", true},      {"x.xm:l", false},      {"nota.xmlx", false},
    };
    for (const auto& c : cases)
        touch(root + QString::fromLatin1(c.name));
    QDir().mkpath(root + QStringLiteral("arquivos.xml"));
    touch(root + QStringLiteral("arquivos.xml/dentro.xml"));
    touch(root + QStringLiteral(".oculta/escondido.xml"));

    const TListaPendente l = listarArquivosXml(tmp.path());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(l.arquivos.contains(QByteArray(c.name)), c.listed);
    }
    EXPECT_FALSE(l.arquivos.contains("arquivos.xml"));
    EXPECT_TRUE(pairs(l).contains(root + QStringLiteral("arquivos.xml/|dentro.xml")));
    EXPECT_TRUE(pairs(l).contains(root + QStringLiteral(".oculta/|escondido.xml")));
    // Names are kept as reported, not trimmed.
    EXPECT_TRUE(l.arquivos.contains("nota.xml "));
}

TEST(Listing, MissingOrEmptyRootGivesNothing) {
    EXPECT_EQ(listarArquivosXml(QStringLiteral("/nao/existe/de/jeito/nenhum")).size(), 0);
    EXPECT_EQ(listarArquivosXml(QString()).size(), 0);
}

TEST(Listing, SeparatorIsAppendedUnconditionally) {
    QTemporaryDir tmp;
    touch(tmp.filePath(QStringLiteral("r.xml")));
    touch(tmp.filePath(QStringLiteral("sub/s.xml")));
    // A folder text that already ends with the separator, as a root does, doubles it.
    const TListaPendente l = listarArquivosXml(tmp.path() + u'/');
    EXPECT_TRUE(pairs(l).contains(tmp.path() + QStringLiteral("//|r.xml")));
    EXPECT_TRUE(pairs(l).contains(tmp.path() + QStringLiteral("//sub/|s.xml")));
}

TEST(Listing, LinksAreFollowedButLoopsAreNot) {
    QTemporaryDir tmp;
    QTemporaryDir other;
    const QString root = tmp.path();
    touch(root + QStringLiteral("/a/one.xml"));
    touch(other.path() + QStringLiteral("/outside.xml"));
    ASSERT_EQ(::symlink(QFile::encodeName(root).constData(),
                        QFile::encodeName(root + QStringLiteral("/a/loop")).constData()),
              0);
    ASSERT_EQ(::symlink(QFile::encodeName(other.path()).constData(),
                        QFile::encodeName(root + QStringLiteral("/link")).constData()),
              0);
    const TListaPendente l = listarArquivosXml(root);
    EXPECT_EQ(l.arquivos.count("one.xml"), 1);
    EXPECT_EQ(l.arquivos.count("outside.xml"), 1);
    EXPECT_TRUE(pairs(l).contains(root + QStringLiteral("/link/|outside.xml")));
}

TEST(Listing, BackupTreeIsNeverListed) {
    QTemporaryDir tmp;
    const QString root = tmp.path();
    touch(root + QStringLiteral("/nova.xml"));
    touch(root + QStringLiteral("/BKP/123/202401/guardada.xml"));
    touch(root + QStringLiteral("/BKP/Erros/ruim.xml"));
    ASSERT_EQ(::symlink(QFile::encodeName(root + QStringLiteral("/BKP")).constData(),
                        QFile::encodeName(root + QStringLiteral("/atalho")).constData()),
              0);

    // Given with a doubled separator, through a link, or as the root's ancestor: excluded.
    for (const QString& bkp : {root + QStringLiteral("/BKP"), root + QStringLiteral("//BKP/"),
                               root + QStringLiteral("/atalho")}) {
        SCOPED_TRACE(bkp.toStdString());
        TOpcoesBusca o;
        o.excluidas = {bkp};
        const TListaPendente l = listarArquivosXml(root, o);
        EXPECT_EQ(nomes(l), QStringList{QStringLiteral("nova.xml")});
        EXPECT_EQ(listarArquivosXml(root + QStringLiteral("/BKP/Erros"), o).size(), 0);
        EXPECT_EQ(listarArquivosXml(root + QStringLiteral("/atalho/123"), o).size(), 0);
    }
    // Without the exclusion the backup tree is an ordinary folder.
    EXPECT_EQ(listarArquivosXml(root).arquivos.count("guardada.xml"), 1);
}

// A folder the listing cannot enter keeps its files out of the list: it is named with its
// reason, so the office hears of it. The root itself and a folder gone meanwhile are not.
TEST(Listing, FoldersThatCannotBeSearchedAreNamed) {
    QTemporaryDir tmp;
    const QByteArray root = QFile::encodeName(tmp.path());
    touch(tmp.path() + QStringLiteral("/a.xml"));
    touch(tmp.path() + QStringLiteral("/fechada/dentro.xml"));
    ASSERT_EQ(::chmod(root + "/fechada", 0), 0);
    // Deeper than a path may be: 21 levels of 200 characters.
    const QByteArray funda = makeFolderChain(root, QByteArray(200, 'p'), 21);
    writeFileAt(funda + "/longe.xml", "<x/>");
    TListaPendente l, soAFechada;
    {
        const PermissionsEnforced comoUsuario;
        l = listarArquivosXml(tmp.path());
        soAFechada = listarArquivosXml(tmp.path() + QStringLiteral("/fechada"));
    }
    EXPECT_EQ(nomes(l), QStringList{QStringLiteral("a.xml")});
    ASSERT_EQ(l.naoLidas.size(), 2);
    std::map<QByteArray, int> erros;
    for (const auto& n : l.naoLidas)
        erros[n.pastaLocal] = n.erro;
    EXPECT_EQ(erros[root + "/fechada/"], EACCES);
    // The first level whose path the system refuses.
    QByteArray primeiraLonga = root;
    while (primeiraLonga.size() + 1 < PATH_MAX)
        primeiraLonga += '/' + QByteArray(200, 'p');
    EXPECT_EQ(erros[primeiraLonga + '/'], ENAMETOOLONG);

    EXPECT_EQ(soAFechada.size(), 0);
    EXPECT_TRUE(soAFechada.naoLidas.isEmpty());
    ::chmod(root + "/fechada", 0755);
    removeTree(root);
}

// Names that are not UTF-8 (Latin-1 from an old share) are kept byte for byte, so the paths
// open again.
TEST(Listing, NamesAreKeptAsTheirBytes) {
    QTemporaryDir tmp;
    const QByteArray root = QFile::encodeName(tmp.path());
    const QByteArray pasta = root + "/Mar\xe7o/";
    ASSERT_EQ(::mkdir(pasta.constData(), 0755), 0);
    for (const QByteArray& nome : {QByteArray("a.xml"), QByteArray("nota\xe7\xe3o.xml")}) {
        const QByteArray caminho = pasta + nome;
        const int fd = ::open(caminho.constData(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    const TListaPendente l = listarArquivosXml(tmp.path());
    ASSERT_EQ(l.size(), 2);
    for (qsizetype i = 0; i < l.size(); ++i) {
        EXPECT_EQ(l.pastasLocais[i], pasta);
        EXPECT_EQ(::access(l.caminho(i).constData(), F_OK), 0) << l.caminho(i).toStdString();
    }
    EXPECT_TRUE(l.arquivos.contains("nota\xe7\xe3o.xml"));
}

TEST(Nomes, ReadableNumberedAndSafe) {
    const struct {
        QByteArray nativo;
        std::optional<QString> texto;
        QString legivel;
    } nomes[] = {
        {"nota.xml", QStringLiteral("nota.xml"), QStringLiteral("nota.xml")},
        {"a\xc3\xa7\xc3\xa3o.xml", QStringLiteral("ação.xml"), QStringLiteral("ação.xml")},
        {"Mar\xe7o", std::nullopt, QStringLiteral("Mar\\xe7o")},
        {"a\xc3", std::nullopt, QStringLiteral("a\\xc3")},
        {"linha\nnova\r\t.xml", QStringLiteral("linha\nnova\r\t.xml"),
         QStringLiteral("linha\\nnova\\r\\t.xml")},
        {"x\x7f\xc2\x85\xe2\x80\xa8.xml", QString::fromUtf8("x\x7f\xc2\x85\xe2\x80\xa8.xml"),
         QStringLiteral("x\\x7f\\x85\\u2028.xml")},
        {"\xff\nok\xc3\xa9", std::nullopt, QStringLiteral("\\xff\\nokU").replace(u'U', u'é')},
    };
    for (const auto& n : nomes) {
        SCOPED_TRACE(n.nativo.toStdString());
        EXPECT_EQ(nomeComoTexto(n.nativo), n.texto);
        EXPECT_EQ(nomeLegivel(n.nativo), n.legivel);
    }

    EXPECT_EQ(nomeNumerado(QStringLiteral("nota.xml"), 1), u"nota.xml");
    EXPECT_EQ(nomeNumerado(QStringLiteral("nota.xml"), 2), u"nota (2).xml");
    EXPECT_EQ(nomeNumerado(QStringLiteral("a.b.xml"), 3), u"a.b (3).xml");
    EXPECT_EQ(nomeNumerado(QStringLiteral(".xml"), 2), u".xml (2)");
    EXPECT_EQ(nomeNumerado(QByteArray("Mar\xe7o.xml"), 10), QByteArray("Mar\xe7o (10).xml"));

    for (const char* bom : {"52567322000119", "A1b2", "0"})
        EXPECT_TRUE(nomeDePastaSeguro(QString::fromLatin1(bom))) << bom;
    for (const char* ruim : {"", "..", "12.345", "a/b", "ção", "a b", "1\n"})
        EXPECT_FALSE(nomeDePastaSeguro(QString::fromUtf8(ruim))) << ruim;
}
