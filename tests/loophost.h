// SPDX-License-Identifier: Apache-2.0
// Each event loop with an adapter built (ZORNET_LOOP_<NAME> defined), behind one small host: the
// loop and its adapter, run on a thread that becomes the loop's thread, given tasks and stopped
// from any thread. Shared by the loop tests and the benchmark.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "zo/zoinput.h"
#ifdef ZORNET_LOOP_ASIO
#include "net/loop/asio.h"
#endif
#ifdef ZORNET_LOOP_LIBEVENT
#include "net/loop/libevent.h"
#endif
#ifdef ZORNET_LOOP_LIBUV
#include "net/loop/libuv.h"
#endif
#ifdef ZORNET_LOOP_GLIB
#include "net/loop/glib.h"
#endif

namespace loophost {

// A loop and its adapter. Tasks reach the loop's thread through a pipe that the adapter itself
// watches: none of the loops takes work from other threads without a mechanism of its own.
class Host {
public:
    virtual ~Host() = default;  // after Run() has returned
    virtual ZoInputRegistration& Registration() = 0;
    virtual void Run() = 0;                  // the calling thread is the loop's thread until Stop()
    void Post(std::function<void()> task) {  // any thread
        std::lock_guard<std::mutex> lock(m_mutex);
        m_tasks.push_back(std::move(task));
        const char byte = 1;
        (void)!write(m_pipe[1], &byte, 1);  // a full pipe already holds a wake-up
    }
    void Stop() {  // any thread
        Post([this] { Break(); });
    }

protected:
    virtual void Break() = 0;  // loop thread: makes Run() return
    // The derived host's constructor attaches once its adapter exists; its destructor detaches
    // while the adapter still does.
    void Attach() {
        if (pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) == 0)
            m_id = Registration().AddInput(m_pipe[0], &RunTasks, this);
    }
    void Detach() {
        Registration().RemoveInput(m_id);
        close(m_pipe[0]);
        close(m_pipe[1]);
    }

private:
    static void RunTasks(void* self, int fd) {
        char bytes[64];
        while (read(fd, bytes, sizeof bytes) > 0) {
        }
        auto* host = static_cast<Host*>(self);
        std::deque<std::function<void()>> due;
        {
            std::lock_guard<std::mutex> lock(host->m_mutex);
            due.swap(host->m_tasks);
        }
        for (auto& task : due)
            task();
    }

    int m_pipe[2] = {-1, -1};
    ZoInputId m_id = 0;
    std::mutex m_mutex;
    std::deque<std::function<void()>> m_tasks;  // guarded by m_mutex
};

#ifdef ZORNET_LOOP_ASIO
class AsioHost : public Host {
public:
    AsioHost() { Attach(); }
    ~AsioHost() override { Detach(); }
    ZoInputRegistration& Registration() override { return m_input; }
    void Run() override {
        m_io.restart();
        m_io.run();
    }

private:
    void Break() override { m_io.stop(); }
    asio::io_context m_io;
    NetAsioInput m_input{m_io};
};
#endif

#ifdef ZORNET_LOOP_LIBEVENT
class LibeventHost : public Host {
public:
    LibeventHost() { Attach(); }
    ~LibeventHost() override {
        Detach();
        m_input.reset();
        event_base_free(m_base);
    }
    ZoInputRegistration& Registration() override { return *m_input; }
    void Run() override { event_base_loop(m_base, EVLOOP_NO_EXIT_ON_EMPTY); }

private:
    void Break() override { event_base_loopbreak(m_base); }
    event_base* m_base = event_base_new();
    std::unique_ptr<NetLibeventInput> m_input = std::make_unique<NetLibeventInput>(m_base);
};
#endif

#ifdef ZORNET_LOOP_LIBUV
class LibuvHost : public Host {
public:
    LibuvHost() {
        uv_loop_init(&m_loop);
        m_input = std::make_unique<NetLibuvInput>(&m_loop);
        Attach();
    }
    ~LibuvHost() override {
        Detach();
        m_input.reset();
        uv_run(&m_loop, UV_RUN_NOWAIT);  // frees the watches closed above
        uv_loop_close(&m_loop);
    }
    ZoInputRegistration& Registration() override { return *m_input; }
    void Run() override { uv_run(&m_loop, UV_RUN_DEFAULT); }

private:
    void Break() override { uv_stop(&m_loop); }
    uv_loop_t m_loop;
    std::unique_ptr<NetLibuvInput> m_input;
};
#endif

#ifdef ZORNET_LOOP_GLIB
class GlibHost : public Host {
public:
    GlibHost() { Attach(); }
    ~GlibHost() override {
        Detach();
        m_input.reset();
        g_main_loop_unref(m_loop);
        g_main_context_unref(m_context);
    }
    ZoInputRegistration& Registration() override { return *m_input; }
    void Run() override { g_main_loop_run(m_loop); }

private:
    void Break() override { g_main_loop_quit(m_loop); }
    GMainContext* m_context = g_main_context_new();
    GMainLoop* m_loop = g_main_loop_new(m_context, FALSE);
    std::unique_ptr<NetGlibInput> m_input = std::make_unique<NetGlibInput>(m_context);
};
#endif

// The loops built, by name.
using Factory = std::unique_ptr<Host> (*)();
template <typename Loop>
std::unique_ptr<Host> New() {
    return std::make_unique<Loop>();
}
inline const std::vector<std::pair<std::string, Factory>>& Loops() {
    static const std::vector<std::pair<std::string, Factory>> loops = {
#ifdef ZORNET_LOOP_ASIO
        {"asio", &New<AsioHost>},
#endif
#ifdef ZORNET_LOOP_LIBEVENT
        {"libevent", &New<LibeventHost>},
#endif
#ifdef ZORNET_LOOP_LIBUV
        {"libuv", &New<LibuvHost>},
#endif
#ifdef ZORNET_LOOP_GLIB
        {"glib", &New<GlibHost>},
#endif
    };
    return loops;
}

inline std::vector<std::string> Names() {
    std::vector<std::string> names;
    for (const auto& loop : Loops())
        names.push_back(loop.first);
    return names;
}

inline std::unique_ptr<Host> Make(const std::string& name) {  // null for a name not built
    for (const auto& loop : Loops())
        if (loop.first == name)
            return loop.second();
    return nullptr;
}

}  // namespace loophost
