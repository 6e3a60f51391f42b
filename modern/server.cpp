// SPDX-License-Identifier: Apache-2.0
#include "zornet/server.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <new>

#include "net/net_xdr.h"
#include "net/nethndl.h"
#include "net/netserv.h"
#include "zo/zoinput.h"

namespace zornet {

// What every event object of one server reads: the server, for traces, and the hooks.
struct ServerShared {
    NetServer* server = nullptr;
    std::function<bool(Connection&)> accept;
    std::function<void(Connection&)> close;
};

// One service's handlers, shared by its registered event object and every connection's clone,
// so that a handler set later reaches live connections too.
struct ServiceRecord {
    std::string name;
    ServerShared* shared;
    IntegerHandler integer;
    RealHandler real;
    TextHandler text;
    UserHandler user;
};

// The library's event object: the registered one is only cloned, one clone per connection.
class ConnectionEvent : public NetEvent {
public:
    explicit ConnectionEvent(std::shared_ptr<ServiceRecord> service)
        : m_service(std::move(service)) {}

    NetEvent* Clone() override { return new (std::nothrow) ConnectionEvent(m_service); }
    void SetHndl(NetHostHndl* handle) override { m_connection.m_handle = handle; }

    std::int32_t ConnectionCreated() override {
        const auto& accept = m_service->shared->accept;
        if (!accept)
            return 1;
        bool accepted = false;
        Guard("accept hook", [&] { accepted = accept(m_connection); });
        return accepted ? 1 : 0;
    }

    std::int32_t ConnectionClosed() override {
        const auto& close = m_service->shared->close;
        if (close)
            Guard("close hook", [&] { close(m_connection); });
        return 1;
    }

    std::int32_t IntegerData(std::int32_t* value, std::uint32_t& flags) override {
        return Answer(m_service->integer, *value, flags, "integer call");
    }

    std::int32_t RealData(double* value, std::uint32_t& flags) override {
        return Answer(m_service->real, *value, flags, "real call");
    }

    std::int32_t StringData(char** text, std::uint32_t& flags) override {
        std::string value = *text != nullptr ? *text : "";
        const std::int32_t status = Answer(m_service->text, value, flags, "string call");
        if (status != NET_OK)
            return status;
        // The library releases the record's text with free().
        char* answer = strdup(value.c_str());
        if (answer == nullptr)
            return NET_NO_MEMORY;
        std::free(*text);
        *text = answer;
        return status;
    }

    std::int32_t UserData(void* data, std::uint32_t& /*flags*/) override {
        const UserHandler& handler = m_service->user;
        if (!handler)
            return NET_NO_EVENT;
        // The answer travels in the request's block; a call that brought none takes none back.
        auto* block = static_cast<MSGUSERDATA*>(data);
        return Guard("user call", [&] {
            std::vector<Value> values = FromWire(block);
            handler(m_connection, values);
            if (block != nullptr)
                Assign(*block, values);
        });
    }

private:
    // Runs a handler or hook; what it throws becomes a status and never reaches the library.
    template <typename Body>
    std::int32_t Guard(const char* what, Body body) {
        try {
            body();
            return NET_OK;
        } catch (const Error& error) {
            return error.Status();  // the handler's chosen answer
        } catch (const std::exception& error) {
            Trace(what, error.what());
        } catch (...) {
            Trace(what, "an exception that is not a std::exception");
        }
        return kStatusHandlerFailed;
    }

    // The value changes only when the handler returned; the answer then carries it back.
    template <typename Handler, typename T>
    std::int32_t Answer(const Handler& handler, T& value, std::uint32_t& flags, const char* what) {
        if (!handler)
            return NET_NO_EVENT;
        T answer = value;
        const std::int32_t status = Guard(what, [&] { handler(m_connection, answer); });
        if (status == NET_OK) {
            value = std::move(answer);
            flags |= NET_FLAG_RETURNDATA;
        }
        return status;
    }

    void Trace(const char* what, const char* text) {
        const std::string line = "zornet::Server " + std::string(what) + " of service \"" +
                                 m_service->name + "\" failed: " + text;
        m_service->shared->server->Trace(NET_TRACE_ERROR, line.c_str());
    }

    std::shared_ptr<ServiceRecord> m_service;
    Connection m_connection;
};

std::int32_t Connection::Handle() const {
    return m_handle != nullptr ? m_handle->m_lHandle : -1;
}

std::string Connection::PeerName() const {
    return m_handle != nullptr && m_handle->m_pszHost != nullptr ? m_handle->m_pszHost : "";
}

std::string Connection::PeerAddress() const {
    in_addr address{};
    address.s_addr = m_handle != nullptr ? m_handle->m_ulPeerAddress : 0;
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

std::string Connection::Service() const {
    return m_handle != nullptr && m_handle->m_pszService != nullptr ? m_handle->m_pszService : "";
}

NetHostHndl& Connection::Native() {
    if (m_handle == nullptr)
        throw std::logic_error("zornet::Connection: no handle yet");
    return *m_handle;
}

// Declared so that the loop outlives the server, which withdraws its pipe from it, and the
// services outlive the event objects the server deletes.
struct Server::Impl {
    std::unique_ptr<ZoInputLoop> ownLoop;
    ServerShared shared;
    std::map<std::string, std::shared_ptr<ServiceRecord>> services;
    std::unique_ptr<NetServer> server;

    void Start(ZoInputRegistration& loop, const Options& options) {
        server.reset(NetServer::CreateServer());
        if (server == nullptr)
            throw std::bad_alloc();
        if (options.settings)
            server->Settings() = *options.settings;
        server->Init(new NetXDRImp, options.port);
        server->StartServer(&loop);
        shared.server = server.get();
    }

    // The record of a service, registered with the library the first time.
    ServiceRecord& Find(const std::string& service) {
        auto found = services.find(service);
        if (found != services.end())
            return *found->second;
        auto record = std::make_shared<ServiceRecord>();
        record->name = service;
        record->shared = &shared;
        auto event = std::make_unique<ConnectionEvent>(record);
        const int status = server->RegisterFunc(service.c_str(), event.get());
        if (status != NET_OK)
            throw Error(status, "register the service \"" + service + "\"");
        event.release();  // the registry's now
        return *services.emplace(service, std::move(record)).first->second;
    }
};

Server::Server(std::uint16_t port)
    : Server([port] {
          Options options;
          options.port = port;
          return options;
      }()) {}

Server::Server(const Options& options) : m_impl(std::make_unique<Impl>()) {
    m_impl->ownLoop = std::make_unique<ZoInputLoop>();
    m_impl->Start(*m_impl->ownLoop, options);
}

Server::Server(ZoInputRegistration& loop, const Options& options)
    : m_impl(std::make_unique<Impl>()) {
    m_impl->Start(loop, options);
}

Server::~Server() = default;

void Server::Install(const std::string& service, IntegerHandler handler) {
    m_impl->Find(service).integer = std::move(handler);
}

void Server::Install(const std::string& service, RealHandler handler) {
    m_impl->Find(service).real = std::move(handler);
}

void Server::Install(const std::string& service, TextHandler handler) {
    m_impl->Find(service).text = std::move(handler);
}

void Server::Install(const std::string& service, UserHandler handler) {
    m_impl->Find(service).user = std::move(handler);
}

Server& Server::OnAccept(std::function<bool(Connection&)> hook) {
    m_impl->shared.accept = std::move(hook);
    return *this;
}

Server& Server::OnClose(std::function<void(Connection&)> hook) {
    m_impl->shared.close = std::move(hook);
    return *this;
}

void Server::Run() {
    if (m_impl->ownLoop == nullptr)
        throw std::logic_error("zornet::Server::Run: the application runs this server's loop");
    m_impl->ownLoop->Run();
}

void Server::Stop() {
    if (m_impl->ownLoop != nullptr)
        m_impl->ownLoop->Stop();
}

NetServer& Server::Native() {
    return *m_impl->server;
}

}  // namespace zornet
