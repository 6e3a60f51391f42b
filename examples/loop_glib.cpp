// SPDX-License-Identifier: Apache-2.0
// The smallest server on a GLib main loop: serves "double" (see doubler.h) on the port given as
// its argument (default 5001) until SIGINT or SIGTERM.
#include <glib-unix.h>
#include <glib.h>

#include <csignal>

#include "doubler.h"
#include "net/loop/glib.h"

namespace {

struct App {
    GMainLoop* loop;
    NetServer* server;
};

gboolean Stop(gpointer data) {
    auto* app = static_cast<App*>(data);
    delete app->server;  // on the loop's thread
    app->server = nullptr;
    g_main_loop_quit(app->loop);
    return G_SOURCE_CONTINUE;  // the other signal's source stays; the loop is ending anyway
}

}  // namespace

int main(int argc, char** argv) {
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);  // the default context
    int status = 1;
    {
        NetGlibInput input;  // outlives the server, which withdraws its pipe from it
        App app{loop, StartDoubler(argc, argv, input)};  // the loop's thread is the main thread
        if (app.server != nullptr) {
            const guint sources[2] = {g_unix_signal_add(SIGINT, Stop, &app),
                                      g_unix_signal_add(SIGTERM, Stop, &app)};
            g_main_loop_run(loop);  // every call reaches Doubler from here
            for (const guint id : sources)
                g_source_remove(id);
            status = 0;
        }
    }
    g_main_loop_unref(loop);
    return status;
}
