// SPDX-License-Identifier: Apache-2.0
// zornet::Server: serves calls with plain C++ functions.
//
//   zornet::Server server(5001);                                   // owns its input loop
//   server.Serve("double", [](int x) { return 2 * x; });          // integer calls
//   server.Serve("double", [](double x) { return 2 * x; });       // real calls, same service
//   server.Serve("echo", [](std::vector<zornet::Value> v) { return v; });  // user calls
//   server.Run();                                                  // until server.Stop()
//
// A handler's argument type picks the call kind it serves: an integer type (integer calls),
// a floating type (real calls), std::string or std::string_view (string calls), or
// std::vector<zornet::Value> (user calls). It may take a zornet::Connection& first, for the
// connection's own state. It returns the answer's value, or nothing: then the value goes back
// as it came (as the handler left it, for a user handler taking its values by reference).
// Handlers, like every hook, run on the main thread: the thread that runs the input loop.
//
// Answers: a handler that returns answers with status 1 (NET_OK). One that throws
// zornet::Error answers with that error's status; any other exception answers with
// kStatusHandlerFailed, and is traced at NET_TRACE_ERROR. The server itself never sees the
// exception. A call of a kind that no handler serves answers 11 (NET_NO_EVENT).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "net/netsettings.h"
#include "zornet/error.h"
#include "zornet/value.h"

class NetHostHndl;
class NetServer;
class ZoInputRegistration;

namespace zornet {

// One connection as its handlers see it. Lives from the connection's acceptance to its close;
// main thread only.
class ZORNET_API Connection {
public:
    std::int32_t Handle() const;      // the connection's handle number
    std::string PeerName() const;     // the name the peer gave for itself in the handshake
    std::string PeerAddress() const;  // the peer's IPv4 address, dotted
    std::string Service() const;      // the service name it connected to

    template <typename T>
    T& State() {
        if (m_state == nullptr)
            m_state = std::make_unique<Holder<T>>();
        auto* holder = dynamic_cast<Holder<T>*>(m_state.get());
        if (holder == nullptr)
            throw std::logic_error("zornet::Connection::State: it holds another type");
        return holder->value;
    }
    // This connection's own T, made (value-initialised) on first use and released with the
    // connection. One type per connection.

    NetHostHndl& Native();  // the protocol-shaped handle underneath

private:
    friend class ConnectionEvent;
    struct Base {
        virtual ~Base() = default;
    };
    template <typename T>
    struct Holder : Base {
        T value{};
    };
    NetHostHndl* m_handle = nullptr;
    std::unique_ptr<Base> m_state;
};

// The stored forms of handlers: each answers in place.
using IntegerHandler = std::function<void(Connection&, std::int32_t&)>;
using RealHandler = std::function<void(Connection&, double&)>;
using TextHandler = std::function<void(Connection&, std::string&)>;
using UserHandler = std::function<void(Connection&, std::vector<Value>&)>;

/// @cond INTERNAL: how Serve reads a handler's signature, not part of the interface
namespace detail {

template <typename F>
struct Callable : Callable<decltype(&F::operator())> {};
template <typename R, typename... A>
struct Callable<R (*)(A...)> {
    using Result = R;
    using Args = std::tuple<A...>;
};
template <typename R, typename... A>
struct Callable<R (*)(A...) noexcept> : Callable<R (*)(A...)> {};
template <typename R, typename... A>
struct Callable<R(A...)> : Callable<R (*)(A...)> {};
template <typename C, typename R, typename... A>
struct Callable<R (C::*)(A...)> : Callable<R (*)(A...)> {};
template <typename C, typename R, typename... A>
struct Callable<R (C::*)(A...) const> : Callable<R (*)(A...)> {};
template <typename C, typename R, typename... A>
struct Callable<R (C::*)(A...) noexcept> : Callable<R (*)(A...)> {};
template <typename C, typename R, typename... A>
struct Callable<R (C::*)(A...) const noexcept> : Callable<R (*)(A...)> {};

// The call kind an argument type serves: the value type its calls carry, or void for none.
template <typename A>
using CallValue = std::conditional_t<
    std::is_same_v<A, std::vector<Value>>, std::vector<Value>,
    std::conditional_t<
        std::is_integral_v<A> && !std::is_same_v<A, bool>, std::int32_t,
        std::conditional_t<std::is_floating_point_v<A>, double,
                           std::conditional_t<std::is_same_v<A, std::string> ||
                                                  std::is_same_v<A, std::string_view>,
                                              std::string, void>>>>;

template <typename F>
auto Wrap(F f) {
    using Traits = Callable<std::decay_t<F>>;
    using Args = typename Traits::Args;
    constexpr std::size_t arity = std::tuple_size_v<Args>;
    static_assert(arity == 1 || arity == 2,
                  "a handler takes its value, or a zornet::Connection& and its value");
    using Param = std::tuple_element_t<arity - 1, Args>;
    using T = CallValue<std::decay_t<Param>>;
    static_assert(!std::is_void_v<T>,
                  "a handler's value is an integer, a floating type, std::string, "
                  "std::string_view or std::vector<zornet::Value>");
    if constexpr (arity == 2)
        static_assert(std::is_same_v<std::tuple_element_t<0, Args>, Connection&>,
                      "a handler's first parameter, when it has two, is zornet::Connection&");
    using R = typename Traits::Result;
    // A non-const reference parameter changes the value in place; otherwise the handler gets
    // its own copy (moved when its result replaces the value anyway).
    constexpr bool inPlace =
        std::is_lvalue_reference_v<Param> && !std::is_const_v<std::remove_reference_t<Param>>;
    return std::function<void(Connection&, T&)>(
        [f = std::move(f)](Connection& c, T& value) mutable {
            auto call = [&](auto&& arg) -> decltype(auto) {
                if constexpr (arity == 2)
                    return f(c, std::forward<decltype(arg)>(arg));
                else
                    return f(std::forward<decltype(arg)>(arg));
            };
            if constexpr (std::is_void_v<R>)
                call(value);
            else if constexpr (inPlace)
                value = static_cast<T>(call(value));
            else
                value = static_cast<T>(call(std::move(value)));
        });
}

}  // namespace detail
/// @endcond

struct ServerOptions {
    std::uint16_t port = 0;
    // The default port: what services without ":port" use. 0 selects the "olmnet" services
    // entry, or 5001.
    std::optional<NetSettings> settings;
    // The server's limits; the defaults and the environment (netsettings.h) when empty.
};

class ZORNET_API Server {
public:
    using Options = ServerOptions;

    explicit Server(std::uint16_t port = 0);
    explicit Server(const Options& options);
    // Owns a ZoInputLoop: the thread that calls Run() is the main thread.
    explicit Server(ZoInputRegistration& loop, const Options& options = Options());
    // Served through the application's own input loop (or an event-loop adapter), which must
    // outlive the server; Run() and Stop() are the application's loop's business then.

    ~Server();
    // The thread that runs the loop, once the loop no longer runs. Ends every connection and
    // joins the library's threads.

    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    template <typename F>
    Server& Serve(const std::string& service, F handler) {
        Install(service, detail::Wrap(std::move(handler)));
        return *this;
    }
    // Main thread (or before Run). "name" or "name:port". The first handler of a service
    // registers it and opens its port: zornet::Error when that fails (10: the port cannot be
    // opened). A later handler of the same kind replaces the earlier one, for live
    // connections too.

    Server& OnAccept(std::function<bool(Connection&)> hook);
    // Main thread (or before Run). Asked for each new connection of every service; false (or an
    // exception) refuses it, and the server closes it.
    Server& OnClose(std::function<void(Connection&)> hook);
    // Main thread (or before Run). Told when an accepted connection has ended.

    void Run();
    // The main thread. Serves until Stop(); std::logic_error on a server without its own loop.
    void Stop();
    // Any thread, and async-signal-safe: Run() returns after the current pass. A Stop() before
    // Run() makes it return at once.

    NetServer& Native();  // the protocol-shaped server underneath (trace, user data)

private:
    void Install(const std::string& service, IntegerHandler handler);
    void Install(const std::string& service, RealHandler handler);
    void Install(const std::string& service, TextHandler handler);
    void Install(const std::string& service, UserHandler handler);

    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace zornet
