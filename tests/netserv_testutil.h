// Helpers for the server tests: a trace stream the test can read, counting event objects and an
// input-loop registration that records what the server asks of it.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "net/nethndl.h"
#include "testutil.h"
#include "zo/zoinput.h"

namespace servtest {

// A stdio stream whose bytes land in memory and whose close is seen. The server owns and closes
// the stream, so this object must outlive the server.
class TraceCapture {
public:
    struct Entry {
        std::string prefix, stamp, message;
    };
    TraceCapture() { m_stream = fopencookie(this, "w", {nullptr, &Write, nullptr, &Close}); }
    ~TraceCapture() {
        if (!Closed())
            fclose(m_stream);
    }
    FILE* Stream() const { return m_stream; }
    std::string Text() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_text;
    }
    bool Closed() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_closed;
    }
    // An entry is the prefix and the time stamp on one line, ten blanks and the message on the
    // next; a message line without the blanks comes back marked with "?".
    std::vector<Entry> Entries() {
        const std::string text = Text();
        std::vector<std::string> lines;
        for (size_t start = 0, nl; (nl = text.find('\n', start)) != std::string::npos;
             start = nl + 1)
            lines.push_back(text.substr(start, nl - start));
        std::vector<Entry> entries;
        for (size_t i = 0; i + 1 < lines.size(); i += 2) {
            const std::string& body = lines[i + 1];
            const bool indented = body.compare(0, 10, std::string(10, ' ')) == 0;
            entries.push_back({lines[i].substr(0, 10),
                               lines[i].substr(std::min<size_t>(10, lines[i].size())),
                               indented ? body.substr(10) : "?" + body});
        }
        return entries;
    }
    std::vector<std::string> Messages() {
        std::vector<std::string> out;
        for (const Entry& e : Entries())
            out.push_back(e.message);
        return out;
    }
    int Count(const std::string& message) {
        int n = 0;
        for (const std::string& m : Messages())
            n += m == message;
        return n;
    }
    bool Has(const std::string& message) { return Count(message) > 0; }
    bool WaitFor(const std::string& message) {
        return testutil::WaitUntil([&] { return Has(message); });
    }

private:
    static ssize_t Write(void* self, const char* data, size_t size) {
        auto* capture = static_cast<TraceCapture*>(self);
        std::lock_guard<std::mutex> lock(capture->m_mutex);
        capture->m_text.append(data, size);
        return static_cast<ssize_t>(size);
    }
    static int Close(void* self) {
        auto* capture = static_cast<TraceCapture*>(self);
        std::lock_guard<std::mutex> lock(capture->m_mutex);
        capture->m_closed = true;
        return 0;
    }

    FILE* m_stream = nullptr;
    std::mutex m_mutex;
    std::string m_text;
    bool m_closed = false;
};

struct Counts {
    int destroyed = 0, netCreate = 0, netDestroy = 0;
};

// An event object that counts what happens to it; NetCreate answers createResult.
class CountingEvent : public NetEvent {
public:
    explicit CountingEvent(Counts& counts, std::int32_t createResult = 1)
        : m_counts(counts), m_createResult(createResult) {}
    ~CountingEvent() override { ++m_counts.destroyed; }
    std::int32_t NetCreate() override { return ++m_counts.netCreate, m_createResult; }
    std::int32_t NetDestroy() override { return ++m_counts.netDestroy, 1; }

private:
    Counts& m_counts;
    std::int32_t m_createResult;
};

// Records registrations without running a loop; the pipe is never read.
struct RecordingRegistration : ZoInputRegistration {
    ZoInputId AddInput(int fd, ZoInputProc, void*) override {
        added.push_back(fd);
        return static_cast<ZoInputId>(added.size());
    }
    void RemoveInput(ZoInputId id) override { removed.push_back(id); }
    std::vector<int> added;
    std::vector<ZoInputId> removed;
};

}  // namespace servtest
