// The work a thread does while it waits for a server: taken a step at a time only while
// the answer has not come, never holding up an answer that is already there.

#include "FtpSocket.h"
#include "TrabalhoNaEspera.h"

#include <QDeadlineTimer>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// A connected pair: the client side an FtpSocket, the server side a plain descriptor.
struct Par {
    FtpSocket cliente;
    int servidor = -1;
    Par() {
        const int escuta = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(escuta, reinterpret_cast<sockaddr*>(&a), len);
        ::getsockname(escuta, reinterpret_cast<sockaddr*>(&a), &len);
        ::listen(escuta, 1);
        cliente.connect(QStringLiteral("127.0.0.1"), ntohs(a.sin_port), QDeadlineTimer(5000));
        servidor = ::accept(escuta, nullptr, nullptr);
        ::close(escuta);
    }
    ~Par() { ::close(servidor); }
    void responder() { ASSERT_EQ(::send(servidor, "220 ok\r\n", 8, 0), 8); }
};

// Work of `total` steps that notes whether the answer had been sent at each step.
struct Passos {
    int total;
    std::atomic<bool>* respondido;
    int dados = 0;
    int antesDaResposta = 0;
    bool pendente() const { return dados < total; }
    void passo() {
        ++dados;
        if (!respondido->load())
            ++antesDaResposta;
    }
};

} // namespace

TEST(WaitWork, StepsAreTakenWhileTheAnswerHasNotCome) {
    Par par;
    std::atomic<bool> respondido{false};
    Passos passos{3, &respondido};
    const TTrabalhoNaEspera trabalho([&] { return passos.pendente(); }, [&] { passos.passo(); });
    std::thread servidor([&] {
        ::usleep(200 * 1000);
        respondido = true;
        par.responder();
    });
    EXPECT_TRUE(par.cliente.waitReadable(QDeadlineTimer(5000)));
    servidor.join();
    EXPECT_EQ(passos.dados, 3);
    EXPECT_EQ(passos.antesDaResposta, 3);
}

TEST(WaitWork, AnAnswerAlreadyThereIsNotHeldUp) {
    Par par;
    par.responder();
    ::usleep(20 * 1000); // on its way through loopback
    std::atomic<bool> respondido{true};
    Passos passos{3, &respondido};
    const TTrabalhoNaEspera trabalho([&] { return passos.pendente(); }, [&] { passos.passo(); });
    EXPECT_TRUE(par.cliente.waitReadable(QDeadlineTimer(5000)));
    EXPECT_EQ(passos.dados, 0);
}

TEST(WaitWork, AFailedStepStaysForLaterAndTheWaitGoesOn) {
    Par par;
    int tentativas = 0;
    bool feito = false;
    const TTrabalhoNaEspera trabalho([&] { return !feito; },
                                     [&] {
                                         if (++tentativas == 1) {
                                             errno = ENOMEM;
                                             throw std::runtime_error("falhou");
                                         }
                                         feito = true;
                                     });
    // The failure ends this wait's steps; the wait itself times out as it would have.
    errno = 0;
    EXPECT_FALSE(par.cliente.waitReadable(QDeadlineTimer(50)));
    EXPECT_EQ(tentativas, 1);
    EXPECT_FALSE(feito);
    // The next wait takes the step again.
    std::thread servidor([&] {
        ::usleep(200 * 1000);
        par.responder();
    });
    EXPECT_TRUE(par.cliente.waitReadable(QDeadlineTimer(5000)));
    servidor.join();
    EXPECT_EQ(tentativas, 2);
    EXPECT_TRUE(feito);
}

TEST(WaitWork, OnlyTheInstallingThreadAndOnlyWhileInstalled) {
    std::atomic<int> dados{0};
    {
        const TTrabalhoNaEspera trabalho([&] { return dados < 1; }, [&] { ++dados; });
        // Another thread's wait does not take this thread's steps.
        std::thread outra([] {
            Par par;
            EXPECT_FALSE(par.cliente.waitReadable(QDeadlineTimer(20)));
        });
        outra.join();
        EXPECT_EQ(dados, 0);
    }
    // Gone with its object.
    Par par;
    EXPECT_FALSE(par.cliente.waitReadable(QDeadlineTimer(20)));
    EXPECT_EQ(dados, 0);
}
