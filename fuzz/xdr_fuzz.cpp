// SPDX-License-Identifier: Apache-2.0
// Feeds arbitrary bytes to the receiving side of the encoder, as a hostile peer would.
// The first input byte picks the path: bit 0 the Unicode setting, bit 1 a user call (clear) or
// a run of packed values (set). Whatever decodes is encoded again, decoded from that encoding
// and encoded once more: the two encodings must be equal, and everything must be releasable.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz_common.h"
#include "net/net_xdr.h"
#include "net/netpack.h"
#include "net_xdr_budget.h"

namespace {

// Stays below a socket pair's buffer, so the whole input fits in before the decode starts.
constexpr std::size_t kMaxInput = 64 * 1024;
constexpr std::uint64_t kBudget = 128u << 10;
constexpr int kMaxValues = 16;

using fuzzcommon::MemoryXdr;

std::vector<unsigned char> EncodeCall(MSGUSERCALL& call, unsigned char unicode) {
    MemoryXdr xdr;
    if (!xdr.UserCall(-1, XDR_ENCODE, call, unicode)) {
        std::abort();
    }
    return xdr.out;
}

std::vector<unsigned char> EncodeValue(sL_VALUE& value, unsigned char unicode) {
    MemoryXdr xdr;
    if (NET_SendVDXData(&xdr, &value, -1, unicode) < 0) {
        std::abort();
    }
    return xdr.out;
}

// Decodes what this library encoded, which must succeed and use every byte, and encodes it again.
std::vector<unsigned char> Recode(const std::vector<unsigned char>& wire, bool userCall,
                                  unsigned char unicode) {
    MemoryXdr xdr;
    xdr.in = wire;
    std::vector<unsigned char> out;
    if (userCall) {
        MSGUSERCALL call{};
        if (!xdr.UserCall(-1, XDR_DECODE, call, unicode)) {
            std::abort();
        }
        out = EncodeCall(call, unicode);
        xdr.UserCall(-1, XDR_FREE, call, unicode);
    } else {
        sL_VALUE value;
        if (NET_ReceiveVDXData(&xdr, &value, -1, unicode) != 0) {
            std::abort();
        }
        out = EncodeValue(value, unicode);
        NET_DisposeVDXData(&value);
    }
    if (xdr.pos != wire.size()) {
        std::abort();
    }
    return out;
}

// A first pass may normalise (a boolean's byte, a string without text, an element without
// value); after it, decoding and encoding must be an exact round trip.
void CheckRoundTrip(const std::vector<unsigned char>& first, bool userCall, unsigned char unicode) {
    NetDecodeBudget unlimited(~std::uint64_t{0});
    const std::vector<unsigned char> second = Recode(first, userCall, unicode);
    if (Recode(second, userCall, unicode) != second) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzcommon::SilenceStandardOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > kMaxInput) {
        return 0;
    }
    int fds[2];
    fuzzcommon::PeerStream(data + 1, size - 1, static_cast<int>(2 * kMaxInput), fds);
    NetXDRImp xdr;

    const unsigned char unicode = data[0] & 1;
    NetDecodeBudget budget(kBudget);
    if ((data[0] & 2) == 0) {
        MSGUSERCALL call{};
        if (xdr.UserCall(fds[0], XDR_DECODE, call, unicode)) {
            CheckRoundTrip(EncodeCall(call, unicode), true, unicode);
        }
        xdr.UserCall(-1, XDR_FREE, call, unicode);
    } else {
        sL_VALUE value;
        for (int i = 0; i < kMaxValues; ++i) {
            const int result = NET_ReceiveVDXData(&xdr, &value, fds[0], unicode);
            if (result == 0) {
                CheckRoundTrip(EncodeValue(value, unicode), false, unicode);
            } else if (result != -2) {
                break;
            }
            NET_DisposeVDXData(&value);
        }
    }
    close(fds[0]);
    close(fds[1]);
    return 0;
}
