#include "IdentidadeArquivo.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

TIdentidadeArquivo identidadeDe(const struct stat& st) {
    return {st.st_dev, st.st_ino, qint64(st.st_size),
            qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

std::optional<TIdentidadeArquivo> identidadeDoCaminho(const QByteArray& caminho) {
    struct stat st {};
    if (::stat(caminho.constData(), &st) != 0)
        return std::nullopt;
    return identidadeDe(st);
}

std::optional<TIdentidadeArquivo> identidadeDoDescritor(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return std::nullopt;
    return identidadeDe(st);
}

QString motivoDoSistema(int erro) {
    switch (erro) {
    case EACCES:
    case EPERM:
        return QStringLiteral("sem permissão de leitura");
    case EIO:
        return QStringLiteral("erro de entrada e saída no disco ou na rede");
    case EMFILE:
    case ENFILE:
        return QStringLiteral("arquivos abertos demais no sistema");
    case ENOMEM:
        return QStringLiteral("memória insuficiente");
    case ENOENT:
        return QStringLiteral("o arquivo não foi encontrado: apagado, movido ou numa pasta de "
                              "rede desconectada");
    case ESTALE:
    case ENOTCONN:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ETIMEDOUT:
    case ECONNABORTED:
    case ECONNRESET:
    case ENETDOWN:
    case ENETUNREACH:
    case ENODEV:
    case ENXIO:
        return QStringLiteral("pasta de rede ou disco indisponível");
    case EAGAIN:
    case EBUSY:
    case ETXTBSY:
        return QStringLiteral("o arquivo está bloqueado por outro programa");
    case ENAMETOOLONG:
        return QStringLiteral("caminho longo demais para o sistema");
    case ELOOP:
        return QStringLiteral("links simbólicos em ciclo");
    default:
        return QStringLiteral("erro %1 do sistema: %2")
            .arg(erro)
            .arg(QString::fromLocal8Bit(std::strerror(erro)));
    }
}
