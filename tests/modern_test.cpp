// SPDX-License-Identifier: Apache-2.0
// The zornet:: layer: values in the library's form and back, their printing, and calls between
// the new layer and the protocol-shaped one in both directions, handler failures included.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "servtest.h"
#include "zornet/client.h"
#include "zornet/server.h"
#include "zornet/value.h"

namespace {

using zornet::Value;
using List = Value::List;

struct Row {
    Value value;
    const char* printed;             // netcall's literal for it
    const char* received = nullptr;  // what a peer receives, when the wire changes it
};

const char kNotUtf8[] = "\"\\u0001\\xFF\"";

// Every kind of value the wire carries, each distinct from every other.
const std::vector<Row>& Rows() {
    static const std::vector<Row> rows = {
        {Value(), "none"},
        {true, "true"},
        {false, "false"},
        {-5, "-5"},
        {INT32_MIN, "-2147483648"},
        {1.5, "1.5"},
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {2000.0, "2000.0"},
        {1e20, "1e+20"},
        {1e15, "1e+15"},
        {-0.0001, "-0.0001"},
        {NAN, "nan"},
        {-INFINITY, "-inf"},
        {"", "\"\"", "none"},
        {"h\"i\\ \n\t\r é 😀", "\"h\\\"i\\\\ \\n\\t\\r é 😀\""},
        {"\x01\xFF", kNotUtf8},
        {Value::Time{12, 30, 5}, "t12:30:05"},
        {Value::Date{2024, 1205}, "d2024/1205"},
        {Value::Handle{42}, "h7:42"},
        {Value::Handle{-1, NET_TYPE_HANDLE_LAST}, "h31:-1"},
        {List({1, 2, 3}, 2), "[1, 2, 3 @2]"},
        {List::Of(NET_TYPE_INTEGER), "[:int @0]"},
        {List::Of(NET_TYPE_HANDLE_FIRST + 2), "[:h9 @0]"},
        {List({Value(), Value()}, 1), "[none, none @1]"},
        {List{"a", ""}, "[\"a\", \"\" @0]"},
        {List({Value::Time{1, 2, 3}}, 9), "[t01:02:03 @9]", "[t01:02:03 @1]"},
        {List({1.5, Value()}, -1), "[1.5, none @-1]", "[1.5, none @0]"},
        {List{true, false}, "[true, false @0]"},
        {List{Value::Handle{1, 32008}, Value::Handle{2, 32008}}, "[h8:1, h8:2 @0]"},
        {Value::Reference(2.5, 2), "&&2.5"},
        {Value::Reference(List({1}, 1)), "&[1 @1]"},
        {Value::Reference(Value()), "&none"},
    };
    return rows;
}

std::vector<Value> RowValues() {
    std::vector<Value> values;
    for (const Row& row : Rows())
        values.push_back(row.value);
    return values;
}

TEST(ModernValue, PrintsAsNetcallAndSurvivesTheLibrarysForm) {
    const std::vector<Row>& rows = Rows();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].value.Print(), rows[i].printed);
        for (std::size_t j = 0; j < rows.size(); ++j)
            EXPECT_EQ(rows[i].value == rows[j].value, i == j) << rows[i].printed << rows[j].printed;
        sL_VALUE out;
        zornet::ToWire(rows[i].value, out);
        EXPECT_EQ(zornet::FromWire(out), rows[i].value) << rows[i].printed;
        NET_DisposeVDXData(&out);
    }
    // A block's values are replaced whole; the type word stays.
    zornet::BlockPtr block = zornet::ToBlock(RowValues(), 9);
    EXPECT_EQ(zornet::FromWire(block.get()), RowValues());
    zornet::Assign(*block, {Value(7)});
    EXPECT_EQ(zornet::Print(zornet::FromWire(block.get())), "7");
    EXPECT_EQ(block->usType, 9);
}

// Refused before anything is allocated: the target and the block stay as they were.
TEST(ModernValue, ValuesThatCannotTravelAreRefused) {
    const List refused[] = {List{1, "a"}, List{Value(List{1})}, List{1, Value::Reference(1)},
                            List{1, Value()}, List::Of(5)};
    for (const List& list : refused) {
        sL_VALUE out;
        zornet::ToWire(2.5, out);
        EXPECT_THROW(zornet::ToWire(list, out), std::invalid_argument) << Value(list);
        EXPECT_EQ(zornet::FromWire(out), Value(2.5));
        NET_DisposeVDXData(&out);
        zornet::BlockPtr block = zornet::ToBlock({"kept"});
        EXPECT_THROW(zornet::Assign(*block, {1, list}), std::invalid_argument);
        EXPECT_EQ(zornet::Print(zornet::FromWire(block.get())), "\"kept\"");
    }
    EXPECT_THROW(Value(Value::Handle{1, NET_TYPE_HANDLE_LAST + 1}), std::invalid_argument);
    EXPECT_THROW(Value::Reference(Value::Reference(1, 32767)), std::invalid_argument);
    EXPECT_THROW(Value(0x80000000u), std::out_of_range);
}

// A zornet::Server whose loop runs on a thread of its own while the test lasts.
struct Running {
    explicit Running(zornet::Server& s) : server(s), thread([this] { server.Run(); }) {}
    ~Running() {
        server.Stop();
        thread.join();
    }
    zornet::Server& server;
    std::thread thread;
};

// A protocol-shaped service that sends a user call's values back as they came.
struct PlainEcho : NetEvent {
    NetEvent* Clone() override { return new PlainEcho; }
    std::int32_t UserData(void*, std::uint32_t&) override { return NET_OK; }
};

// Every kind through both layers: the new client against the new server and against a
// protocol-shaped one, and the protocol-shaped client against the new server.
TEST(ModernCalls, EveryKindCrossesBetweenTheLayers) {
    const std::vector<Value> values = RowValues();
    for (const bool unicode : {false, true}) {
        if (unicode)
            setenv("ZOR_NET_USE_UNICODE", "", 1);
        const std::uint16_t modernPort = testutil::FreePort();
        zornet::Server modern(modernPort);
        servtest::LoopServer plain;
        unsetenv("ZOR_NET_USE_UNICODE");
        modern.Serve("echo", [](std::vector<Value> v) { return v; }).Serve("echo", [](int x) {
            return x + 1;
        });
        ASSERT_EQ(plain.server->RegisterFunc("echo", new PlainEcho), NET_OK);
        plain.Start();
        Running running(modern);
        std::vector<std::function<std::vector<Value>()>> paths = {
            [&] { return zornet::Client("127.0.0.1", "echo", modernPort).Call(values).Get(); },
            [&] { return zornet::Client("127.0.0.1", "echo", plain.Port()).Call(values).Get(); },
            [&] {
                servtest::Client c;
                EXPECT_EQ(c.Connect(modernPort), NET_OK);
                zornet::BlockPtr block = zornet::ToBlock(values);
                MSGUSERCALL call{0, 0, c.handle, 0, 0, 0, block.get()};
                ZoErrorCode error = 0;
                MSGUSERCALL answer = c.client.UserMsg(call, error);
                EXPECT_EQ(error, NET_OK);
                std::vector<Value> back = zornet::FromWire(answer.pData);
                c.xdr.UserCall(-1, XDR_FREE, answer, 0);
                // A caller that did not ask for the value back gets it all the same.
                EXPECT_EQ(c.Integer(41, 0, error).lValue, 42);
                return back;
            },
        };
        for (std::size_t path = 0; path < paths.size(); ++path) {
            const std::vector<Value> back = paths[path]();
            ASSERT_EQ(back.size(), values.size()) << path;
            for (std::size_t i = 0; i < values.size(); ++i) {
                const Row& row = Rows()[i];
                std::string expected = row.received != nullptr ? row.received : row.printed;
                if (unicode && expected == kNotUtf8)
                    expected = "\"\\u0001\xEF\xBF\xBD\"";  // travels as UTF-16
                EXPECT_EQ(back[i].Print(), expected) << "path " << path << " unicode " << unicode;
            }
        }
    }
}

// The status of the zornet::Error that f throws; NET_OK when it throws none.
std::int32_t StatusOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const zornet::Error& error) {
        return error.Status();
    }
    return NET_OK;
}

// What the server answers for each outcome of a handler, and what the client makes of it.
TEST(ModernCalls, HandlersAnswerWithValuesOrFailureStatuses) {
    servtest::TraceCapture trace;  // outlives the server, which closes it
    const std::uint16_t port = testutil::FreePort();
    zornet::Server server(port);
    server.Native().TraceFile(trace.Stream());
    std::atomic<int> oneWay{0};
    server
        .Serve("calc",
               [&](int x) {
                   if (x == 13)
                       throw zornet::Error(NET_NO_HANDLE);
                   if (x == 666)
                       throw std::runtime_error("boom");
                   return x < 0 ? (++oneWay, x) : 2 * x;
               })
        .Serve("calc", [](zornet::Connection& c, double x) { return x + ++c.State<int>(); })
        .Serve("calc", [](std::string_view s) { return "echo:" + std::string(s); })
        .Serve("calc",
               [](std::vector<Value>& v) {
                   v.emplace_back(static_cast<int>(v.size()));  // in place, unless it throws
                   if (v.front() == Value("throw"))
                       throw 5;
               })
        .Serve("ints", [](int x) { return x; });
    Running running(server);
    zornet::Client c("127.0.0.1", "calc", port), other("127.0.0.1", "calc", port),
        ints("127.0.0.1", "ints", port);

    using Outcome = std::pair<std::int32_t, std::string>;
    auto of = [](const auto& reply) {
        if constexpr (std::is_same_v<std::decay_t<decltype(reply)>, zornet::UserReply>)
            return Outcome{reply.status, zornet::Print(reply.values)};
        else
            return Outcome{reply.status, Value(reply.value).Print()};
    };
    // A failed call's value comes back as it was sent: the client asked for it back.
    const std::vector<std::pair<std::function<Outcome()>, Outcome>> cases = {
        {[&] { return of(c.Call(21)); }, {NET_OK, "42"}},
        {[&] { return of(c.Call(13)); }, {NET_NO_HANDLE, "13"}},
        {[&] { return of(c.Call(666)); }, {zornet::kStatusHandlerFailed, "666"}},
        {[&] { return of(c.Call(1.5)); }, {NET_OK, "2.5"}},
        {[&] { return of(c.Call(1.5)); }, {NET_OK, "3.5"}},      // this connection's state
        {[&] { return of(other.Call(1.5)); }, {NET_OK, "2.5"}},  // and the other's
        {[&] { return of(c.Call("x")); }, {NET_OK, "\"echo:x\""}},
        {[&] {
             return of(c.Call({1, "a"}));
         },
         {NET_OK, "1 \"a\" 2"}},
        {[&] {
             return of(c.Call({"throw", 1}));
         },
         {zornet::kStatusHandlerFailed, "\"throw\" 1"}},
        {[&] { return of(ints.Call(2.5)); }, {NET_NO_EVENT, "2.5"}},
        {[&] { return c.Send(-3), of(c.Call(-3)); }, {NET_OK, "-3"}},
    };
    for (const auto& [call, expected] : cases)
        EXPECT_EQ(call(), expected);
    EXPECT_EQ(oneWay, 2);
    EXPECT_EQ(StatusOf([&] { c.Call(13).Get(); }), NET_NO_HANDLE);
    EXPECT_TRUE(trace.WaitFor("zornet::Server integer call of service \"calc\" failed: boom"));
}

// Connections that cannot be made, refused and closed ones; the application's own loop.
TEST(ModernCalls, ConnectionsFailWithTheirStatusAndHooksSeeThem) {
    zornet::Server::Options options;
    options.port = testutil::FreePort();
    ZoInputLoop loop;  // outlives the server
    zornet::Server server(loop, options);
    std::atomic<int> accepted{0}, closed{0};
    server.Serve("calc", [](int x) { return x; })
        .OnAccept([&](zornet::Connection& c) {
            const bool ok = c.PeerName() == "tester" && c.PeerAddress() == "127.0.0.1" &&
                            c.Service() == "calc" && c.Handle() >= 0;
            return ok && ++accepted;
        })
        .OnClose([&](zornet::Connection&) { ++closed; });
    EXPECT_THROW(server.Run(), std::logic_error);
    std::thread thread([&] { loop.Run(); });

    auto connect = [&](const char* name, const char* service, std::uint16_t port) {
        zornet::Client::Options as;
        as.localName = name;
        return zornet::Client("127.0.0.1", service, port, as);
    };
    const std::pair<std::function<void()>, std::int32_t> failures[] = {
        {[&] { connect("tester", "calc", testutil::FreePort()); }, NET_SOCKET_ERROR},
        {[&] { connect("tester", "nothing", options.port); }, NET_NO_SERVICE},
        {[&] { connect("refused", "calc", options.port).Call(1); }, NET_SOCKET_ERROR},
    };
    for (const auto& [attempt, status] : failures)
        EXPECT_EQ(StatusOf(attempt), status);

    zornet::Client c = connect("tester", "calc", options.port);
    EXPECT_EQ(c.Call(5).Get(), 5);
    EXPECT_EQ(accepted, 1);
    c.Close();
    EXPECT_EQ(StatusOf([&] { c.Call(1); }), NET_NOT_CONNECTED);
    EXPECT_TRUE(testutil::WaitUntil([&] { return closed == 1; }));
    loop.Stop();
    thread.join();
}

// The client's time-out reaches the connection (each wait it bounds is in netclnt_test).
TEST(ModernCalls, TimeOutEndsTheWaitForTheServer) {
    zornet::Client::Options options;
    options.timeout = std::chrono::milliseconds(50);
    testutil::Peer silent([](int fd, int) {
        testutil::Hello hello(fd);
        testutil::PeerEnded(fd);  // until the client gives up
    });
    EXPECT_EQ(StatusOf([&] { zornet::Client("127.0.0.1", "calc", silent.Port(), options); }),
              NET_SOCKET_ERROR);
}

}  // namespace
