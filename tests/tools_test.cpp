// End to end: the built programs netecho, netcall and the examples, run as a user runs them.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "net/net.h"
#include "testutil.h"

extern char** environ;

namespace {

constexpr auto kTimeout = std::chrono::seconds(10);

// A child process with its standard output and error on pipes. Killed if still running when
// destroyed, so a failing test leaves nothing behind.
class Child {
public:
    explicit Child(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
        int out[2], err[2];
        if (pipe(out) != 0 || pipe(err) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, err[0]);
        std::vector<char*> argv, envp;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        for (char** e = environ; *e != nullptr; ++e)
            envp.push_back(*e);
        for (const auto& e : env)
            envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        m_out = out[0];
        m_err = err[0];
    }
    ~Child() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_out >= 0)
            close(m_out);
        if (m_err >= 0)
            close(m_err);
    }

    // The next line of standard output, waiting at most kTimeout; false at its end or time-out.
    bool ReadLine(std::string& line) {
        auto end = std::chrono::steady_clock::now() + kTimeout;
        for (;;) {
            std::size_t newline = m_outText.find('\n', m_used);
            if (newline != std::string::npos) {
                line = m_outText.substr(m_used, newline - m_used);
                m_used = newline + 1;
                return true;
            }
            if (m_out < 0 || !Pump(end))
                return false;
        }
    }

    // Reads both streams to their end and waits for the exit; the exit status, -1 on a time-out
    // or a death by signal.
    int Finish() {
        auto end = std::chrono::steady_clock::now() + kTimeout;
        while ((m_out >= 0 || m_err >= 0) && Pump(end)) {
        }
        return Wait(end);
    }

    int Stop(int signal = SIGTERM) {
        kill(m_pid, signal);
        return Finish();
    }

    std::string Out() const { return m_outText.substr(m_used); }
    const std::string& Err() const { return m_errText; }

private:
    // One poll over the open streams; false at the deadline.
    bool Pump(std::chrono::steady_clock::time_point end) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd fds[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(left.count())) <= 0)
            return false;
        Drain(fds[0], m_out, m_outText);
        Drain(fds[1], m_err, m_errText);
        return true;
    }
    static void Drain(const pollfd& p, int& fd, std::string& text) {
        if (fd < 0 || (p.revents & (POLLIN | POLLHUP)) == 0)
            return;
        char buffer[4096];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
            return;
        }
        close(fd);
        fd = -1;
    }
    int Wait(std::chrono::steady_clock::time_point end) {
        int status = 0;
        while (waitpid(m_pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end)
                return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    pid_t m_pid = -1;
    int m_out = -1, m_err = -1;
    std::string m_outText, m_errText;
    std::size_t m_used = 0;  // of m_outText, handed out by ReadLine
};

// A netecho on a free loopback port, serving until the test ends.
class NetEcho {
public:
    explicit NetEcho(std::vector<std::string> args = {}, std::vector<std::string> env = {})
        : m_port(testutil::FreePort()) {
        args.insert(args.begin(), {NETECHO_PATH, "--port", std::to_string(m_port)});
        m_child = std::make_unique<Child>(args, env);
        std::string line;
        m_listening = m_child->ReadLine(line) && line == "listening on port " + Port();
    }
    std::string Port() const { return std::to_string(m_port); }
    bool Listening() const { return m_listening; }
    Child& Process() { return *m_child; }

private:
    std::uint16_t m_port;
    std::unique_ptr<Child> m_child;
    bool m_listening = false;
};

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
            std::size_t end = text.find_first_not_of("0123456789", at);
            text.replace(at, end - at, "#");
        }
    }
    return text;
}

std::string Status(std::int32_t code) {
    return "status " + std::to_string(code) + " (" + NetStatusText(code) + ")";
}

TEST(NetEchoProgram, ServesUntilTerminatedAndExitsCleanly) {
    NetEcho echo({"--listen"});
    ASSERT_TRUE(echo.Listening()) << echo.Process().Err();
    Result r = NetCall({"127.0.0.1", "whatever:" + echo.Port(), "int", "3"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "int: " + Status(1) + ", flags 0x2, handle 0, value 3\n");
    EXPECT_EQ(echo.Process().Stop(SIGTERM), 0) << echo.Process().Err();

    Child help({NETECHO_PATH, "--help"});
    EXPECT_EQ(help.Finish(), 0);
    EXPECT_NE(help.Out().find("usage: netecho"), std::string::npos);
    Child bad({NETECHO_PATH, "--port", "x"});
    EXPECT_EQ(bad.Finish(), 2);
}

TEST(NetEchoProgram, ServesExtraServicesOnTheirOwnPorts) {
    std::string side = std::to_string(testutil::FreePort());
    NetEcho echo({"--service", "side:" + side});
    ASSERT_TRUE(echo.Listening()) << echo.Process().Err();
    Result r = NetCall({"127.0.0.1", "side:" + side, "string", "abc"});
    EXPECT_EQ(r.out, "string: " + Status(1) + ", flags 0x2, handle 0, value \"abc\"\n") << r.err;
    EXPECT_EQ(echo.Process().Stop(SIGINT), 0);
}

TEST(NetCallProgram, EveryCallKindOnOneConnection) {
    NetEcho echo;
    ASSERT_TRUE(echo.Listening()) << echo.Process().Err();
    Result r = NetCall({"127.0.0.1", "echo:" + echo.Port(),
                        "int",       "0x10",
                        "--",        "real",
                        "2e3",       "--",
                        "string",    "\"h\\u00e9\"",
                        "--",        "user",
                        "1",         "\"x\"",
                        "[1,",       "2",
                        "@2]",       "&&2.5",
                        "t1:2:3",    "d2024/1205",
                        "h7:42",     "none",
                        "true",      "--",
                        "connect"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string ok = Status(1);
    EXPECT_EQ(r.out, "int: " + ok + ", flags 0x2, handle 0, value 16\n" + "real: " + ok +
                         ", flags 0x2, handle 0, value 2000.0\n" + "string: " + ok +
                         ", flags 0x2, handle 0, value \"hé\"\n" + "user: " + ok +
                         ", flags 0x0, handle 0, type 0, values: 1 \"x\" " +
                         "[1, 2 @2] &&2.5 t01:02:03 d2024/1205 h7:42 none true\n" +
                         "connect: handle 0, version 2, unicode off\n");

    r = NetCall({"127.0.0.1", "noreturn:" + echo.Port(), "int", "5", "--", "user", "[:int @0]"});
    EXPECT_EQ(AnyHandle(r.out), "int: " + Status(7) + ", flags 0x0, handle #, value 0\n" +
                                    "user: " + Status(7) +
                                    ", flags 0x0, handle #, type 0, values: [:int @0]\n");

    r = NetCall(
        {"--no-reply", "--json", "127.0.0.1", "echo:" + echo.Port(), "int", "1", "--", "connect"});
    EXPECT_EQ(AnyHandle(r.out),
              "{\"call\":\"int\",\"reply\":false}\n"
              "{\"call\":\"connect\",\"handle\":#,\"version\":2,\"unicode\":false}\n");

    r = NetCall({"--repeat", "50", "--json", "127.0.0.1", "echo:" + echo.Port(), "user", "[1 @1]"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("{\"repeat\":50,\"calls\":50,"), std::string::npos) << r.out;
    EXPECT_EQ(echo.Process().Stop(), 0);
}

TEST(NetCallProgram, FailuresHaveTheirOwnExitStatusAndOneLine) {
    NetEcho echo;
    ASSERT_TRUE(echo.Listening()) << echo.Process().Err();
    std::string service = "echo:" + echo.Port();
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* text;
    } cases[] = {
        {{"127.0.0.1", "nosuch:" + echo.Port(), "int", "1"}, 5, "does not serve \"nosuch\""},
        {{"--version", "3", "--no-fallback", "127.0.0.1", service, "int", "1"}, 6, "version 3"},
        {{"127.0.0.1", "echo:" + std::to_string(testutil::FreePort()), "int", "1"},
         4,
         "cannot connect"},
        {{"no..such..host", service, "int", "1"}, 3, "unknown host"},
        {{"127.0.0.1", service, "user", "[1,", "\"a\"]"}, 2, "position 5"},
        {{"127.0.0.1", service, "int", "1", "--"}, 2, "empty call"},
    };
    for (const Case& c : cases) {
        Result r = NetCall(c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.text), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    Result fallback = NetCall({"--version", "3", "127.0.0.1", service, "connect"});
    EXPECT_EQ(AnyHandle(fallback.out), "connect: handle #, version 2, unicode off\n")
        << fallback.err;
    EXPECT_EQ(echo.Process().Stop(), 0);
}

TEST(NetCallProgram, UnicodeIsNegotiatedWithVersionTwoOnly) {
    NetEcho echo({}, {"ZOR_NET_USE_UNICODE=1"});
    ASSERT_TRUE(echo.Listening()) << echo.Process().Err();
    std::string service = "echo:" + echo.Port();
    Result r = NetCall({"127.0.0.1", service, "connect", "--", "user", "\"é😀\""});
    EXPECT_EQ(r.out, "connect: handle 0, version 2, unicode on\nuser: " + Status(1) +
                         ", flags 0x0, handle 0, type 0, values: \"é😀\"\n")
        << r.err;
    r = NetCall({"--version", "1", "127.0.0.1", service, "connect", "--", "user", "\"é\""});
    EXPECT_EQ(AnyHandle(r.out), "connect: handle #, version 1, unicode off\nuser: " + Status(1) +
                                    ", flags 0x0, handle #, type 0, values: \"é\"\n")
        << r.err;
    EXPECT_EQ(echo.Process().Stop(), 0);
}

TEST(Examples, MinimalClientTalksToMinimalServer) {
    std::string port = std::to_string(testutil::FreePort());
    Child server({MINIMAL_SERVER_PATH, port});
    std::string line;
    ASSERT_TRUE(server.ReadLine(line)) << server.Err();
    EXPECT_EQ(line, "serving \"double\" on port " + port);
    Child client({MINIMAL_CLIENT_PATH, "127.0.0.1", port});
    EXPECT_EQ(client.Finish(), 0) << client.Err();
    EXPECT_EQ(client.Out(),
              "integer call: status 1, value 42\nuser call: status 1, 2 values\n  integer 10\n"
              "  string \"five\"\n");
    EXPECT_EQ(server.Stop(), 0);
}

}  // namespace
