// SPDX-License-Identifier: Apache-2.0
#include "net/netclnt.h"

#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/ioctl.h>

#include <cstdlib>
#include <tuple>

#include "net/net_xdr.h"
#include "testutil.h"

using namespace testutil;

static NetXDRImp g_xdr;

// The names go out cut to 255 characters; every outcome but success leaves the client without a
// socket and the caller's handle untouched. The Unicode word decides, whatever the client held.
TEST(NetClientHandshake, AnswersRefusalsAndVersionFallBack) {
    const std::string host(300, 'h'), service(300, 's');
    struct Row {
        std::uint32_t version;
        Bytes answer;
        std::int32_t result, handle;
        bool unicode;
    };
    // Refusals come back by their magnitude; -1 (which would read as success) and the lowest
    // value (which has none) break the protocol, and so does an answer above the highest handle
    // number 65535: text from a server of another protocol, say. A version-1 server answers the
    // handle alone, too old for a version-2 client; a version-1 client reads no Unicode word.
    const std::string text = "HTTP/1.1 400 Bad Request\r\n\r\n";
    const Bytes http(text.begin(), text.end());
    const Row rows[] = {
        {2, Words({7, 0}), 1, 7, false},        {2, Words({7, 1}), 1, 7, true},
        {2, Words({-3u}), 3, -1, false},        {2, Words({-27u}), 27, -1, false},
        {2, Words({-30u}), 30, -1, false},      {2, Words({-31u}), 31, -1, false},
        {2, Words({-1u}), 32, -1, false},       {2, Words({0x80000000u}), 32, -1, false},
        {2, Words({5}), 30, -1, false},         {1, Words({5}), 1, 5, false},
        {2, Words({70000, 0}), 32, -1, false},  {2, http, 32, -1, false},
        {2, Words({65535, 1}), 1, 65535, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "row " << &row - rows);
        Peer peer([&](int fd, int) {
            const Hello hello(fd);
            EXPECT_EQ(hello.id, 1u);
            EXPECT_EQ(hello.version, row.version);
            EXPECT_EQ(hello.Host(), host.substr(0, 255));
            EXPECT_EQ(hello.Service(), service.substr(0, 255));
            EXPECT_EQ(hello.block[256] | hello.block[512] | hello.block[513], 0);
            WriteAll(fd, row.answer);
            EXPECT_TRUE(PeerEnded(fd));
        });
        NetClient client(nullptr, &g_xdr, row.version);
        client.m_bUnicode = !row.unicode;
        std::int32_t handle = -1;
        ASSERT_EQ(client.CreateSocket("127.0.0.1", peer.Port()), 1);
        EXPECT_EQ(client.ConnectMsg(host.c_str(), service.c_str(), handle), row.result);
        EXPECT_EQ(handle, row.handle);
        EXPECT_EQ(client.m_nSocket == -1, row.result != 1);
        EXPECT_EQ(client.m_bUnicode, row.unicode || row.result != 1);
        client.CloseSocket();
    }
}

// The Unicode word may still be on its way when the number has been read: part of it came along,
// so the client waits for the rest instead of taking the server for an older one.
TEST(NetClientHandshake, UnicodeWordArrivingInPartsIsWaitedFor) {
    SocketPair pair;
    NetClient client(nullptr, &g_xdr, 2);
    client.m_nSocket = dup(pair.a);
    client.m_bConnected = true;
    client.m_bUnicode = false;
    client.SetTimeout(10000);  // a client that waits for too much fails instead of hanging
    const Bytes answer = Words({9, 1});
    WriteAll(pair.b, answer.data(), 6);
    std::thread rest([&] {  // the last two bytes once the client has taken the first six
        int unread = 1;
        WaitUntil([&] { return ioctl(pair.a, FIONREAD, &unread) == 0 && unread == 0; });
        WriteAll(pair.b, answer.data() + 6, 2);
    });
    std::int32_t handle = -1;
    EXPECT_EQ(client.ConnectMsg("me", "svc", handle), 1);
    rest.join();
    EXPECT_EQ(handle, 9);
    EXPECT_TRUE(client.m_bUnicode);
    client.CloseSocket();
}

TEST(NetClientSocket, AddressCacheReuseAndFailures) {
    Listener a, b;
    const std::uint16_t dead = FreePort();
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

    // CloseSocket closes only a connected socket; DestroySocket closes any.
    client.m_bConnected = false;
    client.CloseSocket();
    EXPECT_TRUE(IsOpen(fd));
    client.DestroySocket();
    EXPECT_FALSE(IsOpen(fd));
    EXPECT_EQ(client.m_nSocket, -1);

    // A host that cannot be resolved clears the cache.
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

// What the client writes and takes (the records' own forms are in wireformat_test): the
// caller's status goes out as it was, a user call's as 0; a one-way call reads nothing; the close
// message is the identifier alone, never the handle number.
TEST(NetClientCalls, WireBytesOfTheCalls) {
    const std::pair<Bytes, Bytes> wire[] = {
        {Words({2, 5, 9, 2, 3}), Words({6, 1, 2, 3})},
        {Words({2, 8, 0, 1, 3}), {}},
        {Words({5, 0, 0, 3, 0, 0, 0, 0}), Words({4, 2, 3, 0, 0, 0, 0})},
        {Words({6}), Words({1})},
    };
    Peer peer([&](int fd, int) {
        Hello{fd};
        WriteAll(fd, Words({4, 0}));
        for (const auto& [request, reply] : wire) {
            EXPECT_EQ(ReadBytes(fd, request.size()), request);
            WriteAll(fd, reply);
        }
        EXPECT_TRUE(PeerEnded(fd));
    });
    NetClient client(nullptr, &g_xdr, 2);
    std::int32_t handle = -1;
    ASSERT_EQ(client.CreateSocket("127.0.0.1", peer.Port()), 1);
    ASSERT_EQ(client.ConnectMsg("me", "svc", handle), 1);
    ZoErrorCode error = 0;
    using std::make_tuple;
    MSGINTCALL integer{5, 9, 2, 3}, oneWay{8, 0, 1, 3};
    const MSGINTCALL intAnswer = client.IntegerMsg(integer, error);
    EXPECT_EQ(make_tuple(error, integer.ulStatus, intAnswer.lValue, intAnswer.ulStatus),
              make_tuple(1, 0u, 6, 1u));
    const MSGINTCALL none = client.IntegerMsg(oneWay, error);
    EXPECT_EQ(make_tuple(error, none.ulStatus, none.lValue | none.ulFlags | none.lHandle),
              make_tuple(1, 1u, 0u));
    MSGUSERCALL user{77, 0, 3, 0, 0, 0, nullptr};
    const MSGUSERCALL userAnswer = client.UserMsg(user, error);
    EXPECT_EQ(make_tuple(error, user.ulStatus, userAnswer.ulStatus, userAnswer.ulFlags),
              make_tuple(1, 0u, 4u, 2u));
    EXPECT_EQ(client.CloseMsg(0x12345678), 1);
    EXPECT_EQ(client.m_nSocket, -1);
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
    enum Kind { kConnect, kInt, kReal, kString, kUser, kClose };
    struct Row {
        Kind kind;
        int failAt;  // 1 identifier, 2 record, 3 answer; 0 not connected
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
        {kConnect, 0, 0, true, false, 33}, {kInt, 0, 0, true, false, 33},
        {kUser, 0, 0, true, false, 33},    {kClose, 0, 0, true, false, 33},
    };
    SocketPair pair;
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "kind " << row.kind << " fails at " << row.failAt);
        FailingXdr xdr;
        xdr.failAt = row.failAt;
        NetClient client(nullptr, &xdr, 2);
        client.m_nSocket = dup(pair.a);
        client.m_bConnected = row.failAt != 0;
        const int fd = client.m_nSocket;
        ZoErrorCode error = 0;
        std::uint32_t status = 9;
        auto send = [&](auto call, auto method) {  // notes the call's status, gives the answer's
            const auto answer = (client.*method)(call, error);
            status = call.ulStatus;
            return answer.ulStatus;
        };
        std::int32_t handle = -1;
        if (row.kind == kConnect)
            error = client.ConnectMsg("me", "svc", handle);
        else if (row.kind == kClose)
            error = client.CloseMsg(2);
        else if (row.kind == kInt)
            send(MSGINTCALL{1, 9, row.flags, 2}, &NetClient::IntegerMsg);
        else if (row.kind == kReal)
            send(MSGREALCALL{1, 9, row.flags, 2}, &NetClient::RealMsg);
        else if (row.kind == kString)
            send(MSGSTRINGCALL{nullptr, 9, row.flags, 2}, &NetClient::StringMsg);
        else
            EXPECT_EQ(send(MSGUSERCALL{9, row.flags, 2, 0, 0, 0, nullptr}, &NetClient::UserMsg),
                      row.failAt == 3 ? 1u : 0u);
        EXPECT_EQ(error, row.error);
        EXPECT_EQ(status == 0, row.statusCleared);
        EXPECT_EQ(client.m_bConnected, row.keepsSocket && row.failAt != 0);
        EXPECT_EQ(IsOpen(fd), row.keepsSocket);
        EXPECT_EQ(xdr.step == 0, row.failAt == 0);  // not connected: nothing sent
        client.DestroySocket();
    }
}

// A peer that never answers, or never takes what is sent, fails the handshake or the call within
// the time-out and the socket is closed, a string call's too (without a time-out its failed
// answer keeps the socket). The time-out is off by default; it applies set before or after the
// connect.
TEST(NetClientTimeout, SilentPeerFailsWithTheSocketClosed) {
    EXPECT_EQ(NetClient(nullptr, &g_xdr, 2).m_lTimeoutMs, 0);
    std::string big(32 << 20, 'x');  // more than the socket buffers take
    char abc[] = "abc";
    enum Step { kHandshake, kInt, kString, kUser, kClose, kUnreadString };
    for (Step step : {kHandshake, kInt, kString, kUser, kClose, kUnreadString}) {
        SCOPED_TRACE(testing::Message() << "step " << step);
        Peer peer([&](int fd, int) {
            if (step != kHandshake) {
                WriteAll(fd, Words({4, 0}));  // answered at once: the time-out is for the call
                Hello{fd};
            }
            pollfd gone{fd, POLLRDHUP, 0};
            EXPECT_EQ(poll(&gone, 1, 10000), 1);  // the client gave up; nothing was answered
        });
        NetClient client(nullptr, &g_xdr, 2);
        const bool early = step % 2 == 0;
        if (early)
            client.SetTimeout(100);
        ASSERT_EQ(client.CreateSocket("127.0.0.1", peer.Port()), 1);
        if (!early)
            client.SetTimeout(100);
        pollfd answered{client.m_nSocket, POLLIN, 0};  // however slowly the peer's thread runs
        ASSERT_EQ(poll(&answered, 1, step == kHandshake ? 0 : 10000), step == kHandshake ? 0 : 1);
        std::int32_t handle = -1;
        ZoErrorCode error = client.ConnectMsg("me", "svc", handle);
        if (step == kInt) {
            MSGINTCALL call{1, 0, 0, handle};
            client.IntegerMsg(call, error);
        } else if (step == kString || step == kUnreadString) {
            MSGSTRINGCALL call{step == kString ? abc : &big[0], 0, 0, handle};
            MSGSTRINGCALL answer = client.StringMsg(call, error);
            free(answer.pszValue);
        } else if (step == kUser) {
            MSGUSERCALL call{0, 0, handle, 0, 0, 0, nullptr};
            client.UserMsg(call, error);
        } else if (step == kClose) {
            error = client.CloseMsg(handle);
        }
        EXPECT_EQ(error, 32);
        EXPECT_EQ(client.m_nSocket, -1);
    }
}
