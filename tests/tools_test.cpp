// SPDX-License-Identifier: Apache-2.0
// End to end: the built programs netecho, netcall and the examples, run as a user runs them.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <sstream>

#include "net/net.h"
#include "net/netversion.h"
#include "testutil.h"

extern char** environ;

namespace {

// A program (a path, or a name looked up on PATH) with its standard output and errors in files.
// Killed if still running when destroyed, so a failing test leaves nothing behind.
class Child {
public:
    explicit Child(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fileno(m_out), STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, fileno(m_err), STDERR_FILENO);
        std::vector<char*> argv, envp;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        for (char** e = environ; *e != nullptr; ++e)
            envp.push_back(*e);
        for (const std::string& e : env)
            envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        if (posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child() {
        Stop(SIGKILL);
        std::fclose(m_out);
        std::fclose(m_err);
    }

    // Waits until the output holds the line.
    bool Says(const std::string& line) {
        return testutil::WaitUntil([&] { return Out().find(line + "\n") != std::string::npos; });
    }
    // Waits for the program to end, killed after the time-out; its exit status, -1 after a signal.
    int Finish(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        int status = -1;
        if (m_pid > 0 && !testutil::WaitUntil(
                             [&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; }, timeout)) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
        }
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    int Stop(int signal = SIGTERM) {
        if (m_pid > 0)  // never -1: that would signal every process
            kill(m_pid, signal);
        return Finish();
    }
    std::string Out() const { return Read(m_out); }
    std::string Err() const { return Read(m_err); }

private:
    // All of it; pread leaves the offset the program writes at alone.
    static std::string Read(std::FILE* file) {
        std::string text;
        char chunk[1 << 16];
        for (ssize_t n; (n = pread(fileno(file), chunk, sizeof chunk, text.size())) > 0;)
            text.append(chunk, static_cast<std::size_t>(n));
        return text;
    }

    std::FILE* m_out = std::tmpfile();
    std::FILE* m_err = std::tmpfile();
    pid_t m_pid = -1;
};

std::string FreePort() {
    return std::to_string(testutil::FreePort());
}

struct Result {
    int status;
    std::string out, err;
};

Result NetCall(std::vector<std::string> args) {
    args.insert(args.begin(), NETCALL_PATH);
    Child child(args);
    int status = child.Finish();
    return {status, child.Out(), child.Err()};
}

// Handle numbers of later connections depend on when the server released earlier ones.
std::string AnyHandle(std::string text) {
    for (const std::string key : {"handle ", "\"handle\":"}) {
        for (std::size_t at = 0; (at = text.find(key, at)) != std::string::npos;) {
            at += key.size();
            text.replace(at, text.find_first_not_of("0123456789", at) - at, "#");
        }
    }
    return text;
}

std::string Status(std::int32_t code) {
    return "status " + std::to_string(code) + " (" + NetStatusText(code) + ")";
}

TEST(NetEchoProgram, ServesItsServicesUntilTerminated) {
    const std::string port = FreePort(), side = FreePort();
    // --quiet: the handles the server packs as it echoes leave no lines on its output.
    Child echo({NETECHO_PATH, "--port", port, "--listen", "--service", "side:" + side, "--quiet"});
    ASSERT_TRUE(echo.Says("listening on port " + port)) << echo.Err();
    Result r = NetCall({"127.0.0.1", "whatever:" + port, "int", "3"});
    EXPECT_EQ(r.out, "int: " + Status(1) + ", flags 0x2, handle 0, value 3\n") << r.err;
    r = NetCall({"127.0.0.1", "side:" + side, "string", "abc", "--", "user", "h7:1"});
    EXPECT_EQ(AnyHandle(r.out), "string: " + Status(1) + ", flags 0x2, handle #, value \"abc\"\n" +
                                    "user: " + Status(1) + ", flags 0x0, handle #, type 0, " +
                                    "values: h7:1\n")
        << r.err;
    EXPECT_EQ(echo.Stop(SIGTERM), 0) << echo.Err();
    EXPECT_EQ(echo.Out(), "listening on port " + port + "\n");

    // Help lists the exit statuses; --version names the release; a bad option exits 2.
    for (const auto& [path, name] :
         {std::pair{NETECHO_PATH, "netecho"}, {NETCALL_PATH, "netcall"}}) {
        Child help({path, "--help"}), version({path, "--version"}), bad({path, "--port", "x"});
        EXPECT_EQ(help.Finish(), 0);
        EXPECT_NE(help.Out().find("\nExit status:\n  0  "), std::string::npos) << name;
        EXPECT_EQ(version.Finish(), 0);
        EXPECT_EQ(version.Out(), std::string(name) + " " ZORNET_VERSION_STRING "\n");
        EXPECT_EQ(bad.Finish(), 2);
    }
}

// Against a server that offers UTF-16 strings, so every value also crosses in that form.
TEST(NetCallProgram, EveryCallKindOutputFormAndFailure) {
    const std::string port = FreePort(), service = "echo:" + port;
    Child echo({NETECHO_PATH, "--port", port}, {"ZOR_NET_USE_UNICODE=1"});
    ASSERT_TRUE(echo.Says("listening on port " + port)) << echo.Err();
    // Options stand anywhere. Above 2147483647 an integer is its 32-bit pattern; a real keeps -0.
    Result r = NetCall(
        {"127.0.0.1", service,      "int",    "0x10", "--",     "int",          "4294967295",
         "--",        "real",       "-0",     "--",   "string", "\"h\\u00e9\"", "--",
         "user",      "1",          "\"é😀\"", "[1,",  "2",      "@2]",          "&&2.5",
         "t1:2:3",    "d2024/1205", "h7:42",  "none", "true",   "[3,4]",        "--",
         "connect",   "--protocol", "2"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string ok = Status(1) + ", flags ";
    EXPECT_EQ(r.out, "int: " + ok + "0x2, handle 0, value 16\nint: " + ok +
                         "0x2, handle 0, value -1\nreal: " + ok +
                         "0x2, handle 0, value -0.0\nstring: " + ok +
                         "0x2, handle 0, value \"hé\"\nuser: " + ok +
                         "0x0, handle 0, type 0, values: 1 \"é😀\" [1, 2 @2] &&2.5 t01:02:03 "
                         "d2024/1205 h7:42 none true [3, 4 @0]\n"
                         "connect: handle 0, version 2, unicode on\n");

    // An answer with a status other than success is exit status 1, unless any status will do.
    for (const char* any : {"--user-type=0", "--any-status"}) {
        r = NetCall({"127.0.0.1", "noreturn:" + port, "int", "5", "--", "user", "[:int @0]", any});
        EXPECT_EQ(r.status, any[2] == 'a' ? 0 : 1) << any;
        EXPECT_EQ(AnyHandle(r.out), "int: " + Status(7) +
                                        ", flags 0x0, handle #, value 0\nuser: " + Status(7) +
                                        ", flags 0x0, handle #, type 0, values: [:int @0]\n");
    }
    // Version 1 knows no UTF-16, and a refused version 3 falls back to 2.
    r = NetCall({"--protocol", "1", "127.0.0.1", service, "connect", "--", "user", "\"é\""});
    EXPECT_EQ(AnyHandle(r.out), "connect: handle #, version 1, unicode off\nuser: " + ok +
                                    "0x0, handle #, type 0, values: \"é\"\n")
        << r.err;
    r = NetCall({"--protocol", "3", "127.0.0.1", service, "connect"});
    EXPECT_EQ(AnyHandle(r.out), "connect: handle #, version 2, unicode on\n") << r.err;

    // Version 1 sends a text's bytes as they are: JSON gets U+FFFD for what is not UTF-8.
    r = NetCall({"--protocol", "1", "--repeat", "50", "--json", "127.0.0.1", service, "user",
                 "[1 @1]", "&\"a\\x01\\xFF\"", "-inf", "h9:3", "t1:2:3"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string json = AnyHandle(r.out);
    EXPECT_EQ(
        json.substr(0, json.find("\n{\"repeat\":50,\"calls\":50,\"measured\":\"round trip\",")),
        R"({"call":"user","status":1,"status_text":"success","flags":0,"handle":#,"type":0,)"
        R"("values":[{"type":"list","of":"int","cursor":1,"items":[{"type":"int","value":1}]},)"
        R"({"type":"string","value":"a\u0001)"
        "\xEF\xBF\xBD"
        R"(","depth":1},)"
        R"({"type":"real","value":"-inf"},)"
        R"({"type":"handle","code":32009,"value":3},{"type":"time","value":[1,2,3]}]})");

    // Each failure has its own exit status and says why on the error stream only: at the
    // character at fault for a literal (a wide one takes two columns), and as JSON with --json.
    testutil::Listener silent;  // accepts into its backlog and never answers
    const struct {
        std::vector<std::string> args;
        int status;
        std::string text;
    } cases[] = {
        {{"127.0.0.1", "nosuch:" + port, "int", "1"}, 5, "does not serve \"nosuch\""},
        {{"--protocol", "3", "--no-fallback", "127.0.0.1", service, "int", "1"}, 6, "version 3"},
        {{"127.0.0.1", "echo:" + FreePort(), "int", "1"}, 4, "cannot connect"},
        {{"no..such..host", service, "int", "1"}, 3, "unknown host"},
        {{"--timeout", "0.1", "127.0.0.1", "echo:" + std::to_string(silent.port), "int", "1"},
         8,
         "no answer within 0.1 s"},
        {{"127.0.0.1", service, "int", "1", "--"}, 2, "empty call"},
        {{"127.0.0.1", service, "user", "\"漢字\" [1, \"é\"]"},
         2,
         "position 10: every element of a list of int must be of that type\n"
         "  \"漢字\" [1, \"é\"]\n" +
             std::string(13, ' ') + "^\n"},
        {{"127.0.0.1", service, "int", "1", "--json", "--", "user", "[1,", "\"a\"]"},
         2,
         R"({"error":"user: position 5: every element of a list of int must be of that type",)"
         R"("exit":2,"call":"user","position":5,"text":"[1, \"a\"]"})"},
    };
    for (const auto& c : cases) {
        r = NetCall(c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.text), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(echo.Stop(), 0);
}

// The bash completion offers the options, and the call kinds where a call begins.
TEST(NetCallProgram, BashCompletion) {
    const std::pair<const char*, const char*> cases[] = {
        {"--ti", "--timeout"},
        {"--json 127.0.0.1 echo:1 ''", "int real string user connect"},
        {"h s int 1 -- r", "real"},
        {"--timeout 2 h s u", "user"},
        {"h s int 1 --repeat ''", ""},
    };
    for (const auto& [words, offered] : cases) {
        Child bash({"/bin/bash", "-c",
                    std::string("source ") + NETCALL_COMPLETION + "; COMP_WORDS=(netcall " + words +
                        "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _netcall; " +
                        "echo \"${COMPREPLY[*]}\""});
        EXPECT_EQ(bash.Finish(), 0) << bash.Err();
        EXPECT_EQ(bash.Out(), std::string(offered) + "\n") << words;
    }
}

// The Wireshark dissector (tools/wireshark/zornet.lua), run by tshark over captures of sessions
// that a relay recorded between netcall and netecho.

using testutil::Bytes;
using testutil::operator+;

// What the relay passed on: bytes that one side of a connection sent.
struct Chunk {
    int conn;
    bool fromServer;
    Bytes bytes;
};

// Relays one connection to the server until both sides have closed, or neither says anything
// for 10 s, and records what each side sent.
void Relay(int conn, int client, std::uint16_t server, std::vector<Chunk>& chunks) {
    const int fds[2] = {client, testutil::ConnectRaw(server)};
    bool open[2] = {true, fds[1] >= 0};
    for (pollfd ready[2]; open[0] || open[1];) {
        for (int side = 0; side < 2; ++side)
            ready[side] = {open[side] ? fds[side] : -1, POLLIN, 0};
        if (poll(ready, 2, 10000) <= 0)
            break;
        for (int side = 0; side < 2; ++side) {
            unsigned char buffer[4096];
            const ssize_t n = ready[side].revents ? recv(fds[side], buffer, sizeof buffer, 0) : 1;
            if (n <= 0) {
                open[side] = false;
                shutdown(fds[1 - side], SHUT_WR);
            } else if (ready[side].revents) {
                const Bytes data(buffer, buffer + n);
                chunks.push_back({conn, side == 1, data});
                testutil::WriteAll(fds[1 - side], data);
            }
        }
    }
    close(fds[0]);
    close(fds[1]);
}

// The server port of a connection in the captures: the default port, and one more that only the
// dissector's port preference names.
std::uint16_t CapturedPort(int conn) {
    return conn % 100 == 2 ? 7000 : NET_DEFAULT_PORT;
}

// Writes the chunks as a capture of raw IPv4 packets: connection n is a TCP stream between
// 127.0.0.1:(40000 + n) and its server port, and a side's consecutive chunks go out in segments
// of at most 45 bytes, so that messages and values are cut and small messages share a segment.
void WriteCapture(const std::string& path, const std::vector<Chunk>& chunks) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    auto put = [&](auto word) { std::fwrite(&word, sizeof word, 1, file); };  // host order
    put(0xA1B2C3D4u), put(std::uint16_t{2}), put(std::uint16_t{4});           // pcap 2.4
    for (std::uint32_t word : {0u, 0u, 65535u, 228u})  // zone, accuracy, snap length, raw IPv4
        put(word);
    std::map<std::pair<int, bool>, std::uint32_t> next;  // each side's next sequence number
    std::uint32_t clock = 0;                             // milliseconds
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        const Chunk& c = chunks[i];
        Bytes data = c.bytes;
        while (i + 1 < chunks.size() && chunks[i + 1].conn == c.conn &&
               chunks[i + 1].fromServer == c.fromServer)
            data = data + chunks[++i].bytes;
        const std::uint32_t ports = (40000u + c.conn) << 16 | CapturedPort(c.conn);
        for (std::size_t at = 0; at < data.size(); at += 45) {
            const Bytes payload(data.begin() + at, data.begin() + std::min(at + 45, data.size()));
            const auto size = static_cast<std::uint32_t>(40 + payload.size());
            std::uint32_t& seq = next[{c.conn, c.fromServer}];
            // IPv4 header without checksum; TCP header with PSH and ACK and a 64 KiB window.
            const Bytes packet =
                testutil::Words({0x45000000 | size, 0x4000, 0x40060000, 0x7F000001, 0x7F000001,
                                 c.fromServer ? ports << 16 | ports >> 16 : ports, seq,
                                 next[{c.conn, !c.fromServer}], 0x5018FFFF, 0}) +
                payload;
            seq += static_cast<std::uint32_t>(payload.size());
            for (std::uint32_t word : {clock / 1000, clock % 1000 * 1000, size, size})
                put(word);
            ++clock;
            std::fwrite(packet.data(), 1, packet.size(), file);
        }
    }
    std::fclose(file);
}

// tshark with the dissector and its port preference over a capture.
Result Tshark(const std::string& capture, std::vector<std::string> args) {
    const char* lua = "lua_script:" ZORNET_LUA;
    args.insert(args.begin(), {"tshark", "-r", capture, "-X", lua, "-o", "zornet.ports:5001,7000"});
    Child tshark(args);
    const int status = tshark.Finish(std::chrono::seconds(60));
    return {status, tshark.Out(), tshark.Err()};
}

TEST(WiresharkDissector, DecodesARecordedSessionAndSurvivesNoise) {
    Child version({"tshark", "-v"});
    if (version.Finish(std::chrono::seconds(60)) != 0 ||
        version.Out().find("with Lua") == std::string::npos)
        GTEST_SKIP() << "tshark with Lua is not installed (tools/setup-deps.sh installs it): "
                        "the dissector is not checked";
    const std::string port = FreePort();
    Child echo({NETECHO_PATH, "--port", port}, {"ZOR_NET_USE_UNICODE=1"});
    ASSERT_TRUE(echo.Says("listening on port " + port)) << echo.Err();
    testutil::Listener relay;    // its thread relays the three connections below in turn
    std::vector<Chunk> session;  // the relay thread's until it ends
    std::thread relaying([&] {
        for (int conn = 0; conn < 3; ++conn) {
            pollfd ready{relay.fd, POLLIN, 0};
            if (poll(&ready, 1, 10000) != 1)
                return;
            const int client = accept(relay.fd, nullptr, nullptr);
            Relay(conn, client, static_cast<std::uint16_t>(std::stoi(port)), session);
        }
    });
    const std::string relayed = std::to_string(relay.port), service = "echo:" + relayed;
    // netcall prints the values it gets back in the same literal syntax.
    const std::string values =
        R"(1 "é😀" [1, 2 @2] &&2.5 t01:02:03 d2024/1205 h7:42 none true [:int @0] ["a", "" @1] )"
        R"("a text longer than one segment of the capture, so that a segment ends inside it")";
    Result r = NetCall({"127.0.0.1", service, "int", "0x10", "--", "real", "2e3", "--", "string",
                        "hé", "--", "user", values});
    EXPECT_NE(r.out.find("values: " + values + "\n"), std::string::npos) << r.out << r.err;
    r = NetCall(
        {"--no-reply", "127.0.0.1", service, "int", "5", "--", "user", "\"x\"", "--", "int", "6"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(NetCall({"127.0.0.1", "nosuch:" + relayed, "int", "1"}).status, 5);
    relaying.join();
    const std::string capture = testing::TempDir() + "zornet-" + std::to_string(getpid()) + ".pcap";
    WriteCapture(capture, session);

    // Each field's values over a whole stream (a connection), in order, separated by blanks.
    const struct {
        int stream;
        std::string field, expected;
    } rows[] = {
        {0, "zornet.msg", "1 1 2 2 3 3 4 4 5 5 6 6"},
        {0, "zornet.value", "16 16 2000.0 2000.0 \"hé\" \"hé\" " + values + " " + values},
        {0, "zornet.status", "0 1 0 1 0 1 0 1"},
        {0, "zornet.unicode", "1"},
        {1, "zornet.msg", "1 1 2 5 2 6 6"},  // one-way calls get no answer
        {1, "zornet.value", "5 \"x\" 6"},
        {2, "zornet.code", "-31"},  // on the port that only the preference names
    };
    const std::vector<std::string> fields = {"zornet.msg",        "zornet.value", "zornet.status",
                                             "zornet.unicode",    "zornet.code",  "zornet.fallback",
                                             "_ws.expert.message"};
    std::vector<std::string> args = {
        "-2", "-Y", "zornet", "-T", "fields", "-E", "aggregator=/s", "-e", "tcp.stream"};
    for (const std::string& field : fields)
        args.insert(args.end(), {"-e", field});
    r = Tshark(capture, args);
    ASSERT_EQ(r.status, 0) << r.err;
    std::map<std::pair<int, std::string>, std::string> seen;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream cells(line);
        std::string stream, cell;
        std::getline(cells, stream, '\t');
        for (std::size_t i = 0; i < fields.size() && std::getline(cells, cell, '\t'); ++i) {
            std::string& values = seen[{std::atoi(stream.c_str()), fields[i]}];
            values += (values.empty() || cell.empty() ? "" : " ") + cell;
        }
    }
    for (const auto& row : rows)
        EXPECT_EQ(seen[std::make_pair(row.stream, row.field)], row.expected)
            << row.field << " of " << row.stream;

    // The session again with every byte replaced at random, then every other one, every fourth
    // and so on, so that both the first and the deeper steps of the parser meet nonsense.
    std::mt19937 random(16);
    std::vector<Chunk> noise;
    for (int round = 0; round < 6; ++round) {
        std::bernoulli_distribution replace(1.0 / (1 << round));
        for (Chunk chunk : session) {
            chunk.conn += 100 * round;
            for (unsigned char& byte : chunk.bytes)
                byte = replace(random) ? static_cast<unsigned char>(random()) : byte;
            noise.push_back(chunk);
        }
    }
    WriteCapture(capture, noise);
    r = Tshark(capture, {"-Y", "zornet || _ws.expert.message contains \"Lua\"", "-T", "fields",
                         "-e", "_ws.expert.message", "-e", "zornet.msg"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("Lua"), std::string::npos) << r.err;
    const std::size_t error = r.out.find("Lua Error");
    EXPECT_EQ(error, std::string::npos) << r.out.substr(std::min(error, r.out.size()), 300);
    EXPECT_NE(r.out.find("\t2"), std::string::npos);  // integer calls remain in the noise
    std::remove(capture.c_str());
    EXPECT_EQ(echo.Stop(), 0);
}

// Each example client against each example server (the minimal and modern ones, and the same
// server on each event loop with an adapter): the two APIs, and every loop, on the same wire.
TEST(Examples, EachClientTalksToEachExampleServer) {
    const std::pair<const char*, const char*> clients[] = {
        {MINIMAL_CLIENT_PATH,
         "integer call: status 1, value 42\nuser call: status 1, 2 values\n  integer 10\n"
         "  string \"five\"\n"},
        {MODERN_CLIENT_PATH, "integer call: 42\nuser call: 10 \"five\" [3, 4 @0]\n"}};
    for (const char* path : {EXAMPLE_SERVER_PATHS}) {
        SCOPED_TRACE(path);
        const std::string port = FreePort();
        Child server({path, port});
        ASSERT_TRUE(server.Says("serving \"double\" on port " + port)) << server.Err();
        for (const auto& [clientPath, expected] : clients) {
            Child client({clientPath, "127.0.0.1", port});
            EXPECT_EQ(client.Finish(), 0) << client.Err();
            EXPECT_EQ(client.Out(), expected) << clientPath;
        }
        EXPECT_EQ(server.Stop(), 0);
    }
}

}  // namespace
