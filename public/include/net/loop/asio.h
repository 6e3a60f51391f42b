// SPDX-License-Identifier: Apache-2.0
// Serves a server from an asio io_context (standalone asio, libasio-dev): the thread that runs
// io_context::run() becomes the server's main thread. Header-only; link zornet::asio.
//
//     asio::io_context io;
//     NetAsioInput input(io);      // after io, before the server
//     server->StartServer(&input);
//     io.run();                    // delete the server on this thread (a handler) to end it
#pragma once

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <memory>

#include "net/loop/loopinput.h"

// One registration. The wait under way holds it, so a watch withdrawn while its wait is queued
// or its callback runs lives until that handler has returned.
struct NetAsioWatch {
    NetAsioWatch(asio::io_context& io, ZoInputProc p, void* data, int descriptor)
        : watched(io), proc(p), clientData(data), fd(descriptor) {}
    asio::posix::stream_descriptor watched;  // released, never closed: the caller owns fd
    ZoInputProc proc;
    void* clientData;
    int fd;
};

// The rules of NetLoopInput apply (loop thread only, level-triggered, removal from inside the
// callback). asio switches a watched descriptor to non-blocking mode and leaves it so: its owner's
// reads must take EAGAIN as "nothing to read" (the server's do). Each registration is pending
// work, so io_context::run() does not return while one is held.
class NetAsioInput : public NetLoopInput<std::shared_ptr<NetAsioWatch>> {
public:
    explicit NetAsioInput(asio::io_context& io) : m_io(io) {}
    ~NetAsioInput() override { WithdrawAll(); }
    // Loop thread. io must still exist.

private:
    std::shared_ptr<NetAsioWatch> Start(int fd, ZoInputProc proc, void* clientData) override;
    void Stop(std::shared_ptr<NetAsioWatch> watch) override;
    static void Arm(std::shared_ptr<NetAsioWatch> watch);

    asio::io_context& m_io;
};

inline std::shared_ptr<NetAsioWatch> NetAsioInput::Start(int fd, ZoInputProc proc,
                                                         void* clientData) {
    auto watch = std::make_shared<NetAsioWatch>(m_io, proc, clientData, fd);
    asio::error_code error;
    watch->watched.assign(fd, error);
    if (error) {
        return nullptr;
    }
    Arm(watch);
    return watch;
}

inline void NetAsioInput::Stop(std::shared_ptr<NetAsioWatch> watch) {
    // Ends a pending wait as aborted and hands fd back unclosed; a completed wait still queued
    // finds the descriptor released and does nothing.
    watch->watched.release();
}

inline void NetAsioInput::Arm(std::shared_ptr<NetAsioWatch> watch) {
    NetAsioWatch& w = *watch;
    // A new wait on a descriptor that is still readable completes at once: asio re-arms its
    // epoll registration for each wait, which makes one wait per callback level-triggered.
    w.watched.async_wait(asio::posix::descriptor_base::wait_read,
                         [watch = std::move(watch)](const asio::error_code& error) mutable {
                             if (error || !watch->watched.is_open()) {
                                 return;  // withdrawn
                             }
                             watch->proc(watch->clientData, watch->fd);
                             if (watch->watched.is_open()) {
                                 Arm(std::move(watch));
                             }
                         });
}
