#include "FolderTreeLock.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QByteArray n(const QString& path) { return QFile::encodeName(path); }

// What a lock of `folder` gets in another process while this one holds `held`.
FolderTreeLock::Result inAnotherProcess(const QByteArray& folder) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        FolderTreeLock other;
        ::_exit(int(other.acquire(folder)));
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return FolderTreeLock::Result(WEXITSTATUS(status));
}

} // namespace

// Trees overlap when one holds the other; siblings and unrelated trees do not, and a
// symbolic link does not hide an overlap.
TEST(FolderTreeLock, OverlappingTreesExcludeEachOther) {
    QTemporaryDir t;
    const QString base = t.path();
    for (const char* d : {"NFE/2021/04", "NFE/2022", "Outra"})
        ASSERT_TRUE(QDir().mkpath(base + u'/' + QString::fromLatin1(d)));
    ASSERT_TRUE(QFile::link(base + QStringLiteral("/NFE"), base + QStringLiteral("/atalho")));
    using R = FolderTreeLock::Result;
    const struct {
        const char* held;
        const char* other;
        R result;
    } casos[] = {
        {"NFE", "NFE", R::Busy},
        {"NFE", "NFE/2021/04", R::Busy},
        {"NFE/2021/04", "NFE", R::Busy},
        {"NFE/2021", "atalho/2021/04", R::Busy},
        {"atalho", "NFE/2022", R::Busy},
        {"NFE/2021", "NFE/2022", R::Acquired},
        {"NFE", "Outra", R::Acquired},
        {"NFE/2021/04", "NFE/2021/../2022", R::Acquired},
        {"NFE", "inexistente", R::Unsupported},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(std::string(c.held) + " / " + c.other);
        FolderTreeLock held;
        ASSERT_EQ(held.acquire(n(base + u'/' + QString::fromLatin1(c.held))), R::Acquired);
        EXPECT_EQ(inAnotherProcess(n(base + u'/' + QString::fromLatin1(c.other))), c.result);
        held.release();
        if (c.result == R::Busy) {
            EXPECT_EQ(inAnotherProcess(n(base + u'/' + QString::fromLatin1(c.other))), R::Acquired);
        }
    }
}

// A process that ends, however it ends, holds nothing any more.
TEST(FolderTreeLock, ItGoesWithTheProcess) {
    QTemporaryDir t;
    int fim[2];
    ASSERT_EQ(::pipe(fim), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        FolderTreeLock held;
        held.acquire(n(t.path()));
        char c = 'x';
        (void)!::write(fim[1], &c, 1);
        ::pause();
        ::_exit(0);
    }
    char c;
    ASSERT_EQ(::read(fim[0], &c, 1), 1);
    EXPECT_EQ(inAnotherProcess(n(t.path())), FolderTreeLock::Result::Busy);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    EXPECT_EQ(inAnotherProcess(n(t.path())), FolderTreeLock::Result::Acquired);
    ::close(fim[0]);
    ::close(fim[1]);
}
