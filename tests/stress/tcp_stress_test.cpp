// Seeded mix of TCP link creation, echo exchanges, suspension and deletion (also while another
// thread transfers on the link). Invariants: an exchange that succeeds got its own bytes back,
// one that fails only on a deleted link; every connection ends; the TCP task keeps up.
// KV_STRESS_SEED=<n> replays a run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <shared_mutex>
#include <vector>

#include "tests/tcp/tcp_support.h"

#if defined(__SANITIZE_THREAD__) || defined(_WIN32)
#define KV_TCP_STRESS_OPS 2000
#elif defined(__SANITIZE_ADDRESS__)
#define KV_TCP_STRESS_OPS 5000
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KV_TCP_STRESS_OPS 2000
#endif
#endif
#if !defined(KV_TCP_STRESS_OPS)
#define KV_TCP_STRESS_OPS 20000
#endif

namespace {

namespace kp = kerval::platform;
constexpr int kWorkers = 4;
constexpr int kSlots = 4;  // below the five links the test options allow
constexpr uint64_t kEmpty = ~uint64_t{0};

// An echo server with one thread per connection; counts the connections that ended.
struct EchoServer {
    uint16_t port = 0;
    kp::Socket listener = kp::socket_listen_loopback(&port);
    std::mutex lock;
    int accepted = 0, ended = 0;
    std::vector<std::thread> servers;
    std::thread acceptor{[this] {
        for (kp::Socket s; (s = kp::socket_accept(listener)) != kp::kInvalidSocket;) {
            std::lock_guard guard(lock);
            ++accepted;
            servers.emplace_back([this, s] {
                char buf[16384];
                for (int n; (n = kp::socket_recv(s, buf, sizeof buf)) > 0;)
                    kvtest::SendAll(s, std::string(buf, static_cast<size_t>(n)));
                kp::socket_close(s);
                std::lock_guard ended_guard(lock);
                ++ended;
            });
        }
    }};
    ~EchoServer()
    {
        kp::socket_shutdown_both(listener);
        acceptor.join();
        for (std::thread& t : servers)
            t.join();
        kp::socket_close(listener);
    }
};

// A slot holds its link as (generation << 32 | handle), or kEmpty. Exchanges hold `creating`
// shared, so a handle they read is never reused for a newer link under them; deletions take
// no lock and so meet exchanges in flight.
struct Shared {
    uint16_t port = 0;
    std::atomic<uint64_t> slots[kSlots];
    std::atomic<bool> busy[kSlots];  // one exchange per link, or the echoes would mix
    std::shared_mutex creating;
    std::atomic<uint64_t> generation{0};
    std::atomic<int> failures{0}, exchanged{0}, cut{0};

    void Fail(const char* what, int32_t code)
    {
        if (failures++ < 10)
            ADD_FAILURE() << what << " answered " << code;
    }
    void Create(int slot)
    {
        std::unique_lock no_exchange(creating);
        const std::string name = "STRESS" + std::to_string(slot);
        int32_t h = -1;
        if (slots[slot] != kEmpty)
            return;
        const int32_t code = CreateTcpLink(name.c_str(), "127.0.0.1", port, 0, 2000, 0, &h);
        if (code != eOK && code != eOBJECT_EXIST)  // exists: its deletion is under way
            Fail("CreateTcpLink", code);
        if (code == eOK)
            slots[slot] = (generation++ << 32) | static_cast<uint32_t>(h);
    }
    void Delete(int slot)
    {
        const uint64_t v = slots[slot].exchange(kEmpty);
        if (v != kEmpty && DeleteTcpLink(static_cast<int32_t>(v)) != eOK)
            Fail("DeleteTcpLink", -1);
    }
    void Exchange(int slot, std::mt19937& rng)
    {
        std::shared_lock no_creation(creating);
        bool idle = false;
        if (!busy[slot].compare_exchange_strong(idle, true))
            return;
        const auto size = static_cast<uint32_t>(1 + rng() % 8192);
        if (const uint64_t v = slots[slot]; v != kEmpty)
            Echo(slot, v, size, static_cast<unsigned>(rng()));
        busy[slot] = false;
    }
    void Echo(int slot, uint64_t v, uint32_t size, unsigned seed)
    {
        const auto h = static_cast<int32_t>(v);
        const std::string sent = kvtest::Pattern(size, seed);
        std::string back(size, '\0');
        int32_t code = SendTcpLink(h, sent.data(), size);
        if (code == eOK)
            code = RecvTcpLink(h, back.data(), size);
        if (code == eOK && back != sent)
            Fail("an exchange with other bytes", code);
        if (code == eOK)
            ++exchanged;
        else if (slots[slot] == v)
            Fail("a transfer on a live link", code);
        else
            ++cut;
    }
    void Suspend(int slot)
    {
        const uint64_t v = slots[slot];
        if (v != kEmpty && SuspendTcpLink(static_cast<int32_t>(v), 0) != eOK && slots[slot] == v)
            Fail("SuspendTcpLink", eNOK);
    }
};

void Worker(Shared& sh, uint32_t seed)
{
    std::mt19937 rng(seed);
    for (int i = 0; i < KV_TCP_STRESS_OPS; ++i) {
        const int slot = static_cast<int>(rng() % kSlots);
        const uint32_t op = rng() % 10;
        if (op < 2)
            sh.Create(slot);
        else if (op < 8)
            sh.Exchange(slot, rng);
        else if (op < 9)
            sh.Delete(slot);
        else
            sh.Suspend(slot);
    }
}

using TcpStress = kvtest::TcpTest;

TEST_F(TcpStress, MixedLinkOperationsKeepEveryExchangeIntactAndCloseEverySocket)
{
    const char* env = std::getenv("KV_STRESS_SEED");
    const auto seed = static_cast<uint32_t>(env != nullptr ? std::strtoul(env, nullptr, 10) : 1);
    std::printf("KV_STRESS_SEED=%u\n", seed);
    EchoServer server;
    Shared sh;
    sh.port = server.port;
    for (int i = 0; i < kSlots; ++i) {
        sh.slots[i] = kEmpty;
        sh.busy[i] = false;
    }
    const std::string out = kvtest::CaptureStdoutOf([&] {
        std::vector<std::thread> workers;
        for (uint32_t w = 0; w < kWorkers; ++w)
            workers.emplace_back(Worker, std::ref(sh), seed * 7919u + w);
        for (std::thread& t : workers)
            t.join();
        for (int i = 0; i < kSlots; ++i)
            sh.Delete(i);
    });
    EXPECT_EQ(sh.failures.load(), 0) << out;
    EXPECT_GT(sh.exchanged.load(), 0);
    std::printf("%d exchanges, %d cut by a deletion\n", sh.exchanged.load(), sh.cut.load());
    EXPECT_TRUE(kvtest::WaitFor([&] {
        std::lock_guard guard(server.lock);
        return server.ended == server.accepted;
    }));
    EXPECT_TRUE(kvtest::WaitFor(kvtest::TcpBoxIsEmpty));
}

}  // namespace
