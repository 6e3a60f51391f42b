// netsoak: mixed load against an echo service for a given time, checking every answer. Many
// connections make integer, real, string and user calls, one-way calls among them, and connect
// and disconnect as they go (some with a close message, some by dropping the socket). Reports the
// calls made, the errors, the wrong answers and the resident memory of the server: in process
// (the default) this process's, measured after a warm-up and at the end; against a netecho
// started separately (--host/--port), that of the process given by --server-pid.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "echo_event.h"
#include "net/net.h"

namespace {

const char kUsage[] =
    "usage: netsoak [--seconds N] [--connections N] [--warmup N] [--host H --port P]\n"
    "               [--server-pid PID]\n"
    "  --seconds N      length of the run (default 60)\n"
    "  --connections N  concurrent client connections (default 32)\n"
    "  --warmup N       seconds before the first memory figure (default 10% of the run, >= 2)\n"
    "  --host, --port   a running netecho instead of the in-process echo server\n"
    "  --server-pid P   the process whose memory is reported with --host\n"
    "Exits 1 when any call failed or was answered wrongly.\n";

struct Options {
    int seconds = 60;
    int connections = 32;
    int warmup = -1;
    std::string host;
    int port = 0;
    long serverPid = 0;
};

struct Counters {
    std::atomic<std::uint64_t> calls{0}, oneWay{0}, connects{0}, closes{0}, drops{0};
    std::atomic<std::uint64_t> errors{0}, wrong{0};
};

long ResidentKb(long pid) {
    std::ifstream status(pid == 0 ? std::string("/proc/self/status")
                                  : "/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

MSGUSERDATA* MakeBlock(std::int32_t n, const std::string& text, double real) {
    auto* block = new MSGUSERDATA{};
    block->lCount = 3;
    block->pValues = new sL_VALUE[3];
    sL_VALUE* v = block->pValues;
    v[0].usType = NET_TYPE_INTEGER, v[0].kind = NET_KIND_INTEGER, v[0].fValid = 1;
    v[0].data.lValue = n;
    v[1].usType = NET_TYPE_STRING, v[1].kind = NET_KIND_STRING, v[1].fValid = 1;
    v[1].data.pString = new ZoString(text.c_str());
    v[2].usType = NET_TYPE_REAL, v[2].kind = NET_KIND_REAL, v[2].fValid = 1;
    v[2].data.pdValue = new double(real);
    return block;
}

bool SameBlock(const MSGUSERDATA* b, std::int32_t n, const std::string& text, double real) {
    if (b == nullptr || b->lCount != 3) {
        return false;
    }
    const sL_VALUE* v = b->pValues;
    return v[0].kind == NET_KIND_INTEGER && v[0].data.lValue == n && v[1].kind == NET_KIND_STRING &&
           v[1].data.pString != nullptr && v[1].data.pString->mbcs() != nullptr &&
           text == v[1].data.pString->mbcs() && v[2].kind == NET_KIND_REAL &&
           v[2].data.pdValue != nullptr && *v[2].data.pdValue == real;
}

// One call of a random kind on the connection, one-way one time in eight (oneWay); true when
// the answer is right. error is the call's.
bool RandomCall(NetClient& client, NetXDRImp& xdr, std::int32_t handle, std::mt19937& random,
                bool& oneWay, ZoErrorCode& error) {
    const auto n = static_cast<std::int32_t>(random());
    oneWay = random() % 8 == 0;
    const std::uint32_t flags = oneWay ? NET_FLAG_NOREPLY : 0;
    switch (random() % 4) {
        case 0: {
            MSGINTCALL call{n, 0, flags, handle};
            const MSGINTCALL a = client.IntegerMsg(call, error);
            return oneWay ? a.ulStatus == NET_OK : a.lValue == n && a.ulStatus == NET_OK;
        }
        case 1: {
            const double value = n / 3.0;
            MSGREALCALL call{value, 0, flags, handle};
            const MSGREALCALL a = client.RealMsg(call, error);
            return oneWay ? a.ulStatus == NET_OK : a.dValue == value;
        }
        case 2: {
            std::string text = "text " + std::to_string(n);
            MSGSTRINGCALL call{&text[0], 0, flags, handle};
            MSGSTRINGCALL a = client.StringMsg(call, error);
            const bool right = oneWay || (a.pszValue != nullptr && text == a.pszValue);
            xdr.StringCall(-1, XDR_FREE, a);
            return right;
        }
        default: {
            const std::string text = std::string(random() % 300, 'u') + "\xC3\xA9";
            MSGUSERCALL call{};
            call.ulFlags = flags;
            call.lHandle = handle;
            call.pData = MakeBlock(n, text, n * 0.5);
            MSGUSERCALL a = client.UserMsg(call, error);
            const bool right =
                oneWay || (a.ulStatus == NET_OK && SameBlock(a.pData, n, text, n * 0.5));
            xdr.UserCall(-1, XDR_FREE, a, client.m_bUnicode);
            xdr.UserCall(-1, XDR_FREE, call, client.m_bUnicode);
            return right;
        }
    }
}

// One connection's life after another until stop: connect, a run of calls, then a close
// message or a dropped socket.
void Worker(int id, const std::string& host, std::uint16_t port, std::atomic<bool>& stop,
            Counters& c) {
    std::mt19937 random(static_cast<unsigned>(id) * 7919u + 17u);
    const std::string name = "soak" + std::to_string(id);
    NetXDRImp xdr;
    while (!stop) {
        NetClient client(nullptr, &xdr, 2);
        std::int32_t handle = -1;
        if (client.CreateSocket(host.c_str(), port) != NET_OK ||
            client.ConnectMsg(name.c_str(), "echo", handle) != NET_OK) {
            ++c.errors;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        ++c.connects;
        const int calls = 1 + static_cast<int>(random() % 400);
        for (int i = 0; i < calls && !stop; ++i) {
            bool oneWay = false;
            ZoErrorCode error = 0;
            const bool right = RandomCall(client, xdr, handle, random, oneWay, error);
            if (error != NET_OK) {
                ++c.errors;
                break;
            }
            ++(oneWay ? c.oneWay : c.calls);
            c.wrong += right ? 0 : 1;
        }
        if (random() % 4 == 0) {
            client.CloseSocket();  // dropped without a close message
            ++c.drops;
        } else if (client.CloseMsg(handle) == NET_OK) {
            ++c.closes;
        } else {
            ++c.errors;
        }
    }
}

bool ParseArguments(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) {
            return false;
        }
        const char* value = argv[++i];
        if (arg == "--seconds") {
            o.seconds = std::atoi(value);
        } else if (arg == "--connections") {
            o.connections = std::atoi(value);
        } else if (arg == "--warmup") {
            o.warmup = std::atoi(value);
        } else if (arg == "--host") {
            o.host = value;
        } else if (arg == "--port") {
            o.port = std::atoi(value);
        } else if (arg == "--server-pid") {
            o.serverPid = std::atol(value);
        } else {
            return false;
        }
    }
    return o.seconds > 0 && o.connections > 0 && (o.host.empty() == (o.port == 0));
}

void Report(const char* when, int second, const Counters& c, long rssKb) {
    auto n = [](const std::atomic<std::uint64_t>& counter) {
        return static_cast<unsigned long long>(counter.load());
    };
    std::printf(
        "%-8s %5d s  calls %llu  one-way %llu  connects %llu  closes %llu  drops %llu  "
        "errors %llu  wrong %llu  rss %ld kB\n",
        when, second, n(c.calls), n(c.oneWay), n(c.connects), n(c.closes), n(c.drops), n(c.errors),
        n(c.wrong), rssKb);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseArguments(argc, argv, o)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const int warmup = o.warmup >= 0 ? o.warmup : std::max(2, o.seconds / 10);

    ZoInputLoop loop;
    NetServer* server = nullptr;
    std::thread mainThread;
    std::string host = o.host;
    auto port = static_cast<std::uint16_t>(o.port);
    if (host.empty()) {
        server = NetServer::CreateServer();
        server->Init(new NetXDRImp, 0);
        server->StartServer(&loop);
        for (port = 47000; port < 47100; ++port) {  // the first free port of a small range
            if (server->RegisterFunc(("echo:" + std::to_string(port)).c_str(), new EchoEvent) ==
                NET_OK) {
                break;
            }
        }
        if (port == 47100) {
            std::fputs("netsoak: no free port for the server\n", stderr);
            return 1;
        }
        host = "127.0.0.1";
        mainThread = std::thread([&loop] { loop.Run(); });
    }

    Counters counters;
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (int i = 0; i < o.connections; ++i) {
        workers.emplace_back(Worker, i, host, port, std::ref(stop), std::ref(counters));
    }
    const auto start = std::chrono::steady_clock::now();
    long startKb = -1;
    const int samples = 10;
    for (int second = 1; second <= o.seconds; ++second) {
        std::this_thread::sleep_until(start + std::chrono::seconds(second));
        if (second == warmup) {
            startKb = ResidentKb(o.serverPid);
            Report("warm", second, counters, startKb);
        } else if (second % std::max(1, o.seconds / samples) == 0) {
            Report("run", second, counters, ResidentKb(o.serverPid));
        }
    }
    const long endKb = ResidentKb(o.serverPid);
    stop = true;
    for (std::thread& t : workers) {
        t.join();
    }
    Report("end", o.seconds, counters, endKb);
    std::printf(
        "server resident memory: %ld kB after %d s of warm-up, %ld kB at the end (%+ld kB)\n",
        startKb, warmup, endKb, endKb - startKb);
    if (server != nullptr) {
        loop.Stop();
        mainThread.join();
        delete server;
    }
    return counters.errors == 0 && counters.wrong == 0 ? 0 : 1;
}
