// End to end: the built programs netecho, netcall and the examples, run as a user runs them.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "net/net.h"
#include "testutil.h"

extern char** environ;

namespace {

// A program with its standard output and errors in files. Killed if still running when
// destroyed, so a failing test leaves nothing behind.
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
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
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
    int Finish() {
        int status = -1;
        if (m_pid > 0 &&
            !testutil::WaitUntil([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; })) {
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
    // pread leaves the offset the program writes at alone.
    static std::string Read(std::FILE* file) {
        std::string text(1 << 16, '\0');
        const ssize_t n = pread(fileno(file), &text[0], text.size(), 0);
        return text.substr(0, n > 0 ? static_cast<std::size_t>(n) : 0);
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
    // Version 1 sends a text's bytes as they are: JSON gets U+FFFD for what is not UTF-8.
    r = NetCall({"--version", "1", "--repeat", "50", "--json", "127.0.0.1", service, "user",
                 "[1 @1]", "&\"a\\x01\\xFF\"", "-inf", "h9:3", "t1:2:3"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string json = AnyHandle(r.out);
    EXPECT_EQ(
        json.substr(0, json.find("\n{\"repeat\":50,\"calls\":50,")),
        R"({"call":"user","status":1,"status_text":"success","flags":0,"handle":#,"type":0,)"
        R"("values":[{"type":"list","of":"int","cursor":1,"items":[{"type":"int","value":1}]},)"
        R"({"type":"string","value":"a\u0001\ufffd","depth":1},{"type":"real","value":"-inf"},)"
        R"({"type":"handle","code":32009,"value":3},{"type":"time","value":[1,2,3]}]})");

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

// Each example client against each example server: the two APIs on the same wire.
TEST(Examples, EachClientTalksToEachServer) {
    const std::pair<const char*, const char*> clients[] = {
        {MINIMAL_CLIENT_PATH,
         "integer call: status 1, value 42\nuser call: status 1, 2 values\n  integer 10\n"
         "  string \"five\"\n"},
        {MODERN_CLIENT_PATH, "integer call: 42\nuser call: 10 \"five\" [3, 4 @0]\n"}};
    for (const char* serverPath : {MINIMAL_SERVER_PATH, MODERN_SERVER_PATH}) {
        const std::string port = FreePort();
        Child server({serverPath, port});
        ASSERT_TRUE(server.Says("serving \"double\" on port " + port)) << server.Err();
        for (const auto& [clientPath, expected] : clients) {
            Child client({clientPath, "127.0.0.1", port});
            EXPECT_EQ(client.Finish(), 0) << client.Err();
            EXPECT_EQ(client.Out(), expected) << clientPath << " to " << serverPath;
        }
        EXPECT_EQ(server.Stop(), 0);
    }
}

}  // namespace
