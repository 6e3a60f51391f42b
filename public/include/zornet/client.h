// SPDX-License-Identifier: Apache-2.0
// zornet::Client: one connection to a service, open for the object's lifetime.
//
//   zornet::Client c("127.0.0.1", "double", 5001);
//   std::int32_t four = c.Call(2).Get();                    // integer call
//   auto reply = c.Call({1, "two", zornet::Value::List{3, 4}});  // user call
//   std::cout << zornet::Print(reply.values);
//
// Failures throw (zornet/error.h): zornet::Error when the connection cannot be made or a call
// cannot be sent or answered. The remote application's own answer comes back as the reply's
// status; Get() turns a status other than success into zornet::Error as well.
// A client is used by one thread at a time; every call blocks that thread until its answer.
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "net/netproto.h"
#include "zornet/error.h"
#include "zornet/value.h"

class NetClient;

namespace zornet {

// What every answer carries besides its value.
struct Answer {
    std::int32_t status = 0;  // the remote application's answer; NET_OK (1) is success
    std::uint32_t flags = 0;  // the call's flags as the remote application left them
    std::int32_t handle = 0;  // the connection's handle number on the server

    bool Ok() const { return status == NET_OK; }
    void Check() const {
        if (!Ok())
            throw Error(status, "the call's answer");
    }
};

template <typename T>
struct Reply : Answer {
    T value{};
    const T& Get() const {  // the value, once the status says success; else zornet::Error
        Check();
        return value;
    }
};

struct UserReply : Answer {
    std::vector<Value> values;
    std::uint16_t type = 0;                  // the argument block's type word
    const std::vector<Value>& Get() const {  // the values, once the status says success
        Check();
        return values;
    }
};

class ZORNET_API Client {
public:
    struct Options {
        std::string localName;
        // The name this side gives for itself in the handshake; empty: the host's name.
        std::uint32_t version = NET_PROTOCOL_VERSION;
        // The highest protocol version offered; a server that refuses it is offered the next
        // lower one, down to 0.
        std::chrono::milliseconds timeout{0};
        // 0: wait for the server as long as the connection lasts. Otherwise each wait (the
        // connect, the handshake's answer, a call's answer, the close message) ends after this
        // long with zornet::Error (32), and the connection is given up.
    };

    Client(const std::string& host, const std::string& service, std::uint16_t port = 0);
    Client(const std::string& host, const std::string& service, std::uint16_t port,
           const Options& options);
    // Connects and runs the handshake; zornet::Error with the status when either fails (31: the
    // server does not serve the service). Port 0 selects the "olmnet" services entry, or 5001.
    // The host is a dotted IPv4 address or a name.

    ~Client();  // sends the close message if still connected; never throws
    Client(Client&&) noexcept;
    Client& operator=(Client&&) noexcept;

    // Calls: each sends one request and waits for its answer. The integer, real and string
    // calls ask for the value back (NET_FLAG_RETURNDATA); a user call's values always come
    // back. A text that the server left out reads as "".
    Reply<std::int32_t> Call(std::int32_t value);
    Reply<double> Call(double value);
    Reply<std::string> Call(const std::string& text);
    Reply<std::string> Call(const char* text) { return Call(std::string(text)); }
    UserReply Call(std::initializer_list<Value> values) { return Call(std::vector<Value>(values)); }
    UserReply Call(const std::vector<Value>& values, std::uint16_t type = 0);
    // c.Call({42}) is a user call with one value; c.Call(42) an integer call.

    // One-way calls: sent with NET_FLAG_NOREPLY, nothing comes back.
    void Send(std::int32_t value);
    void Send(double value);
    void Send(const std::string& text);
    void Send(const char* text) { Send(std::string(text)); }
    void Send(std::initializer_list<Value> values) { Send(std::vector<Value>(values)); }
    void Send(const std::vector<Value>& values, std::uint16_t type = 0);

    void Close();
    // Sends the close message and closes the socket; later calls throw zornet::Error (33).
    // Nothing happens on a closed client.

    bool Connected() const;
    std::int32_t Handle() const;    // the handle number the server gave this connection
    std::uint32_t Version() const;  // the protocol version the server accepted
    bool Unicode() const;           // user-call strings travel as UTF-16
    NetClient& Native();            // the protocol-shaped client underneath

private:
    struct Impl;
    Impl& Use();  // zornet::Error (33) on a moved-from client
    std::unique_ptr<Impl> m_impl;
};

}  // namespace zornet
