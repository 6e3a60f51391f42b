// SPDX-License-Identifier: Apache-2.0
// How NetXDRImp moves a message's bytes in few system calls: the writes of one message gathered
// into one send, and a connection's received bytes kept in a buffer of its own. The bytes on the
// wire and the codec calls are the same either way; only NetXDRImp's Read and Write use them.
#pragma once

#include <sys/socket.h>

#include <cerrno>
#include <cstddef>
#include <memory>
#include <typeinfo>

#include "net/net_xdr.h"

inline bool NetOwnEncoder(NetXDR& xdr) {
    return typeid(xdr) == typeid(NetXDRImp);
}
// Whether xdr is the library's own encoder itself, whose reads and writes the classes below
// serve, and whose wire forms the library may write and read directly. An application's
// encoder, a subclass included, sees every read and write.

inline std::size_t NetRecvAtLeast(int socket, void* buffer, std::size_t least, std::size_t most) {
    auto* p = static_cast<unsigned char*>(buffer);
    std::size_t got = 0;
    while (got < least) {
        const ssize_t n = recv(socket, p + got, most - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}
// Receives until at least least bytes have arrived, taking whatever more has arrived up to most,
// so a fixed-size exchange costs one receive and nothing of a later message is taken. The count:
// below least when the connection failed or closed first (errno as the receive left it).

// While one lives, NetXDRImp's writes to its socket on this thread are gathered and go out
// together at Send(). A gather made while another is open on the thread joins that one, which
// sends for both.
class NetSendGather {
public:
    explicit NetSendGather(int socket);
    ~NetSendGather();  // drops what Send() has not sent: a message given up half-way
    NetSendGather(const NetSendGather&) = delete;
    NetSendGather& operator=(const NetSendGather&) = delete;

    bool Send();
    // Sends what was gathered; false when a send of it failed, now or earlier. An inner gather
    // sends nothing and reports the outer one's failures so far.

private:
    bool m_bOuter;
};

unsigned char* NetGatherRoom(int socket, std::size_t n);
// Calling thread. Room for n bytes at the end of its open gather for socket, to be written in
// place and counted with NetGatherUsed before anything else writes; null when no gather is open
// for socket, a send of it failed, or n is too large: then write through NetXDRImp::Write.

void NetGatherUsed(std::size_t n);
// Calling thread. The first n bytes of the room NetGatherRoom gave are part of the message.

// The bytes received on one connection and not yet decoded, bound to the calling thread for its
// lifetime: NetXDRImp's reads on that socket, on that thread, take them from here, and a read
// that needs more receives as much as has arrived, up to the buffer's size. So a call's
// identifier and record that arrived together cost one receive, and the whole record is in
// memory; bytes past a message stay for the next one, in order. Only the thread that owns the
// socket for reading may bind it. The buffer is allocated when the first bytes arrive, so an
// idle connection holds none.
class NetRecvBuffer {
public:
    explicit NetRecvBuffer(int socket);
    ~NetRecvBuffer();
    NetRecvBuffer(const NetRecvBuffer&) = delete;
    NetRecvBuffer& operator=(const NetRecvBuffer&) = delete;

    static NetRecvBuffer* Bound(int socket);
    // The calling thread's buffer for socket, or null.

    bool Read(unsigned char* p, std::size_t length);
    // length bytes, the buffered ones first; false when the connection failed or closed first
    // (errno as the receive left it).

    void Discard() { m_nBegin = m_nEnd = 0; }
    // Forgets what is buffered: the stream is given up (a record that cannot be decoded leaves
    // it at no message boundary).

    void Skip(std::size_t n) { m_nBegin += n; }
    // The first n buffered bytes were read from Data() in place.

    const unsigned char* Data() const { return m_pBytes.get() + m_nBegin; }
    std::size_t Buffered() const { return m_nEnd - m_nBegin; }
    // The bytes received and not yet read, in arrival order.

    static constexpr std::size_t kCapacity = 16 * 1024;

private:
    int m_nSocket;
    NetRecvBuffer* m_pOuter;  // the binding this one hides, restored at its end
    std::unique_ptr<unsigned char[]> m_pBytes;
    std::size_t m_nBegin = 0;
    std::size_t m_nEnd = 0;
};

// While one lives, NetXDRImp's reads from socket on this thread are served from the bytes that
// have arrived, looked at with MSG_PEEK, and at its end only the bytes read are taken out of the
// socket: it is left where reads of one primitive at a time would have left it, and a record
// costs two system calls instead of one per primitive. Does nothing while a NetRecvBuffer is
// bound to the socket (which serves such reads better) or another read-ahead is open.
class NetReadAhead {
public:
    explicit NetReadAhead(int socket);
    ~NetReadAhead();  // Finish()
    NetReadAhead(const NetReadAhead&) = delete;
    NetReadAhead& operator=(const NetReadAhead&) = delete;

    bool Finish();
    // Takes the bytes read out of the socket and ends the read-ahead; false when that failed.

private:
    bool m_bActive;
};

// The bytes of a socket that arrived, are held in memory by the calling thread (its receive
// buffer or read-ahead) and were not read yet, in arrival order. They stay valid until the next
// read through NetXDRImp.
struct NetReceived {
    const unsigned char* pBytes;
    std::size_t nLength;
};
NetReceived NetReceivedBytes(int socket);

void NetReceivedUsed(int socket, std::size_t n);
// Calling thread. The first n of NetReceivedBytes(socket) were read in place.
