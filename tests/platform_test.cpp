// SPDX-License-Identifier: Apache-2.0
// The platform layer: semaphores, strings, threads and the input loop.
#include <gtest/gtest.h>

#include "testutil.h"
#include "zo/zoinput.h"
#include "zo/zosemaphore.h"
#include "zo/zostring.h"
#include "zo/zothread.h"

namespace {

constexpr std::int32_t kPatienceMs = 5000;

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

// Short texts live in the object, longer ones on the heap, as HeapBytes tells the decode budget;
// copies and assignments move between the two and compare by text.
TEST(ZoString, TextsInPlaceAndOnTheHeapCopyAndCompare) {
    const std::size_t lengths[] = {0, ZoString::kInline - 2, ZoString::kInline - 1, 4000};
    for (const std::size_t from : lengths) {
        for (const std::size_t to : lengths) {
            const std::string a(from, 'a'), b(to, 'b');
            ZoString target(b.c_str()), source(a.c_str(), a.size());
            target = source;
            const ZoString& self = target;
            target = self;  // keeps the text
            const auto* at = reinterpret_cast<const char*>(&target);
            const bool inside = target.mbcs() >= at && target.mbcs() < at + sizeof target;
            EXPECT_EQ(inside, ZoString::HeapBytes(from) == 0) << from;
            EXPECT_EQ(target.mbcs(), a);
            EXPECT_EQ(target.mbcsBytes(), from);
            EXPECT_EQ(target == ZoString(b.c_str()), from == 0 && to == 0);  // texts of a, of b
            auto* copy = new ZoString(target);  // from the cache, released on another thread
            std::thread([&] {
                EXPECT_TRUE(*copy == source);
                delete copy;
            }).join();
        }
    }
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

}  // namespace
