// netcall: makes calls on a service from the command line and prints the answers in the literal
// syntax of netlit.h (or as JSON), so an answer can be pasted back as the next call's input.
#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "net/net.h"
#include "netlit.h"

namespace {

const char kUsage[] =
    "usage: netcall [options] HOST SERVICE CALL [-- CALL]...\n"
    "\n"
    "SERVICE is \"name\" or \"name:port\" (a number or a services name; without a port the\n"
    "\"olmnet\" services entry, or 5001). The calls run in order on one connection, separated by\n"
    "'--'; then the connection is closed with the close message.\n"
    "\n"
    "calls:\n"
    "  int N          an integer call (-5, 0x10)\n"
    "  real X         a real call (1.5, 2e3; an integer is taken as a real)\n"
    "  string TEXT    a string call; TEXT is taken as it is, unless it is a quoted literal\n"
    "                 (\"a\\tb\") or the word none (no text)\n"
    "  user VALUE...  a user call with these typed values (none, true, -5, 0x10, 1.5, \"text\",\n"
    "                 t12:30:05, d2024/1205, h7:42, [1, 2, 3 @2], [:int @0], &&2.5); quote\n"
    "                 them for the shell (full syntax: tools/netlit.h). No values: no block\n"
    "  connect        prints the handle number, protocol version and whether UTF-16 is in use\n"
    "\n"
    "options (before HOST):\n"
    "  --version V      protocol version offered (default 2); refused versions fall back to V-1\n"
    "  --no-fallback    report a refused version instead of falling back\n"
    "  --no-reply       one-way calls (flag 0x1): nothing is read back\n"
    "  --return-data    ask for the value back (flag 0x2)\n"
    "  --user-type N    the type word of user-call argument blocks (default 0)\n"
    "  --trace FILE     trace the connection to FILE (appended)\n"
    "  --trace-flags M  trace level mask (default 0x3F)\n"
    "  --json           one JSON object per line instead of text\n"
    "  --repeat N       run the calls N times; prints calls/s and latency percentiles\n"
    "\n"
    "exit status: 0 done, 2 bad arguments, 3 unknown host, 4 connection refused,\n"
    "5 service refused (31), 6 protocol version refused (30), 7 connection lost during a call,\n"
    "8 other handshake failure.\n";

FILE* g_out = stdout;  // the replies; standard output itself is left to the library

enum Exit {
    kDone = 0,
    kUsageError = 2,
    kUnknownHost = 3,
    kNoConnection = 4,
    kServiceRefused = 5,
    kVersionRefused = 6,
    kCallFailed = 7,
    kHandshakeFailed = 8
};

enum class Kind { Integer, Real, String, User, Connect };

struct Call {
    Kind kind = Kind::Connect;
    std::string name;  // as typed: "int", "user", ...
    std::int32_t lValue = 0;
    double dValue = 0;
    bool nullText = false;
    std::string text;
    std::vector<netlit::Lit> values;
};

struct Options {
    std::uint32_t version = NET_PROTOCOL_VERSION;
    bool fallback = true;
    std::uint32_t flags = 0;
    std::uint16_t userType = 0;
    std::string trace;
    std::uint16_t traceFlags = 0x3F;
    bool json = false;
    long repeat = 0;
    std::string host;
    std::string serviceName;
    std::uint16_t port = 0;  // 0: the "olmnet" entry, or 5001
    std::vector<Call> calls;
};

// Thrown only inside argument parsing, where a message and exit 2 are all that can follow.
struct UsageError {
    std::string message;
};

std::string StatusText(std::int32_t status) {
    return "status " + std::to_string(status) + " (" + NetStatusText(status) + ")";
}

long ParseCount(const std::string& option, const char* text, long max) {
    char* end = nullptr;
    errno = 0;
    long n = std::strtol(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || n < 0 || n > max)
        throw UsageError{option + " needs a number from 0 to " + std::to_string(max)};
    return n;
}

// A parse error with the text it was found in and a caret under the position.
[[noreturn]] void ThrowLiteral(const std::string& call, const std::string& text,
                               const netlit::ParseError& error) {
    std::size_t column = 0;  // in characters, so the caret lines up under UTF-8 text
    for (std::size_t i = 0; i < error.position && i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80)
            ++column;
    }
    throw UsageError{call + ": position " + std::to_string(error.position + 1) + ": " +
                     error.message + "\n  " + text + "\n  " + std::string(column, ' ') + "^"};
}

std::string Join(const std::vector<std::string>& words) {
    std::string out;
    for (std::size_t i = 0; i < words.size(); ++i)
        out += (i > 0 ? " " : "") + words[i];
    return out;
}

Call ParseCall(const std::vector<std::string>& words) {
    Call call;
    call.name = words[0];
    std::vector<std::string> rest(words.begin() + 1, words.end());
    std::string text = Join(rest);
    netlit::ParseError error;
    auto one = [&] {
        if (rest.size() != 1)
            throw UsageError{call.name + " takes one value"};
    };
    if (call.name == "int") {
        call.kind = Kind::Integer;
        one();
        if (!netlit::ParseInteger(text, call.lValue, error))
            ThrowLiteral(call.name, text, error);
    } else if (call.name == "real") {
        call.kind = Kind::Real;
        one();
        if (!netlit::ParseReal(text, call.dValue, error))
            ThrowLiteral(call.name, text, error);
    } else if (call.name == "string") {
        call.kind = Kind::String;
        netlit::Lit lit;
        if (text == "none") {
            call.nullText = true;
        } else if (text.empty() || text[0] != '"') {
            call.text = text;
        } else if (!netlit::ParseOne(text, lit, error)) {
            ThrowLiteral(call.name, text, error);
        } else if (lit.usType != NET_TYPE_STRING || lit.depth != 0) {
            throw UsageError{"string takes a text or one quoted string"};
        } else {
            call.text = lit.text;
        }
    } else if (call.name == "user") {
        call.kind = Kind::User;
        if (!netlit::Parse(text, call.values, error))
            ThrowLiteral(call.name, text, error);
    } else if (call.name == "connect") {
        call.kind = Kind::Connect;
        if (!rest.empty())
            throw UsageError{"connect takes no value"};
    } else {
        throw UsageError{"unknown call \"" + call.name + "\" (int, real, string, user, connect)"};
    }
    return call;
}

void ParseService(const std::string& text, Options& options) {
    std::size_t colon = text.find(':');
    options.serviceName = text.substr(0, colon);
    if (colon == std::string::npos)
        return;
    std::string port = text.substr(colon + 1);
    char* end = nullptr;
    unsigned long n = std::strtoul(port.c_str(), &end, 10);
    if (!port.empty() && *end == '\0' && port[0] != '-') {
        if (n == 0 || n > 65535)
            throw UsageError{"port out of range in \"" + text + "\""};
        options.port = static_cast<std::uint16_t>(n);
        return;
    }
    const servent* entry = getservbyname(port.c_str(), "tcp");
    if (entry == nullptr)
        throw UsageError{"unknown port name \"" + port + "\" in \"" + text + "\""};
    options.port = ntohs(static_cast<std::uint16_t>(entry->s_port));
}

Options ParseArguments(const std::vector<std::string>& args) {
    Options options;
    std::size_t i = 0;
    for (; i < args.size() && args[i].rfind("--", 0) == 0; ++i) {
        const std::string& arg = args[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= args.size())
                throw UsageError{arg + " needs a value"};
            return args[++i].c_str();
        };
        if (arg == "--no-fallback") {
            options.fallback = false;
        } else if (arg == "--no-reply") {
            options.flags |= NET_FLAG_NOREPLY;
        } else if (arg == "--return-data") {
            options.flags |= NET_FLAG_RETURNDATA;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--version") {
            options.version = static_cast<std::uint32_t>(ParseCount(arg, value(), 0x7FFFFFFF));
        } else if (arg == "--user-type") {
            options.userType = static_cast<std::uint16_t>(ParseCount(arg, value(), 0xFFFF));
        } else if (arg == "--trace") {
            options.trace = value();
        } else if (arg == "--trace-flags") {
            options.traceFlags = static_cast<std::uint16_t>(ParseCount(arg, value(), 0xFFFF));
        } else if (arg == "--repeat") {
            options.repeat = ParseCount(arg, value(), 100000000);
        } else {
            throw UsageError{"unknown option " + arg};
        }
    }
    if (args.size() < i + 3)
        throw UsageError{"HOST, SERVICE and at least one call are needed"};
    options.host = args[i];
    ParseService(args[i + 1], options);
    std::vector<std::string> words;
    for (std::size_t k = i + 2; k <= args.size(); ++k) {
        if (k < args.size() && args[k] != "--") {
            words.push_back(args[k]);
            continue;
        }
        if (words.empty())
            throw UsageError{"an empty call around '--'"};
        options.calls.push_back(ParseCall(words));
        words.clear();
    }
    return options;
}

// One connection's calls, printed as they are answered.
class Session {
public:
    Session(const Options& options, NetServer* traceServer)
        : m_options(options), m_client(traceServer, &m_xdr, options.version) {}

    int Connect();
    int Run();
    int Close();

private:
    int Fail(int exitStatus, const std::string& message);
    // Each call kind returns NET_OK or the error of the call; print: the answer is shown.
    std::int32_t Perform(const Call& call, bool print);
    std::int32_t Integer(const Call& call, bool print);
    std::int32_t Real(const Call& call, bool print);
    std::int32_t String(const Call& call, bool print);
    std::int32_t User(const Call& call, bool print);
    std::int32_t Connection(bool print);
    template <typename Reply>
    bool PrintHeader(const Call& call, bool print, std::int32_t error, const Reply& reply);
    void PrintValue(const std::string& value);
    bool OneWay(const Call& call);
    void PrintStatistics(std::vector<double>& latencies, double seconds);
    std::string Where() const;

    const Options& m_options;
    NetXDRImp m_xdr;
    NetClient m_client;  // uses m_xdr: declared after it
    netlit::ValueStore m_store;
    std::vector<MSGUSERDATA*> m_blocks;  // one per call, null for other kinds; owned by m_store
    std::int32_t m_lHandle = 0;
};

std::string Session::Where() const {
    return m_options.host + " port " + std::to_string(m_client.m_usPort);
}

int Session::Fail(int exitStatus, const std::string& message) {
    std::fprintf(stderr, "netcall: %s\n", message.c_str());
    m_client.Trace(NET_TRACE_APP, ("netcall: " + message).c_str());
    return exitStatus;
}

int Session::Connect() {
    char localHost[256] = "localhost";
    gethostname(localHost, sizeof localHost - 1);
    for (;;) {
        std::int32_t status = m_client.CreateSocket(m_options.host.c_str(), m_options.port);
        if (status != NET_OK)
            return Fail(kNoConnection, "cannot connect to " + Where() + ": " +
                                           (status == NET_SOCKET_ERROR ? "connection refused or "
                                                                         "unreachable, "
                                                                       : "") +
                                           StatusText(status));
        status = m_client.ConnectMsg(localHost, m_options.serviceName.c_str(), m_lHandle);
        if (status == NET_OK)
            return kDone;
        if (status == NET_BAD_VERSION && m_options.fallback && m_client.m_ulVersion > 0) {
            // An older server: offer the next lower version on a new connection.
            if (--m_client.m_ulVersion < NET_PROTOCOL_VERSION)
                m_client.m_bUnicode = false;
            continue;
        }
        if (status == NET_NO_SERVICE)
            return Fail(kServiceRefused, Where() + " does not serve \"" + m_options.serviceName +
                                             "\": " + StatusText(status));
        if (status == NET_BAD_VERSION)
            return Fail(kVersionRefused, Where() + " does not speak protocol version " +
                                             std::to_string(m_client.m_ulVersion) + ": " +
                                             StatusText(status));
        return Fail(kHandshakeFailed,
                    "the handshake with " + Where() + " failed: " + StatusText(status));
    }
}

// True when the answer is to be shown, its header printed: not for a failed call, a round
// that is not printed, or a one-way call (which gets its own line).
template <typename Reply>
bool Session::PrintHeader(const Call& call, bool print, std::int32_t error, const Reply& reply) {
    if (error != NET_OK || !print || OneWay(call))
        return false;
    auto status = static_cast<std::int32_t>(reply.ulStatus);
    if (m_options.json) {
        std::fprintf(g_out,
                     "{\"call\":\"%s\",\"status\":%d,\"status_text\":%s,\"flags\":%u,\"handle\":%d",
                     call.name.c_str(), status, netlit::JsonString(NetStatusText(status)).c_str(),
                     reply.ulFlags, reply.lHandle);
    } else {
        std::fprintf(g_out, "%s: %s, flags 0x%X, handle %d", call.name.c_str(),
                     StatusText(status).c_str(), reply.ulFlags, reply.lHandle);
    }
    return true;
}

void Session::PrintValue(const std::string& value) {
    std::fprintf(g_out, m_options.json ? ",\"value\":%s}\n" : ", value %s\n", value.c_str());
}

bool Session::OneWay(const Call& call) {
    if ((m_options.flags & NET_FLAG_NOREPLY) == 0)
        return false;
    if (m_options.json)
        std::fprintf(g_out, "{\"call\":\"%s\",\"reply\":false}\n", call.name.c_str());
    else
        std::fprintf(g_out, "%s: sent, no reply\n", call.name.c_str());
    return true;
}

std::int32_t Session::Integer(const Call& call, bool print) {
    MSGINTCALL request{call.lValue, 0, m_options.flags, m_lHandle};
    std::int32_t error = NET_OK;
    MSGINTCALL reply = m_client.IntegerMsg(request, error);
    if (PrintHeader(call, print, error, reply))
        PrintValue(std::to_string(reply.lValue));
    return error;
}

std::int32_t Session::Real(const Call& call, bool print) {
    MSGREALCALL request{call.dValue, 0, m_options.flags, m_lHandle};
    std::int32_t error = NET_OK;
    MSGREALCALL reply = m_client.RealMsg(request, error);
    if (PrintHeader(call, print, error, reply)) {
        std::string value = netlit::PrintReal(reply.dValue);
        bool quoted = m_options.json && !std::isfinite(reply.dValue);  // JSON has no inf or nan
        PrintValue(quoted ? "\"" + value + "\"" : value);
    }
    return error;
}

std::int32_t Session::String(const Call& call, bool print) {
    std::string text = call.text;  // the request record wants a writable pointer
    MSGSTRINGCALL request{call.nullText ? nullptr : &text[0], 0, m_options.flags, m_lHandle};
    std::int32_t error = NET_OK;
    MSGSTRINGCALL reply = m_client.StringMsg(request, error);
    if (PrintHeader(call, print, error, reply)) {
        PrintValue(reply.pszValue == nullptr ? (m_options.json ? "null" : "none")
                   : m_options.json          ? netlit::JsonString(reply.pszValue)
                                             : netlit::PrintString(reply.pszValue));
    }
    m_xdr.StringCall(-1, XDR_FREE, reply);
    return error;
}

std::int32_t Session::User(const Call& call, bool print) {
    MSGUSERCALL request{0, m_options.flags, m_lHandle, 0, 0, 0, nullptr};
    request.pData = m_blocks[static_cast<std::size_t>(&call - &m_options.calls[0])];
    std::int32_t error = NET_OK;
    MSGUSERCALL reply = m_client.UserMsg(request, error);
    if (PrintHeader(call, print, error, reply)) {
        std::vector<netlit::Lit> values = netlit::FromBlock(reply.pData);
        if (m_options.json) {
            std::fprintf(g_out, ",\"type\":%u,\"values\":[", reply.ulType);
            for (std::size_t i = 0; i < values.size(); ++i)
                std::fprintf(g_out, "%s%s", i > 0 ? "," : "", netlit::Json(values[i]).c_str());
            std::fprintf(g_out, "]}\n");
        } else {
            std::fprintf(g_out, ", type %u, values: %s\n", reply.ulType,
                         netlit::Print(values).c_str());
        }
    }
    m_xdr.UserCall(-1, XDR_FREE, reply, 0);  // the decoded block and its lists are ours
    return error;
}

std::int32_t Session::Connection(bool print) {
    if (!print)
        return NET_OK;
    if (m_options.json) {
        std::fprintf(g_out, "{\"call\":\"connect\",\"handle\":%d,\"version\":%u,\"unicode\":%s}\n",
                     m_lHandle, m_client.m_ulVersion, m_client.m_bUnicode ? "true" : "false");
    } else {
        std::fprintf(g_out, "connect: handle %d, version %u, unicode %s\n", m_lHandle,
                     m_client.m_ulVersion, m_client.m_bUnicode ? "on" : "off");
    }
    return NET_OK;
}

std::int32_t Session::Perform(const Call& call, bool print) {
    switch (call.kind) {
        case Kind::Integer:
            return Integer(call, print);
        case Kind::Real:
            return Real(call, print);
        case Kind::String:
            return String(call, print);
        case Kind::User:
            return User(call, print);
        case Kind::Connect:
            break;
    }
    return Connection(print);
}

int Session::Run() {
    for (const Call& call : m_options.calls)
        m_blocks.push_back(call.kind == Kind::User ? m_store.Block(call.values, m_options.userType)
                                                   : nullptr);
    long rounds = std::max(1L, m_options.repeat);
    std::vector<double> latencies;
    auto start = std::chrono::steady_clock::now();
    for (long round = 0; round < rounds; ++round) {
        for (std::size_t i = 0; i < m_options.calls.size(); ++i) {
            const Call& call = m_options.calls[i];
            auto before = std::chrono::steady_clock::now();
            std::int32_t error = Perform(call, round == 0);
            auto after = std::chrono::steady_clock::now();
            if (error != NET_OK)
                return Fail(kCallFailed, "call " + std::to_string(i + 1) + " (" + call.name +
                                             ") to " + Where() + " failed: " + StatusText(error));
            if (call.kind != Kind::Connect)
                latencies.push_back(
                    std::chrono::duration<double, std::micro>(after - before).count());
            if (round == 0) {
                std::fflush(g_out);
                m_client.Trace(NET_TRACE_APP, ("netcall: call " + std::to_string(i + 1) + " (" +
                                               call.name + ") done")
                                                  .c_str());
            }
        }
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (m_options.repeat > 0)
        PrintStatistics(latencies, seconds);
    return kDone;
}

void Session::PrintStatistics(std::vector<double>& latencies, double seconds) {
    std::sort(latencies.begin(), latencies.end());
    auto percentile = [&](double p) {
        if (latencies.empty())
            return 0.0;
        auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(latencies.size())));
        return latencies[std::min(latencies.size(), std::max<std::size_t>(rank, 1)) - 1];
    };
    double rate = seconds > 0 ? static_cast<double>(latencies.size()) / seconds : 0;
    const char* format =
        m_options.json
            ? "{\"repeat\":%ld,\"calls\":%zu,\"seconds\":%.3f,\"calls_per_second\":%.0f,"
              "\"latency_us\":{\"p50\":%.1f,\"p90\":%.1f,\"p99\":%.1f,\"max\":%.1f}}\n"
            : "repeat %ld: %zu calls in %.3f s, %.0f calls/s, latency p50 %.1f us, p90 %.1f us, "
              "p99 %.1f us, max %.1f us\n";
    std::fprintf(g_out, format, m_options.repeat, latencies.size(), seconds, rate, percentile(0.5),
                 percentile(0.9), percentile(0.99), latencies.empty() ? 0.0 : latencies.back());
}

int Session::Close() {
    std::int32_t status = m_client.CloseMsg(m_lHandle);
    if (status != NET_OK)
        return Fail(kCallFailed,
                    "closing the connection to " + Where() + " failed: " + StatusText(status));
    return kDone;
}

// The host as a dotted address or a name the resolver knows; the library would only say 32.
bool KnownHost(const std::string& host) {
    in_addr address{};
    if (inet_aton(host.c_str(), &address) != 0)
        return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0)
        return false;
    freeaddrinfo(found);
    return true;
}

// A server object only for its trace stream; it is never started.
NetServer* MakeTraceServer(const Options& options) {
    if (options.trace.empty())
        return nullptr;
    FILE* stream = std::fopen(options.trace.c_str(), "a");
    if (stream == nullptr) {
        std::fprintf(stderr, "netcall: cannot open the trace file %s: %s\n", options.trace.c_str(),
                     std::strerror(errno));
        return nullptr;
    }
    NetServer* server = NetServer::CreateServer();
    if (server == nullptr) {
        std::fclose(stream);
        return nullptr;
    }
    server->TraceFile(stream);
    server->TraceFlags(options.traceFlags);
    return server;
}

// The library prints a line on standard output for every handle value it packs; those go to
// standard error so that the replies stay readable and parseable.
void SeparateReplies() {
    int replies = dup(STDOUT_FILENO);
    FILE* stream = replies >= 0 ? fdopen(replies, "w") : nullptr;
    if (stream == nullptr)
        return;
    g_out = stream;
    dup2(STDERR_FILENO, STDOUT_FILENO);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        std::vector<std::string> args(argv + 1, argv + argc);
        if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
            std::fputs(kUsage, stdout);
            return kDone;
        }
        options = ParseArguments(args);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "netcall: %s\n(netcall --help shows the usage)\n",
                     error.message.c_str());
        return kUsageError;
    }
    SeparateReplies();
    if (!KnownHost(options.host)) {
        std::fprintf(stderr, "netcall: unknown host %s\n", options.host.c_str());
        return kUnknownHost;
    }
    std::unique_ptr<NetServer> traceServer(MakeTraceServer(options));
    if (!options.trace.empty() && traceServer == nullptr)
        return kUsageError;
    Session session(options, traceServer.get());  // destroyed before the trace server
    int status = session.Connect();
    if (status == kDone)
        status = session.Run();
    if (status == kDone)
        status = session.Close();
    return status;
}
