// TCP links against a loopback peer, each beside plain send()/recv() on a socket with the same
// peer and the same options: a 64-byte round trip (echo), and 1 MiB transfers each way (the
// peer answers one byte per MiB received, or sends one MiB per byte received).
//
//   taskset -c 0 kv_bench_tcp_link --benchmark_repetitions=5
//       --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <string>
#include <thread>
#include <vector>

#include "task_bench_support.h"

namespace {

constexpr uint32_t kTimeoutMs = 5000;
constexpr size_t kMiB = 1 << 20;

bool SendAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool RecvAll(int fd, char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = recv(fd, data, size, 0);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// The peer's modes, chosen by the first byte of a connection.
void Serve(int fd)
{
    char mode = 0;
    std::vector<char> buf(kMiB);
    if (recv(fd, &mode, 1, 0) != 1)
        return;
    for (;;) {
        if (mode == 'E') {  // echo
            const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
            if (n <= 0 || !SendAll(fd, buf.data(), static_cast<size_t>(n)))
                return;
        } else if (mode == 'S') {  // sink: one byte back per MiB
            if (!RecvAll(fd, buf.data(), kMiB) || !SendAll(fd, "k", 1))
                return;
        } else {  // source: one MiB per byte asked
            if (!RecvAll(fd, buf.data(), 1) || !SendAll(fd, buf.data(), kMiB))
                return;
        }
    }
}

class LoopbackPeer {
public:
    LoopbackPeer()
    {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof at;
        bind(listener_, reinterpret_cast<sockaddr*>(&at), sizeof at);
        listen(listener_, 16);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&at), &size);
        port_ = ntohs(at.sin_port);
        std::thread([this] {
            for (int fd; (fd = accept(listener_, nullptr, nullptr)) >= 0;) {
                std::thread([fd] {
                    Serve(fd);
                    close(fd);
                }).detach();
            }
        }).detach();
    }
    uint16_t port() const { return port_; }

private:
    int listener_ = -1;
    uint16_t port_ = 0;
};

LoopbackPeer& Peer()
{
    static LoopbackPeer peer;
    return peer;
}

// A plain socket to the peer with the link's options.
int PlainSocket(char mode)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(Peer().port());
    connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
    const timeval tv{kTimeoutMs / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    SendAll(fd, &mode, 1);
    return fd;
}

int32_t Link(char mode)
{
    kvbench::StartLibrary();
    static int next = 0;
    const std::string name = "BENCH_LINK" + std::to_string(next++);
    int32_t link = -1;
    if (CreateTcpLink(name.c_str(), "127.0.0.1", Peer().port(), 0, kTimeoutMs, 0, &link) != eOK)
        std::abort();
    SendTcpLink(link, &mode, 1);
    return link;
}

void LinkRoundTrip64(benchmark::State& state)
{
    const int32_t link = Link('E');
    char msg[64] = {};
    for (auto _ : state) {
        if (SendTcpLink(link, msg, sizeof msg) != eOK || RecvTcpLink(link, msg, sizeof msg) != eOK)
            state.SkipWithError("transfer failed");
    }
    DeleteTcpLink(link);
}

void PlainRoundTrip64(benchmark::State& state)
{
    const int fd = PlainSocket('E');
    char msg[64] = {};
    for (auto _ : state) {
        if (!SendAll(fd, msg, sizeof msg) || !RecvAll(fd, msg, sizeof msg))
            state.SkipWithError("transfer failed");
    }
    close(fd);
}

void LinkSend1MiB(benchmark::State& state)
{
    const int32_t link = Link('S');
    std::vector<char> data(kMiB, 'x');
    char ack = 0;
    for (auto _ : state) {
        if (SendTcpLink(link, data.data(), kMiB) != eOK || RecvTcpLink(link, &ack, 1) != eOK)
            state.SkipWithError("transfer failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMiB));
    DeleteTcpLink(link);
}

void PlainSend1MiB(benchmark::State& state)
{
    const int fd = PlainSocket('S');
    std::vector<char> data(kMiB, 'x');
    char ack = 0;
    for (auto _ : state) {
        if (!SendAll(fd, data.data(), kMiB) || !RecvAll(fd, &ack, 1))
            state.SkipWithError("transfer failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMiB));
    close(fd);
}

void LinkRecv1MiB(benchmark::State& state)
{
    const int32_t link = Link('R');
    std::vector<char> data(kMiB);
    for (auto _ : state) {
        if (SendTcpLink(link, "?", 1) != eOK || RecvTcpLink(link, data.data(), kMiB) != eOK)
            state.SkipWithError("transfer failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMiB));
    DeleteTcpLink(link);
}

void PlainRecv1MiB(benchmark::State& state)
{
    const int fd = PlainSocket('R');
    std::vector<char> data(kMiB);
    for (auto _ : state) {
        if (!SendAll(fd, "?", 1) || !RecvAll(fd, data.data(), kMiB))
            state.SkipWithError("transfer failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMiB));
    close(fd);
}

}  // namespace

BENCHMARK(PlainRoundTrip64)->UseRealTime();
BENCHMARK(LinkRoundTrip64)->UseRealTime();
BENCHMARK(PlainSend1MiB)->UseRealTime();
BENCHMARK(LinkSend1MiB)->UseRealTime();
BENCHMARK(PlainRecv1MiB)->UseRealTime();
BENCHMARK(LinkRecv1MiB)->UseRealTime();
