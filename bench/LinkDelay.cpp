// Holds every packet of an NFQUEUE queue for a fixed time, then lets it go: with the queue
// on a network namespace's loopback OUTPUT chain, each packet waits once, so a request and
// its answer take two delays. The benchmark uses it for a real link's round trip where the
// kernel has no netem.
//
//   link_delay --queue N --delay-us US --lifetime-s S
//
// It ends by itself after S seconds (or at SIGTERM/SIGINT), releasing what it holds. The
// queue is not fail-open: a packet it cannot hold is dropped and TCP sends it again, which
// shows in the figures instead of passing undelayed; the drops are counted on stderr.
// The C library's socket headers before the kernel's, which skip what these define.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <libnetfilter_queue/libnetfilter_queue.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink_queue.h>

#include <cerrno>
#include <algorithm>
#include <cinttypes>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>

namespace {

volatile std::sig_atomic_t g_stop = 0;

int64_t nowNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

struct Held {
    uint32_t id;
    int64_t dueNs;
};

struct State {
    nfq_q_handle* queue = nullptr;
    int64_t delayNs = 0;
    std::deque<Held> held; // the delay is the same for all, so due times come in order
    uint64_t packets = 0;
    int64_t lateNsMax = 0; // how far past its time a packet was let go, at worst
    int64_t lateNsSum = 0;
    uint64_t lateOver1ms = 0;
};

int onPacket(nfq_q_handle*, nfgenmsg*, nfq_data* data, void* arg) {
    auto* s = static_cast<State*>(arg);
    const nfqnl_msg_packet_hdr* h = nfq_get_msg_packet_hdr(data);
    if (h)
        s->held.push_back({ntohl(h->packet_id), nowNs() + s->delayNs});
    return 0;
}

// Accepts every packet whose time has come, in one batch verdict (all ids up to the last).
void release(State& s, bool all) {
    const int64_t now = nowNs();
    uint32_t last = 0;
    bool any = false;
    while (!s.held.empty() && (all || s.held.front().dueNs <= now)) {
        const int64_t late = now - s.held.front().dueNs;
        if (late > s.lateNsMax)
            s.lateNsMax = late;
        s.lateNsSum += late > 0 ? late : 0;
        if (late > 1'000'000)
            ++s.lateOver1ms;
        ++s.packets;
        last = s.held.front().id;
        any = true;
        s.held.pop_front();
    }
    if (any)
        nfq_set_verdict_batch(s.queue, last, NF_ACCEPT);
}

long argument(int argc, char** argv, const char* name) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0)
            return std::strtol(argv[i + 1], nullptr, 10);
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    const long queueNum = argument(argc, argv, "--queue");
    const long delayUs = argument(argc, argv, "--delay-us");
    const long lifetimeS = argument(argc, argv, "--lifetime-s");
    if (queueNum < 0 || queueNum > 65535 || delayUs < 0 || lifetimeS <= 0) {
        std::fprintf(stderr, "usage: link_delay --queue N --delay-us US --lifetime-s S\n");
        return 2;
    }
    std::signal(SIGTERM, [](int) { g_stop = 1; });
    std::signal(SIGINT, [](int) { g_stop = 1; });
    // Wake-ups on time: no timer slack, and ahead of the busy processes beside it when the
    // system allows (the kernel still caps real-time threads below a full core).
    prctl(PR_SET_TIMERSLACK, 1UL);
    sched_param sp{};
    sp.sched_priority = 10;
    const bool realtime = sched_setscheduler(0, SCHED_FIFO, &sp) == 0;

    State s;
    s.delayNs = int64_t(delayUs) * 1000;
    nfq_handle* h = nfq_open();
    if (!h) {
        std::perror("link_delay: nfq_open");
        return 1;
    }
    s.queue = nfq_create_queue(h, uint16_t(queueNum), onPacket, &s);
    if (!s.queue) {
        std::perror("link_delay: nfq_create_queue");
        return 1;
    }
    // Only the packet's id is needed; GSO packets stay whole.
    if (nfq_set_mode(s.queue, NFQNL_COPY_META, 0) < 0 ||
        nfq_set_queue_maxlen(s.queue, 200000) < 0 ||
        nfq_set_queue_flags(s.queue, NFQA_CFG_F_GSO, NFQA_CFG_F_GSO) < 0) {
        std::perror("link_delay: queue settings");
        return 1;
    }
    const int fd = nfq_fd(h);
    nfnl_rcvbufsiz(nfq_nfnlh(h), 8 << 20);
    const int one = 1;
    setsockopt(fd, SOL_NETLINK, NETLINK_NO_ENOBUFS, &one, sizeof one);
    std::fprintf(stderr, "link_delay: queue %ld, %ld us per packet%s\n", queueNum, delayUs,
                 realtime ? ", real-time scheduling" : "");

    const int64_t endNs = nowNs() + int64_t(lifetimeS) * 1'000'000'000;
    alignas(8) static char buf[1 << 16];
    uint64_t lost = 0;
    while (!g_stop && nowNs() < endNs) {
        int64_t waitNs = endNs - nowNs();
        if (!s.held.empty())
            waitNs = std::max<int64_t>(0, s.held.front().dueNs - nowNs());
        if (waitNs > 200'000'000)
            waitNs = 200'000'000; // looks at g_stop now and then
        timespec ts{time_t(waitNs / 1'000'000'000), long(waitNs % 1'000'000'000)};
        pollfd p{fd, POLLIN, 0};
        const int r = ppoll(&p, 1, &ts, nullptr);
        if (r > 0) {
            // Everything waiting now, then the verdicts.
            for (;;) {
                const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
                if (n > 0) {
                    nfq_handle_packet(h, buf, int(n));
                    continue;
                }
                if (n < 0 && errno == ENOBUFS) {
                    ++lost;
                    continue;
                }
                break;
            }
        }
        release(s, false);
    }
    release(s, true);
    std::fprintf(stderr,
                 "link_delay: %" PRIu64 " packets held, released late by %.1f us on average, "
                 "%.1f us at most; %" PRIu64 " more than 1 ms late; %" PRIu64
                 " receive overruns\n",
                 s.packets, s.packets ? double(s.lateNsSum) / double(s.packets) / 1000 : 0.0,
                 double(s.lateNsMax) / 1000, s.lateOver1ms, lost);
    nfq_destroy_queue(s.queue);
    nfq_close(h);
    return 0;
}
