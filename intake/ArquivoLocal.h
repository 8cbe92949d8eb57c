#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <optional>
#include <sys/types.h>

// A file descriptor that closes itself.
class TDescritor {
public:
    explicit TDescritor(int fd = -1) : m_fd(fd) {}
    ~TDescritor() { fechar(); }
    TDescritor(TDescritor&& o) noexcept : m_fd(o.m_fd) { o.m_fd = -1; }
    TDescritor& operator=(TDescritor&& o) noexcept;
    TDescritor(const TDescritor&) = delete;
    TDescritor& operator=(const TDescritor&) = delete;

    int get() const { return m_fd; }
    bool valido() const { return m_fd >= 0; }
    // Closes now; the result of close(2), errno kept, for writes that must reach the disk.
    int fechar() noexcept;

private:
    int m_fd;
};

// Which file a path named, and in which state: a file replaced, rewritten, grown or touched
// since compares unequal.
struct TIdentidadeArquivo {
    dev_t dispositivo = 0;
    ino_t inode = 0;
    qint64 tamanho = 0;
    qint64 modificacaoNs = 0;
    bool operator==(const TIdentidadeArquivo&) const = default;
};

TIdentidadeArquivo identidadeDe(const struct stat& st);
// Of the file a path names, links followed; nothing when it cannot be reached.
std::optional<TIdentidadeArquivo> identidadeDoCaminho(const QByteArray& caminho);
// Of an open file.
std::optional<TIdentidadeArquivo> identidadeDoDescritor(int fd);

// Why a file or folder could not be reached or read, in Portuguese, for the log: the common
// causes in words of their own, any other with the system's text and number.
QString motivoDoSistema(int erro);
