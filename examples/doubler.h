// SPDX-License-Identifier: Apache-2.0
// The event object of the example servers, and their start: each serves "double" on the port
// given as its first argument (default 5001). Integer calls come back doubled; user calls come
// back with every integer value doubled.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "net/net.h"

// One object per connection: the server asks the registered one for a Clone() per connection,
// and calls it on the main thread only.
class Doubler : public NetEvent {
public:
    NetEvent* Clone() override { return new Doubler; }

    std::int32_t IntegerData(std::int32_t* value, std::uint32_t& flags) override {
        *value *= 2;
        flags |= NET_FLAG_RETURNDATA;  // send the value back, not only the status
        return NET_OK;
    }

    std::int32_t UserData(void* data, std::uint32_t&) override {
        auto* block = static_cast<MSGUSERDATA*>(data);  // null when the call has no values
        for (std::int32_t i = 0; block != nullptr && i < block->lCount; ++i) {
            sL_VALUE& value = block->pValues[i];
            if (value.fValid && !value.fReference && value.usType == NET_TYPE_INTEGER)
                value.data.lValue *= 2;
        }
        return NET_OK;  // a user call's values always travel back
    }
};

// A server serving "double" from the loop behind reg, whose thread becomes the main thread; null
// when it cannot listen. The caller deletes it on that thread.
inline NetServer* StartDoubler(int argc, char** argv, ZoInputRegistration& reg) {
    auto port = static_cast<std::uint16_t>(argc > 1 ? std::atoi(argv[1]) : NET_DEFAULT_PORT);
    NetServer* server = NetServer::CreateServer();
    server->Init(new NetXDRImp, port);  // the server owns the encoder
    server->StartServer(&reg);
    if (server->RegisterFunc("double", new Doubler) != NET_OK) {
        std::fprintf(stderr, "cannot listen on port %u\n", port);
        delete server;
        return nullptr;
    }
    std::printf("serving \"double\" on port %u\n", port);
    std::fflush(stdout);
    return server;
}
