// netecho: an example server. Serves "echo" (answers every call with its own value) and
// "noreturn" (answers status 7) on the default port, plus any services named on the command line
// and, on request, a generic listener. Runs until SIGINT or SIGTERM.
#include <netdb.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "echo_event.h"
#include "net/net.h"

namespace {

const char kUsage[] =
    "usage: netecho [--port N] [--service TEXT]... [--listen] [--trace FILE|-] "
    "[--trace-flags MASK]\n"
    "\n"
    "Serves on the default port (N, or the \"olmnet\" services entry, or 5001 when N is 0):\n"
    "  echo       integer, real and string calls come back unchanged with the return-data bit\n"
    "             (0x2) set; user calls come back unchanged; status 1\n"
    "  noreturn   every call answers status 7 and leaves flags and value alone\n"
    "  --service TEXT   one more echo service: \"name\" or \"name:port\" (number or services "
    "name)\n"
    "  --listen         a generic listener, with echo behaviour, for any other service name\n"
    "  --trace FILE     trace to FILE (appended), or to standard output for '-'\n"
    "  --trace-flags M  trace level mask (default 0x3F: every level)\n"
    "\n"
    "Prints \"listening on port N\" once it serves; SIGINT or SIGTERM end it with status 0.\n"
    "ZOR_NET_USE_UNICODE set in the environment offers UTF-16 strings to version-2 clients.\n";

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
    long port = 0;
    std::vector<std::string> services;
    bool listen = false;
    std::string trace;  // empty: no trace; "-": standard output
    unsigned long traceFlags = 0x3F;
};

ZoInputLoop* g_loop = nullptr;  // set before the handlers are installed; read by them only

extern "C" void OnStopSignal(int) {
    g_loop->Stop();  // async-signal-safe
}

bool ParseNumber(const char* text, int base, unsigned long max, unsigned long& out) {
    char* end = nullptr;
    errno = 0;
    out = std::strtoul(text, &end, base);
    return errno == 0 && end != text && *end == '\0' && out <= max && text[0] != '-';
}

// 0 when the arguments were read, -1 after --help (exit status 0), 2 on a usage error.
int ParseArguments(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return -1;
        }
        if (arg == "--listen") {
            options.listen = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "netecho: unknown option or missing value: %s\n%s", arg.c_str(),
                         kUsage);
            return 2;
        }
        const char* value = argv[++i];
        unsigned long n = 0;
        if (arg == "--port" && ParseNumber(value, 10, 65535, n)) {
            options.port = static_cast<long>(n);
        } else if (arg == "--service") {
            options.services.push_back(value);
        } else if (arg == "--trace") {
            options.trace = value;
        } else if (arg == "--trace-flags" && ParseNumber(value, 0, 0xFFFF, n)) {
            options.traceFlags = n;
        } else {
            std::fprintf(stderr, "netecho: bad option: %s %s\n%s", arg.c_str(), value, kUsage);
            return 2;
        }
    }
    return 0;
}

// The port the server settles on for Init(port 0), which it does not report.
std::uint16_t DefaultPort(long port) {
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
    server.TraceFlags(static_cast<std::uint16_t>(options.traceFlags));
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
    if (int status = ParseArguments(argc, argv, options); status != 0)
        return status < 0 ? 0 : status;

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
