// tnet against real Winsock sockets on the loopback interface.

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tnet.h"
#include "ttime.h"

namespace {

class NetTest : public ::testing::Test {
protected:
    NetLibraryUse library_{2, 0};

    void SetUp() override { ASSERT_TRUE(library_.ok()); }

    // A socket bound to 127.0.0.1 on a port the system picks.
    static NetSocketHolder BoundLoopback(int type, unsigned short* port) {
        SOCKET s = socket(AF_INET, type, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        int length = sizeof(a);
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &length);
        *port = ntohs(a.sin_port);
        return NetSocketHolder(static_cast<NetSocket>(s));
    }

    static std::string Text(const std::string& scheme, const std::string& host, unsigned short port) {
        return scheme + host + ":" + std::to_string(port);
    }

    static int SocketType(NetSocket s) {
        int type = 0;
        int length = sizeof(type);
        getsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length);
        return type;
    }
};

TEST_F(NetTest, UdpToDottedAddressIsConnectedAndCarriesDatagrams) {
    unsigned short port = 0;
    NetSocketHolder server = BoundLoopback(SOCK_DGRAM, &port);
    NetSocketHolder client(NetOpen(Text("udp://", "127.0.0.1", port).c_str(), 1000));
    ASSERT_TRUE(client);
    EXPECT_EQ(SOCK_DGRAM, SocketType(client.get()));

    EXPECT_EQ(5, NetSend(client.get(), "hello", 5, 1000));
    char buffer[16] = {};
    EXPECT_EQ(5, NetRecv(server.get(), buffer, sizeof(buffer), 2000));
    EXPECT_STREQ("hello", buffer);

    // Nothing more there: a wait ends in 0, a poll too.
    EXPECT_EQ(0, NetRecv(server.get(), buffer, sizeof(buffer), 50));
    u_long nonBlocking = 1;
    ioctlsocket(static_cast<SOCKET>(server.get()), FIONBIO, &nonBlocking);
    EXPECT_EQ(0, NetRecv(server.get(), buffer, sizeof(buffer), 0));
}

TEST_F(NetTest, NumericLookingHostIsNeverResolvedByName) {
    // "2130706433" is 127.0.0.1 to a resolver; made of digits only it is
    // taken as a dotted address, which it is not.
    EXPECT_EQ(kNoNetSocket, NetOpen("udp://2130706433:9", 1000));
    EXPECT_EQ(kNoNetSocket, NetOpen("udp://127.0.0.256:9", 1000));
    EXPECT_EQ(kNoNetSocket, NetOpen("udp://127.0.0.1.1:9", 1000));
    EXPECT_EQ(kNoNetSocket, NetOpen("udp://:9", 1000));
}

TEST_F(NetTest, HostNamesAreResolved) {
    unsigned short port = 0;
    NetSocketHolder server = BoundLoopback(SOCK_DGRAM, &port);
    NetSocketHolder client(NetOpen(Text("udp://", "localhost", port).c_str(), 1000));
    ASSERT_TRUE(client);
    EXPECT_EQ(3, NetSend(client.get(), "abc", 3, 0));
    char buffer[8];
    EXPECT_EQ(3, NetRecv(server.get(), buffer, sizeof(buffer), 2000));

    EXPECT_EQ(kNoNetSocket, NetOpen("udp://no-such-host.invalid:8080", 1000));
}

TEST_F(NetTest, TextWithoutSchemeOpensTcp) {
    unsigned short port = 0;
    NetSocketHolder listener = BoundLoopback(SOCK_STREAM, &port);
    ASSERT_EQ(0, listen(static_cast<SOCKET>(listener.get()), 1));
    NetSocketHolder client(NetOpen(Text("", "127.0.0.1", port).c_str(), 2000));
    ASSERT_TRUE(client);
    EXPECT_EQ(SOCK_STREAM, SocketType(client.get()));
}

TEST_F(NetTest, TextsThatDoNotOpen) {
    for (const char* scheme : {"unix", "pipe", "file", "shm", "thttp", "ftp"}) {
        std::string text = std::string(scheme) + "://127.0.0.1:9";
        EXPECT_EQ(kNoNetSocket, NetOpen(text.c_str(), 100)) << text;
    }
    EXPECT_EQ(kNoNetSocket, NetOpen((std::string(16, 'u') + "://127.0.0.1:9").c_str(), 100));
    // Address lengths are checked by the parser (NetAddressText tests).
}

TEST_F(NetTest, TcpToAClosedPortFails) {
    unsigned short port = 0;
    { NetSocketHolder unused = BoundLoopback(SOCK_STREAM, &port); }
    EXPECT_EQ(kNoNetSocket, NetOpen(Text("tcp://", "127.0.0.1", port).c_str(), 2000));
}

// A connected pair: the client from NetOpen, the server side accepted.
struct TcpPair {
    NetSocketHolder listener, client, server;
};

void Connect(TcpPair* pair) {
    unsigned short port = 0;
    SOCKET l = socket(AF_INET, SOCK_STREAM, 0);
    pair->listener.reset(static_cast<NetSocket>(l));
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(l, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    int length = sizeof(a);
    getsockname(l, reinterpret_cast<sockaddr*>(&a), &length);
    port = ntohs(a.sin_port);
    listen(l, 1);
    std::string text = "tcp://127.0.0.1:" + std::to_string(port);
    pair->client.reset(NetOpen(text.c_str(), 2000));
    ASSERT_TRUE(pair->client);
    SOCKET s = accept(l, nullptr, nullptr);
    ASSERT_NE(INVALID_SOCKET, s);
    pair->server.reset(static_cast<NetSocket>(s));
}

TEST_F(NetTest, SendWithoutWaitOnAFullBufferReturnsZero) {
    TcpPair pair;
    Connect(&pair);
    int small = 4096;
    setsockopt(static_cast<SOCKET>(pair.client.get()), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(&small),
               sizeof(small));
    std::vector<char> chunk(65536, 'x');
    int result = 1;
    long long total = 0;
    // The server never reads, so the buffers fill; 1 GiB is far beyond them.
    while (result > 0 && total < (1LL << 30)) {
        result = NetSend(pair.client.get(), chunk.data(), static_cast<int>(chunk.size()), 0);
        if (result > 0) total += result;
    }
    EXPECT_EQ(0, result);
}

TEST_F(NetTest, ReceiveAfterThePeerClosedIsAnError) {
    TcpPair pair;
    Connect(&pair);
    EXPECT_EQ(2, NetSend(pair.server.get(), "ok", 2, 1000));
    pair.server.reset();
    char buffer[8];
    EXPECT_EQ(2, NetRecv(pair.client.get(), buffer, sizeof(buffer), 2000));
    EXPECT_EQ(-1, NetRecv(pair.client.get(), buffer, sizeof(buffer), 2000));
}

TEST(TimeNowTest, FollowsTheSystemClock) {
    TimeValue now;
    TimeNow(&now);
    SYSTEMTIME st;
    GetSystemTime(&st);
    EXPECT_LT(now.microseconds, 1000000u);
    // Within a minute of the C runtime's idea of now.
    long long diff = static_cast<long long>(now.seconds) - static_cast<long long>(time(nullptr));
    EXPECT_LE(diff < 0 ? -diff : diff, 60);
    EXPECT_GE(st.wYear, 2024);

    TimeValue later;
    SleepMicroseconds(20000);
    TimeNow(&later);
    uint64_t before = now.seconds * 1000000ULL + now.microseconds;
    uint64_t after = later.seconds * 1000000ULL + later.microseconds;
    EXPECT_GT(after, before);
}

}  // namespace
