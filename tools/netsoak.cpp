// SPDX-License-Identifier: Apache-2.0
// netsoak: mixed load against an echo service for a given time, checking every answer.
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
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
#include "netlit.h"

namespace {

const char kAbout[] =
    "Mixed load against an echo service for a given time, checking every answer. Many\n"
    "connections make integer, real, string and user calls, one-way ones among them, and\n"
    "connect and disconnect as they go (with a close message, or dropping the socket). Reports\n"
    "the calls, errors, wrong answers and the server's resident memory: in process (the\n"
    "default) after a warm-up and at the end; with --host, of the process --server-pid names.";

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

// The values of a user call: an integer, a string and a real.
std::vector<netlit::Lit> UserValues(std::int32_t n, const std::string& text, double real) {
    std::vector<netlit::Lit> values;
    netlit::ParseError error;
    netlit::Parse(
        std::to_string(n) + " " + netlit::PrintString(text) + " " + netlit::PrintReal(real), values,
        error);
    return values;
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
            const std::vector<netlit::Lit> values = UserValues(n, text, n * 0.5);
            netlit::ValueStore store;
            MSGUSERCALL call{};
            call.ulFlags = flags;
            call.lHandle = handle;
            call.pData = store.Block(values, 0);
            MSGUSERCALL a = client.UserMsg(call, error);
            const bool right =
                oneWay || (a.ulStatus == NET_OK && netlit::FromBlock(a.pData) == values);
            xdr.UserCall(-1, XDR_FREE, a, client.m_bUnicode);
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

// -1 when the command line was read; otherwise the status to exit with.
int ParseArguments(int argc, char** argv, Options& o) {
    CLI::App app{kAbout, "netsoak"};
    app.add_option("--seconds", o.seconds, "length of the run")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    app.add_option("--connections", o.connections, "concurrent client connections")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    app.add_option("--warmup", o.warmup,
                   "seconds before the first memory figure (default 10% of the run, >= 2)");
    CLI::Option* host =
        app.add_option("--host", o.host, "a running netecho instead of the in-process server");
    CLI::Option* port = app.add_option("--port", o.port, "its port")->check(CLI::Range(1, 65535));
    host->needs(port);
    port->needs(host);
    app.add_option("--server-pid", o.serverPid, "the process whose memory is reported with --host");
    app.footer(
        "Exit status: 0 every answer right, 1 a call failed or was answered wrongly, 2 bad "
        "arguments.");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error) == 0 ? 0 : 2;  // 0 after --help
    }
    return -1;
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
    if (const int status = ParseArguments(argc, argv, o); status >= 0)
        return status;
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
