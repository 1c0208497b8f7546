// TCP links against loopback peers: creation and its failures, names, transfers with peers that
// echo, close, reset, trickle or stay silent, and deletion with transfers or data under way.
#include "tests/tcp/tcp_support.h"

namespace {

using TcpLinks = TcpTest;

std::atomic<int> g_resolving{0};

// The name is taken while the connect runs, and shared with other kinds of objects.
TEST_F(TcpLinks, CreateConnectsAndDeleteClosesEvenWithoutTheTcpBox) {
    Received seen;
    std::optional<Peer> peer(std::in_place, [&](kp::Socket s) { seen = ReadToEnd(s); });
    kp::seams::set_resolver([](const char* host, uint32_t* addr) {  // the whole name is looked up
        g_resolving = 1;
        WaitFor([] { return g_resolving == 2; });
        return std::string(host) == "a-host-name-longer-than-19" &&
               kp::net_resolve_ipv4("127.0.0.1", addr);
    });
    int32_t link = -1, other = -1, code = -1;
    std::thread creator([&] {
        code = CreateTcpLink("LINK", "a-host-name-longer-than-19", peer->port, 77, 1000, 5, &link);
    });
    ASSERT_TRUE(WaitFor([] { return g_resolving == 1; }));
    CaptureStdoutOf([&] {
        EXPECT_EQ(CreateTcpLink("LINK", "127.0.0.1", peer->port, 0, 1000, 0, &other),
                  eOBJECT_EXIST);
        EXPECT_EQ(CreateMailBox("LINK", 1, &other), eOBJECT_EXIST);
    });
    EXPECT_EQ(FindObjectMirror("LINK"), -1);  // not a link until connected
    g_resolving = 2;
    creator.join();
    ASSERT_EQ(code, eOK);
    EXPECT_EQ(std::make_tuple(link, eOK),
              std::make_tuple(FindObjectMirror("LINK"), SuspendTcpLink(link, 0)));
    EXPECT_NE(SocketFromHandle(link), -1);
    const TcpLinkRec& rec = _pxSysDescript->pxSockTab[_pxSysDescript->pxObjectTab[link].nIndex];
    EXPECT_STREQ(rec.szHostName, "a-host-name-longer-");
    EXPECT_TRUE(rec.lTimeout == 1000 && rec.lLinger == 5 && rec.hMute1 == -1 && rec.hMute2 == -1);
    EXPECT_EQ(std::make_tuple(eNOK, eNOK),
              std::make_tuple(SendTcpLink(link, nullptr, 4), RecvTcpLink(link, nullptr, 4)));
    const std::string out = CaptureStdoutOf([&] {  // the shutdown request cannot be posted
        DeleteMailBox(FindObjectMirror("_TCP_BOX"));
        EXPECT_EQ(DeleteTcpLink(link), eOK);
    });
    EXPECT_THAT(out, HasSubstr("KERVAL-TCPShutdownRequest()"));
    EXPECT_THAT(out, HasSubstr("WriteMailBox( Shutdown) echoue !"));
    EXPECT_EQ(std::make_tuple(-1, eNOK, 0),
              std::make_tuple(SocketFromHandle(link), SuspendTcpLink(link, 0), ObjectExist(link)));
    peer.reset();
    EXPECT_EQ(seen.end, 0);  // closed by the deleting call itself
    EXPECT_TRUE(WaitFor([] { return FindObjectMirror("_TCP_BOX") >= 0; }));  // a new box
}

TEST_F(TcpLinks, FailedCreationsAndOtherHandlesReserveAndTouchNothing) {
    uint16_t closed_port = 0;
    kp::socket_close(kp::socket_listen_loopback(&closed_port));  // refuses connects now
    const int32_t box = Made(CreateMailBox, "A_BOX", 2);
#if !defined(_WIN32)  // a failed connect closes its socket too (no descriptor count on Windows)
    const auto open_descriptors = [] {
        return std::distance(fs::directory_iterator("/proc/self/fd"), {});
    };
    const auto before = open_descriptors();
#endif
    const std::tuple<const char*, const char*, int32_t> cases[] = {
        {"L1", "no-such-host", eTCP_UNKNOWN_HOST},
        {"L1", nullptr, eTCP_UNKNOWN_HOST},
        {"L1", "127.0.0.1", eTCP_CONNECTION_FAIL_CONNECT},
        {nullptr, "127.0.0.1", eNOK},
        {"A_BOX", "127.0.0.1", eOBJECT_EXIST}};
    for (const auto& [name, host, code] : cases) {
        int32_t link = 5;
        CaptureStdoutOf(
            [&] { EXPECT_EQ(CreateTcpLink(name, host, closed_port, 0, 1000, 0, &link), code); });
        EXPECT_EQ(link, -1);
    }
    EXPECT_EQ(Made(CreateMailBox, "L1", 2), box + 1);  // the name and the slot are free at once
    char buf[4] = {};
    for (int32_t h : {box, -1, 0, 9999})
        EXPECT_EQ(std::make_tuple(eINVALID_HANDLE, eINVALID_HANDLE, eNOK, -1, eOK),
                  std::make_tuple(SendTcpLink(h, buf, 4), RecvTcpLink(h, buf, 4),
                                  SuspendTcpLink(h, 0), SocketFromHandle(h), DeleteTcpLink(h)))
            << h;
    EXPECT_EQ(ObjectExist(box), MAILBOX_OBJECT);
#if !defined(_WIN32)
    EXPECT_TRUE(WaitFor([&] { return open_descriptors() <= before; }));
#endif

    Peer full([](kp::Socket) {}, 0, 0);  // admits one connection, never accepts it
    const kp::Socket queued = kp::socket_tcp();
    uint32_t loopback = 0;
    kp::net_resolve_ipv4("127.0.0.1", &loopback);
    ASSERT_TRUE(kp::socket_connect(queued, loopback, full.port, kp::kInfinite));
    kerval::tcp::SetConnectLimitMs(300);  // the next connect goes unanswered
    int32_t again = -1;
    EXPECT_EQ(CreateTcpLink("HANGS", "127.0.0.1", full.port, 0, 1000, 0, &again),
              eTCP_CONNECTION_FAIL_CONNECT);
    kp::socket_close(queued);
}

TEST_F(TcpLinks, BuffersOfAnySizeComeBackWholeAndInOrder) {
    Peer peer([](kp::Socket s) {
        for (char buf[65536]; int n = kp::socket_recv(s, buf, sizeof buf);)
            if (n < 0 || !SendAll(s, std::string(buf, size_t(n)))) return;
    });
    const int32_t link = Link("ECHO", peer.port);
    for (uint32_t size : {1u, 10000u, (1u << 20) + 3}) {
        const std::string sent = Pattern(size, size);
        std::string back(size, '\0');
        int32_t sent_code = -1;  // sent while received: the echo holds back what is unread
        std::thread sender([&] { sent_code = SendTcpLink(link, sent.data(), size); });
        EXPECT_EQ(RecvTcpLink(link, back.data(), size), eOK);
        sender.join();
        EXPECT_EQ(sent_code, eOK);
        EXPECT_TRUE(back == sent) << size;
    }
    DeleteTcpLink(link);
}

// Peers that close or reset after the first byte, trickle thirty bytes, fall silent after ten, or
// answer late to a time-out of 0 (no limit). An ended peer ends the receive at once (not after
// ten time-outs of a minute), and sends meet the reset without SIGPIPE.
TEST_F(TcpLinks, ReceivesEndAsTheirPeersDo) {
    const std::string piece = Pattern(30);
    const auto drop = [](kp::Socket s, bool reset) {
        char byte = 0;
        kp::socket_recv(s, &byte, 1);
        kp::socket_set_linger(s, reset, 0);
    };
    const std::tuple<Peer::Serve, uint32_t, int32_t, const char*> cases[] = {
        {[&](kp::Socket s) { drop(s, false); }, 60000, eTIME_OVER, ""},
        {[&](kp::Socket s) { drop(s, true); }, 60000, eNOK, "recv failed."},
        {[&](kp::Socket s) {
             for (char c : piece) SendAll(s, std::string(1, c)), kp::sleep_ms(5);
             ReadToEnd(s);
         },
         5000, eOK, ""},
        {[&](kp::Socket s) { SendAll(s, piece.substr(0, 10)), ReadToEnd(s); }, 20, eTIME_OVER, ""},
        {[&](kp::Socket s) { kp::sleep_ms(100), SendAll(s, piece), ReadToEnd(s); }, 0, eOK, ""}};
    for (const auto& [serve, timeout, recv_code, trace] : cases) {
        Peer peer(serve);
        const int32_t link = Link("PEER", peer.port, timeout);
        std::string got(64, '\0');
        ASSERT_EQ(SendTcpLink(link, got.data(), 1), eOK);
        int32_t code = eOK;
        std::string out = CaptureStdoutOf([&] { code = RecvTcpLink(link, got.data(), 30); });
        if (kWindows && code == eTIME_OVER && recv_code == eNOK)
            out += trace;  // Wine reports a reset as an orderly end
        else
            EXPECT_EQ(code, recv_code) << timeout;
        EXPECT_THAT(out, HasSubstr(trace));
        EXPECT_TRUE(code != eOK || got.substr(0, 30) == piece);
        code = eOK;
        for (int i = 0; timeout == 60000 && i < 200 && code != eNOK; ++i) {
            out = CaptureStdoutOf([&] { code = SendTcpLink(link, got.data(), 64); });
            kp::sleep_ms(5);  // until sends meet the peer's reset
        }
        EXPECT_TRUE(timeout != 60000 || out.find("send failed.") != std::string::npos);
        DeleteTcpLink(link);
    }
}

// A transfer blocked on a deleted link wakes with an error; the socket closes after it leaves.
// Data sent just before a delete arrives whole, with linger off and on for 2 s.
TEST_F(TcpLinks, DeletionWakesTransfersAndDeliversWhatWasSent) {
    const std::string sent = Pattern(256 * 1024, 7);
    for (const int row : {0, 1, 2, 3}) {
        std::atomic<bool> deleted{false}, input_sent{false};
        Received seen;
        std::optional<Peer> peer(std::in_place, [&](kp::Socket s) {
            if (row < 2) {
                WaitFor([&] { return deleted.load(); });  // reads nothing before
            } else {
                input_sent = SendAll(s, "input the link never reads");
                kp::sleep_ms(100);  // the close comes while data still waits to leave
            }
            seen = ReadToEnd(s);
        });
        const int32_t link = Link("BUSY", peer->port, row < 2 ? 0 : 20000, row == 3 ? 250 : 0);
        if (row < 2) {
            int32_t code = -1;
            std::thread user([&] {
                std::string big(row == 0 ? 16 : 64u << 20, 'x');
                const auto size = static_cast<uint32_t>(big.size());
                code = row == 0 ? RecvTcpLink(link, big.data(), size)
                                : SendTcpLink(link, big.data(), size);
            });
            kp::sleep_ms(200);  // lets it block (had it not started yet, the answer is the same)
            EXPECT_EQ(DeleteTcpLink(link), eOK);
            user.join();
            EXPECT_EQ(code, eINVALID_HANDLE) << row;
            deleted = true;
        } else {  // input arriving after the close is answered with a reset by any system
            ASSERT_TRUE(WaitFor([&] { return input_sent.load(); }));
            EXPECT_EQ(SendTcpLink(link, sent.data(), static_cast<uint32_t>(sent.size())), eOK);
            EXPECT_EQ(DeleteTcpLink(link), eOK);
        }
        peer.reset();
        EXPECT_EQ(seen.end, 0) << row;
        EXPECT_TRUE(row < 2 || seen.bytes == sent) << row << ": " << seen.bytes.size() << " bytes";
    }
}

}  // namespace
