// TCP client sockets against a loopback listener; Winsock error numbering.
#include <gtest/gtest.h>

#include <cstring>

#include "kerval/platform/platform.h"

namespace kp = kerval::platform;

namespace {

class PlatformSocket : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(kp::net_startup());
        ASSERT_TRUE(kp::net_resolve_ipv4("127.0.0.1", &loopback_));
    }
    void TearDown() override { kp::net_cleanup(); }
    uint32_t loopback_ = 0;
};

}  // namespace

TEST_F(PlatformSocket, ConnectsSendsAndReceivesThroughLoopback)
{
    uint16_t port = 0;
    const kp::Socket listener = kp::socket_listen_loopback(&port);
    ASSERT_NE(listener, kp::kInvalidSocket);
    ASSERT_NE(port, 0);
    const kp::Socket client = kp::socket_tcp();
    ASSERT_NE(client, kp::kInvalidSocket);
    ASSERT_TRUE(kp::socket_connect(client, loopback_, port));
    const kp::Socket server = kp::socket_accept(listener);
    ASSERT_NE(server, kp::kInvalidSocket);

    EXPECT_EQ(kp::socket_send(client, "hello", 5), 5);
    char buf[16] = {};
    EXPECT_EQ(kp::socket_recv(server, buf, sizeof buf), 5);
    EXPECT_EQ(std::memcmp(buf, "hello", 5), 0);

    EXPECT_TRUE(kp::socket_shutdown_both(server));
    EXPECT_EQ(kp::socket_recv(client, buf, sizeof buf), 0);  // orderly close
    EXPECT_TRUE(kp::socket_close(server));
    EXPECT_TRUE(kp::socket_close(client));
    EXPECT_TRUE(kp::socket_close(listener));
}

TEST_F(PlatformSocket, ReceiveTimeOutReports10060)
{
    uint16_t port = 0;
    const kp::Socket listener = kp::socket_listen_loopback(&port);
    const kp::Socket client = kp::socket_tcp();
    ASSERT_TRUE(kp::socket_connect(client, loopback_, port));
    const kp::Socket server = kp::socket_accept(listener);
    ASSERT_TRUE(kp::socket_set_timeouts(client, 1000, 100));
    ASSERT_TRUE(kp::socket_set_linger(client, true, 0));
    char buf[4];
    EXPECT_EQ(kp::socket_recv(client, buf, sizeof buf), -1);
    EXPECT_EQ(kp::net_last_error(), kp::kWsaTimedOut);
    kp::socket_close(server);
    kp::socket_close(client);
    kp::socket_close(listener);
}

TEST_F(PlatformSocket, ConnectionToClosedPortIsRefusedWith10061)
{
    uint16_t port = 0;
    const kp::Socket listener = kp::socket_listen_loopback(&port);
    ASSERT_TRUE(kp::socket_close(listener));  // the port is now closed
    const kp::Socket client = kp::socket_tcp();
    EXPECT_FALSE(kp::socket_connect(client, loopback_, port));
    EXPECT_EQ(kp::net_last_error(), kp::kWsaConnRefused);
    kp::socket_close(client);
}

TEST_F(PlatformSocket, ResolvesDottedAddressesAndRejectsUnknownHosts)
{
    uint32_t addr = 0;
    ASSERT_TRUE(kp::net_resolve_ipv4("10.1.2.3", &addr));
    const auto* bytes = reinterpret_cast<const unsigned char*>(&addr);
    EXPECT_EQ(bytes[0], 10);
    EXPECT_EQ(bytes[3], 3);
    EXPECT_FALSE(kp::net_resolve_ipv4("no-such-host.invalid", &addr));
}
