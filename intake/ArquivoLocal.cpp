#include "ArquivoLocal.h"

#include <sys/stat.h>
#include <unistd.h>

Descritor& Descritor::operator=(Descritor&& o) noexcept {
    if (this != &o) {
        fechar();
        fd_ = o.fd_;
        o.fd_ = -1;
    }
    return *this;
}

int Descritor::fechar() noexcept {
    if (fd_ < 0)
        return 0;
    const int r = ::close(fd_);
    fd_ = -1;
    return r;
}

IdentidadeArquivo identidadeDe(const struct stat& st) {
    return {st.st_dev, st.st_ino, qint64(st.st_size),
            qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

std::optional<IdentidadeArquivo> identidadeDoCaminho(const QByteArray& caminho) {
    struct stat st {};
    if (::stat(caminho.constData(), &st) != 0)
        return std::nullopt;
    return identidadeDe(st);
}

std::optional<IdentidadeArquivo> identidadeDoDescritor(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return std::nullopt;
    return identidadeDe(st);
}
