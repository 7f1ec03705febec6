#include "tests/support/event_recorder.h"

#include "engine/trace.h"
#include "tftp/tftp_callbacks.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace skelvo::test {
namespace {

EventRecorder* g_recorder = nullptr;

int OnError(int code, void*) {
    if (g_recorder != nullptr)
        g_recorder->Add(RecordedEvent{RecordedEvent::Error, code});
    return 1;
}

int OnStatus(int code, void* info) {
    RecordedEvent e{RecordedEvent::Status, code};
    if (code == STATUS_PROGRESS && info != nullptr) {
        auto* p = static_cast<const ProgressInfo*>(info);
        e.sent = p->Sent;
        e.total = p->Total;
    }
    if (code == STATUS_COMPLETE && info != nullptr)
        e.confirmed = static_cast<const CompletionInfo*>(info)->FinalAckReceived != 0;
    if (g_recorder != nullptr)
        g_recorder->Add(e);
    return 1;
}

} // namespace

std::string Describe(const RecordedEvent& e) {
    return e.kind == RecordedEvent::Status ? StatusName(e.code) : ErrorName(e.code);
}

EventRecorder::EventRecorder(bool captureTrace) : m_captureTrace(captureTrace) {
    g_recorder = this;
    g_TftpCallbacks.ErrorHandler = &OnError;
    g_TftpCallbacks.StatusHandler = &OnStatus;
    if (m_captureTrace)
        SetTraceSink([this](std::string_view text) { AddTrace(text); });
}

EventRecorder::~EventRecorder() {
    if (m_captureTrace)
        ResetTraceSink();
    g_recorder = nullptr;
}

void EventRecorder::Add(const RecordedEvent& e) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_events.push_back(e);
    }
    m_changed.notify_all();
}

void EventRecorder::AddTrace(std::string_view text) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_trace.append(text);
    }
    m_changed.notify_all();
}

std::vector<RecordedEvent> EventRecorder::Events() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_events;
}

std::vector<std::string> EventRecorder::Names() const {
    std::vector<std::string> out;
    for (const auto& e : Events())
        if (!(e.kind == RecordedEvent::Status && e.code == STATUS_PROGRESS))
            out.push_back(Describe(e));
    return out;
}

std::vector<RecordedEvent> EventRecorder::Progress() const {
    std::vector<RecordedEvent> out;
    for (const auto& e : Events())
        if (e.kind == RecordedEvent::Status && e.code == STATUS_PROGRESS)
            out.push_back(e);
    return out;
}

std::string EventRecorder::Trace() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_trace;
}

void EventRecorder::Clear() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_events.clear();
    m_trace.clear();
}

bool EventRecorder::WaitFor(RecordedEvent::Kind kind, int code, std::chrono::milliseconds bound) const {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, bound, [&] {
        for (const auto& e : m_events)
            if (e.kind == kind && e.code == code)
                return true;
        return false;
    });
}

std::optional<RecordedEvent> EventRecorder::WaitForEnd(std::chrono::milliseconds bound) const {
    std::unique_lock<std::mutex> lock(m_lock);
    std::optional<RecordedEvent> found;
    m_changed.wait_for(lock, bound, [&] {
        for (const auto& e : m_events)
            if (e.kind == RecordedEvent::Error || e.code == STATUS_COMPLETE) {
                found = e;
                return true;
            }
        return false;
    });
    return found;
}

bool EventRecorder::WaitForTrace(const std::string& text, std::chrono::milliseconds bound) const {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, bound, [&] { return m_trace.find(text) != std::string::npos; });
}

std::string ImagePath(const std::string& name) {
    return std::string(SKELVO_IMAGE_DIR) + "/" + name;
}

std::vector<unsigned char> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TempDir::TempDir() {
#if defined(_WIN32)
    // No mkdtemp() on Windows: create_directory() is the atomic claim of a fresh random name.
    std::random_device random;
    for (int attempt = 0; attempt < 100 && m_path.empty(); ++attempt) {
        auto candidate = std::filesystem::temp_directory_path() / ("skelvo-test-" + std::to_string(random()));
        std::error_code ec;
        if (std::filesystem::create_directory(candidate, ec))
            m_path = candidate.string();
    }
    if (m_path.empty())
        throw std::runtime_error("could not create a temporary folder");
#else
    std::string tmpl = (std::filesystem::temp_directory_path() / "skelvo-test-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_path = tmpl;
#endif
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::string TempDir::Write(const std::string& name, const std::vector<unsigned char>& bytes) const {
    std::string p = File(name);
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return p;
}

std::vector<unsigned char> PatternBytes(std::size_t size, unsigned seed) {
    std::vector<unsigned char> out(size);
    std::uint32_t x = 2463534242u ^ seed;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<unsigned char>(x >> 24);
    }
    return out;
}

} // namespace skelvo::test
