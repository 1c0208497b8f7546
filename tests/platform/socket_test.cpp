// TCP client sockets against a loopback listener; Winsock error numbering.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/platform/runner.h"

namespace {

class PlatformSocket : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(kp::net_startup());
        ASSERT_TRUE(kp::net_resolve_ipv4("127.0.0.1", &loopback_));
        listener_ = kp::socket_listen_loopback(&port_);
        ASSERT_NE(listener_, kp::kInvalidSocket);
        ASSERT_NE(port_, 0);
    }
    void TearDown() override { kp::net_cleanup(); }
    uint32_t loopback_ = 0;
    uint16_t port_ = 0;
    kp::Socket listener_ = kp::kInvalidSocket;
};

}  // namespace

TEST_F(PlatformSocket, ConnectsTimesOutWith10060AndExchangesThroughLoopback)
{
    const kp::Socket client = kp::socket_tcp();
    ASSERT_TRUE(kp::socket_connect(client, loopback_, port_));
    const kp::Socket server = kp::socket_accept(listener_);
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
    for (kp::Socket s : {server, client, listener_})
        EXPECT_TRUE(kp::socket_close(s));
}

TEST_F(PlatformSocket, ClosedPortRefusesWith10061AndAddressesResolve)
{
    ASSERT_TRUE(kp::socket_close(listener_));  // the port is now closed
    const kp::Socket client = kp::socket_tcp();
    EXPECT_FALSE(kp::socket_connect(client, loopback_, port_));
    EXPECT_EQ(kp::net_last_error(), kp::kWsaConnRefused);
    kp::socket_close(client);
    uint32_t addr = 0;
    ASSERT_TRUE(kp::net_resolve_ipv4("10.1.2.3", &addr));
    const auto* bytes = reinterpret_cast<const unsigned char*>(&addr);
    EXPECT_EQ(bytes[0] * 1000 + bytes[3], 10003);
    EXPECT_FALSE(kp::net_resolve_ipv4("no-such-host.invalid", &addr));
}
