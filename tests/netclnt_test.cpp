#include "net/netclnt.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "net/net_xdr.h"
#include "netpeer.h"

using netpeer::Peer;

namespace {

NetXDRImp g_xdr;

bool FdOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

// Connects and completes a version-2 handshake with a peer that answers handle 4, Unicode off.
void Connect(NetClient& client, const Peer& peer) {
    std::int32_t handle = -1;
    ASSERT_EQ(client.CreateSocket("127.0.0.1", peer.Port()), 1);
    ASSERT_EQ(client.ConnectMsg("me", "svc", handle), 1);
    ASSERT_EQ(handle, 4);
}

void AnswerHello(int fd) {
    netpeer::ReadHello(fd);
    netpeer::WriteWords(fd, {4, 0});
}

}  // namespace

TEST(NetClientHandshake, SendsCutNamesAndTakesUnicodeWord) {
    const std::string host(300, 'h'), service(300, 's');
    for (std::uint32_t word : {0u, 1u}) {
        Peer peer([&](int fd, int) {
            netpeer::Hello hello = netpeer::ReadHello(fd);
            EXPECT_EQ(hello.id, 1u);
            EXPECT_EQ(hello.version, 2u);
            EXPECT_EQ(hello.Host(), host.substr(0, 255));
            EXPECT_EQ(hello.Service(), service.substr(0, 255));
            EXPECT_EQ(hello.block[256] | hello.block[512] | hello.block[513], 0);
            netpeer::WriteWords(fd, {7, word});
            EXPECT_TRUE(netpeer::ClientClosed(fd));
        });
        NetClient client(nullptr, &g_xdr, 2);
        client.m_bUnicode = word == 0;  // the word decides, whatever the client started with
        std::int32_t handle = -1;
        ASSERT_EQ(client.CreateSocket("127.0.0.1", peer.Port()), 1);
        EXPECT_EQ(client.ConnectMsg(host.c_str(), service.c_str(), handle), 1);
        EXPECT_EQ(handle, 7);
        EXPECT_EQ(client.m_bUnicode, word == 1);
        client.CloseSocket();
    }
}

TEST(NetClientHandshake, RefusalsAndOlderServers) {
    for (std::int32_t refusal : {-3, -27, -30, -31}) {
        Peer peer([&](int fd, int) {
            netpeer::ReadHello(fd);
            netpeer::WriteWords(fd, {static_cast<std::uint32_t>(refusal)});
        });
        NetClient client(nullptr, &g_xdr, 2);
        std::int32_t handle = -1;
        ASSERT_EQ(client.CreateSocket("127.0.0.1", peer.Port()), 1);
        EXPECT_EQ(client.ConnectMsg("me", "svc", handle), -refusal);
        EXPECT_FALSE(client.m_bConnected);
        EXPECT_EQ(client.m_nSocket, -1);
        EXPECT_EQ(handle, -1);
    }

    // A version-1 server answers the handle alone: a version-2 client takes it for too old.
    Peer old([](int fd, int) {
        netpeer::ReadHello(fd);
        netpeer::WriteWords(fd, {5});
        EXPECT_TRUE(netpeer::ClientClosed(fd));
    });
    NetClient client(nullptr, &g_xdr, 2);
    std::int32_t handle = -1;
    ASSERT_EQ(client.CreateSocket("127.0.0.1", old.Port()), 1);
    EXPECT_EQ(client.ConnectMsg("me", "svc", handle), 30);
    EXPECT_EQ(client.m_nSocket, -1);

    // Offering version 1 reads no word, and the client gives up Unicode like the server does.
    Peer v1([](int fd, int) {
        EXPECT_EQ(netpeer::ReadHello(fd).version, 1u);
        netpeer::WriteWords(fd, {5});
        EXPECT_EQ(netpeer::ReadWord(fd), 6u);  // the close message follows at once
        netpeer::WriteWords(fd, {1});
    });
    NetClient older(nullptr, &g_xdr, 1);
    ASSERT_TRUE(older.m_bUnicode);
    ASSERT_EQ(older.CreateSocket("127.0.0.1", v1.Port()), 1);
    EXPECT_EQ(older.ConnectMsg("me", "svc", handle), 1);
    EXPECT_EQ(handle, 5);
    EXPECT_FALSE(older.m_bUnicode);
    EXPECT_EQ(older.CloseMsg(handle), 1);
}

TEST(NetClientSocket, AddressCacheReuseAndFailures) {
    testutil::Listener a, b;
    const std::uint16_t dead = testutil::FreePort();
    NetClient client(nullptr, &g_xdr, 2);

    // A failed connect keeps the resolved address for the next attempt.
    sockaddr_in address{};
    EXPECT_EQ(client.CreateSocket("localhost", address, dead), 32);
    EXPECT_EQ(client.m_nSocket, -1);
    EXPECT_EQ(address.sin_port, htons(dead));
    EXPECT_EQ(address.sin_addr.s_addr, htonl(INADDR_LOOPBACK));

    // The cached address answers; the fresh connect then finds the socket connected (EISCONN).
    address.sin_port = htons(a.port);
    ASSERT_EQ(client.CreateSocket("127.0.0.1", address, b.port), 1);
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    getpeername(client.m_nSocket, reinterpret_cast<sockaddr*>(&peer), &len);
    EXPECT_EQ(peer.sin_port, htons(a.port));
    EXPECT_EQ(address.sin_port, htons(b.port));
    EXPECT_EQ(client.m_usPort, b.port);

    // A client that holds a socket keeps using it.
    const int fd = client.m_nSocket;
    EXPECT_EQ(client.CreateSocket("127.0.0.1", dead), 1);
    EXPECT_EQ(client.m_nSocket, fd);

    // A host that cannot be resolved clears the cache.
    client.CloseSocket();
    address.sin_port = htons(dead);
    EXPECT_EQ(client.CreateSocket("", address, b.port), 32);
    EXPECT_EQ(address.sin_port, 0);
    EXPECT_EQ(address.sin_addr.s_addr, 0u);

    // Port 0: the "olmnet" services entry, else 5001. Whatever answers there is left alone.
    servent* olmnet = getservbyname("olmnet", "tcp");
    client.CreateSocket("127.0.0.1", 0);
    EXPECT_EQ(client.m_usPort, olmnet ? ntohs(olmnet->s_port) : 5001);
    client.DestroySocket();
}

TEST(NetClientSocket, CloseSocketNeedsConnectedDestroySocketDoesNot) {
    testutil::SocketPair pair;
    NetClient client(nullptr, &g_xdr, 2);
    client.m_nSocket = dup(pair.a);
    const int fd = client.m_nSocket;
    client.CloseSocket();
    EXPECT_TRUE(FdOpen(fd));
    client.DestroySocket();
    EXPECT_FALSE(FdOpen(fd));
    EXPECT_EQ(client.m_nSocket, -1);
}

TEST(NetClientCalls, BytesAnswersAndOneWayCalls) {
    Peer peer([](int fd, int) {
        AnswerHello(fd);
        // Integer call: the caller's status goes out as it was.
        EXPECT_EQ(netpeer::ReadBytes(fd, 20), netpeer::Words({2, 5, 9, 2, 3}));
        netpeer::WriteWords(fd, {6, 1, 2, 3});
        EXPECT_EQ(netpeer::ReadBytes(fd, 20), netpeer::Words({2, 8, 0, 1, 3}));  // one-way
        // Real call: the double least significant byte first (1.5 out, 2.5 back).
        std::vector<unsigned char> real = netpeer::Words({3});
        real.insert(real.end(), {0, 0, 0, 0, 0, 0, 0xF8, 0x3F});
        std::vector<unsigned char> words = netpeer::Words({0, 0, 3});
        real.insert(real.end(), words.begin(), words.end());
        EXPECT_EQ(netpeer::ReadBytes(fd, 24), real);
        const unsigned char answer[] = {0, 0, 0, 0, 0, 0, 0x04, 0x40};
        testutil::WriteAll(fd, answer, 8);
        netpeer::WriteWords(fd, {1, 0, 0});
        // String call: reserved word, status, flags, handle, then the counted text.
        std::vector<unsigned char> text = netpeer::Words({4, 0, 0, 0, 3, 4});
        text.insert(text.end(), {'a', 'b', 'c', 0});
        EXPECT_EQ(netpeer::ReadBytes(fd, 28), text);
        netpeer::WriteWords(fd, {0, 1, 0, 0, 3});
        testutil::WriteAll(fd, "xy", 3);
        // User call: status 0 on the wire, whatever the caller's record held.
        EXPECT_EQ(netpeer::ReadBytes(fd, 32), netpeer::Words({5, 0, 0, 3, 0, 0, 0, 0}));
        netpeer::WriteWords(fd, {4, 2, 3, 0, 0, 0, 0});
        EXPECT_EQ(netpeer::ReadBytes(fd, 32), netpeer::Words({5, 0, 1, 3, 0, 0, 0, 0}));
        // Close: the identifier only, never the handle number.
        EXPECT_EQ(netpeer::ReadBytes(fd, 4), netpeer::Words({6}));
        netpeer::WriteWords(fd, {1});
        EXPECT_TRUE(netpeer::ClientClosed(fd));
    });
    NetClient client(nullptr, &g_xdr, 2);
    Connect(client, peer);
    ZoErrorCode error = 0;

    MSGINTCALL integer{5, 9, 2, 3};
    MSGINTCALL intAnswer = client.IntegerMsg(integer, error);
    EXPECT_EQ(error, 1);
    EXPECT_EQ(integer.ulStatus, 0u);
    EXPECT_EQ(intAnswer.lValue, 6);
    EXPECT_EQ(intAnswer.ulStatus, 1u);
    MSGINTCALL oneWay{8, 0, 1, 3};
    intAnswer = client.IntegerMsg(oneWay, error);
    EXPECT_EQ(error, 1);
    EXPECT_EQ(intAnswer.ulStatus, 1u);
    EXPECT_EQ(intAnswer.lValue | intAnswer.ulFlags | intAnswer.lHandle, 0);

    MSGREALCALL real{1.5, 0, 0, 3};
    EXPECT_EQ(client.RealMsg(real, error).dValue, 2.5);

    char abc[] = "abc";
    MSGSTRINGCALL string{abc, 0, 0, 3};
    MSGSTRINGCALL stringAnswer = client.StringMsg(string, error);
    ASSERT_NE(stringAnswer.pszValue, nullptr);
    EXPECT_STREQ(stringAnswer.pszValue, "xy");
    free(stringAnswer.pszValue);

    MSGUSERCALL user{77, 0, 3, 0, 0, 0, nullptr};
    MSGUSERCALL userAnswer = client.UserMsg(user, error);
    EXPECT_EQ(error, 1);
    EXPECT_EQ(user.ulStatus, 0u);
    EXPECT_EQ(userAnswer.ulStatus, 4u);
    EXPECT_EQ(userAnswer.ulFlags, 2u);
    MSGUSERCALL userOneWay{77, 1, 3, 0, 0, 0, nullptr};
    EXPECT_EQ(client.UserMsg(userOneWay, error).ulStatus, 1u);

    EXPECT_EQ(client.CloseMsg(0x12345678), 1);
    EXPECT_EQ(client.m_nSocket, -1);
    client.IntegerMsg(integer, error);
    EXPECT_EQ(error, 33);
}

namespace {

// Fails the n-th transfer (1-based) and touches no socket, so each failure path is reached
// exactly.
class FailingXdr : public NetXDRImp {
public:
    int failAt = 0, step = 0;
    unsigned char Next() { return ++step != failAt; }
    unsigned char Long(int, XDR_Op, std::int32_t&) override { return Next(); }
    unsigned char ULong(int, XDR_Op, std::uint32_t&) override { return Next(); }
    unsigned char IntCall(int, XDR_Op, MSGINTCALL&) override { return Next(); }
    unsigned char RealCall(int, XDR_Op, MSGREALCALL&) override { return Next(); }
    unsigned char StringCall(int, XDR_Op, MSGSTRINGCALL&) override { return Next(); }
    unsigned char UserCall(int, XDR_Op, MSGUSERCALL&, unsigned char) override { return Next(); }
};

}  // namespace

TEST(NetClientCalls, WhichFailuresGiveUpTheSocket) {
    enum Kind { kInt, kReal, kString, kUser, kClose };
    struct Row {
        Kind kind;
        int failAt;  // 1 identifier, 2 record, 3 answer; 0 none
        std::uint32_t flags;
        bool keepsSocket, statusCleared;
        ZoErrorCode error;
    };
    const Row rows[] = {
        {kInt, 1, 0, false, false, 32},    {kInt, 2, 0, false, false, 32},
        {kInt, 3, 0, false, true, 32},     {kInt, 3, 1, true, true, 1},
        {kReal, 1, 0, false, false, 32},   {kReal, 2, 0, false, false, 32},
        {kReal, 3, 0, false, true, 32},    {kReal, 3, 1, true, true, 1},
        {kString, 1, 0, false, false, 32}, {kString, 2, 0, false, false, 32},
        {kString, 3, 0, true, true, 32},   {kString, 3, 1, true, true, 1},
        {kUser, 1, 0, false, false, 32},   {kUser, 2, 0, true, true, 32},
        {kUser, 3, 0, false, true, 32},    {kUser, 3, 1, true, true, 1},
        {kClose, 1, 0, true, false, 32},   {kClose, 2, 0, true, false, 32},
    };
    testutil::SocketPair pair;
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "kind " << row.kind << " fails at " << row.failAt);
        FailingXdr xdr;
        xdr.failAt = row.failAt;
        NetClient client(nullptr, &xdr, 2);
        client.m_nSocket = dup(pair.a);
        client.m_bConnected = true;
        const int fd = client.m_nSocket;
        ZoErrorCode error = 0;
        std::uint32_t status = 9;
        switch (row.kind) {
            case kInt: {
                MSGINTCALL call{1, 9, row.flags, 2};
                client.IntegerMsg(call, error);
                status = call.ulStatus;
            } break;
            case kReal: {
                MSGREALCALL call{1, 9, row.flags, 2};
                client.RealMsg(call, error);
                status = call.ulStatus;
            } break;
            case kString: {
                MSGSTRINGCALL call{nullptr, 9, row.flags, 2};
                client.StringMsg(call, error);
                status = call.ulStatus;
            } break;
            case kUser: {
                MSGUSERCALL call{9, row.flags, 2, 0, 0, 0, nullptr};
                EXPECT_EQ(client.UserMsg(call, error).ulStatus, row.failAt == 3 ? 1u : 0u);
                status = call.ulStatus;
            } break;
            case kClose:
                error = client.CloseMsg(2);
                break;
        }
        EXPECT_EQ(error, row.error);
        EXPECT_EQ(status == 0, row.statusCleared);
        EXPECT_EQ(client.m_bConnected, row.keepsSocket);
        EXPECT_EQ(FdOpen(fd), row.keepsSocket);
    }
}

TEST(NetClientCalls, NotConnectedSendsNothing) {
    NetClient client(nullptr, &g_xdr, 2);
    ZoErrorCode error = 0;
    std::int32_t handle = 0;
    EXPECT_EQ(client.ConnectMsg("me", "svc", handle), 33);
    MSGINTCALL integer{5, 9, 2, 3};
    MSGINTCALL answer = client.IntegerMsg(integer, error);
    EXPECT_EQ(error, 33);
    EXPECT_EQ(integer.ulStatus, 9u);
    EXPECT_EQ(answer.lValue | answer.ulStatus | answer.ulFlags | answer.lHandle, 0);
    MSGUSERCALL user{9, 0, 3, 0, 0, 0, nullptr};
    EXPECT_EQ(client.UserMsg(user, error).ulStatus, 0u);
    EXPECT_EQ(error, 33);
    EXPECT_EQ(user.ulStatus, 9u);
    EXPECT_EQ(client.CloseMsg(3), 33);
}
