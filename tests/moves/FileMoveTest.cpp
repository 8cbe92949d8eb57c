#include "FileMove.h"
#include "TestSupport.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kCnpj = QStringLiteral("52567322000119");

QByteArray n(const QString& path) { return QFile::encodeName(path); }
const QDate kEmissao(2021, 4, 26);

// Every file below root (hidden ones included, so that a leftover temporary shows), as
// relative path -> content.
QMap<QString, QByteArray> arvore(const QString& root) {
    QMap<QString, QByteArray> r;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString p = it.next();
        r.insert(QDir(root).relativeFilePath(p), readFile(p));
    }
    return r;
}

dev_t dispositivo(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_dev : 0;
}

TEST(MoverParaBackup, CreatesTheWholeTreeAndMovesTheFile) {
    QTemporaryDir t;
    const QString bkp = t.path() + QStringLiteral("/nao/existe/BKP");
    const QString origem = t.path() + QStringLiteral("/NFE/sub/");
    writeFile(origem + QStringLiteral("nota.xml"), "conteudo");
    QString motivo;
    ASSERT_TRUE(MoverParaBackup(bkp, n(origem), "nota.xml", kCnpj, kEmissao, &motivo))
        << motivo.toStdString();
    EXPECT_EQ(arvore(bkp), (QMap<QString, QByteArray>{{kCnpj + "/202104/nota.xml", "conteudo"}}));
    EXPECT_FALSE(QFile::exists(origem + QStringLiteral("nota.xml")));
}

// Same name, same issuer and month, three times: three files, nothing replaced. Also on a
// file system without a no-replace rename.
TEST(MoverParaBackup, CollisionsTakeNewNames) {
    const struct {
        const char* nome;
        const char* segundo;
        const char* terceiro;
    } casos[] = {
        {"nota.xml", "nota (2).xml", "nota (3).xml"},
        {"a.b.xml", "a.b (2).xml", "a.b (3).xml"},
        {"semext", "semext (2)", "semext (3)"},
        {".xml", ".xml (2)", ".xml (3)"},
    };
    for (const bool semExclusivo : {false, true}) {
        filemove_testing::simularSemRenameExclusivo(semExclusivo);
        for (const auto& c : casos) {
            SCOPED_TRACE(std::string(c.nome) + (semExclusivo ? " (fallback)" : ""));
            QTemporaryDir t;
            const QString bkp = t.path() + QStringLiteral("/BKP");
            const QString nome = QString::fromUtf8(c.nome);
            for (const char* conteudo : {"1", "2", "3"}) {
                const QString origem = t.path() + QStringLiteral("/NFE/") + conteudo + u'/';
                writeFile(origem + nome, conteudo);
                QString motivo;
                EXPECT_TRUE(MoverParaBackup(bkp, n(origem), n(nome), kCnpj, kEmissao, &motivo))
                    << motivo.toStdString();
            }
            const QString pasta = kCnpj + QStringLiteral("/202104/");
            EXPECT_EQ(arvore(bkp),
                      (QMap<QString, QByteArray>{{pasta + nome, "1"},
                                                 {pasta + QString::fromUtf8(c.segundo), "2"},
                                                 {pasta + QString::fromUtf8(c.terceiro), "3"}}));
        }
    }
    filemove_testing::simularSemRenameExclusivo(false);
}

TEST(MoverParaErros, UnreadableFilesFromAnyFolderLandInErros) {
    QTemporaryDir t;
    const QString bkp = t.path() + QStringLiteral("/BKP/"); // a trailing separator is harmless
    writeFile(t.path() + QStringLiteral("/NFE/a/x.xml"), "primeiro");
    writeFile(t.path() + QStringLiteral("/NFE/b/c/x.xml"), "segundo");
    EXPECT_TRUE(MoverParaErros(bkp, n(t.path() + QStringLiteral("/NFE/a/")), "x.xml"));
    EXPECT_TRUE(MoverParaErros(bkp, n(t.path() + QStringLiteral("/NFE/b/c/")), "x.xml"));
    EXPECT_EQ(arvore(bkp), (QMap<QString, QByteArray>{{"Erros/x.xml", "primeiro"},
                                                      {"Erros/x (2).xml", "segundo"}}));
    EXPECT_TRUE(arvore(t.path() + QStringLiteral("/NFE")).isEmpty());
}

TEST(ScShellMoveFile, FailuresLeaveEverythingWhereItWas) {
    QTemporaryDir t;
    const QString origem = t.path() + QStringLiteral("/NFE/");
    const QString bkp = t.path() + QStringLiteral("/BKP");
    writeFile(origem + QStringLiteral("nota.xml"), "conteudo");
    QDir().mkpath(origem + QStringLiteral("pasta.xml"));
    writeFile(t.path() + QStringLiteral("/bloqueio/") + kCnpj, "um arquivo onde iria a pasta");

    const struct {
        const char* titulo;
        std::function<bool(QString*)> mover;
    } casos[] = {
        {"missing source",
         [&](QString* m) {
             return MoverParaBackup(bkp, n(origem), "sumiu.xml", kCnpj, kEmissao, m);
         }},
        {"source is a folder",
         [&](QString* m) {
             return MoverParaBackup(bkp, n(origem), "pasta.xml", kCnpj, kEmissao, m);
         }},
        {"a file where a folder must be",
         [&](QString* m) {
             return MoverParaBackup(t.path() + QStringLiteral("/bloqueio"), n(origem), "nota.xml",
                                    kCnpj, kEmissao, m);
         }},
        {"onto itself",
         [&](QString* m) {
             return scShellMoveFile(n(origem + QStringLiteral("nota.xml")),
                                    n(origem + QStringLiteral("nota.xml")), m);
         }},
        {"climbing CNPJ",
         [&](QString* m) {
             return MoverParaBackup(bkp, n(origem), "nota.xml", QStringLiteral("../../fora"),
                                    kEmissao, m);
         }},
        {"empty CNPJ",
         [&](QString* m) {
             return MoverParaBackup(bkp, n(origem), "nota.xml", QString(), kEmissao, m);
         }},
        {"no date",
         [&](QString* m) {
             return MoverParaBackup(bkp, n(origem), "nota.xml", kCnpj, QDate(), m);
         }},
        {"climbing name",
         [&](QString* m) {
             return MoverParaErros(bkp, n(origem + QStringLiteral("pasta.xml/")), "..", m);
         }},
    };
    const auto antes = arvore(t.path());
    for (const auto& c : casos) {
        SCOPED_TRACE(c.titulo);
        QString motivo;
        EXPECT_FALSE(c.mover(&motivo));
        EXPECT_FALSE(motivo.isEmpty());
        EXPECT_EQ(arvore(t.path()), antes);
    }
    EXPECT_FALSE(QFileInfo::exists(bkp)); // nothing created for moves that cannot happen
}

TEST(ScShellMoveFile, SymbolicLinkMovesAsTheLink) {
    QTemporaryDir t;
    writeFile(t.path() + QStringLiteral("/alvo.txt"), "alvo");
    const QString link = t.path() + QStringLiteral("/NFE/nota.xml");
    QDir().mkpath(t.path() + QStringLiteral("/NFE"));
    ASSERT_TRUE(QFile::link(t.path() + QStringLiteral("/alvo.txt"), link));
    const QString destino = t.path() + QStringLiteral("/BKP/nota.xml");
    ASSERT_TRUE(scShellMoveFile(n(link), n(destino)));
    EXPECT_FALSE(QFileInfo(link).isSymLink());
    EXPECT_EQ(QFileInfo(destino).symLinkTarget(), t.path() + QStringLiteral("/alvo.txt"));
    EXPECT_EQ(readFile(t.path() + QStringLiteral("/alvo.txt")), "alvo");
}

// Only the file that was read moves: one rewritten or replaced since stays for the next run.
TEST(ScShellMoveFile, OnlyTheFileThatWasReadMoves) {
    const struct {
        const char* titulo;
        std::function<void(const QString&)> mudar;
    } casos[] = {
        {"rewritten in place, same size", [](const QString& f) { writeFile(f, "CONTEUDO"); }},
        {"grown", [](const QString& f) { writeFile(f, "conteudo e mais"); }},
        {"replaced by another file",
         [](const QString& f) {
             writeFile(f + QStringLiteral(".novo"), "conteudo");
             ASSERT_EQ(::rename(n(f + QStringLiteral(".novo")).constData(), n(f).constData()), 0);
         }},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.titulo);
        QTemporaryDir t;
        const QString fonte = t.path() + QStringLiteral("/NFE/nota.xml");
        writeFile(fonte, "conteudo");
        const IdentidadeArquivo lido = *identidadeDoCaminho(n(fonte));
        // A different modification time even on file systems with coarse time stamps.
        QFile f(fonte);
        c.mudar(fonte);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        ASSERT_TRUE(f.setFileTime(QDateTime::currentDateTime().addSecs(-7),
                                  QFileDevice::FileModificationTime));
        f.close();
        const QByteArray depois = readFile(fonte);
        QString motivo;
        EXPECT_FALSE(MoverParaBackup(t.path() + QStringLiteral("/BKP"),
                                     n(t.path() + QStringLiteral("/NFE/")), "nota.xml", kCnpj,
                                     kEmissao, &motivo, &lido));
        EXPECT_EQ(motivo, motivoArquivoAlterado());
        EXPECT_EQ(readFile(fonte), depois);
        EXPECT_TRUE(arvore(t.path() + QStringLiteral("/BKP")).isEmpty());
    }
}

// A name that is not UTF-8 moves under its own bytes.
TEST(MoverParaBackup, NameBytesAreKept) {
    QTemporaryDir t;
    const QByteArray origem = n(t.path()) + "/Mar\xe7o/";
    const QByteArray nome = "nota\xe7.xml";
    ASSERT_EQ(::mkdir(origem.constData(), 0755), 0);
    const int fd = ::open((origem + nome).constData(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
    const IdentidadeArquivo lido = *identidadeDoCaminho(origem + nome);
    QString motivo;
    ASSERT_TRUE(MoverParaBackup(t.path() + QStringLiteral("/BKP"), origem, nome, kCnpj, kEmissao,
                                &motivo, &lido))
        << motivo.toStdString();
    EXPECT_EQ(::access((n(t.path()) + "/BKP/" + n(kCnpj) + "/202104/" + nome).constData(), F_OK),
              0);
    EXPECT_NE(::access((origem + nome).constData(), F_OK), 0);
}

// A target on another file system: /dev/shm is a tmpfs of its own.
class OutroSistema : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(destino.isValid());
        ASSERT_NE(dispositivo(origem.path()), dispositivo(destino.path()))
            << "the cross-file-system tests need " << origem.path().toStdString() << " and "
            << destino.path().toStdString() << " on different file systems";
        fonte = origem.path() + QStringLiteral("/nota.xml");
        writeFile(fonte, QByteArray(300 * 1024, 'n'));
        QFile f(fonte);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        ASSERT_TRUE(f.setFileTime(quando, QFileDevice::FileModificationTime));
        f.close();
        ASSERT_TRUE(QFile::setPermissions(fonte, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                     QFileDevice::ReadGroup));
        permissoes = QFileInfo(fonte).permissions();
        writeFile(destino.path() + QStringLiteral("/BKP/nota.xml"), "ja estava");
    }
    QTemporaryDir origem;
    QTemporaryDir destino{QStringLiteral("/dev/shm/quarvel-XXXXXX")};
    QString fonte;
    QFileDevice::Permissions permissoes;
    const QDateTime quando = QDateTime(QDate(2020, 3, 11), QTime(15, 32, 17));
    QMap<QString, QByteArray> soOQueJaEstava() const { return {{"BKP/nota.xml", "ja estava"}}; }
};

TEST_F(OutroSistema, CopiedPlacedBesideAndSourceDeleted) {
    QString motivo;
    const IdentidadeArquivo lido = *identidadeDoCaminho(n(fonte));
    ASSERT_TRUE(scShellMoveFile(n(fonte), n(destino.path() + QStringLiteral("/BKP/nota.xml")),
                                &motivo, &lido))
        << motivo.toStdString();
    EXPECT_FALSE(QFile::exists(fonte));
    EXPECT_EQ(arvore(destino.path()),
              (QMap<QString, QByteArray>{{"BKP/nota.xml", "ja estava"},
                                         {"BKP/nota (2).xml", QByteArray(300 * 1024, 'n')}}));
    const QFileInfo movido(destino.path() + QStringLiteral("/BKP/nota (2).xml"));
    EXPECT_EQ(movido.lastModified(), quando);
    EXPECT_EQ(movido.permissions(), permissoes);
}

// The source cannot be deleted (immutable): the placed copy is taken back, so the file
// exists once, where it was.
TEST_F(OutroSistema, UndeletableSourceTakesTheCopyBack) {
    const int fd = ::open(QFile::encodeName(fonte).constData(), O_RDONLY);
    ASSERT_GE(fd, 0);
    int flags = 0;
    ASSERT_EQ(::ioctl(fd, FS_IOC_GETFLAGS, &flags), 0);
    const int imutavel = flags | FS_IMMUTABLE_FL;
    ASSERT_EQ(::ioctl(fd, FS_IOC_SETFLAGS, &imutavel), 0)
        << "needs root and a file system with the immutable attribute below "
        << origem.path().toStdString();
    QString motivo;
    const bool movido =
        scShellMoveFile(n(fonte), n(destino.path() + QStringLiteral("/BKP/nota.xml")), &motivo);
    ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    ::close(fd);
    EXPECT_FALSE(movido);
    EXPECT_FALSE(motivo.isEmpty());
    EXPECT_EQ(readFile(fonte), QByteArray(300 * 1024, 'n'));
    EXPECT_EQ(arvore(destino.path()), soOQueJaEstava());
}

// The copy breaks off (file size limit): the source stays, no partial file is left.
TEST_F(OutroSistema, BrokenCopyLeavesNoTrace) {
    struct rlimit antes {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &antes), 0);
    const auto sinal = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit pequeno = antes;
    pequeno.rlim_cur = 64 * 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &pequeno), 0);
    QString motivo;
    const bool movido =
        scShellMoveFile(n(fonte), n(destino.path() + QStringLiteral("/BKP/nota.xml")), &motivo);
    ::setrlimit(RLIMIT_FSIZE, &antes);
    std::signal(SIGXFSZ, sinal);
    EXPECT_FALSE(movido);
    EXPECT_FALSE(motivo.isEmpty());
    EXPECT_EQ(readFile(fonte), QByteArray(300 * 1024, 'n'));
    EXPECT_EQ(arvore(destino.path()), soOQueJaEstava());
}

// Another program rewrites the source while it is copied: the copy is taken back and the new
// version stays for the next run.
TEST_F(OutroSistema, SourceRewrittenDuringTheCopyStays) {
    const IdentidadeArquivo lido = *identidadeDoCaminho(n(fonte));
    filemove_testing::aoColocarCopia([this] { writeFile(fonte, "versao nova"); });
    QString motivo;
    const bool movido = scShellMoveFile(
        n(fonte), n(destino.path() + QStringLiteral("/BKP/nota.xml")), &motivo, &lido);
    filemove_testing::aoColocarCopia({});
    EXPECT_FALSE(movido);
    EXPECT_EQ(motivo, motivoArquivoAlterado());
    EXPECT_EQ(readFile(fonte), "versao nova");
    EXPECT_EQ(arvore(destino.path()), soOQueJaEstava());
}

} // namespace
