// SPDX-License-Identifier: Apache-2.0
// The client's side under arbitrary server bytes: a scripted peer at the other end of a socket
// pair has written the input as the server's whole answer stream, and the client performs the
// handshake and then the calls that the input's script picks, reading whatever arrives.
//
// Input: byte 0 the offered version (mod 3), byte 1 the number of calls (mod 9), then one script
// byte per call (see fuzzcommon::RunCalls), then the server's bytes.
#include "fuzz_common.h"

namespace {

constexpr std::size_t kMaxInput = 64 * 1024;
constexpr std::size_t kMaxCalls = 8;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzcommon::SilenceStandardOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2 || size > kMaxInput) {
        return 0;
    }
    const std::uint32_t version = data[0] % 3;
    const std::size_t calls = std::min<std::size_t>(data[1] % (kMaxCalls + 1), size - 2);
    const std::uint8_t* script = data + 2;
    const std::uint8_t* answers = script + calls;
    const std::size_t answerBytes = size - 2 - calls;

    int fds[2];
    fuzzcommon::PeerStream(answers, answerBytes, 4 * static_cast<int>(kMaxInput), fds);

    NetXDRImp xdr;
    {
        NetClient client(nullptr, &xdr, version);
        // The client adopts the connected socket as CreateSocket would leave it.
        client.m_nSocket = fds[0];
        client.m_bConnected = true;
        std::int32_t handle = -1;
        const std::int32_t status = client.ConnectMsg("fuzzhost", "echo", handle);
        if (status == NET_OK && handle < 0) {
            std::abort();  // a refusal is never taken for a handle number
        }
        fuzzcommon::RunCalls(client, xdr, handle, script, calls);
        client.DestroySocket();  // closes fds[0] unless a failure already did
    }
    close(fds[1]);
    return 0;
}
