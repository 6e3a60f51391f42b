// SPDX-License-Identifier: Apache-2.0
// Writes the seed corpora of server_fuzz and client_fuzz from real exchanges: the library's
// client runs scripted sessions against the library's server, and an encoder that records the
// bytes it writes and reads gives the client's session (a server seed) and the server's answers
// (a client seed, behind the script bytes that make client_fuzz replay the same calls).
//
// usage: make_corpus SERVER_DIR CLIENT_DIR
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_common.h"

namespace {

struct Session {
    const char* name;
    std::uint32_t version;
    const char* service;
    std::vector<std::uint8_t> script;
};

bool WriteFile(const std::string& path, const std::vector<unsigned char>& bytes) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::perror(path.c_str());
        return false;
    }
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

// Runs one session against the server; fills what the client sent and received.
void Record(std::uint16_t port, const Session& s, std::vector<unsigned char>& sent,
            std::vector<unsigned char>& received) {
    fuzzcommon::RecordingXdr xdr;
    {
        NetClient client(nullptr, &xdr, s.version);
        std::int32_t handle = -1;
        if (client.CreateSocket("127.0.0.1", port) != NET_OK) {
            std::fprintf(stderr, "make_corpus: cannot connect for %s\n", s.name);
            std::exit(1);
        }
        client.ConnectMsg("corpushost", s.service, handle);
        fuzzcommon::RunCalls(client, xdr, handle, s.script.data(), s.script.size());
        client.DestroySocket();
    }
    sent = xdr.sent;
    received = xdr.received;
}

// A user call of count values, each an integer behind a reference chain of the longest depth
// the wire can carry: what a peer sends to make the decoder build chains.
std::vector<unsigned char> DeepReferenceCall(std::int32_t handle, std::int32_t count) {
    constexpr int kDepth = 32767;
    std::vector<sL_VALUE*> links(kDepth + 1);
    for (auto& link : links) {
        link = new sL_VALUE();
        link->usType = NET_TYPE_INTEGER;
        link->fValid = 1;
    }
    for (int i = 0; i < kDepth; ++i) {
        links[i]->fReference = 1;
        links[i]->data.pReference = links[i + 1];
    }
    links[kDepth]->kind = NET_KIND_INTEGER;
    links[kDepth]->data.lValue = 1;
    fuzzcommon::MemoryXdr value;
    NET_SendVDXData(&value, links[0], -1, 0);
    for (sL_VALUE* link : links) {
        link->fReference = 0;
        delete link;
    }

    fuzzcommon::MemoryXdr call;
    std::uint32_t id = NET_MSG_USER;
    call.ULong(-1, XDR_ENCODE, id);
    MSGUSERDATA block{};
    block.lCount = 0;  // the count in the record is patched below; the values follow raw
    MSGUSERCALL record{};
    record.lHandle = handle;
    record.pData = &block;
    call.UserCall(-1, XDR_ENCODE, record, 0);
    // Count word of the record: after the id (4) and status, flags, handle (12).
    const auto n = static_cast<std::uint32_t>(count);
    for (int i = 0; i < 4; ++i) {
        call.out[16 + i] = static_cast<unsigned char>(n >> (24 - 8 * i));
    }
    for (std::int32_t i = 0; i < count; ++i) {
        call.out.insert(call.out.end(), value.out.begin(), value.out.end());
    }
    return call.out;
}

int Generate(const std::string& serverDir, const std::string& clientDir, bool unicode) {
    fuzzcommon::LiveServer live;
    if (!live.Start(64u << 20, nullptr)) {
        std::fputs("make_corpus: no port for the server\n", stderr);
        return 1;
    }
    const char* tag = unicode ? "unicode-" : "";
    std::vector<Session> sessions = {
        {"v2-integer", 2, "echo", {0x10, 4}},
        {"v2-each-kind", 2, "echo", {0, 1, 2, 3, 6, 0x11, 0x12, 4}},
        {"v2-one-way", 2, "echo", {0x08, 0x09, 0x0A, 0x0B, 0, 4}},
        {"v2-no-close", 2, "echo", {0, 3}},
        {"v2-listener", 2, "anything", {0x10, 3, 4}},
        {"v2-connect-again", 2, "echo", {5, 0, 4}},
        {"v1-each-kind", 1, "echo", {0, 1, 2, 3, 5, 4}},
        {"v0-user", 0, "echo", {3, 3, 4}},
        {"v3-refused", 3, "echo", {}},
    };
    if (unicode) {
        sessions = {{"v2-user", 2, "echo", {3, 2, 6, 4}}};
    }
    for (const Session& s : sessions) {
        std::vector<unsigned char> sent, received;
        Record(live.port, s, sent, received);
        WriteFile(serverDir + "/" + tag + s.name, sent);
        std::vector<unsigned char> seed = {static_cast<unsigned char>(s.version % 3),
                                           static_cast<unsigned char>(s.script.size())};
        seed.insert(seed.end(), s.script.begin(), s.script.end());
        seed.insert(seed.end(), received.begin(), received.end());
        if (s.version <= 2) {  // client_fuzz offers versions 0 to 2 only
            WriteFile(clientDir + "/" + tag + s.name, seed);
        }
        if (!unicode && std::string(s.name) == "v2-integer") {
            // Crafted from the real handshake: an unknown identifier, and a user call whose
            // values each carry a 32767-deep reference chain.
            const std::size_t handshake = 4 + 4 + NET_CONNECT_BLOCK_SIZE;
            std::vector<unsigned char> unknown(sent.begin(), sent.begin() + handshake);
            const unsigned char seven[] = {0, 0, 0, 7};
            unknown.insert(unknown.end(), seven, seven + 4);
            unknown.insert(unknown.end(), sent.begin() + handshake, sent.end());
            WriteFile(serverDir + "/v2-unknown-id", unknown);
            std::vector<unsigned char> deep(sent.begin(), sent.begin() + handshake);
            const std::vector<unsigned char> call = DeepReferenceCall(0, 64);
            deep.insert(deep.end(), call.begin(), call.end());
            WriteFile(serverDir + "/v2-deep-references", deep);
        }
    }
    live.Stop();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: make_corpus SERVER_DIR CLIENT_DIR\n", stderr);
        return 2;
    }
    if (Generate(argv[1], argv[2], false) != 0) {
        return 1;
    }
    setenv("ZOR_NET_USE_UNICODE", "1", 1);  // read when a server is constructed
    return Generate(argv[1], argv[2], true);
}
