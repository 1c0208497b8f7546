// TCP link objects: creation against loopback peers, failures, names, deletion and closing.
#include <gmock/gmock.h>

#include <filesystem>
#include <optional>

#include "tests/tcp/tcp_support.h"

namespace {

using TcpLinks = kvtest::TcpTest;
using kvtest::Peer;
namespace kp = kerval::platform;

const TcpLinkRec& RecordOf(int32_t link)
{
    return _pxSysDescript->pxSockTab[_pxSysDescript->pxObjectTab[link].nIndex];
}

bool LongNameIsLoopback(const char* host, uint32_t* addr)
{
    return std::string(host) == "a-host-name-longer-than-19" &&
           kp::net_resolve_ipv4("127.0.0.1", addr);
}

TEST_F(TcpLinks, CreateConnectsAndDeleteHandsTheSocketToTheTcpTask)
{
    kvtest::Received seen;
    std::optional<Peer> peer(std::in_place, [&](kp::Socket s) { seen = kvtest::ReadToEnd(s); });
    kp::seams::set_resolver(LongNameIsLoopback);  // the whole name is looked up
    int32_t link = -1;
    ASSERT_EQ(CreateTcpLink("LINK", "a-host-name-longer-than-19", peer->port(), 77, 1000, 5, &link),
              eOK);
    EXPECT_EQ(ObjectExist(link), SOCK_OBJECT);
    EXPECT_EQ(FindObjectMirror("LINK"), link);
    EXPECT_NE(SocketFromHandle(link), -1);
    EXPECT_EQ(SuspendTcpLink(link, 0), eOK);
    const TcpLinkRec& rec = RecordOf(link);
    EXPECT_STREQ(rec.szHostName, "a-host-name-longer-");
    EXPECT_TRUE(rec.lTimeout == 1000 && rec.lLinger == 5 && rec.hMute1 == -1 && rec.hMute2 == -1);

    EXPECT_EQ(DeleteTcpLink(link), eOK);
    EXPECT_EQ(SocketFromHandle(link), -1);
    EXPECT_EQ(SuspendTcpLink(link, 0), eNOK);
    EXPECT_EQ(ObjectExist(link), 0);
    EXPECT_STREQ(rec.szHostName, "");
    peer.reset();
    EXPECT_EQ(seen.end, 0);  // the TCP task's orderly close
}

TEST_F(TcpLinks, FailedCreationsAnswerTheirCodeAndReserveNothing)
{
    uint16_t closed_port = 0;
    kp::socket_close(kp::socket_listen_loopback(&closed_port));
    int32_t box = -1;
    ASSERT_EQ(CreateMailBox("A_BOX", 2, &box), eOK);
    const struct {
        const char* name;
        const char* host;
        int32_t code;
    } cases[] = {
        {"L1", "no-such-host", eTCP_UNKNOWN_HOST},
        {"L1", nullptr, eTCP_UNKNOWN_HOST},
        {"L1", "127.0.0.1", eTCP_CONNECTION_FAIL_CONNECT},  // refused
        {"", "127.0.0.1", eNOK},
        {nullptr, "127.0.0.1", eNOK},
        {"A_BOX", "127.0.0.1", eOBJECT_EXIST},
    };
    for (const auto& c : cases) {
        int32_t link = 5;
        kvtest::CaptureStdoutOf([&] {
            EXPECT_EQ(CreateTcpLink(c.name, c.host, closed_port, 0, 1000, 0, &link), c.code);
        });
        EXPECT_EQ(link, -1);
    }
    int32_t again = -1;
    EXPECT_EQ(CreateMailBox("L1", 2, &again), eOK);  // the name is free at once
    EXPECT_EQ(again, box + 1);                       // and so is the slot

    Peer full([](kp::Socket) {}, 0, 0);  // admits one connection, never accepts it
    const kp::Socket queued = kp::socket_tcp();
    uint32_t loopback = 0;
    kp::net_resolve_ipv4("127.0.0.1", &loopback);
    ASSERT_TRUE(kp::socket_connect(queued, loopback, full.port(), kp::kInfinite));
    kerval::tcp::SetConnectLimitMs(300);  // the next connect goes unanswered
    EXPECT_EQ(CreateTcpLink("HANGS", "127.0.0.1", full.port(), 0, 1000, 0, &again),
              eTCP_CONNECTION_FAIL_CONNECT);
    kp::socket_close(queued);
}

std::atomic<int> g_resolving{0};
bool SlowLoopback(const char*, uint32_t* addr)
{
    g_resolving = 1;
    kvtest::WaitFor([] { return g_resolving == 2; });
    return kp::net_resolve_ipv4("127.0.0.1", addr);
}

TEST_F(TcpLinks, TheNameIsTakenWhileTheConnectRunsAndSharedWithOtherObjects)
{
    Peer peer([](kp::Socket s) { kvtest::ReadToEnd(s); });
    kp::seams::set_resolver(SlowLoopback);
    int32_t first = -1;
    int32_t code = -1;
    std::thread creator(
        [&] { code = CreateTcpLink("SLOW", "slow", peer.port(), 0, 1000, 0, &first); });
    ASSERT_TRUE(kvtest::WaitFor([] { return g_resolving == 1; }));
    int32_t other = -1;
    kvtest::CaptureStdoutOf([&] {
        EXPECT_EQ(CreateTcpLink("SLOW", "127.0.0.1", peer.port(), 0, 1000, 0, &other),
                  eOBJECT_EXIST);
        EXPECT_EQ(CreateMailBox("SLOW", 1, &other), eOBJECT_EXIST);
    });
    EXPECT_EQ(FindObjectMirror("SLOW"), -1);  // not a link until connected
    g_resolving = 2;
    creator.join();
    ASSERT_EQ(code, eOK);
    EXPECT_EQ(FindObjectMirror("SLOW"), first);
    kvtest::CaptureStdoutOf([&] { EXPECT_EQ(CreateMailBox("SLOW", 1, &other), eOBJECT_EXIST); });
    DeleteTcpLink(first);
}

TEST_F(TcpLinks, OtherHandlesAndNullBuffersAreRefused)
{
    int32_t box = -1;
    ASSERT_EQ(CreateMailBox("NOT_A_LINK", 2, &box), eOK);
    char buf[4] = {};
    for (int32_t h : {box, -1, 0, 9999}) {
        EXPECT_EQ(SendTcpLink(h, buf, sizeof buf), eINVALID_HANDLE);
        EXPECT_EQ(RecvTcpLink(h, buf, sizeof buf), eINVALID_HANDLE);
        EXPECT_EQ(SuspendTcpLink(h, 0), eNOK);
        EXPECT_EQ(SocketFromHandle(h), -1);
        EXPECT_EQ(DeleteTcpLink(h), eOK);
    }
    EXPECT_EQ(ObjectExist(box), MAILBOX_OBJECT);
    Peer peer([](kp::Socket s) { kvtest::ReadToEnd(s); });
    const int32_t link = Link("NULLBUF", peer.port());
    EXPECT_EQ(SendTcpLink(link, nullptr, 4), eNOK);
    EXPECT_EQ(RecvTcpLink(link, nullptr, 4), eNOK);
    DeleteTcpLink(link);
}

TEST_F(TcpLinks, WithoutTheTcpBoxTheSocketIsClosedAtOnceAndTheTaskOpensANewBox)
{
    kvtest::Received seen;
    std::optional<Peer> peer(std::in_place, [&](kp::Socket s) { seen = kvtest::ReadToEnd(s); });
    const int32_t link = Link("ORPHAN", peer->port());
    const std::string out = kvtest::CaptureStdoutOf([&] {
        DeleteMailBox(FindObjectMirror("_TCP_BOX"));
        EXPECT_EQ(DeleteTcpLink(link), eOK);
    });
    EXPECT_THAT(out, ::testing::HasSubstr("KERVAL-TCPShutdownRequest()"));
    EXPECT_THAT(out, ::testing::HasSubstr("WriteMailBox( Shutdown) echoue !"));
    peer.reset();
    EXPECT_EQ(seen.end, 0);  // closed by the deleting call itself
    EXPECT_TRUE(kvtest::WaitFor([] { return FindObjectMirror("_TCP_BOX") >= 0; }));
}

TEST_F(TcpLinks, AThousandCreateDeleteCyclesLeaveNoSocketOpen)
{
    constexpr int kCycles = 1000;
    Peer peer([](kp::Socket s) { kvtest::ReadToEnd(s); }, kCycles);
#if !defined(_WIN32)  // no descriptor count under Windows: there the cycles prove no wedge only
    const auto open_descriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    const auto before = open_descriptors();
#endif
    for (int i = 0; i < kCycles; ++i) {
        ASSERT_EQ(DeleteTcpLink(Link("CYCLE", peer.port())), eOK);
        if (i % 8 == 0) {  // lets the TCP task keep up, rather than fill its box
            ASSERT_TRUE(kvtest::WaitFor(kvtest::TcpBoxIsEmpty));
        }
        if (i % 100 == 0) {  // a refused connect hands its socket over too
            uint16_t closed = 0;
            kp::socket_close(kp::socket_listen_loopback(&closed));
            CreateTcpLink("CYCLE", "127.0.0.1", closed, 0, 1000, 0, nullptr);
        }
    }
#if !defined(_WIN32)
    EXPECT_TRUE(kvtest::WaitFor([&] { return open_descriptors() <= before; }));
#endif
}

}  // namespace
