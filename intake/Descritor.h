#pragma once

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
