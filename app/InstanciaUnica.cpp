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

QString pastaLocalDeExecucao() {
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

TInstanciaUnica::TInstanciaUnica(QString pastaLocal, QObject* parent)
    : QObject(parent), m_trava(pastaLocal + QStringLiteral("/quarvel.lock")),
      m_soquete(pastaLocal + QStringLiteral("/quarvel.socket")) {}

TInstanciaUnica::~TInstanciaUnica() {
    if (m_servidor)
        m_servidor->close();
    if (m_fd >= 0)
        ::close(m_fd);
}

bool TInstanciaUnica::primeira() {
    if (m_fd < 0) {
        m_fd = ::open(QFile::encodeName(m_trava).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (m_fd < 0)
            return true; // no lock to be had: better one copy too many than none
    }
    int r;
    while ((r = ::flock(m_fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (r != 0)
        return false;
    // A copy that crashed left its socket behind; the lock says it is gone.
    QLocalServer::removeServer(m_soquete);
    m_servidor = new QLocalServer(this);
    m_servidor->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_servidor, &QLocalServer::newConnection, this, &TInstanciaUnica::atender);
    if (!m_servidor->listen(m_soquete))
        qWarning("quarvel: %s: %s", qPrintable(m_soquete), qPrintable(m_servidor->errorString()));
    return true;
}

void TInstanciaUnica::atender() {
    while (QLocalSocket* s = m_servidor->nextPendingConnection()) {
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

bool TInstanciaUnica::pedirJanela(int esperaMs) {
    const QDeadlineTimer prazo(esperaMs);
    do {
        QLocalSocket s;
        s.connectToServer(m_soquete);
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
