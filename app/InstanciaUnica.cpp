#include "InstanciaUnica.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray kPedido = "mostrar\n";

} // namespace

QString pastaDeExecucao() {
    const QString xdg = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!xdg.isEmpty() && QDir(xdg).exists())
        return xdg;
    // Anyone may create a name in /tmp first: only a folder that is ours and closed to
    // others will do.
    const QByteArray dir = "/tmp/quarvel-" + QByteArray::number(::getuid());
    ::mkdir(dir.constData(), 0700);
    struct stat st {};
    if (::lstat(dir.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
        return QString();
    if ((st.st_mode & 077) != 0 && ::chmod(dir.constData(), 0700) != 0)
        return QString();
    return QFile::decodeName(dir);
}

InstanciaUnica::InstanciaUnica(QString pasta, QObject* parent)
    : QObject(parent), lock_(pasta + QStringLiteral("/quarvel.lock")),
      socket_(pasta + QStringLiteral("/quarvel.socket")) {}

InstanciaUnica::~InstanciaUnica() {
    if (servidor_)
        servidor_->close();
    if (fd_ >= 0)
        ::close(fd_);
}

bool InstanciaUnica::primeira() {
    if (fd_ < 0) {
        fd_ = ::open(QFile::encodeName(lock_).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0)
            return true; // no lock to be had: better one copy too many than none
    }
    int r;
    while ((r = ::flock(fd_, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (r != 0)
        return false;
    // A copy that crashed left its socket behind; the lock says it is gone.
    QLocalServer::removeServer(socket_);
    servidor_ = new QLocalServer(this);
    servidor_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(servidor_, &QLocalServer::newConnection, this, &InstanciaUnica::atender);
    if (!servidor_->listen(socket_))
        qWarning("quarvel: %s: %s", qPrintable(socket_), qPrintable(servidor_->errorString()));
    return true;
}

void InstanciaUnica::atender() {
    while (QLocalSocket* s = servidor_->nextPendingConnection()) {
        connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
        connect(s, &QLocalSocket::readyRead, this, [this, s] {
            if (!s->canReadLine())
                return;
            const bool pedido = s->readLine(64) == kPedido;
            s->disconnectFromServer();
            if (pedido)
                emit janelaPedida();
        });
    }
}

bool InstanciaUnica::pedirJanela(int esperaMs) {
    const QDeadlineTimer prazo(esperaMs);
    do {
        QLocalSocket s;
        s.connectToServer(socket_);
        // The first copy may hold the lock and not yet listen.
        if (s.waitForConnected(int(qMax<qint64>(prazo.remainingTime(), 0)))) {
            s.write(kPedido);
            if (s.waitForBytesWritten(int(qMax<qint64>(prazo.remainingTime(), 0))))
                return true;
        }
        QThread::msleep(100);
    } while (!prazo.hasExpired());
    return false;
}
