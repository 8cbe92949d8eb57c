#include "TrabalhoNaEspera.h"

#include <cerrno>
#include <poll.h>

namespace {

thread_local TTrabalhoNaEspera* instalado = nullptr;

bool pronto(int fd, short eventos) {
    pollfd p{fd, eventos, 0};
    int r;
    do {
        r = ::poll(&p, 1, 0);
    } while (r < 0 && errno == EINTR);
    // An error is the caller's own wait to report.
    return r != 0;
}

} // namespace

TTrabalhoNaEspera::TTrabalhoNaEspera(std::function<bool()> pendente, std::function<void()> passo)
    : pendente_(std::move(pendente)), passo_(std::move(passo)), anterior_(instalado) {
    instalado = this;
}

TTrabalhoNaEspera::~TTrabalhoNaEspera() { instalado = anterior_; }

void aproveitarEspera(int fd, short eventos) noexcept {
    TTrabalhoNaEspera* t = instalado;
    // A wait inside a step does not take further steps.
    if (!t || t->emCurso_)
        return;
    const int salvo = errno;
    t->emCurso_ = true;
    try {
        while (t->pendente_() && !pronto(fd, eventos))
            t->passo_();
    } catch (...) {
    }
    t->emCurso_ = false;
    errno = salvo;
}
