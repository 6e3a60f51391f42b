// SPDX-License-Identifier: Apache-2.0
#include "library.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench_util.h"

namespace bench {

namespace {

// The application's side: answers at once, as the baselines' main thread does.
class BenchEvent : public NetEvent {
public:
    explicit BenchEvent(LibCounters* counters) : m_counters(counters) {}
    NetEvent* Clone() override { return new BenchEvent(m_counters); }
    std::int32_t IntegerData(std::int32_t* value, std::uint32_t& flags) override {
        *value += 1;
        flags |= NET_FLAG_RETURNDATA;
        return 1;
    }
    std::int32_t RealData(double* value, std::uint32_t& flags) override {
        *value += 1;
        flags |= NET_FLAG_RETURNDATA;
        return 1;
    }
    std::int32_t StringData(char** /*text*/, std::uint32_t& flags) override {
        flags |= NET_FLAG_RETURNDATA;  // the text goes back as it came
        return 1;
    }
    std::int32_t UserData(void* /*data*/, std::uint32_t& flags) override {
        if ((flags & NET_FLAG_NOREPLY) != 0) {
            m_counters->oneWayDone.fetch_add(1, std::memory_order_relaxed);
        }
        return 1;
    }
    std::int32_t ConnectionCreated() override {
        m_counters->connected.fetch_add(1, std::memory_order_relaxed);
        return 1;
    }
    std::int32_t ConnectionClosed() override {
        m_counters->closed.fetch_add(1, std::memory_order_relaxed);
        return 1;
    }

private:
    LibCounters* m_counters;
};

sL_VALUE& Set(sL_VALUE& v, std::uint16_t type, unsigned char kind) {
    v.usType = type;
    v.kind = kind;
    v.fValid = 1;
    return v;
}

}  // namespace

LibServer::LibServer(std::uint32_t threadStack, loophost::Host* host)
    : m_host(host), m_stack(threadStack) {}

LibServer::~LibServer() {
    delete m_server;
}

bool LibServer::Start(TraceMode trace) {
    m_server = NetServer::CreateServer();
    if (m_server == nullptr) {
        return false;
    }
    m_server->Settings().ulThreadStack = m_stack;
    if (m_server->Init(new NetXDRImp, FreeLoopbackPort()) != 1 ||
        m_server->StartServer(m_host != nullptr ? &m_host->Registration() : &m_loop) != 1) {
        return false;
    }
    if (trace != TraceMode::kNone) {
        m_server->TraceFile(std::fopen("/dev/null", "w"));
        m_server->TraceFlags(trace == TraceMode::kAllLevels ? 0xffff : 0);
    }
    // A port found free may be taken again before the registration listens on it (a client's
    // ephemeral port, another process): try a few.
    NetEvent* event = new BenchEvent(&m_counters);
    for (int attempt = 0; attempt < 10; ++attempt) {
        m_port = FreeLoopbackPort();
        const std::string service = "bench:" + std::to_string(m_port);
        const int status = m_server->RegisterFunc(service.c_str(), event);
        if (status == 1) {
            return true;
        }
        std::fprintf(stderr, "zornet_bench: register %s: status %d\n", service.c_str(), status);
    }
    delete event;
    return false;
}

ValueBlock::ValueBlock(int count) : m_data(new MSGUSERDATA{}) {
    m_data->lCount = count;
    m_data->pValues = new sL_VALUE[count];
}

ValueBlock::~ValueBlock() {
    for (sLIST_HEADER* list : m_lists) {
        for (sLIST_NODE* node = list->pFirst; node != nullptr;) {
            sLIST_NODE* next = node->pNext;
            delete node;
            node = next;
        }
        delete list;
    }
    delete[] m_data->pValues;
    delete m_data;
}

std::unique_ptr<ValueBlock> ValueBlock::Mixed() {
    std::unique_ptr<ValueBlock> block(new ValueBlock(10));
    sL_VALUE* v = block->m_data->pValues;
    Set(v[0], NET_TYPE_INTEGER, NET_KIND_INTEGER).data.lValue = 42;
    Set(v[1], NET_TYPE_REAL, NET_KIND_REAL).data.pdValue = new double(2.5);
    Set(v[2], NET_TYPE_STRING, NET_KIND_STRING).data.pString = new ZoString("sixteen byte txt");
    Set(v[3], NET_TYPE_BOOLEAN, NET_KIND_BOOLEAN).data.lValue = 1;
    Set(v[4], NET_TYPE_TIME, NET_KIND_TIME).data.time = TIMEREC{{12, 30, 15, 0}};
    Set(v[5], NET_TYPE_DATE, NET_KIND_DATE).data.date = DATEREC{{2024, 0x0c05}};
    Set(v[6], NET_TYPE_HANDLE_FIRST, NET_KIND_HANDLE).data.lValue = 7;
    Set(v[7], NET_TYPE_INTEGER, NET_KIND_INTEGER).data.lValue = -1;
    Set(v[8], NET_TYPE_REAL, NET_KIND_REAL).data.pdValue = new double(-0.125);
    Set(v[9], NET_TYPE_STRING, NET_KIND_STRING).data.pString = new ZoString("short");
    return block;
}

sLIST_HEADER* ValueBlock::NewList(std::uint16_t elementType, int count) {
    auto* list = new sLIST_HEADER{};
    m_lists.push_back(list);
    for (int i = 0; i < count; ++i) {
        auto* node = new sLIST_NODE;
        node->pPrev = list->pLast;
        node->pNext = nullptr;
        if (elementType == NET_TYPE_INTEGER) {
            Set(*node, elementType, NET_KIND_INTEGER).data.lValue = i;
        } else {
            char text[24];  // 16 characters for any count below 10^8
            std::snprintf(text, sizeof text, "element %08d", i % 100000000);
            Set(*node, elementType, NET_KIND_STRING).data.pString = new ZoString(text);
        }
        (list->pLast != nullptr ? list->pLast->pNext : list->pFirst) = node;
        list->pLast = node;
    }
    list->lCount = count;
    return list;
}

std::unique_ptr<ValueBlock> ValueBlock::List(std::uint16_t elementType, int count) {
    std::unique_ptr<ValueBlock> block(new ValueBlock(1));
    const auto listCode = static_cast<std::uint16_t>(elementType - NET_TYPE_UNKNOWN);
    Set(block->m_data->pValues[0], listCode, NET_KIND_NONE).data.pList =
        block->NewList(elementType, count);
    return block;
}

LibClient::LibClient() : m_client(nullptr, &m_xdr, NET_PROTOCOL_VERSION) {}

LibClient::~LibClient() {
    m_client.CloseSocket();
}

bool LibClient::Connect(std::uint16_t port) {
    std::int32_t status = m_client.CreateSocket("127.0.0.1", port);
    if (status == NET_OK) {
        status = m_client.ConnectMsg("benchhost", "bench", m_handle);
    }
    if (status != NET_OK) {
        std::fprintf(stderr, "zornet_bench: connect to port %u: status %d (%s)\n", port, status,
                     NetStatusText(status));
    }
    return status == NET_OK;
}

bool LibClient::Integer() {
    MSGINTCALL call{};
    call.lValue = ++m_next;
    call.lHandle = m_handle;
    ZoErrorCode error = 0;
    const MSGINTCALL answer = m_client.IntegerMsg(call, error);
    return error == NET_OK && answer.ulStatus == 1 && answer.lValue == m_next + 1;
}

bool LibClient::Real() {
    MSGREALCALL call{};
    call.dValue = 0.5;
    call.lHandle = m_handle;
    ZoErrorCode error = 0;
    const MSGREALCALL answer = m_client.RealMsg(call, error);
    return error == NET_OK && answer.ulStatus == 1 && answer.dValue == 1.5;
}

bool LibClient::String(const std::string& text) {
    MSGSTRINGCALL call{};
    call.pszValue = const_cast<char*>(text.c_str());  // only read by the encoder
    call.lHandle = m_handle;
    ZoErrorCode error = 0;
    MSGSTRINGCALL answer = m_client.StringMsg(call, error);
    const bool ok = error == NET_OK && answer.ulStatus == 1 && answer.pszValue != nullptr &&
                    std::strlen(answer.pszValue) == text.size();
    std::free(answer.pszValue);
    return ok;
}

bool LibClient::User(ValueBlock& block, bool oneWay) {
    MSGUSERCALL call{};
    call.lHandle = m_handle;
    call.ulFlags = oneWay ? NET_FLAG_NOREPLY : 0;
    call.pData = block.Data();
    ZoErrorCode error = 0;
    MSGUSERCALL answer = m_client.UserMsg(call, error);
    const bool ok =
        error == NET_OK && answer.ulStatus == 1 &&
        (oneWay || (answer.pData != nullptr && answer.pData->lCount == block.Data()->lCount));
    m_xdr.UserCall(-1, XDR_FREE, answer, m_client.m_bUnicode ? 1 : 0);
    return ok;
}

bool LibClient::Close() {
    return m_client.CloseMsg(m_handle) == NET_OK;
}

}  // namespace bench
