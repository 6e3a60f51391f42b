// The platform layer: semaphores, strings, threads and the input loop.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "testutil.h"
#include "zo/zoinput.h"
#include "zo/zosemaphore.h"
#include "zo/zostring.h"
#include "zo/zothread.h"

namespace {

constexpr std::int32_t kPatienceMs = 5000;

TEST(ZoEventSemiphore, PostBeforeWaitIsRememberedUntilReset) {
    ZoEventSemiphore event;
    EXPECT_FALSE(event.WaitFor(10));
    event.Post();
    event.Wait();                   // must not block
    EXPECT_TRUE(event.WaitFor(0));  // Wait() leaves the flag set
    event.Reset();
    EXPECT_FALSE(event.WaitFor(10));
}

// The library's hand-over: the worker resets, posts its request and waits for the answer.
TEST(ZoEventSemiphore, HandOverBetweenThreadsWakesEveryWaiter) {
    ZoEventSemiphore request, answer;
    constexpr int kRounds = 2000;
    int answered = 0;  // written before answer.Post(), read after answer.Wait()
    std::thread worker([&] {
        for (int i = 1; i <= kRounds; ++i) {
            answer.Reset();
            request.Post();
            if (!answer.WaitFor(kPatienceMs) || answered != i) {
                ADD_FAILURE() << "round " << i;
                return;
            }
        }
    });
    for (int i = 1; i <= kRounds && request.WaitFor(kPatienceMs); ++i) {
        request.Reset();
        answered = i;
        answer.Post();
    }
    worker.join();
    EXPECT_EQ(answered, kRounds);
}

TEST(ZoMutexSemiphore, OtherThreadGetsLockOnlyAfterEveryReleaseOfTheOwner) {
    ZoMutexSemiphore lock;
    int releases = 0;  // guarded by lock
    int seenByOther = -1;
    lock.Acquire();
    EXPECT_EQ(lock.Acquire(), 1u);  // the same thread again: must not block
    std::thread other([&] {
        ZoLock held(lock);
        seenByOther = releases;
    });
    releases = 1;
    lock.Release();
    releases = 2;
    lock.Release();
    other.join();
    EXPECT_EQ(seenByOther, 2);
}

using Units = std::vector<unsigned short>;

Units Export(const ZoString& text) {
    Units units(text.length() + 1, 0xAAAA);
    text.UnicodeExport(units.data(), text.length());
    EXPECT_EQ(units.back(), 0);
    units.pop_back();
    return units;
}

ZoString Import(Units units) {
    units.push_back(0);
    ZoString text;
    text.UnicodeImport(units.data());
    return text;
}

TEST(ZoString, Utf16RoundTripsThroughUtf8) {
    const std::pair<Units, std::string> cases[] = {
        {{'H', 'i', '!'}, "Hi!"},
        {{'c', 'a', 'f', 0xE9}, u8"caf\u00E9"},
        {{0x4E2D, 0x6587}, u8"\u4E2D\u6587"},
        {{'a', 0xD83D, 0xDE00, 'b'}, u8"a\U0001F600b"},
    };
    for (const auto& [units, utf8] : cases) {
        const ZoString text = Import(units);
        EXPECT_STREQ(text.mbcs(), utf8.c_str());
        EXPECT_EQ(text.length(), units.size());
        EXPECT_EQ(Export(text), units);
        EXPECT_EQ(Export(ZoString(utf8.c_str())), units);
    }
}

TEST(ZoString, BrokenNullEmptyAndCutTexts) {
    EXPECT_EQ(Export(Import({'x', 0xDC00, 0xD800})), (Units{'x', 0xFFFD, 0xFFFD}));
    // A stray byte, an overlong '/', and a sequence cut off by the end of the text.
    EXPECT_EQ(Export(ZoString("\xFF"
                              "a\xC0\xAF\xE4\xB8")),
              (Units{0xFFFD, 'a', 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD}));
    // Exactly n units, even when n ends inside a surrogate pair.
    unsigned short units[3] = {1, 1, 1};
    ZoString(u8"\U0001F600z").UnicodeExport(units, 1);
    EXPECT_EQ(units[0], 0xD83D);
    EXPECT_EQ(units[1], 0);

    EXPECT_TRUE(ZoString().IsNull() && ZoString().IsEmpty() && ZoString().mbcs() == nullptr);
    EXPECT_TRUE(ZoString(nullptr) == ZoString());
    ZoString empty = Import({});
    EXPECT_TRUE(empty == ZoString("") && empty.IsEmpty() && !empty.IsNull());
    EXPECT_STREQ(empty.mbcs(), "");
    empty.set_null();
    EXPECT_TRUE(empty.IsNull());
    EXPECT_TRUE(Export(empty).empty());
}

TEST(ZoString, StricmpFoldsAsciiAndOrdersNullFirst) {
    EXPECT_EQ(ZOR_NLS_stricmp("OlmNet", "olmnET"), 0);
    EXPECT_LT(ZOR_NLS_stricmp("abc", "ABD"), 0);
    EXPECT_LT(ZOR_NLS_stricmp("ABC", "abcd"), 0);
    EXPECT_GT(ZOR_NLS_stricmp("b", "A"), 0);
    EXPECT_NE(ZOR_NLS_stricmp("\xC3\xA9", "\xC3\x89"), 0);  // no folding beyond ASCII
    EXPECT_EQ(ZOR_NLS_stricmp(nullptr, nullptr), 0);
    EXPECT_LT(ZOR_NLS_stricmp(nullptr, ""), 0);
    EXPECT_GT(ZOR_NLS_stricmp("", nullptr), 0);
}

// Needs more than the 16 KiB it is started with: the stack floor must make room. Given an
// event, it deletes its own object and the destructor posts it.
class TestThread : public ZoThread {
public:
    explicit TestThread(ZoEventSemiphore* gone = nullptr) : m_gone(gone) {}
    ~TestThread() override {
        if (m_gone != nullptr)
            m_gone->Post();
    }
    void Run() override {
        char scratch[32 * 1024];
        std::memset(scratch, 1, sizeof scratch);
        m_sum = scratch[0] + scratch[sizeof scratch - 1];
        if (m_gone != nullptr)
            delete this;
    }
    ZoEventSemiphore* m_gone;
    int m_sum = 0;
};

TEST(ZoThread, RunsOnSmallRequestedStackJoinsAndMayDeleteItsObject) {
    TestThread thread;
    ASSERT_NE(thread.Create(16384, 1), 0u);
    EXPECT_EQ(thread.Create(16384, 1), 0u);  // still running or not yet joined
    thread.Join();
    EXPECT_TRUE(thread.Finished());
    EXPECT_EQ(thread.m_sum, 2);
    thread.Join();  // idempotent

    ZoEventSemiphore gone;
    ASSERT_NE((new TestThread(&gone))->Create(16384, 0), 0u);
    EXPECT_TRUE(gone.WaitFor(kPatienceMs));
}

// Makes the far end of a socket pair readable.
void Fill(const testutil::SocketPair& pair) {
    EXPECT_EQ(write(pair.b, "x", 1), 1);
}

struct Recorder {
    static void Proc(void* self, int fd) {
        auto* r = static_cast<Recorder*>(self);
        ++r->calls;
        r->fd = fd;
        for (ZoInputId id : r->remove)
            r->loop->RemoveInput(id);
    }
    int calls = 0;
    int fd = -1;
    ZoInputLoop* loop = nullptr;
    std::vector<ZoInputId> remove;  // withdrawn from inside the callback
};

TEST(ZoInputLoop, CallsBackForReadableDescriptorsUntilRemoved) {
    ZoInputLoop loop;
    testutil::SocketPair first, second;
    Recorder a, b;
    a.loop = &loop;
    EXPECT_EQ(loop.AddInput(-1, &Recorder::Proc, &a), 0);
    const ZoInputId idA = loop.AddInput(first.a, &Recorder::Proc, &a);
    const ZoInputId idB = loop.AddInput(second.a, &Recorder::Proc, &b);
    ASSERT_GT(idA, 0);
    ASSERT_GT(idB, idA);
    EXPECT_FALSE(loop.RunOnce(0));  // nothing readable yet
    a.remove = {idB, idA};
    Fill(first);
    Fill(second);
    EXPECT_TRUE(loop.RunOnce(kPatienceMs));
    EXPECT_EQ(a.calls, 1);
    EXPECT_EQ(a.fd, first.a);
    EXPECT_EQ(b.calls, 0);          // removed earlier in the same pass
    EXPECT_FALSE(loop.RunOnce(0));  // both still readable, but no longer watched
}

TEST(ZoInputLoop, StopFromAnotherThreadEndsRun) {
    ZoInputLoop loop;
    testutil::SocketPair pair;
    ZoEventSemiphore running, returned;
    loop.AddInput(
        pair.a,
        [](void* event, int fd) {
            char byte;
            EXPECT_EQ(read(fd, &byte, 1), 1);
            static_cast<ZoEventSemiphore*>(event)->Post();
        },
        &running);
    std::thread mainThread([&] {
        loop.Run();
        returned.Post();
    });
    Fill(pair);
    ASSERT_TRUE(running.WaitFor(kPatienceMs));
    loop.Stop();                                 // Run() is now in a callback or blocked in poll()
    ASSERT_TRUE(returned.WaitFor(kPatienceMs));  // a failure terminates instead of hanging
    mainThread.join();
}

}  // namespace
