// TCP client sockets against a loopback listener; Winsock error numbering.
#include "tests/platform/runner.h"

TEST(PlatformSocket, LoopbackLinkTimesOutWith10060ExchangesAndClosedPortRefusesWith10061) {
    ASSERT_TRUE(kp::net_startup());
    uint32_t loopback = 0;
    uint16_t port = 0;
    ASSERT_TRUE(kp::net_resolve_ipv4("127.0.0.1", &loopback));
    const kp::Socket listener = kp::socket_listen_loopback(&port);
    ASSERT_NE(listener, kp::kInvalidSocket);
    const kp::Socket client = kp::socket_tcp();
    ASSERT_TRUE(kp::socket_connect(client, loopback, port, kp::kInfinite));
    const kp::Socket server = kp::socket_accept(listener);
    ASSERT_NE(server, kp::kInvalidSocket);
    ASSERT_TRUE(kp::socket_set_timeouts(client, 1000, 100));
    ASSERT_TRUE(kp::socket_set_linger(client, true, 0));
    char buf[16] = {};
    EXPECT_EQ(kp::socket_recv(client, buf, sizeof buf), -1);  // nothing sent yet
    EXPECT_EQ(kp::net_last_error(), kp::kWsaTimedOut);
    EXPECT_EQ(kp::socket_send(client, "hello", 5), 5);
    EXPECT_EQ(kp::socket_recv(server, buf, sizeof buf), 5);
    EXPECT_EQ(std::memcmp(buf, "hello", 5), 0);
    EXPECT_TRUE(kp::socket_shutdown_both(server));
    EXPECT_EQ(kp::socket_recv(client, buf, sizeof buf), 0);  // orderly close
    for (kp::Socket s : {server, client, listener}) EXPECT_TRUE(kp::socket_close(s));

    const kp::Socket refused = kp::socket_tcp();  // the port is closed now
    EXPECT_FALSE(kp::socket_connect(refused, loopback, port, kp::kInfinite));
    EXPECT_EQ(kp::net_last_error(), kp::kWsaConnRefused);
    kp::socket_close(refused);
    uint32_t addr = 0;
    ASSERT_TRUE(kp::net_resolve_ipv4("10.1.2.3", &addr));
    const auto* bytes = reinterpret_cast<const unsigned char*>(&addr);
    EXPECT_TRUE(bytes[0] == 10 && bytes[3] == 3);  // network order
    EXPECT_FALSE(kp::net_resolve_ipv4("no-such-host.invalid", &addr));
    kp::net_cleanup();
}
