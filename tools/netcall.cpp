// SPDX-License-Identifier: Apache-2.0
// netcall: makes calls on a service from the command line and prints the answers in the literal
// syntax of netlit.h (or as JSON), so an answer can be pasted back as the next call's input.
#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "net/net.h"
#include "net/netversion.h"
#include "netlit.h"

namespace {

using netlit::Json;

const char kAbout[] =
    "Makes calls on a service of a zornet server and prints the answers as typed-value literals\n"
    "(or JSON), so that an answer can be pasted back as the next call's input.";

const char kFooter[] = R"(SERVICE is "name" or "name:port" (a number or a services name; without a
port the "olmnet" services entry, or 5001). The calls run in order on one
connection, separated by '--'; then the connection is closed with the close
message. Options may stand anywhere; a word that starts with '-' is an option
unless it reads as a number, so quote such a text: string '"-x"'.

Calls:
  int N          an integer call: -2147483648 to 4294967295 or hexadecimal 0x10;
                 above 2147483647 the 32-bit pattern, which the peer reads as
                 negative (4294967295 travels as -1)
  real X         a real call (1.5, 2e3, -0, inf; digits are taken as a real)
  string TEXT    a string call; TEXT is taken as it is, unless it is a quoted
                 literal ("a\tb") or the word none (no text)
  user VALUE...  a user call with these typed values: none, true, -5, 0x10,
                 1.5, "text", t12:30:05, d2024/1205, h7:42, [1, 2, 3 @2],
                 [:int @0], &&2.5 (quote them for the shell); no values: no block
  connect        prints the handle number, protocol version and whether UTF-16
                 strings are in use

Exit status:
  0  done: every call answered with status 1 (with --any-status, any status)
  1  a call was answered with another status
  2  bad arguments
  3  unknown host
  4  connection refused or unreachable
  5  service refused (status 31)
  6  protocol version refused (status 30)
  7  connection lost, or no answer within the time-out, during a call
  8  other handshake failure: the peer closed, answered something that is no
     handle number, or did not answer within the time-out)";

// In the order --help lists them, 0 to 8.
enum Exit {
    kDone,
    kBadStatus,
    kUsageError,
    kUnknownHost,
    kNoConnection,
    kServiceRefused,
    kVersionRefused,
    kCallFailed,
    kHandshakeFailed
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
    std::uint32_t protocol = NET_PROTOCOL_VERSION;
    bool noFallback = false, noReply = false, returnData = false, anyStatus = false;
    std::uint16_t userType = 0;
    std::string trace;
    std::uint16_t traceFlags = 0x3F;
    long repeat = 0;
    double timeout = 0;  // seconds; 0: wait as long as the connection lasts
    std::string host, serviceName;
    std::uint16_t port = 0;  // 0: the "olmnet" entry, or 5001
    std::vector<Call> calls;
};

bool g_json = false;  // --json: errors too are JSON objects; set before anything is reported

// Thrown only inside argument parsing, where a message and exit 2 are all that can follow.
struct UsageError {
    explicit UsageError(std::string text, std::string more = "", Json fields = Json::object())
        : message(std::move(text)), lines(std::move(more)), detail(std::move(fields)) {}
    std::string message;
    std::string lines;  // text form only: the literal and a caret under the fault
    Json detail;        // JSON form only
};

// One error on standard error: a line of text, or with --json one JSON object.
int Report(int status, const std::string& message, const std::string& lines = "",
           const Json& detail = Json::object()) {
    Json json{{"error", message}, {"exit", status}};
    json.update(detail);
    std::fprintf(stderr, "%s\n",
                 g_json ? netlit::Dump(json).c_str() : ("netcall: " + message + lines).c_str());
    return status;
}

// One line of output: the JSON object with --json, else the text.
void PrintLine(const Json& json, const std::string& text) {
    std::printf("%s\n", g_json ? netlit::Dump(json).c_str() : text.c_str());
}

std::string StatusText(std::int32_t status) {
    return "status " + std::to_string(status) + " (" + NetStatusText(status) + ")";
}

// Characters and terminal columns of UTF-8 text (LC_CTYPE is UTF-8); a byte that is not UTF-8
// counts as one of each.
void Measure(const std::string& text, std::size_t& characters, std::size_t& columns) {
    std::mbstate_t state{};
    characters = columns = 0;
    for (std::size_t at = 0, n = 0; at < text.size(); at += n, ++characters) {
        wchar_t c = 0;
        n = std::mbrtowc(&c, &text[at], text.size() - at, &state);
        const bool character = n > 0 && n <= text.size() - at;
        if (!character) {  // a NUL, or a byte that starts no character: one byte, one column
            n = 1;
            state = {};
        }
        columns += character && wcwidth(c) >= 0 ? static_cast<std::size_t>(wcwidth(c)) : 1;
    }
}

// A parse error with the text it was found in and a caret under the character at fault.
[[noreturn]] void ThrowLiteral(const std::string& call, const std::string& text,
                               const netlit::ParseError& error) {
    std::size_t position = 0, column = 0;
    Measure(text.substr(0, error.position), position, column);
    throw UsageError{call + ": position " + std::to_string(position + 1) + ": " + error.message,
                     "\n  " + text + "\n  " + std::string(column, ' ') + "^",
                     {{"call", call}, {"position", position + 1}, {"text", text}}};
}

Call ParseCall(const std::vector<std::string>& words) {
    Call call;
    call.name = words[0];
    const std::vector<std::string> rest(words.begin() + 1, words.end());
    const std::string text = CLI::detail::join(rest, " ");
    netlit::ParseError error;
    bool parsed = true;
    if (call.name == "int" || call.name == "real") {
        if (rest.size() != 1)
            throw UsageError{call.name + " takes one value"};
        call.kind = call.name == "int" ? Kind::Integer : Kind::Real;
        parsed = call.kind == Kind::Integer ? netlit::ParseInteger(text, call.lValue, error)
                                            : netlit::ParseReal(text, call.dValue, error);
    } else if (call.name == "string") {
        call.kind = Kind::String;
        call.nullText = text == "none";
        netlit::Lit lit;
        if (text.empty() || text[0] != '"') {
            call.text = text;
        } else if ((parsed = netlit::ParseOne(text, lit, error))) {
            if (lit.usType != NET_TYPE_STRING || lit.depth != 0)
                throw UsageError{"string takes a text or one quoted string"};
            call.text = lit.text;
        }
    } else if (call.name == "user") {
        call.kind = Kind::User;
        parsed = netlit::Parse(text, call.values, error);
    } else if (call.name != "connect") {
        throw UsageError{"unknown call \"" + call.name + "\" (int, real, string, user, connect)"};
    } else if (!rest.empty()) {
        throw UsageError{"connect takes no value"};
    }
    if (!parsed)
        ThrowLiteral(call.name, text, error);
    return call;
}

// "name" or "name:port", the port a number or a services name.
void ParseService(const std::string& text, Options& options) {
    const std::size_t colon = text.find(':');
    options.serviceName = text.substr(0, colon);
    if (colon == std::string::npos)
        return;
    const std::string port = text.substr(colon + 1);
    const servent* entry = getservbyname(port.c_str(), "tcp");
    long n = entry != nullptr ? ntohs(static_cast<std::uint16_t>(entry->s_port)) : 0;
    if (entry == nullptr && !CLI::detail::lexical_cast(port, n))
        throw UsageError{"unknown port name \"" + port + "\" in \"" + text + "\""};
    if (n <= 0 || n > 65535)
        throw UsageError{"port out of range in \"" + text + "\""};
    options.port = static_cast<std::uint16_t>(n);
}

// CLI11 takes "--" for the end of the options, "-inf" or "-.5" for options and splits "[1,2]"
// into 1 and 2; the calls need them as they are. Marked, they reach the call words, where the
// mark comes off again.
constexpr char kMark = '\x1F';
const std::string kSeparator = std::string(1, kMark) + "--";

std::vector<std::string> MarkCallWords(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = argc - 1; i > 0; --i) {  // reversed, as CLI11 takes them
        std::string arg = argv[i];
        const bool number =
            arg.size() > 1 && arg[0] == '-' &&
            (arg[1] == '.' || arg.compare(1, 3, "inf") == 0 || arg.compare(1, 3, "nan") == 0);
        args.push_back(arg == "--" || number || arg[0] == '[' ? kMark + arg : arg);
    }
    return args;
}

void ParseCalls(const std::vector<std::string>& words, Options& options) {
    std::vector<std::string> call;
    for (std::size_t k = 0; k <= words.size(); ++k) {
        if (k < words.size() && words[k] != kSeparator) {
            call.push_back(words[k][0] == kMark ? words[k].substr(1) : words[k]);
            continue;
        }
        if (call.empty())
            throw UsageError{"an empty call around '--'"};
        options.calls.push_back(ParseCall(call));
        call.clear();
    }
    const bool timed = std::any_of(options.calls.begin(), options.calls.end(),
                                   [](const Call& c) { return c.kind != Kind::Connect; });
    if (options.repeat > 0 && !timed)
        throw UsageError{"--repeat needs a call other than connect to time"};
}

// False after --help or --version (exit 0); a bad command line throws UsageError.
bool ParseArguments(int argc, char** argv, Options& o) {
    CLI::App app{kAbout, "netcall"};
    std::string service;
    std::vector<std::string> words;
    app.set_version_flag("--version", "netcall " ZORNET_VERSION_STRING);
    app.add_option("--protocol", o.protocol, "protocol version offered; a refused one falls back")
        ->type_name("V")
        ->capture_default_str();
    app.add_flag("--no-fallback", o.noFallback, "report a refused version instead of falling back");
    app.add_flag("--no-reply", o.noReply, "one-way calls (flag 0x1): nothing is read back");
    app.add_flag("--return-data", o.returnData, "ask for the value back (flag 0x2)");
    app.add_flag("--any-status", o.anyStatus, "exit 0 whatever status a call is answered with");
    app.add_option("--timeout", o.timeout, "fail a connect, handshake or call left unanswered")
        ->type_name("SECONDS")
        ->check(CLI::PositiveNumber);
    app.add_option("--user-type", o.userType, "the type word of user-call argument blocks")
        ->type_name("N")
        ->capture_default_str();
    app.add_option("--trace", o.trace, "trace the connection to FILE (appended)")
        ->type_name("FILE");
    app.add_option("--trace-flags", o.traceFlags, "trace level mask (default 0x3F: every level)")
        ->type_name("MASK");
    app.add_flag("--json", g_json, "one JSON object per line instead of text, errors too");
    app.add_option("--repeat", o.repeat,
                   "run the calls N times; print calls/s and latencies (--no-reply: of sending)")
        ->type_name("N")
        ->check(CLI::PositiveNumber);
    app.add_option("HOST", o.host, "a dotted IPv4 address or a host name")->required();
    app.add_option("SERVICE", service, "name or name:port")->required();
    app.add_option("CALL", words, "int, real, string, user or connect, with its value")->required();
    app.footer(kFooter);
    try {
        std::vector<std::string> args = MarkCallWords(argc, argv);
        app.parse(args);
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == 0) {
            app.exit(error);  // the help or the version on standard output
            return false;
        }
        throw UsageError{error.what(), "\n(netcall --help shows the usage)"};
    }
    ParseService(service, o);
    ParseCalls(words, o);
    return true;
}

// One connection's calls, printed as they are answered.
class Session {
public:
    Session(const Options& options, NetServer* traceServer)
        : m_options(options), m_client(traceServer, &m_xdr, options.protocol) {
        const double ms = std::ceil(options.timeout * 1000);
        m_client.SetTimeout(static_cast<std::int32_t>(std::min(ms, 2147483647.0)));
    }

    int Connect();
    int Run();
    int Close();  // then the answers decide: kBadStatus for a status other than success

private:
    int Fail(int exitStatus, const std::string& message);
    // Each call kind returns NET_OK or the error of the call; print: the answer is shown.
    ZoErrorCode Perform(const Call& call, bool print);
    ZoErrorCode Integer(const Call& call, bool print);
    ZoErrorCode Real(const Call& call, bool print);
    ZoErrorCode String(const Call& call, bool print);
    ZoErrorCode User(const Call& call, bool print);
    ZoErrorCode Connection(const Call& call, bool print);
    template <typename Reply>
    bool Answered(const Call& call, ZoErrorCode error, const Reply& reply, bool print);
    template <typename Reply>
    void Show(const Call& call, const Reply& reply, const std::string& text, const Json& json);
    void PrintStatistics(std::vector<double>& latencies, double seconds);
    std::string Where() const;

    const Options& m_options;
    NetXDRImp m_xdr;
    NetClient m_client;  // uses m_xdr: declared after it
    netlit::ValueStore m_store;
    std::vector<MSGUSERDATA*> m_blocks;  // one per call, null for other kinds; owned by m_store
    std::int32_t m_lHandle = 0;
    std::uint32_t m_ulFlags = (m_options.noReply ? NET_FLAG_NOREPLY : 0) |
                              (m_options.returnData ? NET_FLAG_RETURNDATA : 0);
    long m_lBadStatus = 0;  // answers with a status other than success
    // What a silent peer looks like, with a time-out.
    const std::string m_silence = m_options.timeout > 0
                                      ? ", or no answer within " +
                                            netlit::PrintReal(m_options.timeout) + " s"
                                      : "";
};

std::string Session::Where() const {
    return m_options.host + " port " + std::to_string(m_client.m_usPort);
}

int Session::Fail(int exitStatus, const std::string& message) {
    m_client.Trace(NET_TRACE_APP, ("netcall: " + message).c_str());
    return Report(exitStatus, message);
}

int Session::Connect() {
    char localHost[256] = "localhost";
    gethostname(localHost, sizeof localHost - 1);
    for (;;) {
        std::int32_t status = m_client.CreateSocket(m_options.host.c_str(), m_options.port);
        if (status != NET_OK)
            return Fail(kNoConnection, "cannot connect to " + Where() + ": " +
                                           (status == NET_SOCKET_ERROR
                                                ? "connection refused or unreachable" + m_silence
                                                : StatusText(status)));
        status = m_client.ConnectMsg(localHost, m_options.serviceName.c_str(), m_lHandle);
        if (status == NET_OK)
            return kDone;
        if (status == NET_BAD_VERSION && !m_options.noFallback && m_client.m_ulVersion > 0) {
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
        const std::string why = status == NET_SOCKET_ERROR
                                    ? ": not a server of this protocol, or it closed" + m_silence
                                    : "";
        return Fail(kHandshakeFailed,
                    "the handshake with " + Where() + " failed: " + StatusText(status) + why);
    }
}

// True when the answer is to be shown: not for a failed call or a round that is not printed;
// a one-way call gets a line of its own. Counts answers with a status other than success.
template <typename Reply>
bool Session::Answered(const Call& call, ZoErrorCode error, const Reply& reply, bool print) {
    if (error != NET_OK)
        return false;
    if (m_options.noReply) {
        if (print)
            PrintLine({{"call", call.name}, {"reply", false}}, call.name + ": sent, no reply");
        return false;
    }
    m_lBadStatus += reply.ulStatus != NET_OK ? 1 : 0;
    return print;
}

// One answer: the fields every call kind has, then the kind's own (text, or json's fields).
template <typename Reply>
void Session::Show(const Call& call, const Reply& reply, const std::string& text,
                   const Json& json) {
    const auto status = static_cast<std::int32_t>(reply.ulStatus);
    Json out{{"call", call.name},
             {"status", status},
             {"status_text", NetStatusText(status)},
             {"flags", reply.ulFlags},
             {"handle", reply.lHandle}};
    out.update(json);
    PrintLine(out, netlit::Format("%s: %s, flags 0x%X, handle %d, ", call.name.c_str(),
                                  StatusText(status).c_str(), reply.ulFlags, reply.lHandle) +
                       text);
}

ZoErrorCode Session::Integer(const Call& call, bool print) {
    MSGINTCALL request{call.lValue, 0, m_ulFlags, m_lHandle};
    ZoErrorCode error = NET_OK;
    const MSGINTCALL reply = m_client.IntegerMsg(request, error);
    if (Answered(call, error, reply, print))
        Show(call, reply, "value " + std::to_string(reply.lValue), {{"value", reply.lValue}});
    return error;
}

ZoErrorCode Session::Real(const Call& call, bool print) {
    MSGREALCALL request{call.dValue, 0, m_ulFlags, m_lHandle};
    ZoErrorCode error = NET_OK;
    const MSGREALCALL reply = m_client.RealMsg(request, error);
    if (Answered(call, error, reply, print)) {
        netlit::Lit value;
        value.usType = NET_TYPE_REAL;
        value.dValue = reply.dValue;
        Show(call, reply, "value " + netlit::Print(value),
             {{"value", netlit::ToJson(value)["value"]}});
    }
    return error;
}

ZoErrorCode Session::String(const Call& call, bool print) {
    std::string text = call.text;  // the request record wants a writable pointer
    MSGSTRINGCALL request{call.nullText ? nullptr : &text[0], 0, m_ulFlags, m_lHandle};
    ZoErrorCode error = NET_OK;
    MSGSTRINGCALL reply = m_client.StringMsg(request, error);
    if (Answered(call, error, reply, print)) {
        const char* value = reply.pszValue;
        Show(call, reply, "value " + (value ? netlit::PrintString(value) : "none"),
             {{"value", value ? Json(value) : Json()}});
    }
    m_xdr.StringCall(-1, XDR_FREE, reply);
    return error;
}

ZoErrorCode Session::User(const Call& call, bool print) {
    MSGUSERCALL request{0, m_ulFlags, m_lHandle, 0, 0, 0, nullptr};
    request.pData = m_blocks[static_cast<std::size_t>(&call - &m_options.calls[0])];
    ZoErrorCode error = NET_OK;
    MSGUSERCALL reply = m_client.UserMsg(request, error);
    if (Answered(call, error, reply, print)) {
        const std::vector<netlit::Lit> values = netlit::FromBlock(reply.pData);
        Json json = Json::array();
        for (const netlit::Lit& value : values)
            json.push_back(netlit::ToJson(value));
        Show(call, reply,
             "type " + std::to_string(reply.ulType) + ", values: " + netlit::Print(values),
             {{"type", reply.ulType}, {"values", json}});
    }
    m_xdr.UserCall(-1, XDR_FREE, reply, 0);  // the decoded block and its lists are ours
    return error;
}

ZoErrorCode Session::Connection(const Call&, bool print) {
    const bool unicode = m_client.m_bUnicode;
    if (print)
        PrintLine({{"call", "connect"},
                   {"handle", m_lHandle},
                   {"version", m_client.m_ulVersion},
                   {"unicode", unicode}},
                  netlit::Format("connect: handle %d, version %u, unicode %s", m_lHandle,
                                 m_client.m_ulVersion, unicode ? "on" : "off"));
    return NET_OK;
}

ZoErrorCode Session::Perform(const Call& call, bool print) {
    using Kinds = ZoErrorCode (Session::*)(const Call&, bool);
    static const Kinds kinds[] = {&Session::Integer, &Session::Real, &Session::String,
                                  &Session::User, &Session::Connection};  // in Kind's order
    return (this->*kinds[static_cast<int>(call.kind)])(call, print);
}

int Session::Run() {
    for (const Call& call : m_options.calls)
        m_blocks.push_back(call.kind == Kind::User ? m_store.Block(call.values, m_options.userType)
                                                   : nullptr);
    const long rounds = std::max(1L, m_options.repeat);
    std::vector<double> latencies;
    const auto start = std::chrono::steady_clock::now();
    for (long round = 0; round < rounds; ++round) {
        for (std::size_t i = 0; i < m_options.calls.size(); ++i) {
            const Call& call = m_options.calls[i];
            const std::string which = "call " + std::to_string(i + 1) + " (" + call.name + ")";
            const auto before = std::chrono::steady_clock::now();
            const ZoErrorCode error = Perform(call, round == 0);
            const auto after = std::chrono::steady_clock::now();
            if (error != NET_OK)
                return Fail(kCallFailed, which + " to " + Where() +
                                             " failed: " + StatusText(error) +
                                             (error == NET_SOCKET_ERROR ? m_silence : ""));
            if (call.kind != Kind::Connect)
                latencies.push_back(
                    std::chrono::duration<double, std::micro>(after - before).count());
            if (round == 0) {
                std::fflush(stdout);
                m_client.Trace(NET_TRACE_APP, ("netcall: " + which + " done").c_str());
            }
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (m_options.repeat > 0)
        PrintStatistics(latencies, seconds);
    return kDone;
}

void Session::PrintStatistics(std::vector<double>& latencies, double seconds) {
    std::sort(latencies.begin(), latencies.end());
    auto percentile = [&](double p) {
        const auto rank = static_cast<std::size_t>(std::ceil(p * double(latencies.size())));
        return std::round(latencies[std::max<std::size_t>(rank, 1) - 1] * 10) / 10;
    };
    const double rate = std::round(seconds > 0 ? double(latencies.size()) / seconds : 0);
    const double p50 = percentile(0.5), p90 = percentile(0.9), p99 = percentile(0.99);
    // A one-way call is done once it is written: its figures measure sending, not the service.
    const char* measured = m_options.noReply ? "sending only" : "round trip";
    PrintLine({{"repeat", m_options.repeat},
               {"calls", latencies.size()},
               {"measured", measured},
               {"seconds", std::round(seconds * 1000) / 1000},
               {"calls_per_second", rate},
               {"latency_us", {{"p50", p50}, {"p90", p90}, {"p99", p99}, {"max", percentile(1)}}}},
              netlit::Format("repeat %ld: %zu calls in %.3f s, %.0f calls/s, latency p50 %.1f us, "
                             "p90 %.1f us, p99 %.1f us, max %.1f us (%s)",
                             m_options.repeat, latencies.size(), seconds, rate, p50, p90, p99,
                             percentile(1), measured));
}

int Session::Close() {
    const std::int32_t status = m_client.CloseMsg(m_lHandle);
    if (status != NET_OK)
        return Fail(kCallFailed, "closing the connection to " + Where() +
                                     " failed: " + StatusText(status) + m_silence);
    return m_lBadStatus > 0 && !m_options.anyStatus ? kBadStatus : kDone;
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
    FILE* stream = std::fopen(options.trace.c_str(), "a");
    if (stream == nullptr) {
        Report(kUsageError,
               "cannot open the trace file " + options.trace + ": " + std::strerror(errno));
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

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "C.UTF-8");  // literals are UTF-8, whatever the terminal's locale
    // Known before the command line is read, so that its errors come in the right form.
    g_json = std::find(argv + 1, argv + argc, std::string("--json")) != argv + argc;
    Options options;
    try {
        if (!ParseArguments(argc, argv, options))
            return kDone;
    } catch (const UsageError& error) {
        return Report(kUsageError, error.message, error.lines, error.detail);
    }
    // The packer's line for every handle it packs would mix with the answers.
    if (NetPackerOutput() == stdout)
        NetPackerOutput(stderr);
    if (!KnownHost(options.host))
        return Report(kUnknownHost, "unknown host " + options.host);
    std::unique_ptr<NetServer> traceServer(options.trace.empty() ? nullptr
                                                                 : MakeTraceServer(options));
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
