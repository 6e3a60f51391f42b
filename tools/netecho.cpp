// SPDX-License-Identifier: Apache-2.0
// netecho: an example server of "echo", "noreturn" and the services the command line names.
#include <netdb.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "echo_event.h"
#include "net/net.h"
#include "net/netversion.h"

namespace {

const char kAbout[] =
    "An example server of zornet: serves \"echo\" and \"noreturn\" until stopped.";

const char kFooter[] =
    R"(Services, on the default port (--port; for 0 the "olmnet" services entry, or
5001):
  echo       integer, real and string calls come back unchanged with the
             return-data bit (0x2) set; user calls come back unchanged; status 1
  noreturn   every call answers status 7 and leaves flags and value alone
Prints "listening on port N" once it serves. ZOR_NET_USE_UNICODE set in the
environment offers UTF-16 strings to version-2 clients.

Exit status:
  0  stopped by SIGINT or SIGTERM, or --help, --version
  1  a service, the listener or the trace file cannot be opened
  2  bad arguments)";

constexpr std::int32_t kNoReturnStatus = 7;

// Answers every call with status 7 and touches nothing else, so the reply carries no value unless
// the caller asked for it.
class NoReturnEvent : public NetEvent {
public:
    NetEvent* Clone() override { return new NoReturnEvent; }
    std::int32_t IntegerData(std::int32_t*, std::uint32_t&) override { return kNoReturnStatus; }
    std::int32_t RealData(double*, std::uint32_t&) override { return kNoReturnStatus; }
    std::int32_t StringData(char**, std::uint32_t&) override { return kNoReturnStatus; }
    std::int32_t UserData(void*, std::uint32_t&) override { return kNoReturnStatus; }
};

struct Options {
    unsigned port = 0;
    std::vector<std::string> services;
    bool listen = false, quiet = false;
    std::string trace;  // empty: no trace; "-": standard output
    std::uint16_t traceFlags = 0x3F;
};

ZoInputLoop* g_loop = nullptr;  // set before the handlers are installed; read by them only

extern "C" void OnStopSignal(int) {
    g_loop->Stop();  // async-signal-safe
}

// -1 when the command line was read; otherwise the status to exit with.
int ParseArguments(int argc, char** argv, Options& o) {
    CLI::App app{kAbout, "netecho"};
    app.set_version_flag("--version", "netecho " ZORNET_VERSION_STRING);
    app.add_option("--port", o.port, "the default port")
        ->type_name("N")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    app.add_option("--service", o.services,
                   "one more echo service: name or name:port (number or services name)")
        ->type_name("TEXT");
    app.add_flag("--listen", o.listen, "a generic listener, with echo behaviour, for other names");
    app.add_option("--trace", o.trace, "trace to FILE (appended), or standard output for '-'")
        ->type_name("FILE");
    app.add_option("--trace-flags", o.traceFlags, "trace level mask (default 0x3F: every level)")
        ->type_name("MASK");
    app.add_flag("--quiet", o.quiet, "keep the \"Pack Handle\" lines off standard output");
    app.footer(kFooter);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error) == 0 ? 0 : 2;  // 0 after --help or --version
    }
    return -1;
}

// The port the server settles on for Init(port 0), which it does not report.
std::uint16_t DefaultPort(unsigned port) {
    if (port != 0)
        return static_cast<std::uint16_t>(port);
    const servent* entry = getservbyname("olmnet", "tcp");
    return entry != nullptr ? ntohs(static_cast<std::uint16_t>(entry->s_port)) : NET_DEFAULT_PORT;
}

bool SetTrace(NetServer& server, const Options& options) {
    if (options.trace.empty())
        return true;
    // The server closes its stream, so standard output goes in as a duplicate.
    FILE* stream = options.trace == "-" ? fdopen(dup(STDOUT_FILENO), "w")
                                        : std::fopen(options.trace.c_str(), "a");
    if (stream == nullptr) {
        std::fprintf(stderr, "netecho: cannot open the trace file %s: %s\n", options.trace.c_str(),
                     std::strerror(errno));
        return false;
    }
    server.TraceFile(stream);
    server.TraceFlags(options.traceFlags);
    return true;
}

bool Register(NetServer& server, const std::string& service, NetEvent* event) {
    int status = server.RegisterFunc(service.c_str(), event);
    if (status == NET_OK)
        return true;
    delete event;  // the registry keeps the object only when it accepted it
    std::fprintf(stderr, "netecho: cannot serve \"%s\": status %d (%s)\n", service.c_str(), status,
                 NetStatusText(status));
    return false;
}

bool Serve(NetServer& server, const Options& options) {
    if (!Register(server, "echo", new EchoEvent) ||
        !Register(server, "noreturn", new NoReturnEvent))
        return false;
    for (const std::string& service : options.services) {
        if (!Register(server, service, new EchoEvent))
            return false;
    }
    if (options.listen) {
        int status = server.SetListen(new EchoEvent);  // deleted by the server when refused
        if (status != NET_OK) {
            std::fprintf(stderr, "netecho: cannot set the generic listener: status %d (%s)\n",
                         status, NetStatusText(status));
            return false;
        }
    }
    return true;
}

void InstallSignals() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int status = ParseArguments(argc, argv, options); status >= 0)
        return status;
    if (options.quiet)
        NetPackerOutput(nullptr);  // the server packs the handles of the values it echoes

    ZoInputLoop loop;  // declared first: the server withdraws its pipe from it when deleted
    NetServer* server = NetServer::CreateServer();
    if (server == nullptr) {
        std::fputs("netecho: cannot create the server\n", stderr);
        return 1;
    }
    g_loop = &loop;
    InstallSignals();
    server->Init(new NetXDRImp, static_cast<std::uint16_t>(options.port));
    bool ok = SetTrace(*server, options);
    server->StartServer(&loop);
    ok = ok && Serve(*server, options);
    if (ok) {
        std::printf("listening on port %u\n", DefaultPort(options.port));
        std::fflush(stdout);
        loop.Run();
    }
    delete server;  // stops every connection and joins every thread
    return ok ? 0 : 1;
}
