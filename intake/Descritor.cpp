#include "Descritor.h"

#include <unistd.h>

TDescritor& TDescritor::operator=(TDescritor&& o) noexcept {
    if (this != &o) {
        fechar();
        m_fd = o.m_fd;
        o.m_fd = -1;
    }
    return *this;
}

int TDescritor::fechar() noexcept {
    if (m_fd < 0)
        return 0;
    const int r = ::close(m_fd);
    m_fd = -1;
    return r;
}
