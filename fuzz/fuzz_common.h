// SPDX-License-Identifier: Apache-2.0
// Shared by the fuzz targets and the corpus generator: the targets' set-up (standard output
// silenced, a socket pair holding a peer's whole stream), an in-process server with an echo
// service and a generic listener, the scripted client calls, and encoders that record the bytes
// that cross them or work over memory.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "net/net.h"
#include "zo/zostring.h"

namespace fuzzcommon {

// For LLVMFuzzerInitialize: handle values print progress lines on standard output, which would
// drown the fuzzer's own.
inline void SilenceStandardOutput() {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::fputs("fuzz: cannot silence standard output\n", stderr);
        std::abort();
    }
}

// A socket pair as a peer leaves it that has sent its whole stream: fds[1] has written bytes and
// shut its sending side, fds[0] reads them. room is each end's send buffer; with room enough
// for the bytes and for all that fds[0] writes (which nobody reads), nobody blocks.
inline void PeerStream(const std::uint8_t* bytes, std::size_t length, int room, int fds[2]) {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        std::abort();
    }
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    NetXDRImp peer;
    if (!peer.Write(fds[1], bytes, static_cast<std::int32_t>(length))) {
        std::abort();
    }
    shutdown(fds[1], SHUT_WR);
}

// Answers every call with its own value and the return-data bit; strings come back prefixed.
// Calls that reach the handle numbered *probeHandle are counted in *probeCalls, so a harness can
// tell that no other connection reached that connection's event object.
class EchoEvent : public NetEvent {
public:
    EchoEvent(std::atomic<std::int32_t>* probeHandle, std::atomic<std::uint64_t>* probeCalls)
        : m_pProbeHandle(probeHandle), m_pProbeCalls(probeCalls) {}
    NetEvent* Clone() override { return new EchoEvent(m_pProbeHandle, m_pProbeCalls); }
    void SetHndl(NetHostHndl* handle) override { m_pHandle = handle; }
    std::int32_t IntegerData(std::int32_t* value, std::uint32_t& flags) override {
        *value += 1;
        return Answer(flags);
    }
    std::int32_t RealData(double* value, std::uint32_t& flags) override {
        *value *= 2;
        return Answer(flags);
    }
    std::int32_t StringData(char** text, std::uint32_t& flags) override {
        const std::string echoed = "echo:" + std::string(*text != nullptr ? *text : "");
        std::free(*text);
        *text = strdup(echoed.c_str());
        return Answer(flags);
    }
    std::int32_t UserData(void*, std::uint32_t& flags) override { return Answer(flags); }

private:
    std::int32_t Answer(std::uint32_t& flags) {
        if (m_pProbeHandle != nullptr && m_pHandle != nullptr &&
            m_pHandle->m_lHandle == m_pProbeHandle->load()) {
            ++*m_pProbeCalls;
        }
        flags |= NET_FLAG_RETURNDATA;
        return NET_OK;
    }
    std::atomic<std::int32_t>* m_pProbeHandle;
    std::atomic<std::uint64_t>* m_pProbeCalls;
    NetHostHndl* m_pHandle = nullptr;
};

// A port that was free a moment ago.
inline std::uint16_t FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    std::uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

// A started server serving "echo" and a generic listener on its port, its main thread an input
// loop on a thread of its own. Never destroyed by the fuzz targets: it serves every input.
struct LiveServer {
    ZoInputLoop loop;
    NetServer* server = nullptr;
    std::uint16_t port = 0;
    std::thread mainThread;
    std::atomic<std::int32_t> probeHandle{-1};
    std::atomic<std::uint64_t> probeCalls{0};

    // False when no port could be had. Settings are applied before the start.
    bool Start(std::uint64_t decodeBudget, FILE* trace) {
        for (int attempt = 0; attempt < 20 && server == nullptr; ++attempt) {
            NetServer* candidate = NetServer::CreateServer();
            const std::uint16_t candidatePort = FreePort();
            candidate->Settings().ullDecodeBudget = decodeBudget;
            candidate->Init(new NetXDRImp, candidatePort);
            candidate->StartServer(&loop);
            if (candidate->RegisterFunc("echo", new EchoEvent(&probeHandle, &probeCalls)) ==
                    NET_OK &&
                candidate->SetListen(new EchoEvent(nullptr, nullptr)) == NET_OK) {
                server = candidate;
                port = candidatePort;
            } else {
                delete candidate;
            }
        }
        if (server == nullptr) {
            return false;
        }
        if (trace != nullptr) {
            server->TraceFile(trace);
            server->TraceFlags(0x3F);
        }
        mainThread = std::thread([this] { loop.Run(); });
        return true;
    }
    void Stop() {
        loop.Stop();
        mainThread.join();
        delete server;
        server = nullptr;
    }
};

// A user call's argument block with a value of each kind, a nested list and a reference chain;
// released with UserCall(XDR_FREE).
inline MSGUSERDATA* SampleBlock() {
    constexpr std::int32_t kCount = 8;
    auto* block = new MSGUSERDATA{};
    block->lCount = kCount;
    block->pValues = new sL_VALUE[kCount];
    sL_VALUE* v = block->pValues;
    auto set = [](sL_VALUE& value, std::uint16_t type, unsigned char kind) {
        value.usType = type;
        value.kind = kind;
        value.fValid = 1;
    };
    set(v[0], NET_TYPE_INTEGER, NET_KIND_INTEGER);
    v[0].data.lValue = -42;
    set(v[1], NET_TYPE_REAL, NET_KIND_REAL);
    v[1].data.pdValue = new double(3.25);
    set(v[2], NET_TYPE_STRING, NET_KIND_STRING);
    v[2].data.pString = new ZoString("z\xC3\xB6rnet");
    set(v[3], NET_TYPE_BOOLEAN, NET_KIND_BOOLEAN);
    v[3].data.lValue = 1;
    set(v[4], NET_TYPE_TIME, NET_KIND_TIME);
    v[4].data.time = TIMEREC{{12, 34, 56, 0}};
    set(v[5], NET_TYPE_DATE, NET_KIND_DATE);
    v[5].data.date = DATEREC{{2024, 0x0102}};
    // A list of an integer and a string, its elements typed by the list code 2 (integers).
    set(v[6], 2, NET_KIND_NONE);
    auto* list = new sLIST_HEADER{};
    auto* first = new sLIST_NODE();
    auto* second = new sLIST_NODE();
    set(*first, NET_TYPE_INTEGER, NET_KIND_INTEGER);
    first->data.lValue = 7;
    set(*second, NET_TYPE_INTEGER, NET_KIND_INTEGER);
    second->data.lValue = 8;
    first->pPrev = nullptr;
    first->pNext = second;
    second->pPrev = first;
    second->pNext = nullptr;
    list->lCount = 2;
    list->pFirst = first;
    list->pLast = second;
    v[6].data.pList = list;
    // A reference chain of two links to an integer; the links are malloc'd, as a decode makes them.
    auto* target = new (std::calloc(1, sizeof(sL_VALUE))) sL_VALUE();
    set(*target, NET_TYPE_INTEGER, NET_KIND_INTEGER);
    target->data.lValue = 99;
    auto* link = new (std::calloc(1, sizeof(sL_VALUE))) sL_VALUE();
    set(*link, NET_TYPE_INTEGER, NET_KIND_NONE);
    link->fReference = 1;
    link->data.pReference = target;
    set(v[7], NET_TYPE_INTEGER, NET_KIND_NONE);
    v[7].fReference = 1;
    v[7].data.pReference = link;
    return block;
}

// The client's side of a session, driven by script bytes: each byte is one call. Low three bits:
// 0 integer, 1 real, 2 string, 3 user, 4 close, 5 connect again, 6 user without values, 7 integer;
// 0x08 asks for no reply, 0x10 for the return data. Answers are checked for what any server's
// bytes must leave: an error code the client defines, and releasable answers.
inline void RunCalls(NetClient& client, NetXDR& xdr, std::int32_t handle,
                     const std::uint8_t* script, std::size_t calls) {
    for (std::size_t i = 0; i < calls; ++i) {
        const std::uint8_t step = script[i];
        const std::uint32_t flags =
            ((step & 0x08) ? NET_FLAG_NOREPLY : 0) | ((step & 0x10) ? NET_FLAG_RETURNDATA : 0);
        ZoErrorCode error = 0;
        switch (step & 7) {
            case 1: {
                MSGREALCALL call{2.5, 0, flags, handle};
                client.RealMsg(call, error);
                break;
            }
            case 2: {
                char text[] = "fuzz";
                MSGSTRINGCALL call{text, 0, flags, handle};
                MSGSTRINGCALL answer = client.StringMsg(call, error);
                xdr.StringCall(-1, XDR_FREE, answer);
                break;
            }
            case 3:
            case 6: {
                MSGUSERCALL call{};
                call.ulFlags = flags;
                call.lHandle = handle;
                call.pData = (step & 7) == 3 ? SampleBlock() : nullptr;
                MSGUSERCALL answer = client.UserMsg(call, error);
                xdr.UserCall(-1, XDR_FREE, answer, client.m_bUnicode);
                xdr.UserCall(-1, XDR_FREE, call, client.m_bUnicode);
                break;
            }
            case 4:
                error = client.CloseMsg(handle);
                break;
            case 5: {
                std::int32_t again = -1;
                error = client.ConnectMsg("fuzzhost", "echo", again);
                break;
            }
            default: {
                MSGINTCALL call{21, 0, flags, handle};
                client.IntegerMsg(call, error);
                break;
            }
        }
        if (error < 0) {
            std::abort();  // no call reports a negative code, whatever the peer sent
        }
    }
}

// Records every byte that the client writes and reads, in order, per direction.
struct RecordingXdr : NetXDRImp {
    std::vector<unsigned char> sent;
    std::vector<unsigned char> received;
    unsigned char Write(int socket, const void* buffer, std::int32_t length) override {
        const auto* p = static_cast<const unsigned char*>(buffer);
        if (length > 0) {
            sent.insert(sent.end(), p, p + length);
        }
        return NetXDRImp::Write(socket, buffer, length);
    }
    unsigned char Read(int socket, void* buffer, std::int32_t length) override {
        const unsigned char ok = NetXDRImp::Read(socket, buffer, length);
        const auto* p = static_cast<const unsigned char*>(buffer);
        if (ok && length > 0) {
            received.insert(received.end(), p, p + length);
        }
        return ok;
    }
};

// An encoder over memory: writes append to out, reads consume in.
struct MemoryXdr : NetXDRImp {
    std::vector<unsigned char> out;
    std::vector<unsigned char> in;
    std::size_t pos = 0;

    unsigned char Write(int, const void* buffer, std::int32_t length) override {
        const auto* p = static_cast<const unsigned char*>(buffer);
        if (length > 0) {
            out.insert(out.end(), p, p + length);
        }
        return 1;
    }
    unsigned char Read(int, void* buffer, std::int32_t length) override {
        if (length <= 0) {
            return 1;
        }
        if (static_cast<std::size_t>(length) > in.size() - pos) {
            return 0;
        }
        std::memcpy(buffer, in.data() + pos, static_cast<std::size_t>(length));
        pos += static_cast<std::size_t>(length);
        return 1;
    }
};

}  // namespace fuzzcommon
