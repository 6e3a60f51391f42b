// End to end: the built programs netecho, netcall and the examples, run as a user runs them.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "net/net.h"
#include "testutil.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// A program with its standard output on a pipe and its errors in a file. Killed if still
// running when destroyed, so a failing test leaves nothing behind.
class Child {
public:
    explicit Child(std::vector<std::string> args, const std::vector<std::string>& env = {})
        : m_err(std::tmpfile()) {
        int out[2];
        if (m_err == nullptr || pipe(out) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, fileno(m_err), STDERR_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::vector<char*> argv, envp;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        for (char** e = environ; *e != nullptr; ++e)
            envp.push_back(*e);
        for (const std::string& e : env)
            envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        m_out = out[0];
    }
    ~Child() {
        Signal(SIGKILL);
        if (m_pid > 0)
            waitpid(m_pid, nullptr, 0);
        if (m_out >= 0)
            close(m_out);
        if (m_err != nullptr)
            std::fclose(m_err);
    }

    // Waits until the output holds the line; false at its end or after the time-out.
    bool Says(const std::string& line) {
        const auto end = Clock::now() + std::chrono::seconds(10);
        while (m_text.find(line + "\n") == std::string::npos) {
            if (!Pump(end))
                return false;
        }
        return true;
    }

    // Reads the output to its end and reaps the program, killed if it has not closed its output
    // by the time-out; the exit status, -1 after a signal.
    int Finish() {
        const auto end = Clock::now() + std::chrono::seconds(10);
        while (Pump(end)) {
        }
        if (Clock::now() > end)
            Signal(SIGKILL);
        int status = 0;
        if (m_pid <= 0 || waitpid(m_pid, &status, 0) != m_pid)
            return -1;
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    int Stop(int signal = SIGTERM) {
        Signal(signal);
        return Finish();
    }

    const std::string& Out() const { return m_text; }
    // pread leaves the offset the program writes at alone.
    std::string Err() const {
        std::string text;
        char buffer[4096];
        ssize_t n;
        while (m_err != nullptr &&
               (n = pread(fileno(m_err), buffer, sizeof buffer, text.size())) > 0)
            text.append(buffer, static_cast<std::size_t>(n));
        return text;
    }

private:
    void Signal(int signal) {
        if (m_pid > 0)  // never -1: that would signal every process
            kill(m_pid, signal);
    }
    // One read of the output; false at its end or at the deadline.
    bool Pump(Clock::time_point end) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        pollfd p{m_out, POLLIN, 0};
        char buffer[4096];
        ssize_t n = 0;
        if (m_out < 0 || left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0 ||
            (n = read(m_out, buffer, sizeof buffer)) <= 0)
            return false;
        m_text.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    pid_t m_pid = -1;
    int m_out = -1;
    std::FILE* m_err;
    std::string m_text;  // the output so far
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
    Child echo({NETECHO_PATH, "--port", port, "--listen", "--service", "side:" + side});
    ASSERT_TRUE(echo.Says("listening on port " + port)) << echo.Err();
    Result r = NetCall({"127.0.0.1", "whatever:" + port, "int", "3"});
    EXPECT_EQ(r.out, "int: " + Status(1) + ", flags 0x2, handle 0, value 3\n") << r.err;
    r = NetCall({"127.0.0.1", "side:" + side, "string", "abc"});
    EXPECT_EQ(AnyHandle(r.out), "string: " + Status(1) + ", flags 0x2, handle #, value \"abc\"\n")
        << r.err;
    EXPECT_EQ(echo.Stop(SIGTERM), 0) << echo.Err();

    Child help({NETECHO_PATH, "--help"});
    EXPECT_EQ(help.Finish(), 0);
    EXPECT_NE(help.Out().find("usage: netecho"), std::string::npos);
    EXPECT_EQ(Child({NETECHO_PATH, "--port", "x"}).Finish(), 2);
}

// Against a server that offers UTF-16 strings, so every value also crosses in that form.
TEST(NetCallProgram, EveryCallKindOutputFormAndFailure) {
    const std::string port = FreePort(), service = "echo:" + port;
    Child echo({NETECHO_PATH, "--port", port}, {"ZOR_NET_USE_UNICODE=1"});
    ASSERT_TRUE(echo.Says("listening on port " + port)) << echo.Err();
    Result r = NetCall(
        {"127.0.0.1",    service,      "int",   "0x10", "--",     "real", "2e3",    "--",  "string",
         "\"h\\u00e9\"", "--",         "user",  "1",    "\"é😀\"", "[1,",  "2",      "@2]", "&&2.5",
         "t1:2:3",       "d2024/1205", "h7:42", "none", "true",   "--",   "connect"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string ok = Status(1) + ", flags ";
    EXPECT_EQ(r.out, "int: " + ok + "0x2, handle 0, value 16\nreal: " + ok +
                         "0x2, handle 0, value 2000.0\nstring: " + ok +
                         "0x2, handle 0, value \"hé\"\nuser: " + ok +
                         "0x0, handle 0, type 0, values: 1 \"é😀\" [1, 2 @2] &&2.5 t01:02:03 "
                         "d2024/1205 h7:42 none true\nconnect: handle 0, version 2, unicode on\n");

    r = NetCall({"127.0.0.1", "noreturn:" + port, "int", "5", "--", "user", "[:int @0]"});
    EXPECT_EQ(AnyHandle(r.out), "int: " + Status(7) +
                                    ", flags 0x0, handle #, value 0\nuser: " + Status(7) +
                                    ", flags 0x0, handle #, type 0, values: [:int @0]\n");
    // Version 1 knows no UTF-16, and a refused version 3 falls back to 2.
    r = NetCall({"--version", "1", "127.0.0.1", service, "connect", "--", "user", "\"é\""});
    EXPECT_EQ(AnyHandle(r.out), "connect: handle #, version 1, unicode off\nuser: " + ok +
                                    "0x0, handle #, type 0, values: \"é\"\n")
        << r.err;
    r = NetCall({"--version", "3", "127.0.0.1", service, "connect"});
    EXPECT_EQ(AnyHandle(r.out), "connect: handle #, version 2, unicode on\n") << r.err;

    r = NetCall({"--no-reply", "--json", "127.0.0.1", service, "int", "1", "--", "connect"});
    EXPECT_EQ(AnyHandle(r.out),
              "{\"call\":\"int\",\"reply\":false}\n"
              "{\"call\":\"connect\",\"handle\":#,\"version\":2,\"unicode\":true}\n");
    r = NetCall({"--repeat", "50", "--json", "127.0.0.1", service, "user", "[1 @1]"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("{\"repeat\":50,\"calls\":50,"), std::string::npos) << r.out;

    // Each failure has its own exit status and says why on the error stream only.
    const struct {
        std::vector<std::string> args;
        int status;
        const char* text;
    } cases[] = {
        {{"127.0.0.1", "nosuch:" + port, "int", "1"}, 5, "does not serve \"nosuch\""},
        {{"--version", "3", "--no-fallback", "127.0.0.1", service, "int", "1"}, 6, "version 3"},
        {{"127.0.0.1", "echo:" + FreePort(), "int", "1"}, 4, "cannot connect"},
        {{"no..such..host", service, "int", "1"}, 3, "unknown host"},
        {{"127.0.0.1", service, "user", "[1,", "\"a\"]"}, 2, "position 5"},
        {{"127.0.0.1", service, "int", "1", "--"}, 2, "empty call"},
    };
    for (const auto& c : cases) {
        r = NetCall(c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.text), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(echo.Stop(), 0);
}

TEST(Examples, MinimalClientTalksToMinimalServer) {
    const std::string port = FreePort();
    Child server({MINIMAL_SERVER_PATH, port});
    ASSERT_TRUE(server.Says("serving \"double\" on port " + port)) << server.Err();
    Child client({MINIMAL_CLIENT_PATH, "127.0.0.1", port});
    EXPECT_EQ(client.Finish(), 0) << client.Err();
    EXPECT_EQ(client.Out(),
              "integer call: status 1, value 42\nuser call: status 1, 2 values\n  integer 10\n"
              "  string \"five\"\n");
    EXPECT_EQ(server.Stop(), 0);
}

}  // namespace
