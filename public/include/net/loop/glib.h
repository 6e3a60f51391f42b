// SPDX-License-Identifier: Apache-2.0
// Serves a server from a GLib main context: the thread that runs the context (g_main_loop_run(),
// gtk_main(), g_application_run()) becomes the server's main thread. Header-only; link
// zornet::glib.
//
//     NetGlibInput input;  // the default context; before the server
//     server->StartServer(&input);
//     g_main_loop_run(loop);
#pragma once

#include <glib-unix.h>
#include <glib.h>

#include <memory>

#include "net/loop/loopinput.h"

// One registration: a descriptor source attached to the context, with this record as its data.
struct NetGlibWatch {
    ~NetGlibWatch() {
        g_source_destroy(source);  // also inside its own dispatch, which holds a reference
        g_source_unref(source);
    }
    GSource* source;
    ZoInputProc proc;
    void* clientData;
};

// The rules of NetLoopInput apply (loop thread only, level-triggered, removal from inside the
// callback). The sources run at priority (G_PRIORITY_DEFAULT unless given) and may recurse: a
// main loop run inside a callback (a modal dialog) goes on serving the server, as a nested
// ZoInputLoop pass would.
class NetGlibInput : public NetLoopInput<std::unique_ptr<NetGlibWatch>> {
public:
    explicit NetGlibInput(GMainContext* context = nullptr, int priority = G_PRIORITY_DEFAULT)
        : m_context(context), m_priority(priority) {}
    // context null: the global default context. The caller keeps its reference.
    ~NetGlibInput() override { WithdrawAll(); }
    // Loop thread. The context must still exist.

private:
    std::unique_ptr<NetGlibWatch> Start(int fd, ZoInputProc proc, void* clientData) override {
        const auto readable = static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR);
        auto watch = std::unique_ptr<NetGlibWatch>(
            new NetGlibWatch{g_unix_fd_source_new(fd, readable), proc, clientData});
        g_source_set_priority(watch->source, m_priority);
        // GLib withdraws a source that may not recurse from the poll set for each dispatch and
        // adds it back, waking the context twice a call and polling once more.
        g_source_set_can_recurse(watch->source, TRUE);
        g_source_set_callback(watch->source, G_SOURCE_FUNC(&Readable), watch.get(), nullptr);
        g_source_attach(watch->source, m_context);
        return watch;
    }
    void Stop(std::unique_ptr<NetGlibWatch>) override {}  // the watch destroys its source

    static gboolean Readable(gint fd, GIOCondition /*condition*/, gpointer data) {
        auto* watch = static_cast<NetGlibWatch*>(data);
        watch->proc(watch->clientData, fd);  // may withdraw and free watch
        return G_SOURCE_CONTINUE;            // ignored for a source destroyed meanwhile
    }

    GMainContext* m_context;
    int m_priority;
};
