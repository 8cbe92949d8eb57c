#include "FolderTreeLock.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

enum class Lock { Taken, Busy, Failed };

Lock lockFolder(const QByteArray& path, int operation, std::vector<int>& fds) {
    const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return Lock::Failed;
    int r;
    while ((r = ::flock(fd, operation | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (r == 0) {
        fds.push_back(fd);
        return Lock::Taken;
    }
    const bool busy = errno == EWOULDBLOCK;
    ::close(fd);
    return busy ? Lock::Busy : Lock::Failed;
}

} // namespace

FolderTreeLock::Result FolderTreeLock::acquire(const QByteArray& folder) {
    release();
    char resolved[PATH_MAX];
    if (!::realpath(folder.constData(), resolved))
        return Result::Unsupported;
    const QByteArray root(resolved);
    // The folders above first, from "/" down. A folder above that this user may not read
    // cannot be locked; the other trees still meet at the root and the folders that can.
    for (qsizetype i = 0; i < root.size(); ++i) {
        if (root[i] != '/' || (i == 0 && root.size() == 1))
            continue;
        const QByteArray above = i == 0 ? QByteArray("/") : root.left(i);
        if (lockFolder(above, LOCK_SH, m_fds) == Lock::Busy) {
            release();
            return Result::Busy;
        }
    }
    switch (lockFolder(root, LOCK_EX, m_fds)) {
    case Lock::Taken:
        return Result::Acquired;
    case Lock::Busy:
        release();
        return Result::Busy;
    case Lock::Failed:
        break;
    }
    release();
    return Result::Unsupported;
}

void FolderTreeLock::release() noexcept {
    for (const int fd : m_fds)
        ::close(fd);
    m_fds.clear();
}
