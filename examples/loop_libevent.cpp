// SPDX-License-Identifier: Apache-2.0
// The smallest server on a libevent event_base: serves "double" (see doubler.h) on the port given
// as its argument (default 5001) until SIGINT or SIGTERM.
#include <event2/event.h>

#include <csignal>

#include "doubler.h"
#include "net/loop/libevent.h"

namespace {

struct App {
    event_base* base;
    NetServer* server;
};

void Stop(evutil_socket_t, short, void* arg) {
    auto* app = static_cast<App*>(arg);
    delete app->server;  // on the loop's thread
    app->server = nullptr;
    event_base_loopbreak(app->base);
}

}  // namespace

int main(int argc, char** argv) {
    event_base* base = event_base_new();
    int status = 1;
    {
        NetLibeventInput input(base);  // outlives the server, which withdraws its pipe from it
        App app{base, StartDoubler(argc, argv, input)};  // the loop's thread is the main thread
        if (app.server != nullptr) {
            event* sigint = evsignal_new(base, SIGINT, Stop, &app);
            event* sigterm = evsignal_new(base, SIGTERM, Stop, &app);
            event_add(sigint, nullptr);
            event_add(sigterm, nullptr);
            event_base_dispatch(base);  // every call reaches Doubler from here
            event_free(sigint);
            event_free(sigterm);
            status = 0;
        }
    }
    event_base_free(base);
    return status;
}
