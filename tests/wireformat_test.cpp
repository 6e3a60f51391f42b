// SPDX-License-Identifier: Apache-2.0
// The wire-format reference (docs/wire-format.md) against the library: every hex example there
// must be the bytes the library writes for it, and every example made here must be in the
// document, so the two cannot drift apart.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "net/netpack.h"
#include "servtest.h"

using namespace servtest;

namespace {

// The examples of the document: a line "<!-- example: NAME -->", then a fenced block whose lines
// open with bytes ("0A", or "00*252" for 252 zero bytes) followed by an annotation.
std::map<std::string, Bytes> DocumentExamples() {
    std::ifstream in(WIRE_FORMAT_DOC);
    std::map<std::string, Bytes> examples;
    const std::regex marker("<!-- example: ([a-z0-9-]+) -->"), byte("([0-9A-F]{2})(\\*([0-9]+))?");
    std::smatch m;
    for (std::string line; std::getline(in, line);) {
        if (!std::regex_match(line, m, marker))
            continue;
        Bytes& bytes = examples[m[1]];
        std::getline(in, line);  // the opening fence
        while (std::getline(in, line) && line.rfind("```", 0) != 0) {
            std::istringstream words(line);
            for (std::string word; words >> word && std::regex_match(word, m, byte);)
                bytes.insert(bytes.end(), m[3].matched ? std::stoul(m[3]) : 1,
                             static_cast<unsigned char>(std::stoul(m[1], nullptr, 16)));
        }
    }
    return examples;
}

// What the encoder writes on a socket pair.
Bytes Encoded(const std::function<bool(NetXDRImp&, int)>& write) {
    NetXDRImp xdr;
    return WrittenBytes([&](int fd) { return write(xdr, fd); });
}

// A user call with one value of each kind and a list and a reference.
Bytes UserCallExample(std::int32_t handle) {
    sL_VALUE v[9], link, real;
    sLIST_NODE nodes[2];
    Set(v[0], NET_TYPE_INTEGER, NET_KIND_INTEGER).data.lValue = 7;
    Set(v[1], NET_TYPE_STRING, NET_KIND_STRING).data.pString = new ZoString("ab");
    for (int i = 0; i < 2; ++i)
        Set(nodes[i], NET_TYPE_INTEGER, NET_KIND_INTEGER).data.lValue = i + 1;
    nodes[0].pPrev = nodes[1].pNext = nullptr;
    nodes[0].pNext = &nodes[1], nodes[1].pPrev = &nodes[0];
    sLIST_HEADER list{0, 2, 1, &nodes[0], &nodes[0], &nodes[1]};
    Set(v[2], NET_TYPE_INTEGER - NET_TYPE_UNKNOWN, NET_KIND_NONE).data.pList = &list;
    Set(real, NET_TYPE_REAL, NET_KIND_REAL).data.pdValue = new double(2.5);
    Set(v[3], NET_TYPE_REAL, NET_KIND_NONE).data.pReference = &real;
    v[3].fReference = 1;
    Set(v[4], NET_TYPE_BOOLEAN, NET_KIND_BOOLEAN).data.lValue = 1;
    Set(v[5], NET_TYPE_TIME, NET_KIND_TIME).data.time = {{12, 30, 5, 0}};
    Set(v[6], NET_TYPE_DATE, NET_KIND_DATE).data.date = {{2024, 1205}};
    Set(v[7], NET_TYPE_HANDLE_FIRST, NET_KIND_HANDLE).data.lValue = 42;
    // v[8] stays without value: it travels as the unknown type.
    MSGUSERDATA block{};
    block.usType = 3, block.lCount = 9, block.pValues = v;
    MSGUSERCALL call{0, 0, handle, 0, 0, 0, &block};
    std::FILE* const packerOutput = NetPackerOutput();
    NetPackerOutput(nullptr);  // the handle's Pack Handle lines are not the test's output
    const Bytes bytes = Encoded([&](NetXDRImp& xdr, int fd) {
        std::uint32_t id = NET_MSG_USER;
        return xdr.ULong(fd, XDR_ENCODE, id) && xdr.UserCall(fd, XDR_ENCODE, call, 0);
    });
    NetPackerOutput(packerOutput);
    return bytes;
}

// The examples made by the library: the encoder's primitives and records, the client's
// handshake, and the answers of a running server.
std::map<std::string, Bytes> LibraryExamples() {
    std::map<std::string, Bytes> examples;
    examples["integers"] = Encoded([](NetXDRImp& xdr, int fd) {
        std::int16_t s = -2;
        std::uint16_t us = 0x1234;
        std::int32_t l = 7;
        return xdr.Short(fd, XDR_ENCODE, s) && xdr.UShort(fd, XDR_ENCODE, us) &&
               xdr.Long(fd, XDR_ENCODE, l);
    });
    examples["double"] = Encoded([](NetXDRImp& xdr, int fd) {
        double d = 1.0;
        return xdr.Double(fd, XDR_ENCODE, d);
    });
    examples["time-date"] = Encoded([](NetXDRImp& xdr, int fd) {
        TIMEREC time{{12, 30, 5, 9}};
        DATEREC date{{2024, 1205}};
        return xdr.Time(fd, XDR_ENCODE, time) && xdr.Date(fd, XDR_ENCODE, date);
    });
    examples["strings"] = Encoded([](NetXDRImp& xdr, int fd) {
        char text[] = "abc";
        char *some = text, *none = nullptr;
        return xdr.String(fd, XDR_ENCODE, some) && xdr.String(fd, XDR_ENCODE, none);
    });
    examples["unicode"] = Encoded([](NetXDRImp& xdr, int fd) {
        ZoString some("abc"), none;
        return xdr.Unicode(fd, XDR_ENCODE, some) && xdr.Unicode(fd, XDR_ENCODE, none);
    });

    Peer peer([&](int fd, int) {
        examples["hello"] = ReadBytes(fd, 8 + kBlockSize);
        WriteAll(fd, Words({0, 1}));
    });
    NetXDRImp xdr;
    NetClient client(nullptr, &xdr, NET_PROTOCOL_VERSION);
    std::int32_t handle = -1;
    EXPECT_EQ(client.CreateSocket("127.0.0.1", peer.Port()), NET_OK);
    EXPECT_EQ(client.ConnectMsg("pc1", "echo", handle), NET_OK);

    Stats stats;
    LoopServer ls;
    EXPECT_EQ(ls.server->RegisterFunc("echo", new EchoEvent(stats)), NET_OK);
    ls.Start();
    const int fd = ConnectRaw(ls.Port());
    WriteAll(fd, Handshake("echo", 2));
    examples["hello-answer"] = ReadBytes(fd, 8);
    const auto request = [&](const char* name, const std::function<bool(NetXDRImp&, int)>& f) {
        examples[name] = Encoded(f);
        return WriteAll(fd, examples[name]);
    };
    request("integer-call", [](NetXDRImp& xdr, int out) {
        std::uint32_t id = NET_MSG_INTEGER;
        MSGINTCALL call{21, 0, NET_FLAG_RETURNDATA, 0};
        return xdr.ULong(out, XDR_ENCODE, id) && xdr.IntCall(out, XDR_ENCODE, call);
    });
    examples["integer-answer"] = ReadBytes(fd, 16);
    request("real-call", [](NetXDRImp& xdr, int out) {
        std::uint32_t id = NET_MSG_REAL;
        MSGREALCALL call{2.5, 0, NET_FLAG_NOREPLY, 0};
        return xdr.ULong(out, XDR_ENCODE, id) && xdr.RealCall(out, XDR_ENCODE, call);
    });
    request("string-call", [](NetXDRImp& xdr, int out) {
        std::uint32_t id = NET_MSG_STRING;
        char text[] = "hi";
        MSGSTRINGCALL call{text, 0, NET_FLAG_RETURNDATA, 0};
        return xdr.ULong(out, XDR_ENCODE, id) && xdr.StringCall(out, XDR_ENCODE, call);
    });
    examples["string-answer"] = ReadBytes(fd, 16 + 4 + 8);
    request("close", [](NetXDRImp& xdr, int out) {
        std::uint32_t id = NET_MSG_CLOSE;
        return xdr.ULong(out, XDR_ENCODE, id);
    });
    examples["close-answer"] = ReadBytes(fd, 4);
    close(fd);
    for (const auto& [name, hello] : {std::make_pair("refused-version", Handshake("echo", 3)),
                                      std::make_pair("refused-service", Handshake("none"))}) {
        const int refused = ConnectRaw(ls.Port());
        WriteAll(refused, hello);
        examples[name] = ReadBytes(refused, 4);
        close(refused);
    }
    examples["user-call"] = UserCallExample(0);
    examples["user-call-unicode"] = Encoded([](NetXDRImp& xdr, int out) {
        sL_VALUE text;
        Set(text, NET_TYPE_STRING, NET_KIND_STRING).data.pString = new ZoString("ab");
        return NET_SendVDXData(&xdr, &text, out, 1) >= 0;
    });
    return examples;
}

std::string Hex(const Bytes& bytes) {
    std::string text;
    char byte[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(byte, sizeof byte, "%02X", bytes[i]);
        text += (i % 16 != 0 ? " " : i != 0 ? "\n" : "") + std::string(byte);
    }
    return text;
}

TEST(WireFormatReference, EveryExampleIsWhatTheLibraryWrites) {
    const std::map<std::string, Bytes> document = DocumentExamples(), library = LibraryExamples();
    for (const auto& [name, bytes] : library) {
        ASSERT_FALSE(bytes.empty()) << name;
        const auto written = document.find(name);
        EXPECT_TRUE(written != document.end() && written->second == bytes)
            << "example " << name << " in the document should be:\n"
            << Hex(bytes);
    }
    for (const auto& entry : document)
        EXPECT_EQ(library.count(entry.first), 1u) << "no library example for " << entry.first;
}

}  // namespace
