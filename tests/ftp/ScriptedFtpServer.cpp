#include "ScriptedFtpServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// No single wait of the server may hold a test up for long.
constexpr int kWaitLimitMs = 10000;

int listenOn(const QByteArray& address, int port, int* chosen) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket() failed");
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(quint16(port));
    ::inet_pton(AF_INET, address.constData(), &a.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 8) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot listen on " + address.toStdString() + ":" +
                                 std::to_string(port));
    }
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    if (chosen)
        *chosen = ntohs(a.sin_port);
    return fd;
}

QByteArray pasvText(const QByteArray& address, int port) {
    QByteArray numbers = address;
    numbers.replace('.', ',');
    return "227 Entering Passive Mode (" + numbers + ',' + QByteArray::number(port / 256) + ',' +
           QByteArray::number(port % 256) + ").\r\n";
}

} // namespace

FtpAct reply(const QByteArray& line) { return {FtpAct::Reply, line + "\r\n"}; }
FtpAct raw(const QByteArray& bytes) { return {FtpAct::Reply, bytes}; }
FtpAct pasv() { return {FtpAct::Pasv, {}, 0}; }
FtpAct pasvAs(const QByteArray& text, const QByteArray& bindAddress, int port) {
    return {FtpAct::Pasv, text + "\r\n", port, bindAddress};
}
FtpAct pasvClosed() { return {FtpAct::PasvClosed}; }
FtpAct acceptData() { return {FtpAct::Accept}; }
FtpAct sendData(const QByteArray& bytes) { return {FtpAct::Send, bytes}; }
FtpAct receiveData() { return {FtpAct::Receive}; }
FtpAct receiveSome(int bytes) { return {FtpAct::ReceiveSome, {}, bytes}; }
FtpAct closeData() { return {FtpAct::CloseData}; }
FtpAct resetData() { return {FtpAct::ResetData}; }
FtpAct closeControl() { return {FtpAct::Close}; }
FtpAct resetControl() { return {FtpAct::ResetControl}; }
FtpAct sleepMs(int ms) { return {FtpAct::Sleep, {}, ms}; }
FtpStep on(const QByteArray& command, std::vector<FtpAct> acts) {
    return {false, command, std::move(acts)};
}
FtpStep connection(std::vector<FtpAct> acts) { return {true, {}, std::move(acts)}; }

QList<QByteArray> expectedCommands(const std::vector<FtpStep>& script) {
    QList<QByteArray> out;
    for (const FtpStep& s : script)
        if (!s.connection)
            out.append(s.expect);
    return out;
}

ScriptedFtpServer::ScriptedFtpServer(std::vector<FtpStep> script, const QByteArray& bindAddress)
    : m_script(std::move(script)), m_bind(bindAddress) {
    m_listen = listenOn(m_bind, 0, &m_port);
    m_thread = std::thread([this] {
        try {
            run();
        } catch (const std::exception& e) {
            std::lock_guard lock(m_mutex);
            m_received.append(QByteArray("scripted server failed: ") + e.what());
        }
        m_scriptDone = true;
    });
}

ScriptedFtpServer::~ScriptedFtpServer() { finish(); }

QList<QByteArray> ScriptedFtpServer::finish() {
    // Let the script run out first: the client's last command may still be on its way in.
    for (int waited = 0; waited < 5000 && !m_scriptDone; waited += 5)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    closeFd(m_data);
    closeFd(m_dataListen);
    closeFd(m_control);
    closeFd(m_listen);
    std::lock_guard lock(m_mutex);
    return m_received;
}

bool ScriptedFtpServer::waitPlayed(int limitMs) {
    for (int waited = 0; waited < limitMs && !m_played; waited += 5)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return m_played;
}

QByteArray ScriptedFtpServer::uploaded() {
    std::lock_guard lock(m_mutex);
    return m_uploaded;
}

int ScriptedFtpServer::dataConnections() {
    std::lock_guard lock(m_mutex);
    return m_dataConnections;
}

void ScriptedFtpServer::closeFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

namespace {

// Waits in short slices so that finish() is never held up; false on stop or time-out.
// Once stopped it still takes what is already there.
bool waitFor(int fd, short events, const std::atomic<bool>& stop, int limitMs = kWaitLimitMs) {
    for (int waited = 0; waited < limitMs; waited += 20) {
        pollfd p{fd, events, 0};
        if (::poll(&p, 1, 20) > 0)
            return true;
        if (stop)
            return false;
    }
    return false;
}

int acceptOn(int listenFd, const std::atomic<bool>& stop) {
    if (listenFd < 0 || !waitFor(listenFd, POLLIN, stop))
        return -1;
    return ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
}

void writeAll(int fd, const QByteArray& bytes) {
    const char* p = bytes.constData();
    qsizetype left = bytes.size();
    while (fd >= 0 && left > 0) {
        const ssize_t n = ::send(fd, p, size_t(left), MSG_NOSIGNAL);
        if (n <= 0)
            return; // the client is gone; the test sees that from its side
        p += n;
        left -= n;
    }
}

} // namespace

bool ScriptedFtpServer::readCommand(QByteArray& line) {
    for (;;) {
        const qsizetype lf = m_pending.indexOf('\n');
        if (lf >= 0) {
            line = m_pending.left(lf);
            if (line.endsWith('\r'))
                line.chop(1);
            m_pending.remove(0, lf + 1);
            return true;
        }
        if (m_control < 0 || !waitFor(m_control, POLLIN, m_stop))
            return false;
        char chunk[4096];
        const ssize_t n = ::recv(m_control, chunk, sizeof chunk, 0);
        if (n <= 0)
            return false;
        m_pending.append(chunk, n);
    }
}

bool ScriptedFtpServer::perform(const FtpAct& act) {
    switch (act.kind) {
    case FtpAct::Reply:
        writeAll(m_control, act.bytes);
        break;
    case FtpAct::Pasv: {
        closeFd(m_dataListen);
        if (act.bytes.isEmpty()) {
            int port = 0;
            m_dataListen = listenOn(m_bind, 0, &port);
            writeAll(m_control, pasvText(m_bind, port));
        } else {
            m_dataListen = listenOn(act.address, act.value, nullptr);
            writeAll(m_control, act.bytes);
        }
        break;
    }
    case FtpAct::PasvClosed: {
        int port = 0;
        int fd = listenOn(m_bind, 0, &port);
        closeFd(fd);
        writeAll(m_control, pasvText(m_bind, port));
        break;
    }
    case FtpAct::Accept:
        closeFd(m_data);
        m_data = acceptOn(m_dataListen, m_stop);
        if (m_data >= 0) {
            std::lock_guard lock(m_mutex);
            ++m_dataConnections;
        }
        closeFd(m_dataListen);
        break;
    case FtpAct::Send:
        writeAll(m_data, act.bytes);
        break;
    case FtpAct::Receive:
    case FtpAct::ReceiveSome:
        for (qsizetype got = 0; act.kind == FtpAct::Receive || got < act.value;) {
            if (m_data < 0 || !waitFor(m_data, POLLIN, m_stop))
                break;
            char chunk[65536];
            const ssize_t n = ::recv(m_data, chunk, sizeof chunk, 0);
            if (n <= 0)
                break;
            got += n;
            std::lock_guard lock(m_mutex);
            m_uploaded.append(chunk, n);
        }
        break;
    case FtpAct::CloseData:
        closeFd(m_data);
        break;
    case FtpAct::ResetData:
        if (m_data >= 0) {
            const linger reset{1, 0};
            ::setsockopt(m_data, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        }
        closeFd(m_data);
        break;
    case FtpAct::ResetControl:
        if (m_control >= 0) {
            const linger reset{1, 0};
            ::setsockopt(m_control, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        }
        [[fallthrough]];
    case FtpAct::Close:
        closeFd(m_data);
        closeFd(m_control);
        m_pending.clear();
        break;
    case FtpAct::Sleep:
        for (int slept = 0; slept < act.value && !m_stop; slept += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        break;
    }
    return !m_stop;
}

void ScriptedFtpServer::run() {
    m_played = playScript();
    m_scriptDone = true;
    // Off the script: keep recording until the client goes away or the test ends.
    QByteArray line;
    while (readCommand(line)) {
        {
            std::lock_guard lock(m_mutex);
            m_received.append(line);
        }
        writeAll(m_control, "500 Unscripted.\r\n");
    }
}

bool ScriptedFtpServer::playScript() {
    for (const FtpStep& step : m_script) {
        if (step.connection) {
            closeFd(m_control);
            m_pending.clear();
            m_control = acceptOn(m_listen, m_stop);
            if (m_control < 0)
                return false;
        } else {
            QByteArray line;
            if (!readCommand(line))
                return false;
            {
                std::lock_guard lock(m_mutex);
                m_received.append(line);
            }
            if (line != step.expect) {
                writeAll(m_control, "500 Unscripted.\r\n");
                return false;
            }
        }
        for (const FtpAct& act : step.acts)
            if (!perform(act))
                return false;
    }
    return true;
}
