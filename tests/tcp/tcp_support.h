// Loopback peers for the TCP link tests, and the fixture that keeps name servers out.
#pragma once

#include "kerval/tcp/tcp_service.h"
#include "tests/support/tasks.h"

namespace kvtest {

// What a peer read until the link ended: end 0 for an orderly close, -1 for a reset or silence.
struct Received {
    std::string bytes;
    int end = 1;
};

inline Received ReadToEnd(kp::Socket s) {
    kp::socket_set_timeouts(s, 20000, 20000);
    Received got;
    char buf[65536];
    while ((got.end = kp::socket_recv(s, buf, sizeof buf)) > 0)
        got.bytes.append(buf, static_cast<size_t>(got.end));
    return got;
}

inline bool SendAll(kp::Socket s, const std::string& data) {
    int n = 1;
    for (size_t at = 0; at < data.size() && n > 0; at += static_cast<size_t>(n))
        n = kp::socket_send(s, data.data() + at, static_cast<int>(data.size() - at));
    return n > 0;
}

inline std::string Pattern(size_t size, unsigned seed = 1)  // shows loss, repeats, reordering
{
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>((seed = seed * 1664525u + 1013904223u) >> 24);
    return data;
}

// A listener on 127.0.0.1 whose thread serves `connections` links one after the other (then
// closes each). The destructor waits up to 20 s for them, then stops the listener.
struct Peer {
    using Serve = std::function<void(kp::Socket)>;
    explicit Peer(Serve serve, int connections = 1, int backlog = 16)
        : listener_(kp::socket_listen_loopback(&port, backlog)), thread_([=, this] {
              kp::Socket s;
              for (int i = 0; i < connections && (s = kp::socket_accept(listener_)) != -1; ++i) {
                  serve(s);
                  kp::socket_close(s);
              }
              done_ = true;
          }) {}
    ~Peer() {
        if (!WaitFor([this] { return done_.load(); }))
            kp::socket_shutdown_both(listener_);  // wakes the pending accept
        thread_.join();
        kp::socket_close(listener_);
    }
    uint16_t port = 0;
    kp::Socket listener_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// No name server is ever asked: host names are unknown unless a test answers them.
struct TcpTest : KervalTest {
    void SetUp() override {
        KervalTest::SetUp();
        kp::seams::set_resolver([](const char*, uint32_t*) { return false; });
    }
    void TearDown() override {
        kp::seams::set_resolver(nullptr);
        kerval::tcp::SetConnectLimitMs(0);
    }
    static int32_t Link(const char* name, uint16_t port, uint32_t timeout = 20000,
                        uint32_t linger = 0) {
        return Made(CreateTcpLink, name, "127.0.0.1", port, 0u, timeout, linger);
    }
};

}  // namespace kvtest
