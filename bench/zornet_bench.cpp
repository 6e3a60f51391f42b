// SPDX-License-Identifier: Apache-2.0
// zornet_bench: the library against its two baselines, measured in the same run.
//
//   zornet_bench [--smoke] [--repeat N] [--mode NAME] [--only SECTIONS] [--out FILE]
//       runs the measurements N times (interleaved) and writes "key<TAB>value" lines to FILE
//       (standard output without --out); NAME only labels the output. SECTIONS: a comma list of
//       latency, rate, oneway, conn, memory, idle, lists (default all); --latency-only is --only
//       latency, --no-memory leaves memory out.
//   zornet_bench --profile ho|raw|int|real|str16|str4k|user10|list10k|str1000|modern [--calls N]
//       makes N calls on one path and nothing else, for strace -c, perf stat or callgrind;
//       modern is the integer call through the zornet:: layer.
//   zornet_bench --profile rate-lib|rate-ho|rate-raw [--conns C] [--calls MS]
//       the rate figure for C connections alone, over a window of MS milliseconds.
//   zornet_bench --profile conn-lib|conn-ho|conn-raw [--calls N]
//       N connect-and-close cycles, one at a time, and nothing else: system calls per cycle.
//   --loop asio|libevent|libuv|glib serves the library's profile paths from that event loop.
//   zornet_bench --table FREE.tsv [PINNED.tsv]
//       prints one table: medians with min-max over the runs, and the library's ratios to the
//       baselines of the same run.
//
// Latencies are in nanoseconds in the files and microseconds in the table; rates in calls (or
// connections) per second; memory in bytes per idle connection.
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "baseline.h"
#include "bench_util.h"
#include "library.h"
#include "modern.h"

using namespace bench;

namespace {

struct Options {
    bool smoke = false;
    int repeat = 1;
    std::string mode = "free";
    std::set<std::string> sections = {"latency", "rate", "oneway", "conn",
                                      "memory",  "idle", "lists"};
    std::string out;
    std::vector<std::string> tables;
    std::string profile;  // one path only, for strace, perf or callgrind
    int calls = 10000;
    int conns = 64;    // for the rate paths of --profile
    std::string loop;  // the event loop of the library's profile paths; empty: ZoInputLoop
};

// Results of one process: every value of every run, in the order measured.
class Results {
public:
    explicit Results(FILE* out) : m_out(out) {}
    void Add(const std::string& key, double value) {
        std::fprintf(m_out, "%s\t%.6g\n", key.c_str(), value);
        std::fflush(m_out);
    }
    void AddLatency(const std::string& key, const Latencies& lat) {
        if (lat.ns.empty()) {
            Failed(key);
            return;
        }
        Add(key + ".p50", lat.Percentile(50));
        Add(key + ".p99", lat.Percentile(99));
    }
    void AddRate(const std::string& key, double value) {
        if (value < 0) {
            Failed(key);
            return;
        }
        Add(key, value);
    }
    // A call rate under "rate.<side>.c<n>" and its server CPU per call under "cpu.<side>.c<n>".
    void AddCallRate(const std::string& side, int connections, const Rate& rate) {
        const std::string suffix = side + ".c" + std::to_string(connections);
        AddRate("rate." + suffix, rate.perSecond);
        if (rate.perSecond >= 0) {
            Add("cpu." + suffix, rate.serverCpuNsPerCall);
        }
    }
    int failures = 0;

private:
    void Failed(const std::string& key) {
        std::fprintf(stderr, "zornet_bench: %s failed\n", key.c_str());
        failures++;
    }

    FILE* m_out;
};

// The latency figures of the library; each names the call and how it is made.
struct LatencyCase {
    const char* key;
    std::function<bool(LibClient&)> call;
};

std::vector<LatencyCase> LatencyCases(bool smoke) {
    static const std::unique_ptr<ValueBlock> mixed = ValueBlock::Mixed();
    static const std::unique_ptr<ValueBlock> ints =
        ValueBlock::List(NET_TYPE_INTEGER, smoke ? 100 : 10000);
    static const std::unique_ptr<ValueBlock> texts =
        ValueBlock::List(NET_TYPE_STRING, smoke ? 10 : 1000);
    static const std::string text16(16, 'x');
    static const std::string text4k(4096, 'y');
    return {
        {"int", [](LibClient& c) { return c.Integer(); }},
        {"real", [](LibClient& c) { return c.Real(); }},
        {"str16", [](LibClient& c) { return c.String(text16); }},
        {"str4k", [](LibClient& c) { return c.String(text4k); }},
        {"user10", [](LibClient& c) { return c.User(*mixed, false); }},
        {"list10k", [](LibClient& c) { return c.User(*ints, false); }},
        {"str1000", [](LibClient& c) { return c.User(*texts, false); }},
    };
}

const LatencyCase* FindCase(const std::string& key) {
    static const std::vector<LatencyCase> cases = LatencyCases(false);
    for (const LatencyCase& lc : cases) {
        if (key == lc.key) {
            return &lc;
        }
    }
    return nullptr;
}

ValueBlock& OneWayBlock() {
    static std::unique_ptr<ValueBlock> mixed = ValueBlock::Mixed();
    return *mixed;
}

// Bytes a call puts on the wire after its 4-byte identifier, and gets back.
Shape MeasureShape(int socket, const std::function<bool()>& call) {
    std::uint64_t sent0 = 0, recv0 = 0, sent1 = 0, recv1 = 0;
    Shape shape;
    if (!TcpBytes(socket, sent0, recv0) || !call() || !TcpBytes(socket, sent1, recv1)) {
        return shape;
    }
    shape.request = sent1 - sent0 > 4 ? sent1 - sent0 - 4 : 16;
    shape.reply = recv1 - recv0;
    return shape;
}

// The connection counts of the call rate figures.
constexpr int kConnectionCounts[] = {1, 4, 16, 64, 256};

// --- Either side ---------------------------------------------------------------------------------
// The figures below take a baseline's client or the library's (LibClient) alike: Connect(port),
// Close(), and for CallRate one waited-for call.

// Calls per second of connections clients, each connected to port and making call in a loop.
template <typename Client>
Rate CallRate(int connections, double seconds, std::uint16_t port, bool (Client::*call)()) {
    std::vector<std::unique_ptr<Client>> clients(connections);
    return MeasureRate(
        connections, seconds,
        [&](int i) -> std::function<bool()> {
            clients[i] = std::make_unique<Client>();
            Client* c = clients[i].get();
            if (!c->Connect(port)) {
                return {};
            }
            return [c, call] { return (c->*call)(); };
        },
        [&](int i) { clients[i]->Close(); });
}

// One connection: connect, shake hands and close.
template <typename Client>
bool ConnectAndClose(std::uint16_t port) {
    Client c;
    return c.Connect(port) && c.Close();
}

// Connections per second, one at a time.
template <typename Client>
double ConnectRate(double seconds, std::uint16_t port) {
    return MeasureRate(
               1, seconds,
               [&](int) -> std::function<bool()> {
                   return [&] { return ConnectAndClose<Client>(port); };
               },
               [](int) {})
        .perSecond;
}

// Makes count connections, one at a time: the time per connection, or -1 when one failed.
template <typename Client>
double ConnectCycles(int count, std::uint16_t port) {
    const auto t0 = Clock::now();
    for (int i = 0; i < count; ++i) {
        if (!ConnectAndClose<Client>(port)) {
            return -1;
        }
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / count;
}

// One-way calls per second over the window, counted until the server has handled them all
// (done); -1 when a call failed or the server fell behind for good.
double OneWayRate(double seconds, const std::function<bool()>& oneWay,
                  const std::function<bool()>& waitedFor, const std::atomic<std::uint64_t>& done) {
    std::uint64_t sent = 0;
    const auto t0 = Clock::now();
    const auto end = t0 + std::chrono::duration<double>(seconds);
    bool ok = true;
    while (ok && Clock::now() < end) {
        ok = oneWay();
        sent += ok ? 1 : 0;
    }
    // The fence: a waited-for call queues behind every one-way call before it.
    ok = ok && waitedFor();
    ok = ok && WaitUntil([&] { return done.load() >= sent; }, 30);
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    return ok ? static_cast<double>(sent) / secs : -1;
}

// Opens count idle clients into clients (up to the first that fails) and returns the resident
// bytes each added, or -1 unless all opened. settle(n) waits until the server has seen n.
template <typename Client>
double IdleBytes(int count, std::uint16_t port, const char* side,
                 const std::function<void(std::size_t)>& settle,
                 std::vector<std::unique_ptr<Client>>& clients) {
    const std::uint64_t before = ResidentBytes();
    for (int i = 0; i < count; ++i) {
        auto c = std::make_unique<Client>();
        if (!c->Connect(port)) {
            std::fprintf(stderr, "zornet_bench: %s connection %d failed\n", side, i);
            break;
        }
        clients.push_back(std::move(c));
    }
    settle(clients.size());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::uint64_t after = ResidentBytes();
    if (static_cast<int>(clients.size()) != count) {
        return -1;
    }
    return (static_cast<double>(after) - static_cast<double>(before)) / count;
}

// --- Baselines -------------------------------------------------------------------------------

// Runs driver with a baseline server up; the handoff one gets its main-thread loop.
void WithBaseline(const Budget& b, bool handoff, Shape shape,
                  const std::function<void(BaselineServer&, MiniLoop&)>& driver) {
    MiniLoop loop;
    BaselineServer server(handoff ? &loop : nullptr, shape, b.threadStack);
    if (!server.Start()) {
        std::fprintf(stderr, "zornet_bench: baseline server did not start\n");
        return;
    }
    auto run = [&] { driver(server, loop); };
    if (handoff) {
        WithMainLoop([&] { loop.Run(); }, [&] { loop.Stop(); }, run);
    } else {
        run();
    }
    server.Stop();
}

const char* Name(bool handoff) {
    return handoff ? "ho" : "raw";
}

Latencies BaselineCallLatency(const Budget& b, bool handoff, Shape shape) {
    Latencies lat;
    WithBaseline(b, handoff, shape, [&](BaselineServer& server, MiniLoop&) {
        BaselineClient client(shape);
        if (client.Connect(server.Port())) {
            lat = MeasureLatency(b, [&] { return client.Call(); });
            client.Close();
        }
    });
    return lat;
}

void BaselineLatency(const Budget& b, bool handoff, Shape shape, const std::string& key,
                     Results& r) {
    r.AddLatency("lat." + std::string(Name(handoff)) + "." + key,
                 BaselineCallLatency(b, handoff, shape));
}

void BaselineRate(const Budget& b, bool handoff, int connections, Results& r) {
    Rate rate;
    WithBaseline(b, handoff, Shape{}, [&](BaselineServer& server, MiniLoop&) {
        rate = CallRate(connections, b.rateSeconds, server.Port(), &BaselineClient::Call);
    });
    r.AddCallRate(Name(handoff), connections, rate);
}

void BaselineOneWay(const Budget& b, bool handoff, Shape shape, Results& r) {
    double rate = -1;
    WithBaseline(b, handoff, shape, [&](BaselineServer& server, MiniLoop& loop) {
        BaselineClient client(shape);
        if (client.Connect(server.Port())) {
            rate = OneWayRate(
                b.rateSeconds, [&] { return client.OneWay(); }, [&] { return client.Call(); },
                handoff ? loop.oneWayDone : server.rawOneWayDone);
            client.Close();
        }
    });
    r.AddRate("oneway." + std::string(Name(handoff)), rate);
}

void BaselineConnections(const Budget& b, bool handoff, Results& r) {
    double rate = -1;
    WithBaseline(b, handoff, Shape{}, [&](BaselineServer& server, MiniLoop&) {
        rate = ConnectRate<BaselineClient>(b.rateSeconds, server.Port());
    });
    r.AddRate("conn." + std::string(Name(handoff)), rate);
}

// Resident bytes per idle connection: both ends live in this process, as in the library figure.
void BaselineMemory(const Budget& b, bool handoff, int count, const std::string& size, Results& r) {
    double perConn = -1;
    WithBaseline(b, handoff, Shape{}, [&](BaselineServer& server, MiniLoop& loop) {
        std::vector<std::unique_ptr<BaselineClient>> clients;
        auto settle = [&](std::size_t opened) {
            if (handoff) {
                WaitUntil([&] { return loop.connected.load() >= opened; }, 30);
            }
        };
        perConn = IdleBytes(count, server.Port(), "baseline", settle, clients);
        r.Add("mem." + std::string(Name(handoff)) + "." + size + ".opened",
              static_cast<double>(clients.size()));
        const std::uint64_t opened = clients.size();
        clients.clear();
        // Every close is a record in the pipe: let the main thread read them before it stops.
        auto& closed = handoff ? loop.closed : server.rawClosed;
        WaitUntil([&] { return closed.load() >= opened; }, 30);
    });
    r.AddRate("mem." + std::string(Name(handoff)) + "." + size, perConn);
}

// --- Library ---------------------------------------------------------------------------------

// Runs driver with a library server up, its loop on this (the main) thread: ZoInputLoop, or the
// event loop named (an adapter's). The driver closes its connections; the server is deleted
// once every close has reached the main thread.
void WithLibrary(const Budget& b, TraceMode trace, const std::function<void(LibServer&)>& driver,
                 const std::string& loop = "") {
    const std::unique_ptr<loophost::Host> host = loop.empty() ? nullptr : loophost::Make(loop);
    LibServer server(b.threadStack, host.get());
    if (!server.Start(trace)) {
        std::fprintf(stderr, "zornet_bench: library server did not start\n");
        return;
    }
    WithMainLoop([&] { server.RunLoop(); }, [&] { server.StopLoop(); },
                 [&] {
                     driver(server);
                     LibCounters& c = server.Counters();
                     WaitUntil([&] { return c.closed.load() >= c.connected.load(); }, 30);
                 });
}

void LibraryLatency(const Budget& b, bool smoke, Results& r, std::map<std::string, Shape>& shapes) {
    WithLibrary(b, TraceMode::kNone, [&](LibServer& server) {
        LibClient client;
        if (!client.Connect(server.Port())) {
            std::fprintf(stderr, "zornet_bench: library connect failed\n");
            r.failures++;
            return;
        }
        for (const LatencyCase& lc : LatencyCases(smoke)) {
            auto call = [&] { return lc.call(client); };
            shapes[lc.key] = MeasureShape(client.Socket(), call);
            r.AddLatency(std::string("lat.lib.") + lc.key, MeasureLatency(b, call));
        }
        client.Close();
    });
}

// The wire shape of the 10-value user call, when the latency figures did not measure it.
Shape UserShape(const Budget& b) {
    Shape shape;
    std::unique_ptr<ValueBlock> mixed = ValueBlock::Mixed();
    WithLibrary(b, TraceMode::kNone, [&](LibServer& server) {
        LibClient client;
        if (client.Connect(server.Port())) {
            shape = MeasureShape(client.Socket(), [&] { return client.User(*mixed, false); });
            client.Close();
        }
    });
    return shape;
}

Latencies LibraryCallLatency(const Budget& b, TraceMode trace,
                             const std::function<bool(LibClient&)>& call,
                             const std::string& loop = "") {
    Latencies lat;
    WithLibrary(
        b, trace,
        [&](LibServer& server) {
            LibClient client;
            if (client.Connect(server.Port())) {
                lat = MeasureLatency(b, [&] { return call(client); });
                client.Close();
            }
        },
        loop);
    return lat;
}

void LibraryTraceLatency(const Budget& b, TraceMode mode, const char* key, Results& r) {
    r.AddLatency(key, LibraryCallLatency(b, mode, [](LibClient& c) { return c.Integer(); }));
}

// The figures measured on each loop: the integer call's latency, and calls/s at kLoopConnections.
// Their keys name the loop: "lib" for ZoInputLoop (loop ""), "loop.<name>" for an adapter's.
constexpr int kLoopConnections = 16;

std::string LibKey(const std::string& loop) {
    return loop.empty() ? "lib" : "loop." + loop;
}
std::string LoopLatencyKey(const std::string& loop) {
    return "lat." + LibKey(loop) + ".int";
}
std::string LoopRateKey(const std::string& loop) {
    return "rate." + LibKey(loop) + ".c" + std::to_string(kLoopConnections);
}

void LibraryRate(const Budget& b, int connections, Results& r, const std::string& loop = "") {
    WithLibrary(
        b, TraceMode::kNone,
        [&](LibServer& server) {
            r.AddCallRate(LibKey(loop), connections,
                          CallRate(connections, b.rateSeconds, server.Port(), &LibClient::Integer));
        },
        loop);
}

void LoopLatencies(const Budget& b, Results& r) {
    for (const std::string& loop : loophost::Names()) {
        r.AddLatency(LoopLatencyKey(loop),
                     LibraryCallLatency(
                         b, TraceMode::kNone, [](LibClient& c) { return c.Integer(); }, loop));
    }
}

void LibraryOneWay(const Budget& b, Results& r) {
    WithLibrary(b, TraceMode::kNone, [&](LibServer& server) {
        double rate = -1;
        LibClient client;
        if (client.Connect(server.Port())) {
            rate = OneWayRate(
                b.rateSeconds, [&] { return client.User(OneWayBlock(), true); },
                [&] { return client.Integer(); }, server.Counters().oneWayDone);
            client.Close();
        }
        r.AddRate("oneway.lib", rate);
    });
}

void LibraryConnections(const Budget& b, Results& r) {
    WithLibrary(b, TraceMode::kNone, [&](LibServer& server) {
        r.AddRate("conn.lib", ConnectRate<LibClient>(b.rateSeconds, server.Port()));
    });
}

void LibraryMemory(const Budget& b, int count, const std::string& size, Results& r) {
    double perConn = -1;
    WithLibrary(b, TraceMode::kNone, [&](LibServer& server) {
        std::vector<std::unique_ptr<LibClient>> clients;
        LibCounters& counters = server.Counters();
        auto settle = [&](std::size_t opened) {
            WaitUntil([&] { return counters.connected.load() >= opened; }, 30);
        };
        perConn = IdleBytes(count, server.Port(), "library", settle, clients);
        r.Add("mem.lib." + size + ".opened", static_cast<double>(clients.size()));
        clients.clear();  // sockets closed without a close message: the peers see them go
    });
    r.AddRate("mem.lib." + size, perConn);
}

// What the process (client and server) holds after b.listCalls calls of the 10,000-integer list
// on one connection, beyond what it held after the first 10: memory kept per call would show.
void LibraryListMemory(const Budget& b, bool smoke, Results& r) {
    double grown = -1;
    WithLibrary(b, TraceMode::kNone, [&](LibServer& server) {
        LibClient client;
        if (!client.Connect(server.Port())) {
            return;
        }
        const std::unique_ptr<ValueBlock> ints =
            ValueBlock::List(NET_TYPE_INTEGER, smoke ? 100 : 10000);
        bool ok = true;
        std::uint64_t after10 = 0;
        for (int i = 0; ok && i < b.listCalls; ++i) {
            ok = client.User(*ints, false);
            if (i == 9) {
                after10 = ResidentBytes();
            }
        }
        if (ok) {
            grown = static_cast<double>(ResidentBytes()) - static_cast<double>(after10);
        }
        client.Close();
    });
    // Growth may be negative (memory handed back): recorded as measured, a failure as missing.
    if (grown == -1) {
        r.AddRate("listmem.lib", -1);
    } else {
        r.Add("listmem.lib", grown);
    }
}

// The server's resident bytes per idle connection and its threads, with the clients in a child
// process: only the server's side counts, and the server's descriptors (two a connection) alone
// meet the descriptor limit. The child is forked before the server starts any thread.
int Threads() {
    return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                          std::filesystem::directory_iterator{}));
}

[[noreturn]] void IdleClients(int count, int fromParent, int toParent) {
    std::uint16_t port = 0;
    if (read(fromParent, &port, sizeof port) != sizeof port) {
        _exit(1);
    }
    RaiseFileLimit();
    std::vector<std::unique_ptr<LibClient>> clients;
    while (static_cast<int>(clients.size()) < count) {
        auto client = std::make_unique<LibClient>();
        if (!client->Connect(port)) {
            break;
        }
        clients.push_back(std::move(client));
    }
    const std::int32_t opened = static_cast<std::int32_t>(clients.size());
    char closed;
    const bool told = write(toParent, &opened, sizeof opened) == sizeof opened;
    while (told && read(fromParent, &closed, 1) < 0 && errno == EINTR) {
    }
    _exit(0);  // the system closes every connection at once
}

void LibraryIdleServer(const Budget& b, Results& r) {
    const std::uint64_t files = RaiseFileLimit();
    const int count = static_cast<int>(std::min<std::uint64_t>(b.idleServer, (files - 64) / 2));
    r.Add("idle.count", count);
    int down[2], up[2];
    if (pipe(down) != 0 || pipe(up) != 0) {
        r.AddRate("idle.lib.rss", -1);
        return;
    }
    const pid_t child = fork();
    if (child == 0) {
        close(down[1]);
        close(up[0]);
        IdleClients(count, down[0], up[1]);
    }
    close(down[0]);
    close(up[1]);
    double perConn = -1, threads = -1;
    WithLibrary(b, TraceMode::kNone, [&](LibServer& server) {
        const std::uint64_t before = ResidentBytes();
        const std::uint16_t port = server.Port();
        std::int32_t opened = 0;
        if (child > 0 && write(down[1], &port, sizeof port) == sizeof port &&
            read(up[0], &opened, sizeof opened) == sizeof opened && opened == count &&
            WaitUntil([&] { return server.Counters().connected.load() >= std::uint64_t(count); },
                      60)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            perConn = (static_cast<double>(ResidentBytes()) - static_cast<double>(before)) / count;
            threads = Threads();
        } else {
            std::fprintf(stderr, "zornet_bench: %d of %d idle connections opened\n", opened, count);
        }
        close(down[1]);  // the child closes its connections and ends
        if (child > 0) {
            waitpid(child, nullptr, 0);
        }
    });
    close(up[0]);
    r.AddRate("idle.lib.rss", perConn);
    r.AddRate("idle.lib.threads", threads);
}

// --- One run ---------------------------------------------------------------------------------

void RunOnce(const Options& o, const Budget& b, int rep, Results& r) {
    auto wanted = [&](const char* section) { return o.sections.count(section) != 0; };
    r.Add("run", rep);
    std::map<std::string, Shape> shapes;
    if (wanted("latency")) {
        // The integer shape first, so the baselines of the headline figure run before anything
        // has warmed the library's side.
        for (bool handoff : {false, true}) {
            BaselineLatency(b, handoff, Shape{}, "int", r);
        }
        LibraryLatency(b, o.smoke, r, shapes);
        r.AddLatency("lat.modern.int", ModernIntegerLatency(b));
        LibraryTraceLatency(b, TraceMode::kFlagsOff, "lat.libtraceoff.int", r);
        LibraryTraceLatency(b, TraceMode::kAllLevels, "lat.libtraceall.int", r);
        LoopLatencies(b, r);
        for (const auto& [key, shape] : shapes) {
            if (rep == 0) {
                r.Add("shape." + key + ".request", static_cast<double>(shape.request));
                r.Add("shape." + key + ".reply", static_cast<double>(shape.reply));
            }
            if (key == "int") {
                continue;
            }
            for (bool handoff : {false, true}) {
                BaselineLatency(b, handoff, shape, key, r);
            }
        }
    }
    if (wanted("rate")) {
        for (int n : kConnectionCounts) {
            BaselineRate(b, false, n, r);
            BaselineRate(b, true, n, r);
            LibraryRate(b, n, r);
        }
        for (const std::string& loop : loophost::Names()) {
            LibraryRate(b, kLoopConnections, r, loop);
        }
    }
    if (wanted("oneway")) {
        const Shape oneWayShape = shapes.count("user10") != 0 ? shapes["user10"] : UserShape(b);
        BaselineOneWay(b, false, oneWayShape, r);
        BaselineOneWay(b, true, oneWayShape, r);
        LibraryOneWay(b, r);
    }
    if (wanted("conn")) {
        BaselineConnections(b, false, r);
        BaselineConnections(b, true, r);
        LibraryConnections(b, r);
    }
    if (wanted("idle") && rep == 0) {
        LibraryIdleServer(b, r);
    }
    if (wanted("memory") && rep == 0) {
        const std::uint64_t files = RaiseFileLimit();
        r.Add("limit.nofile", static_cast<double>(files));
        for (const auto& [size, n] :
             {std::make_pair("small", b.idleSmall), std::make_pair("large", b.idleLarge)}) {
            r.Add(std::string("mem.") + size + ".count", n);
            // Each idle connection holds two descriptors here (both ends) and one thread.
            if (static_cast<std::uint64_t>(2 * n + 64) > files) {
                std::fprintf(stderr,
                             "zornet_bench: %d connections need %d descriptors, limit %llu\n", n,
                             2 * n + 64, static_cast<unsigned long long>(files));
            }
            BaselineMemory(b, false, n, size, r);
            BaselineMemory(b, true, n, size, r);
            LibraryMemory(b, n, size, r);
        }
    }
    if (wanted("lists") && rep == 0) {
        LibraryListMemory(b, o.smoke, r);
    }
}

// Makes o.calls calls on one path, with a short warm-up, and prints the time per call.
int Profile(const Options& o) {
    Budget b;
    b.latencyCalls = o.calls;
    b.latencyWarmup = 100;
    b.latencySeconds = 600;
    Latencies lat;
    if (o.profile == "raw" || o.profile == "ho") {
        lat = BaselineCallLatency(b, o.profile == "ho", Shape{});
    } else if (o.profile == "rate-ho" || o.profile == "rate-lib" || o.profile == "rate-raw") {
        b.rateSeconds = o.calls / 1000.0;  // --calls gives the window in milliseconds here
        Results r(stdout);
        if (o.profile == "rate-lib") {
            LibraryRate(b, o.conns, r, o.loop);
        } else {
            BaselineRate(b, o.profile == "rate-ho", o.conns, r);
        }
        return r.failures == 0 ? 0 : 1;
    } else if (o.profile == "conn-lib" || o.profile == "conn-ho" || o.profile == "conn-raw") {
        double us = -1;
        if (o.profile == "conn-lib") {
            WithLibrary(b, TraceMode::kNone, [&](LibServer& server) {
                us = ConnectCycles<LibClient>(o.calls, server.Port());
            });
        } else {
            WithBaseline(b, o.profile == "conn-ho", Shape{},
                         [&](BaselineServer& server, MiniLoop&) {
                             us = ConnectCycles<BaselineClient>(o.calls, server.Port());
                         });
        }
        std::fprintf(stderr, "%s: %d cycles, %.1f us per cycle\n", o.profile.c_str(), o.calls, us);
        return us < 0 ? 1 : 0;
    } else if (o.profile == "modern") {
        lat = ModernIntegerLatency(b);
    } else if (const LatencyCase* lc = FindCase(o.profile)) {
        lat = LibraryCallLatency(b, TraceMode::kNone, lc->call, o.loop);
    } else {
        std::fprintf(stderr, "zornet_bench: unknown path %s\n", o.profile.c_str());
        return 2;
    }
    std::fprintf(stderr, "%s: %zu calls, p50 %.1f us, p99 %.1f us\n", o.profile.c_str(),
                 lat.ns.size(), lat.Percentile(50) / 1e3, lat.Percentile(99) / 1e3);
    return lat.ns.empty() ? 1 : 0;
}

// --- Table -----------------------------------------------------------------------------------

using Values = std::map<std::string, std::vector<double>>;

Values Load(const std::string& path) {
    Values v;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string key;
        double value = 0;
        if (std::getline(fields, key, '\t') && fields >> value) {
            v[key].push_back(value);
        }
    }
    return v;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Row {
    std::string label;
    std::string unit;
    std::string lib, ho, raw;  // keys
    double scale;              // file value times scale is what the table shows
};

// The latency figures' keys (as LatencyCases names them) and their labels in the table.
const std::pair<const char*, const char*> kLatencyLabels[] = {
    {"int", "integer call"},
    {"real", "real call"},
    {"str16", "string call 16 B"},
    {"str4k", "string call 4 KiB"},
    {"user10", "user call, 10 values"},
    {"list10k", "user call, 10,000-int list"},
    {"str1000", "user call, 1,000 strings"}};

std::vector<Row> Rows(const Values& first) {
    std::vector<Row> rows;
    for (const auto& [key, label] : kLatencyLabels) {
        for (const char* p : {"p50", "p99"}) {
            const std::string k = std::string(key) + "." + p;
            rows.push_back({std::string(label) + " " + p, "us", "lat.lib." + k, "lat.ho." + k,
                            "lat.raw." + k, 1e-3});
        }
    }
    for (const char* p : {"p50", "p99"}) {
        rows.push_back({std::string("integer call, zornet:: ") + p, "us",
                        std::string("lat.modern.int.") + p, std::string("lat.ho.int.") + p,
                        std::string("lat.raw.int.") + p, 1e-3});
    }
    rows.push_back({"integer p50, trace levels off", "us", "lat.libtraceoff.int.p50",
                    "lat.ho.int.p50", "lat.raw.int.p50", 1e-3});
    rows.push_back({"integer p50, trace all levels", "us", "lat.libtraceall.int.p50",
                    "lat.ho.int.p50", "lat.raw.int.p50", 1e-3});
    for (int n : kConnectionCounts) {
        rows.push_back({"integer calls/s, " + std::to_string(n) + " conn", "k/s",
                        "rate.lib.c" + std::to_string(n), "rate.ho.c" + std::to_string(n),
                        "rate.raw.c" + std::to_string(n), 1e-3});
    }
    rows.push_back(
        {"server CPU per call, 16 conn", "us", "cpu.lib.c16", "cpu.ho.c16", "cpu.raw.c16", 1e-3});
    rows.push_back({"one-way user calls/s", "k/s", "oneway.lib", "oneway.ho", "oneway.raw", 1e-3});
    rows.push_back({"connections/s", "k/s", "conn.lib", "conn.ho", "conn.raw", 1e-3});
    for (const char* size : {"small", "large"}) {
        auto count = first.find(std::string("mem.") + size + ".count");
        const std::string n = count == first.end() ? "?" : std::to_string(int(count->second[0]));
        rows.push_back({"RSS per idle conn, " + n, "KiB", std::string("mem.lib.") + size,
                        std::string("mem.ho.") + size, std::string("mem.raw.") + size, 1.0 / 1024});
    }
    auto idle = first.find("idle.count");
    const std::string n = idle == first.end() ? "?" : std::to_string(int(idle->second[0]));
    rows.push_back(
        {"RSS per idle conn, " + n + ", server", "KiB", "idle.lib.rss", "", "", 1.0 / 1024});
    rows.push_back({"threads, " + n + " idle conns", "", "idle.lib.threads", "", "", 1});
    rows.push_back(
        {"RSS growth, 10,000-int list calls 11-10,000", "KiB", "listmem.lib", "", "", 1.0 / 1024});
    const std::string c = ".c" + std::to_string(kLoopConnections);
    for (const std::string& loop : loophost::Names()) {
        rows.push_back({"integer p50, " + loop + " loop", "us", LoopLatencyKey(loop) + ".p50",
                        "lat.ho.int.p50", "lat.raw.int.p50", 1e-3});
        rows.push_back({"calls/s, " + std::to_string(kLoopConnections) + " conn, " + loop + " loop",
                        "k/s", LoopRateKey(loop), "rate.ho" + c, "rate.raw" + c, 1e-3});
    }
    return rows;
}

std::string Cell(const Values& v, const std::string& key, double scale, bool range) {
    auto it = v.find(key);
    if (it == v.end() || it->second.empty()) {
        return "-";
    }
    char buf[64];
    const double med = Median(it->second) * scale;
    if (!range || it->second.size() < 2) {
        std::snprintf(buf, sizeof buf, "%.1f", med);
    } else {
        const auto [lo, hi] = std::minmax_element(it->second.begin(), it->second.end());
        std::snprintf(buf, sizeof buf, "%.1f (%.1f-%.1f)", med, *lo * scale, *hi * scale);
    }
    return buf;
}

std::string Ratio(const Values& v, const std::string& a, const std::string& b) {
    auto ia = v.find(a);
    auto ib = v.find(b);
    if (ia == v.end() || ib == v.end() || ia->second.empty() || ib->second.empty()) {
        return "-";
    }
    const double den = Median(ib->second);
    if (den == 0) {
        return "-";
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", Median(ia->second) / den);
    return buf;
}

// Each adapter's figures over ZoInputLoop's from the same runs: what serving from that loop costs.
void PrintLoopRatios(const std::vector<Values>& sets) {
    const std::pair<const char*, std::string (*)(const std::string&)> figures[] = {
        {"integer p50", [](const std::string& loop) { return LoopLatencyKey(loop) + ".p50"; }},
        {"calls/s", &LoopRateKey}};
    for (const std::string& loop : loophost::Names()) {
        std::string line;
        for (std::size_t s = 0; s < sets.size(); ++s) {
            for (const auto& [figure, key] : figures) {
                const std::string ratio = Ratio(sets[s], key(loop), key(""));
                if (ratio != "-") {
                    line += std::string(line.empty() ? "" : ", ") + figure +
                            (s == 0 ? " free " : " pinned ") + ratio;
                }
            }
        }
        if (!line.empty()) {
            std::printf("%s loop over ZoInputLoop: %s.\n", loop.c_str(), line.c_str());
        }
    }
}

// The figures the hand-over is judged by, one line per side: the pinned integer p50 and, free-
// running, the call rates and the server's CPU per call; the library's with its ratios to the
// hand-over and the raw baseline.
void PrintHeadline(const std::vector<Values>& sets) {
    const Values& free = sets.front();
    const Values& pinned = sets.size() > 1 ? sets[1] : sets.front();
    struct Column {
        const Values* set;
        std::string key;  // after "<prefix>.<side>."
        std::string prefix;
        double scale;
        const char* label;
    };
    std::vector<Column> columns = {{&pinned, "int.p50", "lat", 1e-3, "pinned p50 us"}};
    for (int n : kConnectionCounts) {
        if (n >= 16) {
            const std::string c = "c" + std::to_string(n);
            columns.push_back({&free, c, "rate", 1e-3, nullptr});
        }
    }
    columns.push_back({&free, "c16", "cpu", 1e-3, "server CPU us/call, 16"});
    std::printf("\n%-20s", "headline");
    for (const Column& c : columns) {
        const std::string label = c.label ? c.label : "k calls/s, " + c.key.substr(1);
        std::printf(" | %-24s", label.c_str());
    }
    std::printf("\n");
    for (const char* side : {"raw", "ho", "lib"}) {
        std::printf("%-20s", std::string(side) == "raw"  ? "raw TCP baseline"
                             : std::string(side) == "ho" ? "hand-over baseline"
                                                         : "zornet");
        for (const Column& c : columns) {
            auto key = [&](const char* who) { return c.prefix + "." + who + "." + c.key; };
            std::string cell = Cell(*c.set, key(side), c.scale, false);
            if (std::string(side) == "lib") {
                cell += " (" + Ratio(*c.set, key("lib"), key("ho")) + " ho, " +
                        Ratio(*c.set, key("lib"), key("raw")) + " raw)";
            }
            std::printf(" | %-24s", cell.c_str());
        }
        std::printf("\n");
    }
}

int PrintTable(const std::vector<std::string>& files) {
    std::vector<Values> sets;
    for (const std::string& f : files) {
        sets.push_back(Load(f));
    }
    std::printf("%-32s %-4s", "figure", "unit");
    const char* modeNames[] = {"free-running", "pinned (taskset -c 0)"};
    for (std::size_t s = 0; s < sets.size(); ++s) {
        std::printf(" | %-22s %7s %7s %6s %6s", modeNames[s < 2 ? s : 1], "handoff", "raw", "x ho",
                    "x raw");
    }
    std::printf("\n");
    for (const Row& row : Rows(sets.front())) {
        bool any = false;
        for (const Values& v : sets) {
            any = any || v.count(row.lib) != 0;
        }
        if (!any) {
            continue;
        }
        std::printf("%-32s %-4s", row.label.c_str(), row.unit.c_str());
        for (const Values& v : sets) {
            std::printf(" | %-22s %7s %7s %6s %6s", Cell(v, row.lib, row.scale, true).c_str(),
                        Cell(v, row.ho, row.scale, false).c_str(),
                        Cell(v, row.raw, row.scale, false).c_str(),
                        Ratio(v, row.lib, row.ho).c_str(), Ratio(v, row.lib, row.raw).c_str());
        }
        std::printf("\n");
    }
    PrintHeadline(sets);
    const Values& first = sets.front();
    auto runs = first.find("run");
    std::printf(
        "\nMedian of %zu runs, (min-max) of the library's figure; baselines are medians. "
        "x ho / x raw: library median over the baseline's median from the same runs.\n",
        runs == first.end() ? std::size_t{0} : runs->second.size());
    std::printf(
        "Baselines of each latency row carry the same bytes as the library's call "
        "(request/reply after the 4-byte id):");
    for (const auto& figure : kLatencyLabels) {
        const std::string base = std::string("shape.") + figure.first;
        auto rq = first.find(base + ".request");
        auto rp = first.find(base + ".reply");
        if (rq != first.end() && rp != first.end()) {
            std::printf(" %s %.0f/%.0f", figure.first, rq->second.front(), rp->second.front());
        }
    }
    std::printf(".\n");
    for (const char* size : {"small", "large"}) {
        auto opened = first.find(std::string("mem.lib.") + size + ".opened");
        auto count = first.find(std::string("mem.") + size + ".count");
        if (opened != first.end() && count != first.end() &&
            opened->second.front() < count->second.front()) {
            std::printf("Only %.0f of %.0f library connections could be opened.\n",
                        opened->second.front(), count->second.front());
        }
    }
    PrintLoopRatios(sets);
    return 0;
}

bool Parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        auto count = [&] {  // at least 1
            const char* n = next();
            return n != nullptr ? std::max(1, std::atoi(n)) : 1;
        };
        if (a == "--smoke") {
            o.smoke = true;
        } else if (a == "--repeat") {
            o.repeat = count();
        } else if (a == "--mode") {
            const char* m = next();
            o.mode = m != nullptr ? m : "free";
        } else if (a == "--latency-only") {
            o.sections = {"latency"};
        } else if (a == "--no-memory") {
            o.sections.erase("memory");
        } else if (a == "--only") {
            const char* list = next();
            std::istringstream names(list != nullptr ? list : "");
            o.sections.clear();
            for (std::string name; std::getline(names, name, ',');) {
                o.sections.insert(name);
            }
        } else if (a == "--out") {
            const char* f = next();
            o.out = f != nullptr ? f : "";
        } else if (a == "--profile") {
            const char* p = next();
            o.profile = p != nullptr ? p : "int";
        } else if (a == "--loop") {
            const char* l = next();
            o.loop = l != nullptr ? l : "";
        } else if (a == "--calls") {
            o.calls = count();
        } else if (a == "--conns") {
            o.conns = count();
        } else if (a == "--table") {
            while (i + 1 < argc && argv[i + 1][0] != '-') {
                o.tables.push_back(argv[++i]);
            }
        } else {
            std::fprintf(stderr, "zornet_bench: unknown argument %s\n", a.c_str());
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!Parse(argc, argv, o)) {
        return 2;
    }
    if (!o.tables.empty()) {
        return PrintTable(o.tables);
    }
    if (!o.profile.empty()) {
        return Profile(o);
    }
    Budget b;
    if (o.smoke) {
        b.latencyCalls = 50;
        b.latencyWarmup = 5;
        b.latencySeconds = 0.05;
        b.rateSeconds = 0.05;
        b.idleSmall = 20;
        b.idleLarge = 50;
        b.idleServer = 50;
        b.listCalls = 20;
    }
    FILE* out = o.out.empty() ? stdout : std::fopen(o.out.c_str(), "w");
    if (out == nullptr) {
        std::perror("zornet_bench: --out");
        return 2;
    }
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    sched_getaffinity(0, sizeof cpus, &cpus);
    std::fprintf(stderr, "zornet_bench: mode %s, %d run(s), %d CPU(s) usable\n", o.mode.c_str(),
                 o.repeat, CPU_COUNT(&cpus));
    Results r(out);
    r.Add("cpus", CPU_COUNT(&cpus));
    r.Add("mode." + o.mode, 1);
    for (int rep = 0; rep < o.repeat; ++rep) {
        RunOnce(o, b, rep, r);
    }
    if (out != stdout) {
        std::fclose(out);
    }
    return r.failures == 0 ? 0 : 1;
}
