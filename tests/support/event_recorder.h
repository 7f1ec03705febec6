// Records every event the engine raises, from any thread, and the trace text, for assertions.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace skelvo::test {

struct RecordedEvent {
    enum Kind { Status, Error } kind;
    int code;
    std::int32_t sent = 0;  // STATUS_PROGRESS only
    std::int32_t total = 0; // STATUS_PROGRESS only
    bool confirmed = true;  // STATUS_COMPLETE only: the final ACK came (CompletionInfo)
    bool operator==(const RecordedEvent&) const = default;
};

std::string Describe(const RecordedEvent& e);

// Registers itself as ErrorHandler and StatusHandler (keeping the other slots as they are) and
// captures the trace text for as long as it lives. Only one may exist at a time.
class EventRecorder {
  public:
    explicit EventRecorder(bool captureTrace = true);
    ~EventRecorder();
    EventRecorder(const EventRecorder&) = delete;
    EventRecorder& operator=(const EventRecorder&) = delete;

    std::vector<RecordedEvent> Events() const;
    // The events without STATUS_PROGRESS, as names: "STATUS_VERIFYING", "ERR_READ_REQUEST".
    std::vector<std::string> Names() const;
    std::vector<RecordedEvent> Progress() const;
    std::string Trace() const;
    void Clear();

    // Waits until an event with this kind and code has been recorded; false after the bound.
    bool WaitFor(RecordedEvent::Kind kind, int code,
                 std::chrono::milliseconds bound = std::chrono::seconds(60)) const;
    // Waits for STATUS_COMPLETE or any error event, whichever comes first.
    std::optional<RecordedEvent> WaitForEnd(std::chrono::milliseconds bound = std::chrono::seconds(60)) const;
    bool WaitForTrace(const std::string& text,
                      std::chrono::milliseconds bound = std::chrono::seconds(60)) const;

    void Add(const RecordedEvent& e);
    void AddTrace(std::string_view text);

  private:
    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    std::vector<RecordedEvent> m_events;
    std::string m_trace;
    bool m_captureTrace;
};

// Path of a generated image file (tolva21.bin, ...) and reading a whole file.
std::string ImagePath(const std::string& name);
std::vector<unsigned char> ReadFileBytes(const std::string& path);
// A fresh temporary directory, removed by the destructor.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }
    std::string Write(const std::string& name, const std::vector<unsigned char>& bytes) const;

  private:
    std::string m_path;
};

// Deterministic non-constant bytes for test files.
std::vector<unsigned char> PatternBytes(std::size_t size, unsigned seed = 1);

} // namespace skelvo::test

namespace skelvo::test {
// An executable built by this project ("devsim/skelvo-devsim", "cli/skelvo-cli").
inline std::string BinaryPath(const std::string& relative) {
    return std::string(SKELVO_BINARY_DIR) + "/" + relative;
}
inline std::string SourcePath(const std::string& relative) {
    return std::string(SKELVO_SOURCE_DIR) + "/" + relative;
}
} // namespace skelvo::test
