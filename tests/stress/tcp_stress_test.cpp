// Seeded mix of link creation, echo exchanges, suspension and deletion (also under a transfer):
// an exchange gets its own bytes back or fails on a deleted link; every connection ends; the TCP
// task keeps up. KV_STRESS_SEED=<n> replays a run.
#include <shared_mutex>

#include "tests/tcp/tcp_support.h"

namespace {

constexpr int kOps = kSlowBuild ? 2000 : 20000;
constexpr int kWorkers = 4, kSlots = 4;  // below the five links the test options allow
constexpr uint64_t kEmpty = ~uint64_t{0};

// An echo server with one thread per connection; counts the connections still open. Only the
// acceptor adds servers; they are joined once it has ended.
struct EchoServer {
    uint16_t port = 0;
    kp::Socket listener = kp::socket_listen_loopback(&port);
    std::atomic<int> open{0};
    std::vector<std::thread> servers;
    std::thread acceptor{[this] {
        for (kp::Socket s; (s = kp::socket_accept(listener)) != kp::kInvalidSocket;) {
            ++open;
            servers.emplace_back([this, s] {
                char buf[16384];
                for (int n; (n = kp::socket_recv(s, buf, sizeof buf)) > 0;)
                    SendAll(s, std::string(buf, static_cast<size_t>(n)));
                kp::socket_close(s);
                --open;
            });
        }
    }};
    ~EchoServer() {
        kp::socket_shutdown_both(listener);
        acceptor.join();
        for (std::thread& t : servers) t.join();
        kp::socket_close(listener);
    }
};

// A slot holds its link as (generation << 32 | handle), or kEmpty. Exchanges hold `creating`
// shared, so a handle they read is never reused for a newer link under them; deletions take
// no lock and so meet exchanges in flight.
struct Links {
    uint16_t port = 0;
    std::atomic<uint64_t> slots[kSlots] = {kEmpty, kEmpty, kEmpty, kEmpty};
    std::atomic<bool> busy[kSlots] = {};  // one exchange per link, or the echoes would mix
    std::shared_mutex creating;
    uint64_t generation = 0;
    std::atomic<int> exchanged{0};
    void Create(int slot) {
        std::unique_lock no_exchange(creating);
        int32_t h = -1;
        if (slots[slot] != kEmpty) return;
        const std::string name = "STRESS" + std::to_string(slot);
        const int32_t code = CreateTcpLink(name.c_str(), "127.0.0.1", port, 0, 2000, 0, &h);
        if (code == eOK)
            slots[slot] = (generation++ << 32) | static_cast<uint32_t>(h);
        else if (code != eOBJECT_EXIST)  // exists: its deletion is under way
            ADD_FAILURE() << "CreateTcpLink answered " << code;
    }
    void Delete(int slot) {
        const uint64_t v = slots[slot].exchange(kEmpty);
        EXPECT_TRUE(v == kEmpty || DeleteTcpLink(static_cast<int32_t>(v)) == eOK);
    }
    void Exchange(int slot, std::mt19937& rng) {
        std::shared_lock no_creation(creating);
        const uint64_t v = slots[slot];
        bool idle = false;
        if (v == kEmpty || !busy[slot].compare_exchange_strong(idle, true)) return;
        const auto h = static_cast<int32_t>(v);
        const std::string sent = Pattern(1 + rng() % 8192, static_cast<unsigned>(rng()));
        std::string back(sent.size(), '\0');
        const auto size = static_cast<uint32_t>(sent.size());
        int32_t code = SendTcpLink(h, sent.data(), size);
        if (code == eOK) code = RecvTcpLink(h, back.data(), size);
        EXPECT_TRUE(code == eOK ? back == sent : slots[slot] != v) << "transfer answered " << code;
        exchanged += code == eOK;
        busy[slot] = false;
    }
    void Suspend(int slot) {
        const uint64_t v = slots[slot];
        EXPECT_TRUE(v == kEmpty || SuspendTcpLink(static_cast<int32_t>(v), 0) == eOK ||
                    slots[slot] != v);
    }
};

using TcpStress = TcpTest;

TEST_F(TcpStress, MixedLinkOperationsKeepEveryExchangeIntactAndCloseEverySocket) {
    const uint32_t seed = StressSeed(1);
    SCOPED_TRACE("KV_STRESS_SEED=" + std::to_string(seed));
    EchoServer server;
    Links links;
    links.port = server.port;
    CaptureStdoutOf([&] {
        std::vector<std::thread> workers;
        for (uint32_t w = 0; w < kWorkers; ++w) {
            workers.emplace_back([&links, rng = std::mt19937(seed * 7919u + w)]() mutable {
                for (int i = 0; i < kOps; ++i) {
                    const int slot = static_cast<int>(rng() % kSlots), op = rng() % 10;
                    op < 2   ? links.Create(slot)
                    : op < 8 ? links.Exchange(slot, rng)
                    : op < 9 ? links.Delete(slot)
                             : links.Suspend(slot);
                }
            });
        }
        for (std::thread& t : workers) t.join();
        for (int i = 0; i < kSlots; ++i) links.Delete(i);
    });
    EXPECT_GT(links.exchanged.load(), 0);
    EXPECT_TRUE(WaitFor([&] { return server.open == 0; }));
    EXPECT_TRUE(
        WaitFor([] { return CountIn(FindObjectMirror("_TCP_BOX"), &BoxCore::queued) == 0; }));
}

}  // namespace
