// Loopback peers for the TCP link tests: a listener on 127.0.0.1 whose thread serves a bounded
// number of connections, and the fixture that starts the TCP task.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "kerval/kerval.h"
#include "kerval/mailbox/box_core.h"
#include "kerval/platform/platform.h"
#include "kerval/tcp/tcp_service.h"
#include "tests/support/fixtures.h"

namespace kvtest {

namespace kp = kerval::platform;

// How a peer's reading ended: the link closed in order (0), reset (-1), or still open.
struct Received {
    std::string bytes;
    int end = 1;
};

// Reads until the other side closes or resets (at most limit_ms between two pieces).
inline Received ReadToEnd(kp::Socket s, uint32_t limit_ms = 20000)
{
    kp::socket_set_timeouts(s, limit_ms, limit_ms);
    Received got;
    char buf[65536];
    for (;;) {
        const int n = kp::socket_recv(s, buf, sizeof buf);
        if (n <= 0) {
            got.end = n;
            return got;
        }
        got.bytes.append(buf, static_cast<size_t>(n));
    }
}

inline bool SendAll(kp::Socket s, const std::string& data)
{
    for (size_t at = 0; at < data.size();) {
        const int n = kp::socket_send(s, data.data() + at, static_cast<int>(data.size() - at));
        if (n <= 0)
            return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

template <class Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(20))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A listener on 127.0.0.1 whose thread accepts `connections` links one after the other and
// runs serve on each (then closes it). The destructor stops a peer still waiting to accept.
class Peer {
public:
    using Serve = std::function<void(kp::Socket)>;
    explicit Peer(Serve serve, int connections = 1, int backlog = 16)
        : listener_(kp::socket_listen_loopback(&port_, backlog))
    {
        EXPECT_NE(listener_, kp::kInvalidSocket);
        thread_ = std::thread([this, serve, connections] {
            for (int i = 0; i < connections; ++i) {
                const kp::Socket s = kp::socket_accept(listener_);
                if (s == kp::kInvalidSocket)
                    break;
                serve(s);
                kp::socket_close(s);
            }
            done_ = true;
        });
    }
    // Waits for the connections to be served; a peer still waiting for one after 20 s stops.
    ~Peer()
    {
        if (!WaitUntil([this] { return done_.load(); }))
            kp::socket_shutdown_both(listener_);  // wakes the pending accept
        thread_.join();
        kp::socket_close(listener_);
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    uint16_t port() const { return port_; }
    kp::Socket listener() const { return listener_; }

private:
    uint16_t port_ = 0;
    kp::Socket listener_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// Random-looking bytes that show any loss, duplication or reordering.
inline std::string Pattern(size_t size, unsigned seed = 1)
{
    std::string data(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char& c : data) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return data;
}

// The TCP task has taken every request of its box.
inline bool TcpBoxIsEmpty()
{
    uint32_t generation = 0;
    kerval::mailbox::BoxCore* box =
        kerval::mailbox::FindCore(FindObjectMirror("_TCP_BOX"), &generation);
    if (box == nullptr)
        return false;
    std::lock_guard guard(box->lock);
    return box->queued == 0;
}

// No name server is ever asked: every host name is unknown unless a test answers it.
inline bool NoHostKnown(const char*, uint32_t*)
{
    return false;
}

// The library and its TCP task started; names resolve through NoHostKnown.
class TcpTest : public KervalTest {
protected:
    void SetUp() override
    {
        KervalTest::SetUp();
        kp::seams::set_resolver(NoHostKnown);
        ASSERT_EQ(kerval::tcp::StartService(), eOK);
    }
    void TearDown() override
    {
        kp::seams::set_resolver(nullptr);
        kerval::tcp::SetConnectLimitMs(0);
    }
    // A link to the peer at port, asserted created.
    static int32_t Link(const char* name, uint16_t port, uint32_t timeout = 20000,
                        uint32_t linger = 0)
    {
        int32_t h = -1;
        EXPECT_EQ(CreateTcpLink(name, "127.0.0.1", port, 0, timeout, linger, &h), eOK);
        return h;
    }
};

}  // namespace kvtest
