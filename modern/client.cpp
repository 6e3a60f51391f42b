// SPDX-License-Identifier: Apache-2.0
#include "zornet/client.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "net/net_xdr.h"
#include "net/netclnt.h"

namespace zornet {

namespace {

std::string LocalName() {
    char name[256] = "localhost";
    gethostname(name, sizeof name - 1);
    return name;
}

// Releases a decoded answer's text or block when the answer has been read.
struct AnswerRelease {
    NetXDR& xdr;
    MSGUSERCALL* user = nullptr;
    MSGSTRINGCALL* text = nullptr;
    ~AnswerRelease() {
        if (user != nullptr)
            xdr.UserCall(-1, XDR_FREE, *user, 0);
        if (text != nullptr)
            xdr.StringCall(-1, XDR_FREE, *text);
    }
};

template <typename Record>
void Fill(Answer& reply, const Record& answer) {
    reply.status = static_cast<std::int32_t>(answer.ulStatus);
    reply.flags = answer.ulFlags;
    reply.handle = answer.lHandle;
}

}  // namespace

struct Client::Impl {
    NetXDRImp xdr;
    NetClient client{nullptr, &xdr, NET_PROTOCOL_VERSION};  // uses xdr: declared after it
    std::int32_t handle = 0;
    std::string where;  // "host port N", for the texts of errors

    void Connect(const std::string& host, const std::string& service, std::uint16_t port,
                 const Options& options);

    // A call's error: the library's own (32, 33), reported with the call's name.
    void Require(ZoErrorCode error, const char* call) const {
        if (error != NET_OK)
            throw Error(error, std::string(call) + " to " + where);
    }

    Reply<std::int32_t> Integer(std::int32_t value, std::uint32_t flags);
    Reply<double> Real(double value, std::uint32_t flags);
    Reply<std::string> Text(const std::string& text, std::uint32_t flags);
    UserReply User(const std::vector<Value>& values, std::uint16_t type, std::uint32_t flags);
};

void Client::Impl::Connect(const std::string& host, const std::string& service, std::uint16_t port,
                           const Options& options) {
    const std::string name = options.localName.empty() ? LocalName() : options.localName;
    client.m_ulVersion = options.version;
    client.SetTimeout(static_cast<std::int32_t>(
        std::min<std::chrono::milliseconds::rep>(options.timeout.count(), INT32_MAX)));
    for (;;) {
        std::int32_t status = client.CreateSocket(host.c_str(), port);
        where = host + " port " + std::to_string(client.m_usPort);
        if (status == NET_OK)
            status = client.ConnectMsg(name.c_str(), service.c_str(), handle);
        if (status == NET_OK)
            return;
        // An older server: offer the next lower version on a new connection.
        if (status != NET_BAD_VERSION || client.m_ulVersion == 0)
            throw Error(status, "connect to \"" + service + "\" on " + where);
        if (--client.m_ulVersion < NET_PROTOCOL_VERSION)
            client.m_bUnicode = false;
    }
}

Reply<std::int32_t> Client::Impl::Integer(std::int32_t value, std::uint32_t flags) {
    MSGINTCALL request{value, 0, flags, handle};
    ZoErrorCode error = NET_OK;
    const MSGINTCALL answer = client.IntegerMsg(request, error);
    Require(error, "integer call");
    Reply<std::int32_t> reply;
    Fill(reply, answer);
    reply.value = answer.lValue;
    return reply;
}

Reply<double> Client::Impl::Real(double value, std::uint32_t flags) {
    MSGREALCALL request{value, 0, flags, handle};
    ZoErrorCode error = NET_OK;
    const MSGREALCALL answer = client.RealMsg(request, error);
    Require(error, "real call");
    Reply<double> reply;
    Fill(reply, answer);
    reply.value = answer.dValue;
    return reply;
}

Reply<std::string> Client::Impl::Text(const std::string& text, std::uint32_t flags) {
    // The encoder only reads the text; the record's field is not const for the decoder's sake.
    MSGSTRINGCALL request{const_cast<char*>(text.c_str()), 0, flags, handle};
    ZoErrorCode error = NET_OK;
    MSGSTRINGCALL answer = client.StringMsg(request, error);
    AnswerRelease release{xdr, nullptr, &answer};  // also what a failed read left
    Require(error, "string call");
    Reply<std::string> reply;
    Fill(reply, answer);
    if (answer.pszValue != nullptr)
        reply.value = answer.pszValue;
    return reply;
}

UserReply Client::Impl::User(const std::vector<Value>& values, std::uint16_t type,
                             std::uint32_t flags) {
    // Always a block, if an empty one: the server answers in the request's block, and a call
    // without one could bring no values back.
    BlockPtr block = ToBlock(values, type);
    MSGUSERCALL request{0, flags, handle, 0, 0, 0, block.get()};
    ZoErrorCode error = NET_OK;
    MSGUSERCALL answer = client.UserMsg(request, error);
    AnswerRelease release{xdr, &answer, nullptr};  // also what a failed read left
    Require(error, "user call");
    UserReply reply;
    Fill(reply, answer);
    reply.values = FromWire(answer.pData);
    reply.type = static_cast<std::uint16_t>(answer.ulType);
    return reply;
}

Client::Client(const std::string& host, const std::string& service, std::uint16_t port)
    : Client(host, service, port, Options()) {}

Client::Client(const std::string& host, const std::string& service, std::uint16_t port,
               const Options& options)
    : m_impl(std::make_unique<Impl>()) {
    m_impl->Connect(host, service, port, options);
}

Client::~Client() {
    Close();
}

Client::Client(Client&&) noexcept = default;

Client& Client::operator=(Client&& other) noexcept {
    if (this != &other) {
        Close();
        m_impl = std::move(other.m_impl);
    }
    return *this;
}

Client::Impl& Client::Use() {
    if (m_impl == nullptr)
        throw Error(NET_NOT_CONNECTED, "a moved-from client");
    return *m_impl;
}

Reply<std::int32_t> Client::Call(std::int32_t value) {
    return Use().Integer(value, NET_FLAG_RETURNDATA);
}

Reply<double> Client::Call(double value) {
    return Use().Real(value, NET_FLAG_RETURNDATA);
}

Reply<std::string> Client::Call(const std::string& text) {
    return Use().Text(text, NET_FLAG_RETURNDATA);
}

UserReply Client::Call(const std::vector<Value>& values, std::uint16_t type) {
    return Use().User(values, type, 0);
}

void Client::Send(std::int32_t value) {
    Use().Integer(value, NET_FLAG_NOREPLY);
}

void Client::Send(double value) {
    Use().Real(value, NET_FLAG_NOREPLY);
}

void Client::Send(const std::string& text) {
    Use().Text(text, NET_FLAG_NOREPLY);
}

void Client::Send(const std::vector<Value>& values, std::uint16_t type) {
    Use().User(values, type, NET_FLAG_NOREPLY);
}

void Client::Close() {
    if (m_impl != nullptr && m_impl->client.m_bConnected)
        m_impl->client.CloseMsg(m_impl->handle);
    if (m_impl != nullptr)
        m_impl->client.CloseSocket();  // when the close message could not go out
}

bool Client::Connected() const {
    return m_impl != nullptr && m_impl->client.m_bConnected;
}

std::int32_t Client::Handle() const {
    return m_impl != nullptr ? m_impl->handle : -1;
}

std::uint32_t Client::Version() const {
    return m_impl != nullptr ? m_impl->client.m_ulVersion : 0;
}

bool Client::Unicode() const {
    return m_impl != nullptr && m_impl->client.m_bUnicode;
}

NetClient& Client::Native() {
    return Use().client;
}

}  // namespace zornet
