// The smallest server: serves "double" on the port given as its argument (default 5001).
// Integer calls come back doubled; user calls come back with every integer value doubled.
// Ctrl-C stops it.
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "net/net.h"

namespace {

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

ZoInputLoop* g_loop = nullptr;

extern "C" void Stop(int) {
    g_loop->Stop();
}

}  // namespace

int main(int argc, char** argv) {
    auto port = static_cast<std::uint16_t>(argc > 1 ? std::atoi(argv[1]) : NET_DEFAULT_PORT);

    ZoInputLoop loop;  // outlives the server, which withdraws its pipe from it
    g_loop = &loop;
    std::signal(SIGINT, Stop);
    std::signal(SIGTERM, Stop);

    NetServer* server = NetServer::CreateServer();
    server->Init(new NetXDRImp, port);  // the server owns the encoder
    server->StartServer(&loop);         // this thread becomes the main thread
    if (server->RegisterFunc("double", new Doubler) != NET_OK) {
        std::fprintf(stderr, "cannot listen on port %u\n", port);
        delete server;
        return 1;
    }
    std::printf("serving \"double\" on port %u\n", port);
    std::fflush(stdout);
    loop.Run();     // every call reaches Doubler from here
    delete server;  // ends the connections and joins their threads
    return 0;
}
