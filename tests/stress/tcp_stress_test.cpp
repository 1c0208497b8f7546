// Seeded mix of TCP link creation, echo exchanges, suspension and deletion (also while another
// thread transfers on the link). Invariants: an exchange that succeeds got its own bytes back,
// one that fails only on a deleted link; every connection ends; no socket stays open.
// KV_STRESS_SEED=<n> replays a run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
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

constexpr int kOpsPerWorker = KV_TCP_STRESS_OPS;
constexpr int kWorkers = 4;
constexpr int kSlots = 4;  // below the five links the test options allow

// An echo server with one thread per connection; counts the connections that ended.
class EchoServer {
public:
    EchoServer() : listener_(kp::socket_listen_loopback(&port_))
    {
        acceptor_ = std::thread([this] {
            for (kp::Socket s; (s = kp::socket_accept(listener_)) != kp::kInvalidSocket;) {
                std::lock_guard guard(lock_);
                ++accepted_;
                servers_.emplace_back([this, s] { Serve(s); });
            }
        });
    }
    ~EchoServer()
    {
        kp::socket_shutdown_both(listener_);
        acceptor_.join();
        for (std::thread& t : servers_)
            t.join();
        kp::socket_close(listener_);
    }
    uint16_t port() const { return port_; }
    bool AllEnded()
    {
        std::lock_guard guard(lock_);
        return ended_ == accepted_;
    }

private:
    void Serve(kp::Socket s)
    {
        kp::socket_set_timeouts(s, 30000, 30000);
        char buf[16384];
        for (int n; (n = kp::socket_recv(s, buf, sizeof buf)) > 0;) {
            if (!kvtest::SendAll(s, std::string(buf, static_cast<size_t>(n))))
                break;
        }
        kp::socket_close(s);
        std::lock_guard guard(lock_);
        ++ended_;
    }
    uint16_t port_ = 0;
    kp::Socket listener_;
    std::mutex lock_;
    int accepted_ = 0;
    int ended_ = 0;
    std::vector<std::thread> servers_;
    std::thread acceptor_;
};

// A slot holds a link as (generation << 32 | handle); kEmpty when none.
constexpr uint64_t kEmpty = ~uint64_t{0};
int32_t HandleOf(uint64_t v)
{
    return static_cast<int32_t>(v & 0xFFFFFFFFu);
}

struct Shared {
    uint16_t port = 0;
    std::atomic<uint64_t> slots[kSlots];
    std::atomic<bool> busy[kSlots];
    std::shared_mutex creating;
    std::atomic<uint64_t> generation{0};
    std::atomic<int> failures{0};
    std::atomic<int> exchanged{0};
    std::atomic<int> cut{0};  // exchanges ended by a deletion
};

void Fail(Shared& sh, const char* what, int32_t code)
{
    if (sh.failures++ < 10)
        ADD_FAILURE() << what << " answered " << code;
}

void Create(Shared& sh, int slot)
{
    if (sh.slots[slot].load() != kEmpty)
        return;
    const std::string name = "STRESS" + std::to_string(slot);
    int32_t h = -1;
    std::unique_lock no_exchange(sh.creating);
    const int32_t code = CreateTcpLink(name.c_str(), "127.0.0.1", sh.port, 0, 2000, 0, &h);
    if (code == eOBJECT_EXIST)
        return;  // another worker created this slot's link meanwhile
    if (code != eOK)
        return Fail(sh, "CreateTcpLink", code);
    uint64_t expected = kEmpty;
    const uint64_t value = (sh.generation++ << 32) | static_cast<uint32_t>(h);
    if (!sh.slots[slot].compare_exchange_strong(expected, value))
        DeleteTcpLink(h);
}

void Delete(Shared& sh, int slot)
{
    uint64_t v = sh.slots[slot].load();
    if (v != kEmpty && sh.slots[slot].compare_exchange_strong(v, kEmpty)) {
        if (const int32_t code = DeleteTcpLink(HandleOf(v)); code != eOK)
            Fail(sh, "DeleteTcpLink", code);
    }
}

// One exchange per slot at a time, or the echoes would mix. Exchanges hold the creation lock
// shared, so no handle they read from a slot can be reused for a newer link under them; deletions
// take no lock and so meet exchanges in flight.
void Exchange(Shared& sh, int slot, std::mt19937& rng)
{
    std::shared_lock no_creation(sh.creating);
    bool idle = false;
    if (!sh.busy[slot].compare_exchange_strong(idle, true))
        return;
    const uint64_t v = sh.slots[slot].load();
    if (v != kEmpty) {
        const auto size = static_cast<uint32_t>(1 + rng() % 8192);
        const std::string sent = kvtest::Pattern(size, static_cast<unsigned>(rng()));
        std::string back(size, '\0');
        int32_t code = SendTcpLink(HandleOf(v), sent.data(), size);
        if (code == eOK)
            code = RecvTcpLink(HandleOf(v), back.data(), size);
        if (code == eOK && back != sent)
            Fail(sh, "an exchange with other bytes", code);
        if (code == eOK)
            ++sh.exchanged;
        else if (sh.slots[slot].load() == v)
            Fail(sh, "a transfer on a live link", code);
        else
            ++sh.cut;
    }
    sh.busy[slot] = false;
}

void Worker(Shared& sh, uint32_t seed)
{
    std::mt19937 rng(seed);
    for (int i = 0; i < kOpsPerWorker; ++i) {
        const int slot = static_cast<int>(rng() % kSlots);
        const uint32_t op = rng() % 10;
        if (op < 2) {
            Create(sh, slot);
        } else if (op < 8) {
            Exchange(sh, slot, rng);
        } else if (op < 9) {
            Delete(sh, slot);
        } else if (const uint64_t v = sh.slots[slot].load(); v != kEmpty) {
            const int32_t code = SuspendTcpLink(HandleOf(v), 0);
            if (code != eOK && sh.slots[slot].load() == v)
                Fail(sh, "SuspendTcpLink", code);
        }
    }
}

using TcpStress = kvtest::TcpTest;

TEST_F(TcpStress, MixedLinkOperationsKeepEveryExchangeIntactAndCloseEverySocket)
{
    const char* env = std::getenv("KV_STRESS_SEED");
    const auto seed = static_cast<uint32_t>(env != nullptr ? std::strtoul(env, nullptr, 10) : 1);
    std::printf("KV_STRESS_SEED=%u\n", seed);
    {
        EchoServer server;
        Shared sh;
        sh.port = server.port();
        for (int i = 0; i < kSlots; ++i) {
            sh.slots[i] = kEmpty;
            sh.busy[i] = false;
        }
        std::string out = kvtest::CaptureStdoutOf([&] {
            std::vector<std::thread> workers;
            for (int w = 0; w < kWorkers; ++w)
                workers.emplace_back(Worker, std::ref(sh), seed * 7919u + static_cast<uint32_t>(w));
            for (std::thread& t : workers)
                t.join();
            for (int i = 0; i < kSlots; ++i)
                Delete(sh, i);
        });
        EXPECT_EQ(sh.failures.load(), 0) << out;
        EXPECT_GT(sh.exchanged.load(), 0);
        std::printf("%d exchanges, %d cut by a deletion\n", sh.exchanged.load(), sh.cut.load());
        EXPECT_TRUE(kvtest::WaitUntil([&] { return server.AllEnded(); }));
    }
    EXPECT_TRUE(kvtest::WaitUntil(kvtest::TcpBoxIsEmpty));
}

}  // namespace
