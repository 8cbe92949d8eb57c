#pragma once

#include <functional>

// Work done while this thread waits for a server's answer. A storage run puts the window's
// drawing of a file there: the servers answer meanwhile, and the drawing costs the run
// almost no time. The work goes in short steps, each taken only while the answer has not
// come, so that an answer is never held up by more than one step.
class TTrabalhoNaEspera {
public:
    // Installs the work on this thread until this object goes (the previous one comes back
    // then). `pendente` tells cheaply whether a step is left; `passo` takes the next one,
    // short, and must not wait for a server itself.
    TTrabalhoNaEspera(std::function<bool()> pendente, std::function<void()> passo);
    ~TTrabalhoNaEspera();
    TTrabalhoNaEspera(const TTrabalhoNaEspera&) = delete;
    TTrabalhoNaEspera& operator=(const TTrabalhoNaEspera&) = delete;

private:
    friend void aproveitarEspera(int fd, short eventos) noexcept;
    std::function<bool()> pendente_;
    std::function<void()> passo_;
    TTrabalhoNaEspera* anterior_;
    bool emCurso_ = false;
};

// Takes steps of the work installed on this thread while `fd` is not ready for `eventos`
// (poll's events). Never throws and leaves errno as it was: the database client library
// calls it. A step that fails stays its owner's to take again.
void aproveitarEspera(int fd, short eventos) noexcept;
