#include "FtpSocket.h"

#include "FtpError.h"
#include "FtpReply.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(int error) { throw FtpError(0, FtpSocket::errorMessage(error)); }

// poll() on one descriptor until the deadline, resumed after signals.
int pollFor(int fd, short events, QDeadlineTimer deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const qint64 left = deadline.remainingTime(); // -1: no deadline
        const int r = ::poll(&p, 1, left < 0 ? -1 : int(qMin<qint64>(left, 1 << 30)));
        if (r >= 0 || errno != EINTR)
            return r;
    }
}

} // namespace

FtpSocket::~FtpSocket() { close(); }

QString FtpSocket::errorMessage(int error) {
    char buffer[256];
    // GNU strerror_r: returns the text, which may or may not live in the buffer.
    const char* text = strerror_r(error, buffer, sizeof buffer);
    return QStringLiteral("Socket Error # %1\n%2").arg(error).arg(QString::fromLocal8Bit(text));
}

QString FtpSocket::resolve(const QString& host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int r = ::getaddrinfo(host.toUtf8().constData(), nullptr, &hints, &found);
    if (r != 0) {
        if (r == EAI_SYSTEM)
            fail(errno);
        throw FtpError(0, QStringLiteral("Socket Error # %1\n%2")
                              .arg(r)
                              .arg(QString::fromLocal8Bit(::gai_strerror(r))));
    }
    char text[INET_ADDRSTRLEN] = {};
    const auto* in = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    ::freeaddrinfo(found);
    return QString::fromLatin1(text);
}

void FtpSocket::connect(const QString& address, int port, QDeadlineTimer deadline) {
    close();
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(quint16(port));
    if (port <= 0 || port > 65535 ||
        ::inet_pton(AF_INET, address.toLatin1().constData(), &to.sin_addr) != 1)
        fail(EINVAL);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        fail(errno);
    // Every write is a whole command or a whole TLS record already: waiting to fill a segment
    // only holds back the last one (a TLS close_notify behind the file waited for the
    // server's delayed acknowledgement, 40 ms a file).
    const int noDelay = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    int error = 0;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            const int r = pollFor(fd, POLLOUT, deadline);
            if (r < 0) {
                error = errno;
            } else if (r == 0) {
                error = ETIMEDOUT;
            } else {
                socklen_t len = sizeof error;
                if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
                    error = errno;
            }
        }
    }
    if (error != 0) {
        ::close(fd);
        fail(error);
    }
    m_fd = fd;
    m_peer = address;
}

void FtpSocket::send(const char* data, qsizetype size, QDeadlineTimer deadline) {
    if (m_fd < 0)
        fail(ENOTCONN);
    while (size > 0) {
        const ssize_t n = ::send(m_fd, data, size_t(size), MSG_NOSIGNAL);
        if (n >= 0) {
            data += n;
            size -= n;
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            fail(errno);
        const int r = pollFor(m_fd, POLLOUT, deadline);
        if (r < 0)
            fail(errno);
        if (r == 0)
            fail(ETIMEDOUT);
    }
}

bool FtpSocket::waitReadable(QDeadlineTimer deadline) {
    if (m_fd < 0)
        fail(ENOTCONN);
    const int r = pollFor(m_fd, POLLIN, deadline);
    if (r < 0)
        fail(errno);
    return r > 0;
}

qsizetype FtpSocket::receive(char* buffer, qsizetype size) {
    if (m_fd < 0)
        fail(ENOTCONN);
    for (;;) {
        const ssize_t n = ::recv(m_fd, buffer, size_t(size), MSG_DONTWAIT);
        if (n > 0) {
#ifdef TCP_QUICKACK
            // Acknowledged at once: a server that holds a short last write (a TLS
            // close_notify after a listing) until its data is acknowledged would otherwise
            // wait for the delayed acknowledgement, 40 ms a listing.
            const int quick = 1;
            ::setsockopt(m_fd, IPPROTO_TCP, TCP_QUICKACK, &quick, sizeof quick);
#endif
            return n;
        }
        if (n == 0)
            return n;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return -1;
        fail(errno);
    }
}

void FtpSocket::shutdownWrite() {
    if (m_fd >= 0)
        ::shutdown(m_fd, SHUT_WR);
}

void FtpSocket::close() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_peer.clear();
}

void FtpSocket::abort() {
    if (m_fd >= 0) {
        const linger reset{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    close();
}
