#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

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
    ZoEventSemiphore request;
    ZoEventSemiphore answer;
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

std::vector<unsigned short> Export(const ZoString& text) {
    std::vector<unsigned short> units(text.length() + 1, 0xAAAA);
    text.UnicodeExport(units.data(), text.length());
    EXPECT_EQ(units.back(), 0);
    units.pop_back();
    return units;
}

TEST(ZoString, Utf16RoundTripsThroughUtf8) {
    struct Case {
        std::vector<unsigned short> units;
        std::string utf8;
    };
    const std::vector<Case> cases = {
        {{'H', 'i', '!'}, "Hi!"},
        {{'c', 'a', 'f', 0xE9}, u8"caf\u00E9"},
        {{0x4E2D, 0x6587}, u8"\u4E2D\u6587"},
        {{'a', 0xD83D, 0xDE00, 'b'}, u8"a\U0001F600b"},
    };
    for (const Case& c : cases) {
        std::vector<unsigned short> terminated = c.units;
        terminated.push_back(0);
        ZoString text;
        text.UnicodeImport(terminated.data());
        EXPECT_STREQ(text.mbcs(), c.utf8.c_str());
        EXPECT_EQ(text.length(), c.units.size());
        EXPECT_EQ(Export(text), c.units);
        EXPECT_EQ(Export(ZoString(c.utf8.c_str())), c.units);
    }
}

TEST(ZoString, BrokenInputBecomesReplacementCharacters) {
    const unsigned short lone[] = {'x', 0xDC00, 0xD800, 0};
    ZoString imported;
    imported.UnicodeImport(lone);
    EXPECT_EQ(Export(imported), (std::vector<unsigned short>{'x', 0xFFFD, 0xFFFD}));
    // A stray byte, an overlong '/', and a sequence cut off by the end of the text.
    ZoString broken(
        "\xFF"
        "a\xC0\xAF\xE4\xB8");
    EXPECT_EQ(Export(broken),
              (std::vector<unsigned short>{0xFFFD, 'a', 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD}));
}

TEST(ZoString, NullEmptyAndCutExports) {
    const unsigned short none[] = {0};
    ZoString imported;
    imported.UnicodeImport(none);
    EXPECT_TRUE(ZoString().IsNull() && ZoString().IsEmpty() && ZoString().mbcs() == nullptr);
    EXPECT_TRUE(ZoString(nullptr) == ZoString());
    EXPECT_TRUE(imported == ZoString("") && imported.IsEmpty() && !imported.IsNull());
    EXPECT_STREQ(imported.mbcs(), "");
    imported.set_null();
    EXPECT_TRUE(imported.IsNull());
    EXPECT_TRUE(Export(imported).empty());
    // Exactly n units, even when n ends inside a surrogate pair.
    unsigned short units[3] = {1, 1, 1};
    ZoString(u8"\U0001F600z").UnicodeExport(units, 1);
    EXPECT_EQ(units[0], 0xD83D);
    EXPECT_EQ(units[1], 0);
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

class StackThread : public ZoThread {
public:
    void Run() override {
        // More than the 16 KiB the library asks for: the floor must make room.
        char scratch[32 * 1024];
        std::memset(scratch, 1, sizeof scratch);
        m_sum = scratch[0] + scratch[sizeof scratch - 1];
    }
    int m_sum = 0;
};

class SelfDeletingThread : public ZoThread {
public:
    explicit SelfDeletingThread(ZoEventSemiphore& gone) : m_gone(gone) {}
    ~SelfDeletingThread() override { m_gone.Post(); }
    void Run() override { delete this; }
    ZoEventSemiphore& m_gone;
};

TEST(ZoThread, RunsOnSmallRequestedStackAndJoins) {
    StackThread thread;
    ASSERT_NE(thread.Create(16384, 1), 0u);
    EXPECT_EQ(thread.Create(16384, 1), 0u);  // still running or not yet joined
    thread.Join();
    EXPECT_TRUE(thread.Finished());
    EXPECT_EQ(thread.m_sum, 2);
    thread.Join();  // idempotent
}

TEST(ZoThread, RunMayDeleteItsOwnObject) {
    ZoEventSemiphore gone;
    auto* thread = new SelfDeletingThread(gone);
    ASSERT_NE(thread->Create(16384, 0), 0u);
    EXPECT_TRUE(gone.WaitFor(kPatienceMs));
}

struct Pipe {
    Pipe() { EXPECT_EQ(pipe(fds), 0); }
    ~Pipe() { close(fds[0]), close(fds[1]); }
    void Fill() const { EXPECT_EQ(write(fds[1], "x", 1), 1); }
    int fds[2];
};

struct Recorder {
    static void Proc(void* self, int fd) {
        auto* r = static_cast<Recorder*>(self);
        ++r->calls;
        r->fd = fd;
        for (ZoInputId id : r->remove) {
            r->loop->RemoveInput(id);
        }
    }
    int calls = 0;
    int fd = -1;
    ZoInputLoop* loop = nullptr;
    std::vector<ZoInputId> remove;  // withdrawn from inside the callback
};

TEST(ZoInputLoop, CallsBackForReadableDescriptorsUntilRemoved) {
    ZoInputLoop loop;
    Pipe first, second;
    Recorder a, b;
    a.loop = &loop;
    EXPECT_EQ(loop.AddInput(-1, &Recorder::Proc, &a), 0);
    const ZoInputId idA = loop.AddInput(first.fds[0], &Recorder::Proc, &a);
    const ZoInputId idB = loop.AddInput(second.fds[0], &Recorder::Proc, &b);
    ASSERT_GT(idA, 0);
    ASSERT_GT(idB, idA);
    EXPECT_FALSE(loop.RunOnce(0));  // nothing readable yet
    a.remove = {idB, idA};
    first.Fill();
    second.Fill();
    EXPECT_TRUE(loop.RunOnce(kPatienceMs));
    EXPECT_EQ(a.calls, 1);
    EXPECT_EQ(a.fd, first.fds[0]);
    EXPECT_EQ(b.calls, 0);          // removed earlier in the same pass
    EXPECT_FALSE(loop.RunOnce(0));  // both pipes still readable, but no longer watched
}

TEST(ZoInputLoop, StopFromAnotherThreadEndsRun) {
    ZoInputLoop loop;
    Pipe pipe;
    ZoEventSemiphore running;
    loop.AddInput(
        pipe.fds[0],
        [](void* event, int fd) {
            char byte;
            EXPECT_EQ(read(fd, &byte, 1), 1);
            static_cast<ZoEventSemiphore*>(event)->Post();
        },
        &running);
    ZoEventSemiphore returned;
    std::thread mainThread([&] {
        loop.Run();
        returned.Post();
    });
    pipe.Fill();
    ASSERT_TRUE(running.WaitFor(kPatienceMs));
    loop.Stop();                                 // Run() is now in a callback or blocked in poll()
    ASSERT_TRUE(returned.WaitFor(kPatienceMs));  // a failure terminates instead of hanging
    mainThread.join();
}

}  // namespace
