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
#include <sys/wait.h>
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
        testes_movimento::simularSemRenameExclusivo(semExclusivo);
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
    testes_movimento::simularSemRenameExclusivo(false);
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

// A link leaves a regular file with its target's bytes in the backup and goes; its target
// stays as it was. On one file system and across two.
TEST(ScShellMoveFile, ASymbolicLinkLeavesACopyOfItsTarget) {
    QTemporaryDir outro(QStringLiteral("/dev/shm/quarvel-XXXXXX"));
    ASSERT_TRUE(outro.isValid());
    for (const bool mesmoSistema : {true, false}) {
        SCOPED_TRACE(mesmoSistema ? "same file system" : "another file system");
        QTemporaryDir t;
        const QString alvo = t.path() + QStringLiteral("/fora/alvo.xml");
        writeFile(alvo, "a nota");
        struct stat antes {};
        ASSERT_EQ(::stat(n(alvo).constData(), &antes), 0);
        const QString link = t.path() + QStringLiteral("/NFE/nota.xml");
        QDir().mkpath(t.path() + QStringLiteral("/NFE"));
        ASSERT_TRUE(QFile::link(alvo, link));
        const TIdentidadeArquivo lido = *identidadeDoCaminho(n(link));
        const QString bkp = (mesmoSistema ? t.path() : outro.path()) + QStringLiteral("/BKP");
        QString motivo;
        ASSERT_TRUE(scShellMoveFile(n(link), n(bkp + QStringLiteral("/nota.xml")), &motivo, &lido))
            << motivo.toStdString();
        EXPECT_FALSE(QFileInfo(link).isSymLink());
        EXPECT_FALSE(QFileInfo::exists(link));
        const QFileInfo copia(bkp + QStringLiteral("/nota.xml"));
        EXPECT_FALSE(copia.isSymLink());
        EXPECT_TRUE(copia.isFile());
        EXPECT_EQ(arvore(bkp), (QMap<QString, QByteArray>{{"nota.xml", "a nota"}}));
        struct stat depois {};
        ASSERT_EQ(::stat(n(alvo).constData(), &depois), 0);
        EXPECT_EQ(depois.st_ino, antes.st_ino);
        EXPECT_EQ(readFile(alvo), "a nota");
    }
    // Without a target there is nothing to copy: the link stays.
    QTemporaryDir t;
    const QString quebrado = t.path() + QStringLiteral("/quebrado.xml");
    ASSERT_TRUE(QFile::link(t.path() + QStringLiteral("/sumiu.xml"), quebrado));
    QString motivo;
    EXPECT_FALSE(scShellMoveFile(n(quebrado), n(t.path() + QStringLiteral("/BKP/quebrado.xml")),
                                 &motivo));
    EXPECT_FALSE(motivo.isEmpty());
    EXPECT_TRUE(QFileInfo(quebrado).isSymLink());
}

// The target folder already holds the file's bytes under its name or a numbered form of it
// (a move stopped between placing and deleting, the same file stored twice): the source goes
// and nothing new is placed. Same bytes under another name, or another file under the name,
// are no copy.
TEST(ScShellMoveFile, ACopyAlreadyInPlaceIsNotPlacedTwice) {
    const struct {
        const char* titulo;
        QMap<QString, QByteArray> antes; // the target folder
        QMap<QString, QByteArray> depois;
    } casos[] = {
        {"under its name", {{"nota.xml", "conteudo"}}, {{"nota.xml", "conteudo"}}},
        {"under a numbered name",
         {{"nota.xml", "outro"}, {"nota (2).xml", "conteudo"}},
         {{"nota.xml", "outro"}, {"nota (2).xml", "conteudo"}}},
        {"after a gap in the numbers the series ends",
         {{"nota.xml", "outro"}, {"nota (3).xml", "conteudo"}},
         {{"nota.xml", "outro"}, {"nota (2).xml", "conteudo"}, {"nota (3).xml", "conteudo"}}},
        {"same size, other bytes",
         {{"nota.xml", "CONTEUDO"}},
         {{"nota.xml", "CONTEUDO"}, {"nota (2).xml", "conteudo"}}},
        {"a longer file that begins alike",
         {{"nota.xml", "conteudo e mais"}},
         {{"nota.xml", "conteudo e mais"}, {"nota (2).xml", "conteudo"}}},
        {"same bytes under another name",
         {{"copia.xml", "conteudo"}},
         {{"copia.xml", "conteudo"}, {"nota.xml", "conteudo"}}},
    };
    for (const bool outroSistema : {false, true}) {
        for (const auto& c : casos) {
            SCOPED_TRACE(std::string(c.titulo) + (outroSistema ? ", another file system" : ""));
            QTemporaryDir t;
            QTemporaryDir outro(QStringLiteral("/dev/shm/quarvel-XXXXXX"));
            const QString destino = (outroSistema ? outro.path() : t.path()) + QStringLiteral("/BKP/");
            for (auto it = c.antes.cbegin(); it != c.antes.cend(); ++it)
                writeFile(destino + it.key(), it.value());
            const QString fonte = t.path() + QStringLiteral("/NFE/nota.xml");
            writeFile(fonte, "conteudo");
            const TIdentidadeArquivo lido = *identidadeDoCaminho(n(fonte));
            QString motivo;
            ASSERT_TRUE(scShellMoveFile(n(fonte), n(destino + QStringLiteral("nota.xml")), &motivo,
                                        &lido))
                << motivo.toStdString();
            EXPECT_FALSE(QFile::exists(fonte));
            EXPECT_EQ(arvore(destino), c.depois);
        }
    }
    // A source changed since it was read is not taken for its old copy.
    QTemporaryDir t;
    const QString fonte = t.path() + QStringLiteral("/NFE/nota.xml");
    writeFile(fonte, "conteudo");
    writeFile(t.path() + QStringLiteral("/BKP/nota.xml"), "conteudo");
    TIdentidadeArquivo lido = *identidadeDoCaminho(n(fonte));
    lido.modificacaoNs -= 1000000000;
    QString motivo;
    EXPECT_FALSE(scShellMoveFile(n(fonte), n(t.path() + QStringLiteral("/BKP/nota.xml")), &motivo,
                                 &lido));
    EXPECT_EQ(motivo, motivoArquivoAlterado());
    EXPECT_TRUE(QFile::exists(fonte));
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
        const TIdentidadeArquivo lido = *identidadeDoCaminho(n(fonte));
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
    const TIdentidadeArquivo lido = *identidadeDoCaminho(origem + nome);
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
    const TIdentidadeArquivo lido = *identidadeDoCaminho(n(fonte));
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
    const TIdentidadeArquivo lido = *identidadeDoCaminho(n(fonte));
    testes_movimento::aoColocarCopia([this] { writeFile(fonte, "versao nova"); });
    QString motivo;
    const bool movido = scShellMoveFile(
        n(fonte), n(destino.path() + QStringLiteral("/BKP/nota.xml")), &motivo, &lido);
    testes_movimento::aoColocarCopia({});
    EXPECT_FALSE(movido);
    EXPECT_EQ(motivo, motivoArquivoAlterado());
    EXPECT_EQ(readFile(fonte), "versao nova");
    EXPECT_EQ(arvore(destino.path()), soOQueJaEstava());
}

// The process is killed between placing the copy and deleting the source (a power cut with
// the backup on another disk): both are left. The next move of the source deletes it and
// places nothing, so the backup holds one copy.
TEST_F(OutroSistema, AMoveKilledBetweenPlacingAndDeletingLeavesOneCopy) {
    const QString alvo = destino.path() + QStringLiteral("/BKP/nota.xml");
    const pid_t filho = ::fork();
    ASSERT_GE(filho, 0);
    if (filho == 0) {
        testes_movimento::aoColocarCopia([] { ::raise(SIGKILL); });
        scShellMoveFile(n(fonte), n(alvo));
        ::_exit(3); // the kill did not come
    }
    int estado = 0;
    ASSERT_EQ(::waitpid(filho, &estado, 0), filho);
    ASSERT_TRUE(WIFSIGNALED(estado) && WTERMSIG(estado) == SIGKILL) << estado;
    const QByteArray bytes(300 * 1024, 'n');
    EXPECT_EQ(readFile(fonte), bytes);
    EXPECT_EQ(arvore(destino.path()),
              (QMap<QString, QByteArray>{{"BKP/nota.xml", "ja estava"}, {"BKP/nota (2).xml", bytes}}));

    const TIdentidadeArquivo lido = *identidadeDoCaminho(n(fonte));
    QString motivo;
    ASSERT_TRUE(scShellMoveFile(n(fonte), n(alvo), &motivo, &lido)) << motivo.toStdString();
    EXPECT_FALSE(QFile::exists(fonte));
    EXPECT_EQ(arvore(destino.path()),
              (QMap<QString, QByteArray>{{"BKP/nota.xml", "ja estava"}, {"BKP/nota (2).xml", bytes}}));
}

} // namespace
