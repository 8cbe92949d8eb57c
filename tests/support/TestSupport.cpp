#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <stdexcept>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

QString fixturePath(const QString& relative) {
    return QStringLiteral(QUARVEL_TEST_FIXTURES_DIR) + u'/' + relative;
}

QString sourcePath(const QString& relative) {
    return QStringLiteral(QUARVEL_SOURCE_DIR) + u'/' + relative;
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read " + path.toStdString());
    return f.readAll();
}

void writeFile(const QString& path, const QByteArray& data) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(data) != data.size())
        throw std::runtime_error("cannot write " + path.toStdString());
}

const FixtureNfe kFixturesNfe[5] = {
    {"nfeproc-310-protocolada.xml", "58716523000119", "201703"},
    {"nfe-310-dest-cpf.xml", "58716523000119", "201512"},
    {"nfeproc-400-protocolada.xml", "06929383000163", "201809"},
    {"nfce-400-sem-prologo.xml", "23285089000185", "202003"},
    {"nfe-400.xml", "52567322000119", "202104"},
};

namespace {

bool setDacCapabilities(bool on) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    const quint32 dac = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);
    if (on)
        data[0].effective |= dac & data[0].permitted;
    else
        data[0].effective &= ~dac;
    return ::syscall(SYS_capset, &header, data) == 0;
}

// The folder at a native path of any length, opened; -1 when it cannot be reached.
int openFolder(const QByteArray& path) {
    int fd = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    for (const QByteArray& part : path.split('/')) {
        if (part.isEmpty() || fd < 0)
            continue;
        const int next = ::openat(fd, part.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = next;
    }
    return fd;
}

QByteArray parentOf(const QByteArray& path) { return path.left(path.lastIndexOf('/')); }
QByteArray nameOf(const QByteArray& path) { return path.mid(path.lastIndexOf('/') + 1); }

void removeBelow(int dirfd) {
    const int fd = ::openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* d = ::fdopendir(fd);
    if (!d)
        return;
    while (const dirent* e = ::readdir(d)) {
        const QByteArray n(e->d_name);
        if (n == "." || n == "..")
            continue;
        struct stat st {};
        if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(st.st_mode)) {
            const int sub = ::openat(::dirfd(d), e->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (sub >= 0) {
                removeBelow(sub);
                ::close(sub);
            }
            ::unlinkat(::dirfd(d), e->d_name, AT_REMOVEDIR);
        } else {
            ::unlinkat(::dirfd(d), e->d_name, 0);
        }
    }
    ::closedir(d);
}

} // namespace

PermissionsEnforced::PermissionsEnforced() {
    m_dropped = setDacCapabilities(false);
    if (!m_dropped)
        throw std::runtime_error("cannot drop CAP_DAC_OVERRIDE from the test thread");
}

PermissionsEnforced::~PermissionsEnforced() {
    if (m_dropped)
        setDacCapabilities(true);
}

QByteArray makeFolderChain(const QByteArray& folder, const QByteArray& segment, int levels) {
    int fd = openFolder(folder);
    QByteArray path = folder;
    for (int i = 0; i < levels && fd >= 0; ++i) {
        ::mkdirat(fd, segment.constData(), 0755);
        const int next = ::openat(fd, segment.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = next;
        path += '/' + segment;
    }
    if (fd < 0)
        throw std::runtime_error("cannot make a folder chain below " + folder.toStdString());
    ::close(fd);
    return path;
}

void writeFileAt(const QByteArray& path, const QByteArray& data) {
    const int dir = openFolder(parentOf(path));
    const int fd = dir < 0 ? -1
                           : ::openat(dir, nameOf(path).constData(),
                                      O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (dir >= 0)
        ::close(dir);
    if (fd < 0 || ::write(fd, data.constData(), size_t(data.size())) != data.size())
        throw std::runtime_error("cannot write a file at the end of a long path");
    ::close(fd);
}

bool existsAt(const QByteArray& path) {
    const int dir = openFolder(parentOf(path));
    if (dir < 0)
        return false;
    struct stat st {};
    const bool found = ::fstatat(dir, nameOf(path).constData(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    ::close(dir);
    return found;
}

void removeTree(const QByteArray& path) {
    const int fd = openFolder(path);
    if (fd < 0)
        return;
    const int real = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    if (real < 0)
        return;
    removeBelow(real);
    ::close(real);
}
