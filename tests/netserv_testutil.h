// Helpers for the server tests: a trace stream the test can read, counting event objects and
// encoders, and an input-loop registration that records what the server asks of it.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "net/net_xdr.h"
#include "net/nethndl.h"
#include "testutil.h"
#include "zo/zoinput.h"

namespace servtest {

// A stdio stream whose bytes land in memory and whose close is observed. The server owns and
// closes the stream; this object must outlive the server.
class TraceCapture {
public:
    TraceCapture() {
        cookie_io_functions_t io{};
        io.write = &TraceCapture::Write;
        io.close = &TraceCapture::Close;
        m_stream = fopencookie(this, "w", io);
    }
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

    // The message lines of all entries, in order. An entry is the prefix and time stamp on one
    // line and ten blanks and the message on the next.
    std::vector<std::string> Messages() {
        std::vector<std::string> out;
        for (const Entry& e : Entries())
            out.push_back(e.message);
        return out;
    }
    struct Entry {
        std::string prefix, stamp, message;
    };
    std::vector<Entry> Entries() {
        std::vector<std::string> lines;
        std::string text = Text();
        size_t start = 0, nl;
        while ((nl = text.find('\n', start)) != std::string::npos) {
            lines.push_back(text.substr(start, nl - start));
            start = nl + 1;
        }
        std::vector<Entry> entries;
        for (size_t i = 0; i + 1 < lines.size(); i += 2) {
            const std::string& head = lines[i];
            const std::string& body = lines[i + 1];
            Entry e;
            e.prefix = head.substr(0, 10);
            e.stamp = head.size() > 10 ? head.substr(10) : "";
            e.message =
                body.compare(0, 10, std::string(10, ' ')) == 0 ? body.substr(10) : "?" + body;
            entries.push_back(e);
        }
        return entries;
    }
    bool WaitForMessage(const std::string& message) {
        return testutil::WaitUntil([&] {
            for (const std::string& m : Messages())
                if (m == message)
                    return true;
            return false;
        });
    }
    bool Has(const std::string& message) {
        for (const std::string& m : Messages())
            if (m == message)
                return true;
        return false;
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

// An event object that counts what happens to it.
struct Counts {
    int destroyed = 0, netCreate = 0, netDestroy = 0;
};
class CountingEvent : public NetEvent {
public:
    CountingEvent(Counts& counts, std::int32_t createResult = 1)
        : m_counts(counts), m_createResult(createResult) {}
    ~CountingEvent() override { ++m_counts.destroyed; }
    std::int32_t NetCreate() override {
        ++m_counts.netCreate;
        return m_createResult;
    }
    std::int32_t NetDestroy() override {
        ++m_counts.netDestroy;
        return 1;
    }

private:
    Counts& m_counts;
    std::int32_t m_createResult;
};

class CountingXdr : public NetXDRImp {
public:
    explicit CountingXdr(int& destroyed) : m_destroyed(destroyed) {}
    ~CountingXdr() override { ++m_destroyed; }

private:
    int& m_destroyed;
};

// Records registrations without running a loop; the pipe is never read.
class RecordingRegistration : public ZoInputRegistration {
public:
    ZoInputId AddInput(int fd, ZoInputProc, void*) override {
        added.push_back(fd);
        return static_cast<ZoInputId>(added.size());
    }
    void RemoveInput(ZoInputId id) override { removed.push_back(id); }
    std::vector<int> added;
    std::vector<ZoInputId> removed;
};

}  // namespace servtest
